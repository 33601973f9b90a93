// H.264 SEI messages.
#include "sei.h"

int avc_picture_structure = -1;
int picture_structure_present_flag;
int sei_frame_repeats, sei_field_repeats;
int sei_pic_struct = -1;

// Payload types of interest (Annex D.1).
constexpr unsigned SEI_PIC_TIMING = 1;
constexpr unsigned SEI_RECOVERY_POINT = 6;

void interpret_picture_timing_info(const unsigned char* payload, int payload_size) {
  if (!active_sps) {
    if (!SeqParSet[0].Valid || UseParameterSet(0) != 0) return;
  }
  const seq_parameter_set_rbsp_t* sps = active_sps;
  if (!sps->vui_parameters_present_flag) {
    picture_structure_present_flag = 0;
    return;
  }
  const vui_parameters_t* vui = &sps->vui_seq_parameters;
  Bitstream s;
  init_bitstream(&s, payload, payload_size);

  // cpb_removal_delay and dpb_output_delay, sized by the HRD that carries them
  const hrd_parameters_t* hrd = nullptr;
  if (vui->nal_hrd_parameters_present_flag)
    hrd = &vui->nal_hrd_parameters;
  else if (vui->vcl_hrd_parameters_present_flag)
    hrd = &vui->vcl_hrd_parameters;
  if (hrd) {
    read_u(&s, static_cast<int>(hrd->cpb_removal_delay_length_minus1) + 1);
    read_u(&s, static_cast<int>(hrd->dpb_output_delay_length_minus1) + 1);
  }

  picture_structure_present_flag = static_cast<int>(vui->pic_struct_present_flag);
  if (!picture_structure_present_flag) return;
  s.ei_flag = 0;
  avc_picture_structure = static_cast<int>(read_u(&s, 4));
  if (s.ei_flag) avc_picture_structure = 0;
  sei_pic_struct = avc_picture_structure;

  if (Operation != 0) return;
  switch (avc_picture_structure) {
    case 7: frame_repeats += 1; sei_frame_repeats += 1; break;  // frame doubling
    case 8: frame_repeats += 2; sei_frame_repeats += 2; break;  // frame tripling
    case 5:                                                      // top, bottom, top repeated
    case 6: field_repeats += 1; sei_field_repeats += 1; break;  // bottom, top, bottom repeated
    default: break;
  }
}

void interpret_recovery_point_info(const unsigned char* payload, int payload_size, img_par* img) {
  Bitstream s;
  init_bitstream(&s, payload, payload_size);
  img->recovery_frame_cnt = read_ue(&s);
}

int InterpretSEIMessage(const unsigned char* rbsp, int size, img_par* img, int /*flag*/) {
  if (!rbsp || size < 2) return 0;
  int i = 1;  // after the NAL header
  bool recovery_point = false;
  for (;;) {
    // payload type and size: 255 for each FF byte plus the first byte below FF;
    // bounded by size, so the sums stay below 255 x NALU_BUFFER_SIZE
    unsigned type = 0;
    while (i < size && rbsp[i] == 0xFF) {
      type += 255;
      i++;
    }
    if (i >= size) return 0;
    type += rbsp[i++];
    unsigned payload_size = 0;
    while (i < size && rbsp[i] == 0xFF) {
      payload_size += 255;
      i++;
    }
    if (i >= size) return 0;
    payload_size += rbsp[i++];
    // the payload must end before the last byte of the unit (stop byte or next message)
    if (payload_size >= static_cast<unsigned>(size - i)) return 0;
    const int n = static_cast<int>(payload_size);

    // Every other type, reserved ones included, is stepped over by its size.
    if (type == SEI_PIC_TIMING) {
      interpret_picture_timing_info(rbsp + i, n);
    } else if (type == SEI_RECOVERY_POINT) {
      interpret_recovery_point_info(rbsp + i, n, img);
      recovery_point = true;
    }
    i += n;
    if (rbsp[i] == 0x80) return recovery_point ? 1 : 0;  // rbsp_trailing_bits
  }
}

void reset_sei() {
  avc_picture_structure = -1;
  picture_structure_present_flag = 0;
  sei_frame_repeats = sei_field_repeats = 0;
  sei_pic_struct = -1;
}
