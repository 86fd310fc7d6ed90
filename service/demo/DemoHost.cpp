#include "service/demo/DemoHost.h"

namespace demo {

void CDemoHost::SetStatus(int status) {
    m_nStatus.store(status);
    if (status == session::kStatusWrongDid) {
        Log("Status: Wrong DID (the transport will not listen under it)");
    } else {
        Log("Status: " + std::to_string(status));
    }
}

void CDemoHost::StopCapture() {
    // Called on the listener thread; the source belongs to the owner's
    // thread, which stops it when it sees the request (or the server stopped).
    m_bCaptureStopWanted.store(true);
    Log("Capture stop asked for");
}

void CDemoHost::ChangeCameraMode(int mode, const std::function<bool()>& apply) {
    std::lock_guard<std::mutex> sequence(m_camera);
    if (!apply()) return;
    m_nCameraMode.store(mode);
    Log("Camera mode " + std::to_string(mode) + " asked for (no camera here: the file plays on)");
}

uint32_t CDemoHost::SetVideoTimer() {
    // No camera to poll, so no still frames: the timer only has to exist.
    Log("Still-frame poll started");
    return 101;
}

void CDemoHost::KillVideoTimer(uint32_t) { Log("Still-frame poll stopped"); }

void CDemoHost::RequestKeyFrame() {
    if (m_pSource) m_pSource->RequestKeyFrame();
}

void CDemoHost::ReportInterceptedLogin(uint32_t refusals) {
    Log("Login refused over another channel (" + std::to_string(refusals) +
        " since the last report): someone may sit between the device and its viewer");
}

}  // namespace demo
