#include "helpers.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "testutil.h"

namespace ct {

Client::Client(const CuvidApi* a, nv::cudaVideoCodec codec, const Options& o) : api(a), codec_(codec), o_(o) {
  slot_[0].picture_index = slot_[1].picture_index = -1;
  if (api->cuInit(0) != nv::CUDA_SUCCESS) errors.push_back("cuInit");
  nv::CUdevice dev = 0;
  if (api->cuDeviceGet(&dev, 0) != nv::CUDA_SUCCESS) errors.push_back("cuDeviceGet");
  if (api->cuCtxCreate(&ctx_, 0, dev) != nv::CUDA_SUCCESS) errors.push_back("cuCtxCreate");
  if (api->cuCtxPopCurrent(nullptr) != nv::CUDA_SUCCESS) errors.push_back("cuCtxPopCurrent");
  if (api->cuvidCtxLockCreate(&lock_, ctx_) != nv::CUDA_SUCCESS) errors.push_back("cuvidCtxLockCreate");
  make_parser();
}

Client::~Client() {
  if (parser_) api->cuvidDestroyVideoParser(parser_);
  if (decoder) api->cuvidDestroyDecoder(decoder);
  if (lock_) api->cuvidCtxLockDestroy(lock_);
  if (ctx_) api->cuCtxDestroy(ctx_);
}

void Client::make_parser() {
  nv::CUVIDPARSERPARAMS p;
  std::memset(&p, 0, sizeof p);
  p.CodecType = codec_;
  p.ulMaxNumDecodeSurfaces = o_.surfaces;
  p.ulErrorThreshold = 100;
  p.ulMaxDisplayDelay = o_.delay;
  p.pUserData = this;
  p.pfnSequenceCallback = on_sequence;
  p.pfnDecodePicture = on_decode;
  p.pfnDisplayPicture = on_display;
  if (api->cuvidCreateVideoParser(&parser_, &p) != nv::CUDA_SUCCESS) errors.push_back("cuvidCreateVideoParser");
  slot_[0].picture_index = slot_[1].picture_index = -1;
  current_ = 0;
}

void Client::recreate_parser() {
  flush_queue();
  api->cuvidDestroyVideoParser(parser_);
  parser_ = nullptr;
  make_parser();
}

void Client::feed_packet(const uint8_t* data, size_t size, unsigned long flags, long long timestamp) {
  nv::CUVIDSOURCEDATAPACKET pkt;
  std::memset(&pkt, 0, sizeof pkt);
  pkt.flags = flags;
  pkt.timestamp = timestamp;
  pkt.payload = data;
  pkt.payload_size = size;
  if (api->cuvidParseVideoData(parser_, &pkt) != nv::CUDA_SUCCESS) errors.push_back("cuvidParseVideoData");
}

void Client::feed_units(const uint8_t* d, size_t n) {
  size_t start = 0;
  for (size_t i = 3; i + 3 <= n; i++) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      feed_packet(d + start, i - start);
      start = i;
      i += 2;
    }
  }
  if (start < n) feed_packet(d + start, n - start);
}

void Client::end_of_stream() {
  in_eos_ = true;
  feed_packet(nullptr, 0, nv::CUVID_PKT_ENDOFSTREAM);
  flush_queue();
  in_eos_ = false;
}

int Client::on_sequence(void* self, nv::CUVIDEOFORMAT* f) {
  auto* c = static_cast<Client*>(self);
  c->sequences.push_back(*f);
  if (c->o_.sequence_result == 0) return 0;
  if (c->decoder) {
    c->api->cuvidDestroyDecoder(c->decoder);
    c->decoder = nullptr;
  }
  nv::CUVIDDECODECREATEINFO& i = c->info_;
  std::memset(&i, 0, sizeof i);
  i.ulWidth = f->coded_width;
  i.ulHeight = f->coded_height;
  i.ulNumDecodeSurfaces = c->o_.surfaces;
  i.CodecType = f->codec;
  i.ChromaFormat = f->chroma_format;
  i.ulCreationFlags = nv::cudaVideoCreate_PreferCUVID;
  i.bitDepthMinus8 = f->bit_depth_luma_minus8;
  i.OutputFormat = f->bit_depth_luma_minus8 ? nv::cudaVideoSurfaceFormat_P016 : nv::cudaVideoSurfaceFormat_NV12;
  i.DeinterlaceMode = c->o_.deinterlace;
  i.ulNumOutputSurfaces = 1;
  i.vidLock = c->lock_;
  const Options& o = c->o_;
  if (o.cl || o.cr || o.ct || o.cb) {
    i.display_area.left = static_cast<short>(o.cl);
    i.display_area.top = static_cast<short>(o.ct);
    i.display_area.right = static_cast<short>(f->display_area.right - o.cr);
    i.display_area.bottom = static_cast<short>(f->display_area.bottom - o.cb);
    i.ulTargetWidth = o.rw && o.rh ? o.rw : f->display_area.right - o.cr - o.cl;
    i.ulTargetHeight = o.rw && o.rh ? o.rh : f->display_area.bottom - o.cb - o.ct;
  } else if (o.rw && o.rh) {
    i.display_area.right = static_cast<short>(f->display_area.right);
    i.display_area.bottom = static_cast<short>(f->display_area.bottom);
    i.ulTargetWidth = o.rw;
    i.ulTargetHeight = o.rh;
  } else {
    // The display area, so that frames compare with ffmpeg's cropped decode.
    i.display_area.left = static_cast<short>(f->display_area.left);
    i.display_area.top = static_cast<short>(f->display_area.top);
    i.display_area.right = static_cast<short>(f->display_area.right);
    i.display_area.bottom = static_cast<short>(f->display_area.bottom);
    i.ulTargetWidth = f->display_area.right - f->display_area.left;
    i.ulTargetHeight = f->display_area.bottom - f->display_area.top;
  }
  nv::CUresult r = c->api->cuvidCreateDecoder(&c->decoder, &i);
  if (r != nv::CUDA_SUCCESS) {
    c->errors.push_back("cuvidCreateDecoder " + std::to_string(r));
    return 0;
  }
  return 1;
}

int Client::on_decode(void* self, nv::CUVIDPICPARAMS* p) {
  auto* c = static_cast<Client*>(self);
  c->decoded.push_back(p->CurrPicIdx);
  if (p->CurrPicIdx < 0 || p->CurrPicIdx >= static_cast<int>(c->o_.surfaces))
    c->errors.push_back("picture index out of range");
  if (c->o_.two_slot_queue) {
    // The plugin's rule: while the surface coming back is still queued, the
    // queued pictures leave in order, oldest first.
    int s = c->current_;
    while (c->slot_[0].picture_index == p->CurrPicIdx || c->slot_[1].picture_index == p->CurrPicIdx) {
      if (c->slot_[s].picture_index >= 0) {
        c->display(c->slot_[s]);
        c->slot_[s].picture_index = -1;
      }
      s = (s + 1) % 2;
    }
  }
  if (!p->second_field)
    for (int s : c->pending_)
      if (s == p->CurrPicIdx) c->errors.push_back("surface reused before display");
  if (!p->second_field) c->pending_.push_back(p->CurrPicIdx);
  nv::CUresult r = c->api->cuvidDecodePicture(c->decoder, p);
  if (r != nv::CUDA_SUCCESS) {
    c->errors.push_back("cuvidDecodePicture " + std::to_string(r));
    return 0;
  }
  return 1;
}

int Client::on_display(void* self, nv::CUVIDPARSERDISPINFO* d) {
  auto* c = static_cast<Client*>(self);
  for (size_t k = 0; k < c->pending_.size(); k++)
    if (c->pending_[k] == d->picture_index) {
      c->pending_.erase(c->pending_.begin() + static_cast<long>(k));
      break;
    }
  if (!c->o_.two_slot_queue) {
    c->display(*d);
    return 1;
  }
  int& cur = c->current_;
  if (c->slot_[cur].picture_index >= 0) c->display(c->slot_[cur]);
  c->slot_[cur] = *d;
  cur = (cur + 1) % 2;
  return 1;
}

void Client::flush_queue() {
  for (int k = 0; k < 2; k++) {
    if (slot_[current_].picture_index >= 0) display(slot_[current_]);
    slot_[current_].picture_index = -1;
    current_ = (current_ + 1) % 2;
  }
}

void Client::display(const nv::CUVIDPARSERDISPINFO& d) {
  Shown s;
  s.info = d;
  s.decodes_before = static_cast<int>(decoded.size());
  s.at_end = in_eos_;
  nv::CUVIDPROCPARAMS proc;
  std::memset(&proc, 0, sizeof proc);
  proc.progressive_frame = o_.force_progressive ? 1 : d.progressive_frame;
  proc.top_field_first = d.top_field_first;
  proc.second_field = o_.second_field;
  unsigned long long dev = 0;
  unsigned int pitch = 0;
  if (api->cuvidMapVideoFrame64(decoder, d.picture_index, &dev, &pitch, &proc) != nv::CUDA_SUCCESS) {
    errors.push_back("cuvidMapVideoFrame64");
    shown.push_back(s);
    return;
  }
  s.width = static_cast<int>(info_.ulTargetWidth);
  s.height = static_cast<int>(info_.ulTargetHeight);
  s.bytes = info_.OutputFormat == nv::cudaVideoSurfaceFormat_P016 ? 2 : 1;
  std::vector<uint8_t> buf(static_cast<size_t>(pitch) * (s.height + s.height / 2));
  api->cuvidCtxLock(lock_, 0);
  nv::CUresult r = api->cuMemcpyDtoH(buf.data(), dev, buf.size());
  api->cuvidCtxUnlock(lock_, 0);
  if (r != nv::CUDA_SUCCESS) errors.push_back("cuMemcpyDtoH " + std::to_string(r));
  api->cuvidUnmapVideoFrame64(decoder, dev);
  auto at = [&](size_t off) -> uint16_t {
    if (s.bytes == 1) return buf[off];
    uint16_t v;
    std::memcpy(&v, &buf[off], 2);
    return v;
  };
  for (int y = 0; y < s.height; y++)
    for (int x = 0; x < s.width; x++) s.y.push_back(at(static_cast<size_t>(y) * pitch + static_cast<size_t>(x) * s.bytes));
  size_t c0 = static_cast<size_t>(pitch) * s.height;
  for (int y = 0; y < s.height / 2; y++)
    for (int x = 0; x < s.width / 2; x++) {
      size_t off = c0 + static_cast<size_t>(y) * pitch + static_cast<size_t>(2 * x) * s.bytes;
      s.u.push_back(at(off));
      s.v.push_back(at(off + s.bytes));
    }
  shown.push_back(std::move(s));
}

std::vector<RefFrame> reference_decode(const std::string& path, int width, int height, bool ten_bit,
                                       const std::string& extra) {
  std::string raw = path + ".ref.yuv";
  std::vector<RefFrame> frames;
  if (!tu::ffmpeg(extra + " -i " + tu::q(path) + " -fps_mode passthrough -f rawvideo -pix_fmt " +
                  (ten_bit ? "yuv420p10le " : "yuv420p ") + tu::q(raw)))
    return frames;
  std::vector<uint8_t> b = tu::read_file(raw);
  size_t bytes = ten_bit ? 2 : 1;
  size_t ysize = static_cast<size_t>(width) * height, csize = ysize / 4;
  size_t frame = (ysize + 2 * csize) * bytes;
  auto get = [&](size_t off) -> uint16_t {
    if (bytes == 1) return b[off];
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
  };
  for (size_t base = 0; base + frame <= b.size(); base += frame) {
    RefFrame f;
    for (size_t i = 0; i < ysize; i++) f.y.push_back(get(base + i * bytes));
    for (size_t i = 0; i < csize; i++) f.u.push_back(get(base + (ysize + i) * bytes));
    for (size_t i = 0; i < csize; i++) f.v.push_back(get(base + (ysize + csize + i) * bytes));
    frames.push_back(std::move(f));
  }
  return frames;
}

double mad(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double s = 0;
  for (size_t i = 0; i < a.size(); i++) s += std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
  return s / static_cast<double>(a.size());
}

std::vector<ProbePacket> probe_packets(const std::string& path) {
  std::vector<ProbePacket> out;
  tu::RunResult r = tu::run("ffprobe -v error -select_streams v:0 -show_entries packet=pos,flags -of csv=p=0 " +
                            tu::q(path));
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    ProbePacket p;
    p.pos = std::strtoull(line.c_str(), nullptr, 10);
    p.key = line.find('K', comma) != std::string::npos;
    out.push_back(p);
  }
  return out;
}

}  // namespace ct
