// A CUVID client for the stand-in tests that drives the table the way the
// plugin does: a CUDA context and its lock, a parser whose callbacks create
// the decoder at the sequence callback, decode at the decode callback and
// map, copy (under the lock) and unmap at display; and reference decodes by
// the ffmpeg program to compare with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cuvid_api.h"

namespace ct {

// One picture as a display callback delivered it, copied out of its mapping
// into planar form (8-bit samples, or 16-bit samples as mapped).
struct Shown {
  nv::CUVIDPARSERDISPINFO info{};
  int width = 0, height = 0;  // target size
  int bytes = 1;              // per sample
  std::vector<uint16_t> y, u, v;
  int decodes_before = 0;     // decode callbacks seen when it was displayed
  bool at_end = false;        // displayed during the end-of-stream packet
};

struct Options {
  unsigned surfaces = 20;           // ulMaxNumDecodeSurfaces and ulNumDecodeSurfaces
  unsigned delay = 4;               // ulMaxDisplayDelay
  int sequence_result = 1;          // what the sequence callback returns
  // Decoder creation: target and crop as the plugin computes them.
  int rw = 0, rh = 0, cl = 0, cr = 0, ct = 0, cb = 0;
  nv::cudaVideoDeinterlaceMode deinterlace = nv::cudaVideoDeinterlaceMode_Weave;
  int second_field = 0;             // processing parameter at map time
  bool force_progressive = false;   // map with progressive_frame = 1
  // Map at the display callback (false), or hold two displayed pictures and
  // map them later, displaying a held one first when its surface comes back
  // in a decode callback (the plugin's two-slot queue).
  bool two_slot_queue = false;
};

class Client {
 public:
  Client(const CuvidApi* api, nv::cudaVideoCodec codec, const Options& o = Options());
  ~Client();
  // Feeds the bytes unit by unit (one packet per start code), as the plugin does.
  void feed_units(const uint8_t* data, size_t size);
  void feed_units(const std::vector<uint8_t>& es) { feed_units(es.data(), es.size()); }
  // Feeds one packet holding all the bytes (with CUVID_PKT_TIMESTAMP among
  // the flags, stamped with `timestamp`).
  void feed_packet(const uint8_t* data, size_t size, unsigned long flags = 0, long long timestamp = 0);
  void end_of_stream();
  // Destroys and re-creates the parser; the decoder is kept (plugin's seek).
  void recreate_parser();

  std::vector<nv::CUVIDEOFORMAT> sequences;
  std::vector<int> decoded;          // CurrPicIdx of every decode callback
  std::vector<Shown> shown;
  std::vector<std::string> errors;   // contract violations seen by the callbacks
  nv::CUvideodecoder decoder = nullptr;
  const CuvidApi* api;

 private:
  static int on_sequence(void* self, nv::CUVIDEOFORMAT* f);
  static int on_decode(void* self, nv::CUVIDPICPARAMS* p);
  static int on_display(void* self, nv::CUVIDPARSERDISPINFO* d);
  void display(const nv::CUVIDPARSERDISPINFO& d);
  void flush_queue();
  void make_parser();

  nv::cudaVideoCodec codec_;
  Options o_;
  nv::CUcontext ctx_ = nullptr;
  nv::CUvideoctxlock lock_ = nullptr;
  nv::CUvideoparser parser_ = nullptr;
  nv::CUVIDDECODECREATEINFO info_{};
  bool in_eos_ = false;
  nv::CUVIDPARSERDISPINFO slot_[2];
  int current_ = 0;
  std::vector<int> pending_;         // surfaces displayed but not yet shown (two-slot queue)
};

// A reference decode of `path` by the ffmpeg program: frames in display
// order, planar, `pix_fmt` yuv420p or yuv420p10le.
struct RefFrame {
  std::vector<uint16_t> y, u, v;
};
std::vector<RefFrame> reference_decode(const std::string& path, int width, int height, bool ten_bit,
                                       const std::string& extra_input_args = "");

// Mean absolute difference of two planes, and whether they are equal.
double mad(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b);

// Packets of an elementary stream per ffprobe: byte position and key flag.
struct ProbePacket {
  uint64_t pos;
  bool key;
};
std::vector<ProbePacket> probe_packets(const std::string& path);

}  // namespace ct
