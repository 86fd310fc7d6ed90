#pragma once
// What the session server needs from its owner (the service controller). The
// owner implements this; the server never reaches into it otherwise.
//
// Several operations are called from the server's own threads while the
// owner's thread may be waiting for those threads (stopping the service
// waits for the listener and the readers). An implementation must therefore
// never wait for the owner's thread: it hands the work over (posts it) and
// returns.

#include <cstdint>
#include <functional>

namespace session {

// The status the listener sets when the transport refuses the DID.
inline constexpr int kStatusWrongDid = 5;

class ISessionHost {
public:
    // Stores `status` as the owner's current status and shows it. Called on
    // the listener thread; must not wait for the owner's thread.
    virtual void SetStatus(int status) = 0;

    // Stops the capture. Called on the listener thread when listening
    // cannot work; must not wait for the owner's thread.
    virtual void StopCapture() = 0;

    // Changes the camera's mode as one use of the camera channel, apart from
    // every other use (the still-frame poll, capture start): within the
    // channel's sequence, calls `apply`, and when it returns true opens the
    // channel for the camera selected in the camera list, sends command 48
    // with value 0 and command 20 with `mode`, and closes it; the results are
    // not examined. `apply` sets the server's mode, so that the mode and the
    // camera change together; it takes no lock. Called on a reader thread.
    virtual void ChangeCameraMode(int mode, const std::function<bool()>& apply) = 0;

    // Starts the still-frame poll (every 2500 ms) and returns its
    // identifier, non-zero; 0 when it could not be started. Stops it again.
    // Called on reader threads and the owner's thread; must not wait for
    // the owner's thread.
    virtual uint32_t SetVideoTimer() = 0;
    virtual void KillVideoTimer(uint32_t timerId) = 0;

    // A viewer waits for a key frame: asks the encoder for one now rather than
    // at its next scheduled key frame. Called on reader threads and from within
    // the fan-out; must return at once and must not call back into the server.
    virtual void RequestKeyFrame() = 0;

    // A viewer started video: the host looks now, rather than at the still-
    // frame poll's next tick, whether the camera has a picture, and sends the
    // still when it has not, so that a viewer joining a camera without a
    // picture sees the still at once. The host bounds how often it looks (a
    // viewer could send VideoStart in a loop). Called on reader threads; must
    // return at once. A host without still frames has nothing to do.
    virtual void RequestStillCheck() {}

    // A viewer's login was refused because its answer was made over another
    // channel than the device's: someone between the two (whoever carries the
    // signalling, for one) may be trying to sit in the middle. `refusals`
    // counts those since the last report; the server reports the first at
    // once and then at most one a minute. Called on reader threads; must
    // return at once.
    virtual void ReportInterceptedLogin(uint32_t refusals) { (void)refusals; }

protected:
    ~ISessionHost() = default;
};

}  // namespace session
