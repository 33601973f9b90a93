// KWSource through the test host: registration, argument checks, every
// creation error with its message in order, and the video information for
// real Ostrel indexes of each codec (compared with ffprobe's view).
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <numeric>

#include <gtest/gtest.h>

#include "plugintest.h"
#include "testutil.h"
#include "vshost.h"

namespace {

const char* const kSignature =
    "source:data;i420:int:opt;deinterlace:int:opt;use_top_field:int:opt;use_pf:int:opt;ct:int:opt;"
    "cb:int:opt;cl:int:opt;cr:int:opt;rw:int:opt;rh:int:opt;fieldop:int:opt;show:int:opt;"
    "show2:data:opt;strict_avc:int:opt;";

const vshost::Plugin* P() { return vshost::Load(PEMMICK_SO); }

std::unique_ptr<vshost::Clip> Call(vshost::Args args) { return vshost::Invoke(P(), "KWSource", args); }

vshost::Args Source(const std::string& kwi) {
  vshost::Args a;
  a.set("source", kwi);
  return a;
}

// ffprobe's rate of the first video stream as a reduced fraction.
std::pair<int64_t, int64_t> ProbeRate(const std::string& path) {
  const std::string r = tu::ffprobe_stream(path)["r_frame_rate"];
  int64_t n = 0, d = 1;
  if (sscanf(r.c_str(), "%ld/%ld", &n, &d) != 2 || d == 0) return {0, 0};
  const int64_t g = std::gcd(n, d);
  return {n / g, d / g};
}

// One AVC elementary stream and its index, made once for the whole program.
class KWSourceAvc : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Each test may run in its own process (ctest -j): one folder per process.
    dir_ = tu::scratch("avc-" + std::to_string(getpid()));
    tu::run("mkdir -p " + tu::q(dir_));
    es_ = dir_ + "/a.264";
    // The pattern is RGB, which the encoder keeps as 4:4:4 unless told.
    ASSERT_TRUE(pt::MakeH264(es_, 60, "-pix_fmt yuv420p"));
    kwi_ = pt::Index(tu::q(es_), dir_ + "/a.kwi");
    ASSERT_FALSE(kwi_.empty());
  }
  // A copy of the index to damage.
  std::string Copy(const std::string& name) {
    const std::string p = dir_ + "/" + name;
    tu::write_file(p, tu::read_file(kwi_));
    return p;
  }
  static std::string dir_, es_, kwi_;
};
std::string KWSourceAvc::dir_, KWSourceAvc::es_, KWSourceAvc::kwi_;

}  // namespace

TEST(KWSourceRegistration, EntryPointConfiguresAndRegisters) {
  const vshost::Plugin* p = P();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->configCalls, 1);
  EXPECT_EQ(p->ns, "pemmick");
  EXPECT_EQ(p->name, "Pemmick for VapourSynth");
  EXPECT_EQ(p->apiVersion, 0x30005);
  EXPECT_EQ(p->readonly, 1);
  const std::string suffix = ".pemmick";
  ASSERT_GT(p->identifier.size(), suffix.size());
  EXPECT_EQ(p->identifier.substr(p->identifier.size() - suffix.size()), suffix);
  ASSERT_EQ(p->functions.size(), 1u);
  EXPECT_EQ(p->functions[0].name, "KWSource");
  EXPECT_EQ(p->functions[0].args, kSignature);
}

TEST_F(KWSourceAvc, VideoInfoFollowsTheIndexAndFfprobe) {
  vshost::ResetCallCounts();
  auto clip = Call(Source(kwi_));
  ASSERT_TRUE(clip->ok()) << clip->error();
  const VSVideoInfo& vi = clip->vi();
  auto probe = tu::ffprobe_stream(es_);
  EXPECT_EQ(vi.width, std::stoi(probe["width"]));
  EXPECT_EQ(vi.height, std::stoi(probe["height"]));
  EXPECT_EQ(vi.numFrames, static_cast<int>(tu::ffprobe_frames(es_).size()));
  const auto rate = ProbeRate(es_);
  EXPECT_EQ(vi.fpsNum, rate.first);
  EXPECT_EQ(vi.fpsDen, rate.second);
  EXPECT_EQ(vi.flags, 0);
  ASSERT_NE(vi.format, nullptr);
  EXPECT_EQ(vi.format->colorFamily, cmYUV);
  EXPECT_EQ(vi.format->sampleType, stInteger);
  EXPECT_EQ(vi.format->bitsPerSample, 8);
  EXPECT_EQ(vi.format->subSamplingW, 1);
  EXPECT_EQ(vi.format->subSamplingH, 1);
  // Creation reads arguments, registers the format and creates the filter;
  // nothing else of the host is touched.
  auto counts = vshost::CallCounts();
  EXPECT_EQ(counts[17], 1) << "createFilter";
  EXPECT_EQ(counts[23], 1) << "registerFormat";
  EXPECT_EQ(counts[39], 1) << "setVideoInfo";
  EXPECT_EQ(counts[18], 0) << "setError";
}

TEST_F(KWSourceAvc, FramesAreServedOnTheInitialActivationOnly) {
  auto clip = Call(Source(kwi_));
  ASSERT_TRUE(clip->ok()) << clip->error();
  for (int n : {0, 1, 30, clip->vi().numFrames - 1}) {
    vshost::Frame f = clip->getFrame(n);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(f.width, 320);
    EXPECT_EQ(f.height, 240);
    ASSERT_EQ(f.planes.size(), 3u);
    EXPECT_EQ(f.planeWidth[1], 160);
    EXPECT_EQ(f.planeHeight[2], 120);
  }
  EXPECT_TRUE(clip->ignoresActivation(3, 1));  // frame ready
  EXPECT_TRUE(clip->ignoresActivation(3, 2));  // all frames ready
  EXPECT_TRUE(clip->ignoresActivation(3, -1));  // error
}

TEST_F(KWSourceAvc, CropAndResizeSetTheOutputSize) {
  struct Case {
    int cl, cr, ct, cb, rw, rh, w, h;
  } cases[] = {
      {8, 8, 0, 0, 0, 0, 304, 240},       // 320 - 16
      {0, 0, 2, 4, 0, 0, 320, 234},
      {2, 4, 6, 8, 0, 0, 314, 226},
      {0, 0, 0, 0, 640, 480, 640, 480},    // resize alone
      {8, 8, 8, 8, 160, 120, 160, 120},    // crop then resize
      {0, 0, 0, 0, 640, 0, 320, 240},      // rw without rh: no resize
      {4, 0, 0, 0, 0, 480, 316, 240},      // rh without rw: no resize
      {0, 0, 0, 0, 7680, 4320, 7680, 4320},  // the largest output
  };
  for (const Case& c : cases) {
    vshost::Args a = Source(kwi_);
    a.set("cl", c.cl).set("cr", c.cr).set("ct", c.ct).set("cb", c.cb).set("rw", c.rw).set("rh", c.rh);
    auto clip = Call(a);
    ASSERT_TRUE(clip->ok()) << clip->error();
    EXPECT_EQ(clip->vi().width, c.w) << c.cl << " " << c.cr << " " << c.rw;
    EXPECT_EQ(clip->vi().height, c.h) << c.ct << " " << c.cb << " " << c.rh;
  }
}

TEST_F(KWSourceAvc, ArgumentErrorsInTheirOrder) {
  struct Case {
    std::vector<std::pair<const char*, int64_t>> args;
    const char* message;
  } cases[] = {
      // Crops are checked first, even when the resize is out of range too.
      {{{"ct", 3}, {"rw", 9999}, {"rh", 9999}}, "KWSource: All crops must be at least mod 2!"},
      {{{"cl", 1}}, "KWSource: All crops must be at least mod 2!"},
      {{{"cr", -3}}, "KWSource: All crops must be at least mod 2!"},
      {{{"cb", -2}}, "KWSource: Crops must not be negative!"},
      {{{"rw", 7681}, {"rh", 100}}, "KWSource: Resize exceeds max size!"},
      {{{"rw", 100}, {"rh", 4321}}, "KWSource: Resize exceeds max size!"},
      {{{"rw", 7681}}, "KWSource: Resize exceeds max size!"},
      {{{"rw", -2}, {"rh", 100}}, "KWSource: Resize sizes must not be negative!"},
      {{{"rw", 321}, {"rh", 240}}, "KWSource: Resize sizes must be even!"},
      {{{"rw", 320}, {"rh", 241}}, "KWSource: Resize sizes must be even!"},
      // Crops are checked against the picture once the index gave its size.
      {{{"cl", 160}, {"cr", 160}}, "KWSource: Crops leave no picture!"},
      {{{"ct", 240}}, "KWSource: Crops leave no picture!"},
      {{{"cl", 2147483646}, {"cr", 2147483646}}, "KWSource: Crops leave no picture!"},
      // Values beyond 32 bits are not cut down to small ones.
      {{{"ct", int64_t(1) << 33}}, "KWSource: All crops must be at least mod 2!"},
      {{{"rw", (int64_t(1) << 32) + 2}, {"rh", 100}}, "KWSource: Resize exceeds max size!"},
  };
  for (const Case& c : cases) {
    vshost::Args a = Source(kwi_);
    for (const auto& kv : c.args) a.set(kv.first, kv.second);
    auto clip = Call(a);
    EXPECT_FALSE(clip->ok());
    EXPECT_EQ(clip->error(), c.message);
  }
}

TEST_F(KWSourceAvc, IndexFileErrors) {
  EXPECT_EQ(Call(Source(dir_ + "/missing.kwi"))->error(), "KWSource: Cannot open index file!");

  const std::string empty = dir_ + "/empty.kwi";
  pt::WriteText(empty, "");
  EXPECT_EQ(Call(Source(empty))->error(), "KWSource: Invalid index file!");

  // The third character picks the codec: anything but A, V, M, H fails
  // before a reader runs.
  const std::string letter = Copy("letter.kwi");
  pt::ReplaceLines(letter, "KWAVC", "KWXVCIndexFileNV100 Ostrel 2053.0.0.502 X64");
  EXPECT_EQ(Call(Source(letter))->error(), "KWSource: Invalid index file!");
  pt::WriteText(letter, "KW\n");
  EXPECT_EQ(Call(Source(letter))->error(), "KWSource: Invalid index file!");

  const std::string magic = Copy("magic.kwi");
  pt::ReplaceLines(magic, "KWAVC", "KWAVCIndexFilX NV100 Ostrel 2053.0.0.502 X64");
  EXPECT_EQ(Call(Source(magic))->error(), "KWSource: The input file is not a KW project file.");

  const std::string version = Copy("version.kwi");
  pt::ReplaceLines(version, "KWAVC", "KWAVCIndexFileNV200 Ostrel 2053.0.0.502 X64");
  EXPECT_EQ(Call(Source(version))->error(),
            "KWSource: Ostrel/Pemmick mismatch. You are picking up a version of Pemmick, possibly "
            "from your plugins directory, that does not match the version of Ostrel used to make the "
            "index file. Search your hard disk for all copies of Pemmick.dll and delete or rename all "
            "of them except for the one that has the same version number as the Ostrel.exe that was "
            "used to make the index file.");

  const std::string missing = Copy("missing-input.kwi");
  ASSERT_EQ(pt::ReplaceLines(missing, es_ + " ", dir_ + "/not-there.264 25021"), 1);
  EXPECT_EQ(Call(Source(missing))->error(),
            "KWSource: Could not open one of the input files. If you want to have your script and "
            "your source file in different directories, then you must use full paths in your KWI "
            "file.");

  const std::string nogops = Copy("no-gops.kwi");
  EXPECT_GT(pt::RemoveLines(nogops, "IDR"), 0);
  EXPECT_EQ(Call(Source(nogops))->error(), "KWSource: No GOPs found.");

  const std::string strict = Copy("strict.kwi");
  std::string s = tu::read_text(strict);
  for (size_t at; (at = s.find("\nIDR ")) != std::string::npos;) s.replace(at, 5, "\nI ");
  pt::WriteText(strict, s);
  vshost::Args a = Source(strict);
  a.set("strict_avc", 1);
  EXPECT_EQ(Call(a)->error(), "KWSource: Stream is missing IDR/RPS frames; try disabling Strict AVC.");
  EXPECT_TRUE(Call(Source(strict))->ok()) << "without strict_avc the I lines are groups";

  const std::string repeats = Copy("repeats.kwi");
  pt::ReplaceLines(repeats, "5:FRM", "5:FRM 5 10 7");
  a = Source(repeats);
  a.set("fieldop", 1);
  EXPECT_EQ(Call(a)->error(), "KWSource: Force Film mode not supported with frame repeats.");
  EXPECT_TRUE(Call(Source(repeats))->ok());

  const std::string pulldown = Copy("pulldown.kwi");
  pt::ReplaceLines(pulldown, "5:FRM", "5:FRM 5 10 5");
  for (int deint : {1, 2}) {
    a = Source(pulldown);
    a.set("deinterlace", deint);
    EXPECT_EQ(Call(a)->error(), "KWSource: No deinterlacing with pulldown.");
  }

  const std::string mkv = Copy("mkv.kwi");
  pt::ReplaceLines(mkv, "STREAM", "STREAM 2 0");
  EXPECT_EQ(Call(Source(mkv))->error(), "KWSource: Could not parse the Matroska/MP4 file.");
  pt::ReplaceLines(mkv, "STREAM", "STREAM 4 0");
  EXPECT_EQ(Call(Source(mkv))->error(), "KWSource: Could not parse the Matroska/MP4 file.");

  const std::string rate = Copy("rate.kwi");
  pt::ReplaceLines(rate, "FPS", "FPS 0 / 0");
  EXPECT_EQ(Call(Source(rate))->error(), "KWSource: Invalid frame rate in the index file!");
  pt::ReplaceLines(rate, "FPS", "FPS 25 / 0");
  EXPECT_EQ(Call(Source(rate))->error(), "KWSource: Invalid frame rate in the index file!");

  const std::string size = Copy("size.kwi");
  pt::RemoveLines(size, "SIZE");
  EXPECT_EQ(Call(Source(size))->error(), "KWSource: Invalid index file, no picture size!");

  const std::string nopics = Copy("no-pictures.kwi");
  std::string np;
  for (const std::string& l : tu::kwi_lines(nopics))
    if (l.find(":FRM") == std::string::npos) np += l + "\n";
  pt::WriteText(nopics, np);
  EXPECT_EQ(Call(Source(nopics))->error(), "KWSource: No pictures found!");
}

TEST_F(KWSourceAvc, InputFileListLimitsAndRelativeNames) {
  // 512 input files are held; a 513th is refused with a message.
  const std::string body = tu::read_text(kwi_).substr(tu::read_text(kwi_).find("\nDEVICE"));
  const std::string size = " " + std::to_string(tu::read_file(es_).size());
  std::vector<std::string> files(512, es_ + size);
  pt::WriteText(dir_ + "/512.kwi", pt::Head("KWAVCIndexFileNV100 Ostrel 2053.0.0.502 X64", files) + body);
  EXPECT_TRUE(Call(Source(dir_ + "/512.kwi"))->ok());
  files.push_back(es_ + size);
  pt::WriteText(dir_ + "/513.kwi", pt::Head("KWAVCIndexFileNV100 Ostrel 2053.0.0.502 X64", files) + body);
  EXPECT_EQ(Call(Source(dir_ + "/513.kwi"))->error(),
            "KWSource: Too many input files in the index file (at most 512).");

  // A relative name opens relative to the current directory.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string rel = es_.substr(std::string(cwd).size() + 1);
  pt::WriteText(dir_ + "/relative.kwi",
                pt::Head("KWAVCIndexFileNV100 Ostrel 2053.0.0.502 X64", {rel + size}) + body);
  EXPECT_TRUE(Call(Source(dir_ + "/relative.kwi"))->ok());

  // A name with blanks is read up to the last blank; a line without a blank
  // ends the list.
  const std::string spaced = dir_ + "/with blanks.264";
  tu::write_file(spaced, tu::read_file(es_));
  pt::WriteText(dir_ + "/spaced.kwi",
                pt::Head("KWAVCIndexFileNV100 Ostrel 2053.0.0.502 X64", {spaced + size}) + body);
  EXPECT_TRUE(Call(Source(dir_ + "/spaced.kwi"))->ok());
  pt::WriteText(dir_ + "/noblank.kwi",
                pt::Head("KWAVCIndexFileNV100 Ostrel 2053.0.0.502 X64", {es_ + size, "noblank"}) +
                    body);
  EXPECT_TRUE(Call(Source(dir_ + "/noblank.kwi"))->ok());
  // A name longer than the name buffer cannot be opened.
  pt::WriteText(dir_ + "/longname.kwi",
                pt::Head("KWAVCIndexFileNV100 Ostrel 2053.0.0.502 X64",
                         {"/" + std::string(2100, 'a') + " 10"}) + body);
  EXPECT_EQ(Call(Source(dir_ + "/longname.kwi"))->error().substr(0, 50),
            "KWSource: Could not open one of the input files. I");
}

TEST_F(KWSourceAvc, RateAndCountWithDoubleRateDeinterlacing) {
  // 30000/1001 material: deinterlace 2 doubles the rate and the frames.
  const std::string es = dir_ + "/ntsc.264";
  ASSERT_TRUE(tu::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=30000/1001 -frames:v 20 -c:v libx264 "
                         "-preset ultrafast -pix_fmt yuv420p " + tu::q(es)));
  const std::string kwi = pt::Index(tu::q(es), dir_ + "/ntsc.kwi");
  ASSERT_FALSE(kwi.empty());
  auto single = Call(Source(kwi));
  ASSERT_TRUE(single->ok()) << single->error();
  EXPECT_EQ(single->vi().fpsNum, 30000);
  EXPECT_EQ(single->vi().fpsDen, 1001);
  EXPECT_EQ(single->vi().numFrames, 20);
  vshost::Args a = Source(kwi);
  a.set("deinterlace", 2);
  auto twice = Call(a);
  ASSERT_TRUE(twice->ok()) << twice->error();
  EXPECT_EQ(twice->vi().fpsNum, 60000);
  EXPECT_EQ(twice->vi().fpsDen, 1001);
  EXPECT_EQ(twice->vi().numFrames, 40);

  // 50/2 is reduced to 25/1, and doubled to 50/1.
  const std::string odd = Copy("fifty-halves.kwi");
  pt::ReplaceLines(odd, "FPS", "FPS 50 / 2");
  auto reduced = Call(Source(odd));
  ASSERT_TRUE(reduced->ok()) << reduced->error();
  EXPECT_EQ(reduced->vi().fpsNum, 25);
  EXPECT_EQ(reduced->vi().fpsDen, 1);
  a = Source(odd);
  a.set("deinterlace", 2);
  auto doubled = Call(a);
  EXPECT_EQ(doubled->vi().fpsNum, 50);
  EXPECT_EQ(doubled->vi().fpsDen, 1);

  // Force film shows four frames of five: 30000/1001 becomes 24000/1001.
  a = Source(kwi);
  a.set("fieldop", 1);
  auto film = Call(a);
  ASSERT_TRUE(film->ok()) << film->error();
  EXPECT_EQ(film->vi().fpsNum, 24000);
  EXPECT_EQ(film->vi().fpsDen, 1001);
}

// Open file descriptors of this process.
// Counted in process: a listing by a child would race with the pipe that
// reads its output (one end is closed only after the child has started).
static int OpenDescriptors() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += e.path().empty() ? 0 : 1;
  return n;
}

TEST_F(KWSourceAvc, FailedCreationsCloseWhatTheyOpened) {
  // The reader opens the input files before it finds there is no group; the
  // failed instance must close them.
  const std::string nogops = Copy("no-gops-fd.kwi");
  pt::RemoveLines(nogops, "IDR");
  const std::string mkv = Copy("mkv-fd.kwi");
  pt::ReplaceLines(mkv, "STREAM", "STREAM 2 0");
  const int before = OpenDescriptors();
  for (int i = 0; i < 40; ++i) {
    EXPECT_FALSE(Call(Source(nogops))->ok());
    EXPECT_FALSE(Call(Source(mkv))->ok());
    vshost::Args a = Source(kwi_);
    a.set("cl", 400);
    EXPECT_EQ(Call(a)->error(), "KWSource: Crops leave no picture!");
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(KWSourceAvc, ManyInstancesComeAndGo) {
  // Every instance starts a decode thread; teardown must join it.
  std::vector<std::unique_ptr<vshost::Clip>> clips;
  for (int i = 0; i < 12; ++i) {
    vshost::Args a = Source(kwi_);
    a.set("show", 1).set("show2", std::string(600, 'x'));  // longer than the overlay buffer
    clips.push_back(Call(a));
    ASSERT_TRUE(clips.back()->ok()) << clips.back()->error();
    if (i % 3 == 0) clips.back()->getFrame(i);
  }
  clips.clear();
}

// ---------------------------------------------------------------- other codecs

TEST(KWSourceCodecs, Mpeg2ProgramStream) {
  const std::string dir = tu::scratch("");
  const std::string es = dir + "m.m2v", ps = dir + "m.mpg";
  ASSERT_TRUE(pt::MakeMpeg2(es, 36));
  ASSERT_TRUE(tu::ffmpeg("-i " + tu::q(es) + " -c copy -f vob " + tu::q(ps)));
  const std::string kwi = pt::Index(tu::q(ps), dir + "m.kwi");
  ASSERT_FALSE(kwi.empty());
  auto clip = Call(Source(kwi));
  ASSERT_TRUE(clip->ok()) << clip->error();
  EXPECT_EQ(clip->vi().width, 320);
  EXPECT_EQ(clip->vi().height, 240);
  EXPECT_EQ(clip->vi().numFrames, static_cast<int>(tu::ffprobe_frames(es).size()));
  EXPECT_EQ(clip->vi().fpsNum, 25);
  EXPECT_EQ(clip->vi().fpsDen, 1);
  EXPECT_EQ(clip->vi().format->bitsPerSample, 8);
  EXPECT_TRUE(clip->getFrame(5).ok);
}

TEST(KWSourceCodecs, HevcTenBitIsSixteenBitAndWeavesOnly) {
  const std::string dir = tu::scratch("");
  const std::string es = dir + "h10.265";
  ASSERT_TRUE(pt::MakeHevc(es, 20, "-pix_fmt yuv420p10le"));
  const std::string kwi = pt::Index(tu::q(es), dir + "h10.kwi");
  ASSERT_FALSE(kwi.empty());
  ASSERT_EQ(tu::kwi_with(tu::kwi_lines(kwi), "DEPTH").at(0), "DEPTH 10");
  auto clip = Call(Source(kwi));
  ASSERT_TRUE(clip->ok()) << clip->error();
  EXPECT_EQ(clip->vi().format->bitsPerSample, 16);
  EXPECT_EQ(clip->vi().format->bytesPerSample, 2);
  EXPECT_EQ(clip->vi().numFrames, static_cast<int>(tu::ffprobe_frames(es).size()));
  // Above 8 bits the session weaves: double-rate deinterlacing changes nothing.
  vshost::Args a = Source(kwi);
  a.set("deinterlace", 2);
  auto deint = Call(a);
  ASSERT_TRUE(deint->ok()) << deint->error();
  EXPECT_EQ(deint->vi().numFrames, clip->vi().numFrames);
  EXPECT_EQ(deint->vi().fpsNum, clip->vi().fpsNum);
  vshost::Frame f = deint->getFrame(3);
  ASSERT_TRUE(f.ok) << f.error;
  EXPECT_EQ(f.bytesPerSample, 2);

  const std::string es8 = dir + "h8.265";
  ASSERT_TRUE(pt::MakeHevc(es8, 20, "-pix_fmt yuv420p"));
  const std::string kwi8 = pt::Index(tu::q(es8), dir + "h8.kwi");
  auto clip8 = Call(Source(kwi8));
  ASSERT_TRUE(clip8->ok()) << clip8->error();
  EXPECT_EQ(clip8->vi().format->bitsPerSample, 8);
  EXPECT_EQ(clip8->vi().numFrames, static_cast<int>(tu::ffprobe_frames(es8).size()));
}

// Without a GPU the clip's format is still known: a stream that is not 4:2:0
// is refused by name when the filter is created, not served as error frames.
TEST(KWSourceCodecs, OtherChromaFormatsAreRefusedByNameWithoutAGpu) {
  const std::string dir = tu::scratch("");
  const std::string es = dir + "rgb444.264";
  ASSERT_TRUE(pt::MakeH264(es, 10));  // the RGB pattern as 4:4:4
  ASSERT_EQ(tu::ffprobe_stream(es).at("pix_fmt"), "yuv444p");
  const std::string kwi = pt::Index(tu::q(es), dir + "rgb444.kwi");
  ASSERT_FALSE(kwi.empty());
  auto clip = Call(Source(kwi));
  EXPECT_FALSE(clip->ok());
  EXPECT_EQ(clip->error(), "KWSource: H.264 4:4:4 8-bit cannot be served: KWSource delivers 4:2:0 clips only.");
}

// Pictures wider than 7680 or taller than 4320 are real streams, indexed
// whole; KWSource names their size and what it serves, not an invalid
// index. The limit is one for every codec.
TEST(KWSourceCodecs, PicturesLargerThanServedAreNamedNotInvalid) {
  struct Case {
    const char* name;
    const char* size;  // ffmpeg's, and the one named
    const char* encoder;
  };
  const Case cases[] = {
      {"wide.265", "7744x64", "-c:v libx265 -preset ultrafast -x265-params log-level=error"},
      {"tall.265", "64x4352", "-c:v libx265 -preset ultrafast -x265-params log-level=error"},
      {"wide.264", "7696x64", "-c:v libx264 -preset ultrafast"},
      {"wide.m2v", "7696x64", "-c:v mpeg2video"},
      {"limit.265", "7680x64", "-c:v libx265 -preset ultrafast -x265-params log-level=error"},
  };
  const std::string dir = tu::scratch("");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string es = dir + c.name;
    ASSERT_TRUE(tu::ffmpeg(std::string("-f lavfi -i testsrc=size=") + c.size + ":rate=25 -frames:v 2 " +
                           "-pix_fmt yuv420p " + c.encoder + " " + tu::q(es)));
    std::string size = c.size;
    size.replace(size.find('x'), 1, " x ");
    const std::string kwi = pt::Index(tu::q(es), es + ".kwi");
    ASSERT_FALSE(kwi.empty());
    ASSERT_EQ(tu::kwi_with(tu::kwi_lines(kwi), "SIZE").at(0), "SIZE " + size + " ");
    auto clip = Call(Source(kwi));
    if (std::string(c.name) == "limit.265") {
      EXPECT_TRUE(clip->ok()) << clip->error();
      continue;
    }
    EXPECT_FALSE(clip->ok());
    EXPECT_EQ(clip->error(),
              "KWSource: The picture size " + size + " is larger than what KWSource serves (at most 7680 x 4320).");
  }
}

TEST(KWSourceCodecs, Vc1FromTheSharedSample) {
  const std::string vc1 = std::string(SHARED_TESTDATA) + "/vc1/vc1_ap_1080_pulldown.vc1";
  if (!tu::exists(vc1)) GTEST_SKIP() << "no " << vc1;
  const std::string dir = tu::scratch("");
  const std::string kwi = pt::Index(tu::q(vc1), dir + "v.kwi");
  ASSERT_FALSE(kwi.empty());
  const auto frames = tu::ffprobe_frames(vc1);
  vshost::Args a = Source(kwi);
  a.set("fieldop", 2);  // one display frame per coded picture
  auto clip = Call(a);
  ASSERT_TRUE(clip->ok()) << clip->error();
  EXPECT_EQ(clip->vi().width, 1920);
  EXPECT_EQ(clip->vi().height, 1080);
  EXPECT_EQ(clip->vi().numFrames, static_cast<int>(frames.size()));
  a = Source(kwi);
  a.set("cl", 240).set("cr", 240).set("rw", 640).set("rh", 360);
  auto small = Call(a);
  ASSERT_TRUE(small->ok()) << small->error();
  EXPECT_EQ(small->vi().width, 640);
  EXPECT_EQ(small->vi().height, 360);
}
