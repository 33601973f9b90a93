// What the Matroska inputs of the indexer and of the plugin share: which
// tracks hold video they can read, and how a frame of such a track becomes
// the start-code byte stream their unit readers cut.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "MatroskaParser.h"

// Codec of a video track, numbered as the indexer numbers codecs.
enum MkvVideoCodec { MKV_VIDEO_NONE = -1, MKV_VIDEO_AVC = 0, MKV_VIDEO_MPEG2 = 1, MKV_VIDEO_VC1 = 3, MKV_VIDEO_HEVC = 4 };

// The codec of a video track whose codec ID names one that both programs
// read; MKV_VIDEO_NONE for any other track.
int MkvVideoCodecOf(const TrackInfo* t);

// How the frames of the chosen video track are turned into a byte stream.
struct MkvVideoTrack {
  int codec = MKV_VIDEO_NONE;
  unsigned length_size = 4;              // AVC, HEVC: bytes of each unit's length prefix
  std::vector<uint8_t> strip;            // header-stripping bytes in front of every frame
  // AVC, HEVC: the parameter sets of the codec configuration, each as
  // 00 00 00 01 and the unit. VC-1: the sequence header and entry point of
  // the codec configuration, with their start codes.
  std::vector<uint8_t> config;
};

// Sets up v for track t. Null when its frames can be read, else why not.
const char* MkvSetUpVideoTrack(const TrackInfo* t, MkvVideoTrack* v);

// Reads a frame's payload at pos, behind the header-stripping bytes, into
// raw. False on a failed seek or a short read, or when the whole would
// exceed max bytes.
bool MkvReadFrame(FILE* fp, const MkvVideoTrack& v, uint64_t pos, uint32_t size, size_t max,
                  std::vector<uint8_t>* raw);

// Writes a raw frame as start-code units into out (cap bytes): length
// prefixes become 00 00 00 01 (AVC, HEVC); VC-1 frames stored without start
// codes get the frame start code, and key frames without a sequence header
// get the configuration's one and its entry point in front. Returns the
// bytes written, or -1 when they do not fit.
long MkvFrameToStartCodes(const MkvVideoTrack& v, const uint8_t* raw, size_t n, bool key, uint8_t* out,
                          size_t cap);

// Writes a frame of units with 4-byte length prefixes (AVC, HEVC), n bytes
// at frame, in start-code form over itself: the bytes MkvFrameToStartCodes
// writes for it, which are never more than n. Returns their count.
size_t MkvLengthPrefixesToStartCodes(uint8_t* frame, size_t n);

// Calls f(unit, length) for every unit of a length-prefixed frame (AVC,
// HEVC), up to the first length that runs past the frame.
template <class F>
void MkvForEachUnit(const MkvVideoTrack& v, const uint8_t* raw, size_t n, F f) {
  size_t p = 0;
  while (n - p >= v.length_size) {
    uint64_t len = 0;
    for (unsigned i = 0; i < v.length_size; ++i) len = (len << 8) | raw[p + i];
    p += v.length_size;
    if (len > n - p) return;
    if (len) f(raw + p, size_t(len));
    p += size_t(len);
  }
}

// True for an AVC or HEVC parameter-set unit (SPS or PPS).
bool MkvIsParameterSet(int codec, uint8_t first_byte);

// Damage passed over right after a frame took the frame's own end too when
// this many bytes at its end are zeros: the last unit of an AVC or HEVC
// frame never ends in a zero byte, that of an MPEG-2 frame in one at most
// (the last bits of its last slice, then those that fill its byte).
inline unsigned MkvZerosOfDamagedEnd(int codec) { return codec == MKV_VIDEO_MPEG2 ? 2 : 1; }
