// Reads a box tree from memory through a caller's Virtual_IO table, looks
// up the paths that the track code and the adapters use, then writes every
// top-level atom but the media data back, reads what it wrote and dumps it.
#include <cstdint>
#include <cstddef>

#include "mp4test.h"

namespace {

void LookUp(MP4Atom* root) {
  static const char* const kPaths[] = {
      "moov.mvhd.timeScale",
      "moov.iods.visualProfileLevelId",
      "moov.trak.mdia.minf.stbl.stsd.*[0].esds.decConfigDescr.objectTypeId",
      "moov.trak.mdia.minf.stbl.stsd.*[0].esds.decConfigDescr.decSpecificInfo[0].info",
      "moov.trak.mdia.minf.stbl.stsd.*[0].avcC.sequenceEntries.sequenceParameterSetNALUnit",
      "moov.trak[1].mdia.minf.stbl.stts.entries[0].sampleDelta",
      "moov.trak.mdia.minf.stbl.stco.entries[3].chunkOffset",
      "moov.trak.mdia.minf.stbl.stsc.entries[1].firstSample",
      "moov.trak.mdia.minf.stbl.stz2.entries[2].entrySize",
      "moof.traf.tfhd.trackId",
      "moof.traf.trun.samples[1].sampleSize",
      "iods.ociDescr.creators[1].isUTF8String",
      "esds.qosDescr.qualifiers.maxDelay",
      "odkm.ohdr.TextualHeadersLength",
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mp4test::TreeReader r(mp4test::Bytes(data, data + size));
  r.Read();
  MP4Atom* root = r.Root();
  if (!root) return 0;
  LookUp(root);

  mp4test::Bytes written;
  for (uint32_t i = 0; i < root->GetNumberOfChildAtoms(); i++) {
    MP4Atom* a = root->GetChildAtom(i);
    if (!strcmp(a->GetType(), "mdat")) continue;
    try {
      mp4test::Append(written, mp4test::WriteBack(r.file.get(), a));
    } catch (const MP4Error&) {
    }
  }
  mp4test::TreeReader again(written);
  if (!again.Read().empty() || !again.Root()) return 0;
  LookUp(again.Root());
  static FILE* sink = fopen("/dev/null", "w");
  again.file->SetVerbosity(MP4_VERB_TABLE);
  if (sink) again.Root()->Dump(sink, 0, true);
  return 0;
}
