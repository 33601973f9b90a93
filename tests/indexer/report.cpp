// Stream report (".log") end to end: streams made at test time with x264,
// x265 and ffmpeg's mpeg2video (VC-1 from the shared samples and the test-side
// VC-1 writer), as elementary, program and transport streams, indexed by the
// real ostrel. Each report is compared line by line with ffprobe
// -show_streams/-show_programs (profile, level, size, sample aspect ratio,
// colour matrix, field order, rate), with ffprobe -show_frames (repeated
// fields and frames), with what the test asked the encoder for, and with the
// index it accompanies (SIZE, FPS, CODED, PLAYBACK, FILM, ORDER). Label texts
// and the texts of the code tables are written here by hand.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "testutil.h"
#include "vc1_writer.h"

namespace {

// ------------------------------------------------------------------ report and index

// ffprobe -show_streams of an input, asked once per path: every input is
// written once under its own scratch name.
std::map<std::string, std::string> probe(const std::string& path) {
  static std::map<std::string, std::map<std::string, std::string>> seen;
  auto i = seen.find(path);
  if (i == seen.end()) i = seen.emplace(path, tu::ffprobe_stream(path)).first;
  return i->second;
}

struct Report {
  std::vector<std::string> labels;           // in file order
  std::map<std::string, std::string> value;  // label -> text after ": "
  std::string text;
  bool has(const std::string& l) const { return value.count(l) != 0; }
  std::string operator[](const std::string& l) const {
    auto i = value.find(l);
    return i == value.end() ? "<missing " + l + ">" : i->second;
  }
};

// Every line is "label: value\n"; the one exception the design makes is a
// bare "HDR:" for an HEVC stream without HDR signalling.
Report parse_report(const std::string& text) {
  Report r;
  r.text = text;
  EXPECT_TRUE(!text.empty() && text.back() == '\n') << "report does not end in a line feed";
  for (const std::string& l : tu::lines(text)) {
    if (l.empty()) continue;
    const size_t c = l.find(':');
    EXPECT_NE(c, std::string::npos) << "line without a label: " << l;
    if (c == std::string::npos) continue;
    const std::string label = l.substr(0, c);
    std::string v;
    if (c + 1 < l.size()) {
      EXPECT_EQ(l.compare(c, 2, ": "), 0) << "label not followed by colon and blank: " << l;
      v = l.substr(c + 2);
    } else {
      EXPECT_EQ(label, "HDR") << "empty value: " << l;
    }
    EXPECT_EQ(r.value.count(label), 0u) << "label twice: " << label;
    r.labels.push_back(label);
    r.value[label] = v;
  }
  return r;
}

struct Indexed {
  int status = -1;
  std::string out;
  std::vector<std::string> kwi;
  Report report;
  std::string log_path;
};

// Indexes `in` into <in>.kwi; the report is named like the index with ".log"
// in place of ".kwi".
Indexed index_and_report(const std::string& in) {
  const std::string base = in + ".out";
  const std::string kwi = base + ".kwi", log = base + ".log";
  std::remove(kwi.c_str());
  std::remove(log.c_str());
  Indexed r;
  tu::RunResult res = tu::ostrel("-i " + tu::q(in) + " -o " + tu::q(kwi));
  r.status = res.status;
  r.out = res.out;
  r.kwi = tu::kwi_lines(kwi);
  r.log_path = log;
  EXPECT_TRUE(tu::exists(log)) << "no report for " << in << "\n" << res.out;
  r.report = parse_report(tu::read_text(log));
  return r;
}

std::string fmt(const char* f, double v) {
  char b[64];
  snprintf(b, sizeof b, f, v);
  return b;
}

double ratio(const std::string& a_over_b) {
  int a = 0, b = 0;
  if (sscanf(a_over_b.c_str(), "%d/%d", &a, &b) != 2 || b == 0) return -1;
  return static_cast<double>(a) / b;
}

const std::vector<std::string> kCounts = {"Coded Number", "Playback Number", "Frame Repeats", "Field Repeats",
                                          "Film Percent"};

// The labels in the order of the design: codec 0 AVC, 1 MPEG-2, 3 VC-1, 4 HEVC.
std::vector<std::string> labels_for(int codec, bool field_order) {
  std::vector<std::string> v = {"Stream Type", "Video Type"};
  if (codec == 4) v.push_back("HDR");
  v.push_back("Profile");
  if (codec == 0 || codec == 3) v.push_back("Level");
  if (codec == 4) v.push_back("Level/Tier");
  v.push_back("Size");
  v.push_back("Chroma Format");
  v.push_back("Bit Depth");
  v.push_back(codec == 1 ? "AspectRatio" : "Pixel Aspect Ratio (PAR)");
  v.push_back("Frame Rate");
  v.push_back("Colorimetry");
  if (field_order) v.push_back("Field Order");
  v.insert(v.end(), kCounts.begin(), kCounts.end());
  return v;
}

// The value after `keyword ` on the index's one line that begins with it.
std::string kwi_value(const std::vector<std::string>& kwi, const std::string& keyword) {
  auto v = tu::kwi_with(kwi, keyword + " ");
  return v.size() == 1 ? v[0].substr(keyword.size() + 1) : "<" + std::to_string(v.size()) + " " + keyword + " lines>";
}

// The report agrees with the index it accompanies: size, rate, counts, film
// share and field order (HEVC writes no PLAYBACK and FILM lines, and an
// undecided order as 0).
void expect_matches_index(const Indexed& r, int codec) {
  const Report& rep = r.report;
  ASSERT_FALSE(r.kwi.empty()) << r.out;
  EXPECT_EQ(rep.labels, labels_for(codec, rep.has("Field Order"))) << rep.text;
  int w = 0, h = 0, num = 0, den = 0;
  ASSERT_EQ(sscanf(kwi_value(r.kwi, "SIZE").c_str(), "%d x %d", &w, &h), 2);
  EXPECT_EQ(rep["Size"], std::to_string(w) + "x" + std::to_string(h));
  ASSERT_EQ(sscanf(kwi_value(r.kwi, "FPS").c_str(), "%d / %d", &num, &den), 2);
  EXPECT_EQ(rep["Frame Rate"], fmt("%.6f fps", static_cast<double>(num) / den));
  EXPECT_EQ(rep["Coded Number"], kwi_value(r.kwi, "CODED"));
  const long long coded = std::stoll(rep["Coded Number"]);
  const long long frames = std::stoll(rep["Frame Repeats"]), fields = std::stoll(rep["Field Repeats"]);
  EXPECT_EQ(std::stoll(rep["Playback Number"]), coded + frames + fields / 2);
  if (codec != 4) {
    EXPECT_EQ(rep["Playback Number"], kwi_value(r.kwi, "PLAYBACK"));
    std::string film;
    for (const std::string& l : r.kwi)
      if (l.size() > 6 && l.compare(l.size() - 6, 6, "% FILM") == 0) film = l.substr(0, l.size() - 6);
    EXPECT_EQ(rep["Film Percent"], film);
  }
  const std::string order = kwi_value(r.kwi, "ORDER");
  if (rep.has("Field Order")) {
    const std::map<std::string, std::string> names = {{"0", "Progressive"}, {"1", "TFF"}, {"2", "BFF"}};
    EXPECT_EQ(rep["Field Order"], names.count(order) ? names.at(order) : "<ORDER " + order + ">");
  } else {
    EXPECT_EQ(order, codec == 4 ? "0" : "-1");
  }
}

// Size, field order and repeat counts against ffprobe. ffprobe reads the
// field order of soft-pulldown MPEG-2 from progressive_frame, where the index
// takes it from the sequence and top_field_first; field_order = false skips it.
void expect_matches_ffprobe(const Indexed& r, const std::string& in, bool size = true, bool field_order = true) {
  const Report& rep = r.report;
  auto s = probe(in);
  ASSERT_FALSE(s.empty());
  if (size) {
    EXPECT_EQ(rep["Size"], s["width"] + "x" + s["height"]);
  }
  const std::map<std::string, std::string> orders = {{"progressive", "Progressive"}, {"tt", "TFF"}, {"bb", "BFF"}};
  if (field_order && orders.count(s["field_order"]) && rep.has("Field Order")) {
    EXPECT_EQ(rep["Field Order"], orders.at(s["field_order"]));
  }
  // ffprobe's repeat_pict: 1 = one repeated field, 2 = frame doubled, 4 = tripled.
  long long fields = 0, frames = 0;
  for (auto& f : tu::ffprobe_frames(in)) {
    const int rp = std::atoi(f["repeat_pict"].c_str());
    if (rp == 1) fields++;
    if (rp == 2) frames += 1;
    if (rp == 4) frames += 2;
  }
  EXPECT_EQ(rep["Field Repeats"], std::to_string(fields));
  EXPECT_EQ(rep["Frame Repeats"], std::to_string(frames));
}

std::string stream_type_of(const std::string& container) {
  if (container == "es") return "Elementary";
  if (container == "vob") return "MPEG2 Program";
  if (container == "ts") return "Transport [188]";
  return "Transport [192]";
}

// ------------------------------------------------------------------ making inputs

std::string y4m(const std::string& name, const std::string& rate, int frames, const std::string& size,
                const std::string& pix = "yuv420p", const std::string& vf = "") {
  std::string f = tu::scratch(name);
  EXPECT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=" + size + ":rate=" + rate + " -frames:v " +
                         std::to_string(frames) + (vf.empty() ? "" : " -vf " + vf) + " -pix_fmt " + pix + " -strict -1" +
                         " -f yuv4mpegpipe " + tu::q(f)));
  return f;
}

std::string encode(const std::string& tool, const std::string& in, const std::string& name, const std::string& args) {
  std::string f = tu::scratch(name);
  const std::string cmd = tool == "x264" ? "x264 --quiet " + args + " -o " + tu::q(f) + " " + tu::q(in)
                                         : "x265 --log-level 0 " + args + " --input " + tu::q(in) + " -o " + tu::q(f);
  tu::RunResult r = tu::run(cmd);
  EXPECT_EQ(r.status, 0) << r.out;
  return f;
}

// The elementary stream in the container: "es", "vob", "ts" (188) or "m2ts" (192).
std::string wrap(const std::string& es, const std::string& container, const std::string& rate) {
  if (container == "es") return es;
  std::string f = es + "." + container;
  std::string fmtargs = container == "vob" ? "-f vob" : "-f mpegts";
  if (container == "m2ts") fmtargs += " -mpegts_m2ts_mode 1";
  // Raw AVC/HEVC input carries no time stamps; give each frame its slot in
  // decoding order, with the decoding time two frames ahead, so that the
  // muxers accept B pictures.
  const std::string frame = "/TB/(" + rate + ")";
  EXPECT_TRUE(tu::ffmpeg("-r " + rate + " -i " + tu::q(es) + " -c copy -bsf:v \"setts=pts=N" + frame + ":dts=(N-2)" +
                         frame + "\" " + fmtargs + " " + tu::q(f)));
  return f;
}

// The program and PID that ffprobe finds for a transport stream's video.
void expect_program_has_video(const std::string& ts) {
  tu::RunResult r = tu::run("ffprobe -v error -show_programs " + tu::q(ts));
  EXPECT_NE(r.out.find("codec_type=video"), std::string::npos) << r.out;
}

const std::vector<std::string> kContainers = {"es", "vob", "ts", "m2ts"};

// ------------------------------------------------------------------ AVC

// ffprobe's profile names -> the report's text (profile_idc 244 is outside
// the report's table).
const std::map<std::string, std::string> kAvcProfile = {
    {"Baseline", "Baseline"},     {"Constrained Baseline", "Baseline"}, {"Main", "Main"},
    {"Extended", "Extended"},     {"High", "High"},                     {"High 10", "High 10"},
    {"High 4:2:2", "High 4:2:2"}, {"High 4:4:4 Predictive", "High 4:4:4 Predictive"},
};
// ffprobe's pix_fmt -> the report's chroma format and bit depth.
const std::map<std::string, std::pair<std::string, std::string>> kPixelFormat = {
    {"yuv420p", {"4:2:0", "8"}},  {"yuvj420p", {"4:2:0", "8"}},   {"yuv420p10le", {"4:2:0", "10"}},
    {"yuv422p", {"4:2:2", "8"}},  {"yuv422p10le", {"4:2:2", "10"}}, {"yuv444p", {"4:4:4", "8"}},
    {"gbrp", {"4:4:4", "8"}},     {"gray", {"4:0:0", "8"}},
};
// level_idc as ffprobe prints it -> the report's text (11 without constraint_set3_flag).
const std::map<std::string, std::string> kAvcLevel = {
    {"10", "1"},   {"11", "1.1"}, {"12", "1.2"}, {"13", "1.3"}, {"20", "2"},   {"21", "2.1"},
    {"22", "2.2"}, {"30", "3"},   {"31", "3.1"}, {"32", "3.2"}, {"40", "4"},   {"41", "4.1"},
    {"42", "4.2"}, {"50", "5"},   {"51", "5.1"}, {"52", "reserved [52]"},
};
// ffprobe's color_space -> the report's AVC colorimetry.
const std::map<std::string, std::string> kAvcMatrix = {
    {"gbr", "RGB [0]"},         {"bt709", "BT.709 [1]"},      {"", "Unknown [2]"},
    {"unknown", "Unknown [2]"}, {"fcc", "FCC 73.682 [4]"},    {"bt470bg", "BT.601 [5]"},
    {"smpte170m", "SMPTE 170M [6]"}, {"smpte240m", "SMPTE 240M [7]"}, {"ycgco", "YCgCo [8]"},
    {"bt2020nc", "Illegal [9]"},
};

// "a:b" as the index's ASPECT line writes it, "a b".
std::string spaced(std::string ratio) {
  const size_t c = ratio.find(':');
  if (c != std::string::npos) ratio[c] = ' ';
  return ratio;
}

std::string lookup(const std::map<std::string, std::string>& m, const std::string& k) {
  auto i = m.find(k);
  return i == m.end() ? "<no entry for '" + k + "'>" : i->second;
}

void expect_avc_matches_ffprobe(const Indexed& r, const std::string& in) {
  const Report& rep = r.report;
  auto s = probe(in);
  EXPECT_EQ(rep["Video Type"], "AVC");
  EXPECT_EQ(rep["Profile"], lookup(kAvcProfile, s["profile"]));
  const auto format = kPixelFormat.find(s["pix_fmt"]);
  ASSERT_NE(format, kPixelFormat.end()) << s["pix_fmt"];
  EXPECT_EQ(rep["Chroma Format"], format->second.first);
  EXPECT_EQ(rep["Bit Depth"], format->second.second);
  EXPECT_EQ(rep["Pixel Aspect Ratio (PAR)"], s["sample_aspect_ratio"]);
  EXPECT_EQ(rep["Colorimetry"], lookup(kAvcMatrix, s["color_space"]));
  EXPECT_EQ(rep["Frame Rate"], fmt("%.6f fps", ratio(s["r_frame_rate"])));
  expect_matches_ffprobe(r, in);
}

// High profile at level 4.1 with aspect_ratio_idc 1 and BT.709 in all four
// containers: the stream type follows the container and the packet size.
TEST(ReportAvc, HighLevel41InEveryContainer) {
  std::string raw = y4m("avc41.y4m", "24000/1001", 24, "320x240");
  std::string es = encode("x264", raw, "avc41.264", "--profile high --level 4.1 --sar 1:1 --colormatrix bt709 --keyint 12");
  for (const std::string& c : kContainers) {
    SCOPED_TRACE(c);
    std::string in = wrap(es, c, "24000/1001");
    Indexed r = index_and_report(in);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.report["Stream Type"], stream_type_of(c));
    EXPECT_EQ(r.report["Profile"], "High");
    EXPECT_EQ(r.report["Level"], "4.1");
    EXPECT_EQ(r.report["Pixel Aspect Ratio (PAR)"], "1:1");
    EXPECT_EQ(r.report["Colorimetry"], "BT.709 [1]");
    EXPECT_EQ(r.report["Field Order"], "Progressive");
    EXPECT_EQ(r.report["Film Percent"], "0.00");  // no pic_struct: no FILM or VIDEO pairs
    EXPECT_EQ(r.report["Coded Number"], "24");
    EXPECT_EQ(kwi_value(r.kwi, "ASPECT"), "1 1");
    expect_avc_matches_ffprobe(r, in);
    expect_matches_index(r, 0);
    if (c == "ts" || c == "m2ts") expect_program_has_video(in);
  }
}

// Profiles, levels, ratios and matrices from across the tables: the level
// 1b of a Baseline stream (level_idc 11 with constraint_set3_flag), a
// ratio of the table (16:11), one carried as sar_width:sar_height (5:4,
// aspect_ratio_idc 255), and matrices 0, 4, 5, 6, 7, 8 and 9.
TEST(ReportAvc, TablesAgainstFfprobe) {
  struct Case {
    const char* name;
    const char* size;
    const char* rate;
    const char* pix;
    const char* args;
    const char* level;  // expected by hand where ffprobe's number is ambiguous
  };
  const Case cases[] = {
      {"b1b", "176x144", "15", "yuv420p",
       "--profile baseline --level 1b --vbv-maxrate 128 --vbv-bufsize 350 --colormatrix fcc", "1b"},
      {"main", "320x240", "25", "yuv420p", "--profile main --level 3 --sar 16:11 --colormatrix bt470bg", "3"},
      {"sar255", "320x240", "30000/1001", "yuv420p", "--sar 5:4 --colormatrix smpte170m --level 2.1", "2.1"},
      {"hi10", "320x240", "25", "yuv420p10le", "--profile high10 --output-depth 10 --colormatrix smpte240m --level 3.1", "3.1"},
      {"hi422", "320x240", "25", "yuv422p", "--profile high422 --output-csp i422 --colormatrix YCgCo --level 3.2", "3.2"},
      {"hi444", "320x240", "25", "yuv444p", "--profile high444 --output-csp i444 --colormatrix GBR --level 4", "4"},
      {"bt2020", "320x240", "50", "yuv420p", "--colormatrix bt2020nc --level 5.1", "5.1"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string raw = y4m(std::string("avc_") + k.name + ".y4m", k.rate, 10, k.size, k.pix);
    std::string es = encode("x264", raw, std::string("avc_") + k.name + ".264", k.args);
    Indexed r = index_and_report(es);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.report["Stream Type"], "Elementary");
    EXPECT_EQ(r.report["Level"], k.level);
    auto s = probe(es);
    if (std::string(k.level) != "1b") {
      EXPECT_EQ(r.report["Level"], lookup(kAvcLevel, s["level"]));
    }
    expect_avc_matches_ffprobe(r, es);
    expect_matches_index(r, 0);
  }
}

// x264 without any sample aspect ratio writes no aspect information: the
// report says 0:0 (aspect_ratio_idc 0) and ffprobe knows no ratio either.
TEST(ReportAvc, NoAspectInformation) {
  std::string yuv = tu::scratch("noaspect.yuv");
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=176x144:rate=25 -frames:v 5 -pix_fmt yuv420p -f rawvideo " + tu::q(yuv)));
  std::string es = encode("x264", yuv, "noaspect.264", "--input-res 176x144 --fps 25");
  Indexed r = index_and_report(es);
  EXPECT_EQ(r.report["Pixel Aspect Ratio (PAR)"], "0:0");
  EXPECT_EQ(r.report["Colorimetry"], "Unknown [2]");
  auto s = probe(es);
  EXPECT_TRUE(s["sample_aspect_ratio"].empty() || s["sample_aspect_ratio"] == "N/A" ||
              s["sample_aspect_ratio"] == "0:1")
      << s["sample_aspect_ratio"];
  expect_matches_index(r, 0);
}

// Pulldown through picture timing: 3:2 gives repeated fields and a film
// share of 100; frame doubling gives repeated frames. Interlaced coding
// gives the field order. All against ffprobe's repeat_pict and field order.
TEST(ReportAvc, PulldownAndFieldOrder) {
  struct Case {
    const char* name;
    const char* rate;
    const char* args;
    const char* order;
  };
  const Case cases[] = {
      {"pd32", "24000/1001", "--pulldown 32", "TFF"},
      {"pddouble", "25", "--pulldown double", nullptr},
      {"tff", "30000/1001", "--tff", "TFF"},
      {"bff", "25", "--bff", "BFF"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string raw = y4m(std::string("avc_") + k.name + ".y4m", k.rate, 24, "320x240");
    std::string es = encode("x264", raw, std::string("avc_") + k.name + ".264", k.args);
    for (const std::string& c : {std::string("es"), std::string("m2ts")}) {
      SCOPED_TRACE(c);
      std::string in = wrap(es, c, k.rate);
      Indexed r = index_and_report(in);
      EXPECT_EQ(r.status, 0) << r.out;
      if (k.order) {
        EXPECT_EQ(r.report["Field Order"], k.order);
      }
      expect_matches_ffprobe(r, es);
      expect_matches_index(r, 0);
    }
    if (std::string(k.name) == "pd32") {
      Indexed r = index_and_report(es);
      EXPECT_EQ(r.report["Film Percent"], "100.00");
      EXPECT_EQ(r.report["Field Repeats"], "12");
    }
    if (std::string(k.name) == "pddouble") {
      Indexed r = index_and_report(es);
      EXPECT_EQ(r.report["Frame Repeats"], "24");
      EXPECT_EQ(r.report["Playback Number"], "48");
    }
  }
}

// ------------------------------------------------------------------ MPEG-2

// ffmpeg's mpeg2video encoder: the aspect is given as a display ratio, which
// it codes as aspect_ratio_information (1:1 -> 1, 4:3 -> 2, 16:9 -> 3,
// 2.21 -> 4).
std::string mpeg2(const std::string& name, const std::string& size, const std::string& rate,
                  const std::string& args, const std::string& container, int frames = 12) {
  std::string f = tu::scratch(name + "." + (container == "es" ? "m2v" : container));
  std::string fmtargs = container == "es" ? "-f mpeg2video" : container == "vob" ? "-f vob" : "-f mpegts";
  if (container == "m2ts") fmtargs += " -mpegts_m2ts_mode 1";
  EXPECT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=" + size + ":rate=" + rate + " -frames:v " +
                         std::to_string(frames) + " -pix_fmt yuv420p -c:v mpeg2video -g 6 -bf 2 " + args + " " +
                         fmtargs + " " + tu::q(f)));
  return f;
}

const std::map<std::string, std::string> kMpgProfile = {
    {"Simple", "simple@"}, {"Main", "main@"}, {"SNR Scalable", "snr@"}, {"Spatially Scalable", "spatial@"},
    {"High", "high@"},
};
const std::map<std::string, std::string> kMpgLevel = {{"4", "high"}, {"6", "high1440"}, {"8", "main"}, {"10", "low"}};
const std::map<std::string, std::string> kMpgMatrix = {
    {"bt709", "BT.709 [1]"},    {"", "Unknown [2]"},         {"unknown", "Unknown [2]"},
    {"fcc", "BT.470-2 M [4]"}, {"bt470bg", "BT.601 [5]"},   {"smpte170m", "SMPTE 170M [6]"},
    {"smpte240m", "SMPTE 240M [7]"},
};

// Sizes and display ratios. 480- and 576-line pictures take the BT.601
// ratios the design fixes (written here by hand); pictures taller than 576
// lines are square; any other size gets the display ratio over the picture
// ratio, which is ffprobe's sample aspect ratio.
TEST(ReportMpeg2, AspectRatioAndProfile) {
  struct Case {
    const char* name;
    const char* size;
    const char* args;
    const char* aspect;  // by hand; null = ffprobe's sample_aspect_ratio
    const char* container;
  };
  const Case cases[] = {
      {"ntsc169", "720x480", "-aspect 16:9 -flags +ilme+ildct -top 1", "40:33", "vob"},
      {"ntsc43", "720x480", "-aspect 4:3", "10:11", "es"},
      {"pal169", "720x576", "-aspect 16:9", "16:11", "ts"},
      {"pal43", "720x576", "-aspect 4:3 -flags +ilme+ildct -top 0", "12:11", "m2ts"},
      {"hd", "1920x1088", "-aspect 16:9", "1:1", "es"},
      {"cif43", "352x288", "-aspect 4:3", nullptr, "vob"},
      {"qvga169", "320x240", "-aspect 16:9", nullptr, "ts"},
      {"qvga221", "320x240", "-aspect 2.21", nullptr, "es"},
      {"square", "320x240", "-aspect 4:3", nullptr, "es"},  // 320x240 at 4:3 is code 1
      {"simple", "352x288", "-aspect 4:3 -profile:v 5 -bf 0", nullptr, "es"},
      {"high", "352x288", "-aspect 4:3 -profile:v 1 -level:v 4", nullptr, "es"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string in = mpeg2(std::string("mpg_") + k.name, k.size, "25", k.args, k.container);
    Indexed r = index_and_report(in);
    EXPECT_EQ(r.status, 0) << r.out;
    const Report& rep = r.report;
    auto s = probe(in);
    EXPECT_EQ(rep["Stream Type"], stream_type_of(k.container));
    EXPECT_EQ(rep["Video Type"], "MPEG2");
    EXPECT_EQ(rep["Profile"], lookup(kMpgProfile, s["profile"]) + lookup(kMpgLevel, s["level"]));
    EXPECT_EQ(rep["AspectRatio"], k.aspect ? std::string(k.aspect) : s["sample_aspect_ratio"]);
    EXPECT_EQ(kwi_value(r.kwi, "ASPECT"), spaced(rep["AspectRatio"]));
    EXPECT_EQ(rep["Colorimetry"], lookup(kMpgMatrix, s["color_space"]));
    EXPECT_EQ(rep["Frame Rate"], fmt("%.6f fps", ratio(s["r_frame_rate"])));
    expect_matches_ffprobe(r, in);
    expect_matches_index(r, 1);
  }
  // A height that is no multiple of 16: the ratio comes from the coded lines
  // (200), not from the height rounded up to whole macroblocks (208) that
  // the Size line shows.
  {
    std::string in = mpeg2("mpg_lines200", "352x200", "25", "-aspect 4:3", "es");
    Indexed r = index_and_report(in);
    EXPECT_EQ(r.report["AspectRatio"], probe(in)["sample_aspect_ratio"]);
    EXPECT_EQ(r.report["AspectRatio"], "25:33");
    EXPECT_EQ(kwi_value(r.kwi, "ASPECT"), "25 33");
    EXPECT_EQ(r.report["Size"], "352x208");
  }
  // The profile of the design's example, main profile at main level.
  Indexed r = index_and_report(mpeg2("mpg_mainmain", "720x576", "25", "-aspect 4:3", "es"));
  EXPECT_EQ(r.report["Profile"], "main@main");
}

// Colour descriptions of the sequence display extension, one per matrix
// the report names, against ffprobe's color_space.
TEST(ReportMpeg2, Colorimetry) {
  for (const std::string cs : {"bt709", "fcc", "bt470bg", "smpte170m", "smpte240m"}) {
    SCOPED_TRACE(cs);
    std::string in = mpeg2("mpg_col_" + cs, "352x288", "30000/1001",
                           "-aspect 4:3 -colorspace " + cs + " -color_primaries bt709 -color_trc bt709", "ts");
    Indexed r = index_and_report(in);
    auto s = probe(in);
    EXPECT_EQ(s["color_space"], cs);
    EXPECT_EQ(r.report["Colorimetry"], lookup(kMpgMatrix, cs));
    EXPECT_EQ(r.report["Frame Rate"], "29.970030 fps");
    expect_matches_index(r, 1);
  }
}

// mpeg2enc's soft 3:2 pulldown: repeated fields as ffprobe counts them and a
// film share near 100, the same as the index says.
TEST(ReportMpeg2, SoftPulldown) {
  if (!tu::have("mpeg2enc")) GTEST_SKIP() << "mpeg2enc not installed";
  std::string es = tu::scratch("mpg_pulldown.m2v");
  tu::RunResult enc = tu::run(
      "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=352x480:rate=24000/1001 -frames:v 30 -pix_fmt yuv420p "
      "-f yuv4mpegpipe - | mpeg2enc -v 0 -f 8 -p -R 2 -g 6 -G 12 -a 2 -o " + tu::q(es));
  ASSERT_EQ(enc.status, 0) << enc.out;
  Indexed r = index_and_report(es);
  EXPECT_EQ(r.report["AspectRatio"], "10:11");
  EXPECT_GT(std::stod(r.report["Film Percent"]), 90.0);
  EXPECT_NE(r.report["Field Repeats"], "0");
  expect_matches_ffprobe(r, es, true, false);
  expect_matches_index(r, 1);
}

// ------------------------------------------------------------------ VC-1

// The real samples: elementary stream and M2TS, with RFF pulldown.
TEST(ReportVc1, RealSamples) {
  const std::string dir = std::string(SHARED_TESTDATA) + "/vc1/";
  for (const std::string name : {"vc1_ap_1080_pulldown.vc1", "vc1_ap_1080_pulldown.m2ts"}) {
    SCOPED_TRACE(name);
    if (!tu::exists(dir + name)) GTEST_SKIP() << "sample missing";
    // Index a copy in the scratch folder: the report goes next to the index.
    std::string in = tu::scratch(name);
    tu::write_file(in, tu::read_file(dir + name));
    Indexed r = index_and_report(in);
    EXPECT_EQ(r.status, 0) << r.out;
    const Report& rep = r.report;
    auto s = probe(in);
    EXPECT_EQ(rep["Stream Type"], name.find(".m2ts") != std::string::npos ? "Transport [192]" : "Elementary");
    EXPECT_EQ(rep["Video Type"], "VC1");
    EXPECT_EQ(s["profile"], "Advanced");
    EXPECT_EQ(rep["Profile"], "Advanced");
    EXPECT_EQ(rep["Level"], s["level"]);
    EXPECT_EQ(rep["Pixel Aspect Ratio (PAR)"], s["sample_aspect_ratio"]);
    EXPECT_EQ(s["color_space"], "bt709");
    EXPECT_EQ(rep["Colorimetry"], "BT.709");
    EXPECT_EQ(rep["Frame Rate"], fmt("%.6f fps", ratio(s["r_frame_rate"])));
    EXPECT_EQ(rep["Field Repeats"], "42");
    expect_matches_ffprobe(r, in);
    expect_matches_index(r, 3);
  }
}

// Written streams: what the writer put into the sequence header is what the
// report says, in ES, PS and TS.
TEST(ReportVc1, WrittenSequenceHeaders) {
  struct Case {
    const char* name;
    vc1w::Sequence seq;
    const char* level;
    const char* par;
    const char* colour;
    const char* rate;
  };
  // aspect: ASPECT_RATIO code of the standard's table (1 1:1, 3 10:11,
  // 4 16:11, 5 40:33, 13 160:99), -1 for none.
  auto seq = [](int level, int w, int h, int aspect, int matrix, int rate_nr, int rate_dr) {
    vc1w::Sequence s;
    s.level = level;
    s.width = w;
    s.height = h;
    s.display_ext = true;
    s.disp_width = w;
    s.disp_height = h;
    s.aspect = aspect;
    if (matrix >= 0) {
      s.colour_prim = 1;
      s.transfer_char = 1;
      s.matrix_coef = matrix;
    } else {
      s.colour_prim = -1;
    }
    s.rate_nr = rate_nr;
    s.rate_dr = rate_dr;
    return s;
  };
  std::vector<Case> cases = {
      {"sd_nocolour", seq(1, 320, 240, 3, -1, 3, 2), "1", "10:11", "BT.1700", "29.970030 fps"},
      {"hd_nocolour", seq(3, 1280, 720, 1, -1, 5, 1), "3", "1:1", "BT.709", "60.000000 fps"},
      {"m6", seq(2, 320, 240, 13, 6, 1, 2), "2", "160:99", "BT.1700", "23.976024 fps"},
      {"m0", seq(4, 320, 240, 4, 0, 4, 1), "4", "16:11", "Forbidden", "50.000000 fps"},
      {"m2", seq(5, 320, 240, 5, 2, 1, 1), "Reserved [5]", "40:33", "Unknown", "24.000000 fps"},
      {"m7", seq(7, 320, 240, -1, 7, -1, 1), "Reserved [7]", "Unknown", "Reserved", "25.000000 fps"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    vc1w::Stream st;
    st.seq = k.seq;
    for (int g = 0; g < 3; g++) {
      vc1w::Picture i;
      i.type = vc1w::I;
      st.group(i);
      vc1w::Picture p;
      p.type = vc1w::P;
      st.picture(p);
    }
    std::string es = tu::scratch(std::string("vc1_") + k.name + ".vc1");
    tu::write_file(es, st.es);
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs = {
        {es, st.es}, {es + ".vob", vc1w::wrap_ps(st)}, {es + ".ts", vc1w::wrap_ts(st, 188)}};
    for (const auto& [path, bytes] : inputs) {
      SCOPED_TRACE(path);
      tu::write_file(path, bytes);
      Indexed r = index_and_report(path);
      EXPECT_EQ(r.status, 0) << r.out;
      const Report& rep = r.report;
      EXPECT_EQ(rep["Video Type"], "VC1");
      EXPECT_EQ(rep["Profile"], "Advanced");
      EXPECT_EQ(rep["Level"], k.level);
      EXPECT_EQ(rep["Size"], std::to_string(k.seq.width) + "x" + std::to_string(k.seq.height));
      EXPECT_EQ(rep["Pixel Aspect Ratio (PAR)"], k.par);
      EXPECT_EQ(rep["Colorimetry"], k.colour);
      EXPECT_EQ(rep["Frame Rate"], k.rate);
      EXPECT_EQ(rep["Coded Number"], "6");
      EXPECT_EQ(rep["Film Percent"], "0.00");
      expect_matches_index(r, 3);
    }
  }
}

// ------------------------------------------------------------------ HEVC

const std::map<std::string, std::string> kHevcLevel = {
    {"30", "1/"},    {"60", "2/"},    {"63", "2.1/ "}, {"90", "3/"},    {"93", "3.1/"},
    {"120", "4/"},   {"123", "4.1/"}, {"150", "5/"},   {"153", "5.1/"}, {"156", "5.2/"},
    {"180", "6/"},   {"183", "6.1/"}, {"186", "6.2/"},
};
const std::map<std::string, std::string> kHevcMatrix = {
    {"gbr", "Identity [0]"},       {"bt709", "BT.709 [1]"},      {"", "Unspecified [2]"},
    {"unknown", "Unspecified [2]"}, {"fcc", "FCC Title 47 [4]"}, {"bt470bg", "BT.601 [5]"},
    {"smpte170m", "BT.601 [6]"},   {"smpte240m", "SMPTE ST 240 [7]"}, {"ycgco", "YCgCo [8]"},
    {"bt2020nc", "BT.2020/2100 [9]"}, {"bt2020c", "BT.2020 [10]"},  {"ictcp", "ICtCp [14]"},
};

// general_tier_flag of the first SPS, read from the bytes: the SPS's
// profile_tier_level begins at the third byte after its two-byte NAL header
// (sps_video_parameter_set_id 4 bits, sps_max_sub_layers_minus1 3 bits,
// sps_temporal_id_nesting_flag 1 bit), with general_profile_space (2 bits)
// and then general_tier_flag.
std::string hevc_tier(const std::string& es) {
  const std::vector<uint8_t> d = tu::read_file(es);
  for (const tu::ScanUnit& u : tu::scan_start_codes(d)) {
    if (((u.code >> 1) & 63) != 33 || u.pos + 6 >= d.size()) continue;
    return (d[u.pos + 6] >> 5) & 1 ? "High" : "Main";
  }
  return "<no SPS>";
}

// Luma bit depth from ffprobe's pixel format name (yuv420p, yuv444p10le ...).
std::string depth_of(const std::string& pix_fmt) {
  for (const char* d : {"10", "12", "14", "16"})
    if (pix_fmt.find(d) != std::string::npos) return d;
  return "8";
}

// Profiles (Main, Main 10, Rext with its bit depth), levels in both tiers,
// HDR signalling (PQ by transfer 16, HLG by transfer 18, none), sample
// aspect ratios and matrices, in ES, PS and TS.
TEST(ReportHevc, AgainstFfprobe) {
  struct Case {
    const char* name;
    const char* size;
    const char* pix;
    const char* args;
    const char* profile;
    const char* tier;
    const char* hdr;
    const char* container;
  };
  const Case cases[] = {
      {"main31", "320x240", "yuv420p", "--level-idc 3.1 --no-high-tier --sar 1 --colormatrix bt709", "Main", "Main", "",
       "es"},
      {"main10pq", "320x240", "yuv420p10le",
       "--output-depth 10 --level-idc 4 --no-high-tier --sar 12:11 --colormatrix bt2020nc --transfer smpte2084 --colorprim bt2020",
       "Main 10", "Main", "PQ", "vob"},
      {"hlg", "320x240", "yuv420p10le",
       "--output-depth 10 --level-idc 5.1 --high-tier --sar 4:3 --colormatrix bt2020c --transfer arib-std-b67",
       "Main 10", "High", "HLG", "ts"},
      {"rext422", "320x240", "yuv422p", "--level-idc 2.1 --colormatrix smpte170m --sar 5:4", "Main Rext [8-bit]",
       "Main", "", "m2ts"},
      {"rext444", "320x240", "yuv444p10le", "--output-depth 10 --level-idc 6 --no-high-tier --colormatrix gbr",
       "Main Rext [10-bit]", "Main", "", "es"},
      {"plain", "176x144", "yuv420p", "--level-idc 2", "Main", "Main", "", "es"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string raw = y4m(std::string("hevc_") + k.name + ".y4m", "25", 6, k.size, k.pix);
    std::string es = encode("x265", raw, std::string("hevc_") + k.name + ".hevc", k.args);
    std::string in = wrap(es, k.container, "25");
    Indexed r = index_and_report(in);
    EXPECT_EQ(r.status, 0) << r.out;
    const Report& rep = r.report;
    auto s = probe(in);
    EXPECT_EQ(rep["Stream Type"], stream_type_of(k.container));
    EXPECT_EQ(rep["Video Type"], "HEVC");
    EXPECT_EQ(rep["HDR"], k.hdr);
    EXPECT_EQ(rep["Profile"], k.profile);
    if (s["profile"] == "Rext") {
      EXPECT_EQ(rep["Profile"], "Main Rext [" + depth_of(s["pix_fmt"]) + "-bit]");
    } else {
      EXPECT_EQ(rep["Profile"], s["profile"]);
    }
    EXPECT_EQ(hevc_tier(es), k.tier);
    EXPECT_EQ(rep["Level/Tier"], lookup(kHevcLevel, s["level"]) + hevc_tier(es));
    const std::string sar = s["sample_aspect_ratio"];
    EXPECT_EQ(rep["Pixel Aspect Ratio (PAR)"], sar.empty() || sar == "N/A" || sar == "0:1" ? "Unknown" : sar);
    EXPECT_EQ(rep["Colorimetry"], lookup(kHevcMatrix, s["color_space"]));
    EXPECT_EQ(rep["Frame Rate"], fmt("%.6f fps", ratio(s["r_frame_rate"])));
    // Without picture timing messages the field order stays undecided.
    EXPECT_FALSE(rep.has("Field Order"));
    EXPECT_EQ(rep["Film Percent"], "0.00");
    expect_matches_ffprobe(r, in);
    expect_matches_index(r, 4);
  }
}

// ------------------------------------------------------------------ file handling

// The report replaces an older one, and it lands next to the index whatever
// the index's folder.
TEST(ReportFile, ReplacesAnOlderReport) {
  std::string raw = y4m("file.y4m", "25", 5, "176x144");
  std::string es = encode("x264", raw, "file.264", "--sar 1:1");
  const std::string log = es + ".out.log";
  tu::write_file(log, std::vector<uint8_t>(5000, '#'));
  Indexed r = index_and_report(es);
  EXPECT_EQ(r.report.text.find('#'), std::string::npos);
  EXPECT_EQ(r.report.labels.front(), "Stream Type");
}

// A report that cannot be created leaves the run as it was: index written,
// status 0, nothing said about the report.
TEST(ReportFile, UncreatableReportIsSilent) {
  std::string raw = y4m("nolog.y4m", "25", 5, "176x144");
  std::string es = encode("x264", raw, "nolog.264", "");
  const std::string base = es + ".blocked";
  // A folder where the report would go makes fopen fail.
  ASSERT_EQ(tu::run("mkdir -p " + tu::q(base + ".log")).status, 0);
  tu::RunResult res = tu::ostrel("-i " + tu::q(es) + " -o " + tu::q(base + ".kwi"));
  EXPECT_EQ(res.status, 0) << res.out;
  EXPECT_FALSE(tu::kwi_lines(base + ".kwi").empty());
  EXPECT_EQ(res.out.find(".log"), std::string::npos) << res.out;
}

}  // namespace
