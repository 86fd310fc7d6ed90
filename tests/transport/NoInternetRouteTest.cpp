// A libpppp built without the internet route: a rendezvous file asks for a
// route it does not have, so initialisation fails as for an unusable file,
// with one line that names the file and says why.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string ToolPath() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    self[n] = '\0';
    const std::string path(self);
    return path.substr(0, path.rfind('/')) + "/pppp_tool";
}

TEST(NoInternetRoute, ARendezvousFileIsNamedAndInitialisationFails) {
    testsupport::CTempDir dir;
    testsupport::WriteBytes(dir.File("rendezvous.conf"), "broker = mqtt://198.51.100.1:1883\nbroker-in-clear = yes\nuser = viewer.one\n"
                                                         "password = pw-SECRET\n");
    ::chmod(dir.File("rendezvous.conf").c_str(), 0600);
    testsupport::ChildOptions o;
    o.environment = {"ZELT2_RENDEZVOUS=" + dir.File("rendezvous.conf")};
    o.log = dir.File("log");
    testsupport::CChildProcess tool(ToolPath(), {"viewer", "CAM-1", "--timeout-ms", "100"}, o);
    EXPECT_EQ(tool.Wait(10000), 1);
    const std::string text = Slurp(dir.File("log"));
    EXPECT_NE(text.find("libpppp: rendezvous file " + dir.File("rendezvous.conf") +
                        ": this build of libpppp has no internet route"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("(-5)"), std::string::npos) << text;
    EXPECT_EQ(text.find("SECRET"), std::string::npos) << text;
}

}  // namespace
