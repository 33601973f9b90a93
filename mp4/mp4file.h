// The open MP4 file, the object behind every handle of the function
// interface: its I/O handle and byte primitives, its verbosity and mode, the
// atom tree read from it, the tracks built from the tree, access to any
// field by dotted path, and the questions asked about tracks. Every
// operation reports failure by throwing MP4Error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mp4array.h"
#include "mp4util.h"
#include "virtual_io.h"

class MP4Atom;
class MP4DescriptorProperty;
class MP4IntegerProperty;
struct MP4IsmaCrypParams;
class MP4Property;
class MP4Track;
struct MP4ChapterStruct;

class MP4File {
 public:
  explicit MP4File(uint32_t verbosity = 0);
  // Closes the handle, deletes the atom tree and the tracks, frees a memory
  // buffer still held: whatever a failed open left behind.
  ~MP4File();
  MP4File(const MP4File&) = delete;
  MP4File& operator=(const MP4File&) = delete;

  // ---- opening and closing

  // Opens the file read-only through stdio, reads the whole atom tree,
  // builds the tracks and caches the movie header's time fields.
  void Read(const char* fileName);
  // The same through the caller's handle and table; the name is only a
  // name (and the folder that data references are resolved in).
  void ReadEx(const char* fileName, void* handle, Virtual_IO* virtualIO);
  // A new file: its movie header, and by choice a file-type box (NULL
  // brand: "mp42" with "mp42" and "isom") and an initial object
  // descriptor; the media data atom is open for samples. flags: bit 0
  // 64-bit media data and chunk offsets, bit 1 64-bit times.
  void Create(const char* fileName, uint32_t flags, int addFtyp, int addIods, const char* majorBrand,
              uint32_t minorVersion, char** compatibleBrands, uint32_t compatibleBrandsCount);
  // Opens an existing file to add to it. Everything it holds stays where
  // and as it is until Close: samples go into a new media data atom after
  // the file's last box, and Close writes the new movie where it hides
  // nothing (free space that it fits, or the end of the file) and only
  // then turns the old movie into free space. Bytes at the end that are
  // no box are written over; a last box sized "to the end of the file"
  // (or past it) first gets its real size, so that nothing appended is
  // read as part of it. Of several movie atoms the first is the movie,
  // as other readers take it; the later ones are free space (a close
  // stopped before its last write leaves two). A failed write throws and
  // changes nothing that was there: a sample whose write fails is not
  // taken, the ones before it stay buffered, and a failed close puts the
  // file back. Close fails, writing nothing, when the file no longer
  // holds the samples the new movie points at (cut by another process).
  // False, the file left read, without a movie. Throws with nothing
  // written for a file cut short (samples past its end) and for a last box
  // whose header cannot hold its size. A handle (and its table) stands in
  // for the file when given; without one the file is opened through
  // FILE_update_virtual_IO.
  bool Modify(const char* fileName, void* handle = nullptr, Virtual_IO* virtualIO = nullptr);
  // Called before a chunk goes to the file: a modified file's new media
  // data atom begins with the first chunk, so that a file given no sample
  // gets no empty one. Throws when the file was cut under the samples.
  void BeginMediaData();
  // Rewrites the source with the file type and movie first, then the
  // chunks of all tracks interleaved by time. No target (or the source
  // itself): a temporary file in the source's folder replaces the source.
  void Optimize(const char* sourceName, const char* targetName);
  // The rewrite itself, with the source read (mode 'r') from its handle and
  // the target open as the file's handle: both handles stay open.
  void WriteOptimized(void* sourceHandle, Virtual_IO* sourceIO);
  // In a writing mode, the tracks' and the movie's last fields, then the
  // handle closes; nothing is written to a file opened for reading. A
  // modified file whose new movie could not be written whole is put back
  // as it was, and the error thrown.
  void Close();
  // The tracks' chunk buffers and configuration fields, then the media
  // data closed and the atoms after it written (a new file), or the new
  // movie written and put in the old one's place (a modified file).
  void FinishWrite();
  // A new empty file in the folder of m_fileName, made for Optimize.
  const char* TempFileName();
  // Throws when the file holds movie fragments (a "moof" at the top, or an
  // "mvex" in a movie that lists no sample): Modify and Optimize refuse
  // them before writing.
  void RefuseFragments(const char* where);
  // One track per "trak" under "moov"; a trak whose track cannot be built
  // keeps its id in m_trakIds and is left out of m_pTracks.
  void GenerateTracks();
  void CacheProperties();
  void Dump(FILE* pDumpFile, bool dumpImplicits);
  // "operation not permitted in read mode" in mode 'r'.
  void ProtectWriteOperation(const char* where);
  // Moves a file over another with one rename(), which replaces the target
  // atomically: a failure leaves both as they were.
  static void Rename(const char* oldFileName, const char* newFileName);


  // Opens m_fileName with the stdio mode text and installs FILE_virtual_IO;
  // in mode 'r' the file size is taken from the table.
  void Open(const char* mode);
  // The common step of every open: copies the name, sets the mode and, when
  // a handle is given, takes it and its table (and, in mode 'r', its
  // length). A NULL handle leaves the file to Open.
  void Attach(const char* fileName, char mode, void* handle = nullptr,
              Virtual_IO* virtualIO = nullptr);
  // Reads the whole atom tree from position 0 under a new root atom, which
  // spans the file.
  void ReadFromFile();
  MP4Atom* GetRootAtom() const { return m_pRootAtom; }

  const char* GetFilename() const { return m_fileName; }
  char GetMode() const { return m_mode; }
  uint32_t GetVerbosity() const { return m_verbosity; }
  void SetVerbosity(uint32_t verbosity) { m_verbosity = verbosity; }

  // 64-bit data atoms ("mdat", "stbl": bit 0) and 64-bit times ("mvhd",
  // "tkhd", "mdhd": bit 1) of m_createFlags.
  bool Use64Bits(const char* atomType) const;
  void Check64BitStatus(const char* atomType);
  uint32_t GetCreateFlags() const { return m_createFlags; }
  // Set once the file has been made ISMA-compliant.
  bool GetUseIsma() const { return m_useIsma; }
  void SetUseIsma(bool useIsma) { m_useIsma = useIsma; }

  // ---- byte primitives; a NULL stream selects the current source (the
  // memory buffer while it is on, else the handle through its table).

  uint64_t GetPosition(FILE* pFile = nullptr);
  void SetPosition(uint64_t pos, FILE* pFile = nullptr);
  uint64_t GetSize();
  // The most bytes the file has held: its size when opened, or now.
  uint64_t GetLargestSize() {
    const uint64_t now = GetSize();
    return now > m_orgFileSize ? now : m_orgFileSize;
  }
  // Bytes between the position and the end of the current source (memory
  // buffer or file size); what a length read from the file is checked
  // against before it sizes an allocation.
  uint64_t GetRemainingBytes();

  void ReadBytes(uint8_t* pBytes, uint32_t numBytes, FILE* pFile = nullptr);
  void PeekBytes(uint8_t* pBytes, uint32_t numBytes, FILE* pFile = nullptr);
  void WriteBytes(const uint8_t* pBytes, uint32_t numBytes, FILE* pFile = nullptr);
  // count zero bytes: a value without a buffer written at its size.
  void WriteZeros(uint64_t count);

  uint8_t ReadUInt8();
  uint16_t ReadUInt16();
  uint32_t ReadUInt24();
  uint32_t ReadUInt32();
  uint64_t ReadUInt64();
  uint64_t ReadUInt(uint8_t size);
  void WriteUInt8(uint8_t value);
  void WriteUInt16(uint16_t value);
  void WriteUInt24(uint32_t value);
  void WriteUInt32(uint32_t value);
  void WriteUInt64(uint64_t value);

  float ReadFixed16();
  void WriteFixed16(float value);
  float ReadFixed32();
  void WriteFixed32(float value);
  float ReadFloat();
  void WriteFloat(float value);

  // Results are malloc'ed and belong to the caller. ReadString stops at
  // maxBytes without a terminator with "atom is too small": the caller
  // passes the bytes left in the atom that holds the string.
  char* ReadString(uint64_t maxBytes = UINT64_MAX);
  void WriteString(const char* string);
  char* ReadCountedString(uint8_t charSize = 1, bool allowExpandedCount = false);
  void WriteCountedString(const char* string, uint8_t charSize = 1,
                          bool allowExpandedCount = false);

  uint64_t ReadBits(uint8_t numBits);
  void FlushReadBits();
  void WriteBits(uint64_t bits, uint8_t numBits);
  void PadWriteBits(uint8_t pad = 0);
  void FlushWriteBits();

  uint32_t ReadMpegLength();
  void WriteMpegLength(uint32_t length, bool compact = false);

  bool IsMemoryBufferEnabled() const { return m_memoryBuffer != nullptr; }
  // What write writes, made in memory rather than in the file: a tree of
  // many small fields then goes to the file in one write. Positions during
  // write count from the start of the bytes made.
  std::vector<uint8_t> InMemory(const std::function<void()>& write);
  void EnableMemoryBuffer(uint8_t* pBytes = nullptr, uint64_t numBytes = 0);
  void DisableMemoryBuffer(uint8_t** ppBytes = nullptr, uint64_t* pNumBytes = nullptr);

  // ---- atoms and fields by dotted path from the root ("moov.mvhd.timeScale")

  // NULL or "": the root atom.
  MP4Atom* FindAtom(const char* name);
  // False when nothing matches; the index is that of a named table row.
  bool FindProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);
  // "no such property" or "type mismatch" unless the path finds a field of
  // that kind.
  void FindIntegerProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);
  void FindFloatProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);
  void FindStringProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);
  void FindBytesProperty(const char* name, MP4Property** ppProperty, uint32_t* pIndex = nullptr);

  uint64_t GetIntegerProperty(const char* name);
  void SetIntegerProperty(const char* name, uint64_t value);
  float GetFloatProperty(const char* name);
  void SetFloatProperty(const char* name, float value);
  // The stored text itself, owned by the property.
  const char* GetStringProperty(const char* name);
  void SetStringProperty(const char* name, const char* value);
  // The text as the function interface hands it out: a copy kept until the
  // file is destroyed (KeepText), which no later set of the field or
  // removal of its atom frees under the caller. Text of 16-bit characters
  // is copied up to its zero character.
  const char* GetKeptStringProperty(const char* name);
  const char* GetKeptTrackStringProperty(uint32_t trackId, const char* name);
  // A copy of size bytes of text followed by three zero bytes (a zero
  // character of either width at either alignment, as fields end), kept
  // until the file is destroyed; texts of equal bytes share one copy, so
  // asking again for an unchanged text keeps nothing more. NULL for NULL.
  // Without a size: an 8-bit text up to its NUL.
  const char* KeepText(const char* text, size_t size);
  const char* KeepText(const char* text);
  // A malloc'ed copy (NULL for an empty value) that the caller frees.
  void GetBytesProperty(const char* name, uint8_t** ppValue, uint32_t* pValueSize);
  void SetBytesProperty(const char* name, const uint8_t* pValue, uint32_t valueSize);

  // A new atom of the type from the factory, generated, at that place
  // among the parent's children (appended by AddChildAtom).
  MP4Atom* InsertChildAtom(MP4Atom* pParentAtom, const char* childName, uint32_t index);
  MP4Atom* InsertChildAtom(const char* parentName, const char* childName, uint32_t index);
  MP4Atom* AddChildAtom(MP4Atom* pParentAtom, const char* childName);
  MP4Atom* AddChildAtom(const char* parentName, const char* childName);
  // Each atom of the dotted path below the ancestor, found or added; the
  // last one.
  MP4Atom* AddDescendantAtoms(MP4Atom* pAncestorAtom, const char* descendantNames);
  MP4Atom* AddDescendantAtoms(const char* ancestorName, const char* descendantNames);

  // ---- paths relative to a track's "trak" atom

  // The place of the trak atom among moov's traks.
  uint16_t FindTrakAtomIndex(uint32_t trackId);
  // "moov.trak[n]" or "moov.trak[n].name", valid until the next call.
  const char* MakeTrackName(uint32_t trackId, const char* name);
  // "moov.trak[n].edts.elst.entries[editId - 1].name", likewise.
  const char* MakeTrackEditName(uint32_t trackId, uint32_t editId, const char* name);
  MP4Atom* FindTrackAtom(uint32_t trackId, const char* name);
  uint64_t GetTrackIntegerProperty(uint32_t trackId, const char* name);
  void SetTrackIntegerProperty(uint32_t trackId, const char* name, int64_t value);
  float GetTrackFloatProperty(uint32_t trackId, const char* name);
  void SetTrackFloatProperty(uint32_t trackId, const char* name, float value);
  const char* GetTrackStringProperty(uint32_t trackId, const char* name);
  void SetTrackStringProperty(uint32_t trackId, const char* name, const char* value);
  void GetTrackBytesProperty(uint32_t trackId, const char* name, uint8_t** ppValue, uint32_t* pValueSize);
  void SetTrackBytesProperty(uint32_t trackId, const char* name, const uint8_t* pValue, uint32_t valueSize);

  // ---- fields on fixed paths

  // The movie header's duration and time scale (cached properties).
  uint64_t GetDuration();
  void SetDuration(uint64_t value);
  // Only ever lengthens the movie.
  void UpdateDuration(uint64_t duration);
  uint32_t GetTimeScale();
  void SetTimeScale(uint32_t value);

  // The initial object descriptor's profile levels.
  uint8_t GetODProfileLevel();
  void SetODProfileLevel(uint8_t value);
  uint8_t GetSceneProfileLevel();
  void SetSceneProfileLevel(uint8_t value);
  uint8_t GetVideoProfileLevel();
  void SetVideoProfileLevel(uint8_t value);
  uint8_t GetAudioProfileLevel();
  void SetAudioProfileLevel(uint8_t value);
  uint8_t GetGraphicsProfileLevel();
  void SetGraphicsProfileLevel(uint8_t value);

  // The session description text of "moov.udta.hnti.rtp ". The text
  // returned, as that of GetHintTrackSdp, is a kept copy (KeepText),
  // whatever is set or appended later.
  const char* GetSessionSdp();
  void SetSessionSdp(const char* sdpString);
  void AppendSessionSdp(const char* sdpString);

  uint16_t GetAmrModeSet(uint32_t trackId);
  void SetAmrVendor(uint32_t trackId, uint32_t vendor);
  void SetAmrDecoderVersion(uint32_t trackId, uint8_t decoderVersion);
  void SetAmrModeSet(uint32_t trackId, uint16_t modeSet);
  void SetH263Vendor(uint32_t trackId, uint32_t vendor);
  void SetH263DecoderVersion(uint32_t trackId, uint8_t decoderVersion);
  void SetH263Bitrates(uint32_t trackId, uint32_t avgBitrate, uint32_t maxBitrate);

  // The original format of an encrypted entry as four characters and a
  // NUL; false for a buffer under 5 bytes.
  bool GetTrackMediaDataOriginalFormat(uint32_t trackId, char* originalFormat, uint32_t buflen);

  uint32_t GetTrackNumberOfEdits(uint32_t trackId);
  uint64_t GetTrackEditMediaStart(uint32_t trackId, uint32_t editId);
  void SetTrackEditMediaStart(uint32_t trackId, uint32_t editId, uint64_t startTime);
  uint64_t GetTrackEditDuration(uint32_t trackId, uint32_t editId);
  void SetTrackEditDuration(uint32_t trackId, uint32_t editId, uint64_t duration);
  // A dwell edit is one of media rate 0.
  bool GetTrackEditDwell(uint32_t trackId, uint32_t editId);
  void SetTrackEditDwell(uint32_t trackId, uint32_t editId, bool dwell);

  // ---- writing tracks (mode 'w'); every adder returns the new track id,
  // and one that fails leaves no part of the track behind

  uint32_t AllocTrackId();
  // A track of the handler type with its headers and empty tables; time
  // scale 0 stands for 1000.
  uint32_t AddTrack(const char* type, uint32_t timeScale = 1000);
  uint32_t AddSystemsTrack(const char* type);
  uint32_t AddODTrack();
  uint32_t AddSceneTrack();
  uint32_t AddAudioTrack(uint32_t timeScale, uint64_t sampleDuration, uint8_t audioType);
  uint32_t AddAC3AudioTrack(uint32_t timeScale, uint64_t sampleDuration, uint8_t audioType);
  uint32_t AddAmrAudioTrack(uint32_t timeScale, uint16_t modeSet, uint8_t modeChangePeriod, uint8_t framesPerSample,
                            bool isAmrWB);
  uint32_t AddEncAudioTrack(uint32_t timeScale, uint64_t sampleDuration, uint8_t audioType, uint32_t schemeType,
                            uint16_t schemeVersion, uint8_t keyIndicatorLength, uint8_t ivLength,
                            bool selectiveEncryption, const char* kmsUri, bool useIsmaCryp);
  uint32_t AddVideoTrackDefault(uint32_t timeScale, uint64_t sampleDuration, uint16_t width, uint16_t height,
                                const char* entryType);
  uint32_t AddMP4VideoTrack(uint32_t timeScale, uint64_t sampleDuration, uint16_t width, uint16_t height,
                            uint8_t videoType);
  uint32_t AddH264VideoTrack(uint32_t timeScale, uint64_t sampleDuration, uint16_t width, uint16_t height,
                             uint8_t AVCProfileIndication, uint8_t profile_compat, uint8_t AVCLevelIndication,
                             uint8_t sampleLenFieldSizeMinusOne);
  uint32_t AddH263VideoTrack(uint32_t timeScale, uint64_t sampleDuration, uint16_t width, uint16_t height,
                             uint8_t h263Level, uint8_t h263Profile, uint32_t avgBitrate, uint32_t maxBitrate);
  uint32_t AddEncVideoTrack(uint32_t timeScale, uint64_t sampleDuration, uint16_t width, uint16_t height,
                            uint8_t videoType, const MP4IsmaCrypParams* cryptParams, const char* dataFormat);
  // The "avcC" of the new entry is a copy of sourceAvcC.
  uint32_t AddEncH264VideoTrack(uint32_t timeScale, uint64_t sampleDuration, uint16_t width, uint16_t height,
                                MP4Atom* sourceAvcC, const MP4IsmaCrypParams* cryptParams);
  uint32_t AddCntlTrackDefault(uint32_t timeScale, uint64_t sampleDuration, const char* entryType);
  uint32_t AddHrefTrack(uint32_t timeScale, uint64_t sampleDuration, const char* baseUrl);
  uint32_t AddTextTrack(uint32_t refTrackId);
  // timeScale 0: the reference track's. The reference track names the new
  // one in its "tref.chap".
  uint32_t AddChapterTextTrack(uint32_t refTrackId, uint32_t timeScale = 0);
  // The track leaves the tree, the initial object descriptor and the OD
  // track's references; its bytes stay in the file.
  void DeleteTrack(uint32_t trackId);

  void AddTrackToIod(uint32_t trackId);
  void RemoveTrackFromIod(uint32_t trackId, bool shallHaveIods = true);
  bool ShallHaveIods();
  void AddTrackToOd(uint32_t trackId);
  void RemoveTrackFromOd(uint32_t trackId);
  // The count and track-id column of a reference atom ("moov.trak[0].tref.mpod").
  void GetTrackReferenceProperties(const char* trefName, MP4IntegerProperty** ppCountProperty,
                                   MP4IntegerProperty** ppTrackIdProperty);
  void AddTrackReference(const char* trefName, uint32_t refTrackId);
  // Every row of that track id goes.
  void RemoveTrackReference(const char* trefName, uint32_t refTrackId);
  // A data reference: NULL or "" for this file, else the location.
  void AddDataReference(uint32_t trackId, const char* url);
  // Appended to the "avcC" of an "avc1" or "encv" entry unless an equal set
  // is there; another entry is left alone.
  void AddH264SequenceParameterSet(uint32_t trackId, const uint8_t* pSequence, uint16_t sequenceLen);
  void AddH264PictureParameterSet(uint32_t trackId, const uint8_t* pPict, uint16_t pictLen);
  void SetTrackESConfiguration(uint32_t trackId, const uint8_t* pConfig, uint32_t configSize);
  void SetTrackTimeScale(uint32_t trackId, uint32_t value);
  // The file type box, made when missing; majorBrand NULL leaves it as it
  // is, else it gets these brands.
  void MakeFtypAtom(const char* majorBrand, uint32_t minorVersion, char** compatibleBrands,
                    uint32_t compatibleBrandsCount);

  // ---- ISMA and 3GP compliance

  // The file type box gets the brands (none given: "3gp5", minor version 1,
  // "3gp5" alone) and "moov.iods" goes when asked. A file type box already
  // in the file is written again over its place, the rest of that place
  // (the free space right after it, and in a modified file the old movie
  // when it follows) left as a "free" box: at once in a new file, in a
  // modified one when Close has put the new movie in place. When the new
  // box does not fit there, nothing changes and it throws.
  void Make3GPCompliant(const char* fileName, const char* majorBrand, uint32_t minorVersion,
                        char** supportedBrands, uint32_t supportedBrandsCount, bool deleteIodsAtom);
  // Object descriptor and scene tracks with one access unit each, the
  // profile levels, and the initial object descriptor in the session
  // description. False, with nothing changed, when the first audio track is
  // not MPEG-4 audio ("mp4a", "enca"), the first video track not MPEG-4
  // visual ("mp4v", "encv"), or there is neither; true at once when done
  // before.
  bool MakeIsmaCompliant(bool addIsmaComplianceSdp);
  // Serialised descriptors and commands in new malloc'ed buffers (outputs
  // NULL and 0 first). A track id of 0 means no such track.
  void CreateIsmaIodFromFile(uint32_t odTrackId, uint32_t sceneTrackId, uint32_t audioTrackId,
                             uint32_t videoTrackId, uint8_t** ppBytes, uint64_t* pNumBytes);
  // A profile of 0xFF means no such medium.
  void CreateIsmaIodFromParams(uint8_t videoProfile, uint32_t videoBitrate, const uint8_t* videoConfig,
                               uint32_t videoConfigLength, uint8_t audioProfile, uint32_t audioBitrate,
                               const uint8_t* audioConfig, uint32_t audioConfigLength, uint8_t** ppBytes,
                               uint64_t* pNumBytes);
  // A generated ES descriptor added to the list, its fields set where they
  // exist; url NULL leaves the URL flag clear.
  void CreateESD(MP4DescriptorProperty* pEsProperty, uint32_t esid, uint8_t objectType, uint8_t streamType,
                 uint32_t bufferSize, uint32_t bitrate, const uint8_t* pConfig, uint32_t configLength,
                 const char* url);
  // The OD update of the object descriptor track: ES id references into
  // its "tref.mpod".
  void CreateIsmaODUpdateCommandFromFileForFile(uint32_t odTrackId, uint32_t audioTrackId, uint32_t videoTrackId,
                                                uint8_t** ppBytes, uint64_t* pNumBytes);
  // The OD update carried in the session: the tracks' own ES descriptors,
  // their ids and SL settings as a stream needs them for the write only.
  void CreateIsmaODUpdateCommandFromFileForStream(uint32_t audioTrackId, uint32_t videoTrackId, uint8_t** ppBytes,
                                                  uint64_t* pNumBytes);
  // The lists are lent for the write and stay the caller's.
  void CreateIsmaODUpdateCommandForStream(MP4DescriptorProperty* pAudioEsd, MP4DescriptorProperty* pVideoEsd,
                                          uint8_t** ppBytes, uint64_t* pNumBytes);
  // The scene description access unit for the media present; NULL and 0
  // for neither.
  void CreateIsmaSceneCommand(bool hasAudio, bool hasVideo, uint8_t** ppBytes, uint64_t* pNumBytes);

  void WriteSample(uint32_t trackId, const uint8_t* pBytes, uint32_t numBytes, uint64_t duration,
                   uint64_t renderingOffset, bool isSyncSample);
  void SetSampleRenderingOffset(uint32_t trackId, uint32_t sampleId, uint64_t renderingOffset);
  uint32_t AddTrackEdit(uint32_t trackId, uint32_t editId);
  void DeleteTrackEdit(uint32_t trackId, uint32_t editId);
  uint64_t GetTrackEditTotalDuration(uint32_t trackId, uint32_t editId);
  uint64_t GetTrackEditStart(uint32_t trackId, uint32_t editId);
  uint32_t GetSampleIdFromEditTime(uint32_t trackId, uint64_t when, uint64_t* pStartTime, uint64_t* pDuration);

  // ---- track queries; a track id that no track has throws "Track id %d
  // doesn't exist"

  uint16_t FindTrackIndex(uint32_t trackId);
  MP4Track* GetTrack(uint32_t trackId);
  // A NULL type: every track. Otherwise the tracks of the normalised type;
  // for video and sound with a sub-type, only those whose ES object type is
  // the sub-type (a track without one does not match).
  uint32_t GetNumberOfTracks(const char* type = nullptr, uint8_t subType = 0);
  uint32_t FindTrackId(uint16_t trackIndex, const char* type = nullptr, uint8_t subType = 0);
  // The 1-based row of the referenced track in a reference atom's table
  // (e.g. "moov.trak[0].tref.mpod"), 0 when it is not there.
  uint32_t FindTrackReference(const char* trefName, uint32_t refTrackId);

  const char* GetTrackType(uint32_t trackId);
  // The type of the track's first sample entry ("avc1", "mp4a", ...).
  const char* GetTrackMediaDataName(uint32_t trackId);
  uint8_t GetTrackEsdsObjectTypeId(uint32_t trackId);
  void GetTrackESConfiguration(uint32_t trackId, uint8_t** ppConfig, uint32_t* pConfigSize);
  uint8_t GetTrackAudioMpeg4Type(uint32_t trackId);
  void GetTrackVideoMetadata(uint32_t trackId, uint8_t** ppConfig, uint32_t* pConfigSize);
  int GetTrackAudioChannels(uint32_t trackId);
  bool IsIsmaCrypMediaTrack(uint32_t trackId);
  // Malloc'ed arrays of malloc'ed parameter sets and of their sizes, one
  // entry longer than the sets, ending in NULL and 0; all four NULL for an
  // entry other than "avc1" or "encv" or without "avcC".
  void GetTrackH264SeqPictHeaders(uint32_t trackId, uint8_t*** pppSeqHeader, uint32_t** ppSeqHeaderSize,
                                  uint8_t*** pppPictHeader, uint32_t** ppPictHeaderSize);

  uint64_t GetTrackDuration(uint32_t trackId);
  uint32_t GetTrackTimeScale(uint32_t trackId);
  uint64_t GetTrackFixedSampleDuration(uint32_t trackId);
  double GetTrackVideoFrameRate(uint32_t trackId);
  uint64_t ConvertFromMovieDuration(uint64_t duration, uint32_t timeScale);
  uint64_t ConvertFromTrackTimestamp(uint32_t trackId, uint64_t timeStamp, uint32_t timeScale);
  uint64_t ConvertToTrackTimestamp(uint32_t trackId, uint64_t timeStamp, uint32_t timeScale);
  uint64_t ConvertFromTrackDuration(uint32_t trackId, uint64_t duration, uint32_t timeScale);
  uint64_t ConvertToTrackDuration(uint32_t trackId, uint64_t duration, uint32_t timeScale);

  // Handed on to the track.
  uint32_t GetTrackNumberOfSamples(uint32_t trackId);
  uint32_t GetSampleSize(uint32_t trackId, uint32_t sampleId);
  uint32_t GetTrackMaxSampleSize(uint32_t trackId);
  uint32_t GetSampleIdFromTime(uint32_t trackId, uint64_t when, bool wantSyncSample);
  uint64_t GetSampleTime(uint32_t trackId, uint32_t sampleId);
  uint64_t GetSampleDuration(uint32_t trackId, uint32_t sampleId);
  uint64_t GetSampleRenderingOffset(uint32_t trackId, uint32_t sampleId);
  bool GetSampleSync(uint32_t trackId, uint32_t sampleId);
  void ReadSample(uint32_t trackId, uint32_t sampleId, uint8_t** ppBytes, uint32_t* pNumBytes,
                  uint64_t* pStartTime = nullptr, uint64_t* pDuration = nullptr,
                  uint64_t* pRenderingOffset = nullptr, bool* pIsSyncSample = nullptr);

  // ---- hint tracks; the hint-track operations throw "track is not a hint
  // track" for a track of another type

  // A hint track for packets of the reference track: its time scale, its
  // "tref.hint" naming the reference, an empty session description and
  // the statistics boxes.
  uint32_t AddHintTrack(uint32_t refTrackId);
  const char* GetHintTrackSdp(uint32_t hintTrackId);
  void SetHintTrackSdp(uint32_t hintTrackId, const char* sdpString);
  void AppendHintTrackSdp(uint32_t hintTrackId, const char* sdpFragment);
  void GetHintTrackRtpPayload(uint32_t hintTrackId, char** ppPayloadName, uint8_t* pPayloadNumber,
                              uint16_t* pMaxPayloadSize, char** ppEncodingParams);
  // *pPayloadNumber 255 (or no pointer): a dynamic number is chosen, and
  // returned through the pointer; 128 to 254 are no RTP payload types.
  void SetHintTrackRtpPayload(uint32_t hintTrackId, const char* payloadName, uint8_t* pPayloadNumber,
                              uint16_t maxPayloadSize, const char* encodingParams, bool includeRtpMap,
                              bool includeMpeg4Esid);
  uint32_t GetHintTrackReferenceTrackId(uint32_t hintTrackId);
  void ReadRtpHint(uint32_t hintTrackId, uint32_t hintSampleId, uint16_t* pNumPackets);
  uint16_t GetRtpHintNumberOfPackets(uint32_t hintTrackId);
  bool GetRtpPacketBFrame(uint32_t hintTrackId, uint16_t packetIndex);
  uint16_t GetRtpPacketTransmitOffset(uint32_t hintTrackId, uint16_t packetIndex);
  void ReadRtpPacket(uint32_t hintTrackId, uint16_t packetIndex, uint8_t** ppBytes, uint32_t* pNumBytes,
                     uint32_t ssrc, bool includeHeader, bool includePayload);
  uint32_t GetRtpTimestampStart(uint32_t hintTrackId);
  void SetRtpTimestampStart(uint32_t hintTrackId, uint64_t rtpStart);
  void AddRtpHint(uint32_t hintTrackId, bool isBFrame, uint32_t timestampOffset);
  void AddRtpPacket(uint32_t hintTrackId, bool setMbit, int32_t transmitOffset);
  void AddRtpImmediateData(uint32_t hintTrackId, const uint8_t* pBytes, uint32_t numBytes);
  void AddRtpSampleData(uint32_t hintTrackId, uint32_t sampleId, uint32_t dataOffset, uint32_t dataLength);
  void AddRtpESConfigurationPacket(uint32_t hintTrackId);
  void WriteRtpHint(uint32_t hintTrackId, uint64_t duration, bool isSyncSample);
  // The lowest of the dynamic numbers 96 to 127 that no hint track uses.
  uint8_t AllocRtpPayloadNumber();

  // ---- metadata items under "moov.udta.meta.ilst" (codes are 4CCs, ©
  // being the byte 0xA9) and chapters; false where an item is missing or
  // holds a value of another size. Values handed out are malloc'ed.

  // The item with an empty "data" (its flags by the kind of value), the
  // handler set to "mdir".
  bool CreateMetadataAtom(const char* code);
  void SetMetadataHandler();
  // Throws before a new item is made in a keyed list (handler "mdta"):
  // its items are named by their numbers in the "keys" table beside it,
  // so a reader takes a new item's 4CC for a key number, and the handler
  // "mdir" that a new item sets would hide every keyed item instead.
  void RefuseKeyedItemList(const char* where);
  // A new item needs the handler of "moov.udta.meta", which it marks as an
  // item list: where "meta" has none (or one without its fields), the item
  // is refused before anything is made.
  void CheckMetadataHandler(const char* where);
  bool SetMetadataValue(const char* code, const uint8_t* pValue, uint32_t valueSize);
  void GetMetadataValue(const char* code, uint8_t** ppValue, uint32_t* pSize);
  bool GetMetadataFixed(const char* code, uint8_t* pBytes, uint32_t size);
  bool SetMetadataString(const char* code, const char* value);
  // tryUdta: a QuickTime text directly under "moov.udta" when no item.
  bool GetMetadataString(const char* code, char** ppValue, bool tryUdta);
  bool DeleteMetadataAtom(const char* code, bool tryUdta);
  // All of "moov.udta.meta".
  bool MetadataDelete();
  bool SetMetadataTrack(uint16_t track, uint16_t totalTracks);
  bool GetMetadataTrack(uint16_t* pTrack, uint16_t* pTotalTracks);
  bool SetMetadataDisk(uint16_t disk, uint16_t totalDisks);
  bool GetMetadataDisk(uint16_t* pDisk, uint16_t* pTotalDisks);
  bool SetMetadataTempo(uint16_t tempo);
  bool GetMetadataTempo(uint16_t* pTempo);
  bool SetMetadataUint8(const char* code, uint8_t value);
  bool GetMetadataUint8(const char* code, uint8_t* pValue);
  // Genre numbers count from 1 in the ID3v1 list; 0: not in the list.
  static uint16_t StringToGenre(const char* text);
  static char* GenreToString(uint16_t genre);
  // A listed genre is stored by number ("gnre"), any other as text (©gen);
  // the other form goes.
  bool SetMetadataGenre(const char* text);
  bool GetMetadataGenre(char** ppText);
  bool DeleteMetadataGenre();
  uint32_t GetMetadataCoverArtCount();
  bool GetMetadataCoverArt(uint8_t** ppData, uint32_t* pSize, uint32_t index);
  // The first image of "covr", made when missing.
  bool SetMetadataCoverArt(const uint8_t* pData, uint32_t size);
  uint32_t FindFreeForm(const char* name, const char* owner, bool* pFound);
  // "----" items: owner NULL matches any owner (and a new item gets the
  // default owner).
  bool SetMetadataFreeForm(const char* name, const uint8_t* pValue, uint32_t valueSize, const char* owner);
  bool GetMetadataFreeForm(const char* name, uint8_t** ppValue, uint32_t* pValueSize, const char* owner);
  bool DeleteMetadataFreeForm(const char* name, const char* owner);
  // The index-th item of any kind: its 4CC, or a free-form item's name.
  bool GetMetadataByIndex(uint32_t index, char** ppName, uint8_t** ppValue, uint32_t* pValueSize);

  // A "chpl" chapter starting at startTime (100 ns units); NULL title:
  // "Chapter %03u". Throws, changing nothing, when no row can be added (the
  // 256th among them).
  void AddChapter(uint64_t startTime, const char* title);
  // A sample of the chapter text track lasting chapterDuration (the
  // track's time scale).
  void AddChapter(uint32_t chapterTrackId, uint64_t chapterDuration, uint32_t chapterNumber, const char* title);
  // The sound track whose "tref.chap" names the chapter track, with that
  // reference's path copied into nameBuffer (not terminated); 0: none.
  uint32_t FindChapterReferenceTrack(uint32_t chapterTrackId, char* nameBuffer, size_t bufferSize);
  uint32_t FindChapterTrack(char* nameBuffer, size_t bufferSize);
  void DeleteChapters(uint32_t chapterTrackId, bool textTrackChapters);
  // Durations in ms; the list is malloc'ed (NULL for none).
  void GetChaptersList(MP4ChapterStruct** ppChapters, uint32_t* pCount, bool textTrackChapters);
  // The chapters of the other form rebuilt in this one, the chapters this
  // one had removed first; the other form stays.
  void ConvertChapters(bool toTextTrack);

 private:
  // The class for the trak's handler type: hint tracks have their own.
  MP4Track* MakeTrack(MP4Atom& trak);
  // The hint track of the id, or "track is not a hint track" with where.
  class MP4RtpHintTrack* GetHintTrack(uint32_t hintTrackId, const char* where);
  // The tracks that a type and sub-type select.
  bool TrackMatches(MP4Track* pTrack, const char* normType, uint8_t subType);
  // Runs an adder; when it fails, whatever it added of the track goes
  // again (trak, track, ids, references), and the next track id is back.
  template <typename F>
  uint32_t AddTrackOrNothing(F add);
  // The media header (NULL: none) first in "minf", the sample entry last in
  // "stsd" with its count raised.
  MP4Atom* AddSampleEntry(uint32_t trackId, const char* mediaHeader, const char* entryType);
  uint32_t AddSoundTrack(uint32_t timeScale, const char* entryType);
  // The ES descriptor of the entry: id 0, the object and stream types.
  void SetESDescriptor(uint32_t trackId, const char* entryType, uint8_t objectTypeId, uint8_t streamType);
  // The "sinf" boxes of an encrypted entry and their values.
  void AddIsmaCrypAtoms(uint32_t trackId, const char* entryType, uint32_t dataFormat,
                        const MP4IsmaCrypParams& params);
  void AddH264ParameterSet(uint32_t trackId, const uint8_t* pSet, uint16_t length, bool picture);
  // Before an edit's media start or duration is set: a value beyond 32
  // bits (other than the empty edit's -1) turns a version-0 edit list to
  // version 1, as the headers turn; nothing for an edit that is not there.
  void WidenTrackEdits(uint32_t trackId, uint32_t editId, bool wide, const char* where);
  // Chooses the next chunk by time among the tracks and copies it from the
  // source to the file, until every chunk is copied.
  void RewriteMdat(void* sourceHandle, Virtual_IO* sourceIO);

  // ---- modifying in place

  // Refuses, before anything is written, a file cut short (samples that
  // begin past its end, or run past it out of a last box cut short), one
  // whose end holds samples in bytes that are no box, and one whose last
  // box cannot be given its size; then gives the last box its size and
  // marks bytes at the end that are no box as free space (or, under 8
  // bytes, as the place the new data starts).
  void PrepareEnd(MP4Atom* moov);
  // The new movie in place and the old one freed, the file type box
  // rewritten when asked; see Modify.
  void FinishModify();
  // The place of the file type box that Make3GPCompliant may fill: the box
  // and the free space right after it, and with oldMovieFree the old
  // movie when it follows (and free space after that); [*pStart, *pEnd).
  void FindFtypRoom(MP4Atom* ftyp, bool oldMovieFree, uint64_t* pStart, uint64_t* pEnd);
  // The bytes of the atom as Write makes them, made in memory; the atom
  // keeps the place in the file it had (start, end and size).
  std::vector<uint8_t> AtomInMemory(MP4Atom* atom);
  // The file type box written over that place, a "free" header over the
  // rest of it.
  void WriteFtypOver(MP4Atom* ftyp, uint64_t start, uint64_t end);
  // The start of every chunk of every track, sorted; a track whose tables
  // do not answer adds none.
  std::vector<uint64_t> ChunkStarts();
  // Throws when the file is shorter than the position, the end of what a
  // new file (or a modification's new media data) has appended so far: it
  // was cut meanwhile, by another process.
  void CheckNotCut(const char* where);
  // After each write of a new file that MP4Create's handle makes: throws
  // when the file no longer holds what was written (see m_watchCuts).
  void CheckWritten(uint64_t pos, const uint8_t* pBytes, uint32_t numBytes);
  // The cut that CheckNotCut or CheckWritten saw, thrown under where.
  [[noreturn]] void ThrowCut(const char* where);
  // Writes bytes at a position.
  void WriteAt(uint64_t pos, const uint8_t* pBytes, uint32_t numBytes);
  // Hands buffered writes to the system, so that a failure shows here.
  void FlushWrites();
  // Before a write over bytes the file held when it was opened for
  // modification: keeps them, so that a failure can put them back.
  void KeepOverwritten(uint32_t numBytes);
  // Puts back what a modification wrote over and cuts what it appended
  // (as far as the handle's table allows), as well as it can and without
  // throwing; nothing once the new movie is in place.
  void Rollback();
  // Throws when the file no longer holds every byte of the samples the new
  // movie would point at (it was cut meanwhile, by another process).
  void CheckMediaHeld(uint64_t mediaEnd, const char* where);

  char* m_fileName = nullptr;
  void* m_pFile = nullptr;
  Virtual_IO* m_virtual_IO = nullptr;
  uint64_t m_orgFileSize = 0;
  uint64_t m_fileSize = 0;
  MP4Atom* m_pRootAtom = nullptr;
  MP4Integer32Array m_trakIds;
  MP4TrackArray m_pTracks;  // owned
  uint32_t m_odTrackId = 0;
  uint32_t m_verbosity;
  char m_mode = 0;
  uint32_t m_createFlags = 0;
  bool m_useIsma = false;

  // Into the tree, owned by it.
  MP4IntegerProperty* m_pModificationProperty = nullptr;
  MP4IntegerProperty* m_pTimeScaleProperty = nullptr;
  MP4IntegerProperty* m_pDurationProperty = nullptr;

  uint8_t* m_memoryBuffer = nullptr;
  uint64_t m_memoryBufferPosition = 0;
  uint64_t m_memoryBufferSize = 0;
  // The buffer was allocated here (or grown by a write) rather than lent by
  // the caller: only then may the destructor free one still held.
  bool m_memoryBufferOwned = false;

  uint8_t m_numReadBits = 0;
  uint8_t m_bufReadBits = 0;
  uint8_t m_numWriteBits = 0;
  uint8_t m_bufWriteBits = 0;

  // A file opened by Modify whose new movie is not in place yet: every
  // write over the bytes it held keeps them first (m_overwritten).
  bool m_modifying = false;
  // Where new media data (or a new movie at the end) starts: the end of
  // the file, or bytes at its end that are no box.
  uint64_t m_appendAt = 0;
  // The new media data atom's header is written (at m_appendAt), in the
  // 64-bit form with m_mediaLarge.
  bool m_mediaOpen = false;
  bool m_mediaLarge = false;
  // The file type box is written over its place once the movie is.
  bool m_rewriteFtyp = false;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> m_overwritten;
  // Movie atoms after the first, in the tree: free space to a modification.
  std::vector<MP4Atom*> m_staleMovies;

  // A new file that MP4Create's handle writes, watched for a cut by
  // another process. Its writes append (the head, the chunks, the movie),
  // or go over bytes of zeros set aside for them (the size of the media
  // data, the movie's header), so that a byte once written non-zero stays
  // so: a cut to any length loses a non-zero byte it should hold, or
  // shortens it, or loses nothing but zeros. A write that goes out after
  // a cut (one made while the write was under way) fills the file out
  // again, with zeros from the cut to its start; those zeros cover the
  // last non-zero byte written before it, or nothing but zeros was lost.
  // So one read of that byte after each write, and the file's length, see
  // every cut before that write's end.
  bool m_watchCuts = false;
  // The call whose writes are made (MP4Create, MP4WriteSample, MP4Close).
  const char* m_writeCall = "MP4WriteSample";
  // The end of what was written; one past the last non-zero byte of it,
  // 0 while there is none.
  uint64_t m_writtenEnd = 0;
  uint64_t m_writtenNonZero = 0;
  // The cut seen, once it is: the file's length then, and the byte found
  // zero or gone (UINT64_MAX: the length alone showed it). Every later
  // write of the file is refused with it.
  bool m_cutSeen = false;
  uint64_t m_cutLength = 0;
  uint64_t m_cutByte = UINT64_MAX;
  uint64_t m_cutEnd = 0;
  // Where the samples end, once MP4Close begins the movie.
  uint64_t m_samplesEnd = UINT64_MAX;

  // What MakeTrackName and MakeTrackEditName return.
  char m_trakName[1024];
  char* m_editName = nullptr;
  // The temporary target of Optimize.
  char m_tempFileName[4096];
  // The texts handed out (KeepText); elements of a set stay where they
  // are.
  std::set<std::string> m_keptTexts;
};

