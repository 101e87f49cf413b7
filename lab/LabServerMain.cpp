#include <cstdio>

#include "LabCommands.h"

int LabServerMain(int, char**) {
  std::fprintf(stderr, "updater-lab server: not built yet\n");
  return 2;
}
