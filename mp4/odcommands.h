// Object descriptor commands: OD update and remove, ES update and remove.
// Their tags 0x01 to 0x04 overlap the descriptor tags, so they have a
// factory of their own; the library builds them (the ISMA code) and never
// reads them out of a file's descriptor lists.
#pragma once

#include "mp4descriptor.h"

// The command for a tag, owned by the caller; NULL outside 0x01-0x04.
MP4Descriptor* CreateODCommand(uint8_t tag);

// Object descriptors (tag 0x11) to install.
class MP4ODUpdateDescriptor : public MP4Descriptor {
 public:
  MP4ODUpdateDescriptor();
};

// 10-bit object descriptor ids back to back; their count follows from the
// body size and is never in the file.
class MP4ODRemoveDescriptor : public MP4Descriptor {
 public:
  MP4ODRemoveDescriptor();
  void Read(MP4File* pFile) override;
};

// An object descriptor id and ES id references (tag 0x0F).
class MP4ESUpdateDescriptor : public MP4Descriptor {
 public:
  MP4ESUpdateDescriptor();
};

class MP4ESRemoveDescriptor : public MP4Descriptor {
 public:
  MP4ESRemoveDescriptor();
};
