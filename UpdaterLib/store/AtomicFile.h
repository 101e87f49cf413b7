// Replacing a file's contents so that a failure never leaves it half written.
#pragma once
#include <cstddef>
#include <string>

enum class ReplaceResult { Ok, CannotCreate, WriteFailed };

// Writes the bytes to a temporary file in the same directory and renames it
// over `path`. On any failure the temporary file is removed and `path` keeps
// its previous contents; `error` (when given) receives the system error number.
ReplaceResult ReplaceFileContents(const std::string& path, const void* bytes, size_t length, int* error = nullptr);
