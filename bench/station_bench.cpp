// Measures a station (-U --watch --json over TCP/IP) fed by lab modules that leave and
// rejoin on a schedule, each return a fresh module with 4 KiB of firmware to write, and
// prints one line: arrivals per minute, and the time from a module's arrival (its
// "appeared" line) to its verified result, median and 90th percentile. With --soak it
// also samples the updater's open descriptors, threads and resident memory every 50
// arrivals (one line each on stderr) and ends the line with their growth after the first
// 50. Runs in private network namespaces (needs root).
// Usage: station_bench [arrivals (default 60)] [--soak]
#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchBird.h"
#include "LabNetwork.h"
#include "TestSupport.h"

namespace {

const int kModules = 16;
const uint16_t kFirstPort = 9000;
// Present long enough to be found and updated, away long enough to be missed twice.
const char* const kCycle = "cycle=12000:8000";
const unsigned kSampleEvery = 50;

std::string sSerial(int i) {
  char text[9];
  snprintf(text, sizeof(text), "0000F5%02X", i);
  return text;
}

// Seconds since the epoch of "2026-12-09T12:00:00.123Z"; 0 when it is not one.
double sTime(const std::string& line) {
  size_t at = line.find("\"time\":\"");
  struct tm utc = {};
  int millis = 0;
  if (at == std::string::npos || sscanf(line.c_str() + at + 8, "%d-%d-%dT%d:%d:%d.%dZ", &utc.tm_year, &utc.tm_mon,
                                        &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &millis) != 7)
    return 0;
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  return static_cast<double>(timegm(&utc)) + millis / 1000.0;
}

std::string sField(const std::string& line, const char* name) {
  const std::string key = std::string("\"") + name + "\":\"";
  size_t at = line.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return line.substr(at, line.find('"', at) - at);
}

int sUpdaterPid(const std::string& marker) {
  DIR* proc = opendir("/proc");
  int found = 0;
  for (dirent* entry; found == 0 && proc != nullptr && (entry = readdir(proc)) != nullptr;) {
    if (strspn(entry->d_name, "0123456789") != strlen(entry->d_name)) continue;
    const std::string cmdline = testsupport::ReadFile(std::string("/proc/") + entry->d_name + "/cmdline");
    if (cmdline.compare(0, cmdline.find('\0'), testsupport::BinPath("updater")) == 0 &&
        cmdline.find(marker) != std::string::npos)
      found = atoi(entry->d_name);
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

struct Sample {
  unsigned arrivals = 0;
  int fds = 0;
  int threads = 0;
  long rssKiB = 0;
};

Sample sSample(int pid, unsigned arrivals) {
  Sample sample;
  sample.arrivals = arrivals;
  const std::string dir = "/proc/" + std::to_string(pid);
  DIR* fds = opendir((dir + "/fd").c_str());
  for (dirent* entry; fds != nullptr && (entry = readdir(fds)) != nullptr;)
    if (entry->d_name[0] != '.') sample.fds++;
  if (fds != nullptr) closedir(fds);
  std::istringstream status(testsupport::ReadFile(dir + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 8, "Threads:") == 0) sample.threads = atoi(line.c_str() + 8);
    if (line.compare(0, 6, "VmRSS:") == 0) sample.rssKiB = atol(line.c_str() + 6);
  }
  return sample;
}

// What the event lines say: arrivals, and each arrival's time to its verified result.
struct Events {
  unsigned arrivals = 0;
  unsigned results = 0;
  unsigned verified = 0;
  unsigned failed = 0;
  std::map<std::string, unsigned> failures;  // by the line the user was shown
  double first = 0, last = 0;
  std::vector<double> toVerified;
};

Events sRead(const std::string& out) {
  Events events;
  std::map<std::string, double> appeared;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const std::string kind = sField(line, "event"), serial = sField(line, "serial");
    const double time = sTime(line);
    if (kind == "appeared") {
      events.arrivals++;
      appeared[serial] = time;
      if (events.first == 0) events.first = time;
      continue;
    }
    if (kind == "result") events.results++;
    if (kind == "result" && line.find("\"succeeded\":true") != std::string::npos) {
      events.verified++;
      events.last = time;
      events.toVerified.push_back(time - appeared[serial]);
    } else if (kind == "result") {
      events.failed++;
      events.failures[sField(line, "text")]++;
    }
  }
  std::sort(events.toVerified.begin(), events.toVerified.end());
  return events;
}

// Every arrival so far has its result.
bool sIdle(const std::string& out) {
  const Events events = sRead(out);
  return events.results == events.arrivals;
}

double sAt(const std::vector<double>& sorted, double fraction) {
  return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, static_cast<size_t>(fraction * sorted.size()))];
}

// The lab's modules, each arriving on its own schedule and then coming and going.
bool sStartModules(testsupport::LabNetwork& net) {
  std::vector<std::string> lab = {"modules"};
  for (int i = 0; i < kModules; i++) {
    lab.push_back("--module");
    lab.push_back("serial=" + sSerial(i) + ",model=17,build=100,port=" + std::to_string(kFirstPort + i) +
                  ",reboot-delay=100,arrive=" + std::to_string(500 + 400 * i) + "," + kCycle);
  }
  return net.startLab(lab) >= 0;
}

// Follows the station until `target` arrivals, sampling it every kSampleEvery arrivals.
std::vector<Sample> sWatch(unsigned target, bool soak, const std::string& bird, const std::string& outPath,
                           std::future<testsupport::RunResult>& run, int& pid) {
  std::vector<Sample> samples;
  for (unsigned arrivals = 0; arrivals < target;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (pid == 0) pid = sUpdaterPid(bird);
    arrivals = sRead(testsupport::ReadFile(outPath)).arrivals;
    if (pid != 0 && arrivals >= kSampleEvery * (samples.size() + 1)) {
      // Between two updates, so the figures are the station's own and not those of updates under way.
      testsupport::WaitUntil([&] { return sIdle(testsupport::ReadFile(outPath)); }, 10000);
      samples.push_back(sSample(pid, arrivals));
      if (soak)
        fprintf(stderr, "station_bench: at %u arrivals: %d descriptors, %d threads, %ld KiB resident\n",
                samples.back().arrivals, samples.back().fds, samples.back().threads, samples.back().rssKiB);
    }
    if (run.wait_for(std::chrono::seconds(0)) == std::future_status::ready) break;
  }
  return samples;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned target = 60;
  bool soak = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--soak") == 0)
      soak = true;
    else if (atoi(argv[i]) > 0)
      target = static_cast<unsigned>(atoi(argv[i]));
  }
  testsupport::LabNetwork net;
  if (!net.ok()) {
    fprintf(stderr, "station_bench: %s\n", net.error().c_str());
    return 2;
  }
  if (!sStartModules(net)) {
    fprintf(stderr, "station_bench: %s\n", net.error().c_str());
    return 2;
  }
  testsupport::TempDir files, logs;
  const std::string bird = bench::WriteBenchBird(files, 4096, 900);
  const std::string outPath = logs.file("out");
  auto run = std::async(std::launch::async, [&] {
    return net.run("/bin/sh",
                   {"-c", "exec \"$0\" \"$@\" >" + outPath + " 2>" + logs.file("err"), testsupport::BinPath("updater"),
                    "-U", "--watch", "--json", "-t", "TCPIP", "-j", "8", "-f", bird},
                   24 * 3600 * 1000);
  });
  int pid = 0;
  std::vector<Sample> samples = sWatch(target, soak, bird, outPath, run, pid);
  // Stopped between two arrivals, so no update is cut short and counted as failed.
  testsupport::WaitUntil([&] { return sIdle(testsupport::ReadFile(outPath)); }, 30000);
  if (pid != 0) kill(pid, SIGTERM);
  testsupport::RunResult r = run.get();
  const Events events = sRead(testsupport::ReadFile(outPath));
  const double minutes = (events.last - events.first) / 60.0;
  printf("station_bench: %u arrivals of %d modules over TCP/IP (4 KiB each, %s), %u verified, %u failed, exit %d: "
         "%.1f arrivals per minute; arrival to verified median %.2f s, p90 %.2f s",
         events.arrivals, kModules, kCycle, events.verified, events.failed, r.exitCode,
         minutes > 0 ? events.verified / minutes : 0, sAt(events.toVerified, 0.5), sAt(events.toVerified, 0.9));
  if (soak && samples.size() >= 2)
    printf("; after the first %u arrivals: descriptors %+d, threads %+d, resident %+ld KiB", samples.front().arrivals,
           samples.back().fds - samples.front().fds, samples.back().threads - samples.front().threads,
           samples.back().rssKiB - samples.front().rssKiB);
  printf("\n");
  for (const auto& failure : events.failures) fprintf(stderr, "station_bench: %u x %s\n", failure.second, failure.first.c_str());
  return events.failed == 0 && r.exitCode == 0 ? 0 : 1;
}
