// Fuzz entry of the Matroska reader over the in-memory stream: open, list
// everything, set a mask, read frames, seek to three times taken from the
// input and read on, expand compressed frames. Invariants beyond the
// sanitizers: frames of listed, unmasked tracks inside the file; a bounded
// number of read calls per frame; cue tables sorted with their rows inside
// the segment; texts terminated and at most 127 characters; every track
// with a codec ID; nothing held after a close or a failed open.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mkvmem.h"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "matroska fuzz: broken invariant: %s\n", what);
  abort();
}

void check_text(const char* text) {
  if (text) check(strnlen(text, 1024) <= 127, "message longer than 127 characters");
}

// Texts of the records: terminated within their block (the sanitizer
// watches strlen) and at most 1023 characters.
void check_record_text(const char* text) {
  if (text) check(strlen(text) <= 1023, "text longer than 1023 characters");
}

// Little-endian 32-bit word at i, 0 past the end.
uint32_t word(const uint8_t* data, size_t size, size_t i) {
  uint32_t v = 0;
  for (size_t k = 0; k < 4; ++k) v |= uint32_t(i + k < size ? data[i + k] : 0) << (8 * k);
  return v;
}

void walk_chapters(const Chapter* ch, unsigned n, unsigned depth) {
  check(depth < 100, "chapters nested deeper than the limit");
  for (unsigned i = 0; i < n; ++i) {
    for (unsigned d = 0; d < ch[i].nDisplay; ++d) {
      check(ch[i].Display[d].String != nullptr, "display without text");
      check_record_text(ch[i].Display[d].String);
    }
    walk_chapters(ch[i].Children, ch[i].nChildren, depth + 1);
  }
}

void check_cues(MatroskaFile* mf, bool parsed) {
  CueEntry* c;
  unsigned n;
  mkv_GetCues(mf, &c, &n);
  for (unsigned i = 0; i < n; ++i) {
    check(c[i].Position < mkv_GetSegmentTop(mf), "cue row outside the segment");
    check(i == 0 || c[i - 1].Time <= c[i].Time, "cue table not sorted");
  }
  if (parsed && n) check(c[0].Time == 0, "first row of the cue table not at 0");
}

struct Reader {
  MatroskaFile* mf;
  mkvt::MemStream& s;
  uint64_t skip_mask;
  std::vector<CompressedFrameReader*> cs;
  long frames = 0;

  // Reads up to n frames; false at the end.
  bool read(long n) {
    const unsigned tracks = mkv_GetNumTracks(mf);
    char out[4096];
    for (long k = 0; k < n && frames < 20000; ++k, ++frames) {
      unsigned track, size, flags;
      uint64_t start, end, pos;
      const long reads = s.reads + s.hints;
      const int r = mkv_ReadFrame(mf, 0, &track, &start, &end, &pos, &size, &flags);
      check(s.reads + s.hints - reads <= 64 + 4 * long(s.data.size()), "too many read calls for one frame");
      check_text(mkv_GetLastError(mf));
      if (r < 0) return false;
      check(track < tracks, "frame of a track that is not listed");
      check(!(track < 64 && (skip_mask >> track) & 1), "frame of a masked track");
      check(pos <= s.data.size() && size <= s.data.size() - pos, "frame outside the file");
      const TrackInfo* t = mkv_GetTrackInfo(mf, track);
      if (!t->CompEnabled || t->CompMethod != MKV_COMP_ZLIB || (flags >> FRAME_STREAM_SHIFT)) continue;
      char err[64];
      if (!cs[track] && !(cs[track] = cs_Create(mf, track, err, sizeof err))) {
        check_text(err);
        continue;
      }
      cs_NextFrame(cs[track], pos, size);
      size_t total = 0;
      for (int got; total < (1u << 20) && (got = cs_ReadData(cs[track], out, sizeof out)) > 0; total += size_t(got)) {
      }
      check_text(cs_GetLastError(cs[track]));
    }
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mkvt::MemStream s(mkvt::Bytes(reinterpret_cast<const char*>(data), size));
  // A rare trailer makes an allocation fail, so cleanup paths run too.
  if (size >= 2 && data[size - 1] == 0xA5) s.fail_after = data[size - 2];
  char err[256];
  memset(err, 'x', sizeof err);
  MatroskaFile* mf = mkv_OpenEx(s.io(), 0, 0, err, sizeof err);
  if (!mf) {
    check(memchr(err, 0, sizeof err) != nullptr, "error buffer not terminated");
    check_text(err);
    check(s.live.empty(), "blocks held after a failed open");
    return 0;
  }
  const unsigned tracks = mkv_GetNumTracks(mf);
  for (unsigned i = 0; i < tracks; ++i) {
    const TrackInfo* t = mkv_GetTrackInfo(mf, i);
    check(t->CodecID != nullptr, "track without codec ID");
    check_record_text(t->CodecID);
    check_record_text(t->Name);
  }
  const SegmentInfo* si = mkv_GetFileInfo(mf);
  for (const char* text : {si->Filename, si->PrevFilename, si->NextFilename, si->Title, si->MuxingApp, si->WritingApp})
    check_record_text(text);
  check(mkv_GetTrackInfo(mf, tracks) == nullptr, "a track past the count");
  Chapter* ch;
  TagRecord* tags;
  AttachmentRecord* at;
  unsigned n;
  mkv_GetChapters(mf, &ch, &n);
  walk_chapters(ch, n, 0);
  mkv_GetTags(mf, &tags, &n);
  for (unsigned i = 0; i < n; ++i)
    for (unsigned j = 0; j < tags[i].nSimpleTags; ++j) {
      check_record_text(tags[i].SimpleTags[j].Name);
      check_record_text(tags[i].SimpleTags[j].Value);
    }
  mkv_GetAttachments(mf, &at, &n);
  for (unsigned i = 0; i < n; ++i) {
    check_record_text(at[i].Name);
    check_record_text(at[i].Description);
    check_record_text(at[i].MimeType);
  }
  check_cues(mf, true);

  // Mask one track when the input says so; then read, seek three times, read on.
  uint64_t mask = 0;
  const uint32_t w0 = word(data, size, size > 16 ? size - 16 : 0);
  if (tracks && (w0 & 0x100)) mask = uint64_t(1) << (w0 % tracks);
  mkv_SetTrackMask(mf, mask);
  Reader r{mf, s, mask, std::vector<CompressedFrameReader*>(tracks, nullptr)};
  r.read(20000);
  // What reading passed over lies in the file, before the cluster it went on at.
  MkvReadDamage damage;
  mkv_GetReadDamage(mf, &damage);
  check(damage.Stopped <= 1, "read record's stop is no flag");
  check(damage.Skipped ? damage.FirstSkipBytes <= damage.SkippedBytes && damage.SkippedBytes <= s.data.size() &&
                             damage.FirstSkipPos + damage.FirstSkipBytes <= s.data.size()
                       : damage.SkippedBytes == 0,
        "read record outside the file");
  const uint64_t span = mkv_GetFileInfo(mf)->Duration + 1000000000;
  for (int i = 0; i < 3 && tracks; ++i) {
    const uint32_t w = word(data, size, size > 12 ? size - 12 + 4 * size_t(i) : 0);
    const uint64_t t = i == 2 ? ~uint64_t(0) >> (w & 1) : (uint64_t(w) * 1000003) % span;
    if (w & 0x10000)
      mkv_Seek2Track(mf, w % tracks, t, 0);
    else
      mkv_SeekTrack(mf, w % tracks, t, 0);
    check_text(mkv_GetLastError(mf));
    check_cues(mf, false);
    r.read(2000);
  }
  for (CompressedFrameReader* c : r.cs) cs_Destroy(c);
  mkv_Close(mf);
  check(s.live.empty(), "blocks held after mkv_Close");
  check(!s.bad_free, "a block freed that was not handed out");
  return 0;
}
