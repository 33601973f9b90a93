// Internal interface between the parts of the CPU stand-in for CUDA and
// CUVID: the CUDA side (contexts, memory, locks), the parser and the decoder.
// See README.md beside this file for the behaviour the plugin relies on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "../nvdec_types.h"

struct AVFrame;

namespace standin {

// Format of a decoded picture as the parser reported it: the decoder a
// picture is decoded with must have been created for this format.
struct PictureFormat {
  nv::cudaVideoCodec codec = nv::cudaVideoCodec_MPEG2;
  int coded_width = 0;
  int coded_height = 0;
  int chroma_format = 1;
  int bit_depth = 8;
};

// One picture on its way from the parser to a decoder surface.  The parser
// creates it at the decode callback; its samples arrive when libavcodec
// outputs it (always before its display callback).  Shared, because the
// parser and the surface it lands in may be destroyed in either order.
struct Picture {
  PictureFormat format;
  AVFrame* frame = nullptr;  // decoded samples, null until output
  Picture() = default;
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;
  ~Picture();
};
using PicturePtr = std::shared_ptr<Picture>;

// The picture behind the parameters the parser is handing to the decode
// callback on this thread, so that cuvidDecodePicture called from inside
// that callback knows which samples the surface receives.  Null outside a
// decode callback.
struct PendingDecode {
  const nv::CUVIDPICPARAMS* params;
  PicturePtr picture;
};
// The stand-in's thread-locals sit in the static TLS block (initial-exec):
// the library is loaded at run time, and the leak checker misreads the
// bounds of dynamic TLS blocks that the C library places at a page's 16th
// byte, then scans an address near 0 and dies at exit.
extern thread_local const PendingDecode* t_pending_decode __attribute__((tls_model("initial-exec")));

// ---- CUDA side (cuda.cpp) ----
bool cuda_initialised();
bool context_current();
// Device memory is host memory; these ranges are what cuMemcpyDtoH may read.
void register_device_range(const void* base, size_t size);
void unregister_device_range(const void* base);

// ---- CUVID calls (parser.cpp, decoder.cpp) ----
nv::CUresult create_parser(nv::CUvideoparser* parser, nv::CUVIDPARSERPARAMS* params);
nv::CUresult parse_data(nv::CUvideoparser parser, nv::CUVIDSOURCEDATAPACKET* packet);
nv::CUresult destroy_parser(nv::CUvideoparser parser);
nv::CUresult create_decoder(nv::CUvideodecoder* decoder, nv::CUVIDDECODECREATEINFO* info);
nv::CUresult destroy_decoder(nv::CUvideodecoder decoder);
nv::CUresult decode_picture(nv::CUvideodecoder decoder, nv::CUVIDPICPARAMS* params);
nv::CUresult map_frame(nv::CUvideodecoder decoder, int index, unsigned long long* device,
                       unsigned int* pitch, nv::CUVIDPROCPARAMS* processing);
nv::CUresult unmap_frame(nv::CUvideodecoder decoder, unsigned long long device);
nv::CUresult decoder_caps(nv::CUVIDDECODECAPS* caps);  // caps.cpp
// False when the capability answer rules the format out: decoder creation
// refuses it as the stated GPU does.
bool format_decodable(nv::cudaVideoCodec codec, nv::cudaVideoChromaFormat chroma, unsigned long bit_depth_minus8);

}  // namespace standin
