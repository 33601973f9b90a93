// CUVID video parser of the stand-in, built on libavcodec: libavcodec's
// parser splits the byte stream into access units and its decoder decodes
// them; the order in which the decoder outputs pictures is the display order.
//
// Per access unit with a picture, in this order:
//   1. the unit goes to libavcodec (unless it is a picture libavcodec would
//      skip or must not see, below), stamped with a serial number as pts, and
//      every picture libavcodec outputs is matched to its serial;
//   2. when the stream format differs from the one last reported, everything
//      held is displayed and the sequence callback runs;
//   3. a free surface is chosen and the decode callback runs;
//   4. pictures output by libavcodec join the display queue, and the queue
//      is shown (display callback) down to ulMaxDisplayDelay pictures.
// Special pictures:
//   - HEVC RASL pictures that follow a CRA which starts the stream (or
//     follows an end of sequence) are dropped: no callbacks at all;
//   - MPEG-2 B pictures of an open group and VC-1 B/BI pictures that arrive
//     before two reference pictures were decoded since the start get a grey
//     picture, displayed at once (libavcodec would skip them);
//   - an H.264 field that completes the field pair of the picture before it
//     shares that picture's surface (second_field = 1).
//
// Invariants:
// - busy_[i] is true from the decode callback that assigns surface i until
//   the display callback of its picture returned, or until the picture was
//   given up; a surface is never assigned twice while busy;
// - every entry of waiting_ and ready_ owns a busy surface;
// - ready_ is in display order and holds at most ulMaxDisplayDelay entries
//   whenever control returns to the caller.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
}

#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "headers.h"
#include "standin.h"

namespace standin {

thread_local const PendingDecode* t_pending_decode __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

// Pictures never output by libavcodec are given up once this many later
// pictures have been: a stream that lost a picture must not exhaust surfaces.
const int64_t kLostAfter = 32;

struct Shown {
  int surface;
  PicturePtr picture;
  int progressive_frame;
  int top_field_first;
  int repeat_first_field;
  long long timestamp;
};

struct Waiting {
  int surface;  // -1 until the decode callback assigned one
  PicturePtr picture;
  long long timestamp;
};

// What the stand-in learns about one access unit from its start codes.
struct UnitFacts {
  bool picture = false;        // holds a coded picture
  bool feed = true;            // goes to libavcodec
  bool drop = false;           // no callbacks at all (HEVC RASL of the first CRA)
  bool grey = false;           // displayed as a grey picture
  bool reference = true;       // a reference picture (I/P, or a referenced H.264/HEVC picture)
  bool intra = false;
  int field = 0;               // 0 frame, 1 top field, 2 bottom field
  Mpeg2PictureFlags mpeg2;     // MPEG-2 picture flags, for grey pictures
  std::vector<uint8_t> vps;    // HEVC: a VPS to send first, for an SPS whose VPS is unknown
  std::vector<std::pair<size_t, size_t>> vps_units;  // HEVC: the stream's VPS units, kept from libavcodec
};

class Parser {
 public:
  explicit Parser(const nv::CUVIDPARSERPARAMS& p) : params_(p) {}
  ~Parser() { close_codec(); }
  bool open();
  void feed(const uint8_t* data, size_t size, long long timestamp, bool has_timestamp);
  void end_of_stream();

 private:
  bool open_decoder(const uint8_t* extradata, size_t size);
  void close_codec();
  void handle_unit(const uint8_t* data, size_t size, long long timestamp);
  UnitFacts inspect(const uint8_t* data, size_t size);
  bool current_format(nv::CUVIDEOFORMAT& fmt, PictureFormat& pf);
  void receive(std::vector<Waiting>& outputs);
  void queue_outputs(std::vector<Waiting>& outputs);
  void show(const Shown& s);
  void show_ready(size_t keep);
  int free_surface();
  void give_up(int64_t serial);
  void reset_stream();
  void drain_decoder();  // every picture libavcodec holds is output and displayed; it starts afresh

  nv::CUVIDPARSERPARAMS params_;
  const AVCodec* codec_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVCodecParserContext* split_ = nullptr;
  AVCodecContext* split_ctx_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;

  // Stream facts.
  SeqInfo seq_;
  bool have_seq_ = false;
  nv::CUVIDEOFORMAT reported_{};
  bool accepted_ = false;
  std::vector<uint8_t> vc1_sequence_, vc1_entry_;  // VC-1 decoder configuration
  bool hevc_no_rasl_ = true;    // the next CRA starts decoding: its RASL pictures are dropped
  bool hevc_skip_rasl_ = false; // RASL pictures of the current CRA are dropped
  unsigned hevc_vps_known_ = 0; // bit i: libavcodec holds the stand-in's VPS with id i
  int references_ = 0;          // reference pictures since the start (MPEG-2, VC-1)
  bool closed_gop_ = false;     // of the last MPEG-2 group header
  int open_field_surface_ = -1; // H.264: surface of a first field awaiting its pair
  int open_field_parity_ = 0;
  int64_t open_field_serial_ = -1;
  PicturePtr open_field_picture_;

  // Pictures in flight.
  int64_t serial_ = 0;
  std::vector<bool> busy_;
  int last_surface_ = -1;               // surface assigned last
  std::map<int64_t, Waiting> waiting_;  // fed to libavcodec, not yet output
  std::deque<Shown> ready_;             // output, waiting for display
  std::vector<uint8_t> padded_;         // the packet being parsed, padded for libavcodec
};

bool Parser::open() {
  AVCodecID id;
  switch (params_.CodecType) {
    case nv::cudaVideoCodec_MPEG1: id = AV_CODEC_ID_MPEG1VIDEO; break;
    case nv::cudaVideoCodec_MPEG2: id = AV_CODEC_ID_MPEG2VIDEO; break;
    case nv::cudaVideoCodec_VC1: id = AV_CODEC_ID_VC1; break;
    case nv::cudaVideoCodec_H264: id = AV_CODEC_ID_H264; break;
    case nv::cudaVideoCodec_HEVC: id = AV_CODEC_ID_HEVC; break;
    default: return false;
  }
  codec_ = avcodec_find_decoder(id);
  if (!codec_) return false;
  split_ = av_parser_init(id);
  split_ctx_ = avcodec_alloc_context3(codec_);
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (!split_ || !split_ctx_ || !packet_ || !frame_) return false;
  busy_.assign(params_.ulMaxNumDecodeSurfaces, false);
  // VC-1 needs its sequence header and entry point before the decoder opens.
  if (params_.CodecType != nv::cudaVideoCodec_VC1 && !open_decoder(nullptr, 0)) return false;
  return true;
}

bool Parser::open_decoder(const uint8_t* extradata, size_t size) {
  avcodec_free_context(&dec_);
  dec_ = avcodec_alloc_context3(codec_);
  if (!dec_) return false;
  // One thread: each picture is decoded inside the call that sends it, so the
  // stream's parameters are known right after sending.
  dec_->thread_count = 1;
  // Keep the coded picture whole; the display area is applied when mapping.
  dec_->apply_cropping = 0;
  // Show what the real decoder shows: pictures before a recovery point too,
  // with missing references concealed.
  dec_->flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
  dec_->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;
  if (extradata && size) {
    dec_->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!dec_->extradata) return false;
    std::memcpy(dec_->extradata, extradata, size);
    dec_->extradata_size = static_cast<int>(size);
  }
  if (avcodec_open2(dec_, codec_, nullptr) < 0) {
    avcodec_free_context(&dec_);
    return false;
  }
  return true;
}

void Parser::close_codec() {
  avcodec_free_context(&dec_);
  if (split_) av_parser_close(split_);
  split_ = nullptr;
  avcodec_free_context(&split_ctx_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
}

// Splits bytes into access units with libavcodec's parser.
void Parser::feed(const uint8_t* data, size_t size, long long timestamp, bool has_timestamp) {
  if (!split_) return;
  // libavcodec's parser reads a little past the bytes it is given: they go
  // to it with zero padding after them, wherever the client's packet ends.
  try {
    padded_.assign(data, data + size);
    padded_.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  } catch (...) {
    return;
  }
  data = padded_.data();
  while (size > 0) {
    uint8_t* unit = nullptr;
    int unit_size = 0;
    int chunk = size > INT32_MAX / 2 ? INT32_MAX / 2 : static_cast<int>(size);
    int used = av_parser_parse2(split_, split_ctx_, &unit, &unit_size, data, chunk,
                                has_timestamp ? timestamp : AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) return;
    data += used;
    size -= static_cast<size_t>(used);
    if (unit_size > 0) handle_unit(unit, static_cast<size_t>(unit_size), split_->pts == AV_NOPTS_VALUE ? 0 : split_->pts);
    if (used == 0 && unit_size == 0) return;  // no progress: never spin
  }
}

// Start codes of one access unit: offset of the byte after each 00 00 01.
static std::vector<size_t> unit_starts(const uint8_t* d, size_t n) {
  std::vector<size_t> s;
  for (size_t i = 0; i + 3 <= n; i++)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      s.push_back(i + 3);
      i += 2;
    }
  return s;
}

UnitFacts Parser::inspect(const uint8_t* d, size_t n) {
  UnitFacts f;
  std::vector<size_t> starts = unit_starts(d, n);
  for (size_t k = 0; k < starts.size(); k++) {
    size_t b = starts[k];
    // The unit runs to the next start code (its trailing zeros included).
    size_t e = k + 1 < starts.size() ? starts[k + 1] - 3 : n;
    if (b >= e) continue;
    const uint8_t* u = d + b;
    size_t len = e - b;
    switch (params_.CodecType) {
      case nv::cudaVideoCodec_H264: {
        int type = u[0] & 31;
        if (type == 7) {
          SeqInfo s;
          if (parse_h264_sps(u + 1, len - 1, s)) {
            seq_ = s;
            have_seq_ = true;
          }
        } else if (type >= 1 && type <= 5 && !f.picture) {
          f.picture = true;
          f.reference = (u[0] & 0x60) != 0;
          std::vector<uint8_t> rbsp = unescape_rbsp(u + 1, len - 1 < 16 ? len - 1 : 16);
          BitReader br(rbsp.data(), rbsp.size());
          br.ue();  // first_mb_in_slice
          uint32_t slice_type = br.ue() % 5;
          f.intra = slice_type == 2 || slice_type == 4;
        }
        break;
      }
      case nv::cudaVideoCodec_HEVC: {
        if (len < 2) break;
        int type = (u[0] >> 1) & 63;
        // libavcodec gets no VPS of the stream, only one of the stand-in's
        // own per id, made from the first SPS that names it: a stream VPS
        // that differs from it would make libavcodec drop its SPS and
        // start afresh at the next CRA, losing that CRA's RASL pictures.
        if (type == 32) f.vps_units.emplace_back(b - 3, e);
        if (type == 33 && len >= 3 && !(hevc_vps_known_ & (1u << (u[2] >> 4)))) {
          f.vps = make_hevc_vps(u + 2, len - 2);
          if (!f.vps.empty()) hevc_vps_known_ |= 1u << (u[2] >> 4);
        }
        if (type == 33) {
          SeqInfo s;
          if (parse_hevc_sps(u + 2, len - 2, s)) {
            seq_ = s;
            have_seq_ = true;
          }
        } else if (type == 36 || type == 37) {  // end of sequence / bitstream
          hevc_no_rasl_ = true;
        } else if (type < 32 && !f.picture) {
          f.picture = true;
          f.intra = type >= 16 && type <= 23;
          // Sub-layer non-reference pictures have even types up to 14.
          f.reference = !(type <= 14 && (type & 1) == 0);
          if (type >= 16 && type <= 23) {
            // IDR and BLA pictures never have RASL pictures to decode; a CRA
            // does unless it starts the stream.
            hevc_skip_rasl_ = type != 21 || hevc_no_rasl_;
            hevc_no_rasl_ = false;
          }
          if ((type == 8 || type == 9) && hevc_skip_rasl_) f.drop = true;
        }
        break;
      }
      case nv::cudaVideoCodec_MPEG1:
      case nv::cudaVideoCodec_MPEG2: {
        if (u[0] == 0xB3) {
          // The sequence extension, when any, is the next unit.
          const uint8_t* ext = nullptr;
          size_t ext_len = 0;
          if (k + 1 < starts.size() && starts[k + 1] < n && d[starts[k + 1]] == 0xB5) {
            size_t eb = starts[k + 1];
            size_t ee = k + 2 < starts.size() ? starts[k + 2] - 3 : n;
            if (eb + 1 < ee) {
              ext = d + eb + 1;
              ext_len = ee - eb - 1;
            }
          }
          SeqInfo s;
          if (parse_mpeg2_sequence(u + 1, len - 1, ext, ext_len, s)) {
            seq_ = s;
            have_seq_ = true;
          }
        } else if (u[0] == 0xB8 && len >= 5) {
          closed_gop_ = (u[4] & 0x40) != 0;  // after the 25-bit time code
        } else if (u[0] == 0x00 && len >= 3 && !f.picture) {
          f.picture = true;
          int type = (u[2] >> 3) & 7;  // after the 10-bit temporal_reference
          f.intra = type == 1;
          f.reference = type == 1 || type == 2;
        } else if (u[0] == 0xB5 && len >= 2 && (u[1] >> 4) == 8 && f.picture) {
          parse_mpeg2_picture_extension(u + 1, len - 1, f.mpeg2);
        }
        break;
      }
      case nv::cudaVideoCodec_VC1: {
        if (u[0] == 0x0F) {
          vc1_sequence_.assign(d + b - 3, d + e);
        } else if (u[0] == 0x0E) {
          vc1_entry_.assign(d + b - 3, d + e);
        } else if (u[0] == 0x0D && !f.picture) {
          f.picture = true;
        }
        break;
      }
      default:
        break;
    }
  }
  if (params_.CodecType == nv::cudaVideoCodec_VC1 && f.picture) {
    // libavcodec's parser has read the frame header of this unit.
    int t = split_->pict_type;
    f.intra = t == AV_PICTURE_TYPE_I;
    f.reference = t == AV_PICTURE_TYPE_I || t == AV_PICTURE_TYPE_P;
    if ((t == AV_PICTURE_TYPE_B || t == AV_PICTURE_TYPE_BI) && references_ < 2) f.grey = true;
  }
  if ((params_.CodecType == nv::cudaVideoCodec_MPEG2 || params_.CodecType == nv::cudaVideoCodec_MPEG1) &&
      f.picture && !f.reference && !f.intra && references_ < 2 && !closed_gop_)
    f.grey = true;
  if (params_.CodecType == nv::cudaVideoCodec_H264 && f.picture) {
    if (split_->picture_structure == AV_PICTURE_STRUCTURE_TOP_FIELD) f.field = 1;
    if (split_->picture_structure == AV_PICTURE_STRUCTURE_BOTTOM_FIELD) f.field = 2;
  }
  if (f.grey || f.drop) f.feed = false;
  return f;
}

bool Parser::current_format(nv::CUVIDEOFORMAT& fmt, PictureFormat& pf) {
  SeqInfo s = seq_;
  if (params_.CodecType == nv::cudaVideoCodec_VC1) {
    // The VC-1 size comes from the decoder, which read the sequence header.
    if (!dec_ || dec_->coded_width <= 0 || dec_->coded_height <= 0) return false;
    s.width = dec_->coded_width;
    s.height = dec_->coded_height;
    s.align = 16;
  } else if (!have_seq_) {
    return false;
  }
  std::memset(&fmt, 0, sizeof fmt);
  fmt.codec = params_.CodecType;
  if (dec_ && dec_->framerate.num > 0 && dec_->framerate.den > 0) {
    fmt.frame_rate.numerator = static_cast<unsigned>(dec_->framerate.num);
    fmt.frame_rate.denominator = static_cast<unsigned>(dec_->framerate.den);
  }
  fmt.progressive_sequence = s.progressive_sequence;
  fmt.bit_depth_luma_minus8 = static_cast<unsigned char>(s.bit_depth_luma - 8);
  fmt.bit_depth_chroma_minus8 = static_cast<unsigned char>(s.bit_depth_chroma - 8);
  fmt.min_num_decode_surfaces = static_cast<unsigned char>(s.dpb_size + 4);
  int a = s.align;
  fmt.coded_width = static_cast<unsigned>((s.width + a - 1) / a * a);
  fmt.coded_height = static_cast<unsigned>((s.height + a - 1) / a * a);
  fmt.display_area.left = s.crop_left;
  fmt.display_area.top = s.crop_top;
  fmt.display_area.right = s.width - s.crop_right;
  fmt.display_area.bottom = s.height - s.crop_bottom;
  fmt.chroma_format = static_cast<nv::cudaVideoChromaFormat>(s.chroma_format);
  if (dec_ && dec_->bit_rate > 0 && dec_->bit_rate < UINT32_MAX) fmt.bitrate = static_cast<unsigned>(dec_->bit_rate);
  int dw = fmt.display_area.right - fmt.display_area.left, dh = fmt.display_area.bottom - fmt.display_area.top;
  AVRational sar = dec_ ? dec_->sample_aspect_ratio : AVRational{0, 1};
  if (sar.num <= 0 || sar.den <= 0) sar = AVRational{1, 1};
  int64_t x = static_cast<int64_t>(dw) * sar.num, y = static_cast<int64_t>(dh) * sar.den;
  while (y) {  // reduce by the greatest common divisor
    int64_t t = x % y;
    x = y;
    y = t;
  }
  int64_t g = x > 0 ? x : 1;
  int64_t ax = static_cast<int64_t>(dw) * sar.num / g, ay = static_cast<int64_t>(dh) * sar.den / g;
  if (ax <= INT32_MAX && ay <= INT32_MAX) {
    fmt.display_aspect_ratio.x = static_cast<int>(ax);
    fmt.display_aspect_ratio.y = static_cast<int>(ay);
  }
  if (dec_) {
    fmt.video_signal_description.video_format = 5;  // unspecified
    fmt.video_signal_description.video_full_range_flag = dec_->color_range == AVCOL_RANGE_JPEG;
    fmt.video_signal_description.color_primaries = static_cast<unsigned char>(dec_->color_primaries);
    fmt.video_signal_description.transfer_characteristics = static_cast<unsigned char>(dec_->color_trc);
    fmt.video_signal_description.matrix_coefficients = static_cast<unsigned char>(dec_->colorspace);
  }
  pf.codec = params_.CodecType;
  pf.coded_width = static_cast<int>(fmt.coded_width);
  pf.coded_height = static_cast<int>(fmt.coded_height);
  pf.chroma_format = s.chroma_format;
  pf.bit_depth = s.bit_depth_luma;
  return true;
}

static bool same_decoder(const nv::CUVIDEOFORMAT& a, const nv::CUVIDEOFORMAT& b) {
  return a.coded_width == b.coded_width && a.coded_height == b.coded_height &&
         a.chroma_format == b.chroma_format && a.bit_depth_luma_minus8 == b.bit_depth_luma_minus8 &&
         a.bit_depth_chroma_minus8 == b.bit_depth_chroma_minus8;
}

static bool same_format(const nv::CUVIDEOFORMAT& a, const nv::CUVIDEOFORMAT& b) {
  return a.coded_width == b.coded_width && a.coded_height == b.coded_height &&
         a.chroma_format == b.chroma_format && a.bit_depth_luma_minus8 == b.bit_depth_luma_minus8 &&
         a.bit_depth_chroma_minus8 == b.bit_depth_chroma_minus8 && a.display_area.left == b.display_area.left &&
         a.display_area.top == b.display_area.top && a.display_area.right == b.display_area.right &&
         a.display_area.bottom == b.display_area.bottom && a.progressive_sequence == b.progressive_sequence;
}

// Collects the pictures libavcodec has ready, in its output (display) order.
void Parser::receive(std::vector<Waiting>& outputs) {
  if (!dec_) return;
  while (avcodec_receive_frame(dec_, frame_) == 0) {
    auto it = waiting_.find(frame_->pts);
    if (it == waiting_.end()) {  // a picture given up earlier, or no picture of ours
      av_frame_unref(frame_);
      continue;
    }
    Waiting w = it->second;
    waiting_.erase(it);
    w.picture->frame = av_frame_clone(frame_);
    av_frame_unref(frame_);
    if (!w.picture->frame) {
      if (w.surface >= 0) busy_[static_cast<size_t>(w.surface)] = false;
      continue;
    }
    outputs.push_back(w);
  }
}

// Moves output pictures that own a surface into the display queue.
void Parser::queue_outputs(std::vector<Waiting>& outputs) {
  for (const Waiting& w : outputs) {
    if (w.surface < 0) continue;
    const AVFrame* f = w.picture->frame;
    ready_.push_back(Shown{w.surface, w.picture, !f->interlaced_frame, f->top_field_first, f->repeat_pict, w.timestamp});
  }
  outputs.clear();
}

void Parser::show(const Shown& s) {
  nv::CUVIDPARSERDISPINFO info{};
  info.picture_index = s.surface;
  info.progressive_frame = s.progressive_frame;
  info.top_field_first = s.top_field_first;
  info.repeat_first_field = s.repeat_first_field;
  info.timestamp = s.timestamp;
  if (params_.pfnDisplayPicture) params_.pfnDisplayPicture(params_.pUserData, &info);
  // Once shown, the client has had its chance at the surface: it is free
  // for the next picture (the client must map it before that decode).
  busy_[static_cast<size_t>(s.surface)] = false;
}

void Parser::show_ready(size_t keep) {
  while (ready_.size() > keep) {
    Shown s = ready_.front();
    ready_.pop_front();
    show(s);
  }
}

void Parser::give_up(int64_t serial) {
  auto it = waiting_.find(serial);
  if (it == waiting_.end()) return;
  if (it->second.surface >= 0) busy_[static_cast<size_t>(it->second.surface)] = false;
  waiting_.erase(it);
}

// The next free surface after the one assigned last (the parser cycles
// through its surfaces); frees one by showing held pictures, and then by
// giving up the oldest lost picture, when all are busy.
int Parser::free_surface() {
  for (;;) {
    for (size_t k = 1; k <= busy_.size(); k++) {
      size_t i = (static_cast<size_t>(last_surface_) + k) % busy_.size();
      if (!busy_[i]) {
        last_surface_ = static_cast<int>(i);
        return last_surface_;
      }
    }
    if (!ready_.empty()) {
      show_ready(ready_.size() - 1);
      continue;
    }
    if (waiting_.empty()) return -1;
    give_up(waiting_.begin()->first);
  }
}

void Parser::handle_unit(const uint8_t* data, size_t size, long long timestamp) {
  UnitFacts f = inspect(data, size);
  if (f.drop) return;

  if (params_.CodecType == nv::cudaVideoCodec_VC1 && !dec_) {
    if (vc1_sequence_.empty() || vc1_entry_.empty()) return;  // nothing decodable yet
    std::vector<uint8_t> config = vc1_sequence_;
    config.insert(config.end(), vc1_entry_.begin(), vc1_entry_.end());
    if (!open_decoder(config.data(), config.size())) return;
  }

  // A picture decoded into the surface of the field before it.
  bool second_field = f.field != 0 && open_field_surface_ >= 0 && f.field != open_field_parity_;
  if (f.picture && !second_field && dec_ && accepted_ && params_.CodecType != nv::cudaVideoCodec_VC1) {
    // A picture that needs another decoder (coded size, chroma format, bit
    // depth) refers to none before it: the pictures libavcodec still holds
    // leave first, so that every picture of the old format is displayed
    // before the change is reported.
    nv::CUVIDEOFORMAT next;
    PictureFormat next_pf;
    if (current_format(next, next_pf) && !same_decoder(next, reported_)) drain_decoder();
  }
  int64_t serial = serial_++;
  PicturePtr picture;
  if (f.picture && !second_field) {
    try {
      picture = std::make_shared<Picture>();
    } catch (...) {
      return;
    }
    waiting_[serial] = Waiting{-1, picture, timestamp};
  }

  std::vector<Waiting> outputs;
  if (!f.vps.empty() && dec_) {
    packet_->data = f.vps.data();
    packet_->size = static_cast<int>(f.vps.size());
    packet_->pts = AV_NOPTS_VALUE;
    avcodec_send_packet(dec_, packet_);
    av_packet_unref(packet_);
  }
  std::vector<uint8_t> kept;
  const uint8_t* send = data;
  size_t send_size = size;
  if (!f.vps_units.empty()) {
    size_t at = 0;
    for (const auto& r : f.vps_units) {
      kept.insert(kept.end(), data + at, data + r.first);
      at = r.second;
    }
    kept.insert(kept.end(), data + at, data + size);
    send = kept.data();
    send_size = kept.size();
  }
  if (f.feed && dec_ && send_size > 0) {
    packet_->data = const_cast<uint8_t*>(send);
    packet_->size = static_cast<int>(send_size);
    packet_->pts = f.picture ? serial : AV_NOPTS_VALUE;
    avcodec_send_packet(dec_, packet_);
    av_packet_unref(packet_);
    receive(outputs);
  }
  if (!f.picture) {
    queue_outputs(outputs);
    show_ready(params_.ulMaxDisplayDelay);
    return;
  }

  nv::CUVIDEOFORMAT fmt;
  PictureFormat pf;
  if (!current_format(fmt, pf)) {  // no sequence header yet: nothing to decode
    give_up(serial);
    queue_outputs(outputs);
    return;
  }
  if (!accepted_ || !same_format(fmt, reported_)) {
    // Pictures of the old format leave before the client may replace its
    // decoder. This very picture stays: libavcodec outputs a picture of a
    // stream without reordering in the call that decodes it, and it has no
    // surface yet (it gets one below).
    std::vector<Waiting> current;
    for (auto it = outputs.begin(); it != outputs.end();) {
      if (it->picture == picture) {
        current.push_back(*it);
        it = outputs.erase(it);
      } else {
        ++it;
      }
    }
    queue_outputs(outputs);
    show_ready(0);
    outputs = current;
    reported_ = fmt;
    accepted_ = params_.pfnSequenceCallback ? params_.pfnSequenceCallback(params_.pUserData, &fmt) != 0 : true;
    open_field_surface_ = -1;
    open_field_picture_.reset();
    second_field = false;
  }
  if (!accepted_) {  // the client refused the format: pictures are skipped until it accepts one
    give_up(serial);
    return;
  }

  int surface;
  if (second_field) {
    surface = open_field_surface_;
    picture = open_field_picture_;
    open_field_surface_ = -1;
    open_field_picture_.reset();
  } else {
    surface = free_surface();
    if (surface < 0) {
      give_up(serial);
      queue_outputs(outputs);
      return;
    }
    busy_[static_cast<size_t>(surface)] = true;
    auto it = waiting_.find(serial);
    if (it != waiting_.end()) it->second.surface = surface;
    // libavcodec may have output the picture already, in this very call.
    for (Waiting& w : outputs)
      if (w.picture == picture) w.surface = surface;
  }
  picture->format = pf;

  nv::CUVIDPICPARAMS pp;
  std::memset(&pp, 0, sizeof pp);
  pp.PicWidthInMbs = pf.coded_width / 16;
  pp.FrameHeightInMbs = pf.coded_height / 16;
  pp.CurrPicIdx = surface;
  pp.field_pic_flag = f.field != 0;
  pp.bottom_field_flag = f.field == 2;
  pp.second_field = second_field;
  pp.nBitstreamDataLen = static_cast<unsigned>(size);
  pp.pBitstreamData = data;
  pp.ref_pic_flag = f.reference;
  pp.intra_pic_flag = f.intra;
  for (nv::CUVIDH264DPBENTRY& e : pp.CodecSpecific.h264.dpb) e.PicIdx = -1;
  if (params_.CodecType == nv::cudaVideoCodec_H264) {
    // The order count as libavcodec's parser reckons it for this unit: a
    // field's own, a frame's smaller one (given for both of its fields).
    int* order = pp.CodecSpecific.h264.CurrFieldOrderCnt;
    if (f.field != 0)
      order[f.field - 1] = split_->output_picture_number;
    else
      order[0] = order[1] = split_->output_picture_number;
  }
  PendingDecode pending{&pp, picture};
  t_pending_decode = &pending;
  int ok = params_.pfnDecodePicture ? params_.pfnDecodePicture(params_.pUserData, &pp) : 1;
  t_pending_decode = nullptr;
  if (!ok) {  // the client could not decode it: it is never displayed
    give_up(second_field ? open_field_serial_ : serial);
    queue_outputs(outputs);
    show_ready(params_.ulMaxDisplayDelay);
    return;
  }
  if (f.field != 0 && !second_field) {
    open_field_surface_ = surface;
    open_field_parity_ = f.field;
    open_field_serial_ = serial;
    open_field_picture_ = picture;
  }

  if (f.grey) {
    waiting_.erase(serial);
    AVFrame* g = av_frame_alloc();
    if (g) {
      g->format = pf.bit_depth > 8 ? AV_PIX_FMT_YUV420P10 : AV_PIX_FMT_YUV420P;
      if (pf.bit_depth > 8 && pf.bit_depth != 10) g->format = AV_PIX_FMT_YUV420P16;
      g->width = pf.coded_width;
      g->height = pf.coded_height;
      if (av_frame_get_buffer(g, 0) == 0) {
        int mid = 1 << ((g->format == AV_PIX_FMT_YUV420P16 ? 16 : pf.bit_depth) - 1);
        for (int p = 0; p < 3; p++) {
          int rows = p ? (g->height + 1) / 2 : g->height, cols = p ? (g->width + 1) / 2 : g->width;
          for (int y = 0; y < rows; y++) {
            uint8_t* row = g->data[p] + static_cast<ptrdiff_t>(y) * g->linesize[p];
            for (int x = 0; x < cols; x++) {
              if (pf.bit_depth > 8) {
                uint16_t v = static_cast<uint16_t>(mid);
                std::memcpy(row + 2 * x, &v, 2);
              } else {
                row[x] = static_cast<uint8_t>(mid);
              }
            }
          }
        }
        picture->frame = g;
      } else {
        av_frame_free(&g);
      }
    }
    if (picture->frame) {
      queue_outputs(outputs);
      bool interlaced = !f.mpeg2.progressive_frame;
      ready_.push_back(Shown{surface, picture, !interlaced, f.mpeg2.top_field_first,
                             f.mpeg2.repeat_first_field ? 1 : 0, timestamp});
    } else {
      busy_[static_cast<size_t>(surface)] = false;
    }
  }
  if (f.reference && !second_field) references_++;

  // Pictures that libavcodec will evidently never output are given up.
  while (!waiting_.empty() && serial - waiting_.begin()->first > kLostAfter) give_up(waiting_.begin()->first);

  queue_outputs(outputs);
  show_ready(params_.ulMaxDisplayDelay);
}

void Parser::drain_decoder() {
  std::vector<Waiting> outputs;
  avcodec_send_packet(dec_, nullptr);
  receive(outputs);
  avcodec_flush_buffers(dec_);
  queue_outputs(outputs);
  show_ready(0);
  for (auto& w : waiting_)
    if (w.second.surface >= 0) busy_[static_cast<size_t>(w.second.surface)] = false;
  waiting_.clear();
  references_ = 0;
}

void Parser::reset_stream() {
  if (split_) av_parser_close(split_);
  split_ = av_parser_init(codec_->id);
  if (dec_) avcodec_flush_buffers(dec_);
  for (auto& w : waiting_)
    if (w.second.surface >= 0) busy_[static_cast<size_t>(w.second.surface)] = false;
  waiting_.clear();
  hevc_no_rasl_ = true;
  hevc_skip_rasl_ = false;
  references_ = 0;
  closed_gop_ = false;
  open_field_surface_ = -1;
  open_field_picture_.reset();
}

void Parser::end_of_stream() {
  // The access unit still inside libavcodec's parser.
  uint8_t* unit = nullptr;
  int unit_size = 0;
  if (split_)
    av_parser_parse2(split_, split_ctx_, &unit, &unit_size, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
  if (unit_size > 0) handle_unit(unit, static_cast<size_t>(unit_size), split_->pts == AV_NOPTS_VALUE ? 0 : split_->pts);
  std::vector<Waiting> outputs;
  if (dec_) {
    avcodec_send_packet(dec_, nullptr);
    receive(outputs);
  }
  queue_outputs(outputs);
  show_ready(0);
  reset_stream();
}

std::mutex g_parsers_mutex;
std::set<const void*>& live_parsers() {
  static std::set<const void*> s;
  return s;
}

Parser* find(nv::CUvideoparser handle) {
  std::lock_guard<std::mutex> g(g_parsers_mutex);
  return live_parsers().count(handle) ? static_cast<Parser*>(handle) : nullptr;
}

}  // namespace

nv::CUresult create_parser(nv::CUvideoparser* handle, nv::CUVIDPARSERPARAMS* params) {
  if (!handle || !params) return nv::CUDA_ERROR_INVALID_VALUE;
  if (params->ulMaxNumDecodeSurfaces == 0 || params->ulMaxNumDecodeSurfaces > 64) return nv::CUDA_ERROR_INVALID_VALUE;
  switch (params->CodecType) {
    case nv::cudaVideoCodec_MPEG1: case nv::cudaVideoCodec_MPEG2: case nv::cudaVideoCodec_VC1:
    case nv::cudaVideoCodec_H264: case nv::cudaVideoCodec_HEVC:
      break;
    default:
      return nv::CUDA_ERROR_NOT_SUPPORTED;
  }
  // libavcodec's messages about damaged or incomplete streams are the
  // stand-in's business, not the test log's.
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
  auto* p = new Parser(*params);
  if (!p->open()) {
    delete p;
    return nv::CUDA_ERROR_OUT_OF_MEMORY;
  }
  try {
    std::lock_guard<std::mutex> g(g_parsers_mutex);
    live_parsers().insert(p);
  } catch (...) {
    delete p;
    return nv::CUDA_ERROR_OUT_OF_MEMORY;
  }
  *handle = p;
  return nv::CUDA_SUCCESS;
}

nv::CUresult parse_data(nv::CUvideoparser handle, nv::CUVIDSOURCEDATAPACKET* packet) {
  Parser* p = find(handle);
  if (!p) return nv::CUDA_ERROR_INVALID_HANDLE;
  if (!packet || (packet->payload_size > 0 && !packet->payload)) return nv::CUDA_ERROR_INVALID_VALUE;
  bool has_ts = (packet->flags & nv::CUVID_PKT_TIMESTAMP) != 0;
  if (packet->payload_size > 0) p->feed(packet->payload, packet->payload_size, packet->timestamp, has_ts);
  if (packet->flags & nv::CUVID_PKT_ENDOFSTREAM) p->end_of_stream();
  return nv::CUDA_SUCCESS;
}

nv::CUresult destroy_parser(nv::CUvideoparser handle) {
  {
    std::lock_guard<std::mutex> g(g_parsers_mutex);
    if (!live_parsers().erase(handle)) return nv::CUDA_ERROR_INVALID_HANDLE;
  }
  delete static_cast<Parser*>(handle);
  return nv::CUDA_SUCCESS;
}

}  // namespace standin
