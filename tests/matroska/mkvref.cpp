#include "mkvref.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <sstream>

#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include "testutil.h"

namespace mkvr {

std::string fixture_dir(const std::string& program) {
  char cwd[4096];
  const std::string dir = std::string(getcwd(cwd, sizeof cwd) ? cwd : ".") + "/scratch/" + program + "/";
  tu::run("rm -rf " + tu::q(dir) + " && mkdir -p " + tu::q(dir));
  return dir;
}

int64_t parse_time(const std::string& hms) {
  unsigned h = 0, m = 0;
  double s = 0;
  if (sscanf(hms.c_str(), "%u:%u:%lf", &h, &m, &s) != 3) return INT64_MIN;
  const size_t dot = hms.find('.');
  int64_t ns = 0;
  if (dot != std::string::npos) ns = std::stoll((hms.substr(dot + 1) + "000000000").substr(0, 9));
  return (int64_t(h) * 3600 + m * 60 + int64_t(s)) * 1000000000 + ns;
}

// ---------------------------------------------------------------- JSON

namespace {
const Json kNone;

struct JsonParser {
  const std::string& s;
  size_t i = 0;
  void ws() {
    while (i < s.size() && isspace(uint8_t(s[i]))) ++i;
  }
  std::string string() {
    std::string out;
    for (++i; i < s.size() && s[i] != '"'; ++i) {
      if (s[i] == '\\' && ++i < s.size()) out += s[i] == 'n' ? '\n' : s[i] == 't' ? '\t' : s[i];
      else out += s[i];
    }
    ++i;
    return out;
  }
  Json value() {
    Json v;
    ws();
    if (i >= s.size()) return v;
    if (s[i] == '{' || s[i] == '[') {
      const char close = s[i] == '{' ? '}' : ']';
      for (++i, ws(); i < s.size() && s[i] != close; ws()) {
        if (close == '}') {
          const std::string key = string();
          ws();
          ++i;  // ':'
          v.fields[key] = value();
        } else {
          v.items.push_back(value());
        }
        ws();
        if (s[i] == ',') ++i;
      }
      ++i;
    } else if (s[i] == '"') {
      v.text = string();
    } else {
      while (i < s.size() && !strchr(",}] \n\t", s[i])) v.text += s[i++];
    }
    return v;
  }
};
}  // namespace

const Json& Json::operator[](const std::string& key) const {
  auto it = fields.find(key);
  return it == fields.end() ? kNone : it->second;
}
const Json& Json::operator[](size_t i) const { return i < items.size() ? items[i] : kNone; }

Json mkvmerge_json(const std::string& path) {
  const tu::RunResult r = tu::run("mkvmerge -J " + tu::q(path));
  return JsonParser{r.out}.value();
}

// ---------------------------------------------------------------- mkvinfo, ffprobe, mkvextract

std::vector<InfoFrame> mkvinfo_frames(const std::string& path) {
  std::vector<InfoFrame> v;
  for (const std::string& l : tu::lines(tu::run("mkvinfo -s -P " + tu::q(path)).out)) {
    char type = 0, t[32] = {0}, adler[16] = {0};
    unsigned track = 0, size = 0;
    unsigned long long pos = 0;
    if (sscanf(l.c_str(), "%c frame, track %u, timestamp %31[0-9:.], size %u, adler 0x%15[0-9a-f], position %llu",
               &type, &track, t, &size, adler, &pos) == 6)
      v.push_back({track, parse_time(t), pos, size, adler, type == 'I'});
  }
  return v;
}

std::vector<Packet> ffprobe_packets(const std::string& path) {
  std::vector<Packet> v;
  const std::string cmd = "ffprobe -v error -show_entries packet=stream_index,pts_time,dts_time,duration_time,size,"
                          "pos,flags -of csv=p=0 " + tu::q(path);
  for (const std::string& l : tu::lines(tu::run(cmd).out)) {
    std::vector<std::string> f;
    std::stringstream ss(l);
    for (std::string x; std::getline(ss, x, ',');) f.push_back(x);
    if (f.size() < 7) continue;
    auto ns = [](const std::string& x) { return x == "N/A" ? INT64_MIN : int64_t(std::llround(std::stod(x) * 1e9)); };
    // Tracks in compatibility mode (V_MS/VFW/FOURCC) have only a dts.
    const int64_t pts = ns(f[1]) != INT64_MIN ? ns(f[1]) : ns(f[2]);
    v.push_back({std::stoi(f[0]), pts, ns(f[3]), std::stoll(f[5]), unsigned(std::stoul(f[4])),
                 f[6].find('K') != std::string::npos});
  }
  return v;
}

// Where the Segment's data starts: the position of its first child, as
// mkvinfo -P shows it.
static uint64_t segment_data_start(const std::string& path) {
  bool segment = false;
  for (const std::string& l : tu::lines(tu::run("mkvinfo -P " + tu::q(path)).out)) {
    const size_t at = l.rfind(" at ");
    if (segment && at != std::string::npos) return std::stoull(l.substr(at + 4));
    segment = l.compare(0, 9, "+ Segment") == 0;
  }
  return 0;
}

std::vector<std::pair<int64_t, uint64_t>> mkvextract_cues(const std::string& path, unsigned id) {
  const std::string out = path + ".cues" + std::to_string(id) + ".txt";
  tu::run("mkvextract " + tu::q(path) + " cues " + std::to_string(id) + ":" + tu::q(out));
  std::vector<std::pair<int64_t, uint64_t>> v;
  for (const std::string& l : tu::lines(tu::read_text(out))) {
    char t[32];
    unsigned long long pos;
    if (sscanf(l.c_str(), "timestamp=%31s duration=%*s cluster_position=%llu", t, &pos) == 2)
      v.emplace_back(parse_time(t), pos);
  }
  // mkvextract writes file positions.
  const uint64_t data = v.empty() ? 0 : segment_data_start(path);
  for (auto& row : v) row.second -= data;
  return v;
}

// ---------------------------------------------------------------- XML

namespace {
// Elements, text and self-closing tags; declarations and comments skipped.
Xml parse_element(const std::string& s, size_t& i) {
  Xml x;
  const size_t end = s.find('>', i);
  x.name = s.substr(i + 1, end - i - 1);
  const bool empty = !x.name.empty() && x.name.back() == '/';
  while (!x.name.empty() && (x.name.back() == '/' || x.name.back() == ' ')) x.name.pop_back();
  i = end + 1;
  if (empty) return x;
  while (i < s.size()) {
    const size_t lt = s.find('<', i);
    if (lt == std::string::npos) break;
    x.text += s.substr(i, lt - i);
    if (s.compare(lt, 2, "</") == 0) {
      i = s.find('>', lt) + 1;
      break;
    }
    i = lt;
    x.children.push_back(parse_element(s, i));
  }
  if (!x.children.empty()) x.text.clear();
  return x;
}
}  // namespace

std::vector<const Xml*> Xml::all(const std::string& n) const {
  std::vector<const Xml*> v;
  for (const Xml& c : children)
    if (c.name == n) v.push_back(&c);
  return v;
}

std::string Xml::child(const std::string& n, const std::string& otherwise) const {
  for (const Xml& c : children)
    if (c.name == n) return c.text;
  return otherwise;
}

Xml mkvextract_xml(const std::string& path, const std::string& what) {
  const std::string s = tu::run("mkvextract " + tu::q(path) + " " + what + " -").out;
  size_t i = 0;
  while ((i = s.find('<', i)) != std::string::npos && (s[i + 1] == '?' || s[i + 1] == '!')) i = s.find('>', i) + 1;
  if (i == std::string::npos) return Xml{};
  return parse_element(s, i);
}

// ---------------------------------------------------------------- the reader's view

const std::string& Record::operator[](const std::string& k) const {
  static const std::string missing = "<missing>";
  auto it = f.find(k);
  return it == f.end() ? missing : it->second;
}
uint64_t Record::u(const std::string& k) const { return std::stoull((*this)[k]); }

std::vector<Record> mkvprobe(const std::string& args, int* status) {
  const tu::RunResult r = tu::run(tu::q(MKVPROBE_BIN) + " " + args);
  if (status) *status = r.status;
  std::vector<Record> v;
  for (const std::string& l : tu::lines(r.out)) {
    Record rec;
    std::stringstream ss(l);
    std::getline(ss, rec.kind, '\t');
    for (std::string field; std::getline(ss, field, '\t');) {
      const size_t eq = field.find('=');
      if (eq == std::string::npos) rec.f[""] = field;
      else if (!rec.f.count(field.substr(0, eq))) rec.f[field.substr(0, eq)] = field.substr(eq + 1);
      else rec.f[field.substr(0, eq)] += "," + field.substr(eq + 1);  // repeated names, such as display
    }
    v.push_back(rec);
  }
  return v;
}

std::vector<Record> only(const std::vector<Record>& records, const std::string& kind) {
  std::vector<Record> v;
  for (const Record& r : records)
    if (r.kind == kind) v.push_back(r);
  return v;
}

Opened::Opened(const std::string& path_or_bytes, bool is_path, unsigned flags) {
  mkvt::Bytes bytes = is_path ? "" : path_or_bytes;
  if (FILE* f = is_path ? fopen(path_or_bytes.c_str(), "rb") : nullptr) {  // one read: files reach 69 MB
    fseeko(f, 0, SEEK_END);
    bytes.resize(size_t(ftello(f)));
    fseeko(f, 0, SEEK_SET);
    if (fread(&bytes[0], 1, bytes.size(), f) != bytes.size()) bytes.clear();
    fclose(f);
  }
  // Crafted inputs seed the fuzz corpus: MKVT_SEEDS=DIR writes each small
  // one there, named by its checksum.
  const char* seeds = getenv("MKVT_SEEDS");
  if (!is_path && seeds && bytes.size() <= 8192) {
    char name[32];
    snprintf(name, sizeof name, "/crafted-%08lx", adler32(1, reinterpret_cast<const Bytef*>(bytes.data()), uInt(bytes.size())));
    tu::write_file(seeds + std::string(name), std::vector<uint8_t>(bytes.begin(), bytes.end()));
  }
  stream = std::make_unique<mkvt::MemStream>(std::move(bytes));
  char err[256] = "";
  mf = mkv_OpenEx(stream->io(), 0, flags, err, sizeof err);
  error = err;
}

Opened::~Opened() {
  mkv_Close(mf);
  EXPECT_TRUE(stream->live.empty()) << stream->live.size() << " blocks still held after mkv_Close";
  EXPECT_FALSE(stream->bad_free);
}

std::vector<Frame> read_frames(MatroskaFile* mf, size_t max, unsigned mask) {
  std::vector<Frame> v;
  Frame f;
  while (v.size() < max && mkv_ReadFrame(mf, mask, &f.track, &f.start, &f.end, &f.pos, &f.size, &f.flags) == 0)
    v.push_back(f);
  return v;
}

}  // namespace mkvr
