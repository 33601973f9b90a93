#include "mp4file.h"

#include <cerrno>
#include <cstring>

#include "mp4array.h"
#include "mp4atom.h"

MP4File::MP4File(uint32_t verbosity) : m_verbosity(verbosity) {}

MP4File::~MP4File() {
  MP4Free(m_fileName);
  if (m_pFile) {
    m_virtual_IO->Close(m_pFile);
    m_pFile = nullptr;
  }
  delete m_pRootAtom;
  if (m_memoryBufferOwned) MP4Free(m_memoryBuffer);
}

void MP4File::Attach(const char* fileName, char mode, void* handle, Virtual_IO* virtualIO) {
  if (fileName) {
    char* name = static_cast<char*>(MP4Malloc(strlen(fileName) + 1));
    memcpy(name, fileName, strlen(fileName) + 1);
    MP4Free(m_fileName);
    m_fileName = name;
  }
  m_mode = mode;
  if (!handle) return;
  MP4_ASSERT_AS(virtualIO, "(m_virtual_IO)");
  m_pFile = handle;
  m_virtual_IO = virtualIO;
  m_orgFileSize = m_fileSize = mode == 'r' ? virtualIO->GetFileLength(handle) : 0;
}

void MP4File::Open(const char* mode) {
  MP4_ASSERT_AS(m_pFile == nullptr, "(m_pFile == __null)");
  MP4_ASSERT(m_fileName);
  FILE* f = fopen(m_fileName, mode);
  if (!f) throw MP4Error(errno, "failed", "MP4Open");
  m_pFile = f;
  m_virtual_IO = &FILE_virtual_IO;
  m_orgFileSize = m_fileSize = m_mode == 'r' ? FILE_virtual_IO.GetFileLength(f) : 0;
}

void MP4File::ReadFromFile() {
  SetPosition(0);
  MP4_ASSERT_AS(m_pRootAtom == nullptr, "(m_pRootAtom == __null)");
  m_pRootAtom = MP4Atom::CreateAtom(nullptr);
  m_pRootAtom->SetFile(this);
  m_pRootAtom->SetStart(0);
  m_pRootAtom->SetEnd(GetSize());
  m_pRootAtom->SetSize(GetSize());
  m_pRootAtom->Read();
}

namespace {

bool IsDataAtom(const char* type) { return !strcmp(type, "mdat") || !strcmp(type, "stbl"); }
bool IsTimeAtom(const char* type) {
  return !strcmp(type, "mvhd") || !strcmp(type, "tkhd") || !strcmp(type, "mdhd");
}

}  // namespace

bool MP4File::Use64Bits(const char* atomType) const {
  if (IsDataAtom(atomType)) return m_createFlags & 1;
  if (IsTimeAtom(atomType)) return m_createFlags & 2;
  return false;
}

void MP4File::Check64BitStatus(const char* atomType) {
  if (IsDataAtom(atomType)) m_createFlags |= 1;
  else if (IsTimeAtom(atomType)) m_createFlags |= 2;
}
