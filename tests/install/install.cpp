// cmake --install into a throwaway root, the choice of the plugin folder, and
// tests/run.sh stopping at missing packages before CMake runs.
#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testutil.h"
#include "vshost.h"

namespace {

void write_text(const std::string& path, const std::string& text) {
  tu::write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string under_prefix(const std::string& prefix, const std::string& dir) {
  return dir[0] == '/' ? dir : prefix + "/" + dir;
}

// Installs this build with DESTDIR, so that a plugin folder taken from an
// installed VapourSynth lands in the throwaway root as well.
TEST(Install, LayoutIsOstrelAndThePluginOnly) {
  const std::string root = tu::scratch("root"), prefix = "/opt/kw";
  tu::run("rm -rf " + tu::q(root));
  tu::RunResult r = tu::run("DESTDIR=" + tu::q(root) + " " + tu::q(CMAKE_BIN) + " --install " + tu::q(BUILD_DIR) +
                            " --prefix " + prefix);
  ASSERT_EQ(r.status, 0) << r.out;

  const std::string ostrel = root + prefix + "/bin/ostrel";
  const std::string plugin = root + under_prefix(prefix, PLUGIN_DIR) + "/libpemmick.so";
  r = tu::run("cd " + tu::q(root) + " && find . ! -type d | sort");
  EXPECT_EQ(r.out, "." + ostrel.substr(root.size()) + "\n." + plugin.substr(root.size()) + "\n")
      << "nothing but ostrel and libpemmick.so may be installed";

  r = tu::run(tu::q(ostrel) + " -version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Ostrel 2053.0.0.502 (64 bit)\n");

  const vshost::Plugin* p = vshost::Load(plugin);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->ns, "pemmick");
  EXPECT_NE(p->find("KWSource"), nullptr);
}

// The default plugin folder follows the vapoursynth.pc that pkg-config
// finds; a folder given on the command line wins, relative as given.
// Without a vapoursynth.pc, and no folder given, configure says that the
// plugin will not be autoloaded and names both ways out; a later configure
// in the same build folder that finds one moves the plugin there, and a
// folder given once stays. The runs of one row share a build folder.
TEST(Install, PluginFolder) {
  const std::string pc = tu::scratch("pc"), none = tu::scratch("none");
  tu::run("mkdir -p " + tu::q(pc) + " " + tu::q(none));
  write_text(pc + "/vapoursynth.pc",
                 ("prefix=/opt/vs\nlibdir=${prefix}/lib64\nName: vapoursynth\n"
                           "Description: x\nVersion: 65\n"));
  const std::string found = "PKG_CONFIG_PATH=" + tu::q(pc);
  const std::string missing = "PKG_CONFIG_PATH= PKG_CONFIG_LIBDIR=" + tu::q(none);
  const std::string note =
      "No VapourSynth was found by pkg-config (no vapoursynth.pc): libpemmick.so installs into "
      "<prefix>/lib/vapoursynth, from where VapourSynth will not autoload it. Point PKG_CONFIG_PATH at the "
      "pkgconfig folder of VapourSynth's installation, or give the folder VapourSynth loads plugins from with "
      "-DVAPOURSYNTH_PLUGIN_DIR=FOLDER.";
  struct Run {
    std::string env, arg, expected;
    bool noted;
  };
  const std::vector<std::vector<Run>> rows = {
      {{found, "", "/opt/vs/lib64/vapoursynth", false}},
      {{found, "-DVAPOURSYNTH_PLUGIN_DIR=lib/vs", "lib/vs", false}},
      {{missing, "", "lib/vapoursynth", true}, {found, "", "/opt/vs/lib64/vapoursynth", false}},
      {{missing, "-DVAPOURSYNTH_PLUGIN_DIR=lib/vs", "lib/vs", false}, {missing, "", "lib/vs", false}},
      {{missing, "-DVAPOURSYNTH_PLUGIN_DIR=lib/vapoursynth", "lib/vapoursynth", false}},
  };
  int n = 0;
  for (const auto& row : rows) {
    const std::string build = tu::scratch("build" + std::to_string(n++));
    tu::run("rm -rf " + tu::q(build));
    for (const Run& c : row) {
      SCOPED_TRACE(c.env + " " + c.arg);
      tu::RunResult r = tu::run("env " + c.env + " " + tu::q(CMAKE_BIN) + " -S " + tu::q(SOURCE_DIR) + " -B " +
                                tu::q(build) + " -DBUILD_TESTING=OFF " + c.arg);
      ASSERT_EQ(r.status, 0) << r.out;
      // CMake folds a warning's lines and puts two spaces after a full stop.
      std::string words;
      for (const char ch : r.out) {
        if (!std::isspace(static_cast<unsigned char>(ch)))
          words += ch;
        else if (!words.empty() && words.back() != ' ')
          words += ' ';
      }
      EXPECT_EQ(words.find(note) != std::string::npos, c.noted) << r.out;
      EXPECT_EQ(words.find("No VapourSynth") != std::string::npos, c.noted) << r.out;
      r = tu::run("grep '^VAPOURSYNTH_PLUGIN_DIR:' " + tu::q(build + "/CMakeCache.txt"));
      EXPECT_EQ(r.out, "VAPOURSYNTH_PLUGIN_DIR:STRING=" + c.expected + "\n");
    }
  }
}

// With packages missing, tests/run.sh names them and the apt-get command
// (through sudo unless root) and stops before running cmake.
TEST(TestCommand, MissingPackagesStopBeforeCMake) {
  const struct {
    const char* uid;
    const char* command;
  } cases[] = {
      {"0", "  apt-get update && apt-get install -y libgtest-dev x265\n"},
      {"1000", "  sudo apt-get update && sudo apt-get install -y libgtest-dev x265\n"},
  };
  for (const auto& c : cases) {
    const std::string bin = tu::scratch(std::string("bin") + c.uid);
    tu::run("mkdir -p " + tu::q(bin));
    write_text(bin + "/dpkg-query", ("#!/bin/sh\ncase \"$3\" in x265|libgtest-dev) ;; "
                                                  "*) printf installed ;; esac\n"));
    write_text(bin + "/id", (std::string("#!/bin/sh\necho ") + c.uid + "\n"));
    write_text(bin + "/cmake", ("#!/bin/sh\ntouch \"$(dirname \"$0\")/cmake-ran\"\nexit 1\n"));
    tu::run("chmod +x " + tu::q(bin) + "/*; rm -f " + tu::q(bin + "/cmake-ran"));

    tu::RunResult r = tu::run("PATH=" + tu::q(bin) + ":\"$PATH\" " + tu::q(SOURCE_DIR "/tests/run.sh"));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("not installed: libgtest-dev x265\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.command), std::string::npos) << r.out;
    EXPECT_FALSE(tu::exists(bin + "/cmake-ran")) << "cmake ran despite the missing packages";
  }
}

}  // namespace
