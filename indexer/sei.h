// H.264 SEI messages (Annex D): picture timing (pic_struct and the repeat
// counters) and recovery point (where decoding may start).
#pragma once

#include "parset.h"

// pic_struct of the last picture timing message; -1 until one was read. It
// stays in force for the following pictures until the next message.
extern int avc_picture_structure;
// pic_struct_present_flag of the active SPS's VUI as last seen.
extern int picture_structure_present_flag;
// The repeats that the picture timing messages read since the last picture
// began added to frame_repeats and field_repeats: they belong to the
// picture that begins next, and are taken back where it is not indexed.
extern int sei_frame_repeats, sei_field_repeats;
// The pic_struct of a picture timing message read since the last picture
// began, -1 where none was.
extern int sei_pic_struct;

// rbsp points at the NAL header byte of one SEI unit with emulation
// prevention removed; size counts from there. 1 when the unit carried a
// recovery point and was read cleanly up to its stop byte, else 0.
int InterpretSEIMessage(const unsigned char* rbsp, int size, img_par* img, int flag);
void interpret_picture_timing_info(const unsigned char* payload, int payload_size);
void interpret_recovery_point_info(const unsigned char* payload, int payload_size, img_par* img);

// Analysis reset of the SEI state.
void reset_sei();
