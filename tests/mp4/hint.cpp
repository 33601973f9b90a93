// RTP hint tracks: ffmpeg's hint tracks read into RTP packets (RFC 3550
// headers, H.264 payloads of RFC 6184 and AAC payloads of RFC 3640 that
// reassemble into ffprobe's packets, timestamps of ffprobe's presentation
// times and of ffmpeg's own RTP stream), hint tracks written through the
// interface and read back (timestamp offsets, sequence numbers across
// reopened files, the limits of the 16-bit counts), their statistics and
// session descriptions, and malformed and hostile hint samples.
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
#include <functional>
#include <iterator>
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

// The packets of a track's hints, read with RTP headers.
struct RtpTrack {
  std::vector<std::vector<Bytes>> payloads;  // per hint
  std::vector<uint32_t> timestamps;          // per hint
  std::vector<uint16_t> sequence;            // per packet, all hints
};

// Checks the RTP headers of a track's packets (RFC 3550: version 2, no
// padding, extension or sources; the payload type; the marker on each
// hint's last packet when asked; one timestamp for all packets of a hint;
// the SSRC) and returns what they carry.
RtpTrack ReadTrack(MP4FileHandle h, uint32_t track, int payloadType, bool markLast) {
  RtpTrack out;
  const uint32_t hints = MP4GetTrackNumberOfSamples(h, track);
  for (uint32_t i = 1; i <= hints; i++) {
    out.payloads.emplace_back();
    const std::vector<RtpPacket> packets = ReadHint(h, track, i);
    EXPECT_FALSE(packets.empty()) << "hint " << i;
    for (size_t p = 0; p < packets.size(); p++) {
      const Bytes& hd = packets[p].header;
      EXPECT_EQ(hd[0], 0x80) << "hint " << i;
      EXPECT_EQ(hd[1] & 0x7F, payloadType);
      if (markLast) {
        EXPECT_EQ((hd[1] & 0x80) != 0, p + 1 == packets.size()) << "hint " << i << " packet " << p;
      }
      out.sequence.push_back(static_cast<uint16_t>(Be(hd, 2, 2)));
      const uint32_t timestamp = static_cast<uint32_t>(Be(hd, 4, 4));
      if (p == 0) out.timestamps.push_back(timestamp);
      EXPECT_EQ(timestamp, out.timestamps.back()) << "hint " << i << " packet " << p;
      EXPECT_EQ(Be(hd, 8, 4), kSsrc);
      out.payloads.back().push_back(packets[p].payload);
    }
  }
  return out;
}

// RTP sequence numbers go up by one from packet to packet (modulo 2^16).
void ExpectConsecutive(const std::vector<uint16_t>& sequence) {
  for (size_t i = 1; i < sequence.size(); i++)
    EXPECT_EQ(sequence[i], static_cast<uint16_t>(sequence[i - 1] + 1)) << "packet " << i;
}

// Each value less the first, modulo 2^32 as RTP timestamps are.
std::vector<uint32_t> SinceFirst(const std::vector<uint32_t>& v) {
  std::vector<uint32_t> out;
  for (uint32_t x : v) out.push_back(x - v.front());
  return out;
}

// The presentation times of a stream's packets in decode order, less the
// first, in units of rate per second (times of time base 1/timeScale).
std::vector<uint32_t> PresentationSinceFirst(const std::vector<Packet>& packets, int64_t timeScale, int64_t rate) {
  std::vector<uint32_t> out;
  for (const Packet& p : packets) {
    const int64_t d = (p.pts - packets.front().pts) * rate;
    EXPECT_EQ(d % timeScale, 0);
    out.push_back(static_cast<uint32_t>(d / timeScale));
  }
  return out;
}

// The RTP packets that ffmpeg itself sends of one stream of a file, caught
// on a local UDP port. Sent unpaced, they wait in the socket's buffer,
// which holds a few hundred kilobytes, until ffmpeg is done.
std::vector<Bytes> FFmpegRtpStream(const std::string& path, int stream) {
  std::vector<Bytes> out;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_GE(fd, 0) << strerror(errno);
  if (fd < 0) return out;
  const int buffer = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    ADD_FAILURE() << "no local UDP port: " << strerror(errno);
    close(fd);
    return out;
  }
  const std::string url = "rtp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  const tu::RunResult r = tu::run("ffmpeg -v error -nostdin -i " + tu::q(path) + " -map 0:" + std::to_string(stream) +
                                  " -c copy -f rtp " + url);
  EXPECT_EQ(r.status, 0) << r.out;
  uint8_t datagram[65536];
  // Sender reports (RTCP packet types 200 to 204) belong to the next port;
  // any that came here are left out.
  for (ssize_t n; (n = recv(fd, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;)
    if (n < 2 || datagram[1] < 200 || datagram[1] > 204) out.emplace_back(datagram, datagram + n);
  close(fd);
  return out;
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
  const auto media = FFprobePackets(path);
  int64_t scales[4];
  for (int stream = 0; stream < 4; stream++)
    scales[stream] = std::stoll(StreamField(path, stream, "time_base").substr(2));
  // Video: one hint per frame, the frame's NAL units in the payloads, the
  // marker on each frame's last packet.
  const std::string videoSdp = MP4GetHintTrackSdp(h, 3);
  EXPECT_EQ(videoSdp.rfind("m=video", 0), 0u);
  const RtpTrack video = ReadTrack(h, 3, PayloadType(videoSdp), true);
  ASSERT_EQ(video.payloads.size(), hv.size());
  for (size_t i = 0; i < hv.size(); i++) {
    std::vector<Bytes> nals;
    Bytes fragment;
    for (const Bytes& p : video.payloads[i]) DepacketizeH264(p, nals, fragment);
    EXPECT_EQ(nals, LengthPrefixedNals(hv[i])) << "frame " << i;
  }
  ExpectConsecutive(video.sequence);
  // Each frame's RTP timestamp is its presentation time on the 90 kHz
  // clock (RFC 6184), B frames included: earlier than the P frame sent
  // before them. ffmpeg's own RTP stream of the track says the same.
  const std::vector<uint32_t> presented = PresentationSinceFirst(media.at(0), scales[0], scales[2]);
  ASSERT_FALSE(std::is_sorted(presented.begin(), presented.end())) << "no reordered frames to check";
  EXPECT_EQ(SinceFirst(video.timestamps), presented);
  std::vector<uint32_t> sent;
  bool frameStart = true;
  for (const Bytes& datagram : FFmpegRtpStream(path, 0)) {
    ASSERT_GE(datagram.size(), 12u);
    if (frameStart) sent.push_back(static_cast<uint32_t>(Be(datagram, 4, 4)));
    frameStart = (datagram[1] & 0x80) != 0;
  }
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(SinceFirst(video.timestamps), SinceFirst(sent));

  // Audio: the access units of the hints, in order, are ffprobe's packets;
  // each packet's timestamp is the presentation time of its first unit on
  // the sampling clock (RFC 3640).
  const std::string audioSdp = MP4GetHintTrackSdp(h, 4);
  const RtpTrack audio = ReadTrack(h, 4, PayloadType(audioSdp), false);
  std::vector<Bytes> units;
  std::vector<Packet> firstUnits;
  for (const auto& hint : audio.payloads) {
    ASSERT_LT(units.size(), media.at(1).size());
    firstUnits.push_back(media.at(1)[units.size()]);
    for (const Bytes& p : hint) DepacketizeAac(p, units);
  }
  ExpectConsecutive(audio.sequence);
  EXPECT_EQ(SinceFirst(audio.timestamps), PresentationSinceFirst(firstUnits, scales[1], scales[3]));
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
    // Hints written without timestamp offsets: the start plus the hint's
    // time, which is the sample's.
    const RtpTrack read = ReadTrack(h, track, 96 + (track - 3), track == hv);
    const uint32_t start = static_cast<uint32_t>(MP4GetRtpTimestampStart(h, track));
    std::vector<uint32_t> stamps;
    for (const Packet& p : media.at(track - 3)) stamps.push_back(static_cast<uint32_t>(start + p.dts));
    EXPECT_EQ(read.timestamps, stamps);
    ExpectConsecutive(read.sequence);
    const auto& hints = read.payloads;
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

TEST_F(Hint, TimestampOffsetsOfWrittenHintsAreAddedToTheTimestamps) {
  const std::string path = Copy("offsets.mp4");
  // The offsets given to the hints, signed ones as their 32-bit patterns;
  // the start lies just below the wrap of 32 bits.
  const uint32_t kStart = 0xFFFFF000;
  const struct {
    bool bFrame;
    uint32_t offset;
    uint64_t duration;
  } hints[] = {
      {false, 0, 3000},   {false, 1024, 3000},        {true, 0xFFFFFC00, 1500},
      {true, 7200, 1500}, {false, 0x80000000, 3000}, {false, 0x7FFFFFFF, 100},
  };
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  const uint32_t hint = MP4AddHintTrack(h, 1);
  ASSERT_NE(hint, 0u);
  ASSERT_TRUE(MP4SetHintTrackRtpPayload(h, hint, "H264", nullptr, 0, nullptr, true, false));
  ASSERT_TRUE(MP4SetRtpTimestampStart(h, hint, kStart));
  uint32_t sample = 1;
  for (const auto& c : hints) {
    ASSERT_TRUE(MP4AddRtpVideoHint(h, hint, c.bFrame, c.offset));
    for (bool last : {false, true}) {
      ASSERT_TRUE(MP4AddRtpPacket(h, hint, last, 0));
      ASSERT_TRUE(MP4AddRtpSampleData(h, hint, sample, last ? 2 : 0, 2));
    }
    ASSERT_TRUE(MP4WriteRtpHint(h, hint, c.duration, !c.bFrame));
    sample++;
  }
  MP4Close(h);

  h = MP4Read(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  const RtpTrack read = ReadTrack(h, hint, 96, true);
  ASSERT_EQ(read.timestamps.size(), std::size(hints));
  uint64_t time = 0;
  for (size_t i = 0; i < std::size(hints); i++) {
    EXPECT_EQ(read.timestamps[i], static_cast<uint32_t>(kStart + time + hints[i].offset)) << "hint " << i + 1;
    ASSERT_TRUE(MP4ReadRtpHint(h, hint, static_cast<uint32_t>(i + 1), nullptr));
    for (uint16_t p = 0; p < 2; p++) EXPECT_EQ(MP4GetRtpPacketBFrame(h, hint, p), hints[i].bFrame ? 1 : 0);
    ASSERT_EQ(read.payloads[i].size(), 2u);
    EXPECT_EQ(Cat({read.payloads[i][0], read.payloads[i][1]}), Bytes(video[i].begin(), video[i].begin() + 4));
    time += hints[i].duration;
  }
  ExpectConsecutive(read.sequence);
  MP4Close(h);
}

TEST_F(Hint, HintsAddedAfterAReopenGoOnWithTheSequenceNumbers) {
  const std::string path = Copy("reopened.mp4");
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  const uint32_t hint = MP4AddHintTrack(h, 1);
  ASSERT_NE(hint, 0u);
  ASSERT_TRUE(MP4SetHintTrackRtpPayload(h, hint, "H264", nullptr, 0, nullptr, true, false));
  MP4Close(h);
  // Each session adds hints of these packet counts; a session that ends
  // with a hint without packets leaves the number of the one before.
  const std::vector<std::vector<int>> sessions = {{3, 1}, {2, 0}, {0}, {1, 4}};
  uint32_t sample = 1, packets = 0;
  for (const std::vector<int>& session : sessions) {
    h = MP4Modify(path.c_str(), 0);
    ASSERT_NE(h, nullptr);
    for (int count : session) {
      ASSERT_TRUE(MP4AddRtpHint(h, hint));
      for (int p = 0; p < count; p++) {
        ASSERT_TRUE(MP4AddRtpPacket(h, hint, p + 1 == count, 0));
        ASSERT_TRUE(MP4AddRtpSampleData(h, hint, sample, 0, 3));
        packets++;
      }
      ASSERT_TRUE(MP4WriteRtpHint(h, hint, 1000, true));
      sample++;
    }
    MP4Close(h);
  }
  h = MP4Read(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  std::vector<uint16_t> sequence;
  for (uint32_t i = 1; i < sample; i++)
    for (const RtpPacket& p : ReadHint(h, hint, i)) sequence.push_back(static_cast<uint16_t>(Be(p.header, 2, 2)));
  MP4Close(h);
  EXPECT_EQ(sequence.size(), packets);
  ExpectConsecutive(sequence);

  // A last hint that cannot be read gives no number to go on from: no hint
  // is added after it, and the file keeps its samples.
  const uint8_t damaged[] = {0, 1, 0, 0};  // one packet announced, none there
  h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(MP4WriteSample(h, hint, damaged, sizeof damaged, 1000, 0, true));
  MP4Close(h);
  h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(MP4AddRtpHint(h, hint));
  EXPECT_FALSE(MP4AddRtpPacket(h, hint, true, 0));
  EXPECT_FALSE(MP4WriteRtpHint(h, hint, 1000, true));
  MP4Close(h);
  h = MP4Read(path.c_str(), 0);
  EXPECT_EQ(MP4GetTrackNumberOfSamples(h, hint), sample);
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

TEST_F(Hint, The65536thPacketOrEntryIsRefusedWithNothingChanged) {
  // Hint 1: as many packets as the 16-bit count holds, then one more.
  // Hint 2: one packet with as many one-byte entries, then one more.
  const uint32_t kMost = 65535;
  const std::string path = Copy("counts.mp4");
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  const uint32_t hint = MP4AddHintTrack(h, 1);
  ASSERT_TRUE(MP4SetHintTrackRtpPayload(h, hint, "H264", nullptr, 0, nullptr, true, false));
  ASSERT_TRUE(MP4AddRtpHint(h, hint));
  for (uint32_t i = 0; i < kMost; i++) ASSERT_TRUE(MP4AddRtpPacket(h, hint, i + 1 == kMost, 0)) << i;
  EXPECT_FALSE(MP4AddRtpPacket(h, hint, false, 0));
  // The last packet is still the one data goes to.
  const uint8_t byte = 0x5A;
  EXPECT_TRUE(MP4AddRtpImmediateData(h, hint, &byte, 1));
  ASSERT_TRUE(MP4WriteRtpHint(h, hint, 1000, true));
  Bytes entries(kMost);
  ASSERT_TRUE(MP4AddRtpHint(h, hint));
  ASSERT_TRUE(MP4AddRtpPacket(h, hint, true, 0));
  for (uint32_t i = 0; i < kMost; i++) {
    entries[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(MP4AddRtpImmediateData(h, hint, &entries[i], 1)) << i;
  }
  EXPECT_FALSE(MP4AddRtpImmediateData(h, hint, &byte, 1));
  EXPECT_FALSE(MP4AddRtpSampleData(h, hint, 1, 0, 1));
  ASSERT_TRUE(MP4WriteRtpHint(h, hint, 1000, true));
  MP4Close(h);

  // The statistics count what was added: the refused packet's header and
  // the refused entries' bytes are not in them.
  const Bytes file = tu::read_file(path);
  EXPECT_EQ(Be(Body(file, "nump"), 0, 8), kMost + 1);
  EXPECT_EQ(Be(Body(file, "dimm"), 0, 8), kMost + 1);
  EXPECT_EQ(Be(Body(file, "dmed"), 0, 8), 0u);
  h = MP4Read(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  uint16_t count = 0;
  ASSERT_TRUE(MP4ReadRtpHint(h, hint, 1, &count));
  EXPECT_EQ(count, kMost);
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(MP4ReadRtpPacket(h, hint, kMost - 1, &bytes, &size, 0, true, true));
  EXPECT_EQ(Bytes(bytes + 12, bytes + size), Bytes{byte});
  EXPECT_NE(bytes[1] & 0x80, 0);
  free(bytes);
  ASSERT_TRUE(MP4ReadRtpHint(h, hint, 2, &count));
  EXPECT_EQ(count, 1);
  bytes = nullptr;
  ASSERT_TRUE(MP4ReadRtpPacket(h, hint, 0, &bytes, &size, 0, false, true));
  EXPECT_EQ(Bytes(bytes, bytes + size), entries);
  free(bytes);
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

// What the read of such a packet may take: about 40 ms in a release build,
// some ten times as much under AddressSanitizer.
#ifdef __SANITIZE_ADDRESS__
constexpr std::chrono::milliseconds kQuickRead(3000);
#else
constexpr std::chrono::milliseconds kQuickRead(500);
#endif

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
  EXPECT_LT(elapsed, kQuickRead);
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

TEST_F(Hint, ReturnedSessionDescriptionsStayValidUntilClose) {
  const std::string path = Copy("sdp-lifetime.mp4");
  MP4FileHandle h = MP4Modify(path.c_str(), 0);
  ASSERT_NE(h, nullptr);
  const uint32_t hint = MP4AddHintTrack(h, 1);
  ASSERT_NE(hint, 0u);
  // The movie's text and the hint track's, each set, appended to and set
  // again; every text returned on the way is read once more at the end.
  const struct {
    const char* what;
    std::function<const char*()> get;
    std::function<bool(const char*)> set, append;
  } sources[] = {
      {"movie", [&] { return MP4GetSessionSdp(h); }, [&](const char* s) { return MP4SetSessionSdp(h, s); },
       [&](const char* s) { return MP4AppendSessionSdp(h, s); }},
      {"hint track", [&] { return MP4GetHintTrackSdp(h, hint); },
       [&](const char* s) { return MP4SetHintTrackSdp(h, hint, s); },
       [&](const char* s) { return MP4AppendHintTrackSdp(h, hint, s); }},
  };
  std::vector<std::pair<const char*, std::string>> returned;
  for (const auto& source : sources) {
    SCOPED_TRACE(source.what);
    ASSERT_TRUE(source.set("v=0\r\n"));
    returned.emplace_back(source.get(), "v=0\r\n");
    ASSERT_TRUE(source.append("s=one\r\n"));
    returned.emplace_back(source.get(), "v=0\r\ns=one\r\n");
    // A text set from one returned earlier.
    ASSERT_TRUE(source.set(returned.back().first));
    ASSERT_TRUE(source.append(source.get()));
    returned.emplace_back(source.get(), "v=0\r\ns=one\r\nv=0\r\ns=one\r\n");
    ASSERT_TRUE(source.set("s=two\r\n"));
    returned.emplace_back(source.get(), "s=two\r\n");
  }
  ASSERT_TRUE(MP4SetSessionSdp(h, "v=1\r\n"));
  ASSERT_TRUE(MP4SetHintTrackSdp(h, hint, "v=1\r\n"));
  for (const auto& [text, expected] : returned) {
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text, expected);
  }
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
