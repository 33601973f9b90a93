// An index that does not match its inputs. What the index itself shows is
// refused when the filter is created: input sizes other than those listed,
// an input that is no regular file, positions beyond the input or out of
// order, a SIZE no decoder takes. What only decoding shows fails the frame
// request instead of serving another frame's picture: a group position that
// holds other bytes, a SIZE larger than the stream's pictures. An unknown
// sample aspect ratio leaves _SARNum and _SARDen unset. A stream that
// changes its picture size is indexed with a warning, and the frames of
// another size than the index's fail their requests.
#include <algorithm>
#include <functional>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "decodecheck.h"
#include "plugintest.h"
#include "testutil.h"
#include "vshost.h"

namespace {

const vshost::Plugin* Cpu() { return vshost::Load(PEMMICK_CPU_SO); }

std::unique_ptr<vshost::Clip> Open(const std::string& kwi) {
  vshost::Args a;
  a.set("source", kwi);
  return vshost::Invoke(Cpu(), "KWSource", a);
}

// The first index line that begins with keyword, split at blanks.
std::vector<std::string> Words(const std::string& kwi, const std::string& keyword, int nth = 0) {
  for (const std::string& l : tu::kwi_lines(kwi)) {
    if (l.rfind(keyword, 0) != 0 || nth-- > 0) continue;
    std::vector<std::string> w;
    for (size_t at = 0; at <= l.size();) {
      const size_t blank = std::min(l.find(' ', at), l.size());
      if (blank > at) w.push_back(l.substr(at, blank - at));
      at = blank + 1;
    }
    return w;
  }
  return {};
}

// The AVC and MPEG-2 streams (two groups each) and their indexes, made once.
class Mismatch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = tu::process_scratch("mismatch");
    avc_ = dir_ + "a.264";
    mpg_ = dir_ + "m.m2v";
    ASSERT_TRUE(pt::MakeH264(avc_, 24, "-pix_fmt yuv420p"));
    ASSERT_TRUE(pt::MakeMpeg2(mpg_, 24, "-pix_fmt yuv420p"));
    avc_kwi_ = pt::Index(tu::q(avc_), dir_ + "a.kwi");
    mpg_kwi_ = pt::Index(tu::q(mpg_), dir_ + "m.kwi");
  }
  // A copy of an index with the first line that begins with `begins` replaced.
  static std::string Edited(const std::string& kwi, const std::string& name, const std::string& begins,
                            const std::string& with) {
    const std::string p = dir_ + name;
    tu::write_file(p, tu::read_file(kwi));
    EXPECT_EQ(pt::ReplaceLines(p, begins, with), 1) << begins;
    return p;
  }
  static std::string dir_, avc_, mpg_, avc_kwi_, mpg_kwi_;
};
std::string Mismatch::dir_, Mismatch::avc_, Mismatch::mpg_, Mismatch::avc_kwi_, Mismatch::mpg_kwi_;

}  // namespace

TEST_F(Mismatch, IndexThatCannotDescribeItsInputsIsRefusedAtCreation) {
  ASSERT_FALSE(avc_kwi_.empty());
  const std::string size = std::to_string(tu::read_file(avc_).size());
  const std::vector<std::string> idr0 = Words(avc_kwi_, "IDR"), idr1 = Words(avc_kwi_, "IDR", 1);
  ASSERT_EQ(idr1.size(), 2u);

  // Another file of another size under the indexed name.
  const std::string renamed = dir_ + "replaced.264";
  tu::write_file(renamed, tu::read_file(mpg_));
  const std::string other_size = std::to_string(tu::read_file(mpg_).size());

  struct Case {
    std::string name, begins, with, message;
  };
  const Case cases[] = {
      {"stale.kwi", avc_ + " ", renamed + " " + size,
       "KWSource: The index file does not match its input files: " + renamed + " has " + other_size +
           " bytes, the index lists " + size + ". Make the index again."},
      {"device.kwi", avc_ + " ", "/dev/zero 0", "KWSource: An input file of the index is not a regular file: /dev/zero."},
      {"beyond.kwi", "IDR " + idr1[1], "IDR " + size,
       "KWSource: The index file does not match its input files: a group position (" + size +
           ") lies beyond the end of the input (" + size + " bytes). Make the index again."},
      {"order.kwi", "IDR " + idr1[1], "IDR " + idr0[1],
       "KWSource: The index file does not match its input files: group positions are out of stream order (" +
           idr0[1] + ", then " + idr0[1] + "). Make the index again."},
      {"sps.kwi", "SPS", "SPS 99999999",
       "KWSource: The index file does not match its input files: a parameter set position (99999999) lies beyond "
       "the end of the input (" + size + " bytes). Make the index again."},
      {"size.kwi", "SIZE", "SIZE 65536 x 65536 ",
       "KWSource: The picture size 65536 x 65536 is larger than what KWSource serves (at most 7680 x 4320)."},
  };
  for (const Case& c : cases) {
    auto clip = Open(Edited(avc_kwi_, c.name, c.begins, c.with));
    EXPECT_FALSE(clip->ok()) << c.name;
    EXPECT_EQ(clip->error(), c.message) << c.name;
  }
  EXPECT_TRUE(Open(avc_kwi_)->ok()) << Open(avc_kwi_)->error();

  // An MPEG-2 group that names a sequence header at or after itself.
  const std::vector<std::string> seq1 = Words(mpg_kwi_, "SEQ ", 1);
  ASSERT_EQ(seq1.size(), 2u);
  auto clip = Open(Edited(mpg_kwi_, "later.kwi", "SEQ " + seq1[1], "SEQ " + seq1[1] + " " + seq1[1]));
  EXPECT_FALSE(clip->ok());
  EXPECT_EQ(clip->error(), "KWSource: The index file does not match its input files: the sequence header of the "
                           "group at " + seq1[1] + " lies at " + seq1[1] + ", not before it. Make the index again.");
}

// Positions that lie inside the input, in order, but name other bytes: the
// frames of that group fail, the others are served as before.
TEST_F(Mismatch, GroupPositionHoldingOtherBytesFailsItsFrames) {
  ASSERT_FALSE(avc_kwi_.empty());
  ASSERT_FALSE(mpg_kwi_.empty());
  const std::vector<uint8_t> mpg = tu::read_file(mpg_);
  const std::vector<std::string> seq1 = Words(mpg_kwi_, "SEQ ", 1);
  ASSERT_EQ(seq1.size(), 2u);
  // The GOP header and the picture header after the second sequence header:
  // start codes, but no group begins at the picture, and no sequence header
  // stands at either.
  auto after = [&](size_t from, uint8_t code) {
    while (from + 4 < mpg.size() &&
           !(mpg[from] == 0 && mpg[from + 1] == 0 && mpg[from + 2] == 1 && mpg[from + 3] == code))
      ++from;
    return from;
  };
  const size_t gop = after(std::stoul(seq1[1]) + 4, 0xB8), picture = after(gop + 4, 0x00);
  const std::string gop_s = std::to_string(gop), picture_s = std::to_string(picture);
  const std::string first_picture = std::to_string(after(0, 0x00));
  const std::vector<std::string> idr1 = Words(avc_kwi_, "IDR", 1);
  ASSERT_EQ(idr1.size(), 2u);

  struct Case {
    std::string kwi;
    std::string problem;
  };
  const std::string no_group = "no group starts at position ";
  const Case cases[] = {
      // One byte into the AVC group's first slice.
      {Edited(avc_kwi_, "inside.kwi", "IDR " + idr1[1], "IDR " + std::to_string(std::stoull(idr1[1]) + 1)),
       no_group + std::to_string(std::stoull(idr1[1]) + 1)},
      // An MPEG-2 picture header instead of the sequence header.
      {Edited(mpg_kwi_, "picture.kwi", "SEQ " + seq1[1], "SEQ " + picture_s), no_group + picture_s},
      // A group after its sequence header that starts at the sequence header.
      {Edited(mpg_kwi_, "apart.kwi", "SEQ " + seq1[1], "SEQ " + seq1[1] + " 0"), no_group + seq1[1]},
      // A group at its GOP header whose sequence header is a picture header.
      {Edited(mpg_kwi_, "noseq.kwi", "SEQ " + seq1[1], "SEQ " + gop_s + " " + first_picture),
       "no sequence header starts at position " + first_picture},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kwi);
    auto clip = Open(c.kwi);
    ASSERT_TRUE(clip->ok()) << clip->error();
    // Frames well inside the second of the streams' 12-picture groups.
    for (int n : {16, 15}) {
      const vshost::Frame f = clip->getFrame(n);
      EXPECT_FALSE(f.ok) << "frame " << n << " of the damaged group";
      EXPECT_NE(f.error.find(c.problem), std::string::npos) << f.error;
    }
    // The first group is untouched, also right after a failed request.
    for (int n : {0, 1, 2}) EXPECT_TRUE(clip->getFrame(n).ok) << n;
  }
}

TEST_F(Mismatch, SizeLargerThanTheStreamFailsTheRequest) {
  auto clip = Open(Edited(avc_kwi_, "large.kwi", "SIZE", "SIZE 1280 x 960 "));
  ASSERT_TRUE(clip->ok()) << clip->error();
  const vshost::Frame f = clip->getFrame(0);
  EXPECT_FALSE(f.ok);
  EXPECT_NE(f.error.find("the index's SIZE is 1280 x 960"), std::string::npos) << f.error;
}

TEST_F(Mismatch, UnknownAspectRatioLeavesTheSampleAspectUnset) {
  for (const char* aspect : {"ASPECT -1 -1", "ASPECT 0 0", "ASPECT 4 3"}) {
    auto clip = Open(Edited(avc_kwi_, "aspect.kwi", "ASPECT", aspect));
    ASSERT_TRUE(clip->ok()) << clip->error();
    const vshost::Frame f = clip->getFrame(0);
    ASSERT_TRUE(f.ok) << f.error;
    const bool known = std::string(aspect) == "ASPECT 4 3";
    EXPECT_EQ(f.intProps.count("_SARNum"), known ? 1u : 0u) << aspect;
    EXPECT_EQ(f.intProps.count("_SARDen"), known ? 1u : 0u) << aspect;
    if (known) {
      EXPECT_EQ(f.intProps.at("_SARNum") * 3, f.intProps.at("_SARDen") * 4);
    }
  }
}

namespace {

// Streams of one encoder back to back, of two picture sizes (or of one size,
// another, and the first again): Ostrel warns where each new size begins (in
// an elementary stream the first start code of the next stream) and indexes
// the last size; the frames of that size are ffmpeg's decode of their own
// stream, those of another size fail, in order and in random order.
struct Size {
  int w, h;
};
struct SizeChangeCase {
  const char* name;
  const char* codec;  // ffmpeg's encoder arguments, or "| " and a command reading pictures
  std::vector<Size> sizes;
  // The joined parts ({es}) made into the input ({out}); empty: the joined
  // parts themselves.
  std::string mux;
  // Pictures at the end of the first part that the index leaves out.
  int cut = 0;
  int rate = 25;
  int frames = 25;  // of each part
};
const char* const kHevc = "-c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=10 -f hevc";
const char* const kAvc = "-c:v libx264 -preset ultrafast -g 10 -bf 2 -f h264";
const Size kBig{320, 240}, kSmall{256, 192};

void CheckSizeChange(const std::string& dir, const SizeChangeCase& c) {
  const int kFrames = c.frames;
  auto size = [](Size s) { return std::to_string(s.w) + " x " + std::to_string(s.h); };
  const std::string input = dir + c.name;
  const std::string both = c.mux.empty() ? input : input + ".es";
  const size_t parts = c.sizes.size();
  const Size last = c.sizes.back();
  std::vector<uint8_t> bytes;
  std::vector<size_t> boundaries;  // where each part after the first begins
  std::vector<std::vector<std::vector<uint8_t>>> refs;
  for (size_t k = 0; k < parts; ++k) {
    const Size s = c.sizes[k];
    const std::string part = dir + std::to_string(k) + "_" + c.name;
    // The third part shows another pattern than the first, of its size.
    const std::string source = k == 2 ? "testsrc" : "testsrc2";
    const std::string picture = "-f lavfi -i " + source + "=size=" + std::to_string(s.w) + "x" + std::to_string(s.h) +
                                ":rate=" + std::to_string(c.rate) + " -frames:v " + std::to_string(kFrames) +
                                " -pix_fmt yuv420p ";
    if (c.codec[0] == '|') {
      ASSERT_EQ(tu::run("ffmpeg -v error " + picture + "-f yuv4mpegpipe - " + c.codec + " " + tu::q(part) + " 2>&1")
                    .status,
                0);
    } else {
      ASSERT_TRUE(tu::ffmpeg(picture + c.codec + " " + tu::q(part)));
    }
    if (k > 0) boundaries.push_back(bytes.size());
    const std::vector<uint8_t> b = tu::read_file(part);
    bytes.insert(bytes.end(), b.begin(), b.end());
    // The pictures of the index's size: ffmpeg's decode of their own part
    // (ffmpeg's decode of all loses the last MPEG-2 picture before a change).
    const bool indexed = s.w == last.w && s.h == last.h;
    refs.push_back(indexed ? dc::Reference(part, s.w, s.h, false, "-vsync passthrough")
                           : std::vector<std::vector<uint8_t>>());
    if (indexed) {
      ASSERT_EQ(refs.back().size(), size_t(kFrames));
    }
  }
  tu::write_file(both, bytes);
  if (!c.mux.empty()) {
    std::string cmd = c.mux;
    for (size_t at; (at = cmd.find("{out}")) != std::string::npos;) cmd.replace(at, 5, input);
    for (size_t at; (at = cmd.find("{es}")) != std::string::npos;) cmd.replace(at, 4, both);
    ASSERT_EQ(tu::run(cmd + " 2>&1").status, 0) << cmd;
  }

  const std::string kwi = input + ".kwi";
  const tu::RunResult r = tu::ostrel("-i " + tu::q(input) + " -o " + tu::q(kwi));
  ASSERT_EQ(r.status, 0) << r.out;
  const bool ts = std::string(c.name).find(".ts") != std::string::npos;
  for (size_t k = 1; k < parts; ++k) {
    // In an elementary stream the position of the next part's first start
    // code; transport streams give packet positions, containers times.
    std::string at = ts || c.mux.empty() ? "position " : "time ";
    if (!ts && c.mux.empty()) {
      size_t start = boundaries[k - 1];
      while (start + 3 < bytes.size() && !(bytes[start] == 0 && bytes[start + 1] == 0 && bytes[start + 2] == 1))
        ++start;
      at += std::to_string(start) + " ";
    }
    EXPECT_NE(r.out.find("WARNING: the picture size changes from " + size(c.sizes[k - 1]) + " to " +
                         size(c.sizes[k]) + " at " + at),
              std::string::npos)
        << r.out;
  }

  // The part and picture of each frame of the clip.
  std::vector<std::pair<size_t, int>> frames;
  for (size_t k = 0; k < parts; ++k)
    for (int i = 0; i < kFrames - (k == 0 ? c.cut : 0); ++i) frames.emplace_back(k, i);
  std::vector<int> order(frames.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::vector<int> shuffled = order;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(48));
  for (const std::vector<int>& requests : {order, shuffled}) {
    auto clip = dc::Open(kwi);
    ASSERT_TRUE(clip->ok()) << clip->error();
    ASSERT_EQ(clip->vi().width, last.w);
    ASSERT_EQ(clip->vi().height, last.h);
    ASSERT_EQ(clip->vi().numFrames, static_cast<int>(frames.size()));
    int wrong = 0;
    for (int n : requests) {
      const vshost::Frame f = clip->getFrame(n);
      const size_t k = frames[size_t(n)].first;
      const Size s = c.sizes[k];
      if (s.w == last.w && s.h == last.h) {
        if (!f.ok || dc::Flat(f) != refs[k][size_t(frames[size_t(n)].second)]) ++wrong;
        EXPECT_TRUE(f.ok) << "frame " << n << ": " << f.error;
      } else {
        EXPECT_FALSE(f.ok) << "frame " << n << " of another size was served";
        EXPECT_NE(f.error.find("frame " + std::to_string(n) + ": the picture is " + size(s) +
                               ", the index's SIZE is " + size(last)),
                  std::string::npos)
            << f.error;
      }
    }
    EXPECT_EQ(wrong, 0) << "frames of the index's size that are not ffmpeg's pictures";
  }
}

}  // namespace

// Transport streams written straight by the muxer, each part with its own
// tables, or remuxed as a whole.
TEST(SizeChange, FramesOfAnotherSizeFailTheirRequests) {
  const std::string dir = tu::process_scratch("sizechange");
  const std::string remux = "mkvmerge -q -o {out}.mkv {es} && ffmpeg -v error -y -i {out}.mkv -c copy ";
  const SizeChangeCase cases[] = {
      {"h.hevc", kHevc, {kBig, kSmall}, ""},
      {"a.264", kAvc, {kBig, kSmall}, ""},
      {"m.m2v", "-c:v mpeg2video -g 10 -bf 2 -f mpeg2video", {kBig, kSmall}, ""},
      {"up.hevc", kHevc, {kSmall, kBig}, ""},
      {"aba.264", kAvc, {kBig, kSmall, kBig}, ""},
      {"m.ts", "-c:v mpeg2video -g 10 -bf 2 -f mpegts", {kBig, kSmall}, ""},
      // The second part's packets begin again at continuity counter 0, which
      // reads as packets missing, but between whole PES packets: the picture
      // before them is whole, and kept.
      {"a.ts", "-c:v libx264 -preset ultrafast -g 10 -bf 2 -f mpegts", {kBig, kSmall}, ""},
      {"h.ts", "-c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=10 -f mpegts", {kBig, kSmall}, ""},
      {"a.remux.ts", kAvc, {kBig, kSmall}, remux + "-f mpegts {out}"},
  };
  for (const SizeChangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    CheckSizeChange(dir, c);
  }
}

// Matroska and MP4 files of the joined elementary stream, whose track
// configuration holds the parameter sets of one size only.
TEST(SizeChange, InMatroskaAndMp4) {
  const std::string dir = tu::process_scratch("sizechange-containers");
  const std::string mkvmerge = "mkvmerge -q -o {out} {es}";
  const std::string remux = "mkvmerge -q -o {out}.mkv {es} && ffmpeg -v error -y -i {out}.mkv -c copy ";
  // Parameter sets only at the start of each part, and parts longer than
  // the frames read for sets before a group: the sets in force at a later
  // group stand at its part's first frame, not in the track's configuration
  // (mkvmerge would put them into every key frame; ffmpeg copies the frames
  // as they are, each picture shown at its decoding time).
  const char* once = "| x265 --log-level error --preset ultrafast --input - --y4m --keyint 5 --bframes 0 -o";
  const std::string direct = "ffmpeg -v error -y -f hevc -r 2 -i {es} -c copy -bsf:v setts=pts=DTS ";
  const SizeChangeCase cases[] = {
      {"h.mm.mkv", kHevc, {kBig, kSmall}, mkvmerge},
      {"up.mm.mkv", kAvc, {kSmall, kBig}, mkvmerge},
      {"aba.mm.mkv", kAvc, {kBig, kSmall, kBig}, mkvmerge},
      {"a.mp4", kAvc, {kBig, kSmall}, remux + "{out}"},
      {"aba.mp4", kAvc, {kBig, kSmall, kBig}, remux + "{out}"},
      {"once.mkv", once, {kBig, kSmall, kBig}, direct + "{out}", 0, 2, 12},
      {"once.mp4", once, {kBig, kSmall, kBig}, direct + "-tag:v hvc1 {out}", 0, 2, 12},
  };
  for (const SizeChangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    CheckSizeChange(dir, c);
  }
}

// Two transport stream parts of two sizes joined end to end, every video
// packet of the second part's first PES packet (its IDR picture with the
// parameter sets) lost: the index opens; the first part's frames fail,
// naming their frame (as of another size, or without a picture where the
// loss costs the decoder the last pictures before it); of the second part's, every picture that ffmpeg decodes
// from the damaged file as from the part alone is served so, in order and
// in a random order, and no frame is another frame's picture.
TEST(SizeChange, SecondPartThatLostItsFirstAccessUnit) {
  const std::string dir = tu::process_scratch("sizechange-lost");
  const struct {
    const char* name;
    const char* args;
  } codecs[] = {
      {"hevc", "-c:v libx265 -x265-params log-level=error:keyint=6:min-keyint=6:open-gop=1:bframes=2"},
      {"avc", "-c:v libx264 -x264-params keyint=6:min-keyint=6:scenecut=0:bframes=2"},
  };
  constexpr int kFrames = 30;
  for (const auto& c : codecs) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> joined;
    size_t second = 0;
    std::vector<std::vector<uint8_t>> part2;
    for (const char* size : {"64x48", "96x64"}) {
      const std::string part = dir + c.name + size + ".ts";
      ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=" + std::string(size) + ":rate=25 -frames:v " +
                             std::to_string(kFrames) + " -pix_fmt yuv420p " + c.args + " -f mpegts " + tu::q(part)));
      const std::vector<uint8_t> b = tu::read_file(part);
      second = joined.size();
      joined.insert(joined.end(), b.begin(), b.end());
      part2 = dc::Reference(part, 96, 64, false, "-vsync passthrough");
    }
    ASSERT_EQ(part2.size(), size_t(kFrames));
    // The video PID: the PID of most packets.
    std::map<int, int> per_pid;
    auto pid_at = [&](size_t p) { return (joined[p + 1] & 0x1F) << 8 | joined[p + 2]; };
    for (size_t p = 0; p + 188 <= joined.size(); p += 188) ++per_pid[pid_at(p)];
    const int video = std::max_element(per_pid.begin(), per_pid.end(), [](const auto& x, const auto& y) {
                        return x.second < y.second;
                      })->first;
    std::vector<uint8_t> lost;
    int starts = 0;
    for (size_t p = 0; p + 188 <= joined.size(); p += 188) {
      const bool v = pid_at(p) == video;
      if (p >= second && v && (joined[p + 1] & 0x40)) ++starts;
      if (p >= second && v && starts == 1) continue;
      lost.insert(lost.end(), joined.begin() + long(p), joined.begin() + long(p + 188));
    }
    const std::string input = dir + c.name + "-joined.ts";
    tu::write_file(input, lost);
    const std::string kwi = input + ".kwi";
    const tu::RunResult r = tu::ostrel("-i " + tu::q(input) + " -o " + tu::q(kwi));
    ASSERT_EQ(r.status, 0) << r.out;

    // Clean: the second part's pictures that ffmpeg decodes from the
    // damaged file unchanged (the pattern differs in every picture).
    std::vector<bool> clean(part2.size(), false);
    for (const auto& d : dc::Reference(input, 96, 64, false, "-vsync passthrough -s 96x64")) {
      const int k = dc::Which(part2, d);
      if (k >= 0) clean[size_t(k)] = true;
    }
    const int clean_count = int(std::count(clean.begin(), clean.end(), true));
    EXPECT_GE(clean_count, kFrames / 2) << "ffmpeg's clean pictures of the second part";

    // Frame n of the clip: the first part's picture n, then the second
    // part's pictures from its second on.
    auto picture_of = [&](int n) { return n - (kFrames - 1); };
    std::vector<int> order(2 * kFrames - 1);
    for (size_t i = 0; i < order.size(); ++i) order[i] = int(i);
    std::vector<int> shuffled = order;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(61));
    for (const std::vector<int>* requests : {&order, &shuffled}) {
      SCOPED_TRACE(requests == &order ? "in order" : "in a random order");
      auto clip = dc::Open(kwi);
      ASSERT_TRUE(clip->ok()) << clip->error();
      ASSERT_EQ(clip->vi().width, 96);
      ASSERT_EQ(clip->vi().height, 64);
      ASSERT_EQ(clip->vi().numFrames, 2 * kFrames - 1);
      int served_clean = 0, other = 0;
      for (int n : *requests) {
        const vshost::Frame f = clip->getFrame(n);
        if (n < kFrames) {
          EXPECT_FALSE(f.ok) << "frame " << n << " of the first part's size was served";
          EXPECT_NE(f.error.find("frame " + std::to_string(n) + ": "), std::string::npos) << f.error;
          continue;
        }
        const int own = picture_of(n);
        if (!f.ok) {
          EXPECT_FALSE(clean[size_t(own)]) << "frame " << n << ", clean in ffmpeg's decode, failed: " << f.error;
          continue;
        }
        const int which = dc::Which(part2, dc::Flat(f));
        if (which == own) {
          ++served_clean;
        } else {
          EXPECT_FALSE(clean[size_t(own)]) << "frame " << n << ", clean in ffmpeg's decode, served damaged";
          if (which >= 0 && ++other <= 5) ADD_FAILURE() << "frame " << n << " served the picture of frame " << which + kFrames - 1;
        }
      }
      EXPECT_GE(served_clean, clean_count) << "pictures of the second part served clean";
    }
  }
}
