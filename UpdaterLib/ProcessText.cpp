#include "ProcessText.h"

#include <cstdio>

namespace {

const size_t kMaxCommandText = 300;

}  // namespace

std::string ProcessText::CommandLine(pid_t pid) {
  std::string path = pid == 0 ? "/proc/self/cmdline" : "/proc/" + std::to_string(static_cast<long>(pid)) + "/cmdline";
  FILE* file = fopen(path.c_str(), "re");
  if (!file)
    return std::string();
  char buffer[4096];
  size_t length = fread(buffer, 1, sizeof(buffer), file);
  fclose(file);
  std::string raw(buffer, length);
  const size_t slash = raw.rfind('/', raw.find('\0'));
  std::string text = slash == std::string::npos ? raw : raw.substr(slash + 1);
  while (!text.empty() && text.back() == '\0')
    text.pop_back();
  for (char& c : text)
    if (c == '\0' || c == '\n' || c == '\r' || c == '\t')
      c = ' ';
  return text.size() > kMaxCommandText ? text.substr(0, kMaxCommandText) + "..." : text;
}
