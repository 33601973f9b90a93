// Helpers shared by the tests: scratch folders, running programs, making
// inputs with the Debian encoders, and independent references (start-code
// scans, ffprobe) to compare Ostrel's results with.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tu {

struct RunResult {
  int status = -1;          // exit status, or -1 when the program did not exit normally
  std::string out;          // standard output and standard error together
};

// Runs a shell command line; captures output and exit status.
RunResult run(const std::string& cmdline);
// Quotes a word for the shell.
std::string q(const std::string& s);
// True when the program is on PATH.
bool have(const std::string& program);

// A fresh scratch folder per test (under the build tree), removed never: CI
// machines are thrown away and a failed test leaves its inputs to look at.
std::string scratch(const std::string& name);
// A scratch folder of this process, made, ending in '/': for the inputs a
// test suite makes once, as each test may run in its own process (ctest -j).
std::string process_scratch(const std::string& name);

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
std::string read_text(const std::string& path);
std::vector<std::string> lines(const std::string& text);
bool exists(const std::string& path);

// Runs ffmpeg (quietly, overwriting) with the given arguments; true on success.
bool ffmpeg(const std::string& args);

// Runs Ostrel. args is the whole argument string, already quoted.
RunResult ostrel(const std::string& args);

// One unit as found by an independent scan of an elementary stream:
// offset of its 00 00 01 start code and the first byte after it.
struct ScanUnit {
  uint64_t pos;
  uint8_t code;
};
std::vector<ScanUnit> scan_start_codes(const std::vector<uint8_t>& es);

// ffprobe -show_frames of the first video stream, one map per frame with the
// keys ffprobe prints (pict_type, interlaced_frame, top_field_first,
// repeat_pict, ...).
std::vector<std::map<std::string, std::string>> ffprobe_frames(const std::string& path,
                                                               const std::string& extra = "");
// ffprobe -show_streams of the first video stream.
std::map<std::string, std::string> ffprobe_stream(const std::string& path);
// The presentation times of the first video stream that ffprobe finds: of
// its frames (pts, else best_effort_timestamp) and of its packets, in the
// stream's time base, each once, in order.
std::set<long long> ffprobe_shown_times(const std::string& path);
// One mark per frame slot of an index's picture lines: '.' for a picture,
// 'L' for a LOST line.
std::string kwi_slot_marks(const std::vector<std::string>& lines);
// The slot marks an index of a damaged recording must have: one per time of
// the intact recording (in order), 'L' where the damaged file has no frame
// or packet of that time; then '.' for the frames of the intact recording
// that have no time (frames - intact.size()); lost slots after the last
// picture are not listed.
std::string expected_slot_marks(const std::set<long long>& intact, size_t frames, const std::set<long long>& damaged);
// The same by frames: the intact recording's pictures in display order,
// each read in the damaged file or not, with the fields it shows (2 a
// frame, 3, 4 or 6 with pulldown repeats: 2 + ffprobe's repeat_pict); '.'
// for each picture read,
// and for each run of pictures not read between two that are, an 'L' for
// every whole frame their fields make up. Pictures before the first read
// and after the last read have no slot.
struct ShownPicture {
  bool read;
  int fields;
};
std::string expected_frame_marks(const std::vector<ShownPicture>& pictures);
// Whether the slot marks got have the pictures of `bound` (its '.'s) and in
// each run of slots between two pictures no more 'L's than it.
bool marks_within(const std::string& got, const std::string& bound);

// Index file helpers: the lines of a .kwi, and the lines that begin with a keyword.
std::vector<std::string> kwi_lines(const std::string& path);
std::vector<std::string> kwi_with(const std::vector<std::string>& lines, const std::string& keyword);
// Picture lines ("N:FRM ..." and the HEVC picture keywords) without their "N:" index.
std::vector<std::string> kwi_pictures(const std::vector<std::string>& lines);

// One unit as the unitdump tool prints it: position of its start code in the
// input, the byte after the start code, length with the prefix, and the
// prefix length (3, or 4 with a leading zero byte).
struct DumpUnit {
  uint64_t pos;
  unsigned code;
  uint32_t len;
  int prefix;
  bool operator==(const DumpUnit& o) const {
    return pos == o.pos && code == o.code && len == o.len && prefix == o.prefix;
  }
};
std::ostream& operator<<(std::ostream& os, const DumpUnit& u);
// Runs unitdump with the (quoted) arguments and parses its lines. The run's
// status and output go to *result; without result a failed run fails the test.
std::vector<DumpUnit> unitdump(const std::string& args, RunResult* result = nullptr);
// The units an Annex B reader must deliver for an elementary stream, from a
// start-code scan: every start code begins a unit that runs to the next one,
// and a last unit under 5 bytes is none. The AVC/HEVC reader (avc_reader)
// gives the first unit a four-byte prefix when a zero byte precedes its start
// code; the reader of the other codecs does not. map, when not empty, turns
// elementary-stream offsets into file positions.
std::vector<DumpUnit> expected_units(const std::vector<uint8_t>& es, bool avc_reader,
                                     const std::vector<uint64_t>& map = {});

// Runs Ostrel on one input ("-i input -o kwi") and returns the lines of the
// index file, whatever the run's status (none when no file was written; an
// index of an earlier run is removed first); the status and output go to
// *result.
std::vector<std::string> index_lines(const std::string& input, const std::string& kwi,
                                     RunResult* result = nullptr);
// The run refused an input that holds no picture to decode from: status 1,
// Ostrel's message, and no index file left behind (lines read from it are
// empty).
::testing::AssertionResult refused_no_picture(const RunResult& r, const std::vector<std::string>& lines);
// The one index line that begins with keyword; when there is not exactly one,
// a text that says how many there are (and equals no index line).
std::string kwi_line(const std::vector<std::string>& lines, const std::string& keyword);
// What follows "KEYWORD " on the one line that begins with it; when there is
// not exactly one, a text that says how many there are.
std::string kwi_value(const std::vector<std::string>& lines, const std::string& keyword);

// CRC-32 of MPEG-2 systems sections (polynomial 04C11DB7, initial all ones,
// no reflection, no final inversion).
uint32_t crc32_mpeg(const uint8_t* p, size_t n);

// A QuickTime movie without its leading file type box, written to out: the
// box cut off and every chunk offset (stco, co64) lowered by its size, so
// that other readers read the same samples. Returns the type of the box now
// first, or "" when `mov` does not begin with a file type box or lists no
// chunk offsets.
std::string cut_file_type(const std::string& mov, const std::string& out);

}  // namespace tu
