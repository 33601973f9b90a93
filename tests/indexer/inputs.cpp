// Input sets: what Ostrel refuses before or while indexing (inputs that are
// no regular file, inputs without a picture to decode from, files of another
// container, packet size or codec given together, a change of chroma format
// or bit depth anywhere in the input), and what it
// must not refuse: one recording cut into pieces anywhere indexes exactly as
// the whole file does.
#include <sys/stat.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "testutil.h"
#include "timed_inputs.h"
#include "ts_streams.h"

namespace {

// Inputs made once for the whole program: 160x120, one second.
class Inputs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string src = "-f lavfi -i testsrc=size=160x120:rate=25 -t 1 -pix_fmt ";
    const std::string ten = "-f lavfi -i testsrc=size=160x120:rate=25 -frames:v 10 -pix_fmt ";
    const std::string x264 = "-c:v libx264 -g 12 ";
    const std::string x265 = "-c:v libx265 -x265-params log-level=error:keyint=12 ";
    struct Make {
      std::string* path;
      const char* name;
      std::string args;
    };
    const Make makes[] = {
        {&avc_, "a.264", src + "yuv420p " + x264 + "-f h264"},
        {&ts_, "a.ts", src + "yuv420p " + x264 + "-f mpegts"},
        {&m2ts_, "a.m2ts", src + "yuv420p " + x264 + "-mpegts_m2ts_mode 1 -f mpegts"},
        {&hevc8_, "a8.hevc", src + "yuv420p " + x265 + "-f hevc"},
        {&hevc10_, "a10.hevc", src + "yuv420p10le " + x265 + "-f hevc"},
        {&vob_, "a.vob", src + "yuv420p -c:v mpeg2video -g 12 -f vob"},
        {&mpeg2_ts_, "m.ts", src + "yuv420p -c:v mpeg2video -g 12 -f mpegts"},
        {&mpeg2_es_, "m.m2v", src + "yuv420p -c:v mpeg2video -g 12 -f mpeg2video"},
        {&mkv_, "a.mkv", src + "yuv420p " + x264 + "-f matroska"},
        {&mp4_, "a.mp4", src + "yuv420p " + x264 + "-f mp4"},
        {&mp4_front_, "front.mp4", src + "yuv420p " + x264 + "-movflags +faststart -f mp4"},
        // Ten pictures of another chroma format or bit depth.
        {&avc422_, "a422.264", ten + "yuv422p " + x264 + "-f h264"},
        {&avc444_, "a444.264", ten + "yuv444p " + x264 + "-f h264"},
        {&avc10_, "a10.264", ten + "yuv420p10le " + x264 + "-f h264"},
        {&avc422_ts_, "a422.ts", ten + "yuv422p " + x264 + "-f mpegts"},
        {&avc10_ts_, "a10.ts", ten + "yuv420p10le " + x264 + "-f mpegts"},
        {&hevc444_, "a444.hevc", ten + "yuv444p " + x265 + "-f hevc"},
        {&hevc_gray_, "gray.hevc", ten + "gray " + x265 + "-f hevc"},
        {&hevc_ts_, "h.ts", src + "yuv420p " + x265 + "-f mpegts"},
        {&hevc444_ts_, "h444.ts", ten + "yuv444p " + x265 + "-f mpegts"},
        {&mpeg2_422_, "m422.m2v", ten + "yuv422p -c:v mpeg2video -g 12 -f mpeg2video"},
        {&mpeg2_422_ts_, "m422.ts", ten + "yuv422p -c:v mpeg2video -g 12 -f mpegts"},
    };
    const std::string dir = tu::process_scratch("inputs");
    for (const Make& m : makes) {
      *m.path = dir + m.name;
      ASSERT_TRUE(tu::ffmpeg(m.args + " " + tu::q(*m.path))) << m.name;
    }
    mkv_nocues_ = dir + "nocues.mkv";
    ASSERT_EQ(tu::run("mkvmerge -q --no-cues -o " + tu::q(mkv_nocues_) + " " + tu::q(mkv_)).status, 0);
  }
  static std::string avc_, ts_, m2ts_, hevc8_, hevc10_, vob_, mpeg2_ts_, mpeg2_es_, mkv_, mkv_nocues_, mp4_,
      mp4_front_;
  static std::string avc422_, avc444_, avc10_, avc422_ts_, avc10_ts_, hevc444_, hevc_gray_, hevc_ts_, hevc444_ts_,
      mpeg2_422_, mpeg2_422_ts_;
};
std::string Inputs::avc_, Inputs::ts_, Inputs::m2ts_, Inputs::hevc8_, Inputs::hevc10_, Inputs::vob_,
    Inputs::mpeg2_ts_, Inputs::mpeg2_es_, Inputs::mkv_, Inputs::mkv_nocues_, Inputs::mp4_, Inputs::mp4_front_;
std::string Inputs::avc422_, Inputs::avc444_, Inputs::avc10_, Inputs::avc422_ts_, Inputs::avc10_ts_,
    Inputs::hevc444_, Inputs::hevc_gray_, Inputs::hevc_ts_, Inputs::hevc444_ts_, Inputs::mpeg2_422_,
    Inputs::mpeg2_422_ts_;

// Index lines from DEVICE on: everything but the input file list.
std::vector<std::string> body(const std::vector<std::string>& lines) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].rfind("DEVICE", 0) == 0) return std::vector<std::string>(lines.begin() + long(i), lines.end());
  return {};
}

// Writes bytes [from, to) of a file to a piece of its own.
std::string piece(const std::string& whole, size_t from, size_t to, const std::string& name) {
  const std::vector<uint8_t> bytes = tu::read_file(whole);
  const std::string path = tu::scratch(name);
  tu::write_file(path, std::vector<uint8_t>(bytes.begin() + long(from), bytes.begin() + long(to)));
  return path;
}

tu::RunResult index_files(const std::vector<std::string>& files, const std::string& kwi) {
  std::remove(kwi.c_str());
  std::string args;
  for (const std::string& f : files) args += " " + tu::q(f);
  // A run that never ends is a failure too: it is cut off after a minute.
  return tu::run("timeout 60 " + tu::q(OSTREL_BIN) + " -i" + args + " -o " + tu::q(kwi));
}

}  // namespace

TEST(InputFiles, EndlessAndNonRegularInputsAreRefused) {
  const std::string fifo = tu::scratch("fifo");
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A device that never ends, and a pipe that no one writes to.
  for (const std::string& input : {std::string("/dev/zero"), fifo}) {
    const std::string kwi = tu::scratch("o.kwi");
    tu::RunResult r = index_files({input}, kwi);
    EXPECT_EQ(r.status, 1) << input << ": " << r.out;
    EXPECT_NE(r.out.find("ERROR: " + input + " is not a regular file."), std::string::npos) << r.out;
    EXPECT_FALSE(tu::exists(kwi));
  }

  // A regular file of zeros ends: its length bounds every search.
  const std::string zeros = tu::scratch("zeros.bin");
  tu::write_file(zeros, std::vector<uint8_t>(3 * 1024 * 1024, 0));
  tu::RunResult r = index_files({zeros}, tu::scratch("z.kwi"));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("No video data found in the input."), std::string::npos) << r.out;
}

// A transport stream whose only video packet ends before any slice: the
// tables name the video, the codec is known, but no picture can be decoded.
TEST_F(Inputs, NoPictureGivesNoIndexAndStatusOne) {
  const std::vector<uint8_t> ts = tu::read_file(ts_);
  ASSERT_EQ(ts.size() % 188, 0u);
  std::vector<uint8_t> cut;
  for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
    cut.insert(cut.end(), ts.begin() + long(at), ts.begin() + long(at + 188));
    const unsigned pid = ((ts[at + 1] & 0x1F) << 8) | ts[at + 2];
    if (pid == 0x100) break;  // ffmpeg's first video PID
  }
  ASSERT_LT(cut.size(), ts.size());
  // Null packets, so that the detection sees five sync bytes.
  std::vector<uint8_t> null_packet(188, 0xFF);
  null_packet[0] = 0x47;
  null_packet[1] = 0x1F;
  null_packet[2] = 0xFF;
  null_packet[3] = 0x10;
  for (int i = 0; i < 4; i++) cut.insert(cut.end(), null_packet.begin(), null_packet.end());
  const std::string in = tu::scratch("one_packet.ts");
  tu::write_file(in, cut);
  tu::RunResult r;
  std::vector<std::string> lines = tu::index_lines(in, tu::scratch("one_packet.kwi"), &r);
  EXPECT_TRUE(tu::refused_no_picture(r, lines));
}

TEST_F(Inputs, FilesOfAnotherKindAreRefusedNamingTheFile) {
  struct Case {
    std::vector<std::string> files;
    std::string message;  // the refused file is the last one
  };
  const Case cases[] = {
      {{ts_, avc_}, "is not a transport stream like the first input file."},
      {{m2ts_, ts_}, "has 188-byte transport packets; the first input file has 192-byte packets."},
      {{ts_, m2ts_}, "has 192-byte transport packets; the first input file has 188-byte packets."},
      {{avc_, ts_}, "is a transport stream; the first input file is an elementary stream."},
      {{avc_, vob_}, "is a program stream; the first input file is an elementary stream."},
      {{vob_, ts_}, "is a transport stream; the first input file is a program stream."},
      {{hevc8_, hevc10_}, "ERROR: the video format changes from HEVC 4:2:0 8-bit to HEVC 4:2:0 10-bit at position "},
      {{avc_, avc422_}, "ERROR: the video format changes from H.264 4:2:0 8-bit to H.264 4:2:2 8-bit at position "},
      {{avc_, avc_, avc10_}, "ERROR: the video format changes from H.264 4:2:0 8-bit to H.264 4:2:0 10-bit at "},
      {{ts_, avc422_ts_}, "ERROR: the video format changes from H.264 4:2:0 8-bit to H.264 4:2:2 8-bit at position "},
      {{hevc_ts_, hevc444_ts_}, "ERROR: the video format changes from HEVC 4:2:0 8-bit to HEVC 4:4:4 8-bit at "},
      {{mpeg2_es_, mpeg2_422_}, "ERROR: the video format changes from MPEG-2 4:2:0 8-bit to MPEG-2 4:2:2 8-bit at "},
      {{avc_, hevc8_}, "holds HEVC video; the input's codec was detected as AVC."},
      {{hevc8_, avc_}, "holds AVC video; the input's codec was detected as HEVC."},
      {{avc_, avc_, hevc10_}, "holds HEVC video; the input's codec was detected as AVC."},
  };
  for (const Case& c : cases) {
    const std::string refused = c.files.back();
    SCOPED_TRACE(c.message);
    const std::string kwi = tu::scratch("mixed.kwi");
    tu::RunResult r = index_files(c.files, kwi);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(refused), std::string::npos) << "the refused file is named: " << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_FALSE(tu::exists(kwi)) << "no index is left behind";
  }
  // The same files given twice are one longer recording, of one format.
  for (const std::vector<std::string>& files : std::vector<std::vector<std::string>>{
           {hevc10_, hevc10_}, {avc_, avc_, avc_}, {ts_, ts_}, {mpeg2_es_, mpeg2_es_}, {avc422_, avc422_}}) {
    const std::string kwi = tu::scratch("twice.kwi");
    tu::RunResult r = index_files(files, kwi);
    EXPECT_EQ(r.status, 0) << files[0] << ": " << r.out;
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
    EXPECT_TRUE(tu::exists(kwi)) << files[0];
  }
}

// A change of chroma format or bit depth inside the input, where files
// meet, in one file joined from two (cat), in a Matroska file appended
// from two (mkvmerge a.mkv + b.mkv) or in one MP4 track, is refused at the
// first picture of the new format, naming where its sequence parameter set
// (MPEG-2: sequence header) begins, or its frame time: the index holds one
// format, and the plugin could serve none of the pictures of the other.
TEST_F(Inputs, FormatChangesAreRefusedWhereTheyBegin) {
  // kMuxed: the joined elementary stream muxed into Matroska by mkvmerge,
  // whose codec private holds the later part's parameter sets (the first
  // frame brings its own); kMuxedMp4: that file copied into MP4 by ffmpeg;
  // kMuxedHead: its first part alone (the codec private's format is no
  // picture's).
  enum How { kFiles, kJoined, kAppended, kMp4, kMuxed, kMuxedMp4, kMuxedHead };
  struct Case {
    How how;
    std::string first, later;
    const char *from, *to;
  };
  // A first piece cut before its first slice: its parameter sets give the
  // index its format (DEPTH), which the later file's pictures change.
  const std::vector<uint8_t> whole = tu::read_file(avc_);
  size_t slice = 0;
  while (slice + 4 < whole.size() &&
         !(whole[slice] == 0 && whole[slice + 1] == 0 && whole[slice + 2] == 1 && (whole[slice + 3] & 31) == 5))
    ++slice;
  ASSERT_LT(slice + 4, whole.size());
  const std::string sets_only = piece(avc_, 0, slice, "sets_only.264");
  // Pairs whose sequence parameter sets differ in the format alone: one
  // profile and level, no cropping (which 4:0:0 counts in other units).
  // Made here, for this test alone.
  const std::string same = "-f lavfi -i testsrc=size=160x128:rate=25 -frames:v 10 -pix_fmt ";
  const std::string high = "-c:v libx264 -g 12 -level 3.0 -profile:v ";
  auto make = [&](const std::string& name, const std::string& args) {
    const std::string path = tu::scratch(name);
    EXPECT_TRUE(tu::ffmpeg(same + args + " " + tu::q(path))) << name;
    return path;
  };
  const std::string hi420 = make("hi420.264", "yuv420p " + high + "high -f h264");
  const std::string hi400 = make("hi400.264", "gray " + high + "high -f h264");
  const std::string hi10 = make("hi10.264", "yuv420p10le " + high + "high10 -f h264");
  const std::string hi422 = make("hi422.264", "yuv422p " + high + "high422 -f h264");
  const std::string hi422_10 = make("hi422_10.264", "yuv422p10le " + high + "high422 -f h264");
  const std::string hi444 = make("hi444.264", "yuv444p " + high + "high444 -f h264");
  const std::string hi444_10 = make("hi444_10.264", "yuv444p10le " + high + "high444 -f h264");
  const std::string hi420_ts = make("hi420.ts", "yuv420p " + high + "high -f mpegts");
  const std::string hi400_ts = make("hi400.ts", "gray " + high + "high -f mpegts");
  const std::string hi10_ts = make("hi10.ts", "yuv420p10le " + high + "high10 -f mpegts");
  // High 10 with 8-bit pictures, which x264 labels High: the 4:2:0
  // pictures with profile_idc 100 (the byte after each SPS's NAL header)
  // made 110, which has the same syntax.
  auto high10 = [&](const std::string& from, const std::string& name) {
    std::vector<uint8_t> b = tu::read_file(from);
    int sets = 0;
    for (size_t i = 0; i + 4 < b.size(); ++i)
      if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && b[i + 3] == 0x67 && b[i + 4] == 100) b[i + 4] = 110, ++sets;
    EXPECT_GT(sets, 0) << from;
    tu::write_file(tu::scratch(name), b);
    return tu::scratch(name);
  };
  const std::string hi10_8 = high10(hi420, "hi10_8.264"), hi10_8_ts = high10(hi420_ts, "hi10_8.ts");
  const char* const avc420 = "H.264 4:2:0 8-bit";
  const char* const hevc420 = "HEVC 4:2:0 8-bit";
  const char* const mpeg420 = "MPEG-2 4:2:0 8-bit";
  const Case cases[] = {
      {kFiles, avc_, avc444_, avc420, "H.264 4:4:4 8-bit"},
      {kFiles, hevc8_, hevc_gray_, hevc420, "HEVC 4:0:0 8-bit"},
      {kFiles, sets_only, avc10_, avc420, "H.264 4:2:0 10-bit"},
      {kJoined, avc_, avc422_, avc420, "H.264 4:2:2 8-bit"},
      {kJoined, avc_, avc10_, avc420, "H.264 4:2:0 10-bit"},
      {kJoined, hevc8_, hevc444_, hevc420, "HEVC 4:4:4 8-bit"},
      {kJoined, hevc8_, hevc_gray_, hevc420, "HEVC 4:0:0 8-bit"},
      {kJoined, mpeg2_es_, mpeg2_422_, mpeg420, "MPEG-2 4:2:2 8-bit"},
      {kJoined, ts_, avc10_ts_, avc420, "H.264 4:2:0 10-bit"},
      {kJoined, hevc_ts_, hevc444_ts_, hevc420, "HEVC 4:4:4 8-bit"},
      {kJoined, mpeg2_ts_, mpeg2_422_ts_, mpeg420, "MPEG-2 4:2:2 8-bit"},
      {kAppended, avc_, avc422_, avc420, "H.264 4:2:2 8-bit"},
      {kAppended, avc_, avc10_, avc420, "H.264 4:2:0 10-bit"},
      {kAppended, hevc8_, hevc444_, hevc420, "HEVC 4:4:4 8-bit"},
      {kAppended, hevc8_, hevc_gray_, hevc420, "HEVC 4:0:0 8-bit"},
      {kAppended, mpeg2_es_, mpeg2_422_, mpeg420, "MPEG-2 4:2:2 8-bit"},
      {kMp4, avc_, avc422_, avc420, "H.264 4:2:2 8-bit"},
      // The same profile and level on both sides.
      {kFiles, hi420, hi400, avc420, "H.264 4:0:0 8-bit"},
      {kJoined, hi420, hi400, avc420, "H.264 4:0:0 8-bit"},
      {kJoined, hi10_8, hi10, avc420, "H.264 4:2:0 10-bit"},
      {kJoined, hi10, hi10_8, "H.264 4:2:0 10-bit", avc420},
      {kJoined, hi422, hi422_10, "H.264 4:2:2 8-bit", "H.264 4:2:2 10-bit"},
      {kJoined, hi444, hi444_10, "H.264 4:4:4 8-bit", "H.264 4:4:4 10-bit"},
      {kJoined, hi420_ts, hi400_ts, avc420, "H.264 4:0:0 8-bit"},
      {kJoined, hi10_8_ts, hi10_ts, avc420, "H.264 4:2:0 10-bit"},
      {kMp4, hi420, hi400, avc420, "H.264 4:0:0 8-bit"},
      {kMuxed, hi420, hi400, avc420, "H.264 4:0:0 8-bit"},
      {kMuxedMp4, hi420, hi400, avc420, "H.264 4:0:0 8-bit"},
      {kMuxedHead, hi420, hi400, "H.264 4:0:0 8-bit", avc420},
  };
  for (const Case& c : cases) {
    const size_t k = static_cast<size_t>(&c - cases);
    SCOPED_TRACE(std::to_string(k) + ": " + c.first + " then " + c.later);
    const std::vector<uint8_t> a = tu::read_file(c.first), b = tu::read_file(c.later);
    const bool ts = c.first.size() > 3 && c.first.compare(c.first.size() - 3, 3, ".ts") == 0;
    std::vector<std::string> inputs;
    std::string named, where;
    if (c.how == kAppended) {
      // The later part begins at the first frame behind the first part's:
      // ffprobe's time of the packet after its packets.
      const std::string parts[] = {tu::scratch("first.mkv"), tu::scratch("later.mkv")};
      ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(parts[0]) + " " + tu::q(c.first)).status, 0);
      ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(parts[1]) + " " + tu::q(c.later)).status, 0);
      named = tu::scratch("appended" + std::to_string(k) + ".mkv");
      // (Status 1: mkvmerge warns that the codec private data differ.)
      ASSERT_LE(tu::run("mkvmerge -q -o " + tu::q(named) + " " + tu::q(parts[0]) + " + " + tu::q(parts[1])).status, 1);
      const std::vector<std::string> first_packets =
          tu::lines(tu::run("ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 " +
                            tu::q(parts[0])).out);
      const std::vector<std::string> pts = tu::lines(
          tu::run("ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 " + tu::q(named)).out);
      std::vector<long long> times;
      for (const std::string& t : pts) times.push_back(std::stoll(t));
      std::sort(times.begin(), times.end());
      ASSERT_GT(times.size(), first_packets.size());
      // Matroska's default time scale: milliseconds.
      where = "at time " + std::to_string(times[first_packets.size()] * 1000000) + " ns (" + named + ")";
      inputs = {named};
    } else if (c.how == kMuxed || c.how == kMuxedMp4 || c.how == kMuxedHead) {
      const std::string es = tu::scratch("joined" + std::to_string(k) + ".264");
      std::vector<uint8_t> both = a;
      both.insert(both.end(), b.begin(), b.end());
      tu::write_file(es, both);
      const std::string mkv = tu::scratch("muxed" + std::to_string(k) + ".mkv");
      ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(mkv) + " " + tu::q(es)).status, 0);
      const size_t first_pictures = tu::ffprobe_frames(c.first).size();
      named = mkv;
      if (c.how == kMuxedHead) {
        // Split at the first frame of the later part: its time, by ffprobe.
        const std::vector<std::string> pts = tu::lines(
            tu::run("ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 " + tu::q(mkv)).out);
        std::vector<long long> times;
        for (const std::string& t : pts) times.push_back(std::stoll(t));
        std::sort(times.begin(), times.end());
        ASSERT_GT(times.size(), first_pictures);
        named = tu::scratch("head" + std::to_string(k) + ".mkv");
        ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(named) + " --split parts:0ms-" +
                          std::to_string(times[first_pictures]) + "ms " + tu::q(mkv))
                      .status,
                  0);
        ASSERT_EQ(tu::ffprobe_frames(named).size(), first_pictures);
        // The first frame's time: the change the codec private names is
        // not one at a later frame.
        where = "at time 0 ns (" + named + ")";
      } else if (c.how == kMuxedMp4) {
        named = tu::scratch("muxed" + std::to_string(k) + ".mp4");
        ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(mkv) + " -c copy " + tu::q(named)));
        const std::vector<std::string> dts = tu::lines(
            tu::run("ffprobe -v error -select_streams v:0 -show_entries packet=dts -of csv=p=0 " + tu::q(named)).out);
        ASSERT_GT(dts.size(), first_pictures);
        where = "at time " + std::to_string(std::stoll(dts[first_pictures]) - std::stoll(dts[0])) + " (" + named + ")";
      } else {
        const std::vector<std::string> pts = tu::lines(
            tu::run("ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 " + tu::q(mkv)).out);
        std::vector<long long> times;
        for (const std::string& t : pts) times.push_back(std::stoll(t));
        std::sort(times.begin(), times.end());
        ASSERT_GT(times.size(), first_pictures);
        where = "at time " + std::to_string(times[first_pictures] * 1000000) + " ns (" + mkv + ")";
      }
      inputs = {named};
    } else if (c.how == kMp4) {
      // Both streams in one track (the later one's parameter sets in its
      // samples): the later part begins at the decode time, in the track's
      // time scale, of the sample after the first part's pictures.
      const std::string es = tu::scratch("joined" + std::to_string(k) + ".264");
      std::vector<uint8_t> both = a;
      both.insert(both.end(), b.begin(), b.end());
      tu::write_file(es, both);
      named = tu::scratch("joined" + std::to_string(k) + ".mp4");
      ASSERT_TRUE(tu::ffmpeg("-r 25 -i " + tu::q(es) + " -c copy " + tu::q(named)));
      const size_t first_pictures = tu::ffprobe_frames(c.first).size();
      const std::vector<std::string> dts = tu::lines(
          tu::run("ffprobe -v error -select_streams v:0 -show_entries packet=dts -of csv=p=0 " + tu::q(named)).out);
      ASSERT_GT(dts.size(), first_pictures);
      // (ffprobe shifts the times by the edit list; the tables' first decode time is 0.)
      where = "at time " + std::to_string(std::stoll(dts[first_pictures]) - std::stoll(dts[0])) + " (" + named + ")";
      inputs = {named};
    } else {
      // The start code of the later part's first sequence parameter set
      // (MPEG-2: sequence header), by a start-code scan (a transport
      // stream: a position inside its packets, not checked here).
      const std::string codec = c.from;
      auto sequence_unit = [&](uint8_t head) {
        if (codec.rfind("H.264", 0) == 0) return (head & 31) == 7;
        if (codec.rfind("HEVC", 0) == 0) return ((head >> 1) & 63) == 33;
        return head == 0xB3;
      };
      size_t at = 0;
      while (at + 4 < b.size() && !(b[at] == 0 && b[at + 1] == 0 && b[at + 2] == 1 && sequence_unit(b[at + 3])))
        ++at;
      ASSERT_LT(at + 4, b.size());
      if (c.how == kJoined) {
        named = tu::scratch("joined" + std::to_string(k) + (ts ? ".ts" : ".es"));
        std::vector<uint8_t> both = a;
        both.insert(both.end(), b.begin(), b.end());
        tu::write_file(named, both);
        inputs = {named};
        where = ts ? "at position " : "at position " + std::to_string(a.size() + at) + " (" + named + ", byte " +
                                          std::to_string(a.size() + at) + ")";
      } else {
        named = c.later;
        inputs = {c.first, c.later};
        where = ts ? "at position " : "at position " + std::to_string(a.size() + at) + " (" + named + ", byte " +
                                          std::to_string(at) + ")";
      }
    }
    const std::string kwi = tu::scratch("format.kwi");
    const tu::RunResult r = index_files(inputs, kwi);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(std::string("ERROR: the video format changes from ") + c.from + " to " + c.to + " " + where),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("; an index holds one format.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(named), std::string::npos) << r.out;
    EXPECT_FALSE(tu::exists(kwi)) << "no index is left behind";
  }
}

// A later file of another codec is refused with its reason alone, in either
// order: none of its bytes reaches the first file's codec analysis, whose
// messages about units it cannot follow would come first.
TEST_F(Inputs, AnotherCodecIsRefusedWithTheReasonAlone) {
  struct Case {
    std::string first, later;
    const char *held, *detected;
  };
  const Case cases[] = {
      {ts_, mpeg2_ts_, "MPEG-2", "AVC"},
      {mpeg2_ts_, ts_, "AVC", "MPEG-2"},
      {avc_, mpeg2_es_, "MPEG-2", "AVC"},
      {mpeg2_es_, avc_, "AVC", "MPEG-2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first + " " + c.later);
    const std::string kwi = tu::scratch("codecs.kwi");
    tu::RunResult r = index_files({c.first, c.later}, kwi);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR: " + c.later + " holds " + c.held + " video; the input's codec was detected as " +
                         c.detected + ".\n");
    EXPECT_FALSE(tu::exists(kwi));
  }

  // One transport stream whose program table moves the video to a new PID
  // of another codec (a part muxed with other PIDs and a new table version,
  // joined end to end), and the same parts as two files: refused by name,
  // where the index would hold the first part alone.
  const std::string src = "-f lavfi -i testsrc=size=160x120:rate=25 -t 1 -pix_fmt yuv420p -g 12 ";
  const std::string moved = "-mpegts_start_pid 0x200 -tables_version 1 -f mpegts ";
  const std::string moved_mpeg2 = tu::scratch("moved_mpeg2.ts"), moved_avc = tu::scratch("moved_avc.ts");
  ASSERT_TRUE(tu::ffmpeg(src + "-c:v mpeg2video " + moved + tu::q(moved_mpeg2)));
  ASSERT_TRUE(tu::ffmpeg(src + "-c:v libx264 " + moved + tu::q(moved_avc)));
  const Case moves[] = {
      {ts_, moved_mpeg2, "MPEG-2", "AVC"},
      {mpeg2_ts_, moved_avc, "AVC", "MPEG-2"},
  };
  for (const Case& c : moves) {
    SCOPED_TRACE(c.first + " then " + c.later);
    const std::string joined = tu::scratch("moved.ts");
    std::vector<uint8_t> both = tu::read_file(c.first);
    const std::vector<uint8_t> b = tu::read_file(c.later);
    both.insert(both.end(), b.begin(), b.end());
    tu::write_file(joined, both);
    // ffprobe sees both video streams, the later one on PID 0x200.
    const std::string streams =
        tu::run("ffprobe -v error -show_entries stream=codec_name,id -of csv=p=0 " + tu::q(joined)).out;
    EXPECT_NE(streams.find("h264"), std::string::npos) << streams;
    EXPECT_NE(streams.find("mpeg2video"), std::string::npos) << streams;
    EXPECT_NE(streams.find("0x200"), std::string::npos) << streams;
    for (const std::vector<std::string>& files : {std::vector<std::string>{joined}, {c.first, c.later}}) {
      const std::string kwi = tu::scratch("moved.kwi");
      tu::RunResult r = index_files(files, kwi);
      EXPECT_EQ(r.status, 1) << r.out;
      const std::string want =
          "ERROR: " + files.back() + " holds " + c.held + " video; the input's codec was detected as " + c.detected;
      EXPECT_NE(r.out.find(want + ".\n"), std::string::npos) << r.out;
      EXPECT_FALSE(tu::exists(kwi));
    }
  }
  // A new table version that keeps the video PID is one recording: every
  // picture is indexed (ffprobe's count). A table whose CRC does not hold
  // moves nothing: the stream is read as before, without the later part.
  const std::string kept_avc = tu::scratch("kept_avc.ts");
  ASSERT_TRUE(tu::ffmpeg(src + "-c:v libx264 -tables_version 1 -f mpegts " + tu::q(kept_avc)));
  std::vector<uint8_t> kept = tu::read_file(ts_);
  const std::vector<uint8_t> later = tu::read_file(kept_avc);
  kept.insert(kept.end(), later.begin(), later.end());
  const std::string kept_ts = tu::scratch("kept.ts");
  tu::write_file(kept_ts, kept);
  tu::RunResult r;
  std::vector<std::string> lines = tu::index_lines(kept_ts, tu::scratch("kept.kwi"), &r);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tu::kwi_pictures(lines).size(), tu::ffprobe_frames(kept_ts).size());
  std::vector<uint8_t> damaged = tu::read_file(ts_);
  const size_t first_part = damaged.size();
  const std::vector<uint8_t> moved_part = tu::read_file(moved_mpeg2);
  damaged.insert(damaged.end(), moved_part.begin(), moved_part.end());
  int tables = 0;
  for (size_t at = first_part; at + 188 <= damaged.size(); at += 188) {
    const unsigned pid = ((damaged[at + 1] & 0x1F) << 8) | damaged[at + 2];
    if (pid != 0x1000 || !(damaged[at + 1] & 0x40)) continue;  // ffmpeg's PMT PID, a section's start
    const size_t section = at + 5 + damaged[at + 4];
    const size_t length = ((damaged[section + 1] & 0x0F) << 8) | damaged[section + 2];
    ASSERT_LE(section + 3 + length, at + 188) << "a table in one packet";
    damaged[section + 3 + length - 1] ^= 0xFF;  // the CRC's last byte
    ++tables;
  }
  ASSERT_GT(tables, 0);
  const std::string damaged_ts = tu::scratch("moved_bad_crc.ts");
  tu::write_file(damaged_ts, damaged);
  lines = tu::index_lines(damaged_ts, tu::scratch("bad_crc.kwi"), &r);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tu::kwi_pictures(lines).size(), tu::ffprobe_frames(ts_).size());
}

// The program table that moves the video, written packet by packet: a
// section over two packets is read whole; one that lost its second packet,
// or whose length runs past its bytes, moves nothing.
TEST_F(Inputs, ProgramTableOverTwoPacketsMovesTheVideo) {
  const std::vector<uint8_t> es = tu::read_file(avc_);
  // Four registration descriptors of 48 bytes: the section (226 bytes)
  // runs over two packets.
  std::vector<uint8_t> descriptors;
  for (int i = 0; i < 4; i++) {
    descriptors.insert(descriptors.end(), {0x05, 46});
    descriptors.resize(descriptors.size() + 46, 0x41);
  }
  const std::vector<uint8_t> moved = tst::pmt(1, 0x200, {{0x02, 0x200, descriptors}});
  ASSERT_GT(moved.size(), 184u);
  enum Form { kWhole, kSecondPacketLost, kLengthPastTheSection };
  for (Form form : {kWhole, kSecondPacketLost, kLengthPastTheSection}) {
    SCOPED_TRACE(form);
    tst::Writer w;
    tst::write_split(w, es);
    std::vector<uint8_t> table = moved;
    if (form == kLengthPastTheSection) table[2] = 0xFF;  // section_length 0x3FF, more than is written
    tst::Writer t;
    t.psi(0x1000, table);
    const size_t packets = t.bytes.size() / 188;
    ASSERT_EQ(packets, 2u);
    w.bytes.insert(w.bytes.end(), t.bytes.begin(), t.bytes.begin() + 188);
    if (form != kSecondPacketLost) w.bytes.insert(w.bytes.end(), t.bytes.begin() + 188, t.bytes.end());
    // The next table begins: a section still open ends here.
    w.psi(0x1000, moved);
    w.bytes.resize(w.bytes.size() - 188);  // its first packet alone
    for (int i = 0; i < 3; i++) w.null_packet();
    const std::string ts = tu::scratch("table" + std::to_string(form) + ".ts");
    tu::write_file(ts, w.bytes);
    const std::string kwi = tu::scratch("table.kwi");
    const tu::RunResult r = index_files({ts}, kwi);
    if (form == kWhole) {
      EXPECT_EQ(r.status, 1) << r.out;
      EXPECT_NE(r.out.find("ERROR: " + ts + " holds MPEG-2 video; the input's codec was detected as AVC.\n"),
                std::string::npos)
          << r.out;
      EXPECT_FALSE(tu::exists(kwi));
    } else {
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(r.out.find("holds MPEG-2 video"), std::string::npos) << r.out;
      EXPECT_TRUE(tu::exists(kwi));
    }
  }
}

// Cuts anywhere: a first piece of one byte, pieces of a few bytes, cuts in
// packet headers and wherever the sizes fall.
TEST_F(Inputs, RecordingCutAnywhereIndexesAsTheWhole) {
  for (const std::string& whole : {ts_, m2ts_, vob_, hevc8_, avc_}) {
    const std::vector<uint8_t> bytes = tu::read_file(whole);
    const size_t n = bytes.size();
    ASSERT_GT(n, 4000u) << whole;
    tu::RunResult r;
    const std::vector<std::string> want = body(tu::index_lines(whole, tu::scratch("whole.kwi"), &r));
    ASSERT_EQ(r.status, 0) << whole << ": " << r.out;
    const std::vector<std::vector<size_t>> cut_sets = {
        {1, n / 3}, {64, 65, 70, n / 2 + 7}, {189, 190, n / 4, n / 2, 3 * n / 4}, {1000, 1001, n - 5},
        {3, 400, 750, 1500}};
    for (const std::vector<size_t>& cuts : cut_sets) {
      std::vector<std::string> pieces;
      size_t from = 0;
      for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : n;
        pieces.push_back(tu::scratch("piece" + std::to_string(i)));
        tu::write_file(pieces.back(), std::vector<uint8_t>(bytes.begin() + long(from), bytes.begin() + long(to)));
        from = to;
      }
      const std::string kwi = tu::scratch("pieces.kwi");
      r = index_files(pieces, kwi);
      EXPECT_EQ(r.status, 0) << whole << " cut at " << cuts[0] << ": " << r.out;
      EXPECT_EQ(body(tu::kwi_lines(kwi)), want) << whole << " cut at " << cuts[0] << ", " << cuts[1];
    }
  }
}

// A Matroska or MP4 file cut short (the MP4 file with its tables in front
// and at the end, the Matroska file with and without cues) is damaged input:
// the run fails and leaves no index that would pass for the whole.
TEST_F(Inputs, CutShortMatroskaAndMp4FilesAreRefused) {
  // The samples the tables list: ffprobe's count of the whole file's packets.
  const std::string samples = tu::lines(tu::run("ffprobe -v error -count_packets -select_streams v:0 -show_entries "
                                                "stream=nb_read_packets -of csv=p=0 " + tu::q(mp4_front_)).out)[0];
  ASSERT_EQ(samples, "25");
  const struct {
    std::string whole;
    std::string message;  // what the output says
    std::string detail;   // what it also says; SIZE and CUT stand for the file's and the piece's sizes
  } cases[] = {
      {mkv_, "ERROR: the Matroska file is cut short (", "the file holds CUT of the SIZE bytes its Segment claims."},
      {mkv_nocues_, "ERROR: the Matroska file is cut short (",
       "the file holds CUT of the SIZE bytes its Segment claims."},
      {mp4_front_, "ERROR: the MP4 file is cut short or damaged: sample ", " of the " + samples + " its tables list "},
      // The tables at the end are lost with it.
      {mp4_, "Could not parse the MP4 file.\n", ""},
  };
  for (const auto& c : cases) {
    const size_t n = tu::read_file(c.whole).size();
    for (size_t cut : {n / 3, 2 * n / 3}) {
      const std::string what = c.whole + " cut at " + std::to_string(cut);
      const std::string kwi = tu::scratch("cut.kwi");
      const tu::RunResult r = index_files({piece(c.whole, 0, cut, "cut")}, kwi);
      EXPECT_EQ(r.status, 1) << what << ": " << r.out;
      EXPECT_FALSE(tu::exists(kwi)) << what;
      EXPECT_NE(r.out.find(c.message), std::string::npos) << what << ": " << r.out;
      const std::string detail = timed::Replace(timed::Replace(c.detail, "SIZE", std::to_string(n)), "CUT", std::to_string(cut));
      EXPECT_NE(r.out.find(detail), std::string::npos) << what << ": " << r.out;
    }
  }
  // Zeros over the last third, the length kept: the reader fails for good there.
  std::vector<uint8_t> bytes = tu::read_file(mkv_nocues_);
  std::fill(bytes.begin() + long(2 * bytes.size() / 3), bytes.end(), 0);
  const std::string zeros = tu::scratch("zeros.mkv"), kwi = tu::scratch("zeros.kwi");
  tu::write_file(zeros, bytes);
  const tu::RunResult r = index_files({zeros}, kwi);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("ERROR: the Matroska file is damaged ("), std::string::npos) << r.out;
  EXPECT_FALSE(tu::exists(kwi));
}

// Several input files are refused when the first or a later one is a
// Matroska or MP4 file, before any index is written: pieces of one cut file
// too.
TEST_F(Inputs, OneMatroskaOrMp4FilePerRun) {
  const size_t k = tu::read_file(mkv_).size(), m = tu::read_file(mp4_front_).size();
  const std::vector<std::string> mkv_pieces = {piece(mkv_, 0, k / 3, "mkv0"), piece(mkv_, k / 3, 2 * k / 3, "mkv1"),
                                               piece(mkv_, 2 * k / 3, k, "mkv2")};
  const std::vector<std::string> mp4_pieces = {piece(mp4_front_, 0, m / 2, "mp4_0"), piece(mp4_front_, m / 2, m, "mp4_1")};
  const struct {
    std::vector<std::string> files;
    std::string refused;
  } cases[] = {
      {mkv_pieces, mkv_pieces[0]}, {mp4_pieces, mp4_pieces[0]}, {{mkv_, mkv_}, mkv_}, {{mkv_, avc_}, mkv_},
      {{mp4_, ts_}, mp4_},         {{ts_, mkv_}, mkv_},         {{avc_, mp4_}, mp4_}, {{vob_, avc_, mkv_}, mkv_},
  };
  for (const auto& c : cases) {
    const std::string kwi = tu::scratch("several.kwi");
    const tu::RunResult r = index_files(c.files, kwi);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("ERROR: " + c.refused + " is "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; one Matroska or MP4 file is read per run, alone (the pieces of a cut Matroska or MP4 "
                         "file cannot be joined).\n"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(tu::exists(kwi));
  }
}
