#include "damage.h"

#include <algorithm>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "decodecheck.h"
#include "plugintest.h"
#include "testutil.h"

namespace dc {

int VideoPid(const std::vector<uint8_t>& bytes) {
  std::map<int, int> per_pid;
  for (size_t p = 0; p + 188 <= bytes.size(); p += 188) ++per_pid[(bytes[p + 1] & 0x1F) << 8 | bytes[p + 2]];
  return std::max_element(per_pid.begin(), per_pid.end(), [](const auto& x, const auto& y) { return x.second < y.second; })
      ->first;
}
int PidOf(const std::vector<uint8_t>& bytes, size_t p) { return (bytes[p + 1] & 0x1F) << 8 | bytes[p + 2]; }

void PrintTo(const DamagedTs& s, std::ostream* os) { *os << s.name; }

const std::vector<DamagedTs>& DamagedTsStreams() {
  static const std::vector<DamagedTs> streams = {
      {"AVC_IDR", "k40.ts",
       [](const std::string& path) {
         return H264(path, 120, "-s 176x144 -x264-params keyint=40:min-keyint=40:scenecut=0:bframes=3 -f mpegts");
       }},
      {"AVC_x264", "x264.ts", [](const std::string& path) { return H264(path, 120, "-s 176x144 -f mpegts"); }},
      {"AVC_open", "open.ts",
       [](const std::string& path) {
         return H264(path, 120,
                     "-s 176x144 -x264-params open-gop=1:keyint=24:min-keyint=24:scenecut=0:bframes=3:"
                     "b-adapt=0:b-pyramid=none -f mpegts");
       }},
      {"MPEG2", "g12.ts", [](const std::string& path) { return pt::MakeMpeg2(path, 120, "-s 176x144 -f mpegts"); }},
      {"HEVC", "k20.ts",
       [](const std::string& path) {
         return Hevc(path, 120, "-s 176x144 -x265-params log-level=error:keyint=20:min-keyint=20:bframes=3 -f mpegts");
       }},
  };
  return streams;
}

std::vector<uint8_t> DropPackets(const std::vector<uint8_t>& bytes, int pid, size_t from, int count) {
  std::vector<uint8_t> b;
  b.reserve(bytes.size());
  bool in = false;
  int dropped = 0;
  for (size_t p = 0; p + 188 <= bytes.size(); p += 188) {
    if (PidOf(bytes, p) == pid) {
      if (p == from) in = true;
      else if (in && (count < 0 ? (bytes[p + 1] & 0x40) != 0 : dropped >= count)) in = false;
      if (in) {
        ++dropped;
        continue;
      }
    }
    b.insert(b.end(), bytes.begin() + long(p), bytes.begin() + long(p + 188));
  }
  return b;
}

void TsDamagedCopies(const std::string& ts, std::vector<DamagedCopy>* out) {
  const std::vector<uint8_t> bytes = tu::read_file(ts);
  const int video = VideoPid(bytes);
  const size_t at = bytes.size() * 2 / 5 / 188 * 188;
  const struct {
    const char* name;
    int dropped;
    bool from_start;
    char lost;
  } cases[] = {{"1 packet dropped", 1, false, 0},
               {"5 packets dropped", 5, false, 0},
               {"50 packets dropped", 50, false, 0},
               {"4 KB zeroed", 0, false, 0},
               {"the first 2 packets of a picture dropped", 2, true, 0},
               {"the first 6 packets of a picture dropped", 6, true, 0},
               {"a B picture lost", 0, true, 'B'},
               {"a P picture lost", 0, true, 'P'},
               {"an I picture lost", 0, true, 'I'},
               {"the P picture that ends a group lost, and the start of the picture after it", 0, true, 'E'}};
  const auto probed = tu::ffprobe_frames(ts);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> b;
    uint64_t after = 0;
    int lost_slot = -1;
    if (c.lost) {
      // The packets of the picture's PES packet: from the one ffprobe gives
      // as its position to the next that starts a PES packet of the video.
      auto position = [](const std::map<std::string, std::string>& f, const char* type) -> size_t {
        const auto t = f.find("pict_type"), pos = f.find("pkt_pos");
        return t == f.end() || pos == f.end() || t->second != type ? 0 : size_t(std::stoull(pos->second));
      };
      size_t from = 0;
      for (size_t i = 0; i < probed.size(); ++i) {
        const size_t p = position(probed[i], c.lost == 'E' ? "I" : std::string(1, c.lost).c_str());
        if (p >= at) {
          from = p;
          lost_slot = int(i);
          break;
        }
      }
      if (c.lost == 'E') {
        const size_t intra = from;
        from = 0;
        for (const auto& f : probed)
          if (position(f, "P") < intra) from = std::max(from, position(f, "P"));
        lost_slot = -1;
      }
      ASSERT_GT(from, 0u) << "no " << c.lost << " picture after " << at;
      bool in = false;
      int starts = 0;  // PES packets begun since `from`
      for (size_t p = 0; p + 188 <= bytes.size(); p += 188) {
        if (PidOf(bytes, p) == video) {
          if (p == from) in = true;
          else if (in && (bytes[p + 1] & 0x40) && ++starts > (c.lost == 'E' ? 1 : 0)) in = false;
          if (in && c.lost == 'E' && starts == 1 && !(bytes[p + 1] & 0x40)) in = false;
          if (in) {
            if (after == 0) after = b.size();
            continue;
          }
        }
        b.insert(b.end(), bytes.begin() + long(p), bytes.begin() + long(p + 188));
      }
      ASSERT_LT(b.size(), bytes.size()) << "no packet at " << from;
    } else if (c.dropped == 0) {
      b = bytes;
      std::fill(b.begin() + long(at), b.begin() + long(at + 4096), 0);
      after = at + 4096;
    } else {
      int dropped = 0;
      bool started = !c.from_start;
      for (size_t p = 0; p + 188 <= bytes.size(); p += 188) {
        if (p >= at && PidOf(bytes, p) == video && (bytes[p + 1] & 0x40)) started = true;
        if (p >= at && started && dropped < c.dropped && PidOf(bytes, p) == video) {
          if (dropped++ == 0) after = b.size();
          continue;
        }
        b.insert(b.end(), bytes.begin() + long(p), bytes.begin() + long(p + 188));
      }
    }
    const std::string damaged =
        ts + "_" + std::to_string(c.dropped) + (c.from_start ? "s" : "") + (c.lost ? std::string(1, c.lost) : "") + ".ts";
    tu::write_file(damaged, b);
    out->push_back({c.name, damaged, c.dropped, c.from_start, c.lost, after, lost_slot});
  }
}

size_t PacketFrom(const std::vector<uint8_t>& bytes, int pid, size_t at) {
  for (size_t p = at / 188 * 188; p + 188 <= bytes.size(); p += 188)
    if (PidOf(bytes, p) == pid) return p;
  return bytes.size();
}

void PrintTo(const InterlacedDamage& d, std::ostream* os) { *os << d.name; }

const std::vector<InterlacedDamage>& InterlacedDamageCases() {
  static const std::vector<InterlacedDamage> cases = {
      {"MBAFF_IntraZeroed", "mbaff_z.ts", 352, 288, 120,
       "-frames:v 120 -pix_fmt yuv420p -c:v libx264 -bf 3 -qp 8 "
       "-x264-params interlaced=1:tff=1:keyint=25:min-keyint=25:scenecut=0 -f mpegts",
       3, true},
      {"MBAFF_LastIdrLostPackets", "mbaff_l.ts", 176, 144, 120,
       "-frames:v 120 -pix_fmt yuv420p -c:v libx264 -bf 3 -qp 8 "
       "-x264-params interlaced=1:tff=1:keyint=25:min-keyint=25:scenecut=0 -f mpegts",
       -1, false},
      {"HEVC_LastCraLostPackets", "cra_l.ts", 176, 144, 250,
       "-frames:v 250 -pix_fmt yuv420p -c:v libx265 "
       "-x265-params log-level=error:keyint=25:min-keyint=25:scenecut=0:bframes=3 -f mpegts",
       -1, false},
  };
  return cases;
}

void MakeInterlacedDamage(const InterlacedDamage& d, const std::string& dir, std::vector<std::vector<uint8_t>>* intact,
                          std::string* damaged, std::string* what) {
  const std::string ts = dir + d.file;
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc2=size=" + std::to_string(d.width) + "x" + std::to_string(d.height) +
                         ":rate=25 " + d.encode + " " + tu::q(ts)));
  *intact = Reference(ts, d.width, d.height, false, "-vsync passthrough");
  ASSERT_EQ(intact->size(), size_t(d.frames));
  std::vector<size_t> keys;
  for (const auto& f : tu::ffprobe_frames(ts)) {
    const auto key = f.find("key_frame"), pos = f.find("pkt_pos");
    if (key != f.end() && key->second == "1" && pos != f.end() && pos->second != "N/A")
      keys.push_back(size_t(std::stoull(pos->second)));
  }
  std::sort(keys.begin(), keys.end());
  ASSERT_GT(keys.size(), size_t(std::max(d.group, 3))) << d.name << ": groups by ffprobe's key frames";
  const size_t picture = d.group < 0 ? keys.back() : keys[size_t(d.group)];
  std::vector<uint8_t> bytes = tu::read_file(ts);
  const int video = VideoPid(bytes);
  const size_t from = PacketFrom(bytes, video, picture + 188);
  ASSERT_LT(from + 4096, bytes.size()) << d.name;
  if (d.zeroed)
    std::fill(bytes.begin() + long(from), bytes.begin() + long(from + 4096), 0);
  else
    bytes = DropPackets(bytes, video, from, 5);
  *damaged = ts + "_damaged.ts";
  tu::write_file(*damaged, bytes);
  *what = std::string(d.name) +
          (d.zeroed ? ", 4 KB zeroed in the picture at " : ", 5 packets lost in the picture at ") +
          std::to_string(picture);
}

bool RepeatedSetsStream(const std::string& path, bool hevc, const std::string& form, int frames) {
  const std::string group = std::to_string(kSetGroup);
  const std::string codec = hevc ? "-c:v libx265 -x265-params log-level=error:keyint=" + group + ":min-keyint=" +
                                       group + ":scenecut=0:open-gop=0:repeat-headers=1"
                                 : "-c:v libx264 -x264-params keyint=" + group + ":min-keyint=" + group + ":scenecut=0";
  const std::string format = form == "ts" ? "mpegts" : form == "ps" ? "vob" : hevc ? "hevc" : "h264";
  return tu::ffmpeg("-f lavfi -i testsrc2=size=192x108:rate=25 -frames:v " + std::to_string(frames) +
                    " -pix_fmt yuv420p " + codec + " -f " + format + " " + tu::q(path));
}

namespace {

// The intact file's pictures in stream order by ffprobe: file position of
// the PES packet, type, display number.
struct Probed {
  size_t pos, shown;
  std::string type;
};
std::vector<Probed> ProbedInStreamOrder(const std::string& path) {
  std::vector<Probed> v;
  const auto probed = tu::ffprobe_frames(path);
  for (size_t i = 0; i < probed.size(); ++i) {
    const auto t = probed[i].find("pict_type"), pos = probed[i].find("pkt_pos");
    if (t != probed[i].end() && pos != probed[i].end() && pos->second != "N/A")
      v.push_back({size_t(std::stoull(pos->second)), i, t->second});
  }
  std::sort(v.begin(), v.end(), [](const Probed& a, const Probed& b) { return a.pos < b.pos; });
  return v;
}

// The video packet that holds the start code of the first slice segment of
// the HEVC picture whose PES packet begins at `pes`; 0 for none.
size_t FirstSlicePacket(const std::vector<uint8_t>& bytes, int video, size_t pes) {
  std::vector<uint8_t> payload;
  std::vector<size_t> packet_of;
  for (size_t p = pes; p + 188 <= bytes.size(); p += 188) {
    if (PidOf(bytes, p) != video) continue;
    if (p != pes && (bytes[p + 1] & 0x40)) break;
    const int afc = (bytes[p + 3] >> 4) & 3;
    size_t o = 4 + (afc & 2 ? 1 + size_t(bytes[p + 4]) : 0);
    if (!(afc & 1) || o >= 188) continue;
    if (p == pes) o += 9 + size_t(bytes[p + o + 8]);
    for (; o < 188; ++o) {
      payload.push_back(bytes[p + o]);
      packet_of.push_back(p);
    }
  }
  for (size_t i = 0; i + 3 < payload.size(); ++i)
    if (payload[i] == 0 && payload[i + 1] == 0 && payload[i + 2] == 1 && ((payload[i + 3] >> 1) & 63) <= 31)
      return packet_of[i];
  return 0;
}

// The bits of a NAL unit's payload, emulation prevention bytes removed;
// each bit's byte in the unit is kept.
struct SetBits {
  std::vector<uint8_t> bits;
  std::vector<size_t> byte;  // per bit: its byte's offset in the unit
  size_t at = 0;
  SetBits(const std::vector<uint8_t>& unit, size_t from) {
    int zeros = 0;
    for (size_t i = from; i < unit.size(); ++i) {
      if (zeros >= 2 && unit[i] == 3) {
        zeros = 0;
        continue;
      }
      zeros = unit[i] == 0 ? zeros + 1 : 0;
      for (int k = 7; k >= 0; --k) {
        bits.push_back((unit[i] >> k) & 1);
        byte.push_back(i);
      }
    }
  }
  uint32_t u(int n) {
    uint32_t v = 0;
    for (int k = 0; k < n; ++k) v = (v << 1) | (at < bits.size() ? bits[at++] : 0);
    return v;
  }
  uint32_t ue() {
    int z = 0;
    while (at < bits.size() && bits[at] == 0 && z < 32) ++at, ++z;
    ++at;
    return (uint32_t(1) << z) - 1 + u(z);
  }
};

// The bit (index into SetBits) worth `worth` in the picture height of an
// SPS (payload from its NAL header on), or -1.
long HeightBit(const std::vector<uint8_t>& unit, bool hevc, uint32_t worth) {
  SetBits b(unit, hevc ? 2 : 1);
  if (hevc) {
    b.u(4);
    if (b.u(3) != 0) return -1;  // sub-layers: not made here
    b.u(1);
    b.u(96);  // profile_tier_level of one layer
    b.ue();
    if (b.ue() == 3) b.u(1);
    b.ue();  // pic_width_in_luma_samples
  } else {
    const uint32_t profile = b.u(8);
    b.u(16);
    b.ue();
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244) {
      if (b.ue() == 3) b.u(1);
      b.ue();
      b.ue();
      b.u(1);
      if (b.u(1)) return -1;  // scaling matrices: not made here
    }
    b.ue();
    const uint32_t poc = b.ue();
    if (poc == 0) b.ue();
    if (poc == 1) return -1;
    b.ue();
    b.u(1);
    b.ue();  // pic_width_in_mbs_minus1
  }
  // The height's code: z zeros, a one, z bits; its value less 2^z - 1 is
  // the z bits.
  const size_t start = b.at;
  b.ue();
  const size_t end = b.at;
  const size_t z = (end - start - 1) / 2;
  if (z == 0 || end > b.bits.size()) return -1;
  for (size_t k = 0; k < z; ++k)
    if ((uint32_t(1) << k) == worth) return long(end - 1 - k);
  return -1;
}

}  // namespace

void SlotKeepingCopies(const std::string& dir, std::vector<SlotCopy>* out) {
  {
    const std::string ts = dir + "slot_cra.ts";
    ASSERT_TRUE(Hevc(ts, 100, "-s 176x144 -x265-params log-level=error:keyint=25:min-keyint=25:open-gop=1 -f mpegts"));
    const std::vector<uint8_t> bytes = tu::read_file(ts);
    const int video = VideoPid(bytes);
    const std::vector<Probed> coded = ProbedInStreamOrder(ts);
    auto irap = std::find_if(coded.begin(), coded.end(),
                             [&](const Probed& c) { return c.type == "I" && c.pos >= bytes.size() / 3; });
    ASSERT_NE(irap, coded.end());
    const size_t slice = FirstSlicePacket(bytes, video, irap->pos);
    ASSERT_GT(slice, irap->pos) << "the IRAP picture's first slice begins in a later packet than its access unit";
    const std::string damaged = ts + "_slice.ts";
    tu::write_file(damaged, DropPackets(bytes, video, slice, 2));
    out->push_back({"HEVC, 2 packets lost over the first slice of the CRA picture of frame " +
                        std::to_string(irap->shown),
                    ts, damaged, coded.size()});
  }
  {
    const std::string ps = dir + "slot_ps.mpg";
    ASSERT_TRUE(pt::MakeMpeg2(ps, 100, "-s 176x144 -f vob"));
    std::vector<uint8_t> bytes = tu::read_file(ps);
    const size_t at = bytes.size() / 3 / 2048 * 2048 - 50;
    ASSERT_EQ(bytes[at + 50 + 3], 0xBA) << "a pack header";
    std::fill(bytes.begin() + long(at), bytes.begin() + long(at + 2048), 0);
    const std::string damaged = ps + "_zeroed.mpg";
    tu::write_file(damaged, bytes);
    out->push_back({"MPEG-2 PS, 2 KB zeroed over a pack header at " + std::to_string(at + 50), ps, damaged,
                    tu::ffprobe_frames(ps).size()});
  }
  {
    const std::string ts = dir + "slot_cut.ts";
    ASSERT_TRUE(pt::MakeMpeg2(ts, 100, "-s 176x144 -f mpegts"));
    const std::vector<uint8_t> bytes = tu::read_file(ts);
    const int video = VideoPid(bytes);
    const std::vector<Probed> coded = ProbedInStreamOrder(ts);
    size_t p = coded.size() - 1;
    while (p > 0 && !(coded[p].type == "P" && p + 1 < coded.size() && coded[p + 1].type == "B")) --p;
    ASSERT_GT(p, 0u);
    size_t end = coded[p + 1].pos;
    while (end + 188 <= bytes.size() && PidOf(bytes, end) != video) end += 188;
    end += 188;
    const std::string damaged = ts + "_cut.ts";
    tu::write_file(damaged, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(end)));
    out->push_back({"MPEG-2 TS cut by its end after the P picture of frame " + std::to_string(coded[p].shown) +
                        " and 1 packet of the B picture after it",
                    ts, damaged, coded[p].shown + 1});
  }
}

void DamagedSetCopies(const std::string& path, bool hevc, std::vector<DamagedSetCopy>* out) {
  const std::vector<uint8_t> bytes = tu::read_file(path);
  // The SPS units by a start-code scan: each up to the next start code.
  std::vector<std::pair<size_t, size_t>> sets;
  for (size_t i = 0; i + 5 < bytes.size(); ++i) {
    if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1) continue;
    const bool sps = hevc ? ((bytes[i + 3] >> 1) & 63) == 33 : (bytes[i + 3] & 31) == 7;
    if (!sps) continue;
    size_t end = i + 3;
    while (end + 2 < bytes.size() && !(bytes[end] == 0 && bytes[end + 1] == 0 && bytes[end + 2] <= 1)) ++end;
    sets.push_back({i + 3, end});
  }
  ASSERT_GE(sets.size(), 6u) << path << ": SPS units by a start-code scan";
  const std::vector<uint8_t> first(bytes.begin() + long(sets[0].first), bytes.begin() + long(sets[0].second));
  const auto& [from, to] = sets[4];
  // Its group: groups of kSetGroup pictures, each opened by an IDR (IRAP) picture
  // after its sets; the group's first picture is shown first.
  size_t opened = 0;
  for (size_t i = 0; i + 5 < from; ++i) {
    if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1) continue;
    const int type = hevc ? (bytes[i + 3] >> 1) & 63 : bytes[i + 3] & 31;
    if (hevc ? type >= 16 && type <= 23 && (bytes[i + 5] & 0x80) : type == 5 && (bytes[i + 4] & 0x80)) ++opened;
  }
  const size_t group = size_t(kSetGroup) * opened;
  // Every group's SPS is the first one: found whole, not split by a packet
  // header.
  ASSERT_TRUE(to - from == first.size() && std::equal(first.begin(), first.end(), bytes.begin() + long(from)))
      << path << ": the fifth SPS is not the first one, whole";
  {
    std::vector<uint8_t> b = bytes;
    const size_t at = from + (hevc ? 28 : 8);
    ASSERT_LT(at + 4, to);
    std::fill(b.begin() + long(at), b.begin() + long(at + 4), 0);
    const std::string copy = path + "_sps_zeroed." + path.substr(path.rfind('.') + 1);
    tu::write_file(copy, b);
    out->push_back({"4 bytes of an SPS zeroed", copy, false, group});
  }
  {
    const long bit = HeightBit(first, hevc, hevc ? 16 : 1);
    ASSERT_GE(bit, 0) << path << ": the SPS's picture height";
    SetBits b(first, hevc ? 2 : 1);
    std::vector<uint8_t> flipped = bytes;
    // (Each byte kept gives 8 bits: a bit's place in its byte is its
    // index modulo 8, emulation prevention bytes or not.)
    flipped[from + b.byte[size_t(bit)]] ^= uint8_t(0x80 >> (size_t(bit) % 8));
    const std::string copy = path + "_sps_height." + path.substr(path.rfind('.') + 1);
    tu::write_file(copy, flipped);
    out->push_back({"a bit of an SPS's picture height flipped", copy, true, group});
  }
}

std::vector<MkvBlock> MatroskaBlocks(const std::string& mkv) {
  const tu::RunResult r = tu::run("mkvinfo -a -P -z " + tu::q(mkv));
  EXPECT_EQ(r.status, 0) << mkv << ": " << r.out;
  // "<label>[: <value>] at <pos> size <size> data size <data>"
  static const std::regex line(R"(^[| ]*\+ (.*?)(?:: (.*))? at (\d+) size (\d+) data size (\d+)$)");
  static const std::regex time(R"(timestamp (\d+):(\d+):(\d+)\.(\d{9}))");
  std::vector<MkvBlock> blocks;
  std::smatch m, t;
  for (const std::string& l : tu::lines(r.out)) {
    if (!std::regex_match(l, m, line) || m[1] != "Simple block") continue;
    const std::string value = m[2];
    if (!std::regex_search(value, t, time)) continue;
    const uint64_t pos = std::stoull(m[3]), size = std::stoull(m[4]), data = std::stoull(m[5]);
    const uint64_t ns =
        ((std::stoull(t[1]) * 60 + std::stoull(t[2])) * 60 + std::stoull(t[3])) * 1000000000ULL + std::stoull(t[4]);
    blocks.push_back({pos, pos + size, pos + size - data, ns, value.rfind("key", 0) == 0});
  }
  return blocks;
}

}  // namespace dc
