// Fixed texts of the application: name, version, maker.
#pragma once

#define APP_NAME "Updater"
#define APP_VERSION "Version: 1.1 Jan 21 2023"
#define APP_COPYRIGHT "Copyright (c) 2023 Tessoral Systems. All rights reserved."
