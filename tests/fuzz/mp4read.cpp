// Opens the input through the function interface over a caller's in-memory
// Virtual_IO table and walks every track the way the programs' MP4 inputs
// do: decoder configuration, the first 16 samples with their times, time
// conversions and lookups, presentation times; then the other read-side
// queries. Every text handed out must be terminated and every buffer as
// long as its size says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mp4.h"
#include "mp4test.h"

namespace {

using mp4test::Text;
using mp4test::Touch;

void ParameterSets(MP4FileHandle h, uint32_t id) {
  uint8_t** sets[2] = {nullptr, nullptr};
  uint32_t* sizes[2] = {nullptr, nullptr};
  MP4GetTrackH264SeqPictHeaders(h, id, &sets[0], &sizes[0], &sets[1], &sizes[1]);
  for (int k = 0; k < 2; k++) {
    if (!sets[k]) continue;
    uint32_t i = 0;
    for (; sizes[k][i]; i++) {
      Touch(sets[k][i], sizes[k][i]);
      free(sets[k][i]);
    }
    if (sets[k][i]) abort();  // the two arrays end together
    free(sets[k]);
    free(sizes[k]);
  }
}

void Samples(MP4FileHandle h, uint32_t id) {
  const uint32_t count = MP4GetTrackNumberOfSamples(h, id);
  const uint32_t timeScale = MP4GetTrackTimeScale(h, id);
  for (uint32_t s = 1; s <= count && s <= 16; s++) {
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    uint64_t start = 0, duration = 0, offset = 0;
    bool sync = false;
    if (MP4ReadSample(h, id, s, &bytes, &size, &start, &duration, &offset, &sync)) {
      Touch(bytes, size);
      if (MP4GetSampleTime(h, id, s) != start) abort();
      const uint32_t found = MP4GetSampleIdFromTime(h, id, start, false);
      if (found > count) abort();
      MP4GetSampleIdFromTime(h, id, start, true);
      MP4ConvertFromTrackTimestamp(h, id, start, 1000);
      MP4ConvertToTrackTimestamp(h, id, start / 2, timeScale / 2 + 1);
    } else if (size != 0 || bytes) {
      abort();
    }
    free(bytes);
    MP4GetSampleDuration(h, id, s);
    MP4GetSampleRenderingOffset(h, id, s);
    MP4GetSampleSync(h, id, s);
    MP4GetSampleSize(h, id, s);
  }
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  if (MP4ReadSample(h, id, count + 1, &bytes, &size, nullptr, nullptr, nullptr, nullptr)) abort();
  uint8_t small[8];
  bytes = small;
  size = sizeof small;
  if (count && MP4ReadSample(h, id, 1, &bytes, &size, nullptr, nullptr, nullptr, nullptr) && size > sizeof small)
    abort();
  bytes = nullptr;
  if (MP4ReadSampleFromTime(h, id, MP4GetTrackDuration(h, id) / 2, &bytes, &size, nullptr, nullptr, nullptr, nullptr))
    Touch(bytes, size);
  free(bytes);
  // Presentation times through the edit list and the composition order: a
  // sample found is shown over a span that holds the time.
  const uint64_t duration = MP4GetTrackDuration(h, id);
  for (const uint64_t when : {uint64_t(0), duration / 3, duration / 2, duration - 1, duration}) {
    uint64_t start = 0, length = 0;
    const uint32_t shown = MP4GetSampleIdFromEditTime(h, id, when, &start, &length);
    if (shown && length && (start > when || when - start >= length)) abort();
  }
}

void Track(MP4FileHandle h, uint32_t id) {
  Text(MP4GetTrackType(h, id));
  Text(MP4GetTrackMediaDataName(h, id));
  MP4GetTrackEsdsObjectTypeId(h, id);
  ParameterSets(h, id);
  uint32_t length = 0;
  MP4GetTrackH264LengthSize(h, id, &length);
  const uint64_t duration = MP4GetTrackDuration(h, id);
  MP4ConvertFromTrackDuration(h, id, duration, 1000);
  MP4ConvertToTrackDuration(h, id, 1000, 1000);
  Samples(h, id);

  uint8_t* config = nullptr;
  uint32_t size = 0;
  if (MP4GetTrackESConfiguration(h, id, &config, &size)) Touch(config, size);
  free(config);
  MP4GetTrackAudioMpeg4Type(h, id);
  MP4GetVideoProfileLevel(h, id);
  MP4GetTrackVideoWidth(h, id);
  MP4GetTrackVideoHeight(h, id);
  MP4GetTrackVideoFrameRate(h, id);
  MP4GetTrackAudioChannels(h, id);
  MP4GetTrackBitRate(h, id);
  MP4GetTrackMaxSampleSize(h, id);
  MP4GetTrackFixedSampleDuration(h, id);
  uint8_t profile, level;
  MP4GetTrackH264ProfileLevel(h, id, &profile, &level);
  char format[5];
  MP4GetTrackMediaDataOriginalFormat(h, id, format, sizeof format);
  MP4IsIsmaCrypMediaTrack(h, id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mp4test::MemFile mem;
  Virtual_IO io;
  MP4FileHandle h = mp4test::ReadInMemory(mem, io, data, size, "/nonexistent-mp4read/fuzz.mp4");
  if (!h) return 0;
  MP4GetTimeScale(h);
  MP4GetDuration(h);
  uint64_t value = 0;
  MP4GetIntegerProperty(h, "moof.mfhd.sequenceNumber", &value);
  const uint32_t tracks = MP4GetNumberOfTracks(h, nullptr, 0);
  for (uint32_t i = 0; i < tracks && i < 64; i++) Track(h, MP4FindTrackId(h, static_cast<uint16_t>(i), nullptr, 0));
  MP4GetNumberOfTracks(h, "video", 0x20);
  MP4GetNumberOfTracks(h, "audio", 0x40);
  MP4FindTrackId(h, 0, "video", 0);
  MP4FindTrackId(h, 0, "soun", 0x40);
  MP4Close(h);
  return 0;
}
