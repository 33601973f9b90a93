// Transport-stream program analysis: PAT and PMT sections, the choice of the
// video PID, the list of declared PIDs, the fallback that classifies PIDs
// by their PES headers when the tables name no video stream, and the watch
// of the video's program table through the indexing pass.
//
// Every packet is read whole into `packet` (TransportPacketSize bytes from
// its sync byte). Whatever the packet size, the 188 bytes of the packet
// proper come first: the 4-byte prefix of a 192-byte packet is read as the
// tail of the previous read, the 16 parity bytes of a 204-byte packet are its
// own tail. So every field offset below is checked against 188, never against
// the read size.
#include "pat.h"

#include <cstdlib>
#include <cstring>

#include "decode.h"
#include "index.h"

PATParser pat_parser;

namespace {

constexpr u32 kPacketBody = 188;                     // sync byte to the last payload byte
constexpr u32 kM2tsPrefix = 192 - 188;               // time stamp before each 192-byte packet
constexpr u32 kTablePacketBudget = 100000;           // packets read for one table
constexpr u32 kRawPacketBudget = 100000;             // packets classified by the raw analysis
constexpr u32 kSyncBudget = 10000000;                // bytes searched for one synchronisation
constexpr u32 kMaxSectionLength = 1021;              // largest section_length of a PAT/PMT
constexpr u32 kSectionHeader = 3;                    // table_id and the two length bytes
constexpr u32 kCrcSize = 4;
constexpr u32 kNoPid = 2;                            // value of a PID not chosen
constexpr unsigned char kCaDescriptorTag = 9;

// stream_type values that carry video the indexer can take.
constexpr unsigned char kVideoStreamTypes[] = {
    0x01,  // MPEG-1 video (refused later by the codec probe, but still the video stream)
    0x02,  // MPEG-2 video
    0x1B,  // H.264
    0x24,  // H.265
    0x25, 0x27, 0x28, 0x29, 0x2A,  // H.265 temporal and layered sub-streams
    0xEA,  // VC-1
};

bool is_video_stream_type(unsigned char t) {
  for (unsigned char v : kVideoStreamTypes)
    if (v == t) return true;
  return false;
}

// The codec of a video stream_type, numbered as VideoStream_Flag (MPEG-1
// and MPEG-2 video alike 1).
int stream_type_codec(unsigned char t) {
  if (t == 0x01 || t == 0x02) return 1;
  if (t == 0x1B) return 0;
  if (t == 0xEA) return 3;
  return 4;  // the H.265 types of kVideoStreamTypes
}

// CRC_32 of ISO/IEC 13818-1 annex A over a section that ends with its own
// CRC: 0 when the section is intact.
u32 section_crc(const unsigned char* p, u32 n) {
  u32 crc = 0xFFFFFFFF;
  for (u32 i = 0; i < n; i++) {
    crc ^= static_cast<u32>(p[i]) << 24;
    for (int b = 0; b < 8; b++) crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
  }
  return crc;
}

// The raw analysis' table: PIDs in order of first appearance with the class
// of their latest PES start (or 1 for PCR-only packets, 0 for nothing known).
// A stream with more PIDs than records leaves the later ones unclassified;
// the video PID is looked for among the first 500 PIDs seen.
struct RawPid {
  u32 pid;                                           // all ones = empty
  unsigned char cls;
};
RawPid Pids[PAT_MAX_PIDS];

constexpr u32 kEmptyPid = 0xFFFFFFFF;
constexpr unsigned char kClassPcrOnly = 1;
constexpr unsigned char kClassAc3 = 0x80;            // private stream 1 without a DTS sync word
constexpr unsigned char kClassDts = 0xFE;            // private stream 1 beginning 7F FE 80 01
constexpr unsigned char kClassVc1 = 0xFC;            // extension stream with a VC-1 sub-id

u32 packet_pid(const unsigned char* p) { return (static_cast<u32>(p[1] & 0x1F) << 8) | p[2]; }

}  // namespace

void reset_pat_parser() {
  if (pat_parser.file) fclose(pat_parser.file);
  pat_parser = PATParser();
  for (RawPid& p : Pids) p = {kEmptyPid, 0};
}

PATParser::PATParser() {
  known_pid_count = 0;
  known_pids[0] = 0;
}

void PATParser::ClearKnownPids() {
  known_pid_count = 0;
  memset(known_pid_bits, 0, sizeof known_pid_bits);
}

// The list is kept without duplicates; when it is full the PID is still
// marked known in the bitmap, so that the byte reader of an M2TS file does not
// take a declared stream's packets for lost synchronisation.
void PATParser::AddKnownPid(u32 pid) {
  pid &= 0x1FFF;
  if (IsKnownPid(pid)) return;
  known_pid_bits[pid >> 5] |= 1u << (pid & 31);
  if (known_pid_count < PAT_MAX_PIDS) known_pids[known_pid_count++] = pid;
}

int PATParser::DoInitialPids(const char* filename) {
  select_video = 1;
  file_name = filename;
  video_from_tables = false;
  AnalyzePAT();
  if (MPEG2_Transport_VideoPID == kNoPid) AnalyzeRaw();
  return 0;
}

int PATParser::SyncTransport() {
  const u32 n = static_cast<u32>(TransportPacketSize);
  if (n == 192 && fseeko(file, kM2tsPrefix, SEEK_CUR) != 0) return 1;
  for (u32 searched = 0; searched < kSyncBudget; searched++) {
    int c = fgetc(file);
    if (c == EOF) return 1;
    if (c != ts_sync_byte) continue;
    const off_t after = ftello(file);
    if (after < 0 || fseeko(file, n - 1, SEEK_CUR) != 0) return 1;
    int c2 = fgetc(file);
    if (c2 == ts_sync_byte) {
      // Back to the first of the two sync bytes.
      return fseeko(file, after - 1, SEEK_SET) != 0 ? 1 : 0;
    }
    if (fseeko(file, after, SEEK_SET) != 0) return 1;
  }
  return 1;
}

int PATParser::AnalyzePAT() {
  ClearKnownPids();
  pmt_pid_count = 0;
  pat_pending = 1;
  pmt_pending = 1;
  file = InputFopen(file_name);
  if (!file) {
    printf("ERROR: cannot open the input file\n");
    ostrel_exit(1);
  }
  if (SyncTransport() != 0) {
    fclose(file);
    file = nullptr;
    printf("ERROR: cannot sync to the transport stream\n");
    ostrel_exit(1);
  }
  GetTable(0);
  if (pat_pending) {
    fclose(file);
    file = nullptr;
    return 1;
  }
  program_count = 0;
  for (u32 i = 0; i < pmt_pid_count; i++) {
    int r = fseeko(file, 0, SEEK_SET) != 0 ? 1 : SyncTransport();
    if (r != 0) {
      fclose(file);
      file = nullptr;
      return r;
    }
    pmt_pending = 1;
    GetTable(pmt_pids[i]);
  }
  fclose(file);
  file = nullptr;
  return 0;
}

void PATParser::GetTable(u32 pid) {
  const unsigned char expected = pid == 0 ? 0x00 : 0x02;
  table_pid = pid;
  unsigned char& pending = pid == 0 ? pat_pending : pmt_pending;
  const u32 n = static_cast<u32>(TransportPacketSize);
  u32 missing = 0;                                   // bytes of the section in progress still to come
  bool found = false;
  section_end = section;

  // Interprets the assembled section when it is current; 1 ends the table.
  auto complete = [&]() -> int {
    const u32 size = static_cast<u32>(section_end - section);
    int r = 0;
    if (size >= 6 && (section[5] & 1)) r = pid == 0 ? ProcessPATSection() : ProcessPMTSection();
    section_end = section;
    return r;
  };
  auto append = [&](const unsigned char* from, u32 count) {
    // missing never exceeds the room left: a section is at most 3 + 1021 bytes.
    if (count > static_cast<u32>(section + sizeof section - section_end)) count = 0;
    memcpy(section_end, from, count);
    section_end += count;
  };

  for (u32 read_count = 0; read_count < kTablePacketBudget; read_count++) {
    if (fread(packet, 1, n, file) != n) break;
    if (packet[0] != ts_sync_byte) {
      // Lost synchronisation: find the next packet start; a section in
      // progress cannot be completed from misaligned data.
      missing = 0;
      section_end = section;
      if (SyncTransport() != 0) break;
      continue;
    }
    if (packet_pid(packet) != pid || (packet[1] & 0x80)) continue;  // other PID, transport_error_indicator
    const bool pusi = (packet[1] & 0x40) != 0;
    if (pending && !pusi) continue;
    const u32 afc = (packet[3] >> 4) & 3;
    if (afc == 0 || afc == 2) continue;              // no payload
    u32 payload = 4;
    if (afc == 3) payload = 5 + packet[4];
    if (payload >= kPacketBody) continue;            // adaptation field fills (or overruns) the packet
    found = true;

    if (missing > 0 && pusi && packet[payload] < missing) {
      // The new section begins before the old one is complete: a packet was
      // lost, and the old section would be assembled from foreign bytes.
      missing = 0;
      section_end = section;
    }
    if (missing > 0) {
      // The continuation of the section in progress. In a packet that starts
      // a new section it lies between the pointer_field and that section.
      const u32 from = pusi ? payload + 1 : payload;
      const u32 holds = kPacketBody - from;
      if (missing > holds) {
        append(packet + from, holds);
        missing -= holds;
        continue;
      }
      append(packet + from, missing);
      missing = 0;
      if (complete() == 1) return;
    }
    // Sections begin only where the packet says one does.
    if (!pusi) continue;

    u32 s = payload + 1 + packet[payload];           // after pointer_field
    if (s >= kPacketBody || packet[s] != expected) continue;
    for (;;) {
      // The section header must lie in this packet to know the section's length.
      if (s + kSectionHeader > kPacketBody) break;
      const unsigned char b1 = packet[s + 1];
      if ((b1 & 0xC0) != 0x80 || (b1 & 0x0C) != 0) break;  // syntax indicator 1, '0', reserved length bits 0
      const u32 length = (static_cast<u32>(b1 & 0x03) << 8) | packet[s + 2];
      if (length > kMaxSectionLength) break;
      pending = 0;
      const u32 total = kSectionHeader + length;
      if (s + total > kPacketBody) {
        append(packet + s, kPacketBody - s);
        missing = total - (kPacketBody - s);
        break;
      }
      append(packet + s, total);
      if (complete() == 1) return;
      s += total;
      if (s >= kPacketBody || packet[s] != expected) break;  // 0xFF stuffing or another table
    }
  }
  if (!found) {
    if (pid == 0)
      printf("Could not find PAT table on PID 0 [0x0]\n");
    else
      printf("Could not find PMT table on PID %u [0x%x]\n", pid, pid);
  }
}

int PATParser::ProcessPATSection() {
  const u32 size = static_cast<u32>(section_end - section);
  const u32 length = size - kSectionHeader;
  // section_length counts transport_stream_id .. last_section_number (5) and the CRC (4).
  if (length < 9) return 0;
  const int result = section[6] == section[7] ? 1 : 0;  // section_number == last_section_number
  const u32 entries = (length - 9) / 4;
  if (entries > 0) AddKnownPid(0);
  for (u32 i = 0; i < entries; i++) {
    const unsigned char* e = section + 8 + 4 * i;
    const u32 program_number = (static_cast<u32>(e[0]) << 8) | e[1];
    const u32 pid = (static_cast<u32>(e[2] & 0x1F) << 8) | e[3];
    AddKnownPid(pid);
    if (program_number == 0) continue;               // network PID, not a PMT
    bool listed = false;
    for (u32 k = 0; k < pmt_pid_count && !listed; k++) listed = pmt_pids[k] == pid;
    if (listed) continue;
    if (pmt_pid_count >= PAT_MAX_PIDS) {
      printf("PAT lists more than %u PMT PIDs; PID %u [0x%x] is not read.\n", PAT_MAX_PIDS, pid, pid);
      continue;
    }
    pmt_pids[pmt_pid_count++] = pid;
  }
  pat_pending = 0;
  return result;
}

int PATParser::ProcessPMTSection() {
  const u32 size = static_cast<u32>(section_end - section);
  // section_length counts program_number .. program_info_length (9) and the CRC (4).
  if (size < kSectionHeader + 13) return 0;
  const u32 program_number = (static_cast<u32>(section[3]) << 8) | section[4];
  for (u32 k = 0; k < program_count; k++)
    if (program_numbers[k] == program_number) return 1;  // the PMTs on this PID have come round
  if (program_count >= PAT_MAX_PIDS) return 1;       // no room to tell a repeat: stop reading this PID
  program_numbers[program_count++] = program_number;

  const u32 pcr_pid = (static_cast<u32>(section[8] & 0x1F) << 8) | section[9];
  AddKnownPid(pcr_pid);
  if (select_video == 1 && MPEG2_Transport_PCRPID == kNoPid) MPEG2_Transport_PCRPID = pcr_pid;

  const u32 crc = size - kCrcSize;                   // entries and descriptors end here
  const u32 program_info_length = (static_cast<u32>(section[10] & 0x0F) << 8) | section[11];
  u32 i = 12 + program_info_length;
  while (i + 5 <= crc) {
    const unsigned char stream_type = section[i];
    const u32 pid = (static_cast<u32>(section[i + 1] & 0x1F) << 8) | section[i + 2];
    const u32 es_info_length = (static_cast<u32>(section[i + 3] & 0x0F) << 8) | section[i + 4];
    const u32 descriptors = i + 5;
    // An ES_info_length that runs into the CRC is cut there; no entry can follow it.
    const u32 end = es_info_length > crc - descriptors ? crc : descriptors + es_info_length;

    if (select_video == 1 && MPEG2_Transport_VideoPID == kNoPid && is_video_stream_type(stream_type)) {
      MPEG2_Transport_VideoPID = pid;
      video_from_tables = true;
    }
    AddKnownPid(pid);
    // A CA descriptor marks the stream scrambled: a choice made from the
    // tables is undone so that a later clear video entry can be taken. A PID
    // given on the command line stays the user's choice.
    for (u32 d = descriptors; d + 2 <= end;) {
      const u32 tag = section[d], len = section[d + 1];
      if (len > end - d - 2) break;
      if (tag == kCaDescriptorTag && select_video == 1 && video_from_tables && MPEG2_Transport_VideoPID == pid) {
        MPEG2_Transport_VideoPID = kNoPid;
        video_from_tables = false;
      }
      d += 2 + len;
    }
    // The program that carries the video is watched through the run.
    if (pid == MPEG2_Transport_VideoPID && MPEG2_Transport_VideoPID != kNoPid && watched_table_pid == PAT_NO_TABLE) {
      watched_table_pid = table_pid;
      video_program = program_number;
    }
    i = end;
  }
  return 0;
}

void PATParser::WatchVideoTable(const unsigned char* p, u32 n, bool pusi, int file) {
  if (n == 0) return;
  u32 from = 0;
  if (pusi) {
    // The pointer_field: the end of the section in progress comes first.
    const u32 pointer = p[0];
    if (pointer >= n) {
      watch_open = false;
      return;
    }
    if (watch_open) TakeWatched(p + 1, pointer, file);
    // A section still open here lost its end: it is dropped.
    watch_open = true;
    watch_have = watch_need = 0;
    from = 1 + pointer;
  } else if (!watch_open) {
    return;
  }
  TakeWatched(p + from, n - from, file);
}

void PATParser::TakeWatched(const unsigned char* b, u32 count, int file) {
  while (count > 0 && watch_open) {
    if (watch_have == 0 && b[0] != 0x02) {
      watch_open = false;  // stuffing, or a table of another kind
      return;
    }
    const u32 want = watch_have < kSectionHeader ? kSectionHeader - watch_have : watch_need - watch_have;
    const u32 take = want < count ? want : count;
    memcpy(watch_section + watch_have, b, take);  // watch_need <= 3 + 1021 <= the buffer
    watch_have += take;
    b += take;
    count -= take;
    if (watch_need == 0 && watch_have == kSectionHeader) {
      const unsigned char b1 = watch_section[1];
      const u32 length = (static_cast<u32>(b1 & 0x03) << 8) | watch_section[2];
      if ((b1 & 0xC0) != 0x80 || (b1 & 0x0C) != 0 || length > kMaxSectionLength || length < 13) {
        watch_open = false;
        return;
      }
      watch_need = kSectionHeader + length;
    }
    if (watch_need != 0 && watch_have == watch_need) {
      JudgeWatched(file);
      watch_have = watch_need = 0;  // another section may follow in the packet
    }
  }
}

void PATParser::JudgeWatched(int file) const {
  const unsigned char* s = watch_section;
  const u32 size = watch_need;
  // A damaged section, one not yet current, or another program's tells nothing.
  if (section_crc(s, size) != 0 || !(s[5] & 1)) return;
  if (((static_cast<u32>(s[3]) << 8) | s[4]) != video_program) return;
  const u32 crc = size - kCrcSize;
  const u32 program_info_length = (static_cast<u32>(s[10] & 0x0F) << 8) | s[11];
  int other = -1;  // the codec of the first clear video entry
  for (u32 i = 12 + program_info_length; i + 5 <= crc;) {
    const unsigned char stream_type = s[i];
    const u32 pid = (static_cast<u32>(s[i + 1] & 0x1F) << 8) | s[i + 2];
    const u32 es_info_length = (static_cast<u32>(s[i + 3] & 0x0F) << 8) | s[i + 4];
    const u32 descriptors = i + 5;
    const u32 end = es_info_length > crc - descriptors ? crc : descriptors + es_info_length;
    if (pid == MPEG2_Transport_VideoPID) return;  // the video goes on
    bool scrambled = false;
    for (u32 d = descriptors; d + 2 <= end;) {
      const u32 len = s[d + 1];
      if (len > end - d - 2) break;
      scrambled = scrambled || s[d] == kCaDescriptorTag;
      d += 2 + len;
    }
    if (other < 0 && !scrambled && is_video_stream_type(stream_type)) other = stream_type_codec(stream_type);
    i = end;
  }
  if (other >= 0) refuse_switched_codec(file, other);
}

int PATParser::AnalyzeRaw() {
  file = InputFopen(file_name);
  if (!file) {
    printf("ERROR: cannot open the input file for raw PID analysis\n");
    ostrel_exit(1);
  }
  const u32 n = static_cast<u32>(TransportPacketSize);
  for (bool lost = true; lost;) {
    lost = false;
    int r = SyncTransport();
    if (r != 0) {
      fclose(file);
      file = nullptr;
      return r;
    }
    for (RawPid& p : Pids) p = {kEmptyPid, 0};
    for (u32 count = 0; count < kRawPacketBudget; count++) {
      if (fread(packet, 1, n, file) != n) break;
      if (packet[0] != ts_sync_byte) {
        lost = true;                                 // synchronise again from here, table emptied
        break;
      }
      const bool pusi = (packet[1] & 0x40) != 0;
      const u32 afc = (packet[3] >> 4) & 3;
      unsigned char cls = 0;
      if (pusi && (afc == 1 || afc == 3)) {
        const u32 p = afc == 3 ? 5 + packet[4] : 4;
        if (p + 4 <= kPacketBody && packet[p] == 0 && packet[p + 1] == 0 && packet[p + 2] == 1) {
          cls = packet[p + 3];
          const u32 h = p + 8;                       // PES_header_data_length
          if (cls == 0xBD) {
            cls = kClassAc3;
            if (h < kPacketBody) {
              const u32 es = h + 1 + packet[h];
              if (es + 4 <= kPacketBody && packet[es] == 0x7F && packet[es + 1] == 0xFE &&
                  packet[es + 2] == 0x80 && packet[es + 3] == 0x01)
                cls = kClassDts;
            }
          } else if (cls == 0xFD) {
            // The last byte of the header data is the stream_id_extension.
            if (h < kPacketBody && packet[h] > 0 && h + packet[h] < kPacketBody) {
              const unsigned char ext = packet[h + packet[h]];
              if (ext >= 0x55 && ext <= 0x5F) cls = kClassVc1;
            }
          }
        }
      } else if (afc == 2) {
        if (packet[4] > 0 && (packet[5] & 0x10)) cls = kClassPcrOnly;  // PCR_flag
      }
      const u32 pid = packet_pid(packet);
      for (RawPid& rec : Pids) {
        if (rec.pid == kEmptyPid) {
          rec = {pid, cls};
          break;
        }
        if (rec.pid == pid) {
          if (rec.cls == 0 || rec.cls == kClassPcrOnly) rec.cls = cls;
          break;
        }
      }
    }
  }
  for (const RawPid& rec : Pids) {
    if (rec.pid == kEmptyPid) break;
    if ((rec.cls >= 0xE0 && rec.cls <= 0xEF) || rec.cls == kClassVc1) {
      if (select_video == 1 && MPEG2_Transport_VideoPID == kNoPid) MPEG2_Transport_VideoPID = rec.pid;
      break;
    }
  }
  fclose(file);
  file = nullptr;
  return 0;
}
