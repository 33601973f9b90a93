// Byte primitives of MP4File over its three sources: the memory buffer, an
// explicit stdio stream, or the handle through its Virtual_IO table. All
// multi-byte values are big-endian.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include "mp4array.h"
#include "mp4file.h"

namespace {

struct FreeDeleter {
  void operator()(void* p) const { MP4Free(p); }
};
typedef std::unique_ptr<char, FreeDeleter> CharBuffer;

}  // namespace

// ---------------------------------------------------------------- positions

uint64_t MP4File::GetPosition(FILE* pFile) {
  if (m_memoryBuffer) return m_memoryBufferPosition;
  if (pFile) {
    const off_t pos = ftello(pFile);
    if (pos < 0) throw MP4Error(errno, "MP4GetPosition");
    return static_cast<uint64_t>(pos);
  }
  MP4_ASSERT(m_pFile);
  uint64_t pos = 0;
  if (m_virtual_IO->GetPosition(m_pFile, &pos) != 0)
    throw MP4Error("getting position via Virtual I/O", "MP4GetPosition");
  return pos;
}

void MP4File::SetPosition(uint64_t pos, FILE* pFile) {
  if (m_memoryBuffer) {
    // The end itself is a valid position: a write that exactly fills the
    // buffer seeks back there after patching a length.
    if (pos > m_memoryBufferSize) throw MP4Error("position out of range", "MP4SetPosition");
    m_memoryBufferPosition = pos;
    return;
  }
  if (pFile) {
    if (pos > static_cast<uint64_t>(INT64_MAX) || fseeko(pFile, static_cast<off_t>(pos), SEEK_SET))
      throw MP4Error(errno, "MP4SetPosition");
    return;
  }
  MP4_ASSERT(m_pFile);
  if (m_virtual_IO->SetPosition(m_pFile, pos) != 0)
    throw MP4Error("setting position via Virtual I/O", "MP4SetPosition");
}

uint64_t MP4File::GetSize() {
  if (m_mode == 'w') m_fileSize = GetPosition();
  return m_fileSize;
}

uint64_t MP4File::GetRemainingBytes() {
  if (m_memoryBuffer) return m_memoryBufferSize - m_memoryBufferPosition;
  // While writing, the file grows under the reader: no bound to give.
  if (m_mode == 'w') return UINT64_MAX;
  const uint64_t pos = GetPosition();
  return m_fileSize > pos ? m_fileSize - pos : 0;
}

// ---------------------------------------------------------------- bytes

void MP4File::ReadBytes(uint8_t* pBytes, uint32_t numBytes, FILE* pFile) {
  if (numBytes == 0) return;
  MP4_ASSERT(pBytes);
  if (m_numReadBits > 0) MP4Warning("m_numReadBits > 0", "mp4file_io", 95);
  if (m_memoryBuffer) {
    if (numBytes > m_memoryBufferSize - m_memoryBufferPosition)
      throw MP4Error("not enough bytes, reached end-of-memory", "MP4ReadBytes");
    memcpy(pBytes, m_memoryBuffer + m_memoryBufferPosition, numBytes);
    m_memoryBufferPosition += numBytes;
    return;
  }
  if (pFile) {
    if (fread(pBytes, 1, numBytes, pFile) != numBytes) {
      if (feof(pFile)) throw MP4Error("not enough bytes, reached end-of-file", "MP4ReadBytes");
      throw MP4Error(errno, "MP4ReadBytes");
    }
    return;
  }
  MP4_ASSERT(m_pFile);
  if (m_virtual_IO->Read(m_pFile, pBytes, numBytes) != numBytes)
    throw MP4Error("not enough bytes, reached end-of-file", "MP4ReadBytes");
}

void MP4File::PeekBytes(uint8_t* pBytes, uint32_t numBytes, FILE* pFile) {
  const uint64_t pos = GetPosition(pFile);
  ReadBytes(pBytes, numBytes, pFile);
  SetPosition(pos, pFile);
}

void MP4File::WriteBytes(const uint8_t* pBytes, uint32_t numBytes, FILE* pFile) {
  MP4_ASSERT(m_numWriteBits == 0 || m_numWriteBits >= 8);
  if (!pBytes || numBytes == 0) return;
  if (m_memoryBuffer) {
    if (m_memoryBufferPosition + numBytes > m_memoryBufferSize) {
      // Computed in 64 bits and refused beyond what one allocation may hold,
      // never truncated to a smaller buffer that the copy would overrun.
      const uint64_t newSize = (m_memoryBufferSize + numBytes) * 2;
      if (newSize > UINT32_MAX) throw MP4Error(ENOMEM);
      m_memoryBuffer =
          static_cast<uint8_t*>(MP4Realloc(m_memoryBuffer, static_cast<uint32_t>(newSize)));
      m_memoryBufferSize = newSize;
      m_memoryBufferOwned = true;
    }
    memcpy(m_memoryBuffer + m_memoryBufferPosition, pBytes, numBytes);
    m_memoryBufferPosition += numBytes;
    return;
  }
  if (pFile) {
    if (fwrite(pBytes, 1, numBytes, pFile) != numBytes) throw MP4Error(errno, "MP4WriteBytes");
    return;
  }
  MP4_ASSERT(m_pFile);
  // A failed write says why it failed, and leaves the position where its
  // bytes were to go, for the next write to go there: the library's own
  // table for written files does so itself, a modification makes sure.
  uint64_t pos = 0;
  if (m_modifying) {
    pos = GetPosition();
    KeepOverwritten(numBytes);
  }
  if (m_watchCuts) {
    // Nothing more goes into a file seen cut.
    if (m_cutSeen) ThrowCut(m_writeCall);
    pos = GetPosition();
  }
  errno = 0;
  if (m_virtual_IO->Write(m_pFile, const_cast<uint8_t*>(pBytes), numBytes) != numBytes) {
    const int error = errno;
    if (m_modifying) {
      try {
        m_virtual_IO->SetPosition(m_pFile, pos);
      } catch (...) {
      }
    }
    throw MP4Error(error, "error writing bytes via virtual I/O", "MP4WriteBytes");
  }
  if (m_watchCuts) CheckWritten(pos, pBytes, numBytes);
}

std::vector<uint8_t> MP4File::InMemory(const std::function<void()>& write) {
  EnableMemoryBuffer();
  uint8_t* bytes = nullptr;
  uint64_t n = 0;
  try {
    write();
  } catch (...) {
    DisableMemoryBuffer(&bytes);
    MP4Free(bytes);
    throw;
  }
  DisableMemoryBuffer(&bytes, &n);
  std::vector<uint8_t> out(bytes, bytes + n);
  MP4Free(bytes);
  return out;
}

// ---------------------------------------------------------------- integers

void MP4File::WriteZeros(uint64_t count) {
  static const uint8_t zeros[256] = {};
  for (uint64_t left = count; left;) {
    const uint32_t n = left < sizeof zeros ? static_cast<uint32_t>(left) : static_cast<uint32_t>(sizeof zeros);
    WriteBytes(zeros, n);
    left -= n;
  }
}

uint8_t MP4File::ReadUInt8() {
  uint8_t b;
  ReadBytes(&b, 1);
  return b;
}

uint16_t MP4File::ReadUInt16() {
  uint8_t b[2];
  ReadBytes(b, 2);
  return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

uint32_t MP4File::ReadUInt24() {
  uint8_t b[3];
  ReadBytes(b, 3);
  return uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2];
}

uint32_t MP4File::ReadUInt32() {
  uint8_t b[4];
  ReadBytes(b, 4);
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

uint64_t MP4File::ReadUInt64() {
  uint8_t b[8];
  ReadBytes(b, 8);
  uint64_t v = 0;
  for (uint8_t x : b) v = v << 8 | x;
  return v;
}

uint64_t MP4File::ReadUInt(uint8_t size) {
  switch (size) {
    case 1: return ReadUInt8();
    case 2: return ReadUInt16();
    case 3: return ReadUInt24();
    case 4: return ReadUInt32();
    case 8: return ReadUInt64();
  }
  MP4_ASSERT(false);
  return 0;
}

void MP4File::WriteUInt8(uint8_t value) { WriteBytes(&value, 1); }

void MP4File::WriteUInt16(uint16_t value) {
  const uint8_t b[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  WriteBytes(b, 2);
}

void MP4File::WriteUInt24(uint32_t value) {
  const uint8_t b[3] = {static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value)};
  WriteBytes(b, 3);
}

void MP4File::WriteUInt32(uint32_t value) {
  const uint8_t b[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                        static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  WriteBytes(b, 4);
}

void MP4File::WriteUInt64(uint64_t value) {
  uint8_t b[8];
  for (int i = 7; i >= 0; i--, value >>= 8) b[i] = static_cast<uint8_t>(value);
  WriteBytes(b, 8);
}

// ---------------------------------------------------------------- numbers

float MP4File::ReadFixed16() {
  const uint8_t iPart = ReadUInt8();
  const uint8_t fPart = ReadUInt8();
  return iPart + fPart * 0.00390625f;
}

float MP4File::ReadFixed32() {
  const uint16_t iPart = ReadUInt16();
  const uint16_t fPart = ReadUInt16();
  return iPart + fPart * 1.52587890625e-05f;
}

// The fixed-point forms are unsigned: negative values and NaN are written
// as 0 rather than converted with undefined results.
void MP4File::WriteFixed16(float value) {
  if (value >= 256.0f) throw MP4Error(ERANGE, "MP4WriteFixed16");
  if (!(value >= 0.0f)) value = 0.0f;
  const uint32_t iPart = static_cast<uint32_t>(value);
  const uint32_t fPart = static_cast<uint32_t>((value - iPart) * 256.0f);
  WriteUInt8(static_cast<uint8_t>(iPart));
  WriteUInt8(static_cast<uint8_t>(fPart));
}

void MP4File::WriteFixed32(float value) {
  if (value >= 65536.0f) throw MP4Error(ERANGE, "MP4WriteFixed32");
  if (!(value >= 0.0f)) value = 0.0f;
  const uint32_t iPart = static_cast<uint32_t>(value);
  const uint32_t fPart = static_cast<uint32_t>((value - iPart) * 65536.0f);
  WriteUInt16(static_cast<uint16_t>(iPart));
  WriteUInt16(static_cast<uint16_t>(fPart));
}

float MP4File::ReadFloat() {
  const uint32_t bits = ReadUInt32();
  float f;
  memcpy(&f, &bits, 4);
  return f;
}

void MP4File::WriteFloat(float value) {
  uint32_t bits;
  memcpy(&bits, &value, 4);
  WriteUInt32(bits);
}

// ---------------------------------------------------------------- strings

char* MP4File::ReadString(uint64_t maxBytes) {
  uint32_t capacity = 64;
  CharBuffer data(static_cast<char*>(MP4Malloc(capacity)));
  uint32_t length = 0;
  for (;;) {
    if (length >= maxBytes) throw MP4Error("atom is too small", "Atom ReadProperties");
    if (length == capacity) {
      if (capacity > UINT32_MAX / 2) throw MP4Error(ENOMEM);
      capacity *= 2;
      data.reset(static_cast<char*>(MP4Realloc(data.release(), capacity)));
    }
    ReadBytes(reinterpret_cast<uint8_t*>(data.get()) + length, 1);
    if (data.get()[length++] == '\0') break;
  }
  // The buffer holds at least the terminator, so the shrink cannot free it.
  char* p = data.release();
  return static_cast<char*>(MP4Realloc(p, length));
}

void MP4File::WriteString(const char* string) {
  if (!string) {
    WriteUInt8(0);
    return;
  }
  WriteBytes(reinterpret_cast<const uint8_t*>(string), static_cast<uint32_t>(strlen(string) + 1));
}

char* MP4File::ReadCountedString(uint8_t charSize, bool allowExpandedCount) {
  uint32_t charLength = 0;
  if (!allowExpandedCount) {
    charLength = ReadUInt8();
  } else {
    uint8_t runs = 0;
    for (;;) {
      const uint8_t b = ReadUInt8();
      charLength += b;
      if (b != 255) break;
      if (++runs == 25) {
        ReadUInt8();
        throw MP4Error(ERANGE, "Counted string too long 25 * 255");
      }
    }
  }
  const uint32_t byteLength = charLength * charSize;  // at most 6374 * 255
  // A whole zero character at either alignment: the text can be scanned
  // in 16-bit characters whatever width it was read in (a descriptor's
  // width flag may change later).
  const uint32_t terminator = 3;
  CharBuffer data(static_cast<char*>(MP4Malloc(uint64_t(byteLength) + terminator)));
  ReadBytes(reinterpret_cast<uint8_t*>(data.get()), byteLength);
  memset(data.get() + byteLength, 0, terminator);
  return data.release();
}

void MP4File::WriteCountedString(const char* string, uint8_t charSize, bool allowExpandedCount) {
  if (!string) {
    WriteUInt8(0);
    return;
  }
  if (charSize == 0) charSize = 1;
  const size_t byteLength = MP4TextBytes(string, charSize);
  size_t charLength = byteLength / charSize;
  if (!allowExpandedCount) {
    if (charLength > 255)
      throw MP4Error(ERANGE, "Length is %d", "MP4WriteCountedString", static_cast<int>(charLength));
    WriteUInt8(static_cast<uint8_t>(charLength));
  } else {
    while (charLength > 254) {
      WriteUInt8(255);
      charLength -= 255;
    }
    WriteUInt8(static_cast<uint8_t>(charLength));
  }
  if (byteLength > UINT32_MAX) throw MP4Error(ERANGE, "MP4WriteCountedString");
  WriteBytes(reinterpret_cast<const uint8_t*>(string), static_cast<uint32_t>(byteLength));
}

// ---------------------------------------------------------------- bits

uint64_t MP4File::ReadBits(uint8_t numBits) {
  MP4_ASSERT(numBits > 0);
  MP4_ASSERT(numBits <= 64);
  uint64_t bits = 0;
  for (uint8_t i = 0; i < numBits; i++) {
    if (m_numReadBits == 0) {
      ReadBytes(&m_bufReadBits, 1);
      m_numReadBits = 8;
    }
    m_numReadBits--;
    bits = bits << 1 | ((m_bufReadBits >> m_numReadBits) & 1);
  }
  return bits;
}

void MP4File::FlushReadBits() { m_numReadBits = 0; }

void MP4File::WriteBits(uint64_t bits, uint8_t numBits) {
  MP4_ASSERT(numBits <= 64);
  for (int i = numBits - 1; i >= 0; i--) {
    m_numWriteBits++;
    m_bufWriteBits |= static_cast<uint8_t>(((bits >> i) & 1) << (8 - m_numWriteBits));
    if (m_numWriteBits == 8) FlushWriteBits();
  }
}

void MP4File::PadWriteBits(uint8_t pad) {
  if (m_numWriteBits) WriteBits(pad ? 0xFF : 0x00, static_cast<uint8_t>(8 - m_numWriteBits));
}

void MP4File::FlushWriteBits() {
  if (m_numWriteBits == 0) return;
  WriteBytes(&m_bufWriteBits, 1);
  m_numWriteBits = 0;
  m_bufWriteBits = 0;
}

// ---------------------------------------------------------------- descriptor lengths

uint32_t MP4File::ReadMpegLength() {
  uint32_t length = 0;
  uint8_t numBytes = 0;
  uint8_t b;
  do {
    b = ReadUInt8();
    length = length << 7 | (b & 0x7F);
    numBytes++;
  } while ((b & 0x80) && numBytes < 4);
  return length;
}

void MP4File::WriteMpegLength(uint32_t length, bool compact) {
  if (length > 0x0FFFFFFF) throw MP4Error(ERANGE, "MP4WriteMpegLength");
  int numBytes = 4;
  if (compact) {
    numBytes = length <= 0x7F ? 1 : length <= 0x3FFF ? 2 : length <= 0x1FFFFF ? 3 : 4;
  }
  for (int k = numBytes - 1; k >= 1; k--) WriteUInt8(static_cast<uint8_t>(((length >> (7 * k)) & 0x7F) | 0x80));
  WriteUInt8(static_cast<uint8_t>(length & 0x7F));
}

// ---------------------------------------------------------------- memory buffer

void MP4File::EnableMemoryBuffer(uint8_t* pBytes, uint64_t numBytes) {
  MP4_ASSERT_AS(m_memoryBuffer == nullptr, "(m_memoryBuffer == __null)");
  if (pBytes) {
    m_memoryBuffer = pBytes;
    m_memoryBufferSize = numBytes;
    m_memoryBufferOwned = false;
  } else {
    const uint64_t size = numBytes ? numBytes : 4096;
    m_memoryBuffer = static_cast<uint8_t*>(MP4Malloc(size));
    m_memoryBufferSize = size;
    m_memoryBufferOwned = true;
  }
  m_memoryBufferPosition = 0;
}

void MP4File::DisableMemoryBuffer(uint8_t** ppBytes, uint64_t* pNumBytes) {
  MP4_ASSERT_AS(m_memoryBuffer != nullptr, "(m_memoryBuffer != __null)");
  if (ppBytes) *ppBytes = m_memoryBuffer;
  if (pNumBytes) *pNumBytes = m_memoryBufferPosition;
  m_memoryBuffer = nullptr;
  m_memoryBufferSize = 0;
  m_memoryBufferPosition = 0;
  m_memoryBufferOwned = false;
}
