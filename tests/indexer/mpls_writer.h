// Test-side writer of Blu-ray playlists and clip information files, laid out
// as authoring tools lay them out (header, AppInfoPlayList, PlayList with
// PlayItems that carry an empty STN_table, PlayListMark). It shares nothing
// with Ostrel's reader; the offsets it returns let tests damage one field.
// Big-endian throughout, times in 45 kHz ticks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mplsw {

constexpr uint32_t kTicks = 45000;  // per second

struct Item {
  std::string clip;                  // 5 characters
  uint32_t in = 0, out = 0;
  std::vector<std::string> angles;   // clips of angles 2, 3 ...; not empty = multi-angle item
};
struct Mark {
  uint8_t type;                      // 1 entry mark, 2 link point
  uint16_t item;                     // ref_to_PlayItem_id
  uint32_t time;                     // mark_time_stamp
};
struct Image {
  std::vector<uint8_t> bytes;
  size_t list = 0, marks = 0;        // offsets of the PlayList's and PlayListMark's length fields
  std::vector<size_t> items;         // ... and of each PlayItem's
};

inline void put(std::vector<uint8_t>& b, size_t at, uint32_t v, int n) {
  for (int i = 0; i < n; i++) b[at + i] = static_cast<uint8_t>(v >> (8 * (n - 1 - i)));
}
inline void add(std::vector<uint8_t>& b, uint32_t v, int n) {
  b.resize(b.size() + n);
  put(b, b.size() - n, v, n);
}
inline void add(std::vector<uint8_t>& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
inline void zeros(std::vector<uint8_t>& b, size_t n) { b.resize(b.size() + n, 0); }

inline Image playlist(const std::vector<Item>& items, const std::vector<Mark>& marks) {
  Image img;
  std::vector<uint8_t>& b = img.bytes;
  add(b, "MPLS0200");
  zeros(b, 32);                              // PlayList, PlayListMark, ExtensionData (none) addresses, reserved
  add(b, 14, 4);                             // AppInfoPlayList: 14 bytes, all 0
  zeros(b, 14);
  put(b, 8, static_cast<uint32_t>(img.list = b.size()), 4);
  zeros(b, 6);                               // length (below), reserved
  add(b, static_cast<uint32_t>(items.size()), 2);
  add(b, 0, 2);                              // number_of_SubPaths
  for (const Item& it : items) {
    const size_t at = b.size();
    img.items.push_back(at);
    zeros(b, 2);                             // length (below)
    add(b, it.clip);
    add(b, "M2TS");
    add(b, it.angles.empty() ? 0x0001 : 0x0011, 2);  // is_multi_angle (bit 4), connection_condition 1
    add(b, 0, 1);                            // ref_to_STC_id
    add(b, it.in, 4);
    add(b, it.out, 4);
    zeros(b, 12);                            // UO mask, random access flag, still mode and time
    if (!it.angles.empty()) {
      add(b, static_cast<uint32_t>(it.angles.size() + 1), 1);  // number_of_angles
      add(b, 0, 1);                          // is_different_audios, is_seamless_angle_change
      for (const std::string& a : it.angles) {
        add(b, a + "M2TS");
        add(b, 0, 1);                        // ref_to_STC_id
      }
    }
    add(b, 14, 2);                           // STN_table without streams
    zeros(b, 14);
    put(b, at, static_cast<uint32_t>(b.size() - at - 2), 2);
  }
  put(b, img.list, static_cast<uint32_t>(b.size() - img.list - 4), 4);
  put(b, 12, static_cast<uint32_t>(img.marks = b.size()), 4);
  add(b, static_cast<uint32_t>(2 + 14 * marks.size()), 4);
  add(b, static_cast<uint32_t>(marks.size()), 2);
  for (const Mark& m : marks) {
    add(b, m.type, 2);                       // reserved, mark_type
    add(b, m.item, 2);
    add(b, m.time, 4);
    add(b, 0xFFFF, 2);                       // entry_ES_PID
    add(b, 0, 4);                            // duration
  }
  return img;
}

// A clip information file: "HDMV0200" and empty tables.
inline std::vector<uint8_t> clip_info() {
  std::vector<uint8_t> b;
  add(b, "HDMV0200");
  zeros(b, 36);
  return b;
}

// An item of `seconds` (whole milliseconds) from IN time `in`.
inline Item item(const std::string& clip, double seconds, uint32_t in = 0, std::vector<std::string> angles = {}) {
  return Item{clip, in, in + static_cast<uint32_t>(seconds * 1000 + 0.5) * (kTicks / 1000), std::move(angles)};
}

}  // namespace mplsw
