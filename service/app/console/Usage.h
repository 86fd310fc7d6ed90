#pragma once
// The text of ZELT2Service --help: the options, where the settings live, the
// exit statuses. What differs between systems (the program's file name, how
// to stop it, how its configuration file is kept private and read again,
// where its settings are) comes from UsagePlatform.h.

#include <string>

namespace app {

std::string UsageText();

}  // namespace app
