#include <cstring>
#include <memory>
#include <vector>

#include "atoms.h"

namespace {

const char kDefault3GPBrand[] = "3gp5";

bool IsFreeSpace(MP4Atom* a) { return !strcmp(a->GetType(), "free") || !strcmp(a->GetType(), "skip"); }

}  // namespace

void MP4File::FindFtypRoom(MP4Atom* ftyp, bool oldMovieFree, uint64_t* pStart, uint64_t* pEnd) {
  uint32_t index = 0;
  while (m_pRootAtom->GetChildAtom(index) != ftyp) index++;
  MP4Atom* moov = oldMovieFree ? m_pRootAtom->FindChildAtom("moov") : nullptr;
  const uint64_t start = ftyp->GetStart();
  uint64_t end = ftyp->GetEnd();
  for (uint32_t i = index + 1; i < m_pRootAtom->GetNumberOfChildAtoms(); i++) {
    MP4Atom* next = m_pRootAtom->GetChildAtom(i);
    if (!(IsFreeSpace(next) || next == moov) || next->GetStart() != end || next->GetEnd() - start > UINT32_MAX) break;
    end = next->GetEnd();
  }
  *pStart = start;
  *pEnd = end;
}

void MP4File::WriteFtypOver(MP4Atom* ftyp, uint64_t start, uint64_t end) {
  // Made in memory first: its place is where the box was read, whatever
  // the file position.
  const std::vector<uint8_t> box = AtomInMemory(ftyp);
  const uint64_t size = box.size();
  const uint64_t room = end - start;
  MP4_ASSERT(size == room || size + 8 <= room);
  const uint64_t pos = GetPosition();
  WriteAt(start, box.data(), static_cast<uint32_t>(size));
  ftyp->SetStart(start);
  ftyp->SetEnd(start + size);
  ftyp->SetSize(size - 8);
  if (size != room) {
    // Only the header: what the rest held is free space either way.
    const uint32_t rest = static_cast<uint32_t>(room - size);
    const uint8_t header[8] = {static_cast<uint8_t>(rest >> 24), static_cast<uint8_t>(rest >> 16),
                               static_cast<uint8_t>(rest >> 8), static_cast<uint8_t>(rest), 'f', 'r', 'e', 'e'};
    WriteAt(start + size, header, 8);
  }
  SetPosition(pos);
}

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
  // goes over the old one's place and the free space right after it (in a
  // modified file also over the old movie when it follows, which is free
  // space once the new movie is in place), and must fill it exactly or
  // leave room for a "free" box over the rest. Checked before anything
  // changes.
  MP4Atom* ftyp = m_pRootAtom->FindChildAtom("ftyp");
  if (!ftyp || ftyp->GetEnd() <= ftyp->GetStart())
    throw MP4Error("no file type box in the file to write the brands over", "MP4File::Make3GPCompliant");
  uint64_t start = 0, end = 0;
  FindFtypRoom(ftyp, m_modifying, &start, &end);
  const uint64_t room = end - start;
  const uint64_t size = 16 + uint64_t(supportedBrandsCount) * 4 + ftyp->GetTrailerSize();
  if (size != room && size + 8 > room)
    throw MP4Error("a file type box of %llu bytes does not fit the %llu bytes of the old one's place",
                   "MP4File::Make3GPCompliant", static_cast<unsigned long long>(size),
                   static_cast<unsigned long long>(room));

  MakeFtypAtom(majorBrand, minorVersion, supportedBrands, supportedBrandsCount);
  if (m_modifying) {
    // Written once the new movie is in place (Close).
    m_rewriteFtyp = true;
  } else {
    WriteFtypOver(ftyp, start, end);
    // The tree follows the file: the free boxes taken in are one box now.
    uint32_t index = 0;
    while (m_pRootAtom->GetChildAtom(index) != ftyp) index++;
    while (index + 1 < m_pRootAtom->GetNumberOfChildAtoms()) {
      MP4Atom* next = m_pRootAtom->GetChildAtom(index + 1);
      if (next->GetStart() >= end || !IsFreeSpace(next)) break;
      m_pRootAtom->DeleteChildAtom(next);
    }
    if (size != room) {
      std::unique_ptr<MP4Atom> free(MP4Atom::CreateAtom("free"));
      free->SetFile(this);
      free->SetParentAtom(m_pRootAtom);
      free->SetStart(start + size);
      free->SetEnd(end);
      free->SetSize(room - size - 8);
      m_pRootAtom->InsertChildAtom(free.release(), index + 1);
    }
  }

  if (!deleteIodsAtom) return;
  MP4Atom* iods = FindAtom("moov.iods");
  if (!iods) return;
  MP4Atom* moov = FindAtom("moov");
  MP4_ASSERT_AS(moov, "(moovAtom)");
  moov->DeleteChildAtom(iods);
}
