// Seek cost of the plugin: pictures decoded per random frame request.
//
// Loads a stand-in build of the plugin (SO) through the test host, and for
// each index of KWIS (separated by spaces) requests N (default 30) random
// frames, always the same ones for a given frame count, on one instance. The
// pictures counted are those the CPU stand-in hands to libavcodec (packets
// with a timestamp): this program defines avcodec_send_packet, which the
// plugin module, loaded later, binds to; the real one is called through.
// Built and run by seek_cost.sh.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
extern "C" {
#include <libavcodec/avcodec.h>
}

#include "vshost.h"

namespace {
std::atomic<long> g_pictures{0};
}

extern "C" int avcodec_send_packet(AVCodecContext* c, const AVPacket* p) {
  using Send = int (*)(AVCodecContext*, const AVPacket*);
  static const Send real = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "avcodec_send_packet"));
  if (p && p->pts != AV_NOPTS_VALUE) ++g_pictures;
  return real(c, p);
}

TEST(SeekCost, RandomRequests) {
  const char* so = getenv("SO");
  const char* kwis = getenv("KWIS");
  const int requests = getenv("N") ? atoi(getenv("N")) : 30;
  ASSERT_TRUE(so && kwis && requests > 0) << "SO, KWIS (and N) name the plugin and the indexes";
  const vshost::Plugin* plugin = vshost::Load(so);
  ASSERT_TRUE(plugin);
  std::istringstream list(kwis);
  std::string kwi;
  while (list >> kwi) {
    vshost::Args a;
    a.set("source", kwi);
    long frames = 0, failed = 0;
    {
      auto clip = vshost::Invoke(plugin, "KWSource", a);
      if (!clip->ok()) {
        printf("%-24s %s\n", kwi.substr(kwi.rfind('/') + 1).c_str(), clip->error().c_str());
        continue;
      }
      frames = clip->vi().numFrames;
      std::mt19937 random(20261210);
      std::uniform_int_distribution<int> pick(0, int(frames) - 1);
      g_pictures = 0;
      for (int i = 0; i < requests; ++i)
        if (!clip->getFrame(pick(random)).ok) ++failed;
    }  // the decode thread has stopped: every picture it decoded is counted
    printf("%-24s frames %5ld  pictures %7ld  per request %7.1f  failed %ld\n",
           kwi.substr(kwi.rfind('/') + 1).c_str(), frames, g_pictures.load(), double(g_pictures.load()) / requests,
           failed);
  }
}
