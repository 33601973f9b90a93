// What the MP4 inputs of the indexer and of the plugin share beside the
// library's function interface: their own walk of a file's boxes down to
// the HEVC configuration, the bit reader over it, the parameter sets it
// holds, and the turning of a sample into start-code units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Codec of a video track, numbered as the indexer numbers codecs.
enum Mp4VideoCodec { MP4_VIDEO_NONE = -1, MP4_VIDEO_AVC = 0, MP4_VIDEO_MPEG2 = 1, MP4_VIDEO_VC1 = 3, MP4_VIDEO_HEVC = 4 };

constexpr size_t HVCC_MAX = 4096;  // bytes of an HEVC configuration record kept

// The codec of a video track by its first sample entry's name and, for
// "mp4v", its ES object type (0x60 to 0x65 are MPEG-2 video). dvh1 counts as
// HEVC only where the caller allows it.
int Mp4VideoCodecOf(const char* media_data_name, uint8_t object_type, bool dvh1_is_hevc);

// Copies the configuration record of the first "hvc1" or "hev1" sample entry
// of the first video track that has one, in the file at path: 0 with *size
// set, 1 when there is none or the boxes on the way are damaged.
int fetch_hvcC_atom(const char* path, uint8_t* hvcC, size_t* size);

// The next n bits (0 to 32) of buf, most significant first, from *bitpos,
// which moves on by n. Bits past size bytes read as 0.
uint32_t read_code(int n, const uint8_t* buf, size_t size, uint32_t* bitpos);

// The length size (1, 2 or 4 bytes; another value means a broken record)
// and the VPS, SPS and PPS of an HEVC configuration record, each behind
// 00 00 00 01. Counts and lengths stay within the record.
unsigned HvccLengthSize(const uint8_t* hvcC, size_t size);
std::vector<uint8_t> HvccParameterSets(const uint8_t* hvcC, size_t size);

// The AVC parameter sets of the four arrays that the library's
// MP4GetTrackH264SeqPictHeaders hands out (each list ended by a size of 0),
// every set behind 00 00 00 01, SPS first; the arrays and sets are freed.
std::vector<uint8_t> TakeAvcParameterSets(uint8_t** sps, uint32_t* sps_size, uint8_t** pps, uint32_t* pps_size);

// Writes a sample into out (cap bytes) as start-code units: each unit's
// big-endian length field becomes a start code, 00 00 00 01 for the first
// unit when first_start_code is set and 00 00 01 otherwise; MPEG-2 and VC-1
// samples are copied as they are. The walk stops where fewer than
// length_size + 1 bytes remain or a unit would run past the sample. Returns
// the bytes written, or -1 when they do not fit.
long Mp4SampleToStartCodes(int codec, unsigned length_size, const uint8_t* sample, size_t n, bool first_start_code,
                           uint8_t* out, size_t cap);
