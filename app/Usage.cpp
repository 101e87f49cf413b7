#include "Usage.h"

#include <cstdarg>
#include <initializer_list>
#include <string>

#include "AppInfo.h"
#include "Log.h"
#include "server/UpdateServerRequest.h"
#include "aVersion.h"

namespace {

const char* const kShortUsage =
    "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
    "  Kovalink Update and Maintenance Application\n    -H -h or --help for full usage information.\n\n";

const int kOptionIndent = 5;
const int kOptionColumn = 25;
const int kDescriptionIndent = kOptionIndent + kOptionColumn + 2;
const int kSampleColumn = 31;

// Builds the option texts line by line in the shared column layout.
class UsageText {
public:
  void Title(const char* title) { text_ += std::string("  ") + title + "\n"; }

  UsageText& Entry(const char* option, std::initializer_list<const char*> lines) {
    text_ += Format("%*s%-*s- %s\n", kOptionIndent, "", kOptionColumn, option, *lines.begin());
    for (auto line = lines.begin() + 1; line != lines.end(); ++line)
      Continue(*line);
    return *this;
  }

  void Continue(const std::string& line) { text_ += std::string(kDescriptionIndent, ' ') + line + "\n"; }

  void Sample(const char* commandLine, std::initializer_list<const char*> lines) {
    text_ += Format("%-*s%s\n", kSampleColumn, commandLine, *lines.begin());
    for (auto line = lines.begin() + 1; line != lines.end(); ++line)
      text_ += std::string(kSampleColumn, ' ') + *line + "\n";
    Blank();
  }

  void Line(const std::string& line) { text_ += line + "\n"; }
  void Blank() { text_ += "\n"; }
  const std::string& Text() const { return text_; }

  static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2))) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
  }

private:
  std::string text_;
};

std::string ParametersText() {
  UsageText u;
  u.Title("Parameters to commands:");
  u.Entry("-b <build number>", {"Build version of the firmware to transfer.", "[Default: latest version available]."});
  u.Entry("-d <device>", {"Device serial number of the device to access.",
                          "-U takes several (A,B or -d repeated), or all with -t."});
  u.Entry("-j <count>", {"modules updated at once by one -U [Default: 8]."});
  u.Entry("-t <transport type>", {"communications method [USB,TCP,RECOVER]."});
  u.Entry("-r <router serial>", {"indirect connection through router device"});
  u.Entry("-m <module address>", {"address of the module behind the router of \"-r\"", "to update, hexadecimal as \"-D -r\" lists it."});
  u.Entry("-s <serial port>", {"name of serial port to use for recovery"});
  u.Entry("-o <baud rate>", {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"});
  u.Title("Commands:");
  u.Entry("-B", {"list the Builds available for given device."}).Blank();
  u.Entry("-D", {"Discover devices that are currently connected."}).Blank();
  u.Entry("-G", {"Get build file from the Tessoral server and", "store on local machine for download to device.",
                 "Must specify a specific device [\"-d\" option].", "Default is to obtain the latest build for the",
                 "given device, override with \"-b\" option."})
      .Blank();
  u.Entry("-U", {"Update the firmware on device specified.", "Must specify a specific device [\"-d\" option].",
                 "Default is to download the latest build for the", "given device, override with \"-b\" option or",
                 "specify specific BIRD file using \"-f\" option."});
  u.Entry("-H or -h", {"Display extended usage information."});
  u.Blank();
  return u.Text();
}

struct PackageLine {
  const char* name;
  uint32_t value;
};

// The log packages as -X accepts them; a null name separates groups.
const PackageLine kPackages[] = {
    {"DEBUG_Updater", DEBUG_Updater},
    {"DEBUG_History", DEBUG_History},
    {"DEBUG_Attributes", DEBUG_Attributes},
    {"DEBUG_BirdFile", DEBUG_BirdFile},
    {"DEBUG_Network", DEBUG_Network_Legacy},
    {"DEBUG_ServerComm", DEBUG_ServerComm},
    {nullptr, 0},
    {"DEBUG_Network", DEBUG_Network},
    {"DEBUG_Network_SR", DEBUG_Network_SR},
    {"DEBUG_Network_FIRM", DEBUG_Network_FIRM},
    {nullptr, 0},
    {"DEBUG_NXPSerial", DEBUG_NXPSerial},
    {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E},
    {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR},
    {nullptr, 0},
    {"DEBUG_APP", DEBUG_APP},
    {nullptr, 0},
    {"DEBUG_iMXSerial", DEBUG_iMXSerial},
};

std::string ExtendedText() {
  UsageText u;
  u.Title("Extended Parameters:");
  u.Entry("-f <bird file>", {"Firmware file to be transferred to device."});
  u.Entry("-e", {"echoing of bytes enabled during recovery."}).Blank();
  u.Entry("-l 'log message'", {"message to place in device history log"});
  u.Entry("-k <filename>", {"log messages written into given filename", "Default:[APP.log]"});
  std::string server = UsageText::Format("Default: %s:%d", UpdateServerRequest::default_host,
                                         UpdateServerRequest::default_port);
  u.Entry("-u <host:port>", {"The hostname and port of the update server", server.c_str()});
  u.Title("Extended Commands:");
  u.Entry("-I", {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
                 "specify a specific device [\"-d\" option]."})
      .Blank();
  u.Entry("-OVERRIDE", {"Override the model checks for BIRD firmware files.",
                        "This option should only be used when authorized by", "Tessoral development engineers."})
      .Blank();
  u.Entry("-N", {"Get fingerprint from a device, requires -s"}).Blank();
  u.Entry("-X <BIT_MASK>", {"Bitmask for Logging"});
  for (const PackageLine& package : kPackages) {
    if (package.name)
      u.Continue(UsageText::Format("%-20s0x%08X", package.name, package.value));
    else
      u.Blank();
  }
  u.Blank();
  u.Entry("-C", {"Check the given BIRDFILE"});
  u.Entry("--json", {"one JSON document on stdout for -D, -B, -G, -U, -C;", "messages go to stderr."});
  u.Entry("--watch", {"with -U: a station; updates every module that", "appears until SIGINT or SIGTERM."});
  u.Entry("--dry-run", {"with -U: show the plan, write nothing."});
  u.Entry("--force", {"with -d all or --watch: write modules that", "already run the wanted build."});
  u.Entry("-V or --version", {"Print the version and end."});
  u.Entry("-q", {"quiet: errors and the result only; the banner", "goes to stderr."});
  u.Entry("-v", {"verbose: also the link's and the transfer's steps."});
  u.Blank();
  return u.Text();
}

std::string SampleText() {
  UsageText u;
  u.Line(" Sample usage:");
  u.Blank();
  u.Sample("-D", {"Discover all devices connected by either USB or TCPIP.",
                  "Records the device information into the settings for that device."});
  u.Sample("-D -t USB",
           {"Discover all the devices connected by USB. Records the", "device information into the settings for that device."});
  u.Sample("-D -t USB -d 0F5849A", {"Discover settings of the specific device (serial number 0x40F5849A)"});
  u.Sample("-G -d 40F5849A", {"Get the latest firmware for the given device.",
                              "Downloads the firmware file into the updater specific device directory."});
  u.Sample("-U -d 40F5849A", {"Update the firmware on the specific device.",
                              "Without other options, this command will try to locate",
                              "the latest firmware version to be used for updating the device."});
  u.Sample("-G -d 40F5849A -b 99528558",
           {"Get the specified build's firmware for the given device.",
            "Downloads the firmware file into the updater's specific",
            "device directory with the build number as the filename."});
  u.Sample("-G -U -d 40F5849A", {"Get the latest firmware for the given device.",
                                 "Downloads the firmware file into the updater specific",
                                 "device directory. After download, update the firmware", "using the latest release."});
  u.Sample("-U -t RECOVER -s /dev/serial", {"Update the firmware as described above, but uses the serial interface",
                                            "in communicating with the device to install the latest firmware."});
  u.Line(" Sample usage for network discovery and updates:");
  u.Blank();
  u.Sample("-D -r D272031D",
           {"Discover all devices connected to the I2C Kovalink network", "of the given routing device D272031D."});
  return u.Text();
}

}  // namespace

void cli::_display_app_version(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::Info, "%s (%s)", APP_NAME, APP_VERSION);
}

void cli::_display_program_version(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::Info, "updater %s", UPDATER_VERSION);
}

void cli::_display_copyright(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::Info, "(%s)", APP_COPYRIGHT);
}

void cli::_display_kl_version(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::Info, "[Kovalink Release: %d.%d.%d]", aVersion_GetMajor(),
                  aVersion_GetMinor(), static_cast<int>(aVersion_GetPatch()));
}

void cli::_display_usage(bool showExtended, bool helpRequested, FILE* out) {
  fprintf(out, kShortUsage, APP_NAME);
  if (helpRequested)
    fputs(ParametersText().c_str(), out);
  if (helpRequested && showExtended)
    fputs(ExtendedText().c_str(), out);
  if (helpRequested)
    fputs(SampleText().c_str(), out);
}
