// One in-process run of Ostrel's readers and analyses over a memory input,
// for the fuzz entries: the process state is reset, the input is the fuzz
// bytes, and an exit of Ostrel ends the run like a return.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "decode.h"
#include "global.h"
#include "index.h"
#include "misc.h"
#include "nalu.h"

namespace fuzz {

// What the exit hook throws: no parser's handler catches it.
struct Leave {
  int status;
};

[[noreturn]] inline void leave(int status) { throw Leave{status}; }

// The index file the analyses write, one per process, removed after each
// run (libFuzzer ends without exit handlers); in memory (/dev/shm) where
// there is one, as a file on disk costs more than a run.
inline const std::string& index_path() {
  static const std::string path = [] {
    const char* tmp = getenv("TMPDIR");
    const std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp && *tmp ? tmp : "/tmp";
    return dir + "/ostrel-fuzz-" + std::to_string(getpid()) + ".kwi";
  }();
  return path;
}

// Resets the state and makes the bytes the one input file, measured and open.
inline void start(const uint8_t* data, size_t size) {
  static char name[MAX_FILE_NAME];
  reset_process_state();  // empties the names of the input table, this one too
  snprintf(name, sizeof name, "%s", "<fuzz input>");
  exit_hook = leave;
  SetMemoryInput(name, data, size);
  Infilename[0] = name;
  Infile[0] = InputOpen(name);
  NumLoadedFiles = 1;
  snprintf(output_file, sizeof output_file, "%s", index_path().c_str());
}

// Runs f; an exit of Ostrel inside it ends it.
template <typename F>
void guarded(F f) {
  try {
    Recovery();
    f();
  } catch (const Leave&) {
  }
}

// Every unit of the input through the unit reader of the given kind.
inline void read_all_units(bool avc_reader) {
  IsFirstByteStreamNALU = 1;
  u64 pos = 0;
  for (;;) {
    const int r = avc_reader ? GetAnnexbNALUAVC(nalu, &pos) : GetAnnexbNALU(nalu, &pos);
    if (r <= 0) break;
  }
}

// A stream that takes what the report writers print and drops it.
inline FILE* sink() {
  static FILE* f = fopen("/dev/null", "w");
  return f;
}

// The input as an elementary stream of one codec through its whole index
// routine (index file, trailer) and its report writer.
inline void index_elementary(const uint8_t* data, size_t size, int codec, void (*routine)(),
                             void (*report)(FILE*)) {
  start(data, size);
  guarded([&] {
    VideoStream_Flag = codec;
    init_indexing();
    routine();
    if (sink()) report(sink());
  });
  unlink(index_path().c_str());
}

}  // namespace fuzz
