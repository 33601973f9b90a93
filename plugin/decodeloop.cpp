// Decode passes of the decode thread: choose the group from which decoding
// of the target display frame must start, tell the frame callback how many
// pictures to pull, feed the parameter sets (AVC, HEVC) and then every unit
// from the group on to the parser until the input ends or a stop arrives.
//
// Invariant: every pass that does not end by a stop sets the end-of-stream
// flag and delivered, so a frame callback waiting for a picture is always
// answered.
#include <algorithm>
#include <string>

#include "decoder.h"

using namespace neosmart;

namespace {

bool IsAvcB(int slice_type) { return slice_type == 1 || slice_type == 6; }

// Pictures looked at after a group's first one when counting its leading
// pictures: far more than any reordering depth.
constexpr u64 kLeadingScan = 64;

// Groups that a pass steps back at most for damage before its target.
constexpr int kDamageGroups = 16;

// Units looked at for an MPEG-2 sequence header in the frame (or sample) of
// its time: more than the slices of any picture.
constexpr int kHeaderSearch = 1024;

// Index of the last list entry at or before position, or -1 when none is.
long LastAtOrBefore(const std::vector<u64>& list, u64 position) {
  long found = -1;
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i] <= position) found = static_cast<long>(i);
  return found;
}

}  // namespace

int CAVCDecoder::LeadingPictures(size_t g) const {
  if (g >= groups.size()) return 0;
  const u64 first = groups[g].first;
  const u64 end = std::min<u64>(g + 1 < groups.size() ? groups[g + 1].first : u64(coded_count),
                                std::min<u64>(first + 1 + kLeadingScan, frames.size()));
  if (first >= frames.size()) return 0;
  int n = 0;
  if (codec == CODEC_AVC) {
    // An IDR starts its order counts afresh: nothing after it is shown before it.
    if (groups[g].idr) return 0;
    for (u64 i = first + 1; i < end; ++i)
      if (frames[i].poc < frames[first].poc && !frames[i].lost) ++n;
  } else if (codec == CODEC_MPEG2 || codec == CODEC_VC1) {
    // The leading B pictures open the group; lost slots among them count
    // as display places.
    for (u64 i = first; i < end; ++i)
      if (frames[i].leading_b) n = static_cast<int>(i - first + 1);
  }
  return n;
}

size_t CAVCDecoder::PassStart(u32 target, bool* damage_start) const {
  *damage_start = false;
  const size_t G = groups.size();
  if (!frames.empty() && target >= frames.size()) target = static_cast<u32>(frames.size() - 1);
  const int top = frames.empty() ? 0 : frames[target].top;
  const int bottom = frames.empty() ? 0 : frames[target].bottom;
  const i64 M = std::max(top, bottom);
  const i64 m = std::min(top, bottom);
  auto first = [&](size_t g) { return static_cast<i64>(groups[g].first); };

  size_t g = G ? G - 1 : 0;
  for (size_t k = 0; k + 1 < G; ++k) {
    if (first(k) <= M && M < first(k + 1)) {
      g = k;
      break;
    }
  }
  if (G <= 1) g = 0;
  const size_t own_group = g;

  // Step back to a group from which the target decodes exactly as it does
  // in a run from the start.
  if (g > 0 && G > 0) {
    const bool split = top != bottom;
    switch (codec) {
      case CODEC_AVC: {
        if (first(g) == M && split) --g;  // the target's later field opens the group
        if (g == 0) break;
        const size_t f = static_cast<size_t>(first(g));
        const bool b_first = f < frames.size() && IsAvcB(frames[f].slice_type);
        // Leading pictures of an open group reference the group before.
        const bool leading = M < first(g) + LeadingPictures(g);
        if (b_first || deinterlace || leading) --g;
        break;
      }
      case CODEC_MPEG2: {
        bool back = first(g) == M && split;
        if (!back && groups[g].closed != 1) {
          const bool lead_m = M >= 0 && static_cast<u64>(M) < frames.size() && frames[M].leading_b;
          const bool lead_min = m >= 0 && static_cast<u64>(m) < frames.size() && frames[m].leading_b;
          // The leading B pictures of the group are shown first: a target
          // among them needs the group before.
          const bool leading = M < first(g) + LeadingPictures(g);
          back = deinterlace || lead_m || (split && lead_min) || leading;
        }
        if (back) --g;
        break;
      }
      case CODEC_VC1: {
        const size_t own = g;
        const bool stay = (first(g) != M || !split) && groups[g].closed != 0 && !deinterlace;
        if (!stay) --g;
        // The B pictures shown before an open group's I picture reference
        // the last picture of the group before. That picture decodes as in
        // the run from the start only where the rest of its group does, from
        // one group earlier still: its group's I picture may lean on the
        // picture decoded before it (concealment of a damaged picture).
        const i64 lead_end = first(own) + LeadingPictures(own);
        auto leading = [&](i64 p) { return p >= first(own) && p < lead_end; };
        if (groups[own].closed == 0 && g > 0 && (leading(M) || leading(m))) --g;
        break;
      }
      case CODEC_HEVC:
        if (first(g) == M && split)
          g = g >= 2 ? g - 2 : 0;
        else
          --g;
        break;
      default:
        break;
    }
  }

  const size_t clean = g;
  g = BeforeDamage(g, own_group);
  *damage_start = g != clean;
  return g;
}

int CAVCDecoder::ChooseGroup() {
  const size_t G = groups.size();
  u32 target = target_frame.load();
  if (!frames.empty() && target >= frames.size()) target = static_cast<u32>(frames.size() - 1);
  bool damage_start = false;
  const size_t g = PassStart(target, &damage_start);
  pass_group = g;
  pass_damage_start = damage_start;
  // Damaged pictures are concealed from what the decoder holds, which a
  // pass from their fixed start group makes the same every time: from a
  // fresh parser and, so that no surface holds a picture of a pass before,
  // a fresh decoder.
  if (damage_start) recreate = true;
  const int top = frames.empty() ? 0 : frames[target].top;
  const int bottom = frames.empty() ? 0 : frames[target].bottom;
  const i64 M = std::max(top, bottom);
  auto first = [&](size_t k) { return static_cast<i64>(groups[k].first); };

  i64 pull = M + 1 - (G ? first(g) : 0);
  if (codec == CODEC_HEVC && G) pull -= groups[g].rasl;
  if (pull < 1) pull = 1;
  if (pull > INT32_MAX) pull = INT32_MAX;
  // Placement of the pictures this pass delivers (PlacePicture): counted
  // from the first one that the count above expects; AVC pictures by their
  // order counts, anchored at the group's opening picture.
  StartPlacement(static_cast<size_t>(g), static_cast<int>(std::max<i64>(0, M + 1 - pull)));
  // Nothing of a pass before is left out in this one; the pictures fed
  // are numbered from the group on.
  lead_out = {};
  StartTags(static_cast<size_t>(g));
  pull_count.store(static_cast<u32>(pull));
  SetEvent(evt_positioned);
  return static_cast<int>(g);
}

bool CAVCDecoder::NeedsPassOfItsOwn(u32 record) const {
  bool damage_start = false;
  const size_t g = PassStart(record, &damage_start);
  return damage_start && !(pass_damage_start && pass_group == g);
}

bool CAVCDecoder::SetDamageNear(i64 i) const {
  if (damage_list.empty() || sps_list.empty() || groups.empty() || i < 0) return false;
  const u64 picture = static_cast<u64>(i);
  const auto after = std::upper_bound(groups.begin(), groups.end(), picture,
                                      [](u64 p, const GroupRecord& r) { return p < r.first; });
  const size_t g = after == groups.begin() ? 0 : static_cast<size_t>(after - groups.begin()) - 1;
  const u64 from = groups[g > 0 ? g - 1 : 0].position;
  const u64 to = g + 1 < groups.size() ? groups[g + 1].position : UINT64_MAX;
  for (auto d = std::lower_bound(damage_list.begin(), damage_list.end(), from); d != damage_list.end() && *d < to; ++d)
    if (std::find(sps_list.begin(), sps_list.end(), *d) != sps_list.end()) return true;
  return false;
}

size_t CAVCDecoder::BeforeDamage(size_t g, size_t own) const {
  const size_t G = groups.size();
  if (g == 0 || own >= G) return g;
  // Damage that a pass from g to the end of the target's group meets: the
  // first at or after g's position. The last picture of an MPEG-2 input
  // may be cut by its end, and is concealed from the pictures before it:
  // the last group holds damage then.
  const u64 end = own + 1 < G ? groups[own + 1].position : UINT64_MAX;
  auto before = [](const GroupRecord& r, u64 position) { return r.position < position; };
  for (int extra = 0; extra < kDamageGroups && g > 0; ++extra) {
    const auto d = std::lower_bound(damage_list.begin(), damage_list.end(), groups[g].position);
    u64 at = 0;
    if (d != damage_list.end() && *d < end)
      at = *d;
    else if (own + 1 == G && codec == CODEC_MPEG2)
      at = UINT64_MAX;  // in the last group, after its start
    else
      break;
    // The damage lies before `at`, in the last group that starts before
    // it. The decoder conceals the damaged pictures from what it decoded
    // before them, which reaches back past that group's start: every pass
    // for them starts two groups earlier still (PassStart), and so decodes
    // them alike.
    const size_t k = static_cast<size_t>(std::lower_bound(groups.begin(), groups.end(), at, before) - groups.begin());
    const size_t start = k >= 3 ? k - 3 : 0;
    if (start >= g) break;
    g = start;
  }
  return g;
}

void CAVCDecoder::StartPlacement(size_t g, int next) {
  const size_t G = groups.size();
  place_scan_group = g;
  place_next = next;
  place_anchored = false;
  place_in_turn = true;
  place_opener = -1;
  // AVC order counts are read afresh from the group on (where feeding goes
  // on after Matroska frames left out, they go on from the frames fed).
  avc_poc = {};
  if (codec != CODEC_AVC || g >= G) return;
  const u64 end = std::min<u64>(g + 1 < G ? groups[g + 1].first : u64(coded_count), frames.size());
  for (u64 i = groups[g].first; i < end && place_opener < 0; ++i) {
    const int t = frames[i].slice_type % 5;
    if (t == 2 || (groups[g].idr && t == 4)) place_opener = static_cast<int>(i);
  }
  place_taken.assign(std::min<size_t>(static_cast<size_t>(std::max(coded_count, 0)), frames.size()), false);
  place_idr_from = UINT64_MAX;
  for (size_t k = g + 1; k < G && place_idr_from == UINT64_MAX; ++k)
    if (groups[k].idr) place_idr_from = groups[k].first;
}

bool CAVCDecoder::FeedParameterSets(u64 position) {
  // MP4: the group's buffer begins with the configuration's sets.
  if (stream_type == CONTAINER_MP4) return true;
  if (stream_type == CONTAINER_MKV) {
    if (FeedMatroskaParameterSets(position)) return true;
    pass_problem = "the Matroska frames before the group at " + std::to_string(position) + " ns cannot be read";
    EndPass();
    return false;
  }
  // Each set is read from its position in the index; a set that is not
  // there ends the pass (FailPass).
  auto feed = [this](u64 at) {
    AlignStream(at);
    if ((this->*get_unit)() < 1 || (ByteOffsets() && !UnitAtAlignment())) {
      FailPass("parameter set", at);
      return false;
    }
    decoder_decode_nalu(unit.buf, unit.len);
    return true;
  };
  // SPS: the last one at or before the group (the first when none is).
  u64 at = 0;
  if (!sps_list.empty()) {
    const long i = LastAtOrBefore(sps_list, position);
    at = sps_list[i < 0 ? 0 : static_cast<size_t>(i)];
  }
  if (!feed(at)) return false;

  // PPS: the last 15 at or before the group, as later ones may replace
  // earlier ones with the same id; the first when none lies before it.
  if (pps_list.empty()) return feed(0);
  long j = LastAtOrBefore(pps_list, position);
  if (j < 0) j = 0;
  for (long k = std::max(0L, j - 14); k <= j; ++k)
    if (!feed(pps_list[static_cast<size_t>(k)])) return false;
  return true;
}

void CAVCDecoder::EndPass() {
  decoder_flush();
  end_of_stream.store(1);
  SetEvent(evt_delivered);
}

void CAVCDecoder::FailPass(const char* what, u64 position) {
  // A reader that already said what it found there keeps its word.
  if (pass_problem.empty())
    pass_problem = std::string("no ") + what + " starts at position " + std::to_string(position) +
                   " of the input, where the index places one";
  EndPass();
}

void CAVCDecoder::FeedGroup(u64 position, bool after_sequence) {
  AlignStream(position);
  // Where positions are byte offsets, the group's first unit must stand at
  // its position, and MPEG-2 and VC-1 groups open with a sequence header
  // (an MPEG-2 group after its sequence header with its GOP header or I
  // picture). Anything else means the index names other bytes than it was
  // made from: decoding from there would deliver other pictures as the
  // requested ones.
  int r = (this->*get_unit)();
  const unsigned char code = r >= 1 && unit.len > 3 ? unit.buf[3] : 0;
  const bool mpeg2_start = after_sequence ? code == 0xB8 || code == 0x00 : code == 0xB3;
  const bool sequence = codec == CODEC_MPEG2 ? mpeg2_start : codec == CODEC_VC1 ? code == 0x0F : true;
  if (r < 1 || (ByteOffsets() && (!UnitAtAlignment() || !sequence))) return FailPass("group", position);
  while (r >= 1) {
    if (!LeadingUnitLeftOut()) FeedUnit();
    if (WaitForEvent(evt_stop, 0) == 0) return;  // a seek or teardown: no flush
    r = (this->*get_unit)();
  }
  EndPass();
}

void CAVCDecoder::FeedUnit() { decoder_decode_nalu(unit.buf, unit.len); }

void CAVCDecoder::LeaveOutLeadingPictures(size_t g) {
  lead_out = {};
  if (g >= groups.size()) return;
  // Where the index lists the group's leading pictures, they are fed.
  if (codec == CODEC_MPEG2) lead_out.on = groups[g].closed != 1 && LeadingPictures(g) == 0;
  if (codec == CODEC_HEVC) lead_out.on = groups[g].rasl == 0;
}

bool CAVCDecoder::LeadingUnitLeftOut() {
  if (!lead_out.on || unit.len < 4) return false;
  const unsigned char* b = unit.buf;
  if (codec == CODEC_HEVC) {
    const int type = (b[3] >> 1) & 63;
    if (type == 8 || type == 9) return true;   // RASL
    if (type == 6 || type == 7 || (type >= 10 && type <= 15) || type > 23) return false;
    if (type >= 16) {
      // The group's IRAP picture, or a later one, which ends the rule.
      const bool first_segment = unit.len > 5 && (b[5] & 0x80);
      if (first_segment && ++lead_out.pictures > 1) lead_out.on = false;
      return false;
    }
    lead_out.on = false;  // a trailing picture
    return false;
  }
  if (codec != CODEC_MPEG2) return false;
  const unsigned char code = b[3];
  if (code == 0x00) {
    const int type = unit.len > 5 ? (b[5] >> 3) & 7 : 0;
    const int temporal_reference = unit.len > 5 ? (b[4] << 2) | (b[5] >> 6) : -1;
    if (++lead_out.pictures == 1 || lead_out.partner) {
      lead_out.partner = false;  // the group's I picture, or its second field
      lead_out.dropping = false;
      if (lead_out.pictures == 1) lead_out.intra_reference = temporal_reference;
    } else if (type == 3 && !(lead_out.intra_reference >= 0 && temporal_reference >= 0 &&
                              ((temporal_reference - lead_out.intra_reference) & 1023) > 0 &&
                              ((temporal_reference - lead_out.intra_reference) & 1023) < 512)) {
      // A B picture shown before the I picture (by its temporal
      // reference; one shown after it follows a P picture that was lost).
      lead_out.dropping = true;
    } else {
      lead_out.on = false;
      return false;
    }
    return lead_out.dropping;
  }
  if (code == 0xB3 || code == 0xB7 || code == 0xB8) {
    if (lead_out.pictures > 0) lead_out.on = false;
    return false;
  }
  if (code == 0xB5 && lead_out.pictures == 1 && unit.len > 6 && (b[4] >> 4) == 8) {
    const int structure = b[6] & 3;
    lead_out.partner = structure == 1 || structure == 2;
  }
  return lead_out.dropping;
}

void CAVCDecoder::AVCDecode() {
  const int g = ChooseGroup();
  if (groups.empty()) return EndPass();
  const u64 position = groups[static_cast<size_t>(g)].position;
  if (!FeedParameterSets(position)) return;  // the pass has ended
  FeedGroup(position);
}

void CAVCDecoder::HEVCDecode() {
  const int g = ChooseGroup();
  if (groups.empty()) return EndPass();
  const u64 position = groups[static_cast<size_t>(g)].position;
  if (!FeedParameterSets(position)) return;  // the pass has ended
  FeedGroup(position);
}

bool CAVCDecoder::FeedSequenceHeader(u64 position) {
  AlignStream(position);
  int r = (this->*get_unit)();
  auto code = [&]() { return r >= 1 && unit.len > 3 ? unit.buf[3] : -1; };
  // A container's position is the time of the frame that holds the header,
  // which need not be the frame's first unit.
  for (int k = 0; !ByteOffsets() && r >= 1 && code() != 0xB3 && k < kHeaderSearch; ++k) r = (this->*get_unit)();
  if (code() != 0xB3 || (ByteOffsets() && !UnitAtAlignment())) {
    FailPass("sequence header", position);
    return false;
  }
  // Its extensions and user data follow it up to the GOP header or picture.
  do {
    FeedUnit();
    r = (this->*get_unit)();
  } while (code() == 0xB5 || code() == 0xB2);
  return true;
}

void CAVCDecoder::MPGDecode() {
  const int g = ChooseGroup();
  if (groups.empty()) return EndPass();
  const GroupRecord& group = groups[static_cast<size_t>(g)];
  if (group.sequence_apart && !FeedSequenceHeader(group.sequence_position)) return;  // the pass has ended
  LeaveOutLeadingPictures(static_cast<size_t>(g));
  FeedGroup(group.position, group.sequence_apart != 0);
}

void CAVCDecoder::VC1Decode() {
  const int g = ChooseGroup();
  if (groups.empty()) return EndPass();
  FeedGroup(groups[static_cast<size_t>(g)].position);
}
