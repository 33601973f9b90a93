// Files of ffmpeg's made 3GP- and ISMA-compliant through the interface:
// brands against ffprobe's, the boxes and samples added against an
// independent walk and hand-made bytes, the session description's initial
// object descriptor decoded with coreutils base64 and taken apart by a
// descriptor walker of the test's own, and the files still decoded by
// ffmpeg; refusals leave a playable file.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "mp4descriptor.h"
#include "mp4files.h"

namespace {

using namespace mp4test;

const char* const kSource = "-f lavfi -i testsrc=size=160x120:rate=10:duration=1 -f lavfi -i sine=duration=1 -shortest ";
// Without the encoder's name in the configuration the tracks' descriptors
// fit the 255 characters of a data URL.
const char* const kBitexact = "-fflags +bitexact -flags:v +bitexact -flags:a +bitexact ";

// The scene access units for audio only, video only, and both.
const Bytes kSceneAudio = {0xC0, 0x10, 0x12, 0x81, 0x30, 0x2A, 0x05, 0x6D, 0xC0};
const Bytes kSceneVideo = {0xC0, 0x10, 0x12, 0x61, 0x04, 0x1F, 0xC0, 0x00, 0x00, 0x1F,
                           0xC0, 0x00, 0x00, 0x44, 0x28, 0x22, 0x82, 0x9F, 0x80};
const Bytes kSceneBoth = {0xC0, 0x10, 0x12, 0x81, 0x30, 0x2A, 0x05, 0x6D, 0x26, 0x10, 0x41, 0xFC,
                          0x00, 0x00, 0x01, 0xFC, 0x00, 0x00, 0x04, 0x42, 0x82, 0x28, 0x29, 0xF8};

class Compliance : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = tu::process_scratch("compliance");
    const std::string s = kSource;
    ok = tu::ffmpeg(s + kBitexact + "-c:v mpeg4 -c:a aac " + tu::q(dir + "mpeg4_aac.mp4")) &&
         tu::ffmpeg(s + "-c:v mpeg4 -c:a aac " + tu::q(dir + "mpeg4_long.mp4")) &&
         tu::ffmpeg(s + "-c:v libx264 -c:a aac " + tu::q(dir + "h264_aac.mp4")) &&
         tu::ffmpeg("-i " + tu::q(dir + "h264_aac.mp4") + " -c copy -movflags +faststart " +
                    tu::q(dir + "faststart.mp4")) &&
         tu::ffmpeg("-i " + tu::q(dir + "mpeg4_aac.mp4") + " -c copy -vn " + kBitexact + tu::q(dir + "aac.mp4")) &&
         tu::ffmpeg("-i " + tu::q(dir + "mpeg4_aac.mp4") + " -c copy -skip_iods 0 " + tu::q(dir + "iods.mp4"));
  }
  static void TearDownTestSuite() {
    if (::testing::UnitTest::GetInstance()->Passed()) tu::run("rm -rf " + tu::q(dir));
  }
  void SetUp() override { ASSERT_TRUE(ok) << "ffmpeg could not make the inputs"; }
  // A copy of one of the inputs that a test may change.
  static std::string Copy(const std::string& name, const std::string& as) {
    tu::run("cp " + tu::q(dir + name) + " " + tu::q(dir + as));
    return dir + as;
  }
  static inline std::string dir;
  static inline bool ok = false;
};

// ffprobe's major brand, minor version and compatible brands.
std::string Brands(const std::string& path) {
  const tu::RunResult r = tu::run("ffprobe -v error -show_entries format_tags=major_brand,minor_version,compatible_brands"
                                  " -of compact=p=0 " + tu::q(path));
  return tu::lines(r.out).empty() ? "" : tu::lines(r.out)[0];
}

// ffmpeg decodes the video and audio of the file without an error.
bool Decodes(const std::string& path) {
  return tu::run("ffmpeg -v error -xerror -i " + tu::q(path) + " -map 0:v? -map 0:a? -f null - 2>&1").status == 0;
}

// The ES ids of the "esds" boxes, in file order, by the walker (the
// descriptors in the four-byte length form ffmpeg writes).
std::vector<uint64_t> EsIds(const Bytes& file) {
  std::vector<uint64_t> out;
  for (const Walked& w : Walk(file))
    if (w.type == "esds") out.push_back(Be(file, w.offset + 12 + 5, 2));
  return out;
}

// The handler types of the tracks, in file order, by the walker.
// The tracks' handler types, in file order (the item list's own handler
// under "meta" is no track's).
std::vector<std::string> Handlers(const Bytes& file) {
  std::vector<std::string> out;
  for (const Walked& w : Walk(file))
    if (w.type == "hdlr" && w.parent == "mdia") out.emplace_back(file.begin() + w.offset + 16, file.begin() + w.offset + 20);
  return out;
}

TEST_F(Compliance, ThreeGPBrandsAsFFprobeShowsThem) {
  char brand6[] = "3gp6", isom[] = "isom", iso2[] = "iso2";
  char* three[] = {brand6, isom, iso2};
  const struct {
    const char* input;
    char* major;
    uint32_t minor;
    char** brands;
    uint32_t count;
    bool ok;
    const char* expected;  // ffprobe's line; "" keeps the input's
  } cases[] = {
      {"h264_aac.mp4", nullptr, 0, nullptr, 0, true, "tag:major_brand=3gp5|tag:minor_version=1|tag:compatible_brands=3gp5"},
      {"h264_aac.mp4", brand6, 0x200, three, 3, true, "tag:major_brand=3gp6|tag:minor_version=512|tag:compatible_brands=3gp6isomiso2"},
      // The movie's old place before the media data is free space to grow into.
      {"faststart.mp4", brand6, 7, three, 3, true, "tag:major_brand=3gp6|tag:minor_version=7|tag:compatible_brands=3gp6isomiso2"},
      // A major brand without compatible brands, and more brands than the
      // 40 bytes of file type and free box before the media data hold.
      {"h264_aac.mp4", brand6, 0, nullptr, 0, false, ""},
      {"h264_aac.mp4", brand6, 0, three, 0, false, ""},
  };
  for (const auto& c : cases) {
    const std::string path = Copy(c.input, "3gp.mp4");
    const std::string before = Brands(path);
    EXPECT_EQ(MP4Make3GPCompliant(path.c_str(), 0, c.major, c.minor, c.brands, c.count, false), c.ok) << c.expected;
    EXPECT_EQ(Brands(path), *c.expected ? c.expected : before);
    EXPECT_TRUE(Decodes(path)) << c.expected;
    EXPECT_EQ(FFprobePackets(path)[0].size(), FFprobePackets(dir + c.input)[0].size()) << c.expected;
  }
  std::vector<char*> many(8, isom);
  const std::string path = Copy("h264_aac.mp4", "3gp.mp4");
  const std::string before = Brands(path);
  EXPECT_FALSE(MP4Make3GPCompliant(path.c_str(), 0, brand6, 0, many.data(), 8, false));
  EXPECT_EQ(Brands(path), before);
  EXPECT_TRUE(Decodes(path));
  // The rest of the old place is a free box: the boxes still tile the file.
  EXPECT_TRUE(MP4Make3GPCompliant(path.c_str(), 0, nullptr, 0, nullptr, 0, false));
  const Bytes file = tu::read_file(path);
  uint64_t end = 0;
  for (const Walked& w : Walk(file))
    if (w.depth == 1) {
      EXPECT_EQ(w.offset, end) << w;
      end = w.offset + w.size;
    }
  EXPECT_EQ(end, file.size());
  EXPECT_EQ(TopLevel(file).at(1), "free");
}

TEST_F(Compliance, ThreeGPRemovesTheInitialObjectDescriptorWhenAsked) {
  for (bool remove : {false, true}) {
    const std::string path = Copy("iods.mp4", "iods-3gp.mp4");
    ASSERT_NE(Find(Walk(tu::read_file(path)), "iods"), nullptr);
    EXPECT_TRUE(MP4Make3GPCompliant(path.c_str(), 0, nullptr, 0, nullptr, 0, remove));
    EXPECT_EQ(Find(Walk(tu::read_file(path)), "iods") == nullptr, remove);
    EXPECT_TRUE(Decodes(path));
  }
  EXPECT_FALSE(MP4Make3GPCompliant((dir + "missing.mp4").c_str(), 0, nullptr, 0, nullptr, 0, false));
}

// ---------------------------------------------------------------- a descriptor walker of the test's own

struct Descriptor {
  uint8_t tag;
  Bytes body;
};

// Tag, a length of up to four 7-bit groups, the body.
Descriptor Next(const Bytes& b, size_t& pos) {
  Descriptor d{b.at(pos++), {}};
  uint32_t length = 0;
  for (int i = 0; i < 4; i++) {
    const uint8_t c = b.at(pos++);
    length = length << 7 | (c & 0x7F);
    if (!(c & 0x80)) break;
  }
  d.body.assign(b.begin() + pos, b.begin() + pos + length);
  pos += length;
  return d;
}

std::vector<Descriptor> All(const Bytes& b, size_t pos = 0) {
  std::vector<Descriptor> out;
  while (pos < b.size()) out.push_back(Next(b, pos));
  return out;
}

// An ES descriptor: its id, its URL when the flag says so, the descriptors
// inside it by tag.
struct ES {
  uint16_t id;
  std::string url;
  std::map<uint8_t, Bytes> inside;
};

ES ParseES(const Descriptor& d) {
  EXPECT_EQ(d.tag, 0x03);
  ES es{static_cast<uint16_t>(Be(d.body, 0, 2)), "", {}};
  const uint8_t flags = d.body.at(2);
  size_t pos = 3;
  if (flags & 0x40) {
    const uint8_t n = d.body.at(pos++);
    es.url.assign(d.body.begin() + pos, d.body.begin() + pos + n);
    pos += n;
  }
  for (const Descriptor& in : All(d.body, pos)) es.inside[in.tag] = in.body;
  return es;
}

// coreutils' decoding of a Base64 text.
Bytes Base64Decoded(const std::string& text) {
  const std::string path = tu::scratch("base64.txt");
  tu::write_file(path, Bytes(text.begin(), text.end()));
  const tu::RunResult r = tu::run("base64 -d " + tu::q(path) + " > " + tu::q(path + ".bin"));
  EXPECT_EQ(r.status, 0) << text;
  return tu::read_file(path + ".bin");
}

// The data URL's Base64 part decoded, after checking its prefix.
Bytes UrlData(const std::string& url, const std::string& prefix) {
  EXPECT_EQ(url.substr(0, prefix.size()), prefix);
  return Base64Decoded(url.substr(prefix.size()));
}

// The text of "moov.udta.hnti.rtp ": after its "sdp " format word.
std::string SessionSdp(const Bytes& file) {
  const std::vector<Walked> boxes = Walk(file);
  const Walked* hnti = Find(boxes, "hnti");
  if (!hnti) return "";
  const uint64_t rtp = hnti->offset + 8;
  EXPECT_EQ(std::string(file.begin() + rtp + 4, file.begin() + rtp + 12), "rtp sdp ");
  return std::string(file.begin() + rtp + 12, file.begin() + rtp + Be(file, rtp, 4));
}

// The object descriptor command of the session: object descriptors 10
// (audio) and 20 (video), each holding its track's ES descriptor with the
// track id, its object type and ffprobe's configuration bytes.
void ExpectStreamODs(const Bytes& command, const std::vector<std::pair<uint16_t, uint8_t>>& tracks,
                     const std::vector<Bytes>& configs) {
  size_t pos = 0;
  const Descriptor update = Next(command, pos);
  EXPECT_EQ(update.tag, 0x01);
  EXPECT_EQ(pos, command.size());
  const std::vector<Descriptor> ods = All(update.body);
  ASSERT_EQ(ods.size(), tracks.size());
  for (size_t i = 0; i < ods.size(); i++) {
    EXPECT_EQ(ods[i].tag, 0x01);
    // 10-bit id, no URL, reserved bits set.
    const uint16_t odId = tracks[i].second == 0x40 ? 10 : 20;
    EXPECT_EQ(Be(ods[i].body, 0, 2), static_cast<uint64_t>(odId << 6 | 0x1F));
    const std::vector<Descriptor> esds = All(ods[i].body, 2);
    ASSERT_EQ(esds.size(), 1u);
    const ES es = ParseES(esds[0]);
    EXPECT_EQ(es.id, tracks[i].first);
    const Bytes& decConfig = es.inside.at(0x04);
    EXPECT_EQ(decConfig.at(0), tracks[i].second);
    size_t p = 13;
    EXPECT_EQ(Next(decConfig, p).body, configs[i]);
    // The SL configuration spelled out (predefined 0) with the end flag.
    const Bytes& sl = es.inside.at(0x06);
    EXPECT_EQ(sl.at(0), 0x00);
    EXPECT_TRUE(sl.at(1) & 0x40);
  }
}

TEST_F(Compliance, IsmaTracksSamplesAndSessionDescription) {
  const std::string path = Copy("mpeg4_aac.mp4", "isma.mp4");
  const auto packets = FFprobePackets(path);
  const Bytes videoConfig = FFprobeExtradata(path, 0), audioConfig = FFprobeExtradata(path, 1);
  ASSERT_GT(videoConfig.size(), 4u);
  const std::vector<uint64_t> esIds = EsIds(tu::read_file(path));
  ASSERT_EQ(esIds.size(), 2u);
  ASSERT_TRUE(MP4MakeIsmaCompliant(path.c_str(), 0, true));
  EXPECT_TRUE(Decodes(path));
  const auto after = FFprobePackets(path);
  EXPECT_EQ(after.at(0), packets.at(0));
  EXPECT_EQ(after.at(1).size(), packets.at(1).size());

  const Bytes file = tu::read_file(path);
  EXPECT_EQ(Handlers(file), (std::vector<std::string>{"vide", "soun", "odsm", "sdsm"}));
  // The tracks' own ES ids are as they were; the new tracks' are 0.
  EXPECT_EQ(EsIds(file), (std::vector<uint64_t>{esIds[0], esIds[1], 0, 0}));
  // One access unit each: the object descriptor update of the file's form
  // (ES id references to "tref.mpod" rows: audio 1, video 2) and the scene.
  MP4FileHandle h = MP4Read(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  const Bytes odUpdate = Cat({Bytes{0x01, 0x80, 0x80, 0x80, 0x1C},
                              // 10: 0000001010 0 11111, a reference to row 1
                              Bytes{0x11, 0x80, 0x80, 0x80, 0x09, 0x02, 0x9F}, Bytes{0x0F, 0x80, 0x80, 0x80, 0x02, 0x00, 0x01},
                              // 20: 0000010100 0 11111, a reference to row 2
                              Bytes{0x11, 0x80, 0x80, 0x80, 0x09, 0x05, 0x1F}, Bytes{0x0F, 0x80, 0x80, 0x80, 0x02, 0x00, 0x02}});
  EXPECT_EQ(Sample(h, 1, 3), std::string(odUpdate.begin(), odUpdate.end()));
  EXPECT_EQ(Sample(h, 1, 4), std::string(kSceneBoth.begin(), kSceneBoth.end()));
  EXPECT_EQ(MP4GetTrackNumberOfSamples(h, 3), 1u);
  MP4Close(h);

  // The session description: the compliance line, then the initial object
  // descriptor as Base64.
  const std::string sdp = SessionSdp(file);
  const std::string compliance = "a=isma-compliance:1,1.0,1\r\n";
  const std::string prefix = "a=mpeg4-iod: \"data:application/mpeg4-iod;base64,";
  ASSERT_EQ(sdp.substr(0, compliance.size()), compliance) << sdp;
  ASSERT_EQ(sdp.substr(compliance.size(), prefix.size()), prefix) << sdp;
  ASSERT_EQ(sdp.substr(sdp.size() - 3), "\"\r\n");
  const Bytes iod = Base64Decoded(sdp.substr(compliance.size() + prefix.size(),
                                             sdp.size() - 3 - compliance.size() - prefix.size()));
  size_t pos = 0;
  const Descriptor top = Next(iod, pos);
  EXPECT_EQ(pos, iod.size());
  EXPECT_EQ(top.tag, 0x02);
  // Id 1, no URL, reserved 0xF; object descriptor, scene, audio, visual
  // (the video's profile and level) and graphics profiles.
  EXPECT_EQ(Bytes(top.body.begin(), top.body.begin() + 7),
            (Bytes{0x00, 0x4F, 0xFF, 0xFF, 0x0F, videoConfig.at(4), 0xFF}));
  const std::vector<Descriptor> streams = All(top.body, 7);
  ASSERT_EQ(streams.size(), 2u);
  const ES od = ParseES(streams[0]), scene = ParseES(streams[1]);
  EXPECT_EQ(od.id, 3);
  EXPECT_EQ(scene.id, 4);
  const Bytes odCommand = UrlData(od.url, "data:application/mpeg4-od-au;base64,");
  ExpectStreamODs(odCommand, {{2, 0x40}, {1, 0x20}}, {audioConfig, videoConfig});
  EXPECT_EQ(UrlData(scene.url, "data:application/mpeg4-bifs-au;base64,"), kSceneBoth);
  // Object and stream types 1/1 and 2/3 with the reserved bit; buffer
  // sizes of the access units; the scene's configuration.
  EXPECT_EQ(od.inside.at(0x04).at(0), 1);
  EXPECT_EQ(od.inside.at(0x04).at(1), 0x05);
  EXPECT_EQ(Be(od.inside.at(0x04), 2, 3), odCommand.size());
  EXPECT_EQ(scene.inside.at(0x04).at(0), 2);
  EXPECT_EQ(scene.inside.at(0x04).at(1), 0x0D);
  EXPECT_EQ(Be(scene.inside.at(0x04), 2, 3), kSceneBoth.size());
  size_t p = 13;
  EXPECT_EQ(Next(scene.inside.at(0x04), p).body, (Bytes{0x00, 0x00, 0x60}));
  // Predefined SL configuration 1: two 32-bit time stamps.
  EXPECT_EQ(od.inside.at(0x06), Cat({Bytes{0x01}, Bytes(8, 0)}));

  // Made compliant again: the old object descriptor and scene tracks go.
  ASSERT_TRUE(MP4MakeIsmaCompliant(path.c_str(), 0, false));
  const Bytes again = tu::read_file(path);
  EXPECT_EQ(Handlers(again), (std::vector<std::string>{"vide", "soun", "odsm", "sdsm"}));
  EXPECT_EQ(SessionSdp(again).substr(0, prefix.size()), prefix);
  EXPECT_TRUE(Decodes(path));
}

TEST_F(Compliance, IsmaAudioOnlyAndRefusals) {
  const std::string audio = Copy("aac.mp4", "isma-audio.mp4");
  ASSERT_TRUE(MP4MakeIsmaCompliant(audio.c_str(), 0, false));
  const Bytes file = tu::read_file(audio);
  EXPECT_EQ(Handlers(file), (std::vector<std::string>{"soun", "odsm", "sdsm"}));
  MP4FileHandle h = MP4Read(audio.c_str(), 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Sample(h, 1, 3), std::string(kSceneAudio.begin(), kSceneAudio.end()));
  EXPECT_EQ(MP4GetAudioProfileLevel(h), 0x0F);
  MP4Close(h);
  EXPECT_EQ(SessionSdp(file).substr(0, 12), "a=mpeg4-iod:");
  EXPECT_TRUE(Decodes(audio));

  // AVC video, and descriptors too large for the session's data URL: false,
  // and the file keeps its two tracks and plays.
  for (const char* input : {"h264_aac.mp4", "mpeg4_long.mp4"}) {
    const std::string path = Copy(input, "isma-refused.mp4");
    EXPECT_FALSE(MP4MakeIsmaCompliant(path.c_str(), 0, true)) << input;
    EXPECT_EQ(Handlers(tu::read_file(path)), (std::vector<std::string>{"vide", "soun"})) << input;
    EXPECT_EQ(SessionSdp(tu::read_file(path)), "") << input;
    EXPECT_TRUE(Decodes(path)) << input;
  }
  // A second call on the same open file does nothing more.
  {
    const std::string twice = Copy("aac.mp4", "isma-twice.mp4");
    MP4File file(0);
    ASSERT_TRUE(file.Modify(twice.c_str()));
    EXPECT_TRUE(file.MakeIsmaCompliant(true));
    EXPECT_EQ(file.GetNumberOfTracks(), 3u);
    EXPECT_TRUE(file.MakeIsmaCompliant(true));
    EXPECT_EQ(file.GetNumberOfTracks(), 3u);
    file.Close();
    EXPECT_EQ(Handlers(tu::read_file(twice)), (std::vector<std::string>{"soun", "odsm", "sdsm"}));
  }
  // Opened for reading: refused.
  MP4FileHandle r = MP4Read((dir + "mpeg4_aac.mp4").c_str(), 0);
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(Thrown([&] { static_cast<MP4File*>(r)->MakeIsmaCompliant(true); }).message,
               "operation not permitted in read mode");
  MP4Close(r);
}

TEST_F(Compliance, SessionLineFromParameters) {
  const Bytes videoConfig = {0x00, 0x00, 0x01, 0xB0, 0x03}, audioConfig = {0x12, 0x10};
  const std::string prefix = "a=mpeg4-iod: \"data:application/mpeg4-iod;base64,";
  const struct {
    uint8_t videoProfile, audioProfile;
    const Bytes* scene;
  } cases[] = {{0x03, 0x0F, &kSceneBoth}, {0x03, 0xFF, &kSceneVideo}, {0xFF, 0x0F, &kSceneAudio}, {0xFF, 0xFF, nullptr}};
  for (const auto& c : cases) {
    char* line = MP4MakeIsmaSdpIod(c.videoProfile, 500000, const_cast<uint8_t*>(videoConfig.data()), 5,
                                   c.audioProfile, 128000, const_cast<uint8_t*>(audioConfig.data()), 2, 0);
    ASSERT_NE(line, nullptr);
    const std::string sdp = line;
    free(line);
    ASSERT_EQ(sdp.substr(0, prefix.size()), prefix);
    ASSERT_EQ(sdp.back(), '"');
    const Bytes iod = Base64Decoded(sdp.substr(prefix.size(), sdp.size() - prefix.size() - 1));
    size_t pos = 0;
    const Descriptor top = Next(iod, pos);
    EXPECT_EQ(top.tag, 0x02);
    EXPECT_EQ(Bytes(top.body.begin(), top.body.begin() + 7),
              (Bytes{0x00, 0x4F, 0xFF, 0xFF, c.audioProfile, c.videoProfile, 0xFF}));
    const std::vector<Descriptor> streams = All(top.body, 7);
    ASSERT_EQ(streams.size(), 2u);
    const ES scene = ParseES(streams[0]), od = ParseES(streams[1]);
    EXPECT_EQ(scene.id, 201);
    EXPECT_EQ(od.id, 101);
    EXPECT_EQ(UrlData(scene.url, "data:application/mpeg4-bifs-au;base64,"), c.scene ? *c.scene : Bytes{});
    // Audio then video, each with the parameters' object type and bytes.
    const Bytes command = UrlData(od.url, "data:application/mpeg4-od-au;base64,");
    ExpectStreamODs(command, {{10, 0x40}, {20, 0x20}}, {audioConfig, videoConfig});
    EXPECT_EQ(Be(od.inside.at(0x04), 2, 3), command.size());
    EXPECT_EQ(Be(od.inside.at(0x04), 5, 4), command.size() * 8);
  }
}

// ---------------------------------------------------------------- lent lists

TEST(IsmaCommands, ListsLentForAWriteStayTheCallers) {
  MP4File f;
  MP4DescriptorProperty audio(nullptr, 0x03, 0, false, false), video(nullptr, 0x03, 0, false, false);
  f.CreateESD(&audio, 10, 0x40, 5, 100, 800, Bytes{1, 2}.data(), 2, nullptr);
  f.CreateESD(&video, 20, 0x20, 4, 100, 800, nullptr, 0, nullptr);
  uint8_t* bytes = reinterpret_cast<uint8_t*>(1);
  uint64_t n = 7;
  f.CreateIsmaODUpdateCommandForStream(&audio, &video, &bytes, &n);
  ASSERT_NE(bytes, nullptr);
  free(bytes);
  EXPECT_EQ(audio.GetCount(), 1u);
  // A write that fails half-way (a URL longer than a counted string holds)
  // still gives the lists back, and its outputs are empty.
  const std::string url(300, 'u');
  f.CreateESD(&video, 21, 0x20, 4, 100, 800, nullptr, 0, url.c_str());
  EXPECT_EQ(Thrown([&] { f.CreateIsmaODUpdateCommandForStream(&audio, &video, &bytes, &n); }).errnoValue, ERANGE);
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(video.GetCount(), 2u);
  // Neither medium: no scene command.
  f.CreateIsmaSceneCommand(false, false, &bytes, &n);
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(n, 0u);
}

}  // namespace
