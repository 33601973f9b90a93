// The Matroska reader (through mkvprobe) against mkvtoolnix and ffprobe on
// files that ffmpeg and mkvmerge make once per run: tracks against
// mkvmerge -J, frames against mkvinfo -s -P, frame times against ffprobe's
// packets, cue rows, chapters, tags and attachments against mkvextract,
// and the compressed-frame reader against the uncompressed file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "mkvref.h"
#include "testutil.h"

namespace {

using mkvr::Record;

const char* kChapters = R"(<?xml version="1.0"?>
<Chapters>
  <EditionEntry>
    <EditionUID>1001</EditionUID><EditionFlagDefault>1</EditionFlagDefault>
    <ChapterAtom>
      <ChapterUID>11</ChapterUID>
      <ChapterTimeStart>00:00:00.000000000</ChapterTimeStart><ChapterTimeEnd>00:00:01.000000000</ChapterTimeEnd>
      <ChapterDisplay><ChapterString>Opening</ChapterString><ChapterLanguage>eng</ChapterLanguage></ChapterDisplay>
      <ChapterDisplay><ChapterString>Ouverture</ChapterString><ChapterLanguage>fre</ChapterLanguage><ChapterCountry>fr</ChapterCountry></ChapterDisplay>
      <ChapterTrack><ChapterTrackNumber>1</ChapterTrackNumber><ChapterTrackNumber>2</ChapterTrackNumber></ChapterTrack>
      <ChapterAtom>
        <ChapterUID>111</ChapterUID><ChapterTimeStart>00:00:00.500000000</ChapterTimeStart>
        <ChapterFlagHidden>1</ChapterFlagHidden>
        <ChapterDisplay><ChapterString>Inner</ChapterString><ChapterLanguage>ger</ChapterLanguage></ChapterDisplay>
        <ChapterAtom>
          <ChapterUID>1111</ChapterUID><ChapterTimeStart>00:00:00.750000000</ChapterTimeStart>
          <ChapterDisplay><ChapterString>Innermost</ChapterString></ChapterDisplay>
        </ChapterAtom>
      </ChapterAtom>
    </ChapterAtom>
    <ChapterAtom>
      <ChapterUID>12</ChapterUID><ChapterTimeStart>00:00:01.000000000</ChapterTimeStart>
      <ChapterFlagEnabled>0</ChapterFlagEnabled>
      <ChapterDisplay><ChapterString>Disabled</ChapterString></ChapterDisplay>
    </ChapterAtom>
  </EditionEntry>
  <EditionEntry>
    <EditionUID>1002</EditionUID><EditionFlagOrdered>1</EditionFlagOrdered><EditionFlagHidden>1</EditionFlagHidden>
    <ChapterAtom>
      <ChapterUID>21</ChapterUID>
      <ChapterTimeStart>00:00:00.200000000</ChapterTimeStart><ChapterTimeEnd>00:00:01.500000000</ChapterTimeEnd>
      <ChapterDisplay><ChapterString>Ordered part</ChapterString><ChapterLanguage>spa</ChapterLanguage></ChapterDisplay>
    </ChapterAtom>
  </EditionEntry>
</Chapters>
)";

const char* kTags = R"(<?xml version="1.0"?>
<Tags>
  <Tag>
    <Targets><TargetTypeValue>50</TargetTypeValue></Targets>
    <Simple><Name>DIRECTOR</Name><String>Someone</String><TagLanguage>eng</TagLanguage></Simple>
    <Simple><Name>COMMENT</Name><String>Made for a test</String><TagLanguage>ger</TagLanguage><DefaultLanguage>0</DefaultLanguage></Simple>
  </Tag>
</Tags>
)";

// The inputs, made once for all tests of this program.
struct Inputs {
  std::string dir, av, h264, mpeg2, xiph, offset, groups, hevc, vp9a, pipe, reserve, audio_cues, chap, genchap, zlib,
      plain, vc1;
};

const Inputs& in() {
  static const Inputs i = [] {
    Inputs i;
    i.dir = mkvr::fixture_dir("matroska_tools");
    auto p = [&](const char* name) { return i.dir + name; };
    auto mkvmerge = [](const std::string& args) {
      const tu::RunResult r = tu::run("mkvmerge -q " + args);
      EXPECT_LE(r.status, 1) << args << "\n" << r.out;  // 1: warnings only
    };
    const std::string lavfi = "-f lavfi -i testsrc=size=160x120:rate=25 ";
    i.av = p("av.mkv");  // MPEG-2 video with MP2, Vorbis and AC-3
    tu::ffmpeg(lavfi + "-f lavfi -i sine=sample_rate=48000 -f lavfi -i sine=frequency=660:sample_rate=44100 "
               "-f lavfi -i sine=frequency=300:sample_rate=48000 -t 2 -map 0 -map 1 -map 2 -map 3 -c:v mpeg2video "
               "-c:a:0 mp2 -c:a:1 libvorbis -c:a:2 ac3 -b:a:2 96k " + tu::q(i.av));
    i.h264 = p("h264.mkv");  // H.264 with B pictures and MP2
    tu::ffmpeg(lavfi + "-f lavfi -i sine=sample_rate=48000 -t 2 -c:v libx264 -g 12 -bf 2 -c:a mp2 " + tu::q(i.h264));
    i.mpeg2 = p("mpeg2.mkv");  // fixed (MP2, AC-3) and EBML (Vorbis) lacing
    mkvmerge("-o " + tu::q(i.mpeg2) + " --title 'Probe title' --language 0:ger --track-name 0:Pictures "
             "--language 2:fre --track-name '2:Voix off' " + tu::q(i.av));
    i.xiph = p("xiph.mkv");
    mkvmerge("-o " + tu::q(i.xiph) + " --engage lacing_xiph --timestamp-scale 100000 " + tu::q(i.av));
    i.offset = p("offset.mkv");
    tu::ffmpeg("-i " + tu::q(i.h264) + " -c copy -output_ts_offset 10 " + tu::q(i.offset));
    i.groups = p("groups.mkv");
    mkvmerge("-o " + tu::q(i.groups) + " --engage no_simpleblocks --disable-lacing --default-duration 0:50fps " +
             tu::q(i.h264));
    i.hevc = p("hevc.mkv");
    tu::ffmpeg(lavfi + "-t 1 -c:v libx265 -preset ultrafast -x265-params log-level=none " + tu::q(i.hevc));
    i.vp9a = p("vp9a.mkv");  // alpha in BlockAdditions
    tu::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25,format=yuva420p -t 1 -c:v libvpx-vp9 -pix_fmt yuva420p "
               "-deadline realtime -cpu-used 8 " + tu::q(i.vp9a));
    i.pipe = p("pipe.mkv");  // a Segment of unknown size
    tu::run("ffmpeg -nostdin -loglevel error -i " + tu::q(i.h264) + " -c copy -f matroska - > " + tu::q(i.pipe));
    i.reserve = p("reserve.mkv");  // Cues before the first Cluster
    tu::ffmpeg("-i " + tu::q(i.h264) + " -c copy -reserve_index_space 20000 " + tu::q(i.reserve));
    i.audio_cues = p("audio_cues.mkv");
    mkvmerge("-o " + tu::q(i.audio_cues) + " --cues 0:none --cues 1:all " + tu::q(i.h264));
    tu::write_file(p("chap.xml"), std::vector<uint8_t>(kChapters, kChapters + strlen(kChapters)));
    tu::write_file(p("tags.xml"), std::vector<uint8_t>(kTags, kTags + strlen(kTags)));
    tu::write_file(p("notes.txt"), {'n', 'o', 't', 'e', 's', '\n'});
    i.chap = p("chap.mkv");
    mkvmerge("-o " + tu::q(i.chap) + " --title T --chapters " + tu::q(p("chap.xml")) + " --global-tags " +
             tu::q(p("tags.xml")) + " --tags 0:" + tu::q(p("tags.xml")) + " --attach-file " + tu::q(p("notes.txt")) +
             " " + tu::q(i.h264));
    i.genchap = p("genchap.mkv");  // chapters from 0 s in a file whose first block is at 10 s
    mkvmerge("-o " + tu::q(i.genchap) + " --generate-chapters interval:1s " + tu::q(i.offset));
    i.zlib = p("zlib.mkv");
    mkvmerge("-o " + tu::q(i.zlib) + " --compression 0:zlib " + tu::q(i.av));
    i.plain = p("plain.mkv");
    mkvmerge("-o " + tu::q(i.plain) + " --compression 0:none " + tu::q(i.av));
    // Shared test data, the last row of every list that names it: where it
    // is missing, the rows before it have run when the test is skipped.
    i.vc1 = SHARED_TESTDATA "/vc1/vc1_ap_1080_pulldown_vfw.mkv";
    return i;
  }();
  return i;
}

// Time of the first block in the file: ffprobe's first packet.
int64_t first_pts(const std::string& path) {
  const auto packets = mkvr::ffprobe_packets(path);
  return packets.empty() ? 0 : packets[0].pts;
}

TEST(MatroskaTools, TracksAgreeWithMkvmerge) {
  for (const std::string& path : {in().mpeg2, in().xiph, in().h264, in().offset, in().groups, in().hevc, in().vp9a,
                                  in().pipe, in().chap, in().zlib, in().vc1}) {
    SCOPED_TRACE(path);
    if (path == in().vc1 && !tu::exists(path)) GTEST_SKIP() << "no " << path << " (shared test data)";
    const mkvr::Json j = mkvr::mkvmerge_json(path);
    const auto recs = mkvr::mkvprobe("--info --tracks " + tu::q(path));
    const auto tracks = mkvr::only(recs, "track");
    ASSERT_EQ(tracks.size(), j["tracks"].items.size());
    EXPECT_EQ(mkvr::only(recs, "info").at(0)["title"], j["container"]["properties"]["title"].text);
    for (size_t i = 0; i < tracks.size(); ++i) {
      const Record& t = tracks[i];
      const mkvr::Json& jt = j["tracks"][i];
      const mkvr::Json& p = jt["properties"];
      EXPECT_EQ(t["type"], jt["type"].text == "video" ? "1" : jt["type"].text == "audio" ? "2" : "17");
      EXPECT_EQ(t["number"], p["number"].text);
      EXPECT_EQ(t["uid"], p["uid"].text);
      EXPECT_EQ(t["codec"], p["codec_id"].text);
      EXPECT_EQ(t["private"], p["codec_private_data"].text);
      const std::string dd = p["default_duration"].text;
      EXPECT_EQ(t["default_duration"], dd.empty() || dd == "null" ? "0" : dd);
      EXPECT_EQ(t["language"], p["language"].text);
      EXPECT_EQ(t["name"], p["track_name"].text);
      EXPECT_EQ(t["enabled"], p["enabled_track"].text == "true" ? "1" : "0");
      EXPECT_EQ(t["default"], p["default_track"].text == "true" ? "1" : "0");
      if (t["type"] == "1") {
        EXPECT_EQ(t["pixel"], p["pixel_dimensions"].text);
        EXPECT_EQ(t["display"], p["display_dimensions"].text);
      } else if (t["type"] == "2") {
        EXPECT_EQ(t["rate"], p["audio_sampling_frequency"].text);
        EXPECT_EQ(t["channels"], p["audio_channels"].text);
      }
    }
  }
  // Only the video frames of zlib.mkv are compressed.
  const auto z = mkvr::only(mkvr::mkvprobe("--tracks " + tu::q(in().zlib)), "track");
  ASSERT_EQ(z.size(), 4u);
  EXPECT_EQ(z[0]["comp"], "0");
  EXPECT_EQ(z[1]["comp"], "-1");
  EXPECT_EQ(mkvr::only(mkvr::mkvprobe("--info " + tu::q(in().pipe)), "info").at(0)["segment_top"],
            std::to_string(UINT64_MAX));
}

// Our frames of one file per Matroska track number, in file order.
std::map<unsigned, std::vector<Record>> frames_by_number(const std::string& path, bool additions = false) {
  const auto recs = mkvr::mkvprobe("--tracks --frames " + tu::q(path));
  std::map<unsigned, std::vector<Record>> by;
  const auto tracks = mkvr::only(recs, "track");
  for (const Record& f : mkvr::only(recs, "frame"))
    if ((f["stream"] != "0") == additions) by[unsigned(tracks.at(f.u("track")).u("number"))].push_back(f);
  return by;
}

TEST(MatroskaTools, FramesAgreeWithMkvinfo) {
  for (const std::string& path : {in().mpeg2, in().xiph, in().h264, in().groups, in().hevc, in().vp9a, in().pipe,
                                  in().reserve, in().vc1}) {
    SCOPED_TRACE(path);
    if (path == in().vc1 && !tu::exists(path)) GTEST_SKIP() << "no " << path << " (shared test data)";
    auto ours = frames_by_number(path);
    std::map<unsigned, std::vector<mkvr::InfoFrame>> ref;
    for (const auto& f : mkvr::mkvinfo_frames(path)) ref[f.track].push_back(f);
    ASSERT_EQ(ours.size(), ref.size());
    // mkvinfo counts the children after a BlockGroup's Block into its
    // frame's position; there the checksum of the bytes at our position
    // shows the position right.
    const bool positions = path != in().vp9a && path != in().groups;
    for (const auto& [number, list] : ref) {
      const auto& got = ours[number];
      ASSERT_EQ(got.size(), list.size()) << "track " << number;
      for (size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE("track " + std::to_string(number) + " frame " + std::to_string(i));
        EXPECT_EQ(got[i].u("size"), list[i].size);
        EXPECT_EQ(got[i]["adler"], list[i].adler);
        EXPECT_EQ(got[i]["key"], list[i].key ? "1" : "0");
        if (positions) {
          EXPECT_EQ(got[i].u("pos"), list[i].pos);
        }
      }
    }
  }
  // The alpha planes: BlockAddID, length and first bytes as mkvinfo -v shows them.
  std::vector<std::pair<unsigned, std::string>> additions;  // ID, "length: bytes"
  unsigned add_id = 1;
  for (const std::string& l : tu::lines(tu::run("mkvinfo -v -v " + tu::q(in().vp9a)).out)) {
    unsigned v;
    if (sscanf(l.c_str(), "%*[| +]Block additional ID: %u", &v) == 1) add_id = v;
    const size_t at = l.find("Block additional: length ");
    if (at == std::string::npos) continue;
    std::string bytes = l.substr(at + 25, l.find(" at ", at) - at - 25);
    const size_t ellipsis = bytes.find("\xe2\x80\xa6");  // after the first 16 bytes of longer data
    if (ellipsis != std::string::npos) bytes.erase(ellipsis);
    additions.emplace_back(add_id, bytes);
  }
  const auto ours = frames_by_number(in().vp9a, true)[1];
  ASSERT_EQ(ours.size(), additions.size());
  ASSERT_FALSE(ours.empty());
  const std::vector<uint8_t> file = tu::read_file(in().vp9a);
  for (size_t i = 0; i < ours.size(); ++i) {
    char text[128];
    std::string want = std::to_string(ours[i].u("size")) + ", data:";
    for (uint64_t k = 0; k < std::min<uint64_t>(16, ours[i].u("size")); ++k) {
      snprintf(text, sizeof text, " 0x%02x", file.at(ours[i].u("pos") + k));
      want += text;
    }
    EXPECT_EQ(ours[i]["stream"], std::to_string(additions[i].first)) << i;
    EXPECT_EQ(want, additions[i].second) << i;
  }
}

TEST(MatroskaTools, FrameTimesAgreeWithFfprobe) {
  for (const std::string& path : {in().mpeg2, in().xiph, in().offset, in().groups, in().vp9a, in().vc1}) {
    SCOPED_TRACE(path);
    if (path == in().vc1 && !tu::exists(path)) GTEST_SKIP() << "no " << path << " (shared test data)";
    const auto packets = mkvr::ffprobe_packets(path);
    ASSERT_FALSE(packets.empty());
    std::map<unsigned, std::vector<mkvr::Packet>> ref;
    for (const auto& p : packets) ref[unsigned(p.stream)].push_back(p);
    std::map<unsigned, std::vector<Record>> ours;
    for (const Record& f : mkvr::only(mkvr::mkvprobe("--frames " + tu::q(path)), "frame"))
      if (f["stream"] == "0") ours[unsigned(f.u("track"))].push_back(f);
    ASSERT_EQ(ours.size(), ref.size());
    const int64_t base = packets[0].pts;
    for (const auto& [track, list] : ref) {
      ASSERT_EQ(ours[track].size(), list.size()) << "track " << track;
      for (size_t i = 0; i < list.size(); ++i) {
        const Record& f = ours[track][i];
        // A block before the first one counts by its distance from it;
        // a laced frame after the first has no start of its own without a
        // default duration.
        const int64_t start = std::llabs(list[i].pts - base);
        if (f["unknown_start"] == "0") {
          EXPECT_NEAR(double(f.u("start")), double(start), 1e6) << "track " << track << " frame " << i;
        }
        if (f["unknown_end"] == "0" && list[i].duration != INT64_MIN && list[i].pts >= base) {
          EXPECT_NEAR(double(f.u("end")), double(start + list[i].duration), 1e6) << track << " " << i;
        }
      }
    }
  }
}

TEST(MatroskaTools, CueRowsAgreeWithMkvextract) {
  for (const std::string& path : {in().h264, in().offset, in().mpeg2, in().reserve, in().xiph}) {
    SCOPED_TRACE(path);
    const auto ref = mkvr::mkvextract_cues(path, 0);
    ASSERT_FALSE(ref.empty());
    const auto rows = mkvr::only(mkvr::mkvprobe("--cues " + tu::q(path)), "cue");
    ASSERT_EQ(rows.size(), ref.size());
    // The table counts from its first row, at the first cluster here.
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(int64_t(rows[i].u("time")), ref[i].first - ref[0].first) << i;
      EXPECT_EQ(rows[i].u("pos"), ref[i].second) << i;
    }
  }
  // Cue points of the audio track only: no table.
  EXPECT_FALSE(mkvr::mkvextract_cues(in().audio_cues, 1).empty());
  EXPECT_TRUE(mkvr::mkvextract_cues(in().audio_cues, 0).empty());
  EXPECT_TRUE(mkvr::only(mkvr::mkvprobe("--cues " + tu::q(in().audio_cues)), "cue").empty());
}

// One line per edition and atom in depth-first order, as mkvprobe writes
// them, from mkvextract's XML; times counted from base and never below 0.
void flatten(const mkvr::Xml& x, int depth, int64_t base, std::vector<std::string>& out) {
  auto t = [&](const std::string& name) {
    const std::string v = x.child(name);
    return v.empty() ? std::string("0") : std::to_string(std::max<int64_t>(0, mkvr::parse_time(v) - base));
  };
  std::string line = "depth=" + std::to_string(depth);
  if (depth == 0) {
    const int flags = (x.child("EditionFlagHidden") == "1" ? 1 : 0) | (x.child("EditionFlagDefault") == "1" ? 4 : 0) |
                      (x.child("EditionFlagOrdered") == "1" ? 8 : 0);
    line += " uid=" + x.child("EditionUID") + " start=0 end=0 flags=" + std::to_string(flags) + " tracks=0";
  } else {
    const int flags = (x.child("ChapterFlagHidden") == "1" ? 1 : 0) | (x.child("ChapterFlagEnabled", "1") == "1" ? 2 : 0);
    size_t tracks = 0;
    for (const mkvr::Xml* ct : x.all("ChapterTrack")) tracks += ct->all("ChapterTrackNumber").size();
    line += " uid=" + x.child("ChapterUID") + " start=" + t("ChapterTimeStart") + " end=" + t("ChapterTimeEnd") +
            " flags=" + std::to_string(flags) + " tracks=" + std::to_string(tracks);
    std::string displays;
    for (const mkvr::Xml* d : x.all("ChapterDisplay"))
      displays += (displays.empty() ? "" : ",") + d->child("ChapterLanguage", "eng") + "|" + d->child("ChapterCountry") +
                  "|" + d->child("ChapterString");
    if (!displays.empty()) line += " display=" + displays;
  }
  out.push_back(line);
  for (const mkvr::Xml* a : x.all("ChapterAtom")) flatten(*a, depth + 1, base, out);
}

TEST(MatroskaTools, ChaptersTagsAttachmentsAgreeWithMkvextract) {
  for (const std::string& path : {in().chap, in().genchap}) {
    SCOPED_TRACE(path);
    std::vector<std::string> want, got;
    const mkvr::Xml chapters = mkvr::mkvextract_xml(path, "chapters");
    for (const mkvr::Xml* e : chapters.all("EditionEntry")) flatten(*e, 0, first_pts(path), want);
    for (const Record& r : mkvr::only(mkvr::mkvprobe("--chapters " + tu::q(path)), "chapter")) {
      std::string line = "depth=" + r["depth"];
      for (const char* k : {"uid", "start", "end", "flags", "tracks"}) line += std::string(" ") + k + "=" + r[k];
      if (r.f.count("display")) line += " display=" + r["display"];
      got.push_back(line);
    }
    EXPECT_EQ(got, want);
  }
  // Tags: targets and simple tags in order.
  std::vector<std::string> want, got;
  const mkvr::Xml tags = mkvr::mkvextract_xml(in().chap, "tags");
  for (const mkvr::Xml* tag : tags.all("Tag")) {
    std::string targets;
    for (const mkvr::Xml* t : tag->all("Targets"))
      for (const char* kind : {"TrackUID", "ChapterUID", "AttachmentUID", "EditionUID"})
        for (const mkvr::Xml* u : t->all(kind))
          targets += std::string(targets.empty() ? "" : ",") +
                     std::to_string(kind[0] == 'T' ? 0 : kind[0] == 'C' ? 1 : kind[0] == 'A' ? 2 : 3) + ":" + u->text;
    want.push_back("tag " + targets);
    for (const mkvr::Xml* s : tag->all("Simple"))
      want.push_back(s->child("Name") + "=" + s->child("String") + " " + s->child("TagLanguage") + " " +
                     s->child("DefaultLanguage", "?"));
  }
  for (const Record& r : mkvr::mkvprobe("--tags " + tu::q(in().chap))) {
    if (r.kind == "tag") got.push_back("tag " + (r.f.count("target") ? r["target"] : ""));
    if (r.kind == "simple") got.push_back(r["name"] + "=" + r["value"] + " " + r["language"] + " " + r["default"]);
  }
  // TagDefault is only written when it is 0; mkvextract shows it then.
  for (std::string& w : want)
    if (w.size() > 2 && w.compare(w.size() - 2, 2, " ?") == 0) w.back() = '0';
  EXPECT_EQ(got, want);
  // Attachments: name, type, and the bytes at the reported place.
  const mkvr::Json j = mkvr::mkvmerge_json(in().chap);
  const auto at = mkvr::only(mkvr::mkvprobe("--attachments " + tu::q(in().chap)), "attachment");
  ASSERT_EQ(at.size(), 1u);
  EXPECT_EQ(at[0]["name"], j["attachments"][0]["file_name"].text);
  EXPECT_EQ(at[0]["mime"], j["attachments"][0]["content_type"].text);
  EXPECT_EQ(at[0]["uid"], j["attachments"][0]["properties"]["uid"].text);
  const std::string extracted = in().dir + "extracted.txt";
  tu::run("mkvextract " + tu::q(in().chap) + " attachments 1:" + tu::q(extracted));
  const auto bytes = tu::read_file(in().chap);
  const auto data = std::vector<uint8_t>(bytes.begin() + long(at[0].u("pos")),
                                         bytes.begin() + long(at[0].u("pos") + at[0].u("length")));
  EXPECT_EQ(data, tu::read_file(extracted));
}

TEST(MatroskaTools, CompressedFramesExpandToTheUncompressedOnes) {
  std::vector<std::string> plain;
  for (const Record& f : mkvr::only(mkvr::mkvprobe("--frames --track=0 " + tu::q(in().plain)), "frame"))
    plain.push_back(f["size"] + " " + f["adler"]);
  ASSERT_FALSE(plain.empty());
  for (int piece : {4096, 7}) {
    std::vector<std::string> expanded;
    int status = 0;
    const auto recs = mkvr::mkvprobe("--frames --track=0 --compressed=" + std::to_string(piece) + " " + tu::q(in().zlib),
                                     &status);
    EXPECT_EQ(status, 0);
    for (const Record& f : mkvr::only(recs, "frame")) expanded.push_back(f["expanded"] + " " + f["expanded_adler"]);
    EXPECT_EQ(expanded, plain) << piece;
  }
}

}  // namespace
