// Sequence-level facts the stand-in parser reads from the elementary stream
// itself, where libavcodec does not export them: coded size and its
// alignment, cropping, chroma format, bit depth, and the picture-level flags
// needed for pictures that libavcodec never outputs.
//
// Every reader works on untrusted bytes: reads past the end yield zeros and
// set the error latch, Exp-Golomb codes stop at 32 leading zeros, and a
// parse whose latch is set or whose values are out of range returns false
// without touching its output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace standin {

class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : data_(data), size_bits_(size * 8) {}
  uint32_t u(int n);       // n <= 32 bits, MSB first
  uint32_t ue();           // unsigned Exp-Golomb, capped at 32 leading zeros
  int32_t se();
  void skip(size_t n);
  bool error() const { return error_; }
  size_t left() const { return pos_ < size_bits_ ? size_bits_ - pos_ : 0; }

 private:
  const uint8_t* data_;
  size_t size_bits_;
  size_t pos_ = 0;
  bool error_ = false;
};

// Removes emulation-prevention bytes (00 00 03 -> 00 00) of an AVC/HEVC unit.
std::vector<uint8_t> unescape_rbsp(const uint8_t* data, size_t size);

struct SeqInfo {
  int width = 0;          // decoded picture size in luma samples, before alignment
  int height = 0;
  int align = 16;         // block size the coded size is a multiple of
  int crop_left = 0;      // luma samples cut from each side for display
  int crop_top = 0;
  int crop_right = 0;
  int crop_bottom = 0;
  int chroma_format = 1;  // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
  int bit_depth_luma = 8;
  int bit_depth_chroma = 8;
  bool progressive_sequence = true;
  int dpb_size = 1;       // pictures the stream may keep for reference
};

// H.264 sequence parameter set; `rbsp` starts after the one-byte NAL header.
bool parse_h264_sps(const uint8_t* rbsp, size_t size, SeqInfo& out);
// H.265 sequence parameter set; `rbsp` starts after the two-byte NAL header.
bool parse_hevc_sps(const uint8_t* rbsp, size_t size, SeqInfo& out);

// A video parameter set for an H.265 SPS whose own VPS was never fed: the
// base layer only, with the SPS's VPS id, sub-layer count, nesting flag and
// profile_tier_level copied bit for bit, and one empty DPB entry. The real
// parser decodes from SPS and PPS alone; libavcodec refuses an SPS without
// its VPS. `rbsp` starts after the SPS's two-byte NAL header (escaped); the
// result is the whole unit, start code and NAL header included, escaped;
// empty when the SPS ends inside its profile_tier_level.
std::vector<uint8_t> make_hevc_vps(const uint8_t* rbsp, size_t size);

// MPEG-2 sequence header (bytes after 00 00 01 B3) and, when present, the
// sequence extension (bytes after 00 00 01 B5, may be null).
bool parse_mpeg2_sequence(const uint8_t* hdr, size_t hdr_size, const uint8_t* ext,
                          size_t ext_size, SeqInfo& out);

// Flags of an MPEG-2 picture coding extension (bytes after 00 00 01 B5).
struct Mpeg2PictureFlags {
  int picture_structure = 3;  // 1 top field, 2 bottom field, 3 frame
  bool top_field_first = false;
  bool repeat_first_field = false;
  bool progressive_frame = true;
};
bool parse_mpeg2_picture_extension(const uint8_t* ext, size_t size, Mpeg2PictureFlags& out);

}  // namespace standin
