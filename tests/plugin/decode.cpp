// Decoding through the test host, on the plugin build that runs CUVID's CPU
// stand-in: frames served in order equal a straight ffmpeg decode, frames
// requested in a random permutation equal those served in order, for each
// codec and container; crops, resize, field operations, the last frames,
// properties, the overlay, and teardown in the middle of decoding. The
// shipped build (the real loader, no GPU here) must fail cleanly.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "damage.h"
#include "decodecheck.h"
#include "plugintest.h"
#include "testutil.h"
#include "vshost.h"

namespace {

using namespace dc;

// ---------------------------------------------------------------- main road: AVC ES

class DecodeAvc : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = Dir();
    es_ = dir_ + "a.264";
    ASSERT_TRUE(H264(es_, 40));
    kwi_ = pt::Index(tu::q(es_), dir_ + "a.kwi");
  }
  static std::string dir_, es_, kwi_;
};
std::string DecodeAvc::dir_, DecodeAvc::es_, DecodeAvc::kwi_;

TEST_F(DecodeAvc, InOrderEqualsFfmpegAndSeeksEqualInOrder) {
  ASSERT_FALSE(kwi_.empty());
  CheckStream({"AVC ES", es_, kwi_}, true, 1);
}

TEST_F(DecodeAvc, LastFramesAndRequestsPastTheEnd) {
  auto clip = Open(kwi_);
  ASSERT_TRUE(clip->ok()) << clip->error();
  const int N = clip->vi().numFrames;
  auto ref = Reference(es_, 320, 240, false);
  ASSERT_EQ(static_cast<int>(ref.size()), N);
  // Past the end: the last frame, after a seek and when decoding on.
  for (int n : {N + 5, N - 1, N - 2, N - 1, N, N + 100}) {
    const vshost::Frame f = clip->getFrame(n);
    ASSERT_TRUE(f.ok) << "requested " << n << ": " << f.error;
    const int want = std::min(n, N - 1);
    EXPECT_TRUE(Flat(f) == ref[static_cast<size_t>(want)])
        << "requested " << n << ", got " << Which(ref, Flat(f));
  }
  // Decoding on across the window edge: 9 ahead is sequential, 10 a seek.
  for (int n : {0, 9, 19, 20, 29}) {
    const vshost::Frame f = clip->getFrame(n);
    ASSERT_TRUE(f.ok);
    EXPECT_TRUE(Flat(f) == ref[static_cast<size_t>(n)]) << "requested " << n << ", got "
                                                         << Which(ref, Flat(f));
  }
}

TEST_F(DecodeAvc, PropertiesOnEveryFrame) {
  auto clip = Open(kwi_);
  ASSERT_TRUE(clip->ok());
  for (int n = 0; n < clip->vi().numFrames; ++n) {
    const vshost::Frame f = clip->getFrame(n);
    ASSERT_TRUE(f.ok);
    ASSERT_EQ(f.dataProps.count("_PictType"), 1u) << n;
    EXPECT_NE(std::string("IPB").find(f.dataProps.at("_PictType")), std::string::npos);
    EXPECT_EQ(f.intProps.at("_SARNum"), 1);  // ASPECT 1 1 from the stream's VUI
    EXPECT_EQ(f.intProps.at("_SARDen"), 1);
    EXPECT_EQ(f.intProps.at("_FieldBased"), 0);  // ORDER 0: progressive
    EXPECT_EQ(f.intProps.at("_DurationNum"), 1000);
    EXPECT_EQ(f.intProps.at("_DurationDen"), 25000);
    EXPECT_EQ(f.intProps.at("_ColorRange"), 1);  // limited range
    EXPECT_EQ(f.intProps.at("_Matrix"), 2);
    EXPECT_EQ(f.intProps.at("_Primaries"), 2);
    EXPECT_EQ(f.intProps.at("_Transfer"), 2);
  }
  // The first picture of an IDR group is an I picture.
  EXPECT_EQ(clip->getFrame(0).dataProps.at("_PictType"), "I");
}

TEST_F(DecodeAvc, PictureTypesWithoutReorderingFollowFfprobe) {
  const std::string es = dir_ + "p.264";
  ASSERT_TRUE(H264(es, 24, "-bf 0"));
  const std::string kwi = pt::Index(tu::q(es), dir_ + "p.kwi");
  auto clip = Open(kwi);
  ASSERT_TRUE(clip->ok());
  const auto probe = tu::ffprobe_frames(es);
  ASSERT_EQ(static_cast<int>(probe.size()), clip->vi().numFrames);
  for (int n = 0; n < clip->vi().numFrames; ++n)
    EXPECT_EQ(clip->getFrame(n).dataProps.at("_PictType"), probe[static_cast<size_t>(n)].at("pict_type"))
        << "frame " << n;
  // Without reordering every picture leaves the decoder as it is decoded,
  // the first one too: each frame is its own picture.
  CheckStream({"AVC without B pictures", es, kwi}, true, 3);
}

TEST_F(DecodeAvc, CropsAndResize) {
  vshost::Args a;
  a.set("cl", 8).set("cr", 16).set("ct", 4).set("cb", 12);
  auto clip = Open(kwi_, a);
  ASSERT_TRUE(clip->ok()) << clip->error();
  ASSERT_EQ(clip->vi().width, 296);
  ASSERT_EQ(clip->vi().height, 224);
  auto ref = Reference(es_, 296, 224, false, "-vf crop=296:224:8:4");
  ASSERT_FALSE(ref.empty());
  for (int n : {0, 13, 14, 30, 3}) {
    const vshost::Frame f = clip->getFrame(n);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_TRUE(Flat(f) == ref[static_cast<size_t>(n)]) << "cropped: requested " << n << ", got "
                                                         << Which(ref, Flat(f));
  }
  for (auto size : {std::pair<int, int>{160, 120}, {640, 480}, {320, 240}}) {
    vshost::Args r;
    r.set("rw", size.first).set("rh", size.second);
    auto resized = Open(kwi_, r);
    ASSERT_TRUE(resized->ok()) << resized->error();
    const vshost::Frame f = resized->getFrame(7);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(f.width, size.first);
    EXPECT_EQ(f.height, size.second);
    // No sample is left as the host's poison (0xCD everywhere in a row).
    bool poisoned = false;
    for (const auto& p : f.planes)
      poisoned |= std::count(p.begin(), p.end(), 0xCD) == static_cast<long>(p.size());
    EXPECT_FALSE(poisoned);
  }
  // Crop and resize together.
  vshost::Args cr;
  cr.set("cl", 16).set("cr", 16).set("rw", 144).set("rh", 120);
  auto both = Open(kwi_, cr);
  ASSERT_TRUE(both->ok());
  const vshost::Frame f = both->getFrame(5);
  ASSERT_TRUE(f.ok) << f.error;
  EXPECT_EQ(f.width, 144);
}

TEST_F(DecodeAvc, OverlayDrawsClippedTextIntoLuma) {
  auto plain = Open(kwi_);
  const vshost::Frame p = plain->getFrame(4);
  for (std::string show2 : {"", "100,40,hello", "300,230,a long text that runs far past the edge",
                            "-20,-10,x", "garbage", "2147483647,2147483647,z"}) {
    vshost::Args a;
    a.set("show", 1);
    if (!show2.empty()) a.set("show2", show2);
    auto clip = Open(kwi_, a);
    ASSERT_TRUE(clip->ok());
    const vshost::Frame f = clip->getFrame(4);
    ASSERT_TRUE(f.ok) << show2 << ": " << f.error;
    // Chroma is untouched; luma differs only inside text cells, where every
    // sample is black or white.
    EXPECT_TRUE(f.planes[1] == p.planes[1] && f.planes[2] == p.planes[2]) << show2;
    int ox = 0, oy = 0;
    if (show2 == "100,40,hello") ox = 100, oy = 40;
    if (show2 == "300,230,a long text that runs far past the edge") ox = 300, oy = 230;
    if (show2 == "-20,-10,x") ox = -20, oy = -10;
    if (show2 == "2147483647,2147483647,z") ox = oy = 1 << 30;
    int changed_outside = 0;
    for (int y = 0; y < f.height; ++y)
      for (int x = 0; x < f.width; ++x) {
        const bool in_text = x >= ox && y >= oy && y < oy + 9 * 20;
        const uint32_t s = f.at(0, x, y);
        if (!in_text && s != p.at(0, x, y)) ++changed_outside;
        if (in_text && y < oy + 20 && x < ox + 290) {  // 29 characters on row 0
          EXPECT_TRUE(s == 0 || s == 255) << x << "," << y;
        }
      }
    EXPECT_EQ(changed_outside, 0) << show2;
  }
}

// ---------------------------------------------------------------- failures and teardown

TEST_F(DecodeAvc, ShippedBuildWithoutGpuServesTheErrorText) {
  const vshost::Plugin* shipped = vshost::Load(PEMMICK_SO);
  vshost::Args a;
  a.set("source", kwi_);
  auto clip = vshost::Invoke(shipped, "KWSource", a);
  ASSERT_TRUE(clip->ok()) << clip->error();
  for (int n : {0, 1, 17}) {
    const vshost::Frame f = clip->getFrame(n);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_TRUE(f.intProps.empty() && f.dataProps.empty()) << "no properties on an error frame";
    // "CUDA error!" in white on black in the first cell row; nothing else drawn.
    int white = 0;
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 110; ++x) white += f.at(0, x, y) == 255;
    EXPECT_GT(white, 100);
    EXPECT_EQ(f.at(0, 200, 100), 16u);
  }
}

TEST_F(DecodeAvc, DestroyingInTheMiddleOfDecodingAndManyInstances) {
  for (int i = 0; i < 100; ++i) {
    auto clip = Open(kwi_);
    ASSERT_TRUE(clip->ok()) << clip->error();
    // The decode thread is then blocked in the display step, or running.
    if (i % 4 == 1) clip->getFrame(i % 40);
    if (i % 4 == 2) {
      clip->getFrame(30);
      clip->getFrame(31);
    }
  }
  // No decode thread is left: every instance joined its thread.
  const std::string tasks = tu::run("ls /proc/" + std::to_string(getpid()) + "/task | wc -l").out;
  EXPECT_LE(std::stoi(tasks), 2) << "threads left: " << tasks;
}

// ---------------------------------------------------------------- deinterlacing and field ops

TEST_F(DecodeAvc, DeinterlaceModesAndFieldOpsKeepSeeksExact) {
  // Every seek with deinterlacing starts a group earlier: a small stream.
  const std::string es = dir_ + "d.264";
  ASSERT_TRUE(H264(es, 24, "-s 160x120"));
  const std::string kwi = pt::Index(tu::q(es), dir_ + "d.kwi");
  std::vector<std::vector<uint8_t>> double_rate;
  for (int mode : {1, 2}) {
    vshost::Args a;
    a.set("deinterlace", mode);
    auto clip = Open(kwi, a);
    ASSERT_TRUE(clip->ok());
    ASSERT_EQ(clip->vi().numFrames, mode * 24);
    ASSERT_EQ(clip->vi().width, 160);
    ASSERT_EQ(clip->vi().height, 120);
    const auto ordered = InOrder(*clip);
    auto again = Open(kwi, a);
    ExpectSeeksMatch(*again, ordered, 7 + mode, "deinterlace " + std::to_string(mode), 16);
    if (mode == 2) double_rate = ordered;
  }
  ASSERT_EQ(double_rate.size(), 48u);
  // Field choice: the pictures are taken as interlaced (use_pf 0), so the
  // two frames of a picture at double rate are its two fields, and single
  // rate shows the field that use_top_field names: the top field for 1, the
  // other one for 0.
  for (int n : {0, 5, 17, 23}) {
    const std::vector<uint8_t>& first = double_rate[size_t(2 * n)];
    const std::vector<uint8_t>& second = double_rate[size_t(2 * n + 1)];
    EXPECT_TRUE(first != second) << "double rate: both fields of picture " << n << " alike";
    std::vector<uint8_t> field[2];
    for (int top : {0, 1}) {
      vshost::Args a;
      a.set("deinterlace", 1).set("use_top_field", top);
      auto clip = Open(kwi, a);
      const vshost::Frame f = clip->getFrame(n);
      ASSERT_TRUE(f.ok) << f.error;
      field[top] = Flat(f);
      EXPECT_TRUE(field[top] == first || field[top] == second)
          << "single rate, use_top_field " << top << ": frame " << n << " is no field of the picture";
    }
    EXPECT_TRUE(field[0] != field[1]) << "use_top_field 0 and 1 chose the same field of picture " << n;
  }
  // Progressive pictures honoured as such (use_pf 1) are not deinterlaced:
  // both double-rate frames of a picture are the picture.
  {
    const auto ref = Reference(es, 160, 120, false);
    vshost::Args a;
    a.set("deinterlace", 2).set("use_pf", 1);
    auto clip = Open(kwi, a);
    for (int n : {0, 1, 30, 31, 47, 46, 9}) {
      const vshost::Frame f = clip->getFrame(n);
      ASSERT_TRUE(f.ok) << f.error;
      EXPECT_TRUE(Flat(f) == ref[size_t(n / 2)]) << "use_pf: requested " << n << ", got ffmpeg frame "
                                                 << Which(ref, Flat(f));
    }
  }
  for (int op : {1, 2}) {
    vshost::Args a;
    a.set("fieldop", op);
    auto clip = Open(kwi, a);
    ASSERT_TRUE(clip->ok()) << clip->error();
    const auto ordered = InOrder(*clip);
    auto again = Open(kwi, a);
    ExpectSeeksMatch(*again, ordered, 11 + op, "fieldop " + std::to_string(op));
  }
}

// ---------------------------------------------------------------- codecs and containers

TEST(DecodeStreams, AvcOpenGopAndContainers) {
  const std::string dir = Dir();
  const std::string open_gop = std::string(kSmall) + "-x264-params open-gop=1:keyint=12:min-keyint=12:scenecut=0 ";
  ASSERT_TRUE(H264(dir + "open.264", 36, open_gop));
  CheckStream(Indexed("AVC open GOP ES", dir + "open.264"), true, 3);
  ASSERT_TRUE(H264(dir + "open.ts", 36, open_gop + "-f mpegts"));
  CheckStream(Indexed("AVC open GOP TS", dir + "open.ts"), true, 4);
  ASSERT_TRUE(H264(dir + "closed.m2ts", 30, std::string(kSmall) + "-f mpegts -mpegts_m2ts_mode 1"));
  CheckStream(Indexed("AVC M2TS", dir + "closed.m2ts"), true, 5);
  ASSERT_TRUE(H264(dir + "closed.vob", 30, std::string(kSmall) + "-f vob"));
  CheckStream(Indexed("AVC PS", dir + "closed.vob"), true, 6);
}

// A transport stream that lost packets of its video PID (1, 5 or 50 in a
// row, the first 2 or 6 of an access unit, which may be an IDR picture's,
// all of a B, a P or an I picture, the P picture that ends a group, or 4 KB
// zeroed) at 40 % of the file, indexed with status 0: every picture whose
// start was read keeps its frame, and a lost one keeps its slot; every picture that ffmpeg
// decodes from the damaged copy as from the intact file is served as its
// own frame in order, in a random order and on fresh instances, and no
// frame is ever another frame's picture (CheckDamaged). AVC with IDR
// groups, with x264's groups, with every group open (non-IDR I pictures
// with a recovery point and leading B pictures); HEVC with CRA pictures
// and their RASL pictures; MPEG-2 with open groups.
class TransportStreamDamage : public ::testing::TestWithParam<DamagedTs> {};

TEST_P(TransportStreamDamage, EveryPictureReadKeepsItsFrame) {
  const std::string dir = Dir();
  const std::string ts = dir + GetParam().file;
  ASSERT_TRUE(GetParam().make(ts));
  const auto intact = Reference(ts, 176, 144, false, "-vsync passthrough");
  ASSERT_EQ(intact.size(), 120u);
  std::vector<DamagedCopy> copies;
  ASSERT_NO_FATAL_FAILURE(TsDamagedCopies(ts, &copies));
  for (const DamagedCopy& c : copies) {
    SCOPED_TRACE(c.name);
    const std::string& damaged = c.path;
    const std::string indexed = damaged + ".kwi";
    tu::RunResult r;
    tu::index_lines(damaged, indexed, &r);
    ASSERT_EQ(r.status, 0) << r.out;
    // The damage where the copy goes on after it (where Ostrel names none).
    const std::string kwi = WithDamage(indexed, {c.after}, {}, damaged + ".damage.kwi");
    // A packet may hold the starts of a few small pictures.
    const size_t packets = c.lost ? 1 : c.dropped == 0 ? 22 : size_t(c.dropped);
    CheckDamaged(kwi, damaged, intact, 176, 144, intact.size() - 1 - std::min<size_t>(2 * packets, 100),
                 24 + unsigned(c.dropped), std::string(GetParam().name) + ", " + c.name);
    // A B picture lost whole leaves out nothing else: with its slot in the
    // index every picture keeps the recording's frame.
    if (c.lost == 'B') {
      size_t pictures = 0;
      for (const std::string& l : tu::kwi_lines(kwi))
        if (l.find(':') != std::string::npos && l.find_first_not_of("0123456789") == l.find(':') && l.find(':') > 0)
          ++pictures;
      const std::string slotted = WithDamage(kwi, {c.after}, {c.lost_slot}, damaged + ".lost.kwi");
      if (pictures + 1 == intact.size() || HasLostSlots(kwi))
        CheckDamaged(slotted, damaged, intact, 176, 144, intact.size(), 25,
                     std::string(GetParam().name) + ", " + c.name + ", its slot kept");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    DecodeStreams, TransportStreamDamage, ::testing::ValuesIn(DamagedTsStreams()),
    [](const ::testing::TestParamInfo<DamagedTs>& i) { return std::string(i.param.name); });

// Damage inside an interlaced picture (MBAFF, HEVC for comparison) that
// the decoder conceals from what it decoded before: every frame is one
// picture in order, in a random order and on fresh instances, whatever
// frame decoding began for (CheckDamaged). The damaged pictures need not be
// ffmpeg's: its own decode of them depends on where it began.
class InterlacedDamage : public ::testing::TestWithParam<dc::InterlacedDamage> {};

TEST_P(InterlacedDamage, OnePicturePerFrameInEveryOrder) {
  const dc::InterlacedDamage& d = GetParam();
  std::vector<std::vector<uint8_t>> intact;
  std::string damaged, what;
  ASSERT_NO_FATAL_FAILURE(MakeInterlacedDamage(d, Dir(), &intact, &damaged, &what));
  const std::string kwi = damaged + ".kwi";
  tu::RunResult r;
  tu::index_lines(damaged, kwi, &r);
  ASSERT_EQ(r.status, 0) << r.out;
  const size_t packets = d.zeroed ? 22 : 5;
  CheckDamaged(kwi, damaged, intact, d.width, d.height, intact.size() - 1 - 2 * packets, 93, what);
}

INSTANTIATE_TEST_SUITE_P(
    DecodeStreams, InterlacedDamage, ::testing::ValuesIn(InterlacedDamageCases()),
    [](const ::testing::TestParamInfo<dc::InterlacedDamage>& i) { return std::string(i.param.name); });

// An MPEG-2 transport stream cut by its end inside its last I picture, which
// keeps its first 6 video packets: the frames of the last group, whose
// damaged pictures the decoder conceals from those before them, are the
// same in every request order.
TEST(DecodeStreams, Mpeg2CutInsideItsLastIntraPicture) {
  const std::string dir = Dir();
  const std::string ts = dir + "cut.ts";
  ASSERT_TRUE(pt::MakeMpeg2(ts, 120, "-s 176x144 -f mpegts"));
  const auto intact = Reference(ts, 176, 144, false, "-vsync passthrough");
  ASSERT_EQ(intact.size(), 120u);
  const std::vector<uint8_t> bytes = tu::read_file(ts);
  const int video = VideoPid(bytes);
  size_t last_intra = 0;
  for (const auto& f : tu::ffprobe_frames(ts))
    if (f.count("pict_type") && f.at("pict_type") == "I" && f.count("pkt_pos"))
      last_intra = std::max<size_t>(last_intra, std::stoull(f.at("pkt_pos")));
  ASSERT_GT(last_intra, 0u);
  size_t end = last_intra;
  for (int packets = 0; end + 188 <= bytes.size(); end += 188)
    if (PidOf(bytes, end) == video && ++packets == 6) break;
  const std::string damaged = dir + "cut_end.ts";
  tu::write_file(damaged, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(end + 188)));
  const std::string kwi = pt::Index(tu::q(damaged), damaged + ".kwi");
  ASSERT_FALSE(kwi.empty());
  CheckDamaged(kwi, damaged, intact, 176, 144, intact.size() - 3, 57, "cut inside the last I picture");
}

// Losses that the index gives a slot (SlotKeepingCopies: an HEVC IRAP
// picture whose first slice was lost, a program stream zeroed over a pack
// and PES header, a transport stream cut after a P picture whose B picture
// was cut): the clip has the recording's frames up to the last picture read
// in display order, and every picture that ffmpeg decodes from the damaged
// copy as from the intact file is served in its own frame (the intact
// file's frame of that number, the sound's time) in order, at random and on
// fresh instances; a frame without a picture carries KWMissing.
TEST(DecodeStreams, LossesThatKeepTheirSlotsServeEveryPictureInItsFrame) {
  std::vector<SlotCopy> copies;
  ASSERT_NO_FATAL_FAILURE(SlotKeepingCopies(Dir(), &copies));
  unsigned seed = 90;
  for (const SlotCopy& c : copies) {
    SCOPED_TRACE(c.name);
    const auto intact = Reference(c.intact, 176, 144, false, "-vsync passthrough");
    ASSERT_GE(intact.size(), c.frames);
    const std::string kwi = pt::Index(tu::q(c.damaged), c.damaged + ".kwi");
    ASSERT_FALSE(kwi.empty());
    EXPECT_TRUE(HasLostSlots(kwi)) << c.name << ": the lost picture keeps its slot";
    auto clip = Open(kwi);
    ASSERT_TRUE(clip->ok()) << clip->error();
    EXPECT_EQ(size_t(clip->vi().numFrames), c.frames);
    clip.reset();
    CheckDamaged(kwi, c.damaged, intact, 176, 144, c.frames, seed++, c.name);
  }
}

// Two transport stream parts of different lengths and patterns joined as
// they were cut, damaged so that the last IDR picture (in the second part)
// keeps only its first packet, with a run of packets zeroed in the first
// part: the picture of the IDR frame is its own concealed decode or a
// failure, never another frame's; every other picture that ffmpeg decodes
// from the damaged copy as from the intact file is served as its frame.
// H.264 and HEVC streams that repeat their parameter sets in every group,
// as elementary, transport and program streams, whose SPS before a group in
// mid-stream was damaged in place: 4 bytes zeroed, or a bit of its picture
// height flipped. The index lists damage and names no size change; its
// SIZE is the stream's. No request fails: every frame is its picture, or,
// where the decoder gives a picture of another size (the flipped bit), the
// picture before it flagged KWMissing. Streams whose sets repeat in
// every group: x264's, and x265's with repeat-headers (closed groups).
TEST(DecodeStreams, ParameterSetDamagedInPlaceIsDamageNotASizeChange) {
  const std::string dir = Dir();
  for (const bool hevc : {false, true}) {
    for (const char* form : {"es", "ts", "ps"}) {
      const std::string name = std::string(hevc ? "HEVC " : "H.264 ") + form;
      SCOPED_TRACE(name);
      const std::string input = dir + "sets_" + (hevc ? "hevc." : "avc.") + form;
      ASSERT_TRUE(RepeatedSetsStream(input, hevc, form, 8 * kSetGroup));
      const auto intact = Reference(input, 192, 108, false, "-vsync passthrough");
      ASSERT_EQ(intact.size(), size_t(8 * kSetGroup));
      tu::RunResult r;
      const auto clean = tu::index_lines(input, input + ".kwi", &r);
      ASSERT_EQ(r.status, 0) << r.out;
      ASSERT_TRUE(tu::kwi_with(clean, "DAMAGE").empty());
      std::vector<DamagedSetCopy> copies;
      ASSERT_NO_FATAL_FAILURE(DamagedSetCopies(input, hevc, &copies));
      unsigned seed = 71;
      for (const DamagedSetCopy& c : copies) {
        SCOPED_TRACE(c.name);
        const std::string kwi = c.path + ".kwi";
        const auto lines = tu::index_lines(c.path, kwi, &r);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("picture size changes"), std::string::npos) << r.out;
        EXPECT_EQ(tu::kwi_with(lines, "DAMAGE").size(), 1u) << "DAMAGE lines";
        EXPECT_EQ(tu::kwi_value(lines, "SIZE").substr(0, 9), "192 x 108");
        // A decoder that takes the set up gives the pictures of its group
        // another size; ffmpeg's decode is no reference for them. It makes
        // new surfaces for that size, and the last pictures of the group
        // before that it shows only then are of the new format too.
        std::vector<size_t> excused;
        for (size_t m = c.group - 4; c.taken_up && m < c.group + kSetGroup; ++m) excused.push_back(m);
        CheckDamaged(kwi, c.path, intact, 192, 108, intact.size(), seed++, name + ", " + c.name, true, excused);
      }
    }
  }
}

TEST(DecodeStreams, JoinedTransportStreamPartsWithALostIdrPictureKeepTheirFrames) {
  const std::string dir = Dir();
  const std::string first = dir + "part1.ts", second = dir + "part2.ts", joined = dir + "joined.ts";
  const std::string x264 = " -pix_fmt yuv420p -c:v libx264 -preset ultrafast -bf 2"
                           " -x264-params keyint=20:min-keyint=20:scenecut=0 -f mpegts ";
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=176x144:rate=25 -frames:v 50" + x264 + tu::q(first)));
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc2=size=176x144:rate=25 -frames:v 66" + x264 + tu::q(second)));
  std::vector<uint8_t> bytes = tu::read_file(first);
  const size_t first_size = bytes.size();
  const std::vector<uint8_t> tail = tu::read_file(second);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  tu::write_file(joined, bytes);
  const auto intact = Reference(joined, 176, 144, false, "-vsync passthrough");
  ASSERT_EQ(intact.size(), 116u);
  const int video = VideoPid(bytes);
  // The video packets that begin an access unit with an IDR slice in them.
  auto idr_start = [&](size_t p) {
    if (PidOf(bytes, p) != video || !(bytes[p + 1] & 0x40)) return false;
    const size_t payload = p + 4 + ((bytes[p + 3] & 0x20) ? 1 + size_t(bytes[p + 4]) : 0);
    for (size_t k = payload; k + 3 < p + 188; ++k)
      if (bytes[k] == 0 && bytes[k + 1] == 0 && bytes[k + 2] == 1 && (bytes[k + 3] & 0x1F) == 5) return true;
    return false;
  };
  size_t last_idr = 0;
  for (size_t p = first_size; p + 188 <= bytes.size(); p += 188)
    if (idr_start(p)) last_idr = p;
  ASSERT_GT(last_idr, first_size);
  std::vector<uint8_t> b;
  bool dropping = false;
  int dropped = 0;
  uint64_t gap = 0;  // where the copy goes on after the packets dropped
  for (size_t p = 0; p + 188 <= bytes.size(); p += 188) {
    if (p == last_idr + 188) dropping = true;
    if (dropping && PidOf(bytes, p) == video && (bytes[p + 1] & 0x40)) dropping = false;
    if (dropping && PidOf(bytes, p) == video) {
      if (dropped++ == 0) gap = b.size();
      continue;
    }
    b.insert(b.end(), bytes.begin() + long(p), bytes.begin() + long(p + 188));
  }
  ASSERT_GT(dropped, 0);
  // Three packets zeroed in the middle of the first part.
  const size_t zero_at = first_size / 2 / 188 * 188;
  std::fill(b.begin() + long(zero_at), b.begin() + long(zero_at + 3 * 188), 0);
  const std::string damaged = dir + "joined_damaged.ts";
  tu::write_file(damaged, b);
  const std::string indexed = damaged + ".kwi";
  tu::RunResult r;
  tu::index_lines(damaged, indexed, &r);
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string kwi = WithDamage(indexed, {zero_at + 3 * 188, gap}, {}, damaged + ".damage.kwi");
  CheckDamaged(kwi, damaged, intact, 176, 144, intact.size() - 8, 91, "joined parts");
}

// Legal transport streams that look damaged to a reader that only counts:
// a discontinuity flagged on a video packet without payload (as a packet
// that carries only a PCR at a time-base change) or with payload, the
// counter jumping there and counting on from it; a video packet sent twice
// (same counter, same bytes); PCR-only and null packets among the video
// packets, the PCR-only ones keeping the counter or counting on (the
// payload packet after them repeating their value, or going on from it).
// Ostrel sees no damage, and each serves every frame as the clean file does.
TEST(DecodeStreams, LegalTransportStreamPatternsServeTheCleanFrames) {
  const std::string dir = Dir();
  const std::string ts = dir + "legal.ts";
  ASSERT_TRUE(pt::MakeMpeg2(ts, 100, "-s 176x144 -f mpegts"));
  const auto clean = Reference(ts, 176, 144, false, "-vsync passthrough");
  ASSERT_EQ(clean.size(), 100u);
  const std::vector<uint8_t> bytes = tu::read_file(ts);
  const int video = VideoPid(bytes);
  // A packet of the video PID without payload: adaptation field only, with
  // the discontinuity flag (and a PCR when asked).
  auto adaptation_only = [&](int cc, bool discontinuity, bool pcr) {
    std::vector<uint8_t> p(188, 0xFF);
    p[0] = 0x47;
    p[1] = uint8_t(video >> 8);
    p[2] = uint8_t(video);
    p[3] = uint8_t(0x20 | (cc & 15));
    p[4] = 183;
    p[5] = uint8_t((discontinuity ? 0x80 : 0) | (pcr ? 0x10 : 0));
    if (pcr) std::fill(p.begin() + 6, p.begin() + 12, 0);
    return p;
  };
  const std::vector<uint8_t> null_packet = [] {
    std::vector<uint8_t> p(188, 0xFF);
    p[0] = 0x47;
    p[1] = 0x1F;
    p[2] = 0xFF;
    p[3] = 0x10;
    return p;
  }();
  enum Kind { kFlagWithoutPayload, kFlagWithPayload, kRepeated, kPcrAndNull, kPcrKeeps, kPcrCountsOn };
  const struct {
    const char* name;
    Kind kind;
  } cases[] = {{"discontinuity on a packet without payload", kFlagWithoutPayload},
               {"discontinuity on a payload packet", kFlagWithPayload},
               {"every 50th video packet repeated", kRepeated},
               {"PCR-only packets counting on, the payload packet after them repeating the value, and null packets",
                kPcrAndNull},
               {"PCR-only packets keeping the counter", kPcrKeeps},
               {"PCR-only packets counting on, the payload going on from them", kPcrCountsOn}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> b;
    int n = 0, shift = 0;
    for (size_t p = 0; p + 188 <= bytes.size(); p += 188) {
      std::vector<uint8_t> packet(bytes.begin() + long(p), bytes.begin() + long(p + 188));
      if (PidOf(bytes, p) != video) {
        b.insert(b.end(), packet.begin(), packet.end());
        continue;
      }
      ++n;
      const int cc = packet[3] & 15;
      if (n % 60 == 0) {
        // The counter jumps by 7 here and counts on from the jump.
        if (c.kind == kFlagWithoutPayload) {
          shift += 7;
          const auto a = adaptation_only(cc + shift - 1, true, true);
          b.insert(b.end(), a.begin(), a.end());
        } else if (c.kind == kFlagWithPayload && (packet[3] & 0x20) && packet[4] > 0) {
          shift += 7;
          packet[5] |= 0x80;
        } else if (c.kind == kPcrAndNull) {
          const auto a = adaptation_only(cc, false, true);
          b.insert(b.end(), a.begin(), a.end());
          b.insert(b.end(), null_packet.begin(), null_packet.end());
        } else if (c.kind == kPcrKeeps || c.kind == kPcrCountsOn) {
          const auto a = adaptation_only(cc + shift - (c.kind == kPcrKeeps), false, true);
          b.insert(b.end(), a.begin(), a.end());
          if (c.kind == kPcrCountsOn) shift += 1;
        }
      }
      packet[3] = uint8_t((packet[3] & 0xF0) | ((cc + shift) & 15));
      b.insert(b.end(), packet.begin(), packet.end());
      if (c.kind == kRepeated && n % 50 == 0) b.insert(b.end(), packet.begin(), packet.end());
    }
    const std::string legal = ts + "_" + std::to_string(int(c.kind)) + ".ts";
    tu::write_file(legal, b);
    const std::string kwi = legal + ".kwi";
    const tu::RunResult r = tu::ostrel("-i " + tu::q(legal) + " -o " + tu::q(kwi));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
    auto clip = Open(kwi);
    ASSERT_TRUE(clip->ok()) << clip->error();
    ASSERT_EQ(clip->vi().numFrames, 100);
    const auto ordered = InOrder(*clip);
    for (size_t i = 0; i < ordered.size(); ++i)
      EXPECT_TRUE(ordered[i] == clean[i]) << "frame " << i << " is the clean picture " << Which(clean, ordered[i]);
    ExpectSeeksMatch(*Open(kwi), clean, 60 + unsigned(c.kind), c.name);
  }
}

TEST(DecodeStreams, Mpeg2ProgressiveInEsPsAndTs) {
  const std::string dir = Dir();
  ASSERT_TRUE(pt::MakeMpeg2(dir + "m.m2v", 30, kSmall));
  CheckStream(Indexed("MPEG-2 ES", dir + "m.m2v"), true, 21);
  ASSERT_TRUE(pt::MakeMpeg2(dir + "m.vob", 30, std::string(kSmall) + "-f vob"));
  CheckStream(Indexed("MPEG-2 PS", dir + "m.vob"), true, 22);
  ASSERT_TRUE(pt::MakeMpeg2(dir + "m.ts", 30, std::string(kSmall) + "-f mpegts"));
  CheckStream(Indexed("MPEG-2 TS", dir + "m.ts"), true, 23);
}

// mpeg2enc writes one sequence header, at the start, for all its groups of
// pictures (as the standard allows): every group after the first starts at
// its own GOP header and needs that sequence header fed first. The stream in
// each container, with P pictures only and with open groups of B pictures.
// Matroska and MP4 carry the sequence header in their first frame too.
TEST(DecodeStreams, Mpeg2WithOneSequenceHeaderInEveryContainer) {
  if (!tu::have("mpeg2enc") || !tu::have("mkvmerge")) GTEST_SKIP() << "mpeg2enc or mkvmerge not installed";
  const std::string dir = Dir();
  struct Kind {
    const char* name;
    const char* options;
  } kinds[] = {{"p", ""}, {"b", "-R 2"}};
  unsigned seed = 24;
  for (const Kind& k : kinds) {
    const std::string es = dir + "one_" + k.name + ".m2v";
    ASSERT_EQ(tu::run("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=128x96:rate=25 -frames:v 60 "
                      "-pix_fmt yuv420p -f yuv4mpegpipe - | mpeg2enc -v 0 -f 3 -b 1000 -G 12 -g 12 " +
                      std::string(k.options) + " -o " + tu::q(es))
                  .status,
              0);
    // One sequence header, several groups (a start-code scan).
    int sequence_headers = 0, groups = 0;
    for (const tu::ScanUnit& u : tu::scan_start_codes(tu::read_file(es))) {
      sequence_headers += u.code == 0xB3;
      groups += u.code == 0xB8;
    }
    ASSERT_EQ(sequence_headers, 1);
    ASSERT_GE(groups, 5);
    const std::string ts = es + ".ts", ps = es + ".vob", mkv = es + ".mkv", mp4 = es + ".mp4";
    ASSERT_TRUE(tu::ffmpeg("-fflags +genpts -r 25 -i " + tu::q(es) + " -c copy -f mpegts " + tu::q(ts)));
    ASSERT_TRUE(tu::ffmpeg("-fflags +genpts -r 25 -i " + tu::q(es) + " -c copy -f vob " + tu::q(ps)));
    ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(mkv) + " " + tu::q(es)).status, 0);
    ASSERT_TRUE(tu::ffmpeg("-r 25 -i " + tu::q(es) + " -c copy " + tu::q(mp4)));
    const std::string name = std::string("MPEG-2 with one sequence header (") + k.name + ") ";
    CheckStream(Indexed(name + "ES", es), true, seed++);
    CheckStream(Indexed(name + "TS", ts), true, seed++);
    CheckStream(Indexed(name + "PS", ps), true, seed++);
    CheckStream(Indexed(name + "Matroska", mkv), true, seed++);
    CheckStream(Indexed(name + "MP4", mp4), true, seed++);
  }
}

TEST(DecodeStreams, HevcCraRaslIdrRadlAndTenBit) {
  const std::string dir = Dir();
  const std::string cra = dir + "cra.265";
  ASSERT_TRUE(Hevc(cra, 26, std::string(kSmall) + "-x265-params log-level=error:keyint=8:open-gop=1:bframes=3"));
  CheckStream(Indexed("HEVC CRA ES", cra), true, 31);
  const std::string idr_params =
      std::string(kSmall) + "-x265-params log-level=error:keyint=8:open-gop=0:radl=2:bframes=3";
  const std::string idr = dir + "idr.265";
  ASSERT_TRUE(Hevc(idr, 26, idr_params));
  CheckStream(Indexed("HEVC IDR ES", idr), true, 32);
  const std::string idr_ts = dir + "idr.ts";
  ASSERT_TRUE(Hevc(idr_ts, 26, idr_params + " -f mpegts"));
  CheckStream(Indexed("HEVC IDR TS", idr_ts), true, 33);
  const std::string deep = dir + "deep.265";
  ASSERT_TRUE(Hevc(deep, 20, kSmall, "yuv420p10le"));
  CheckStream(Indexed("HEVC 10-bit", deep, true), true, 34);
}

// ---------------------------------------------------------------- interlaced, pulldown, VC-1

TEST(DecodePulldown, AvcSoftPulldown) {
  const std::string es = Dir() + "pulldown.264";
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=160x128:rate=24000/1001 -frames:v 24 -pix_fmt yuv420p "
                         "-f yuv4mpegpipe " + tu::q(es + ".y4m")));
  ASSERT_EQ(tu::run("x264 --quiet --pulldown 32 --keyint 12 --bframes 2 --demuxer y4m -o " + tu::q(es) +
                    " " + tu::q(es + ".y4m") + " 2>&1").status, 0);
  CheckPulldown("AVC soft pulldown", es, 160, 128);
}

TEST(DecodePulldown, Mpeg2SoftPulldown) {
  // Field pictures need a height of whole macroblock pairs: 192 lines.
  const std::string es = Dir() + "pulldown.m2v";
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=160x192:rate=24000/1001 -frames:v 24 -pix_fmt yuv420p "
                         "-f yuv4mpegpipe " + tu::q(es + ".y4m")));
  ASSERT_EQ(tu::run("mpeg2enc -v 0 -f 8 -p -g 12 -G 12 -R 2 -o " + tu::q(es) + " < " +
                    tu::q(es + ".y4m") + " 2>&1").status, 0);
  CheckPulldown("MPEG-2 soft pulldown", es, 160, 192);
}

TEST(DecodeStreams, InterlacedAvcMbaffAndMpeg2) {
  const std::string dir = Dir();
  // x264's tff: MBAFF-coded interlaced frames, top field first.
  ASSERT_TRUE(H264(dir + "mbaff.264", 30, std::string(kSmall) + "-x264-params tff=1"));
  CheckStream(Indexed("AVC MBAFF", dir + "mbaff.264"), true, 51);
  ASSERT_TRUE(H264(dir + "mbaff.ts", 30, std::string(kSmall) + "-x264-params tff=1 -f mpegts"));
  CheckStream(Indexed("AVC MBAFF TS", dir + "mbaff.ts"), true, 52);
  ASSERT_TRUE(pt::MakeMpeg2(dir + "i.m2v", 30, std::string(kSmall) + "-flags +ilme+ildct -top 1"));
  CheckStream(Indexed("MPEG-2 interlaced", dir + "i.m2v"), true, 53);
  for (const std::string& kwi : {dir + "mbaff.264.kwi", dir + "i.m2v.kwi"}) {
    auto clip = Open(kwi);
    ASSERT_TRUE(clip->ok());
    EXPECT_EQ(clip->getFrame(3).intProps.at("_FieldBased"), 2) << kwi << ": top field first";
  }
}

TEST(DecodeStreams, Vc1SamplesInEsAndM2ts) {
  Vc1Sample v;
  if (!v.Load()) GTEST_SKIP() << "no VC-1 samples";
  // Targets whose pictures decode from the first group or from a group
  // start without leading pictures.
  auto ts = Open(v.m2ts_kwi);
  ASSERT_TRUE(ts->ok()) << ts->error();
  for (int n : {3, 29, 12, 0}) {
    const vshost::Frame f = ts->getFrame(n);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_TRUE(Flat(f) == v.ordered[size_t(n)]) << "VC-1 M2TS: requested " << n << ", got ES frame "
                                                 << Which(v.ordered, Flat(f));
  }
}

// The shared VC-1 sample in each of its forms: 85 pictures whose 3:2 field
// flags make 106 display frames, each the weave of the fields that ffprobe's
// flags give to ffmpeg's pictures, in order and after a seek from far away to
// each frame; with one frame per picture, the pictures themselves. The two B
// pictures that lead the third group (15 and 16, in frames 18 to 20)
// reference the P picture of the short second group (I, B, P), whose I
// picture decodes concealed from the picture before it. Frames 19 and 20 are
// checked whole, from a fresh instance's first request; the other checks look
// at a window of the pictures, which keeps the many seeks cheap.
struct Vc1Form {
  const char* name;
  const char* file;    // in the shared folder
  const char* remux;   // "" as it is, else the container the elementary stream is remuxed into
};
void PrintTo(const Vc1Form& f, std::ostream* os) { *os << f.name; }

// A rectangle of 8-bit 4:2:0 pictures, its edges even; a top edge at a
// multiple of 4 keeps the field parity of its chroma rows too.
struct Window {
  int x, y, w, h;
};

// Hash of the rows of one parity (0 top, 1 bottom) of a window of every
// plane of an 8-bit 4:2:0 picture of width fw held as one buffer.
size_t FieldHash(const uint8_t* p, int fw, int fh, const Window& r, int parity) {
  std::string rows;
  size_t plane_at = 0;
  for (int plane = 0; plane < 3; ++plane) {
    const int s = plane ? 2 : 1, pw = fw / s;
    for (int y = r.y / s; y < (r.y + r.h) / s; ++y)
      if ((y & 1) == parity)
        rows.append(reinterpret_cast<const char*>(p + plane_at + size_t(y) * size_t(pw) + size_t(r.x / s)),
                    size_t(r.w / s));
    plane_at += size_t(pw) * size_t(fh / s);
  }
  return std::hash<std::string>()(rows);
}

class Vc1Forms : public ::testing::TestWithParam<Vc1Form> {
 protected:
  static constexpr int kW = 1920, kH = 1080, kFrames = 106;
  static constexpr Window kWhole = {0, 0, kW, kH};
  static constexpr Window kCentre = {832, 476, 256, 128};  // rows from a multiple of 4
  // Field hashes of every picture of ffmpeg's decode of the elementary
  // stream (top, bottom; whole and in the window), and per display frame the
  // pictures of its fields by ffprobe's flags.
  static void SetUpTestSuite() {
    es_ = std::string(SHARED_TESTDATA) + "/vc1/vc1_ap_1080_pulldown.vc1";
    if (!tu::exists(es_)) return;
    model_ = FieldModel(tu::ffprobe_frames(es_));
    FILE* raw = popen(("ffmpeg -v quiet -i " + tu::q(es_) + " -vsync passthrough -f rawvideo -pix_fmt yuv420p -")
                          .c_str(), "r");
    ASSERT_NE(raw, nullptr);
    std::vector<uint8_t> picture(size_t(kW) * kH * 3 / 2);
    while (fread(picture.data(), 1, picture.size(), raw) == picture.size()) {
      for (int parity : {0, 1}) {
        whole_[parity].push_back(FieldHash(picture.data(), kW, kH, kWhole, parity));
        centre_[parity].push_back(FieldHash(picture.data(), kW, kH, kCentre, parity));
      }
    }
    ASSERT_EQ(pclose(raw), 0);
  }
  // Which picture of ffmpeg's decode has this field, or -1 (the first of
  // equal ones).
  static int Picture(const std::vector<size_t>& fields, size_t hash) {
    for (size_t p = 0; p < fields.size(); ++p)
      if (fields[p] == hash) return static_cast<int>(p);
    return -1;
  }
  // The frame served for request n has the fields of the model's pictures;
  // a failure names the pictures its fields come from. `cropped`: the frame
  // holds the window only.
  static void Expect(const vshost::Frame& f, int n, bool cropped, const std::string& how) {
    ASSERT_TRUE(f.ok) << how << ": frame " << n << ": " << f.error;
    const Window& r = cropped ? kCentre : kWhole;
    const std::vector<size_t>* fields = cropped ? centre_ : whole_;
    const std::vector<uint8_t> got = Flat(f);
    ASSERT_EQ(got.size(), size_t(r.w) * r.h * 3 / 2);
    const Window all = {0, 0, r.w, r.h};
    const size_t top = FieldHash(got.data(), r.w, r.h, all, 0), bottom = FieldHash(got.data(), r.w, r.h, all, 1);
    const FramePictures m = model_[size_t(n)];
    ASSERT_LT(size_t(std::max(m.top, m.bottom)), fields[0].size());
    EXPECT_TRUE(top == fields[0][size_t(m.top)] && bottom == fields[1][size_t(m.bottom)])
        << how << ": frame " << n << " has the top field of ffmpeg picture " << Picture(fields[0], top)
        << " and the bottom field of " << Picture(fields[1], bottom) << " (-1: of none), not those of "
        << m.top << " and " << m.bottom;
  }
  static std::string es_;
  static std::vector<FramePictures> model_;
  static std::vector<size_t> whole_[2], centre_[2];
};
std::string Vc1Forms::es_;
std::vector<FramePictures> Vc1Forms::model_;
std::vector<size_t> Vc1Forms::whole_[2], Vc1Forms::centre_[2];

TEST_P(Vc1Forms, EveryFrameInEveryOrderIsFfmpegsWeave) {
  const Vc1Form& form = GetParam();
  if (!tu::exists(es_)) GTEST_SKIP() << "no VC-1 samples";
  ASSERT_EQ(model_.size(), size_t(kFrames)) << "display frames of the field flags";
  std::string input = std::string(SHARED_TESTDATA) + "/vc1/" + form.file;
  const std::string dir = Dir();
  if (std::string(form.remux) == "mkv") {
    input = dir + "vc1remux.mkv";
    ASSERT_EQ(tu::run("mkvmerge -q -o " + tu::q(input) + " " + tu::q(es_)).status, 0);
  } else if (std::string(form.remux) == "mp4") {
    input = dir + "vc1remux.mp4";
    ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(es_) + " -c copy " + tu::q(input)));
  }
  const std::string kwi = pt::Index(tu::q(input), dir + "vc1form.kwi");
  ASSERT_FALSE(kwi.empty());
  const std::string name = form.name;

  // Whole pictures: a fresh instance's first request, then decoding on.
  auto whole = Open(kwi);
  ASSERT_TRUE(whole->ok()) << name << ": " << whole->error();
  ASSERT_EQ(whole->vi().numFrames, kFrames) << name;
  for (int n : {19, 20}) Expect(whole->getFrame(n), n, false, name + " whole");

  auto cropped = [] {
    vshost::Args a;
    return a.set("cl", kCentre.x).set("ct", kCentre.y).set("cr", kW - kCentre.x - kCentre.w)
        .set("cb", kH - kCentre.y - kCentre.h);
  };
  auto centre = Open(kwi, cropped());
  ASSERT_TRUE(centre->ok()) << name << ": " << centre->error();
  ASSERT_EQ(centre->vi().width, kCentre.w);
  for (int n = 0; n < kFrames; ++n) Expect(centre->getFrame(n), n, true, name + " in order");
  // Steps of 47 frames (forward beyond the decoding-on window, or back):
  // every request starts a pass of its own.
  for (int k = 1; k <= kFrames; ++k) {
    const int n = k * 47 % kFrames;
    Expect(centre->getFrame(n), n, true, name + " after a seek from " + std::to_string((k - 1) * 47 % kFrames));
  }
  // One frame per picture: the two leading B pictures themselves.
  auto pictures = Open(kwi, cropped().set("fieldop", 2));
  ASSERT_TRUE(pictures->ok()) << name << ": " << pictures->error();
  for (int p : {16, 15}) {
    const vshost::Frame f = pictures->getFrame(p);
    ASSERT_TRUE(f.ok) << name << ": picture " << p << ": " << f.error;
    const std::vector<uint8_t> got = Flat(f);
    const Window all = {0, 0, kCentre.w, kCentre.h};
    for (int parity : {0, 1})
      EXPECT_EQ(FieldHash(got.data(), kCentre.w, kCentre.h, all, parity), centre_[parity][size_t(p)])
          << name << ": picture " << p << ", field " << parity;
  }
}

INSTANTIATE_TEST_SUITE_P(Vc1Sample, Vc1Forms,
                         ::testing::Values(Vc1Form{"ES", "vc1_ap_1080_pulldown.vc1", ""},
                                           Vc1Form{"M2TS", "vc1_ap_1080_pulldown.m2ts", ""},
                                           Vc1Form{"VfW Matroska", "vc1_ap_1080_pulldown_vfw.mkv", ""},
                                           Vc1Form{"mkvmerge remux", "", "mkv"},
                                           Vc1Form{"MP4 remux", "", "mp4"}),
                         [](const ::testing::TestParamInfo<Vc1Form>& i) {
                           std::string s;
                           for (const char* c = i.param.name; *c; ++c)
                             if (isalnum(static_cast<unsigned char>(*c))) s += *c;
                           return s;
                         });

}  // namespace
