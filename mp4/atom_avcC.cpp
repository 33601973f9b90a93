#include "atoms.h"

using namespace mp4field;

MP4AvcCAtom::MP4AvcCAtom() : MP4Atom("avcC") {
  AddFields({U8("configurationVersion"), U8("AVCProfileIndication"), U8("profile_compatibility"),
             U8("AVCLevelIndication"), Bits("reserved", 6), Bits("lengthSizeMinusOne", 2),
             Bits("reserved1", 3), Bits("numOfSequenceParameterSets", 5)});
  GetField("reserved")->SetReadOnly();
  GetField("reserved1")->SetReadOnly();
  AddTable(new SizeTableProperty("sequenceEntries", GetIntegerField("numOfSequenceParameterSets")),
           {U16("sequenceParameterSetLength"), Bytes("sequenceParameterSetNALUnit", 0)});
  AddFields({U8("numOfPictureParameterSets")});
  AddTable(new SizeTableProperty("pictureEntries", GetIntegerField("numOfPictureParameterSets")),
           {U16("pictureParameterSetLength"), Bytes("pictureParameterSetNALUnit", 0)});
}

void MP4AvcCAtom::Generate() {
  MP4Atom::Generate();
  GetIntegerField("configurationVersion")->SetValue(1);
  ForceIntegerField("reserved", 0x3F);
  ForceIntegerField("reserved1", 0x7);
}

namespace {

// Copies every row of a parameter-set table (length and bytes, empty sets
// included) and its count.
void CloneSets(MP4AvcCAtom* pSource, MP4AvcCAtom* pDestination, const char* countName, const char* tableName) {
  MP4TableProperty* from = static_cast<MP4TableProperty*>(pSource->GetField(tableName));
  MP4TableProperty* to = static_cast<MP4TableProperty*>(pDestination->GetField(tableName));
  const uint32_t rows = from->GetCount();
  MP4IntegerProperty* fromLength = static_cast<MP4IntegerProperty*>(from->GetProperty(0));
  MP4BytesProperty* fromBytes = static_cast<MP4BytesProperty*>(from->GetProperty(1));
  MP4IntegerProperty* toLength = static_cast<MP4IntegerProperty*>(to->GetProperty(0));
  MP4BytesProperty* toBytes = static_cast<MP4BytesProperty*>(to->GetProperty(1));
  // The columns first, then the count that says how many rows they hold.
  toLength->SetCount(rows);
  toBytes->SetCount(rows);
  for (uint32_t i = 0; i < rows; i++) {
    toLength->SetValue(fromLength->GetValue(i), i);
    toBytes->SetValue(fromBytes->GetValuePointer(i), fromBytes->GetValueSize(i), i);
  }
  pDestination->ForceIntegerField(countName, pSource->GetIntegerField(countName)->GetValue());
}

}  // namespace

void MP4AvcCAtom::Clone(MP4AvcCAtom* pDestination) {
  pDestination->Generate();
  for (const char* name : {"AVCProfileIndication", "profile_compatibility", "AVCLevelIndication",
                           "lengthSizeMinusOne"})
    pDestination->GetIntegerField(name)->SetValue(GetIntegerField(name)->GetValue());
  CloneSets(this, pDestination, "numOfSequenceParameterSets", "sequenceEntries");
  CloneSets(this, pDestination, "numOfPictureParameterSets", "pictureEntries");
}
