// Indexing driver (codec probe, analysis reset, picture loop, end of run) and
// the writer of the index file's head, keyword header and trailer, shared by
// the four codec analyses.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "global.h"
#include "pes.h"

// ---- driver
void SetVideoType();                 // probes the first units; sets VideoStream_Flag, may exit
void init_indexing();                // resets the analysis state of all codecs
[[noreturn]] void Index(int mode);   // runs the codec's index routine, writes script/report, exits
int read_new_picture();              // 1 after a completed picture, 0 at end of input or range
// Before anything is written: 1, with the reason printed, when the script
// template is a file that the run writes (the index, the report, the
// chapters file), or the script would be one of them; else 0.
int check_written_names();
// Ends a run that cannot give a usable index: prints the message (printf
// format, a line end is added), removes the index file this run created (a
// partial index must not pass for a complete one) and exits with status 1.
[[noreturn]] void abandon_index(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A transport stream's program table that moves the video to a stream of
// codec (numbered as VideoStream_Flag) in file: another codec than the
// detected one is refused as a later file of it is, by name.
void refuse_switched_codec(int file, int codec);
// Removes the index file this run created unless the run got past its
// end-of-run checks; ostrel_exit calls it for every failed run.
void discard_unfinished_index();
void OutputProgress(int percent);    // "%d\r", "100\n" at the end, nothing for negatives
// "\n<ndx>:<word>" and " <value>" for each value, to the index file as
// fprintf's %d and %lld write them: the lines written once per picture,
// where reading a format costs more than the writing.
void write_picture_line(int ndx, const char* word, std::initializer_list<long long> values);
// The order count of a picture shown at time t among pictures of one run of
// counts whose times and counts are known: interpolated between the nearest
// shown before and after it, else extrapolated from the two nearest on its
// side (times rounded by the container are allowed for). False where no
// count fits: fewer than two pictures, a picture of the same time, or a
// count that is not strictly between its neighbours' or is taken.
bool OrderCountAtTime(const std::vector<std::pair<u64, int>>& known, u64 t, int* count);
int progress_percent();              // position of the read pointer as a share of the input

// ---- index file writer (nothing is written while Operation != 0)
// Creates output_file and writes the head: magic line, program directory,
// one line per input file. On failure prints "Error opening index file %s\n"
// and exits with fail_status.
void write_index_head(const char* magic, int fail_status);
// DEVICE, DECODE_MODES, STREAM, PKTSIZ/VPID (transport streams), RANGE, DEMUX, DEPTH;
// a negative depth leaves DEPTH to write_depth, for a stream whose depth its
// first parameter set tells (nothing stands between DEPTH and ASPECT).
void write_keyword_header(int depth);
void write_depth(int depth);
// "ASPECT %d %d\n" then "COLORIMETRY %d %d %d\n"; records ar1/ar2.
void write_aspect_colorimetry(int aspect_w, int aspect_h, int matrix, int transfer, int primaries);
// SIZE, FPS, CODED, then for every codec but HEVC PLAYBACK and FILM, then ORDER.
void write_trailer(bool hevc);
// Final line feed and close.
void close_index_file();

// ---- damage and lost slots
// Where reading met damage (a transport-stream counter gap, at the position
// of the packet after it; a program stream's bytes that are no packet, at
// the start code after them; a Matroska stretch passed over or a frame lost
// to it, at the time of the frame; a Matroska frame without a readable
// picture header, at its time): from here on the writer fills gaps in the
// presentation times with lost slots. The position is listed in the index
// as "DAMAGE <position>" before the next picture line written (or the
// trailer), once and in stream order. (An SPS damaged in place is told
// only when the set after it comes: it is listed after the pictures of
// its group.)
void NoteDamage(u64 position);
extern unsigned damage_places;  // NoteDamage calls in the run: places where reading met damage
// A parameter set's NAL unit (header on, emulation prevention bytes in
// place) holds a run of zeros that emulation prevention keeps out of every
// NAL unit (00 00 00, 00 00 01, 00 00 02) before its last nonzero byte:
// its bytes were zeroed or lost, and the set is damage, not taken up.
bool parameter_set_damaged(const unsigned char* unit, u32 length);
// The time of a picture whose access unit begins at position (a byte
// position; Matroska: the frame's time, passed as the position), asked for
// once per picture in decode order. In a transport or program stream the
// first decode time after damage also tells how many pictures went missing
// there in decode order (against the steps of the decode times before): no
// more lost slots than that are written, so that pictures that the end of a
// recording cut off, shown between those read, are not taken for lost
// (unless NotePicturesCut counts them).
u64 picture_time(u64 position);
// The position of the access unit that the AVC, HEVC and MPEG-2 units read
// last belong to (its first unit that is no part of the picture before it).
u64 access_unit_position();
// Two pictures written one after the other, with nothing lost between them
// that the analysis knows of: the later must not have the earlier time.
// Where it has, the container's times are no presentation times (decode
// times written as block times, say), and no lost slot is written.
void check_display_order(u64 earlier, u64 later);
// Whether a picture of time `earlier` is shown at least half a frame
// before one of time `later` (the two less than ten seconds apart); false
// where either has no time.
bool shown_before(u64 earlier, u64 later);
// A time moved by the given number of pictures (negative: earlier) at the
// spacing of the pictures written so far (a frame of the declared rate while
// they show none), in the container's unit; kNoTime stays. For a picture
// whose own time was lost with its PES header, from a neighbour's and their
// distance in display order.
u64 time_moved(u64 time, int pictures);
// Before each picture line, in display order, with the picture's time
// (kNoTime for none) and the fields it shows (2 a frame; 3 with a field
// repeated, 4 and 6 with the frame doubled or tripled). After damage, where
// the time comes later than the pictures before it fill (by the spacing
// those pictures' own times have, learnt from them: per field where the
// times count their repeats, else per picture), lines "<ndx>:LOST" stand
// for the frames that the pictures lost there show, one a frame: only in a
// gap within eight frames (a second at most) of the times next to the
// damage, at most what the gap holds, none while no spacing is known (or a
// frame would last under a millisecond). A picture up to a second earlier
// than the one before it is shown out of its place and takes a slot after
// it; a longer step back or a gap of over ten seconds begins a new time
// base. Also writes the DAMAGE lines due.
void write_lost_slots(u64 time, int fields = 2);
extern int lost_slots;               // LOST lines written; PLAYBACK counts them, CODED does not
// Pictures shown before the last one read and coded after it, that the
// end of the input cut off: the next write_lost_slots may give them their
// slots, as it does pictures lost in damage, where the time of the picture
// it is called for shows them missing.
void NotePicturesCut(long long pictures);

// ---- frame rate and aspect rules
// Snaps num/den to a standard rate; sets fps_num, fps_den and Frame_Rate.
// A zero or negative term gives 25000/1000.
void snap_frame_rate(int num, int den);
// Matroska input whose track has a frame duration: snaps that rate (in
// thousandths) in place of the stream's own and returns true.
bool snap_matroska_rate();
// Greatest common divisor; gcd64(a, 0) is a.
u64 gcd64(u64 a, u64 b);
// H.264 Table E-1 / H.265 Table E.1 for idc 0..16; false for other values.
bool sar_from_idc(int idc, int* w, int* h);
