#include <cstring>

#include "atoms.h"

using namespace mp4field;

MP4RtpAtom::MP4RtpAtom() : MP4Atom("rtp ") {}

bool MP4RtpAtom::InParent(const char* type) const {
  return m_pParentAtom && strcmp(m_pParentAtom->GetType(), type) == 0;
}

void MP4RtpAtom::AddSampleEntryFields() {
  AddFields({Reserved("reserved1", 6), U16("dataReferenceIndex"), U16("hintTrackVersion"),
             U16("highestCompatibleVersion"), U32("maxPacketSize")});
  ExpectChildAtoms({{"tims", true, true}, {"tsro", false, true}, {"snro", false, true}});
}

void MP4RtpAtom::AddSdpFields() { AddFields({FixedStr("descriptionFormat", 4), Str("sdpText")}); }

void MP4RtpAtom::Generate() {
  if (InParent("stsd")) {
    AddSampleEntryFields();
    MP4Atom::Generate();
    GetIntegerField("dataReferenceIndex")->SetValue(1);
    GetIntegerField("hintTrackVersion")->SetValue(1);
    GetIntegerField("highestCompatibleVersion")->SetValue(1);
  } else if (InParent("hnti")) {
    AddSdpFields();
    MP4Atom::Generate();
    static_cast<MP4StringProperty*>(GetField("descriptionFormat"))->SetValue("sdp ");
  } else if (GetVerbosity() & MP4_VERB_WARNINGS) {
    zprintf("Warning: rtp atom in unexpected context, can not generate\n");
  }
}

void MP4RtpAtom::Read() {
  if (InParent("stsd")) {
    AddSampleEntryFields();
    MP4Atom::Read();
  } else if (InParent("hnti")) {
    AddSdpFields();
    ReadProperties(0, 1);
    MP4ReadTextToEnd(this, static_cast<MP4StringProperty*>(GetField("sdpText")));
    Skip();
  } else {
    if (GetVerbosity() & MP4_VERB_READ) zprintf("rtp atom in unexpected context, can not read\n");
    Skip();
  }
}

void MP4RtpAtom::Write() {
  if (!InParent("hnti") || GetNumberOfProperties() < 2) {
    MP4Atom::Write();
    return;
  }
  MP4WriteTextToEnd(this, static_cast<MP4StringProperty*>(GetField("sdpText")));
}
