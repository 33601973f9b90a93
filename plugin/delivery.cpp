// Frame delivery: the VapourSynth frame callback. A request for display
// frame n is served by decoding forward from the last delivered frame when
// n lies a few frames ahead, else by sending the decode thread to a group at
// or before n. The decoded picture is copied out of the host buffer into the
// frame's planes; frames whose two fields come from different coded pictures
// are woven from two pictures; then the overlay and the properties follow.
// A frame without a picture of its own (a lost slot of the index, or one the
// decoder delivers no picture for) is no failure: it shows the picture of
// the nearest frame before it that has one and carries KWMissing = 1.
//
// One request runs at a time (the filter is made linear). The frame callback
// reads the host buffer only between an answer and its next request.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "vapoursource.h"

using namespace neosmart;

namespace {

// Frames ahead of the last delivered one that are reached by decoding on.
constexpr int kForwardWindow = 10;
constexpr int kForwardWindowDoubleRate = 20;

// A frame record's two coded pictures; {0, 0} outside the table.
struct Fields {
  int top = 0, bottom = 0;
  int max() const { return std::max(top, bottom); }
  int min() const { return std::min(top, bottom); }
};

Fields FieldsOf(const CAVCDecoder& d, int i) {
  Fields f;
  if (i >= 0 && static_cast<size_t>(i) < d.frames.size()) {
    f.top = d.frames[static_cast<size_t>(i)].top;
    f.bottom = d.frames[static_cast<size_t>(i)].bottom;
  }
  return f;
}

// Black of the output format in every plane.
void FillBlack(YV12PICT* p, int bps) {
  const uint32_t luma = bps == 2 ? 16u << 8 : 16u, chroma = bps == 2 ? 128u << 8 : 128u;
  auto fill = [bps](unsigned char* plane, int pitch, int w, int h, uint32_t v) {
    for (int y = 0; y < h; ++y) {
      unsigned char* row = plane + static_cast<ptrdiff_t>(y) * pitch;
      if (bps == 1) {
        memset(row, static_cast<int>(v), static_cast<size_t>(w));
      } else {
        const uint16_t s = static_cast<uint16_t>(v);
        for (int x = 0; x < w; ++x) memcpy(row + 2 * x, &s, 2);
      }
    }
  };
  fill(p->y, p->ypitch, p->ywidth, p->yheight, luma);
  fill(p->u, p->uvpitch, p->uvwidth, p->uvheight, chroma);
  fill(p->v, p->uvpitch, p->uvwidth, p->uvheight, chroma);
}

// Whole picture, bounded by both pictures.
void CopyPict(const YV12PICT* src, YV12PICT* dst, int bps) {
  const int h = std::min(src->yheight, dst->yheight);
  const size_t w = static_cast<size_t>(std::min(src->ywidth, dst->ywidth)) * bps;
  for (int y = 0; y < h; ++y)
    memcpy(dst->y + static_cast<ptrdiff_t>(y) * dst->ypitch,
           src->y + static_cast<ptrdiff_t>(y) * src->ypitch, w);
  const int ch = std::min(src->uvheight, dst->uvheight);
  const size_t cw = static_cast<size_t>(std::min(src->uvwidth, dst->uvwidth)) * bps;
  for (int y = 0; y < ch; ++y) {
    memcpy(dst->u + static_cast<ptrdiff_t>(y) * dst->uvpitch,
           src->u + static_cast<ptrdiff_t>(y) * src->uvpitch, cw);
    memcpy(dst->v + static_cast<ptrdiff_t>(y) * dst->uvpitch,
           src->v + static_cast<ptrdiff_t>(y) * src->uvpitch, cw);
  }
}

// One field (parity 0 top, 1 bottom): every second row of each plane.
void CopyField(const YV12PICT* src, YV12PICT* dst, int parity, int bps) {
  const int h = std::min(src->yheight, dst->yheight);
  const size_t w = static_cast<size_t>(std::min(src->ywidth, dst->ywidth)) * bps;
  for (int y = parity; y < h; y += 2)
    memcpy(dst->y + static_cast<ptrdiff_t>(y) * dst->ypitch,
           src->y + static_cast<ptrdiff_t>(y) * src->ypitch, w);
  const int ch = std::min(src->uvheight, dst->uvheight);
  const size_t cw = static_cast<size_t>(std::min(src->uvwidth, dst->uvwidth)) * bps;
  for (int y = parity; y < ch; y += 2) {
    memcpy(dst->u + static_cast<ptrdiff_t>(y) * dst->uvpitch,
           src->u + static_cast<ptrdiff_t>(y) * src->uvpitch, cw);
    memcpy(dst->v + static_cast<ptrdiff_t>(y) * dst->uvpitch,
           src->v + static_cast<ptrdiff_t>(y) * src->uvpitch, cw);
  }
}

// _PictType letter of a frame record.
const char* PictType(int codec, const FrameRecord& f) {
  if (codec == CODEC_AVC) {
    switch (f.slice_type) {
      case 2: case 4: case 7: case 9: return "I";
      case 0: case 3: case 5: case 8: return "P";
      case 1: case 6: return "B";
      default: return "U";
    }
  }
  if (codec == CODEC_HEVC) {
    switch (f.slice_type) {
      case 2: return "I";
      case 1: return "P";
      case 0: return "B";
      default: return "U";
    }
  }
  switch (f.pict_type) {
    case 0: return "I";
    case 1: return "P";
    case 3: return "B";
    default: return "U";
  }
}

// Asks for pictures until one placed at coded picture `want` or later
// comes; *later is set when it is a later one (the decoder delivered none
// for `want`).
FetchResult FetchPicture(CAVCDecoder& d, int want, bool* later) {
  for (;;) {
    const FetchResult r = d.Fetch();
    // A picture of another size counts in its place as any other.
    const bool picture = r == FETCH_PICTURE || r == FETCH_OTHER_SIZE;
    *later = picture && d.answer_picture.load() > want;
    if (!picture || d.answer_picture.load() >= want) return r;
  }
}

}  // namespace

// Copies the host buffer's picture into `out`, bounded by both; parts of the
// frame that the picture does not cover are black. False when the buffer
// holds no picture.
void VSVideoSource::CopyHost() {
  u32 w = 0, h = 0, pitch = 0;
  const unsigned char* pic = dec.HostPicture(&w, &h, &pitch);
  const int bps = bytes_per_sample();
  if (!pic) {
    FillBlack(out, bps);
    return;
  }
  const int rows = std::min<int>(static_cast<int>(h), out->yheight);
  const int cols = std::min<int>(static_cast<int>(w), out->ywidth);
  if (rows < out->yheight || cols < out->ywidth) FillBlack(out, bps);
  for (int r = 0; r < rows; ++r)
    memcpy(out->y + static_cast<ptrdiff_t>(r) * out->ypitch, pic + size_t(r) * pitch,
           static_cast<size_t>(cols) * bps);
  const unsigned char* chroma = pic + size_t(pitch) * h;
  const int crows = std::min<int>(static_cast<int>(h / 2), out->uvheight);
  const int ccols = std::min<int>(static_cast<int>(w / 2), out->uvwidth);
  for (int r = 0; r < crows; ++r) {
    const unsigned char* s = chroma + size_t(r) * pitch;
    unsigned char* u = out->u + static_cast<ptrdiff_t>(r) * out->uvpitch;
    unsigned char* v = out->v + static_cast<ptrdiff_t>(r) * out->uvpitch;
    if (bps == 1) {
      for (int x = 0; x < ccols; ++x) {
        u[x] = s[2 * x];
        v[x] = s[2 * x + 1];
      }
    } else {
      for (int x = 0; x < ccols; ++x) {
        memcpy(u + 2 * x, s + 4 * x, 2);
        memcpy(v + 2 * x, s + 4 * x + 2, 2);
      }
    }
  }
}

// A request that got no picture: the thread failed to copy one, the pass
// found no group where the index places it, or it ended first. Without a GPU
// session the frame carries the error text; a pass that ended for no cause
// of its own (damage) leaves the frame without a picture of its own;
// otherwise the request fails. The host buffer may still hold an older
// picture, but that is another frame's.
VSVideoSource::Served VSVideoSource::CopyFetched(FetchResult r, int n, std::string* error) {
  if (r == FETCH_PICTURE) {
    CopyHost();
    return SERVED;
  }
  if (!dec.HasDecoder() && dec.gpu_failed.load()) return SERVED_CUDA_ERROR;
  last_frame = -1;  // the thread's position is no longer known: seek next time
  *error = "frame " + std::to_string(n) + ": ";
  if (r == FETCH_OTHER_SIZE) {
    // Where the index lists an SPS near it as damage, that set, damaged in
    // place (in its size fields), gave the picture its size: the frame has
    // no picture of its own. (Damage elsewhere, such as the counter jump
    // where two transport streams of two sizes are joined, changes nothing.)
    if (dec.SetDamageNear(dec.answer_picture.load())) return SERVED_MISSING;
    // Not a failure of the pass: no cause from it is added.
    *error += "the picture is " + std::to_string(dec.answer_width.load()) + " x " +
              std::to_string(dec.answer_height.load()) + ", the index's SIZE is " + std::to_string(dec.width) +
              " x " + std::to_string(dec.height) + " (the stream changes its picture size)";
    return SERVED_FAILED;
  }
  // The pass reached the end of the input without the picture, for no
  // cause but the stream's own (damage, a picture cut by the end of the
  // file): the frame has no picture of its own.
  if (r == FETCH_END && dec.HasDecoder() && dec.pass_problem.empty() && dec.thread_message.empty())
    return SERVED_MISSING;
  if (r == FETCH_FAILED)
    *error += "the decoded picture could not be copied from the GPU";
  else if (!dec.HasDecoder())
    *error += "no picture could be decoded";
  else
    *error += "the stream ended before it";
  const std::string& why = !dec.pass_problem.empty() ? dec.pass_problem : dec.thread_message;
  if (!why.empty()) *error += " (" + why + ")";
  return SERVED_FAILED;
}

// The decoder went past the picture of frame n without delivering it (a
// picture it cannot show, such as a field whose partner is missing): the
// frame has no picture of its own rather than another frame's.
VSVideoSource::Served VSVideoSource::NotDelivered() {
  last_frame = -1;
  return SERVED_MISSING;
}

VSVideoSource::Served VSVideoSource::Sequential(int n, std::string* error) {
  const int bps = bytes_per_sample();
  // A damaged picture shows what the decoder conceals it from: the same
  // picture in every order only from the one start its pass has.
  if (dec.NeedsPassOfItsOwn(static_cast<u32>(dec.deinterlace == 2 ? n / 2 : n))) return RandomAccess(n, error);
  for (int i = last_frame + 1; i <= n; ++i) {
    // A frame on the way that has no picture of its own: nothing comes
    // for it (pictures before the next one asked for are dropped).
    if (i < n && no_picture[static_cast<size_t>(i)]) continue;
    if (dec.deinterlace != 0 || dec.fieldop == 2) {
      bool later = false;
      const FetchResult r = FetchPicture(dec, FieldsOf(dec, dec.deinterlace == 2 ? i / 2 : i).max(), &later);
      // A picture of a later frame: frame n is sought afresh (its picture
      // may still come after later ones).
      if (later) return RandomAccess(n, error);
      // A picture of another size on the way: frame n is sought instead.
      if (r == FETCH_OTHER_SIZE && i < n) return RandomAccess(n, error);
      const Served s = CopyFetched(r, n, error);
      // The pass ended without it: whether frame n has a picture is
      // told by a pass of its own.
      if (s == SERVED_MISSING) return RandomAccess(n, error);
      if (s != SERVED || r != FETCH_PICTURE) return s;
      continue;
    }
    const Fields cur = FieldsOf(dec, i), prev = FieldsOf(dec, i - 1);
    if (dec.fieldop == 1 && cur.top == prev.top + 2 && cur.bottom == prev.bottom + 2) {
      // Force film dropped a picture here: pull it and let it go.
      const FetchResult r = dec.Fetch();
      if (r == FETCH_OTHER_SIZE) return RandomAccess(n, error);
      if (r != FETCH_PICTURE) {
        const Served s = CopyFetched(r, n, error);
        return s == SERVED_MISSING ? RandomAccess(n, error) : s;
      }
    }
    if (cur.max() > prev.max()) {
      bool later = false;
      const FetchResult r = FetchPicture(dec, cur.max(), &later);
      // A picture of a later frame: frame n is sought afresh (its picture
      // may still come after later ones).
      if (later) return RandomAccess(n, error);
      if (r == FETCH_OTHER_SIZE && i < n) return RandomAccess(n, error);
      const Served s = CopyFetched(r, n, error);
      if (s == SERVED_MISSING) return RandomAccess(n, error);
      if (s != SERVED || r != FETCH_PICTURE) return s;
    } else {
      CopyPict(saved_store, out, bps);  // frame i repeats the previous picture
    }
    if (i < dec.display_count - 1 && FieldsOf(dec, i + 1).min() == cur.max()) {
      // The next frame reuses this picture: keep it, and the one before.
      std::swap(saved_store, saved_active);
      CopyPict(out, saved_store, bps);
    }
    if (i == n && dec.pulldown) {
      if (cur.top > cur.bottom) CopyField(saved_active, out, 1, bps);
      if (cur.top < cur.bottom) CopyField(saved_active, out, 0, bps);
    }
  }
  last_frame = n;
  return SERVED;
}

VSVideoSource::Served VSVideoSource::RandomAccess(int n, std::string* error) {
  const int bps = bytes_per_sample();
  // Stop the pass in progress and wait until the thread is idle.
  SetEvent(dec.evt_stop);
  SetEvent(dec.evt_stop_display);
  while (WaitForEvent(dec.evt_run, 0) == 0) usleep(1000);
  ResetEvent(dec.evt_stop);
  const int reset = dec.decoder_reset();
  // Nothing of the old pass may answer the new one: every signal and count
  // starts afresh while the thread is idle.
  ResetEvent(dec.evt_stop_display);
  ResetEvent(dec.evt_delivered);
  ResetEvent(dec.evt_request);
  ResetEvent(dec.evt_positioned);
  dec.answered.store(0);
  dec.answer_ok.store(0);
  dec.requested = 0;
  dec.end_of_stream.store(0);
  if (reset != 0) {
    last_frame = -1;
    return SERVED_CUDA_ERROR;
  }

  const bool double_rate = dec.deinterlace == 2;
  dec.target_frame.store(static_cast<u32>(double_rate ? n / 2 : n));
  SetEvent(dec.evt_run);
  WaitForEvent(dec.evt_positioned, WAIT_INFINITE);
  last_frame = n;

  // Pictures before the target's (or before its earlier field's) are
  // dropped; each answer says which coded picture it is.
  const Fields f = FieldsOf(dec, n);
  const bool split = dec.deinterlace == 0 && f.top != f.bottom;
  const int want = FieldsOf(dec, double_rate ? n / 2 : n).max();
  int answers = double_rate ? (n & 1) + 1 : 1;  // of the target's picture
  bool earlier = false;                          // the earlier field's picture came
  // After damage the decoder may show a picture after some of later frames
  // (where order counts begin afresh without an IDR picture, it shows the
  // pictures of both runs by their counts): a few later ones are passed
  // over before the frame counts as not delivered.
  constexpr int kShownLate = 16;
  int later = 0;
  for (;;) {
    const FetchResult r = dec.Fetch();
    if (r != FETCH_PICTURE && r != FETCH_OTHER_SIZE) return CopyFetched(r, n, error);
    const int got = dec.answer_picture.load();
    if (got > want) {
      if (++later > kShownLate) return NotDelivered();
      continue;
    }
    if (split && got == want - 1) {
      // The earlier field of a split frame, kept for the weave; a picture
      // of another size fails the frame.
      if (r == FETCH_OTHER_SIZE) return CopyFetched(r, n, error);
      CopyHost();
      earlier = true;
      if (dec.pulldown) {
        if (f.top > f.bottom) CopyField(out, saved_active, 1, bps);
        if (f.top < f.bottom) CopyField(out, saved_active, 0, bps);
      }
      continue;
    }
    if (got < want || --answers > 0) continue;  // dropped, whatever its size
    if (r == FETCH_OTHER_SIZE) return CopyFetched(r, n, error);
    // Woven from a field the decoder never delivered, the frame would show
    // another picture's field.
    if (split && dec.pulldown && !earlier) return NotDelivered();
    CopyHost();
    CopyPict(out, saved_store, bps);
    if (dec.deinterlace == 0) {
      if (f.top > f.bottom) CopyField(saved_active, out, 1, bps);
      if (f.top < f.bottom) CopyField(saved_active, out, 0, bps);
    }
    return SERVED;
  }
}

VSVideoSource::Served VSVideoSource::ServeOwn(int n, std::string* error) {
  const int window = dec.deinterlace == 2 ? kForwardWindowDoubleRate : kForwardWindow;
  // last is compared as unsigned: the -1 of a new instance never qualifies.
  const bool forward = n != 0 && static_cast<unsigned>(last_frame) < static_cast<unsigned>(n) &&
                       static_cast<i64>(n) < static_cast<i64>(last_frame) + window;
  return forward ? Sequential(n, error) : RandomAccess(n, error);
}

bool VSVideoSource::FrameLost(int n) const {
  const FrameRecord& f = DisplayRecord(n);
  return dec.LostPicture(f.top) || dec.LostPicture(f.bottom);
}

// A frame without a picture of its own shows that of the nearest frame
// before it that has one; at the start of the clip, the first picture
// shown. Frames found without one are remembered, so each is decoded for
// at most once; the picture that stood in last is kept with its frame.
VSVideoSource::Served VSVideoSource::Serve(int n, std::string* error, int* shown) {
  *shown = n;
  if (!no_picture[static_cast<size_t>(n)]) {
    const Served s = ServeOwn(n, error);
    if (s != SERVED_MISSING) return s;
    no_picture[static_cast<size_t>(n)] = 1;
  }
  const int lead = dec.deinterlace == 2 ? dec.lead_skip * 2 : dec.lead_skip;
  auto take = [&](int m) -> Served {
    if (no_picture[static_cast<size_t>(m)]) return SERVED_MISSING;
    if (m == stand_in_frame) {
      CopyPict(stand_in, out, bytes_per_sample());
      return SERVED;
    }
    const Served s = ServeOwn(m, error);
    if (s == SERVED_MISSING) {
      no_picture[static_cast<size_t>(m)] = 1;
    } else if (s == SERVED) {
      CopyPict(out, stand_in, bytes_per_sample());
      stand_in_frame = m;
    }
    return s;
  };
  for (int m = n - 1; m >= lead; --m) {
    const Served s = take(m);
    if (s == SERVED_MISSING) continue;
    *shown = m;
    return s;
  }
  for (int m = n + 1; m < vi.numFrames; ++m) {
    const Served s = take(m);
    if (s == SERVED_MISSING) continue;
    *shown = m;
    return s;
  }
  // No frame of the clip has a picture.
  *shown = -1;
  FillBlack(out, bytes_per_sample());
  return SERVED;
}

namespace {
const FrameRecord kNoRecord = {0, 0, 0, 0, -1, -1, 0, 0, 0, 0};
}  // namespace

const FrameRecord& VSVideoSource::DisplayRecord(int n) const {
  const int record = dec.deinterlace == 2 ? n / 2 : n;
  return record >= 0 && static_cast<size_t>(record) < dec.frames.size()
             ? dec.frames[static_cast<size_t>(record)]
             : kNoRecord;
}

const FrameRecord& VSVideoSource::PictureRecord(int n) const {
  const int top = DisplayRecord(n).top;
  return top >= 0 && static_cast<size_t>(top) < dec.frames.size()
             ? dec.frames[static_cast<size_t>(top)]
             : kNoRecord;
}

void VSVideoSource::SetProperties(VSFrameRef* frame, const VSAPI* vsapi, int n, int shown) const {
  VSMap* props = vsapi->getFramePropsRW(frame);
  vsapi->propSetData(props, "_PictType", PictType(dec.codec, PictureRecord(shown)), 1, paReplace);
  // A frame that shows another frame's picture: it has none of its own.
  if (shown != n) vsapi->propSetInt(props, "KWMissing", 1, paReplace);
  // A ratio is two positive numbers: 0 0 is "unspecified" and -1 -1 (VC-1
  // without an aspect ratio) "unknown"; either leaves the properties unset.
  if (dec.ar1 > 0 && dec.ar2 > 0) {
    vsapi->propSetInt(props, "_SARNum", dec.ar1, paReplace);
    vsapi->propSetInt(props, "_SARDen", dec.ar2, paReplace);
  }
  if (dec.order != -1)
    vsapi->propSetInt(props, "_FieldBased", dec.order == 1 ? 2 : dec.order == 2 ? 1 : 0, paReplace);
  vsapi->propSetInt(props, "_DurationNum", dec.fps_den, paReplace);
  vsapi->propSetInt(props, "_DurationDen", dec.fps_num, paReplace);
  vsapi->propSetInt(props, "_ColorRange", dec.video_full_range_flag ? 0 : 1, paReplace);
  vsapi->propSetInt(props, "_Matrix", dec.matrix, paReplace);
  vsapi->propSetInt(props, "_Primaries", dec.primaries, paReplace);
  vsapi->propSetInt(props, "_Transfer", dec.transfer, paReplace);
}

const VSFrameRef* VSVideoSource::GetFrame(int n, int activationReason, void** instanceData, void**,
                                          VSFrameContext* frameCtx, VSCore* core,
                                          const VSAPI* vsapi) {
  if (activationReason != arInitial) return nullptr;
  VSFrameRef* frame = nullptr;
  try {
    VSVideoSource* s = static_cast<VSVideoSource*>(*instanceData);
    frame = vsapi->newVideoFrame(s->vi.format, s->vi.width, s->vi.height, nullptr, core);
    if (!frame) {
      vsapi->setFilterError("KWSource: GetFrame: cannot create a frame", frameCtx);
      return nullptr;
    }
    YV12PICT* o = s->out;
    o->y = vsapi->getWritePtr(frame, 0);
    o->u = vsapi->getWritePtr(frame, 1);
    o->v = vsapi->getWritePtr(frame, 2);
    o->ypitch = vsapi->getStride(frame, 0);
    o->uvpitch = vsapi->getStride(frame, 1);
    o->ywidth = vsapi->getFrameWidth(frame, 0);
    o->uvwidth = vsapi->getFrameWidth(frame, 1);
    o->yheight = vsapi->getFrameHeight(frame, 0);
    o->uvheight = vsapi->getFrameHeight(frame, 1);

    WaitForEvent(s->dec.evt_opened, WAIT_INFINITE);

    const int lead = s->dec.deinterlace == 2 ? s->dec.lead_skip * 2 : s->dec.lead_skip;
    if (n >= s->vi.numFrames) n = s->vi.numFrames - 1;
    if (n < lead) n = lead;
    if (n < 0) n = 0;

    std::string error;
    int shown = n;
    const Served served = s->Serve(n, &error, &shown);
    if (served == SERVED_FAILED) {
      vsapi->freeFrame(frame);
      vsapi->setFilterError(("KWSource: GetFrame: " + error).c_str(), frameCtx);
      return nullptr;
    }
    const bool sixteen = s->bytes_per_sample() == 2;
    if (served == SERVED_CUDA_ERROR) {
      FillBlack(o, s->bytes_per_sample());
      VSDrawString(frame, vsapi, 0, 0, 0, 0, "CUDA error!", sixteen);
      return frame;
    }
    if (s->dec.show) s->DrawOverlay(frame, vsapi, n);
    s->SetProperties(frame, vsapi, n, shown);
    return frame;
  } catch (const std::exception& e) {
    vsapi->setFilterError((std::string("KWSource: GetFrame: ") + e.what()).c_str(), frameCtx);
  } catch (...) {
    vsapi->setFilterError("KWSource: GetFrame: unexpected failure", frameCtx);
  }
  if (frame) vsapi->freeFrame(frame);
  return nullptr;
}
