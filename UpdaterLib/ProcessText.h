// How a process is named to a user who waits on it (the holder of a lock).
#pragma once
#include <sys/types.h>

#include <string>

namespace ProcessText {

// The process's command line as the user typed it: the program without its
// directory, the words on one line, cut to a length fit for a message. Empty
// when it cannot be read (the process is gone, or belongs to another user
// whose /proc entry is hidden). `pid` 0 is this process.
std::string CommandLine(pid_t pid);

}  // namespace ProcessText
