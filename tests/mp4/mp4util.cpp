// MP4Error's printed form, the dotted-name helpers, hexadecimal and Base64
// texts (checked against coreutils base64), time-scale conversion and the
// track-type words.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mp4test.h"
#include "mp4util.h"
#include "testutil.h"

namespace {

using mp4test::Capture;

std::string Printed(const MP4Error& e) {
  return Capture([&](FILE* s) { e.Print(s); });
}

TEST(MP4Error, PrintJoinsThePresentPartsWithSeparators) {
  const std::string enoent = strerror(ENOENT);
  struct Case {
    const char* where;
    const char* message;
    int err;
    std::string expected;
  } cases[] = {
      {nullptr, nullptr, 0, "MP4ERROR: \n"},
      {"W", nullptr, 0, "MP4ERROR: W\n"},
      {nullptr, "M", 0, "MP4ERROR: M\n"},
      {"W", "M", 0, "MP4ERROR: W: M\n"},
      {nullptr, nullptr, ENOENT, "MP4ERROR: " + enoent + "\n"},
      {"W", nullptr, ENOENT, "MP4ERROR: W: " + enoent + "\n"},
      {nullptr, "M", ENOENT, "MP4ERROR: M: " + enoent + "\n"},
      {"W", "M", ENOENT, "MP4ERROR: W: M: " + enoent + "\n"},
  };
  for (const Case& c : cases) {
    // The plain form carries no message; the formatting forms always do.
    if (c.message)
      EXPECT_EQ(Printed(MP4Error(c.err, "%s", c.where, c.message)), c.expected);
    else
      EXPECT_EQ(Printed(MP4Error(c.err, c.where)), c.expected);
  }
  EXPECT_EQ(Printed(MP4Error("division by zero", "MP4ConvertTime")),
            "MP4ERROR: MP4ConvertTime: division by zero\n");
}

TEST(MP4Error, MessageIsFormattedAndCutAt511Characters) {
  const std::string longText(600, 'x');
  MP4Error e("%s", "w", longText.c_str());
  EXPECT_EQ(e.ownsMessage, 1u);
  EXPECT_EQ(strlen(e.message), 511u);
  MP4Error f(34, "index %u of %u", "MP4Array::[]", 5u, 2u);
  EXPECT_STREQ(f.message, "index 5 of 2");
  EXPECT_EQ(f.errnoValue, 34);
  MP4Error copy(f);
  EXPECT_STREQ(copy.message, "index 5 of 2");
  EXPECT_NE(copy.message, f.message);
}

std::string g_callbackText;
void Callback(int level, const char* lib, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char buf[1024];
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  g_callbackText = std::to_string(level) + "|" + lib + "|" + buf;
}

TEST(MP4Error, CallbackTakesThePrintAndTheStreamStaysEmpty) {
  MP4SetLibFunc(Callback);
  const std::string out = Printed(MP4Error(0, "no where", nullptr));
  MP4SetLibFunc(nullptr);
  EXPECT_EQ(out, "");
  EXPECT_EQ(g_callbackText, "3|MP4ERROR|:no where:");
}

TEST(MP4Util, HexDumpLines) {
  std::vector<uint8_t> b(17);
  for (size_t i = 0; i < b.size(); i++) b[i] = static_cast<uint8_t>(i * 16 + 1);
  EXPECT_EQ(Capture([&](FILE* s) { MP4HexDump(b.data(), 0, s, 0); }), " <0 bytes> \n");
  EXPECT_EQ(Capture([&](FILE* s) { MP4HexDump(b.data(), 2, s, 2); }), "  <2 bytes> 01 11 \n");
  EXPECT_EQ(Capture([&](FILE* s) { MP4HexDump(b.data(), 16, s, 0); }),
            " <16 bytes> 01 11 21 31 41 51 61 71 81 91 a1 b1 c1 d1 e1 f1 \n");
  EXPECT_EQ(Capture([&](FILE* s) { MP4HexDump(b.data(), 17, s, 1); }),
            " <17 bytes> \n 01 11 21 31 41 51 61 71 81 91 a1 b1 c1 d1 e1 f1 \n 01 \n");
}

TEST(MP4Util, DottedNames) {
  EXPECT_TRUE(MP4NameFirstMatches("mo", "moov.mvhd"));
  EXPECT_TRUE(MP4NameFirstMatches("moov", "mo.x"));
  EXPECT_TRUE(MP4NameFirstMatches("trak", "trak[1].tkhd"));
  EXPECT_TRUE(MP4NameFirstMatches("MOOV", "moov"));
  EXPECT_TRUE(MP4NameFirstMatches("anything", "*.x"));
  EXPECT_FALSE(MP4NameFirstMatches("mvhd", "moov"));
  EXPECT_FALSE(MP4NameFirstMatches("", "moov"));
  EXPECT_FALSE(MP4NameFirstMatches(nullptr, "moov"));
  EXPECT_FALSE(MP4NameFirstMatches("moov", ""));

  uint32_t index = 99;
  EXPECT_TRUE(MP4NameFirstIndex("trak[3].tkhd", &index));
  EXPECT_EQ(index, 3u);
  EXPECT_FALSE(MP4NameFirstIndex("trak.tkhd[3]", &index));
  EXPECT_FALSE(MP4NameFirstIndex("trak[x]", &index));
  EXPECT_FALSE(MP4NameFirstIndex(".trak[1]", &index));
  try {
    MP4NameFirstIndex("trak[1]", nullptr);
    ADD_FAILURE() << "no assertion";
  } catch (const MP4Error& e) {
    EXPECT_STREQ(e.where, "(pIndex)");
    EXPECT_STREQ(e.message, "assert failure");
  }

  char* first = MP4NameFirst("trak[2].tkhd");
  EXPECT_STREQ(first, "trak[2]");
  free(first);
  first = MP4NameFirst(".x");
  EXPECT_STREQ(first, "");
  free(first);
  EXPECT_EQ(MP4NameFirst(nullptr), nullptr);

  const char* path = "moov.mvhd.timeScale";
  EXPECT_EQ(MP4NameAfterFirst(path), path + 5);
  EXPECT_EQ(MP4NameAfterFirst("moov."), nullptr);
  EXPECT_EQ(MP4NameAfterFirst("moov"), nullptr);
  EXPECT_EQ(MP4NameAfterFirst(nullptr), nullptr);
}

TEST(MP4Util, Base16AndBase64AgreeWithCoreutils) {
  const uint8_t two[2] = {0x01, 0xab};
  char* hex = MP4ToBase16(two, 2);
  EXPECT_STREQ(hex, "01ab");
  free(hex);
  char* empty = MP4ToBase16(nullptr, 0);
  EXPECT_STREQ(empty, "");
  free(empty);
  EXPECT_EQ(MP4ToBase64(nullptr, 3), nullptr);

  for (uint32_t n : {1u, 2u, 3u, 4u, 5u, 31u, 64u, 100u}) {
    std::vector<uint8_t> data(n);
    for (uint32_t i = 0; i < n; i++) data[i] = static_cast<uint8_t>(i * 97 + n * 13 + 200);
    const std::string path = tu::scratch("in" + std::to_string(n));
    tu::write_file(path, data);
    tu::RunResult r = tu::run("base64 -w0 " + tu::q(path));
    ASSERT_EQ(r.status, 0);
    char* ours = MP4ToBase64(data.data(), n);
    EXPECT_EQ(std::string(ours), r.out) << n;
    free(ours);

    uint32_t outLength = 0;
    uint8_t* back = Base64ToBinary(r.out.data(), static_cast<uint32_t>(r.out.size()), &outLength);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(back, back + outLength), data) << n;
    free(back);
  }

  uint32_t len = 0;
  uint8_t* a = Base64ToBinary("YW==", 4, &len);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(len, 1u);
  EXPECT_EQ(a[0], 'a');
  free(a);
  EXPECT_EQ(Base64ToBinary("YWJ", 3, &len), nullptr);
  EXPECT_EQ(Base64ToBinary("Y=JjYWJj", 8, &len), nullptr);
  EXPECT_EQ(Base64ToBinary("YW\xc3\xa9", 4, &len), nullptr);
  EXPECT_EQ(Base64ToBinary("YWJj", 4, nullptr), nullptr);
  a = Base64ToBinary("YWJj====", 8, &len);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(len, 3u);
  free(a);
}

TEST(MP4Util, ConvertTime) {
  EXPECT_EQ(MP4ConvertTime(12345, 90000, 90000), 12345u);
  EXPECT_EQ(MP4ConvertTime(90000, 90000, 1000), 1000u);
  EXPECT_EQ(MP4ConvertTime(89999, 90000, 1000), 999u);
  try {
    MP4ConvertTime(1, 0, 1000);
    ADD_FAILURE() << "no error";
  } catch (const MP4Error& e) {
    EXPECT_STREQ(e.message, "division by zero");
    EXPECT_STREQ(e.where, "MP4ConvertTime");
  }
  // The invalid time stays invalid.
  EXPECT_EQ(MP4ConvertTime(UINT64_MAX, 90000, 1000), UINT64_MAX);
  // Products beyond 64 bits are exact: (2^63 + 1) * 4 / 8.
  EXPECT_EQ(MP4ConvertTime((1ull << 63) + 1, 8, 4), (1ull << 62));
  EXPECT_EQ(MP4ConvertTime(UINT64_MAX - 1, 1000, 90000), UINT64_MAX);
  EXPECT_EQ(MP4ConvertTime(1ull << 32, 1u << 31, 0xFFFFFFFFu), 0x1FFFFFFFEull);
  EXPECT_EQ(MP4ConvertTime(0, 1, 0xFFFFFFFFu), 0u);
}

TEST(MP4Util, NormalizeTrackType) {
  EXPECT_EQ(MP4NormalizeTrackType("Video", 0), MP4_VIDEO_TRACK_TYPE);
  EXPECT_EQ(MP4NormalizeTrackType("AVC1", 0), MP4_VIDEO_TRACK_TYPE);
  EXPECT_EQ(MP4NormalizeTrackType("mp4a", 0), MP4_AUDIO_TRACK_TYPE);
  EXPECT_EQ(MP4NormalizeTrackType("bifs", 0), MP4_SCENE_TRACK_TYPE);
  EXPECT_EQ(MP4NormalizeTrackType("od", 0), MP4_OD_TRACK_TYPE);
  EXPECT_EQ(MP4NormalizeTrackType("cntl", 0), MP4_CNTL_TRACK_TYPE);
  const char* text = "text";
  EXPECT_EQ(MP4NormalizeTrackType(text, 2), text);
}

}  // namespace
