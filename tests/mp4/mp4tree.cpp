// The box trees of files that ffmpeg writes, compared box by box with an
// independent walker (itself checked against ffprobe's trace), and fields
// found by dotted path compared with ffprobe and with the walker's bytes.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "mp4test.h"
#include "testutil.h"

namespace {

using namespace mp4test;

struct Walked {
  int depth;
  std::string type;
  uint64_t offset;
  uint64_t size;
  std::string parent;
  bool operator==(const Walked& o) const {
    return depth == o.depth && type == o.type && offset == o.offset && size == o.size;
  }
};

std::ostream& operator<<(std::ostream& os, const Walked& w) {
  return os << w.depth << " " << w.type << " @" << w.offset << " +" << w.size;
}

uint64_t Be(const Bytes& d, uint64_t pos, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; i++) v = v << 8 | d.at(pos + i);
  return v;
}

// Body bytes before the children of the boxes the library reads children
// of; -1 for every other box.
int ChildrenAt(const std::string& type) {
  static const std::set<std::string> containers = {"moov", "trak", "edts", "mdia", "minf", "dinf",
                                                    "gmhd", "tref", "mvex", "moof", "traf", "wave",
                                                    "pinf", "sinf", "schi", "stbl"};
  static const std::set<std::string> visualEntries = {"avc1", "encv", "mp4v", "hvc1", "hev1", "SVQ3",
                                                      "h263", "jpeg", "raw ", "yuv2", "vc-1", "s263"};
  if (containers.count(type)) return 0;
  if (type == "stsd") return 8;          // version, flags, entry count
  if (visualEntries.count(type)) return 78;
  return -1;
}

// The walker: every box from its 32- or 64-bit size, children where the
// table above says so.
void Walk(const Bytes& d, uint64_t pos, uint64_t end, int depth, const std::string& parent,
          std::vector<Walked>& out) {
  while (end - pos >= 8) {
    uint64_t size = Be(d, pos, 4);
    const std::string type(d.begin() + pos + 4, d.begin() + pos + 8);
    uint64_t header = 8;
    if (size == 1) {
      size = Be(d, pos + 8, 8);
      header = 16;
    } else if (size == 0) {
      size = end - pos;
    }
    if (type == "uuid") header += 16;
    out.push_back({depth, type, pos, size, parent});
    const int skip = ChildrenAt(type);
    if (skip >= 0) Walk(d, pos + header + skip, pos + size, depth + 1, type, out);
    pos += size;
  }
}

std::vector<Walked> Walk(const Bytes& d) {
  std::vector<Walked> out;
  Walk(d, 0, d.size(), 1, "root", out);
  return out;
}

void Tree(MP4Atom* a, std::vector<Walked>& out) {
  for (uint32_t i = 0; i < a->GetNumberOfChildAtoms(); i++) {
    MP4Atom* c = a->GetChildAtom(i);
    out.push_back({c->GetDepth(), c->GetType(), c->GetStart(), c->GetEnd() - c->GetStart(), ""});
    Tree(c, out);
  }
}

const Walked* Find(const std::vector<Walked>& boxes, const std::string& type, int nth = 0) {
  for (const Walked& w : boxes)
    if (w.type == type && nth-- == 0) return &w;
  return nullptr;
}

const char* kVideo = "-f lavfi -i testsrc=size=160x120:rate=10:duration=1";
const char* kAudio = "-f lavfi -i sine=duration=1";

// Every file once per test program.
class MP4Files : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // ctest runs each test in its own process, at the same time: each makes
    // the files in its own folder.
    char cwd[4096];
    dir = std::string(getcwd(cwd, sizeof cwd)) + "/scratch/mp4files." + std::to_string(getpid()) + "/";
    tu::run("mkdir -p " + tu::q(dir));
    tu::write_file(dir + "chapters.txt",
                   Bytes(kChapters, kChapters + strlen(kChapters)));
    const std::string v = kVideo, a = kAudio;
    const std::map<std::string, std::string> make = {
        {"h264_aac.mp4", v + " " + a + " -c:v libx264 -c:a aac -shortest"},
        {"faststart.mp4", v + " " + a + " -c:v libx264 -c:a aac -shortest -movflags +faststart"},
        {"hvc1.mp4", v + " -c:v libx265 -x265-params log-level=error -tag:v hvc1"},
        {"hev1.mp4", v + " -c:v libx265 -x265-params log-level=error -tag:v hev1"},
        {"mpeg2.mp4", v + " -c:v mpeg2video"},
        {"mpeg4_iods.mp4", v + " -c:v mpeg4 -skip_iods 0"},
        {"frag.mp4", v + " " + a +
                         " -c:v libx264 -c:a aac -shortest -movflags +frag_keyframe+empty_moov+default_base_moof"},
        {"version1.mp4", "-f lavfi -i testsrc=size=160x120:rate=10:duration=3 -c:v libx264"
                         " -movie_timescale 2000000000 -video_track_timescale 2000000000"},
        {"ctts1.mp4", v + " -c:v libx264 -bf 2 -movflags +negative_cts_offsets"},
        {"chapters.mp4", v + " -i " + tu::q(dir + "chapters.txt") +
                             " -map 0 -map_chapters 1 -c:v libx264"},
        {"meta.mov", v + " " + a + " -c:v libx264 -c:a aac -shortest -metadata title=Hello -f mov"},
        {"h263.3gp", "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 " + a +
                         " -c:v h263 -c:a aac -ar 8000 -ac 1 -shortest"},
        {"rtphint.mp4", v + " -c:v libx264 -movflags +rtphint"},
    };
    for (const auto& m : make) {
      if (!tu::ffmpeg(m.second + " " + tu::q(dir + m.first))) continue;
      names.push_back(m.first);
    }
  }
  // A folder per process would pile up: kept only when something failed.
  static void TearDownTestSuite() {
    if (::testing::UnitTest::GetInstance()->Passed()) tu::run("rm -rf " + tu::q(dir));
  }
  static Bytes Data(const std::string& name) { return tu::read_file(dir + name); }
  static constexpr const char* kChapters =
      ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=500\ntitle=One\n"
      "[CHAPTER]\nTIMEBASE=1/1000\nSTART=500\nEND=1000\ntitle=Two\n";
  static std::string dir;
  static std::vector<std::string> names;
};
std::string MP4Files::dir;
std::vector<std::string> MP4Files::names;

TEST_F(MP4Files, WalkerAgreesWithFFprobeTrace) {
  // ffprobe names each box with its parent; boxes below the containers that
  // both read must come in the same order with the same sizes.
  const std::set<std::string> parents = {"root", "moov", "trak", "mdia", "minf", "stbl",
                                         "edts", "dinf", "mvex", "moof", "traf"};
  const std::regex line(R"(type:'(.{4})' parent:'(.{4})' sz: (\d+) )");
  for (const std::string name : {"h264_aac.mp4", "faststart.mp4", "version1.mp4"}) {
    const tu::RunResult r = tu::run("ffprobe -v trace " + tu::q(dir + name) + " 2>&1");
    std::vector<std::string> theirs, ours;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);) {
      std::smatch m;
      if (std::regex_search(l, m, line) && parents.count(m[2]))
        theirs.push_back(m[1].str() + " in " + m[2].str() + " " + m[3].str());
    }
    for (const Walked& w : Walk(Data(name)))
      if (parents.count(w.parent)) ours.push_back(w.type + " in " + w.parent + " " + std::to_string(w.size));
    EXPECT_GT(ours.size(), 20u);
    EXPECT_EQ(ours, theirs) << name;
  }
}

TEST_F(MP4Files, EveryTreeAgreesWithTheWalker) {
  ASSERT_EQ(names.size(), 13u);
  for (const std::string& name : names) {
    const Bytes data = Data(name);
    TreeReader r(data);
    ASSERT_EQ(r.Read(), "") << name;
    std::vector<Walked> ours;
    Tree(r.Root(), ours);
    EXPECT_EQ(ours, Walk(data)) << name;

    // The same file read through the library's own stdio table.
    MP4File f;
    f.Attach((dir + name).c_str(), 'r');
    f.Open("rb");
    f.ReadFromFile();
    std::vector<Walked> again;
    Tree(f.GetRootAtom(), again);
    EXPECT_EQ(again, ours) << name;
  }
}

uint64_t Value(MP4Atom* root, const std::string& path) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  if (!root->FindProperty(path.c_str(), &p, &index)) return UINT64_MAX;
  if (p->GetType() > Integer64Property) return UINT64_MAX - 1;
  return static_cast<MP4IntegerProperty*>(p)->GetValue(index);
}

TEST_F(MP4Files, PathsFindTheFields) {
  for (const std::string& name : names) {
    const Bytes data = Data(name);
    const std::vector<Walked> boxes = Walk(data);
    TreeReader r(data);
    ASSERT_EQ(r.Read(), "") << name;
    // The movie time scale, from the walker's mvhd bytes.
    const Walked* mvhd = Find(boxes, "mvhd");
    ASSERT_NE(mvhd, nullptr) << name;
    const int version = data[mvhd->offset + 8];
    EXPECT_EQ(Value(r.Root(), "moov.mvhd.timeScale"), Be(data, mvhd->offset + (version == 1 ? 28 : 20), 4))
        << name;
    EXPECT_EQ(Value(r.Root(), "MOOV.MVHD.TIMESCALE"), Value(r.Root(), "mo.mv.timescale"));
  }
  // Version 1 headers: 64-bit times and the 2e9 time scale.
  TreeReader v1(Data("version1.mp4"));
  ASSERT_EQ(v1.Read(), "");
  EXPECT_EQ(v1.Root()->FindAtom("moov.mvhd")->GetVersion(), 1);
  EXPECT_EQ(Value(v1.Root(), "moov.mvhd.timeScale"), 2000000000u);
  EXPECT_EQ(Value(v1.Root(), "moov.mvhd.duration"), 6000000000u);
  EXPECT_EQ(v1.file->GetCreateFlags(), 0u);
}

TEST_F(MP4Files, SampleTableAndDescriptorPaths) {
  // The audio track's first sample duration, as ffprobe gives it in the
  // track's time base.
  const tu::RunResult d = tu::run("ffprobe -v error -select_streams 1 -show_entries packet=duration"
                                  " -of default=nw=1:nk=1 " + tu::q(dir + "h264_aac.mp4") + " | head -n 1");
  TreeReader r(Data("h264_aac.mp4"));
  ASSERT_EQ(r.Read(), "");
  EXPECT_EQ(std::to_string(Value(r.Root(), "moov.trak[1].mdia.minf.stbl.stts.entries[0].sampleDelta")) + "\n",
            d.out);
  EXPECT_EQ(Value(r.Root(), "moov.trak[2].mdia.minf.stbl.stts.entries[0].sampleDelta"), UINT64_MAX);

  // The object type: what the muxer writes for MPEG-2 (main) and MPEG-4 video.
  for (const auto& c : {std::make_pair("mpeg2.mp4", 0x61u), std::make_pair("mpeg4_iods.mp4", 0x20u)}) {
    const Bytes data = Data(c.first);
    TreeReader t(data);
    ASSERT_EQ(t.Read(), "");
    const uint64_t type = Value(t.Root(), "moov.trak.mdia.minf.stbl.stsd.*[0].esds.decConfigDescr.objectTypeId");
    EXPECT_EQ(type, c.second) << c.first;
    // The same byte by hand: after esds's version and flags, the ES
    // descriptor's tag, length, ESID and flag byte, the decoder
    // configuration's tag and length.
    const std::vector<Walked> boxes = Walk(data);
    const Walked* esds = Find(boxes, "esds");
    ASSERT_NE(esds, nullptr);
    uint64_t pos = esds->offset + 12 + 1;
    while (data[pos++] & 0x80) {}
    pos += 3 + 1;
    while (data[pos++] & 0x80) {}
    EXPECT_EQ(data[pos], c.second);
  }

  // The initial object descriptor's visual profile, against its bytes:
  // version and flags, tag, length, two bytes of id and flags, then the OD,
  // scene, audio and visual profiles.
  const Bytes data = Data("mpeg4_iods.mp4");
  TreeReader t(data);
  ASSERT_EQ(t.Read(), "");
  const std::vector<Walked> boxes = Walk(data);
  const Walked* iods = Find(boxes, "iods");
  ASSERT_NE(iods, nullptr);
  uint64_t pos = iods->offset + 12 + 1;
  while (data[pos++] & 0x80) {}
  EXPECT_EQ(Value(t.Root(), "moov.iods.visualProfileLevelId"), data[pos + 2 + 3]);
  EXPECT_EQ(Value(t.Root(), "moov.iods.ODProfileLevelId"), data[pos + 2]);
}

TEST_F(MP4Files, TruncatedMoovEndsCleanly) {
  // Every length from the start of moov to the end of the file.
  const Bytes data = Data("h264_aac.mp4");
  const std::vector<Walked> boxes = Walk(data);
  const Walked* moov = Find(boxes, "moov");
  ASSERT_NE(moov, nullptr);
  for (uint64_t n = moov->offset; n < data.size(); n++) {
    TreeReader r(Bytes(data.begin(), data.begin() + n));
    const std::string result = r.Read();
    EXPECT_TRUE(result == "" || result == "Atom ReadProperties: atom is too small" ||
                result == "MP4ReadBytes: not enough bytes, reached end-of-file" ||
                result == "MP4Descriptor::ReadProperties: overran descriptor")
        << n << ": " << result;
  }
}

}  // namespace
