// Stream report writers in process: the analysis results are set by hand and
// each writer's output is compared with texts written here. Covers every
// entry of the code tables, the codes beside them (reserved, forbidden,
// negative, the largest a field can hold), empty and huge sizes, counter
// extremes, and the report file itself.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "global.h"
#include "hevc.h"
#include "misc.h"
#include "mpg.h"
#include "testutil.h"
#include "vc1.h"

namespace {

// A plain progressive elementary stream with every value inside its table.
void baseline_state() {
  SystemStream_Flag = 0;
  program_stream_type = 0;
  TransportPacketSize = 188;
  profile = 100;
  level = 40;
  constraint = 0;
  Picture_Width = 320;
  Picture_Height = 240;
  sample_aspect_ratio = 1;
  sar_width = sar_height = 0;
  sarw = sarh = ar1 = ar2 = -1;
  aspect_ratio_information = 1;
  display_aspect_ratio_x = display_aspect_ratio_y = 0;
  Frame_Rate = 25.0;
  coded_matrix_coefficients = 1;
  field_order = 0;
  coded = 10;
  frame_repeats = field_repeats = 0;
  FILM_Purity = VIDEO_Purity = 0;
  hadPQ = hadHLG = false;
  general_profile_idc = 1;
  general_tier_flag = 0;
  general_level_idc = 93;
  bit_depth = 8;
  stream_chroma_format = 1;
  stream_bit_depth = 8;
}

std::string capture(void (*writer)(FILE*)) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buf, &size);
  if (!f) return "<open_memstream failed>";
  writer(f);
  fclose(f);
  std::string s(buf, size);
  free(buf);
  return s;
}

// The line that begins with label + ":", without the line feed.
std::string line(const std::string& report, const std::string& label) {
  for (const std::string& l : tu::lines(report))
    if (l.compare(0, label.size() + 1, label + ":") == 0) return l;
  return "<no " + label + " line>";
}

// The line after the one that begins with label + ":".
std::string line_after(const std::string& report, const std::string& label) {
  std::vector<std::string> ls = tu::lines(report);
  for (size_t i = 0; i + 1 < ls.size(); i++)
    if (ls[i].compare(0, label.size() + 1, label + ":") == 0) return ls[i + 1];
  return "<nothing after " + label + ">";
}

class ReportTables : public ::testing::Test {
 protected:
  void SetUp() override { baseline_state(); }
};

// ------------------------------------------------------------------ whole reports

TEST_F(ReportTables, WholeAvcReport) {
  SystemStream_Flag = 1;
  TransportPacketSize = 192;
  profile = 100;
  level = 41;
  Picture_Width = 1920;
  Picture_Height = 1080;
  sample_aspect_ratio = 1;
  Frame_Rate = 24000.0 / 1001;
  coded_matrix_coefficients = 1;
  field_order = 1;
  coded = 100;
  frame_repeats = 2;
  field_repeats = 25;
  FILM_Purity = 3;
  VIDEO_Purity = 1;
  EXPECT_EQ(capture(WriteAVCInfo),
            "Stream Type: Transport [192]\n"
            "Video Type: AVC\n"
            "Profile: High\n"
            "Level: 4.1\n"
            "Size: 1920x1080\n"
            "Chroma Format: 4:2:0\n"
            "Bit Depth: 8\n"
            "Pixel Aspect Ratio (PAR): 1:1\n"
            "Frame Rate: 23.976024 fps\n"
            "Colorimetry: BT.709 [1]\n"
            "Field Order: TFF\n"
            "Coded Number: 100\n"
            "Playback Number: 114\n"
            "Frame Repeats: 2\n"
            "Field Repeats: 25\n"
            "Film Percent: 75.00\n");
  EXPECT_EQ(sarw, 1);
  EXPECT_EQ(sarh, 1);
}

TEST_F(ReportTables, WholeMpeg2Report) {
  SystemStream_Flag = 3;
  program_stream_type = 6;
  profile = 4;
  level = 8;
  Picture_Width = horizontal_size = 720;
  Picture_Height = vertical_size = 480;
  aspect_ratio_information = 3;
  Frame_Rate = 30000.0 / 1001;
  coded_matrix_coefficients = 6;
  field_order = -1;  // undecided: no field order line
  coded = 4;
  EXPECT_EQ(capture(WriteMPGInfo),
            "Stream Type: MPEG2 Program\n"
            "Video Type: MPEG2\n"
            "Profile: main@main\n"
            "Size: 720x480\n"
            "Chroma Format: 4:2:0\n"
            "Bit Depth: 8\n"
            "AspectRatio: 40:33\n"
            "Frame Rate: 29.970030 fps\n"
            "Colorimetry: SMPTE 170M [6]\n"
            "Coded Number: 4\n"
            "Playback Number: 4\n"
            "Frame Repeats: 0\n"
            "Field Repeats: 0\n"
            "Film Percent: 0.00\n");
  EXPECT_EQ(ar1, 40);
  EXPECT_EQ(ar2, 33);
}

TEST_F(ReportTables, WholeVc1Report) {
  SystemStream_Flag = 3;
  program_stream_type = 5;
  profile = 3;
  level = 3;
  Picture_Width = 1920;
  Picture_Height = 1080;
  display_aspect_ratio_x = 1;
  display_aspect_ratio_y = 1;
  Frame_Rate = 30000.0 / 1001;
  coded_matrix_coefficients = -1;
  field_order = 2;
  coded = 85;
  field_repeats = 42;
  FILM_Purity = 81;
  VIDEO_Purity = 2;
  EXPECT_EQ(capture(WriteVC1Info),
            "Stream Type: MPEG1 Program\n"
            "Video Type: VC1\n"
            "Profile: Advanced\n"
            "Level: 3\n"
            "Size: 1920x1080\n"
            "Chroma Format: 4:2:0\n"
            "Bit Depth: 8\n"
            "Pixel Aspect Ratio (PAR): 1:1\n"
            "Frame Rate: 29.970030 fps\n"
            "Colorimetry: BT.709\n"
            "Field Order: BFF\n"
            "Coded Number: 85\n"
            "Playback Number: 106\n"
            "Frame Repeats: 0\n"
            "Field Repeats: 42\n"
            "Film Percent: 97.59\n");
}

TEST_F(ReportTables, WholeHevcReport) {
  SystemStream_Flag = 4;
  hadHLG = true;
  general_profile_idc = 2;
  general_tier_flag = 0;
  general_level_idc = 93;
  stream_bit_depth = 10;
  Picture_Width = 3840;
  Picture_Height = 2160;
  display_aspect_ratio_x = 0;
  Frame_Rate = 50.0;
  coded_matrix_coefficients = 9;
  field_order = -1;
  coded = 7;
  EXPECT_EQ(capture(WriteHEVCInfo),
            "Stream Type: MP4\n"
            "Video Type: HEVC\n"
            "HDR: HLG\n"
            "Profile: Main 10\n"
            "Level/Tier: 3.1/Main\n"
            "Size: 3840x2160\n"
            "Chroma Format: 4:2:0\n"
            "Bit Depth: 10\n"
            "Pixel Aspect Ratio (PAR): Unknown\n"
            "Frame Rate: 50.000000 fps\n"
            "Colorimetry: BT.2020/2100 [9]\n"
            "Coded Number: 7\n"
            "Playback Number: 7\n"
            "Frame Repeats: 0\n"
            "Field Repeats: 0\n"
            "Film Percent: 0.00\n");
}

// ------------------------------------------------------------------ shared lines

TEST_F(ReportTables, StreamTypes) {
  struct Case {
    int system, ps_type, packet;
    const char* text;
  };
  const Case cases[] = {
      {0, 0, 188, "Stream Type: Elementary"},      {1, 0, 188, "Stream Type: Transport [188]"},
      {1, 0, 192, "Stream Type: Transport [192]"}, {1, 0, 204, "Stream Type: Transport [204]"},
      {2, 0, 188, "Stream Type: Matroska"},        {3, 5, 188, "Stream Type: MPEG1 Program"},
      {3, 6, 188, "Stream Type: MPEG2 Program"},   {3, 0, 188, "Stream Type: MPEG2 Program"},
      {4, 0, 188, "Stream Type: MP4"},             {7, 0, 188, "Stream Type: Unknown [7]"},
      {-1, 0, 188, "Stream Type: Unknown [-1]"},
  };
  for (const Case& k : cases) {
    SystemStream_Flag = k.system;
    program_stream_type = k.ps_type;
    TransportPacketSize = k.packet;
    for (auto writer : {WriteAVCInfo, WriteMPGInfo, WriteVC1Info, WriteHEVCInfo})
      EXPECT_EQ(line(capture(writer), "Stream Type"), k.text);
  }
}

TEST_F(ReportTables, FieldOrderCountsAndFilm) {
  field_order = -1;
  for (auto writer : {WriteAVCInfo, WriteMPGInfo, WriteVC1Info, WriteHEVCInfo}) {
    const std::string r = capture(writer);
    EXPECT_EQ(line(r, "Field Order"), "<no Field Order line>");
    EXPECT_EQ(line_after(r, "Colorimetry"), "Coded Number: 10");
  }
  const char* orders[] = {"Field Order: Progressive", "Field Order: TFF", "Field Order: BFF"};
  for (int i = 0; i < 3; i++) {
    field_order = i;
    EXPECT_EQ(line(capture(WriteAVCInfo), "Field Order"), orders[i]);
  }
  field_order = 3;  // outside the three the analyses set
  EXPECT_EQ(line(capture(WriteAVCInfo), "Field Order"), "Field Order: Unknown [3]");

  // Playback = coded + frame repeats + half the field repeats, rounded down.
  coded = 100, frame_repeats = 3, field_repeats = 5;
  EXPECT_EQ(line(capture(WriteMPGInfo), "Playback Number"), "Playback Number: 105");
  // Counters at their limits: the sum is taken beyond int.
  coded = INT_MAX, frame_repeats = INT_MAX, field_repeats = INT_MAX;
  const std::string big = capture(WriteMPGInfo);
  EXPECT_EQ(line(big, "Playback Number"), "Playback Number: 5368709117");
  EXPECT_EQ(line(big, "Coded Number"), "Coded Number: 2147483647");

  FILM_Purity = 1, VIDEO_Purity = 2;
  EXPECT_EQ(line(capture(WriteVC1Info), "Film Percent"), "Film Percent: 33.33");
  FILM_Purity = 0, VIDEO_Purity = 5;
  EXPECT_EQ(line(capture(WriteVC1Info), "Film Percent"), "Film Percent: 0.00");
  FILM_Purity = 5, VIDEO_Purity = 0;
  EXPECT_EQ(line(capture(WriteVC1Info), "Film Percent"), "Film Percent: 100.00");
  FILM_Purity = INT_MAX, VIDEO_Purity = INT_MAX;  // the sum must not wrap
  EXPECT_EQ(line(capture(WriteVC1Info), "Film Percent"), "Film Percent: 50.00");
  FILM_Purity = 0, VIDEO_Purity = 0;
  EXPECT_EQ(line(capture(WriteHEVCInfo), "Film Percent"), "Film Percent: 0.00");
}

// ------------------------------------------------------------------ chroma format and bit depth

TEST_F(ReportTables, ChromaFormatAndBitDepth) {
  const struct {
    int chroma, depth;
    const char *chroma_text, *depth_text;
  } cases[] = {
      {0, 8, "Chroma Format: 4:0:0", "Bit Depth: 8"},   {1, 10, "Chroma Format: 4:2:0", "Bit Depth: 10"},
      {2, 8, "Chroma Format: 4:2:2", "Bit Depth: 8"},   {3, 12, "Chroma Format: 4:4:4", "Bit Depth: 12"},
      {-1, 0, "Chroma Format: Unknown", "Bit Depth: Unknown"},
  };
  for (void (*writer)(FILE*) : {WriteAVCInfo, WriteMPGInfo, WriteVC1Info, WriteHEVCInfo}) {
    for (const auto& c : cases) {
      stream_chroma_format = c.chroma;
      stream_bit_depth = c.depth;
      const std::string report = capture(writer);
      EXPECT_EQ(line_after(report, "Size"), c.chroma_text);
      EXPECT_EQ(line_after(report, "Chroma Format"), c.depth_text);
    }
  }
}

// ------------------------------------------------------------------ AVC

TEST_F(ReportTables, AvcProfilesAndLevels) {
  const std::pair<int, const char*> profiles[] = {
      {66, "Baseline"},       {77, "Main"},          {88, "Extended"},        {100, "High"},
      {110, "High 10"},       {122, "High 4:2:2"},   {144, "High 4:4:4"},     {0, "reserved [0]"},
      {244, "High 4:4:4 Predictive"}, {44, "CAVLC 4:4:4 Intra"}, {83, "Scalable Baseline"},
      {86, "Scalable High"},  {118, "Multiview High"}, {128, "Stereo High"},  {255, "reserved [255]"},
      {-1, "reserved [-1]"},  {245, "reserved [245]"},
  };
  for (auto& [idc, text] : profiles) {
    profile = idc;
    EXPECT_EQ(line(capture(WriteAVCInfo), "Profile"), std::string("Profile: ") + text);
  }
  const std::pair<int, const char*> levels[] = {
      {9, "1b"},   {10, "1"},   {11, "1.1"}, {12, "1.2"}, {13, "1.3"}, {20, "2"},
      {21, "2.1"}, {22, "2.2"}, {30, "3"},   {31, "3.1"}, {32, "3.2"}, {40, "4"},
      {41, "4.1"}, {42, "4.2"}, {50, "5"},   {51, "5.1"}, {52, "reserved [52]"}, {0, "reserved [0]"},
      {8, "reserved [8]"}, {255, "reserved [255]"}, {-7, "reserved [-7]"},
  };
  for (auto& [idc, text] : levels) {
    level = idc;
    constraint = 0;
    EXPECT_EQ(line(capture(WriteAVCInfo), "Level"), std::string("Level: ") + text);
  }
  // constraint_set3_flag turns level_idc 11 (and only 11) into 1b.
  constraint = 1;
  level = 11;
  EXPECT_EQ(line(capture(WriteAVCInfo), "Level"), "Level: 1b");
  level = 12;
  EXPECT_EQ(line(capture(WriteAVCInfo), "Level"), "Level: 1.2");
}

TEST_F(ReportTables, AvcSampleAspectRatios) {
  // H.264 Table E-1.
  const char* table[17] = {"0:0",   "1:1",   "12:11", "10:11", "16:11", "40:33", "24:11", "20:11", "32:11",
                           "80:33", "18:11", "15:11", "64:33", "160:99", "4:3",  "3:2",   "2:1"};
  for (int idc = 0; idc <= 16; idc++) {
    sample_aspect_ratio = idc;
    EXPECT_EQ(line(capture(WriteAVCInfo), "Pixel Aspect Ratio (PAR)"),
              std::string("Pixel Aspect Ratio (PAR): ") + table[idc]);
  }
  EXPECT_EQ(sarw, 2);
  EXPECT_EQ(sarh, 1);
  sample_aspect_ratio = 255;
  sar_width = 65535;
  sar_height = 3;
  EXPECT_EQ(line(capture(WriteAVCInfo), "Pixel Aspect Ratio (PAR)"), "Pixel Aspect Ratio (PAR): 65535:3");
  EXPECT_EQ(sarw, 65535);
  EXPECT_EQ(sarh, 3);
  // Reserved codes have no ratio: their own text, nothing of the table, and
  // the report goes on with the next line.
  for (int idc : {17, 100, 254, 256, -1, INT_MAX}) {
    sample_aspect_ratio = idc;
    sarw = sarh = -1;
    const std::string r = capture(WriteAVCInfo);
    EXPECT_EQ(line(r, "Pixel Aspect Ratio (PAR)"), "Pixel Aspect Ratio (PAR): reserved [" + std::to_string(idc) + "]");
    EXPECT_EQ(line_after(r, "Pixel Aspect Ratio (PAR)"), "Frame Rate: 25.000000 fps");
    EXPECT_EQ(sarw, -1);
    EXPECT_EQ(sarh, -1);
  }
}

TEST_F(ReportTables, AvcColorimetry) {
  const char* names[] = {"RGB", "BT.709", "Unknown", "Reserved", "FCC 73.682", "BT.601", "SMPTE 170M", "SMPTE 240M",
                         "YCgCo"};
  for (int m = 0; m <= 8; m++) {
    coded_matrix_coefficients = m;
    EXPECT_EQ(line(capture(WriteAVCInfo), "Colorimetry"),
              std::string("Colorimetry: ") + names[m] + " [" + std::to_string(m) + "]");
  }
  for (int m : {9, 10, 14, 255, -1}) {
    coded_matrix_coefficients = m;
    EXPECT_EQ(line(capture(WriteAVCInfo), "Colorimetry"), "Colorimetry: Illegal [" + std::to_string(m) + "]");
  }
}

// ------------------------------------------------------------------ MPEG-2

TEST_F(ReportTables, Mpeg2ProfileAndLevel) {
  struct Case {
    int p, l;
    const char* text;
  };
  const Case cases[] = {
      {4, 8, "main@main"},      {5, 8, "simple@main"},   {1, 4, "high@high"},   {2, 6, "spatial@high1440"},
      {3, 10, "snr@low"},       {4, 6, "main@high1440"}, {4, 3, "main@"},       {0, 5, "esc (0@5)"},
      {0, 2, "esc (0@2)"},      {7, 15, "esc (7@15)"},   {6, 8, "esc (6@8)main"}, {-1, -1, "esc (-1@-1)"},
  };
  for (const Case& k : cases) {
    profile = k.p;
    level = k.l;
    EXPECT_EQ(line(capture(WriteMPGInfo), "Profile"), std::string("Profile: ") + k.text);
  }
}

TEST_F(ReportTables, Mpeg2AspectRatio) {
  struct Case {
    int code, w, h;
    const char* text;
  };
  const Case cases[] = {
      {3, 720, 480, "40:33"},   {2, 720, 480, "10:11"},  {3, 720, 576, "16:11"},  {2, 720, 576, "12:11"},
      {2, 704, 400, "25:33"},   {3, 1920, 1088, "1:1"},  {3, 1920, 1080, "1:1"},  {1, 720, 480, "1:1"},
      {3, 320, 240, "4:3"},     {2, 352, 240, "10:11"},  {4, 320, 240, "663:400"}, {2, 352, 288, "12:11"},
      {0, 1920, 1088, "1:1"},   // taller than 576 lines: square whatever the code
      {1, 0, 0, "1:1"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.code) + " " + std::to_string(k.w) + "x" + std::to_string(k.h));
    aspect_ratio_information = k.code;
    Picture_Width = horizontal_size = k.w;
    Picture_Height = vertical_size = k.h;
    EXPECT_EQ(line(capture(WriteMPGInfo), "AspectRatio"), std::string("AspectRatio: ") + k.text);
    EXPECT_EQ(std::to_string(ar1) + ":" + std::to_string(ar2), k.text);
  }
  // Forbidden and reserved codes, and defined codes on an empty picture:
  // no ratio, no division by zero, the previous pair left alone, and the
  // report goes on with the rate.
  const Case undefined[] = {
      {0, 720, 480, "Reserved [0]"}, {5, 720, 480, "Reserved [5]"}, {15, 320, 240, "Reserved [15]"},
      {2, 0, 240, "Unknown"},        {3, 0, 0, "Unknown"},          {4, 320, 0, "Unknown"},
      {2, -720, 240, "Unknown"},     {-1, 720, 480, "Reserved [-1]"},
  };
  for (const Case& k : undefined) {
    SCOPED_TRACE(std::to_string(k.code) + " " + std::to_string(k.w) + "x" + std::to_string(k.h));
    aspect_ratio_information = k.code;
    Picture_Width = horizontal_size = k.w;
    Picture_Height = vertical_size = k.h;
    ar1 = ar2 = 7;
    const std::string r = capture(WriteMPGInfo);
    EXPECT_EQ(line(r, "AspectRatio"), std::string("AspectRatio: ") + k.text);
    EXPECT_EQ(line_after(r, "AspectRatio"), "Frame Rate: 25.000000 fps");
    EXPECT_EQ(ar1, 7);
    EXPECT_EQ(ar2, 7);
  }
  // The largest sizes the fields can hold (and beyond) stay in range.
  aspect_ratio_information = 4;
  horizontal_size = INT_MAX;
  vertical_size = 576 - 1;
  EXPECT_EQ(line(capture(WriteMPGInfo), "AspectRatio"), "AspectRatio: Unknown");
  horizontal_size = 16383;
  vertical_size = 575;
  // 221 x 575 : 100 x 16383 = 127075 : 1638300, reduced by 25.
  EXPECT_EQ(line(capture(WriteMPGInfo), "AspectRatio"), "AspectRatio: 5083:65532");
}

TEST_F(ReportTables, Mpeg2Colorimetry) {
  const std::pair<int, const char*> named[] = {
      {1, "BT.709 [1]"}, {2, "Unknown [2]"}, {4, "BT.470-2 M [4]"},
      {5, "BT.601 [5]"}, {6, "SMPTE 170M [6]"}, {7, "SMPTE 240M [7]"},
  };
  for (auto& [m, text] : named) {
    coded_matrix_coefficients = m;
    EXPECT_EQ(line(capture(WriteMPGInfo), "Colorimetry"), std::string("Colorimetry: ") + text);
  }
  // Forbidden 0 and reserved 3, 8..255: a text of their own, never the
  // aspect ratio line again.
  const std::pair<int, const char*> others[] = {
      {0, "Forbidden [0]"}, {3, "Reserved [3]"}, {8, "Reserved [8]"}, {255, "Reserved [255]"}, {-1, "Reserved [-1]"},
  };
  for (auto& [m, text] : others) {
    coded_matrix_coefficients = m;
    const std::string r = capture(WriteMPGInfo);
    EXPECT_EQ(line(r, "Colorimetry"), std::string("Colorimetry: ") + text);
    EXPECT_EQ(r.find("1:1\n\n"), std::string::npos) << r;
    EXPECT_EQ(r.find("\n\n"), std::string::npos) << r;
  }
}

// ------------------------------------------------------------------ VC-1

TEST_F(ReportTables, Vc1Tables) {
  const std::pair<int, const char*> profiles[] = {
      {3, "Advanced"}, {0, "Reserved [0]"}, {1, "Reserved [1]"}, {2, "Reserved [2]"},
      {-1, "??? [-1]"}, {4, "??? [4]"},
  };
  for (auto& [p, text] : profiles) {
    profile = p;
    EXPECT_EQ(line(capture(WriteVC1Info), "Profile"), std::string("Profile: ") + text);
  }
  for (int l = 0; l <= 4; l++) {
    level = l;
    EXPECT_EQ(line(capture(WriteVC1Info), "Level"), "Level: " + std::to_string(l));
  }
  for (int l : {5, 6, 7}) {
    level = l;
    EXPECT_EQ(line(capture(WriteVC1Info), "Level"), "Level: Reserved [" + std::to_string(l) + "]");
  }

  display_aspect_ratio_x = 0;
  display_aspect_ratio_y = 5;
  EXPECT_EQ(line(capture(WriteVC1Info), "Pixel Aspect Ratio (PAR)"), "Pixel Aspect Ratio (PAR): Unknown");
  display_aspect_ratio_x = 160;
  display_aspect_ratio_y = 99;
  EXPECT_EQ(line(capture(WriteVC1Info), "Pixel Aspect Ratio (PAR)"), "Pixel Aspect Ratio (PAR): 160:99");

  const std::pair<int, const char*> colours[] = {
      {0, "Forbidden"}, {1, "BT.709"},   {2, "Unknown"},  {6, "BT.1700"},
      {3, "Reserved"},  {5, "Reserved"}, {7, "Reserved"}, {255, "Reserved"},
  };
  for (auto& [m, text] : colours) {
    coded_matrix_coefficients = m;
    EXPECT_EQ(line(capture(WriteVC1Info), "Colorimetry"), std::string("Colorimetry: ") + text);
  }
  // No colour description: standard definition up to 576 lines.
  coded_matrix_coefficients = -1;
  Picture_Height = 576;
  EXPECT_EQ(line(capture(WriteVC1Info), "Colorimetry"), "Colorimetry: BT.1700");
  Picture_Height = 577;
  EXPECT_EQ(line(capture(WriteVC1Info), "Colorimetry"), "Colorimetry: BT.709");
}

// ------------------------------------------------------------------ HEVC

TEST_F(ReportTables, HevcHdr) {
  struct Case {
    bool pq, hlg;
    const char* text;
  };
  const Case cases[] = {{false, false, "HDR:"}, {true, false, "HDR: PQ"}, {false, true, "HDR: HLG"}, {true, true, "HDR: PQ"}};
  for (const Case& k : cases) {
    hadPQ = k.pq;
    hadHLG = k.hlg;
    const std::string r = capture(WriteHEVCInfo);
    EXPECT_EQ(line(r, "HDR"), k.text);
    EXPECT_EQ(line_after(r, "Video Type"), k.text);
  }
}

TEST_F(ReportTables, HevcProfilesAndLevels) {
  const std::pair<int, const char*> profiles[] = {
      {1, "Main"},         {2, "Main 10"},      {3, "Main Still Picture"}, {5, "High Throughput Rext"},
      {0, "Reserved [0]"}, {6, "Reserved [6]"}, {31, "Reserved [31]"},     {-1, "Reserved [-1]"},
  };
  for (auto& [p, text] : profiles) {
    general_profile_idc = p;
    EXPECT_EQ(line(capture(WriteHEVCInfo), "Profile"), std::string("Profile: ") + text);
  }
  general_profile_idc = 4;
  for (int depth : {8, 10, 12, 16}) {
    bit_depth = depth;
    EXPECT_EQ(line(capture(WriteHEVCInfo), "Profile"), "Profile: Main Rext [" + std::to_string(depth) + "-bit]");
  }

  const std::pair<int, const char*> levels[] = {
      {30, "1/"},    {60, "2/"},    {63, "2.1/ "}, {90, "3/"},    {93, "3.1/"}, {120, "4/"},  {123, "4.1/"},
      {150, "5/"},   {153, "5.1/"}, {156, "5.2/"}, {180, "6/"},   {183, "6.1/"}, {186, "6.2/"}, {0, "None/"},
  };
  for (int tier : {0, 1}) {
    general_tier_flag = tier;
    for (auto& [idc, text] : levels) {
      general_level_idc = idc;
      EXPECT_EQ(line(capture(WriteHEVCInfo), "Level/Tier"),
                std::string("Level/Tier: ") + text + (tier ? "High" : "Main"));
    }
    general_level_idc = 255;
    EXPECT_EQ(line(capture(WriteHEVCInfo), "Level/Tier"), "Level/Tier: 8.5");
    for (int idc : {31, 64, 254, -1}) {
      general_level_idc = idc;
      EXPECT_EQ(line(capture(WriteHEVCInfo), "Level/Tier"), "Level/Tier: reserved [" + std::to_string(idc) + "]");
    }
  }
}

TEST_F(ReportTables, HevcAspectAndColorimetry) {
  display_aspect_ratio_x = 0;
  EXPECT_EQ(line(capture(WriteHEVCInfo), "Pixel Aspect Ratio (PAR)"), "Pixel Aspect Ratio (PAR): Unknown");
  display_aspect_ratio_x = 12;
  display_aspect_ratio_y = 11;
  EXPECT_EQ(line(capture(WriteHEVCInfo), "Pixel Aspect Ratio (PAR)"), "Pixel Aspect Ratio (PAR): 12:11");

  // H.265 Table E.5 as the report names it.
  const char* names[15] = {"Identity", "BT.709",  "Unspecified", "Reserved", "FCC Title 47",
                           "BT.601",   "BT.601",  "SMPTE ST 240", "YCgCo",   "BT.2020/2100",
                           "BT.2020",  "Y'D'zD'x", "Special",    "Special",  "ICtCp"};
  for (int m = 0; m < 15; m++) {
    coded_matrix_coefficients = m;
    EXPECT_EQ(line(capture(WriteHEVCInfo), "Colorimetry"),
              std::string("Colorimetry: ") + names[m] + " [" + std::to_string(m) + "]");
  }
  for (int m : {15, 16, 255, -1}) {
    coded_matrix_coefficients = m;
    EXPECT_EQ(line(capture(WriteHEVCInfo), "Colorimetry"), "Colorimetry: Reserved [" + std::to_string(m) + "]");
  }
}

// ------------------------------------------------------------------ the file

TEST_F(ReportTables, LogFileNextToTheIndex) {
  const std::string base = tu::scratch("stream");
  snprintf(szOutputBase, sizeof szOutputBase, "%s", base.c_str());
  VideoStream_Flag = 1;
  WriteLogFile();
  EXPECT_EQ(tu::read_text(base + ".log"), capture(WriteMPGInfo));
  VideoStream_Flag = 3;
  WriteLogFile();
  EXPECT_EQ(tu::read_text(base + ".log"), capture(WriteVC1Info));
  VideoStream_Flag = 4;
  WriteLogFile();
  EXPECT_EQ(tu::read_text(base + ".log"), capture(WriteHEVCInfo));
  VideoStream_Flag = 0;
  WriteLogFile();
  EXPECT_EQ(tu::read_text(base + ".log"), capture(WriteAVCInfo));
  // A codec without a writer leaves an empty report.
  VideoStream_Flag = 9;
  WriteLogFile();
  EXPECT_TRUE(tu::exists(base + ".log"));
  EXPECT_EQ(tu::read_text(base + ".log"), "");
}

TEST_F(ReportTables, UncreatableLogFileIsSkipped) {
  // A folder that does not exist: fopen fails, nothing happens.
  const std::string base = tu::scratch("absent") + "/no/such/folder/stream";
  snprintf(szOutputBase, sizeof szOutputBase, "%s", base.c_str());
  VideoStream_Flag = 0;
  WriteLogFile();
  EXPECT_FALSE(tu::exists(base + ".log"));
  // A name at the full length of szOutputBase still gets its extension
  // (and fails here for being too long a path component, without overrun).
  memset(szOutputBase, 'a', sizeof szOutputBase - 1);
  szOutputBase[sizeof szOutputBase - 1] = 0;
  WriteLogFile();
}

}  // namespace
