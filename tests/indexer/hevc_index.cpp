// End-to-end tests of the HEVC index: streams made with x265 (and ffmpeg for
// containers), indexed by the real ostrel, compared with ffprobe and with a
// start-code scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "hevc_bitwriter.h"
#include "hevc_streams.h"
#include "testutil.h"

using namespace hevc_test;

// The common checks of every encoder-made elementary stream: one picture
// line per ffprobe frame with the same picture types in display order; the
// IRAP lines at the positions of the IRAP units of the scan, in order; POCs
// ascending between IRAP pictures that restart them.
static void expect_matches_references(const std::string& es, const std::vector<std::string>& kwi) {
  std::vector<KwiPicture> pics = kwi_pictures_hevc(kwi);
  std::vector<int> expected = ffprobe_slice_types(es);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(slice_types(pics), expected);
  EXPECT_EQ(kwi_value(kwi, "CODED"), std::to_string(expected.size()));

  // IRAP units that begin a picture (first_slice_segment_in_pic_flag, the
  // first bit after the two-byte NAL header).
  std::vector<uint64_t> irap_scan, irap_kwi;
  const std::vector<uint8_t> bytes = tu::read_file(es);
  for (const EsUnit& u : scan_nal_units(bytes))
    if (is_irap_type(u.type) && u.pos + 5 < bytes.size() && (bytes[u.pos + 5] & 0x80)) irap_scan.push_back(u.pos);
  for (const KwiPicture& p : pics)
    if (p.kind == "IDR" || p.kind == "CRA" || p.kind == "BLA") irap_kwi.push_back(p.position);
  EXPECT_EQ(irap_kwi, irap_scan);

  auto stream = tu::ffprobe_stream(es);
  EXPECT_EQ(kwi_value(kwi, "SIZE"), stream["width"] + " x " + stream["height"] + " ");
  EXPECT_TRUE(tu::kwi_with(kwi, "PLAYBACK").empty());
  EXPECT_TRUE(tu::kwi_with(kwi, "FILM").empty());
  EXPECT_TRUE(tu::kwi_with(kwi, "0.00% FILM").empty());
  EXPECT_NE(kwi_value(kwi, "ORDER"), "-1");
}

static int count_kind(const std::vector<KwiPicture>& pics, const std::string& kind) {
  return int(std::count_if(pics.begin(), pics.end(), [&](const KwiPicture& p) { return p.kind == kind; }));
}

TEST(HevcIndex, OpenGopCraAndRasl) {
  std::string y4m = make_y4m("src.y4m", "24000/1001", 60);
  std::string es = x265(y4m, "open.hevc", "--keyint 24 --min-keyint 24 --no-scenecut");
  std::vector<std::string> kwi = index_of(es);
  expect_matches_references(es, kwi);
  std::vector<KwiPicture> pics = kwi_pictures_hevc(kwi);
  EXPECT_GE(count_kind(pics, "CRA"), 1);
  EXPECT_GE(count_kind(pics, "RASL"), 1);
  EXPECT_EQ(pics[0].kind, "IDR");
  EXPECT_EQ(pics[0].slice_type, 2);
  EXPECT_EQ(pics[0].poc, 0);
  // CRA-started groups continue the POCs of the first IDR: one run, ascending.
  for (size_t i = 1; i < pics.size(); i++) EXPECT_LT(pics[i - 1].poc, pics[i].poc) << i;

  // Head and keyword header.
  ASSERT_GE(kwi.size(), 4u);
  EXPECT_EQ(kwi[0].rfind("KWHEVCIndexFileNV100 Ostrel 2053.0.0.502 X64", 0), 0u);
  EXPECT_EQ(kwi[3], es + " " + std::to_string(tu::read_file(es).size()));
  EXPECT_EQ(kwi_value(kwi, "DEVICE"), "0");
  EXPECT_EQ(kwi_value(kwi, "STREAM"), "0 0");
  EXPECT_EQ(kwi_value(kwi, "DEPTH"), "8");
  EXPECT_EQ(kwi_value(kwi, "CHROMA_LOCATION"), "0");
  EXPECT_EQ(kwi_value(kwi, "ASPECT"), "1 1");
  EXPECT_EQ(kwi_value(kwi, "COLORIMETRY"), "2 2 2");
  // x265 writes its timing in the SPS's VUI only.
  EXPECT_EQ(kwi_value(kwi, "FPS"), "24000 / 1001");
  EXPECT_TRUE(tu::kwi_with(kwi, "X265_CL").empty());

  // SPS and PPS lines at the positions of the scan's SPS and PPS units.
  std::vector<uint64_t> sps, pps;
  for (const EsUnit& u : scan_nal_units(tu::read_file(es))) {
    if (u.type == 33) sps.push_back(u.pos);
    if (u.type == 34) pps.push_back(u.pos);
  }
  ASSERT_EQ(sps.size(), 1u);
  EXPECT_EQ(tu::kwi_with(kwi, "SPS "), std::vector<std::string>{"SPS " + std::to_string(sps[0])});
  EXPECT_EQ(tu::kwi_with(kwi, "PPS "), std::vector<std::string>{"PPS " + std::to_string(pps[0])});
}

TEST(HevcIndex, ClosedGopIdrWithRadl) {
  std::string y4m = make_y4m("src.y4m", "25", 60);
  std::string es = x265(y4m, "radl.hevc", "--keyint 24 --min-keyint 24 --no-scenecut --no-open-gop --radl 2");
  std::vector<std::string> kwi = index_of(es);
  expect_matches_references(es, kwi);
  std::vector<KwiPicture> pics = kwi_pictures_hevc(kwi);
  EXPECT_GE(count_kind(pics, "RADL"), 2);
  EXPECT_EQ(count_kind(pics, "CRA") + count_kind(pics, "RASL"), 0);
  for (size_t i = 0; i < pics.size(); i++) {
    if (pics[i].kind == "IDR") {
      EXPECT_EQ(pics[i].slice_type, 2);
      EXPECT_EQ(pics[i].poc, 0);
    }
    // Leading pictures stand before their IDR, with negative POCs.
    if (pics[i].kind == "RADL") {
      EXPECT_LT(pics[i].poc, 0);
      ASSERT_LT(i + 1, pics.size());
      EXPECT_TRUE(pics[i + 1].kind == "IDR" || pics[i + 1].kind == "RADL");
    }
  }
  EXPECT_EQ(kwi_value(kwi, "FPS"), "25000 / 1000");
}

TEST(HevcIndex, RepeatedHeadersGiveOneSpsAndPpsLine) {
  std::string y4m = make_y4m("src.y4m", "25", 72);
  std::string es = x265(y4m, "rep.hevc", "--keyint 24 --min-keyint 24 --no-scenecut --repeat-headers");
  std::vector<std::string> kwi = index_of(es);
  expect_matches_references(es, kwi);
  std::vector<uint64_t> sps, pps;
  for (const EsUnit& u : scan_nal_units(tu::read_file(es))) {
    if (u.type == 33) sps.push_back(u.pos);
    if (u.type == 34) pps.push_back(u.pos);
  }
  ASSERT_GE(sps.size(), 3u);
  EXPECT_EQ(tu::kwi_with(kwi, "SPS "), std::vector<std::string>{"SPS " + std::to_string(sps[0])});
  EXPECT_EQ(tu::kwi_with(kwi, "PPS "), std::vector<std::string>{"PPS " + std::to_string(pps[0])});
  EXPECT_EQ(tu::kwi_with(kwi, "DEVICE").size(), 1u);
}

// Rewrites the NAL unit type of the unit at scan position pos.
static void set_nal_type(std::vector<uint8_t>& es, uint64_t pos, int type) {
  es[pos + 3] = uint8_t((es[pos + 3] & 0x81) | (type << 1));
}

// ffprobe's types minus the RASL pictures of an IRAP picture that starts a
// new sequence (a decoder does not output them).
static std::vector<int> types_without_rasl_of(const std::vector<KwiPicture>& pics,
                                              const std::string& irap_kind, int irap_index) {
  // The RASL pictures of an IRAP stand right before it in display order.
  std::vector<int> v;
  int seen = 0;
  for (size_t i = 0; i < pics.size(); i++) {
    if (pics[i].kind == "RASL") {
      size_t j = i;
      while (j < pics.size() && pics[j].kind == "RASL") j++;
      if (j < pics.size() && pics[j].kind == irap_kind && seen == irap_index) continue;
    }
    if (pics[i].kind == irap_kind) seen++;
    v.push_back(pics[i].slice_type);
  }
  return v;
}

// log2_max_pic_order_cnt_lsb_minus4 + 4 of the stream's SPS, as ffmpeg's
// header trace reads it.
static int poc_lsb_bits(const std::string& es) {
  tu::RunResult r = tu::run("ffmpeg -hide_banner -nostdin -i " + tu::q(es) +
                            " -c copy -bsf:v trace_headers -f null - 2>&1 | grep -m1 log2_max_pic_order_cnt_lsb_minus4");
  size_t eq = r.out.rfind('=');
  return eq == std::string::npos ? -1 : std::stoi(r.out.substr(eq + 1)) + 4;
}

TEST(HevcIndex, SlicesLongerThanTheCleanedHead) {
  // The analysis cleans only the first bytes of a slice (the whole unit when
  // the header runs past them): slices of kilobytes, two per picture, with a
  // 16-bit POC lsb, match ffprobe and the scan like any other stream.
  std::string y4m = make_y4m("src.y4m", "25", 30);
  std::string es = x265(y4m, "long.hevc", "--qp 4 --slices 2 --keyint 10 --log2-max-poc-lsb 16");
  std::vector<uint8_t> bytes = tu::read_file(es);
  std::vector<EsUnit> units = scan_nal_units(bytes);
  size_t slices = 0, short_slices = 0;
  for (size_t i = 0; i < units.size(); i++) {
    if (units[i].type > 21) continue;
    const uint64_t end = i + 1 < units.size() ? units[i + 1].pos : bytes.size();
    slices++;
    if (end - units[i].pos <= 1024) short_slices++;
  }
  EXPECT_EQ(slices, 60u);
  EXPECT_EQ(short_slices, 0u);
  EXPECT_EQ(poc_lsb_bits(es), 16);
  expect_matches_references(es, index_of(es));
}

TEST(HevcIndex, BlaRewrittenFromCraRestartsPoc) {
  // x265 keeps the lsb short (6 or 7 bits here); the CRA at frame 72 has
  // POC 72, beyond one lsb cycle, so a BLA there restarts at its lsb alone.
  std::string y4m = make_y4m("src.y4m", "25", 100);
  std::string es = x265(y4m, "open.hevc", "--keyint 24 --min-keyint 24 --no-scenecut --log2-max-poc-lsb 4");
  int bits = poc_lsb_bits(es);
  ASSERT_GT(bits, 3);
  ASSERT_LT(bits, 7);
  std::vector<uint8_t> bytes = tu::read_file(es);
  std::vector<uint64_t> cra;
  for (const EsUnit& u : scan_nal_units(bytes))
    if (u.type == 21) cra.push_back(u.pos);
  ASSERT_GE(cra.size(), 3u);
  set_nal_type(bytes, cra[2], 16);  // BLA_W_LP
  std::string bla = tu::scratch("bla.hevc");
  tu::write_file(bla, bytes);

  std::vector<std::string> kwi = index_of(bla);
  std::vector<KwiPicture> pics = kwi_pictures_hevc(kwi);
  ASSERT_EQ(count_kind(pics, "BLA"), 1);
  auto it = std::find_if(pics.begin(), pics.end(), [](const KwiPicture& p) { return p.kind == "BLA"; });
  EXPECT_EQ(it->position, cra[2]);
  EXPECT_EQ(it->poc, 72 % (1 << bits));
  EXPECT_EQ(types_without_rasl_of(pics, "BLA", 0), ffprobe_slice_types(bla));
}

// Stream A, then stream B from its second CRA on (headers repeated there),
// joined as a splice: B's CRA rewritten to BLA, or B after an end of
// sequence unit. B's POCs (from 24) are below A's last ones (up to 59), so
// only a restarted POC keeps B after A.
static void splice_test(bool with_eos) {
  std::string y4m_a = make_y4m("a.y4m", "25", 60);
  std::string y4m_b = make_y4m("b.y4m", "25", 60, "yuv420p", "", "smptebars");
  const std::string opts = "--keyint 24 --min-keyint 24 --no-scenecut --repeat-headers";
  // A decoder drops the pictures of A still waiting for output when a CRA
  // follows an end of sequence (H.265 C.5.2.2); without reordering in A
  // none are waiting, so ffprobe shows every picture the index lists.
  std::vector<uint8_t> a = tu::read_file(x265(y4m_a, "a.hevc", opts + (with_eos ? " --bframes 0" : "")));
  std::vector<uint8_t> b = tu::read_file(x265(y4m_b, "b.hevc", opts));
  std::vector<EsUnit> ub = scan_nal_units(b);
  size_t first_cra = 0;
  for (size_t i = 0; i < ub.size() && !first_cra; i++)
    if (ub[i].type == 21) first_cra = i;
  size_t vps = first_cra;
  while (vps > 0 && ub[vps].type != 32) vps--;
  ASSERT_GT(vps, 0u);  // the headers repeated before B's CRA
  uint64_t cut = ub[vps].pos - 1;  // with the zero byte of the 4-byte start code
  std::vector<uint8_t> joined = a;
  if (with_eos) append(joined, {0, 0, 0, 1, 36 << 1, 1});
  std::vector<uint8_t> tail(b.begin() + long(cut), b.end());
  if (!with_eos) set_nal_type(tail, ub[first_cra].pos - cut, 16);
  append(joined, tail);
  std::string path = tu::scratch(with_eos ? "eos.hevc" : "splice.hevc");
  tu::write_file(path, joined);

  std::vector<std::string> kwi = index_of(path);
  std::vector<KwiPicture> pics = kwi_pictures_hevc(kwi);
  const std::string kind = with_eos ? "CRA" : "BLA";
  // The IRAP of B: the first one found in the file after A's bytes.
  auto it = std::find_if(pics.begin(), pics.end(),
                         [&](const KwiPicture& p) { return p.kind == kind && p.position >= a.size(); });
  ASSERT_NE(it, pics.end());
  EXPECT_EQ(it->poc, 24);
  int index = int(std::count_if(pics.begin(), it, [&](const KwiPicture& p) { return p.kind == kind; }));
  EXPECT_EQ(types_without_rasl_of(pics, kind, index), ffprobe_slice_types(path));
}

TEST(HevcIndex, SplicedStreamWithBla) { splice_test(false); }
TEST(HevcIndex, CraAfterEndOfSequence) { splice_test(true); }

TEST(HevcIndex, DeepPyramidWithShortPocLsb) {
  // Deep B pyramids with sub-layer non-reference pictures (TRAIL_N) and the
  // shortest lsb x265 will use.
  std::string y4m = make_y4m("src.y4m", "25", 96);
  std::string es = x265(y4m, "lsb.hevc", "--keyint 48 --min-keyint 48 --no-scenecut --log2-max-poc-lsb 4 --bframes 8 --b-pyramid --b-adapt 0");
  std::vector<std::string> kwi = index_of(es);
  expect_matches_references(es, kwi);
}

// Names of ffprobe's colour fields as H.265 Annex E codes.
static int code_of(const std::string& name) {
  static const std::map<std::string, int> codes = {
      {"bt709", 1}, {"bt2020", 9}, {"bt2020nc", 9}, {"smpte2084", 16}, {"arib-std-b67", 18}};
  auto it = codes.find(name);
  return it == codes.end() ? -1 : it->second;
}

TEST(HevcIndex, Hdr10LinesAndEncoderHint) {
  std::string y4m = make_y4m("src10.y4m", "25", 30, "yuv420p10le");
  std::string es = x265(y4m, "hdr.hevc",
                        "--output-depth 10 --colorprim bt2020 --transfer smpte2084 --colormatrix bt2020nc "
                        "--master-display \"G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,1)\" "
                        "--max-cll \"1000,400\" --atc-sei 18");
  std::vector<std::string> kwi = index_of(es);
  expect_matches_references(es, kwi);
  auto stream = tu::ffprobe_stream(es);
  EXPECT_EQ(stream["pix_fmt"], "yuv420p10le");
  EXPECT_EQ(kwi_value(kwi, "DEPTH"), "10");
  EXPECT_EQ(kwi_value(kwi, "CHROMA_LOCATION"), "2");
  // ffprobe reports the transfer of the alternative transfer SEI (18)
  // rather than the VUI's, so that one comes from the encoder options.
  EXPECT_EQ(kwi_value(kwi, "COLORIMETRY"), std::to_string(code_of(stream["color_space"])) + " 16 " +
                                               std::to_string(code_of(stream["color_primaries"])));
  EXPECT_EQ(kwi_value(kwi, "COLORIMETRY"), "9 16 9");

  // Mastering display and light level against ffprobe's side data (the
  // numerators over 50000 and 10000 are the coded values). The SEI codes
  // the primaries in the order G, B, R.
  auto frames = tu::ffprobe_frames(es, "-read_intervals %+#1 -show_entries frame_side_data");
  ASSERT_FALSE(frames.empty());
  auto num = [&](const char* key) {
    std::string v = frames[0][key];
    return v.substr(0, v.find('/'));
  };
  std::string mastering = num("green_x") + " " + num("green_y") + " " + num("blue_x") + " " + num("blue_y") +
                          " " + num("red_x") + " " + num("red_y") + " " + num("white_point_x") + " " +
                          num("white_point_y") + " " + num("max_luminance") + " " + num("min_luminance");
  EXPECT_EQ(kwi_value(kwi, "MASTERING"), mastering);
  EXPECT_EQ(kwi_value(kwi, "MASTERING"), "13250 34500 7500 3000 34000 16000 15635 16450 10000000 1");
  EXPECT_EQ(kwi_value(kwi, "LIGHT"), frames[0]["max_content"] + " " + frames[0]["max_average"]);
  EXPECT_EQ(tu::kwi_with(kwi, "MASTERING").size(), 1u);   // repeated SEI, one line
  EXPECT_EQ(tu::kwi_with(kwi, "LIGHT").size(), 1u);
  EXPECT_EQ(tu::kwi_with(kwi, "PREFERRED TRANSFER CHARACTERISTICS"),
            std::vector<std::string>{"PREFERRED TRANSFER CHARACTERISTICS 18"});
  EXPECT_EQ(kwi_value(kwi, "X265_CL"),
            "--colorprim bt2020 --transfer smpte2084 --colormatrix bt2020nc --master-display "
            "\"G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,1)\" --max-cll \"1000,400\" "
            "--frames " + std::to_string(ffprobe_slice_types(es).size()) + " --chromaloc 0");
  // The hint is the last line.
  EXPECT_EQ(kwi.back().rfind("X265_CL ", 0), 0u);
}

TEST(HevcIndex, HlgHasNoEncoderHint) {
  std::string y4m = make_y4m("src10.y4m", "50", 20, "yuv420p10le");
  std::string es = x265(y4m, "hlg.hevc",
                        "--output-depth 10 --colorprim bt2020 --transfer arib-std-b67 --colormatrix bt2020nc");
  std::vector<std::string> kwi = index_of(es);
  expect_matches_references(es, kwi);
  auto stream = tu::ffprobe_stream(es);
  EXPECT_EQ(stream["color_transfer"], "arib-std-b67");
  EXPECT_EQ(kwi_value(kwi, "COLORIMETRY"), "9 18 9");
  EXPECT_TRUE(tu::kwi_with(kwi, "X265_CL").empty());
  EXPECT_TRUE(tu::kwi_with(kwi, "MASTERING").empty());
  // 50 frames per second is no standard band: kept as coded.
  EXPECT_EQ(kwi_value(kwi, "FPS"), "50 / 1");
}

TEST(HevcIndex, FieldCodedPictures) {
  std::string y4m = make_y4m("fields.y4m", "25", 40, "yuv420p", "setfield=tff,separatefields");
  std::string es = x265(y4m, "fields.hevc", "--interlace tff");
  std::vector<std::string> kwi = index_of(es);
  // One picture line per coded field, as ffprobe outputs them.
  expect_matches_references(es, kwi);
  EXPECT_EQ(kwi_value(kwi, "SIZE"), "320 x 120 ");
  EXPECT_EQ(kwi_value(kwi, "ORDER"), "0");
}

// ---------------------------------------------------------------- containers

// Checks that each listed position of a container file holds a start code
// followed by a unit of one of the given types.
static void expect_units_at(const std::vector<uint8_t>& file, const std::vector<uint64_t>& positions,
                            bool (*type_ok)(int)) {
  for (uint64_t p : positions) {
    ASSERT_LT(p + 3, file.size());
    EXPECT_TRUE(file[p] == 0 && file[p + 1] == 0 && file[p + 2] == 1) << p;
    EXPECT_TRUE(type_ok((file[p + 3] >> 1) & 63)) << p;
  }
}

static void container_test(const std::string& container, const std::string& expected_stream) {
  std::string y4m = make_y4m("src.y4m", "24000/1001", 60);
  std::string es = x265(y4m, "open.hevc", "--keyint 24 --min-keyint 24 --no-scenecut --repeat-headers");
  std::string muxed = tu::scratch("open." + container);
  // Raw HEVC carries no time stamps; the muxers need them.
  if (container == "ts")
    ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(es) + " -c copy -bsf:v setts=pts=N:dts=N-2 -f mpegts " + tu::q(muxed)));
  else
    ASSERT_TRUE(tu::ffmpeg("-fflags +genpts -r 24000/1001 -i " + tu::q(es) + " -c copy -f vob " + tu::q(muxed)));

  std::vector<std::string> kwi_es = index_of(es);
  std::vector<std::string> kwi = index_of(muxed);
  EXPECT_EQ(kwi_value(kwi, "STREAM"), expected_stream);
  std::vector<KwiPicture> pics = kwi_pictures_hevc(kwi), pics_es = kwi_pictures_hevc(kwi_es);
  EXPECT_EQ(slice_types(pics), ffprobe_slice_types(muxed));
  ASSERT_EQ(pics.size(), pics_es.size());
  for (size_t i = 0; i < pics.size(); i++) {
    EXPECT_EQ(pics[i].kind, pics_es[i].kind) << i;
    EXPECT_EQ(pics[i].poc, pics_es[i].poc) << i;
  }
  std::vector<uint8_t> file = tu::read_file(muxed);
  std::vector<uint64_t> irap, sps, pps;
  for (const KwiPicture& p : pics)
    if (p.kind == "IDR" || p.kind == "CRA") irap.push_back(p.position);
  for (const std::string& l : tu::kwi_with(kwi, "SPS ")) sps.push_back(std::stoull(l.substr(4)));
  for (const std::string& l : tu::kwi_with(kwi, "PPS ")) pps.push_back(std::stoull(l.substr(4)));
  EXPECT_EQ(irap.size(), size_t(count_kind(pics_es, "IDR") + count_kind(pics_es, "CRA")));
  EXPECT_EQ(sps.size(), 1u);
  EXPECT_EQ(pps.size(), 1u);
  expect_units_at(file, irap, is_irap_type);
  expect_units_at(file, sps, [](int t) { return t == 33; });
  expect_units_at(file, pps, [](int t) { return t == 34; });
  for (const char* k : {"SIZE", "FPS", "CODED", "DEPTH", "COLORIMETRY", "ASPECT"})
    EXPECT_EQ(kwi_value(kwi, k), kwi_value(kwi_es, k)) << k;
}

TEST(HevcContainers, TransportStream) {
  container_test("ts", "1 0");
}

TEST(HevcContainers, ProgramStream) { container_test("vob", "3 6"); }
