// VC-1 in program and transport streams (written here from the test-side
// writer's elementary stream), and the real VC-1 samples against ffprobe.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "testutil.h"
#include "timed_inputs.h"
#include "vc1_writer.h"

namespace {

using vc1w::pic;
using vc1w::Picture;
using vc1w::Sequence;

std::vector<std::string> starting(const std::vector<std::string>& lines, const std::string& word) {
  return tu::kwi_with(lines, word);
}

// An interlaced telecined stream with frame and field pictures, larger
// pictures (so that units span several packets) and three groups.
struct Sample {
  vc1w::Stream st;
  std::vector<std::string> frm;  // expected picture lines without their index
  int coded = 0;
};

Sample make_sample() {
  Sample s;
  Sequence q;
  q.interlace = true;
  q.pulldown = true;
  q.display_ext = true;
  q.disp_width = 720;
  q.disp_height = 480;
  q.rate_nr = 3;
  q.rate_dr = 2;
  s.st.filler = 700;
  for (int g = 0; g < 3; g++) {
    s.st.sequence(q);
    s.st.entry(g == 1, g != 1);
    // coding I P B B P(field pair) B: display I B B P B P
    s.st.picture(pic(vc1w::I, 2, vc1w::FrameInterlaced));
    s.st.picture(pic(vc1w::P, 1));
    s.st.picture(pic(vc1w::B, 3));
    s.st.picture(pic(vc1w::B, 0));
    s.st.picture(pic(vc1w::PP, 0, vc1w::FieldInterlaced));
    s.st.picture(pic(vc1w::B, 2));
    s.frm.insert(s.frm.end(), {"FRM 0 1 2", "FRM 3 0 3", "FRM 3 0 0", "FRM 1 0 1", "FRM 3 0 2", "FRM 3 2 0"});
    s.coded += 6;
  }
  return s;
}

void check_sample(const Sample& s, const std::vector<std::string>& lines, const std::vector<uint64_t>& map) {
  std::vector<std::string> seq, entry;
  const char* flags[3] = {" 0 64", " 128 0", " 0 64"};
  int g = 0;
  for (uint64_t p : s.st.positions(0x0F)) seq.push_back("SEQ " + std::to_string(map[p]) + " 1 1 0");
  for (uint64_t p : s.st.positions(0x0E)) entry.push_back("ENTRY " + std::to_string(map[p]) + flags[g++]);
  EXPECT_EQ(starting(lines, "SEQ "), seq);
  EXPECT_EQ(starting(lines, "ENTRY "), entry);
  EXPECT_EQ(tu::kwi_pictures(lines), s.frm);
  EXPECT_EQ(starting(lines, "CODED"), std::vector<std::string>{"CODED " + std::to_string(s.coded)});
  EXPECT_EQ(starting(lines, "FPS"), std::vector<std::string>{"FPS 30000 / 1001"});
  EXPECT_EQ(starting(lines, "SIZE"), std::vector<std::string>{"SIZE 720 x 480 "});
  EXPECT_EQ(lines.back(), "ORDER 1");
}

TEST(Vc1Containers, ElementaryStream) {
  Sample s = make_sample();
  const std::string in = tu::scratch("s.vc1");
  tu::write_file(in, s.st.es);
  tu::RunResult r;
  auto lines = tu::index_lines(in, tu::scratch("s.kwi"), &r);
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<uint64_t> identity(s.st.es.size());
  for (size_t i = 0; i < identity.size(); i++) identity[i] = i;
  check_sample(s, lines, identity);
  EXPECT_EQ(starting(lines, "STREAM"), std::vector<std::string>{"STREAM 0 0"});
}

TEST(Vc1Containers, ProgramStream) {
  Sample s = make_sample();
  std::vector<uint64_t> map;
  const std::string in = tu::scratch("s.mpg");
  tu::write_file(in, vc1w::wrap_ps(s.st, &map));
  tu::RunResult r;
  auto lines = tu::index_lines(in, tu::scratch("s.kwi"), &r);
  ASSERT_EQ(r.status, 0) << r.out;
  check_sample(s, lines, map);
  EXPECT_EQ(starting(lines, "STREAM"), std::vector<std::string>{"STREAM 3 6"});
}

TEST(Vc1Containers, TransportStream188And192) {
  for (int size : {188, 192}) {
    SCOPED_TRACE(size);
    Sample s = make_sample();
    std::vector<uint64_t> map;
    const std::string in = tu::scratch("s" + std::to_string(size) + ".ts");
    tu::write_file(in, vc1w::wrap_ts(s.st, size, &map));
    tu::RunResult r;
    auto lines = tu::index_lines(in, tu::scratch("s" + std::to_string(size) + ".kwi"), &r);
    ASSERT_EQ(r.status, 0) << r.out;
    check_sample(s, lines, map);
    EXPECT_EQ(starting(lines, "STREAM"), std::vector<std::string>{"STREAM 1 0"});
    EXPECT_EQ(starting(lines, "PKTSIZ"), std::vector<std::string>{"PKTSIZ " + std::to_string(size)});
    EXPECT_EQ(starting(lines, "VPID"), std::vector<std::string>{"VPID " + std::to_string(vc1w::kVideoPid)});
  }
}

// Matroska and MP4 hold a frame per block or sample, a field pair's second
// field inside its frame. Frames are read only as far as their first bytes
// where nothing later in them counts: never the field pair.
TEST(Vc1Containers, MatroskaAndMp4) {
  Sample s = make_sample();
  const std::string es = tu::scratch("s.vc1");
  tu::write_file(es, s.st.es);
  const std::pair<const char*, const char*> forms[] = {
      {"mm.mkv", "mkvmerge -q -o OUT ES"}, {"ff.mkv", "ffmpeg -v error -y -i ES -c copy OUT"},
      {"ff.mp4", "ffmpeg -v error -y -i ES -c copy OUT"}};
  for (const auto& [name, make] : forms) {
    SCOPED_TRACE(name);
    const std::string out = tu::scratch(name);
    const std::string cmd = timed::Replace(timed::Replace(make, "OUT", tu::q(out)), "ES", tu::q(es));
    ASSERT_EQ(tu::run(cmd + " 2>&1").status, 0) << cmd;
    tu::RunResult r;
    auto lines = tu::index_lines(out, out + ".kwi", &r);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(tu::kwi_pictures(lines), s.frm);
    EXPECT_EQ(starting(lines, "CODED"), std::vector<std::string>{"CODED " + std::to_string(s.coded)});
    EXPECT_EQ(starting(lines, "SEQ ").size(), 3u);
  }
}

// ---------------------------------------------------------------- real samples
const std::string kSamples = std::string(SHARED_TESTDATA) + "/vc1/";

// Picture lines as ffprobe's letters with TFF and RFF: skipped frames are P
// pictures to a decoder, BI pictures B pictures.
std::vector<std::string> our_frames(const std::vector<std::string>& lines) {
  std::vector<std::string> v;
  for (const std::string& p : tu::kwi_pictures(lines)) {
    int type = -1, mode = -1, repeat = -1;
    if (sscanf(p.c_str(), "FRM %d %d %d", &type, &mode, &repeat) != 3) {
      v.push_back("bad line " + p);
      continue;
    }
    const char* letter = type == 0 ? "I" : (type == 3 || type == 4) ? "B" : "P";
    v.push_back(std::string(letter) + " " + std::to_string((repeat >> 1) & 1) + " " + std::to_string(repeat & 1));
  }
  return v;
}

std::vector<std::string> ffprobe_view(const std::string& path) {
  std::vector<std::string> v;
  for (auto& f : tu::ffprobe_frames(path))
    v.push_back(f["pict_type"] + " " + f["top_field_first"] + " " + f["repeat_pict"]);
  return v;
}

// Key-frame packet positions that ffprobe reports.
std::vector<uint64_t> key_packets(const std::string& path) {
  tu::RunResult r = tu::run("ffprobe -v error -select_streams v:0 -show_packets -show_entries packet=pos,flags -of csv=p=0 " +
                            tu::q(path));
  std::vector<uint64_t> v;
  for (const std::string& l : tu::lines(r.out)) {
    size_t c = l.find(',');
    if (c != std::string::npos && l.compare(c + 1, 1, "K") == 0) v.push_back(std::stoull(l.substr(0, c)));
  }
  return v;
}

std::vector<uint64_t> seq_positions(const std::vector<std::string>& lines) {
  std::vector<uint64_t> v;
  for (const std::string& l : starting(lines, "SEQ ")) v.push_back(std::stoull(l.substr(4)));
  return v;
}

TEST(Vc1RealSamples, ElementaryStreamMatchesFfprobe) {
  const std::string in = kSamples + "vc1_ap_1080_pulldown.vc1";
  if (!tu::exists(in)) GTEST_SKIP() << "no " << in << " (shared test data)";
  tu::RunResult r;
  auto lines = tu::index_lines(in, tu::scratch("real.kwi"), &r);
  ASSERT_EQ(r.status, 0) << r.out;
  auto ff = ffprobe_view(in);
  ASSERT_EQ(ff.size(), 85u);
  EXPECT_EQ(our_frames(lines), ff);
  // Groups open at the sequence headers in front of the key frames.
  EXPECT_EQ(seq_positions(lines), key_packets(in));
  // Every sequence header is followed by an entry point: 25 bytes further.
  auto seq = seq_positions(lines);
  auto entries = starting(lines, "ENTRY ");
  ASSERT_EQ(entries.size(), seq.size());
  for (size_t i = 0; i < seq.size(); i++) EXPECT_EQ(entries[i], "ENTRY " + std::to_string(seq[i] + 25) + " 0 64");
  EXPECT_EQ(starting(lines, "SIZE"), std::vector<std::string>{"SIZE 1920 x 1080 "});
  EXPECT_EQ(starting(lines, "CODED"), std::vector<std::string>{"CODED 85"});
  int rff = 0;
  for (auto& f : ff) rff += f.back() == '1';
  EXPECT_EQ(starting(lines, "PLAYBACK"), std::vector<std::string>{"PLAYBACK " + std::to_string(85 + rff / 2)});
}

TEST(Vc1RealSamples, M2tsMatchesFfprobe) {
  const std::string in = kSamples + "vc1_ap_1080_pulldown.m2ts";
  if (!tu::exists(in)) GTEST_SKIP() << "no " << in << " (shared test data)";
  tu::RunResult r;
  auto lines = tu::index_lines(in, tu::scratch("real.kwi"), &r);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(starting(lines, "PKTSIZ"), std::vector<std::string>{"PKTSIZ 192"});
  auto ff = ffprobe_view(in);
  ASSERT_EQ(ff.size(), 85u);
  EXPECT_EQ(our_frames(lines), ff);
  // Each group's sequence header lies in the packet ffprobe names as a key frame.
  auto seq = seq_positions(lines);
  auto keys = key_packets(in);
  ASSERT_EQ(seq.size(), keys.size());
  for (size_t i = 0; i < seq.size(); i++) {
    EXPECT_GE(seq[i], keys[i]);
    EXPECT_LT(seq[i], keys[i] + 192);
  }
}

}  // namespace
