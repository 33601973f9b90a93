// Stream readers: sent to every group and parameter-set position of real
// Ostrel indexes (ES, PS, MPEG-1 system stream, TS, M2TS, split inputs),
// the first unit has the expected type, and the units read on from the first
// group are the source elementary stream's units (start-code scan). Hostile
// packets and oversized units stay within the buffers.
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "decoder.h"
#include "plugintest.h"
#include "testutil.h"

namespace {

typedef std::vector<uint8_t> Bytes;

std::unique_ptr<CAVCDecoder> Open(const std::string& kwi) {
  std::unique_ptr<CAVCDecoder> d(new CAVCDecoder);
  const char letter = tu::lines(tu::read_text(kwi)).at(0).at(2);
  int r = -1;
  switch (letter) {
    case 'A': d->codec = CODEC_AVC; d->get_unit = &CAVCDecoder::GetAVCNALU; r = d->Open(kwi.c_str()); break;
    case 'H': d->codec = CODEC_HEVC; d->get_unit = &CAVCDecoder::GetAVCNALU; r = d->OpenHEVC(kwi.c_str()); break;
    case 'M': d->codec = CODEC_MPEG2; d->get_unit = &CAVCDecoder::GetVC1NALU; r = d->OpenMPG(kwi.c_str()); break;
    default: d->codec = CODEC_VC1; d->get_unit = &CAVCDecoder::GetVC1NALU; r = d->OpenVC1(kwi.c_str()); break;
  }
  EXPECT_EQ(r, 0) << kwi;
  return d;
}

// The next unit's bytes, or empty at the end.
Bytes NextUnit(CAVCDecoder& d) {
  if ((d.*d.get_unit)() != 1) return Bytes();
  return Bytes(d.unit.buf, d.unit.buf + d.unit.len);
}

Bytes StripZeros(Bytes b) {
  while (b.size() > 3 && b.back() == 0) b.pop_back();
  return b;
}

// Units of an elementary stream by a start-code scan, trailing zeros dropped.
std::vector<Bytes> EsUnits(const Bytes& es) {
  std::vector<tu::ScanUnit> sc = tu::scan_start_codes(es);
  std::vector<Bytes> units;
  for (size_t i = 0; i < sc.size(); ++i) {
    const size_t end = i + 1 < sc.size() ? sc[i + 1].pos : es.size();
    units.push_back(StripZeros(Bytes(es.begin() + sc[i].pos, es.begin() + end)));
  }
  return units;
}

int AvcType(const Bytes& u) { return u.size() > 3 ? u[3] & 31 : -1; }
int HevcType(const Bytes& u) { return u.size() > 3 ? (u[3] >> 1) & 63 : -1; }

// Positions named by the index lines that begin with the keyword.
std::vector<u64> Positions(const std::string& kwi, const std::string& keyword) {
  std::vector<u64> v;
  for (const std::string& l : tu::kwi_with(tu::kwi_lines(kwi), keyword + " "))
    v.push_back(std::stoull(l.substr(keyword.size() + 1)));
  return v;
}

// Sends the reader to every group and parameter-set position, checks the
// first unit's kind, and then reads on from the first group to the end:
// those units, less the ones the muxer added (skip), must be the source's
// units from the first group's unit on.
void CheckReader(const std::string& kwi, const Bytes& es, std::function<bool(const Bytes&)> group_unit,
                 std::function<bool(const Bytes&)> sps_unit, std::function<bool(const Bytes&)> pps_unit,
                 std::function<bool(const Bytes&)> skip) {
  auto d = Open(kwi);
  ASSERT_FALSE(d->groups.empty());
  std::vector<Bytes> source;
  for (Bytes& u : EsUnits(es))
    if (!skip(u)) source.push_back(std::move(u));
  for (size_t g = 0; g < d->groups.size(); ++g) {
    d->AlignStream(d->groups[g].position);
    const Bytes u = StripZeros(NextUnit(*d));
    ASSERT_FALSE(u.empty()) << "group " << g << " at " << d->groups[g].position;
    EXPECT_TRUE(group_unit(u)) << "group " << g << " first byte " << int(u[3]);
    EXPECT_NE(std::find(source.begin(), source.end(), u), source.end())
        << "group " << g << ": the unit is not one of the source's";
  }
  for (u64 p : d->sps_list) {
    d->AlignStream(p);
    EXPECT_TRUE(sps_unit(StripZeros(NextUnit(*d)))) << "SPS at " << p;
  }
  for (u64 p : d->pps_list) {
    d->AlignStream(p);
    EXPECT_TRUE(pps_unit(StripZeros(NextUnit(*d)))) << "PPS at " << p;
  }
  // Read on from the first group.
  d->AlignStream(d->groups[0].position);
  std::vector<Bytes> read;
  for (Bytes u; !(u = NextUnit(*d)).empty();) {
    u = StripZeros(u);
    if (!skip(u)) read.push_back(u);
  }
  ASSERT_FALSE(read.empty());
  auto at = std::find(source.begin(), source.end(), read[0]);
  ASSERT_NE(at, source.end());
  const std::vector<Bytes> expected(at, source.end());
  ASSERT_EQ(read.size(), expected.size());
  for (size_t i = 0; i < read.size(); ++i) ASSERT_TRUE(read[i] == expected[i]) << "unit " << i;
}

bool Never(const Bytes&) { return false; }

struct Avc {
  static bool Group(const Bytes& u) { return AvcType(u) == 5 || AvcType(u) == 1; }
  static bool Sps(const Bytes& u) { return AvcType(u) == 7; }
  static bool Pps(const Bytes& u) { return AvcType(u) == 8; }
  static bool Aud(const Bytes& u) { return AvcType(u) == 9; }
};

class StreamReaders : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Each test may run in its own process (ctest -j): one folder per process.
    dir_ = tu::scratch("streams-" + std::to_string(getpid())) + "/";
    tu::run("mkdir -p " + tu::q(dir_));
    avc_ = dir_ + "a.264";
    ASSERT_TRUE(pt::MakeH264(avc_, 60, "-x264-params keyint=12:min-keyint=12"));
    mpg_ = dir_ + "m.m2v";
    ASSERT_TRUE(pt::MakeMpeg2(mpg_, 36));
  }
  static std::string dir_, avc_, mpg_;
};
std::string StreamReaders::dir_, StreamReaders::avc_, StreamReaders::mpg_;

}  // namespace

TEST_F(StreamReaders, AvcElementaryStream) {
  const std::string kwi = pt::Index(tu::q(avc_), dir_ + "es.kwi");
  CheckReader(kwi, tu::read_file(avc_), Avc::Group, Avc::Sps, Avc::Pps, Never);
}

TEST_F(StreamReaders, AvcTransportStreams) {
  for (const char* mode : {"0", "1"}) {  // 188-byte packets, then 192-byte M2TS
    // Encoded straight into the transport stream (a raw stream carries no
    // time stamps to mux with); the reference is the stream copied back out.
    const std::string ts = dir_ + "a" + mode + ".ts", es = dir_ + "a" + mode + ".264";
    ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=25 -frames:v 50 -c:v libx264 -preset "
                           "ultrafast -g 12 -bf 2 -f mpegts -mpegts_m2ts_mode " + std::string(mode) + " " + tu::q(ts)));
    ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(ts) + " -c copy -f h264 " + tu::q(es)));
    const std::string kwi = pt::Index(tu::q(ts), dir_ + "a" + mode + ".kwi");
    ASSERT_EQ(tu::kwi_with(tu::kwi_lines(kwi), "PKTSIZ").at(0), std::string("PKTSIZ ") + (*mode == '1' ? "192" : "188"));
    CheckReader(kwi, tu::read_file(es), Avc::Group, Avc::Sps, Avc::Pps, Avc::Aud);
  }
}

TEST_F(StreamReaders, AvcProgramStream) {
  const std::string ps = dir_ + "a.vob";
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=25 -frames:v 60 -c:v libx264 -preset ultrafast "
                         "-g 12 -bf 2 -f vob " + tu::q(ps)));
  const std::string es = dir_ + "vob.264";
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(ps) + " -c copy -f h264 " + tu::q(es)));
  const std::string kwi = pt::Index(tu::q(ps), dir_ + "ps.kwi");
  ASSERT_EQ(tu::kwi_with(tu::kwi_lines(kwi), "STREAM").at(0), "STREAM 3 6");
  // Some groups lie more than 8192 bytes into the file, inside PES packets.
  EXPECT_GT(Positions(kwi, "IDR").back(), 8192u);
  CheckReader(kwi, tu::read_file(es), Avc::Group, Avc::Sps, Avc::Pps, Avc::Aud);
}

TEST_F(StreamReaders, AvcSplitAcrossInputFiles) {
  // Two files cut in the middle of a unit: positions run on across the cut.
  const Bytes es = tu::read_file(avc_);
  const size_t cut = es.size() / 2 + 17;
  tu::write_file(dir_ + "part1.264", Bytes(es.begin(), es.begin() + cut));
  tu::write_file(dir_ + "part2.264", Bytes(es.begin() + cut, es.end()));
  const std::string kwi = pt::Index(tu::q(dir_ + "part1.264") + " " + tu::q(dir_ + "part2.264"), dir_ + "split.kwi");
  auto d = Open(kwi);
  ASSERT_EQ(d->files.size(), 2u);
  int file;
  u64 offset;
  d->PosToFileAndOffset(cut, &file, &offset);
  EXPECT_EQ(file, 0);
  EXPECT_EQ(offset, cut) << "the end of a file maps to that file";
  d->PosToFileAndOffset(cut + 1, &file, &offset);
  EXPECT_EQ(file, 1);
  EXPECT_EQ(offset, 1u);
  CheckReader(kwi, es, Avc::Group, Avc::Sps, Avc::Pps, Never);
}

TEST_F(StreamReaders, Mpeg2InElementaryProgramAndTransportStreams) {
  const Bytes es = tu::read_file(mpg_);
  auto seq = [](const Bytes& u) { return u.size() > 3 && u[3] == 0xB3; };
  CheckReader(pt::Index(tu::q(mpg_), dir_ + "m.kwi"), es, seq, Never, Never, Never);
  // MPEG-2 program stream (type 6) and MPEG-1 system stream (type 5).
  const struct {
    const char* format;
    const char* name;
    const char* stream;
  } muxes[] = {{"vob", "m.vob", "STREAM 3 6"}, {"mpeg", "m.mpg", "STREAM 3 5"}};
  for (const auto& m : muxes) {
    const std::string ps = dir_ + m.name;
    ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(mpg_) + " -c copy -f " + m.format + " " + tu::q(ps)));
    const std::string kwi = pt::Index(tu::q(ps), ps + ".kwi");
    ASSERT_EQ(tu::kwi_with(tu::kwi_lines(kwi), "STREAM").at(0), m.stream);
    CheckReader(kwi, es, seq, Never, Never, Never);
  }
  const std::string ts = dir_ + "m.ts";
  ASSERT_TRUE(tu::ffmpeg("-fflags +genpts -i " + tu::q(mpg_) + " -c copy -f mpegts " + tu::q(ts)));
  CheckReader(pt::Index(tu::q(ts), dir_ + "mts.kwi"), es, seq, Never, Never, Never);
}

TEST_F(StreamReaders, HevcElementaryAndTransportStreams) {
  const std::string es = dir_ + "h.265";
  ASSERT_TRUE(pt::MakeHevc(es, 30, "-x265-params log-level=error:keyint=10:open-gop=1"));
  auto irap = [](const Bytes& u) { return HevcType(u) >= 16 && HevcType(u) <= 21; };
  auto sps = [](const Bytes& u) { return HevcType(u) == 33; };
  auto pps = [](const Bytes& u) { return HevcType(u) == 34; };
  auto aud = [](const Bytes& u) { return HevcType(u) == 35; };
  CheckReader(pt::Index(tu::q(es), dir_ + "h.kwi"), tu::read_file(es), irap, sps, pps, Never);
  const std::string ts = dir_ + "h.m2ts", tes = dir_ + "hts.265";
  ASSERT_TRUE(pt::MakeHevc(ts, 30, "-x265-params log-level=error:keyint=10:open-gop=1 -f mpegts -mpegts_m2ts_mode 1"));
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(ts) + " -c copy -f hevc " + tu::q(tes)));
  CheckReader(pt::Index(tu::q(ts), dir_ + "hts.kwi"), tu::read_file(tes), irap, sps, pps, aud);
}

TEST_F(StreamReaders, Vc1SharedSamples) {
  const std::string base = std::string(SHARED_TESTDATA) + "/vc1/vc1_ap_1080_pulldown";
  if (!tu::exists(base + ".vc1")) GTEST_SKIP();
  const Bytes es = tu::read_file(base + ".vc1");
  auto seq = [](const Bytes& u) { return u.size() > 3 && u[3] == 0x0F; };
  CheckReader(pt::Index(tu::q(base + ".vc1"), dir_ + "v.kwi"), es, seq, Never, Never, Never);
  CheckReader(pt::Index(tu::q(base + ".m2ts"), dir_ + "vts.kwi"), es, seq, Never, Never, Never);
}

// ---------------------------------------------------------------- unit readers and hostile data

namespace {

// A decoder over one elementary-stream file written from bytes.
std::unique_ptr<CAVCDecoder> OverBytes(const std::string& path, const Bytes& bytes, int container = CONTAINER_ES,
                                       int pktsiz = 188, int pid = 0x100, int ps_type = 6) {
  tu::write_file(path, bytes);
  std::unique_ptr<CAVCDecoder> d(new CAVCDecoder);
  InputFile f;
  f.name = path;
  f.size = bytes.size();
  f.fp = fopen(path.c_str(), "rb");
  d->files.push_back(std::move(f));
  d->stream_type = container;
  d->pktsiz = pktsiz;
  d->vpid = pid;
  d->program_stream_type = ps_type;
  d->get_byte = container == CONTAINER_TS   ? &CAVCDecoder::GetTSByte
                : container == CONTAINER_PS ? &CAVCDecoder::GetPSByte
                                            : &CAVCDecoder::GetRawByte;
  return d;
}

void Append(Bytes& b, std::initializer_list<int> v) {
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
}

}  // namespace

TEST(UnitReaders, PrefixesAndTrailingZeros) {
  const std::string dir = tu::scratch("");
  // 00 00 00 01 67 ..  00 00 00 01 68 ..  00 00 01 65 ..
  Bytes b;
  Append(b, {0xAA, 0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3, 0, 0, 1, 0x65, 4, 5, 6});
  auto d = OverBytes(dir + "u.264", b);
  d->AlignStream(0);
  ASSERT_EQ(d->GetAVCNALU(), 1);
  EXPECT_EQ(d->unit.len, 6u) << "garbage before the first start code is skipped; no trailing zero";
  EXPECT_EQ(d->unit.startcodeprefix_len, 3);
  EXPECT_EQ(d->unit.nal_unit_type, 7);
  EXPECT_EQ(d->unit.nal_reference_idc, 3);
  ASSERT_EQ(d->GetAVCNALU(), 1);
  EXPECT_EQ(d->unit.len, 5u);
  EXPECT_EQ(d->unit.nal_unit_type, 8);
  ASSERT_EQ(d->GetAVCNALU(), 1);
  EXPECT_EQ(d->unit.len, 7u) << "the last unit runs to the end of input";
  EXPECT_EQ(d->GetAVCNALU(), 0);
  EXPECT_EQ(d->GetAVCNALU(), 0);

  // The start-code reader of VC-1 and MPEG-2 keeps the zeros.
  d->AlignStream(0);
  ASSERT_EQ(d->GetVC1NALU(), 1);
  EXPECT_EQ(d->unit.len, 7u);
  // A trailing scrap of fewer than 5 bytes is no unit.
  Bytes scrap;
  Append(scrap, {0, 0, 1, 0x0F, 1, 2, 0, 0, 1, 9});
  d = OverBytes(dir + "scrap.vc1", scrap);
  d->AlignStream(0);
  ASSERT_EQ(d->GetVC1NALU(), 1);
  EXPECT_EQ(d->GetVC1NALU(), 0);
}

TEST(UnitReaders, OversizedUnitsAndMissingStartCodes) {
  const std::string dir = tu::scratch("");
  // A unit a megabyte longer than the unit buffer is cut to it; the next
  // unit is whole.
  Bytes big;
  Append(big, {0, 0, 1, 0x65});
  big.resize(UNIT_BUFFER_SIZE + 1000000, 0xFF);
  Append(big, {0, 0, 1, 0x41, 7, 7, 7});
  auto d = OverBytes(dir + "big.264", big);
  d->AlignStream(0);
  ASSERT_EQ(d->GetAVCNALU(), 1);
  EXPECT_EQ(d->unit.len, UNIT_BUFFER_SIZE);
  ASSERT_EQ(d->GetAVCNALU(), 1);
  EXPECT_EQ(d->unit.len, 7u);
  EXPECT_EQ(d->unit.nal_unit_type, 1);

  // No start code within the unit buffer's size: -1.
  Bytes none(UNIT_BUFFER_SIZE + 10, 0x55);
  d = OverBytes(dir + "none.264", none);
  d->AlignStream(0);
  EXPECT_EQ(d->GetAVCNALU(), -1);

  // A position past the end yields no unit.
  d = OverBytes(dir + "short.264", Bytes{0, 0, 1, 0x65, 1, 2, 3});
  d->AlignStream(1000);
  EXPECT_EQ(d->GetAVCNALU(), 0);
}

namespace {

// One 188-byte transport packet on pid with the given header bytes after
// the four-byte header, payload filled with fill.
Bytes Packet(int pid, bool unit_start, int afc, const Bytes& after_header, uint8_t fill = 0xEE) {
  Bytes p = {0x47, static_cast<uint8_t>((unit_start ? 0x40 : 0) | (pid >> 8)), static_cast<uint8_t>(pid & 0xFF),
             static_cast<uint8_t>(0x10 * afc)};
  p.insert(p.end(), after_header.begin(), after_header.end());
  p.resize(188, fill);
  return p;
}

Bytes PesStart(int header_len, const Bytes& payload) {
  Bytes b = {0, 0, 1, 0xE0, 0, 0, 0x80, 0x00, static_cast<uint8_t>(header_len)};
  b.insert(b.end(), static_cast<size_t>(header_len), 0xFF);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

}  // namespace

TEST(TransportReader, HostileLengthsAreBoundedByThePacket) {
  const std::string dir = tu::scratch("");
  Bytes ts;
  const Bytes unit = {0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0xA0};
  // An adaptation field claiming 250 bytes: no payload from this packet.
  Bytes a = Packet(0x100, false, 3, {250, 0, 0, 1, 0x67, 1, 1, 1});
  ts.insert(ts.end(), a.begin(), a.end());
  // A PES header claiming 200 bytes of header data: no payload.
  Bytes b = Packet(0x100, true, 1, PesStart(200, {0, 0, 1, 0x68, 2, 2, 2}));
  b.resize(188);
  ts.insert(ts.end(), b.begin(), b.end());
  // Reserved adaptation_field_control 0 and a packet of another PID.
  Bytes c = Packet(0x100, false, 0, {0, 0, 1, 0x66, 6, 6});
  ts.insert(ts.end(), c.begin(), c.end());
  Bytes e = Packet(0x101, true, 1, PesStart(0, {0, 0, 1, 0x69, 9, 9}));
  ts.insert(ts.end(), e.begin(), e.end());
  // Adaptation-only packet with a short adaptation field: no payload either.
  Bytes f = Packet(0x100, false, 2, {3, 0, 0, 0, 0, 0, 1, 0x6A, 1, 1, 1});
  ts.insert(ts.end(), f.begin(), f.end());
  // Then one good packet carrying a unit.
  Bytes g = Packet(0x100, true, 1, PesStart(5, unit), 0);
  ts.insert(ts.end(), g.begin(), g.end());
  // And one more unit, which ends the good one (its zeros are dropped).
  Bytes h = Packet(0x100, true, 1, PesStart(0, {0, 0, 1, 0x09, 0xF0}));
  ts.insert(ts.end(), h.begin(), h.end());
  auto d = OverBytes(dir + "hostile.ts", ts, CONTAINER_TS);
  d->AlignStream(0);
  ASSERT_EQ(d->GetAVCNALU(), 1);
  EXPECT_EQ(Bytes(d->unit.buf, d->unit.buf + d->unit.len), unit) << "only the good packet's unit is read";
  ASSERT_EQ(d->GetAVCNALU(), 1);
  EXPECT_EQ(d->unit.nal_unit_type, 9);
  EXPECT_EQ(d->GetAVCNALU(), 0);

  // Truncated in the middle of a packet header, and pure garbage: the reader
  // ends cleanly.
  for (size_t cut : {1u, 3u, 5u, 190u, 200u, 400u}) {
    d = OverBytes(dir + "cut.ts", Bytes(ts.begin(), ts.begin() + std::min(cut, ts.size())), CONTAINER_TS);
    d->AlignStream(0);
    while (d->GetAVCNALU() == 1) {
    }
  }
  Bytes garbage(20000);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  for (size_t i = 0; i < garbage.size(); i += 97) garbage[i] = 0x47;
  for (int size : {188, 192, 204}) {
    d = OverBytes(dir + "garbage.ts", garbage, CONTAINER_TS, size);
    for (u64 pos : {0u, 100u, 5000u, 19990u, 30000u}) {
      d->AlignStream(pos);
      for (int n = 0; n < 1000 && d->GetAVCNALU() == 1; ++n) {
      }
    }
  }
}

TEST(ProgramReader, HostileLengthsAreBoundedByThePacket) {
  const std::string dir = tu::scratch("");
  const Bytes unit = {0, 0, 1, 0xB3, 0x14, 0x00, 0xF0, 0x13, 0x77};
  Bytes ps;
  Append(ps, {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8});  // pack header
  // A video packet whose header data length runs past its packet length.
  Append(ps, {0, 0, 1, 0xE0, 0, 6, 0x80, 0x80, 200, 0, 0, 1});
  // Private stream 1 skipped by its length.
  Append(ps, {0, 0, 1, 0xBD, 0, 4, 0, 0, 1, 0xB3});
  // A good video packet.
  Append(ps, {0, 0, 1, 0xE0, 0, static_cast<int>(3 + unit.size()), 0x80, 0x00, 0});
  ps.insert(ps.end(), unit.begin(), unit.end());
  // A packet claiming 65535 bytes at the end of the file.
  Append(ps, {0, 0, 1, 0xC0, 0xFF, 0xFF, 1, 2, 3});
  auto d = OverBytes(dir + "hostile.vob", ps, CONTAINER_PS);
  d->AlignStream(0);
  ASSERT_EQ(d->GetVC1NALU(), 1);
  EXPECT_EQ(Bytes(d->unit.buf, d->unit.buf + d->unit.len), unit);
  EXPECT_EQ(d->GetVC1NALU(), 0);

  // MPEG-1 form: stuffing that runs past the packet delivers nothing.
  Bytes m1;
  Append(m1, {0, 0, 1, 0xE0, 0, 4, 0xFF, 0xFF, 0xFF, 0xFF});
  Append(m1, {0, 0, 1, 0xE0, 0, static_cast<int>(8 + unit.size()), 0xFF, 0x40, 0x10, 0x21, 0, 1});
  m1.resize(m1.size() + 2, 1);  // rest of the PTS: 0x21 + 4 bytes
  m1.insert(m1.end(), unit.begin(), unit.end());
  d = OverBytes(dir + "m1.mpg", m1, CONTAINER_PS, 188, 0, 5);
  d->AlignStream(0);
  ASSERT_EQ(d->GetVC1NALU(), 1);
  // STD buffer fields (2 bytes) then a PTS (5 bytes) precede the payload.
  EXPECT_EQ(Bytes(d->unit.buf, d->unit.buf + d->unit.len), Bytes(unit.begin(), unit.end()));

  // Alignment inside a packet resumes at exactly the target byte, also in
  // the MPEG-1 form; cuts and garbage end cleanly.
  d = OverBytes(dir + "m1.mpg", m1, CONTAINER_PS, 188, 0, 5);
  d->AlignStream(m1.size() - unit.size());
  ASSERT_EQ(d->GetVC1NALU(), 1);
  EXPECT_EQ(Bytes(d->unit.buf, d->unit.buf + d->unit.len), unit);
  for (size_t cut = 0; cut < ps.size(); cut += 3) {
    for (int type : {5, 6}) {
      d = OverBytes(dir + "cut.vob", Bytes(ps.begin(), ps.begin() + cut), CONTAINER_PS, 188, 0, type);
      d->AlignStream(cut / 2);
      while (d->GetVC1NALU() == 1) {
      }
    }
  }
}
