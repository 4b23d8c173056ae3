// Where the settings file lives when nothing names another, on Linux.
#include "platform/settings.h"

std::string DefaultSettingsPath() { return "/etc/userpolicy/settings.toml"; }
