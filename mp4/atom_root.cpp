#include <cstring>
#include <utility>
#include <vector>

#include "atoms.h"

MP4RootAtom::MP4RootAtom() : MP4Atom(nullptr) {
  ExpectChildAtoms({{"moov", true, true},
                    {"ftyp", false, true},
                    {"mdat", false, false},
                    {"free", false, false},
                    {"skip", false, false},
                    {"udta", false, false},
                    {"moof", false, false}});
}

uint32_t MP4RootAtom::GetLastMdatIndex() {
  for (uint32_t i = GetNumberOfChildAtoms(); i > 0; i--)
    if (strcmp(GetChildAtom(i - 1)->GetType(), "mdat") == 0) return i - 1;
  MP4_ASSERT(false);
  return 0;
}

void MP4RootAtom::WriteAtomType(const char* type, bool onlyOne) {
  for (uint32_t i = 0; i < GetNumberOfChildAtoms(); i++) {
    MP4Atom* a = GetChildAtom(i);
    if (strcmp(a->GetType(), type) != 0) continue;
    a->Write();
    if (onlyOne) break;
  }
}

// The root has no header of its own: it writes the file type and opens the
// last media data atom, into which the samples then go.
void MP4RootAtom::BeginWrite(bool) {
  WriteAtomType("ftyp", true);
  GetChildAtom(GetLastMdatIndex())->BeginWrite(m_pFile->Use64Bits("mdat"));
}

void MP4RootAtom::Write() {}

// Closes the media data atom and writes everything after it: in a new file
// the movie atom follows its samples. The movie comes last, whole, made in
// memory (a movie of many samples is many small fields) and written in two
// writes: whole with a header of zeros, then the header. Until then the
// file holds no movie that points at anything, nor one cut short: what
// follows the media data is a box of size 0 and no type, which readers
// skip.
void MP4RootAtom::FinishWrite(bool) {
  const uint32_t mdat = GetLastMdatIndex();
  GetChildAtom(mdat)->FinishWrite(m_pFile->Use64Bits("mdat"));
  const uint64_t at = m_pFile->GetPosition();
  std::vector<std::pair<uint64_t, uint64_t>> places;
  std::vector<uint8_t> bytes = m_pFile->InMemory([&] {
    for (uint32_t i = mdat + 1; i < GetNumberOfChildAtoms(); i++) {
      MP4Atom* a = GetChildAtom(i);
      a->Write();
      places.emplace_back(a->GetStart(), a->GetEnd());
    }
  });
  MP4_ASSERT(bytes.size() <= UINT32_MAX);
  const uint32_t n = static_cast<uint32_t>(bytes.size());
  if (n >= 8) {
    uint8_t header[8];
    memcpy(header, bytes.data(), 8);
    memset(bytes.data(), 0, 8);
    m_pFile->WriteBytes(bytes.data(), n);
    m_pFile->SetPosition(at);
    m_pFile->WriteBytes(header, 8);
    m_pFile->SetPosition(at + n);
  } else {
    m_pFile->WriteBytes(bytes.data(), n);
  }
  for (uint32_t i = mdat + 1; i < GetNumberOfChildAtoms(); i++) {
    GetChildAtom(i)->SetStart(at + places[i - mdat - 1].first);
    GetChildAtom(i)->SetEnd(at + places[i - mdat - 1].second);
  }
}

bool MP4RootAtom::IsNoBox(MP4Atom* child) {
  // An atom never read nor written has no extent yet.
  if (child->GetEnd() != 0 && child->GetEnd() - child->GetStart() < 8) return true;
  for (int i = 0; i < 4; i++) {
    const unsigned char c = static_cast<unsigned char>(child->GetType()[i]);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

bool MP4RootAtom::IsCopiedByOptimize(MP4Atom* child) {
  static const char* const kNotCopied[] = {"ftyp", "moov", "mdat", "free", "skip"};
  for (const char* type : kNotCopied)
    if (!memcmp(child->GetType(), type, 4)) return false;
  return !IsNoBox(child);
}

// The file type and the movie first; then every other box in file order
// (user data, metadata of other tools such as XMP), so that nothing the
// file held is lost; then the media data.
void MP4RootAtom::BeginOptimalWrite() {
  WriteAtomType("ftyp", true);
  WriteAtomType("moov", true);
  for (uint32_t i = 0; i < GetNumberOfChildAtoms(); i++)
    if (IsCopiedByOptimize(GetChildAtom(i))) GetChildAtom(i)->Write();
  GetChildAtom(GetLastMdatIndex())->BeginWrite(m_pFile->Use64Bits("mdat"));
}

// The movie atom written first held the chunk offsets of no sample yet; it
// is written again with the final ones, over the same bytes, in one write
// made in memory.
void MP4RootAtom::FinishOptimalWrite() {
  GetChildAtom(GetLastMdatIndex())->FinishWrite(m_pFile->Use64Bits("mdat"));
  uint32_t i = 0;
  const uint32_t size = GetNumberOfChildAtoms();
  while (i < size && strcmp(GetChildAtom(i)->GetType(), "moov") != 0) i++;
  MP4_ASSERT(i < size);
  MP4Atom* pMoovAtom = GetChildAtom(i);
  MP4_ASSERT_AS(pMoovAtom != nullptr, "(pMoovAtom != __null)");
  const uint64_t start = pMoovAtom->GetStart(), end = pMoovAtom->GetEnd(), pos = m_pFile->GetPosition();
  const std::vector<uint8_t> bytes = m_pFile->InMemory([&] { pMoovAtom->Write(); });
  MP4_ASSERT_AS(bytes.size() == end - start, "(oldSize == newSize)");
  m_pFile->SetPosition(start);
  m_pFile->WriteBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
  m_pFile->SetPosition(pos);
  pMoovAtom->SetStart(start);
  pMoovAtom->SetEnd(end);
}
