// The Matroska reader on files written byte by byte with the test-side EBML
// writer, through the in-memory stream: open failures and their messages,
// track records, floats, lacing and frame times, cue tables, damage and
// resynchronisation, chapters, the compressed-frame reader, and memory.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <climits>

#include "mkvmem.h"
#include "mkvref.h"
#include "testutil.h"

namespace {

using namespace mkvt;
using mkvr::Frame;
using mkvr::Opened;
using mkvr::read_frames;

const Bytes kTracks1 = el(Tracks, track(1, 1, "V_TEST", uint_el(DefaultDuration, 40000000)));

// A SeekHead naming elements at positions relative to the Segment's data,
// fixed width so that its size does not depend on them.
Bytes seekhead(const std::vector<std::pair<uint32_t, uint64_t>>& entries) {
  Bytes b;
  for (const auto& e : entries) b += el(Seek, el(SeekID, id(e.first)) + el(SeekPosition, be(e.second, 8)));
  return el(SeekHead, b);
}
// A Segment whose Info, Tracks and first Cluster are found through its
// SeekHead, so that failures in them end the open instead of the walk.
Bytes seeked(const Bytes& info_el, const Bytes& tracks_el, const Bytes& rest = cluster(0, simple(1, 0, "abc"))) {
  const size_t sh = seekhead({{Info, 0}, {Tracks, 0}, {Cluster, 0}}).size();
  return file(seekhead({{Info, sh}, {Tracks, sh + info_el.size()}, {Cluster, sh + info_el.size() + tracks_el.size()}}) +
              info_el + tracks_el + rest);
}

// A zlib stream of in; with empty stored blocks in front, a long run of
// compressed input that expands to nothing.
Bytes deflated(const Bytes& in, int empty_blocks = 0) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes raw(in.size() + 4096, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = uInt(in.size());
  z.next_out = reinterpret_cast<Bytef*>(&raw[0]);
  z.avail_out = uInt(raw.size());
  deflate(&z, Z_FINISH);
  raw.resize(z.total_out);
  deflateEnd(&z);
  Bytes empty;
  for (int i = 0; i < empty_blocks; ++i) empty += Bytes("\x00\x00\x00\xFF\xFF", 5);  // not final, stored, LEN 0
  return "\x78\x01" + empty + raw + be(adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(in.data()), uInt(in.size())), 4);
}

Bytes encoding(uint64_t scope, uint64_t algo, const Bytes& settings = "", uint64_t type = 0) {
  return el(ContentEncodings, el(ContentEncoding, uint_el(ContentEncodingScope, scope) + uint_el(ContentEncodingType, type) +
                                                      el(ContentCompression, uint_el(ContentCompAlgo, algo) +
                                                                                 (settings.empty() ? "" : el(ContentCompSettings, settings)))));
}

// ---------------------------------------------------------------- open, messages

struct OpenCase {
  const char* name;
  Bytes bytes;
  bool opens;
  const char* message;  // null: no message at all
};

TEST(MatroskaOpen, MessagesOfFailuresAndOfAbsorbedFailures) {
  const Bytes ok_rest = info() + kTracks1 + cluster(0, simple(1, 0, "abc"));
  const Bytes ok_head = info() + kTracks1;  // a failing SeekHead after it ends the walk
  const Bytes tracks_uid8 = el(Tracks, track(1, 1, "V_TEST"));
  const OpenCase cases[] = {
      {"empty file", "", false, "Unexpected EOF at start of file"},
      {"Info first", info() + el(Segment, ok_rest), false, "First element in file is not EBML"},
      {"webm", file(ok_rest, ebml_header("webm")), false, "Unsupported DocType: webm"},
      {"EBMLReadVersion 2", file(ok_rest, ebml_header("matroska", uint_el(EBMLReadVersion, 2))), false,
       "File requires version 2 EBML parser"},
      {"EBMLMaxIDLength 5", file(ok_rest, ebml_header("matroska", uint_el(EBMLMaxIDLength, 5))), false,
       "File has identifiers longer than 5"},
      {"EBMLMaxSizeLength 9", file(ok_rest, ebml_header("matroska", uint_el(EBMLMaxSizeLength, 9))), false,
       "File has integers longer than 9"},
      {"DocTypeReadVersion 3", file(ok_rest, ebml_header("matroska", uint_el(DocTypeReadVersion, 3))), false,
       "File requires version 3 Matroska parser"},
      {"no Segment", ebml_header() + el(Void, "xy"), false, "No segments found in the file"},
      {"ID byte 05 after the header", ebml_header() + "\x05\x81", false, "Invalid first byte of EBML ID: 05"},
      {"no Info", file(kTracks1 + cluster(0, simple(1, 0, "abc"))), false, "Couldn't find SegmentInfo"},
      {"TrackNumber 300", seeked(info(), el(Tracks, track(300, 1, "V_TEST"))), false, "Track number is >255 (300)"},
      {"TrackType 0", seeked(info(), el(Tracks, track(1, 0, "V_TEST"))), false, "Invalid track type: 0"},
      {"no CodecID", seeked(info(), el(Tracks, el(TrackEntry, uint_el(TrackNumber, 1) + uint_el(TrackType, 1)))),
       false, "Track has no Codec ID"},
      {"CodecPrivate of 0x40001 bytes",
       seeked(info(), el(Tracks, track(1, 1, "V_TEST", el(CodecPrivate, Bytes(0x40001, 'p'))))), false,
       "CodecPrivate is too large: 262145"},
      {"Info beyond the end", file(seekhead({{Info, 4000}, {Tracks, 4000}, {Cluster, 4000}})), false,
       "Unexpected EOF in parseContainer"},
      // Failures of the walk are absorbed, and children of Info that cannot
      // be read are passed over; their messages stay.
      {"TimecodeScale 0", file(info(0) + kTracks1 + cluster(0, simple(1, 0, "abc"))), true,
       "Segment timecode scale is zero"},
      {"SegmentUID of 8 bytes", seeked(info(1000000, el(SegmentUID, "12345678")), tracks_uid8), true,
       "SegmentUID size is not 16 bytes"},
      {"two SeekHead pointers",
       file(ok_head + el(SeekHead, el(Seek, el(SeekID, id(SeekHead)) + uint_el(SeekPosition, 1)) +
                                       el(Seek, el(SeekID, id(SeekHead)) + uint_el(SeekPosition, 2)))),
       true, "SeekHead contains more than one SeekHead pointer"},
      {"SeekID of 5 bytes", file(ok_head + el(SeekHead, el(Seek, el(SeekID, Bytes("\x1A\x45\xDF\xA3\x00", 5))))), true,
       "Invalid ID size in parseSeekEntry: 5\n"},
      {"Seek without position", file(ok_head + el(SeekHead, el(Seek, el(SeekID, id(Info))))), true,
       "Invalid element position in parseSeekEntry"},
      {"TrackEntry of unknown size", file(info() + el(Tracks, id(TrackEntry) + unknown_size(1))), true,
       "Unspecified element size is not supported here."},
      {"size byte 0", file(info() + id(Tracks) + Bytes(1, '\0')), true, "Invalid first byte of EBML integer: 0"},
      {"float of 3 bytes", file(info() + el(Tracks, track(1, 1, "V", el(TrackTimecodeScale, "abc")))), true,
       "Invalid float size in readFloat: 3"},
      {"Channels 0", file(info() + el(Tracks, track(1, 2, "A", el(Audio, uint_el(Channels, 0))))), true,
       "Invalid Channels value"},
      {"CodecPrivate cut short",  // the cache holds the first 10 bytes, the stream has no more
       ebml_header() + id(Segment) + unknown_size() + info() + id(Tracks) + vint(4000, 2) + id(TrackEntry) +
           vint(3000, 2) + uint_el(TrackNumber, 1) + id(CodecPrivate) + vint(2000, 2) + Bytes(10, 'p'),
       true, "Short read: got 0 bytes of 1990"},
      {"two Names", file(info() + el(Tracks, track(1, 1, "V", el(Name, "a") + el(Name, "b")))), true, "Duplicate Track Name"},
      {"two CodecIDs", file(info() + el(Tracks, track(1, 1, "V", el(CodecID, "W")))), true, "Duplicate CodecID"},
      {"two CodecPrivates", file(info() + el(Tracks, track(1, 1, "V", el(CodecPrivate, "a") + el(CodecPrivate, "b")))),
       true, "Duplicate CodecPrivate"},
      {"MinCache 2^32", file(info() + el(Tracks, track(1, 1, "V", uint_el(0x6DE7, 1ull << 32)))), true,
       "MinCache is too large"},
      {"TrackOverlay 256", file(info() + el(Tracks, track(1, 1, "V", uint_el(0x6FAB, 256)))), true,
       "Track number in TrackOverlay is too large: 256"},
      {"PixelWidth 2^32", file(info() + el(Tracks, track(1, 1, "V", el(Video, uint_el(PixelWidth, 1ull << 32))))), true,
       "PixelWidth is too large"},
      {"StereoMode 4", file(info() + el(Tracks, track(1, 1, "V", el(Video, uint_el(0x53B8, 4))))), true,
       "Invalid stereo mode"},
      {"AspectRatioType 3", file(info() + el(Tracks, track(1, 1, "V", el(Video, uint_el(0x54B3, 3))))), true,
       "Invalid AspectRatioType: 3"},
      {"integer of 9 bytes", file(info() + el(Tracks, el(TrackEntry, el(TrackNumber, Bytes(9, '\1'))))), true,
       "Unsupported integer size in readUInt: 9"},
      {"CodecPrivate not zlib", file(info() + el(Tracks, track(1, 1, "V", encoding(2, 0) + el(CodecPrivate, "xyz")))), true,
       "invalid compressed data in CodecPrivate"},
      {"CueTrack 300", file(info() + kTracks1 + el(Cues, el(CuePoint, el(CueTrackPositions, uint_el(CueTrack, 300))))),
       true, "CueTrack points to an invalid track: 300"},
      {"ID cut short", ebml_header() + id(Segment) + unknown_size() + info() + "\x42", true, "Got EOF while reading EBML ID"},
      {"size cut short", ebml_header() + id(Segment) + unknown_size() + info() + id(Tracks) + "\x40", true,
       "Got EOF while reading EBML unsigned integer"},
      {"Tracks cut short", ebml_header() + id(Segment) + unknown_size() + info() + id(Tracks) + vint(100), true,
       "Unexpected EOF while reading EBML container"},
      {"clean", file(ok_rest), true, nullptr},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o(c.bytes, false);
    ASSERT_EQ(o.mf != nullptr, c.opens) << o.error;
    const char* text = o.mf ? mkv_GetLastError(o.mf) : o.error.c_str();
    if (c.message) {
      EXPECT_STREQ(text, c.message);
    } else {
      EXPECT_EQ(text, nullptr);
    }
    if (o.mf) {
      EXPECT_EQ(mkv_GetFileInfo(o.mf)->TimecodeScale, 1000000u);  // also after a scale of 0
    }
  }
  mkv_Close(nullptr);
}

TEST(MatroskaOpen, ErrorBufferAndAllocationFailures) {
  // The copy rule: at most size - 1 characters, always terminated; size 0
  // writes nothing.
  MemStream webm(file(info(), ebml_header("webm")));
  for (unsigned len : {0u, 1u, 6u}) {
    char buf[8] = "xxxxxxx";
    EXPECT_EQ(mkv_OpenEx(webm.io(), 0, 0, buf, len), nullptr);
    EXPECT_STREQ(buf, len == 0 ? "xxxxxxx" : len == 1 ? "" : "Unsup");
  }
  EXPECT_TRUE(webm.live.empty());

  // Every allocation failing in turn: a clean null with one of the memory
  // messages, or a file with less in it; nothing held afterwards.
  const Bytes chapters =
      el(Chapters, el(EditionEntry, el(ChapterAtom, uint_el(ChapterUID, 5) + el(ChapDisplay, el(ChapString, "c")) +
                                                        el(ChapterAtom, el(ChapDisplay, el(ChapString, "d"))))));
  const Bytes tags = el(Tags, el(0x7373, el(0x63C0, uint_el(0x63C5, 1001)) + el(0x67C8, el(0x45A3, "N") + el(0x4487, "V"))));
  const Bytes attachments = el(Attachments, el(0x61A7, el(0x466E, "a.txt") + el(0x4660, "text/plain") + el(0x465C, "hi")) +
                                                el(0x61A7, el(0x466E, "no data.txt")));
  const Bytes clusters = cluster(0, simple(1, 0, "abc")) + cluster(40, simple(2, 0, "def"));
  const Bytes cues = el(Cues, el(CuePoint, uint_el(CueTime, 40) + el(CueTrackPositions, uint_el(CueTrack, 1) +
                                                                                            uint_el(CueClusterPosition, 9))));
  const Bytes rich = file(info(1000000, el(Title, "t")) +
                          el(Tracks, track(1, 1, "V_TEST", el(Name, "v")) + track(2, 2, "A_TEST")) + chapters + tags +
                          attachments + clusters + cues);
  for (long n = 0;; ++n) {
    MemStream s(rich);
    s.fail_after = n;
    char err[128] = "";
    MatroskaFile* mf = mkv_OpenEx(s.io(), 0, 0, err, sizeof err);
    if (!mf) {
      EXPECT_TRUE(strcmp(err, "Out of memory") == 0 || strcmp(err, "Out of memory in ArrayAlloc") == 0 ||
                  strcmp(err, "Ouf of memory") == 0)
          << n << ": " << err;
    } else {
      AttachmentRecord* at;
      unsigned count;
      if (mkv_GetAttachments(mf, &at, &count) == 1) {
        EXPECT_STREQ(at[0].Name, "a.txt");  // the file without FileData is left out
      } else {
        EXPECT_EQ(count, 0u) << n;  // memory ran out on the way
      }
      read_frames(mf);
      mkv_SeekTrack(mf, 0, 40000000, 0);
      read_frames(mf);
      mkv_Close(mf);
    }
    EXPECT_TRUE(s.live.empty()) << n << " allocations: " << s.live.size() << " blocks left";
    EXPECT_FALSE(s.bad_free);
    if (s.allocations < n) break;  // nothing failed any more
  }
}

TEST(MatroskaOpen, SegmentAtABasePosition) {
  const Bytes junk = "not a header";
  const Bytes f = junk + el(Segment, info() + kTracks1 + cluster(0, simple(1, 0, "abc")));
  MemStream s(f);
  char err[128] = "";
  EXPECT_EQ(mkv_OpenEx(s.io(), 0, 0, err, sizeof err), nullptr);
  EXPECT_STREQ(err, "First element in file is not EBML");
  MatroskaFile* mf = mkv_OpenEx(s.io(), junk.size(), 0, err, sizeof err);
  ASSERT_NE(mf, nullptr) << err;
  EXPECT_EQ(read_frames(mf).size(), 1u);
  mkv_Close(mf);
  EXPECT_TRUE(s.live.empty());
}

TEST(MatroskaOpen, TruncatedAtEveryByteOfTheHeaderAndTracks) {
  const Bytes entries[] = {track(1, 1, "V_MPEG4/ISO/AVC", el(CodecPrivate, Bytes("\x01\x64\x00\x1f", 4)) +
                                                              el(Video, uint_el(PixelWidth, 160) + uint_el(PixelHeight, 120))),
                           track(2, 2, "A_AAC", el(Language, "ger") + el(Audio, float_el(SamplingFrequency, 48000))),
                           track(3, 17, "S_TEXT/UTF8", el(Name, "subtitles"))};
  const Bytes head = ebml_header() + id(Segment) + unknown_size() + info();
  const Bytes tracks = el(Tracks, entries[0] + entries[1] + entries[2]);
  const Bytes whole = head + tracks + cluster(0, simple(1, 0, "abc"));
  const size_t tracks_data = head.size() + tracks.size() - (entries[0].size() + entries[1].size() + entries[2].size());
  for (size_t cut = 0; cut <= head.size() + tracks.size(); ++cut) {
    SCOPED_TRACE(cut);
    Opened o(whole.substr(0, cut), false);
    if (cut < head.size()) {  // a failure with its message, or a file without tracks
      if (o.mf) {
        EXPECT_EQ(mkv_GetNumTracks(o.mf), 0u);
      } else {
        EXPECT_FALSE(o.error.empty());
      }
      continue;
    }
    ASSERT_NE(o.mf, nullptr) << o.error;
    unsigned complete = 0;
    for (size_t end = tracks_data, i = 0; i < 3 && (end += entries[i].size()) <= cut; ++i) ++complete;
    EXPECT_EQ(mkv_GetNumTracks(o.mf), complete);
    for (unsigned i = 0; i < mkv_GetNumTracks(o.mf); ++i) EXPECT_EQ(mkv_GetTrackInfo(o.mf, i)->Number, i + 1);
  }
}

TEST(MatroskaOpen, ClusterWhereTheSeekHeadNamesCuesBecomesTheFirstCluster) {
  // The walk ends at the damage after the SeekHead; the cluster is only
  // reached through the Cues entry.
  const Bytes body = info() + kTracks1;
  const Bytes c = cluster(0, simple(1, 0, "abc") + simple(1, 40, "def"));
  const size_t sh = seekhead({{Info, 0}, {Tracks, 0}, {Cues, 0}}).size() + 1;
  const Bytes f = file(seekhead({{Info, sh}, {Tracks, sh + info().size()}, {Cues, sh + body.size()}}) + Bytes(1, '\0') +
                       body + c);
  Opened o(f, false);
  ASSERT_NE(o.mf, nullptr) << o.error;
  EXPECT_EQ(read_frames(o.mf).size(), 2u);
  mkv_SeekTrack(o.mf, 0, 40000000, 0);
  const auto frames = read_frames(o.mf);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].pos, f.find("def"));
  CueEntry* cues;
  unsigned n;
  ASSERT_EQ(mkv_GetCues(o.mf, &cues, &n), 1u);
  EXPECT_EQ(cues[0].Position, sh + body.size());
}

// A child of Info that cannot be read is passed over by its size and the
// rest of Info read: the scale after it holds, found by the walk or
// through the SeekHead. Where Info's own structure fails, the open fails:
// it never goes on with part of Info.
TEST(MatroskaOpen, InfoChildThatCannotBeReadIsPassedOver) {
  const struct {
    const char* name;
    Bytes child;
    const char* message;
  } unreadable[] = {
      {"SegmentUID of 8 bytes", el(SegmentUID, "12345678"), "SegmentUID size is not 16 bytes"},
      {"PrevUID of 15 bytes", el(0x3CB923, Bytes(15, 'p')), "PrevUID size is not 16 bytes"},
      {"NextUID of 17 bytes", el(0x3EB923, Bytes(17, 'n')), "NextUID size is not 16 bytes"},
      {"Duration of 3 bytes", el(Duration, "abc"), "Invalid float size in readFloat: 3"},
      {"DateUTC of 9 bytes", el(0x4461, Bytes(9, '\1')), "Unsupported integer size in readUInt: 9"},
      {"TimecodeScale of 9 bytes", el(TimecodeScale, Bytes(9, '\1')), "Unsupported integer size in readUInt: 9"},
      {"TimecodeScale 0", uint_el(TimecodeScale, 0), "Segment timecode scale is zero"},
      {"TimecodeScale of size 0", el(TimecodeScale, ""), "Segment timecode scale is zero"},
  };
  for (const auto& c : unreadable) {
    const Bytes info_el = el(Info, c.child + uint_el(TimecodeScale, 100000) + el(Title, "after"));
    for (bool through_seekhead : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (through_seekhead ? ", through the SeekHead" : ", in the walk"));
      Opened o(through_seekhead ? seeked(info_el, kTracks1) : file(info_el + kTracks1 + cluster(0, simple(1, 0, "abc"))),
               false);
      ASSERT_NE(o.mf, nullptr) << o.error;
      EXPECT_EQ(mkv_GetFileInfo(o.mf)->TimecodeScale, 100000u);
      EXPECT_STREQ(mkv_GetFileInfo(o.mf)->Title, "after");
      EXPECT_STREQ(mkv_GetLastError(o.mf), c.message);
    }
  }
  const Bytes head = ebml_header() + id(Segment) + unknown_size();
  const struct {
    const char* name;
    Bytes bytes;
    const char* message;
  } broken[] = {
      {"child running past Info",
       file(el(Info, el_sized(SegmentUID, 40, "") + uint_el(TimecodeScale, 100000)) + kTracks1), nullptr},
      {"child ID cut by the end of the file", head + id(Info) + vint(20) + uint_el(TimecodeScale, 100000) + "\x2A",
       "Got EOF while reading EBML ID"},
      {"child size 0", head + id(Info) + vint(20) + uint_el(TimecodeScale, 100000) + id(Title) + Bytes(1, '\0'),
       "Invalid first byte of EBML integer: 0"},
      {"Info cut by the end of the file", head + id(Info) + vint(20) + uint_el(TimecodeScale, 100000),
       "Unexpected EOF while reading EBML container"},
  };
  for (const auto& c : broken) {
    SCOPED_TRACE(c.name);
    Opened o(c.bytes, false);
    EXPECT_EQ(o.mf, nullptr);
    if (c.message) {
      EXPECT_EQ(o.error, c.message);
    }
    EXPECT_FALSE(o.error.empty());
  }
  // A file found by an outside check: mkvinfo reads the scale after the
  // 8-byte SegmentUID.
  const std::string shared = std::string(SHARED_TESTDATA) + "/mkv-finds/info_partial.mkv";
  if (!tu::exists(shared)) GTEST_SKIP() << "no " << shared;
  const std::string listing = tu::run("mkvinfo " + tu::q(shared)).out;
  const size_t at = listing.find("Timestamp scale: ");
  ASSERT_NE(at, std::string::npos) << listing;
  const uint64_t scale = std::stoull(listing.substr(at + 17));
  ASSERT_EQ(scale, 100000u);
  Opened o(shared);
  ASSERT_NE(o.mf, nullptr) << o.error;
  EXPECT_EQ(mkv_GetFileInfo(o.mf)->TimecodeScale, scale);
  EXPECT_STREQ(mkv_GetLastError(o.mf), "SegmentUID size is not 16 bytes");
}

// ---------------------------------------------------------------- tracks and floats

TEST(MatroskaTracks, RecordsDefaultsAndLeftOutEntries) {
  const Bytes expanded = payload(1000, 3);
  const Bytes entries =
      track(1, 1, "V_ONE", uint_el(DefaultDuration, 41708333) + el(Video, uint_el(PixelWidth, 1920) + uint_el(PixelHeight, 1080))) +
      track(2, 2, "A_TWO", el(Language, "fre") + el(Name, "Commentary") +
                               el(Audio, float32_el(SamplingFrequency, 48000) + uint_el(Channels, 6))) +
      track(3, 2, "A_ENCRYPTED", encoding(1, 0, "", 1)) +
      el(TrackEntry, uint_el(TrackNumber, 4) + uint_el(TrackType, 2) + el(CodecID, "A_TWO_ENCODINGS") +
                         el(ContentEncodings, el(ContentEncoding, "") + el(ContentEncoding, ""))) +
      el(TrackEntry, uint_el(TrackNumber, 5) + uint_el(TrackUID, 1001) + uint_el(TrackType, 1) + el(CodecID, "V_SAME_UID")) +
      track(6, 1, "V_STRIPPED", encoding(1, 3, Bytes("\x00\x00\x01", 3)) + el(Language, "deutsch")) +
      track(7, 2, "A_ZLIB_PRIVATE", encoding(2, 0) + el(CodecPrivate, deflated(expanded))) +
      el(TrackEntry, uint_el(TrackNumber, 8) + uint_el(TrackType, 2) + el(CodecID, "A_UID0") + el(Audio, "")) +
      el(TrackEntry, uint_el(TrackNumber, 9) + uint_el(TrackType, 2) + el(CodecID, "A_UID0") + el(CodecPrivate, "") +
                         el(ContentEncodings, el(ContentEncoding, el(ContentCompression, el(ContentCompSettings, ""))))) +
      track(10, 2, "A_ZLIB_FRAMES", encoding(1, 0));
  Opened o(file(info() + el(Tracks, entries)), false);
  ASSERT_NE(o.mf, nullptr) << o.error;
  ASSERT_EQ(mkv_GetNumTracks(o.mf), 7u);
  EXPECT_EQ(mkv_GetTrackInfo(o.mf, 7), nullptr);
  const char* codecs[] = {"V_ONE", "A_TWO", "V_STRIPPED", "A_ZLIB_PRIVATE", "A_UID0", "A_UID0", "A_ZLIB_FRAMES"};
  for (unsigned i = 0; i < 7; ++i) EXPECT_STREQ(mkv_GetTrackInfo(o.mf, i)->CodecID, codecs[i]);

  const TrackInfo* v = mkv_GetTrackInfo(o.mf, 0);
  EXPECT_EQ(v->DefaultDuration, 41708333u);
  EXPECT_STREQ(v->Language, "eng");
  EXPECT_EQ(v->Name, nullptr);
  EXPECT_EQ(v->AV.Video.DisplayWidth, 1920u);
  EXPECT_EQ(v->AV.Video.DisplayHeight, 1080u);
  EXPECT_TRUE(v->Enabled && v->Default && v->Lacing && !v->CompEnabled);
  EXPECT_EQ(v->TimecodeScale, int64_t(1) << 32);
  // FlagInterlaced: 1 interlaced, 2 progressive (as ffmpeg writes), 0 not known.
  for (unsigned flag : {0u, 1u, 2u}) {
    Opened f(file(info() + el(Tracks, track(1, 1, "V", el(Video, uint_el(0x9A, flag))))), false);
    ASSERT_NE(f.mf, nullptr) << f.error;
    EXPECT_EQ(mkv_GetTrackInfo(f.mf, 0)->AV.Video.Interlaced, flag == 1 ? 1u : 0u) << flag;
  }

  const TrackInfo* a = mkv_GetTrackInfo(o.mf, 1);
  EXPECT_STREQ(a->Language, "fre");
  EXPECT_STREQ(a->Name, "Commentary");
  EXPECT_EQ(mkv_TruncFloat(a->AV.Audio.SamplingFreq), 48000);
  EXPECT_EQ(a->AV.Audio.OutputSamplingFreq, a->AV.Audio.SamplingFreq);
  EXPECT_EQ(a->AV.Audio.Channels, 6);

  const TrackInfo* s = mkv_GetTrackInfo(o.mf, 2);
  EXPECT_TRUE(s->CompEnabled);
  EXPECT_EQ(s->CompMethod, unsigned(MKV_COMP_STRIP));
  EXPECT_EQ(Bytes(static_cast<const char*>(s->CompMethodPrivate), s->CompMethodPrivateSize), Bytes("\x00\x00\x01", 3));
  EXPECT_STREQ(s->Language, "deu");

  const TrackInfo* z = mkv_GetTrackInfo(o.mf, 3);
  EXPECT_FALSE(z->CompEnabled);  // only the codec private data was compressed
  EXPECT_EQ(Bytes(static_cast<const char*>(z->CodecPrivate), z->CodecPrivateSize), expanded);

  const TrackInfo* u = mkv_GetTrackInfo(o.mf, 4);  // an empty Audio element: the defaults
  EXPECT_EQ(u->AV.Audio.Channels, 1);
  EXPECT_EQ(mkv_TruncFloat(u->AV.Audio.SamplingFreq), 8000);
  EXPECT_EQ(mkv_GetTrackInfo(o.mf, 5)->AV.Audio.Channels, 0);  // no Audio element: nothing to default
  EXPECT_TRUE(mkv_GetTrackInfo(o.mf, 6)->CompEnabled);
  EXPECT_EQ(mkv_GetLastError(o.mf), nullptr);
}

// Codec private data expands within one budget for the whole file, all
// tracks together (16 MiB): beyond it the open fails, naming the track.
TEST(MatroskaTracks, ExpandedCodecPrivateHasOneBudgetForTheFile) {
  const size_t MiB = size_t(1) << 20;
  auto tracks = [](const std::vector<Bytes>& expanded) {
    Bytes t;
    for (size_t i = 0; i < expanded.size(); ++i)
      t += track(unsigned(i + 1), 2, "A_ZLIB_PRIVATE", encoding(2, 0) + el(CodecPrivate, deflated(expanded[i])));
    return file(info() + el(Tracks, t + track(unsigned(expanded.size() + 1), 1, "V_PLAIN")));
  };
  const struct {
    const char* name;
    std::vector<Bytes> expanded;
    const char* message;  // null: the file opens
  } cases[] = {
      {"one track of 16 MiB and a byte", {Bytes(16 * MiB + 1, 'z')},
       "Expanded CodecPrivate of all tracks exceeds 16777216 bytes (track 1)"},
      {"two tracks of 9 MiB", {Bytes(9 * MiB, 'a'), Bytes(9 * MiB, 'b')},
       "Expanded CodecPrivate of all tracks exceeds 16777216 bytes (track 2)"},
      {"four tracks of 4 MiB", {Bytes(4 * MiB, 'a'), Bytes(4 * MiB, 'b'), Bytes(4 * MiB, 'c'), Bytes(4 * MiB, 'd')},
       nullptr},
      {"tracks of a few hundred bytes", {payload(300, 1), payload(700, 2)}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o(tracks(c.expanded), false);
    if (c.message) {
      EXPECT_EQ(o.mf, nullptr);
      EXPECT_EQ(o.error, c.message);
      continue;
    }
    ASSERT_NE(o.mf, nullptr) << o.error;
    ASSERT_EQ(mkv_GetNumTracks(o.mf), c.expanded.size() + 1);
    for (unsigned i = 0; i < c.expanded.size(); ++i) {
      const TrackInfo* t = mkv_GetTrackInfo(o.mf, i);
      EXPECT_EQ(Bytes(static_cast<const char*>(t->CodecPrivate), t->CodecPrivateSize), c.expanded[i]) << i;
    }
    EXPECT_EQ(mkv_GetLastError(o.mf), nullptr);
  }
}

// A file found by an outside check: 64 tracks, each 16 KB of zlib data that
// expands to 16 MiB. The open fails at the second track, at once, holding
// the budget's bytes and not the gigabyte.
TEST(MatroskaTracks, SixtyFourTracksOfSixteenMegabytesEach) {
  const std::string shared = std::string(SHARED_TESTDATA) + "/mkv-finds/big_zlib64.mkv";
  if (!tu::exists(shared)) GTEST_SKIP() << "no " << shared;
  const auto t0 = std::chrono::steady_clock::now();
  Opened o(shared);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(o.mf, nullptr);
  EXPECT_EQ(o.error, "Expanded CodecPrivate of all tracks exceeds 16777216 bytes (track 2)");
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(seconds, 30.0);
#else
  EXPECT_LT(seconds, 5.0);
#endif
  EXPECT_TRUE(o.stream->live.empty());
}

TEST(MatroskaTracks, SixtyFiveEntriesListSixtyFour) {
  Bytes entries;
  for (unsigned n = 1; n <= 65; ++n) entries += track(n, 2, "A_" + std::to_string(n));
  Opened o(file(info() + el(Tracks, entries)), false);
  ASSERT_NE(o.mf, nullptr);
  EXPECT_EQ(mkv_GetNumTracks(o.mf), 64u);
  EXPECT_STREQ(mkv_GetTrackInfo(o.mf, 63)->CodecID, "A_64");
}

TEST(MatroskaTracks, FloatsBecomeFixedPoint) {
  const uint64_t one = uint64_t(1) << 32;
  struct {
    Bytes element;
    int64_t want;
  } cases[] = {
      {float32_el(TrackTimecodeScale, 1.0f), int64_t(one)},
      {float32_el(TrackTimecodeScale, -2.0f), -int64_t(2 * one)},
      {float32_el(TrackTimecodeScale, 0.5f), 0x80000000},
      {float32_el(TrackTimecodeScale, 1e-40f), 0},  // subnormal
      {el(TrackTimecodeScale, Bytes("\x7F\x80\x00\x00", 4)), INT64_MAX},  // +infinity
      {el(TrackTimecodeScale, Bytes("\xFF\xC0\x00\x01", 4)), INT64_MIN},  // NaN with the sign bit
      {float32_el(TrackTimecodeScale, 2147483648.0f), INT64_MAX},
      {float32_el(TrackTimecodeScale, -2147483648.0f), INT64_MIN},
      {float_el(TrackTimecodeScale, 25.0), int64_t(25 * one)},
      {float_el(TrackTimecodeScale, -25.0), -int64_t(25 * one)},
      {float_el(TrackTimecodeScale, 2147483648.0), INT64_MAX},
      {float_el(TrackTimecodeScale, -2147483648.0), INT64_MIN},
      {float_el(TrackTimecodeScale, 1e-300), 0},
  };
  for (const auto& c : cases) {
    Opened o(file(info() + el(Tracks, track(1, 1, "V", c.element))), false);
    ASSERT_NE(o.mf, nullptr);
    ASSERT_EQ(mkv_GetNumTracks(o.mf), 1u);
    EXPECT_EQ(mkv_GetTrackInfo(o.mf, 0)->TimecodeScale, c.want) << c.want;
  }
  EXPECT_EQ(mkv_TruncFloat(-0x80000000LL), -1);
  // Duration 2.5 at 1 ms per unit; without the read-ahead it stays.
  Opened d(file(info(1000000, float_el(Duration, 2.5) + el(Title, "first") + el(Title, "second")) + kTracks1 +
                cluster(0, simple(1, 0, "abc"))),
           false, MKVF_AVOID_SEEKS);
  ASSERT_NE(d.mf, nullptr);
  EXPECT_EQ(mkv_GetFileInfo(d.mf)->Duration, 2500000u);
  EXPECT_STREQ(mkv_GetFileInfo(d.mf)->Title, "second");  // the first is released (no leak)
  mkv_SeekTrack(d.mf, 0, 1, 0);  // seeks do nothing with MKVF_AVOID_SEEKS
  EXPECT_EQ(read_frames(d.mf).size(), 1u);
}

// ---------------------------------------------------------------- frames

struct Want {
  unsigned track;
  uint64_t start_ms, end_ms;  // end UINT64_MAX: same as start
  Bytes data;                 // the frame's bytes, found in the file
  size_t offset;              // of the frame inside data's first occurrence
  unsigned size;
  unsigned flags;
};

void expect_frames(const Bytes& f, std::vector<Want> want, const std::vector<Frame>& got) {
  // Each track's frames come in file order; across tracks the earliest
  // start first, the lower track index on a tie.
  std::stable_sort(want.begin(), want.end(), [](const Want& a, const Want& b) {
    return a.start_ms != b.start_ms ? a.start_ms < b.start_ms : a.track < b.track;
  });
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(i);
    const Want& w = want[i];
    const size_t at = f.find(w.data);
    ASSERT_NE(at, Bytes::npos);
    EXPECT_EQ(got[i].track, w.track);
    EXPECT_EQ(got[i].start, w.start_ms * 1000000);
    EXPECT_EQ(got[i].end, (w.end_ms == UINT64_MAX ? w.start_ms : w.end_ms) * 1000000);
    EXPECT_EQ(got[i].pos, at + w.offset);
    EXPECT_EQ(got[i].size, w.size);
    EXPECT_EQ(got[i].flags, w.flags);
  }
}

constexpr unsigned KF = FRAME_KF, UE = FRAME_UNKNOWN_END, US = FRAME_UNKNOWN_START, GAP = FRAME_GAP,
                   BS = FRAME_BEFORE_SKIP, AS = FRAME_AFTER_SKIP;
constexpr uint64_t SAME = UINT64_MAX;

TEST(MatroskaFrames, LacingTimesFlagsAndAdditions) {
  const Bytes tracks = el(Tracks, track(1, 1, "V", uint_el(DefaultDuration, 40000000)) +
                                      track(2, 2, "A", uint_el(DefaultDuration, 10000000)) + track(3, 2, "B"));
  const Bytes p1 = payload(20, 1), x = payload(285, 2), fx = payload(10, 3), e = payload(317, 4), g = payload(4, 5),
              nk = payload(6, 6), bg = payload(8, 7), ba = payload(5, 8), add = payload(7, 9), e1 = payload(8, 10),
              c1 = payload(9, 11), c2 = payload(9, 12), unknown = payload(9, 13);
  const Bytes c0 =
      simple(1, 0, p1) +
      el(SimpleBlock, block(2, 0, 0x82, "\x01\xFF\x0A" + x)) +           // Xiph, 2 frames: 255+10, rest
      el(SimpleBlock, block(3, 5, 0x84, "\x02" + fx)) +                  // fixed, 3 frames of 10 / 3 bytes
      el(SimpleBlock, block(2, 20, 0x86, "\x03\xE4\xB5\xDD" + e)) +      // EBML, 4 frames: 100, -10, +30, rest
      el(SimpleBlock, block(3, 10, 0x81, g)) +                           // gap flag
      simple(1, 40, nk, false) + simple(9, 50, unknown) +                // not a key frame; unknown track
      el(BlockGroup, el(Block, block(1, 80, 0, bg)) + uint_el(BlockDuration, 20) + el(ReferenceBlock, "\xD8")) +
      el(BlockGroup, el(Block, block(1, 120, 0, ba)) +
                         el(BlockAdditions, el(BlockMore, uint_el(BlockAddID, 5) + el(BlockAdditional, add)))) +
      el(SimpleBlock, block(3, 15, 0x86, Bytes("\x00\x85", 2) + e1));            // EBML with one frame: its size is 5
  const Bytes f = file(info() + tracks + cluster(0, c0) + cluster(1000, simple(2, 0, c2) + simple(1, 0, c1)));
  Opened o(f, false);
  ASSERT_NE(o.mf, nullptr) << o.error;
  expect_frames(f,
                {{0, 0, 40, p1, 0, 20, KF},
                 {1, 0, 10, x, 0, 265, KF},
                 {1, 10, 20, x, 265, 20, KF},
                 {2, 5, SAME, fx, 0, 3, KF | UE},
                 {2, 5, SAME, fx, 3, 3, KF | UE | US},
                 {2, 5, SAME, fx, 6, 3, KF | UE | US},
                 {1, 20, 30, e, 0, 100, KF},
                 {1, 30, 40, e, 100, 90, KF},
                 {1, 40, 50, e, 190, 120, KF},
                 {1, 50, 60, e, 310, 7, KF},
                 {2, 10, SAME, g, 0, 4, KF | UE | GAP},
                 {0, 40, 80, nk, 0, 6, 0},
                 {0, 80, 100, bg, 0, 8, 0},
                 {0, 120, 160, ba, 0, 5, KF},
                 {0, 120, SAME, add, 0, 7, (5u << FRAME_STREAM_SHIFT) | US | UE},
                 {2, 15, SAME, e1, 0, 5, KF | UE},
                 {0, 1000, 1040, c1, 0, 9, KF},
                 {1, 1000, 1010, c2, 0, 9, KF}},
                read_frames(o.mf));
  EXPECT_EQ(mkv_GetLastError(o.mf), nullptr);
  EXPECT_EQ(mkv_GetFileInfo(o.mf)->Duration, 1040000000u);  // the last video frame's end

  // A masked track is not queued; the call's own mask passes over track 0.
  mkv_SeekTrack(o.mf, 0, 0, 0);
  mkv_SetTrackMask(o.mf, 2);  // track index 1
  for (const Frame& fr : read_frames(o.mf, SIZE_MAX, 1)) EXPECT_EQ(fr.track, 2u);
  EXPECT_EQ(mkv_GetSegmentTop(o.mf), f.size());
}

// Three clusters of one video track; the middle one damaged by damage(),
// which the frames on either side of it are marked with.
struct Damaged {
  Bytes a1 = payload(30, 21), a2 = payload(30, 22), b1 = payload(30, 23), c1 = payload(30, 24);
  Bytes bytes(const Bytes& damage, bool known_segment_size = true) const {
    const Bytes seg = info() + kTracks1 + cluster(0, simple(1, 0, a1) + simple(1, 40, a2)) +
                      cluster(100, simple(1, 0, b1) + damage) + cluster(200, simple(1, 0, c1));
    return ebml_header() + id(Segment) + (known_segment_size ? vint(seg.size(), 8) : unknown_size()) + seg;
  }
};

TEST(MatroskaFrames, DamageResynchronisesAtTheNextCluster) {
  const Damaged d;
  struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"lace sizes past the block", d.bytes(el(SimpleBlock, block(1, 40, 0x82, "\x03\xFF\xFF\xFF\x0A" + payload(20, 30))))},
      {"EBML lace size past the block", d.bytes(el(SimpleBlock, block(1, 40, 0x86, "\x01\x40\x64" + payload(20, 30))))},
      {"negative EBML lace size", d.bytes(el(SimpleBlock, block(1, 40, 0x86, "\x02\x85\x80" + payload(20, 30))))},
      {"block header past the block", d.bytes(el(SimpleBlock, "\x81"))},
      {"element size 2^50", d.bytes(el_sized(Void, uint64_t(1) << 50, "junk"))},
      {"element size 2^50, unknown segment size", d.bytes(el_sized(Void, uint64_t(1) << 50, "junk"), false)},
      {"block size 2^50", d.bytes(el_sized(SimpleBlock, uint64_t(1) << 50, block(1, 40, 0x80, "x")), false)},
      {"block of 2^31 bytes in a cluster of 2^40", [&] {
         const Bytes seg = info() + kTracks1 + cluster(0, simple(1, 0, d.a1) + simple(1, 40, d.a2)) + id(Cluster) +
                           vint(uint64_t(1) << 40, 8) + uint_el(Timecode, 100) + simple(1, 0, d.b1) +
                           el_sized(SimpleBlock, uint64_t(1) << 31, block(1, 40, 0x80, "x")) + cluster(200, simple(1, 0, d.c1));
         return ebml_header() + id(Segment) + unknown_size() + seg;
       }()},
      {"garbage bytes", d.bytes(Bytes(64, '\xFF'))},
      {"track number 256", d.bytes(el(SimpleBlock, block(256, 40, 0x80, "xyz")))},
      {"BlockGroup without Block", d.bytes(el(BlockGroup, uint_el(BlockDuration, 3)))},
      {"garbage, then a cluster of unknown size",
       d.bytes(Bytes(10, '\x05') + id(Cluster) + unknown_size() + uint_el(Timecode, 150) + simple(1, 0, "lost"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o(c.bytes, false);
    ASSERT_NE(o.mf, nullptr) << o.error;
    expect_frames(c.bytes,
                  {{0, 0, 40, d.a1, 0, 30, KF}, {0, 40, 80, d.a2, 0, 30, KF}, {0, 100, 140, d.b1, 0, 30, KF | BS},
                   {0, 200, 240, d.c1, 0, 30, KF | AS}},
                  read_frames(o.mf));
  }
}

// What reading passed over and whether it stopped: elements of the top
// level after the clusters end them, whatever their size or state; damage
// that a cluster follows is passed over, from the end of the last element
// read whole to that cluster (a cluster that fails at once lengthens the
// stretch); damage with no cluster after it stops the reading unless the
// clusters had ended before it.
TEST(MatroskaFrames, ReadDamageTellsWhatWasPassedOverAndWhetherReadingStopped) {
  const Damaged d;
  const Bytes head = info() + kTracks1;
  const Bytes clusters = cluster(0, simple(1, 0, d.a1) + simple(1, 40, d.a2)) + cluster(100, simple(1, 0, d.b1));
  const Bytes garbage = "\x05" + payload(40, 50);
  const Bytes last = cluster(200, simple(1, 0, d.c1));
  // Tags named by a SeekHead right after the clusters, damaged at their ID.
  const size_t sh = seekhead({{Tags, 0}}).size();
  const Bytes named = file(seekhead({{Tags, sh + head.size() + clusters.size()}}) + head + clusters + garbage);
  const Bytes cover = el(Attachments, el(0x61A7, el(0x466E, "cover.jpg") + el(0x465C, Bytes(5 << 20, 'j'))));
  const Bytes c300 = cluster(300, simple(1, 0, payload(30, 25)));
  const struct {
    const char* name;
    Bytes bytes;
    size_t frames;
    unsigned skipped;
    Bytes skip_from, skip_to;  // the bytes at the first stretch's start and just after its end
    unsigned stopped;
  } cases[] = {
      {"attachments of 5 MB after the clusters", file(head + clusters + cover), 3, 0, "", "", 0},
      {"tags whose size runs past the segment", file(head + clusters + el_sized(Tags, uint64_t(1) << 40, "xx")), 3, 0,
       "", "", 0},
      {"damage where the SeekHead names the tags", named, 3, 0, "", "", 0},
      {"damage after the clusters, nothing named there", file(head + clusters + garbage), 3, 0, "", "", 1},
      {"damage inside the last cluster", file(head + clusters + cluster(200, simple(1, 0, d.c1) + garbage)), 4, 0, "",
       "", 1},
      {"damage inside a cluster", d.bytes(garbage), 4, 1, garbage, last, 0},
      {"damage, then a cluster that fails at once",
       file(head + clusters + garbage + id(Cluster) + vint(3) + "\x05\x05\x05" + last), 4, 1,
       garbage, last, 0},
      {"two stretches", file(head + clusters + garbage + last + garbage + c300), 5, 2, garbage, last, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o(c.bytes, false);
    ASSERT_NE(o.mf, nullptr) << o.error;
    EXPECT_EQ(read_frames(o.mf).size(), c.frames);
    MkvReadDamage damage;
    mkv_GetReadDamage(o.mf, &damage);
    EXPECT_EQ(damage.Skipped, c.skipped);
    EXPECT_EQ(damage.Stopped, c.stopped);
    if (c.skipped) {
      const uint64_t from = c.bytes.find(c.skip_from), to = c.bytes.find(c.skip_to, from);
      EXPECT_EQ(damage.FirstSkipPos, from);
      EXPECT_EQ(damage.FirstSkipBytes, to - from);
      EXPECT_EQ(damage.SkippedBytes, c.skipped * (to - from));  // the stretches here are alike
    }
    // A seek starts a new record.
    mkv_SeekTrack(o.mf, 0, 0, 0);
    mkv_GetReadDamage(o.mf, &damage);
    EXPECT_EQ(damage.Skipped + damage.Stopped, 0u);
  }
  mkv_GetReadDamage(nullptr, nullptr);
}

// A cluster of unknown size is no damage, and no cluster after it can be
// taken for its end: reading stops where it stands, with its position, and
// passes nothing over; a first cluster of unknown size opens the file with
// no frame to read. After a seek reading stops there again.
TEST(MatroskaFrames, ClusterOfUnknownSizeStopsReadingWhereItStands) {
  const Damaged d;
  const Bytes head = info() + kTracks1;
  const Bytes unsized = id(Cluster) + unknown_size(2) + uint_el(Timecode, 100) + simple(1, 0, d.b1);
  const Bytes first = cluster(0, simple(1, 0, d.a1) + simple(1, 40, d.a2)), last = cluster(200, simple(1, 0, d.c1));
  const struct {
    const char* name;
    Bytes bytes;
    size_t frames;
  } cases[] = {
      {"among sized clusters", file(head + first + unsized + last), 2},
      {"first cluster", file(head + unsized + last), 0},
      {"every cluster, in a Segment of unknown size",
       ebml_header() + id(Segment) + unknown_size() + head + unsized + unsized, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o(c.bytes, false);
    ASSERT_NE(o.mf, nullptr) << o.error;
    const uint64_t at = c.bytes.find(unsized);
    for (int pass = 0; pass < 2; ++pass) {
      EXPECT_EQ(read_frames(o.mf).size(), c.frames);
      MkvReadDamage damage;
      mkv_GetReadDamage(o.mf, &damage);
      EXPECT_EQ(damage.UnsizedCluster, at);
      EXPECT_EQ(damage.Stopped, 1u);
      EXPECT_EQ(damage.Skipped, 0u);
      EXPECT_EQ(mkv_GetLastError(o.mf),
                "The cluster at " + std::to_string(at) + " has an unspecified size, which is not supported here.");
      mkv_SeekTrack(o.mf, 0, 0, 0);
      mkv_GetReadDamage(o.mf, &damage);
      EXPECT_EQ(damage.UnsizedCluster, 0u);
    }
  }
}

TEST(MatroskaFrames, MessagesOfReading) {
  const Damaged d;
  // A cluster declared longer than the file: its blocks are cut by its end.
  const Bytes open = ebml_header() + id(Segment) + unknown_size() + info() + kTracks1 + id(Cluster) + vint(50) +
                     uint_el(Timecode, 0) + id(SimpleBlock) + vint(20) + Bytes("\x81\x00\x00", 3);
  const struct {
    Bytes bytes;
    const char* message;
  } cases[] = {
      {d.bytes(el(SimpleBlock, block(256, 40, 0x80, "xyz"))), "Invalid track number in Block: 256"},
      {d.bytes(el(BlockGroup, uint_el(BlockDuration, 3))), "Found a BlockGroup without Block"},
      {file(info() + kTracks1 + el(Cluster, simple(1, 0, "abc"))), "Found BlockGroup before cluster TimeCode"},
      {open, "Unexpected EOF while reading Block flags"},
      {open + "\x82", "Unexpected EOF while reading lacing data"},
  };
  for (const auto& c : cases) {
    Opened o(c.bytes, false);
    ASSERT_NE(o.mf, nullptr);
    read_frames(o.mf);
    EXPECT_STREQ(mkv_GetLastError(o.mf), c.message);
  }
}

// Without cues, the duration is read from the last 13 MB, which begin in
// the middle of a frame: bytes that fail as an element there (05 is no
// first byte of an ID) are no error of the file, before or after reading
// every frame.
TEST(MatroskaFrames, TheLookAtTheEndOfACuelessFileLeavesNoError) {
  Bytes seg = info() + kTracks1;
  const int clusters = 30;
  for (int i = 0; i < clusters; ++i) seg += cluster(40 * i, simple(1, 0, Bytes(1 << 20, '\x05')));
  Opened o(file(seg), false);
  ASSERT_NE(o.mf, nullptr) << o.error;
  EXPECT_EQ(mkv_GetLastError(o.mf), nullptr);
  EXPECT_EQ(read_frames(o.mf).size(), size_t(clusters));
  EXPECT_EQ(mkv_GetLastError(o.mf), nullptr);
  EXPECT_EQ(mkv_GetFileInfo(o.mf)->Duration, 40000000ull * clusters);
}

TEST(MatroskaFrames, BlocksOverFourMegabytesAreFrames) {
  const Bytes big = payload(5 << 20, 60);
  const Bytes f = file(info() + kTracks1 + cluster(0, simple(1, 0, "abc") + simple(1, 40, big)));
  Opened o(f, false);
  ASSERT_NE(o.mf, nullptr);
  const auto frames = read_frames(o.mf);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].size, big.size());
  EXPECT_EQ(frames[1].pos, f.size() - big.size());
}

TEST(MatroskaFrames, AFourthFailureInOneReadEndsIt) {
  // Every cluster after the first is damaged after its first block: three
  // resynchronisations, then the fourth failure ends the reading.
  Bytes seg = info() + kTracks1 + cluster(0, simple(1, 0, payload(9, 70)));
  for (int i = 1; i <= 5; ++i)
    seg += cluster(100 * i, simple(1, 0, payload(9, 70 + i)) + (i < 5 ? Bytes("\x05") : Bytes()));
  Opened o(file(seg), false);
  ASSERT_NE(o.mf, nullptr);
  for (int pass = 0; pass < 2; ++pass) {
    const auto frames = read_frames(o.mf);
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[4].start, 400000000u);
    EXPECT_EQ(read_frames(o.mf).size(), 0u);
    mkv_SeekTrack(o.mf, 0, 0, 0);
  }
  mkv_SeekTrack(o.mf, 0, 500000000, 0);  // past the damage
  EXPECT_EQ(read_frames(o.mf).size(), 1u);
}

TEST(MatroskaFrames, AfterAFailureMinusOneUntilTheNextSeek) {
  const Damaged d;
  const Bytes whole = d.bytes("");
  const Bytes cut = whole.substr(0, whole.find(d.b1) + 10);  // inside b1
  Opened o(cut, false);
  ASSERT_NE(o.mf, nullptr) << o.error;
  for (int round = 0; round < 2; ++round) {
    const auto frames = read_frames(o.mf);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].pos, cut.find(d.a2));
    EXPECT_NE(mkv_GetLastError(o.mf), nullptr);
    const long reads = o.stream->reads;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(read_frames(o.mf).size(), 0u);
    EXPECT_EQ(o.stream->reads, reads);  // nothing is read while the failure stands
    mkv_SeekTrack(o.mf, 0, 0, 0);
  }
  // An I/O error of the stream: its text, cut at 127 characters.
  Opened e(whole, false);
  e.stream->error = std::string(200, 'e');
  e.stream->fail_from = whole.find(d.b1);
  EXPECT_EQ(read_frames(e.mf).size(), 2u);
  EXPECT_EQ(mkv_GetLastError(e.mf), ("I/O Error: " + std::string(200, 'e')).substr(0, 127));
}

TEST(MatroskaFrames, LargeElementBetweenBlocksNamesItsPosition) {
  const Bytes f = ebml_header() + id(Segment) + unknown_size() + info() + kTracks1 + cluster(0, simple(1, 0, "abc")) +
                  id(Void) + vint(4194305, 4) + "xx";
  Opened o(f, false);
  ASSERT_NE(o.mf, nullptr);
  read_frames(o.mf);
  const size_t data = f.size() - 2;
  EXPECT_EQ(std::string(mkv_GetLastError(o.mf)),
            "Element in a cluster is too large around " + std::to_string(data) + ", EC [4194305]");
}

// ---------------------------------------------------------------- cues and seeking

TEST(MatroskaCues, RowsKeptSortedAndCountedFromTheFirstBlock) {
  const Bytes tracks = el(Tracks, track(1, 1, "V", uint_el(DefaultDuration, 40000000)) + track(2, 2, "A"));
  const Bytes clusters[] = {cluster(10, simple(1, 0, payload(5, 1)) + simple(2, 0, payload(5, 2))),
                            cluster(110, simple(1, 0, payload(5, 3))), cluster(210, simple(1, 0, payload(5, 4))),
                            cluster(310, simple(1, 0, payload(5, 5)))};
  auto point = [](int64_t time, unsigned track, uint64_t pos) {
    return el(CuePoint, (time >= 0 ? el(CueTime, be(uint64_t(time), 8)) : "") +
                            el(CueTrackPositions, uint_el(CueTrack, track) + el(CueClusterPosition, be(pos, 8))));
  };
  // Cues before or after the clusters (found through the SeekHead);
  // positions relative to the Segment's data.
  const size_t sh = seekhead({{Cues, 0}}).size();
  auto with_cues = [&](const Bytes& body, const Bytes& cues, bool before) {
    const Bytes head = info() + tracks;
    return file(seekhead({{Cues, sh + head.size() + (before ? 0 : body.size())}}) + head +
                (before ? cues + body : body + cues));
  };
  for (bool before : {false, true}) {
    SCOPED_TRACE(before);
    auto make_cues = [&](const size_t* pos) {
      return el(Cues, point(210, 1, pos[2]) + point(110, 1, pos[1]) + point(310, 1, pos[3]) +
                          point(150, 2, pos[1]) +   // audio: not kept
                          point(160, 7, pos[1]) +   // no such track
                          point(110, 1, 1 << 20) +  // outside the segment
                          point(-1, 1, pos[0]));    // no CueTime: the time before, 110; after B's row
    };
    size_t pos[4] = {0, 0, 0, 0};
    size_t at = sh + info().size() + tracks.size() + (before ? make_cues(pos).size() : 0);
    for (int i = 0; i < 4; ++i) pos[i] = at, at += clusters[i].size();
    Opened o(with_cues(clusters[0] + clusters[1] + clusters[2] + clusters[3], make_cues(pos), before), false);
    ASSERT_NE(o.mf, nullptr) << o.error;
    CueEntry* c;
    unsigned n;
    ASSERT_EQ(mkv_GetCues(o.mf, &c, &n), 5u);
    const uint64_t want[5][2] = {{0, pos[0]}, {100, pos[1]}, {100, pos[0]}, {200, pos[2]}, {300, pos[3]}};
    for (unsigned i = 0; i < n; ++i) {
      EXPECT_EQ(c[i].Time, want[i][0] * 1000000) << i;
      EXPECT_EQ(c[i].Position, want[i][1]) << i;
    }
    // Seek2 rounds down to a cue point; Seek reads on to the time. The
    // call's mask passes over the audio track.
    mkv_Seek2Track(o.mf, 0, 150000000, 0);
    auto frames = read_frames(o.mf, SIZE_MAX, ~1u);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].start, 100000000u);
    mkv_SeekTrack(o.mf, 0, 150000000, 0);
    frames = read_frames(o.mf, SIZE_MAX, ~1u);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].start, 200000000u);
  }
  // Audio points only, and Cues cut inside a point: no table, and the open goes on.
  const Bytes body = clusters[0] + clusters[1];
  Opened a(with_cues(body, el(Cues, point(110, 2, 0)), false), false);
  ASSERT_NE(a.mf, nullptr);
  CueEntry* c;
  unsigned n;
  EXPECT_EQ(mkv_GetCues(a.mf, &c, &n), 0u);
  const Bytes cut = with_cues(body, el(Cues, point(110, 1, 0) + point(10, 1, 0)), false);
  Opened t(cut.substr(0, cut.size() - 5), false);
  ASSERT_NE(t.mf, nullptr);
  EXPECT_EQ(mkv_GetCues(t.mf, &c, &n), 0u);
  EXPECT_EQ(read_frames(t.mf).size(), 3u);
}

// Clusters of at least 1024 bytes, no cues: seeking re-indexes.
Bytes reindexed_file(int16_t first_block, uint64_t first_timecode) {
  Bytes seg = info() + kTracks1;
  for (int i = 0; i < 6; ++i)
    seg += cluster(first_timecode + 100 * i, simple(1, i == 0 ? first_block : 0, payload(1100, char(i))) +
                                                 simple(1, 40, payload(1100, char(50 + i)), false));
  return file(seg);
}

TEST(MatroskaCues, ReindexedRowsAndSeeks) {
  // The first block 5 units before its cluster's timecode, and a cluster
  // timecode of 0 under it: times count from the first block either way.
  for (uint64_t tc : {uint64_t(1000), uint64_t(0)}) {
    SCOPED_TRACE(tc);
    const Bytes f = reindexed_file(-5, tc);
    Opened o(f, false);
    ASSERT_NE(o.mf, nullptr) << o.error;
    const auto all = read_frames(o.mf);
    ASSERT_EQ(all.size(), 12u);
    EXPECT_EQ(all[0].start, 0u);
    EXPECT_EQ(all[1].start, 45000000u);  // the second block of cluster 0, at 40, is 45 ms after the first
    for (uint64_t t : {uint64_t(500000000), uint64_t(105000000), uint64_t(1), uint64_t(305000000)}) {
      mkv_SeekTrack(o.mf, 0, t, 0);
      const auto frames = read_frames(o.mf, 1);
      ASSERT_EQ(frames.size(), 1u) << t;
      const Frame* want = nullptr;
      for (const Frame& a : all)
        if (!want && a.start >= t) want = &a;
      ASSERT_NE(want, nullptr);
      EXPECT_EQ(frames[0].pos, want->pos) << t;
    }
    CueEntry* c;
    unsigned n;
    ASSERT_EQ(mkv_GetCues(o.mf, &c, &n), 5u);  // the last cluster has no row
    for (unsigned i = 1; i < n; ++i) EXPECT_EQ(c[i].Time, 100000000u * i + 5000000) << i;
  }
  // Progress returning 0 stops the scan: the fallback row at time 0.
  Opened s(reindexed_file(0, 0), false);
  s.stream->stop_progress_after = 0;
  mkv_SeekTrack(s.mf, 0, 300000000, 0);
  CueEntry* c;
  unsigned n;
  ASSERT_EQ(mkv_GetCues(s.mf, &c, &n), 1u);
  EXPECT_EQ(c[0].Time, 0u);
  EXPECT_EQ(read_frames(s.mf, 1)[0].start, 300000000u);
}

// ---------------------------------------------------------------- chapters

TEST(MatroskaChapters, TextsDisplaysAndAMegabyteOfNesting) {
  const Bytes atoms = el(ChapterAtom, uint_el(ChapterUID, 1) + uint_el(ChapterTimeStart, 2000000000) +
                                           el(ChapDisplay, el(ChapString, Bytes(2000, 's')) + el(ChapLanguage, "fren")) +
                                           el(ChapDisplay, el(ChapLanguage, "ger")));
  Opened o(file(info() + el(Chapters, el(EditionEntry, atoms)) + kTracks1 + cluster(500, simple(1, 0, "abc"))), false);
  ASSERT_NE(o.mf, nullptr);
  Chapter* ch;
  unsigned n;
  ASSERT_EQ(mkv_GetChapters(o.mf, &ch, &n), 1u);
  EXPECT_EQ(ch[0].Flags, 0);  // an edition is not enabled
  ASSERT_EQ(ch[0].nChildren, 1u);
  const Chapter& a = ch[0].Children[0];
  EXPECT_EQ(a.Flags, MKV_CHAPTER_ENABLED);
  EXPECT_EQ(a.Start, 1500000000u);  // counted from the first block at 500 ms
  ASSERT_EQ(a.nDisplay, 1u);        // the display without a string is dropped
  EXPECT_EQ(strlen(a.Display[0].String), 1023u);
  EXPECT_STREQ(a.Display[0].Language, "fre");

  // Atoms nested a megabyte deep: fixed 8-byte sizes, written outside in.
  const Bytes uid = uint_el(ChapterUID, 7);
  const size_t levels = (1 << 20) / (uid.size() + 9);
  std::vector<uint64_t> sizes(levels);
  for (size_t k = 0; k < levels; ++k) sizes[k] = uid.size() + (k ? 9 + sizes[k - 1] : 0);
  Bytes nest;
  nest.reserve(levels * (uid.size() + 9));
  for (size_t k = levels; k-- > 0;) nest += id(ChapterAtom) + vint(sizes[k], 8) + uid;
  // Found through the SeekHead and parsed by position: the failure at the
  // depth limit is absorbed there and the rest of the file stays usable.
  const Bytes body = info() + kTracks1 + cluster(0, simple(1, 0, "abc"));
  const size_t sh = seekhead({{Chapters, 0}}).size();
  Opened deep(file(seekhead({{Chapters, sh + body.size()}}) + body + el(Chapters, el(EditionEntry, nest))), false);
  ASSERT_NE(deep.mf, nullptr);
  EXPECT_EQ(read_frames(deep.mf).size(), 1u);
  mkv_GetChapters(deep.mf, &ch, &n);
  unsigned depth = 0;
  for (const Chapter* c = n ? &ch[0] : nullptr; c && c->nChildren; c = &c->Children[0]) ++depth;
  EXPECT_GE(depth, 60u);
  EXPECT_LE(depth, 70u);
}

// A chapter display whose element fails before its string (a child that
// runs past it, after the language) is dropped with the failure: the open
// goes on with the chapters read, and no display lacks its string.
TEST(MatroskaChapters, DisplayThatFailsBeforeItsStringIsDropped) {
  const Bytes failing = el(ChapDisplay, el(ChapLanguage, "fre") + el_sized(ChapString, 40, "x"));
  const Bytes chapters = el(Chapters, el(EditionEntry, el(ChapterAtom, uint_el(ChapterUID, 1) + el(ChapDisplay, el(ChapString, "kept"))) +
                                                          el(ChapterAtom, uint_el(ChapterUID, 2) + failing)));
  Opened o(file(info() + kTracks1 + chapters + cluster(0, simple(1, 0, "abc"))), false);
  ASSERT_NE(o.mf, nullptr) << o.error;
  Chapter* ch;
  unsigned n;
  ASSERT_EQ(mkv_GetChapters(o.mf, &ch, &n), 1u);
  ASSERT_EQ(ch[0].nChildren, 2u);
  ASSERT_EQ(ch[0].Children[0].nDisplay, 1u);
  EXPECT_STREQ(ch[0].Children[0].Display[0].String, "kept");
  EXPECT_EQ(ch[0].Children[1].nDisplay, 0u);
  const char* why = mkv_GetLastError(o.mf);
  EXPECT_EQ(std::string(why ? why : ""),
            "Element 85 at " + std::to_string(o.stream->data.find("\x85\x01")) + " runs past its parent");
}

TEST(MatroskaChapters, TextsCutByTheEndOfTheFileAreTerminated) {
  // Each text element says 100 bytes and the file ends after 10 of them;
  // the records keep what was read, terminated. (Info cut so fails the
  // open: the times of the file hang on it.)
  const Bytes ten = "0123456789";
  const Bytes head = ebml_header() + id(Segment) + unknown_size();
  Opened cut_info(head + id(Info) + vint(200) + id(Title) + vint(100) + ten, false);
  EXPECT_EQ(cut_info.mf, nullptr);
  EXPECT_EQ(cut_info.error, "Unexpected EOF while reading EBML container");
  const Bytes cases[] = {
      head + info() + id(Tags) + vint(300) + id(0x7373) + vint(200) + id(0x67C8) + vint(150) + id(0x45A3) + vint(100) + ten,
      head + info() + id(Chapters) + vint(300) + id(EditionEntry) + vint(250) + id(ChapterAtom) + vint(200) +
          id(ChapDisplay) + vint(150) + id(ChapString) + vint(100) + ten,
  };
  for (const Bytes& f : cases) {
    Opened o(f, false);
    ASSERT_NE(o.mf, nullptr) << o.error;
    EXPECT_STREQ(mkv_GetLastError(o.mf), "Short read: got 0 bytes of 90");
    TagRecord* tags;
    Chapter* ch;
    unsigned n;
    const char* text = mkv_GetFileInfo(o.mf)->Title;
    if (mkv_GetTags(o.mf, &tags, &n)) text = tags[0].SimpleTags[0].Name;
    if (mkv_GetChapters(o.mf, &ch, &n)) text = ch[0].Children[0].Display[0].String;
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(Bytes(text), ten);
  }
}

// ---------------------------------------------------------------- compressed frames

TEST(MatroskaCompressed, ReaderPiecesEndsAndMessages) {
  Bytes big, small;
  for (int i = 0; i < 250; ++i) big += "frame " + std::to_string(1000 + i) + " of twenty";
  for (int i = 0; i < 300; ++i) small += std::to_string(i % 10);
  ASSERT_EQ(big.size(), 5000u);
  const Bytes flushed = deflated(small, 450);  // 2250 bytes that expand to nothing first
  const Bytes tracks = el(Tracks, track(1, 1, "V_ZLIB", encoding(1, 0)) + track(2, 1, "V_PLAIN") +
                                      track(3, 1, "V_STRIP", encoding(1, 3, Bytes(1, '\0'))));
  const Bytes head = info() + tracks + cluster(0, simple(1, 0, deflated(big)) + simple(1, 40, flushed) +
                                                  simple(2, 0, "plain") + simple(3, 0, "strip"));
  const Bytes f = file(head);
  Opened o(f, false);
  ASSERT_NE(o.mf, nullptr) << o.error;
  std::vector<Frame> frames;
  for (const Frame& fr : read_frames(o.mf))
    if (fr.track == 0) frames.push_back(fr);
  ASSERT_EQ(frames.size(), 2u);

  char err[64];
  CompressedFrameReader* cs = cs_Create(o.mf, 0, err, sizeof err);
  ASSERT_NE(cs, nullptr) << err;
  char buf[4096];
  cs_NextFrame(cs, frames[0].pos, frames[0].size);
  Bytes got;
  for (int want : {4096, 904, 0}) {
    const int r = cs_ReadData(cs, buf, sizeof buf);
    EXPECT_EQ(r, want);
    got.append(buf, size_t(std::max(r, 0)));
  }
  EXPECT_EQ(got, big);
  for (unsigned piece : {7u, 4096u}) {  // a run of input that expands to nothing does not end the frame
    cs_NextFrame(cs, frames[1].pos, frames[1].size);
    got.clear();
    for (int r; (r = cs_ReadData(cs, buf, piece)) > 0;) got.append(buf, size_t(r));
    EXPECT_EQ(got, small) << piece;
  }
  cs_NextFrame(cs, f.size() - 10, 100);  // past the end of the file
  EXPECT_EQ(cs_ReadData(cs, buf, sizeof buf), -1);
  EXPECT_STREQ(cs_GetLastError(cs), "File read failed");
  cs_Destroy(cs);
  cs_Destroy(nullptr);

  struct {
    unsigned track, len;
    const char* message;
  } failures[] = {{9, sizeof err, "No such track."}, {9, 6, "No su"}, {1, sizeof err, "Track is not compressed."},
                  {2, sizeof err, "Unsupported compression method."}};
  for (const auto& c : failures) {
    EXPECT_EQ(cs_Create(o.mf, c.track, err, c.len), nullptr);
    EXPECT_STREQ(err, c.message);
  }
  o.stream->fail_after = o.stream->allocations;
  EXPECT_EQ(cs_Create(o.mf, 0, err, sizeof err), nullptr);
  EXPECT_STREQ(err, "Out of memory.");
  o.stream->fail_after = -1;
}

// A frame whose zlib stream ends before its end marker is cut short, not
// complete: it fails with "ZLib error." as other zlib failures do, and no
// read ever returns 0 for it as for a frame's end.
TEST(MatroskaCompressed, FrameCutShortIsAZlibError) {
  Bytes text;
  for (int i = 0; i < 700; ++i) text += "line " + std::to_string(i) + "\n";
  const Bytes whole = deflated(text);
  ASSERT_GT(whole.size(), 100u);
  const struct {
    const char* name;
    size_t keep;  // bytes of the zlib stream the frame holds
  } cuts[] = {
      {"header only", 2}, {"a third", whole.size() / 3}, {"without its checksum", whole.size() - 4},
      {"without the last byte", whole.size() - 1}, {"no byte", 0},
  };
  Bytes blocks;
  for (size_t i = 0; i < std::size(cuts); ++i) blocks += simple(1, int16_t(40 * i), whole.substr(0, cuts[i].keep));
  blocks += simple(1, 400, whole);
  const Bytes f = file(info() + el(Tracks, track(1, 1, "V_ZLIB", encoding(1, 0))) + cluster(0, blocks));
  Opened o(f, false);
  ASSERT_NE(o.mf, nullptr) << o.error;
  const std::vector<Frame> frames = read_frames(o.mf);
  ASSERT_EQ(frames.size(), std::size(cuts) + 1);
  char err[64];
  CompressedFrameReader* cs = cs_Create(o.mf, 0, err, sizeof err);
  ASSERT_NE(cs, nullptr) << err;
  for (unsigned piece : {100u, 4096u}) {
    for (size_t i = 0; i < frames.size(); ++i) {
      const bool complete = i == std::size(cuts);
      SCOPED_TRACE(std::string(complete ? "whole" : cuts[i].name) + ", pieces of " + std::to_string(piece));
      cs_NextFrame(cs, frames[i].pos, frames[i].size);
      Bytes got;
      char buf[4096];
      int r;
      while ((r = cs_ReadData(cs, buf, piece)) > 0) got.append(buf, size_t(r));
      if (complete) {
        EXPECT_EQ(r, 0);
        EXPECT_EQ(got, text);
        continue;
      }
      EXPECT_EQ(r, -1);
      EXPECT_STREQ(cs_GetLastError(cs), "ZLib error.");
      EXPECT_EQ(got, text.substr(0, got.size()));  // what came before is the text's start
      EXPECT_LT(got.size(), text.size());
    }
  }
  cs_Destroy(cs);
}

}  // namespace
