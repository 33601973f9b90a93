#include "atoms.h"

using namespace mp4field;

MP4FtypAtom::MP4FtypAtom() : MP4Atom("ftyp") {
  AddFields({FixedStr("majorBrand", 4), U32("minorVersion"), U32("compatibleBrandsCount"),
             Table("compatibleBrands", 1), FixedStr("brand", 4)});
  GetField("compatibleBrandsCount")->SetImplicit();
}

void MP4FtypAtom::Read() {
  // Every whole 4 bytes after the major brand and the version is a brand; a
  // body shorter than those two has none (and fails on the version).
  const uint64_t brands = m_size >= 8 ? (m_size - 8) / 4 : 0;
  ForceIntegerField("compatibleBrandsCount", brands <= UINT32_MAX ? brands : UINT32_MAX);
  MP4Atom::Read();
}

void MP4FtypAtom::Generate() {
  MP4Atom::Generate();
  static_cast<MP4StringProperty*>(GetField("majorBrand"))->SetValue("mp42");
  MP4TableProperty* table = static_cast<MP4TableProperty*>(GetField("compatibleBrands"));
  MP4StringProperty* brand = static_cast<MP4StringProperty*>(table->GetProperty(0));
  const uint32_t count = table->GetCount();
  brand->SetCount(count + 2);
  brand->SetValue("mp42", count);
  brand->SetValue("isom", count + 1);
  ForceIntegerField("compatibleBrandsCount", count + 2);
}
