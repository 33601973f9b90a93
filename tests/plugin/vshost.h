// A small, strict stand-in for the VapourSynth host (API 3), for the plugin
// tests: it loads the built plugin module with dlopen, runs its entry point,
// calls its filter functions with argument maps, and requests frames one at a
// time. It implements exactly the members the plugin may call; a call of any
// other member, or a call that real VapourSynth would refuse or abort on
// (an unregistered format, a frame rate that is not a reduced fraction, a
// missing error pointer on a failing property read...), fails the running
// test with the member's name.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vs/vsapi3.h"

namespace vshost {

struct Registration {
  std::string name;
  std::string args;
  VSPublicFunction func = nullptr;
  void* data = nullptr;
};

// What the plugin's entry point told the host.
struct Plugin {
  std::string identifier;
  std::string ns;
  std::string name;
  int apiVersion = 0;
  int readonly = -1;
  int configCalls = 0;
  std::vector<Registration> functions;
  const Registration* find(const std::string& function) const;
};

// Loads the module once per process and runs its entry point; null (and a
// failed test) when it cannot be loaded or has no entry point.
const Plugin* Load(const std::string& path);

// Arguments of a filter call.
class Args {
 public:
  Args& set(const std::string& key, int64_t value);
  Args& set(const std::string& key, const std::string& value);
  Args& set(const std::string& key, const char* value) { return set(key, std::string(value)); }
  VSMap* map() const { return map_.get(); }
  Args();
  ~Args();

 private:
  std::shared_ptr<VSMap> map_;
};

// One delivered frame, copied out of the host's frame.
struct Frame {
  bool ok = false;
  std::string error;                             // setFilterError text
  int width = 0, height = 0;                     // plane 0
  int bytesPerSample = 0;
  std::vector<int> planeWidth, planeHeight, stride;
  std::vector<std::vector<uint8_t>> planes;      // rows of width * bytesPerSample, no padding
  std::map<std::string, int64_t> intProps;
  std::map<std::string, std::string> dataProps;
  // Sample of plane p at (x, y).
  uint32_t at(int p, int x, int y) const;
};

// A filter made by a call, or the error the call reported.
class Clip {
 public:
  ~Clip();                                       // releases the filter through its free callback
  bool ok() const { return instance_ != nullptr || created_; }
  const std::string& error() const { return error_; }
  const VSVideoInfo& vi() const { return vi_; }
  // Requests frame n with the initial activation reason.
  Frame getFrame(int n);
  // True when the filter returns no frame for a non-initial activation reason.
  bool ignoresActivation(int n, int reason);

 private:
  friend std::unique_ptr<Clip> Invoke(const Plugin*, const std::string&, const Args&);
  std::string error_;
  bool created_ = false;
  VSVideoInfo vi_ = {};
  VSFilterGetFrame getFrame_ = nullptr;
  VSFilterFree free_ = nullptr;
  void* instance_ = nullptr;
};

// Calls a registered function of the plugin. Never null; check ok()/error().
std::unique_ptr<Clip> Invoke(const Plugin* plugin, const std::string& function, const Args& args);

// Counts of calls per API member since the last reset (index into the table).
std::map<int, int> CallCounts();
void ResetCallCounts();

}  // namespace vshost
