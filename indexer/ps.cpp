// Raw and program-stream byte readers.
#include "ps.h"

#include "decode.h"
#include "index.h"
#include "pes.h"

int GetRawByte(unsigned char* byte) {
  if (Rdptr >= Buffer + Read && RefillBuffer() < 0) return -1;
  *byte = *Rdptr++;
  return 0;
}

// Passes over n bytes of the stream, within the buffer where they are there.
static int skip_bytes(u32 n) {
  while (n > 0) {
    if (Rdptr >= Buffer + Read && RefillBuffer() < 0) return -1;
    u32 avail = static_cast<u32>(Buffer + Read - Rdptr);
    u32 take = avail < n ? avail : n;
    Rdptr += take;
    n -= take;
  }
  return 0;
}

static int read_u16(u32* v) {
  unsigned char a, b;
  if (GetRawByte(&a) < 0 || GetRawByte(&b) < 0) return -1;
  *v = (static_cast<u32>(a) << 8) | b;
  return 0;
}

// Header of a video PES packet of length L, read after its length field.
// Returns the bytes of the header consumed, or -1 at end of input, and the
// PTS and DTS the header carries in *times (kNoTime when none). A header that claims
// more than the packet holds yields consumed > L: no payload.
static int video_pes_header(u32 L, u32* consumed, PesTimes* times) {
  *times = PesTimes{};
  unsigned char b;
  u32 used = 0;
  if (program_stream_type != 5) {
    // MPEG-2 form (the form of every type but an MPEG-1 system stream).
    if (GetRawByte(&b) < 0) return -1;
    used = 1;
    if ((b & 0xC0) != 0x80) {
      *consumed = L + 1;  // not a valid header: the whole packet is passed over
      return L > used ? skip_bytes(L - used) : 0;
    }
    unsigned char flags2, H;
    if (GetRawByte(&flags2) < 0 || GetRawByte(&H) < 0) return -1;
    used = 3;
    if (used + H > L) {
      *consumed = L + 1;
      return L > used ? skip_bytes(L - used) : 0;
    }
    // The PTS and DTS lead the header data when the flags announce them.
    unsigned char fields[10] = {};
    const u32 held = H < sizeof fields ? H : static_cast<u32>(sizeof fields);
    for (u32 i = 0; i < held; i++)
      if (GetRawByte(&fields[i]) < 0) return -1;
    if (skip_bytes(H - held) < 0) return -1;
    *times = PesHeaderTimes(flags2, fields, H);
    *consumed = used + H;
    return 0;
  }
  // MPEG-1 form: stuffing, optional STD buffer fields, then the timestamp flags.
  for (;;) {
    if (used >= L) {
      *consumed = L + 1;
      return 0;
    }
    if (GetRawByte(&b) < 0) return -1;
    used++;
    if (b != 0xFF) break;
  }
  if ((b & 0xC0) == 0x40) {
    if (used + 2 > L) {
      *consumed = L + 1;
      return skip_bytes(L - used);
    }
    if (skip_bytes(1) < 0 || GetRawByte(&b) < 0) return -1;
    used += 2;
  }
  u32 more = 0;
  if ((b & 0xF0) == 0x20) more = 4;
  else if ((b & 0xF0) == 0x30) more = 9;
  if (used + more > L) {
    *consumed = L + 1;
    return skip_bytes(L - used);
  }
  unsigned char rest[9];
  for (u32 i = 0; i < more; i++)
    if (GetRawByte(&rest[i]) < 0) return -1;
  if (more > 0) *times = Mpeg1PacketTimes(b, rest);
  *consumed = used + more;
  return 0;
}

int GetPSByte(unsigned char* byte) {
  if (payload_bytes == 0 && NextPSPayload() < 0) return -1;
  payload_bytes--;
  return GetRawByte(byte);
}

// The start-code scan: shifts four bytes into *code, then more until its
// first three bytes are 00 00 01, taking them straight from Buffer while
// they last (it passes over the rest of every pack header). 0, or -1 at the
// end of input.
static int scan_code(u32* code) {
  u32 c = 0xFFFFFFFF;
  int first = 4;  // bytes taken whatever they are
  for (;;) {
    if (Rdptr >= Buffer + Read) {
      unsigned char b;
      if (GetRawByte(&b) < 0) return -1;
      c = (c << 8) | b;
      if (first > 0) first--;
    } else {
      const unsigned char* p = Rdptr;
      const unsigned char* const end = Buffer + Read;
      for (; first > 0 && p < end; first--) c = (c << 8) | *p++;
      if (first == 0)
        while ((c & 0xFFFFFF00) != 0x00000100 && p < end) c = (c << 8) | *p++;
      Rdptr = const_cast<unsigned char*>(p);
    }
    if (first == 0 && (c & 0xFFFFFF00) == 0x00000100) {
      *code = c;
      return 0;
    }
  }
}

// Stream position right after the last packet passed over by its length:
// the next start code begins there, unless bytes that are no packet were
// lost or damaged. All ones where none is due: after a pack or system
// header, whose rest the scan passes over, and after a seek (which moves
// the read pointer elsewhere).
static u64 code_due_at = ~0ULL;

int NextPSPayload() {
  for (;;) {
    u32 code;
    const u64 scan_from = StreamPosition();
    if (scan_code(&code) < 0) return -1;
    if (scan_from == code_due_at && StreamPosition() - 4 != scan_from) NoteDamage(StreamPosition() - 4);
    code_due_at = ~0ULL;
    if (code < 0x1BA) continue;
    if (code == 0x1BA) {
      unsigned char b;
      if (GetRawByte(&b) < 0) return -1;
      continue;
    }
    u32 L;
    if (code < 0x1E0 || code > 0x1EF) {
      // Every other packet (system header, private streams, audio, padding)
      // is passed over by its length, so that its bytes never pass for video.
      if (read_u16(&L) < 0 || skip_bytes(L) < 0) return -1;
      if (code != 0x1BB) code_due_at = StreamPosition();
      continue;
    }
    MPEG2_Program_StreamID = static_cast<unsigned char>(code & 0xFF);
    if (read_u16(&L) < 0) return -1;
    u32 consumed;
    PesTimes times;
    if (video_pes_header(L, &consumed, &times) < 0) return -1;
    if (consumed >= L) continue;  // header fills (or overruns) the packet: nothing to deliver
    NotePesStart(StreamPosition(), times);
    payload_bytes = L - consumed;
    code_due_at = StreamPosition() + payload_bytes;
    Rdmax = Rdptr + payload_bytes;
    return 0;
  }
}
