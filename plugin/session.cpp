// GPU decode session: the CUDA context and page-locked host buffer, the
// CUVID parser with its three callbacks, the CUVID decoder, the two-slot
// display queue and the copy of each displayed picture into the host buffer.
//
// Every CUDA/CUVID call goes through the table of cuvid_api.h, so the same
// code runs on the driver libraries and on the CPU stand-in.
//
// No exception leaves a parser callback or the decode thread: the callbacks
// are called from inside cuvidParseVideoData (C code), so each one catches,
// keeps the message for the log and reports failure by returning 0.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "cuvid_api.h"
#include "decoder.h"

using namespace neosmart;

namespace {

// Parser and decoder sizes of the session.
constexpr unsigned kDecodeSurfaces = 20;
constexpr unsigned kErrorThreshold = 100;
constexpr unsigned kMaxDisplayDelay = 4;

// Codec numbers of the plugin to CUVID codec types; -1: not a codec number.
const int kCuvidCodec[] = {
    nv::cudaVideoCodec_H264,   // 0 AVC
    nv::cudaVideoCodec_VC1,    // 1 VC-1
    nv::cudaVideoCodec_MPEG1,  // 2 MPEG-1
    nv::cudaVideoCodec_MPEG2,  // 3 MPEG-2
    nv::cudaVideoCodec_HEVC,   // 4 HEVC
};

// Header of the host buffer, in this order.
struct HostHeader {
  uint32_t width;
  uint32_t height;
  uint32_t pitch;
  uint32_t progressive_frame;
};
static_assert(sizeof(HostHeader) == HOST_HEADER_SIZE, "host header is four 32-bit words");

// Parser callbacks: plain functions that find the decoder object through the
// session. A failure in the member is kept and reported as 0.
template <typename Arg, int (CAVCDecoder::*Member)(DecodeSession*, Arg*)>
int Callback(void* user, Arg* arg) {
  DecodeSession* s = static_cast<DecodeSession*>(user);
  if (!s || !s->owner || !arg) return 0;
  try {
    return (s->owner->*Member)(s, arg);
  } catch (const std::exception& e) {
    s->owner->thread_message = e.what();
  } catch (...) {
    s->owner->thread_message = "unknown failure in a parser callback";
  }
  return 0;
}

int HandleVideoSequence(void* user, nv::CUVIDEOFORMAT* format) {
  return Callback<nv::CUVIDEOFORMAT, &CAVCDecoder::DHandleVideoSequence>(user, format);
}
int HandlePictureDecode(void* user, nv::CUVIDPICPARAMS* picture) {
  return Callback<nv::CUVIDPICPARAMS, &CAVCDecoder::DHandlePictureDecode>(user, picture);
}
int HandlePictureDisplay(void* user, nv::CUVIDPARSERDISPINFO* display) {
  return Callback<nv::CUVIDPARSERDISPINFO, &CAVCDecoder::DHandlePictureDisplay>(user, display);
}

void Fail(const std::string& message) { throw std::runtime_error(message); }

}  // namespace

// ---------------------------------------------------------------- CUDA context

bool CAVCDecoder::InitCuda() {
  std::string why;
  cuvid = cuvid_api(&why);
  if (!cuvid || cuvid->cuInit(0) != nv::CUDA_SUCCESS) Fail("cuInit() failed");
  // The device step reports under the next step's name.
  if (cuvid->cuDeviceGet(&cu_device, device) != nv::CUDA_SUCCESS) Fail("cuCtxCreate() failed");
  if (cuvid->cuCtxCreate(&cu_context, 0, cu_device) != nv::CUDA_SUCCESS) {
    cu_context = nullptr;
    Fail("cuCtxCreat() failed");
  }
  // The new context is current on this thread until popped, also on failure.
  void* host = nullptr;
  const bool allocated = cuvid->cuMemHostAlloc(&host, HOST_BUFFER_SIZE, 0) == nv::CUDA_SUCCESS;
  nv::CUcontext popped = nullptr;
  cuvid->cuCtxPopCurrent(&popped);
  if (!allocated || !host) Fail("cuMemHostAlloc() failed");
  host_buffer = static_cast<unsigned char*>(host);
  // No picture yet: a zero width marks the buffer empty.
  memset(host_buffer, 0, HOST_HEADER_SIZE);
  if (cuvid->cuvidCtxLockCreate(&ctx_lock, cu_context) != nv::CUDA_SUCCESS) {
    ctx_lock = nullptr;
    Fail("cuvidCtxLockCreate() failed");
  }
  session.queue[0].picture_index = session.queue[1].picture_index = -1;
  session.current = 0;
  return true;
}

// Idempotent: every handle is cleared as it is released, so a second call
// (failed open, then teardown) releases nothing twice.
bool CAVCDecoder::DeinitCuda() {
  if (!cuvid) return true;
  if (ctx_lock) {
    cuvid->cuvidCtxLockDestroy(ctx_lock);
    ctx_lock = nullptr;
  }
  if (cu_context) {
    cuvid->cuCtxPushCurrent(cu_context);
    if (host_buffer) cuvid->cuMemFreeHost(host_buffer);
    host_buffer = nullptr;
    cuvid->cuCtxDestroy(cu_context);  // also pops it from this thread
    cu_context = nullptr;
  }
  return true;
}

// ---------------------------------------------------------------- parser and decoder life

void CAVCDecoder::FillParserParams() {
  parser_params = nv::CUVIDPARSERPARAMS{};
  parser_params.CodecType = session.codec_type;
  parser_params.ulMaxNumDecodeSurfaces = kDecodeSurfaces;
  parser_params.ulClockRate = 0;
  parser_params.ulErrorThreshold = kErrorThreshold;
  parser_params.ulMaxDisplayDelay = kMaxDisplayDelay;
  parser_params.pUserData = &session;
  parser_params.pfnSequenceCallback = HandleVideoSequence;
  parser_params.pfnDecodePicture = HandlePictureDecode;
  parser_params.pfnDisplayPicture = HandlePictureDisplay;
}

int CAVCDecoder::decoder_open() {
  session.codec_type = nv::cudaVideoCodec_MPEG1;
  session.parser = nullptr;
  session.decoder = nullptr;
  session.create_info = nv::CUVIDDECODECREATEINFO{};
  session.queue[0] = session.queue[1] = nv::CUVIDPARSERDISPINFO{};
  session.queue[0].picture_index = session.queue[1].picture_index = -1;
  session.current = 0;
  session.owner = this;
  try {
    InitCuda();
    FillParserParams();
    if (cuvid->cuvidCreateVideoParser(&session.parser, &parser_params) != nv::CUDA_SUCCESS) {
      session.parser = nullptr;
      Fail("cuvidCreateVideoParser() failed");
    }
  } catch (const std::exception& e) {
    thread_message = e.what();
    gpu_failed.store(true);
    decoder_close();
    return -1;
  }
  session.queue[0].picture_index = session.queue[1].picture_index = -1;
  return 0;
}

int CAVCDecoder::decoder_set_mode(int deint, int top_field, int pf, int codec_number, int w, int h,
                                  int left, int right, int top, int bottom) {
  session.deinterlace = deint;
  session.use_top_field = top_field;
  session.use_pf = pf;
  session.rw = w;
  session.rh = h;
  session.cl = left;
  session.cr = right;
  session.ct = top;
  session.cb = bottom;
  if (codec_number >= 0 && static_cast<size_t>(codec_number) < std::size(kCuvidCodec))
    session.codec_type = static_cast<nv::cudaVideoCodec>(kCuvidCodec[codec_number]);
  recreate = true;
  return 0;
}

int CAVCDecoder::decoder_reset() {
  // A session that never opened, or was closed by a failure, stays closed:
  // without a context and host buffer nothing could be delivered.
  if (!cuvid || !cu_context || !host_buffer) return -1;
  if (session.parser) cuvid->cuvidDestroyVideoParser(session.parser);
  session.parser = nullptr;
  FillParserParams();
  session.owner = this;
  if (cuvid->cuvidCreateVideoParser(&session.parser, &parser_params) != nv::CUDA_SUCCESS) {
    session.parser = nullptr;
    thread_message = "cuvidCreateVideoParser() failed";
    gpu_failed.store(true);
    decoder_close();
    return -1;
  }
  session.queue[0].picture_index = session.queue[1].picture_index = -1;
  session.current = 0;
  return 0;
}

int CAVCDecoder::decoder_flush() {
  if (!cuvid || !session.parser) return 0;
  FeedHeldUnits();
  nv::CUVIDSOURCEDATAPACKET packet = {};
  packet.flags = nv::CUVID_PKT_ENDOFSTREAM;
  cuvid->cuvidParseVideoData(session.parser, &packet);
  DisplayHeld(&session);
  return 0;
}

void CAVCDecoder::DisplayHeld(DecodeSession* s) {
  // Both queued pictures leave, the older (current slot) first.
  for (int k = 0; k < 2; ++k) {
    nv::CUVIDPARSERDISPINFO& slot = s->queue[s->current];
    if (slot.picture_index >= 0) {
      const nv::CUVIDPARSERDISPINFO held = slot;
      slot.picture_index = -1;
      DisplayPicture(s, &held);
    }
    s->current ^= 1;
  }
}

int CAVCDecoder::decoder_close() {
  if (cuvid) {
    if (session.decoder) cuvid->cuvidDestroyDecoder(session.decoder);
    session.decoder = nullptr;
    decoder_alive.store(false);
    if (session.parser) cuvid->cuvidDestroyVideoParser(session.parser);
    session.parser = nullptr;
  }
  DeinitCuda();
  return 0;
}

// ---------------------------------------------------------------- feeding units

u32 CAVCDecoder::decoder_decode_nalu(unsigned char* bytes, u32 length) {
  if (!cuvid || !session.parser || !bytes || length < 4) return length;
  if (codec == CODEC_MPEG2) FollowMpgSize(bytes, length);
  if (codec == CODEC_MPEG2 && bytes[3] == 0xB3 && length >= 11) {
    // bit_rate_value (18 bits from byte 8) becomes 1; the marker bit and
    // vbv_buffer_size in byte 10 are kept.
    bytes[8] = 0;
    bytes[9] = 0;
    bytes[10] = static_cast<unsigned char>((bytes[10] & 0x3F) | 0x40);
  }
  if (codec == CODEC_HEVC) {
    FeedHevcUnit(bytes, length);
    return length;
  }
  if (codec == CODEC_AVC) {
    FeedAvcUnit(bytes, length);
    return length;
  }
  if (codec == CODEC_MPEG2) {
    FeedMpegUnit(bytes, length);
    return length;
  }
  if (codec == CODEC_VC1) {
    FeedVc1Unit(bytes, length);
    return length;
  }
  TagUnit(bytes, length);
  SendUnit(bytes, length);
  return length;
}

void CAVCDecoder::SendUnit(unsigned char* bytes, u32 length) {
  nv::CUVIDSOURCEDATAPACKET packet = {};
  packet.payload = bytes;
  packet.payload_size = length;
  packet.flags = nv::CUVID_PKT_TIMESTAMP;
  packet.timestamp = tag.current;
  cuvid->cuvidParseVideoData(session.parser, &packet);
}

// The size follows the index's rule: the sequence extension gives the
// horizontal size and the vertical size in whole macroblock rows, a sequence
// display extension its display size. MPEG-1 streams give none.
void CAVCDecoder::FollowMpgSize(const unsigned char* bytes, u32 length) {
  const bool after_sequence = mpg_after_sequence;
  mpg_after_sequence = false;
  if (length < 4) return;
  // n bits from bit `at` after the start code; -1 past the unit's end.
  auto bits = [&](u32 at, u32 n) -> long {
    if ((at + n + 7) / 8 > length - 4) return -1;
    long v = 0;
    for (u32 k = at; k < at + n; ++k) v = (v << 1) | ((bytes[4 + k / 8] >> (7 - k % 8)) & 1);
    return v;
  };
  if (bytes[3] == 0xB3) {
    const long h = bits(0, 12), v = bits(12, 12);
    if (h < 0 || v < 0) return;
    mpg_horizontal = static_cast<int>(h);
    mpg_vertical = static_cast<int>(v);
    mpg_after_sequence = true;
  } else if (bytes[3] == 0xB5 && bits(0, 4) == 1 && after_sequence) {
    const long h_ext = bits(15, 2), v_ext = bits(17, 2);
    if (h_ext < 0 || v_ext < 0) return;
    mpg_horizontal |= static_cast<int>(h_ext) << 12;
    mpg_vertical |= static_cast<int>(v_ext) << 12;
    mpg_width = mpg_horizontal;
    mpg_height = (mpg_vertical + 15) & ~15;
  } else if (bytes[3] == 0xB5 && bits(0, 4) == 2) {
    const u32 at = bits(7, 1) == 1 ? 32 : 8;
    const long dh = bits(at, 14), dv = bits(at + 15, 14);
    if (dh < 0 || dv < 0) return;
    mpg_width = static_cast<int>(dh);
    mpg_height = static_cast<int>(dv);
  }
}

// ---------------------------------------------------------------- callbacks

int CAVCDecoder::DHandleVideoSequence(DecodeSession* s, nv::CUVIDEOFORMAT* f) {
  if (f->coded_width > MAX_CODED_WIDTH || f->coded_height > MAX_CODED_HEIGHT)
    Fail("Coded frame size is too large");
  // The picture size as the index counts it: the stream's size less its
  // cropping (AVC, HEVC), the sizes of the sequence header and its
  // extensions (MPEG-2). Not followed for VC-1.
  int picture_width = 0, picture_height = 0;
  if (codec == CODEC_AVC || codec == CODEC_HEVC) {
    picture_width = f->display_area.right - f->display_area.left;
    picture_height = f->display_area.bottom - f->display_area.top;
  } else if (codec == CODEC_MPEG2) {
    picture_width = mpg_width;
    picture_height = mpg_height;
  }
  // Pictures of another size are decoded, so that the pass still counts
  // them, but never served: their requests fail.
  const bool other_size = picture_width > 0 && (picture_width != width || picture_height != height);
  // The index's SIZE is the stream's picture size (coded sizes are rounded
  // up to whole blocks): a larger one belongs to another stream, and every
  // frame would be mostly blank. Where the size is followed, each picture's
  // request says so instead.
  constexpr int kBlockSlack = 64;
  if (picture_width <= 0 &&
      (width > int(f->coded_width) + kBlockSlack || height > int(f->coded_height) + kBlockSlack))
    Fail("the stream's pictures are " + std::to_string(f->coded_width) + " x " + std::to_string(f->coded_height) +
         ", the index's SIZE is " + std::to_string(width) + " x " + std::to_string(height));
  nv::CUVIDDECODECREATEINFO& ci = s->create_info;
  // The decoder is kept while codec, coded size, chroma format and bit depth
  // are unchanged: a deeper stream with the same size needs other surfaces.
  const bool keep = s->decoder && !recreate && ci.CodecType == f->codec && ci.ulWidth == f->coded_width &&
                    ci.ulHeight == f->coded_height && ci.ChromaFormat == f->chroma_format &&
                    ci.bitDepthMinus8 == f->bit_depth_luma_minus8;
  // The pictures held for display belong to the format before: they leave
  // before the decoder that holds them goes and before the size changes.
  if (!keep || picture_width != s->picture_width || picture_height != s->picture_height) DisplayHeld(s);
  s->picture_width = picture_width;
  s->picture_height = picture_height;
  if (keep) return 1;
  recreate = false;
  if (s->decoder) cuvid->cuvidDestroyDecoder(s->decoder);
  s->decoder = nullptr;
  decoder_alive.store(false);
  ci = nv::CUVIDDECODECREATEINFO{};
  ci.ulWidth = f->coded_width;
  ci.ulHeight = f->coded_height;
  ci.ulNumDecodeSurfaces = kDecodeSurfaces;
  ci.CodecType = f->codec;
  ci.ChromaFormat = f->chroma_format;
  ci.ulCreationFlags = nv::cudaVideoCreate_PreferCUVID;
  ci.bitDepthMinus8 = f->bit_depth_luma_minus8;
  if (f->bit_depth_luma_minus8 > 0) {
    ci.OutputFormat = nv::cudaVideoSurfaceFormat_P016;
    ci.DeinterlaceMode = nv::cudaVideoDeinterlaceMode_Weave;
    s->deinterlace = 0;  // deeper pictures are always woven
  } else {
    ci.OutputFormat = nv::cudaVideoSurfaceFormat_NV12;
    ci.DeinterlaceMode = s->deinterlace ? nv::cudaVideoDeinterlaceMode_Adaptive
                                        : nv::cudaVideoDeinterlaceMode_Weave;
  }
  ci.ulNumOutputSurfaces = 1;
  ci.vidLock = ctx_lock;
  // Crops and the output size apply to pictures of the index's size.
  const bool crop = !other_size && (s->cl || s->cr || s->ct || s->cb);
  const bool resize = !other_size && s->rw && s->rh;
  if (crop) {
    const int right = f->display_area.right - s->cr;
    const int bottom = f->display_area.bottom - s->cb;
    if (right <= s->cl || bottom <= s->ct) Fail("Crops leave no picture");
    ci.display_area.left = static_cast<short>(s->cl);
    ci.display_area.top = static_cast<short>(s->ct);
    ci.display_area.right = static_cast<short>(right);
    ci.display_area.bottom = static_cast<short>(bottom);
    ci.ulTargetWidth = resize ? s->rw : right - s->cl;
    ci.ulTargetHeight = resize ? s->rh : bottom - s->ct;
  } else if (resize) {
    ci.display_area.right = static_cast<short>(f->display_area.right);
    ci.display_area.bottom = static_cast<short>(f->display_area.bottom);
    ci.ulTargetWidth = s->rw;
    ci.ulTargetHeight = s->rh;
  } else {
    ci.ulTargetWidth = f->coded_width;
    ci.ulTargetHeight = f->coded_height;
  }
  video_full_range_flag = f->video_signal_description.video_full_range_flag;
  const nv::CUresult r = cuvid->cuvidCreateDecoder(&s->decoder, &ci);
  if (r != nv::CUDA_SUCCESS) {
    s->decoder = nullptr;
    gpu_failed.store(true);
    Fail("Failed to create video decoder (" + std::to_string(static_cast<int>(r)) + ").");
  }
  decoder_alive.store(true);
  return 1;
}

int CAVCDecoder::DHandlePictureDecode(DecodeSession* s, nv::CUVIDPICPARAMS* p) {
  if (p->CurrPicIdx < 0) Fail("Invalid picture index");
  // A surface that is still queued for display is shown before it is
  // decoded into again: oldest slot first, alternating.
  int slot = s->current;
  for (int k = 0; k < 2 && (s->queue[0].picture_index == p->CurrPicIdx ||
                            s->queue[1].picture_index == p->CurrPicIdx);
       ++k, slot ^= 1) {
    if (s->queue[slot].picture_index < 0) continue;
    const nv::CUVIDPARSERDISPINFO held = s->queue[slot];
    s->queue[slot].picture_index = -1;
    DisplayPicture(s, &held);
  }
  if (s->codec_type == nv::cudaVideoCodec_H264) {
    for (nv::CUVIDH264DPBENTRY& e : p->CodecSpecific.h264.dpb)
      if (e.not_existing) e.used_for_reference = 0;
  }
  if (!s->decoder) return 0;  // no decoder for this format: the picture is skipped
  if (cuvid->cuvidDecodePicture(s->decoder, p) != nv::CUDA_SUCCESS)
    Fail("cuvidDecodePicture() error");
  return 1;
}

int CAVCDecoder::DHandlePictureDisplay(DecodeSession* s, nv::CUVIDPARSERDISPINFO* d) {
  nv::CUVIDPARSERDISPINFO& slot = s->queue[s->current];
  if (slot.picture_index >= 0) {
    const nv::CUVIDPARSERDISPINFO held = slot;
    slot.picture_index = -1;
    DisplayPicture(s, &held);
  }
  slot = *d;
  s->current ^= 1;
  return 1;
}

// ---------------------------------------------------------------- display step

const unsigned char* CAVCDecoder::HostPicture(u32* width, u32* height, u32* pitch) const {
  if (!host_buffer) return nullptr;
  HostHeader h;
  memcpy(&h, host_buffer, sizeof h);
  if (h.width == 0 || h.height == 0 || h.pitch == 0) return nullptr;
  *width = h.width;
  *height = h.height;
  *pitch = h.pitch;
  return host_buffer + HOST_HEADER_SIZE;
}

// Maps the surface, copies it into the host buffer under the context lock
// and unmaps it. The header is written only after a complete copy; a failed
// copy leaves the buffer marked empty, so it is never served as a picture.
bool CAVCDecoder::MapAndCopy(DecodeSession* s, int picture_index, nv::CUVIDPROCPARAMS* proc) {
  if (!s->decoder || !host_buffer || !ctx_lock) return false;
  unsigned long long device_ptr = 0;
  unsigned int pitch = 0;
  if (cuvid->cuvidMapVideoFrame64(s->decoder, picture_index, &device_ptr, &pitch, proc) !=
      nv::CUDA_SUCCESS)
    return false;
  const size_t w = s->create_info.ulTargetWidth;
  const size_t h = s->create_info.ulTargetHeight;
  const size_t bytes = size_t(pitch) * (h + h / 2);
  bool ok = pitch > 0 && w > 0 && h > 0 && bytes <= HOST_BUFFER_SIZE - HOST_HEADER_SIZE;
  HostHeader header = {};
  memcpy(host_buffer, &header, sizeof header);  // empty while the copy runs
  if (ok) {
    ok = cuvid->cuvidCtxLock(ctx_lock, 0) == nv::CUDA_SUCCESS;
    if (ok) {
      ok = cuvid->cuMemcpyDtoH(host_buffer + HOST_HEADER_SIZE, device_ptr, bytes) ==
           nv::CUDA_SUCCESS;
      cuvid->cuvidCtxUnlock(ctx_lock, 0);
    }
  }
  if (cuvid->cuvidUnmapVideoFrame64(s->decoder, device_ptr) != nv::CUDA_SUCCESS) ok = false;
  if (ok) {
    header.width = static_cast<uint32_t>(w);
    header.height = static_cast<uint32_t>(h);
    header.pitch = pitch;
    header.progressive_frame = static_cast<uint32_t>(proc->progressive_frame);
    memcpy(host_buffer, &header, sizeof header);
  }
  return ok;
}

// Waits for a request (or stop-display) and answers it with one picture.
// 1 when a request was answered, 0 on stop-display.
int CAVCDecoder::DeliverOne(DecodeSession* s, int picture_index, nv::CUVIDPROCPARAMS* proc, int number) {
  // stop-display first: during a seek it wins over any request.
  neosmart_event_t wait_for[2] = {evt_stop_display, evt_request};
  int which = -1;
  WaitForMultipleEvents(wait_for, 2, false, WAIT_INFINITE, which);
  if (which != 1) {
    SetEvent(evt_delivered);
    return 0;
  }
  if (s->picture_width > 0 && (s->picture_width != width || s->picture_height != height)) {
    answer_width.store(static_cast<u32>(s->picture_width));
    answer_height.store(static_cast<u32>(s->picture_height));
    answer_ok.store(2);
    answer_picture.store(number);
    answered.fetch_add(1);
    SetEvent(evt_delivered);
    return 1;
  }
  const bool ok = MapAndCopy(s, picture_index, proc);
  answer_ok.store(ok ? 1 : 0);
  answer_picture.store(number);
  answered.fetch_add(1);
  SetEvent(evt_delivered);
  return 1;
}

int CAVCDecoder::FindByCount(i64 count, bool idr) {
  // Order counts are unique from one IDR picture to the next, and an IDR
  // picture starts them afresh for the index and the decoder alike: an IDR
  // picture decoded opens the run of the next IDR group line. Within a run,
  // where packets were lost a count may come twice (the pictures after a
  // lost IDR picture continue the counts of those before, and the index
  // lists them after those): the first of the index's pictures near the
  // one decoded before with the count that no picture decoded before in
  // the pass is, is taken.
  constexpr int kNear = 32;
  const u64 pictures = std::min<u64>(u64(coded_count), frames.size());
  if (idr && !place_run_opened) {
    size_t k = 0;
    while (k < groups.size() && (groups[k].first <= place_run_first || !groups[k].idr)) ++k;
    if (k >= groups.size()) return -1;
    place_run_first = groups[k].first;
    place_run_end = UINT64_MAX;
    for (size_t e = k + 1; e < groups.size() && place_run_end == UINT64_MAX; ++e)
      if (groups[e].idr) place_run_end = groups[e].first;
    place_scan_offset = 0;
    place_hint = static_cast<int>(place_run_first);
  }
  place_run_opened = false;
  const u64 near_begin = place_hint > kNear ? u64(place_hint - kNear) : 0;
  const u64 begin = std::max<u64>(place_run_first, near_begin);
  const u64 end = std::min<u64>(std::min<u64>(pictures, place_run_end), u64(place_hint) + kNear + 1);
  int best = -1;
  for (u64 j = begin; j < end; ++j) {
    if (i64(frames[static_cast<size_t>(j)].poc) != count + place_scan_offset) continue;
    if (frames[static_cast<size_t>(j)].lost) continue;  // no picture has a lost slot's number
    if (j < place_taken.size() && place_taken[j]) continue;  // another picture of this pass is it
    best = static_cast<int>(j);
    break;
  }
  if (best >= 0) {
    place_hint = best;
    if (u64(best) < place_taken.size()) place_taken[static_cast<size_t>(best)] = true;
  }
  return best;
}

int CAVCDecoder::PlacePicture(i64 timestamp) {
  if (codec == CODEC_AVC && !place_in_turn) {
    // Numbered when it was fed (AvcPictureTag); none: no frame's picture (a
    // leading picture left out, a concealed picture of a lost one).
    return timestamp > 0 && timestamp <= coded_count ? static_cast<int>(timestamp - 1) : -1;
  }
  // In turn, lost slots are passed over: no picture is theirs.
  while (LostPicture(place_next)) ++place_next;
  return place_next++;
}

int CAVCDecoder::DisplayPicture(DecodeSession* s, const nv::CUVIDPARSERDISPINFO* d) {
  // Pictures come back with the number their units were fed with (TagUnit,
  // the order counts of AVC and HEVC slices); one without is no picture of
  // the index, and is passed over.
  int number = -1;
  if (codec != CODEC_AVC) {
    if (d->timestamp > 0 && d->timestamp <= coded_count) number = static_cast<int>(d->timestamp - 1);
  } else {
    number = PlacePicture(d->timestamp);
  }
  nv::CUVIDPROCPARAMS proc = {};
  proc.progressive_frame = (s->use_pf || s->deinterlace == 0) ? d->progressive_frame : 0;
  proc.top_field_first = d->top_field_first;
  if (s->deinterlace == 1)
    proc.second_field = (s->use_top_field && !d->top_field_first) ||
                        (!s->use_top_field && d->top_field_first);
  if (!DeliverOne(s, d->picture_index, &proc, number)) return 0;
  if (s->deinterlace == 2) {
    proc.second_field = 1;
    if (!DeliverOne(s, d->picture_index, &proc, number)) return 0;
  }
  return 1;
}

// ---------------------------------------------------------------- frame callback side

FetchResult CAVCDecoder::Fetch() {
  ++requested;
  SetEvent(evt_request);
  // End of stream is set only after the pass's last answer, so an answer
  // counted by then is the one to this request.
  if (!end_of_stream.load()) WaitForEvent(evt_delivered, WAIT_INFINITE);
  // delivered without an answer to this request: the pass ended first.
  if (answered.load() < requested) return FETCH_END;
  const int ok = answer_ok.load();
  return ok == 2 ? FETCH_OTHER_SIZE : ok ? FETCH_PICTURE : FETCH_FAILED;
}
