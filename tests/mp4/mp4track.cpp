// Sample tables of crafted tracks read through the function interface: the
// sizes of each table form, chunks and runs, times past 32 bits, the time
// lookup at the ends of runs, sync and composition tables, and the faults
// that must fail a read instead of serving other bytes. Then the writing
// side on tracks opened for modification in memory: every table after
// each kind of sample, composition offsets changed later, refused samples,
// and edit lists with their presentation times.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mp4.h"
#include "mp4file.h"
#include "mp4files.h"
#include "mp4test.h"
#include "mp4track.h"
#include "testutil.h"

namespace {

using namespace mp4test;

Bytes Stts(std::initializer_list<std::pair<uint32_t, uint32_t>> runs) {
  Bytes b = BE(runs.size(), 4);
  for (const auto& r : runs) Append(b, Cat({BE(r.first, 4), BE(r.second, 4)}));
  return FullBox("stts", 0, 0, b);
}

// Runs of (first chunk, samples per chunk), all of description 1.
Bytes Stsc(std::initializer_list<std::pair<uint32_t, uint32_t>> runs) {
  Bytes b = BE(runs.size(), 4);
  for (const auto& r : runs) Append(b, Cat({BE(r.first, 4), BE(r.second, 4), BE(1, 4)}));
  return FullBox("stsc", 0, 0, b);
}

Bytes Stsz(std::initializer_list<uint32_t> sizes) {
  Bytes b = Cat({BE(0, 4), BE(sizes.size(), 4)});
  for (uint32_t s : sizes) Append(b, BE(s, 4));
  return FullBox("stsz", 0, 0, b);
}

Bytes Stco(std::initializer_list<uint64_t> offsets) {
  Bytes b = BE(offsets.size(), 4);
  for (uint64_t o : offsets) Append(b, BE(o, 4));
  return FullBox("stco", 0, 0, b);
}

Bytes Numbers(const char* type, std::initializer_list<uint32_t> values) {
  Bytes b = BE(values.size(), 4);
  for (uint32_t v : values) Append(b, BE(v, 4));
  return FullBox(type, 0, 0, b);
}

const Bytes kLetters = Lit("abcdefghijklmnopqrstuvwxyz0123456789");

TEST(MP4Track, SizesOfEveryTableForm) {
  const struct {
    const char* name;
    Bytes entries;
    Bytes sizes;
    std::vector<std::string> samples;
  } cases[] = {
      {"32-bit sizes", {}, Stsz({1, 2, 3, 4}), {"a", "bc", "def", "ghij"}},
      {"constant size", {}, FullBox("stsz", 0, 0, Cat({BE(3, 4), BE(4, 4)})), {"abc", "def", "ghi", "jkl"}},
      {"8-bit sizes", {}, FullBox("stz2", 0, 0, Cat({BE(8, 4), BE(4, 4), Bytes{4, 3, 2, 1}})),
       {"abcd", "efg", "hi", "j"}},
      {"16-bit sizes", {}, FullBox("stz2", 0, 0, Cat({BE(16, 4), BE(3, 4), BE(2, 2), BE(0, 2), BE(5, 2)})),
       {"ab", "", "cdefg"}},
      // Two sizes a byte, the first sample in the upper half: 0x12 0x34.
      {"4-bit sizes", {}, FullBox("stz2", 0, 0, Cat({BE(4, 4), BE(4, 4), Bytes{0x12, 0x34}})),
       {"a", "bc", "def", "ghij"}},
      // Uncompressed sound counts frames: 2 channels of 16 bits make each
      // entry 4 bytes, whatever the entry column holds.
      {"twos frames",
       OneEntry(Box("twos", Cat({Bytes(6, 0), BE(1, 2), BE(0, 2), Bytes(6, 0), BE(2, 2), BE(16, 2), BE(0, 2),
                                 BE(8000u << 16, 4)}))),
       FullBox("stsz", 0, 0, Cat({BE(2, 4), BE(3, 4)})), {"abcdefgh", "ijklmnop", "qrstuvwx"}},
      // A constant size equal to the frame's 4 bytes is that byte count.
      {"sowt frames of their own size",
       OneEntry(Box("sowt", Cat({Bytes(6, 0), BE(1, 2), BE(0, 2), Bytes(6, 0), BE(2, 2), BE(16, 2), BE(0, 2),
                                 BE(8000u << 16, 4)}))),
       FullBox("stsz", 0, 0, Cat({BE(4, 4), BE(3, 4)})), {"abcd", "efgh", "ijkl"}},
  };
  for (const auto& c : cases) {
    CraftedTrack t;
    t.entries = c.entries;
    const uint32_t n = static_cast<uint32_t>(c.samples.size());
    t.tables = Cat({Stts({{n, 10}}), Stsc({{1, n}}), c.sizes, Stco({kMedia})});
    Opened o(Movie(kLetters, {t}));
    ASSERT_NE(o.h.get(), nullptr) << c.name;
    ASSERT_EQ(MP4GetTrackNumberOfSamples(o.h.get(), 1), n) << c.name;
    uint32_t max = 0;
    for (uint32_t s = 1; s <= n; s++) {
      EXPECT_EQ(Sample(o.h.get(), s), c.samples[s - 1]) << c.name << " " << s;
      EXPECT_EQ(MP4GetSampleSize(o.h.get(), 1, s), c.samples[s - 1].size()) << c.name << " " << s;
      max = std::max<uint32_t>(max, c.samples[s - 1].size());
    }
    EXPECT_EQ(MP4GetTrackMaxSampleSize(o.h.get(), 1), max) << c.name;
    // One past the count is no sample, even with a constant size.
    EXPECT_EQ(Sample(o.h.get(), n + 1), "<false>") << c.name;
    EXPECT_EQ(Sample(o.h.get(), 0), "<false>") << c.name;
    EXPECT_EQ(MP4GetSampleSize(o.h.get(), 1, n + 1), 0u) << c.name;
  }
}

TEST(MP4Track, ChunksOfRuns) {
  // Runs (chunk 1, 3 a chunk) and (chunk 3, 1 a chunk): samples 1-3 in
  // chunk 1, 4-6 in chunk 2, 7 in chunk 3, 8 in chunk 4; the chunks lie in
  // another order in the file.
  CraftedTrack t;
  t.tables = Cat({Stts({{8, 1}}), Stsc({{1, 3}, {3, 1}}), Stsz({1, 2, 1, 2, 3, 1, 4, 2}),
                  Stco({kMedia + 20, kMedia + 0, kMedia + 10, kMedia + 30})});
  Opened o(Movie(kLetters, {t}));
  const char* expected[] = {"u", "vw", "x", "ab", "cde", "f", "klmn", "4" "5"};
  MP4Track* track = static_cast<MP4File*>(o.h.get())->GetTrack(1);
  for (uint32_t s = 1; s <= 8; s++) EXPECT_EQ(Sample(o.h.get(), s), expected[s - 1]) << s;
  // Backwards, so that no cached sum helps: sample 5 lies 2 bytes into
  // chunk 2.
  for (uint32_t s = 8; s >= 1; s--) EXPECT_EQ(Sample(o.h.get(), s), expected[s - 1]) << s;
  EXPECT_EQ(track->GetSampleFileOffset(5), kMedia + 2);
  EXPECT_EQ(track->GetSampleFileOffset(7), kMedia + 10);
  EXPECT_EQ(track->GetSampleStscIndex(6), 0u);
  EXPECT_EQ(track->GetSampleStscIndex(7), 1u);
}

TEST(MP4Track, TimesPast32Bits) {
  // At 10 MHz, three samples of 200 s each pass 2^32 ticks: later start
  // times and the lookup of times hold the whole sum.
  CraftedTrack t;
  t.timeScale = 10000000;
  const uint64_t d = 2000000000;
  t.tables = Cat({Stts({{3, uint32_t(d)}, {2, 1000}}), Stsc({{1, 5}}), Stsz({1, 1, 1, 1, 1}), Stco({kMedia})});
  Opened o(Movie(kLetters, {t}));
  MP4FileHandle h = o.h.get();
  const uint64_t starts[] = {0, d, 2 * d, 3 * d, 3 * d + 1000};
  for (int pass = 0; pass < 2; pass++) {  // forwards, then from the cache backwards
    for (uint32_t i = 0; i < 5; i++) {
      const uint32_t s = pass ? 5 - i : i + 1;
      EXPECT_EQ(MP4GetSampleTime(h, 1, s), starts[s - 1]) << s;
      uint64_t start = 0, duration = 0;
      uint8_t* bytes = nullptr;
      uint32_t size = 0;
      ASSERT_TRUE(MP4ReadSample(h, 1, s, &bytes, &size, &start, &duration, nullptr, nullptr));
      free(bytes);
      EXPECT_EQ(start, starts[s - 1]);
      EXPECT_EQ(duration, s <= 3 ? d : 1000);
    }
  }
  EXPECT_EQ(MP4GetSampleTime(h, 1, 6), UINT64_MAX);
  const struct {
    uint64_t when;
    uint32_t sampleId;
  } lookups[] = {{0, 1}, {d - 1, 1}, {d, 2}, {3 * d - 1, 3}, {3 * d, 4}, {3 * d + 999, 4}, {3 * d + 1000, 5},
                 {3 * d + 1999, 5}, {3 * d + 2000, 0}, {UINT64_MAX, 0}};
  for (const auto& l : lookups) EXPECT_EQ(MP4GetSampleIdFromTime(h, 1, l.when, false), l.sampleId) << l.when;
  EXPECT_EQ(MP4ConvertFromTrackDuration(h, 1, 3 * d, 1000), 600000u);
}

TEST(MP4Track, TimeLookupAtTheEndsOfRuns) {
  // A run of 10 samples of 100 ticks, then runs of 0 samples, of 0-tick
  // samples and of 50 ticks; sync samples 3 and 8.
  CraftedTrack t;
  t.tables = Cat({Stts({{10, 100}, {0, 7}, {2, 0}, {2, 50}}), Stsc({{1, 14}}),
                  FullBox("stsz", 0, 0, Cat({BE(1, 4), BE(14, 4)})), Stco({kMedia}), Numbers("stss", {3, 8})});
  Opened o(Movie(kLetters, {t}));
  MP4FileHandle h = o.h.get();
  const struct {
    uint64_t when;
    bool sync;
    uint32_t sampleId;
  } lookups[] = {{999, false, 10}, {1000, false, 11},  // the end of a run starts the next
                 {1000, true, 0},  {1049, false, 13}, {1050, false, 14}, {1099, false, 14},
                 {1100, false, 0},  // the end of the track
                 {250, true, 3},   {350, true, 8},    {799, true, 8},    {800, true, 0}};
  for (const auto& l : lookups)
    EXPECT_EQ(MP4GetSampleIdFromTime(h, 1, l.when, l.sync), l.sampleId) << l.when << (l.sync ? " sync" : "");
  const int8_t sync[] = {0, 0, 1, 0, 0, 0, 0, 1, 0};
  for (uint32_t s = 1; s <= 9; s++) EXPECT_EQ(MP4GetSampleSync(h, 1, s), sync[s - 1]) << s;
  EXPECT_EQ(MP4GetSampleSync(h, 1, 15), -1);
  EXPECT_EQ(MP4GetTrackFixedSampleDuration(h, 1), UINT64_MAX);
  // Without composition offsets every sample has 0.
  EXPECT_EQ(MP4GetSampleRenderingOffset(h, 1, 4), 0u);
}

TEST(MP4Track, CompositionOffsets) {
  CraftedTrack t;
  t.tables = Cat({Stts({{5, 10}}), Stsc({{1, 5}}), FullBox("stsz", 0, 0, Cat({BE(1, 4), BE(5, 4)})), Stco({kMedia}),
                  FullBox("ctts", 0, 0, Cat({BE(3, 4), BE(1, 4), BE(20, 4), BE(2, 4), BE(0xFFFFFFF6, 4), BE(1, 4),
                                             BE(0, 4)}))});
  Opened o(Movie(kLetters, {t}));
  const uint64_t offsets[] = {20, 0xFFFFFFF6, 0xFFFFFFF6, 0};
  for (uint32_t s : {4u, 1u, 2u, 3u}) EXPECT_EQ(MP4GetSampleRenderingOffset(o.h.get(), 1, s), offsets[s - 1]) << s;
  // Sample 5 lies beyond the composition runs.
  EXPECT_EQ(MP4GetSampleRenderingOffset(o.h.get(), 1, 5), UINT64_MAX);
  EXPECT_EQ(MP4GetTrackFixedSampleDuration(o.h.get(), 1), 10u);
}

TEST(MP4Track, FaultyTablesFailTheRead) {
  const struct {
    const char* name;
    Bytes tables;
    std::vector<std::string> samples;
  } cases[] = {
      // A corrupt size must not size a buffer: the sample must lie in the
      // file first.
      {"size beyond the file", Cat({Stts({{2, 1}}), Stsc({{1, 2}}), Stsz({2, 0xFFFFFFF0}), Stco({kMedia})}),
       {"ab", "<false>"}},
      {"chunk beyond the file", Cat({Stts({{2, 1}}), Stsc({{1, 1}}), Stsz({2, 2}), Stco({kMedia, 1u << 30})}),
       {"ab", "<false>"}},
      {"no samples per chunk", Cat({Stts({{2, 1}}), Stsc({{1, 0}}), Stsz({2, 2}), Stco({kMedia})}),
       {"<false>", "<false>"}},
      {"a run of no samples per chunk after one of one",
       Cat({Stts({{2, 1}}), Stsc({{1, 1}, {2, 0}}), Stsz({2, 2}), Stco({kMedia, kMedia + 4})}), {"ab", "<false>"}},
      {"more samples than chunks hold", Cat({Stts({{3, 1}}), Stsc({{1, 1}}), Stsz({1, 1, 1}), Stco({kMedia})}),
       {"a", "<false>", "<false>"}},
      {"chunk 0", Cat({Stts({{1, 1}}), Stsc({{0, 1}}), Stsz({1}), Stco({kMedia})}), {"<false>"}},
      {"no chunk runs", Cat({Stts({{1, 1}}), Stsc({}), Stsz({1}), Stco({kMedia})}), {"<false>"}},
  };
  for (const auto& c : cases) {
    CraftedTrack t;
    t.tables = c.tables;
    Opened o(Movie(kLetters, {t}));
    ASSERT_NE(o.h.get(), nullptr) << c.name;
    for (uint32_t s = 1; s <= c.samples.size(); s++) EXPECT_EQ(Sample(o.h.get(), s), c.samples[s - 1]) << c.name << " " << s;
    EXPECT_LT(o.mem.largestRead, 1u << 16) << c.name;
  }
}

TEST(MP4Track, CallersBuffer) {
  CraftedTrack t;
  t.tables = PlainTables(2, 1, 4, 2, {kMedia});
  Opened o(Movie(kLetters, {t}));
  uint8_t buffer[8] = "-------";
  uint8_t* bytes = buffer;
  uint32_t size = 3;
  EXPECT_FALSE(MP4ReadSample(o.h.get(), 1, 2, &bytes, &size, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "-------");
  size = sizeof buffer;
  ASSERT_TRUE(MP4ReadSample(o.h.get(), 1, 2, &bytes, &size, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(bytes, buffer);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "efgh---");
  // By time: sample 2 starts at 1.
  bytes = nullptr;
  uint64_t start = 9;
  ASSERT_TRUE(MP4ReadSampleFromTime(o.h.get(), 1, 1, &bytes, &size, &start, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), size), "efgh");
  EXPECT_EQ(start, 1u);
  free(bytes);
}

// Data kept in another file is read only when it lies in the folder of the
// MP4 file.
TEST(MP4Track, DataReferencesStayInTheFolder) {
  const std::string dir = tu::scratch("refs");
  const std::string outside = tu::scratch("outside.bin");
  tu::run("mkdir -p " + tu::q(dir + "/sub"));
  tu::write_file(dir + "/side.bin", Lit("SIDEDATA"));
  tu::write_file(dir + "/sub/deeper.bin", Lit("DEEPDATA"));
  tu::write_file(outside, Lit("SECRETS!"));
  unlink((dir + "/link.bin").c_str());
  ASSERT_EQ(symlink(outside.c_str(), (dir + "/link.bin").c_str()), 0);
  const struct {
    std::string location;
    std::string sample;
  } cases[] = {
      {"file:side.bin", "SIDE"},
      {"file:sub/deeper.bin", "DEEP"},
      {"file://host" + dir + "/side.bin", "SIDE"},
      {"file:" + dir + "/side.bin", "SIDE"},
      {"file:../outside.bin", "<false>"},
      {"file:" + outside, "<false>"},
      {"file:link.bin", "<false>"},
      {"file:sub", "<false>"},
      {"file:missing.bin", "<false>"},
      {"file://nohost", "<false>"},
      {"http://example.com/side.bin", "<false>"},
      {"side.bin", "<false>"},
  };
  for (const auto& c : cases) {
    CraftedTrack t;
    t.references = Cat({BE(1, 4), FullBox("url ", 0, 0, Cat({Bytes(c.location.begin(), c.location.end()), BE(0, 1)}))});
    t.tables = PlainTables(2, 1, 4, 2, {0});
    const std::string path = dir + "/refs.mp4";
    tu::write_file(path, Movie({}, {t}));
    std::unique_ptr<void, decltype(&MP4Close)> h(MP4Read(path.c_str(), 0), MP4Close);
    ASSERT_NE(h.get(), nullptr) << c.location;
    EXPECT_EQ(Sample(h.get(), 1), c.sample) << c.location;
  }
}

// ---------------------------------------------------------------- writing

// A track with empty tables.
CraftedTrack Empty(uint32_t timeScale = 1000, const Bytes& entries = {}) {
  CraftedTrack t;
  t.timeScale = timeScale;
  t.entries = entries;
  t.tables = Cat({Stts({}), Stsc({}), Stsz({}), Stco({})});
  return t;
}

// The movie opened for modification in memory; change runs on it, then the
// file is closed and its bytes come back.
Bytes Modified(const Bytes& movie, const std::function<void(MP4File&)>& change) {
  MemFile mem;
  mem.data = movie;
  Virtual_IO io = MemFileIO();
  {
    MP4File file(0);
    EXPECT_TRUE(file.Modify("crafted.mp4", &mem, &io));
    change(file);
    file.Close();
  }
  return mem.data;
}

struct Written {
  uint32_t size;
  uint64_t duration;
  uint64_t offset;
  bool sync;
};

Bytes SampleBytes(uint32_t index, uint32_t size) { return Bytes(size, static_cast<uint8_t>('a' + index % 26)); }

// Writes the samples to track 1; every one must be taken.
void WriteAll(MP4File& f, const std::vector<Written>& samples, uint32_t trackId = 1) {
  for (uint32_t i = 0; i < samples.size(); i++) {
    const Written& w = samples[i];
    const Bytes b = SampleBytes(i, w.size);
    EXPECT_TRUE(MP4WriteSample(&f, trackId, b.data(), w.size, w.duration, w.offset, w.sync)) << i;
  }
}

TEST(MP4TrackWriting, EveryTableAfterEveryKindOfSample) {
  const uint64_t minus10 = static_cast<uint64_t>(-10);
  const struct {
    const char* name;
    std::vector<Written> samples;
    std::map<std::string, std::vector<uint64_t>> tables;
  } cases[] = {
      {"one size for all", {{100, 10, 0, true}, {100, 10, 0, true}, {100, 10, 0, true}},
       {{"stsz", {100, 3}}, {"stts", {1, 3, 10}}, {"stss", {}}, {"ctts", {}}}},
      {"a size per sample once one differs",
       {{100, 10, 0, true}, {100, 10, 0, true}, {100, 10, 0, true}, {120, 10, 0, true}},
       {{"stsz", {0, 4, 100, 100, 100, 120}}}},
      {"sync table from the first sample that is none",
       {{1, 10, 0, true}, {1, 10, 0, true}, {1, 10, 0, false}, {1, 10, 0, true}, {1, 10, 0, true}},
       {{"stss", {4, 1, 2, 4, 5}}}},
      {"composition runs",
       {{1, 10, 0, true}, {1, 10, 0, true}, {1, 10, 200, true}, {1, 10, 200, true}, {1, 10, 0, true}},
       {{"ctts", {3, 2, 0, 2, 200, 1, 0}}}},
      {"negative composition offsets", {{1, 10, minus10, true}, {1, 10, 5, true}}, {{"ctts", {2, 1, 0xFFFFFFF6, 1, 5}}}},
      {"time runs", {{1, 1000, 0, true}, {1, 1000, 0, true}, {1, 1000, 0, true}, {1, 500, 0, true}},
       {{"stts", {2, 3, 1000, 1, 500}}}},
      // At a time scale of 1000 a chunk closes once it holds a second.
      {"chunks of a second", std::vector<Written>(7, {2, 400, 0, true}), {{"stsc", {2, 1, 3, 1, 3, 1, 1}}}},
      // Chunks of empty samples are chunks all the same.
      {"chunks of empty samples", {{0, 1000, 0, true}, {0, 1000, 0, true}, {5, 1000, 0, true}},
       {{"stsc", {1, 1, 1, 1}}, {"stsz", {0, 3, 0, 0, 5}}}},
  };
  for (const auto& c : cases) {
    const Bytes out = Modified(Movie({}, {Empty()}), [&](MP4File& f) { WriteAll(f, c.samples); });
    for (const auto& t : c.tables) EXPECT_EQ(Fields(out, t.first.c_str()), t.second) << c.name << " " << t.first;
    // Each sample reads back with what the test gave it.
    Opened o(out);
    ASSERT_NE(o.h.get(), nullptr) << c.name;
    ASSERT_EQ(MP4GetTrackNumberOfSamples(o.h.get(), 1), c.samples.size()) << c.name;
    uint64_t start = 0;
    for (uint32_t s = 1; s <= c.samples.size(); s++) {
      const Written& w = c.samples[s - 1];
      uint8_t* bytes = nullptr;
      uint32_t size = 0;
      uint64_t time = 0, duration = 0, offset = 0;
      bool sync = false;
      ASSERT_TRUE(MP4ReadSample(o.h.get(), 1, s, &bytes, &size, &time, &duration, &offset, &sync)) << c.name << s;
      EXPECT_EQ(Bytes(bytes, bytes + size), SampleBytes(s - 1, w.size)) << c.name << " " << s;
      free(bytes);
      EXPECT_EQ(time, start) << c.name << " " << s;
      EXPECT_EQ(duration, w.duration) << c.name << " " << s;
      EXPECT_EQ(offset, static_cast<uint32_t>(w.offset)) << c.name << " " << s;
      EXPECT_EQ(sync, w.sync) << c.name << " " << s;
      start += w.duration;
    }
    EXPECT_EQ(Fields(out, "mdhd")[3], start) << c.name;
  }
}

TEST(MP4TrackWriting, CompositionOffsetsChangedLater) {
  const std::vector<Written> tens = {{1, 10, 10, true}, {1, 10, 10, true}, {1, 10, 0, true}, {1, 10, 0, true},
                                     {1, 10, 0, true},  {1, 10, 0, true},  {1, 10, 0, true}};
  const std::vector<Written> plain(3, {1, 10, 0, true});
  const struct {
    const char* name;
    std::vector<Written> samples;
    uint32_t sampleId;
    uint64_t offset;
    std::vector<uint64_t> ctts;
  } cases[] = {
      {"inside a run", tens, 5, 100, {4, 2, 10, 2, 0, 1, 100, 2, 0}},
      {"first of a run", tens, 3, 100, {3, 2, 10, 1, 100, 4, 0}},
      {"last of a run", tens, 7, 100, {3, 2, 10, 4, 0, 1, 100}},
      {"the offset it has", tens, 1, 10, {2, 2, 10, 5, 0}},
      {"a run of one", {{1, 10, 0, true}, {1, 10, 10, true}, {1, 10, 0, true}}, 2, 5, {3, 1, 0, 1, 5, 1, 0}},
      {"no table, no offset", plain, 2, 0, {}},
      {"no table yet", plain, 2, 7, {3, 1, 0, 1, 7, 1, 0}},
      {"no table yet, the last sample", plain, 3, 7, {2, 2, 0, 1, 7}},
  };
  for (const auto& c : cases) {
    const Bytes out = Modified(Movie({}, {Empty()}), [&](MP4File& f) {
      WriteAll(f, c.samples);
      EXPECT_TRUE(MP4SetSampleRenderingOffset(&f, 1, c.sampleId, c.offset)) << c.name;
      EXPECT_FALSE(MP4SetSampleRenderingOffset(&f, 1, static_cast<uint32_t>(c.samples.size()) + 1, 1)) << c.name;
    });
    EXPECT_EQ(Fields(out, "ctts"), c.ctts) << c.name;
  }
}

// A refused sample leaves no trace: the tables hold the samples before and
// after it.
TEST(MP4TrackWriting, RefusedSamplesChangeNothing) {
  const Bytes twos = OneEntry(Box("twos", Cat({Bytes(6, 0), BE(1, 2), BE(0, 2), Bytes(6, 0), BE(2, 2), BE(16, 2),
                                               BE(0, 2), BE(8000u << 16, 4)})));
  CraftedTrack stz2 = Empty();
  stz2.tables = Cat({Stts({}), Stsc({}), FullBox("stz2", 0, 0, Cat({BE(8, 4), BE(0, 4)})), Stco({})});
  const uint8_t bytes[300] = {};
  const struct {
    const char* name;
    CraftedTrack track;
    uint32_t size;
    const uint8_t* data;
    uint64_t duration;
    uint64_t offset;
  } cases[] = {
      {"no bytes", Empty(), 4, nullptr, 10, 0},
      {"a duration beyond 32 bits", Empty(), 4, bytes, 1ull << 32, 0},
      {"an offset beyond 32 bits", Empty(), 4, bytes, 10, 1ull << 40},
      {"a size beyond an 8-bit table", stz2, 256, bytes, 10, 0},
      {"half a sound frame", Empty(1000, twos), 6, bytes, 10, 0},
  };
  for (const auto& c : cases) {
    const Bytes out = Modified(Movie({}, {c.track}), [&](MP4File& f) {
      EXPECT_TRUE(MP4WriteSample(&f, 1, bytes, 4, 10, 0, true)) << c.name;
      EXPECT_FALSE(MP4WriteSample(&f, 1, c.data, c.size, c.duration, c.offset, false)) << c.name;
      EXPECT_TRUE(MP4WriteSample(&f, 1, bytes, 8, 10, 0, true)) << c.name;
    });
    EXPECT_EQ(Fields(out, "stts"), (std::vector<uint64_t>{1, 2, 10})) << c.name;
    EXPECT_EQ(Fields(out, "stss"), std::vector<uint64_t>{}) << c.name;
    EXPECT_EQ(Fields(out, "ctts"), std::vector<uint64_t>{}) << c.name;
    Opened o(out);
    EXPECT_EQ(MP4GetTrackNumberOfSamples(o.h.get(), 1), 2u) << c.name;
    EXPECT_EQ(MP4GetSampleSize(o.h.get(), 1, 2), 8u) << c.name;
  }
}

// A sample refused for the track's state leaves no trace either, also when
// the caller tries again: a damaged track whose media time scale is 0, a
// track with no rule to close its chunks.
TEST(MP4TrackWriting, RefusedForTheTrackChangeNothing) {
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const struct {
    const char* name;
    uint32_t timeScale;
    bool chunkRule;
  } cases[] = {{"a time scale of 0", 0, true}, {"no chunk rule", 1000, false}};
  for (const auto& c : cases) {
    const Bytes movie = Movie({}, {Empty(c.timeScale)});
    const Bytes out = Modified(movie, [&](MP4File& f) {
      if (!c.chunkRule) f.GetTrack(1)->SetDurationPerChunk(0);
      EXPECT_FALSE(MP4WriteSample(&f, 1, bytes, sizeof bytes, 10, 0, true)) << c.name;
      EXPECT_FALSE(MP4WriteSample(&f, 1, bytes, sizeof bytes, 10, 0, true)) << c.name;
      EXPECT_EQ(MP4GetTrackNumberOfSamples(&f, 1), 0u) << c.name;
    });
    // Sizes (one for all, count), times, chunks and the media data as
    // they were.
    EXPECT_EQ(Fields(out, "stsz"), (std::vector<uint64_t>{0, 0})) << c.name;
    EXPECT_EQ(Fields(out, "stts"), std::vector<uint64_t>{0}) << c.name;
    EXPECT_EQ(Fields(out, "stsc"), std::vector<uint64_t>{0}) << c.name;
    EXPECT_EQ(Fields(out, "stco"), std::vector<uint64_t>{0}) << c.name;
    uint64_t media = 0;
    for (const Walked& w : Walk(out))
      if (w.type == "mdat") media += w.size - 8;
    EXPECT_EQ(media, 0u) << c.name;
  }
}

// Uncompressed sound in the classic form counts frames: a constant size
// of as many frames as a frame has bytes (4 frames of 4 bytes) would read
// back as bytes, so such samples get a size each, and read back whole.
TEST(MP4TrackWriting, SoundFramesReadBackAsWritten) {
  const Bytes twos = OneEntry(Box("twos", Cat({Bytes(6, 0), BE(1, 2), BE(0, 2), Bytes(6, 0), BE(2, 2), BE(16, 2),
                                               BE(0, 2), BE(8000u << 16, 4)})));
  for (const uint32_t size : {16u, 8u, 4u}) {
    const Bytes out = Modified(Movie({}, {Empty(8000, twos)}), [&](MP4File& f) {
      for (uint32_t i = 0; i < 3; i++) {
        const Bytes sample = SampleBytes(i, size);
        EXPECT_TRUE(MP4WriteSample(&f, 1, sample.data(), size, size / 4, 0, true)) << size;
      }
    });
    Opened o(out);
    ASSERT_EQ(MP4GetTrackNumberOfSamples(o.h.get(), 1), 3u) << size;
    for (uint32_t s = 1; s <= 3; s++) {
      const Bytes expected = SampleBytes(s - 1, size);
      EXPECT_EQ(Sample(o.h.get(), s), std::string(expected.begin(), expected.end())) << size << " " << s;
    }
  }
}

// A track read from a file goes on after its last sample: 4-bit sizes fill
// the free lower half of the last byte first.
TEST(MP4TrackWriting, AppendedAfterTheSamplesOfTheFile) {
  CraftedTrack t;
  t.tables = Cat({Stts({{3, 10}}), Stsc({{1, 3}}), FullBox("stz2", 0, 0, Cat({BE(4, 4), BE(3, 4), Bytes{0x12, 0x30}})),
                  Stco({kMedia})});
  const Bytes out = Modified(Movie(kLetters, {t}), [](MP4File& f) {
    const uint8_t more[] = "XYYZZZZZ";
    EXPECT_TRUE(MP4WriteSample(&f, 1, more, 1, 10, 0, true));
    EXPECT_TRUE(MP4WriteSample(&f, 1, more + 1, 2, 10, 0, true));
    EXPECT_TRUE(MP4WriteSample(&f, 1, more + 3, 5, 10, 0, true));
  });
  const std::vector<Walked> boxes = Walk(out);
  const Walked* stz2 = Find(boxes, "stz2");
  ASSERT_NE(stz2, nullptr);
  EXPECT_EQ(Bytes(out.begin() + stz2->offset + 16, out.begin() + stz2->offset + stz2->size),
            (Bytes{6 >> 8, 0, 0, 6, 0x12, 0x31, 0x25}));
  Opened o(out);
  const char* expected[] = {"a", "bc", "def", "X", "YY", "ZZZZZ"};
  for (uint32_t s = 1; s <= 6; s++) EXPECT_EQ(Sample(o.h.get(), s), expected[s - 1]) << s;
}

TEST(MP4TrackWriting, AmrModesKeepToTheirChunks) {
  const Bytes out = Modified(Movie({}, {}), [](MP4File& f) {
    const uint32_t id = MP4AddAmrAudioTrack(&f, 8000, 0x81FF, 0, 1, false);
    ASSERT_EQ(id, 1u);
    EXPECT_EQ(MP4GetTrackFixedSampleDuration(&f, id), 160u);
    // Mode in bits 3-6 of the first byte: 0, 0, 1, 1, then an empty frame
    // that has none and stays with mode 1.
    const uint8_t frames[] = {0x04, 0x04, 0x0C, 0x0C};
    for (const uint8_t& b : frames) EXPECT_TRUE(MP4WriteSample(&f, id, &b, 1, UINT64_MAX, 0, true));
    EXPECT_TRUE(MP4WriteSample(&f, id, frames, 0, UINT64_MAX, 0, true));
  });
  EXPECT_EQ(Fields(out, "stsc"), (std::vector<uint64_t>{2, 1, 2, 1, 2, 3, 1}));
  EXPECT_EQ(Fields(out, "stts"), (std::vector<uint64_t>{1, 5, 160}));
}

// Durations past 32 bits turn the headers that hold them to version 1
// instead of losing their upper bits.
TEST(MP4TrackWriting, LongDurationsWidenTheHeaders) {
  const uint64_t delta = 4000000000u;
  const Bytes out = Modified(Movie({}, {Empty()}), [&](MP4File& f) {
    EXPECT_TRUE(MP4SetTimeScale(&f, 1000000));
    for (int i = 0; i < 3; i++) EXPECT_TRUE(MP4WriteSample(&f, 1, kLetters.data(), 1, delta, 0, true));
  });
  const std::vector<Walked> boxes = Walk(out);
  // Version 1: the header, version and flags, two 64-bit times, a 32-bit
  // field (and 4 reserved bytes in "tkhd"), then the 64-bit duration.
  const struct {
    const char* type;
    uint64_t at;
    uint64_t duration;
  } headers[] = {{"mdhd", 32, 3 * delta}, {"tkhd", 36, 3 * delta * 1000}, {"mvhd", 32, 3 * delta * 1000}};
  for (const auto& h : headers) {
    const Walked* w = Find(boxes, h.type);
    ASSERT_NE(w, nullptr) << h.type;
    EXPECT_EQ(out.at(w->offset + 8), 1) << h.type;
    EXPECT_EQ(Be(out, w->offset + h.at, 8), h.duration) << h.type;
  }
  Opened o(out);
  EXPECT_EQ(MP4GetTrackDuration(o.h.get(), 1), 3 * delta);
  EXPECT_EQ(MP4GetSampleTime(o.h.get(), 1, 3), 2 * delta);
}

// A configuration field that damaged tables cannot recompute keeps its
// value, and the file is still finished: here the time table covers two of
// three samples, so the peak rate has no answer.
TEST(MP4TrackWriting, DamagedTablesStillClose) {
  CraftedTrack t;
  t.handler = "soun";
  t.duration = 20;
  t.entries = OneEntry(Box("mp4a", Cat({Bytes(6, 0), BE(1, 2), BE(0, 2), Bytes(6, 0), BE(2, 2), BE(16, 2), BE(0, 2),
                                        BE(1000u << 16, 4), Bytes(2, 0), Esds(0x40, 96000, Bytes{0x12, 0x10})})));
  t.tables = Cat({Stts({{2, 10}}), Stsc({{1, 3}}), Stsz({1, 2, 3}), Stco({kMedia})});
  const Bytes out = Modified(Movie(kLetters, {t}), [](MP4File&) {});
  Opened o(out);
  ASSERT_NE(o.h.get(), nullptr);
  uint64_t peak = 0, largest = 0;
  EXPECT_TRUE(MP4GetTrackIntegerProperty(o.h.get(), 1, "mdia.minf.stbl.stsd.*.esds.decConfigDescr.maxBitrate", &peak));
  EXPECT_TRUE(
      MP4GetTrackIntegerProperty(o.h.get(), 1, "mdia.minf.stbl.stsd.*.esds.decConfigDescr.bufferSizeDB", &largest));
  EXPECT_EQ(peak, 96000u);
  EXPECT_EQ(largest, 3u);
}

// Samples of one size for all that the file cannot hold (a count of 50
// million 4-byte samples in a file of a few hundred bytes): nothing walks
// them one by one, neither the peak rate at close nor a new sample that
// would give each of them a size or sync entry.
TEST(MP4TrackWriting, SamplesClaimedBeyondTheFile) {
  const uint32_t claimed = 50000000;
  CraftedTrack t;
  t.handler = "soun";
  t.entries = OneEntry(Box("mp4a", Cat({Bytes(6, 0), BE(1, 2), BE(0, 2), Bytes(6, 0), BE(2, 2), BE(16, 2), BE(0, 2),
                                        BE(1000u << 16, 4), Bytes(2, 0), Esds(0x40, 96000, Bytes{0x12, 0x10})})));
  t.tables = Cat({Stts({{claimed, 1}}), Stsc({{1, claimed}}), FullBox("stsz", 0, 0, Cat({BE(4, 4), BE(claimed, 4)})),
                  Stco({kMedia})});
  const Bytes movie = Movie(kLetters, {t});
  const Bytes out = Modified(movie, [&](MP4File& f) {
    const MP4Error e = Thrown([&] { f.GetTrack(1)->GetMaxBitrate(); });
    EXPECT_STREQ(e.message, ("track 1 claims 50000000 samples of 4 bytes, more than the file's " +
                             std::to_string(movie.size()) + " bytes").c_str());
    EXPECT_FALSE(MP4WriteSample(&f, 1, kLetters.data(), 8, 1, 0, true));
    EXPECT_FALSE(MP4WriteSample(&f, 1, kLetters.data(), 4, 1, 0, false));
  });
  Opened o(out);
  ASSERT_NE(o.h.get(), nullptr);
  uint64_t peak = 0;
  EXPECT_TRUE(MP4GetTrackIntegerProperty(o.h.get(), 1, "mdia.minf.stbl.stsd.*.esds.decConfigDescr.maxBitrate", &peak));
  EXPECT_EQ(peak, 96000u);
  EXPECT_EQ(MP4GetTrackNumberOfSamples(o.h.get(), 1), claimed);
  EXPECT_EQ(Fields(out, "stss"), std::vector<uint64_t>{});
}

// Damaged files found by fuzzing (tables that claim samples of nearly 2 GB
// by the billion): given an item and a chapter, they close at once.
TEST(MP4TrackWriting, FoundFilesCloseAtOnce) {
  for (const char* name : {"slow-close-1.mp4", "slow-close-2.mp4"}) {
    const std::string found = std::string(SHARED_TESTDATA) + "/mp4-finds/" + name;
    if (!tu::exists(found)) GTEST_SKIP() << "no " << found << " (shared test data)";
  }
  for (const char* name : {"slow-close-1.mp4", "slow-close-2.mp4"}) {
    const std::string path = tu::scratch(name);
    tu::write_file(path, tu::read_file(std::string(SHARED_TESTDATA) + "/mp4-finds/" + name));
    const auto start = std::chrono::steady_clock::now();
    MP4FileHandle h = MP4Modify(path.c_str(), 0);
    ASSERT_NE(h, nullptr) << name;
    EXPECT_TRUE(MP4SetMetadataName(h, "Name")) << name;
    MP4AddChapter(h, 0, "One");
    MP4Close(h);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << name;
    std::unique_ptr<void, decltype(&MP4Close)> r(MP4Read(path.c_str(), 0), MP4Close);
    char* value = nullptr;
    ASSERT_TRUE(MP4GetMetadataName(r.get(), &value)) << name;
    EXPECT_STREQ(value, "Name") << name;
    MP4Free(value);
  }
}

// ---------------------------------------------------------------- edit lists

Bytes Elst(std::initializer_list<std::vector<uint32_t>> edits) {
  Bytes b = BE(edits.size(), 4);
  for (const auto& e : edits) Append(b, Cat({BE(e[0], 4), BE(e[1], 4), BE(e[2], 2), BE(0, 2)}));
  return Box("edts", FullBox("elst", 0, 0, b));
}

// Segment durations in the movie's 1000, media times in the track's scale.
// With composition offsets an edit's media time is a composition time: the
// pictures I P B B P B B P in decode order (samples 1 to 8, then one
// picture a sample), shown as 1 3 4 2 6 7 5 8 from a composition time of
// 200.
TEST(MP4TrackEdits, PresentationTimes) {
  const Bytes reordered = FullBox("ctts", 0, 0, Cat({BE(6, 4), BE(1, 4), BE(200, 4), BE(1, 4), BE(400, 4), BE(2, 4),
                                                     BE(100, 4), BE(1, 4), BE(400, 4), BE(2, 4), BE(100, 4),
                                                     BE(63, 4), BE(200, 4)}));
  const uint32_t none = 0xFFFFFFFF;
  const struct Lookup {
    uint64_t when;
    uint32_t sampleId;
    uint64_t start, duration;
  } kOutOfRange = {0, 0, 0, 0};
  const struct {
    const char* name;
    uint32_t timeScale, delta;
    Bytes edits;
    std::vector<Lookup> lookups;
    Bytes ctts = {};
  } cases[] = {
      {"two edits", 1000, 100, Elst({{1000, 0, 1}, {2000, 5000, 1}}),
       {{1500, 56, 1500, 100}, {1000, 51, 1000, 100}, {999, 10, 900, 100}, {2999, 70, 2900, 100}}},
      // 1000 against 12800: the edit ends at 12800 ticks, not at 1000.
      {"a delay of two frames", 12800, 512, Elst({{1000, 1024, 1}}),
       {{0, 3, 0, 512}, {1000, 4, 512, 512}, {12799, 27, 12288, 512}}},
      {"an empty edit first", 12800, 512, Elst({{500, none, 1}, {1000, 0, 1}}),
       {{0, 0, 0, 6400}, {6399, 0, 0, 6400}, {6400, 1, 6400, 512}, {7000, 2, 6912, 512}}},
      {"a dwell", 12800, 512, Elst({{300, 1024, 0}}), {{100, 3, 0, 3840}}},
      {"an edit inside a sample", 12800, 512, Elst({{1000, 256, 1}}), {{0, 1, 0, 256}, {256, 2, 256, 512}}},
      {"no edit list", 12800, 512, {}, {{1000, 2, 512, 512}}},
      // The edit starts at the composition delay: at 0 the I picture, not
      // the picture decoded at 200.
      {"B pictures", 1000, 100, Elst({{7000, 200, 1}}),
       {{0, 1, 0, 100}, {150, 3, 100, 100}, {250, 4, 200, 100}, {399, 2, 300, 100}, {650, 5, 600, 100},
        {6999, 70, 6900, 100}},
       reordered},
      {"B pictures dwelt on", 1000, 100, Elst({{500, 300, 0}}), {{100, 3, 0, 500}}, reordered},
      // Nothing is composed before 200.
      {"B pictures from 0", 1000, 100, Elst({{7000, 0, 1}}),
       {{0, 0, 0, 200}, {199, 0, 0, 200}, {200, 1, 200, 100}, {300, 3, 300, 100}, {6999, 68, 6900, 100}},
       reordered},
      {"B pictures without edits", 1000, 100, {}, {{0, 0, 0, 200}, {350, 3, 300, 100}, {7199, 70, 7100, 100}},
       reordered},
  };
  for (const auto& c : cases) {
    CraftedTrack t;
    t.timeScale = c.timeScale;
    t.tables = Cat({Stts({{70, c.delta}}), Stsc({{1, 70}}), FullBox("stsz", 0, 0, Cat({BE(1, 4), BE(70, 4)})),
                    Stco({kMedia}), c.ctts});
    t.extra = c.edits;
    Opened o(Movie({}, {t}));
    ASSERT_NE(o.h.get(), nullptr) << c.name;
    for (const Lookup& l : c.lookups) {
      uint64_t start = 7, duration = 7;
      EXPECT_EQ(MP4GetSampleIdFromEditTime(o.h.get(), 1, l.when, &start, &duration), l.sampleId) << c.name << l.when;
      EXPECT_EQ(start, l.start) << c.name << " " << l.when;
      EXPECT_EQ(duration, l.duration) << c.name << " " << l.when;
    }
    // The end of the last edit shows nothing.
    const uint64_t total = MP4GetTrackEditTotalDuration(o.h.get(), 1, 0);
    if (total != UINT64_MAX) {
      EXPECT_EQ(MP4GetSampleIdFromEditTime(o.h.get(), 1, total * c.timeScale / 1000, nullptr, nullptr),
                kOutOfRange.sampleId)
          << c.name;
    }
  }
}

TEST(MP4TrackEdits, AddedSetAndDeleted) {
  const Bytes out = Modified(Movie({}, {Empty()}), [](MP4File& f) {
    EXPECT_EQ(MP4GetTrackNumberOfEdits(&f, 1), 0u);
    EXPECT_EQ(MP4GetTrackEditTotalDuration(&f, 1, 0), UINT64_MAX);
    EXPECT_EQ(MP4AddTrackEdit(&f, 1, 0, 5, 2000, false), 1u);
    EXPECT_EQ(MP4AddTrackEdit(&f, 1, 1, 0xFFFFFFFF, 1000, false), 1u);  // before the first
    EXPECT_EQ(MP4AddTrackEdit(&f, 1, 4, 0, 1000, false), 0u);            // beyond the end
    EXPECT_EQ(MP4GetTrackNumberOfEdits(&f, 1), 2u);
    EXPECT_EQ(MP4GetTrackEditTotalDuration(&f, 1, 0), 3000u);
    EXPECT_EQ(MP4GetTrackEditTotalDuration(&f, 1, 1), 1000u);
    EXPECT_EQ(MP4GetTrackEditTotalDuration(&f, 1, 3), UINT64_MAX);
    MP4Track* track = f.GetTrack(1);
    EXPECT_EQ(track->GetEditStart(2), 1000u);
    EXPECT_EQ(track->GetEditStart(0), UINT64_MAX);
    EXPECT_TRUE(MP4SetTrackEditDwell(&f, 1, 2, true));
    EXPECT_EQ(MP4GetTrackEditDwell(&f, 1, 2), 1);
    EXPECT_EQ(MP4GetTrackEditMediaStart(&f, 1, 2), 5u);
    EXPECT_FALSE(MP4DeleteTrackEdit(&f, 1, 0));
    EXPECT_FALSE(MP4DeleteTrackEdit(&f, 1, 3));
    EXPECT_EQ(MP4GetTrackNumberOfEdits(&f, 1), 2u);
  });
  // Rows of segment duration, media time, rate and reserved.
  EXPECT_EQ(Fields(out, "elst"), (std::vector<uint64_t>{2, 1000, 0xFFFFFFFF, 0x10000, 2000, 5, 0}));
  const Bytes removed = Modified(out, [](MP4File& f) {
    EXPECT_TRUE(MP4DeleteTrackEdit(&f, 1, 1));
    EXPECT_TRUE(MP4DeleteTrackEdit(&f, 1, 1));
    EXPECT_FALSE(MP4DeleteTrackEdit(&f, 1, 1));
  });
  EXPECT_EQ(Find(Walk(removed), "edts"), nullptr);
}

// A media start or a duration beyond 32 bits turns the version-0 list into
// version 1 with every edit kept (the empty edit's -1 stays -1); the
// values read back as given.
TEST(MP4TrackEdits, WideValuesWidenTheList) {
  CraftedTrack t = Empty();
  t.extra = Elst({{500, 0xFFFFFFFF, 1}, {1000, 20, 1}});
  const struct {
    const char* name;
    uint64_t mediaStart, duration;
  } cases[] = {{"media start", (1ull << 32) + 7, 100}, {"duration", 7, (1ull << 33) + 3}};
  for (const auto& c : cases) {
    const Bytes out = Modified(Movie({}, {t}), [&](MP4File& f) {
      EXPECT_EQ(MP4AddTrackEdit(&f, 1, 0, c.mediaStart, c.duration, false), 3u) << c.name;
    });
    const std::vector<Walked> boxes = Walk(out);
    EXPECT_EQ(out.at(Find(boxes, "elst")->offset + 8), 1) << c.name;
    EXPECT_EQ(Fields(out, "elst"),
              (std::vector<uint64_t>{3, 0, 500, 0xFFFFFFFF, 0xFFFFFFFF, 0x10000, 0, 1000, 0, 20, 0x10000,
                                     c.duration >> 32, c.duration & 0xFFFFFFFF, c.mediaStart >> 32,
                                     c.mediaStart & 0xFFFFFFFF, 0x10000}))
        << c.name;
    Opened o(out);
    EXPECT_EQ(MP4GetTrackEditMediaStart(o.h.get(), 1, 3), c.mediaStart) << c.name;
    EXPECT_EQ(MP4GetTrackEditDuration(o.h.get(), 1, 3), c.duration) << c.name;
    EXPECT_EQ(MP4GetTrackEditMediaStart(o.h.get(), 1, 1), UINT64_MAX) << c.name;
  }
}

// Uncompressed sound in the layouts ffmpeg writes to .mov, interleaved with
// video: "raw " (8-bit unsigned) and "sowt"/"twos" with version 0 of the
// sound description, "in24" and "fl32" with version 1, "lpcm" with version 2
// (rates above 65535), mono and stereo. Each chunk is copied whole by an
// optimisation and kept by a modification: ffmpeg's packets of either file
// are the source's.
TEST(MP4TrackFiles, UncompressedSoundKeepsItsPackets) {
  const struct {
    const char* codec;
    int channels;
    int rate;
  } layouts[] = {{"pcm_u8", 1, 44100},    {"pcm_u8", 2, 44100},    {"pcm_s8", 2, 44100},
                 {"pcm_s16le", 1, 44100}, {"pcm_s16le", 2, 44100}, {"pcm_s16be", 1, 44100},
                 {"pcm_s16be", 2, 44100}, {"pcm_s24le", 1, 44100}, {"pcm_s24be", 2, 44100},
                 {"pcm_f32le", 2, 44100}, {"pcm_s16le", 1, 96000}, {"pcm_s24le", 2, 96000}};
  for (const auto& l : layouts) {
    const std::string name = std::string(l.codec) + "-" + std::to_string(l.channels) + "-" + std::to_string(l.rate);
    SCOPED_TRACE(name);
    const std::string source = tu::scratch(name + ".mov");
    ASSERT_TRUE(tu::ffmpeg(std::string(kVideo) + " -f lavfi -i sine=duration=1:sample_rate=" + std::to_string(l.rate) +
                           " -ac " + std::to_string(l.channels) + " -c:v mpeg2video -c:a " + l.codec + " " +
                           tu::q(source)));
    const std::string optimised = tu::scratch("optimised-" + name + ".mov");
    EXPECT_TRUE(MP4Optimize(source.c_str(), optimised.c_str(), 0));
    const std::string modified = tu::scratch("modified-" + name + ".mov");
    tu::write_file(modified, tu::read_file(source));
    MP4FileHandle h = MP4Modify(modified.c_str(), 0);
    EXPECT_NE(h, nullptr);
    MP4Close(h);
    // Every packet of both streams with its times, size and Adler-32.
    auto packets = [](const std::string& path) {
      std::vector<std::string> out;
      for (const std::string& line : tu::lines(tu::run("ffmpeg -v error -i " + tu::q(path) +
                                                       " -map 0 -c copy -f framecrc -").out))
        if (!line.empty() && line[0] != '#') out.push_back(line);
      return out;
    };
    const std::vector<std::string> expected = packets(source);
    EXPECT_GE(expected.size(), 20u);
    EXPECT_EQ(packets(optimised), expected);
    EXPECT_EQ(packets(modified), expected);
  }
}

// ffmpeg's stereo 16-bit sound in .mov keeps one size for all, the 4
// bytes of a frame, for its 132,300 samples (3 s at 44100). A sample of
// another size cannot join it without some reader taking the old samples
// for something else: it is refused and the file stays as it was; a frame
// of 4 bytes is appended. Every sample then reads as ffmpeg decodes the
// sound, the frame at the end (after the edit that ffmpeg wrote for the
// three seconds: edit lists are not applied here).
TEST(MP4TrackFiles, AppendedSoundKeepsItsFrames) {
  const FileSizeLimit limit;
  const std::string path = tu::scratch("pcm.mov");
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i sine=duration=3:sample_rate=44100 -ac 2 -c:a pcm_s16be " + tu::q(path)));
  const auto decoded = [](const std::string& file) {
    const std::string raw = tu::run("ffmpeg -v error -ignore_editlist 1 -i " + tu::q(file) + " -map 0:a -f s16be -").out;
    return Bytes(raw.begin(), raw.end());
  };
  const Bytes before = decoded(path);
  ASSERT_EQ(before.size(), 132300u * 4);
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(MP4GetTrackNumberOfSamples(h, 1), 132300u);
  const Bytes block(4096, 0x55);
  EXPECT_FALSE(MP4WriteSample(h, 1, block.data(), 4096, 1024, 0, true));
  EXPECT_EQ(MP4GetTrackNumberOfSamples(h, 1), 132300u);
  const uint8_t frame[4] = {0x12, 0x34, 0x56, 0x78};
  EXPECT_TRUE(MP4WriteSample(h, 1, frame, 4, 1, 0, true));
  MP4Close(h);
  Bytes expected = before;
  Append(expected, frame);
  EXPECT_EQ(decoded(path), expected);
  std::unique_ptr<void, decltype(&MP4Close)> r(MP4Read(path.c_str(), 0), MP4Close);
  ASSERT_NE(r.get(), nullptr);
  ASSERT_EQ(MP4GetTrackNumberOfSamples(r.get(), 1), 132301u);
  Bytes read;
  for (uint32_t s = 1; s <= 132301; s++) {
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(MP4ReadSample(r.get(), 1, s, &bytes, &size, nullptr, nullptr, nullptr, nullptr)) << s;
    read.insert(read.end(), bytes, bytes + size);
    free(bytes);
  }
  EXPECT_EQ(read, expected);
}

}  // namespace
