// Boxes that carry the content information, QoS and DRM header structures,
// built byte by byte for the tests and the fuzz seeds: an "iods" whose
// initial object descriptor holds an OCI descriptor of every class, an
// "esds" whose ES descriptor holds a language and a QoS descriptor with
// known and unknown qualifiers, and an "odkm" holding an "ohdr".
#pragma once

#include "mp4descriptor.h"
#include "mp4test.h"

namespace mp4test {

// The bytes a descriptor writes (tag, length, body).
inline Bytes DescriptorBytes(MP4Descriptor* d) {
  MP4File f;
  uint8_t* buf = nullptr;
  uint64_t n = 0;
  d->WriteToMemory(&f, &buf, &n);
  Bytes b(buf, buf + n);
  free(buf);
  return b;
}

// A descriptor with the four-byte length form, for bodies of any size.
inline Bytes Descr4(uint8_t tag, const Bytes& body) {
  const size_t n = body.size();
  return Cat({Bytes{tag, static_cast<uint8_t>(0x80 | (n >> 21 & 0x7F)), static_cast<uint8_t>(0x80 | (n >> 14 & 0x7F)),
                    static_cast<uint8_t>(0x80 | (n >> 7 & 0x7F)), static_cast<uint8_t>(n & 0x7F)},
              body});
}

// 16-bit big-endian characters of an ASCII text.
inline Bytes Wide(const std::string& s) {
  Bytes b;
  for (char c : s) Append(b, Bytes{0, static_cast<uint8_t>(c)});
  return b;
}

// The OCI descriptors, in tag order, each with its fields as comments.
inline std::vector<Bytes> OciDescriptors() {
  Bytes longText(300, 'x');
  return {
      // entity, table, 3 bytes of data
      Descr4(0x40, Cat({BE(0x11223344, 4), BE(5, 2), Bytes{1, 2, 3}})),
      // "eng", 8-bit (1) + reserved 0x7F, 2 keywords
      Descr4(0x41, Cat({Lit("eng"), Bytes{0xFF, 2, 3}, Lit("abc"), Bytes{2}, Lit("de")})),
      // "deu", 16-bit (0), 1 keyword of 3 characters: 6 bytes
      Descr4(0x41, Cat({Lit("deu"), Bytes{0x00, 1, 3}, Wide("abc")})),
      // entity, criteria, rating
      Descr4(0x42, Cat({BE(7, 4), BE(8, 2), Bytes{9, 9}})),
      Descr4(0x43, Lit("fra")),
      // event name and text, 8-bit
      Descr4(0x44, Cat({Lit("eng"), Bytes{0x80, 4}, Lit("name"), Bytes{4}, Lit("text")})),
      // one item, then a non-item text of 300 bytes: length 255 + 45
      Descr4(0x45, Cat({Lit("eng"), Bytes{0x80, 1, 1, 'd', 1, 't', 255, 45}, longText})),
      // two creators: "A" in 8-bit, "B" in 16-bit characters
      Descr4(0x46, Cat({Bytes{2}, Lit("eng"), Bytes{0x80, 1, 'A'}, Lit("deu"), Bytes{0x00, 1}, Wide("B")})),
      // a 40-bit creation date
      Descr4(0x47, Bytes{0x01, 0x02, 0x03, 0x04, 0x05}),
      Descr4(0x48, Cat({Bytes{1}, Lit("ita"), Bytes{0xFF, 2, 'C', 'D'}})),
      Descr4(0x49, Bytes{0xF0, 0, 0, 0, 0x0F}),
      // two camera parameters: id, value
      Descr4(0x4A, Cat({Bytes{2, 1}, BE(100, 4), Bytes{2}, BE(0xFFFFFFFF, 4)})),
      Descr4(0x4B, Bytes{0xDE, 0xAD}),
      Descr4(0x5F, {}),
  };
}

// "iods": an initial object descriptor (id 1, no URL, reserved 0xF, five
// profiles), one ES id, then every OCI descriptor.
inline Bytes OciIods() {
  Bytes body = Cat({Bytes{0x00, 0x4F, 1, 2, 3, 4, 5}, Descr4(0x0E, BE(1, 4))});
  for (const Bytes& d : OciDescriptors()) Append(body, d);
  return FullBox("iods", 0, 0, Descr4(0x10, body));
}

// The QoS descriptor: predefined 0, then a maximum delay, a loss
// probability of 0.25, an unknown qualifier of tag 0x10 and an average
// access unit size.
inline Bytes QosDescriptor() {
  return Descr4(0x0C, Cat({Bytes{0}, Descr4(0x01, BE(1000, 4)), Descr4(0x03, BE(0x3E800000, 4)),
                           Descr4(0x10, Bytes{9, 8, 7}), Descr4(0x42, BE(512, 4))}));
}

// "esds": ES id 1, MPEG-4 audio, a predefined SL configuration, a
// language and the QoS descriptor.
inline Bytes QosEsds() {
  const Bytes decConfig = Descr4(0x04, Cat({Bytes{0x40, 0x15, 0, 0, 0}, BE(1000, 4), BE(1000, 4),
                                            Descr4(0x05, Bytes{0x12, 0x10})}));
  return FullBox("esds", 0, 0,
                 Descr4(0x03, Cat({BE(1, 2), Bytes{0}, decConfig, Descr4(0x06, Bytes{0x02}), Descr4(0x43, Lit("eng")),
                                   QosDescriptor()})));
}

// The "ohdr" body after version and flags: method, padding, plaintext
// length, the three lengths, then the content id (a zero byte inside it),
// the rights issuer URL and the textual headers.
inline Bytes OhdrBody() {
  return Cat({Bytes{1, 2}, BE(0x0102030405060708ull, 8), BE(5, 2), BE(3, 2), BE(4, 2), Lit("a\0bcd"), Lit("u:x"),
              Bytes{'T', 'e', 'x', 't'}});
}

inline Bytes OhdrOdkm(const Bytes& ohdrBody = OhdrBody()) {
  return FullBox("odkm", 0, 0, FullBox("ohdr", 0, 0, ohdrBody));
}

}  // namespace mp4test
