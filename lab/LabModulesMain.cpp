#include <cstdio>

#include "LabCommands.h"

int LabModulesMain(int, char**) {
  std::fprintf(stderr, "updater-lab modules: not built yet\n");
  return 2;
}
