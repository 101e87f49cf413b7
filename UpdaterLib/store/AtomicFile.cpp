#include "store/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

static bool sWriteAll(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, bytes, length);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    bytes += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

ReplaceResult ReplaceFileContents(const std::string& path, const void* bytes, size_t length, int* error) {
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  // The leading dot keeps a left-over temporary file out of build listings.
  std::string temp = directory + "/.partial-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    if (error)
      *error = errno;
    return ReplaceResult::CannotCreate;
  }
  // mkstemp creates 0600; stored files are meant to be readable like any other.
  bool ok = fchmod(fd, 0644) == 0 && sWriteAll(fd, static_cast<const char*>(bytes), length) && fsync(fd) == 0;
  int savedErrno = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (ok && rename(name.data(), path.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (ok)
    return ReplaceResult::Ok;
  unlink(name.data());
  if (error)
    *error = savedErrno ? savedErrno : EIO;
  return ReplaceResult::WriteFailed;
}
