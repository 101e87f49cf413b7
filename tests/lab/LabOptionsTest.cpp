// The lab's subcommands read their command lines through one option table:
// errors end them before they open anything, values reach what they run, and
// the usage is generated from the same table.
#include <gtest/gtest.h>

#include "LabServerSupport.h"
#include "Options.h"
#include "TestSupport.h"
#include "rom/ImxRom.h"

namespace {

using testsupport::BinPath;
using testsupport::RunProgram;

struct BadLine {
  std::vector<std::string> args;
  std::string error;  // the first line on stderr
  bool usage;         // the usage follows it
};

TEST(LabOptions, SubcommandsRefuseBadLinesWithExitTwo) {
  const BadLine cases[] = {
      {{"lpc", "--erase-ms", "0x"}, "updater-lab lpc: bad value for --erase-ms: '0x'", false},
      {{"lpc", "--fail", "E:256"}, "updater-lab lpc: bad value for --fail: 'E:256'", false},
      {{"lpc", "--resend", "1,,2"}, "updater-lab lpc: bad value for --resend: '1,,2'", false},
      {{"lpc", "--hang", "e"}, "updater-lab lpc: bad value for --hang: 'e'", false},
      {{"lpc", "--corrupt-copy", "0"}, "updater-lab lpc: bad value for --corrupt-copy: '0'", false},
      {{"lpc", "--serial", "1:2:3"}, "updater-lab lpc: bad value for --serial: '1:2:3'", false},
      {{"lpc", "--pace", "--link"}, "updater-lab lpc: --link needs a value", true},
      {{"lpc", "--frobnicate"}, "updater-lab lpc: unknown option --frobnicate", true},
      {{"imx", "--transport", "pci"}, "updater-lab imx: bad value for --transport: 'pci'", false},
      {{"imx", "--module-serial", "0"}, "updater-lab imx: bad value for --module-serial: '0'", false},
      {{"imx", "--ram-out", "0x20000000:16:"}, "updater-lab imx: bad value for --ram-out: '0x20000000:16:'", false},
      {{"imx-loader", "--out", "/dev/null", "--model", "256"}, "updater-lab imx-loader: bad value for --model: '256'",
       false},
      {{"imx-loader", "--size", "0x40001"}, "updater-lab imx-loader: bad value for --size: '0x40001'", false},
      {{"imx-loader"}, "updater-lab imx-loader: --out is required", true},
      {{"server"}, "updater-lab server: --catalogue is required", true},
      {{"server", "--catalogue", "/nonexistent", "--port", "65536"}, "updater-lab server: bad value for --port: '65536'",
       false},
      {{"server", "--fault", "hi:boom"}, "updater-lab server: bad fault 'hi:boom'", false},
      {{"demo-config", "--server", "--builds"}, "updater-lab demo-config: give one of --modules, --server and --builds",
       true},
  };
  for (const BadLine& c : cases) {
    std::vector<std::string> argv = {BinPath("updater-lab")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testsupport::ProgramResult r = RunProgram(argv);
    std::string what = c.args[0] + " " + c.args.back();
    EXPECT_EQ(r.exitCode, 2) << what;
    EXPECT_EQ(r.err.compare(0, c.error.size(), c.error), 0) << what << ": " << r.err;
    EXPECT_EQ(r.err.find("\nusage: updater-lab " + c.args[0]) != std::string::npos, c.usage) << what << ": " << r.err;
    EXPECT_EQ(r.out, "") << what;
  }
}

TEST(LabOptions, ImxLoaderWritesWhatItsOptionsSay) {
  testsupport::TempDir dir;
  std::string out = dir.file("loader.bin");
  testsupport::ProgramResult r =
      RunProgram({BinPath("updater-lab"), "imx-loader", "--out", out, "--serial", "0000beef", "--model", "0x13",
                  "--build", "4021", "--offset", "16", "--size", "8", "--id", "1:2:3:A0000000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::string bytes = testsupport::ReadFile(out);
  ASSERT_EQ(bytes.size(), 16 + lab::ImxLabLoader::kHeaderSize + 8);
  EXPECT_EQ(bytes.substr(0, 16), std::string(16, '\0'));
  lab::ImxLabLoader loader;
  ASSERT_TRUE(lab::ImxLabLoader::decode(reinterpret_cast<const uint8_t*>(bytes.data()) + 16, bytes.size() - 16, loader));
  EXPECT_EQ(loader.serial, 0x0000BEEFu);
  EXPECT_EQ(loader.model, 0x13u);
  EXPECT_EQ(loader.build, 4021u);
  EXPECT_EQ(loader.identity[3], 0xA0000000u);

  testsupport::ProgramResult help = RunProgram({BinPath("updater-lab"), "imx-loader", "--out", out, "-h"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.find("usage: updater-lab imx-loader --out FILE"), 0u) << help.out;
}

TEST(LabOptions, TableTakesValuesInOrderAndWritesTheUsage) {
  bool pace = false;
  std::string link;
  std::vector<std::string> configs;
  uint16_t port = 7;
  uint32_t serial = 0;
  lab::Options options("lab test", "usage: lab test\n\n",
                       {lab::Flag("--pace", "pace it", pace), lab::Text("--link", "PATH", "a link\nsecond line", link),
                        lab::Heading("more:"), lab::List("--config", "FILE", "repeatable", configs),
                        lab::Number("--port", "N", "port", port, 10, 1),
                        lab::Number("--serial", "XXXXXXXX-WITH-A-LONG-NAME", "hex", serial, 16, 1)},
                       "the end\n");
  std::string error;
  // A value is the next argument, whatever it looks like.
  EXPECT_EQ(options.parse({"--link", "-h", "--config", "a", "--pace", "--config", "--help", "--serial", "beef"}, error),
            lab::Options::Result::Go)
      << error;
  EXPECT_TRUE(pace);
  EXPECT_EQ(link, "-h");
  EXPECT_EQ(configs, (std::vector<std::string>{"a", "--help"}));
  EXPECT_EQ(serial, 0xBEEFu);
  EXPECT_EQ(options.parse({"--port", "65535", "-h", "--port", "x"}, error), lab::Options::Result::Help);
  EXPECT_EQ(port, 65535);
  for (const char* bad : {"0", "65536", "0x10000", "-1", "+5", " 5", "5 ", ""})
    EXPECT_EQ(options.parse({"--port", bad}, error), lab::Options::Result::BadValue) << bad;
  EXPECT_EQ(port, 65535);  // a refused value leaves the field alone
  EXPECT_EQ(error, "bad value for --port: ''");
  EXPECT_EQ(options.parse({"--port"}, error), lab::Options::Result::UsageError);
  EXPECT_EQ(error, "--port needs a value");
  EXPECT_EQ(options.parse({"--pace", "x"}, error), lab::Options::Result::UsageError);
  EXPECT_EQ(error, "unknown option x");
  EXPECT_TRUE(options.parseAll({"--pace"}, error));
  EXPECT_FALSE(options.parseAll({"--pace", "-h"}, error));  // in-process callers get no usage
  EXPECT_EQ(error, "--help asks for the usage");

  EXPECT_EQ(options.usage(),
            "usage: lab test\n\n"
            "  --pace               pace it\n"
            "  --link PATH          a link\n"
            "                       second line\n"
            "more:\n"
            "  --config FILE        repeatable\n"
            "  --port N             port\n"
            "  --serial XXXXXXXX-WITH-A-LONG-NAME\n"
            "                       hex\n"
            "the end\n");
}

}  // namespace
