// The whole transport-stream road, end to end through the unitdump tool and
// Ostrel: the units the picture loop receives from a TS/M2TS equal those of
// the same elementary stream, and every unit position points at the first
// byte of its start code in the video payload of the file. References:
// ffmpeg's muxer and demuxer, a start-code scan of the elementary stream, and
// the file positions that the test's own packet writer or demuxer records.
#include <gtest/gtest.h>

#include <random>

#include "testutil.h"
#include "ts_streams.h"

namespace {

using tu::unitdump;
using Unit = tu::DumpUnit;

// PID of the n-th video stream, as ffprobe reports it.
unsigned video_pid(const std::string& file, int n = 0) {
  tu::RunResult r = tu::run("ffprobe -v error -select_streams v:" + std::to_string(n) +
                            " -show_entries stream=id -of csv=p=0 " + tu::q(file));
  return static_cast<unsigned>(std::stoul(r.out, nullptr, 16));
}

// A short H.264 clip with B-frames and an mp2 audio track, as TS with the given muxer options.
std::string make_ts(const std::string& name, const std::string& mux = "", const std::string& size = "160x120",
                    const std::string& seconds = "2") {
  std::string f = tu::scratch(name);
  tu::ffmpeg("-f lavfi -i testsrc=size=" + size + ":rate=25 -f lavfi -i sine=sample_rate=48000 -t " + seconds +
             " -c:v libx264 -g 12 -bf 2 -c:a mp2 " + mux + " -f mpegts " + tu::q(f));
  return f;
}

std::vector<uint8_t> extract_es(const std::string& ts, const std::string& map = "0:v:0") {
  std::string es = ts + ".h264";
  tu::ffmpeg("-i " + tu::q(ts) + " -map " + map + " -c copy -f h264 " + tu::q(es));
  return tu::read_file(es);
}

// 204-byte packets made from 188-byte ones: 16 parity-like bytes after each,
// with sync-byte values among them so that they can mislead a sync search.
std::vector<uint8_t> pad_to_204(const std::vector<uint8_t>& ts) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 188 <= ts.size(); i += 188) {
    out.insert(out.end(), ts.begin() + i, ts.begin() + i + 188);
    for (int k = 0; k < 16; k++) out.push_back(k % 3 == 0 ? 0x47 : static_cast<uint8_t>(0x10 * k + 1));
  }
  return out;
}

// Checks that Ostrel's units for a stream equal the ES's units, positions
// mapped through the reference demux of the file.
void check_units(const std::string& file, int size, unsigned pid, const std::vector<uint8_t>& es,
                 const std::string& args = "", bool avc_reader = true) {
  SCOPED_TRACE(file);
  tst::Payload p = tst::demux(tu::read_file(file), size, pid);
  ASSERT_EQ(p.bytes, es) << "reference demux differs from ffmpeg's elementary stream";
  auto got = unitdump(args + " " + tu::q(file));
  auto want = tu::expected_units(es, avc_reader, p.pos);
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(got, want);
}

std::vector<uint8_t> h264_es(const std::string& name, const std::string& extra = "") {
  std::string f = tu::scratch(name);
  tu::ffmpeg("-f lavfi -i testsrc=size=128x96:rate=25 -t 2 -c:v libx264 -g 10 -bf 2 " + extra + " -f h264 " +
             tu::q(f));
  return tu::read_file(f);
}

}  // namespace

// ------------------------------------------------------------------ streams made by ffmpeg

TEST(TsRoad, FfmpegMuxesDeliverTheElementaryStreamUnits) {
  std::string ts = make_ts("a.ts");
  std::vector<uint8_t> es = extract_es(ts);
  ASSERT_GT(es.size(), 1000u);
  check_units(ts, 188, video_pid(ts), es);

  // Blu-ray style 192-byte packets.
  std::string m2ts = tu::scratch("a.m2ts");
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(ts) + " -map 0 -c copy -mpegts_m2ts_mode 1 -f mpegts " + tu::q(m2ts)));
  check_units(m2ts, 192, video_pid(m2ts), es);

  // 204-byte packets: the 16 trailing bytes are not video.
  std::string ts204 = tu::scratch("a204.ts");
  tu::write_file(ts204, pad_to_204(tu::read_file(ts)));
  check_units(ts204, 204, video_pid(ts), es);

  // A chosen PID.
  std::string sid = make_ts("sid.ts", "-streamid 0:0x1E1 -streamid 1:0x1E2");
  std::vector<uint8_t> es2 = extract_es(sid);
  ASSERT_EQ(video_pid(sid), 0x1E1u);
  check_units(sid, 188, 0x1E1, es2);
}

TEST(TsRoad, FirstVideoOfTheFirstProgramMapIsChosen) {
  // Program 7 comes first in the PAT and holds the 128x96 video on PID 0x101;
  // the 160x120 video on the lower PID 0x100 belongs to program 9.
  std::string f = tu::scratch("two.ts");
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i testsrc=size=128x96:rate=25 "
                         "-f lavfi -i sine -t 1 -map 0:v -map 1:v -map 2:a -c:v libx264 -c:a mp2 "
                         "-program program_num=7:st=1:st=2 -program program_num=9:st=0 -f mpegts " +
                         tu::q(f)));
  std::vector<uint8_t> small = extract_es(f, "0:i:0x101");
  std::vector<uint8_t> large = extract_es(f, "0:i:0x100");
  ASSERT_NE(small, large);
  check_units(f, 188, 0x101, small);
  // "-v" overrides the tables (hexadecimal).
  check_units(f, 188, 0x100, large, "-v 100");
}

TEST(TsRoad, RealBlurayAndVc1Samples) {
  const std::string disc = std::string(SHARED_TESTDATA) + "/bluray/bbb_5s/BDMV/STREAM/00000.m2ts";
  const std::string vc1 = std::string(SHARED_TESTDATA) + "/vc1/vc1_ap_1080_pulldown";
  if (!tu::exists(disc) || !tu::exists(vc1 + ".m2ts")) GTEST_SKIP() << "shared test data not present";
  // A disc-authored M2TS (H.264 with LPCM audio).
  std::string es = tu::scratch("disc.h264");
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(disc) + " -map 0:v -c copy -f h264 " + tu::q(es)));
  check_units(disc, 192, video_pid(disc), tu::read_file(es));
  // VC-1 (stream type 0xEA) in M2TS: the payload is the sample's elementary stream.
  check_units(vc1 + ".m2ts", 192, video_pid(vc1 + ".m2ts"), tu::read_file(vc1 + ".vc1"), "", false);
}

// ------------------------------------------------------------------ hand-made packetisation

TEST(TsRoad, StartCodesSplitAcrossPacketsGetTheirFirstBytePosition) {
  std::vector<uint8_t> es = h264_es("split.h264");
  for (int size : {188, 192, 204}) {
    SCOPED_TRACE(size);
    tst::Writer w(size);
    std::vector<uint64_t> map = tst::write_split(w, es);
    std::string f = tu::scratch("split" + std::to_string(size) + ".ts");
    tu::write_file(f, w.bytes);
    // The test's own demux sees exactly the ES; Ostrel must agree unit for unit.
    tst::Payload p = tst::demux(w.bytes, size, 0x100);
    ASSERT_EQ(p.bytes, es);
    ASSERT_EQ(p.pos, map);
    EXPECT_EQ(unitdump(tu::q(f)), tu::expected_units(es, true, map));
  }
}

TEST(TsRoad, DamagedVideoPacketsDeliverNothing) {
  // Packets on the video PID that must not reach the unit reader, each
  // carrying a start code that would show up as an extra unit.
  std::vector<uint8_t> es = h264_es("hostile.h264");
  const std::vector<uint8_t> trap = {0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x00, 0x00, 0x01, 0x06, 0x05};
  tst::Writer w(188);
  w.psi(0, tst::pat({{1, 0x1000}}));
  w.psi(0x1000, tst::pmt(1, 0x100, {{0x1B, 0x100, {}}}));
  std::vector<uint64_t> map(es.size());
  size_t at = 0;
  int n = 0;
  while (at < es.size()) {
    std::vector<uint8_t> payload;
    if (at == 0) payload = tst::pes_header();
    size_t k0 = payload.size();
    size_t end = std::min(es.size(), at + 184 - k0);
    payload.insert(payload.end(), es.begin() + at, es.begin() + end);
    for (size_t k = at; k < end; k++) map[k] = w.next_body(188 - payload.size() + k0 + (k - at));
    w.sized(0x100, at == 0, payload);
    at = end;
    std::vector<uint8_t> af(20, 0xFF);
    af[0] = 0;
    std::vector<uint8_t> pes = tst::pes_header();
    switch (n++ % 8) {
      case 0:  // adaptation_field_length 250: larger than the packet
        w.packet(0x100, false, 3, &af, trap, 0, 250);
        break;
      case 1: {  // PES header data longer than the rest of the packet
        pes[8] = 200;
        pes.insert(pes.end(), trap.begin(), trap.end());
        w.packet(0x100, true, 1, nullptr, pes);
        break;
      }
      case 2: {  // PES header data exactly filling the packet: nothing left
        std::vector<uint8_t> hdr(pes.begin(), pes.begin() + 9);
        hdr[8] = 184 - 9;
        hdr.insert(hdr.end(), trap.begin(), trap.end());
        w.packet(0x100, true, 1, nullptr, hdr);
        break;
      }
      case 3: {  // a packet start after an adaptation field that leaves no room for a PES header
        std::vector<uint8_t> big(176, 0xFF);
        big[0] = 0;
        std::vector<uint8_t> tail(trap.begin(), trap.begin() + 7);
        w.packet(0x100, true, 3, &big, tail);
        break;
      }
      case 4:  // adaptation_field_control 2 with a short field: still no payload
        w.packet(0x100, false, 2, &af, trap);
        break;
      case 5:  // scrambled
        w.packet(0x100, false, 1, nullptr, trap, 2);
        break;
      case 6:  // adaptation_field_control 0 (reserved)
        w.packet(0x100, false, 0, nullptr, trap);
        break;
      default: {  // a packet start without a PES start code
        std::vector<uint8_t> no_pes = {0x00, 0x01};
        no_pes.insert(no_pes.end(), trap.begin(), trap.end());
        w.packet(0x100, true, 1, nullptr, no_pes);
        break;
      }
    }
  }
  std::string f = tu::scratch("hostile.ts");
  tu::write_file(f, w.bytes);
  EXPECT_EQ(unitdump(tu::q(f)), tu::expected_units(es, true, map));
}

// ------------------------------------------------------------------ PID choice

namespace {

// Two video streams: the first listed one scrambled (CA descriptor), or none
// listed at all (no PAT), so that the choice can be seen from the units.
void write_two_videos(tst::Writer& w, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                      std::vector<uint64_t>* map_b) {
  map_b->assign(b.size(), 0);
  size_t ia = 0, ib = 0;
  bool first = true;
  while (ia < a.size() || ib < b.size()) {
    if (ia < a.size()) {
      std::vector<uint8_t> pl = first ? tst::pes_header() : std::vector<uint8_t>();
      size_t e = std::min(a.size(), ia + 184 - pl.size());
      pl.insert(pl.end(), a.begin() + ia, a.begin() + e);
      w.sized(0x100, first, pl);
      ia = e;
    }
    if (ib < b.size()) {
      std::vector<uint8_t> pl = first ? tst::pes_header() : std::vector<uint8_t>();
      size_t k0 = pl.size();
      size_t e = std::min(b.size(), ib + 184 - k0);
      pl.insert(pl.end(), b.begin() + ib, b.begin() + e);
      for (size_t k = ib; k < e; k++) (*map_b)[k] = w.next_body(188 - pl.size() + k0 + (k - ib));
      w.sized(0x200, first, pl);
      ib = e;
    }
    first = false;
  }
}

}  // namespace

TEST(TsPid, ScrambledFirstEntryAndMissingTables) {
  std::vector<uint8_t> a = h264_es("a.h264");
  std::vector<uint8_t> b = h264_es("b.h264", "-s 96x64");
  ASSERT_NE(a, b);
  std::vector<uint64_t> map_b;
  {
    // The first video entry carries a CA descriptor: the second one is chosen.
    tst::Writer w;
    w.psi(0, tst::pat({{1, 0x1000}}));
    w.psi(0x1000, tst::pmt(1, 0x100, {{0x1B, 0x100, tst::ca_descriptor()}, {0x1B, 0x200, {}}}));
    write_two_videos(w, a, b, &map_b);
    std::string f = tu::scratch("scrambled.ts");
    tu::write_file(f, w.bytes);
    EXPECT_EQ(unitdump(tu::q(f)), tu::expected_units(b, true, map_b));
  }
  {
    // No PAT: the first PID whose PES stream_id is video, in order of
    // appearance. An audio PES on PID 0x100 comes first, so 0x200 wins.
    tst::Writer w;
    w.packet(0x100, true, 1, nullptr, tst::pes_header(0xC0));
    write_two_videos(w, a, b, &map_b);
    std::string f = tu::scratch("nopat.ts");
    tu::write_file(f, w.bytes);
    tu::RunResult r;
    auto got = unitdump(tu::q(f), &r);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Could not find PAT table on PID 0 [0x0]\n"), std::string::npos) << r.out.substr(0, 300);
    EXPECT_EQ(got, tu::expected_units(b, true, map_b));
  }
}

TEST(TsPid, WrongPidEndsWithBadPidMessage) {
  // More than 100000 packets without one on the chosen PID.
  std::vector<uint8_t> bytes = tu::read_file(make_ts("w.ts", "", "96x64", "1"));
  tst::Writer w;
  for (int i = 0; i < 100100; i++) w.null_packet();
  bytes.insert(bytes.end(), w.bytes.begin(), w.bytes.end());
  std::string f = tu::scratch("wrongpid.ts");
  tu::write_file(f, bytes);
  tu::RunResult r = tu::ostrel("-i " + tu::q(f) + " -v 999 -o " + tu::q(tu::scratch("w.kwi")));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: cannot find video data. Bad PID?"), std::string::npos) << r.out.substr(0, 500);
}

// ------------------------------------------------------------------ damage

TEST(TsDamage, TruncatedMidPacket) {
  std::string ts = make_ts("t.ts");
  std::vector<uint8_t> es = extract_es(ts);
  std::vector<uint8_t> bytes = tu::read_file(ts);
  tst::Payload p = tst::demux(bytes, 188, 0x100);
  auto full = tu::expected_units(es, true, p.pos);
  // Cut in the middle of a packet, inside a long unit near the end.
  size_t victim = full.size() - 10;
  while (full[victim].len < 400) victim--;
  bytes.resize(full[victim].pos + 200);
  ASSERT_NE(bytes.size() % 188, 0u);
  std::string f = tu::scratch("cut.ts");
  tu::write_file(f, bytes);
  auto got = unitdump(tu::q(f));
  ASSERT_EQ(got.size(), victim + 1);
  for (size_t i = 0; i + 1 < got.size(); i++) EXPECT_EQ(got[i], full[i]) << i;
  EXPECT_EQ(got.back().pos, full[got.size() - 1].pos);
  EXPECT_LT(got.back().len, full[got.size() - 1].len);
}

TEST(TsDamage, GarbageInTheMiddleResynchronises) {
  std::string ts = make_ts("g.ts");
  std::vector<uint8_t> es = extract_es(ts);
  std::vector<uint8_t> bytes = tu::read_file(ts);
  tst::Payload p = tst::demux(bytes, 188, 0x100);
  auto full = tu::expected_units(es, true, p.pos);
  std::mt19937 rng(7);
  std::vector<uint8_t> garbage(3000);
  for (auto& g : garbage) g = static_cast<uint8_t>(rng());

  // At a packet boundary: the garbage is passed over, nothing is lost.
  {
    size_t at = (bytes.size() / 188 / 2) * 188;
    std::vector<uint8_t> d(bytes.begin(), bytes.begin() + at);
    d.insert(d.end(), garbage.begin(), garbage.end());
    d.insert(d.end(), bytes.begin() + at, bytes.end());
    std::string f = tu::scratch("garbage_boundary.ts");
    tu::write_file(f, d);
    auto got = unitdump(tu::q(f));
    ASSERT_EQ(got.size(), full.size());
    for (size_t i = 0; i < got.size(); i++) {
      Unit want = full[i];
      if (want.pos >= at) want.pos += garbage.size();
      EXPECT_EQ(got[i], want) << i;
    }
  }
  // Inside a video packet: units before that packet and units after the
  // resynchronisation are intact.
  {
    size_t mid = full[full.size() / 2].pos;
    size_t packet = mid / 188 * 188;
    size_t at = packet + 100;
    std::vector<uint8_t> d(bytes.begin(), bytes.begin() + at);
    d.insert(d.end(), garbage.begin(), garbage.end());
    d.insert(d.end(), bytes.begin() + at, bytes.end());
    std::string f = tu::scratch("garbage_inside.ts");
    tu::write_file(f, d);
    auto got = unitdump(tu::q(f));
    std::vector<Unit> before, after;
    for (const Unit& u : full) {
      if (u.pos + u.len + 200 < packet) before.push_back(u);
      if (u.pos > packet + 188 * 2) after.push_back({u.pos + garbage.size(), u.code, u.len, u.prefix});
    }
    ASSERT_GE(got.size(), before.size() + after.size());
    for (size_t i = 0; i < before.size(); i++) EXPECT_EQ(got[i], before[i]) << i;
    for (size_t i = 0; i < after.size(); i++) EXPECT_EQ(got[got.size() - after.size() + i], after[i]) << i;
  }
}

TEST(TsDamage, LongStretchWithoutSyncIsReported) {
  std::vector<uint8_t> bytes = tu::read_file(make_ts("l.ts", "", "96x64", "1"));
  std::vector<uint8_t> d(bytes.begin(), bytes.begin() + 188 * 20);
  d.resize(d.size() + 5100000, 0x11);
  d.insert(d.end(), bytes.begin() + 188 * 20, bytes.end());
  std::string f = tu::scratch("nosync.ts");
  tu::write_file(f, d);
  tu::RunResult r;
  unitdump(tu::q(f), &r);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: cannot find video data. Bad PID?"), std::string::npos);
}

// ------------------------------------------------------------------ whole index

TEST(TsIndex, TransportStreamIndexEqualsElementaryStreamIndex) {
  std::string ts = make_ts("i.ts", "", "160x120", "3");
  std::vector<uint8_t> es = extract_es(ts);
  std::string esf = tu::scratch("i.h264");
  tu::write_file(esf, es);
  std::string m2ts = tu::scratch("i.m2ts");
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(ts) + " -map 0 -c copy -mpegts_m2ts_mode 1 -f mpegts " + tu::q(m2ts)));

  auto index = [](const std::string& in, const std::string& name) {
    std::string kwi = tu::scratch(name);
    tu::RunResult r;
    auto lines = tu::index_lines(in, kwi, &r);
    EXPECT_EQ(r.status, 0) << r.out.substr(0, 500);
    return lines;
  };
  auto es_lines = index(esf, "es.kwi");
  auto es_pictures = tu::kwi_pictures(es_lines);
  if (es_pictures.empty()) GTEST_SKIP() << "no AVC picture lines for the elementary stream: AVC analysis not built yet";
  // ffprobe's frames, in display order, have the picture types of the picture lines.
  auto frames = tu::ffprobe_frames(ts);
  ASSERT_EQ(es_pictures.size(), frames.size());
  for (size_t i = 0; i < frames.size(); i++) {
    int slice_type = std::stoi(es_pictures[i].substr(4));  // "FRM <slice_type> <poc> <pic_struct>"
    EXPECT_EQ(std::string(1, "PBI"[slice_type % 5]), frames[i]["pict_type"]) << i;
  }
  // Parameter-set and group lines: "<keyword> <position>".
  auto positioned = [](const std::vector<std::string>& lines) {
    std::vector<std::pair<std::string, uint64_t>> v;
    for (const std::string& l : lines) {
      size_t b = l.find(' ');
      if (b == std::string::npos) continue;
      std::string k = l.substr(0, b);
      if (k == "SPS" || k == "PPS" || k == "IDR" || k == "I" || k == "RPS")
        v.push_back({k, std::stoull(l.substr(b + 1))});
    }
    return v;
  };
  auto es_positioned = positioned(es_lines);
  ASSERT_FALSE(es_positioned.empty());
  const char* trailer[] = {"SIZE", "FPS", "CODED", "PLAYBACK", "ORDER"};
  for (const std::string& f : {ts, m2ts}) {
    SCOPED_TRACE(f);
    auto lines = index(f, f == ts ? "ts.kwi" : "m2ts.kwi");
    EXPECT_EQ(tu::kwi_pictures(lines), es_pictures);
    tst::Payload p = tst::demux(tu::read_file(f), f == ts ? 188 : 192, video_pid(f));
    ASSERT_EQ(p.bytes, es);
    auto want = es_positioned;
    for (auto& kp : want) kp.second = p.pos[kp.second];
    EXPECT_EQ(positioned(lines), want);
    for (const char* k : trailer) EXPECT_EQ(tu::kwi_with(lines, k), tu::kwi_with(es_lines, k)) << k;
    EXPECT_EQ(tu::kwi_with(lines, "STREAM 1").size(), 1u);
    EXPECT_EQ(tu::kwi_with(lines, "PKTSIZ " + std::string(f == ts ? "188" : "192")).size(), 1u);
    EXPECT_EQ(tu::kwi_with(lines, "VPID " + std::to_string(video_pid(f))).size(), 1u);
  }
}
