// Indexing driver and the common parts of the index file.
#include "index.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "avc.h"
#include "decode.h"
#include "Matroska.h"
#include "mp4.h"
#include "mp4/mp4.h"
#include "hevc.h"
#include "misc.h"
#include "mpg.h"
#include "mpls.h"
#include "nalu.h"
#include "pes.h"
#include "ts.h"
#include "vc1.h"

// The index file was created by this run (a failed run removes only that),
// and the run got past its end-of-run checks, so that it stays whatever
// follows (a chapters file that cannot be written fails the run, yet the
// index is whole).
static bool index_created;
static bool index_kept;

void discard_unfinished_index() {
  if (!index_created || index_kept) return;
  if (p_aif) fclose(p_aif);
  p_aif = nullptr;
  unlink(output_file);
  index_created = false;
}

void no_mem_exit(const char*) {
  printf("Could not allocate memory\n");
  ostrel_exit(100);
}

// ------------------------------------------------------------------ codec probe

constexpr int MAX_PROBE = 500;

// The codec that the first n probed unit codes show, -1 when none.
static int probe_decision(const unsigned char* codes, int n) {
  for (int i = 0; i < n; i++)
    if (codes[i] == 0xB2 || codes[i] == 0xB3 || codes[i] == 0xB5 || codes[i] == 0xB8) return 1;
  for (int i = 0; i + 2 < n; i++)
    if (((codes[i] >> 1) & 63) == 32 && ((codes[i + 1] >> 1) & 63) == 33 && ((codes[i + 2] >> 1) & 63) == 34) return 4;
  for (int i = 0; i < n; i++)
    if ((codes[i] & 15) >= 5 && (codes[i] & 15) <= 9) return 0;
  for (int i = 0; i < n; i++)
    if (codes[i] == 0x0D) return 3;
  return -1;
}

void judge_later_files();
namespace {
extern bool later_files_judged;
}

void SetVideoType() {
  Operation = 3;
  later_files_judged = false;
  process.unused0 = 0;
  if (SystemStream_Flag == 2 || SystemStream_Flag == 4) {
    Operation = 0;
    return;
  }
  u64 at = process.start_byte;
  if (SystemStream_Flag == 1 && at > 203) at -= 204;
  SeekStream(at);
  IsFirstByteStreamNALU = 1;
  const int first_file = CurrentFile;

  unsigned char codes[MAX_PROBE];
  int n = 0, first_file_units = 0;
  u64 pos;
  while (n < MAX_PROBE) {
    int r = GetAnnexbNALU(nalu, &pos);
    if (r < 0) {
      printf("Error while getting the Annex B NALU, exit\n");
      ostrel_exit(1);
    }
    if (r == 0) break;
    codes[n] = nalu->len > 3 ? nalu->buf[3] : 0;
    if (CurrentFile == first_file) first_file_units = n + 1;
    if (n > 0 && codes[n - 1] == 0xB3 && codes[n] != 0xB5) {
      printf("MPEG1 video not supported.\n");
      ostrel_exit(1);
    }
    n++;
  }
  if (n == 0) {
    printf("No video data found in the input.\n");
    ostrel_exit(1);
  }

  // Several files are one recording, but the codec is taken from the file
  // the probe started in when its units decide it: a mismatched later file is then refused
  // by the indexing pass (look_at_unit), not taken for the codec of all.
  int kind = probe_decision(codes, first_file_units);
  if (kind < 0) kind = probe_decision(codes, n);
  if (kind >= 0) {
    VideoStream_Flag = kind;
    judge_later_files();
  } else if (SystemStream_Flag == 1) {
    printf("Unknown video type. Try another video PID.\n");
  } else {
    printf("Unknown video type. Exiting...\n");
    ostrel_exit(1);
  }
  Operation = 0;
}

// ------------------------------------------------------------------ codec of the later input files
//
// The codec probe reads the first file only. A later file that shows
// another codec's parameter sets or sequence headers, and none of the
// detected codec's, is another recording, not a piece of this one. Evidence
// is a pair of adjacent units that only one codec writes; a piece cut
// anywhere from the same recording shows its own codec's pairs or none.

namespace {

constexpr int kEvidenceUnits = 500;                 // units of each later file looked at

int evidence_file;                                   // file whose first units are looked at
bool evidence_done = true;                           // that file is judged (or is the first)
bool later_files_judged;                             // judge_later_files ran: the pass need not
int evidence_units;                                  // its units looked at so far
int evidence_other = -1;                             // another codec it showed, -1 none
bool evidence_own;                                   // it showed the detected codec
unsigned char evidence_prev[2];                      // first two bytes after the previous unit's start code

const char* codec_name(int codec) {
  switch (codec) {
    case 0: return "AVC";
    case 1: return "MPEG-2";
    case 3: return "VC-1";
    case 4: return "HEVC";
    default: return "unknown";
  }
}

// The codec that writes units a then b (their first two bytes after the
// start code) next to each other, -1 when the pair tells nothing.
int pair_codec(const unsigned char* a, const unsigned char* b) {
  // MPEG-2: sequence header or picture header, then an extension.
  if ((a[0] == 0xB3 || a[0] == 0x00) && b[0] == 0xB5) return 1;
  // VC-1: sequence header, then entry point.
  if (a[0] == 0x0F && b[0] == 0x0E) return 3;
  // HEVC: VPS then SPS, or SPS then PPS, of layer 0, temporal id 0.
  if (a[1] == 0x01 && b[1] == 0x01 && ((a[0] == 0x40 && b[0] == 0x42) || (a[0] == 0x42 && b[0] == 0x44))) return 4;
  // AVC: SPS then PPS, both reference units.
  if ((a[0] & 0x9F) == 7 && (a[0] & 0x60) && (b[0] & 0x9F) == 8 && (b[0] & 0x60)) return 0;
  return -1;
}

void judge_evidence() {
  if (!evidence_done && evidence_other >= 0 && !evidence_own)
    abandon_index("ERROR: %s holds %s video; the input's codec was detected as %s.", Infilename[evidence_file],
                  codec_name(evidence_other), codec_name(VideoStream_Flag == 2 ? 1 : VideoStream_Flag));
  evidence_done = true;
}

}  // namespace

void refuse_switched_codec(int file, int codec) {
  const int own = VideoStream_Flag == 2 ? 1 : VideoStream_Flag;
  if (codec != own && file >= 0 && file < NumLoadedFiles)
    abandon_index("ERROR: %s holds %s video; the input's codec was detected as %s.", Infilename[file],
                  codec_name(codec), codec_name(own));
}

namespace {

void look_at_unit(const NALU_t* unit) {
  if (later_files_judged) return;
  if (CurrentFile != evidence_file) {
    judge_evidence();
    evidence_file = CurrentFile;
    evidence_done = CurrentFile <= 0;
    evidence_units = 0;
    evidence_other = -1;
    evidence_own = false;
    evidence_prev[0] = evidence_prev[1] = 0xFF;  // no unit before: no pair
  }
  if (evidence_done) return;
  const u32 prefix = static_cast<u32>(unit->startcodeprefix_len);
  unsigned char cur[2] = {0xFF, 0xFF};
  if (unit->len > prefix) cur[0] = unit->buf[prefix];
  if (unit->len > prefix + 1) cur[1] = unit->buf[prefix + 1];
  const int codec = pair_codec(evidence_prev, cur);
  const int own = VideoStream_Flag == 2 ? 1 : VideoStream_Flag;
  if (codec == own) evidence_own = true;
  else if (codec >= 0) evidence_other = codec;
  evidence_prev[0] = cur[0];
  evidence_prev[1] = cur[1];
  if (++evidence_units >= kEvidenceUnits) judge_evidence();
}

}  // namespace

// Each later file is judged from its own first units before the pass
// begins, so that none of its bytes reaches the analysis of the detected
// codec (another codec's units parsed as this one's only make noise that
// buries the reason).
void judge_later_files() {
  if (NumLoadedFiles < 2) return;
  u64 start = 0;
  for (int i = 1; i < NumLoadedFiles; i++) {
    start += Infilelength[i - 1];
    SeekStream(start);  // the end of the file before: the reader goes on into this one
    IsFirstByteStreamNALU = 1;
    evidence_file = -1;
    u64 pos;
    while (CurrentFile <= i) {
      const int r = GetAnnexbNALU(nalu, &pos);
      if (r <= 0 || CurrentFile > i) break;
      if (CurrentFile < i) continue;
      look_at_unit(nalu);
      if (evidence_done) break;
    }
    if (evidence_file == i) judge_evidence();
  }
  evidence_file = 0;
  evidence_done = true;
  later_files_judged = true;
}

namespace {

// ---- picture size changes
// The index holds one picture size, the last one the stream gives, and the
// plugin serves only pictures of that size. Where a stream changes its size
// the run says so, with the position where the access unit of the first
// picture of the new size begins: its first unit that is no part of the
// picture before it (parameter set, delimiter, sequence or group header),
// else its own first slice.
enum class UnitRole { kOpens, kPicture, kNeither };

UnitRole unit_role(const NALU_t* unit) {
  const u32 prefix = static_cast<u32>(unit->startcodeprefix_len);
  if (!unit->buf || unit->len <= prefix) return UnitRole::kNeither;
  const unsigned char head = unit->buf[prefix];
  switch (VideoStream_Flag) {
    case 0: {  // AVC: slices; end of sequence or stream and filler close a picture
      const int type = head & 31;
      if ((type >= 1 && type <= 5) || type == 19 || type == 20) return UnitRole::kPicture;
      return type >= 10 && type <= 12 ? UnitRole::kNeither : UnitRole::kOpens;
    }
    case 4: {  // HEVC: coded slices; end of sequence or stream, filler and suffix SEI close one
      const int type = (head >> 1) & 63;
      if (type <= 31) return UnitRole::kPicture;
      return (type >= 36 && type <= 38) || type == 40 ? UnitRole::kNeither : UnitRole::kOpens;
    }
    case 1:
    case 2:  // MPEG-1/2: slices; the sequence end code closes a picture
      if (head >= 0x01 && head <= 0xAF) return UnitRole::kPicture;
      return head == 0xB7 ? UnitRole::kNeither : UnitRole::kOpens;
    default:
      return UnitRole::kNeither;
  }
}

u64 access_unit_start = 0;       // first unit of the access unit being read
bool access_unit_open = false;   // ... when units before its slices were met
// Damage noted (damage_places) when the access unit opened, and when the
// unit before this one was read: a unit whose reading met damage spans it,
// and the next one begins after it.
unsigned access_unit_damage = 0, unit_damage = 0;
int last_picture_width = 0, last_picture_height = 0;  // size of the picture counted last
int size_changes = 0;
std::string size_warnings;       // printed when the run has read its input
constexpr int kSizeWarnings = 8; // changes reported one by one

u64 sequence_unit_start = 0;     // the last sequence parameter set (MPEG-2: sequence header)

// A sequence parameter set damaged in place (a bit flipped in its size
// fields) is taken up as any other, and its pictures seem to change the
// size. It is told from a real change once the next set comes: that one is
// the set before it again, byte for byte, the damaged one is as long as
// they are and differs from them in a few bits only, and no group began
// under it but the one it opened. Its size change is then no change but
// damage at its position (listed after that group's pictures, which were
// written by then). A real change (another stream joined, whose sets
// repeat) does not return to the earlier set within one group.
constexpr size_t kDamagedSetBits = 32;  // bits in which a set damaged in place may differ
std::vector<unsigned char> sps_bytes, sps_bytes_before;  // the last SPS and the one before (AVC, HEVC)
struct SizeSuspect {
  bool open = false;
  u64 set_position = 0;              // the SPS whose pictures changed the size
  std::vector<unsigned char> before; // the SPS in force before it
  int width = 0, height = 0;         // the size before
  int groups = 0;                    // groups begun after its first picture
  size_t warning_at = 0;             // size_warnings before its warning
  int changes_before = 0;            // size_changes before it
};
SizeSuspect size_suspect;

// The bytes of a unit after its start code, its trailing zero bytes (stream
// padding) left out.
std::vector<unsigned char> unit_bytes(const NALU_t* unit) {
  const u32 prefix = static_cast<u32>(unit->startcodeprefix_len);
  u32 len = unit->len;
  while (len > prefix + 1 && unit->buf[len - 1] == 0) --len;
  try {
    return std::vector<unsigned char>(unit->buf + prefix, unit->buf + len);
  } catch (const std::bad_alloc&) {
    no_mem_exit("parameter set bytes");
  }
}

bool few_bits_differ(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  if (a.size() != b.size() || a == b) return false;
  size_t bits = 0;
  for (size_t i = 0; i < a.size() && bits <= kDamagedSetBits; ++i)
    bits += static_cast<size_t>(__builtin_popcount(static_cast<unsigned>(a[i] ^ b[i])));
  return bits <= kDamagedSetBits;
}

void note_damage_in_order(u64 position);

void follow_unit(const NALU_t* unit, u64 pos) {
  const u32 prefix = static_cast<u32>(unit->startcodeprefix_len);
  if (unit->buf && unit->len > prefix) {
    const unsigned char head = unit->buf[prefix];
    const bool sps = (VideoStream_Flag == 0 && (head & 31) == 7) || (VideoStream_Flag == 4 && ((head >> 1) & 63) == 33);
    if (sps) {
      std::vector<unsigned char> bytes = unit_bytes(unit);
      SizeSuspect& s = size_suspect;
      if (s.open && s.set_position == sequence_unit_start && s.groups == 0 && bytes == s.before &&
          (last_picture_width != s.width || last_picture_height != s.height)) {
        // The set before the damaged one is back: its pictures kept the
        // size, and their change is no change.
        note_damage_in_order(s.set_position);
        size_warnings.resize(s.warning_at);
        size_changes = s.changes_before;
        last_picture_width = s.width;
        last_picture_height = s.height;
      }
      s.open = false;
      sps_bytes_before.swap(sps_bytes);
      sps_bytes.swap(bytes);
    } else if (size_suspect.open && unit->len > prefix + 2) {
      // The first slice of an IDR or IRAP picture begins a group.
      const int type = VideoStream_Flag == 0 ? head & 31 : (head >> 1) & 63;
      if (VideoStream_Flag == 0 ? type == 5 && (unit->buf[prefix + 1] & 0x80)
                                : type >= 16 && type <= 23 && (unit->buf[prefix + 2] & 0x80))
        ++size_suspect.groups;
    }
    if (sps || ((VideoStream_Flag == 1 || VideoStream_Flag == 2) && head == 0xB3)) sequence_unit_start = pos;
  }
  const UnitRole role = unit_role(unit);
  // Units that open an access unit after damage that came after the one
  // open began (no slice of it was read) open the next one: those before
  // the damage lost their pictures with it, and the pictures read now take
  // the times of the packets they begin in.
  if (role == UnitRole::kOpens && (!access_unit_open || unit_damage != access_unit_damage)) {
    access_unit_start = pos;
    access_unit_open = true;
    access_unit_damage = damage_places;
  } else if (role == UnitRole::kPicture && !access_unit_open) {
    access_unit_start = pos;
  }
  unit_damage = damage_places;
}

void note_picture_size() {
  const int w = Picture_Width, h = Picture_Height;
  if (last_picture_width > 0 && (w != last_picture_width || h != last_picture_height)) {
    const bool timed = SystemStream_Flag == 2 || SystemStream_Flag == 4;
    char line[320];
    if (size_changes < kSizeWarnings)
      snprintf(line, sizeof line,
               "WARNING: the picture size changes from %d x %d to %d x %d at %s %llu (coded picture %d); the "
               "index holds the last size, and frames of another size fail when requested.\n",
               last_picture_width, last_picture_height, w, h, timed ? "time" : "position",
               static_cast<unsigned long long>(timed ? mkv_current_tc : access_unit_start), coded - 1);
    else if (size_changes == kSizeWarnings)
      snprintf(line, sizeof line, "WARNING: the picture size changes again; further changes are not reported.\n");
    else
      line[0] = 0;
    // A change that the last SPS made, where it is a few bits off the one
    // before, may be that set's damage (follow_unit tells).
    if ((VideoStream_Flag == 0 || VideoStream_Flag == 4) && few_bits_differ(sps_bytes, sps_bytes_before)) {
      size_suspect.open = true;
      size_suspect.set_position = sequence_unit_start;
      size_suspect.before = sps_bytes_before;
      size_suspect.width = last_picture_width;
      size_suspect.height = last_picture_height;
      size_suspect.groups = 0;
      size_suspect.warning_at = size_warnings.size();
      size_suspect.changes_before = size_changes;
    } else {
      size_suspect.open = false;
    }
    size_warnings += line;
    ++size_changes;
  }
  last_picture_width = w;
  last_picture_height = h;
}

// ---- format changes
// The index holds one chroma format and one bit depth (its DEPTH), and the
// plugin decodes and serves one format per clip: pictures of another
// format would all fail. A size change is read past (above); a format
// change, inside one file or where files meet, is refused at the first
// picture of the new format, naming where the sequence parameter set
// (MPEG-2: sequence header) before it begins: the file that brings the
// format, even when the file before ends with parameter sets alone.
int first_chroma_format = -1;  // the stream's, -1 until the first picture is counted
int first_bit_depth = 0;
// Matroska and MP4: the codec private's format where the first frame's own
// parameter set brought another one (a muxer keeps the last set of a stream
// joined from two), else -1. That frame's set is what decodes it, so later
// pictures are measured against the frame; the codec private's format is
// still refused at the end of the pass when no picture changed the format.
int header_chroma_format = -1;
int header_bit_depth = 0;
u64 first_picture_time = 0;  // its frame time, where header_chroma_format is set

std::string format_name(int chroma, int depth) {
  static const char* const kChroma[] = {"4:0:0", "4:2:0", "4:2:2", "4:4:4"};
  const char* codec = VideoStream_Flag == 0 ? "H.264" : VideoStream_Flag == 4 ? "HEVC" : "MPEG-2";
  return std::string(codec) + " " + (chroma >= 0 && chroma <= 3 ? kChroma[chroma] : "unknown chroma format") +
         " " + std::to_string(depth) + "-bit";
}

// Matroska times are nanoseconds, MP4 times in the track's time scale.
[[noreturn]] void refuse_timed_format_change(int from_chroma, int from_depth, int to_chroma, int to_depth, u64 time) {
  const std::string from = format_name(from_chroma, from_depth), to = format_name(to_chroma, to_depth);
  abandon_index("ERROR: the video format changes from %s to %s at time %llu%s (%s); an index holds one format.",
                from.c_str(), to.c_str(), static_cast<unsigned long long>(time), SystemStream_Flag == 2 ? " ns" : "",
                Infilename[0]);
}

void note_picture_format() {
  const int chroma = Picture_Chroma_Format, depth = Picture_Bit_Depth;
  if (chroma < 0 || depth <= 0) return;  // the analysis publishes none
  const bool timed = SystemStream_Flag == 2 || SystemStream_Flag == 4;
  if (first_bit_depth == 0) {
    // The format the index's header names (DEPTH, the report; the plugin
    // probes the first parameter set), else the first picture's.
    const bool header = stream_chroma_format >= 0 && stream_bit_depth > 0;
    first_chroma_format = header ? stream_chroma_format : chroma;
    first_bit_depth = header ? stream_bit_depth : depth;
    if (timed && header && (chroma != first_chroma_format || depth != first_bit_depth)) {
      header_chroma_format = first_chroma_format;
      header_bit_depth = first_bit_depth;
      first_picture_time = mkv_current_tc;
      first_chroma_format = chroma;
      first_bit_depth = depth;
    }
  }
  if (chroma == first_chroma_format && depth == first_bit_depth) return;
  if (timed) refuse_timed_format_change(first_chroma_format, first_bit_depth, chroma, depth, mkv_current_tc);
  const std::string from = format_name(first_chroma_format, first_bit_depth), to = format_name(chroma, depth);
  // The file that holds the byte at the position (a position at a file's
  // end is the next file's first byte).
  int file = 0;
  u64 offset = sequence_unit_start;
  while (file + 1 < NumLoadedFiles && offset >= Infilelength[file]) offset -= Infilelength[file++];
  abandon_index("ERROR: the video format changes from %s to %s at position %llu (%s, byte %llu); an index holds "
                "one format.",
                from.c_str(), to.c_str(), static_cast<unsigned long long>(sequence_unit_start), Infilename[file],
                static_cast<unsigned long long>(offset));
}

// Every picture had the first frame's format, which the codec private's
// parameter set does not name: the index's header would name the wrong one.
void refuse_header_format() {
  if (header_chroma_format >= 0)
    refuse_timed_format_change(header_chroma_format, header_bit_depth, first_chroma_format, first_bit_depth,
                               first_picture_time);
}

// ---- damage and lost slots
bool damage = false;               // damage was noted in this run
std::vector<u64> damage_due;       // positions noted, not yet listed
std::vector<u64> damage_noted_at;  // the last positions noted (a stretch read twice is noted once)
constexpr size_t kDamageRemembered = 16;
bool times_unordered = false;      // the container's times are no presentation times

// The picture times next to each damage, [lo, hi]: from the picture asked
// for last before the damage was noted to the first timed one after it,
// and on over the pictures left out after it up to the one that decoding
// starts at again (a Matroska damage's own time lies in it too). Only a gap
// that comes within eight frames of one (a second at most) gets lost
// slots: reordering moves a lost picture's time that far at most, and the
// gaps that a variable-rate encoder left elsewhere stay gaps.
// The first pictures read after a damage (left out or not) also tell the
// spacing after it: the median step between their times in order.
constexpr int kAfterDamage = 9;
struct DamageStretch {
  u64 lo = kNoTime, hi = kNoTime;
  u64 after[kAfterDamage] = {};  // times of the first pictures read after the damage
  int read_after = 0;
};
std::vector<DamageStretch> damage_stretches;  // at most kDamageRemembered; a further one widens the last
bool stretch_open = false;        // the last stretch waits for the first timed picture after its damage
// Transport and program streams: the positions of damage noted that no
// picture asked for has reached yet (the reader notes damage as it reads
// ahead of the pictures), in stream order; at most kDamageRemembered, a
// further one taking the last one's place.
std::vector<u64> damage_ahead;
bool decode_gap_due = false;      // the next decode time follows damage (PES input)
u64 last_picture_time = kNoTime;  // of the picture asked for last, in decode order

// A run of picture times, in display order (the pictures written) or in
// decode order (the times the pictures were read with): the last time of
// the run, the pictures since it that had none, and the last steps between
// neighbours, from which the run learns the spacing its pictures have
// (never from a rate that a header or the VUI declares: the times need not
// follow it).
constexpr int kSteps = 16;
struct Step {
  i64 d;       // from one time to the next, in the container's unit
  int fields;  // that the earlier picture shows (2 a frame; 3, 4, 6 with pulldown repeats)
};
struct TimeRun {
  bool anchored = false;
  u64 last = 0;
  int fields = 2;          // shown by the picture of the last time
  int untimed = 0;         // pictures since it without a time (or shown before it)
  int untimed_fields = 0;  // the fields they show
  Step steps[kSteps] = {};  // a ring: `stored` steps, the next written at `next`
  int stored = 0, next = 0;
};
TimeRun shown_run, decoded_run;
// Pictures that the gaps in decode order show missing, not yet written as
// lost slots (PES input only).
long long missing_in_decode_order = 0;
// Lost slots at most in one run (each gap holds at most ten seconds of
// frames of a millisecond or more, and only gaps next to damage get any):
// past it no more are written.
constexpr int kMostLostSlots = 1 << 20;
// The input file (of several joined) whose pictures are being read, as the
// stream positions [part_start, part_end) of its bytes: the decode times of
// the next file's pictures begin a run of their own, so that no part's
// times count against another's.
u64 part_start = 0, part_end = 0;

// (The helpers below run a few times per picture: they are inlined, and
// the frame slot is worked out once per rate.)
[[gnu::always_inline]] inline bool pes_times() { return SystemStream_Flag == 1 || SystemStream_Flag == 3; }

struct SlotOf {
  int num = 0, den = 0;
  bool pes = false;
  i64 slot = 0;
};
SlotOf slot_of;

// One frame slot of the declared rate in the container's time unit,
// rounded; 0 where no rate is known.
[[gnu::always_inline]] inline i64 frame_slot() {
  if (fps_num != slot_of.num || fps_den != slot_of.den || pes_times() != slot_of.pes) {
    slot_of = SlotOf{fps_num, fps_den, pes_times(), 0};
    if (fps_num > 0 && fps_den > 0)
      slot_of.slot = std::llround((slot_of.pes ? 90000.0 : 1e9) * fps_den / fps_num);
  }
  return slot_of.slot;
}

// A gap of more than ten seconds, or a step back of more than one, is a new
// time base (parts joined, a clock reset), no loss; a picture less than a
// second before the last is shown out of its place.
[[gnu::always_inline]] inline i64 second() { return pes_times() ? 90000 : 1000000000; }

// later - earlier; PES times wrap at 2^33, so theirs is taken the shorter
// way round.
[[gnu::always_inline]] inline i64 time_difference(u64 later, u64 earlier) {
  if (pes_times()) {
    const u64 d = (later - earlier) & (kPtsModulus - 1);
    return d >= kPtsModulus / 2 ? static_cast<i64>(d) - static_cast<i64>(kPtsModulus) : static_cast<i64>(d);
  }
  return static_cast<i64>(later - earlier);  // Matroska times stay far below 2^63 ns
}

void list_damage() {
  if (damage_due.empty()) return;
  if (Operation == 0 && p_aif)
    for (u64 at : damage_due) fprintf(p_aif, "\nDAMAGE %llu", static_cast<unsigned long long>(at));
  damage_due.clear();
}

void widen(DamageStretch& s, u64 t) {
  if (s.lo == kNoTime) {
    s.lo = s.hi = t;
    return;
  }
  if (time_difference(t, s.lo) < 0) s.lo = t;
  if (time_difference(t, s.hi) > 0) s.hi = t;
}

// The damage stretch that a gap from one shown time to a later one comes
// within `margin` of; null for none.
const DamageStretch* next_to_damage(u64 from, u64 to, i64 margin) {
  for (const DamageStretch& s : damage_stretches) {
    if (s.lo == kNoTime) return &s;  // damage before any picture time, the next not read yet
    if (time_difference(to, s.lo) >= -margin && time_difference(s.hi, from) >= -margin) return &s;
  }
  return nullptr;
}

// The spacing of the pictures read after a stretch's damage, per picture;
// 0 until they are all read.
double spacing_after(const DamageStretch& s) {
  if (s.read_after < kAfterDamage) return 0;
  u64 t[kAfterDamage];
  std::copy(s.after, s.after + kAfterDamage, t);
  // (In the order of their distance from the first, which wrapped PES
  // times keep.)
  std::sort(t, t + kAfterDamage, [&](u64 a, u64 b) { return time_difference(a, t[0]) < time_difference(b, t[0]); });
  double steps[kAfterDamage - 1];
  for (int i = 1; i < kAfterDamage; i++) steps[i - 1] = static_cast<double>(time_difference(t[i], t[i - 1]));
  std::nth_element(steps, steps + (kAfterDamage - 1) / 2, steps + kAfterDamage - 1);
  return steps[(kAfterDamage - 1) / 2];
}

void open_damage_stretch(u64 position) {
  if (!stretch_open) {
    // A stretch beyond those remembered widens the last.
    if (damage_stretches.size() < kDamageRemembered) damage_stretches.push_back({});
    damage_stretches.back().read_after = 0;
    if (last_picture_time != kNoTime) widen(damage_stretches.back(), last_picture_time);
    stretch_open = true;
  }
  if (SystemStream_Flag == 2) widen(damage_stretches.back(), position);  // a Matroska position is a time
  if (!pes_times()) return;
  if (damage_ahead.size() == kDamageRemembered) damage_ahead.pop_back();
  damage_ahead.push_back(position);
}

// Each picture's time, in decode order, and whether it begins at or after
// every damage position noted: the pictures up to the first after the
// damage widen its stretch, and so do those left out after it.
[[gnu::always_inline]] inline void note_picture_time(u64 t, bool past_damage) {
  if (t == kNoTime) return;
  if ((stretch_open || pictures_lost) && !damage_stretches.empty()) {
    widen(damage_stretches.back(), t);
    if (past_damage) stretch_open = false;
  }
  if (!stretch_open && !damage_stretches.empty() && damage_stretches.back().read_after < kAfterDamage) {
    DamageStretch& s = damage_stretches.back();
    s.after[s.read_after++] = t;
  }
  last_picture_time = t;
}

}  // namespace

int lost_slots = 0;
unsigned damage_places = 0;

void NoteDamage(u64 position) {
  damage = true;
  ++damage_places;
  if (Operation != 0) return;
  try {
    open_damage_stretch(position);
    if (std::find(damage_noted_at.begin(), damage_noted_at.end(), position) != damage_noted_at.end()) return;
    if (damage_noted_at.size() == kDamageRemembered) damage_noted_at.erase(damage_noted_at.begin());
    damage_noted_at.push_back(position);
    damage_due.push_back(position);
  } catch (const std::bad_alloc&) {
    no_mem_exit("damage positions");
  }
}

u64 access_unit_position() { return access_unit_start; }

bool parameter_set_damaged(const unsigned char* unit, u32 length) {
  while (length > 0 && unit[length - 1] == 0) --length;  // trailing_zero_8bits
  for (u32 i = 0; i + 2 < length; ++i)
    if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] <= 2) return true;
  return false;
}

namespace {

// NoteDamage for a position found after later ones were noted: listed
// among those not yet written in stream order.
void note_damage_in_order(u64 position) {
  const size_t due = damage_due.size();
  NoteDamage(position);
  if (damage_due.size() > due) std::sort(damage_due.begin(), damage_due.end());
}

}  // namespace

namespace {

// The spacing of a run's pictures, from its recent steps: per field where
// the times count the fields each picture shows (pulldown repeats stamped
// in the times, as at the display rate), else per picture (times that
// leave the repeats out, or the decode times). Per field the times may also
// be rounded to whole frames of the display rate (a picture of three
// fields then takes one or two frames' time by turns): each step then
// comes within a field of the fields its picture shows, at the median
// time per field. Otherwise the spacing is the mean of the steps (or their
// time per field) within an eighth of their median. None (0) while
// fewer than four steps agree or most recent steps do not, or where a frame
// would last less than a millisecond.
enum class Spaced { kNone, kPerPicture, kPerField, kPerFieldInFrames };
struct Spacing {
  Spaced by = Spaced::kNone;
  double step = 0;  // per picture or per field, in the container's unit
};
constexpr int kLeastSteps = 4;

// How many of the n values lie within an eighth of their median, their
// mean, and the median.
int agreeing(const double* v, int n, double* mean, double* median = nullptr) {
  double sorted[kSteps];
  std::copy(v, v + n, sorted);
  std::nth_element(sorted, sorted + n / 2, sorted + n);
  const double middle = sorted[n / 2];
  int agree = 0;
  double sum = 0;
  for (int i = 0; i < n; i++)
    if (std::fabs(v[i] - middle) * 8 <= middle) agree++, sum += v[i];
  *mean = agree > 0 ? sum / agree : 0;
  if (median) *median = middle;
  return agree;
}

Spacing spacing_of(const TimeRun& run) {
  const int n = run.stored;
  if (n < kLeastSteps) return {};
  double per_picture[kSteps], per_field[kSteps];
  for (int i = 0; i < n; i++) {
    per_picture[i] = static_cast<double>(run.steps[i].d);
    per_field[i] = per_picture[i] / run.steps[i].fields;
  }
  Spacing s;
  int agree = 0;
  double step = 0, field = 0;
  if ((agree = agreeing(per_picture, n, &step)) >= kLeastSteps) s = {Spaced::kPerPicture, step};
  // (Where every picture shows as many fields, per picture and per field
  // agree alike: the first stands.)
  int by_field = agreeing(per_field, n, &step, &field);
  if (by_field > agree) s = {Spaced::kPerField, step}, agree = by_field;
  by_field = 0;
  for (int i = 0; i < n; i++)
    if (std::fabs(per_picture[i] - run.steps[i].fields * field) <= field * 9 / 8) by_field++;
  if (by_field > agree) s = {Spaced::kPerFieldInFrames, field}, agree = by_field;
  const double frame = s.by == Spaced::kPerPicture ? s.step : 2 * s.step;
  if (agree < kLeastSteps || 2 * agree < n || frame * 1000 < static_cast<double>(second())) return {};
  return s;
}

enum class Followed { kBegun, kBack, kStep };

// Where the picture of time t comes after the run: kStep at distance d
// from its last time; kBegun where it begins the run or a new time base; a
// picture before the last time (by up to a second) is counted as one
// without a time that shows `fields` fields, kBack.
[[gnu::always_inline]] inline Followed follow(TimeRun& run, u64 t, int fields, i64* d) {
  *d = 0;
  if (!run.anchored) return Followed::kBegun;
  *d = time_difference(t, run.last);
  if (*d < -second() || *d > 10 * second()) return Followed::kBegun;
  if (*d < 0) {
    run.untimed++;
    run.untimed_fields += fields;
    return Followed::kBack;
  }
  return Followed::kStep;
}

// Moves the run on to t (after kStep or kBegun). A step is learnt from,
// shared among the pictures without a time in it where they show as many
// fields as the one before them (as several pictures of one PES packet do).
[[gnu::always_inline]] inline void move_on(TimeRun& run, Followed f, i64 d, u64 t, int fields) {
  if (f == Followed::kStep && run.untimed_fields == run.untimed * run.fields) {
    run.steps[run.next] = Step{d / (run.untimed + 1), run.fields};
    run.next = (run.next + 1) % kSteps;
    run.stored = std::min(run.stored + 1, kSteps);
  }
  run.anchored = true;
  run.last = t;
  run.fields = fields;
  run.untimed = run.untimed_fields = 0;
}

// The longest of a run's recent steps that comes again among them (within
// an eighth); 0 where none does.
double longest_recurring_step(const TimeRun& run) {
  double sorted[kSteps];
  const int n = run.stored;
  for (int i = 0; i < n; i++) sorted[i] = static_cast<double>(run.steps[i].d);
  std::sort(sorted, sorted + n);
  for (int i = n - 1; i > 0; i--)
    if ((sorted[i] - sorted[i - 1]) * 8 <= sorted[i]) return sorted[i];
  return 0;
}

// What a gap of d after the run's last time holds at the spacing s (taken
// before the gap's own step): the pictures missing there and the frames
// they show. Per field: the fields of the gap less those the pictures
// around it show, two a frame (a field left over is no frame; where the
// times are rounded to frames, a field of the gap may be the rounding's);
// per picture: the pictures that the gap holds beyond those read (half a
// step rounds down), each as many frames as the picture before the gap
// shows whole; the picture before the gap takes the longest step that
// recurs among the recent ones, and where that is longer than the spacing
// (the rate just fell) the gap is measured in it.
struct Gap {
  long long pictures = 0, frames = 0;
};
Gap gap_of(const TimeRun& run, i64 d, const Spacing& s) {
  Gap g;
  if (s.by == Spaced::kNone) return g;
  const double steps = static_cast<double>(d) / s.step;
  if (s.by == Spaced::kPerPicture) {
    const double longest = std::max(s.step, longest_recurring_step(run));
    const double step = longest * 8 > s.step * 9 ? longest : s.step;
    g.pictures = static_cast<long long>(std::ceil((static_cast<double>(d) - longest) / step - 0.5)) - run.untimed;
    g.frames = g.pictures * std::max(1, run.fields / 2);
  } else {
    const long long fields = std::llround(steps) - run.fields - run.untimed_fields -
                             (s.by == Spaced::kPerFieldInFrames ? 1 : 0);
    g.frames = fields / 2;
    if (g.frames > 0) g.pictures = std::max(1LL, std::llround(static_cast<double>(fields) / run.fields));
  }
  if (g.frames <= 0) g = Gap{};
  return g;
}

// The pictures that a decode time t shows missing after the run: the
// steps of the gap beyond the longest step that recurs among the recent
// ones (pictures of unlike durations, as with pulldown repeats, have
// decode steps of unlike length), at their mean, half a step rounding
// down, less the pictures without a time between (`untimed`). Taken only
// at the first decode time after damage; -1 while the run has too few
// steps to tell (damage among the first pictures), to be taken again
// when the pictures are written.
long long missing_before(const TimeRun& run, i64 d, int untimed) {
  const int n = run.stored;
  if (n < kLeastSteps) return -1;
  double sum = 0;
  for (int i = 0; i < n; i++) sum += static_cast<double>(run.steps[i].d);
  const double longest = longest_recurring_step(run), mean = sum / n;
  if (longest * 1000 < static_cast<double>(second()) || mean <= 0) return 0;
  const long long missing =
      static_cast<long long>(std::ceil((static_cast<double>(d) - longest) / mean - 0.5)) - untimed;
  return std::max(0LL, missing);
}

// The decode gaps after damage that came too early to be measured, as
// (distance, pictures without a time in it); at most kDamageRemembered.
std::vector<std::pair<i64, int>> decode_gaps_unmeasured;

void measure_decode_gaps() {
  for (size_t i = 0; i < decode_gaps_unmeasured.size();) {
    const long long missing =
        missing_before(decoded_run, decode_gaps_unmeasured[i].first, decode_gaps_unmeasured[i].second);
    if (missing < 0) return;
    missing_in_decode_order += missing;
    decode_gaps_unmeasured.erase(decode_gaps_unmeasured.begin() + static_cast<long>(i));
  }
}

}  // namespace

u64 picture_time(u64 position) {
  if (Operation != 0) return kNoTime;
  if (SystemStream_Flag == 2) {
    note_picture_time(mkv_current_tc, true);
    return mkv_current_tc;
  }
  if (!pes_times()) return kNoTime;  // elementary streams carry no times; MP4 positions are decode times
  const PesTimes t = TakePesTime(position);
  if (position < part_start || position >= part_end) {
    int file = 0;
    u64 offset = 0;
    PosToFileAndOffset(position, &file, &offset);
    part_start = position - offset;
    part_end = part_start + (file < NumLoadedFiles ? Infilelength[file] : 0);
    decoded_run.anchored = false;
  }
  if (!damage_ahead.empty() && damage_ahead.front() <= position) {
    // (Positions are noted in stream order.)
    size_t passed = 0;
    while (passed < damage_ahead.size() && damage_ahead[passed] <= position) passed++;
    damage_ahead.erase(damage_ahead.begin(), damage_ahead.begin() + static_cast<long>(passed));
    decode_gap_due = true;
  }
  if (t.dts == kNoTime) {
    if (decoded_run.anchored) decoded_run.untimed++, decoded_run.untimed_fields += 2;
  } else {
    i64 d = 0;
    const Followed f = follow(decoded_run, t.dts, 2, &d);
    if (f == Followed::kStep && decode_gap_due) {
      const long long missing = missing_before(decoded_run, d, decoded_run.untimed);
      if (missing >= 0)
        missing_in_decode_order += missing;
      else if (decode_gaps_unmeasured.size() < kDamageRemembered)
        decode_gaps_unmeasured.push_back({d, decoded_run.untimed});
    }
    if (f != Followed::kBack) move_on(decoded_run, f, d, t.dts, 2);
    decode_gap_due = false;
  }
  note_picture_time(t.pts, damage_ahead.empty());
  return t.pts;
}

u64 time_moved(u64 time, int pictures) {
  const i64 frame = frame_slot();
  if (time == kNoTime || frame <= 0) return kNoTime;
  const Spacing s = spacing_of(shown_run);
  const double step = s.by == Spaced::kNone         ? static_cast<double>(frame)
                      : s.by == Spaced::kPerPicture ? s.step
                                                    : 2 * s.step;
  const i64 by = pictures * std::llround(step);
  if (pes_times()) return (time + static_cast<u64>(by)) & (kPtsModulus - 1);
  if (by < 0 && static_cast<u64>(-by) > time) return kNoTime;
  return time + static_cast<u64>(by);
}

void check_display_order(u64 earlier, u64 later) {
  if (Operation != 0 || earlier == kNoTime || later == kNoTime) return;
  const i64 frame = frame_slot();
  if (frame > 0 && 2 * time_difference(later, earlier) < frame) times_unordered = true;
}

bool shown_before(u64 earlier, u64 later) {
  if (earlier == kNoTime || later == kNoTime) return false;
  const i64 frame = frame_slot();
  const i64 d = time_difference(later, earlier);
  return frame > 0 && 2 * d >= frame && d <= 10 * second();
}

void NotePicturesCut(long long pictures) {
  if (Operation != 0 || pictures <= 0) return;
  damage = true;
  missing_in_decode_order += pictures;
  // The pictures cut off lie next to the last one read.
  if (damage_stretches.size() < kDamageRemembered) damage_stretches.push_back({});
  if (last_picture_time != kNoTime) widen(damage_stretches.back(), last_picture_time);
}

void write_lost_slots(u64 time, int fields) {
  if (!damage_due.empty()) list_damage();
  if (Operation != 0 || !p_aif) return;
  if (!pes_times() && SystemStream_Flag != 2) return;
  fields = std::min(std::max(fields, 1), 6);
  if (time == kNoTime) {
    if (shown_run.anchored) shown_run.untimed++, shown_run.untimed_fields += fields;
    return;
  }
  const u64 from = shown_run.last;
  i64 d = 0;
  const Followed f = follow(shown_run, time, fields, &d);
  if (f == Followed::kBack) return;
  Gap g;
  if (f == Followed::kStep && damage && !times_unordered) {
    // Before the shown times show a spacing, PES decode times may: those of
    // the group read, learnt from the same pictures.
    Spacing s = spacing_of(shown_run);
    if (s.by == Spaced::kNone && pes_times() && shown_run.stored < kLeastSteps) s = spacing_of(decoded_run);
    const double frame = s.by == Spaced::kPerPicture ? s.step : 2 * s.step;
    const DamageStretch* at =
        s.by == Spaced::kNone ? nullptr
                              : next_to_damage(from, time, std::min(second(), static_cast<i64>(std::llround(8 * frame))));
    // A gap over a fall in the rate is measured in the spacing of the
    // pictures after it, where that is longer by more than an eighth.
    if (at && s.by == Spaced::kPerPicture) {
      const double after = spacing_after(*at);
      if (after * 8 > s.step * 9) s.step = after;
    }
    if (at) g = gap_of(shown_run, d, s);
  }
  move_on(shown_run, f, d, time, fields);
  if (g.frames < 1) return;
  if (pes_times()) {
    measure_decode_gaps();
    if (g.pictures > missing_in_decode_order) {
      g.frames = g.frames * missing_in_decode_order / g.pictures;
      g.pictures = missing_in_decode_order;
    }
    missing_in_decode_order -= g.pictures;
  }
  g.frames = std::min(g.frames, static_cast<long long>(kMostLostSlots - lost_slots));
  for (long long i = 0; i < g.frames; i++) {
    fprintf(p_aif, "\n%d:LOST", FRM_ndx);
    FRM_ndx++;
    lost_slots++;
  }
}

// ------------------------------------------------------------------ analysis reset

void init_indexing() {
  IsFirstByteStreamNALU = 1;
  stream_chroma_format = -1;
  stream_bit_depth = 0;
  field_repeats = frame_repeats = coded = FRM_ndx = 0;
  field_order = -1;
  bytes_delivered = bytes_delivered_total = 0;
  max_rate = 0;
  fps_num = 25;
  fps_den = 1;
  adjust_next = 0;
  Buffer_Physical = 0;
  profile = -1;
  VIDEO_Purity = FILM_Purity = 0;
  Stop_Flag = false;
  evidence_file = 0;
  evidence_done = true;
  access_unit_start = 0;
  access_unit_open = false;
  access_unit_damage = unit_damage = 0;
  last_picture_width = last_picture_height = 0;
  size_changes = 0;
  size_warnings.clear();
  first_chroma_format = -1;
  first_bit_depth = 0;
  header_chroma_format = -1;
  header_bit_depth = 0;
  first_picture_time = 0;
  sequence_unit_start = 0;
  sps_bytes.clear();
  sps_bytes_before.clear();
  size_suspect = SizeSuspect{};
  pictures_lost = false;
  pictures_left_out = 0;
  pictures_begun = 0;
  damage = false;
  damage_due.clear();
  damage_noted_at.clear();
  times_unordered = false;
  damage_stretches.clear();
  stretch_open = false;
  damage_ahead.clear();
  decode_gaps_unmeasured.clear();
  decode_gap_due = false;
  last_picture_time = kNoTime;
  shown_run = TimeRun{};
  decoded_run = TimeRun{};
  slot_of = SlotOf{};
  missing_in_decode_order = 0;
  part_start = part_end = 0;
  lost_slots = 0;
  damage_places = 0;
  reset_pes_times();
  ts_video_gaps = 0;
  ts_first_gap = 0;
  ts_video_packets_lost = 0;
  reset_avc_analysis();
  reset_mpg_analysis();
  reset_vc1_analysis();
  reset_hevc_analysis();
}

// ------------------------------------------------------------------ picture loop

int read_new_picture() {
  const bool avc_reader = VideoStream_Flag == 0 || VideoStream_Flag == 4;
  for (;;) {
    u64 pos = 0;
    int r = avc_reader ? GetAnnexbNALUAVC(nalu, &pos) : GetAnnexbNALU(nalu, &pos);
    if (r < 0) {
      printf("Error while getting the Annex B NALU, exit\n");
      ostrel_exit(1);
    }
    if (r == 0) {
      judge_evidence();
      return 0;
    }
    if (SystemStream_Flag == 2 || SystemStream_Flag == 4) {
      if (process.end_time <= mkv_current_tc) return 0;
    } else if (process.end_byte <= pos) {
      judge_evidence();
      return 0;
    }
    if (NumLoadedFiles > 1) look_at_unit(nalu);
    bytes_delivered += nalu->len;
    bytes_delivered_total += nalu->len;
    if (nalu->len == 0) continue;
    if (Operation == 0) follow_unit(nalu, pos);
    int v = 2;
    switch (VideoStream_Flag) {
      case 0:
        v = parse_nalu_avc(nalu, pos, 1);
        break;
      case 1:
      case 2:
        v = parse_nalu_mpg(nalu, pos);
        break;
      case 3:
        v = parse_nalu_vc1(nalu, pos);
        break;
      case 4:
        v = parse_nalu_hevc(nalu, pos);
        break;
      default:
        break;
    }
    if (Operation == 0) {
      if (v == 1) {
        note_picture_format();
        note_picture_size();
      }
      if (unit_role(nalu) == UnitRole::kPicture) access_unit_open = false;
    }
    if (v != 2) return v;
  }
}

void OutputProgress(int percent) {
  if (percent < 0) return;
  if (percent == 100) printf("100\n");
  else printf("%d\r", percent);
  fflush(stdout);
}

static char* put_decimal(char* o, long long v) {
  char digits[24];
  int n = 0;
  unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (v < 0) *o++ = '-';
  while (n) *o++ = digits[--n];
  return o;
}

void write_picture_line(int ndx, const char* word, std::initializer_list<long long> values) {
  char line[32 + 16 + 8 * 21];
  if (values.size() > 8) return;
  char* o = line;
  *o++ = '\n';
  o = put_decimal(o, ndx);
  *o++ = ':';
  for (const char* w = word; *w && w - word < 16; ++w) *o++ = *w;
  for (long long v : values) {
    *o++ = ' ';
    o = put_decimal(o, v);
  }
  fwrite(line, 1, static_cast<size_t>(o - line), p_aif);
}

bool OrderCountAtTime(const std::vector<std::pair<u64, int>>& known, u64 t, int* count) {
  // The nearest two shown before t (b1 nearer) and after it (a1 nearer).
  const std::pair<u64, int>*b1 = nullptr, *b2 = nullptr, *a1 = nullptr, *a2 = nullptr;
  for (const auto& k : known) {
    if (k.first == t) return false;
    if (k.first < t) {
      if (!b1 || k.first > b1->first) {
        b2 = b1;
        b1 = &k;
      } else if (!b2 || k.first > b2->first) {
        b2 = &k;
      }
    } else if (!a1 || k.first < a1->first) {
      a2 = a1;
      a1 = &k;
    } else if (!a2 || k.first < a2->first) {
      a2 = &k;
    }
  }
  const std::pair<u64, int>*p = nullptr, *q = nullptr;  // p shown before q
  if (b1 && a1) p = b1, q = a1;
  else if (b1 && b2) p = b2, q = b1;
  else if (a1 && a2) p = a1, q = a2;
  else return false;
  if (q->first <= p->first || q->second <= p->second) return false;
  const double at = static_cast<double>(p->second) + (static_cast<double>(t) - static_cast<double>(p->first)) *
                                                          (static_cast<double>(q->second) - static_cast<double>(p->second)) /
                                                          static_cast<double>(q->first - p->first);
  if (!(at > -2147483648.0 && at < 2147483647.0)) return false;
  const int c = static_cast<int>(std::lround(at));
  if ((b1 && c <= b1->second) || (a1 && c >= a1->second)) return false;
  for (const auto& k : known)
    if (k.second == c) return false;
  *count = c;
  return true;
}

int progress_percent() {
  if (Infiletotal == 0) return 0;
  u64 pos = StreamPosition();
  if (SystemStream_Flag == 2 || SystemStream_Flag == 4) pos += CutBytesBefore(static_cast<u32>(Rdptr - Buffer));
  pos = pos >= 3 ? pos - 3 : 0;
  return static_cast<int>(static_cast<double>(pos) * 100.0 / static_cast<double>(Infiletotal));
}

// ------------------------------------------------------------------ end of run

// The script's name: the index's, with the template's extension.
static std::string script_name(const std::string& tpl, const std::string& index) {
  std::string out = index;
  const size_t slash = tpl.rfind('/');
  const size_t dot = tpl.rfind('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string ext = has_ext ? tpl.substr(dot + 1) : "";
  const size_t odot = out.rfind('.');
  if (odot != std::string::npos) out.erase(odot);
  if (!ext.empty()) out += "." + ext;
  return out;
}

// One file under both names: the same name, or, where both exist, the same
// file through a link (symbolic or hard).
static bool same_file(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat x, y;
  return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

static bool is_folder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int check_written_names() {
  // No script is written from a template that cannot be read.
  if (!AVSTemplatePath[0] || is_folder(AVSTemplatePath) || access(AVSTemplatePath, R_OK) != 0) return 0;
  const std::string tpl = AVSTemplatePath, index = szOutput, script = script_name(tpl, index);
  struct Named {
    const char* what;
    std::string path;
  };
  // The files the run writes besides the script.
  std::vector<Named> written = {{"index", index}, {"report", std::string(szOutputBase) + ".log"}};
  if (MPLS_Name[0]) {
    std::string chapters = index;
    const size_t dot = chapters.rfind('.');
    if (dot != std::string::npos) chapters.erase(dot);
    written.push_back({"chapters file", chapters + ".chapters.txt"});
  }
  // Writing any of them over the template would lose it; the script
  // written over one of them would be lost, or the other file would.
  for (const Named& n : written) {
    if (same_file(tpl, n.path)) {
      printf("ERROR: the template %s is the %s %s that this run writes: nothing is written, and the template is "
             "left as it was.\n",
             tpl.c_str(), n.what, n.path.c_str());
      return 1;
    }
  }
  for (const Named& n : written) {
    if (same_file(script, n.path)) {
      printf("ERROR: the script %s is the %s %s that this run writes: nothing is written.\n", script.c_str(),
             n.what, n.path.c_str());
      return 1;
    }
  }
  return 0;
}

// The script: the template with every "__vid__" replaced by the index file's
// name, named like the index with the template's extension. False when a
// script was asked for and not written (the template cannot be read, or
// the script cannot be written): the index is whole, but the run is not
// complete (as with a chapters file).
static bool write_script() {
  if (!AVSTemplatePath[0]) return true;
  const std::string tpl = AVSTemplatePath;
  const std::string out = script_name(tpl, output_file);
  // Named when the option was read.
  if (is_folder(tpl)) return false;
  std::ifstream in(tpl, std::ios::binary);
  if (!in) return false;
  // The script may be the template itself, under its own name or through a
  // link (-at DIR/clip.vpy -o DIR/clip): opening it for writing would empty
  // the template before a line is read.
  struct stat t, o;
  if (stat(tpl.c_str(), &t) == 0 && stat(out.c_str(), &o) == 0 && t.st_dev == o.st_dev && t.st_ino == o.st_ino) {
    printf("ERROR: the script %s is the template %s itself: no script is written, and the template is left as it "
           "was.\n",
           out.c_str(), tpl.c_str());
    return false;
  }
  FILE* f = fopen(out.c_str(), "w");
  if (!f) {
    printf("ERROR: the script %s cannot be written (%s).\n", out.c_str(), strerror(errno));
    return false;
  }
  std::string line;
  const std::string key = "__vid__";
  while (std::getline(in, line)) {
    size_t p = 0;
    while ((p = line.find(key, p)) != std::string::npos) {
      line.replace(p, key.size(), output_file);
      p += strlen(output_file);
    }
    if (!in.eof()) line += '\n';
    fputs(line.c_str(), f);
  }
  if (ferror(f) | fclose(f)) {
    printf("ERROR: the script %s cannot be written (%s).\n", out.c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool snap_matroska_rate() {
  // Rates far beyond any video (a DefaultDuration of a few nanoseconds) are
  // not taken.
  if (SystemStream_Flag != 2 || mkv_Frame_Rate <= 0 || mkv_Frame_Rate >= 1e6) return false;
  snap_frame_rate(static_cast<int>(1000 * mkv_Frame_Rate), 1000);
  return true;
}

void abandon_index(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  printf("\n");
  ostrel_exit(1);
}

// True when the index names a group and a picture from it on: the least
// that the plugin can serve a frame from. Read back from the file, as the
// plugin will read it.
static bool index_has_picture() {
  std::ifstream in(output_file);
  std::string line;
  bool group = false;
  while (std::getline(in, line)) {
    // HEVC: the group rides on its picture's line ("N:IDR pos ...").
    const size_t colon = line.find(':');
    const std::string word = colon == std::string::npos ? line : line.substr(colon + 1);
    if (colon != std::string::npos && (word.rfind("IDR ", 0) == 0 || word.rfind("CRA ", 0) == 0 ||
                                       word.rfind("BLA ", 0) == 0))
      return true;
    if (line.rfind("I ", 0) == 0 || line.rfind("IDR ", 0) == 0 || line.rfind("RPS ", 0) == 0 ||
        line.rfind("SEQ ", 0) == 0)
      group = true;
    else if (group && colon != std::string::npos && word.rfind("FRM", 0) == 0)
      return true;
  }
  return false;
}

void Index(int mode) {
  Operation = mode;
  init_indexing();
  switch (VideoStream_Flag) {
    case 0:
      index_avc();
      break;
    case 1:
    case 2:
      index_mpg();
      break;
    case 3:
      index_vc1();
      break;
    case 4:
      index_hevc();
      break;
    default:
      break;
  }
  fputs(size_warnings.c_str(), stdout);
  if (SystemStream_Flag == 2) {
    // A file that ends before its Segment does, or whose reading stopped at
    // damage before the end of its clusters, lacks frames that no table
    // counts: an index of the rest would pass for the whole. (A Segment of
    // unknown size ends at all ones.) The reader also keeps the text of
    // failures it recovered from (in the metadata, or damage it passed
    // over), so only its read record tells a stop. Stretches passed over
    // are reported and what was delivered around them indexed, as damage
    // in a transport stream is read past.
    const char* why = mkv_GetLastError(mf);
    MkvReadDamage damage;
    mkv_GetReadDamage(mf, &damage);
    const u64 segment_end = mkv_GetSegmentTop(mf);
    if (segment_end != ~0ULL && Infilelength[0] < segment_end)
      abandon_index("ERROR: the Matroska file is cut short (%s): %d pictures were indexed up to there, and the file "
                    "holds %llu of the %llu bytes its Segment claims. No index is written.",
                    why ? why : "it ends inside its Segment", coded, static_cast<unsigned long long>(Infilelength[0]),
                    static_cast<unsigned long long>(segment_end));
    // A cluster of unknown size (written live, to a pipe) has no end this
    // reader can trust; its frames are not passed over as damage.
    if (damage.UnsizedCluster)
      abandon_index("ERROR: the Matroska file has a cluster of unknown size at position %llu (as written live or to "
                    "a pipe), and clusters without a size are not supported: %d pictures were indexed up to there. "
                    "No index is written. Remuxing gives every cluster its size: mkvmerge -o fixed.mkv in.mkv",
                    static_cast<unsigned long long>(damage.UnsizedCluster), coded);
    if (!damage.Stopped) why = nullptr;
    if (why && coded > 0)
      abandon_index("ERROR: the Matroska file is damaged (%s): %d pictures were indexed up to there, and the frames "
                    "after it cannot be read. No index is written.",
                    why, coded);
    if (coded == 0)
      abandon_index("No picture could be read from the Matroska file%s%s", why ? ": " : ".", why ? why : "");
    if (damage.Skipped == 1)
      printf("WARNING: the Matroska file is damaged: %llu bytes from position %llu on were skipped, up to the next "
             "cluster; the frames in them are not indexed.\n",
             static_cast<unsigned long long>(damage.SkippedBytes), static_cast<unsigned long long>(damage.FirstSkipPos));
    else if (damage.Skipped > 1)
      printf("WARNING: the Matroska file is damaged: %u stretches of %llu bytes in all were skipped, each up to the "
             "next cluster, the first of %llu bytes from position %llu on; the frames in them are not indexed.\n",
             damage.Skipped, static_cast<unsigned long long>(damage.SkippedBytes),
             static_cast<unsigned long long>(damage.FirstSkipBytes),
             static_cast<unsigned long long>(damage.FirstSkipPos));
    if (pictures_left_out > 0)
      printf("WARNING: %d pictures next to the damage are not indexed either: they cannot be decoded without the "
             "frames lost, up to the next picture from which decoding starts afresh.\n",
             pictures_left_out);
    mkv_Close(mf);
    mf = nullptr;
  }
  if (SystemStream_Flag == 1 && ts_video_gaps > 0) {
    // The counters tell the loss only modulo 16 packets: the count is the
    // least that each jump means.
    const unsigned long long lost = ts_video_packets_lost;
    if (ts_video_gaps == 1)
      printf("WARNING: the transport stream is damaged: packets of the video PID are missing before position %llu "
             "(%llu or more). Every picture whose start was read is indexed; those the loss cut may decode "
             "damaged.\n",
             static_cast<unsigned long long>(ts_first_gap), lost);
    else
      printf("WARNING: the transport stream is damaged: packets of the video PID are missing in %u places (%llu or "
             "more in all), the first before position %llu. Every picture whose start was read is indexed; those "
             "the loss cut may decode damaged.\n",
             ts_video_gaps, lost, static_cast<unsigned long long>(ts_first_gap));
  }
  if (lost_slots > 0)
    printf("WARNING: %d frames have no picture of their own (lost in the damage); they show the picture before them "
           "and carry the frame property KWMissing\n",
           lost_slots);
  if (SystemStream_Flag == 4) {
    u32 samples = 0;
    if (const u32 unread = MP4UnreadSample(&samples))
      abandon_index("ERROR: the MP4 file is cut short or damaged: sample %u of the %u its tables list lies beyond "
                    "the end of the file or cannot be read, and %d pictures were indexed before it. No index is "
                    "written.",
                    unread, samples, coded);
    if (coded == 0) abandon_index("No picture could be read from the MP4 file.");
    MP4Close(mp4File);
    mp4File = nullptr;
  }
  refuse_header_format();
  if (!index_has_picture())
    abandon_index("No picture to index: the input holds no picture from which decoding can start.");
  index_kept = true;
  const bool script_written = write_script();
  // A title whose chapters were asked for and not written is not a complete run.
  const int chapters_status = open_via_mpls ? ProcessMPLS(MPLS_Name, 1) : 0;
  for (int i = NumLoadedFiles - 1; i >= 0; i--) {
    if (Infile[i] >= 0) close(Infile[i]);
    Infile[i] = -1;
  }
  WriteLogFile();
  ostrel_exit(chapters_status != 0 || !script_written ? 1 : 0);
}

// ------------------------------------------------------------------ index file writer

void write_index_head(const char* magic, int fail_status) {
  if (Operation != 0) return;
  p_aif = fopen(output_file, "w");
  index_created = p_aif != nullptr;
  index_kept = false;
  if (!p_aif) {
    printf("Error opening index file %s\n", output_file);
    ostrel_exit(fail_status);
  }
  fprintf(p_aif, "%s%s %s X64\n", magic, "NV100", Version);
  fprintf(p_aif, "%s\n\n", ExePath);
  for (int i = 0; i < NumLoadedFiles; i++)
    fprintf(p_aif, "%s %llu\n", Infilename[i], static_cast<unsigned long long>(Infilelength[i]));
}

void write_keyword_header(int depth) {
  if (Operation != 0 || !p_aif) return;
  fprintf(p_aif, "\nDEVICE %d\n", 0);
  fprintf(p_aif, "DECODE_MODES %d,%d,%d,%d,%d\n", 0, 0, 0, 0, 0);
  fprintf(p_aif, "STREAM %d %d\n", SystemStream_Flag, program_stream_type);
  if (SystemStream_Flag == 1) {
    fprintf(p_aif, "PKTSIZ %d\n", TransportPacketSize);
    fprintf(p_aif, "VPID %d\n", static_cast<int>(MPEG2_Transport_VideoPID));
  }
  const bool timed = SystemStream_Flag == 2 || SystemStream_Flag == 4;
  fprintf(p_aif, "RANGE %llu 0 %llu 0\n", static_cast<unsigned long long>(timed ? process.start_time : process.start_byte),
          static_cast<unsigned long long>(timed ? process.end_time : process.end_byte));
  fprintf(p_aif, "DEMUX %s\n", "");
  if (depth >= 0) write_depth(depth);
}

void write_depth(int depth) {
  if (Operation != 0 || !p_aif) return;
  fprintf(p_aif, "DEPTH %d\n", depth);
}

void write_aspect_colorimetry(int aspect_w, int aspect_h, int matrix, int transfer, int primaries) {
  ar1 = aspect_w;
  ar2 = aspect_h;
  if (Operation != 0 || !p_aif) return;
  fprintf(p_aif, "ASPECT %d %d\n", aspect_w, aspect_h);
  fprintf(p_aif, "COLORIMETRY %d %d %d\n", matrix, transfer, primaries);
}

void write_trailer(bool hevc) {
  list_damage();
  if (Operation != 0 || !p_aif) return;
  fprintf(p_aif, "\nSIZE %d x %d ", Picture_Width, Picture_Height);
  fprintf(p_aif, "\nFPS %d / %d", fps_num, fps_den);
  fprintf(p_aif, "\nCODED %d", coded);
  if (!hevc) {
    fprintf(p_aif, "\nPLAYBACK %d", coded + frame_repeats + field_repeats / 2 + lost_slots);
    if (FILM_Purity + VIDEO_Purity > 0) {
      float film = static_cast<float>(FILM_Purity) * 100.0f / static_cast<float>(FILM_Purity + VIDEO_Purity);
      fprintf(p_aif, "\n%.2f%% FILM", static_cast<double>(film));
    } else {
      fprintf(p_aif, "\n0.00%% FILM");
    }
  }
  fprintf(p_aif, "\nORDER %d", hevc && field_order == -1 ? 0 : field_order);
}

void close_index_file() {
  if (!p_aif) return;
  fprintf(p_aif, "\n");
  bool bad = ferror(p_aif) != 0;
  bad = fclose(p_aif) != 0 || bad;
  p_aif = nullptr;
  if (bad) {
    // A silently truncated index would pass for a complete one.
    printf("Error writing index file %s\n", output_file);
    ostrel_exit(1);
  }
}

// ------------------------------------------------------------------ rate and aspect rules

void snap_frame_rate(int num, int den) {
  if (num <= 0 || den <= 0) {
    fps_num = 25000;
    fps_den = 1000;
    Frame_Rate = 25;
    return;
  }
  struct Band {
    double lo;      // lo < r
    double hi;
    bool hi_closed; // r <= hi, else r < hi
    int n, d;
    double rate;
  };
  static const Band bands[] = {
      {59.98, 60, true, 60000, 1000, 60},
      {59, 60, false, 60000, 1001, 60000.0 / 1001},
      {29.98, 30, true, 30000, 1000, 30},
      {29, 30, false, 30000, 1001, 30000.0 / 1001},
      {24.98, 25, true, 25000, 1000, 25},
      {23.98, 24, true, 24000, 1000, 24},
      {23, 24, false, 24000, 1001, 24000.0 / 1001},
  };
  double r = static_cast<double>(num) / static_cast<double>(den);
  for (const Band& b : bands) {
    if (r > b.lo && (b.hi_closed ? r <= b.hi : r < b.hi)) {
      fps_num = b.n;
      fps_den = b.d;
      Frame_Rate = b.rate;
      return;
    }
  }
  fps_num = num;
  fps_den = den;
  Frame_Rate = r;
}

u64 gcd64(u64 a, u64 b) {
  while (b != 0) {
    const u64 t = a % b;
    a = b;
    b = t;
  }
  return a;
}

bool sar_from_idc(int idc, int* w, int* h) {
  static const int table[17][2] = {{0, 0},   {1, 1},   {12, 11}, {10, 11}, {16, 11}, {40, 33},
                                   {24, 11}, {20, 11}, {32, 11}, {80, 33}, {18, 11}, {15, 11},
                                   {64, 33}, {160, 99}, {4, 3},  {3, 2},   {2, 1}};
  if (idc < 0 || idc >= 17) return false;
  *w = table[idc][0];
  *h = table[idc][1];
  return true;
}
