#include <cstring>

#include "atoms.h"

using namespace mp4field;

MP4TextAtom::MP4TextAtom() : MP4Atom("text") {}

namespace {

bool ParentIs(MP4Atom* pParent, const char* type) {
  return pParent && strcmp(pParent->GetType(), type) == 0;
}

}  // namespace

void MP4TextAtom::AddPropertiesStsdType() {
  AddFields({Reserved("reserved1", 6), U16("dataReferenceIndex"), U32("displayFlags"),
             U32("textJustification"), U16("bgColorRed"), U16("bgColorGreen"), U16("bgColorBlue"),
             U16("defTextBoxTop"), U16("defTextBoxLeft"), U16("defTextBoxBottom"), U16("defTextBoxRight"),
             Reserved("reserved2", 8), U16("fontNumber"), U16("fontFace"), Reserved("reserved3", 1),
             Reserved("reserved4", 2), U16("foreColorRed"), U16("foreColorGreen"), U16("foreColorBlue")});
}

void MP4TextAtom::AddPropertiesGmhdType() { AddFields({Bytes("textData", 36)}); }

void MP4TextAtom::Read() {
  if (ParentIs(m_pParentAtom, "stsd"))
    AddPropertiesStsdType();
  else if (ParentIs(m_pParentAtom, "gmhd"))
    AddPropertiesGmhdType();
  MP4Atom::Read();
}

void MP4TextAtom::Generate() {
  if (ParentIs(m_pParentAtom, "stsd")) {
    GenerateStsdType();
  } else if (ParentIs(m_pParentAtom, "gmhd")) {
    GenerateGmhdType();
  } else if (GetVerbosity() & MP4_VERB_WARNINGS) {
    zprintf("Warning: text atom in unexpected context, can not generate");
  }
}

void MP4TextAtom::GenerateStsdType() {
  AddPropertiesStsdType();
  MP4Atom::Generate();
  GetIntegerField("dataReferenceIndex")->SetValue(1);
  GetIntegerField("displayFlags")->SetValue(1);
  GetIntegerField("textJustification")->SetValue(1);
}

void MP4TextAtom::GenerateGmhdType() {
  AddPropertiesGmhdType();
  MP4Atom::Generate();
  // The identity matrix, 16.16 values and 2.30 in the last column.
  GetBytesField("textData")->SetValue(MP4_UNITY_MATRIX, sizeof MP4_UNITY_MATRIX);
}
