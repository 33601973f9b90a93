// Every index that Ostrel writes with status 0 must open in KWSource: the
// damage tables index through IndexAndOpen, which opens each such index in
// the plugin built on the CPU stand-in of CUDA/CUVID, through the test host.
// Without the stand-in build only the index is made.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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

// The frames a recording plays by ffprobe's repeat_pict of its pictures: a
// frame per picture, one more per frame repeated (2 doubles, 4 triples),
// and one per two fields repeated (1).
inline long long FramesPlayed(const std::vector<int>& repeats) {
  long long plays = 0;
  int fields_repeated = 0;
  for (const int r : repeats) {
    plays += 1 + (r >= 2 ? r / 2 : 0);
    fields_repeated += r == 1;
  }
  return plays + fields_repeated / 2;
}

// Indexes the intact file of `pictures` pictures: no LOST line, PLAYBACK
// the frames it plays, and as many served by KWSource; *served is that
// count (-1 without the stand-in build).
inline void ExpectIntactPlays(const std::string& input, size_t pictures, long long plays, int* served) {
  tu::RunResult r;
  const std::vector<std::string> intact = IndexAndOpen(input, input + ".kwi", &r);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tu::kwi_slot_marks(intact), std::string(pictures, '.')) << "no LOST line";
  EXPECT_EQ(tu::kwi_value(intact, "PLAYBACK"), std::to_string(plays));
  *served = KWSourceFrames(input + ".kwi");
  if (*served >= 0) {
    EXPECT_EQ(*served, plays) << "the frames KWSource serves";
  }
}

// Indexes a damaged copy under a time limit (indexing that does not end
// fails) and holds its slot marks (tu::kwi_slot_marks) to `bound`
// (tu::expected_frame_marks): exactly, or, where the stream's times were
// rounded, within it and at most one lost slot short. Neither PLAYBACK nor
// the frames KWSource serves may exceed what the intact file plays.
inline void ExpectSlotsOfDamagedCopy(const std::string& input, const std::string& kwi, const std::string& bound,
                                     bool rounded, long long plays, int served) {
  std::remove(kwi.c_str());
  const tu::RunResult r = tu::run("timeout 60 " + tu::q(OSTREL_BIN) + " -i " + tu::q(input) + " -o " + tu::q(kwi));
  ASSERT_EQ(r.status, 0) << r.out;
  ExpectOpensInKWSource(kwi);
  const std::vector<std::string> lines = tu::kwi_lines(kwi);
  const std::string marks = tu::kwi_slot_marks(lines);
  if (rounded) {
    EXPECT_TRUE(tu::marks_within(marks, bound)) << marks << "\nat most\n" << bound;
    EXPECT_GE(std::count(marks.begin(), marks.end(), 'L') + 1, std::count(bound.begin(), bound.end(), 'L'));
  } else {
    EXPECT_EQ(marks, bound);
  }
  EXPECT_LE(std::stoll(tu::kwi_value(lines, "PLAYBACK")), plays);
  EXPECT_LE(KWSourceFrames(kwi), served) << "the frames KWSource serves";
}
