// Blu-ray playlists end to end: a title indexed through its playlist, the
// angle choice, the chapters file, the clip information check, the disc
// listing, and playlists that break their own counts and lengths.
// References: what the test's playlist writer put in (clips, times, marks,
// with the expected texts worked out by hand), the clips' own sizes, the
// index of the same clips given with -i, and for the shared real disc the
// report of an independent disc analyser.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "mpls.h"
#include "mpls_writer.h"
#include "testutil.h"

namespace {

using mplsw::item;
using mplsw::kTicks;
using mplsw::Mark;

// Four short M2TS clips, made once per test program.
const std::vector<std::string>& clips() {
  static const std::vector<std::string> made = [] {
    std::vector<std::string> v;
    const char* sources[] = {"testsrc", "testsrc2", "smptebars", "rgbtestsrc"};
    for (int i = 0; i < 4; i++) {
      std::string f = tu::scratch(std::string("clip") + char('0' + i) + ".m2ts");
      tu::ffmpeg(std::string("-f lavfi -i ") + sources[i] +
                 "=size=160x120:rate=25 -t 0.4 -c:v libx264 -g 5 -bf 2 -f mpegts -mpegts_m2ts_mode 1 " + tu::q(f));
      v.push_back(f);
    }
    return v;
  }();
  return made;
}

// A disc folder "<name>/BDMV" with the playlists, links to the four clips as
// STREAM/00000.m2ts .. 00003.m2ts, and their clip information files.
struct Disc {
  std::string root;
  std::string playlist(const std::string& n) const { return root + "/BDMV/PLAYLIST/" + n + ".mpls"; }
  std::string clip(const std::string& n) const { return root + "/BDMV/STREAM/" + n + ".m2ts"; }
};
Disc make_disc(const std::string& name, const std::map<std::string, std::vector<uint8_t>>& playlists,
               bool clip_info = true) {
  Disc d{tu::scratch(name)};
  tu::run("rm -rf " + tu::q(d.root) + " && mkdir -p " + tu::q(d.root + "/BDMV/PLAYLIST") + " " + tu::q(d.root + "/BDMV/STREAM") + " " +
          tu::q(d.root + "/BDMV/CLIPINF"));
  for (const auto& p : playlists) tu::write_file(d.playlist(p.first), p.second);
  for (int i = 0; i < 4; i++) {
    const std::string n = std::string("0000") + char('0' + i);
    tu::run("ln -sf " + tu::q(clips()[i]) + " " + tu::q(d.clip(n)));
    if (clip_info) tu::write_file(d.root + "/BDMV/CLIPINF/" + n + ".clpi", mplsw::clip_info());
  }
  return d;
}

// The input list of an index file: the names of the lines between the head
// and the first empty line after it.
std::vector<std::string> input_names(const std::vector<std::string>& kwi) {
  std::vector<std::string> v;
  for (size_t i = 3; i < kwi.size() && !kwi[i].empty(); i++) v.push_back(kwi[i].substr(0, kwi[i].rfind(' ')));
  return v;
}

std::string size_of(const std::string& path) { return std::to_string(tu::read_file(path).size()); }

}  // namespace

// ------------------------------------------------------------------ titles

TEST(Playlist, ClipsInPlayOrderIndexLikeTheFilesGivenWithI) {
  // Item 0 lasts 1800.5 s, item 1 25 h; the marks test the title time line,
  // link points, the rounding to milliseconds and hours past a day.
  const std::vector<mplsw::Item> items = {item("00002", 1800.5, 20 * kTicks), item("00000", 90000),
                                          item("00001", 10, kTicks)};
  const std::vector<Mark> marks = {{1, 0, 20 * kTicks},
                                   {2, 1, 0},
                                   {1, 1, 0},
                                   {1, 1, static_cast<uint32_t>(59.5 * kTicks) - 1},
                                   {1, 2, kTicks + kTicks / 4},
                                   {2, 2, 2 * kTicks}};
  Disc d = make_disc("disc", {{"00000", mplsw::playlist(items, marks).bytes}});
  const std::string out = d.root + "/title";
  tu::RunResult r = tu::ostrel("-i " + tu::q(d.playlist("00000")) + " -o " + tu::q(out));
  ASSERT_EQ(r.status, 0) << r.out;
  const auto kwi = tu::kwi_lines(out + ".kwi");
  const std::vector<std::string> order = {d.clip("00002"), d.clip("00000"), d.clip("00001")};
  EXPECT_EQ(input_names(kwi), order);
  EXPECT_EQ(kwi[3], order[0] + " " + size_of(clips()[2]));
  EXPECT_EQ(r.out.find("CLPI"), std::string::npos) << r.out;

  r = tu::ostrel("-i " + tu::q(order[0]) + " " + tu::q(order[1]) + " " + tu::q(order[2]) + " -o " +
                 tu::q(d.root + "/files"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(kwi, tu::kwi_lines(d.root + "/files.kwi"));
  EXPECT_FALSE(tu::exists(d.root + "/files.chapters.txt"));

  EXPECT_EQ(tu::read_text(out + ".chapters.txt"),
            "CHAPTER01=00:00:00.000\nCHAPTER01NAME=\n"
            "CHAPTER02=00:30:00.500\nCHAPTER02NAME=\n"
            "CHAPTER03=00:31:00.000\nCHAPTER03NAME=\n"
            "CHAPTER04=25:30:00.750\nCHAPTER04NAME=\n");
}

TEST(Playlist, AngleChoice) {
  // Items: plain 00000; 3 angles 00001 / 00002 / 00003; plain 00002; 2 angles 00003 / 00000.
  const std::vector<mplsw::Item> items = {item("00000", 1), item("00001", 1, 0, {"00002", "00003"}),
                                          item("00002", 1), item("00003", 1, 0, {"00000"})};
  // The folder's name holds "mpls": the value is cut after the extension only.
  Disc d = make_disc("mplsdisc", {{"00001", mplsw::playlist(items, {{1, 0, 0}}).bytes}});
  const std::string rel = "BDMV/PLAYLIST/00001.mpls", abs = tu::q(d.playlist("00001"));
  struct Case {
    std::string args;
    std::vector<std::string> clips;
  };
  const Case cases[] = {
      {"-mpls " + rel, {"00000", "00001", "00002", "00003"}},
      {"-ang 1 -mpls " + abs, {"00000", "00001", "00002", "00003"}},
      {"-ang 2 -mpls " + rel, {"00000", "00002", "00002", "00000"}},
      // Angle 3 is beyond the last item's 2 angles: main path from there on.
      {"-ang 3 -mpls " + abs, {"00000", "00003", "00002", "00003"}},
      {"-ang 7 -mpls " + rel, {"00000", "00001", "00002", "00003"}},
      // An angle after the playlist, or with -i, is not taken.
      {"-mpls " + abs + " -ang 2", {"00000", "00001", "00002", "00003"}},
      {"-ang 2 -i " + rel, {"00000", "00001", "00002", "00003"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const std::string out = d.root + "/angle" + std::to_string(n++);
    tu::RunResult r = tu::run("cd " + tu::q(d.root) + " && " + tu::q(OSTREL_BIN) + " " + c.args + " -o " + tu::q(out));
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<std::string> want;
    for (const std::string& clip : c.clips) want.push_back(d.clip(clip));
    EXPECT_EQ(input_names(tu::kwi_lines(out + ".kwi")), want);
    // Only a playlist given with -i gets a chapters file.
    EXPECT_EQ(tu::exists(out + ".chapters.txt"), c.args.rfind("-ang 2 -i", 0) == 0);
  }
}

TEST(Playlist, ChaptersFileWithoutEntryMarks) {
  Disc d = make_disc("disc", {{"00000", mplsw::playlist({item("00000", 1)}, {}).bytes},
                              {"00001", mplsw::playlist({item("00000", 1)}, {{2, 0, 0}, {3, 0, 0}}).bytes}});
  for (const char* name : {"00000", "00001"}) {
    const std::string out = d.root + "/" + name;
    tu::RunResult r = tu::ostrel("-i " + tu::q(d.playlist(name)) + " -o " + tu::q(out));
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_TRUE(tu::exists(out + ".chapters.txt"));
    EXPECT_EQ(tu::read_text(out + ".chapters.txt"), "");
  }
  // A chapters file that cannot be written fails the run; the index stays.
  const std::string out = d.root + "/blocked";
  tu::run("mkdir -p " + tu::q(out + ".chapters.txt"));
  tu::RunResult r = tu::ostrel("-i " + tu::q(d.playlist("00001")) + " -o " + tu::q(out));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Could not open chapters file for writing.\n"), std::string::npos) << r.out;
  EXPECT_TRUE(tu::exists(out + ".kwi"));
}

TEST(Playlist, ClipInformationAndMissingClips) {
  const std::vector<uint8_t> pl = mplsw::playlist({item("00001", 1), item("00002", 1)}, {}).bytes;
  // No CLIPINF entries: reported with the path tried, and indexing goes on.
  Disc d = make_disc("bare", {{"00000", pl}}, false);
  tu::RunResult r = tu::ostrel("-i " + tu::q(d.playlist("00000")) + " -o " + tu::q(d.root + "/x"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Could not open the CLPI file [" + d.root + "/BDMV/CLIPINF/00001.clpi]\n."), std::string::npos)
      << r.out;
  EXPECT_EQ(input_names(tu::kwi_lines(d.root + "/x.kwi")).size(), 2u);

  // A clip information file of another kind.
  tu::write_file(d.root + "/BDMV/CLIPINF/00001.clpi", std::vector<uint8_t>(64, 'x'));
  r = tu::ostrel("-i " + tu::q(d.playlist("00000")) + " -o " + tu::q(d.root + "/y"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Not a CLPI file!\n"), std::string::npos) << r.out;

  // A clip that is not there: no index with a hole in it.
  tu::write_file(d.playlist("00009"), mplsw::playlist({item("00001", 1), item("00009", 1)}, {}).bytes);
  r = tu::ostrel("-i " + tu::q(d.playlist("00009")) + " -o " + tu::q(d.root + "/z"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERROR: cannot open the input file " + d.clip("00009") + "\nOpen error!\n");
  EXPECT_FALSE(tu::exists(d.root + "/z.kwi"));

  r = tu::ostrel("-mpls " + tu::q(d.root + "/BDMV/PLAYLIST/none.mpls") + " -o " + tu::q(d.root + "/z"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Could not open the MPLS file.\nOpen error!\n");
  tu::write_file(d.playlist("other"), std::vector<uint8_t>(100, 0));
  r = tu::ostrel("-i " + tu::q(d.playlist("other")) + " -o " + tu::q(d.root + "/z"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Not an MPLS file!\nOpen error!\n");
}

// ------------------------------------------------------------------ hostile playlists

TEST(Playlist, BrokenCountsAndLengthsAreRefused) {
  using mplsw::put16;
  using mplsw::put32;
  const mplsw::Image good = mplsw::playlist(
      {item("00000", 2), item("00001", 3, 0, {"00002", "00003"}), item("00002", 4)}, {{1, 0, 0}, {1, 2, 0}});
  const size_t item1 = good.items[1];
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* message;   // part of the message that names the fault
  };
  auto edit = [&](auto change) {
    std::vector<uint8_t> b = good.bytes;
    change(b);
    return b;
  };
  std::vector<mplsw::Item> many(2501, item("00000", 1));
  const Case cases[] = {
      {"header-cut-short", std::vector<uint8_t>(good.bytes.begin(), good.bytes.begin() + 12), "header is cut short"},
      {"playlist-address-beyond-file", edit([](auto& b) { put32(b, 8, 0xFFFFFFF0u); }), "PlayList_start_address"},
      {"playlist-length-beyond-file", edit([&](auto& b) { put32(b, good.list, 0x7FFFFFFF); }), "PlayList length"},
      {"item-count-beyond-items", edit([&](auto& b) { put16(b, good.list + 6, 0xFFFF); }), "play item 3 of 65535"},
      {"item-length-beyond-playlist", edit([&](auto& b) { put16(b, item1, 0xFFFF); }), "play item 1 of 3: length"},
      {"item-length-below-fixed-fields", edit([&](auto& b) { put16(b, item1, 20); }), "play item 1 of 3: length"},
      {"zero-angles", edit([&](auto& b) { b[item1 + 34] = 0; }), "0 angles"},
      {"angles-beyond-item", edit([&](auto& b) { b[item1 + 34] = 255; }), "255 angles"},
      {"out-before-in", edit([&](auto& b) { put32(b, item1 + 14, 5 * kTicks); }), "lies before IN_time"},
      {"clip-name-with-slash", edit([&](auto& b) { b[item1 + 4] = '/'; }), "0x2F"},
      {"clip-name-with-zero", edit([&](auto& b) { b[good.items[0] + 6] = 0; }), "0x00"},
      {"angle-clip-name-with-newline", edit([&](auto& b) { b[item1 + 46] = '\n'; }), "angle 3"},
      {"mark-address-beyond-file", edit([](auto& b) { put32(b, 12, 0xFFFFFFFFu); }), "PlayListMark_start_address"},
      {"mark-count-beyond-length", edit([&](auto& b) { put16(b, good.marks + 4, 0xFFFF); }), "65535 marks"},
      {"mark-length-beyond-file", edit([&](auto& b) { put32(b, good.marks, 0xFFFFFFFFu); }), "PlayListMark length"},
      {"mark-item-beyond-items", edit([&](auto& b) { put16(b, good.marks + 6 + 14 + 2, 3); }),
       "refers to play item 3 of 3"},
      {"no-play-items", mplsw::playlist({}, {}).bytes, "has no play items"},
      {"more-items-than-inputs", mplsw::playlist(many, {}).bytes, "at most 2500 can be indexed"},
  };
  Disc d = make_disc("hostile", {});
  std::vector<std::string> listing = {"no-play-items.m 00:00:00 [0 chapters]"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string pl = d.playlist(c.name);
    tu::write_file(pl, c.bytes);
    tu::RunResult r = tu::ostrel("-i " + tu::q(pl) + " -o " + tu::q(d.root + "/" + c.name));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Open error!\n"), std::string::npos) << r.out;
    EXPECT_FALSE(tu::exists(d.root + "/" + c.name + ".kwi"));
    if (r.out.rfind("Malformed MPLS file " + pl + ": ", 0) == 0) listing.push_back(tu::lines(r.out)[0]);
  }
  // The listing passes over the broken ones with the same message, and over
  // the long one for its repeated clip; the empty one lasts no time.
  tu::RunResult r = tu::ostrel("-disk " + tu::q(d.root));
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> got = tu::lines(r.out);
  std::sort(got.begin(), got.end());
  std::sort(listing.begin(), listing.end());
  EXPECT_EQ(got, listing);

  // Every cut of a good playlist fails cleanly in process (the sanitizer
  // build checks that no read leaves the image).
  for (size_t n = 0; n < good.bytes.size(); n++) {
    std::vector<uint8_t> cut(good.bytes.begin(), good.bytes.begin() + n);
    Mpls pl;
    std::string error;
    EXPECT_FALSE(ParseMPLS(cut.data(), cut.size(), &pl, &error)) << n;
    EXPECT_FALSE(error.empty()) << n;
  }
  Mpls pl;
  std::string error;
  ASSERT_TRUE(ParseMPLS(good.bytes.data(), good.bytes.size(), &pl, &error)) << error;
  ASSERT_EQ(pl.items.size(), 3u);
  EXPECT_EQ(pl.items[1].angle_clips, (std::vector<std::string>{"00002", "00003"}));
}

// ------------------------------------------------------------------ disc listing

TEST(DiscListing, LongestFirstWithChaptersAndAngles) {
  const std::vector<Mark> four = {{1, 0, 0}, {2, 0, kTicks}, {1, 1, 0}, {1, 1, kTicks}};
  Disc d = make_disc(
      "disc",
      {// 600.0 + 300.5 s, three entry marks and a link point
       {"00000", mplsw::playlist({item("00000", 600), item("00001", 300.5, kTicks)}, four).bytes},
       // 1:02:03 with 3 angles in its second item, 2 angles in its third
       {"00001", mplsw::playlist({item("00000", 3000), item("00001", 600, 0, {"00002", "00003"}),
                                  item("00002", 123, 0, {"00003"})},
                                 {{1, 0, 0}, {1, 2, 0}})
                     .bytes},
       // the same clip twice in a row: not a title
       {"00002", mplsw::playlist({item("00001", 5000), item("00001", 5000), item("00002", 1)}, {}).bytes},
       // 26 hours: hours are not wrapped
       {"00003", mplsw::playlist({item("00003", 93600)}, {{1, 0, 0}}).bytes},
       {"00005", mplsw::playlist({item("00003", 0)}, {}).bytes},
       // a mark that names a play item beyond the playlist's
       {"00004", mplsw::playlist({item("00000", 7000)}, {{1, 1, 0}}).bytes}});
  tu::write_file(d.root + "/BDMV/PLAYLIST/notes.txt", {'x'});
  const std::string want = "Malformed MPLS file " + d.playlist("00004") +
                           ": mark 0 refers to play item 1 of 1.\n"
                           "00003.mpls 26:00:00 [1 chapters]\n"
                           "00001.mpls 01:02:03 [2 chapters] [3 angles]\n"
                           "00000.mpls 00:15:00 [4 chapters]\n"
                           "00005.mpls 00:00:00 [0 chapters]\n";
  tu::RunResult r = tu::ostrel("-disk " + tu::q(d.root));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, want);
  r = tu::ostrel("-disk " + tu::q(d.root + "/BDMV"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, want);

  r = tu::ostrel("-disk " + tu::q(d.root + "/BDMV/STREAM"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, want);
  r = tu::ostrel("-disk " + tu::q(tu::scratch("nothing")));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

// ------------------------------------------------------------------ the shared real disc

TEST(SharedDisc, PlaylistIndexesLikeItsClip) {
  const std::string disc = std::string(SHARED_TESTDATA) + "/bluray/bbb_5s";
  if (!tu::exists(disc + "/BDMV/PLAYLIST/00000.mpls")) GTEST_SKIP() << "shared test data not present";
  const std::string out = tu::scratch("title"), direct = tu::scratch("clip");
  tu::RunResult r = tu::ostrel("-i " + tu::q(disc + "/BDMV/PLAYLIST/00000.mpls") + " -o " + tu::q(out));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("CLPI"), std::string::npos) << r.out;
  r = tu::ostrel("-i " + tu::q(disc + "/BDMV/STREAM/00000.m2ts") + " -o " + tu::q(direct));
  ASSERT_EQ(r.status, 0) << r.out;
  const auto kwi = tu::kwi_lines(out + ".kwi");
  EXPECT_GT(tu::kwi_pictures(kwi).size(), 100u);
  EXPECT_EQ(kwi, tu::kwi_lines(direct + ".kwi"));
  // The analyser's report: one chapter at 0:00:00.000, length 00:00:05.004.
  EXPECT_EQ(tu::read_text(out + ".chapters.txt"), "CHAPTER01=00:00:00.000\nCHAPTER01NAME=\n");
  r = tu::ostrel("-disk " + tu::q(disc));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "00000.mpls 00:00:05 [1 chapters]\n");
}
