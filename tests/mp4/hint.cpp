// RTP hint tracks: ffmpeg's hint tracks read into RTP packets (RFC 3550
// headers, H.264 payloads of RFC 6184 and AAC payloads of RFC 3640 that
// reassemble into ffprobe's packets), hint tracks written through the
// interface and read back, their statistics and session descriptions, and
// malformed hint samples.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mp4.h"
#include "mp4container.h"
#include "mp4files.h"
#include "mp4test.h"
#include "testutil.h"

namespace {

using namespace mp4test;

const uint32_t kSsrc = 0x12345678;

// ffprobe's packets of a stream with their bytes.
std::vector<Bytes> PacketData(const std::string& path, int stream) {
  const tu::RunResult r = tu::run("ffprobe -v error -select_streams " + std::to_string(stream) +
                                  " -show_packets -show_data " + tu::q(path));
  std::vector<Bytes> out;
  for (const std::string& line : tu::lines(r.out)) {
    if (line == "[PACKET]") out.emplace_back();
    if (out.empty() || line.size() < 10 || line[8] != ':') continue;
    const std::string hex = line.substr(10, line.find("  ", 10) - 10);
    for (size_t i = 0; i + 1 < hex.size(); i++) {
      if (hex[i] == ' ') continue;
      out.back().push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
      i++;
    }
  }
  return out;
}

std::string StreamField(const std::string& path, int stream, const std::string& field) {
  const tu::RunResult r = tu::run("ffprobe -v error -select_streams " + std::to_string(stream) +
                                  " -show_entries stream=" + field + " -of default=nw=1:nk=1 " + tu::q(path));
  return r.out.substr(0, r.out.find('\n'));
}

// The body of the nth box of a type, as the independent walker finds it.
Bytes Body(const Bytes& file, const char* type, int nth = 0) {
  const std::vector<Walked> boxes = Walk(file);
  const Walked* w = Find(boxes, type, nth);
  if (!w) return {};
  return Bytes(file.begin() + w->offset + 8, file.begin() + w->offset + w->size);
}

// The NAL units of a sample with 4-byte lengths.
std::vector<Bytes> LengthPrefixedNals(const Bytes& sample) {
  std::vector<Bytes> nals;
  for (size_t pos = 0; pos + 4 <= sample.size();) {
    const size_t n = Be(sample, pos, 4);
    nals.emplace_back(sample.begin() + pos + 4, sample.begin() + pos + 4 + n);
    pos += 4 + n;
  }
  return nals;
}

// RFC 6184: a single NAL unit, STAP-A (type 24) of 16-bit sized units, or
// FU-A (type 28) fragments joined from start to end bit.
void DepacketizeH264(const Bytes& payload, std::vector<Bytes>& nals, Bytes& fragment) {
  ASSERT_FALSE(payload.empty());
  const uint8_t type = payload[0] & 0x1F;
  if (type == 24) {
    for (size_t pos = 1; pos + 2 <= payload.size();) {
      const size_t n = Be(payload, pos, 2);
      nals.emplace_back(payload.begin() + pos + 2, payload.begin() + pos + 2 + n);
      pos += 2 + n;
    }
  } else if (type == 28) {
    ASSERT_GE(payload.size(), 2u);
    if (payload[1] & 0x80) fragment = Bytes{static_cast<uint8_t>((payload[0] & 0xE0) | (payload[1] & 0x1F))};
    fragment.insert(fragment.end(), payload.begin() + 2, payload.end());
    if (payload[1] & 0x40) nals.push_back(fragment);
  } else {
    nals.push_back(payload);
  }
}

// RFC 3640 (AAC-hbr): AU-headers-length in bits, 16-bit headers of a 13-bit
// size and a 3-bit index, then the access units.
void DepacketizeAac(const Bytes& payload, std::vector<Bytes>& units) {
  ASSERT_GE(payload.size(), 2u);
  const size_t headers = Be(payload, 0, 2) / 16;
  size_t data = 2 + headers * 2;
  for (size_t i = 0; i < headers; i++) {
    const size_t n = Be(payload, 2 + i * 2, 2) >> 3;
    ASSERT_LE(data + n, payload.size());
    units.emplace_back(payload.begin() + data, payload.begin() + data + n);
    data += n;
  }
}

struct RtpPacket {
  Bytes header;
  Bytes payload;
};

// Every packet of a hint, read with a buffer of the library's and checked
// against the header-only and payload-only reads.
std::vector<RtpPacket> ReadHint(MP4FileHandle h, uint32_t track, uint32_t hint) {
  uint16_t count = 0;
  EXPECT_TRUE(MP4ReadRtpHint(h, track, hint, &count));
  EXPECT_EQ(MP4GetRtpHintNumberOfPackets(h, track), count);
  std::vector<RtpPacket> out;
  for (uint16_t p = 0; p < count; p++) {
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    EXPECT_TRUE(MP4ReadRtpPacket(h, track, p, &bytes, &size, kSsrc, true, true));
    if (!bytes || size < 12) {
      ADD_FAILURE() << "packet " << p << " of hint " << hint << " has " << size << " bytes";
      free(bytes);
      break;
    }
    out.push_back({Bytes(bytes, bytes + 12), Bytes(bytes + 12, bytes + size)});
    free(bytes);
    uint8_t header[12];
    uint8_t* into = header;
    uint32_t room = sizeof header;
    EXPECT_TRUE(MP4ReadRtpPacket(h, track, p, &into, &room, kSsrc, true, false));
    EXPECT_EQ(Bytes(header, header + room), out.back().header);
    bytes = nullptr;
    EXPECT_TRUE(MP4ReadRtpPacket(h, track, p, &bytes, &size, kSsrc, false, true));
    EXPECT_EQ(Bytes(bytes, bytes + size), out.back().payload);
    free(bytes);
  }
  return out;
}

class Hint : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = tu::process_scratch("hint") + "/";
    tu::run("mkdir -p " + tu::q(dir));
    const std::string av = std::string(kVideo) + " " + kAudio + " -c:v libx264 -c:a aac -shortest ";
    ASSERT_TRUE(tu::ffmpeg(av + "-movflags +rtphint " + tu::q(dir + "hinted.mp4")));
    ASSERT_TRUE(tu::ffmpeg(av + tu::q(dir + "plain.mp4")));
    video = PacketData(dir + "plain.mp4", 0);
    audio = PacketData(dir + "plain.mp4", 1);
    ASSERT_GT(video.size(), 5u);
    ASSERT_GT(audio.size(), 5u);
  }
  static void TearDownTestSuite() {
    if (::testing::UnitTest::GetInstance()->Passed()) tu::run("rm -rf " + tu::q(dir));
  }
  // A copy of the plain file to change.
  static std::string Copy(const std::string& name) {
    tu::write_file(dir + name, tu::read_file(dir + "plain.mp4"));
    return dir + name;
  }
  static inline std::string dir;
  static inline std::vector<Bytes> video, audio;
};

// The payload type of the SDP's media line.
int PayloadType(const std::string& sdp) {
  const size_t at = sdp.find("RTP/AVP ");
  return at == std::string::npos ? -1 : atoi(sdp.c_str() + at + 8);
}

// Checks the RTP headers of a track's packets (RFC 3550: version 2, no
// padding, extension or sources; the payload type; sequence numbers one
// after the other; the timestamp start plus the hint's time; the SSRC)
// and returns the payloads of each hint.
std::vector<std::vector<Bytes>> ReadTrack(MP4FileHandle h, uint32_t track, int payloadType,
                                          const std::vector<int64_t>& times, bool markLast) {
  const uint32_t hints = MP4GetTrackNumberOfSamples(h, track);
  EXPECT_EQ(hints, times.size());
  const uint64_t start = MP4GetRtpTimestampStart(h, track);
  EXPECT_LE(start, UINT32_MAX);
  std::vector<std::vector<Bytes>> out;
  int sequence = -1;
  for (uint32_t i = 1; i <= hints && i <= times.size(); i++) {
    out.emplace_back();
    const std::vector<RtpPacket> packets = ReadHint(h, track, i);
    for (size_t p = 0; p < packets.size(); p++) {
      const Bytes& hd = packets[p].header;
      EXPECT_EQ(hd[0], 0x80) << "hint " << i;
      EXPECT_EQ(hd[1] & 0x7F, payloadType);
      if (markLast) {
        EXPECT_EQ((hd[1] & 0x80) != 0, p + 1 == packets.size()) << "hint " << i << " packet " << p;
      }
      const int seq = static_cast<int>(Be(hd, 2, 2));
      if (sequence >= 0) {
        EXPECT_EQ(seq, (sequence + 1) & 0xFFFF);
      }
      sequence = seq;
      EXPECT_EQ(Be(hd, 4, 4), (start + times[i - 1]) & 0xFFFFFFFF) << "hint " << i << " track " << track << " start " << start << " t " << times[i - 1];
      EXPECT_EQ(Be(hd, 8, 4), kSsrc);
      out.back().push_back(packets[p].payload);
    }
  }
  return out;
}

std::vector<int64_t> Times(const std::string& path, int stream) {
  std::vector<int64_t> t;
  const auto packets = FFprobePackets(path);
  for (const Packet& p : packets.at(stream)) t.push_back(p.pts);
  return t;
}

// ---------------------------------------------------------------- ffmpeg's hint tracks

TEST_F(Hint, FFmpegHintTracksGiveTheMediaInRtpPackets) {
  const std::string path = dir + "hinted.mp4";
  const Bytes file = tu::read_file(path);
  const std::vector<Bytes> hv = PacketData(path, 0), ha = PacketData(path, 1);
  MP4FileHandle h = MP4Read(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(MP4GetNumberOfTracks(h, nullptr, 0), 4u);
  for (uint32_t track = 3; track <= 4; track++) {
    SCOPED_TRACE(track);
    ASSERT_STREQ(MP4GetTrackType(h, track), "hint");
    EXPECT_EQ(StreamField(path, track - 1, "codec_tag_string"), "rtp ");
    // The references and texts as the file holds them.
    EXPECT_EQ(MP4GetHintTrackReferenceTrackId(h, track), Be(Body(file, "hint", track - 3), 0, 4));
    const Bytes sdp = Body(file, "sdp ", track - 3);
    ASSERT_NE(MP4GetHintTrackSdp(h, track), nullptr);
    EXPECT_EQ(std::string(MP4GetHintTrackSdp(h, track)), std::string(sdp.begin(), sdp.end()));
  }
  // Video: one hint per frame, the frame's NAL units in the payloads, the
  // marker on each frame's last packet.
  const std::string videoSdp = MP4GetHintTrackSdp(h, 3);
  EXPECT_EQ(videoSdp.rfind("m=video", 0), 0u);
  const auto videoPayloads = ReadTrack(h, 3, PayloadType(videoSdp), Times(path, 2), true);
  ASSERT_EQ(videoPayloads.size(), hv.size());
  for (size_t i = 0; i < hv.size(); i++) {
    std::vector<Bytes> nals;
    Bytes fragment;
    for (const Bytes& p : videoPayloads[i]) DepacketizeH264(p, nals, fragment);
    EXPECT_EQ(nals, LengthPrefixedNals(hv[i])) << "frame " << i;
  }
  // Audio: the access units of the hints, in order, are ffprobe's packets.
  const std::string audioSdp = MP4GetHintTrackSdp(h, 4);
  const auto audioPayloads = ReadTrack(h, 4, PayloadType(audioSdp), Times(path, 3), false);
  std::vector<Bytes> units;
  for (const auto& hint : audioPayloads)
    for (const Bytes& p : hint) DepacketizeAac(p, units);
  // ffmpeg's packetiser keeps the frames of a packet it has not filled yet
  // and never sends the last of them: the hints hold all frames up to
  // those.
  ASSERT_LE(units.size(), ha.size());
  EXPECT_GE(units.size() + 4, ha.size());
  EXPECT_EQ(units, std::vector<Bytes>(ha.begin(), ha.begin() + units.size()));
  // No hint information in ffmpeg's files: the payload comes from nowhere.
  char* name = nullptr;
  uint8_t number = 1;
  EXPECT_TRUE(MP4GetHintTrackRtpPayload(h, 3, &name, &number, nullptr, nullptr));
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(number, 0);
  MP4Close(h);
}

TEST_F(Hint, TheStartValuesAreTheSameOnEveryOpen) {
  const std::string path = dir + "hinted.mp4";
  uint64_t first[2] = {};
  for (int open = 0; open < 2; open++) {
    MP4FileHandle h = MP4Read(path.c_str(), 0);
    ASSERT_TRUE(MP4ReadRtpHint(h, 3, 1, nullptr));
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(MP4ReadRtpPacket(h, 3, 0, &bytes, &size, 0, true, false));
    ASSERT_EQ(size, 12u);
    const uint64_t values[2] = {Be(Bytes(bytes, bytes + 12), 2, 2), MP4GetRtpTimestampStart(h, 3)};
    free(bytes);
    if (open == 0) {
      first[0] = values[0];
      first[1] = values[1];
    } else {
      EXPECT_EQ(values[0], first[0]);
      EXPECT_EQ(values[1], first[1]);
    }
    MP4Close(h);
  }
}

// ---------------------------------------------------------------- writing

struct Hinted {
  uint32_t packets = 0;
  uint64_t payload = 0;
  uint32_t largest = 0;  // header included
};

// One hint per sample, the sample cut into packets of at most max bytes,
// the marker on each sample's last packet.
Hinted HintSamples(MP4FileHandle h, uint32_t hintTrack, const std::vector<Packet>& samples, uint32_t max,
                   bool configFirst) {
  Hinted s;
  for (size_t i = 0; i < samples.size(); i++) {
    EXPECT_TRUE(MP4AddRtpHint(h, hintTrack));
    if (i == 0 && configFirst) {
      EXPECT_TRUE(MP4AddRtpESConfigurationPacket(h, hintTrack));
      s.packets++;
    }
    const uint32_t size = static_cast<uint32_t>(samples[i].size);
    for (uint32_t off = 0; off < size; off += max) {
      const uint32_t n = std::min(max, size - off);
      EXPECT_TRUE(MP4AddRtpPacket(h, hintTrack, off + n == size, 0));
      EXPECT_TRUE(MP4AddRtpSampleData(h, hintTrack, static_cast<uint32_t>(i + 1), off, n));
      s.packets++;
      s.payload += n;
      s.largest = std::max(s.largest, 12 + n);
    }
    EXPECT_TRUE(MP4WriteRtpHint(h, hintTrack, samples[i].duration, samples[i].key));
  }
  return s;
}

TEST_F(Hint, WrittenHintTracksReadBackAndFFprobeListsThem) {
  const std::string path = Copy("written.mp4");
  const auto media = FFprobePackets(path);
  const Bytes config = FFprobeExtradata(path, 1);
  ASSERT_FALSE(config.empty());
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  const uint32_t hv = MP4AddHintTrack(h, 1), ha = MP4AddHintTrack(h, 2);
  ASSERT_EQ(hv, 3u);
  ASSERT_EQ(ha, 4u);
  EXPECT_EQ(MP4GetHintTrackReferenceTrackId(h, ha), 2u);
  uint8_t number = 255;
  ASSERT_TRUE(MP4SetHintTrackRtpPayload(h, hv, "H264", &number, 1000, nullptr, true, false));
  EXPECT_EQ(number, 96);
  number = 255;
  ASSERT_TRUE(MP4SetHintTrackRtpPayload(h, ha, "mpeg4-generic", &number, 0, "2", true, true));
  EXPECT_EQ(number, 97);
  const Hinted sv = HintSamples(h, hv, media.at(0), 1000, false);
  const Hinted sa = HintSamples(h, ha, media.at(1), 1460, true);
  EXPECT_TRUE(MP4SetRtpTimestampStart(h, ha, 0x1234567890ULL));
  MP4Close(h);

  // What ffprobe sees: two "rtp " streams of one packet per hint.
  for (int stream : {2, 3}) {
    EXPECT_EQ(StreamField(path, stream, "codec_tag_string"), "rtp ");
    EXPECT_EQ(FFprobePackets(path)[stream].size(), media.at(stream - 2).size());
  }
  const Bytes file = tu::read_file(path);
  // The texts, exactly: media, payload type, control, rtpmap, ES id.
  const std::string videoScale = StreamField(path, 0, "time_base").substr(2);
  const std::string audioScale = StreamField(path, 1, "time_base").substr(2);
  const std::string videoSdp =
      "m=video 0 RTP/AVP 96\r\na=control:trackID=3\r\na=rtpmap:96 H264/" + videoScale + "\r\n";
  const std::string audioSdp = "m=audio 0 RTP/AVP 97\r\na=control:trackID=4\r\na=rtpmap:97 mpeg4-generic/" +
                               audioScale + "/2\r\na=mpeg4-esid:2\r\n";
  EXPECT_EQ(Body(file, "sdp ", 0), Bytes(videoSdp.begin(), videoSdp.end()));
  EXPECT_EQ(Body(file, "sdp ", 1), Bytes(audioSdp.begin(), audioSdp.end()));

  // The statistics: twelve boxes in order, the packet and byte counts.
  const std::vector<std::string> kinds = {"trpy", "nump", "tpyl", "maxr", "dmed", "dimm",
                                          "drep", "tmin", "tmax", "pmax", "dmax", "payt"};
  const std::vector<Walked> boxes = Walk(file);
  std::vector<std::string> children;
  for (const Walked& w : boxes)
    if (w.parent == "hinf" && w.offset < Find(boxes, "hinf", 1)->offset) children.push_back(w.type);
  EXPECT_EQ(children, kinds);
  EXPECT_EQ(Be(Body(file, "nump", 0), 0, 8), sv.packets);
  EXPECT_EQ(Be(Body(file, "tpyl", 0), 0, 8), sv.payload);
  EXPECT_EQ(Be(Body(file, "dmed", 0), 0, 8), sv.payload);
  EXPECT_EQ(Be(Body(file, "trpy", 0), 0, 8), sv.payload + 12 * sv.packets);
  EXPECT_EQ(Be(Body(file, "pmax", 0), 0, 4), sv.largest);
  EXPECT_EQ(Be(Body(file, "maxr", 0), 0, 4), 1000u);
  EXPECT_EQ(Be(Body(file, "tpyl", 1), 0, 8), sa.payload + config.size());
  const Bytes hmhd = Body(file, "hmhd", 0);
  EXPECT_EQ(Be(hmhd, 4, 2), sv.largest);
  EXPECT_EQ(Be(hmhd, 6, 2), (sv.payload + 12 * sv.packets) / sv.packets);
  const Bytes payt = Body(file, "payt", 1);
  EXPECT_EQ(Be(payt, 0, 4), 97u);
  EXPECT_EQ(std::string(payt.begin() + 5, payt.end()), "mpeg4-generic/" + audioScale + "/2");

  // Read back: each sample's bytes, packet by packet.
  h = MP4Read(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(MP4GetRtpTimestampStart(h, ha), 0x34567890u);
  const std::vector<Bytes>* data[2] = {&video, &audio};
  for (uint32_t track : {hv, ha}) {
    SCOPED_TRACE(track);
    std::vector<int64_t> times;
    for (const Packet& p : media.at(track - 3)) times.push_back(p.dts);
    const auto hints = ReadTrack(h, track, 96 + (track - 3), times, track == hv);
    ASSERT_EQ(hints.size(), data[track - 3]->size());
    for (size_t i = 0; i < hints.size(); i++) {
      Bytes joined;
      size_t first = 0;
      if (track == ha && i == 0) {
        ASSERT_FALSE(hints[0].empty());
        EXPECT_EQ(hints[0][0], config);
        first = 1;
      }
      for (size_t p = first; p < hints[i].size(); p++) Append(joined, hints[i][p]);
      EXPECT_EQ(joined, (*data[track - 3])[i]) << "sample " << i + 1;
      EXPECT_EQ(hints[i].size() - first, ((*data[track - 3])[i].size() + (track == hv ? 999 : 1459)) /
                                             (track == hv ? 1000 : 1460));
    }
  }
  char* name = nullptr;
  char* params = nullptr;
  uint16_t max = 0;
  ASSERT_TRUE(MP4GetHintTrackRtpPayload(h, ha, &name, &number, &max, &params));
  EXPECT_STREQ(name, "mpeg4-generic");
  EXPECT_STREQ(params, "2");
  EXPECT_EQ(number, 97);
  EXPECT_EQ(max, 1460);
  free(name);
  free(params);
  ASSERT_TRUE(MP4GetHintTrackRtpPayload(h, hv, &name, &number, &max, &params));
  EXPECT_STREQ(name, "H264");
  EXPECT_EQ(params, nullptr);
  EXPECT_EQ(max, 1000);
  free(name);
  MP4Close(h);
}

// ---------------------------------------------------------------- refusals

TEST_F(Hint, CallsOutOfOrderOrOutOfRangeFail) {
  const std::string path = Copy("refusals.mp4");
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  const uint32_t hint = MP4AddHintTrack(h, 1);
  ASSERT_NE(hint, 0u);
  EXPECT_EQ(MP4AddHintTrack(h, 9), 0u);
  // Payload numbers: RTP's seven bits, and the free dynamic ones.
  uint8_t number = 200;
  EXPECT_FALSE(MP4SetHintTrackRtpPayload(h, hint, "H264", &number, 0, nullptr, false, false));
  number = 98;
  EXPECT_TRUE(MP4SetHintTrackRtpPayload(h, hint, "H264", &number, 0, nullptr, false, false));
  const uint32_t second = MP4AddHintTrack(h, 1), third = MP4AddHintTrack(h, 1);
  number = 96;
  EXPECT_TRUE(MP4SetHintTrackRtpPayload(h, second, "H264", &number, 0, nullptr, false, false));
  number = 255;
  EXPECT_TRUE(MP4SetHintTrackRtpPayload(h, third, "H264", &number, 0, nullptr, false, false));
  EXPECT_EQ(number, 97);

  const uint8_t bytes[15] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  struct Case {
    const char* what;
    std::function<bool()> call;
    bool ok;
  } cases[] = {
      {"packet before any hint", [&] { return MP4AddRtpPacket(h, hint, false, 0); }, false},
      {"data before any hint", [&] { return MP4AddRtpImmediateData(h, hint, bytes, 1); }, false},
      {"write before any hint", [&] { return MP4WriteRtpHint(h, hint, 100, true); }, false},
      {"hint on a video track", [&] { return MP4AddRtpHint(h, 1); }, false},
      {"hint", [&] { return MP4AddRtpHint(h, hint); }, true},
      {"second pending hint", [&] { return MP4AddRtpHint(h, hint); }, false},
      {"data before any packet", [&] { return MP4AddRtpSampleData(h, hint, 1, 0, 10); }, false},
      {"packet", [&] { return MP4AddRtpPacket(h, hint, true, -1); }, true},
      {"14 immediate bytes", [&] { return MP4AddRtpImmediateData(h, hint, bytes, 14); }, true},
      {"15 immediate bytes", [&] { return MP4AddRtpImmediateData(h, hint, bytes, 15); }, false},
      {"no immediate bytes", [&] { return MP4AddRtpImmediateData(h, hint, nullptr, 4); }, false},
      {"sample data of 65536 bytes", [&] { return MP4AddRtpSampleData(h, hint, 1, 0, 65536); }, false},
      {"sample data", [&] { return MP4AddRtpSampleData(h, hint, 1, 0, 5); }, true},
      {"write", [&] { return MP4WriteRtpHint(h, hint, 100, true); }, true},
      {"packet after the write", [&] { return MP4AddRtpPacket(h, hint, false, 0); }, false},
      {"reading before a hint is read", [&] { return MP4GetRtpHintNumberOfPackets(h, hint) != 0; }, false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(), c.ok) << c.what;
  MP4Close(h);

  h = MP4Read(path.c_str(), 0);
  EXPECT_FALSE(MP4AddRtpHint(h, hint));
  uint8_t* out = nullptr;
  uint32_t size = 0;
  EXPECT_FALSE(MP4ReadRtpPacket(h, hint, 0, &out, &size, 0, true, true));
  ASSERT_TRUE(MP4ReadRtpHint(h, hint, 1, nullptr));
  EXPECT_FALSE(MP4ReadRtpPacket(h, hint, 0, &out, &size, 0, false, false));
  EXPECT_FALSE(MP4ReadRtpPacket(h, hint, 1, &out, &size, 0, true, true));
  EXPECT_EQ(MP4GetRtpPacketTransmitOffset(h, hint, 0), 65535);
  EXPECT_EQ(MP4GetRtpPacketBFrame(h, hint, 0), 0);
  EXPECT_EQ(MP4GetRtpPacketBFrame(h, hint, 1), -1);
  // The caller's buffer must hold the packet: nothing is written into a
  // smaller one.
  uint8_t small[12 + 14 + 4];
  memset(small, 0xEE, sizeof small);
  out = small;
  size = sizeof small;
  EXPECT_FALSE(MP4ReadRtpPacket(h, hint, 0, &out, &size, 0, true, true));
  EXPECT_EQ(out, small);
  EXPECT_EQ(small[0], 0xEE);
  size = sizeof small + 1;
  uint8_t fits[sizeof small + 1];
  out = fits;
  ASSERT_TRUE(MP4ReadRtpPacket(h, hint, 0, &out, &size, 0, true, true));
  EXPECT_EQ(size, 12u + 14 + 5);
  EXPECT_EQ(Bytes(fits + 12, fits + 26), Bytes(bytes, bytes + 14));
  EXPECT_EQ(Bytes(fits + 26, fits + 31), Bytes(video[0].begin(), video[0].begin() + 5));
  EXPECT_EQ(MP4ReadRtpHint(h, 1, 1, nullptr), false);
  MP4Close(h);

  // Reopened, the track takes more hints with the payload it has.
  h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(MP4AddRtpHint(h, hint));
  EXPECT_TRUE(MP4AddRtpPacket(h, hint, true, 0));
  EXPECT_TRUE(MP4AddRtpSampleData(h, hint, 2, 1, 3));
  EXPECT_TRUE(MP4WriteRtpHint(h, hint, 100, false));
  MP4Close(h);
  h = MP4Read(path.c_str(), 0);
  ASSERT_EQ(MP4GetTrackNumberOfSamples(h, hint), 2u);
  out = nullptr;
  ASSERT_TRUE(MP4ReadRtpHint(h, hint, 2, nullptr));
  ASSERT_TRUE(MP4ReadRtpPacket(h, hint, 0, &out, &size, 0, true, true));
  EXPECT_EQ(out[1], 0x80 | 98);
  EXPECT_EQ(Bytes(out + 12, out + size), Bytes(video[1].begin() + 1, video[1].begin() + 4));
  free(out);
  MP4Close(h);
}

// ---------------------------------------------------------------- malformed hint samples

Bytes Hdr(uint16_t packets) { return Cat({BE(packets, 2), BE(0, 2)}); }

// A packet record: transmit offset, payload type 96 with the marker, a
// sequence number, the extra and B-frame flags, the entry count.
Bytes Pkt(uint16_t entries, bool extra = false, uint32_t xmit = 0, bool bframe = false) {
  return Cat({BE(xmit, 4), Bytes{0x00, 0x80 | 96}, BE(7, 2), BE((extra ? 4 : 0) | (bframe ? 2 : 0), 2),
              BE(entries, 2)});
}

Bytes Repeat(const Bytes& b, size_t times) {
  Bytes out;
  for (size_t i = 0; i < times; i++) Append(out, b);
  return out;
}
Bytes Imm(uint8_t count, uint8_t fill) { return Cat({Bytes{1, count}, Bytes(14, fill)}); }
Bytes Smp(uint8_t ref, uint16_t length, uint32_t sample, uint32_t offset) {
  return Cat({Bytes{2, ref}, BE(length, 2), BE(sample, 4), BE(offset, 4), BE(1, 2), BE(1, 2)});
}
Bytes Dsc(uint8_t ref, uint16_t length, uint32_t index, uint32_t offset) {
  return Cat({Bytes{3, ref}, BE(length, 2), BE(index, 4), BE(offset, 4), BE(0, 4)});
}

TEST_F(Hint, MalformedHintSamplesFailCleanly) {
  const std::string path = Copy("malformed.mp4");
  const uint32_t size1 = static_cast<uint32_t>(video[0].size());
  struct Case {
    const char* what;
    Bytes sample;
    bool hintOk;
    bool packetOk;
    Bytes payload;  // when the packet reads
  };
  // The hint track's own samples are 1, 2, ... in this order.
  const std::vector<Case> cases = {
      {"empty sample", {}, false, false, {}},
      {"two packets announced, one there", Cat({Hdr(2), Pkt(0)}), false, false, {}},
      {"65535 packets in a short sample", Cat({Hdr(65535), Pkt(0), Pkt(0)}), false, false, {}},
      {"entries beyond the sample", Cat({Hdr(1), Pkt(3), Imm(2, 0xAA)}), false, false, {}},
      {"entry of an unknown type", Cat({Hdr(1), Pkt(1), Bytes{9}, Bytes(15, 0)}), false, false, {}},
      {"extra block of 3 bytes", Cat({Hdr(1), Pkt(0, true), BE(3, 4)}), false, false, {}},
      {"extra entry of 4 bytes", Cat({Hdr(1), Pkt(0, true), BE(16, 4), BE(4, 4), Lit("rtpo"), BE(0, 4)}),
       false, false, {}},
      {"extra entry past its block",
       Cat({Hdr(1), Pkt(0, true), BE(16, 4), BE(0xFFFFFFF0, 4), Lit("abcd"), BE(0, 4)}), false, false, {}},
      {"extra entry skipped, then rtpo",
       Cat({Hdr(1), Pkt(1, true, 0xFFFFFFFF, true), BE(4 + 10 + 12, 4), BE(10, 4), Lit("abcd"), Bytes{1, 2},
            BE(12, 4), Lit("rtpo"), BE(5, 4), Imm(3, 0x33)}),
       true, true, Bytes(3, 0x33)},
      {"immediate count above 14", Cat({Hdr(1), Pkt(1), Imm(200, 0x44)}), true, true, Bytes(14, 0x44)},
      {"sample data past the sample", Cat({Hdr(1), Pkt(1), Smp(0, 100, 1, size1 - 10)}), true, false, {}},
      {"sample data offset past 4 GiB", Cat({Hdr(1), Pkt(1), Smp(0, 100, 1, 0xFFFFFFF0)}), true, false, {}},
      {"sample 0", Cat({Hdr(1), Pkt(1), Smp(0, 4, 0, 0)}), true, false, {}},
      {"sample beyond the track", Cat({Hdr(1), Pkt(1), Smp(0, 4, 1000, 0)}), true, false, {}},
      {"reference row beyond the table", Cat({Hdr(1), Pkt(1), Smp(5, 4, 1, 0)}), true, false, {}},
      {"reference row 1", Cat({Hdr(1), Pkt(1), Smp(1, 4, 1, 0)}), true, true,
       Bytes(video[0].begin(), video[0].begin() + 4)},
      {"own hint sample", Cat({Hdr(1), Pkt(2), Smp(0xFF, 4, 17, 0), Imm(2, 0x55)}), true, true,
       Cat({Hdr(1), Bytes{0x55, 0x55}})},
      {"payload above what RTP carries", Cat({Hdr(1), Pkt(static_cast<uint16_t>(65535 / size1 + 1)),
                                               Repeat(Smp(0, static_cast<uint16_t>(size1), 1, 0),
                                                      65535 / size1 + 1)}),
       true, false, {}},
      {"sample description beyond the table", Cat({Hdr(1), Pkt(1), Dsc(0, 4, 7, 0)}), true, false, {}},
      {"sample description data past the entry", Cat({Hdr(1), Pkt(1), Dsc(0, 4, 0, 100000)}), true, false, {}},
      {"sample description data", Cat({Hdr(1), Pkt(1), Dsc(0, 8, 0, 0)}), true, true, {}},
  };
  ASSERT_EQ(std::string(cases[16].what), "own hint sample");
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  const uint32_t hint = MP4AddHintTrack(h, 1);
  ASSERT_EQ(hint, 3u);
  for (const Case& c : cases) ASSERT_TRUE(MP4WriteSample(h, hint, c.sample.data(), c.sample.size(), 100, 0, true));
  MP4Close(h);

  const Bytes file = tu::read_file(path);
  const std::vector<Walked> boxes = Walk(file);
  const Walked* avc1 = Find(boxes, "avc1");
  ASSERT_NE(avc1, nullptr);
  h = MP4Read(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  for (uint32_t i = 0; i < cases.size(); i++) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    uint16_t count = 0;
    ASSERT_EQ(MP4ReadRtpHint(h, hint, i + 1, &count), c.hintOk);
    if (!c.hintOk) continue;
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    const bool ok = MP4ReadRtpPacket(h, hint, 0, &bytes, &size, 0, false, true);
    EXPECT_EQ(ok, c.packetOk);
    Bytes expected = c.payload;
    if (!strcmp(c.what, "sample description data"))
      expected = Bytes(file.begin() + avc1->offset, file.begin() + avc1->offset + 8);
    if (ok) {
      EXPECT_EQ(Bytes(bytes, bytes + size), expected);
    } else {
      EXPECT_EQ(bytes, nullptr);
    }
    free(bytes);
    if (!strcmp(c.what, "extra entry skipped, then rtpo")) {
      EXPECT_EQ(MP4GetRtpPacketTransmitOffset(h, hint, 0), 65535);
      EXPECT_EQ(MP4GetRtpPacketBFrame(h, hint, 0), 1);
    }
  }
  // A failed hint leaves no hint to read packets from.
  EXPECT_FALSE(MP4ReadRtpHint(h, hint, 1, nullptr));
  EXPECT_EQ(MP4GetRtpHintNumberOfPackets(h, hint), 0);
  MP4Close(h);
}

// A file read through a descriptor that counts the bytes read and gives no
// more once they pass a budget.
struct CountedFile {
  int fd = -1;
  uint64_t pos = 0;
  uint64_t read = 0;
  uint64_t budget = 0;
};

Virtual_IO CountedFileIO() {
  Virtual_IO io;
  io.GetFileLength = [](void* h) -> uint64_t {
    struct stat st;
    return fstat(static_cast<CountedFile*>(h)->fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  };
  io.SetPosition = [](void* h, uint64_t p) -> int {
    static_cast<CountedFile*>(h)->pos = p;
    return 0;
  };
  io.GetPosition = [](void* h, uint64_t* p) -> int {
    *p = static_cast<CountedFile*>(h)->pos;
    return 0;
  };
  io.Read = [](void* h, void* buf, uint64_t n) -> uint64_t {
    CountedFile* f = static_cast<CountedFile*>(h);
    if (f->read + n > f->budget) return 0;
    const ssize_t k = pread(f->fd, buf, n, static_cast<off_t>(f->pos));
    if (k <= 0) return 0;
    f->pos += static_cast<uint64_t>(k);
    f->read += static_cast<uint64_t>(k);
    return static_cast<uint64_t>(k);
  };
  io.Write = [](void*, void*, uint64_t) -> uint64_t { return 0; };
  io.EndOfFile = [](void*) -> int { return 0; };
  io.Close = [](void* h) -> int { return close(static_cast<CountedFile*>(h)->fd); };
  return io;
}

// Two media samples of 32 MB and one hint sample whose one packet holds
// 65535 one-byte entries that alternate between them. The samples are
// holes of a sparse file (about 1 MB written) but for a marker byte at
// each end, which the first two and the last two entries read.
struct AlternatingPacket {
  std::string path;
  uint64_t head = 0;  // bytes before the media samples
  Bytes payload;      // what the packet carries
};

AlternatingPacket MakeAlternatingPacket(const std::string& path) {
  const uint32_t kSample = 32u << 20, kEntries = 65535;
  const uint8_t markers[2][2] = {{'a', 'z'}, {'A', 'Z'}};  // first, last byte of samples 1 and 2
  AlternatingPacket out{path, 0, Bytes(kEntries, 0)};
  Bytes hint = Cat({Hdr(1), Pkt(static_cast<uint16_t>(kEntries))});
  for (uint32_t k = 0; k < kEntries; k++) {
    const uint32_t sample = 1 + k % 2;
    const bool first = k < 2, last = k + 2 >= kEntries;
    const uint32_t offset = first ? 0 : last ? kSample - 1 : (k / 2) * 509;
    Append(hint, Smp(0, 1, sample, offset));
    if (first || last) out.payload[k] = markers[sample - 1][last];
  }
  const Bytes rtpEntry = Box("rtp ", Cat({Bytes(6, 0), BE(1, 2), BE(1, 2), BE(1, 2), BE(1460, 4),
                                          Box("tims", BE(90000, 4))}));
  // The movie's size does not depend on the offsets in it.
  auto movie = [&](uint64_t hintAt, uint64_t mediaAt) {
    CraftedTrack video, hinted;
    video.timeScale = hinted.timeScale = 90000;
    video.tables = PlainTables(2, 3600, kSample, 1, {mediaAt, mediaAt + kSample});
    hinted.id = 2;
    hinted.handler = "hint";
    hinted.entries = OneEntry(rtpEntry);
    hinted.tables = PlainTables(1, 3600, static_cast<uint32_t>(hint.size()), 1, {hintAt});
    hinted.extra = Box("tref", Box("hint", BE(1, 4)));
    return Cat({Box("ftyp", Cat({Lit("isom"), BE(0, 4)})), Moov({Trak(video), Trak(hinted)})});
  };
  const uint64_t hintAt = movie(0, 0).size() + 16;
  const uint64_t mediaAt = (hintAt + hint.size() + 4095) / 4096 * 4096;
  const uint64_t end = mediaAt + 2ull * kSample;
  Bytes head = movie(hintAt, mediaAt);
  Append(head, Cat({BE(1, 4), Lit("mdat"), BE(end - head.size(), 8), hint}));
  out.head = mediaAt;
  tu::write_file(path, head);
  const int fd = open(path.c_str(), O_WRONLY);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(ftruncate(fd, static_cast<off_t>(end)), 0);
  for (uint32_t s = 0; s < 2; s++)
    for (int e = 0; e < 2; e++) {
      const off_t at = static_cast<off_t>(mediaAt + uint64_t(s) * kSample + (e ? kSample - 1 : 0));
      EXPECT_EQ(pwrite(fd, &markers[s][e], 1, at), 1);
    }
  close(fd);
  return out;
}

TEST_F(Hint, APacketAlternatingBetweenLargeSamplesReadsOnlyItsBytes) {
  const AlternatingPacket hostile = MakeAlternatingPacket(dir + "alternating.mp4");
  // Through a counting descriptor: the movie, the hint sample and the
  // packet's own bytes, not the samples they lie in.
  CountedFile counted;
  counted.fd = open(hostile.path.c_str(), O_RDONLY);
  ASSERT_GE(counted.fd, 0);
  counted.budget = hostile.head + hostile.payload.size();
  Virtual_IO io = CountedFileIO();
  MP4FileHandle h = MP4ReadEx(hostile.path.c_str(), &counted, &io, 0);
  ASSERT_NE(h, nullptr);
  uint16_t count = 0;
  ASSERT_TRUE(MP4ReadRtpHint(h, 2, 1, &count));
  ASSERT_EQ(count, 1);
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  EXPECT_TRUE(MP4ReadRtpPacket(h, 2, 0, &bytes, &size, 0, false, true)) << counted.read << " bytes read";
  EXPECT_EQ(Bytes(bytes, bytes + size), hostile.payload);
  free(bytes);
  MP4Close(h);
  if (HasFailure()) return;  // the timed read below would take minutes

  // The library's own reader, timed.
  h = MP4Read(hostile.path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(MP4ReadRtpHint(h, 2, 1, nullptr));
  const auto start = std::chrono::steady_clock::now();
  bytes = nullptr;
  EXPECT_TRUE(MP4ReadRtpPacket(h, 2, 0, &bytes, &size, 0, true, true));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(500));
  ASSERT_EQ(size, 12 + hostile.payload.size());
  EXPECT_EQ(Bytes(bytes + 12, bytes + size), hostile.payload);
  free(bytes);
  MP4Close(h);
}

// ---------------------------------------------------------------- session descriptions and boxes

TEST_F(Hint, SessionDescriptionsAreWrittenAsTheirCharacters) {
  const std::string path = Copy("sdp.mp4");
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(MP4GetSessionSdp(h), nullptr);
  EXPECT_TRUE(MP4SetSessionSdp(h, "v=0\r\n"));
  EXPECT_TRUE(MP4AppendSessionSdp(h, "s=x\r\n"));
  const uint32_t hint = MP4AddHintTrack(h, 2);
  EXPECT_STREQ(MP4GetHintTrackSdp(h, hint), nullptr);
  EXPECT_TRUE(MP4AppendHintTrackSdp(h, hint, "a=one\r\n"));
  EXPECT_TRUE(MP4AppendHintTrackSdp(h, hint, "a=two\r\n"));
  EXPECT_FALSE(MP4SetHintTrackSdp(h, 1, "not a hint track"));
  EXPECT_NE(MP4AddTextTrack(h, 1), 0u);
  MP4Close(h);

  const Bytes file = tu::read_file(path);
  const std::vector<Walked> boxes = Walk(file);
  const Walked* movieRtp = nullptr;
  for (const Walked& w : boxes)
    if (w.type == "rtp " && w.parent == "hnti") movieRtp = &w;
  ASSERT_NE(movieRtp, nullptr);
  EXPECT_EQ(Bytes(file.begin() + movieRtp->offset + 8, file.begin() + movieRtp->offset + movieRtp->size),
            Lit("sdp v=0\r\ns=x\r\n"));
  EXPECT_EQ(Body(file, "sdp "), Lit("a=one\r\na=two\r\n"));
  EXPECT_EQ(Body(file, "tims"), BE(std::stoul(StreamField(path, 1, "time_base").substr(2)), 4));
  // The text track's base media information: graphics mode 0x40, grey
  // opcolour, balance 0.
  EXPECT_EQ(Body(file, "gmin"), Cat({BE(0, 4), BE(0x40, 2), BE(0x8000, 2), BE(0x8000, 2), BE(0x8000, 2),
                                     BE(0, 2), BE(0, 2)}));
  h = MP4Read(path.c_str(), 0);
  EXPECT_STREQ(MP4GetSessionSdp(h), "v=0\r\ns=x\r\n");
  EXPECT_STREQ(MP4GetHintTrackSdp(h, hint), "a=one\r\na=two\r\n");
  MP4Close(h);
}

TEST(HintBoxes, EmptyTextBoxesReadAsEmptyTexts) {
  // A track-level "hnti" with an empty "sdp ", a movie-level one whose
  // "rtp " holds only its description format.
  for (const char* format : {"sdp ", "sd"}) {
    const Bytes udta = Box("udta", Box("hnti", Box("sdp ", {})));
    const Bytes movie = Box("udta", Box("hnti", Box("rtp ", Bytes(format, format + strlen(format)))));
    MemFile mem;
    mem.data = Box("moov", Cat({Box("trak", udta), movie}));
    Virtual_IO io = MemFileIO();
    MP4File f;
    f.Attach("mem.mp4", 'r', &mem, &io);
    if (strlen(format) < 4) {
      // The format field runs past its box: the read fails, nothing more.
      EXPECT_STREQ(Thrown([&] { f.ReadFromFile(); }).where == nullptr ? "" : "thrown", "thrown");
      continue;
    }
    f.ReadFromFile();
    EXPECT_STREQ(f.GetStringProperty("moov.trak.udta.hnti.sdp .sdpText"), "");
    EXPECT_STREQ(f.GetStringProperty("moov.udta.hnti.rtp .sdpText"), "");
    EXPECT_STREQ(f.GetStringProperty("moov.udta.hnti.rtp .descriptionFormat"), "sdp ");
  }
}

TEST(HintBoxes, ContainerFindsTheFirstFieldOfAName) {
  MP4Container c;
  c.AddFields({mp4field::U16("count"), mp4field::U32("count"), mp4field::Str("text")});
  c.SetIntegerProperty("count", 7);
  EXPECT_EQ(static_cast<MP4IntegerProperty*>(c.GetProperty(0))->GetValue(), 7u);
  EXPECT_EQ(static_cast<MP4IntegerProperty*>(c.GetProperty(1))->GetValue(), 0u);
  EXPECT_STREQ(Thrown([&] { c.GetIntegerProperty("text"); }).message, "type mismatch");
  EXPECT_STREQ(Thrown([&] { c.GetIntegerProperty("none"); }).message, "no such property");
  uint32_t index = 9;
  MP4Property* p = nullptr;
  EXPECT_FALSE(c.FindProperty("none", &p, &index));
  EXPECT_EQ(index, 0u);
}

}  // namespace
