// Opens the input through the function interface over a caller's in-memory
// Virtual_IO table and, for every hint track, asks for its payload,
// session description and reference track, then reads every hint (up to
// 64) and every packet of it (up to 64) into RTP packets: with a buffer of
// the library's, and into a caller's buffer that must never be overrun.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mp4.h"
#include "mp4test.h"

namespace {

using mp4test::Text;
using mp4test::Touch;

// A caller's buffer with a guard after the room it announces.
uint8_t g_buffer[4096 + 16];

void Packet(MP4FileHandle h, uint32_t id, uint16_t p) {
  MP4GetRtpPacketBFrame(h, id, p);
  MP4GetRtpPacketTransmitOffset(h, id, p);
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  // The header alone: always 12 bytes.
  if (MP4ReadRtpPacket(h, id, p, &bytes, &size, 1, true, false) && size != 12) abort();
  free(bytes);
  memset(g_buffer + 4096, 0xA5, 16);
  bytes = g_buffer;
  size = 4096;
  // A packet larger than the room is refused before anything is copied.
  const bool fits = MP4ReadRtpPacket(h, id, p, &bytes, &size, 1, true, true);
  if (fits && (bytes != g_buffer || size > 4096 || size < 12)) abort();
  for (int i = 0; i < 16; i++)
    if (g_buffer[4096 + i] != 0xA5) abort();
  // The payload alone in a buffer of the library's, for packets known to
  // be small: a hostile hint may describe megabytes of references to one
  // sample.
  if (!fits) return;
  Touch(g_buffer, size);
  bytes = nullptr;
  if (MP4ReadRtpPacket(h, id, p, &bytes, &size, 0, false, true))
    Touch(bytes, size);
  else if (bytes)
    abort();
  free(bytes);
}

void HintTrack(MP4FileHandle h, uint32_t id) {
  Text(MP4GetHintTrackSdp(h, id));
  char* name = nullptr;
  char* params = nullptr;
  uint8_t number = 0;
  uint16_t max = 0;
  if (MP4GetHintTrackRtpPayload(h, id, &name, &number, &max, &params)) {
    Text(name);
    Text(params);
  }
  free(name);
  free(params);
  MP4GetHintTrackReferenceTrackId(h, id);
  MP4GetRtpTimestampStart(h, id);
  const uint32_t hints = MP4GetTrackNumberOfSamples(h, id);
  for (uint32_t s = 1; s <= hints && s <= 64; s++) {
    uint16_t packets = 0;
    if (!MP4ReadRtpHint(h, id, s, &packets)) continue;
    if (MP4GetRtpHintNumberOfPackets(h, id) != packets) abort();
    for (uint16_t p = 0; p < packets && p < 64; p++) Packet(h, id, p);
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    if (MP4ReadRtpPacket(h, id, packets, &bytes, &size, 0, true, true)) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mp4test::MemFile mem;
  Virtual_IO io;
  MP4FileHandle h = mp4test::ReadInMemory(mem, io, data, size, "/nonexistent-mp4hint/fuzz.mp4");
  if (!h) return 0;
  Text(MP4GetSessionSdp(h));
  const uint32_t tracks = MP4GetNumberOfTracks(h, nullptr, 0);
  for (uint32_t i = 0; i < tracks && i < 64; i++) {
    const uint32_t id = MP4FindTrackId(h, static_cast<uint16_t>(i), nullptr, 0);
    const char* type = MP4GetTrackType(h, id);
    if (type && !strcmp(type, "hint")) HintTrack(h, id);
  }
  MP4Close(h);
  return 0;
}
