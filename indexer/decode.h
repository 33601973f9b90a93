// Input files as one concatenated byte stream, the shared read buffer, and
// container detection.
#pragma once

#include "global.h"

void Recovery();                                     // measure inputs, reset the range
void PosToFileAndOffset(u64 position, int* file, u64* offset);
void InitializeBuffer(int descriptor, u64 offset);   // fill Buffer from CurrentFile at offset
int NextFile();                                      // 0, or -1 at the end of the list
int RefillBuffer();                                  // 0, or -1 at the end of input
// Positions the read buffer at a stream position (file and offset from the
// concatenation) and makes that file current.
void SeekStream(u64 position);
// Sum of the lengths of the files before `file` in the list. The readers ask
// for it once per stretch or packet, so the last answer is kept (Recovery,
// which measures the files, drops it).
extern int files_before_file;
extern u64 files_before_sum;
u64 FilesBeforeCompute(int file);
inline u64 FilesBefore(int file) { return file == files_before_file ? files_before_sum : FilesBeforeCompute(file); }
// Stream position of the byte at Rdptr.
inline u64 StreamPosition() { return static_cast<u64>(Rdptr - Buffer) + Buffer_Physical + FilesBefore(CurrentFile); }
int Open();                                          // container detection; 0 or a status

// ---- input access
// Every read of an input goes through these. SetMemoryInput makes the given
// name stand for a block of bytes in memory (the caller keeps it alive), so
// that tests and fuzz entries read inputs without files; a null name ends
// that. Memory descriptors are below -1: never a file descriptor, never the
// -1 of a file not open.
void SetMemoryInput(const char* name, const unsigned char* data, size_t size);
int InputOpen(const char* name);                     // descriptor, or -1
FILE* InputFopen(const char* name);                  // stdio stream for reading, or null
u32 InputRead(int fd, unsigned char* dst, u32 n);    // a short count means the end of the file
// Up to n bytes at offset, the file position left as it was: the bytes
// read, fewer only at the end of the file; -1 with errno set on a failure.
long InputReadAt(int fd, u64 offset, unsigned char* dst, size_t n);
// Up to n bytes at offset (n <= kInputViewMax) in place, where the file is
// mapped: *got says how many, fewer only at the end of the file. Valid until
// the next view of any input or InputViewRelease; null with errno set on a
// failure. Where a file cannot be mapped, the bytes are read into a buffer
// of the view's own. A file that shrinks under a view, or a read error of
// the storage behind it, leaves zeros in place of the lost bytes:
// InputViewFailed says so (and clears it), and the bytes read since its last
// call are not to be trusted.
constexpr size_t kInputViewMax = size_t(4) << 20;
const unsigned char* InputView(int fd, u64 offset, size_t n, size_t* got);
// The same where the view holds the bytes already; null, and nothing read,
// where it does not. With part given, a view that holds only their first
// bytes gives those: *part says how many (n where it holds them all).
const unsigned char* InputViewHeld(int fd, u64 offset, size_t n, size_t* part = nullptr);
// The stretches of [offset, offset + n) that views switched to reading have
// read already (or the memory input holds), without a read and without a
// mark of use, so that what is read next stays as it was: at most
// kInputViewHeldMax, to out in the order of their first bytes; how many. A
// mapping holds nothing here: a look at its pages may read them.
struct HeldStretch {
  const unsigned char* bytes;
  u64 at;  // the file position of bytes[0]
  size_t len;
};
constexpr size_t kInputViewHeldMax = 6;
size_t InputViewHeldStretches(int fd, u64 offset, size_t n, HeldStretch* out);
bool InputViewFailed();
void InputViewRelease();  // before the viewed descriptor is closed
// Views switched to reading read the file instead of mapping it (and
// nothing is mapped). A view that the last six reads do not hold reads a
// block of at least kInputViewBlock bytes where the views before it lay
// close together (stretches looked at kInputViewNear bytes apart or less,
// on a running mean), else a piece of at least kInputViewPiece bytes and
// the kInputViewBack bytes before them. Where a page cache holds a file in
// small pages, as it holds files just written, each fault of a mapping sets
// up a few pages only and costs more than reading the whole file; views
// close together read it in blocks, views far apart only their pieces (the
// read of a piece costs about as much as reading kInputViewNear bytes more
// of a block). Views are mapped by default.
constexpr size_t kInputViewBlock = 262144;
constexpr size_t kInputViewPiece = 4096;
constexpr size_t kInputViewBack = 1024;
constexpr size_t kInputViewNear = 24576;
void InputViewByReading(bool on);
void InputSeek(int fd, u64 offset);
u64 InputTell(int fd);
void InputClose(int fd);
// Length of a regular file (or of the memory input): 0 when measured, -1
// when the file cannot be opened, 1 when it is no regular file (a device or
// a pipe may never end, and has no length to index positions against).
int InputMeasure(const char* name, u64* length);
void reset_input_state();                            // memory descriptors and cached sums
// The input stream itself, the files back to back (lengths as Recovery
// measured them): the detection reads its start from there, so that a
// recording cut into pieces anywhere, even a first piece of a few bytes,
// is detected as the whole would be.
u32 ReadStreamAt(u64 position, unsigned char* dst, u32 n);  // fewer at the end of the stream
// InputFopen of this name reads the input stream through stdio.
constexpr const char* kInputStreamName = "<input stream>";
