// ZELT2CamCtl: checks a camera before the service uses it, through the same
// library and command channel as the service.
//
//   ZELT2CamCtl list                     the cameras, and whether each one's extension unit is reachable
//   ZELT2CamCtl mode CAMERA MODE         sends the camera a mode (commands 48, then 20 with MODE)
//   ZELT2CamCtl status CAMERA [MODE]     asks the camera for its status byte (query 26)
//
// CAMERA is a position from the list or a camera's exact name.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ProgramDir.h"
#include "platform/Text.h"
#include "service/camera/CameraXU.h"
#include "service/camera/XuBinding.h"
#include "service/camera/XuModule.h"
#include "xulib/XuGuids.h"
#include "xulib/sim/SimCameras.h"

namespace {

// The exit statuses every ZELT2 program shares (see the README).
enum ExitCode : int {
    kExitOk = 0,
    kExitNoLibrary = 1,      // a part of the system itself failed
    kExitUsage = 2,          // bad command line or bad input (ZELT2_SIM_CAMERAS malformed too)
    kExitBadSimulation = 2,
    kExitNoCamera = 3,       // what was named is not there
    kExitRefused = 4,        // the camera refused a request or answered wrongly
    kExitUnreachable = 5,    // the extension unit cannot be reached
};

const char* const kUsage =
    "Usage:\n"
    "  ZELT2CamCtl list                   list the cameras and whether each one's extension unit is reachable\n"
    "  ZELT2CamCtl mode CAMERA MODE       send the camera mode MODE (0 to 3)\n"
    "  ZELT2CamCtl status CAMERA [MODE]   ask the camera for its status byte (asking about MODE, default 0)\n"
    "CAMERA is a position shown by 'list' or a camera's exact name.\n"
    "With ZELT2_SIM_CAMERAS set, the cameras are simulated ones (see the README).\n"
    "Exit status: 0 done, 1 library not loadable, 2 bad command line or ZELT2_SIM_CAMERAS malformed,\n"
    "             3 no such camera, 4 the camera refused a request or answered wrongly,\n"
    "             5 extension unit not reachable.\n";

int Usage(const char* problem) {
    if (problem) std::fprintf(stderr, "ZELT2CamCtl: %s\n", problem);
    std::fputs(kUsage, problem ? stderr : stdout);
    return problem ? kExitUsage : kExitOk;
}

bool ParseNumber(const char* text, int max, int& value) {
    if (!text || !*text) return false;
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (*end != '\0' || n < 0 || n > max) return false;
    value = static_cast<int>(n);
    return true;
}

struct Reach {
    bool bReachable = false;
    int nGuidSet = 0;             // 1 or 2; 0 when the camera did not tell
    unsigned dwControlLength = 0;  // of control 1 of unit 2, when known
};

// Opens the extension unit and finds the GUID set the library chose: after
// replacing a unit's GUID in the first set, the camera still answers a length
// query for that unit only if the library chose the second set.
Reach CheckCamera(camera::CCameraXU& channel, int index) {
    Reach reach;
    camera::CCameraXU::CSequence sequence = channel.BeginSequence();
    reach.bReachable = channel.Open(index);
    const camera::XuEntryPoints& xu = camera::XuEntries();
    if (!reach.bReachable || !xu.pOnSetUnitId || !xu.pOnSetCtrlId || !xu.pGetCurReqLen || !xu.pOnUVC_SetGUID) {
        return reach;
    }
    for (int unit : {2, 1}) {
        unsigned length = 0, again = 0;
        xu.pOnSetUnitId(unit);
        xu.pOnSetCtrlId(1);
        if (!xu.pGetCurReqLen(&length)) continue;
        const XuGuid blank{};
        xu.pOnUVC_SetGUID(unit, &blank);
        xu.pOnSetUnitId(unit);
        const bool stillAnswers = xu.pGetCurReqLen(&again);
        xu.pOnUVC_SetGUID(unit, &nodrik::kXuGuidSets[0][unit - 1]);
        reach.nGuidSet = stillAnswers ? 2 : 1;
        if (unit == 2) reach.dwControlLength = length;
        break;
    }
    channel.Close();
    return reach;
}

int List(camera::CCameraXU& channel, bool simulated) {
    const std::vector<std::u16string>& names = channel.GetDeviceList();
    if (names.empty()) {
        std::puts(simulated ? "No camera found (ZELT2_SIM_CAMERAS names no camera)." : "No camera found.");
        if (!simulated) camera::ExplainNoCamera();
        return kExitNoCamera;
    }
    if (simulated) std::puts("Simulated cameras (ZELT2_SIM_CAMERAS):");
    int reachable = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string name = platform::Utf16ToUtf8(names[i]);
        const Reach reach = CheckCamera(channel, static_cast<int>(i));
        std::printf("%zu  %s\n", i, name.c_str());
        if (!reach.bReachable) {
            std::puts("   extension unit: not reachable (no UVC extension unit under either GUID set)");
            continue;
        }
        ++reachable;
        if (reach.nGuidSet == 0) {
            std::puts("   extension unit: reachable; GUID set unknown (the camera answers no length query)");
            continue;
        }
        std::printf("   extension unit: reachable under GUID set %d (unit 2 %s)", reach.nGuidSet,
                    nodrik::FormatGuid(nodrik::kXuGuidSets[reach.nGuidSet - 1][1]).c_str());
        if (reach.dwControlLength) std::printf(", command control %u bytes", reach.dwControlLength);
        std::puts("");
    }
    std::printf("%zu camera(s), %d with a reachable extension unit.\n", names.size(), reachable);
    return kExitOk;
}

// Resolves CAMERA to a position; prints why when it cannot.
bool FindCamera(camera::CCameraXU& channel, const char* which, int& index, std::string& name) {
    const std::vector<std::u16string>& names = channel.GetDeviceList();
    int wanted = -1;
    if (ParseNumber(which, 1 << 20, wanted) && static_cast<size_t>(wanted) < names.size()) {
        index = wanted;
        name = platform::Utf16ToUtf8(names[static_cast<size_t>(wanted)]);
        return true;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (platform::Utf16ToUtf8(names[i]) == which) {
            index = static_cast<int>(i);
            name = which;
            return true;
        }
    }
    if (names.empty()) {
        std::fprintf(stderr, "ZELT2CamCtl: no camera found.\n");
    } else {
        std::fprintf(stderr, "ZELT2CamCtl: no camera \"%s\". The cameras are:\n", which);
        for (size_t i = 0; i < names.size(); ++i) {
            std::fprintf(stderr, "  %zu  %s\n", i, platform::Utf16ToUtf8(names[i]).c_str());
        }
    }
    return false;
}

int SendMode(camera::CCameraXU& channel, int index, const std::string& name, int mode) {
    camera::CCameraXU::CSequence sequence = channel.BeginSequence();
    if (!channel.Open(index)) {
        std::fprintf(stderr, "Camera %d \"%s\": the extension unit is not reachable.\n", index, name.c_str());
        return kExitUnreachable;
    }
    const bool before = channel.SendCommand(camera::kCameraCommandBeforeMode, 0);
    const bool set = channel.SendCommand(camera::kCameraCommandMode, static_cast<uint8_t>(mode));
    channel.Close();
    if (!before || !set) {
        std::fprintf(stderr, "Camera %d \"%s\": the camera refused command %d; mode %d may not be set.\n", index,
                     name.c_str(), before ? camera::kCameraCommandMode : camera::kCameraCommandBeforeMode, mode);
        return kExitRefused;
    }
    std::printf("Camera %d \"%s\": mode %d sent.\n", index, name.c_str(), mode);
    return kExitOk;
}

int QueryStatus(camera::CCameraXU& channel, int index, const std::string& name, int mode) {
    camera::CCameraXU::CSequence sequence = channel.BeginSequence();
    if (!channel.Open(index)) {
        std::fprintf(stderr, "Camera %d \"%s\": the extension unit is not reachable.\n", index, name.c_str());
        return kExitUnreachable;
    }
    uint8_t status = static_cast<uint8_t>(mode << 4);
    const bool ok = channel.Query(camera::kCameraQueryStatus, &status);
    channel.Close();
    if (!ok) {
        std::fprintf(stderr,
                     "Camera %d \"%s\": no status; the camera refused the query or answered without echoing it.\n",
                     index, name.c_str());
        return kExitRefused;
    }
    std::printf("Camera %d \"%s\": status byte 0x%02X (%s).\n", index, name.c_str(), status,
                (status & 0x0F) == 0 ? "low four bits clear: no picture, the service would send its still frame"
                                     : "low four bits set: the camera has a picture");
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no command given");
    const std::string command = argv[1];
    if (command == "help" || command == "-h" || command == "--help") return Usage(nullptr);

    int mode = 0;
    if (command == "list") {
        if (argc != 2) return Usage("'list' takes no arguments");
    } else if (command == "mode") {
        if (argc != 4) return Usage("'mode' takes a camera and a mode");
        if (!ParseNumber(argv[3], 3, mode)) return Usage("the mode must be 0, 1, 2 or 3");
    } else if (command == "status") {
        if (argc != 3 && argc != 4) return Usage("'status' takes a camera and, optionally, a mode");
        if (argc == 4 && !ParseNumber(argv[3], 15, mode)) return Usage("the mode must be a number from 0 to 15");
    } else {
        return Usage(("unknown command '" + command + "'").c_str());
    }

    std::vector<simcam::SimCamera> simulated;
    std::string error;
    const simcam::SimSource source = simcam::SimCamerasFromEnvironment(simulated, error);
    if (source == simcam::SimSource::Invalid) {
        std::fprintf(stderr, "ZELT2CamCtl: %s\n", error.c_str());
        return kExitBadSimulation;
    }

    const std::string directory = platform::GetProgramDirectory();
    if (camera::LoadXuLibrary(directory) != camera::kXuLoaded) {
        std::fprintf(stderr, "ZELT2CamCtl: failed to load %s from %s: %s\n", camera::kXuLibraryFileName,
                     directory.empty() ? "(program directory unknown)" : directory.c_str(),
                     camera::XuLibraryLoadError().c_str());
        return kExitNoLibrary;
    }

    int result = kExitOk;
    {
        camera::CCameraXU channel;
        if (command == "list") {
            result = List(channel, source == simcam::SimSource::Simulated);
        } else {
            int index = 0;
            std::string name;
            if (!FindCamera(channel, argv[2], index, name)) {
                result = kExitNoCamera;
            } else if (command == "mode") {
                result = SendMode(channel, index, name, mode);
            } else {
                result = QueryStatus(channel, index, name, mode);
            }
        }
    }
    camera::UnloadXuLibrary();
    return result;
}
