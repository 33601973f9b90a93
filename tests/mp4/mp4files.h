// What the MP4 tests share about the files ffmpeg writes: an independent
// box walker, the set of files (made once per test program), ffprobe's
// packets, and a box rewriter that turns sample tables into their compact
// and 64-bit forms.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mp4test.h"
#include "testutil.h"

namespace mp4test {

struct Walked {
  int depth;
  std::string type;
  uint64_t offset;
  uint64_t size;
  std::string parent;
  bool operator==(const Walked& o) const {
    return depth == o.depth && type == o.type && offset == o.offset && size == o.size;
  }
};

inline std::ostream& operator<<(std::ostream& os, const Walked& w) {
  return os << w.depth << " " << w.type << " @" << w.offset << " +" << w.size;
}

// Body bytes before the children of the boxes the library reads children
// of; -1 for every other box. body is the offset of the box's body.
inline int ChildrenAt(const Bytes& d, uint64_t body, const std::string& type, const std::string& parent) {
  static const std::set<std::string> containers = {"moov", "trak", "edts", "mdia", "minf", "dinf",
                                                    "gmhd", "tref", "mvex", "moof", "traf", "wave",
                                                    "pinf", "sinf", "schi", "stbl", "udta",
                                                    "hnti", "hinf"};
  static const std::set<std::string> visualEntries = {"avc1", "encv", "mp4v", "hvc1", "hev1", "SVQ3",
                                                      "h263", "jpeg", "raw ", "yuv2", "vc-1", "s263"};
  // Metadata: "meta" (version and flags unless the handler box follows at
  // once), "ilst", and the items whose "data" children are read.
  static const std::set<std::string> items = {
      "aART", "akID", "apID", "atID", "cnID", "cpil", "cprt", "disk", "pgap", "plID", "purd", "rtng", "sfID",
      "stik", "tmpo", "trkn", "\xA9" "ART", "\xA9wrt", "\xA9" "alb", "\xA9" "day", "\xA9too", "\xA9gen",
      "\xA9grp", "gnre", "geID", "covr", "----", "\xA9nam", "\xA9" "cmt", "\xA9" "cpy", "\xA9prd",
      "\xA9" "des", "\xA9lyr"};
  if (containers.count(type) || type == "ilst" || (parent == "ilst" && items.count(type))) return 0;
  if (type == "meta") return body + 8 <= d.size() && std::string(d.begin() + body + 4, d.begin() + body + 8) == "hdlr" ? 0 : 4;
  if (type == "stsd" || type == "dref") return 8;  // version, flags, entry count
  if (visualEntries.count(type)) return 78;
  if (type == "d263") return 7;
  if (type == "enca" || type == "samr" || type == "sawb" || type == "ac-3") return 28;
  if (type == "mp4s" || type == "href") return 8;
  // The hint sample entry: reserved, data reference index, two versions,
  // the largest packet size (6 + 2 + 2 + 2 + 4 bytes).
  if (type == "rtp " && parent == "stsd") return 16;
  if (type == "mp4a") {
    // A sample entry: 28 bytes, then 16 more from version 1 and 20 more in
    // version 2 (the low byte of the version word). Elsewhere (in "wave")
    // it holds boxes only.
    if (parent != "stsd") return 0;
    const int version = d.at(body + 9);
    return 28 + (version >= 1 ? 16 : 0) + (version == 2 ? 20 : 0);
  }
  return -1;
}

// The walker: every box from its 32- or 64-bit size, children where the
// table above says so.
inline void Walk(const Bytes& d, uint64_t pos, uint64_t end, int depth, const std::string& parent,
          std::vector<Walked>& out) {
  while (end - pos >= 8) {
    uint64_t size = Be(d, pos, 4);
    const std::string type(d.begin() + pos + 4, d.begin() + pos + 8);
    uint64_t header = 8;
    if (size == 1) {
      size = Be(d, pos + 8, 8);
      header = 16;
    } else if (size == 0) {
      size = end - pos;
    }
    if (type == "uuid") header += 16;
    out.push_back({depth, type, pos, size, parent});
    const int skip = ChildrenAt(d, pos + header, type, parent);
    if (skip >= 0) Walk(d, pos + header + skip, pos + size, depth + 1, type, out);
    pos += size;
  }
}

inline std::vector<Walked> Walk(const Bytes& d) {
  std::vector<Walked> out;
  Walk(d, 0, d.size(), 1, "root", out);
  return out;
}

inline const Walked* Find(const std::vector<Walked>& boxes, const std::string& type, int nth = 0) {
  for (const Walked& w : boxes)
    if (w.type == type && nth-- == 0) return &w;
  return nullptr;
}

// The fields after version and flags of the nth box of a type, as found by
// the walker; empty when there is no such box.
inline std::vector<uint64_t> Fields(const Bytes& file, const char* type, int nth = 0, int width = 4) {
  const std::vector<Walked> boxes = Walk(file);
  const Walked* w = Find(boxes, type, nth);
  std::vector<uint64_t> out;
  for (uint64_t p = w ? w->offset + 12 : 0; w && p + width <= w->offset + w->size; p += width)
    out.push_back(Be(file, p, width));
  return out;
}

// The types of the top-level boxes in file order.
inline std::vector<std::string> TopLevel(const Bytes& file) {
  std::vector<std::string> types;
  for (const Walked& w : Walk(file))
    if (w.depth == 1) types.push_back(w.type);
  return types;
}

// The bytes of a sample as text; "<false>" when the read fails (and then
// no buffer and no size are left).
inline std::string Sample(MP4FileHandle h, uint32_t sampleId, uint32_t trackId = 1) {
  uint8_t* bytes = nullptr;
  uint32_t size = 12345;
  if (!MP4ReadSample(h, trackId, sampleId, &bytes, &size, nullptr, nullptr, nullptr, nullptr)) {
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(bytes, nullptr);
    return "<false>";
  }
  std::string s(reinterpret_cast<char*>(bytes), size);
  free(bytes);
  return s;
}

// ---------------------------------------------------------------- bounded writes

// Runs f in a child process whose files may not grow past limit bytes
// (RLIMIT_FSIZE). A write past it fails with EFBIG, or with killed, ends
// the child by SIGXFSZ, as it ends a program that does not ignore it. The
// child's status: 0 when f returned true, 1 when false, 128 + the signal
// that ended it.
inline int Bounded(uint64_t limit, const std::function<bool()>& f, bool killed = false) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const struct rlimit bound = {limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &bound) != 0) _exit(2);
    signal(SIGXFSZ, killed ? SIG_DFL : SIG_IGN);
    _exit(f() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// A shell command line run with its files bounded (dash counts 512-byte
// blocks).
inline tu::RunResult RunBounded(uint64_t limit, const std::string& command) {
  return tu::run("ulimit -f " + std::to_string((limit + 511) / 512) + " && " + command);
}

// MP4Modify, change, MP4Close, bounded: true when the file opened and the
// change succeeded (the close reports nothing).
inline bool ModifyBounded(const std::string& path, uint64_t limit,
                          const std::function<bool(MP4FileHandle)>& change = nullptr, bool killed = false) {
  return Bounded(limit, [&] {
           MP4FileHandle h = MP4Modify(path.c_str(), 0);
           if (!h) return false;
           const bool ok = !change || change(h);
           MP4Close(h);
           return ok;
         }, killed) == 0;
}

inline const char* const kVideo = "-f lavfi -i testsrc=size=160x120:rate=10:duration=1";
inline const char* const kAudio = "-f lavfi -i sine=duration=1";

// Every file once per test program.
class MP4Files : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // ctest runs each test in its own process, at the same time: each makes
    // the files in its own folder.
    char cwd[4096];
    dir = std::string(getcwd(cwd, sizeof cwd)) + "/scratch/mp4files." + std::to_string(getpid()) + "/";
    tu::run("mkdir -p " + tu::q(dir));
    tu::write_file(dir + "chapters.txt",
                   Bytes(kChapters, kChapters + strlen(kChapters)));
    const std::string v = kVideo, a = kAudio;
    const std::map<std::string, std::string> make = {
        {"h264_aac.mp4", v + " " + a + " -c:v libx264 -c:a aac -shortest"},
        {"faststart.mp4", v + " " + a + " -c:v libx264 -c:a aac -shortest -movflags +faststart"},
        {"hvc1.mp4", v + " -c:v libx265 -x265-params log-level=error -tag:v hvc1"},
        {"hev1.mp4", v + " -c:v libx265 -x265-params log-level=error -tag:v hev1"},
        {"mpeg2.mp4", v + " -c:v mpeg2video"},
        {"mpeg4_iods.mp4", v + " -c:v mpeg4 -skip_iods 0"},
        {"frag.mp4", v + " " + a +
                         " -c:v libx264 -c:a aac -shortest -movflags +frag_keyframe+empty_moov+default_base_moof"},
        {"version1.mp4", "-f lavfi -i testsrc=size=160x120:rate=10:duration=3 -c:v libx264"
                         " -movie_timescale 2000000000 -video_track_timescale 2000000000"},
        {"ctts1.mp4", v + " -c:v libx264 -bf 2 -movflags +negative_cts_offsets"},
        {"chapters.mp4", v + " -i " + tu::q(dir + "chapters.txt") +
                             " -map 0 -map_chapters 1 -c:v libx264"},
        {"meta.mov", v + " " + a + " -c:v libx264 -c:a aac -shortest -metadata title=Hello -f mov"},
        {"h263.3gp", "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 " + a +
                         " -c:v h263 -c:a aac -ar 8000 -ac 1 -shortest"},
        {"rtphint.mp4", v + " -c:v libx264 -movflags +rtphint"},
    };
    for (const auto& m : make) {
      if (!tu::ffmpeg(m.second + " " + tu::q(dir + m.first))) continue;
      names.push_back(m.first);
    }
  }
  // A folder per process would pile up: kept only when something failed.
  static void TearDownTestSuite() {
    if (::testing::UnitTest::GetInstance()->Passed()) tu::run("rm -rf " + tu::q(dir));
  }
  static Bytes Data(const std::string& name) { return tu::read_file(dir + name); }
  // Video, audio and a subtitle track whose samples are 2 to 6 bytes, made
  // on first use: "subs.mp4".
  static void MakeSubtitled() {
    if (tu::exists(dir + "subs.mp4")) return;
    const std::string srt = "1\n00:00:00,000 --> 00:00:00,300\na\n\n2\n00:00:00,500 --> 00:00:00,700\nbcd\n\n"
                            "3\n00:00:00,800 --> 00:00:00,900\nxyzw\n";
    tu::write_file(dir + "subs.srt", Bytes(srt.begin(), srt.end()));
    ASSERT_TRUE(tu::ffmpeg(std::string(kVideo) + " " + kAudio + " -i " + tu::q(dir + "subs.srt") +
                           " -map 0 -map 1 -map 2 -c:v libx264 -c:a aac -c:s mov_text -shortest " +
                           tu::q(dir + "subs.mp4")));
  }
  static constexpr const char* kChapters =
      ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=500\ntitle=One\n"
      "[CHAPTER]\nTIMEBASE=1/1000\nSTART=500\nEND=1000\ntitle=Two\n";
  static inline std::string dir;
  static inline std::vector<std::string> names;
};

// ---------------------------------------------------------------- sample tables

// One ffprobe packet: times in the track's time base, "K" in the flags for
// a key frame.
struct Packet {
  int64_t dts, pts;
  uint64_t size, pos;
  bool key;
  // Compared on its own: the box tree's tests leave it out. -1: "N/A".
  int64_t duration = 0;
  bool operator==(const Packet& o) const {
    return dts == o.dts && pts == o.pts && size == o.size && pos == o.pos && key == o.key;
  }
};

inline std::ostream& operator<<(std::ostream& os, const Packet& p) {
  return os << "dts " << p.dts << " pts " << p.pts << " size " << p.size << " pos " << p.pos
            << (p.key ? " K" : "");
}

// The key=value fields of one line of ffprobe's compact output.
inline std::map<std::string, std::string> CompactFields(const std::string& line) {
  std::map<std::string, std::string> f;
  std::istringstream in(line);
  for (std::string kv; std::getline(in, kv, '|');) {
    const size_t eq = kv.find('=');
    if (eq != std::string::npos) f[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  return f;
}

// The packets of each stream. ffprobe marks every packet of a data stream
// (a hint track) a key frame whatever the sync table says: those flags are
// left out (set) here.
inline std::map<int, std::vector<Packet>> FFprobePackets(const std::string& path) {
  const tu::RunResult r = tu::run("ffprobe -v error -ignore_editlist 1 -show_entries "
                                  "packet=stream_index,dts,pts,duration,size,pos,flags:stream=index,codec_type"
                                  " -of compact=p=0 " + tu::q(path));
  std::map<int, std::vector<Packet>> out;
  std::set<int> data;
  for (const std::string& line : tu::lines(r.out)) {
    std::map<std::string, std::string> f = CompactFields(line);
    if (f.count("codec_type") && f["codec_type"] == "data") data.insert(std::stoi(f["index"]));
    if (!f.count("stream_index")) continue;
    out[std::stoi(f["stream_index"])].push_back({std::stoll(f["dts"]), std::stoll(f["pts"]), std::stoull(f["size"]),
                                                  std::stoull(f["pos"]), f["flags"].find('K') != std::string::npos,
                                                  f["duration"] == "N/A" ? -1 : std::stoll(f["duration"])});
  }
  for (int stream : data)
    for (Packet& p : out[stream]) p.key = false;
  return out;
}

// ---------------------------------------------------------------- compact sizes, 64-bit offsets

// The hexadecimal dump of ffprobe's -show_data after "extradata=", of a
// stream.
inline Bytes FFprobeExtradata(const std::string& path, int stream = 0) {
  const tu::RunResult r = tu::run("ffprobe -v error -select_streams " + std::to_string(stream) + " -show_entries stream=extradata"
                                  " -show_data -of default=nw=1 " + tu::q(path));
  Bytes out;
  for (const std::string& line : tu::lines(r.out)) {
    if (line.size() < 10 || line[8] != ':') continue;
    const std::string hex = line.substr(10, line.find("  ", 10) - 10);
    for (size_t i = 0; i + 1 < hex.size(); i++) {
      if (hex[i] == ' ') continue;
      out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
      i++;
    }
  }
  return out;
}

// The box rewriter: a box with its body, or for the containers down to the
// sample tables, its children; the media data header may take the 64-bit
// form.
struct Node {
  std::string type;
  Bytes body;
  std::vector<Node> kids;
  bool large = false;
};

inline std::vector<Node> Parse(const Bytes& d, uint64_t pos, uint64_t end) {
  static const std::set<std::string> containers = {"moov", "trak", "mdia", "minf", "stbl"};
  std::vector<Node> out;
  while (end - pos >= 8) {
    uint64_t size = Be(d, pos, 4), header = 8;
    if (size == 1) {
      size = Be(d, pos + 8, 8);
      header = 16;
    }
    Node n;
    n.type.assign(d.begin() + pos + 4, d.begin() + pos + 8);
    if (containers.count(n.type))
      n.kids = Parse(d, pos + header, pos + size);
    else
      n.body.assign(d.begin() + pos + header, d.begin() + pos + size);
    out.push_back(n);
    pos += size;
  }
  return out;
}

inline Bytes Serialize(const Node& n) {
  Bytes body = n.body;
  for (const Node& k : n.kids) Append(body, Serialize(k));
  const Bytes type(n.type.begin(), n.type.end());
  return n.large ? Cat({BE(1, 4), type, BE(16 + body.size(), 8), body}) : Box(n.type.c_str(), body);
}

inline Node* Kid(Node& n, const std::string& type) {
  for (Node& k : n.kids)
    if (k.type == type) return &k;
  return nullptr;
}

inline Node& TrackTables(std::vector<Node>& file, size_t track) {
  Node* moov = nullptr;
  for (Node& n : file)
    if (n.type == "moov") moov = &n;
  size_t t = 0;
  for (Node& trak : moov->kids)
    if (trak.type == "trak" && t++ == track) return *Kid(*Kid(*Kid(trak, "mdia"), "minf"), "stbl");
  throw std::runtime_error("no track");
}

// "stco" becomes "co64" with the same offsets.
inline void ToCo64(Node& stbl) {
  Node* stco = Kid(stbl, "stco");
  const uint64_t count = Be(stco->body, 4, 4);
  Bytes body = Cat({BE(0, 4), BE(count, 4)});
  for (uint64_t i = 0; i < count; i++) Append(body, BE(Be(stco->body, 8 + 4 * i, 4), 8));
  *stco = {"co64", body, {}, false};
}

// "stsz" becomes "stz2" with entries of fieldSize bits (two 4-bit sizes a
// byte, the first in the upper half).
inline void ToStz2(Node& stbl, int fieldSize) {
  Node* stsz = Kid(stbl, "stsz");
  const uint64_t constant = Be(stsz->body, 4, 4), count = Be(stsz->body, 8, 4);
  Bytes body = Cat({BE(0, 4), BE(0, 3), BE(fieldSize, 1), BE(count, 4)});
  for (uint64_t i = 0; i < count; i++) {
    const uint64_t size = constant ? constant : Be(stsz->body, 12 + 4 * i, 4);
    if (fieldSize == 4 && i % 2)
      body.back() |= static_cast<uint8_t>(size);
    else
      Append(body, BE(fieldSize == 4 ? size << 4 : size, fieldSize == 4 ? 1 : fieldSize / 8));
  }
  *stsz = {"stz2", body, {}, false};
}

// Adds delta to every chunk offset of the track.
inline void MoveChunks(Node& stbl, int64_t delta) {
  for (Node& k : stbl.kids) {
    const int width = k.type == "stco" ? 4 : k.type == "co64" ? 8 : 0;
    if (!width) continue;
    for (uint64_t i = 0, n = Be(k.body, 4, 4); i < n; i++) {
      const Bytes moved = BE(Be(k.body, 8 + width * i, width) + delta, width);
      std::copy(moved.begin(), moved.end(), k.body.begin() + 8 + width * i);
    }
  }
}

// The rewrites of the subtitled file's three tracks: 64-bit chunk offsets
// and 16-bit sizes everywhere, 8- and 4-bit sizes of the subtitles.
struct TableVariant {
  const char* name;
  std::function<void(std::vector<Node>&)> change;
};
inline std::vector<TableVariant> TableVariants() {
  return {
      {"co64 and 16-bit sizes", [](std::vector<Node>& f) {
         for (size_t t = 0; t < 3; t++) {
           ToCo64(TrackTables(f, t));
           ToStz2(TrackTables(f, t), 16);
         }
       }},
      {"8-bit sizes", [](std::vector<Node>& f) { ToStz2(TrackTables(f, 2), 8); }},
      {"4-bit sizes", [](std::vector<Node>& f) { ToStz2(TrackTables(f, 2), 4); }},
  };
}

// The file with its tables changed and the media data header in the 64-bit
// form; the chunk offsets follow the samples, which move by *delta.
inline Bytes Rewrite(const Bytes& original, const std::function<void(std::vector<Node>&)>& change, int64_t* delta) {
  std::vector<Node> file = Parse(original, 0, original.size());
  change(file);
  // The samples' new start: after the boxes before the media data (which
  // the change may have resized) and its 16-byte header.
  const std::vector<Walked> boxes = Walk(original);
  const uint64_t oldData = Find(boxes, "mdat")->offset + 8;
  uint64_t newData = 0;
  for (Node& n : file) {
    if (n.type == "mdat") {
      n.large = true;
      newData += 16;
      break;
    }
    newData += Serialize(n).size();
  }
  *delta = static_cast<int64_t>(newData - oldData);
  for (size_t t = 0; t < 3; t++) MoveChunks(TrackTables(file, t), *delta);
  Bytes out;
  for (const Node& n : file) Append(out, Serialize(n));
  return out;
}

// ---------------------------------------------------------------- packets and frames

// ffmpeg's size and Adler-32 of each packet of a stream, copied as stored.
inline std::vector<std::pair<uint32_t, uint32_t>> FrameCrcs(const std::string& path, int stream) {
  const tu::RunResult r = tu::run("ffmpeg -v error -ignore_editlist 1 -i " + tu::q(path) + " -map 0:" +
                                  std::to_string(stream) + " -c copy -f framecrc -");
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const std::string& line : tu::lines(r.out)) {
    unsigned index, size, crc;
    long long dts, pts, duration;
    if (sscanf(line.c_str(), "%u, %lld, %lld, %lld, %u, 0x%x", &index, &dts, &pts, &duration, &size, &crc) == 6)
      out.push_back({size, crc});
  }
  return out;
}

// ffmpeg's Adler-32 starts from 0 rather than 1.
inline uint32_t Adler(const uint8_t* p, uint32_t n) { return static_cast<uint32_t>(adler32(0, p, n)); }

// ffprobe's packets of each stream, "dts|pts|duration|size|flags" (and the
// position when asked), with or without the edit lists applied.
inline std::map<int, std::vector<std::string>> PacketLines(const std::string& path, bool edits, bool positions = false) {
  const tu::RunResult r =
      tu::run(std::string("ffprobe -v error ") + (edits ? "" : "-ignore_editlist 1 ") +
              "-show_entries packet=stream_index,dts,pts,duration,size,flags" + (positions ? ",pos" : "") +
              " -of compact=p=0 " + tu::q(path));
  std::map<int, std::vector<std::string>> out;
  for (const std::string& line : tu::lines(r.out)) {
    const size_t bar = line.find('|');
    if (line.rfind("stream_index=", 0) == 0) out[std::stoi(line.substr(13))].push_back(line.substr(bar + 1));
  }
  return out;
}

// ffmpeg's decoded frames: hashes with their times, sorted.
inline std::vector<std::string> Frames(const std::string& path) {
  std::vector<std::string> frames;
  for (const std::string& line : tu::lines(tu::run("ffmpeg -v error -i " + tu::q(path) + " -f framemd5 -").out))
    if (!line.empty() && line[0] != '#') frames.push_back(line);
  std::sort(frames.begin(), frames.end());
  return frames;
}

}  // namespace mp4test
