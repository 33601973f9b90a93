// Index reading shared by the four codec readers: the head (magic, version,
// input file list), the keyword header, the placing of coded pictures into
// display frames, and the end computations. Every value is parsed with range
// checks; a value that cannot be parsed leaves its target unchanged.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "decoder.h"
#include "indexreader.h"

namespace kwi {

bool ReadLine(FILE* f, char* buf, size_t size) {
  if (!fgets(buf, static_cast<int>(size), f)) return false;
  size_t n = strlen(buf);
  if (n > 0 && buf[n - 1] == '\n') {
    buf[n - 1] = '\0';
  } else if (!feof(f)) {
    // Longer than the buffer: the rest of the line is not read as a new line.
    int c;
    while ((c = fgetc(f)) != EOF && c != '\n') {
    }
  }
  return true;
}

bool Begins(const char* line, const char* keyword) {
  return strncmp(line, keyword, strlen(keyword)) == 0;
}

bool Contains(const char* line, const char* keyword) { return strstr(line, keyword) != nullptr; }

static void SkipBlanks(const char*& p) {
  while (*p == ' ' || *p == '\t') ++p;
}

bool ParseInt(const char*& p, int* out) {
  const char* q = p;
  SkipBlanks(q);
  bool neg = false;
  if (*q == '-' || *q == '+') neg = *q++ == '-';
  if (*q < '0' || *q > '9') return false;
  long long v = 0;
  while (*q >= '0' && *q <= '9') {
    v = v * 10 + (*q++ - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (neg) v = -v;
  if (v > INT_MAX || v < INT_MIN) return false;
  *out = static_cast<int>(v);
  p = q;
  return true;
}

bool ParseU64(const char*& p, u64* out) {
  const char* q = p;
  SkipBlanks(q);
  if (*q == '+') ++q;
  if (*q < '0' || *q > '9') return false;
  u64 v = 0;
  while (*q >= '0' && *q <= '9') {
    const unsigned digit = static_cast<unsigned>(*q++ - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *out = v;
  p = q;
  return true;
}

bool Expect(const char*& p, char c) {
  const char* q = p;
  SkipBlanks(q);
  if (*q != c) return false;
  p = q + 1;
  return true;
}

bool NextValue(const char*& cursor) {
  const char* b = strchr(cursor, ' ');
  if (!b) return false;
  cursor = b + 1;
  return true;
}

bool NextInt(const char*& cursor, int* out) {
  if (!NextValue(cursor)) return false;
  const char* p = cursor;
  return ParseInt(p, out);
}

bool NextU64(const char*& cursor, u64* out) {
  if (!NextValue(cursor)) return false;
  const char* p = cursor;
  return ParseU64(p, out);
}

}  // namespace kwi

using namespace kwi;

FILE* CAVCDecoder::OpenIndexFile(const char* path) const {
  if (!index_text) return fopen(path, "r");
  // fmemopen refuses an empty buffer; an empty index reads as one.
  if (index_text_size == 0) return fopen("/dev/null", "r");
  return fmemopen(const_cast<char*>(index_text), index_text_size, "r");
}

int CAVCDecoder::OpenIndexHead(const char* path, const char* magic, size_t version_chars) {
  index_file = OpenIndexFile(path);
  if (!index_file) return INDEX_OPEN_INPUT;
  char line[FIRST_LINE + 2];
  if (!ReadLine(index_file, line, sizeof line)) return INDEX_EMPTY;
  const std::string with_nv = std::string(magic) + "NV";
  if (!strstr(line, with_nv.c_str())) return INDEX_NOT_KWI;
  const std::string expected = std::string(magic) + "NV100";
  if (strncmp(line, expected.c_str(), version_chars) != 0) return INDEX_VERSION;
  // Ostrel's directory and the empty line after it.
  std::vector<char> skip(KEYWORD_LINE);
  ReadLine(index_file, skip.data(), skip.size());
  ReadLine(index_file, skip.data(), skip.size());
  return INDEX_OK;
}

int CAVCDecoder::ReadInputFiles() {
  char line[MAX_INPUT_NAME];
  for (;;) {
    if (!fgets(line, sizeof line, index_file)) return INDEX_OK;
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') {
      line[--n] = '\0';
    } else if (!feof(index_file)) {
      // A name longer than the table's name buffer cannot be opened as written.
      return INDEX_OPEN_INPUT;
    }
    // The size follows the last blank; a line without one (the empty line
    // before DEVICE) or with nothing before it ends the list.
    char* blank = strrchr(line, ' ');
    if (!blank || blank == line) return INDEX_OK;
    const char* size_text = blank + 1;
    u64 size = 0;
    ParseU64(size_text, &size);
    *blank = '\0';
    if (files.size() >= static_cast<size_t>(MAX_INPUT_FILES)) return INDEX_TOO_MANY_FILES;
    for (char* c = line; *c; ++c)
      if (*c == '\\') *c = '/';
    // A device or a pipe may never end (and opening a pipe may wait for a
    // writer): only regular files are read.
    struct stat st;
    if (stat(line, &st) == 0 && !S_ISREG(st.st_mode)) {
      index_problem = line;
      return INDEX_NOT_REGULAR;
    }
    InputFile f;
    f.name = line;
    f.size = size;
    f.fp = fopen(line, "rb");
    if (!f.fp) return INDEX_OPEN_INPUT;
    files.push_back(std::move(f));
    // The most common stale index: another file of another size under the
    // indexed name. Every position of the index would name other bytes.
    if (fstat(fileno(files.back().fp), &st) != 0 || u64(st.st_size) != size) {
      index_problem = std::string(line) + " has " + std::to_string(static_cast<long long>(st.st_size)) +
                      " bytes, the index lists " + std::to_string(size);
      return INDEX_STALE;
    }
  }
}

bool CAVCDecoder::ReadKeyword(const char* line, bool parameter_sets) {
  const char* c = line;
  if (Begins(line, "DEVICE")) {
    NextInt(c, &device);
  } else if (Begins(line, "DECODE_MODES")) {
    int m[5];
    if (NextValue(c) && ParseInt(c, &m[0]) && Expect(c, ',') && ParseInt(c, &m[1]) &&
        Expect(c, ',') && ParseInt(c, &m[2]) && Expect(c, ',') && ParseInt(c, &m[3]) &&
        Expect(c, ',') && ParseInt(c, &m[4]))
      memcpy(decode_modes, m, sizeof m);
  } else if (Begins(line, "STREAM")) {
    NextInt(c, &stream_type);
    NextInt(c, &program_stream_type);
    if (stream_type == CONTAINER_TS)
      get_byte = &CAVCDecoder::GetTSByte;
    else if (stream_type == CONTAINER_PS)
      get_byte = &CAVCDecoder::GetPSByte;
    else
      get_byte = &CAVCDecoder::GetRawByte;
  } else if (Begins(line, "PKTSIZ")) {
    NextInt(c, &pktsiz);
  } else if (Begins(line, "VPID")) {
    NextInt(c, &vpid);
  } else if (Begins(line, "DEPTH")) {
    NextInt(c, &depth);
    // Above 8 bits the decode session weaves whatever was asked, so every
    // count from here on is made for deinterlace 0.
    if (depth > 8) deinterlace = 0;
  } else if (Begins(line, "ASPECT")) {
    int a = 0, b = 0;
    if (NextInt(c, &a) && NextInt(c, &b)) {
      ar1 = a;
      ar2 = b;
    }
  } else if (Begins(line, "COLORIMETRY")) {
    int m = 0, t = 0, p = 0;
    if (NextInt(c, &m) && NextInt(c, &t) && NextInt(c, &p)) {
      matrix = m;
      transfer = t;
      primaries = p;
    }
  } else if (parameter_sets && Begins(line, "SPS")) {
    u64 pos;
    if (NextU64(c, &pos)) sps_list.push_back(pos);
  } else if (parameter_sets && Begins(line, "PPS")) {
    u64 pos;
    if (NextU64(c, &pos)) pps_list.push_back(pos);
  } else if (Begins(line, "SIZE")) {
    int w = 0, h = 0;
    if (NextValue(c) && ParseInt(c, &w) && Expect(c, 'x') && ParseInt(c, &h)) {
      width = w;
      height = h;
    }
  } else if (Begins(line, "FPS")) {
    int num = 0, den = 0;
    if (NextValue(c) && ParseInt(c, &num) && Expect(c, '/') && ParseInt(c, &den)) {
      // Force film shows four of every five frames.
      fps_num = fieldop == 1 ? static_cast<int>(0.8 * num) : num;
      fps_den = den;
    }
  } else {
    return false;
  }
  return true;
}

bool CAVCDecoder::ReadLostLine(const char* line, int counter) {
  // The running index, a colon, the keyword and nothing else.
  const char* p = line;
  if (*p < '0' || *p > '9') return false;
  while (*p >= '0' && *p <= '9') ++p;
  if (strcmp(p, ":LOST") != 0) return false;
  FrameRecord& f = FrameAt(static_cast<size_t>(counter));
  f = FrameRecord{};
  f.lost = 1;
  f.slice_type = -1;
  f.pict_type = -1;
  f.pic_struct = -1;
  any_lost = true;
  // A slot right after a group line is no picture to start the group at:
  // the group begins with the picture after it.
  if (codec != CODEC_HEVC && !groups.empty() && groups.back().first == u64(counter)) groups.back().first = u64(counter) + 1;
  return true;
}

bool CAVCDecoder::ReadDamageLine(const char* line) {
  if (!Begins(line, "DAMAGE ")) return false;
  const char* c = line;
  u64 position = 0;
  if (NextU64(c, &position)) damage_list.push_back(position);
  return true;
}

FrameRecord& CAVCDecoder::FrameAt(size_t index) {
  // Placement writes up to three display frames ahead of the running index;
  // the table grows to cover every index written.
  if (index >= frames.size()) {
    size_t grow = frames.size() < 1024 ? 1024 : frames.size() / 2;
    frames.resize(index + grow, FrameRecord{});
  }
  return frames[index];
}

void CAVCDecoder::PlaceRepeated(int n, int count) {
  for (int k = 0; k < count; ++k) {
    FrameRecord& f = FrameAt(static_cast<size_t>(place_d) + k);
    f.top = n;
    f.bottom = n;
  }
  place_d += count;
}

void CAVCDecoder::PlaceFields(int n, int pic_struct) {
  if (pic_struct == 7) {
    PlaceRepeated(n, 2);
    return;
  }
  if (pic_struct == 8) {
    PlaceRepeated(n, 3);
    return;
  }
  const size_t d = static_cast<size_t>(place_d);
  if (carry_top) {
    FrameAt(d).bottom = n;
    FrameAt(d + 1).top = n;
  } else {
    FrameAt(d).top = n;
    if (carry_bottom)
      FrameAt(d + 1).bottom = n;
    else
      FrameAt(d).bottom = n;
  }
  if (pic_struct == 5) {
    FrameAt(d + 1).top = n;
    carry_top = true;
  } else if (pic_struct == 6) {
    FrameAt(d + 1).bottom = n;
    carry_bottom = true;
  }
  if (carry_top && carry_bottom) {
    place_d += 2;
    carry_top = carry_bottom = false;
  } else {
    place_d += 1;
  }
}

void CAVCDecoder::PlaceFilm(int n, bool three_field) {
  if (three_field)
    ++film_three;
  else
    ++film_two;
  const int lock = film_locked ? 5 : 3;
  if (film_two - film_three >= lock) {
    film_two = film_three = 0;
    film_locked = true;
    return;  // dropped: no display frame
  }
  if (film_three - film_two >= lock) {
    film_two = film_three = 0;
    film_locked = true;
    PlaceRepeated(n, 2);
    return;
  }
  PlaceRepeated(n, 1);
}

void CAVCDecoder::PlaceLost(int n, bool whole_frame) {
  if (fieldop == 2)
    PlaceSelf(n);
  else if (fieldop == 1)
    PlaceFilm(n, false);
  else if (whole_frame)
    PlaceRepeated(n, 1);
  else
    PlaceFields(n, -1);
}

void CAVCDecoder::PlaceSelf(int n) {
  FrameRecord& f = FrameAt(static_cast<size_t>(n));
  f.top = n;
  f.bottom = n;
}

void CAVCDecoder::ResetPlacement() {
  place_d = 0;
  carry_top = carry_bottom = false;
  film_two = film_three = 0;
  film_locked = false;
}

void CAVCDecoder::TrimTrailingPictures() {
  // The coded pictures among the indexes (lost slots have no order count).
  std::vector<int> coded;
  coded.reserve(static_cast<size_t>(std::max(coded_count, 0)));
  for (int i = 0; i < coded_count; ++i)
    if (!frames[static_cast<size_t>(i)].lost) coded.push_back(i);
  auto poc = [&](int i) { return static_cast<i64>(frames[static_cast<size_t>(coded[static_cast<size_t>(i)])].poc); };
  // Order-count step: the difference of the first two pictures of the first
  // group that has two. This holds for a single group too: a step of 1 there
  // would take every picture of a stream counted in steps of 2 for one whose
  // predecessor is missing, and cut the stream down to its first picture.
  i64 step = 1;
  size_t at = 0;
  for (size_t g = 0; g < groups.size(); ++g) {
    const u64 end = g + 1 < groups.size() ? groups[g + 1].first : u64(coded_count);
    while (at < coded.size() && u64(coded[at]) < groups[g].first) ++at;
    if (at + 1 < coded.size() && u64(coded[at + 1]) < end) {
      step = poc(static_cast<int>(at) + 1) - poc(static_cast<int>(at));
      break;
    }
  }
  // Pictures whose display predecessors are missing end the index: drop
  // them, and the lost slots after the last picture kept.
  // A lost slot between two pictures widens the step between them.
  const int L = static_cast<int>(coded.size()) - 1;
  if (L < 1) return;
  auto keep = [&](int last) { coded_count = coded[static_cast<size_t>(last)] + 1; };
  auto reach = [&](int i) { return step * (coded[static_cast<size_t>(i)] - coded[static_cast<size_t>(i) - 1]); };
  if (poc(L - 1) + reach(L) >= poc(L)) return keep(L);
  for (int k = 1; k <= 20; ++k) {
    if (k >= L) return keep(0);
    if (poc(L - k) <= poc(L - k - 1) + reach(L - k)) return keep(L - k);
  }
  keep(L);
}

int CAVCDecoder::CountDisplayFrames() const {
  if (fieldop == 2) return coded_count;
  int d = place_d;
  while (d > 0) {
    const FrameRecord& f = frames[static_cast<size_t>(d - 1)];
    const bool beyond = fieldop == 1 ? f.top >= coded_count
                                     : (f.top >= coded_count || f.bottom >= coded_count);
    if (!beyond) break;
    --d;
  }
  return d;
}

int CAVCDecoder::FinishIndex() {
  if (index_file) {
    fclose(index_file);
    index_file = nullptr;
  }
  // Every table index up to the larger count exists.
  if (coded_count > 0) FrameAt(static_cast<size_t>(coded_count) - 1);
  if (display_count > 0) FrameAt(static_cast<size_t>(display_count) - 1);
  // A leading skip must leave a frame to show, else every request would be
  // clamped past the last frame.
  if (display_count > 0 && lead_skip > display_count - 1) lead_skip = display_count - 1;
  if (lead_skip < 0) lead_skip = 0;

  if (groups.empty()) return INDEX_NO_GOPS;
  std::sort(damage_list.begin(), damage_list.end());
  if (stream_type == CONTAINER_MKV) {
    const int r = InitMatroska();
    if (r != 0) {
      CloseMatroska();
      if (!files.empty() && files[0].fp) {
        fclose(files[0].fp);
        files[0].fp = nullptr;
      }
      return r == 2 ? INDEX_CONTAINER_TRACK : INDEX_CONTAINER_PARSE;
    }
  }
  if (stream_type == CONTAINER_MP4) {
    const int r = InitMP4();
    if (r != 0) {
      CloseMP4();
      if (!files.empty() && files[0].fp) {
        fclose(files[0].fp);
        files[0].fp = nullptr;
      }
      return r == 2 ? INDEX_CONTAINER_TRACK : INDEX_CONTAINER_PARSE;
    }
  }
  if (files.empty()) return INDEX_BAD_VALUES;
  if (stream_type < CONTAINER_ES || stream_type > CONTAINER_MP4) return INDEX_BAD_VALUES;
  if (stream_type == CONTAINER_TS) {
    if (pktsiz != 188 && pktsiz != 192 && pktsiz != 204) return INDEX_BAD_VALUES;
    if (vpid < 0 || vpid > 0x1FFF) return INDEX_BAD_VALUES;
  }
  return CheckAgainstInputs();
}

int CAVCDecoder::CheckAgainstInputs() {
  // Pictures larger than any coded picture the session takes (one limit
  // for every codec) cannot be served: every frame would fail. The index is
  // not wrong for it: streams of that size exist (HEVC, MPEG-2).
  if (width > int(MAX_CODED_WIDTH) || height > int(MAX_CODED_HEIGHT)) {
    index_problem = std::to_string(width) + " x " + std::to_string(height);
    return INDEX_TOO_LARGE;
  }
  if (!ByteOffsets()) return INDEX_OK;  // Matroska and MP4 positions are times
  u64 total = 0;
  for (const InputFile& f : files) total = f.size > UINT64_MAX - total ? UINT64_MAX : total + f.size;
  auto beyond = [&](const char* what, u64 position) {
    index_problem = std::string("a ") + what + " position (" + std::to_string(position) +
                    ") lies beyond the end of the input (" + std::to_string(total) + " bytes)";
    return INDEX_STALE;
  };
  for (size_t g = 0; g < groups.size(); ++g) {
    if (groups[g].position >= total) return beyond("group", groups[g].position);
    if (groups[g].sequence_apart && groups[g].sequence_position >= groups[g].position) {
      index_problem = "the sequence header of the group at " + std::to_string(groups[g].position) +
                      " lies at " + std::to_string(groups[g].sequence_position) + ", not before it";
      return INDEX_STALE;
    }
    if (g > 0 && groups[g].position <= groups[g - 1].position) {
      index_problem = "group positions are out of stream order (" + std::to_string(groups[g - 1].position) +
                      ", then " + std::to_string(groups[g].position) + ")";
      return INDEX_STALE;
    }
  }
  for (u64 p : sps_list)
    if (p >= total) return beyond("parameter set", p);
  for (u64 p : pps_list)
    if (p >= total) return beyond("parameter set", p);
  return INDEX_OK;
}
