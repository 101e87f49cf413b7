// Files the lab leaves behind when it stops (flash, RAM, accounts).
#pragma once
#include <fstream>
#include <string>

namespace lab {

// Replaces `path` with `bytes`; false when it could not be written whole.
inline bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace lab
