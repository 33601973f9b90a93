// The plugin (the CPU stand-in build) in the real host, VapourSynth R63,
// built by the build from ../shared/vapoursynth: the host wraps the source
// filter so that a request runs through the frames before it (make-linear),
// caches frames and runs its API compatibility layer, and vspipe stops at
// the first frame that fails. A Python driver (realhost.py) opens each clip
// and requests every frame in order, every frame in a random order on
// another instance, and frames on fresh instances of their own, then plays
// the clip with vspipe. Every frame is the same picture in every order,
// none fails, vspipe plays every clip to its end; undamaged inputs give
// ffmpeg's decode and no frame carries KWMissing; damaged inputs keep the
// intact file's frame count, serve every picture that ffmpeg decodes from
// the damaged copy as in the intact file in its own slot, and show another
// slot's picture only in a frame flagged KWMissing.
#include <glob.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "damage.h"
#include "decodecheck.h"
#include "plugintest.h"
#include "testutil.h"

namespace {

using namespace dc;

std::string SitePackages() {
  glob_t g;
  std::string dir;
  if (glob(VS_PREFIX "/lib/python3*/site-packages", 0, nullptr, &g) == 0 && g.gl_pathc > 0) dir = g.gl_pathv[0];
  globfree(&g);
  return dir;
}

// Why the real host cannot run here, or "".
std::string NoHost() {
#ifdef REALHOST_SANITIZED
  return "the real-host tests run in the release build: a sanitizer build's plugin cannot be loaded into a plain "
         "python";
#else
  if (!tu::exists(VS_SOURCE "/build.sh"))
    return "no VapourSynth source at " VS_SOURCE ": the real-host tests are skipped";
  if (!tu::exists(VS_PREFIX "/.built-R63") || !tu::exists(VS_PREFIX "/bin/vspipe") || SitePackages().empty())
    return "the VapourSynth host did not build into " VS_PREFIX
           " (the build printed why; remove vapoursynth.stamp in the build folder to try again): the real-host tests "
           "are skipped";
  return "";
#endif
}

#define SKIP_WITHOUT_HOST()                \
  do {                                     \
    const std::string why = NoHost();      \
    if (!why.empty()) GTEST_SKIP() << why; \
  } while (0)

// One request as the driver reports it.
struct Served {
  int n;
  bool ok;
  int missing;  // KWMissing
  std::string error;
  std::vector<uint8_t> planes;
};

const char* const kOrders[] = {"inorder", "random", "fresh"};
std::string Told(const std::string& order) {
  return order == "inorder" ? "in order" : order == "random" ? "in a random order" : "on a fresh instance";
}

// What the real host served for one clip.
struct HostRun {
  bool opened = false;
  std::string open_error;
  int frames = 0, width = 0, height = 0;
  std::map<std::string, std::vector<Served>> served;  // by order
  std::map<int, Served> in_order;                     // the in-order run by frame
  int vspipe_status = -1, vspipe_frames = -1;
  std::string vspipe_message;
  std::string output;  // the driver's
};

// The end of a long output, for a failure message.
std::string Tail(const std::string& out) { return out.substr(out.size() > 3000 ? out.size() - 3000 : 0); }

// Runs the driver on an index: every frame in order, every frame in a
// random order, the frames `fresh` each on its own instance, and vspipe.
HostRun Play(const std::string& kwi, unsigned seed, const std::vector<int>& fresh) {
  HostRun run;
  const std::string out = kwi + ".host";
  std::remove((out + ".report").c_str());
  std::string list;
  for (int n : fresh) list += (list.empty() ? "" : ",") + std::to_string(n);
  const tu::RunResult r =
      tu::run("LD_LIBRARY_PATH=" + tu::q(VS_PREFIX "/lib") + " PYTHONPATH=" + tu::q(SitePackages()) +
              " /usr/bin/python3 " + tu::q(REALHOST_PY) + " " + tu::q(PEMMICK_CPU_SO) + " " + tu::q(kwi) + " " +
              tu::q(out) + " --seed " + std::to_string(seed) + " --fresh " + tu::q(list.empty() ? "," : list) +
              " --vspipe " + tu::q(VS_PREFIX "/bin/vspipe"));
  run.output = r.out;
  EXPECT_EQ(r.status, 0) << "the driver failed: " << Tail(r.out);
  std::map<std::string, std::vector<uint8_t>> data;
  std::map<std::string, size_t> at;
  size_t frame_size = 0;
  for (const std::string& line : tu::lines(tu::exists(out + ".report") ? tu::read_text(out + ".report") : "")) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word == "open") {
      in >> word;
      std::getline(in >> std::ws, run.open_error);
    } else if (word == "clip") {
      int bps = 1;
      in >> run.frames >> run.width >> run.height >> bps >> frame_size;
      run.opened = true;
    } else if (word == "vspipe") {
      in >> run.vspipe_status >> run.vspipe_frames;
      std::getline(in >> std::ws, run.vspipe_message);
    } else if (std::find(std::begin(kOrders), std::end(kOrders), word) != std::end(kOrders)) {
      if (!data.count(word)) data[word] = tu::read_file(out + "." + word);
      Served s;
      std::string status;
      in >> s.n >> status;
      s.ok = status == "ok";
      s.missing = 0;
      if (s.ok) {
        in >> s.missing;
        const std::vector<uint8_t>& d = data[word];
        size_t& a = at[word];
        if (a + frame_size <= d.size()) s.planes.assign(d.begin() + long(a), d.begin() + long(a + frame_size));
        a += frame_size;
      } else {
        std::getline(in >> std::ws, s.error);
      }
      run.served[word].push_back(std::move(s));
    }
  }
  for (const Served& s : run.served["inorder"]) run.in_order[s.n] = s;
  // The planes are many megabytes a clip; the report stays to look at.
  for (const char* order : kOrders) std::remove((out + "." + order).c_str());
  return run;
}

// What a picture is, for the failure messages.
using Describe = std::function<std::string(const Served&)>;
Describe PictureOf(const std::vector<std::vector<uint8_t>>& pictures, const std::string& kind) {
  return [&pictures, kind](const Served& s) {
    if (!s.ok) return "failed (" + s.error + ")";
    const int j = Which(pictures, s.planes);
    return (j < 0 ? "none of the " + kind + " pictures" : kind + " picture " + std::to_string(j)) +
           (s.missing ? ", KWMissing = 1" : "");
  };
}

// Reports at most a few failures of a kind, then how many there were.
struct Tally {
  explicit Tally(std::string w) : what(std::move(w)) {}
  std::string what;
  int count = 0;
  std::ostringstream first;
  void Add(const std::string& line) {
    if (++count <= 8) first << "\n  " << line;
  }
  ~Tally() {
    if (count) ADD_FAILURE() << what << " (" << count << "):" << first.str() << (count > 8 ? "\n  ..." : "");
  }
};

// Every request of every order succeeds and is the picture (and KWMissing)
// that the in-order run served; vspipe plays the clip to its end.
void ExpectSameEverywhere(const HostRun& run, const std::string& what, const Describe& describe) {
  for (const char* order : kOrders) {
    Tally failed{what + ": requests that failed " + Told(order) +
                 " (a frame without a picture of its own is served with KWMissing = 1)"};
    Tally differ{what + ": frames " + Told(order) + " that differ from the in-order run"};
    const auto it = run.served.find(order);
    if (it == run.served.end()) continue;
    for (const Served& s : it->second) {
      if (!s.ok) failed.Add("frame " + std::to_string(s.n) + ": " + s.error);
      if (std::string(order) == "inorder") continue;
      const auto o = run.in_order.find(s.n);
      if (o == run.in_order.end() || !o->second.ok || !s.ok) continue;
      if (s.planes != o->second.planes || s.missing != o->second.missing)
        differ.Add("frame " + std::to_string(s.n) + " is " + describe(s) + "; in order " + describe(o->second));
    }
  }
  EXPECT_EQ(run.vspipe_status, 0) << what << ": vspipe: " << run.vspipe_message;
  EXPECT_EQ(run.vspipe_frames, run.frames)
      << what << ": frames vspipe played of " << run.frames << " (" << run.vspipe_message << ")";
}

// A sample of frames for fresh instances: `first` and `count` others.
std::vector<int> FreshSample(int frames, const std::vector<int>& first, size_t count, unsigned seed) {
  std::set<int> pick(first.begin(), first.end());
  std::vector<int> all(static_cast<size_t>(std::max(frames, 0)));
  for (size_t i = 0; i < all.size(); ++i) all[i] = int(i);
  std::shuffle(all.begin(), all.end(), std::mt19937(seed));
  for (size_t i = 0; i < all.size() && i < count; ++i) pick.insert(all[i]);
  std::vector<int> out;
  for (int n : pick)
    if (n >= 0 && n < frames) out.push_back(n);
  return out;
}

// An undamaged input: every frame in every order is ffmpeg's decode, none
// flagged KWMissing.
void CheckIntact(const std::string& name, const std::string& input, const std::string& kwi, int w, int h,
                 unsigned seed) {
  SCOPED_TRACE(name);
  const auto ref = Reference(input, w, h, false, "-vsync passthrough");
  ASSERT_FALSE(ref.empty()) << name << ": ffmpeg decodes nothing";
  const HostRun run = Play(kwi, seed, FreshSample(int(ref.size()), {}, ref.size() <= 12 ? ref.size() : 8, seed));
  ASSERT_TRUE(run.opened) << name << ": " << run.open_error << Tail(run.output);
  ASSERT_EQ(run.width, w);
  ASSERT_EQ(run.height, h);
  EXPECT_EQ(size_t(run.frames), ref.size()) << name << ": frames against ffmpeg's decode";
  {
    Tally other{name + ": frames in order that are not ffmpeg's picture"};
    Tally flagged{name + ": frames in order of an undamaged input with KWMissing"};
    for (const auto& [n, s] : run.in_order) {
      if (!s.ok) continue;
      if (size_t(n) >= ref.size() || s.planes != ref[size_t(n)])
        other.Add("frame " + std::to_string(n) + " is " + PictureOf(ref, "ffmpeg's")(s));
      if (s.missing) flagged.Add("frame " + std::to_string(n));
    }
  }
  ExpectSameEverywhere(run, name, PictureOf(ref, "ffmpeg's"));
}

// A damaged copy: `intact` is ffmpeg's decode of the intact file; the clip
// has `frames` frames.
void CheckDamagedCopy(const std::string& what, const std::string& damaged,
                      const std::vector<std::vector<uint8_t>>& intact, int w, int h, size_t frames, unsigned seed) {
  SCOPED_TRACE(what);
  const std::string kwi = damaged + ".kwi";
  tu::RunResult r;
  tu::index_lines(damaged, kwi, &r);
  ASSERT_EQ(r.status, 0) << what << ": " << r.out;
  // A picture is clean where ffmpeg's decode of the damaged copy holds it
  // unchanged (the test pattern differs in every picture); a picture that
  // ffmpeg's decode holds twice is one that its concealment copied.
  const auto decoded = Reference(damaged, w, h, false, "-vsync passthrough");
  std::vector<bool> clean(intact.size(), false), copied(intact.size(), false);
  {
    std::map<std::string, std::vector<size_t>> where;
    for (size_t i = 0; i < intact.size(); ++i) where[std::string(intact[i].begin(), intact[i].end())].push_back(i);
    std::map<size_t, int> seen;
    for (const auto& d : decoded) {
      const auto it = where.find(std::string(d.begin(), d.end()));
      if (it != where.end() && it->second.size() == 1) ++seen[it->second[0]];
    }
    for (const auto& [m, times] : seen) {
      clean[m] = true;
      copied[m] = times > 1;
    }
  }
  std::vector<int> unclean;
  for (size_t m = 0; m < frames && m < intact.size(); ++m)
    if (!clean[m] && unclean.size() < 30) unclean.push_back(int(m));
  const HostRun run = Play(kwi, seed, FreshSample(int(frames), unclean, 6, seed));
  ASSERT_TRUE(run.opened) << what << ": " << run.open_error << Tail(run.output);
  EXPECT_EQ(size_t(run.frames), frames) << what << ": frames against the intact file's up to its last picture indexed "
                                        << "(a lost picture keeps its slot in the index)";
  const Describe describe = PictureOf(intact, "intact");
  {
    Tally moved{what +
                ": slots whose picture ffmpeg decodes from the damaged copy as in the intact file, in "
                "order not served there (every picture keeps its time slot)"};
    for (size_t m = 0; m < intact.size() && m < size_t(run.frames); ++m) {
      if (!clean[m]) continue;
      const auto it = run.in_order.find(int(m));
      if (it == run.in_order.end()) continue;
      if (!it->second.ok || it->second.planes != intact[m] || it->second.missing)
        moved.Add("frame " + std::to_string(m) + " is " + describe(it->second));
    }
  }
  for (const char* order : kOrders) {
    Tally other{what + ": frames " + Told(order) +
                " that show another slot's intact picture without KWMissing = 1 (a frame without a picture of its own "
                "shows the one before it and is flagged)"};
    const auto it = run.served.find(order);
    if (it == run.served.end()) continue;
    for (const Served& s : it->second) {
      if (!s.ok || s.missing) continue;
      const int j = Which(intact, s.planes);
      if (j >= 0 && j != s.n && !copied[size_t(j)]) other.Add("frame " + std::to_string(s.n) + " is " + describe(s));
    }
  }
  ExpectSameEverywhere(run, what, describe);
}

std::string Describe1(const HostRun& run, int n) {
  const auto it = run.in_order.find(n);
  if (it == run.in_order.end()) return "not requested";
  return it->second.ok ? "served, KWMissing = " + std::to_string(it->second.missing) : it->second.error;
}

// ---------------------------------------------------------------- the shared recording

// The DVB recording that begins with 7 B pictures leading a non-IDR I
// picture: 10 frames, frame 8 has no picture in ffmpeg's decode (nor in the
// stand-in's). Every frame is served in every order, frame 8 as the picture
// before it with KWMissing = 1, and vspipe plays all 10.
TEST(RealHost, BroadcastRecordingWithLeadingPictures) {
  SKIP_WITHOUT_HOST();
  const std::string ts = std::string(SHARED_TESTDATA) + "/h264/broadcast_1080i_leading_b.ts";
  if (!tu::exists(ts)) GTEST_SKIP() << "no broadcast recording in the shared test data (" << ts << ")";
  const std::string kwi = pt::Index(tu::q(ts), Dir() + "broadcast.kwi");
  ASSERT_FALSE(kwi.empty());
  const HostRun run = Play(kwi, 48, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  ASSERT_TRUE(run.opened) << run.open_error << Tail(run.output);
  ASSERT_EQ(run.frames, 10);
  std::vector<std::vector<uint8_t>> in_order;
  for (int n = 0; n < 10; ++n) {
    const auto it = run.in_order.find(n);
    in_order.push_back(it != run.in_order.end() ? it->second.planes : std::vector<uint8_t>());
  }
  const auto f8 = run.in_order.find(8);
  ASSERT_NE(f8, run.in_order.end());
  EXPECT_TRUE(f8->second.ok && f8->second.missing == 1)
      << "frame 8 has no picture of its own: it shows the picture before it with KWMissing = 1; in order: "
      << Describe1(run, 8);
  if (f8->second.ok && run.in_order.count(7)) {
    EXPECT_TRUE(f8->second.planes == run.in_order.at(7).planes) << "frame 8 does not show frame 7's picture";
  }
  for (int n = 0; n < 10; ++n) {
    if (n != 8 && run.in_order.count(n) && run.in_order.at(n).ok) {
      EXPECT_EQ(run.in_order.at(n).missing, 0) << "frame " << n << " carries KWMissing";
    }
  }
  ExpectSameEverywhere(run, "broadcast recording", PictureOf(in_order, "in-order"));
}

// ---------------------------------------------------------------- transport stream damage

// The transport stream damage table of the test host's suite, and AVC
// MBAFF: the intact file, then every damaged copy.
std::vector<DamagedTs> RealHostTsStreams() {
  std::vector<DamagedTs> s = DamagedTsStreams();
  s.push_back({"AVC_MBAFF", "mbaff.ts", [](const std::string& path) {
                 return H264(path, 120, "-s 176x144 -x264-params tff=1:keyint=24:min-keyint=24 -f mpegts");
               }});
  return s;
}

class RealHostTsDamage : public ::testing::TestWithParam<DamagedTs> {};

TEST_P(RealHostTsDamage, EveryFrameKeepsItsSlotInEveryOrder) {
  SKIP_WITHOUT_HOST();
  const std::string dir = Dir();
  const std::string ts = dir + GetParam().file;
  ASSERT_TRUE(GetParam().make(ts));
  const auto intact = Reference(ts, 176, 144, false, "-vsync passthrough");
  ASSERT_EQ(intact.size(), 120u);
  CheckIntact(std::string(GetParam().name) + ", intact", ts, pt::Index(tu::q(ts), ts + ".kwi"), 176, 144, 60);
  std::vector<DamagedCopy> copies;
  ASSERT_NO_FATAL_FAILURE(TsDamagedCopies(ts, &copies));
  unsigned seed = 61;
  for (const DamagedCopy& c : copies)
    CheckDamagedCopy(std::string(GetParam().name) + ", " + c.name, c.path, intact, 176, 144, intact.size(), seed++);
}

INSTANTIATE_TEST_SUITE_P(RealHost, RealHostTsDamage, ::testing::ValuesIn(RealHostTsStreams()),
                         [](const ::testing::TestParamInfo<DamagedTs>& i) { return std::string(i.param.name); });

// Pictures in coded order (file position) with their display index, by
// ffprobe.
struct Coded {
  uint64_t pos;
  size_t shown;
  std::string type;
};
std::vector<Coded> CodedOrder(const std::string& ts) {
  std::vector<Coded> c;
  const auto probed = tu::ffprobe_frames(ts);
  for (size_t i = 0; i < probed.size(); ++i) {
    const auto pos = probed[i].find("pkt_pos"), type = probed[i].find("pict_type");
    if (pos != probed[i].end() && type != probed[i].end() && pos->second != "N/A")
      c.push_back({std::stoull(pos->second), i, type->second});
  }
  std::sort(c.begin(), c.end(), [](const Coded& a, const Coded& b) { return a.pos < b.pos; });
  return c;
}

// MPEG-2, 128 x 96, groups of 12 with 2 B pictures, open: 15 packets lost
// from the start of the P picture that ends a group (and with it the group's
// last B pictures and the start of the next I picture, whose leading B
// pictures reference that P).
TEST(RealHost, Mpeg2PictureEndingAGroupLost) {
  SKIP_WITHOUT_HOST();
  const std::string ts = Dir() + "g12_128.ts";
  ASSERT_TRUE(pt::MakeMpeg2(ts, 120, "-s 128x96 -f mpegts"));
  const auto intact = Reference(ts, 128, 96, false, "-vsync passthrough");
  ASSERT_EQ(intact.size(), 120u);
  CheckIntact("MPEG-2 128x96, intact", ts, pt::Index(tu::q(ts), ts + ".kwi"), 128, 96, 70);
  const std::vector<uint8_t> bytes = tu::read_file(ts);
  const std::vector<Coded> coded = CodedOrder(ts);
  uint64_t from = 0;
  for (size_t i = 0; i < coded.size() && !from; ++i) {
    if (coded[i].type != "P" || coded[i].pos < bytes.size() * 2 / 5) continue;
    for (size_t k = i + 1; k < coded.size() && coded[k].type != "P"; ++k)
      if (coded[k].type == "I") {
        from = coded[i].pos;
        break;
      }
  }
  ASSERT_GT(from, 0u) << "no P picture before an I picture";
  const std::string damaged = ts + "_p15.ts";
  tu::write_file(damaged, DropPackets(bytes, VideoPid(bytes), from, 15));
  CheckDamagedCopy("MPEG-2 128x96, 15 packets of the P picture that ends a group lost", damaged, intact, 128, 96,
                   intact.size(), 71);
}

// MPEG-2 whose last I picture (in file order) keeps only its first 6
// packets: the file ends there. The clip runs to that I picture, in its own
// slot; its leading B pictures, coded after it, were never read and keep
// their slots before it (frames without a picture of their own).
TEST(RealHost, Mpeg2LastPictureCutByTheEndOfTheFile) {
  SKIP_WITHOUT_HOST();
  const std::string ts = Dir() + "g12_cut.ts";
  ASSERT_TRUE(pt::MakeMpeg2(ts, 120, "-s 176x144 -f mpegts"));
  const auto intact = Reference(ts, 176, 144, false, "-vsync passthrough");
  ASSERT_EQ(intact.size(), 120u);
  const std::vector<uint8_t> bytes = tu::read_file(ts);
  const int video = VideoPid(bytes);
  const std::vector<Coded> coded = CodedOrder(ts);
  auto last_i = std::find_if(coded.rbegin(), coded.rend(), [](const Coded& c) { return c.type == "I"; });
  ASSERT_NE(last_i, coded.rend());
  size_t end = last_i->pos;
  for (int kept = 0; end + 188 <= bytes.size(); end += 188)
    if (PidOf(bytes, end) == video && ++kept == 6) {
      end += 188;
      break;
    }
  const std::string damaged = ts + "_cut.ts";
  tu::write_file(damaged, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(end)));
  // A frame for every picture up to the last one read in display order.
  const size_t frames = last_i->shown + 1;
  CheckDamagedCopy("MPEG-2, the last I picture cut by the end of the file", damaged, intact, 176, 144, frames, 81);
}

// ---------------------------------------------------------------- damaged interlaced pictures

// The decoder conceals a damaged MBAFF picture from state that what it
// decoded before leaves, even before the group's IDR picture: from another
// start group the same damaged picture decodes to another picture (ffmpeg's
// own decode of these copies differs likewise, and between its threaded
// and single-threaded runs). So damaged pictures are not held to ffmpeg's
// decode, only to one picture in every order; pictures that ffmpeg decodes
// as in the intact file keep their slots (CheckDamagedCopy). HEVC with its
// last CRA picture damaged is checked alike.
class RealHostInterlacedDamage : public ::testing::TestWithParam<InterlacedDamage> {};

TEST_P(RealHostInterlacedDamage, OnePicturePerFrameInEveryOrder) {
  SKIP_WITHOUT_HOST();
  const InterlacedDamage& d = GetParam();
  std::vector<std::vector<uint8_t>> intact;
  std::string damaged, what;
  ASSERT_NO_FATAL_FAILURE(MakeInterlacedDamage(d, Dir(), &intact, &damaged, &what));
  CheckDamagedCopy(what, damaged, intact, d.width, d.height, intact.size(), 71);
}

INSTANTIATE_TEST_SUITE_P(RealHost, RealHostInterlacedDamage, ::testing::ValuesIn(InterlacedDamageCases()),
                         [](const ::testing::TestParamInfo<InterlacedDamage>& i) { return std::string(i.param.name); });

// Field pictures: the DVB recording (H.264 field pairs among its frames, one
// group) with 4 KB zeroed at a third of the file and, in another copy, 5
// video packets lost at two thirds: every frame is one picture in every
// order and on fresh instances (two), and vspipe plays all 10.
TEST(RealHost, BroadcastRecordingDamaged) {
  SKIP_WITHOUT_HOST();
  const std::string ts = std::string(SHARED_TESTDATA) + "/h264/broadcast_1080i_leading_b.ts";
  if (!tu::exists(ts)) GTEST_SKIP() << "no broadcast recording in the shared test data (" << ts << ")";
  const std::vector<uint8_t> bytes = tu::read_file(ts);
  const int video = VideoPid(bytes);
  for (const bool zeroed : {true, false}) {
    const std::string what = zeroed ? "broadcast recording, 4 KB zeroed at a third"
                                    : "broadcast recording, 5 packets lost at two thirds";
    SCOPED_TRACE(what);
    std::vector<uint8_t> b = bytes;
    const size_t from = PacketFrom(b, video, zeroed ? b.size() / 3 : b.size() * 2 / 3);
    ASSERT_LT(from + 4096, b.size());
    if (zeroed)
      std::fill(b.begin() + long(from), b.begin() + long(from + 4096), 0);
    else
      b = DropPackets(b, video, from, 5);
    const std::string damaged = Dir() + (zeroed ? "broadcast_z.ts" : "broadcast_l.ts");
    tu::write_file(damaged, b);
    const std::string kwi = pt::Index(tu::q(damaged), damaged + ".kwi");
    ASSERT_FALSE(kwi.empty());
    const HostRun run = Play(kwi, 49, {4, 9});
    ASSERT_TRUE(run.opened) << run.open_error << Tail(run.output);
    EXPECT_EQ(run.frames, 10);
    std::vector<std::vector<uint8_t>> in_order;
    for (int n = 0; n < run.frames; ++n) {
      const auto it = run.in_order.find(n);
      in_order.push_back(it != run.in_order.end() ? it->second.planes : std::vector<uint8_t>());
    }
    ExpectSameEverywhere(run, what, PictureOf(in_order, "in-order"));
  }
}

// Losses that the index gives a slot (SlotKeepingCopies): the clip has the
// recording's frames up to the last picture read in display order, and
// every picture read is served in its own frame (the sound's time).
TEST(RealHost, LossesThatKeepTheirSlots) {
  SKIP_WITHOUT_HOST();
  std::vector<SlotCopy> copies;
  ASSERT_NO_FATAL_FAILURE(SlotKeepingCopies(Dir(), &copies));
  unsigned seed = 91;
  for (const SlotCopy& c : copies) {
    const auto intact = Reference(c.intact, 176, 144, false, "-vsync passthrough");
    ASSERT_GE(intact.size(), c.frames) << c.name;
    CheckDamagedCopy(c.name, c.damaged, intact, 176, 144, c.frames, seed++);
  }
}

// H.264 and HEVC, as elementary, transport and program streams, whose SPS
// before a group in mid-stream was damaged in place (4 bytes zeroed, or a bit of
// its picture height flipped): every frame is served in every order, a
// frame whose picture the decoder gives in another size as the one before
// it with KWMissing = 1, and vspipe plays the clip to its end.
TEST(RealHost, ParameterSetDamagedInPlace) {
  SKIP_WITHOUT_HOST();
  const std::string dir = Dir();
  unsigned seed = 91;
  for (const bool hevc : {false, true}) {
    for (const char* form : {"es", "ts", "ps"}) {
      const std::string name = std::string(hevc ? "HEVC " : "H.264 ") + form;
      const std::string input = dir + "sets_" + (hevc ? "hevc." : "avc.") + form;
      constexpr int kFrames = 8 * kSetGroup;
      ASSERT_TRUE(RepeatedSetsStream(input, hevc, form, kFrames)) << name;
      std::vector<DamagedSetCopy> copies;
      ASSERT_NO_FATAL_FAILURE(DamagedSetCopies(input, hevc, &copies));
      for (const DamagedSetCopy& c : copies) {
        const std::string what = name + ", " + c.name;
        SCOPED_TRACE(what);
        const std::string kwi = c.path + ".kwi";
        tu::RunResult r;
        tu::index_lines(c.path, kwi, &r);
        ASSERT_EQ(r.status, 0) << r.out;
        const int g = int(c.group);
        const HostRun run = Play(kwi, seed, FreshSample(kFrames, {g - 4, g, g + 5, g + kSetGroup - 1}, 2, seed));
        ++seed;
        ASSERT_TRUE(run.opened) << what << ": " << run.open_error << Tail(run.output);
        EXPECT_EQ(run.frames, kFrames) << what;
        ExpectSameEverywhere(run, what, [](const Served& s) {
          return std::string(s.ok ? "served" : "failed") + (s.missing ? " with KWMissing" : "");
        });
      }
    }
  }
}

// ---------------------------------------------------------------- Matroska damage

// mkvmerge's Matroska of AVC and MPEG-2 (clusters of a second) with 256
// bytes zeroed inside a frame's head, inside the key frame's after it, or from the
// start of a frame's data on (its first unit's length and header), and
// with 2 KB zeroed from a block header on.
struct MkvStream {
  const char* name;
  const char* file;
  bool (*make)(const std::string& path);
};
void PrintTo(const MkvStream& s, std::ostream* os) { *os << s.name; }
class RealHostMatroskaDamage : public ::testing::TestWithParam<MkvStream> {};

TEST_P(RealHostMatroskaDamage, EveryFrameKeepsItsSlotInEveryOrder) {
  SKIP_WITHOUT_HOST();
  if (!tu::have("mkvmerge") || !tu::have("mkvinfo")) GTEST_SKIP() << "mkvmerge or mkvinfo not installed";
  const std::string es = Dir() + GetParam().file, mkv = es + ".mkv";
  ASSERT_TRUE(GetParam().make(es));
  ASSERT_EQ(tu::run("mkvmerge -q --cluster-length 1000ms -o " + tu::q(mkv) + " " + tu::q(es) + " 2>&1").status, 0);
  const auto intact = Reference(mkv, 176, 144, false, "-vsync passthrough");
  ASSERT_EQ(intact.size(), 120u);
  CheckIntact(std::string(GetParam().name) + " Matroska, intact", mkv, pt::Index(tu::q(mkv), mkv + ".kwi"), 176, 144,
              90);
  const std::vector<MkvBlock> blocks = MatroskaBlocks(mkv);
  ASSERT_EQ(blocks.size(), 120u);
  const std::vector<uint8_t> bytes = tu::read_file(mkv);
  // The first frame of 512 bytes or more, not a key frame, from 40 % of the file on.
  size_t k = 0;
  while (k < blocks.size() &&
         (blocks[k].pos < bytes.size() * 2 / 5 || blocks[k].key || blocks[k].end - blocks[k].data < 512))
    ++k;
  ASSERT_LT(k + 10, blocks.size()) << "no frame of 512 bytes after 40 % of the file";
  // The key frame after it.
  size_t key = k;
  while (key < blocks.size() && !blocks[key].key) ++key;
  ASSERT_LT(key, blocks.size());
  // Zeros inside a frame: in its middle, or 1 KB into it where the middle
  // lies past the first 2 KB (the body of a large frame is not read, and
  // damage there goes unseen).
  const auto inside = [](const MkvBlock& b) {
    return b.data + std::min<uint64_t>((b.end - b.data) / 2, 1024 + 128) - 128;
  };
  const struct {
    const char* name;
    uint64_t at, count;
  } cases[] = {{"256 bytes zeroed inside a frame", inside(blocks[k]), 256},
               {"256 bytes zeroed inside a key frame", inside(blocks[key]), 256},
               {"256 bytes zeroed from a frame's data on", blocks[k].data + 4, 256},
               {"2 KB zeroed from a block header on", blocks[k + 10].pos, 2048}};
  unsigned seed = 91;
  for (const auto& c : cases) {
    std::vector<uint8_t> b = bytes;
    std::fill(b.begin() + long(c.at), b.begin() + long(std::min<uint64_t>(c.at + c.count, b.size())), 0);
    const std::string damaged = mkv + "_" + std::to_string(seed) + ".mkv";
    tu::write_file(damaged, b);
    CheckDamagedCopy(std::string(GetParam().name) + " Matroska, " + c.name, damaged, intact, 176, 144, intact.size(),
                     seed++);
  }
}

INSTANTIATE_TEST_SUITE_P(RealHost, RealHostMatroskaDamage,
                         ::testing::Values(MkvStream{"AVC", "x264.264",
                                                     [](const std::string& path) {
                                                       return H264(path, 120, "-s 176x144 -f h264");
                                                     }},
                                           MkvStream{"MPEG2", "g12.m2v",
                                                     [](const std::string& path) {
                                                       return pt::MakeMpeg2(path, 120, "-s 176x144 -f mpeg2video");
                                                     }}),
                         [](const ::testing::TestParamInfo<MkvStream>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------- undamaged forms

// An elementary stream, and the same pictures encoded into TS, Matroska
// (mkvmerge) and MP4: every frame is ffmpeg's decode in every order.
struct Codec {
  const char* name;
  const char* es;
  bool (*make)(const std::string& path, const std::string& format);
};
void PrintTo(const Codec& c, std::ostream* os) { *os << c.name; }
class RealHostForms : public ::testing::TestWithParam<Codec> {};

TEST_P(RealHostForms, EveryFrameIsFfmpegsDecode) {
  SKIP_WITHOUT_HOST();
  const std::string base = Dir() + "form_" + GetParam().name;
  const std::string es = base + "." + GetParam().es, ts = base + ".ts", mkv = base + ".mkv", mp4 = base + ".mp4";
  ASSERT_TRUE(GetParam().make(es, ""));
  ASSERT_TRUE(GetParam().make(ts, "-f mpegts"));
  ASSERT_TRUE(GetParam().make(mp4, ""));
  ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(mkv) + " " + tu::q(es) + " 2>&1").status, 0);
  unsigned seed = 101;
  for (const std::string& input : {es, ts, mkv, mp4})
    CheckIntact(std::string(GetParam().name) + " " + input.substr(input.rfind('.') + 1), input,
                pt::Index(tu::q(input), input + ".kwi"), 176, 144, seed++);
}

INSTANTIATE_TEST_SUITE_P(
    RealHost, RealHostForms,
    ::testing::Values(Codec{"AVC", "264",
                            [](const std::string& path, const std::string& f) {
                              return H264(path, 48, "-s 176x144 -x264-params keyint=12:min-keyint=12 " + f);
                            }},
                      Codec{"HEVC", "265",
                            [](const std::string& path, const std::string& f) {
                              return Hevc(path, 48, "-s 176x144 -x265-params log-level=error:keyint=12:bframes=3 " + f);
                            }},
                      Codec{"MPEG2", "m2v",
                            [](const std::string& path, const std::string& f) {
                              return pt::MakeMpeg2(path, 48, "-s 176x144 " + f);
                            }}),
    [](const ::testing::TestParamInfo<Codec>& i) { return std::string(i.param.name); });

}  // namespace
