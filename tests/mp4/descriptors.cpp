// Descriptors and descriptor lists: the flag-dependent fields of each class,
// the byte forms written, lists that end at their atom, and bodies whose
// lengths disagree with their data.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contentinfo.h"
#include "descriptors.h"

namespace {

using namespace mp4test;

// An ES descriptor: ESID 1, no flags, a decoder configuration (MPEG-4
// visual, stream type 4, reserved 1, buffer 0x000100, rates 1000 and 500)
// with two bytes of specific information, and a predefined SL configuration.
const Bytes kDecConfig =
    Descr(0x04, Cat({Bytes{0x20, 0x11, 0x00, 0x01, 0x00}, BE(1000, 4), BE(500, 4),
                     Descr(0x05, Bytes{0xAA, 0xBB})}));
const Bytes kES = Descr(0x03, Cat({BE(1, 2), Bytes{0x00}, kDecConfig, Descr(0x06, Bytes{0x02})}));

// Reads one list of the given range from bytes in a memory buffer.
struct ListReader {
  MP4File file;
  Bytes bytes;
  MP4DescriptorProperty list;
  ListReader(const Bytes& b, uint8_t first, uint8_t last = 0)
      : bytes(b), list(nullptr, first, last, true, true) {}
  std::string Read() {
    file.EnableMemoryBuffer(bytes.data(), bytes.size());
    std::string result;
    try {
      list.Read(&file);
    } catch (const MP4Error& e) {
      result = std::string(e.where ? e.where : "") + ": " + (e.message ? e.message : "");
    }
    position = file.GetPosition();
    file.DisableMemoryBuffer();
    return result;
  }
  uint64_t Value(const char* path) {
    MP4Property* p = nullptr;
    uint32_t index = 0;
    if (!list.FindProperty(path, &p, &index) || p->GetType() > Integer64Property) return 0xDEAD;
    return static_cast<MP4IntegerProperty*>(p)->GetValue(index);
  }
  uint64_t position = 0;
};

TEST(Descriptors, ESDescriptorReadsAndWritesBack) {
  ListReader r(kES, 0x03);
  ASSERT_EQ(r.Read(), "");
  EXPECT_EQ(r.position, kES.size());
  EXPECT_EQ(r.Value("ESID"), 1u);
  EXPECT_EQ(r.Value("decConfigDescr.objectTypeId"), 0x20u);
  EXPECT_EQ(r.Value("decConfigDescr.streamType"), 4u);
  EXPECT_EQ(r.Value("decConfigDescr.bufferSizeDB"), 0x100u);
  EXPECT_EQ(r.Value("decConfigDescr.maxBitrate"), 1000u);
  EXPECT_EQ(r.Value("slConfigDescr.predefined"), 2u);
  MP4Property* p = nullptr;
  ASSERT_TRUE(r.list.FindProperty("decConfigDescr[0].decSpecificInfo[0].info", &p));
  EXPECT_EQ(static_cast<MP4BytesProperty*>(p)->GetValueSize(), 2u);
  EXPECT_FALSE(r.list.FindProperty("decConfigDescr[1].objectTypeId", &p));
  EXPECT_EQ(DescriptorBytes(r.list.GetDescriptor(0)), kES);
}

TEST(Descriptors, ESFlagsSelectTheirFields) {
  // dependsOnESID, a counted URL and OCRESID, in this order.
  const Bytes es = Descr(0x03, Cat({BE(7, 2), Bytes{0xE0}, BE(9, 2), Bytes{2, 'u', 'r'}, BE(11, 2),
                                    kDecConfig}));
  ListReader r(es, 0x03);
  ASSERT_EQ(r.Read(), "");
  EXPECT_EQ(r.Value("dependsOnESID"), 9u);
  EXPECT_EQ(r.Value("OCRESID"), 11u);
  EXPECT_EQ(r.Value("decConfigDescr.objectTypeId"), 0x20u);
  EXPECT_EQ(DescriptorBytes(r.list.GetDescriptor(0)), es);
}

TEST(Descriptors, ObjectDescriptorsAndURLs) {
  // URLFlag 1: the URL, then only the extension list.
  const Bytes iod = Descr(0x10, Cat({Bytes{0x00, 0x6F, 3, 'a', 'b', 'c'}, Descr(0x80, Bytes{1})}));
  ListReader r(iod, 0x10, 0x11);
  ASSERT_EQ(r.Read(), "");
  EXPECT_EQ(r.Value("objectDescriptorId"), 1u);
  EXPECT_EQ(r.Value("visualProfileLevelId"), 0u);
  MP4Property* p = nullptr;
  ASSERT_TRUE(r.list.FindProperty("extDescr.data", &p));
  EXPECT_EQ(DescriptorBytes(r.list.GetDescriptor(0)), iod);

  // A generated IOD: id 1, both flags 0, reserved 0xF, five profiles 0xFF.
  MP4DescriptorProperty list(nullptr, 0x10, 0x11, true, true);
  list.Generate();
  EXPECT_EQ(DescriptorBytes(list.GetDescriptor(0)),
            (Bytes{0x10, 0x80, 0x80, 0x80, 0x07, 0x00, 0x4F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  // A generated ES carries a decoder configuration and a predefined SL one.
  MP4DescriptorProperty esList(nullptr, 0x03, 0, true, true);
  esList.Generate();
  EXPECT_EQ(DescriptorBytes(esList.GetDescriptor(0)),
            Descr(0x03, Cat({Bytes{0, 0, 0}, Descr(0x04, Cat({Bytes{0x00, 0x01}, Bytes(11, 0)})),
                             Descr(0x06, Bytes{0x02})})));
}

TEST(Descriptors, SLConfigurations) {
  struct Case {
    Bytes body;
    size_t consumed;
    uint64_t startDecodingTimeStamp;
  } cases[] = {
      {Bytes{0x02}, 1, 0},
      // Predefined 1: 32-bit time stamps follow.
      {Cat({Bytes{0x01}, BE(0x11111111, 4), BE(0x22222222, 4)}), 9, 0x11111111},
      // Predefined 0, no time stamps used but a length of 0: none.
      {Cat({Bytes{0x00, 0x00}, BE(0, 4), BE(0, 4), Bytes{0, 0, 0, 0}, Bytes{0, 0}}), 16, 0},
      // A length of 100 reads 64-bit time stamps.
      {Cat({Bytes{0x00, 0x00}, BE(0, 4), BE(0, 4), Bytes{100, 0, 0, 0}, Bytes{0, 0},
            BE(0x0102030405060708ull, 8), BE(9, 8)}),
       32, 0x0102030405060708ull},
  };
  for (const Case& c : cases) {
    ListReader r(Descr(0x06, c.body), 0x06);
    ASSERT_EQ(r.Read(), "");
    EXPECT_EQ(r.position, 5 + c.consumed);
    EXPECT_EQ(r.Value("startDecodingTimeStamp"), c.startDecodingTimeStamp);
  }
  // Time stamps of 3 bits end inside a byte: its other bits are dropped, so
  // the next descriptor's bit fields start on a byte boundary.
  const Bytes sl = Descr(0x06, Cat({Bytes{0x00, 0x00}, BE(0, 4), BE(0, 4), Bytes{3, 0, 0, 0},
                                    Bytes{0, 0}, Bytes{0xB4}}));  // 101 101 00
  const Bytes es = Descr(0x03, Cat({BE(1, 2), Bytes{0x00}, kDecConfig, sl,
                                    Descr(0x09, BE(0x4242, 2))}));
  ListReader r(es, 0x03);
  testing::internal::CaptureStderr();
  ASSERT_EQ(r.Read(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(r.Value("slConfigDescr.startDecodingTimeStamp"), 5u);
  EXPECT_EQ(r.Value("slConfigDescr.startCompositionTimeStamp"), 5u);
  EXPECT_EQ(r.Value("ipiPtr.IPIESId"), 0x4242u);
}

TEST(Descriptors, ContentIdentification) {
  // contentIdFlag 1, contentTypeFlag 0, body 10: an 8-byte identifier.
  ListReader r(Descr(0x07, Cat({Bytes{0x10, 0x05}, Bytes(8, 0x77)})), 0x07, 0x08);
  ASSERT_EQ(r.Read(), "");
  MP4Property* p = nullptr;
  ASSERT_TRUE(r.list.FindProperty("contentId", &p));
  EXPECT_EQ(static_cast<MP4BytesProperty*>(p)->GetValueSize(), 8u);
  // A body too short for its head is an overrun, not a 4 GB identifier.
  ListReader s(Descr(0x07, Bytes{0x30}), 0x07, 0x08);
  EXPECT_EQ(s.Read(), "MP4Descriptor::ReadProperties: overran descriptor");
  // Incompatible: the body is passed over and the list goes on after it.
  ListReader t(Cat({Descr(0x07, Bytes{0xC0, 1, 2, 3}), Descr(0x08, Cat({Bytes{'e', 'n', 'g'},
                                                                        Bytes{1, 'T', 1, 'V'}}))}),
               0x07, 0x08);
  ASSERT_EQ(t.Read(), "");
  EXPECT_EQ(t.list.GetCount(), 2u);
  ASSERT_TRUE(t.list.FindProperty("title", &p));
  EXPECT_STREQ(static_cast<MP4StringProperty*>(p)->GetValue(), "T");
}

TEST(Descriptors, LengthsThatDisagreeWithTheData) {
  // Length 0 with fixed fields: the first is read, the second overruns.
  ListReader z(Cat({Bytes{0x03, 0x00}, Bytes(8, 0)}), 0x03);
  EXPECT_EQ(z.Read(), "MP4Descriptor::ReadProperties: overran descriptor");
  // A byte string whose body is shorter than its fixed head.
  ListReader h(Descr(0x0D, Bytes{1, 2}), 0x0D);
  EXPECT_EQ(h.Read(), "MP4Descriptor::ReadProperties: overran descriptor");
  // A length beyond the data keeps what the data holds.
  ListReader l(Cat({Bytes{0x05, 0xFF, 0xFF, 0xFF, 0x7F}, Bytes{1, 2, 3}}), 0x05);
  ASSERT_EQ(l.Read(), "");
  MP4Property* p = nullptr;
  ASSERT_TRUE(l.list.FindProperty("info", &p));
  EXPECT_EQ(static_cast<MP4BytesProperty*>(p)->GetValueSize(), 3u);
  // An empty specific information.
  ListReader e(Descr(0x05, {}), 0x05);
  ASSERT_EQ(e.Read(), "");
  // A tag in range for which the factory has no class.
  ListReader u(Bytes{0x12, 0x00}, 0x10, 0x13);
  EXPECT_EQ(u.Read(), "(pDescriptor): assert failure");
  // A tag outside the range ends the list without being consumed.
  ListReader o(Bytes{0x04, 0x00}, 0x03);
  ASSERT_EQ(o.Read(), "");
  EXPECT_EQ(o.position, 0u);
}

TEST(Descriptors, ListsEndAtTheirAtom) {
  // The bytes after "esds" begin with 0x03, a tag its list accepts: a box
  // whose size is too large for the file and is cut to it.
  const Bytes esds = FullBox("esds", 0, 0, kES);
  const Bytes sibling = Cat({Bytes{0x03, 0x00, 0x00, 0x10}, Bytes{'f', 'r', 'e', 'e'}, Bytes(8, 0)});
  const Bytes ftyp = Box("ftyp", Bytes(8, 0));
  TreeReader r(Cat({ftyp, esds, sibling}));
  ASSERT_EQ(r.Read(), "");
  ASSERT_EQ(r.Root()->GetNumberOfChildAtoms(), 3u);
  MP4Atom* a = r.Root()->GetChildAtom(1);
  EXPECT_EQ(static_cast<MP4DescriptorProperty*>(a->GetProperty(2))->GetCount(), 1u);
  EXPECT_STREQ(r.Root()->GetChildAtom(2)->GetType(), "free");
  MP4Property* p = nullptr;
  ASSERT_TRUE(r.Root()->FindProperty("esds.decConfigDescr.objectTypeId", &p));
  EXPECT_EQ(static_cast<MP4IntegerProperty*>(p)->GetValue(), 0x20u);
  // Descriptor lengths of 0 and 0x0FFFFFFF inside the atom.
  for (const Bytes& es : {Cat({Bytes{0x03, 0x00}, Bytes(3, 0)}),
                          Cat({Bytes{0x03, 0xFF, 0xFF, 0xFF, 0x7F}, BE(1, 2), Bytes{0}, kDecConfig})}) {
    TreeReader t(Cat({ftyp, FullBox("esds", 0, 0, es), Box("free", Bytes(4, 0))}));
    const std::string result = t.Read();
    EXPECT_TRUE(result == "" || result == "MP4Descriptor::ReadProperties: overran descriptor") << result;
  }
}

TEST(Descriptors, EmptySlotsAndExactBuffers) {
  MP4DescriptorProperty list("decConfigDescr", 0x04);
  list.AddDescriptor(0x04);
  list.SetCount(3);  // two slots without a descriptor
  MP4Property* p = nullptr;
  EXPECT_FALSE(list.FindProperty("decConfigDescr[2].objectTypeId", &p));
  EXPECT_TRUE(list.FindProperty("decConfigDescr.objectTypeId", &p));
  MP4File f;
  f.EnableMemoryBuffer();
  list.Write(&f);
  uint8_t* buf;
  uint64_t n;
  f.DisableMemoryBuffer(&buf, &n);
  EXPECT_EQ(n, 18u);
  free(buf);
  EXPECT_EQ(Capture([&](FILE* s) { list.Dump(s, 0, false); }).substr(0, 16), " decConfigDescr\n");
  list.DeleteDescriptor(2);
  EXPECT_EQ(list.GetCount(), 2u);

  // A descriptor that fills the 4096-byte buffer exactly seeks back to its end.
  MP4BytesDescriptor big(0x80);
  static_cast<MP4BytesProperty*>(big.GetProperty(0))->SetValue(Bytes(4096 - 5, 1).data(), 4096 - 5);
  EXPECT_EQ(DescriptorBytes(&big).size(), 4096u);
}

}  // namespace
