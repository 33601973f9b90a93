// Blu-ray playlists: the play items of a title (its clips in play order, with
// the chosen angle), the chapters file from the playlist marks, the clip
// information check, and the facts that the disc listing prints.
#include "mpls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "decode.h"

namespace {

constexpr u64 TICKS_PER_SECOND = 45000;
constexpr u64 TICKS_PER_MS = TICKS_PER_SECOND / 1000;
// Playlists of real discs stay far below this; anything larger is not one.
constexpr size_t MAX_PLAYLIST_BYTES = 16u << 20;
// PlayItem fields up to and including the still settings, after the length field.
constexpr unsigned ITEM_FIXED = 32;
// Per angle after the first: clip name (5), codec identifier (4), ref_to_STC_id (1).
constexpr unsigned ANGLE_ENTRY = 5 + 4 + 1;
// A PlayListMark: reserved, mark_type, ref_to_PlayItem_id, mark_time_stamp, entry_ES_PID, duration.
constexpr unsigned MARK_SIZE = 1 + 1 + 2 + 4 + 2 + 4;

// Big-endian reads at offsets that the caller has checked against the size;
// a read past the end still yields 0 rather than touching memory beyond it.
class Bytes {
 public:
  Bytes(const unsigned char* data, size_t size) : data_(data), size_(size) {}
  unsigned u8(size_t at) const { return at < size_ ? data_[at] : 0; }
  unsigned u16(size_t at) const { return (u8(at) << 8) | u8(at + 1); }
  u32 u32at(size_t at) const { return (u32(u16(at)) << 16) | u16(at + 2); }

 private:
  const unsigned char* data_;
  size_t size_;
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char text[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  return text;
}

// A clip name becomes part of a file name and of the index file's input
// list, so it may hold neither a folder separator nor anything unprintable.
bool read_clip_name(const Bytes& b, size_t at, std::string* name, std::string* error, const char* what) {
  name->clear();
  for (size_t i = 0; i < 5; i++) {
    unsigned c = b.u8(at + i);
    if (c <= 0x20 || c >= 0x7F || c == '/') {
      *error = format("%s: its clip name holds the byte 0x%02X", what, c);
      return false;
    }
    *name += static_cast<char>(c);
  }
  return true;
}

// The folder beside the one that holds `file`: for /d/BDMV/PLAYLIST/x.mpls
// and "STREAM" it is /d/BDMV/STREAM/.
std::string sibling_folder(const std::string& file, const char* folder) {
  size_t slash = file.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : file.substr(0, slash);
  size_t up = dir.rfind('/');
  return (up == std::string::npos ? std::string() : dir.substr(0, up + 1)) + folder + "/";
}

// Opens a file of the disc for reading: the descriptor, -1 when it cannot be
// opened (errno tells why), or -2 after a message when it is no regular
// file. Not blocking: a pipe without a writer in place of a playlist, clip
// or clip information file must not hold the run, and anything but a
// regular file is refused, as the inputs given by name are.
int open_regular(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    printf("ERROR: %s is not a regular file.\n", path.c_str());
    return -2;
  }
  return fd;
}

// Reads at most limit bytes of an open file; false on a read error.
bool read_all(int fd, size_t limit, std::vector<unsigned char>* bytes) {
  bytes->clear();
  unsigned char block[65536];
  while (bytes->size() < limit) {
    ssize_t r = read(fd, block, sizeof block);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    bytes->insert(bytes->end(), block, block + r);
  }
  return true;
}

// Opens, reads and checks a playlist; prints why when it cannot.
bool open_playlist(const char* name, Mpls* playlist) {
  int fd = open_regular(name);
  if (fd == -2) return false;
  if (fd < 0) {
    printf("Could not open the MPLS file.\n");
    return false;
  }
  std::vector<unsigned char> bytes;
  const bool read_ok = read_all(fd, MAX_PLAYLIST_BYTES + 1, &bytes);
  close(fd);
  if (!read_ok) {
    printf("Could not open the MPLS file.\n");
    return false;
  }
  if (bytes.size() < 4 || memcmp(bytes.data(), "MPLS", 4) != 0) {
    printf("Not an MPLS file!\n");
    return false;
  }
  std::string error;
  if (bytes.size() > MAX_PLAYLIST_BYTES)
    error = format("larger than %zu bytes", MAX_PLAYLIST_BYTES);
  else if (ParseMPLS(bytes.data(), bytes.size(), playlist, &error))
    return true;
  printf("Malformed MPLS file %s: %s.\n", name, error.c_str());
  return false;
}

// Replaces the input list by the clips; 0, or 1 after a message.
int load_clips(const std::string& playlist_name, const std::vector<std::string>& clips) {
  if (clips.empty()) {
    printf("The playlist %s has no play items.\n", playlist_name.c_str());
    return 1;
  }
  if (clips.size() > static_cast<size_t>(MAX_FILES)) {
    printf("The playlist %s has %zu play items; at most %d can be indexed.\n", playlist_name.c_str(), clips.size(),
           MAX_FILES);
    return 1;
  }
  for (int i = 0; i < NumLoadedFiles && i < MAX_FILES; i++) {
    if (Infile[i] >= 0) close(Infile[i]);
    Infile[i] = -1;
  }
  NumLoadedFiles = 0;
  const std::string stream = sibling_folder(playlist_name, "STREAM");
  for (const std::string& clip : clips) {
    const std::string path = stream + clip + ".m2ts";
    if (path.size() >= static_cast<size_t>(MAX_FILE_NAME)) {
      printf("ERROR: file name too long (at most %d bytes): %s\n", MAX_FILE_NAME - 1, path.c_str());
      return 1;
    }
    memcpy(Infilename[NumLoadedFiles], path.c_str(), path.size() + 1);
    const int fd = open_regular(path);
    if (fd == -2) return 1;
    if (fd < 0) {
      // Indexing without it would give a title with a hole that looks complete.
      printf("ERROR: cannot open the input file %s: %s\n", path.c_str(), strerror(errno));
      return 1;
    }
    Infile[NumLoadedFiles++] = fd;
  }
  return 0;
}

int write_chapters(const Mpls& playlist) {
  std::string name = output_file;
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  name += ".chapters.txt";
  FILE* f = fopen(name.c_str(), "w");
  if (!f) {
    printf("Could not open chapters file for writing.\n");
    return 1;
  }
  const std::string text = MplsChapters(playlist);
  bool bad = fwrite(text.data(), 1, text.size(), f) != text.size();
  bad = fclose(f) != 0 || bad;
  if (bad) {
    printf("Could not write the chapters file %s.\n", name.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

bool ParseMPLS(const unsigned char* data, size_t size, Mpls* out, std::string* error) {
  const Bytes b(data, size);
  Mpls pl;
  // Header: "MPLS", version (4), PlayList_start_address, PlayListMark_start_address.
  if (size < 16 || memcmp(data, "MPLS", 4) != 0) {
    *error = size < 16 ? format("the header is cut short at %zu bytes", size) : "no MPLS magic";
    return false;
  }
  const u32 list = b.u32at(8), marks = b.u32at(12);

  // PlayList: length, reserved (2), number_of_PlayItems, number_of_SubPaths, PlayItems.
  if (list > size || size - list < 4 + 6) {
    *error = format("PlayList_start_address %u lies beyond the end of the file (%zu bytes)", list, size);
    return false;
  }
  const u32 list_length = b.u32at(list);
  if (list_length < 6 || list_length > size - list - 4) {
    *error = format("PlayList length %u does not fit between %u and the end of the file (%zu bytes)", list_length,
                    list, size);
    return false;
  }
  const size_t list_end = size_t(list) + 4 + list_length;
  const unsigned item_count = b.u16(list + 6);
  size_t p = size_t(list) + 10;
  u64 title_time = 0;
  for (unsigned i = 0; i < item_count; i++) {
    const std::string what = format("play item %u of %u", i, item_count);
    if (list_end - p < 2) {
      *error = what + " starts past the end of the PlayList";
      return false;
    }
    const unsigned length = b.u16(p);
    if (length > list_end - p - 2 || length < ITEM_FIXED) {
      *error = what + format(": length %u runs past the end of the PlayList or leaves out its fixed fields", length);
      return false;
    }
    const size_t item_end = p + 2 + length;
    MplsItem item;
    // 2 Clip_Information_file_name, 7 Clip_codec_identifier, 11 reserved and
    // is_multi_angle (bit 4 of 12) and connection_condition, 13 ref_to_STC_id,
    // 14 IN_time, 18 OUT_time, 22 UO mask and still settings (12 bytes).
    if (!read_clip_name(b, p + 2, &item.clip, error, what.c_str())) return false;
    item.in_time = b.u32at(p + 14);
    item.out_time = b.u32at(p + 18);
    if (item.out_time < item.in_time) {
      *error = what + format(": OUT_time %u lies before IN_time %u", item.out_time, item.in_time);
      return false;
    }
    if (b.u8(p + 12) & 0x10) {
      // 34 number_of_angles, 35 is_different_audios / is_seamless_angle_change,
      // then one entry per angle after the first.
      const unsigned angles = length >= ITEM_FIXED + 2 ? b.u8(p + 34) : 0;
      if (angles == 0 || size_t(angles - 1) * ANGLE_ENTRY > item_end - std::min(item_end, p + 36)) {
        *error = what + format(": %u angles do not fit its length %u", angles, length);
        return false;
      }
      item.angles = angles;
      for (unsigned k = 1; k < angles; k++) {
        std::string clip;
        const std::string angle = what + format(", angle %u", k + 1);
        if (!read_clip_name(b, p + 36 + size_t(k - 1) * ANGLE_ENTRY, &clip, error, angle.c_str())) return false;
        item.angle_clips.push_back(clip);
      }
    }
    item.start = title_time;
    title_time += item.out_time - item.in_time;
    pl.items.push_back(std::move(item));
    p = item_end;
  }

  // PlayListMark: length, number_of_PlayList_marks, marks.
  if (marks > size || size - marks < 4 + 2) {
    *error = format("PlayListMark_start_address %u lies beyond the end of the file (%zu bytes)", marks, size);
    return false;
  }
  const u32 marks_length = b.u32at(marks);
  const unsigned mark_count = b.u16(marks + 4);
  if (marks_length > size - marks - 4 || marks_length < 2 || u64(mark_count) * MARK_SIZE > marks_length - 2) {
    *error = format("%u marks do not fit the PlayListMark length %u at %u (the file has %zu bytes)", mark_count,
                    marks_length, marks, size);
    return false;
  }
  for (unsigned j = 0; j < mark_count; j++) {
    const size_t q = size_t(marks) + 6 + size_t(j) * MARK_SIZE;
    MplsMark m;
    m.type = b.u8(q + 1);
    m.item = b.u16(q + 2);
    m.time = b.u32at(q + 4);
    if (m.item >= pl.items.size()) {
      *error = format("mark %u refers to play item %u of %zu", j, m.item, pl.items.size());
      return false;
    }
    pl.marks.push_back(m);
  }
  *out = std::move(pl);
  return true;
}

std::vector<std::string> MplsClips(const Mpls& playlist, int* angle) {
  std::vector<std::string> clips;
  for (const MplsItem& item : playlist.items) {
    if (item.angles != 0 && (*angle < 0 || static_cast<u32>(*angle) > item.angles)) *angle = 0;
    // Angles 0 and 1 are the main path; angle k >= 2 <= angles has entry k - 2.
    if (item.angles != 0 && *angle >= 2) clips.push_back(item.angle_clips[static_cast<size_t>(*angle - 2)]);
    else clips.push_back(item.clip);
  }
  return clips;
}

std::string MplsChapters(const Mpls& playlist) {
  std::string text;
  int number = 0;
  for (const MplsMark& m : playlist.marks) {
    if (m.type != 1) continue;
    number++;
    const MplsItem& item = playlist.items[m.item];
    // A mark before its item's IN_time lies before the item on the title's
    // time line; before the title's start it is taken as the start.
    i64 ticks = static_cast<i64>(item.start) + static_cast<i64>(m.time) - static_cast<i64>(item.in_time);
    if (ticks < 0) ticks = 0;
    // Rounded to whole milliseconds before it is split, so that a time just
    // short of a minute is written 01:00.000, not 00:60.000.
    const u64 ms = (static_cast<u64>(ticks) + TICKS_PER_MS / 2) / TICKS_PER_MS;
    char line[96];
    snprintf(line, sizeof line, "CHAPTER%02d=%02d:%02d:%06.3f\nCHAPTER%02dNAME=\n", number,
             static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
             static_cast<double>(ms % 60000) / 1000.0, number);
    text += line;
  }
  return text;
}

bool IsCLPI(const unsigned char* data, size_t size) { return size >= 4 && memcmp(data, "HDMV", 4) == 0; }

int ProcessCLPI() {
  if (NumLoadedFiles <= 0) return 0;
  const std::string clip = Infilename[0];
  const size_t slash = clip.rfind('/');
  std::string base = slash == std::string::npos ? clip : clip.substr(slash + 1);
  base.erase(base.size() >= 5 ? base.size() - 5 : 0);  // ".m2ts"
  const std::string path = sibling_folder(clip, "CLIPINF") + base + ".clpi";
  int fd = open_regular(path);
  if (fd == -2) return 1;
  if (fd < 0) {
    printf("Could not open the CLPI file [%s]\n.", path.c_str());
    return 0;
  }
  unsigned char magic[4];
  ssize_t got = read(fd, magic, sizeof magic);
  close(fd);
  if (!IsCLPI(magic, got > 0 ? static_cast<size_t>(got) : 0)) printf("Not a CLPI file!\n");
  return 0;
}

int ProcessMPLS(const char* name, u32 pass) {
  // A copy: the name may be an input name that pass 0 replaces.
  const std::string playlist_name = name;
  Mpls playlist;
  if (!open_playlist(playlist_name.c_str(), &playlist)) return 1;
  if (pass == 1) {
    const int r = write_chapters(playlist);
    return ProcessCLPI() != 0 ? 1 : r;
  }
  if (int r = load_clips(playlist_name, MplsClips(playlist, &desired_angle))) return r;
  MPEG2_Transport_VideoPID = 2;
  Recovery();
  if (ProcessCLPI() != 0) return 1;
  return Open();
}

int GetPlayTime(const char* name, u32* seconds, u32* angles) {
  Mpls playlist;
  if (!open_playlist(name, &playlist)) return 1;
  u64 ticks = 0;
  u32 most_angles = 0;
  for (size_t i = 0; i < playlist.items.size(); i++) {
    const MplsItem& item = playlist.items[i];
    // A clip played twice in a row is a branching construct, not a title.
    if (i > 0 && item.clip == playlist.items[i - 1].clip) return 1;
    ticks += item.out_time - item.in_time;
    if (item.angles > most_angles) most_angles = item.angles;
  }
  const u64 whole = ticks / TICKS_PER_SECOND;
  if (whole > 0xFFFFFFFFu) {
    printf("Malformed MPLS file %s: a playing time of %llu seconds.\n", name, static_cast<unsigned long long>(whole));
    return 1;
  }
  *seconds = static_cast<u32>(whole);
  *angles = most_angles;
  return 0;
}

int GetChapterCount(const char* name) {
  Mpls playlist;
  if (!open_playlist(name, &playlist)) return -1;
  return static_cast<int>(playlist.marks.size());
}
