// Index reader for HEVC indexes ("KWHEVCIndexFile"). Every picture line is one
// display frame; IRAP lines (IDR, CRA, BLA) open the groups.
#include <cstring>
#include <vector>

#include "decoder.h"
#include "indexreader.h"

using namespace kwi;

int CAVCDecoder::OpenHEVC(const char* path) {
  int r = OpenIndexHead(path, "KWHEVCIndexFile", 19);
  if (r != INDEX_OK) return r;
  r = ReadInputFiles();
  if (r != INDEX_OK) return r;

  int counter = 0;
  // Leading pictures read since the previous group. In display order they
  // stand before their IRAP picture, so they are counted (as pictures of the
  // coming group) before its line is read.
  int radl = 0, rasl = 0;
  int lost_leading = 0;  // lost slots among those leading pictures
  std::vector<char> buffer(KEYWORD_LINE);
  while (ReadLine(index_file, buffer.data(), buffer.size())) {
    const char* line = buffer.data();
    const char* c = line;
    if (ReadKeyword(line, true)) continue;
    if (ReadDamageLine(line)) continue;
    if (ReadLostLine(line, counter)) {
      // Between leading pictures it belongs to the coming group.
      if (radl + rasl > 0) ++lost_leading;
      PlaceSelf(counter);
      if (++counter >= MAX_PICTURES) return INDEX_BAD_VALUES;
      continue;
    }
    const bool irap = Contains(line, "IDR") || Contains(line, "CRA") || Contains(line, "BLA");
    const bool is_radl = !irap && Contains(line, "RADL");
    const bool is_rasl = !irap && !is_radl && Contains(line, "RASL");
    const bool trail = !irap && !is_radl && !is_rasl && Contains(line, "TRAIL");
    if (irap || is_radl || is_rasl || trail) {
      FrameRecord& f = FrameAt(static_cast<size_t>(counter));
      if (irap) {
        GroupRecord g{};
        g.idr = 1;
        g.first = u64(counter - (radl + rasl + lost_leading));
        g.rasl = rasl;
        g.opener = u64(counter);
        g.restart = Contains(line, "CRA") ? 0 : 1;
        NextU64(c, &g.position);
        groups.push_back(g);
        radl = rasl = lost_leading = 0;
      } else if (is_radl) {
        ++radl;
      } else if (is_rasl) {
        ++rasl;
      }
      NextInt(c, &f.slice_type);
      NextInt(c, &f.poc);
      PlaceSelf(counter);
      if (++counter >= MAX_PICTURES) return INDEX_BAD_VALUES;
      continue;
    }
    if (Contains(line, "ORDER")) NextInt(c, &order);
  }

  coded_count = counter;
  TrimTrailingPictures();
  display_count = coded_count;
  // The RASL pictures of the first group reference pictures before the
  // stream's start; pictures before the first group have no group at all.
  lead_skip = groups.empty() ? 0 : static_cast<int>(groups[0].first) + groups[0].rasl;
  return FinishIndex();
}
