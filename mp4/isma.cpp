#include <cstring>
#include <memory>
#include <vector>

#include "atoms.h"
#include "descriptors.h"
#include "mp4.h"
#include "odcommands.h"

namespace {

// The scene stream's decoder configuration.
const uint8_t kBifsV2Config[] = {0x00, 0x00, 0x60};

// The scene description access units (BIFS commands) by the media present.
const uint8_t kSceneAudio[] = {0xC0, 0x10, 0x12, 0x81, 0x30, 0x2A, 0x05, 0x6D, 0xC0};
const uint8_t kSceneVideo[] = {0xC0, 0x10, 0x12, 0x61, 0x04, 0x1F, 0xC0, 0x00, 0x00, 0x1F,
                               0xC0, 0x00, 0x00, 0x44, 0x28, 0x22, 0x82, 0x9F, 0x80};
const uint8_t kSceneAudioVideo[] = {0xC0, 0x10, 0x12, 0x81, 0x30, 0x2A, 0x05, 0x6D, 0x26, 0x10, 0x41, 0xFC,
                                    0x00, 0x00, 0x01, 0xFC, 0x00, 0x00, 0x04, 0x42, 0x82, 0x28, 0x29, 0xF8};

// Object descriptor ids of the audio and the video object.
const uint8_t kAudioODId = 10, kVideoODId = 20;

const char kODUrl[] = "data:application/mpeg4-od-au;base64,";
const char kSceneUrl[] = "data:application/mpeg4-bifs-au;base64,";
const char kComplianceLine[] = "a=isma-compliance:1,1.0,1\r\n";
const char kIodLine[] = "a=mpeg4-iod: \"data:application/mpeg4-iod;base64,%s\"";

struct FreeDeleter {
  void operator()(void* p) const { MP4Free(p); }
};
typedef std::unique_ptr<uint8_t, FreeDeleter> Buffer;
typedef std::unique_ptr<char, FreeDeleter> Text;

// An ES descriptor's URL is a counted string of at most 255 characters.
const size_t kMostUrl = 255;

// A property of another owner put into a descriptor for one write; the
// descriptor's own is back in place when the guard goes, however the
// write ended, so that each is deleted once and by its owner.
class Lent {
 public:
  Lent(MP4Descriptor* pDescriptor, uint32_t index, MP4Property* pLent)
      : m_pDescriptor(pDescriptor), m_index(index), m_pOwn(pDescriptor->SwapProperty(index, pLent)) {}
  ~Lent() { m_pDescriptor->SwapProperty(m_index, m_pOwn); }
  Lent(const Lent&) = delete;
  Lent& operator=(const Lent&) = delete;

 private:
  MP4Descriptor* m_pDescriptor;
  uint32_t m_index;
  MP4Property* m_pOwn;
};

// Integer fields of the file's descriptors changed for one write and set
// back to what they held, however the write ended.
class Restore {
 public:
  ~Restore() {
    for (size_t i = m_saved.size(); i > 0; i--) {
      try {
        m_saved[i - 1].first->ForceValue(m_saved[i - 1].second);
      } catch (...) {
      }
    }
  }
  void Set(MP4IntegerProperty* p, uint64_t value) {
    m_saved.reserve(m_saved.size() + 1);
    m_saved.emplace_back(p, p->GetValue());
    p->SetValue(value);
  }

 private:
  std::vector<std::pair<MP4IntegerProperty*, uint64_t>> m_saved;
};

MP4Property* Find(MP4Descriptor* d, const char* name) {
  MP4Property* p = nullptr;
  return d->FindContainedProperty(name, &p, nullptr) ? p : nullptr;
}

MP4IntegerProperty* FindInteger(MP4Descriptor* d, const char* name) {
  MP4Property* p = Find(d, name);
  return p && p->GetType() <= Integer64Property ? static_cast<MP4IntegerProperty*>(p) : nullptr;
}

MP4DescriptorProperty* FindList(MP4Descriptor* d, const char* name) {
  MP4Property* p = Find(d, name);
  return p && p->GetType() == DescriptorProperty ? static_cast<MP4DescriptorProperty*>(p) : nullptr;
}

void SetInteger(MP4Descriptor* d, const char* name, uint64_t value) {
  if (MP4IntegerProperty* p = FindInteger(d, name)) p->SetValue(value);
}

void SetString(MP4Descriptor* d, const char* name, const char* value) {
  MP4Property* p = Find(d, name);
  if (p && p->GetType() == StringProperty) static_cast<MP4StringProperty*>(p)->SetValue(value);
}

// "<prefix><Base64 of the bytes>", malloc'ed.
Text DataUrl(const char* prefix, const uint8_t* bytes, uint64_t numBytes) {
  MP4_ASSERT(numBytes <= UINT32_MAX);
  // No bytes (the scene of no media) are the empty Base64 text.
  Text base64(MP4ToBase64(bytes, static_cast<uint32_t>(numBytes)));
  const char* text = base64 ? base64.get() : "";
  const size_t n = strlen(prefix) + strlen(text);
  Text url(static_cast<char*>(MP4Calloc(n + 1)));
  strcpy(url.get(), prefix);
  strcat(url.get(), text);
  return url;
}

void DumpIsma(uint32_t verbosity, const char* title, const uint8_t* bytes, uint64_t numBytes) {
  if (!(verbosity & MP4_VERB_ISMA)) return;
  zprintf("%s", title);
  MP4HexDump(bytes, static_cast<uint32_t>(numBytes), stdout, 0);
}

// A generated object descriptor of that tag and id added to the command's
// list.
MP4Descriptor* AddObjectDescriptor(MP4Descriptor* pCommand, uint8_t tag, uint8_t odId) {
  MP4DescriptorProperty* ods = static_cast<MP4DescriptorProperty*>(pCommand->GetProperty(0));
  ods->SetTags(tag);
  MP4Descriptor* od = ods->AddDescriptor(tag);
  od->Generate();
  SetInteger(od, "objectDescriptorId", odId);
  return od;
}

// An initial object descriptor as the ISMA code builds it: tag 0x02,
// generated, its ES list holding full ES descriptors.
std::unique_ptr<MP4Descriptor> NewIsmaIod(MP4DescriptorProperty** ppEsIds) {
  std::unique_ptr<MP4Descriptor> iod(new MP4IODescriptor());
  iod->SetTag(0x02);
  iod->Generate();
  *ppEsIds = FindList(iod.get(), "esIds");
  MP4_ASSERT_AS(*ppEsIds, "(pEsProperty)");
  (*ppEsIds)->SetTags(0x03);
  return iod;
}

// The movie's session description, in "moov.udta.hnti.rtp ", made where
// the file has none.
void StoreSessionSdp(MP4File& file, const char* text) {
  file.AddDescendantAtoms("moov", "udta.hnti.rtp ");
  file.SetSessionSdp(text);
}

}  // namespace

// ---------------------------------------------------------------- commands

void MP4File::CreateIsmaSceneCommand(bool hasAudio, bool hasVideo, uint8_t** ppBytes, uint64_t* pNumBytes) {
  *ppBytes = nullptr;
  *pNumBytes = 0;
  const uint8_t* scene = nullptr;
  size_t n = 0;
  if (hasAudio && hasVideo) {
    scene = kSceneAudioVideo;
    n = sizeof kSceneAudioVideo;
  } else if (hasAudio) {
    scene = kSceneAudio;
    n = sizeof kSceneAudio;
  } else if (hasVideo) {
    scene = kSceneVideo;
    n = sizeof kSceneVideo;
  } else {
    return;
  }
  *ppBytes = static_cast<uint8_t*>(MP4Malloc(n));
  memcpy(*ppBytes, scene, n);
  *pNumBytes = n;
}

void MP4File::CreateIsmaODUpdateCommandFromFileForFile(uint32_t odTrackId, uint32_t audioTrackId,
                                                       uint32_t videoTrackId, uint8_t** ppBytes,
                                                       uint64_t* pNumBytes) {
  *ppBytes = nullptr;
  *pNumBytes = 0;
  std::unique_ptr<MP4Descriptor> command(CreateODCommand(0x01));
  command->Generate();
  const struct {
    uint32_t trackId;
    uint8_t odId;
  } media[] = {{audioTrackId, kAudioODId}, {videoTrackId, kVideoODId}};
  for (const auto& m : media) {
    if (!m.trackId) continue;
    MP4Descriptor* od = AddObjectDescriptor(command.get(), 0x11, m.odId);
    MP4Property* p = Find(od, "esIds");
    MP4_ASSERT_AS(p, "(pOd->FindProperty(\"esIds\", (MP4Property**)&pEsIdsDescriptorProperty))");
    MP4_ASSERT_AS(p->GetType() == DescriptorProperty, "(pEsIdsDescriptorProperty)");
    MP4DescriptorProperty* esIds = static_cast<MP4DescriptorProperty*>(p);
    esIds->SetTags(0x0F);
    MP4Descriptor* ref = esIds->AddDescriptor(0x0F);
    ref->Generate();
    MP4Property* refIndex = Find(ref, "refIndex");
    MP4_ASSERT_AS(refIndex, "(pRefDescriptor->FindProperty(\"refIndex\", (MP4Property**)&pRefIndexProperty))");
    MP4_ASSERT_AS(refIndex->GetType() <= Integer64Property, "(pRefIndexProperty)");
    const uint32_t mpodIndex = FindTrackReference(MakeTrackName(odTrackId, "tref.mpod"), m.trackId);
    MP4_ASSERT(mpodIndex != 0);
    static_cast<MP4IntegerProperty*>(refIndex)->SetValue(mpodIndex);
  }
  command->WriteToMemory(this, ppBytes, pNumBytes);
}

void MP4File::CreateIsmaODUpdateCommandForStream(MP4DescriptorProperty* pAudioEsd, MP4DescriptorProperty* pVideoEsd,
                                                 uint8_t** ppBytes, uint64_t* pNumBytes) {
  *ppBytes = nullptr;
  *pNumBytes = 0;
  std::unique_ptr<MP4Descriptor> command(CreateODCommand(0x01));
  command->Generate();
  // After the command: the lists go back before the command is deleted.
  std::vector<std::unique_ptr<Lent>> lent;
  lent.reserve(2);
  const struct {
    MP4DescriptorProperty* esd;
    uint8_t odId;
  } media[] = {{pAudioEsd, kAudioODId}, {pVideoEsd, kVideoODId}};
  for (const auto& m : media) {
    if (!m.esd) continue;
    MP4Descriptor* od = AddObjectDescriptor(command.get(), 0x01, m.odId);
    // The fifth field is the object descriptor's "esIds" list.
    lent.emplace_back(new Lent(od, 4, m.esd));
  }
  command->WriteToMemory(this, ppBytes, pNumBytes);
}

void MP4File::CreateIsmaODUpdateCommandFromFileForStream(uint32_t audioTrackId, uint32_t videoTrackId,
                                                         uint8_t** ppBytes, uint64_t* pNumBytes) {
  *ppBytes = nullptr;
  *pNumBytes = 0;
  // The tracks' own descriptors carry, for this write only, their track id
  // as ES id and an SL configuration spelled out; every value is set back
  // as it was (not to the values a new track would have).
  Restore restore;
  MP4DescriptorProperty* lists[2] = {nullptr, nullptr};
  const uint32_t tracks[2] = {audioTrackId, videoTrackId};
  for (int i = 0; i < 2; i++) {
    if (!tracks[i]) continue;
    const bool audio = i == 0;
    MP4Atom* esds = FindAtom(MakeTrackName(tracks[i], "mdia.minf.stbl.stsd.*.esds"));
    MP4_ASSERT_AS(esds && esds->GetNumberOfProperties() > 2 && esds->GetProperty(2)->GetType() == DescriptorProperty,
                  "(pEsdsAtom)");
    MP4DescriptorProperty* list = static_cast<MP4DescriptorProperty*>(esds->GetProperty(2));
    MP4Property* p = nullptr;
    const bool haveId = list->FindProperty("ESID", &p);
    MP4_ASSERT_AS(haveId, audio ? "(pAudioEsd->FindProperty(\"ESID\", (MP4Property**)&pAudioEsdId))"
                                : "(pVideoEsd->FindProperty(\"ESID\", (MP4Property**)&pVideoEsdId))");
    MP4_ASSERT_AS(p && p->GetType() <= Integer64Property, audio ? "(pAudioEsdId)" : "(pVideoEsdId)");
    restore.Set(static_cast<MP4IntegerProperty*>(p), tracks[i]);
    p = nullptr;
    const bool havePredefined = list->FindProperty("slConfigDescr.predefined", &p);
    if (!audio)
      MP4_ASSERT_AS(havePredefined,
                    "(pVideoEsd->FindProperty(\"slConfigDescr.predefined\", (MP4Property **)&pVideoSLConfigPredef))");
    if (havePredefined) {
      MP4_ASSERT_AS(p && p->GetType() <= Integer64Property,
                    audio ? "(pAudioSLConfigPredef)" : "(pVideoSLConfigPredef)");
      restore.Set(static_cast<MP4IntegerProperty*>(p), 0);
    }
    p = nullptr;
    if (list->FindProperty("slConfigDescr.useAccessUnitEndFlag", &p) && p && p->GetType() <= Integer64Property)
      restore.Set(static_cast<MP4IntegerProperty*>(p), 1);
    lists[i] = list;
  }
  CreateIsmaODUpdateCommandForStream(lists[0], lists[1], ppBytes, pNumBytes);
  if (m_verbosity & MP4_VERB_ISMA) {
    zprintf("After CreateImsaODUpdateCommandForStream len %llu =\n", static_cast<unsigned long long>(*pNumBytes));
    MP4HexDump(*ppBytes, static_cast<uint32_t>(*pNumBytes), stdout, 0);
  }
}

// ---------------------------------------------------------------- descriptors

void MP4File::CreateESD(MP4DescriptorProperty* pEsProperty, uint32_t esid, uint8_t objectType, uint8_t streamType,
                        uint32_t bufferSize, uint32_t bitrate, const uint8_t* pConfig, uint32_t configLength,
                        const char* url) {
  MP4Descriptor* es = pEsProperty->AddDescriptor(0x03);
  es->Generate();
  SetInteger(es, "ESID", esid);
  SetInteger(es, "decConfigDescr.objectTypeId", objectType);
  SetInteger(es, "decConfigDescr.streamType", streamType);
  SetInteger(es, "decConfigDescr.bufferSizeDB", bufferSize);
  SetInteger(es, "decConfigDescr.maxBitrate", bitrate);
  SetInteger(es, "decConfigDescr.avgBitrate", bitrate);
  if (MP4DescriptorProperty* infos = FindList(es, "decConfigDescr.decSpecificInfo")) {
    MP4Descriptor* info = infos->AddDescriptor(0x05);
    info->Generate();
    MP4Property* p = Find(info, "info");
    if (p && p->GetType() == BytesProperty) static_cast<MP4BytesProperty*>(p)->SetValue(pConfig, configLength);
  }
  SetInteger(es, "slConfigDescr.predefined", 0);
  SetInteger(es, "slConfigDescr.useAccessUnitEndFlag", 1);
  if (url) {
    SetInteger(es, "URLFlag", 1);
    SetString(es, "URL", url);
  }
}

void MP4File::CreateIsmaIodFromFile(uint32_t odTrackId, uint32_t sceneTrackId, uint32_t audioTrackId,
                                    uint32_t videoTrackId, uint8_t** ppBytes, uint64_t* pNumBytes) {
  *ppBytes = nullptr;
  *pNumBytes = 0;
  MP4DescriptorProperty* esIds = nullptr;
  std::unique_ptr<MP4Descriptor> iod = NewIsmaIod(&esIds);
  MP4Atom* iods = FindAtom("moov.iods");
  MP4_ASSERT_AS(iods && iods->GetNumberOfProperties() > 2 && iods->GetProperty(2)->GetType() == DescriptorProperty,
                "(pIodsAtom)");
  MP4DescriptorProperty* fileIod = static_cast<MP4DescriptorProperty*>(iods->GetProperty(2));
  for (const char* name : {"objectDescriptorId", "ODProfileLevelId", "sceneProfileLevelId", "audioProfileLevelId",
                           "visualProfileLevelId", "graphicsProfileLevelId"}) {
    MP4Property* from = nullptr;
    MP4IntegerProperty* to = FindInteger(iod.get(), name);
    if (to && fileIod->FindProperty(name, &from) && from && from->GetType() <= Integer64Property)
      to->SetValue(static_cast<MP4IntegerProperty*>(from)->GetValue());
  }

  // The object descriptor and scene streams, their access units inline as
  // data URLs, each with its track's decoder configuration lent for the
  // write (after the descriptor: given back before it is deleted).
  std::vector<std::unique_ptr<Lent>> lent;
  lent.reserve(2);
  for (int i = 0; i < 2; i++) {
    const bool od = i == 0;
    MP4Descriptor* es = esIds->AddDescriptor(0x03);
    es->Generate();
    SetInteger(es, "ESID", od ? odTrackId : sceneTrackId);
    SetInteger(es, "URLFlag", 1);
    uint8_t* bytes = nullptr;
    uint64_t numBytes = 0;
    if (od)
      CreateIsmaODUpdateCommandFromFileForStream(audioTrackId, videoTrackId, &bytes, &numBytes);
    else
      CreateIsmaSceneCommand(audioTrackId != 0, videoTrackId != 0, &bytes, &numBytes);
    Buffer command(bytes);
    DumpIsma(m_verbosity, od ? "OD data =\n" : "Scene data =\n", bytes, numBytes);
    Text url = DataUrl(od ? kODUrl : kSceneUrl, bytes, numBytes);
    if (m_verbosity & MP4_VERB_ISMA) zprintf(od ? "OD data URL = \"%s\"\n" : "Scene data URL = \"%s\"\n", url.get());
    SetString(es, "URL", url.get());

    MP4Property* dcd = nullptr;
    const bool found = FindProperty(
        MakeTrackName(od ? odTrackId : sceneTrackId, "mdia.minf.stbl.stsd.mp4s.esds.decConfigDescr"), &dcd);
    if (od)
      MP4_ASSERT_AS(found && dcd, "(pSrcDcd)");
    else
      MP4_ASSERT_AS(found && dcd,
                    "(FindProperty(MakeTrackName(sceneTrackId, \"mdia.minf.stbl.stsd.mp4s.esds.decConfigDescr\"), "
                    "(MP4Property**)&pSrcDcd))");
    MP4_ASSERT_AS(dcd->GetType() == DescriptorProperty, "(pSrcDcd)");
    // The ninth field is the ES descriptor's "decConfigDescr".
    lent.emplace_back(new Lent(es, 8, dcd));
    MP4Property* bufferSize = Find(es, "decConfigDescr.bufferSizeDB");
    if (bufferSize) {
      MP4_ASSERT_AS(bufferSize->GetType() <= Integer64Property, "(pBufferSizeProperty)");
      static_cast<MP4IntegerProperty*>(bufferSize)->SetValue(numBytes);
    }
    SetInteger(es, "slConfigDescr.predefined", 1);
  }
  iod->WriteToMemory(this, ppBytes, pNumBytes);
  DumpIsma(m_verbosity, "IOD data =\n", *ppBytes, *pNumBytes);
}

void MP4File::CreateIsmaIodFromParams(uint8_t videoProfile, uint32_t videoBitrate, const uint8_t* videoConfig,
                                      uint32_t videoConfigLength, uint8_t audioProfile, uint32_t audioBitrate,
                                      const uint8_t* audioConfig, uint32_t audioConfigLength, uint8_t** ppBytes,
                                      uint64_t* pNumBytes) {
  *ppBytes = nullptr;
  *pNumBytes = 0;
  MP4DescriptorProperty* esIds = nullptr;
  std::unique_ptr<MP4Descriptor> iod = NewIsmaIod(&esIds);
  SetInteger(iod.get(), "audioProfileLevelId", audioProfile);
  SetInteger(iod.get(), "visualProfileLevelId", videoProfile);

  uint8_t* bytes = nullptr;
  uint64_t numBytes = 0;
  CreateIsmaSceneCommand(audioProfile < 0xFF, videoProfile < 0xFF, &bytes, &numBytes);
  Buffer scene(bytes);
  Text sceneUrl = DataUrl(kSceneUrl, bytes, numBytes);
  CreateESD(esIds, 201, 2, 3, static_cast<uint32_t>(numBytes), static_cast<uint32_t>(numBytes * 8), kBifsV2Config,
            sizeof kBifsV2Config, sceneUrl.get());

  MP4DescriptorProperty videoList(nullptr, 0x03, 0, false, false);
  MP4DescriptorProperty audioList(nullptr, 0x03, 0, false, false);
  CreateESD(&videoList, 20, 32, 4, videoBitrate / 8, videoBitrate, videoConfig, videoConfigLength, nullptr);
  CreateESD(&audioList, 10, 64, 5, audioBitrate / 8, audioBitrate, audioConfig, audioConfigLength, nullptr);
  CreateIsmaODUpdateCommandForStream(&audioList, &videoList, &bytes, &numBytes);
  Buffer command(bytes);
  if (m_verbosity & MP4_VERB_ISMA) {
    zprintf("OD data = %llu bytes\n", static_cast<unsigned long long>(numBytes));
    MP4HexDump(bytes, static_cast<uint32_t>(numBytes), stdout, 0);
  }
  Text odUrl = DataUrl(kODUrl, bytes, numBytes);
  CreateESD(esIds, 101, 1, 1, static_cast<uint32_t>(numBytes), static_cast<uint32_t>(numBytes * 8), nullptr, 0,
            odUrl.get());

  iod->WriteToMemory(this, ppBytes, pNumBytes);
  DumpIsma(m_verbosity, "IOD data =\n", *ppBytes, *pNumBytes);
}

// ---------------------------------------------------------------- the file

bool MP4File::MakeIsmaCompliant(bool addIsmaComplianceSdp) {
  ProtectWriteOperation("MP4MakeIsmaCompliant");
  if (m_useIsma) return true;

  uint32_t audio = 0, video = 0;
  try {
    audio = FindTrackId(0, MP4_AUDIO_TRACK_TYPE);
  } catch (const MP4Error&) {
  }
  try {
    video = FindTrackId(0, MP4_VIDEO_TRACK_TYPE);
  } catch (const MP4Error&) {
  }
  if (!audio && !video) return false;
  const struct {
    uint32_t trackId;
    const char* plain;
    const char* encrypted;
  } media[] = {{audio, "mp4a", "enca"}, {video, "mp4v", "encv"}};
  for (const auto& m : media) {
    if (!m.trackId) continue;
    const char* name = GetTrackMediaDataName(m.trackId);
    if (name && (!strcmp(name, m.plain) || !strcmp(name, m.encrypted))) continue;
    if (m_verbosity & MP4_VERB_ERRORS)
      zprintf("MakeIsmaCompliant:can't make ISMA compliant when file contains an %s track\n", name ? name : "");
    return false;
  }
  uint8_t videoProfile = 0xFF;
  if (video) {
    const uint32_t verbosity = m_verbosity;
    m_verbosity &= ~MP4_VERB_ERRORS;
    videoProfile = MP4GetVideoProfileLevel(static_cast<MP4FileHandle>(this), video);
    m_verbosity = verbosity;
  }
  // The tracks' object descriptors travel as a data URL in an ES
  // descriptor, whose URL holds at most 255 characters: a file whose
  // descriptors do not fit is refused before anything changes.
  {
    uint8_t* bytes = nullptr;
    uint64_t numBytes = 0;
    CreateIsmaODUpdateCommandFromFileForStream(audio, video, &bytes, &numBytes);
    Buffer command(bytes);
    const size_t length = strlen(DataUrl(kODUrl, bytes, numBytes).get());
    if (length > kMostUrl)
      throw MP4Error("the tracks' object descriptors need a URL of %u characters, more than 255",
                     "MP4MakeIsmaCompliant", static_cast<unsigned>(length));
  }

  const uint64_t duration = ConvertFromMovieDuration(GetDuration(), 1000);
  if (m_odTrackId) DeleteTrack(m_odTrackId);
  if (!FindAtom("moov.iods")) AddChildAtom("moov", "iods");
  AddODTrack();
  SetODProfileLevel(0xFF);
  if (audio) {
    AddTrackToOd(audio);
    SetAudioProfileLevel(0x0F);
  }
  if (video) {
    AddTrackToOd(video);
    SetVideoProfileLevel(videoProfile);
  }

  uint32_t scene = 0;
  try {
    scene = FindTrackId(0, MP4_SCENE_TRACK_TYPE);
  } catch (const MP4Error&) {
  }
  if (scene) DeleteTrack(scene);
  scene = AddSceneTrack();
  SetSceneProfileLevel(0xFF);
  SetGraphicsProfileLevel(0xFF);
  SetTrackIntegerProperty(scene, "mdia.minf.stbl.stsd.mp4s.esds.decConfigDescr.objectTypeId", 2);
  SetTrackESConfiguration(scene, kBifsV2Config, sizeof kBifsV2Config);

  uint8_t* bytes = nullptr;
  uint64_t numBytes = 0;
  CreateIsmaODUpdateCommandFromFileForFile(m_odTrackId, audio, video, &bytes, &numBytes);
  Buffer odCommand(bytes);
  WriteSample(m_odTrackId, bytes, static_cast<uint32_t>(numBytes), duration, 0, true);
  CreateIsmaSceneCommand(audio != 0, video != 0, &bytes, &numBytes);
  Buffer sceneCommand(bytes);
  WriteSample(scene, bytes, static_cast<uint32_t>(numBytes), duration, 0, true);

  CreateIsmaIodFromFile(m_odTrackId, scene, audio, video, &bytes, &numBytes);
  Buffer iod(bytes);
  MP4_ASSERT(numBytes <= UINT32_MAX);
  Text base64(MP4ToBase64(bytes, static_cast<uint32_t>(numBytes)));
  MP4_ASSERT(base64);
  const size_t sdpSize = strlen(base64.get()) + 256;
  Text sdp(static_cast<char*>(MP4Calloc(sdpSize)));
  if (addIsmaComplianceSdp) strcpy(sdp.get(), kComplianceLine);
  const size_t used = strlen(sdp.get());
  snprintf(sdp.get() + used, sdpSize - used, kIodLine, base64.get());
  strcat(sdp.get(), "\r\n");
  StoreSessionSdp(*this, sdp.get());
  m_useIsma = true;
  return true;
}
