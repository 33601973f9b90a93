// Files that ffmpeg, AtomicParsley and exiftool write (some with bytes
// after them, or a last box sized "to the end of the file"), rewritten by
// the library: after MP4Modify and MP4Close, and after MP4Optimize, ffprobe
// must see the source's streams, format tags, chapters and packets (times,
// flags, sizes and Adler-32 of their bytes), and exiftool its XMP. Only
// what a rewrite may change is left out of the comparison: the file's
// name, size and overall bit rate. Every write is bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "mp4.h"
#include "mp4files.h"

namespace {

using namespace mp4test;

// What ffprobe shows of a file, one "key=value" line each: streams, format
// and chapters in its flat form, the packets of each stream in their order
// within the stream, and the messages it prints about the file.
struct Probe {
  std::vector<std::string> streams, format, chapters, packets, messages;
};

Probe ProbeOf(const std::string& path) {
  Probe p;
  const tu::RunResult r =
      tu::run("ffprobe -v error -show_streams -show_format -show_chapters -of flat " + tu::q(path));
  for (const std::string& line : tu::lines(r.out)) {
    const std::string key = line.substr(0, line.find('='));
    if (key == "format.filename" || key == "format.size" || key == "format.bit_rate") continue;
    (line.rfind("streams.", 0) == 0    ? p.streams
     : line.rfind("format.", 0) == 0   ? p.format
     : line.rfind("chapters.", 0) == 0 ? p.chapters
                                       : p.messages)
        .push_back(line);
  }
  const tu::RunResult packets = tu::run(
      "ffprobe -v error -show_entries packet=stream_index,pts,dts,duration,size,flags,data_hash"
      " -show_data_hash adler32 -of compact=p=0 " + tu::q(path));
  // A packet with side data (the samples to skip of the first sound
  // packet) goes on in a line of its own.
  for (const std::string& line : tu::lines(packets.out)) {
    if (line.rfind("stream_index=", 0) == 0 || p.packets.empty())
      p.packets.push_back(line);
    else
      p.packets.back() += line;
  }
  // The packets of a stream keep their order; the streams' chunks may be
  // interleaved anew.
  std::stable_sort(p.packets.begin(), p.packets.end(), [](const std::string& a, const std::string& b) {
    return std::atoi(a.c_str() + 13) < std::atoi(b.c_str() + 13);
  });
  return p;
}

// The lines of a that b lacks, counted as a multiset, in a's order.
std::vector<std::string> Lacking(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::multiset<std::string> left(b.begin(), b.end());
  std::vector<std::string> out;
  for (const std::string& line : a) {
    const auto it = left.find(line);
    if (it == left.end())
      out.push_back(line);
    else
      left.erase(it);
  }
  return out;
}

// "- " before the source's lines that the rewritten file lacks, "+ " before
// those it has in their place; at most 12 lines.
std::string Differences(const std::vector<std::string>& source, const std::vector<std::string>& result) {
  std::vector<std::string> lines;
  for (const std::string& line : Lacking(source, result)) lines.push_back("- " + line);
  for (const std::string& line : Lacking(result, source)) lines.push_back("+ " + line);
  std::string out;
  for (size_t i = 0; i < lines.size() && i < 12; i++) out += lines[i] + "\n";
  if (lines.size() > 12) out += "... " + std::to_string(lines.size()) + " lines in all\n";
  return out;
}

void ExpectSame(const Probe& source, const std::string& path, const std::string& what) {
  const Probe r = ProbeOf(path);
  if (r.streams.empty()) {
    ADD_FAILURE() << what << ": ffprobe sees no stream";
    return;
  }
  const std::pair<const char*, std::string> parts[] = {{"streams", Differences(source.streams, r.streams)},
                                                       {"format", Differences(source.format, r.format)},
                                                       {"chapters", Differences(source.chapters, r.chapters)},
                                                       {"packets", Differences(source.packets, r.packets)},
                                                       {"messages", Differences(source.messages, r.messages)}};
  // The packets of a stream keep their order too.
  if (parts[3].second.empty() && source.packets != r.packets)
    ADD_FAILURE() << what << ", packets: the same packets in another order";
  for (const auto& part : parts)
    if (!part.second.empty()) ADD_FAILURE() << what << ", " << part.first << ":\n" << part.second;
}

// ---------------------------------------------------------------- the files

const char* const kSubtitles =
    "1\n00:00:00,000 --> 00:00:00,400\nfirst\n\n2\n00:00:00,500 --> 00:00:00,900\nsecond line\n";
const char* const kChapters =
    ";FFMETADATA1\ntitle=Movie title\nartist=Art1\nalbum=Alb1\ncomment=Com1\ndate=2021\ngenre=Gen1\n"
    "composer=Wrt1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=600\ntitle=Opening\n"
    "[CHAPTER]\nTIMEBASE=1/1000\nSTART=600\nEND=1000\ntitle=Close\n";

const std::string kPicture = "-f lavfi -i testsrc=size=320x240:rate=25:duration=1 ";
const std::string kSine = "-f lavfi -i sine=duration=1 ";
// H.264 with B-frames and AAC.
const std::string kAvcAac = kPicture + kSine + "-c:v libx264 -bf 2 -pix_fmt yuv420p -c:a aac -shortest ";
// The same with subtitles (input 2), and the tags and chapters of input 3.
const std::string kEverything = kPicture + kSine + "-i subs.srt -i meta.txt -map 0 -map 1 -map 2 -map_metadata 3 "
                                "-map_chapters 3 -c:v libx264 -bf 2 -pix_fmt yuv420p -c:a aac -c:s mov_text -shortest ";

struct Case {
  const char* name;
  const char* file;
  std::string make;  // ffmpeg's arguments before the output, run in the case's folder
  // Then changes the file in place (AtomicParsley, 64-bit offsets).
  std::function<void(const std::string& path)> after;
  // Lines that ffprobe must show of the source: what the case is about.
  std::vector<std::string> shows;
  // The top-level boxes of the source in their order; empty: any.
  std::string top;
  // The item list is keyed ("mdta"): a new item is refused, and the file
  // keeps what it holds.
  bool keyed = false;
  // Checks the source and each rewritten file beyond ffprobe's view.
  std::function<void(const std::string& path, const std::string& what)> check = nullptr;
};

// Writes of the tools and of the library are bounded by this.
const uint64_t kBound = 8 << 20;

void Run(const std::string& command) {
  const tu::RunResult r = RunBounded(kBound, command);
  EXPECT_EQ(r.status, 0) << command << ": " << r.out;
}

void Tag(const std::string& path) {
  Run("AtomicParsley " + tu::q(path) +
      " --artist 'AP Artist' --title 'AP Title' --album 'AP Album' --genre Jazz"
      " --year 2019 --comment 'AP comment' --tracknum 3/9 --disk 1/2"
      " --albumArtist 'AP Band' --composer 'AP Writer' --overWrite > /dev/null");
}

// Bytes after the file that are no box: zeros that pad it, or junk.
void AppendBytes(const std::string& path, const Bytes& bytes) { tu::write_file(path, Cat({tu::read_file(path), bytes})); }

// The last box's size field says 0, "to the end of the file".
void LastBoxToTheEnd(const std::string& path) {
  Bytes file = tu::read_file(path);
  uint64_t last = 0;
  for (const Walked& w : Walk(file))
    if (w.depth == 1) last = w.offset;
  for (int i = 0; i < 4; i++) file[last + i] = 0;
  tu::write_file(path, file);
}

const char* const kXmpTitle = "Title in XMP";

void AddXmp(const std::string& path) {
  Run("exiftool -q -overwrite_original '-XMP-dc:Title=" + std::string(kXmpTitle) + "' " + tu::q(path));
  EXPECT_NE(Find(Walk(tu::read_file(path)), "uuid"), nullptr);
}

void HasXmp(const std::string& path, const std::string& what) {
  EXPECT_EQ(tu::run("exiftool -s3 -XMP-dc:Title " + tu::q(path)).out, std::string(kXmpTitle) + "\n") << what;
}

// Every "stco" becomes "co64", the media data header takes its 64-bit form
// and the chunk offsets follow the samples.
void To64BitOffsets(const std::string& path) {
  int64_t delta = 0;
  tu::write_file(path, Rewrite(tu::read_file(path),
                               [](std::vector<Node>& f) {
                                 for (size_t t = 0; t < 3; t++) ToCo64(TrackTables(f, t));
                               },
                               &delta));
  const std::vector<Walked> boxes = Walk(tu::read_file(path));
  EXPECT_TRUE(Find(boxes, "co64", 2) && !Find(boxes, "co64", 3) && !Find(boxes, "stco"));
}

const std::vector<Case>& Cases() {
  const std::vector<std::string> kTagged = {
      "format.tags.title=\"Movie title\"",        "format.tags.artist=\"Art1\"",
      "format.tags.album=\"Alb1\"",               "format.tags.date=\"2021\"",
      "format.tags.genre=\"Gen1\"",               "format.tags.comment=\"Com1\"",
      "chapters.chapter.1.tags.title=\"Close\"",  "streams.stream.2.codec_name=\"mov_text\"",
      "streams.stream.0.has_b_frames=2"};
  static const std::vector<Case> cases = {
      {"AvcAacTextChaptersTagsMp4", "f.mp4", kEverything, nullptr, kTagged, ""},
      {"AvcAacTextChaptersTagsMov", "f.mov", kEverything, nullptr, kTagged, ""},
      {"Hvc1Aac", "f.mp4",
       kPicture + kSine + "-c:v libx265 -x265-params log-level=error -tag:v hvc1 -pix_fmt yuv420p -c:a aac -shortest ",
       nullptr, {"streams.stream.0.codec_tag_string=\"hvc1\""}, ""},
      {"Mpeg2Ac3", "f.mp4", kPicture + kSine + "-c:v mpeg2video -c:a ac3 -shortest ", nullptr,
       {"streams.stream.0.codec_name=\"mpeg2video\"", "streams.stream.1.codec_name=\"ac3\""}, ""},
      {"Mpeg2PcmMonoMov", "f.mov", kPicture + kSine + "-c:v mpeg2video -c:a pcm_s16le -shortest ", nullptr,
       {"streams.stream.1.codec_tag_string=\"sowt\"", "streams.stream.1.channels=1"}, ""},
      {"Mpeg2PcmStereo24Mov", "f.mov", kPicture + kSine + "-c:v mpeg2video -c:a pcm_s24le -ac 2 -shortest ",
       nullptr, {"streams.stream.1.codec_tag_string=\"in24\"", "streams.stream.1.channels=2"}, ""},
      {"Mpeg2PcmStereo16BigEndianMov", "f.mov", kPicture + kSine + "-c:v mpeg2video -c:a pcm_s16be -ac 2 -shortest ",
       nullptr, {"streams.stream.1.codec_tag_string=\"twos\"", "streams.stream.1.channels=2"}, ""},
      {"MetadataTagsMov", "f.mov",
       kAvcAac + "-movflags use_metadata_tags -metadata custom_key=v -metadata title=Keyed -metadata artist=Art2 ",
       nullptr, {"format.tags.custom_key=\"v\"", "format.tags.title=\"Keyed\""}, "", true},
      {"AtomicParsley", "f.mp4", kAvcAac, Tag,
       {"format.tags.artist=\"AP Artist\"", "format.tags.track=\"3/9\"", "format.tags.disc=\"1/2\"",
        "format.tags.album_artist=\"AP Band\"", "format.tags.genre=\"Jazz\""}, ""},
      {"Faststart", "f.mp4", kAvcAac + "-metadata title=Fast -movflags +faststart ", nullptr,
       {"format.tags.title=\"Fast\""}, "ftyp moov free mdat"},
      {"Co64", "f.mp4",
       kPicture + kSine + "-i subs.srt -map 0 -map 1 -map 2 -c:v libx264 -bf 2 -pix_fmt yuv420p "
                          "-c:a aac -c:s mov_text -shortest -metadata title=Wide ",
       To64BitOffsets, {"streams.stream.2.codec_name=\"mov_text\""}, ""},
      {"TrailingZeros", "f.mp4", kEverything, [](const std::string& path) { AppendBytes(path, Bytes(8, 0)); },
       kTagged, ""},
      {"TrailingJunk", "f.mov", kAvcAac + "-metadata title=Junk -movflags +faststart ",
       [](const std::string& path) { AppendBytes(path, Lit("junk after the file, no box\n")); },
       {"format.tags.title=\"Junk\""}, ""},
      {"LastMediaDataToTheEnd", "f.mp4", kEverything + "-movflags +faststart ", LastBoxToTheEnd, kTagged, ""},
      {"LastMovieToTheEnd", "f.mp4", kAvcAac + "-metadata title=Last ", LastBoxToTheEnd,
       {"format.tags.title=\"Last\""}, "ftyp free mdat moov"},
      {"Xmp", "f.mp4", kEverything, AddXmp, kTagged, "ftyp free moov uuid mdat", false, HasXmp},
  };
  return cases;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class MP4RoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(MP4RoundTrip, FFprobeSeesTheSource) {
  const Case& c = GetParam();
  const std::string dir = tu::scratch("");
  tu::write_file(dir + "subs.srt", Bytes(kSubtitles, kSubtitles + strlen(kSubtitles)));
  tu::write_file(dir + "meta.txt", Bytes(kChapters, kChapters + strlen(kChapters)));
  const std::string source = dir + c.file;
  const tu::RunResult made = RunBounded(kBound, "cd " + tu::q(dir) + " && ffmpeg -v error -y " + c.make + tu::q(source));
  ASSERT_EQ(made.status, 0) << c.name << ": " << made.out;
  if (c.after) c.after(source);
  const auto check = [&](const std::string& path, const std::string& what) {
    if (c.check) c.check(path, what);
  };
  check(source, std::string(c.name) + ": the source");
  const Probe probe = ProbeOf(source);
  ASSERT_FALSE(probe.packets.empty()) << c.name;
  for (const std::string& line : c.shows) {
    const bool found = std::count(probe.streams.begin(), probe.streams.end(), line) +
                       std::count(probe.format.begin(), probe.format.end(), line) +
                       std::count(probe.chapters.begin(), probe.chapters.end(), line);
    ASSERT_TRUE(found) << c.name << ": the source lacks " << line;
  }
  if (!c.top.empty()) {
    std::string top;
    for (const std::string& type : TopLevel(tu::read_file(source))) top += (top.empty() ? "" : " ") + type;
    ASSERT_EQ(top, c.top) << c.name;
  }

  const std::string modified = dir + "modified-" + c.file;
  tu::write_file(modified, tu::read_file(source));
  ASSERT_TRUE(ModifyBounded(modified, kBound)) << c.name;
  ExpectSame(probe, modified, std::string(c.name) + " after MP4Modify and MP4Close");
  check(modified, std::string(c.name) + " after MP4Modify and MP4Close");

  // A new item beside what the file holds.
  const std::string tagged = dir + "tagged-" + c.file;
  tu::write_file(tagged, tu::read_file(source));
  EXPECT_EQ(ModifyBounded(tagged, kBound, [](MP4FileHandle h) { return MP4SetMetadataGrouping(h, "Round trip"); }),
            !c.keyed)
      << c.name;
  Probe withItem = probe;
  if (!c.keyed) withItem.format.push_back("format.tags.grouping=\"Round trip\"");
  ExpectSame(withItem, tagged, std::string(c.name) + " after MP4Modify with a new item");
  check(tagged, std::string(c.name) + " after MP4Modify with a new item");

  const std::string optimised = dir + "optimised-" + c.file;
  EXPECT_EQ(Bounded(kBound, [&] { return MP4Optimize(source.c_str(), optimised.c_str(), 0); }), 0) << c.name;
  ExpectSame(probe, optimised, std::string(c.name) + " after MP4Optimize");
  check(optimised, std::string(c.name) + " after MP4Optimize");
}

INSTANTIATE_TEST_SUITE_P(Files, MP4RoundTrip, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
