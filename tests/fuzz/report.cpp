// The stream report's tables: every value the four writers look up is taken
// from the input (32 bits each, little-endian; missing bytes read as 0), so
// codes far outside the tables, negative ones and extreme counts reach them.
#include <cstring>

#include "hevc.h"
#include "mpg.h"
#include "ostrel_run.h"
#include "vc1.h"

namespace {

struct Cursor {
  const uint8_t* p;
  size_t left;
  int next() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const uint32_t b = left ? (--left, *p++) : 0;
      v |= b << (8 * i);
    }
    int s;
    memcpy(&s, &v, sizeof s);
    return s;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::start(data, size);
  Cursor c{data, size};
  int* const values[] = {
      &SystemStream_Flag, &TransportPacketSize, &program_stream_type, &profile, &level, &constraint,
      &Picture_Width, &Picture_Height, &sample_aspect_ratio, &sar_width, &sar_height,
      &coded_matrix_coefficients, &field_order, &coded, &frame_repeats, &field_repeats, &FILM_Purity,
      &VIDEO_Purity, &aspect_ratio_information, &horizontal_size, &vertical_size, &display_aspect_ratio_x,
      &display_aspect_ratio_y, &general_profile_idc, &general_tier_flag, &general_level_idc, &bit_depth,
  };
  for (int* v : values) *v = c.next();
  Frame_Rate = c.next() / 1000.0;
  const int flags = c.next();
  hadPQ = flags & 1;
  hadHLG = flags & 2;
  if (FILE* f = fuzz::sink()) {
    WriteAVCInfo(f);
    WriteMPGInfo(f);
    WriteVC1Info(f);
    WriteHEVCInfo(f);
  }
  return 0;
}
