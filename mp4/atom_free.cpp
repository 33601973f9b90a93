#include "atoms.h"

MP4FreeAtom::MP4FreeAtom() : MP4Atom("free") {}

void MP4FreeAtom::Read() { Skip(false); }

// m_size zero bytes; the 64-bit header once the total would not fit 32 bits.
void MP4FreeAtom::Write() {
  MP4_ASSERT(m_pFile);
  const bool use64 = m_size > 0xFFFFFFF7ull;
  const uint64_t size = m_size;
  BeginWrite(use64);
  static const uint8_t zeros[4096] = {};
  for (uint64_t left = size; left;) {
    const uint32_t n = left < sizeof zeros ? static_cast<uint32_t>(left) : static_cast<uint32_t>(sizeof zeros);
    m_pFile->WriteBytes(zeros, n);
    left -= n;
  }
  FinishWrite(use64);
}
