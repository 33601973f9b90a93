// References for the Matroska reader's tests: what mkvtoolnix and ffprobe
// say about a file (mkvmerge -J, mkvinfo -s -P, mkvextract, ffprobe
// packets), read into plain records, and the reader's own view through the
// mkvprobe tool or in process.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mkvmem.h"

namespace mkvr {

// A folder for the inputs that one test program makes once and shares.
std::string fixture_dir(const std::string& program);

// Nanoseconds of "HH:MM:SS.nnnnnnnnn".
int64_t parse_time(const std::string& hms);

// A JSON value, as far as the tests need one: numbers, true, false and null
// keep their text.
struct Json {
  std::string text;  // strings, numbers, literals
  std::vector<Json> items;
  std::map<std::string, Json> fields;
  const Json& operator[](const std::string& key) const;
  const Json& operator[](size_t i) const;
};
Json mkvmerge_json(const std::string& path);

// One frame as mkvinfo -s -P lists it (laced frames one by one).
struct InfoFrame {
  unsigned track;  // Matroska track number
  int64_t time;
  uint64_t pos;
  unsigned size;
  std::string adler;  // eight hexadecimal digits
  bool key;
};
std::vector<InfoFrame> mkvinfo_frames(const std::string& path);

// One packet of ffprobe -show_packets, in file order.
struct Packet {
  int stream;
  int64_t pts, duration;  // nanoseconds; INT64_MIN when ffprobe has none
  int64_t pos;
  unsigned size;
  bool key;
};
std::vector<Packet> ffprobe_packets(const std::string& path);

// The rows of mkvextract FILE cues ID:...: time (ns) and cluster position,
// made relative to the Segment's data.
std::vector<std::pair<int64_t, uint64_t>> mkvextract_cues(const std::string& path, unsigned id);

// An XML element as mkvextract writes chapters and tags.
struct Xml {
  std::string name, text;
  std::vector<Xml> children;
  std::vector<const Xml*> all(const std::string& name) const;  // children of that name
  std::string child(const std::string& name, const std::string& otherwise = "") const;
};
Xml mkvextract_xml(const std::string& path, const std::string& what);

// mkvprobe's records: the first word of a line and its name=value fields.
struct Record {
  std::string kind;
  std::map<std::string, std::string> f;
  const std::string& operator[](const std::string& k) const;
  uint64_t u(const std::string& k) const;
};
std::vector<Record> mkvprobe(const std::string& args, int* status = nullptr);
std::vector<Record> only(const std::vector<Record>& records, const std::string& kind);

// A file opened in process over an in-memory copy.
struct Opened {
  std::unique_ptr<mkvt::MemStream> stream;
  MatroskaFile* mf = nullptr;
  std::string error;
  Opened(const std::string& path_or_bytes, bool is_path = true, unsigned flags = 0);
  ~Opened();
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
};

struct Frame {
  unsigned track;
  uint64_t start, end, pos;
  unsigned size, flags;
};
// Frames until mkv_ReadFrame returns -1 (at most max).
std::vector<Frame> read_frames(MatroskaFile* mf, size_t max = SIZE_MAX, unsigned mask = 0);

}  // namespace mkvr
