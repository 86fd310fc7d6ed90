#pragma once
// The program's capture: the capture control over the real capture graph,
// and the still frames from the program's resources.

#include "service/app/ServiceCapture.h"

namespace app {

CaptureFactory LiveCaptureFactory();

}  // namespace app
