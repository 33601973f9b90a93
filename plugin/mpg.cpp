// Index reader for MPEG-2 indexes ("KWMPGIndexFile").
#include <cstring>
#include <vector>

#include "decoder.h"
#include "indexreader.h"

using namespace kwi;

namespace {

constexpr int PICT_B = 3;

// Picture type letters of the FRM lines; -1 for anything else.
int PictureType(const char* letter) {
  if (letter[0] == '\0' || (letter[1] != ' ' && letter[1] != '\0')) return -1;
  switch (letter[0]) {
    case 'I': return 0;
    case 'P': return 1;
    case 'B': return PICT_B;
    default: return -1;
  }
}

}  // namespace

int CAVCDecoder::OpenMPG(const char* path) {
  int r = OpenIndexHead(path, "KWMPGIndexFile", 18);
  if (r != INDEX_OK) return r;
  r = ReadInputFiles();
  if (r != INDEX_OK) return r;

  ResetPlacement();
  int counter = 0;
  std::vector<char> buffer(KEYWORD_LINE);
  while (ReadLine(index_file, buffer.data(), buffer.size())) {
    const char* line = buffer.data();
    const char* c = line;
    // A GOP, SEQEXT or ENTRY line before any group has no group to go to.
    if (Begins(line, "GOP")) {
      if (!groups.empty()) NextInt(c, &groups.back().closed);
      continue;
    }
    if (ReadKeyword(line, false)) continue;
    if (Begins(line, "SEQ ")) {
      GroupRecord g{};
      g.first = u64(counter);
      NextU64(c, &g.position);
      // A second value: the group starts after its sequence header, which
      // stands there.
      if (NextU64(c, &g.sequence_position)) g.sequence_apart = 1;
      groups.push_back(g);
      continue;
    }
    if (Begins(line, "SEQEXT")) {
      if (!groups.empty()) NextInt(c, &groups.back().progressive_sequence);
      continue;
    }
    if (ReadDamageLine(line)) continue;
    if (!groups.empty() && ReadLostLine(line, counter)) {
      PlaceLost(counter, groups.back().progressive_sequence == 1);
      if (++counter >= MAX_PICTURES) return INDEX_BAD_VALUES;
      continue;
    }
    if (Contains(line, "ORDER")) {
      NextInt(c, &order);
      continue;
    }
    if (Contains(line, "FRM")) {
      // B pictures before the first group belong to no decodable group.
      if (groups.empty()) continue;
      int type = -1, structure = 0, tff = 0, rff = 0, pf = 0;
      if (NextValue(c)) type = PictureType(c);
      NextInt(c, &structure);
      NextInt(c, &tff);
      NextInt(c, &rff);
      NextInt(c, &pf);
      FrameRecord& f = FrameAt(static_cast<size_t>(counter));
      f.pict_type = type;
      f.reference = type != PICT_B;
      f.progressive_frame = pf;
      const bool progressive_sequence = groups.back().progressive_sequence == 1;
      if (fieldop == 2) {
        PlaceSelf(counter);
      } else if (fieldop == 1) {
        if (progressive_sequence && (tff || rff)) return INDEX_FILM_REPEATS;
        PlaceFilm(counter, rff != 0);
      } else if (progressive_sequence) {
        // A progressive sequence repeats whole frames: once, or twice with tff.
        PlaceRepeated(counter, rff ? (tff ? 3 : 2) : 1);
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

  coded_count = counter;
  display_count = CountDisplayFrames();
  // The B pictures that open a group (in display order) are its leading ones.
  for (size_t g = 0; g < groups.size(); ++g) {
    const u64 end = g + 1 < groups.size() ? groups[g + 1].first : u64(coded_count);
    for (u64 k = groups[g].first; k < end && k < u64(coded_count); ++k) {
      if (frames[k].lost) continue;
      if (frames[k].pict_type != PICT_B) break;
      frames[k].leading_b = 1;
    }
  }
  // An open first group cannot show its leading B pictures: skip the display
  // frames until both fields come from the first non-B picture or later.
  lead_skip = 0;
  if (!groups.empty() && groups[0].closed != 1 && coded_count > 0 &&
      frames[0].pict_type == PICT_B) {
    int first_non_b = 0;
    while (first_non_b < coded_count && frames[static_cast<size_t>(first_non_b)].pict_type == PICT_B)
      ++first_non_b;
    while (lead_skip < display_count) {
      const FrameRecord& f = frames[static_cast<size_t>(lead_skip)];
      if (f.top >= first_non_b && f.bottom >= first_non_b) break;
      ++lead_skip;
    }
  }
  return FinishIndex();
}
