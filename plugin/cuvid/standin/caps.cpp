// cuvidGetDecoderCaps of the CPU stand-in: it answers as the decoder engine
// of one GPU generation does (README.md names it and lists the answers), so
// that what the plugin refuses or serves is what it would on that GPU.
#include <cstring>

#include "standin.h"

namespace standin {
namespace {

struct Limits {
  nv::cudaVideoCodec codec;
  nv::cudaVideoChromaFormat chroma;
  unsigned max_bit_depth_minus8;
  unsigned max_width, max_height, max_mbs;
  unsigned short min_width, min_height;
};

// One row per codec and chroma format that decodes; everything else is
// answered as not supported.
constexpr Limits kLimits[] = {
    {nv::cudaVideoCodec_MPEG1, nv::cudaVideoChromaFormat_420, 0, 4080, 4080, 65280, 48, 16},
    {nv::cudaVideoCodec_MPEG2, nv::cudaVideoChromaFormat_420, 0, 4080, 4080, 65280, 48, 16},
    {nv::cudaVideoCodec_VC1, nv::cudaVideoChromaFormat_420, 0, 2048, 2048, 8192, 48, 16},
    {nv::cudaVideoCodec_H264, nv::cudaVideoChromaFormat_420, 0, 4096, 4096, 65536, 48, 16},
    {nv::cudaVideoCodec_HEVC, nv::cudaVideoChromaFormat_420, 4, 8192, 8192, 262144, 48, 16},
    {nv::cudaVideoCodec_HEVC, nv::cudaVideoChromaFormat_444, 4, 8192, 8192, 262144, 48, 16},
};

const Limits* find(nv::cudaVideoCodec codec, nv::cudaVideoChromaFormat chroma, unsigned depth_minus8) {
  for (const Limits& l : kLimits)
    if (l.codec == codec && l.chroma == chroma && depth_minus8 <= l.max_bit_depth_minus8) return &l;
  return nullptr;
}

}  // namespace

nv::CUresult decoder_caps(nv::CUVIDDECODECAPS* caps) {
  if (!caps) return nv::CUDA_ERROR_INVALID_VALUE;
  if (!cuda_initialised()) return nv::CUDA_ERROR_NOT_INITIALIZED;
  if (!context_current()) return nv::CUDA_ERROR_INVALID_CONTEXT;
  const nv::cudaVideoCodec codec = caps->eCodecType;
  const nv::cudaVideoChromaFormat chroma = caps->eChromaFormat;
  const unsigned depth = caps->nBitDepthMinus8;
  const nv::CUVIDDECODECAPS in = *caps;
  memset(caps, 0, sizeof *caps);
  caps->eCodecType = in.eCodecType;
  caps->eChromaFormat = in.eChromaFormat;
  caps->nBitDepthMinus8 = in.nBitDepthMinus8;
  caps->nNumNVDECs = 1;
  const Limits* l = find(codec, chroma, depth);
  if (!l) return nv::CUDA_SUCCESS;
  caps->bIsSupported = 1;
  // NV12 for 8-bit pictures, P016 for deeper ones; 4:4:4 has other
  // surface formats, which this stand-in does not offer.
  caps->nOutputFormatMask =
      chroma != nv::cudaVideoChromaFormat_420 ? 0 : depth == 0 ? 1u << nv::cudaVideoSurfaceFormat_NV12 : 1u << nv::cudaVideoSurfaceFormat_P016;
  caps->nMaxWidth = l->max_width;
  caps->nMaxHeight = l->max_height;
  caps->nMaxMBCount = l->max_mbs;
  caps->nMinWidth = l->min_width;
  caps->nMinHeight = l->min_height;
  return nv::CUDA_SUCCESS;
}

bool format_decodable(nv::cudaVideoCodec codec, nv::cudaVideoChromaFormat chroma, unsigned long bit_depth_minus8) {
  return bit_depth_minus8 <= 8 && find(codec, chroma, static_cast<unsigned>(bit_depth_minus8)) != nullptr;
}

}  // namespace standin
