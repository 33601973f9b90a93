// The one interface through which Pemmick reaches CUDA and CUVID: a table of
// the calls it uses.  Two libraries provide `cuvid_api`:
// - cuvid_loader: opens libcuda.so.1 and libnvcuvid.so.1 at run time and
//   fills the table with their entry points (the shipped plugin);
// - cuvid_standin: a CPU implementation on libavcodec, for tests only.
// The plugin links exactly one of them; nothing else differs.
#pragma once

#include <cstddef>
#include <string>

#include "nvdec_types.h"

struct CuvidApi {
  // CUDA driver (libcuda.so.1). Members are named after the call; where the
  // library exports a versioned symbol, the comment names it.
  nv::CUresult (*cuInit)(unsigned int flags);
  nv::CUresult (*cuDeviceGet)(nv::CUdevice* device, int ordinal);
  nv::CUresult (*cuCtxCreate)(nv::CUcontext* context, unsigned int flags,
                              nv::CUdevice device);                       // cuCtxCreate_v2
  nv::CUresult (*cuCtxPopCurrent)(nv::CUcontext* context);                // cuCtxPopCurrent_v2
  nv::CUresult (*cuCtxPushCurrent)(nv::CUcontext context);                // cuCtxPushCurrent_v2
  nv::CUresult (*cuCtxDestroy)(nv::CUcontext context);                    // cuCtxDestroy_v2
  nv::CUresult (*cuMemHostAlloc)(void** host, size_t bytes, unsigned int flags);
  nv::CUresult (*cuMemFreeHost)(void* host);
  nv::CUresult (*cuMemcpyDtoH)(void* host, nv::CUdeviceptr device,
                               size_t bytes);                             // cuMemcpyDtoH_v2

  // CUVID (libnvcuvid.so.1).
  nv::CUresult (*cuvidCreateVideoParser)(nv::CUvideoparser* parser, nv::CUVIDPARSERPARAMS* params);
  nv::CUresult (*cuvidParseVideoData)(nv::CUvideoparser parser, nv::CUVIDSOURCEDATAPACKET* packet);
  nv::CUresult (*cuvidDestroyVideoParser)(nv::CUvideoparser parser);
  nv::CUresult (*cuvidCreateDecoder)(nv::CUvideodecoder* decoder, nv::CUVIDDECODECREATEINFO* info);
  nv::CUresult (*cuvidDestroyDecoder)(nv::CUvideodecoder decoder);
  nv::CUresult (*cuvidDecodePicture)(nv::CUvideodecoder decoder, nv::CUVIDPICPARAMS* picture);
  nv::CUresult (*cuvidMapVideoFrame64)(nv::CUvideodecoder decoder, int picture_index,
                                       unsigned long long* device, unsigned int* pitch,
                                       nv::CUVIDPROCPARAMS* processing);
  nv::CUresult (*cuvidUnmapVideoFrame64)(nv::CUvideodecoder decoder, unsigned long long device);
  nv::CUresult (*cuvidCtxLockCreate)(nv::CUvideoctxlock* lock, nv::CUcontext context);
  nv::CUresult (*cuvidCtxLockDestroy)(nv::CUvideoctxlock lock);
  nv::CUresult (*cuvidCtxLock)(nv::CUvideoctxlock lock, unsigned int flags);
  nv::CUresult (*cuvidCtxUnlock)(nv::CUvideoctxlock lock, unsigned int flags);

  // Optional: null where the driver is too old to export it; the plugin
  // then decodes without asking, as before the query existed.  Needs a
  // current context.
  nv::CUresult (*cuvidGetDecoderCaps)(nv::CUVIDDECODECAPS* caps);
};

// The table, complete in every member but the optional ones, or null when the platform cannot
// provide it; then *error (when given) says why, e.g. which library or
// symbol is missing.  The first call does the work; later calls return the
// same result.  Safe to call from any thread.  Never throws.
const CuvidApi* cuvid_api(std::string* error);
