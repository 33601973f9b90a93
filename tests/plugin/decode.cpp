// Decoding through the test host, on the plugin build that runs CUVID's CPU
// stand-in: frames served in order equal a straight ffmpeg decode, frames
// requested in a random permutation equal those served in order, for each
// codec and container; crops, resize, field operations, the last frames,
// properties, the overlay, and teardown in the middle of decoding. The
// shipped build (the real loader, no GPU here) must fail cleanly.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>

#include <gtest/gtest.h>

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

// A transport stream with a run of packets zeroed, or cut out, at a
// quarter of the file, read past by Ostrel, which says so: every frame of
// the index is served, in order and after seeks, as one picture of the
// intact file's decode, each later than the frame before's, up to the last;
// never a repeated picture or one out of place, never a damaged one.
TEST(DecodeStreams, TransportStreamDamageReadPast) {
  const std::string dir = Dir();
  const std::string ts = dir + "k40.ts";
  ASSERT_TRUE(H264(ts, 200, "-s 176x144 -x264-params keyint=40:min-keyint=40:scenecut=0:bframes=3 -f mpegts"));
  const auto intact = Reference(ts, 176, 144, false, "-vsync passthrough");
  ASSERT_EQ(intact.size(), 200u);
  const std::vector<uint8_t> bytes = tu::read_file(ts);
  const size_t at = bytes.size() / 4 / 188 * 188, run = 24 * 188;
  const struct {
    const char* name;
    bool cut;
  } cases[] = {{"24 packets zeroed", false}, {"24 packets cut out", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> b = bytes;
    if (c.cut)
      b.erase(b.begin() + long(at), b.begin() + long(at + run));
    else
      std::fill(b.begin() + long(at), b.begin() + long(at + run), 0);
    const std::string damaged = dir + (c.cut ? "k40_cut.ts" : "k40_zeros.ts");
    tu::write_file(damaged, b);
    const std::string kwi = damaged + ".kwi";
    tu::RunResult r;
    tu::index_lines(damaged, kwi, &r);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("WARNING: the transport stream is damaged: packets of the video PID are missing before "
                         "position "),
              std::string::npos)
        << r.out;
    auto clip = Open(kwi);
    ASSERT_TRUE(clip->ok()) << clip->error();
    std::vector<std::vector<uint8_t>> ordered;
    int last = -1, bad = 0;
    for (int n = 0; n < clip->vi().numFrames; ++n) {
      const vshost::Frame f = clip->getFrame(n);
      ordered.push_back(f.ok ? Flat(f) : std::vector<uint8_t>());
      const int j = f.ok ? Which(intact, Flat(f)) : last;
      if (f.ok && j > last) {
        last = j;
        continue;
      }
      if (++bad <= 5)
        ADD_FAILURE() << "in order, frame " << n << ": "
                      << (f.ok ? "the intact picture " + std::to_string(j) + " after " + std::to_string(last)
                               : "failed: " + f.error);
    }
    EXPECT_EQ(bad, 0) << "frames in order that are no picture of the intact file in its place";
    EXPECT_LT(clip->vi().numFrames, 200);
    EXPECT_EQ(last, 199) << "the frames after the damage";
    EXPECT_EQ(OwnPictureOrFailure(*Open(kwi), ordered, 24, c.name), std::vector<int>{});
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

// The I picture that opens the second group (picture 12) is damaged:
// libavcodec reads past its end and conceals the lost blocks from the
// picture decoded before it. In the in-order run that is the (identical)
// picture before; after a seek there is none, so the frames whose fields
// come from pictures 12 to 16 (frames 18 to 20: pictures 14 to 16, the last
// two the leading Bs of the open third group) hold what a decode started at
// the second group's sequence header yields. That is ffmpeg's decode of the
// stream cut there; every other frame equals the in-order run.
TEST(DecodeStreams, Vc1SeeksIntoOpenGroups) {
  Vc1Sample v;
  if (!v.Load()) GTEST_SKIP() << "no VC-1 samples";

  // Start-code scan: the sequence header (00 00 01 0F) last before the
  // thirteenth frame start code (00 00 01 0D) opens the second group.
  const std::vector<uint8_t> es =
      tu::read_file(std::string(SHARED_TESTDATA) + "/vc1/vc1_ap_1080_pulldown.vc1");
  size_t cut = 0;
  int frames_seen = 0;
  for (size_t i = 0; i + 3 < es.size() && frames_seen < 13; ++i) {
    if (es[i] != 0 || es[i + 1] != 0 || es[i + 2] != 1) continue;
    if (es[i + 3] == 0x0F) cut = i;
    if (es[i + 3] == 0x0D) ++frames_seen;
  }
  ASSERT_EQ(frames_seen, 13);
  ASSERT_GT(cut, 0u);
  const std::string tail = tu::scratch("vc1_second_group.vc1");
  tu::write_file(tail, std::vector<uint8_t>(es.begin() + long(cut), es.end()));

  auto again = Open(v.kwi);
  ASSERT_TRUE(again->ok()) << again->error();
  const int w = again->vi().width, h = again->vi().height;
  const auto from_group = Reference(tail, w, h, false);
  ASSERT_GE(from_group.size(), 8u);
  // Backwards, so that every request seeks.
  for (int n : {20, 19, 18}) {
    const vshost::Frame f = again->getFrame(n);
    ASSERT_TRUE(f.ok) << "frame " << n << ": " << f.error;
    const std::vector<uint8_t> got = Flat(f);
    EXPECT_GE(WhichField(from_group, got, w, h, 0), 0) << "frame " << n << ": top field";
    EXPECT_GE(WhichField(from_group, got, w, h, 1), 0) << "frame " << n << ": bottom field";
  }

  std::vector<int> order;
  for (int n = 0; n < 30; ++n)
    if (n < 18 || n > 20) order.push_back(n);
  std::mt19937 rng(61);
  std::shuffle(order.begin(), order.end(), rng);
  order.resize(10);
  for (int n : order) {
    const vshost::Frame f = again->getFrame(n);
    ASSERT_TRUE(f.ok) << "frame " << n << ": " << f.error;
    EXPECT_TRUE(Flat(f) == v.ordered[size_t(n)]) << "VC-1 ES: requested " << n << ", got "
                                                 << Which(v.ordered, Flat(f));
  }
}

}  // namespace
