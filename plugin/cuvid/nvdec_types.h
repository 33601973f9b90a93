// Declarations of the NVIDIA CUDA driver and CUVID video-decoding interfaces
// that Pemmick uses, written for this project.
//
// Invariants:
// - Every struct here has the size and the field offsets of the driver's own
//   declaration on 64-bit Linux (LP64: `unsigned long` is 64 bits), so that a
//   pointer to one of them can be handed to libcuda.so.1 / libnvcuvid.so.1.
//   Fields this program never reads or writes are kept as reserved space of
//   the same size.  tests/cuvid/abi.cpp checks sizes and offsets whenever a
//   reference declaration is installed.
// - Enumerations have a fixed `int` representation: the driver passes them as
//   32-bit values.
// - Everything lives in namespace `nv`, so these names never collide with
//   another declaration of the same interface in one translation unit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nv {

static_assert(sizeof(unsigned long) == 8, "the driver ABI needs an LP64 target");

// ---------------------------------------------------------------------------
// CUDA driver
// ---------------------------------------------------------------------------

enum CUresult : int {
  CUDA_SUCCESS = 0,
  CUDA_ERROR_INVALID_VALUE = 1,
  CUDA_ERROR_OUT_OF_MEMORY = 2,
  CUDA_ERROR_NOT_INITIALIZED = 3,
  CUDA_ERROR_NO_DEVICE = 100,
  CUDA_ERROR_INVALID_DEVICE = 101,
  CUDA_ERROR_INVALID_CONTEXT = 201,
  CUDA_ERROR_MAP_FAILED = 205,
  CUDA_ERROR_INVALID_HANDLE = 400,
  CUDA_ERROR_NOT_READY = 600,
  CUDA_ERROR_NOT_SUPPORTED = 801,
  CUDA_ERROR_UNKNOWN = 999,
};

typedef int CUdevice;                    // device ordinal handle
typedef struct CUctx_st* CUcontext;      // opaque context
typedef struct CUstream_st* CUstream;    // opaque stream
typedef unsigned long long CUdeviceptr;  // device address, 64-bit in the _v2 calls

// ---------------------------------------------------------------------------
// CUVID: handles and enumerations
// ---------------------------------------------------------------------------

typedef void* CUvideodecoder;
typedef void* CUvideoparser;
typedef struct CUcontextlock_st* CUvideoctxlock;
typedef long long CUvideotimestamp;

enum cudaVideoCodec : int {
  cudaVideoCodec_MPEG1 = 0,
  cudaVideoCodec_MPEG2 = 1,
  cudaVideoCodec_MPEG4 = 2,
  cudaVideoCodec_VC1 = 3,
  cudaVideoCodec_H264 = 4,
  cudaVideoCodec_JPEG = 5,
  cudaVideoCodec_H264_SVC = 6,
  cudaVideoCodec_H264_MVC = 7,
  cudaVideoCodec_HEVC = 8,
};

enum cudaVideoSurfaceFormat : int {
  cudaVideoSurfaceFormat_NV12 = 0,  // 8-bit luma plane, then interleaved CbCr rows
  cudaVideoSurfaceFormat_P016 = 1,  // as NV12 with 16-bit samples, value in the high bits
};

enum cudaVideoDeinterlaceMode : int {
  cudaVideoDeinterlaceMode_Weave = 0,
  cudaVideoDeinterlaceMode_Bob = 1,
  cudaVideoDeinterlaceMode_Adaptive = 2,
};

enum cudaVideoChromaFormat : int {
  cudaVideoChromaFormat_Monochrome = 0,
  cudaVideoChromaFormat_420 = 1,
  cudaVideoChromaFormat_422 = 2,
  cudaVideoChromaFormat_444 = 3,
};

enum cudaVideoCreateFlags : int {
  cudaVideoCreate_Default = 0,
  cudaVideoCreate_PreferCUDA = 1,
  cudaVideoCreate_PreferDXVA = 2,
  cudaVideoCreate_PreferCUVID = 4,
};

// Flags of CUVIDSOURCEDATAPACKET.
enum CUvideopacketflags : int {
  CUVID_PKT_ENDOFSTREAM = 0x01,  // last packet: flush and display everything held
  CUVID_PKT_TIMESTAMP = 0x02,    // the packet's timestamp is valid
  CUVID_PKT_DISCONTINUITY = 0x04,
  CUVID_PKT_ENDOFPICTURE = 0x08,
  CUVID_PKT_NOTIFY_EOS = 0x10,
};

// ---------------------------------------------------------------------------
// CUVID: structures
// ---------------------------------------------------------------------------

// Stream format handed to the sequence callback.
struct CUVIDEOFORMAT {
  cudaVideoCodec codec;
  struct {
    unsigned int numerator;
    unsigned int denominator;
  } frame_rate;
  unsigned char progressive_sequence;
  unsigned char bit_depth_luma_minus8;
  unsigned char bit_depth_chroma_minus8;
  unsigned char min_num_decode_surfaces;
  unsigned int coded_width;   // aligned to the codec's block size
  unsigned int coded_height;
  struct {                    // displayed part of the coded picture
    int left;
    int top;
    int right;                // exclusive
    int bottom;               // exclusive
  } display_area;
  cudaVideoChromaFormat chroma_format;
  unsigned int bitrate;
  struct {
    int x;
    int y;
  } display_aspect_ratio;
  struct {
    unsigned char video_format : 3;
    unsigned char video_full_range_flag : 1;
    unsigned char reserved_zero_bits : 4;
    unsigned char color_primaries;
    unsigned char transfer_characteristics;
    unsigned char matrix_coefficients;
  } video_signal_description;
  unsigned int seqhdr_data_length;
};

// One entry of the H.264 decoded picture buffer in the picture parameters.
struct CUVIDH264DPBENTRY {
  int PicIdx;              // surface of the reference, -1 when none
  int FrameIdx;
  int is_long_term;
  int not_existing;        // a gap frame the parser invented
  int used_for_reference;  // 0 none, 1 top, 2 bottom, 3 both fields
  int FieldOrderCnt[2];
};

// H.264 part of the picture parameters, up to and including the DPB; the
// rest of the codec-specific union is reserved space here.
struct CUVIDH264PICPARAMS {
  int log2_max_frame_num_minus4;
  int pic_order_cnt_type;
  int log2_max_pic_order_cnt_lsb_minus4;
  int delta_pic_order_always_zero_flag;
  int frame_mbs_only_flag;
  int direct_8x8_inference_flag;
  int num_ref_frames;
  unsigned char residual_colour_transform_flag;
  unsigned char bit_depth_luma_minus8;
  unsigned char bit_depth_chroma_minus8;
  unsigned char qpprime_y_zero_transform_bypass_flag;
  int entropy_coding_mode_flag;
  int pic_order_present_flag;
  int num_ref_idx_l0_active_minus1;
  int num_ref_idx_l1_active_minus1;
  int weighted_pred_flag;
  int weighted_bipred_idc;
  int pic_init_qp_minus26;
  int deblocking_filter_control_present_flag;
  int redundant_pic_cnt_present_flag;
  int transform_8x8_mode_flag;
  int MbaffFrameFlag;
  int constrained_intra_pred_flag;
  int chroma_qp_index_offset;
  int second_chroma_qp_index_offset;
  int ref_pic_flag;
  int frame_num;
  int CurrFieldOrderCnt[2];
  CUVIDH264DPBENTRY dpb[16];
};

// Picture parameters handed to the decode callback and to cuvidDecodePicture.
struct CUVIDPICPARAMS {
  int PicWidthInMbs;
  int FrameHeightInMbs;
  int CurrPicIdx;          // surface that receives this picture
  int field_pic_flag;
  int bottom_field_flag;
  int second_field;
  unsigned int nBitstreamDataLen;
  const unsigned char* pBitstreamData;
  unsigned int nNumSlices;
  const unsigned int* pSliceDataOffsets;
  int ref_pic_flag;
  int intra_pic_flag;
  unsigned int Reserved[30];
  union {
    CUVIDH264PICPARAMS h264;
    unsigned int CodecReserved[1024];
  } CodecSpecific;
};

// Picture handed to the display callback.
struct CUVIDPARSERDISPINFO {
  int picture_index;
  int progressive_frame;
  int top_field_first;
  int repeat_first_field;  // extra fields: 1 field repeat, 2 frame doubling, 4 tripling
  CUvideotimestamp timestamp;
};

// Post-processing parameters of cuvidMapVideoFrame64.
struct CUVIDPROCPARAMS {
  int progressive_frame;
  int second_field;        // with a deinterlacer: output the second field in time
  int top_field_first;
  int unpaired_field;
  unsigned int reserved_flags;
  unsigned int reserved_zero;
  unsigned long long raw_input_dptr;
  unsigned int raw_input_pitch;
  unsigned int raw_input_format;
  unsigned long long raw_output_dptr;
  unsigned int raw_output_pitch;
  unsigned int Reserved1;
  CUstream output_stream;
  unsigned int Reserved[46];
  unsigned long long* histogram_dptr;
  void* Reserved2[1];
};

// One packet of elementary-stream bytes for the parser.
struct CUVIDSOURCEDATAPACKET {
  unsigned long flags;          // CUvideopacketflags
  unsigned long payload_size;
  const unsigned char* payload;
  CUvideotimestamp timestamp;
};

typedef int (*PFNVIDSEQUENCECALLBACK)(void* user, CUVIDEOFORMAT* format);
typedef int (*PFNVIDDECODECALLBACK)(void* user, CUVIDPICPARAMS* picture);
typedef int (*PFNVIDDISPLAYCALLBACK)(void* user, CUVIDPARSERDISPINFO* display);
typedef int (*PFNVIDOPPOINTCALLBACK)(void* user, void* operating_point_info);

// Parser creation parameters.
struct CUVIDPARSERPARAMS {
  cudaVideoCodec CodecType;
  unsigned int ulMaxNumDecodeSurfaces;  // picture indices are drawn from 0 .. this - 1
  unsigned int ulClockRate;
  unsigned int ulErrorThreshold;
  unsigned int ulMaxDisplayDelay;       // pictures held back once ready for display
  unsigned int bAnnexb : 1;
  unsigned int uReservedBits : 31;
  unsigned int uReserved1[4];
  void* pUserData;                      // first argument of every callback
  PFNVIDSEQUENCECALLBACK pfnSequenceCallback;
  PFNVIDDECODECALLBACK pfnDecodePicture;
  PFNVIDDISPLAYCALLBACK pfnDisplayPicture;
  PFNVIDOPPOINTCALLBACK pfnGetOperatingPoint;
  void* pvReserved2[6];
  void* pExtVideoInfo;
};

// Decoder creation parameters.
struct CUVIDDECODECREATEINFO {
  unsigned long ulWidth;               // coded size
  unsigned long ulHeight;
  unsigned long ulNumDecodeSurfaces;
  cudaVideoCodec CodecType;
  cudaVideoChromaFormat ChromaFormat;
  unsigned long ulCreationFlags;       // cudaVideoCreateFlags
  unsigned long bitDepthMinus8;
  unsigned long ulIntraDecodeOnly;
  unsigned long ulMaxWidth;
  unsigned long ulMaxHeight;
  unsigned long Reserved1;
  struct {                             // source rectangle, all zero for the whole picture
    short left;
    short top;
    short right;
    short bottom;
  } display_area;
  cudaVideoSurfaceFormat OutputFormat;
  cudaVideoDeinterlaceMode DeinterlaceMode;
  unsigned long ulTargetWidth;         // size of a mapped frame
  unsigned long ulTargetHeight;
  unsigned long ulNumOutputSurfaces;   // frames that may be mapped at once
  CUvideoctxlock vidLock;
  struct {
    short left;
    short top;
    short right;
    short bottom;
  } target_rect;
  unsigned long Reserved2[5];
};

// Decoder capability query (cuvidGetDecoderCaps): the caller fills the
// first three fields, the driver answers the rest for the current context's
// device.
struct CUVIDDECODECAPS {
  cudaVideoCodec eCodecType;            // in
  cudaVideoChromaFormat eChromaFormat;  // in
  unsigned int nBitDepthMinus8;         // in
  unsigned int reserved1[3];            // zero
  unsigned char bIsSupported;           // out: 1 when the format decodes at all
  unsigned char nNumNVDECs;             // out: decoder engines of the device
  unsigned short nOutputFormatMask;     // out: bit n set when cudaVideoSurfaceFormat n is offered
  unsigned int nMaxWidth;               // out: largest coded size
  unsigned int nMaxHeight;
  unsigned int nMaxMBCount;             // out: most 16 x 16 macroblocks in one picture
  unsigned short nMinWidth;             // out: smallest coded size
  unsigned short nMinHeight;
  unsigned char reserved2[4];           // histogram fields, not used here
  unsigned int reserved3[10];
};

}  // namespace nv
