// Emulation-prevention removal against the rule applied one byte at a time:
// a 03 is dropped after a run of two (H.265: exactly two; H.264: two or
// more) zero bytes, and a dropped byte ends the run.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "rbsp.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes reference(const Bytes& in, EpRule rule) {
  Bytes out;
  int zeros = 0;
  for (uint8_t b : in) {
    const bool run = rule == EpRule::kAfterTwoOrMoreZeros ? zeros >= 2 : zeros == 2;
    if (run && b == 3) {
      zeros = 0;
      continue;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

Bytes removed(const Bytes& in, EpRule rule) {
  Bytes out(in.size());
  out.resize(remove_emulation_prevention(in.data(), static_cast<u32>(in.size()), out.data(), rule));
  return out;
}

constexpr EpRule kRules[] = {EpRule::kAfterTwoOrMoreZeros, EpRule::kAfterExactlyTwoZeros};

TEST(Rbsp, HandPickedRuns) {
  struct Case {
    Bytes in, avc, hevc;
  };
  const Case cases[] = {
      {{}, {}, {}},
      {{0x03}, {0x03}, {0x03}},
      {{0x00, 0x00, 0x03}, {0x00, 0x00}, {0x00, 0x00}},                    // at the very end
      {{0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x01}, {0x00, 0x00, 0x01}},
      {{0x00, 0x00, 0x00, 0x03}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x03}},  // a run of three
      {{0x00, 0x00, 0x03, 0x03}, {0x00, 0x00, 0x03}, {0x00, 0x00, 0x03}},  // the drop ends the run
      {{0x00, 0x00, 0x03, 0x00, 0x00, 0x03}, {0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00}},
      {{0x00, 0x03, 0x00, 0x03}, {0x00, 0x03, 0x00, 0x03}, {0x00, 0x03, 0x00, 0x03}},
      {{0x40, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x03},
       {0x40, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00},
       {0x40, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(removed(c.in, EpRule::kAfterTwoOrMoreZeros), c.avc);
    EXPECT_EQ(removed(c.in, EpRule::kAfterExactlyTwoZeros), c.hevc);
  }
}

// Random units rich in zeros and 03 bytes, whole and cut at every length:
// the cleaned head is always a prefix of the cleaned unit.
TEST(Rbsp, MatchesTheByteRuleAndHeadsArePrefixes) {
  std::mt19937 rng(7);
  const uint8_t alphabet[] = {0x00, 0x00, 0x00, 0x03, 0x03, 0x01, 0x02, 0x80, 0xFF};
  for (int round = 0; round < 300; round++) {
    Bytes unit(rng() % 700);
    for (uint8_t& b : unit) b = round % 3 == 0 ? static_cast<uint8_t>(rng()) : alphabet[rng() % sizeof alphabet];
    for (EpRule rule : kRules) {
      const Bytes whole = reference(unit, rule);
      ASSERT_EQ(removed(unit, rule), whole) << "round " << round;
      for (size_t k = 0; k <= unit.size(); k += 1 + rng() % 40) {
        const Bytes head = removed(Bytes(unit.begin(), unit.begin() + static_cast<long>(k)), rule);
        ASSERT_LE(head.size(), whole.size());
        ASSERT_TRUE(std::equal(head.begin(), head.end(), whole.begin())) << "round " << round << " k " << k;
      }
    }
  }
}

}  // namespace
