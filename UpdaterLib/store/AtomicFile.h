// Replacing a file's contents so that a failure never leaves it half written.
#pragma once
#include <cstddef>
#include <string>

enum class ReplaceResult { Ok, CannotCreate, WriteFailed, Interrupted };

// Writes the bytes to a temporary file (".partial-XXXXXX") in the same
// directory and renames it over `path`. On any failure the temporary file is
// removed and `path` keeps its previous contents; `error` (when given)
// receives the system error number. A Ctrl-C or termination request seen
// between two chunks of the write ends it the same way, as Interrupted.
ReplaceResult ReplaceFileContents(const std::string& path, const void* bytes, size_t length, int* error = nullptr);

// Removes the temporaries that interrupted or killed writes left in
// `directory`; returns how many it removed.
int RemoveStalePartials(const std::string& directory);
