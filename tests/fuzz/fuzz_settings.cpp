// Any bytes as a settings file: reading never fails the process, and every
// key the store writes back reads back (a lost line would cost its neighbours).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "store/KeyValueStore.h"

namespace {

std::string sTempPath(const char* name) {
  static const std::string dir = [] {
    char pattern[] = "/tmp/fuzz-settings-XXXXXX";
    const char* made = mkdtemp(pattern);
    return std::string(made ? made : "/tmp");
  }();
  return dir + "/" + name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = sTempPath("input"), output = sTempPath("output");
  FILE* file = fopen(input.c_str(), "wb");
  if (!file)
    return 0;
  fwrite(data, 1, size, file);
  fclose(file);
  KeyValueStore store(input.c_str());
  store.GetInt("LATEST_DOWNLOAD", 0);
  store.GetHex("SERIAL", 0);
  store.GetDouble("X", 0.0);
  store.modified = false;
  store.Save(output.c_str());
  KeyValueStore again(output.c_str());
  for (const auto& entry : store.values) {
    // A key that starts "#" or holds a carriage return cannot be written as it is read.
    if (entry.first[0] == '#' || entry.first.find('\r') != std::string::npos)
      continue;
    if (again[entry.first] == nullptr)
      abort();
  }
  return 0;
}
