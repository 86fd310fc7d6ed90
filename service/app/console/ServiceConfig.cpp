#include "service/app/console/ServiceConfig.h"

#include <string_view>

#include "platform/Files.h"

namespace app {
namespace {

// Larger than any configuration a person writes; bounds what is read.
constexpr size_t kMaxConfigBytes = 64 * 1024;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

}  // namespace

bool ReadServiceConfig(const std::string& path, ServiceConfig& config, std::string& problem) {
    config = ServiceConfig{};
    std::string text;
    if (!platform::ReadPrivateFile(path, "configuration file", kMaxConfigBytes, text, problem)) return false;

    std::string_view rest = text;
    for (int lineNumber = 1; !rest.empty(); ++lineNumber) {
        const size_t end = rest.find('\n');
        const std::string_view line = Trim(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        const size_t eq = line.find('=');
        const std::string where = path + ", line " + std::to_string(lineNumber);
        if (eq == std::string_view::npos) {
            problem = where + ": \"" + std::string(line) + "\" is not of the form key = value.";
            return false;
        }
        const std::string_view key = Trim(line.substr(0, eq));
        const std::string value(Trim(line.substr(eq + 1)));
        if (key == "did") config.did = value;
        else if (key == "password") {
            // The example's empty one included: a service anyone may watch
            // is not started by mistake.
            if (value.empty()) {
                problem = where + ": the password is empty; set the one viewers must know.";
                return false;
            }
            config.password = value;
        }
        else if (key == "camera") config.camera = value;
        else if (key == "encoder") config.encoder = value;
        else {
            problem = where + ": unknown key \"" + std::string(key) + "\" (known: did, password, camera, encoder).";
            return false;
        }
    }
    return true;
}

}  // namespace app
