// Test helpers for HEVC end-to-end tests: inputs made with ffmpeg and x265,
// the index read back into records, and independent references (ffprobe
// picture types, a start-code scan of NAL unit types).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testutil.h"

namespace hevc_test {

// One picture line of an HEVC index, without its running number.
struct KwiPicture {
  std::string kind;        // IDR, CRA, BLA, RASL, RADL, TRAIL
  uint64_t position = 0;   // IRAP lines only
  int slice_type = -1;
  int poc = 0;
};

inline std::vector<KwiPicture> kwi_pictures_hevc(const std::vector<std::string>& lines) {
  std::vector<KwiPicture> v;
  for (const std::string& l : tu::kwi_pictures(lines)) {
    KwiPicture p;
    char kind[8] = {};
    unsigned long long pos = 0;
    if (sscanf(l.c_str(), "%7s", kind) != 1) continue;
    p.kind = kind;
    if (p.kind == "IDR" || p.kind == "CRA" || p.kind == "BLA") {
      if (sscanf(l.c_str() + p.kind.size(), " %llu %d %d", &pos, &p.slice_type, &p.poc) != 3) continue;
      p.position = pos;
    } else if (sscanf(l.c_str() + p.kind.size(), " %d %d", &p.slice_type, &p.poc) != 2) {
      continue;
    }
    v.push_back(p);
  }
  return v;
}

// The value after "KEYWORD " of the first line starting with it ("" if none).
inline std::string kwi_value(const std::vector<std::string>& lines, const std::string& keyword) {
  std::vector<std::string> v = tu::kwi_with(lines, keyword + " ");
  return v.empty() ? std::string("<none>") : v[0].substr(keyword.size() + 1);
}

// A y4m source from ffmpeg's test pattern. vf is an optional filter chain.
inline std::string make_y4m(const std::string& name, const std::string& rate, int frames,
                            const std::string& pix_fmt = "yuv420p", const std::string& vf = "",
                            const std::string& pattern = "testsrc") {
  std::string path = tu::scratch(name);
  tu::ffmpeg("-f lavfi -i " + pattern + "=size=320x240:rate=" + rate + " -frames:v " +
             std::to_string(frames) + (vf.empty() ? "" : " -vf " + vf) + " -pix_fmt " + pix_fmt +
             " -strict -1 -f yuv4mpegpipe " + tu::q(path));
  return path;
}

// Encodes with the x265 command-line encoder.
inline std::string x265(const std::string& y4m, const std::string& name, const std::string& opts) {
  std::string out = tu::scratch(name);
  tu::RunResult r = tu::run("x265 --log-level error --input " + tu::q(y4m) + " " + opts + " -o " +
                            tu::q(out));
  EXPECT_EQ(r.status, 0) << r.out;
  return out;
}

// Runs Ostrel on the input, returns the index lines; status and output in *run.
inline std::vector<std::string> index_of(const std::string& input, tu::RunResult* run = nullptr) {
  std::string kwi = input + ".kwi";
  tu::RunResult r;
  std::vector<std::string> lines = tu::index_lines(input, kwi, &r);
  if (run) *run = r;
  // An input without a picture to decode from gives no index.
  if (r.status != 0) {
    EXPECT_TRUE(tu::refused_no_picture(r, lines));
  }
  return lines;
}

// ffprobe's picture types in display (output) order as H.265 slice_type
// codes: I 2, P 1, B 0.
inline std::vector<int> ffprobe_slice_types(const std::string& path) {
  std::vector<int> v;
  for (auto& f : tu::ffprobe_frames(path)) {
    const std::string& t = f["pict_type"];
    v.push_back(t == "I" ? 2 : t == "P" ? 1 : t == "B" ? 0 : -1);
  }
  return v;
}

inline std::vector<int> slice_types(const std::vector<KwiPicture>& pics) {
  std::vector<int> v;
  for (const KwiPicture& p : pics) v.push_back(p.slice_type);
  return v;
}

// Units of an elementary stream by an independent scan: position of the
// 00 00 01 and the NAL unit type.
struct EsUnit {
  uint64_t pos;
  int type;
};
inline std::vector<EsUnit> scan_nal_units(const std::vector<uint8_t>& es) {
  std::vector<EsUnit> v;
  for (const tu::ScanUnit& u : tu::scan_start_codes(es)) v.push_back({u.pos, (u.code >> 1) & 63});
  return v;
}

inline bool is_irap_type(int t) { return t >= 16 && t <= 21; }

}  // namespace hevc_test
