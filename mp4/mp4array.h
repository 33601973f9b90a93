// Allocation wrappers that throw instead of returning NULL, and the one shape
// of growable array that holds every list of the MP4 library.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "mp4util.h"

// Size 0 gives NULL without allocating; any other failure throws the errno
// form of MP4Error.
void* MP4Malloc(uint64_t size);
void* MP4Calloc(uint64_t size);
// NULL with 0 gives NULL; a pointer with 0 is released and NULL returned.
void* MP4Realloc(void* p, uint32_t newSize);
// The interface's release function (mp4.h) too: one C function.
extern "C" void MP4Free(void* p);

// count <= maximum; elements is NULL until something was stored. The array
// never owns what its pointer elements point to: the class holding it
// deletes them. Byte sizes are kept below 2^32; a request beyond that, like
// any failed allocation, throws and leaves the array as it was. Elements
// that growth or Resize adds are zero until written.
template <typename T>
class MP4Array {
  static_assert(std::is_trivially_copyable<T>::value, "elements are moved with memmove");

 public:
  MP4Array() = default;
  MP4Array(const MP4Array&) = delete;
  MP4Array& operator=(const MP4Array&) = delete;
  ~MP4Array() { MP4Free(m_elements); }

  uint32_t Size() const { return m_numElements; }
  bool ValidIndex(uint32_t index) const { return m_numElements && index <= m_numElements - 1; }

  T& operator[](uint32_t index) {
    if (!ValidIndex(index))
      throw MP4Error(ERANGE, "index %u of %u", "MP4Array::[]", index, m_numElements);
    return m_elements[index];
  }
  const T& operator[](uint32_t index) const {
    return const_cast<MP4Array*>(this)->operator[](index);
  }

  void Add(T element) { Insert(element, m_numElements); }

  void Insert(T element, uint32_t index) {
    if (index > m_numElements) throw MP4Error(ERANGE, "MP4Array::Insert");
    if (m_numElements == m_maxNumElements) {
      const uint64_t newMax = uint64_t(m_numElements ? m_numElements : 1) * 2;
      Reallocate(newMax);
      m_maxNumElements = static_cast<uint32_t>(newMax);
    }
    memmove(m_elements + index + 1, m_elements + index,
            (m_numElements - index) * sizeof(T));
    m_elements[index] = element;
    m_numElements++;
  }

  void Delete(uint32_t index) {
    if (!ValidIndex(index)) throw MP4Error(ERANGE, "MP4Array::Delete");
    m_numElements--;
    if (index < m_numElements)
      memmove(m_elements + index, m_elements + index + 1, (m_numElements - index) * sizeof(T));
  }

  void Resize(uint32_t newSize) {
    Reallocate(newSize);
    m_numElements = m_maxNumElements = newSize;
  }

  uint32_t Maximum() const { return m_maxNumElements; }

 private:
  // Moves the storage to newMax elements; the tail past the current count
  // is zeroed. Throws before changing anything when it cannot.
  void Reallocate(uint64_t newMax) {
    const uint64_t bytes = newMax * sizeof(T);
    if (bytes > UINT32_MAX) throw MP4Error(ENOMEM);
    T* p = static_cast<T*>(MP4Realloc(m_elements, static_cast<uint32_t>(bytes)));
    m_elements = p;
    if (newMax > m_numElements)
      memset(static_cast<void*>(p + m_numElements), 0, (newMax - m_numElements) * sizeof(T));
  }

  uint32_t m_numElements = 0;
  uint32_t m_maxNumElements = 0;
  T* m_elements = nullptr;
};

// Inserts an object that the array's holder owns: on failure the object is
// deleted rather than lost.
template <typename T>
void MP4InsertOwned(MP4Array<T*>& array, T* p, uint32_t index) {
  std::unique_ptr<T> owned(p);
  array.Insert(p, index);
  owned.release();
}
template <typename T>
void MP4AddOwned(MP4Array<T*>& array, T* p) {
  MP4InsertOwned(array, p, array.Size());
}

class MP4Property;
class MP4Descriptor;
class MP4Atom;
class MP4Track;
class MP4RtpPacket;

typedef MP4Array<uint8_t> MP4Integer8Array;
typedef MP4Array<uint16_t> MP4Integer16Array;
typedef MP4Array<uint32_t> MP4Integer32Array;
typedef MP4Array<uint64_t> MP4Integer64Array;
typedef MP4Array<float> MP4Float32Array;
typedef MP4Array<char*> MP4StringArray;
typedef MP4Array<uint8_t*> MP4BytesArray;
typedef MP4Array<MP4Property*> MP4PropertyArray;
typedef MP4Array<MP4Descriptor*> MP4DescriptorArray;
typedef MP4Array<MP4Atom*> MP4AtomArray;
typedef MP4Array<MP4Track*> MP4TrackArray;
typedef MP4Array<MP4RtpPacket*> MP4RtpPacketArray;
