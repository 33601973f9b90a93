// Inputs of the tests of timed containers (Matroska, MP4), whose indexes
// hold frame or sample times where others hold byte positions: the
// elementary streams they are made from, made once per test process, and
// the comparison of an index with the elementary stream's.
#pragma once

#include <unistd.h>

#include <cmath>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace timed {

// The elementary streams, 160x128 (HEVC and MPEG-2 pictures need whole
// blocks), each made once.
struct Source {
  const char* name;
  const char* file;
  std::string make;  // shell command writing OUT
};

inline const std::string kPattern = "ffmpeg -v error -y -f lavfi -i testsrc=size=160x128:rate=25 -pix_fmt yuv420p ";
inline const std::string kFilm =
    "ffmpeg -v error -y -f lavfi -i testsrc=size=160x192:rate=24000/1001 -frames:v 24 -pix_fmt yuv420p "
    "-f yuv4mpegpipe OUT.y4m && ";

inline const std::vector<Source>& Sources() {
  static const std::vector<Source> s = {
      {"AVC closed GOP", "closed.264", kPattern + "-frames:v 30 -c:v libx264 -x264-params keyint=12:scenecut=0 OUT"},
      {"AVC open GOP", "open.264",
       kPattern + "-frames:v 36 -c:v libx264 -x264-params open-gop=1:keyint=12:min-keyint=12:scenecut=0 OUT"},
      {"AVC MBAFF", "mbaff.264", kPattern + "-frames:v 30 -c:v libx264 -x264-params tff=1:keyint=12 OUT"},
      {"AVC soft pulldown", "pulldown.264",
       kFilm + "x264 --quiet --pulldown 32 --keyint 12 --bframes 2 --demuxer y4m -o OUT OUT.y4m"},
      {"HEVC CRA", "cra.265",
       kPattern + "-frames:v 26 -c:v libx265 -x265-params log-level=error:keyint=8:open-gop=1:bframes=3 OUT"},
      {"HEVC 10-bit", "deep.265",
       "ffmpeg -v error -y -f lavfi -i testsrc=size=160x128:rate=25 -pix_fmt yuv420p10le -frames:v 20 "
       "-c:v libx265 -x265-params log-level=error:keyint=10 OUT"},
      {"MPEG-2 interlaced", "i.m2v",
       kPattern + "-frames:v 30 -c:v mpeg2video -g 12 -bf 2 -flags +ilme+ildct -top 1 -f mpeg2video OUT"},
      {"MPEG-2 soft pulldown", "pulldown.m2v", kFilm + "mpeg2enc -v 0 -f 8 -p -g 12 -G 12 -R 2 -o OUT < OUT.y4m"},
      // Pictures of several hundred KB, which the containers' inputs read
      // by other roads than small ones.
      {"MPEG-2 large pictures", "large.m2v",
       "ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -vf noise=alls=12:allf=t -frames:v 24 "
       "-c:v mpeg2video -q:v 2 -g 12 -bf 2 -f mpeg2video OUT"},
  };
  return s;
}

inline std::string Replace(std::string s, const std::string& key, const std::string& with) {
  for (size_t p; (p = s.find(key)) != std::string::npos;) s.replace(p, key.size(), with);
  return s;
}

// Body and trailer lines of an index with every position replaced by "@",
// parameter-set lines and FPS left out; the positions go to *positions.
inline std::vector<std::string> Shape(const std::vector<std::string>& lines, std::vector<uint64_t>* positions) {
  static const std::set<std::string> grouped = {"RPS", "IDR", "I", "SEQ", "ENTRY"};
  std::vector<std::string> out;
  bool body = false;
  for (const std::string& l : lines) {
    if (l.rfind("COLORIMETRY", 0) == 0) body = true;
    if (!body || l.empty() || l.rfind("SPS ", 0) == 0 || l.rfind("PPS ", 0) == 0 || l.rfind("FPS ", 0) == 0)
      continue;
    std::istringstream in(l);
    std::vector<std::string> w;
    for (std::string t; in >> t;) w.push_back(t);
    const std::string key = w[0].substr(w[0].find(':') == std::string::npos ? 0 : w[0].find(':') + 1);
    const bool hevc_irap = w[0] != key && (key == "IDR" || key == "CRA" || key == "BLA");
    if ((grouped.count(key) || hevc_irap) && w.size() >= 2) {
      if (positions && key != "RPS") positions->push_back(std::stoull(w[1]));
      w[1] = "@";
    }
    std::string joined;
    for (const std::string& t : w) joined += (joined.empty() ? "" : " ") + t;
    out.push_back(joined);
  }
  return out;
}

// ffprobe's video packets: their count, and the field named (pts_time, dts)
// of the key ones, times scale, rounded.
struct Packets {
  size_t count = 0;
  std::set<uint64_t> key_times;
};
inline Packets Probe(const std::string& file, const std::string& field, double scale, const std::string& extra = "") {
  Packets p;
  const tu::RunResult r = tu::run("ffprobe -v error " + extra + " -select_streams v:0 -show_entries packet=" + field +
                                  ",flags -of csv=p=0 " + tu::q(file));
  for (const std::string& l : tu::lines(r.out)) {
    const size_t comma = l.find(',');
    if (comma == std::string::npos) continue;
    ++p.count;
    if (l.find('K', comma) != std::string::npos)
      p.key_times.insert(static_cast<uint64_t>(std::llround(std::stod(l.substr(0, comma)) * scale)));
  }
  return p;
}

// A scratch folder of this test process: each test runs in a process of
// its own and makes the inputs it needs there.
inline const std::string& Dir() {
  static const std::string d = [] {
    const std::string path = tu::scratch("matroska_input-" + std::to_string(getpid())) + "/";
    tu::run("mkdir -p " + tu::q(path));
    return path;
  }();
  return d;
}

inline std::string Made(const std::string& name, const std::string& make) {
  const std::string path = Dir() + name;
  if (!tu::exists(path)) {
    EXPECT_EQ(tu::run(Replace(make, "OUT", tu::q(path)) + " 2>&1").status, 0) << name;
  }
  return path;
}

inline std::string Es(const Source& s) { return Made(s.file, s.make); }
inline std::string Audio() { return Made("audio.mp2", "ffmpeg -v error -y -f lavfi -i sine=sample_rate=48000 -t 3 -c:a mp2 OUT"); }
}  // namespace timed
