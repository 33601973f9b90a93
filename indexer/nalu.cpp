// Annex B unit reader. Cuts the video byte stream at 00 00 01 start codes;
// every unit is assembled in nalu_buf beginning with its start code.
//
// Bytes are taken in stretches: the run of bytes that can be read straight
// from Buffer (the rest of the buffer for elementary streams, the rest of the
// current packet's payload for transport and program streams, the rest of the
// current run of the sample for MP4). A stretch is
// searched for 00 00 01 many positions at a time and copied whole; at its
// end the container's reader moves on to the next packet's payload or block.
// Transport streams take the run of common packets that follows in one loop
// of their own (common_ts_packets).
//
// Positions: a start code may be split by a packet header (transport and
// program streams) or a buffer or file boundary. The reader keeps the stream
// positions of the last two bytes it appended, so the position of a start
// code is always that of its first 00 byte, wherever that byte stood.
#include "nalu.h"

#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <immintrin.h>
#endif

#include "Matroska.h"
#include "decode.h"
#include "mp4.h"
#include "mpg.h"
#include "ps.h"
#include "ts.h"
#include "vc1.h"

static unsigned char nalu_storage[NALU_BUFFER_SIZE];
unsigned char* nalu_buf = nalu_storage;

static int HadEOF;
static u32 start;           // last four bytes read before the first start code
static u64 tail_pos[2];     // stream positions of the last and the second-last byte appended
static u64 unit_pos;        // position of the start code that begins the next unit

// Transport and program streams: bytes are taken from packet payloads; MP4
// input from the runs of its sample in Buffer (mp4.h).
static inline bool packetized() { return SystemStream_Flag == 1 || SystemStream_Flag == 3 || SystemStream_Flag == 4; }

// Bytes that can be taken straight from Buffer.
static inline u32 stretch(bool packets) {
  if (Rdptr >= Buffer + Read) return 0;
  u32 avail = static_cast<u32>(Buffer + Read - Rdptr);
  if (packets) return avail < payload_bytes ? avail : payload_bytes;
  return avail;
}

static inline void take(u32 n, bool packets) {
  Rdptr += n;
  if (packets) payload_bytes -= n;
}

// Moves on to the next bytes that can be taken straight from Buffer: the
// next video packet's payload once the current one is used up (transport and
// program streams; the next run of the sample for MP4), else the next block of input (a refill, or the next
// file). 0, or -1 at the end of input. A packet boundary thus costs one call
// per packet, and a start code split across it is found by the scan of the
// next stretch, which is given the two bytes before it.
// examined: transport packets already passed over in this search.
static int next_stretch(u32 examined = 0) {
  if (payload_bytes == 0) {
    if (SystemStream_Flag == 1) return NextTSPayload(examined);
    if (SystemStream_Flag == 3) return NextPSPayload();
    if (SystemStream_Flag == 4) return NextMP4Payload();
  }
  return Rdptr < Buffer + Read || RefillBuffer() == 0 ? 0 : -1;
}

#ifdef __SSE2__
// Candidates i..i+W-1 for the first 00 of a start code, as a bit mask.
static inline unsigned start_code_mask16(const unsigned char* p) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
  const __m128i zero = _mm_setzero_si128();
  const __m128i m = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(b, zero)),
                                  _mm_cmpeq_epi8(c, _mm_set1_epi8(1)));
  return static_cast<unsigned>(_mm_movemask_epi8(m));
}

// The zero bytes among p[0..31], as bytes of all ones.
__attribute__((target("avx2"))) static inline __m256i zeros32(const unsigned char* p) {
  return _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), _mm256_setzero_si256());
}

// Tests 32 candidates at a time from *i on; true with the index of the 01
// byte of the first match, else false with *i at the first untested one.
// Coded data holds few pairs of zero bytes: 64 candidates none of which
// begins with 00 00 are passed over after one test.
__attribute__((target("avx2"))) static bool scan_avx2(const unsigned char* src, u32 n, u32* i, u32* at) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i one = _mm256_set1_epi8(1);
  for (;;) {
    while (*i + 66 <= n) {
      const unsigned char* p = src + *i;
      const __m256i z = _mm256_or_si256(_mm256_and_si256(zeros32(p), zeros32(p + 1)),
                                        _mm256_and_si256(zeros32(p + 32), zeros32(p + 33)));
      if (!_mm256_testz_si256(z, z)) break;
      *i += 64;
    }
    // The 64 candidates of a block with a zero, tested in full.
    for (int half = 0; half < 2; half++, *i += 32) {
      if (*i + 34 > n) return false;
      const unsigned char* p = src + *i;
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
      const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
      const __m256i m = _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi8(a, zero), _mm256_cmpeq_epi8(b, zero)),
                                         _mm256_cmpeq_epi8(c, one));
      const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(m));
      if (mask) {
        *at = *i + static_cast<u32>(__builtin_ctz(mask)) + 2;
        return true;
      }
    }
  }
}

// Start-code candidates p[0..31] as a bit mask (bit k: p[k], p[k + 1],
// p[k + 2] are 00 00 01), storing p[0..31] to dst. All three bytes are
// tested at once: zero pairs alone are common enough in some coded data
// (CAVLC) that a branch per pair would cost more than the third compare.
__attribute__((target("avx2"))) static inline unsigned copy_mask32(const unsigned char* p, unsigned char* dst) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
  const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), a);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i m = _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi8(a, zero), _mm256_cmpeq_epi8(b, zero)),
                                     _mm256_cmpeq_epi8(c, _mm256_set1_epi8(1)));
  return static_cast<unsigned>(_mm256_movemask_epi8(m));
}

// scan_start_code and a copy in one pass, for n >= 34 when the stretch's
// first two bytes cannot complete a start code begun before it: each block
// of 32 bytes is stored to dst as it is tested. Copies src[0..at] when a
// start code ends at index at, else all n bytes, and never more than n.
__attribute__((target("avx2"))) static inline u32 scan_copy_avx2(const unsigned char* src, u32 n, unsigned char* dst) {
  u32 i = 0;
  unsigned mask = 0;
  for (; i + 34 <= n; i += 32) {
    mask = copy_mask32(src + i, dst + i);
    if (mask) break;
  }
  if (!mask) {
    if (i + 2 >= n) {  // at most two bytes left, no candidate among them
      for (; i < n; i++) dst[i] = src[i];
      return n;
    }
    // The last candidates in one block that overlaps positions already
    // tested (none of which matched).
    i = n - 34;
    mask = copy_mask32(src + i, dst + i);
  }
  // Bytes i + 32 and i + 33 (the match's 01 may be one of them; the last
  // block's end is n).
  dst[i + 32] = src[i + 32];
  dst[i + 33] = src[i + 33];
  return mask ? i + static_cast<u32>(__builtin_ctz(mask)) + 2 : n;
}

// As scan_avx2, 62 candidates per step from two loads: bit k of the zero
// mask and of the 01 mask tell p[k] == 0 and p[k] == 1, so candidate k is a
// zero bit at k and k + 1 and a 01 bit at k + 2, for k up to 61.
__attribute__((target("avx2"))) static bool scan_avx2_wide(const unsigned char* src, u32 n, u32* i, u32* at) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i one = _mm256_set1_epi8(1);
  constexpr u64 kCandidates = (u64(1) << 62) - 1;
  for (; *i + 64 <= n; *i += 62) {
    const unsigned char* p = src + *i;
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const u64 z = u64(u32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, zero)))) |
                  u64(u32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, zero)))) << 32;
    const u64 o = u64(u32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, one)))) |
                  u64(u32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, one)))) << 32;
    const u64 c = z & (z >> 1) & (o >> 2) & kCandidates;
    if (c) {
      *at = *i + static_cast<u32>(__builtin_ctzll(c)) + 2;
      return true;
    }
  }
  return false;
}

static const bool have_avx2 = __builtin_cpu_supports("avx2");
#endif

// Index of the 01 byte of the first start code that ends in src[0..n), where
// p1 and p2 are the two bytes before src[0] (p1 the nearer); n when none.
// Many candidate positions are tested at once where the CPU allows.
static inline u32 scan_start_code(const unsigned char* src, u32 n, unsigned char p1, unsigned char p2) {
  if (n == 0) return 0;
  if (src[0] == 1 && p1 == 0 && p2 == 0) return 0;
  if (n >= 2 && src[1] == 1 && src[0] == 0 && p1 == 0) return 1;
  u32 i = 0;  // first byte of a candidate 00 00 01
#ifdef __SSE2__
  u32 at;
  if (have_avx2 && scan_avx2(src, n, &i, &at)) return at;
  for (; i + 18 <= n; i += 16) {
    const unsigned mask = start_code_mask16(src + i);
    if (mask) return i + static_cast<u32>(__builtin_ctz(mask)) + 2;
  }
  // The last candidates in one more block that overlaps positions already
  // tested (none of which matched), instead of one byte at a time.
  if (i + 2 < n && n >= 18) {
    i = n - 18;
    const unsigned mask = start_code_mask16(src + i);
    return mask ? i + static_cast<u32>(__builtin_ctz(mask)) + 2 : n;
  }
#endif
  for (; i + 2 < n; i++)
    if (src[i + 2] == 1 && src[i + 1] == 0 && src[i] == 0) return i + 2;
  return n;
}

// scan_start_code for long stretches that are scanned, not copied.
static inline u32 scan_start_code_wide(const unsigned char* src, u32 n, unsigned char p1, unsigned char p2) {
#ifdef __SSE2__
  if (have_avx2 && n >= 64) {
    if (src[0] == 1 && p1 == 0 && p2 == 0) return 0;
    if (src[1] == 1 && src[0] == 0 && p1 == 0) return 1;
    u32 i = 0, at;
    if (scan_avx2_wide(src, n, &i, &at)) return at;
    // Candidates from i - 2 on were tested already; testing them again
    // finds nothing.
    return i + scan_start_code(src + i, n - i, src[i - 1], src[i - 2]);
  }
#endif
  return scan_start_code(src, n, p1, p2);
}

// scan_start_code, copying to dst the bytes scanned: src[0..at] when a start
// code ends at index at, else all n bytes; dst has room for n bytes. known
// (an AVX2 caller, which may inline the AVX2 scan) skips the CPU test.
template <bool known_avx2 = false>
__attribute__((always_inline)) inline u32 scan_copy(const unsigned char* src, u32 n, unsigned char* dst,
                                                     unsigned char p1, unsigned char p2) {
#ifdef __SSE2__
  if ((known_avx2 || have_avx2) && n >= 34) {
    if (src[0] == 1 && p1 == 0 && p2 == 0) {
      dst[0] = 1;
      return 0;
    }
    if (src[1] == 1 && src[0] == 0 && p1 == 0) {
      dst[0] = 0;
      dst[1] = 1;
      return 1;
    }
    return scan_copy_avx2(src, n, dst);
  }
#endif
  const u32 at = scan_start_code(src, n, p1, p2);
  memcpy(dst, src, at < n ? at + 1 : n);
  return at;
}

// Position bookkeeping. tail_pos holds the stream positions of the last two
// bytes taken; unit_pos the position of the first 00 of the start code just
// found, wherever that byte stood.

// A stretch that began at stream position base was used up to its byte at,
// the 01 of a start code.
static inline void note_start_code(u64 base, u32 at) {
  unit_pos = at >= 2 ? base + at - 2 : (at == 1 ? tail_pos[0] : tail_pos[1]);
  tail_pos[1] = at >= 1 ? base + at - 1 : tail_pos[0];
  tail_pos[0] = base + at;
}

// A whole stretch of n bytes from base was used without a start code.
static inline void note_stretch(u64 base, u32 n) {
  tail_pos[1] = n >= 2 ? base + n - 2 : tail_pos[0];
  tail_pos[0] = base + n - 1;
}

// Finds the first start code of the stream, keeping in `start` the bytes
// before it. 1 when found, 0 at end of input.
static int find_first_start_code() {
  const bool packets = packetized();
  for (;;) {
    const u32 n = stretch(packets);
    if (n == 0) {
      if (next_stretch() < 0) return 0;
      continue;
    }
    const unsigned char* src = Rdptr;
    const u64 base = StreamPosition();
    const u32 at = scan_start_code(src, n, start & 0xFF, (start >> 8) & 0xFF);
    const u32 used = at < n ? at + 1 : n;
    for (u32 i = used > 4 ? used - 4 : 0; i < used; i++) start = (start << 8) | src[i];
    take(used, packets);
    if (at < n) {
      note_start_code(base, at);
      return 1;
    }
    note_stretch(base, n);
  }
}

static void fill_header(NALU_t* unit, u32 len, int prefix, unsigned char* buf = nalu_buf) {
  unit->startcodeprefix_len = prefix;
  unit->len = len;
  unit->buf = buf;
  unsigned char h = len > static_cast<u32>(prefix) ? buf[prefix] : 0;
  unit->nal_unit_type = h & 31;
  unit->nal_reference_idc = (h >> 5) & 3;
  unit->forbidden_bit = h >> 7;
}

// Transport streams of 188- and 192-byte packets, after a used-up payload:
// takes the common packets that follow (ts.h) in one loop, scanning and
// copying each video payload into the unit, with the read position in a
// local; the reader's records (sync positions, first payload, payload left)
// are written once when the loop ends, as the packet-by-packet road would
// leave them. 1 when a start code ended the unit (filled in); else 0 with
// Rdptr at the first packet of another kind (or one whose payload would not
// fit), *examined counting the packets passed over since the last payload.
// With avx2 the scan is inlined into the loop (the caller is an AVX2 function).
template <bool avx2>
__attribute__((always_inline)) inline int common_ts_run(NALU_t* unit, u32* len_io, int prefix, u32* examined) {
  const TsCommonTest common;
  const u32 n = common.n;
  const u32 lead = n == 192 ? 192 - 188 : 0;                     // M2TS time prefix
  const u64 origin = Buffer_Physical + FilesBefore(CurrentFile);  // stream position of Buffer[0]
  unsigned char* p = Rdptr;                                       // a packet, or its prefix
  unsigned char* payload = nullptr;                               // of the last video packet taken
  u64 previous = previous_ts_sync_position, current = current_ts_sync_position;
  u32 len = *len_io;
  u32 left = 0;
  int ended = 0;
  for (;;) {
    const u32 s = static_cast<u32>(p - Buffer) + lead;  // index of the sync byte
    const TsPacket kind = common(s);
    if (kind == TsPacket::kIrregular) break;
    if (kind == TsPacket::kVideo && len + kTsCommonPayload > NALU_BUFFER_SIZE) break;
    if (++*examined > kTsMaxPacketsPerSearch) ts_no_video_data();
    p = Buffer + s + 188;
    if (kind == TsPacket::kOther) continue;
    *examined = 0;
    if (NoteVideoContinuity(Buffer[s + 3], false, origin + s, Buffer + s)) continue;  // a duplicate
    previous = current;
    current = origin + s;
    payload = Buffer + s + 4;
    const u64 base = current + 4;
    const u32 at = scan_copy<avx2>(payload, kTsCommonPayload, nalu_buf + len, nalu_buf[len - 1], nalu_buf[len - 2]);
    if (at < kTsCommonPayload) {
      len += at + 1;
      note_start_code(base, at);
      p = payload + at + 1;
      left = kTsCommonPayload - at - 1;
      ended = 1;
      break;
    }
    len += kTsCommonPayload;
    note_stretch(base, kTsCommonPayload);
  }
  Rdptr = p;
  payload_bytes = left;
  previous_ts_sync_position = previous;
  current_ts_sync_position = current;
  if (payload) first_payload = payload;
  *len_io = len;
  if (ended) fill_header(unit, len - 3, prefix);
  return ended;
}

#ifdef __SSE2__
__attribute__((target("avx2"))) static int common_ts_packets_avx2(NALU_t* unit, u32* len_io, int prefix,
                                                                   u32* examined) {
  return common_ts_run<true>(unit, len_io, prefix, examined);
}
#endif

static int common_ts_packets(NALU_t* unit, u32* len_io, int prefix, u32* examined) {
#ifdef __SSE2__
  if (have_avx2) return common_ts_packets_avx2(unit, len_io, prefix, examined);
#endif
  return common_ts_run<false>(unit, len_io, prefix, examined);
}

std::vector<UnitCut> unit_cuts;

const UnitCut* CutIn(u32 begin, u32 end) {
  const auto c = std::upper_bound(unit_cuts.begin(), unit_cuts.end(), begin,
                                  [](u32 v, const UnitCut& x) { return v < x.at; });
  return c != unit_cuts.end() && c->at <= end ? &*c : nullptr;
}

u64 CutBytesBefore(u32 offset) {
  u64 n = 0;
  for (const UnitCut& c : unit_cuts) {
    if (c.at > offset) break;
    n += c.bytes;
  }
  return n;
}

u32 FindStartCode(const unsigned char* p, u32 n) {
  const u32 at = scan_start_code(p, n, 0xFF, 0xFF);
  return at < n ? at - 2 : n;
}

u32 FrameHeadBytes() {
  switch (VideoStream_Flag) {
    case 1:
    case 2:
      return 2048;  // room for a sequence header's matrices, extensions, user data
    case 3:
      return 512;
    default:
      return 0;
  }
}

bool FrameHeadSuffices(const unsigned char* p, u32 n) {
  switch (VideoStream_Flag) {
    case 1:
    case 2:
      return mpg_head_suffices(p, n);
    case 3:
      return vc1_head_suffices(p, n);
    default:
      return false;
  }
}

u32 FrameTailBytes() { return FrameHeadBytes() ? 512 : 0; }

bool FrameTailSuffices(const unsigned char* p, u32 n) {
  bool (*slice)(unsigned char);
  switch (VideoStream_Flag) {
    case 1:
    case 2:
      slice = mpg_slice_code;
      break;
    case 3:
      slice = vc1_slice_code;
      break;
    default:
      return false;
  }
  // A start code's 00 00 01 is never part of the next one.
  for (u32 i = FindStartCode(p, n); i < n; i += 3 + FindStartCode(p + i + 3, n - i - 3))
    if (n - i <= 3 || !slice(p[i + 3])) return false;
  return true;
}

// The first even offset w >= i (i even) with (p[w] | p[w + 1] << 8) & mask
// zero and w + 1 < n, or n. Every run of three bytes holds the two of an
// even offset, so the damage tests below look at three bytes only around
// such words: coded data holds few of them, and chunks of 256 bytes (then
// 128, 64) that hold none are passed over after one test; the last chunk
// overlaps words tested already (none of which matched) instead of a test
// of each word left.
#ifdef __SSE2__
// The least of the masked words of 128 bytes.
__attribute__((target("avx2"))) static inline __m256i masked_min128(const unsigned char* p, __m256i m) {
  const __m256i* q = reinterpret_cast<const __m256i*>(p);
  const __m256i a = _mm256_and_si256(_mm256_loadu_si256(q), m), b = _mm256_and_si256(_mm256_loadu_si256(q + 1), m);
  const __m256i c = _mm256_and_si256(_mm256_loadu_si256(q + 2), m), d = _mm256_and_si256(_mm256_loadu_si256(q + 3), m);
  return _mm256_min_epu16(_mm256_min_epu16(a, b), _mm256_min_epu16(c, d));
}

__attribute__((target("avx2"))) static inline bool has_zero_word(__m256i v) {
  const __m256i hit = _mm256_cmpeq_epi16(v, _mm256_setzero_si256());
  return !_mm256_testz_si256(hit, hit);
}

__attribute__((target("avx2"))) static size_t masked_words_avx2(const unsigned char* p, size_t n, size_t w,
                                                                 uint16_t mask) {
  const __m256i m = _mm256_set1_epi16(static_cast<short>(mask));
  for (; w + 256 <= n; w += 256)
    if (has_zero_word(_mm256_min_epu16(masked_min128(p + w, m), masked_min128(p + w + 128, m)))) break;
  for (; w + 128 <= n; w += 128)
    if (has_zero_word(masked_min128(p + w, m))) return w;
  return w + 1 < n && n >= 128 && !has_zero_word(masked_min128(p + ((n - 128) & ~size_t(1)), m)) ? n : w;
}

static inline bool masked_chunk64(const unsigned char* p, __m128i m) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i* q = reinterpret_cast<const __m128i*>(p);
  const __m128i a = _mm_cmpeq_epi16(_mm_and_si128(_mm_loadu_si128(q), m), zero);
  const __m128i b = _mm_cmpeq_epi16(_mm_and_si128(_mm_loadu_si128(q + 1), m), zero);
  const __m128i c = _mm_cmpeq_epi16(_mm_and_si128(_mm_loadu_si128(q + 2), m), zero);
  const __m128i d = _mm_cmpeq_epi16(_mm_and_si128(_mm_loadu_si128(q + 3), m), zero);
  return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0;
}

static size_t masked_words_sse2(const unsigned char* p, size_t n, size_t w, uint16_t mask) {
  const __m128i m = _mm_set1_epi16(static_cast<short>(mask));
  for (; w + 64 <= n; w += 64)
    if (masked_chunk64(p + w, m)) return w;
  return w + 1 < n && n >= 64 && !masked_chunk64(p + ((n - 64) & ~size_t(1)), m) ? n : w;
}

// Whether a damage pattern begins at k and ends before n: kind 0 (AVC,
// HEVC) 00 00 x with x <= 2, kind 1 (MPEG-2) 00 00 00 x with x > 1.
static inline bool pattern_at(const unsigned char* p, size_t n, size_t k, int kind) {
  if (kind == 0) return k + 2 < n && p[k] == 0 && p[k + 1] == 0 && p[k + 2] <= 2;
  return k + 3 < n && p[k] == 0 && p[k + 1] == 0 && p[k + 2] == 0 && p[k + 3] > 1;
}

// Whether none of the masked words of 256 bytes is zero.
__attribute__((target("avx2"))) static inline bool masked_none256(const unsigned char* p, __m256i m) {
  return !has_zero_word(_mm256_min_epu16(masked_min128(p, m), masked_min128(p + 128, m)));
}

// Whether a pattern begins at one of the 32 positions from k on, its bytes
// before n (k + 32 <= n - 2, kind 1 n - 3). Branch-free: in some coded data
// the masked words of the tests below lie some tens of bytes apart.
__attribute__((target("avx2"))) static inline bool pattern_at32(const unsigned char* p, size_t k, int kind) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k + 1));
  const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k + 2));
  __m256i m = _mm256_and_si256(_mm256_cmpeq_epi8(a, zero), _mm256_cmpeq_epi8(b, zero));
  if (kind == 0) {
    m = _mm256_and_si256(m, _mm256_cmpeq_epi8(_mm256_min_epu8(c, _mm256_set1_epi8(2)), c));
  } else {
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k + 3));
    m = _mm256_and_si256(m, _mm256_cmpeq_epi8(c, zero));
    m = _mm256_andnot_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(1)), d), m);
  }
  return !_mm256_testz_si256(m, m);
}

// The same at the positions [from, to) (to <= n - 2, kind 1 n - 3), 32 at a
// time, the last 32 ending at to (positions tested twice are no harm).
__attribute__((target("avx2"))) static bool pattern_in_avx2(const unsigned char* p, size_t n, size_t from,
                                                              size_t to, int kind) {
  if (to - from < 32) {
    for (size_t k = from; k < to; ++k)
      if (pattern_at(p, n, k, kind)) return true;
    return false;
  }
  bool found = false;
  size_t k = from;
  for (; k + 32 <= to; k += 32) found |= pattern_at32(p, k, kind);
  return found || (k < to && pattern_at32(p, to - 32, kind));
}

// Whether a pattern of kind occurs in the n bytes. Each occurrence at k
// holds a masked zero word (the masks below) at the even one of k and
// k + 1: chunks of 256 bytes without one are passed over after a test, and
// the positions of a chunk with some (and the one before it) are tested
// exactly; the last bytes likewise, in the 256 that end with them.
__attribute__((target("avx2"))) static bool pattern_avx2(const unsigned char* p, size_t n, int kind) {
  const size_t len = kind == 0 ? 3 : 4;
  if (n < 256) {
    for (size_t k = 0; k + len <= n; ++k)
      if (pattern_at(p, n, k, kind)) return true;
    return false;
  }
  const size_t last = n - len + 1;  // the positions a pattern may begin at are below
  const __m256i m = _mm256_set1_epi16(static_cast<short>(kind == 0 ? 0xFCFF : 0xFFFF));
  size_t c = 0;
  for (; c + 256 <= n; c += 256)
    if (!masked_none256(p + c, m) && pattern_in_avx2(p, n, c ? c - 1 : 0, std::min(c + 256, last), kind))
      return true;
  if (c == n) return false;
  const size_t b = (n - 256) & ~size_t(1);
  return !masked_none256(p + b, m) && pattern_in_avx2(p, n, b ? b - 1 : 0, last, kind);
}
#endif

static size_t next_masked_word(const unsigned char* p, size_t n, size_t w, uint16_t mask) {
#ifdef __SSE2__
  if (have_avx2) w = masked_words_avx2(p, n, w, mask);
  w = masked_words_sse2(p, n, w, mask);
#endif
  // The chunk that holds one (the vector tests are exact), or the last bytes.
  for (; w + 1 < n; w += 2)
    if (((p[w] | p[w + 1] << 8) & mask) == 0) return w;
  return n;
}

bool UnitBytesDamaged(const unsigned char* p, size_t n, bool ends_unit) {
  while (ends_unit && n && p[n - 1] == 0) --n;
#ifdef __SSE2__
  if (have_avx2) return pattern_avx2(p, n, 0);
#endif
  // 00 00 x (x <= 2) at k holds p[w] == 0 and p[w + 1] <= 2 at w = k or
  // k + 1, the even one; the tests below keep x before n.
  constexpr uint16_t kZeroAndAtMostThree = 0xFCFF;  // p[w] == 0, p[w + 1] & 0xFC == 0
  for (size_t w = next_masked_word(p, n, 0, kZeroAndAtMostThree); w < n;
       w = next_masked_word(p, n, w + 2, kZeroAndAtMostThree)) {
    if (w >= 1 && p[w - 1] == 0 && p[w + 1] <= 2) return true;
    if (w + 2 < n && p[w + 1] == 0 && p[w + 2] <= 2) return true;
  }
  return false;
}

bool Mpeg2FrameBytesDamaged(const unsigned char* p, size_t n) {
#ifdef __SSE2__
  // Three zeros or more, then a byte other than 00 and 01.
  if (have_avx2) return pattern_avx2(p, n, 1);
#endif
  // A run of three zeros or more holds a zero word at an even offset.
  for (size_t w = next_masked_word(p, n, 0, 0xFFFF); w < n;) {
    size_t k = w, j = w + 2;
    while (k > 0 && p[k - 1] == 0) --k;
    while (j < n && p[j] == 0) ++j;
    if (j - k >= 3 && j < n && p[j] != 1) return true;
    w = next_masked_word(p, n, (j + 1) & ~size_t(1), 0xFFFF);
  }
  return false;
}

bool IsSliceUnit(int codec, unsigned char h) {
  if (codec == 0) return (h & 31) == 1 || (h & 31) == 5;
  const int type = (h >> 1) & 63;
  return type <= 9 || (type >= 16 && type <= 21);
}

// A slice cut to its head (nalu.h) is followed by the next unit's start code
// in Buffer, so the scan ends it where its whole would end: its length is
// what was scanned and the bytes left out, which CompleteUnit reads when a
// parser needs them.
static const UnitCut* unit_cut;     // of the unit just handed, or null
static u32 unit_present;            // its bytes in Buffer

// Matroska: Buffer holds one frame whose units each follow their start code,
// and ends with 00 00 01. A unit whose start code (prefix bytes, as written
// to nalu_buf) stands in Buffer right before Rdptr and whose end lies in the
// n bytes from Rdptr is handed where it lies: the bytes the copy to nalu_buf
// would hold, without the copy. False, with nothing taken, when it does not
// lie so (the frame's first unit continuing the start code that ended the
// previous frame) or is longer than a copy may be.
static bool unit_in_buffer(NALU_t* unit, int prefix, u32 n) {
  const u32 before = static_cast<u32>(Rdptr - Buffer);
  if (before < static_cast<u32>(prefix) || Rdptr[-1] != 1 || Rdptr[-2] != 0 || Rdptr[-3] != 0 ||
      (prefix == 4 && Rdptr[-4] != 0))
    return false;
  // The start code's 00 01 are the two bytes before the stretch, as for the copy.
  const u32 at = scan_start_code_wide(Rdptr, n, Rdptr[-1], Rdptr[-2]);
  if (at >= n || prefix + at + 1 > NALU_BUFFER_SIZE) return false;
  unsigned char* buf = Rdptr - prefix;
  const u32 present = prefix + at + 1 - 3;
  const u32 begin = before - prefix;
  unit_cut = CutIn(begin, begin + present);
  unit_present = present;
  // Positions count the frame as if read whole: the bytes cut before the
  // stretch, and those of its own cut before the start code that ends it.
  const u64 base = StreamPosition() + CutBytesBefore(before) + (unit_cut ? unit_cut->bytes : 0);
  take(at + 1, false);
  note_start_code(base, at);
  fill_header(unit, present + (unit_cut ? unit_cut->bytes : 0), prefix, buf);
  return true;
}

// MP4 samples lie in Buffer with a start code before every unit but the
// first of a sample read whole: a unit behind the three start-code bytes
// that ends in the run of n bytes it begins with is handed out where it
// lies, and is only scanned, not copied. Its bytes are those the copy would
// hold; a cut slice (nalu.h) counts its bytes left out.
static bool unit_in_run(NALU_t* unit, u32 n) {
  if (n == 0 || Rdptr - Buffer < 3 || Rdptr[-3] != 0 || Rdptr[-2] != 0 || Rdptr[-1] != 1) return false;
  const u32 at = scan_start_code(Rdptr, n, 1, 0);
  if (at >= n || at + 1 > NALU_BUFFER_SIZE) return false;
  unsigned char* bytes = Rdptr - 3;
  const u32 begin = static_cast<u32>(bytes - Buffer);
  unit_cut = CutIn(begin, begin + at + 1);
  unit_present = at + 1;
  note_start_code(StreamPosition(), at);
  take(at + 1, true);
  fill_header(unit, at + 1 + (unit_cut ? unit_cut->bytes : 0), 3, bytes);
  return true;
}

void CompleteUnit(NALU_t* unit) {
  const UnitCut* c = unit_cut;
  if (!c || unit->buf == nalu_buf) return;
  unit_cut = nullptr;
  // Head, the bytes left out, then what followed the cut in Buffer (the
  // zero byte in front of the next unit's start code).
  const u32 head = c->at - static_cast<u32>(unit->buf - Buffer);
  memcpy(nalu_buf, unit->buf, head);
  // The library found the frame's last byte in the file; a file that
  // shrank since leaves zero bytes.
  const bool read = SystemStream_Flag == 4 ? Mp4ReadCut(*c, nalu_buf + head) : MkvReadCut(*c, nalu_buf + head);
  if (!read) memset(nalu_buf + head, 0, c->bytes);
  memcpy(nalu_buf + head + c->bytes, unit->buf + head, unit_present - head);
  unit->buf = nalu_buf;
}

static int get_unit(NALU_t* unit, u64* position, bool avc) {
  unit_cut = nullptr;
  if (IsFirstByteStreamNALU) {
    HadEOF = 0;
    start = 0xFFFFFFFF;
    if (!find_first_start_code()) return 0;
  } else if (HadEOF) {
    return 0;
  }
  IsFirstByteStreamNALU = 0;

  int prefix = 3;
  u32 len = 3;
  if (avc && (start >> 24) == 0) {
    // A zero byte before the very first start code makes it a four-byte one.
    prefix = 4;
    len = 4;
    nalu_buf[0] = 0;
    *position = unit_pos - 1;
  } else {
    *position = unit_pos;
  }
  nalu_buf[len - 3] = 0;
  nalu_buf[len - 2] = 0;
  nalu_buf[len - 1] = 1;
  start = 0xFF000001;

  const bool packets = packetized();
  const bool ts_common = SystemStream_Flag == 1 && TransportPacketSize != 204;
  u32 examined = 0;  // transport packets passed over in the search for the next payload
  u32 n = stretch(packets);
  // Units of a sample or frame in Buffer are tried where they lie; so is
  // one that begins with the next (the start code that ended the previous
  // frame or sample, repeated in front of it).
  const bool matroska = SystemStream_Flag == 2;
  const bool mp4 = SystemStream_Flag == 4 && prefix == 3;
  if (matroska && n != 0 && unit_in_buffer(unit, prefix, n)) return 1;
  if (mp4 && unit_in_run(unit, n)) return 1;
  for (;;) {
    if (n == 0) {
      if (ts_common && payload_bytes == 0 && common_ts_packets(unit, &len, prefix, &examined)) return 1;
      if (next_stretch(examined) < 0) break;
      examined = 0;
      n = stretch(packets);
      if (matroska && len == static_cast<u32>(prefix) && n != 0 && unit_in_buffer(unit, prefix, n)) return 1;
      if (mp4 && len == 3 && unit_in_run(unit, n)) return 1;
      continue;
    }
    const unsigned char* src = Rdptr;
    const u64 base = StreamPosition();
    u32 at;
    if (len + n <= NALU_BUFFER_SIZE) {
      at = scan_copy(src, n, nalu_buf + len, nalu_buf[len - 1], nalu_buf[len - 2]);
    } else {
      // Only a start code inside the room left can end this unit.
      at = scan_start_code(src, n, nalu_buf[len - 1], nalu_buf[len - 2]);
      if (at >= n || len + at + 1 > NALU_BUFFER_SIZE) goto too_long;
      memcpy(nalu_buf + len, src, at + 1);
    }
    if (at < n) {
      len += at + 1;
      take(at + 1, packets);
      note_start_code(base, at);
      fill_header(unit, len - 3, prefix);
      return 1;
    }
    len += n;
    note_stretch(base, n);
    take(n, packets);
    // A used-up packet payload needs no second look at the buffer.
    n = packets && payload_bytes == 0 ? 0 : stretch(packets);
  }

  // End of input: the bytes gathered form the last unit.
  if (len < 5) return 0;
  fill_header(unit, len, prefix);
  HadEOF = 1;
  return 1;

too_long:
  printf("Unit at position %llu is larger than the unit buffer (%u bytes).\n",
         static_cast<unsigned long long>(*position), NALU_BUFFER_SIZE);
  return -1;
}

int GetAnnexbNALU(NALU_t* unit, u64* position) { return get_unit(unit, position, false); }

int GetAnnexbNALUAVC(NALU_t* unit, u64* position) { return get_unit(unit, position, true); }
