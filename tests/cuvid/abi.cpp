// Our declarations of the CUDA/CUVID structures against a reference
// declaration of the same interface (Debian's libffmpeg-nvenc-dev headers):
// every struct the plugin passes to the driver has the same size, and every
// field we use the same offset.  Bit-fields, which have no offset, are
// checked by writing through ours and reading through theirs.

#include <ffnvcodec/dynlink_cuda.h>
#include <ffnvcodec/dynlink_cuviddec.h>
#include <ffnvcodec/dynlink_nvcuvid.h>

#include <gtest/gtest.h>

#include <cstring>

#include "nvdec_types.h"

#define SAME_SIZE(T) static_assert(sizeof(nv::T) == sizeof(::T), #T " size")
#define SAME_AT(T, f) static_assert(offsetof(nv::T, f) == offsetof(::T, f), #T "." #f " offset")

SAME_SIZE(CUVIDDECODECAPS);
SAME_AT(CUVIDDECODECAPS, eCodecType);
SAME_AT(CUVIDDECODECAPS, eChromaFormat);
SAME_AT(CUVIDDECODECAPS, nBitDepthMinus8);
SAME_AT(CUVIDDECODECAPS, bIsSupported);
SAME_AT(CUVIDDECODECAPS, nNumNVDECs);
SAME_AT(CUVIDDECODECAPS, nOutputFormatMask);
SAME_AT(CUVIDDECODECAPS, nMaxWidth);
SAME_AT(CUVIDDECODECAPS, nMaxHeight);
SAME_AT(CUVIDDECODECAPS, nMaxMBCount);
SAME_AT(CUVIDDECODECAPS, nMinWidth);
SAME_AT(CUVIDDECODECAPS, nMinHeight);

SAME_SIZE(CUVIDEOFORMAT);
SAME_AT(CUVIDEOFORMAT, codec);
SAME_AT(CUVIDEOFORMAT, frame_rate);
SAME_AT(CUVIDEOFORMAT, progressive_sequence);
SAME_AT(CUVIDEOFORMAT, bit_depth_luma_minus8);
SAME_AT(CUVIDEOFORMAT, bit_depth_chroma_minus8);
SAME_AT(CUVIDEOFORMAT, min_num_decode_surfaces);
SAME_AT(CUVIDEOFORMAT, coded_width);
SAME_AT(CUVIDEOFORMAT, coded_height);
SAME_AT(CUVIDEOFORMAT, display_area);
SAME_AT(CUVIDEOFORMAT, display_area.left);
SAME_AT(CUVIDEOFORMAT, display_area.top);
SAME_AT(CUVIDEOFORMAT, display_area.right);
SAME_AT(CUVIDEOFORMAT, display_area.bottom);
SAME_AT(CUVIDEOFORMAT, chroma_format);
SAME_AT(CUVIDEOFORMAT, bitrate);
SAME_AT(CUVIDEOFORMAT, display_aspect_ratio);
SAME_AT(CUVIDEOFORMAT, video_signal_description);
SAME_AT(CUVIDEOFORMAT, video_signal_description.color_primaries);
SAME_AT(CUVIDEOFORMAT, video_signal_description.transfer_characteristics);
SAME_AT(CUVIDEOFORMAT, video_signal_description.matrix_coefficients);
SAME_AT(CUVIDEOFORMAT, seqhdr_data_length);

SAME_SIZE(CUVIDH264DPBENTRY);
SAME_AT(CUVIDH264DPBENTRY, PicIdx);
SAME_AT(CUVIDH264DPBENTRY, not_existing);
SAME_AT(CUVIDH264DPBENTRY, used_for_reference);
SAME_AT(CUVIDH264DPBENTRY, FieldOrderCnt);
SAME_AT(CUVIDH264PICPARAMS, frame_num);
SAME_AT(CUVIDH264PICPARAMS, CurrFieldOrderCnt);
SAME_AT(CUVIDH264PICPARAMS, dpb);

SAME_SIZE(CUVIDPICPARAMS);
SAME_AT(CUVIDPICPARAMS, PicWidthInMbs);
SAME_AT(CUVIDPICPARAMS, FrameHeightInMbs);
SAME_AT(CUVIDPICPARAMS, CurrPicIdx);
SAME_AT(CUVIDPICPARAMS, field_pic_flag);
SAME_AT(CUVIDPICPARAMS, bottom_field_flag);
SAME_AT(CUVIDPICPARAMS, second_field);
SAME_AT(CUVIDPICPARAMS, nBitstreamDataLen);
SAME_AT(CUVIDPICPARAMS, pBitstreamData);
SAME_AT(CUVIDPICPARAMS, nNumSlices);
SAME_AT(CUVIDPICPARAMS, pSliceDataOffsets);
SAME_AT(CUVIDPICPARAMS, ref_pic_flag);
SAME_AT(CUVIDPICPARAMS, intra_pic_flag);
SAME_AT(CUVIDPICPARAMS, CodecSpecific);
SAME_AT(CUVIDPICPARAMS, CodecSpecific.h264.dpb);

SAME_SIZE(CUVIDPARSERDISPINFO);
SAME_AT(CUVIDPARSERDISPINFO, picture_index);
SAME_AT(CUVIDPARSERDISPINFO, progressive_frame);
SAME_AT(CUVIDPARSERDISPINFO, top_field_first);
SAME_AT(CUVIDPARSERDISPINFO, repeat_first_field);
SAME_AT(CUVIDPARSERDISPINFO, timestamp);

SAME_SIZE(CUVIDPROCPARAMS);
SAME_AT(CUVIDPROCPARAMS, progressive_frame);
SAME_AT(CUVIDPROCPARAMS, second_field);
SAME_AT(CUVIDPROCPARAMS, top_field_first);
SAME_AT(CUVIDPROCPARAMS, unpaired_field);
SAME_AT(CUVIDPROCPARAMS, output_stream);
SAME_AT(CUVIDPROCPARAMS, histogram_dptr);

SAME_SIZE(CUVIDSOURCEDATAPACKET);
SAME_AT(CUVIDSOURCEDATAPACKET, flags);
SAME_AT(CUVIDSOURCEDATAPACKET, payload_size);
SAME_AT(CUVIDSOURCEDATAPACKET, payload);
SAME_AT(CUVIDSOURCEDATAPACKET, timestamp);

SAME_SIZE(CUVIDPARSERPARAMS);
SAME_AT(CUVIDPARSERPARAMS, CodecType);
SAME_AT(CUVIDPARSERPARAMS, ulMaxNumDecodeSurfaces);
SAME_AT(CUVIDPARSERPARAMS, ulClockRate);
SAME_AT(CUVIDPARSERPARAMS, ulErrorThreshold);
SAME_AT(CUVIDPARSERPARAMS, ulMaxDisplayDelay);
SAME_AT(CUVIDPARSERPARAMS, uReserved1);
SAME_AT(CUVIDPARSERPARAMS, pUserData);
SAME_AT(CUVIDPARSERPARAMS, pfnSequenceCallback);
SAME_AT(CUVIDPARSERPARAMS, pfnDecodePicture);
SAME_AT(CUVIDPARSERPARAMS, pfnDisplayPicture);
SAME_AT(CUVIDPARSERPARAMS, pfnGetOperatingPoint);
SAME_AT(CUVIDPARSERPARAMS, pExtVideoInfo);

SAME_SIZE(CUVIDDECODECREATEINFO);
SAME_AT(CUVIDDECODECREATEINFO, ulWidth);
SAME_AT(CUVIDDECODECREATEINFO, ulHeight);
SAME_AT(CUVIDDECODECREATEINFO, ulNumDecodeSurfaces);
SAME_AT(CUVIDDECODECREATEINFO, CodecType);
SAME_AT(CUVIDDECODECREATEINFO, ChromaFormat);
SAME_AT(CUVIDDECODECREATEINFO, ulCreationFlags);
SAME_AT(CUVIDDECODECREATEINFO, bitDepthMinus8);
SAME_AT(CUVIDDECODECREATEINFO, ulIntraDecodeOnly);
SAME_AT(CUVIDDECODECREATEINFO, ulMaxWidth);
SAME_AT(CUVIDDECODECREATEINFO, ulMaxHeight);
SAME_AT(CUVIDDECODECREATEINFO, display_area);
SAME_AT(CUVIDDECODECREATEINFO, display_area.left);
SAME_AT(CUVIDDECODECREATEINFO, display_area.top);
SAME_AT(CUVIDDECODECREATEINFO, display_area.right);
SAME_AT(CUVIDDECODECREATEINFO, display_area.bottom);
SAME_AT(CUVIDDECODECREATEINFO, OutputFormat);
SAME_AT(CUVIDDECODECREATEINFO, DeinterlaceMode);
SAME_AT(CUVIDDECODECREATEINFO, ulTargetWidth);
SAME_AT(CUVIDDECODECREATEINFO, ulTargetHeight);
SAME_AT(CUVIDDECODECREATEINFO, ulNumOutputSurfaces);
SAME_AT(CUVIDDECODECREATEINFO, vidLock);
SAME_AT(CUVIDDECODECREATEINFO, target_rect);

static_assert(sizeof(nv::CUdeviceptr) == sizeof(::CUdeviceptr), "CUdeviceptr");
static_assert(sizeof(nv::CUresult) == sizeof(::CUresult), "CUresult");
static_assert(sizeof(nv::cudaVideoCodec) == sizeof(::cudaVideoCodec), "enum size");

namespace {

TEST(CuvidAbi, EnumeratorsHaveTheDriverValues) {
  EXPECT_EQ(int(nv::cudaVideoCodec_MPEG1), int(::cudaVideoCodec_MPEG1));
  EXPECT_EQ(int(nv::cudaVideoCodec_MPEG2), int(::cudaVideoCodec_MPEG2));
  EXPECT_EQ(int(nv::cudaVideoCodec_VC1), int(::cudaVideoCodec_VC1));
  EXPECT_EQ(int(nv::cudaVideoCodec_H264), int(::cudaVideoCodec_H264));
  EXPECT_EQ(int(nv::cudaVideoCodec_HEVC), int(::cudaVideoCodec_HEVC));
  EXPECT_EQ(int(nv::cudaVideoSurfaceFormat_NV12), int(::cudaVideoSurfaceFormat_NV12));
  EXPECT_EQ(int(nv::cudaVideoSurfaceFormat_P016), int(::cudaVideoSurfaceFormat_P016));
  EXPECT_EQ(int(nv::cudaVideoDeinterlaceMode_Weave), int(::cudaVideoDeinterlaceMode_Weave));
  EXPECT_EQ(int(nv::cudaVideoDeinterlaceMode_Bob), int(::cudaVideoDeinterlaceMode_Bob));
  EXPECT_EQ(int(nv::cudaVideoDeinterlaceMode_Adaptive), int(::cudaVideoDeinterlaceMode_Adaptive));
  EXPECT_EQ(int(nv::cudaVideoChromaFormat_420), int(::cudaVideoChromaFormat_420));
  EXPECT_EQ(int(nv::cudaVideoCreate_PreferCUVID), int(::cudaVideoCreate_PreferCUVID));
  EXPECT_EQ(int(nv::CUVID_PKT_ENDOFSTREAM), int(::CUVID_PKT_ENDOFSTREAM));
  EXPECT_EQ(int(nv::CUVID_PKT_TIMESTAMP), int(::CUVID_PKT_TIMESTAMP));
  EXPECT_EQ(int(nv::CUDA_SUCCESS), int(::CUDA_SUCCESS));
}

TEST(CuvidAbi, BitFieldsLandOnTheDriverBits) {
  nv::CUVIDEOFORMAT ours;
  std::memset(&ours, 0, sizeof ours);
  ours.video_signal_description.video_format = 5;
  ours.video_signal_description.video_full_range_flag = 1;
  ::CUVIDEOFORMAT theirs;
  std::memcpy(&theirs, &ours, sizeof ours);
  EXPECT_EQ(theirs.video_signal_description.video_format, 5);
  EXPECT_EQ(theirs.video_signal_description.video_full_range_flag, 1);
  EXPECT_EQ(theirs.video_signal_description.reserved_zero_bits, 0);

  nv::CUVIDPARSERPARAMS p;
  std::memset(&p, 0, sizeof p);
  p.bAnnexb = 1;
  ::CUVIDPARSERPARAMS q;
  std::memcpy(&q, &p, sizeof p);
  EXPECT_EQ(q.bAnnexb, 1u);
  EXPECT_EQ(q.uReserved, 0u);
}

}  // namespace
