// Stream report (".log").
//
// Runs once, after the indexing pass has closed the index file, and only
// reads the analysis results: the stream properties of the latest parameter
// sets or sequence headers, the rate, and the counters the index trailer
// printed. Every value that came from the stream is looked up with a bound
// check, so a reserved or forbidden code prints as such with its value.
#include "misc.h"

#include <climits>
#include <cstdint>
#include <string>

#include "global.h"
#include "hevc.h"
#include "index.h"
#include "mpg.h"
#include "vc1.h"

namespace {

// One entry of a code -> text map whose codes are not contiguous.
struct CodeName {
  int code;
  const char* name;
};

template <size_t N>
const char* name_of(const CodeName (&table)[N], int code) {
  for (const CodeName& e : table)
    if (e.code == code) return e.name;
  return nullptr;
}

// ---------------------------------------------------------------- tables
// H.264 profile_idc.
const CodeName kAvcProfiles[] = {
    {44, "CAVLC 4:4:4 Intra"},
    {66, "Baseline"},
    {77, "Main"},
    {83, "Scalable Baseline"},
    {86, "Scalable High"},
    {88, "Extended"},
    {100, "High"},
    {110, "High 10"},
    {118, "Multiview High"},
    {122, "High 4:2:2"},
    {128, "Stereo High"},
    {134, "MFC High"},
    {135, "MFC Depth High"},
    {138, "Multiview Depth High"},
    {139, "Enhanced Multiview Depth High"},
    {144, "High 4:4:4"},
    {244, "High 4:4:4 Predictive"},
};

// H.264 level_idc; 11 is listed as 1.1 and becomes 1b with constraint_set3_flag.
const CodeName kAvcLevels[] = {
    {9, "1b"},   {10, "1"},   {11, "1.1"}, {12, "1.2"}, {13, "1.3"}, {20, "2"},
    {21, "2.1"}, {22, "2.2"}, {30, "3"},   {31, "3.1"}, {32, "3.2"}, {40, "4"},
    {41, "4.1"}, {42, "4.2"}, {50, "5"},   {51, "5.1"},
};

// H.264 matrix_coefficients (Table E-5) 0..8; 8 is YCgCo (7 alone is
// SMPTE 240M). Later codes print as illegal.
const char* const kAvcMatrix[] = {
    "RGB",        "BT.709",     "Unknown",    "Reserved", "FCC 73.682",
    "BT.601",     "SMPTE 170M", "SMPTE 240M", "YCgCo",
};

// MPEG-2 profile_and_level_indication: the 3 profile bits (followed by "@")
// and the 4 level bits.
const CodeName kMpgProfiles[] = {
    {1, "high@"}, {2, "spatial@"}, {3, "snr@"}, {4, "main@"}, {5, "simple@"},
};
const CodeName kMpgLevels[] = {
    {4, "high"}, {6, "high1440"}, {8, "main"}, {10, "low"},
};

// MPEG-2 matrix_coefficients (Table 6-9); 0 is forbidden, 3 and 8..255 reserved.
const CodeName kMpgMatrix[] = {
    {1, "BT.709"}, {2, "Unknown"},    {4, "BT.470-2 M"},
    {5, "BT.601"}, {6, "SMPTE 170M"}, {7, "SMPTE 240M"},
};

// HEVC general_profile_idc 1..5 (4 is written with its bit depth).
const char* const kHevcProfiles[] = {
    nullptr, "Main", "Main 10", "Main Still Picture", nullptr, "High Throughput Rext",
};

// HEVC general_level_idc (30 × level): the level text and the separator that
// comes before the tier.
const CodeName kHevcLevels[] = {
    {30, "1/"},    {60, "2/"},    {63, "2.1/ "}, {90, "3/"},    {93, "3.1/"},
    {120, "4/"},   {123, "4.1/"}, {150, "5/"},   {153, "5.1/"}, {156, "5.2/"},
    {180, "6/"},   {183, "6.1/"}, {186, "6.2/"}, {0, "None/"},
};

// HEVC matrix_coeffs (H.265 Table E.5) 0..14; 15 and above are reserved.
const char* const kHevcMatrix[] = {
    "Identity", "BT.709",   "Unspecified", "Reserved",     "FCC Title 47",
    "BT.601",   "BT.601",   "SMPTE ST 240", "YCgCo",       "BT.2020/2100",
    "BT.2020",  "Y'D'zD'x", "Special",      "Special",     "ICtCp",
};

const char* const kFieldOrders[] = {"Progressive", "TFF", "BFF"};

// Index into a contiguous table, or null when code lies outside it.
template <size_t N>
const char* entry(const char* const (&table)[N], int code) {
  if (code < 0 || static_cast<size_t>(code) >= N) return nullptr;
  return table[code];
}

// ---------------------------------------------------------------- lines shared by the writers
void write_stream_type(FILE* f) {
  switch (SystemStream_Flag) {
    case 0:
      fputs("Stream Type: Elementary\n", f);
      break;
    case 1:
      fprintf(f, "Stream Type: Transport [%d]\n", TransportPacketSize);
      break;
    case 2:
      fputs("Stream Type: Matroska\n", f);
      break;
    case 3:
      fputs(program_stream_type == 5 ? "Stream Type: MPEG1 Program\n" : "Stream Type: MPEG2 Program\n", f);
      break;
    case 4:
      fputs("Stream Type: MP4\n", f);
      break;
    default:
      fprintf(f, "Stream Type: Unknown [%d]\n", SystemStream_Flag);
      break;
  }
}

// The size, then the chroma format and bit depth that decide whether a
// decoder can serve the stream.
void write_size(FILE* f) {
  fprintf(f, "Size: %dx%d\n", Picture_Width, Picture_Height);
  static const char* const kChroma[] = {"4:0:0", "4:2:0", "4:2:2", "4:4:4"};
  if (stream_chroma_format >= 0 && stream_chroma_format <= 3)
    fprintf(f, "Chroma Format: %s\n", kChroma[stream_chroma_format]);
  else
    fputs("Chroma Format: Unknown\n", f);
  if (stream_bit_depth > 0)
    fprintf(f, "Bit Depth: %d\n", stream_bit_depth);
  else
    fputs("Bit Depth: Unknown\n", f);
}

void write_frame_rate(FILE* f) { fprintf(f, "Frame Rate: %.6f fps\n", Frame_Rate); }

// VC-1 and HEVC keep their sample aspect ratio in display_aspect_ratio_x/y;
// x = 0 means the stream gave none.
void write_display_aspect(FILE* f) {
  if (display_aspect_ratio_x != 0)
    fprintf(f, "Pixel Aspect Ratio (PAR): %d:%d\n", display_aspect_ratio_x, display_aspect_ratio_y);
  else
    fputs("Pixel Aspect Ratio (PAR): Unknown\n", f);
}

// Field order (only once decided), picture counts and film share.
void write_counts(FILE* f) {
  if (field_order != -1) {
    if (const char* name = entry(kFieldOrders, field_order))
      fprintf(f, "Field Order: %s\n", name);
    else
      fprintf(f, "Field Order: Unknown [%d]\n", field_order);
  }
  // 64-bit sum: the counters are ints and the sum of the three may not fit one.
  const long long playback = static_cast<long long>(coded) + frame_repeats + field_repeats / 2 + lost_slots;
  fprintf(f, "Coded Number: %d\n", coded);
  fprintf(f, "Playback Number: %lld\n", playback);
  fprintf(f, "Frame Repeats: %d\n", frame_repeats);
  fprintf(f, "Field Repeats: %d\n", field_repeats);
  const double transitions = static_cast<double>(FILM_Purity) + VIDEO_Purity;
  if (transitions != 0)
    fprintf(f, "Film Percent: %.2f\n", FILM_Purity * 100.0 / transitions);
  else
    fputs("Film Percent: 0.00\n", f);
}


}  // namespace

// ---------------------------------------------------------------- writers
void WriteAVCInfo(FILE* f) {
  write_stream_type(f);
  fputs("Video Type: AVC\n", f);

  if (const char* name = name_of(kAvcProfiles, profile))
    fprintf(f, "Profile: %s\n", name);
  else
    fprintf(f, "Profile: reserved [%d]\n", profile);

  if (level == 11 && constraint == 1)
    fputs("Level: 1b\n", f);
  else if (const char* name = name_of(kAvcLevels, level))
    fprintf(f, "Level: %s\n", name);
  else
    fprintf(f, "Level: reserved [%d]\n", level);

  write_size(f);

  // aspect_ratio_idc 255 carries its own ratio; 0..16 are the standard's
  // table (0 = unspecified, 0:0); 17..254 are reserved and have no ratio.
  int w = 0, h = 0;
  bool known = true;
  if (sample_aspect_ratio == 255) {
    w = sar_width;
    h = sar_height;
  } else {
    known = sar_from_idc(sample_aspect_ratio, &w, &h);
  }
  if (known) {
    sarw = w;
    sarh = h;
    fprintf(f, "Pixel Aspect Ratio (PAR): %d:%d\n", sarw, sarh);
  } else {
    fprintf(f, "Pixel Aspect Ratio (PAR): reserved [%d]\n", sample_aspect_ratio);
  }

  write_frame_rate(f);

  if (const char* name = entry(kAvcMatrix, coded_matrix_coefficients))
    fprintf(f, "Colorimetry: %s [%d]\n", name, coded_matrix_coefficients);
  else
    fprintf(f, "Colorimetry: Illegal [%d]\n", coded_matrix_coefficients);

  write_counts(f);
}

void WriteMPGInfo(FILE* f) {
  write_stream_type(f);
  fputs("Video Type: MPEG2\n", f);

  // Profile and level share one line: "main@main"; an escaped or unknown
  // profile prints both codes, and an unknown level adds nothing.
  std::string pl;
  if (const char* name = name_of(kMpgProfiles, profile))
    pl = name;
  else
    pl = "esc (" + std::to_string(profile) + "@" + std::to_string(level) + ")";
  if (const char* name = name_of(kMpgLevels, level)) pl += name;
  fprintf(f, "Profile: %s\n", pl.c_str());

  write_size(f);

  int w = 0, h = 0;
  if (mpg_sample_aspect(aspect_ratio_information, horizontal_size, vertical_size, &w, &h)) {
    ar1 = w;
    ar2 = h;
    fprintf(f, "AspectRatio: %d:%d\n", ar1, ar2);
  } else if (aspect_ratio_information < 1 || aspect_ratio_information > 4) {
    fprintf(f, "AspectRatio: Reserved [%d]\n", aspect_ratio_information);
  } else {
    fputs("AspectRatio: Unknown\n", f);  // a defined code but an empty or absurd picture size
  }

  write_frame_rate(f);

  if (const char* name = name_of(kMpgMatrix, coded_matrix_coefficients))
    fprintf(f, "Colorimetry: %s [%d]\n", name, coded_matrix_coefficients);
  else if (coded_matrix_coefficients == 0)
    fputs("Colorimetry: Forbidden [0]\n", f);
  else
    fprintf(f, "Colorimetry: Reserved [%d]\n", coded_matrix_coefficients);

  write_counts(f);
}

void WriteVC1Info(FILE* f) {
  write_stream_type(f);
  fputs("Video Type: VC1\n", f);

  // profile is -1 when no sequence header was read.
  if (profile == 3)
    fputs("Profile: Advanced\n", f);
  else if (profile >= 0 && profile <= 2)
    fprintf(f, "Profile: Reserved [%d]\n", profile);
  else
    fprintf(f, "Profile: ??? [%d]\n", profile);

  if (level <= 4)
    fprintf(f, "Level: %d\n", level);
  else
    fprintf(f, "Level: Reserved [%d]\n", level);

  write_size(f);
  write_display_aspect(f);
  write_frame_rate(f);

  // MATRIX_COEF; -1 when the sequence header had no colour description, in
  // which case the size decides between standard and high definition.
  switch (coded_matrix_coefficients) {
    case 0:
      fputs("Colorimetry: Forbidden\n", f);
      break;
    case 1:
      fputs("Colorimetry: BT.709\n", f);
      break;
    case 2:
      fputs("Colorimetry: Unknown\n", f);
      break;
    case 6:
      fputs("Colorimetry: BT.1700\n", f);
      break;
    case -1:
      fputs(Picture_Height < 577 ? "Colorimetry: BT.1700\n" : "Colorimetry: BT.709\n", f);
      break;
    default:
      fputs("Colorimetry: Reserved\n", f);
      break;
  }

  write_counts(f);
}

void WriteHEVCInfo(FILE* f) {
  write_stream_type(f);
  fputs("Video Type: HEVC\n", f);

  if (hadPQ)
    fputs("HDR: PQ\n", f);
  else if (hadHLG)
    fputs("HDR: HLG\n", f);
  else
    fputs("HDR:\n", f);

  if (general_profile_idc == 4)
    fprintf(f, "Profile: Main Rext [%d-bit]\n", bit_depth);
  else if (const char* name = entry(kHevcProfiles, general_profile_idc))
    fprintf(f, "Profile: %s\n", name);
  else
    fprintf(f, "Profile: Reserved [%d]\n", general_profile_idc);

  const char* tier = general_tier_flag ? "High" : "Main";
  if (general_level_idc == 255)
    fputs("Level/Tier: 8.5\n", f);
  else if (const char* name = name_of(kHevcLevels, general_level_idc))
    fprintf(f, "Level/Tier: %s%s\n", name, tier);
  else
    fprintf(f, "Level/Tier: reserved [%d]\n", general_level_idc);

  write_size(f);
  write_display_aspect(f);
  write_frame_rate(f);

  if (const char* name = entry(kHevcMatrix, coded_matrix_coefficients))
    fprintf(f, "Colorimetry: %s [%d]\n", name, coded_matrix_coefficients);
  else
    fprintf(f, "Colorimetry: Reserved [%d]\n", coded_matrix_coefficients);

  write_counts(f);
}

void WriteLogFile() {
  const std::string name = std::string(szOutputBase) + ".log";
  FILE* f = fopen(name.c_str(), "w");
  if (!f) return;
  switch (VideoStream_Flag) {
    case 0:
      WriteAVCInfo(f);
      break;
    case 1:
      WriteMPGInfo(f);
      break;
    case 3:
      WriteVC1Info(f);
      break;
    case 4:
      WriteHEVCInfo(f);
      break;
    default:
      break;
  }
  fclose(f);
}
