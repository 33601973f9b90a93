// Blu-ray playlists end to end: titles, angles, the chapters file, the clip
// information check, the disc listing, and playlists that break their own
// counts and lengths. References: what the test's playlist writer put in
// (the expected texts worked out by hand from it), the index of the same
// clips given with -i, and for the shared real disc the report of an
// independent disc analyser.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "mpls.h"
#include "mpls_writer.h"
#include "testutil.h"

namespace {

using mplsw::item;
using mplsw::kTicks;

// A disc folder: the playlists in BDMV/PLAYLIST, four short clips made once
// per test program as BDMV/STREAM/00000.m2ts .. 00003.m2ts, and their clip
// information files.
struct Disc {
  std::string root;
  std::string playlist(const std::string& n) const { return root + "/BDMV/PLAYLIST/" + n + ".mpls"; }
  std::string clip(const std::string& n) const { return root + "/BDMV/STREAM/" + n + ".m2ts"; }
  tu::RunResult ostrel(const std::string& args) const {
    // A run that never ends is a failure too: it is cut off after half a minute.
    return tu::run("cd " + tu::q(root) + " && timeout 30 " + tu::q(OSTREL_BIN) + " " + args);
  }
};
Disc make_disc(const std::string& name, const std::map<std::string, std::vector<uint8_t>>& playlists) {
  static const std::string clips = [] {
    const std::string dir = tu::scratch("clips");
    tu::run("mkdir -p " + tu::q(dir));
    const char* sources[] = {"testsrc", "testsrc2", "smptebars", "rgbtestsrc"};
    for (int i = 0; i < 4; i++)
      tu::ffmpeg(std::string("-f lavfi -i ") + sources[i] + "=size=160x120:rate=25 -t 0.4 -pix_fmt yuv420p " +
                 "-c:v libx264 -g 5 -bf 2 -f mpegts -mpegts_m2ts_mode 1 " +
                 tu::q(dir + "/0000" + char('0' + i) + ".m2ts"));
    return dir;
  }();
  Disc d{tu::scratch(name)};
  tu::run("rm -rf " + tu::q(d.root) + " && mkdir -p " + tu::q(d.root + "/BDMV/PLAYLIST") + " " +
          tu::q(d.root + "/BDMV/CLIPINF") + " && ln -s " + tu::q(clips) + " " + tu::q(d.root + "/BDMV/STREAM"));
  for (const auto& p : playlists) tu::write_file(d.playlist(p.first), p.second);
  for (char i = '0'; i < '4'; i++) tu::write_file(d.root + "/BDMV/CLIPINF/0000" + i + ".clpi", mplsw::clip_info());
  return d;
}

// The input list of an index file: the head's lines up to the first empty one.
std::vector<std::string> input_names(const std::string& kwi) {
  std::vector<std::string> v, ls = tu::kwi_lines(kwi);
  for (size_t i = 3; i < ls.size() && !ls[i].empty(); i++) v.push_back(ls[i].substr(0, ls[i].rfind(' ')));
  return v;
}

}  // namespace

TEST(Playlist, TitlesAnglesAndChapters) {
  // Item 0 lasts 1800.5 s, item 1 25 h. The marks: link points take no
  // number; 59.5 s less a tick into item 1 rounds to a whole minute; hours
  // go past a day.
  const std::vector<mplsw::Item> title = {item("00002", 1800.5, 20 * kTicks), item("00000", 90000),
                                          item("00001", 10, kTicks)};
  const std::vector<mplsw::Mark> marks = {{1, 0, 20 * kTicks}, {2, 1, 0}, {1, 1, 0},
                                          {1, 1, 2677500 - 1}, {1, 2, kTicks + kTicks / 4}, {2, 2, 0}};
  // Angles: plain 00000; 3 angles 00001 / 00002 / 00003; plain 00002; 2 angles 00003 / 00000.
  const std::vector<mplsw::Item> angles = {item("00000", 1), item("00001", 1, 0, {"00002", "00003"}), item("00002", 1),
                                           item("00003", 1, 0, {"00000"})};
  // The folder's name holds "mpls" (an -mpls value is cut after its
  // extension only), a blank (values are taken whole) and "-i".
  Disc d = make_disc("My mpls-i Disc", {{"00000", mplsw::playlist(title, marks).bytes},
                                  {"00001", mplsw::playlist(angles, {{1, 0, 0}}).bytes},
                                  {"00002", mplsw::playlist({item("00003", 1)}, {{2, 0, 0}}).bytes}});

  tu::RunResult r = d.ostrel("-i BDMV/PLAYLIST/00000.mpls -o title");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("CLPI"), std::string::npos) << r.out;
  const std::vector<std::string> order = {d.clip("00002"), d.clip("00000"), d.clip("00001")};
  EXPECT_EQ(input_names(d.root + "/title.kwi"), order);
  ASSERT_EQ(d.ostrel("-i " + tu::q(order[0]) + " " + tu::q(order[1]) + " " + tu::q(order[2]) + " -o files").status, 0);
  EXPECT_EQ(tu::kwi_lines(d.root + "/title.kwi"), tu::kwi_lines(d.root + "/files.kwi"));
  EXPECT_EQ(tu::read_text(d.root + "/title.chapters.txt"),
            "CHAPTER01=00:00:00.000\nCHAPTER01NAME=\nCHAPTER02=00:30:00.500\nCHAPTER02NAME=\n"
            "CHAPTER03=00:31:00.000\nCHAPTER03NAME=\nCHAPTER04=25:30:00.750\nCHAPTER04NAME=\n");

  const std::string rel = "BDMV/PLAYLIST/00001.mpls", abs = tu::q(d.playlist("00001"));
  const struct {
    std::string args;
    const char* clips;
    bool chapters;  // only a playlist given with -i gets a chapters file
  } cases[] = {
      {"-mpls " + rel, "0123", false},
      {"-ang 2 -mpls " + abs, "0220", false},
      // Angle 3 is beyond the last item's 2 angles: main path from there on.
      {"-ang 3 -mpls " + rel, "0323", false},
      {"-ang 7 -mpls " + abs, "0123", false},
      // Double quotes around a value are removed.
      {"-mpls '\"'" + abs + "'\"'", "0123", false},
      // An angle after the playlist, or with -i, is not taken.
      {"-mpls " + rel + " -ang 2", "0123", false},
      {"-ang 2 -i " + rel, "0123", true},
      {"-i " + abs, "0123", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    r = d.ostrel(c.args + " -o angle");
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<std::string> want;
    for (char n : std::string(c.clips)) want.push_back(d.clip(std::string("0000") + n));
    EXPECT_EQ(input_names(d.root + "/angle.kwi"), want);
    EXPECT_EQ(tu::exists(d.root + "/angle.chapters.txt"), c.chapters);
    tu::run("rm -f " + tu::q(d.root + "/angle.chapters.txt"));
  }

  // Without entry marks the chapters file is empty; one that cannot be
  // written fails the run, the index stays.
  ASSERT_EQ(d.ostrel("-i BDMV/PLAYLIST/00002.mpls -o none").status, 0);
  EXPECT_EQ(tu::read_text(d.root + "/none.chapters.txt"), "");
  EXPECT_TRUE(tu::exists(d.root + "/none.chapters.txt"));
  tu::run("mkdir " + tu::q(d.root + "/blocked.chapters.txt"));
  r = d.ostrel("-i BDMV/PLAYLIST/00002.mpls -o blocked");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Could not open chapters file for writing.\n"), std::string::npos) << r.out;
  EXPECT_TRUE(tu::exists(d.root + "/blocked.kwi"));
}

TEST(Playlist, MissingFilesAndBrokenTablesAreRefused) {
  const mplsw::Image good = mplsw::playlist(
      {item("00000", 2), item("00001", 3, 0, {"00002", "00003"}), item("00002", 4)}, {{1, 0, 0}, {1, 2, 0}});
  const size_t it1 = good.items[1], list = good.list, marks = good.marks;
  auto edit = [&](size_t at, uint32_t v, int n) {
    std::vector<uint8_t> b = good.bytes;
    mplsw::put(b, at, v, n);
    return b;
  };
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* message;  // what the message names
  } cases[] = {
      {"header-cut-short", std::vector<uint8_t>(good.bytes.begin(), good.bytes.begin() + 12), "header is cut short"},
      {"playlist-address-beyond-file", edit(8, 0xFFFFFFF0u, 4), "PlayList_start_address"},
      {"playlist-length-beyond-file", edit(list, 0x7FFFFFFF, 4), "PlayList length"},
      {"item-count-beyond-items", edit(list + 6, 0xFFFF, 2), "play item 3 of 65535"},
      {"item-length-beyond-playlist", edit(it1, 0xFFFF, 2), "play item 1 of 3: length 65535"},
      {"item-length-below-fixed-fields", edit(it1, 20, 2), "play item 1 of 3: length 20"},
      {"zero-angles", edit(it1 + 34, 0, 1), "0 angles"},
      {"angles-beyond-item", edit(it1 + 34, 255, 1), "255 angles"},
      {"out-before-in", edit(it1 + 14, 5 * kTicks, 4), "lies before IN_time"},
      {"clip-name-with-slash", edit(it1 + 4, '/', 1), "0x2F"},
      {"angle-clip-name-with-newline", edit(it1 + 46, '\n', 1), "angle 3: its clip name holds the byte 0x0A"},
      {"mark-address-beyond-file", edit(12, 0xFFFFFFFFu, 4), "PlayListMark_start_address"},
      {"mark-count-beyond-length", edit(marks + 4, 0xFFFF, 2), "65535 marks"},
      {"mark-length-beyond-file", edit(marks, 0xFFFFFFFFu, 4), "PlayListMark length 4294967295"},
      {"mark-item-beyond-items", edit(marks + 6 + 14 + 2, 3, 2), "mark 1 refers to play item 3 of 3"},
      {"no-play-items", mplsw::playlist({}, {}).bytes, "has no play items"},
      {"more-items-than-inputs", mplsw::playlist(std::vector<mplsw::Item>(2501, item("00000", 1)), {}).bytes,
       "at most 2500 can be indexed"},
      {"missing-clip", mplsw::playlist({item("00001", 1), item("00009", 1)}, {}).bytes,
       "ERROR: cannot open the input file "},
      {"not-a-playlist", std::vector<uint8_t>(100, 0), "Not an MPLS file!\n"},
  };
  Disc d = make_disc("hostile", {});
  std::vector<std::string> listing = {"no-play-items.m 00:00:00 [0 chapters]"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tu::write_file(d.playlist(c.name), c.bytes);
    tu::RunResult r = d.ostrel("-i " + tu::q(d.playlist(c.name)) + " -o " + c.name);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Open error!"), std::string::npos) << r.out;
    EXPECT_FALSE(tu::exists(d.root + "/" + c.name + ".kwi"));
    if (r.out.rfind("Malformed MPLS file " + d.playlist(c.name) + ": ", 0) == 0) listing.push_back(tu::lines(r.out)[0]);
  }
  EXPECT_EQ(d.ostrel("-mpls none.mpls -o x").out, "Could not open the MPLS file.\n");
  // The listing passes over the broken ones with the same message, and over
  // the rest for a clip played twice in a row.
  std::vector<std::string> got = tu::lines(tu::ostrel("-disk " + tu::q(d.root)).out);
  listing.push_back("Not an MPLS file!");
  listing.push_back("missing-clip.mp 00:00:02 [0 chapters]");
  std::sort(got.begin(), got.end());
  std::sort(listing.begin(), listing.end());
  EXPECT_EQ(got, listing);

  // Every cut of a good playlist fails cleanly in process.
  for (size_t n = 0; n < good.bytes.size(); n++) {
    Mpls pl;
    std::string error;
    EXPECT_FALSE(ParseMPLS(good.bytes.data(), n, &pl, &error) || error.empty()) << n;
  }

  // Clip information: missing (reported with the path tried) or foreign;
  // either way indexing goes on.
  tu::write_file(d.playlist("good"), good.bytes);
  tu::run("rm " + tu::q(d.root + "/BDMV/CLIPINF/00000.clpi"));
  tu::RunResult r = d.ostrel("-i BDMV/PLAYLIST/good.mpls -o good");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Could not open the CLPI file [" + d.root + "/BDMV/CLIPINF/00000.clpi]\n."), std::string::npos)
      << r.out;
  tu::write_file(d.root + "/BDMV/CLIPINF/00000.clpi", std::vector<uint8_t>(64, 'x'));
  r = d.ostrel("-i BDMV/PLAYLIST/good.mpls -o good");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Not a CLPI file!\n"), std::string::npos) << r.out;
}

TEST(DiscListing, LongestFirstWithChaptersAndAngles) {
  Disc d = make_disc(
      "My Disc",
      {// 600.0 + 300.5 s, three entry marks and a link point
       {"00000", mplsw::playlist({item("00000", 600), item("00001", 300.5, kTicks)},
                                 {{1, 0, 0}, {2, 0, kTicks}, {1, 1, 0}, {1, 1, kTicks}}).bytes},
       // 1:02:03, 3 angles in one item and 2 in another
       {"00001", mplsw::playlist({item("00000", 3000), item("00001", 600, 0, {"00002", "00003"}),
                                  item("00002", 123, 0, {"00003"})},
                                 {{1, 0, 0}, {1, 2, 0}}).bytes},
       // the same clip twice in a row: not a title
       {"00002", mplsw::playlist({item("00001", 5000), item("00001", 5000), item("00002", 1)}, {}).bytes},
       // 26 hours: not wrapped
       {"00003", mplsw::playlist({item("00003", 93600)}, {{1, 0, 0}}).bytes},
       {"00004", mplsw::playlist({item("00000", 7000)}, {{1, 1, 0}}).bytes},
       {"00005", mplsw::playlist({item("00003", 0)}, {}).bytes}});
  tu::write_file(d.root + "/BDMV/PLAYLIST/notes.txt", {'x'});
  const std::string want = "Malformed MPLS file " + d.playlist("00004") +
                           ": mark 0 refers to play item 1 of 1.\n"
                           "00003.mpls 26:00:00 [1 chapters]\n"
                           "00001.mpls 01:02:03 [2 chapters] [3 angles]\n"
                           "00000.mpls 00:15:00 [4 chapters]\n"
                           "00005.mpls 00:00:00 [0 chapters]\n";
  // The folder's name holds a blank; double quotes around it are removed.
  for (const std::string& folder : {d.root, d.root + "/BDMV", d.root + "/BDMV/STREAM", '"' + d.root + '"'}) {
    tu::RunResult r = tu::ostrel("-disk " + tu::q(folder));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, want) << folder;
  }

  // A folder without playlists fails, naming the folder tried; one whose
  // playlists are all no title lists nothing and succeeds.
  const std::string none = d.root + "/nothing";
  tu::run("mkdir -p " + tu::q(none));
  tu::RunResult r = tu::ostrel("-disk " + tu::q(none));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERROR: the disc folder " + none + " holds no playlists (" + none +
                       "/BDMV/PLAYLIST: No such file or directory).\n");
  tu::run("mkdir -p " + tu::q(none + "/BDMV/PLAYLIST"));
  r = tu::ostrel("-disk " + tu::q(none + "/BDMV"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERROR: the disc folder " + none + " holds no playlists (" + none +
                       "/BDMV/PLAYLIST has no .mpls file).\n");
  Disc branching = make_disc("branching", {{"00000", mplsw::playlist({item("00001", 5), item("00001", 5)}, {}).bytes}});
  r = tu::ostrel("-disk " + tu::q(branching.root));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

// A pipe in place of a playlist, a clip or a clip information file is
// refused at once, not opened and waited on (a run that hangs is cut off
// and fails).
TEST(Playlist, PathsThatAreNoRegularFileAreRefused) {
  Disc d = make_disc("fifos", {{"good", mplsw::playlist({item("00000", 1)}, {}).bytes},
                               {"clip", mplsw::playlist({item("00001", 1), item("00009", 1)}, {}).bytes}});
  // A folder of its own for the clips, beside links to the shared ones.
  const std::string stream = d.root + "/BDMV/STREAM";
  tu::run("cp -R " + tu::q(stream + "/") + " " + tu::q(d.root + "/clips") + " && rm " + tu::q(stream) + " && mv " +
          tu::q(d.root + "/clips") + " " + tu::q(stream));
  for (const std::string& fifo : {d.playlist("fifo"), d.clip("00009"), d.root + "/BDMV/CLIPINF/00000.clpi"}) {
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << fifo;
  }
  const struct {
    std::string args;
    std::string refused;
  } cases[] = {
      {"-mpls BDMV/PLAYLIST/fifo.mpls", d.playlist("fifo")},
      {"-i BDMV/PLAYLIST/fifo.mpls", d.playlist("fifo")},
      {"-i BDMV/PLAYLIST/clip.mpls", d.clip("00009")},
      {"-mpls BDMV/PLAYLIST/good.mpls", d.root + "/BDMV/CLIPINF/00000.clpi"},
      {"-i BDMV/PLAYLIST/good.mpls", d.root + "/BDMV/CLIPINF/00000.clpi"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    tu::RunResult r = d.ostrel("-o x " + c.args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("ERROR: " + c.refused + " is not a regular file.\n"), std::string::npos) << r.out;
    EXPECT_FALSE(tu::exists(d.root + "/x.kwi"));
  }
  // The listing goes on over the other playlists and fails.
  tu::RunResult r = d.ostrel("-disk .");
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> got = tu::lines(r.out), want = {"ERROR: ./BDMV/PLAYLIST/fifo.mpls is not a regular file.",
                                                           "clip.mpls 00:00:02 [0 chapters]",
                                                           "good.mpls 00:00:01 [0 chapters]"};
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, want) << r.out;
}

TEST(SharedDisc, PlaylistIndexesLikeItsClip) {
  const std::string disc = std::string(SHARED_TESTDATA) + "/bluray/bbb_5s";
  if (!tu::exists(disc + "/BDMV/PLAYLIST/00000.mpls")) GTEST_SKIP() << "shared test data not present";
  const std::string out = tu::scratch("title"), direct = tu::scratch("clip");
  tu::RunResult r = tu::ostrel("-i " + tu::q(disc + "/BDMV/PLAYLIST/00000.mpls") + " -o " + tu::q(out));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("CLPI"), std::string::npos) << r.out;
  // Its PCR-only packets count on, and the payload packet after each
  // repeats their counter: no packet is missing.
  EXPECT_EQ(r.out.find("damaged"), std::string::npos) << r.out;
  r = tu::ostrel("-i " + tu::q(disc + "/BDMV/STREAM/00000.m2ts") + " -o " + tu::q(direct));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("damaged"), std::string::npos) << r.out;
  const auto kwi = tu::kwi_lines(out + ".kwi");
  EXPECT_GT(tu::kwi_pictures(kwi).size(), 100u);
  EXPECT_EQ(kwi, tu::kwi_lines(direct + ".kwi"));
  // The analyser's report: one chapter at 0:00:00.000, length 00:00:05.004.
  EXPECT_EQ(tu::read_text(out + ".chapters.txt"), "CHAPTER01=00:00:00.000\nCHAPTER01NAME=\n");
  r = tu::ostrel("-disk " + tu::q(disc));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "00000.mpls 00:00:05 [1 chapters]\n");
}
