// Test helpers for transport streams: a byte-by-byte packet writer (PAT, PMT,
// PES and hand-made damage), and a reference demultiplexer that returns the
// video payload together with the file position of every payload byte.
// Neither shares code with Ostrel, so the positions and units they give are
// an independent expectation.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "testutil.h"

namespace tst {

// A section from its table_id and the bytes after section_length (CRC added).
inline std::vector<uint8_t> section(uint8_t table_id, const std::vector<uint8_t>& body) {
  size_t length = body.size() + 4;
  std::vector<uint8_t> s = {table_id, static_cast<uint8_t>(0xB0 | ((length >> 8) & 0x0F)),
                            static_cast<uint8_t>(length & 0xFF)};
  s.insert(s.end(), body.begin(), body.end());
  uint32_t crc = tu::crc32_mpeg(s.data(), s.size());
  for (int i = 3; i >= 0; i--) s.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  return s;
}

struct Program {
  uint16_t number;
  uint16_t pmt_pid;
};
inline std::vector<uint8_t> pat(const std::vector<Program>& programs, uint8_t section_number = 0,
                                uint8_t last_section_number = 0, bool current = true) {
  std::vector<uint8_t> b = {0x00, 0x01, static_cast<uint8_t>(0xC0 | (current ? 1 : 0)), section_number,
                            last_section_number};
  for (const Program& p : programs) {
    b.push_back(static_cast<uint8_t>(p.number >> 8));
    b.push_back(static_cast<uint8_t>(p.number));
    b.push_back(static_cast<uint8_t>(0xE0 | (p.pmt_pid >> 8)));
    b.push_back(static_cast<uint8_t>(p.pmt_pid));
  }
  return section(0x00, b);
}

struct Elementary {
  uint8_t stream_type;
  uint16_t pid;
  std::vector<uint8_t> descriptors;  // raw descriptor bytes (tag, length, body ...)
};
inline std::vector<uint8_t> pmt(uint16_t program_number, uint16_t pcr_pid, const std::vector<Elementary>& es,
                                const std::vector<uint8_t>& program_info = {}) {
  std::vector<uint8_t> b = {static_cast<uint8_t>(program_number >> 8), static_cast<uint8_t>(program_number),
                            0xC1, 0x00, 0x00,
                            static_cast<uint8_t>(0xE0 | (pcr_pid >> 8)), static_cast<uint8_t>(pcr_pid),
                            static_cast<uint8_t>(0xF0 | (program_info.size() >> 8)),
                            static_cast<uint8_t>(program_info.size())};
  b.insert(b.end(), program_info.begin(), program_info.end());
  for (const Elementary& e : es) {
    b.push_back(e.stream_type);
    b.push_back(static_cast<uint8_t>(0xE0 | (e.pid >> 8)));
    b.push_back(static_cast<uint8_t>(e.pid));
    b.push_back(static_cast<uint8_t>(0xF0 | (e.descriptors.size() >> 8)));
    b.push_back(static_cast<uint8_t>(e.descriptors.size()));
    b.insert(b.end(), e.descriptors.begin(), e.descriptors.end());
  }
  return section(0x02, b);
}
// A CA descriptor (tag 9): CA_system_ID, CA_PID.
inline std::vector<uint8_t> ca_descriptor() { return {0x09, 0x04, 0x0B, 0x00, 0xE1, 0x00}; }

// Writes packets of 188, 192 (4-byte prefix first) or 204 (16 parity bytes
// after) bytes. Every packet body is exactly 188 bytes.
class Writer {
 public:
  explicit Writer(int size = 188) : size_(size) {}
  std::vector<uint8_t> bytes;

  // One packet. adaptation: the adaptation field after its length byte
  // (nullptr = none); payload fills the rest. The body is padded with 0xFF
  // (or truncated to 188) so that hand-made damage is possible.
  void packet(uint16_t pid, bool pusi, int afc, const std::vector<uint8_t>* adaptation,
              const std::vector<uint8_t>& payload, int scrambling = 0, int adaptation_length = -1) {
    if (size_ == 192) {
      uint32_t t = static_cast<uint32_t>(bytes.size());
      for (int i = 3; i >= 0; i--) bytes.push_back(static_cast<uint8_t>(t >> (8 * i)));
    }
    std::vector<uint8_t> p = {0x47, static_cast<uint8_t>((pusi ? 0x40 : 0) | ((pid >> 8) & 0x1F)),
                              static_cast<uint8_t>(pid),
                              static_cast<uint8_t>((scrambling << 6) | (afc << 4) | (cc_[pid & 0x1FFF]++ & 15))};
    if (adaptation) {
      p.push_back(static_cast<uint8_t>(adaptation_length >= 0 ? adaptation_length : adaptation->size()));
      p.insert(p.end(), adaptation->begin(), adaptation->end());
    }
    p.insert(p.end(), payload.begin(), payload.end());
    p.resize(188, 0xFF);
    bytes.insert(bytes.end(), p.begin(), p.end());
    if (size_ == 204)
      for (int i = 0; i < 16; i++) bytes.push_back(static_cast<uint8_t>(i & 1 ? 0x47 : 0xA5));
  }

  // A payload of exactly n (1..184) bytes: adaptation-field stuffing fills the rest.
  void sized(uint16_t pid, bool pusi, const std::vector<uint8_t>& payload) {
    size_t n = payload.size();
    if (n >= 184) {
      packet(pid, pusi, 1, nullptr, payload);
      return;
    }
    std::vector<uint8_t> af;
    if (183 - n > 0) {
      af.push_back(0x00);                              // no flags
      af.resize(183 - n, 0xFF);
    }
    packet(pid, pusi, 3, &af, payload);
  }

  // A section split over as many packets as it needs (pointer_field 0).
  void psi(uint16_t pid, const std::vector<uint8_t>& sec) {
    std::vector<uint8_t> data = {0x00};
    data.insert(data.end(), sec.begin(), sec.end());
    for (size_t at = 0; at < data.size(); at += 184) {
      std::vector<uint8_t> part(data.begin() + at, data.begin() + std::min(data.size(), at + 184));
      packet(pid, at == 0, 1, nullptr, part);
    }
  }
  void null_packet() { packet(0x1FFF, false, 1, nullptr, std::vector<uint8_t>(184, 0x00)); }

  int size() const { return size_; }
  // File position of the byte at offset k of the body of the packet that the
  // next packet() call writes.
  size_t next_body(size_t k) const { return bytes.size() + (size_ == 192 ? 4 : 0) + k; }

 private:
  int size_;
  uint8_t cc_[8192] = {};
};

// A PES header with PTS and DTS (PES_header_data_length 10).
inline std::vector<uint8_t> pes_header(uint8_t stream_id = 0xE0) {
  return {0x00, 0x00, 0x01, stream_id, 0x00, 0x00, 0x80, 0xC0, 0x0A,
          0x31, 0x00, 0x01, 0x00, 0x01, 0x11, 0x00, 0x01, 0x00, 0x01};
}

// The video payload of a transport stream and the file position of each of
// its bytes: packets found by their sync byte at the packet spacing, headers,
// adaptation fields and PES headers stripped, payload up to byte 188.
struct Payload {
  std::vector<uint8_t> bytes;
  std::vector<uint64_t> pos;
};
inline Payload demux(const std::vector<uint8_t>& f, int size, unsigned pid) {
  Payload out;
  size_t first = size == 192 ? 4 : 0;
  for (size_t at = first; at + 188 <= f.size(); at += size) {
    const uint8_t* p = &f[at];
    if (p[0] != 0x47) continue;
    unsigned ppid = ((p[1] & 0x1F) << 8) | p[2];
    int afc = (p[3] >> 4) & 3;
    if (ppid != pid || (p[3] & 0xC0) || !(afc & 1)) continue;
    size_t k = afc == 3 ? 5 + p[4] : 4;
    if (k >= 188) continue;
    if (p[1] & 0x40) {
      if (k + 9 > 188 || p[k] != 0 || p[k + 1] != 0 || p[k + 2] != 1) continue;
      k += 9 + p[k + 8];
    }
    for (; k < 188; k++) {
      out.bytes.push_back(p[k]);
      out.pos.push_back(at + k);
    }
  }
  return out;
}

// Writes an elementary stream as TS packets on PID 0x100 with every start
// code split across packets (00|00 01, 00 00|01, and 00|00|01 through a
// packet of one payload byte), with adaptation-only, null, audio and PCR-only
// packets between the video packets. Returns the file position of each ES byte.
inline std::vector<uint64_t> write_split(Writer& w, const std::vector<uint8_t>& es, bool with_tables = true) {
  const uint16_t vpid = 0x100, apid = 0x101;
  if (with_tables) {
    w.psi(0, pat({{1, 0x1000}}));
    w.psi(0x1000, pmt(1, vpid, {{0x1B, vpid, {}}, {0x03, apid, {}}}));
  }
  std::vector<uint64_t> map(es.size());
  auto sc = tu::scan_start_codes(es);
  std::vector<size_t> cuts;                          // ES offsets where a packet's payload ends
  for (size_t i = 0; i < sc.size(); i++) {
    size_t p = sc[i].pos;
    switch (i % 4) {
      case 0: cuts.push_back(p + 1); break;          // 00 | 00 01
      case 1: cuts.push_back(p + 2); break;          // 00 00 | 01
      case 2: cuts.push_back(p + 1); cuts.push_back(p + 2); break;  // 00 | 00 | 01
      default: break;                                // whole in one packet, wherever it falls
    }
  }
  size_t at = 0, next_cut = 0, packets = 0;
  bool pes_start = true;
  while (at < es.size()) {
    while (next_cut < cuts.size() && cuts[next_cut] <= at) next_cut++;
    std::vector<uint8_t> payload;
    if (pes_start) payload = pes_header();
    size_t room = 184 - payload.size();
    size_t end = std::min(es.size(), at + room);
    if (next_cut < cuts.size() && cuts[next_cut] < end) end = cuts[next_cut];
    size_t k0 = payload.size();
    payload.insert(payload.end(), es.begin() + at, es.begin() + end);
    // The body offset of the first ES byte: 188 - payload size.
    size_t body = 188 - payload.size();
    for (size_t k = at; k < end; k++) map[k] = w.next_body(body + k0 + (k - at));
    w.sized(vpid, pes_start, payload);
    pes_start = false;
    at = end;
    packets++;
    // Noise between video packets, in a rotating pattern.
    switch (packets % 6) {
      case 0: {
        std::vector<uint8_t> af(183, 0xFF);
        af[0] = 0x00;
        w.packet(vpid, false, 2, &af, {});           // adaptation only on the video PID
        break;
      }
      case 1: {
        std::vector<uint8_t> audio = pes_header(0xC0);
        for (int k = 0; k < 40; k++) audio.insert(audio.end(), {0x00, 0x00, 0x01, 0x65});
        w.packet(apid, true, 1, nullptr, audio);
        break;
      }
      case 2: w.null_packet(); break;
      case 3: {
        std::vector<uint8_t> af = {0x10, 0, 0, 0, 0, 0x7E, 0};  // PCR only
        af.resize(183, 0xFF);
        w.packet(vpid, false, 2, &af, {});
        break;
      }
      case 4:
        if (packets % 60 == 4) pes_start = true;     // a new PES packet now and then
        break;
      default: break;
    }
  }
  return map;
}


}  // namespace tst
