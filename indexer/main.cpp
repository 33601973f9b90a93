// Ostrel: entry point and command line.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "decode.h"
#include "global.h"
#include "index.h"
#include "mpls.h"

namespace {

struct PlayItem {
  char name[MAX_PLAYLIST_NAME + 1];
  u32 seconds;
  u32 angles;
  u32 chapters;
};

void get_path(char* buffer) {
  char link[64];
  snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(getpid()));
  ssize_t n = readlink(link, buffer, 1024);
  buffer[n > 0 ? n : 0] = 0;
}

[[noreturn]] void usage_error() {
  printf("ERROR: -i/-mpls and -o options must be present\n");
  exit(1);
}

// The options, one line each, as the README's "Command line" section
// describes them.
void print_options() {
  printf("%s, a video stream indexer. Options:\n", Version);
  printf("  -i FILE...      input files, read back to back as one stream (a first one ending in mpls: a playlist)\n");
  printf("  -o INDEX        the index file to write; .kwi is appended unless present\n");
  printf("  -v PID          the video PID of a transport stream (hexadecimal)\n");
  printf("  -p PID          the PCR PID of a transport stream (hexadecimal)\n");
  printf("  -at TEMPLATE    a script template (full path); each __vid__ becomes the index file's name\n");
  printf("  -ang N          the angle of the playlist of an -mpls that follows\n");
  printf("  -mpls PLAYLIST  index a Blu-ray playlist, without a chapters file\n");
  printf("  -disk FOLDER    list the playlists of a Blu-ray disc folder, longest first\n");
  printf("  -version        print the version\n");
  printf("  -h, --help      print these options\n");
}

[[noreturn]] void missing_value(const char* option) {
  printf("ERROR: option %s needs a value\n", option);
  exit(1);
}

// Copies a name into a fixed name buffer, refusing what does not fit.
void store_name(char* dst, size_t size, const std::string& name) {
  if (name.size() >= size) {
    printf("ERROR: file name too long (at most %zu bytes): %s\n", size - 1, name.c_str());
    exit(1);
  }
  memcpy(dst, name.c_str(), name.size() + 1);
}

bool is_absolute(const std::string& s) { return (!s.empty() && s[0] == '/') || (s.size() > 1 && s[1] == ':'); }

std::string make_absolute(const std::string& name) {
  if (is_absolute(name)) return name;
  char cwd[MAX_FILE_NAME];
  if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
  std::string dir = cwd;
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir + name;
}

bool ends_with_nocase(const std::string& s, const char* tail) {
  size_t m = strlen(tail);
  return s.size() >= m && strncasecmp(s.c_str() + s.size() - m, tail, m) == 0;
}

// Values of "disk", "mpls" and "at" are taken whole: the shell has already
// split the command line, so a blank belongs to the name (disc folders are
// named after titles). Callers that quote for a command line read as one
// string may wrap the value in double quotes; those are removed.
std::string option_value(const char* s) {
  std::string v = s;
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  return v;
}

[[noreturn]] void disc_listing(std::string disc) {
  size_t cut = disc.find("/BDMV");
  if (cut != std::string::npos) disc.erase(cut);
  std::vector<PlayItem> items;
  std::string dir = disc + "/BDMV/PLAYLIST";
  DIR* d = opendir(dir.c_str());
  if (!d) {
    printf("ERROR: the disc folder %s holds no playlists (%s: %s).\n", disc.c_str(), dir.c_str(), strerror(errno));
    exit(1);
  }
  // Playlists that cannot be read, or that are no title, are left out; a
  // folder without any, or an entry that is no regular file (opening a pipe
  // would wait for a writer), fails the listing.
  int status = 0;
  bool any = false;
  while (dirent* e = readdir(d)) {
    if (!strstr(e->d_name, ".mpls")) continue;
    any = true;
    std::string full = dir + "/" + e->d_name;
    struct stat st;
    if (stat(full.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      printf("ERROR: %s is not a regular file.\n", full.c_str());
      status = 1;
      continue;
    }
    PlayItem it{};
    if (GetPlayTime(full.c_str(), &it.seconds, &it.angles) != 0) continue;
    if (items.size() >= static_cast<size_t>(MAX_PLAYLISTS)) {
      printf("Too many playlists; only the first %d are listed.\n", MAX_PLAYLISTS);
      break;
    }
    // Longer names are cut to the record's size.
    size_t n = strnlen(e->d_name, MAX_PLAYLIST_NAME);
    memcpy(it.name, e->d_name, n);
    it.name[n] = 0;
    const int chapters = GetChapterCount(full.c_str());
    if (chapters < 0) continue;
    it.chapters = static_cast<u32>(chapters);
    items.push_back(it);
  }
  closedir(d);
  if (!any) {
    printf("ERROR: the disc folder %s holds no playlists (%s has no .mpls file).\n", disc.c_str(), dir.c_str());
    status = 1;
  }
  // Longest first; equal times keep directory order.
  for (size_t i = 0; i + 1 < items.size(); i++)
    for (size_t j = 0; j + 1 < items.size() - i; j++)
      if (items[j].seconds < items[j + 1].seconds) std::swap(items[j], items[j + 1]);
  for (const PlayItem& it : items) {
    int h = static_cast<int>(it.seconds / 3600), m = static_cast<int>(it.seconds / 60 % 60),
        s = static_cast<int>(it.seconds % 60);
    if (it.angles != 0)
      printf("%s %02d:%02d:%02d [%d chapters] [%d angles]\n", it.name, h, m, s, static_cast<int>(it.chapters),
             static_cast<int>(it.angles));
    else
      printf("%s %02d:%02d:%02d [%d chapters]\n", it.name, h, m, s, static_cast<int>(it.chapters));
  }
  fflush(stdout);
  exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  get_path(ExePath);
  snprintf(Version, sizeof Version, "Ostrel %d.%d.%d.%d", 2053, 0, 0, 502);
  if (char* slash = strrchr(ExePath, '/')) slash[1] = 0;
  else ExePath[0] = 0;

  init_indexing();
  desired_angle = sarh = sarw = ar2 = ar1 = -1;
  static char names[MAX_FILES][MAX_FILE_NAME];
  for (int i = 0; i < MAX_FILES; i++) {
    Infilename[i] = names[i];
    Infile[i] = -1;
  }
  MPEG2_Transport_VideoPID = 2;
  MPEG2_Transport_PCRPID = 2;

  if (argc == 1) {
    printf("%s, a video stream indexer; free software without any warranty.\n", Version);
    printf("Refer to the section \"Command line\" of README.md, or run ostrel -h, for the options.\n");
    return 0;
  }
  if (argc < 1) usage_error();

  bool have_input = false, have_output = false;
  int i = 1;
  while (i < argc) {
    const char* opt = argv[i][0] ? argv[i] + 1 : argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) missing_value(argv[i]);
      return argv[i + 1];
    };
    if (!strcmp(opt, "v")) {
      unsigned pid = 0;
      if (sscanf(value(), "%x", &pid) != 1) pid = 0;
      MPEG2_Transport_VideoPID = pid;
      i += 2;
    } else if (!strcmp(opt, "p")) {
      unsigned pid = 0;
      if (sscanf(value(), "%x", &pid) != 1) pid = 0;
      MPEG2_Transport_PCRPID = pid;
      i += 2;
    } else if (!strncmp(opt, "ang", 3)) {
      int a = 0;
      if (sscanf(value(), "%d", &a) != 1) a = 0;
      desired_angle = a;
      i += 2;
    } else if (!strcmp(opt, "i")) {
      if (i + 1 >= argc) missing_value(argv[i]);
      NumLoadedFiles = 0;
      i++;
      do {
        if (NumLoadedFiles >= MAX_FILES) {
          printf("ERROR: too many input files (at most %d)\n", MAX_FILES);
          exit(1);
        }
        store_name(Infilename[NumLoadedFiles], MAX_FILE_NAME, make_absolute(argv[i]));
        // Not blocking: a pipe without a writer must not hold the run here
        // (inputs that are no regular file are refused when measured).
        Infile[NumLoadedFiles] = open(Infilename[NumLoadedFiles], O_RDONLY | O_NONBLOCK);
        if (Infile[NumLoadedFiles] < 0) {
          printf("ERROR: cannot open the input file %s: %s\n", Infilename[NumLoadedFiles], strerror(errno));
          exit(1);
        }
        NumLoadedFiles++;
        i++;
      } while (i < argc && argv[i][0] != '-');
      have_input = true;
    } else if (!strncmp(opt, "version", 7)) {
      printf("%s (64 bit)\n", Version);
      return 0;
    } else if (!strcmp(opt, "o")) {
      std::string name = value();
      if (!ends_with_nocase(name, ".kwi")) name += ".kwi";
      name = make_absolute(name);
      store_name(szOutput, sizeof szOutput, name);
      strcpy(szOutputBase, szOutput);
      if (char* dot = strrchr(szOutputBase, '.'))
        if (!strncasecmp(dot, ".kwi", 4)) *dot = 0;
      have_output = true;
      i += 2;
    } else if (!strncmp(opt, "disk", 4)) {
      disc_listing(option_value(value()));
    } else if (!strncmp(opt, "mpls", 4)) {
      std::string v = option_value(value());
      i += 2;
      // Cut after the extension; a folder named like it stays whole.
      size_t at = v.rfind("mpls");
      if (at == std::string::npos) continue;
      v.erase(at + 4);
      open_via_mpls = 1;
      // The clips' names come from the playlist's and go into the index.
      store_name(MPLS_Name, sizeof MPLS_Name, make_absolute(v));
      // A refusal has said why; nothing more is printed after it.
      int r = ProcessMPLS(MPLS_Name, 0);
      if (r != 0) return r;
      SetVideoType();
      have_input = true;
    } else if (!strcmp(opt, "at")) {
      if (i + 1 >= argc) missing_value(argv[i]);
      std::string v = option_value(argv[i + 1]);
      if (v.empty() || v[0] == '-') {
        AVSTemplatePath[0] = 0;
        i += 1;
        continue;
      }
      std::string path = is_absolute(v) ? v : std::string(ExePath) + v;
      // Kept when it cannot be read: the index is still written, the user
      // learns why no script appears, and the run ends with status 1.
      store_name(AVSTemplatePath, sizeof AVSTemplatePath, path);
      struct stat st;
      if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        printf("The template %s is a folder: no script will be written.\n", path.c_str());
      } else if (FILE* f = fopen(path.c_str(), "r")) {
        fclose(f);
      } else {
        printf("Could not open the template %s: no script will be written.\n", path.c_str());
      }
      i += 2;
    } else if (!strcmp(opt, "h") || !strcmp(opt, "help") || !strcmp(opt, "-help")) {
      print_options();
      return 0;
    } else {
      // Skipped as before, but named, so that a mistyped option is not
      // lost in silence; the messages before it come first.
      fflush(stdout);
      fprintf(stderr, "WARNING: the option \"%s\" is not understood and is ignored (ostrel -h lists the options).\n",
              argv[i]);
      i++;
    }
  }

  if (!have_input || !have_output) usage_error();
  if (check_written_names() != 0) return 1;
  if (NumLoadedFiles == 0) {
    printf("Error opening the input file\n");
    return 1;
  }
  Recovery();
  open_via_mpls = 0;
  try {
    // Every refusal of Open names its reason; a further line would read
    // like a second failure.
    int r = Open();
    if (r != 0) return r;
    SetVideoType();
    strcpy(output_file, szOutput);
    Index(0);
  } catch (const std::bad_alloc&) {
    // Memory that runs out where no reader catches it ends the run as the
    // readers' own exits do, and removes the index begun.
    no_mem_exit("main");
  }
}
