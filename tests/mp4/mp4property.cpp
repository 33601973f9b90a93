// Properties: one field of every kind written and read back through each
// source and compared with bytes written here; then the edges of each kind,
// table lookups, dumps, and counts and sizes from hostile data.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mp4file.h"
#include "mp4property.h"
#include "mp4test.h"
#include "testutil.h"

namespace {

using Bytes = std::vector<uint8_t>;
using mp4test::Capture;

using mp4test::Thrown;

// The fields of one imaginary record, in file order, owned by the list.
struct Record {
  std::vector<std::unique_ptr<MP4Property>> fields;
  template <typename P>
  P* Add(P* p) {
    fields.emplace_back(p);
    return p;
  }
  MP4Integer8Property* u8 = Add(new MP4Integer8Property("u8"));
  MP4Integer16Property* u16 = Add(new MP4Integer16Property("u16"));
  MP4Integer24Property* u24 = Add(new MP4Integer24Property("u24"));
  MP4Integer32Property* u32 = Add(new MP4Integer32Property("u32"));
  MP4Integer64Property* u64 = Add(new MP4Integer64Property("u64"));
  MP4BitfieldProperty* b3 = Add(new MP4BitfieldProperty("b3", 3));
  MP4BitfieldProperty* b13 = Add(new MP4BitfieldProperty("b13", 13));
  MP4Float32Property* f88 = Add(new MP4Float32Property("f88"));
  MP4Float32Property* f1616 = Add(new MP4Float32Property("f1616"));
  MP4Float32Property* ieee = Add(new MP4Float32Property("ieee"));
  MP4StringProperty* nul = Add(new MP4StringProperty("nul"));
  MP4StringProperty* counted = Add(new MP4StringProperty("counted", true));
  MP4StringProperty* expanded = Add(new MP4StringProperty("expanded", true));
  MP4StringProperty* fixed = Add(new MP4StringProperty("fixed"));
  MP4BytesProperty* bytes = Add(new MP4BytesProperty("bytes", 5));
  MP4Integer32Property* entryCount = Add(new MP4Integer32Property("entryCount"));
  MP4TableProperty* entries = Add(new MP4TableProperty("entries", entryCount));
  MP4Integer32Property* sampleCount = Add(new MP4Integer32Property("sampleCount"));
  MP4HalfSizeTableProperty* half = Add(new MP4HalfSizeTableProperty("half", sampleCount));

  Record() {
    f88->SetFixed16Format();
    f1616->SetFixed32Format();
    expanded->SetExpandedCountFormat();
    fixed->SetFixedLength(4);
    entries->AddProperty(new MP4Integer32Property("sampleCount"));
    entries->AddProperty(new MP4Integer16Property("sampleDelta"));
    half->AddProperty(new MP4Integer8Property("entrySize"));
  }
  void Write(MP4File& f) {
    for (auto& p : fields) p->Write(&f);
  }
  void Read(MP4File& f) {
    for (auto& p : fields) p->Read(&f);
  }
};

const std::string kLong(256, 'e');

void Fill(Record& r) {
  static_cast<MP4IntegerProperty*>(r.u8)->SetValue(0x1FF);  // stored as 0xFF
  r.u16->SetValue(0xBEEF);
  r.u24->SetValue(0x1234567);
  r.u32->SetValue(0xCAFEF00D);
  r.u64->SetValue(0x1122334455667788ull);
  r.b3->SetValue(6);
  r.b13->SetValue(0x1ABC);
  r.f88->SetValue(2.25f);
  r.f1616->SetValue(320.5f);
  r.ieee->SetValue(-2.0f);
  r.nul->SetValue("nul");
  r.counted->SetValue("cnt");
  r.expanded->SetValue(kLong.c_str());
  r.fixed->SetValue("sixsix");  // cut to four characters
  const uint8_t five[5] = {1, 2, 3, 4, 5};
  r.bytes->SetValue(five, 5);
  r.entryCount->IncrementValue(2, 0);  // a read-only count is raised this way
  for (uint32_t row = 0; row < 2; row++) {
    static_cast<MP4Integer32Property*>(r.entries->GetProperty(0))->AddValue(10 + row);
    static_cast<MP4Integer16Property*>(r.entries->GetProperty(1))->AddValue(static_cast<uint16_t>(20 + row));
  }
  r.sampleCount->IncrementValue(3, 0);  // three 4-bit sizes: two bytes
  static_cast<MP4Integer8Property*>(r.half->GetProperty(0))->AddValue(0x12);
  static_cast<MP4Integer8Property*>(r.half->GetProperty(0))->AddValue(0x30);
}

Bytes RecordBytes() {
  Bytes b = {0xFF,                                            // u8
             0xBE, 0xEF,                                      // u16
             0x23, 0x45, 0x67,                                // u24: the low 24 bits
             0xCA, 0xFE, 0xF0, 0x0D,                          // u32
             0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,  // u64
             0xDA, 0xBC,                                      // 110 1 1010 1011 1100
             0x02, 0x40,                                      // 8.8 2.25
             0x01, 0x40, 0x80, 0x00,                          // 16.16 320.5
             0xC0, 0x00, 0x00, 0x00,                          // IEEE -2.0
             'n', 'u', 'l', 0,
             3, 'c', 'n', 't',
             0xFF, 0x01};                                     // 255 + 1
  mp4test::Append(b, kLong);
  const Bytes tail = {'s', 'i', 'x', 's',                 // fixed length 4
                      1, 2, 3, 4, 5,                      // bytes
                      0, 0, 0, 2,                         // entryCount
                      0, 0, 0, 10, 0, 20,                 // row 0
                      0, 0, 0, 11, 0, 21,                 // row 1
                      0, 0, 0, 3,                         // sampleCount (entries)
                      0x12, 0x30};                        // two bytes of 4-bit sizes
  mp4test::Append(b, tail);
  return b;
}

void CheckRecord(Record& r) {
  EXPECT_EQ(r.u8->GetValue(), 0xFF);
  EXPECT_EQ(r.u16->GetValue(), 0xBEEF);
  EXPECT_EQ(r.u24->GetValue(), 0x234567u);
  EXPECT_EQ(r.u32->GetValue(), 0xCAFEF00Du);
  EXPECT_EQ(r.u64->GetValue(), 0x1122334455667788ull);
  EXPECT_EQ(r.b3->GetValue(), 6u);
  EXPECT_EQ(r.b13->GetValue(), 0x1ABCu);
  EXPECT_EQ(r.f88->GetValue(), 2.25f);
  EXPECT_EQ(r.f1616->GetValue(), 320.5f);
  EXPECT_EQ(r.ieee->GetValue(), -2.0f);
  EXPECT_STREQ(r.nul->GetValue(), "nul");
  EXPECT_STREQ(r.counted->GetValue(), "cnt");
  EXPECT_EQ(std::string(r.expanded->GetValue()), kLong);
  EXPECT_STREQ(r.fixed->GetValue(), "sixs");
  EXPECT_EQ(r.bytes->GetValueSize(), 5u);
  EXPECT_EQ(Bytes(r.bytes->GetValuePointer(), r.bytes->GetValuePointer() + 5), (Bytes{1, 2, 3, 4, 5}));
  ASSERT_EQ(r.entries->GetCount(), 2u);
  auto* col0 = static_cast<MP4Integer32Property*>(r.entries->GetProperty(0));
  auto* col1 = static_cast<MP4Integer16Property*>(r.entries->GetProperty(1));
  EXPECT_EQ(col0->GetCount(), 2u);
  EXPECT_EQ(col0->GetValue(1), 11u);
  EXPECT_EQ(col1->GetValue(0), 20u);
  ASSERT_EQ(r.half->GetCount(), 2u);
  EXPECT_EQ(static_cast<MP4Integer8Property*>(r.half->GetProperty(0))->GetValue(1), 0x30);
}

TEST(MP4Property, EveryKindRoundTripsThroughEachSource) {
  Record w;
  Fill(w);

  // Memory buffer.
  MP4File m;
  m.EnableMemoryBuffer();
  w.Write(m);
  uint8_t* buf;
  uint64_t n;
  m.DisableMemoryBuffer(&buf, &n);
  std::unique_ptr<uint8_t, decltype(&free)> owned(buf, free);
  ASSERT_EQ(Bytes(buf, buf + n), RecordBytes());
  Record rm;
  m.EnableMemoryBuffer(buf, n);
  rm.Read(m);
  EXPECT_EQ(m.GetPosition(), n);
  m.DisableMemoryBuffer();
  CheckRecord(rm);

  // A caller's Virtual_IO table.
  Virtual_IO io = mp4test::MemFileIO();
  mp4test::MemFile mem;
  {
    MP4File f;
    f.Attach("memory", 'w', &mem, &io);
    w.Write(f);
  }
  EXPECT_EQ(mem.data, RecordBytes());
  mem.pos = 0;
  Record rv;
  {
    MP4File f;
    f.Attach("memory", 'r', &mem, &io);
    rv.Read(f);
  }
  CheckRecord(rv);

  // A file.
  const std::string path = tu::scratch("record.bin");
  {
    MP4File f;
    f.Attach(path.c_str(), 'w');
    f.Open("wb");
    w.Write(f);
  }
  EXPECT_EQ(tu::read_file(path), RecordBytes());
  Record rf;
  MP4File f;
  f.Attach(path.c_str(), 'r');
  f.Open("rb");
  rf.Read(f);
  CheckRecord(rf);
}

TEST(MP4Property, ScalarEdges) {
  MP4Integer32Property i32("timeScale");
  EXPECT_EQ(i32.GetCount(), 1u);
  EXPECT_EQ(i32.GetValue(), 0u);
  MP4Property* found = nullptr;
  EXPECT_TRUE(i32.FindProperty("TimeScale", &found));
  EXPECT_EQ(found, &i32);
  EXPECT_FALSE(i32.FindProperty("timeScale[0]", &found));
  i32.SetCount(0);
  MP4Error e = Thrown([&] { i32.GetValue(0); });
  EXPECT_EQ(e.errnoValue, ERANGE);
  EXPECT_STREQ(e.message, "index 0 of 0");

  MP4Integer16Property ro("ro");
  ro.SetReadOnly();
  e = Thrown([&] { ro.IncrementValue(1); });
  EXPECT_EQ(e.errnoValue, EACCES);
  EXPECT_STREQ(e.message, "property is read-only");
  EXPECT_STREQ(e.where, "ro");
  MP4IntegerProperty* generic = &ro;
  EXPECT_EQ(Thrown([&] { generic->SetValue(1); }).errnoValue, EACCES);
  generic->InsertValue(0x12345, 1);  // no read-only test; truncated to 16 bits
  EXPECT_EQ(generic->GetValue(1), 0x2345u);
  generic->DeleteValue(0);
  EXPECT_EQ(ro.GetCount(), 1u);

  EXPECT_STREQ(Thrown([&] { MP4BitfieldProperty b("b", 0); }).where, "(numBits != 0)");
  EXPECT_STREQ(Thrown([&] { MP4BitfieldProperty b("b", 65); }).where, "(numBits <= 64)");

  // An implicit field takes no bytes.
  Bytes in = {7};
  MP4File f;
  f.EnableMemoryBuffer(in.data(), in.size());
  MP4Integer32Property imp("imp");
  imp.SetImplicit();
  imp.Read(&f);
  MP4Integer8Property next("next");
  next.Read(&f);
  EXPECT_EQ(next.GetValue(), 7);
  f.DisableMemoryBuffer();
}

TEST(MP4Property, StringsAndBytesWithoutValues) {
  MP4File f;
  f.EnableMemoryBuffer();
  MP4StringProperty fixed("fixed");
  fixed.SetFixedLength(4);
  fixed.Write(&f);  // NULL: four zeros, not nothing
  fixed.SetValue("ab");
  fixed.Write(&f);
  MP4StringProperty nul("nul");
  nul.Write(&f);    // NULL: one zero byte
  MP4BytesProperty bytes("bytes", 0, 3);
  bytes.SetCount(2);  // new rows: no buffer, the default size
  bytes.Write(&f, 1);
  uint8_t* buf;
  uint64_t n;
  f.DisableMemoryBuffer(&buf, &n);
  EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0, 0, 0, 0, 'a', 'b', 0, 0, 0, 0, 0, 0}));
  free(buf);

  // Shrinking frees what is cut off (watched by the leak check).
  MP4StringProperty many("many");
  many.SetCount(3);
  many.SetValue("x", 2);
  many.SetCount(1);
  bytes.SetValue(reinterpret_cast<const uint8_t*>("zz"), 2, 1);
  bytes.SetCount(1);

  // Counted 16-bit text: n characters, 2n bytes.
  Bytes in = {2, 0, 'o', 0, 'k'};
  f.EnableMemoryBuffer(in.data(), in.size());
  MP4StringProperty uni("uni", true, true);
  uni.Read(&f);
  EXPECT_EQ(f.GetPosition(), 5u);
  const std::string dump = Capture([&](FILE* s) { uni.Dump(s, 0, false); });
  EXPECT_EQ(dump, " uni = ok\n");
  f.DisableMemoryBuffer();
}

TEST(MP4Property, FixedSizeBytes) {
  MP4BytesProperty b("matrix", 8);
  b.SetFixedSize(8);
  const uint8_t three[3] = {9, 9, 9};
  b.SetValue(three, 3);
  EXPECT_EQ(b.GetValueSize(), 8u);
  EXPECT_EQ(Bytes(b.GetValuePointer(), b.GetValuePointer() + 8), (Bytes{9, 9, 9, 0, 0, 0, 0, 0}));
  const uint8_t nine[9] = {};
  MP4Error e = Thrown([&] { b.SetValue(nine, 9); });
  EXPECT_STREQ(e.message, ".matrix value size 9 exceeds fixed value size 8");
  EXPECT_STREQ(e.where, "MP4BytesProperty::SetValue");
  e = Thrown([&] { b.SetValueSize(4); });
  EXPECT_STREQ(e.message, "can't change size of fixed sized property");
  EXPECT_STREQ(e.where, "MP4BytesProperty::SetValueSize");
  uint8_t* copy;
  uint32_t size;
  b.GetValue(&copy, &size);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(copy[2], 9);
  free(copy);
}

TEST(MP4Property, TablesAndTheirLookups) {
  MP4Integer32Property count("entryCount");
  MP4TableProperty table("entries", &count);
  EXPECT_TRUE(count.IsReadOnly());
  table.AddProperty(new MP4Integer32Property("sampleCount"));
  table.AddProperty(new MP4Integer32Property("sampleDelta"));
  EXPECT_STREQ(Thrown([&] { table.AddProperty(nullptr); }).where, "(pProperty)");
  MP4Integer32Property c2("c2");
  EXPECT_STREQ(Thrown([&] { table.AddProperty(new MP4TableProperty("t", &c2)); }).where,
               "(pProperty->GetType() != TableProperty)");
  EXPECT_EQ(Thrown([&] { table.SetCount(1); }).errnoValue, EACCES);

  Bytes in = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0, 6, 0xEE};
  MP4File f;
  f.EnableMemoryBuffer(in.data(), in.size());
  count.SetReadOnly(false);
  count.SetValue(3);
  table.Read(&f);
  EXPECT_EQ(f.GetPosition(), 24u);  // three rows of two 32-bit columns
  f.DisableMemoryBuffer();

  MP4Property* p = nullptr;
  uint32_t index = 99;
  EXPECT_TRUE(table.FindProperty("entries[2].sampleDelta", &p, &index));
  EXPECT_STREQ(p->GetName(), "sampleDelta");
  EXPECT_EQ(index, 2u);
  EXPECT_EQ(static_cast<MP4Integer32Property*>(p)->GetValue(index), 6u);
  EXPECT_FALSE(table.FindProperty("entries[3].sampleDelta", &p, &index));
  EXPECT_TRUE(table.FindProperty("entries", &p, &index));
  EXPECT_EQ(p, &table);
  EXPECT_FALSE(table.FindProperty("entries[0]", &p, &index));
  EXPECT_FALSE(table.FindProperty("other.sampleDelta", &p, &index));

  // The rows dump column by column, one level deeper.
  EXPECT_EQ(Capture([&](FILE* s) { table.Dump(s, 0, false); }),
            " sampleCount = 1 (0x00000001)\n sampleDelta = 2 (0x00000002)\n"
            " sampleCount[1] = 3 (0x00000003)\n sampleDelta[1] = 4 (0x00000004)\n"
            " sampleCount[2] = 5 (0x00000005)\n sampleDelta[2] = 6 (0x00000006)\n");

  // A column that gained a row the count does not know refuses to write.
  static_cast<MP4Integer32Property*>(table.GetProperty(0))->AddValue(7);
  f.EnableMemoryBuffer();
  testing::internal::CaptureStderr();
  MP4Error e = Thrown([&] { table.Write(&f); });
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            " entries \"sampleCount\"table entries 4 doesn't match count 3\n");
  EXPECT_STREQ(e.where, "(m_pProperties[0]->GetCount() == numEntries)");
  uint8_t* buf;
  f.DisableMemoryBuffer(&buf);
  free(buf);

  // A count of 0 reads nothing; a table without columns warns and reads nothing.
  count.SetReadOnly(false);
  count.SetValue(0);
  in = {1};
  f.EnableMemoryBuffer(in.data(), in.size());
  table.Read(&f);
  MP4TableProperty bare("bare", &c2);
  testing::internal::CaptureStderr();
  bare.Read(&f);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning (numProperties == 0) in mp4property at line 631\n");
  EXPECT_EQ(f.GetPosition(), 0u);
  f.DisableMemoryBuffer();
}

TEST(MP4Property, HalfSizeTableCountsTwoEntriesARow) {
  MP4Integer32Property count("sampleCount");
  MP4HalfSizeTableProperty half("entries", &count);
  count.SetReadOnly(false);
  half.SetCount(3);
  EXPECT_EQ(count.GetValue(), 6u);
  count.SetValue(0xFFFFFFFF);
  EXPECT_EQ(half.GetCount(), 0x80000000u);
}

TEST(MP4Property, HostileCountsAndSizesFailBeforeAllocating) {
  for (uint32_t hostile : {0x40000001u, 0xFFFFFFFFu, 4u}) {
    MP4Integer32Property count("entryCount");
    MP4TableProperty table("entries", &count);
    table.AddProperty(new MP4Integer32Property("chunkOffset"));
    Bytes in(12, 0);  // room for three rows
    MP4File f;
    f.EnableMemoryBuffer(in.data(), in.size());
    static_cast<MP4IntegerProperty&>(count).InsertValue(hostile, 0);
    MP4Error e = Thrown([&] { table.Read(&f); });
    EXPECT_STREQ(e.message, "atom is too small") << hostile;
    EXPECT_STREQ(e.where, "Atom ReadProperties");
    EXPECT_EQ(table.GetProperty(0)->GetCount(), 0u);
    f.DisableMemoryBuffer();
  }

  MP4BytesProperty bytes("data", 0xF0000000u);  // no such buffer is made
  Bytes in(16, 0);
  MP4File f;
  f.EnableMemoryBuffer(in.data(), in.size());
  MP4BytesProperty big("data");
  big.SetValueSize(0xFFFFFFF0u);
  MP4Error e = Thrown([&] { big.Read(&f); });
  EXPECT_STREQ(e.message, "not enough bytes, reached end-of-memory");
  EXPECT_EQ(f.GetPosition(), 0u);
  f.DisableMemoryBuffer();
}

TEST(MP4Property, DumpLines) {
  MP4Integer8Property i8("a");
  i8.SetValue(10);
  MP4Integer24Property i24("b");
  i24.SetValue(0x10);
  MP4Float32Property fl("c");
  fl.SetValue(1.5f);
  MP4StringProperty str("d");
  str.SetValue("txt");
  MP4Integer64Property i64("e");
  MP4BytesProperty by("f", 2);
  MP4Integer8Property hidden("g");
  hidden.SetImplicit();
  EXPECT_EQ(Capture([&](FILE* s) {
              i8.Dump(s, 0, false);
              i24.Dump(s, 2, false);
              fl.Dump(s, 1, false);
              str.Dump(s, 1, false);
              i64.Dump(s, 1, false);
              by.Dump(s, 1, false);
              hidden.Dump(s, 1, false);
            }),
            " a = 10 (0x0a)\n  b = 16 (0x000010)\n c = 1.500000\n d = txt\n f = <2 bytes> 00 00 \n");
  EXPECT_EQ(Capture([&](FILE* s) { hidden.Dump(s, 0, true); }), " g = 0 (0x00)\n");
}

}  // namespace
