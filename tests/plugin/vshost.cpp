// The test host: our implementation of the API 3 members the plugin uses.
#include "vshost.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>

#include <gtest/gtest.h>

// ---------------------------------------------------------------- host objects

namespace {

struct Value {
  bool isInt = false;
  int64_t i = 0;
  std::string d;
};

}  // namespace

struct VSMap {
  std::map<std::string, std::vector<Value>> items;
  std::string error;
  int errorCalls = 0;
};

struct VSFrameRef {
  const VSFormat* format = nullptr;
  int width = 0, height = 0;
  uint8_t* planes[3] = {};
  int stride[3] = {};
  int pw[3] = {}, ph[3] = {};
  VSMap props;
};

struct VSNode {
  VSVideoInfo vi = {};
  int calls = 0;
};

struct VSFrameContext {
  std::string error;
};

struct VSCore {
  std::deque<VSFormat> formats;      // stable addresses
  // The filter made by the current call, if any.
  bool created = false;
  VSVideoInfo vi = {};
  VSFilterGetFrame getFrame = nullptr;
  VSFilterFree free = nullptr;
  void* instance = nullptr;
  std::set<const VSFrameRef*> frames;  // frames handed out and not yet taken back
};

struct VSPlugin {
  vshost::Plugin* plugin;
};

namespace vshost {
namespace {

VSCore g_core;
std::map<int, int> g_counts;
VSAPI g_api;

const char* const kMemberNames[60] = {
    "createCore",      "freeCore",        "getCoreInfo",      "cloneFrameRef",
    "cloneNodeRef",    "cloneFuncRef",    "freeFrame",        "freeNode",
    "freeFunc",        "newVideoFrame",   "copyFrame",        "copyFrameProps",
    "registerFunction", "getPluginById",  "getPluginByNs",    "getPlugins",
    "getFunctions",    "createFilter",    "setError",         "getError",
    "setFilterError",  "invoke",          "getFormatPreset",  "registerFormat",
    "getFrame",        "getFrameAsync",   "getFrameFilter",   "requestFrameFilter",
    "queryCompletedFrame", "releaseFrameEarly", "getStride",  "getReadPtr",
    "getWritePtr",     "createFunc",      "callFunc",         "createMap",
    "freeMap",         "clearMap",        "getVideoInfo",     "setVideoInfo",
    "getFrameFormat",  "getFrameWidth",   "getFrameHeight",   "getFramePropsRO",
    "getFramePropsRW", "propNumKeys",     "propGetKey",       "propNumElements",
    "propGetType",     "propGetInt",      "propGetFloat",     "propGetData",
    "propGetDataSize", "propGetNode",     "propGetFrame",     "propGetFunc",
    "propDeleteKey",   "propSetInt",      "propSetFloat",     "propSetData"};

void Count(int member) { g_counts[member]++; }

template <int N>
void Unexpected() {
  Count(N);
  ADD_FAILURE() << "plugin called VSAPI member " << N << " (" << kMemberNames[N]
                << "), which it must not use";
}

bool Registered(const VSFormat* f) {
  for (const VSFormat& g : g_core.formats)
    if (&g == f) return true;
  return false;
}

int64_t Gcd(int64_t a, int64_t b) {
  while (b) {
    int64_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

// ---- members

VSFrameRef* NewVideoFrame(const VSFormat* format, int width, int height, const VSFrameRef* propSrc,
                          VSCore* core) {
  Count(9);
  EXPECT_EQ(core, &g_core) << "newVideoFrame: foreign core";
  if (!Registered(format)) {
    ADD_FAILURE() << "newVideoFrame: format not obtained from registerFormat";
    return nullptr;
  }
  if (width <= 0 || height <= 0 || width % (1 << format->subSamplingW) ||
      height % (1 << format->subSamplingH)) {
    ADD_FAILURE() << "newVideoFrame: invalid dimensions " << width << "x" << height;
    return nullptr;
  }
  EXPECT_EQ(propSrc, nullptr) << "newVideoFrame: unexpected property source";
  VSFrameRef* f = new VSFrameRef;
  f->format = format;
  f->width = width;
  f->height = height;
  for (int p = 0; p < format->numPlanes; ++p) {
    f->pw[p] = p ? width >> format->subSamplingW : width;
    f->ph[p] = p ? height >> format->subSamplingH : height;
    f->stride[p] = (f->pw[p] * format->bytesPerSample + 31) & ~31;
    const size_t size = size_t(f->stride[p]) * size_t(f->ph[p]);
    f->planes[p] = static_cast<uint8_t*>(std::aligned_alloc(32, (size + 31) & ~size_t(31)));
    memset(f->planes[p], 0xCD, size);  // poison: unwritten samples show
  }
  g_core.frames.insert(f);
  return f;
}

void FreeFrame(const VSFrameRef* f) {
  for (uint8_t* p : f->planes) std::free(p);
  g_core.frames.erase(f);
  delete f;
}

// The plugin's own release of a frame it made and does not return.
void FreeFrameMember(const VSFrameRef* f) {
  Count(6);
  if (!f) return;
  if (!g_core.frames.count(f)) {
    ADD_FAILURE() << "freeFrame: not a live frame";
    return;
  }
  FreeFrame(f);
}

void CreateFilter(const VSMap* in, VSMap* out, const char* name, VSFilterInit init,
                  VSFilterGetFrame getFrame, VSFilterFree free, int filterMode, int flags,
                  void* instanceData, VSCore* core) {
  Count(17);
  EXPECT_EQ(core, &g_core);
  EXPECT_STREQ(name, "KWSource");
  EXPECT_EQ(filterMode, fmUnordered) << "createFilter: filter mode";
  EXPECT_EQ(flags, nfMakeLinear) << "createFilter: flags";
  if (!init || !getFrame || !free) {
    ADD_FAILURE() << "createFilter: missing callback";
    return;
  }
  EXPECT_FALSE(g_core.created) << "createFilter: called twice in one call";
  VSNode node;
  VSMap inCopy = *in;
  void* instance = instanceData;
  init(&inCopy, out, &instance, &node, core, &g_api);
  if (!out->error.empty()) {
    free(instance, core, &g_api);  // the host releases a refused filter
    return;
  }
  EXPECT_EQ(node.calls, 1) << "init must call setVideoInfo once";
  g_core.created = true;
  g_core.vi = node.vi;
  g_core.getFrame = getFrame;
  g_core.free = free;
  g_core.instance = instance;
  out->items["clip"] = {Value{true, 1, ""}};
}

void SetError(VSMap* map, const char* message) {
  Count(18);
  map->errorCalls++;
  EXPECT_EQ(map->errorCalls, 1) << "setError called more than once";
  EXPECT_NE(message, nullptr);
  map->items.clear();
  map->error = message ? message : "";
  EXPECT_FALSE(map->error.empty()) << "setError with an empty message";
}

void SetFilterError(const char* message, VSFrameContext* ctx) {
  Count(20);
  ctx->error = message ? message : "(null)";
}

const VSFormat* RegisterFormat(int colorFamily, int sampleType, int bitsPerSample, int subSamplingW,
                               int subSamplingH, VSCore* core) {
  Count(23);
  EXPECT_EQ(core, &g_core);
  const bool known = colorFamily == 1000000 || colorFamily == 2000000 || colorFamily == cmYUV ||
                     colorFamily == 4000000 || colorFamily == 5000000;
  if (!known || (sampleType != 0 && sampleType != 1) || bitsPerSample < 8 || bitsPerSample > 32 ||
      subSamplingW < 0 || subSamplingW > 4 || subSamplingH < 0 || subSamplingH > 4) {
    ADD_FAILURE() << "registerFormat: invalid format";
    return nullptr;
  }
  for (const VSFormat& f : g_core.formats)
    if (f.colorFamily == colorFamily && f.sampleType == sampleType &&
        f.bitsPerSample == bitsPerSample && f.subSamplingW == subSamplingW &&
        f.subSamplingH == subSamplingH)
      return &f;
  VSFormat f = {};
  snprintf(f.name, sizeof f.name, "Fmt%d_%d_%d_%d", colorFamily / 1000000, bitsPerSample,
           subSamplingW, subSamplingH);
  f.id = colorFamily + int(g_core.formats.size()) + 1;
  f.colorFamily = colorFamily;
  f.sampleType = sampleType;
  f.bitsPerSample = bitsPerSample;
  f.bytesPerSample = (bitsPerSample + 7) / 8;
  f.subSamplingW = subSamplingW;
  f.subSamplingH = subSamplingH;
  f.numPlanes = colorFamily == 1000000 ? 1 : 3;
  g_core.formats.push_back(f);
  return &g_core.formats.back();
}

bool PlaneOk(const VSFrameRef* f, int plane, const char* member) {
  if (!g_core.frames.count(f)) {
    ADD_FAILURE() << member << ": not a live frame";
    return false;
  }
  if (plane < 0 || plane >= f->format->numPlanes) {
    ADD_FAILURE() << member << ": plane " << plane << " out of range";
    return false;
  }
  return true;
}

int GetStride(const VSFrameRef* f, int plane) {
  Count(30);
  return PlaneOk(f, plane, "getStride") ? f->stride[plane] : 0;
}

uint8_t* GetWritePtr(VSFrameRef* f, int plane) {
  Count(32);
  return PlaneOk(f, plane, "getWritePtr") ? f->planes[plane] : nullptr;
}

void SetVideoInfo(const VSVideoInfo* vi, int numOutputs, VSNode* node) {
  Count(39);
  node->calls++;
  EXPECT_EQ(numOutputs, 1) << "setVideoInfo: outputs";
  if (!vi) {
    ADD_FAILURE() << "setVideoInfo: null video info";
    return;
  }
  EXPECT_TRUE(Registered(vi->format)) << "setVideoInfo: format not obtained from registerFormat";
  EXPECT_GT(vi->width, 0) << "setVideoInfo: width";
  EXPECT_GT(vi->height, 0) << "setVideoInfo: height";
  EXPECT_GT(vi->numFrames, 0) << "setVideoInfo: frame count";
  EXPECT_GT(vi->fpsNum, 0) << "setVideoInfo: rate numerator";
  EXPECT_GT(vi->fpsDen, 0) << "setVideoInfo: rate denominator";
  if (vi->fpsNum > 0 && vi->fpsDen > 0) {
    EXPECT_EQ(Gcd(vi->fpsNum, vi->fpsDen), 1) << "setVideoInfo: rate must be a reduced fraction";
  }
  if (Registered(vi->format)) {
    EXPECT_EQ(vi->width % (1 << vi->format->subSamplingW), 0) << "setVideoInfo: width vs subsampling";
    EXPECT_EQ(vi->height % (1 << vi->format->subSamplingH), 0) << "setVideoInfo: height vs subsampling";
  }
  node->vi = *vi;
}

int GetFrameWidth(const VSFrameRef* f, int plane) {
  Count(41);
  return PlaneOk(f, plane, "getFrameWidth") ? f->pw[plane] : 0;
}

int GetFrameHeight(const VSFrameRef* f, int plane) {
  Count(42);
  return PlaneOk(f, plane, "getFrameHeight") ? f->ph[plane] : 0;
}

VSMap* GetFramePropsRW(VSFrameRef* f) {
  Count(44);
  if (!g_core.frames.count(f)) {
    ADD_FAILURE() << "getFramePropsRW: not a live frame";
    return nullptr;
  }
  return &f->props;
}

// Error of a property read: 0, peUnset 1, peType 2, peIndex 4.
int Lookup(const VSMap* map, const char* key, int index, bool wantInt, const Value** v) {
  auto it = map->items.find(key ? key : "");
  if (it == map->items.end()) return peUnset;
  if (it->second.empty() || it->second[0].isInt != wantInt) return 2;
  if (index < 0 || static_cast<size_t>(index) >= it->second.size()) return 4;
  *v = &it->second[static_cast<size_t>(index)];
  return 0;
}

int64_t PropGetInt(const VSMap* map, const char* key, int index, int* error) {
  Count(49);
  const Value* v = nullptr;
  const int e = Lookup(map, key, index, true, &v);
  if (e && !error) ADD_FAILURE() << "propGetInt(" << key << ") failed without an error pointer";
  if (error) *error = e;
  return e ? 0 : v->i;
}

const char* PropGetData(const VSMap* map, const char* key, int index, int* error) {
  Count(51);
  const Value* v = nullptr;
  const int e = Lookup(map, key, index, false, &v);
  if (e && !error) ADD_FAILURE() << "propGetData(" << key << ") failed without an error pointer";
  if (error) *error = e;
  return e ? nullptr : v->d.c_str();
}

int PropGetDataSize(const VSMap* map, const char* key, int index, int* error) {
  Count(52);
  const Value* v = nullptr;
  const int e = Lookup(map, key, index, false, &v);
  if (e && !error) ADD_FAILURE() << "propGetDataSize(" << key << ") failed without an error pointer";
  if (error) *error = e;
  return e ? -1 : static_cast<int>(v->d.size());
}

int SetValue(VSMap* map, const char* key, const Value& v, int append) {
  std::vector<Value>& slot = map->items[key];
  if (append == paReplace) {
    slot = {v};
    return 0;
  }
  if (append == 1) {
    if (!slot.empty() && slot[0].isInt != v.isInt) return 1;
    slot.push_back(v);
    return 0;
  }
  ADD_FAILURE() << "property setter: append mode " << append;
  return 1;
}

int PropSetInt(VSMap* map, const char* key, int64_t i, int append) {
  Count(57);
  return SetValue(map, key, Value{true, i, ""}, append);
}

int PropSetData(VSMap* map, const char* key, const char* data, int size, int append) {
  Count(59);
  Value v;
  v.d = size < 0 ? std::string(data) : std::string(data, static_cast<size_t>(size));
  return SetValue(map, key, v, append);
}

template <int N>
constexpr VSUnusedFunction U() {
  return &Unexpected<N>;
}

VSAPI MakeApi() {
  VSAPI a = {};
  a.createCore = U<0>(); a.freeCore = U<1>(); a.getCoreInfo = U<2>(); a.cloneFrameRef = U<3>();
  a.cloneNodeRef = U<4>(); a.cloneFuncRef = U<5>(); a.freeFrame = FreeFrameMember; a.freeNode = U<7>();
  a.freeFunc = U<8>(); a.newVideoFrame = NewVideoFrame; a.copyFrame = U<10>();
  a.copyFrameProps = U<11>(); a.registerFunction = U<12>(); a.getPluginById = U<13>();
  a.getPluginByNs = U<14>(); a.getPlugins = U<15>(); a.getFunctions = U<16>();
  a.createFilter = CreateFilter; a.setError = SetError; a.getError = U<19>();
  a.setFilterError = SetFilterError; a.invoke = U<21>(); a.getFormatPreset = U<22>();
  a.registerFormat = RegisterFormat; a.getFrame = U<24>(); a.getFrameAsync = U<25>();
  a.getFrameFilter = U<26>(); a.requestFrameFilter = U<27>(); a.queryCompletedFrame = U<28>();
  a.releaseFrameEarly = U<29>(); a.getStride = GetStride; a.getReadPtr = U<31>();
  a.getWritePtr = GetWritePtr; a.createFunc = U<33>(); a.callFunc = U<34>();
  a.createMap = U<35>(); a.freeMap = U<36>(); a.clearMap = U<37>(); a.getVideoInfo = U<38>();
  a.setVideoInfo = SetVideoInfo; a.getFrameFormat = U<40>(); a.getFrameWidth = GetFrameWidth;
  a.getFrameHeight = GetFrameHeight; a.getFramePropsRO = U<43>();
  a.getFramePropsRW = GetFramePropsRW; a.propNumKeys = U<45>(); a.propGetKey = U<46>();
  a.propNumElements = U<47>(); a.propGetType = U<48>(); a.propGetInt = PropGetInt;
  a.propGetFloat = U<50>(); a.propGetData = PropGetData; a.propGetDataSize = PropGetDataSize;
  a.propGetNode = U<53>(); a.propGetFrame = U<54>(); a.propGetFunc = U<55>();
  a.propDeleteKey = U<56>(); a.propSetInt = PropSetInt; a.propSetFloat = U<58>();
  a.propSetData = PropSetData;
  return a;
}

// ---- entry-point callbacks

void ConfigPlugin(const char* identifier, const char* defaultNamespace, const char* name,
                  int apiVersion, int readonly, VSPlugin* plugin) {
  Plugin* p = plugin->plugin;
  p->configCalls++;
  EXPECT_EQ(p->configCalls, 1) << "configFunc called more than once";
  EXPECT_TRUE(p->functions.empty()) << "configFunc after registerFunc";
  p->identifier = identifier ? identifier : "";
  p->ns = defaultNamespace ? defaultNamespace : "";
  p->name = name ? name : "";
  p->apiVersion = apiVersion;
  p->readonly = readonly;
}

void RegisterFunction(const char* name, const char* args, VSPublicFunction func, void* data,
                      VSPlugin* plugin) {
  Plugin* p = plugin->plugin;
  EXPECT_EQ(p->configCalls, 1) << "registerFunc before configFunc";
  EXPECT_NE(func, nullptr);
  p->functions.push_back(Registration{name ? name : "", args ? args : "", func, data});
}

}  // namespace

const Registration* Plugin::find(const std::string& function) const {
  for (const Registration& r : functions)
    if (r.name == function) return &r;
  return nullptr;
}

const Plugin* Load(const std::string& path) {
  static std::map<std::string, Plugin> loaded;
  auto it = loaded.find(path);
  if (it != loaded.end()) return &it->second;
  g_api = MakeApi();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    ADD_FAILURE() << "dlopen " << path << ": " << dlerror();
    return nullptr;
  }
  void* sym = dlsym(handle, "VapourSynthPluginInit");
  if (!sym) {
    ADD_FAILURE() << "no VapourSynthPluginInit in " << path;
    return nullptr;
  }
  Plugin& p = loaded[path];
  VSPlugin vp{&p};
  reinterpret_cast<VSInitPlugin>(sym)(ConfigPlugin, RegisterFunction, &vp);
  return &p;
}

Args::Args() : map_(std::make_shared<VSMap>()) {}
Args::~Args() = default;

Args& Args::set(const std::string& key, int64_t value) {
  map_->items[key].push_back(Value{true, value, ""});
  return *this;
}

Args& Args::set(const std::string& key, const std::string& value) {
  map_->items[key].push_back(Value{false, 0, value});
  return *this;
}

uint32_t Frame::at(int p, int x, int y) const {
  const std::vector<uint8_t>& plane = planes.at(static_cast<size_t>(p));
  const size_t row = size_t(planeWidth.at(static_cast<size_t>(p))) * size_t(bytesPerSample);
  const size_t off = size_t(y) * row + size_t(x) * size_t(bytesPerSample);
  if (bytesPerSample == 1) return plane.at(off);
  return uint32_t(plane.at(off)) | uint32_t(plane.at(off + 1)) << 8;
}

std::unique_ptr<Clip> Invoke(const Plugin* plugin, const std::string& function, const Args& args) {
  std::unique_ptr<Clip> clip(new Clip);
  const Registration* r = plugin ? plugin->find(function) : nullptr;
  if (!r) {
    ADD_FAILURE() << "no function " << function;
    clip->error_ = "no such function";
    return clip;
  }
  VSMap out;
  g_core.created = false;
  r->func(args.map(), &out, r->data, &g_core, &g_api);
  if (!out.error.empty()) {
    EXPECT_FALSE(g_core.created) << "a filter was created although an error was set";
    clip->error_ = out.error;
    return clip;
  }
  if (!g_core.created) {
    ADD_FAILURE() << function << " neither created a filter nor set an error";
    clip->error_ = "nothing created";
    return clip;
  }
  clip->created_ = true;
  clip->vi_ = g_core.vi;
  clip->getFrame_ = g_core.getFrame;
  clip->free_ = g_core.free;
  clip->instance_ = g_core.instance;
  g_core.created = false;
  return clip;
}

Clip::~Clip() {
  if (created_ && free_) free_(instance_, &g_core, &g_api);
}

Frame Clip::getFrame(int n) {
  Frame fr;
  if (!created_) {
    ADD_FAILURE() << "getFrame on a clip that was not created";
    return fr;
  }
  VSFrameContext ctx;
  void* frameData = nullptr;
  const VSFrameRef* f = getFrame_(n, arInitial, &instance_, &frameData, &ctx, &g_core, &g_api);
  fr.error = ctx.error;
  if (!f) {
    if (ctx.error.empty()) ADD_FAILURE() << "getFrame(" << n << ") returned neither a frame nor an error";
    return fr;
  }
  if (!g_core.frames.count(f)) {
    ADD_FAILURE() << "getFrame(" << n << ") returned a frame the host did not make";
    return fr;
  }
  EXPECT_TRUE(ctx.error.empty()) << "getFrame returned a frame and set an error";
  EXPECT_EQ(f->format, vi_.format) << "frame format differs from the clip's";
  EXPECT_EQ(f->width, vi_.width);
  EXPECT_EQ(f->height, vi_.height);
  fr.ok = true;
  fr.width = f->width;
  fr.height = f->height;
  fr.bytesPerSample = f->format->bytesPerSample;
  for (int p = 0; p < f->format->numPlanes; ++p) {
    fr.planeWidth.push_back(f->pw[p]);
    fr.planeHeight.push_back(f->ph[p]);
    fr.stride.push_back(f->stride[p]);
    std::vector<uint8_t> rows;
    const size_t row = size_t(f->pw[p]) * size_t(fr.bytesPerSample);
    for (int y = 0; y < f->ph[p]; ++y)
      rows.insert(rows.end(), f->planes[p] + size_t(y) * size_t(f->stride[p]),
                  f->planes[p] + size_t(y) * size_t(f->stride[p]) + row);
    fr.planes.push_back(std::move(rows));
  }
  for (const auto& kv : f->props.items) {
    if (kv.second.empty()) continue;
    if (kv.second[0].isInt)
      fr.intProps[kv.first] = kv.second[0].i;
    else
      fr.dataProps[kv.first] = kv.second[0].d;
  }
  FreeFrame(f);
  return fr;
}

bool Clip::ignoresActivation(int n, int reason) {
  VSFrameContext ctx;
  void* frameData = nullptr;
  const VSFrameRef* f = getFrame_(n, reason, &instance_, &frameData, &ctx, &g_core, &g_api);
  if (f) {
    if (g_core.frames.count(f)) FreeFrame(f);
    return false;
  }
  return ctx.error.empty();
}

std::map<int, int> CallCounts() { return g_counts; }
void ResetCallCounts() { g_counts.clear(); }

}  // namespace vshost
