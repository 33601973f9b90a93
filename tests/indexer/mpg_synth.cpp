// MPEG-2 indexing of streams built byte by byte: field pictures (which the
// encoders here do not make), lost fields, headers cut short, forbidden and
// reserved values, and the group and picture rules at the edges. Expected
// values are what the builder put into the stream; where a decoder accepts
// the stream, ffprobe is asked as well.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mpg_streams.h"
#include "testutil.h"
#include "timed_inputs.h"

using mpgt::Picture;
using mpgt::Sequence;
using mpgt::StreamBuilder;

namespace {

Picture pic(int type, int tr, int structure = 3, int tff = 0, int rff = 0, int pf = 0) {
  Picture p;
  p.type = type;
  p.temporal_reference = tr;
  p.structure = structure;
  p.tff = tff;
  p.rff = rff;
  p.progressive_frame = pf;
  return p;
}

std::vector<std::string> index_bytes(const std::string& name, const std::vector<uint8_t>& bytes,
                                     tu::RunResult* run = nullptr) {
  std::string in = tu::scratch(name);
  tu::write_file(in, bytes);
  tu::RunResult r;
  auto kwi = mpgt::index_file(in, in + ".kwi", &r);
  if (run) *run = r;
  // Inputs without a picture to decode from give no index.
  if (r.status != 0) {
    EXPECT_TRUE(tu::refused_no_picture(r, kwi));
  }
  return kwi;
}

std::string frm_text(const mpgt::Frm& f) {
  return std::string(1, f.type) + " " + std::to_string(f.structure) + " " + std::to_string(f.tff) + " " +
         std::to_string(f.rff) + " " + std::to_string(f.progressive_frame);
}

std::vector<std::string> frm_texts(const std::vector<std::string>& kwi) {
  std::vector<std::string> v;
  for (const mpgt::Frm& f : mpgt::frm_lines(kwi)) v.push_back(frm_text(f));
  return v;
}

// Field pairs in coding order I P B B per group: (first field, second field).
void add_field_group(StreamBuilder& b, int first, int second, bool with_gop) {
  if (with_gop) b.gop(1);
  b.picture(pic(1, 0, first));
  b.picture(pic(2, 0, second));
  b.picture(pic(2, 3, first));
  b.picture(pic(2, 3, second));
  b.picture(pic(3, 1, first));
  b.picture(pic(3, 1, second));
  b.picture(pic(3, 2, first));
  b.picture(pic(3, 2, second));
}

}  // namespace

// Field pictures: one FRM line and one count per pair, with the first field's
// type and structure; ORDER follows the first field's parity.
TEST(MpegSynthetic, FieldPairsCountOnce) {
  for (int first : {1, 2}) {
    SCOPED_TRACE(first == 1 ? "top first" : "bottom first");
    int second = 3 - first;
    Sequence s;
    StreamBuilder b(s);
    b.sequence_header();
    add_field_group(b, first, second, true);
    b.sequence_header();
    add_field_group(b, first, second, true);
    b.sequence_end();
    std::string in = tu::scratch(first == 1 ? "fields_top.m2v" : "fields_bottom.m2v");
    tu::write_file(in, b.bytes());
    auto kwi = mpgt::index_file(in, in + ".kwi");
    ASSERT_FALSE(kwi.empty());
    std::string f = std::to_string(first);
    std::vector<std::string> group = {"I " + f + " 0 0 0", "B " + f + " 0 0 0", "B " + f + " 0 0 0", "P " + f + " 0 0 0"};
    std::vector<std::string> expect = group;
    expect.insert(expect.end(), group.begin(), group.end());
    EXPECT_EQ(frm_texts(kwi), expect);
    EXPECT_EQ(mpgt::values_of(kwi, "CODED"), std::vector<long long>{8});
    EXPECT_EQ(mpgt::values_of(kwi, "PLAYBACK"), std::vector<long long>{8});
    EXPECT_EQ(mpgt::values_of(kwi, "ORDER"), std::vector<long long>{first});
    EXPECT_EQ(mpgt::values_of(kwi, "GOP"), (std::vector<long long>{1, 1}));
    // Field pictures take no part in the film cadence.
    EXPECT_EQ(mpgt::line_of(kwi, "0.00% FILM"), "0.00% FILM");

    // A decoder sees the same: one frame per pair, the same types in display order.
    auto frames = tu::ffprobe_frames(in);
    EXPECT_EQ(mpgt::probe_types(frames), "IBBPIBBP");
  }
}

// A lost second field: the next picture is a frame (or a field of the same
// parity as the lost pair's first field). It is a new picture of its own
// type; the pair expectation must not make every later picture take the
// stale first field's type or vanish as a "second field".
TEST(MpegSynthetic, LostFieldDoesNotStick) {
  {
    SCOPED_TRACE("frame after a lone field");
    Sequence s;
    StreamBuilder b(s);
    b.sequence_header();
    b.gop(1);
    b.picture(pic(1, 0, 1));          // I top field; its bottom field is lost
    b.picture(pic(2, 3, 3, 1));       // P frame
    b.picture(pic(3, 1, 3, 1));       // B frame
    b.picture(pic(3, 2, 3, 1));       // B frame
    b.picture(pic(2, 6, 3, 1));       // P frame
    auto kwi = index_bytes("lost_then_frames.m2v", b.bytes());
    EXPECT_EQ(mpgt::frm_types(mpgt::frm_lines(kwi)), "IBBPP");
    EXPECT_EQ(mpgt::values_of(kwi, "CODED"), std::vector<long long>{5});
  }
  {
    SCOPED_TRACE("same-parity field after a lone field");
    Sequence s;
    StreamBuilder b(s);
    b.sequence_header();
    b.gop(1);
    b.picture(pic(1, 0, 1));          // I top; bottom lost
    b.picture(pic(2, 1, 1));          // P top: begins the next pair
    b.picture(pic(2, 1, 2));          // P bottom: completes it
    b.picture(pic(2, 2, 1));
    b.picture(pic(2, 2, 2));
    auto kwi = index_bytes("lost_then_fields.m2v", b.bytes());
    EXPECT_EQ(mpgt::frm_types(mpgt::frm_lines(kwi)), "IPP");
    EXPECT_EQ(mpgt::values_of(kwi, "CODED"), std::vector<long long>{3});
  }
}

// Group lines: GOP 1 for an I picture with temporal_reference 0, else the
// closed_gop of a GOP header since the previous group, else -1. A group
// starts at the sequence header before its I picture; without one since the
// picture before, at its GOP header or else at the I picture, naming the
// last sequence header too. B pictures before the first I picture are
// written before any group line; P pictures before it are counted but not
// written.
TEST(MpegSynthetic, GroupLines) {
  Sequence s;
  StreamBuilder b(s);
  b.sequence_header();
  b.picture(pic(2, 5, 3, 1));         // P before any I: counted only
  b.picture(pic(3, 4, 3, 1));         // B before any I: written ahead of the groups
  size_t seq1 = b.size();
  b.sequence_header();
  b.picture(pic(1, 2, 3, 1));         // I, tr 2, no GOP header: GOP -1
  b.picture(pic(3, 0, 3, 1));
  b.picture(pic(3, 1, 3, 1));
  const size_t gop0 = b.size();
  b.gop(0);
  b.picture(pic(1, 2, 3, 1));         // I after an open GOP header: GOP 0
  b.picture(pic(3, 0, 3, 1));
  const size_t gop1 = b.size();
  b.gop(1);
  b.picture(pic(1, 0, 3, 1));         // I of a closed GOP: GOP 1
  const size_t bare_i = b.size();
  b.picture(pic(1, 0, 3, 1));         // I, tr 0, no GOP header: GOP 1
  b.picture(pic(2, 1, 3, 1));
  auto kwi = index_bytes("groups.m2v", b.bytes());
  ASSERT_FALSE(kwi.empty());
  EXPECT_EQ(mpgt::values_of(kwi, "GOP"), (std::vector<long long>{-1, 0, 1, 1}));
  const std::string s1 = " " + std::to_string(seq1);
  EXPECT_EQ(tu::kwi_with(kwi, "SEQ "),
            (std::vector<std::string>{"SEQ" + s1, "SEQ " + std::to_string(gop0) + s1,
                                      "SEQ " + std::to_string(gop1) + s1, "SEQ " + std::to_string(bare_i) + s1}));
  EXPECT_EQ(mpgt::values_of(kwi, "SEQEXT"), (std::vector<long long>{0, 0, 0, 0}));
  EXPECT_EQ(mpgt::frm_types(mpgt::frm_lines(kwi)), "BBBIBIIIP");
  EXPECT_EQ(mpgt::values_of(kwi, "CODED"), std::vector<long long>{10});
  // The B picture before the first I stands before the first group line.
  size_t first_frm = 0, first_seq = 0;
  for (size_t i = 0; i < kwi.size(); i++) {
    if (!first_frm && kwi[i].find(":FRM ") != std::string::npos) first_frm = i;
    if (!first_seq && kwi[i].rfind("SEQ ", 0) == 0) first_seq = i;
  }
  EXPECT_LT(first_frm, first_seq);
  // The last reference comes after the loop, after all B pictures.
  EXPECT_EQ(tu::kwi_pictures(kwi).back(), "FRM P 3 1 0 0");
}

// Film cadence and repeats counted from the builder's flags.
TEST(MpegSynthetic, CadenceAndRepeats) {
  {
    SCOPED_TRACE("interlaced 3:2, trf 2 3 0 1 in display order, with B pictures");
    Sequence s;
    StreamBuilder b(s);
    b.sequence_header();
    b.gop(1);
    // display order: I0 B1 B2 P3 B4 B5 P6 B7 B8 P9 with trf = 2,3,0,1,2,3,0,1,2,3
    auto trf = [](int d) { return (d + 2) % 4; };
    auto p = [&](int type, int d) { return pic(type, d, 3, trf(d) >> 1, trf(d) & 1, 1); };
    b.picture(p(1, 0));
    b.picture(p(2, 3));
    b.picture(p(3, 1));
    b.picture(p(3, 2));
    b.picture(p(2, 6));
    b.picture(p(3, 4));
    b.picture(p(3, 5));
    b.picture(p(2, 9));
    b.picture(p(3, 7));
    b.picture(p(3, 8));
    auto kwi = index_bytes("cadence.m2v", b.bytes());
    // 8 steps classified, all film.
    EXPECT_EQ(mpgt::line_of(kwi, "100.00% FILM"), "100.00% FILM");
    // 5 repeated fields (trf 3 and 1): PLAYBACK = 10 + 5 / 2.
    EXPECT_EQ(mpgt::values_of(kwi, "PLAYBACK"), std::vector<long long>{12});
    EXPECT_EQ(mpgt::values_of(kwi, "ORDER"), std::vector<long long>{1});
    EXPECT_EQ(mpgt::frm_types(mpgt::frm_lines(kwi)), "IBBPBBPBBP");
    auto frames = tu::ffprobe_frames(tu::scratch("cadence.m2v"));
    EXPECT_EQ(mpgt::probe_types(frames), "IBBPBBPBBP");
  }
  {
    SCOPED_TRACE("one broken step");
    Sequence s;
    StreamBuilder b(s);
    b.sequence_header();
    b.gop(1);
    // display trf: 2 3 0 0 1: steps 2->3 film, 3->0 film, 0->0 video, 0->1 film
    const int trf[] = {2, 3, 0, 0, 1};
    for (int d = 0; d < 5; d++) b.picture(pic(d == 0 ? 1 : 2, d, 3, trf[d] >> 1, trf[d] & 1, 1));
    b.picture(pic(2, 5, 3, 1, 0, 1));  // moves the last code into the cadence
    auto kwi = index_bytes("cadence_break.m2v", b.bytes());
    EXPECT_EQ(mpgt::line_of(kwi, "75.00% FILM"), "75.00% FILM");
  }
  {
    SCOPED_TRACE("progressive sequence: rff with tff repeats the frame twice");
    Sequence s;
    s.progressive_sequence = 1;
    StreamBuilder b(s);
    b.sequence_header();
    b.gop(1);
    b.picture(pic(1, 0, 3, 1, 1, 1));  // +2
    b.picture(pic(2, 1, 3, 0, 1, 1));  // +1
    b.picture(pic(2, 2, 3, 0, 0, 1));  // +0
    auto kwi = index_bytes("prog_repeat.m2v", b.bytes());
    EXPECT_EQ(mpgt::values_of(kwi, "PLAYBACK"), std::vector<long long>{6});
    EXPECT_EQ(mpgt::values_of(kwi, "ORDER"), std::vector<long long>{0});
    EXPECT_EQ(mpgt::values_of(kwi, "SEQEXT"), std::vector<long long>{1});
    auto frames = tu::ffprobe_frames(tu::scratch("prog_repeat.m2v"));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(mpgt::probe_int(frames[0], "repeat_pict"), 4);
    EXPECT_EQ(mpgt::probe_int(frames[1], "repeat_pict"), 2);
  }
}

// Sizes: the coded height rounds up to whole macroblock rows (1084 -> 1088,
// not 1096); the extensions' size bits widen the 12-bit fields; a sequence
// display extension gives SIZE.
TEST(MpegSynthetic, Sizes) {
  struct Case {
    int width, height;
    bool display;
    int dw, dh;
    const char* size;
  };
  const Case cases[] = {
      {1920, 1084, false, 0, 0, "SIZE 1920 x 1088 "},
      {1920, 1080, false, 0, 0, "SIZE 1920 x 1088 "},
      {720, 576, false, 0, 0, "SIZE 720 x 576 "},
      {4096 + 16, 4096 + 8, false, 0, 0, "SIZE 4112 x 4112 "},
      {1920, 1088, true, 1920, 1080, "SIZE 1920 x 1080 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    Sequence s;
    s.width = c.width;
    s.height = c.height;
    s.display_ext = c.display;
    s.display_width = c.dw;
    s.display_height = c.dh;
    StreamBuilder b(s);
    b.sequence_header();  // one picture without slices: those of these sizes are not needed
    b.user_data(64);
    b.gop(1);
    b.picture(pic(1, 0), false);
    b.sequence_end();
    auto kwi = index_bytes("size.m2v", b.bytes());
    EXPECT_EQ(mpgt::line_of(kwi, "SIZE"), c.size);
    EXPECT_EQ(mpgt::line_of(kwi, "ASPECT"), "ASPECT 1 1");
  }
}

// Forbidden and reserved codes: aspect_ratio_information 0 and 5..15 give
// ASPECT 0 0 (ignored by a reader); frame_rate_code 0 and 9..15 give 25 fps;
// pictures of type 0 (forbidden), 4 (D) or 5..7 and picture_structure 0 are
// not pictures of this index; none of them may crash.
TEST(MpegSynthetic, ForbiddenAndReservedCodes) {
  for (int aspect : {0, 5, 15}) {
    Sequence s;
    s.aspect = aspect;
    s.rate_code = aspect == 0 ? 0 : 9 + aspect % 7;
    StreamBuilder b(s);
    b.sequence_header();
    b.gop(1);
    b.picture(pic(1, 0, 3, 1));
    auto kwi = index_bytes("reserved.m2v", b.bytes());
    EXPECT_EQ(mpgt::line_of(kwi, "ASPECT"), "ASPECT 0 0");
    EXPECT_EQ(mpgt::line_of(kwi, "FPS"), "FPS 25000 / 1000");
  }
  Sequence s;
  StreamBuilder b(s);
  b.sequence_header();
  b.gop(1);
  b.picture(pic(1, 0, 3, 1));
  for (int type : {0, 4, 5, 7}) b.picture(pic(type, 1, 3, 1));
  b.picture(pic(2, 2, 0, 1));         // picture_structure 0
  b.picture(pic(2, 3, 3, 1));
  auto kwi = index_bytes("bad_types.m2v", b.bytes());
  EXPECT_EQ(mpgt::frm_types(mpgt::frm_lines(kwi)), "IP");
  EXPECT_EQ(mpgt::values_of(kwi, "CODED"), std::vector<long long>{2});
}

// Headers cut short: a unit that ends before the fields being read changes
// nothing. Each header is followed directly by the next start code.
TEST(MpegSynthetic, ShortUnitsAreIgnored) {
  Sequence s;
  s.width = 320;
  s.height = 240;
  StreamBuilder full(s);
  full.sequence_header();
  full.gop(1);
  full.picture(pic(1, 0, 3, 1));
  const std::vector<uint8_t> head = full.bytes();

  // After a valid start, units that end inside the fields being read. Each
  // ends in a non-zero byte: zero bytes before a start code belong to the
  // unit and would make it long enough.
  std::vector<uint8_t> d = head;
  auto add = [&](std::vector<uint8_t> u) { d.insert(d.end(), u.begin(), u.end()); };
  add({0, 0, 1, 0x00, 0xFF});                                   // picture header, 1 byte
  add({0, 0, 1, 0xB5, 0x8F, 0xFF, 0xF0, 0x03, 0x81});          // coding extension after that broken header
  add({0, 0, 1, 0x00, 0x00, 0x50, 0xFF, 0xF8});                // P picture header, tr 1
  add({0, 0, 1, 0xB5, 0x81, 0x11, 0x03});                       // its coding extension, cut before top_field_first
  add({0, 0, 1, 0xB5, 0x25, 0x01, 0x01});                       // display extension with colour, cut before the sizes
  add({0, 0, 1, 0xB8, 0xFF});                                   // GOP header, 1 byte
  add({0, 0, 1, 0xB3, 0x28, 0x01, 0xE0, 0x13, 0xFF, 0xFF});     // valid sequence header: 640x480
  add({0, 0, 1, 0xB5, 0x14, 0x8A});                             // its sequence extension, 2 bytes
  add({0, 0, 1, 0xB5});                                         // extension without identifier
  add({0, 0, 1});                                               // a start code with nothing after it
  add({0, 0, 1, 0xB7, 0x00, 0x00, 0x00});
  auto kwi = index_bytes("short_units.m2v", d);
  EXPECT_EQ(mpgt::frm_types(mpgt::frm_lines(kwi)), "I");
  EXPECT_EQ(mpgt::values_of(kwi, "CODED"), std::vector<long long>{1});
  EXPECT_EQ(mpgt::line_of(kwi, "SIZE"), "SIZE 320 x 240 ");
  EXPECT_EQ(mpgt::values_of(kwi, "SEQ").size(), 1u);

  // Every truncation of a small valid stream behind 64 bytes of leading
  // garbage (inputs under 64 bytes are refused before any analysis): exit 0
  // and a complete trailer.
  Sequence small;
  StreamBuilder b(small);
  b.sequence_header();
  b.gop(0);
  b.picture(pic(1, 2, 1));
  b.picture(pic(2, 2, 2));
  b.picture(pic(3, 0, 3, 1));
  std::vector<uint8_t> whole = b.bytes();
  whole.insert(whole.begin(), 64, 0xFF);
  // Every byte through the first picture's headers, then every seventh.
  for (size_t n = 64 + 5; n <= whole.size(); n += n < 64 + 50 ? 1 : 7) {
    SCOPED_TRACE("cut at " + std::to_string(n));
    tu::RunResult r;
    auto k = index_bytes("cut.m2v", std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(n)), &r);
    if (r.status != 0) continue;  // reported by index_bytes
    ASSERT_EQ(mpgt::values_of(k, "ORDER").size(), 1u);
    EXPECT_LE(mpgt::values_of(k, "CODED")[0], 2);
  }
}

// Units are interpreted only in their place: nothing before the first
// sequence header, a sequence extension only right after its sequence
// header, a picture coding extension only right after its picture header.
TEST(MpegSynthetic, ExtensionsOnlyInTheirPlace) {
  Sequence s;
  StreamBuilder pre(s);
  pre.gop(1);
  pre.picture(pic(1, 0, 3, 1));       // before any sequence header
  StreamBuilder b(s);
  b.sequence_header();
  b.gop(1);
  b.picture(pic(1, 0, 3, 1));
  std::vector<uint8_t> d = pre.bytes();
  std::vector<uint8_t> main_part = b.bytes();
  d.insert(d.end(), main_part.begin(), main_part.end());
  // A picture header, then user data, then a picture coding extension.
  StreamBuilder p2(s);
  p2.picture(pic(2, 1, 3, 1));
  std::vector<uint8_t> p = p2.bytes();
  size_t ext = 0;
  for (size_t i = 4; i + 3 < p.size(); i++)
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && p[i + 3] == 0xB5) {
      ext = i;
      break;
    }
  ASSERT_NE(ext, 0u);
  std::vector<uint8_t> user = {0, 0, 1, 0xB2, 'x', 'y', 'z'};
  p.insert(p.begin() + static_cast<long>(ext), user.begin(), user.end());
  d.insert(d.end(), p.begin(), p.end());
  auto kwi = index_bytes("places.m2v", d);
  EXPECT_EQ(mpgt::frm_types(mpgt::frm_lines(kwi)), "I");
  EXPECT_EQ(mpgt::values_of(kwi, "CODED"), std::vector<long long>{1});
  EXPECT_EQ(mpgt::values_of(kwi, "GOP"), std::vector<long long>{1});
}

// Garbage: random bytes after a valid sequence header, seeded so a failure
// can be replayed. Start codes with random values and random payloads reach
// every header parser.
TEST(MpegSynthetic, GarbageAfterAValidHeader) {
  Sequence s;
  StreamBuilder b(s);
  b.sequence_header();
  const std::vector<uint8_t> head = b.bytes();
  uint32_t seed = 12345;
  auto rnd = [&]() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  for (int round = 0; round < 12; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<uint8_t> d = head;
    const uint8_t codes[] = {0x00, 0xB3, 0xB5, 0xB8, 0x01, 0xB7, 0xB2};
    for (int u = 0; u < 400; u++) {
      uint8_t code = codes[rnd() % 7];
      // A sequence header is always followed by an extension, or the codec
      // probe would refuse the stream as MPEG-1 video.
      for (uint8_t c : {code, uint8_t(0xB5)}) {
        d.insert(d.end(), {0, 0, 1, c});
        int len = static_cast<int>(rnd() % 12);
        for (int i = 0; i < len; i++) d.push_back(static_cast<uint8_t>(rnd()));
        if (code != 0xB3) break;
      }
    }
    tu::RunResult r;
    auto kwi = index_bytes("garbage.m2v", d, &r);
    if (r.status != 0) continue;  // no picture to decode from: checked by index_bytes
    EXPECT_EQ(mpgt::values_of(kwi, "ORDER").size(), 1u) << r.out;
    // Every FRM line is well formed: a letter I, P or B and a valid structure.
    for (const mpgt::Frm& f : mpgt::frm_lines(kwi)) {
      EXPECT_NE(std::string("IPB").find(f.type), std::string::npos);
      EXPECT_GE(f.structure, 1);
      EXPECT_LE(f.structure, 3);
    }
  }
}

// Matroska and MP4 hold a frame or a field pair per block or sample. They are
// read only as far as their first bytes where those end in the first slice
// of a frame picture: never a field pair, whose second field follows the
// first one's slices (lost, it would make the next pair's first field of
// that parity a second field), nor a frame whose first slice lies further
// in (behind a long user data unit).
TEST(MpegSynthetic, MatroskaAndMp4FramesReadInPart) {
  Sequence s;
  s.width = 1024;  // fields of several KB
  s.height = 768;
  StreamBuilder b(s);
  for (int g = 0; g < 2; g++) {
    b.sequence_header();
    b.gop(1);
    b.picture(pic(1, 0));
    b.picture(pic(2, 3, 1));
    b.picture(pic(2, 3, 2));
    b.picture(pic(3, 1, 2));
    b.picture(pic(3, 1, 1));
    b.user_data(6000);
    b.picture(pic(3, 2, 3, 1));
  }
  b.sequence_end();
  const std::string es = tu::scratch("parts.m2v");
  tu::write_file(es, b.bytes());
  const std::vector<std::string> group = {"I 3 0 0 0", "B 2 0 0 0", "B 3 1 0 0", "P 1 0 0 0"};
  std::vector<std::string> want = group;
  want.insert(want.end(), group.begin(), group.end());
  ASSERT_EQ(frm_texts(mpgt::index_file(es, es + ".kwi")), want);
  const std::pair<const char*, const char*> forms[] = {
      {"parts.mm.mkv", "mkvmerge -q -o OUT ES"},
      {"parts.ff.mkv", "mkvmerge -q -o OUT.src.mkv ES && ffmpeg -v error -y -i OUT.src.mkv -c copy OUT"},
      {"parts.mp4", "mkvmerge -q -o OUT.src.mkv ES && ffmpeg -v error -y -i OUT.src.mkv -c copy OUT"}};
  for (const auto& [name, make] : forms) {
    SCOPED_TRACE(name);
    const std::string out = tu::scratch(name);
    const std::string cmd = timed::Replace(timed::Replace(make, "OUT", tu::q(out)), "ES", tu::q(es));
    ASSERT_EQ(tu::run(cmd + " 2>&1").status, 0) << cmd;
    auto kwi = mpgt::index_file(out, out + ".kwi");
    EXPECT_EQ(frm_texts(kwi), want);
    EXPECT_EQ(mpgt::values_of(kwi, "CODED"), std::vector<long long>{8});
  }
}
