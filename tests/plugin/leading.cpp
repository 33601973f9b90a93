// Streams that begin inside a group: leading pictures whose references
// precede the input, which a decoder may conceal and show or drop unseen,
// and a last field whose partner was cut off, which it may never show. The
// pictures after them must be served as a straight decode gives them, in
// any order, whatever the decoder shows of the others.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "decodecheck.h"
#include "plugintest.h"
#include "testutil.h"
#include "vshost.h"

namespace {

using namespace dc;

struct Decoded {
  double time;  // seconds
  bool intra;   // ffmpeg's picture type I
  std::vector<uint8_t> picture;
};

// ffmpeg's decode of the first video stream, each picture with its time
// and type; the pictures are written to `raw`.
std::vector<Decoded> FfmpegPictures(const std::string& input, const std::string& raw, int w, int h) {
  const tu::RunResult r = tu::run("ffmpeg -nostdin -hide_banner -y -i " + tu::q(input) +
                                  " -map 0:v:0 -vsync passthrough -vf showinfo -f rawvideo -pix_fmt yuv420p " +
                                  tu::q(raw) + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<Decoded> out;
  const std::regex line(R"(n: *\d+ pts: *-?\d+ pts_time:(-?[0-9.]+) .* type:([A-Z?]))");
  for (const std::string& l : tu::lines(r.out)) {
    std::smatch m;
    if (std::regex_search(l, m, line)) out.push_back({std::stod(m[1]), m[2] == "I", {}});
  }
  const std::vector<uint8_t> all = tu::read_file(raw);
  const size_t size = size_t(w) * h * 3 / 2;
  EXPECT_EQ(all.size(), out.size() * size) << "showinfo lines against decoded pictures";
  for (size_t i = 0; i < out.size() && (i + 1) * size <= all.size(); ++i)
    out[i].picture.assign(all.begin() + long(i * size), all.begin() + long((i + 1) * size));
  return out;
}

// The broadcast recording: PID 0x78 carries 1080i25 H.264 whose first
// decodable picture is a non-IDR I picture (with a recovery point) led by 7
// B field pairs that reference pictures before the cut. Decoded after them
// come a P frame, a B frame and a B field pair (order counts 34, 26 and 22;
// the I's is 18, two per frame), then the top field of a B (count 20, the
// frame right after the I) whose bottom field lies past the end. The index
// numbers the 7 leading pictures, the I, that lone field and the B after
// it (the P and the other B follow display gaps at the cut and are left
// out): 10 frames. Frames 0-6 are served as the I (the first frame that can
// be shown), 7 is the I, 9 the picture ffmpeg shows two frames after it.
// Frame 8 has no picture in ffmpeg's decode (nor in the stand-in's): it
// shows the picture of frame 7 (the I) and carries KWMissing, which no
// other frame does.

// Makes the form of the recording asked for ("TS", "ES", "Matroska", "MP4")
// and checks every frame of it in order and in a random order, each on a
// fresh instance.
void CheckRecording(const std::string& form) {
  const std::string ts = std::string(SHARED_TESTDATA) + "/h264/broadcast_1080i_leading_b.ts";
  if (!tu::exists(ts)) GTEST_SKIP() << "no broadcast recording in the shared test data (" << ts << ")";
  const std::string dir = Dir();
  std::string input = ts;
  if (form == "ES") {
    input = dir + "broadcast.264";
    ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(ts) + " -map 0:v -c copy -f h264 " + tu::q(input)));
  } else if (form == "MP4") {
    input = dir + "broadcast.mp4";
    ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(ts) + " -map 0:v -c copy " + tu::q(input)));
  } else if (form == "TS, a packet lost") {
    // The video packet at byte 782832, inside the first leading B picture.
    input = dir + "broadcast_lost.ts";
    std::vector<uint8_t> b = tu::read_file(ts);
    ASSERT_GT(b.size(), 782832u + 188);
    ASSERT_EQ(b[782832], 0x47);
    ASSERT_EQ((b[782833] & 0x1F) << 8 | b[782834], 0x78);
    b.erase(b.begin() + 782832, b.begin() + 782832 + 188);
    tu::write_file(input, b);
  } else if (form == "Matroska") {
    input = dir + "broadcast.mkv";
    tu::run("mkvmerge -q -o " + tu::q(input) + " -A -S " + tu::q(ts));
    ASSERT_TRUE(tu::exists(input)) << "mkvmerge made no file";
  }

  const std::vector<Decoded> ref = FfmpegPictures(ts, dir + "broadcast.yuv", 1920, 1080);
  const auto intra = std::find_if(ref.begin(), ref.end(), [](const Decoded& d) { return d.intra; });
  ASSERT_NE(intra, ref.end()) << "ffmpeg decodes no I picture";
  auto at = [&](double t) -> const std::vector<uint8_t>* {
    for (const Decoded& d : ref)
      if (std::abs(d.time - t) < 0.01) return &d.picture;
    return nullptr;
  };
  ASSERT_EQ(at(intra->time + 0.04), nullptr) << "ffmpeg shows the lone field";
  ASSERT_NE(at(intra->time + 0.08), nullptr) << "ffmpeg shows no picture two frames after the I";
  std::vector<const std::vector<uint8_t>*> want(10, &intra->picture);
  want[8] = nullptr;
  want[9] = at(intra->time + 0.08);
  const std::vector<std::vector<uint8_t>> known = {intra->picture, *want[9]};

  const std::string kwi = pt::Index(tu::q(input), dir + "broadcast.kwi");
  ASSERT_FALSE(kwi.empty());
  std::vector<int> linear(10);
  for (int n = 0; n < 10; ++n) linear[size_t(n)] = n;
  std::vector<int> shuffled = linear;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(48));
  for (const std::vector<int>* order : {&linear, &shuffled}) {
    SCOPED_TRACE(order == &linear ? "in order" : "in a random order");
    auto clip = Open(kwi);
    ASSERT_TRUE(clip->ok()) << clip->error();
    ASSERT_EQ(clip->vi().numFrames, 10);
    for (int n : *order) {
      const vshost::Frame f = clip->getFrame(n);
      ASSERT_TRUE(f.ok) << "frame " << n << ": " << f.error;
      const bool missing = f.intProps.count("KWMissing") && f.intProps.at("KWMissing") == 1;
      EXPECT_EQ(missing, !want[size_t(n)]) << "frame " << n << ": KWMissing";
      if (!want[size_t(n)]) {
        EXPECT_TRUE(Flat(f) == *want[size_t(n) - 1])
            << "frame " << n << " served the picture of " << Which(known, Flat(f))
            << " (0 the I, 1 the frame after the lone field), not that of the frame before it";
        continue;
      }
      EXPECT_TRUE(Flat(f) == *want[size_t(n)]) << "frame " << n << " served the picture of "
                                               << Which(known, Flat(f))
                                               << " (0 the I, 1 the frame after the lone field, -1 neither)";
    }
  }
  // The frame after the one without a picture is served on a fresh
  // instance, after a frame before it and after itself.
  for (const int before : {-1, 0, 6, 7, 8, 9}) {
    SCOPED_TRACE("frame 9 after " + (before < 0 ? std::string("nothing") : "frame " + std::to_string(before)));
    auto clip = Open(kwi);
    ASSERT_TRUE(clip->ok()) << clip->error();
    if (before >= 0) clip->getFrame(before);
    const vshost::Frame f = clip->getFrame(9);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_TRUE(Flat(f) == *want[9]) << "served the picture of " << Which(known, Flat(f));
  }
}

TEST(DecodeLeadingPictures, CutBroadcastRecordingTs) { CheckRecording("TS"); }
TEST(DecodeLeadingPictures, CutBroadcastRecordingEs) { CheckRecording("ES"); }
// One video packet lost inside the first leading picture: the I picture and
// those after it are served as from the intact recording.
TEST(DecodeLeadingPictures, CutBroadcastRecordingTsWithAPacketLost) { CheckRecording("TS, a packet lost"); }
TEST(DecodeLeadingPictures, CutBroadcastRecordingMatroska) { CheckRecording("Matroska"); }
TEST(DecodeLeadingPictures, CutBroadcastRecordingMp4) { CheckRecording("MP4"); }

}  // namespace

namespace {

using namespace dc;

// A progressive open-group stream cut at an I picture whose leading B
// pictures reference the group before: here the stand-in conceals and shows
// them (the reverse of the recording above), and ffmpeg drops them. Every
// frame from the I on equals ffmpeg's decode, the leading ones serve the I,
// in order and in a random order.
TEST(DecodeLeadingPictures, OpenGroupCutAtItsIPicture) {
  const std::string dir = Dir(), full = dir + "open.264", cut = dir + "open_cut.264";
  ASSERT_TRUE(H264(full, 36, std::string(kSmall) +
                                 "-x264-params open-gop=1:keyint=12:min-keyint=12:scenecut=0:repeat-headers=1"));
  // ffprobe: the third I picture, whose access unit starts with the
  // parameter sets, and its leading pictures: shown before it, stored after it.
  const auto probe = tu::ffprobe_frames(full);
  std::vector<size_t> intra;
  for (size_t i = 0; i < probe.size(); ++i)
    if (probe[i].at("pict_type") == "I") intra.push_back(i);
  ASSERT_EQ(intra.size(), 3u);
  const uint64_t at = std::stoull(probe[intra[2]].at("pkt_pos"));
  size_t leading = 0;
  for (size_t i = 0; i < intra[2]; ++i) leading += std::stoull(probe[i].at("pkt_pos")) > at;
  ASSERT_GT(leading, 0u);
  const std::vector<uint8_t> es = tu::read_file(full);
  tu::write_file(cut, std::vector<uint8_t>(es.begin() + long(at), es.end()));
  const auto ref = Reference(cut, 160, 128, false, "-vsync passthrough");
  ASSERT_EQ(ref.size(), probe.size() - intra[2]) << "ffmpeg shows the I and the pictures after it";
  std::vector<std::vector<uint8_t>> want(leading, ref[0]);
  want.insert(want.end(), ref.begin(), ref.end());

  const std::string kwi = pt::Index(tu::q(cut), dir + "open_cut.kwi");
  ASSERT_FALSE(kwi.empty());
  auto clip = Open(kwi);
  ASSERT_TRUE(clip->ok()) << clip->error();
  ASSERT_EQ(size_t(clip->vi().numFrames), want.size());
  const std::vector<std::vector<uint8_t>> ordered = InOrder(*clip);
  for (size_t n = 0; n < ordered.size(); ++n)
    EXPECT_TRUE(ordered[n] == want[n]) << "requested " << n << ", got ffmpeg frame " << Which(ref, ordered[n]);
  auto again = Open(kwi);
  ASSERT_TRUE(again->ok());
  ExpectSeeksMatch(*again, want, 48, "open group cut at its I picture");
}

}  // namespace

namespace {

using namespace dc;

// A VC-1 recording that begins inside the stream: the shared M2TS with its
// first packets cut off, at a 192-byte packet boundary. The pictures before
// the first one that decodes whole (the B pictures shown before the first
// group's I picture reference a picture before the cut) are never served:
// the clip's frames from the first whole one on are the intact file's, those
// before it serve that frame's picture, in order, in a random order and as
// the first request of a fresh instance. With the 3:2 field flags the frame
// after the two leading B pictures weaves the repeated field of the second
// with a field of the I picture: it is not whole either.

// Hash of the rows of one parity (0 top, 1 bottom) of every plane of an
// 8-bit 4:2:0 picture of w x h held as one buffer.
size_t ParityHash(const uint8_t* p, int w, int h, int parity) {
  std::string rows;
  size_t at = 0;
  for (int plane = 0; plane < 3; ++plane) {
    const int pw = plane ? w / 2 : w, ph = plane ? h / 2 : h;
    for (int y = parity; y < ph; y += 2)
      rows.append(reinterpret_cast<const char*>(p + at + size_t(y) * size_t(pw)), size_t(pw));
    at += size_t(pw) * size_t(ph);
  }
  return std::hash<std::string>()(rows);
}

struct FieldHashes {
  size_t top, bottom;
  bool operator==(const FieldHashes& o) const { return top == o.top && bottom == o.bottom; }
};

FieldHashes HashesOf(const std::vector<uint8_t>& picture, int w, int h) {
  return {ParityHash(picture.data(), w, h, 0), ParityHash(picture.data(), w, h, 1)};
}

// The field hashes of every picture of ffmpeg's decode, in display order.
std::vector<FieldHashes> FfmpegFields(const std::string& input, int w, int h) {
  std::vector<FieldHashes> out;
  FILE* raw = popen(("ffmpeg -nostdin -v quiet -i " + tu::q(input) +
                     " -map 0:v:0 -vsync passthrough -f rawvideo -pix_fmt yuv420p -").c_str(), "r");
  EXPECT_NE(raw, nullptr);
  if (!raw) return out;
  std::vector<uint8_t> picture(size_t(w) * h * 3 / 2);
  while (fread(picture.data(), 1, picture.size(), raw) == picture.size()) out.push_back(HashesOf(picture, w, h));
  EXPECT_EQ(pclose(raw), 0);
  return out;
}

struct Vc1Cut {
  const char* name;
  size_t packet;  // the first packet kept
};
void PrintTo(const Vc1Cut& c, std::ostream* os) { *os << c.name; }

class Vc1CutRecording : public ::testing::TestWithParam<Vc1Cut> {
 protected:
  static constexpr int kW = 1920, kH = 1080;
  // ffprobe's view and ffmpeg's pictures of the intact file.
  static void SetUpTestSuite() {
    intact_ = std::string(SHARED_TESTDATA) + "/vc1/vc1_ap_1080_pulldown.m2ts";
    if (!tu::exists(intact_)) return;
    probe_ = tu::ffprobe_frames(intact_);
    pictures_ = FfmpegFields(intact_, kW, kH);
  }
  // The intact picture whose field of this parity a hash is, or -1.
  static int FieldOf(size_t hash, int parity) {
    for (size_t p = 0; p < pictures_.size(); ++p)
      if ((parity ? pictures_[p].bottom : pictures_[p].top) == hash) return int(p);
    return -1;
  }
  static std::string intact_;
  static std::vector<std::map<std::string, std::string>> probe_;
  static std::vector<FieldHashes> pictures_;
};
std::string Vc1CutRecording::intact_;
std::vector<std::map<std::string, std::string>> Vc1CutRecording::probe_;
std::vector<FieldHashes> Vc1CutRecording::pictures_;

TEST_P(Vc1CutRecording, BeginsAtTheFirstPictureThatDecodesWhole) {
  const Vc1Cut& cut = GetParam();
  if (!tu::exists(intact_)) GTEST_SKIP() << "no VC-1 M2TS in the shared test data (" << intact_ << ")";
  ASSERT_EQ(pictures_.size(), 85u) << "ffmpeg's pictures of the intact file";
  ASSERT_EQ(probe_.size(), pictures_.size()) << "ffprobe's pictures of the intact file";

  const std::vector<uint8_t> bytes = tu::read_file(intact_);
  const size_t at = cut.packet * 192;
  ASSERT_LT(at + 192, bytes.size());
  ASSERT_EQ(bytes[at + 4], 0x47) << "no packet at " << at;
  const std::string dir = Dir(), input = dir + "vc1cut_" + std::to_string(cut.packet) + ".m2ts";
  tu::write_file(input, std::vector<uint8_t>(bytes.begin() + long(at), bytes.end()));

  // The intact pictures that ffmpeg decodes whole from the cut file.
  const std::vector<FieldHashes> decoded = FfmpegFields(input, kW, kH);
  std::vector<bool> clean(pictures_.size(), false);
  size_t damaged = 0;
  for (const FieldHashes& d : decoded) {
    bool found = false;
    for (size_t p = 0; p < pictures_.size(); ++p)
      if (pictures_[p] == d) clean[p] = found = true;
    damaged += !found;
  }

  // The recording begins at the first group whose sequence header was
  // kept: at the first I picture whose packet (the one its PES packet starts
  // in) lies at or after the cut, led by the B pictures shown before it and
  // stored after it.
  size_t intra = 0;
  while (intra < probe_.size() &&
         (probe_[intra].at("pict_type") != "I" || std::stoull(probe_[intra].at("pkt_pos")) < at))
    ++intra;
  ASSERT_LT(intra, probe_.size()) << "no group begins after the cut";
  size_t begin = intra;
  while (begin > 0 && probe_[begin - 1].at("pict_type") == "B" &&
         std::stoull(probe_[begin - 1].at("pkt_pos")) > std::stoull(probe_[intra].at("pkt_pos")))
    --begin;
  ASSERT_LT(begin, intra) << "the first group has no leading pictures";
  ASSERT_FALSE(clean[begin]) << "ffmpeg decodes the first leading picture whole";

  const std::string kwi = pt::Index(tu::q(input), dir + "vc1cut_" + std::to_string(cut.packet) + ".kwi");
  ASSERT_FALSE(kwi.empty());

  // Display frames by the field flags of the pictures from there on (intact
  // picture numbers), and one frame per picture.
  std::vector<FramePictures> woven = FieldModel({probe_.begin() + long(begin), probe_.end()});
  for (FramePictures& m : woven) m = {m.top + int(begin), m.bottom + int(begin)};
  std::vector<FramePictures> each;
  for (size_t p = begin; p < probe_.size(); ++p) each.push_back({int(p), int(p)});

  for (const int fieldop : {0, 2}) {
    const std::vector<FramePictures>& model = fieldop == 0 ? woven : each;
    vshost::Args args;
    args.set("fieldop", fieldop);
    // The first frame from which on every frame's fields come from pictures
    // that ffmpeg decodes whole from the cut file.
    size_t whole = model.size();
    while (whole > 0 && clean[size_t(model[whole - 1].top)] && clean[size_t(model[whole - 1].bottom)]) --whole;
    ASSERT_LT(whole, model.size()) << "ffmpeg decodes no whole picture at the end";
    const int lead = int(whole), count = int(model.size());
    SCOPED_TRACE(std::string(cut.name) + ", fieldop " + std::to_string(fieldop) + ": " + std::to_string(count) +
                 " frames from intact picture " + std::to_string(begin) + " on, the first " + std::to_string(lead) +
                 " before the first whole one; ffmpeg shows " + std::to_string(damaged) + " damaged pictures");

    auto first = Open(kwi, args);
    ASSERT_TRUE(first->ok()) << first->error();
    ASSERT_EQ(first->vi().numFrames, count);
    // A frame before the first whole one serves that one.
    auto check = [&](vshost::Clip& clip, int n, const std::string& how) {
      const vshost::Frame f = clip.getFrame(n);
      ASSERT_TRUE(f.ok) << how << ": frame " << n << ": " << f.error;
      const FieldHashes got = HashesOf(Flat(f), kW, kH);
      const FramePictures m = model[size_t(std::max(n, lead))];
      EXPECT_TRUE(got.top == pictures_[size_t(m.top)].top && got.bottom == pictures_[size_t(m.bottom)].bottom)
          << how << ": frame " << n << " has the top field of intact picture " << FieldOf(got.top, 0)
          << " and the bottom field of " << FieldOf(got.bottom, 1) << " (-1: of none), not those of " << m.top
          << " and " << m.bottom;
    };
    for (int n = 0; n < count; ++n) check(*first, n, "in order");

    // Every frame in a random order; with one frame per picture the first
    // frames only, which keeps the seeks few.
    std::vector<int> shuffled(static_cast<size_t>(count));
    for (int n = 0; n < count; ++n) shuffled[size_t(n)] = n;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(unsigned(cut.packet)));
    auto random = Open(kwi, args);
    ASSERT_TRUE(random->ok()) << random->error();
    for (int n : shuffled)
      if (fieldop == 0 || n < lead + 8) check(*random, n, "in a random order");

    // The first request of a fresh instance: the frames around the first
    // whole one, and the last.
    for (int n : {0, lead - 1, lead, lead + 1, lead + 2, count - 1}) {
      if (n < 0 || n >= count) continue;
      auto fresh = Open(kwi, args);
      ASSERT_TRUE(fresh->ok()) << fresh->error();
      check(*fresh, n, "on a fresh instance");
    }
  }
}

// In the shared file the sequence headers and entry points of the groups of
// intact pictures 57 to 70 and 71 to 84 (display order; each led by two B
// pictures) lie in packets 2046 and 3205. Cut inside the group before, in
// the packet before the group's, at it, in the packet after it (inside the
// I picture: the recording begins at the next group), and inside the group.
INSTANTIATE_TEST_SUITE_P(Vc1Cuts, Vc1CutRecording,
                         ::testing::Values(Vc1Cut{"InsideAGroup", 1500}, Vc1Cut{"ThePacketBeforeAGroup", 2045},
                                           Vc1Cut{"AtTheGroupsPacket", 2046}, Vc1Cut{"JustAfterAGroupStart", 2047},
                                           Vc1Cut{"InsideTheLastButOneGroup", 3000}),
                         [](const ::testing::TestParamInfo<Vc1Cut>& i) { return std::string(i.param.name); });

// The same recording with the P picture that ends a group lost: its
// transport packets dropped. In stream order the B picture shown before it
// follows it, then the sequence header, entry point and I picture of the
// next group, then that group's two leading B pictures (both also
// reference the lost P picture). Every picture the decoder gives keeps its
// own frame (one frame per picture): where ffmpeg's decode of the damaged
// copy has a picture of the intact file, the frame in its place is that
// picture, and no frame shows another frame's picture unless it carries
// KWMissing, in order, in a random order and on fresh instances alike; no
// request fails.
struct Vc1Loss {
  const char* name;
  size_t intra;  // the display index (intact file) of the next group's I picture
};
void PrintTo(const Vc1Loss& c, std::ostream* os) { *os << c.name; }

class Vc1LostPicture : public ::testing::TestWithParam<Vc1Loss> {};

TEST_P(Vc1LostPicture, EveryPictureKeepsItsFrame) {
  const Vc1Loss& loss = GetParam();
  const std::string intact = std::string(SHARED_TESTDATA) + "/vc1/vc1_ap_1080_pulldown.m2ts";
  if (!tu::exists(intact)) GTEST_SKIP() << "no VC-1 M2TS in the shared test data (" << intact << ")";
  constexpr int kW = 1920, kH = 1080;
  const auto probe = tu::ffprobe_frames(intact);
  const std::vector<FieldHashes> pictures = FfmpegFields(intact, kW, kH);
  ASSERT_EQ(probe.size(), pictures.size()) << "ffprobe's and ffmpeg's pictures of the intact file";
  ASSERT_LT(loss.intra, probe.size());
  ASSERT_EQ(probe[loss.intra].at("pict_type"), "I");
  auto position = [&](size_t p) { return std::stoull(probe[p].at("pkt_pos")); };
  // The P picture that ends the group before: the last one before the I
  // picture in stream order.
  int lost = -1;
  for (size_t p = 0; p < probe.size(); ++p)
    if (probe[p].at("pict_type") == "P" && position(p) < position(loss.intra) &&
        (lost < 0 || position(p) > position(size_t(lost))))
      lost = int(p);
  ASSERT_GE(lost, 0) << "no P picture before the group";

  // Its packets: from the one ffprobe names to the next that begins a PES
  // packet of the video.
  const std::vector<uint8_t> bytes = tu::read_file(intact);
  const size_t from = size_t(position(size_t(lost)));
  ASSERT_EQ(from % 192, 0u);
  ASSERT_LT(from + 192, bytes.size());
  auto pid = [&](size_t p) { return ((bytes[p + 5] & 0x1F) << 8) | bytes[p + 6]; };
  const int video = pid(from);
  ASSERT_TRUE(bytes[from + 5] & 0x40) << "the picture's PES packet does not begin at " << from;
  std::vector<uint8_t> b;
  int dropped = 0;
  bool in = false;
  for (size_t p = 0; p + 192 <= bytes.size(); p += 192) {
    if (pid(p) == video) {
      if (p == from) in = true;
      else if (in && (bytes[p + 5] & 0x40)) in = false;
      if (in) {
        ++dropped;
        continue;
      }
    }
    b.insert(b.end(), bytes.begin() + long(p), bytes.begin() + long(p + 192));
  }
  const std::string dir = Dir(), input = dir + "vc1lost_" + std::to_string(loss.intra) + ".m2ts";
  tu::write_file(input, b);

  // ffmpeg's decode of the damaged copy, and which intact picture each of
  // its pictures is (-1: a damaged one). Pictures of the intact file may be
  // equal: a skipped picture is its reference's.
  const std::vector<FieldHashes> decoded = FfmpegFields(input, kW, kH);
  auto which = [&](const FieldHashes& h) {
    for (size_t p = 0; p < pictures.size(); ++p)
      if (pictures[p] == h) return int(p);
    return -1;
  };
  bool intra_clean = false;
  for (const FieldHashes& d : decoded) intra_clean |= d == pictures[loss.intra];
  ASSERT_TRUE(intra_clean) << "ffmpeg does not decode the group's I picture";

  const std::string kwi = pt::Index(tu::q(input), dir + "vc1lost_" + std::to_string(loss.intra) + ".kwi");
  ASSERT_FALSE(kwi.empty());
  vshost::Args args;
  args.set("fieldop", 2);
  auto clip = Open(kwi, args);
  ASSERT_TRUE(clip->ok()) << clip->error();
  const int count = clip->vi().numFrames;
  // One frame per picture ffmpeg gives (the lost picture's slot kept or
  // not): frame n is ffmpeg's picture n. The B picture that followed the
  // lost P picture is shown before the P picture decoded before it, by
  // ffmpeg and in the index alike.
  ASSERT_EQ(size_t(count), decoded.size()) << "frames against ffmpeg's pictures of the damaged copy";
  SCOPED_TRACE(std::string(loss.name) + ": intact picture " + std::to_string(lost) + " lost (" +
               std::to_string(dropped) + " packets)");

  struct Served {
    FieldHashes fields;
    bool missing;
  };
  auto serve = [&](vshost::Clip& c, int n, const std::string& how) -> Served {
    const vshost::Frame f = c.getFrame(n);
    EXPECT_TRUE(f.ok) << how << ": frame " << n << ": " << f.error;
    if (!f.ok) return {{0, 0}, false};
    const auto m = f.intProps.find("KWMissing");
    return {HashesOf(Flat(f), kW, kH), m != f.intProps.end() && m->second == 1};
  };
  std::vector<Served> ordered;
  int clean = 0;
  for (int n = 0; n < count; ++n) {
    ordered.push_back(serve(*clip, n, "in order"));
    const Served& s = ordered.back();
    const FieldHashes& want = decoded[size_t(n)];
    const int intact_picture = which(want), is = which(s.fields);
    if (intact_picture >= 0) {
      ++clean;
      EXPECT_TRUE(s.fields == want) << "in order: frame " << n << " is intact picture " << is
                                    << " (-1: none), not " << intact_picture << (s.missing ? " (KWMissing)" : "");
    } else if (!s.missing) {
      // A damaged picture: the decoder's own (as ffmpeg's, or another
      // concealment), never another frame's.
      EXPECT_TRUE(is < 0 || s.fields == want)
          << "in order: frame " << n << " is intact picture " << is << " where ffmpeg's is damaged";
    }
  }
  EXPECT_GE(clean, count - 8) << "frames that ffmpeg decodes as in the intact file";
  auto same = [&](vshost::Clip& c, int n, const std::string& how) {
    const Served s = serve(c, n, how);
    EXPECT_TRUE(s.fields == ordered[size_t(n)].fields && s.missing == ordered[size_t(n)].missing)
        << how << ": frame " << n << " is intact picture " << which(s.fields) << (s.missing ? " (missing)" : "")
        << ", in order " << which(ordered[size_t(n)].fields) << (ordered[size_t(n)].missing ? " (missing)" : "");
  };
  // The frames of the two groups around the loss in a random order, then
  // the frames next to the loss and before the I picture, each first on a
  // fresh instance.
  std::vector<int> near;
  for (int n = std::max(0, lost - 14); n < std::min(count, int(loss.intra) + 14); ++n) near.push_back(n);
  std::shuffle(near.begin(), near.end(), std::mt19937(unsigned(loss.intra)));
  auto random = Open(kwi, args);
  ASSERT_TRUE(random->ok()) << random->error();
  for (int n : near) same(*random, n, "in a random order");
  for (int n : {lost - 1, lost, int(loss.intra) - 1, int(loss.intra)}) {
    auto fresh = Open(kwi, args);
    ASSERT_TRUE(fresh->ok()) << fresh->error();
    same(*fresh, n, "on a fresh instance");
  }
}

// A P picture of the shared file that ends a group and is no skipped
// picture: intact picture 70, before the group of 73 (so is 56, before 59).
INSTANTIATE_TEST_SUITE_P(Vc1Losses, Vc1LostPicture,
                         ::testing::Values(Vc1Loss{"ThePictureBeforeTheGroupOf73", 73}),
                         [](const ::testing::TestParamInfo<Vc1Loss>& i) { return std::string(i.param.name); });

}  // namespace
