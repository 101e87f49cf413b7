// Joins path components into one text.
#pragma once
#include <string>

// Joins `first` and the further components, ended by a null pointer, with "/".
// One separator goes before every further component, even where a neighbour
// already has one, so BuildPath("/a/", "b", nullptr) is "/a//b".
std::string BuildPath(const char* first, ...);
