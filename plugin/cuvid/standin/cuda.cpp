// CUDA driver calls of the stand-in: one device (ordinal 0), contexts with a
// per-thread current-context stack, page-locked memory as anonymous mappings
// (followed by an inaccessible guard page, so that a write past the end
// faults), and context locks as mutexes.
//
// The stand-in is stricter than it needs to be where the real driver is
// strict too, so that the plugin's mistakes show up in tests: every call
// before cuInit fails with CUDA_ERROR_NOT_INITIALIZED; allocation, release and
// copies need a current context; releasing memory twice or copying from
// outside a mapped frame is refused instead of corrupting memory.

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "../cuvid_api.h"
#include "standin.h"

namespace standin {

namespace {

struct Context {
  int device;
};

struct CtxLock {
  std::mutex mutex;
  nv::CUcontext context;
};

std::atomic<bool> g_initialised{false};

// Registries of live objects, so that stale or foreign handles are refused.
std::mutex g_mutex;
std::set<const void*>& live_contexts() {
  static std::set<const void*> s;
  return s;
}
// Page-locked blocks: start -> length of the mapping, guard page included.
std::map<const void*, size_t>& host_blocks() {
  static std::map<const void*, size_t> m;
  return m;
}
std::map<uintptr_t, size_t>& device_ranges() {
  static std::map<uintptr_t, size_t> m;
  return m;
}
std::set<const void*>& live_locks() {
  static std::set<const void*> s;
  return s;
}

// Initial-exec, as the thread-locals in standin.h.
thread_local std::vector<nv::CUcontext> t_context_stack __attribute__((tls_model("initial-exec")));

// Page-locked allocations above this are refused as the real driver would
// refuse them for lack of memory.
const size_t kMaxHostAlloc = size_t(1) << 30;

bool is_live_context(nv::CUcontext c) {
  std::lock_guard<std::mutex> g(g_mutex);
  return live_contexts().count(c) != 0;
}

nv::CUresult cu_init(unsigned int flags) {
  if (flags != 0) return nv::CUDA_ERROR_INVALID_VALUE;
  g_initialised = true;
  return nv::CUDA_SUCCESS;
}

nv::CUresult cu_device_get(nv::CUdevice* device, int ordinal) {
  if (!g_initialised) return nv::CUDA_ERROR_NOT_INITIALIZED;
  if (!device) return nv::CUDA_ERROR_INVALID_VALUE;
  if (ordinal != 0) return nv::CUDA_ERROR_INVALID_DEVICE;
  *device = 0;
  return nv::CUDA_SUCCESS;
}

nv::CUresult cu_ctx_create(nv::CUcontext* context, unsigned int, nv::CUdevice device) {
  if (!g_initialised) return nv::CUDA_ERROR_NOT_INITIALIZED;
  if (!context) return nv::CUDA_ERROR_INVALID_VALUE;
  if (device != 0) return nv::CUDA_ERROR_INVALID_DEVICE;
  try {
    auto* c = reinterpret_cast<nv::CUcontext>(new Context{device});
    {
      std::lock_guard<std::mutex> g(g_mutex);
      live_contexts().insert(c);
    }
    // As with the driver, a new context is current on the creating thread.
    t_context_stack.push_back(c);
    *context = c;
    return nv::CUDA_SUCCESS;
  } catch (...) {
    return nv::CUDA_ERROR_OUT_OF_MEMORY;
  }
}

nv::CUresult cu_ctx_pop(nv::CUcontext* context) {
  if (!g_initialised) return nv::CUDA_ERROR_NOT_INITIALIZED;
  if (t_context_stack.empty()) return nv::CUDA_ERROR_INVALID_CONTEXT;
  if (context) *context = t_context_stack.back();
  t_context_stack.pop_back();
  return nv::CUDA_SUCCESS;
}

nv::CUresult cu_ctx_push(nv::CUcontext context) {
  if (!g_initialised) return nv::CUDA_ERROR_NOT_INITIALIZED;
  if (!is_live_context(context)) return nv::CUDA_ERROR_INVALID_CONTEXT;
  try {
    t_context_stack.push_back(context);
  } catch (...) {
    return nv::CUDA_ERROR_OUT_OF_MEMORY;
  }
  return nv::CUDA_SUCCESS;
}

nv::CUresult cu_ctx_destroy(nv::CUcontext context) {
  if (!g_initialised) return nv::CUDA_ERROR_NOT_INITIALIZED;
  {
    std::lock_guard<std::mutex> g(g_mutex);
    if (!live_contexts().erase(context)) return nv::CUDA_ERROR_INVALID_CONTEXT;
  }
  // The driver also pops a destroyed context that is current on this thread.
  for (size_t i = t_context_stack.size(); i-- > 0;)
    if (t_context_stack[i] == context) t_context_stack.erase(t_context_stack.begin() + static_cast<long>(i));
  delete reinterpret_cast<Context*>(context);
  return nv::CUDA_SUCCESS;
}

nv::CUresult cu_mem_host_alloc(void** host, size_t bytes, unsigned int) {
  if (!g_initialised) return nv::CUDA_ERROR_NOT_INITIALIZED;
  if (!host || bytes == 0) return nv::CUDA_ERROR_INVALID_VALUE;
  if (!context_current()) return nv::CUDA_ERROR_INVALID_CONTEXT;
  if (bytes > kMaxHostAlloc) return nv::CUDA_ERROR_OUT_OF_MEMORY;
  // A mapping, not heap memory: pages are touched only when used (the
  // plugin asks for about 200 MB per instance), and the guard page after
  // the block catches writes past its end.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t length = (bytes + page - 1) / page * page + page;
  void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nv::CUDA_ERROR_OUT_OF_MEMORY;
  if (mprotect(static_cast<char*>(p) + length - page, page, PROT_NONE) != 0) {
    munmap(p, length);
    return nv::CUDA_ERROR_OUT_OF_MEMORY;
  }
  try {
    std::lock_guard<std::mutex> g(g_mutex);
    host_blocks()[p] = length;
  } catch (...) {
    munmap(p, length);
    return nv::CUDA_ERROR_OUT_OF_MEMORY;
  }
  *host = p;
  return nv::CUDA_SUCCESS;
}

nv::CUresult cu_mem_free_host(void* host) {
  if (!g_initialised) return nv::CUDA_ERROR_NOT_INITIALIZED;
  if (!context_current()) return nv::CUDA_ERROR_INVALID_CONTEXT;
  size_t length = 0;
  {
    std::lock_guard<std::mutex> g(g_mutex);
    auto it = host_blocks().find(host);
    if (it == host_blocks().end()) return nv::CUDA_ERROR_INVALID_VALUE;
    length = it->second;
    host_blocks().erase(it);
  }
  munmap(host, length);
  return nv::CUDA_SUCCESS;
}

nv::CUresult cu_memcpy_dtoh(void* host, nv::CUdeviceptr device, size_t bytes) {
  if (!g_initialised) return nv::CUDA_ERROR_NOT_INITIALIZED;
  if (!context_current()) return nv::CUDA_ERROR_INVALID_CONTEXT;
  if (!host) return nv::CUDA_ERROR_INVALID_VALUE;
  if (bytes == 0) return nv::CUDA_SUCCESS;
  std::lock_guard<std::mutex> g(g_mutex);
  // The source must lie inside one mapped frame: the range that starts at or
  // before it, and must reach its end.
  auto& ranges = device_ranges();
  auto it = ranges.upper_bound(static_cast<uintptr_t>(device));
  if (it == ranges.begin()) return nv::CUDA_ERROR_INVALID_VALUE;
  --it;
  uintptr_t offset = static_cast<uintptr_t>(device) - it->first;
  if (offset > it->second || bytes > it->second - offset) return nv::CUDA_ERROR_INVALID_VALUE;
  std::memcpy(host, reinterpret_cast<const void*>(static_cast<uintptr_t>(device)), bytes);
  return nv::CUDA_SUCCESS;
}

nv::CUresult lock_create(nv::CUvideoctxlock* lock, nv::CUcontext context) {
  if (!lock) return nv::CUDA_ERROR_INVALID_VALUE;
  if (!is_live_context(context)) return nv::CUDA_ERROR_INVALID_CONTEXT;
  try {
    auto* l = new CtxLock;
    l->context = context;
    std::lock_guard<std::mutex> g(g_mutex);
    live_locks().insert(l);
    *lock = reinterpret_cast<nv::CUvideoctxlock>(l);
    return nv::CUDA_SUCCESS;
  } catch (...) {
    return nv::CUDA_ERROR_OUT_OF_MEMORY;
  }
}

nv::CUresult lock_destroy(nv::CUvideoctxlock lock) {
  {
    std::lock_guard<std::mutex> g(g_mutex);
    if (!live_locks().erase(lock)) return nv::CUDA_ERROR_INVALID_VALUE;
  }
  delete reinterpret_cast<CtxLock*>(lock);
  return nv::CUDA_SUCCESS;
}

CtxLock* find_lock(nv::CUvideoctxlock lock) {
  std::lock_guard<std::mutex> g(g_mutex);
  return live_locks().count(lock) ? reinterpret_cast<CtxLock*>(lock) : nullptr;
}

// Taking the lock makes its context current on this thread until unlock.
nv::CUresult lock_take(nv::CUvideoctxlock lock, unsigned int) {
  CtxLock* l = find_lock(lock);
  if (!l) return nv::CUDA_ERROR_INVALID_VALUE;
  l->mutex.lock();
  try {
    t_context_stack.push_back(l->context);
  } catch (...) {
    l->mutex.unlock();
    return nv::CUDA_ERROR_OUT_OF_MEMORY;
  }
  return nv::CUDA_SUCCESS;
}

nv::CUresult lock_release(nv::CUvideoctxlock lock, unsigned int) {
  CtxLock* l = find_lock(lock);
  if (!l) return nv::CUDA_ERROR_INVALID_VALUE;
  if (t_context_stack.empty() || t_context_stack.back() != l->context) return nv::CUDA_ERROR_INVALID_CONTEXT;
  t_context_stack.pop_back();
  l->mutex.unlock();
  return nv::CUDA_SUCCESS;
}

// Every entry point catches: no exception may leave through a C interface.
template <typename... A>
struct Guard {
  template <nv::CUresult (*F)(A...)>
  static nv::CUresult call(A... a) {
    try {
      return F(a...);
    } catch (...) {
      return nv::CUDA_ERROR_UNKNOWN;
    }
  }
};

const CuvidApi kApi = {
    Guard<unsigned int>::call<cu_init>,
    Guard<nv::CUdevice*, int>::call<cu_device_get>,
    Guard<nv::CUcontext*, unsigned int, nv::CUdevice>::call<cu_ctx_create>,
    Guard<nv::CUcontext*>::call<cu_ctx_pop>,
    Guard<nv::CUcontext>::call<cu_ctx_push>,
    Guard<nv::CUcontext>::call<cu_ctx_destroy>,
    Guard<void**, size_t, unsigned int>::call<cu_mem_host_alloc>,
    Guard<void*>::call<cu_mem_free_host>,
    Guard<void*, nv::CUdeviceptr, size_t>::call<cu_memcpy_dtoh>,
    Guard<nv::CUvideoparser*, nv::CUVIDPARSERPARAMS*>::call<create_parser>,
    Guard<nv::CUvideoparser, nv::CUVIDSOURCEDATAPACKET*>::call<parse_data>,
    Guard<nv::CUvideoparser>::call<destroy_parser>,
    Guard<nv::CUvideodecoder*, nv::CUVIDDECODECREATEINFO*>::call<create_decoder>,
    Guard<nv::CUvideodecoder>::call<destroy_decoder>,
    Guard<nv::CUvideodecoder, nv::CUVIDPICPARAMS*>::call<decode_picture>,
    Guard<nv::CUvideodecoder, int, unsigned long long*, unsigned int*, nv::CUVIDPROCPARAMS*>::call<map_frame>,
    Guard<nv::CUvideodecoder, unsigned long long>::call<unmap_frame>,
    Guard<nv::CUvideoctxlock*, nv::CUcontext>::call<lock_create>,
    Guard<nv::CUvideoctxlock>::call<lock_destroy>,
    Guard<nv::CUvideoctxlock, unsigned int>::call<lock_take>,
    Guard<nv::CUvideoctxlock, unsigned int>::call<lock_release>,
    Guard<nv::CUVIDDECODECAPS*>::call<decoder_caps>,
};

}  // namespace

bool cuda_initialised() { return g_initialised; }

bool context_current() { return !t_context_stack.empty() && is_live_context(t_context_stack.back()); }

void register_device_range(const void* base, size_t size) {
  std::lock_guard<std::mutex> g(g_mutex);
  device_ranges()[reinterpret_cast<uintptr_t>(base)] = size;
}

void unregister_device_range(const void* base) {
  std::lock_guard<std::mutex> g(g_mutex);
  device_ranges().erase(reinterpret_cast<uintptr_t>(base));
}

}  // namespace standin

const CuvidApi* cuvid_api(std::string* /*error*/) { return &standin::kApi; }
