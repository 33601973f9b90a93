// Allocation wrappers and arrays: growth, index errors, and the refusal of
// byte sizes beyond 32 bits with the array left as it was.
#include <gtest/gtest.h>

#include <cerrno>

#include "mp4array.h"
#include "mp4test.h"

namespace {

using mp4test::Thrown;

TEST(MP4Array, GrowsByDoublingAndChecksIndices) {
  MP4Integer32Array a;
  MP4Error e = Thrown([&] { (void)a[0]; });
  EXPECT_EQ(e.errnoValue, ERANGE);
  EXPECT_STREQ(e.message, "index 0 of 0");
  EXPECT_STREQ(e.where, "MP4Array::[]");

  a.Add(10);
  EXPECT_EQ(a.Maximum(), 2u);
  a.Add(20);
  a.Add(30);
  EXPECT_EQ(a.Maximum(), 4u);
  a.Insert(5, 0);
  a.Insert(40, 4);  // at the count: appends
  EXPECT_EQ(a.Size(), 5u);
  for (uint32_t i = 0; i < 5; i++) EXPECT_EQ(a[i], (std::vector<uint32_t>{5, 10, 20, 30, 40}[i]));
  e = Thrown([&] { a.Insert(1, 6); });
  EXPECT_STREQ(e.where, "MP4Array::Insert");
  EXPECT_EQ(a.Size(), 5u);

  a.Delete(4);
  a.Delete(0);
  EXPECT_EQ(a.Size(), 3u);
  EXPECT_EQ(a[0], 10u);
  EXPECT_EQ(a.Maximum(), 8u);
  e = Thrown([&] { a.Delete(3); });
  EXPECT_STREQ(e.where, "MP4Array::Delete");
  EXPECT_EQ(Thrown([&] { MP4Integer8Array empty; empty.Delete(0); }).errnoValue, ERANGE);

  a.Resize(2);
  EXPECT_EQ(a.Size(), 2u);
  EXPECT_EQ(a.Maximum(), 2u);
  EXPECT_EQ(a[1], 20u);
  EXPECT_FALSE(a.ValidIndex(2));
}

TEST(MP4Array, NewElementsAreZero) {
  MP4Integer64Array a;
  a.Add(7);
  a.Resize(5);
  for (uint32_t i = 1; i < 5; i++) EXPECT_EQ(a[i], 0u);
  MP4StringArray s;
  s.Resize(3);
  for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(s[i], nullptr);
}

TEST(MP4Array, ByteSizesBeyond32BitsAreRefusedAndChangeNothing) {
  MP4Integer64Array a;
  a.Add(1);
  a.Add(2);
  // 2^29 elements of 8 bytes are 2^32 bytes: one more than a 32-bit size.
  MP4Error e = Thrown([&] { a.Resize(1u << 29); });
  EXPECT_EQ(e.errnoValue, ENOMEM);
  EXPECT_EQ(e.message, nullptr);
  EXPECT_EQ(e.where, nullptr);
  EXPECT_EQ(a.Size(), 2u);
  EXPECT_EQ(a.Maximum(), 2u);
  EXPECT_EQ(a[1], 2u);
  EXPECT_EQ(Thrown([&] { MP4Integer32Array b; b.Resize(0x40000001); }).errnoValue, ENOMEM);
  EXPECT_EQ(Thrown([&] { MP4Integer32Array b; b.Resize(0xFFFFFFFF); }).errnoValue, ENOMEM);
}

TEST(MP4Array, AllocationWrappers) {
  EXPECT_EQ(MP4Malloc(0), nullptr);
  EXPECT_EQ(MP4Calloc(0), nullptr);
  EXPECT_EQ(MP4Realloc(nullptr, 0), nullptr);
  void* p = MP4Malloc(10);
  EXPECT_EQ(MP4Realloc(p, 0), nullptr);  // released
  uint8_t* z = static_cast<uint8_t*>(MP4Calloc(8));
  for (int i = 0; i < 8; i++) EXPECT_EQ(z[i], 0);
  MP4Free(z);
  MP4Free(nullptr);
}

}  // namespace
