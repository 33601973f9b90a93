// KWSource filter glue: the entry point, argument reading and checks, filter
// construction and teardown. No exception leaves a host callback: each one
// catches and reports through the host.
#include "vapoursource.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "indexreader.h"

namespace {

constexpr int MAX_OUTPUT_WIDTH = 7680;
constexpr int MAX_OUTPUT_HEIGHT = 4320;

const char* const kSignature =
    "source:data;i420:int:opt;deinterlace:int:opt;use_top_field:int:opt;use_pf:int:opt;"
    "ct:int:opt;cb:int:opt;cl:int:opt;cr:int:opt;rw:int:opt;rh:int:opt;fieldop:int:opt;"
    "show:int:opt;show2:data:opt;strict_avc:int:opt;";

// Messages of the index readers' result codes.
struct ReaderMessage {
  int code;
  const char* text;
};
const ReaderMessage kReaderMessages[] = {
    {INDEX_EMPTY, "KWSource: Invalid index file, it's empty!"},
    {INDEX_VERSION,
     "KWSource: Ostrel/Pemmick mismatch. You are picking up a version of Pemmick, possibly from "
     "your plugins directory, that does not match the version of Ostrel used to make the index "
     "file. Search your hard disk for all copies of Pemmick.dll and delete or rename all of them "
     "except for the one that has the same version number as the Ostrel.exe that was used to make "
     "the index file."},
    {INDEX_OPEN_INPUT,
     "KWSource: Could not open one of the input files. If you want to have your script and your "
     "source file in different directories, then you must use full paths in your KWI file."},
    {INDEX_NOT_KWI, "KWSource: The input file is not a KW project file."},
    {INDEX_NO_GOPS, "KWSource: No GOPs found."},
    {INDEX_FILM_REPEATS, "KWSource: Force Film mode not supported with frame repeats."},
    {INDEX_CONTAINER_PARSE, "KWSource: Could not parse the Matroska/MP4 file."},
    {INDEX_CONTAINER_TRACK, "KWSource: Could not find a video track in the Matroska/MP4 file."},
    {INDEX_DEINT_PULLDOWN, "KWSource: No deinterlacing with pulldown."},
    {INDEX_STRICT_AVC, "KWSource: Stream is missing IDR/RPS frames; try disabling Strict AVC."},
    {INDEX_TOO_MANY_FILES, "KWSource: Too many input files in the index file (at most 512)."},
    {INDEX_BAD_VALUES, "KWSource: Invalid index file!"},
};

// The message of a reader's result code, with what the reader named.
std::string ReaderMessageFor(int code, const std::string& problem) {
  switch (code) {
    case INDEX_NOT_REGULAR:
      return "KWSource: An input file of the index is not a regular file: " + problem + ".";
    case INDEX_STALE:
      return "KWSource: The index file does not match its input files" + (problem.empty() ? "" : ": " + problem) +
             ". Make the index again.";
    case INDEX_BAD_VALUES:
      if (!problem.empty()) return "KWSource: Invalid index file: " + problem + "!";
      break;
    case INDEX_TOO_LARGE:
      return "KWSource: The picture size " + problem + " is larger than what KWSource serves (at most " +
             std::to_string(MAX_CODED_WIDTH) + " x " + std::to_string(MAX_CODED_HEIGHT) + ").";
    default:
      break;
  }
  for (const ReaderMessage& m : kReaderMessages)
    if (m.code == code) return m.text;
  return "KWSource: Invalid index file!";
}

int Saturate(int64_t v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

std::string GetData(const VSMap* in, const VSAPI* vsapi, const char* key) {
  int err = 0;
  const char* p = vsapi->propGetData(in, key, 0, &err);
  if (err || !p) return std::string();
  int size = vsapi->propGetDataSize(in, key, 0, &err);
  if (err || size < 0) return std::string(p);
  std::string s(p, static_cast<size_t>(size));
  return s.substr(0, s.find('\0'));
}

int GetInt(const VSMap* in, const VSAPI* vsapi, const char* key, int def) {
  int err = 0;
  const int64_t v = vsapi->propGetInt(in, key, 0, &err);
  return err ? def : Saturate(v);
}

KWSourceArgs ReadArguments(const VSMap* in, const VSAPI* vsapi) {
  KWSourceArgs a;
  a.source = GetData(in, vsapi, "source");
  a.i420 = GetInt(in, vsapi, "i420", 0);
  a.deinterlace = GetInt(in, vsapi, "deinterlace", 0);
  a.use_top_field = GetInt(in, vsapi, "use_top_field", 1);
  a.use_pf = GetInt(in, vsapi, "use_pf", 0);
  a.ct = GetInt(in, vsapi, "ct", 0);
  a.cb = GetInt(in, vsapi, "cb", 0);
  a.cl = GetInt(in, vsapi, "cl", 0);
  a.cr = GetInt(in, vsapi, "cr", 0);
  a.rw = GetInt(in, vsapi, "rw", 0);
  a.rh = GetInt(in, vsapi, "rh", 0);
  a.fieldop = GetInt(in, vsapi, "fieldop", 0);
  a.show = GetInt(in, vsapi, "show", 0);
  a.show2 = GetData(in, vsapi, "show2");
  a.strict_avc = GetInt(in, vsapi, "strict_avc", 0);
  return a;
}

int64_t Gcd(int64_t a, int64_t b) {
  while (b != 0) {
    const int64_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

void Fail(const char* message) { throw std::runtime_error(message); }

}  // namespace

VSVideoSource::VSVideoSource(const KWSourceArgs& a, VSCore* core, const VSAPI* vsapi) {
  // 1. Options.
  dec.i420 = a.i420;
  dec.deinterlace = a.deinterlace;
  dec.use_top_field = a.use_top_field != 0;
  dec.use_pf = a.use_pf != 0;
  dec.show = a.show;
  // The overlay text buffer holds SHOW2_SIZE - 1 characters: longer text is cut.
  const size_t show2_len = a.show2.size() < size_t(SHOW2_SIZE - 1) ? a.show2.size() : SHOW2_SIZE - 1;
  memcpy(dec.show2, a.show2.data(), show2_len);
  dec.show2[show2_len] = '\0';
  dec.fieldop = a.fieldop;
  dec.strict_avc = a.strict_avc;
  dec.rw = a.rw;
  dec.rh = a.rh;
  dec.cl = a.cl;
  dec.cr = a.cr;
  dec.ct = a.ct;
  dec.cb = a.cb;

  // 2. Crops (4:2:0 output: even, and never negative).
  if ((a.cl | a.cr | a.ct | a.cb) & 1) Fail("KWSource: All crops must be at least mod 2!");
  if (a.cl < 0 || a.cr < 0 || a.ct < 0 || a.cb < 0) Fail("KWSource: Crops must not be negative!");
  // 3. Resize, used only when both sizes are given.
  if (a.rw > MAX_OUTPUT_WIDTH || a.rh > MAX_OUTPUT_HEIGHT) Fail("KWSource: Resize exceeds max size!");
  if (a.rw < 0 || a.rh < 0) Fail("KWSource: Resize sizes must not be negative!");
  const bool resize = a.rw != 0 && a.rh != 0;
  if (resize && ((a.rw | a.rh) & 1)) Fail("KWSource: Resize sizes must be even!");

  // 4. First line of the index: the codec letter.
  char first[FIRST_LINE + 2];
  {
    FILE* f = fopen(a.source.c_str(), "r");
    if (!f) Fail("KWSource: Cannot open index file!");
    const bool have = kwi::ReadLine(f, first, sizeof first);
    fclose(f);
    if (!have) Fail("KWSource: Invalid index file!");
  }

  // 5. Codec, unit reader and index reader.
  int (CAVCDecoder::*reader)(const char*) = nullptr;
  switch (strlen(first) >= 3 ? first[2] : '\0') {
    case 'A':
      dec.codec = CODEC_AVC;
      dec.get_unit = &CAVCDecoder::GetAVCNALU;
      reader = &CAVCDecoder::Open;
      break;
    case 'V':
      dec.codec = CODEC_VC1;
      dec.get_unit = &CAVCDecoder::GetVC1NALU;
      reader = &CAVCDecoder::OpenVC1;
      break;
    case 'M':
      dec.codec = CODEC_MPEG2;
      dec.get_unit = &CAVCDecoder::GetVC1NALU;
      reader = &CAVCDecoder::OpenMPG;
      break;
    case 'H':
      dec.codec = CODEC_HEVC;
      dec.get_unit = &CAVCDecoder::GetAVCNALU;
      reader = &CAVCDecoder::OpenHEVC;
      break;
    default:
      Fail("KWSource: Invalid index file!");
  }

  // 6. Read the index; the decoder's destructor closes whatever it opened.
  const int r = (dec.*reader)(a.source.c_str());
  if (r != INDEX_OK) {
    if (dec.index_file) {
      fclose(dec.index_file);
      dec.index_file = nullptr;
    }
    Fail(ReaderMessageFor(r, dec.index_problem).c_str());
  }

  // The stream's own format: an index written before DEPTH followed the
  // stream says 8 for every AVC stream, which would be served as 8-bit
  // garbage.
  dec.ProbeStreamFormat();
  if (dec.stream_format.known && dec.stream_format.bit_depth != dec.depth) {
    dec.depth = dec.stream_format.bit_depth;
    if (dec.depth > 8) dec.deinterlace = 0;
  }

  // 7. Video information. Above 8 bits the reader has already set
  // deinterlace to 0, so the counts below match what is served.
  if (dec.width <= 0 || dec.height <= 0) Fail("KWSource: Invalid index file, no picture size!");
  const int64_t cropped_w = int64_t(dec.width) - a.cl - a.cr;
  const int64_t cropped_h = int64_t(dec.height) - a.ct - a.cb;
  if (cropped_w <= 0 || cropped_h <= 0) Fail("KWSource: Crops leave no picture!");
  vi.width = resize ? a.rw : static_cast<int>(cropped_w);
  vi.height = resize ? a.rh : static_cast<int>(cropped_h);
  if ((vi.width | vi.height) & 1) Fail("KWSource: The picture size after cropping must be even!");
  vi.format = vsapi->registerFormat(cmYUV, stInteger, dec.depth <= 8 ? 8 : 16, 1, 1, core);
  if (!vi.format) Fail("KWSource: Cannot register the output format!");
  const int rate = dec.deinterlace == 2 ? 2 : 1;
  const int64_t frame_count = int64_t(dec.display_count) * rate;
  if (frame_count <= 0) Fail("KWSource: No pictures found!");
  if (frame_count > INT_MAX) Fail("KWSource: Invalid index file!");
  vi.numFrames = static_cast<int>(frame_count);
  // The host takes a positive, reduced fraction only.
  int64_t num = int64_t(dec.fps_num) * rate;
  int64_t den = dec.fps_den;
  if (num <= 0 || den <= 0) Fail("KWSource: Invalid frame rate in the index file!");
  const int64_t g = Gcd(num, den);
  vi.fpsNum = num / g;
  vi.fpsDen = den / g;
  vi.flags = 0;

  try {
    // 8. Pictures.
    out = static_cast<YV12PICT*>(calloc(1, sizeof(YV12PICT)));
    if (!out) Fail("Could not allocate YV12PICT out.");
    const int bps = vi.format->bytesPerSample;
    saved_store = CAVCDecoder::create_YV12PICT(vi.height, vi.width, 1, bps);
    if (!saved_store) Fail("Could not allocate YV12PICT saved_store.");
    saved_active = CAVCDecoder::create_YV12PICT(vi.height, vi.width, 1, bps);
    if (!saved_active) Fail("Could not allocate YV12_PICT saved_active.");
    stand_in = CAVCDecoder::create_YV12PICT(vi.height, vi.width, 1, bps);
    if (!stand_in) Fail("Could not allocate YV12PICT stand_in.");
    stand_in_frame = -1;
    no_picture.assign(static_cast<size_t>(vi.numFrames), 0);
    for (int n = 0; n < vi.numFrames; ++n) no_picture[static_cast<size_t>(n)] = FrameLost(n);

    // 9 and 10. Events and the decode thread.
    last_frame = -1;
    dec.CreateEvents();
    std::string thread_error;
    if (!dec.StartThread(&thread_error)) Fail(thread_error.c_str());
    // The capability answer arrives with ready; a stream that cannot be
    // served is refused here, by name, not served as error frames.
    const std::string refusal = dec.FormatRefusal();
    if (!refusal.empty()) {
      Release();
      Fail(refusal.c_str());
    }
  } catch (...) {
    free(out);
    CAVCDecoder::destroy_YV12PICT(saved_store);
    CAVCDecoder::destroy_YV12PICT(saved_active);
    CAVCDecoder::destroy_YV12PICT(stand_in);
    out = saved_store = saved_active = stand_in = nullptr;
    throw;
  }
}

VSVideoSource::~VSVideoSource() {
  free(out);
  CAVCDecoder::destroy_YV12PICT(saved_store);
  CAVCDecoder::destroy_YV12PICT(saved_active);
  CAVCDecoder::destroy_YV12PICT(stand_in);
}

bool VSVideoSource::Release() {
  if (!dec.StopThread()) return false;
  // The thread is gone: the session is released here, on the host's thread.
  // stop-display stays set, so a flush displays nothing and waits for nothing.
  if (dec.decoder_reset() == 0) dec.decoder_flush();
  dec.decoder_close();
  return true;
}

void VSVideoSource::Init(VSMap*, VSMap* out, void** instanceData, VSNode* node, VSCore*,
                         const VSAPI* vsapi) {
  try {
    VSVideoSource* s = static_cast<VSVideoSource*>(*instanceData);
    vsapi->setVideoInfo(&s->vi, 1, node);
  } catch (const std::exception& e) {
    vsapi->setError(out, (std::string("KWSource: Init: ") + e.what()).c_str());
  } catch (...) {
    vsapi->setError(out, "KWSource: Init: unexpected failure");
  }
}

void VSVideoSource::Free(void* instanceData, VSCore*, const VSAPI*) {
  try {
    VSVideoSource* s = static_cast<VSVideoSource*>(instanceData);
    if (!s) return;
    // A decode thread that did not leave may still use the instance: it is
    // then kept, never freed under the thread.
    if (s->Release()) delete s;
  } catch (...) {
  }
}

void CreateKWSource(const VSMap* in, VSMap* out, void*, VSCore* core, const VSAPI* vsapi) {
  try {
    const KWSourceArgs args = ReadArguments(in, vsapi);
    std::unique_ptr<VSVideoSource> source(new VSVideoSource(args, core, vsapi));
    // From here the host owns the instance and releases it through Free,
    // also when it refuses the filter.
    vsapi->createFilter(in, out, "KWSource", VSVideoSource::Init, VSVideoSource::GetFrame,
                        VSVideoSource::Free, fmUnordered, nfMakeLinear, source.release(), core);
  } catch (const std::exception& e) {
    vsapi->setError(out, e.what());
  } catch (...) {
    vsapi->setError(out, "KWSource: unexpected failure");
  }
}

extern "C" void VapourSynthPluginInit(VSConfigPlugin configFunc, VSRegisterFunction registerFunc,
                                      VSPlugin* plugin) {
  try {
    configFunc("org.kwindex.pemmick", "pemmick", "Pemmick for VapourSynth", VS_API_VERSION_3_5, 1,
               plugin);
    registerFunc("KWSource", kSignature, CreateKWSource, nullptr, plugin);
  } catch (...) {
    // Nothing above throws; the host's callbacks report their own failures.
  }
}
