// Views of an input (InputView), mapped and read: the bytes at every kind of
// position and size against the bytes written, the blocks and pieces that
// read views take, the end of the file, memory inputs and files that cannot
// be mapped, and a file that shrinks while a view of it is held.
#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "decode.h"

namespace {

constexpr u64 kMB = u64(1) << 20;

// Byte i of the test files: no period that a wrong offset could hide in.
uint8_t pattern(u64 i) { return uint8_t((i * 2654435761u) >> 13 ^ i >> 20); }

std::string write_file(const char* tag, u64 size) {
  const std::string path = testing::TempDir() + "input_view_" + tag;
  FILE* f = fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr);
  std::vector<uint8_t> block(kMB);
  for (u64 at = 0; at < size; at += block.size()) {
    const size_t n = size - at < block.size() ? size_t(size - at) : block.size();
    for (size_t i = 0; i < n; ++i) block[i] = pattern(at + i);
    EXPECT_EQ(fwrite(block.data(), 1, n, f), n);
  }
  fclose(f);
  return path;
}

// Bytes of q that differ from the file's at offset.
size_t wrong_bytes(const unsigned char* q, u64 offset, size_t n) {
  size_t wrong = 0;
  for (size_t i = 0; i < n; ++i) wrong += q[i] != pattern(offset + i);
  return wrong;
}

class InputViewTest : public testing::Test {
 protected:
  // A test file of size bytes, open for reading.
  int open_file(const char* tag, u64 size) {
    path_ = write_file(tag, size);
    const int fd = open(path_.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    return fd;
  }
  void TearDown() override {
    InputViewRelease();
    if (!path_.empty()) remove(path_.c_str());
  }
  std::string path_;
};

TEST_F(InputViewTest, GivesTheFilesBytesAtAnyPosition) {
  const u64 size = 40 * kMB + 123;
  const int fd = open_file("bytes", size);
  ASSERT_GE(fd, 0);
  struct Case {
    u64 offset;
    size_t n, got;
  };
  const Case cases[] = {
      {0, 1, 1},
      {5, 4096, 4096},
      {kMB - 3, 7, 7},                          // across a boundary of the mapping's alignment
      {16 * kMB - 10, 20, 20},                  // across the end of a mapped stretch
      {3 * kMB, 16, 16},                        // backwards, into an earlier stretch
      {17 * kMB - 1, kInputViewMax, kInputViewMax},  // the largest view, off the alignment
      {31 * kMB + 5, 65536, 65536},
      {size - 5, 100, 5},                       // the end of the file
      {size - 1, 1, 1},
      {size, 10, 0},
      {size + 4096, 10, 0},
      {0, 0, 0},
  };
  for (const bool reading : {false, true}) {
    InputViewByReading(reading);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(reading ? "read" : "mapped") + ", offset " + std::to_string(c.offset) + ", " +
                   std::to_string(c.n) + " bytes");
      size_t got = 99;
      const unsigned char* q = InputView(fd, c.offset, c.n, &got);
      ASSERT_NE(q, nullptr);
      ASSERT_EQ(got, c.got);
      EXPECT_EQ(wrong_bytes(q, c.offset, got), 0u);
      // What the view holds now is found without a read, and nothing else.
      if (got) {
        EXPECT_EQ(InputViewHeld(fd, c.offset, got), q);
      }
      // Read views keep the last reads, from anywhere in the file: 12 MB is
      // a stretch that none of them looks at.
      EXPECT_EQ(InputViewHeld(fd, reading ? 12 * kMB : c.offset + 40 * kMB, 1), nullptr);
    }
    // Of more than it holds, a view gives the first bytes when asked for a
    // part: a piece read (far from the view before), or the rest of the
    // stretch mapped from 0 to 16 MB (for the view of 0 bytes at 0 above).
    size_t got = 0;
    const unsigned char* q = InputView(fd, 8 * kMB, 10, &got);
    ASSERT_NE(q, nullptr);
    const size_t beyond = 20 * kMB;
    EXPECT_EQ(InputViewHeld(fd, 8 * kMB, beyond), nullptr);
    size_t part = 0;
    EXPECT_EQ(InputViewHeld(fd, 8 * kMB, beyond, &part), q);
    EXPECT_EQ(part, reading ? kInputViewPiece : 8 * kMB);
  }
  InputViewByReading(false);
  size_t got = 0;
  errno = 0;
  EXPECT_EQ(InputView(fd, 0, kInputViewMax + 1, &got), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(InputViewFailed());
  InputViewRelease();
  close(fd);
}

// Read views: views close together read blocks, views far apart pieces,
// and two streams of views a little apart (the Matroska library ahead of the
// adapter) read each byte once.
TEST_F(InputViewTest, ReadViewsTakeBlocksWhereViewsLieCloseAndPiecesElsewhere) {
  const u64 size = 24 * kMB + 77;
  const int fd = open_file("blocks", size);
  ASSERT_GE(fd, 0);
  InputViewByReading(true);
  constexpr u64 K = 1024;
  // The view of n bytes at offset, checked against the file; whether it
  // read (the views before did not hold its bytes), and what it holds from
  // offset on afterwards.
  size_t reads = 0;
  auto view = [&](u64 offset, size_t n) -> size_t {
    if (!InputViewHeld(fd, offset, n)) ++reads;
    size_t got = 0;
    const unsigned char* q = InputView(fd, offset, n, &got);
    EXPECT_NE(q, nullptr);
    EXPECT_EQ(got, n);
    if (!q) return 0;
    EXPECT_EQ(wrong_bytes(q, offset, got), 0u) << offset;
    size_t part = 0;
    EXPECT_EQ(InputViewHeld(fd, offset, size, &part), q);
    return part;
  };

  // The first view, and views far apart: a piece each.
  for (u64 at = kMB; at < 4 * kMB; at += 256 * K) {
    reads = 0;
    EXPECT_EQ(view(at, 16), kInputViewPiece) << at;
    EXPECT_EQ(reads, 1u);
  }
  EXPECT_EQ(view(6 * kMB, 100 * K), 100 * K);  // more than a piece: what was asked for

  // Views 8 KB apart: pieces at first, then blocks, each a read for 32
  // views.
  u64 at = 8 * kMB;
  for (int i = 0; i < 40; ++i, at += 8 * K) view(at, 16);
  reads = 0;
  for (u64 end = at + 4 * kMB; at < end; at += 8 * K) view(at, 16);
  EXPECT_LE(reads, 4 * kMB / kInputViewBlock + 1);

  // Views 64 KB apart after those: pieces again, after a few views.
  for (int i = 0; i < 40; ++i, at += 64 * K) view(at, 16);
  reads = 0;
  EXPECT_EQ(view(at, 16), kInputViewPiece);
  EXPECT_EQ(reads, 1u);

  // Two streams 24 KB apart, the one behind looking at what the one ahead
  // saw, 12 KB a step: every byte read once, in blocks.
  at = 16 * kMB;
  for (int i = 0; i < 40; ++i, at += 12 * K) view(at + 24 * K, 16), view(at, 16);
  reads = 0;
  const u64 from = at + 24 * K;
  for (; at < from + 4 * kMB; at += 12 * K) view(at + 24 * K, 16), view(at, 16);
  EXPECT_LE(reads, (at + 24 * K - from) / kInputViewBlock + 1);

  // Views of a frame's first 2 KB 9000 bytes apart, each after a look at
  // the end of the frame that follows, as the Matroska library looks ahead:
  // each byte read once, and no view across the end of a block read again.
  at = 20 * kMB + 5;
  for (int i = 0; i < 40; ++i, at += 9000) view(at + 17999, 1), view(at, 2048);
  reads = 0;
  const u64 start = at;
  for (; at < start + 2 * kMB; at += 9000) view(at + 17999, 1), view(at, 2048);
  EXPECT_LE(reads, (at + 18000 - start) / (kInputViewBlock - kInputViewPiece) + 1);

  // Back to the start, as a seek does: the views lie as close as before.
  // A jump to the end of the file: a piece.
  EXPECT_EQ(view(0, 16), kInputViewBlock);
  EXPECT_EQ(view(size - 100, 10), 100u);
  InputViewByReading(false);
  close(fd);
}

TEST_F(InputViewTest, MemoryInputsAndUnmappableFiles) {
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = pattern(i);
  SetMemoryInput("<view test>", data.data(), data.size());
  const int mem = InputOpen("<view test>");
  ASSERT_LT(mem, -1);
  size_t got = 0;
  const unsigned char* q = InputView(mem, 990, 20, &got);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(got, 10u);
  EXPECT_EQ(q, data.data() + 990);
  InputClose(mem);
  SetMemoryInput(nullptr, nullptr, 0);

  // A device is read, not mapped.
  const int zero = open("/dev/zero", O_RDONLY);
  ASSERT_GE(zero, 0);
  q = InputView(zero, 12345, 300, &got);
  ASSERT_NE(q, nullptr);
  ASSERT_EQ(got, 300u);
  for (size_t i = 0; i < got; ++i) ASSERT_EQ(q[i], 0);
  close(zero);

  // A pipe has no positions: a failure, not bytes.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  EXPECT_EQ(InputView(ends[0], 0, 10, &got), nullptr);
  EXPECT_EQ(got, 0u);
  close(ends[0]);
  close(ends[1]);
}

TEST_F(InputViewTest, AFileThatShrinksUnderAViewReadsAsZerosAndIsReported) {
  const u64 size = 4 * kMB;
  const int fd = open_file("shrinks", size);
  ASSERT_GE(fd, 0);
  size_t got = 0;
  const unsigned char* q = InputView(fd, 0, 16, &got);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q[3], pattern(3));
  ASSERT_EQ(truncate(path_.c_str(), 4096), 0);

  // Still inside the stretch mapped before: no new look at the file.
  q = InputView(fd, 2 * kMB, 64, &got);
  ASSERT_NE(q, nullptr);
  ASSERT_EQ(got, 64u);
  unsigned sum = 0;
  for (size_t i = 0; i < got; ++i) sum += q[i];
  EXPECT_EQ(sum, 0u);
  EXPECT_TRUE(InputViewFailed());
  EXPECT_FALSE(InputViewFailed());  // reported once

  // A fresh look sees the file as it is now.
  InputViewRelease();
  q = InputView(fd, 2 * kMB, 64, &got);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(got, 0u);
  q = InputView(fd, 4000, 200, &got);
  ASSERT_NE(q, nullptr);
  ASSERT_EQ(got, 96u);
  EXPECT_EQ(q[0], pattern(4000));
  EXPECT_FALSE(InputViewFailed());
  close(fd);
}

}  // namespace
