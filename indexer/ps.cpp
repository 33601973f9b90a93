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
// PTS and DTS the header carries in *times (kNoTime when none). A header
// that claims more than the packet holds yields consumed > L: no payload.
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
    // The PTS and DTS lead the header data when the flags announce them
    // (read in place where the header data lies in the buffer).
    if (!(flags2 & 0x80)) {  // PTS_DTS_flags 0 (or 1, forbidden): no times
      if (skip_bytes(H) < 0) return -1;
    } else if (Rdptr + H <= Buffer + Read) {
      *times = PesHeaderTimes(flags2, Rdptr, H);
      Rdptr += H;
    } else {
      unsigned char fields[10] = {};
      const u32 held = H < sizeof fields ? H : static_cast<u32>(sizeof fields);
      for (u32 i = 0; i < held; i++)
        if (GetRawByte(&fields[i]) < 0) return -1;
      if (skip_bytes(H - held) < 0) return -1;
      *times = PesHeaderTimes(flags2, fields, H);
    }
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
// they last (it passes over the rest of every pack header). *passed counts
// the bytes shifted in after the first four: those before the start code
// found. 0, or -1 at the end of input.
static int scan_code(u32* code, u32* passed) {
  u32 c = 0xFFFFFFFF;
  int first = 4;  // bytes taken whatever they are
  *passed = 0;
  for (;;) {
    if (Rdptr >= Buffer + Read) {
      unsigned char b;
      if (GetRawByte(&b) < 0) return -1;
      c = (c << 8) | b;
      if (first > 0)
        first--;
      else
        ++*passed;
    } else {
      const unsigned char* p = Rdptr;
      const unsigned char* const end = Buffer + Read;
      for (; first > 0 && p < end; first--) c = (c << 8) | *p++;
      if (first == 0) {
        const unsigned char* const from = p;
        while ((c & 0xFFFFFF00) != 0x00000100 && p < end) c = (c << 8) | *p++;
        *passed += static_cast<u32>(p - from);
      }
      Rdptr = const_cast<unsigned char*>(p);
    }
    if (first == 0 && (c & 0xFFFFFF00) == 0x00000100) {
      *code = c;
      return 0;
    }
  }
}

// Where the next start code is due: right after the last packet passed
// over by its length, unless bytes that are no packet were lost or damaged.
// Held as the offset in its file (and the file); none after a pack or system
// header, whose rest the scan passes over. A scan that passes bytes over
// from there (but zero bytes, which may stuff before a start code) has met
// damage; one from elsewhere (after a seek) has not.
static u64 code_due_offset = ~0ULL;
static int code_due_file = -1;

static void expect_code_at(const unsigned char* at) {
  code_due_offset = static_cast<u64>(at - Buffer) + Buffer_Physical;
  code_due_file = CurrentFile;
}

// After a scan that passed `passed` bytes over and left Rdptr behind the
// start code found: whether it began where a start code was due and the
// bytes passed over were no stuffing, or the code is none of a pack, a
// packet or the end (the zeros before it are then no stuffing either).
static bool passed_damage(u32 passed, u32 code) {
  const u64 code_at = static_cast<u64>(Rdptr - Buffer) + Buffer_Physical - 4;
  if (code_due_file != CurrentFile || code_at < passed || code_at - passed != code_due_offset) return false;
  if (code < 0x1B9) return true;
  const unsigned char* p = Rdptr - 4;
  for (u32 i = 0; i < passed && p > Buffer; i++)
    if (*--p != 0) return true;
  return false;
}

int NextPSPayload() {
  for (;;) {
    u32 code, passed;
    if (scan_code(&code, &passed) < 0) return -1;
    if ((passed > 0 || code < 0x1B9) && code_due_offset != ~0ULL && passed_damage(passed, code))
      NoteDamage(StreamPosition() - 4);  // at the start code after them
    code_due_offset = ~0ULL;
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
      if (code != 0x1BB) expect_code_at(Rdptr);
      continue;
    }
    MPEG2_Program_StreamID = static_cast<unsigned char>(code & 0xFF);
    if (read_u16(&L) < 0) return -1;
    u32 consumed;
    PesTimes times;
    if (video_pes_header(L, &consumed, &times) < 0) return -1;
    if (consumed >= L) continue;  // header fills (or overruns) the packet: nothing to deliver
    if (times.pts != kNoTime || pes_start_awaited) NotePesStart(StreamPosition(), times);
    payload_bytes = L - consumed;
    Rdmax = Rdptr + payload_bytes;
    expect_code_at(Rdmax);
    return 0;
  }
}
