#include "testutil.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace tu {

RunResult run(const std::string& cmdline) {
  RunResult r;
  std::string full = "( " + cmdline + " ) 2>&1";
  FILE* p = popen(full.c_str(), "r");
  if (!p) return r;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string q(const std::string& s) {
  std::string o = "'";
  for (char c : s) {
    if (c == '\'') o += "'\\''";
    else o += c;
  }
  return o + "'";
}

bool have(const std::string& program) {
  return run("command -v " + q(program) + " >/dev/null").status == 0;
}

std::string scratch(const std::string& name) {
  const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string dir = std::string("scratch/") + (t ? std::string(t->test_suite_name()) + "." + t->name() : "x");
  for (char& c : dir)
    if (c == '/' && &c != &dir[7]) c = '_';
  run("mkdir -p " + q(dir));
  char cwd[4096];
  std::string base = getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" : std::string();
  return base + dir + "/" + name;
}

std::string process_scratch(const std::string& name) {
  const std::string dir = scratch(name + "-" + std::to_string(getpid())) + "/";
  run("mkdir -p " + q(dir));
  return dir;
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> v;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      v.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) v.push_back(cur);
  return v;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool ffmpeg(const std::string& args) {
  RunResult r = run("ffmpeg -nostdin -hide_banner -loglevel error -y " + args);
  if (r.status != 0) ADD_FAILURE() << "ffmpeg " << args << "\n" << r.out;
  return r.status == 0;
}

RunResult ostrel(const std::string& args) { return run(q(OSTREL_BIN) + " " + args); }

std::vector<ScanUnit> scan_start_codes(const std::vector<uint8_t>& es) {
  std::vector<ScanUnit> v;
  for (size_t i = 0; i + 3 < es.size(); i++) {
    if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) {
      v.push_back({i, es[i + 3]});
      i += 2;
    }
  }
  return v;
}

static std::vector<std::map<std::string, std::string>> parse_sections(const std::string& text,
                                                                      const std::string& tag) {
  std::vector<std::map<std::string, std::string>> v;
  std::map<std::string, std::string> cur;
  bool in = false;
  for (const std::string& l : lines(text)) {
    if (l == "[" + tag + "]") {
      in = true;
      cur.clear();
    } else if (l == "[/" + tag + "]") {
      if (in) v.push_back(cur);
      in = false;
    } else if (in) {
      size_t eq = l.find('=');
      if (eq != std::string::npos) cur[l.substr(0, eq)] = l.substr(eq + 1);
    }
  }
  return v;
}

std::vector<std::map<std::string, std::string>> ffprobe_frames(const std::string& path,
                                                               const std::string& extra) {
  RunResult r = run("ffprobe -v error -select_streams v:0 -show_frames " + extra + " " + q(path));
  return parse_sections(r.out, "FRAME");
}

std::map<std::string, std::string> ffprobe_stream(const std::string& path) {
  RunResult r = run("ffprobe -v error -select_streams v:0 -show_streams " + q(path));
  auto v = parse_sections(r.out, "STREAM");
  return v.empty() ? std::map<std::string, std::string>() : v[0];
}

std::set<long long> ffprobe_shown_times(const std::string& path) {
  std::set<long long> t;
  auto take = [&](const std::map<std::string, std::string>& m, const char* key) {
    const auto i = m.find(key);
    if (i == m.end() || i->second.empty() || i->second == "N/A") return false;
    t.insert(std::stoll(i->second));
    return true;
  };
  for (const auto& f : ffprobe_frames(path))
    if (!take(f, "pts")) take(f, "best_effort_timestamp");
  RunResult r = run("ffprobe -v error -select_streams v:0 -show_packets " + q(path));
  for (const auto& p : parse_sections(r.out, "PACKET")) take(p, "pts");
  return t;
}

std::string kwi_slot_marks(const std::vector<std::string>& ls) {
  std::string marks;
  for (const std::string& p : kwi_pictures(ls)) marks += p == "LOST" ? 'L' : '.';
  return marks;
}

std::string expected_slot_marks(const std::set<long long>& intact, size_t frames, const std::set<long long>& damaged) {
  std::string marks;
  for (long long t : intact) marks += damaged.count(t) ? '.' : 'L';
  if (frames > intact.size()) marks.append(frames - intact.size(), '.');
  while (!marks.empty() && marks.back() == 'L') marks.pop_back();
  return marks;
}

std::string expected_frame_marks(const std::vector<ShownPicture>& pictures) {
  std::string marks;
  int fields = 0;  // of the run not read since the last picture read
  bool begun = false;
  for (const ShownPicture& p : pictures) {
    if (!p.read) {
      fields += p.fields;
      continue;
    }
    if (begun) marks.append(static_cast<size_t>(fields / 2), 'L');
    marks += '.';
    begun = true;
    fields = 0;
  }
  return marks;
}

// The number of 'L's before each '.' and after the last.
static std::vector<size_t> slot_runs(const std::string& marks) {
  std::vector<size_t> runs(1, 0);
  for (char c : marks) {
    if (c == '.') runs.push_back(0);
    else runs.back()++;
  }
  return runs;
}

bool marks_within(const std::string& got, const std::string& bound) {
  const std::vector<size_t> g = slot_runs(got), b = slot_runs(bound);
  if (g.size() != b.size()) return false;
  for (size_t i = 0; i < g.size(); i++)
    if (g[i] > b[i]) return false;
  return true;
}

std::vector<std::string> kwi_lines(const std::string& path) { return lines(read_text(path)); }

std::vector<std::string> kwi_with(const std::vector<std::string>& ls, const std::string& keyword) {
  std::vector<std::string> v;
  for (const std::string& l : ls)
    if (l.compare(0, keyword.size(), keyword) == 0) v.push_back(l);
  return v;
}

std::vector<std::string> kwi_pictures(const std::vector<std::string>& ls) {
  std::vector<std::string> v;
  for (const std::string& l : ls) {
    size_t c = l.find(':');
    if (c == std::string::npos || c == 0) continue;
    bool digits = true;
    for (size_t i = 0; i < c; i++)
      if (l[i] < '0' || l[i] > '9') digits = false;
    if (digits) v.push_back(l.substr(c + 1));
  }
  return v;
}

std::ostream& operator<<(std::ostream& os, const DumpUnit& u) {
  return os << "{" << u.pos << " " << std::hex << u.code << std::dec << " " << u.len << " " << u.prefix << "}";
}

std::vector<DumpUnit> unitdump(const std::string& args, RunResult* result) {
  RunResult r = run(q(UNITDUMP_BIN) + " " + args);
  if (result) *result = r;
  else EXPECT_EQ(r.status, 0) << r.out.substr(0, 2000);
  std::vector<DumpUnit> v;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    DumpUnit u{};
    std::istringstream l(line);
    l >> u.pos >> std::hex >> u.code >> std::dec >> u.len >> u.prefix;
    if (l) v.push_back(u);
  }
  return v;
}

std::vector<DumpUnit> expected_units(const std::vector<uint8_t>& es, bool avc_reader,
                                     const std::vector<uint64_t>& map) {
  auto sc = scan_start_codes(es);
  std::vector<DumpUnit> v;
  for (size_t i = 0; i < sc.size(); i++) {
    uint64_t end = i + 1 < sc.size() ? sc[i + 1].pos : es.size();
    DumpUnit u{sc[i].pos, sc[i].code, static_cast<uint32_t>(end - sc[i].pos), 3};
    if (i == 0 && avc_reader && sc[i].pos > 0 && es[sc[i].pos - 1] == 0) {
      u.pos -= 1;
      u.len += 1;
      u.prefix = 4;
    }
    if (i + 1 == sc.size() && u.len < 5) continue;
    if (!map.empty()) u.pos = map.at(u.pos);
    v.push_back(u);
  }
  return v;
}

std::vector<std::string> index_lines(const std::string& input, const std::string& kwi, RunResult* result) {
  std::remove(kwi.c_str());
  RunResult r = ostrel("-i " + q(input) + " -o " + q(kwi));
  if (result) *result = r;
  return kwi_lines(kwi);
}

std::string kwi_line(const std::vector<std::string>& ls, const std::string& keyword) {
  auto v = kwi_with(ls, keyword);
  return v.size() == 1 ? v[0] : "<" + std::to_string(v.size()) + " lines " + keyword + ">";
}

::testing::AssertionResult refused_no_picture(const RunResult& r, const std::vector<std::string>& lines) {
  if (r.status != 1) return ::testing::AssertionFailure() << "status " << r.status << ", not 1: " << r.out;
  if (r.out.find("No picture to index") == std::string::npos)
    return ::testing::AssertionFailure() << "no refusal message: " << r.out;
  if (!lines.empty()) return ::testing::AssertionFailure() << "an index file was left behind";
  return ::testing::AssertionSuccess();
}

std::string kwi_value(const std::vector<std::string>& ls, const std::string& keyword) {
  auto v = kwi_with(ls, keyword + " ");
  return v.size() == 1 ? v[0].substr(keyword.size() + 1) : "<" + std::to_string(v.size()) + " lines>";
}

uint32_t crc32_mpeg(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    crc ^= static_cast<uint32_t>(p[i]) << 24;
    for (int k = 0; k < 8; k++) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

namespace {

uint32_t be32_at(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
void put_be32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

// Lowers the chunk offsets of the boxes of 32-bit size in [from, to) by
// cut, descending into the boxes that hold the sample tables; the offsets
// lowered.
int lower_chunk_offsets(std::vector<uint8_t>& b, size_t from, size_t to, uint64_t cut) {
  static const char* const into[] = {"moov", "trak", "mdia", "minf", "stbl"};
  int lowered = 0;
  for (size_t p = from; p + 8 <= to;) {
    const size_t size = be32_at(b, p);
    if (size < 8 || size > to - p) break;
    const std::string type(b.begin() + long(p) + 4, b.begin() + long(p) + 8);
    const bool wide = type == "co64";
    if ((type == "stco" || wide) && size >= 16) {
      const size_t n = be32_at(b, p + 12), entry = wide ? 8 : 4;
      for (size_t i = 0; i < n && 16 + (i + 1) * entry <= size; ++i, ++lowered) {
        const size_t e = p + 16 + i * entry;
        if (wide) {
          const uint64_t v = (uint64_t(be32_at(b, e)) << 32 | be32_at(b, e + 4)) - cut;
          put_be32(b, e, uint32_t(v >> 32));
          put_be32(b, e + 4, uint32_t(v));
        } else {
          put_be32(b, e, be32_at(b, e) - uint32_t(cut));
        }
      }
    }
    for (const char* c : into)
      if (type == c) lowered += lower_chunk_offsets(b, p + 8, p + size, cut);
    p += size;
  }
  return lowered;
}

}  // namespace

std::string cut_file_type(const std::string& mov, const std::string& out) {
  std::vector<uint8_t> b = read_file(mov);
  if (b.size() < 16 || std::string(b.begin() + 4, b.begin() + 8) != "ftyp") return "";
  const uint32_t cut = be32_at(b, 0);
  if (cut < 8 || cut + 8 > b.size()) return "";
  b.erase(b.begin(), b.begin() + cut);
  if (lower_chunk_offsets(b, 0, b.size(), cut) == 0) return "";
  write_file(out, b);
  return std::string(b.begin() + 4, b.begin() + 8);
}

}  // namespace tu
