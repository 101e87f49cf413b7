#include "aAccess.h"

#include <grp.h>
#include <pthread.h>
#include <set>
#include <stdio.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "UserNotice.h"

// Where the installed rules are; the build sets it from the install prefix.
#ifndef aUSB_UDEV_RULES
#define aUSB_UDEV_RULES "/usr/lib/udev/rules.d/70-kovalink.rules"
#endif

static pthread_mutex_t sReportedMutex = PTHREAD_MUTEX_INITIALIZER;

static unsigned sDenials = 0;

static void sReportOnce(const std::string& device, const std::string& line) {
  static std::set<std::string> reported;
  pthread_mutex_lock(&sReportedMutex);
  sDenials++;
  bool first = reported.insert(device).second;
  pthread_mutex_unlock(&sReportedMutex);
  if (!first)
    return;
  UserNotice::error("%s", line.c_str());
}

// The rules may be in place already: then the device predates them, or the
// user is neither at the console nor in the group.
static void sDeniedByUdev(const std::string& device) {
  struct stat st;
  bool installed = stat(aUSB_UDEV_RULES, &st) == 0;
  std::string line = "Permission denied on " + device;
  line += installed ? std::string(": the udev rules ") + aUSB_UDEV_RULES +
                          " are installed; replug the device, and log in at the console or join the plugdev group"
                    : std::string(": install the udev rules ") + aUSB_UDEV_RULES + " and replug the device";
  sReportOnce(device, line);
}

void aAccess_DeniedUSB(uint16_t vendor, uint16_t product) {
  char device[40];
  snprintf(device, sizeof(device), "USB device %04X:%04X", vendor, product);
  sDeniedByUdev(device);
}

void aAccess_DeniedNode(const char* path) { sDeniedByUdev(path ? path : "(no path)"); }

static std::string sDeniedSerialLine(const char* path) {
  std::string group = "dialout";
  struct stat st;
  if (stat(path, &st) == 0 && st.st_gid != 0) {
    struct group entry;
    struct group* found = nullptr;
    char buffer[1024];
    if (getgrgid_r(st.st_gid, &entry, buffer, sizeof(buffer), &found) == 0 && found && found->gr_name)
      group = found->gr_name;
  }
  return std::string("Permission denied on serial port ") + path + ": join the " + group + " group (sudo usermod -aG " +
         group + " $USER) and log in again";
}

void aAccess_DeniedSerial(const char* path) {
  if (path)
    sReportOnce(path, sDeniedSerialLine(path));
}

void aAccess_DeniedSerialText(const char* path, char* line, size_t size) {
  if (!line || size == 0)
    return;
  snprintf(line, size, "%s", path ? sDeniedSerialLine(path).c_str() : "");
}

unsigned aAccess_DeniedCount(void) {
  pthread_mutex_lock(&sReportedMutex);
  unsigned count = sDenials;
  pthread_mutex_unlock(&sReportedMutex);
  return count;
}
