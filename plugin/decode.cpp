// Input files as one byte stream for the decode thread: mapping of stream
// positions to files, the read buffer with its refill, the raw byte source,
// and the positioning of the readers at an index position.
#include <cstdio>

#include "decoder.h"

void CAVCDecoder::PosToFileAndOffset(u64 position, int* file, u64* offset) const {
  *file = 0;
  *offset = position;
  if (files.empty() || position <= files[0].size) return;
  // before = length of the files before file i; a position equal to the end
  // of a file maps to that file, at an offset equal to its length.
  u64 before = files[0].size;
  for (size_t i = 1; i < files.size(); ++i) {
    const u64 end = files[i].size > UINT64_MAX - before ? UINT64_MAX : before + files[i].size;
    if (end >= position || i + 1 == files.size()) {
      *file = static_cast<int>(i);
      *offset = position - before;  // past the last file's end when the position is beyond all
      return;
    }
    before = end;
  }
  *offset = position;  // one file only: position lies past its end
}

u64 CAVCDecoder::FileStart(int file) const {
  u64 before = 0;
  for (int i = 0; i < file && static_cast<size_t>(i) < files.size(); ++i)
    before = files[i].size > UINT64_MAX - before ? UINT64_MAX : before + files[i].size;
  return before;
}

u32 CAVCDecoder::InitializeBuffer(int file, u64 offset) {
  if (rbuf.empty()) rbuf.resize(READ_BUFFER_SIZE);
  rbuf_position = FileStart(file) + offset;
  current_file = file;
  fill_file = file;
  fill_offset = static_cast<i64>(offset);
  rd = 0;
  valid = 0;
  payload_bytes = 0;
  input_ended = false;
  if (file < 0 || static_cast<size_t>(file) >= files.size() || !files[file].fp) return 0;
  if (offset > static_cast<u64>(INT64_MAX)) return 0;
  if (fseeko(files[file].fp, static_cast<off_t>(offset), SEEK_SET) != 0) return 0;
  valid = static_cast<u32>(fread(rbuf.data(), 1, READ_BUFFER_SIZE, files[file].fp));
  return valid;
}

int CAVCDecoder::RefillBuffer() {
  if (input_ended || rbuf.empty()) return -1;
  if (stream_type == CONTAINER_MKV || stream_type == CONTAINER_MP4) {
    if ((stream_type == CONTAINER_MKV ? NextMKVBuffer() : NextMP4Buffer()) == 0) return 0;
    input_ended = true;
    return -1;
  }
  const u32 old_valid = valid;
  bool next_file = old_valid < READ_BUFFER_SIZE;  // a short block: the file has ended
  u32 n = 0;
  if (!next_file) {
    n = static_cast<u32>(fread(rbuf.data(), 1, READ_BUFFER_SIZE, files[current_file].fp));
    next_file = n == 0;
  }
  if (next_file) {
    // An empty file, or the end of the last one, ends the input.
    if (static_cast<size_t>(current_file) + 1 >= files.size()) {
      input_ended = true;
      return -1;
    }
    ++current_file;
    rbuf_position = FileStart(current_file) - old_valid;
    ts_counter.Forget();  // files are joined where they were cut, or are clips of their own
    FILE* fp = files[current_file].fp;
    n = 0;
    if (fp && fseeko(fp, 0, SEEK_SET) == 0) n = static_cast<u32>(fread(rbuf.data(), 1, READ_BUFFER_SIZE, fp));
    if (n == 0) {
      input_ended = true;
      return -1;
    }
  }
  valid = n;
  rd = 0;
  rbuf_position += old_valid;
  // The program-stream packet end keeps pointing at the same stream byte.
  if (rdmax >= static_cast<i64>(old_valid)) rdmax -= old_valid;
  return 0;
}

int CAVCDecoder::GetRawByte(unsigned char* byte) {
  if (rd >= valid && RefillBuffer() < 0) return -1;
  *byte = rbuf[rd++];
  return 0;
}

int CAVCDecoder::SkipBytes(u64 count) {
  while (count > 0) {
    if (rd >= valid && RefillBuffer() < 0) return -1;
    const u64 take = valid - rd < count ? valid - rd : count;
    rd += static_cast<u32>(take);
    count -= take;
  }
  return 0;
}

int CAVCDecoder::AlignStream(u64 position) {
  if (ubuf.empty()) ubuf.resize(UNIT_BUFFER_SIZE);
  first_unit = true;
  had_eof = false;
  rdmax = 0;
  ts_counter.Forget();
  switch (stream_type) {
    case CONTAINER_TS:
      AlignTSStream(position);
      break;
    case CONTAINER_PS:
      AlignPSStream(position);
      break;
    case CONTAINER_MKV:
      InitializeMKVBuffer(position);
      break;
    case CONTAINER_MP4:
      InitializeMP4Buffer(position);
      break;
    default: {
      int file;
      u64 offset;
      PosToFileAndOffset(position, &file, &offset);
      InitializeBuffer(file, offset);
      break;
    }
  }
  return 0;
}
