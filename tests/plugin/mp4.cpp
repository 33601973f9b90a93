// MP4 input of the plugin, on the CPU stand-in: streams put into MP4 by
// ffmpeg (from mkvmerge's Matroska, or encoded straight into MP4 with an
// edit list) decode in order as ffmpeg decodes the file, and every frame
// requested in a random order equals the in-order run; the track of the
// index's codec is chosen after an MPEG-1 track, the one Ostrel indexes; a
// fragmented file opens; QuickTime movies without a file type box decode as
// MP4.
#include <string>

#include <gtest/gtest.h>

#include "decodecheck.h"
#include "plugintest.h"
#include "testutil.h"

namespace {

using namespace dc;

// An elementary stream in MP4, through Matroska (a raw stream with
// reordered pictures has no times of its own).
std::string Mp4From(const std::string& es, const std::string& options = "") {
  const std::string mp4 = es + (options.empty() ? "" : ".tagged") + ".mp4";
  EXPECT_EQ(tu::run("mkvmerge -q -o " + tu::q(es + ".mkv") + " " + tu::q(es) + " && ffmpeg -v error -y -i " +
                    tu::q(es + ".mkv") + " -c copy " + options + " " + tu::q(mp4) + " 2>&1")
                .status,
            0)
      << es;
  return mp4;
}

TEST(Mp4Decode, AvcOpenGroupsAndEditLists) {
  const std::string dir = Dir();
  ASSERT_TRUE(H264(dir + "open.264", 36,
                   std::string(kSmall) + "-x264-params open-gop=1:keyint=12:min-keyint=12:scenecut=0"));
  CheckStream(Indexed("AVC open GOP in MP4", Mp4From(dir + "open.264")), true, 201);
  // ffmpeg's own MP4 of a stream with B pictures starts with an edit list.
  ASSERT_TRUE(H264(dir + "edit.mp4", 30, std::string(kSmall) + "-g 10 -bf 2 -movflags +faststart"));
  CheckStream(Indexed("AVC with an edit list", dir + "edit.mp4"), true, 202);
}

// What Ostrel indexes, Pemmick serves: samples between 8 and 10 MB (one
// slice each) decode in order and after seeks as ffmpeg decodes them.
TEST(Mp4Decode, SamplesOfMoreThanEightMegabytesAreServed) {
  const std::string dir = Dir();
  ASSERT_TRUE(LargePictures(dir + "big.264", 4));
  const std::string mp4 = Mp4From(dir + "big.264");
  for (uint64_t size : PacketSizes(mp4)) {
    EXPECT_GT(size, 8000000u);
    EXPECT_LT(size, 9900000u);
  }
  CheckStream(Indexed("AVC samples of 8.6 MB", mp4), true, 203);
}

TEST(Mp4Decode, HevcAsHvc1AndHev1AndTenBit) {
  const std::string dir = Dir();
  ASSERT_TRUE(Hevc(dir + "cra.265", 26, std::string(kSmall) + "-x265-params log-level=error:keyint=8:open-gop=1:bframes=3"));
  CheckStream(Indexed("HEVC CRA as hvc1", Mp4From(dir + "cra.265", "-tag:v hvc1")), true, 211);
  CheckStream(Indexed("HEVC CRA as hev1", Mp4From(dir + "cra.265")), true, 212);
  ASSERT_TRUE(Hevc(dir + "deep.mp4", 20, std::string(kSmall) + "-x265-params log-level=error:keyint=10", "yuv420p10le"));
  CheckStream(Indexed("HEVC 10-bit in MP4", dir + "deep.mp4", true), true, 213);
}

TEST(Mp4Decode, Mpeg2Interlaced) {
  const std::string dir = Dir();
  ASSERT_TRUE(pt::MakeMpeg2(dir + "i.m2v", 30, std::string(kSmall) + "-flags +ilme+ildct -top 1"));
  CheckStream(Indexed("MPEG-2 interlaced in MP4", Mp4From(dir + "i.m2v")), true, 221);
}

// ffmpeg's QuickTime movies with B pictures, the index at the end (first a
// free-space box "wide", then the media data) and at the front (the movie
// box first), with the file type box cut off: Ostrel indexes them as MP4,
// and every frame, in order and after seeks, is ffmpeg's decode of the same
// file. HEVC's configuration box is found by a box reader of its own.
TEST(Mp4Decode, QuickTimeMoviesWithoutAFileTypeBox) {
  const std::string dir = Dir();
  const struct {
    const char* name;
    bool hevc;
    const char* flags;
    const char* first;  // the box first once the file type box is cut off
  } cases[] = {
      {"AVC, index at the end", false, "", "wide"},
      {"AVC, index at the front", false, "-movflags +faststart", "moov"},
      {"HEVC, index at the front", true, "-movflags +faststart", "moov"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string mov = dir + "qt." + std::to_string(&c - cases) + ".mov", bare = mov + ".bare.mov";
    const std::string extra = std::string(kSmall) + c.flags;
    ASSERT_TRUE(c.hevc ? Hevc(mov, 40, extra + " -x265-params log-level=error:keyint=10:bframes=3")
                       : H264(mov, 60, extra));
    ASSERT_EQ(tu::cut_file_type(mov, bare), c.first);
    int b_pictures = 0;
    for (const auto& f : tu::ffprobe_frames(bare)) b_pictures += f.at("pict_type") == "B";
    ASSERT_GT(b_pictures, 0);
    const Stream s = Indexed(std::string("QuickTime without a file type box, ") + c.name, bare);
    ASSERT_FALSE(s.kwi.empty());
    EXPECT_EQ(tu::kwi_value(tu::kwi_lines(s.kwi), "STREAM"), "4 0");
    CheckStream(s, true, 231 + unsigned(&c - cases));
  }
}

TEST(Mp4Decode, TrackChoiceAndFragmentedFiles) {
  const std::string dir = Dir();
  ASSERT_TRUE(H264(dir + "a.mp4", 12, std::string(kSmall) + "-g 6"));
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=160x128:rate=25 -frames:v 12 -c:v mpeg1video " + tu::q(dir + "m1.mp4")));
  const std::string kwi = pt::Index(tu::q(dir + "a.mp4"), dir + "a.kwi");
  ASSERT_FALSE(kwi.empty());
  auto alone = Open(kwi);
  ASSERT_TRUE(alone->ok()) << alone->error();
  const auto want = InOrder(*alone);

  // MPEG-1 video (mp4v, object type 0x6A) first, the AVC track second.
  const std::string both = dir + "both.mp4";
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(dir + "m1.mp4") + " -i " + tu::q(dir + "a.mp4") + " -map 0:v -map 1:v -c copy " +
                         tu::q(both)));
  auto second = Open(Retarget(kwi, dir + "a.mp4", both, dir + "both.kwi"));
  ASSERT_TRUE(second->ok()) << second->error();
  EXPECT_TRUE(InOrder(*second) == want) << "AVC track after an MPEG-1 track";
  // Ostrel indexes that file by the same track.
  const std::string own_kwi = pt::Index(tu::q(both), dir + "both.own.kwi");
  ASSERT_FALSE(own_kwi.empty());
  auto own = Open(own_kwi);
  ASSERT_TRUE(own->ok()) << own->error();
  EXPECT_TRUE(InOrder(*own) == want) << "Ostrel's index of the AVC track after an MPEG-1 track";

  // Only MPEG-1: no track of the index's codec.
  auto none = Open(Retarget(kwi, dir + "a.mp4", dir + "m1.mp4", dir + "m1.kwi"));
  EXPECT_FALSE(none->ok());
  EXPECT_EQ(none->error(), "KWSource: Could not find a video track in the Matroska/MP4 file.");

  // A fragmented copy opens without a notice (its samples lie in fragments).
  const std::string fragmented = dir + "fragmented.mp4";
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(dir + "a.mp4") + " -c copy -movflags +frag_keyframe+empty_moov " +
                         tu::q(fragmented)));
  auto opened = Open(Retarget(kwi, dir + "a.mp4", fragmented, dir + "fragmented.kwi"));
  EXPECT_TRUE(opened->ok()) << opened->error();
}

}  // namespace
