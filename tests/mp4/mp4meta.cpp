// Metadata items and chapters: files tagged by ffmpeg and AtomicParsley read
// as ffprobe and AtomicParsley show them; items and chapters written here
// read back through ffprobe, exiftool and AtomicParsley; the item atoms
// against hand-made bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "atoms.h"
#include "mp4.h"
#include "mp4file.h"
#include "mp4files.h"
#include "mp4test.h"
#include "testutil.h"

namespace {

using namespace mp4test;
using Items = std::vector<std::pair<std::string, std::string>>;

// AtomicParsley's "-t" listing in file order: the 4CC (© as the byte 0xA9,
// free-form items as "----[owner;name]") and the text it shows.
Items ApItems(const std::string& path) {
  Items out;
  for (std::string line : tu::lines(tu::run("AtomicParsley " + tu::q(path) + " -t").out)) {
    if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    if (line.compare(0, 6, "Atom \"") != 0) continue;
    const size_t close = line.find('"', 6);
    const size_t contains = line.find(" contains: ");
    if (close == std::string::npos || contains == std::string::npos) continue;
    std::string code = line.substr(6, close - 6);
    if (code.compare(0, 2, "\xC2\xA9") == 0) code.erase(0, 1);
    if (code == "----") code += line.substr(close + 2, contains - close - 2);
    out.push_back({code, line.substr(contains + 11)});
  }
  return out;
}

// AtomicParsley lists cover art after the other items, wherever it is.
Items Sorted(Items items) {
  std::sort(items.begin(), items.end());
  return items;
}

// ffprobe's format tags.
std::map<std::string, std::string> ProbeTags(const std::string& path) {
  std::map<std::string, std::string> tags;
  for (const std::string& line :
       tu::lines(tu::run("ffprobe -v error -show_entries format_tags -of default=nw=1 " + tu::q(path)).out)) {
    const size_t eq = line.find('=');
    if (line.compare(0, 4, "TAG:") == 0 && eq != std::string::npos) tags[line.substr(4, eq - 4)] = line.substr(eq + 1);
  }
  return tags;
}

// exiftool's tags by their short names.
std::map<std::string, std::string> Exif(const std::string& path) {
  std::map<std::string, std::string> tags;
  for (const std::string& line : tu::lines(tu::run("exiftool -s " + tu::q(path)).out)) {
    const size_t colon = line.find(" : ");
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    name.erase(name.find_last_not_of(' ') + 1);
    tags[name] = line.substr(colon + 3);
  }
  return tags;
}

struct Chapter {
  std::string title;
  int64_t start, end;  // ms
  bool operator==(const Chapter& o) const { return title == o.title && start == o.start && end == o.end; }
};
std::ostream& operator<<(std::ostream& os, const Chapter& c) {
  return os << c.title << " " << c.start << "-" << c.end;
}

std::vector<Chapter> ProbeChapters(const std::string& path) {
  std::vector<Chapter> out;
  const tu::RunResult r = tu::run("ffprobe -v error -show_entries chapter=start_time,end_time:chapter_tags=title"
                                  " -of compact=p=0 " + tu::q(path));
  for (const std::string& line : tu::lines(r.out)) {
    std::map<std::string, std::string> f = CompactFields(line);
    if (!f.count("start_time")) continue;
    out.push_back({f["tag:title"], std::llround(std::stod(f["start_time"]) * 1000),
                   std::llround(std::stod(f["end_time"]) * 1000)});
  }
  return out;
}

// The library's list with the starts summed from the durations; "<false>"
// alone when there is none.
std::vector<Chapter> Listed(MP4FileHandle h, bool textTrack) {
  MP4ChapterStruct* list = nullptr;
  uint32_t count = 0;
  MP4GetChaptersList(h, &list, &count, textTrack);
  std::vector<Chapter> out;
  int64_t start = 0;
  for (uint32_t i = 0; i < count; i++) {
    out.push_back({list[i].title, start, start + int64_t(list[i].duration)});
    start += list[i].duration;
  }
  free(list);
  return out;
}

std::string Got(bool (*get)(MP4FileHandle, char**), MP4FileHandle h) {
  char* text = nullptr;
  if (!get(h, &text)) return "<false>";
  std::string s = text ? text : "<null>";
  free(text);
  return s;
}

Bytes Raw(MP4FileHandle h, const std::string& path) {
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  if (!MP4GetBytesProperty(h, path.c_str(), &bytes, &size)) return Lit("<false>");
  Bytes b(bytes, bytes + size);
  free(bytes);
  return b;
}

std::string FreeForm(MP4FileHandle h, const char* name, const char* owner) {
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  if (!MP4GetMetadataFreeForm(h, name, &bytes, &size, owner)) return "<false>";
  std::string s(reinterpret_cast<char*>(bytes), size);
  free(bytes);
  return s;
}

struct Handle {
  explicit Handle(MP4FileHandle handle) : h(handle) {}
  ~Handle() { MP4Close(h); }
  operator MP4FileHandle() const { return h; }
  MP4FileHandle h;
};

const char* const kIlst = "moov.udta.meta.ilst.";

class Meta : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = tu::process_scratch("meta");
    const std::string chapters = ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=400\ntitle=One\n"
                                 "[CHAPTER]\nTIMEBASE=1/1000\nSTART=400\nEND=700\ntitle=Zwei\n"
                                 "[CHAPTER]\nTIMEBASE=1/1000\nSTART=700\nEND=1000\ntitle=Trois\n";
    tu::write_file(dir + "chapters.txt", Bytes(chapters.begin(), chapters.end()));
    const std::string av = std::string(kVideo) + " " + kAudio + " ";
    ASSERT_TRUE(tu::ffmpeg("-f lavfi -i color=red:size=16x16 -frames:v 1 " + tu::q(dir + "cover.png")));
    ASSERT_TRUE(tu::ffmpeg(av + "-c:v libx264 -c:a aac -shortest -map_metadata -1 -fflags +bitexact " +
                           tu::q(dir + "plain.mp4")));
    ASSERT_TRUE(tu::ffmpeg(av + "-i " + tu::q(dir + "cover.png") +
                           " -map 0 -map 1 -map 2 -c:v:0 libx264 -c:v:1 copy -c:a aac -disposition:v:1 attached_pic"
                           " -shortest -metadata title=Hello -metadata artist=Someone -metadata album=Album"
                           " -metadata genre=Rock -metadata track=3/12 -metadata disc=1/2 -metadata comment=Words " +
                           tu::q(dir + "tagged.mp4")));
    ASSERT_TRUE(tu::ffmpeg(av + "-i " + tu::q(dir + "chapters.txt") +
                           " -map 0 -map 1 -map_chapters 2 -c:v libx264 -c:a aac -shortest " +
                           tu::q(dir + "chapters.mp4")));
    ASSERT_TRUE(tu::ffmpeg(av + "-i " + tu::q(dir + "chapters.txt") +
                           " -map 0 -map 1 -map_chapters 2 -c:v libx264 -c:a aac -shortest -movflags +disable_chpl " +
                           tu::q(dir + "chapter-track.mp4")));
    tu::run("cp " + tu::q(dir + "plain.mp4") + " " + tu::q(dir + "ap.mp4"));
    ASSERT_EQ(tu::run("AtomicParsley " + tu::q(dir + "ap.mp4") +
                      " --title Hello --genre Rock --compilation true --bpm 120 --tracknum 3/12 --gapless true"
                      " --rDNSatom Value name=MyName domain=org.example --artwork " + tu::q(dir + "cover.png") +
                      " --overWrite").status, 0);
  }
  static std::string Copy(const std::string& from, const std::string& to) {
    tu::run("cp " + tu::q(dir + from) + " " + tu::q(dir + to));
    return dir + to;
  }
  static inline std::string dir;
};

// ---------------------------------------------------------------- reading tagged files

TEST_F(Meta, FfmpegTagsReadAsFfprobeShowsThem) {
  std::map<std::string, std::string> tags = ProbeTags(dir + "tagged.mp4");
  Handle h(MP4Read((dir + "tagged.mp4").c_str(), 0));
  ASSERT_TRUE(h.h);
  const std::pair<const char*, bool (*)(MP4FileHandle, char**)> texts[] = {
      {"title", MP4GetMetadataName},      {"artist", MP4GetMetadataArtist}, {"album", MP4GetMetadataAlbum},
      {"comment", MP4GetMetadataComment}, {"encoder", MP4GetMetadataTool},  {"genre", MP4GetMetadataGenre}};
  for (const auto& t : texts) {
    ASSERT_TRUE(tags.count(t.first)) << t.first;
    EXPECT_EQ(Got(t.second, h), tags[t.first]) << t.first;
  }
  uint16_t number = 0, total = 0;
  ASSERT_TRUE(MP4GetMetadataTrack(h, &number, &total));
  EXPECT_EQ(std::to_string(number) + "/" + std::to_string(total), tags["track"]);
  ASSERT_TRUE(MP4GetMetadataDisk(h, &number, &total));
  EXPECT_EQ(std::to_string(number) + "/" + std::to_string(total), tags["disc"]);
  // The picture as the generator put it in.
  ASSERT_EQ(MP4GetMetadataCoverArtCount(h), 1u);
  uint8_t* art = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(MP4GetMetadataCoverArt(h, &art, &size, 0));
  EXPECT_EQ(Bytes(art, art + size), tu::read_file(dir + "cover.png"));
  free(art);
  EXPECT_EQ(Got(MP4GetMetadataYear, h), "<false>");
}

TEST_F(Meta, AtomicParsleyItemsReadAsItListsThem) {
  const Items items = ApItems(dir + "ap.mp4");
  ASSERT_GE(items.size(), 8u);
  Handle h(MP4Read((dir + "ap.mp4").c_str(), 0));
  ASSERT_TRUE(h.h);
  for (int pass = 0; pass < 2; pass++) {  // a second pass: the getters changed nothing
    for (uint32_t i = 0; i < items.size(); i++) {
      const std::string& code = items[i].first;
      const std::string& shown = items[i].second;
      char* name = nullptr;
      uint8_t* value = nullptr;
      uint32_t size = 0;
      ASSERT_TRUE(MP4GetMetadataByIndex(h, i, &name, &value, &size)) << i;
      const std::string got(name);
      const std::string bytes(reinterpret_cast<char*>(value), size);
      free(name);
      free(value);
      SCOPED_TRACE(code);
      uint16_t a = 0, b = 0;
      uint8_t flag = 9;
      if (code.compare(0, 4, "----") == 0) {
        const size_t semi = code.find(';');
        const std::string owner = code.substr(5, semi - 5), itemName = code.substr(semi + 1, code.size() - semi - 2);
        EXPECT_EQ(got, itemName);
        EXPECT_EQ(FreeForm(h, itemName.c_str(), owner.c_str()), shown);
        EXPECT_EQ(FreeForm(h, itemName.c_str(), nullptr), shown);
        EXPECT_EQ(FreeForm(h, itemName.c_str(), "other.owner"), "<false>");
        continue;
      }
      EXPECT_EQ(got, code);
      if (code == "gnre") {
        EXPECT_EQ(Got(MP4GetMetadataGenre, h), shown);
      } else if (code == "trkn") {
        ASSERT_TRUE(MP4GetMetadataTrack(h, &a, &b));
        EXPECT_EQ(std::to_string(a) + " of " + std::to_string(b), shown);
      } else if (code == "tmpo") {
        ASSERT_TRUE(MP4GetMetadataTempo(h, &a));
        EXPECT_EQ(std::to_string(a), shown);
      } else if (code == "cpil" || code == "pgap") {
        ASSERT_TRUE((code == "cpil" ? MP4GetMetadataCompilation : MP4GetMetadataPartOfGaplessAlbum)(h, &flag));
        EXPECT_EQ(flag ? "true" : "false", shown);
      } else if (code == "covr") {
        EXPECT_EQ(std::to_string(MP4GetMetadataCoverArtCount(h)) + " piece of artwork", shown);
      } else {
        EXPECT_EQ(bytes, shown);
      }
    }
  }
}

// ffmpeg's .mov tags in both forms: QuickTime texts in "udta" (a counted
// text with a language code) and keyed items (a "keys" list under an
// "mdta" handler, items typed by key index 00 00 00 01 and on); and the
// copyright notice of a 3GP file, a full box with a language in "udta". A
// modification and an optimisation leave the tags ffprobe shows as they
// were.
TEST_F(Meta, UserDataTextsAndKeyedItemsSurviveRewriting) {
  const std::pair<const char*, const char*> files[] = {
      {"texts.mov", "-metadata artist=Art1 -metadata album=Alb1 -metadata date=2024 -metadata genre=Gen"
                    " -metadata title=Nam"},
      {"keyed.mov", "-movflags use_metadata_tags -metadata custom_key=v -metadata title=T"},
      {"notice.3gp", "-metadata copyright=Cpy"},
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.first);
    const std::string source = dir + f.first;
    ASSERT_TRUE(tu::ffmpeg(std::string(kVideo) + " -c:v mpeg4 " + f.second + " " + tu::q(source)));
    const std::map<std::string, std::string> tags = ProbeTags(source);
    EXPECT_GE(tags.size(), 4u);
    const std::string optimised = dir + "optimised-" + f.first;
    EXPECT_TRUE(MP4Optimize(source.c_str(), optimised.c_str(), 0));
    EXPECT_EQ(ProbeTags(optimised), tags);
    const std::string modified = Copy(f.first, std::string("modified-") + f.first);
    MP4Close(MP4Modify(modified.c_str(), 0));
    EXPECT_EQ(ProbeTags(modified), tags);
  }
}

// ---------------------------------------------------------------- writing and deleting

TEST_F(Meta, WrittenItemsReadBackThroughTheTools) {
  const std::string path = Copy("plain.mp4", "written.mp4");
  const Bytes cover = tu::read_file(dir + "cover.png");
  const std::string v1 = "first value", v2 = "second";
  {
    Handle h(MP4Modify(path.c_str(), 0));
    ASSERT_TRUE(h.h);
    const std::pair<bool (*)(MP4FileHandle, const char*), const char*> texts[] = {
        {MP4SetMetadataName, "Title"},      {MP4SetMetadataWriter, "Composer"}, {MP4SetMetadataAlbum, "Album"},
        {MP4SetMetadataArtist, "Artist"},   {MP4SetMetadataTool, "Tool"},       {MP4SetMetadataComment, "Comment"},
        {MP4SetMetadataYear, "2024"},       {MP4SetMetadataGrouping, "Group"},  {MP4SetMetadataAlbumArtist, "Band"}};
    for (const auto& t : texts) EXPECT_TRUE(t.first(h, t.second)) << t.second;
    EXPECT_TRUE(MP4SetMetadataName(h, "Hello"));  // overwritten
    EXPECT_TRUE(MP4SetMetadataTrack(h, 3, 12));
    EXPECT_TRUE(MP4SetMetadataDisk(h, 1, 2));
    EXPECT_TRUE(MP4SetMetadataGenre(h, "rock"));
    EXPECT_TRUE(MP4SetMetadataTempo(h, 120));
    EXPECT_TRUE(MP4SetMetadataCompilation(h, 1));
    EXPECT_TRUE(MP4SetMetadataPartOfGaplessAlbum(h, 1));
    EXPECT_TRUE(MP4SetMetadataCoverArt(h, cover.data(), static_cast<uint32_t>(cover.size())));
    EXPECT_TRUE(MP4SetMetadataFreeForm(h, "MyName", reinterpret_cast<const uint8_t*>(v1.data()),
                                       static_cast<uint32_t>(v1.size()), "org.example"));
    EXPECT_TRUE(MP4SetMetadataFreeForm(h, "Other", reinterpret_cast<const uint8_t*>(v2.data()),
                                       static_cast<uint32_t>(v2.size()), nullptr));
    EXPECT_FALSE(MP4SetMetadataArtist(h, nullptr));
  }
  const Items expected = {{"\xA9nam", "Hello"},      {"\xA9wrt", "Composer"},  {"\xA9" "alb", "Album"},
                          {"\xA9" "ART", "Artist"},  {"\xA9too", "Tool"},      {"\xA9" "cmt", "Comment"},
                          {"\xA9" "day", "2024"},    {"\xA9grp", "Group"},     {"aART", "Band"},
                          {"trkn", "3 of 12"},       {"disk", "1 of 2"},       {"gnre", "Rock"},
                          {"tmpo", "120"},           {"cpil", "true"},         {"pgap", "hex 0x01"},
                          {"covr", "1 piece of artwork"}, {"----[org.example;MyName]", v1},
                          {"----[com.apple.iTunes;Other]", v2}};
  EXPECT_EQ(Sorted(ApItems(path)), Sorted(expected));

  std::map<std::string, std::string> tags = ProbeTags(path);
  const std::map<std::string, std::string> probed = {
      {"title", "Hello"},  {"composer", "Composer"}, {"album", "Album"},   {"artist", "Artist"},
      {"encoder", "Tool"}, {"comment", "Comment"},   {"date", "2024"},     {"grouping", "Group"},
      {"album_artist", "Band"}, {"track", "3/12"},   {"disc", "1/2"},      {"genre", "Rock"},
      {"compilation", "1"}, {"gapless_playback", "1"}, {"MyName", v1},     {"Other", v2}};
  for (const auto& t : probed) EXPECT_EQ(tags[t.first], t.second) << t.first;
  EXPECT_EQ(tu::run("ffprobe -v error " + tu::q(path)).out, "");
  // The cover is typed as the PNG it is, so that ffprobe shows it.
  EXPECT_NE(tu::run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + tu::q(path)).out.find("png"),
            std::string::npos);

  std::map<std::string, std::string> exif = Exif(path);
  const std::map<std::string, std::string> exifExpected = {
      {"Title", "Hello"},     {"Composer", "Composer"}, {"Album", "Album"},      {"Artist", "Artist"},
      {"Encoder", "Tool"},    {"Comment", "Comment"},   {"ContentCreateDate", "2024"}, {"Grouping", "Group"},
      {"AlbumArtist", "Band"}, {"TrackNumber", "3 of 12"}, {"DiskNumber", "1 of 2"}, {"Genre", "Rock"},
      {"BeatsPerMinute", "120"}, {"Compilation", "Yes"}, {"PlayGap", "No Gap"}, {"MyName", v1},
      {"Other", v2}};
  for (const auto& t : exifExpected) EXPECT_EQ(exif[t.first], t.second) << t.first;
  EXPECT_NE(exif["CoverArt"].find(std::to_string(cover.size()) + " bytes"), std::string::npos) << exif["CoverArt"];

  // Deleting takes exactly the items named; a genre outside the list
  // replaces the numbered one.
  {
    Handle h(MP4Modify(path.c_str(), 0));
    ASSERT_TRUE(h.h);
    EXPECT_TRUE(MP4DeleteMetadataArtist(h));
    EXPECT_FALSE(MP4DeleteMetadataArtist(h));
    EXPECT_TRUE(MP4DeleteMetadataTrack(h));
    EXPECT_TRUE(MP4DeleteMetadataTempo(h));
    EXPECT_TRUE(MP4DeleteMetadataCoverArt(h));
    EXPECT_TRUE(MP4DeleteMetadataFreeForm(h, "MyName", "org.example"));
    EXPECT_FALSE(MP4DeleteMetadataFreeForm(h, "Other", "org.example"));
    EXPECT_TRUE(MP4SetMetadataGenre(h, "Chiptune"));
  }
  Items left;
  for (const auto& item : expected) {
    const std::string& c = item.first;
    if (c == "\xA9" "ART" || c == "trkn" || c == "tmpo" || c == "covr" || c == "gnre" || c == "----[org.example;MyName]")
      continue;
    left.push_back(item);
  }
  left.push_back({"\xA9gen", "Chiptune"});
  EXPECT_EQ(Sorted(ApItems(path)), Sorted(left));
  {
    Handle h(MP4Modify(path.c_str(), 0));
    ASSERT_TRUE(h.h);
    EXPECT_TRUE(MP4MetadataDelete(h));
    EXPECT_FALSE(MP4MetadataDelete(h));
  }
  EXPECT_EQ(ApItems(path), Items{});
  EXPECT_EQ(ProbeTags(path).count("title"), 0u);
}

// ---------------------------------------------------------------- encodings and edge cases

TEST_F(Meta, ItemEncodingsAndEdgeCases) {
  Handle h(MP4Modify(Copy("plain.mp4", "edges.mp4").c_str(), 0));
  ASSERT_TRUE(h.h);
  const std::string ilst = kIlst;
  EXPECT_EQ(Got(MP4GetMetadataName, h), "<false>");
  EXPECT_EQ(MP4GetMetadataCoverArtCount(h), 0u);

  ASSERT_TRUE(MP4SetMetadataTrack(h, 3, 12));
  EXPECT_EQ(Raw(h, ilst + "trkn.data.metadata"), (Bytes{0, 0, 0, 3, 0, 12, 0, 0}));
  ASSERT_TRUE(MP4SetMetadataDisk(h, 1, 2));
  EXPECT_EQ(Raw(h, ilst + "disk.data.metadata"), (Bytes{0, 0, 0, 1, 0, 2}));
  uint16_t a = 9, b = 9;
  for (const Bytes& disk : {Bytes{0, 0, 0, 1, 0, 2, 0, 0}, Bytes{0, 0, 0, 1}}) {
    ASSERT_TRUE(MP4SetBytesProperty(h, (ilst + "disk.data.metadata").c_str(), disk.data(), uint32_t(disk.size())));
    EXPECT_TRUE(MP4GetMetadataDisk(h, &a, &b));
    EXPECT_EQ(a, disk.size() == 8 ? 1 : 0);
    EXPECT_EQ(b, disk.size() == 8 ? 2 : 0);
  }
  ASSERT_TRUE(MP4SetMetadataTempo(h, 0x1234));
  EXPECT_EQ(Raw(h, ilst + "tmpo.data.metadata"), (Bytes{0x12, 0x34}));
  ASSERT_TRUE(MP4SetMetadataCompilation(h, 2));
  EXPECT_EQ(Raw(h, ilst + "cpil.data.metadata"), Bytes{0});

  // Genre: by number for a listed name in any case, else as text; reading
  // leaves the number in place.
  ASSERT_TRUE(MP4SetMetadataGenre(h, "Chiptune"));
  EXPECT_EQ(Raw(h, ilst + "\xA9gen.data.metadata"), Lit("Chiptune"));
  ASSERT_TRUE(MP4SetMetadataGenre(h, "rOCK"));
  EXPECT_EQ(Raw(h, ilst + "gnre.data.metadata"), (Bytes{0, 0x12}));
  EXPECT_EQ(Raw(h, ilst + "\xA9gen.data.metadata"), Lit("<false>"));
  EXPECT_EQ(Got(MP4GetMetadataGenre, h), "Rock");
  EXPECT_EQ(Got(MP4GetMetadataGenre, h), "Rock");
  const std::pair<const char*, uint16_t> genres[] = {{"Blues", 1}, {"Psychadelic", 68}, {"Bebob", 86},
                                                      {"A capella", 124}, {"Contemporary C", 141}, {"SynthPop", 148}};
  for (const auto& g : genres) {
    ASSERT_TRUE(MP4SetMetadataGenre(h, g.first));
    EXPECT_EQ(Raw(h, ilst + "gnre.data.metadata"), BE(g.second, 2)) << g.first;
  }
  for (uint16_t outside : {0, 149}) {
    ASSERT_TRUE(MP4SetBytesProperty(h, (ilst + "gnre.data.metadata").c_str(), BE(outside, 2).data(), 2));
    EXPECT_EQ(Got(MP4GetMetadataGenre, h), "");
  }
  EXPECT_TRUE(MP4DeleteMetadataGenre(h));
  EXPECT_FALSE(MP4DeleteMetadataGenre(h));

  // The value types of new items, and the handler.
  ASSERT_TRUE(MP4SetMetadataName(h, "n"));
  const Bytes png = tu::read_file(dir + "cover.png");
  ASSERT_TRUE(MP4SetMetadataCoverArt(h, png.data(), uint32_t(png.size())));
  const std::pair<std::string, uint64_t> flags[] = {
      {"\xA9nam", 1}, {"trkn", 0}, {"disk", 0}, {"tmpo", 21}, {"cpil", 21}, {"covr", 14}};
  for (const auto& f : flags) {
    uint64_t value = 99;
    EXPECT_TRUE(MP4GetIntegerProperty(h, (ilst + f.first + ".data.flags").c_str(), &value));
    EXPECT_EQ(value, f.second) << f.first;
  }
  const char* handler = nullptr;
  EXPECT_TRUE(MP4GetStringProperty(h, "moov.udta.meta.hdlr.handlerType", &handler));
  EXPECT_STREQ(handler, "mdir");
  EXPECT_EQ(Raw(h, "moov.udta.meta.hdlr.reserved2"), Cat({Lit("appl"), Bytes(8, 0)}));

  // Cover art: index 1 of 1 fails in the lookup, beyond it at once.
  uint8_t* art = nullptr;
  uint32_t size = 7;
  EXPECT_FALSE(MP4GetMetadataCoverArt(h, &art, &size, 1));
  EXPECT_FALSE(MP4GetMetadataCoverArt(h, &art, &size, 2));
  EXPECT_EQ(art, nullptr);
  EXPECT_EQ(size, 0u);

  // Free-form items: the same name and owner overwrite, another owner adds.
  const uint8_t x[] = {'x'}, y[] = {'y', 'y'}, z[] = {'z'};
  ASSERT_TRUE(MP4SetMetadataFreeForm(h, "N", x, 1, "o.one"));
  ASSERT_TRUE(MP4SetMetadataFreeForm(h, "N", y, 2, "o.one"));
  ASSERT_TRUE(MP4SetMetadataFreeForm(h, "N", z, 1, "o.two"));
  EXPECT_EQ(FreeForm(h, "N", "o.one"), "yy");
  EXPECT_EQ(FreeForm(h, "N", "o.two"), "z");
  EXPECT_EQ(FreeForm(h, "N", nullptr), "yy");
  EXPECT_EQ(FreeForm(h, "M", nullptr), "<false>");
  EXPECT_EQ(Raw(h, ilst + "----[2].name.metadata"), Lit("<false>"));

  // By index: codes, and free-form items under their names.
  std::vector<std::string> names;
  for (uint32_t i = 0;; i++) {
    char* name = nullptr;
    uint8_t* value = nullptr;
    uint32_t n = 0;
    if (!MP4GetMetadataByIndex(h, i, &name, &value, &n)) break;
    names.push_back(name);
    free(name);
    free(value);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"trkn", "disk", "tmpo", "cpil", "\xA9nam", "covr", "N", "N"}));
  EXPECT_TRUE(MP4DeleteMetadataFreeForm(h, "N", "o.two"));
  EXPECT_EQ(FreeForm(h, "N", "o.two"), "<false>");
  EXPECT_EQ(FreeForm(h, "N", "o.one"), "yy");
}

// ---------------------------------------------------------------- the atoms

Bytes Ilst(const Bytes& items) {
  return Box("moov", Box("udta", FullBox("meta", 0, 0, Cat({FullBox("hdlr", 0, 0, Cat({BE(0, 4), Lit("mdir"),
                                                                                       Bytes(12, 0), Bytes{0}})),
                                                            Box("ilst", items)}))));
}

TEST(MetaAtoms, ItemAtomsReadAndWriteBack) {
  struct Case {
    const char* what;
    Bytes input;
    std::vector<std::pair<std::string, std::string>> values;  // path, hex of a bytes field
    std::string error;
  };
  const std::string ilst = kIlst;
  const Case cases[] = {
      {"data with an empty value", Ilst(Box("\xA9" "ART", FullBox("data", 0, 1, BE(0, 4)))),
       {{ilst + "\xA9" "ART.data.metadata", ""}}, ""},
      {"data too short for its head",
       Cat({Ilst(Box("\xA9" "ART", FullBox("data", 0, 1, {}))), Box("free", Bytes(16, 0))}), {},
       "Atom ReadProperties: atom is too small"},
      {"free-form item: a mean of 16 bytes",
       Ilst(Box("----", Cat({FullBox("mean", 0, 0, Lit("com.apple.iTunes")), FullBox("name", 0, 0, Lit("N")),
                             FullBox("data", 0, 1, Cat({BE(0, 4), Lit("v")}))}))),
       {{ilst + "----.mean.metadata", "636f6d2e6170706c652e6954756e6573"}, {ilst + "----.name.metadata", "4e"},
        {ilst + "----.data.metadata", "76"}}, ""},
      {"free-form item without a mean",
       Ilst(Box("----", Cat({FullBox("name", 0, 0, Lit("N")), FullBox("data", 0, 1, Cat({BE(0, 4), Lit("v")}))}))),
       {{ilst + "----.name.metadata", "4e"}}, ""},
      {"a QuickTime text under udta",
       Box("moov", Box("udta", Box("\xA9nam", Cat({Bytes{0, 5, 0x55, 0xC4}, Lit("hello")})))),
       {{"moov.udta.\xA9nam.reserved2", "000555c4"}, {"moov.udta.\xA9nam.metadata", "68656c6c6f"}}, ""},
      // Item 4CCs that name a list item with a "data" box elsewhere; one
      // too short for length and language.
      {"QuickTime texts under udta with the 4CCs of items",
       Box("moov", Box("udta", Cat({Box("\xA9" "ART", Cat({Bytes{0, 4, 0x55, 0xC4}, Lit("Art1")})),
                                    Box("\xA9too", Cat({Bytes{0, 1, 0x15, 0xC7}, Lit("t")})),
                                    Box("\xA9grp", Bytes{0, 0})}))),
       {{"moov.udta.\xA9" "ART.reserved2", "000455c4"}, {"moov.udta.\xA9" "ART.metadata", "41727431"},
        {"moov.udta.\xA9too.reserved2", "000115c7"}, {"moov.udta.\xA9too.metadata", "74"}}, ""},
      {"the same text atom as an item", Ilst(Box("\xA9nam", FullBox("data", 0, 1, Cat({BE(0, 4), Lit("hi")})))),
       {{ilst + "\xA9nam.data.metadata", "6869"}}, ""},
      {"a QuickTime name in a track's udta, shorter than a version",
       Box("moov", Box("trak", Box("udta", Box("name", Lit("ab"))))), {}, ""},
      {"meta in the QuickTime form",
       Box("moov", Box("udta", Box("meta", Cat({FullBox("hdlr", 0, 0, Cat({BE(0, 4), Lit("mdir"), Bytes(13, 0)})),
                                                Box("ilst", Box("aART", FullBox("data", 0, 1, Cat({BE(0, 4), Lit("b")}))))})))),
       {{ilst + "aART.data.metadata", "62"}}, ""},
      {"a copyright notice under udta: a full box with a language",
       Box("moov", Box("udta", FullBox("cprt", 0, 0, Cat({BE(0x15C7, 2), Lit("Cpy\0")})))), {}, ""},
      {"keyed items, typed by key index",
       Box("moov", Box("udta", Box("meta", Cat({FullBox("hdlr", 0, 0, Cat({BE(0, 4), Lit("mdta"), Bytes(13, 0)})),
                                                FullBox("keys", 0, 0, Cat({BE(1, 4), BE(9, 4), Lit("mdtak")})),
                                                Box("ilst", Box("\0\0\0\x01", FullBox("data", 0, 1, Cat({BE(0, 4), Lit("v")}))))})))),
       {}, ""},
      {"chpl without chapters", Box("moov", Box("udta", FullBox("chpl", 1, 0, Bytes(5, 0)))), {}, ""},
      {"chpl with two chapters",
       Box("moov", Box("udta", FullBox("chpl", 1, 0, Cat({Bytes{0}, BE(2, 4), BE(0, 8), Bytes{1}, Lit("a"),
                                                          BE(10000000, 8), Bytes{2}, Lit("bc")})))),
       {{"moov.udta.chpl.chapters[1].name", "6263"}}, ""},
      {"chpl whose count runs past it",
       Box("moov", Box("udta", FullBox("chpl", 1, 0, Cat({Bytes{0}, BE(200, 4), BE(0, 8), Bytes{1}, Lit("a")})))), {},
       "Atom ReadProperties: atom is too small"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TreeReader r(c.input);
    const std::string error = r.Read();
    EXPECT_EQ(error, c.error);
    if (!error.empty()) continue;
    for (const auto& v : c.values) {
      MP4Property* p = nullptr;
      uint32_t index = 0;
      ASSERT_TRUE(r.Root()->FindProperty(v.first.c_str(), &p, &index)) << v.first;
      std::string hex;
      if (p->GetType() == BytesProperty) {
        MP4BytesProperty* bp = static_cast<MP4BytesProperty*>(p);
        for (uint32_t i = 0; i < bp->GetValueSize(index); i++) {
          char d[3];
          snprintf(d, sizeof d, "%02x", bp->GetValuePointer(index)[i]);
          hex += d;
        }
      } else {
        for (const char* s = static_cast<MP4StringProperty*>(p)->GetValue(index); *s; s++) {
          char d[3];
          snprintf(d, sizeof d, "%02x", static_cast<uint8_t>(*s));
          hex += d;
        }
      }
      EXPECT_EQ(hex, v.second) << v.first;
    }
    // Every atom writes back the bytes it was read from.
    EXPECT_EQ(WriteBack(r.file.get(), r.Root()->GetChildAtom(0)), c.input);
  }
}

TEST(MetaAtoms, FreeFormItemWithoutNameHidesNoOther) {
  const Bytes value = FullBox("data", 0, 1, Cat({BE(0, 4), Lit("v")}));
  TreeReader r(Ilst(Cat({Box("----", value),
                         Box("----", Cat({FullBox("mean", 0, 0, Lit("o")), FullBox("name", 0, 0, Lit("N")), value}))})));
  ASSERT_EQ(r.Read(), "");
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(r.file->GetMetadataFreeForm("N", &bytes, &size, "o"));
  EXPECT_EQ(Bytes(bytes, bytes + size), Lit("v"));
  free(bytes);
}

// A file in memory opened for modification: an empty movie with a user
// data box of the given children.
struct ModifiedInMemory {
  explicit ModifiedInMemory(const Bytes& udta) {
    mem.data = Cat({Box("ftyp", Cat({Lit("isom"), BE(0, 4)})), Box("mdat", {}), Moov({Box("udta", udta)})});
    ok = file.Modify("crafted.mp4", &mem, &io);
  }
  MemFile mem;
  Virtual_IO io = MemFileIO();
  MP4File file;  // closes the handle, so destroyed first
  bool ok = false;
};

TEST(MetaAtoms, ChapterFailuresCarryTheirMessages) {
  ModifiedInMemory m(FullBox("chpl", 1, 0, Bytes(5, 0)));
  ASSERT_TRUE(m.ok);
  MP4File& f = m.file;
  MP4ChapterStruct* list = reinterpret_cast<MP4ChapterStruct*>(&f);
  uint32_t count = 7;
  // An empty list is no error; converting it is.
  f.GetChaptersList(&list, &count, false);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(count, 0u);
  const struct {
    std::function<void()> call;
    const char* where;
    const char* message;
  } cases[] = {
      {[&] { f.ConvertChapters(true); }, "ConvertChapters", "Could not find chapter markers"},
      {[&] { f.GetChaptersList(&list, &count, true); }, "GetChaptersList", "Could not find a chapter track"},
      {[&] { f.AddChapter(0u, 1000u, 1u, "x"); }, "AddChapter", "No chapter track given"},
      {[&] { f.DeleteChapters(0, false), f.GetChaptersList(&list, &count, false); }, "GetChaptersList",
       "Atom moov.udta.chpl does not exist "},
  };
  for (const auto& c : cases) {
    const MP4Error e = Thrown(c.call);
    EXPECT_STREQ(e.where, c.where);
    EXPECT_STREQ(e.message, c.message);
  }
  // Chapters added to a new list: "Chapter %03u" for no title, 255 bytes
  // at the most.
  f.AddChapter(0, "a");
  f.AddChapter(10000000, nullptr);
  f.AddChapter(20000000, std::string(300, 'x').c_str());
  MP4Property* p = nullptr;
  uint32_t index = 0;
  ASSERT_TRUE(f.FindProperty("moov.udta.chpl.chapters[1].name", &p, &index));
  EXPECT_STREQ(static_cast<MP4StringProperty*>(p)->GetValue(index), "Chapter 002");
  ASSERT_TRUE(f.FindProperty("moov.udta.chpl.chapters[2].name", &p, &index));
  EXPECT_EQ(std::string(static_cast<MP4StringProperty*>(p)->GetValue(index)), std::string(255, 'x'));
  EXPECT_EQ(f.GetIntegerProperty("moov.udta.chpl.chaptercount"), 3u);
}

// A "meta" without its handler takes no new item: every setter fails, and
// the user data is written back as it was, with no empty item.
TEST(MetaAtoms, NoItemJoinsAMetaWithoutHandler) {
  const Bytes udta = FullBox("meta", 0, 0, Box("ilst", {}));
  ModifiedInMemory m(udta);
  ASSERT_TRUE(m.ok);
  MP4File& f = m.file;
  const uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_FALSE(MP4SetMetadataName(&f, "Title"));
  EXPECT_FALSE(MP4SetMetadataTrack(&f, 3, 12));
  EXPECT_FALSE(MP4SetMetadataTempo(&f, 120));
  EXPECT_FALSE(MP4SetMetadataCompilation(&f, 1));
  EXPECT_FALSE(MP4SetMetadataGenre(&f, "Rock"));
  EXPECT_FALSE(MP4SetMetadataGenre(&f, "Chiptune"));
  EXPECT_FALSE(MP4SetMetadataCoverArt(&f, png, sizeof png));
  EXPECT_FALSE(MP4SetMetadataFreeForm(&f, "Name", png, 4, nullptr));
  f.Close();
  const std::vector<Walked> boxes = Walk(m.mem.data);
  const Walked* written = Find(boxes, "udta");
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(Bytes(m.mem.data.begin() + written->offset, m.mem.data.begin() + written->offset + written->size),
            Box("udta", udta));
}

// A list holds 255 chapters, the most that other readers count (in one
// byte): the 256th is refused and the list stays as it was. Titles cut to
// the 255 bytes of their length end on a whole UTF-8 character.
TEST(MetaAtoms, ChapterListHoldsAtMost255) {
  ModifiedInMemory m({});
  ASSERT_TRUE(m.ok);
  MP4File& f = m.file;
  const std::string a254(254, 'a'), a253(253, 'a'), a255(255, 'a');
  const struct {
    std::string title, stored;
  } titles[] = {{a254 + "\xC3\xA9", a254},        // é split by the cut
                {a253 + "\xE2\x82\xAC", a253},    // € split by the cut
                {a255 + "\xC3\xA9", a255},        // é after the cut
                {a254 + "\xF0\x9F\x8E\xAC", a254}};  // a 4-byte character
  for (const auto& t : titles) MP4AddChapter(&f, 0, t.title.c_str());
  for (uint32_t i = 4; i < 300; i++) MP4AddChapter(&f, uint64_t(i) * 10000000, nullptr);
  EXPECT_EQ(f.GetIntegerProperty("moov.udta.chpl.chaptercount"), 255u);
  MP4ChapterStruct* list = nullptr;
  uint32_t count = 0;
  MP4GetChaptersList(&f, &list, &count, false);
  ASSERT_EQ(count, 255u);
  for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(list[i].title, titles[i].stored) << i;
  EXPECT_STREQ(list[254].title, "Chapter 255");
  free(list);
}

TEST(MetaAtoms, NewChapterListIsVersionOneAndEmpty) {
  MP4File file;
  std::unique_ptr<MP4Atom> chpl(MP4Atom::CreateAtom("chpl"));
  chpl->SetFile(&file);
  chpl->Generate();
  EXPECT_EQ(WriteBack(&file, chpl.get()), FullBox("chpl", 1, 0, Bytes(5, 0)));
}

// ---------------------------------------------------------------- chapters

TEST_F(Meta, FfmpegChaptersListAsFfprobeShowsThem) {
  const std::vector<Chapter> probed = ProbeChapters(dir + "chapters.mp4");
  ASSERT_EQ(probed.size(), 3u);
  Handle h(MP4Read((dir + "chapters.mp4").c_str(), 0));
  ASSERT_TRUE(h.h);
  // The list form ends at the movie's end, which ffprobe shows as the
  // last chapter's end too.
  EXPECT_EQ(Listed(h, false), probed);
  EXPECT_EQ(Listed(h, true), probed);

  const std::vector<Chapter> track = ProbeChapters(dir + "chapter-track.mp4");
  ASSERT_EQ(track.size(), 3u);
  Handle t(MP4Read((dir + "chapter-track.mp4").c_str(), 0));
  EXPECT_EQ(Listed(t, true), track);
  EXPECT_EQ(Listed(t, false), std::vector<Chapter>{});
}

TEST_F(Meta, WrittenChaptersOfEachFormAndConvertedReadBackThroughFfprobe) {
  const std::vector<Chapter> expected = {{"Intro", 0, 250}, {"Chapter 002", 250, 600}, {"End", 600, 1000}};
  const std::string list = Copy("plain.mp4", "list.mp4");
  {
    Handle h(MP4Modify(list.c_str(), 0));
    ASSERT_TRUE(h.h);
    MP4AddChapter(h, 0, "Intro");
    MP4AddChapter(h, 2500000, nullptr);
    MP4AddChapter(h, 6000000, "End");
    EXPECT_EQ(MP4GetDuration(h) * 1000 / MP4GetTimeScale(h), 1000u);
  }
  EXPECT_EQ(ProbeChapters(list), expected);

  const std::string track = Copy("plain.mp4", "track.mp4");
  {
    Handle h(MP4Modify(track.c_str(), 0));
    ASSERT_TRUE(h.h);
    const uint32_t sound = MP4FindTrackId(h, 0, "soun", 0);
    const uint32_t chapters = MP4AddChapterTextTrack(h, sound, 1000);
    ASSERT_NE(chapters, 0u);
    MP4AddQTChapter(h, chapters, 250, 1, "Intro");
    MP4AddQTChapter(h, chapters, 350, 2, nullptr);
    MP4AddQTChapter(h, chapters, 400, 3, "End");
  }
  EXPECT_EQ(ProbeChapters(track), expected);
  {
    // A chapter sample: the title's length, the title, an "encd" box.
    Handle h(MP4Read(track.c_str(), 0));
    EXPECT_EQ(Sample(h, 1, 3), std::string("\0\5Intro\0\0\0\x0C" "encd\0\0\1\0", 19));
  }

  // The list becomes a track and the track a list; the old form goes.
  const std::pair<std::string, bool> conversions[] = {{list, true}, {track, false}};
  for (const auto& c : conversions) {
    SCOPED_TRACE(c.first);
    {
      Handle h(MP4Modify(c.first.c_str(), 0));
      ASSERT_TRUE(h.h);
      MP4ConvertChapters(h, c.second);
      MP4DeleteChapters(h, 0, !c.second);
      EXPECT_EQ(Listed(h, !c.second), std::vector<Chapter>{});
    }
    EXPECT_EQ(ProbeChapters(c.first), expected);
    Handle h(MP4Read(c.first.c_str(), 0));
    EXPECT_EQ(Listed(h, c.second), expected);
  }
}

// 300 chapters: the list keeps the first 255, which ffprobe lists as
// they are; a chapter track of 300 is not converted to a list, and nothing
// changes.
TEST_F(Meta, ChapterListsStopAt255) {
  const FileSizeLimit limit;
  const std::string list = Copy("plain.mp4", "300-list.mp4");
  {
    Handle h(MP4Modify(list.c_str(), 0));
    ASSERT_TRUE(h.h);
    for (uint32_t i = 0; i < 300; i++) MP4AddChapter(h, uint64_t(i) * 30000, nullptr);
  }
  const std::vector<Chapter> probed = ProbeChapters(list);
  ASSERT_EQ(probed.size(), 255u);
  for (uint32_t i = 0; i < 255; i++) {
    char title[16];
    snprintf(title, sizeof title, "Chapter %03u", i + 1);
    EXPECT_EQ(probed[i].title, title) << i;
    EXPECT_EQ(probed[i].start, int64_t(i) * 3) << i;
  }
  // exiftool lists them too: "[0:00:00.000] Chapter 001, ...".
  const std::string listed = Exif(list)["ChapterList"];
  size_t shown = 0;
  for (size_t at = listed.find("] Chapter "); at != std::string::npos; at = listed.find("] Chapter ", at + 1)) shown++;
  EXPECT_EQ(shown, 255u);
  EXPECT_NE(listed.find("Chapter 255"), std::string::npos);

  const std::string track = Copy("plain.mp4", "300-track.mp4");
  {
    Handle h(MP4Modify(track.c_str(), 0));
    ASSERT_TRUE(h.h);
    const uint32_t chapters = MP4AddChapterTextTrack(h, MP4FindTrackId(h, 0, "soun", 0), 1000);
    ASSERT_NE(chapters, 0u);
    for (uint32_t i = 0; i < 300; i++) MP4AddQTChapter(h, chapters, 3, i + 1, nullptr);
    MP4ConvertChapters(h, false);
    EXPECT_EQ(Listed(h, false), std::vector<Chapter>{});
    EXPECT_EQ(Listed(h, true).size(), 300u);
  }
  EXPECT_EQ(ProbeChapters(track).size(), 300u);
  EXPECT_EQ(tu::run("AtomicParsley " + tu::q(track) + " -T 1").out.find("chpl"), std::string::npos);
}

// Chapters do not change on a file opened for reading: adding, deleting
// and converting either form leave both as ffprobe shows them.
TEST_F(Meta, ChaptersOfAReadFileStayAsTheyAre) {
  const std::vector<Chapter> probed = ProbeChapters(dir + "chapters.mp4");
  ASSERT_EQ(probed.size(), 3u);
  Handle h(MP4Read((dir + "chapters.mp4").c_str(), 0));
  ASSERT_TRUE(h.h);
  const uint32_t tracks = MP4GetNumberOfTracks(h, nullptr, 0);
  MP4AddChapter(h, 9000000, "More");
  MP4ConvertChapters(h, true);
  MP4ConvertChapters(h, false);
  MP4DeleteChapters(h, 0, false);
  MP4DeleteChapters(h, 0, true);
  EXPECT_EQ(Listed(h, false), probed);
  EXPECT_EQ(Listed(h, true), probed);
  EXPECT_EQ(MP4GetNumberOfTracks(h, nullptr, 0), tracks);
}

// Items do not change on a file opened for reading either: every setter
// and deleter fails, and the items read as ffprobe shows them.
TEST_F(Meta, ItemsOfAReadFileStayAsTheyAre) {
  std::map<std::string, std::string> tags = ProbeTags(dir + "tagged.mp4");
  ASSERT_EQ(tags["title"], "Hello");
  Handle h(MP4Read((dir + "tagged.mp4").c_str(), 0));
  ASSERT_TRUE(h.h);
  const uint8_t value[] = {'v'};
  EXPECT_FALSE(MP4SetMetadataName(h, "Changed"));
  EXPECT_FALSE(MP4SetMetadataWriter(h, "New"));
  EXPECT_FALSE(MP4SetMetadataTrack(h, 1, 1));
  EXPECT_FALSE(MP4SetMetadataGenre(h, "Chiptune"));
  EXPECT_FALSE(MP4SetMetadataCoverArt(h, value, 1));
  EXPECT_FALSE(MP4SetMetadataFreeForm(h, "Name", value, 1, nullptr));
  EXPECT_FALSE(MP4DeleteMetadataAlbum(h));
  EXPECT_FALSE(MP4DeleteMetadataGenre(h));
  EXPECT_FALSE(MP4MetadataDelete(h));
  EXPECT_EQ(Got(MP4GetMetadataName, h), tags["title"]);
  EXPECT_EQ(Got(MP4GetMetadataArtist, h), tags["artist"]);
  EXPECT_EQ(Got(MP4GetMetadataAlbum, h), tags["album"]);
  EXPECT_EQ(Got(MP4GetMetadataGenre, h), tags["genre"]);
  EXPECT_EQ(Got(MP4GetMetadataWriter, h), "<false>");
  EXPECT_EQ(FreeForm(h, "Name", nullptr), "<false>");
  uint16_t track = 0, total = 0;
  EXPECT_TRUE(MP4GetMetadataTrack(h, &track, &total));
  EXPECT_EQ(std::to_string(track) + "/" + std::to_string(total), tags["track"]);
}

TEST_F(Meta, ChapterTrackSamplesAreBoundedAndWalkedOnce) {
  const std::string path = Copy("plain.mp4", "odd-chapters.mp4");
  Handle h(MP4Modify(path.c_str(), 0));
  ASSERT_TRUE(h.h);
  // A second sound track without chapters comes first: it is no match.
  const uint32_t sound = MP4FindTrackId(h, 0, "soun", 0);
  const uint32_t other = MP4AddAudioTrack(h, 48000, 1024, 0x40);
  ASSERT_NE(other, 0u);
  ASSERT_NE(sound, 0u);
  const uint32_t chapters = MP4AddChapterTextTrack(h, other, 1000);
  ASSERT_NE(chapters, 0u);
  // A length beyond the sample, a sample of no duration, a title with no
  // room for a NUL in the list's 1024 bytes.
  const Bytes cut = {0xFF, 0xFF, 'a', 'b'};
  ASSERT_TRUE(MP4WriteSample(h, chapters, cut.data(), 4, 0, 0, true));
  const std::string longTitle(2000, 't');
  MP4AddQTChapter(h, chapters, 500, 2, "x");
  Bytes big = Cat({BE(2000, 2), Bytes(longTitle.begin(), longTitle.end())});
  ASSERT_TRUE(MP4WriteSample(h, chapters, big.data(), uint32_t(big.size()), 500, 0, true));
  const std::vector<Chapter> listed = Listed(h, true);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0], (Chapter{"ab", 0, 0}));
  EXPECT_EQ(listed[1], (Chapter{"x", 0, 500}));
  EXPECT_EQ(listed[2], (Chapter{std::string(1023, 't'), 500, 1000}));
  MP4DeleteChapters(h, 0, true);
  EXPECT_EQ(MP4GetNumberOfTracks(h, "text", 0), 0u);
}

}  // namespace
