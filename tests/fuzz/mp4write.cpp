// Opens the input for modification over an in-memory table and writes to
// it through the function interface: samples appended to every track (with
// composition offsets, sync flags and an empty sample), an offset changed,
// edits added, looked up and deleted, tracks copied (with edits applied),
// new tracks of three kinds, the file made ISMA- and 3GP-compliant, one
// track deleted; then closes it, which writes the tables and the movie back.
// What closing writes has a bound in proportion to the input; passing it
// is a finding. What was written is read again and optimised into a second
// buffer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "mp4.h"
#include "mp4test.h"
#include "mp4track.h"

namespace {

// Optimising a track that claims more samples than this (one size for all
// needs no bytes per sample) is left out. Modifying and closing take any
// count: the library bounds their walks by the file.
const uint32_t kMostSamples = 100000;
// The optimised copy stops growing here.
const uint64_t kMostOutput = 4 << 20;
// What closing may write at most, a multiple of the input: the movie and
// the old movie's place (each bounded by the input), new tables (an entry
// a sample the input holds), and the samples copied and appended (the
// copy with edits shows at most 64 samples 16 times, each inside the
// input). Writing past it is a fault, never a fuzzing limit: an input
// that reaches it stops the run as a finding.
uint64_t MostWritten(size_t inputSize) { return (uint64_t(inputSize) + 4096) * 2048; }

void Append(MP4FileHandle h, uint32_t id, const uint8_t* bytes, uint32_t size, uint32_t salt) {
  MP4WriteSample(h, id, bytes, size, UINT64_MAX, salt * 7, salt % 2 == 0);
  MP4WriteSample(h, id, bytes, 0, 10, static_cast<uint64_t>(-3), true);
  MP4WriteSample(h, id, bytes, size / 2, 1000, 0, false);
  MP4SetSampleRenderingOffset(h, id, 1, 5);
  const uint32_t edit = MP4AddTrackEdit(h, id, 0, salt, 100 + salt, salt == 1);
  uint64_t start = 0, duration = 0;
  MP4GetSampleIdFromEditTime(h, id, 50, &start, &duration);
  if (edit) MP4DeleteTrackEdit(h, id, edit);
  // A sample still in the chunk buffer goes to the file first.
  uint8_t* read = nullptr;
  uint32_t readSize = 0;
  if (MP4ReadSample(h, id, MP4GetTrackNumberOfSamples(h, id), &read, &readSize, nullptr, nullptr, nullptr, nullptr))
    free(read);
}

void Modify(mp4test::MemFile& mem, const uint8_t* bytes, uint32_t size) {
  Virtual_IO io = mp4test::MemFileIO();
  io.Write = [](void* h, void* buf, uint64_t n) -> uint64_t {
    mp4test::MemFile* f = static_cast<mp4test::MemFile*>(h);
    if (n > f->writeCap || f->pos > f->writeCap - n) {
      fprintf(stderr, "mp4write: %llu bytes written at %llu, past the bound of %llu\n",
              static_cast<unsigned long long>(n), static_cast<unsigned long long>(f->pos),
              static_cast<unsigned long long>(f->writeCap));
      abort();
    }
    return mp4test::MemFileIO().Write(h, buf, n);
  };
  mem.writeCap = MostWritten(mem.data.size());
  MP4File file(0);
  try {
    if (!file.Modify("/nonexistent-mp4write/fuzz.mp4", &mem, &io)) return;
  } catch (...) {
    return;
  }
  MP4FileHandle h = &file;
  const uint32_t tracks = MP4GetNumberOfTracks(h, nullptr, 0);
  // Copies of the first tracks into the same file, the first with its edits
  // applied; only of few samples and edits, as a copy with edits writes a
  // sample for every sample that every edit shows.
  for (uint32_t i = 0; i < tracks && i < 2; i++) {
    const uint32_t id = MP4FindTrackId(h, static_cast<uint16_t>(i), nullptr, 0);
    if (MP4GetTrackNumberOfSamples(h, id) <= 64 && MP4GetTrackNumberOfEdits(h, id) <= 16)
      MP4CopyTrack(h, id, nullptr, i == 0, 0);
  }
  for (uint32_t i = 0; i < tracks && i < 8; i++) Append(h, MP4FindTrackId(h, static_cast<uint16_t>(i), nullptr, 0), bytes, size, i);
  const uint32_t aac = MP4AddAudioTrack(h, 44100, 1024, 0x40);
  MP4SetTrackESConfiguration(h, aac, bytes, size < 2 ? size : 2);
  Append(h, aac, bytes, size, 1);
  const uint32_t avc = MP4AddH264VideoTrack(h, 90000, 3000, 32, 32, 100, 0, 30, 3);
  MP4AddH264SequenceParameterSet(h, avc, bytes, static_cast<uint16_t>(size));
  MP4AddH264PictureParameterSet(h, avc, bytes, static_cast<uint16_t>(size));
  Append(h, avc, bytes, size, 2);
  MP4AddODTrack(h);
  // The compliance operations over what the input's descriptors hold; the
  // file type box is written over its place in the input.
  try {
    file.MakeIsmaCompliant(size % 2 == 0);
  } catch (...) {
  }
  try {
    file.Make3GPCompliant(nullptr, nullptr, 0, nullptr, 0, size % 3 == 0);
  } catch (...) {
  }
  if (tracks > 1) MP4DeleteTrack(h, MP4FindTrackId(h, 0, nullptr, 0));
  try {
    file.Close();
  } catch (...) {
  }
  mem.writeCap = UINT64_MAX;
}

// Reads what was written and optimises it into a buffer of bounded size.
void Optimize(mp4test::MemFile& source) {
  Virtual_IO io = mp4test::MemFileIO();
  Virtual_IO bounded = mp4test::MemFileIO();
  bounded.Write = [](void* h, void* buf, uint64_t n) -> uint64_t {
    mp4test::MemFile* f = static_cast<mp4test::MemFile*>(h);
    return f->pos + n > kMostOutput ? 0 : mp4test::MemFileIO().Write(h, buf, n);
  };
  source.pos = 0;
  MP4FileHandle h = MP4ReadEx("fuzz.mp4", &source, &io, 0);
  if (!h) return;
  bool small = true;
  for (uint32_t i = 0; i < MP4GetNumberOfTracks(h, nullptr, 0); i++)
    small = small && MP4GetTrackNumberOfSamples(h, MP4FindTrackId(h, static_cast<uint16_t>(i), nullptr, 0)) <= kMostSamples;
  MP4Close(h);
  if (!small) return;
  mp4test::MemFile target;
  MP4File file(0);
  try {
    source.pos = 0;
    file.Attach("fuzz.mp4", 'r', &source, &io);
    file.ReadFromFile();
    file.CacheProperties();
    file.Attach("optimised.mp4", 'w', &target, &bounded);
    file.WriteOptimized(&source, &io);
  } catch (...) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mp4test::MemFile mem;
  mem.data.assign(data, data + size);
  // Sample bytes from the input itself.
  const uint32_t sampleSize = static_cast<uint32_t>(size < 16 ? size : 16);
  Modify(mem, data, sampleSize);
  Optimize(mem);
  return 0;
}
