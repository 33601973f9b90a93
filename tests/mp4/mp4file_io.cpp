// Byte primitives of MP4File: one sample of every primitive written and read
// back through each source (a file, a caller's Virtual_IO table, the memory
// buffer), compared with bytes written here by hand; then the edges and
// failures of each primitive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mp4array.h"
#include "mp4file.h"
#include "mp4test.h"
#include "testutil.h"

namespace {

using Bytes = std::vector<uint8_t>;

using mp4test::Thrown;

void ExpectError(const MP4Error& e, int err, const char* message, const char* where) {
  EXPECT_EQ(e.errnoValue, err);
  if (message)
    EXPECT_STREQ(e.message, message);
  else
    EXPECT_EQ(e.message, nullptr);
  if (where)
    EXPECT_STREQ(e.where, where);
  else
    EXPECT_EQ(e.where, nullptr);
}

const std::string kLong(300, 'c');

void WriteSample(MP4File& f) {
  f.WriteUInt8(0xA5);
  f.WriteUInt16(0x1234);
  f.WriteUInt24(0xFF123456);  // the top byte is not written
  f.WriteUInt32(0xDEADBEEF);
  f.WriteUInt64(0x0102030405060708ull);
  f.WriteFixed16(1.5f);
  f.WriteFixed32(1.5f);
  f.WriteFloat(1.0f);
  f.WriteString("ab");
  f.WriteString(nullptr);
  f.WriteCountedString("xyz");
  f.WriteCountedString(kLong.c_str(), 1, true);
  f.WriteBits(0x5, 3);    // 101
  f.WriteBits(0x1F3, 9);  // 1 1111 0011
  f.WriteBits(0xF, 4);    // 1111
  f.WriteBits(1, 1);
  f.PadWriteBits(1);
  f.WriteMpegLength(0x7F, true);
  f.WriteMpegLength(128, true);
  f.WriteMpegLength(0x4000, true);
  f.WriteMpegLength(0x200000, true);
  f.WriteMpegLength(5, false);
}

Bytes SampleBytes() {
  Bytes b = {0xA5,                                            // u8
             0x12, 0x34,                                      // u16
             0x12, 0x34, 0x56,                                // u24
             0xDE, 0xAD, 0xBE, 0xEF,                          // u32
             0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // u64
             0x01, 0x80,                                      // 8.8: 1 + 128/256
             0x00, 0x01, 0x80, 0x00,                          // 16.16
             0x3F, 0x80, 0x00, 0x00,                          // IEEE 1.0
             'a', 'b', 0x00, 0x00,                            // two strings
             0x03, 'x', 'y', 'z',                             // counted
             0xFF, 0x2D};                                     // 255 + 45 = 300
  mp4test::Append(b, kLong);
  const Bytes tail = {0xBF, 0x3F,              // 1011 1111 0011 1111
                      0xFF,                    // 1 then ones
                      0x7F,                    // lengths, compact
                      0x81, 0x00,
                      0x81, 0x80, 0x00,
                      0x81, 0x80, 0x80, 0x00,
                      0x80, 0x80, 0x80, 0x05};  // the fixed four-byte form
  mp4test::Append(b, tail);
  return b;
}

void CheckSample(MP4File& f) {
  EXPECT_EQ(f.ReadUInt8(), 0xA5);
  EXPECT_EQ(f.ReadUInt16(), 0x1234);
  EXPECT_EQ(f.ReadUInt24(), 0x123456u);
  EXPECT_EQ(f.ReadUInt(4), 0xDEADBEEFu);
  EXPECT_EQ(f.ReadUInt64(), 0x0102030405060708ull);
  EXPECT_EQ(f.ReadFixed16(), 1.5f);
  EXPECT_EQ(f.ReadFixed32(), 1.5f);
  EXPECT_EQ(f.ReadFloat(), 1.0f);
  std::unique_ptr<char, decltype(&free)> s(f.ReadString(), free);
  EXPECT_STREQ(s.get(), "ab");
  s.reset(f.ReadString());
  EXPECT_STREQ(s.get(), "");
  s.reset(f.ReadCountedString());
  EXPECT_STREQ(s.get(), "xyz");
  s.reset(f.ReadCountedString(1, true));
  EXPECT_EQ(std::string(s.get()), kLong);
  EXPECT_EQ(f.ReadBits(3), 5u);
  EXPECT_EQ(f.ReadBits(9), 0x1F3u);
  EXPECT_EQ(f.ReadBits(4), 0xFu);
  EXPECT_EQ(f.ReadBits(8), 0xFFu);
  EXPECT_EQ(f.ReadMpegLength(), 0x7Fu);
  EXPECT_EQ(f.ReadMpegLength(), 128u);
  EXPECT_EQ(f.ReadMpegLength(), 0x4000u);
  EXPECT_EQ(f.ReadMpegLength(), 0x200000u);
  EXPECT_EQ(f.ReadMpegLength(), 5u);
  EXPECT_EQ(f.GetPosition(), SampleBytes().size());
}

TEST(MP4FileIO, EveryPrimitiveRoundTripsThroughTheMemoryBuffer) {
  MP4File w;
  w.EnableMemoryBuffer();
  WriteSample(w);
  uint8_t* buf = nullptr;
  uint64_t n = 0;
  w.DisableMemoryBuffer(&buf, &n);
  std::unique_ptr<uint8_t, decltype(&free)> owned(buf, free);
  ASSERT_EQ(Bytes(buf, buf + n), SampleBytes());

  MP4File r;
  r.EnableMemoryBuffer(buf, n);
  CheckSample(r);
  ExpectError(Thrown([&] { r.ReadUInt8(); }), 0, "not enough bytes, reached end-of-memory",
              "MP4ReadBytes");
  r.DisableMemoryBuffer();
}

TEST(MP4FileIO, EveryPrimitiveRoundTripsThroughACallersVirtualIO) {
  Virtual_IO io = mp4test::MemFileIO();
  mp4test::MemFile mem;
  {
    MP4File w;
    w.Attach("memory", 'w', &mem, &io);
    WriteSample(w);
    EXPECT_EQ(w.GetSize(), SampleBytes().size());
  }
  EXPECT_TRUE(mem.closed);
  ASSERT_EQ(mem.data, SampleBytes());

  mem.pos = 0;
  MP4File r;
  r.Attach("memory", 'r', &mem, &io);
  EXPECT_EQ(r.GetSize(), SampleBytes().size());
  CheckSample(r);
  ExpectError(Thrown([&] { r.ReadUInt32(); }), 0, "not enough bytes, reached end-of-file",
              "MP4ReadBytes");
}

TEST(MP4FileIO, EveryPrimitiveRoundTripsThroughAFile) {
  const std::string path = tu::scratch("sample.bin");
  {
    MP4File w;
    w.Attach(path.c_str(), 'w');
    w.Open("wb");
    WriteSample(w);
  }
  ASSERT_EQ(tu::read_file(path), SampleBytes());
  MP4File r;
  r.Attach(path.c_str(), 'r');
  r.Open("rb");
  EXPECT_EQ(r.GetSize(), SampleBytes().size());
  CheckSample(r);
  ExpectError(Thrown([&] { r.ReadUInt16(); }), 0, "not enough bytes, reached end-of-file",
              "MP4ReadBytes");

  // An explicit stream bypasses the handle: the track reader's sample files.
  FILE* other = fopen(path.c_str(), "rb");
  ASSERT_NE(other, nullptr);
  uint8_t b[3];
  r.SetPosition(2, other);
  r.ReadBytes(b, 3, other);
  EXPECT_EQ(Bytes(b, b + 3), (Bytes{0x34, 0x12, 0x34}));
  EXPECT_EQ(r.GetPosition(other), 5u);
  fseeko(other, 0, SEEK_END);
  ExpectError(Thrown([&] { r.ReadBytes(b, 1, other); }), 0,
              "not enough bytes, reached end-of-file", "MP4ReadBytes");
  fclose(other);

  MP4File missing;
  missing.Attach((path + ".none").c_str(), 'r');
  ExpectError(Thrown([&] { missing.Open("rb"); }), ENOENT, "failed", "MP4Open");
}

// The buffered table of files opened for reading: reads of every size at
// positions in order, backwards and across the buffer's edges give the
// file's bytes; a read past the end comes short and reports the end.
TEST(MP4FileIO, ReadingTableGivesTheFilesBytesAtAnyPosition) {
  const std::string path = tu::scratch("reading-table.bin");
  Bytes content(3 * 1024 * 1024 + 1234);
  uint32_t x = 12345;
  for (uint8_t& b : content) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
  tu::write_file(path, content);
  void* h = FILE_OpenForReading(path.c_str());
  ASSERT_NE(h, nullptr);
  const Virtual_IO& io = FILE_read_virtual_IO;
  EXPECT_EQ(io.GetFileLength(h), content.size());
  struct Read {
    uint64_t at, n;
  };
  const uint64_t size = content.size();
  const Read reads[] = {{0, 8},          {8, 100000},       {100008, 200000},  {262140, 8},  {5, 3},
                        {300000, 131071}, {300000, 131072},  {500000, 700000},  {1, 1},       {2097150, 4},
                        {size - 10, 10},  {1048575, 2000000}, {262144, 262144}, {7, 1048576}};
  for (const Read& r : reads) {
    Bytes got(r.n);
    ASSERT_EQ(io.SetPosition(h, r.at), 0);
    ASSERT_EQ(io.Read(h, got.data(), r.n), r.n) << r.at << " " << r.n;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), content.begin() + r.at)) << r.at << " " << r.n;
    uint64_t pos = 0;
    ASSERT_EQ(io.GetPosition(h, &pos), 0);
    EXPECT_EQ(pos, r.at + r.n);
    EXPECT_FALSE(io.EndOfFile(h));
  }
  Bytes got(600000);
  for (const uint64_t n : {uint64_t(20), uint64_t(600000)}) {
    ASSERT_EQ(io.SetPosition(h, size - 5), 0);
    EXPECT_EQ(io.Read(h, got.data(), n), 5u);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 5, content.end() - 5));
    EXPECT_TRUE(io.EndOfFile(h));
  }
  ASSERT_EQ(io.SetPosition(h, size + 100), 0);
  EXPECT_FALSE(io.EndOfFile(h));
  EXPECT_EQ(io.Read(h, got.data(), 1), 0u);
  EXPECT_TRUE(io.EndOfFile(h));
  EXPECT_NE(io.SetPosition(h, uint64_t(1) << 63), 0);
  EXPECT_EQ(io.Write(h, got.data(), 1), 0u);
  EXPECT_EQ(io.Close(h), 0);
  errno = 0;
  EXPECT_EQ(FILE_OpenForReading((path + ".none").c_str()), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

TEST(MP4FileIO, NumbersAndStrings) {
  MP4File f;
  EXPECT_NO_THROW(f.ReadBytes(nullptr, 0));
  ExpectError(Thrown([&] { f.ReadUInt8(); }), 0, "assert failure", "(m_pFile)");
  ExpectError(Thrown([&] { f.ReadUInt(5); }), 0, "assert failure", "(false)");

  f.EnableMemoryBuffer();
  ExpectError(Thrown([&] { f.WriteFixed16(256.0f); }), ERANGE, nullptr, "MP4WriteFixed16");
  ExpectError(Thrown([&] { f.WriteFixed32(65536.0f); }), ERANGE, nullptr, "MP4WriteFixed32");
  EXPECT_EQ(f.GetPosition(), 0u);
  const std::string s255(255, 'q');
  f.WriteCountedString(s255.c_str(), 1, true);
  EXPECT_EQ(f.GetPosition(), 2u + 255);
  ExpectError(Thrown([&] { f.WriteCountedString(std::string(256, 'q').c_str()); }), ERANGE,
              "Length is 256", "MP4WriteCountedString");
  ExpectError(Thrown([&] { f.WriteMpegLength(0x10000000); }), ERANGE, nullptr, "MP4WriteMpegLength");
  uint8_t* buf;
  uint64_t n;
  f.DisableMemoryBuffer(&buf, &n);
  EXPECT_EQ(n, 257u);
  EXPECT_EQ(buf[0], 255);
  EXPECT_EQ(buf[1], 0);
  free(buf);

  Bytes in = {0xFF, 0x00};  // 255 + 0 characters
  in.resize(2 + 255, 'r');
  f.EnableMemoryBuffer(in.data(), in.size());
  std::unique_ptr<char, decltype(&free)> str(f.ReadCountedString(1, true), free);
  EXPECT_EQ(strlen(str.get()), 255u);
  f.DisableMemoryBuffer();
  in = Bytes(1, 0xFF);
  in.resize(256, 'z');
  f.EnableMemoryBuffer(in.data(), in.size());
  str.reset(f.ReadCountedString(1, false));
  EXPECT_EQ(strlen(str.get()), 255u);
  f.DisableMemoryBuffer();

  // Unicode text: n characters are 2n bytes, with one zero byte after them.
  in = {0x02, 0x00, 'h', 0x00, 'i'};
  f.EnableMemoryBuffer(in.data(), in.size());
  str.reset(f.ReadCountedString(2, false));
  EXPECT_EQ(memcmp(str.get(), "\0h\0i\0", 5), 0);
  f.DisableMemoryBuffer();

  in = {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x80, 0x80, 0x00, 0x81, 0x80, 0x80, 0x80, 0x01};
  f.EnableMemoryBuffer(in.data(), in.size());
  EXPECT_EQ(f.ReadMpegLength(), 129u);
  EXPECT_EQ(f.ReadMpegLength(), 0x0FFFFFFFu);
  EXPECT_EQ(f.GetPosition(), 6u);
  EXPECT_EQ(f.ReadMpegLength(), 1u << 21);
  // A fourth byte with its top bit set still ends the length.
  EXPECT_EQ(f.ReadMpegLength(), 1u << 21);
  EXPECT_EQ(f.GetPosition(), 14u);
  f.DisableMemoryBuffer();
}

TEST(MP4FileIO, HostileStrings) {
  MP4File f;
  // 26 count bytes of 255: the 26th is consumed, then the read fails.
  Bytes in(30, 0xFF);
  f.EnableMemoryBuffer(in.data(), in.size());
  ExpectError(Thrown([&] { f.ReadCountedString(1, true); }), ERANGE, nullptr,
              "Counted string too long 25 * 255");
  EXPECT_EQ(f.GetPosition(), 26u);
  f.DisableMemoryBuffer();
  // 24 runs of 255 and 254: the longest counted string.
  in = Bytes(24, 0xFF);
  in.push_back(254);
  in.resize(in.size() + 6374, 'w');
  f.EnableMemoryBuffer(in.data(), in.size());
  std::unique_ptr<char, decltype(&free)> str(f.ReadCountedString(1, true), free);
  EXPECT_EQ(strlen(str.get()), 6374u);
  f.DisableMemoryBuffer();

  // No terminator before the end of the data.
  in = {'a', 'b', 'c'};
  f.EnableMemoryBuffer(in.data(), in.size());
  ExpectError(Thrown([&] { f.ReadString(); }), 0, "not enough bytes, reached end-of-memory",
              "MP4ReadBytes");
  f.DisableMemoryBuffer();
  // Nor before the end of the atom that holds it.
  in = {'a', 'b', 'c', 'd', 0};
  f.EnableMemoryBuffer(in.data(), in.size());
  ExpectError(Thrown([&] { f.ReadString(3); }), 0, "atom is too small", "Atom ReadProperties");
  f.SetPosition(0);
  str.reset(f.ReadString(5));
  EXPECT_STREQ(str.get(), "abcd");
  f.DisableMemoryBuffer();
  // A string longer than the first buffers grows geometrically.
  in = Bytes(1000, 'L');
  in.push_back(0);
  f.EnableMemoryBuffer(in.data(), in.size());
  str.reset(f.ReadString());
  EXPECT_EQ(strlen(str.get()), 1000u);
  f.DisableMemoryBuffer();
}

TEST(MP4FileIO, Bits) {
  MP4File f;
  Bytes in = {0xA5, 0x0F};
  f.EnableMemoryBuffer(in.data(), in.size());
  EXPECT_EQ(f.ReadBits(3), 5u);
  EXPECT_EQ(f.ReadBits(5), 5u);
  testing::internal::CaptureStderr();
  EXPECT_EQ(f.ReadUInt8(), 0x0F);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  f.SetPosition(0);
  EXPECT_EQ(f.ReadBits(3), 5u);
  testing::internal::CaptureStderr();
  EXPECT_EQ(f.ReadUInt8(), 0x0F);  // the next whole byte
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning (m_numReadBits > 0) in mp4file_io at line 95\n");
  f.FlushReadBits();
  ExpectError(Thrown([&] { f.ReadBits(0); }), 0, "assert failure", "(numBits > 0)");
  ExpectError(Thrown([&] { f.ReadBits(65); }), 0, "assert failure", "(numBits <= 64)");
  f.DisableMemoryBuffer();

  f.EnableMemoryBuffer();
  f.WriteBits(1, 1);
  ExpectError(Thrown([&] { f.WriteUInt8(0); }), 0, "assert failure",
              "(m_numWriteBits == 0 || m_numWriteBits >= 8)");
  f.PadWriteBits(0);
  f.PadWriteBits(1);  // at a byte boundary: nothing
  f.WriteBits(0x123456789ABCDEF0ull, 64);
  f.WriteBits(0, 0);
  ExpectError(Thrown([&] { f.WriteBits(0, 65); }), 0, "assert failure", "(numBits <= 64)");
  uint8_t* buf;
  uint64_t n;
  f.DisableMemoryBuffer(&buf, &n);
  EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0x80, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}));
  free(buf);
}

TEST(MP4FileIO, MemoryBuffer) {
  MP4File f;
  ExpectError(Thrown([&] { f.DisableMemoryBuffer(); }), 0, "assert failure",
              "(m_memoryBuffer != __null)");
  f.EnableMemoryBuffer();
  ExpectError(Thrown([&] { f.EnableMemoryBuffer(); }), 0, "assert failure",
              "(m_memoryBuffer == __null)");
  f.SetPosition(4096);  // the end of the default 4096 bytes
  ExpectError(Thrown([&] { f.SetPosition(4097); }), 0, "position out of range", "MP4SetPosition");
  f.SetPosition(0);
  const uint8_t seven[7] = {1, 2, 3, 4, 5, 6, 7};
  f.WriteBytes(seven, 7);
  uint8_t* buf;
  uint64_t n;
  f.DisableMemoryBuffer(&buf, &n);
  EXPECT_EQ(n, 7u);
  free(buf);

  // Capacity 16: a write of 10 bytes at 10 grows it to (16 + 10) * 2.
  f.EnableMemoryBuffer(nullptr, 16);
  f.SetPosition(16);
  ExpectError(Thrown([&] { f.SetPosition(17); }), 0, "position out of range", "MP4SetPosition");
  f.SetPosition(10);
  const uint8_t ten[10] = {};
  f.WriteBytes(ten, 10);
  f.SetPosition(52);
  ExpectError(Thrown([&] { f.SetPosition(53); }), 0, "position out of range", "MP4SetPosition");
  f.DisableMemoryBuffer(&buf, &n);
  EXPECT_EQ(n, 52u);
  free(buf);

  // Growth beyond a 32-bit size is refused before anything is touched.
  uint8_t small[4] = {};
  f.EnableMemoryBuffer(small, 0x80000000ull);
  f.SetPosition(0x80000000ull);
  ExpectError(Thrown([&] { f.WriteUInt8(1); }), ENOMEM, nullptr, nullptr);
  f.DisableMemoryBuffer();

  // A file that is destroyed while it holds its own buffer frees it (the
  // leak check of the sanitizer build watches this).
  MP4File g;
  g.EnableMemoryBuffer();
  g.WriteUInt32(1);
}

TEST(MP4FileIO, FailingVirtualIO) {
  Virtual_IO io = mp4test::MemFileIO();
  io.GetPosition = [](void*, uint64_t*) -> int { return -1; };
  io.Write = [](void*, void*, uint64_t) -> uint64_t { return 0; };
  mp4test::MemFile mem;
  mem.data = {1, 2, 3};
  MP4File f;
  f.Attach("memory", 'r', &mem, &io);
  ExpectError(Thrown([&] { f.GetPosition(); }), 0, "getting position via Virtual I/O",
              "MP4GetPosition");
  ExpectError(Thrown([&] { f.SetPosition(4); }), 0, "setting position via Virtual I/O",
              "MP4SetPosition");
  ExpectError(Thrown([&] { f.WriteUInt8(1); }), 0, "error writing bytes via virtual I/O",
              "MP4WriteBytes");
  uint8_t b[2];
  ExpectError(Thrown([&] { f.PeekBytes(b, 2); }), 0, "getting position via Virtual I/O",
              "MP4GetPosition");
}

TEST(MP4FileIO, PeekLeavesThePosition) {
  Bytes in = {9, 8, 7};
  MP4File f;
  f.EnableMemoryBuffer(in.data(), in.size());
  uint8_t b[2];
  f.PeekBytes(b, 2);
  EXPECT_EQ(b[1], 8);
  EXPECT_EQ(f.GetPosition(), 0u);
  f.DisableMemoryBuffer();
}

}  // namespace
