// Matroska input of the plugin, on the CPU stand-in: streams made with the
// encoders and put into Matroska with mkvmerge (with and without cues) or
// encoded straight into it by ffmpeg decode in order as ffmpeg decodes the
// file, and every frame requested in a random order equals the in-order run;
// the shared VC-1 sample, stored without start codes, gives the frames of
// its elementary stream; an index whose Matroska file lacks a track of the
// index's codec, or cannot be parsed, is refused. Where the cues send a seek
// to another cluster than the group's, or damage took a group's frames,
// each request serves its own frame's picture or fails, never another's.
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "decodecheck.h"
#include "mkvmem.h"
#include "plugintest.h"
#include "testutil.h"

namespace {

using namespace dc;

std::string Mkvmerge(const std::string& es, const std::string& options = "") {
  const std::string mkv = es + (options.empty() ? "" : ".nocues") + ".mkv";
  EXPECT_EQ(tu::run("mkvmerge -q " + options + " -o " + tu::q(mkv) + " " + tu::q(es) + " 2>&1").status, 0) << es;
  return mkv;
}

// One element as mkvinfo -a -P -z lists it: "<label>[: <value>] at <pos>
// size <size> data size <data>".
struct InfoElement {
  std::string label, value;
  uint64_t pos, size, data;
  uint64_t data_pos() const { return pos + size - data; }
};
std::vector<InfoElement> MkvinfoElements(const std::string& mkv) {
  const tu::RunResult r = tu::run("mkvinfo -a -P -z " + tu::q(mkv));
  EXPECT_EQ(r.status, 0) << mkv << ": " << r.out;
  static const std::regex line(R"(^[| ]*\+ (.*?)(?:: (.*))? at (\d+) size (\d+) data size (\d+)$)");
  std::vector<InfoElement> out;
  std::smatch m;
  for (const std::string& l : tu::lines(r.out))
    if (std::regex_match(l, m, line))
      out.push_back({m[1], m[2], std::stoull(m[3]), std::stoull(m[4]), std::stoull(m[5])});
  return out;
}

// A copy of the file whose CueClusterPositions send seeks elsewhere, each
// where the value fits into its bytes (the file keeps its size): late, to
// the cluster of the next cue point; past, to the Cues themselves, after
// the last cluster. Returns the rows changed.
enum class Misdirect { kLate, kPast };
int MisdirectCues(const std::string& mkv, const std::string& out, Misdirect how) {
  std::vector<InfoElement> rows;
  uint64_t segment_data = 0, cues = 0;
  for (const InfoElement& e : MkvinfoElements(mkv)) {
    if (e.label == "Cue cluster position") rows.push_back(e);
    if (e.label == "Segment") segment_data = e.data_pos();
    if (e.label == "Cues") cues = e.pos;
  }
  EXPECT_TRUE(segment_data && cues > segment_data) << mkv;
  std::vector<uint8_t> bytes = tu::read_file(mkv);
  int changed = 0;
  for (size_t i = 0; i + 1 < rows.size(); ++i) {
    const uint64_t to = how == Misdirect::kLate ? std::stoull(rows[i + 1].value) : cues - segment_data;
    if (rows[i].data > 8 || (rows[i].data < 8 && to >> (8 * rows[i].data) != 0)) continue;
    for (uint64_t k = 0; k < rows[i].data; ++k)
      bytes[rows[i].data_pos() + k] = uint8_t(to >> (8 * (rows[i].data - 1 - k)));
    ++changed;
  }
  tu::write_file(out, bytes);
  return changed;
}

// A copy of the file with `count` zero bytes from the first block of its
// cluster number `cluster` (from 0) on, all inside that cluster.
void ZeroClusterBlocks(const std::string& mkv, const std::string& out, size_t cluster, size_t count) {
  const std::vector<InfoElement> els = MkvinfoElements(mkv);
  size_t seen = 0;
  uint64_t at = 0, end = 0;
  for (size_t i = 0; i < els.size() && !at; ++i)
    if (els[i].label == "Cluster" && seen++ == cluster) {
      end = els[i].pos + els[i].size;
      for (size_t j = i + 1; j < els.size() && !at; ++j)
        if (els[j].label == "Simple block" || els[j].label == "Block group") at = els[j].pos;
    }
  std::vector<uint8_t> bytes = tu::read_file(mkv);
  ASSERT_TRUE(at && at + count <= end && end <= bytes.size()) << mkv << ": cluster " << cluster;
  std::fill(bytes.begin() + long(at), bytes.begin() + long(at + count), 0);
  tu::write_file(out, bytes);
}

// Ten groups of ten frames at 25 frames a second (x264, IDR pictures):
// mkvmerge and ffmpeg start a cluster at each group.
const char kGroups[] = "-s 160x128 -g 10 -keyint_min 10 -sc_threshold 0 -bf 2 ";
constexpr int kGroupFrames = 10, kGroupCount = 10;

TEST(MatroskaDecode, CuesThatPointElsewhereServeEveryFrameItsOwnPicture) {
  const std::string dir = Dir();
  ASSERT_TRUE(H264(dir + "g.264", kGroupFrames * kGroupCount, kGroups));
  ASSERT_TRUE(H264(dir + "g_ffmpeg.mkv", kGroupFrames * kGroupCount, kGroups));
  // Non-IDR I pictures at scene cuts open groups of their own that the
  // container does not mark as key frames (strict_avc off).
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=160x128:rate=25 -f lavfi -i mandelbrot=size=160x128:rate=25 "
                         "-filter_complex \"[0:v][1:v]overlay=enable='between(mod(t,1),0.5,0.7)',format=yuv420p\" "
                         "-t 4 -c:v libx264 -x264-params keyint=25:min-keyint=25:scenecut=60 " +
                         tu::q(dir + "cuts.264")));
  const struct {
    const char* name;
    std::string mkv;
    int frames;
  } cases[] = {
      {"AVC by mkvmerge", Mkvmerge(dir + "g.264"), kGroupFrames * kGroupCount},
      {"AVC encoded into Matroska by ffmpeg", dir + "g_ffmpeg.mkv", kGroupFrames * kGroupCount},
      {"AVC with I pictures that are no key frames, by mkvmerge", Mkvmerge(dir + "cuts.264"), 100},
  };
  for (const auto& c : cases) {
    for (Misdirect how : {Misdirect::kLate, Misdirect::kPast}) {
      const std::string name = std::string(c.name) + (how == Misdirect::kLate ? ", cues one cluster late"
                                                                               : ", cues past the last cluster");
      const std::string misled = c.mkv + (how == Misdirect::kLate ? ".late.mkv" : ".past.mkv");
      EXPECT_GE(MisdirectCues(c.mkv, misled, how), 3) << name;
      const std::string kwi = pt::Index(tu::q(misled), misled + ".kwi");
      ASSERT_FALSE(kwi.empty()) << name;
      const auto want = Reference(misled, 160, 128, false, "-vsync passthrough");
      ASSERT_EQ(want.size(), size_t(c.frames)) << name;
      auto clip = Open(kwi);
      ASSERT_TRUE(clip->ok()) << name << ": " << clip->error();
      ASSERT_EQ(clip->vi().numFrames, int(want.size())) << name;
      // Every group is found by reading from before it.
      EXPECT_EQ(OwnPictureOrFailure(*clip, want, 151, name), std::vector<int>{}) << name;
    }
  }
}

TEST(MatroskaDecode, GroupLostToDamageFailsItsRequestsOnly) {
  const std::string dir = Dir();
  ASSERT_TRUE(H264(dir + "g.264", kGroupFrames * kGroupCount, kGroups));
  const std::string mkv = Mkvmerge(dir + "g.264");
  const std::string kwi = pt::Index(tu::q(mkv), mkv + ".kwi");
  ASSERT_FALSE(kwi.empty());
  const auto want = Reference(mkv, 160, 128, false, "-vsync passthrough");
  ASSERT_EQ(want.size(), size_t(kGroupFrames * kGroupCount));
  // The damage takes the frames of group 4 (at 1.6 s, the fifth cluster);
  // the index of the sound file still lists them.
  const std::string damaged = dir + "damaged.mkv";
  ZeroClusterBlocks(mkv, damaged, 4, 3000);
  auto clip = Open(Retarget(kwi, mkv, damaged, dir + "damaged.kwi"));
  ASSERT_TRUE(clip->ok()) << clip->error();
  std::vector<int> group;
  for (int n = 4 * kGroupFrames; n < 5 * kGroupFrames; ++n) group.push_back(n);
  EXPECT_EQ(OwnPictureOrFailure(*clip, want, 152, "group 4 zeroed"), group);
  // The failure names the frame and the group's time.
  auto again = Open(dir + "damaged.kwi");
  const vshost::Frame f = again->getFrame(43);
  EXPECT_FALSE(f.ok);
  EXPECT_NE(f.error.find("frame 43: "), std::string::npos) << f.error;
  EXPECT_NE(f.error.find("1600000000 ns"), std::string::npos) << f.error;
}

// Blocks and clusters as mkvinfo lists them, in file order.
struct InfoLayout {
  struct Block {
    uint64_t pos, end, ns;
    bool key;
    uint64_t data;  // where its data begins
  };
  std::vector<Block> blocks;
  std::vector<uint64_t> clusters;
};
InfoLayout MkvinfoLayout(const std::string& mkv) {
  InfoLayout l;
  static const std::regex time(R"(timestamp (\d+):(\d+):(\d+)\.(\d{9}))");
  std::smatch m;
  for (const InfoElement& e : MkvinfoElements(mkv)) {
    if (e.label == "Cluster") l.clusters.push_back(e.pos);
    if (e.label != "Simple block" || !std::regex_search(e.value, m, time)) continue;
    const uint64_t ns = ((std::stoull(m[1]) * 60 + std::stoull(m[2])) * 60 + std::stoull(m[3])) * 1000000000ULL +
                        std::stoull(m[4]);
    l.blocks.push_back({e.pos, e.pos + e.size, ns, e.value.rfind("key", 0) == 0, e.data_pos()});
  }
  return l;
}

// Zeros over block headers: the reader passes over the rest of the cluster.
// The frame they begin in is damaged, the frames after the stretch up to the
// next key frame lack their references, and so do the frames after that key
// frame shown before it (the leading pictures of an open group: MPEG-2 B
// pictures, HEVC RASL pictures): none of these is indexed, and every other
// frame is served as the intact file's picture of its time, in order and
// after seeks, never another's, never a damaged one. AVC with closed groups,
// MPEG-2 with open groups of two B pictures, HEVC with CRA pictures.
struct DamagedStream {
  const char* name;
  const char* file;
  size_t frames;
  bool (*make)(const std::string& path, int frames);
};
void PrintTo(const DamagedStream& s, std::ostream* os) { *os << s.name; }
class MatroskaDamageReadPast : public ::testing::TestWithParam<DamagedStream> {};

TEST_P(MatroskaDamageReadPast, LeavesOutThePicturesThatCannotBeDecoded) {
  const std::string dir = Dir();
  const std::string es = dir + GetParam().file;
  const size_t frames = GetParam().frames;
  ASSERT_TRUE(GetParam().make(es, int(frames)));
  const std::string mkv = es + ".mkv";
  ASSERT_EQ(tu::run("mkvmerge -q --cluster-length 1000ms -o " + tu::q(mkv) + " " + tu::q(es) + " 2>&1").status, 0);
  const InfoLayout l = MkvinfoLayout(mkv);
  const auto intact = Reference(mkv, 176, 144, false, "-vsync passthrough");
  ASSERT_EQ(intact.size(), frames);
  ASSERT_EQ(l.blocks.size(), frames);
  std::vector<uint64_t> shown;  // block times in display order
  for (const auto& b : l.blocks) shown.push_back(b.ns);
  std::sort(shown.begin(), shown.end());
  const std::vector<uint8_t> bytes = tu::read_file(mkv);
  // The block 10 blocks after the seventh cluster's first, and one 5 after
  // the third's.
  size_t k = 0, m = 0;
  while (l.blocks[k].pos < l.clusters[6]) ++k;
  while (l.blocks[m].pos < l.clusters[2]) ++m;
  const InfoLayout::Block& middle = l.blocks[m + 5];
  // At a quarter of the file, 4 KB, or up to 2 KB past the end of a larger
  // frame they begin in (so that they reach a block header).
  const uint64_t quarter = bytes.size() / 4;
  uint64_t run = 4096;
  for (const auto& blk : l.blocks)
    if (blk.pos <= quarter && quarter + run <= blk.end) run = blk.end + 2048 - quarter;
  const struct {
    const char* name;
    uint64_t at, count;
  } cases[] = {
      {"4 KB or more zeroed at a quarter of the file", quarter, run},
      {"2 KB zeroed from a block header on", l.blocks[k + 10].pos, 2048},
      {"2 KB zeroed from the middle of a frame on", (middle.data + middle.end) / 2, 2048},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> b = bytes;
    std::fill(b.begin() + long(c.at), b.begin() + long(c.at + c.count), 0);
    const std::string damaged = es + "_damaged.mkv";
    tu::write_file(damaged, b);
    // Lost: the blocks from the one the zeros begin in to the first cluster
    // after them, those after it up to the next key frame, and those after
    // that key frame with an earlier time, up to one with a later time.
    size_t first = 0;
    while (l.blocks[first].end <= c.at) ++first;
    const uint64_t resume = *std::lower_bound(l.clusters.begin(), l.clusters.end(), c.at + c.count);
    // Of these, the block whose frame the zeros begin in (its header and
    // the 4 bytes of track, time and flags intact) and those after the
    // stretch are told apart from the stretch.
    std::set<uint64_t> lost;
    bool after = false;
    int next_to = l.blocks[first].data + 4 <= c.at ? 1 : 0;
    size_t i = first;
    for (; i < l.blocks.size(); ++i) {
      after = after || l.blocks[i].pos >= resume;
      if (after && l.blocks[i].key) break;
      lost.insert(l.blocks[i].ns);
      next_to += after;
    }
    ASSERT_LT(i, l.blocks.size());
    for (size_t j = i + 1; j < l.blocks.size() && l.blocks[j].ns < l.blocks[i].ns; ++j, ++next_to)
      lost.insert(l.blocks[j].ns);
    ASSERT_GT(next_to, 1);
    tu::RunResult r;
    const auto lines = tu::index_lines(damaged, damaged + ".kwi", &r);
    // Without lost slots the pictures left out have no frame; with them
    // every picture keeps its frame, and a lost one shows the picture
    // before it.
    const bool slots = HasLostSlots(damaged + ".kwi");
    std::vector<std::vector<uint8_t>> want;
    std::vector<bool> missing;
    for (size_t n = 0; n < shown.size(); ++n) {
      if (!lost.count(shown[n])) {
        want.push_back(intact[n]);
        missing.push_back(false);
      } else if (slots && !want.empty()) {
        want.push_back(want.back());
        missing.push_back(true);
      }
    }
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("WARNING: the Matroska file is damaged: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nWARNING: " + std::to_string(next_to) +
                         " pictures next to the damage are not indexed either: they cannot be decoded without the "
                         "frames lost, up to the next picture from which decoding starts afresh.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(tu::kwi_pictures(lines).size(), want.size()) << r.out;
    auto clip = Open(damaged + ".kwi");
    ASSERT_TRUE(clip->ok()) << clip->error();
    ASSERT_EQ(clip->vi().numFrames, int(want.size()));
    int other = 0;
    for (int n = 0; n < clip->vi().numFrames; ++n) {
      const vshost::Frame f = clip->getFrame(n);
      const bool flagged = f.intProps.count("KWMissing") && f.intProps.at("KWMissing") == 1;
      if (f.ok && Flat(f) == want[size_t(n)] && flagged == missing[size_t(n)]) continue;
      if (++other <= 5)
        ADD_FAILURE() << "in order, frame " << n << ": " << (f.ok ? "the picture of frame " : "failed: ")
                      << (f.ok ? std::to_string(Which(want, Flat(f))) : f.error);
    }
    EXPECT_EQ(other, 0) << "frames in order that are not their own picture";
    EXPECT_EQ(OwnPictureOrFailure(*Open(damaged + ".kwi"), want, 154, c.name), std::vector<int>{});
  }
}

INSTANTIATE_TEST_SUITE_P(
    MatroskaDecode, MatroskaDamageReadPast,
    ::testing::Values(
        DamagedStream{"AVC", "k40.264", 250,
                      [](const std::string& path, int frames) {
                        return H264(path, frames, "-s 176x144 -x264-params keyint=40:min-keyint=40:scenecut=0:bframes=3");
                      }},
        DamagedStream{"MPEG2", "g12.m2v", 250,
                      [](const std::string& path, int frames) { return pt::MakeMpeg2(path, frames, "-s 176x144"); }},
        // Groups of 1.2 s: clusters of 1 s begin inside them.
        DamagedStream{"HEVC", "k30.265", 200,
                      [](const std::string& path, int frames) {
                        return Hevc(path, frames,
                                    "-s 176x144 -x265-params log-level=error:keyint=30:min-keyint=30:bframes=3");
                      }}),
    [](const ::testing::TestParamInfo<DamagedStream>& i) { return std::string(i.param.name); });

// Damage that costs only what it touches. Zeros inside one frame's slice
// data (no block header touched: no warning, no frame left out): the frame is fed
// and served as the decoder conceals it, and every other frame is its own
// picture; the first bytes of a frame that is no key frame zeroed (its
// picture header unreadable): the frame keeps its place, so no other frame
// moves, and it is the decoder's picture or fails by its number; 4 KB
// zeroed at a third of the file, over block headers: the frames after the
// skip that can start (an open group's I picture and all after it in decode
// order) are served, each as its own picture (CheckDamaged). AVC with every
// group open (non-IDR I pictures with leading B pictures) and with IDR
// groups, HEVC with open groups of CRA pictures, MPEG-2 with open groups;
// each in order, in a random order and on fresh instances.
struct ZeroedStream {
  const char* name;
  const char* file;
  int width, height;
  bool (*make)(const std::string& path);
  // ffmpeg decodes a frame whose picture header is zeroed with the header
  // of the picture before it (MPEG-2); the decoder behind Pemmick finds
  // pictures by their headers, so that frame may fail, by its number. Its
  // frame is a B picture then, which no other picture references.
  bool header_borrowed = false;
};
void PrintTo(const ZeroedStream& s, std::ostream* os) { *os << s.name; }
class MatroskaZeroed : public ::testing::TestWithParam<ZeroedStream> {};

TEST_P(MatroskaZeroed, EveryFrameIsItsOwnPicture) {
  const std::string dir = Dir();
  const std::string es = dir + GetParam().file;
  ASSERT_TRUE(GetParam().make(es));
  const std::string mkv = es + ".mkv";
  ASSERT_EQ(tu::run("mkvmerge -q --cluster-length 1000ms -o " + tu::q(mkv) + " " + tu::q(es) + " 2>&1").status, 0);
  const InfoLayout l = MkvinfoLayout(mkv);
  const int w = GetParam().width, h = GetParam().height;
  const auto intact = Reference(mkv, w, h, false, "-vsync passthrough");
  ASSERT_EQ(intact.size(), l.blocks.size());
  const std::vector<uint8_t> bytes = tu::read_file(mkv);
  // The largest frame in the second half of the file but its last tenth.
  size_t big = 0;
  for (size_t i = l.blocks.size() / 2; i < l.blocks.size() * 9 / 10; ++i)
    if (l.blocks[i].end - l.blocks[i].data > l.blocks[big].end - l.blocks[big].data || big == 0) big = i;
  const InfoLayout::Block& frame = l.blocks[big];
  // Near its end: the headers of its units (an SEI of kilobytes may come
  // first) stay whole.
  const uint64_t inside = frame.end - (frame.end - frame.data) / 5;
  // The largest frame there that is no key frame (a B picture, shown before
  // a frame before it, where the header is borrowed): its first 16 bytes
  // (its first unit's length and header, the picture's header) zeroed
  // behind the block's track, time and flags.
  size_t other = 0;
  for (size_t i = l.blocks.size() / 2; i < l.blocks.size() * 9 / 10; ++i) {
    const bool b = l.blocks[i].ns < l.blocks[i - 1].ns;
    if (!l.blocks[i].key && (b || !GetParam().header_borrowed) &&
        (other == 0 || l.blocks[i].end - l.blocks[i].data > l.blocks[other].end - l.blocks[other].data))
      other = i;
  }
  ASSERT_GT(l.blocks[other].end - l.blocks[other].data, 64u);
  std::vector<uint64_t> shown;  // block times in display order
  for (const auto& blk : l.blocks) shown.push_back(blk.ns);
  std::sort(shown.begin(), shown.end());
  const int other_frame = int(std::lower_bound(shown.begin(), shown.end(), l.blocks[other].ns) - shown.begin());
  std::vector<size_t> excused;  // its display number, where ffmpeg borrows a header for it
  if (GetParam().header_borrowed) excused.push_back(size_t(other_frame));
  const struct {
    const char* name;
    uint64_t at, count;
    bool skipped;  // the reader passes over a stretch of frames
  } cases[] = {
      {"an eighth of a frame's data zeroed", inside, (frame.end - frame.data) / 8, false},
      {"a frame's first bytes zeroed", l.blocks[other].data + 4, 16, false},
      {"4 KB zeroed at a third of the file", bytes.size() / 3, 4096, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> b = bytes;
    std::fill(b.begin() + long(c.at), b.begin() + long(c.at + c.count), 0);
    const std::string damaged = es + (c.skipped ? "_skipped.mkv" : c.at == inside ? "_inside.mkv" : "_header.mkv");
    tu::write_file(damaged, b);
    tu::RunResult r;
    const std::vector<std::string> lines = tu::index_lines(damaged, damaged + ".kwi", &r);
    ASSERT_EQ(r.status, 0) << r.out;
    if (!c.skipped) {
      // Every frame read keeps its line: the frames after it keep their numbers.
      EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
      EXPECT_EQ(tu::kwi_pictures(lines).size(), intact.size());
    }
    // The frames a skip loses: those of the cluster from the zeros on, and
    // of a group whose key frame is among them, up to the next key frame.
    size_t lost = 0;
    if (c.skipped) {
      const uint64_t resume = *std::lower_bound(l.clusters.begin(), l.clusters.end(), c.at + c.count);
      size_t i = 0;
      while (l.blocks[i].end <= c.at) ++i;
      for (; i < l.blocks.size() && (l.blocks[i].pos < resume || !l.blocks[i].key); ++i) ++lost;
      lost += 8;  // the leading pictures of an open group there
    }
    const bool header = c.at == l.blocks[other].data + 4;
    // Bytes zeroed inside a frame are no damage that reading sees: the
    // index is told where they are, after the frame's time.
    const uint64_t zeroed_in = c.at == inside ? frame.ns : l.blocks[other].ns;
    const std::string kwi =
        c.skipped ? damaged + ".kwi" : WithDamage(damaged + ".kwi", {zeroed_in + 1}, {}, damaged + ".damage.kwi");
    CheckDamaged(kwi, damaged, intact, w, h, intact.size() - lost, 155,
                 std::string(GetParam().name) + ", " + c.name, !c.skipped, header ? excused : std::vector<size_t>{});
    if (header) {
      // The frame itself, first on a fresh instance: the decoder's picture,
      // or a failure that names it.
      const vshost::Frame f = Open(damaged + ".kwi")->getFrame(other_frame);
      if (!f.ok) {
        EXPECT_NE(f.error.find("frame " + std::to_string(other_frame) + ": "), std::string::npos) << f.error;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    MatroskaDecode, MatroskaZeroed,
    ::testing::Values(
        ZeroedStream{"AVC_open", "open.264", 176, 144,
                     [](const std::string& path) {
                       return H264(path, 120,
                                   "-s 176x144 -x264-params open-gop=1:keyint=24:min-keyint=24:scenecut=0:bframes=3:"
                                   "b-adapt=0:b-pyramid=none");
                     }},
        ZeroedStream{"AVC_idr", "idr.264", 176, 144,
                     [](const std::string& path) {
                       return H264(path, 120, "-s 176x144 -x264-params keyint=24:min-keyint=24:scenecut=0:bframes=3");
                     }},
        ZeroedStream{"HEVC_open", "open.265", 320, 180,
                     [](const std::string& path) {
                       return Hevc(path, 120, "-s 320x180 -x265-params log-level=error:open-gop=1:keyint=25:bframes=4");
                     }},
        ZeroedStream{"MPEG2", "g12.m2v", 176, 144,
                     [](const std::string& path) { return pt::MakeMpeg2(path, 120, "-s 176x144"); }, true}),
    [](const ::testing::TestParamInfo<ZeroedStream>& i) { return std::string(i.param.name); });

// What Ostrel indexes, Pemmick serves: frames between 8 and 10 MB (one
// slice each) decode in order and after seeks as ffmpeg decodes them.
TEST(MatroskaDecode, FramesOfMoreThanEightMegabytesAreServed) {
  const std::string dir = Dir();
  ASSERT_TRUE(LargePictures(dir + "big.264", 4));
  const std::string mkv = Mkvmerge(dir + "big.264");
  for (uint64_t size : PacketSizes(mkv)) {
    EXPECT_GT(size, 8000000u);
    EXPECT_LT(size, 9900000u);
  }
  CheckStream(Indexed("AVC frames of 8.6 MB by mkvmerge", mkv), true, 153);
}

TEST(MatroskaDecode, AvcOpenAndClosedGroupsWithAndWithoutCues) {
  const std::string dir = Dir();
  ASSERT_TRUE(H264(dir + "open.264", 36,
                   std::string(kSmall) + "-x264-params open-gop=1:keyint=12:min-keyint=12:scenecut=0"));
  CheckStream(Indexed("AVC open GOP by mkvmerge", Mkvmerge(dir + "open.264")), true, 101);
  CheckStream(Indexed("AVC open GOP without cues", Mkvmerge(dir + "open.264", "--no-cues")), true, 102);
  // Cues for an audio track only, and cues written before the first cluster.
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i sine=sample_rate=48000 -t 2 -c:a mp2 " + tu::q(dir + "a.mp2")));
  const std::string audio_cues = dir + "audio_cues.mkv";
  ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(audio_cues) + " --cues 0:none " + tu::q(dir + "open.264") +
                    " --cues 0:all " + tu::q(dir + "a.mp2")).status, 0);
  CheckStream(Indexed("AVC open GOP with audio-only cues", audio_cues), true, 105);
  const std::string cues_first = dir + "cues_first.mkv";
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(dir + "open.264.mkv") + " -c copy -reserve_index_space 20000 " + tu::q(cues_first)));
  CheckStream(Indexed("AVC open GOP with cues before the clusters", cues_first), true, 106);
  ASSERT_TRUE(H264(dir + "closed.mkv", 30, std::string(kSmall) + "-g 10"));
  CheckStream(Indexed("AVC encoded into Matroska by ffmpeg", dir + "closed.mkv"), true, 103);
  ASSERT_TRUE(H264(dir + "mbaff.264", 24, std::string(kSmall) + "-x264-params tff=1:keyint=12"));
  CheckStream(Indexed("AVC MBAFF by mkvmerge", Mkvmerge(dir + "mbaff.264")), true, 104);
}

TEST(MatroskaDecode, HevcCraRaslAndTenBit) {
  const std::string dir = Dir();
  ASSERT_TRUE(Hevc(dir + "cra.265", 26, std::string(kSmall) + "-x265-params log-level=error:keyint=8:open-gop=1:bframes=3"));
  CheckStream(Indexed("HEVC CRA by mkvmerge", Mkvmerge(dir + "cra.265")), true, 111);
  ASSERT_TRUE(Hevc(dir + "deep.mkv", 20, std::string(kSmall) + "-x265-params log-level=error:keyint=10", "yuv420p10le"));
  CheckStream(Indexed("HEVC 10-bit encoded into Matroska", dir + "deep.mkv", true), true, 112);
}

TEST(MatroskaDecode, Mpeg2InterlacedAndSoftPulldown) {
  const std::string dir = Dir();
  ASSERT_TRUE(pt::MakeMpeg2(dir + "i.m2v", 30, std::string(kSmall) + "-flags +ilme+ildct -top 1"));
  CheckStream(Indexed("MPEG-2 interlaced by mkvmerge", Mkvmerge(dir + "i.m2v")), true, 121);
  const std::string es = dir + "pulldown.264";
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=160x128:rate=24000/1001 -frames:v 24 -pix_fmt yuv420p "
                         "-f yuv4mpegpipe " + tu::q(es + ".y4m")));
  ASSERT_EQ(tu::run("x264 --quiet --pulldown 32 --keyint 12 --bframes 2 --demuxer y4m -o " + tu::q(es) + " " +
                    tu::q(es + ".y4m") + " 2>&1").status, 0);
  CheckPulldown("AVC soft pulldown by mkvmerge", Mkvmerge(es), 160, 128);
}

TEST(MatroskaDecode, Vc1SampleStoredWithoutStartCodes) {
  Vc1Sample v;
  const std::string mkv = std::string(SHARED_TESTDATA) + "/vc1/vc1_ap_1080_pulldown_vfw.mkv";
  if (!tu::exists(mkv) || !v.Load()) GTEST_SKIP() << "no VC-1 samples";
  const std::string kwi = pt::Index(tu::q(mkv), Dir() + "vc1mkv.kwi");
  auto clip = Open(kwi);
  ASSERT_TRUE(clip->ok()) << clip->error();
  // In order, then targets that decode from their own group (see the
  // elementary stream's tests for the damaged second group).
  for (int n = 0; n < 30; ++n) {
    const vshost::Frame f = clip->getFrame(n);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_TRUE(Flat(f) == v.ordered[size_t(n)]) << "VC-1 in Matroska: frame " << n << ", got ES frame "
                                                 << Which(v.ordered, Flat(f));
  }
  auto again = Open(kwi);
  for (int n : {29, 3, 12, 0, 25}) {
    const vshost::Frame f = again->getFrame(n);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_TRUE(Flat(f) == v.ordered[size_t(n)]) << "VC-1 in Matroska: requested " << n << ", got ES frame "
                                                 << Which(v.ordered, Flat(f));
  }
}

TEST(MatroskaDecode, TrackOfTheIndexsCodecIsChosenOrTheFileRefused) {
  const std::string dir = Dir();
  ASSERT_TRUE(H264(dir + "a.264", 10, kSmall));
  ASSERT_TRUE(Hevc(dir + "h.265", 12, std::string(kSmall) + "-x265-params log-level=error:keyint=6"));
  const std::string avc = Mkvmerge(dir + "a.264"), hevc = Mkvmerge(dir + "h.265");
  const std::string both = dir + "both.mkv";
  ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(both) + " " + tu::q(dir + "a.264") + " " + tu::q(dir + "h.265")).status, 0);
  const std::string hevc_kwi = pt::Index(tu::q(hevc), dir + "h.kwi");
  const std::string avc_kwi = pt::Index(tu::q(avc), dir + "a.kwi");
  ASSERT_FALSE(hevc_kwi.empty());
  ASSERT_FALSE(avc_kwi.empty());

  // The HEVC index over a file whose first video track is AVC and second HEVC.
  auto alone = Open(hevc_kwi);
  ASSERT_TRUE(alone->ok()) << alone->error();
  const auto want = InOrder(*alone);
  auto second = Open(Retarget(hevc_kwi, hevc, both, dir + "both.kwi"));
  ASSERT_TRUE(second->ok()) << second->error();
  EXPECT_TRUE(InOrder(*second) == want) << "HEVC track after an AVC track";
  ExpectSeeksMatch(*Open(dir + "both.kwi"), want, 131, "HEVC track after an AVC track");

  // The HEVC index over a file with AVC only.
  auto no_track = Open(Retarget(hevc_kwi, hevc, avc, dir + "avc_as_hevc.kwi"));
  EXPECT_FALSE(no_track->ok());
  EXPECT_EQ(no_track->error(), "KWSource: Could not find a video track in the Matroska/MP4 file.");

  // The Matroska file replaced by garbage.
  const std::string garbage = dir + "garbage.mkv";
  tu::write_file(garbage, std::vector<uint8_t>(tu::read_file(avc).size(), 0x5A));
  auto unparsed = Open(Retarget(avc_kwi, avc, garbage, dir + "garbage.kwi"));
  EXPECT_FALSE(unparsed->ok());
  EXPECT_EQ(unparsed->error(), "KWSource: Could not parse the Matroska/MP4 file.");
}

// The pictures of an x264 stream by a start-code scan (a picture is the
// units up to its slice), and its first SPS and PPS.
struct EsPictures {
  std::string sps, pps;
  std::vector<std::vector<std::string>> pictures;
};
EsPictures SplitPictures(const std::string& es_path) {
  const std::vector<uint8_t> es = tu::read_file(es_path);
  EsPictures p;
  p.pictures.emplace_back();
  const std::vector<tu::ScanUnit> scan = tu::scan_start_codes(es);
  for (size_t i = 0; i < scan.size(); ++i) {
    const size_t from = scan[i].pos + 3, to = i + 1 < scan.size() ? scan[i + 1].pos : es.size();
    size_t end = to;
    while (end > from && es[end - 1] == 0) --end;  // the zero of a four-byte start code
    const std::string u(es.begin() + long(from), es.begin() + long(end));
    const int type = u[0] & 31;
    if (type == 7 && p.sps.empty()) p.sps = u;
    if (type == 8 && p.pps.empty()) p.pps = u;
    p.pictures.back().push_back(u);
    if (type == 1 || type == 5) p.pictures.emplace_back();
  }
  p.pictures.pop_back();
  return p;
}

// A Matroska file of those pictures, 40 ms apart, in one cluster without
// cues, units behind length fields of length_size bytes; a picture's frame
// whose number `replaced` names holds `replacement` instead, not marked as
// a key frame. With `strip`, the first two bytes of every frame (00 00)
// are stripped into the track's compression settings.
std::string AvcMatroska(const EsPictures& p, int length_size, bool strip, size_t replaced = SIZE_MAX,
                        const std::string& replacement = "") {
  const std::string config = std::string{1, p.sps[1], p.sps[2], p.sps[3], char(0xFC | (length_size - 1)), char(0xE1)} +
                             mkvt::be(p.sps.size(), 2) + p.sps + char(1) + mkvt::be(p.pps.size(), 2) + p.pps;
  std::string blocks;
  for (size_t n = 0; n < p.pictures.size(); ++n) {
    std::string frame;
    for (const std::string& u : p.pictures[n]) frame += mkvt::be(u.size(), length_size) + u;
    const bool key = n != replaced && (p.pictures[n].back()[0] & 31) == 5;
    if (n == replaced) frame = replacement;
    blocks += mkvt::simple(1, int16_t(40 * n), strip ? frame.substr(2) : frame, key);
  }
  const std::string encoding =
      strip ? mkvt::el(mkvt::ContentEncodings,
                       mkvt::el(mkvt::ContentEncoding,
                                mkvt::el(mkvt::ContentCompression, mkvt::uint_el(mkvt::ContentCompAlgo, 3) +
                                                                       mkvt::el(mkvt::ContentCompSettings, std::string(2, '\0')))))
            : std::string();
  const std::string track = mkvt::track(1, 1, "V_MPEG4/ISO/AVC",
                                        mkvt::uint_el(mkvt::DefaultDuration, 40000000) +
                                            mkvt::el(mkvt::CodecPrivate, config) + encoding +
                                            mkvt::el(mkvt::Video, mkvt::uint_el(mkvt::PixelWidth, 160) +
                                                                      mkvt::uint_el(mkvt::PixelHeight, 128)));
  return mkvt::file(mkvt::info() + mkvt::el(mkvt::Tracks, track) + mkvt::cluster(0, blocks));
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  tu::write_file(path, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

// Matroska files written here from an x264 stream without reordering (so
// frame times follow the file order): 2-byte unit lengths, which the
// configuration announces, and 4-byte lengths whose first two bytes (00 00
// in every frame) are stripped into the track's compression settings.
struct Written {
  std::string two_byte, stripped;
};
Written WriteFromElementaryStream(const std::string& es_path, const std::string& dir) {
  const EsPictures p = SplitPictures(es_path);
  Written w{dir + "two_byte.mkv", dir + "stripped.mkv"};
  WriteBytes(w.two_byte, AvcMatroska(p, 2, false));
  WriteBytes(w.stripped, AvcMatroska(p, 4, true));
  return w;
}

// The frame of a group's first picture replaced by bytes that open no
// group (cut slice headers, lengths that run past the frame, no slice at
// all), not marked as a key frame: that group's requests fail, naming its
// time; the next group decodes.
TEST(MatroskaDecode, GroupFrameReplacedByBytesThatOpenNoGroup) {
  const std::string dir = Dir();
  const std::string es = dir + "h.264";
  ASSERT_TRUE(H264(es, 24, std::string(kSmall) + "-bf 0 -g 8"));
  const EsPictures p = SplitPictures(es);
  ASSERT_EQ(p.pictures.size(), 24u);
  const std::string sound = dir + "sound.mkv";
  WriteBytes(sound, AvcMatroska(p, 4, false));
  const std::string kwi = pt::Index(tu::q(sound), sound + ".kwi");
  ASSERT_FALSE(kwi.empty());
  const auto ref = Reference(es, 160, 128, false);
  ASSERT_EQ(ref.size(), 24u);
  const struct {
    const char* name;
    std::string frame;
  } cases[] = {
      {"a slice unit of its header byte only", mkvt::be(1, 4) + "\x01"},
      {"a slice header cut inside an Exp-Golomb code", mkvt::be(2, 4) + std::string("\x01\x00", 2)},
      {"a P slice", mkvt::be(2, 4) + "\x01\xE0"},  // first_mb 0, slice_type 0
      {"a unit length past the frame", mkvt::be(200, 4) + "\x65\x88"},
      {"a length field cut short", std::string("\x00\x00", 2)},
      {"an SEI only", mkvt::be(3, 4) + std::string("\x06\x05\x00", 3)},
      {"no bytes", ""},
  };
  for (const auto& c : cases) {
    const std::string mkv = dir + "hostile.mkv";
    WriteBytes(mkv, AvcMatroska(p, 4, false, 8, c.frame));
    Retarget(kwi, sound, mkv, dir + "hostile.kwi");
    for (int n : {8, 12}) {
      const vshost::Frame f = Open(dir + "hostile.kwi")->getFrame(n);
      EXPECT_FALSE(f.ok) << c.name << ": frame " << n;
      EXPECT_NE(f.error.find("320000000 ns"), std::string::npos) << c.name << ": " << f.error;
    }
    const vshost::Frame f = Open(dir + "hostile.kwi")->getFrame(17);
    ASSERT_TRUE(f.ok) << c.name << ": " << f.error;
    EXPECT_TRUE(Flat(f) == ref[17]) << c.name << ": frame 17, got " << Which(ref, Flat(f));
  }
}

TEST(MatroskaDecode, TwoByteUnitLengthsAndStrippedHeaders) {
  const std::string dir = Dir();
  const std::string es = dir + "p.264";
  ASSERT_TRUE(H264(es, 24, std::string(kSmall) + "-bf 0 -g 8"));
  const Written w = WriteFromElementaryStream(es, dir);
  const auto want = tu::kwi_pictures(tu::index_lines(es, dir + "p.kwi"));
  auto ref = Reference(es, 160, 128, false);
  ASSERT_EQ(ref.size(), 24u);
  for (const std::string& mkv : {w.two_byte, w.stripped}) {
    EXPECT_EQ(tu::kwi_pictures(tu::index_lines(mkv, mkv + ".kwi")), want) << mkv;
    auto clip = Open(mkv + ".kwi");
    ASSERT_TRUE(clip->ok()) << mkv << ": " << clip->error();
    const auto ordered = InOrder(*clip);
    EXPECT_TRUE(ordered == ref) << mkv << ": frames against ffmpeg's decode of the stream";
    ExpectSeeksMatch(*Open(mkv + ".kwi"), ref, 141, mkv);
  }
}

}  // namespace
