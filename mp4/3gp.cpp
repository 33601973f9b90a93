#include <cstring>
#include <memory>

#include "atoms.h"

namespace {

const char kDefault3GPBrand[] = "3gp5";

bool IsFreeSpace(MP4Atom* a) { return !strcmp(a->GetType(), "free") || !strcmp(a->GetType(), "skip"); }

}  // namespace

void MP4File::Make3GPCompliant(const char*, const char* majorBrand, uint32_t minorVersion, char** supportedBrands,
                               uint32_t supportedBrandsCount, bool deleteIodsAtom) {
  ProtectWriteOperation("MP4Make3GPCompliant");
  char* defaultBrands[] = {const_cast<char*>(kDefault3GPBrand)};
  if (majorBrand) {
    if (!supportedBrands || !supportedBrandsCount) throw MP4Error("Invalid parameters", "MP4File::Make3GPCompliant");
  } else {
    majorBrand = kDefault3GPBrand;
    minorVersion = 1;
    supportedBrands = defaultBrands;
    supportedBrandsCount = 1;
  }

  // The file type box heads a file that is already written: the new one
  // goes over the old one's place and the free space right after it, and
  // must fill it exactly or leave room for a "free" box over the rest.
  // Checked before anything changes.
  MP4Atom* ftyp = m_pRootAtom->FindChildAtom("ftyp");
  if (!ftyp || ftyp->GetEnd() <= ftyp->GetStart())
    throw MP4Error("no file type box in the file to write the brands over", "MP4File::Make3GPCompliant");
  uint32_t index = 0;
  while (m_pRootAtom->GetChildAtom(index) != ftyp) index++;
  const uint64_t start = ftyp->GetStart();
  uint64_t end = ftyp->GetEnd();
  uint32_t absorbed = 0;
  for (uint32_t i = index + 1; i < m_pRootAtom->GetNumberOfChildAtoms(); i++) {
    MP4Atom* next = m_pRootAtom->GetChildAtom(i);
    if (!IsFreeSpace(next) || next->GetStart() != end || next->GetEnd() - start > UINT32_MAX) break;
    end = next->GetEnd();
    absorbed++;
  }
  const uint64_t room = end - start;
  const uint64_t size = 16 + uint64_t(supportedBrandsCount) * 4 + ftyp->GetTrailerSize();
  if (size != room && size + 8 > room)
    throw MP4Error("a file type box of %llu bytes does not fit the %llu bytes of the old one's place",
                   "MP4File::Make3GPCompliant", static_cast<unsigned long long>(size),
                   static_cast<unsigned long long>(room));

  MakeFtypAtom(majorBrand, minorVersion, supportedBrands, supportedBrandsCount);
  const uint64_t pos = GetPosition();
  SetPosition(start);
  ftyp->Write();
  MP4_ASSERT(ftyp->GetEnd() - start == size);
  for (uint32_t i = 0; i < absorbed; i++) m_pRootAtom->DeleteChildAtom(m_pRootAtom->GetChildAtom(index + 1));
  if (size != room) {
    std::unique_ptr<MP4Atom> free(MP4Atom::CreateAtom("free"));
    free->SetFile(this);
    free->SetParentAtom(m_pRootAtom);
    free->SetSize(room - size - 8);
    free->Write();
    m_pRootAtom->InsertChildAtom(free.release(), index + 1);
  }
  SetPosition(pos);

  if (!deleteIodsAtom) return;
  MP4Atom* iods = FindAtom("moov.iods");
  if (!iods) return;
  MP4Atom* moov = FindAtom("moov");
  MP4_ASSERT_AS(moov, "(moovAtom)");
  moov->DeleteChildAtom(iods);
}
