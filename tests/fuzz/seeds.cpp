// Writes the seed corpus of the fuzz entries into FOLDER/<entry>/, from the
// tests' own generators: the stream writers of the indexer tests and small
// encodes with the encoders the tests run, and the indexes Ostrel makes of
// them. Run by hand when an entry or an input format changes:
//   build-release/tests/fuzz/fuzz_seeds tests/fuzz
// Files of earlier runs with other names (saved crash inputs) are kept.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "contentinfo.h"
#include "mp4test.h"
#include "mpg_streams.h"
#include "testutil.h"
#include "vc1_writer.h"

namespace {

std::string folder;

void put(const std::string& entry, const std::string& name, const std::vector<uint8_t>& bytes) {
  tu::run("mkdir -p " + tu::q(folder + "/" + entry));
  tu::write_file(folder + "/" + entry + "/" + name, bytes);
  printf("%s/%s: %zu bytes\n", entry.c_str(), name.c_str(), bytes.size());
}

std::vector<uint8_t> with_mode(uint8_t mode, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> v(bytes.size() + 1, mode);
  std::copy(bytes.begin(), bytes.end(), v.begin() + 1);
  return v;
}

// A small encode of the test pattern; empty when the encoder fails.
std::vector<uint8_t> encode(const std::string& name, const std::string& args, const std::string& size = "64x48") {
  const std::string path = tu::scratch(name);
  if (!tu::ffmpeg("-f lavfi -i testsrc=size=" + size + ":rate=25 -frames:v 5 -pix_fmt yuv420p " + args + " " +
                  tu::q(path)))
    return {};
  return tu::read_file(path);
}

// Two encodes back to back, the second of a smaller picture size.
std::vector<uint8_t> size_change(const std::string& name, const std::string& args) {
  std::vector<uint8_t> v = encode(name, args);
  const std::vector<uint8_t> second = encode("small-" + name, args, "48x32");
  v.insert(v.end(), second.begin(), second.end());
  return v;
}

// An index of the bytes whose input list names the kwi entry's own input
// file instead (every position of these small streams lies inside it).
std::vector<uint8_t> index_of(const std::string& name, const std::vector<uint8_t>& bytes, uint8_t mode) {
  const std::string in = tu::scratch(name);
  tu::write_file(in, bytes);
  const std::vector<std::string> lines = tu::index_lines(in, in + ".kwi");
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    // The program directory says where the index was made: not kept.
    text += (i == 1 ? "/opt/ostrel/" : l.rfind(in + " ", 0) == 0 ? "/tmp/pemmick-fuzz-input.bin 65536" : l) + "\n";
  }
  return with_mode(mode, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> mpeg2_stream() {
  mpgt::Sequence s;
  s.width = 32;
  s.height = 32;
  s.display_ext = true;
  s.colour = true;
  mpgt::StreamBuilder b(s);
  b.sequence_header();
  b.gop(0);
  b.picture(mpgt::Picture{1, 2, 3, 1, 0, 0});
  b.picture(mpgt::Picture{3, 0, 1, 1, 0, 0});
  b.picture(mpgt::Picture{3, 0, 2, 1, 0, 0});
  b.picture(mpgt::Picture{3, 1, 3, 0, 1, 1});
  b.user_data(8);
  b.sequence_end();
  return b.bytes();
}

// One sequence header for three groups: the later ones start at a GOP
// header and at an I picture without one.
std::vector<uint8_t> mpeg2_one_sequence_header() {
  mpgt::Sequence s;
  s.width = 32;
  s.height = 32;
  s.progressive_sequence = 1;
  mpgt::StreamBuilder b(s);
  b.sequence_header();
  b.gop(1);
  b.picture(mpgt::Picture{1, 0, 3, 0, 0, 1});
  b.picture(mpgt::Picture{2, 1, 3, 0, 0, 1});
  b.gop(0);
  b.picture(mpgt::Picture{1, 1, 3, 0, 0, 1});
  b.picture(mpgt::Picture{3, 0, 3, 0, 0, 1});
  b.picture(mpgt::Picture{1, 0, 3, 0, 0, 1});
  b.picture(mpgt::Picture{2, 1, 3, 0, 0, 1});
  return b.bytes();
}

vc1w::Stream vc1_stream() {
  vc1w::Sequence s;
  s.width = 64;
  s.height = 48;
  s.interlace = true;
  s.pulldown = true;
  s.tfcntrflag = true;
  s.aspect = 15;
  s.aspect_x = 4;
  s.aspect_y = 3;
  s.rate_nr = 2;
  s.colour_prim = 1;
  vc1w::Stream st;
  st.filler = 4;
  st.seq = s;
  st.group(vc1w::pic(vc1w::I, 2, vc1w::FrameInterlaced));
  st.picture(vc1w::pic(vc1w::P, 3, vc1w::FrameInterlaced));
  st.picture(vc1w::pic(vc1w::B, 0, vc1w::FrameInterlaced));
  st.picture(vc1w::pic(vc1w::PP, 2, vc1w::FieldInterlaced));
  st.group(vc1w::pic(vc1w::II, 0, vc1w::FieldInterlaced), true, false);
  return st;
}

std::vector<uint8_t> le32s(const std::vector<int>& values) {
  std::vector<uint8_t> v;
  for (int x : values)
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(static_cast<uint32_t>(x) >> (8 * i)));
  return v;
}

}  // namespace

// An MP4 box tree with a box of every class whose layout depends on its
// version, flags, size or parent: headers of version 1, a counted handler
// name, data references, sound entries of each version (one with a wave
// box), AC-3, AMR and text entries, compact sizes, sample-to-chunk runs,
// priorities, a track reference, and a fragment with every optional field.
std::vector<uint8_t> mp4_classes() {
  using namespace mp4test;
  const Bytes sound = Cat({Bytes(6, 0), BE(1, 2), BE(1, 2), Bytes(6, 0), BE(2, 2), BE(16, 2), BE(0, 2), BE(44100, 4)});
  const Bytes versionFields = Cat({BE(1024, 4), BE(1, 4), BE(2, 4), BE(2, 4)});
  const Bytes entries = Cat({
      Box("mp4a", Cat({sound, Bytes(2, 0), versionFields,
                       Box("wave", Cat({Box("frma", Lit("mp4a")), Box("mp4a", BE(0, 4)), BE(8, 4), BE(0, 4)}))})),
      Box("twos", Cat({sound, versionFields})),
      Box("alac", Cat({sound, Bytes(2, 0), versionFields, FullBox("alac", 0, 0, Bytes(24, 1))})),
      Box("ac-3", Cat({Bytes(6, 0), BE(1, 2), Bytes(8, 0), BE(2, 2), BE(16, 2), Bytes(4, 0), BE(48000, 2), Bytes(2, 0),
                       Box("dac3", Bytes{0x10, 0x3D, 0x40})})),
      Box("samr", Cat({Bytes(6, 0), BE(1, 2), Bytes(16, 0), BE(8000, 2), Bytes(2, 0), Box("damr", Bytes(9, 1))})),
      Box("text", Cat({Bytes(6, 0), BE(1, 2), Bytes(43, 0), Box("ftab", Bytes(5, 1))})),
      Box("avc1", Cat({Bytes(6, 0), BE(1, 2), Bytes(70, 0), Box("avcC", Bytes{1, 100, 0, 41, 0xFF, 0xE1, 0, 2, 0x67,
                                                                            0x64, 1, 0, 1, 0x68, 0xFD, 0xF8})}))});
  const Bytes stbl = Box("stbl", Cat({FullBox("stsd", 0, 0, Cat({BE(7, 4), entries})),
                                      FullBox("stz2", 0, 0, Cat({BE(4, 4), BE(5, 4), Bytes{0x12, 0x34, 0x50}})),
                                      FullBox("stsc", 0, 0, Cat({BE(2, 4), BE(1, 4), BE(3, 4), BE(1, 4), BE(3, 4),
                                                                 BE(1, 4), BE(2, 4)})),
                                      FullBox("stdp", 0, 0, Cat({BE(7, 2), BE(8, 2), Bytes{9}}))}));
  const Bytes minf = Box("minf", Cat({Box("gmhd", Box("text", Bytes(36, 2))),
                                      Box("dinf", FullBox("dref", 0, 0, Cat({BE(3, 4), FullBox("url ", 0, 1, {}),
                                                                             FullBox("urn ", 0, 0, Lit("n\0l\0"))}))),
                                      stbl}));
  const Bytes trak = Box("trak", Cat({FullBox("tkhd", 1, 3, Bytes(92, 0)), Box("tref", Box("chap", BE(2, 4))),
                                      Box("edts", FullBox("elst", 1, 0, Cat({BE(1, 4), BE(100, 8), BE(0, 8), BE(1, 2),
                                                                             BE(0, 2)}))),
                                      Box("mdia", Cat({FullBox("mdhd", 1, 0, Bytes(32, 0)),
                                                       FullBox("hdlr", 0, 0, Cat({Bytes(4, 0), Lit("soun"), Bytes(12, 0),
                                                                                  Lit("\5Sound")})),
                                                       minf})),
                                      Box("udta", Cat({Box("name", Lit("x\0")), BE(0, 4)}))}));
  const Bytes moov = Box("moov", Cat({FullBox("mvhd", 1, 0, Bytes(108, 0)), trak}));
  const Bytes moof = Box("moof", Cat({FullBox("mfhd", 0, 0, BE(1, 4)),
                                      Box("traf", Cat({FullBox("tfhd", 0, 0x3B, Cat({BE(1, 4), BE(0, 8), Bytes(16, 1)})),
                                                       FullBox("trun", 0, 0xF05, Cat({BE(2, 4), BE(8, 4), BE(0, 4),
                                                                                      Bytes(32, 3)}))}))}));
  return Cat({Box("ftyp", Lit("isom\0\0\0\1isom")), moov, moof, Box("mdat", Bytes(8, 0))});
}

// Tracks of every sample-table form the track code reads: 4-bit sizes
// with co64 chunk offsets, composition offsets and sync samples, uncompressed
// sound, an AVC configuration with two parameter sets of each kind, AAC with
// its ES descriptor inside a wave box, and data in another file.
// Hint tracks written by the library on a copy of an ffmpeg file: every
// kind of data entry, the extra block of a timestamp offset, a B-frame
// hint and an ES configuration packet.
std::vector<uint8_t> library_hints(const std::string& source) {
  const std::string path = tu::scratch("library-hints.mp4");
  tu::write_file(path, tu::read_file(source));
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  if (!h) return {};
  for (uint32_t ref : {1u, 2u}) {
    const uint32_t hint = MP4AddHintTrack(h, ref);
    uint8_t number = 255;
    MP4SetHintTrackRtpPayload(h, hint, ref == 1 ? "H264" : "mpeg4-generic", &number, 200, "1", true, true);
    const uint32_t samples = MP4GetTrackNumberOfSamples(h, ref);
    for (uint32_t s = 1; s <= samples && s <= 3; s++) {
      MP4AddRtpVideoHint(h, hint, s == 2, s == 3 ? 1234 : 0);
      if (s == 1) MP4AddRtpESConfigurationPacket(h, hint);
      MP4AddRtpPacket(h, hint, false, s == 2 ? -1 : 0);
      const uint8_t head[3] = {0x7C, 0x85, 0x01};
      MP4AddRtpImmediateData(h, hint, head, sizeof head);
      const uint32_t size = MP4GetSampleSize(h, ref, s);
      MP4AddRtpSampleData(h, hint, s, 0, size < 150 ? size : 150);
      if (size > 150) {
        MP4AddRtpPacket(h, hint, true, 0);
        MP4AddRtpSampleData(h, hint, s, 150, size - 150 < 200 ? size - 150 : 200);
      }
      MP4WriteRtpHint(h, hint, MP4GetSampleDuration(h, ref, s), s == 1);
    }
  }
  MP4Close(h);
  return tu::read_file(path);
}

std::vector<uint8_t> mp4_tracks() {
  using namespace mp4test;
  const Bytes avcC = Box("avcC", Cat({Bytes{1, 100, 0, 31, 0xFF, 0xE2}, BE(3, 2), Bytes{0x67, 1, 2}, BE(2, 2),
                                      Bytes{0x67, 3}, Bytes{2}, BE(2, 2), Bytes{0x68, 9}, BE(1, 2), Bytes{0x68}}));
  const Bytes sound = Cat({Bytes(6, 0), BE(1, 2), BE(0, 2), Bytes(6, 0), BE(2, 2), BE(16, 2), BE(0, 2),
                           BE(48000u << 16, 4)});
  CraftedTrack video;
  video.duration = 40;
  video.entries = OneEntry(VisualEntry("avc1", 1, avcC));
  video.tables = Cat({FullBox("stts", 0, 0, Cat({BE(2, 4), BE(3, 4), BE(10, 4), BE(1, 4), BE(0, 4)})),
                      FullBox("stsc", 0, 0, Cat({BE(2, 4), BE(1, 4), BE(3, 4), BE(1, 4), BE(2, 4), BE(1, 4), BE(1, 4)})),
                      FullBox("stz2", 0, 0, Cat({BE(4, 4), BE(4, 4), Bytes{0x12, 0x34}})),
                      FullBox("co64", 0, 0, Cat({BE(2, 4), BE(kMedia, 8), BE(kMedia + 8, 8)})),
                      FullBox("ctts", 0, 0, Cat({BE(2, 4), BE(2, 4), BE(20, 4), BE(2, 4), BE(0xFFFFFFF6, 4)})),
                      FullBox("stss", 0, 0, Cat({BE(2, 4), BE(1, 4), BE(3, 4)}))});
  CraftedTrack pcm;
  pcm.id = 2;
  pcm.handler = "soun";
  pcm.entries = OneEntry(Box("twos", sound));
  pcm.tables = PlainTables(3, 1, 1, 3, {kMedia + 2});
  CraftedTrack aac;
  aac.id = 3;
  aac.handler = "soun";
  aac.duration = 20;
  aac.entries = OneEntry(
      Box("mp4a", Cat({sound, Bytes(2, 0), Box("wave", Cat({Box("frma", Lit("mp4a")), Esds(0x40, 96000, Bytes{0x12, 0x10})}))})));
  aac.tables = PlainTables(2, 10, 3, 1, {kMedia + 4, kMedia + 9});
  CraftedTrack external;
  external.id = 4;
  external.references = Cat({BE(1, 4), FullBox("url ", 0, 0, Lit("file:media.bin\0"))});
  external.tables = PlainTables(1, 1, 4, 1, {0});
  return Movie(Lit("0123456789abcdef"), {video, pcm, aac, external});
}

// The content information, QoS and DRM header boxes of the tests at the
// top level, and a movie with that initial object descriptor and an AAC
// track whose ES descriptor carries the QoS descriptor.
std::vector<uint8_t> mp4_content_information() {
  using namespace mp4test;
  return Cat({Box("ftyp", Lit("isom\0\0\0\1isom")), OciIods(), QosEsds(), OhdrOdkm()});
}

std::vector<uint8_t> mp4_content_information_movie() {
  using namespace mp4test;
  const Bytes sound = Cat({Bytes(6, 0), BE(1, 2), BE(0, 2), Bytes(6, 0), BE(2, 2), BE(16, 2), BE(0, 2),
                           BE(48000u << 16, 4)});
  CraftedTrack aac;
  aac.handler = "soun";
  aac.duration = 20;
  aac.entries = OneEntry(Box("mp4a", Cat({sound, Bytes(2, 0), QosEsds()})));
  aac.tables = PlainTables(2, 10, 3, 1, {kMedia, kMedia + 3});
  return Cat({Box("ftyp", Cat({Lit("isom"), BE(0, 4)})), Box("mdat", Lit("0123456789abcdef")),
              Moov({OciIods(), Trak(aac)})});
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_seeds FOLDER\n");
    return 1;
  }
  folder = argv[1];
  const std::string x264 = "-c:v libx264 -g 4 -bf 2 -f h264";
  const std::vector<uint8_t> avc = encode("a.264", x264);
  const std::vector<uint8_t> avc_fields = encode("i.264", "-c:v libx264 -flags +ildct+ilme -x264-params tff=1 -f h264");
  const std::vector<uint8_t> hevc = encode("a.hevc", "-c:v libx265 -x265-params log-level=error:keyint=4:open-gop=1 -f hevc");
  const std::vector<uint8_t> mpeg2 = encode("a.m2v", "-c:v mpeg2video -g 4 -bf 2 -flags +ildct -top 1 -f mpeg2video");
  const std::vector<uint8_t> ts = encode("a.ts", "-c:v libx264 -g 4 -f mpegts");
  const std::vector<uint8_t> m2ts = encode("a.m2ts", "-c:v libx264 -g 4 -mpegts_m2ts_mode 1 -f mpegts");
  const std::vector<uint8_t> vob = encode("a.vob", "-c:v mpeg2video -g 4 -f vob");
  const std::vector<uint8_t> mpeg2_written = mpeg2_stream();
  const std::vector<uint8_t> mpeg2_one_sequence = mpeg2_one_sequence_header();
  const vc1w::Stream vc1 = vc1_stream();

  put("avc", "x264", avc);
  put("avc", "x264-fields", avc_fields);
  put("avc", "x264-size-change", size_change("s.264", x264));
  put("hevc", "x265-open-gop", hevc);
  put("hevc", "x265-size-change", size_change("s.hevc", "-c:v libx265 -x265-params log-level=error:keyint=4 -f hevc"));
  put("mpeg2", "ffmpeg-interlaced", mpeg2);
  put("mpeg2", "ffmpeg-size-change", size_change("s.m2v", "-c:v mpeg2video -g 4 -bf 2 -f mpeg2video"));
  put("mpeg2", "written-fields-and-repeats", mpeg2_written);
  put("mpeg2", "written-one-sequence-header", mpeg2_one_sequence);
  put("vc1", "written-interlaced-pulldown", vc1.es);
  put("ts", "h264-188", ts);
  put("ts", "h264-m2ts", m2ts);
  // Two packets cut out after the tables: the continuity counter jumps.
  std::vector<uint8_t> gap = ts;
  if (gap.size() >= 188 * 10) gap.erase(gap.begin() + 188 * 7, gap.begin() + 188 * 9);
  put("ts", "h264-188-gap", gap);
  // Legal counter patterns: the video packets' first payload packet after
  // the tables repeated whole, then an adaptation-field-only packet that
  // signals a discontinuity with its counter 5 on, the packets after it
  // counting on from there.
  std::vector<uint8_t> legal;
  std::map<int, int> per_pid;
  for (size_t at = 0; at + 188 <= ts.size(); at += 188) ++per_pid[(ts[at + 1] & 0x1F) << 8 | ts[at + 2]];
  const int video_pid =
      std::max_element(per_pid.begin(), per_pid.end(), [](const auto& x, const auto& y) { return x.second < y.second; })
          ->first;
  int seen = 0;
  for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
    std::vector<uint8_t> p(ts.begin() + long(at), ts.begin() + long(at + 188));
    const bool video = ((p[1] & 0x1F) << 8 | p[2]) == video_pid;
    if (video && seen > 0) p[3] = static_cast<uint8_t>((p[3] & 0xF0) | ((p[3] + 5) & 15));
    legal.insert(legal.end(), p.begin(), p.end());
    if (video && ++seen == 1) {
      legal.insert(legal.end(), p.begin(), p.end());
      std::vector<uint8_t> flag = {0x47, static_cast<uint8_t>(p[1] & 0x1F), p[2],
                                   static_cast<uint8_t>(0x20 | ((p[3] + 5) & 15)), 183, 0x80};
      flag.resize(188, 0xFF);
      legal.insert(legal.end(), flag.begin(), flag.end());
    }
  }
  put("ts", "h264-188-repeat-discontinuity", legal);
  // Two packets zeroed after the tables: the packet after them is found by
  // the sync byte a packet after it.
  std::vector<uint8_t> zeros = ts;
  if (zeros.size() >= 188 * 10) std::fill(zeros.begin() + 188 * 7, zeros.begin() + 188 * 9, 0);
  put("ts", "h264-188-zeros", zeros);
  // MPEG-2 and HEVC likewise.
  using Named = std::pair<const char*, const char*>;
  for (const auto& [name, args] :
       {Named{"mpeg2-188-gap", "-c:v mpeg2video -g 4 -bf 2 -f mpegts"},
        Named{"hevc-188-gap", "-c:v libx265 -x265-params log-level=error:keyint=4:open-gop=1 -f mpegts"}}) {
    std::vector<uint8_t> cut = encode(std::string(name) + ".ts", args);
    if (cut.size() >= 188 * 10) cut.erase(cut.begin() + 188 * 7, cut.begin() + 188 * 9);
    put("ts", name, cut);
  }
  put("ts", "vc1-192", vc1w::wrap_ts(vc1, 192));
  // ps_es: the first byte chooses detection (0), elementary (1) or program
  // stream of pack type 5 (2), 6 (3); bit 3 the AVC/HEVC unit reader.
  put("ps_es", "detect-vob", with_mode(0, vob));
  put("ps_es", "ps6-vc1", with_mode(3, vc1w::wrap_ps(vc1)));
  put("ps_es", "es-avc-reader", with_mode(1 | 8, avc));
  put("ps_es", "ps5-mpeg2", with_mode(2, vob));
  // report: 27 values in the order the entry reads them, the rate in
  // thousandths, then the HDR flags.
  put("report", "avc-like", le32s({1, 188, 0, 100, 40, 0, 1920, 1080, 1, 0, 0, 1, 1, 100, 2, 4, 3, 1, 3, 1920,
                                    1080, 16, 9, 2, 0, 120, 10, 25000, 1}));
  put("report", "reserved-codes", le32s({9, 204, 5, 255, 11, 1, -1, 0, 255, -7, 0, 99, 7, -2, -3, 9, 0, 0, 15,
                                          0, 0, 0, 0, 4, 1, 255, 16, -1, 2}));
  // kwi: the first byte chooses fieldop, deinterlace and strict_avc.
  put("kwi", "avc", index_of("k.264", avc, 0));
  put("kwi", "avc-fields-strict", index_of("kf.264", avc_fields, 9));
  put("kwi", "hevc", index_of("k.hevc", hevc, 2));
  put("kwi", "mpeg2-film", index_of("k.m2v", mpeg2, 1));
  put("kwi", "mpeg2-one-sequence-header", index_of("k1.m2v", mpeg2_one_sequence, 0));
  put("kwi", "vc1-deinterlace", index_of("k.vc1", vc1.es, 3));
  put("kwi", "ts", index_of("k.ts", ts, 0));
  put("mp4tree", "every-layout-class", mp4_classes());
  put("mp4read", "table-forms", mp4_tracks());
  put("mp4write", "table-forms", mp4_tracks());
  put("mp4tree", "content-information", mp4_content_information());
  put("mp4read", "content-information", mp4_content_information_movie());
  put("mp4write", "content-information", mp4_content_information_movie());
  const std::string small = "-f lavfi -i testsrc=size=32x32:rate=10 -f lavfi -i sine -frames:v 3 -t 0.3 -shortest ";
  for (const auto& file : {std::make_pair("h264-aac", "-c:v libx264 -bf 1 -c:a aac"),
                           std::make_pair("mpeg4-faststart", "-c:v mpeg4 -c:a aac -movflags +faststart"),
                           std::make_pair("mpeg4-aac-bitexact", "-c:v mpeg4 -c:a aac -fflags +bitexact -flags:v +bitexact"
                                                                " -flags:a +bitexact")}) {
    const std::string path = tu::scratch(std::string(file.first) + ".mp4");
    if (!tu::ffmpeg(small + file.second + " " + tu::q(path))) continue;
    for (const char* entry : {"mp4read", "mp4write"}) put(entry, file.first, tu::read_file(path));
  }
  const std::string hinted = tu::scratch("rtphint.mp4");
  if (tu::ffmpeg(small + "-c:v libx264 -c:a aac -movflags +rtphint " + tu::q(hinted)))
    put("mp4hint", "ffmpeg-rtphint", tu::read_file(hinted));
  const std::string plain = tu::scratch("h264-aac.mp4");
  if (tu::exists(plain)) put("mp4hint", "library-hints", library_hints(plain));

  // mp4meta: items of ffmpeg's tags and of atomicparsley's kinds, the
  // chapter list and the chapter text track.
  const std::string chapters = tu::scratch("seed-chapters.txt");
  const std::string ffmeta = ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=100\ntitle=One\n"
                             "[CHAPTER]\nTIMEBASE=1/1000\nSTART=100\nEND=300\ntitle=Two\n";
  tu::write_file(chapters, std::vector<uint8_t>(ffmeta.begin(), ffmeta.end()));
  const std::string tagged = tu::scratch("seed-tagged.mp4");
  if (tu::ffmpeg("-f lavfi -i testsrc=size=32x32:rate=10 -f lavfi -i sine -i " + tu::q(chapters) +
                 " -map 0 -map 1 -map_chapters 2 -frames:v 3 -t 0.3 -shortest -c:v libx264 -c:a aac"
                 " -metadata title=T -metadata artist=A -metadata track=3/12 -metadata disc=1/2 -metadata genre=G " +
                 tu::q(tagged))) {
    put("mp4meta", "ffmpeg-tags-chapters", tu::read_file(tagged));
    if (tu::have("AtomicParsley") &&
        tu::run("AtomicParsley " + tu::q(tagged) + " --genre Rock --compilation true --bpm 120 --gapless true"
                " --rDNSatom v name=N domain=org.example --overWrite").status == 0)
      for (const char* entry : {"mp4meta", "mp4tree"}) put(entry, "atomicparsley-items", tu::read_file(tagged));
  }
  return 0;
}
