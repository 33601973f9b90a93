#include "virtual_io.h"

#include <stdio_ext.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "mp4util.h"

namespace {

FILE* Stream(void* handle) { return static_cast<FILE*>(handle); }

uint64_t FILE_GetFileLength(void* handle) {
  struct stat st;
  if (fstat(fileno(Stream(handle)), &st) != 0) throw MP4Error(errno, "stat failed", "MP4Open");
  return static_cast<uint64_t>(st.st_size);
}

// A stream that is reading, short of its end, and already at the position
// keeps its buffer: samples read in order cost no seek.
int FILE_SetPosition(void* handle, uint64_t position) {
  if (position > static_cast<uint64_t>(INT64_MAX)) return -1;
  FILE* f = Stream(handle);
  if (__freading(f) && !feof(f) && !ferror(f) && ftello(f) == static_cast<off_t>(position)) return 0;
  return fseeko(f, static_cast<off_t>(position), SEEK_SET);
}

int FILE_GetPosition(void* handle, uint64_t* position) {
  const off_t pos = ftello(Stream(handle));
  if (pos < 0) throw MP4Error(errno, "MP4GetPosition");
  *position = static_cast<uint64_t>(pos);
  return 0;
}

uint64_t FILE_Read(void* handle, void* buffer, uint64_t size) {
  return fread(buffer, 1, size, Stream(handle));
}

uint64_t FILE_Write(void* handle, void* buffer, uint64_t size) {
  return fwrite(buffer, 1, size, Stream(handle));
}

int FILE_EndOfFile(void* handle) { return feof(Stream(handle)); }

int FILE_Close(void* handle) { return fclose(Stream(handle)); }

}  // namespace

Virtual_IO FILE_virtual_IO = {FILE_GetFileLength, FILE_SetPosition, FILE_GetPosition,
                              FILE_Read,          FILE_Write,       FILE_EndOfFile,
                              FILE_Close};
