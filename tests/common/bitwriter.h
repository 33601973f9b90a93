// The test-side bit writer that every codec's stream writer builds on, and
// the one emulation-prevention rule they share (H.264, H.265 and the VC-1
// encapsulation insert the same 03).
//
// Bits go most significant first into a growing byte vector; the last byte
// holds the bits written so far and zeros after them, so bytes() is always a
// valid, zero-padded view of what was written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tu {

class BitWriter {
 public:
  // The low `bits` bits of value, most significant first. bits <= 64; a
  // count of zero or less writes nothing.
  BitWriter& put(uint64_t value, int bits) {
    for (int i = bits - 1; i >= 0; i--) bit((value >> i) & 1);
    return *this;
  }
  // u(n), the same as put() with the arguments in the order of the H.26x
  // syntax tables (width first), so table rows can be copied as they stand.
  BitWriter& u(int bits, uint64_t value) { return put(value, bits); }
  // ue(v): floor(log2(v + 1)) zeros, then v + 1 in one bit more.
  BitWriter& ue(uint64_t v) {
    uint64_t x = v + 1;
    int len = 0;
    for (uint64_t t = x; t > 1; t >>= 1) len++;
    put(0, len);
    return put(x, len + 1);
  }
  // se(v): 0, 1, -1, 2, -2 ... as codeNum 0, 1, 2, 3, 4 ... (computed
  // unsigned, so no value overflows).
  BitWriter& se(int64_t v) {
    const uint64_t m = static_cast<uint64_t>(v);
    return ue(v > 0 ? 2 * m - 1 : 2 * (0 - m));
  }
  // A pattern written out by hand: every '0' and '1' of s in order, other
  // characters (spaces between fields) ignored.
  BitWriter& bits(const std::string& s) {
    for (char c : s)
      if (c == '0' || c == '1') bit(c == '1');
    return *this;
  }
  // Fill bits (0 or 1) up to the next byte boundary; nothing when aligned.
  BitWriter& align(int fill = 0) {
    while (count_ % 8) bit(fill & 1);
    return *this;
  }
  // rbsp_trailing_bits: a one, then zeros to the byte boundary.
  BitWriter& trailing() {
    bit(1);
    return align(0);
  }
  size_t bit_count() const { return count_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void bit(uint64_t b) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= static_cast<uint8_t>(0x80u >> (count_ % 8));
    count_++;
  }
  std::vector<uint8_t> bytes_;
  size_t count_ = 0;  // bits written; bytes_.size() == ceil(count_ / 8)
};

// Emulation prevention: a 03 after every two zero bytes that precede a byte
// of 00..03, so that no start-code prefix appears inside a payload. After an
// inserted 03 the zero run starts again, so the count never exceeds two.
inline std::vector<uint8_t> escape(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> out;
  out.reserve(raw.size() + raw.size() / 64);
  int zeros = 0;
  for (uint8_t b : raw) {
    if (zeros == 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

}  // namespace tu
