// AVC indexing end to end: streams made with x264 (and ffmpeg's libx264) at
// test time, as elementary streams and in program streams, indexed by the real
// ostrel and compared with independent references: ffprobe -show_frames
// (picture count, types in display order, interlacing, field order,
// repeat_pict), ffprobe -show_streams (size, sample aspect ratio), a
// start-code scan of the input (every SPS/PPS/IDR/I/RPS position is a unit of
// that kind), and the rate that the test asked the encoder for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

// ------------------------------------------------------------------ independent H.264 views of the input

std::vector<uint8_t> unescape(const std::vector<uint8_t>& es, size_t from, size_t max) {
  std::vector<uint8_t> out;
  int zeros = 0;
  for (size_t i = from; i < es.size() && out.size() < max; i++) {
    if (zeros >= 2 && es[i] == 3) {
      zeros = 0;
      continue;
    }
    if (zeros >= 2 && es[i] == 1) break;  // next start code
    out.push_back(es[i]);
    zeros = es[i] == 0 ? zeros + 1 : 0;
  }
  return out;
}

struct Bits {
  const std::vector<uint8_t>& b;
  size_t pos = 0;
  int bit() {
    if (pos / 8 >= b.size()) return 0;
    int v = (b[pos / 8] >> (7 - pos % 8)) & 1;
    pos++;
    return v;
  }
  unsigned ue() {
    int z = 0;
    while (!bit() && z < 32) z++;
    unsigned v = 0;
    for (int i = 0; i < z; i++) v = (v << 1) | bit();
    return (1u << z) - 1 + v;
  }
};

// One NAL unit found by the scan: position of its 00 00 01, type, and for
// slices first_mb_in_slice and slice_type; for SEI whether a recovery point
// message is among its messages.
struct Nal {
  uint64_t pos;         // file offset of the first byte of its 00 00 01
  uint64_t pos_before;  // file offset of the video byte before it (the first unit may begin there)
  int type;
  unsigned first_mb = 0, slice_type = 0;
  bool recovery_point = false;
};

// The video bytes of the input with the file offset of each. An elementary
// stream is all video; a program stream is walked pack by pack here, so that
// a start code split by a pack header is still found at its first byte.
struct Video {
  std::vector<uint8_t> bytes;
  std::vector<uint64_t> offset;
};

Video video_of(const std::vector<uint8_t>& f, bool program_stream) {
  Video v;
  if (!program_stream) {
    v.bytes = f;
    for (size_t i = 0; i < f.size(); i++) v.offset.push_back(i);
    return v;
  }
  size_t i = 0;
  while (i + 4 <= f.size()) {
    if (f[i] != 0 || f[i + 1] != 0 || f[i + 2] != 1) {
      i++;
      continue;
    }
    const uint8_t id = f[i + 3];
    if (id == 0xBA) {  // MPEG-2 pack header: 14 bytes and its stuffing
      if (i + 14 > f.size()) break;
      i += 14 + (f[i + 13] & 7);
    } else if (id == 0xB9) {
      i += 4;
    } else if (id >= 0xBB) {  // system header and PES packets: a 16-bit length
      if (i + 6 > f.size()) break;
      const size_t len = (f[i + 4] << 8) | f[i + 5];
      const size_t end = std::min(f.size(), i + 6 + len);
      if (id >= 0xE0 && id <= 0xEF && i + 9 <= end) {
        const size_t payload = i + 9 + f[i + 8];
        for (size_t k = payload; k < end; k++) {
          v.bytes.push_back(f[k]);
          v.offset.push_back(k);
        }
      }
      i = end;
    } else {
      i++;
    }
  }
  return v;
}

std::vector<Nal> scan_nals(const Video& video) {
  const std::vector<uint8_t>& es = video.bytes;
  std::vector<Nal> v;
  for (const tu::ScanUnit& u : tu::scan_start_codes(es)) {
    Nal n{video.offset[u.pos], u.pos > 0 ? video.offset[u.pos - 1] : video.offset[u.pos], u.code & 31};
    std::vector<uint8_t> rbsp = unescape(es, u.pos + 4, 4096);
    if (n.type == 1 || n.type == 5) {
      Bits b{rbsp};
      n.first_mb = b.ue();
      n.slice_type = b.ue();
    } else if (n.type == 6) {
      size_t i = 0;
      while (i < rbsp.size() && rbsp[i] != 0x80) {
        unsigned t = 0, s = 0;
        while (i < rbsp.size() && rbsp[i] == 0xFF) t += rbsp[i++];
        if (i < rbsp.size()) t += rbsp[i++];
        while (i < rbsp.size() && rbsp[i] == 0xFF) s += rbsp[i++];
        if (i < rbsp.size()) s += rbsp[i++];
        if (t == 6) n.recovery_point = true;
        i += s;
      }
    }
    v.push_back(n);
  }
  return v;
}

// ------------------------------------------------------------------ making inputs

std::string y4m(const std::string& name, const std::string& rate, int frames, const std::string& size = "320x240") {
  std::string f = tu::scratch(name);
  tu::ffmpeg("-f lavfi -i testsrc=size=" + size + ":rate=" + rate + " -frames:v " + std::to_string(frames) +
             " -pix_fmt yuv420p -f yuv4mpegpipe " + tu::q(f));
  return f;
}

std::string x264(const std::string& in, const std::string& name, const std::string& args) {
  std::string f = tu::scratch(name);
  tu::RunResult r = tu::run("x264 --quiet " + args + " -o " + tu::q(f) + " " + tu::q(in));
  EXPECT_EQ(r.status, 0) << r.out;
  return f;
}

std::string to_vob(const std::string& es) {
  std::string f = es + ".vob";
  tu::ffmpeg("-i " + tu::q(es) + " -c copy -f vob " + tu::q(f));
  return f;
}

struct Indexed {
  int status;
  std::string out;
  std::string text;
  std::vector<std::string> lines;
};

Indexed index_file(const std::string& in) {
  std::string out = in + ".kwi";
  std::remove(out.c_str());
  tu::RunResult r = tu::ostrel("-i " + tu::q(in) + " -o " + tu::q(out));
  std::string text = tu::read_text(out);
  return {r.status, r.out, text, tu::lines(text)};
}

struct Frm {
  int slice_type, poc, pic_struct;
};

// FRM lines per group, in file order.
std::vector<std::vector<Frm>> groups_of(const std::vector<std::string>& lines) {
  std::vector<std::vector<Frm>> g;
  for (const std::string& l : lines) {
    if (l.rfind("IDR ", 0) == 0 || l.rfind("I ", 0) == 0) g.emplace_back();
    size_t c = l.find(":FRM ");
    if (c != std::string::npos && !g.empty()) {
      Frm f{};
      sscanf(l.c_str() + c + 5, "%d %d %d", &f.slice_type, &f.poc, &f.pic_struct);
      g.back().push_back(f);
    }
  }
  return g;
}

std::vector<uint64_t> positions(const std::vector<std::string>& lines, const std::string& keyword) {
  std::vector<uint64_t> v;
  for (const std::string& l : tu::kwi_with(lines, keyword + " ")) v.push_back(strtoull(l.c_str() + keyword.size() + 1, nullptr, 10));
  return v;
}

char type_letter(int slice_type) {
  static const char letters[] = {'P', 'B', 'I', 'p', 'i'};  // SP and SI as lower case
  return letters[slice_type % 5];
}

int probe_int(const std::map<std::string, std::string>& m, const std::string& k) {
  auto it = m.find(k);
  return it == m.end() ? -1 : atoi(it->second.c_str());
}

// ------------------------------------------------------------------ the comparison

struct Expect {
  std::string fps;      // what the encoder was asked for, snapped
};

// The unit found at a position of the index: the scan reports the 00 00 01;
// the index's first unit may also begin at the zero byte before it.
const Nal* unit_at(const std::vector<Nal>& nals, uint64_t pos) {
  for (const Nal& n : nals)
    if (n.pos == pos || (n.pos_before == pos && &n == &nals.front())) return &n;
  return nullptr;
}

void expect_matches_reference(const std::string& input, const Indexed& r, const Expect& e, bool program_stream) {
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_FALSE(r.lines.empty());
  auto frames = tu::ffprobe_frames(input);
  auto stream = tu::ffprobe_stream(input);
  ASSERT_FALSE(frames.empty());

  // Pictures: one FRM line per frame, types in display order.
  auto groups = groups_of(r.lines);
  std::vector<Frm> frm;
  for (const auto& g : groups) frm.insert(frm.end(), g.begin(), g.end());
  ASSERT_EQ(frm.size(), frames.size());
  std::string ours, theirs;
  for (const Frm& f : frm) ours += type_letter(f.slice_type);
  for (const auto& f : frames) theirs += f.at("pict_type");
  EXPECT_EQ(ours, theirs);

  // Within each group the counts rise: display order.
  for (const auto& g : groups)
    for (size_t i = 1; i < g.size(); i++) EXPECT_LT(g[i - 1].poc, g[i].poc);

  // Field structure and repeats against ffprobe, picture by picture.
  int repeat_sum = 0;
  for (size_t i = 0; i < frm.size(); i++) {
    SCOPED_TRACE("picture " + std::to_string(i));
    const int rp = probe_int(frames[i], "repeat_pict");
    repeat_sum += rp;
    const int ps = frm[i].pic_struct;
    // ffprobe counts repeated fields: one for 5 and 6, two for 7, four for 8
    const int want_rp = ps == 5 || ps == 6 ? 1 : ps == 7 ? 2 : ps == 8 ? 4 : 0;
    EXPECT_EQ(rp, want_rp);
    if (ps == 3 || ps == 5) {
      EXPECT_EQ(probe_int(frames[i], "top_field_first"), 1);
    }
    if (ps == 4 || ps == 6) {
      EXPECT_EQ(probe_int(frames[i], "top_field_first"), 0);
    }
  }
  EXPECT_EQ(tu::kwi_value(r.lines, "CODED"), std::to_string(frames.size()));
  EXPECT_EQ(tu::kwi_value(r.lines, "PLAYBACK"), std::to_string(frames.size() + repeat_sum / 2));

  // Field order: the first picture's (interlaced or pulldown), else progressive.
  int order = 0;
  if (probe_int(frames[0], "interlaced_frame") == 1 || probe_int(frames[0], "repeat_pict") > 0)
    order = probe_int(frames[0], "top_field_first") == 1 ? 1 : 2;
  EXPECT_EQ(tu::kwi_value(r.lines, "ORDER"), std::to_string(order));

  // Size, aspect, rate.
  EXPECT_EQ(tu::kwi_value(r.lines, "SIZE"), stream["width"] + " x " + stream["height"] + " ");
  std::string sar = stream["sample_aspect_ratio"];
  std::replace(sar.begin(), sar.end(), ':', ' ');
  if (sar == "0 1" || sar.empty()) sar = "0 0";
  EXPECT_EQ(tu::kwi_value(r.lines, "ASPECT"), sar);
  EXPECT_EQ(tu::kwi_value(r.lines, "FPS"), e.fps);

  // Positions against a start-code scan of the input file itself.
  auto nals = scan_nals(video_of(tu::read_file(input), program_stream));
  for (uint64_t p : positions(r.lines, "SPS")) {
    const Nal* n = unit_at(nals, p);
    ASSERT_NE(n, nullptr) << "SPS " << p;
    EXPECT_EQ(n->type, 7) << "SPS " << p;
  }
  for (uint64_t p : positions(r.lines, "PPS")) {
    const Nal* n = unit_at(nals, p);
    ASSERT_NE(n, nullptr) << "PPS " << p;
    EXPECT_EQ(n->type, 8) << "PPS " << p;
  }
  for (uint64_t p : positions(r.lines, "RPS")) {
    const Nal* n = unit_at(nals, p);
    ASSERT_NE(n, nullptr) << "RPS " << p;
    EXPECT_EQ(n->type, 6) << "RPS " << p;
    EXPECT_TRUE(n->recovery_point) << "RPS " << p;
  }
  // Every first slice of an IDR or I picture opens a group, and nothing else.
  std::vector<uint64_t> idr, ipic;
  for (const Nal& n : nals) {
    if (n.first_mb != 0) continue;
    if (n.type == 5) idr.push_back(n.pos);
    if (n.type == 1 && n.slice_type % 5 == 2) ipic.push_back(n.pos);
  }
  auto near = [&](std::vector<uint64_t> got, const std::vector<uint64_t>& want) {
    // the first unit may be reported at the zero byte before it (4-byte start code)
    for (size_t i = 0; i < got.size() && i < want.size(); i++)
      if (want[i] == nals.front().pos && got[i] == nals.front().pos_before) got[i] = want[i];
    return got;
  };
  EXPECT_EQ(near(positions(r.lines, "IDR"), idr), idr);
  EXPECT_EQ(near(positions(r.lines, "I"), ipic), ipic);
  EXPECT_EQ(groups.size(), static_cast<size_t>(std::count(theirs.begin(), theirs.end(), 'I')));
  // An RPS line stands directly before each I line whose picture has one.
  for (size_t i = 0; i + 1 < r.lines.size(); i++)
    if (r.lines[i].rfind("RPS ", 0) == 0) {
      EXPECT_EQ(r.lines[i + 1].rfind("I", 0), 0u) << r.lines[i + 1];
    }
}

// The body (group and picture lines) without positions, to compare an
// elementary stream's index with that of the same stream in a container.
std::vector<std::string> pictures_and_groups(const std::vector<std::string>& lines) {
  std::vector<std::string> v;
  for (const std::string& l : lines) {
    if (l.rfind("IDR ", 0) == 0) v.push_back("IDR");
    else if (l.rfind("I ", 0) == 0) v.push_back("I");
    else if (l.rfind("RPS ", 0) == 0) v.push_back("RPS");
    else if (l.find(":FRM ") != std::string::npos) v.push_back(l);
  }
  return v;
}

struct Case {
  const char* name;
  const char* rate;
  int frames;
  const char* args;
  const char* fps;
  bool expect_rps;
};

const Case kCases[] = {
    {"ClosedGop", "25", 50, "--keyint 12 --bframes 2", "25000 / 1000", false},
    {"OpenGop", "25", 50, "--keyint 12 --min-keyint 12 --open-gop --bframes 3", "25000 / 1000", true},
    {"BPyramid", "25", 50, "--keyint 25 --bframes 3 --b-pyramid normal", "25000 / 1000", false},
    {"NoBFramesPocType2", "30000/1001", 40, "--keyint 15 --bframes 0", "30000 / 1001", false},
    {"MbaffTopFirst", "25", 30, "--keyint 10 --tff", "25000 / 1000", false},
    {"MbaffBottomFirst", "25", 30, "--keyint 10 --bff", "25000 / 1000", false},
    // 23.976 material flagged for 29.97 display: the stream's timing is that of fields at 29.97
    {"Pulldown32", "24000/1001", 48, "--keyint 24 --bframes 2 --pulldown 32", "30000 / 1001", false},
    {"Sar", "24000/1001", 24, "--keyint 12 --sar 16:11", "24000 / 1001", false},
    {"LongKeyint", "25", 1100, "--keyint 2000 --min-keyint 2000 --scenecut 0 --bframes 1", "25000 / 1000", false},
    {"IntraRefresh", "50", 60, "--keyint 20 --intra-refresh --bframes 0", "50 / 1", false},
    {"FourSlicesWithDelimiters", "25", 30, "--keyint 10 --slices 4 --aud --bframes 2", "25000 / 1000", false},
};

class AvcX264 : public ::testing::TestWithParam<Case> {};

TEST_P(AvcX264, ElementaryAndProgramStreamMatchReferences) {
  const Case& c = GetParam();
  const std::string size = c.frames > 500 ? "64x48" : "320x240";
  std::string in = y4m("in.y4m", c.rate, c.frames, size);
  std::string es = x264(in, "s.264", c.args);
  Indexed r = index_file(es);
  {
    SCOPED_TRACE("elementary stream");
    expect_matches_reference(es, r, Expect{c.fps}, false);
    EXPECT_EQ(tu::kwi_value(r.lines, "STREAM"), "0 0");
    if (c.expect_rps) {
      EXPECT_FALSE(tu::kwi_with(r.lines, "RPS ").empty());
    }
  }
  std::string vob = to_vob(es);
  Indexed p = index_file(vob);
  {
    SCOPED_TRACE("program stream");
    expect_matches_reference(vob, p, Expect{c.fps}, true);
    EXPECT_EQ(tu::kwi_value(p.lines, "STREAM"), "3 6");
    EXPECT_EQ(pictures_and_groups(p.lines), pictures_and_groups(r.lines));
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, AvcX264, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// ffmpeg's libx264 writes VUI timing with fixed_frame_rate_flag 0: the rate
// still comes from that timing, not the 25 fps fallback.
TEST(AvcRate, LibavTimingWithoutFixedFrameRate) {
  struct R {
    const char* rate;
    const char* fps;
  };
  for (R rr : {R{"24000/1001", "24000 / 1001"}, R{"30000/1001", "30000 / 1001"}, R{"50", "50 / 1"}, R{"24", "24000 / 1000"}}) {
    SCOPED_TRACE(rr.rate);
    std::string es = tu::scratch(std::string("r") + std::to_string(rr.rate[0]) + rr.rate[1] + ".264");
    tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=" + std::string(rr.rate) +
               " -frames:v 10 -c:v libx264 -pix_fmt yuv420p -f h264 " + tu::q(es));
    Indexed r = index_file(es);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(tu::kwi_value(r.lines, "FPS"), rr.fps);
  }
}

// ------------------------------------------------------------------ fixed texts

TEST(AvcIndexFile, HeadKeywordHeaderAndTrailerByteExact) {
  std::string in = y4m("in.y4m", "25", 10);
  std::string es = x264(in, "exact name.264", "--keyint 5 --bframes 0");
  Indexed r = index_file(es);
  ASSERT_EQ(r.status, 0) << r.out;
  const uint64_t size = tu::read_file(es).size();
  std::string exe_dir = OSTREL_BIN;
  exe_dir.erase(exe_dir.rfind('/') + 1);
  const std::string head = "KWAVCIndexFileNV100 Ostrel 2053.0.0.502 X64\n" + exe_dir + "\n\n" + es + " " +
                           std::to_string(size) + "\n\nDEVICE 0\nDECODE_MODES 0,0,0,0,0\nSTREAM 0 0\nRANGE 0 0 " +
                           std::to_string(size - 1) + " 0\nDEMUX \nDEPTH 8\nASPECT 1 1\nCOLORIMETRY 2 2 2\n\nSPS 0\nPPS ";
  EXPECT_EQ(r.text.substr(0, head.size()), head);
  const std::string tail = "\nSIZE 320 x 240 \nFPS 25000 / 1000\nCODED 10\nPLAYBACK 10\n0.00% FILM\nORDER 0\n";
  ASSERT_GE(r.text.size(), tail.size());
  EXPECT_EQ(r.text.substr(r.text.size() - tail.size()), tail);
  EXPECT_LE(r.lines[0].size(), 78u);
  // picture lines are numbered from 0 in file order
  int n = 0;
  for (const std::string& l : r.lines) {
    if (l.find(":FRM ") != std::string::npos) {
      EXPECT_EQ(l.substr(0, l.find(':')), std::to_string(n++));
    }
  }
  EXPECT_EQ(n, 10);
}

TEST(AvcIndexFile, UncreatableIndexIsAFailedRun) {
  std::string in = y4m("in.y4m", "25", 5);
  std::string es = x264(in, "s.264", "--keyint 5");
  std::string out = tu::scratch("no such dir") + "/x.kwi";
  tu::RunResult r = tu::ostrel("-i " + tu::q(es) + " -o " + tu::q(out));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Error opening index file "), std::string::npos) << r.out;
}

// The same stream in a transport stream gives the same pictures and groups.
TEST(AvcContainers, TransportStreamMatchesElementaryStream) {
  std::string in = y4m("in.y4m", "25", 40);
  // Matroska keeps the timestamps that the transport stream muxer needs.
  std::string mkv = x264(in, "s.mkv", "--keyint 12 --open-gop --bframes 3");
  std::string es = tu::scratch("s.264"), ts = tu::scratch("s.ts");
  tu::ffmpeg("-i " + tu::q(mkv) + " -c copy -f h264 " + tu::q(es));
  tu::ffmpeg("-i " + tu::q(mkv) + " -c copy -f mpegts " + tu::q(ts));
  Indexed e = index_file(es), t = index_file(ts);
  ASSERT_EQ(e.status, 0) << e.out;
  ASSERT_EQ(t.status, 0) << t.out;
  EXPECT_EQ(pictures_and_groups(t.lines), pictures_and_groups(e.lines));
  EXPECT_EQ(tu::kwi_value(t.lines, "STREAM"), "1 0");
  for (const char* k : {"SIZE", "FPS", "CODED", "PLAYBACK", "ORDER"}) EXPECT_EQ(tu::kwi_value(t.lines, k), tu::kwi_value(e.lines, k)) << k;
}

// Input that is two files read back to back: positions run on across the
// boundary; a repeated parameter set in the second file adds no line.
TEST(AvcContainers, TwoFilesAsOneStream) {
  std::string in = y4m("in.y4m", "25", 24);
  std::string es = x264(in, "s.264", "--keyint 12 --bframes 0");
  Indexed one = index_file(es);
  ASSERT_EQ(one.status, 0) << one.out;
  std::string out = tu::scratch("two.kwi");
  tu::RunResult r = tu::ostrel("-i " + tu::q(es) + " " + tu::q(es) + " -o " + tu::q(out));
  ASSERT_EQ(r.status, 0) << r.out;
  auto two = tu::kwi_lines(out);
  const uint64_t size = tu::read_file(es).size();
  auto idr1 = positions(one.lines, "IDR");
  std::vector<uint64_t> expect = idr1;
  for (uint64_t p : idr1) expect.push_back(p + size);
  EXPECT_EQ(positions(two, "IDR"), expect);
  EXPECT_EQ(tu::kwi_with(two, "SPS ").size(), 1u);
  EXPECT_EQ(tu::kwi_value(two, "CODED"), "48");
}

}  // namespace
