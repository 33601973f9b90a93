// Bit reader of the HEVC analysis.
#include "BitstreamReader.h"

#include <cassert>
#include <stdexcept>

BitstreamReader::BitstreamReader(const uint8_t* data, size_t size)
    : data_(data), size_(size), byteIndex_(0), bitIndex_(7) {}

uint64_t BitstreamReader::bitsLeft() const {
  if (byteIndex_ >= size_) return 0;
  return (size_ - byteIndex_ - 1) * 8 + bitIndex_ + 1;
}

uint32_t BitstreamReader::getBit() {
  if (byteIndex_ >= size_) throw std::runtime_error("BitstreamReader: not enough data");
  uint32_t bit = (data_[byteIndex_] >> bitIndex_) & 1u;
  if (bitIndex_ == 0) {
    bitIndex_ = 7;
    byteIndex_++;
  } else {
    bitIndex_--;
  }
  return bit;
}

uint32_t BitstreamReader::getBits(size_t num) {
  assert(num <= 32 && "num <= 32");
  uint32_t value = 0;
  for (size_t i = 0; i < num; i++) value = (value << 1) | getBit();
  return value;
}

uint64_t BitstreamReader::readGolombCode() {
  // A prefix may run to the end of the unit: getBit throws there, so the
  // loop ends for every input.
  size_t zeros = 0;
  while (getBit() == 0) zeros++;
  if (zeros > 31) return 0;
  uint64_t suffix = getBits(zeros);
  return (uint64_t(1) << zeros) + suffix;
}

uint32_t BitstreamReader::getGolombU() {
  uint64_t k = readGolombCode();
  // k <= 2^32 - 1, so codeNum k - 1 fits in 32 bits.
  return k == 0 ? 0 : uint32_t(k - 1);
}

int32_t BitstreamReader::getGolombS() {
  uint64_t k = readGolombCode();
  if (k == 0) return 0;
  // k < 2^32: both halves fit in a signed 32-bit value.
  if (k & 1) return -int32_t((k - 1) / 2);
  return int32_t(k / 2);
}
