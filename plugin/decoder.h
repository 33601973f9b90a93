// The decoder object of one KWSource filter instance: its options, the
// tables that the index reader builds from a ".kwi" file, the input files
// with their byte and unit readers, the events that the frame callback and
// the decode thread meet through, and the decode thread itself.
//
// Everything here belongs to one instance. The index reader fills the tables
// on the creating thread before the decode thread starts; afterwards the
// tables are read-only, and the read buffers belong to the decode thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FrameLimit.h"
#include "MatroskaVideo.h"
#include "mp4video.h"
#include "nvdec_types.h"
#include "pevents.h"
#include "indexer/TsContinuity.h"

struct CuvidApi;

typedef uint64_t u64;
typedef uint32_t u32;
typedef int64_t i64;

// Codec numbers of the plugin (first-line letter of the index in brackets).
constexpr int CODEC_AVC = 0;    // 'A'
constexpr int CODEC_VC1 = 1;    // 'V'
constexpr int CODEC_MPEG2 = 3;  // 'M'
constexpr int CODEC_HEVC = 4;   // 'H'

// Container kinds, as the index's STREAM line gives them.
constexpr int CONTAINER_ES = 0;
constexpr int CONTAINER_TS = 1;
constexpr int CONTAINER_MKV = 2;
constexpr int CONTAINER_PS = 3;
constexpr int CONTAINER_MP4 = 4;

constexpr int MAX_INPUT_FILES = 512;            // input files one instance holds
constexpr int MAX_INPUT_NAME = 2000;            // bytes of a file line, terminator included
constexpr int KEYWORD_LINE = 50000;             // bytes of a keyword line, terminator included
constexpr int FIRST_LINE = 78;                  // characters of the index's first line
// As large as Ostrel's: every frame and unit that it indexes fits.
constexpr u32 READ_BUFFER_SIZE = FRAME_BUFFER_SIZE;  // read buffer of the stream readers
constexpr u32 UNIT_BUFFER_SIZE = FRAME_BUFFER_SIZE;  // one assembled unit, start code included
constexpr int SHOW2_SIZE = 255;                 // show2 text, terminator included
// Coded pictures of one index; with up to three display frames per picture
// every display index stays within a signed 32-bit frame number.
constexpr int MAX_PICTURES = INT32_MAX / 4;

// Result codes of the index readers; the filter turns each into its message.
enum IndexResult {
  INDEX_OK = 0,
  INDEX_EMPTY = 1,             // line 1 cannot be read
  INDEX_VERSION = 2,           // magic right, version differs
  INDEX_OPEN_INPUT = 3,        // the index or an input file cannot be opened
  INDEX_NOT_KWI = 5,           // line 1 lacks the magic
  INDEX_NO_GOPS = 6,           // no group line
  INDEX_FILM_REPEATS = 7,      // force film with frame repeats
  INDEX_CONTAINER_PARSE = 9,   // Matroska/MP4 container cannot be parsed
  INDEX_CONTAINER_TRACK = 10,  // no video track in the Matroska/MP4 container
  INDEX_DEINT_PULLDOWN = 12,   // deinterlacing requested with pulldown present
  INDEX_STRICT_AVC = 13,       // strict AVC without IDR or recovery point lines
  INDEX_TOO_MANY_FILES = 14,   // more input files than the decoder object holds
  INDEX_BAD_VALUES = 15,       // a keyword value that no stream can have
  INDEX_NOT_REGULAR = 16,      // an input file is no regular file (it may never end)
  INDEX_STALE = 17,            // the inputs are not those indexed: sizes or positions differ
  INDEX_TOO_LARGE = 18,        // the pictures are larger than the GPU session takes
};

// One planar picture. Pitches are in bytes; sizes in samples.
struct YV12PICT {
  unsigned char* y;
  unsigned char* u;
  unsigned char* v;
  int ypitch;
  int uvpitch;
  int ywidth;
  int uvwidth;
  int yheight;
  int uvheight;
};

// Where decoding can start.
struct GroupRecord {
  u64 first;                   // number of the group's first coded picture
  u64 position;                // stream position where decoding starts
  int idr;                     // AVC: "IDR" line; HEVC: always 1
  int updated;                 // AVC: a later group line replaced the position
  int closed;                  // MPEG-2: GOP value; VC-1: broken_link
  int progressive_sequence;    // MPEG-2: SEQEXT value (-1 before any)
  int rasl;                    // HEVC: RASL pictures read since the previous group
  // MPEG-2: the group starts at its GOP header or I picture, after the
  // sequence header at sequence_position, which is fed first ("SEQ start
  // seq"); 0 where the group starts at its own sequence header ("SEQ pos").
  int sequence_apart;
  u64 sequence_position;
  u64 opener;                  // HEVC: number of the group's IRAP picture (after its leading pictures)
  int restart;                 // HEVC: an IDR or BLA picture, whose order counts start afresh
};

// Per index i: top/bottom describe display frame i; the other words describe
// coded picture i.
struct FrameRecord {
  int top;                     // coded picture supplying the top field
  int bottom;                  // coded picture supplying the bottom field
  int pic_struct;              // AVC
  int poc;                     // AVC, HEVC picture order count
  int slice_type;              // AVC raw slice_type; HEVC slice_type
  int pict_type;               // MPEG-2 and VC-1: 0 I, 1 P, 3 B (VC-1 also 2, 4 and field pairs)
  int leading_b;               // MPEG-2, VC-1: a B picture shown before the I picture that opens its group
  int progressive_frame;       // MPEG-2
  int reference;               // MPEG-2, VC-1: an I or P picture (field pair), decoded before the B pictures shown before it
  // A LOST line: a picture of the recording that damage took, which keeps
  // its slot. Nothing is fed for it; picture numbering passes over it, and
  // a display frame made of it shows the picture of a frame before it.
  int lost;
};

// One unit as the unit readers hand it out; bytes begin with 00 00 01 and
// stay valid until the next unit is read.
struct PluginUnit {
  int startcodeprefix_len;
  u32 len;
  int nal_unit_type;
  int nal_reference_idc;
  int forbidden_bit;
  unsigned char* buf;
};

struct InputFile {
  std::string name;
  u64 size = 0;                // from the index
  FILE* fp = nullptr;
};

// A read or unit buffer: allocated on first use and left uninitialised, as
// every byte is written (read from the file, or stored into the unit) before
// it is read: readers never look past `valid` or the unit's length. Zeroing
// 8 MB per instance would be paid by every filter creation.
class ByteBuffer {
 public:
  bool empty() const { return !bytes_; }
  void resize(size_t size) { bytes_.reset(new unsigned char[size]); }
  unsigned char* data() { return bytes_.get(); }
  unsigned char& operator[](size_t i) { return bytes_[i]; }
  unsigned char operator[](size_t i) const { return bytes_[i]; }

 private:
  std::unique_ptr<unsigned char[]> bytes_;
};

class CAVCDecoder;

// Largest coded picture the GPU session takes.
constexpr unsigned MAX_CODED_WIDTH = 7680;
constexpr unsigned MAX_CODED_HEIGHT = 4320;
// Page-locked host buffer: a 16-byte header (width, height, pitch,
// progressive_frame as unsigned 32-bit) and one picture of the largest size
// with 16-bit samples (luma, then half as many interleaved chroma rows).
constexpr size_t HOST_HEADER_SIZE = 16;
constexpr size_t HOST_BUFFER_SIZE =
    HOST_HEADER_SIZE + size_t(4) * MAX_CODED_WIDTH * MAX_CODED_HEIGHT * 3 / 2;  // 199,065,616

// The CUVID parser and decoder of one instance with its two-slot display
// queue. Only the decode thread touches it, except decoder_reset (frame
// callback, thread idle) and the teardown (thread idle or gone).
struct DecodeSession {
  nv::cudaVideoCodec codec_type = nv::cudaVideoCodec_MPEG1;
  nv::CUvideoparser parser = nullptr;
  nv::CUvideodecoder decoder = nullptr;          // empty until a sequence callback made one
  nv::CUVIDDECODECREATEINFO create_info = {};    // as the decoder was last made
  nv::CUVIDPARSERDISPINFO queue[2] = {};         // picture_index -1: slot empty
  int current = 0;                               // slot the next display fills (0 or 1)
  CAVCDecoder* owner = nullptr;
  int deinterlace = 0, use_top_field = 1, use_pf = 0;
  int rw = 0, rh = 0, cl = 0, cr = 0, ct = 0, cb = 0;
  // Size of the pictures of the format in force, as the index counts a
  // picture size (its SIZE); 0 when the codec's is not followed. Pictures of
  // another size than SIZE (a stream that changes its size) are not served.
  int picture_width = 0, picture_height = 0;
};

// Answer of the decode thread to one picture request of the frame callback.
enum FetchResult {
  FETCH_PICTURE,   // the host buffer holds the requested picture
  FETCH_FAILED,    // the picture could not be mapped or copied
  FETCH_END,       // the pass ended (end of input, or early) before the picture
  FETCH_OTHER_SIZE,  // the picture is not of the index's size (answer_width, answer_height)
};

// Handed to the decode thread.
struct ThreadBlock {
  neosmart::neosmart_event_t run;
  neosmart::neosmart_event_t ready;
  CAVCDecoder* decoder;
  int codec;
};

class CAVCDecoder {
 public:
  CAVCDecoder();
  ~CAVCDecoder();
  CAVCDecoder(const CAVCDecoder&) = delete;
  CAVCDecoder& operator=(const CAVCDecoder&) = delete;

  // ---------------------------------------------------------------- options (filter arguments)
  int deinterlace = 0;         // 0 off, 1 one frame per picture, 2 one frame per field
  int i420 = 0;                // accepted and stored only
  bool use_top_field = true;
  bool use_pf = false;
  int show = 0;
  char show2[SHOW2_SIZE] = {};
  int fieldop = 0;             // 0 honour pulldown, 1 force film, 2 ignore pulldown
  int strict_avc = 0;
  int rw = 0, rh = 0, cl = 0, cr = 0, ct = 0, cb = 0;

  // ---------------------------------------------------------------- index readers
  // Each returns INDEX_OK or an IndexResult. The codec is set by the caller.
  // index_problem names what a refusal is about (a file, a value), for the
  // message; empty when the code says it all.
  int Open(const char* path);      // AVC
  int OpenMPG(const char* path);   // MPEG-2
  int OpenHEVC(const char* path);  // HEVC
  int OpenVC1(const char* path);   // VC-1
  // Closes the index file and every input file and frees the tables.
  void Close();

  int codec = CODEC_AVC;
  FILE* index_file = nullptr;                 // open only while a reader runs
  std::string index_problem;                  // see the readers above
  // When set, the readers read the index text from here instead of the file
  // named (fuzz entries; the bytes stay the caller's).
  const char* index_text = nullptr;
  size_t index_text_size = 0;
  FILE* OpenIndexFile(const char* path) const;

  // ---------------------------------------------------------------- values from the index
  std::vector<InputFile> files;               // at most MAX_INPUT_FILES
  int device = 0;                             // DEVICE
  int decode_modes[5] = {};                   // DECODE_MODES (kept, nothing acts on them)
  int stream_type = CONTAINER_ES;             // STREAM, first value
  int program_stream_type = 0;                // STREAM, second value: 5 MPEG-1 system stream
  int pktsiz = 188;                           // PKTSIZ
  int vpid = 0;                               // VPID
  int depth = 8;                              // DEPTH
  int ar1 = 0, ar2 = 0;                       // ASPECT, used only when both are non-zero
  int matrix = 2, transfer = 2, primaries = 2;  // COLORIMETRY
  int width = 0, height = 0;                  // SIZE
  int fps_num = 25, fps_den = 1;              // FPS (numerator times 0.8 under force film)
  int order = -1;                             // ORDER, -1 when absent

  std::vector<u64> sps_list;                  // SPS positions (AVC, HEVC)
  std::vector<u64> pps_list;                  // PPS positions (AVC, HEVC)
  std::vector<GroupRecord> groups;            // in index order
  std::vector<FrameRecord> frames;            // covers every index written, coded or display
  int coded_count = 0;                        // coded pictures (after the trailing trim)
  int display_count = 0;                      // display frames
  int lead_skip = 0;                          // leading display frames that cannot be shown
  bool pulldown = false;                      // a picture repeats a field
  bool any_lost = false;                      // a LOST line was read
  // DAMAGE lines: stream positions (group position units) where the
  // indexer met damage, in stream order.
  std::vector<u64> damage_list;
  // A coded picture index that names a lost picture.
  // The index lists damage at the position of an SPS it names (a set
  // damaged in place) in the group of coded picture i or in the group
  // before it (from that group's position to the next group's).
  bool SetDamageNear(i64 i) const;
  bool LostPicture(i64 i) const {
    return i >= 0 && static_cast<u64>(i) < frames.size() && frames[static_cast<size_t>(i)].lost != 0;
  }

  // ---------------------------------------------------------------- stream readers
  void PosToFileAndOffset(u64 position, int* file, u64* offset) const;
  u32 InitializeBuffer(int file, u64 offset);
  int GetRawByte(unsigned char* byte);
  int GetTSByte(unsigned char* byte);
  int GetPSByte(unsigned char* byte);
  int AlignStream(u64 position);
  int AlignPSStream(u64 position);
  int GetAVCNALU();
  int GetVC1NALU();

  int (CAVCDecoder::*get_unit)() = &CAVCDecoder::GetAVCNALU;                 // by codec
  int (CAVCDecoder::*get_byte)(unsigned char*) = &CAVCDecoder::GetRawByte;   // by container
  PluginUnit unit = {};

  // ---------------------------------------------------------------- Matroska input (Matroska.cpp)
  // Opens the first input, already open, through the Matroska reader and
  // chooses the first video track of the index's codec: 0, 1 when the file
  // cannot be parsed or its track's frames cannot be read, 2 when it has no
  // such track.
  int InitMatroska();
  void CloseMatroska();
  // The first frame of the chosen track at or after t; false when the track
  // ends before one.
  bool MKVGetFrameByTime(MatroskaFile* file, u64 t, u32* track, u64* start, u64* end, u64* file_pos,
                         u32* size, u32* flags);
  // Loads the frame that opens the group at time t (a group's position)
  // into the read buffer: the frame that starts at t and is a key frame, or
  // opens a group by its own bytes. Where the cues' landing does not reach
  // it, it is sought again from the cue row before, then from the first
  // cluster. When it is not found, or cannot be read, nothing is loaded, the
  // input ends and pass_problem says why.
  void InitializeMKVBuffer(u64 t);
  // Loads the next frame when the read buffer is used up: 0, or -1 at the
  // end. The input also ends (with pass_problem) at the frame of a later
  // group when that of the group before it was never met: its frames are
  // missing from the file, and those read on are not the pictures the index
  // numbers.
  int NextMKVBuffer();
  // AVC, HEVC and MPEG-2: whether the frame just read into mkv_raw is one
  // that Ostrel left out next to damage that reading passed over (see
  // mkv_after_damage).
  bool LostToMkvDamage(u64 start, u32 size, u32 flags);
  // MPEG-2: a frame read on that begins no picture (its picture header or
  // coding extension unreadable), which Ostrel lists at its time: its
  // picture number is passed over.
  void PassUnreadMpegPicture();
  // Seeks the chosen track (the second form to the cue point before t).
  void mkv_Seek(MatroskaFile* file, u64 t, u32 flags);
  void mkv_Seek2(MatroskaFile* file, u64 t, u32 flags);
  // AVC and HEVC: the configuration's parameter sets, then those the frames
  // of the two seconds before position carry. False when a frame cannot be
  // read; where the search finds no frame there, none is fed.
  bool FeedMatroskaParameterSets(u64 position);
  std::vector<uint8_t> Mp4ParameterSets();
  // AVC and HEVC in Matroska and MP4, whose configuration holds the sets of
  // one picture size: where the frame that opens the group at position
  // carries no SPS, the parameter sets (each behind 00 00 00 01) of the
  // nearest group frame before it that does; empty where that frame is the
  // group's own, or none before it carries one (the configuration's sets
  // are in force then). A stream joined from parts of other sizes carries
  // each part's sets in its first frame only, maybe.
  std::vector<uint8_t> SetsInForce(u64 position);
  // The parameter sets of the frame (sample) that opens the group at time
  // t, each behind 00 00 00 01, and whether one is an SPS; false when that
  // frame cannot be found or read.
  bool MkvGroupFrameSets(u64 t, std::vector<uint8_t>* sets, bool* sps);
  bool Mp4GroupSampleSets(u64 t, std::vector<uint8_t>* sets, bool* sps);
  // Per group: the nearest group at or before it whose frame carries an
  // SPS, -1 when none does, -2 while not looked at (SetsInForce).
  std::vector<long> group_sets;
  long PutMp4Sample(u32 at, bool first_start_code);

  StdIoStream mkv_stream = {};
  MatroskaFile* mkv_file = nullptr;
  u32 mkv_track = 0;                          // index in the reader's track list
  MkvVideoTrack mkv_video;
  std::vector<uint8_t> mkv_raw;               // one frame as stored
  // The group whose frame the pass meets next: the one after the group it
  // started at; none to check when it is groups.size() or more.
  size_t mkv_next_group = SIZE_MAX;
  // Frames were lost to damage that reading passed over; the frames read
  // on are not fed until the next group's frame, as Ostrel leaves their
  // pictures out.
  bool mkv_after_damage = false;

  // ---------------------------------------------------------------- MP4 input (mp4.cpp)
  // Opens the first input through the MP4 library and chooses the first
  // video track of the index's codec: 0, 1 when the file cannot be parsed
  // (or an HEVC track has no configuration, or its length size cannot be),
  // 2 when it has no such track.
  int InitMP4();
  void CloseMP4();
  // Loads the parameter sets (AVC, HEVC) and the first sample at or after
  // time (a group's position: a sample time in the track's time scale).
  void InitializeMP4Buffer(u64 time);
  // Loads the next sample when the read buffer is used up: 0, or -1 at the end.
  int NextMP4Buffer();

  void* mp4_file = nullptr;                   // the MP4 library's handle
  u32 mp4_track = 0;                          // track id, 0 when none
  u32 mp4_sample = 0;                         // sample in the read buffer, from 1
  u32 mp4_samples = 0;                        // the track's sample count
  unsigned mp4_length_size = 4;               // AVC, HEVC: bytes of a unit's length prefix
  std::vector<uint8_t> mp4_hvcC;              // HEVC configuration record

  // ---------------------------------------------------------------- decode thread
  static void* ThreadFunc(void* block);
  // Starts the decode thread and waits until it is ready. False when it
  // cannot be started (message in thread_error).
  bool StartThread(std::string* thread_error);
  // Tells the decode thread to leave and joins it. False when it did not
  // leave within a second: it may still use this object, which must then be
  // kept alive.
  bool StopThread();

  // Events, created before the decode thread starts and destroyed with the object.
  neosmart::neosmart_event_t evt_stop_display = nullptr;  // manual
  neosmart::neosmart_event_t evt_request = nullptr;       // auto
  neosmart::neosmart_event_t evt_delivered = nullptr;     // auto
  neosmart::neosmart_event_t evt_opened = nullptr;        // manual
  neosmart::neosmart_event_t evt_stop = nullptr;          // auto
  neosmart::neosmart_event_t evt_exit = nullptr;          // auto
  neosmart::neosmart_event_t evt_positioned = nullptr;    // auto
  neosmart::neosmart_event_t evt_run = nullptr;           // manual
  neosmart::neosmart_event_t evt_ready = nullptr;         // manual
  void CreateEvents();

  ThreadBlock thread_block = {};
  std::atomic<u32> target_frame{0};           // written by the frame callback while idle
  std::atomic<u32> pull_count{0};             // written by a pass before positioned
  std::atomic<int> end_of_stream{0};          // written by a pass, read by the frame callback
  std::atomic<int> running{0};                // 1 while the decode thread lives
  std::string thread_message;                 // why the decode thread gave up, for the log
  // Why the latest pass could not decode from its group (no unit at the
  // group's position: the index does not match its input). Written by the
  // pass before delivered; read by the frame callback after it.
  std::string pass_problem;
  // The GPU session could not be opened or could not make a decoder: frames
  // then carry the error text. Every other failure to decode a frame is an
  // error of the frame request.
  std::atomic<bool> gpu_failed{false};

  // ---------------------------------------------------------------- stream format (streamformat.cpp)
  // What the stream's first sequence-level header says (AVC and HEVC SPS,
  // MPEG-2 sequence extension); VC-1 advanced profile is 4:2:0 8-bit.
  struct StreamFormat {
    bool known = false;
    int chroma_format = 1;  // 0 4:0:0, 1 4:2:0, 2 4:2:2, 3 4:4:4
    int bit_depth = 8;      // luma
  };
  StreamFormat stream_format;
  // The decoder's capability answer for that format; asked on the decode
  // thread once the session is open, where the driver offers the query.
  bool caps_answered = false;
  nv::CUVIDDECODECAPS caps = {};
  // Reads the format from the first parameter sets of the stream, through
  // the decode thread's readers (before the thread starts).
  void ProbeStreamFormat();
  void AskDecoderCaps();
  // Why the clip cannot be served ("KWSource: H.264 4:2:2 10-bit cannot be
  // decoded by this GPU."), empty when it can.
  std::string FormatRefusal() const;

  // ---------------------------------------------------------------- GPU session (session.cpp)
  bool InitCuda();                            // throws std::runtime_error on failure
  bool DeinitCuda();
  int decoder_open();
  int decoder_set_mode(int deinterlace, int use_top_field, int use_pf, int codec, int rw, int rh,
                       int cl, int cr, int ct, int cb);
  int decoder_reset();
  int decoder_flush();
  int decoder_close();
  // Feeds one unit (start code first) to the parser, tagged (TagUnit).
  u32 decoder_decode_nalu(unsigned char* bytes, u32 length);
  int DHandleVideoSequence(DecodeSession* s, nv::CUVIDEOFORMAT* format);
  int DHandlePictureDecode(DecodeSession* s, nv::CUVIDPICPARAMS* picture);
  int DHandlePictureDisplay(DecodeSession* s, nv::CUVIDPARSERDISPINFO* display);
  int DisplayPicture(DecodeSession* s, const nv::CUVIDPARSERDISPINFO* display);
  // True while a decoder exists to deliver pictures (read by the frame
  // callback only while the decode thread is idle or after delivered).
  bool HasDecoder() const { return decoder_alive.load(); }
  // The decoded picture in the host buffer, or null when none was ever
  // delivered. Valid between delivered and the next request.
  const unsigned char* HostPicture(u32* width, u32* height, u32* pitch) const;

  DecodeSession session;
  const CuvidApi* cuvid = nullptr;            // driver table, null when unavailable
  nv::CUdevice cu_device = 0;
  nv::CUcontext cu_context = nullptr;
  nv::CUvideoctxlock ctx_lock = nullptr;
  unsigned char* host_buffer = nullptr;       // HOST_BUFFER_SIZE bytes, page-locked
  nv::CUVIDPARSERPARAMS parser_params = {};
  bool recreate = false;                      // set by decoder_set_mode: next sequence makes a decoder
  // Mirrors session.decoder != null for the frame callback, which must not
  // read the handle while the decode thread may replace it.
  std::atomic<bool> decoder_alive{false};
  int video_full_range_flag = 0;
  // Requests answered in the current pass and whether the last answer was a
  // picture. Written by the decode thread before it sets delivered; read by
  // the frame callback after delivered; reset by it while the thread is idle.
  std::atomic<u32> answered{0};
  std::atomic<int> answer_ok{0};              // 1 a picture, 0 none, 2 one of another size
  std::atomic<u32> answer_width{0}, answer_height{0};  // that picture's size
  // Display frame record (coded picture number) of the last answer's
  // picture, as PlacePicture placed it. Written and read like answered.
  std::atomic<int> answer_picture{-1};
  // MPEG-2: the picture size of the last sequence header fed, with its
  // extensions, as the index counts it (0 before one).
  int mpg_width = 0, mpg_height = 0;
  int mpg_horizontal = 0, mpg_vertical = 0;  // the sequence header's own values
  bool mpg_after_sequence = false;           // the last unit fed was a sequence header
  // Frame callback: requests made in the current pass.
  u32 requested = 0;
  // Asks the decode thread for the next picture and waits for the answer.
  FetchResult Fetch();
  // Whether frame record `record` needs a pass of its own: damage fixes the
  // group its pass starts at (PassStart), and the current pass is no pass
  // that damage fixed at that group. Called by the frame callback after
  // positioned.
  bool NeedsPassOfItsOwn(u32 record) const;

  // ---------------------------------------------------------------- decode passes (decodeloop.cpp)
  void AVCDecode();
  void MPGDecode();
  void HEVCDecode();
  void VC1Decode();

  // ---------------------------------------------------------------- picture records
  // Pitches are in bytes and hold a row of bytes_per_sample samples.
  static YV12PICT* create_YV12PICT(int height, int width, int chroma_format,
                                   int bytes_per_sample = 1);
  static void destroy_YV12PICT(YV12PICT* pict);

 private:
  // Decode passes (decodeloop.cpp).
  int ChooseGroup();                          // picks the start group, sets pull_count and positioned
  // The group a pass for frame record `target` starts at; *damage_start is
  // set where damage moved it back (BeforeDamage). The same for every
  // target of a damaged stretch: the decoder conceals damage from what it
  // decoded before, so its pictures are one and the same only in passes
  // from one place.
  size_t PassStart(u32 target, bool* damage_start) const;
  // Start group of the current pass and whether damage fixed it. Written by
  // ChooseGroup before positioned.
  size_t pass_group = 0;
  bool pass_damage_start = false;
  // The group a pass for a target in group `own` starts at, from g: where
  // damage (DAMAGE lines; for MPEG-2 the end of the input, which may cut
  // the last picture) lies between g and the end of group own, two groups
  // before the one that holds the damage (at most 16 groups back), so
  // that every pass decodes the damaged pictures from the same pictures.
  size_t BeforeDamage(size_t g, size_t own) const;
  bool FeedParameterSets(u64 position);  // the SPS and PPS in force at position
  // Units from the group to the end or a stop; after_sequence: an MPEG-2
  // group whose sequence header was fed apart (FeedSequenceHeader).
  void FeedGroup(u64 position, bool after_sequence = false);
  // MPEG-2: the sequence header at position with the extensions and user
  // data after it. False, with the pass ended, when none is there.
  bool FeedSequenceHeader(u64 position);
  void EndPass();                             // flush, end of stream, delivered
  void FailPass(const char* what, u64 position);  // pass_problem (unless one is set), then EndPass
  // The unit just read begins at the position that the stream was aligned
  // to: its start code came first (after at most one zero byte, the first
  // of a four-byte start code).
  bool UnitAtAlignment() const { return first_skipped == 0 || (first_skipped == 1 && first_lead_zero); }
  // Index positions are byte offsets of the input (not container times).
  bool ByteOffsets() const {
    return stream_type == CONTAINER_ES || stream_type == CONTAINER_TS || stream_type == CONTAINER_PS;
  }
  // Number of pictures of group g that are displayed before its first
  // picture in decode order (AVC: order count below the first picture's;
  // MPEG-2: leading B pictures).
  int LeadingPictures(size_t g) const;
  // Matroska (Matroska.cpp): reads on from where the reader stands to the
  // frame that opens the group at time t, into mkv_raw; false at a key frame
  // that starts after t, at the end of the track, or with *unreadable set
  // when that frame cannot be read.
  bool ReadToMkvGroupFrame(u64 t, u32* flags, bool* unreadable);
  // Follows a pass through the index's groups with each frame read (in
  // mkv_raw): true, with pass_problem, at a frame that opens a later group
  // while the next group's frame was never met.
  bool MissedMkvGroup(u64 start, bool key);
  // Session helpers (session.cpp).
  void FillParserParams();
  bool MapAndCopy(DecodeSession* s, int picture_index, nv::CUVIDPROCPARAMS* proc);
  void DisplayHeld(DecodeSession* s);         // both queued pictures, the older first
  void FollowMpgSize(const unsigned char* bytes, u32 length);  // mpg_width, mpg_height
  int DeliverOne(DecodeSession* s, int picture_index, nv::CUVIDPROCPARAMS* proc, int number);
  // Coded picture number of a picture being displayed. AVC: the tag its
  // units were fed with, found by its order count among the index's
  // pictures from the pass's group on (the count read from its slice
  // header, offset so that the group's opening picture, the first fed, gets
  // the index's count), so that pictures a decoder shows or drops (leading
  // pictures, a lone last field) never shift the pictures after them; -1
  // (no frame's) where no index picture near has that count. Without order
  // counts to place by (no opening picture found), the one after the
  // previous picture placed.
  int PlacePicture(i64 timestamp);
  int FindByCount(i64 count, bool idr);
  // AVC: the tag of a new picture with order count `count` (FindByCount,
  // the pass's first picture anchoring the index's counts to the
  // stream's); 0 where no index picture is it.
  i64 AvcPictureTag(int count, bool idr);
  // Placement from group g on, as at the start of a pass (next: the
  // picture expected first where pictures are placed in turn).
  void StartPlacement(size_t g, int next);
  // Placement state of the current pass, set by ChooseGroup and the decode
  // callback; decode thread only.
  int place_next = 0;                         // picture after the last one placed
  int place_opener = -1;                      // AVC: the group's opening picture, -1 unknown
  bool place_anchored = false;                // the first picture of the pass was decoded
  bool place_in_turn = true;                  // each after the last: no order counts to place by
  size_t place_scan_group = 0;                // group the placement started at
  i64 place_scan_offset = 0;                  // index count minus decoder count before the next IDR group
  int place_hint = 0;                         // AVC: number of the picture decoded last
  u64 place_idr_from = UINT64_MAX;            // AVC: first picture of the first IDR group after the pass's
  u64 place_run_first = 0, place_run_end = 0;  // AVC: pictures of the run of order counts decoded now
  bool place_run_opened = false;              // AVC: the picture decoded next opened the run already
  std::vector<bool> place_taken;              // AVC: the pictures placed in this pass

  // Index reading, shared by the four readers (indexreader.cpp).
  int OpenIndexHead(const char* path, const char* magic, size_t version_chars);
  int ReadInputFiles();
  bool ReadKeyword(const char* line, bool parameter_sets);
  // "N:LOST": the slot of a lost picture, at the running picture index
  // `counter` (false for any other line). A DAMAGE line is read into
  // damage_list.
  bool ReadLostLine(const char* line, int counter);
  bool ReadDamageLine(const char* line);
  FrameRecord& FrameAt(size_t index);
  void ResetPlacement();
  void PlaceSelf(int n);                      // display frame n = {n, n}
  void PlaceRepeated(int n, int count);       // count display frames {n, n}
  void PlaceFields(int n, int pic_struct);    // honour pulldown, by AVC pic_struct
  void PlaceFilm(int n, bool three_field);    // force film cadence
  // A lost slot: its own timing is unknown, so one frame (or the field it
  // completes); `whole_frame` places a frame of its own (a progressive
  // MPEG-2 sequence).
  void PlaceLost(int n, bool whole_frame);
  void TrimTrailingPictures();
  int CountDisplayFrames() const;
  int FinishIndex();
  // SIZE within what the decoder takes, and (for containers whose positions
  // are byte offsets) every group and parameter-set position inside the
  // input, groups in stream order.
  int CheckAgainstInputs();

  // Placement state of the reader while it reads picture lines.
  int place_d = 0;                            // next display frame
  bool carry_top = false, carry_bottom = false;
  int film_two = 0, film_three = 0;           // force-film cadence counts
  bool film_locked = false;

  // Stream-reader state, owned by the decode thread once it runs.
  ByteBuffer rbuf;                            // READ_BUFFER_SIZE bytes
  u32 rd = 0;                                 // next unread byte in rbuf
  u32 valid = 0;                              // valid bytes in rbuf
  i64 rdmax = 0;                              // end of the current PS video packet (may lie past valid)
  u32 payload_bytes = 0;                      // payload bytes of the current packet still to take
  int current_file = 0;                       // file the buffer was read from
  int fill_file = -1;                         // file of the last fill
  i64 fill_offset = -2;                       // offset of the last fill
  ByteBuffer ubuf;                            // UNIT_BUFFER_SIZE bytes
  bool first_unit = true;                     // search for a start code before the next unit
  u64 first_skipped = 0;                      // bytes the last such search passed over
  bool first_lead_zero = false;               // ... the last of which was a zero byte
  bool had_eof = false;                       // the last unit ended at the end of input
  bool input_ended = false;                   // a refill found no further data
  u64 rbuf_position = 0;                      // stream position of rbuf[0] (byte offsets)
  // Transport streams: the counters of the video packets (forgotten after
  // a seek or a file change) and the bytes of the last one with payload from
  // the sync byte on (empty where they were not all read at once), so that a
  // repeated packet is dropped as Ostrel drops it.
  TsContinuity ts_counter;
  std::vector<unsigned char> ts_last_packet;
  u64 FileStart(int file) const;
  // The leading pictures of the group that feeding starts or goes on at
  // after pictures lost to damage reference lost ones, and Ostrel leaves
  // them out: MPEG-2 B pictures of an open group before its next P or I
  // picture (also where a pass starts at such a group, whose index lists
  // none), HEVC RASL pictures before the first trailing picture. They are
  // not fed (LeadingUnitLeftOut).
  struct {
    bool on = false;
    int pictures = 0;        // MPEG-2 picture headers (HEVC IRAP pictures) met since
    bool partner = false;    // MPEG-2: the group's first picture is a field; its partner is next
    bool dropping = false;   // MPEG-2: the units of a leading B picture
    int intra_reference = -1;  // MPEG-2: temporal_reference of the group's I picture
  } lead_out;
  void LeaveOutLeadingPictures(size_t g);
  bool LeadingUnitLeftOut();
  // Every unit fed carries, as its packet timestamp,
  // the number (plus 1) of the coded picture it belongs to, which the
  // parser hands back with the picture it displays; so a picture is placed
  // by its own identity, and one that the decoder drops or conceals moves
  // no other. MPEG-2 and VC-1 pictures are numbered in decode order from
  // the group a pass starts (or goes on) at: each I or P picture is
  // followed in decode order by the B pictures shown before it. HEVC
  // pictures are found by their order count among the pictures of their
  // run of counts (from an IDR or BLA picture to the next one; the count of
  // the pass's first IRAP picture anchoring the index's to the stream's),
  // each once in a pass: where a count comes twice in a run (joined parts
  // whose IDR picture was lost) the later picture is the one not found yet;
  // AVC pictures by their order count likewise (AvcPictureTag). The units
  // before a picture's first slice (parameter sets, delimiters, SEI) are
  // held until it is known, and carry its number. 0 where no number is
  // known.
  struct {
    size_t scan = 0;               // display index from which the next I or P picture is looked for
    std::vector<int> pending;      // B pictures decoded next, in display order (front first)
    size_t pending_at = 0;
    int planned = -1;              // the I or P picture due after the pending B pictures of a lost one
    bool begun = false;            // a header began the next picture, numbered already
    bool first_field = false;      // MPEG-2: the last picture is a first field, its partner comes next
    bool opened = false;           // MPEG-2: a picture header that began a picture, its extension not yet read
    i64 current = 0;               // the tag of the units being fed
    long run = -1;                 // HEVC: group where the order counts of the pictures fed began
    bool anchored = false;         // HEVC: the pass's first IRAP picture set the offset
    long run_end_for = -1;         // HEVC: run whose end run_end is
    u64 run_end = 0;               // HEVC: the picture after the run's last
    u64 hint = 0;                  // HEVC: the picture found last
    std::vector<bool> taken;       // HEVC: pictures found already in this pass
    i64 offset = 0;                // HEVC: index order count less the stream's, from that group on
    bool new_sequence = true;      // HEVC: the next CRA picture begins a coded video sequence
    int32_t prev_tid0 = 0;         // HEVC: order count of the last sub-layer 0 anchor picture
    std::vector<unsigned char> held;  // HEVC: units before the next picture, each behind its length;
                                      // MPEG-2: a picture header until the unit after it is read;
                                      // VC-1: the headers before a frame until its header
    bool extended = false;         // MPEG-2: the last sequence header has a sequence extension
    int vc1_interlace = -1;        // VC-1: INTERLACE of the last sequence header, -1 before one
  } tag;
  // HEVC: what the order count of a slice needs from the latest SPS and PPS.
  struct {
    int lsb_bits = 0;              // 0 before an SPS was read
    bool separate_colour_plane = false;
    int extra_slice_header_bits = 0;
    bool output_flag_present = false;
  } hevc_sets;
  // AVC: what the order count of a slice needs from its SPS and PPS.
  struct AvcSps {
    bool valid = false;
    int log2_max_frame_num = 0;
    int poc_type = 0;
    int log2_max_lsb = 0;
    bool delta_always_zero = false;
    int offset_for_non_ref_pic = 0;
    int offset_for_top_to_bottom_field = 0;
    int cycle = 0;                 // num_ref_frames_in_pic_order_cnt_cycle
    std::vector<int> offset_for_ref_frame;
    bool frame_mbs_only = true;
  };
  struct AvcPps {
    bool valid = false;
    int sps = 0;
    bool bottom_field_pic_order_present = false;
  };
  std::vector<AvcSps> avc_sps = std::vector<AvcSps>(32);
  std::vector<AvcPps> avc_pps = std::vector<AvcPps>(256);
  // AVC: the slice header values of the last slice read and the order
  // count state, from the pass's group on (as Ostrel keeps them).
  struct {
    int frame_num = -1, pps = -1, field = -1, bottom = -1, ref_idc = -1, idr = -1;
    int lsb = -1, delta_bottom = -1, delta0 = -1, delta1 = -1;
    bool top_field_first = false, first_field_pending = false;
    i64 prev_msb = 0, prev_lsb = 0;
    i64 frame_num_offset = 0, prev_frame_num = 0, prev_frame_num_offset = 0;
    i64 picture = 0;               // tag of the picture of the last slice read
  } avc_poc;
  void StartTags(size_t g);
  // The number of the next picture in decode order: an I or P picture
  // (kReference), a B picture (kB) or one whose type is not known.
  enum class PictureKind { kUnknown, kReference, kB };
  int NextDecodedPicture(PictureKind kind = PictureKind::kUnknown);
  // The next I or P picture of the index from tag.scan on; the B pictures
  // before it become the pending ones.
  int ScanToReference();
  void TagUnit(const unsigned char* bytes, u32 length);
  // HEVC: the tag of a picture from its first slice segment (header at h).
  i64 HevcPictureTag(const unsigned char* bytes, u32 length, u32 h, int type);
  void FeedHevcUnit(unsigned char* bytes, u32 length);
  // MPEG-2 (not MPEG-1): a picture is numbered when its coding extension
  // follows its header.
  void FeedMpegUnit(unsigned char* bytes, u32 length);
  // VC-1: a frame is numbered by the type its header gives (kUnknown
  // before a sequence header, or where the header is cut short); the
  // sequence header and entry point before it are held until it comes.
  PictureKind Vc1PictureKind(const unsigned char* bytes, u32 length, u32 h) const;
  void FeedVc1Unit(unsigned char* bytes, u32 length);
  // Keeps a unit, behind its length, until its picture's number is known.
  void HoldUnit(const unsigned char* bytes, u32 length);
  // Sends the units held, in order; tag_each numbers each as it goes (held
  // units that no frame followed).
  void FeedHeldUnits(bool tag_each = false);
  // AVC: parameter sets are read for what the order count needs; a slice
  // that begins a picture (as Ostrel tells pictures apart) numbers it.
  void FeedAvcUnit(unsigned char* bytes, u32 length);
  // AVC: the order count of the slice (header at h) as Ostrel derives it:
  // 1 for the first slice of a new picture (count in *count), 0 for a
  // further slice of the picture before, -1 for a slice that cannot be read
  // (no parameter sets, cut short).
  int AvcSliceCount(const unsigned char* bytes, u32 length, u32 h, int* count);
  void SendUnit(unsigned char* bytes, u32 length);
  void FeedUnit();

  int RefillBuffer();
  int SkipBytes(u64 count);
  int ReadUnit(bool avc);
  void FillUnit(u32 length, bool avc);
  bool ConfirmedSync(u32 s) const;
  // True for a video packet that repeats the one before it (rd after its
  // header); it is then passed over. Notes the counter of every video packet.
  bool RepeatedTSPacket(int pid, unsigned char h3);
  // The packet whose header was just read lies whole in the read buffer
  // (which is moved on to hold it where it runs past the buffer's end);
  // false where its file ends within it.
  bool WholePacketAt();
  void AlignTSStream(u64 position);

  pthread_t thread = {};
  bool thread_started = false;
};
