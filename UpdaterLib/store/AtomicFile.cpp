#include "store/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "Interrupt.h"

namespace {

const char* const kPartialPrefix = ".partial-";
// Small enough that a request to stop is seen within a few milliseconds of disk time.
const size_t kChunkBytes = 1024 * 1024;

enum class WriteResult { Ok, Failed, Interrupted };

// A request to stop is honoured between chunks only, so a small file (a
// settings file) is always written whole.
WriteResult sWriteAll(int fd, const char* bytes, size_t length) {
  for (bool first = true; length > 0; first = false) {
    if (!first && Interrupt::Requested())
      return WriteResult::Interrupted;
    ssize_t written = write(fd, bytes, length < kChunkBytes ? length : kChunkBytes);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return WriteResult::Failed;
    bytes += written;
    length -= static_cast<size_t>(written);
  }
  return WriteResult::Ok;
}

std::string sDirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// Writes, syncs and closes the temporary file; `savedErrno` tells why it failed.
WriteResult sFillTemporary(int fd, const void* bytes, size_t length, int& savedErrno) {
  WriteResult result = WriteResult::Failed;
  // mkstemp creates 0600; stored files are meant to be readable like any other.
  if (fchmod(fd, 0644) == 0)
    result = sWriteAll(fd, static_cast<const char*>(bytes), length);
  if (result == WriteResult::Ok && fsync(fd) != 0)
    result = WriteResult::Failed;
  savedErrno = errno;
  if (close(fd) != 0 && result == WriteResult::Ok) {
    result = WriteResult::Failed;
    savedErrno = errno;
  }
  return result;
}

}  // namespace

ReplaceResult ReplaceFileContents(const std::string& path, const void* bytes, size_t length, int* error) {
  // The leading dot keeps a left-over temporary file out of build listings.
  std::string temp = sDirectoryOf(path) + "/" + kPartialPrefix + "XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    if (error)
      *error = errno;
    return ReplaceResult::CannotCreate;
  }
  int savedErrno = 0;
  WriteResult result = sFillTemporary(fd, bytes, length, savedErrno);
  if (result == WriteResult::Ok && rename(name.data(), path.c_str()) != 0) {
    result = WriteResult::Failed;
    savedErrno = errno;
  }
  if (result == WriteResult::Ok)
    return ReplaceResult::Ok;
  unlink(name.data());
  if (result == WriteResult::Interrupted) {
    if (error)
      *error = EINTR;
    return ReplaceResult::Interrupted;
  }
  if (error)
    *error = savedErrno ? savedErrno : EIO;
  return ReplaceResult::WriteFailed;
}

int RemoveStalePartials(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (!dir)
    return 0;
  int removed = 0;
  size_t prefixLength = std::strlen(kPartialPrefix);
  while (const dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, kPartialPrefix, prefixLength) != 0)
      continue;
    if (unlink((directory + "/" + entry->d_name).c_str()) == 0)
      removed++;
  }
  closedir(dir);
  return removed;
}
