// Where the updater keeps its store: <home>/.tessoral/updater.
#pragma once
#include <string>

// Size of the buffer the home directory is read into, terminator included.
const size_t HOME_DIRECTORY_CAPACITY = 2048;

// The user's home directory; false (and an empty text) when there is none or
// it does not fit into HOME_DIRECTORY_CAPACITY.
bool ReadHomeDirectory(std::string& home);

// The front end's own helper, in a namespace: the name is reserved at global scope.
namespace cli {
// The updater directory path, or an empty text when the home directory is unusable.
std::string _build_updater_directory();
}  // namespace cli

// Creates the directory and its missing parents with mode 0755.
bool EnsureUpdaterDirectory(const std::string& path);
