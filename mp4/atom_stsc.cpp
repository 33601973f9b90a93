#include "atoms.h"

using namespace mp4field;

MP4StscAtom::MP4StscAtom() : MP4Atom("stsc") {
  AddFields({VF(), U32("entryCount"), Table("entries", 4), U32("firstChunk"), U32("samplesPerChunk"),
             U32("sampleDescriptionIndex"), U32("firstSample")});
  static_cast<MP4TableProperty*>(GetField("entries"))->GetProperty(3)->SetImplicit();
}

// The first sample of each run follows from the chunks and samples of the
// runs before it. Runs must start at increasing chunks and the samples must
// stay countable in 32 bits: otherwise the column would send sample lookups
// to chunks that hold other samples.
void MP4StscAtom::Read() {
  MP4Atom::Read();
  MP4TableProperty* entries = static_cast<MP4TableProperty*>(GetField("entries"));
  const uint32_t n = entries->GetCount();
  if (n == 0) return;
  MP4Integer32Property* firstChunk = static_cast<MP4Integer32Property*>(entries->GetProperty(0));
  MP4Integer32Property* samplesPerChunk = static_cast<MP4Integer32Property*>(entries->GetProperty(1));
  MP4Integer32Property* firstSample = static_cast<MP4Integer32Property*>(entries->GetProperty(3));
  uint64_t sample = 1;
  firstSample->SetValue(1, 0);
  for (uint32_t i = 0; i + 1 < n; i++) {
    const uint32_t chunk = firstChunk->GetValue(i);
    const uint32_t next = firstChunk->GetValue(i + 1);
    if (next <= chunk)
      throw MP4Error("stsc entry %u starts at chunk %u, not after chunk %u", "MP4StscAtom::Read", i + 1,
                     next, chunk);
    sample += uint64_t(next - chunk) * samplesPerChunk->GetValue(i);
    if (sample > UINT32_MAX)
      throw MP4Error("stsc entry %u starts beyond sample 4294967295", "MP4StscAtom::Read", i + 1);
    firstSample->SetValue(static_cast<uint32_t>(sample), i + 1);
  }
}
