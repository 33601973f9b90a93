// The content information, QoS and command descriptors and the DRM header
// box: built byte by byte, read, written back byte for byte, their fields
// against what the builder put in, commands against their hand-made bytes,
// and bodies whose lengths disagree with their data.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "contentinfo.h"
#include "descriptors.h"
#include "ocidescriptors.h"
#include "odcommands.h"
#include "qosqualifiers.h"

namespace {

using namespace mp4test;

const Bytes kFtyp = Box("ftyp", Cat({Lit("isom"), BE(0, 4)}));

MP4Descriptor* First(MP4Atom* a) {
  return static_cast<MP4DescriptorProperty*>(a->GetProperty(2))->GetDescriptor(0);
}

MP4Property* Field(MP4Descriptor* d, const char* name, uint32_t* pIndex = nullptr) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  if (!d->FindContainedProperty(name, &p, &index)) return nullptr;
  if (pIndex) *pIndex = index;
  return p;
}

uint64_t Integer(MP4Descriptor* d, const char* name) {
  uint32_t index = 0;
  MP4Property* p = Field(d, name, &index);
  return p && p->GetType() <= Integer64Property ? static_cast<MP4IntegerProperty*>(p)->GetValue(index) : 0xDEAD;
}

// The bytes of a string or byte-string field (a table row by its index).
Bytes Value(MP4Descriptor* d, const char* name, size_t size) {
  uint32_t index = 0;
  MP4Property* p = Field(d, name, &index);
  if (!p) return {};
  const uint8_t* v = p->GetType() == StringProperty
                         ? reinterpret_cast<const uint8_t*>(static_cast<MP4StringProperty*>(p)->GetValue(index))
                         : static_cast<MP4BytesProperty*>(p)->GetValuePointer(index);
  return v ? Bytes(v, v + size) : Bytes{};
}

TEST(ContentInformation, EveryOciClassReadsAndWritesBack) {
  const Bytes iods = OciIods();
  TreeReader r(Cat({kFtyp, iods}));
  ASSERT_EQ(r.Read(), "");
  MP4Atom* atom = r.Root()->GetChildAtom(1);
  EXPECT_EQ(WriteBack(r.file.get(), atom), iods);
  MP4DescriptorProperty* oci = static_cast<MP4DescriptorProperty*>(Field(First(atom), "ociDescr"));
  ASSERT_NE(oci, nullptr);
  ASSERT_EQ(oci->GetCount(), OciDescriptors().size());
  auto at = [&](uint32_t i) { return oci->GetDescriptor(i); };
  const uint8_t tags[] = {0x40, 0x41, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x5F};
  for (uint32_t i = 0; i < sizeof tags; i++) EXPECT_EQ(at(i)->GetTag(), tags[i]) << i;

  EXPECT_EQ(Integer(at(0), "classificationEntity"), 0x11223344u);
  EXPECT_EQ(Value(at(0), "contentClassificationData", 3), (Bytes{1, 2, 3}));
  EXPECT_EQ(Value(at(1), "keywords[1].string", 3), Lit("de\0"));
  EXPECT_EQ(Integer(at(1), "reserved"), 0x7Fu);
  // 16-bit text: three characters take six bytes.
  EXPECT_EQ(Value(at(2), "keywords[0].string", 8), Cat({Wide("abc"), Bytes{0, 0}}));
  EXPECT_EQ(Value(at(3), "ratingInfo", 2), (Bytes{9, 9}));
  EXPECT_EQ(Value(at(4), "languageCode", 3), Lit("fra"));
  EXPECT_EQ(Value(at(5), "eventText", 5), Lit("text\0"));
  MP4Property* nonItem = Field(at(6), "nonItemText");
  ASSERT_NE(nonItem, nullptr);
  EXPECT_EQ(strlen(static_cast<MP4StringProperty*>(nonItem)->GetValue()), 300u);
  // Each creator row has its own character width.
  EXPECT_EQ(Value(at(7), "creators[0].name", 2), Lit("A\0"));
  EXPECT_EQ(Value(at(7), "creators[1].name", 4), Cat({Wide("B"), Bytes{0, 0}}));
  EXPECT_EQ(Value(at(7), "creators[1].languageCode", 3), Lit("deu"));
  EXPECT_EQ(Integer(at(8), "contentCreationDate"), 0x0102030405u);
  EXPECT_EQ(Integer(at(11), "parameters[1].value"), 0xFFFFFFFFu);
  EXPECT_EQ(Value(at(12), "data", 2), (Bytes{0xDE, 0xAD}));

  // Dumped whole, 16-bit texts included.
  const std::string dump = Capture([&](FILE* s) { atom->Dump(s, 0, true); });
  EXPECT_NE(dump.find("string = abc"), std::string::npos) << dump;
  EXPECT_NE(dump.find("name = A\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("name[1] = B"), std::string::npos) << dump;
}

TEST(ContentInformation, TextsWhoseWidthChangesAfterReading) {
  // An 8-bit keyword of odd length written as 16-bit text: whole characters,
  // the last one padded with the terminator's zero byte.
  MP4DescriptorProperty list(nullptr, 0x40, 0x5F, false, false);
  const Bytes bytes = Descr4(0x41, Cat({Lit("eng"), Bytes{0x80, 1, 3}, Lit("abc")}));
  MP4File f;
  f.EnableMemoryBuffer(const_cast<uint8_t*>(bytes.data()), bytes.size());
  list.Read(&f);
  f.DisableMemoryBuffer();
  MP4Descriptor* keyword = list.GetDescriptor(0);
  static_cast<MP4IntegerProperty*>(Field(keyword, "isUTF8String"))->SetValue(0);
  EXPECT_EQ(DescriptorBytes(keyword), Descr4(0x41, Cat({Lit("eng"), Bytes{0x00, 1, 2}, Lit("abc\0")})));
}

TEST(ContentInformation, QosQualifiersReadAndWriteBack) {
  const Bytes esds = QosEsds();
  TreeReader r(Cat({kFtyp, esds}));
  ASSERT_EQ(r.Read(), "");
  MP4Atom* atom = r.Root()->GetChildAtom(1);
  EXPECT_EQ(WriteBack(r.file.get(), atom), esds);
  MP4Descriptor* es = First(atom);
  EXPECT_EQ(Value(es, "langDescr.languageCode", 3), Lit("eng"));
  MP4DescriptorProperty* qos = static_cast<MP4DescriptorProperty*>(Field(es, "qosDescr"));
  ASSERT_NE(qos, nullptr);
  ASSERT_EQ(qos->GetCount(), 1u);
  MP4DescriptorProperty* qualifiers = static_cast<MP4DescriptorProperty*>(Field(qos->GetDescriptor(0), "qualifiers"));
  ASSERT_NE(qualifiers, nullptr);
  ASSERT_EQ(qualifiers->GetCount(), 4u);
  EXPECT_EQ(Integer(qualifiers->GetDescriptor(0), "maxDelay"), 1000u);
  MP4Property* loss = Field(qualifiers->GetDescriptor(1), "lossProb");
  ASSERT_NE(loss, nullptr);
  EXPECT_EQ(static_cast<MP4Float32Property*>(loss)->GetValue(), 0.25f);
  EXPECT_EQ(qualifiers->GetDescriptor(2)->GetTag(), 0x10);
  EXPECT_EQ(Value(qualifiers->GetDescriptor(2), "data", 3), (Bytes{9, 8, 7}));
  EXPECT_EQ(Integer(qualifiers->GetDescriptor(3), "avgAUSize"), 512u);

  // A QoS descriptor of the predefined byte alone has no qualifiers; a
  // qualifier tag of 0 ends them.
  for (const Bytes& body : {Bytes{1}, Cat({Bytes{0}, Descr4(0x02, BE(5, 4)), Bytes{0, 0, 0}})}) {
    MP4DescriptorProperty list(nullptr, 0x0C, 0, false, true);
    MP4File f;
    const Bytes bytes = Descr4(0x0C, body);
    f.EnableMemoryBuffer(const_cast<uint8_t*>(bytes.data()), bytes.size());
    list.Read(&f);
    f.DisableMemoryBuffer();
    MP4DescriptorProperty* q = static_cast<MP4DescriptorProperty*>(Field(list.GetDescriptor(0), "qualifiers"));
    EXPECT_EQ(q->GetCount(), body.size() == 1 ? 0u : 1u);
  }
}

TEST(ContentInformation, FactoriesCoverTheirTags) {
  for (unsigned tag = 0; tag < 0x100; tag++) {
    std::unique_ptr<MP4Descriptor> oci(CreateOCIDescriptor(static_cast<uint8_t>(tag)));
    EXPECT_EQ(oci != nullptr, tag >= 0x40 && tag <= 0x5F) << tag;
    std::unique_ptr<MP4Descriptor> command(CreateODCommand(static_cast<uint8_t>(tag)));
    EXPECT_EQ(command != nullptr, tag >= 0x01 && tag <= 0x04) << tag;
    MP4QosQualifierProperty qualifiers;
    std::unique_ptr<MP4Descriptor> qualifier(qualifiers.CreateDescriptor(static_cast<uint8_t>(tag)));
    ASSERT_NE(qualifier, nullptr);
    EXPECT_EQ(qualifier->GetTag(), tag);
  }
  // The descriptor factory hands the QoS and OCI tags to their classes.
  MP4DescriptorProperty list;
  std::unique_ptr<MP4Descriptor> qos(list.CreateDescriptor(0x0C));
  EXPECT_NE(dynamic_cast<MP4QosDescriptorBase*>(qos.get()), nullptr);
  std::unique_ptr<MP4Descriptor> creator(list.CreateDescriptor(0x48));
  EXPECT_NE(dynamic_cast<MP4CreatorDescriptor*>(creator.get()), nullptr);
}

TEST(ContentInformation, CommandsWriteTheirBytes) {
  // OD remove of ids 1, 2 and 1023: 30 bits and 2 of padding.
  std::unique_ptr<MP4Descriptor> remove(CreateODCommand(0x02));
  MP4Property* ids = Field(remove.get(), "entries.objectDescriptorId");
  ASSERT_NE(ids, nullptr);
  for (uint64_t id : {1, 2, 1023}) static_cast<MP4IntegerProperty*>(ids)->AddValue(id);
  static_cast<MP4IntegerProperty*>(remove->GetProperty(0))->ForceValue(3);
  // 0000000001 0000000010 1111111111 00
  EXPECT_EQ(DescriptorBytes(remove.get()), (Bytes{0x02, 0x80, 0x80, 0x80, 0x04, 0x00, 0x40, 0x2F, 0xFC}));
  EXPECT_EQ(Thrown([&] { static_cast<MP4IntegerProperty*>(remove->GetProperty(0))->SetValue(1); }).errnoValue,
            EACCES);

  // OD update: object descriptor 10 (reserved 0x1F) referring to ES 1.
  std::unique_ptr<MP4Descriptor> update(CreateODCommand(0x01));
  update->Generate();
  MP4Descriptor* od = static_cast<MP4DescriptorProperty*>(update->GetProperty(0))->AddDescriptor(0x11);
  od->Generate();
  static_cast<MP4IntegerProperty*>(Field(od, "objectDescriptorId"))->SetValue(10);
  MP4Descriptor* ref = static_cast<MP4DescriptorProperty*>(Field(od, "esIds"))->AddDescriptor(0x0F);
  static_cast<MP4IntegerProperty*>(Field(ref, "refIndex"))->SetValue(1);
  // 0000001010 0 11111
  EXPECT_EQ(DescriptorBytes(update.get()),
            Descr4(0x01, Descr4(0x11, Cat({Bytes{0x02, 0x9F}, Descr4(0x0F, BE(1, 2))}))));

  // ES update and remove: object descriptor 5, pad, a reference to ES 3.
  for (uint8_t tag : {0x03, 0x04}) {
    std::unique_ptr<MP4Descriptor> es(CreateODCommand(tag));
    static_cast<MP4IntegerProperty*>(Field(es.get(), "objectDescriptorId"))->SetValue(5);
    MP4Descriptor* r = static_cast<MP4DescriptorProperty*>(Field(es.get(), "esIdRefs"))->AddDescriptor(0x0F);
    static_cast<MP4IntegerProperty*>(Field(r, "refIndex"))->SetValue(3);
    // 0000000101 000000
    EXPECT_EQ(DescriptorBytes(es.get()), Descr4(tag, Cat({Bytes{0x01, 0x40}, Descr4(0x0F, BE(3, 2))})));
  }
}

TEST(ContentInformation, RemoveCommandCountsWholeIds) {
  struct Case {
    Bytes body;
    uint32_t ids;
    uint64_t last;
  } cases[] = {
      {Bytes{0x00, 0x40, 0x2F, 0xFC, 0x01}, 4, 1},  // 40 bits: four ids
      {Bytes{0x00, 0x40, 0x2F, 0xFF}, 3, 1023},     // the last 2 bits are padding
      {{}, 0, 0},
  };
  for (const Case& c : cases) {
    std::unique_ptr<MP4Descriptor> remove(CreateODCommand(0x02));
    const Bytes bytes = Descr4(0x02, c.body);
    MP4File f;
    f.EnableMemoryBuffer(const_cast<uint8_t*>(bytes.data()), bytes.size());
    remove->Read(&f);
    EXPECT_EQ(f.GetPosition(), bytes.size());
    f.DisableMemoryBuffer();
    EXPECT_EQ(Integer(remove.get(), "entryCount"), c.ids);
    if (c.ids) {
      EXPECT_EQ(static_cast<MP4IntegerProperty*>(Field(remove.get(), "entries.objectDescriptorId"))->GetValue(c.ids - 1),
                c.last);
    }
  }
}

TEST(ContentInformation, BodiesShorterOrLongerThanTheirData) {
  const struct {
    const char* name;
    Bytes descriptor;
    const char* error;
    uint32_t size;  // of the byte string read
  } cases[] = {
      // A body shorter than the 6-byte head is an overrun, not a 4 GB string.
      {"classification-of-4-bytes", Descr4(0x40, Bytes{1, 2, 3, 4}),
       "MP4Descriptor::ReadProperties: overran descriptor", 0},
      {"rating-of-0-bytes", Descr4(0x42, {}), "MP4Descriptor::ReadProperties: overran descriptor", 0},
      // Lengths beyond the data keep what the data holds.
      {"rating-longer-than-data", Cat({Bytes{0x42, 0xFF, 0xFF, 0xFF, 0x7F}, BE(1, 4), BE(2, 2), Bytes{7, 7}}), "", 2},
      {"unknown-longer-than-data", Cat({Bytes{0x50, 0x81, 0x80, 0x80, 0x00}, Bytes{5, 5, 5}}), "", 3},
      // A keyword count beyond the body.
      {"keyword-count-beyond", Descr4(0x41, Cat({Lit("eng"), Bytes{0x80, 200, 1, 'a'}})), "Atom ReadProperties: atom is too small", 0},
  };
  for (const auto& c : cases) {
    MP4DescriptorProperty list(nullptr, 0x40, 0x5F, false, false);
    MP4File f;
    f.EnableMemoryBuffer(const_cast<uint8_t*>(c.descriptor.data()), c.descriptor.size());
    const MP4Error e = Thrown([&] { list.Read(&f); });
    f.DisableMemoryBuffer();
    const std::string error =
        e.where && strcmp(e.where, "nothing thrown") ? std::string(e.where) + ": " + (e.message ? e.message : "") : "";
    EXPECT_EQ(error, c.error) << c.name;
    if (*c.error) continue;
    MP4Descriptor* d = list.GetDescriptor(0);
    MP4Property* bytes = d->GetProperty(d->GetNumberOfProperties() - 1);
    ASSERT_EQ(bytes->GetType(), BytesProperty) << c.name;
    EXPECT_EQ(static_cast<MP4BytesProperty*>(bytes)->GetValueSize(), c.size) << c.name;
  }
  // Inside an atom the body is cut to the atom too.
  TreeReader r(Cat({kFtyp, FullBox("iods", 0, 0, Cat({Bytes{0x10, 0x80, 0x80, 0x80, 0x0A, 0x00, 0x4F, 1, 2, 3, 4, 5},
                                                     Bytes{0x4B, 0x8F, 0xFF, 0xFF, 0x7F, 1}})),
                   Box("free", {})}));
  ASSERT_EQ(r.Read(), "");
  MP4DescriptorProperty* oci = static_cast<MP4DescriptorProperty*>(Field(First(r.Root()->GetChildAtom(1)), "ociDescr"));
  ASSERT_NE(oci, nullptr);
  ASSERT_EQ(oci->GetCount(), 1u);
  EXPECT_EQ(Value(oci->GetDescriptor(0), "data", 1), Bytes{1});
  EXPECT_STREQ(r.Root()->GetChildAtom(2)->GetType(), "free");
}

// ---------------------------------------------------------------- the DRM header box

std::string Text(MP4Atom* a, const char* name, size_t size) {
  MP4Property* p = nullptr;
  if (!a->FindProperty(name, &p) || p->GetType() != StringProperty) return "<none>";
  const char* v = static_cast<MP4StringProperty*>(p)->GetValue();
  return v ? std::string(v, size) : "<null>";
}

TEST(DrmHeader, FieldsOfTheirLengthsReadAndWriteBack) {
  struct Case {
    const char* name;
    Bytes body;
    const char* contentId;
    uint32_t contentIdSize;
  } cases[] = {
      {"lengths-5-3-4", OhdrBody(), "a\0bcd", 5},
      // All lengths 0: 20 bytes with version and flags, texts empty.
      {"lengths-0", Cat({Bytes{1, 2}, BE(9, 8), BE(0, 6)}), "", 0},
      // A box after the fields stays this box's, not odkm's.
      {"trailing-box", Cat({OhdrBody(), Box("free", Bytes{1})}), "a\0bcd", 5},
  };
  for (const Case& c : cases) {
    const Bytes odkm = OhdrOdkm(c.body);
    TreeReader r(Cat({kFtyp, odkm}));
    ASSERT_EQ(r.Read(), "") << c.name;
    MP4Atom* a = r.Root()->GetChildAtom(1);
    ASSERT_EQ(a->GetNumberOfChildAtoms(), 1u) << c.name;
    MP4Atom* ohdr = a->GetChildAtom(0);
    EXPECT_STREQ(ohdr->GetType(), "ohdr");
    EXPECT_EQ(Text(ohdr, "ohdr.ContentID", c.contentIdSize + 1), std::string(c.contentId, c.contentIdSize + 1))
        << c.name;
    EXPECT_EQ(WriteBack(r.file.get(), a), odkm) << c.name;
  }
  TreeReader r(Cat({kFtyp, OhdrOdkm()}));
  ASSERT_EQ(r.Read(), "");
  MP4Atom* ohdr = r.Root()->GetChildAtom(1)->GetChildAtom(0);
  EXPECT_EQ(ohdr->GetIntegerField("PlaintextLength")->GetValue(), 0x0102030405060708ull);
  EXPECT_EQ(Text(ohdr, "ohdr.RightsIssuerURL", 4), std::string("u:x\0", 4));
  EXPECT_EQ(ohdr->GetBytesField("TextualHeaders")->GetValueSize(), 4u);
}

TEST(DrmHeader, LengthsBeyondTheBoxAndValuesWithoutBytes) {
  // A content id length past the end of the box.
  const Bytes tooLong = Cat({Bytes{1, 2}, BE(9, 8), BE(50, 2), BE(0, 4), Lit("abc")});
  TreeReader r(Cat({kFtyp, OhdrOdkm(tooLong), Box("free", Bytes(64, 0))}));
  EXPECT_EQ(r.Read(), "Atom ReadProperties: atom is too small");

  // A new box whose content id has a length but no value writes zeros.
  MP4File f;
  std::unique_ptr<MP4Atom> ohdr(MP4Atom::CreateAtom("ohdr"));
  ohdr->SetFile(&f);
  ohdr->Generate();
  ohdr->GetIntegerField("ContentIDLength")->SetValue(4);
  static_cast<MP4StringProperty*>(ohdr->GetField("ContentID"))->SetFixedLength(4);
  const Bytes written = WriteBack(&f, ohdr.get());
  EXPECT_EQ(written, FullBox("ohdr", 0, 0, Cat({Bytes{0, 0}, BE(0, 8), BE(4, 2), BE(0, 4), Bytes(4, 0)})));
}

}  // namespace
