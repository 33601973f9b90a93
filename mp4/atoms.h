// The atom classes that the factory builds by 4CC. Each file atom_<4cc>
// holds one class; boxes whose body is a fixed field list with no behaviour
// of their own are MP4StandardAtom's definitions (atom_standard).
#pragma once

#include "mp4atom.h"

// The top of the tree: no type, the top-level atoms as children.
class MP4RootAtom : public MP4Atom {
 public:
  MP4RootAtom();
};

// Every box that needs no class: fields and expected children from the
// definition table for the 4CC; any other 4CC is marked unknown and keeps
// its body as raw bytes.
class MP4StandardAtom : public MP4Atom {
 public:
  explicit MP4StandardAtom(const char* type);
};

// "mvhd": the layout of the times depends on the version read first.
class MP4MvhdAtom : public MP4Atom {
 public:
  MP4MvhdAtom();
  void Read() override;
  void AddProperties(uint8_t version);
};

class MP4StblAtom : public MP4Atom {
 public:
  MP4StblAtom();
};

// "stsd": after reading, the entry count follows the children read.
class MP4StsdAtom : public MP4Atom {
 public:
  MP4StsdAtom();
  void Read() override;
};

// "mdat": the media data stays in the file; samples are read by offset.
class MP4MdatAtom : public MP4Atom {
 public:
  MP4MdatAtom();
  void Read() override;
};

// "free" and "skip": padding.
class MP4FreeAtom : public MP4Atom {
 public:
  MP4FreeAtom();
  void Read() override;
};

// Visual sample entries. The common layout (78 bytes: reserved, data
// reference index, reserved, width, height, reserved, a 32-byte compressor
// name, reserved) is shared by avc1, encv, mp4v, hvc1 and hev1; the plain
// layout ends in depth and colour table id; the short one folds everything
// after the size into one reserved block.
enum class MP4VisualLayout { Common, Plain, Short };
void MP4AddVisualSampleEntryFields(MP4Atom* pAtom, MP4VisualLayout layout);

class MP4Avc1Atom : public MP4Atom {
 public:
  MP4Avc1Atom();
};

class MP4EncvAtom : public MP4Atom {
 public:
  MP4EncvAtom();
};

class MP4Mp4vAtom : public MP4Atom {
 public:
  MP4Mp4vAtom();
};

class MP4Hvc1Atom : public MP4Atom {
 public:
  MP4Hvc1Atom();
};

class MP4Hev1Atom : public MP4Atom {
 public:
  MP4Hev1Atom();
};

// "SVQ3", "h263", "jpeg", "raw ", "yuv2".
class MP4VideoAtom : public MP4Atom {
 public:
  explicit MP4VideoAtom(const char* type);
};

class MP4Vc1Atom : public MP4Atom {
 public:
  MP4Vc1Atom();
};

class MP4S263Atom : public MP4Atom {
 public:
  MP4S263Atom();
};
