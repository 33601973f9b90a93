// H.264/AVC picture analysis and its index records.
#include "avc.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <vector>

#include "Matroska.h"
#include "mp4.h"
#include "decode.h"
#include "index.h"
#include "nalu.h"
#include "parset.h"
#include "rbsp.h"
#include "sei.h"
#include "ts.h"

constexpr u64 NONE = ~u64{0};  // "no position" for hadSPS, hadPPS, pending_rps

// NAL unit types read here (Table 7-1); types above 8 are ignored.
enum : int {
  NALU_SLICE = 1,
  NALU_DPA = 2,
  NALU_DPB = 3,
  NALU_DPC = 4,
  NALU_IDR = 5,
  NALU_SEI = 6,
  NALU_SPS = 7,
  NALU_PPS = 8,
};
constexpr int SLICE_I = 2;  // slice_type % 5

// ---------------------------------------------------------------- pending group
// One picture of the group being gathered.
struct FrmRecord {
  unsigned char slice_type;  // raw slice_type of the first slice, 0..9
  int pic_struct;            // avc_picture_structure in force, -1 none
  int poc;                   // frame: min(top, bottom); field pair: the first field's count
  int coded_order;           // 0 frame with equal counts, 1 top first, 2 bottom first
  int run;                   // sorting run within its group (see sort_run_of)
  int frame_repeats;         // what its picture timing added to frame_repeats
  int field_repeats;         // ... and to field_repeats
  u64 time;                  // Matroska: its frame's time
  u64 shown;                 // presentation time (pes.h, index.h), kNoTime for none
  bool unread;               // a Matroska frame without a readable header: its count follows from its time
};

static struct {
  u64 position;              // first slice of the group's first picture
  u64 rps;                   // recovery point SEI before it, NONE when none
  int nal_unit_type;         // of that first slice; 5 = IDR
} pending_header;
// The group grows as needed: a stream without I pictures after its first
// (periodic intra refresh) puts every picture into one group.
static std::vector<FrmRecord> pending_frms;
static int had_first_I;      // 1 once the first group has begun
// The group opened at a non-IDR I picture after pictures were lost to
// damage: pictures of it shown before its I picture reference lost ones.
static bool group_after_loss;
// The group's sorting run: its order counts are comparable with each other.
static int sort_run, run_floor;
static unsigned run_gaps;  // ts_video_gaps before the unit that began the run
static unsigned unit_gaps; // ts_video_gaps when the unit before this one was parsed

// ---------------------------------------------------------------- new-picture detection
static int prev_frame_num, prev_pic_parameter_set_id, prev_field_pic_flag, prev_bottom_field_flag;
static int prev_nal_ref_idc, prev_idr_flag, prev_idr_pic_id, prev_pic_order_cnt_lsb;
static int prev_delta_pic_order_cnt_bottom, prev_delta_pic_order_cnt0, prev_delta_pic_order_cnt1;
static int top_field_first;        // parity of the first field of the current pair: 1 top
static int first_field_pending;    // the last picture is a single field awaiting its partner
static int coded_field_order;      // of the last new picture (see FrmRecord)

// ---------------------------------------------------------------- parameter-set bookkeeping
static u64 hadSPS, hadPPS;         // position of the last SPS / PPS stored, NONE before
// NAL unit bytes (header included, emulation prevention and trailing zero
// bytes removed) of the last SPS / PPS written to the index; empty = none yet.
static std::vector<unsigned char> last_sps, last_pps;
static u64 pending_rps;            // recovery point not yet attached to a group
static int last_structure;         // pic_struct of the last picture of the previous group, -1 none

// Work buffer: one unit after its start code, emulation prevention removed.
static unsigned char rbsp_buf[NALU_BUFFER_SIZE];

static bool writing() { return Operation == 0 && p_aif != nullptr; }
static bool byte_container() { return SystemStream_Flag == 0 || SystemStream_Flag == 1 || SystemStream_Flag == 3; }

static void append_record(const FrmRecord& r) {
  try {
    pending_frms.push_back(r);
  } catch (const std::bad_alloc&) {
    no_mem_exit("pending_frms");
  }
}

// Remembers the set as the last written one of its kind; true when it
// differs from the one remembered (so a line is due).
static bool changed_set(std::vector<unsigned char>& last, const unsigned char* bytes, int len) {
  while (len > 1 && bytes[len - 1] == 0) len--;  // trailing_zero_8bits are stream padding
  if (static_cast<size_t>(len) == last.size() && std::equal(last.begin(), last.end(), bytes)) return false;
  try {
    last.assign(bytes, bytes + len);
  } catch (const std::bad_alloc&) {
    no_mem_exit("last parameter set");
  }
  return true;
}

// ---------------------------------------------------------------- frame rate and aspect

// Frame rate = time_scale / (2 x num_units_in_tick): a frame lasts two ticks.
// The fraction is reduced (time_scale 100 with tick 1 stays 50 / 1) and then
// scaled down until both terms fit an int.
static void set_rate_from_vui(int time_scale, int num_units_in_tick) {
  if (time_scale <= 0 || num_units_in_tick <= 0) {
    snap_frame_rate(0, 0);
    return;
  }
  u64 num = static_cast<u64>(time_scale), den = 2 * static_cast<u64>(num_units_in_tick);
  const u64 g = gcd64(num, den);
  num /= g;
  den /= g;
  while (num > 0x7FFFFFFF || den > 0x7FFFFFFF) {
    num >>= 1;
    den >>= 1;
  }
  snap_frame_rate(static_cast<int>(num), static_cast<int>(den));
}

static void set_sample_aspect_ratio() {
  int w = 0, h = 0;
  if (sample_aspect_ratio == 255) {
    w = sar_width;
    h = sar_height;
  } else if (!sar_from_idc(sample_aspect_ratio, &w, &h)) {
    w = h = 0;  // reserved idc 17..254: no ratio, which a reader ignores
  }
  sarw = w;
  sarh = h;
}

// ---------------------------------------------------------------- group output

// A 3:2 cadence in display order: top-bottom, top-bottom-top, bottom-top,
// bottom-top-bottom, and round again.
static bool film_transition(int a, int b) {
  return (a == 3 && b == 5) || (a == 5 && b == 4) || (a == 4 && b == 6) || (a == 6 && b == 3);
}

static void count_transition(int a, int b) {
  if (film_transition(a, b))
    FILM_Purity++;
  else
    VIDEO_Purity++;
}

static int order_from_record(const FrmRecord& r) {
  switch (r.pic_struct) {
    case 2: case 4: case 6: return 2;
    case 1: case 3: case 5: return 1;
    case 0: case 7: case 8: return 0;
    default: return r.coded_order;
  }
}

// After packets of a transport stream were lost, the pictures from one
// whose order count cannot belong to the group's on (it equals the count of
// a picture of the run, or lies below the group's IDR picture, or below its
// I picture after pictures shown after that, or it would be shown before a
// picture of the run that its presentation time shows it after: an IDR
// picture, the first part of streams joined or the references the count
// derives from were lost, and the count of a later group's picture may
// match a lost one's of this group) form a run of their own, shown after
// the pictures before it: every picture keeps its place in the recording.
static int sort_run_of(int poc, u64 shown, bool opens) {
  if (opens) {
    // A gap the unit of the I picture runs over counts: what follows may
    // belong elsewhere.
    sort_run = 0;
    run_floor = poc;
    run_gaps = unit_gaps;
    return 0;
  }
  if (ts_video_gaps == run_gaps) return sort_run;
  bool trailing = sort_run == 0 && pending_header.nal_unit_type == NALU_IDR, restart = false;
  for (auto r = pending_frms.rbegin(); r != pending_frms.rend() && r->run == sort_run && !restart; ++r) {
    restart = r->poc == poc || (r->poc > poc && shown_before(r->shown, shown));
    trailing = trailing || r->poc > run_floor;
  }
  if (restart || (trailing && poc < run_floor)) {
    ++sort_run;
    run_floor = INT_MIN;  // its own pictures may all come before its first
    run_gaps = ts_video_gaps;
  }
  return sort_run;
}

void AvcFrameWithoutPicture(u64 t) {
  // A picture timing message that the frame carried is its picture's.
  const int own_frame_repeats = sei_frame_repeats, own_field_repeats = sei_field_repeats;
  const int own_pic_struct = sei_pic_struct;
  sei_frame_repeats = sei_field_repeats = 0;
  sei_pic_struct = -1;
  if (Operation != 0 || !had_first_I || pending_frms.empty()) return;  // before the first group nothing is indexed
  if (pictures_lost) {
    ++pictures_left_out;
    frame_repeats -= own_frame_repeats;
    field_repeats -= own_field_repeats;
    return;
  }
  FrmRecord r{};
  r.slice_type = 0;
  r.pic_struct = own_pic_struct;
  r.frame_repeats = own_frame_repeats;
  r.field_repeats = own_field_repeats;
  r.coded_order = coded_field_order;
  r.run = sort_run;
  r.time = t;
  r.shown = t;
  r.unread = true;
  append_record(r);
  coded++;
}

// The unread records of the group get the order count that their times
// give among the group's other pictures of their run; those that no count
// fits are left out.
static void place_unread_records() {
  bool any = false;
  for (const FrmRecord& r : pending_frms) any = any || r.unread;
  if (!any) return;
  const int i_poc = pending_frms.front().poc;
  std::vector<bool> drop(pending_frms.size(), false);
  for (size_t i = 0; i < pending_frms.size(); ++i) {
    FrmRecord& r = pending_frms[i];
    if (!r.unread) continue;
    std::vector<std::pair<u64, int>> known;
    for (const FrmRecord& o : pending_frms)
      if (!o.unread && o.run == r.run) known.push_back({o.time, o.poc});
    int poc = 0;
    if (!OrderCountAtTime(known, r.time, &poc)) {
      drop[i] = true;
      continue;
    }
    r.poc = poc;
    if (r.run == pending_frms.front().run && poc < i_poc) r.slice_type = 1;
  }
  size_t w = 0;
  for (size_t i = 0; i < pending_frms.size(); ++i) {
    if (drop[i]) {
      coded--;
      ++pictures_left_out;
      frame_repeats -= pending_frms[i].frame_repeats;
      field_repeats -= pending_frms[i].field_repeats;
      continue;
    }
    pending_frms[w++] = pending_frms[i];
  }
  pending_frms.resize(w);
}

void OutputPendingFrmsAVC() {
  if (pending_frms.empty()) return;
  place_unread_records();
  if (group_after_loss) {
    // The first group after frames lost opens at a non-IDR I picture:
    // decoding starts there, but not at its leading pictures (after it in
    // decode order, shown before it), which may reference the pictures lost.
    group_after_loss = false;
    const int i_poc = pending_frms.front().poc;
    const auto kept = std::stable_partition(pending_frms.begin() + 1, pending_frms.end(),
                                            [&](const FrmRecord& r) { return r.poc >= i_poc; });
    const int leading = static_cast<int>(pending_frms.end() - kept);
    // Pictures not indexed repeat none of their fields.
    for (auto r = kept; r != pending_frms.end(); ++r) {
      frame_repeats -= r->frame_repeats;
      field_repeats -= r->field_repeats;
    }
    pending_frms.erase(kept, pending_frms.end());
    pictures_left_out += leading;
    coded -= leading;
  }
  if (writing()) {
    if (pending_header.rps != NONE) fprintf(p_aif, "\nRPS %llu", static_cast<unsigned long long>(pending_header.rps));
    fprintf(p_aif, "\n%s %llu", pending_header.nal_unit_type == NALU_IDR ? "IDR" : "I",
            static_cast<unsigned long long>(pending_header.position));
  }
  std::stable_sort(pending_frms.begin(), pending_frms.end(), [](const FrmRecord& a, const FrmRecord& b) {
    return a.run != b.run ? a.run < b.run : a.poc < b.poc;
  });
  for (size_t i = 1; i < pending_frms.size(); i++)
    if (pending_frms[i].run == pending_frms[i - 1].run) check_display_order(pending_frms[i - 1].shown, pending_frms[i].shown);
  for (const FrmRecord& r : pending_frms) {
    if (field_order == -1) field_order = order_from_record(r);
    if (writing()) {
      write_lost_slots(r.shown, 2 + 2 * r.frame_repeats + r.field_repeats);
      write_picture_line(FRM_ndx, "FRM", {r.slice_type, r.poc, r.pic_struct});
    }
    if (Operation == 0) FRM_ndx++;
  }
  if (last_structure != -1) count_transition(last_structure, pending_frms.front().pic_struct);
  for (size_t i = 1; i < pending_frms.size(); i++)
    if (pending_frms[i].poc != pending_frms[i - 1].poc)
      count_transition(pending_frms[i - 1].pic_struct, pending_frms[i].pic_struct);
  last_structure = pending_frms.back().pic_struct;
  pending_frms.clear();
}

// ---------------------------------------------------------------- picture order count

static int wrap32(i64 v) { return static_cast<int>(static_cast<u32>(static_cast<u64>(v))); }

// FrameNumOffset of picture order count types 1 and 2 (8.2.1.2, 8.2.1.3): it grows
// by MaxFrameNum whenever frame_num wraps, and restarts at an IDR picture.
static void set_frame_num_offset() {
  if (img->idr_flag)
    img->FrameNumOffset = 0;
  else if (img->PreviousFrameNum > img->frame_num)
    img->FrameNumOffset = img->PreviousFrameNumOffset + img->MaxFrameNum;
  else
    img->FrameNumOffset = img->PreviousFrameNumOffset;
}

// Clause 8.2.1; fills img->toppoc / bottompoc / framepoc for a new picture.
// A memory_management_control_operation 5 is never seen (the slice header is
// not read that far), so its resets of the state do not happen.
static void decode_poc(const seq_parameter_set_rbsp_t* sps) {
  switch (sps->pic_order_cnt_type) {
    case 0: {  // 8.2.1.1
      if (img->idr_flag) {
        img->PrevPicOrderCntMsb = 0;
        img->PrevPicOrderCntLsb = 0;
      }
      const i64 max_lsb = i64{1} << (sps->log2_max_pic_order_cnt_lsb_minus4 + 4);
      const i64 lsb = img->pic_order_cnt_lsb, prev_lsb = img->PrevPicOrderCntLsb;
      if (lsb < prev_lsb && prev_lsb - lsb >= max_lsb / 2)
        img->PicOrderCntMsb = img->PrevPicOrderCntMsb + max_lsb;
      else if (lsb > prev_lsb && lsb - prev_lsb > max_lsb / 2)
        img->PicOrderCntMsb = img->PrevPicOrderCntMsb - max_lsb;
      else
        img->PicOrderCntMsb = img->PrevPicOrderCntMsb;
      const i64 top = img->PicOrderCntMsb + lsb;
      if (img->structure == 0) {
        img->toppoc = wrap32(top);
        img->bottompoc = wrap32(top + img->delta_pic_order_cnt_bottom);
      } else if (img->structure == 1) {
        img->toppoc = wrap32(top);
      } else {
        img->bottompoc = wrap32(top);
      }
      if (img->nal_reference_idc) {
        img->PrevPicOrderCntMsb = img->PicOrderCntMsb;
        img->PrevPicOrderCntLsb = img->pic_order_cnt_lsb;
      }
      break;
    }
    case 1: {  // 8.2.1.2; unsigned sums wrap instead of overflowing
      set_frame_num_offset();
      const unsigned cycle = sps->num_ref_frames_in_pic_order_cnt_cycle;  // <= 255 once activated
      i64 absFrameNum = cycle != 0 ? img->FrameNumOffset + img->frame_num : 0;
      if (img->nal_reference_idc == 0 && absFrameNum > 0) absFrameNum--;
      u64 expected = 0;
      if (absFrameNum > 0) {
        u64 delta_per_cycle = 0;
        for (unsigned i = 0; i < cycle; i++) delta_per_cycle += static_cast<u64>(static_cast<i64>(sps->offset_for_ref_frame[i]));
        const u64 cycle_cnt = static_cast<u64>(absFrameNum - 1) / cycle;
        const unsigned in_cycle = static_cast<unsigned>(static_cast<u64>(absFrameNum - 1) % cycle);
        expected = cycle_cnt * delta_per_cycle;
        for (unsigned i = 0; i <= in_cycle; i++) expected += static_cast<u64>(static_cast<i64>(sps->offset_for_ref_frame[i]));
      }
      if (img->nal_reference_idc == 0) expected += static_cast<u64>(static_cast<i64>(sps->offset_for_non_ref_pic));
      const u64 d0 = static_cast<u64>(static_cast<i64>(img->delta_pic_order_cnt[0]));
      const u64 d1 = static_cast<u64>(static_cast<i64>(img->delta_pic_order_cnt[1]));
      const u64 t2b = static_cast<u64>(static_cast<i64>(sps->offset_for_top_to_bottom_field));
      if (img->structure == 0) {
        img->toppoc = wrap32(static_cast<i64>(expected + d0));
        img->bottompoc = wrap32(static_cast<i64>(expected + d0 + t2b + d1));
      } else if (img->structure == 1) {
        img->toppoc = wrap32(static_cast<i64>(expected + d0));
      } else {
        img->bottompoc = wrap32(static_cast<i64>(expected + t2b + d0));
      }
      img->PreviousFrameNum = img->frame_num;
      img->PreviousFrameNumOffset = img->FrameNumOffset;
      break;
    }
    default: {  // 2: 8.2.1.3
      set_frame_num_offset();
      i64 temp = 0;
      if (!img->idr_flag) {
        temp = 2 * (img->FrameNumOffset + img->frame_num);
        if (img->nal_reference_idc == 0) temp--;
      }
      if (img->structure == 0) {
        img->toppoc = img->bottompoc = wrap32(temp);
      } else if (img->structure == 1) {
        img->toppoc = wrap32(temp);
      } else {
        img->bottompoc = wrap32(temp);
      }
      img->PreviousFrameNum = img->frame_num;
      img->PreviousFrameNumOffset = img->FrameNumOffset;
      break;
    }
  }
  if (img->structure == 0)
    img->framepoc = std::min(img->toppoc, img->bottompoc);
  else
    img->framepoc = img->structure == 1 ? img->toppoc : img->bottompoc;

  // Coded field order. A field pair is in the order of its first field; a
  // frame is top first when its top count is the smaller, and an MBAFF frame
  // of equal counts is taken as top first too.
  if (img->structure == 1)
    coded_field_order = 1;
  else if (img->structure == 2)
    coded_field_order = 2;
  else if (img->toppoc < img->bottompoc)
    coded_field_order = 1;
  else if (img->toppoc > img->bottompoc)
    coded_field_order = 2;
  else
    coded_field_order = img->MbaffFrameFlag ? 1 : 0;
}

// ---------------------------------------------------------------- slices

static int parse_slice(const unsigned char* rbsp, int rbsp_len, u64 position) {
  const int nal_unit_type = rbsp[0] & 31;
  const int nal_ref_idc = (rbsp[0] >> 5) & 3;
  const int idr = nal_unit_type == NALU_IDR;

  const int payload = rbsp_payload_length(rbsp + 1, rbsp_len - 1);
  if (payload == 0) {
    printf("Panic: All zero data sequence in RBSP\n");
    return 2;  // nothing to read; the unit is skipped
  }
  Bitstream s;
  init_bitstream(&s, rbsp + 1, payload);

  const unsigned first_mb_in_slice = read_ue(&s);
  const unsigned slice_type = read_ue(&s);
  const unsigned pic_parameter_set_id = read_ue(&s);
  if (s.ei_flag || slice_type > 9) return 2;

  // Slices that cannot be placed are dropped.
  if (hadSPS == NONE || hadPPS == NONE) return 2;
  if (byte_container() && (hadSPS > position || hadPPS > position)) return 2;
  if (pic_parameter_set_id >= MAXPPS) return 2;
  if (UseParameterSet(static_cast<int>(pic_parameter_set_id)) != 0) return 2;
  const seq_parameter_set_rbsp_t* sps = active_sps;
  const pic_parameter_set_rbsp_t* pps = active_pps;

  // ---- the slice header up to delta_pic_order_cnt[1] (clause 7.3.3)
  const unsigned frame_num = read_u(&s, static_cast<int>(sps->log2_max_frame_num_minus4) + 4);
  int field_pic_flag = 0, bottom_field_flag = 0;
  if (!sps->frame_mbs_only_flag) {
    field_pic_flag = static_cast<int>(read_u(&s, 1));
    if (field_pic_flag) bottom_field_flag = static_cast<int>(read_u(&s, 1));
  }
  unsigned idr_pic_id = 0;
  if (idr) idr_pic_id = read_ue(&s);
  unsigned pic_order_cnt_lsb = 0;
  int delta_pic_order_cnt_bottom = 0, delta0 = 0, delta1 = 0;
  if (sps->pic_order_cnt_type == 0) {
    pic_order_cnt_lsb = read_u(&s, static_cast<int>(sps->log2_max_pic_order_cnt_lsb_minus4) + 4);
    if (pps->bottom_field_pic_order_in_frame_present_flag && !field_pic_flag) delta_pic_order_cnt_bottom = read_se(&s);
  } else if (sps->pic_order_cnt_type == 1 && !sps->delta_pic_order_always_zero_flag) {
    delta0 = read_se(&s);
    if (pps->bottom_field_pic_order_in_frame_present_flag && !field_pic_flag) delta1 = read_se(&s);
  }
  // A header cut short would compare as made of zeros: drop the slice instead.
  if (s.ei_flag) return 2;
  if (idr && frame_num != 0 && sps->pic_order_cnt_type != 0) {
    // Not a decodable IDR picture; the run goes on with the next unit.
    printf(sps->pic_order_cnt_type == 1 ? "frame_num not equal to zero in IDR picture\n"
                                        : "frame_num not equal to zero in IDR picture.\n");
    return 2;
  }

  img->raw_type = static_cast<int>(slice_type);
  img->type = static_cast<int>(slice_type % 5);
  img->first_mb_in_slice = first_mb_in_slice;
  img->pic_parameter_set_id = pic_parameter_set_id;
  img->frame_num = frame_num;
  img->field_pic_flag = field_pic_flag;
  img->bottom_field_flag = bottom_field_flag;
  img->structure = field_pic_flag ? (bottom_field_flag ? 2 : 1) : 0;
  img->MbaffFrameFlag = sps->mb_adaptive_frame_field_flag && !field_pic_flag;
  img->idr_flag = idr;
  img->nal_reference_idc = nal_ref_idc;
  img->idr_pic_id = idr_pic_id;
  img->pic_order_cnt_lsb = pic_order_cnt_lsb;
  img->delta_pic_order_cnt_bottom = delta_pic_order_cnt_bottom;
  img->delta_pic_order_cnt[0] = delta0;
  img->delta_pic_order_cnt[1] = delta1;

  // ---- first slice of a new picture? (clause 7.4.1.2.4)
  bool new_picture = false;
  if (prev_idr_flag == 1 && idr && first_mb_in_slice == 0) new_picture = true;
  if (static_cast<int>(frame_num) != prev_frame_num ||
      static_cast<int>(pic_parameter_set_id) != prev_pic_parameter_set_id || field_pic_flag != prev_field_pic_flag)
    new_picture = true;
  if (nal_ref_idc != prev_nal_ref_idc && (nal_ref_idc == 0 || prev_nal_ref_idc == 0)) new_picture = true;
  if (field_pic_flag && bottom_field_flag != prev_bottom_field_flag) new_picture = true;
  if (idr != prev_idr_flag) new_picture = true;
  if (sps->pic_order_cnt_type == 0 && (static_cast<int>(pic_order_cnt_lsb) != prev_pic_order_cnt_lsb ||
                                       delta_pic_order_cnt_bottom != prev_delta_pic_order_cnt_bottom))
    new_picture = true;
  if (sps->pic_order_cnt_type == 1 && (delta0 != prev_delta_pic_order_cnt0 || delta1 != prev_delta_pic_order_cnt1))
    new_picture = true;

  // ---- field pairs: the second field of a pair is no new picture
  if (field_pic_flag) {
    if (new_picture) {
      const bool second_field = first_field_pending && static_cast<int>(frame_num) == prev_frame_num &&
                                bottom_field_flag == top_field_first;
      if (second_field) {
        new_picture = false;
        first_field_pending = 0;
      } else {
        top_field_first = !bottom_field_flag;
        first_field_pending = 1;
      }
    }
  } else if (new_picture) {
    first_field_pending = 0;
  }

  prev_frame_num = static_cast<int>(frame_num);
  prev_pic_parameter_set_id = static_cast<int>(pic_parameter_set_id);
  prev_field_pic_flag = field_pic_flag;
  prev_bottom_field_flag = bottom_field_flag;
  prev_nal_ref_idc = nal_ref_idc;
  prev_idr_flag = idr;
  prev_idr_pic_id = static_cast<int>(idr_pic_id);
  prev_pic_order_cnt_lsb = static_cast<int>(pic_order_cnt_lsb);
  prev_delta_pic_order_cnt_bottom = delta_pic_order_cnt_bottom;
  prev_delta_pic_order_cnt0 = delta0;
  prev_delta_pic_order_cnt1 = delta1;

  if (!new_picture) return 2;
  decode_poc(sps);
  if (Operation != 0) return 1;
  ++pictures_begun;
  // The repeats of the picture timing read before this picture are its own.
  const int own_frame_repeats = sei_frame_repeats, own_field_repeats = sei_field_repeats;
  const u64 shown = picture_time(byte_container() ? access_unit_position() : mkv_current_tc);
  sei_frame_repeats = sei_field_repeats = 0;
  sei_pic_struct = -1;

  // ---- groups open at IDR and I pictures
  const bool opens = idr || img->type == SLICE_I;
  if (opens && !pending_frms.empty()) OutputPendingFrmsAVC();
  // After pictures were lost, those up to the next group cannot be decoded.
  // (Before the first group nothing is indexed anyway.)
  if (pictures_lost && !opens && had_first_I) {
    ++pictures_left_out;
    frame_repeats -= own_frame_repeats;
    field_repeats -= own_field_repeats;
    return 1;
  }
  if (pictures_lost && opens) {
    pictures_lost = false;
    group_after_loss = had_first_I && !idr;
  }
  if (opens) {
    pending_header.nal_unit_type = nal_unit_type;
    pending_header.rps = pending_rps;
    pending_header.position = position;
    pending_rps = NONE;
    had_first_I = 1;
  }
  if (had_first_I) {
    FrmRecord r;
    r.slice_type = static_cast<unsigned char>(slice_type);
    r.pic_struct = avc_picture_structure;
    r.poc = img->framepoc;
    r.coded_order = coded_field_order;
    r.run = sort_run_of(r.poc, shown, opens);
    r.frame_repeats = own_frame_repeats;
    r.field_repeats = own_field_repeats;
    r.time = mkv_current_tc;
    r.shown = shown;
    r.unread = false;
    append_record(r);
  }
  coded++;
  return 1;
}

// ---------------------------------------------------------------- unit parser

int parse_nalu_avc(NALU_t* unit, u64 position, int flag) {
  struct NoteGaps {
    ~NoteGaps() { unit_gaps = ts_video_gaps; }
  } note_gaps;
  if (SystemStream_Flag == 2 || SystemStream_Flag == 4) position = mkv_current_tc;
  if (!unit || !unit->buf) return 2;
  const u32 prefix = unit->startcodeprefix_len > 0 ? static_cast<u32>(unit->startcodeprefix_len) : 0;
  if (unit->len <= prefix) return 2;
  u32 len = unit->len - prefix;
  if (len > NALU_BUFFER_SIZE) len = NALU_BUFFER_SIZE;  // the reader never hands more
  // The analysis reads only the first fields of a slice header, which lie
  // well inside its first bytes; cleaning the whole slice would cost more
  // than reading it. A head with no 1 bit at all is cleaned whole, so that an
  // all-zero slice is still told apart from one whose bits start later.
  constexpr u32 SLICE_HEAD = 1024;
  const int first_type = unit->buf[prefix] & 31;
  const bool slice = first_type == NALU_SLICE || first_type == NALU_IDR;
  int rbsp_len;
  if (slice && len > SLICE_HEAD) {
    rbsp_len = static_cast<int>(remove_emulation_prevention(unit->buf + prefix, SLICE_HEAD, rbsp_buf, EpRule::kAfterTwoOrMoreZeros));
    if (rbsp_len < 2 || rbsp_payload_length(rbsp_buf + 1, rbsp_len - 1) == 0) {
      CompleteUnit(unit);
      rbsp_len = static_cast<int>(remove_emulation_prevention(unit->buf + prefix, len, rbsp_buf, EpRule::kAfterTwoOrMoreZeros));
    }
  } else {
    rbsp_len = static_cast<int>(remove_emulation_prevention(unit->buf + prefix, len, rbsp_buf, EpRule::kAfterTwoOrMoreZeros));
  }
  if (rbsp_len < 1) return 2;
  const unsigned char* rbsp = rbsp_buf;
  if (rbsp[0] & 0x80) return 2;  // forbidden_zero_bit
  const int type = rbsp[0] & 31;

  if ((type == NALU_SPS || type == NALU_PPS) && parameter_set_damaged(unit->buf + prefix, len)) {
    NoteDamage(position);
    return 2;
  }

  switch (type) {
    case NALU_SLICE:
    case NALU_IDR:
      return parse_slice(rbsp, rbsp_len, position);
    case NALU_DPA:
      printf("data partitioning not implemented\n");
      return 2;
    case NALU_DPB:
      printf("found data partition B without matching DP A, discarding\n");
      return 2;
    case NALU_DPC:
      printf("found data partition C without matching DP A, discarding\n");
      return 2;
    case NALU_SEI:
      if (InterpretSEIMessage(rbsp, rbsp_len, img, flag) == 1 && Operation == 0) pending_rps = position;
      return 2;
    case NALU_SPS: {
      NALU_t rec = *unit;
      rec.buf = rbsp_buf;
      rec.len = static_cast<u32>(rbsp_len);
      // A set that is not valid (unknown profile, ids or lengths out of
      // range, cut short) changes nothing and is not named in the index.
      if (!ProcessSPS(&rec)) return 2;
      unit->vui_time_scale = rec.vui_time_scale;
      unit->vui_num_units_in_tick = rec.vui_num_units_in_tick;
      if (sarw == -1 && Operation == 0) {
        // once per process, from the first SPS
        const seq_parameter_set_rbsp_t& first = SeqParSet[stored_sps_id];
        stream_chroma_format = static_cast<int>(first.chroma_format_idc);
        stream_bit_depth = static_cast<int>(first.bit_depth_luma_minus8) + 8;
        write_depth(stream_bit_depth);
        set_sample_aspect_ratio();
        write_aspect_colorimetry(sarw, sarh, coded_matrix_coefficients, coded_transfer_characteristics,
                                 coded_colour_primaries);
      }
      if (Operation == 0 && changed_set(last_sps, rbsp, rbsp_len) && byte_container() && writing())
        fprintf(p_aif, "\nSPS %llu", static_cast<unsigned long long>(position));
      if (!snap_matroska_rate()) set_rate_from_vui(rec.vui_time_scale, rec.vui_num_units_in_tick);
      hadSPS = position;
      return 2;
    }
    case NALU_PPS: {
      if (hadSPS == NONE) return 2;
      NALU_t rec = *unit;
      rec.buf = rbsp_buf;
      rec.len = static_cast<u32>(rbsp_len);
      if (!ProcessPPS(&rec)) return 2;
      if (Operation == 0 && changed_set(last_pps, rbsp, rbsp_len) && byte_container() && writing())
        fprintf(p_aif, "\nPPS %llu", static_cast<unsigned long long>(position));
      hadPPS = position;
      return 2;
    }
    default:
      return 2;  // 0, and types above 8
  }
}

// ---------------------------------------------------------------- index routine

// How far before the range start the parameter-set search begins.
constexpr u64 PARAMETER_SET_LOOKBACK = 5000000;

void IndexStartingSPS_PPS(u64 position) {
  int file = 0;
  u64 offset = 0;
  PosToFileAndOffset(position, &file, &offset);
  const u64 file_start = position - offset;

  // 1. the parameter sets shortly before the position, in the same file
  const u64 back = offset < PARAMETER_SET_LOOKBACK ? offset : PARAMETER_SET_LOOKBACK;
  SeekStream(position - back);
  IsFirstByteStreamNALU = 1;
  bool got_sps = false, got_pps = false;
  u64 pos = 0;
  while (!Stop_Flag && GetAnnexbNALUAVC(nalu, &pos) > 0 && pos < position) {
    if (nalu->len <= static_cast<u32>(nalu->startcodeprefix_len)) continue;
    const int type = nalu->buf[nalu->startcodeprefix_len] & 31;
    if (type != NALU_SPS && !(type == NALU_PPS && got_sps)) continue;
    bytes_delivered += nalu->len;
    bytes_delivered_total += nalu->len;
    parse_nalu_avc(nalu, pos, 1);
    if (type == NALU_SPS)
      got_sps = true;
    else
      got_pps = true;
  }
  if (got_sps && got_pps) return;

  // 2. otherwise the first SPS and the PPS after it from the file's start
  SeekStream(file_start);
  IsFirstByteStreamNALU = 1;
  got_sps = false;
  while (!Stop_Flag && GetAnnexbNALUAVC(nalu, &pos) > 0) {
    if (nalu->len <= static_cast<u32>(nalu->startcodeprefix_len)) continue;
    const int type = nalu->buf[nalu->startcodeprefix_len] & 31;
    if (type != NALU_SPS && !(type == NALU_PPS && got_sps)) continue;
    bytes_delivered += nalu->len;
    bytes_delivered_total += nalu->len;
    parse_nalu_avc(nalu, pos, 1);
    if (type == NALU_SPS) {
      got_sps = true;
    } else {
      break;
    }
  }
}

void index_avc() {
  if (Operation == 0) {
    // An index that cannot be created is a failed run.
    write_index_head("KWAVCIndexFile", 1);
    write_keyword_header(-1);  // DEPTH comes from the first SPS
    init_indexing();
  }

  u64 start = 0;
  if (SystemStream_Flag == 2) InitializeMKVBuffer(process.start_time);
  if (SystemStream_Flag == 4) InitializeMP4Buffer(process.start_time);
  if (byte_container()) {
    start = process.start_byte;
    if (SystemStream_Flag == 1) start = start >= 204 ? start - 204 : 0;
    SeekStream(start);
    if (Operation == 0) {
      // The search for parameter sets reads ahead of the run: a gap met
      // there is met again, and counted once.
      const unsigned gaps = ts_video_gaps;
      const u64 first_gap = ts_first_gap, lost = ts_video_packets_lost;
      IndexStartingSPS_PPS(start);
      ts_video_gaps = unit_gaps = gaps;
      ts_first_gap = first_gap;
      ts_video_packets_lost = lost;
      SeekStream(start);
      IsFirstByteStreamNALU = 1;
      pending_frms.clear();
      had_first_I = 0;
    }
  }

  OutputProgress(0);
  while (read_new_picture() == 1) {
    if (coded % 1000 == 0) OutputProgress(progress_percent());
    if (Stop_Flag) break;
  }
  OutputProgress(100);

  if (!pending_frms.empty()) OutputPendingFrmsAVC();
  if (Operation != 0) return;
  write_trailer(false);
  close_index_file();
}

void reset_avc_analysis() {
  reset_parset();
  reset_sei();

  pending_frms.clear();
  pending_header.position = 0;
  pending_header.rps = NONE;
  pending_header.nal_unit_type = 0;
  had_first_I = 0;
  group_after_loss = false;
  sort_run = 0;
  run_floor = 0;
  run_gaps = unit_gaps = 0;

  prev_frame_num = prev_pic_parameter_set_id = prev_field_pic_flag = prev_bottom_field_flag = -1;
  prev_nal_ref_idc = prev_idr_flag = prev_idr_pic_id = prev_pic_order_cnt_lsb = -1;
  prev_delta_pic_order_cnt_bottom = prev_delta_pic_order_cnt0 = prev_delta_pic_order_cnt1 = -1;
  top_field_first = 0;
  first_field_pending = 0;
  coded_field_order = 0;

  hadSPS = hadPPS = NONE;
  last_sps.clear();
  last_pps.clear();
  pending_rps = NONE;
  last_structure = -1;

  // shared counters that the AVC trailer prints
  coded = 0;
  FRM_ndx = 0;
  frame_repeats = field_repeats = 0;
  field_order = -1;
  fps_num = 25;
  fps_den = 1;
  FILM_Purity = VIDEO_Purity = 0;
  profile = -1;
}
