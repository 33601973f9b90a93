// HEVC streams built unit by unit: POC derivation at sequence starts, frame
// rate and aspect sources, and hostile parameter sets, SEI and slices. Each
// stream is indexed by the real ostrel; expectations come from the syntax
// elements the test wrote.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "hevc_bitwriter.h"
#include "hevc_streams.h"
#include "testutil.h"

using namespace hevc_test;

namespace {

// A stream under construction with the positions of its units (the 00 00 01
// of each, as a start-code scan sees them).
struct Stream {
  std::vector<uint8_t> bytes;
  std::vector<uint64_t> unit_pos;
  Stream& unit(int type, const std::vector<uint8_t>& rbsp, int temporal_id_plus1 = 1) {
    unit_pos.push_back(bytes.size() + 1);
    append(bytes, annexb(type, rbsp, temporal_id_plus1));
    return *this;
  }
  Stream& raw(const std::vector<uint8_t>& b) {
    unit_pos.push_back(bytes.size() + 1);
    append(bytes, b);
    return *this;
  }
  // A first slice segment; bits is the POC lsb width of the SPS.
  Stream& pic(int type, unsigned slice_type, uint32_t lsb, unsigned bits = 4, int tid_plus1 = 1) {
    return unit(type, slice_rbsp(type, slice_type, lsb, bits), tid_plus1);
  }
  uint64_t last() const { return unit_pos.back(); }
};

// VPS, SPS (MaxLsb 16 unless set) and PPS.
Stream headers(SpsOpts o = SpsOpts(), bool vps_timing = false) {
  o.log2_poc_lsb_minus4 = o.log2_poc_lsb_minus4 == 4 ? 0 : o.log2_poc_lsb_minus4;
  Stream s;
  s.unit(32, vps_rbsp(vps_timing, 1001, 30000));
  s.unit(33, sps_rbsp(o));
  s.unit(34, pps_rbsp());
  return s;
}

std::vector<std::string> index_stream(const Stream& s, const std::string& name,
                                      tu::RunResult* run = nullptr) {
  std::string path = tu::scratch(name);
  tu::write_file(path, s.bytes);
  return index_of(path, run);
}

std::vector<std::string> picture_lines(const std::vector<std::string>& kwi) {
  return tu::kwi_pictures(kwi);
}

}  // namespace

// ---------------------------------------------------------------- POC

TEST(HevcPoc, AnchorSkipsSubLayerNonReferencePictures) {
  // MaxLsb 16. Decode order: IDR 0, TRAIL_R 8, TRAIL_N 4, TRAIL_R lsb 0
  // (POC 16: anchored on 8, not on the non-reference 4), TRAIL_N lsb 12, a
  // TRAIL_R of temporal sub-layer 1 with lsb 14 (POC 14), TRAIL_R lsb 4
  // (POC 20: anchored on 16, not on the sub-layer-1 picture).
  Stream s = headers();
  s.pic(19, 2, 0);
  uint64_t idr = s.last();
  s.pic(1, 1, 8).pic(0, 0, 4).pic(1, 1, 0).pic(0, 0, 12).pic(1, 0, 14, 4, 2).pic(1, 1, 4);
  std::vector<std::string> kwi = index_stream(s, "slnr.hevc");
  EXPECT_EQ(picture_lines(kwi),
            (std::vector<std::string>{"IDR " + std::to_string(idr) + " 2 0", "TRAIL 0 4", "TRAIL 1 8",
                                      "TRAIL 0 12", "TRAIL 0 14", "TRAIL 1 16", "TRAIL 1 20"}));
  EXPECT_EQ(kwi_value(kwi, "CODED"), "7");
}

TEST(HevcPoc, FirstCraTakesItsLsb) {
  // A stream that begins with a CRA of lsb 12 (above MaxLsb / 2): POC 12,
  // its RASL pictures 10 and 11 before it, the trailing picture after.
  Stream s = headers();
  s.pic(21, 2, 12);
  uint64_t cra = s.last();
  s.pic(9, 0, 10).pic(8, 0, 11).pic(1, 1, 13);
  std::vector<std::string> kwi = index_stream(s, "cra.hevc");
  EXPECT_EQ(picture_lines(kwi), (std::vector<std::string>{"RASL 0 10", "RASL 0 11",
                                                          "CRA " + std::to_string(cra) + " 2 12", "TRAIL 1 13"}));
}

TEST(HevcPoc, CraAfterEndOfSequenceAndBlaStartNewRuns) {
  // IDR 0, 1, 2, 3; end of sequence; CRA lsb 1 -> POC 1 in a new run; 2;
  // BLA lsb 6 -> POC 6 in a new run, before its RADL lsb 5 in display order.
  Stream s = headers();
  s.pic(19, 2, 0);
  uint64_t idr = s.last();
  s.pic(1, 1, 2).pic(0, 0, 1).pic(1, 1, 3);
  s.raw({0, 0, 0, 1, 36 << 1, 1});
  s.pic(21, 2, 1);
  uint64_t cra = s.last();
  s.pic(1, 1, 2);
  s.pic(17, 2, 6);
  uint64_t bla = s.last();
  s.pic(7, 0, 5).pic(1, 1, 7);
  std::vector<std::string> kwi = index_stream(s, "eos.hevc");
  EXPECT_EQ(picture_lines(kwi),
            (std::vector<std::string>{"IDR " + std::to_string(idr) + " 2 0", "TRAIL 0 1", "TRAIL 1 2", "TRAIL 1 3",
                                      "CRA " + std::to_string(cra) + " 2 1", "TRAIL 1 2", "RADL 0 5",
                                      "BLA " + std::to_string(bla) + " 2 6", "TRAIL 1 7"}));
}

TEST(HevcPoc, DuplicatePocIsOnePictureExceptForCra) {
  // A second picture with the same non-zero POC (another layer) is no new
  // picture; two CRA pictures with equal POC are two; IDRs always count.
  Stream s = headers();
  s.pic(19, 2, 0).pic(19, 2, 0).pic(1, 1, 1).pic(1, 1, 1).pic(21, 2, 2).pic(21, 2, 2);
  std::vector<std::string> kwi = index_stream(s, "dup.hevc");
  std::vector<KwiPicture> pics = kwi_pictures_hevc(kwi);
  ASSERT_EQ(pics.size(), 5u);
  EXPECT_EQ(pics[0].kind, "IDR");
  EXPECT_EQ(pics[1].kind, "IDR");
  EXPECT_EQ(pics[2].kind, "TRAIL");
  EXPECT_EQ(pics[3].kind, "CRA");
  EXPECT_EQ(pics[4].kind, "CRA");
  EXPECT_EQ(kwi_value(kwi, "CODED"), "5");
}

TEST(HevcPoc, SlicesBeforeParameterSetsAndFurtherSegments) {
  Stream s;
  s.pic(19, 2, 0);                          // before any SPS/PPS: not counted
  s.unit(34, pps_rbsp());                   // PPS before the SPS: ignored, no line
  s.unit(32, vps_rbsp(false));
  s.unit(33, [] { SpsOpts o; o.log2_poc_lsb_minus4 = 0; return sps_rbsp(o); }());
  uint64_t sps = s.last();
  s.unit(34, pps_rbsp(2, true));            // 2 extra slice header bits, pic_output_flag
  uint64_t pps = s.last();
  // An IDR slice: no_output_of_prior_pics_flag, pps id, the 2 extra bits,
  // slice_type I, pic_output_flag.
  BitWriter w;
  w.u(1, 1).u(1, 0).ue(0).u(2, 3).ue(2).u(1, 1).u(8, 0xFF).trailing();
  s.unit(19, w.bytes());
  uint64_t idr = s.last();
  BitWriter seg;                            // a further segment of the same picture
  seg.u(1, 0).ue(0).u(8, 0xFF).trailing();
  s.unit(1, seg.bytes());
  BitWriter p;                              // P picture: extra bits, P, pic_output_flag, lsb 1
  p.u(1, 1).ue(0).u(2, 0).ue(1).u(1, 1).u(4, 1).u(8, 0xFF).trailing();
  s.unit(1, p.bytes());
  std::vector<std::string> kwi = index_stream(s, "gate.hevc");
  EXPECT_EQ(tu::kwi_with(kwi, "SPS "), std::vector<std::string>{"SPS " + std::to_string(sps)});
  EXPECT_EQ(tu::kwi_with(kwi, "PPS "), std::vector<std::string>{"PPS " + std::to_string(pps)});
  EXPECT_EQ(picture_lines(kwi), (std::vector<std::string>{"IDR " + std::to_string(idr) + " 2 0", "TRAIL 1 1"}));
}

// ---------------------------------------------------------------- rate, aspect, colour

TEST(HevcHeader, FrameRateSources) {
  struct Case {
    bool vps_unit, vps_timing, vui_timing;   // (a VPS is needed to detect the codec)
    uint32_t tick, scale;                   // VUI timing
    const char* fps;
  };
  const Case cases[] = {
      {true, true, true, 1001, 24000, "30000 / 1001"},   // the VPS's timing wins
      {true, false, true, 1001, 24000, "24000 / 1001"},  // VUI timing when the VPS has none
      {true, false, false, 0, 0, "25000 / 1000"},        // neither: the reset's 25 snapped
      {true, false, true, 0, 50, "25000 / 1000"},        // a zero tick is no rate
      {true, false, true, 1, 48, "48 / 1"},              // no band: kept
  };
  int n = 0;
  for (const Case& c : cases) {
    SpsOpts o;
    o.log2_poc_lsb_minus4 = 0;
    o.vui = c.vui_timing;
    o.v.timing = c.vui_timing;
    o.v.num_units_in_tick = c.tick;
    o.v.time_scale = c.scale;
    Stream s;
    if (c.vps_unit) s.unit(32, vps_rbsp(c.vps_timing, 1001, 30000));
    s.unit(33, sps_rbsp(o)).unit(34, pps_rbsp()).pic(19, 2, 0);
    std::vector<std::string> kwi = index_stream(s, "rate" + std::to_string(n++) + ".hevc");
    EXPECT_EQ(kwi_value(kwi, "FPS"), c.fps) << c.fps;
  }
}

TEST(HevcHeader, AspectColourAndChromaLocation) {
  struct Case {
    bool vui, aspect;
    unsigned idc, w, h;
    bool colour;
    unsigned transfer;
    uint64_t height;
    const char *aspect_line, *colorimetry, *chroma, *hint;
  };
  const Case cases[] = {
      {false, false, 0, 0, 0, false, 0, 240, "1 1", "2 2 2", "0", nullptr},
      {true, false, 0, 0, 0, false, 0, 240, "1 1", "2 2 2", "0", nullptr},
      {true, true, 0, 0, 0, false, 0, 240, "0 0", "2 2 2", "0", nullptr},
      {true, true, 14, 0, 0, false, 0, 240, "4 3", "2 2 2", "0", nullptr},
      {true, true, 255, 64, 45, true, 1, 240, "64 45", "1 1 1", "0", nullptr},
      {true, true, 1, 0, 0, true, 16, 1088, "1 1", "9 16 9", "2",
       "--colorprim bt2020 --transfer smpte2084 --colormatrix bt2020nc --frames 1 --chromaloc 0"},
      {true, false, 0, 0, 0, true, 16, 1090, "1 1", "9 16 9", "2",
       "--colorprim bt2020 --transfer smpte2084 --colormatrix bt2020nc --frames 1 --chromaloc 2"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SpsOpts o;
    o.log2_poc_lsb_minus4 = 0;
    o.height = c.height;
    o.vui = c.vui;
    o.v.aspect = c.aspect;
    o.v.aspect_idc = c.idc;
    o.v.sar_w = c.w;
    o.v.sar_h = c.h;
    o.v.signal = o.v.colour = c.colour;
    o.v.transfer = c.transfer;
    o.v.primaries = o.v.matrix = c.transfer == 16 ? 9 : 1;
    Stream s = headers(o);
    s.pic(19, 2, 0);
    std::string tag = "case " + std::to_string(n);
    std::vector<std::string> kwi = index_stream(s, "aspect" + std::to_string(n++) + ".hevc");
    EXPECT_EQ(kwi_value(kwi, "ASPECT"), c.aspect_line) << tag;
    EXPECT_EQ(kwi_value(kwi, "COLORIMETRY"), c.colorimetry) << tag;
    EXPECT_EQ(kwi_value(kwi, "CHROMA_LOCATION"), c.chroma) << tag;
    EXPECT_EQ(kwi_value(kwi, "X265_CL"), c.hint ? c.hint : "<none>") << tag;
    EXPECT_EQ(kwi_value(kwi, "SIZE"), "320 x " + std::to_string(c.height) + " ") << tag;
  }
}

// ---------------------------------------------------------------- hostile input

TEST(HevcHostile, RefusedSpsWritesNothingUntilAGoodOne) {
  struct Case {
    const char* name;
    void (*set)(SpsOpts&);
  };
  const Case cases[] = {
      {"conformance window eats the width", [](SpsOpts& o) { o.conf = true; o.conf_l = 100; o.conf_r = 60; }},
      {"conformance window beyond the height", [](SpsOpts& o) { o.conf = true; o.conf_b = 4000000000u; }},
      {"zero height", [](SpsOpts& o) { o.height = 0; }},
      {"too many short-term sets", [](SpsOpts& o) { o.num_rps_override = 100000; }},
      {"too many long-term pictures", [](SpsOpts& o) { o.long_term = true; o.num_long_term = 1u << 30; }},
      {"40-bit POC lsb", [](SpsOpts& o) { o.log2_poc_lsb_minus4 = 36; }},
      {"DPB of 17", [](SpsOpts& o) { o.max_dec_minus1 = 16; }},
      {"huge HRD CPB count", [](SpsOpts& o) { o.vui = o.v.timing = o.v.hrd = true; o.v.hrd_cpb_cnt_minus1 = 40; }},
  };
  int n = 0;
  for (const Case& c : cases) {
    SpsOpts bad;
    c.set(bad);
    Stream s;
    s.unit(32, vps_rbsp(false)).unit(33, sps_rbsp(bad)).unit(34, pps_rbsp()).pic(19, 2, 0);
    // Then a good SPS of another size, its PPS and two pictures.
    SpsOpts good;
    good.width = 176;
    good.height = 144;
    good.log2_poc_lsb_minus4 = 0;
    s.unit(33, sps_rbsp(good));
    uint64_t sps = s.last();
    s.unit(34, pps_rbsp()).pic(19, 2, 0).pic(1, 1, 1, 4);
    tu::RunResult run;
    std::vector<std::string> kwi = index_stream(s, "bad" + std::to_string(n++) + ".hevc", &run);
    EXPECT_EQ(run.status, 0) << c.name;
    EXPECT_NE(run.out.find("SPS"), std::string::npos) << c.name << ": " << run.out;
    EXPECT_EQ(tu::kwi_with(kwi, "DEVICE").size(), 1u) << c.name;
    EXPECT_EQ(tu::kwi_with(kwi, "SPS "), std::vector<std::string>{"SPS " + std::to_string(sps)}) << c.name;
    EXPECT_EQ(kwi_value(kwi, "SIZE"), "176 x 144 ") << c.name;
    EXPECT_EQ(kwi_value(kwi, "CODED"), "2") << c.name;
  }
}

TEST(HevcHostile, DamagedSeiStaysInsideItsUnit) {
  SpsOpts o;
  o.log2_poc_lsb_minus4 = 0;
  Stream s = headers(o);
  // Mastering payload claimed longer than the unit.
  s.unit(39, {137, 200, 1, 2, 3, 4, 0x80});
  // A type code of 0xFF bytes to the end of the unit.
  s.unit(39, std::vector<uint8_t>(300, 0xFF));
  // A size code of 0xFF bytes to the end.
  s.unit(39, {1, 0xFF, 0xFF, 0xFF});
  // Mastering and light level messages too short for their fields.
  s.unit(39, {137, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 144, 3, 1, 2, 3, 0x80});
  // Only a NAL header.
  s.unit(39, {});
  s.pic(19, 2, 0);
  tu::RunResult run;
  std::vector<std::string> kwi = index_stream(s, "sei.hevc", &run);
  EXPECT_TRUE(tu::kwi_with(kwi, "MASTERING").empty());
  EXPECT_TRUE(tu::kwi_with(kwi, "LIGHT").empty());
  EXPECT_TRUE(tu::kwi_with(kwi, "X265_CL").empty());
  EXPECT_EQ(kwi_value(kwi, "CODED"), "1");
}

TEST(HevcHostile, SeiMessagesWithoutStopByte) {
  SpsOpts o;
  o.log2_poc_lsb_minus4 = 0;
  Stream s = headers(o);
  // Light level 1000/400, then alternative transfer 18, and no 0x80: the
  // walk ends at the unit's end.
  s.unit(39, {144, 4, 0x03, 0xE8, 0x01, 0x90, 147, 1, 18});
  s.pic(19, 2, 0);
  std::vector<std::string> kwi = index_stream(s, "sei2.hevc");
  EXPECT_EQ(kwi_value(kwi, "LIGHT"), "1000 400");
  EXPECT_EQ(kwi_value(kwi, "PREFERRED TRANSFER CHARACTERISTICS"), "18");
  // A light-level SEI makes the stream PQ: the hint has no mastering part.
  EXPECT_EQ(kwi_value(kwi, "X265_CL"),
            "--colorprim unknown --transfer unknown --colormatrix unknown --max-cll \"1000,400\" --frames 1 --chromaloc 0");
}

TEST(HevcHostile, BrokenSliceHeadersAreSkipped) {
  SpsOpts o;
  o.log2_poc_lsb_minus4 = 0;
  Stream s = headers(o);
  s.pic(19, 2, 0);
  s.raw({0, 0, 1, 1 << 1});                 // NAL header cut after its first byte
  s.raw({0, 0, 1, 1 << 1, 1});              // NAL header only
  s.raw({0, 0, 1, 1 << 1, 1, 0x80});        // first_slice 1, then nothing
  s.unit(1, slice_rbsp(1, 7, 1, 4));        // slice_type 7
  s.pic(1, 1, 2);
  // Last unit (no zero byte of a following start code after it): bits
  // 1 1 010 111 = first_slice, pps id 0, slice_type P, then 3 of the 4 lsb bits.
  s.raw({0, 0, 1, 1 << 1, 1, 0xD7});
  tu::RunResult run;
  std::vector<std::string> kwi = index_stream(s, "slices.hevc", &run);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(picture_lines(kwi).size(), 2u);
  EXPECT_EQ(picture_lines(kwi).back(), "TRAIL 1 2");
}

TEST(HevcHostile, TruncatedAndGarbageInputs) {
  std::string y4m = make_y4m("src.y4m", "25", 30);
  std::string es = x265(y4m, "full.hevc", "--keyint 10 --repeat-headers");
  std::vector<uint8_t> full = tu::read_file(es);
  int coded_full = std::stoi(kwi_value(index_of(es), "CODED"));
  std::vector<uint64_t> cuts;
  // Cuts inside every parameter set after the first ones (the codec probe
  // needs a whole VPS, SPS and PPS) and through the pictures.
  std::vector<EsUnit> units = scan_nal_units(full);
  ASSERT_GT(units.size(), 4u);
  for (const EsUnit& u : units)
    if (u.type >= 32 && u.type <= 34 && u.pos > units[3].pos) cuts.push_back(u.pos + 9);
  for (uint64_t c = units[4].pos + 2; c < full.size(); c += full.size() / 7) cuts.push_back(c);
  for (uint64_t c : cuts) {
    std::string path = tu::scratch("cut" + std::to_string(c) + ".hevc");
    tu::write_file(path, std::vector<uint8_t>(full.begin(), full.begin() + long(c)));
    tu::RunResult run;
    std::vector<std::string> kwi = index_of(path, &run);
    std::string coded = kwi_value(kwi, "CODED");
    if (coded != "<none>") {
      EXPECT_LE(std::stoi(coded), coded_full) << c;
    }
  }

  // Random bytes after valid headers, with start codes of every type.
  std::mt19937 rng(7);
  std::vector<uint8_t> g(full.begin(), full.begin() + long(scan_nal_units(full)[4].pos));
  for (int i = 0; i < 3000; i++) {
    if (i % 40 == 0) append(g, {0, 0, 1, uint8_t(rng() & 0x7E), 1});
    g.push_back(uint8_t(rng()));
  }
  // Same with the bytes of the real stream flipped here and there.
  std::vector<uint8_t> flipped = full;
  for (size_t i = 100; i < flipped.size(); i += 53) flipped[i] ^= uint8_t(1 << (i % 8));
  int n = 0;
  for (const auto& bytes : {g, flipped}) {
    std::string path = tu::scratch("garbage" + std::to_string(n++) + ".hevc");
    tu::write_file(path, bytes);
    tu::RunResult run;
    index_of(path, &run);
    EXPECT_EQ(run.status, 0);
  }
}

// ---------------------------------------------------------------- slice heads

namespace {

// A first slice segment (MaxLsb 2^16, a PPS with 7 extra slice header bits)
// whose slice_pic_parameter_set_id is coded with `zeros` leading zero bits
// (a code of more than 31 reads as 0 with no suffix), then the 7 extra bits,
// slice_type, the POC lsb and `data` bytes of slice data. The zero runs make
// emulation-prevention bytes in the header; *head_bytes is the header's
// length in payload bytes.
std::vector<uint8_t> zero_run_slice(int type, unsigned slice_type, uint32_t lsb, int zeros, size_t data,
                                    size_t* head_bytes) {
  BitWriter w;
  w.u(1, 1);
  if (type >= 16) w.u(1, 0);
  for (int i = 0; i < zeros; i++) w.u(1, 0);
  w.u(1, 1);
  if (zeros <= 31) w.u(zeros, 0);
  w.u(7, 0).ue(slice_type);
  if (type != 19 && type != 20) w.u(16, lsb);
  *head_bytes = (w.bit_count() + 7) / 8;
  std::mt19937 rng(static_cast<unsigned>(data));
  w.align(1);
  for (size_t i = 0; i < data; i++) w.u(8, rng() & 0xFF);
  return w.trailing().bytes();
}

}  // namespace

TEST(HevcSliceHead, EmulationPreventionInHeadersAndHeadersPastTheHead) {
  // Slices far longer than the part of a slice the analysis cleans, with
  // emulation-prevention bytes inside the fields it reads, and two headers
  // that run on past that part: one that ends (the pps id code spans
  // thousands of zero bits) and one that never does (skipped with one
  // message, as a whole unit cleaned would be).
  Stream s;
  s.unit(32, vps_rbsp(false));
  SpsOpts o;
  o.log2_poc_lsb_minus4 = 12;
  s.unit(33, sps_rbsp(o));
  s.unit(34, pps_rbsp(7));
  struct Pic {
    int type;
    unsigned slice_type;
    uint32_t lsb;
    int zeros;
    size_t data;
  };
  const Pic pics[] = {{19, 2, 0, 31, 3000},   {1, 1, 2, 40, 2000}, {0, 0, 1, 20, 1500},
                      {21, 2, 4, 3000, 1000}, {1, 1, 5, 0, 5000}};
  std::vector<uint64_t> pos;
  for (const Pic& p : pics) {
    size_t head = 0;
    std::vector<uint8_t> rbsp = zero_run_slice(p.type, p.slice_type, p.lsb, p.zeros, p.data, &head);
    if (p.zeros > 0) {
      const std::vector<uint8_t> header(rbsp.begin(), rbsp.begin() + long(head));
      EXPECT_GT(tu::escape(header).size(), header.size()) << "no emulation prevention in the header";
    }
    s.unit(p.type, rbsp);
    pos.push_back(s.last());
  }
  BitWriter endless;  // first_slice 1, then a pps id code that the unit ends inside
  endless.u(1, 1);
  for (int i = 0; i < 16000; i++) endless.u(1, 0);
  s.unit(1, endless.trailing().bytes());
  const uint64_t endless_pos = s.last();

  // The independent scan finds the units where the generator put them.
  std::vector<uint64_t> scanned;
  for (const EsUnit& u : scan_nal_units(s.bytes))
    if (u.type <= 21) scanned.push_back(u.pos);
  std::vector<uint64_t> written = pos;
  written.push_back(endless_pos);
  EXPECT_EQ(scanned, written);

  tu::RunResult run;
  std::vector<std::string> kwi = index_stream(s, "zeroheads.hevc", &run);
  EXPECT_EQ(picture_lines(kwi), (std::vector<std::string>{"IDR " + std::to_string(pos[0]) + " 2 0", "TRAIL 0 1",
                                                          "TRAIL 1 2", "CRA " + std::to_string(pos[3]) + " 2 4",
                                                          "TRAIL 1 5"}));
  const std::string skipped = "HEVC slice at " + std::to_string(endless_pos) + " skipped: BitstreamReader: not enough data";
  EXPECT_NE(run.out.find(skipped), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("skipped"), run.out.rfind("skipped")) << run.out;

  // In Matroska (one picture each 40 ms), where a slice is read only as far
  // as a head, the headers that run past it are read whole all the same.
  // The frame of the unreadable header was read, so its picture keeps its
  // place by its time: at 200 ms, one frame after the count 5 at 160 ms, as
  // a picture of unknown type (listed as P).
  const std::string mkv = tu::scratch("zeroheads.mkv");
  ASSERT_EQ(tu::run("ffmpeg -v error -y -f hevc -r 25 -i " + tu::q(tu::scratch("zeroheads.hevc")) + " -c copy " +
                    tu::q(mkv) + " 2>&1")
                .status,
            0);
  kwi = index_of(mkv, &run);
  EXPECT_EQ(picture_lines(kwi), (std::vector<std::string>{"IDR 0 2 0", "TRAIL 0 1", "TRAIL 1 2", "CRA 120000000 2 4",
                                                          "TRAIL 1 5", "TRAIL 1 6"}));
  EXPECT_NE(run.out.find("skipped: BitstreamReader: not enough data"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("skipped"), run.out.rfind("skipped")) << run.out;
}
