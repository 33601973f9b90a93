// Reads a box tree from memory through a caller's Virtual_IO table, then
// looks up the paths that the track code and the adapters use.
#include <cstdint>
#include <cstddef>

#include "mp4test.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mp4test::TreeReader r(mp4test::Bytes(data, data + size));
  r.Read();
  MP4Atom* root = r.Root();
  if (!root) return 0;
  static const char* const kPaths[] = {
      "moov.mvhd.timeScale",
      "moov.iods.visualProfileLevelId",
      "moov.trak.mdia.minf.stbl.stsd.*[0].esds.decConfigDescr.objectTypeId",
      "moov.trak.mdia.minf.stbl.stsd.*[0].esds.decConfigDescr.decSpecificInfo[0].info",
      "moov.trak[1].mdia.minf.stbl.stts.entries[0].sampleDelta",
      "moov.trak.mdia.minf.stbl.stco.entries[3].chunkOffset",
      "moof.traf.tfhd.trackId",
  };
  for (const char* path : kPaths) {
    MP4Property* p = nullptr;
    uint32_t index = 0;
    try {
      if (root->FindProperty(path, &p, &index) && p->GetType() <= Integer64Property)
        static_cast<MP4IntegerProperty*>(p)->GetValue(index);
    } catch (const MP4Error&) {
    }
    root->FindAtom(path);
  }
  return 0;
}
