// Our declarations of the part of the VapourSynth plugin interface, API 3,
// that Pemmick uses. VapourSynth loads the plugin built against these, so
// every record and every table offset here must match the host's ABI on
// x86-64 Linux (no calling-convention decoration on that platform).
//
// The function table is declared up to its last member that Pemmick calls
// (propSetData, member 59); members before that which Pemmick never calls are
// opaque pointers, kept only so that the offsets of the used ones are right.
// A host may supply a longer table (API 3.6 has 77 members): only the prefix
// declared here is ever read.
#pragma once

#include <cstdint>

extern "C" {

// Opaque host objects.
typedef struct VSCore VSCore;
typedef struct VSMap VSMap;
typedef struct VSNode VSNode;
typedef struct VSNodeRef VSNodeRef;
typedef struct VSFrameRef VSFrameRef;
typedef struct VSFrameContext VSFrameContext;
typedef struct VSPlugin VSPlugin;

// API version 3.5, as configFunc takes it: major << 16 | minor.
constexpr int VS_API_VERSION_3_5 = 0x30005;

// Colour families and sample types.
constexpr int cmYUV = 3000000;
constexpr int stInteger = 0;

// Filter modes and node flags of createFilter.
constexpr int fmUnordered = 300;
constexpr int nfMakeLinear = 4;

// Activation reasons of getFrame.
constexpr int arInitial = 0;

// Append modes of the property setters.
constexpr int paReplace = 0;

// Error bits of the property getters.
constexpr int peUnset = 1;

// A format as the host registers it. 32 name bytes, then eight ints.
struct VSFormat {
  char name[32];
  int id;
  int colorFamily;
  int sampleType;
  int bitsPerSample;
  int bytesPerSample;
  int subSamplingW;
  int subSamplingH;
  int numPlanes;
};

// The video information handed to setVideoInfo.
struct VSVideoInfo {
  const VSFormat* format;
  int64_t fpsNum;
  int64_t fpsDen;
  int width;
  int height;
  int numFrames;
  int flags;
};

struct VSAPI;

typedef void (*VSPublicFunction)(const VSMap* in, VSMap* out, void* userData, VSCore* core,
                                 const VSAPI* vsapi);
typedef void (*VSRegisterFunction)(const char* name, const char* args, VSPublicFunction argsFunc,
                                   void* functionData, VSPlugin* plugin);
typedef void (*VSConfigPlugin)(const char* identifier, const char* defaultNamespace,
                               const char* name, int apiVersion, int readonly, VSPlugin* plugin);
typedef void (*VSInitPlugin)(VSConfigPlugin configFunc, VSRegisterFunction registerFunc,
                             VSPlugin* plugin);

typedef void (*VSFilterInit)(VSMap* in, VSMap* out, void** instanceData, VSNode* node,
                             VSCore* core, const VSAPI* vsapi);
typedef const VSFrameRef* (*VSFilterGetFrame)(int n, int activationReason, void** instanceData,
                                              void** frameData, VSFrameContext* frameCtx,
                                              VSCore* core, const VSAPI* vsapi);
typedef void (*VSFilterFree)(void* instanceData, VSCore* core, const VSAPI* vsapi);

// A table slot that Pemmick never calls.
typedef void (*VSUnusedFunction)(void);

// The host's function table, members 0 to 59 in the host's order.
struct VSAPI {
  VSUnusedFunction createCore;            // 0
  VSUnusedFunction freeCore;              // 1
  VSUnusedFunction getCoreInfo;           // 2
  VSUnusedFunction cloneFrameRef;         // 3
  VSUnusedFunction cloneNodeRef;          // 4
  VSUnusedFunction cloneFuncRef;          // 5
  void (*freeFrame)(const VSFrameRef* f);  // 6: a frame made and not returned
  VSUnusedFunction freeNode;              // 7
  VSUnusedFunction freeFunc;              // 8
  VSFrameRef* (*newVideoFrame)(const VSFormat* format, int width, int height,
                               const VSFrameRef* propSrc, VSCore* core);          // 9
  VSUnusedFunction copyFrame;             // 10
  VSUnusedFunction copyFrameProps;        // 11
  VSUnusedFunction registerFunction;      // 12
  VSUnusedFunction getPluginById;         // 13
  VSUnusedFunction getPluginByNs;         // 14
  VSUnusedFunction getPlugins;            // 15
  VSUnusedFunction getFunctions;          // 16
  void (*createFilter)(const VSMap* in, VSMap* out, const char* name, VSFilterInit init,
                       VSFilterGetFrame getFrame, VSFilterFree free, int filterMode, int flags,
                       void* instanceData, VSCore* core);                          // 17
  void (*setError)(VSMap* map, const char* errorMessage);                         // 18
  VSUnusedFunction getError;              // 19
  void (*setFilterError)(const char* errorMessage, VSFrameContext* frameCtx);     // 20
  VSUnusedFunction invoke;                // 21
  VSUnusedFunction getFormatPreset;       // 22
  const VSFormat* (*registerFormat)(int colorFamily, int sampleType, int bitsPerSample,
                                    int subSamplingW, int subSamplingH, VSCore* core);  // 23
  VSUnusedFunction getFrame;              // 24
  VSUnusedFunction getFrameAsync;         // 25
  VSUnusedFunction getFrameFilter;        // 26
  VSUnusedFunction requestFrameFilter;    // 27
  VSUnusedFunction queryCompletedFrame;   // 28
  VSUnusedFunction releaseFrameEarly;     // 29
  int (*getStride)(const VSFrameRef* f, int plane);                               // 30
  VSUnusedFunction getReadPtr;            // 31
  uint8_t* (*getWritePtr)(VSFrameRef* f, int plane);                              // 32
  VSUnusedFunction createFunc;            // 33
  VSUnusedFunction callFunc;              // 34
  VSUnusedFunction createMap;             // 35
  VSUnusedFunction freeMap;               // 36
  VSUnusedFunction clearMap;              // 37
  VSUnusedFunction getVideoInfo;          // 38
  void (*setVideoInfo)(const VSVideoInfo* vi, int numOutputs, VSNode* node);      // 39
  VSUnusedFunction getFrameFormat;        // 40
  int (*getFrameWidth)(const VSFrameRef* f, int plane);                           // 41
  int (*getFrameHeight)(const VSFrameRef* f, int plane);                          // 42
  VSUnusedFunction getFramePropsRO;       // 43
  VSMap* (*getFramePropsRW)(VSFrameRef* f);                                       // 44
  VSUnusedFunction propNumKeys;           // 45
  VSUnusedFunction propGetKey;            // 46
  VSUnusedFunction propNumElements;       // 47
  VSUnusedFunction propGetType;           // 48
  int64_t (*propGetInt)(const VSMap* map, const char* key, int index, int* error); // 49
  VSUnusedFunction propGetFloat;          // 50
  const char* (*propGetData)(const VSMap* map, const char* key, int index, int* error);  // 51
  int (*propGetDataSize)(const VSMap* map, const char* key, int index, int* error);      // 52
  VSUnusedFunction propGetNode;           // 53
  VSUnusedFunction propGetFrame;          // 54
  VSUnusedFunction propGetFunc;           // 55
  VSUnusedFunction propDeleteKey;         // 56
  int (*propSetInt)(VSMap* map, const char* key, int64_t i, int append);          // 57
  VSUnusedFunction propSetFloat;          // 58
  int (*propSetData)(VSMap* map, const char* key, const char* data, int size, int append);  // 59
};

}  // extern "C"

// The layout facts the host relies on; a mismatch here would misplace every call.
static_assert(sizeof(VSFormat) == 32 + 8 * sizeof(int), "VSFormat layout");
static_assert(sizeof(VSVideoInfo) == 8 + 2 * 8 + 4 * 4, "VSVideoInfo layout");
static_assert(sizeof(VSAPI) == 60 * sizeof(void*), "VSAPI prefix length");
