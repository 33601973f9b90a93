// The transport-stream byte reader in-process, driven the way the unit reader
// drives it: GetTSByte at each packet start, the rest of the payload taken
// straight from Buffer. Checks every delivered byte and its stream position
// against the packet writer's record, and the sync positions and first
// payload pointer that split start codes rely on.
#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <iterator>

#include "decode.h"
#include "pat.h"
#include "testutil.h"
#include "ts.h"
#include "ts_streams.h"

namespace {

char names[8][MAX_FILE_NAME];

// Opens the files as one input, as the command line and detection do.
void open_inputs(const std::vector<std::string>& files) {
  for (int i = 0; i < NumLoadedFiles; i++)
    if (Infile[i] >= 0) close(Infile[i]);
  NumLoadedFiles = 0;
  ASSERT_LE(files.size(), std::size(names));
  for (const std::string& f : files) {
    snprintf(names[NumLoadedFiles], MAX_FILE_NAME, "%s", f.c_str());
    Infilename[NumLoadedFiles] = names[NumLoadedFiles];
    Infile[NumLoadedFiles] = open(f.c_str(), O_RDONLY);
    ASSERT_GE(Infile[NumLoadedFiles], 0);
    NumLoadedFiles++;
  }
  MPEG2_Transport_VideoPID = 2;
  Recovery();
  ASSERT_EQ(Open(), 0);
  ASSERT_EQ(SystemStream_Flag, 1);
  current_ts_sync_position = previous_ts_sync_position = 0;
  SeekStream(0);
}

struct Delivery {
  std::vector<uint8_t> bytes;
  std::vector<uint64_t> pos;
  // Per packet that delivered payload: its sync position as the reader
  // published it, the previous one, and the position of its first payload byte.
  std::vector<uint64_t> sync, previous, first;
};

Delivery read_all() {
  Delivery d;
  for (;;) {
    const u32 avail = Rdptr < Buffer + Read ? static_cast<u32>(Buffer + Read - Rdptr) : 0;
    const u32 n = avail < payload_bytes ? avail : payload_bytes;
    if (n > 0) {
      const u64 base = StreamPosition();
      for (u32 i = 0; i < n; i++) {
        d.bytes.push_back(Rdptr[i]);
        d.pos.push_back(base + i);
      }
      Rdptr += n;
      payload_bytes -= n;
      continue;
    }
    const bool packet_start = payload_bytes == 0;
    unsigned char b;
    if (GetTSByte(&b) < 0) break;
    d.bytes.push_back(b);
    d.pos.push_back(StreamPosition() - 1);
    if (packet_start) {
      EXPECT_EQ(first_payload + 1, Rdptr);
      d.sync.push_back(current_ts_sync_position);
      d.previous.push_back(previous_ts_sync_position);
      d.first.push_back(d.pos.back());
    }
  }
  return d;
}

// Sync byte position of the packet that holds stream position p.
uint64_t sync_of(uint64_t p, int size) {
  const uint64_t prefix = size == 192 ? 4 : 0;
  return (p - prefix) / size * size + prefix;
}

std::vector<uint8_t> small_es() {
  std::string f = tu::scratch("r.h264");
  tu::ffmpeg("-f lavfi -i testsrc=size=176x144:rate=25 -t 3 -c:v libx264 -g 10 -bf 2 -f h264 " + tu::q(f));
  return tu::read_file(f);
}

}  // namespace

TEST(TsReader, PayloadPositionsAndSyncPositions) {
  std::vector<uint8_t> es = small_es();
  for (int size : {188, 192, 204}) {
    SCOPED_TRACE(size);
    tst::Writer w(size);
    std::vector<uint64_t> map = tst::write_split(w, es);
    ASSERT_GT(w.bytes.size(), 3u * 16384);  // packets straddle several buffer refills
    std::string f = tu::scratch("r" + std::to_string(size) + ".ts");
    tu::write_file(f, w.bytes);
    open_inputs({f});
    ASSERT_EQ(TransportPacketSize, size);
    ASSERT_EQ(MPEG2_Transport_VideoPID, 0x100u);
    Delivery d = read_all();
    ASSERT_EQ(d.bytes, es);
    ASSERT_EQ(d.pos, map);
    // Only packets that delivered payload count: adaptation-only packets on
    // the video PID, packets of other PIDs and the parity bytes never do.
    ASSERT_FALSE(d.sync.empty());
    for (size_t i = 0; i < d.sync.size(); i++) {
      EXPECT_EQ(d.sync[i], sync_of(d.first[i], size)) << i;
      if (i > 0) {
        EXPECT_EQ(d.previous[i], d.sync[i - 1]) << i;
      }
    }
  }
}

TEST(TsReader, PacketsStraddlingFileBoundaries) {
  std::vector<uint8_t> es = small_es();
  tst::Writer w(192);
  std::vector<uint64_t> map = tst::write_split(w, es);
  // Three files, cut inside a packet header, inside a payload, and at a
  // multiple of the 16384-byte read block.
  const size_t cuts[] = {16384, 16384 + 192 * 7 + 2 + 4, w.bytes.size() - 1000};
  std::vector<std::string> files;
  size_t from = 0;
  for (int i = 0; i <= 3; i++) {
    size_t to = i < 3 ? cuts[i] : w.bytes.size();
    std::string f = tu::scratch("part" + std::to_string(i) + ".m2ts");
    tu::write_file(f, std::vector<uint8_t>(w.bytes.begin() + from, w.bytes.begin() + to));
    files.push_back(f);
    from = to;
  }
  open_inputs(files);
  Delivery d = read_all();
  EXPECT_EQ(d.bytes, es);
  EXPECT_EQ(d.pos, map);
}

TEST(TsReader, EndOfInputInsideAHeaderEndsCleanly) {
  // The input ends after the sync byte, after the PID bytes, inside the
  // adaptation field and inside the PES header of a video packet.
  std::vector<uint8_t> es = small_es();
  tst::Writer w(188);
  tst::write_split(w, es);
  const size_t whole = w.bytes.size() / 188 / 2 * 188;
  std::vector<uint8_t> head(w.bytes.begin(), w.bytes.begin() + whole);
  tst::Writer tail(188);
  std::vector<uint8_t> af(30, 0xFF);
  af[0] = 0;
  tail.packet(0x100, true, 3, &af, tst::pes_header());
  for (size_t keep : {1u, 3u, 5u, 20u, 40u, 45u}) {
    SCOPED_TRACE(keep);
    std::vector<uint8_t> bytes = head;
    bytes.insert(bytes.end(), tail.bytes.begin(), tail.bytes.begin() + keep);
    std::string f = tu::scratch("end" + std::to_string(keep) + ".ts");
    tu::write_file(f, bytes);
    open_inputs({f});
    Delivery d = read_all();
    tst::Payload p = tst::demux(head, 188, 0x100);
    EXPECT_EQ(d.bytes, p.bytes);
  }
}

TEST(TsReader, RandomDamageStaysInBounds) {
  // Byte flips, stray sync bytes and cuts anywhere in headers, tables and
  // payload: the tables and the reader must stay inside their buffers (the
  // sanitizer build checks) and deliver no more than the file holds.
  std::vector<uint8_t> es = small_es();
  for (int size : {188, 192, 204}) {
    tst::Writer w(size);
    tst::write_split(w, std::vector<uint8_t>(es.begin(), es.begin() + 6000));
    std::mt19937 rng(static_cast<unsigned>(size));
    for (int round = 0; round < 60; round++) {
      std::vector<uint8_t> bytes = w.bytes;
      // Keep the first five packets whole so that detection still sees a transport stream.
      const size_t keep = 5u * size;
      for (int k = 0; k < 40; k++) {
        size_t at = keep + rng() % (bytes.size() - keep);
        bytes[at] = rng() % 4 == 0 ? 0x47 : static_cast<uint8_t>(rng());
      }
      if (round % 3 == 0) bytes.resize(keep + rng() % (bytes.size() - keep));
      std::string f = tu::scratch("fuzz.ts");
      tu::write_file(f, bytes);
      testing::internal::CaptureStdout();
      open_inputs({f});
      Delivery d = read_all();
      testing::internal::GetCapturedStdout();
      EXPECT_LE(d.bytes.size(), bytes.size());
      for (uint64_t p : d.pos) ASSERT_LT(p, bytes.size());
    }
  }
}

// ------------------------------------------------------------------ continuity

namespace {

// Where packet number k of a stream of packets of the given size begins
// (its M2TS prefix included), and where its sync byte is.
size_t unit_at(size_t k, int size) { return k * size; }
size_t sync_at(size_t k, int size) { return k * size + (size == 192 ? 4 : 0); }
unsigned pid_of(const uint8_t* p) { return ((p[1] & 0x1Fu) << 8) | p[2]; }

// Packet numbers of the video PID's packets; with payload only, or all.
std::vector<size_t> video_packets(const std::vector<uint8_t>& f, int size, bool with_payload) {
  std::vector<size_t> out;
  for (size_t k = 0; sync_at(k, size) + 188 <= f.size(); k++) {
    const uint8_t* p = &f[sync_at(k, size)];
    if (pid_of(p) == 0x100 && (!with_payload || (p[3] & 0x10))) out.push_back(k);
  }
  return out;
}

// Adds shift to the continuity counter of every video packet from packet
// number k on.
void shift_counters(std::vector<uint8_t>& f, int size, size_t k, int shift) {
  for (size_t j : video_packets(f, size, false))
    if (j >= k) {
      uint8_t& h3 = f[sync_at(j, size) + 3];
      h3 = static_cast<uint8_t>((h3 & 0xF0) | ((h3 + shift) & 15));
    }
}

struct Continuity {
  std::vector<uint8_t> file;     // what the reader reads
  std::vector<uint8_t> expected; // the same bytes with the packets not to be delivered moved to the null PID
  unsigned gaps = 0;
  u64 lost = 0;
  u64 first_gap = 0;
  const std::vector<uint8_t>* es = nullptr;  // the payload of an undamaged file; the test's stream where null
};

// How the video packets without payload (adaptation field only) are counted
// when the counters are written anew: the payload packets count 0, 1, ...
enum class AdaptationOnly {
  kKeeps,              // the last payload packet's counter, as the standard says
  kCountsOnRepeated,   // the next value, which the payload packet after it repeats (Blu-ray recordings)
};
void recount(std::vector<uint8_t>& f, int size, AdaptationOnly mode) {
  int next = 0;  // the next payload packet's counter
  for (size_t j : video_packets(f, size, false)) {
    uint8_t& h3 = f[sync_at(j, size) + 3];
    int cc;
    if (h3 & 0x10) {
      cc = next;
      next = (next + 1) & 15;
    } else {
      cc = mode == AdaptationOnly::kKeeps ? (next - 1) & 15 : next;
    }
    h3 = static_cast<uint8_t>((h3 & 0xF0) | cc);
  }
}

// The packet number (in all, the video packets) of a payload packet that
// follows an adaptation-only packet, itself after a payload packet, and is
// followed by two more payload packets, from packet number `from` of all on.
size_t after_adaptation_only(const std::vector<uint8_t>& f, int size, const std::vector<size_t>& all, size_t from) {
  auto payload = [&](size_t i) { return (f[sync_at(all[i], size) + 3] & 0x10) != 0; };
  for (size_t j = std::max<size_t>(from, 2); j + 2 < all.size(); j++)
    if (payload(j - 2) && !payload(j - 1) && payload(j) && payload(j + 1) && payload(j + 2)) return j;
  return 0;
}

}  // namespace

// Patterns of the video PID's continuity counter that the standard allows
// deliver every payload byte once, with no gap: a discontinuity signalled
// by an adaptation-field-only packet (as a PCR-only packet at a time-base
// change writes it) or by a payload packet, the counter jumping there and
// counting on from it; a packet repeated with its counter and bytes (the
// copy is dropped), with the PCR-only, adaptation-only and null packets of
// the stream between, also across a read-block boundary; adaptation-only
// packets that keep the counter or count on (the payload packet after them
// repeating their value, or going on from it). Packets really missing are
// reported as gaps with the least number the counters tell (a repeated
// counter over other bytes: 15), and everything around them is delivered.
TEST(TsReader, ContinuityCounterPatterns) {
  const std::vector<uint8_t> es = small_es();
  for (int size : {188, 192, 204}) {
    SCOPED_TRACE(size);
    tst::Writer w(size);
    tst::write_split(w, es);
    const std::vector<uint8_t> clean = w.bytes;
    const std::vector<size_t> video = video_packets(clean, size, true);
    ASSERT_GT(video.size(), 200u);
    std::vector<std::pair<std::string, Continuity>> cases;
    {
      // An adaptation-field-only packet with the flag, its counter 7 on,
      // before the 40th payload packet, which counts on from it.
      Continuity c;
      c.file = clean;
      const size_t k = video[40];
      shift_counters(c.file, size, k, 8);
      std::vector<uint8_t> unit(clean.begin() + long(unit_at(k, size)), clean.begin() + long(unit_at(k + 1, size)));
      uint8_t* p = &unit[sync_at(0, size)];
      const uint8_t cc = static_cast<uint8_t>((c.file[sync_at(k, size) + 3] - 1) & 15);
      p[1] &= 0x1F;  // no unit start
      p[3] = static_cast<uint8_t>(0x20 | cc);
      p[4] = 183;
      p[5] = 0x80;  // discontinuity_indicator
      std::fill(p + 6, p + 188, 0xFF);
      c.file.insert(c.file.begin() + long(unit_at(k, size)), unit.begin(), unit.end());
      c.expected = c.file;
      cases.push_back({"flag on an adaptation-only packet", c});
    }
    {
      // The flag on a payload packet that carries an adaptation field.
      Continuity c;
      c.file = clean;
      size_t k = 0;
      for (size_t i = 60; i < video.size() && !k; i++) {
        const uint8_t* p = &clean[sync_at(video[i], size)];
        if ((p[3] & 0x20) && p[4] > 0 && !(p[1] & 0x40)) k = video[i];
      }
      ASSERT_NE(k, 0u);
      shift_counters(c.file, size, k, 9);
      c.file[sync_at(k, size) + 5] |= 0x80;
      c.expected = c.file;
      cases.push_back({"flag on a payload packet", c});
    }
    {
      // Every 7th payload packet repeated at once.
      Continuity c;
      c.file = c.expected = clean;
      for (size_t i = video.size(); i-- > 0;) {
        if (i % 7 != 3) continue;
        const size_t k = video[i];
        std::vector<uint8_t> unit(clean.begin() + long(unit_at(k, size)), clean.begin() + long(unit_at(k + 1, size)));
        c.file.insert(c.file.begin() + long(unit_at(k + 1, size)), unit.begin(), unit.end());
        unit[sync_at(0, size) + 1] = 0x1F;  // in the expectation: a null packet
        unit[sync_at(0, size) + 2] = 0xFF;
        c.expected.insert(c.expected.begin() + long(unit_at(k + 1, size)), unit.begin(), unit.end());
      }
      cases.push_back({"repeated packets", c});
    }
    const std::vector<size_t> all = video_packets(clean, size, false);
    auto payload = [&](size_t i) { return (clean[sync_at(all[i], size) + 3] & 0x10) != 0; };
    for (size_t run : {1u, 5u, 15u}) {
      // Video packets missing (adaptation-only ones among them, which this
      // multiplexer counts) between two payload packets: a gap each time;
      // 15 missing leave the counter repeated over other bytes.
      size_t j = 100;
      while (!payload(j - 1) || !payload(j + run)) j++;
      Continuity c;
      c.file = clean;
      for (size_t i = j + run; i-- > j;)
        c.file.erase(c.file.begin() + long(unit_at(all[i], size)), c.file.begin() + long(unit_at(all[i] + 1, size)));
      c.expected = c.file;
      c.gaps = 1;
      c.lost = run;
      c.first_gap = sync_at(all[j + run] - run, size);
      cases.push_back({std::to_string(run) + " packets missing", c});
    }
    // Adaptation-only packets (PCR-only ones among them) that keep the
    // counter, that count on with the payload packet after them repeating
    // the value (as a Blu-ray recording writes them), and that count on with
    // the payload going on from there (as the test's writer counts them):
    // no gap. The same with the payload packet after the one that follows
    // an adaptation-only packet cut out: one gap of one packet each.
    const struct {
      const char* name;
      bool recount;
      AdaptationOnly mode;
    } patterns[] = {{"adaptation-only packets keep the counter", true, AdaptationOnly::kKeeps},
                    {"adaptation-only packets count on, the payload repeats", true, AdaptationOnly::kCountsOnRepeated},
                    {"adaptation-only packets count on, the payload goes on", false, AdaptationOnly::kKeeps}};
    for (const auto& pattern : patterns) {
      Continuity c;
      c.file = clean;
      if (pattern.recount) recount(c.file, size, pattern.mode);
      c.expected = c.file;
      cases.push_back({pattern.name, c});
      const std::vector<size_t> all = video_packets(c.file, size, false);
      const size_t j = after_adaptation_only(c.file, size, all, 100);
      ASSERT_NE(j, 0u);
      c.file.erase(c.file.begin() + long(unit_at(all[j + 1], size)), c.file.begin() + long(unit_at(all[j + 1] + 1, size)));
      c.expected = c.file;
      c.gaps = 1;
      c.lost = 1;
      c.first_gap = sync_at(all[j + 2] - 1, size);
      cases.push_back({std::string(pattern.name) + ", then one payload packet cut out", c});
    }
    // A payload packet repeated across the first read-block boundary (null
    // packets between, so that the packet lies whole before the boundary and
    // its copy whole after it), in a stream counted as a Blu-ray recording
    // counts its adaptation-only packets. (A copy that straddles the boundary
    // is read as a packet of its own.)
    std::vector<uint8_t> long_es;
    while (long_es.size() < READ_BLOCK + READ_BLOCK / 4) long_es.insert(long_es.end(), es.begin(), es.end());
    {
      tst::Writer lw(size);
      tst::write_split(lw, long_es);
      recount(lw.bytes, size, AdaptationOnly::kCountsOnRepeated);
      const std::vector<size_t> long_video = video_packets(lw.bytes, size, true);
      size_t k = 0;
      for (size_t v : long_video)
        if (unit_at(v + 1, size) <= READ_BLOCK) k = v;
      const size_t nulls = (READ_BLOCK - unit_at(k + 1, size) + size - 1) / size;
      std::vector<uint8_t> unit(lw.bytes.begin() + long(unit_at(k, size)), lw.bytes.begin() + long(unit_at(k + 1, size)));
      std::vector<uint8_t> null_unit = unit;
      null_unit[sync_at(0, size) + 1] = 0x1F;
      null_unit[sync_at(0, size) + 2] = 0xFF;
      null_unit[sync_at(0, size) + 3] = 0x10;
      std::vector<uint8_t> added, expected_added;
      for (size_t i = 0; i < nulls; i++) {
        added.insert(added.end(), null_unit.begin(), null_unit.end());
        expected_added.insert(expected_added.end(), null_unit.begin(), null_unit.end());
      }
      added.insert(added.end(), unit.begin(), unit.end());
      expected_added.insert(expected_added.end(), null_unit.begin(), null_unit.end());  // the copy is not read
      Continuity c;
      c.file = c.expected = lw.bytes;
      c.file.insert(c.file.begin() + long(unit_at(k + 1, size)), added.begin(), added.end());
      c.expected.insert(c.expected.begin() + long(unit_at(k + 1, size)), expected_added.begin(), expected_added.end());
      ASSERT_GE(unit_at(k + 1 + nulls, size), READ_BLOCK);
      ASSERT_LE(sync_at(k, size) + 188, READ_BLOCK);
      c.es = &long_es;
      cases.push_back({"a packet repeated across a read-block boundary", c});
    }
    for (const auto& [name, c] : cases) {
      SCOPED_TRACE(name);
      const std::string f = tu::scratch("cc" + std::to_string(size) + ".ts");
      tu::write_file(f, c.file);
      open_inputs({f});
      reset_ts_reader();  // as a run starts
      const Delivery d = read_all();
      const tst::Payload p = tst::demux(c.expected, size, 0x100);
      EXPECT_TRUE(d.bytes == p.bytes);
      EXPECT_TRUE(d.pos == p.pos);
      if (c.gaps == 0) {
        EXPECT_TRUE(d.bytes == (c.es ? *c.es : es));
      }
      EXPECT_EQ(ts_video_gaps, c.gaps);
      EXPECT_EQ(ts_video_packets_lost, c.lost);
      if (c.gaps) {
        EXPECT_EQ(ts_first_gap, c.first_gap);
      }
    }
  }
}
