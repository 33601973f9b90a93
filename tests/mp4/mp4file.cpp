// The open file through the function interface, on crafted movies: files
// that cannot be opened, traks that give no track, fields by path, the
// track queries of each sample-entry kind, failures of any exception type,
// the printed errors, and renaming. Then writing: the layouts of new,
// modified and optimised files, tracks of every kind, track ids and what a
// failed adder leaves, deleted tracks and references, parameter sets and
// decoder configurations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mp4.h"
#include "mp4file.h"
#include "mp4files.h"
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

// ---------------------------------------------------------------- writing

using Handle = std::unique_ptr<void, decltype(&MP4Close)>;

// ffprobe's format tags.
std::map<std::string, std::string> FormatTags(const std::string& path) {
  const tu::RunResult r = tu::run("ffprobe -v error -show_entries format_tags -of default=nw=1 " + tu::q(path));
  std::map<std::string, std::string> tags;
  for (const std::string& line : tu::lines(r.out)) {
    const size_t eq = line.find('=');
    if (line.rfind("TAG:", 0) == 0 && eq != std::string::npos) tags[line.substr(4, eq - 4)] = line.substr(eq + 1);
  }
  return tags;
}

// An AAC track of three 4-byte samples.
uint32_t AddSamples(MP4FileHandle h) {
  const uint32_t id = MP4AddAudioTrack(h, 48000, 1024, 0x40);
  for (int i = 0; i < 3; i++) EXPECT_TRUE(MP4WriteSample(h, id, reinterpret_cast<const uint8_t*>("abcd"), 4, UINT64_MAX, 0, true));
  return id;
}

TEST(MP4FileWriting, NewFileLayouts) {
  char isom[] = "isom", avc1[] = "avc1";
  char* brands[] = {isom, avc1};
  const struct {
    const char* name;
    std::function<MP4FileHandle(const char*)> create;
    std::vector<std::string> top;
    bool iods;
    std::map<std::string, std::string> tags;
  } cases[] = {
      {"defaults", [](const char* path) { return MP4Create(path, 0, 0); }, {"ftyp", "mdat", "moov"}, true,
       {{"major_brand", "mp42"}, {"minor_version", "0"}, {"compatible_brands", "mp42isom"}}},
      {"no file type, no iods",
       [](const char* path) { return MP4CreateEx(path, 0, 0, 0, 0, nullptr, 0, nullptr, 0); }, {"mdat", "moov"},
       false, {}},
      {"brands",
       [&](const char* path) { return MP4CreateEx(path, 0, 0, 1, 0, isom, 512, brands, 2); },
       {"ftyp", "mdat", "moov"}, false,
       {{"major_brand", "isom"}, {"minor_version", "512"}, {"compatible_brands", "isomavc1"}}},
  };
  for (const auto& c : cases) {
    const std::string path = tu::scratch(std::string(c.name) + ".mp4");
    MP4FileHandle h = c.create(path.c_str());
    ASSERT_NE(h, nullptr) << c.name;
    AddSamples(h);
    MP4Close(h);
    const Bytes file = tu::read_file(path);
    EXPECT_EQ(TopLevel(file), c.top) << c.name;
    EXPECT_EQ(Find(Walk(file), "iods") != nullptr, c.iods) << c.name;
    std::map<std::string, std::string> tags = FormatTags(path);
    // Created now: the header times count from 1904.
    char today[16];
    const time_t now = time(nullptr);
    strftime(today, sizeof today, "%Y-%m-%dT", gmtime(&now));
    EXPECT_EQ(tags["creation_time"].substr(0, 11), today) << c.name;
    tags.erase("creation_time");
    EXPECT_EQ(tags, c.tags) << c.name;
    EXPECT_EQ(tu::run("ffmpeg -v error -i " + tu::q(path) + " -c copy -f null -").status, 0) << c.name;
  }
  // 64-bit data and times: the media data's long header, 64-bit chunk
  // offsets, version-1 headers.
  const std::string path = tu::scratch("64bit.mp4");
  MP4FileHandle h = MP4Create(path.c_str(), 0, MP4_CREATE_64BIT_DATA | MP4_CREATE_64BIT_TIME);
  ASSERT_NE(h, nullptr);
  AddSamples(h);
  MP4Close(h);
  const Bytes file = tu::read_file(path);
  const std::vector<Walked> boxes = Walk(file);
  const Walked* mdat = Find(boxes, "mdat");
  ASSERT_NE(mdat, nullptr);
  EXPECT_EQ(Be(file, mdat->offset, 4), 1u);
  EXPECT_NE(Find(boxes, "co64"), nullptr);
  EXPECT_EQ(Find(boxes, "stco"), nullptr);
  for (const char* header : {"mvhd", "tkhd", "mdhd"}) EXPECT_EQ(file.at(Find(boxes, header)->offset + 8), 1) << header;
  Handle r(MP4Read(path.c_str(), 0), MP4Close);
  EXPECT_EQ(Sample(r.get(), 3), "abcd");
}


// Each kind of track, added to a new file with a video track to refer to,
// read back: its handler, sample entry, media header and one field.
TEST(MP4FileWriting, TracksOfEveryKind) {
  MP4IsmaCrypParams crypt = {0x69616563, 1, 4, 8, 1, "kms"};  // "iaec"
  const struct {
    const char* name;
    std::function<uint32_t(MP4FileHandle, uint32_t)> add;
    const char* type;
    const char* entry;
    const char* mediaHeader;
    const char* path;
    uint64_t value;
  } cases[] = {
      {"systems", [](MP4FileHandle h, uint32_t) { return MP4AddSystemsTrack(h, "crsm"); }, "crsm", "mp4s", "nmhd",
       "mdia.minf.stbl.stsd.mp4s.esds.decConfigDescr.streamType", 2},
      {"object descriptors", [](MP4FileHandle h, uint32_t) { return MP4AddODTrack(h); }, "odsm", "mp4s", "nmhd",
       "mdia.minf.stbl.stsd.mp4s.esds.decConfigDescr.streamType", 1},
      {"scene", [](MP4FileHandle h, uint32_t) { return MP4AddSceneTrack(h); }, "sdsm", "mp4s", "nmhd",
       "mdia.minf.stbl.stsd.mp4s.esds.decConfigDescr.streamType", 3},
      {"AAC", [](MP4FileHandle h, uint32_t) { return MP4AddAudioTrack(h, 48000, 1024, 0x40); }, "soun", "mp4a",
       "smhd", "mdia.minf.stbl.stsd.mp4a.timeScale", 48000},
      {"AC-3", [](MP4FileHandle h, uint32_t) { return MP4AddAC3AudioTrack(h, 48000, 1536, 0); }, "soun", "ac-3",
       "smhd", "mdia.mdhd.timeScale", 48000},
      {"AMR-WB", [](MP4FileHandle h, uint32_t) { return MP4AddAmrAudioTrack(h, 16000, 0x81FF, 0, 1, true); },
       "soun", "sawb", "smhd", "mdia.minf.stbl.stsd.sawb.damr.modeSet", 0x81FF},
      {"encrypted audio",
       [&](MP4FileHandle h, uint32_t) { return MP4AddEncAudioTrack(h, 44100, 1024, &crypt, 0x40); }, "soun",
       "enca", "smhd", "mdia.minf.stbl.stsd.enca.sinf.schm.scheme_type", 0x69616563},
      {"MPEG-4 visual", [](MP4FileHandle h, uint32_t) { return MP4AddVideoTrack(h, 90000, 3000, 320, 240, 0x20); },
       "vide", "mp4v", "vmhd", "mdia.minf.stbl.stsd.mp4v.width", 320},
      {"H.263", [](MP4FileHandle h, uint32_t) { return MP4AddH263VideoTrack(h, 90000, 3000, 176, 144, 10, 0, 64000, 0); },
       "vide", "s263", "vmhd", "mdia.minf.stbl.stsd.s263.d263.bitr.avgBitrate", 64000},
      {"encrypted video",
       [&](MP4FileHandle h, uint32_t) { return MP4AddEncVideoTrack(h, 90000, 3000, 320, 240, &crypt, 0x20, "mp4v"); },
       "vide", "encv", "vmhd", "mdia.minf.stbl.stsd.encv.sinf.frma.data-format", 0x6D703476},
      {"encrypted H.264",
       [&](MP4FileHandle h, uint32_t ref) { return MP4AddEncH264VideoTrack(h, 90000, 3000, 320, 240, h, ref, &crypt); },
       "vide", "encv", "vmhd", "mdia.minf.stbl.stsd.encv.avcC.AVCProfileIndication", 100},
      {"hyperlinks", [](MP4FileHandle h, uint32_t) { return MP4AddHrefTrack(h, 1000, 1000, "http://x/"); }, "cntl",
       "href", "nmhd", "mdia.minf.stbl.stsd.entryCount", 1},
      {"text", [](MP4FileHandle h, uint32_t ref) { return MP4AddTextTrack(h, ref); }, "text", "text", "gmhd",
       "mdia.mdhd.timeScale", 90000},
      {"chapters", [](MP4FileHandle h, uint32_t ref) { return MP4AddChapterTextTrack(h, ref, 1000); }, "text",
       "text", "gmhd", "tkhd.flags", 0x0E},
  };
  for (const auto& c : cases) {
    const std::string path = tu::scratch("kinds.mp4");
    MP4FileHandle h = MP4Create(path.c_str(), 0, 0);
    const uint32_t ref = MP4AddH264VideoTrack(h, 90000, 3000, 320, 240, 100, 0, 30, 3);
    ASSERT_EQ(ref, 1u);
    const uint32_t id = c.add(h, ref);
    EXPECT_EQ(id, 2u) << c.name;
    MP4Close(h);
    Handle r(MP4Read(path.c_str(), 0), MP4Close);
    ASSERT_NE(r.get(), nullptr) << c.name;
    EXPECT_STREQ(MP4GetTrackType(r.get(), id), c.type) << c.name;
    EXPECT_STREQ(MP4GetTrackMediaDataName(r.get(), id), c.entry) << c.name;
    uint64_t value = 0;
    EXPECT_TRUE(MP4GetTrackIntegerProperty(r.get(), id, c.path, &value)) << c.name;
    EXPECT_EQ(value, c.value) << c.name;
    const std::vector<Walked> boxes = Walk(tu::read_file(path));
    EXPECT_NE(Find(boxes, c.mediaHeader, c.mediaHeader == std::string("vmhd")), nullptr) << c.name;
  }
  // Whatever is still to be checked of single kinds.
  const std::string path = tu::scratch("kinds.mp4");
  Handle r(MP4Read(path.c_str(), 0), MP4Close);
  uint64_t chapter = 0;
  EXPECT_TRUE(MP4GetTrackIntegerProperty(r.get(), 1, "tref.chap.entries[0].trackId", &chapter));
  EXPECT_EQ(chapter, 2u);
  EXPECT_EQ(MP4AddAudioTrack(r.get(), 48000, 1024, 0x40), 0u);  // read only
}

TEST(MP4FileWriting, TrackIdsAndFailedAdders) {
  const std::string path = tu::scratch("ids.mp4");
  MP4FileHandle h = MP4CreateEx(path.c_str(), 0, 0, 1, 0, nullptr, 0, nullptr, 0);
  MP4File* f = static_cast<MP4File*>(h);
  EXPECT_EQ(MP4AddAudioTrack(h, 48000, 1024, 0x40), 1u);
  EXPECT_EQ(f->GetIntegerProperty("moov.mvhd.nextTrackId"), 2u);
  EXPECT_EQ(MP4AddAudioTrack(h, 48000, 1024, 0x40), 2u);
  // The next id in use: the lowest free one, the next id kept.
  f->SetIntegerProperty("moov.mvhd.nextTrackId", 1);
  EXPECT_EQ(MP4AddAudioTrack(h, 48000, 1024, 0x40), 3u);
  EXPECT_EQ(f->GetIntegerProperty("moov.mvhd.nextTrackId"), 1u);
  f->SetIntegerProperty("moov.mvhd.nextTrackId", 4);
  // Adders that fail leave nothing: no initial object descriptor for an OD
  // track, no reference track, a length size of 5 bytes.
  EXPECT_EQ(MP4AddODTrack(h), 0u);
  EXPECT_EQ(MP4AddTextTrack(h, 9), 0u);
  EXPECT_EQ(MP4AddH264VideoTrack(h, 90000, 3000, 320, 240, 100, 0, 30, 4), 0u);
  EXPECT_EQ(MP4GetNumberOfTracks(h, nullptr, 0), 3u);
  EXPECT_EQ(f->GetIntegerProperty("moov.mvhd.nextTrackId"), 4u);
  EXPECT_EQ(MP4AddAudioTrack(h, 48000, 1024, 0x40), 4u);
  MP4Close(h);
  const Bytes file = tu::read_file(path);
  int traks = 0;
  for (const Walked& w : Walk(file)) traks += w.type == "trak";
  EXPECT_EQ(traks, 4);
  // One object-descriptor track a file.
  h = MP4Create(tu::scratch("od.mp4").c_str(), 0, 0);
  EXPECT_EQ(MP4AddODTrack(h), 1u);
  EXPECT_EQ(MP4AddODTrack(h), 0u);
  EXPECT_EQ(MP4GetNumberOfTracks(h, nullptr, 0), 1u);
  MP4Close(h);
}

// The initial object descriptor's ES ids and an OD track's references
// follow the tracks; a deleted track's bytes stay behind a free atom.
TEST(MP4FileWriting, DeletedTracksAndReferences) {
  const std::string path = tu::scratch("refs.mp4");
  MP4FileHandle h = MP4Create(path.c_str(), 0, 0);
  MP4File* f = static_cast<MP4File*>(h);
  const uint32_t od = MP4AddODTrack(h), scene = MP4AddSceneTrack(h);
  const uint32_t audio = AddSamples(h);
  const auto mpod = [&] {
    std::vector<uint64_t> ids;
    const uint64_t n = f->GetTrackIntegerProperty(od, "tref.mpod.entryCount");
    for (uint32_t i = 0; i < n; i++)
      ids.push_back(f->GetIntegerProperty((std::string(f->MakeTrackName(od, "tref.mpod.entries[")) +
                                           std::to_string(i) + "].trackId").c_str()));
    return ids;
  };
  const auto iods = [&] {
    std::vector<uint64_t> ids;
    for (uint32_t i = 0;; i++) {
      uint64_t id = 0;
      if (!MP4GetIntegerProperty(h, ("moov.iods.esIds[" + std::to_string(i) + "].id").c_str(), &id)) return ids;
      ids.push_back(id);
    }
  };
  EXPECT_EQ(mpod(), (std::vector<uint64_t>{scene, audio}));
  EXPECT_EQ(iods(), (std::vector<uint64_t>{od, scene}));
  // Equal neighbours go together.
  const std::string trefName = f->MakeTrackName(od, "tref.mpod");
  f->AddTrackReference(trefName.c_str(), audio);
  f->AddTrackReference(trefName.c_str(), scene);
  f->RemoveTrackReference(trefName.c_str(), audio);
  EXPECT_EQ(mpod(), (std::vector<uint64_t>{scene, scene}));
  f->RemoveTrackReference(trefName.c_str(), scene);
  f->AddTrackReference(trefName.c_str(), scene);
  MP4DeleteTrack(h, scene);
  EXPECT_EQ(mpod(), std::vector<uint64_t>{});
  EXPECT_EQ(iods(), std::vector<uint64_t>{od});
  MP4DeleteTrack(h, od);
  EXPECT_EQ(iods(), std::vector<uint64_t>{});
  EXPECT_EQ(MP4AddODTrack(h), 4u);  // none left: a new one may be added
  MP4Close(h);
  const uint64_t size = tu::read_file(path).size();

  // Deleted while modifying: the smaller movie follows the old one, which
  // is free space now.
  h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  MP4DeleteTrack(h, audio);
  MP4Close(h);
  const Bytes file = tu::read_file(path);
  const std::vector<std::string> top = TopLevel(file);
  EXPECT_EQ(top, (std::vector<std::string>{"ftyp", "mdat", "free", "moov"}));
  EXPECT_EQ(Find(Walk(file), "free")->offset + Find(Walk(file), "free")->size, size);
  Handle r(MP4Read(path.c_str(), 0), MP4Close);
  EXPECT_EQ(MP4GetNumberOfTracks(r.get(), nullptr, 0), 1u);
}

TEST(MP4FileWriting, ParameterSetsAndConfigurations) {
  const std::string path = tu::scratch("sets.mp4");
  MP4FileHandle h = MP4Create(path.c_str(), 0, 0);
  const uint32_t avc = MP4AddH264VideoTrack(h, 90000, 3000, 320, 240, 100, 0, 30, 3);
  const uint8_t sps[] = {0x67, 0x64, 0x00, 0x1E}, sps2[] = {0x67, 0x64}, pps[] = {0x68, 0xEE, 0x3C, 0x80};
  MP4AddH264SequenceParameterSet(h, avc, sps, sizeof sps);
  MP4AddH264SequenceParameterSet(h, avc, sps, sizeof sps);
  MP4AddH264SequenceParameterSet(h, avc, sps2, sizeof sps2);
  MP4AddH264PictureParameterSet(h, avc, pps, sizeof pps);
  MP4AddH264PictureParameterSet(h, avc, pps, sizeof pps);
  MP4IsmaCrypParams crypt = {1, 1, 0, 0, 0, ""};
  const uint32_t encv = MP4AddEncH264VideoTrack(h, 90000, 3000, 320, 240, h, avc, &crypt);
  MP4AddH264PictureParameterSet(h, encv, sps2, sizeof sps2);  // next to the copied ones
  const uint32_t aac = MP4AddAudioTrack(h, 48000, 1024, 0x40);
  const uint8_t config[] = {0x11, 0x90};
  EXPECT_TRUE(MP4SetTrackESConfiguration(h, aac, config, sizeof config));
  EXPECT_FALSE(MP4SetTrackESConfiguration(h, avc, config, sizeof config));  // no ES descriptor
  uint8_t frame[8] = {};
  EXPECT_TRUE(MP4WriteSample(h, aac, frame, sizeof frame, UINT64_MAX, 0, true));
  MP4Close(h);

  Handle r(MP4Read(path.c_str(), 0), MP4Close);
  const struct {
    uint32_t id;
    std::vector<Bytes> sets[2];
  } tracks[] = {{avc, {{Bytes(sps, sps + 4), Bytes(sps2, sps2 + 2)}, {Bytes(pps, pps + 4)}}},
                {encv, {{Bytes(sps, sps + 4), Bytes(sps2, sps2 + 2)}, {Bytes(pps, pps + 4), Bytes(sps2, sps2 + 2)}}}};
  for (const auto& t : tracks) {
    uint8_t** sets[2];
    uint32_t* sizes[2];
    MP4GetTrackH264SeqPictHeaders(r.get(), t.id, &sets[0], &sizes[0], &sets[1], &sizes[1]);
    for (int k = 0; k < 2; k++) {
      ASSERT_NE(sets[k], nullptr);
      std::vector<Bytes> got;
      for (uint32_t i = 0; sizes[k][i]; i++) {
        got.push_back(Bytes(sets[k][i], sets[k][i] + sizes[k][i]));
        free(sets[k][i]);
      }
      free(sets[k]);
      free(sizes[k]);
      EXPECT_EQ(got, t.sets[k]) << t.id << " " << k;
    }
  }
  EXPECT_EQ(FFprobeExtradata(path, 2), Bytes(config, config + 2));
}

// The old movie stays whole until the new one is: new media data and the
// new movie go after the file's last box (or the movie into free space
// that it fits), and the old movie becomes free space of its size. No
// sample, no media data atom.
TEST(MP4FileWriting, ModifiedLayouts) {
  const Bytes moov = Moov({Trak(Plain(1))});
  const Bytes mdat = Box("mdat", Lit("abcdefgh"));
  const Bytes room = Box("free", Bytes(1000, 0));
  const Bytes mdat64 = Cat({BE(1, 4), Lit("mdat"), BE(24, 8), Lit("abcdefgh")});
  CraftedTrack first = Plain(1), afterRoom = Plain(1), large = Plain(1);
  first.tables = PlainTables(2, 10, 4, 2, {kFtyp.size() + moov.size() + 8});
  afterRoom.tables = PlainTables(2, 10, 4, 2, {kFtyp.size() + room.size() + 8});
  large.tables = PlainTables(2, 10, 4, 2, {kFtyp.size() + 16});
  const struct {
    const char* name;
    Bytes file;
    bool sample;
    std::vector<std::string> top;
    uint64_t oldMovie;  // where the old movie was
    bool keepsSize = false;  // the movie fits free space
  } cases[] = {
      {"movie first", Cat({kFtyp, Moov({Trak(first)}), mdat}), true, {"ftyp", "free", "mdat", "mdat", "moov"},
       kFtyp.size()},
      {"movie last", Cat({kFtyp, mdat, moov}), true, {"ftyp", "mdat", "free", "mdat", "moov"},
       kFtyp.size() + mdat.size()},
      {"free space after the movie", Cat({kFtyp, mdat, moov, Box("free", Bytes(100, 0))}), true,
       {"ftyp", "mdat", "free", "free", "mdat", "moov"}, kFtyp.size() + mdat.size()},
      {"no sample", Cat({kFtyp, mdat, moov}), false, {"ftyp", "mdat", "free", "moov"}, kFtyp.size() + mdat.size()},
      // The new media data takes the 64-bit header too.
      {"64-bit media data", Cat({kFtyp, mdat64, Moov({Trak(large)})}), true, {"ftyp", "mdat", "free", "mdat", "moov"},
       kFtyp.size() + mdat64.size()},
      {"no sample, free space the movie fits", Cat({kFtyp, room, mdat, Moov({Trak(afterRoom)})}), false,
       {"ftyp", "moov", "free", "mdat", "free"}, kFtyp.size() + room.size() + mdat.size(), true},
      {"no sample, free space at the end", Cat({kFtyp, mdat, moov, room}), false,
       {"ftyp", "mdat", "free", "moov", "free"}, kFtyp.size() + mdat.size(), true},
  };
  for (const auto& c : cases) {
    MemFile mem;
    mem.data = c.file;
    Virtual_IO io = MemFileIO();
    MP4File f(0);
    ASSERT_TRUE(f.Modify("crafted.mp4", &mem, &io)) << c.name;
    if (c.sample) { EXPECT_TRUE(MP4WriteSample(&f, 1, reinterpret_cast<const uint8_t*>("wxyz"), 4, 10, 0, true)); }
    f.Close();
    EXPECT_EQ(TopLevel(mem.data), c.top) << c.name;
    const std::vector<Walked> boxes = Walk(mem.data);
    const auto old = std::find_if(boxes.begin(), boxes.end(), [&](const Walked& w) { return w.offset == c.oldMovie; });
    ASSERT_NE(old, boxes.end()) << c.name;
    EXPECT_EQ(old->type, "free") << c.name;
    EXPECT_EQ(old->size, Find(Walk(c.file), "moov")->size) << c.name;
    // The new media data's header has the old one's form: a 32-bit size,
    // or 1 and a 64-bit one.
    if (c.sample) {
      ASSERT_NE(Find(boxes, "mdat", 1), nullptr) << c.name;
      EXPECT_EQ(Be(mem.data, Find(boxes, "mdat", 1)->offset, 4) == 1,
                Be(c.file, Find(Walk(c.file), "mdat")->offset, 4) == 1)
          << c.name;
    }
    if (c.keepsSize) { EXPECT_EQ(mem.data.size(), c.file.size()) << c.name; }
    Opened o(mem.data);
    const uint32_t samples = c.sample ? 3 : 2;
    EXPECT_EQ(MP4GetTrackNumberOfSamples(o.h.get(), 1), samples) << c.name;
    for (uint32_t s = 1; s <= samples; s++) EXPECT_EQ(Sample(o.h.get(), s), std::string("abcdefgh" "wxyz").substr(4 * (s - 1), 4)) << c.name;
  }
  const struct {
    const char* name;
    Bytes file;
    const char* error;
  } refused[] = {
      {"no movie", Cat({kFtyp, mdat}), nullptr},
  };
  for (const auto& c : refused) {
    const std::string path = tu::scratch("refused.mp4");
    tu::write_file(path, c.file);
    EXPECT_EQ(MP4Modify(path.c_str(), 0), nullptr) << c.name;
    MP4File f(0);
    const MP4Error e = Thrown([&] { EXPECT_FALSE(f.Modify(path.c_str())); });
    EXPECT_STREQ(e.message, c.error ? c.error : "nothing thrown") << c.name;
    EXPECT_EQ(tu::read_file(path), c.file) << c.name;
  }
  // Two movies (as a close stopped between its last two writes leaves
  // them): the first is the movie, as other readers take it, and the later
  // one free space: at the end of the file, the new movie takes its place.
  {
    const std::string path = tu::scratch("two-movies.mp4");
    const Bytes two = Cat({kFtyp, moov, mdat, moov});
    tu::write_file(path, two);
    ASSERT_TRUE(ModifyBounded(path, 1 << 20, [](MP4FileHandle h) { return MP4SetMetadataGrouping(h, "Two"); }));
    const Bytes after = tu::read_file(path);
    EXPECT_EQ(TopLevel(after), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
    EXPECT_EQ(after.size(), two.size() + (Find(Walk(after), "moov")->size - moov.size()));
    EXPECT_TRUE(ModifyBounded(path, 1 << 20));
  }
  // A movie that holds a box of more than 4 GiB (a hole in a sparse file):
  // it could not be written back over itself, so nothing is written.
  const std::string path = tu::scratch("huge-movie.mp4");
  const Bytes head = Cat({kFtyp, mdat, BE(1, 4), Lit("moov"), BE(16 + moov.size() - 8 + (5ull << 30), 8),
                          Bytes(moov.begin() + 8, moov.end()), BE(1, 4), Lit("junk"), BE(5ull << 30, 8)});
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), ssize_t(head.size()));
  ASSERT_EQ(ftruncate(fd, kFtyp.size() + mdat.size() + 16 + moov.size() - 8 + (5ull << 30)), 0);
  close(fd);
  EXPECT_EQ(MP4Modify(path.c_str(), 0), nullptr);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), kFtyp.size() + mdat.size() + 16 + moov.size() - 8 + (5ull << 30));
  Bytes after(head.size());
  FILE* f = fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fread(after.data(), 1, after.size(), f), after.size());
  fclose(f);
  EXPECT_EQ(after, head);
  unlink(path.c_str());
}

// A movie atom whose size does not cover its header (the next atom is read
// from inside it): the free space that would mark its old place has no
// size, so the file is refused before anything is written. In memory, with
// writes capped a little above the file's size.
TEST(MP4FileWriting, DamagedMovieSizesWriteNothing) {
  const std::string found = std::string(SHARED_TESTDATA) + "/mp4-finds/unbounded-write.mp4";
  const Bytes ftyp = Box("ftyp", Cat({Lit("isom"), BE(0, 4), Lit("isom")}));
  const struct {
    const char* name;
    Bytes file;
    const char* error;  // null: only refused, whatever the reason
  } cases[] = {
      {"movie of 4 bytes", Cat({ftyp, BE(4, 4), Lit("moov"), Box("free", Bytes(8, 0))}),
       "the movie atom at 20 has a size of 4 bytes, less than its header"},
      {"movie of 4 bytes, last", Cat({ftyp, Box("mdat", Lit("abcdefgh")), BE(4, 4), Lit("moov")}),
       "the movie atom at 36 has a size of 4 bytes, less than its header"},
      {"found by fuzzing", tu::read_file(found),
       "the movie atom at 2185 has a size of 2 bytes, less than its header"},
      {"type with a zero byte", Cat({ftyp, BE(4, 4), Bytes{'m', 0, 0x10, 'f'}, Box("free", Bytes(8, 0))}), nullptr},
  };
  bool found_missing = false;
  for (const auto& c : cases) {
    // The other cases are tested all the same; the test is then skipped.
    if (c.file.empty() && !tu::exists(found)) {
      found_missing = true;
      continue;
    }
    ASSERT_GT(c.file.size(), 40u) << c.name;
    MemFile mem;
    mem.data = c.file;
    mem.writeCap = c.file.size() + 65536;
    Virtual_IO io = MemFileIO();
    MP4File f(0);
    bool modified = false;
    const MP4Error e = Thrown([&] { modified = f.Modify("damaged.mp4", &mem, &io); });
    EXPECT_FALSE(modified) << c.name;
    if (c.error) { EXPECT_STREQ(e.message, c.error) << c.name; }
    EXPECT_EQ(mem.data, c.file) << c.name;
  }
  if (found_missing) GTEST_SKIP() << "no " << found << " (shared test data): its case is skipped";
}

// Fragmented files: the movie fragments describe samples that a new movie
// would not, so Modify and Optimize refuse them with nothing written, no
// target made and no temporary file left: a file with a fragment, and a
// movie extends box in a movie that lists no sample (its samples are in
// fragments elsewhere).
TEST(MP4FileWriting, FragmentedFilesAreRefused) {
  const std::string dir = tu::scratch("fragmented") + "/";
  tu::run("rm -rf " + tu::q(dir) + " && mkdir -p " + tu::q(dir));
  CraftedTrack empty = Plain(1);
  empty.tables = PlainTables(0, 10, 4, 2, {});
  std::vector<std::pair<std::string, Bytes>> files = {
      {"crafted movie fragment", Cat({Movie(Lit("abcdefgh"), {Plain(1)}), Box("moof", FullBox("mfhd", 0, 0, BE(1, 4)))})},
      {"crafted movie extends, no sample listed",
       Cat({kFtyp, Box("mdat", Lit("abcdefgh")),
            Moov({Trak(empty), Box("mvex", FullBox("trex", 0, 0, Cat({BE(1, 4), Bytes(16, 0)})))})})},
  };
  ASSERT_TRUE(tu::ffmpeg(std::string(kVideo) + " -c:v libx264 -movflags +frag_keyframe+empty_moov " +
                         tu::q(dir + "made.mp4")));
  files.push_back({"ffmpeg empty movie", tu::read_file(dir + "made.mp4")});
  const std::string source = dir + "source.mp4";
  for (const auto& file : files) {
    tu::write_file(source, file.second);
    EXPECT_EQ(MP4Modify(source.c_str(), 0), nullptr) << file.first;
    EXPECT_FALSE(MP4Optimize(source.c_str(), (dir + "target.mp4").c_str(), 0)) << file.first;
    EXPECT_FALSE(MP4Optimize(source.c_str(), nullptr, 0)) << file.first;
    EXPECT_EQ(tu::read_file(source), file.second) << file.first;
    EXPECT_EQ(tu::run("ls -A " + tu::q(dir)).out, "made.mp4\nsource.mp4\n") << file.first;
    MP4File f(0);
    const MP4Error e = Thrown([&] { f.Modify(source.c_str()); });
    EXPECT_STREQ(e.message, "fragmented files cannot be rewritten") << file.first;
  }
}

// Without a target, or with the source as target, the source is replaced
// through a temporary file beside it; a failure leaves the source as it
// was and nothing else.
TEST(MP4FileWriting, OptimisedInPlaceOrToATarget) {
  const std::string dir = tu::scratch("opt") + "/";
  tu::run("rm -rf " + tu::q(dir) + " && mkdir -p " + tu::q(dir));
  const Bytes original = Movie(Lit("abcdefgh"), {Plain(1)});
  const std::string source = dir + "source.mp4";
  const auto listing = [&] { return tu::run("ls -A " + tu::q(dir)).out; };
  for (const char* target : {static_cast<const char*>(nullptr), "source.mp4", "./source.mp4"}) {
    tu::write_file(source, original);
    chmod(source.c_str(), 0640);
    const std::string t = target ? dir + target : std::string();
    ASSERT_TRUE(MP4Optimize(source.c_str(), target ? t.c_str() : nullptr, 0)) << (target ? target : "NULL");
    EXPECT_EQ(TopLevel(tu::read_file(source)), (std::vector<std::string>{"ftyp", "moov", "mdat"}));
    EXPECT_EQ(listing(), "source.mp4\n");
    struct stat st;
    ASSERT_EQ(stat(source.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    Handle r(MP4Read(source.c_str(), 0), MP4Close);
    EXPECT_EQ(Sample(r.get(), 2), "efgh");
  }
  tu::write_file(source, original);
  EXPECT_FALSE(MP4Optimize(source.c_str(), (dir + "missing/target.mp4").c_str(), 0));
  EXPECT_FALSE(MP4Optimize((dir + "missing.mp4").c_str(), nullptr, 0));
  // A chunk past the end of the file, or 400 chunks that are all the same
  // 8 bytes (3200 bytes from a file of 2 KB): nothing is written.
  CraftedTrack cut = Plain(1), repeated = Plain(1);
  cut.tables = PlainTables(2, 10, 4, 2, {kMedia + 100000});
  repeated.tables = PlainTables(800, 10, 4, 2, std::vector<uint64_t>(400, kMedia));
  for (const CraftedTrack& t : {cut, repeated}) {
    const Bytes damaged = Movie(Lit("abcdefgh"), {t});
    ASSERT_LT(damaged.size(), 3200u);
    tu::write_file(source, damaged);
    EXPECT_FALSE(MP4Optimize(source.c_str(), nullptr, 0));
    EXPECT_EQ(tu::read_file(source), damaged);
    EXPECT_EQ(listing(), "source.mp4\n");
  }
}

// ---------------------------------------------------------------- files of other tools, rewritten

// Files as ffmpeg, AtomicParsley and exiftool write them, made once per
// process with their writes bounded: the movie last (ffmpeg's own layout),
// first (+faststart), a QuickTime file, one tagged by AtomicParsley and
// one holding exiftool's XMP box.
struct ToolFile {
  const char* name;
  std::string path;
};

const char* const kXmpTitle = "XMP title of the test";

const std::vector<ToolFile>& ToolFiles() {
  static std::vector<ToolFile> files;
  if (!files.empty()) return files;
  const std::string dir = tu::process_scratch("tools");
  const std::string av = std::string(kVideo) + " " + kAudio + " -c:v libx264 -c:a aac -shortest ";
  const uint64_t bound = 4 << 20;
  const std::vector<std::pair<const char*, std::string>> make = {
      {"movie last", "ffmpeg -v error -y " + av + "last.mp4"},
      {"movie first", "ffmpeg -v error -y " + av + "-movflags +faststart first.mp4"},
      {"QuickTime", "ffmpeg -v error -y " + av + "-f mov movie.mov"},
      {"AtomicParsley", "cp last.mp4 ap.mp4 && AtomicParsley ap.mp4 --artist 'AP Artist' --title 'AP Title'"
                        " --overWrite > /dev/null"},
      {"exiftool XMP", "cp last.mp4 xmp.mp4 && exiftool -q -overwrite_original '-XMP-dc:Title=" +
                           std::string(kXmpTitle) + "' xmp.mp4"},
  };
  const char* const names[] = {"last.mp4", "first.mp4", "movie.mov", "ap.mp4", "xmp.mp4"};
  for (size_t i = 0; i < make.size(); i++) {
    const tu::RunResult r = RunBounded(bound, "cd " + tu::q(dir) + " && " + make[i].second);
    EXPECT_EQ(r.status, 0) << make[i].first << ": " << r.out;
    files.push_back({make[i].first, dir + names[i]});
  }
  return files;
}

// What ffprobe shows of a file: its format tags, the packets of each
// stream (in their order within the stream) with the Adler-32 of their
// bytes, and whatever it prints about the file.
struct Probed {
  std::string tags, packets, messages;
  bool operator==(const Probed& o) const { return packets == o.packets && messages == o.messages; }
};

std::ostream& operator<<(std::ostream& os, const Probed& p) {
  return os << p.messages << p.packets.substr(0, 400) << "...";
}

Probed Probe(const std::string& path) {
  const tu::RunResult r =
      tu::run("ffprobe -v error -show_entries packet=stream_index,pts,dts,duration,size,flags,data_hash:format_tags"
              " -show_data_hash adler32 -of compact=p=0 " + tu::q(path));
  Probed p;
  std::vector<std::string> packets;
  for (const std::string& line : tu::lines(r.out)) {
    if (line.rfind("stream_index=", 0) == 0)
      packets.push_back(line);
    else if (line.rfind("tag:", 0) == 0)
      p.tags += line;
    else if (line.rfind("|", 0) == 0 && !packets.empty())
      packets.back() += line;  // side data of the packet, on a line of its own
    else
      p.messages += line + "\n";
  }
  std::stable_sort(packets.begin(), packets.end(), [](const std::string& a, const std::string& b) {
    return std::atoi(a.c_str() + 13) < std::atoi(b.c_str() + 13);
  });
  for (const std::string& line : packets) p.packets += line + "\n";
  return p;
}

// What the library reads of each track: its samples' count, how many read,
// and the Adler-32 of their bytes; "no handle" when it cannot open it.
std::string LibraryView(const std::string& path) {
  Handle h(MP4Read(path.c_str(), 0), MP4Close);
  if (!h) return "no handle";
  std::string view;
  for (uint32_t t = 0; t < MP4GetNumberOfTracks(h.get(), nullptr, 0); t++) {
    const uint32_t id = MP4FindTrackId(h.get(), static_cast<uint16_t>(t), nullptr, 0);
    const uint32_t samples = MP4GetTrackNumberOfSamples(h.get(), id);
    uint32_t read = 0, sum = 0;
    for (uint32_t s = 1; s <= samples; s++) {
      uint8_t* bytes = nullptr;
      uint32_t size = 0;
      if (!MP4ReadSample(h.get(), id, s, &bytes, &size, nullptr, nullptr, nullptr, nullptr)) continue;
      read++;
      sum = static_cast<uint32_t>(adler32(sum, bytes, size));
      free(bytes);
    }
    view += std::to_string(id) + ": " + std::to_string(read) + " of " + std::to_string(samples) + " read, adler " +
            std::to_string(sum) + "\n";
  }
  return view;
}

// The file's ends that a box appended after them must not disappear into:
// bytes that are no box, and a last box sized "to the end of the file".
Bytes WithEnd(const Bytes& file, const std::string& end) {
  if (end == "8 zero bytes after") return Cat({file, Bytes(8, 0)});
  if (end == "junk after") return Cat({file, Lit("these bytes are no box, only junk\n")});
  if (end == "3 bytes after") return Cat({file, Lit("abc")});
  Bytes out = file;
  const std::vector<Walked> boxes = Walk(file);
  uint64_t last = 0;
  for (const Walked& w : boxes)
    if (w.depth == 1) last = w.offset;
  for (int i = 0; i < 4; i++) out[last + i] = 0;
  return out;
}

const char* const kEnds[] = {"8 zero bytes after", "junk after", "3 bytes after", "last box of size 0"};

// Modify and close (a new item given), and the 3GP brands: the file stays
// readable, by ffprobe and the library, with every packet it had, and
// holds what was added.
TEST(MP4FileRewrite, LastBoxGivenItsSizeBeforeAppending) {
  const struct {
    size_t file;  // in ToolFiles()
    const char* end;
    bool brands;  // also made 3GP-compliant
  } cases[] = {
      {0, kEnds[0], true}, {0, kEnds[1], false}, {0, kEnds[2], false}, {0, kEnds[3], true},
      {1, kEnds[1], false}, {1, kEnds[3], true}, {2, kEnds[0], false},
  };
  std::map<size_t, Probed> probed;
  for (const auto& c : cases) {
    const ToolFile& tool = ToolFiles()[c.file];
    const std::string what = std::string(tool.name) + ", " + c.end;
    if (!probed.count(c.file)) probed[c.file] = Probe(tool.path);
    const Probed& original = probed[c.file];
    ASSERT_NE(original.packets.find("stream_index=1"), std::string::npos) << what;
    const Bytes source = WithEnd(tu::read_file(tool.path), c.end);
    const std::string path = tu::scratch("ends.mp4");
    tu::write_file(path, source);
    const std::string view = LibraryView(path);
    ASSERT_EQ(view.find("no handle"), std::string::npos) << what;
    const uint64_t bound = source.size() * 2 + 65536;

    EXPECT_TRUE(ModifyBounded(path, bound, [](MP4FileHandle h) { return MP4SetMetadataGrouping(h, "Ends"); }))
        << what;
    Probed p = Probe(path);
    EXPECT_EQ(p, original) << what;
    EXPECT_NE(p.tags.find("tag:grouping=Ends"), std::string::npos) << what;
    EXPECT_EQ(LibraryView(path), view) << what;
    if (!c.brands) continue;
    tu::write_file(path, source);
    EXPECT_EQ(Bounded(bound, [&] { return MP4Make3GPCompliant(path.c_str(), 0, nullptr, 0, nullptr, 0, false); }), 0)
        << what;
    p = Probe(path);
    EXPECT_EQ(p, original) << what;
    EXPECT_EQ(p.tags.rfind("tag:major_brand=3gp5", 0), 0u) << what;
    EXPECT_EQ(LibraryView(path), view) << what;
  }
}

// A file cut short in its media data (a download that stopped, the movie
// first): appended bytes would be read as its missing samples, so it is
// refused with nothing written, and it reads as it did.
TEST(MP4FileRewrite, CutShortFilesAreRefused) {
  const Bytes whole = tu::read_file(ToolFiles()[1].path);
  const std::vector<Walked> boxes = Walk(whole);
  const Walked* mdat = Find(boxes, "mdat");
  ASSERT_NE(mdat, nullptr);
  for (const uint64_t cut : {mdat->offset + mdat->size * 6 / 10, mdat->offset + 3, mdat->offset}) {
    const Bytes source(whole.begin(), whole.begin() + cut);
    const std::string path = tu::scratch("cut.mp4");
    tu::write_file(path, source);
    const std::string view = LibraryView(path);
    ASSERT_EQ(view.find("no handle"), std::string::npos) << cut;
    const uint64_t bound = source.size() * 2 + 65536;
    EXPECT_EQ(Bounded(bound, [&] { return MP4Modify(path.c_str(), 0) != nullptr; }), 1) << cut;
    EXPECT_EQ(tu::read_file(path), source) << cut;
    EXPECT_EQ(Bounded(bound, [&] { return MP4Make3GPCompliant(path.c_str(), 0, nullptr, 0, nullptr, 0, false); }), 1)
        << cut;
    EXPECT_EQ(tu::read_file(path), source) << cut;
    EXPECT_EQ(LibraryView(path), view) << cut;
    MP4File f(0);
    const MP4Error e = Thrown([&] { f.Modify(path.c_str()); });
    EXPECT_EQ(std::string(e.message ? e.message : "").rfind("the file is cut short: ", 0), 0u) << cut;
  }
}

// Ends that cannot be given a place for what is appended, refused with
// their message and nothing written: bytes that are no box but hold
// samples, samples past the end, and a last box "to the end of the file"
// of more than 4 GiB behind a 32-bit header (a hole in a sparse file).
TEST(MP4FileRewrite, EndsThatCannotBeMadeWhole) {
  const auto movie = [](uint64_t chunk) {
    CraftedTrack t = Plain(1);
    t.tables = PlainTables(2, 10, 4, 2, {chunk});
    return Movie(Lit("abcdefgh"), {t});
  };
  const uint64_t size = movie(0).size();
  const struct {
    const char* name;
    Bytes file;
    std::string message;
  } cases[] = {
      {"samples in zeros after the movie", Cat({movie(size), Bytes(8, 0)}),
       "the 8 bytes at the end of the file are no box but hold samples"},
      {"samples past the end", movie(size + 100),
       "the file is cut short: chunk 1 of track 1 (8 bytes at " + std::to_string(size + 100) +
           ") runs past its end at " + std::to_string(size)},
  };
  for (const auto& c : cases) {
    const std::string path = tu::scratch("refused.mp4");
    tu::write_file(path, c.file);
    MP4File f(0);
    EXPECT_EQ(Thrown([&] { f.Modify(path.c_str()); }).message, c.message) << c.name;
    EXPECT_EQ(tu::read_file(path), c.file) << c.name;
  }

  CraftedTrack t = Plain(1);
  const Bytes moov = Moov({Trak(t)});
  t.tables = PlainTables(2, 10, 4, 2, {kFtyp.size() + moov.size() + 8});
  const Bytes head = Cat({kFtyp, Moov({Trak(t)}), BE(0, 4), Lit("mdat"), Lit("abcdefgh")});
  const std::string path = tu::scratch("sparse.mp4");
  const uint64_t length = (5ull << 30) + 12;
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), ssize_t(head.size()));
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(length)), 0);
  close(fd);
  MP4File f(0);
  const uint64_t mdat = kFtyp.size() + moov.size();
  EXPECT_EQ(Thrown([&] { f.Modify(path.c_str()); }).message,
            "the last box (mdat at " + std::to_string(mdat) + ") runs to the end of the file, and its size of " +
                std::to_string(length - mdat) + " bytes does not fit its header");
  Bytes after(head.size());
  FILE* in = fopen(path.c_str(), "rb");
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(fread(after.data(), 1, after.size(), in), after.size());
  fclose(in);
  EXPECT_EQ(after, head);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), length);
  unlink(path.c_str());
}

// A close that cannot write the new movie (the file may not grow past a
// few bytes more than it holds) leaves the file as it was, byte for byte,
// and so does the 3GP function, which says it failed; killed at that
// write, the process leaves a file that reads as before and can be
// modified again.
TEST(MP4FileRewrite, FailedCloseLeavesTheFileAsItWas) {
  std::vector<std::pair<std::string, Bytes>> sources;
  for (const ToolFile& tool : ToolFiles()) sources.push_back({tool.name, tu::read_file(tool.path)});
  sources.push_back({"movie last, 8 zero bytes after", WithEnd(sources[0].second, kEnds[0])});
  sources.push_back({"movie first, last box of size 0", WithEnd(sources[1].second, kEnds[3])});
  const std::function<bool(MP4FileHandle)> changes[] = {
      [](MP4FileHandle h) { return MP4SetMetadataGrouping(h, "Failed"); },
      [](MP4FileHandle h) {
        const Bytes frame(3000, 0x55);
        return MP4SetMetadataGrouping(h, "Failed") &&
               MP4WriteSample(h, MP4FindTrackId(h, 0, "audio", 0), frame.data(), static_cast<uint32_t>(frame.size()),
                              1024, 0, true);
      },
  };
  const std::string path = tu::scratch("failed.mp4");
  for (const auto& source : sources) {
    const uint64_t tight = source.second.size() + 100;
    for (size_t c = 0; c < 2; c++) {
      tu::write_file(path, source.second);
      EXPECT_TRUE(ModifyBounded(path, tight, changes[c])) << source.first << " " << c;
      EXPECT_EQ(tu::read_file(path), source.second) << source.first << " " << c;
    }
    EXPECT_EQ(Bounded(tight, [&] { return MP4Make3GPCompliant(path.c_str(), 0, nullptr, 0, nullptr, 0, false); }), 1)
        << source.first;
    EXPECT_EQ(tu::read_file(path), source.second) << source.first;
  }

  // Ended by SIGXFSZ in the middle of the close.
  for (size_t s = 0; s < 3; s++) {
    const std::string& what = sources[s].first;
    const Bytes& source = sources[s].second;
    tu::write_file(path, source);
    const Probed original = Probe(path);
    const std::string view = LibraryView(path);
    EXPECT_EQ(Bounded(source.size() + 100, [&] {
                MP4FileHandle h = MP4Modify(path.c_str(), 0);
                if (h && changes[1](h)) MP4Close(h);
                return false;
              }, true), 128 + SIGXFSZ) << what;
    EXPECT_GT(tu::read_file(path).size(), source.size()) << what;
    EXPECT_EQ(Probe(path), original) << what;
    EXPECT_EQ(LibraryView(path), view) << what;
    EXPECT_TRUE(ModifyBounded(path, source.size() * 2 + 65536,
                              [](MP4FileHandle h) { return MP4SetMetadataGrouping(h, "Again"); }))
        << what;
    const Probed again = Probe(path);
    EXPECT_EQ(again, original) << what;
    EXPECT_NE(again.tags.find("tag:grouping=Again"), std::string::npos) << what;
    EXPECT_EQ(LibraryView(path), view) << what;
  }
}

// A modification that writes no sample adds no media data atom, and the
// compliance functions leave no mark when they fail.
TEST(MP4FileRewrite, NoMediaDataWithoutSamples) {
  const auto mdats = [](const std::string& path) {
    const std::vector<std::string> top = TopLevel(tu::read_file(path));
    return std::count(top.begin(), top.end(), "mdat");
  };
  for (const ToolFile& tool : ToolFiles()) {
    const Bytes source = tu::read_file(tool.path);
    const std::string path = tu::scratch("nomedia.mp4");
    const uint64_t bound = source.size() * 2 + 65536;
    tu::write_file(path, source);
    ASSERT_EQ(mdats(path), 1) << tool.name;
    EXPECT_TRUE(ModifyBounded(path, bound, [](MP4FileHandle h) { return MP4SetMetadataGrouping(h, "Tag"); }))
        << tool.name;
    EXPECT_TRUE(ModifyBounded(path, bound)) << tool.name;
    EXPECT_EQ(mdats(path), 1) << tool.name;
    EXPECT_EQ(Bounded(bound, [&] { return MP4Make3GPCompliant(path.c_str(), 0, nullptr, 0, nullptr, 0, false); }), 0)
        << tool.name;
    EXPECT_EQ(mdats(path), 1) << tool.name;

    // Refused: a major brand without compatible brands; ISMA of H.264.
    char brand[] = "3gp6";
    tu::write_file(path, source);
    EXPECT_EQ(Bounded(bound, [&] { return MP4Make3GPCompliant(path.c_str(), 0, brand, 0, nullptr, 0, false); }), 1)
        << tool.name;
    EXPECT_EQ(tu::read_file(path), source) << tool.name;
    EXPECT_EQ(Bounded(bound, [&] { return MP4MakeIsmaCompliant(path.c_str(), 0, true); }), 1) << tool.name;
    EXPECT_EQ(tu::read_file(path), source) << tool.name;
  }
}

// exiftool's XMP box, and boxes no tool here knows, survive optimising, to
// a target and in place, with their bytes.
TEST(MP4FileRewrite, OptimiseKeepsEveryTopLevelBox) {
  const std::string dir = tu::scratch("keep") + "/";
  tu::run("rm -rf " + tu::q(dir) + " && mkdir -p " + tu::q(dir));
  const Bytes unknown = Box("abcd", Lit("bytes of a box of another tool"));
  const std::vector<std::pair<const char*, Bytes>> sources = {
      {"exiftool XMP", tu::read_file(ToolFiles()[4].path)},
      {"crafted", Cat({Movie(Lit("abcdefgh"), {Plain(1)}), unknown, Box("free", Bytes(20, 0)), Bytes(8, 0)})},
  };
  // The source's top-level boxes that an optimised file must hold as well.
  const auto kept = [](const Bytes& file) {
    std::multiset<Bytes> boxes;
    for (const Walked& w : Walk(file))
      if (w.depth == 1 && w.type != "mdat" && w.type != "moov" && w.type != "ftyp" && w.type != "free" &&
          w.type != std::string(4, '\0'))
        boxes.insert(Bytes(file.begin() + w.offset, file.begin() + w.offset + w.size));
    return boxes;
  };
  for (const auto& source : sources) {
    const std::string path = dir + "source.mp4", target = dir + "target.mp4";
    tu::write_file(path, source.second);
    // ffprobe reads the file of exiftool; the crafted one holds no video.
    const bool probed = source.second.size() > 10000;
    const Probed original = probed ? Probe(path) : Probed();
    const std::string view = LibraryView(path);
    ASSERT_FALSE(kept(source.second).empty()) << source.first;
    const uint64_t bound = source.second.size() * 2 + 65536;
    for (const bool inPlace : {false, true}) {
      ASSERT_EQ(Bounded(bound, [&] { return MP4Optimize(path.c_str(), inPlace ? nullptr : target.c_str(), 0); }), 0)
          << source.first;
      const std::string out = inPlace ? path : target;
      const Bytes optimised = tu::read_file(out);
      EXPECT_EQ(kept(optimised), kept(source.second)) << source.first << (inPlace ? " in place" : "");
      EXPECT_EQ(TopLevel(optimised).at(1), "moov") << source.first;
      EXPECT_EQ(LibraryView(out), view) << source.first;
      if (!probed) continue;
      EXPECT_EQ(Probe(out), original) << source.first;
      EXPECT_EQ(tu::run("exiftool -s3 -XMP-dc:Title " + tu::q(out)).out, std::string(kXmpTitle) + "\n")
          << source.first;
    }
  }
}

// In place through a link in another folder: the file it names is
// optimised, the link stays a link to it, and no temporary file is left.
TEST(MP4FileRewrite, OptimisedInPlaceThroughALink) {
  const std::string dir = tu::scratch("link") + "/";
  tu::run("rm -rf " + tu::q(dir) + " && mkdir -p " + tu::q(dir + "files") + " " + tu::q(dir + "links"));
  const Bytes source = tu::read_file(ToolFiles()[0].path);
  const std::string file = dir + "files/movie.mp4", link = dir + "links/movie.mp4";
  ASSERT_EQ(symlink("../files/movie.mp4", link.c_str()), 0);
  tu::write_file(file, source);
  const Probed original = Probe(file);
  const uint64_t bound = source.size() * 2 + 65536;
  for (const char* target : {static_cast<const char*>(nullptr), "files/movie.mp4", "links/movie.mp4"}) {
    tu::write_file(file, source);
    const std::string t = target ? dir + target : std::string();
    ASSERT_EQ(Bounded(bound, [&] { return MP4Optimize(link.c_str(), target ? t.c_str() : nullptr, 0); }), 0)
        << (target ? target : "NULL");
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << (target ? target : "NULL");
    char named[256] = {};
    EXPECT_GT(readlink(link.c_str(), named, sizeof named - 1), 0);
    EXPECT_STREQ(named, "../files/movie.mp4");
    EXPECT_EQ(TopLevel(tu::read_file(file)).at(1), "moov") << (target ? target : "NULL");
    if (!target) { EXPECT_EQ(Probe(link), original); }
    EXPECT_EQ(tu::run("ls -A " + tu::q(dir + "files") + " " + tu::q(dir + "links")).out,
              dir + "files:\nmovie.mp4\n\n" + dir + "links:\nmovie.mp4\n");
  }
}

// ---------------------------------------------------------------- faults while modifying

// The writes of a modification, counted across the process that makes
// them: the one numbered `at` fails once (ENOSPC or EIO) or ends the
// process as a kill would. The record lies in memory shared with the test.
struct FaultRecord {
  int writes;
  int at;
  int kind;  // 0 kill, else the errno of the failure
  int accepted[64];
  // Of a new file: per track, whether MP4WriteSample took each sample.
  int taken[2][200];
  // What the message callback received (g_printed), once the child ends
  // without being killed.
  char printed[2048];
};
FaultRecord* g_faults = nullptr;

ssize_t FaultyWrite(int fd, const void* buffer, size_t size, off_t position) {
  if (g_faults && ++g_faults->writes == g_faults->at) {
    if (g_faults->kind == 0) raise(SIGKILL);
    errno = g_faults->kind;
    return -1;
  }
  return pwrite(fd, buffer, size, position);
}

struct SharedFaults {
  SharedFaults() {
    void* p = mmap(nullptr, sizeof(FaultRecord), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    record = p == MAP_FAILED ? nullptr : static_cast<FaultRecord*>(p);
  }
  ~SharedFaults() {
    if (record) munmap(record, sizeof(FaultRecord));
  }
  FaultRecord* record;
};

// The appended samples: of sizes and bytes no two alike.
Bytes AppendedSample(int i) {
  Bytes b(150 + 37 * i);
  for (size_t k = 0; k < b.size(); k++) b[k] = static_cast<uint8_t>(i * 31 + k * 7 + (k >> 8));
  return b;
}

// Audio packets as ffprobe reads them, past the first `before`, each
// compared with the bytes at its place in the file: the
// indices of the appended samples they are, in order; -1 for a packet
// that is none of them.
std::vector<int> AppendedPackets(const Bytes& file, const std::vector<Packet>& audio, size_t before) {
  std::vector<int> found;
  for (size_t p = before; p < audio.size(); p++) {
    int which = -1;
    for (int i = 0; i < 40 && which < 0; i++) {
      const Bytes s = AppendedSample(i);
      if (audio[p].size == s.size() && audio[p].pos + s.size() <= file.size() &&
          std::equal(s.begin(), s.end(), file.begin() + static_cast<long>(audio[p].pos)))
        which = i;
    }
    found.push_back(which);
  }
  return found;
}

// A kill, and a write that fails once, at each write of a modification
// in turn (a new item; forty samples appended): every file left reads, to
// ffprobe and to the library, as before or as the finished change, in
// which every sample that was accepted is whole and no other is; a failed
// change leaves the file as it was, byte for byte; and each such file can
// be modified again.
TEST(MP4FileRewrite, FaultAtEveryWriteOfAModification) {
  SharedFaults shared;
  ASSERT_NE(shared.record, nullptr);
  const std::string path = tu::scratch("faults.mp4");
  struct Source {
    std::string name;
    Bytes bytes;
    int changes;  // 1: the item; 2: also the samples
  };
  // Samples of a tenth of a second, ten to a chunk, appended to the file
  // of the usual layout.
  std::vector<Source> sources = {{ToolFiles()[0].name, tu::read_file(ToolFiles()[0].path), 2},
                                 {ToolFiles()[1].name, tu::read_file(ToolFiles()[1].path), 1}};
  // As a close stopped between its last two writes leaves a file: the new
  // movie whole at the end, the old one still typed a movie.
  {
    tu::write_file(path, sources[0].bytes);
    ASSERT_TRUE(ModifyBounded(path, 1 << 24, [](MP4FileHandle h) { return MP4SetMetadataGrouping(h, "Earlier"); }));
    Bytes two = tu::read_file(path);
    const uint64_t old = Find(Walk(sources[0].bytes), "moov")->offset;
    ASSERT_EQ(Bytes(two.begin() + static_cast<long>(old) + 4, two.begin() + static_cast<long>(old) + 8), Lit("free"));
    const Bytes moov = Lit("moov");
    std::copy(moov.begin(), moov.end(), two.begin() + static_cast<long>(old) + 4);
    sources.push_back({"two movies", two, 1});
  }
  for (const Source& tool : sources) {
    const Bytes& source = tool.bytes;
    tu::write_file(path, source);
    const Probed original = Probe(path);
    ASSERT_EQ(original.messages, "") << tool.name;
    const std::map<int, std::vector<Packet>> originalPackets = FFprobePackets(path);
    ASSERT_EQ(originalPackets.size(), 2u) << tool.name;
    const size_t audioBefore = originalPackets.at(1).size();
    const uint64_t bound = source.size() * 2 + 65536;
    for (int samples = 0; samples < tool.changes; samples++) {
      std::set<Bytes> seen;
      bool finished = false;
      for (int at = 1; at < 100 && !finished; at++) {
        for (int kind : {0, at % 2 ? ENOSPC : EIO}) {
          const std::string what = tool.name + (samples ? ", samples" : ", item") + ", write " +
                                   std::to_string(at) + (kind ? ", failed" : ", killed");
          tu::write_file(path, source);
          *shared.record = FaultRecord{0, at, kind, {}, {}, {}};
          const int status = Bounded(bound, [&] {
            g_faults = shared.record;
            FILE_pwrite = FaultyWrite;
            MP4FileHandle h = MP4Modify(path.c_str(), 0);
            if (!h) return false;
            if (samples) {
              const uint32_t audio = MP4FindTrackId(h, 0, "audio", 0);
              for (int i = 0; i < 40; i++) {
                const Bytes s = AppendedSample(i);
                shared.record->accepted[i] =
                    MP4WriteSample(h, audio, s.data(), static_cast<uint32_t>(s.size()), 4410, 0, true);
              }
            } else {
              MP4SetMetadataGrouping(h, "Faulted");
            }
            MP4Close(h);
            return true;
          });
          if (shared.record->writes < at) finished = true;
          ASSERT_EQ(status, kind || finished ? 0 : 128 + SIGKILL) << what;
          const Bytes left = tu::read_file(path);
          if (kind && left == source) continue;
          if (!seen.insert(left).second) continue;
          if (samples) {
            const std::map<int, std::vector<Packet>> packets = FFprobePackets(path);
            ASSERT_EQ(packets.size(), originalPackets.size()) << what;
            EXPECT_EQ(packets.at(0), originalPackets.at(0)) << what;
            ASSERT_GE(packets.at(1).size(), audioBefore) << what;
            EXPECT_TRUE(std::equal(originalPackets.at(1).begin(), originalPackets.at(1).end(), packets.at(1).begin()))
                << what;
            std::vector<int> accepted;
            for (int i = 0; i < 40; i++)
              if (shared.record->accepted[i]) accepted.push_back(i);
            const std::vector<int> appended = AppendedPackets(left, packets.at(1), audioBefore);
            EXPECT_TRUE(appended.empty() || appended == accepted) << what;
            EXPECT_TRUE(!appended.empty() || kind == 0 || accepted.empty()) << what;
            // One write failed: one sample refused at most, the rest taken.
            if (kind) {
              EXPECT_GE(accepted.size(), 39u) << what;
            }
            if (finished) {
              EXPECT_EQ(appended.size(), 40u) << what;
            }
          } else {
            const Probed probed = Probe(path);
            EXPECT_EQ(probed.messages, original.messages) << what;
            EXPECT_EQ(probed.packets, original.packets) << what;
            const bool tagged = probed.tags.find("tag:grouping=Faulted") != std::string::npos;
            EXPECT_TRUE(tagged || kind == 0) << what;
          }
          const std::string view = LibraryView(path);
          EXPECT_NE(view, "no handle") << what;
          EXPECT_TRUE(ModifyBounded(path, bound, [](MP4FileHandle h) { return MP4SetMetadataGrouping(h, "Again"); }))
              << what;
          EXPECT_EQ(LibraryView(path), view) << what;
          if (finished) break;
        }
      }
      EXPECT_TRUE(finished) << tool.name;
    }
  }
}

// Every write fails: the close says why, as the system said it.
ssize_t NoSpace(int, const void*, size_t, off_t) {
  errno = ENOSPC;
  return -1;
}

TEST(MP4FileRewrite, FailedWriteSaysWhy) {
  const std::string path = tu::scratch("nospace.mp4");
  const Bytes source = tu::read_file(ToolFiles()[0].path);
  tu::write_file(path, source);
  MP4File f(0);
  ASSERT_TRUE(f.Modify(path.c_str()));
  f.SetIntegerProperty("moov.mvhd.nextTrackId", 99);
  FILE_pwrite = NoSpace;
  const MP4Error e = Thrown([&] { f.Close(); });
  FILE_pwrite = pwrite;
  EXPECT_STREQ(e.where, "MP4WriteBytes");
  EXPECT_STREQ(e.message, "error writing bytes via virtual I/O");
  EXPECT_EQ(e.errnoValue, ENOSPC);
  char* text = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  ASSERT_NE(out, nullptr);
  e.Print(out);
  fclose(out);
  EXPECT_EQ(std::string(text, length),
            "MP4ERROR: MP4WriteBytes: error writing bytes via virtual I/O: " + std::string(strerror(ENOSPC)) + "\n");
  free(text);
  EXPECT_EQ(tu::read_file(path), source);
}

// A file cut by another process while it is open for modification: the
// close fails before it writes a movie that points past its end (where
// ffprobe says the last packet ends), and leaves it as it was cut; samples
// written meanwhile are refused rather than appended after a hole.
TEST(MP4FileRewrite, FileCutWhileOpenIsLeftAlone) {
  const std::string path = tu::scratch("cut.mp4");
  const Bytes source = tu::read_file(ToolFiles()[0].path);
  uint64_t samplesEnd = 0;
  for (const auto& stream : FFprobePackets(ToolFiles()[0].path))
    for (const Packet& p : stream.second) samplesEnd = std::max(samplesEnd, p.pos + p.size);
  ASSERT_GT(samplesEnd, 1000u);
  const uint64_t cut = samplesEnd - 1000;
  const Bytes left(source.begin(), source.begin() + static_cast<long>(cut));
  // Cut before any sample is written, or once the first chunk of ten is
  // (after its media data header, at the end of the file).
  uint64_t firstChunkEnd = source.size() + 8;
  for (int i = 0; i < 10; i++) firstChunkEnd += AppendedSample(i).size();
  for (int samples = 0; samples < 3; samples++) {
    tu::write_file(path, source);
    MP4File f(0);
    ASSERT_TRUE(f.Modify(path.c_str()));
    if (samples < 2) {
      ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(cut)), 0);
    }
    const std::string said = "the file was cut to " + std::to_string(cut) + " bytes while it was open; its samples run to " +
                             std::to_string(samples < 2 ? samplesEnd : firstChunkEnd);
    if (samples) {
      const uint32_t audio = f.FindTrackId(0, "audio", 0);
      MP4Error refused(0, "no sample refused", "");
      for (int i = 0; i < 40; i++) {
        if (i == 15 && samples == 2) {
          ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(cut)), 0);
        }
        const Bytes s = AppendedSample(i);
        const MP4Error e = Thrown([&] { f.WriteSample(audio, s.data(), static_cast<uint32_t>(s.size()), 4410, 0, true); });
        if (strcmp(e.where, "nothing thrown")) refused = e;
      }
      EXPECT_STREQ(refused.where, "MP4WriteSample") << samples;
      EXPECT_EQ(std::string(refused.message), said) << samples;
    } else {
      f.SetIntegerProperty("moov.mvhd.nextTrackId", 99);
    }
    const MP4Error e = Thrown([&] { f.Close(); });
    EXPECT_STREQ(e.where, samples ? "MP4WriteSample" : "MP4Close") << samples;
    EXPECT_EQ(std::string(e.message), said) << samples;
    EXPECT_EQ(tu::read_file(path), left) << samples;
  }
}

// A movie atom that is the last box and claims more than the file holds
// (so does its header child): a modification gives it its real size
// before the new movie follows it, and the file reads again.
TEST(MP4FileRewrite, MovieSizedPastTheEnd) {
  const std::string found = std::string(SHARED_TESTDATA) + "/mp4-finds/moov-sized-past-end.mp4";
  if (!tu::exists(found)) GTEST_SKIP() << "no " << found;
  const Bytes source = tu::read_file(found);
  ASSERT_EQ(source.size(), 116u);
  const std::string path = tu::scratch("moovpast.mp4");
  tu::write_file(path, source);
  {
    Handle h(MP4Read(path.c_str(), 0), MP4Close);
    ASSERT_TRUE(h);
  }
  const bool modified = ModifyBounded(path, 1 << 20, [](MP4FileHandle h) { return MP4SetMetadataGrouping(h, "Sized"); });
  ASSERT_TRUE(modified);
  const Bytes after = tu::read_file(path);
  // The old movie, now free space, spans exactly its 116 bytes; the new
  // one follows.
  ASSERT_GT(after.size(), 124u);
  EXPECT_EQ(Bytes(after.begin(), after.begin() + 8), Cat({BE(116, 4), Lit("free")}));
  EXPECT_EQ(Bytes(after.begin() + 116 + 4, after.begin() + 124), Lit("moov"));
  Handle h(MP4Read(path.c_str(), 0), MP4Close);
  ASSERT_TRUE(h);
  char* grouping = nullptr;
  EXPECT_TRUE(MP4GetMetadataGrouping(h.get(), &grouping));
  EXPECT_STREQ(grouping, "Sized");
  free(grouping);
}

// ---------------------------------------------------------------- faults while creating and optimising

// The samples of a new file: per track, of sizes and bytes no two alike.
const int kNewSamples[2] = {100, 188};
Bytes NewSample(int track, int i) {
  Bytes b(track == 0 ? 300 + 7 * i : 100 + i % 50);
  for (size_t k = 0; k < b.size(); k++) b[k] = static_cast<uint8_t>(track * 101 + i * 31 + k * 7 + (k >> 8));
  return b;
}

// The samples a file holds, per track in order, as the library reads them
// and as ffprobe finds them (each packet's bytes at the place and of the
// size it gives); empty when the library cannot open the file.
std::vector<std::vector<Bytes>> HeldSamples(const std::string& path, bool* pReads) {
  std::vector<std::vector<Bytes>> held;
  *pReads = false;
  Handle h(MP4Read(path.c_str(), 0), MP4Close);
  if (!h) return held;
  *pReads = true;
  for (uint32_t t = 0; t < MP4GetNumberOfTracks(h.get(), nullptr, 0); t++) {
    const uint32_t id = MP4FindTrackId(h.get(), static_cast<uint16_t>(t), nullptr, 0);
    held.emplace_back();
    for (uint32_t s = 1; s <= MP4GetTrackNumberOfSamples(h.get(), id); s++) {
      uint8_t* bytes = nullptr;
      uint32_t size = 0;
      EXPECT_TRUE(MP4ReadSample(h.get(), id, s, &bytes, &size, nullptr, nullptr, nullptr, nullptr)) << path;
      held.back().push_back(Bytes(bytes, bytes + size));
      free(bytes);
    }
  }
  const Bytes file = tu::read_file(path);
  const std::map<int, std::vector<Packet>> packets = FFprobePackets(path);
  EXPECT_EQ(packets.size(), held.size()) << path;
  for (const auto& stream : packets) {
    if (stream.first < 0 || static_cast<size_t>(stream.first) >= held.size()) continue;
    std::vector<Bytes> found;
    for (const Packet& p : stream.second)
      found.push_back(p.pos + p.size <= file.size() ? Bytes(file.begin() + static_cast<long>(p.pos),
                                                            file.begin() + static_cast<long>(p.pos + p.size))
                                                    : Bytes());
    EXPECT_EQ(found, held[static_cast<size_t>(stream.first)]) << path << " stream " << stream.first;
  }
  return held;
}

// What the message callback gets for a write that failed with the error.
std::string FailedWriteLine(int error) {
  return "MP4WriteBytes:error writing bytes via virtual I/O:" + std::string(strerror(error)) + "\n";
}

// A kill, and a write that fails once with ENOSPC and with EIO, at each
// write of a new file in turn (an AVC and an AAC track, their samples
// interleaved, then MP4Close): every sample that MP4WriteSample took is in
// the file as it was given, in order, to the library and to ffprobe, and
// no other is; one failed write refuses one sample at most; a failure
// says which write failed and why. A file that does not read is one whose
// close failed, or was killed.
TEST(MP4FileCreate, FaultAtEveryWriteOfANewFile) {
  SharedFaults shared;
  ASSERT_NE(shared.record, nullptr);
  const std::string path = tu::scratch("created.mp4");
  bool finished = false;
  int runs = 0;
  for (int at = 1; at < 100 && !finished; at++) {
    for (int kind : {0, ENOSPC, EIO}) {
      const std::string what = "write " + std::to_string(at) + (kind ? ", " + std::string(strerror(kind)) : ", killed");
      remove(path.c_str());
      *shared.record = FaultRecord{0, at, kind, {}, {}, {}};
      const int status = Bounded(64 << 20, [&] {
        const Printed printed;
        g_faults = shared.record;
        FILE_pwrite = FaultyWrite;
        MP4FileHandle h = MP4Create(path.c_str(), MP4_VERB_ERRORS, 0);
        snprintf(shared.record->printed, sizeof shared.record->printed, "%s", g_printed.c_str());
        if (!h) return false;
        shared.record->accepted[0] = 1;
        const uint32_t ids[2] = {MP4AddH264VideoTrack(h, 90000, 3600, 320, 240, 0x64, 0, 0x1f, 3),
                                 MP4AddAudioTrack(h, 48000, 1024, 0x40)};
        int next[2] = {0, 0};
        while (next[0] < kNewSamples[0] || next[1] < kNewSamples[1]) {
          // By time: a picture lasts 3600 / 90000 s, a packet 1024 / 48000 s.
          const int t = next[1] >= kNewSamples[1] || (next[0] < kNewSamples[0] && next[0] * 3600 * 48000LL <=
                                                                                       next[1] * 1024 * 90000LL)
                            ? 0
                            : 1;
          const Bytes b = NewSample(t, next[t]);
          shared.record->taken[t][next[t]] =
              MP4WriteSample(h, ids[t], b.data(), static_cast<uint32_t>(b.size()), UINT64_MAX, 0, true);
          next[t]++;
        }
        MP4Close(h);
        snprintf(shared.record->printed, sizeof shared.record->printed, "%s", g_printed.c_str());
        return true;
      });
      runs++;
      if (shared.record->writes < at) finished = true;
      if (!shared.record->accepted[0]) {
        // The file's first write failed: no file to write to.
        EXPECT_EQ(status, kind ? 1 : 128 + SIGKILL) << what;
        if (kind) { EXPECT_EQ(std::string(shared.record->printed), FailedWriteLine(kind)) << what; }
        continue;
      }
      ASSERT_EQ(status, kind || finished ? 0 : 128 + SIGKILL) << what;
      std::vector<std::vector<Bytes>> taken(2);
      int refused = 0;
      for (int t = 0; t < 2; t++)
        for (int i = 0; i < kNewSamples[t]; i++) {
          if (shared.record->taken[t][i])
            taken[t].push_back(NewSample(t, i));
          else
            refused++;
        }
      bool reads = false;
      const std::vector<std::vector<Bytes>> held = HeldSamples(path, &reads);
      if (reads) { EXPECT_EQ(held, taken) << what; }
      const std::string printed = shared.record->printed;
      if (finished) {
        EXPECT_TRUE(reads) << what;
        EXPECT_EQ(refused, 0) << what;
        EXPECT_EQ(printed, "") << what;
      } else if (kind) {
        EXPECT_LE(refused, 1) << what;
        // A refused sample leaves the file to be closed whole.
        EXPECT_TRUE(reads || refused == 0) << what;
        EXPECT_EQ(printed, FailedWriteLine(kind)) << what;
      } else {
        EXPECT_FALSE(reads) << what;
      }
      if (finished) break;
    }
  }
  EXPECT_TRUE(finished);
  EXPECT_GT(runs, 12);
}

// A new file of 100 pictures of an AVC track (25 to a chunk) cut by
// another process while it is written: early (inside its first chunk),
// half-way and to nothing, after the 30th or 60th picture, and after the
// 50th with no picture buffered, just before MP4Close. The next write (a
// chunk, or the close) sees it: MP4WriteSample refuses each picture that
// would write a chunk, MP4Close fails, both saying where the file was cut
// and where its samples run to; nothing more is written, so no movie
// lists the lost bytes as samples and the file stays as it was cut.
TEST(MP4FileCreate, FileCutWhileWrittenGetsNoMovie) {
  struct Cut {
    const char* name;
    int after;       // pictures written before the cut
    double share;    // of the file's length then
    int pictures;    // written in all
  };
  const Cut cuts[] = {{"early", 30, 0.1, 100}, {"half-way", 60, 0.5, 100}, {"to nothing", 60, 0, 100},
                      {"before the close", 50, 0.5, 50}};
  const std::string path = tu::scratch("cut-new.mp4");
  for (const Cut& c : cuts) {
    remove(path.c_str());
    const Printed printed;
    MP4FileHandle h = MP4Create(path.c_str(), MP4_VERB_ERRORS, 0);
    ASSERT_NE(h, nullptr) << c.name;
    const uint32_t id = MP4AddH264VideoTrack(h, 90000, 3600, 320, 240, 0x64, 0, 0x1f, 3);
    uint64_t written = 0, cut = 0;
    int refused = 0, firstRefused = -1;
    for (int i = 0; i < c.pictures; i++) {
      if (i == c.after) {
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0) << c.name;
        written = static_cast<uint64_t>(st.st_size);
        cut = static_cast<uint64_t>(static_cast<double>(written) * c.share);
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(cut)), 0) << c.name;
      }
      const Bytes b = NewSample(0, i);
      if (!MP4WriteSample(h, id, b.data(), static_cast<uint32_t>(b.size()), 3600, 0, i % 25 == 0)) {
        refused++;
        if (firstRefused < 0) firstRefused = i;
      }
    }
    if (c.after == c.pictures) {
      struct stat st;
      ASSERT_EQ(stat(path.c_str(), &st), 0) << c.name;
      written = static_cast<uint64_t>(st.st_size);
      cut = static_cast<uint64_t>(static_cast<double>(written) * c.share);
      ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(cut)), 0) << c.name;
    }
    MP4Close(h);
    const std::string said = "the file was cut to " + std::to_string(cut) +
                             " bytes while it was open; its samples run to " + std::to_string(written) + ":\n";
    if (c.after < c.pictures) {
      // The 25th picture after the cut's chunk starts fills the next one.
      EXPECT_EQ(firstRefused, (c.after / 25 + 1) * 25 - 1) << c.name;
      EXPECT_EQ(refused, c.pictures - firstRefused) << c.name;
      // Each refusal, then the close with the chunk it still holds.
      std::string expected;
      for (int i = 0; i <= refused; i++) expected += "MP4WriteSample:" + said;
      EXPECT_EQ(g_printed, expected) << c.name;
    } else {
      EXPECT_EQ(refused, 0) << c.name;
      EXPECT_EQ(g_printed, "MP4Close:" + said) << c.name;
    }
    EXPECT_EQ(tu::read_file(path).size(), cut) << c.name;
    Handle r(MP4Read(path.c_str(), 0), MP4Close);
    EXPECT_FALSE(r) << c.name;
    EXPECT_NE(tu::run("ffprobe -v error " + tu::q(path)).status, 0) << c.name;
  }
}

// Another process cuts a new file to 20,000 bytes while it is written:
// after each write in turn of MP4Create, 400 pictures (16 chunks) and
// MP4Close (the size of the media data, the movie, its header), and while
// each write is under way (the writer held inside it, the file cut before
// its bytes go out, so that they fill it out again after a hole of
// zeros). Each time either the cut is reported, by MP4WriteSample or
// MP4Close, and no movie is left that the library or ffprobe reads; or
// the file holds every picture whole, as the library and ffprobe read it.
// The cut is reported exactly where it lost bytes: a file of 20,000 bytes
// or less it only made longer for a moment.
struct PeerCut {
  int writes;
  int at;
  bool inFlight;
  const char* path;
  bool lost;  // the file was longer than 20,000 bytes when it was cut
};
PeerCut g_peer = {};

void CutTheFile(int fd) {
  struct stat st;
  g_peer.lost = fstat(fd, &st) == 0 && st.st_size > 20000;
  if (truncate(g_peer.path, 20000) != 0) g_peer.lost = true;
}

ssize_t CutByAPeer(int fd, const void* buffer, size_t size, off_t position) {
  const bool cut = ++g_peer.writes == g_peer.at;
  if (cut && g_peer.inFlight) CutTheFile(fd);
  const ssize_t n = pwrite(fd, buffer, size, position);
  if (cut && !g_peer.inFlight) CutTheFile(fd);
  return n;
}

TEST(MP4FileCreate, CutByAPeerAtEveryWrite) {
  const std::string path = tu::scratch("peer-cut.mp4");
  const int pictures = 400;
  std::vector<Bytes> given;
  for (int i = 0; i < pictures; i++) given.push_back(NewSample(0, i));
  int reported = 0, whole = 0;
  for (const bool inFlight : {false, true}) {
    bool finished = false;
    for (int at = 1; at < 40 && !finished; at++) {
      const std::string what = std::string(inFlight ? "inside" : "after") + " write " + std::to_string(at);
      remove(path.c_str());
      g_peer = PeerCut{0, at, inFlight, path.c_str(), false};
      int refused = 0;
      {
        const Printed printed;
        FILE_pwrite = CutByAPeer;
        MP4FileHandle h = MP4Create(path.c_str(), MP4_VERB_ERRORS, 0);
        ASSERT_NE(h, nullptr) << what;
        const uint32_t id = MP4AddH264VideoTrack(h, 90000, 3600, 320, 240, 0x64, 0, 0x1f, 3);
        for (int i = 0; i < pictures; i++)
          if (!MP4WriteSample(h, id, given[i].data(), static_cast<uint32_t>(given[i].size()), 3600, 0, i % 25 == 0))
            refused++;
        MP4Close(h);
        FILE_pwrite = pwrite;
      }
      finished = g_peer.writes < at;
      if (finished) break;
      bool reads = false;
      const std::vector<std::vector<Bytes>> held = HeldSamples(path, &reads);
      EXPECT_EQ(!g_printed.empty(), g_peer.lost) << what << ": " << g_printed;
      if (g_printed.empty()) {
        whole++;
        EXPECT_EQ(refused, 0) << what;
        EXPECT_TRUE(reads) << what;
        size_t differ = 0;
        for (size_t i = 0; i < given.size(); i++) differ += held.empty() || i >= held[0].size() || held[0][i] != given[i];
        EXPECT_TRUE(held.size() == 1 && held[0].size() == given.size() && differ == 0)
            << what << ": " << (held.empty() ? 0 : held[0].size()) << " pictures held, " << differ << " not as given";
      } else {
        reported++;
        // The head and a chunk of 25 pictures a write, then the close's.
        const std::string call = at <= 1 + pictures / 25 ? "MP4WriteSample:" : "MP4Close:";
        for (const std::string& line : tu::lines(g_printed))
          EXPECT_EQ(line.rfind(call + "the file was cut ", 0), 0u) << what << ": " << line;
        EXPECT_FALSE(reads) << what;
        EXPECT_NE(tu::run("ffprobe -v error " + tu::q(path)).status, 0) << what;
      }
    }
    EXPECT_TRUE(finished) << inFlight;
  }
  // The file passes 20,000 bytes with its third write (of 20).
  EXPECT_EQ(reported, 35);
  EXPECT_EQ(whole, 5);
}

// The disk fills inside the movie that MP4Close writes to a new file (a
// file-size limit inside it, of one byte to all but one of the movie's):
// the close says so, and the file holds no movie, not even part of one:
// it is cut back to the end of its samples, and is what the whole file
// holds before its movie. Killed there (SIGXFSZ), the file holds the part
// of the movie that was written, under a header of zeros: no movie that
// the library or ffprobe reads.
TEST(MP4FileCreate, DiskFullInsideTheMovie) {
  SharedFaults shared;
  ASSERT_NE(shared.record, nullptr);
  const std::string path = tu::scratch("full-new.mp4");
  const auto make = [&] {
    MP4FileHandle h = MP4Create(path.c_str(), MP4_VERB_ERRORS, 0);
    if (!h) return false;
    const uint32_t ids[2] = {MP4AddH264VideoTrack(h, 90000, 3600, 320, 240, 0x64, 0, 0x1f, 3),
                             MP4AddAudioTrack(h, 48000, 1024, 0x40)};
    for (int i = 0; i < 50; i++)
      for (int t = 0; t < 2; t++) {
        const Bytes b = NewSample(t, i);
        if (!MP4WriteSample(h, ids[t], b.data(), static_cast<uint32_t>(b.size()), UINT64_MAX, 0, true)) return false;
      }
    MP4Close(h);
    return true;
  };
  remove(path.c_str());
  ASSERT_TRUE(make());
  const Bytes whole = tu::read_file(path);
  const std::vector<std::string> top = TopLevel(whole);
  ASSERT_EQ(top, (std::vector<std::string>{"ftyp", "mdat", "moov"}));
  const std::vector<Walked> boxes = Walk(whole);
  const Walked* moov = Find(boxes, "moov");
  ASSERT_NE(moov, nullptr);
  ASSERT_EQ(moov->offset + moov->size, whole.size());
  const Bytes media(whole.begin(), whole.begin() + static_cast<long>(moov->offset));
  for (const uint64_t into : {uint64_t(1), uint64_t(7), uint64_t(8), moov->size / 2, moov->size - 1}) {
    for (const bool killed : {false, true}) {
      const std::string what = std::to_string(into) + " bytes of the movie" + (killed ? ", killed" : "");
      remove(path.c_str());
      shared.record->printed[0] = '\0';
      const int status = Bounded(moov->offset + into, [&] {
        const Printed printed;
        const bool made = make();
        snprintf(shared.record->printed, sizeof shared.record->printed, "%s", g_printed.c_str());
        return made;
      }, killed);
      const Bytes left = tu::read_file(path);
      if (killed) {
        EXPECT_EQ(status, 128 + SIGXFSZ) << what;
        ASSERT_EQ(left.size(), moov->offset + into) << what;
        EXPECT_TRUE(std::equal(media.begin(), media.end(), left.begin())) << what;
        const uint64_t header = std::min<uint64_t>(into, 8);
        EXPECT_EQ(Bytes(left.begin() + static_cast<long>(moov->offset),
                        left.begin() + static_cast<long>(moov->offset + header)),
                  Bytes(header, 0))
            << what;
      } else {
        EXPECT_EQ(status, 0) << what;
        EXPECT_EQ(std::string(shared.record->printed), FailedWriteLine(EFBIG)) << what;
        EXPECT_EQ(left, media) << what;
      }
      Handle r(MP4Read(path.c_str(), 0), MP4Close);
      EXPECT_FALSE(r) << what;
      EXPECT_EQ(tu::run("ffprobe -v quiet -show_entries packet=pos -of csv=p=0 " + tu::q(path)).out, "") << what;
    }
  }
}

// A kill, and a write that fails once with ENOSPC and with EIO, at each
// write of MP4Optimize, in place and to a new file: a failure returns
// false, says which write failed and why, and leaves the source as it was
// and no other file; a kill leaves the source as it was too, and no
// target that reads other than the source's packets; a finished copy has
// the source's packets with its movie first.
TEST(MP4FileRewrite, FaultAtEveryWriteOfOptimize) {
  SharedFaults shared;
  ASSERT_NE(shared.record, nullptr);
  const std::string dir = tu::scratch("optimize-faults") + "/";
  const std::string path = dir + "movie.mp4", target = dir + "target.mp4";
  const Bytes source = tu::read_file(ToolFiles()[0].path);
  tu::run("rm -rf " + tu::q(dir) + " && mkdir -p " + tu::q(dir));
  tu::write_file(path, source);
  const Probed original = Probe(path);
  ASSERT_EQ(original.messages, "");
  for (const bool inPlace : {true, false}) {
    bool finished = false;
    for (int at = 1; at < 100 && !finished; at++) {
      for (int kind : {0, ENOSPC, EIO}) {
        const std::string what = std::string(inPlace ? "in place" : "to a target") + ", write " +
                                 std::to_string(at) + (kind ? ", " + std::string(strerror(kind)) : ", killed");
        tu::run("rm -rf " + tu::q(dir) + " && mkdir -p " + tu::q(dir));
        tu::write_file(path, source);
        *shared.record = FaultRecord{0, at, kind, {}, {}, {}};
        const int status = Bounded(64 << 20, [&] {
          const Printed printed;
          g_faults = shared.record;
          FILE_pwrite = FaultyWrite;
          const bool done = MP4Optimize(path.c_str(), inPlace ? nullptr : target.c_str(), MP4_VERB_ERRORS);
          snprintf(shared.record->printed, sizeof shared.record->printed, "%s", g_printed.c_str());
          return done;
        });
        if (shared.record->writes < at) finished = true;
        const std::string made = inPlace ? path : target;
        if (finished) {
          ASSERT_EQ(status, 0) << what;
          EXPECT_EQ(Probe(made), original) << what;
          EXPECT_EQ(TopLevel(tu::read_file(made)).at(1), "moov") << what;
          EXPECT_EQ(std::string(shared.record->printed), "") << what;
          break;
        }
        if (!inPlace) { EXPECT_EQ(tu::read_file(path), source) << what; }
        if (kind) {
          EXPECT_EQ(status, 1) << what;
          EXPECT_EQ(std::string(shared.record->printed), FailedWriteLine(kind)) << what;
          EXPECT_EQ(tu::read_file(path), source) << what;
          EXPECT_EQ(tu::run("ls -A " + tu::q(dir)).out, "movie.mp4\n") << what;
          continue;
        }
        EXPECT_EQ(status, 128 + SIGKILL) << what;
        // Killed: whatever was being made holds no movie yet, not even
        // one that ffprobe finds inside free space.
        std::vector<std::string> stopped;
        if (inPlace) {
          EXPECT_EQ(tu::read_file(path), source) << what;
          for (const std::string& name : tu::lines(tu::run("ls -A " + tu::q(dir)).out))
            if (name != "movie.mp4") stopped.push_back(dir + name);
        } else {
          stopped.push_back(target);
        }
        for (const std::string& file : stopped) {
          EXPECT_EQ(LibraryView(file), "no handle") << what << " " << file;
          EXPECT_EQ(tu::run("ffprobe -v quiet -show_entries stream=index -of csv=p=0 " + tu::q(file)).out, "")
              << what << " " << file;
        }
      }
    }
    EXPECT_TRUE(finished) << inPlace;
  }
}

// Writes counted, and passed on.
int g_writes = 0;
ssize_t CountedWrite(int fd, const void* buffer, size_t size, off_t position) {
  g_writes++;
  return pwrite(fd, buffer, size, position);
}

// A file of 90,000 samples (an hour of pictures at 25 a second, a chunk a
// second): making it writes each chunk once, with one write, and its close
// a few more; optimising it a few, each a batch of chunks; the counts are
// printed. Both files hold every sample.
TEST(MP4FileWriting, WriteCallsOfALargeMovie) {
  const std::string path = tu::scratch("large.mp4"), target = tu::scratch("large-optimised.mp4");
  const int samples = 90000;
  FILE_pwrite = CountedWrite;
  g_writes = 0;
  MP4FileHandle h = MP4Create(path.c_str(), 0, 0);
  ASSERT_NE(h, nullptr);
  const uint32_t video = MP4AddH264VideoTrack(h, 90000, 3600, 320, 240, 0x64, 0, 0x1f, 3);
  uint8_t sample[32];
  for (int i = 0; i < samples; i++) {
    for (size_t k = 0; k < sizeof sample; k++) sample[k] = static_cast<uint8_t>(i + k);
    ASSERT_TRUE(MP4WriteSample(h, video, sample, sizeof sample, UINT64_MAX, 0, i % 50 == 0));
  }
  const int beforeClose = g_writes;
  MP4Close(h);
  const int create = g_writes, close = g_writes - beforeClose;
  g_writes = 0;
  const bool optimised = MP4Optimize(path.c_str(), target.c_str(), 0);
  const int optimise = g_writes;
  FILE_pwrite = pwrite;
  ASSERT_TRUE(optimised);
  std::cout << "writes of a new file of " << samples << " samples: " << create << " (" << beforeClose
            << " before its close, " << close << " by MP4Close); of MP4Optimize: " << optimise << "\n";
  RecordProperty("create_writes", create);
  RecordProperty("close_writes", close);
  RecordProperty("optimize_writes", optimise);
  // The header and a chunk a second; then the size of the media data and
  // the movie.
  EXPECT_EQ(beforeClose, 1 + samples / 25);
  EXPECT_LE(close, 3);
  // The header, the chunks' 2.9 MB in one batch, the size of the media
  // data, the movie.
  EXPECT_LE(optimise, 4);
  for (const std::string& file : {path, target}) {
    Handle r(MP4Read(file.c_str(), 0), MP4Close);
    ASSERT_TRUE(r) << file;
    EXPECT_EQ(MP4GetTrackNumberOfSamples(r.get(), 1), static_cast<uint32_t>(samples)) << file;
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(MP4ReadSample(r.get(), 1, samples, &bytes, &size, nullptr, nullptr, nullptr, nullptr)) << file;
    for (size_t k = 0; k < sizeof sample; k++) sample[k] = static_cast<uint8_t>(samples - 1 + k);
    EXPECT_EQ(Bytes(bytes, bytes + size), Bytes(sample, sample + sizeof sample)) << file;
    free(bytes);
  }
}

// close(2) fails (data may not have reached the disk): MP4Close of a new
// file, and of a modified one, reports it with the system's text;
// MP4Optimize returns false and leaves no target.
int g_closeError = 0;
int FailingClose(int fd) {
  close(fd);
  errno = g_closeError;
  return -1;
}

TEST(MP4FileWriting, FailedCloseIsReported) {
  const std::string path = tu::scratch("closed.mp4"), target = tu::scratch("closed-optimised.mp4");
  const uint8_t sample[4] = {1, 2, 3, 4};
  g_closeError = EIO;
  {
    MP4File f(0);
    f.Create(path.c_str(), 0, 1, 1, nullptr, 0, nullptr, 0);
    const uint32_t id = f.AddH264VideoTrack(90000, 3600, 320, 240, 0x64, 0, 0x1f, 3);
    f.WriteSample(id, sample, sizeof sample, 3600, 0, true);
    FILE_close = FailingClose;
    const MP4Error e = Thrown([&] { f.Close(); });
    FILE_close = close;
    EXPECT_STREQ(e.where, "MP4Close");
    EXPECT_STREQ(e.message, "closing the file failed");
    EXPECT_EQ(e.errnoValue, EIO);
  }
  const Printed printed;
  MP4FileHandle h = MP4Modify(path.c_str(), MP4_VERB_ERRORS);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(MP4SetMetadataGrouping(h, "Closed"));
  g_closeError = ENOSPC;
  FILE_close = FailingClose;
  MP4Close(h);
  const bool optimised = MP4Optimize(path.c_str(), target.c_str(), MP4_VERB_ERRORS);
  FILE_close = close;
  EXPECT_FALSE(optimised);
  EXPECT_FALSE(tu::exists(target));
  EXPECT_EQ(g_printed, "MP4Close:closing the file failed:" + std::string(strerror(ENOSPC)) +
                           "\nMP4Optimize:closing the file failed:" + std::string(strerror(ENOSPC)) + "\n");
}

// An ffmpeg file with a movie extends box added at the end of its movie
// (nothing fragmented, the movie lists every sample) is modified and
// optimised as without it: its packets unchanged, the change made, the box
// kept.
TEST(MP4FileRewrite, MovieExtendsBoxAloneIsRewritten) {
  const Bytes plain = tu::read_file(ToolFiles()[0].path);
  const std::vector<Walked> boxes = Walk(plain);
  const Walked* moov = Find(boxes, "moov");
  ASSERT_NE(moov, nullptr);
  ASSERT_EQ(moov->offset + moov->size, plain.size());
  const Bytes mvex = Box("mvex", Cat({FullBox("trex", 0, 0, Cat({BE(1, 4), BE(1, 4), Bytes(12, 0)})),
                                      FullBox("trex", 0, 0, Cat({BE(2, 4), BE(1, 4), Bytes(12, 0)}))}));
  Bytes extended = Cat({plain, mvex});
  const Bytes size = BE(moov->size + mvex.size(), 4);
  std::copy(size.begin(), size.end(), extended.begin() + static_cast<long>(moov->offset));
  const std::string path = tu::scratch("extended.mp4"), target = tu::scratch("extended-optimised.mp4");
  tu::write_file(path, extended);
  const Probed original = Probe(path);
  ASSERT_EQ(original.messages, "");
  ASSERT_EQ(original, Probe(ToolFiles()[0].path));
  EXPECT_TRUE(ModifyBounded(path, 1 << 24, [](MP4FileHandle h) { return MP4SetMetadataGrouping(h, "Extended"); }));
  const Probed modified = Probe(path);
  EXPECT_EQ(modified, original);
  EXPECT_NE(modified.tags.find("tag:grouping=Extended"), std::string::npos) << modified.tags;
  EXPECT_TRUE(MP4Optimize(path.c_str(), target.c_str(), MP4_VERB_ERRORS));
  EXPECT_TRUE(MP4Optimize(path.c_str(), nullptr, MP4_VERB_ERRORS));
  for (const std::string& file : {path, target}) {
    const Probed optimised = Probe(file);
    EXPECT_EQ(optimised, original) << file;
    EXPECT_NE(optimised.tags.find("tag:grouping=Extended"), std::string::npos) << file;
    const Bytes bytes = tu::read_file(file);
    EXPECT_EQ(TopLevel(bytes).at(1), "moov") << file;
    const std::vector<Walked> walked = Walk(bytes);
    const Walked* box = Find(walked, "mvex");
    ASSERT_NE(box, nullptr) << file;
    EXPECT_EQ(Bytes(bytes.begin() + static_cast<long>(box->offset),
                    bytes.begin() + static_cast<long>(box->offset + box->size)),
              mvex)
        << file;
  }
}

}  // namespace
