// Run-time binding to the NVIDIA driver libraries.
//
// The libraries are opened once per process and stay open: decoder objects
// of any instance may hold handles into them until the process ends, so they
// are never closed.  The table is filled completely or not at all, so a
// caller that gets a table can call every member but the optional ones,
// which are null where the driver lacks them.

#include <dlfcn.h>

#include "cuvid_api.h"

namespace {

struct Binding {
  const char* symbol;   // exported name, versioned where the driver has versions
  void** slot;          // member of the table it fills
};

struct LoadResult {
  CuvidApi api{};
  bool ok = false;
  std::string error;
};

template <typename F>
void** slot_of(F& member) {
  return reinterpret_cast<void**>(&member);
}

// Resolves every entry in `table` from `lib`; on the first missing one sets
// `error` and returns false.
bool bind(void* lib, const char* lib_name, const Binding* table, size_t count, std::string& error) {
  for (size_t i = 0; i < count; i++) {
    dlerror();
    void* p = dlsym(lib, table[i].symbol);
    if (!p) {
      error = std::string(lib_name) + ": missing symbol " + table[i].symbol;
      return false;
    }
    *table[i].slot = p;
  }
  return true;
}

void* open_library(const char* name, std::string& error) {
  void* lib = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* why = dlerror();
    error = std::string("cannot load ") + name + (why ? std::string(": ") + why : std::string());
  }
  return lib;
}

LoadResult load() {
  LoadResult r;
  CuvidApi api{};
  const Binding cuda[] = {
      {"cuInit", slot_of(api.cuInit)},
      {"cuDeviceGet", slot_of(api.cuDeviceGet)},
      {"cuCtxCreate_v2", slot_of(api.cuCtxCreate)},
      {"cuCtxPopCurrent_v2", slot_of(api.cuCtxPopCurrent)},
      {"cuCtxPushCurrent_v2", slot_of(api.cuCtxPushCurrent)},
      {"cuCtxDestroy_v2", slot_of(api.cuCtxDestroy)},
      {"cuMemHostAlloc", slot_of(api.cuMemHostAlloc)},
      {"cuMemFreeHost", slot_of(api.cuMemFreeHost)},
      {"cuMemcpyDtoH_v2", slot_of(api.cuMemcpyDtoH)},
  };
  const Binding cuvid[] = {
      {"cuvidCreateVideoParser", slot_of(api.cuvidCreateVideoParser)},
      {"cuvidParseVideoData", slot_of(api.cuvidParseVideoData)},
      {"cuvidDestroyVideoParser", slot_of(api.cuvidDestroyVideoParser)},
      {"cuvidCreateDecoder", slot_of(api.cuvidCreateDecoder)},
      {"cuvidDestroyDecoder", slot_of(api.cuvidDestroyDecoder)},
      {"cuvidDecodePicture", slot_of(api.cuvidDecodePicture)},
      {"cuvidMapVideoFrame64", slot_of(api.cuvidMapVideoFrame64)},
      {"cuvidUnmapVideoFrame64", slot_of(api.cuvidUnmapVideoFrame64)},
      {"cuvidCtxLockCreate", slot_of(api.cuvidCtxLockCreate)},
      {"cuvidCtxLockDestroy", slot_of(api.cuvidCtxLockDestroy)},
      {"cuvidCtxLock", slot_of(api.cuvidCtxLock)},
      {"cuvidCtxUnlock", slot_of(api.cuvidCtxUnlock)},
  };
  // The CUVID library itself needs the driver library, so it is opened second.
  void* libcuda = open_library("libcuda.so.1", r.error);
  if (!libcuda) return r;
  if (!bind(libcuda, "libcuda.so.1", cuda, sizeof cuda / sizeof cuda[0], r.error)) return r;
  void* libcuvid = open_library("libnvcuvid.so.1", r.error);
  if (!libcuvid) return r;
  if (!bind(libcuvid, "libnvcuvid.so.1", cuvid, sizeof cuvid / sizeof cuvid[0], r.error)) return r;
  // Drivers before the capability query lack it: decoding goes on without.
  api.cuvidGetDecoderCaps =
      reinterpret_cast<nv::CUresult (*)(nv::CUVIDDECODECAPS*)>(dlsym(libcuvid, "cuvidGetDecoderCaps"));
  r.api = api;
  r.ok = true;
  return r;
}

}  // namespace

const CuvidApi* cuvid_api(std::string* error) {
  try {
    // A function-local static is initialised once, safely across threads.
    static const LoadResult result = load();
    if (!result.ok) {
      if (error) *error = result.error;
      return nullptr;
    }
    return &result.api;
  } catch (...) {
    if (error) *error = "cannot load the CUDA libraries: out of memory";
    return nullptr;
  }
}
