#include "decodecheck.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include <gtest/gtest.h>

#include "plugintest.h"
#include "testutil.h"

namespace dc {

const char kSmall[] = "-s 160x128 ";

const vshost::Plugin* Cpu() { return vshost::Load(PEMMICK_CPU_SO); }

std::unique_ptr<vshost::Clip> Open(const std::string& kwi, vshost::Args a) {
  a.set("source", kwi);
  return vshost::Invoke(Cpu(), "KWSource", a);
}

// The test pattern is RGB: without a pixel format the encoders keep 4:4:4,
// which the decoder does not take.
bool H264(const std::string& path, int frames, const std::string& extra) {
  return pt::MakeH264(path, frames, "-pix_fmt yuv420p " + extra);
}
bool Hevc(const std::string& path, int frames, const std::string& extra, const std::string& pix_fmt) {
  return pt::MakeHevc(path, frames, "-pix_fmt " + pix_fmt + " " + extra);
}

bool LargePictures(const std::string& path, int frames) {
  return tu::ffmpeg("-f lavfi -i color=c=gray:s=2880x1620:r=25,format=yuv420p,noise=alls=100:allf=t+u -frames:v " +
                    std::to_string(frames) + " -c:v libx264 -preset ultrafast -qp 0 -g 2 -bf 0 " + tu::q(path));
}

std::vector<uint64_t> PacketSizes(const std::string& path) {
  const tu::RunResult r =
      tu::run("ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 " + tu::q(path));
  EXPECT_EQ(r.status, 0) << path << ": " << r.out;
  std::vector<uint64_t> sizes;
  for (const std::string& l : tu::lines(r.out))
    if (!l.empty()) sizes.push_back(std::stoull(l));
  return sizes;
}

std::string Dir() {
  const std::string d = tu::scratch("decode-" + std::to_string(getpid()));
  tu::run("mkdir -p " + tu::q(d));
  return d + "/";
}

// The frames of a straight ffmpeg decode, planar 4:2:0 (8-bit or 16-bit
// little-endian samples), as the host's frames hold them.
std::vector<std::vector<uint8_t>> Reference(const std::string& input, int w, int h, bool deep,
                                            const std::string& filter) {
  const std::string raw = input + (deep ? ".ref16.yuv" : ".ref.yuv");
  std::vector<std::vector<uint8_t>> frames;
  if (!tu::ffmpeg("-i " + tu::q(input) + " " + filter + " -f rawvideo -pix_fmt " +
                  (deep ? "yuv420p10le" : "yuv420p") + " " + tu::q(raw)))
    return frames;
  const std::vector<uint8_t> all = tu::read_file(raw);
  const size_t bps = deep ? 2 : 1;
  const size_t size = (size_t(w) * h + 2 * size_t(w / 2) * (h / 2)) * bps;
  for (size_t at = 0; at + size <= all.size(); at += size)
    frames.emplace_back(all.begin() + at, all.begin() + at + size);
  return frames;
}

// A host frame as one buffer of its three planes.
std::vector<uint8_t> Flat(const vshost::Frame& f) {
  std::vector<uint8_t> v;
  for (const auto& p : f.planes) v.insert(v.end(), p.begin(), p.end());
  return v;
}

// 10-bit reference samples as the plugin's 16-bit frames hold them (value
// in the high bits).
std::vector<uint8_t> Shift10(const std::vector<uint8_t>& ref) {
  std::vector<uint8_t> v(ref.size());
  for (size_t i = 0; i + 1 < ref.size(); i += 2) {
    const unsigned s = (ref[i] | (ref[i + 1] << 8)) << 6;
    v[i] = s & 0xFF;
    v[i + 1] = s >> 8;
  }
  return v;
}

std::vector<std::vector<uint8_t>> InOrder(vshost::Clip& clip) {
  std::vector<std::vector<uint8_t>> out;
  for (int n = 0; n < clip.vi().numFrames; ++n) {
    const vshost::Frame f = clip.getFrame(n);
    EXPECT_TRUE(f.ok) << "frame " << n << ": " << f.error;
    out.push_back(Flat(f));
  }
  return out;
}

// Which in-order frame a delivered frame equals, or -1.
int Which(const std::vector<std::vector<uint8_t>>& frames, const std::vector<uint8_t>& f) {
  for (size_t i = 0; i < frames.size(); ++i)
    if (frames[i] == f) return static_cast<int>(i);
  return -1;
}

// Which in-order frame has the same rows of one parity (0 top, 1 bottom) in
// every plane of an 8-bit 4:2:0 frame, or -1.
int WhichField(const std::vector<std::vector<uint8_t>>& frames, const std::vector<uint8_t>& f, int w,
               int h, int parity) {
  for (size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].size() != f.size()) continue;
    bool same = true;
    size_t at = 0;
    for (int plane = 0; plane < 3 && same; ++plane) {
      const int pw = plane ? w / 2 : w, ph = plane ? h / 2 : h;
      for (int y = 0; y < ph && same; ++y, at += size_t(pw))
        if ((y & 1) == parity)
          same = std::equal(f.begin() + long(at), f.begin() + long(at + size_t(pw)), frames[i].begin() + long(at));
    }
    if (same) return static_cast<int>(i);
  }
  return -1;
}

// Every frame of `ordered` (the first frames of the clip, or all) once, in a
// random permutation, against the in-order frames; only the first `count`
// requests of the permutation where seeks are slow.
void ExpectSeeksMatch(vshost::Clip& clip, const std::vector<std::vector<uint8_t>>& ordered,
                      unsigned seed, const std::string& what, size_t count) {
  std::vector<int> order(std::min(ordered.size(), static_cast<size_t>(clip.vi().numFrames)));
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::mt19937 rng(seed);
  std::shuffle(order.begin(), order.end(), rng);
  if (order.size() > count) order.resize(count);
  int bad = 0;
  for (int n : order) {
    const vshost::Frame f = clip.getFrame(n);
    ASSERT_TRUE(f.ok) << what << ": frame " << n << ": " << f.error;
    const std::vector<uint8_t> got = Flat(f);
    if (got != ordered[static_cast<size_t>(n)] && ++bad <= 5)
      ADD_FAILURE() << what << ": requested " << n << ", got " << Which(ordered, got)
                    << " (-1: no frame of the in-order run); its top field is that of frame "
                    << WhichField(ordered, got, f.width, f.height, 0) << ", its bottom field that of "
                    << WhichField(ordered, got, f.width, f.height, 1);
  }
  EXPECT_EQ(bad, 0) << what << ": frames differing after seeks";
}

std::vector<int> OwnPictureOrFailure(vshost::Clip& clip, const std::vector<std::vector<uint8_t>>& want,
                                     unsigned seed, const std::string& what) {
  std::vector<int> order(static_cast<size_t>(clip.vi().numFrames));
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::mt19937 rng(seed);
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<int> failed;
  int other = 0;
  for (int n : order) {
    const vshost::Frame f = clip.getFrame(n);
    if (!f.ok) {
      failed.push_back(n);
      continue;
    }
    const std::vector<uint8_t> got = Flat(f);
    if (static_cast<size_t>(n) < want.size() && got == want[static_cast<size_t>(n)]) continue;
    if (++other <= 5)
      ADD_FAILURE() << what << ": requested " << n << ", served the picture of frame " << Which(want, got)
                    << " (-1: of none)";
  }
  EXPECT_EQ(other, 0) << what << ": requests served with another frame's picture";
  std::sort(failed.begin(), failed.end());
  return failed;
}


bool HasLostSlots(const std::string& kwi) {
  for (const std::string& l : tu::lines(tu::read_text(kwi))) {
    const size_t colon = l.find(':');
    if (colon != std::string::npos && colon > 0 && l.find_first_not_of("0123456789") == colon &&
        l.compare(colon, std::string::npos, ":LOST") == 0)
      return true;
  }
  return false;
}

std::string WithDamage(const std::string& kwi, const std::vector<uint64_t>& damage, const std::vector<int>& lost,
                       const std::string& out) {
  const std::string text = tu::read_text(kwi);
  const bool has_damage = text.find("\nDAMAGE ") != std::string::npos;
  const bool has_lost = HasLostSlots(kwi);
  std::string result;
  int shift = 0;
  size_t next_lost = 0;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    const size_t colon = line.find(':');
    const bool picture = colon != std::string::npos && colon > 0 && line.find_first_not_of("0123456789") == colon;
    if (picture && !has_lost) {
      const int k = std::stoi(line.substr(0, colon));
      while (next_lost < lost.size() && lost[next_lost] <= k + shift) {
        result += std::to_string(lost[next_lost]) + ":LOST\n";
        ++shift;
        ++next_lost;
      }
      line = std::to_string(k + shift) + line.substr(colon);
    }
    if (line.rfind("SIZE ", 0) == 0 && !has_damage)
      for (uint64_t d : damage) result += "DAMAGE " + std::to_string(d) + "\n";
    result += line;
    if (end < text.size()) result += "\n";
    begin = end + 1;
  }
  pt::WriteText(out, result);
  return out;
}

void CheckDamaged(const std::string& kwi, const std::string& damaged, const std::vector<std::vector<uint8_t>>& intact,
                  int w, int h, size_t frames_at_least, unsigned seed, const std::string& what,
                  bool every_clean, const std::vector<size_t>& excused) {
  // ffmpeg may drop or add pictures at the damage: a picture counts as clean
  // where the damaged copy's decode holds it unchanged (the testsrc pattern
  // differs in every picture).
  const auto decoded = Reference(damaged, w, h, false, "-vsync passthrough");
  std::vector<bool> clean(intact.size(), false);
  {
    std::map<std::string, std::vector<size_t>> where;
    for (size_t i = 0; i < intact.size(); ++i)
      where[std::string(intact[i].begin(), intact[i].end())].push_back(i);
    for (const auto& d : decoded) {
      const auto it = where.find(std::string(d.begin(), d.end()));
      if (it != where.end() && it->second.size() == 1) clean[it->second[0]] = true;
    }
    for (size_t m : excused)
      if (m < clean.size()) clean[m] = false;
  }
  // With lost slots in the index every picture keeps the recording's slot.
  const bool slots = HasLostSlots(kwi);
  auto clip = Open(kwi);
  ASSERT_TRUE(clip->ok()) << what << ": " << clip->error();
  const size_t frames = static_cast<size_t>(clip->vi().numFrames);
  EXPECT_LE(frames, intact.size()) << what << ": frames against the intact file's pictures";
  EXPECT_GE(frames, frames_at_least) << what << ": frames against the intact file's pictures";
  const size_t lost = slots || intact.size() <= frames ? 0 : intact.size() - frames;
  auto missing_of = [](const vshost::Frame& f) {
    const auto it = f.intProps.find("KWMissing");
    return it != f.intProps.end() && it->second == 1;
  };
  // In order: no request fails; the intact picture each frame is (-1 none).
  std::vector<int> is(frames, -1);
  std::vector<std::vector<uint8_t>> ordered(frames);
  std::vector<bool> missing(frames, false), served(intact.size(), false);
  int last = -1, bad = 0, failed = 0;
  for (size_t n = 0; n < frames; ++n) {
    const vshost::Frame f = clip->getFrame(int(n));
    if (!f.ok) {
      if (++failed <= 5) ADD_FAILURE() << what << ": in order, frame " << n << " failed: " << f.error;
      continue;
    }
    ordered[n] = Flat(f);
    missing[n] = missing_of(f);
    if (missing[n]) continue;
    const int j = Which(intact, ordered[n]);
    is[n] = j;
    if (j < 0) continue;
    const bool in_place = slots ? size_t(j) == n : size_t(j) >= n && size_t(j) <= n + lost && j > last;
    // The decoder's concealment of this frame's picture, as ffmpeg's.
    const bool concealed = !in_place && decoded.size() == frames && ordered[n] == decoded[n];
    if (concealed) continue;
    if (!in_place && ++bad <= 5)
      ADD_FAILURE() << what << ": in order, frame " << n << " is the intact picture " << j << " (after " << last
                    << ", " << lost << " lost) and carries no KWMissing";
    last = std::max(last, j);
    if (in_place) served[size_t(j)] = true;
  }
  EXPECT_EQ(failed, 0) << what << ": requests in order that failed";
  EXPECT_EQ(bad, 0) << what << ": frames in order that are another frame's picture";
  // A frame without a picture of its own shows that of the nearest frame
  // before it that has one (at the start, the first picture shown).
  int stand_ins = 0;
  for (size_t n = 0; n < frames; ++n) {
    if (!missing[n]) continue;
    long k = long(n) - 1;
    while (k >= 0 && missing[size_t(k)]) --k;
    if (k < 0) {
      k = long(n) + 1;
      while (size_t(k) < frames && missing[size_t(k)]) ++k;
    }
    if (k >= 0 && size_t(k) < frames && ordered[n] != ordered[size_t(k)] && ++stand_ins <= 5)
      ADD_FAILURE() << what << ": frame " << n << " carries KWMissing but is not the picture of frame " << k;
  }
  EXPECT_EQ(stand_ins, 0) << what << ": frames without a picture that show another than the one before";
  int absent = 0;
  for (size_t m = 0; m < intact.size(); ++m)
    if (every_clean && clean[m] && !served[m] && ++absent <= 5)
      ADD_FAILURE() << what << ": ffmpeg decodes picture " << m << " as in the intact file; in order no frame"
                    << (slots ? " in its slot" : "") << " is it";
  EXPECT_EQ(absent, 0) << what << ": clean pictures not served in order";

  // In a random order on one instance, then a few frames each on a fresh
  // one: every frame as in order, KWMissing included.
  std::vector<int> order(frames);
  for (size_t i = 0; i < frames; ++i) order[i] = int(i);
  std::shuffle(order.begin(), order.end(), std::mt19937(seed));
  // 60 random requests and 4 fresh instances keep it short under the
  // sanitizers.
  if (order.size() > 60) order.resize(60);
  auto again = Open(kwi);
  ASSERT_TRUE(again->ok());
  const size_t fresh = 4;
  int other = 0;
  for (size_t k = 0; k < order.size() + fresh; ++k) {
    const int n = order[k % order.size()];
    std::unique_ptr<vshost::Clip> own;
    if (k >= order.size()) {
      own = Open(kwi);
      ASSERT_TRUE(own->ok());
    }
    const vshost::Frame f = (own ? *own : *again).getFrame(n);
    const std::string how = k >= order.size() ? " on a fresh instance" : " in a random order";
    if (!f.ok) {
      if (++other <= 5) ADD_FAILURE() << what << how << ": frame " << n << " failed: " << f.error;
      continue;
    }
    const std::vector<uint8_t> got = Flat(f);
    if ((got != ordered[size_t(n)] || missing_of(f) != missing[size_t(n)]) && ++other <= 5)
      ADD_FAILURE() << what << how << ": frame " << n << " is the intact picture " << Which(intact, got)
                    << (missing_of(f) ? " (KWMissing)" : "") << ", in order " << is[size_t(n)]
                    << (missing[size_t(n)] ? " (KWMissing)" : "");
  }
  EXPECT_EQ(other, 0) << what << ": frames served otherwise than in order";
}

// The in-order run equals ffmpeg's decode of the file, and seeks equal the
// in-order run.
void CheckStream(const Stream& s, bool compare_with_ffmpeg, unsigned seed) {
  auto clip = Open(s.kwi);
  ASSERT_TRUE(clip->ok()) << s.name << ": " << clip->error();
  const std::vector<std::vector<uint8_t>> ordered = InOrder(*clip);
  if (compare_with_ffmpeg) {
    auto ref = Reference(s.input, clip->vi().width, clip->vi().height, s.deep, "-vsync passthrough");
    ASSERT_EQ(ref.size(), ordered.size()) << s.name << ": frame count against ffmpeg";
    for (size_t n = 0; n < ref.size(); ++n) {
      const std::vector<uint8_t> want = s.deep ? Shift10(ref[n]) : ref[n];
      EXPECT_TRUE(want == ordered[n]) << s.name << ": requested " << n << ", got ffmpeg frame "
                                      << Which(s.deep ? std::vector<std::vector<uint8_t>>{} : ref,
                                               ordered[n]);
    }
  }
  // A fresh instance, so that its first request is a seek too.
  auto again = Open(s.kwi);
  ASSERT_TRUE(again->ok());
  ExpectSeeksMatch(*again, ordered, seed, s.name);
}

// Indexes a stream as an encoder wrote it. Streams in containers are encoded
// straight into the container: a raw stream with B pictures has no
// timestamps for a remux.
Stream Indexed(const std::string& name, const std::string& input, bool deep) {
  Stream s;
  s.name = name;
  s.deep = deep;
  s.input = input;
  s.kwi = pt::Index(tu::q(input), input + ".kwi");
  return s;
}

// The pictures of each display frame by a field model of ffprobe's view:
// every picture in display order gives its fields, alternating in parity
// from the first (top when top_field_first), two fields, three with a
// repeated field (repeat_pict 1), four or six when the picture is doubled
// or tripled (2, 4); consecutive fields pair into frames.
std::vector<FramePictures> FieldModel(const std::vector<std::map<std::string, std::string>>& probe) {
  std::vector<std::pair<int, int>> fields;  // picture, parity (0 top)
  for (size_t p = 0; p < probe.size(); ++p) {
    const int rp = std::stoi(probe[p].at("repeat_pict"));
    const int count = rp == 1 ? 3 : rp == 2 ? 4 : rp == 4 ? 6 : 2;
    int parity = probe[p].at("top_field_first") == "1" ? 0 : 1;
    for (int k = 0; k < count; ++k, parity ^= 1) fields.emplace_back(static_cast<int>(p), parity);
  }
  std::vector<FramePictures> frames;
  for (size_t f = 0; f + 1 < fields.size(); f += 2) {
    FramePictures fp = {-1, -1};
    for (size_t k = f; k < f + 2; ++k) (fields[k].second == 0 ? fp.top : fp.bottom) = fields[k].first;
    frames.push_back(fp);
  }
  return frames;
}

// Rows of one parity of a flat 4:2:0 frame (8-bit) from two pictures: even
// rows of every plane from `top`, odd rows from `bottom`.
std::vector<uint8_t> Weave(const std::vector<uint8_t>& top, const std::vector<uint8_t>& bottom, int w,
                           int h) {
  std::vector<uint8_t> out(top.size());
  size_t at = 0;
  for (int plane = 0; plane < 3; ++plane) {
    const int pw = plane ? w / 2 : w, ph = plane ? h / 2 : h;
    for (int y = 0; y < ph; ++y, at += size_t(pw)) {
      const std::vector<uint8_t>& src = (y & 1) ? bottom : top;
      std::copy(src.begin() + long(at), src.begin() + long(at + size_t(pw)), out.begin() + long(at));
    }
  }
  return out;
}

// Soft pulldown: fieldop 0 weaves every display frame from the pictures of
// the field model, types and seeks included; fieldop 2 shows each picture
// once, as ffmpeg decodes it; fieldop 1 makes film of the 3:2 cadence.
void CheckPulldown(const std::string& name, const std::string& input, int w, int h) {
  const std::string kwi = pt::Index(tu::q(input), input + ".kwi");
  ASSERT_FALSE(kwi.empty());
  const auto probe = tu::ffprobe_frames(input);
  const auto ref = Reference(input, w, h, false, "-vsync passthrough");
  ASSERT_EQ(ref.size(), probe.size()) << name;
  const std::vector<FramePictures> model = FieldModel(probe);

  auto clip = Open(kwi);
  ASSERT_TRUE(clip->ok()) << name << ": " << clip->error();
  ASSERT_EQ(static_cast<size_t>(clip->vi().numFrames), model.size()) << name << ": display frames";
  std::vector<std::vector<uint8_t>> ordered;
  for (int n = 0; n < clip->vi().numFrames; ++n) {
    const vshost::Frame f = clip->getFrame(n);
    ASSERT_TRUE(f.ok) << name << ": frame " << n << ": " << f.error;
    ordered.push_back(Flat(f));
    const FramePictures m = model[size_t(n)];
    EXPECT_TRUE(ordered.back() == Weave(ref[size_t(m.top)], ref[size_t(m.bottom)], w, h))
        << name << ": requested " << n << ", want top field of picture " << m.top
        << " and bottom field of picture " << m.bottom;
    // The type of the picture that supplies the top field.
    EXPECT_EQ(f.dataProps.at("_PictType"), probe[size_t(m.top)].at("pict_type"))
        << name << ": type of frame " << n;
    EXPECT_EQ(f.intProps.at("_FieldBased"), 2) << name << ": ORDER 1, top field first";
  }
  auto again = Open(kwi);
  ExpectSeeksMatch(*again, ordered, 41, name + " fieldop 0");

  for (int op : {2, 1}) {
    vshost::Args a;
    a.set("fieldop", op);
    auto pictures = Open(kwi, a);
    ASSERT_TRUE(pictures->ok()) << name << ": " << pictures->error();
    // Film: 30000/1001 becomes 24000/1001; ignoring pulldown keeps the rate.
    EXPECT_EQ(pictures->vi().fpsNum, op == 1 ? 24000 : 30000) << name << ": fieldop " << op;
    EXPECT_EQ(pictures->vi().fpsDen, 1001);
    const auto frames = InOrder(*pictures);
    ASSERT_EQ(frames.size(), ref.size()) << name << ": fieldop " << op;
    for (size_t n = 0; n < ref.size(); ++n)
      EXPECT_TRUE(frames[n] == ref[n]) << name << ": fieldop " << op << ": requested " << n
                                       << ", got ffmpeg picture " << Which(ref, frames[n]);
    auto seeking = Open(kwi, a);
    ExpectSeeksMatch(*seeking, frames, 43 + op, name + " fieldop " + std::to_string(op), 12);
  }
}

// The VC-1 sample: 1920 x 1080 with pulldown flags, a sequence header and
// entry point before every picture, open groups (broken_link 0) whose
// leading B pictures follow skipped P pictures. Few requests: the first
// groups of the elementary stream in order.
bool Vc1Sample::Load() {
  const std::string dir = std::string(SHARED_TESTDATA) + "/vc1/";
  const std::string es = dir + "vc1_ap_1080_pulldown.vc1", m2ts = dir + "vc1_ap_1080_pulldown.m2ts";
  if (!tu::exists(es) || !tu::exists(m2ts)) return false;
  kwi = pt::Index(tu::q(es), Dir() + "vc1.kwi");
  m2ts_kwi = pt::Index(tu::q(m2ts), Dir() + "vc1m2ts.kwi");
  auto clip = Open(kwi);
  EXPECT_TRUE(clip->ok()) << clip->error();
  if (!clip->ok() || clip->vi().numFrames <= 30) return false;
  for (int n = 0; n < 30; ++n) {
    const vshost::Frame f = clip->getFrame(n);
    EXPECT_TRUE(f.ok) << "frame " << n << ": " << f.error;
    ordered.push_back(Flat(f));
    // Skipped pictures (type 2) read "U".
    EXPECT_NE(std::string("IPBU").find(f.dataProps.at("_PictType")), std::string::npos) << n;
  }
  return true;
}

std::string Retarget(const std::string& kwi, const std::string& from, const std::string& to, const std::string& out) {
  std::string text = tu::read_text(kwi);
  const std::string line = from + " " + std::to_string(tu::read_file(from).size());
  const size_t at = text.find(line);
  EXPECT_NE(at, std::string::npos) << kwi;
  if (at != std::string::npos) text.replace(at, line.size(), to + " " + std::to_string(tu::read_file(to).size()));
  pt::WriteText(out, text);
  return out;
}

}  // namespace dc
