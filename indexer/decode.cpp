// Input files as one byte stream, the shared read buffer, and container
// detection.
#include "decode.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Matroska.h"
#include "mpls.h"
#include "pat.h"

// Reads up to n bytes; a short count means the file has ended. A read error
// is fatal: carrying on would silently drop the rest of the input.
static u32 read_block(int fd, unsigned char* dst, u32 n) {
  u32 got = 0;
  while (got < n) {
    ssize_t r = read(fd, dst + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      printf("I/O error while reading the input: %s\n", strerror(errno));
      fflush(stdout);
      exit(1);
    }
    if (r == 0) break;
    got += static_cast<u32>(r);
  }
  return got;
}

static u64 file_offset(int fd) {
  off_t o = lseek(fd, 0, SEEK_CUR);
  return o < 0 ? 0 : static_cast<u64>(o);
}

int files_before_file = -1;
u64 files_before_sum;

u64 FilesBeforeCompute(int file) {
  u64 sum = 0;
  for (int i = 0; i < file && i < NumLoadedFiles; i++) sum += Infilelength[i];
  files_before_file = file;
  files_before_sum = sum;
  return sum;
}

void Recovery() {
  files_before_file = -1;
  if (NumLoadedFiles != 0) {
    Infiletotal = 0;
    for (int i = 0; i < NumLoadedFiles; i++) {
      int fd = open(Infilename[i], O_RDONLY);
      if (fd >= 0) {
        off_t end = lseek(fd, 0, SEEK_END);
        if (end >= 0) Infilelength[i] = static_cast<u64>(end);
        close(fd);
      }
      Infiletotal += Infilelength[i];
    }
    CurrentFile = 0;
  }
  process.start_byte = 0;
  process.end_byte = Infiletotal - 1;
  process.start_time = 0;
  process.end_time = ~0ULL;
  SystemStream_Flag = 0;
}

void PosToFileAndOffset(u64 position, int* file, u64* offset) {
  if (NumLoadedFiles <= 0 || position <= Infilelength[0]) {
    *file = 0;
    *offset = position;
    return;
  }
  u64 before = Infilelength[0];
  for (int i = 1; i < NumLoadedFiles; i++) {
    u64 through = before + Infilelength[i];
    if (through >= position) {
      *file = i;
      *offset = position - before;
      return;
    }
    before = through;
  }
  // Past the end of the input: the end of the last file.
  *file = NumLoadedFiles - 1;
  *offset = Infilelength[NumLoadedFiles - 1];
}

void InitializeBuffer(int descriptor, u64 offset) {
  lseek(descriptor, static_cast<off_t>(offset), SEEK_SET);
  Read = read_block(descriptor, Buffer, READ_BLOCK);
  Rdptr = Buffer;
  payload_bytes = 0;
  Buffer_Physical = file_offset(Infile[CurrentFile]) - Read;
}

void SeekStream(u64 position) {
  int file;
  u64 offset;
  PosToFileAndOffset(position, &file, &offset);
  CurrentFile = file;
  InitializeBuffer(Infile[file], offset);
  Rdmax = Buffer;
  first_payload = Buffer;
}


int NextFile() {
  // Empty files in the middle of the list carry no bytes; they are passed
  // over rather than taken for the end of the input.
  while (CurrentFile + 1 < NumLoadedFiles) {
    CurrentFile++;
    lseek(Infile[CurrentFile], 0, SEEK_SET);
    Read = read_block(Infile[CurrentFile], Buffer, READ_BLOCK);
    if (Read != 0) return 0;
  }
  return -1;
}

int RefillBuffer() {
  if (SystemStream_Flag == 2) return NextMKVBuffer();
  if (SystemStream_Flag == 4) return -1;  // no MP4 adapter in this build
  // The bytes consumed from the old buffer; pointers into it move back by as
  // much so that they keep naming the same stream bytes, also after a short
  // read at the end of a file.
  const u32 consumed = Read;
  if (Read < READ_BLOCK) {
    if (NextFile() < 0) return -1;
  } else {
    Read = read_block(Infile[CurrentFile], Buffer, READ_BLOCK);
    if (Read == 0 && NextFile() < 0) return -1;
  }
  Rdptr = Buffer;
  first_payload -= consumed;
  Buffer_Physical = file_offset(Infile[CurrentFile]) - Read;
  if (SystemStream_Flag == 3 && Rdmax >= Buffer + consumed) Rdmax -= consumed;
  return 0;
}

// ------------------------------------------------------------------ detection

static unsigned char open_buf[204800];

static bool ends_with_nocase(const char* s, const char* tail) {
  size_t n = strlen(s), m = strlen(tail);
  return n >= m && strncasecmp(s + n - m, tail, m) == 0;
}

// Transport stream: five sync bytes at a fixed spacing in the first block
// that holds data.
static bool detect_ts() {
  int fd = open(Infilename[0], O_RDONLY);
  if (fd < 0) return false;
  u32 got = 0;
  for (;;) {
    got = read_block(fd, open_buf, 4096);
    if (got == 0) break;
    bool data = false;
    for (u32 i = 0; i < got && !data; i++) data = open_buf[i] != 0;
    if (data) break;
  }
  close(fd);
  if (got == 0) return false;
  int sizes[3] = {188, 192, 204};
  if (got > 4 && open_buf[4] == 0x47) {
    sizes[0] = 192;
    sizes[1] = 188;
  }
  for (int n : sizes) {
    for (u32 k = 0; k + 4u * n < got; k++) {
      bool ok = true;
      for (int j = 0; j < 5 && ok; j++) ok = open_buf[k + j * n] == 0x47;
      if (!ok) continue;
      SystemStream_Flag = 1;
      TransportPacketSize = n;
      pat_parser.DoInitialPids(Infilename[0]);
      CurrentFile = 0;
      InitializeBuffer(Infile[0], 0);
      return true;
    }
  }
  return false;
}

static int pack_type_of_version(unsigned char b) {
  if ((b & 0xF0) == 0x20) return 5;
  if ((b & 0xC0) == 0x40) return 6;
  return 0;
}

// Program stream: a pack start with its marker bits in the first 8 KiB
// after any leading zeros.
static void detect_ps() {
  int fd = open(Infilename[0], O_RDONLY);
  if (fd < 0) return;
  u32 got = read_block(fd, open_buf, sizeof open_buf);
  close(fd);
  u32 p = 0;
  if (got >= 4 && open_buf[0] == 0 && open_buf[1] == 0 && open_buf[2] == 0 && open_buf[3] == 0) {
    u32 nz = 0;
    while (nz < got && open_buf[nz] == 0) nz++;
    p = nz >= 3 ? nz - 3 : 0;
  }
  u32 end = p + 8192 < got ? p + 8192 : got;
  bool candidate = false;
  int candidate_type = 0;
  for (u32 i = p; i + 13 <= end; i++) {
    if (open_buf[i] != 0 || open_buf[i + 1] != 0 || open_buf[i + 2] != 1 || open_buf[i + 3] != 0xBA) continue;
    const unsigned char* h = open_buf + i;
    unsigned char b = h[4];
    int found = -1;
    if ((b & 0xF0) == 0x20) {
      if ((b & 1) && (h[6] & 1) && (h[8] & 1) && (h[9] & 0x80) && (h[11] & 1)) found = 5;
    } else if ((b & 0xC0) != 0x40) {
      found = 0;
    } else {
      if ((b & 4) && (h[6] & 4) && (h[8] & 4) && (h[9] & 1) && (h[12] & 3)) found = 6;
    }
    if (found >= 0) {
      SystemStream_Flag = 3;
      program_stream_type = found;
      CurrentFile = 0;
      InitializeBuffer(Infile[0], 0);
      return;
    }
    if (!candidate) {
      candidate = true;
      // The pack's version bits still tell its header layout; the readers
      // of both programs take the packet form from this value.
      candidate_type = pack_type_of_version(b);
    }
  }
  if (candidate) {
    SystemStream_Flag = 3;
    program_stream_type = candidate_type;
  }
}

int Open() {
  Frame_Rate = 0;
  sample_aspect_ratio = 0;
  coded_matrix_coefficients = coded_transfer_characteristics = coded_colour_primaries = 2;
  IsFirstByteStreamNALU = 1;
  program_stream_type = 0;

  if (ends_with_nocase(Infilename[0], "mpls")) {
    if (strlen(Infilename[0]) >= sizeof MPLS_Name) {
      printf("ERROR: file name too long (at most %zu bytes): %s\n", sizeof MPLS_Name - 1, Infilename[0]);
      return 1;
    }
    open_via_mpls = 1;
    desired_angle = -1;
    strcpy(MPLS_Name, Infilename[0]);
    return ProcessMPLS(MPLS_Name, 0);
  }

  int fd = open(Infilename[0], O_RDONLY);
  if (fd < 0) {
    printf("Could not open: %s. File name problem? Illegal characters in name?", Infilename[0]);
    return 1;
  }
  unsigned char head[64];
  u32 got = read_block(fd, head, 64);
  close(fd);
  if (got < 64) {
    printf("Not a video file (length < 64 bytes).\n");
    return 1;
  }
  char text[64];
  for (int i = 0; i < 63; i++) text[i] = head[i] ? static_cast<char>(head[i]) : 1;
  text[63] = 0;

  if (strstr(text, "ftyp")) {
    SystemStream_Flag = 4;
    printf("Could not parse the MP4 file.\n");
    return 1;
  }
  // Matroska by its DocType text, or by the EBML magic (a WebM file is then
  // refused by the Matroska reader with a reason rather than taken for an
  // elementary stream).
  const bool ebml = head[0] == 0x1A && head[1] == 0x45 && head[2] == 0xDF && head[3] == 0xA3;
  if (strstr(text, "matroska") || ebml) {
    SystemStream_Flag = 2;
    switch (InitMatroska()) {
      case 0:
        break;
      case 1:
        printf("Could not parse the Matroska file.\n");
        return 1;
      case 2:
        printf("Could not find a supported video track (need AVC/HEVC/MPEG2/VC1).\n");
        return 1;
      default:
        return 1;
    }
    if (NumLoadedFiles > 1) printf("Can open only one Matroska file at a time. Extras will be ignored.\n");
    NumLoadedFiles = 1;
    Infiletotal = Infilelength[0];
    return 0;
  }
  if (detect_ts()) return 0;
  detect_ps();
  return 0;
}
