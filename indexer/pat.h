// Transport-stream program analysis (PAT/PMT) and choice of the video PID.
#pragma once

#include <cstdio>

#include "global.h"

constexpr u32 PAT_MAX_PIDS = 500;                    // known PIDs, PMT PIDs and programs kept
constexpr u32 PAT_SECTION_SIZE = 4100;               // assembly buffer; a section is at most 3 + 1021 bytes
constexpr u32 PAT_NO_TABLE = 8192;                   // a PID no packet has: no table watched

// Reads the PAT and the PMTs at the start of a transport stream on its own
// file handle (the shared read buffer is never touched), chooses the video
// PID unless the command line gave one, takes the PCR PID, and lists every
// PID the tables declare. One process-wide object, pat_parser.
class PATParser {
 public:
  PATParser();

  // Sets select_video, reads the tables, and falls back to the PES headers
  // when the tables name no video PID. Returns 0; exits with status 1 when the
  // file cannot be opened or holds no packet sync at all.
  int DoInitialPids(const char* filename);
  // 0 after reading the PAT and every PMT, 1 when no PAT section was found,
  // or the non-zero result of a failed re-synchronisation.
  int AnalyzePAT();
  // Reads packets until the table on pid is read, nothing of it was found,
  // or the packet budget is spent.
  void GetTable(u32 pid);
  // Interpret the assembled section; 1 when reading of this table is complete.
  int ProcessPATSection();
  int ProcessPMTSection();
  // Positions file at a packet's sync byte; 0 on success, 1 on failure.
  int SyncTransport();
  // Classifies the PIDs by their PES headers; 0, or the non-zero result of a
  // failed synchronisation.
  int AnalyzeRaw();

  // The video's program table through the indexing pass: payload bytes
  // (n of them, after any adaptation field) of a packet on
  // watched_table_pid, pusi its payload_unit_start_indicator, in the file
  // numbered file. A current section of the video's program, whole and of a
  // good CRC, that no longer lists the video PID and names video of another
  // codec ends the run: the video switches to it there, and the index could
  // hold only the part before.
  void WatchVideoTable(const unsigned char* p, u32 n, bool pusi, int file);

  // True when the tables mention pid (constant time; the byte reader asks
  // this for every packet of an M2TS file).
  bool IsKnownPid(u32 pid) const { return pid < 8192 && (known_pid_bits[pid >> 5] >> (pid & 31)) & 1; }

  u32 known_pid_count = 0;                           // entries of known_pids in use
  u32 known_pids[PAT_MAX_PIDS] = {};                 // PIDs the tables mention, no duplicates
  u32 select_video = 0;                              // 1: the video, PCR and CA rules apply
  const char* file_name = nullptr;                   // the analysed file
  FILE* file = nullptr;                              // open only inside AnalyzePAT / AnalyzeRaw
  u32 pmt_pid_count = 0;                             // entries of pmt_pids in use
  u32 program_count = 0;                             // entries of program_numbers in use
  unsigned char pat_pending = 1;                     // 1 until a PAT section has begun
  unsigned char pmt_pending = 1;                     // 1 until a section of the current PMT has begun
  u32 pmt_pids[PAT_MAX_PIDS] = {};                   // PIDs carrying PMTs, in PAT order
  u32 program_numbers[PAT_MAX_PIDS] = {};            // programs whose PMT has been interpreted
  unsigned char section[PAT_SECTION_SIZE] = {};      // section being assembled, from its table_id
  unsigned char* section_end = section;              // where the next section bytes go
  unsigned char packet[208] = {};                    // the packet just read (up to 204 bytes)
  u32 watched_table_pid = PAT_NO_TABLE;              // PMT PID of the video's program
  u32 video_program = 0;                             // its program_number, where watched_table_pid is set

 private:
  void AddKnownPid(u32 pid);
  void ClearKnownPids();
  void TakeWatched(const unsigned char* b, u32 count, int file);
  void JudgeWatched(int file) const;

  u32 known_pid_bits[8192 / 32] = {};                // membership bitmap of known_pids
  bool video_from_tables = false;                    // the tables (not "-v") chose the video PID
  u32 table_pid = PAT_NO_TABLE;                      // PID of the table GetTable reads
  unsigned char watch_section[PAT_SECTION_SIZE] = {};  // section of watched_table_pid being assembled
  u32 watch_have = 0;                                // its bytes assembled
  u32 watch_need = 0;                                // its whole size once the header is in, else 0
  bool watch_open = false;                           // a section is being assembled
};
extern PATParser pat_parser;
// Back to the state of a fresh process (no tables read, no PIDs known).
void reset_pat_parser();
