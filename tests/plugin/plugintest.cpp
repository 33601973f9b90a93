#include "plugintest.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "testutil.h"

namespace pt {

static const char* kPattern = "-f lavfi -i testsrc=size=320x240:rate=25 ";

bool MakeH264(const std::string& path, int frames, const std::string& extra) {
  return tu::ffmpeg(std::string(kPattern) + "-frames:v " + std::to_string(frames) +
                    " -c:v libx264 -preset ultrafast -g 12 -bf 2 " + extra + " " + tu::q(path));
}

bool MakeHevc(const std::string& path, int frames, const std::string& extra) {
  return tu::ffmpeg(std::string(kPattern) + "-frames:v " + std::to_string(frames) +
                    " -c:v libx265 -x265-params log-level=error:keyint=10 " + extra + " " +
                    tu::q(path));
}

bool MakeMpeg2(const std::string& path, int frames, const std::string& extra) {
  return tu::ffmpeg(std::string(kPattern) + "-frames:v " + std::to_string(frames) +
                    " -c:v mpeg2video -g 12 -bf 2 " + extra + " " + tu::q(path));
}

std::string Index(const std::string& input, const std::string& kwi) {
  tu::RunResult r = tu::ostrel("-i " + input + " -o " + tu::q(kwi));
  if (r.status != 0 || !tu::exists(kwi)) {
    ADD_FAILURE() << "ostrel -i " << input << " failed: " << r.out;
    return "";
  }
  return kwi;
}

std::string Head(const std::string& magic_line, const std::vector<std::string>& files) {
  std::string s = magic_line + "\n/opt/ostrel/\n\n";
  for (const std::string& f : files) s += f + "\n";
  return s;
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

static int Edit(const std::string& path, const std::string& begins, const std::string* with,
                bool all) {
  std::vector<std::string> ls = tu::lines(tu::read_text(path));
  std::string out;
  int n = 0;
  for (const std::string& l : ls) {
    if (l.compare(0, begins.size(), begins) == 0 && (all || n == 0)) {
      ++n;
      if (with) out += *with + "\n";
      continue;
    }
    out += l + "\n";
  }
  WriteText(path, out);
  return n;
}

int ReplaceLines(const std::string& path, const std::string& begins, const std::string& with,
                 bool all) {
  return Edit(path, begins, &with, all);
}

int RemoveLines(const std::string& path, const std::string& begins) {
  return Edit(path, begins, nullptr, true);
}

}  // namespace pt
