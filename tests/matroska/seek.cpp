// Seeking in files that ffmpeg and mkvmerge make once per run, with cues
// and through re-indexing, on a file of more than 60 MB, with negative
// block times; and reading damaged copies (cut, overwritten) against the
// frames mkvinfo lists for the intact file.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>

#include "mkvref.h"
#include "testutil.h"

namespace {

using mkvr::Frame;
using mkvr::Opened;

struct Inputs {
  std::string cues, nocues, split, big;
};

const Inputs& in() {
  static const Inputs i = [] {
    Inputs i;
    const std::string dir = mkvr::fixture_dir("matroska_seek");
    auto mkvmerge = [](const std::string& args) {
      const tu::RunResult r = tu::run("mkvmerge -q " + args);
      EXPECT_LE(r.status, 1) << args << "\n" << r.out;
    };
    const std::string src = dir + "src.mkv";
    tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=48000 -t 4 -c:v libx264 "
               "-g 12 -bf 2 -c:a mp2 " + tu::q(src));
    i.cues = dir + "cues.mkv";
    mkvmerge("-o " + tu::q(i.cues) + " " + tu::q(src));
    i.nocues = dir + "nocues.mkv";
    mkvmerge("-o " + tu::q(i.nocues) + " --no-cues " + tu::q(src));
    // Open groups: the B pictures after the key frame that opens part 2 lie
    // before it, at negative block times.
    const std::string open_gop = dir + "open.mkv";
    tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -t 4 -c:v libx264 "
               "-x264-params open-gop=1:keyint=24:min-keyint=24:bframes=3:b-adapt=0:scenecut=0 " + tu::q(open_gop));
    mkvmerge("-o " + tu::q(dir + "split.mkv") + " --split timestamps:2s " + tu::q(open_gop));
    i.split = dir + "split-002.mkv";
    // 69 MB of raw pictures, one per cluster, without cues.
    const std::string raw = dir + "raw.mkv";
    tu::ffmpeg("-f lavfi -i color=c=gray:size=640x480:rate=25 -t 6 -c:v rawvideo -pix_fmt yuv420p " + tu::q(raw));
    i.big = dir + "big.mkv";
    mkvmerge("-o " + tu::q(i.big) + " --no-cues " + tu::q(raw));
    tu::run("rm -f " + tu::q(raw));
    return i;
  }();
  return i;
}

// The next frame of track index 0, reading past the others.
bool next_video(MatroskaFile* mf, Frame& f) {
  while (mkv_ReadFrame(mf, 0, &f.track, &f.start, &f.end, &f.pos, &f.size, &f.flags) == 0)
    if (f.track == 0) return true;
  return false;
}

TEST(MatroskaSeek, EveryKeyFrameWithCuesAndByReindexing) {
  for (const std::string& path : {in().cues, in().nocues}) {
    SCOPED_TRACE(path);
    const auto packets = mkvr::ffprobe_packets(path);
    ASSERT_FALSE(packets.empty());
    const int64_t base = packets[0].pts;
    std::vector<mkvr::Packet> keys;
    for (const auto& p : packets)
      if (p.stream == 0 && p.key) keys.push_back(p);
    ASSERT_GE(keys.size(), 8u);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
    Opened o(path);
    ASSERT_NE(o.mf, nullptr) << o.error;
    for (const auto& k : keys) {
      const uint64_t t = uint64_t(k.pts - base);
      Frame f;
      mkv_SeekTrack(o.mf, 0, t, 0);
      ASSERT_TRUE(next_video(o.mf, f)) << t;
      EXPECT_EQ(f.start, t);
      EXPECT_EQ(f.size, k.size) << t;
      EXPECT_TRUE(f.flags & FRAME_KF) << t;
      // Rounded down to a cue point: with cues, the key frame itself.
      mkv_Seek2Track(o.mf, 0, t + 20000000, 0);
      ASSERT_TRUE(next_video(o.mf, f)) << t;
      if (path == in().cues) {
        EXPECT_EQ(f.start, t);
      } else {
        EXPECT_LE(f.start, t + 20000000);
      }
    }
    CueEntry* c;
    unsigned n;
    ASSERT_GT(mkv_GetCues(o.mf, &c, &n), 1u);
    EXPECT_EQ(c[0].Time, 0u);
  }
}

TEST(MatroskaSeek, NegativeBlockTimesCountAsTheirDistance) {
  const auto packets = mkvr::ffprobe_packets(in().split);
  ASSERT_FALSE(packets.empty());
  const int64_t base = packets[0].pts;
  Opened o(in().split);
  ASSERT_NE(o.mf, nullptr) << o.error;
  const auto frames = mkvr::read_frames(o.mf);
  ASSERT_EQ(frames.size(), packets.size());
  int before = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    before += packets[i].pts < base;
    EXPECT_NEAR(double(frames[i].start), double(std::llabs(packets[i].pts - base)), 1e6) << i;
    EXPECT_EQ(frames[i].size, packets[i].size) << i;
  }
  EXPECT_GT(before, 0);  // the case is there
}

TEST(MatroskaSeek, LargeFileWithoutCuesReindexesInSteps) {
  Opened o(in().big);
  ASSERT_NE(o.mf, nullptr) << o.error;
  ASSERT_GE(o.stream->data.size(), 60000000u);
  EXPECT_EQ(mkv_GetFileInfo(o.mf)->Duration, 6000000000u);  // the read-ahead reaches the last frame
  // Time 0 is the first cluster: found without a scan of the file.
  const long scans = o.stream->scans;
  mkv_Seek2Track(o.mf, 0, 0, 0);
  const auto first = mkvr::read_frames(o.mf, 1);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].start, 0u);
  EXPECT_EQ(o.stream->scans, scans);
  const auto t0 = std::chrono::steady_clock::now();
  const long progress = o.stream->progress_calls, reads = o.stream->reads;
  for (uint64_t t : {3000000000ull, 5520000000ull, 40000000ull, 0ull}) {
    mkv_SeekTrack(o.mf, 0, t, 0);
    const auto f = mkvr::read_frames(o.mf, 1);
    ASSERT_EQ(f.size(), 1u) << t;
    EXPECT_EQ(f[0].start, t);
    EXPECT_EQ(f[0].size, 640u * 480 * 3 / 2);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  CueEntry* c;
  unsigned n;
  ASSERT_GE(mkv_GetCues(o.mf, &c, &n), 10u);
  EXPECT_EQ(c[0].Time, 0u);
  for (unsigned i = 1; i < n; ++i) {  // one row per 5 MiB step, at the cluster that starts after it
    EXPECT_GE(c[i].Position - c[i - 1].Position, 5242880u) << i;
    EXPECT_LT(c[i].Position - c[i - 1].Position, 5242880u + 500000) << i;
  }
  EXPECT_GE(o.stream->progress_calls - progress, long(n));
  EXPECT_LT(o.stream->progress_calls - progress, 4 * long(n) + 10);
  EXPECT_LT(o.stream->reads - reads, 200 * long(n));
}

// Frames of a file through the programs' stream (buffered standard I/O),
// after a seek to t (none when t is 0).
std::vector<Frame> stdio_frames(const std::string& path, uint64_t t) {
  FILE* fp = fopen(path.c_str(), "rb");
  EXPECT_NE(fp, nullptr) << path;
  if (!fp) return {};
  StdIoStream st;
  StdIoInit(&st, fp);
  char err[256];
  MatroskaFile* mf = mkv_OpenEx(&st.base, 0, 0, err, sizeof err);
  EXPECT_NE(mf, nullptr) << err;
  if (t) mkv_SeekTrack(mf, 0, t, 0);
  const auto frames = mkvr::read_frames(mf);
  mkv_Close(mf);
  fclose(fp);
  return frames;
}

TEST(MatroskaSeek, StandardIoStreamScansLikeTheMemoryStream) {
  // Re-indexing and resynchronisation use the stream's scan.
  const auto bytes = tu::read_file(in().nocues);
  std::string damaged(bytes.begin(), bytes.end());
  const size_t cluster = damaged.find("\x1F\x43\xB6\x75", damaged.size() / 2);
  ASSERT_NE(cluster, std::string::npos);
  damaged.replace(cluster, 64, std::string(64, '\xFF'));
  const std::string path = mkvr::fixture_dir("matroska_seek_stdio") + "damaged.mkv";
  tu::write_file(path, std::vector<uint8_t>(damaged.begin(), damaged.end()));
  for (const auto& [file, t] : {std::make_pair(in().nocues, uint64_t(2000000000)), std::make_pair(path, uint64_t(0))}) {
    Opened o(file);
    ASSERT_NE(o.mf, nullptr);
    if (t) mkv_SeekTrack(o.mf, 0, t, 0);
    const auto want = mkvr::read_frames(o.mf), got = stdio_frames(file, t);
    ASSERT_EQ(got.size(), want.size()) << file;
    ASSERT_FALSE(got.empty());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].pos, want[i].pos) << file << " " << i;
  }
}

// ---------------------------------------------------------------- damage

struct Damage {
  const char* name;
  std::function<void(std::string&)> apply;
  std::function<bool(const mkvr::InfoFrame&)> kept;  // frames of the intact file that must come out
  bool cues;                                          // the cue table survives
};

TEST(MatroskaSeek, DamagedCopiesKeepTheFramesBeforeAndResynchronise) {
  const auto bytes = tu::read_file(in().cues);
  const std::string intact(bytes.begin(), bytes.end());
  const auto ref = mkvr::mkvinfo_frames(in().cues);
  std::vector<size_t> clusters;  // a scan for the Cluster ID
  for (size_t at = intact.find("\x1F\x43\xB6\x75"); at != std::string::npos; at = intact.find("\x1F\x43\xB6\x75", at + 1))
    clusters.push_back(at);
  ASSERT_GE(clusters.size(), 4u);
  const size_t cues = intact.find("\x1C\x53\xBB\x6B", clusters.back());
  ASSERT_NE(cues, std::string::npos);
  // A large video frame in the middle, and the cluster after it.
  const mkvr::InfoFrame* cut = nullptr;
  for (const auto& f : ref)
    if (f.track == 1 && f.pos > intact.size() / 3 && (!cut || f.size > cut->size) && f.pos < 2 * intact.size() / 3) cut = &f;
  ASSERT_NE(cut, nullptr);
  const size_t k = size_t(std::upper_bound(clusters.begin(), clusters.end(), cut->pos) - clusters.begin());
  ASSERT_LT(k + 1, clusters.size());
  const Damage cases[] = {
      {"cut inside a block", [&](std::string& s) { s.resize(cut->pos + cut->size / 2); },
       [&](const mkvr::InfoFrame& f) { return f.pos < cut->pos; }, false},
      {"cut after a cluster's head", [&](std::string& s) { s.resize(clusters[k] + 10); },
       [&](const mkvr::InfoFrame& f) { return f.pos < clusters[k]; }, false},
      {"cut inside the cues", [&](std::string& s) { s.resize(cues + 30); }, [](const mkvr::InfoFrame&) { return true; },
       false},
      {"64 bytes of FF over a cluster", [&](std::string& s) { s.replace(clusters[k], 64, std::string(64, '\xFF')); },
       [&](const mkvr::InfoFrame& f) { return f.pos < clusters[k] || f.pos >= clusters[k + 1]; }, true},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.name);
    std::string damaged = intact;
    d.apply(damaged);
    Opened o(damaged, false);
    ASSERT_NE(o.mf, nullptr) << o.error;
    const TrackInfo* v = mkv_GetTrackInfo(o.mf, 0);
    ASSERT_NE(v, nullptr);
    std::vector<std::string> want, got;
    for (const auto& f : ref)
      if (d.kept(f)) want.push_back(std::to_string(f.track) + " " + std::to_string(f.pos) + " " + f.adler);
    for (int pass = 0; pass < 2; ++pass) {  // the second after a seek to 0
      got.clear();
      for (const Frame& f : mkvr::read_frames(o.mf)) {
        char adler[16];
        snprintf(adler, sizeof adler, "%08lx",
                 adler32(1, reinterpret_cast<const Bytef*>(damaged.data() + f.pos), uInt(f.size)));
        got.push_back(std::to_string(mkv_GetTrackInfo(o.mf, f.track)->Number) + " " + std::to_string(f.pos) + " " + adler);
      }
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(got, want) << "pass " << pass;
      EXPECT_EQ(mkvr::read_frames(o.mf).size(), 0u);
      mkv_SeekTrack(o.mf, 0, 0, 0);
    }
    CueEntry* c;
    unsigned n;
    EXPECT_EQ(mkv_GetCues(o.mf, &c, &n) > 0, d.cues);
    // A seek to the damaged cluster's time lands after it, on the next cluster's frames.
    mkv_SeekTrack(o.mf, 0, 1000000000, 0);
    Frame f;
    if (next_video(o.mf, f)) {
      EXPECT_GE(f.start, 1000000000u);
    }
  }
}

}  // namespace
