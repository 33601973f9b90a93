// Test tool: prints what the Matroska reader makes of a file, one record per
// line, fields separated by tabs as name=value.
//   mkvprobe [--info] [--tracks] [--frames] [--cues] [--chapters] [--tags]
//            [--attachments] [--track=N] [--compressed=PIECE] [--seek=T] FILE
// --frames reads every frame's payload itself and prints its Adler-32;
// --track=N queues only track index N; --compressed=PIECE expands the frames
// of a zlib-compressed track with the compressed-frame reader, PIECE bytes
// per call, and prints the expanded size and Adler-32; --seek=T seeks the
// track of --track to the cue point before T ns before the frames are read
// (and prints the cue table after the seek).
#include <zlib.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MatroskaParser.h"

namespace {

std::string hex(const void* data, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

const char* text(const char* s) { return s ? s : ""; }

void print_info(MatroskaFile* mf) {
  const SegmentInfo* si = mkv_GetFileInfo(mf);
  printf("info\ttimecode_scale=%" PRIu64 "\tduration=%" PRIu64 "\ttitle=%s\tmuxing_app=%s\twriting_app=%s"
         "\tuid=%s\tdate_utc=%s\tsegment_top=%" PRIu64 "\n",
         si->TimecodeScale, si->Duration, text(si->Title), text(si->MuxingApp), text(si->WritingApp),
         hex(si->UID, 16).c_str(), si->DateUTCValid ? std::to_string(si->DateUTC).c_str() : "",
         mkv_GetSegmentTop(mf));
}

void print_tracks(MatroskaFile* mf) {
  for (unsigned i = 0; i < mkv_GetNumTracks(mf); ++i) {
    const TrackInfo* t = mkv_GetTrackInfo(mf, i);
    printf("track\tindex=%u\tnumber=%u\ttype=%u\tcodec=%s\tprivate=%s\tdefault_duration=%" PRIu64
           "\tenabled=%u\tdefault=%u\tlacing=%u\tlanguage=%s\tname=%s\tuid=%" PRIu64 "\tcomp=%d\tcomp_private=%s"
           "\ttimecode_scale=%" PRId64,
           i, t->Number, t->Type, t->CodecID, hex(t->CodecPrivate, t->CodecPrivateSize).c_str(),
           t->DefaultDuration, t->Enabled, t->Default, t->Lacing, t->Language, text(t->Name), t->UID,
           t->CompEnabled ? int(t->CompMethod) : -1, hex(t->CompMethodPrivate, t->CompMethodPrivateSize).c_str(),
           t->TimecodeScale);
    if (t->Type == MKV_TRACK_VIDEO)
      printf("\tpixel=%ux%u\tdisplay=%ux%u\tinterlaced=%u", t->AV.Video.PixelWidth, t->AV.Video.PixelHeight,
             t->AV.Video.DisplayWidth, t->AV.Video.DisplayHeight, t->AV.Video.Interlaced);
    else if (t->Type == MKV_TRACK_AUDIO)
      printf("\trate=%" PRId64 "\tchannels=%u\tbitdepth=%u", mkv_TruncFloat(t->AV.Audio.SamplingFreq),
             t->AV.Audio.Channels, t->AV.Audio.BitDepth);
    printf("\n");
  }
}

void print_cues(MatroskaFile* mf) {
  CueEntry* cues;
  unsigned n;
  mkv_GetCues(mf, &cues, &n);
  for (unsigned i = 0; i < n; ++i)
    printf("cue\ttime=%" PRIu64 "\tpos=%" PRIu64 "\tblock=%" PRIu64 "\ttrack=%u\n", cues[i].Time, cues[i].Position,
           cues[i].Block, cues[i].Track);
}

void print_chapter(const Chapter& c, int depth) {
  printf("chapter\tdepth=%d\tuid=%" PRIu64 "\tstart=%" PRIu64 "\tend=%" PRIu64 "\tflags=%u\ttracks=%u", depth, c.UID,
         c.Start, c.End, c.Flags, c.nTracks);
  for (unsigned i = 0; i < c.nDisplay; ++i)
    printf("\tdisplay=%s|%s|%s", c.Display[i].Language, c.Display[i].Country, text(c.Display[i].String));
  printf("\n");
  for (unsigned i = 0; i < c.nChildren; ++i) print_chapter(c.Children[i], depth + 1);
}

void print_chapters(MatroskaFile* mf) {
  Chapter* ch;
  unsigned n;
  mkv_GetChapters(mf, &ch, &n);
  for (unsigned i = 0; i < n; ++i) print_chapter(ch[i], 0);
}

void print_tags(MatroskaFile* mf) {
  TagRecord* tags;
  unsigned n;
  mkv_GetTags(mf, &tags, &n);
  for (unsigned i = 0; i < n; ++i) {
    printf("tag");
    for (unsigned j = 0; j < tags[i].nTargets; ++j)
      printf("\ttarget=%u:%" PRIu64, tags[i].Targets[j].Type, tags[i].Targets[j].UID);
    printf("\n");
    for (unsigned j = 0; j < tags[i].nSimpleTags; ++j) {
      const SimpleTag& s = tags[i].SimpleTags[j];
      printf("simple\tname=%s\tvalue=%s\tlanguage=%s\tdefault=%u\n", text(s.Name), text(s.Value), s.Language,
             s.Default);
    }
  }
}

void print_attachments(MatroskaFile* mf) {
  AttachmentRecord* at;
  unsigned n;
  mkv_GetAttachments(mf, &at, &n);
  for (unsigned i = 0; i < n; ++i)
    printf("attachment\tpos=%" PRIu64 "\tlength=%" PRIu64 "\tuid=%" PRIu64 "\tname=%s\tmime=%s\tdescription=%s\n",
           at[i].Position, at[i].Length, at[i].UID, text(at[i].Name), text(at[i].MimeType), text(at[i].Description));
}

int print_frames(MatroskaFile* mf, FILE* fp, int compressed_piece) {
  std::vector<unsigned char> payload;
  std::vector<CompressedFrameReader*> readers(mkv_GetNumTracks(mf), nullptr);
  unsigned track, size, flags;
  uint64_t start, end, pos;
  int status = 0;
  while (mkv_ReadFrame(mf, 0, &track, &start, &end, &pos, &size, &flags) == 0) {
    payload.resize(size);
    if (size && (fseeko(fp, off_t(pos), SEEK_SET) != 0 || fread(payload.data(), 1, size, fp) != size)) {
      printf("error\tframe at %" PRIu64 " of %u bytes cannot be read\n", pos, size);
      status = 1;
    }
    const uLong adler = adler32(adler32(0, nullptr, 0), payload.data(), uInt(size));
    printf("frame\ttrack=%u\tstart=%" PRIu64 "\tend=%" PRIu64 "\tpos=%" PRIu64 "\tsize=%u\tkey=%u\tgap=%u"
           "\tunknown_start=%u\tunknown_end=%u\tstream=%u\tadler=%08lx",
           track, start, end, pos, size, (flags & FRAME_KF) ? 1 : 0, (flags & FRAME_GAP) ? 1 : 0,
           flags & FRAME_UNKNOWN_START, (flags & FRAME_UNKNOWN_END) >> 1, flags >> FRAME_STREAM_SHIFT, adler);
    const TrackInfo* t = mkv_GetTrackInfo(mf, track);
    if (compressed_piece > 0 && t->CompEnabled && t->CompMethod == MKV_COMP_ZLIB) {
      char err[128];
      if (!readers[track] && !(readers[track] = cs_Create(mf, track, err, sizeof err))) {
        printf("\terror=%s\n", err);
        return 1;
      }
      CompressedFrameReader* cs = readers[track];
      cs_NextFrame(cs, pos, size);
      std::vector<char> out, piece(static_cast<size_t>(compressed_piece), 0);
      int got;
      while ((got = cs_ReadData(cs, piece.data(), unsigned(compressed_piece))) > 0) {
        out.insert(out.end(), piece.begin(), piece.begin() + got);
        if (got < compressed_piece) break;
      }
      if (got < 0) {
        printf("\terror=%s\n", text(cs_GetLastError(cs)));
        return 1;
      }
      printf("\texpanded=%zu\texpanded_adler=%08lx", out.size(),
             adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(out.data()), uInt(out.size())));
    }
    printf("\n");
  }
  for (CompressedFrameReader* cs : readers) cs_Destroy(cs);
  if (const char* e = mkv_GetLastError(mf)) printf("last_error\t%s\n", e);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  bool info = false, tracks = false, frames = false, cues = false, chapters = false, tags = false,
       attachments = false;
  int track = -1, piece = 0;
  long long seek_to = -1;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--info") info = true;
    else if (a == "--tracks") tracks = true;
    else if (a == "--frames") frames = true;
    else if (a == "--cues") cues = true;
    else if (a == "--chapters") chapters = true;
    else if (a == "--tags") tags = true;
    else if (a == "--attachments") attachments = true;
    else if (a.rfind("--track=", 0) == 0) track = atoi(a.c_str() + 8);
    else if (a.rfind("--compressed=", 0) == 0) piece = atoi(a.c_str() + 13);
    else if (a.rfind("--seek=", 0) == 0) seek_to = atoll(a.c_str() + 7);
    else if (a[0] != '-' && !path) path = argv[i];
    else {
      fprintf(stderr, "mkvprobe: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (!path) {
    fprintf(stderr, "usage: mkvprobe [--info] [--tracks] [--frames] [--cues] [--chapters] [--tags] "
                    "[--attachments] [--track=N] [--compressed=PIECE] FILE\n");
    return 2;
  }
  FILE* fp = fopen(path, "rb");
  FILE* payload = fopen(path, "rb");
  if (!fp || !payload) {
    printf("error\tcannot open %s\n", path);
    return 1;
  }
  StdIoStream st;
  StdIoInit(&st, fp);
  char err[256];
  MatroskaFile* mf = mkv_OpenEx(&st.base, 0, 0, err, sizeof err);
  if (!mf) {
    printf("error\t%s\n", err);
    return 1;
  }
  if (track >= 0) mkv_SetTrackMask(mf, ~(uint64_t(1) << track));
  if (info) print_info(mf);
  if (tracks) print_tracks(mf);
  if (seek_to >= 0) mkv_Seek2Track(mf, track < 0 ? 0 : unsigned(track), uint64_t(seek_to), 0);
  if (cues) print_cues(mf);
  if (chapters) print_chapters(mf);
  if (tags) print_tags(mf);
  if (attachments) print_attachments(mf);
  int status = 0;
  if (frames) status = print_frames(mf, payload, piece);
  mkv_Close(mf);
  fclose(fp);
  fclose(payload);
  return status;
}
