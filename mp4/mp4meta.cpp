// Item-list metadata under "moov.udta.meta.ilst" and the two chapter forms
// (the "chpl" list in "moov.udta" and a text track named by a sound track's
// "tref.chap"). Everything is found by path in the atom tree and edited
// there; a file opened for writing takes the changes when it is closed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "atoms.h"
#include "mp4.h"
#include "mp4file.h"
#include "mp4track.h"

namespace {

// The item codes of the ID3v1 genres with their extensions, numbered from
// 1 in a "gnre" value.
const char* const kGenres[] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz", "Metal",
    "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno", "Industrial",
    "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno", "Ambient", "Trip-Hop",
    "Vocal", "Jazz+Funk", "Fusion", "Trance", "Classical", "Instrumental", "Acid", "House", "Game",
    "Sound Clip", "Gospel", "Noise", "AlternRock", "Bass", "Soul", "Punk", "Space", "Meditative",
    "Instrumental Pop", "Instrumental Rock", "Ethnic", "Gothic", "Darkwave", "Techno-Industrial",
    "Electronic", "Pop-Folk", "Eurodance", "Dream", "Southern Rock", "Comedy", "Cult", "Gangsta", "Top 40",
    "Christian Rap", "Pop/Funk", "Jungle", "Native American", "Cabaret", "New Wave", "Psychadelic", "Rave",
    "Showtunes", "Trailer", "Lo-Fi", "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical",
    "Rock & Roll", "Hard Rock", "Folk", "Folk-Rock", "National Folk", "Swing", "Fast Fusion", "Bebob",
    "Latin", "Revival", "Celtic", "Bluegrass", "Avantgarde", "Gothic Rock", "Progressive Rock",
    "Psychedelic Rock", "Symphonic Rock", "Slow Rock", "Big Band", "Chorus", "Easy Listening", "Acoustic",
    "Humour", "Speech", "Chanson", "Opera", "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus",
    "Porn Groove", "Satire", "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad", "Power Ballad",
    "Rhythmic Soul", "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A capella", "Euro-House", "Dance Hall",
    "Goa", "Drum & Bass", "Club House", "Hardcore", "Terror", "Indie", "BritPop", "Negerpunk", "Polsk Punk",
    "Beat", "Christian Gangsta", "Heavy Metal", "Black Metal", "Crossover", "Contemporary C",
    "Christian Rock", "Merengue", "Salsa", "Thrash Metal", "Anime", "JPop", "SynthPop",
};
static_assert(sizeof kGenres / sizeof kGenres[0] == 148, "148 genres");

// The owner of free-form items created without one.
const char kDefaultOwner[] = "com.apple.iTunes";
static_assert(sizeof kDefaultOwner == 16 + 1, "a 16-character owner");

const char kIlst[] = "moov.udta.meta.ilst";

// The most chapters a list ("chpl") holds: other readers take its count
// from one byte.
const uint32_t kMaxListChapters = 255;

// The bytes of a title that a list's length byte can count, cut where no
// UTF-8 character is split.
size_t ListTitleLength(const char* title) {
  size_t n = strlen(title);
  if (n <= 255) return n;
  n = 255;
  // A continuation byte first past the cut: back to the lead byte of its
  // character (at most three bytes back), which goes too.
  size_t lead = n;
  while (lead > n - 3 && (static_cast<uint8_t>(title[lead]) & 0xC0) == 0x80) lead--;
  if (lead != n && static_cast<uint8_t>(title[lead]) >= 0xC0) n = lead;
  return n;
}

// The longest chapter list handed out: a count from a damaged file (a
// chapter track of 2^32 samples of one constant size needs no table) must
// not size an allocation of a kilobyte an entry.
const uint32_t kMaxChapters = 65535;

// A dotted path from a pattern with one text or number in it.
struct Path {
  char text[256];
  Path(const char* format, const char* item) { snprintf(text, sizeof text, format, kIlst, item); }
  Path(const char* format, uint32_t index) { snprintf(text, sizeof text, format, kIlst, index); }
  operator const char*() const { return text; }
};

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// A bytes field found by path from the file's root or an atom, or NULL.
template <class From>
MP4BytesProperty* BytesAt(From& from, const char* path) {
  MP4Property* p = nullptr;
  if (!from.FindProperty(path, &p) || !p || p->GetType() != BytesProperty) return nullptr;
  return static_cast<MP4BytesProperty*>(p);
}

// A stored value equals the text (same length, same bytes).
bool SameText(MP4BytesProperty* p, const char* text) {
  const size_t n = strlen(text);
  return p && p->GetValueSize() == n && (n == 0 || (p->GetValuePointer() && memcmp(p->GetValuePointer(), text, n) == 0));
}

// A malloc'ed, NUL-terminated copy of a value.
char* TextCopy(const uint8_t* bytes, uint32_t size) {
  char* text = static_cast<char*>(MP4Calloc(uint64_t(size) + 1));
  if (size) memcpy(text, bytes, size);
  return text;
}

// The "data" value type a new cover takes from its image's signature:
// JPEG 13, PNG 14, BMP 27; anything else 0 (readers then skip it).
uint32_t CoverType(const uint8_t* p, uint32_t size) {
  if (size >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) return 13;
  if (size >= 8 && memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0) return 14;
  if (size >= 2 && p[0] == 'B' && p[1] == 'M') return 27;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------- items

void MP4File::SetMetadataHandler() {
  MP4Atom* hdlr = FindAtom("moov.udta.meta.hdlr");
  MP4_ASSERT_AS(hdlr, "(pHdlrAtom)");
  MP4Property* type = nullptr;
  MP4_ASSERT_AS(hdlr->FindProperty("hdlr.handlerType", &type),
                "(pHdlrAtom->FindProperty(\"hdlr.handlerType\", (MP4Property**)&pStringProperty))");
  MP4_ASSERT_AS(type && type->GetType() == StringProperty, "(pStringProperty)");
  static_cast<MP4StringProperty*>(type)->SetValue("mdir");
  MP4Property* reserved = nullptr;
  MP4_ASSERT_AS(hdlr->FindProperty("hdlr.reserved2", &reserved),
                "(pHdlrAtom->FindProperty(\"hdlr.reserved2\", (MP4Property**)&pBytesProperty))");
  MP4_ASSERT_AS(reserved && reserved->GetType() == BytesProperty, "(pBytesProperty)");
  static const uint8_t appl[12] = {'a', 'p', 'p', 'l'};
  reserved->SetReadOnly(false);
  static_cast<MP4BytesProperty*>(reserved)->SetValue(appl, sizeof appl);
  reserved->SetReadOnly(true);
}

void MP4File::CheckMetadataHandler(const char* where) {
  // A new "meta" is made with its handler.
  if (!FindAtom("moov.udta.meta")) return;
  MP4Atom* hdlr = FindAtom("moov.udta.meta.hdlr");
  MP4Property* type = nullptr;
  MP4Property* reserved = nullptr;
  if (!hdlr || !hdlr->FindProperty("hdlr.handlerType", &type) || !type || type->GetType() != StringProperty ||
      !hdlr->FindProperty("hdlr.reserved2", &reserved) || !reserved || reserved->GetType() != BytesProperty)
    throw MP4Error("the metadata box has no handler: no item can be added to it", where);
}

void MP4File::RefuseKeyedItemList(const char* where) {
  MP4Atom* hdlr = FindAtom("moov.udta.meta.hdlr");
  MP4Property* type = nullptr;
  if (!hdlr || !hdlr->FindProperty("hdlr.handlerType", &type) || !type || type->GetType() != StringProperty) return;
  const char* value = static_cast<MP4StringProperty*>(type)->GetValue();
  if (value && strcmp(value, "mdta") == 0)
    throw MP4Error("the item list is keyed (handler \"mdta\"): a new item cannot join it", where);
}

bool MP4File::CreateMetadataAtom(const char* code) {
  RefuseKeyedItemList("CreateMetadataAtom");
  CheckMetadataHandler("CreateMetadataAtom");
  char path[64];
  snprintf(path, sizeof path, "udta.meta.ilst.%s.data", code);
  AddDescendantAtoms("moov", path);
  MP4Atom* data = FindAtom(Path("%s.%s.data", code));
  if (!data) return false;
  if (static_cast<uint8_t>(code[0]) == 0xA9 || strcmp(code, "aART") == 0)
    data->SetFlags(1);
  else if (strcmp(code, "cpil") == 0 || strcmp(code, "tmpo") == 0)
    data->SetFlags(21);
  SetMetadataHandler();
  return true;
}

bool MP4File::SetMetadataValue(const char* code, const uint8_t* pValue, uint32_t valueSize) {
  ProtectWriteOperation("SetMetadataValue");
  MP4Atom* data = FindAtom(Path("%s.%s.data", code));
  if (!data) {
    if (!CreateMetadataAtom(code)) return false;
    data = FindAtom(Path("%s.%s.data", code));
    if (!data) return false;
    if (strcmp(code, "covr") == 0) data->SetFlags(CoverType(pValue, valueSize));
  }
  MP4Property* p = nullptr;
  MP4_ASSERT_AS(data->FindProperty("data.metadata", &p),
                "(pMetaAtom->FindProperty(\"data.metadata\", (MP4Property**)&pMetadataProperty))");
  MP4_ASSERT_AS(p && p->GetType() == BytesProperty, "(pMetadataProperty)");
  static_cast<MP4BytesProperty*>(p)->SetValue(pValue, valueSize);
  return true;
}

bool MP4File::SetMetadataString(const char* code, const char* value) {
  if (!value) throw MP4Error("no text given for %s", "SetMetadataString", code);
  const size_t n = strlen(value);
  if (n > UINT32_MAX) throw MP4Error(ERANGE, "SetMetadataString");
  return SetMetadataValue(code, reinterpret_cast<const uint8_t*>(value), static_cast<uint32_t>(n));
}

void MP4File::GetMetadataValue(const char* code, uint8_t** ppValue, uint32_t* pSize) {
  GetBytesProperty(Path("%s.%s.data.metadata", code), ppValue, pSize);
}

bool MP4File::GetMetadataString(const char* code, char** ppValue, bool tryUdta) {
  *ppValue = nullptr;
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  try {
    GetMetadataValue(code, &bytes, &size);
  } catch (const MP4Error&) {
    if (!tryUdta) throw;
    char path[64];
    snprintf(path, sizeof path, "moov.udta.%s.metadata", code);
    GetBytesProperty(path, &bytes, &size);
  }
  std::unique_ptr<uint8_t, decltype(&free)> held(bytes, free);
  if (size == 0) return false;
  *ppValue = TextCopy(bytes, size);
  return true;
}

bool MP4File::DeleteMetadataAtom(const char* code, bool tryUdta) {
  ProtectWriteOperation("DeleteMetadataAtom");
  MP4Atom* item = FindAtom(Path("%s.%s", code));
  if (!item && tryUdta) {
    char path[64];
    snprintf(path, sizeof path, "moov.udta.%s", code);
    item = FindAtom(path);
  }
  if (!item) return false;
  item->GetParentAtom()->DeleteChildAtom(item);
  return true;
}

bool MP4File::MetadataDelete() {
  ProtectWriteOperation("MetadataDelete");
  MP4Atom* meta = FindAtom("moov.udta.meta");
  if (!meta) return false;
  meta->GetParentAtom()->DeleteChildAtom(meta);
  return true;
}

bool MP4File::SetMetadataTrack(uint16_t track, uint16_t totalTracks) {
  const uint8_t v[8] = {0, 0, uint8_t(track >> 8), uint8_t(track), uint8_t(totalTracks >> 8), uint8_t(totalTracks), 0, 0};
  return SetMetadataValue("trkn", v, sizeof v);
}

bool MP4File::SetMetadataDisk(uint16_t disk, uint16_t totalDisks) {
  const uint8_t v[6] = {0, 0, uint8_t(disk >> 8), uint8_t(disk), uint8_t(totalDisks >> 8), uint8_t(totalDisks)};
  return SetMetadataValue("disk", v, sizeof v);
}

bool MP4File::SetMetadataTempo(uint16_t tempo) {
  const uint8_t v[2] = {uint8_t(tempo >> 8), uint8_t(tempo)};
  return SetMetadataValue("tmpo", v, sizeof v);
}

bool MP4File::SetMetadataUint8(const char* code, uint8_t value) { return SetMetadataValue(code, &value, 1); }

// The fixed-size getters: the value's bytes, or false for another length.
bool MP4File::GetMetadataFixed(const char* code, uint8_t* pBytes, uint32_t size) {
  uint8_t* bytes = nullptr;
  uint32_t n = 0;
  GetMetadataValue(code, &bytes, &n);
  std::unique_ptr<uint8_t, decltype(&free)> held(bytes, free);
  if (n != size) return false;
  memcpy(pBytes, bytes, size);
  return true;
}

bool MP4File::GetMetadataTrack(uint16_t* pTrack, uint16_t* pTotalTracks) {
  *pTrack = *pTotalTracks = 0;
  uint8_t v[8];
  if (!GetMetadataFixed("trkn", v, sizeof v)) return false;
  *pTrack = Be16(v + 2);
  *pTotalTracks = Be16(v + 4);
  return true;
}

bool MP4File::GetMetadataDisk(uint16_t* pDisk, uint16_t* pTotalDisks) {
  *pDisk = *pTotalDisks = 0;
  uint8_t* bytes = nullptr;
  uint32_t n = 0;
  GetMetadataValue("disk", &bytes, &n);
  std::unique_ptr<uint8_t, decltype(&free)> held(bytes, free);
  if (n == 6 || n == 8) {
    *pDisk = Be16(bytes + 2);
    *pTotalDisks = Be16(bytes + 4);
  }
  return true;
}

bool MP4File::GetMetadataTempo(uint16_t* pTempo) {
  *pTempo = 0;
  uint8_t v[2];
  if (!GetMetadataFixed("tmpo", v, sizeof v)) return false;
  *pTempo = Be16(v);
  return true;
}

bool MP4File::GetMetadataUint8(const char* code, uint8_t* pValue) {
  *pValue = 0;
  return GetMetadataFixed(code, pValue, 1);
}

// ---------------------------------------------------------------- genre

uint16_t MP4File::StringToGenre(const char* text) {
  for (uint16_t i = 0; i < sizeof kGenres / sizeof kGenres[0]; i++)
    if (strcasecmp(kGenres[i], text) == 0) return i + 1;
  return 0;
}

char* MP4File::GenreToString(uint16_t genre) {
  if (genre >= 1 && genre <= sizeof kGenres / sizeof kGenres[0]) {
    const char* name = kGenres[genre - 1];
    return TextCopy(reinterpret_cast<const uint8_t*>(name), static_cast<uint32_t>(strlen(name)));
  }
  return static_cast<char*>(MP4Calloc(2));
}

bool MP4File::SetMetadataGenre(const char* text) {
  if (!text) throw MP4Error("no genre given", "SetMetadataGenre");
  const uint16_t genre = StringToGenre(text);
  if (genre == 0) {
    if (!SetMetadataString("\xA9gen", text)) return false;
    DeleteMetadataAtom("gnre", false);
    return true;
  }
  const uint8_t v[2] = {uint8_t(genre >> 8), uint8_t(genre)};
  if (!SetMetadataValue("gnre", v, sizeof v)) return false;
  DeleteMetadataAtom("\xA9gen", false);
  return true;
}

// A getter leaves the tree as it found it: a numeric genre stays in the
// file.
bool MP4File::GetMetadataGenre(char** ppText) {
  *ppText = nullptr;
  if (FindAtom(Path("%s.%s", "gnre"))) {
    uint8_t v[2];
    if (!GetMetadataFixed("gnre", v, sizeof v)) return false;
    *ppText = GenreToString(Be16(v));
    return true;
  }
  return GetMetadataString("\xA9gen", ppText, false);
}

bool MP4File::DeleteMetadataGenre() {
  const bool text = DeleteMetadataAtom("\xA9gen", false);
  const bool number = DeleteMetadataAtom("gnre", false);
  return text || number;
}

// ---------------------------------------------------------------- cover art

uint32_t MP4File::GetMetadataCoverArtCount() {
  MP4Atom* covr = FindAtom(Path("%s.%s", "covr"));
  return covr ? covr->GetNumberOfChildAtoms() : 0;
}

bool MP4File::GetMetadataCoverArt(uint8_t** ppData, uint32_t* pSize, uint32_t index) {
  if (!ppData || !pSize) return false;
  if (index != 0 && index > GetMetadataCoverArtCount()) return false;
  *ppData = nullptr;
  *pSize = 0;
  GetBytesProperty(Path("%s.covr.data[%u].metadata", index), ppData, pSize);
  return true;
}

bool MP4File::SetMetadataCoverArt(const uint8_t* pData, uint32_t size) {
  if (!pData && size) throw MP4Error("no image given", "SetMetadataCoverArt");
  return SetMetadataValue("covr", pData, size);
}

// ---------------------------------------------------------------- free-form items

// The position among the "----" items of the first of that name (and
// owner, when one is given); when none matches, the position a new item
// takes, with *pFound false. One pass over the list's children.
uint32_t MP4File::FindFreeForm(const char* name, const char* owner, bool* pFound) {
  *pFound = false;
  MP4Atom* ilst = FindAtom(kIlst);
  uint32_t position = 0;
  for (uint32_t i = 0; ilst && i < ilst->GetNumberOfChildAtoms(); i++) {
    MP4Atom* item = ilst->GetChildAtom(i);
    if (strcmp(item->GetType(), "----") != 0) continue;
    if (SameText(BytesAt(*item, "----.name.metadata"), name) &&
        (!owner || SameText(BytesAt(*item, "----.mean.metadata"), owner))) {
      *pFound = true;
      return position;
    }
    position++;
  }
  return position;
}

bool MP4File::SetMetadataFreeForm(const char* name, const uint8_t* pValue, uint32_t valueSize, const char* owner) {
  if (!name || (!pValue && valueSize)) throw MP4Error("no name or value given", "SetMetadataFreeForm");
  ProtectWriteOperation("SetMetadataFreeForm");
  bool found = false;
  const uint32_t i = FindFreeForm(name, owner, &found);
  if (found) {
    SetBytesProperty(Path("%s.----[%u].data.metadata", i), pValue, valueSize);
    return true;
  }
  RefuseKeyedItemList("SetMetadataFreeForm");
  CheckMetadataHandler("SetMetadataFreeForm");
  const char* mean = owner && *owner ? owner : kDefaultOwner;
  if (strlen(name) > UINT32_MAX || strlen(mean) > UINT32_MAX) throw MP4Error(ERANGE, "SetMetadataFreeForm");
  char path[64];
  snprintf(path, sizeof path, "udta.meta.ilst.----[%u]", i);
  MP4Atom* item = AddDescendantAtoms("moov", path);
  MP4Atom* data = FindAtom(Path("%s.----[%u].data", i));
  if (!item || !data) return false;
  data->SetFlags(1);
  SetMetadataHandler();
  struct {
    const char* path;
    const uint8_t* bytes;
    size_t size;
  } const parts[] = {
      {"data.metadata", pValue, valueSize},
      {"name.metadata", reinterpret_cast<const uint8_t*>(name), strlen(name)},
      {"mean.metadata", reinterpret_cast<const uint8_t*>(mean), strlen(mean)},
  };
  for (const auto& part : parts) {
    MP4Property* p = nullptr;
    char full[64];
    snprintf(full, sizeof full, "----.%s", part.path);
    MP4_ASSERT_AS(item->FindProperty(full, &p) && p && p->GetType() == BytesProperty,
                  "(pMetaAtom->FindProperty(\"name.metadata\", (MP4Property**)&pMetadataProperty))");
    static_cast<MP4BytesProperty*>(p)->SetValue(part.bytes, static_cast<uint32_t>(part.size));
  }
  return true;
}

bool MP4File::GetMetadataFreeForm(const char* name, uint8_t** ppValue, uint32_t* pValueSize, const char* owner) {
  *ppValue = nullptr;
  *pValueSize = 0;
  if (!name) return false;
  bool found = false;
  const uint32_t i = FindFreeForm(name, owner, &found);
  if (!found) return false;
  GetBytesProperty(Path("%s.----[%u].data.metadata", i), ppValue, pValueSize);
  return true;
}

bool MP4File::DeleteMetadataFreeForm(const char* name, const char* owner) {
  if (!name) return false;
  bool found = false;
  const uint32_t i = FindFreeForm(name, owner, &found);
  if (!found) return false;
  char code[32];
  snprintf(code, sizeof code, "----[%u]", i);
  return DeleteMetadataAtom(code, false);
}

bool MP4File::GetMetadataByIndex(uint32_t index, char** ppName, uint8_t** ppValue, uint32_t* pValueSize) {
  *ppName = nullptr;
  GetBytesProperty(Path("%s.*[%u].data.metadata", index), ppValue, pValueSize);
  MP4Atom* item = FindAtom(Path("%s.*[%u]", index));
  if (!item) return false;
  if (strcmp(item->GetType(), "----") == 0) {
    MP4BytesProperty* name = BytesAt(*this, Path("%s.*[%u].name.metadata", index));
    *ppName = name ? TextCopy(name->GetValuePointer(), name->GetValueSize()) : TextCopy(nullptr, 0);
  } else {
    *ppName = TextCopy(reinterpret_cast<const uint8_t*>(item->GetType()), 4);
  }
  return true;
}

// ---------------------------------------------------------------- chapters

void MP4File::AddChapter(uint64_t startTime, const char* title) {
  ProtectWriteOperation("AddChapter");
  MP4Atom* chpl = FindAtom("moov.udta.chpl");
  if (!chpl) chpl = AddDescendantAtoms("", "moov.udta.chpl");
  if (chpl->GetNumberOfProperties() < 4) throw MP4Error(ERANGE, "index %u of %u", "MP4Array::[]", 3u, chpl->GetNumberOfProperties());
  MP4Property* countField = chpl->GetProperty(3);
  MP4Property* table = nullptr;
  // Refused before the count rises: a count without its row would make the
  // list fail when it is written.
  if (countField->GetType() > Integer64Property || !chpl->FindProperty("chpl.chapters", &table) || !table ||
      table->GetType() != TableProperty)
    throw MP4Error("Chapter list does not exist ", "AddChapter");
  MP4IntegerProperty* count = static_cast<MP4IntegerProperty*>(countField);
  MP4TableProperty* chapters = static_cast<MP4TableProperty*>(table);
  if (chapters->GetNumProperties() < 2 || chapters->GetProperty(0)->GetType() != Integer64Property ||
      chapters->GetProperty(1)->GetType() != StringProperty)
    throw MP4Error("Chapter list does not exist ", "AddChapter");
  if (count->GetValue() >= kMaxListChapters || count->GetValue() != chapters->GetProperty(0)->GetCount())
    throw MP4Error("chapter %llu cannot be added to the list, which holds %u at the most", "AddChapter",
                   static_cast<unsigned long long>(count->GetValue()) + 1, kMaxListChapters);
  const uint32_t number = static_cast<uint32_t>(count->GetValue()) + 1;
  char text[256];
  if (title) {
    const size_t n = ListTitleLength(title);
    memcpy(text, title, n);
    text[n] = '\0';
  } else {
    snprintf(text, sizeof text, "Chapter %03u", number);
  }
  MP4StringProperty* names = static_cast<MP4StringProperty*>(chapters->GetProperty(1));
  static_cast<MP4Integer64Property*>(chapters->GetProperty(0))->AddValue(startTime);
  try {
    names->SetCount(number);
    names->SetValue(text, number - 1);
  } catch (...) {
    static_cast<MP4Integer64Property*>(chapters->GetProperty(0))->DeleteValue(number - 1);
    names->SetCount(number - 1);
    throw;
  }
  count->ForceValue(number);
}

void MP4File::AddChapter(uint32_t chapterTrackId, uint64_t chapterDuration, uint32_t chapterNumber,
                         const char* title) {
  ProtectWriteOperation("AddChapter");
  if (chapterTrackId == 0) throw MP4Error("No chapter track given", "AddChapter");
  char text[1024];
  if (title && *title && strlen(title) < sizeof text)
    snprintf(text, sizeof text, "%s", title);
  else
    snprintf(text, sizeof text, "Chapter %03u", chapterNumber);
  const uint32_t n = static_cast<uint32_t>(strlen(text));
  static const uint8_t encd[12] = {0, 0, 0, 0x0C, 'e', 'n', 'c', 'd', 0, 0, 1, 0};
  uint8_t sample[2 + sizeof text + sizeof encd];
  sample[0] = static_cast<uint8_t>(n >> 8);
  sample[1] = static_cast<uint8_t>(n);
  memcpy(sample + 2, text, n);
  memcpy(sample + 2 + n, encd, sizeof encd);
  WriteSample(chapterTrackId, sample, n + 14, chapterDuration, 0, true);
}

uint32_t MP4File::FindChapterReferenceTrack(uint32_t chapterTrackId, char* nameBuffer, size_t bufferSize) {
  for (uint32_t i = 0; i < m_pTracks.Size(); i++) {
    MP4Track* track = m_pTracks[i];
    const char* type = track->GetType();
    if (!type || strcmp(type, "soun") != 0) continue;
    const uint32_t id = track->GetId();
    // A sound track without chapter references is simply not the one.
    if (!FindTrackAtom(id, "tref.chap")) continue;
    char name[128];
    snprintf(name, sizeof name, "%s", MakeTrackName(id, "tref.chap"));
    if (!FindTrackReference(name, chapterTrackId)) continue;
    if (nameBuffer && bufferSize) {
      const size_t n = strlen(name);
      memcpy(nameBuffer, name, n < bufferSize ? n : bufferSize);
    }
    return id;
  }
  return 0;
}

uint32_t MP4File::FindChapterTrack(char* nameBuffer, size_t bufferSize) {
  for (uint32_t i = 0; i < m_pTracks.Size(); i++) {
    MP4Track* track = m_pTracks[i];
    const char* type = track->GetType();
    if (type && strcmp(type, "text") == 0 && FindChapterReferenceTrack(track->GetId(), nameBuffer, bufferSize))
      return track->GetId();
  }
  return 0;
}

void MP4File::DeleteChapters(uint32_t chapterTrackId, bool textTrackChapters) {
  ProtectWriteOperation("DeleteChapters");
  if (!textTrackChapters) {
    if (MP4Atom* chpl = FindAtom("moov.udta.chpl")) chpl->GetParentAtom()->DeleteChildAtom(chpl);
    return;
  }
  char name[128] = {};
  uint32_t chapterTrack = chapterTrackId;
  if (chapterTrackId == 0)
    chapterTrack = FindChapterTrack(name, sizeof name - 1);
  else if (!FindChapterReferenceTrack(chapterTrackId, name, sizeof name - 1))
    chapterTrack = 0;
  if (chapterTrack == 0 || !name[0]) return;
  RemoveTrackReference(name, chapterTrack);
  DeleteTrack(chapterTrack);
}

void MP4File::GetChaptersList(MP4ChapterStruct** ppChapters, uint32_t* pCount, bool textTrackChapters) {
  *ppChapters = nullptr;
  *pCount = 0;
  const char* where = "GetChaptersList";
  if (!textTrackChapters) {
    MP4Atom* chpl = FindAtom("moov.udta.chpl");
    if (!chpl) throw MP4Error("Atom moov.udta.chpl does not exist ", where);
    MP4Property* countField = nullptr;
    if (!chpl->FindProperty("chpl.chaptercount", &countField) || !countField ||
        countField->GetType() > Integer64Property)
      throw MP4Error("Chapter count does not exist ", where);
    const uint64_t count = static_cast<MP4IntegerProperty*>(countField)->GetValue();
    if (count == 0) return;
    MP4Property* table = nullptr;
    if (!chpl->FindProperty("chpl.chapters", &table) || !table || table->GetType() != TableProperty)
      throw MP4Error("Chapter list does not exist ", where);
    MP4TableProperty* chapters = static_cast<MP4TableProperty*>(table);
    if (chapters->GetNumProperties() < 1 || chapters->GetProperty(0)->GetType() > Integer64Property)
      throw MP4Error("List of Chapter starttimes does not exist ", where);
    if (chapters->GetNumProperties() < 2 || chapters->GetProperty(1)->GetType() != StringProperty)
      throw MP4Error("List of Chapter titles does not exist ", where);
    MP4IntegerProperty* starts = static_cast<MP4IntegerProperty*>(chapters->GetProperty(0));
    MP4StringProperty* titles = static_cast<MP4StringProperty*>(chapters->GetProperty(1));
    // The rows that were read; a count beyond them has nothing to list.
    const uint32_t n = static_cast<uint32_t>(count < starts->GetCount() ? count : starts->GetCount());
    if (n > kMaxChapters) throw MP4Error("%u chapters are more than a list holds", where, n);
    MP4ChapterStruct* list = static_cast<MP4ChapterStruct*>(MP4Calloc(uint64_t(n) * sizeof(MP4ChapterStruct)));
    std::unique_ptr<MP4ChapterStruct, decltype(&free)> held(list, free);
    const uint64_t movieEnd = MP4ConvertTime(GetDuration(), GetTimeScale(), 1000);
    uint64_t previous = 0;
    for (uint32_t i = 0; i < n; i++) {
      const char* title = i < titles->GetCount() ? titles->GetValue(i) : nullptr;
      snprintf(list[i].title, sizeof list[i].title, "%s", title ? title : "");
      const uint64_t end = i + 1 < n ? MP4ConvertTime(starts->GetValue(i + 1), 10000000, 1000) : movieEnd;
      // Starts out of order or past the movie's end give empty chapters,
      // not durations that wrap.
      list[i].duration = end > previous ? end - previous : 0;
      if (end > previous) previous = end;
    }
    *ppChapters = held.release();
    *pCount = n;
    return;
  }
  const uint32_t trackId = FindChapterTrack(nullptr, 0);
  if (!trackId) throw MP4Error("Could not find a chapter track", where);
  MP4Track* track = GetTrack(trackId);
  const uint32_t n = track->GetNumberOfSamples();
  if (n == 0) return;
  if (n > kMaxChapters) throw MP4Error("%u chapters are more than a list holds", where, n);
  MP4ChapterStruct* list = static_cast<MP4ChapterStruct*>(MP4Calloc(uint64_t(n) * sizeof(MP4ChapterStruct)));
  std::unique_ptr<MP4ChapterStruct, decltype(&free)> held(list, free);
  const uint32_t timeScale = track->GetTimeScale();
  // Sample by sample: a sample of no duration is one more (empty) chapter,
  // never a time that stands still.
  for (uint32_t id = 1; id <= n; id++) {
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    uint64_t duration = 0;
    track->ReadSample(id, &bytes, &size, nullptr, &duration);
    std::unique_ptr<uint8_t, decltype(&free)> sample(bytes, free);
    // The text after its 16-bit length, inside the sample and the title.
    uint32_t length = size >= 2 ? Be16(bytes) : 0;
    if (length > (size >= 2 ? size - 2 : 0)) length = size >= 2 ? size - 2 : 0;
    if (length > sizeof list[0].title - 1) length = sizeof list[0].title - 1;
    const uint8_t* nul = length ? static_cast<const uint8_t*>(memchr(bytes + 2, 0, length)) : nullptr;
    if (nul) length = static_cast<uint32_t>(nul - (bytes + 2));
    if (length) memcpy(list[id - 1].title, bytes + 2, length);
    list[id - 1].duration = MP4ConvertTime(duration, timeScale, 1000);
  }
  *ppChapters = held.release();
  *pCount = n;
}

// Everything that can refuse the conversion is asked before the old form of
// the target goes.
void MP4File::ConvertChapters(bool toTextTrack) {
  ProtectWriteOperation("ConvertChapters");
  MP4ChapterStruct* list = nullptr;
  uint32_t count = 0;
  GetChaptersList(&list, &count, !toTextTrack);
  std::unique_ptr<MP4ChapterStruct, decltype(&free)> held(list, free);
  if (count == 0) throw MP4Error("Could not find chapter markers", "ConvertChapters");
  if (!toTextTrack && count > kMaxListChapters)
    throw MP4Error("%u chapters are more than a list holds (%u)", "ConvertChapters", count, kMaxListChapters);
  if (toTextTrack) {
    const uint32_t sound = FindTrackId(0, "soun", 0);
    DeleteChapters(0, true);
    const uint32_t chapterTrack = AddChapterTextTrack(sound, 1000);
    for (uint32_t i = 0; i < count; i++) AddChapter(chapterTrack, list[i].duration, i + 1, list[i].title);
  } else {
    DeleteChapters(0, false);
    uint64_t start = 0;
    for (uint32_t i = 0; i < count; i++) {
      AddChapter(start, list[i].title);
      start += list[i].duration * 10000;
    }
  }
}
