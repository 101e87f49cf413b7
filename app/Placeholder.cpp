// Keeps the front-end library non-empty until the command line lands.
namespace updater_app_placeholder {
int unused = 0;
}
