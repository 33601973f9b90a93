// CUVID decoder of the stand-in: a pool of decode surfaces, each holding the
// picture the parser last decoded into it, and a few output frames into which
// a surface is mapped, cropped, deinterlaced and resized to the target size as
// NV12 or P016.
//
// Invariants:
// - surfaces.size() == ulNumDecodeSurfaces; an entry is null until a picture
//   is decoded into it and is replaced by each later decode;
// - every output frame is registered as device memory while the decoder
//   lives, so cuMemcpyDtoH can read a mapped frame and nothing else;
// - an output frame is handed out by at most one map until its unmap.

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "standin.h"

namespace standin {

Picture::~Picture() { av_frame_free(&frame); }

namespace {

// Largest coded size a decoder is created for.
const unsigned long kMaxCoded = 8192;
// Most surfaces and output frames a decoder holds.
const unsigned long kMaxSurfaces = 64;
const unsigned long kMaxOutputs = 8;

struct OutputFrame {
  std::vector<uint8_t> bytes;
  bool mapped = false;
};

struct Decoder {
  nv::CUVIDDECODECREATEINFO info;
  int left, top, width, height;  // source rectangle in coded samples
  int bytes_per_sample;          // of the output format
  unsigned int pitch;            // of every output frame
  std::mutex mutex;              // guards surfaces and outputs
  std::vector<PicturePtr> surfaces;
  std::vector<OutputFrame> outputs;
};

std::mutex g_decoders_mutex;
std::set<const void*>& live_decoders() {
  static std::set<const void*> s;
  return s;
}

Decoder* find(nv::CUvideodecoder handle) {
  std::lock_guard<std::mutex> g(g_decoders_mutex);
  return live_decoders().count(handle) ? static_cast<Decoder*>(handle) : nullptr;
}

// One plane of a decoded frame, read with clamping at its edges: a coded
// surface larger than the decoded frame repeats the frame's last row/column.
struct Plane {
  const uint8_t* data;
  int linesize;
  int width;
  int height;
  int bytes;  // 1 or 2 per sample
  int sample(int x, int y) const {
    if (x < 0) x = 0;
    if (x >= width) x = width - 1;
    if (y < 0) y = 0;
    if (y >= height) y = height - 1;
    const uint8_t* p = data + static_cast<ptrdiff_t>(y) * linesize;
    if (bytes == 1) return p[x];
    uint16_t v;
    std::memcpy(&v, p + 2 * x, 2);
    return v;
  }
};

// Bilinear resampling of the source rectangle (x0, y0, w × h) of one plane
// to dw × dh samples; with `field` 0 or 1 only the rows of that field
// (y0 + field, y0 + field + 2, ...) are the source, which makes a bob
// deinterlacer.  Equal sizes copy exactly.  `put(x, y, value)` stores.
template <typename Put>
void resample(const Plane& src, int x0, int y0, int w, int h, int field, int dw, int dh, Put put) {
  int rows = field < 0 ? h : (h + 1 - field) / 2;
  if (rows < 1) rows = 1;
  auto row_of = [&](int r) { return field < 0 ? y0 + r : y0 + field + 2 * r; };
  if (rows == dh && w == dw) {  // unscaled: the weights below would all be 0
    for (int y = 0; y < dh; y++)
      for (int x = 0; x < dw; x++) put(x, y, src.sample(x0 + x, row_of(y)));
    return;
  }
  for (int y = 0; y < dh; y++) {
    // Source position of the output sample's centre, 16.16 fixed point.
    int64_t fy = ((2 * static_cast<int64_t>(y) + 1) * rows * 65536) / (2 * dh) - 32768;
    if (fy < 0) fy = 0;
    int ry = static_cast<int>(fy >> 16);
    int wy = static_cast<int>(fy & 0xFFFF);
    int ry1 = ry + 1 < rows ? ry + 1 : rows - 1;
    for (int x = 0; x < dw; x++) {
      int64_t fx = ((2 * static_cast<int64_t>(x) + 1) * w * 65536) / (2 * dw) - 32768;
      if (fx < 0) fx = 0;
      int rx = static_cast<int>(fx >> 16);
      int wx = static_cast<int>(fx & 0xFFFF);
      int rx1 = rx + 1 < w ? rx + 1 : w - 1;
      int64_t a = src.sample(x0 + rx, row_of(ry)), b = src.sample(x0 + rx1, row_of(ry));
      int64_t c = src.sample(x0 + rx, row_of(ry1)), d = src.sample(x0 + rx1, row_of(ry1));
      int64_t top = a * (65536 - wx) + b * wx;
      int64_t bottom = c * (65536 - wx) + d * wx;
      int64_t v = (top * (65536 - wy) + bottom * wy + (int64_t(1) << 31)) >> 32;
      put(x, y, static_cast<int>(v));
    }
  }
}

// Bit depth of a planar 4:2:0 format libavcodec outputs, 0 when unsupported.
int depth_of(const AVFrame* f) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
  if (!d || d->nb_components != 3 || d->log2_chroma_w != 1 || d->log2_chroma_h != 1) return 0;
  if ((d->flags & (AV_PIX_FMT_FLAG_PLANAR | AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_RGB)) != AV_PIX_FMT_FLAG_PLANAR)
    return 0;
  int depth = d->comp[0].depth;
  if (depth < 8 || depth > 16) return 0;
  if (depth > 8 && d->comp[0].step != 2) return 0;
  return depth;
}

void render(const Decoder& dec, const AVFrame* f, int depth, const nv::CUVIDPROCPARAMS& proc, uint8_t* out) {
  const int in_bytes = depth > 8 ? 2 : 1;
  const int ob = dec.bytes_per_sample;
  // Output samples: 8 bits, or 16 bits with the value in the high bits.
  auto convert = [&](int v) {
    if (ob == 1) return depth > 8 ? v >> (depth - 8) : v;
    return v << (16 - depth);
  };
  auto store = [&](uint8_t* p, int v) {
    if (ob == 1) {
      *p = static_cast<uint8_t>(v);
    } else {
      uint16_t s = static_cast<uint16_t>(v);
      std::memcpy(p, &s, 2);
    }
  };
  int field = -1;
  if (dec.info.DeinterlaceMode != nv::cudaVideoDeinterlaceMode_Weave && !proc.progressive_frame) {
    // The first field in time is the top one when top_field_first is set.
    bool top = (proc.top_field_first != 0) != (proc.second_field != 0);
    field = top ? 0 : 1;
  }
  const int dw = static_cast<int>(dec.info.ulTargetWidth), dh = static_cast<int>(dec.info.ulTargetHeight);
  Plane luma{f->data[0], f->linesize[0], f->width, f->height, in_bytes};
  resample(luma, dec.left, dec.top, dec.width, dec.height, field, dw, dh, [&](int x, int y, int v) {
    store(out + static_cast<size_t>(y) * dec.pitch + static_cast<size_t>(x) * ob, convert(v));
  });
  uint8_t* chroma = out + static_cast<size_t>(dec.pitch) * dh;
  const int cw = (f->width + 1) / 2, ch = (f->height + 1) / 2;
  for (int c = 0; c < 2; c++) {
    Plane p{f->data[1 + c], f->linesize[1 + c], cw, ch, in_bytes};
    resample(p, dec.left / 2, dec.top / 2, (dec.width + 1) / 2, (dec.height + 1) / 2, field, (dw + 1) / 2,
             (dh + 1) / 2, [&](int x, int y, int v) {
               store(chroma + static_cast<size_t>(y) * dec.pitch + static_cast<size_t>(2 * x + c) * ob, convert(v));
             });
  }
}

}  // namespace

nv::CUresult create_decoder(nv::CUvideodecoder* handle, nv::CUVIDDECODECREATEINFO* info) {
  if (!handle || !info) return nv::CUDA_ERROR_INVALID_VALUE;
  if (!cuda_initialised()) return nv::CUDA_ERROR_NOT_INITIALIZED;
  // The driver needs a context: the current one, or the one behind vidLock.
  if (!info->vidLock && !context_current()) return nv::CUDA_ERROR_INVALID_CONTEXT;
  const nv::CUVIDDECODECREATEINFO& i = *info;
  switch (i.CodecType) {
    case nv::cudaVideoCodec_MPEG1: case nv::cudaVideoCodec_MPEG2: case nv::cudaVideoCodec_VC1:
    case nv::cudaVideoCodec_H264: case nv::cudaVideoCodec_HEVC:
      break;
    default:
      return nv::CUDA_ERROR_NOT_SUPPORTED;
  }
  if (i.ChromaFormat != nv::cudaVideoChromaFormat_420) return nv::CUDA_ERROR_NOT_SUPPORTED;
  if (i.bitDepthMinus8 > 8) return nv::CUDA_ERROR_NOT_SUPPORTED;
  if (!format_decodable(i.CodecType, i.ChromaFormat, i.bitDepthMinus8)) return nv::CUDA_ERROR_NOT_SUPPORTED;
  if (i.OutputFormat != nv::cudaVideoSurfaceFormat_NV12 && i.OutputFormat != nv::cudaVideoSurfaceFormat_P016)
    return nv::CUDA_ERROR_NOT_SUPPORTED;
  if (i.DeinterlaceMode < nv::cudaVideoDeinterlaceMode_Weave || i.DeinterlaceMode > nv::cudaVideoDeinterlaceMode_Adaptive)
    return nv::CUDA_ERROR_INVALID_VALUE;
  if (i.ulWidth == 0 || i.ulHeight == 0 || i.ulWidth > kMaxCoded || i.ulHeight > kMaxCoded)
    return nv::CUDA_ERROR_INVALID_VALUE;
  if (i.ulNumDecodeSurfaces == 0 || i.ulNumDecodeSurfaces > kMaxSurfaces) return nv::CUDA_ERROR_INVALID_VALUE;
  if (i.ulNumOutputSurfaces == 0 || i.ulNumOutputSurfaces > kMaxOutputs) return nv::CUDA_ERROR_INVALID_VALUE;
  if (i.ulTargetWidth == 0 || i.ulTargetHeight == 0 || i.ulTargetWidth > kMaxCoded || i.ulTargetHeight > kMaxCoded)
    return nv::CUDA_ERROR_INVALID_VALUE;
  int left = i.display_area.left, top = i.display_area.top;
  int right = i.display_area.right, bottom = i.display_area.bottom;
  if (left == 0 && top == 0 && right == 0 && bottom == 0) {
    right = static_cast<int>(i.ulWidth);
    bottom = static_cast<int>(i.ulHeight);
  }
  if (left < 0 || top < 0 || right <= left || bottom <= top || right > static_cast<int>(i.ulWidth) ||
      bottom > static_cast<int>(i.ulHeight))
    return nv::CUDA_ERROR_INVALID_VALUE;

  auto* d = new Decoder;
  d->info = i;
  d->left = left;
  d->top = top;
  d->width = right - left;
  d->height = bottom - top;
  d->bytes_per_sample = i.OutputFormat == nv::cudaVideoSurfaceFormat_P016 ? 2 : 1;
  // Rows start 256-byte aligned, as the hardware's do.
  d->pitch = static_cast<unsigned int>((i.ulTargetWidth * d->bytes_per_sample + 255) & ~255ul);
  size_t frame_bytes = static_cast<size_t>(d->pitch) * (i.ulTargetHeight + (i.ulTargetHeight + 1) / 2);
  try {
    d->surfaces.resize(i.ulNumDecodeSurfaces);
    d->outputs.resize(i.ulNumOutputSurfaces);
    for (OutputFrame& o : d->outputs) {
      o.bytes.resize(frame_bytes);
      register_device_range(o.bytes.data(), o.bytes.size());
    }
    std::lock_guard<std::mutex> g(g_decoders_mutex);
    live_decoders().insert(d);
  } catch (...) {
    for (OutputFrame& o : d->outputs)
      if (!o.bytes.empty()) unregister_device_range(o.bytes.data());
    delete d;
    return nv::CUDA_ERROR_OUT_OF_MEMORY;
  }
  *handle = d;
  return nv::CUDA_SUCCESS;
}

nv::CUresult destroy_decoder(nv::CUvideodecoder handle) {
  {
    std::lock_guard<std::mutex> g(g_decoders_mutex);
    if (!live_decoders().erase(handle)) return nv::CUDA_ERROR_INVALID_HANDLE;
  }
  auto* d = static_cast<Decoder*>(handle);
  for (OutputFrame& o : d->outputs) unregister_device_range(o.bytes.data());
  delete d;
  return nv::CUDA_SUCCESS;
}

nv::CUresult decode_picture(nv::CUvideodecoder handle, nv::CUVIDPICPARAMS* params) {
  Decoder* d = find(handle);
  if (!d) return nv::CUDA_ERROR_INVALID_HANDLE;
  if (!params) return nv::CUDA_ERROR_INVALID_VALUE;
  // Only parameters from a decode callback running on this thread name a
  // picture the stand-in has samples for.
  const PendingDecode* p = t_pending_decode;
  if (!p || (params != p->params && std::memcmp(params, p->params, sizeof *params) != 0))
    return nv::CUDA_ERROR_INVALID_VALUE;
  int index = params->CurrPicIdx;
  std::lock_guard<std::mutex> g(d->mutex);
  if (index < 0 || static_cast<size_t>(index) >= d->surfaces.size()) return nv::CUDA_ERROR_INVALID_VALUE;
  const PictureFormat& f = p->picture->format;
  // A decoder made for another stream format cannot decode this picture.
  if (f.codec != d->info.CodecType || f.chroma_format != d->info.ChromaFormat ||
      static_cast<unsigned long>(f.bit_depth - 8) != d->info.bitDepthMinus8 ||
      static_cast<unsigned long>(f.coded_width) > d->info.ulWidth ||
      static_cast<unsigned long>(f.coded_height) > d->info.ulHeight)
    return nv::CUDA_ERROR_INVALID_VALUE;
  d->surfaces[static_cast<size_t>(index)] = p->picture;
  return nv::CUDA_SUCCESS;
}

nv::CUresult map_frame(nv::CUvideodecoder handle, int index, unsigned long long* device, unsigned int* pitch,
                       nv::CUVIDPROCPARAMS* processing) {
  Decoder* d = find(handle);
  if (!d) return nv::CUDA_ERROR_INVALID_HANDLE;
  if (!device || !pitch || !processing) return nv::CUDA_ERROR_INVALID_VALUE;
  std::lock_guard<std::mutex> g(d->mutex);
  if (index < 0 || static_cast<size_t>(index) >= d->surfaces.size()) return nv::CUDA_ERROR_INVALID_VALUE;
  const PicturePtr& pic = d->surfaces[static_cast<size_t>(index)];
  if (!pic || !pic->frame) return nv::CUDA_ERROR_INVALID_VALUE;
  int depth = depth_of(pic->frame);
  if (depth == 0) return nv::CUDA_ERROR_NOT_SUPPORTED;
  OutputFrame* out = nullptr;
  for (OutputFrame& o : d->outputs)
    if (!o.mapped) {
      out = &o;
      break;
    }
  if (!out) return nv::CUDA_ERROR_MAP_FAILED;
  render(*d, pic->frame, depth, *processing, out->bytes.data());
  out->mapped = true;
  *device = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(out->bytes.data()));
  *pitch = d->pitch;
  return nv::CUDA_SUCCESS;
}

nv::CUresult unmap_frame(nv::CUvideodecoder handle, unsigned long long device) {
  Decoder* d = find(handle);
  if (!d) return nv::CUDA_ERROR_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(d->mutex);
  for (OutputFrame& o : d->outputs)
    if (o.mapped && reinterpret_cast<uintptr_t>(o.bytes.data()) == device) {
      o.mapped = false;
      return nv::CUDA_SUCCESS;
    }
  return nv::CUDA_ERROR_INVALID_VALUE;
}

}  // namespace standin
