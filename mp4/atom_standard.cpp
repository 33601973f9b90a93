// The field lists and expected children of every box that needs no class of
// its own. A box's layout here is its whole format: the generic reader
// reads the fields in order, then the expected children, then skips to the
// end.
#include <cstring>
#include <initializer_list>

#include "atoms.h"

using namespace mp4field;

namespace {

struct Definition {
  std::initializer_list<const char*> types;
  std::initializer_list<MP4FieldSpec> fields;
  std::initializer_list<MP4ChildSpec> children;
};

// Expected-child shorthands: mandatory and only one, only one, mandatory and
// repeatable, optional and repeatable.
constexpr MP4ChildSpec M1(const char* n) { return {n, true, true}; }
constexpr MP4ChildSpec O1(const char* n) { return {n, false, true}; }
constexpr MP4ChildSpec M(const char* n) { return {n, true, false}; }
constexpr MP4ChildSpec O(const char* n) { return {n, false, false}; }

const Definition kDefinitions[] = {
    // Containers.
    {{"moov"}, {}, {M1("mvhd"), O1("iods"), M("trak"), O("udta"), O1("mvex")}},
    {{"trak"}, {}, {M1("tkhd"), O1("tref"), O1("edts"), M1("mdia"), O("udta")}},
    {{"edts"}, {}, {M1("elst")}},
    {{"mdia"}, {}, {M1("mdhd"), M1("hdlr"), M1("minf")}},
    {{"minf"},
     {},
     {O1("vmhd"), O1("smhd"), O1("hmhd"), O1("nmhd"), O1("gmhd"), M1("dinf"), M1("stbl")}},
    {{"dinf"}, {}, {M1("dref")}},
    {{"gmhd"}, {}, {M1("gmin"), O1("tmcd"), O1("text")}},
    {{"tref"}, {}, {O1("chap"), O1("dpnd"), O1("hint"), O1("ipir"), O1("mpod"), O1("sync")}},
    {{"mvex"}, {}, {M("trex")}},
    {{"moof"}, {}, {M1("mfhd"), O("traf")}},
    {{"traf"}, {}, {M1("tfhd"), O("trun")}},
    {{"wave"}, {}, {M1("esds")}},
    {{"pinf"}, {}, {M1("frma")}},
    {{"sinf"}, {}, {M1("frma"), O1("imif"), O1("schm"), O1("schi")}},
    {{"schi"}, {}, {O1("odkm"), O1("iKMS"), O1("iSFM")}},
    {{"ilst"},
     {},
     {O1("\xA9nam"), O1("\xA9" "ART"), O1("\xA9wrt"), O1("\xA9" "alb"), O1("\xA9" "day"),
      O1("\xA9too"), O1("\xA9" "cmt"), O1("\xA9gen"), O1("trkn"), O1("disk"), O1("gnre"),
      O1("cpil"), O1("tmpo"), O1("covr"), O1("aART"), O("----"), O1("pgap")}},

    // Metadata items: children only.
    {{"aART", "akID", "apID", "atID", "cnID", "cpil", "cprt", "disk", "pgap", "plID", "purd",
      "rtng", "sfID", "stik", "tmpo", "trkn", "\xA9" "ART", "\xA9wrt", "\xA9" "alb", "\xA9" "day",
      "\xA9too", "\xA9gen", "\xA9grp"},
     {},
     {M1("data")}},
    {{"gnre", "geID"}, {}, {O1("data")}},
    {{"covr"}, {}, {M("data")}},
    {{"----"}, {}, {M1("mean"), M1("name"), M1("data")}},

    // Media headers and tables with version and flags.
    {{"nmhd"}, {VF()}, {}},
    {{"smhd"}, {VF(), Reserved("reserved", 4)}, {}},
    {{"hmhd"},
     {VF(), U16("maxPduSize"), U16("avgPduSize"), U32("maxBitRate"), U32("avgBitRate"),
      U32("slidingAvgBitRate")},
     {}},
    {{"stco"}, {VF(), U32("entryCount"), Table("entries", 1), U32("chunkOffset")}, {}},
    {{"co64"}, {VF(), U32("entryCount"), Table("entries", 1), U64("chunkOffset")}, {}},
    {{"stss"}, {VF(), U32("entryCount"), Table("entries", 1), U32("sampleNumber")}, {}},
    {{"stts"},
     {VF(), U32("entryCount"), Table("entries", 2), U32("sampleCount"), U32("sampleDelta")},
     {}},
    {{"ctts"},
     {VF(), U32("entryCount"), Table("entries", 2), U32("sampleCount"), U32("sampleOffset")},
     {}},
    {{"stsh"},
     {VF(), U32("entryCount"), Table("entries", 2), U32("shadowedSampleNumber"),
      U32("syncSampleNumber")},
     {}},
    {{"mfhd"}, {VF(), U32("sequenceNumber")}, {}},
    {{"trex"},
     {VF(), U32("trackId"), U32("defaultSampleDesriptionIndex"), U32("defaultSampleDuration"),
      U32("defaultSampleSize"), U32("defaultSampleFlags")},
     {}},
    {{"esds"}, {VF(), Descriptors(nullptr, 0x03, 0, true, true)}, {}},
    {{"iods"}, {VF(), Descriptors(nullptr, 0x10, 0x11, true, true)}, {}},
    {{"imif"}, {VF(), Descriptors("ipmp_desc", 0x0B, 0, true, false)}, {}},
    {{"schm"}, {VF(), U32("scheme_type"), U32("scheme_version")}, {}},
    {{"iKMS"}, {VF(), Str("kms_URI")}, {}},
    {{"iSFM"},
     {VF(), Bits("selective-encryption", 1), Bits("reserved", 7), U8("key-indicator-length"),
      U8("IV-length")},
     {}},
    {{"odkm"}, {VF()}, {M1("ohdr")}},

    // Fields without version and flags.
    {{"frma"}, {U32("data-format")}, {}},
    {{"bitr"}, {U32("avgBitrate"), U32("maxBitrate")}, {}},
    {{"btrt"}, {U32("bufferSizeDB"), U32("maxBitrate"), U32("avgBitrate")}, {}},
    {{"burl"}, {Str("base_url")}, {}},
    {{"payt"}, {U32("payloadNumber"), Counted("rtpMap")}, {}},
    {{"tims"}, {U32("timeScale")}, {}},
    {{"tsro", "snro"}, {U32("offset")}, {}},
    {{"nump"}, {U64("packets")}, {}},
    {{"tpyl", "trpy", "dmed", "dimm", "drep"}, {U64("bytes")}, {}},
    {{"pmax"}, {U32("bytes")}, {}},
    {{"maxr"}, {U32("granularity"), U32("bytes")}, {}},
    {{"tmin", "tmax", "dmax"}, {U32("milliSecs")}, {}},
};

bool SameType(const char* a, const char* b) { return memcmp(a, b, 4) == 0; }

}  // namespace

MP4StandardAtom::MP4StandardAtom(const char* type) : MP4Atom(type) {
  const char* t = GetType();
  if (strlen(t) == 4) {
    for (const Definition& d : kDefinitions) {
      for (const char* name : d.types) {
        if (!SameType(name, t)) continue;
        AddFields(d.fields);
        ExpectChildAtoms(d.children);
        return;
      }
    }
  }
  SetUnknownType(true);
}

void MP4StandardAtom::Read() {
  // Items of the list hold a "data" box; directly under "udta" the same
  // 4CCs have forms of their own: a \xA9 text of QuickTime (a 16-bit length
  // and a 16-bit language, then the text) and the copyright notice of a
  // full box with a language. Read as items, their first bytes would be
  // taken for a child's header and written back as one. The notice, and a
  // text too short for length and language, stay whole as the atom's rest.
  if (FindAtomInfo("data") && m_pParentAtom && strcmp(m_pParentAtom->GetType(), "udta") == 0) {
    while (m_pChildAtomInfos.Size() > 0) {
      delete m_pChildAtomInfos[m_pChildAtomInfos.Size() - 1];
      m_pChildAtomInfos.Delete(m_pChildAtomInfos.Size() - 1);
    }
    if (static_cast<uint8_t>(m_type[0]) == 0xA9 && m_size >= 4) {
      AddFields({Reserved("reserved2", 4), Bytes("metadata", 0)});
      GetBytesField("metadata")->SetValueSize(MP4ValueSizeAfter(this, 4));
    }
  }
  MP4Atom::Read();
}
