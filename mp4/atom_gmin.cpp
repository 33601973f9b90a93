#include "atoms.h"

using namespace mp4field;

MP4GminAtom::MP4GminAtom() : MP4Atom("gmin") {
  AddFields({VF(), U16("graphicsMode"), U16("opColorRed"), U16("opColorGreen"), U16("opColorBlue"),
             U16("balance"), Reserved("reserved", 2)});
}

void MP4GminAtom::Generate() {
  MP4Atom::Generate();
  GetIntegerField("graphicsMode")->SetValue(0x40);
  GetIntegerField("opColorRed")->SetValue(0x8000);
  GetIntegerField("opColorGreen")->SetValue(0x8000);
  GetIntegerField("opColorBlue")->SetValue(0x8000);
  GetIntegerField("balance")->SetValue(0);
}
