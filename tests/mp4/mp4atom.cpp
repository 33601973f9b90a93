// The box tree from crafted bytes: header forms, the lenient handling of
// malformed sizes (each case bounded in time), the factory, the standard
// field lists, and lookups by dotted path.
#include <gtest/gtest.h>

#include <chrono>
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
  struct Sparse {
    Bytes head = Cat({BE(1, 4), Bytes{'x', 'y', 'z', '1'}, BE(5ull << 30, 8)});
    uint64_t pos = 0;
  } sparse;
  Virtual_IO io = MemFileIO();
  io.GetFileLength = [](void*) -> uint64_t { return 5ull << 30; };
  io.SetPosition = [](void* h, uint64_t p) -> int {
    static_cast<Sparse*>(h)->pos = p;
    return 0;
  };
  io.GetPosition = [](void* h, uint64_t* p) -> int {
    *p = static_cast<Sparse*>(h)->pos;
    return 0;
  };
  io.Read = [](void* h, void* buf, uint64_t n) -> uint64_t {
    Sparse* s = static_cast<Sparse*>(h);
    for (uint64_t i = 0; i < n; i++, s->pos++)
      static_cast<uint8_t*>(buf)[i] = s->pos < s->head.size() ? s->head[s->pos] : 0;
    return n;
  };
  io.Close = [](void*) -> int { return 0; };
  MP4File f;
  f.Attach("sparse", 'r', &sparse, &io);
  f.ReadFromFile();
  MP4Atom* a = f.GetRootAtom()->GetChildAtom(0);
  EXPECT_TRUE(a->IsUnknownType());
  EXPECT_TRUE(a->IsBodyUnloaded());
  EXPECT_EQ(a->GetNumberOfProperties(), 0u);
  EXPECT_EQ(a->GetSize(), (5ull << 30) - 16);
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

}  // namespace
