// Pemmick's index reader. The first byte chooses the options that change
// what the reader builds (fieldop 0-2, deinterlace 0-2, strict_avc); the
// rest is the index file, read from memory, whose third character chooses
// the reader as KWSource does. An index lists input files that must exist
// to be read on: the seeds list kInput, which the entry makes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "decoder.h"

namespace {

const char* const kInput = "/tmp/pemmick-fuzz-input.bin";
constexpr size_t kInputSize = 65536;

// Made once per process; written aside and renamed, so that processes
// running side by side never see a short file.
void make_input() {
  static const bool made = [] {
    struct stat st;
    if (stat(kInput, &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) == kInputSize) return true;
    const std::string aside = std::string(kInput) + "." + std::to_string(getpid());
    FILE* f = fopen(aside.c_str(), "wb");
    if (!f) return false;
    const std::vector<unsigned char> bytes(kInputSize, 0);
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok && rename(aside.c_str(), kInput) == 0;
  }();
  (void)made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  make_input();
  CAVCDecoder d;
  d.fieldop = data[0] % 3;
  d.deinterlace = data[0] / 3 % 3;
  d.strict_avc = data[0] / 9 % 2;
  d.index_text = reinterpret_cast<const char*>(data + 1);
  d.index_text_size = size - 1;
  int (CAVCDecoder::*reader)(const char*) = nullptr;
  switch (size > 3 ? data[3] : 0) {
    case 'A': d.codec = CODEC_AVC; reader = &CAVCDecoder::Open; break;
    case 'V': d.codec = CODEC_VC1; reader = &CAVCDecoder::OpenVC1; break;
    case 'M': d.codec = CODEC_MPEG2; reader = &CAVCDecoder::OpenMPG; break;
    case 'H': d.codec = CODEC_HEVC; reader = &CAVCDecoder::OpenHEVC; break;
    default: return 0;
  }
  // An index that reads is followed, as KWSource follows it, by the look
  // at the stream's first sequence-level header through the stream readers.
  if ((d.*reader)("<fuzz index>") != 0) return 0;
  d.get_unit = d.codec == CODEC_AVC || d.codec == CODEC_HEVC ? &CAVCDecoder::GetAVCNALU : &CAVCDecoder::GetVC1NALU;
  d.ProbeStreamFormat();
  (void)d.FormatRefusal();
  return 0;
}
