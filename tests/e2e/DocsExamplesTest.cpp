// The shell examples of the README and docs/ run as written against the lab.
// Every ```sh block runs unless its info string says `no-lab` (it needs real
// hardware, the real server or the package tools). Each runs with bash -e in
// private mount and network namespaces, with a private /tmp and home, from a
// directory where build/bin holds the built programs and scripts/ the tree's.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "LabServerSupport.h"
#include "TestSupport.h"

namespace {

struct Example {
  std::string file;
  int line = 0;  // of the opening fence
  std::string info;
  std::string text;
};

// Fenced blocks of a Markdown file, with their info strings.
std::vector<Example> FencedBlocks(const std::string& path, const std::string& name) {
  std::vector<Example> blocks;
  std::ifstream in(path);
  std::string line;
  Example current;
  bool inside = false;
  for (int number = 1; std::getline(in, line); number++) {
    if (line.rfind("```", 0) != 0) {
      if (inside)
        current.text += line + "\n";
      continue;
    }
    if (inside) {
      blocks.push_back(current);
      inside = false;
      continue;
    }
    current = Example{name, number, line.substr(3), ""};
    inside = true;
  }
  return blocks;
}

bool IsShell(const Example& example) { return example.info == "sh" || example.info.rfind("sh ", 0) == 0; }
bool LabServes(const Example& example) { return example.info.find("no-lab") == std::string::npos; }

std::vector<Example> ShellExamples() {
  std::vector<std::string> files = {"README.md"};
  for (const auto& entry : std::filesystem::directory_iterator(testsupport::SourcePath("docs")))
    if (entry.path().extension() == ".md")
      files.push_back("docs/" + entry.path().filename().string());
  std::vector<Example> examples;
  for (const std::string& file : files)
    for (const Example& block : FencedBlocks(testsupport::SourcePath(file), file))
      if (IsShell(block))
        examples.push_back(block);
  return examples;
}

// $1 the directory of the built programs, $2 the tree's scripts, $3 the example.
// Everything the example starts in the background is stopped with it: it runs
// in a process group of its own, under a time limit.
const char* const kRunner = R"sh(set -e
mount -t tmpfs tmpfs /tmp
mkdir -p /run/netns && mount -t tmpfs tmpfs /run/netns
ip link set lo up
home=$(getent passwd "$(id -u)" | cut -d: -f6)
mkdir /tmp/home && mount --bind /tmp/home "$home"
mkdir -p /tmp/work/build && ln -s "$1" /tmp/work/build/bin && ln -s "$2" /tmp/work/scripts
cd /tmp/work
export PATH="/tmp/work/build/bin:$PATH"
# A sanitizer-built program would refuse the USB emulation's preload ahead of its runtime.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
set +e -m
timeout -k 5 240 bash -e -c "$3" &
pid=$!
wait "$pid"
status=$?
kill -TERM -- "-$pid" 2>/dev/null
exit $status
)sh";

}  // namespace

TEST(DocsExamples, EveryShellExampleTheLabCanServeRuns) {
  if (!testsupport::IsRoot())
    GTEST_SKIP() << "needs root for private mount and network namespaces";
  std::vector<Example> examples = ShellExamples();
  const std::string bin = testsupport::BinPath("updater").substr(0, testsupport::BinPath("updater").rfind('/'));
  int run = 0;
  for (const Example& example : examples) {
    if (!LabServes(example))
      continue;
    run++;
    SCOPED_TRACE(example.file + ":" + std::to_string(example.line));
    testsupport::ProgramResult r =
        testsupport::RunProgram({"/usr/bin/unshare", "-m", "-n", "--propagation", "private", "/bin/bash", "-c",
                                 kRunner, "docs-example", bin, testsupport::SourcePath("scripts"), example.text});
    EXPECT_EQ(r.exitCode, 0) << example.text << "\n--- stdout:\n" << r.out << "\n--- stderr:\n" << r.err;
  }
  // The lab's own page has an example for each of its parts; a lost marker or
  // a broken fence would silently run none of them.
  EXPECT_GE(run, 5) << "shell examples found: " << examples.size();
}
