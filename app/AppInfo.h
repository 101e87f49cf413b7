// Fixed texts of the application: name, version, maker.
#pragma once

#define APP_NAME "Updater"
// The version comes from project(VERSION) in the top CMakeLists.txt, the one
// place it is written; the package takes it from there too.
#ifndef UPDATER_VERSION
#error "UPDATER_VERSION comes from the build (project VERSION)"
#endif
#define APP_VERSION "Version: " UPDATER_VERSION_SHORT " " UPDATER_RELEASE_DATE
#define APP_COPYRIGHT "Copyright (c) 2023 Tessoral Systems. All rights reserved."
