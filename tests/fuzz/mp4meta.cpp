// Opens the input over an in-memory Virtual_IO table and reads every
// metadata item (by index and through each getter) and both chapter lists;
// then edits the items in memory (set, overwrite, delete) and reads them
// again. Every text handed out must be terminated and every buffer as long
// as its size says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mp4.h"
#include "mp4test.h"

namespace {

using mp4test::Touch;

// Texts handed out here are the caller's.
void Text(char* s) {
  mp4test::Text(s);
  free(s);
}

void Chapters(MP4FileHandle h, bool textTrack) {
  MP4ChapterStruct* list = nullptr;
  uint32_t count = 0;
  MP4GetChaptersList(h, &list, &count, textTrack);
  for (uint32_t i = 0; i < count; i++) {
    if (!memchr(list[i].title, 0, sizeof list[i].title)) abort();
    mp4test::g_sink = mp4test::g_sink + list[i].duration + strlen(list[i].title);
  }
  if (!list && count) abort();
  free(list);
}

void ReadAll(MP4FileHandle h) {
  for (uint32_t i = 0; i < 64; i++) {
    char* name = nullptr;
    uint8_t* value = nullptr;
    uint32_t size = 0;
    if (!MP4GetMetadataByIndex(h, i, &name, &value, &size)) break;
    Text(name);
    Touch(value, size);
    free(value);
  }
  bool (*const texts[])(MP4FileHandle, char**) = {
      MP4GetMetadataName,    MP4GetMetadataWriter, MP4GetMetadataAlbum,    MP4GetMetadataArtist,
      MP4GetMetadataTool,    MP4GetMetadataComment, MP4GetMetadataYear,    MP4GetMetadataGrouping,
      MP4GetMetadataAlbumArtist, MP4GetMetadataGenre};
  for (auto get : texts) {
    char* text = nullptr;
    if (get(h, &text)) Text(text);
  }
  uint16_t a = 0, b = 0;
  MP4GetMetadataTrack(h, &a, &b);
  MP4GetMetadataDisk(h, &a, &b);
  MP4GetMetadataTempo(h, &a);
  uint8_t flag = 0;
  MP4GetMetadataCompilation(h, &flag);
  MP4GetMetadataPartOfGaplessAlbum(h, &flag);
  const uint32_t covers = MP4GetMetadataCoverArtCount(h);
  for (uint32_t i = 0; i <= covers && i < 8; i++) {
    uint8_t* art = nullptr;
    uint32_t size = 0;
    if (MP4GetMetadataCoverArt(h, &art, &size, i)) Touch(art, size);
    free(art);
  }
  uint8_t* value = nullptr;
  uint32_t size = 0;
  if (MP4GetMetadataFreeForm(h, "iTunSMPB", &value, &size, nullptr)) Touch(value, size);
  free(value);
  Chapters(h, false);
  Chapters(h, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mp4test::MemFile mem;
  Virtual_IO io;
  MP4FileHandle h = mp4test::ReadInMemory(mem, io, data, size, "/nonexistent-mp4meta/fuzz.mp4");
  if (!h) return 0;
  ReadAll(h);
  // Edits of the tree in memory: the file was opened for reading and is
  // never written.
  static const uint8_t png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  MP4SetMetadataName(h, "name");
  MP4SetMetadataTrack(h, 1, 2);
  MP4SetMetadataGenre(h, "Rock");
  MP4SetMetadataGenre(h, "Other genre");
  MP4SetMetadataCoverArt(h, png, sizeof png);
  MP4SetMetadataFreeForm(h, "iTunSMPB", png, sizeof png, nullptr);
  MP4SetMetadataFreeForm(h, "iTunSMPB", png, 4, "owner");
  MP4AddChapter(h, 0, "one");
  MP4AddChapter(h, 10000000, nullptr);
  ReadAll(h);
  MP4DeleteMetadataFreeForm(h, "iTunSMPB", nullptr);
  MP4DeleteMetadataGenre(h);
  MP4DeleteChapters(h, 0, false);
  MP4MetadataDelete(h);
  ReadAll(h);
  MP4Close(h);
  return 0;
}
