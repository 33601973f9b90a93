// Views of an input in place (InputView) and pieces of it (InputPiece): the
// bytes at every kind of position and size against the bytes written, the
// end of the file, memory inputs and files that cannot be mapped, and a file
// that shrinks while a view of it is held.
#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>
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
      EXPECT_EQ(InputViewHeld(fd, c.offset + 40 * kMB, 1), nullptr);
    }
    // Read views hold a block: the bytes just behind one are held too.
    size_t got = 0;
    const unsigned char* q = InputView(fd, 8 * kMB, 10, &got);
    ASSERT_NE(q, nullptr);
    if (reading) {
      EXPECT_EQ(InputViewHeld(fd, 8 * kMB + 10, kInputViewBlock - 10), q + 10);
    }
    // Of more than it holds, a view gives the first bytes when asked for a
    // part: a block read, or the rest of the stretch mapped from 0 to 16 MB
    // (for the view of 0 bytes at 0 above).
    const size_t beyond = 20 * kMB;
    EXPECT_EQ(InputViewHeld(fd, 8 * kMB, beyond), nullptr);
    size_t part = 0;
    EXPECT_EQ(InputViewHeld(fd, 8 * kMB, beyond, &part), q);
    EXPECT_EQ(part, reading ? kInputViewBlock : 8 * kMB);
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

TEST_F(InputViewTest, PiecesGiveTheFilesBytesAndReadOnlyOutsideThemselves) {
  const u64 size = 3 * kMB + 77;
  const int fd = open_file("pieces", size);
  ASSERT_GE(fd, 0);
  struct Case {
    u64 offset;
    size_t n, got;
    bool read;  // a new read was due
  };
  const Case cases[] = {
      {100, 4, 4, true},
      {104, 1000, 1000, false},  // inside the first read's 4 KB
      {100 + 4090, 10, 10, true},  // across its end
      {2 * kMB, InputPiece::kMax, InputPiece::kMax, true},
      {2 * kMB + 5, 100, 100, false},
      {kMB, 1, 1, true},  // backwards
      {size - 3, 10, 3, true},
      {size, 1, 0, true},
  };
  auto piece = std::make_unique<InputPiece>();
  for (const Case& c : cases) {
    SCOPED_TRACE("offset " + std::to_string(c.offset) + ", " + std::to_string(c.n) + " bytes");
    const bool held = piece->held(c.offset, c.n) != nullptr;
    EXPECT_EQ(held, !c.read);
    size_t got = 99;
    const unsigned char* q = piece->get(fd, c.offset, c.n, &got);
    ASSERT_NE(q, nullptr);
    ASSERT_EQ(got, c.got);
    EXPECT_EQ(wrong_bytes(q, c.offset, got), 0u);
  }
  size_t got = 0;
  EXPECT_EQ(piece->get(fd, 0, InputPiece::kMax + 1, &got), nullptr);
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
