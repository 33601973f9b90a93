// The CPU stand-in's CUDA side and the checks its CUVID calls make: the
// mistakes a real driver refuses are refused here too (README.md beside the
// stand-in), and hostile bytes never crash the parser.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>

#include "helpers.h"
#include "testutil.h"

namespace {

const CuvidApi* api() { return cuvid_api(nullptr); }

TEST(StandinCuda, ContextsLiveOnAPerThreadStack) {
  const CuvidApi* a = api();
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->cuInit(0), nv::CUDA_SUCCESS);
  nv::CUdevice dev = -1;
  EXPECT_EQ(a->cuDeviceGet(&dev, 1), nv::CUDA_ERROR_INVALID_DEVICE);
  ASSERT_EQ(a->cuDeviceGet(&dev, 0), nv::CUDA_SUCCESS);
  nv::CUcontext ctx = nullptr, popped = nullptr;
  ASSERT_EQ(a->cuCtxCreate(&ctx, 0, dev), nv::CUDA_SUCCESS);
  // Current after creation: memory can be allocated.
  void* host = nullptr;
  ASSERT_EQ(a->cuMemHostAlloc(&host, 64, 0), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuCtxPopCurrent(&popped), nv::CUDA_SUCCESS);
  EXPECT_EQ(popped, ctx);
  EXPECT_EQ(a->cuCtxPopCurrent(&popped), nv::CUDA_ERROR_INVALID_CONTEXT);
  // Without a current context nothing is freed.
  EXPECT_EQ(a->cuMemFreeHost(host), nv::CUDA_ERROR_INVALID_CONTEXT);
  // Another thread has its own (empty) stack.
  nv::CUresult other = nv::CUDA_SUCCESS;
  std::thread([&] { other = a->cuCtxPopCurrent(nullptr); }).join();
  EXPECT_EQ(other, nv::CUDA_ERROR_INVALID_CONTEXT);
  ASSERT_EQ(a->cuCtxPushCurrent(ctx), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuMemFreeHost(host), nv::CUDA_SUCCESS);
  // A second release of the same block is refused, not a double free.
  EXPECT_EQ(a->cuMemFreeHost(host), nv::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(a->cuMemHostAlloc(&host, 0, 0), nv::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(a->cuCtxDestroy(ctx), nv::CUDA_SUCCESS);
  // Destroying pops it; a destroyed context cannot come back.
  EXPECT_EQ(a->cuCtxPopCurrent(nullptr), nv::CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(a->cuCtxPushCurrent(ctx), nv::CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(a->cuCtxDestroy(ctx), nv::CUDA_ERROR_INVALID_CONTEXT);
}

TEST(StandinCuda, PluginSizedHostBufferAndLockedCopies) {
  const CuvidApi* a = api();
  ASSERT_EQ(a->cuInit(0), nv::CUDA_SUCCESS);
  nv::CUcontext ctx = nullptr;
  ASSERT_EQ(a->cuCtxCreate(&ctx, 0, 0), nv::CUDA_SUCCESS);
  // The plugin's host buffer: 16 + 4 × 7680 × 4320 × 3/2 bytes.
  void* host = nullptr;
  ASSERT_EQ(a->cuMemHostAlloc(&host, 16 + 4ull * 7680 * 4320 * 3 / 2, 0), nv::CUDA_SUCCESS);
  ASSERT_EQ(a->cuCtxPopCurrent(nullptr), nv::CUDA_SUCCESS);
  nv::CUvideoctxlock lock = nullptr;
  ASSERT_EQ(a->cuvidCtxLockCreate(&lock, ctx), nv::CUDA_SUCCESS);
  // Under the lock the context is current; after unlock it is not.
  ASSERT_EQ(a->cuvidCtxLock(lock, 0), nv::CUDA_SUCCESS);
  uint8_t byte;
  // Not a mapped frame: refused.
  EXPECT_EQ(a->cuMemcpyDtoH(&byte, reinterpret_cast<uintptr_t>(&byte), 1), nv::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(a->cuvidCtxUnlock(lock, 0), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuMemcpyDtoH(&byte, 0, 1), nv::CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(a->cuvidCtxLockDestroy(lock), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuvidCtxLockDestroy(lock), nv::CUDA_ERROR_INVALID_VALUE);
  ASSERT_EQ(a->cuCtxPushCurrent(ctx), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuMemFreeHost(host), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuCtxDestroy(ctx), nv::CUDA_SUCCESS);
}

nv::CUVIDDECODECREATEINFO create_info(int w, int h, int depth_minus8 = 0) {
  nv::CUVIDDECODECREATEINFO i;
  std::memset(&i, 0, sizeof i);
  i.ulWidth = static_cast<unsigned long>(w);
  i.ulHeight = static_cast<unsigned long>(h);
  i.ulNumDecodeSurfaces = 20;
  i.CodecType = nv::cudaVideoCodec_H264;
  i.ChromaFormat = nv::cudaVideoChromaFormat_420;
  i.bitDepthMinus8 = static_cast<unsigned long>(depth_minus8);
  i.OutputFormat = depth_minus8 ? nv::cudaVideoSurfaceFormat_P016 : nv::cudaVideoSurfaceFormat_NV12;
  i.ulTargetWidth = static_cast<unsigned long>(w);
  i.ulTargetHeight = static_cast<unsigned long>(h);
  i.ulNumOutputSurfaces = 1;
  return i;
}

TEST(StandinDecoder, CreationChecksItsParameters) {
  const CuvidApi* a = api();
  ASSERT_EQ(a->cuInit(0), nv::CUDA_SUCCESS);
  nv::CUvideodecoder d = nullptr;
  nv::CUVIDDECODECREATEINFO i = create_info(7680, 4320);
  // Neither a current context nor a lock.
  EXPECT_EQ(a->cuvidCreateDecoder(&d, &i), nv::CUDA_ERROR_INVALID_CONTEXT);
  nv::CUcontext ctx = nullptr;
  ASSERT_EQ(a->cuCtxCreate(&ctx, 0, 0), nv::CUDA_SUCCESS);
  ASSERT_EQ(a->cuvidCreateDecoder(&d, &i), nv::CUDA_SUCCESS);  // the largest coded picture
  EXPECT_EQ(a->cuvidDestroyDecoder(d), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuvidDestroyDecoder(d), nv::CUDA_ERROR_INVALID_HANDLE);
  struct Bad {
    const char* what;
    void (*spoil)(nv::CUVIDDECODECREATEINFO&);
  };
  const Bad bad[] = {
      {"zero width", [](nv::CUVIDDECODECREATEINFO& x) { x.ulWidth = 0; }},
      {"huge height", [](nv::CUVIDDECODECREATEINFO& x) { x.ulHeight = 100000; }},
      {"no surfaces", [](nv::CUVIDDECODECREATEINFO& x) { x.ulNumDecodeSurfaces = 0; }},
      {"too many surfaces", [](nv::CUVIDDECODECREATEINFO& x) { x.ulNumDecodeSurfaces = 1000; }},
      {"no output surface", [](nv::CUVIDDECODECREATEINFO& x) { x.ulNumOutputSurfaces = 0; }},
      {"no target", [](nv::CUVIDDECODECREATEINFO& x) { x.ulTargetWidth = 0; }},
      {"4:2:2", [](nv::CUVIDDECODECREATEINFO& x) { x.ChromaFormat = nv::cudaVideoChromaFormat_422; }},
      {"codec", [](nv::CUVIDDECODECREATEINFO& x) { x.CodecType = nv::cudaVideoCodec_JPEG; }},
      {"area past the right", [](nv::CUVIDDECODECREATEINFO& x) { x.display_area.right = 7690; x.display_area.bottom = 10; }},
      {"empty area", [](nv::CUVIDDECODECREATEINFO& x) { x.display_area.left = 8; x.display_area.right = 8; x.display_area.bottom = 10; }},
      {"negative area", [](nv::CUVIDDECODECREATEINFO& x) { x.display_area.top = -2; x.display_area.right = 8; x.display_area.bottom = 10; }},
      {"surface format", [](nv::CUVIDDECODECREATEINFO& x) { x.OutputFormat = static_cast<nv::cudaVideoSurfaceFormat>(7); }},
  };
  for (const Bad& b : bad) {
    nv::CUVIDDECODECREATEINFO x = create_info(320, 240);
    b.spoil(x);
    d = nullptr;
    EXPECT_NE(a->cuvidCreateDecoder(&d, &x), nv::CUDA_SUCCESS) << b.what;
    EXPECT_EQ(d, nullptr) << b.what;
  }
  EXPECT_EQ(a->cuCtxDestroy(ctx), nv::CUDA_SUCCESS);
}

// The capability query answers as the generation the contract names, and
// decoder creation refuses what the answer rules out.
TEST(StandinDecoder, CapabilityQueryAnswersAsTheStatedGeneration) {
  const CuvidApi* a = api();
  ASSERT_NE(a->cuvidGetDecoderCaps, nullptr);
  ASSERT_EQ(a->cuInit(0), nv::CUDA_SUCCESS);
  nv::CUVIDDECODECAPS caps = {};
  caps.eCodecType = nv::cudaVideoCodec_H264;
  caps.eChromaFormat = nv::cudaVideoChromaFormat_420;
  EXPECT_EQ(a->cuvidGetDecoderCaps(&caps), nv::CUDA_ERROR_INVALID_CONTEXT);
  nv::CUcontext ctx = nullptr;
  ASSERT_EQ(a->cuCtxCreate(&ctx, 0, 0), nv::CUDA_SUCCESS);
  const struct {
    nv::cudaVideoCodec codec;
    nv::cudaVideoChromaFormat chroma;
    unsigned depth_minus8;
    bool supported;
    unsigned max_width, max_height, max_mbs;
  } cases[] = {
      {nv::cudaVideoCodec_H264, nv::cudaVideoChromaFormat_420, 0, true, 4096, 4096, 65536},
      {nv::cudaVideoCodec_H264, nv::cudaVideoChromaFormat_420, 2, false, 0, 0, 0},
      {nv::cudaVideoCodec_H264, nv::cudaVideoChromaFormat_422, 0, false, 0, 0, 0},
      {nv::cudaVideoCodec_H264, nv::cudaVideoChromaFormat_444, 0, false, 0, 0, 0},
      {nv::cudaVideoCodec_HEVC, nv::cudaVideoChromaFormat_420, 0, true, 8192, 8192, 262144},
      {nv::cudaVideoCodec_HEVC, nv::cudaVideoChromaFormat_420, 2, true, 8192, 8192, 262144},
      {nv::cudaVideoCodec_HEVC, nv::cudaVideoChromaFormat_420, 4, true, 8192, 8192, 262144},
      {nv::cudaVideoCodec_HEVC, nv::cudaVideoChromaFormat_420, 6, false, 0, 0, 0},
      {nv::cudaVideoCodec_HEVC, nv::cudaVideoChromaFormat_422, 0, false, 0, 0, 0},
      {nv::cudaVideoCodec_HEVC, nv::cudaVideoChromaFormat_444, 2, true, 8192, 8192, 262144},
      {nv::cudaVideoCodec_MPEG2, nv::cudaVideoChromaFormat_420, 0, true, 4080, 4080, 65280},
      {nv::cudaVideoCodec_MPEG2, nv::cudaVideoChromaFormat_422, 0, false, 0, 0, 0},
      {nv::cudaVideoCodec_VC1, nv::cudaVideoChromaFormat_420, 0, true, 2048, 2048, 8192},
      {nv::cudaVideoCodec_JPEG, nv::cudaVideoChromaFormat_420, 0, false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.codec) + " " + std::to_string(c.chroma) + " " + std::to_string(c.depth_minus8));
    caps = {};
    caps.eCodecType = c.codec;
    caps.eChromaFormat = c.chroma;
    caps.nBitDepthMinus8 = c.depth_minus8;
    ASSERT_EQ(a->cuvidGetDecoderCaps(&caps), nv::CUDA_SUCCESS);
    EXPECT_EQ(caps.bIsSupported != 0, c.supported);
    EXPECT_EQ(caps.nMaxWidth, c.max_width);
    EXPECT_EQ(caps.nMaxHeight, c.max_height);
    EXPECT_EQ(caps.nMaxMBCount, c.max_mbs);
    if (c.codec == nv::cudaVideoCodec_JPEG) continue;
    nv::CUVIDDECODECREATEINFO i = create_info(320, 240, static_cast<int>(c.depth_minus8));
    i.CodecType = c.codec;
    i.ChromaFormat = c.chroma;
    nv::CUvideodecoder d = nullptr;
    // 4:2:0 is the only chroma format the stand-in decodes at all.
    const bool creates = c.supported && c.chroma == nv::cudaVideoChromaFormat_420;
    EXPECT_EQ(a->cuvidCreateDecoder(&d, &i) == nv::CUDA_SUCCESS, creates);
    if (d) {
      EXPECT_EQ(a->cuvidDestroyDecoder(d), nv::CUDA_SUCCESS);
    }
  }
  EXPECT_EQ(a->cuCtxDestroy(ctx), nv::CUDA_SUCCESS);
}

TEST(StandinDecoder, MapAndDecodeRefuseWhatTheyCannotServe) {
  std::string path = tu::scratch("one.264");
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 3 -c:v libx264 -f h264 " + tu::q(path)));
  ct::Client c(api(), nv::cudaVideoCodec_H264);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  ASSERT_EQ(c.shown.size(), 3u);
  const CuvidApi* a = c.api;
  nv::CUVIDPROCPARAMS proc;
  std::memset(&proc, 0, sizeof proc);
  proc.progressive_frame = 1;
  unsigned long long dev = 0, dev2 = 0;
  unsigned int pitch = 0;
  int idx = c.shown[0].info.picture_index;
  EXPECT_EQ(a->cuvidMapVideoFrame64(c.decoder, -1, &dev, &pitch, &proc), nv::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(a->cuvidMapVideoFrame64(c.decoder, 20, &dev, &pitch, &proc), nv::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(a->cuvidMapVideoFrame64(c.decoder, 19, &dev, &pitch, &proc), nv::CUDA_ERROR_INVALID_VALUE)
      << "a surface nothing was decoded into";
  ASSERT_EQ(a->cuvidMapVideoFrame64(c.decoder, idx, &dev, &pitch, &proc), nv::CUDA_SUCCESS);
  EXPECT_GE(pitch, 320u);
  // One output surface: a second map must wait for the unmap.
  EXPECT_EQ(a->cuvidMapVideoFrame64(c.decoder, idx, &dev2, &pitch, &proc), nv::CUDA_ERROR_MAP_FAILED);
  // A copy that runs past the mapped frame is refused, the frame itself is fine.
  std::vector<uint8_t> buf(static_cast<size_t>(pitch) * 400);
  nv::CUcontext ctx = nullptr;
  ASSERT_EQ(a->cuCtxCreate(&ctx, 0, 0), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuMemcpyDtoH(buf.data(), dev, static_cast<size_t>(pitch) * 360), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuMemcpyDtoH(buf.data(), dev, static_cast<size_t>(pitch) * 361), nv::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(a->cuMemcpyDtoH(buf.data(), dev + 1, static_cast<size_t>(pitch) * 360), nv::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(a->cuvidUnmapVideoFrame64(c.decoder, dev), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuvidUnmapVideoFrame64(c.decoder, dev), nv::CUDA_ERROR_INVALID_VALUE);
  // Parameters that no decode callback handed out name no picture.
  nv::CUVIDPICPARAMS pp;
  std::memset(&pp, 0, sizeof pp);
  EXPECT_EQ(a->cuvidDecodePicture(c.decoder, &pp), nv::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(a->cuvidDecodePicture(nullptr, &pp), nv::CUDA_ERROR_INVALID_HANDLE);
  // After the decoder is gone its frames cannot be read.
  ASSERT_EQ(a->cuvidMapVideoFrame64(c.decoder, idx, &dev, &pitch, &proc), nv::CUDA_SUCCESS);
  ASSERT_EQ(a->cuvidDestroyDecoder(c.decoder), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuMemcpyDtoH(buf.data(), dev, 16), nv::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(a->cuvidMapVideoFrame64(c.decoder, idx, &dev, &pitch, &proc), nv::CUDA_ERROR_INVALID_HANDLE);
  c.decoder = nullptr;
  EXPECT_EQ(a->cuCtxDestroy(ctx), nv::CUDA_SUCCESS);
}

// A client that keeps its 8-bit decoder for a 10-bit stream of the same
// size and chroma format cannot decode into it.
int keep_decoder_sequence(void* user, nv::CUVIDEOFORMAT*) {
  static_cast<std::vector<int>*>(user)->push_back(0);
  return 1;
}

TEST(StandinDecoder, DecoderOfAnotherBitDepthRefusesThePicture) {
  std::string path = tu::scratch("ten.265");
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 3 -pix_fmt yuv420p10le -c:v libx265 "
                         "-x265-params log-level=error -f hevc " + tu::q(path)));
  const CuvidApi* a = api();
  ASSERT_EQ(a->cuInit(0), nv::CUDA_SUCCESS);
  nv::CUcontext ctx = nullptr;
  ASSERT_EQ(a->cuCtxCreate(&ctx, 0, 0), nv::CUDA_SUCCESS);
  nv::CUVIDDECODECREATEINFO i = create_info(320, 256);  // 8-bit
  i.CodecType = nv::cudaVideoCodec_HEVC;
  static nv::CUvideodecoder decoder = nullptr;
  ASSERT_EQ(a->cuvidCreateDecoder(&decoder, &i), nv::CUDA_SUCCESS);
  struct State {
    const CuvidApi* a;
    std::vector<nv::CUresult> results;
  } st{a, {}};
  nv::CUVIDPARSERPARAMS p;
  std::memset(&p, 0, sizeof p);
  p.CodecType = nv::cudaVideoCodec_HEVC;
  p.ulMaxNumDecodeSurfaces = 20;
  p.pUserData = &st;
  p.pfnSequenceCallback = [](void*, nv::CUVIDEOFORMAT*) { return 1; };
  p.pfnDecodePicture = [](void* u, nv::CUVIDPICPARAMS* pp) {
    auto* s = static_cast<State*>(u);
    s->results.push_back(s->a->cuvidDecodePicture(decoder, pp));
    return 1;
  };
  nv::CUvideoparser parser = nullptr;
  ASSERT_EQ(a->cuvidCreateVideoParser(&parser, &p), nv::CUDA_SUCCESS);
  std::vector<uint8_t> es = tu::read_file(path);
  nv::CUVIDSOURCEDATAPACKET pkt;
  std::memset(&pkt, 0, sizeof pkt);
  pkt.payload = es.data();
  pkt.payload_size = es.size();
  pkt.flags = nv::CUVID_PKT_ENDOFSTREAM;
  ASSERT_EQ(a->cuvidParseVideoData(parser, &pkt), nv::CUDA_SUCCESS);
  ASSERT_EQ(st.results.size(), 3u);
  for (nv::CUresult r : st.results) EXPECT_EQ(r, nv::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(a->cuvidDestroyVideoParser(parser), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuvidDestroyDecoder(decoder), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuCtxDestroy(ctx), nv::CUDA_SUCCESS);
  (void)keep_decoder_sequence;
}

TEST(StandinParser, RefusedFormatMeansNoPicturesUntilAccepted) {
  std::string path = tu::scratch("few.m2v");
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 5 -c:v mpeg2video -f mpeg2video " + tu::q(path)));
  ct::Options o;
  o.sequence_result = 0;
  ct::Client c(api(), nv::cudaVideoCodec_MPEG2, o);
  c.feed_units(tu::read_file(path));
  c.end_of_stream();
  EXPECT_EQ(c.sequences.size(), 5u) << "asked again at every picture";
  EXPECT_TRUE(c.decoded.empty());
  EXPECT_TRUE(c.shown.empty());
}

TEST(StandinParser, CreationAndPacketsAreChecked) {
  const CuvidApi* a = api();
  nv::CUVIDPARSERPARAMS p;
  std::memset(&p, 0, sizeof p);
  p.CodecType = nv::cudaVideoCodec_H264;
  nv::CUvideoparser parser = nullptr;
  EXPECT_EQ(a->cuvidCreateVideoParser(&parser, &p), nv::CUDA_ERROR_INVALID_VALUE) << "no surfaces";
  p.ulMaxNumDecodeSurfaces = 20;
  p.CodecType = nv::cudaVideoCodec_JPEG;
  EXPECT_EQ(a->cuvidCreateVideoParser(&parser, &p), nv::CUDA_ERROR_NOT_SUPPORTED);
  p.CodecType = nv::cudaVideoCodec_H264;
  ASSERT_EQ(a->cuvidCreateVideoParser(&parser, &p), nv::CUDA_SUCCESS);
  nv::CUVIDSOURCEDATAPACKET pkt;
  std::memset(&pkt, 0, sizeof pkt);
  pkt.payload_size = 1ul << 40;  // a huge length without bytes
  EXPECT_EQ(a->cuvidParseVideoData(parser, &pkt), nv::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(a->cuvidParseVideoData(parser, nullptr), nv::CUDA_ERROR_INVALID_VALUE);
  // No callbacks at all: the parser still takes data.
  pkt.payload_size = 0;
  pkt.flags = nv::CUVID_PKT_ENDOFSTREAM;
  EXPECT_EQ(a->cuvidParseVideoData(parser, &pkt), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuvidDestroyVideoParser(parser), nv::CUDA_SUCCESS);
  EXPECT_EQ(a->cuvidDestroyVideoParser(parser), nv::CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(a->cuvidParseVideoData(parser, &pkt), nv::CUDA_ERROR_INVALID_HANDLE);
}

// Garbage, truncated streams and corrupted streams of every codec: the
// parser must neither crash nor break its callback contract.
TEST(StandinParser, HostileBytesNeverBreakTheContract) {
  std::string h264 = tu::scratch("h.264"), hevc = tu::scratch("h.265"), m2v = tu::scratch("m.m2v");
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc2=size=176x144:rate=25 -frames:v 12 -c:v libx264 -bf 2 -f h264 " + tu::q(h264)));
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc2=size=176x144:rate=25 -frames:v 12 -c:v libx265 -x265-params log-level=error -f hevc " + tu::q(hevc)));
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc2=size=176x144:rate=25 -frames:v 12 -c:v mpeg2video -bf 2 -f mpeg2video " + tu::q(m2v)));
  struct Input {
    nv::cudaVideoCodec codec;
    std::vector<uint8_t> es;
  };
  std::vector<Input> inputs = {{nv::cudaVideoCodec_H264, tu::read_file(h264)},
                               {nv::cudaVideoCodec_HEVC, tu::read_file(hevc)},
                               {nv::cudaVideoCodec_MPEG2, tu::read_file(m2v)},
                               {nv::cudaVideoCodec_VC1, tu::read_file(m2v)}};
  std::mt19937 rng(1234);
  for (const Input& in : inputs) {
    ASSERT_FALSE(in.es.empty());
    std::vector<std::vector<uint8_t>> variants;
    std::vector<uint8_t> garbage(20000);
    for (uint8_t& b : garbage) b = static_cast<uint8_t>(rng() % 4 == 0 ? 0 : rng());
    variants.push_back(garbage);
    for (size_t cut : {size_t(3), size_t(40), in.es.size() / 3, in.es.size() - 7})
      variants.emplace_back(in.es.begin(), in.es.begin() + static_cast<long>(cut));
    for (int k = 0; k < 6; k++) {
      std::vector<uint8_t> v = in.es;
      for (int j = 0; j < 40; j++) v[rng() % v.size()] = static_cast<uint8_t>(rng());
      variants.push_back(v);
    }
    // Huge sizes and counts in the parameter sets: every byte after each start code set to FF.
    std::vector<uint8_t> ff = in.es;
    for (size_t i = 0; i + 8 < ff.size(); i++)
      if (ff[i] == 0 && ff[i + 1] == 0 && ff[i + 2] == 1 && i < 200)
        for (size_t j = i + 4; j < i + 8; j++) ff[j] = 0xFF;
    variants.push_back(ff);
    for (const auto& v : variants) {
      ct::Options o;
      o.surfaces = 8;
      o.two_slot_queue = true;
      ct::Client c(api(), in.codec, o);
      c.feed_units(v);
      c.end_of_stream();
      // Allowed: refusals of damaged formats, and surfaces of pictures that
      // libavcodec lost coming back undisplayed.
      for (const std::string& e : c.errors)
        EXPECT_TRUE(e.rfind("cuvidCreateDecoder", 0) == 0 || e.rfind("cuvidDecodePicture", 0) == 0 ||
                    e == "surface reused before display")
            << e;
      EXPECT_LE(c.shown.size(), c.decoded.size());
    }
  }
}

TEST(StandinParser, ManyParsersAndDecodersOnThreads) {
  std::string path = tu::scratch("t.264");
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc2=size=176x144:rate=25 -frames:v 10 -c:v libx264 -f h264 " + tu::q(path)));
  std::vector<uint8_t> es = tu::read_file(path);
  std::vector<std::thread> threads;
  std::vector<size_t> shown(8);
  for (size_t t = 0; t < shown.size(); t++)
    threads.emplace_back([&, t] {
      ct::Client c(api(), nv::cudaVideoCodec_H264);
      c.feed_units(es);
      c.end_of_stream();
      shown[t] = c.errors.empty() ? c.shown.size() : 0;
    });
  for (std::thread& t : threads) t.join();
  for (size_t n : shown) EXPECT_EQ(n, 10u);
}

}  // namespace
