// Indexing driver and the common parts of the index file.
#include "index.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "avc.h"
#include "decode.h"
#include "Matroska.h"
#include "hevc.h"
#include "misc.h"
#include "mpg.h"
#include "mpls.h"
#include "nalu.h"
#include "vc1.h"

void no_mem_exit(const char*) {
  printf("Could not allocate memory\n");
  fflush(stdout);
  exit(100);
}

// ------------------------------------------------------------------ codec probe

void SetVideoType() {
  Operation = 3;
  process.unused0 = 0;
  if (SystemStream_Flag == 2 || SystemStream_Flag == 4) {
    Operation = 0;
    return;
  }
  u64 at = process.start_byte;
  if (SystemStream_Flag == 1 && at > 203) at -= 204;
  SeekStream(at);
  IsFirstByteStreamNALU = 1;

  constexpr int MAX_PROBE = 500;
  unsigned char codes[MAX_PROBE];
  int n = 0;
  u64 pos;
  while (n < MAX_PROBE) {
    int r = GetAnnexbNALU(nalu, &pos);
    if (r < 0) {
      printf("Error while getting the Annex B NALU, exit\n");
      exit(1);
    }
    if (r == 0) break;
    codes[n] = nalu->len > 3 ? nalu->buf[3] : 0;
    if (n > 0 && codes[n - 1] == 0xB3 && codes[n] != 0xB5) {
      printf("MPEG1 video not supported.\n");
      exit(1);
    }
    n++;
  }
  if (n == 0) {
    printf("No video data found in the input.\n");
    exit(1);
  }

  int kind = -1;
  for (int i = 0; i < n && kind < 0; i++)
    if (codes[i] == 0xB2 || codes[i] == 0xB3 || codes[i] == 0xB5 || codes[i] == 0xB8) kind = 1;
  for (int i = 0; i + 2 < n && kind < 0; i++)
    if (((codes[i] >> 1) & 63) == 32 && ((codes[i + 1] >> 1) & 63) == 33 && ((codes[i + 2] >> 1) & 63) == 34) kind = 4;
  for (int i = 0; i < n && kind < 0; i++)
    if ((codes[i] & 15) >= 5 && (codes[i] & 15) <= 9) kind = 0;
  for (int i = 0; i < n && kind < 0; i++)
    if (codes[i] == 0x0D) kind = 3;
  if (kind >= 0) {
    VideoStream_Flag = kind;
  } else if (SystemStream_Flag == 1) {
    printf("Unknown video type. Try another video PID.\n");
  } else {
    printf("Unknown video type. Exiting...\n");
    exit(1);
  }
  Operation = 0;
}

// ------------------------------------------------------------------ analysis reset

void init_indexing() {
  IsFirstByteStreamNALU = 1;
  field_repeats = frame_repeats = coded = FRM_ndx = 0;
  field_order = -1;
  bytes_delivered = bytes_delivered_total = 0;
  max_rate = 0;
  fps_num = 25;
  fps_den = 1;
  adjust_next = 0;
  Buffer_Physical = 0;
  profile = -1;
  VIDEO_Purity = FILM_Purity = 0;
  Stop_Flag = false;
  reset_avc_analysis();
  reset_mpg_analysis();
  reset_vc1_analysis();
  reset_hevc_analysis();
}

// ------------------------------------------------------------------ picture loop

int read_new_picture() {
  const bool avc_reader = VideoStream_Flag == 0 || VideoStream_Flag == 4;
  for (;;) {
    u64 pos = 0;
    int r = avc_reader ? GetAnnexbNALUAVC(nalu, &pos) : GetAnnexbNALU(nalu, &pos);
    if (r < 0) {
      printf("Error while getting the Annex B NALU, exit\n");
      fflush(stdout);
      exit(1);
    }
    if (r == 0) return 0;
    if (SystemStream_Flag == 2 || SystemStream_Flag == 4) {
      if (process.end_time <= mkv_current_tc) return 0;
    } else if (process.end_byte <= pos) {
      return 0;
    }
    bytes_delivered += nalu->len;
    bytes_delivered_total += nalu->len;
    if (nalu->len == 0) continue;
    int v = 2;
    switch (VideoStream_Flag) {
      case 0:
        v = parse_nalu_avc(nalu, pos, 1);
        break;
      case 1:
      case 2:
        v = parse_nalu_mpg(nalu, pos);
        break;
      case 3:
        v = parse_nalu_vc1(nalu, pos);
        break;
      case 4:
        v = parse_nalu_hevc(nalu, pos);
        break;
      default:
        break;
    }
    if (v != 2) return v;
  }
}

void OutputProgress(int percent) {
  if (percent < 0) return;
  if (percent == 100) printf("100\n");
  else printf("%d\r", percent);
  fflush(stdout);
}

int progress_percent() {
  if (Infiletotal == 0) return 0;
  u64 pos = StreamPosition();
  pos = pos >= 3 ? pos - 3 : 0;
  return static_cast<int>(static_cast<double>(pos) * 100.0 / static_cast<double>(Infiletotal));
}

// ------------------------------------------------------------------ end of run

// The script: the template with every "__vid__" replaced by the index file's
// name, named like the index with the template's extension.
static void write_script() {
  if (!AVSTemplatePath[0]) return;
  std::string tpl = AVSTemplatePath;
  std::string out = output_file;
  size_t slash = tpl.rfind('/');
  size_t dot = tpl.rfind('.');
  std::string ext = (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? tpl.substr(dot + 1) : "";
  size_t odot = out.rfind('.');
  if (odot != std::string::npos) out.erase(odot);
  if (!ext.empty()) out += "." + ext;
  std::ifstream in(tpl, std::ios::binary);
  if (!in) return;
  FILE* f = fopen(out.c_str(), "w");
  if (!f) return;
  std::string line;
  const std::string key = "__vid__";
  while (std::getline(in, line)) {
    size_t p = 0;
    while ((p = line.find(key, p)) != std::string::npos) {
      line.replace(p, key.size(), output_file);
      p += strlen(output_file);
    }
    if (!in.eof()) line += '\n';
    fputs(line.c_str(), f);
  }
  fclose(f);
}

bool snap_matroska_rate() {
  // Rates far beyond any video (a DefaultDuration of a few nanoseconds) are
  // not taken.
  if (SystemStream_Flag != 2 || mkv_Frame_Rate <= 0 || mkv_Frame_Rate >= 1e6) return false;
  snap_frame_rate(static_cast<int>(1000 * mkv_Frame_Rate), 1000);
  return true;
}

void Index(int mode) {
  Operation = mode;
  init_indexing();
  switch (VideoStream_Flag) {
    case 0:
      index_avc();
      break;
    case 1:
    case 2:
      index_mpg();
      break;
    case 3:
      index_vc1();
      break;
    case 4:
      index_hevc();
      break;
    default:
      break;
  }
  if (SystemStream_Flag == 2) {
    if (coded == 0) {
      // Frames that cannot be read (damage, clusters of unknown size) must
      // not leave an index that looks like a complete empty one.
      const char* why = mkv_GetLastError(mf);
      if (why)
        printf("No picture could be read from the Matroska file: %s\n", why);
      else
        printf("No picture could be read from the Matroska file.\n");
      if (p_aif) fclose(p_aif);
      p_aif = nullptr;
      unlink(output_file);
      fflush(stdout);
      exit(1);
    }
    mkv_Close(mf);
    mf = nullptr;
  }
  write_script();
  // A title whose chapters were asked for and not written is not a complete run.
  const int chapters_status = open_via_mpls ? ProcessMPLS(MPLS_Name, 1) : 0;
  for (int i = NumLoadedFiles - 1; i >= 0; i--) {
    if (Infile[i] >= 0) close(Infile[i]);
    Infile[i] = -1;
  }
  WriteLogFile();
  fflush(stdout);
  exit(chapters_status != 0 ? 1 : 0);
}

// ------------------------------------------------------------------ index file writer

void write_index_head(const char* magic, int fail_status) {
  if (Operation != 0) return;
  p_aif = fopen(output_file, "w");
  if (!p_aif) {
    printf("Error opening index file %s\n", output_file);
    fflush(stdout);
    exit(fail_status);
  }
  fprintf(p_aif, "%s%s %s X64\n", magic, "NV100", Version);
  fprintf(p_aif, "%s\n\n", ExePath);
  for (int i = 0; i < NumLoadedFiles; i++)
    fprintf(p_aif, "%s %llu\n", Infilename[i], static_cast<unsigned long long>(Infilelength[i]));
}

void write_keyword_header(int depth) {
  if (Operation != 0 || !p_aif) return;
  fprintf(p_aif, "\nDEVICE %d\n", 0);
  fprintf(p_aif, "DECODE_MODES %d,%d,%d,%d,%d\n", 0, 0, 0, 0, 0);
  fprintf(p_aif, "STREAM %d %d\n", SystemStream_Flag, program_stream_type);
  if (SystemStream_Flag == 1) {
    fprintf(p_aif, "PKTSIZ %d\n", TransportPacketSize);
    fprintf(p_aif, "VPID %d\n", static_cast<int>(MPEG2_Transport_VideoPID));
  }
  const bool timed = SystemStream_Flag == 2 || SystemStream_Flag == 4;
  fprintf(p_aif, "RANGE %llu 0 %llu 0\n", static_cast<unsigned long long>(timed ? process.start_time : process.start_byte),
          static_cast<unsigned long long>(timed ? process.end_time : process.end_byte));
  fprintf(p_aif, "DEMUX %s\n", "");
  fprintf(p_aif, "DEPTH %d\n", depth);
}

void write_aspect_colorimetry(int aspect_w, int aspect_h, int matrix, int transfer, int primaries) {
  ar1 = aspect_w;
  ar2 = aspect_h;
  if (Operation != 0 || !p_aif) return;
  fprintf(p_aif, "ASPECT %d %d\n", aspect_w, aspect_h);
  fprintf(p_aif, "COLORIMETRY %d %d %d\n", matrix, transfer, primaries);
}

void write_trailer(bool hevc) {
  if (Operation != 0 || !p_aif) return;
  fprintf(p_aif, "\nSIZE %d x %d ", Picture_Width, Picture_Height);
  fprintf(p_aif, "\nFPS %d / %d", fps_num, fps_den);
  fprintf(p_aif, "\nCODED %d", coded);
  if (!hevc) {
    fprintf(p_aif, "\nPLAYBACK %d", coded + frame_repeats + field_repeats / 2);
    if (FILM_Purity + VIDEO_Purity > 0) {
      float film = static_cast<float>(FILM_Purity) * 100.0f / static_cast<float>(FILM_Purity + VIDEO_Purity);
      fprintf(p_aif, "\n%.2f%% FILM", static_cast<double>(film));
    } else {
      fprintf(p_aif, "\n0.00%% FILM");
    }
  }
  fprintf(p_aif, "\nORDER %d", hevc && field_order == -1 ? 0 : field_order);
}

void close_index_file() {
  if (!p_aif) return;
  fprintf(p_aif, "\n");
  bool bad = ferror(p_aif) != 0;
  bad = fclose(p_aif) != 0 || bad;
  p_aif = nullptr;
  if (bad) {
    // A silently truncated index would pass for a complete one.
    printf("Error writing index file %s\n", output_file);
    fflush(stdout);
    exit(1);
  }
}

// ------------------------------------------------------------------ rate and aspect rules

void snap_frame_rate(int num, int den) {
  if (num <= 0 || den <= 0) {
    fps_num = 25000;
    fps_den = 1000;
    Frame_Rate = 25;
    return;
  }
  struct Band {
    double lo;      // lo < r
    double hi;
    bool hi_closed; // r <= hi, else r < hi
    int n, d;
    double rate;
  };
  static const Band bands[] = {
      {59.98, 60, true, 60000, 1000, 60},
      {59, 60, false, 60000, 1001, 60000.0 / 1001},
      {29.98, 30, true, 30000, 1000, 30},
      {29, 30, false, 30000, 1001, 30000.0 / 1001},
      {24.98, 25, true, 25000, 1000, 25},
      {23.98, 24, true, 24000, 1000, 24},
      {23, 24, false, 24000, 1001, 24000.0 / 1001},
  };
  double r = static_cast<double>(num) / static_cast<double>(den);
  for (const Band& b : bands) {
    if (r > b.lo && (b.hi_closed ? r <= b.hi : r < b.hi)) {
      fps_num = b.n;
      fps_den = b.d;
      Frame_Rate = b.rate;
      return;
    }
  }
  fps_num = num;
  fps_den = den;
  Frame_Rate = r;
}

u64 gcd64(u64 a, u64 b) {
  while (b != 0) {
    const u64 t = a % b;
    a = b;
    b = t;
  }
  return a;
}

bool sar_from_idc(int idc, int* w, int* h) {
  static const int table[17][2] = {{0, 0},   {1, 1},   {12, 11}, {10, 11}, {16, 11}, {40, 33},
                                   {24, 11}, {20, 11}, {32, 11}, {80, 33}, {18, 11}, {15, 11},
                                   {64, 33}, {160, 99}, {4, 3},  {3, 2},   {2, 1}};
  if (idc < 0 || idc >= 17) return false;
  *w = table[idc][0];
  *h = table[idc][1];
  return true;
}
