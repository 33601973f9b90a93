// Runs that fail after the index file was begun leave no index behind, in
// every container: a partial index (head lines, some pictures) would pass
// for the whole. The failures here end the run from inside the reading and
// the analysis, not at its end-of-run checks: an H.264 stream whose SPS has
// pic_order_cnt_type 3 (the analysis cannot count its pictures' order), and
// a unit longer than the unit reader holds.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../matroska/mkvmem.h"
#include "h264_writer.h"
#include "testutil.h"
#include "ts_streams.h"

namespace {

using namespace h264w;

// Parameter sets and slices of an H.264 stream with picture order count
// type 3, as NAL units without start codes: SPS, PPS, then three IDR/P
// slices.
std::vector<std::vector<uint8_t>> bad_order_units() {
  Sps s;
  s.poc_type = 3;
  std::vector<std::vector<uint8_t>> units = {nal(3, 7, sps_rbsp(s)), nal(3, 8, pps_rbsp(Pps{}))};
  for (int k = 0; k < 3; ++k) {
    Slice sl;
    sl.nal_type = k == 0 ? 5 : 1;
    sl.slice_type = k == 0 ? 7 : 5;
    sl.frame_num = k;
    sl.frame_num_bits = s.log2_max_frame_num_minus4 + 4;
    sl.poc_type = 3;
    units.push_back(nal(2, sl.nal_type, slice_rbsp(sl)));
  }
  for (auto& u : units) u.erase(u.begin(), u.begin() + 4);  // the start code nal() puts in front
  return units;
}

// The elementary stream, with a filler unit so that it is not refused as too short.
std::vector<uint8_t> bad_order_es() {
  std::vector<uint8_t> es;
  for (const auto& u : bad_order_units()) {
    append(es, {0, 0, 0, 1});
    append(es, u);
  }
  append(es, nal(0, 12, std::vector<uint8_t>(64, 0xFF)));
  return es;
}

// The same in Matroska, written element by element: the SPS and PPS in the
// track's avcC, each slice a frame with a 4-byte length.
std::vector<uint8_t> bad_order_mkv() {
  using namespace mkvt;
  const auto units = bad_order_units();
  auto bytes = [](const std::vector<uint8_t>& v) { return Bytes(v.begin(), v.end()); };
  const Bytes sps = bytes(units[0]), pps = bytes(units[1]);
  const Bytes avcc = Bytes("\x01", 1) + sps.substr(1, 3) + "\xFF\xE1" + be(sps.size(), 2) + sps + "\x01" +
                     be(pps.size(), 2) + pps;
  Bytes blocks;
  for (size_t k = 2; k < units.size(); ++k)
    blocks += simple(1, int16_t(40 * (k - 2)), be(units[k].size(), 4) + bytes(units[k]), k == 2);
  const Bytes f = file(info() + el(Tracks, track(1, 1, "V_MPEG4/ISO/AVC", uint_el(DefaultDuration, 40000000) +
                                                                             el(CodecPrivate, avcc))) +
                       cluster(0, blocks));
  return std::vector<uint8_t>(f.begin(), f.end());
}

// A transport stream of the same units, PAT and PMT first.
std::vector<uint8_t> bad_order_ts() {
  tst::Writer w;
  tst::write_split(w, bad_order_es());
  return w.bytes;
}

// An x264 stream followed by a unit longer than the unit reader holds
// (10,000,000 bytes), well after the units the codec probe reads.
std::vector<uint8_t> es_with_an_endless_unit() {
  const std::string es = tu::scratch("long.264");
  EXPECT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=96x64:rate=25 -t 12 -pix_fmt yuv420p -c:v libx264 -x264-params slices=2 " + tu::q(es)));
  std::vector<uint8_t> bytes = tu::read_file(es);
  append(bytes, {0, 0, 1, 0x0C});
  bytes.resize(bytes.size() + 10000001, 0xFF);
  return bytes;
}

TEST(FailedRuns, LeaveNoIndexBehind) {
  const struct {
    const char* name;
    const char* file;
    std::vector<uint8_t> bytes;
    const char* message;  // what the run says, by hand
  } cases[] = {
      {"elementary stream, SPS with picture order count type 3", "bad.264", bad_order_es(),
       "invalid sps->pic_order_cnt_type = 3\n"},
      {"transport stream, SPS with picture order count type 3", "bad.ts", bad_order_ts(),
       "invalid sps->pic_order_cnt_type = 3\n"},
      {"Matroska, SPS with picture order count type 3", "bad.mkv", bad_order_mkv(),
       "invalid sps->pic_order_cnt_type = 3\n"},
      {"elementary stream with a unit longer than the unit reader holds", "long.264", es_with_an_endless_unit(),
       "Error while getting the Annex B NALU, exit\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = tu::scratch(c.file), kwi = tu::scratch(std::string(c.file) + ".kwi");
    tu::write_file(in, c.bytes);
    std::remove(kwi.c_str());
    const tu::RunResult r = tu::ostrel("-i " + tu::q(in) + " -o " + tu::q(kwi));
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_FALSE(tu::exists(kwi)) << tu::read_text(kwi);
  }
}

}  // namespace
