#include "xulib/sim/SimCameras.h"

#include <charconv>
#include <cstdlib>

namespace simcam {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> Split(std::string_view s, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t at = s.find(separator);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

bool ParseNumber(std::string_view s, uint32_t& value) {
    const char* end = s.data() + s.size();
    auto [p, ec] = std::from_chars(s.data(), end, value);
    return ec == std::errc() && p == end && !s.empty();
}

bool ApplyKnob(SimCamera& camera, std::string_view key, std::string_view value, std::string& fault) {
    if (key == "set") {
        if (value == "0" || value == "1" || value == "2") {
            camera.nGuidSet = value[0] - '0';
            return true;
        }
        fault = "set must be 0, 1 or 2";
    } else if (key == "nopic") {
        if (value == "never") {
            camera.dwNoPictureMs = camera.dwPeriodMs = 0;
            return true;
        }
        if (value == "always") {
            camera.dwNoPictureMs = camera.dwPeriodMs = 1;
            return true;
        }
        const size_t slash = value.find('/');
        uint32_t off = 0, period = 0;
        if (slash != std::string_view::npos && ParseNumber(value.substr(0, slash), off) &&
            ParseNumber(value.substr(slash + 1), period) && period > 0 && off <= period) {
            camera.dwNoPictureMs = off;
            camera.dwPeriodMs = period;
            return true;
        }
        fault = "nopic must be never, always or OFF/PERIOD in ms with 0 <= OFF <= PERIOD and PERIOD > 0";
    } else if (key == "fail") {
        if (value == "none") camera.failure = SimFailure::None;
        else if (value == "unplugged") camera.failure = SimFailure::Unplugged;
        else if (value == "refusing") camera.failure = SimFailure::Refusing;
        else if (value == "echo") camera.failure = SimFailure::WrongEcho;
        else {
            fault = "fail must be none, unplugged, refusing or echo";
            return false;
        }
        return true;
    } else if (key == "len") {
        uint32_t length = 0;
        if (ParseNumber(value, length) && length >= 1 && length <= 1024) {
            camera.wControlLength = static_cast<uint16_t>(length);
            return true;
        }
        fault = "len must be a number from 1 to 1024";
    } else if (key == "pattern") {
        if (!value.empty() && value.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string_view::npos) {
            camera.strPattern = std::string(value);
            return true;
        }
        fault = "pattern must be one lower-case word";
    } else if (key == "fps") {
        uint32_t rate = 0;
        if (ParseNumber(value, rate) && rate >= 1 && rate <= 120) {
            camera.nFrameRate = rate;
            return true;
        }
        fault = "fps must be a number from 1 to 120";
    } else if (key == "vanish") {
        uint32_t ms = 0;
        if (ParseNumber(value, ms) && ms >= 1) {
            camera.dwVanishMs = ms;
            return true;
        }
        fault = "vanish must be a number of ms, at least 1";
    } else if (key == "back") {
        uint32_t ms = 0;
        if (ParseNumber(value, ms) && ms >= 1) {
            camera.dwBackMs = ms;
            return true;
        }
        fault = "back must be a number of ms, at least 1";
    } else if (key == "arrive") {
        uint32_t ms = 0;
        if (ParseNumber(value, ms)) {
            camera.dwArriveMs = ms;
            return true;
        }
        fault = "arrive must be a number of ms";
    } else if (key == "format") {
        if (value == "raw" || value == "mjpeg") {
            camera.bMjpeg = value == "mjpeg";
            return true;
        }
        fault = "format must be raw or mjpeg";
    } else {
        fault = "unknown setting \"" + std::string(key) +
                "\" (known: set, nopic, fail, len, pattern, fps, vanish, back, arrive, format)";
    }
    return false;
}

}  // namespace

bool SimCamera::HasPicture(uint32_t msSinceStart) const {
    if (dwPeriodMs == 0 || dwNoPictureMs == 0) return true;
    if (dwNoPictureMs >= dwPeriodMs) return false;
    return msSinceStart % dwPeriodMs >= dwNoPictureMs;
}

bool ParseSimCameras(std::string_view text, std::vector<SimCamera>& cameras, std::string& error) {
    cameras.clear();
    error.clear();
    if (Trim(text) == "none") return true;
    const std::vector<std::string_view> entries = Split(text, ';');
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string_view entry = Trim(entries[i]);
        // A trailing ';' leaves an empty last entry, which names nothing.
        if (entry.empty() && i + 1 == entries.size() && i > 0) break;
        const std::string where = "camera " + std::to_string(i + 1);
        const std::vector<std::string_view> parts = Split(entry, ',');
        SimCamera camera;
        camera.strName = std::string(Trim(parts[0]));
        if (camera.strName.empty()) {
            error = where + ": the name is empty";
            cameras.clear();
            return false;
        }
        for (size_t k = 1; k < parts.size(); ++k) {
            const std::string_view knob = Trim(parts[k]);
            const size_t eq = knob.find('=');
            std::string fault;
            if (eq == std::string_view::npos) {
                fault = "\"" + std::string(knob) + "\" is not of the form knob=value";
            } else if (ApplyKnob(camera, Trim(knob.substr(0, eq)), Trim(knob.substr(eq + 1)), fault)) {
                continue;
            }
            error = where + " (\"" + camera.strName + "\"): " + fault;
            cameras.clear();
            return false;
        }
        cameras.push_back(std::move(camera));
    }
    return true;
}

SimSource SimCamerasFromEnvironment(std::vector<SimCamera>& cameras, std::string& error) {
    cameras.clear();
    error.clear();
    const char* value = std::getenv(kSimCamerasVariable);
    if (value == nullptr || *value == '\0') return SimSource::Real;
    if (!ParseSimCameras(value, cameras, error)) {
        error = std::string(kSimCamerasVariable) + ": " + error;
        return SimSource::Invalid;
    }
    return SimSource::Simulated;
}

}  // namespace simcam
