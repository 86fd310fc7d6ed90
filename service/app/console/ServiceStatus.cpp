#include "service/app/console/ServiceStatus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "service/app/ServiceApp.h"
#include "service/settings/SettingsClaim.h"

namespace app {

std::string ServiceStatusPath() {
    const std::string dir = settings::CSettingsClaim().Where();
    return dir.empty() ? std::string() : dir + "/ZELT2Service.status";
}

std::string FormatServiceStatus(const ServiceStatusReport& report, long pid) {
    std::string text;
    text += std::string("serving: ") + (report.bServing ? "yes" : "no") + "\n";
    text += "status: " + report.strStatus + "\n";
    text += "camera: " + report.strCamera + (report.bCameraAway ? " (away: waiting for it)" : " (present)") + "\n";
    text += "viewers: " + std::to_string(report.nViewers) + "\n";
    text += "frames sent: " + std::to_string(report.nFramesSent) + "\n";
    text += "encoder: " + (report.strEncoder.empty() ? std::string("none") : report.strEncoder) + "\n";
    text += "pid: " + std::to_string(pid) + "\n";
    return text;
}

bool WriteServiceStatus(const std::string& path, const std::string& text) {
    if (path.empty()) return false;
    const std::string fresh = path + ".new";
    // Readable by others: it holds nothing secret, and monitors may run as
    // another user (the folder still decides who reaches it).
    const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return written && ::rename(fresh.c_str(), path.c_str()) == 0;
}

int PrintServiceStatus(FILE* out) {
    const std::string path = ServiceStatusPath();
    if (!settings::CSettingsClaim::HeldByAnyone()) {
        std::fprintf(out, "serving: no\nstatus: no ZELT2Service runs on the settings in %s\n",
                     settings::CSettingsClaim().Where().c_str());
        return kExitServiceStopped;
    }
    std::ifstream file(path);
    if (!file) {
        std::fprintf(out, "serving: no\nstatus: a ZELT2Service holds the settings in %s but tells nothing yet\n",
                     settings::CSettingsClaim().Where().c_str());
        return kExitServiceStopped;
    }
    std::stringstream text;
    text << file.rdbuf();
    const std::string body = text.str();
    struct stat info{};
    std::string age;
    if (::stat(path.c_str(), &info) == 0) age = "updated: " + std::to_string(std::time(nullptr) - info.st_mtime) + " s ago\n";
    std::fputs((body + age).c_str(), out);
    return body.rfind("serving: yes\n", 0) == 0 ? kExitDone : kExitServiceStopped;
}

}  // namespace app
