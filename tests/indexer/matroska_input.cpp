// Matroska input end to end: elementary streams made with x264, x265,
// ffmpeg and mpeg2enc are indexed directly and inside Matroska files made
// from them with mkvmerge (with cues, without, with cues for the audio only)
// and remuxed by ffmpeg (cues at the end, cues before the first cluster).
// The picture and group lines must equal those of the elementary stream's
// index but for the positions, which are frame times: every group position
// is the time of a key frame that ffprobe reports. CODED is ffprobe's count
// of video packets, FPS the track's frame duration as mkvmerge reports it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "MatroskaVideo.h"
#include "testutil.h"
#include "timed_inputs.h"

namespace {

using namespace timed;

// The Matroska forms of one stream: name and shell command from ES to OUT.
struct Form {
  const char* name;
  std::string make;
};

const std::vector<Form>& Forms() {
  static const std::vector<Form> f = {
      {"mkvmerge", "mkvmerge -q -o OUT ES"},
      {"mkvmerge without cues", "mkvmerge -q --no-cues -o OUT ES"},
      {"mkvmerge with audio-only cues", "mkvmerge -q -o OUT --cues 0:none ES --cues 0:all AUDIO"},
      {"ffmpeg remux", "mkvmerge -q -o OUT.src.mkv ES && ffmpeg -v error -y -i OUT.src.mkv -c copy OUT"},
      {"ffmpeg remux with cues before the clusters",
       "mkvmerge -q -o OUT.src.mkv ES && ffmpeg -v error -y -i OUT.src.mkv -c copy -reserve_index_space 20000 OUT"},
  };
  return f;
}

// The video track's default duration (ns) as mkvmerge -J reports it, 0 when none.
uint64_t DefaultDuration(const std::string& file) {
  const std::string json = tu::run("mkvmerge -J " + tu::q(file)).out;
  const size_t video = json.find("\"type\": \"video\"");
  const size_t key = json.rfind("\"default_duration\": ", video);
  const size_t track = json.rfind("\"codec\": ", video);
  if (video == std::string::npos || key == std::string::npos || key < track) return 0;
  return std::stoull(json.substr(key + 20));
}

// The closed-GOP AVC stream by mkvmerge.
std::string ClosedMkv() { return Made("closed.mkv", "mkvmerge -q -o OUT " + tu::q(Es(Sources()[0]))); }

TEST(MatroskaInput, PicturesAndGroupsEqualTheElementaryStreamsWithTimesForPositions) {
  for (const Source& s : Sources()) {
    const std::string es = Es(s);
    const std::vector<std::string> want = Shape(tu::index_lines(es, es + ".kwi"), nullptr);
    ASSERT_GT(want.size(), 10u) << s.name;
    int form_no = 0;
    for (const Form& f : Forms()) {
      const std::string what = std::string(s.name) + " by " + f.name;
      const std::string mkv = es + "." + std::to_string(form_no++) + ".mkv";
      const std::string cmd =
          Replace(Replace(Replace(f.make, "OUT", tu::q(mkv)), "ES", tu::q(es)), "AUDIO", tu::q(Audio()));
      ASSERT_EQ(tu::run(cmd + " 2>&1").status, 0) << what;

      tu::RunResult run;
      const std::vector<std::string> lines = tu::index_lines(mkv, mkv + ".kwi", &run);
      ASSERT_EQ(run.status, 0) << what << ": " << run.out;
      std::vector<uint64_t> positions;
      EXPECT_EQ(Shape(lines, &positions), want) << what;
      EXPECT_EQ(tu::kwi_value(lines, "STREAM"), "2 0") << what;

      const Packets p = Probe(mkv, "pts_time", 1e9);
      EXPECT_EQ(tu::kwi_value(lines, "CODED"), std::to_string(p.count)) << what;
      ASSERT_FALSE(positions.empty()) << what;
      for (uint64_t t : positions) EXPECT_EQ(p.key_times.count(t), 1u) << what << ": group at " << t << " ns";

      const uint64_t dd = DefaultDuration(mkv);
      ASSERT_GT(dd, 0u) << what;
      int num = 0, den = 0;
      ASSERT_EQ(sscanf(tu::kwi_value(lines, "FPS").c_str(), "%d / %d", &num, &den), 2) << what;
      EXPECT_NEAR(double(num) / den, 1e9 / double(dd), 0.01) << what;
      EXPECT_TRUE(tu::exists(mkv + ".log")) << what << ": stream report";
    }
  }
}

TEST(MatroskaInput, SharedVc1SampleStoredWithoutStartCodes) {
  const std::string vc1 = std::string(SHARED_TESTDATA) + "/vc1/";
  if (!tu::exists(vc1 + "vc1_ap_1080_pulldown_vfw.mkv")) GTEST_SKIP() << "no VC-1 samples";
  const auto es = tu::index_lines(vc1 + "vc1_ap_1080_pulldown.vc1", Dir() + "vc1.kwi");
  tu::RunResult run;
  const auto mkv = tu::index_lines(vc1 + "vc1_ap_1080_pulldown_vfw.mkv", Dir() + "vc1mkv.kwi", &run);
  ASSERT_EQ(run.status, 0) << run.out;
  const auto pictures = tu::kwi_pictures(mkv);
  EXPECT_EQ(pictures.size(), 85u);
  EXPECT_EQ(pictures, tu::kwi_pictures(es));
  for (const char* k : {"SIZE", "CODED", "PLAYBACK", "ORDER", "FPS"}) EXPECT_EQ(tu::kwi_line(mkv, k), tu::kwi_line(es, k));
  // Its key frames open groups: a sequence header and an entry point each.
  EXPECT_EQ(tu::kwi_with(mkv, "SEQ").size(), tu::kwi_with(es, "SEQ").size());
  EXPECT_EQ(tu::kwi_with(mkv, "ENTRY").size(), tu::kwi_with(es, "ENTRY").size());
}

// Frames with 4-byte length prefixes in start-code form, copied and in place
// (how the indexer reads them): an empty unit gets no start code, and a
// length that runs past the frame ends it, with what follows.
TEST(MatroskaInput, LengthPrefixesBecomeStartCodes) {
  struct Case {
    std::vector<uint8_t> frame, want;
  };
  const std::vector<Case> cases = {
      {{0, 0, 0, 2, 0xAA, 0xBB, 0, 0, 0, 1, 0xCC}, {0, 0, 0, 1, 0xAA, 0xBB, 0, 0, 0, 1, 0xCC}},
      {{0, 0, 0, 1, 0xAA, 0, 0, 0, 0, 0, 0, 0, 2, 0xBB, 0xCC}, {0, 0, 0, 1, 0xAA, 0, 0, 0, 1, 0xBB, 0xCC}},
      {{0, 0, 0, 0, 0, 0, 0, 1, 0xAA}, {0, 0, 0, 1, 0xAA}},
      {{0, 0, 0, 1, 0xAA, 0, 0, 0, 5, 0xBB}, {0, 0, 0, 1, 0xAA}},
      {{0, 0, 0, 1, 0xAA, 0, 0, 0}, {0, 0, 0, 1, 0xAA}},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xAA}, {}},
      {{}, {}},
  };
  MkvVideoTrack v;
  v.codec = MKV_VIDEO_AVC;
  for (const Case& c : cases) {
    const size_t no = &c - cases.data();
    std::vector<uint8_t> out(c.frame.size() + 8);
    const long n = MkvFrameToStartCodes(v, c.frame.data(), c.frame.size(), true, out.data(), out.size());
    ASSERT_GE(n, 0) << no;
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + n), c.want) << no;
    std::vector<uint8_t> in_place = c.frame;
    in_place.resize(MkvLengthPrefixesToStartCodes(in_place.data(), in_place.size()));
    EXPECT_EQ(in_place, c.want) << no;
  }
}

// A scratch file for what a refusal case is made from, and the command that
// writes ten 64x64 pictures of a codec to a path.
std::string MadeEs(const std::string& ext) { return tu::q(Dir() + "made." + ext); }
std::string Made(const std::string& codec, const std::string& path) {
  return "ffmpeg -v error -y -f lavfi -i testsrc=size=64x64:rate=25 -frames:v 10 " + codec + " " + path;
}

TEST(MatroskaInput, RefusalsExitWithTheirMessages) {
  struct Case {
    const char* name;
    std::string make;  // writes OUT
    const char* message;
  };
  const std::string es = tu::q(Es(Sources()[0]));
  const std::vector<Case> cases = {
      {"audio only", "mkvmerge -q -o OUT " + tu::q(Audio()),
       "Could not find a supported video track (need AVC/HEVC/MPEG2/VC1)."},
      {"WebM", "ffmpeg -v error -y -f lavfi -i testsrc=size=64x64:rate=5 -t 1 -c:v libvpx-vp9 -f webm OUT",
       "Could not parse the Matroska file."},
      {"zlib-compressed video", "mkvmerge -q -o OUT --compression 0:zlib " + es, "cannot be read: its frames are compressed."},
      // Video of a codec that is not read: each track's codec ID is named
      // before the refusal (the IDs as mkvmerge -J lists them).
      {"MPEG-1", Made("-c:v mpeg1video -f mpeg1video", MadeEs("m1v")) + " && mkvmerge -q -o OUT " + MadeEs("m1v"),
       "The Matroska video track 1 has the codec ID 'V_MPEG1', which is not supported.\n"
       "Could not find a supported video track (need AVC/HEVC/MPEG2/VC1)."},
      {"MJPEG", Made("-c:v mjpeg -f matroska", "OUT"), "The Matroska video track 1 has the codec ID 'V_MJPEG', which"},
      {"VP9", Made("-c:v libvpx-vp9 -f matroska", "OUT"), "The Matroska video track 1 has the codec ID 'V_VP9', which"},
      {"MPEG-4 part 2 in a BITMAPINFOHEADER",
       Made("-c:v mpeg4 -vtag XVID -f avi", MadeEs("avi")) + " && mkvmerge -q -o OUT " + MadeEs("avi"),
       "The Matroska video track 1 has the codec ID 'V_MS/VFW/FOURCC' with the four-character code 'XVID', which "
       "is not supported.\n"},
      {"two tracks, neither read",
       Made("-c:v mjpeg -f matroska", MadeEs("mkv")) + " && mkvmerge -q -o OUT " + MadeEs("mkv") + " " + MadeEs("avi"),
       "The Matroska video track 1 has the codec ID 'V_MJPEG', which is not supported.\n"
       "The Matroska video track 2 has the codec ID 'V_MS/VFW/FOURCC' with the four-character code 'XVID', which "
       "is not supported.\nCould not find a supported video track"},
  };
  for (const Case& c : cases) {
    const std::string mkv = Dir() + "refused." + std::to_string(&c - cases.data()) + ".mkv";
    ASSERT_EQ(tu::run(Replace(c.make, "OUT", tu::q(mkv)) + " 2>&1").status, 0) << c.name;
    const tu::RunResult r = tu::ostrel("-i " + tu::q(mkv) + " -o " + tu::q(mkv + ".kwi"));
    EXPECT_EQ(r.status, 1) << c.name << ": " << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.name << ": " << r.out;
    // The codec ID named is the file's, as mkvmerge reads it.
    const std::string m = c.message, key = "codec ID '";
    if (const size_t at = m.find(key); at != std::string::npos) {
      const std::string id = m.substr(at + key.size(), m.find('\'', at + key.size()) - at - key.size());
      EXPECT_NE(tu::run("mkvmerge -J " + tu::q(mkv)).out.find("\"codec_id\": \"" + id + "\""), std::string::npos)
          << c.name << ": " << id;
    }
  }
  // A damaged header: the Segment's ID loses its last bit.
  const std::string mkv = Dir() + "damaged.mkv";
  std::vector<uint8_t> b = tu::read_file(ClosedMkv());
  const uint8_t segment[] = {0x18, 0x53, 0x80, 0x67};
  const auto at = std::search(b.begin(), b.end(), segment, segment + 4);
  ASSERT_NE(at, b.end());
  at[3] ^= 1;
  tu::write_file(mkv, b);
  const tu::RunResult r = tu::ostrel("-i " + tu::q(mkv) + " -o " + tu::q(mkv + ".kwi"));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Could not parse the Matroska file."), std::string::npos) << r.out;
}

TEST(MatroskaInput, ClustersOfUnknownSizeEndWithAnErrorAndNoIndex) {
  // The first cluster's size field, whatever its length, becomes all ones.
  const std::string mkv = Dir() + "unknown_cluster.mkv";
  std::vector<uint8_t> b = tu::read_file(ClosedMkv());
  const uint8_t cluster[] = {0x1F, 0x43, 0xB6, 0x75};
  const auto at = std::search(b.begin(), b.end(), cluster, cluster + 4) + 4;
  ASSERT_LT(at + 8, b.end());
  int len = 1;
  while (len < 8 && !(at[0] & (0x80 >> (len - 1)))) ++len;
  at[0] |= uint8_t((0x80 >> (len - 1)) - 1);
  std::fill(at + 1, at + len, 0xFF);
  tu::write_file(mkv, b);
  const tu::RunResult r = tu::ostrel("-i " + tu::q(mkv) + " -o " + tu::q(mkv + ".kwi"));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_FALSE(tu::exists(mkv + ".kwi") && tu::kwi_value(tu::kwi_lines(mkv + ".kwi"), "CODED") == "0") << r.out;
}

}  // namespace
