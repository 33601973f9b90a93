// Process-wide state of Ostrel, shared by the front end and the video analyses.
// Ostrel runs as one sequential pass on one thread; every value here is written
// by the module named in its comment and reset by init_indexing() (index.cpp)
// or Recovery() (decode.cpp) unless said otherwise.
#pragma once

#include <cstdint>
#include <cstdio>

#include "FrameLimit.h"

typedef uint64_t u64;
typedef uint32_t u32;
typedef int64_t i64;

// ---------------------------------------------------------------- limits
constexpr int MAX_FILES = 2500;                 // input files of one run
constexpr int MAX_FILE_NAME = 2048;             // bytes per name, terminator included
constexpr u32 BUFFER_SIZE = FRAME_BUFFER_SIZE;  // shared read buffer (Pemmick's is as large)
constexpr u32 READ_BLOCK = 1 << 20;             // file reads fill at most this much of Buffer
constexpr u32 NALU_BUFFER_SIZE = FRAME_BUFFER_SIZE;  // one assembled unit, start code included
constexpr int MAX_PLAYLISTS = 1000;             // entries of the disc listing
constexpr int MAX_PLAYLIST_NAME = 15;           // characters of a listed playlist name

// ---------------------------------------------------------------- program and options (main.cpp)
extern char ExePath[MAX_FILE_NAME];             // own directory, ends with '/'
extern char Version[80];                        // "Ostrel 2053.0.0.502"
extern u32 MPEG2_Transport_VideoPID;            // video PID; 2 = not chosen (command line or pat.cpp)
extern u32 MPEG2_Transport_PCRPID;              // PCR PID from -p; stored only
extern int desired_angle;                       // playlist angle, -1 = not chosen
extern char szOutput[MAX_FILE_NAME];            // index file name, absolute, ends in .kwi
extern char szOutputBase[MAX_FILE_NAME];        // szOutput without its .kwi extension
extern char output_file[MAX_FILE_NAME];         // copy of szOutput used by the analyses
extern char AVSTemplatePath[MAX_FILE_NAME];     // script template, empty when none
extern char MPLS_Name[1024];                    // playlist given with -mpls
extern unsigned char open_via_mpls;             // 1 when the input is a playlist (chapters file wanted)

// ---------------------------------------------------------------- input files and read buffer (decode.cpp)
extern char* Infilename[MAX_FILES];             // absolute names, MAX_FILE_NAME bytes each
extern int Infile[MAX_FILES];                   // descriptors, -1 = not open
extern u64 Infilelength[MAX_FILES];             // measured lengths
extern u64 Infiletotal;                         // sum of Infilelength
extern int NumLoadedFiles;                      // names in use
extern int CurrentFile;                         // file the buffer was read from
extern unsigned char* Buffer;                   // BUFFER_SIZE bytes
extern unsigned char* Rdptr;                    // next unread byte in Buffer
extern u32 Read;                                // valid bytes in Buffer
extern u64 Buffer_Physical;                     // offset in CurrentFile of Buffer[0]
extern unsigned char* Rdmax;                    // end of the current program-stream video packet
extern u32 payload_bytes;                       // payload of the current TS/PS packet still in Buffer
extern unsigned char* first_payload;            // first payload byte of the current TS packet

// Selected range, in bytes for containers 0, 1, 3, in container time for 2 and 4.
struct ProcessRange {
  u64 unused0, unused1, unused2;
  u64 start_byte, end_byte;                     // end inclusive
  u64 start_time, end_time;
};
extern ProcessRange process;

// ---------------------------------------------------------------- detection (decode.cpp, index.cpp)
extern int SystemStream_Flag;                   // 0 ES, 1 TS, 2 Matroska, 3 PS, 4 MP4
extern int program_stream_type;                 // 5 MPEG-1 system, 6 MPEG-2 program, 0 otherwise
extern int TransportPacketSize;                 // 188, 192 or 204
extern unsigned char ts_sync_byte;              // 0x47
extern int VideoStream_Flag;                    // 0 AVC, 1 MPEG-2, 3 VC-1, 4 HEVC
extern int Operation;                           // 0 indexing, 3 codec probe
extern double Frame_Rate;                       // rate for the report
extern u64 mkv_current_tc;                      // time of the frame/sample in Buffer (containers 2, 4)
extern double mkv_Frame_Rate;                   // rate of the chosen Matroska track, 0 when it has no frame duration (Matroska.cpp)
// Set by an input where frames were lost to damage that reading passed
// over: the analysis leaves out the pictures from there on until one from
// which decoding starts afresh, and counts them in pictures_left_out.
extern bool pictures_lost;
extern int pictures_left_out;
// Pictures whose header the analysis read while indexing, listed or left
// out: a Matroska frame read in full that began none holds no readable
// picture header (Matroska.cpp).
extern u64 pictures_begun;

// ---------------------------------------------------------------- unit reader (nalu.cpp, ts.cpp)
struct NALU_t {
  int startcodeprefix_len;                      // 3, or 4 for a first AVC/HEVC unit after a zero byte
  u32 len;                                      // bytes, start code included
  int nal_unit_type;                            // first byte after the start code & 31
  int nal_reference_idc;                        // (that byte >> 5) & 3
  int forbidden_bit;                            // that byte >> 7
  int vui_time_scale;                           // H.264 SPS timing handed back; 50 when none
  int vui_num_units_in_tick;                    // 1 when none
  unsigned char* buf;                           // starts with the start code; valid until the next unit
};
extern NALU_t* nalu;                            // the one unit record
extern int IsFirstByteStreamNALU;               // 1 until the first start code was found
extern u64 adjust_next;                         // split TS start code: payload index of its 01 byte
extern u64 current_ts_sync_position;            // stream position of the latest video packet's sync byte
extern u64 previous_ts_sync_position;           // ... and of the one before it
extern u64 bytes_delivered, bytes_delivered_total;  // bytes of all units handed to the analysis
extern unsigned char MPEG2_Program_StreamID;    // stream id of the latest PS video packet

// ---------------------------------------------------------------- analysis results (codec modules)
// Written by the codec analyses, read by the index trailer and the stream report.
extern FILE* p_aif;                             // the open index file
extern int FRM_ndx;                             // running picture-line index
extern int coded;                               // coded pictures counted
extern int frame_repeats;                       // frames repeated by pulldown
extern int field_repeats;                       // fields repeated by pulldown
extern int field_order;                         // 0 progressive, 1 TFF, 2 BFF, -1 undecided
extern int fps_num, fps_den;                    // snapped frame rate, 25/1 after reset
extern int FILM_Purity, VIDEO_Purity;           // film/video transition counts
extern int Picture_Width, Picture_Height;       // coded size for SIZE
extern int profile, level, constraint;          // profile -1 after reset
// The stream's chroma format (0 4:0:0, 1 4:2:0, 2 4:2:2, 3 4:4:4; -1 until a
// sequence-level header was read) and luma bit depth (0 until then), as the
// report names them and the index's DEPTH carries.
extern int stream_chroma_format, stream_bit_depth;
// The chroma format and luma bit depth of the parameter set that gives
// Picture_Width and Picture_Height (codes as above; -1 and 0 where the
// analysis publishes none: VC-1, MPEG-1). Written with the size by the AVC,
// HEVC and MPEG-2 analyses; the picture loop refuses a change.
extern int Picture_Chroma_Format, Picture_Bit_Depth;
extern int sample_aspect_ratio;                 // aspect code for the report
extern int sar_width, sar_height;               // VUI sar for idc 255
extern int sarw, sarh;                          // AVC sample aspect ratio, -1 until set
extern int ar1, ar2;                            // values of the ASPECT line, -1 until written
extern int coded_matrix_coefficients;           // colour description, 2 = unspecified
extern int coded_transfer_characteristics;
extern int coded_colour_primaries;
extern int max_rate;                            // largest rate seen (report)
extern bool Stop_Flag;                          // ends an index loop after the current picture

// Ends the process after "Could not allocate memory" with status 100.
[[noreturn]] void no_mem_exit(const char* where);

// ---------------------------------------------------------------- run control (global.cpp)
// Every exit of Ostrel below main goes through ostrel_exit; one with a
// status other than 0 removes the index file that the run began (index.h,
// discard_unfinished_index). A test or fuzz
// entry that runs many inputs in one process sets exit_hook to a function
// that leaves by throwing (a type not derived from std::exception, so that
// no parser's handler takes it); the state is then reset before the next
// input. Without a hook, or when the hook returns, the process exits.
extern void (*exit_hook)(int status);
[[noreturn]] void ostrel_exit(int status);
// Restores the state of a fresh process: every value declared here, the
// byte and unit readers, the PAT/PMT analysis, the memory input and the
// analysis state (init_indexing). Input descriptors are not closed.
void reset_process_state();
