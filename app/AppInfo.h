// Fixed texts of the application: name, version, maker, default server.
#pragma once

#define APP_NAME "Updater"
#define APP_VERSION "Version: 1.1 Jan 21 2023"
#define APP_COPYRIGHT "Copyright (c) 2023 Tessoral Systems. All rights reserved."
#define APP_SERVER_HOST "updates.tessoral.com"
#define APP_SERVER_PORT 80
#define APP_SERVER_URL "http://" APP_SERVER_HOST "/cgi/u"
