#include "aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Log.h"

static bool sEndsWithSep(const char* text, size_t length) {
  return length > 0 && text[length - 1] == aDIR_PATH_SEP_CHAR;
}

static aErr sBuildPath(char* buffer, size_t size, const char* first, va_list args) {
  if (!buffer)
    return aErrParam;
  // Gather at most one component beyond the limit so an over-long list is
  // recognised without reading further than needed.
  std::vector<const char*> further;
  for (const char* c = va_arg(args, const char*); c; c = va_arg(args, const char*)) {
    further.push_back(c);
    if (further.size() > aDIR_MAX_FURTHER_COMPONENTS)
      break;
  }
  bool aliased = (first == buffer);
  for (const char* c : further)
    aliased = aliased || (c == buffer);
  if (size == 0)
    return aErrOverrun;
  buffer[0] = '\0';
  if (!first || aliased || further.size() > aDIR_MAX_FURTHER_COMPONENTS)
    return aErrParam;

  size_t length = strlen(first);
  if (length >= size - 1)
    return aErrOverrun;
  memcpy(buffer, first, length + 1);

  for (const char* component : further) {
    size_t room = size - length - 1;
    size_t before = length;
    if (room > 1 && !sEndsWithSep(buffer, length) && component[0] != aDIR_PATH_SEP_CHAR) {
      buffer[length++] = aDIR_PATH_SEP_CHAR;
      buffer[length] = '\0';
      room--;
    }
    size_t componentLength = strlen(component);
    if (componentLength >= room) {
      // Leave only what was fully joined; a dangling separator would suggest
      // a component that is not there.
      buffer[before] = '\0';
      return aErrOverrun;
    }
    memcpy(buffer + length, component, componentLength + 1);
    length += componentLength;
  }
  return aErrNone;
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
  va_list args;
  va_start(args, first);
  aErr err = sBuildPath(buffer, size, first, args);
  va_end(args);
  return err;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name) {
  return aDirectory_BuildPath(buffer, size, directory, name, (const char*)nullptr);
}

bool aDirectory_Exists(const char* path) {
  struct stat info;
  return path && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

static bool sMakeDirectory(const std::string& path, uint16_t mode) {
  if (aDirectory_Exists(path.c_str()))
    return true;
  return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

aErr aDirectory_Ensure(const char* path, uint16_t mode) {
  if (!path || !*path)
    return aErrParam;
  if (aDirectory_Exists(path))
    return aErrNone;
  std::string full(path);
  for (size_t i = 1; i < full.size(); i++) {
    if (full[i] != aDIR_PATH_SEP_CHAR || full[i - 1] == aDIR_PATH_SEP_CHAR)
      continue;
    if (!sMakeDirectory(full.substr(0, i), mode))
      return aErrPermission;
  }
  if (!sMakeDirectory(full, mode))
    return aErrPermission;
  // mkdir reports "already exists" for a plain file too; only a directory
  // at the end counts as success.
  return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* user) {
  if (!path || !callback)
    return aErrParam;
  DIR* dir = opendir(path);
  if (!dir)
    return aErrNotFound;
  char full[aDIR_LIST_PATH_SIZE];
  struct dirent* entry;
  while ((entry = readdir(dir)) != nullptr) {
    // An entry whose path does not fit is skipped: a cut path names another file.
    if (aDirectory_JoinPath(full, sizeof(full), path, entry->d_name) != aErrNone)
      continue;
    struct stat info;
    if (stat(full, &info) != 0)
      continue;
    aDirectoryListData data;
    data.path = full;
    data.size = (uint32_t)info.st_size;
    data.isDirectory = S_ISDIR(info.st_mode) ? 1 : 0;
    if (!callback(&data, user))
      break;
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (!path)
    return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

static bool sIsDotEntry(const char* name) { return !strcmp(name, ".") || !strcmp(name, ".."); }

aErr aDirectory_DeleteTree(const char* path) {
  if (!path)
    return aErrParam;
  DIR* dir = opendir(path);
  if (!dir)
    return aErrNotFound;
  aErr err = aErrNone;
  struct dirent* entry;
  while (err == aErrNone && (entry = readdir(dir)) != nullptr) {
    if (sIsDotEntry(entry->d_name))
      continue;
    std::string child = std::string(path) + aDIR_PATH_SEP + entry->d_name;
    struct stat info;
    // lstat: a link to a directory is removed as a link, never followed out
    // of the tree.
    if (lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      err = aDirectory_DeleteTree(child.c_str());
    } else if (unlink(child.c_str()) != 0) {
      Log::log(0, "aDirectory_DeleteTree: %s\n", strerror(errno));
      Log::log(0, "---error unlink-ing file [%s]\n", child.c_str());
      err = aErrUnknown;
    }
  }
  closedir(dir);
  if (err != aErrNone)
    return err;
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (!buffer || size == 0 || !getcwd(buffer, size))
    return aErrParam;
  return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (!buffer || size == 0)
    return aErrParam;
  ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
  if (length < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[length] = '\0';
  return aErrNone;
}

static const char* sHomeFromUserDatabase(std::vector<char>& scratch, struct passwd& record) {
  struct passwd* found = nullptr;
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  scratch.resize(hint > 0 ? (size_t)hint : 16384);
  if (getpwuid_r(getuid(), &record, scratch.data(), scratch.size(), &found) != 0 || !found)
    return nullptr;
  return (found->pw_dir && *found->pw_dir) ? found->pw_dir : nullptr;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (!buffer || size == 0)
    return aErrParam;
  buffer[0] = '\0';
  std::vector<char> scratch;
  struct passwd record;
  const char* home = sHomeFromUserDatabase(scratch, record);
  if (!home) {
    const char* env = getenv("HOME");
    home = (env && *env) ? env : nullptr;
  }
  // No home, or one that does not fit, leaves the text empty: a cut or empty
  // home would make the caller build its directory somewhere else entirely.
  if (!home)
    return aErrNotFound;
  size_t length = strlen(home);
  if (length >= size)
    return aErrOverrun;
  memcpy(buffer, home, length + 1);
  return aErrNone;
}
