#include <cstring>

#include "atoms.h"

MP4S263Atom::MP4S263Atom() : MP4Atom("s263") {
  MP4AddVisualSampleEntryFields(this, MP4VisualLayout::Short);
  ExpectChildAtoms({{"d263", true, true}});
}

void MP4S263Atom::Generate() {
  MP4Atom::Generate();
  MP4GenerateVisualSampleEntry(this, MP4VisualLayout::Short);
  // The resolutions and frame count, an empty compressor name, then depth
  // 0x0024 and colour table -1.
  uint8_t block[50] = {};
  memcpy(block, MP4_VISUAL_RESOLUTION_AND_FRAME_COUNT, sizeof MP4_VISUAL_RESOLUTION_AND_FRAME_COUNT);
  static const uint8_t depthAndColorTable[4] = {0x00, 0x24, 0xFF, 0xFF};
  memcpy(block + 46, depthAndColorTable, sizeof depthAndColorTable);
  ForceBytesField("reserved3", block, sizeof block);
}
