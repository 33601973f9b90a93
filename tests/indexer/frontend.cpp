// Front end: command line, inputs as one byte stream, container detection,
// unit and program-stream readers. References: a start-code scan of the
// elementary stream and ffmpeg's own demux of program streams.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "testutil.h"

namespace {

using tu::expected_units;
using tu::unitdump;
using Unit = tu::DumpUnit;

std::string make_h264(const std::string& name, const std::string& extra = "") {
  std::string f = tu::scratch(name);
  tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -t 2 -c:v libx264 -g 12 " + extra + " -f h264 " + tu::q(f));
  return f;
}

std::string make_m2v(const std::string& name) {
  std::string f = tu::scratch(name);
  tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -t 2 -c:v mpeg2video -g 12 -bf 2 -f mpeg2video " + tu::q(f));
  return f;
}

}  // namespace

// ------------------------------------------------------------------ command line

TEST(CommandLine, BannerVersionAndUsage) {
  tu::RunResult r = tu::ostrel("");
  EXPECT_EQ(r.status, 0);
  auto ls = tu::lines(r.out);
  ASSERT_EQ(ls.size(), 2u) << r.out;
  EXPECT_EQ(ls[0].rfind("Ostrel 2053.0.0.502", 0), 0u);
  EXPECT_EQ(ls[1], "Refer to the section \"Command line\" of README.md, or run ostrel -h, for the options.");

  r = tu::ostrel("-version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Ostrel 2053.0.0.502 (64 bit)\n");

  const std::string usage = "ERROR: -i/-mpls and -o options must be present\n";
  std::string es = make_h264("a.264");
  r = tu::ostrel("-i " + tu::q(es));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, usage);
  r = tu::ostrel("-o " + tu::q(tu::scratch("x")));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, usage);
  // An unknown option is skipped, the next argument examined as an option.
  r = tu::ostrel("-q -o " + tu::q(tu::scratch("x")) + " 2>/dev/null");
  EXPECT_EQ(r.out, usage);
}

// Each argument that is not understood is named on standard error and
// skipped, with the status and index of the run without it; a longer word
// that begins with an option's name is that option. -h and --help list the
// options, one line each, and end the run with 0.
TEST(CommandLine, UnknownOptionsAreNamedAndHelpListsTheOptions) {
  const std::string es = make_h264("a.264"), dir = tu::scratch("");
  tu::run("cd " + tu::q(dir) + " && rm -f plain.kwi same.kwi y.kwi");
  const auto note = [](const std::string& word) {
    return "WARNING: the option \"" + word + "\" is not understood and is ignored (ostrel -h lists the options).\n";
  };
  const std::string usage = "ERROR: -i/-mpls and -o options must be present\n";
  const struct {
    std::string args, errors, out;
    int status;
  } rows[] = {
      {"-q -o x", note("-q"), usage, 1},
      {"-agn 2 -o x", note("-agn") + note("2"), usage, 1},
      {"-angle 2 -o x", "", usage, 1},
      {"-q ''", note("-q") + note(""), usage, 1},
      {"-i a.264 -zz -o plain 7", note("-zz") + note("7"), "", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const std::string run = "cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " " + row.args;
    const tu::RunResult errors = tu::run(run + " 2>&1 >/dev/null");
    EXPECT_EQ(errors.status, row.status);
    EXPECT_EQ(errors.out, row.errors);
    const tu::RunResult out = tu::run(run + " 2>/dev/null");
    EXPECT_EQ(out.status, row.status);
    if (row.status != 0) {
      EXPECT_EQ(out.out, row.out);
    }
  }
  // The index is the one of the same run without the unknown words.
  ASSERT_EQ(tu::run("cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " -i a.264 -o same").status, 0);
  ASSERT_TRUE(tu::exists(dir + "plain.kwi"));
  EXPECT_EQ(tu::kwi_lines(dir + "plain.kwi"), tu::kwi_lines(dir + "same.kwi"));

  const std::vector<std::string> options = {"-i",   "-o",    "-v",    "-p",       "-at",
                                            "-ang", "-mpls", "-disk", "-version", "-h,"};
  for (const std::string help : {"-h", "--help", "-i a.264 -h -o y"}) {
    SCOPED_TRACE(help);
    const std::string run = "cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " " + help;
    const tu::RunResult errors = tu::run(run + " 2>&1 >/dev/null");
    EXPECT_EQ(errors.status, 0);
    EXPECT_EQ(errors.out, "");
    const tu::RunResult r = tu::run(run + " 2>/dev/null");
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> first;
    for (const std::string& line : tu::lines(r.out)) {
      if (line.rfind("  -", 0) != 0) continue;
      std::istringstream words(line);
      first.emplace_back();
      words >> first.back();
    }
    EXPECT_EQ(first, options) << r.out;
    EXPECT_NE(r.out.find("--help"), std::string::npos);
    EXPECT_FALSE(tu::exists(dir + "y.kwi"));
  }
}

TEST(CommandLine, OptionWithoutValueIsAUsageError) {
  for (const char* opt : {"-o", "-i", "-v", "-p", "-ang", "-at", "-mpls", "-disk"}) {
    tu::RunResult r = tu::ostrel(opt);
    EXPECT_EQ(r.status, 1) << opt << ": " << r.out;
    EXPECT_NE(r.out.find("ERROR"), std::string::npos) << opt << ": " << r.out;
  }
}

TEST(CommandLine, InputErrors) {
  // The file is named, with the system's reason.
  const std::string missing = tu::scratch("missing.ts");
  tu::RunResult r = tu::ostrel("-i " + tu::q(missing) + " -o x");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERROR: cannot open the input file " + missing + ": No such file or directory\n");

  std::string small = tu::scratch("small.bin");
  tu::write_file(small, std::vector<uint8_t>(63, 0x47));
  r = tu::ostrel("-i " + tu::q(small) + " -o " + tu::q(tu::scratch("o")));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Not a video file (length < 64 bytes).\n");

  std::string longname(2100, 'n');
  r = tu::ostrel("-i " + longname + " -o x");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("too long"), std::string::npos) << r.out;

  // More inputs than the file table holds are refused, not overflowed.
  std::string es = make_h264("a.264");
  std::string many;
  for (int i = 0; i < 2501; i++) many += " a.264";
  r = tu::run("cd " + tu::q(tu::scratch("")) + " && " + tu::q(OSTREL_BIN) + " -i" + many + " -o o");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("too many input files"), std::string::npos) << r.out.substr(0, 200);
}

TEST(CommandLine, ZeroFilledPlaylistIsRefused) {
  std::string o = tu::q(tu::scratch("o"));
  std::string mpls = tu::scratch("00000.mpls");
  tu::write_file(mpls, std::vector<uint8_t>(100, 0));
  tu::RunResult r = tu::ostrel("-i " + tu::q(mpls) + " -o " + o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Not an MPLS file!\n");
}

TEST(CommandLine, UnknownDataAndMpeg1AreRefused) {
  std::string junk = tu::scratch("junk.bin");
  std::vector<uint8_t> bytes(100000);
  uint32_t x = 12345;
  for (auto& b : bytes) {
    x = x * 1103515245 + 12345;
    b = static_cast<uint8_t>(x >> 24);
  }
  // No byte pattern of a start code at all.
  for (size_t i = 0; i + 2 < bytes.size(); i++)
    if (bytes[i] == 0 && bytes[i + 1] == 0) bytes[i + 1] = 7;
  tu::write_file(junk, bytes);
  tu::RunResult r = tu::ostrel("-i " + tu::q(junk) + " -o " + tu::q(tu::scratch("o")));
  EXPECT_EQ(r.status, 1) << r.out;

  // Start codes but none of a known video type.
  for (size_t i = 0; i + 4 < bytes.size(); i += 1000) {
    bytes[i] = 0;
    bytes[i + 1] = 0;
    bytes[i + 2] = 1;
    bytes[i + 3] = 0x40;
  }
  tu::write_file(junk, bytes);
  r = tu::ostrel("-i " + tu::q(junk) + " -o " + tu::q(tu::scratch("o")));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Unknown video type. Exiting...\n");

  std::string m1v = tu::scratch("a.m1v"), mpg = tu::scratch("a.mpg");
  tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -t 1 -c:v mpeg1video -f mpeg1video " + tu::q(m1v));
  tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -t 1 -c:v mpeg1video -f mpeg " + tu::q(mpg));
  for (const std::string& f : {m1v, mpg}) {
    r = tu::ostrel("-i " + tu::q(f) + " -o " + tu::q(tu::scratch("o")));
    EXPECT_EQ(r.status, 1) << f;
    EXPECT_EQ(r.out, "MPEG1 video not supported.\n") << f;
  }
}

TEST(CommandLine, ScriptFromTemplateNamesTheIndex) {
  std::string es = make_h264("a.264");
  // The template's folder name holds a blank: the value is taken whole.
  tu::run("mkdir -p " + tu::q(tu::scratch("My Scripts")));
  std::string tpl = tu::scratch("My Scripts/t.vpy");
  std::string longline(3000, 'x');
  // Build the template by hand: a short line, a long line with the key at
  // the 1023-byte piece boundary, and a last line without a line feed.
  std::string text = "src = \"__vid__\"\n" + longline.substr(0, 1020) + "__vid__" + longline + "\n__vid__";
  tu::write_file(tpl, std::vector<uint8_t>(text.begin(), text.end()));
  std::string dir = tu::scratch("");
  tu::run("rm -f " + tu::q(dir) + "*.vpy");
  tu::RunResult r = tu::run("cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " -i a.264 -o movie -at " + tu::q(tpl));
  auto want = [&](const std::string& index) {
    const std::string idx = dir + index + ".kwi";
    return "src = \"" + idx + "\"\n" + longline.substr(0, 1020) + idx + longline + "\n" + idx;
  };
  EXPECT_EQ(tu::read_text(dir + "movie.vpy"), want("movie")) << r.out;
  // Double quotes around the value are removed.
  r = tu::run("cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " -i a.264 -o quoted -at " + tu::q('"' + tpl + '"'));
  EXPECT_EQ(tu::read_text(dir + "quoted.vpy"), want("quoted")) << r.out;

  // A template that cannot be opened, or that is a folder: the index is
  // written, the run says why no script appears, and ends with status 1.
  r = tu::run("cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " -i a.264 -o other -at /nonexistent/t.vpy");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Could not open the template /nonexistent/t.vpy: no script will be written."), std::string::npos)
      << r.out;
  EXPECT_TRUE(tu::exists(dir + "other.kwi"));
  EXPECT_FALSE(tu::exists(dir + "other.vpy"));
  const std::string unreadable = dir + "unreadable.vpy";
  tu::write_file(unreadable, std::vector<uint8_t>(text.begin(), text.end()));
  chmod(unreadable.c_str(), 0);
  // (Root reads a file of mode 0 all the same.)
  if (geteuid() != 0) {
    r = tu::run("cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " -i a.264 -o unread -at " + tu::q(unreadable));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Could not open the template " + unreadable + ": no script will be written."),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(tu::exists(dir + "unread.kwi"));
    EXPECT_FALSE(tu::exists(dir + "unread.vpy"));
  }
  chmod(unreadable.c_str(), 0600);
  EXPECT_EQ(tu::read_text(unreadable), text);
  tu::run("rm -rf " + tu::q(dir + "tfolder.vpy") + " && mkdir " + tu::q(dir + "tfolder.vpy"));
  r = tu::run("cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " -i a.264 -o infolder -at " +
              tu::q(dir + "tfolder.vpy"));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("The template " + dir + "tfolder.vpy is a folder: no script will be written.\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(tu::exists(dir + "infolder.kwi"));
  EXPECT_FALSE(tu::exists(dir + "infolder.vpy"));

  // A template that is the index or the report the run writes (by its own
  // name or through a link), or whose script would be one of them: refused
  // before anything is written, the template byte for byte.
  struct Clash {
    const char* index;  // -o
    std::string tpl;    // -at, made from text unless it exists
    std::string message;
  };
  tu::run("rm -f " + tu::q(dir) + "clash*");
  const std::string tpl_kwi = dir + "clash.kwi", tpl_log = dir + "clash2.log";
  tu::write_file(dir + "clash3.log", std::vector<uint8_t>(text.begin(), text.end()));
  tu::run("ln -s clash3.log " + tu::q(dir + "clash_soft.vpy") + " && ln " + tu::q(dir + "clash3.log") + " " +
          tu::q(dir + "clash_hard.vpy"));
  const std::string kwi_elsewhere = tu::scratch("My Scripts/t.kwi"), log_elsewhere = tu::scratch("My Scripts/t.log");
  const Clash clashes[] = {
      {"clash", tpl_kwi, "ERROR: the template " + tpl_kwi + " is the index " + tpl_kwi + " that this run writes"},
      {"clash2", tpl_log, "ERROR: the template " + tpl_log + " is the report " + tpl_log + " that this run writes"},
      {"clash3", dir + "clash_soft.vpy",
       "ERROR: the template " + dir + "clash_soft.vpy is the report " + dir + "clash3.log that this run writes"},
      {"clash3", dir + "clash_hard.vpy",
       "ERROR: the template " + dir + "clash_hard.vpy is the report " + dir + "clash3.log that this run writes"},
      {"clash4", kwi_elsewhere,
       "ERROR: the script " + dir + "clash4.kwi is the index " + dir + "clash4.kwi that this run writes: nothing is "
       "written.\n"},
      {"clash5", log_elsewhere,
       "ERROR: the script " + dir + "clash5.log is the report " + dir + "clash5.log that this run writes: nothing is "
       "written.\n"},
  };
  for (const Clash& c : clashes) {
    SCOPED_TRACE(c.tpl);
    if (!tu::exists(c.tpl)) tu::write_file(c.tpl, std::vector<uint8_t>(text.begin(), text.end()));
    r = tu::run("cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " -i a.264 -o " + c.index + " -at " + tu::q(c.tpl));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    if (c.message.rfind("ERROR: the template", 0) == 0) {
      EXPECT_NE(r.out.find(": nothing is written, and the template is left as it was.\n"), std::string::npos)
          << r.out;
    }
    EXPECT_EQ(tu::read_text(c.tpl), text);
    // Nothing written: no index, no report, no script.
    const std::string base = dir + c.index;
    for (const char* ext : {".kwi", ".log", ".vpy"})
      EXPECT_TRUE(base + ext == c.tpl || base + ext == dir + "clash3.log" || !tu::exists(base + ext)) << ext;
  }

  // A script that would be the template itself, by its own name, through a
  // symbolic link or a hard link: refused, the template stays byte for
  // byte, the index is whole (the run failed after it, as when a chapters
  // file cannot be written).
  const std::string own = dir + "own.vpy";
  tu::write_file(own, std::vector<uint8_t>(text.begin(), text.end()));
  tu::run("ln -sf own.vpy " + tu::q(dir + "soft.vpy") + " && ln -f " + tu::q(own) + " " + tu::q(dir + "hard.vpy"));
  for (const char* index : {"own", "soft", "hard"}) {
    SCOPED_TRACE(index);
    std::remove((dir + index + ".kwi").c_str());
    r = tu::run("cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " -i a.264 -o " + index + " -at " + tu::q(own));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("ERROR: the script " + dir + index + ".vpy is the template " + own +
                         " itself: no script is written, and the template is left as it was.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(tu::read_text(own), text);
    EXPECT_TRUE(tu::exists(dir + index + ".kwi"));
  }
  // The template named through the link: the script (own.vpy) is its target.
  r = tu::run("cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " -i a.264 -o own -at " + tu::q(dir + "soft.vpy"));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("is the template " + dir + "soft.vpy itself"), std::string::npos) << r.out;
  EXPECT_EQ(tu::read_text(own), text);

  // A script that cannot be written (a folder holds its name) fails the run.
  tu::run("mkdir -p " + tu::q(dir + "folder.vpy"));
  r = tu::run("cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " -i a.264 -o folder -at " + tu::q(tpl));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("ERROR: the script " + dir + "folder.vpy cannot be written ("), std::string::npos) << r.out;
  EXPECT_TRUE(tu::exists(dir + "folder.kwi"));
}

TEST(CommandLine, IndexNamesAndInputList) {
  std::string es = make_h264("a.264");
  std::string dir = tu::scratch("");
  tu::write_file(dir + "b c.264", tu::read_file(es));
  auto in_dir = [&](const std::string& args) { return tu::run("cd " + tu::q(dir) + " && " + tu::q(OSTREL_BIN) + " " + args); };

  // Relative names become absolute; ".kwi" is appended; a name with a blank
  // stands whole before its size.
  tu::RunResult r = in_dir("-i a.264 'b c.264' -o movie");
  ASSERT_EQ(r.status, 0) << r.out;
  auto kwi = tu::kwi_lines(dir + "movie.kwi");
  ASSERT_GT(kwi.size(), 6u);
  const std::string size = std::to_string(tu::read_file(es).size());
  EXPECT_EQ(kwi[0], "KWAVCIndexFileNV100 Ostrel 2053.0.0.502 X64");
  EXPECT_EQ(kwi[1].back(), '/');
  EXPECT_EQ(kwi[2], "");
  EXPECT_EQ(kwi[3], dir + "a.264 " + size);
  EXPECT_EQ(kwi[4], dir + "b c.264 " + size);
  EXPECT_EQ(kwi[5], "");
  EXPECT_EQ(kwi[6], "DEVICE 0");
  EXPECT_TRUE(tu::exists(dir + "movie.log"));

  // An upper-case extension gets no second one; the report drops it.
  r = in_dir("-o other.KWI -i " + tu::q(dir + "a.264"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(tu::exists(dir + "other.KWI"));
  EXPECT_FALSE(tu::exists(dir + "other.KWI.kwi"));
  EXPECT_TRUE(tu::exists(dir + "other.log"));
  EXPECT_EQ(tu::kwi_lines(dir + "other.KWI")[3], dir + "a.264 " + size);

  // The video PID value is hexadecimal: 1011 is PID 0x1011.
  std::string ts = dir + "pid.ts";
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -t 1 -c:v libx264 -mpegts_start_pid 0x1011 "
                         "-f mpegts " + tu::q(ts)));
  r = in_dir("-v 1011 -i pid.ts -o pid");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tu::kwi_with(tu::kwi_lines(dir + "pid.kwi"), "VPID"), std::vector<std::string>{"VPID 4113"});

  // An index that cannot be created is a failed run.
  r = in_dir("-i a.264 -o " + tu::q(dir + "no/such/folder/x"));
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("Error opening index file"), std::string::npos) << r.out;
}

// ------------------------------------------------------------------ unit reader

TEST(UnitReader, ElementaryStreamMatchesStartCodeScan) {
  std::string es = make_h264("a.264", "-bf 2");
  auto bytes = tu::read_file(es);
  auto got = unitdump(tu::q(es));
  auto want = expected_units(bytes, true);
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(want[0].prefix, 4);
  EXPECT_EQ(want[0].pos, 0u);
  EXPECT_EQ(got, want);

  std::string m2v = make_m2v("a.m2v");
  EXPECT_EQ(unitdump(tu::q(m2v)), expected_units(tu::read_file(m2v), false));
}

TEST(UnitReader, GarbageBeforeFirstStartCodeAndShortTail) {
  std::string es = make_h264("a.264");
  auto bytes = tu::read_file(es);
  std::vector<uint8_t> junk = {0x12, 0x34, 0x56, 0x01, 0x00, 0x01, 0x02};
  bytes.insert(bytes.begin(), junk.begin(), junk.end());
  // A trailing 4-byte unit is dropped, a 5-byte one is kept.
  std::vector<uint8_t> four = bytes, five = bytes;
  for (uint8_t b : {0, 0, 1, 9}) four.push_back(b);
  for (uint8_t b : {0, 0, 1, 9, 0x10}) five.push_back(b);
  std::string f4 = tu::scratch("four.264"), f5 = tu::scratch("five.264");
  tu::write_file(f4, four);
  tu::write_file(f5, five);
  auto w4 = expected_units(four, true);
  auto g4 = unitdump(tu::q(f4));
  EXPECT_EQ(g4, w4);
  EXPECT_EQ(g4.front().pos, junk.size());
  auto g5 = unitdump(tu::q(f5));
  ASSERT_FALSE(g5.empty());
  EXPECT_EQ(g5.back().len, 5u);
  EXPECT_EQ(g5.back().pos, five.size() - 5);
}

TEST(UnitReader, SplitInputsGiveTheSameUnits) {
  std::string es = make_h264("a.264", "-b:v 400k");
  auto bytes = tu::read_file(es);
  ASSERT_GT(bytes.size(), 40000u);
  auto sc = tu::scan_start_codes(bytes);
  ASSERT_GT(sc.size(), 10u);
  ASSERT_LT(sc[5].pos + 1, 16384u);
  // Cut inside a start code (after its first 00), exactly at a 16384-byte
  // block boundary, and at an odd offset; add an empty file in the middle.
  std::vector<size_t> cuts = {static_cast<size_t>(sc[5].pos + 1), 16384, 16384 + 16384 + 7};
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); i++) {
    size_t to = i < cuts.size() ? cuts[i] : bytes.size();
    std::string p = tu::scratch("part" + std::to_string(i));
    tu::write_file(p, std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + to));
    parts.push_back(p);
    if (i == 1) {
      std::string empty = tu::scratch("empty");
      tu::write_file(empty, {});
      parts.push_back(empty);
    }
    from = to;
  }
  std::string args;
  for (auto& p : parts) args += " " + tu::q(p);
  std::string units_out = tu::scratch("units.out");
  EXPECT_EQ(unitdump("-w " + tu::q(units_out) + args), expected_units(bytes, true));
  EXPECT_EQ(tu::read_file(units_out), bytes);
}

// ------------------------------------------------------------------ program streams

// Checks that every unit position in a multiplexed file points at the first
// 00 of its start code, and that the unit bytes equal ffmpeg's demux.
static void check_ps(const std::string& ps, const std::string& es_format, bool avc) {
  std::string units_out = ps + ".units", es = ps + ".es";
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(ps) + " -map 0:v -c copy -f " + es_format + " " + tu::q(es)));
  auto es_bytes = tu::read_file(es);
  auto got = unitdump("-w " + tu::q(units_out) + " " + tu::q(ps));
  auto want = expected_units(es_bytes, avc);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); i++) {
    EXPECT_EQ(got[i].code, want[i].code) << i;
    EXPECT_EQ(got[i].len, want[i].len) << i;
  }
  auto units = tu::read_file(units_out);
  size_t skip = tu::scan_start_codes(es_bytes).front().pos - (want[0].prefix == 4 ? 1 : 0);
  EXPECT_TRUE(std::equal(units.begin(), units.end(), es_bytes.begin() + static_cast<long>(skip)))
      << "unit bytes differ from the demuxed stream";
  EXPECT_EQ(units.size(), es_bytes.size() - skip);
  auto file = tu::read_file(ps);
  int contiguous = 0;
  for (const Unit& u : got) {
    ASSERT_LT(u.pos + 3, file.size());
    EXPECT_EQ(file[u.pos], 0) << "unit at " << u.pos;
    if (file[u.pos + u.prefix - 3] == 0 && file[u.pos + u.prefix - 2] == 0 && file[u.pos + u.prefix - 1] == 1 &&
        file[u.pos + u.prefix] == u.code)
      contiguous++;
  }
  EXPECT_GT(contiguous, static_cast<int>(got.size()) / 2);
}

TEST(ProgramStream, Mpeg2AndH264InVob) {
  std::string vob = tu::scratch("a.vob");
  tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=f=440:d=2 -t 2 -c:v mpeg2video -g 12 "
             "-c:a mp2 -f vob " + tu::q(vob));
  check_ps(vob, "mpeg2video", false);

  std::string vob264 = tu::scratch("b.vob");
  tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=f=440:d=2 -t 2 -c:v libx264 -g 12 "
             "-c:a mp2 -f vob " + tu::q(vob264));
  check_ps(vob264, "h264", true);
}

TEST(ProgramStream, Mpeg1SystemStreamWithMpeg2Video) {
  std::string mpg = tu::scratch("a.mpg");
  tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -t 2 -c:v mpeg2video -g 12 -f mpeg " + tu::q(mpg));
  check_ps(mpg, "mpeg2video", false);
}

// Builds a program stream byte by byte.
struct PsWriter {
  std::vector<uint8_t> b;
  void pack_mpeg2() {
    // 00 00 01 BA, '01' SCR with markers, mux rate with markers, stuffing 0.
    for (uint8_t x : {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8}) b.push_back(x);
  }
  void pes(uint8_t id, const std::vector<uint8_t>& payload, int header_len = 0, int claimed_header_len = -1) {
    size_t L = 3 + header_len + payload.size();
    for (uint8_t x : {uint8_t(0), uint8_t(0), uint8_t(1), id, uint8_t(L >> 8), uint8_t(L)}) b.push_back(x);
    b.push_back(0x80);
    b.push_back(0x00);
    b.push_back(static_cast<uint8_t>(claimed_header_len >= 0 ? claimed_header_len : header_len));
    for (int i = 0; i < header_len; i++) b.push_back(0xFF);
    b.insert(b.end(), payload.begin(), payload.end());
  }
  void raw(uint8_t id, const std::vector<uint8_t>& payload) {
    size_t L = payload.size();
    for (uint8_t x : {uint8_t(0), uint8_t(0), uint8_t(1), id, uint8_t(L >> 8), uint8_t(L)}) b.push_back(x);
    b.insert(b.end(), payload.begin(), payload.end());
  }
};

TEST(ProgramStream, NonVideoPacketsAndBadHeadersDeliverNothing) {
  // Video: one sequence header unit and a slice unit (MPEG-2 codes), with a
  // start code split across two PES packets.
  std::vector<uint8_t> v1 = {0, 0, 1, 0xB3, 0x0A, 0x00, 0x78, 0x13, 0xFF, 0xFF, 0xE0, 0x18, 0x00, 0x00};
  std::vector<uint8_t> v2 = {1, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0F, 0xFF, 0xF8};
  std::vector<uint8_t> audio(300, 0x55);
  // Bytes that look like a video PES and a sequence header inside audio.
  std::vector<uint8_t> fake = {0, 0, 1, 0xE0, 0, 20, 0x80, 0, 0, 0, 0, 1, 0xB3, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  std::copy(fake.begin(), fake.end(), audio.begin() + 100);
  PsWriter w;
  w.pack_mpeg2();
  w.pes(0xE0, v1, 5);
  w.raw(0xC0, audio);
  w.raw(0xBD, audio);
  w.raw(0xBE, std::vector<uint8_t>(4000, 0xFF));
  // A header that claims more bytes than the packet holds delivers nothing.
  w.pes(0xE0, {0, 0, 1, 0xB8, 1, 2, 3, 4}, 2, 200);
  w.pack_mpeg2();
  w.pes(0xE0, v2, 0);
  for (int i = 0; i < 10; i++) w.pack_mpeg2();
  std::string f = tu::scratch("hand.mpg");
  tu::write_file(f, w.b);
  std::string units_out = tu::scratch("units.out");
  auto got = unitdump("-w " + tu::q(units_out) + " " + tu::q(f));
  std::vector<uint8_t> es = v1;
  es.insert(es.end(), v2.begin(), v2.end());
  EXPECT_EQ(tu::read_file(units_out), es);
  ASSERT_EQ(got.size(), 3u);
  // The extension's start code begins in the first packet: its position is
  // that of its first 00 there.
  size_t first_payload = 14 + 9 + 5;
  EXPECT_EQ(got[0].pos, first_payload);
  EXPECT_EQ(got[1].pos, first_payload + 12);
  EXPECT_EQ(got[1].code, 0xB5u);
  EXPECT_EQ(w.b[got[2].pos], 0);
  EXPECT_EQ(w.b[got[2].pos + 3], 0x00);
}

// ------------------------------------------------------------------ damage

TEST(Damage, TruncatedAndOversizedInputs) {
  std::string vob = tu::scratch("a.vob");
  tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -t 2 -c:v mpeg2video -f vob " + tu::q(vob));
  auto bytes = tu::read_file(vob);
  for (size_t cut : {size_t(100), bytes.size() / 3, bytes.size() - 1}) {
    std::string f = tu::scratch("cut" + std::to_string(cut) + ".vob");
    tu::write_file(f, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
    tu::RunResult r;
    unitdump(tu::q(f), &r);
    EXPECT_LE(r.status, 1) << cut;
  }

  // One unit larger than the unit buffer is an error, not an overrun.
  std::vector<uint8_t> big(10000000 + 4096, 0x11);
  const uint8_t sps[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0x0A};
  std::copy(sps, sps + sizeof sps, big.begin());
  std::string f = tu::scratch("big.264");
  tu::write_file(f, big);
  tu::RunResult r = tu::ostrel("-i " + tu::q(f) + " -o " + tu::q(tu::scratch("o")));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Error while getting the Annex B NALU, exit"), std::string::npos) << r.out;
}

TEST(UnitReader, StartCodesAcrossReadBlocks) {
  // Filler units sized so that start codes straddle the first read blocks
  // (the 01 byte, or both 00 01, in the next block) of a large stream.
  std::string es = make_h264("a.264");
  auto clip = tu::read_file(es);
  for (size_t block : {size_t(1) << 20, size_t(16384)}) {
    for (size_t shift : {1, 2, 3}) {
      // One filler unit: 00 00 01 0C FF ... FF 80, ending so that the next
      // start code begins `shift` bytes before the block boundary.
      size_t target = block - shift;
      std::vector<uint8_t> bytes = {0, 0, 0, 1, 0x0C};
      while (bytes.size() + 1 < target) bytes.push_back(0xFF);
      bytes.push_back(0x80);
      bytes.insert(bytes.end(), clip.begin() + 1, clip.end());  // clip starts 00 00 00 01
      ASSERT_EQ(bytes[target], 0);
      ASSERT_EQ(bytes[target + 2], 1);
      std::string f = tu::scratch("blocks.264");
      tu::write_file(f, bytes);
      std::string units_out = tu::scratch("units.out");
      EXPECT_EQ(unitdump("-w " + tu::q(units_out) + " " + tu::q(f)), expected_units(bytes, true)) << block << " " << shift;
      EXPECT_EQ(tu::read_file(units_out), bytes);
    }
  }
}

TEST(UnitReader, DenseStartCodesAtEveryOffset) {
  // Bytes drawn mostly from 00 and 01 put start codes (and near misses such
  // as 00 00 00 01 and 00 00 02) at every offset within the reader's scan
  // blocks; the reference is an independent scan of the same bytes.
  const uint8_t alphabet[] = {0x00, 0x00, 0x00, 0x01, 0x01, 0x02, 0x41, 0x65, 0xFF};
  uint32_t x = 2024;
  std::vector<uint8_t> bytes = {0, 0, 0, 1, 0x65};
  while (bytes.size() < 300000) {
    x = x * 1664525 + 1013904223;
    bytes.push_back(alphabet[(x >> 16) % sizeof alphabet]);
  }
  std::string f = tu::scratch("dense.264");
  tu::write_file(f, bytes);
  std::string units_out = tu::scratch("units.out");
  auto want = expected_units(bytes, true);
  ASSERT_GT(want.size(), 5000u);
  EXPECT_EQ(unitdump("-w " + tu::q(units_out) + " " + tu::q(f)), want);
  EXPECT_EQ(tu::read_file(units_out), bytes);
}
