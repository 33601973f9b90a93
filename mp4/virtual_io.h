// The file-access table of the MP4 library: seven callbacks over an opaque
// handle, in this order. FILE_virtual_IO is the library's own table over a
// stdio stream opened with 64-bit offsets; files it opens only for reading
// go through FILE_read_virtual_IO, over a buffered descriptor whose handle
// FILE_OpenForReading gives (null with errno set when the file cannot be
// opened; the table's Close closes it). Files the library modifies or
// makes go through FILE_update_virtual_IO, the same stream opened for
// reading and writing (FILE_OpenForUpdate; FILE_OpenForWriting makes the
// file new and empty), whose every write goes to the system at once
// through FILE_pwrite, and whose Close closes through FILE_close (pwrite
// and close, unless a test puts stand-ins there).
#pragma once

#include <sys/types.h>

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdint.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Virtual_IO {
  uint64_t (*GetFileLength)(void* handle);
  int (*SetPosition)(void* handle, uint64_t position);          // 0 on success
  int (*GetPosition)(void* handle, uint64_t* position);         // 0 on success
  uint64_t (*Read)(void* handle, void* buffer, uint64_t size);  // bytes read
  uint64_t (*Write)(void* handle, void* buffer, uint64_t size); // bytes written
  int (*EndOfFile)(void* handle);                               // non-zero at the end
  int (*Close)(void* handle);
} Virtual_IO;

extern Virtual_IO FILE_virtual_IO;
extern Virtual_IO FILE_read_virtual_IO;
void* FILE_OpenForReading(const char* fileName);
extern Virtual_IO FILE_update_virtual_IO;
void* FILE_OpenForUpdate(const char* fileName);
void* FILE_OpenForWriting(const char* fileName);
extern ssize_t (*FILE_pwrite)(int fd, const void* buffer, size_t size, off_t position);
extern int (*FILE_close)(int fd);
// Reads bytes of a stream of FILE_update_virtual_IO from the file itself,
// past the stream's buffer (which may hold what the file no longer does),
// leaving its position alone: the bytes read, short at the end of the
// file, or -1 with errno set.
int64_t FILE_ReadBack(void* handle, uint64_t position, void* buffer, uint64_t size);
// Cuts a stream of FILE_update_virtual_IO back to a length; 0 on success.
int FILE_TruncateUpdated(void* handle, uint64_t length);
// Cuts a stream of FILE_virtual_IO back to a length, its buffered writes
// dropped; 0 on success.
int FILE_Truncate(void* handle, uint64_t length);

#ifdef __cplusplus
}  // extern "C"
#endif
