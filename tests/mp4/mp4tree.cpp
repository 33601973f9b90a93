// The box trees of files that ffmpeg writes, compared box by box with an
// independent walker (itself checked against ffprobe's trace), and fields
// found by dotted path compared with ffprobe and with the walker's bytes.
#include <gtest/gtest.h>

#include <regex>

#include "mp4files.h"

namespace {

using namespace mp4test;

void Tree(MP4Atom* a, std::vector<Walked>& out) {
  for (uint32_t i = 0; i < a->GetNumberOfChildAtoms(); i++) {
    MP4Atom* c = a->GetChildAtom(i);
    out.push_back({c->GetDepth(), std::string(c->GetType(), 4), c->GetStart(), c->GetEnd() - c->GetStart(), ""});
    Tree(c, out);
  }
}

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

// ---------------------------------------------------------------- writing back

// The boxes the walker found inside [from, to) one level below depth.
std::vector<const Walked*> ChildrenOf(const std::vector<Walked>& boxes, const Walked& parent) {
  std::vector<const Walked*> out;
  for (const Walked& w : boxes)
    if (w.depth == parent.depth + 1 && w.offset >= parent.offset && w.offset < parent.offset + parent.size)
      out.push_back(&w);
  return out;
}

// What writing a tree back changes by design, applied to the original
// bytes: a counted handler name (a length byte that ends exactly at the end
// of the box) is written NUL-terminated, in the same number of bytes; the
// entry counts of "stsd" and "dref" become the number of entries read. The
// url self-contained flag follows the location, which reading leaves as it
// was: no change in a file read.
void Normalise(Bytes& expected, uint64_t base, const std::vector<Walked>& boxes) {
  for (const Walked& w : boxes) {
    if (w.offset < base || w.offset >= base + expected.size()) continue;
    const uint64_t at = w.offset - base;
    if (w.type == "hdlr" && w.size > 8 + 24) {
      const uint64_t name = at + 8 + 24, left = w.size - 8 - 24;
      if (expected[name] + 1u == left) {
        std::rotate(expected.begin() + name, expected.begin() + name + 1, expected.begin() + name + left);
        expected[name + left - 1] = 0;
      }
    }
    if (w.type == "stsd" || w.type == "dref") {
      const Bytes count = BE(ChildrenOf(boxes, w).size(), 4);
      std::copy(count.begin(), count.end(), expected.begin() + at + 12);
    }
  }
}

TEST_F(MP4Files, TreesWriteBackByteForByte) {
  // Every top-level box but the media data, moov and moof included.
  ASSERT_EQ(names.size(), 13u);
  for (const std::string& name : names) {
    const Bytes data = Data(name);
    const std::vector<Walked> boxes = Walk(data);
    TreeReader r(data);
    ASSERT_EQ(r.Read(), "") << name;
    MP4Atom* root = r.Root();
    ASSERT_EQ(root->GetNumberOfChildAtoms(), ChildrenOf(boxes, {0, "", 0, data.size(), ""}).size());
    int written = 0;
    for (uint32_t i = 0; i < root->GetNumberOfChildAtoms(); i++) {
      MP4Atom* a = root->GetChildAtom(i);
      if (!strcmp(a->GetType(), "mdat")) continue;
      Bytes expected(data.begin() + a->GetStart(), data.begin() + a->GetEnd());
      Normalise(expected, a->GetStart(), boxes);
      EXPECT_EQ(WriteBack(r.file.get(), a), expected) << name << " " << a->GetType();
      written++;
    }
    EXPECT_GE(written, 2) << name;
  }
  // The counted handler names of the QuickTime file are the case above.
  const Bytes mov = Data("meta.mov");
  const std::vector<Walked> movBoxes = Walk(mov);
  const Walked* hdlr = Find(movBoxes, "hdlr");
  ASSERT_NE(hdlr, nullptr);
  EXPECT_EQ(mov[hdlr->offset + 32], hdlr->size - 33);
}

// ---------------------------------------------------------------- sample tables

// The values of a field or a table column found by path below an atom;
// empty when there is none.
std::vector<uint64_t> Column(MP4Atom* atom, const std::string& path) {
  MP4Property* p = nullptr;
  std::vector<uint64_t> v;
  if (!atom->FindProperty(path.c_str(), &p) || p->GetType() > Integer64Property) return v;
  for (uint32_t i = 0; i < p->GetCount(); i++) v.push_back(static_cast<MP4IntegerProperty*>(p)->GetValue(i));
  return v;
}

// Every sample of a track from its tables, the way the format defines them
// (the first-sample column of "stsc" is not used: it is checked against
// this).
std::vector<Packet> Samples(MP4Atom* stbl) {
  std::vector<Packet> out;
  const std::vector<uint64_t> counts = Column(stbl, "stbl.stts.entries.sampleCount");
  const std::vector<uint64_t> deltas = Column(stbl, "stbl.stts.entries.sampleDelta");
  int64_t t = 0;
  for (size_t i = 0; i < counts.size(); i++)
    for (uint64_t k = 0; k < counts[i]; k++, t += deltas[i]) out.push_back({t, t, 0, 0, true});
  const std::vector<uint64_t> ctsCounts = Column(stbl, "stbl.ctts.entries.sampleCount");
  const std::vector<uint64_t> ctsOffsets = Column(stbl, "stbl.ctts.entries.sampleOffset");
  for (size_t i = 0, n = 0; i < ctsCounts.size(); i++)
    for (uint64_t k = 0; k < ctsCounts[i] && n < out.size(); k++, n++)
      out[n].pts = out[n].dts + static_cast<int32_t>(ctsOffsets[i]);
  // Sizes: constant, 32-bit, or compact (two 4-bit sizes a byte, the
  // first in the upper half).
  if (stbl->FindAtom("stbl.stz2")) {
    const std::vector<uint64_t> e = Column(stbl, "stbl.stz2.entries.entrySize");
    const bool half = Column(stbl, "stbl.stz2.fieldSize").at(0) == 4;
    for (size_t n = 0; n < out.size(); n++) out[n].size = half ? (e.at(n / 2) >> (n % 2 ? 0 : 4)) & 15 : e.at(n);
  } else {
    const uint64_t constant = Column(stbl, "stbl.stsz.sampleSize").at(0);
    const std::vector<uint64_t> e = Column(stbl, "stbl.stsz.entries.entrySize");
    for (size_t n = 0; n < out.size(); n++) out[n].size = constant ? constant : e.at(n);
  }
  std::vector<uint64_t> offsets = Column(stbl, "stbl.stco.entries.chunkOffset");
  if (offsets.empty()) offsets = Column(stbl, "stbl.co64.entries.chunkOffset");
  const std::vector<uint64_t> firstChunk = Column(stbl, "stbl.stsc.entries.firstChunk");
  const std::vector<uint64_t> perChunk = Column(stbl, "stbl.stsc.entries.samplesPerChunk");
  size_t n = 0, run = 0;
  for (uint64_t chunk = 1; chunk <= offsets.size(); chunk++) {
    while (run + 1 < firstChunk.size() && firstChunk[run + 1] <= chunk) run++;
    uint64_t pos = offsets[chunk - 1];
    for (uint64_t k = 0; k < perChunk.at(run) && n < out.size(); k++, n++) {
      out[n].pos = pos;
      pos += out[n].size;
    }
  }
  const std::vector<uint64_t> sync = Column(stbl, "stbl.stss.entries.sampleNumber");
  if (stbl->FindAtom("stbl.stss")) {
    for (Packet& p : out) p.key = false;
    for (uint64_t s : sync) out.at(s - 1).key = true;
  }
  return out;
}

MP4Atom* Stbl(MP4Atom* root, uint32_t track) {
  return root->FindAtom(("moov.trak[" + std::to_string(track) + "].mdia.minf.stbl").c_str());
}

TEST_F(MP4Files, SampleTablesAgreeWithFFprobePackets) {
  int tracks = 0;
  for (const std::string& name : names) {
    if (name == "frag.mp4") continue;  // its samples are in the fragments
    TreeReader r(Data(name));
    ASSERT_EQ(r.Read(), "") << name;
    const std::map<int, std::vector<Packet>> packets = FFprobePackets(dir + name);
    for (uint32_t t = 0; MP4Atom* stbl = Stbl(r.Root(), t); t++) {
      std::vector<Packet> ours = Samples(stbl);
      // ffprobe reads a chapter track's samples as the chapters.
      if (!packets.count(t) || packets.at(t).empty()) {
        EXPECT_EQ(name, "chapters.mp4");
        continue;
      }
      // ffprobe drops composition offsets beyond 2^28 ticks, as those of the
      // 2e9 time scale are (the byte-exact write-back covers them), and
      // sync flags of data tracks (above).
      const bool data =
          std::none_of(packets.at(t).begin(), packets.at(t).end(), [](const Packet& p) { return p.key; });
      for (Packet& p : ours) {
        if (name == "version1.mp4") p.pts = p.dts;
        if (data) p.key = false;
      }
      EXPECT_EQ(ours, packets.at(t)) << name << " track " << t;
      tracks++;

      // The first sample of each run: one more than the samples that
      // ffprobe places in the chunks before the run's first chunk.
      std::vector<uint64_t> offsets = Column(stbl, "stbl.stco.entries.chunkOffset");
      const std::vector<uint64_t> firstChunk = Column(stbl, "stbl.stsc.entries.firstChunk");
      const std::vector<uint64_t> firstSample = Column(stbl, "stbl.stsc.entries.firstSample");
      ASSERT_EQ(firstSample.size(), firstChunk.size());
      for (size_t i = 0; i < firstChunk.size(); i++) {
        const uint64_t start = offsets.at(firstChunk[i] - 1);
        uint64_t before = 0;
        for (const Packet& p : packets.at(t)) before += p.pos < start;
        EXPECT_EQ(firstSample[i], before + 1) << name << " track " << t << " run " << i;
      }
    }
  }
  EXPECT_GE(tracks, 15);
}

TEST_F(MP4Files, ConfigurationsAreTheExtradata) {
  const std::map<std::string, std::string> files = {
      {"h264_aac.mp4", "avc1.avcC"}, {"ctts1.mp4", "avc1.avcC"}, {"meta.mov", "avc1.avcC"},
      {"hvc1.mp4", "hvc1.hvcC"},     {"hev1.mp4", "hev1.hvcC"}};
  for (const auto& f : files) {
    TreeReader r(Data(f.first));
    ASSERT_EQ(r.Read(), "") << f.first;
    MP4Atom* config = r.Root()->FindAtom(("moov.trak.mdia.minf.stbl.stsd." + f.second).c_str());
    ASSERT_NE(config, nullptr) << f.first;
    const Bytes extradata = FFprobeExtradata(dir + f.first);
    ASSERT_GT(extradata.size(), 20u) << f.first;
    Bytes body;
    if (f.second == "avc1.avcC") {
      // The fields as the library holds them, written back.
      body = WriteBack(r.file.get(), config);
      body.erase(body.begin(), body.begin() + 8);
      EXPECT_EQ(Column(config, "avcC.numOfSequenceParameterSets").at(0), 1u);
      EXPECT_EQ(Column(config, "avcC.sequenceEntries.sequenceParameterSetLength").at(0),
                Be(extradata, 6, 2));
    } else {
      MP4BytesProperty* data = static_cast<MP4BytesProperty*>(config->GetProperty(0));
      body.assign(data->GetValuePointer(), data->GetValuePointer() + data->GetValueSize());
    }
    EXPECT_EQ(body, extradata) << f.first;
  }
}

TEST_F(MP4Files, Version1HeadersHold64BitTimes) {
  TreeReader r(Data("version1.mp4"));
  ASSERT_EQ(r.Read(), "");
  const tu::RunResult d = tu::run("ffprobe -v error -show_entries stream=duration_ts -of default=nw=1:nk=1 " +
                                  tu::q(dir + "version1.mp4"));
  for (const char* header : {"moov.mvhd", "moov.trak.tkhd", "moov.trak.mdia.mdhd"}) {
    MP4Atom* a = r.Root()->FindAtom(header);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetVersion(), 1) << header;
    for (const char* field : {"creationTime", "modificationTime", "duration"})
      EXPECT_EQ(a->GetIntegerField(field)->GetType(), Integer64Property) << header << " " << field;
  }
  // 3 s in 2e9 units: beyond 32 bits.
  EXPECT_EQ(std::to_string(Value(r.Root(), "moov.trak.mdia.mdhd.duration")) + "\n", d.out);
  EXPECT_EQ(Value(r.Root(), "moov.trak.tkhd.duration"), 6000000000u);
  EXPECT_EQ(r.Root()->FindAtom("moov.trak.mdia.mdhd")->GetSize(), 36u);
  EXPECT_EQ(r.Root()->FindAtom("moov.trak.tkhd")->GetSize(), 96u);
}

TEST_F(MP4Files, FragmentFieldsAreTheBytes) {
  const Bytes data = Data("frag.mp4");
  const std::vector<Walked> boxes = Walk(data);
  TreeReader r(data);
  ASSERT_EQ(r.Read(), "");
  EXPECT_EQ(Value(r.Root(), "moof.mfhd.sequenceNumber"), 1u);
  const Walked* mfhd = Find(boxes, "mfhd");
  ASSERT_NE(mfhd, nullptr);
  EXPECT_EQ(Be(data, mfhd->offset + 12, 4), 1u);
  // Each field of the first fragment's headers and runs, decoded from the
  // bytes by flag.
  for (int traf = 0; traf < 2; traf++) {
    const std::string at = "moof.traf[" + std::to_string(traf) + "].";
    const Walked* tfhd = Find(boxes, "tfhd", traf);
    ASSERT_NE(tfhd, nullptr);
    uint64_t pos = tfhd->offset + 8;
    const uint64_t flags = Be(data, pos, 4) & 0xFFFFFF;
    EXPECT_EQ(Value(r.Root(), at + "tfhd.trackId"), Be(data, pos + 4, 4));
    pos += 8;
    const struct {
      uint32_t bit;
      const char* name;
      int width;
    } tfhdFields[] = {{1, "baseDataOffset", 8},        {2, "sampleDescriptionIndex", 4},
                      {8, "defaultSampleDuration", 4}, {0x10, "defaultSampleSize", 4},
                      {0x20, "defaultSampleFlags", 4}};
    for (const auto& f : tfhdFields) {
      const uint64_t v = Value(r.Root(), at + "tfhd." + f.name);
      if (!(flags & f.bit)) {
        EXPECT_EQ(v, UINT64_MAX) << f.name;
        continue;
      }
      EXPECT_EQ(v, Be(data, pos, f.width)) << f.name;
      pos += f.width;
    }
    const Walked* trun = Find(boxes, "trun", traf);
    ASSERT_NE(trun, nullptr);
    pos = trun->offset + 8;
    const uint64_t runFlags = Be(data, pos, 4) & 0xFFFFFF, count = Be(data, pos + 4, 4);
    EXPECT_EQ(Value(r.Root(), at + "trun.sampleCount"), count);
    pos += 8;
    for (const auto& f : {std::make_pair(1u, "dataOffset"), std::make_pair(4u, "firstSampleFlags")}) {
      if (!(runFlags & f.first)) continue;
      EXPECT_EQ(Value(r.Root(), at + "trun." + f.second), Be(data, pos, 4)) << f.second;
      pos += 4;
    }
    const struct {
      uint32_t bit;
      const char* name;
    } columns[] = {{0x100, "sampleDuration"}, {0x200, "sampleSize"}, {0x400, "sampleFlags"},
                   {0x800, "sampleCompositionTimeOffset"}};
    for (uint64_t row = 0; row < count; row++) {
      for (const auto& c : columns) {
        if (!(runFlags & c.bit)) continue;
        EXPECT_EQ(Value(r.Root(), at + "trun.samples[" + std::to_string(row) + "]." + c.name), Be(data, pos, 4));
        pos += 4;
      }
    }
    EXPECT_EQ(pos, trun->offset + trun->size);
  }
}

// ---------------------------------------------------------------- compact sizes, 64-bit offsets

TEST_F(MP4Files, CompactSizesAnd64BitOffsetsGiveTheSameSamples) {
  MakeSubtitled();
  const Bytes original = Data("subs.mp4");
  const std::map<int, std::vector<Packet>> before = FFprobePackets(dir + "subs.mp4");
  ASSERT_EQ(before.size(), 3u);

  for (const TableVariant& v : TableVariants()) {
    int64_t delta = 0;
    const Bytes rewritten = Rewrite(original, v.change, &delta);
    EXPECT_EQ(delta, 8) << v.name;
    const std::string path = dir + "rewritten.mp4";
    tu::write_file(path, rewritten);
    std::map<int, std::vector<Packet>> expected = before;
    for (auto& stream : expected)
      for (Packet& p : stream.second) p.pos += delta;
    // ffprobe reads the rewritten file the same way, and so does the library.
    EXPECT_EQ(FFprobePackets(path), expected) << v.name;
    TreeReader r(rewritten);
    ASSERT_EQ(r.Read(), "") << v.name;
    EXPECT_EQ(r.file->GetCreateFlags() & 1, 1u) << v.name;  // the 64-bit media data header
    EXPECT_NE(Stbl(r.Root(), 2)->FindAtom("stbl.stz2"), nullptr) << v.name;
    for (uint32_t t = 0; t < 3; t++) EXPECT_EQ(Samples(Stbl(r.Root(), t)), expected[t]) << v.name << " track " << t;
  }
  // ISO's field sizes are 4, 8 and 16: a 32 is refused, not read as bytes.
  int64_t delta = 0;
  TreeReader r(Rewrite(original, [](std::vector<Node>& f) { ToStz2(TrackTables(f, 1), 32); }, &delta));
  EXPECT_EQ(r.Read(), "MP4Stz2Atom::Read: stz2 field size 32 is none of 4, 8 and 16");
}

}  // namespace
