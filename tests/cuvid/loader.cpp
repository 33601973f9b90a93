// The run-time loader of the NVIDIA libraries.  On a machine without them it
// must fail cleanly and say which library is missing; where they exist every
// member of the table must be filled.

#include <dlfcn.h>
#include <cstddef>
#include <gtest/gtest.h>

#include "cuvid_api.h"

namespace {

bool have_library(const char* name) {
  void* h = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (h) dlclose(h);
  return h != nullptr;
}

TEST(CuvidLoader, FailsCleanlyWithoutTheLibrariesOrFillsEveryCall) {
  std::string error;
  const CuvidApi* api = cuvid_api(&error);
  if (!have_library("libcuda.so.1") || !have_library("libnvcuvid.so.1")) {
    EXPECT_EQ(api, nullptr);
    EXPECT_NE(error.find(have_library("libcuda.so.1") ? "libnvcuvid.so.1" : "libcuda.so.1"), std::string::npos)
        << error;
  } else {
    ASSERT_NE(api, nullptr) << error;
    // The table is a sequence of function pointers; none but the optional
    // ones at its end (an older driver lacks them) may be left empty.
    const void* const* slots = reinterpret_cast<const void* const*>(api);
    for (size_t i = 0; i < offsetof(CuvidApi, cuvidGetDecoderCaps) / sizeof(void*); i++)
      EXPECT_NE(slots[i], nullptr) << "member " << i;
  }
}

TEST(CuvidLoader, LaterCallsGiveTheSameAnswer) {
  std::string first, second;
  const CuvidApi* a = cuvid_api(&first);
  const CuvidApi* b = cuvid_api(&second);
  EXPECT_EQ(a, b);
  EXPECT_EQ(first, second);
  EXPECT_EQ(cuvid_api(nullptr), a);  // no error text wanted: still no crash
}

// On a machine with a GPU the driver answers through the table.
TEST(CuvidLoader, DriverAnswersWhereThereIsOne) {
  const CuvidApi* api = cuvid_api(nullptr);
  if (!api) GTEST_SKIP() << "no NVIDIA libraries here";
  ASSERT_EQ(api->cuInit(0), nv::CUDA_SUCCESS);
  nv::CUdevice dev;
  ASSERT_EQ(api->cuDeviceGet(&dev, 0), nv::CUDA_SUCCESS);
  nv::CUcontext ctx = nullptr;
  ASSERT_EQ(api->cuCtxCreate(&ctx, 0, dev), nv::CUDA_SUCCESS);
  void* host = nullptr;
  EXPECT_EQ(api->cuMemHostAlloc(&host, 4096, 0), nv::CUDA_SUCCESS);
  EXPECT_EQ(api->cuMemFreeHost(host), nv::CUDA_SUCCESS);
  nv::CUvideoctxlock lock = nullptr;
  EXPECT_EQ(api->cuvidCtxLockCreate(&lock, ctx), nv::CUDA_SUCCESS);
  EXPECT_EQ(api->cuvidCtxLockDestroy(lock), nv::CUDA_SUCCESS);
  EXPECT_EQ(api->cuCtxDestroy(ctx), nv::CUDA_SUCCESS);
}

}  // namespace
