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
