// The open MP4 file: its I/O handle and byte primitives, its verbosity and
// mode, and the atom tree read from it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "mp4util.h"
#include "virtual_io.h"

class MP4Atom;

class MP4File {
 public:
  explicit MP4File(uint32_t verbosity = 0);
  // Closes the handle, deletes the atom tree, frees a memory buffer still
  // held: whatever a failed open left behind.
  ~MP4File();
  MP4File(const MP4File&) = delete;
  MP4File& operator=(const MP4File&) = delete;

  // ---- opening (the parts that the byte primitives and the tree need)

  // Opens m_fileName with the stdio mode text and installs FILE_virtual_IO;
  // in mode 'r' the file size is taken from the table.
  void Open(const char* mode);
  // The common step of every open: copies the name, sets the mode and, when
  // a handle is given, takes it and its table (and, in mode 'r', its
  // length). A NULL handle leaves the file to Open.
  void Attach(const char* fileName, char mode, void* handle = nullptr,
              Virtual_IO* virtualIO = nullptr);
  // Reads the whole atom tree from position 0 under a new root atom, which
  // spans the file.
  void ReadFromFile();
  MP4Atom* GetRootAtom() const { return m_pRootAtom; }

  const char* GetFilename() const { return m_fileName; }
  char GetMode() const { return m_mode; }
  uint32_t GetVerbosity() const { return m_verbosity; }
  void SetVerbosity(uint32_t verbosity) { m_verbosity = verbosity; }

  // 64-bit data atoms ("mdat", "stbl": bit 0) and 64-bit times ("mvhd",
  // "tkhd", "mdhd": bit 1) of m_createFlags.
  bool Use64Bits(const char* atomType) const;
  void Check64BitStatus(const char* atomType);
  uint32_t GetCreateFlags() const { return m_createFlags; }

  // ---- byte primitives; a NULL stream selects the current source (the
  // memory buffer while it is on, else the handle through its table).

  uint64_t GetPosition(FILE* pFile = nullptr);
  void SetPosition(uint64_t pos, FILE* pFile = nullptr);
  uint64_t GetSize();
  // Bytes between the position and the end of the current source (memory
  // buffer or file size); what a length read from the file is checked
  // against before it sizes an allocation.
  uint64_t GetRemainingBytes();

  void ReadBytes(uint8_t* pBytes, uint32_t numBytes, FILE* pFile = nullptr);
  void PeekBytes(uint8_t* pBytes, uint32_t numBytes, FILE* pFile = nullptr);
  void WriteBytes(const uint8_t* pBytes, uint32_t numBytes, FILE* pFile = nullptr);

  uint8_t ReadUInt8();
  uint16_t ReadUInt16();
  uint32_t ReadUInt24();
  uint32_t ReadUInt32();
  uint64_t ReadUInt64();
  uint64_t ReadUInt(uint8_t size);
  void WriteUInt8(uint8_t value);
  void WriteUInt16(uint16_t value);
  void WriteUInt24(uint32_t value);
  void WriteUInt32(uint32_t value);
  void WriteUInt64(uint64_t value);

  float ReadFixed16();
  void WriteFixed16(float value);
  float ReadFixed32();
  void WriteFixed32(float value);
  float ReadFloat();
  void WriteFloat(float value);

  // Results are malloc'ed and belong to the caller. ReadString stops at
  // maxBytes without a terminator with "atom is too small": the caller
  // passes the bytes left in the atom that holds the string.
  char* ReadString(uint64_t maxBytes = UINT64_MAX);
  void WriteString(const char* string);
  char* ReadCountedString(uint8_t charSize = 1, bool allowExpandedCount = false);
  void WriteCountedString(const char* string, uint8_t charSize = 1,
                          bool allowExpandedCount = false);

  uint64_t ReadBits(uint8_t numBits);
  void FlushReadBits();
  void WriteBits(uint64_t bits, uint8_t numBits);
  void PadWriteBits(uint8_t pad = 0);
  void FlushWriteBits();

  uint32_t ReadMpegLength();
  void WriteMpegLength(uint32_t length, bool compact = false);

  bool IsMemoryBufferEnabled() const { return m_memoryBuffer != nullptr; }
  void EnableMemoryBuffer(uint8_t* pBytes = nullptr, uint64_t numBytes = 0);
  void DisableMemoryBuffer(uint8_t** ppBytes = nullptr, uint64_t* pNumBytes = nullptr);

 private:
  char* m_fileName = nullptr;
  void* m_pFile = nullptr;
  Virtual_IO* m_virtual_IO = nullptr;
  uint64_t m_orgFileSize = 0;
  uint64_t m_fileSize = 0;
  MP4Atom* m_pRootAtom = nullptr;
  uint32_t m_verbosity;
  char m_mode = 0;
  uint32_t m_createFlags = 0;

  uint8_t* m_memoryBuffer = nullptr;
  uint64_t m_memoryBufferPosition = 0;
  uint64_t m_memoryBufferSize = 0;
  // The buffer was allocated here (or grown by a write) rather than lent by
  // the caller: only then may the destructor free one still held.
  bool m_memoryBufferOwned = false;

  uint8_t m_numReadBits = 0;
  uint8_t m_bufReadBits = 0;
  uint8_t m_numWriteBits = 0;
  uint8_t m_bufWriteBits = 0;
};
