// Matroska files whose reading meets more than clusters, or damage: what
// follows the clusters (cues, tags, attachments such as a cover added by
// mkvpropedit) ends them and is no damage, whatever its size or state; a
// damaged stretch in the middle that the reader passes over is reported
// with its position and size, listed in the index by its time, and the rest
// indexed, each frame lost in it (or left out next to it) keeping its slot
// as a LOST line; codec private data that
// expands beyond the file's budget refuses the file at once, in bounded
// memory. Element positions come from mkvinfo, frame counts and key frame
// times from ffprobe.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <sstream>
#include <cstdio>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "kwsource_check.h"
#include "testutil.h"
#include "timed_inputs.h"

extern char** environ;

namespace {

using timed::Dir;
using timed::Made;
using timed::Probe;
using timed::Replace;

// An H.264 stream of 8 s at 25 frames per second, key frames every second,
// muxed by mkvmerge: a cluster per second, cues and tags after the clusters.
std::string Base() {
  return Made("base.mkv", "ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 8 -pix_fmt yuv420p "
                          "-c:v libx264 -x264-params keyint=25:scenecut=0 OUT.264 && mkvmerge -q -o OUT OUT.264");
}

// What mkvinfo lists: top-level elements (name, position, header bytes)
// and the positions of the blocks.
struct Layout {
  struct Element {
    std::string name;
    uint64_t pos, size, data_size;
  };
  std::vector<Element> top;
  std::vector<uint64_t> blocks;
  std::vector<uint64_t> block_times;  // ns, as mkvinfo gives each block's timestamp
  std::vector<uint64_t> clusters;
  const Element& find(const std::string& name) const {
    for (const Element& e : top)
      if (e.name == name) return e;
    ADD_FAILURE() << "mkvinfo lists no " << name;
    return top.front();
  }
};
Layout MkvLayout(const std::string& file) {
  Layout l;
  const std::regex element(R"(^\|\+ ([A-Za-z ]+?)(?: \(.*\))? at (\d+) size (\d+) data size (\d+))");
  const std::regex block(R"(^\| \+ Simple block: .* timestamp (\d+):(\d+):(\d+)\.(\d{9}) at (\d+) size)");
  const std::regex unsized(R"(^\|\+ Cluster at (\d+) size is unknown)");
  std::smatch m;
  for (const std::string& line : tu::lines(tu::run("mkvinfo -v -v -z " + tu::q(file)).out)) {
    if (std::regex_search(line, m, element)) {
      l.top.push_back({m[1], std::stoull(m[2]), std::stoull(m[3]), std::stoull(m[4])});
      if (m[1] == "Cluster") l.clusters.push_back(std::stoull(m[2]));
    } else if (std::regex_search(line, m, unsized)) {
      l.clusters.push_back(std::stoull(m[1]));
    } else if (std::regex_search(line, m, block)) {
      l.blocks.push_back(std::stoull(m[5]));
      l.block_times.push_back(((std::stoull(m[1]) * 60 + std::stoull(m[2])) * 60 + std::stoull(m[3])) * 1000000000ULL +
                              std::stoull(m[4]));
    }
  }
  return l;
}

// The index from its keyword header on: all but the input file's line.
std::vector<std::string> FromHeader(const std::vector<std::string>& lines) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].rfind("DEVICE", 0) == 0) return std::vector<std::string>(lines.begin() + long(i), lines.end());
  return {};
}

std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = Dir() + name;
  tu::write_file(path, bytes);
  return path;
}

// The blocks as mkvinfo lists them: where their frame's data begins (behind
// track, time and flags), its end, the key flag and the time.
struct Block {
  uint64_t data, end;
  bool key;
  uint64_t time;  // ns
};
std::vector<Block> Blocks(const std::string& file) {
  std::vector<Block> blocks;
  const std::regex block(
      R"(^\| \+ Simple block: (key, )?.* timestamp (\d+):(\d+):(\d+)\.(\d{9}) at (\d+) size (\d+) data size (\d+)$)");
  std::smatch m;
  for (const std::string& line : tu::lines(tu::run("mkvinfo -a -P -z " + tu::q(file)).out))
    if (std::regex_match(line, m, block)) {
      const uint64_t at = std::stoull(m[6]), size = std::stoull(m[7]), data = std::stoull(m[8]);
      const uint64_t time =
          ((std::stoull(m[2]) * 60 + std::stoull(m[3])) * 60 + std::stoull(m[4])) * 1000000000ULL + std::stoull(m[5]);
      blocks.push_back({at + size - data + 4, at + size, m[1].matched, time});
    }
  return blocks;
}

// The bytes that Ostrel's run on input reads (the rchar of a shell, which
// takes in the counts of the children it waited for, before and after), or
// -1; the index's lines in *lines.
long long BytesReadIndexing(const std::string& input, std::vector<std::string>* lines) {
  const std::string kwi = input + ".kwi";
  std::remove(kwi.c_str());
  const tu::RunResult r = tu::run("sh -c " + tu::q("grep '^rchar:' /proc/$$/io && " + tu::q(OSTREL_BIN) + " -i " +
                                                   tu::q(input) + " -o " + tu::q(kwi) +
                                                   " > /dev/null && grep '^rchar:' /proc/$$/io"));
  *lines = tu::kwi_lines(kwi);
  long long before = 0, after = 0;
  if (r.status != 0 || sscanf(r.out.c_str(), "rchar: %lld rchar: %lld", &before, &after) != 2) return -1;
  return after - before;
}

TEST(MatroskaDamage, ElementsAfterTheClustersEndThemWhateverTheirSizeOrState) {
  const std::string base = Base();
  tu::RunResult r;
  const std::vector<std::string> want = IndexAndOpen(base, base + ".kwi", &r);
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(tu::kwi_value(want, "CODED"), std::to_string(Probe(base, "pts_time", 1e9).count));
  const Layout l = MkvLayout(base);
  ASSERT_EQ(l.clusters.size(), 8u);
  const std::vector<uint8_t> bytes = tu::read_file(base);

  // A cover of 5,000,000 random bytes, as mkvpropedit appends it.
  const std::string cover = Dir() + "cover.mkv", picture = Dir() + "cover.bin";
  std::mt19937 rng(42);
  std::vector<uint8_t> noise(5000000);
  for (auto& b : noise) b = uint8_t(rng());
  tu::write_file(picture, noise);
  tu::write_file(cover, bytes);
  ASSERT_EQ(tu::run("mkvpropedit -q " + tu::q(cover) + " --attachment-mime-type image/jpeg --add-attachment " +
                    tu::q(picture) + " 2>&1").status, 0);
  ASSERT_GT(MkvLayout(cover).find("Attachments").data_size, 5000000u);

  // One damaged byte in the cues or the tags after the clusters: the
  // element's ID, its size (an 8-byte size that runs past the segment), the
  // ID of its first child.
  struct Case {
    std::string name, file;
  };
  std::vector<Case> cases = {{"mkvpropedit cover", cover}};
  for (const char* element : {"Cues", "Tags"}) {
    const Layout::Element& e = l.find(element);
    ASSERT_GT(e.pos, l.clusters.back());
    const uint64_t data = e.pos + e.size - e.data_size;
    const struct {
      const char* what;
      uint64_t at;
      uint8_t value;
    } damage[] = {{"ID", e.pos, 0x00}, {"size", e.pos + 4, 0x01}, {"first child", data, 0x00}};
    for (const auto& d : damage) {
      std::vector<uint8_t> b = bytes;
      b[d.at] = d.value;
      const std::string name = std::string(element) + " " + d.what;
      cases.push_back({name, Write(std::string(element) + "_" + d.what + ".mkv", b)});
    }
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> got = IndexAndOpen(c.file, c.file + ".kwi", &r);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("damaged"), std::string::npos) << r.out;
    EXPECT_EQ(FromHeader(got), FromHeader(want));
  }
}

TEST(MatroskaDamage, StretchesPassedOverAreReportedAndTheRestIndexed) {
  const std::string base = Base();
  const Layout l = MkvLayout(base);
  ASSERT_EQ(l.clusters.size(), 8u);
  const timed::Packets key = Probe(base, "pts_time", 1e9);
  ASSERT_EQ(l.blocks.size(), key.count);

  // Zeros from a block of one cluster into the middle of the next: the
  // reader goes on at the cluster after that. The stretch passed over runs
  // from the block to that cluster.
  struct Stretch {
    size_t cluster;  // zeros from the 11th block after this cluster's start ...
    uint64_t into;   // ... to this many bytes into the next cluster
  };
  const struct {
    const char* name;
    std::vector<Stretch> stretches;
  } cases[] = {
      {"one stretch", {{2, 3000}}},
      {"two stretches", {{2, 3000}, {5, 1000}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> b = tu::read_file(base);
    uint64_t first_pos = 0, first_bytes = 0, total = 0;
    std::vector<std::pair<uint64_t, uint64_t>> lost;  // [from, to) of each stretch passed over
    for (const Stretch& s : c.stretches) {
      size_t k = 0;
      while (l.blocks[k] < l.clusters[s.cluster]) ++k;
      const uint64_t from = l.blocks[k + 10], zeros_end = l.clusters[s.cluster + 1] + s.into,
                     to = l.clusters[s.cluster + 2];
      std::fill(b.begin() + long(from), b.begin() + long(zeros_end), 0);
      lost.push_back({from, to});
      if (!first_pos) first_pos = from, first_bytes = to - from;
      total += to - from;
    }
    size_t kept = 0;
    std::vector<std::string> damage;  // the time of the first block after each stretch
    std::map<uint64_t, char> slots;   // by block time: '.' a block read, 'L' one in a stretch
    for (size_t i = 0; i < l.blocks.size(); ++i) {
      const uint64_t p = l.blocks[i];
      bool in = false;
      for (const auto& s : lost) {
        in = in || (p >= s.first && p < s.second);
        if (p >= s.second && (i == 0 || l.blocks[i - 1] < s.second))
          damage.push_back("DAMAGE " + std::to_string(l.block_times[i]));
      }
      kept += !in;
      slots[l.block_times[i]] = in ? 'L' : '.';
    }
    std::string marks;
    for (const auto& [time, mark] : slots) marks += mark;
    const std::string f = Write("zeros.mkv", b);
    tu::RunResult r;
    const std::vector<std::string> lines = IndexAndOpen(f, f + ".kwi", &r);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(tu::kwi_value(lines, "CODED"), std::to_string(kept));
    // Each frame lost in a stretch keeps its slot, by its block time, and
    // the stretches are listed by the time of the frame after each.
    EXPECT_EQ(tu::kwi_slot_marks(lines), marks);
    EXPECT_EQ(tu::kwi_value(lines, "PLAYBACK"), std::to_string(l.blocks.size()));
    EXPECT_EQ(tu::kwi_with(lines, "DAMAGE"), damage);
    EXPECT_NE(r.out.find("WARNING: " + std::to_string(l.blocks.size() - kept) +
                         " frames have no picture of their own (lost in the damage); they show the picture before "
                         "them and carry the frame property KWMissing\n"),
              std::string::npos)
        << r.out;
    const std::string message =
        c.stretches.size() == 1
            ? "WARNING: the Matroska file is damaged: " + std::to_string(total) + " bytes from position " +
                  std::to_string(first_pos) + " on were skipped, up to the next cluster; the frames in them are not "
                  "indexed.\n"
            : "WARNING: the Matroska file is damaged: " + std::to_string(c.stretches.size()) + " stretches of " +
                  std::to_string(total) + " bytes in all were skipped, each up to the next cluster, the first of " +
                  std::to_string(first_bytes) + " bytes from position " + std::to_string(first_pos) +
                  " on; the frames in them are not indexed.\n";
    EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
    // Every group starts at a key frame of the file.
    const auto groups = tu::kwi_with(lines, "IDR");
    EXPECT_FALSE(groups.empty());
    for (const std::string& g : groups) EXPECT_EQ(key.key_times.count(std::stoull(g.substr(4))), 1u) << g;
  }
}

// AVC, HEVC and MPEG-2 streams whose groups are all open (non-IDR I
// pictures with a recovery point, CRA pictures, open groups; leading B
// pictures), a stretch passed over in the middle: of what follows, only what
// cannot start decoding is left out, the rest of the group up to the next I
// picture and the pictures of that I picture's group that come before it in
// display order; the I picture and everything else after it is indexed. The
// rule applied to ffprobe's picture types and times in decode order is the
// reference. Every picture lost or left out keeps its slot as a LOST line,
// at its block time among the pictures; PLAYBACK counts the listed pictures
// with the fields and frames that ffprobe says each repeats (soft
// pulldown), none of a picture left out, and one frame for each LOST line.
TEST(MatroskaDamage, AfterAStretchOnlyWhatCannotStartIsLeftOut) {
  const struct {
    const char* name;
    const char* file;
    bool pulldown;
    std::string make;
  } streams[] = {
      {"AVC open GOP", "open.mkv", false,
       "ffmpeg -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 250 -pix_fmt yuv420p -c:v libx264 "
       "-x264-params open-gop=1:keyint=24:min-keyint=24:scenecut=0:bframes=3:b-adapt=0:b-pyramid=none OUT.264 && "
       "mkvmerge -q -o OUT OUT.264"},
      {"AVC open GOP, soft pulldown", "open-pulldown.mkv", true,
       "ffmpeg -v error -y -f lavfi -i testsrc=size=176x144:rate=24000/1001 -frames:v 250 -pix_fmt yuv420p "
       "-f yuv4mpegpipe OUT.y4m && x264 --quiet --pulldown 32 --open-gop --keyint 24 --min-keyint 24 "
       "--no-scenecut --bframes 3 --b-adapt 0 --b-pyramid none --demuxer y4m -o OUT.264 OUT.y4m && "
       "mkvmerge -q -o OUT OUT.264"},
      {"HEVC CRA", "open-cra.mkv", false,
       "ffmpeg -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 250 -pix_fmt yuv420p -c:v libx265 "
       "-x265-params log-level=error:open-gop=1:keyint=24:min-keyint=24:scenecut=0:bframes=3 OUT.265 && "
       "mkvmerge -q -o OUT OUT.265"},
      {"MPEG-2", "open-m2v.mkv", false,
       "ffmpeg -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 250 -pix_fmt yuv420p -c:v mpeg2video "
       "-g 12 -bf 2 -f mpeg2video OUT.m2v && mkvmerge -q -o OUT OUT.m2v"},
  };
  for (const auto& s : streams) {
    SCOPED_TRACE(s.name);
    const std::string base = Made(s.file, s.make);
    const Layout l = MkvLayout(base);
    ASSERT_GE(l.clusters.size(), 4u);
    // ffprobe's pictures: presentation time, type and repeated fields (0
    // none, 1 a field, 2 the frame doubled, 4 tripled), by the position of
    // their block; the blocks in file order are in decode order.
    struct Picture {
      long long time;
      char type;
      int repeat;
    };
    std::map<uint64_t, Picture> by_pos;
    const tu::RunResult r0 = tu::run("ffprobe -v error -select_streams v:0 -show_entries "
                                     "frame=pkt_pos,pts,pict_type,repeat_pict -of csv=p=0 " + tu::q(base));
    for (const std::string& line : tu::lines(r0.out)) {
      std::vector<std::string> f;
      std::stringstream in(line);
      for (std::string x; std::getline(in, x, ',');) f.push_back(x);
      if (f.size() >= 4 && !f[2].empty()) by_pos[std::stoull(f[1])] = {std::stoll(f[0]), f[2][0], std::stoi(f[3])};
    }
    ASSERT_EQ(by_pos.size(), 250u);
    ASSERT_EQ(l.blocks.size(), 250u);
    std::vector<Picture> decode;  // per block
    for (uint64_t b : l.blocks) {
      const auto i = by_pos.lower_bound(b);  // the frame's data follows its block header
      ASSERT_NE(i, by_pos.end());
      decode.push_back(i->second);
    }

    // Zeros from the 11th block of the second cluster to 3000 bytes into the
    // third: the reader goes on at the fourth.
    std::vector<uint8_t> b = tu::read_file(base);
    size_t k = 0;
    while (l.blocks[k] < l.clusters[1]) ++k;
    const uint64_t from = l.blocks[k + 10], to = l.clusters[3];
    std::fill(b.begin() + long(from), b.begin() + long(l.clusters[2] + 3000), 0);
    std::vector<bool> listed(decode.size(), true);
    size_t after = 0, lost = 0;  // the first block read after the stretch; blocks in it
    for (size_t i = 0; i < l.blocks.size(); ++i) {
      if (l.blocks[i] >= from && l.blocks[i] < to) ++lost, listed[i] = false;
      if (l.blocks[i] < to) after = i + 1;
    }
    ASSERT_GT(lost, 0u);
    size_t i = after, left_out = 0;
    while (i < decode.size() && decode[i].type != 'I') listed[i] = false, ++i, ++left_out;
    ASSERT_LT(i, decode.size()) << "an I picture after the stretch";
    const long long i_time = decode[i].time;
    for (size_t j = i + 1; j < decode.size() && decode[j].type != 'I'; ++j)
      if (decode[j].time < i_time) listed[j] = false, ++left_out;
    ASSERT_GT(left_out, 0u) << "leading pictures of the open group";
    long long frames_repeated = 0, fields_repeated = 0, all_repeats = 0;
    for (size_t j = 0; j < decode.size(); ++j) {
      all_repeats += decode[j].repeat;
      if (!listed[j]) continue;
      if (decode[j].repeat == 1) ++fields_repeated;
      if (decode[j].repeat >= 2) frames_repeated += decode[j].repeat / 2;
    }
    EXPECT_EQ(all_repeats > 0, s.pulldown);

    const std::string f = Write(std::string("zeros-") + s.file, b);
    tu::RunResult r;
    const std::vector<std::string> lines = IndexAndOpen(f, f + ".kwi", &r);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("WARNING: " + std::to_string(left_out) + " pictures next to the damage are not indexed"),
              std::string::npos)
        << r.out;
    const size_t count = 250 - lost - left_out;
    // Every picture lost or left out keeps its slot as a LOST line, by its
    // block time among the intact file's pictures.
    std::map<long long, char> slots;
    for (size_t j = 0; j < decode.size(); ++j) slots[decode[j].time] = listed[j] ? '.' : 'L';
    std::string marks;
    for (const auto& [time, mark] : slots) marks += mark;
    EXPECT_EQ(tu::kwi_slot_marks(lines), marks);
    EXPECT_EQ(tu::kwi_pictures(lines).size(), 250u);
    EXPECT_EQ(tu::kwi_value(lines, "CODED"), std::to_string(count));
    const bool hevc = std::string(s.file) == "open-cra.mkv", mpeg2 = std::string(s.file) == "open-m2v.mkv";
    if (!hevc) {  // (HEVC indexes have no PLAYBACK)
      EXPECT_EQ(tu::kwi_value(lines, "PLAYBACK"),
                std::to_string(count + frames_repeated + fields_repeated / 2 + lost + left_out))
          << all_repeats << " repeats in the intact stream";
    }
    EXPECT_NE(r.out.find("WARNING: " + std::to_string(lost + left_out) + " frames have no picture of their own"),
              std::string::npos)
        << r.out;
    // The open group's I picture has its group line (the time of its frame):
    // AVC "I <time>", MPEG-2 "SEQ <time>", HEVC the CRA picture's line.
    bool group = false;
    const std::string word = hevc ? "CRA " : mpeg2 ? "SEQ " : "I ";
    for (std::string g : hevc ? tu::kwi_pictures(lines) : tu::kwi_with(lines, word))
      if (g.compare(0, word.size(), word) == 0)
        group = group || std::stoll(g.substr(word.size())) == i_time * 1000000;
    EXPECT_TRUE(group) << "a group at the I picture after the stretch, " << i_time << " ms";
  }
}

// A frame read whole whose first bytes are zeroed (its first unit's length
// and header, the picture's header; no block header touched), or 256 bytes
// inside its slice data (which the zeros show: emulation prevention keeps
// 00 00 00 out of AVC and HEVC units, and MPEG-2 stuffs zeros only in front
// of a start code): its picture was recorded, so it keeps its line, the
// frame is listed as damage at its time (the intact file lists none), and
// the frames after it keep their numbers. Every picture of the file is listed, and each I picture's line
// stands at the place of its time among ffprobe's pictures of the intact
// file; PLAYBACK counts them with the fields and frames ffprobe says each
// repeats; no warning. AVC with open and with IDR groups, HEVC with CRA
// pictures, MPEG-2; AVC soft pulldown with the slice header zeroed behind
// the picture timing that precedes it in the frame.
TEST(MatroskaDamage, AFrameWhoseHeaderIsUnreadableKeepsItsPlace) {
  const std::string pattern = "ffmpeg -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 100 -pix_fmt yuv420p ";
  const struct {
    const char* name;
    const char* file;
    std::string make;
    bool playback;      // the index has a PLAYBACK line
    bool behind_first;  // the zeros begin behind the frame's first unit
  } streams[] = {
      {"AVC open GOP", "zh-open.mkv",
       pattern + "-c:v libx264 -x264-params open-gop=1:keyint=24:min-keyint=24:scenecut=0:bframes=3 OUT.264 && "
                 "mkvmerge -q -o OUT OUT.264",
       true, false},
      {"AVC IDR groups", "zh-idr.mkv",
       pattern + "-c:v libx264 -x264-params keyint=20:min-keyint=20:scenecut=0:bframes=2 OUT.264 && "
                 "mkvmerge -q -o OUT OUT.264",
       true, false},
      {"AVC soft pulldown", "zh-pulldown.mkv",
       "ffmpeg -v error -y -f lavfi -i testsrc=size=176x144:rate=24000/1001 -frames:v 100 -pix_fmt yuv420p "
       "-f yuv4mpegpipe OUT.y4m && x264 --quiet --pulldown 32 --keyint 24 --bframes 2 --demuxer y4m -o OUT.264 "
       "OUT.y4m && mkvmerge -q -o OUT OUT.264",
       true, true},
      {"HEVC CRA", "zh-cra.mkv",
       pattern + "-c:v libx265 -x265-params log-level=error:open-gop=1:keyint=25:bframes=4 OUT.265 && "
                 "mkvmerge -q -o OUT OUT.265",
       false, false},
      // Frames under 4 KB, read whole: the middle of the largest lies in
      // its first 2 KB, which Ostrel looks at for damage.
      {"MPEG-2", "zh-m2v.mkv",
       pattern + "-c:v mpeg2video -g 12 -bf 2 -q:v 12 -f mpeg2video OUT.m2v && mkvmerge -q -o OUT OUT.m2v", true, false},
  };
  for (const auto& s : streams) {
    SCOPED_TRACE(s.name);
    const std::string base = Made(s.file, s.make);
    const std::vector<Block> blocks = Blocks(base);
    ASSERT_EQ(blocks.size(), 100u);
    // ffprobe's pictures in display order: which are I pictures; and the
    // fields (1) and frames (2, 4: doubled, tripled) they repeat.
    std::vector<std::pair<long long, char>> shown;
    long long frames_repeated = 0, fields_repeated = 0;
    for (const std::string& line : tu::lines(tu::run("ffprobe -v error -select_streams v:0 -show_entries "
                                                     "frame=pts,pict_type,repeat_pict -of csv=p=0 " + tu::q(base)).out)) {
      std::vector<std::string> v;
      std::stringstream in(line);
      for (std::string x; std::getline(in, x, ',');) v.push_back(x);
      if (v.size() < 3 || v[1].empty() || v[2].empty()) continue;
      shown.push_back({std::stoll(v[0]), v[1][0]});
      const int repeat = std::stoi(v[2]);
      if (repeat == 1) ++fields_repeated;
      if (repeat >= 2) frames_repeated += repeat / 2;
    }
    ASSERT_EQ(shown.size(), 100u);
    std::sort(shown.begin(), shown.end());
    std::vector<size_t> want_i;
    for (size_t n = 0; n < shown.size(); ++n)
      if (shown[n].second == 'I') want_i.push_back(n);
    EXPECT_EQ(fields_repeated > 0, s.behind_first);
    {
      tu::RunResult r;
      const std::vector<std::string> lines = IndexAndOpen(base, base + ".kwi", &r);
      ASSERT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(tu::kwi_with(lines, "DAMAGE"), std::vector<std::string>{}) << "the intact file";
    }
    // The largest frame of the middle third that is no key frame (header
    // zeroed), and the largest of all there (slice data zeroed).
    size_t no_key = 0, any = 0;
    auto larger = [&](size_t i, size_t than) { return than == 0 || blocks[i].end - blocks[i].data > blocks[than].end - blocks[than].data; };
    for (size_t i = blocks.size() / 3; i < blocks.size() * 2 / 3; ++i) {
      if (!blocks[i].key && larger(i, no_key)) no_key = i;
      if (larger(i, any)) any = i;
    }
    for (const bool header : {true, false}) {
      SCOPED_TRACE(header ? "header zeroed" : "256 bytes of slice data zeroed");
      const size_t z = header ? no_key : any;
      ASSERT_GT(blocks[z].end - blocks[z].data, header ? 64u : 1024u);
      std::vector<uint8_t> b = tu::read_file(base);
      uint64_t at = blocks[z].data, zeros = 16;
      if (!header) {
        at = (blocks[z].data + blocks[z].end) / 2 - 128;
        zeros = 256;
      } else if (s.behind_first) {
        at += 4 + ((uint64_t(b[at]) << 24) | (uint64_t(b[at + 1]) << 16) | (uint64_t(b[at + 2]) << 8) | b[at + 3]);
      }
      ASSERT_LT(at + zeros, blocks[z].end);
      std::fill(b.begin() + long(at), b.begin() + long(at + zeros), 0);
      const std::string f = Write(std::string(header ? "header-" : "slice-") + s.file, b);

      tu::RunResult r;
      const std::vector<std::string> lines = IndexAndOpen(f, f + ".kwi", &r);
      ASSERT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
      const std::vector<std::string> pictures = tu::kwi_pictures(lines);
      EXPECT_EQ(pictures.size(), 100u);
      EXPECT_EQ(tu::kwi_slot_marks(lines), std::string(100, '.')) << "no slot is lost";
      EXPECT_EQ(tu::kwi_value(lines, "CODED"), "100");
      EXPECT_EQ(tu::kwi_with(lines, "DAMAGE"), std::vector<std::string>{"DAMAGE " + std::to_string(blocks[z].time)});
      if (s.playback) {
        EXPECT_EQ(tu::kwi_value(lines, "PLAYBACK"), std::to_string(100 + frames_repeated + fields_repeated / 2));
      }
      // The I pictures' lines: AVC "FRM <slice_type> <count> <pic_struct>",
      // HEVC "<type> [<time>] <slice_type> <count>", MPEG-2 "FRM I <structure>
      // <top first> <repeat first> <progressive>"; and the repeats the lines
      // of AVC and MPEG-2 give their pictures.
      std::vector<size_t> got_i;
      long long line_frames = 0, line_fields = 0;
      for (size_t n = 0; n < pictures.size(); ++n) {
        std::vector<std::string> v;
        std::stringstream in(pictures[n]);
        for (std::string x; in >> x;) v.push_back(x);
        bool intra = false;
        if (v.size() == 6 && v[0] == "FRM") {
          intra = v[1] == "I";
          line_fields += v[4] == "1";
        } else if (v.size() == 4 && v[0] == "FRM") {
          intra = std::stoi(v[1]) % 5 == 2;
          const int pic_struct = std::stoi(v[3]);
          line_fields += pic_struct == 5 || pic_struct == 6;
          line_frames += pic_struct == 7 ? 1 : pic_struct == 8 ? 2 : 0;
        } else if (v.size() >= 3) {
          intra = v[v.size() - 2] == "2";
        }
        if (intra) got_i.push_back(n);
      }
      EXPECT_EQ(got_i, want_i);
      if (s.playback) {
        EXPECT_EQ(line_fields, fields_repeated);
        EXPECT_EQ(line_frames, frames_repeated);
      }
    }
  }
}

// Frames of 200 KB and more (noise coded at a fine quantiser) are read at
// their heads and ends only, the intact file as the damaged ones: Ostrel's
// run reads less than a twentieth of the file. Zeros that lie in what is
// read (256 bytes 1.5 KB into a frame of the middle, or ending 100 bytes
// before its end) list the frame as damage at its time, without a warning;
// the intact file lists none. AVC and HEVC with every frame a key frame,
// MPEG-2 with groups of 12.
TEST(MatroskaDamage, LargeFramesAreReadAtTheirHeadsAndEndsOnly) {
  const std::string pattern = "ffmpeg -v error -y -f lavfi -i testsrc2=size=640x360:rate=25,noise=alls=40:allf=t "
                              "-frames:v 16 -pix_fmt yuv420p ";
  const struct {
    const char* name;
    const char* file;
    std::string make;
  } streams[] = {
      {"AVC", "large-avc.mkv",
       pattern + "-c:v libx264 -preset ultrafast -qp 4 -x264-params keyint=1 OUT.264 && mkvmerge -q -o OUT OUT.264"},
      {"HEVC", "large-hevc.mkv",
       pattern + "-c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=1:qp=4 OUT.265 && "
                 "mkvmerge -q -o OUT OUT.265"},
      {"MPEG-2", "large-m2v.mkv",
       pattern + "-c:v mpeg2video -g 12 -bf 2 -q:v 2 -f mpeg2video OUT.m2v && mkvmerge -q -o OUT OUT.m2v"},
  };
  for (const auto& s : streams) {
    SCOPED_TRACE(s.name);
    const std::string base = Made(s.file, s.make);
    const std::vector<Block> blocks = Blocks(base);
    ASSERT_EQ(blocks.size(), 16u);
    const Block& z = blocks[8];
    ASSERT_GT(z.end - z.data, 200000u);
    std::vector<std::string> lines;
    const long long file = static_cast<long long>(tu::read_file(base).size());
    const long long read = BytesReadIndexing(base, &lines);
    ASSERT_GE(read, 0);
    EXPECT_LT(read, file / 20) << "bytes read of " << file;
    EXPECT_EQ(tu::kwi_value(lines, "CODED"), "16");
    EXPECT_EQ(tu::kwi_with(lines, "DAMAGE"), std::vector<std::string>{}) << "the intact file";
    for (const bool head : {true, false}) {
      SCOPED_TRACE(head ? "256 bytes zeroed 1.5 KB into the frame" : "256 bytes zeroed up to 100 bytes before its end");
      std::vector<uint8_t> b = tu::read_file(base);
      const uint64_t at = head ? z.data + 1536 : z.end - 356;
      std::fill(b.begin() + long(at), b.begin() + long(at + 256), 0);
      const std::string f = Write(std::string(head ? "head-" : "end-") + s.file, b);
      const long long damaged_read = BytesReadIndexing(f, &lines);
      EXPECT_LT(damaged_read, file / 20) << "bytes read of " << file;
      EXPECT_EQ(tu::kwi_value(lines, "CODED"), "16");
      EXPECT_EQ(tu::kwi_with(lines, "DAMAGE"), std::vector<std::string>{"DAMAGE " + std::to_string(z.time)});
      const tu::RunResult r = tu::ostrel("-i " + tu::q(f) + " -o " + tu::q(f + ".again.kwi"));
      EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
    }
  }
}

// The file with the size field of the element at pos (whose ID is 4 bytes
// long) made the unknown size of the same length: its value bits all ones.
std::vector<uint8_t> UnknownSizeAt(std::vector<uint8_t> b, uint64_t pos) {
  const size_t at = size_t(pos) + 4;
  int extra = 0;
  while (extra < 7 && !(b[at] & (0x80 >> extra))) ++extra;
  b[at] = uint8_t((0x80 >> extra) | ((0x80 >> extra) - 1));
  for (int i = 1; i <= extra; ++i) b[at + size_t(i)] = 0xFF;
  return b;
}

// A cluster of unknown size is no damage: its frames are neither passed
// over nor the file indexed in part; the file is refused, naming the
// cluster and the remux that gives every cluster its size. Live writers
// leave every cluster without a size.
TEST(MatroskaDamage, ClustersOfUnknownSizeAreRefusedWithTheRemedy) {
  struct Case {
    std::string name, file;
    uint64_t first_unsized;
  };
  std::vector<Case> cases;
  {
    const std::string base = Base();
    const Layout l = MkvLayout(base);
    ASSERT_EQ(l.clusters.size(), 8u);
    cases.push_back({"sixth cluster of unknown size", Write("sixth_unsized.mkv", UnknownSizeAt(tu::read_file(base),
                                                                                                l.clusters[5])),
                     l.clusters[5]});
  }
  if (!tu::have("gst-launch-1.0") || tu::run("gst-inspect-1.0 x264enc h264parse matroskamux >/dev/null 2>&1").status != 0) {
    std::printf("skipped the live writer's file: gst-launch-1.0 or its x264enc, h264parse or matroskamux is missing\n");
  } else {
    const std::string live = Made("live.mkv", "gst-launch-1.0 -q videotestsrc num-buffers=75 ! "
                                              "video/x-raw,width=160,height=120 ! x264enc ! h264parse ! "
                                              "matroskamux streamable=true ! filesink location=OUT");
    const Layout l = MkvLayout(live);
    ASSERT_FALSE(l.clusters.empty());
    cases.push_back({"live writer", live, l.clusters[0]});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The frames are all there for other readers.
    ASSERT_GT(Probe(c.file, "pts_time", 1e9).count, 50u);
    const std::string kwi = c.file + ".kwi";
    const tu::RunResult r = tu::ostrel("-i " + tu::q(c.file) + " -o " + tu::q(kwi));
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_FALSE(tu::exists(kwi));
    EXPECT_EQ(r.out.find("damaged"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ERROR: the Matroska file has a cluster of unknown size at position " +
                         std::to_string(c.first_unsized) + " (as written live or to a pipe), and clusters without "
                         "a size are not supported"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("No index is written. Remuxing gives every cluster its size: mkvmerge -o fixed.mkv in.mkv"),
              std::string::npos)
        << r.out;
    // The remedy named works.
    const std::string fixed = c.file + ".fixed.mkv";
    ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(fixed) + " " + tu::q(c.file)).status, 0);
    tu::RunResult f;
    const std::vector<std::string> lines = tu::index_lines(fixed, fixed + ".kwi", &f);
    EXPECT_EQ(f.status, 0) << f.out;
    EXPECT_EQ(tu::kwi_value(lines, "CODED"), std::to_string(Probe(fixed, "pts_time", 1e9).count));
  }
}

// Runs a command line and returns its exit status and the largest resident
// set (KB) of the command and what it ran.
int RunMeasured(const std::string& cmd, long* max_rss_kb, double* seconds) {
  const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
  pid_t pid;
  const auto t0 = std::chrono::steady_clock::now();
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
  int status = 0;
  struct rusage ru {};
  if (wait4(pid, &status, 0, &ru) != pid) return -1;
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  *max_rss_kb = ru.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(MatroskaDamage, CodecPrivateBeyondTheFilesBudgetIsRefusedAtOnce) {
  // 64 tracks, each 16 KB of zlib data that expands to 16 MiB.
  const std::string bomb = std::string(SHARED_TESTDATA) + "/mkv-finds/big_zlib64.mkv";
  if (!tu::exists(bomb)) GTEST_SKIP() << "no " << bomb;
  const std::string out = Dir() + "bomb.out";
  long rss = 0;
  double seconds = 0;
  const int status = RunMeasured(tu::q(OSTREL_BIN) + " -i " + tu::q(bomb) + " -o " + tu::q(Dir() + "bomb.kwi") +
                                     " > " + tu::q(out) + " 2>&1",
                                 &rss, &seconds);
  const std::string said = tu::read_text(out);
  EXPECT_EQ(status, 1) << said;
  EXPECT_NE(said.find("The Matroska file cannot be opened: Expanded CodecPrivate of all tracks exceeds 16777216 "
                      "bytes (track 2)\nCould not parse the Matroska file.\n"),
            std::string::npos)
      << said;
  EXPECT_FALSE(tu::exists(Dir() + "bomb.kwi"));
  // The budget's bytes, once in a scratch copy and once kept; sanitizers
  // add their shadow and quarantine, and slow the copies. (The whole
  // expansion held about 1 GB for 25-30 s.)
#if defined(__SANITIZE_ADDRESS__)
  const long limit_kb = 192 * 1024;
  const double limit_s = 30;
#else
  const long limit_kb = 64 * 1024;
  const double limit_s = 5;
#endif
  EXPECT_LT(rss, limit_kb);
  EXPECT_LT(seconds, limit_s);
}

// A timestamp file (v2, milliseconds) for `frames` pictures: spacing[i]
// ms after picture i, the last entry's spacing for all after it.
std::string TimestampFile(const std::string& name, int frames, const std::vector<std::pair<int, double>>& spacing) {
  std::string text = "# timestamp format v2\n";
  double t = 0;
  for (int i = 0; i < frames; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "%.3f\n", t);
    text += line;
    double step = spacing.front().second;
    for (const auto& [from, ms] : spacing)
      if (i >= from) step = ms;
    t += step;
  }
  const std::string path = Dir() + name;
  tu::write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
  return path;
}

// Tracks whose times disagree with the rate their header declares (a
// DefaultDuration of 59.94 or 2 microseconds over pictures 40 ms apart, or
// none), that change their rate, that leave pauses on purpose (timestamp
// files at 50 microsecond and 1 ms scales), or that stamp pulldown repeats
// at the display rate: the intact files' indexes have no LOST line, and
// with a stretch passed over (zeros from a block in the middle into the
// next cluster), indexing ends, and the only slots are those of the frames
// the stretch took (and the pictures left out after it up to the next key
// frame), as many as their pictures show whole frames by ffprobe's
// repeat_pict (the pauses, the rate change and the declared rate cost none);
// the clip never has more frames than the intact file plays. Where the
// times are rounded to whole display frames (x264's 3:2 pulldown), a run of
// slots may come a frame short, never over.
TEST(MatroskaDamage, SlotsFollowTheTimesOfThePicturesNotTheDeclaredRate) {
  const std::string es = "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=25 -frames:v 200 -pix_fmt yuv420p "
                         "-c:v libx264 -x264-params keyint=25:scenecut=0 OUT.264 && ";
  const std::string y4m = "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=25 -frames:v 200 -pix_fmt yuv420p "
                          "-f yuv4mpegpipe OUT.y4m && ";
  const std::string film = "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=24000/1001 -frames:v 168 "
                           "-pix_fmt yuv420p -f yuv4mpegpipe OUT.y4m && ";
  // 25 then 50 pictures a second; pauses of half a second and of 300 ms
  // between 25 and 50 a second, more than a second before the stretch.
  const std::string rates = TimestampFile("rates.txt", 200, {{0, 40}, {10, 20}});
  const std::string pauses = TimestampFile("pauses.txt", 200, {{0, 40}, {10, 540}, {11, 20}, {30, 320}, {31, 40}});
  const std::string tcfile = "x264 --quiet --keyint 25 --demuxer y4m --tcfile-in ";
  const struct {
    const char* name;
    const char* file;
    std::string make;
    bool rounded;  // times rounded to whole display frames
  } streams[] = {
      {"DefaultDuration of 59.94 over 25", "dd5994.mkv",
       es + "mkvmerge -q --cluster-length 1000ms -o OUT OUT.264 && mkvpropedit -q OUT --edit track:v1 --set "
            "default-duration=16683333", false},
      {"DefaultDuration of 2 us", "dd2us.mkv",
       es + "mkvmerge -q --cluster-length 1000ms -o OUT OUT.264 && mkvpropedit -q OUT --edit track:v1 --set "
            "default-duration=2000", false},
      {"no DefaultDuration", "ddnone.mkv",
       es + "mkvmerge -q --cluster-length 1000ms -o OUT OUT.264 && mkvpropedit -q OUT --edit track:v1 --delete "
            "default-duration", false},
      {"two rates", "rates.mkv",
       y4m + tcfile + tu::q(rates) + " -o OUT.x.mkv OUT.y4m && mkvmerge -q --cluster-length 1000ms -o OUT OUT.x.mkv",
       false},
      {"pauses, 50 us scale", "pauses50us.mkv",
       y4m + tcfile + tu::q(pauses) + " -o OUT.x.mkv OUT.y4m && mkvmerge -q --timestamp-scale 50000 "
                                      "--cluster-length 1000ms -o OUT OUT.x.mkv",
       false},
      {"pauses, 1 ms scale", "pauses1ms.mkv",
       y4m + tcfile + tu::q(pauses) + " -o OUT.x.mkv OUT.y4m && mkvmerge -q --timestamp-scale 1000000 "
                                      "--cluster-length 1000ms -o OUT OUT.x.mkv",
       false},
      {"pulldown double at the display rate", "double.mkv",
       film + "x264 --quiet --pulldown double --keyint 24 --bframes 2 --demuxer y4m -o OUT.x.mkv OUT.y4m && "
              "mkvmerge -q --cluster-length 1000ms -o OUT OUT.x.mkv",
       false},
      {"pulldown 3:2 at the display rate", "32.mkv",
       film + "x264 --quiet --pulldown 32 --keyint 24 --bframes 2 --demuxer y4m -o OUT.x.mkv OUT.y4m && "
              "mkvmerge -q --cluster-length 1000ms -o OUT OUT.x.mkv",
       true},
  };
  for (const auto& s : streams) {
    SCOPED_TRACE(s.name);
    const std::string base = Made(s.file, s.make);
    const Layout l = MkvLayout(base);
    ASSERT_GE(l.clusters.size(), 5u);
    // ffprobe's pictures: block position (of the frame's data), time and
    // repeat_pict.
    struct Picture {
      uint64_t pos;
      long long time;
      int repeat;
    };
    std::vector<Picture> pictures;
    for (const std::string& line : tu::lines(tu::run("ffprobe -v error -select_streams v:0 -show_entries "
                                                     "frame=pkt_pos,pts,repeat_pict -of csv=p=0 " + tu::q(base)).out)) {
      std::vector<std::string> f;
      std::stringstream in(line);
      for (std::string x; std::getline(in, x, ',');) f.push_back(x);
      if (f.size() >= 3 && !f[0].empty() && !f[1].empty() && !f[2].empty())
        pictures.push_back({std::stoull(f[1]), std::stoll(f[0]), std::stoi(f[2])});
    }
    ASSERT_EQ(pictures.size(), l.blocks.size());
    std::sort(pictures.begin(), pictures.end(), [](const Picture& a, const Picture& b) { return a.time < b.time; });
    std::vector<int> repeats;
    for (const Picture& p : pictures) repeats.push_back(p.repeat);
    const long long plays = FramesPlayed(repeats);  // frames of the intact file
    int served = -1;
    ASSERT_NO_FATAL_FAILURE(ExpectIntactPlays(base, pictures.size(), plays, &served));

    // Zeros from the 11th block of the middle cluster to halfway into the
    // next: the reader goes on at the cluster after that, decoding at its
    // first key frame.
    const size_t c = l.clusters.size() / 2 - 1;
    size_t k = 0;
    while (l.blocks[k] < l.clusters[c]) ++k;
    const uint64_t from = l.blocks[k + 10];
    std::vector<uint8_t> b = tu::read_file(base);
    std::fill(b.begin() + long(from), b.begin() + long((l.clusters[c + 1] + l.clusters[c + 2]) / 2), 0);
    uint64_t resume = ~0ULL;
    for (const std::string& line : tu::lines(tu::run("mkvinfo -v -v -z " + tu::q(base)).out)) {
      std::smatch m;
      static const std::regex key(R"(^\| \+ Simple block: key, .* at (\d+) size)");
      if (std::regex_search(line, m, key) && std::stoull(m[1]) >= l.clusters[c + 2] && resume == ~0ULL)
        resume = std::stoull(m[1]);
    }
    ASSERT_NE(resume, ~0ULL);
    std::vector<tu::ShownPicture> shown;
    for (const Picture& p : pictures) shown.push_back({p.pos < from || p.pos >= resume, 2 + p.repeat});
    const std::string bound = tu::expected_frame_marks(shown);
    ASSERT_NE(bound.find('L'), std::string::npos);
    const std::string f = Write(std::string("zeros-") + s.file, b), kwi = f + ".kwi";
    ExpectSlotsOfDamagedCopy(f, kwi, bound, s.rounded, plays, served);
  }
}

}  // namespace
