#pragma once
// The headless service's configuration file (--config FILE): what a system
// service would otherwise need on its command line, the password among it,
// kept in a file that only the service's user may read.
//
//   # /etc/zelt2/zelt2.conf
//   did = CAM-1
//   password = secret
//   camera = Desk Camera
//   encoder = x264enc
//
// One "key = value" per line; blank lines and lines starting with '#' are
// skipped; a value runs to the end of its line (blanks around it trimmed).
// camera: a position in the camera list or the beginning of a name; encoder
// (optional) forces that H.264 encoder. A file that others may read or write
// is refused (it holds the password), and so is an empty password.

#include <optional>
#include <string>

namespace app {

struct ServiceConfig {
    std::optional<std::string> did;
    std::optional<std::string> password;
    std::optional<std::string> camera;
    std::optional<std::string> encoder;

    bool operator==(const ServiceConfig&) const = default;
};

// Reads `path` into `config`. False with `problem` set to a sentence for the
// user when the file cannot be read, is open to other users, or has a line
// that is not understood.
bool ReadServiceConfig(const std::string& path, ServiceConfig& config, std::string& problem);

}  // namespace app
