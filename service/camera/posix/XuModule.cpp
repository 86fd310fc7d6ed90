#include "service/camera/XuModule.h"

#include "service/camera/XuBinding.h"

#include <dlfcn.h>
#include <glob.h>
#include <unistd.h>

#include <cstdio>

namespace camera {

const char* const kXuLibraryFileName = "libNodrik.so";

void* OpenXuModule(const std::string& path, std::string& error) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        error = why ? why : path + ": cannot be loaded";
    }
    return handle;
}

void* FindXuExport(void* module, const char* name) { return ::dlsym(module, name); }

void CloseXuModule(void* module) { ::dlclose(module); }

void ExplainNoCamera() {
    glob_t found{};
    if (::glob("/dev/video*", 0, nullptr, &found) != 0 || found.gl_pathc == 0) {
        std::fputs("No video device on this system. Connect a USB camera, or set ZELT2_SIM_CAMERAS to try the\n"
                   "simulated cameras.\n", stderr);
    } else {
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            if (::access(found.gl_pathv[i], R_OK | W_OK) != 0) {
                std::fprintf(stderr,
                             "%s cannot be opened by this user. Add the user to the group that owns it (usually\n"
                             "'video'), then log in again.\n",
                             found.gl_pathv[i]);
                break;
            }
        }
    }
    ::globfree(&found);
}

}  // namespace camera
