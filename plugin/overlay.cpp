// Information overlay: lines of text about the plugin and the picture,
// drawn into the luma plane with a built-in 10 x 20 bitmap font. Drawing is
// clipped to the frame and to the font, whatever the offsets and the text.
#include <array>
#include <cstdio>
#include <cstring>

#include "vapoursource.h"

namespace {

constexpr int kGlyphs = 500;
constexpr int kGlyphRows = 20;
constexpr int kCellWidth = 10;
constexpr int kCellHeight = 20;
constexpr int kFirstCode = 32;
constexpr int kPrintable = 127 - kFirstCode;  // codes 32 .. 126

const char kVersion[] = "2053.0.0.501";

// 5 x 7 design of the printable characters, one byte per column from the
// left, bit 0 the top row.
constexpr unsigned char kDesign[kPrintable][5] = {
    {0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x5F, 0x00, 0x00}, {0x00, 0x07, 0x00, 0x07, 0x00},
    {0x14, 0x7F, 0x14, 0x7F, 0x14}, {0x24, 0x2A, 0x7F, 0x2A, 0x12}, {0x23, 0x13, 0x08, 0x64, 0x62},
    {0x36, 0x49, 0x55, 0x22, 0x50}, {0x00, 0x05, 0x03, 0x00, 0x00}, {0x00, 0x1C, 0x22, 0x41, 0x00},
    {0x00, 0x41, 0x22, 0x1C, 0x00}, {0x14, 0x08, 0x3E, 0x08, 0x14}, {0x08, 0x08, 0x3E, 0x08, 0x08},
    {0x00, 0x50, 0x30, 0x00, 0x00}, {0x08, 0x08, 0x08, 0x08, 0x08}, {0x00, 0x60, 0x60, 0x00, 0x00},
    {0x20, 0x10, 0x08, 0x04, 0x02}, {0x3E, 0x51, 0x49, 0x45, 0x3E}, {0x00, 0x42, 0x7F, 0x40, 0x00},
    {0x42, 0x61, 0x51, 0x49, 0x46}, {0x21, 0x41, 0x45, 0x4B, 0x31}, {0x18, 0x14, 0x12, 0x7F, 0x10},
    {0x27, 0x45, 0x45, 0x45, 0x39}, {0x3C, 0x4A, 0x49, 0x49, 0x30}, {0x01, 0x71, 0x09, 0x05, 0x03},
    {0x36, 0x49, 0x49, 0x49, 0x36}, {0x06, 0x49, 0x49, 0x29, 0x1E}, {0x00, 0x36, 0x36, 0x00, 0x00},
    {0x00, 0x56, 0x36, 0x00, 0x00}, {0x08, 0x14, 0x22, 0x41, 0x00}, {0x14, 0x14, 0x14, 0x14, 0x14},
    {0x00, 0x41, 0x22, 0x14, 0x08}, {0x02, 0x01, 0x51, 0x09, 0x06}, {0x32, 0x49, 0x79, 0x41, 0x3E},
    {0x7E, 0x11, 0x11, 0x11, 0x7E}, {0x7F, 0x49, 0x49, 0x49, 0x36}, {0x3E, 0x41, 0x41, 0x41, 0x22},
    {0x7F, 0x41, 0x41, 0x22, 0x1C}, {0x7F, 0x49, 0x49, 0x49, 0x41}, {0x7F, 0x09, 0x09, 0x09, 0x01},
    {0x3E, 0x41, 0x49, 0x49, 0x7A}, {0x7F, 0x08, 0x08, 0x08, 0x7F}, {0x00, 0x41, 0x7F, 0x41, 0x00},
    {0x20, 0x40, 0x41, 0x3F, 0x01}, {0x7F, 0x08, 0x14, 0x22, 0x41}, {0x7F, 0x40, 0x40, 0x40, 0x40},
    {0x7F, 0x02, 0x0C, 0x02, 0x7F}, {0x7F, 0x04, 0x08, 0x10, 0x7F}, {0x3E, 0x41, 0x41, 0x41, 0x3E},
    {0x7F, 0x09, 0x09, 0x09, 0x06}, {0x3E, 0x41, 0x51, 0x21, 0x5E}, {0x7F, 0x09, 0x19, 0x29, 0x46},
    {0x46, 0x49, 0x49, 0x49, 0x31}, {0x01, 0x01, 0x7F, 0x01, 0x01}, {0x3F, 0x40, 0x40, 0x40, 0x3F},
    {0x1F, 0x20, 0x40, 0x20, 0x1F}, {0x3F, 0x40, 0x38, 0x40, 0x3F}, {0x63, 0x14, 0x08, 0x14, 0x63},
    {0x07, 0x08, 0x70, 0x08, 0x07}, {0x61, 0x51, 0x49, 0x45, 0x43}, {0x00, 0x7F, 0x41, 0x41, 0x00},
    {0x02, 0x04, 0x08, 0x10, 0x20}, {0x00, 0x41, 0x41, 0x7F, 0x00}, {0x04, 0x02, 0x01, 0x02, 0x04},
    {0x40, 0x40, 0x40, 0x40, 0x40}, {0x00, 0x01, 0x02, 0x04, 0x00}, {0x20, 0x54, 0x54, 0x54, 0x78},
    {0x7F, 0x48, 0x44, 0x44, 0x38}, {0x38, 0x44, 0x44, 0x44, 0x20}, {0x38, 0x44, 0x44, 0x48, 0x7F},
    {0x38, 0x54, 0x54, 0x54, 0x18}, {0x08, 0x7E, 0x09, 0x01, 0x02}, {0x0C, 0x52, 0x52, 0x52, 0x3E},
    {0x7F, 0x08, 0x04, 0x04, 0x78}, {0x00, 0x44, 0x7D, 0x40, 0x00}, {0x20, 0x40, 0x44, 0x3D, 0x00},
    {0x7F, 0x10, 0x28, 0x44, 0x00}, {0x00, 0x41, 0x7F, 0x40, 0x00}, {0x7C, 0x04, 0x18, 0x04, 0x78},
    {0x7C, 0x08, 0x04, 0x04, 0x78}, {0x38, 0x44, 0x44, 0x44, 0x38}, {0x7C, 0x14, 0x14, 0x14, 0x08},
    {0x08, 0x14, 0x14, 0x18, 0x7C}, {0x7C, 0x08, 0x04, 0x04, 0x08}, {0x48, 0x54, 0x54, 0x54, 0x20},
    {0x04, 0x3F, 0x44, 0x40, 0x20}, {0x3C, 0x40, 0x40, 0x20, 0x7C}, {0x1C, 0x20, 0x40, 0x20, 0x1C},
    {0x3C, 0x40, 0x30, 0x40, 0x3C}, {0x44, 0x28, 0x10, 0x28, 0x44}, {0x0C, 0x50, 0x50, 0x50, 0x3C},
    {0x44, 0x64, 0x54, 0x4C, 0x44}, {0x00, 0x08, 0x36, 0x41, 0x00}, {0x00, 0x00, 0x7F, 0x00, 0x00},
    {0x00, 0x41, 0x36, 0x08, 0x00}, {0x10, 0x08, 0x08, 0x10, 0x08},
};

// The design doubled in both directions: columns 0-9 of a row word from bit
// 15 down, design rows 0-6 on glyph rows 3-16. Glyphs past the printable
// range stay blank.
using Font = std::array<std::array<uint16_t, kGlyphRows>, kGlyphs>;
constexpr Font MakeFont() {
  Font f{};
  for (int g = 0; g < kPrintable; ++g) {
    for (int r = 0; r < 7; ++r) {
      uint16_t word = 0;
      for (int c = 0; c < 5; ++c)
        if (kDesign[g][c] & (1 << r)) word |= static_cast<uint16_t>(0xC000 >> (2 * c));
      f[g][3 + 2 * r] = word;
      f[g][4 + 2 * r] = word;
    }
  }
  return f;
}

}  // namespace

// Built at compile time: constant data, no start-up code.
const Font VSVideoSource::vsfont = MakeFont();

void VSVideoSource::VSDrawDigit(VSFrameRef* frame, const VSAPI* vsapi, int column, int row,
                                int offsetX, int offsetY, int glyph, bool sixteen) {
  if (glyph < 0 || glyph >= kGlyphs) return;
  uint8_t* plane = vsapi->getWritePtr(frame, 0);
  const int stride = vsapi->getStride(frame, 0);
  const int width = vsapi->getFrameWidth(frame, 0);
  const int height = vsapi->getFrameHeight(frame, 0);
  // Positions in 64 bits: large offsets or columns never wrap into the frame.
  const int64_t x0 = int64_t(offsetX) + int64_t(kCellWidth) * column;
  const int64_t y0 = int64_t(offsetY) + int64_t(kCellHeight) * row;
  for (int r = 0; r < kGlyphRows; ++r) {
    const int64_t y = y0 + r;
    if (y < 0 || y >= height) continue;
    const uint16_t bits = vsfont[glyph][r];
    uint8_t* line = plane + static_cast<ptrdiff_t>(y) * stride;
    for (int c = 0; c < kCellWidth; ++c) {
      const int64_t x = x0 + c;
      if (x < 0 || x >= width) continue;
      const bool on = (bits >> (15 - c)) & 1;
      if (sixteen) {
        const uint16_t v = on ? 0xFFFF : 0x0000;
        memcpy(line + 2 * x, &v, 2);
      } else {
        line[x] = on ? 0xFF : 0x00;
      }
    }
  }
}

void VSVideoSource::VSDrawString(VSFrameRef* frame, const VSAPI* vsapi, int column, int row,
                                 int offsetX, int offsetY, const char* text, bool sixteen) {
  if (!text) return;
  const int width = vsapi->getFrameWidth(frame, 0);
  for (int k = 0; text[k]; ++k) {
    // Cells wholly right of the frame draw nothing: stop there.
    if (int64_t(offsetX) + int64_t(kCellWidth) * (int64_t(column) + k) >= width) break;
    const int code = static_cast<unsigned char>(text[k]);
    // Characters outside the font draw as a blank cell.
    const int glyph = code >= kFirstCode && code < kFirstCode + kPrintable ? code - kFirstCode : 0;
    VSDrawDigit(frame, vsapi, column + k, row, offsetX, offsetY, glyph, sixteen);
  }
}

void VSVideoSource::DrawOverlay(VSFrameRef* frame, const VSAPI* vsapi, int n) const {
  // show2: "x,y,text". Offsets are 0 unless it begins with two integers.
  int offsetX = 0, offsetY = 0;
  char extra[SHOW2_SIZE] = {};
  if (dec.show2[0]) {
    int x = 0, y = 0;
    const int got = sscanf(dec.show2, "%d,%d,%254[^\n]", &x, &y, extra);
    if (got >= 2) {
      offsetX = x;
      offsetY = y;
    }
    if (got < 3) extra[0] = '\0';
  }
  // Display frame n names its pictures; the coding type is that of the
  // picture supplying its top field, which with pulldown or force film is
  // not picture n.
  const FrameRecord& f = DisplayRecord(n);
  const FrameRecord& picture = PictureRecord(n);

  // The group of the picture that supplies the frame's top field.
  size_t group = 0;
  const size_t G = dec.groups.size();
  if (G > 1) {
    group = G - 1;
    const u64 coded = f.top < 0 ? 0 : static_cast<u64>(f.top);
    for (size_t g = 0; g + 1 < G; ++g) {
      if (dec.groups[g].first <= coded && coded < dec.groups[g + 1].first) {
        group = g;
        break;
      }
    }
  }

  const char* type = "Frame coding type: unknown";
  switch (dec.codec) {
    case CODEC_AVC:
      switch (picture.slice_type) {
        case 2: case 7:
          type = G && dec.groups[group].idr ? "Frame coding type: IDR" : "Frame coding type: I";
          break;
        case 0: case 5: type = "Frame coding type: P"; break;
        case 1: case 6: type = "Frame coding type: B"; break;
        case 3: case 8: type = "Frame coding type: SP"; break;
        case 4: case 9: type = "Frame coding type: SI"; break;
        default: break;
      }
      break;
    case CODEC_MPEG2:
      switch (picture.pict_type) {
        case 0: type = "Frame coding type: I"; break;
        case 1: type = "Frame coding type: P"; break;
        case 3: type = "Frame coding type: B"; break;
        default: break;
      }
      break;
    case CODEC_VC1:
      switch (picture.pict_type) {
        case 0: type = "Frame coding type: I"; break;
        case 1: type = "Frame coding type: P"; break;
        case 2: type = "Frame coding type: Pskip"; break;
        case 3: type = "Frame coding type: B"; break;
        case 4: type = "Frame coding type: BI"; break;
        default: break;
      }
      break;
    case CODEC_HEVC:
      switch (picture.slice_type) {
        case 2: type = "Frame coding type: I"; break;
        case 1: type = "Frame coding type: P"; break;
        case 0: type = "Frame coding type: B"; break;
        default: break;
      }
      break;
    default:
      break;
  }

  const bool sixteen = bytes_per_sample() == 2;
  char line[128];
  snprintf(line, sizeof line, "Pemmick (linux)  %s", kVersion);
  VSDrawString(frame, vsapi, 0, 0, offsetX, offsetY, line, sixteen);
  VSDrawString(frame, vsapi, 0, 1, offsetX, offsetY, "GPU decoding through CUVID", sixteen);
  snprintf(line, sizeof line, "GOP: %d", static_cast<int>(group));
  VSDrawString(frame, vsapi, 0, 3, offsetX, offsetY, line, sixteen);
  snprintf(line, sizeof line, "Display frame: %d", n);
  VSDrawString(frame, vsapi, 0, 4, offsetX, offsetY, line, sixteen);
  snprintf(line, sizeof line, "Coded frame: %d (top) %d (bottom)", f.top, f.bottom);
  VSDrawString(frame, vsapi, 0, 5, offsetX, offsetY, line, sixteen);
  VSDrawString(frame, vsapi, 0, 6, offsetX, offsetY, type, sixteen);
  if (extra[0]) VSDrawString(frame, vsapi, 0, 8, offsetX, offsetY, extra, sixteen);
}
