#include "atoms.h"

MP4S263Atom::MP4S263Atom() : MP4Atom("s263") {
  MP4AddVisualSampleEntryFields(this, MP4VisualLayout::Short);
  ExpectChildAtoms({{"d263", true, true}});
}
