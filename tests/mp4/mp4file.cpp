// The open file through the function interface, on crafted movies: files
// that cannot be opened, traks that give no track, fields by path, the
// track queries of each sample-entry kind, failures of any exception type,
// the printed errors, and renaming.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "mp4.h"
#include "mp4file.h"
#include "mp4test.h"
#include "testutil.h"

namespace {

using namespace mp4test;

// What the message callback received, "where:message:errno text" a line.
std::string g_printed;
void Collect(int, const char*, const char* format, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  g_printed += std::string(line) + "\n";
}

void ThrowingCallback(int, const char*, const char*, ...) { throw 7; }

// Sets the callback for one test and clears it after.
struct Printed {
  Printed() {
    g_printed.clear();
    MP4SetLibFunc(Collect);
  }
  ~Printed() { MP4SetLibFunc(nullptr); }
};

// A track whose tables hold samples of 4 bytes, 2 a chunk, from kMedia.
CraftedTrack Plain(uint32_t id, const char* handler = "vide", const Bytes& entries = {}) {
  CraftedTrack t;
  t.id = id;
  t.handler = handler;
  t.entries = entries;
  t.duration = 20;
  t.tables = PlainTables(2, 10, 4, 2, {kMedia});
  return t;
}

const Bytes kFtyp = Box("ftyp", Cat({Lit("isom"), BE(0, 4)}));

TEST(MP4File, UnreadableFilesGiveNoHandle) {
  CraftedTrack stz2;
  stz2.tables = Cat({PlainTables(1, 1, 1, 1, {kMedia}), FullBox("stz2", 0, 0, Cat({BE(32, 4), BE(1, 4), BE(1, 4)}))});
  CraftedTrack stsc;
  stsc.tables = Cat({FullBox("stsc", 0, 0, Cat({BE(2, 4), BE(3, 4), BE(1, 4), BE(1, 4), BE(2, 4), BE(1, 4), BE(1, 4)}))});
  CraftedTrack counted;
  counted.tables = FullBox("stts", 0, 0, BE(1000000, 4));
  const Bytes whole = Movie(Lit("data"), {Plain(1)});
  const struct {
    const char* name;
    Bytes file;
    std::string printed;
  } cases[] = {
      {"empty", {}, "MP4File::FindIntegerProperty:no such property - moov.mvhd.modificationTime:"},
      {"no movie", Cat({kFtyp, Box("mdat", Lit("data"))}),
       "MP4File::FindIntegerProperty:no such property - moov.mvhd.modificationTime:"},
      {"movie without header", Cat({kFtyp, Box("moov", Box("trak", {}))}),
       "MP4File::FindIntegerProperty:no such property - moov.mvhd.modificationTime:"},
      {"cut in a track header", Bytes(whole.begin(), whole.begin() + 160),
       "MP4ReadBytes:not enough bytes, reached end-of-file:"},
      {"stz2 of 32-bit sizes", Movie({}, {stz2}), "MP4Stz2Atom::Read:stz2 field size 32 is none of 4, 8 and 16:"},
      {"stsc runs going back", Movie({}, {stsc}), "MP4StscAtom::Read:stsc entry 1 starts at chunk 2, not after chunk 3:"},
      {"a row count beyond the atom", Movie({}, {counted}), "Atom ReadProperties:atom is too small:"},
  };
  Printed p;
  for (const auto& c : cases) {
    for (uint32_t verbosity : {0u, uint32_t(MP4_VERB_ERRORS)}) {
      g_printed.clear();
      MemFile mem;
      mem.data = c.file;
      Virtual_IO io = MemFileIO();
      EXPECT_EQ(MP4ReadEx("crafted.mp4", &mem, &io, verbosity), nullptr) << c.name;
      EXPECT_TRUE(mem.closed) << c.name;
      EXPECT_EQ(g_printed, verbosity ? c.printed + "\n" : "") << c.name;
    }
  }
  EXPECT_EQ(MP4Read("/nonexistent/file.mp4", 0), nullptr);
  EXPECT_EQ(MP4Read(nullptr, 0), nullptr);
  MemFile mem;
  EXPECT_EQ(MP4ReadEx("x", &mem, nullptr, 0), nullptr);
  EXPECT_FALSE(mem.closed);
}

TEST(MP4File, TraksThatGiveNoTrack) {
  // A trak without a track header (id 0), one without chunk runs (invalid),
  // then two usable ones.
  CraftedTrack invalid = Plain(7);
  invalid.tables = PlainTables(2, 10, 4, 2, {kMedia});
  invalid.tables.erase(invalid.tables.begin() + 24, invalid.tables.begin() + 24 + 28);  // the "stsc" box
  Bytes noHeader = Trak(Plain(9));
  noHeader[12 + 3] = 'x';  // "tkhx": no track header
  Printed p;
  Opened o(Cat({kFtyp, Box("mdat", Lit("abcdefgh")),
                Moov({noHeader, Trak(invalid), Trak(Plain(2)), Trak(Plain(3, "soun"))})}));
  ASSERT_NE(o.h.get(), nullptr);
  MP4FileHandle h = o.h.get();
  EXPECT_EQ(MP4GetNumberOfTracks(h, nullptr, 0), 2u);
  EXPECT_EQ(MP4FindTrackId(h, 0, nullptr, 0), 2u);
  EXPECT_EQ(MP4FindTrackId(h, 1, nullptr, 0), 3u);
  EXPECT_EQ(MP4FindTrackIndex(h, 3), 1u);
  EXPECT_EQ(MP4FindTrackIndex(h, 7), 0xFFFF);
  EXPECT_EQ(MP4GetTrackType(h, 7), nullptr);
  // The invalid track's trak is still found by path.
  uint64_t id = 0;
  EXPECT_TRUE(MP4GetTrackIntegerProperty(h, 7, "tkhd.trackId", &id));
  EXPECT_EQ(id, 7u);
  MP4File* file = static_cast<MP4File*>(h);
  EXPECT_STREQ(file->MakeTrackName(2, "mdia"), "moov.trak[2].mdia");
  EXPECT_STREQ(file->MakeTrackName(3, nullptr), "moov.trak[3]");
  EXPECT_STREQ(file->MakeTrackEditName(2, 1, "mediaTime"), "moov.trak[2].edts.elst.entries[0].mediaTime");
  EXPECT_EQ(g_printed, "");

  // Printed only when asked for.
  MemFile mem;
  mem.data = o.mem.data;
  Virtual_IO io = MemFileIO();
  MP4Close(MP4ReadEx("crafted.mp4", &mem, &io, MP4_VERB_ERRORS));
  EXPECT_EQ(g_printed, "MP4Track::MP4Track:invalid track:\n");
}

TEST(MP4File, FieldsByPath) {
  CraftedTrack t = Plain(1);
  t.extra = Cat({Box("edts", FullBox("elst", 0, 0, Cat({BE(2, 4), BE(500, 4), BE(40, 4), BE(1, 2), BE(0, 2),
                                                                  BE(300, 4), BE(0, 4), BE(0, 4)}))),
                 Box("tref", Box("chap", Cat({BE(5, 4), BE(1, 4)})))});
  Opened o(Movie(Lit("abcdefgh"), {t}));
  MP4FileHandle h = o.h.get();
  MP4File* file = static_cast<MP4File*>(h);
  uint64_t value = 77;
  EXPECT_TRUE(MP4GetIntegerProperty(h, "moov.mvhd.timeScale", &value));
  EXPECT_EQ(value, 1000u);
  EXPECT_EQ(MP4GetTimeScale(h), 1000u);
  EXPECT_FALSE(MP4GetIntegerProperty(h, "moof.mfhd.sequenceNumber", &value));
  EXPECT_EQ(value, 1000u);
  const char* text = nullptr;
  EXPECT_TRUE(MP4GetTrackStringProperty(h, 1, "mdia.hdlr.handlerType", &text));
  EXPECT_STREQ(text, "vide");
  EXPECT_TRUE(MP4HaveAtom(h, "moov.trak.mdia.minf.stbl.stsd.avc1"));
  EXPECT_FALSE(MP4HaveAtom(h, "moov.trak.mdia.minf.stbl.stsd.mp4v"));
  EXPECT_TRUE(MP4HaveTrackAtom(h, 1, "mdia.minf"));

  const struct {
    std::function<void()> call;
    std::string error;
  } failures[] = {
      {[&] { file->GetStringProperty("moov.mvhd.timeScale"); },
       "MP4File::FindStringProperty: type mismatch - property moov.mvhd.timeScale type 3"},
      {[&] { file->GetIntegerProperty("moof.mfhd.sequenceNumber"); },
       "MP4File::FindIntegerProperty: no such property - moof.mfhd.sequenceNumber"},
      {[&] { file->GetBytesProperty("moov.x", nullptr, nullptr); }, "MP4File::FindBytesProperty: no such property moov.x"},
      {[&] { file->SetIntegerProperty("moov.mvhd.timeScale", 5); },
       "SetIntegerProperty: operation not permitted in read mode"},
      {[&] { file->SetStringProperty("moov.trak.mdia.hdlr.name", "x"); },
       "SetStringProperty: operation not permitted in read mode"},
      {[&] { file->SetTimeScale(0); }, "SetTimeScale: invalid value"},
      {[&] { file->FindTrakAtomIndex(0); }, "FindTrakAtomIndex: Track id 0 doesn't exist"},
      {[&] { file->GetTrack(5); }, "FindTrackIndex: Track id 5 doesn't exist"},
      {[&] { file->FindTrackId(1, "video", 0); }, "FindTrackId: Track index doesn't exist - track 1 type video"},
  };
  for (const auto& f : failures) {
    const MP4Error e = Thrown(f.call);
    EXPECT_EQ(std::string(e.where ? e.where : "") + ": " + (e.message ? e.message : ""), f.error);
  }
  EXPECT_EQ(MP4GetTimeScale(h), 1000u);

  // Edit-list entries by number from 1.
  EXPECT_EQ(file->GetTrackNumberOfEdits(1), 2u);
  EXPECT_EQ(file->GetTrackEditDuration(1, 1), 500u);
  EXPECT_EQ(file->GetTrackEditMediaStart(1, 1), 40u);
  EXPECT_FALSE(file->GetTrackEditDwell(1, 1));
  EXPECT_TRUE(file->GetTrackEditDwell(1, 2));

  // Rows of a track reference count from 1; 0 when it is not there.
  EXPECT_EQ(file->FindTrackReference("moov.trak[0].tref.chap", 1), 2u);
  EXPECT_EQ(file->FindTrackReference("moov.trak[0].tref.chap", 3), 0u);
  EXPECT_EQ(Thrown([&] { file->FindTrackReference("moov.trak[0].tref.mpod", 1); }).where,
            std::string("(*ppCountProperty)"));

  // Adding atoms on a path reuses those that are there.
  MP4Atom* rtp = file->AddDescendantAtoms("moov", "udta.hnti.rtp ");
  ASSERT_NE(rtp, nullptr);
  EXPECT_EQ(file->AddDescendantAtoms("moov", "udta.hnti.rtp "), rtp);
  EXPECT_EQ(file->FindAtom("moov.udta.hnti.rtp "), rtp);
  EXPECT_EQ(file->FindAtom("moov")->GetNumberOfChildAtoms(), 3u);
  EXPECT_EQ(Thrown([&] { file->InsertChildAtom("moov", "free", 9); }).where, std::string("MP4Array::Insert"));
  EXPECT_EQ(file->FindAtom("moov")->GetNumberOfChildAtoms(), 3u);

  const std::string dump = Capture([&](FILE* s) { EXPECT_TRUE(MP4Dump(h, s, false)); });
  EXPECT_EQ(dump.rfind("Dumping crafted.mp4 meta-information...\n", 0), 0u) << dump;
}

TEST(MP4File, DecoderConfigurations) {
  // avc1 with two sequence sets (one empty) and a picture set, length
  // size 2; avc1 without avcC; MPEG-4 video with a configuration that
  // holds a profile; AAC with the escape type in a "wave" box; AAC plain.
  const Bytes avcC = Box("avcC", Cat({Bytes{1, 100, 0, 31, 0xFD, 0xE2}, BE(3, 2), Bytes{0x67, 1, 2}, BE(0, 2), Bytes{1},
                                      BE(2, 2), Bytes{0x68, 9}}));
  const Bytes sound = Cat({Bytes(6, 0), BE(1, 2), BE(0, 2), Bytes(6, 0), BE(2, 2), BE(16, 2), BE(0, 2),
                           BE(48000u << 16, 4), Bytes(2, 0)});
  const std::vector<CraftedTrack> tracks = {
      Plain(1, "vide", OneEntry(VisualEntry("avc1", 1, avcC))),
      Plain(2, "vide", OneEntry(VisualEntry("avc1"))),
      Plain(3, "vide", OneEntry(VisualEntry("mp4v", 1, Esds(0x20, 0, Bytes{0, 0, 1, 0xB0, 0xF5, 0, 0, 1, 0xB5})))),
      Plain(4, "soun", OneEntry(Box("mp4a", Cat({sound, Box("wave", Cat({Box("frma", Lit("mp4a")),
                                                                        Esds(0x40, 96000, Bytes{0xF8, 0x20})}))})))),
      Plain(5, "soun", OneEntry(Box("mp4a", Cat({sound, Esds(0x40, 128000, Bytes{0x12, 0x10})})))),
  };
  Opened o(Movie(Lit("abcdefgh"), tracks));
  MP4FileHandle h = o.h.get();
  ASSERT_NE(h, nullptr);

  uint8_t** sps = nullptr;
  uint8_t** pps = nullptr;
  uint32_t* spsSizes = nullptr;
  uint32_t* ppsSizes = nullptr;
  MP4GetTrackH264SeqPictHeaders(h, 1, &sps, &spsSizes, &pps, &ppsSizes);
  ASSERT_TRUE(sps && spsSizes && pps && ppsSizes);
  EXPECT_EQ(Bytes(sps[0], sps[0] + spsSizes[0]), (Bytes{0x67, 1, 2}));
  EXPECT_EQ(sps[1], nullptr);  // the empty set is left out, not a 0 in the middle
  EXPECT_EQ(spsSizes[1], 0u);
  EXPECT_EQ(Bytes(pps[0], pps[0] + ppsSizes[0]), (Bytes{0x68, 9}));
  EXPECT_TRUE(pps[1] == nullptr && ppsSizes[1] == 0);
  for (uint8_t** sets : {sps, pps}) free(sets[0]), free(sets);
  free(spsSizes);
  free(ppsSizes);
  for (uint32_t id : {2u, 3u, 4u}) {
    sps = pps = reinterpret_cast<uint8_t**>(&h);
    MP4GetTrackH264SeqPictHeaders(h, id, &sps, &spsSizes, &pps, &ppsSizes);
    EXPECT_TRUE(!sps && !spsSizes && !pps && !ppsSizes) << id;
  }
  uint32_t length = 0;
  EXPECT_TRUE(MP4GetTrackH264LengthSize(h, 1, &length));
  EXPECT_EQ(length, 2u);
  EXPECT_FALSE(MP4GetTrackH264LengthSize(h, 2, &length));
  uint8_t profile = 0, level = 0;
  EXPECT_TRUE(MP4GetTrackH264ProfileLevel(h, 1, &profile, &level));
  EXPECT_EQ(profile, 100);
  EXPECT_EQ(level, 31);

  const struct {
    uint32_t id;
    const char* name;
    uint8_t objectType;
    uint8_t audioType;
    uint8_t videoProfile;
    uint32_t bitRate;
  } tracksExpected[] = {
      // Without an ES descriptor in the entry itself the rate is the bytes
      // over the duration: 8 bytes in 20 ms.
      {1, "avc1", 0, 0, 0, 3200}, {3, "mp4v", 0x20, 0, 0xF5, 0},
      {4, "mp4a", 0x40, 33, 0, 3200}, {5, "mp4a", 0x40, 2, 0, 128000},
  };
  for (const auto& e : tracksExpected) {
    EXPECT_STREQ(MP4GetTrackMediaDataName(h, e.id), e.name);
    EXPECT_EQ(MP4GetTrackEsdsObjectTypeId(h, e.id), e.objectType) << e.id;
    EXPECT_EQ(MP4GetTrackAudioMpeg4Type(h, e.id), e.audioType) << e.id;
    EXPECT_EQ(MP4GetVideoProfileLevel(h, e.id), e.videoProfile) << e.id;
    EXPECT_EQ(MP4GetTrackBitRate(h, e.id), e.bitRate) << e.id;
    EXPECT_FALSE(MP4IsIsmaCrypMediaTrack(h, e.id));
  }
  EXPECT_EQ(MP4GetNumberOfTracks(h, "video", 0x20), 1u);
  EXPECT_EQ(MP4GetNumberOfTracks(h, "audio", 0x40), 2u);
  EXPECT_EQ(MP4FindTrackId(h, 1, "sound", 0x40), 5u);
  EXPECT_EQ(MP4GetTrackAudioChannels(h, 5), 2);
  uint8_t* config = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(MP4GetTrackESConfiguration(h, 4, &config, &size));
  EXPECT_EQ(Bytes(config, config + size), (Bytes{0xF8, 0x20}));
  free(config);
  config = reinterpret_cast<uint8_t*>(&h);
  size = 5;
  EXPECT_FALSE(MP4GetTrackESConfiguration(h, 1, &config, &size));
  EXPECT_TRUE(config == nullptr && size == 0);
  // 2 samples in 20 ms.
  EXPECT_DOUBLE_EQ(MP4GetTrackVideoFrameRate(h, 1), 100.0);
}

// Callbacks that throw what a caller's code may throw, from the n-th read
// on.
struct Throwing : MemFile {
  int readsLeft = 0;
  int kind = 0;
};

Virtual_IO ThrowingIO() {
  Virtual_IO io = MemFileIO();
  io.Read = [](void* handle, void* buffer, uint64_t size) -> uint64_t {
    Throwing* t = static_cast<Throwing*>(handle);
    if (t->readsLeft-- <= 0) {
      if (t->kind == 0) throw std::bad_alloc();
      if (t->kind == 1) throw std::runtime_error("callback failed");
      throw 42;
    }
    Virtual_IO plain = MemFileIO();
    return plain.Read(handle, buffer, size);
  };
  return io;
}

TEST(MP4File, NoExceptionLeaves) {
  const Bytes file = Movie(Lit("abcdefgh"), {Plain(1)});
  Printed p;
  const char* printed[] = {"::Cannot allocate memory\n", ":callback failed:\n", ":unknown failure:\n"};
  for (int kind = 0; kind < 3; kind++) {
    // While opening, at every read.
    bool opened = false;
    for (int at = 0; at < 5000 && !opened; at++) {
      Throwing t;
      t.data = file;
      t.kind = kind;
      t.readsLeft = at;
      Virtual_IO io = ThrowingIO();
      MP4FileHandle h = MP4ReadEx("crafted.mp4", &t, &io, 0);
      if (!h) continue;
      // Then while reading a sample.
      uint8_t* bytes = nullptr;
      uint32_t size = 0;
      t.readsLeft = 0;
      EXPECT_FALSE(MP4ReadSample(h, 1, 1, &bytes, &size, nullptr, nullptr, nullptr, nullptr));
      EXPECT_TRUE(bytes == nullptr && size == 0);
      g_printed.clear();
      MP4SetVerbosity(h, MP4_VERB_ERRORS);
      EXPECT_FALSE(MP4ReadSample(h, 1, 1, &bytes, &size, nullptr, nullptr, nullptr, nullptr));
      EXPECT_EQ(g_printed, printed[kind]);
      MP4Close(h);
      opened = true;
    }
    EXPECT_TRUE(opened) << kind;
  }
  // A message callback or a closing callback that throws.
  MemFile mem;
  mem.data = file;
  Virtual_IO io = MemFileIO();
  io.Close = [](void*) -> int { throw std::runtime_error("close failed"); };
  MP4FileHandle h = MP4ReadEx("crafted.mp4", &mem, &io, MP4_VERB_ERRORS);
  ASSERT_NE(h, nullptr);
  MP4SetLibFunc(ThrowingCallback);
  EXPECT_EQ(MP4GetTrackType(h, 9), nullptr);
  MP4Close(h);
}

TEST(MP4File, RenameReplacesOrKeeps) {
  const std::string a = tu::scratch("a.bin"), b = tu::scratch("b.bin");
  tu::write_file(a, Lit("new"));
  tu::write_file(b, Lit("old"));
  MP4File::Rename(a.c_str(), b.c_str());
  EXPECT_EQ(tu::read_text(b), "new");
  EXPECT_FALSE(tu::exists(a));
  // A rename that cannot be done leaves the target as it was.
  const MP4Error e = Thrown([&] { MP4File::Rename(a.c_str(), b.c_str()); });
  EXPECT_EQ(std::string(e.message), "can't overwrite existing file");
  EXPECT_EQ(e.errnoValue, ENOENT);
  EXPECT_EQ(tu::read_text(b), "new");
}

}  // namespace
