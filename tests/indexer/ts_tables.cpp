// Program analysis of transport streams (PAT, PMT, raw PES classification),
// run in-process on streams written packet by packet, in all three packet
// sizes, and on hostile tables.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

#include "pat.h"
#include "testutil.h"
#include "ts_streams.h"

namespace {

struct Result {
  u32 video, pcr;
  std::vector<u32> known;
  std::vector<u32> pmts;
  std::string out;
};

// Runs the analysis as the container detection does, starting from "nothing chosen".
Result analyse(const tst::Writer& w, const std::string& name, u32 preset_video = 2) {
  std::string f = tu::scratch(name + "_" + std::to_string(w.size()) + ".ts");
  tu::write_file(f, w.bytes);
  TransportPacketSize = w.size();
  MPEG2_Transport_VideoPID = preset_video;
  MPEG2_Transport_PCRPID = 2;
  testing::internal::CaptureStdout();
  pat_parser.DoInitialPids(f.c_str());
  Result r;
  r.out = testing::internal::GetCapturedStdout();
  r.video = MPEG2_Transport_VideoPID;
  r.pcr = MPEG2_Transport_PCRPID;
  r.known.assign(pat_parser.known_pids, pat_parser.known_pids + pat_parser.known_pid_count);
  r.pmts.assign(pat_parser.pmt_pids, pat_parser.pmt_pids + pat_parser.pmt_pid_count);
  return r;
}

bool has(const std::vector<u32>& v, u32 x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// Some video-looking payload so that the stream is not only tables.
void payload_packets(tst::Writer& w, uint16_t pid, int n, uint8_t stream_id = 0xE0) {
  w.packet(pid, true, 1, nullptr, tst::pes_header(stream_id));
  for (int i = 0; i < n; i++) w.packet(pid, false, 1, nullptr, std::vector<uint8_t>(184, 0x11));
}

class Sizes : public testing::TestWithParam<int> {};

}  // namespace

INSTANTIATE_TEST_SUITE_P(TsTables, Sizes, testing::Values(188, 192, 204));

TEST_P(Sizes, PatOverTwoPacketsAndSectionsSharingAPacket) {
  // 60 programs: the PAT section (255 bytes) runs over two packets.
  tst::Writer w(GetParam());
  std::vector<tst::Program> many;
  for (uint16_t i = 0; i < 60; i++) many.push_back({static_cast<uint16_t>(i + 1), static_cast<uint16_t>(0x1000 + i)});
  w.null_packet();
  w.psi(0, tst::pat(many));
  // Only the PMT of program 60 holds video.
  w.psi(0x1000 + 59, tst::pmt(60, 0x101, {{0x03, 0x102, {}}, {0x1B, 0x103, {}}}));
  payload_packets(w, 0x103, 3);
  Result r = analyse(w, "pat_split");
  ASSERT_EQ(r.pmts.size(), 60u);
  EXPECT_EQ(r.pmts[59], 0x1000u + 59);
  EXPECT_EQ(r.video, 0x103u);
  EXPECT_EQ(r.pcr, 0x101u);
  EXPECT_TRUE(has(r.known, 0) && has(r.known, 0x1000 + 59) && has(r.known, 0x102) && has(r.known, 0x103));
  // 59 PMTs are missing, each reported once.
  EXPECT_NE(r.out.find("Could not find PMT table on PID 4096 [0x1000]\n"), std::string::npos) << r.out.substr(0, 300);

  // Sections 0 and 1 of the PAT in one packet; the video is in the second program.
  tst::Writer w2(GetParam());
  std::vector<uint8_t> both = {0x00};
  auto s0 = tst::pat({{1, 0x1000}}, 0, 1);
  auto s1 = tst::pat({{2, 0x1001}}, 1, 1);
  both.insert(both.end(), s0.begin(), s0.end());
  both.insert(both.end(), s1.begin(), s1.end());
  w2.packet(0, true, 1, nullptr, both);
  w2.psi(0x1000, tst::pmt(1, 0x200, {{0x04, 0x201, {}}}));
  w2.psi(0x1001, tst::pmt(2, 0x300, {{0xEA, 0x301, {}}}));
  payload_packets(w2, 0x301, 2, 0xFD);
  r = analyse(w2, "pat_two_sections");
  EXPECT_EQ(r.pmts, (std::vector<u32>{0x1000, 0x1001}));
  EXPECT_EQ(r.video, 0x301u);
  EXPECT_EQ(r.pcr, 0x200u);  // the first PMT read gives the PCR PID
}

TEST_P(Sizes, OnePmtPidForTwoProgramsIsReadUntilItRepeats) {
  tst::Writer w(GetParam());
  w.psi(0, tst::pat({{1, 0x1000}, {2, 0x1000}, {0, 0x10}}));  // program 0: network PID, not a PMT
  for (int round = 0; round < 3; round++) {
    w.psi(0x1000, tst::pmt(1, 0x1FFF, {{0x0F, 0x201, {}}}));
    w.psi(0x1000, tst::pmt(2, 0x300, {{0x02, 0x301, {}}, {0x1B, 0x302, {}}}));
  }
  Result r = analyse(w, "pmt_pid_two_programs");
  EXPECT_EQ(r.pmts, (std::vector<u32>{0x1000}));
  EXPECT_EQ(r.video, 0x301u);  // first video entry of the program
  EXPECT_EQ(pat_parser.program_count, 2u);
  EXPECT_TRUE(has(r.known, 0x10) && has(r.known, 0x201) && has(r.known, 0x302));
}

TEST_P(Sizes, ScrambledVideoAndCommandLineChoice) {
  tst::Writer w(GetParam());
  w.psi(0, tst::pat({{1, 0x1000}}));
  w.psi(0x1000, tst::pmt(1, 0x100, {{0x1B, 0x100, tst::ca_descriptor()}, {0x1B, 0x200, {}}}));
  payload_packets(w, 0x200, 2);
  Result r = analyse(w, "scrambled");
  EXPECT_EQ(r.video, 0x200u);

  // "-v": the tables choose nothing and a CA descriptor does not undo the
  // user's choice, but the PID list is still built.
  r = analyse(w, "scrambled_v", 0x100);
  EXPECT_EQ(r.video, 0x100u);
  EXPECT_TRUE(has(r.known, 0x100) && has(r.known, 0x200) && has(r.known, 0x1000) && has(r.known, 0));
  EXPECT_TRUE(pat_parser.IsKnownPid(0x200));
  EXPECT_FALSE(pat_parser.IsKnownPid(0x201));

  // Only scrambled video: nothing from the tables, and the raw analysis
  // finds the first PID with a video PES header.
  tst::Writer w2(GetParam());
  w2.psi(0, tst::pat({{1, 0x1000}}));
  w2.psi(0x1000, tst::pmt(1, 0x100, {{0x1B, 0x100, tst::ca_descriptor()}}));
  payload_packets(w2, 0x100, 2);
  r = analyse(w2, "scrambled_only");
  EXPECT_EQ(r.video, 0x100u);
}

TEST_P(Sizes, RawAnalysisWithoutTables) {
  tst::Writer w(GetParam());
  std::vector<uint8_t> pcr_af = {0x10, 0, 0, 0, 0, 0x7E, 0};
  pcr_af.resize(183, 0xFF);
  w.packet(0x40, false, 2, &pcr_af, {});                 // PCR only
  payload_packets(w, 0x41, 1, 0xC0);                      // MPEG audio
  std::vector<uint8_t> dts = tst::pes_header(0xBD);
  dts.insert(dts.end(), {0x7F, 0xFE, 0x80, 0x01});
  w.packet(0x42, true, 1, nullptr, dts);                  // private stream 1 with a DTS sync word
  std::vector<uint8_t> ext = {0x00, 0x00, 0x01, 0xFD, 0x00, 0x00, 0x81, 0x01, 0x03, 0x01, 0x81, 0x55};
  w.packet(0x43, true, 1, nullptr, ext);                  // extension stream, VC-1 sub-id 0x55
  payload_packets(w, 0x44, 1, 0xE0);
  Result r = analyse(w, "raw");
  EXPECT_NE(r.out.find("Could not find PAT table on PID 0 [0x0]\n"), std::string::npos);
  EXPECT_EQ(r.video, 0x43u);

  // An extension stream with another sub-id is no video: the MPEG video PID wins.
  tst::Writer w2(GetParam());
  ext.back() = 0x71;
  w2.packet(0x43, true, 1, nullptr, ext);
  payload_packets(w2, 0x44, 1, 0xE3);
  r = analyse(w2, "raw_e3");
  EXPECT_EQ(r.video, 0x44u);
}

TEST_P(Sizes, LostSyncBeforeTheTablesIsRecovered) {
  tst::Writer w(GetParam());
  for (int i = 0; i < 4; i++) w.null_packet();
  std::vector<uint8_t> bytes = w.bytes;
  for (int i = 0; i < 777; i++) bytes.push_back(static_cast<uint8_t>(i * 7 + 1) == 0x47 ? 0 : static_cast<uint8_t>(i * 7 + 1));
  tst::Writer t(GetParam());
  t.psi(0, tst::pat({{1, 0x1000}}));
  t.psi(0x1000, tst::pmt(1, 0x100, {{0x24, 0x100, {}}}));
  payload_packets(t, 0x100, 2);
  bytes.insert(bytes.end(), t.bytes.begin(), t.bytes.end());
  tst::Writer all(GetParam());
  all.bytes = bytes;
  Result r = analyse(all, "lost_sync");
  EXPECT_EQ(r.video, 0x100u);
}

// ------------------------------------------------------------------ hostile tables

TEST(TsTablesHostile, LengthsThatPointPastPacketOrSection) {
  tst::Writer w;
  std::vector<uint8_t> body(184, 0xFF);
  // pointer_field beyond the packet.
  body[0] = 200;
  w.packet(0, true, 1, nullptr, body);
  // adaptation_field_length beyond the packet on the PAT PID.
  std::vector<uint8_t> af(10, 0xFF);
  w.packet(0, true, 3, &af, tst::pat({{9, 0x900}}), 0, 230);
  // section_length 1022 (over the limit) and a section header in the last two bytes.
  std::vector<uint8_t> big = {0x00, 0x00, 0xB3, 0xFE};
  w.packet(0, true, 1, nullptr, big);
  std::vector<uint8_t> tail(184, 0xFF);
  tail[0] = 181;                                          // section starts at byte 186
  tail[182] = 0x00;
  tail[183] = 0xB0;
  w.packet(0, true, 1, nullptr, tail);
  // A PAT whose section_length is too short to hold its own header.
  std::vector<uint8_t> tiny = {0x00, 0x00, 0xB0, 0x03, 0x00, 0x01, 0xC1};
  w.packet(0, true, 1, nullptr, tiny);
  // A non-current PAT is ignored.
  w.psi(0, tst::pat({{5, 0x500}}, 0, 0, false));
  // Then a good one.
  w.psi(0, tst::pat({{1, 0x1000}}));

  // PMTs with lengths running past the section: program_info_length, then
  // ES_info_length and a descriptor length.
  auto bad_pmt = tst::pmt(1, 0x100, {{0x1B, 0x100, {0x09, 0xFF, 0x00}}});
  bad_pmt[10] = 0xFF;                                     // program_info_length 0xFFF
  bad_pmt[11] = 0xFF;
  w.psi(0x1000, bad_pmt);
  Result r = analyse(w, "hostile_pat");
  EXPECT_EQ(r.pmts, (std::vector<u32>{0x1000}));
  EXPECT_EQ(r.video, 2u);                                  // no entry could be read, no video PES either

  tst::Writer w2;
  w2.psi(0, tst::pat({{1, 0x1000}}));
  auto es_len = tst::pmt(1, 0x100, {{0x1B, 0x100, {0x09, 0x04, 0, 0, 0, 0}}, {0x1B, 0x200, {}}});
  es_len[15] = 0xFF;                                      // ES_info_length of the first entry: 0xFxx
  es_len[16] = 0xFF;
  w2.psi(0x1000, es_len);
  r = analyse(w2, "hostile_es_info");
  // The first entry is still read; its descriptors are cut at the CRC, so
  // the CA descriptor inside is seen, and no second entry can follow.
  EXPECT_EQ(r.video, 2u);
  EXPECT_TRUE(has(r.known, 0x100));
  EXPECT_FALSE(has(r.known, 0x200));

  tst::Writer w3;
  w3.psi(0, tst::pat({{1, 0x1000}}));
  auto desc = tst::pmt(1, 0x100, {{0x1B, 0x100, {0x05, 0x02, 0x48, 0x44, 0x09, 0xF0}}, {0x02, 0x200, {}}});
  w3.psi(0x1000, desc);                                   // a CA tag whose length runs past the entry
  r = analyse(w3, "hostile_descriptor");
  EXPECT_EQ(r.video, 0x100u);
  EXPECT_TRUE(has(r.known, 0x200));
}

TEST(TsTablesHostile, SectionWithALostPacketIsDropped) {
  // A PAT over two packets whose second packet is lost; the next PAT starts
  // in a packet whose pointer_field shows no continuation. The broken section
  // must not be completed from the new one's bytes.
  tst::Writer whole;
  std::vector<tst::Program> many;
  for (uint16_t i = 0; i < 60; i++) many.push_back({static_cast<uint16_t>(i + 1), static_cast<uint16_t>(0x1800 + i)});
  whole.psi(0, tst::pat(many));
  ASSERT_EQ(whole.bytes.size(), 2u * 188);
  tst::Writer w;
  w.bytes.assign(whole.bytes.begin(), whole.bytes.begin() + 188);
  w.psi(0, tst::pat({{1, 0x1000}}));
  w.psi(0x1000, tst::pmt(1, 0x100, {{0x1B, 0x100, {}}}));
  Result r = analyse(w, "lost_packet");
  EXPECT_EQ(r.pmts, (std::vector<u32>{0x1000}));
  EXPECT_EQ(r.video, 0x100u);
}

TEST(TsTablesHostile, FullTablesAreRefusedWithAMessage) {
  // 600 programs in three PAT sections: 500 PMT PIDs are kept, the rest refused.
  tst::Writer w;
  for (int s = 0; s < 3; s++) {
    std::vector<tst::Program> part;
    for (int i = 0; i < 200; i++) {
      int n = s * 200 + i;
      part.push_back({static_cast<uint16_t>(n + 1), static_cast<uint16_t>(0x100 + n)});
    }
    w.psi(0, tst::pat(part, static_cast<uint8_t>(s), 2));
  }
  Result r = analyse(w, "full");
  EXPECT_EQ(r.pmts.size(), 500u);
  EXPECT_EQ(r.known.size(), 500u);
  EXPECT_TRUE(pat_parser.IsKnownPid(0x100 + 599));        // known even beyond the list
  EXPECT_NE(r.out.find("PAT lists more than 500 PMT PIDs"), std::string::npos);
}

TEST(TsTablesHostile, NoSyncOrNoFileEndsTheRun) {
  // The messages go to standard output; the death statement sends it to
  // standard error, where the death test looks.
  std::string f = tu::scratch("nosync.ts");
  tu::write_file(f, std::vector<uint8_t>(100000, 0x11));
  TransportPacketSize = 188;
  EXPECT_EXIT(
      {
        dup2(2, 1);
        pat_parser.DoInitialPids(f.c_str());
      },
      testing::ExitedWithCode(1), "ERROR: cannot sync to the transport stream");
  std::string missing = tu::scratch("does-not-exist.ts");
  EXPECT_EXIT(
      {
        dup2(2, 1);
        pat_parser.DoInitialPids(missing.c_str());
      },
      testing::ExitedWithCode(1), "ERROR: cannot open the input file");
}
