// Fuzz entry of what the Matroska and MP4 inputs of both programs share:
// the codec configurations read from a track (avcC and hvcC records, the
// VC-1 configuration), frames and samples turned into start-code units with
// every length size, and the programs' own walk of an MP4 file's boxes down
// to the HEVC configuration. The input is the configuration and the frame
// at once. Invariants beyond the sanitizers: nothing is written past the
// output, and every output fits in its bound.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MatroskaVideo.h"
#include "mp4video.h"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "timed inputs fuzz: broken invariant: %s\n", what);
  abort();
}

// Output just large enough for any result (four bytes of start code per
// input byte at most, plus a configuration), with a guard zone the sanitizer
// watches.
void convert_frame(const MkvVideoTrack& v, const uint8_t* data, size_t size) {
  for (size_t cap : {size_t(0), size / 2, 4 * size + v.config.size() + 8}) {
    std::vector<uint8_t> out(cap);
    for (bool key : {false, true}) {
      const long n = MkvFrameToStartCodes(v, data, size, key, out.data(), out.size());
      check(n <= long(cap), "Matroska frame written past its output");
    }
  }
  if ((v.codec == MKV_VIDEO_AVC || v.codec == MKV_VIDEO_HEVC) && v.length_size == 4) {
    std::vector<uint8_t> copied(size + 8), in_place(data, data + size);
    const long n = MkvFrameToStartCodes(v, data, size, false, copied.data(), copied.size());
    in_place.resize(MkvLengthPrefixesToStartCodes(in_place.data(), in_place.size()));
    copied.resize(n < 0 ? 0 : size_t(n));
    check(n >= 0 && in_place == copied, "Matroska frame in place differs from its copy");
  }
  size_t units = 0;
  MkvForEachUnit(v, data, size, [&](const uint8_t* unit, size_t len) {
    check(unit >= data && unit + len <= data + size, "unit outside its frame");
    ++units;
  });
  check(units <= size, "more units than bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Matroska: the input as CodecPrivate of each codec, then as a frame.
  static const char* codecs[] = {"V_MPEG4/ISO/AVC", "V_MPEGH/ISO/HEVC", "V_MPEG2", "V_VC1", "V_MS/VFW/FOURCC"};
  for (const char* id : codecs) {
    TrackInfo t{};
    t.Type = MKV_TRACK_VIDEO;
    t.CodecID = const_cast<char*>(id);
    t.CodecPrivate = size ? const_cast<uint8_t*>(data) : nullptr;
    t.CodecPrivateSize = unsigned(size);
    MkvVideoTrack v;
    if (MkvSetUpVideoTrack(&t, &v)) continue;
    check(v.config.size() <= 2 * size + 64, "configuration larger than its record allows");
    convert_frame(v, data, size);
  }

  // MP4: the input as hvcC record, and as a sample of each length size.
  check(HvccParameterSets(data, size).size() <= 2 * size, "parameter sets larger than their record allows");
  const unsigned length_size = HvccLengthSize(data, size);
  check(length_size >= 1 && length_size <= 4, "length size out of its field");
  uint32_t pos = 0;
  read_code(32, data, size, &pos);
  for (unsigned ls : {1u, 2u, 4u})
    for (int codec : {MP4_VIDEO_AVC, MP4_VIDEO_MPEG2}) {
      std::vector<uint8_t> out(4 * size + 8);
      const long n = Mp4SampleToStartCodes(codec, ls, data, size, ls == 4, out.data(), out.size());
      check(n <= long(out.size()), "MP4 sample written past its output");
    }

  // The box walk reads a file: the input as one, in memory-backed storage.
  static const std::string path = "/dev/shm/timed-inputs-fuzz-" + std::to_string(getpid()) + ".mp4";
  if (FILE* f = fopen(path.c_str(), "wb")) {
    if (size) fwrite(data, 1, size, f);
    fclose(f);
    uint8_t hvcC[HVCC_MAX];
    size_t got = 0;
    if (fetch_hvcC_atom(path.c_str(), hvcC, &got) == 0) check(got <= HVCC_MAX, "hvcC copy larger than its buffer");
    unlink(path.c_str());
  }
  return 0;
}
