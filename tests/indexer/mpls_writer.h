// Test-side writer of Blu-ray playlists (.mpls) and clip information files
// (.clpi), laid out as authoring tools lay them out: header, AppInfoPlayList,
// PlayList with its PlayItems (each with an empty STN_table), PlayListMark.
// It shares nothing with Ostrel's reader; the offsets it returns let tests
// damage single fields. Big-endian throughout, times in 45 kHz ticks.
#pragma once

#include <cstddef>
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
  size_t list = 0;                   // PlayList (its length field)
  std::vector<size_t> items;         // each PlayItem (its length field)
  size_t marks = 0;                  // PlayListMark (its length field)
};

inline void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  put16(b, at, v >> 16);
  put16(b, at + 2, v);
}
inline void add(std::vector<uint8_t>& b, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; i--) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void add(std::vector<uint8_t>& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

inline Image playlist(const std::vector<Item>& items, const std::vector<Mark>& marks) {
  Image img;
  std::vector<uint8_t>& b = img.bytes;
  add(b, "MPLS0200");
  add(b, 0, 4);                              // PlayList_start_address, filled below
  add(b, 0, 4);                              // PlayListMark_start_address
  add(b, 0, 4);                              // ExtensionData_start_address: none
  b.resize(40, 0);                           // reserved
  add(b, 14, 4);                             // AppInfoPlayList: length, then 14 bytes
  b.resize(b.size() + 14, 0);                //   playback type, UO mask ... all 0

  img.list = b.size();
  put32(b, 8, static_cast<uint32_t>(img.list));
  add(b, 0, 4);                              // length, filled below
  add(b, 0, 2);                              // reserved
  add(b, static_cast<uint32_t>(items.size()), 2);
  add(b, 0, 2);                              // number_of_SubPaths
  for (const Item& it : items) {
    const size_t at = b.size();
    img.items.push_back(at);
    add(b, 0, 2);                            // length, filled below
    add(b, it.clip);
    add(b, "M2TS");
    add(b, it.angles.empty() ? 0x0001 : 0x0011, 2);  // is_multi_angle (bit 4), connection_condition 1
    add(b, 0, 1);                            // ref_to_STC_id
    add(b, it.in, 4);
    add(b, it.out, 4);
    add(b, 0, 4);                            // UO_mask_table (8 bytes)
    add(b, 0, 4);
    add(b, 0, 1);                            // PlayItem_random_access_flag
    add(b, 0, 1);                            // still_mode
    add(b, 0, 2);                            // still_time
    if (!it.angles.empty()) {
      add(b, static_cast<uint32_t>(it.angles.size() + 1), 1);  // number_of_angles
      add(b, 0, 1);                          // is_different_audios, is_seamless_angle_change
      for (const std::string& a : it.angles) {
        add(b, a);
        add(b, "M2TS");
        add(b, 0, 1);                        // ref_to_STC_id
      }
    }
    add(b, 14, 2);                           // STN_table: length, then 14 bytes
    b.resize(b.size() + 14, 0);              //   no streams
    put16(b, at, static_cast<uint32_t>(b.size() - at - 2));
  }
  put32(b, img.list, static_cast<uint32_t>(b.size() - img.list - 4));

  img.marks = b.size();
  put32(b, 12, static_cast<uint32_t>(img.marks));
  add(b, static_cast<uint32_t>(2 + 14 * marks.size()), 4);
  add(b, static_cast<uint32_t>(marks.size()), 2);
  for (const Mark& m : marks) {
    add(b, 0, 1);                            // reserved
    add(b, m.type, 1);
    add(b, m.item, 2);
    add(b, m.time, 4);
    add(b, 0xFFFF, 2);                       // entry_ES_PID
    add(b, 0, 4);                            // duration
  }
  return img;
}

// A clip information file: "HDMV0200" and its five start addresses, the
// tables themselves left empty.
inline std::vector<uint8_t> clip_info() {
  std::vector<uint8_t> b;
  add(b, "HDMV0200");
  for (int i = 0; i < 5; i++) add(b, 40, 4);
  b.resize(40, 0);
  add(b, 0, 4);
  return b;
}

// An item of `seconds` (whole milliseconds) starting at IN time `in`.
inline Item item(const std::string& clip, double seconds, uint32_t in = 0, std::vector<std::string> angles = {}) {
  return Item{clip, in, in + static_cast<uint32_t>(seconds * 1000 + 0.5) * (kTicks / 1000), std::move(angles)};
}

}  // namespace mplsw
