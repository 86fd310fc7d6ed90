#include "transport/RendezvousFile.h"

#include <cstdlib>
#include <filesystem>

namespace pppp {

std::optional<std::string> FindRendezvousFile() {
    const char* named = std::getenv("ZELT2_RENDEZVOUS");
    if (named && *named) return std::string(named);
    std::string path;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (xdg && *xdg)
        path = std::string(xdg) + "/zelt2/rendezvous.conf";
    else if (home && *home)
        path = std::string(home) + "/.config/zelt2/rendezvous.conf";
    else
        return std::nullopt;
    // Anything there but nothing at all is the user's file, to be read or named as unusable.
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) return std::nullopt;
    return path;
}

}  // namespace pppp
