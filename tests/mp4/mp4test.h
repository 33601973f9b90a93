// Helpers of the MP4 library's tests and fuzz entry: a caller-supplied
// Virtual_IO table over bytes in memory, and capturing what a call prints.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mp4file.h"
#include "virtual_io.h"

namespace mp4test {

// A file held in a vector: reads stop at its end, writes grow it.
struct MemFile {
  std::vector<uint8_t> data;
  uint64_t pos = 0;
  bool closed = false;
};

inline Virtual_IO MemFileIO() {
  Virtual_IO io;
  io.GetFileLength = [](void* h) -> uint64_t { return static_cast<MemFile*>(h)->data.size(); };
  io.SetPosition = [](void* h, uint64_t p) -> int {
    MemFile* f = static_cast<MemFile*>(h);
    if (p > f->data.size()) return -1;
    f->pos = p;
    return 0;
  };
  io.GetPosition = [](void* h, uint64_t* p) -> int {
    *p = static_cast<MemFile*>(h)->pos;
    return 0;
  };
  io.Read = [](void* h, void* buf, uint64_t n) -> uint64_t {
    MemFile* f = static_cast<MemFile*>(h);
    const uint64_t k = f->pos >= f->data.size() ? 0 : std::min<uint64_t>(n, f->data.size() - f->pos);
    if (k) memcpy(buf, f->data.data() + f->pos, k);
    f->pos += k;
    return k;
  };
  io.Write = [](void* h, void* buf, uint64_t n) -> uint64_t {
    MemFile* f = static_cast<MemFile*>(h);
    if (f->pos + n > f->data.size()) f->data.resize(f->pos + n);
    memcpy(f->data.data() + f->pos, buf, n);
    f->pos += n;
    return n;
  };
  io.EndOfFile = [](void* h) -> int {
    MemFile* f = static_cast<MemFile*>(h);
    return f->pos >= f->data.size();
  };
  io.Close = [](void* h) -> int {
    static_cast<MemFile*>(h)->closed = true;
    return 0;
  };
  return io;
}

// Appends bytes one by one (GCC 12 warns falsely about range inserts of
// short constant vectors).
template <typename C>
void Append(std::vector<uint8_t>& b, const C& more) {
  for (auto x : more) b.push_back(static_cast<uint8_t>(x));
}

// Runs f with a stream and returns what it wrote there.
template <typename F>
std::string Capture(F f) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* s = open_memstream(&buf, &size);
  if (!s) return "<open_memstream failed>";
  f(s);
  fclose(s);
  std::string out(buf, size);
  free(buf);
  return out;
}

}  // namespace mp4test
