// Definitions of the process-wide state declared in global.h.
#include "global.h"

#include <cstdlib>

#include "decode.h"
#include "index.h"
#include "pat.h"
#include "ts.h"

char ExePath[MAX_FILE_NAME];
char Version[80];
u32 MPEG2_Transport_VideoPID = 2;
u32 MPEG2_Transport_PCRPID = 2;
int desired_angle = -1;
char szOutput[MAX_FILE_NAME];
char szOutputBase[MAX_FILE_NAME];
char output_file[MAX_FILE_NAME];
char AVSTemplatePath[MAX_FILE_NAME];
char MPLS_Name[1024];
unsigned char open_via_mpls;

char* Infilename[MAX_FILES];
int Infile[MAX_FILES];
u64 Infilelength[MAX_FILES];
u64 Infiletotal;
int NumLoadedFiles;
int CurrentFile;
static unsigned char buffer_storage[BUFFER_SIZE + 8];
unsigned char* Buffer = buffer_storage;
unsigned char* Rdptr = buffer_storage;
u32 Read;
u64 Buffer_Physical;
unsigned char* Rdmax = buffer_storage;
u32 payload_bytes;
unsigned char* first_payload = buffer_storage;
ProcessRange process;

int SystemStream_Flag;
int program_stream_type;
int TransportPacketSize = 188;
unsigned char ts_sync_byte = 0x47;
int VideoStream_Flag;
int Operation;
double Frame_Rate;
u64 mkv_current_tc;
double mkv_Frame_Rate;
bool pictures_lost;
int pictures_left_out;
u64 pictures_begun;

static NALU_t nalu_record;
NALU_t* nalu = &nalu_record;
int IsFirstByteStreamNALU = 1;
u64 adjust_next;
u64 current_ts_sync_position;
u64 previous_ts_sync_position;
u64 bytes_delivered, bytes_delivered_total;
unsigned char MPEG2_Program_StreamID;

FILE* p_aif;
int FRM_ndx;
int coded;
int frame_repeats;
int field_repeats;
int field_order = -1;
int fps_num = 25, fps_den = 1;
int FILM_Purity, VIDEO_Purity;
int Picture_Width, Picture_Height;
int profile = -1, level, constraint;
int stream_chroma_format = -1, stream_bit_depth = 0;
int Picture_Chroma_Format = -1, Picture_Bit_Depth = 0;
int sample_aspect_ratio;
int sar_width, sar_height;
int sarw = -1, sarh = -1;
int ar1 = -1, ar2 = -1;
int coded_matrix_coefficients = 2;
int coded_transfer_characteristics = 2;
int coded_colour_primaries = 2;
int max_rate;
bool Stop_Flag;

// ---------------------------------------------------------------- run control

void (*exit_hook)(int status);

void ostrel_exit(int status) {
  fflush(stdout);
  // A run that fails leaves no index it began: a partial one would pass
  // for the whole.
  if (status != 0) discard_unfinished_index();
  if (exit_hook) exit_hook(status);
  exit(status);
}

void reset_process_state() {
  Version[0] = 0;
  MPEG2_Transport_VideoPID = 2;
  MPEG2_Transport_PCRPID = 2;
  desired_angle = -1;
  szOutput[0] = szOutputBase[0] = output_file[0] = AVSTemplatePath[0] = MPLS_Name[0] = 0;
  open_via_mpls = 0;

  for (int i = 0; i < NumLoadedFiles; i++) {
    if (Infile[i] != -1) InputClose(Infile[i]);
    Infile[i] = -1;
    Infilelength[i] = 0;
    if (Infilename[i]) Infilename[i][0] = 0;
  }
  Infiletotal = 0;
  NumLoadedFiles = 0;
  CurrentFile = 0;
  Buffer = Rdptr = Rdmax = first_payload = buffer_storage;
  Read = 0;
  Buffer_Physical = 0;
  payload_bytes = 0;
  process = ProcessRange{};
  SetMemoryInput(nullptr, nullptr, 0);
  reset_input_state();

  SystemStream_Flag = 0;
  program_stream_type = 0;
  TransportPacketSize = 188;
  ts_sync_byte = 0x47;
  VideoStream_Flag = 0;
  Operation = 0;
  Frame_Rate = 0;
  mkv_current_tc = 0;

  *nalu = NALU_t{};
  current_ts_sync_position = previous_ts_sync_position = 0;
  MPEG2_Program_StreamID = 0;
  reset_ts_reader();
  reset_pat_parser();

  if (p_aif) fclose(p_aif);
  p_aif = nullptr;
  Picture_Width = Picture_Height = 0;
  Picture_Chroma_Format = -1;
  Picture_Bit_Depth = 0;
  level = constraint = 0;
  sample_aspect_ratio = 0;
  sar_width = sar_height = 0;
  sarw = sarh = ar1 = ar2 = -1;
  coded_matrix_coefficients = coded_transfer_characteristics = coded_colour_primaries = 2;
  init_indexing();  // the analysis state, IsFirstByteStreamNALU, counters, rate, profile
}
