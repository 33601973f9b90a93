// The atom classes that the factory builds by 4CC. Each file atom_<4cc>
// holds one class; boxes whose body is a fixed field list with no behaviour
// of their own are MP4StandardAtom's definitions (atom_standard).
#pragma once

#include "mp4atom.h"

// The top of the tree: no type, the top-level atoms as children. Writing a
// new file goes: BeginWrite (file type, the last media data atom opened),
// samples, FinishWrite (media data closed, the atoms after it written); the
// optimal layout puts the movie atom first and rewrites it in place.
class MP4RootAtom : public MP4Atom {
 public:
  MP4RootAtom();
  void BeginWrite(bool use64 = false) override;
  void Write() override;
  void FinishWrite(bool use64 = false) override;
  void BeginOptimalWrite();
  void FinishOptimalWrite();
  // Writes the children of that type in order; only the first with onlyOne.
  void WriteAtomType(const char* type, bool onlyOne);
  uint32_t GetLastMdatIndex();
  // A child read from bytes that no reader takes for a box: its size does
  // not cover a box header, or its type holds zero or control bytes (the
  // padding some tools leave at the end of a file).
  static bool IsNoBox(MP4Atom* child);
  // The children an optimised file takes over after the file type and the
  // movie: every box but media data, free space, further file type and
  // movie boxes, and bytes that are no box.
  static bool IsCopiedByOptimize(MP4Atom* child);
};

// Every box that needs no class: fields and expected children from the
// definition table for the 4CC; any other 4CC is marked unknown and keeps
// its body as raw bytes. Item 4CCs directly under "udta" read in the forms
// they have there (QuickTime texts as in MP4Meta2Atom), not as items.
class MP4StandardAtom : public MP4Atom {
 public:
  explicit MP4StandardAtom(const char* type);
  void Read() override;
};

// ---------------------------------------------------------------- headers and references

// The unity transformation of movie and track headers: nine 32-bit values
// (16.16 and, in the last column, 2.30).
extern const uint8_t MP4_UNITY_MATRIX[36];

// The times and time scale of movie and media headers: creation,
// modification, time scale, duration; 64-bit times in version 1.
void MP4AddHeaderTimes(MP4Atom* pAtom, uint8_t version);

// A version-0 movie, track or media header turns into version 1: the
// same values, the times and duration 64 bits wide. Callers that bound
// those fields bind them again.
void MP4WidenHeader(MP4Atom* pHeader);

// Reads the version alone, appends the fields of that version, then reads
// the flags and the rest.
template <class T>
void MP4ReadVersioned(T* pAtom) {
  pAtom->ReadProperties(0, 1);
  pAtom->AddProperties(pAtom->GetVersion());
  pAtom->ReadProperties(1);
  pAtom->Skip();
}

// A new movie, track or media header: the version of the file's time width
// for the type, the atom base's defaults, both times now.
template <class T>
void MP4GenerateHeader(T* pAtom) {
  const uint8_t version = pAtom->GetFile()->Use64Bits(pAtom->GetType()) ? 1 : 0;
  pAtom->SetVersion(version);
  pAtom->AddProperties(version);
  pAtom->MP4Atom::Generate();
  const uint64_t now = MP4GetAbsTimestamp();
  pAtom->GetIntegerField("creationTime")->SetValue(now);
  pAtom->GetIntegerField("modificationTime")->SetValue(now);
}

// "mvhd", "tkhd", "mdhd", "elst": the layout of the times depends on the
// version read first (1: 64-bit, any other: 32-bit); a new one takes the
// file's 64-bit time setting.
class MP4MvhdAtom : public MP4Atom {
 public:
  MP4MvhdAtom();
  void Generate() override;
  void Read() override;
  void AddProperties(uint8_t version);
};

class MP4TkhdAtom : public MP4Atom {
 public:
  MP4TkhdAtom();
  void Generate() override;
  void Read() override;
  void AddProperties(uint8_t version);
};

class MP4MdhdAtom : public MP4Atom {
 public:
  MP4MdhdAtom();
  void Generate() override;
  void Read() override;
  void AddProperties(uint8_t version);
};

class MP4ElstAtom : public MP4Atom {
 public:
  MP4ElstAtom();
  void Generate() override;
  void Read() override;
  void AddProperties(uint8_t version);
  // A version-0 list turns into version 1: the same edits, with durations
  // and media times 64 bits wide (an empty edit's media time -1 stays -1).
  // Callers that bound the columns bind them again.
  void Widen();
};

// "hdlr": a name that exactly fills the rest of the atom after a length
// byte is read counted, any other NUL-terminated; written NUL-terminated.
class MP4HdlrAtom : public MP4Atom {
 public:
  MP4HdlrAtom();
  void Read() override;
};

// "ftyp": the brand count follows from the atom's size.
class MP4FtypAtom : public MP4Atom {
 public:
  MP4FtypAtom();
  void Generate() override;
  void Read() override;
};

// "dref": the entries read are authoritative over the stored count.
class MP4DrefAtom : public MP4Atom {
 public:
  MP4DrefAtom();
  void Read() override;
};

// "url " and "alis": flags bit 0 means the data is in this file and no
// location follows.
class MP4UrlAtom : public MP4Atom {
 public:
  explicit MP4UrlAtom(const char* type = "url ");
  void Read() override;
  void Write() override;
};

class MP4UrnAtom : public MP4Atom {
 public:
  MP4UrnAtom();
  void Read() override;
};

// "free" and "skip": padding, written as zeros of the size the creator set.
class MP4FreeAtom : public MP4Atom {
 public:
  MP4FreeAtom();
  void Read() override;
  void Write() override;
};

// "mdat": the media data stays in the file; samples are read by offset and
// the root atom alone writes it.
class MP4MdatAtom : public MP4Atom {
 public:
  MP4MdatAtom();
  void Read() override;
  void Write() override;
};

class MP4UdtaAtom : public MP4Atom {
 public:
  MP4UdtaAtom();
  void Read() override;
};

class MP4StblAtom : public MP4Atom {
 public:
  MP4StblAtom();
  void Generate() override;
};

class MP4VmhdAtom : public MP4Atom {
 public:
  MP4VmhdAtom();
  void Generate() override;
};

// "SMI ": the whole body as one byte string.
class MP4SmiAtom : public MP4Atom {
 public:
  MP4SmiAtom();
  void Read() override;
};

// "chap", "dpnd", "hint", "ipir", "mpod", "sync": one track id per 4 bytes.
class MP4TrefTypeAtom : public MP4Atom {
 public:
  explicit MP4TrefTypeAtom(const char* type);
  void Read() override;
};

// ---------------------------------------------------------------- sample tables

// "stsd": after reading, the entry count follows the children read.
class MP4StsdAtom : public MP4Atom {
 public:
  MP4StsdAtom();
  void Read() override;
};

// "stsz": with a constant size the entry table is neither read nor written.
class MP4StszAtom : public MP4Atom {
 public:
  MP4StszAtom();
  void Read() override;
  void Write() override;
};

// "stz2": entries of 4, 8 or 16 bits; the table exists once read.
class MP4Stz2Atom : public MP4Atom {
 public:
  MP4Stz2Atom();
  void Read() override;
};

// "stsc": the first sample of each run is computed once read.
class MP4StscAtom : public MP4Atom {
 public:
  MP4StscAtom();
  void Read() override;
};

// "stdp": one 16-bit priority per 2 bytes after version and flags.
class MP4StdpAtom : public MP4Atom {
 public:
  MP4StdpAtom();
  void Read() override;
};

// ---------------------------------------------------------------- visual sample entries

// The common layout (78 bytes: reserved, data reference index, reserved,
// width, height, reserved, a 32-byte compressor name, reserved) is shared by
// avc1, encv, mp4v, hvc1 and hev1; the plain layout ends in depth and colour
// table id; the short one folds everything after the size into one reserved
// block.
enum class MP4VisualLayout { Common, Plain, Short };
void MP4AddVisualSampleEntryFields(MP4Atom* pAtom, MP4VisualLayout layout);
// 72 dpi both ways (16.16), a reserved word, one frame per sample.
extern const uint8_t MP4_VISUAL_RESOLUTION_AND_FRAME_COUNT[14];
// The defaults of a new entry of that layout (after the atom base's).
void MP4GenerateVisualSampleEntry(MP4Atom* pAtom, MP4VisualLayout layout);

class MP4Avc1Atom : public MP4Atom {
 public:
  MP4Avc1Atom();
  void Generate() override;
};

class MP4EncvAtom : public MP4Atom {
 public:
  MP4EncvAtom();
  void Generate() override;
};

class MP4Mp4vAtom : public MP4Atom {
 public:
  MP4Mp4vAtom();
  void Generate() override;
};

class MP4Hvc1Atom : public MP4Atom {
 public:
  MP4Hvc1Atom();
  void Generate() override;
};

class MP4Hev1Atom : public MP4Atom {
 public:
  MP4Hev1Atom();
  void Generate() override;
};

// "SVQ3", "h263", "jpeg", "raw ", "yuv2". A "raw " entry of a sound track
// reads as a sound description instead.
class MP4VideoAtom : public MP4Atom {
 public:
  explicit MP4VideoAtom(const char* type);
  void Generate() override;
  void Read() override;
};

class MP4Vc1Atom : public MP4Atom {
 public:
  MP4Vc1Atom();
  void Generate() override;
};

class MP4S263Atom : public MP4Atom {
 public:
  MP4S263Atom();
  void Generate() override;
};

// "d263": a "bitr" child with both rates 0 is dropped when written.
class MP4D263Atom : public MP4Atom {
 public:
  MP4D263Atom();
  void Generate() override;
  void Write() override;
};

// "avcC": the AVC decoder configuration with its parameter-set tables.
class MP4AvcCAtom : public MP4Atom {
 public:
  MP4AvcCAtom();
  void Generate() override;
  // Makes the destination a copy of this configuration: profile,
  // compatibility, level, length size and every parameter set.
  void Clone(MP4AvcCAtom* pDestination);
};

// ---------------------------------------------------------------- other sample entries

// The sound description shared by "mp4a", "alac", "twos", "sowt", "ulaw",
// "alaw" and "ima4"; version fields follow the version read. Outside "stsd"
// (inside "wave", or the configuration box of an "alac" entry) it holds no
// sound-description field.
class MP4SoundAtom : public MP4Atom {
 public:
  explicit MP4SoundAtom(const char* type);
  void Generate() override;
  void Read() override;
};

// The fields of a QuickTime-style sound description: those every version
// has, added at construction, and those of versions 1 and 2, added while
// reading by the low 8 bits of the version field.
void MP4AddSoundEntryFields(MP4Atom* pAtom);
void MP4ReadSoundEntryFields(MP4Atom* pAtom);

// "enca", "samr" and "sawb": reserved, data reference index, reserved, the
// integer part of the sample rate, reserved (28 bytes).
void MP4AddShortSoundEntryFields(MP4Atom* pAtom);
void MP4GenerateShortSoundEntry(MP4Atom* pAtom);

class MP4EncaAtom : public MP4Atom {
 public:
  MP4EncaAtom();
  void Generate() override;
};

// "samr" and "sawb".
class MP4AmrAtom : public MP4Atom {
 public:
  explicit MP4AmrAtom(const char* type);
  void Generate() override;
};

class MP4DamrAtom : public MP4Atom {
 public:
  MP4DamrAtom();
  void Generate() override;
};

class MP4Mp4sAtom : public MP4Atom {
 public:
  MP4Mp4sAtom();
  void Generate() override;
};

class MP4Ac3Atom : public MP4Atom {
 public:
  MP4Ac3Atom();
  void Generate() override;
};

class MP4Dac3Atom : public MP4Atom {
 public:
  MP4Dac3Atom();
  void Generate() override;
};

// "text": a text sample entry under "stsd", the text media information
// under "gmhd", nothing elsewhere.
class MP4TextAtom : public MP4Atom {
 public:
  MP4TextAtom();
  void Generate() override;
  void Read() override;

 private:
  void AddPropertiesStsdType();
  void AddPropertiesGmhdType();
  void GenerateStsdType();
  void GenerateGmhdType();
};

class MP4HrefAtom : public MP4Atom {
 public:
  MP4HrefAtom();
  void Generate() override;
};

// ---------------------------------------------------------------- movie fragments

// "tfhd" and "trun": fields present by flag bits, appended while reading.
class MP4TfhdAtom : public MP4Atom {
 public:
  MP4TfhdAtom();
  void Read() override;
  void AddProperties(uint32_t flags);
};

class MP4TrunAtom : public MP4Atom {
 public:
  MP4TrunAtom();
  void Read() override;
  void AddProperties(uint32_t flags);
};

// ---------------------------------------------------------------- protection

// "ohdr", the common headers of DRM-protected content: three fields whose
// byte lengths are earlier fields of the box. Its texts are exactly that
// many bytes, zero bytes inside them included.
class MP4OhdrAtom : public MP4Atom {
 public:
  MP4OhdrAtom();
  void Read() override;
};

// ---------------------------------------------------------------- hint tracks

// "rtp ": under "stsd" the RTP hint sample entry (with "tims", "tsro",
// "snro"), under "hnti" the movie's session description ("sdp " and the
// text to the end of the box); anywhere else an empty box whose body is
// skipped. The parent decides when the atom is read or generated.
class MP4RtpAtom : public MP4Atom {
 public:
  MP4RtpAtom();
  void Generate() override;
  void Read() override;
  void Write() override;

 private:
  bool InParent(const char* type) const;
  void AddSampleEntryFields();
  void AddSdpFields();
};

// "hnti": under a track's "udta" it holds "sdp ", under the movie's "rtp ".
class MP4HntiAtom : public MP4Atom {
 public:
  MP4HntiAtom();
  void Read() override;
};

// "sdp ": a track's session description, the text running to the box's
// end with no length and no terminator.
class MP4SdpAtom : public MP4Atom {
 public:
  MP4SdpAtom();
  void Read() override;
  void Write() override;
};

// "hinf": the hint statistics; a new one has every statistic box.
class MP4HinfAtom : public MP4Atom {
 public:
  MP4HinfAtom();
  void Generate() override;
};

// "gmin": the base media information of "gmhd".
class MP4GminAtom : public MP4Atom {
 public:
  MP4GminAtom();
  void Generate() override;
};

// The session-description text of "rtp " and "sdp ": the bytes from the
// position to the atom's end (none when the position is past it), cut at
// an embedded zero; written back as exactly its characters.
void MP4ReadTextToEnd(MP4Atom* pAtom, MP4StringProperty* pText);
void MP4WriteTextToEnd(MP4Atom* pAtom, MP4StringProperty* pText);

// ---------------------------------------------------------------- metadata items and chapter list

// The body size less the bytes before a value: 0 for a body too short to
// hold even those (which then fails in the field reading, not in a size
// near 4 GiB).
uint32_t MP4ValueSizeAfter(MP4Atom* pAtom, uint32_t headBytes);

// "meta": version and flags, then "hdlr" and "ilst". The QuickTime form has
// no version and flags (its body starts with the handler box): both fields
// then stay out of the file, when read and when written back.
class MP4MetaAtom : public MP4Atom {
 public:
  MP4MetaAtom();
  void Read() override;
};

// "data": the value of a metadata item; flags give the value's type.
class MP4DataAtom : public MP4Atom {
 public:
  MP4DataAtom();
  void Read() override;
};

// "mean" and "name" of a free-form item: version, flags, then the text
// to the atom's end. Under "udta" (a QuickTime name) only version and flags
// are taken as fields and the rest is kept as it was.
class MP4Meta1Atom : public MP4Atom {
 public:
  explicit MP4Meta1Atom(const char* type);
  void Read() override;
};

// The text atoms that are items under "ilst" (one "data" child) and plain
// QuickTime texts under "udta" (4 bytes of length and language, the text).
class MP4Meta2Atom : public MP4Atom {
 public:
  explicit MP4Meta2Atom(const char* type);
  void Read() override;
};

// "chpl": start times in units of 100 ns and titles of at most 255 bytes.
class MP4ChplAtom : public MP4Atom {
 public:
  MP4ChplAtom();
  void Generate() override;
};
