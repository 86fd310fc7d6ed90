#include "service/app/console/ServiceStatus.h"

#include <cstdio>
#include <memory>

#include "platform/Files.h"
#include "service/app/ServiceApp.h"
#include "service/settings/SettingsClaim.h"

namespace app {

std::string ServiceStatusPath() {
    const std::string dir = settings::CSettingsClaim::StateFolder();
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
    // Readable by others: it holds nothing secret, and monitors may run as
    // another user (the folder still decides who reaches it).
    return platform::ReplaceFileText(path, text);
}

int PrintServiceStatus(FILE* out) {
    const std::string path = ServiceStatusPath();
    if (!settings::CSettingsClaim::HeldByAnyone()) {
        std::fprintf(out, "serving: no\nstatus: no ZELT2Service runs on the settings in %s\n",
                     settings::CSettingsClaim().Where().c_str());
        return kExitServiceStopped;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(platform::OpenFile(path, "rb"), &std::fclose);
    if (!file) {
        std::fprintf(out, "serving: no\nstatus: a ZELT2Service holds the settings in %s but tells nothing yet\n",
                     settings::CSettingsClaim().Where().c_str());
        return kExitServiceStopped;
    }
    // Ours is a few lines; more is not a status.
    char buffer[4096];
    const std::string body(buffer, std::fread(buffer, 1, sizeof buffer, file.get()));
    std::string age;
    if (const std::optional<long long> seconds = platform::FileAgeSeconds(path))
        age = "updated: " + std::to_string(*seconds) + " s ago\n";
    std::fputs((body + age).c_str(), out);
    return body.rfind("serving: yes\n", 0) == 0 ? kExitDone : kExitServiceStopped;
}

}  // namespace app
