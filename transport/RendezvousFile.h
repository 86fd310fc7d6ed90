#pragma once
// Where this process's rendezvous file is (the internet route's configuration,
// internet/Config.h): $ZELT2_RENDEZVOUS, else $XDG_CONFIG_HOME/zelt2/rendezvous.conf,
// else ~/.config/zelt2/rendezvous.conf. A build without the internet route
// looks for it too, so that a file it would ignore is named, not ignored.

#include <optional>
#include <string>

namespace pppp {

// The file's path when one is configured: named by the environment (whether
// or not it exists), or present at the default place. None otherwise.
std::optional<std::string> FindRendezvousFile();

}  // namespace pppp
