// Damaged copies of test inputs, made the same way for every host the
// plugin's tests run in: transport streams that lost packets of their video,
// and the blocks of a Matroska file as mkvinfo lists them.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace dc {

// Transport stream packets: 188 bytes each, the video PID the PID of most.
int VideoPid(const std::vector<uint8_t>& bytes);
int PidOf(const std::vector<uint8_t>& bytes, size_t p);

// A transport stream that encodes 120 pictures of 176 x 144 into `path`;
// false when the encoder fails.
struct DamagedTs {
  const char* name;
  const char* file;
  bool (*make)(const std::string& path);
};
// AVC with IDR groups, with x264's groups, with every group open (non-IDR I
// pictures with a recovery point and leading B pictures); MPEG-2 with open
// groups; HEVC with CRA pictures and their RASL pictures.
const std::vector<DamagedTs>& DamagedTsStreams();
void PrintTo(const DamagedTs& s, std::ostream* os);

// One damaged copy of a transport stream, written beside it.
struct DamagedCopy {
  std::string name;   // what the failure messages call it
  std::string path;
  int dropped;        // video packets dropped from 40 % of the file on; 0: 4 KB zeroed there
  bool from_start;    // dropped from the first packet of an access unit at or after 40 %
  char lost;          // or: every packet of the first picture of this type (by ffprobe) from 40 % on; 'E': of
                      // the last P picture before the first I picture from 40 % on (in stream order), and the
                      // first packet of the picture after it
  uint64_t after;     // where the copy goes on after the damage
  int lost_slot;      // the display index of a picture lost whole, else -1
};
// The copies of `ts` that lost packets of its video PID at 40 % of the
// file: 1, 5 or 50 in a row, the first 2 or 6 of an access unit, the whole
// PES packet of a B, a P or an I picture, the P picture that ends a group
// with the start of the picture after it, or 4 KB zeroed. A failed test
// when the stream has no such picture.
void TsDamagedCopies(const std::string& ts, std::vector<DamagedCopy>* out);

// Losses that the index gives a slot, each with the intact file it was
// made from and the frames the clip has (the intact file's, or those up to
// the last picture read in display order where the end was cut): HEVC with
// CRA pictures, 2 packets lost over a CRA picture's first slice (its
// parameter sets read); an
// MPEG-2 program stream with 2 KB zeroed over a pack header and the PES
// header after it; an MPEG-2 transport stream cut by its end after its last
// P picture in stream order, 1 packet of the B picture after it read.
struct SlotCopy {
  std::string name, intact, damaged;
  size_t frames;
};
void SlotKeepingCopies(const std::string& dir, std::vector<SlotCopy>* out);

// The packets of `bytes` less `count` packets of PID `pid` from the one at
// byte `from` on (count < 0: all up to the next that starts a PES packet).
std::vector<uint8_t> DropPackets(const std::vector<uint8_t>& bytes, int pid, size_t from, int count);

// The first packet of PID `pid` at or after byte `at` (bytes.size() when none).
size_t PacketFrom(const std::vector<uint8_t>& bytes, int pid, size_t at);

// Damage inside one picture of interlaced coding, whose concealment depends
// on what the decoder decoded before: a transport stream that `encode`
// (ffmpeg's arguments after the testsrc2 input of width x height, before
// the output) makes, damaged in the first picture of group `group` (by
// ffprobe's key frames; -1 the last group).
struct InterlacedDamage {
  const char* name;
  const char* file;
  int width, height, frames;
  const char* encode;
  int group;
  bool zeroed;  // 4 KB zeroed from the packet after the picture's first; else 5 of its packets lost from there
};
void PrintTo(const InterlacedDamage& d, std::ostream* os);
// MBAFF (x264's interlaced coding, top field first, groups of 25 with 3 B
// pictures): 4 KB zeroed inside the I picture of the fourth group, 5
// packets lost inside the last group's IDR picture; HEVC with CRA pictures:
// 5 packets lost inside the last one.
const std::vector<InterlacedDamage>& InterlacedDamageCases();
// Encodes the stream into dir, decodes it with ffmpeg into *intact (a
// failed test unless it holds every frame) and writes the damaged copy to
// *damaged; *what names the copy for failure messages.
void MakeInterlacedDamage(const InterlacedDamage& d, const std::string& dir, std::vector<std::vector<uint8_t>>* intact,
                          std::string* damaged, std::string* what);

// A 192 x 108 stream (coded 192 x 112, cropped) of `frames` testsrc2
// pictures in groups of kSetGroup, every group opened by its IDR or IRAP picture
// with the parameter sets repeated before it: H.264 (x264) or HEVC (x265,
// repeat-headers), as an elementary stream ("es"), a transport stream
// ("ts") or a program stream ("ps"). False when the encoder fails.
constexpr int kSetGroup = 12;
bool RepeatedSetsStream(const std::string& path, bool hevc, const std::string& form, int frames);
struct DamagedSetCopy {
  std::string name;  // what the failure messages call it
  std::string path;
  // The set is taken up by a decoder (ffmpeg's too): the pictures of the
  // group after it may come out of another size, damaged, or (ffmpeg's last
  // ones) like the intact ones.
  bool taken_up;
  size_t group;  // the display index of the first picture of the group after the set
};
// Copies of such a stream (8 groups or more) whose fifth SPS that a
// start-code scan finds whole in the file (a packet header may split one)
// was damaged in place: 4 bytes of it zeroed (from its 8th byte on after the NAL header
// for H.264, its 28th for HEVC, where the parsers still take it), and one
// bit of its picture height flipped (H.264: the lowest of
// pic_height_in_map_units_minus1, 16 rows; HEVC: the bit worth 16 of
// pic_height_in_luma_samples), found by parsing the set. A failed test
// when the set is not found whole in the file.
void DamagedSetCopies(const std::string& path, bool hevc, std::vector<DamagedSetCopy>* out);

// One block of a Matroska file as mkvinfo lists it: where its element
// begins and ends, where its frame data begins, its time, key frame or not.
struct MkvBlock {
  uint64_t pos, end, data, ns;
  bool key;
};
std::vector<MkvBlock> MatroskaBlocks(const std::string& mkv);

}  // namespace dc
