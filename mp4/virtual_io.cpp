#include "virtual_io.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Files the library opens only for reading: a descriptor behind a buffer of
// our own, positions kept here. Positioning is free (no system call), and a
// position inside the buffer reads from it, so the samples of one track read
// in order cost one read of the file per buffer, however the other tracks'
// chunks lie between them. Requests of half a buffer or more go straight to
// the caller's memory.
constexpr size_t kReadBuffer = size_t(1) << 18;

// The kernel copies from the page cache fastest where the file position and
// the memory address lie alike within a cache line: the buffer is
// page-aligned, and fills begin at a page boundary of the file.
constexpr size_t kPage = 4096;
struct ReadStream {
  alignas(kPage) unsigned char buffer[kReadBuffer];
  int fd;
  uint64_t position;  // of the next byte to be read
  uint64_t start;     // file position of buffer[0]
  size_t held;        // bytes of the buffer that are valid
  bool ended;         // a read came short at the end of the file
};

ReadStream* Reader(void* handle) { return static_cast<ReadStream*>(handle); }

uint64_t READ_GetFileLength(void* handle) {
  struct stat st;
  if (fstat(Reader(handle)->fd, &st) != 0) throw MP4Error(errno, "stat failed", "MP4Open");
  return static_cast<uint64_t>(st.st_size);
}

int READ_SetPosition(void* handle, uint64_t position) {
  if (position > static_cast<uint64_t>(INT64_MAX)) return -1;
  Reader(handle)->position = position;
  Reader(handle)->ended = false;
  return 0;
}

int READ_GetPosition(void* handle, uint64_t* position) {
  *position = Reader(handle)->position;
  return 0;
}

// Reads up to size bytes at position to out; the bytes read, short only at
// the end of the file or on an error.
size_t ReadAt(int fd, uint64_t position, unsigned char* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    if (position + done > static_cast<uint64_t>(INT64_MAX)) break;
    const ssize_t n = pread(fd, out + done, size - done, static_cast<off_t>(position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

uint64_t READ_Read(void* handle, void* buffer, uint64_t size) {
  ReadStream* r = Reader(handle);
  unsigned char* out = static_cast<unsigned char*>(buffer);
  uint64_t done = 0;
  while (done < size) {
    const uint64_t want = size - done;
    if (r->position >= r->start && r->position < r->start + r->held) {
      const uint64_t at = r->position - r->start;
      const uint64_t n = want < r->held - at ? want : r->held - at;
      memcpy(out + done, r->buffer + at, n);
      done += n;
      r->position += n;
      continue;
    }
    if (want >= kReadBuffer / 2) {
      const uint64_t chunk = want < (uint64_t(1) << 30) ? want : (uint64_t(1) << 30);
      const size_t n = ReadAt(r->fd, r->position, out + done, static_cast<size_t>(chunk));
      done += n;
      r->position += n;
      if (n < chunk) break;
      continue;
    }
    r->start = r->position / kPage * kPage;
    r->held = ReadAt(r->fd, r->start, r->buffer, kReadBuffer);
    if (r->held <= r->position - r->start) break;
  }
  if (done < size) r->ended = true;
  return done;
}

uint64_t READ_Write(void*, void*, uint64_t) {
  errno = EBADF;
  return 0;
}

int READ_EndOfFile(void* handle) { return Reader(handle)->ended; }

// Files opened for update: the reading stream above, whose writes go to
// the system at once at the stream's position (no buffered write can fail
// later, under another write's name), and leave the position where the
// bytes written end. A failed write leaves it where the write was to go.
uint64_t UPDATE_Write(void* handle, void* buffer, uint64_t size) {
  ReadStream* r = Reader(handle);
  const unsigned char* in = static_cast<const unsigned char*>(buffer);
  uint64_t done = 0;
  while (done < size) {
    if (r->position + done > static_cast<uint64_t>(INT64_MAX)) {
      errno = EFBIG;
      break;
    }
    const uint64_t left = size - done;
    const size_t chunk = left < (uint64_t(1) << 30) ? static_cast<size_t>(left) : size_t(1) << 30;
    const ssize_t n = FILE_pwrite(r->fd, in + done, chunk, static_cast<off_t>(r->position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      break;
    }
    done += static_cast<uint64_t>(n);
  }
  // The buffer no longer holds what the file does there.
  if (r->position < r->start + r->held && r->position + done > r->start) r->held = 0;
  if (done == size) r->position += done;
  return done;
}

int READ_Close(void* handle) {
  ReadStream* r = Reader(handle);
  const int result = FILE_close(r->fd);
  const int error = errno;
  free(r);
  errno = error;
  return result;
}

void* OpenStream(const char* fileName, int flags) {
  ReadStream* r = static_cast<ReadStream*>(aligned_alloc(kPage, sizeof(ReadStream)));
  if (!r) {
    errno = ENOMEM;
    return nullptr;
  }
  r->fd = open(fileName, flags | O_CLOEXEC, 0666);
  if (r->fd < 0) {
    const int e = errno;
    free(r);
    errno = e;
    return nullptr;
  }
  r->position = r->start = 0;
  r->held = 0;
  r->ended = false;
  return r;
}

}  // namespace

void* FILE_OpenForReading(const char* fileName) { return OpenStream(fileName, O_RDONLY); }

void* FILE_OpenForUpdate(const char* fileName) { return OpenStream(fileName, O_RDWR); }

void* FILE_OpenForWriting(const char* fileName) { return OpenStream(fileName, O_RDWR | O_CREAT | O_TRUNC); }

int FILE_TruncateUpdated(void* handle, uint64_t length) {
  if (length > static_cast<uint64_t>(INT64_MAX)) return -1;
  ReadStream* r = Reader(handle);
  r->held = 0;
  return ftruncate(r->fd, static_cast<off_t>(length));
}

int64_t FILE_ReadBack(void* handle, uint64_t position, void* buffer, uint64_t size) {
  if (position > static_cast<uint64_t>(INT64_MAX) || size > (uint64_t(1) << 30)) {
    errno = EINVAL;
    return -1;
  }
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(Reader(handle)->fd, static_cast<unsigned char*>(buffer) + done, size - done,
                            static_cast<off_t>(position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

ssize_t (*FILE_pwrite)(int fd, const void* buffer, size_t size, off_t position) = pwrite;
int (*FILE_close)(int fd) = close;

int FILE_Truncate(void* handle, uint64_t length) {
  if (length > static_cast<uint64_t>(INT64_MAX)) return -1;
  FILE* f = Stream(handle);
  __fpurge(f);
  return ftruncate(fileno(f), static_cast<off_t>(length));
}

Virtual_IO FILE_read_virtual_IO = {READ_GetFileLength, READ_SetPosition, READ_GetPosition, READ_Read,
                                   READ_Write,         READ_EndOfFile,   READ_Close};

Virtual_IO FILE_update_virtual_IO = {READ_GetFileLength, READ_SetPosition, READ_GetPosition, READ_Read,
                                     UPDATE_Write,       READ_EndOfFile,   READ_Close};

Virtual_IO FILE_virtual_IO = {FILE_GetFileLength, FILE_SetPosition, FILE_GetPosition,
                              FILE_Read,          FILE_Write,       FILE_EndOfFile,
                              FILE_Close};
