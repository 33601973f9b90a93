// Chroma formats and bit depths other than 4:2:0 8-bit, in every container
// the muxer takes them into: Ostrel's report and DEPTH name the format that
// ffprobe sees, and Pemmick either refuses the clip when it is created, with
// a message that names the format, or serves every frame as ffmpeg decodes
// it, in order and after seeks. No clip serves garbage or error frames.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decodecheck.h"
#include "plugintest.h"
#include "testutil.h"

namespace {

struct Format {
  const char* name;      // test name
  const char* encoder;   // ffmpeg's encoder
  const char* pix_fmt;   // ffmpeg's pixel format of the stream
  const char* es;        // extension of the elementary stream
  const char* chroma;    // the report's chroma format
  int depth;             // the report's bit depth and the index's DEPTH
  const char* refusal;   // the filter's message; null: decoded (16-bit above 8 bits)
};

// The stand-in answers as the GPU generation its contract names: H.264 and
// MPEG-2 4:2:0 8-bit only, HEVC 4:2:0 and 4:4:4 up to 12 bits; the clip is
// 4:2:0 whatever the GPU decodes.
const Format kFormats[] = {
    {"H264High10", "libx264", "yuv420p10le", "264", "4:2:0", 10,
     "KWSource: H.264 4:2:0 10-bit cannot be decoded by this GPU."},
    {"H264High422", "libx264", "yuv422p", "264", "4:2:2", 8,
     "KWSource: H.264 4:2:2 8-bit cannot be decoded by this GPU."},
    {"H264High444", "libx264", "yuv444p", "264", "4:4:4", 8,
     "KWSource: H.264 4:4:4 8-bit cannot be decoded by this GPU."},
    {"HevcMain422", "libx265", "yuv422p", "265", "4:2:2", 8,
     "KWSource: HEVC 4:2:2 8-bit cannot be decoded by this GPU."},
    {"HevcMain10", "libx265", "yuv420p10le", "265", "4:2:0", 10, nullptr},
    {"HevcMain444", "libx265", "yuv444p", "265", "4:4:4", 8,
     "KWSource: HEVC 4:4:4 8-bit cannot be served: KWSource delivers 4:2:0 clips only."},
    {"Mpeg2Main422", "mpeg2video", "yuv422p", "m2v", "4:2:2", 8,
     "KWSource: MPEG-2 4:2:2 8-bit cannot be decoded by this GPU."},
};

// The value of `label: ` in the report next to the index.
std::string ReportValue(const std::string& kwi, const std::string& label) {
  const std::string log = kwi.substr(0, kwi.size() - 4) + ".log";
  for (const std::string& l : tu::lines(tu::read_text(log)))
    if (l.compare(0, label.size() + 2, label + ": ") == 0) return l.substr(label.size() + 2);
  return "<no " + label + " line>";
}

class Formats : public ::testing::TestWithParam<Format> {};

TEST_P(Formats, RefusedByNameOrDecodedAsFfmpeg) {
  const Format& f = GetParam();
  const std::string dir = dc::Dir();
  const std::string x264 = std::string(f.encoder) == "libx264" ? " -x264-params threads=1:bframes=3" : "";
  const std::string x265 = std::string(f.encoder) == "libx265" ? " -x265-params log-level=error:bframes=3" : "";
  unsigned seed = 40;
  for (const char* ext : {f.es, "ts", "mkv", "mp4"}) {
    const std::string input = dir + f.name + "." + ext;
    SCOPED_TRACE(input);
    ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc2=size=160x128:rate=25 -frames:v 12 -pix_fmt " + std::string(f.pix_fmt) +
                           " -c:v " + f.encoder + x264 + x265 + " " + tu::q(input)));
    const std::map<std::string, std::string> probe = tu::ffprobe_stream(input);
    ASSERT_EQ(probe.at("pix_fmt"), f.pix_fmt);
    const dc::Stream s = dc::Indexed(f.name, input, f.depth > 8);
    ASSERT_FALSE(s.kwi.empty());
    EXPECT_EQ(ReportValue(s.kwi, "Chroma Format"), f.chroma);
    EXPECT_EQ(ReportValue(s.kwi, "Bit Depth"), std::to_string(f.depth));
    EXPECT_EQ(tu::kwi_with(tu::kwi_lines(s.kwi), "DEPTH "), std::vector<std::string>{"DEPTH " + std::to_string(f.depth)});
    if (f.refusal) {
      auto clip = dc::Open(s.kwi);
      EXPECT_FALSE(clip->ok());
      EXPECT_EQ(clip->error(), f.refusal);
    } else {
      dc::CheckStream(s, true, seed++);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pemmick, Formats, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format>& i) { return std::string(i.param.name); });

}  // namespace
