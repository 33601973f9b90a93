// Transport streams with video packets lost (cut out or zeroed) and with
// the counter patterns the standard allows, and a program stream that lost
// bytes, indexed by Ostrel: nothing is left out for damage. Every picture
// whose start was read keeps its place, and every picture lost whole or by
// its start keeps its slot as a LOST line, so the index has the intact
// file's pictures less those lost, the clip's frame count and timeline are
// the recording's, CODED counts the picture lines, PLAYBACK the slots, and
// the warning says where and how many packets the counters show missing.
// References: the intact file's payload through the test's own
// demultiplexer, a start-code scan of it for the picture starts, the
// counters of the packets removed, and ffprobe's frame and packet times of
// the intact and the damaged file.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "kwsource_check.h"
#include "testutil.h"
#include "ts_streams.h"

namespace {

struct Made {
  const char* name;
  const char* args;  // ffmpeg's encoder options
  int codec;         // 0 AVC, 1 MPEG-2, 4 HEVC
};

const Made kStreams[] = {
    {"avc-idr", "-c:v libx264 -x264-params keyint=24:min-keyint=24:scenecut=0:bframes=3", 0},
    {"avc-default", "-c:v libx264", 0},
    {"avc-open",
     "-c:v libx264 -x264-params open-gop=1:keyint=24:min-keyint=24:scenecut=0:bframes=3:b-adapt=0:b-pyramid=none", 0},
    // (Groups of 12 and two B pictures, as the plugin's tests make them: the
    // 50 packets lost take the next group's IDR or I picture, and pictures
    // of that group read after them have the order counts of lost pictures
    // of the group before.)
    {"avc-ultrafast", "-c:v libx264 -preset ultrafast -g 12 -bf 2", 0},
    {"avc-ultrafast-open",
     "-c:v libx264 -preset ultrafast -g 12 -bf 2 -x264-params "
     "open-gop=1:keyint=24:min-keyint=24:scenecut=0:bframes=3:b-adapt=0:b-pyramid=none",
     0},
    // MBAFF: x264's interlaced coding, top field first.
    {"avc-mbaff", "-c:v libx264 -x264-params interlaced=1:tff=1:keyint=25:min-keyint=25:scenecut=0:bframes=3", 0},
    {"avc-mbaff-ultrafast",
     "-c:v libx264 -preset ultrafast -bf 2 -x264-params interlaced=1:tff=1:keyint=25:min-keyint=25", 0},
    {"hevc-cra", "-c:v libx265 -x265-params log-level=error:keyint=20:min-keyint=20:open-gop=1:bframes=3", 4},
    {"mpeg2", "-c:v mpeg2video -g 12 -bf 2", 1},
};

unsigned pid_at(const std::vector<uint8_t>& f, size_t at) { return ((f[at + 1] & 0x1Fu) << 8) | f[at + 2]; }

// The PID of most packets: the video's in these files.
unsigned video_pid(const std::vector<uint8_t>& f) {
  std::map<unsigned, int> n;
  for (size_t at = 0; at + 188 <= f.size(); at += 188) ++n[pid_at(f, at)];
  return std::max_element(n.begin(), n.end(), [](const auto& a, const auto& b) { return a.second < b.second; })->first;
}

// File positions of the bytes that begin each picture in the payload, up
// to the first slice header byte (AVC, HEVC) or through the head of the
// picture coding extension (MPEG-2): a picture whose start is read has all
// of them.
std::vector<std::vector<uint64_t>> picture_starts(const tst::Payload& p, int codec) {
  std::vector<std::vector<uint64_t>> out;
  const std::vector<tu::ScanUnit> units = tu::scan_start_codes(p.bytes);
  for (size_t i = 0; i < units.size(); i++) {
    const size_t at = units[i].pos;
    size_t end = 0;
    if (codec == 0) {
      const int type = units[i].code & 31;
      if ((type == 1 || type == 5) && at + 4 < p.bytes.size() && (p.bytes[at + 4] & 0x80)) end = at + 5;
    } else if (codec == 4) {
      const int type = (units[i].code >> 1) & 63;
      if (type <= 21 && (type <= 9 || type >= 16) && at + 5 < p.bytes.size() && (p.bytes[at + 5] & 0x80))
        end = at + 6;
    } else if (units[i].code == 0x00 && i + 1 < units.size() && units[i + 1].code == 0xB5) {
      end = std::min(p.bytes.size(), static_cast<size_t>(units[i + 1].pos) + 9);
    }
    if (end == 0) continue;
    std::vector<uint64_t> bytes;
    // The bytes between (a picture header's) are all needed.
    for (size_t k = at; k < end; k++) bytes.push_back(p.pos[k]);
    out.push_back(bytes);
  }
  return out;
}

// Picture lines without their index; of AVC and HEVC without their order
// counts, which a loss may change as it changes a decoder's (the count
// derives from the last reference picture's), and the HEVC ones without the
// position of their IRAP picture, which a cut moves.
std::vector<std::string> pictures(const std::vector<std::string>& lines, int codec) {
  std::vector<std::string> v = tu::kwi_pictures(lines);
  if (codec != 1)
    for (std::string& l : v) {
      std::istringstream in(l);
      std::vector<std::string> w;
      for (std::string x; in >> x;) w.push_back(x);
      if (codec == 0 && w.size() == 4) l = w[0] + " " + w[1] + " " + w[3];
      if (codec == 4 && (w[0] == "IDR" || w[0] == "CRA" || w[0] == "BLA") && w.size() == 4) l = w[0] + " " + w[2];
      if (codec == 4 && w.size() == 3) l = w[0] + " " + w[1];
    }
  return v;
}

bool subsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  size_t k = 0;
  for (const std::string& l : whole)
    if (k < part.size() && part[k] == l) k++;
  return k == part.size();
}

std::string Dir() { return tu::process_scratch("ts_damage"); }

void PrintTo(const Made& m, std::ostream* os) { *os << m.name; }
std::string CaseName(const ::testing::TestParamInfo<Made>& i) {
  std::string n = i.param.name;
  std::replace(n.begin(), n.end(), '-', '_');
  return n;
}

// One case per stream, run apart, so that each stays short under the
// sanitizers.
class TsLossStreams : public ::testing::TestWithParam<Made> {};

// The stream of m with `frames` pictures, made as `name` + suffix, with its
// bytes, its video PID and the index of the intact file.
struct CleanTs {
  std::string ts;
  std::vector<uint8_t> intact;
  unsigned pid = 0;
  std::vector<std::string> clean;
};
void MakeCleanTs(const Made& m, const std::string& suffix, int frames, CleanTs* c) {
  c->ts = Dir() + m.name + suffix + ".ts";
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=176x144:rate=25 -frames:v " + std::to_string(frames) +
                         " -pix_fmt yuv420p " + std::string(m.args) + " -f mpegts " + tu::q(c->ts)));
  c->intact = tu::read_file(c->ts);
  c->pid = video_pid(c->intact);
  tu::RunResult r;
  c->clean = IndexAndOpen(c->ts, c->ts + ".kwi", &r);
  ASSERT_EQ(r.status, 0) << r.out;
}

// The video PES packets of a clean stream of `pictures` pictures, one each,
// in stream order, and by ffprobe each packet's display number and picture
// type.
void ProbePictures(const CleanTs& c, size_t pictures, std::vector<size_t>* pes, std::map<size_t, size_t>* shown_at,
                   std::map<size_t, std::string>* type_at) {
  for (size_t at = 0; at + 188 <= c.intact.size(); at += 188)
    if (pid_at(c.intact, at) == c.pid && (c.intact[at + 1] & 0x40)) pes->push_back(at);
  ASSERT_EQ(pes->size(), pictures);
  for (const auto& f : tu::ffprobe_frames(c.ts))
    if (f.count("pkt_pos") && f.at("pkt_pos") != "N/A") {
      const size_t n = shown_at->size();
      (*shown_at)[std::stoul(f.at("pkt_pos"))] = n;
      (*type_at)[std::stoul(f.at("pkt_pos"))] = f.at("pict_type");
    }
  ASSERT_EQ(shown_at->size(), pictures);
}

}  // namespace

// For each stream: 1, 5 and 50 video packets cut out at a third of the
// file, and 4 KB of packets zeroed there; after that third, the first 2 and
// the first 6 packets of a B, a P and an I picture cut out, and every packet
// of one. The pictures whose start was read keep their lines; every picture
// lost whole or by its start keeps its slot as a LOST line, so the index has
// a slot for every frame of the intact file, and its LOST lines stand where
// ffprobe finds no frame or packet of that time in the damaged file.
TEST_P(TsLossStreams, PicturesWhoseStartWasReadKeepTheirPlace) {
  {
    const Made& m = GetParam();
    CleanTs c;
    ASSERT_NO_FATAL_FAILURE(MakeCleanTs(m, "", 100, &c));
    const std::vector<uint8_t>& intact = c.intact;
    const unsigned pid = c.pid;
    const std::vector<std::string>& clean = c.clean;
    tu::RunResult r;
    const std::vector<std::string> clean_pictures = pictures(clean, m.codec);
    ASSERT_EQ(clean_pictures.size(), 100u);
    const auto starts = picture_starts(tst::demux(intact, 188, pid), m.codec);
    ASSERT_EQ(starts.size(), 100u) << "picture starts in the payload";
    const std::set<long long> intact_times = tu::ffprobe_shown_times(c.ts);
    ASSERT_EQ(intact_times.size(), 100u);
    ASSERT_EQ(tu::kwi_slot_marks(clean), std::string(100, '.'));

    // The video packets of each PES packet (from one with
    // payload_unit_start_indicator to the next), and the picture type that
    // ffprobe gives the frame whose packet begins there.
    std::map<size_t, std::string> type_at;  // file position of a PES packet's first TS packet
    for (const auto& f : tu::ffprobe_frames(c.ts))
      if (f.count("pkt_pos") && f.count("pict_type") && f.at("pkt_pos") != "N/A")
        type_at[std::stoul(f.at("pkt_pos"))] = f.at("pict_type");
    std::vector<std::vector<size_t>> pes;
    for (size_t at = 0; at + 188 <= intact.size(); at += 188) {
      if (pid_at(intact, at) != pid) continue;
      if ((intact[at + 1] & 0x40) || pes.empty()) pes.emplace_back();
      pes.back().push_back(at);
    }

    struct Damage {
      std::string name;
      size_t packets = 0;  // video packets from a third of the file on
      bool zero = false;
      std::set<size_t> picked;  // or these packets
    };
    std::vector<Damage> damages(4);
    damages[0].name = "1 cut out", damages[0].packets = 1;
    damages[1].name = "5 cut out", damages[1].packets = 5;
    damages[2].name = "50 cut out", damages[2].packets = 50;
    damages[3].name = "4 KB zeroed", damages[3].zero = true;
    for (const char* type : {"B", "P", "I"}) {
      // The first PES packet of the type after a third of the file whose
      // packets the counters show missing in every cut below.
      const std::vector<size_t>* p = nullptr;
      for (const auto& packets : pes)
        if (packets.size() > 6 && packets.size() % 16 != 0 && packets.front() >= intact.size() / 3 &&
            type_at.count(packets.front()) && type_at[packets.front()] == type) {
          p = &packets;
          break;
        }
      if (!p) continue;  // (no I picture there in a stream of one group)
      for (size_t n : {size_t{2}, size_t{6}, p->size()}) {
        Damage d;
        d.name = (n == p->size() ? std::string("every packet") : "the first " + std::to_string(n) + " packets") +
                 " of a " + type + " picture cut out";
        d.picked.insert(p->begin(), p->begin() + long(n));
        damages.push_back(d);
      }
    }
    for (const Damage& d : damages) {
      SCOPED_TRACE(d.name);
      // Packets from a third of the file on: the given number of video
      // packets, or 22 packets of any PID (4 KB) zeroed.
      const size_t from = intact.size() / 3 / 188 * 188;
      std::set<size_t> hit = d.picked;  // packet starts
      size_t video_hit = hit.size();
      for (size_t at = from; d.picked.empty() && at + 188 <= intact.size(); at += 188) {
        // (Zeros up to a video packet, so that the counters show the loss.)
        if (d.zero ? hit.size() >= 22 && pid_at(intact, at) == pid && video_hit % 16 != 0 : video_hit == d.packets)
          break;
        if (!d.zero && pid_at(intact, at) != pid) continue;
        hit.insert(at);
        video_hit += pid_at(intact, at) == pid;
      }
      const std::set<size_t>& unread = hit;
      ASSERT_NE(video_hit % 16, 0u) << "a loss the counters cannot show";
      std::vector<uint8_t> bytes;
      size_t first_after = 0;  // the damaged file's position of the first video packet read after the damage
      for (size_t at = 0; at + 188 <= intact.size(); at += 188) {
        const bool h = hit.count(at) != 0;
        if (!unread.count(at) && !first_after && at > *unread.rbegin() && pid_at(intact, at) == pid)
          first_after = bytes.size();
        if (h && !d.zero) continue;
        bytes.insert(bytes.end(), intact.begin() + long(at), intact.begin() + long(at + 188));
        if (h) std::fill(bytes.end() - 188, bytes.end(), 0);
      }
      size_t lost = 0;
      for (const auto& s : starts)
        lost += std::any_of(s.begin(), s.end(), [&](uint64_t p) { return unread.count(p / 188 * 188) != 0; });
      std::string damaged = d.name;
      std::replace(damaged.begin(), damaged.end(), ' ', '-');
      damaged = Dir() + m.name + "-" + damaged + ".ts";
      tu::write_file(damaged, bytes);
      const std::vector<std::string> lines = IndexAndOpen(damaged, damaged + ".kwi", &r);
      ASSERT_EQ(r.status, 0) << r.out;
      EXPECT_NE(r.out.find("WARNING: the transport stream is damaged: packets of the video PID are missing before "
                           "position " +
                           std::to_string(first_after) + " (" + std::to_string(video_hit % 16) +
                           " or more). Every picture whose start was read is indexed; those the loss cut may "
                           "decode damaged.\n"),
                std::string::npos)
          << r.out;
      EXPECT_EQ(r.out.find("not indexed"), std::string::npos) << r.out;
      EXPECT_EQ(tu::kwi_with(lines, "DAMAGE"), std::vector<std::string>{"DAMAGE " + std::to_string(first_after)});
      std::vector<std::string> got = pictures(lines, m.codec);
      got.erase(std::remove(got.begin(), got.end(), "LOST"), got.end());
      EXPECT_EQ(got.size(), 100 - lost) << lost << " pictures whose start was lost";
      EXPECT_TRUE(subsequence(got, clean_pictures)) << "the picture lines are the intact file's, in its order";
      EXPECT_EQ(tu::kwi_value(lines, "CODED"), std::to_string(got.size()));
      // A slot for each picture lost, where the damaged file has no time of it.
      const std::string marks = tu::kwi_slot_marks(lines);
      EXPECT_EQ(marks, tu::expected_slot_marks(intact_times, 100, tu::ffprobe_shown_times(damaged)));
      const long long slots = static_cast<long long>(std::count(marks.begin(), marks.end(), 'L'));
      if (m.codec != 4) {  // (HEVC indexes have no PLAYBACK)
        EXPECT_EQ(tu::kwi_value(lines, "PLAYBACK"), std::to_string(marks.size()));
      }
      EXPECT_EQ(marks.size(), 100u) << "the last picture is read";
      if (slots > 0) {
        EXPECT_NE(r.out.find("WARNING: " + std::to_string(slots) +
                             " frames have no picture of their own (lost in the damage); they show the picture "
                             "before them and carry the frame property KWMissing\n"),
                  std::string::npos)
            << r.out;
      } else {
        EXPECT_EQ(r.out.find("no picture of their own"), std::string::npos) << r.out;
      }
    }
  }
}

// Two parts of different picture sizes joined end to end, the second's first
// access unit (its IDR picture with its parameter sets, one PES packet) lost:
// the second part's pictures count from the lost picture, and follow the
// first part's in the index, whose group positions stay in stream order (as
// the plugin requires of an index it opens).
TEST(TsLoss, JoinedPartsKeepStreamOrderWhenTheSecondLosesItsFirstAccessUnit) {
  const struct {
    const char* name;
    const char* args;
    std::vector<std::string> group_words;
  } codecs[] = {
      {"hevc", "-c:v libx265 -x265-params log-level=error:keyint=6:min-keyint=6:open-gop=1:bframes=2",
       {"IDR", "CRA", "BLA"}},
      {"avc", "-c:v libx264 -x264-params keyint=6:min-keyint=6:scenecut=0:bframes=2", {"IDR", "I"}},
  };
  for (const auto& c : codecs) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> joined;
    size_t second = 0;
    for (const char* size : {"64x48", "96x64"}) {
      const std::string part = Dir() + c.name + size + ".ts";
      ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=" + std::string(size) +
                             ":rate=25 -frames:v 30 -pix_fmt yuv420p " + c.args + " -f mpegts " + tu::q(part)));
      const std::vector<uint8_t> b = tu::read_file(part);
      second = joined.size();
      joined.insert(joined.end(), b.begin(), b.end());
    }
    const unsigned pid = video_pid(joined);
    std::vector<uint8_t> lost;
    int starts = 0;
    for (size_t at = 0; at + 188 <= joined.size(); at += 188) {
      const bool video = pid_at(joined, at) == pid;
      if (at >= second && video && (joined[at + 1] & 0x40)) starts++;
      if (at >= second && video && starts == 1) continue;
      lost.insert(lost.end(), joined.begin() + long(at), joined.begin() + long(at + 188));
    }
    const std::string input = Dir() + c.name + "-joined.ts";
    tu::write_file(input, lost);
    tu::RunResult r;
    const std::vector<std::string> lines = IndexAndOpen(input, input + ".kwi", &r);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("WARNING: the transport stream is damaged: packets of the video PID are missing"),
              std::string::npos)
        << r.out;
    // The group positions: group lines (AVC) or IRAP picture lines (HEVC).
    std::vector<long long> groups;
    for (std::string l : lines) {
      const size_t colon = l.find(':');
      if (colon != std::string::npos && c.group_words.size() == 3) l = l.substr(colon + 1);
      std::istringstream in(l);
      std::string word;
      long long pos;
      if (in >> word >> pos && std::find(c.group_words.begin(), c.group_words.end(), word) != c.group_words.end())
        groups.push_back(pos);
    }
    EXPECT_EQ(groups.size(), 9u) << "the groups of both parts but the second's first";
    EXPECT_TRUE(std::is_sorted(groups.begin(), groups.end()) &&
                std::adjacent_find(groups.begin(), groups.end()) == groups.end())
        << ::testing::PrintToString(groups);
    EXPECT_EQ(tu::kwi_pictures(lines).size(), 59u) << "every picture of the 2 x 30 encoded but the one lost";
    EXPECT_EQ(tu::kwi_value(lines, "CODED"), "59");
  }
}

// The shared recording (7 B pictures leading a non-IDR I picture, then B,
// B, B, P) with one video packet lost inside the first leading B picture:
// every picture keeps its line, as in the intact recording's index (ffmpeg
// decodes all of them from either file). One lost before its parameter sets
// is one gap.
TEST(TsLoss, RecordingWithAPacketLostInALeadingPicture) {
  const std::string rec = std::string(SHARED_TESTDATA) + "/h264/broadcast_1080i_leading_b.ts";
  if (!tu::exists(rec)) GTEST_SKIP() << "shared test data not present";
  const std::vector<uint8_t> intact = tu::read_file(rec);
  const size_t at = 782832;  // a packet of PID 0x78 inside the first leading B picture
  ASSERT_EQ(intact[at], 0x47);
  ASSERT_EQ(pid_at(intact, at), 0x78u);
  std::vector<uint8_t> b(intact.begin(), intact.begin() + long(at));
  b.insert(b.end(), intact.begin() + long(at + 188), intact.end());
  const std::string damaged = Dir() + "recording-lost.ts";
  tu::write_file(damaged, b);
  tu::RunResult r;
  const std::vector<std::string> clean = IndexAndOpen(rec, Dir() + "recording.kwi", &r);
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<std::string> lines = IndexAndOpen(damaged, damaged + ".kwi", &r);
  ASSERT_EQ(r.status, 0) << r.out;
  size_t next = at;  // the next video packet
  while (pid_at(b, next) != 0x78u) next += 188;
  EXPECT_NE(r.out.find("packets of the video PID are missing before position " + std::to_string(next) +
                       " (1 or more)"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(tu::kwi_pictures(lines), tu::kwi_pictures(clean));
  EXPECT_EQ(tu::kwi_with(lines, "I "), tu::kwi_with(clean, "I "));
  EXPECT_EQ(tu::kwi_value(lines, "CODED"), std::to_string(tu::kwi_pictures(clean).size()));

  // The 20th video packet lost, before the first parameter sets (which the
  // run looks for ahead of its pictures): one gap, reported once.
  size_t early = 0;
  for (int n = 0; n < 20; early += 188) n += pid_at(intact, early) == 0x78u;
  early -= 188;
  b.assign(intact.begin(), intact.begin() + long(early));
  b.insert(b.end(), intact.begin() + long(early + 188), intact.end());
  tu::write_file(damaged, b);
  IndexAndOpen(damaged, damaged + ".kwi", &r);
  ASSERT_EQ(r.status, 0) << r.out;
  next = early;
  while (pid_at(b, next) != 0x78u) next += 188;
  EXPECT_NE(r.out.find("WARNING: the transport stream is damaged: packets of the video PID are missing before "
                       "position " +
                       std::to_string(next) + " (1 or more)."),
            std::string::npos)
      << r.out;
}

// HEVC with open groups (CRA pictures) and with closed ones whose IDR
// pictures have two RADL pictures (x265's --radl 2): 1, 2 and 3 packets lost
// over the first slice of an IRAP picture after a third of the file, its
// parameter sets and SEI (in the packets before) read. The IRAP picture keeps
// its slot as a LOST line, every other picture stands in its own slot (that
// of the intact file's picture with the same display number), the leading
// pictures of a lost IDR picture after the group before it: the clip keeps
// the recording's frame count and every frame its time.
TEST(TsLoss, IrapPictureWhoseFirstSliceWasLostKeepsItsSlot) {
  const Made streams[] = {
      {"hevc-cra25", "-c:v libx265 -x265-params log-level=error:keyint=25:min-keyint=25:open-gop=1", 4},
      {"hevc-radl2", "-c:v libx265 -x265-params log-level=error:keyint=25:min-keyint=25:open-gop=0:radl=2", 4},
  };
  for (const Made& m : streams) {
    SCOPED_TRACE(m.name);
    CleanTs c;
    ASSERT_NO_FATAL_FAILURE(MakeCleanTs(m, "", 100, &c));
    const std::vector<std::string> clean_pictures = pictures(c.clean, m.codec);
    ASSERT_EQ(clean_pictures.size(), 100u);
    const auto starts = picture_starts(tst::demux(c.intact, 188, c.pid), m.codec);
    ASSERT_EQ(starts.size(), 100u) << "picture starts in the payload";
    std::vector<size_t> pes;
    std::map<size_t, size_t> shown_at;
    std::map<size_t, std::string> type_at;
    ASSERT_NO_FATAL_FAILURE(ProbePictures(c, 100, &pes, &shown_at, &type_at));
    // The first I picture after a third of the file but the first.
    size_t irap = 0;
    while (irap < pes.size() && (pes[irap] < c.intact.size() / 3 || type_at[pes[irap]] != "I")) irap++;
    ASSERT_LT(irap, pes.size());
    const size_t slice_packet = starts[irap].front() / 188 * 188;
    ASSERT_GT(slice_packet, pes[irap]) << "the IRAP picture's access unit begins in a packet before its slice";
    for (size_t n : {1, 2, 3}) {
      SCOPED_TRACE(std::to_string(n) + " packets lost");
      std::set<size_t> lost;
      for (size_t at = slice_packet; lost.size() < n && at + 188 <= c.intact.size(); at += 188)
        if (pid_at(c.intact, at) == c.pid) lost.insert(at);
      std::vector<uint8_t> bytes;
      for (size_t at = 0; at + 188 <= c.intact.size(); at += 188)
        if (!lost.count(at)) bytes.insert(bytes.end(), c.intact.begin() + long(at), c.intact.begin() + long(at + 188));
      std::string expected(100, '.');
      for (size_t i = 0; i < pes.size(); i++)
        if (std::any_of(starts[i].begin(), starts[i].end(), [&](uint64_t p) { return lost.count(p / 188 * 188); }))
          expected[shown_at[pes[i]]] = 'L';
      ASSERT_EQ(std::count(expected.begin(), expected.end(), 'L'), 1);
      const std::string damaged = Dir() + m.name + "-irap-" + std::to_string(n) + ".ts";
      tu::write_file(damaged, bytes);
      tu::RunResult r;
      const std::vector<std::string> lines = IndexAndOpen(damaged, damaged + ".kwi", &r);
      ASSERT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(tu::kwi_slot_marks(lines), expected);
      const std::vector<std::string> got = pictures(lines, m.codec);
      for (size_t k = 0; k < got.size() && k < clean_pictures.size(); k++)
        if (got[k] != "LOST") {
          EXPECT_EQ(got[k], clean_pictures[k]) << "frame " << k;
        }
      EXPECT_EQ(tu::kwi_with(lines, "DAMAGE").size(), 1u);
      EXPECT_NE(r.out.find("WARNING: 1 frames have no picture of their own"), std::string::npos) << r.out;
    }
  }
}

// MPEG-2 (groups of 12, two B pictures) cut by the end of the file after
// the last I or P picture in stream order: with its B pictures (shown before
// it, coded after it) cut whole, and with the first packet of the first one
// read. The B pictures that were not read keep their slots before it, so
// that it stands in its own (by ffprobe's frame times of the intact file);
// those after it in display order were never read and get none.
TEST(TsLoss, PicturesCutOffByTheEndBeforeTheLastOneReadKeepTheirSlots) {
  const Made m = {"mpeg2-cut", "-c:v mpeg2video -g 12 -bf 2", 1};
  CleanTs c;
  ASSERT_NO_FATAL_FAILURE(MakeCleanTs(m, "", 100, &c));
  std::vector<size_t> pes;
  std::map<size_t, size_t> shown_at;
  std::map<size_t, std::string> type_at;
  ASSERT_NO_FATAL_FAILURE(ProbePictures(c, 100, &pes, &shown_at, &type_at));
  // The last I and P pictures in stream order followed by B pictures.
  std::vector<size_t> refs;
  for (size_t i = pes.size() - 1; i > pes.size() / 2 && refs.size() < 2; i--)
    if (type_at[pes[i]] != "B" && i + 1 < pes.size() && type_at[pes[i + 1]] == "B") refs.push_back(i);
  ASSERT_EQ(refs.size(), 2u);
  for (size_t ref : refs) {
    for (size_t read : {0, 1}) {
      SCOPED_TRACE("cut after the " + type_at[pes[ref]] + " picture at " + std::to_string(pes[ref]) + ", " +
                   std::to_string(read) + " packets of the B picture after it read");
      // The file up to the first B picture after the reference, and `read`
      // video packets of it.
      size_t end = pes[ref + 1];
      for (size_t k = 0; k < read; end += 188)
        k += pid_at(c.intact, end) == c.pid;
      const std::string damaged = Dir() + "mpeg2-cut-" + std::to_string(ref) + "-" + std::to_string(read) + ".ts";
      tu::write_file(damaged, std::vector<uint8_t>(c.intact.begin(), c.intact.begin() + long(end)));
      const size_t last = shown_at[pes[ref]];
      std::string expected;
      for (const auto& [pos, k] : shown_at)
        if (k <= last) {
          if (expected.size() <= k) expected.resize(k + 1, '?');
          expected[k] = pos < pes[ref + 1] + read * 188 ? '.' : 'L';
        }
      tu::RunResult r;
      const std::vector<std::string> lines = IndexAndOpen(damaged, damaged + ".kwi", &r);
      ASSERT_EQ(r.status, 0) << r.out;
      const std::string marks = tu::kwi_slot_marks(lines);
      EXPECT_EQ(marks, expected) << "the last picture read is frame " << last;
      const std::vector<std::string> got = pictures(lines, m.codec), clean = pictures(c.clean, m.codec);
      for (size_t k = 0; k < got.size() && k < clean.size(); k++)
        if (got[k] != "LOST") {
          EXPECT_EQ(got[k], clean[k]) << "frame " << k;
        }
      const long long slots = static_cast<long long>(std::count(marks.begin(), marks.end(), 'L'));
      EXPECT_GT(slots, 0);
      EXPECT_EQ(tu::kwi_value(lines, "PLAYBACK"), std::to_string(marks.size()));
      EXPECT_EQ(tu::kwi_value(lines, "CODED"), std::to_string(marks.size() - static_cast<size_t>(slots)));
      EXPECT_NE(r.out.find("WARNING: " + std::to_string(slots) + " frames have no picture of their own"),
                std::string::npos)
          << r.out;
    }
  }
}

// Counter patterns the standard allows, in the files of every codec above:
// an adaptation-field-only packet of the video PID that signals a
// discontinuity with its counter jumping (as a PCR-only packet at a
// time-base change writes it), the packets after it counting on from it; the
// flag on a payload packet with a jump; every 50th video packet repeated
// with its counter and bytes; a PCR-only packet before every 20th video
// packet that keeps the counter, or counts on with the payload packet after
// it repeating the value (as Blu-ray discs write them), or counts on with the
// payload going on from it. The index is the clean file's (its group
// positions moved by the packets added before them), with no warning. With
// the second payload packet after the first PCR-only packet cut out, the
// warning names one gap of one packet.
TEST_P(TsLossStreams, LegalCounterPatternsGiveTheCleanIndex) {
  {
    const Made& m = GetParam();
    CleanTs c;
    ASSERT_NO_FATAL_FAILURE(MakeCleanTs(m, "-legal", 60, &c));
    const std::vector<uint8_t>& intact = c.intact;
    const unsigned pid = c.pid;
    const std::vector<std::string>& clean = c.clean;
    tu::RunResult r;
    ASSERT_EQ(tu::kwi_pictures(clean).size(), 60u);
    // Group lines: keyword and position.
    auto groups = [&](const std::vector<std::string>& lines) {
      std::vector<std::pair<std::string, long long>> g;
      for (std::string l : lines) {
        const size_t colon = l.find(':');
        if (m.codec == 4 && colon != std::string::npos) l = l.substr(colon + 1);
        std::istringstream in(l);
        std::string word;
        long long pos;
        if (in >> word >> pos && (word == "I" || word == "IDR" || word == "CRA" || word == "SEQ"))
          g.push_back({word, pos});
      }
      return g;
    };
    const auto clean_groups = groups(clean);
    const char* const names[] = {"flag on an adaptation-only packet",
                                 "flag on a payload packet",
                                 "repeated packets",
                                 "PCR-only packets that keep the counter",
                                 "PCR-only packets that count on, the payload packet after them repeating the value",
                                 "PCR-only packets that count on, the payload going on from them"};
    for (int pattern = 0; pattern < 6; ++pattern) {
      SCOPED_TRACE(names[pattern]);
      std::vector<uint8_t> b;
      std::vector<size_t> added;  // intact positions before which a packet was added
      int video = 0, shift = 0, last_cc = -1;
      bool flagged = false;
      size_t cut = 0;  // a payload packet to cut out: the second after the first PCR-only packet added
      int since = -1;  // video packets since that PCR-only packet
      for (size_t at = 0; at + 188 <= intact.size(); at += 188) {
        std::vector<uint8_t> p(intact.begin() + long(at), intact.begin() + long(at + 188));
        const bool v = pid_at(intact, at) == pid;
        video += v;
        if (v && pattern >= 3 && video > 10 && video % 20 == 0 && last_cc >= 0) {
          // A PCR-only packet of the video PID before this one.
          std::vector<uint8_t> a = {0x47, static_cast<uint8_t>(p[1] & 0x1F), p[2], 0x20, 183, 0x10, 0, 0, 0, 0, 0x7E, 0};
          a.resize(188, 0xFF);
          a[3] = static_cast<uint8_t>(0x20 | (pattern == 3 ? last_cc : (last_cc + 1) & 15));
          if (pattern == 5) shift++;
          b.insert(b.end(), a.begin(), a.end());
          added.push_back(at);
          if (since < 0) since = 0;
        }
        if (v && since >= 0 && ++since == 2 && !cut) cut = b.size();
        if (v && !flagged && video > 40 && !(p[1] & 0x40)) {
          if (pattern == 0) {
            std::vector<uint8_t> a = {0x47, static_cast<uint8_t>(p[1] & 0x1F), p[2],
                                      static_cast<uint8_t>(0x20 | ((p[3] + 6) & 15)), 183, 0x80};
            a.resize(188, 0xFF);
            b.insert(b.end(), a.begin(), a.end());
            added.push_back(at);
            shift = 7;
            flagged = true;
          } else if (pattern == 1 && (p[3] & 0x20) && p[4] > 0) {
            p[5] |= 0x80;
            shift = 9;
            flagged = true;
          }
        }
        if (v && shift) p[3] = static_cast<uint8_t>((p[3] & 0xF0) | ((p[3] + shift) & 15));
        if (v && (p[3] & 0x10)) last_cc = p[3] & 15;
        b.insert(b.end(), p.begin(), p.end());
        if (pattern == 2 && v && video % 50 == 0) {
          b.insert(b.end(), p.begin(), p.end());
          added.push_back(at + 188);
        }
      }
      ASSERT_TRUE(pattern >= 2 || flagged);
      const std::string f = Dir() + m.name + "-legal" + std::to_string(pattern) + ".ts";
      tu::write_file(f, b);
      const std::vector<std::string> lines = IndexAndOpen(f, f + ".kwi", &r);
      ASSERT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
      EXPECT_TRUE(tu::kwi_with(lines, "DAMAGE").empty());
      EXPECT_EQ(pictures(lines, m.codec), pictures(clean, m.codec));
      EXPECT_EQ(tu::kwi_value(lines, "CODED"), "60");
      auto moved = clean_groups;
      for (auto& [word, pos] : moved)
        pos += 188 * static_cast<long long>(std::count_if(added.begin(), added.end(),
                                                          [&](size_t a) { return static_cast<long long>(a) <= pos; }));
      EXPECT_EQ(groups(lines), moved);
      if (pattern < 3) continue;
      // The second payload packet after the first PCR-only packet cut out:
      // one gap of one packet.
      ASSERT_NE(cut, 0u);
      ASSERT_EQ(pid_at(b, cut), pid);
      ASSERT_TRUE((b[cut + 3] & 0x10) && pid_at(b, cut + 188) == pid && (b[cut + 188 + 3] & 0x10));
      b.erase(b.begin() + long(cut), b.begin() + long(cut + 188));
      tu::write_file(f, b);
      IndexAndOpen(f, f + ".kwi", &r);
      ASSERT_EQ(r.status, 0) << r.out;
      EXPECT_NE(r.out.find("WARNING: the transport stream is damaged: packets of the video PID are missing before "
                           "position " +
                           std::to_string(cut) + " (1 or more)."),
                std::string::npos)
          << r.out;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(TsLoss, TsLossStreams, ::testing::ValuesIn(kStreams), CaseName);

namespace {

// The slice headers of an elementary stream as ffmpeg's trace_headers
// filter reads them, in stream order: NAL unit type, slice_type, and the
// bit position (from the NAL unit header on) and width of the order count's
// lsb field (-1 where the header has none, as an HEVC IDR picture's).
struct TracedSlice {
  int nal_unit_type = -1;
  int slice_type = -1;
  int lsb_bit = -1;
  int lsb_width = 0;
};
std::vector<TracedSlice> trace_slices(const std::string& es, bool hevc) {
  const tu::RunResult r = tu::run("ffmpeg -nostdin -v verbose -i " + tu::q(es) +
                                  " -c copy -bsf:v trace_headers -f null - 2>&1");
  std::vector<TracedSlice> out;
  bool in_slice = false;  // the last NAL unit traced is the last slice of out
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find("[trace_headers");
    if (at == std::string::npos) continue;
    std::istringstream f(line.substr(line.find(']', at) + 1));
    int bit;
    std::string name, bits, eq;
    long long value;
    if (!(f >> bit >> name >> bits >> eq >> value) || eq != "=") continue;
    if (name == "nal_unit_type") {
      const bool slice = hevc ? value <= 21 && (value <= 9 || value >= 16) : value == 1 || value == 5;
      if (slice) out.push_back({static_cast<int>(value)});
      in_slice = slice;
    } else if (in_slice) {
      if (name == "slice_type") out.back().slice_type = static_cast<int>(value);
      if (name == "pic_order_cnt_lsb" || name == "slice_pic_order_cnt_lsb") {
        out.back().lsb_bit = bit;
        out.back().lsb_width = static_cast<int>(bits.size());
      }
    }
  }
  return out;
}

}  // namespace

// Transport streams whose first access unit was cut, with the top bit of the
// order count's lsb flipped in the slice header of a picture that opens a
// group (HEVC CRA, AVC I) or of a trailing picture (HEVC TRAIL, AVC P) in
// mid-stream; no packet is missing. Every picture keeps its line, and the
// group positions stay those of the file without the flip, in stream order,
// so the index opens in KWSource. The field's place comes from ffmpeg's
// reading of the slice headers.
TEST(TsLoss, OrderCountBitFlippedKeepsGroupsInStreamOrder) {
  const struct {
    const char* name;
    const char* args;
    bool hevc;
    std::vector<std::string> group_words;
  } codecs[] = {
      {"hevc", "-c:v libx265 -x265-params log-level=error:keyint=12:min-keyint=12:open-gop=1:bframes=3", true,
       {"IDR", "CRA", "BLA"}},
      {"avc", "-c:v libx264 -x264-params keyint=12:min-keyint=12:scenecut=0:open-gop=1:bframes=3", false, {"IDR", "I"}},
  };
  for (const auto& c : codecs) {
    SCOPED_TRACE(c.name);
    const std::string ts = Dir() + c.name + "-flip.ts";
    ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=96x64:rate=25 -frames:v 80 -pix_fmt yuv420p " +
                           std::string(c.args) + " -f mpegts " + tu::q(ts)));
    const std::vector<uint8_t> whole = tu::read_file(ts);
    const unsigned pid = video_pid(whole);
    // The file without its first access unit (one PES packet).
    auto cut_first = [&](const std::vector<uint8_t>& f) {
      std::vector<uint8_t> out;
      int starts = 0;
      for (size_t at = 0; at + 188 <= f.size(); at += 188) {
        const bool video = pid_at(f, at) == pid;
        if (video && (f[at + 1] & 0x40)) starts++;
        if (video && starts <= 1) continue;
        out.insert(out.end(), f.begin() + long(at), f.begin() + long(at + 188));
      }
      return out;
    };
    // Group positions: group lines (AVC) or IRAP picture lines (HEVC).
    auto groups = [&](const std::vector<std::string>& lines) {
      std::vector<long long> g;
      for (std::string l : lines) {
        const size_t colon = l.find(':');
        if (colon != std::string::npos && c.hevc) l = l.substr(colon + 1);
        std::istringstream in(l);
        std::string word;
        long long pos;
        if (in >> word >> pos && std::find(c.group_words.begin(), c.group_words.end(), word) != c.group_words.end())
          g.push_back(pos);
      }
      return g;
    };
    const tst::Payload p = tst::demux(whole, 188, pid);
    const std::string es = Dir() + c.name + "-flip." + (c.hevc ? "hevc" : "h264");
    tu::write_file(es, p.bytes);
    const std::vector<TracedSlice> traced = trace_slices(es, c.hevc);
    std::vector<size_t> slices;  // payload offsets of the slice NAL units' headers
    for (const tu::ScanUnit& u : tu::scan_start_codes(p.bytes)) {
      const int type = c.hevc ? (u.code >> 1) & 63 : u.code & 31;
      if (c.hevc ? type <= 21 && (type <= 9 || type >= 16) : type == 1 || type == 5) slices.push_back(u.pos + 3);
    }
    ASSERT_EQ(slices.size(), traced.size()) << "slices by a start-code scan and by ffmpeg";
    ASSERT_GE(traced.size(), 80u);

    const std::string unflipped_ts = Dir() + c.name + "-flip-cut.ts";
    tu::write_file(unflipped_ts, cut_first(whole));
    tu::RunResult r;
    const std::vector<std::string> unflipped = IndexAndOpen(unflipped_ts, unflipped_ts + ".kwi", &r);
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_GE(groups(unflipped).size(), 5u);
    for (bool opens_group : {true, false}) {
      SCOPED_TRACE(opens_group ? "a picture that opens a group" : "a trailing picture");
      // The third picture that opens a group, or the third trailing
      // picture after it.
      int opening = 0, trailing = 0;
      size_t k = 0;
      for (; k < traced.size(); k++) {
        const TracedSlice& t = traced[k];
        const bool opener = c.hevc ? t.nal_unit_type >= 16 : t.nal_unit_type == 5 || t.slice_type % 5 == 2;
        const bool trail = c.hevc ? t.nal_unit_type <= 1 : t.slice_type % 5 == 0;
        opening += opener;
        if (opens_group && opener && opening == 3) break;
        if (!opens_group && opening >= 3 && trail && ++trailing == 3) break;
      }
      ASSERT_LT(k, traced.size());
      ASSERT_GE(traced[k].lsb_bit, 0);
      ASSERT_GE(traced[k].lsb_width, 4);
      const size_t byte = slices[k] + size_t(traced[k].lsb_bit) / 8;
      for (size_t i = slices[k]; i + 2 <= byte; i++)
        ASSERT_FALSE(p.bytes[i] == 0 && p.bytes[i + 1] == 0) << "no emulation prevention before the field";
      std::vector<uint8_t> b = whole;
      b[p.pos[byte]] ^= static_cast<uint8_t>(0x80 >> (traced[k].lsb_bit % 8));
      const std::string damaged = Dir() + c.name + "-flip-" + (opens_group ? "group" : "trailing") + ".ts";
      tu::write_file(damaged, cut_first(b));
      const std::vector<std::string> lines = IndexAndOpen(damaged, damaged + ".kwi", &r);
      ASSERT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(groups(lines), groups(unflipped)) << "the groups of the file without the flip, in stream order";
      EXPECT_EQ(tu::kwi_pictures(lines).size(), tu::kwi_pictures(unflipped).size()) << "every picture keeps its line";
      EXPECT_EQ(tu::kwi_value(lines, "CODED"), tu::kwi_value(unflipped, "CODED"));
    }
  }
}

namespace {

// The MPEG-2 pictures of a payload in display order, by a start-code scan
// and the groups and temporal references the encoder wrote: the picture
// type letter and the file positions of the bytes that begin the picture
// (picture_starts' bytes for MPEG-2).
struct ShownPicture {
  char type = 0;
  std::vector<uint64_t> start;
};
std::vector<ShownPicture> mpeg2_display_order(const tst::Payload& p) {
  std::vector<ShownPicture> shown;
  const std::vector<tu::ScanUnit> units = tu::scan_start_codes(p.bytes);
  size_t base = 0, in_group = 0;
  for (size_t i = 0; i < units.size(); i++) {
    const size_t at = units[i].pos;
    if (units[i].code == 0xB8) base += in_group, in_group = 0;
    if (units[i].code != 0x00 || at + 6 > p.bytes.size() || i + 1 >= units.size() || units[i + 1].code != 0xB5)
      continue;
    const size_t tr = (size_t{p.bytes[at + 4]} << 2) | (p.bytes[at + 5] >> 6);
    const int type = (p.bytes[at + 5] >> 3) & 7;
    if (type < 1 || type > 3) continue;
    in_group++;
    if (shown.size() <= base + tr) shown.resize(base + tr + 1);
    ShownPicture& s = shown[base + tr];
    s.type = "IPB"[type - 1];
    const size_t end = std::min(p.bytes.size(), static_cast<size_t>(units[i + 1].pos) + 9);
    for (size_t k = at; k < end; k++) s.start.push_back(p.pos[k]);
  }
  return shown;
}

// The slots an index should have after damage: the type letter of each
// picture in display order whose start was read, 'L' for one whose start
// was lost (hit tells), up to the last picture read.
std::string expected_slots(const std::vector<ShownPicture>& shown, const std::function<bool(uint64_t)>& hit) {
  std::string marks;
  for (const ShownPicture& s : shown)
    marks += s.type && std::none_of(s.start.begin(), s.start.end(), hit) ? s.type : 'L';
  while (!marks.empty() && marks.back() == 'L') marks.pop_back();
  return marks;
}

// An MPEG-2 index's slots: the type letter of each FRM line, 'L' for LOST.
std::string mpeg2_slots(const std::vector<std::string>& lines) {
  std::string marks;
  for (const std::string& l : tu::kwi_pictures(lines))
    marks += l == "LOST" ? 'L' : l.size() > 4 && l.compare(0, 4, "FRM ") == 0 ? l[4] : '?';
  return marks;
}

// The video payload of an MPEG-2 program stream, packet by packet by their
// lengths: where no start code of a pack or packet (0xBA and above) stands
// where one is due, the bytes up to the next one are no packet's.
tst::Payload ps_video(const std::vector<uint8_t>& f) {
  tst::Payload out;
  const size_t n = f.size();
  auto code_at = [&](size_t i) { return i + 4 <= n && f[i] == 0 && f[i + 1] == 0 && f[i + 2] == 1 && f[i + 3] >= 0xBA; };
  for (size_t i = 0; i + 4 <= n;) {
    if (!code_at(i)) {
      do i++;
      while (i + 4 <= n && !code_at(i));
      continue;
    }
    if (f[i + 3] == 0xBA) {
      if (i + 14 > n) break;
      i += (f[i + 4] >> 6) == 1 ? 14 + (f[i + 13] & 7) : 12;
      continue;
    }
    if (i + 9 > n) break;
    const size_t end = i + 6 + ((size_t{f[i + 4]} << 8) | f[i + 5]);
    if (f[i + 3] >= 0xE0 && f[i + 3] <= 0xEF && (f[i + 6] & 0xC0) == 0x80 && 3 + size_t{f[i + 8]} <= end - i - 6)
      for (size_t k = i + 9 + f[i + 8]; k < end && k < n; k++) {
        out.bytes.push_back(f[k]);
        out.pos.push_back(k);
      }
    i = end;
  }
  return out;
}

}  // namespace

// An MPEG-2 program stream (ffmpeg's, 2048-byte packs) that lost bytes
// inside a pack, or had 2 KB zeroed over a pack header and the PES header
// after it: the packet after them does not begin where the one before
// ended, which is damage; the pictures whose start went with it keep their
// slots as LOST lines, and every picture read stands in its own slot, as the
// groups and temporal references of the intact stream place it (a start-code
// scan). The intact file's index has neither DAMAGE nor LOST lines.
TEST(PsLoss, PicturesLostWithBytesOfAPackKeepTheirSlots) {
  const std::string ps = Dir() + "mpeg2.mpg";
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=176x144:rate=25 -frames:v 100 -pix_fmt yuv420p -c:v mpeg2video "
                         "-g 12 -bf 2 -f vob " + tu::q(ps)));
  const std::vector<uint8_t> intact = tu::read_file(ps);
  tu::RunResult r;
  const std::vector<std::string> clean = tu::index_lines(ps, ps + ".kwi", &r);
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(tu::kwi_slot_marks(clean), std::string(100, '.'));
  EXPECT_TRUE(tu::kwi_with(clean, "DAMAGE").empty());
  EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
  const std::vector<ShownPicture> shown = mpeg2_display_order(ps_video(intact));
  ASSERT_EQ(expected_slots(shown, [](uint64_t) { return false; }), mpeg2_slots(clean));
  ASSERT_EQ(shown.size(), 100u);
  struct Cut {
    size_t at, bytes;
    bool zero;
  };
  std::vector<Cut> cuts = {{intact.size() / 4 + 777, 300, false}, {intact.size() / 2 + 777, 1000, false},
                           {intact.size() / 2 + 777, 20000, false}};
  // Packs are 2048 bytes: 2 KB zeroed from 50, 700 or 1500 bytes before the
  // header of every third pack of the file's middle half.
  for (size_t pack = intact.size() / 4 / 2048; pack < intact.size() * 3 / 4 / 2048; pack += 3)
    for (size_t before : {50, 700, 1500}) cuts.push_back({pack * 2048 - before, 2048, true});
  size_t losses = 0, usable = 0;
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(std::to_string(cut.bytes) + " bytes " + (cut.zero ? "zeroed" : "cut out") + " at " +
                 std::to_string(cut.at));
    std::vector<uint8_t> b(intact.begin(), intact.begin() + long(cut.at));
    if (cut.zero) b.resize(b.size() + cut.bytes, 0);
    b.insert(b.end(), intact.begin() + long(cut.at + cut.bytes), intact.end());
    const std::string damaged =
        Dir() + "mpeg2-" + std::to_string(cut.bytes) + "-" + std::to_string(cut.at) + ".mpg";
    tu::write_file(damaged, b);
    const std::vector<std::string> lines = tu::index_lines(damaged, damaged + ".kwi", &r);
    ASSERT_EQ(r.status, 0) << r.out;
    // The intact file's bytes that the damaged one holds as video payload.
    const tst::Payload read = ps_video(b);
    std::map<uint64_t, uint8_t> kept;
    for (size_t k = 0; k < read.pos.size(); k++) {
      const uint64_t p = read.pos[k];
      kept[p < cut.at || cut.zero ? p : p + cut.bytes] = read.bytes[k];
    }
    const auto hit = [&](uint64_t p) {
      const auto it = kept.find(p);
      return it == kept.end() || it->second != intact[p];
    };
    // (Zeros over the last bytes of a picture's start damage its header,
    // which is read; such copies are no case of a lost picture.)
    if (std::any_of(shown.begin(), shown.end(), [&](const ShownPicture& s) {
          const auto n = std::count_if(s.start.begin(), s.start.end(), hit);
          return n > 0 && !hit(s.start.front());
        }))
      continue;
    ++usable;
    const std::string marks = mpeg2_slots(lines);
    const std::string expected = expected_slots(shown, hit);
    EXPECT_EQ(marks, expected);
    const long long slots = static_cast<long long>(std::count(marks.begin(), marks.end(), 'L'));
    losses += expected.find('L') != std::string::npos;
    EXPECT_EQ(tu::kwi_with(lines, "DAMAGE").size(), 1u);
    EXPECT_EQ(tu::kwi_value(lines, "CODED"), std::to_string(marks.size() - static_cast<size_t>(slots)));
    EXPECT_EQ(tu::kwi_value(lines, "PLAYBACK"), std::to_string(marks.size()));
    if (slots > 0) {
      EXPECT_NE(r.out.find("WARNING: " + std::to_string(slots) + " frames have no picture of their own"),
                std::string::npos)
          << r.out;
    }
  }
  EXPECT_GE(usable, cuts.size() / 2);
  EXPECT_GE(losses, usable / 2) << "cases where a picture's start was lost";
}

// Transport streams whose times disagree with the rate their VUI declares
// (x264's 50 pictures a second slowed to 25 in the PES times, a copy as
// ffmpeg's -itsscale makes it) or stamp pulldown repeats at the display
// rate (x264's Matroska output remuxed, its 3:2 times rounded to whole
// display frames): the intact files' indexes have no LOST line; with
// every packet of one P picture a third into the file cut out, indexing
// ends, and the only slots are those of the frames the lost picture shows,
// where the damaged file has no time of it (the 3:2 stream's may come a
// frame short, never over), and the clip never has more frames than the
// intact file plays.
TEST(TsLoss, SlotsFollowTheTimesOfThePicturesNotTheDeclaredRate) {
  const std::string film = "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=24000/1001 -frames:v 96 "
                           "-pix_fmt yuv420p -f yuv4mpegpipe OUT.y4m && x264 --quiet --keyint 24 --bframes 2 ";
  const struct {
    const char* name;
    std::string make;  // writes OUT.mkv
    bool rounded;
  } streams[] = {
      {"vui-twice",
       "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=25 -frames:v 100 -pix_fmt yuv420p -f yuv4mpegpipe "
       "OUT.y4m && x264 --quiet --fps 50 --keyint 25 --demuxer y4m -o OUT.x.mkv OUT.y4m && ffmpeg -v error -y "
       "-itsscale 2 -i OUT.x.mkv -c copy OUT.mkv",
       false},
      {"pulldown-double", film + "--pulldown double --demuxer y4m -o OUT.mkv OUT.y4m", false},
      {"pulldown-32", film + "--pulldown 32 --demuxer y4m -o OUT.mkv OUT.y4m", true},
  };
  for (const auto& s : streams) {
    SCOPED_TRACE(s.name);
    const std::string out = Dir() + s.name, ts = out + ".ts";
    std::string make = s.make;
    for (size_t p; (p = make.find("OUT")) != std::string::npos;) make.replace(p, 3, tu::q(out));
    ASSERT_EQ(tu::run(make + " && ffmpeg -v error -y -i " + tu::q(out + ".mkv") +
                      " -c copy -f mpegts " + tu::q(ts) + " 2>&1").status, 0);
    // ffprobe's pictures: presentation time and repeat_pict.
    std::map<long long, int> repeat;
    for (const auto& f : tu::ffprobe_frames(ts))
      if (f.count("pts") && f.at("pts") != "N/A" && f.count("repeat_pict"))
        repeat[std::stoll(f.at("pts"))] = std::stoi(f.at("repeat_pict"));
    ASSERT_GE(repeat.size(), 96u);
    std::vector<int> repeats;
    for (const auto& [time, rp] : repeat) repeats.push_back(rp);
    const long long plays = FramesPlayed(repeats);
    int served = -1;
    ASSERT_NO_FATAL_FAILURE(ExpectIntactPlays(ts, repeat.size(), plays, &served));

    // Every packet of the first P picture's PES packet a third into the file.
    const std::vector<uint8_t> bytes = tu::read_file(ts);
    const unsigned pid = video_pid(bytes);
    std::map<size_t, std::string> type_at;
    for (const auto& f : tu::ffprobe_frames(ts))
      if (f.count("pkt_pos") && f.count("pict_type") && f.at("pkt_pos") != "N/A")
        type_at[std::stoul(f.at("pkt_pos"))] = f.at("pict_type");
    std::set<size_t> cut;
    bool in = false;
    for (size_t at = bytes.size() / 3 / 188 * 188; at + 188 <= bytes.size(); at += 188) {
      if (pid_at(bytes, at) != pid) continue;
      if (bytes[at + 1] & 0x40) {
        if (in) break;
        in = type_at.count(at) && type_at[at] == "P";
      }
      if (in) cut.insert(at);
    }
    ASSERT_FALSE(cut.empty());
    ASSERT_NE(cut.size() % 16, 0u) << "a loss the counters cannot show";
    std::vector<uint8_t> b;
    for (size_t at = 0; at + 188 <= bytes.size(); at += 188)
      if (!cut.count(at)) b.insert(b.end(), bytes.begin() + long(at), bytes.begin() + long(at + 188));
    const std::string damaged = out + "-cut.ts", kwi = damaged + ".kwi";
    tu::write_file(damaged, b);
    const std::set<long long> read = tu::ffprobe_shown_times(damaged);
    std::vector<tu::ShownPicture> shown;
    for (const auto& [time, rp] : repeat) shown.push_back({read.count(time) != 0, 2 + rp});
    const std::string bound = tu::expected_frame_marks(shown);
    ASSERT_NE(bound.find('L'), std::string::npos);
    ExpectSlotsOfDamagedCopy(damaged, kwi, bound, s.rounded, plays, served);
  }
}
