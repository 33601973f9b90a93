// The function interface over the files ffmpeg writes: every sample of
// every track against ffprobe's packets and ffmpeg's per-packet checksums,
// the track queries against ffprobe's streams and the bitstream filter's
// parameter sets, the compact and 64-bit table forms, a file beyond 4 GiB,
// and the neutral values of failures. Then files written through the
// interface against ffprobe and ffmpeg: copies of ffmpeg's files made
// sample by sample, optimised and modified files, edit lists read and
// written, and media data beyond 4 GiB.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "mp4.h"
#include "mp4files.h"
#include "mp4track.h"

namespace {

using namespace mp4test;

using Handle = std::unique_ptr<void, decltype(&MP4Close)>;
Handle Open(const std::string& path) { return Handle(MP4Read(path.c_str(), 0), MP4Close); }

// ffprobe's streams, one map of the named entries per stream.
std::vector<std::map<std::string, std::string>> Streams(const std::string& path) {
  const tu::RunResult r = tu::run(
      "ffprobe -v error -ignore_editlist 1 -show_entries stream=index,codec_type,codec_name,codec_tag_string,"
      "profile,level,width,height,channels,time_base,duration_ts,bit_rate,nb_frames -of compact=p=0 " +
      tu::q(path));
  std::vector<std::map<std::string, std::string>> out;
  for (const std::string& line : tu::lines(r.out)) {
    std::map<std::string, std::string> f = CompactFields(line);
    if (f.count("index")) out.push_back(f);
  }
  return out;
}

// One sample as the interface and the track give it.
struct Read {
  bool ok = false;
  uint32_t size = 0;
  uint64_t offset = 0, start = 0, duration = 0, renderingOffset = 0;
  bool sync = false;
  uint32_t crc = 0;
};

Read ReadOne(MP4FileHandle h, uint32_t trackId, uint32_t sampleId) {
  Read r;
  uint8_t* bytes = nullptr;
  r.ok = MP4ReadSample(h, trackId, sampleId, &bytes, &r.size, &r.start, &r.duration, &r.renderingOffset, &r.sync);
  if (r.ok) {
    r.crc = Adler(bytes, r.size);
    r.offset = static_cast<MP4File*>(h)->GetTrack(trackId)->GetSampleFileOffset(sampleId);
  }
  free(bytes);
  return r;
}

// Every sample of a track against ffprobe's packets (positions moved by
// delta), and the time lookups that invert the start times.
void ExpectSamples(MP4FileHandle h, uint32_t trackId, const std::vector<Packet>& packets, int64_t delta,
                   bool compositionOffsets, bool syncFlags, const std::string& what) {
  ASSERT_EQ(MP4GetTrackNumberOfSamples(h, trackId), packets.size()) << what;
  for (uint32_t s = 1; s <= packets.size(); s++) {
    const Packet& p = packets[s - 1];
    const Read r = ReadOne(h, trackId, s);
    ASSERT_TRUE(r.ok) << what << " sample " << s;
    EXPECT_EQ(r.size, p.size) << what << " sample " << s;
    EXPECT_EQ(r.offset, p.pos + delta) << what << " sample " << s;
    EXPECT_EQ(r.start, static_cast<uint64_t>(p.dts)) << what << " sample " << s;
    // ffprobe makes up a duration for a last sample stored with none.
    if (p.duration >= 0 && !(s == packets.size() && r.duration == 0)) {
      EXPECT_EQ(r.duration, static_cast<uint64_t>(p.duration)) << what << " sample " << s;
    }
    // Stored as 32 bits: a negative offset reads as its pattern.
    if (compositionOffsets) {
      EXPECT_EQ(r.renderingOffset, static_cast<uint32_t>(p.pts - p.dts)) << what << " sample " << s;
    }
    if (syncFlags) { EXPECT_EQ(r.sync, p.key) << what << " sample " << s; }
    EXPECT_EQ(MP4GetSampleTime(h, trackId, s), r.start);
    EXPECT_EQ(MP4GetSampleSize(h, trackId, s), r.size);
    if (s == 1 || packets[s - 2].dts != p.dts) {
      EXPECT_EQ(MP4GetSampleIdFromTime(h, trackId, p.dts, false), s) << what << " sample " << s;
    }
  }
  // The end of the last sample belongs to no sample; one past the count is
  // no sample either.
  const Packet& last = packets.back();
  if (last.duration > 0) {
    EXPECT_EQ(MP4GetSampleIdFromTime(h, trackId, last.dts + last.duration, false), 0u) << what;
  }
  uint8_t* bytes = nullptr;
  uint32_t size = 77;
  EXPECT_FALSE(MP4ReadSample(h, trackId, packets.size() + 1, &bytes, &size, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(MP4GetSampleTime(h, trackId, packets.size() + 1), UINT64_MAX);
}

TEST_F(MP4Files, EverySampleAgreesWithFFprobeAndFFmpeg) {
  int tracks = 0, hashed = 0;
  for (const std::string& name : names) {
    const std::string path = dir + name;
    Handle h = Open(path);
    ASSERT_NE(h.get(), nullptr) << name;
    const auto packets = FFprobePackets(path);
    const auto streams = Streams(path);
    ASSERT_EQ(MP4GetNumberOfTracks(h.get(), nullptr, 0), streams.size()) << name;
    for (uint32_t t = 0; t < streams.size(); t++) {
      const uint32_t id = MP4FindTrackId(h.get(), t, nullptr, 0);
      ASSERT_NE(id, 0u) << name;
      const std::string what = name + " track " + std::to_string(t);
      // Fragments hold the samples of frag.mp4; ffprobe reads a chapter
      // track's samples as chapters.
      if (name == "frag.mp4") {
        EXPECT_EQ(MP4GetTrackNumberOfSamples(h.get(), id), 0u) << what;
        continue;
      }
      if (!packets.count(t) || packets.at(t).empty()) continue;
      const std::string type = streams[t].at("codec_type");
      // ffprobe drops composition offsets beyond 2^28 ticks (those of the
      // 2e9 time scale) and marks every packet of a data track a key frame.
      ExpectSamples(h.get(), id, packets.at(t), 0, name != "version1.mp4", type != "data", what);
      tracks++;
      if (type != "video" && type != "audio") continue;
      const auto crcs = FrameCrcs(path, t);
      ASSERT_EQ(crcs.size(), packets.at(t).size()) << what;
      for (uint32_t s = 1; s <= crcs.size(); s++) {
        const Read r = ReadOne(h.get(), id, s);
        EXPECT_EQ(std::make_pair(r.size, r.crc), crcs[s - 1]) << what << " sample " << s;
      }
      hashed++;
    }
  }
  EXPECT_GE(tracks, 16);
  EXPECT_GE(hashed, 15);
}

TEST_F(MP4Files, CompactSizesAnd64BitOffsetsReadTheSameSamples) {
  MakeSubtitled();
  const Bytes original = Data("subs.mp4");
  const auto before = FFprobePackets(dir + "subs.mp4");
  ASSERT_EQ(before.size(), 3u);
  for (const TableVariant& v : TableVariants()) {
    int64_t delta = 0;
    MemFile mem;
    mem.data = Rewrite(original, v.change, &delta);
    Virtual_IO io = MemFileIO();
    Handle h(MP4ReadEx("subs.mp4", &mem, &io, 0), MP4Close);
    ASSERT_NE(h.get(), nullptr) << v.name;
    for (uint32_t t = 0; t < 3; t++)
      ExpectSamples(h.get(), t + 1, before.at(t), delta, true, true, std::string(v.name) + " track " + std::to_string(t));
    // The bytes moved with their offsets.
    Handle o = Open(dir + "subs.mp4");
    for (uint32_t t = 1; t <= 3; t++)
      for (uint32_t s = 1; s <= MP4GetTrackNumberOfSamples(o.get(), t); s++)
        EXPECT_EQ(ReadOne(h.get(), t, s).crc, ReadOne(o.get(), t, s).crc) << v.name << " " << t << " " << s;
  }
}

// A file of 5 GiB that takes a few KB on disk: the media data atom has a
// 64-bit size and a hole, the samples sit past 4 GiB, and the chunk offsets
// are 64-bit.
TEST(MP4Large, SamplesBeyond4GiB) {
  const std::string path = tu::scratch("large.mp4");
  const uint64_t dataAt = (5ull << 30) + 3;
  const Bytes samples = Lit("first sample|second|third one");
  const uint32_t sizes[] = {13, 7, 9};
  const Bytes ftyp = Box("ftyp", Cat({Lit("isom"), BE(0, 4)}));
  const uint64_t mdatSize = dataAt + samples.size() - ftyp.size();
  const Bytes mdatHeader = Cat({BE(1, 4), Lit("mdat"), BE(mdatSize, 8)});
  CraftedTrack t;
  t.duration = 3000;
  t.tables = Cat({FullBox("stts", 0, 0, Cat({BE(1, 4), BE(3, 4), BE(1000, 4)})),
                  FullBox("stsc", 0, 0, Cat({BE(1, 4), BE(1, 4), BE(2, 4), BE(1, 4)})),
                  FullBox("stsz", 0, 0, Cat({BE(0, 4), BE(3, 4), BE(sizes[0], 4), BE(sizes[1], 4), BE(sizes[2], 4)})),
                  FullBox("co64", 0, 0, Cat({BE(2, 4), BE(dataAt, 8), BE(dataAt + 20, 8)}))});
  const Bytes moov = Moov({Trak(t)});
  {
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    const Bytes head = Cat({ftyp, mdatHeader});
    ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), ssize_t(head.size()));
    ASSERT_EQ(pwrite(fd, samples.data(), samples.size(), dataAt), ssize_t(samples.size()));
    ASSERT_EQ(pwrite(fd, moov.data(), moov.size(), dataAt + samples.size()), ssize_t(moov.size()));
    close(fd);
  }
  Handle h = Open(path);
  ASSERT_NE(h.get(), nullptr);
  EXPECT_EQ(static_cast<MP4File*>(h.get())->GetCreateFlags() & 1, 1u);
  ASSERT_EQ(MP4GetTrackNumberOfSamples(h.get(), 1), 3u);
  // Chunk 1 holds the first two samples, chunk 2 the third (20 bytes on).
  const uint64_t offsets[] = {dataAt, dataAt + 13, dataAt + 20};
  const char* texts[] = {"first sample|", "second|", "third one"};
  for (uint32_t s = 1; s <= 3; s++) {
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    uint64_t start = 0;
    ASSERT_TRUE(MP4ReadSample(h.get(), 1, s, &bytes, &size, &start, nullptr, nullptr, nullptr)) << s;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), size), texts[s - 1]);
    EXPECT_EQ(start, (s - 1) * 1000u);
    EXPECT_EQ(static_cast<MP4File*>(h.get())->GetTrack(1)->GetSampleFileOffset(s), offsets[s - 1]);
    free(bytes);
  }
  h.reset();
  unlink(path.c_str());
}

// The tables ffmpeg wrote for a stream, as ffprobe describes it.
TEST_F(MP4Files, TrackQueriesAgreeWithFFprobe) {
  const std::map<std::string, uint8_t> objectTypes = {{"aac", 0x40}, {"mpeg4", 0x20}, {"mpeg2video", 0x61}};
  const std::map<std::string, uint8_t> profiles = {{"High", 100}, {"Main", 77}, {"Constrained Baseline", 66}};
  int checked = 0, avc = 0;
  for (const std::string& name : names) {
    const std::string path = dir + name;
    Handle h = Open(path);
    ASSERT_NE(h.get(), nullptr) << name;
    const auto streams = Streams(path);
    uint32_t videos = 0, audios = 0;
    for (uint32_t t = 0; t < streams.size(); t++) {
      const auto& st = streams[t];
      const uint32_t id = MP4FindTrackId(h.get(), t, nullptr, 0);
      const std::string what = name + " track " + std::to_string(t);
      const std::string type = st.at("codec_type");
      if (type == "video") { EXPECT_EQ(MP4FindTrackId(h.get(), videos++, "video", 0), id) << what; }
      if (type == "audio") { EXPECT_EQ(MP4FindTrackId(h.get(), audios++, "audio", 0), id) << what; }
      if (type == "video" || type == "audio") {
        EXPECT_STREQ(MP4GetTrackType(h.get(), id), type == "video" ? "vide" : "soun") << what;
        EXPECT_STREQ(MP4GetTrackMediaDataName(h.get(), id), st.at("codec_tag_string").c_str()) << what;
      }
      const std::string& timeBase = st.at("time_base");
      EXPECT_EQ(std::to_string(MP4GetTrackTimeScale(h.get(), id)), timeBase.substr(timeBase.find('/') + 1)) << what;
      if (name != "frag.mp4" && type != "data") {
        EXPECT_EQ(std::to_string(MP4GetTrackDuration(h.get(), id)), st.at("duration_ts")) << what;
      }
      const auto objectType = objectTypes.find(st.at("codec_name"));
      EXPECT_EQ(MP4GetTrackEsdsObjectTypeId(h.get(), id), objectType == objectTypes.end() ? 0 : objectType->second)
          << what;
      if (type == "video") {
        EXPECT_EQ(std::to_string(MP4GetTrackVideoWidth(h.get(), id)), st.at("width")) << what;
        EXPECT_EQ(std::to_string(MP4GetTrackVideoHeight(h.get(), id)), st.at("height")) << what;
        if (name != "frag.mp4") {
          const double rate = std::stod(st.at("nb_frames")) * std::stod(timeBase.substr(timeBase.find('/') + 1)) /
                              std::stod(st.at("duration_ts"));
          EXPECT_NEAR(MP4GetTrackVideoFrameRate(h.get(), id), rate, rate / 100) << what;
        }
      }
      if (st.at("codec_name") == "aac") {
        // The sample entry's field, which ffmpeg writes as 2 for ISO files.
        EXPECT_EQ(MP4GetTrackAudioChannels(h.get(), id), name == "meta.mov" ? std::stoi(st.at("channels")) : 2)
            << what;
        EXPECT_EQ(MP4GetTrackAudioMpeg4Type(h.get(), id), st.at("profile") == "LC" ? 2 : 0) << what;
        uint8_t* config = nullptr;
        uint32_t size = 0;
        ASSERT_TRUE(MP4GetTrackESConfiguration(h.get(), id, &config, &size)) << what;
        EXPECT_EQ(Bytes(config, config + size), FFprobeExtradata(path, t)) << what;
        free(config);
      }
      if (st.at("bit_rate") != "N/A" && name != "frag.mp4") {
        const double rate = std::stod(st.at("bit_rate"));
        EXPECT_NEAR(MP4GetTrackBitRate(h.get(), id), rate, rate / 100) << what;
      }
      if (st.at("codec_name") == "h264") {
        uint32_t length = 0;
        ASSERT_TRUE(MP4GetTrackH264LengthSize(h.get(), id, &length)) << what;
        EXPECT_EQ(length, (FFprobeExtradata(path, t).at(4) & 3) + 1u) << what;
        uint8_t profile = 0, level = 0;
        ASSERT_TRUE(MP4GetTrackH264ProfileLevel(h.get(), id, &profile, &level));
        EXPECT_EQ(std::to_string(level), st.at("level")) << what;
        if (profiles.count(st.at("profile"))) { EXPECT_EQ(profile, profiles.at(st.at("profile"))) << what; }
        avc++;
      }
      checked++;
    }
    EXPECT_EQ(MP4GetNumberOfTracks(h.get(), "video", 0), videos) << name;
    EXPECT_EQ(MP4GetNumberOfTracks(h.get(), "vide", 0) + MP4GetNumberOfTracks(h.get(), "soun", 0), videos + audios);
    EXPECT_EQ(MP4FindTrackId(h.get(), videos, "video", 0), 0u) << name;
    EXPECT_EQ(MP4FindTrackId(h.get(), streams.size(), nullptr, 0), 0u) << name;
  }
  EXPECT_GE(checked, 20);
  EXPECT_GE(avc, 7);

  // Typed counts by object type: tracks without an ES descriptor (avc1) do
  // not match, and do not fail the count.
  Handle mpeg4 = Open(dir + "mpeg4_iods.mp4");
  EXPECT_EQ(MP4GetNumberOfTracks(mpeg4.get(), "video", 0x20), 1u);
  EXPECT_EQ(MP4GetNumberOfTracks(mpeg4.get(), "video", 0x21), 0u);
  Handle avcAac = Open(dir + "h264_aac.mp4");
  EXPECT_EQ(MP4GetNumberOfTracks(avcAac.get(), "video", 0x20), 0u);
  EXPECT_EQ(MP4GetNumberOfTracks(avcAac.get(), "audio", 0x40), 1u);
  EXPECT_EQ(MP4FindTrackId(avcAac.get(), 0, "audio", 0x40), 2u);
  EXPECT_EQ(MP4FindTrackId(avcAac.get(), 0, "video", 0x20), 0u);
}

// The parameter sets that the bitstream filter puts in front of the first
// picture, in order.
TEST_F(MP4Files, ParameterSetsAreTheBitstreamFilters) {
  int files = 0;
  for (const std::string& name : names) {
    if (name == "frag.mp4") continue;  // the same encoder settings as h264_aac.mp4
    const std::string path = dir + name;
    Handle h = Open(path);
    const uint32_t id = MP4FindTrackId(h.get(), 0, "video", 0);
    uint8_t** sps = nullptr;
    uint8_t** pps = nullptr;
    uint32_t* spsSizes = nullptr;
    uint32_t* ppsSizes = nullptr;
    MP4GetTrackH264SeqPictHeaders(h.get(), id, &sps, &spsSizes, &pps, &ppsSizes);
    if (strcmp(MP4GetTrackMediaDataName(h.get(), id), "avc1")) {
      EXPECT_TRUE(!sps && !spsSizes && !pps && !ppsSizes) << name;
      continue;
    }
    std::vector<Bytes> expected[2];
    const tu::RunResult r =
        tu::run("ffmpeg -v error -ignore_editlist 1 -i " + tu::q(path) +
                " -map 0:v -c copy -bsf:v h264_mp4toannexb -frames:v 1 -f h264 - | od -An -v -tx1");
    Bytes es;
    std::istringstream hex(r.out);
    for (std::string b; hex >> b;) es.push_back(static_cast<uint8_t>(std::stoi(b, nullptr, 16)));
    const std::vector<tu::ScanUnit> units = tu::scan_start_codes(es);
    for (size_t u = 0; u < units.size(); u++) {
      const int type = units[u].code & 31;
      if (type != 7 && type != 8) continue;
      size_t end = u + 1 < units.size() ? units[u + 1].pos : es.size();
      while (end > units[u].pos + 3 && es[end - 1] == 0) end--;  // the next start code's leading zero
      expected[type - 7].push_back(Bytes(es.begin() + units[u].pos + 3, es.begin() + end));
    }
    ASSERT_FALSE(expected[0].empty()) << name;
    std::vector<Bytes> got[2];
    uint8_t** sets[2] = {sps, pps};
    uint32_t* sizes[2] = {spsSizes, ppsSizes};
    for (int k = 0; k < 2; k++) {
      ASSERT_NE(sets[k], nullptr) << name;
      for (uint32_t i = 0; sizes[k][i]; i++) {
        got[k].push_back(Bytes(sets[k][i], sets[k][i] + sizes[k][i]));
        free(sets[k][i]);
      }
      EXPECT_EQ(sets[k][got[k].size()], nullptr);
      free(sets[k]);
      free(sizes[k]);
      EXPECT_EQ(got[k], expected[k]) << name << (k ? " PPS" : " SPS");
    }
    files++;
  }
  EXPECT_GE(files, 6);
}

TEST_F(MP4Files, TruncatedFilesFailCleanly) {
  // Cut anywhere, a file with the movie atom last opens only while its
  // tables are whole enough; a file with it first opens, and a sample past
  // the cut is refused without a buffer sized by it.
  for (const std::string name : {"h264_aac.mp4", "faststart.mp4"}) {
    const Bytes data = Data(name);
    const std::vector<Walked> boxes = Walk(data);
    const Walked* moov = Find(boxes, "moov");
    ASSERT_NE(moov, nullptr);
    int opened = 0, refused = 0;
    for (uint64_t n = 0; n < data.size(); n += n < moov->offset + moov->size ? 1 : 97) {
      MemFile mem;
      mem.data.assign(data.begin(), data.begin() + n);
      Virtual_IO io = MemFileIO();
      Handle h(MP4ReadEx(name.c_str(), &mem, &io, 0), MP4Close);
      if (!h) continue;
      opened++;
      for (uint32_t t = 1; t <= MP4GetNumberOfTracks(h.get(), nullptr, 0); t++) {
        const uint32_t id = MP4FindTrackId(h.get(), t - 1, nullptr, 0);
        for (uint32_t s = 1; s <= MP4GetTrackNumberOfSamples(h.get(), id); s++) {
          const Read r = ReadOne(h.get(), id, s);
          if (r.ok) continue;
          EXPECT_LT(n, data.size());
          refused++;
        }
      }
    }
    if (name == std::string("faststart.mp4")) { EXPECT_GT(refused, 0); }
    EXPECT_GT(opened, 0) << name;
  }
}

// ---------------------------------------------------------------- neutral values

TEST(MP4Interface, NullHandleGivesNeutralValues) {
  uint64_t u64 = 5;
  float f = 5;
  const char* text = "untouched";
  uint8_t* bytes = reinterpret_cast<uint8_t*>(&u64);
  uint32_t size = 5, length = 5;
  uint8_t profile = 5, level = 5;
  uint8_t** sets = reinterpret_cast<uint8_t**>(&u64);
  uint32_t* sizes = &size;
  char format[8] = "keep";
  const MP4FileHandle n = nullptr;
  EXPECT_EQ(MP4Read(nullptr, 0), nullptr);
  EXPECT_EQ(MP4ReadEx("x", nullptr, nullptr, 0), nullptr);
  MP4Close(n);
  EXPECT_FALSE(MP4Dump(n, nullptr, false));
  EXPECT_EQ(MP4GetVerbosity(n), 0u);
  MP4SetVerbosity(n, 1);
  EXPECT_EQ(MP4GetTimeScale(n), 0u);
  EXPECT_EQ(MP4GetDuration(n), UINT64_MAX);
  EXPECT_EQ(MP4GetODProfileLevel(n) + MP4GetSceneProfileLevel(n) + MP4GetAudioProfileLevel(n) +
                MP4GetGraphicsProfileLevel(n) + MP4GetVideoProfileLevel(n, 1),
            0);
  EXPECT_EQ(MP4ConvertFromMovieDuration(n, 1, 1), UINT64_MAX);
  EXPECT_FALSE(MP4HaveAtom(n, "moov"));
  EXPECT_FALSE(MP4GetIntegerProperty(n, "moov.mvhd.timeScale", &u64));
  EXPECT_FALSE(MP4GetFloatProperty(n, "moov.mvhd.rate", &f));
  EXPECT_FALSE(MP4GetStringProperty(n, "x", &text));
  EXPECT_FALSE(MP4HaveTrackAtom(n, 1, "mdia"));
  EXPECT_FALSE(MP4GetTrackIntegerProperty(n, 1, "x", &u64));
  EXPECT_FALSE(MP4GetTrackFloatProperty(n, 1, "x", &f));
  EXPECT_FALSE(MP4GetTrackStringProperty(n, 1, "x", &text));
  EXPECT_EQ(u64, 5u);
  EXPECT_EQ(f, 5);
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(MP4GetNumberOfTracks(n, nullptr, 0), 0u);
  EXPECT_EQ(MP4FindTrackId(n, 0, nullptr, 0), 0u);
  EXPECT_EQ(MP4FindTrackIndex(n, 1), 0xFFFF);
  EXPECT_EQ(MP4GetTrackType(n, 1), nullptr);
  EXPECT_EQ(MP4GetTrackMediaDataName(n, 1), nullptr);
  EXPECT_FALSE(MP4GetTrackMediaDataOriginalFormat(n, 1, format, sizeof format));
  EXPECT_STREQ(format, "keep");
  EXPECT_FALSE(MP4IsIsmaCrypMediaTrack(n, 1));
  EXPECT_EQ(MP4GetTrackDuration(n, 1), UINT64_MAX);
  EXPECT_EQ(MP4GetTrackTimeScale(n, 1), 0u);
  EXPECT_EQ(MP4GetTrackFixedSampleDuration(n, 1), UINT64_MAX);
  EXPECT_EQ(MP4GetTrackBitRate(n, 1), 0u);
  for (auto convert : {MP4ConvertFromTrackTimestamp, MP4ConvertToTrackTimestamp, MP4ConvertFromTrackDuration,
                       MP4ConvertToTrackDuration})
    EXPECT_EQ(convert(n, 1, 1, 1), UINT64_MAX);
  EXPECT_EQ(MP4GetTrackEsdsObjectTypeId(n, 1), 0);
  EXPECT_EQ(MP4GetTrackAudioMpeg4Type(n, 1), 0);
  EXPECT_EQ(MP4GetTrackVideoWidth(n, 1) + MP4GetTrackVideoHeight(n, 1), 0);
  EXPECT_EQ(MP4GetTrackVideoFrameRate(n, 1), 0.0);
  EXPECT_EQ(MP4GetTrackAudioChannels(n, 1), -1);
  MP4GetTrackH264SeqPictHeaders(n, 1, &sets, &sizes, &sets, &sizes);
  EXPECT_EQ(sizes, &size);
  EXPECT_FALSE(MP4GetTrackH264LengthSize(n, 1, &length));
  EXPECT_FALSE(MP4GetTrackH264ProfileLevel(n, 1, &profile, &level));
  EXPECT_EQ(length + profile + level, 15u);
  EXPECT_EQ(MP4GetTrackNumberOfSamples(n, 1), 0u);
  EXPECT_EQ(MP4GetTrackMaxSampleSize(n, 1), 0u);
  EXPECT_EQ(MP4GetSampleSize(n, 1, 1), 0u);
  EXPECT_EQ(MP4GetSampleTime(n, 1, 1), UINT64_MAX);
  EXPECT_EQ(MP4GetSampleDuration(n, 1, 1), UINT64_MAX);
  EXPECT_EQ(MP4GetSampleRenderingOffset(n, 1, 1), UINT64_MAX);
  EXPECT_EQ(MP4GetSampleSync(n, 1, 1), -1);
  EXPECT_EQ(MP4GetSampleIdFromTime(n, 1, 0, false), 0u);
  // The byte getters and the sample readers clear their outputs.
  for (auto get : {MP4GetTrackESConfiguration, MP4GetTrackVideoMetadata}) {
    bytes = reinterpret_cast<uint8_t*>(&u64);
    size = 5;
    EXPECT_FALSE(get(n, 1, &bytes, &size));
    EXPECT_TRUE(bytes == nullptr && size == 0);
  }
  bytes = reinterpret_cast<uint8_t*>(&u64);
  size = 5;
  EXPECT_FALSE(MP4GetBytesProperty(n, "x", &bytes, &size));
  EXPECT_TRUE(bytes == nullptr && size == 0);
  bytes = reinterpret_cast<uint8_t*>(&u64);
  size = 5;
  EXPECT_FALSE(MP4GetTrackBytesProperty(n, 1, "x", &bytes, &size));
  EXPECT_TRUE(bytes == nullptr && size == 0);
  size = 5;
  EXPECT_FALSE(MP4ReadSample(n, 1, 1, &bytes, &size, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(size, 0u);
  size = 5;
  EXPECT_FALSE(MP4ReadSampleFromTime(n, 1, 0, &bytes, &size, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(size, 0u);
  MP4Free(nullptr);
}

// ---------------------------------------------------------------- writing

// The inputs of the writing tests, each made when a test first asks for it
// (every test runs in a process of its own).
std::string Input(const std::string& name) {
  const std::string video = "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 ";
  const std::string withAudio = video + "-f lavfi -i sine=duration=1 -pix_fmt yuv420p -c:v libx264 -bf 2 -c:a aac -shortest ";
  const std::string pyramids = "-f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -pix_fmt yuv420p ";
  const std::map<std::string, std::string> make = {
      {"avc_aac.mp4", withAudio},
      {"avc_aac_faststart.mp4", withAudio + "-movflags +faststart "},
      {"hevc.mp4", video + "-pix_fmt yuv420p -c:v libx265 -x265-params log-level=error -tag:v hvc1 "},
      // B pictures in pyramids and several groups: composition order far
      // from decode order, from x264 and x265; and negative composition
      // offsets with no delay to edit out.
      {"bframes.mp4", pyramids + "-c:v libx264 -bf 3 -g 12 "},
      {"bframes_hevc.mp4", pyramids + "-c:v libx265 -x265-params log-level=error -tag:v hvc1 "},
      {"negative.mp4", pyramids + "-c:v libx264 -bf 3 -g 12 -movflags +negative_cts_offsets "},
      {"mpeg2.mp4", video + "-pix_fmt yuv420p -c:v mpeg2video "},
  };
  static const std::string dir = tu::process_scratch("written");
  const std::string path = dir + name;
  if (tu::exists(path)) return path;
  if (name == "offset.mp4") {
    // The video half a second late: an empty edit before it.
    EXPECT_TRUE(tu::ffmpeg("-f lavfi -i sine=duration=1 -itsoffset 0.5 -i " + tu::q(Input("avc_aac.mp4")) +
                           " -map 0 -map 1:v -c:a aac -c:v copy " + tu::q(path)));
  } else {
    EXPECT_TRUE(tu::ffmpeg(make.at(name) + tu::q(path)));
  }
  return path;
}

// A new file with the source's tracks, sample by sample through the
// interface, one track after the other: AVC with its configuration and
// parameter sets, AAC and MPEG-2 video with their ES configurations, and
// their edit lists.
void Copy(const std::string& source, const std::string& target) {
  Handle in = Open(source);
  ASSERT_NE(in.get(), nullptr) << source;
  MP4FileHandle out = MP4Create(target.c_str(), 0, 0);
  ASSERT_NE(out, nullptr);
  ASSERT_TRUE(MP4SetTimeScale(out, MP4GetTimeScale(in.get())));
  for (uint16_t t = 0; t < MP4GetNumberOfTracks(in.get(), nullptr, 0); t++) {
    const uint32_t id = MP4FindTrackId(in.get(), t, nullptr, 0);
    const uint32_t timeScale = MP4GetTrackTimeScale(in.get(), id);
    const std::string entry = MP4GetTrackMediaDataName(in.get(), id);
    uint32_t copy = 0;
    if (entry == "avc1") {
      uint8_t profile = 0, level = 0;
      uint32_t length = 0;
      uint64_t compatibility = 0;
      ASSERT_TRUE(MP4GetTrackH264ProfileLevel(in.get(), id, &profile, &level));
      ASSERT_TRUE(MP4GetTrackH264LengthSize(in.get(), id, &length));
      ASSERT_TRUE(MP4GetTrackIntegerProperty(in.get(), id, "mdia.minf.stbl.stsd.*[0].avcC.profile_compatibility",
                                             &compatibility));
      copy = MP4AddH264VideoTrack(out, timeScale, UINT64_MAX, MP4GetTrackVideoWidth(in.get(), id),
                                  MP4GetTrackVideoHeight(in.get(), id), profile, uint8_t(compatibility), level,
                                  uint8_t(length - 1));
      uint8_t** sets[2];
      uint32_t* sizes[2];
      MP4GetTrackH264SeqPictHeaders(in.get(), id, &sets[0], &sizes[0], &sets[1], &sizes[1]);
      for (int k = 0; k < 2; k++) {
        for (uint32_t i = 0; sizes[k][i]; i++) {
          if (k == 0) MP4AddH264SequenceParameterSet(out, copy, sets[k][i], uint16_t(sizes[k][i]));
          if (k == 1) MP4AddH264PictureParameterSet(out, copy, sets[k][i], uint16_t(sizes[k][i]));
          free(sets[k][i]);
        }
        free(sets[k]);
        free(sizes[k]);
      }
    } else {
      copy = entry == "mp4a" ? MP4AddAudioTrack(out, timeScale, 1024, MP4GetTrackEsdsObjectTypeId(in.get(), id))
                             : MP4AddVideoTrack(out, timeScale, UINT64_MAX, MP4GetTrackVideoWidth(in.get(), id),
                                                MP4GetTrackVideoHeight(in.get(), id),
                                                MP4GetTrackEsdsObjectTypeId(in.get(), id));
      uint8_t* config = nullptr;
      uint32_t size = 0;
      if (MP4GetTrackESConfiguration(in.get(), id, &config, &size) && size) {
        EXPECT_TRUE(MP4SetTrackESConfiguration(out, copy, config, size));
      }
      free(config);
    }
    ASSERT_NE(copy, 0u) << entry;
    for (uint32_t s = 1; s <= MP4GetTrackNumberOfSamples(in.get(), id); s++) {
      uint8_t* bytes = nullptr;
      uint32_t size = 0;
      uint64_t duration = 0, offset = 0;
      bool sync = false;
      ASSERT_TRUE(MP4ReadSample(in.get(), id, s, &bytes, &size, nullptr, &duration, &offset, &sync));
      EXPECT_TRUE(MP4WriteSample(out, copy, bytes, size, duration, offset, sync));
      free(bytes);
    }
    for (uint32_t e = 1; e <= MP4GetTrackNumberOfEdits(in.get(), id); e++)
      EXPECT_EQ(MP4AddTrackEdit(out, copy, 0, MP4GetTrackEditMediaStart(in.get(), id, e),
                                MP4GetTrackEditDuration(in.get(), id, e), MP4GetTrackEditDwell(in.get(), id, e)),
                e);
  }
  MP4Close(out);
}

// Bytes a second: the average over the track, and the most bytes that
// start within one second of a packet's start; from ffprobe's packets.
struct Rates {
  uint64_t average, peak, largest;
};
Rates RatesOf(const std::vector<Packet>& packets, uint64_t timeScale) {
  uint64_t total = 0, duration = 0, peak = 0, largest = 0;
  for (size_t i = 0; i < packets.size(); i++) {
    total += packets[i].size;
    duration += packets[i].duration;
    largest = std::max(largest, packets[i].size);
    uint64_t window = 0;
    for (size_t j = i; j < packets.size() && packets[j].dts - packets[i].dts < int64_t(timeScale); j++)
      window += packets[j].size;
    peak = std::max(peak, window);
  }
  return {(total * 8 * timeScale + duration - 1) / duration, peak * 8, largest};
}

TEST(MP4Written, CopiesEqualTheirSources) {
  for (const char* name : {"avc_aac.mp4", "mpeg2.mp4"}) {
    const std::string source = Input(name);
    const std::string target = tu::scratch(std::string("copy-") + name);
    Copy(source, target);
    EXPECT_EQ(PacketLines(target, false), PacketLines(source, false)) << name;
    EXPECT_EQ(PacketLines(target, true), PacketLines(source, true)) << name;
    EXPECT_EQ(tu::run("ffmpeg -v error -xerror -i " + tu::q(target) + " -f null -").status, 0) << name;
    EXPECT_EQ(Frames(target), Frames(source)) << name;
    // The configuration's rates and buffer size from the packets, and
    // track durations rounded up into the movie's time scale.
    Handle h = Open(target);
    const auto packets = FFprobePackets(target);
    const Bytes file = tu::read_file(target);
    for (uint32_t t = 0; t < MP4GetNumberOfTracks(h.get(), nullptr, 0); t++) {
      const uint32_t id = t + 1;
      const uint64_t timeScale = MP4GetTrackTimeScale(h.get(), id);
      const uint64_t media = Fields(file, "mdhd", t)[3];
      EXPECT_EQ(Fields(file, "tkhd", t)[4], (media * 1000 + timeScale - 1) / timeScale) << name << t;
      if (MP4GetTrackEsdsObjectTypeId(h.get(), id) == 0) continue;
      const Rates r = RatesOf(packets.at(t), timeScale);
      uint64_t value = 0;
      for (const auto& field : std::vector<std::pair<const char*, uint64_t>>{
               {"avgBitrate", r.average}, {"maxBitrate", r.peak}, {"bufferSizeDB", r.largest}}) {
        ASSERT_TRUE(MP4GetTrackIntegerProperty(
            h.get(), id, (std::string("mdia.minf.stbl.stsd.*.esds.decConfigDescr.") + field.first).c_str(), &value));
        EXPECT_EQ(value, field.second) << name << " " << field.first;
      }
    }
  }
}

// Chunks in the file's order start at times that never go back.
void ExpectInterleaved(const std::string& path) {
  const auto packets = FFprobePackets(path);
  Handle h = Open(path);
  std::vector<std::pair<uint64_t, std::pair<int, double>>> byPosition;
  for (const auto& stream : packets)
    for (const Packet& p : stream.second)
      byPosition.push_back({p.pos, {stream.first, double(p.dts) / MP4GetTrackTimeScale(h.get(), stream.first + 1)}});
  std::sort(byPosition.begin(), byPosition.end());
  double chunkStart = -1;
  for (size_t i = 0; i < byPosition.size(); i++) {
    if (i > 0 && byPosition[i].second.first == byPosition[i - 1].second.first) continue;
    EXPECT_GE(byPosition[i].second.second, chunkStart) << path << " at " << byPosition[i].first;
    chunkStart = byPosition[i].second.second;
  }
}

TEST(MP4Written, OptimisedFilesKeepTheirPackets) {
  for (const char* name : {"avc_aac.mp4", "hevc.mp4", "mpeg2.mp4"}) {
    // A copy holds its tracks one after the other; optimised, they are
    // interleaved behind the movie.
    const std::string copy = tu::scratch(std::string("copy-") + name);
    if (std::string(name) == "hevc.mp4")
      tu::write_file(copy, tu::read_file(Input(name)));
    else
      Copy(Input(name), copy);
    const std::string target = tu::scratch(std::string("optimised-") + name);
    ASSERT_TRUE(MP4Optimize(copy.c_str(), target.c_str(), 0)) << name;
    EXPECT_EQ(TopLevel(tu::read_file(target)), (std::vector<std::string>{"ftyp", "moov", "mdat"})) << name;
    EXPECT_EQ(PacketLines(target, false), PacketLines(Input(name), false)) << name;
    EXPECT_EQ(Frames(target), Frames(Input(name))) << name;
    ExpectInterleaved(target);
    // In place, through a temporary file: the same packets in the same
    // places.
    ASSERT_TRUE(MP4Optimize(copy.c_str(), nullptr, 0)) << name;
    EXPECT_EQ(PacketLines(copy, false, true), PacketLines(target, false, true)) << name;
  }
}

// A track added to a file of either layout: the old samples stay where
// they were with their times, the new one has the donor's packets.
TEST(MP4Written, ModifiedFilesKeepEveryOldSample) {
  const std::string donor = Input("avc_aac.mp4");
  for (const char* name : {"avc_aac.mp4", "avc_aac_faststart.mp4", "hevc.mp4"}) {
    const std::string path = tu::scratch(std::string("modified-") + name);
    tu::write_file(path, tu::read_file(Input(name)));
    const auto before = PacketLines(path, false, true);
    const auto frames = FrameCrcs(path, 0);
    MP4FileHandle h = MP4Modify(path.c_str(), 0);
    ASSERT_NE(h, nullptr) << name;
    Handle in = Open(donor);
    const uint32_t aac = MP4AddAudioTrack(h, MP4GetTrackTimeScale(in.get(), 2), 1024, 0x40);
    uint8_t* config = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(MP4GetTrackESConfiguration(in.get(), 2, &config, &size));
    EXPECT_TRUE(MP4SetTrackESConfiguration(h, aac, config, size));
    free(config);
    for (uint32_t s = 1; s <= MP4GetTrackNumberOfSamples(in.get(), 2); s++) {
      uint8_t* bytes = nullptr;
      uint64_t duration = 0;
      ASSERT_TRUE(MP4ReadSample(in.get(), 2, s, &bytes, &size, nullptr, &duration, nullptr, nullptr));
      EXPECT_TRUE(MP4WriteSample(h, aac, bytes, size, duration, 0, true));
      free(bytes);
    }
    MP4Close(h);
    auto after = PacketLines(path, false, true);
    const int added = static_cast<int>(before.size());
    ASSERT_EQ(after.size(), before.size() + 1) << name;
    const auto donorPackets = PacketLines(donor, false);
    // Positions aside, for the new track.
    for (std::string& line : after[added]) {
      const size_t pos = line.find("|pos=");
      line.erase(pos, line.find('|', pos + 1) - pos);
    }
    EXPECT_EQ(after[added], donorPackets.at(1)) << name;
    after.erase(added);
    EXPECT_EQ(after, before) << name;
    EXPECT_EQ(FrameCrcs(path, 0), frames) << name;
    const std::vector<std::string> top = TopLevel(tu::read_file(path));
    EXPECT_EQ(top.back(), "moov") << name;
    if (std::string(name) == "avc_aac_faststart.mp4") { EXPECT_EQ(top[1], "free") << name; }
  }
}

// The presentation times that ffprobe shows with edit lists applied: B
// pictures of x264 and x265 behind an edit that starts at the composition
// delay (a media time of 1024 at 12800 against a movie of 1000), negative
// composition offsets and an edit from 0, and an empty edit before a late
// track. Each packet is found at its presentation time, shown until the
// next later one, and the first one shown is the key frame; the end of
// the last one shows nothing.
TEST(MP4Written, EditListsGiveFFprobesTimes) {
  const FileSizeLimit limit;
  for (const char* name : {"avc_aac.mp4", "bframes.mp4", "bframes_hevc.mp4", "negative.mp4", "offset.mp4"}) {
    const std::string path = Input(name);
    Handle h = Open(path);
    const uint32_t video = MP4FindTrackId(h.get(), 0, "video", 0);
    const int stream = static_cast<int>(MP4FindTrackIndex(h.get(), video));
    std::vector<std::map<std::string, std::string>> packets;
    const auto lines = PacketLines(path, true);
    for (const std::string& line : lines.at(stream)) packets.push_back(CompactFields("x=|" + line));
    ASSERT_GE(packets.size(), 10u) << name;
    std::vector<int64_t> times;
    for (auto& p : packets) times.push_back(std::stoll(p["pts"]));
    std::sort(times.begin(), times.end());
    for (uint32_t s = 1; s <= packets.size(); s++) {
      const int64_t pts = std::stoll(packets[s - 1]["pts"]);
      const auto next = std::upper_bound(times.begin(), times.end(), pts);
      const int64_t shown = next != times.end() ? *next - pts : std::stoll(packets[s - 1]["duration"]);
      uint64_t start = 0, duration = 0;
      EXPECT_EQ(MP4GetSampleIdFromEditTime(h.get(), video, pts, &start, &duration), s) << name << " " << pts;
      EXPECT_EQ(start, uint64_t(pts)) << name << " " << pts;
      EXPECT_EQ(duration, uint64_t(shown)) << name << " " << pts;
      EXPECT_EQ(MP4GetSampleIdFromEditTime(h.get(), video, pts + shown - 1, nullptr, nullptr), s) << name << " " << pts;
      if (pts != times.front()) continue;
      EXPECT_NE(packets[s - 1]["flags"].find('K'), std::string::npos) << name;
      uint8_t* bytes = nullptr;
      uint32_t size = 0;
      bool sync = false;
      EXPECT_TRUE(MP4ReadSampleFromEditTime(h.get(), video, pts, &bytes, &size, &start, &duration, nullptr, &sync))
          << name;
      free(bytes);
      EXPECT_TRUE(sync) << name;
      EXPECT_EQ(std::to_string(size), packets[s - 1]["size"]) << name;
      EXPECT_EQ(start, uint64_t(pts)) << name;
    }
    int64_t end = 0;
    for (auto& p : packets)
      if (std::stoll(p["pts"]) == times.back()) end = times.back() + std::stoll(p["duration"]);
    EXPECT_EQ(MP4GetSampleIdFromEditTime(h.get(), video, end, nullptr, nullptr), 0u) << name;
  }
  // The empty edit of half a second shows no sample.
  Handle h = Open(Input("offset.mp4"));
  const uint32_t video = MP4FindTrackId(h.get(), 0, "video", 0);
  uint64_t start = 1, duration = 0;
  EXPECT_EQ(MP4GetSampleIdFromEditTime(h.get(), video, 6399, &start, &duration), 0u);
  EXPECT_EQ(start, 0u);
  EXPECT_EQ(duration, 6400u);

  // Written: without edits the media times show; with an empty edit of
  // 500 ms and the delay of 1024, every time moves by 6400 - 1024.
  const std::string path = tu::scratch("edits.mp4");
  tu::write_file(path, tu::read_file(Input("avc_aac.mp4")));
  const auto media = PacketLines(path, false).at(0);
  MP4FileHandle m = MP4Modify(path.c_str(), 0);
  ASSERT_EQ(MP4GetTrackNumberOfEdits(m, 1), 1u);
  const uint64_t length = MP4GetTrackEditDuration(m, 1, 1);
  EXPECT_TRUE(MP4DeleteTrackEdit(m, 1, 1));
  MP4Close(m);
  EXPECT_EQ(PacketLines(path, true).at(0), media);
  m = MP4Modify(path.c_str(), 0);
  EXPECT_EQ(MP4AddTrackEdit(m, 1, 0, 0, 1, false), 1u);
  EXPECT_TRUE(MP4SetTrackEditMediaStart(m, 1, 1, 1024));
  EXPECT_TRUE(MP4SetTrackEditDuration(m, 1, 1, length));
  EXPECT_EQ(MP4AddTrackEdit(m, 1, 1, UINT64_MAX, 500, false), 1u);
  MP4Close(m);
  const auto shifted = PacketLines(path, true).at(0);
  ASSERT_EQ(shifted.size(), media.size());
  for (size_t i = 0; i < media.size(); i++) {
    std::map<std::string, std::string> a = CompactFields("x=|" + media[i]), b = CompactFields("x=|" + shifted[i]);
    EXPECT_EQ(std::stoll(b["pts"]), std::stoll(a["pts"]) + 6400 - 1024) << i;
    EXPECT_EQ(b["size"], a["size"]) << i;
  }
}

// An edit beyond 32 bits turns ffmpeg's version-0 list into version 1, as
// the headers turn: an empty edit of 2^32 + 4 ms before the delay of 1024
// moves every time shown by (2^32 + 4) x 12.8 ticks, and the delay and
// the empty edit's -1 stay what they are.
TEST(MP4Written, EditsBeyond32BitsWidenTheList) {
  const FileSizeLimit limit;
  const std::string path = tu::scratch("wide-edits.mp4");
  tu::write_file(path, tu::read_file(Input("avc_aac.mp4")));
  const auto before = PacketLines(path, true).at(0);
  const auto VersionOfElst = [&] {
    const Bytes file = tu::read_file(path);
    return file.at(Find(Walk(file), "elst")->offset + 8);
  };
  ASSERT_EQ(VersionOfElst(), 0);
  const uint64_t wide = (1ull << 32) + 4;
  MP4FileHandle m = MP4Modify(path.c_str(), 0);
  const uint64_t length = MP4GetTrackEditDuration(m, 1, 1);
  EXPECT_EQ(MP4AddTrackEdit(m, 1, 1, UINT64_MAX, wide, false), 1u);
  EXPECT_EQ(MP4GetTrackEditDuration(m, 1, 1), wide);
  EXPECT_EQ(MP4GetTrackEditMediaStart(m, 1, 1), UINT64_MAX);
  EXPECT_EQ(MP4GetTrackEditMediaStart(m, 1, 2), 1024u);
  EXPECT_EQ(MP4GetSampleIdFromEditTime(m, 1, wide * 64 / 5, nullptr, nullptr), 1u);
  MP4Close(m);
  EXPECT_EQ(VersionOfElst(), 1);
  // 32-bit words: the count, then rows of a 64-bit duration, a 64-bit
  // media time, the rate and the reserved half.
  EXPECT_EQ(Fields(tu::read_file(path), "elst"),
            (std::vector<uint64_t>{2, 1, 4, 0xFFFFFFFF, 0xFFFFFFFF, 0x10000, length >> 32, length & 0xFFFFFFFF, 0,
                                   1024, 0x10000}));
  const auto after = PacketLines(path, true).at(0);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); i++) {
    std::map<std::string, std::string> a = CompactFields("x=|" + before[i]), b = CompactFields("x=|" + after[i]);
    EXPECT_EQ(std::stoll(b["pts"]), std::stoll(a["pts"]) + int64_t(wide * 64 / 5)) << i;
    EXPECT_EQ(b["size"], a["size"]) << i;
  }
}

// New chunks beyond 4 GiB in a file whose media data has a hole there (a
// few KB on disk): the track's 32-bit chunk offsets turn 64-bit, and a new
// track has them from the start.
TEST(MP4Written, ChunksBeyond4GiB) {
  const std::string path = tu::scratch("large.mp4");
  const Bytes samples = Lit("one|two|three");
  const Bytes ftyp = Box("ftyp", Cat({Lit("isom"), BE(0, 4)}));
  const uint64_t moovAt = (5ull << 30) + 5;
  const Bytes mdatHeader = Cat({BE(1, 4), Lit("mdat"), BE(moovAt - ftyp.size(), 8)});
  // A track of a kind that ffprobe lists without decoding it.
  CraftedTrack t;
  t.handler = "data";
  t.entries = OneEntry(Box("wxyz", Cat({Bytes(6, 0), BE(1, 2)})));
  t.duration = 3000;
  t.tables = Cat({FullBox("stts", 0, 0, Cat({BE(1, 4), BE(3, 4), BE(1000, 4)})),
                  FullBox("stsc", 0, 0, Cat({BE(1, 4), BE(1, 4), BE(3, 4), BE(1, 4)})),
                  FullBox("stsz", 0, 0, Cat({BE(0, 4), BE(3, 4), BE(4, 4), BE(4, 4), BE(5, 4)})),
                  FullBox("stco", 0, 0, Cat({BE(1, 4), BE(ftyp.size() + 16, 4)}))});
  {
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    const Bytes head = Cat({ftyp, mdatHeader, samples}), moov = Moov({Trak(t)});
    ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), ssize_t(head.size()));
    ASSERT_EQ(pwrite(fd, moov.data(), moov.size(), moovAt), ssize_t(moov.size()));
    close(fd);
  }
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  const uint32_t added = MP4AddAudioTrack(h, 1000, 1000, 0x40);
  for (const char* more : {"four", "five", "six"}) {
    EXPECT_TRUE(MP4WriteSample(h, 1, reinterpret_cast<const uint8_t*>(more), strlen(more), 1000, 0, true));
    EXPECT_TRUE(MP4WriteSample(h, added, reinterpret_cast<const uint8_t*>(more), strlen(more), 1000, 0, true));
  }
  MP4Close(h);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);
  const std::vector<Walked> boxes = [&] {
    // The movie and the boxes before the hole, as the walker sees them.
    const int fd = open(path.c_str(), O_RDONLY);
    Bytes tail(st.st_size - moovAt);
    EXPECT_EQ(pread(fd, tail.data(), tail.size(), moovAt), ssize_t(tail.size()));
    close(fd);
    return Walk(tail);
  }();
  EXPECT_EQ(Find(boxes, "stco"), nullptr);
  EXPECT_NE(Find(boxes, "co64", 1), nullptr);
  Handle r = Open(path);
  ASSERT_NE(r.get(), nullptr);
  const char* expected[2][6] = {{"one|", "two|", "three", "four", "five", "six"}, {"four", "five", "six"}};
  const auto packets = FFprobePackets(path);
  for (uint32_t track = 1; track <= 2; track++) {
    const uint32_t n = track == 1 ? 6 : 3;
    ASSERT_EQ(MP4GetTrackNumberOfSamples(r.get(), track), n);
    ASSERT_EQ(packets.at(track - 1).size(), n);
    for (uint32_t s = 1; s <= n; s++) {
      const Read one = ReadOne(r.get(), track, s);
      EXPECT_EQ(Sample(r.get(), s, track), expected[track - 1][s - 1]) << track << " " << s;
      EXPECT_EQ(one.offset, packets.at(track - 1)[s - 1].pos) << track << " " << s;
      EXPECT_EQ(one.start, (s - 1) * 1000u);
      if (track == 2 || s > 3) { EXPECT_GT(one.offset, moovAt); }
    }
  }
  r.reset();
  unlink(path.c_str());
}

}  // namespace
