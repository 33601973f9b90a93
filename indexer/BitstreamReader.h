// MSB-first bit reader over a cleaned HEVC unit (emulation-prevention bytes
// already removed by the caller).
#pragma once

#include <cstddef>
#include <cstdint>

// A plain value on the caller's stack; it neither owns nor allocates.
// Invariant: bitIndex is 7..0 and byteIndex <= size; a bit is available only
// while byteIndex < size. Every read that needs a bit beyond the end throws
// std::runtime_error("BitstreamReader: not enough data"); bits already taken
// by that read stay consumed.
class BitstreamReader {
 public:
  BitstreamReader(const uint8_t* data, size_t size);

  // Reads num bits, first bit most significant. num above 32 is a contract
  // breach of the caller: stream values that set a width are range-checked
  // where they are parsed, so no stream reaches it. num 0 returns 0.
  uint32_t getBits(size_t num);
  uint32_t getGolombU();                 // ue(v); 0 for a prefix of more than 31 zeros
  int32_t getGolombS();                  // se(v)

  // Bits still readable (for callers that want to look before they read).
  uint64_t bitsLeft() const;

 private:
  uint32_t getBit();
  // Reads the zero prefix and the suffix of an Exp-Golomb code; returns
  // 2^n + suffix, or 0 when n is above 31 (suffix not read).
  uint64_t readGolombCode();

  const uint8_t* data_;
  uint64_t size_;
  uint64_t byteIndex_;
  uint64_t bitIndex_;
};
