// The KWSource filter: plugin entry point, argument checks, construction of
// the filter instance and its teardown. Frame production plugs in at
// VSVideoSource::GetFrame.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "decoder.h"
#include "vs/vsapi3.h"

// The arguments of KWSource, as read from the host's map (absent optional
// arguments take their defaults; integers outside 32 bits are saturated, so
// that the range checks see them).
struct KWSourceArgs {
  std::string source;
  int i420 = 0;
  int deinterlace = 0;
  int use_top_field = 1;
  int use_pf = 0;
  int ct = 0, cb = 0, cl = 0, cr = 0;
  int rw = 0, rh = 0;
  int fieldop = 0;
  int show = 0;
  std::string show2;
  int strict_avc = 0;
};

class VSVideoSource {
 public:
  // Throws std::runtime_error with the message to report on failure; no
  // thread or open file is left behind then.
  VSVideoSource(const KWSourceArgs& args, VSCore* core, const VSAPI* vsapi);
  ~VSVideoSource();
  VSVideoSource(const VSVideoSource&) = delete;
  VSVideoSource& operator=(const VSVideoSource&) = delete;

  static void Init(VSMap* in, VSMap* out, void** instanceData, VSNode* node, VSCore* core,
                   const VSAPI* vsapi);
  static const VSFrameRef* GetFrame(int n, int activationReason, void** instanceData,
                                    void** frameData, VSFrameContext* frameCtx, VSCore* core,
                                    const VSAPI* vsapi);
  static void Free(void* instanceData, VSCore* core, const VSAPI* vsapi);

  // Overlay (overlay.cpp): 10 x 20 glyphs, one 16-bit word per row, bit 15
  // the leftmost pixel; glyph k draws character code k + 32.
  static const std::array<std::array<uint16_t, 20>, 500> vsfont;
  static void VSDrawDigit(VSFrameRef* frame, const VSAPI* vsapi, int column, int row, int offsetX,
                          int offsetY, int glyph, bool sixteen);
  static void VSDrawString(VSFrameRef* frame, const VSAPI* vsapi, int column, int row, int offsetX,
                           int offsetY, const char* text, bool sixteen);

  VSVideoInfo vi = {};
  YV12PICT* out = nullptr;           // bare record, pointed at each new frame's planes
  YV12PICT* saved_store = nullptr;
  YV12PICT* saved_active = nullptr;
  int last_frame = -1;               // last delivered display frame
  CAVCDecoder dec;
  // Frames without a picture of their own (a lost slot of the index, or
  // one the decoder delivered none for), as far as found: each is served
  // with the picture of the nearest frame before it that has one. The
  // picture last served so is kept with its frame, so that a run of such
  // frames is served without decoding again.
  std::vector<char> no_picture;
  YV12PICT* stand_in = nullptr;
  int stand_in_frame = -1;

 private:
  // Frame delivery (delivery.cpp). Each returns how the frame in `out` ended.
  // SERVED_MISSING: the frame has no picture of its own (damage); `out`
  // holds nothing of it.
  enum Served { SERVED, SERVED_CUDA_ERROR, SERVED_FAILED, SERVED_MISSING };
  // Serves frame n, or the frame whose picture stands in for it (*shown).
  Served Serve(int n, std::string* error, int* shown);
  Served ServeOwn(int n, std::string* error);
  // A display frame made of a picture that the index lists as lost.
  bool FrameLost(int n) const;
  Served Sequential(int n, std::string* error);
  Served RandomAccess(int n, std::string* error);
  Served CopyFetched(FetchResult r, int n, std::string* error);
  Served NotDelivered();
  void CopyHost();
  void DrawOverlay(VSFrameRef* frame, const VSAPI* vsapi, int n) const;
  // shown: the frame whose picture frame n shows (n, or the frame before
  // it that stands in for a frame without a picture).
  void SetProperties(VSFrameRef* frame, const VSAPI* vsapi, int n, int shown) const;
  // The record of display frame n (n / 2 at double rate), whose first two
  // words name the frame's pictures, and the record of the coded picture
  // that supplies its top field, whose other words describe that picture.
  // With pulldown or force film the two indexes differ. Records outside the
  // table read as an unknown picture 0.
  const FrameRecord& DisplayRecord(int n) const;
  const FrameRecord& PictureRecord(int n) const;
  int bytes_per_sample() const { return vi.format && vi.format->bytesPerSample == 2 ? 2 : 1; }

  // Stops the decode thread. False when it did not leave: the instance must
  // then stay allocated.
  bool Release();
};

// Registered as KWSource.
void CreateKWSource(const VSMap* in, VSMap* out, void* userData, VSCore* core, const VSAPI* vsapi);

extern "C" __attribute__((visibility("default"))) void VapourSynthPluginInit(
    VSConfigPlugin configFunc, VSRegisterFunction registerFunc, VSPlugin* plugin);
