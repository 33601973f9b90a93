#include "atoms.h"

using namespace mp4field;

MP4Dac3Atom::MP4Dac3Atom() : MP4Atom("dac3") { AddFields({Bytes("data", 3)}); }

void MP4Dac3Atom::Generate() {
  MP4Atom::Generate();
  static const uint8_t zeros[3] = {};
  GetBytesField("data")->SetValue(zeros, sizeof zeros);
}
