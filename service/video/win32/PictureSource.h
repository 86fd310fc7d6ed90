#pragma once
// Where the capture's pictures come from, as NV12 samples of the capture's
// size: the camera through a Media Foundation source reader
// (CameraPictureSource.cpp), or, with simulated cameras (ZELT2_SIM_CAMERAS),
// a test picture at the camera's frame rate that can vanish as an unplugged
// camera does, and come back (TestPictureSource.cpp).
//
// Threads: made, read and released on the capture's thread, with Media
// Foundation started there; Interrupt on any thread while it lives.

#include <windows.h>
#include <mfidl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "service/video/Capture.h"
#include "service/video/win32/ComPtr.h"
#include "xulib/sim/SimCameras.h"

namespace video {

enum class PictureRead {
    Picture,  // `picture` holds the next one
    Nothing,  // no picture this time (a gap in the stream); read again
    Gone,     // the camera went away or can no longer be read
};

class IPictureSource {
public:
    virtual ~IPictureSource() = default;
    // Waits for the next picture, at most about a frame interval of the
    // camera's; the picture's buffer holds NV12 of the asked size.
    virtual PictureRead Next(ComPtr<IMFSample>& picture) = 0;
    // Ends a wait in Next (which then tells Gone) from another thread, for a
    // camera that gives no more pictures; it must not block.
    virtual void Interrupt() {}
};

struct PictureSourceMade {
    std::unique_ptr<IPictureSource> pSource;
    std::string strName;     // the camera taken, UTF-8
    std::string strProblem;  // without a source: the text for the user
    bool bAbsent = false;    // without a source because no camera of that name is there
};

// The source of the camera that `name` selects (Capture.h: by its whole
// name, or the first when empty), giving pictures of `format`'s size.
PictureSourceMade MakePictureSource(const std::string& name, const CaptureFormat& format);

// A simulated camera's source (TestPictureSource.cpp): a test picture at the
// camera's frame rate, gone after its vanish time; absent while it is away.
PictureSourceMade MakeTestPictureSource(const simcam::SimCamera& camera, const CaptureFormat& format);

}  // namespace video
