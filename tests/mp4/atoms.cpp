// The atom classes from crafted bytes: each box's fields as its layout puts
// them in the bytes, the layouts that depend on version, flags, size or
// parent, the counts repaired or derived while reading, the refusals, and
// the bytes each tree writes back.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "atoms.h"
#include "mp4test.h"

namespace {

using namespace mp4test;

const Bytes kFtyp = Box("ftyp", Cat({Bytes{'i', 's', 'o', 'm'}, BE(0, 4)}));

std::string Hex(const Bytes& b) {
  std::string hex;
  char digits[3];
  for (uint8_t x : b) {
    snprintf(digits, sizeof digits, "%02x", x);
    hex += digits;
  }
  return hex;
}

// Wrapped in the containers down to a sample table, and into a sample
// description of the given entries.
Bytes InStbl(const Bytes& boxes) {
  return Box("moov", Box("trak", Box("mdia", Box("minf", Box("stbl", boxes)))));
}
Bytes Stsd(uint32_t count, const Bytes& entries) { return FullBox("stsd", 0, 0, Cat({BE(count, 4), entries})); }
const std::string kS = "moov.trak.mdia.minf.stbl.";
const std::string kE = kS + "stsd.";

// The value of a field by path as text: integers in decimal, fixed-point
// numbers with %g, strings as they are ("(null)" for none), bytes in hex;
// "<none>" when the path finds nothing.
std::string Text(MP4Atom* root, const std::string& path) {
  MP4Property* p = nullptr;
  uint32_t index = 0;
  if (!root->FindProperty(path.c_str(), &p, &index)) return "<none>";
  switch (p->GetType()) {
    case StringProperty: {
      const char* v = static_cast<MP4StringProperty*>(p)->GetValue(index);
      return v ? v : "(null)";
    }
    case BytesProperty: {
      MP4BytesProperty* b = static_cast<MP4BytesProperty*>(p);
      const uint8_t* v = b->GetValuePointer(index);
      return v ? Hex(Bytes(v, v + b->GetValueSize(index))) : "";
    }
    case Float32Property: {
      char v[32];
      snprintf(v, sizeof v, "%g", static_cast<MP4Float32Property*>(p)->GetValue(index));
      return v;
    }
    case TableProperty:
    case DescriptorProperty:
      return "<" + std::to_string(p->GetCount()) + " rows>";
    default:
      return std::to_string(static_cast<MP4IntegerProperty*>(p)->GetValue(index));
  }
}

// A visual sample entry's 78 bytes (the common and plain layouts).
Bytes VisualFields(uint16_t width, uint16_t height, const std::string& name) {
  Bytes compressor(name.begin(), name.end());
  compressor.resize(32);
  return Cat({Bytes(6, 0), BE(1, 2), Bytes(16, 0), BE(width, 2), BE(height, 2), Bytes(14, 0), compressor,
              Bytes{0x00, 0x18, 0xFF, 0xFF}});
}

// A sound description: version fields after "timeScale" and, for "mp4a"
// and "alac", the rate fraction.
Bytes SoundFields(uint16_t version, bool fraction, const Bytes& versionFields = {}) {
  return Cat({Bytes(6, 0), BE(1, 2), BE(version, 2), Bytes(6, 0), BE(2, 2), BE(16, 2), BE(0, 2),
              BE(44100, 4), fraction ? Bytes(2, 0) : Bytes{}, versionFields});
}

const Bytes kAvcC = {0x01, 0x64, 0x00, 0x29, 0xFF, 0xE1, 0x00, 0x04, 0x67,
                     0x64, 0x00, 0x29, 0x01, 0x00, 0x03, 0x68, 0xEE, 0x3C};

Bytes S263(bool withBitr) {
  const Bytes d263 = Cat({Lit("m4ip"), Bytes{1, 10, 0}, withBitr ? Box("bitr", Bytes(8, 0)) : Bytes{}});
  return Box("s263", Cat({Bytes(6, 0), BE(1, 2), Bytes(16, 0), BE(176, 2), BE(144, 2), Bytes(50, 0),
                          Box("d263", d263)}));
}

Bytes Hdlr(const Bytes& name) {
  return FullBox("hdlr", 0, 0, Cat({Lit("mhlr"), Lit("vide"), Bytes(12, 0), name}));
}

struct Case {
  Case(const char* what_, Bytes file_, std::vector<std::pair<std::string, std::string>> values_,
       std::string error_ = "", Bytes writtenAs_ = {})
      : what(what_), file(std::move(file_)), values(std::move(values_)), error(std::move(error_)),
        writtenAs(std::move(writtenAs_)) {}
  const char* what;
  Bytes file;
  std::vector<std::pair<std::string, std::string>> values;
  std::string error;  // of the read; "" when it succeeds
  Bytes writtenAs;    // what the tree writes back, when not the file itself
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      // ---- headers: the version picks the layout, 1 the 64-bit one.
      {"mvhd version 1: 112 bytes, 64-bit times",
       Box("moov", FullBox("mvhd", 1, 0,
                           Cat({BE(1, 8), BE(2, 8), BE(1000, 4), BE(5000000000, 8), BE(0x00018000, 4),
                                BE(0x0080, 2), Bytes(70, 0), BE(3, 4)}))),
       {{"moov.mvhd.creationTime", "1"}, {"moov.mvhd.duration", "5000000000"},
        {"moov.mvhd.rate", "1.5"}, {"moov.mvhd.volume", "0.5"}, {"moov.mvhd.nextTrackId", "3"}}},
      {"mvhd version 2: the 32-bit layout",
       Box("moov", FullBox("mvhd", 2, 0, Cat({BE(1, 4), BE(2, 4), BE(600, 4), BE(1200, 4), BE(0x00010000, 4),
                                              BE(0x0100, 2), Bytes(70, 0), BE(2, 4)}))),
       {{"moov.mvhd.timeScale", "600"}, {"moov.mvhd.duration", "1200"}, {"moov.mvhd.nextTrackId", "2"}}},
      {"mvhd version 1 cut after 100 bytes",
       Box("moov", FullBox("mvhd", 1, 0, Bytes(96, 0))), {}, "Atom ReadProperties: atom is too small"},
      {"tkhd version 1: 96 bytes",
       Box("trak", FullBox("tkhd", 1, 7, Cat({BE(1, 8), BE(2, 8), BE(5, 4), Bytes(4, 0), BE(1ull << 33, 8),
                                              Bytes(12, 0), BE(0x0100, 2), Bytes(2, 0), Bytes(36, 9),
                                              BE(0x00A08000, 4), BE(0x00780000, 4)}))),
       {{"trak.tkhd.flags", "7"}, {"trak.tkhd.trackId", "5"}, {"trak.tkhd.duration", "8589934592"},
        {"trak.tkhd.width", "160.5"}, {"trak.tkhd.height", "120"}, {"trak.tkhd.matrix", Hex(Bytes(36, 9))}}},
      {"elst version 1: 64-bit columns",
       Box("edts", FullBox("elst", 1, 0, Cat({BE(2, 4), BE(1ull << 32, 8), BE(UINT64_MAX, 8), BE(1, 2), BE(0, 2),
                                              BE(100, 8), BE(200, 8), BE(1, 2), BE(0, 2)}))),
       {{"edts.elst.entries[0].segmentDuration", "4294967296"},
        {"edts.elst.entries[0].mediaTime", "18446744073709551615"},
        {"edts.elst.entries[1].mediaTime", "200"}, {"edts.elst.entries[1].mediaRate", "1"}}},

      // ---- handler names: counted when the length byte ends the box.
      {"hdlr with a counted name", Hdlr(Cat({Bytes{4}, Lit("abcd")})),
       {{"hdlr.handlerType", "vide"}, {"hdlr.name", "abcd"}}, "", Hdlr(Lit("abcd\0"))},
      {"hdlr without a name", Hdlr({}), {{"hdlr.name", "(null)"}}, "", Hdlr(Bytes{0})},
      {"hdlr whose name has no end", Hdlr(Lit("abcd")), {},
       "Atom ReadProperties: atom is too small"},

      // ---- counts that follow the size.
      {"ftyp of 16 bytes: two brands", Box("ftyp", Lit("isom\0\0\0\1mp41avc1")),
       {{"ftyp.majorBrand", "isom"}, {"ftyp.minorVersion", "1"}, {"ftyp.compatibleBrandsCount", "2"},
        {"ftyp.compatibleBrands[1].brand", "avc1"}}},
      {"ftyp of 18 bytes: two brands, two bytes kept", Box("ftyp", Lit("isom\0\0\0\1mp41avc1zz")),
       {{"ftyp.compatibleBrandsCount", "2"}}},
      {"ftyp of 7 bytes", Box("ftyp", Lit("isom\0\0\0")), {}, "Atom ReadProperties: atom is too small"},
      {"chap of 12 bytes: three tracks", Box("tref", Box("chap", Cat({BE(1, 4), BE(2, 4), BE(3, 4)}))),
       {{"tref.chap.entryCount", "3"}, {"tref.chap.entries[2].trackId", "3"}}},
      {"sync of 2 bytes: none", Box("tref", Box("sync", Bytes{1, 2})), {{"tref.sync.entryCount", "0"}}},
      {"SMI with its whole body", Box("SMI ", Bytes{1, 2, 3, 4, 5}), {{"SMI .metadata", "0102030405"}}},
      {"stdp of 10 bytes: three priorities", FullBox("stdp", 0, 0, Cat({BE(7, 2), BE(8, 2), BE(9, 2)})),
       {{"stdp.entryCount", "3"}, {"stdp.entries[2].priority", "9"}}},
      {"stdp of 11 bytes: three priorities, one byte kept",
       FullBox("stdp", 0, 0, Cat({BE(7, 2), BE(8, 2), BE(9, 2), Bytes{5}})), {{"stdp.entryCount", "3"}}},
      {"stdp of 3 bytes", Box("stdp", Bytes{0, 0, 0}), {}, "Atom ReadProperties: atom is too small"},

      // ---- data references: the entries read decide the count.
      {"dref counting 2 with one url",
       Box("dinf", FullBox("dref", 0, 0, Cat({BE(2, 4), FullBox("url ", 0, 1, Lit("junk"))}))),
       {{"dinf.dref.entryCount", "1"}, {"dinf.dref.url .location", "(null)"}}, "",
       Box("dinf", FullBox("dref", 0, 0, Cat({BE(1, 4), FullBox("url ", 0, 1, Lit("junk"))})))},
      {"url with a location, alis and urn",
       Box("dinf", FullBox("dref", 0, 0,
                           Cat({BE(4, 4), FullBox("url ", 0, 0, Lit("f.mp4\0")),
                                FullBox("alis", 0, 1, {}), FullBox("urn ", 0, 0, Lit("n\0l\0")),
                                FullBox("urn ", 0, 0, Lit("m\0"))}))),
       {{"dinf.dref.url .location", "f.mp4"}, {"dinf.dref.alis.flags", "1"}, {"dinf.dref.urn .name", "n"},
        {"dinf.dref.urn .location", "l"}, {"dinf.dref.urn[1].location", "(null)"}},
       "",
       Box("dinf", FullBox("dref", 0, 0,
                           Cat({BE(4, 4), FullBox("url ", 0, 0, Lit("f.mp4\0")),
                                FullBox("alis", 0, 1, {}), FullBox("urn ", 0, 0, Lit("n\0l\0")),
                                FullBox("urn ", 0, 0, Lit("m\0\0"))})))},
      {"udta ending in a zero word",
       Box("moov", Box("udta", Cat({Box("xyz1", Bytes(6, 1)), BE(0, 4)}))), {{"moov.udta.xyz1.data", "010101010101"}}},

      // ---- sample sizes.
      {"stsz of a constant size: no table", InStbl(FullBox("stsz", 0, 0, Cat({BE(1000, 4), BE(5, 4)}))),
       {{kS + "stsz.sampleSize", "1000"}, {kS + "stsz.sampleCount", "5"}}},
      {"stz2 of 4-bit sizes: two a byte", InStbl(FullBox("stz2", 0, 0, Cat({BE(4, 4), BE(5, 4), Bytes{0x12, 0x34, 0x50}}))),
       {{kS + "stz2.fieldSize", "4"}, {kS + "stz2.entries[2].entrySize", "80"}, {kS + "stz2.entries", "<3 rows>"}}},
      {"stz2 of 32-bit sizes", InStbl(FullBox("stz2", 0, 0, Cat({BE(32, 4), BE(2, 4), BE(1, 4), BE(2, 4)}))), {},
       "MP4Stz2Atom::Read: stz2 field size 32 is none of 4, 8 and 16"},
      {"stz2 of 4-bit sizes cut short", InStbl(FullBox("stz2", 0, 0, Cat({BE(4, 4), BE(7, 4), Bytes{1, 2, 3}}))), {},
       "Atom ReadProperties: atom is too small"},

      // ---- sample-to-chunk runs: the first sample of each is computed.
      {"stsc of two runs",
       InStbl(FullBox("stsc", 0, 0, Cat({BE(2, 4), BE(1, 4), BE(3, 4), BE(1, 4), BE(3, 4), BE(1, 4), BE(1, 4)}))),
       {{kS + "stsc.entries[0].firstSample", "1"}, {kS + "stsc.entries[1].firstSample", "7"}}},
      {"stsc without runs", InStbl(FullBox("stsc", 0, 0, BE(0, 4))), {{kS + "stsc.entries[0].firstSample", "<none>"}}},
      {"stsc runs starting at the same chunk",
       InStbl(FullBox("stsc", 0, 0, Cat({BE(2, 4), BE(2, 4), BE(3, 4), BE(1, 4), BE(2, 4), BE(1, 4), BE(1, 4)}))), {},
       "MP4StscAtom::Read: stsc entry 1 starts at chunk 2, not after chunk 2"},
      {"stsc runs beyond 2^32 samples",
       InStbl(FullBox("stsc", 0, 0, Cat({BE(2, 4), BE(1, 4), BE(0xFFFFFFFF, 4), BE(1, 4), BE(3, 4), BE(1, 4), BE(1, 4)}))),
       {}, "MP4StscAtom::Read: stsc entry 1 starts beyond sample 4294967295"},

      // ---- visual entries and the AVC configuration.
      {"avc1 with its configuration",
       InStbl(Stsd(1, Box("avc1", Cat({VisualFields(160, 120, "\x04test"), Box("avcC", kAvcC),
                                        Box("btrt", Cat({BE(1, 4), BE(2, 4), BE(3, 4)}))})))),
       {{kE + "avc1.width", "160"}, {kE + "avc1.compressorName", "\x04test"},
        {kE + "avc1.avcC.AVCProfileIndication", "100"}, {kE + "avc1.avcC.profile_compatibility", "0"},
        {kE + "avc1.avcC.AVCLevelIndication", "41"}, {kE + "avc1.avcC.reserved", "63"},
        {kE + "avc1.avcC.lengthSizeMinusOne", "3"}, {kE + "avc1.avcC.reserved1", "7"},
        {kE + "avc1.avcC.numOfSequenceParameterSets", "1"},
        {kE + "avc1.avcC.sequenceEntries[0].sequenceParameterSetNALUnit", "67640029"},
        {kE + "avc1.avcC.pictureEntries[0].pictureParameterSetLength", "3"},
        {kE + "avc1.avcC.pictureEntries[0].pictureParameterSetNALUnit", "68ee3c"},
        {kE + "avc1.btrt.avgBitrate", "3"}}},
      {"avcC without parameter sets: 7 bytes", Box("avcC", Bytes{1, 66, 0, 30, 0xFF, 0xE0, 0}),
       {{"avcC.numOfSequenceParameterSets", "0"}, {"avcC.numOfPictureParameterSets", "0"}}},
      {"avcC with the high-profile extension, kept",
       Box("avcC", Cat({kAvcC, Bytes{0xFD, 0xF8, 0xF8, 0x00}})), {{"avcC.pictureEntries[0].pictureParameterSetLength", "3"}}},
      {"avcC with a zero-length set", Box("avcC", Bytes{1, 66, 0, 30, 0xFF, 0xE1, 0, 0, 1, 0, 1, 0x68}),
       {{"avcC.sequenceEntries[0].sequenceParameterSetLength", "0"},
        {"avcC.pictureEntries[0].pictureParameterSetNALUnit", "68"}}},
      {"avcC whose set runs past it", Box("avcC", Bytes{1, 66, 0, 30, 0xFF, 0xE1, 0, 9, 0x67}), {},
       "Atom ReadProperties: atom is too small"},
      {"vc-1 with its 50 reserved bytes",
       InStbl(Stsd(1, Box("vc-1", Cat({Bytes(6, 0), BE(1, 2), Bytes(16, 0), BE(64, 2), BE(48, 2), Bytes(50, 7),
                                        Box("dvc1", Bytes{0xC4, 0x01})})))),
       {{kE + "vc-1.width", "64"}, {kE + "vc-1.reserved3", Hex(Bytes(50, 7))}, {kE + "vc-1.dvc1.data", "c401"}}},
      {"jpeg, a plain entry", InStbl(Stsd(1, Box("jpeg", VisualFields(8, 8, "")))),
       {{kE + "jpeg.depth", "24"}, {kE + "jpeg.colorTableId", "65535"}}},
      {"s263 whose d263 states no bit rate", InStbl(Stsd(1, S263(true))),
       {{kE + "s263.d263.vendor", "1832151408"}, {kE + "s263.d263.h263Level", "10"}, {kE + "s263.d263.bitr.avgBitrate", "0"}},
       "", InStbl(Stsd(1, S263(false)))},

      // ---- sound entries: the version adds fields; outside "stsd" none.
      {"mp4a version 1: 16 bytes more",
       InStbl(Stsd(1, Box("mp4a", Cat({SoundFields(1, true, Cat({BE(1024, 4), BE(1, 4), BE(2, 4), BE(2, 4)})),
                                       Box("btrt", Bytes(12, 0))})))),
       {{kE + "mp4a.samplesPerPacket", "1024"}, {kE + "mp4a.bytesPerSample", "2"}, {kE + "mp4a.btrt.maxBitrate", "0"}}},
      {"mp4a version 2: 36 bytes more, and a wave box",
       InStbl(Stsd(1, Box("mp4a", Cat({SoundFields(2, true, Cat({BE(1, 4), BE(2, 4), BE(3, 4), BE(4, 4), Bytes(20, 0)})),
                                       Box("wave", Cat({Box("frma", Lit("mp4a")), Box("mp4a", BE(0, 4)),
                                                        Box("twos", Bytes(4, 0)), BE(8, 4), BE(0, 4)}))})))),
       {{kE + "mp4a.bytesPerFrame", "3"}, {kE + "mp4a.wave.frma.data-format", "1836069985"},
        {kE + "mp4a.wave.mp4a.channels", "<none>"}, {kE + "mp4a.wave.twos.channels", "<none>"}}},
      {"twos version 0: 26 bytes, children not read",
       InStbl(Stsd(1, Box("twos", Cat({SoundFields(0, false), Bytes(2, 0), Box("chan", Bytes(12, 0))})))),
       {{kE + "twos.timeScale", "44100"}, {kE + "twos.chan", "<none>"}}},
      {"twos version 1: version fields right after the rate",
       InStbl(Stsd(1, Box("twos", SoundFields(1, false, Cat({BE(1, 4), BE(2, 4), BE(3, 4), BE(4, 4)}))))),
       {{kE + "twos.bytesPerSample", "4"}}},
      {"alac with its configuration box",
       InStbl(Stsd(1, Box("alac", Cat({SoundFields(0, true), FullBox("alac", 0, 0, Bytes{9, 9})})))),
       {{kE + "alac.channels", "2"}, {kE + "alac.alac.decoderConfig", "000000000909"}}},
      {"ac-3 and its configuration",
       InStbl(Stsd(1, Box("ac-3", Cat({Bytes(6, 0), BE(1, 2), Bytes(8, 0), BE(2, 2), BE(16, 2), BE(0, 2), Bytes(2, 0),
                                       Bytes{0xBB, 0x80}, Bytes(2, 0), Box("dac3", Bytes{0x10, 0x3D, 0x40})})))),
       {{kE + "ac-3.channelCount", "2"}, {kE + "ac-3.samplingRatee", "48000"}, {kE + "ac-3.dac3.data", "103d40"}}},
      {"samr, sawb, enca, mp4s and href",
       InStbl(Stsd(5, Cat({Box("samr", Cat({Bytes(6, 0), BE(1, 2), Bytes(16, 0), BE(8000, 2), Bytes(2, 0),
                                             Box("damr", Cat({Lit("m4ip"), Bytes{1}, BE(0x81FF, 2), Bytes{0, 1}}))})),
                           Box("sawb", Cat({Bytes(6, 0), BE(1, 2), Bytes(16, 0), BE(16000, 2), Bytes(2, 0)})),
                           Box("enca", Cat({Bytes(6, 0), BE(1, 2), Bytes(16, 0), BE(48000, 2), Bytes(2, 0),
                                            Box("sinf", Box("frma", Lit("mp4a")))})),
                           Box("mp4s", Cat({Bytes(6, 0), BE(1, 2)})),
                           Box("href", Cat({Bytes(6, 0), BE(1, 2), Box("burl", Lit("u\0"))}))}))),
       {{kE + "samr.timeScale", "8000"}, {kE + "samr.damr.modeSet", "33279"}, {kE + "samr.damr.framesPerSample", "1"},
        {kE + "sawb.timeScale", "16000"}, {kE + "enca.sinf.frma.data-format", "1836069985"},
        {kE + "mp4s.dataReferenceIndex", "1"}, {kE + "href.burl.base_url", "u"}}},

      // ---- text: the parent picks the layout.
      {"text in a sample description: 51 bytes, the rest kept",
       InStbl(Stsd(1, Box("text", Cat({Bytes(6, 0), BE(1, 2), BE(1, 4), BE(2, 4), BE(3, 2), BE(4, 2), BE(5, 2),
                                       Bytes(8, 0), Bytes(8, 0), BE(6, 2), BE(7, 2), Bytes(3, 0), BE(8, 2), BE(9, 2),
                                       BE(10, 2), Box("ftab", Bytes{0, 1, 0, 1, 0})})))),
       {{kE + "text.displayFlags", "1"}, {kE + "text.textJustification", "2"}, {kE + "text.bgColorBlue", "5"},
        {kE + "text.fontFace", "7"}, {kE + "text.foreColorBlue", "10"}, {kE + "text.ftab", "<none>"}}},
      {"text in a media information header: 36 bytes",
       Box("minf", Box("gmhd", Box("text", Bytes(36, 3)))), {{"minf.gmhd.text.textData", Hex(Bytes(36, 3))}}},
      {"text anywhere else: nothing read", Box("moov", Box("text", Bytes(10, 4))), {{"moov.text.displayFlags", "<none>"}}},

      // ---- movie fragments: fields by flag.
      {"tfhd without optional fields", Box("traf", FullBox("tfhd", 0, 0, BE(7, 4))),
       {{"traf.tfhd.trackId", "7"}, {"traf.tfhd.baseDataOffset", "<none>"}}},
      {"tfhd with all five", Box("traf", FullBox("tfhd", 0, 0x3B, Cat({BE(7, 4), BE(1ull << 40, 8), BE(2, 4), BE(3, 4),
                                                                       BE(4, 4), BE(5, 4)}))),
       {{"traf.tfhd.baseDataOffset", "1099511627776"}, {"traf.tfhd.sampleDescriptionIndex", "2"},
        {"traf.tfhd.defaultSampleDuration", "3"}, {"traf.tfhd.defaultSampleSize", "4"},
        {"traf.tfhd.defaultSampleFlags", "5"}}},
      {"tfhd with a flag that has no field", Box("traf", FullBox("tfhd", 0, 0x020000, BE(7, 4))),
       {{"traf.tfhd.trackId", "7"}, {"traf.tfhd.defaultSampleDuration", "<none>"}}},
      {"trun of durations and sizes",
       Box("traf", FullBox("trun", 0, 0x301, Cat({BE(2, 4), BE(100, 4), BE(10, 4), BE(11, 4), BE(20, 4), BE(21, 4)}))),
       {{"traf.trun.dataOffset", "100"}, {"traf.trun.samples[1].sampleDuration", "20"},
        {"traf.trun.samples[1].sampleSize", "21"}, {"traf.trun.samples[0].sampleFlags", "<none>"}}},
      {"trun without columns", Box("traf", FullBox("trun", 0, 0x005, Cat({BE(3, 4), BE(100, 4), BE(0x02000000, 4)}))),
       {{"traf.trun.firstSampleFlags", "33554432"}, {"traf.trun.samples", "<3 rows>"}}},
      {"trun version 1 with a negative composition offset",
       Box("traf", FullBox("trun", 1, 0x800, Cat({BE(1, 4), BE(0xFFFFFC00, 4)}))),
       {{"traf.trun.samples[0].sampleCompositionTimeOffset", "4294966272"}}},
      {"trun longer than its box", Box("traf", FullBox("trun", 0, 0x300, Cat({BE(3, 4), BE(1, 4), BE(2, 4)}))), {},
       "Atom ReadProperties: atom is too small"},
  };
  return cases;
}

TEST(MP4Atoms, FieldsReadAndWrittenBack) {
  // A file type box first (unless the case is one), and padding after the
  // case, so that a field running past its box runs into the padding rather
  // than the end of the file.
  const Bytes pad = Box("free", Bytes(64, 0));
  for (const Case& c : Cases()) {
    const bool ftyp = Bytes(c.file.begin() + 4, c.file.begin() + 8) == Lit("ftyp");
    TreeReader r(Cat({ftyp ? Bytes{} : kFtyp, c.file, pad}));
    const std::string error = r.Read();
    EXPECT_EQ(error, c.error) << c.what;
    if (!error.empty()) continue;
    for (const auto& v : c.values) EXPECT_EQ(Text(r.Root(), v.first), v.second) << c.what << ": " << v.first;
    EXPECT_EQ(WriteBack(r.file.get(), r.Root()->GetChildAtom(ftyp ? 0 : 1)),
              c.writtenAs.empty() ? c.file : c.writtenAs)
        << c.what;
  }
}

TEST(MP4Atoms, CountsFollowTheChildren) {
  // Read-only afterwards, whatever the file said.
  TreeReader r(Cat({kFtyp, InStbl(Stsd(2, Box("avc1", VisualFields(8, 8, ""))))}));
  ASSERT_EQ(r.Read(), "");
  MP4Atom* stsd = r.Root()->FindAtom((kS + "stsd").c_str());
  EXPECT_EQ(stsd->GetIntegerField("entryCount")->GetValue(), 1u);
  EXPECT_TRUE(stsd->GetIntegerField("entryCount")->IsReadOnly());
  // A constant size: the table stays, read-implicit and without rows.
  TreeReader z(Cat({kFtyp, FullBox("stsz", 0, 0, Cat({BE(1000, 4), BE(5, 4)}))}));
  ASSERT_EQ(z.Read(), "");
  MP4TableProperty* entries = static_cast<MP4TableProperty*>(z.Root()->GetChildAtom(1)->GetField("entries"));
  EXPECT_TRUE(entries->IsImplicit());
  EXPECT_EQ(entries->GetProperty(0)->GetCount(), 0u);
  // A run table without columns warns once on the standard error stream.
  testing::internal::CaptureStderr();
  TreeReader t(Cat({kFtyp, Box("traf", FullBox("trun", 0, 0x001, Cat({BE(3, 4), BE(1, 4)})))}));
  ASSERT_EQ(t.Read(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning (numProperties == 0) in mp4property at line 631\n");
}

TEST(MP4Atoms, HalfSizeTableCountsPairs) {
  MP4Integer32Property count("sampleCount");
  MP4HalfSizeTableProperty table("entries", &count);
  count.SetReadOnly(false);  // a table's count is read-only to the normal setter
  table.SetCount(3);
  EXPECT_EQ(count.GetValue(), 6u);
  count.SetValue(0xFFFFFFFF);
  EXPECT_EQ(table.GetCount(), 0x80000000u);
}

}  // namespace
