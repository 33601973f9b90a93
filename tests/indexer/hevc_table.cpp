// In-process test of the HEVC picture table beyond its nominal 2,000,000
// entries: the unit parser is fed directly, as the picture loop would.
#include <gtest/gtest.h>

#include <cstdio>

#include "global.h"
#include "hevc.h"
#include "hevc_bitwriter.h"

using namespace hevc_test;

static int feed(std::vector<uint8_t>& unit, u64 position) {
  NALU_t n = {};
  n.startcodeprefix_len = 4;
  n.len = u32(unit.size());
  n.buf = unit.data();
  return parse_nalu_hevc(&n, position);
}

TEST(HevcTable, MorePicturesThanTheNominalTable) {
  FILE* out = tmpfile();
  ASSERT_NE(out, nullptr);
  p_aif = out;
  Operation = 0;
  coded = 0;
  reset_hevc_analysis();

  SpsOpts o;
  o.log2_poc_lsb_minus4 = 12;  // 16-bit lsb: POCs climb by one per picture
  u64 pos = 0;
  std::vector<uint8_t> vps = annexb(32, vps_rbsp(false)), sps = annexb(33, sps_rbsp(o)),
                       pps = annexb(34, pps_rbsp()), idr = annexb(19, slice_rbsp(19, 2, 0, 16));
  feed(vps, pos++);
  feed(sps, pos++);
  feed(pps, pos++);
  EXPECT_EQ(feed(idr, pos++), 1);
  // One P slice per lsb value, reused cyclically.
  std::vector<std::vector<uint8_t>> slices(65536);
  for (uint32_t lsb = 0; lsb < 65536; lsb++) slices[lsb] = annexb(1, slice_rbsp(1, 1, lsb, 16));
  const int pictures = 2000000 + 10;
  int accepted = 1;
  for (int i = 1; i < pictures; i++) {
    accepted += feed(slices[uint32_t(i) & 0xFFFF], pos++) == 1;
  }
  EXPECT_EQ(accepted, pictures);
  EXPECT_EQ(coded, pictures);

  reset_hevc_analysis();
  p_aif = nullptr;
  fclose(out);
}
