// The box tree from crafted bytes: header forms, the lenient handling of
// malformed sizes (each case bounded in time), the factory, the standard
// field lists, and lookups by dotted path.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "atoms.h"
#include "mp4test.h"

namespace {

using namespace mp4test;

const Bytes kFtyp = Box("ftyp", Cat({Bytes{'i', 's', 'o', 'm'}, BE(0, 4)}));

// (type, start, end) of every atom below the root, depth first.
std::string Shape(MP4Atom* a, int depth = 0) {
  std::string s;
  for (uint32_t i = 0; i < a->GetNumberOfChildAtoms(); i++) {
    MP4Atom* c = a->GetChildAtom(i);
    s += std::string(depth, ' ') + c->GetType() + " " + std::to_string(c->GetStart()) + "-" +
         std::to_string(c->GetEnd()) + "\n";
    s += Shape(c, depth + 1);
  }
  return s;
}

// Reads the bytes within the time bound every malformed input must keep.
std::string ReadBounded(TreeReader& r) {
  const auto t0 = std::chrono::steady_clock::now();
  std::string result = r.Read();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  return result;
}

TEST(MP4Atom, HeaderForms) {
  const uint8_t ext[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const Bytes uuid = Cat({BE(8 + 16 + 3, 4), Bytes{'u', 'u', 'i', 'd'}, Bytes(ext, ext + 16),
                          Bytes{0xAA, 0xBB, 0xCC}});
  const Bytes large = Cat({BE(1, 4), Bytes{'w', 'i', 'd', 'e'}, BE(16 + 2, 8), Bytes{7, 7}});
  TreeReader r(Cat({kFtyp, uuid, large}));
  ASSERT_EQ(r.Read(), "");
  MP4Atom* u = r.Root()->GetChildAtom(1);
  EXPECT_STREQ(u->GetType(), "uuid");
  EXPECT_EQ(u->GetSize(), 3u);
  EXPECT_EQ(memcmp(u->GetExtendedType(), ext, 16), 0);
  MP4BytesProperty* data = static_cast<MP4BytesProperty*>(u->GetProperty(0));
  EXPECT_STREQ(data->GetName(), "data");
  EXPECT_EQ(data->GetValueSize(), 3u);
  MP4Atom* w = r.Root()->GetChildAtom(2);
  EXPECT_TRUE(w->IsUnknownType());
  EXPECT_EQ(w->GetSize(), 2u);
  EXPECT_EQ(w->GetEnd(), r.mem.data.size());
  // A 64-bit size on a data atom marks the file as using 64-bit data atoms.
  TreeReader m(Cat({kFtyp, BE(1, 4), Bytes{'m', 'd', 'a', 't'}, BE(16 + 4, 8), Bytes(4, 0)}));
  ASSERT_EQ(m.Read(), "");
  EXPECT_EQ(m.file->GetCreateFlags(), 1u);
  // An unknown type with an empty body has no property.
  TreeReader e(Cat({kFtyp, Box("xyz1", {})}));
  ASSERT_EQ(e.Read(), "");
  EXPECT_EQ(e.Root()->GetChildAtom(1)->GetNumberOfProperties(), 0u);
}

TEST(MP4Atom, SizesRunningToTheEnd) {
  // Size 0, and a 64-bit size of 0: to the end of the file.
  for (const Bytes& header : {Cat({BE(0, 4), Bytes{'f', 'r', 'e', 'e'}}),
                              Cat({BE(1, 4), Bytes{'f', 'r', 'e', 'e'}, BE(0, 8)})}) {
    TreeReader r(Cat({kFtyp, header, Bytes(20, 0)}));
    ASSERT_EQ(ReadBounded(r), "");
    EXPECT_EQ(Shape(r.Root()), "ftyp 0-16\nfree 16-" + std::to_string(r.mem.data.size()) + "\n");
  }
  // Sizes past the end of the file, past 2^64 or all ones: clamped to the file.
  for (const Bytes& header :
       {Cat({BE(0xFFFFFFFF, 4), Bytes{'f', 'r', 'e', 'e'}}),
        Cat({BE(1, 4), Bytes{'f', 'r', 'e', 'e'}, BE(0xFFFFFFFFFFFFFFF0ull, 8)}),
        Cat({BE(1, 4), Bytes{'f', 'r', 'e', 'e'}, BE(UINT64_MAX - 17, 8)}),
        Cat({BE(1, 4), Bytes{'x', 'y', 'z', '1'}, BE(1ull << 40, 8)})}) {
    TreeReader r(Cat({kFtyp, header, Bytes(20, 0)}));
    ASSERT_EQ(ReadBounded(r), "");
    EXPECT_EQ(Shape(r.Root()), "ftyp 0-16\n" + std::string(r.Root()->GetChildAtom(1)->GetType()) +
                                   " 16-" + std::to_string(r.mem.data.size()) + "\n");
    // The body is what lies before the clamped end, and is written so.
    MP4Atom* a = r.Root()->GetChildAtom(1);
    EXPECT_EQ(a->GetSize(), a->GetEnd() - a->GetStart() - header.size());
    EXPECT_EQ(WriteBack(r.file.get(), a).size(), 8u + 20);
  }
  // 1 to 7 bytes after the last atom are consumed.
  TreeReader t(Cat({kFtyp, Bytes(7, 0)}));
  EXPECT_EQ(t.Read(), "");
  // A header cut off by the end of the file.
  TreeReader h(Cat({kFtyp, BE(1, 4), Bytes{'f', 'r', 'e', 'e'}, BE(0, 4)}));
  EXPECT_EQ(h.Read(), "MP4ReadBytes: not enough bytes, reached end-of-file");
}

TEST(MP4Atom, SizesSmallerThanTheHeader) {
  for (uint32_t size = 2; size <= 7; size++) {
    // A container reads no children and reading goes on at its end.
    TreeReader c(Cat({kFtyp, BE(size, 4), Bytes{'m', 'o', 'o', 'v'}}));
    ASSERT_EQ(ReadBounded(c), "") << size;
    MP4Atom* moov = c.Root()->GetChildAtom(1);
    EXPECT_EQ(moov->GetEnd() - moov->GetStart(), size);
    EXPECT_EQ(moov->GetSize(), 0u);  // never a wrapped body size
    EXPECT_EQ(moov->GetNumberOfChildAtoms(), 0u);
    // An unrecognised type has an empty body rather than a 4 GB one.
    TreeReader u(Cat({kFtyp, BE(size, 4), Bytes{'x', 'y', 'z', '1'}}));
    ASSERT_EQ(ReadBounded(u), "") << size;
    EXPECT_EQ(u.Root()->GetChildAtom(1)->GetNumberOfProperties(), 0u);
    // A type with fields runs past its end.
    TreeReader f(Cat({kFtyp, BE(size, 4), Bytes{'s', 't', 's', 's'}, Bytes(12, 0)}));
    EXPECT_EQ(ReadBounded(f), "Atom ReadProperties: atom is too small") << size;
  }
}

TEST(MP4Atom, ChildrenStayInsideTheirParent) {
  // A child one byte longer than its parent ends at the parent's end.
  const Bytes child = Cat({BE(8 + 8 + 1, 4), Bytes{'x', 'y', 'z', '1'}, Bytes(8, 0)});
  const Bytes moov = Box("moov", child);
  TreeReader r(Cat({kFtyp, moov, Box("free", Bytes(4, 0))}));
  ASSERT_EQ(ReadBounded(r), "");
  EXPECT_EQ(Shape(r.Root()), "ftyp 0-16\nmoov 16-40\n xyz1 24-40\nfree 40-52\n");
  EXPECT_EQ(r.Root()->GetChildAtom(1)->GetChildAtom(0)->GetSize(), 8u);
  // Bytes after the last child of a container are consumed.
  TreeReader t(Cat({kFtyp, Box("moov", Cat({Box("free", {}), Bytes(5, 9)}))}));
  ASSERT_EQ(ReadBounded(t), "");
  EXPECT_EQ(Shape(t.Root()), "ftyp 0-16\nmoov 16-37\n free 24-32\n");
}

TEST(MP4Atom, DeepNestingIsRefused) {
  // 10,000 containers, each holding the next.
  Bytes nested;
  for (int i = 10000; i > 0; i--) mp4test::Append(nested, Cat({BE(8 * i, 4), Bytes{'m', 'o', 'o', 'v'}}));
  TreeReader r(nested);
  EXPECT_EQ(ReadBounded(r), "(m_depth < 255): assert failure");
  // 254 levels below the root are the deepest that read.
  Bytes ok;
  for (int i = 0; i < 254; i++) ok = Box("moov", ok);
  TreeReader s(ok);
  EXPECT_EQ(ReadBounded(s), "");
}

TEST(MP4Atom, UnknownBodiesBeyond4GiBStayInTheFile) {
  // A sparse 5 GiB file: a header, then zeros the table makes up.
  SparseFile sparse;
  sparse.head = Cat({BE(1, 4), Bytes{'x', 'y', 'z', '1'}, BE(5ull << 30, 8)});
  sparse.length = 5ull << 30;
  Virtual_IO io = SparseFileIO();
  MP4File f;
  f.Attach("sparse", 'r', &sparse, &io);
  f.ReadFromFile();
  MP4Atom* a = f.GetRootAtom()->GetChildAtom(0);
  EXPECT_TRUE(a->IsUnknownType());
  EXPECT_TRUE(a->IsBodyUnloaded());
  EXPECT_EQ(a->GetNumberOfProperties(), 0u);
  EXPECT_EQ(a->GetSize(), (5ull << 30) - 16);
  // Written, it would be cut short: refused.
  EXPECT_STREQ(Thrown([&] { WriteBack(&f, a); }).where, "MP4Atom::Write");
}

TEST(MP4Atom, FactoryClasses) {
  std::unique_ptr<MP4Atom> a(MP4Atom::CreateAtom(nullptr));
  EXPECT_NE(dynamic_cast<MP4RootAtom*>(a.get()), nullptr);
  EXPECT_STREQ(a->GetType(), "");
  a.reset(MP4Atom::CreateAtom(""));
  EXPECT_NE(dynamic_cast<MP4StandardAtom*>(a.get()), nullptr);
  EXPECT_TRUE(a->IsUnknownType());
  a.reset(MP4Atom::CreateAtom("skip"));
  EXPECT_NE(dynamic_cast<MP4FreeAtom*>(a.get()), nullptr);
  EXPECT_STREQ(a->GetType(), "skip");
  a.reset(MP4Atom::CreateAtom("free"));
  EXPECT_STREQ(a->GetType(), "free");
  a.reset(MP4Atom::CreateAtom("MDAT"));
  EXPECT_TRUE(a->IsUnknownType());
  a.reset(MP4Atom::CreateAtom("raw "));
  EXPECT_NE(dynamic_cast<MP4VideoAtom*>(a.get()), nullptr);
  EXPECT_STREQ(a->GetType(), "raw ");
  a.reset(MP4Atom::CreateAtom("\xA9" "ART"));
  EXPECT_FALSE(a->IsUnknownType());
  ASSERT_NE(a->FindAtomInfo("data"), nullptr);
  EXPECT_TRUE(a->FindAtomInfo("data")->m_mandatory);

  EXPECT_TRUE(MP4Atom::IsReasonableType("ab1 "));
  EXPECT_TRUE(MP4Atom::IsReasonableType("\xA9nam"));
  EXPECT_FALSE(MP4Atom::IsReasonableType("ab c"));
  EXPECT_FALSE(MP4Atom::IsReasonableType("abc\x01"));
}

TEST(MP4Atom, StandardFieldLists) {
  struct Case {
    const char* type;
    Bytes body;
    const char* result;
  } cases[] = {
      {"hmhd", Bytes(20, 0), ""},
      {"hmhd", Bytes(19, 0), "Atom ReadProperties: atom is too small"},
      {"smhd", Bytes(8, 0), ""},
      {"smhd", Bytes(7, 0), "Atom ReadProperties: atom is too small"},
      {"nmhd", Bytes(4, 0), ""},
      {"nmhd", Bytes(3, 0), "Atom ReadProperties: atom is too small"},
      // Three rows of two 32-bit values, then bytes that are skipped.
      {"stts", Cat({BE(0, 4), BE(3, 4), BE(1, 4), BE(10, 4), BE(2, 4), BE(20, 4), BE(3, 4),
                    BE(30, 4), Bytes(5, 0xEE)}),
       ""},
      // A count that promises more rows than the atom holds.
      {"stco", Cat({BE(0, 4), BE(5, 4), BE(1, 4)}), "Atom ReadProperties: atom is too small"},
      {"stco", Cat({BE(0, 4), BE(0x40000001, 4)}), "Atom ReadProperties: atom is too small"},
      {"co64", Cat({BE(0, 4), BE(0xFFFFFFFF, 4)}), "Atom ReadProperties: atom is too small"},
      // A string without its terminator before the end of the atom.
      {"iKMS", Cat({BE(0, 4), Bytes{'a', 'b', 'c'}}), "Atom ReadProperties: atom is too small"},
      {"iKMS", Cat({BE(0, 4), Bytes{'a', 'b', 0}}), ""},
  };
  for (const Case& c : cases) {
    // The sibling after the atom holds a terminator the string must not reach.
    TreeReader r(Cat({kFtyp, Box(c.type, c.body), Box("free", Bytes{0, 0})}));
    EXPECT_EQ(ReadBounded(r), c.result) << c.type << " " << c.body.size();
  }

  TreeReader r(Cat({kFtyp, Box("stts", cases[6].body)}));
  ASSERT_EQ(r.Read(), "");
  MP4Property* p = nullptr;
  uint32_t index = 0;
  ASSERT_TRUE(r.Root()->FindProperty("stts.entries[2].sampleDelta", &p, &index));
  EXPECT_EQ(index, 2u);
  EXPECT_EQ(static_cast<MP4IntegerProperty*>(p)->GetValue(index), 30u);
  EXPECT_FALSE(r.Root()->FindProperty("stts.entries[3].sampleDelta", &p, &index));
}

TEST(MP4Atom, LookupByPath) {
  const Bytes mvhd = Cat({BE(108, 4), Bytes{'m', 'v', 'h', 'd'}, Bytes(4, 0), BE(1, 4), BE(2, 4),
                          BE(600, 4), BE(1200, 4), Bytes(80, 0)});
  const Bytes trak0 = Box("trak", Box("tkhd", Bytes(84, 0)));
  const Bytes trak1 = Box("trak", Cat({Box("tkhd", Cat({Bytes(4, 0), Bytes(80, 1)})), Box("mdia", {})}));
  TreeReader r(Cat({kFtyp, Box("moov", Cat({mvhd, trak0, trak1}))}));
  ASSERT_EQ(r.Read(), "");
  MP4Atom* root = r.Root();
  MP4Atom* moov = root->GetChildAtom(1);
  EXPECT_EQ(root->FindAtom("moov.trak[1].tkhd"), moov->GetChildAtom(2)->GetChildAtom(0));
  EXPECT_EQ(root->FindAtom("MOOV.TRAK"), moov->GetChildAtom(1));
  EXPECT_EQ(root->FindAtom("moov.*"), moov->GetChildAtom(0));
  EXPECT_EQ(root->FindAtom("moov.*[2].mdia"), moov->GetChildAtom(2)->GetChildAtom(1));
  EXPECT_EQ(root->FindAtom("moov.trak[2]"), nullptr);
  EXPECT_EQ(root->FindAtom("moov.trak[1]"), moov->GetChildAtom(2));

  MP4Property* p = nullptr;
  EXPECT_FALSE(root->FindProperty("moov.mvhd", &p));
  for (const char* path : {"moov.mvhd.timeScale", "MOOV.MVHD.TIMESCALE", "mo.mv.timescale"}) {
    p = nullptr;
    ASSERT_TRUE(root->FindProperty(path, &p)) << path;
    EXPECT_EQ(static_cast<MP4IntegerProperty*>(p)->GetValue(), 600u);
  }
  EXPECT_FALSE(root->FindProperty("moov.mvhd.time", &p));
  MP4Atom* m = root->FindAtom("moov.mvhd");
  EXPECT_EQ(m->GetVersion(), 0);
  EXPECT_EQ(m->GetSize(), 100u);
  // No version property first: 0.
  EXPECT_EQ(moov->GetChildAtom(1)->GetChildAtom(0)->GetVersion(), 0);
  EXPECT_EQ(m->GetDepth(), 2);
  EXPECT_EQ(root->GetDepth(), 0);
}

// Types that hold zero bytes (keyed metadata items are typed by a key
// index) keep all four bytes: read, written back, printed, and in paths
// matched only by "*", never as a prefix of a 4CC.
TEST(MP4Atom, TypesHoldingZeroBytes) {
  const Bytes odd = Box("m\0\x10" "f", Lit("abc"));
  const Bytes keyed = Box("\0\0\0\x01", Lit("v"));
  TreeReader r(Cat({odd, Box("moov", Cat({keyed, Box("trak", {})}))}));
  ASSERT_EQ(r.Read(), "");
  MP4Atom* root = r.Root();
  MP4Atom* first = root->GetChildAtom(0);
  MP4Atom* moov = root->GetChildAtom(1);
  EXPECT_EQ(Bytes(first->GetType(), first->GetType() + 4), Lit("m\0\x10" "f"));
  EXPECT_TRUE(first->IsUnknownType());
  EXPECT_EQ(root->FindAtom("moov"), moov);
  EXPECT_EQ(root->FindAtom("m"), moov);
  EXPECT_EQ(root->FindAtom("*"), first);
  EXPECT_EQ(root->FindAtom("moov.*"), moov->GetChildAtom(0));
  EXPECT_EQ(root->FindAtom("moov.trak"), moov->GetChildAtom(1));
  EXPECT_EQ(WriteBack(r.file.get(), first), odd);
  EXPECT_EQ(WriteBack(r.file.get(), moov->GetChildAtom(0)), keyed);
  EXPECT_EQ(Capture([&](FILE* s) { moov->GetChildAtom(0)->Dump(s, 0, false); }),
            " type \\x00\\x00\\x00\\x01\n data = <1 bytes> 76 \n");
  EXPECT_EQ(Capture([&](FILE* s) { first->Dump(s, 0, false); }), " type m\\x00\\x10f\n data = <3 bytes> 61 62 63 \n");
}

TEST(MP4Atom, TruncationAtEveryByteEndsCleanly) {
  const Bytes mvhd = Cat({BE(108, 4), Bytes{'m', 'v', 'h', 'd'}, Bytes(4, 0), BE(0, 4), BE(0, 4),
                          BE(1000, 4), BE(5000, 4), Bytes(80, 0)});
  const Bytes stbl = Box("stbl", Cat({FullBox("stts", 0, 0, Cat({BE(1, 4), BE(5, 4), BE(100, 4)})),
                                      FullBox("stco", 0, 0, Cat({BE(1, 4), BE(40, 4)}))}));
  const Bytes moov = Box("moov", Cat({mvhd, Box("trak", Box("mdia", Box("minf", stbl)))}));
  const Bytes file = Cat({kFtyp, moov});
  for (size_t n = kFtyp.size(); n < file.size(); n++) {
    TreeReader r(Bytes(file.begin(), file.begin() + n));
    const std::string result = ReadBounded(r);
    // The moov atom is clamped to the data; what it cut off fails cleanly.
    EXPECT_TRUE(result == "" || result == "Atom ReadProperties: atom is too small" ||
                result == "MP4ReadBytes: not enough bytes, reached end-of-file")
        << n << ": " << result;
  }
  TreeReader whole(file);
  ASSERT_EQ(whole.Read(), "");
  EXPECT_EQ(Shape(whole.Root()),
            "ftyp 0-16\nmoov 16-208\n mvhd 24-132\n trak 132-208\n  mdia 140-208\n"
            "   minf 148-208\n    stbl 156-208\n     stts 164-188\n     stco 188-208\n");
}

// ---------------------------------------------------------------- writing, generating, dumping

// A new atom of the factory's class, generated in the file (under parent
// when one is given).
MP4Atom* Generated(MP4File* f, const char* type, MP4Atom* parent = nullptr) {
  if (parent) return parent->GenerateChildAtom(type);
  MP4Atom* a = MP4Atom::CreateAtom(type);
  a->SetFile(f);
  a->Generate();
  return a;
}

std::string Children(MP4Atom* a) {
  std::string s;
  for (uint32_t i = 0; i < a->GetNumberOfChildAtoms(); i++) {
    MP4Atom* c = a->GetChildAtom(i);
    s += std::string(" ") + c->GetType();
    if (c->GetNumberOfChildAtoms()) s += " {" + Children(c) + " }";
  }
  return s;
}

TEST(MP4AtomWrite, GeneratedAtomsHaveTheirBodies) {
  const Bytes unity = Cat({BE(0x00010000, 4), BE(0, 4), BE(0, 4), BE(0, 4), BE(0x00010000, 4), BE(0, 4),
                           BE(0, 4), BE(0, 4), BE(0x40000000, 4)});
  const Bytes resolution = {0x00, 0x48, 0x00, 0x00, 0x00, 0x48, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
  const Bytes visual = Cat({Bytes(6, 0), BE(1, 2), Bytes(16, 0), BE(0, 4), resolution, Bytes(32, 0)});
  const Bytes sound = Cat({Bytes(6, 0), BE(1, 2), BE(0, 2), Bytes(6, 0), BE(2, 2), BE(16, 2), BE(0, 2), BE(0, 4)});
  const Bytes shortSound = Cat({Bytes(6, 0), BE(1, 2), Bytes(9, 0), Bytes{2, 0, 0x10}, Bytes(4, 0), BE(0, 4)});
  // Each atom as the writer makes it: its body without its children's
  // boxes, and its children. Times are left out (they are now).
  const struct {
    const char* type;
    uint32_t createFlags;  // 1: 64-bit data atoms, 2: 64-bit times
    size_t timeBytes;      // bytes of creation and modification time after version and flags
    Bytes body;
    const char* children;
  } cases[] = {
      {"hmhd", 0, 0, Bytes(20, 0), ""},
      {"mvhd", 0, 8, Cat({BE(1000, 4), BE(0, 4), BE(0x00010000, 4), BE(0x0100, 2), Bytes(10, 0), unity,
                          Bytes(24, 0), BE(1, 4)}), ""},
      {"mvhd", 2, 16, Cat({BE(1000, 4), BE(0, 8), BE(0x00010000, 4), BE(0x0100, 2), Bytes(10, 0), unity,
                           Bytes(24, 0), BE(1, 4)}), ""},
      {"tkhd", 0, 8, Cat({Bytes(12, 0), Bytes(12, 0), Bytes(4, 0), unity, Bytes(8, 0)}), ""},
      {"tkhd", 2, 16, Cat({Bytes(4, 0), Bytes(4, 0), Bytes(8, 0), Bytes(12, 0), Bytes(4, 0), unity, Bytes(8, 0)}), ""},
      {"mdhd", 0, 8, Bytes(12, 0), ""},
      {"mdhd", 2, 16, Bytes(16, 0), ""},
      {"elst", 0, 0, Bytes(8, 0), ""},
      {"vmhd", 0, 0, Cat({BE(1, 4), Bytes(8, 0)}), ""},
      {"ftyp", 0, 0, Lit("mp42\0\0\0\0mp42isom"), ""},
      {"avc1", 0, 0, Cat({visual, Bytes{0x00, 0x18, 0xFF, 0xFF}}), " avcC"},
      {"avcC", 0, 0, Bytes{1, 0, 0, 0, 0xFC, 0xE0, 0}, ""},
      {"encv", 0, 0, Cat({visual, Bytes{0x00, 0x18, 0xFF, 0xFF}}), " esds sinf { frma }"},
      {"mp4v", 0, 0, Cat({visual, Bytes{0x00, 0x18, 0xFF, 0xFF}}), " esds"},
      {"hvc1", 0, 0, Cat({visual, Bytes{0x00, 0x18, 0xFF, 0xFF}}), " hvcC"},
      {"hev1", 0, 0, Cat({visual, Bytes{0x00, 0x18, 0xFF, 0xFF}}), " hvcC"},
      {"jpeg", 0, 0, Cat({visual, BE(24, 2), BE(65535, 2)}), ""},
      {"vc-1", 0, 0, Cat({Bytes(6, 0), BE(1, 2), Bytes(16, 0), BE(0, 4), Bytes(50, 0)}), " dvc1"},
      {"s263", 0, 0, Cat({Bytes(6, 0), BE(1, 2), Bytes(16, 0), BE(0, 4), resolution, Bytes(32, 0),
                          Bytes{0x00, 0x24, 0xFF, 0xFF}}), " d263"},
      {"d263", 0, 0, Cat({Lit("m4ip"), Bytes{1, 0, 0}}), ""},
      {"mp4a", 0, 0, Cat({sound, Bytes(2, 0)}), " esds"},
      {"twos", 0, 0, sound, ""},
      {"enca", 0, 0, shortSound, " esds sinf { frma }"},
      {"samr", 0, 0, shortSound, " damr"},
      {"damr", 0, 0, Cat({Lit("m4ip"), Bytes{1}, Bytes(4, 0)}), ""},
      {"mp4s", 0, 0, Cat({Bytes(6, 0), BE(1, 2)}), " esds"},
      {"href", 0, 0, Cat({Bytes(6, 0), BE(1, 2)}), ""},
      {"dac3", 0, 0, Bytes{0, 0, 0}, ""},
      {"stsz", 0, 0, Bytes(12, 0), ""},
      {"stz2", 0, 0, Bytes(12, 0), ""},
      {"stsc", 0, 0, Bytes(8, 0), ""},
      {"tfhd", 0, 0, Bytes(8, 0), ""},
      {"moov", 0, 0, {}, " mvhd"},
      {"trak", 0, 0, {}, " tkhd mdia { mdhd hdlr minf { dinf { dref } stbl { stsd stts stsz stsc stco } } }"},
      {"trak", 1, 0, {}, " tkhd mdia { mdhd hdlr minf { dinf { dref } stbl { stsd stts stsz stsc co64 } } }"},
  };
  const uint64_t now = static_cast<uint64_t>(time(nullptr)) + 24107ull * 86400;
  for (const auto& c : cases) {
    MP4File f;
    if (c.createFlags & 1) f.Check64BitStatus("mdat");
    if (c.createFlags & 2) f.Check64BitStatus("mvhd");
    std::unique_ptr<MP4Atom> a(Generated(&f, c.type));
    EXPECT_EQ(Children(a.get()), c.children) << c.type;
    const Bytes written = WriteBack(&f, a.get());
    uint64_t childBytes = 0;
    for (uint32_t i = 0; i < a->GetNumberOfChildAtoms(); i++)
      childBytes += a->GetChildAtom(i)->GetEnd() - a->GetChildAtom(i)->GetStart();
    Bytes body(written.begin() + 8, written.end() - childBytes);
    if (c.timeBytes) {
      // Version and flags, then both times: now.
      const int width = static_cast<int>(c.timeBytes / 2);
      EXPECT_EQ(body[0], c.createFlags & 2 ? 1 : 0) << c.type;
      for (int t = 0; t < 2; t++) EXPECT_NEAR(double(Be(body, 4 + t * width, width)), double(now), 5) << c.type;
      body.erase(body.begin(), body.begin() + 4 + c.timeBytes);
    }
    EXPECT_EQ(body, c.body) << c.type;
    EXPECT_EQ(a->GetSize(), written.size() - 8) << c.type;
  }
}

TEST(MP4AtomWrite, GeneratedEntriesByParent) {
  MP4File f;
  // The AC-3 entry with its configuration: 28 bytes, then a "dac3" box of
  // stream parameters.
  std::unique_ptr<MP4Atom> ac3(Generated(&f, "ac-3"));
  EXPECT_EQ(WriteBack(&f, ac3.get()),
            Cat({BE(8 + 39, 4), Lit("ac-3"), Bytes(6, 0), BE(1, 2), Bytes(8, 0), BE(2, 2), BE(16, 2), BE(0, 2),
                 BE(0, 2), Bytes{0xBB, 0x80}, BE(0, 2), Bytes{0, 0, 0, 0x0B}, Lit("dac3"), Bytes{0x10, 0x3D, 0x40}}));
  // "text" takes the layout of its parent; elsewhere nothing.
  std::unique_ptr<MP4Atom> stsd(Generated(&f, "stsd"));
  MP4Atom* entry = Generated(&f, "text", stsd.get());
  const Bytes text = WriteBack(&f, entry);
  EXPECT_EQ(Bytes(text.begin() + 8, text.end()),
            Cat({Bytes(6, 0), BE(1, 2), BE(1, 4), BE(1, 4), Bytes(6 + 8 + 8 + 4 + 3 + 6, 0)}));
  std::unique_ptr<MP4Atom> gmhd(MP4Atom::CreateAtom("gmhd"));
  gmhd->SetFile(&f);
  const Bytes media = WriteBack(&f, Generated(&f, "text", gmhd.get()));
  EXPECT_EQ(Bytes(media.begin() + 8, media.end()),
            Cat({BE(0x00010000, 4), Bytes(12, 0), BE(0x00010000, 4), Bytes(12, 0), BE(0x40000000, 4)}));
  std::unique_ptr<MP4Atom> moov(Generated(&f, "moov"));
  EXPECT_EQ(WriteBack(&f, Generated(&f, "text", moov.get())), Cat({BE(8, 4), Lit("text")}));
}

TEST(MP4AtomWrite, CloneCopiesEveryParameterSet) {
  // Two sequence sets, one of them empty, and three picture sets.
  TreeReader r(Cat({kFtyp, Box("avcC", Bytes{1, 0x64, 0x00, 0x29, 0xFF, 0xE2, 0, 2, 0x67, 0x64, 0, 0, 3, 0, 1, 0x68,
                                             0, 0, 0, 2, 0x68, 0x69})}));
  ASSERT_EQ(r.Read(), "");
  MP4AvcCAtom* source = static_cast<MP4AvcCAtom*>(r.Root()->GetChildAtom(1));
  std::unique_ptr<MP4AvcCAtom> copy(static_cast<MP4AvcCAtom*>(MP4Atom::CreateAtom("avcC")));
  copy->SetFile(r.file.get());
  source->Clone(copy.get());
  EXPECT_EQ(WriteBack(r.file.get(), copy.get()), WriteBack(r.file.get(), source));
}

TEST(MP4AtomWrite, UrlFlagFollowsTheLocation) {
  MP4File f;
  std::unique_ptr<MP4Atom> url(MP4Atom::CreateAtom("url "));
  url->SetFile(&f);
  url->SetFlags(0x000100);
  EXPECT_EQ(WriteBack(&f, url.get()), Cat({BE(12, 4), Lit("url "), BE(0x000101, 4)}));
  static_cast<MP4StringProperty*>(url->GetField("location"))->SetValue("");
  EXPECT_EQ(WriteBack(&f, url.get()), Cat({BE(13, 4), Lit("url "), BE(0x000100, 4), Bytes{0}}));
}

TEST(MP4AtomWrite, HeaderForms) {
  MP4File f;
  std::unique_ptr<MP4Atom> uuid(MP4Atom::CreateAtom("uuid"));
  uuid->SetFile(&f);
  const uint8_t ext[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  uuid->SetExtendedType(ext);
  MP4BytesProperty* data = new MP4BytesProperty("data");
  uuid->AddProperty(data);
  data->SetValue(Bytes(10, 0xAB).data(), 10);
  EXPECT_EQ(WriteBack(&f, uuid.get()), Cat({BE(34, 4), Lit("uuid"), Bytes(ext, ext + 16), Bytes(10, 0xAB)}));
  EXPECT_EQ(uuid->GetSize(), 10u);
  f.EnableMemoryBuffer();
  uuid->BeginWrite(true);
  uuid->WriteProperties();
  uuid->FinishWrite(true);
  uint8_t* buf = nullptr;
  uint64_t n = 0;
  f.DisableMemoryBuffer(&buf, &n);
  EXPECT_EQ(Bytes(buf, buf + 16), Cat({BE(1, 4), Lit("uuid"), BE(42, 8)}));
  EXPECT_EQ(n, 42u);
  free(buf);
  EXPECT_EQ(uuid->GetSize(), 10u);

  // Free space of the size its creator set; from 2^32 - 8 bytes of it on
  // the 64-bit form. The media data atom is only opened and closed.
  std::unique_ptr<MP4Atom> pad(MP4Atom::CreateAtom("free"));
  pad->SetFile(&f);
  pad->SetSize(100);
  EXPECT_EQ(WriteBack(&f, pad.get()), Cat({BE(108, 4), Lit("free"), Bytes(100, 0)}));
  SparseFile sink;
  sink.head.resize(64);
  Virtual_IO io = SparseFileIO();
  MP4File big;
  big.Attach("discard", 'w', &sink, &io);
  pad->SetFile(&big);
  pad->SetSize(0xFFFFFFF8);
  pad->Write();
  EXPECT_EQ(Bytes(sink.head.begin(), sink.head.begin() + 16), Cat({BE(1, 4), Lit("free"), BE(0xFFFFFFF8ull + 16, 8)}));
  EXPECT_EQ(sink.length, 0xFFFFFFF8ull + 16);
  // The 32-bit form of an atom past 4 GiB fails once its body is written.
  big.SetPosition(0);
  pad->BeginWrite(false);
  big.SetPosition(1ull << 32);
  EXPECT_STREQ(Thrown([&] { pad->FinishWrite(false); }).where, "(m_size <= (u_int64_t)0xFFFFFFFF)");
  std::unique_ptr<MP4Atom> mdat(MP4Atom::CreateAtom("mdat"));
  mdat->SetFile(&f);
  EXPECT_STREQ(Thrown([&] { WriteBack(&f, mdat.get()); }).where, "(false)");
}

TEST(MP4AtomWrite, RewriteKeepsTheSize) {
  const Bytes stts = FullBox("stts", 0, 0, Cat({BE(1, 4), BE(5, 4), BE(100, 4)}));
  const Bytes free = Box("free", Bytes(4, 0xEE));
  TreeReader r(Cat({kFtyp, stts, free}));
  ASSERT_EQ(r.Read(), "");
  MP4Atom* a = r.Root()->GetChildAtom(1);
  MP4IntegerProperty* delta = static_cast<MP4IntegerProperty*>(
      static_cast<MP4TableProperty*>(a->GetField("entries"))->GetProperty(1));
  delta->SetValue(200, 0);
  r.file->SetPosition(3);
  a->Rewrite();
  EXPECT_EQ(r.file->GetPosition(), 3u);
  EXPECT_EQ(r.mem.data, Cat({kFtyp, FullBox("stts", 0, 0, Cat({BE(1, 4), BE(5, 4), BE(200, 4)})), free}));
  // A row more would run into the next atom: refused.
  a->ForceIntegerField("entryCount", 2);
  static_cast<MP4IntegerProperty*>(static_cast<MP4TableProperty*>(a->GetField("entries"))->GetProperty(0))->InsertValue(1, 1);
  delta->InsertValue(7, 1);
  EXPECT_STREQ(Thrown([&] { a->Rewrite(); }).where, "(oldSize == newSize)");
  EXPECT_EQ(r.file->GetPosition(), 3u);
  // An atom never written is not rewritten.
  std::unique_ptr<MP4Atom> fresh(Generated(r.file.get(), "stts"));
  fresh->Rewrite();
  EXPECT_EQ(r.mem.data.size(), kFtyp.size() + stts.size() + free.size());
}

TEST(MP4AtomWrite, RootWritesAroundTheMediaData) {
  MemFile out;
  Virtual_IO io = MemFileIO();
  MP4File f;
  f.Attach("out", 'w', &out, &io);
  std::unique_ptr<MP4Atom> root(MP4Atom::CreateAtom(nullptr));
  root->SetFile(&f);
  EXPECT_STREQ(Thrown([&] { static_cast<MP4RootAtom*>(root.get())->GetLastMdatIndex(); }).where, "(false)");
  Generated(&f, "ftyp", root.get());
  for (const char* type : {"mdat", "skip", "mdat"}) Generated(&f, type, root.get());
  MP4Atom* moov = Generated(&f, "moov", root.get());
  const Bytes samples = {1, 2, 3, 4, 5};
  // The file type, the last media data atom opened; the samples; then the
  // media data closed and the movie after it. The first media data atom
  // and the free space before the last are not written.
  root->BeginWrite();
  f.WriteBytes(samples.data(), samples.size());
  root->FinishWrite();
  const Bytes ftyp = Box("ftyp", Lit("mp42\0\0\0\0mp42isom"));
  ASSERT_EQ(out.data.size(), ftyp.size() + 8 + 5 + 8 + 108);
  EXPECT_EQ(Bytes(out.data.begin(), out.data.begin() + 37), Cat({ftyp, Box("mdat", samples)}));
  EXPECT_EQ(Bytes(out.data.begin() + 37, out.data.begin() + 45), Cat({BE(116, 4), Lit("moov")}));
  EXPECT_EQ(moov->GetStart(), 37u);

  // The optimal layout: the movie first, written again in place once the
  // samples are in; a movie that grew in between is refused.
  for (const bool grow : {false, true}) {
    MemFile opt;
    MP4File g;
    g.Attach("opt", 'w', &opt, &io);
    std::unique_ptr<MP4RootAtom> r(static_cast<MP4RootAtom*>(MP4Atom::CreateAtom(nullptr)));
    r->SetFile(&g);
    Generated(&g, "ftyp", r.get());
    MP4Atom* m = Generated(&g, "moov", r.get());
    Generated(&g, "mdat", r.get());
    r->BeginOptimalWrite();
    g.WriteBytes(samples.data(), samples.size());
    if (grow) Generated(&g, "free", m);
    static_cast<MP4Float32Property*>(m->FindAtom("moov.mvhd")->GetField("rate"))->SetValue(2.0f);
    if (grow) {
      EXPECT_STREQ(Thrown([&] { r->FinishOptimalWrite(); }).where, "(oldSize == newSize)");
      continue;
    }
    r->FinishOptimalWrite();
    ASSERT_EQ(opt.data.size(), ftyp.size() + 116 + 8 + 5);
    // The rate, after the headers, version and flags, times, scale and duration.
    EXPECT_EQ(Be(opt.data, ftyp.size() + 8 + 8 + 4 + 16, 4), 0x00020000u);
    EXPECT_EQ(Bytes(opt.data.end() - 13, opt.data.end()), Box("mdat", samples));
  }
}

TEST(MP4AtomWrite, DumpText) {
  const Bytes mvhd = FullBox("mvhd", 0, 0, Cat({BE(1, 4), BE(2, 4), BE(1000, 4), BE(5000, 4), BE(0x00010000, 4),
                                                 BE(0x0100, 2), Bytes(70, 0), BE(2, 4)}));
  const Bytes hdlr = FullBox("hdlr", 0, 0, Cat({Lit("mhlr"), Lit("vide"), Bytes(12, 0), Lit("Video\0")}));
  const Bytes stts = FullBox("stts", 0, 0, Cat({BE(2, 4), BE(3, 4), BE(100, 4), BE(1, 4), BE(50, 4)}));
  const Bytes file = Cat({Box("ftyp", Lit("isom\0\0\2\0isomavc1")),
                          Box("moov", Cat({mvhd, Box("trak", Box("mdia", Cat({hdlr, Box("minf", Box("stbl", stts))})))}))});
  TreeReader r(file);
  ASSERT_EQ(r.Read(), "");
  const std::string zeros16 = "   00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \n";
  const std::string head =
      " type ftyp\n"
      "  majorBrand = isom\n"
      "  minorVersion = 512 (0x00000200)\n";
  const std::string movie =
      " type moov\n"
      "  type mvhd\n"
      "   version = 0 (0x00)\n"
      "   flags = 0 (0x000000)\n"
      "   creationTime = 1 (0x00000001)\n"
      "   modificationTime = 2 (0x00000002)\n"
      "   timeScale = 1000 (0x000003e8)\n"
      "   duration = 5000 (0x00001388)\n"
      "   rate = 1.000000\n"
      "   volume = 1.000000\n"
      "   reserved1 = <70 bytes> \n" + zeros16 + zeros16 + zeros16 + zeros16 +
      "   00 00 00 00 00 00 \n"
      "   nextTrackId = 2 (0x00000002)\n"
      "  type trak\n"
      "   type mdia\n"
      "    type hdlr\n"
      "     version = 0 (0x00)\n"
      "     flags = 0 (0x000000)\n"
      "     reserved1 = <4 bytes> 6d 68 6c 72 \n"
      "     handlerType = vide\n"
      "     reserved2 = <12 bytes> 00 00 00 00 00 00 00 00 00 00 00 00 \n"
      "     name = Video\n"
      "    type minf\n"
      "     type stbl\n"
      "      type stts\n"
      "       version = 0 (0x00)\n"
      "       flags = 0 (0x000000)\n"
      "       entryCount = 2 (0x00000002)\n";
  EXPECT_EQ(Capture([&](FILE* s) { r.Root()->Dump(s, 0, false); }),
            head + "  <table entries suppressed>\n" + movie + "       <table entries suppressed>\n");
  // With the table bit the rows, the first without an index; the implicit
  // brand count only on request.
  r.file->SetVerbosity(MP4_VERB_TABLE);
  EXPECT_EQ(Capture([&](FILE* s) { r.Root()->Dump(s, 0, false); }),
            head + "   brand = isom\n   brand[1] = avc1\n" + movie +
                "        sampleCount = 3 (0x00000003)\n        sampleDelta = 100 (0x00000064)\n"
                "        sampleCount[1] = 1 (0x00000001)\n        sampleDelta[1] = 50 (0x00000032)\n");
  EXPECT_EQ(Capture([&](FILE* s) { r.Root()->GetChildAtom(0)->Dump(s, 0, true); }),
            " type ftyp\n majorBrand = isom\n minorVersion = 512 (0x00000200)\n"
            " compatibleBrandsCount = 2 (0x00000002)\n  brand = isom\n  brand[1] = avc1\n");
}

}  // namespace
