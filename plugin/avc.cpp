// Index reader for AVC indexes ("KWAVCIndexFile").
#include <cstring>
#include <vector>

#include "decoder.h"
#include "indexreader.h"

using namespace kwi;

namespace {

bool IsBSlice(int slice_type) { return slice_type == 1 || slice_type == 6; }

// True when any line of the index begins with "RPS" or "IDR": strict AVC
// needs at least one such group.
bool HasStrictGroups(FILE* f) {
  std::vector<char> line(KEYWORD_LINE);
  bool found = false;
  while (!found && ReadLine(f, line.data(), line.size()))
    found = Begins(line.data(), "RPS") || Begins(line.data(), "IDR");
  return found;
}

}  // namespace

int CAVCDecoder::Open(const char* path) {
  FILE* pre = OpenIndexFile(path);
  if (!pre) return INDEX_OPEN_INPUT;
  const bool strict_groups = HasStrictGroups(pre);
  fclose(pre);
  int r = OpenIndexHead(path, "KWAVCIndexFile", 18);
  if (r != INDEX_OK) return r;
  if (strict_avc && !strict_groups) return INDEX_STRICT_AVC;
  r = ReadInputFiles();
  if (r != INDEX_OK) return r;

  ResetPlacement();
  int counter = 0;  // coded pictures counted so far
  std::vector<char> buffer(KEYWORD_LINE);
  while (ReadLine(index_file, buffer.data(), buffer.size())) {
    const char* line = buffer.data();
    const char* c = line;
    if (ReadKeyword(line, true)) continue;
    const bool idr = Begins(line, "IDR");
    if ((!strict_avc && Begins(line, "I ")) || idr || Begins(line, "RPS")) {
      u64 pos = 0;
      const bool have_pos = NextU64(c, &pos);
      // A group line with no picture since the last one replaces it: an RPS
      // line directly followed by its I line makes one group.
      if (!groups.empty() && groups.back().first == u64(counter)) {
        GroupRecord& g = groups.back();
        g.idr = idr;
        if (have_pos) g.position = pos;
        g.updated = 1;
      } else {
        GroupRecord g{};
        g.first = u64(counter);
        g.idr = idr;
        g.position = pos;
        groups.push_back(g);
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
      if (groups.empty()) continue;  // before the first group: not decodable
      FrameRecord& f = FrameAt(static_cast<size_t>(counter));
      NextInt(c, &f.slice_type);
      NextInt(c, &f.poc);
      f.pic_struct = -1;
      NextInt(c, &f.pic_struct);
      const int ps = f.pic_struct;
      if (ps == 5 || ps == 6) {
        pulldown = true;
        if (deinterlace) return INDEX_DEINT_PULLDOWN;
      }
      if (fieldop == 2) {
        PlaceSelf(counter);
      } else if (fieldop == 1) {
        if (ps == 7 || ps == 8) return INDEX_FILM_REPEATS;
        PlaceFilm(counter, ps == 5 || ps == 6);
      } else {
        PlaceFields(counter, ps);
      }
      if (++counter >= MAX_PICTURES) return INDEX_BAD_VALUES;
    }
  }

  coded_count = counter;
  TrimTrailingPictures();
  display_count = CountDisplayFrames();
  // Leading B pictures of an open first group reference a picture before it.
  lead_skip = 0;
  if (!groups.empty() && !groups[0].idr && coded_count > 0 && IsBSlice(frames[0].slice_type)) {
    while (lead_skip < coded_count && IsBSlice(frames[static_cast<size_t>(lead_skip)].slice_type))
      ++lead_skip;
  }
  return FinishIndex();
}
