// Every index that Ostrel writes with status 0 must open in KWSource: the
// damage tables index through IndexAndOpen, which opens each such index in
// the plugin built on the CPU stand-in of CUDA/CUVID, through the test host.
// Without the stand-in build only the index is made.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"
#ifdef PEMMICK_CPU_SO
#include "vshost.h"
#endif

inline void ExpectOpensInKWSource(const std::string& kwi) {
#ifdef PEMMICK_CPU_SO
  vshost::Args a;
  a.set("source", kwi);
  const std::unique_ptr<vshost::Clip> clip = vshost::Invoke(vshost::Load(PEMMICK_CPU_SO), "KWSource", a);
  EXPECT_TRUE(clip && clip->ok()) << kwi << " does not open in KWSource: " << (clip ? clip->error() : "");
#else
  (void)kwi;
#endif
}

// The number of frames KWSource serves from the index; -1 where it does not
// open, or without the stand-in build.
inline int KWSourceFrames(const std::string& kwi) {
#ifdef PEMMICK_CPU_SO
  vshost::Args a;
  a.set("source", kwi);
  const std::unique_ptr<vshost::Clip> clip = vshost::Invoke(vshost::Load(PEMMICK_CPU_SO), "KWSource", a);
  return clip && clip->ok() ? clip->vi().numFrames : -1;
#else
  (void)kwi;
  return -1;
#endif
}

// tu::index_lines, and an index written with status 0 opened in KWSource.
inline std::vector<std::string> IndexAndOpen(const std::string& input, const std::string& kwi,
                                             tu::RunResult* result = nullptr) {
  tu::RunResult own;
  tu::RunResult* r = result ? result : &own;
  std::vector<std::string> lines = tu::index_lines(input, kwi, r);
  if (r->status == 0) ExpectOpensInKWSource(kwi);
  return lines;
}
