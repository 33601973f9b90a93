// Index reader for VC-1 indexes ("KWVC1IndexFile").
#include <cstring>
#include <vector>

#include "decoder.h"
#include "indexreader.h"

using namespace kwi;

namespace {

constexpr int PICT_I = 0;
constexpr int PICT_B = 3;
constexpr int FIELD_INTERLACED = 2;  // frame coding mode of a field pair
constexpr int NO_PULLDOWN = 255;  // repeat code of a picture without pulldown fields

}  // namespace

int CAVCDecoder::OpenVC1(const char* path) {
  int r = OpenIndexHead(path, "KWVC1IndexFile", 18);
  if (r != INDEX_OK) return r;
  r = ReadInputFiles();
  if (r != INDEX_OK) return r;

  ResetPlacement();
  int counter = 0;
  // No intra picture yet in the group being read: its pictures so far are
  // the B pictures shown before the I picture that opens it.
  bool before_intra = false;
  // Sequence flags of the latest sequence header, for the pictures after it.
  int interlace = 0, seq_pulldown = 0, psf = 0;
  // The first intra picture, and the first one that decodes whole from the
  // start of the input: an I frame, or an I/I or I/P field pair (the P field
  // of a P/I pair refers to a picture before it); -1 while none was read.
  int first_intra = -1, first_whole = -1;
  std::vector<char> buffer(KEYWORD_LINE);
  while (ReadLine(index_file, buffer.data(), buffer.size())) {
    const char* line = buffer.data();
    const char* c = line;
    if (ReadKeyword(line, false)) continue;
    if (Begins(line, "SEQ ")) {
      GroupRecord g{};
      g.first = u64(counter);
      NextU64(c, &g.position);
      groups.push_back(g);
      before_intra = true;
      NextInt(c, &interlace);
      NextInt(c, &seq_pulldown);
      NextInt(c, &psf);
      continue;
    }
    if (Begins(line, "ENTRY ")) {
      if (!groups.empty()) {
        u64 pos;
        NextU64(c, &pos);  // the entry point's own position is not used
        NextInt(c, &groups.back().closed);
      }
      continue;
    }
    if (ReadDamageLine(line)) continue;
    if (!groups.empty() && ReadLostLine(line, counter)) {
      PlaceLost(counter, false);
      if (++counter >= MAX_PICTURES) return INDEX_BAD_VALUES;
      continue;
    }
    if (Contains(line, "ORDER")) {
      NextInt(c, &order);
      continue;
    }
    if (Contains(line, "FRM")) {
      if (groups.empty()) continue;
      int type = -1, fcm = 0, repeat = NO_PULLDOWN;
      NextInt(c, &type);
      NextInt(c, &fcm);
      NextInt(c, &repeat);
      FrameRecord& f = FrameAt(static_cast<size_t>(counter));
      f.pict_type = type;
      // B and BI frames, and field pairs of B and BI fields, are no references.
      f.reference = fcm == FIELD_INTERLACED ? type < 4 : type != PICT_B && type != 4;
      // Intra: I of a frame picture; I/I, I/P or P/I of a field pair.
      if (fcm == FIELD_INTERLACED ? (type >= 0 && type <= 2) : type == PICT_I) {
        before_intra = false;
        if (first_intra < 0) first_intra = counter;
        if (first_whole < 0 && (fcm != FIELD_INTERLACED || type <= 1)) first_whole = counter;
      }
      f.leading_b = before_intra ? 1 : 0;
      // The repeat code is two bits (TFF and RFF, or RPTFRM); anything else
      // carries no pulldown. A frame repeat needs RPTFRM above 0.
      bool tff = false, rff = false;
      int repeats = 0;
      if (repeat >= 0 && repeat <= 3) {
        if (interlace && !psf) {
          tff = (repeat & 2) != 0;
          rff = (repeat & 1) != 0;
        } else {
          repeats = repeat;
        }
      }
      if (fieldop == 2) {
        PlaceSelf(counter);
      } else if (fieldop == 1) {
        if (repeats > 0) return INDEX_FILM_REPEATS;
        PlaceFilm(counter, rff);
      } else if (repeats > 0) {
        PlaceRepeated(counter, repeats + 1);
      } else {
        if (rff) {
          pulldown = true;
          if (deinterlace) return INDEX_DEINT_PULLDOWN;
        }
        PlaceFields(counter, rff ? (tff ? 5 : 6) : 3);
      }
      if (++counter >= MAX_PICTURES) return INDEX_BAD_VALUES;
    }
  }
  (void)seq_pulldown;  // read with the sequence line; the repeat codes carry what it announces

  coded_count = counter;
  display_count = CountDisplayFrames();
  // The pictures listed before the first whole one reference pictures before
  // the input: the B pictures shown before the first group's intra picture,
  // a P/I pair and what follows it up to the next whole intra picture (or,
  // where none comes, up to the first intra picture). Skip the display
  // frames until both fields come from that picture or a later one; with
  // pulldown a frame may weave a field of a leading picture with one of the
  // intra picture.
  lead_skip = 0;
  const int whole = first_whole >= 0 ? first_whole : first_intra;
  if (!groups.empty() && whole > 0) {
    while (lead_skip < display_count) {
      const FrameRecord& f = frames[static_cast<size_t>(lead_skip)];
      if (f.top >= whole && f.bottom >= whole) break;
      ++lead_skip;
    }
  }
  return FinishIndex();
}
