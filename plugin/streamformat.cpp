// The stream's chroma format and bit depth, read when the filter is created
// from the first sequence-level header, and the decoder's capability answer
// for them: a stream that the decoder cannot decode, or that is not 4:2:0,
// is refused by name when the clip is created instead of being served as
// garbage or as error frames.
#include <cstring>
#include <string>
#include <vector>

#include "cuvid_api.h"
#include "decoder.h"

namespace {

// Units looked at from the first group on for the sequence-level header:
// it stands among the group's first units.
constexpr int kProbeUnits = 64;

// MSB-first reader over a payload with emulation prevention removed; reads
// past the end give zeros and set `over`.
class Bits {
 public:
  Bits(const unsigned char* p, size_t n, bool unescape) {
    // An emulation prevention byte is a 3 after two zero bytes; the zeros
    // after it count afresh.
    int zeros = 0;
    for (size_t i = 0; i < n; ++i) {
      if (unescape && zeros >= 2 && p[i] == 3) {
        zeros = 0;
        continue;
      }
      zeros = p[i] == 0 ? zeros + 1 : 0;
      bytes_.push_back(p[i]);
    }
  }
  unsigned u(int n) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i) {
      unsigned bit = 0;
      if (pos_ / 8 < bytes_.size())
        bit = (bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
      else
        over = true;
      ++pos_;
      v = v << 1 | bit;
    }
    return v;
  }
  unsigned ue() {
    int zeros = 0;
    while (u(1) == 0) {
      if (over || ++zeros > 31) {
        over = true;
        return 0;
      }
    }
    return zeros ? (1u << zeros) - 1 + u(zeros) : 0;
  }
  void skip(int n) { pos_ += static_cast<size_t>(n); }
  bool over = false;

 private:
  std::vector<unsigned char> bytes_;
  size_t pos_ = 0;
};

bool HighAvcProfile(unsigned p) {
  for (unsigned q : {100u, 110u, 122u, 244u, 44u, 83u, 86u, 118u, 128u, 138u, 139u, 134u, 135u})
    if (p == q) return true;
  return false;
}

// The unit's bytes after its start code (or, for units stored without one,
// all of them); true with *chroma and *depth set when it is the codec's
// sequence-level header and can be read.
bool ReadFormat(int codec, const unsigned char* b, size_t n, int* chroma, int* depth) {
  if (codec == CODEC_AVC) {
    if (n < 4 || (b[0] & 0x1F) != 7) return false;
    Bits r(b + 1, n - 1, true);
    const unsigned profile = r.u(8);
    r.skip(16);  // constraint flags, level_idc
    r.ue();      // seq_parameter_set_id
    unsigned c = 1, d = 0;
    if (HighAvcProfile(profile)) {
      c = r.ue();
      if (c == 3) r.u(1);  // separate_colour_plane_flag
      d = r.ue();
    }
    if (r.over || c > 3 || d > 8) return false;
    *chroma = static_cast<int>(c);
    *depth = static_cast<int>(d) + 8;
    return true;
  }
  if (codec == CODEC_HEVC) {
    if (n < 4 || ((b[0] >> 1) & 63) != 33) return false;
    Bits r(b + 2, n - 2, true);
    r.u(4);  // sps_video_parameter_set_id
    const int sub_layers = static_cast<int>(r.u(3));
    r.u(1);
    r.skip(88 + 8);  // general profile and level
    bool profile_present[8] = {}, level_present[8] = {};
    for (int i = 0; i < sub_layers; ++i) {
      profile_present[i] = r.u(1) != 0;
      level_present[i] = r.u(1) != 0;
    }
    if (sub_layers > 0)
      for (int i = sub_layers; i < 8; ++i) r.u(2);
    for (int i = 0; i < sub_layers; ++i) {
      if (profile_present[i]) r.skip(88);
      if (level_present[i]) r.skip(8);
    }
    r.ue();  // sps_seq_parameter_set_id
    const unsigned c = r.ue();
    if (c == 3) r.u(1);
    r.ue();
    r.ue();  // picture size
    if (r.u(1))
      for (int i = 0; i < 4; ++i) r.ue();  // conformance window
    const unsigned d = r.ue();
    if (r.over || c > 3 || d > 8) return false;
    *chroma = static_cast<int>(c);
    *depth = static_cast<int>(d) + 8;
    return true;
  }
  if (codec == CODEC_MPEG2) {
    // Sequence extension: id 1, profile and level, progressive_sequence,
    // chroma_format.
    if (n < 3 || b[0] != 0xB5 || (b[1] >> 4) != 1) return false;
    const int c = (b[2] >> 1) & 3;
    if (c == 0) return false;
    *chroma = c;
    *depth = 8;
    return true;
  }
  return false;
}

const char* CodecName(int codec) {
  switch (codec) {
    case CODEC_AVC: return "H.264";
    case CODEC_HEVC: return "HEVC";
    case CODEC_MPEG2: return "MPEG-2";
    case CODEC_VC1: return "VC-1";
    default: return "video";
  }
}

const char* ChromaName(int chroma) {
  static const char* const kNames[] = {"4:0:0", "4:2:0", "4:2:2", "4:4:4"};
  return chroma >= 0 && chroma <= 3 ? kNames[chroma] : "unknown chroma format";
}

}  // namespace

void CAVCDecoder::ProbeStreamFormat() {
  stream_format = StreamFormat{};
  if (codec == CODEC_VC1) {
    // The advanced profile has one chroma format and one bit depth.
    stream_format.known = true;
    return;
  }
  int chroma = 1, depth = 8;
  auto look = [&](const unsigned char* b, size_t n) {
    if (stream_format.known || !ReadFormat(codec, b, n, &chroma, &depth)) return;
    stream_format.known = true;
    stream_format.chroma_format = chroma;
    stream_format.bit_depth = depth;
  };
  // A unit from a reader: its bytes after the 00 00 01.
  auto look_at_unit = [&]() {
    if (unit.len > 3) look(unit.buf + 3, unit.len - 3);
  };
  // Matroska: the track's configuration holds the sets, each behind 00 00 00 01.
  if (stream_type == CONTAINER_MKV) {
    const std::vector<unsigned char>& c = mkv_video.config;
    for (size_t p = 0; p + 4 <= c.size() && !stream_format.known;) {
      size_t q = p + 4;
      while (q + 4 <= c.size() && !(c[q] == 0 && c[q + 1] == 0 && c[q + 2] == 0 && c[q + 3] == 1)) ++q;
      if (q + 4 > c.size()) q = c.size();
      if (q > p + 4) look(c.data() + p + 4, q - p - 4);
      p = q;
    }
  }
  // The first SPS that the index lists, then the first group's units (MP4
  // groups begin with the configuration's sets; MPEG-2 groups with their
  // sequence header, or the one fed before them).
  if (!stream_format.known && (codec == CODEC_AVC || codec == CODEC_HEVC) && !sps_list.empty() &&
      stream_type != CONTAINER_MKV && stream_type != CONTAINER_MP4) {
    AlignStream(sps_list[0]);
    if ((this->*get_unit)() >= 1) look_at_unit();
  }
  if (!stream_format.known && !groups.empty()) {
    const GroupRecord& g = groups[0];
    AlignStream(codec == CODEC_MPEG2 && g.sequence_apart ? g.sequence_position : g.position);
    for (int k = 0; k < kProbeUnits && !stream_format.known && (this->*get_unit)() >= 1; ++k) look_at_unit();
  }
}

void CAVCDecoder::AskDecoderCaps() {
  caps_answered = false;
  if (!stream_format.known || !cuvid || !cu_context || !cuvid->cuvidGetDecoderCaps) return;
  nv::CUVIDDECODECAPS q = {};
  q.eCodecType = session.codec_type;
  q.eChromaFormat = static_cast<nv::cudaVideoChromaFormat>(stream_format.chroma_format);
  q.nBitDepthMinus8 = static_cast<unsigned>(stream_format.bit_depth - 8);
  if (cuvid->cuCtxPushCurrent(cu_context) != nv::CUDA_SUCCESS) return;
  const bool ok = cuvid->cuvidGetDecoderCaps(&q) == nv::CUDA_SUCCESS;
  nv::CUcontext popped = nullptr;
  cuvid->cuCtxPopCurrent(&popped);
  // A failed query tells nothing: decoding then goes on as without one.
  if (!ok) return;
  caps = q;
  caps_answered = true;
}

std::string CAVCDecoder::FormatRefusal() const {
  if (!stream_format.known) return std::string();
  const std::string format = std::string(CodecName(codec)) + " " + ChromaName(stream_format.chroma_format) + " " +
                             std::to_string(stream_format.bit_depth) + "-bit";
  if (caps_answered && !caps.bIsSupported) return "KWSource: " + format + " cannot be decoded by this GPU.";
  if (stream_format.chroma_format != 1)
    return "KWSource: " + format + " cannot be served: KWSource delivers 4:2:0 clips only.";
  if (caps_answered && width > 0 && height > 0) {
    const unsigned w = static_cast<unsigned>(width), h = static_cast<unsigned>(height);
    const unsigned long long mbs = 1ULL * ((w + 15) / 16) * ((h + 15) / 16);
    if (w > caps.nMaxWidth || h > caps.nMaxHeight || w < caps.nMinWidth || h < caps.nMinHeight ||
        (caps.nMaxMBCount && mbs > caps.nMaxMBCount))
      return "KWSource: " + format + " at " + std::to_string(w) + " x " + std::to_string(h) +
             " cannot be decoded by this GPU, which decodes " + std::to_string(caps.nMinWidth) + " x " +
             std::to_string(caps.nMinHeight) + " to " + std::to_string(caps.nMaxWidth) + " x " +
             std::to_string(caps.nMaxHeight) + " (" + std::to_string(caps.nMaxMBCount) + " macroblocks).";
  }
  return std::string();
}
