#include "mp4video.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// One box header of the walk: its type, the position after the header and
// the position of its end.
struct Box {
  uint32_t type = 0;
  uint64_t data = 0, end = 0;
};

constexpr uint32_t fourcc(const char* s) {
  return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 | uint8_t(s[3]);
}

// Reads boxes from the current position up to end and stops at the first
// whose type is one of the wanted, positioned after its header. False at the
// end, or at a size that cannot be (below its header, or 0: the rest of the
// file, which holds no further box to pass over).
bool search(FILE* fp, uint64_t end, std::initializer_list<uint32_t> wanted, Box* found) {
  for (;;) {
    const off_t at = ftello(fp);
    if (at < 0 || uint64_t(at) + 8 > end) return false;
    uint8_t h[16];
    if (fread(h, 1, 8, fp) != 8) return false;
    uint64_t size = uint64_t(h[0]) << 24 | uint64_t(h[1]) << 16 | uint64_t(h[2]) << 8 | h[3];
    const uint32_t type = uint32_t(h[4]) << 24 | uint32_t(h[5]) << 16 | uint32_t(h[6]) << 8 | h[7];
    uint64_t header = 8;
    if (size == 1) {
      if (fread(h + 8, 1, 8, fp) != 8) return false;
      size = 0;
      for (int i = 8; i < 16; ++i) size = size << 8 | h[i];
      header = 16;
    }
    if (size < header || size > end - uint64_t(at)) return false;
    for (uint32_t w : wanted)
      if (type == w) {
        *found = Box{type, uint64_t(at) + header, uint64_t(at) + size};
        return true;
      }
    if (fseeko(fp, off_t(uint64_t(at) + size), SEEK_SET) != 0) return false;
  }
}

bool seek_to(FILE* fp, uint64_t pos) { return fseeko(fp, off_t(pos), SEEK_SET) == 0; }

bool skip(FILE* fp, long n) { return fseeko(fp, n, SEEK_CUR) == 0; }

}  // namespace

int Mp4VideoCodecOf(const char* name, uint8_t object_type, bool dvh1_is_hevc) {
  if (!name) return MP4_VIDEO_NONE;
  if (!strcmp(name, "avc1")) return MP4_VIDEO_AVC;
  if (!strcmp(name, "mp4v")) return object_type >= 0x60 && object_type <= 0x65 ? MP4_VIDEO_MPEG2 : MP4_VIDEO_NONE;
  if (!strcmp(name, "vc-1")) return MP4_VIDEO_VC1;
  if (!strcmp(name, "hvc1") || !strcmp(name, "hev1") || (dvh1_is_hevc && !strcmp(name, "dvh1"))) return MP4_VIDEO_HEVC;
  return MP4_VIDEO_NONE;
}

int fetch_hvcC_atom(const char* path, uint8_t* hvcC, size_t* size) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(path, "rb"), fclose);
  if (!f) return 1;
  FILE* fp = f.get();
  if (fseeko(fp, 0, SEEK_END) != 0) return 1;
  const off_t length = ftello(fp);
  if (length < 0 || !seek_to(fp, 0)) return 1;
  Box moov, trak, box;
  if (!search(fp, uint64_t(length), {fourcc("moov")}, &moov)) return 1;
  // The first track whose handler is "vide" and whose sample descriptions
  // hold an hvc1 or hev1 entry.
  for (uint64_t next = moov.data;; next = trak.end) {
    if (!seek_to(fp, next) || !search(fp, moov.end, {fourcc("trak")}, &trak)) return 1;
    Box mdia, hdlr;
    if (!search(fp, trak.end, {fourcc("mdia")}, &mdia)) continue;
    if (!search(fp, mdia.end, {fourcc("hdlr")}, &hdlr) || hdlr.end - hdlr.data < 12) continue;
    uint8_t handler[12];
    if (fread(handler, 1, 12, fp) != 12) return 1;
    if (memcmp(handler + 8, "vide", 4) != 0) continue;
    // minf.stbl.stsd, then the first hvc1 or hev1 entry and its hvcC.
    Box minf, stbl, stsd, entry, config;
    if (!seek_to(fp, hdlr.end) || !search(fp, mdia.end, {fourcc("minf")}, &minf) ||
        !search(fp, minf.end, {fourcc("stbl")}, &stbl) || !search(fp, stbl.end, {fourcc("stsd")}, &stsd) ||
        !skip(fp, 8))
      return 1;
    // A video track of another coding may come before the HEVC one.
    if (!search(fp, stsd.end, {fourcc("hvc1"), fourcc("hev1")}, &entry)) continue;
    if (!skip(fp, 78) || !search(fp, entry.end, {fourcc("hvcC")}, &config)) return 1;
    // The record is the box's body, cut to HVCC_MAX bytes.
    const size_t n = size_t(std::min<uint64_t>(config.end - config.data, HVCC_MAX));
    if (fread(hvcC, 1, n, fp) != n) return 1;
    *size = n;
    return 0;
  }
}

uint32_t read_code(int n, const uint8_t* buf, size_t size, uint32_t* bitpos) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i, ++*bitpos) {
    const size_t byte = *bitpos / 8;
    const uint32_t bit = byte < size ? (buf[byte] >> (7 - *bitpos % 8)) & 1 : 0;
    v = v << 1 | bit;
  }
  return v;
}

unsigned HvccLengthSize(const uint8_t* hvcC, size_t size) {
  uint32_t pos = 174;  // lengthSizeMinusOne
  return size >= 23 ? read_code(2, hvcC, size, &pos) + 1 : 4;
}

std::vector<uint8_t> HvccParameterSets(const uint8_t* hvcC, size_t size) {
  std::vector<uint8_t> out;
  if (size < 23) return out;
  uint32_t pos = 176;  // numOfArrays
  const uint32_t arrays = read_code(8, hvcC, size, &pos);
  for (uint32_t a = 0; a < arrays; ++a) {
    if (pos / 8 + 3 > size) break;
    const uint32_t type = read_code(8, hvcC, size, &pos) & 63;
    const uint32_t count = read_code(16, hvcC, size, &pos);
    for (uint32_t u = 0; u < count; ++u) {
      if (pos / 8 + 2 > size) return out;
      const uint32_t len = read_code(16, hvcC, size, &pos);
      const size_t at = pos / 8;
      if (len > size - at) return out;
      if (type >= 32 && type <= 34) {
        static const uint8_t start[] = {0, 0, 0, 1};
        out.insert(out.end(), start, start + 4);
        out.insert(out.end(), hvcC + at, hvcC + at + len);
      }
      pos += len * 8;
    }
  }
  return out;
}

std::vector<uint8_t> TakeAvcParameterSets(uint8_t** sps, uint32_t* sps_size, uint8_t** pps, uint32_t* pps_size) {
  static const uint8_t start[] = {0, 0, 0, 1};
  std::vector<uint8_t> sets;
  for (auto [list, sizes] : {std::pair{sps, sps_size}, std::pair{pps, pps_size}}) {
    for (size_t i = 0; list && sizes && sizes[i]; ++i) {
      sets.insert(sets.end(), start, start + 4);
      sets.insert(sets.end(), list[i], list[i] + sizes[i]);
      free(list[i]);
    }
    free(list);
    free(sizes);
  }
  return sets;
}

long Mp4SampleToStartCodes(int codec, unsigned length_size, const uint8_t* sample, size_t n, bool first_start_code,
                           uint8_t* out, size_t cap) {
  static const uint8_t start4[] = {0, 0, 0, 1};
  size_t w = 0;
  auto put = [&](const uint8_t* p, size_t len) {
    if (len == 0) return true;
    if (len > cap - w) return false;
    memcpy(out + w, p, len);
    w += len;
    return true;
  };
  if (codec != MP4_VIDEO_AVC && codec != MP4_VIDEO_HEVC) return put(sample, n) ? long(w) : -1;
  bool first = true;
  for (size_t p = 0; n - p >= length_size + 1;) {
    uint64_t len = 0;
    for (unsigned i = 0; i < length_size; ++i) len = len << 8 | sample[p + i];
    p += length_size;
    if (len > n - p) break;
    const bool four = first && first_start_code;
    if (!(first && !first_start_code) && !put(four ? start4 : start4 + 1, four ? 4 : 3)) return -1;
    if (!put(sample + p, size_t(len))) return -1;
    p += size_t(len);
    first = false;
  }
  return long(w);
}
