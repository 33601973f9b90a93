#include "mp4atom.h"

#include <cstring>
#include <memory>

MP4Atom::MP4Atom(const char* type) {
  SetType(type);
  memset(m_extendedType, 0, sizeof m_extendedType);
}

MP4Atom::~MP4Atom() {
  for (uint32_t i = 0; i < m_pProperties.Size(); i++) delete m_pProperties[i];
  for (uint32_t i = 0; i < m_pChildAtomInfos.Size(); i++) delete m_pChildAtomInfos[i];
  for (uint32_t i = 0; i < m_pChildAtoms.Size(); i++) delete m_pChildAtoms[i];
}

void MP4Atom::SetType(const char* type) {
  memset(m_type, 0, sizeof m_type);
  if (type && *type) strncpy(m_type, type, 4);
}

void MP4Atom::SetExtendedType(const uint8_t* pExtendedType) {
  memcpy(m_extendedType, pExtendedType, sizeof m_extendedType);
}
