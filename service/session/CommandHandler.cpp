// The login and the commands of a viewer, and the control packets they are
// answered with.

#include "service/session/CommandHandler.h"

#include <cstring>

#include "platform/Clock.h"
#include "platform/Trace.h"
#include "wire/Aes.h"
#include "wire/LoginProof.h"

namespace session {
namespace {

// Compares without an early exit, so the time taken says nothing about how
// much of a login response was right.
bool SameBlock(const uint8_t* a, const uint8_t* b) {
    uint8_t diff = 0;
    for (size_t i = 0; i < kKeySize; ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}

bool Before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

}  // namespace

bool CCommandHandler::AwaitAnswerTurn(SessionSlot& slot) {
    const uint32_t address = slot.dwRemoteAddress.load();
    // First the sender's own wait (its refusals), then the device's queue.
    for (;;) {
        const uint32_t now = platform::GetTickCount();
        uint32_t due = m_throttle.NotBefore(address, now);
        const uint32_t held = slot.dwNextAnswerTick.load();
        if (slot.bAnswerHeld.load() && Before(due, held)) due = held;
        if (!Before(now, due)) break;
        slot.answer.store(AnswerState::Held);
        if (!PauseReader(slot, due - now)) return false;
    }
    const bool refused = slot.bAnswerHeld.load() || m_throttle.HasRefusals(address, platform::GetTickCount());
    const uint64_t ticket = m_throttle.JoinQueue(refused);
    slot.answer.store(AnswerState::Queued);
    while (!m_throttle.TakeLook(ticket, platform::GetTickCount())) {
        if (!PauseReader(slot, kQueuePollMs)) {
            m_throttle.LeaveQueue(ticket);
            return false;
        }
    }
    return true;
}

bool CCommandHandler::PauseReader(SessionSlot& slot, uint32_t ms) {
    if (slot.bClosing.load() || !m_ctx.bRunning.load()) return false;
    platform::Sleep(ms < 50 ? ms : 50);
    if (slot.bClosing.load() || !m_ctx.bRunning.load()) return false;
    // A sender that has gone while its answer waits gets no look: its place
    // in the queue and in the table goes at once, not when its turn comes.
    CSlotUse use = m_ctx.slotTable.Use(slot);
    return use && !IsSessionGone(m_ctx.pppp.Check_Buffer(use.Handle(), kChannelControl, nullptr, nullptr));
}

void CCommandHandler::DoAuth(SessionSlot& slot, const uint8_t* body) {
    if (LoadU16(body + kBodyCommand) != CmdAuthResponse) return;
    // Guessing costs time: see LoginThrottle.h.
    if (!AwaitAnswerTurn(slot)) {
        slot.answer.store(AnswerState::None);
        return;
    }
    CSlotUse use = m_ctx.slotTable.Use(slot);
    if (!use) {
        slot.answer.store(AnswerState::None);
        return;
    }
    const uint32_t address = slot.dwRemoteAddress.load();
    const uint16_t length = LoadU16(body + kBodyPayloadLength16);
    const uint8_t* answer = body + kBodyPayload;
    // A bound answer names the channel it was made over: one made over other
    // certificates is told apart from a wrong password (it is refused either way).
    const bool otherChannel =
        slot.bBound && length == kBoundAuthResponse && !SameBytes(answer + kProofSize, slot.abyBinding, kBindingSize);
    // Fewer than 16 bytes are compared as sent followed by the buffer's zeros.
    const bool right = slot.bBound ? length == kBoundAuthResponse && !otherChannel && SameBlock(answer, slot.abyExpected)
                                   : length != 0 && length <= kMaxAuthResponse && SameBlock(answer, slot.abyExpected);
    if (!right) {
        const uint32_t now = platform::GetTickCount();
        m_throttle.Refused(address, now);
        slot.dwNextAnswerTick.store(now + kAnswerPauseMs);
        slot.bAnswerHeld.store(true);
        slot.answer.store(AnswerState::None);
        if (otherChannel) {
            ZTRACE("login refused: the viewer sees other certificates on this channel; someone may sit in the "
                   "middle\n");
            if (const uint32_t refusals = m_interceptReports.Count(now)) m_ctx.host.ReportInterceptedLogin(refusals);
            const uint8_t reason = kRefusedOtherChannel;
            m_ctx.SendIOCtrl(use.Handle(), nullptr, CmdAuthRefused, &reason, sizeof reason, KindPlain);
            return;
        }
        m_ctx.SendIOCtrl(use.Handle(), nullptr, CmdAuthRefused, nullptr, 0, KindPlain);
        return;
    }
    m_throttle.Accepted(address);
    uint8_t accepted[kBoundAuthAccepted];
    AesEncryptBlock(128, slot.abySessionKey, kKeySize, slot.szPassword, kPasswordBufferSize, accepted);
    size_t acceptedSize = kKeySize;
    if (slot.bBound) {
        uint8_t proof[kProofSize];
        DeviceProof(slot.szPassword, slot.abyChallenge, slot.abyBinding, accepted, proof);
        std::memcpy(accepted + kKeySize, proof, sizeof proof);
        acceptedSize = kBoundAuthAccepted;
    }
    slot.bAuthed.store(true);
    slot.answer.store(AnswerState::None);
    m_ctx.SendIOCtrl(use.Handle(), nullptr, CmdAuthAccepted, accepted, acceptedSize, KindPlain);
}

void CCommandHandler::DoCommand(SessionSlot& slot, const uint8_t* body) {
    switch (LoadU16(body + kBodyCommand)) {
        case CmdVideoStart: {
            if (!slot.bAuthed.load()) return;
            if (LoadU16(body + kBodyPayloadLength16) >= kVideoStartModeSize) {
                const uint32_t mode = LoadU32(body + kBodyPayload);
                if (mode <= static_cast<uint32_t>(kMaxMode)) ChangeMode(static_cast<int>(mode));
            }
            // Video on first: a VideoStop elsewhere that looks for watchers
            // either sees this one or stops the poll before it starts again.
            slot.bVideoOn.store(true);
            StartVideoTimer();
            if (!slot.bKeySent.load()) m_ctx.host.RequestKeyFrame();
            m_ctx.host.RequestStillCheck();

            // Report phases run one at a time, each with the mode current at its
            // start; a mode change is followed by a phase of its own, so the
            // last report every watcher gets is the mode the camera is in.
            // (The transport's writes do not block.)
            std::lock_guard<std::mutex> reporting(m_reportLock);
            uint8_t report[kModeReportSize];
            StoreU32(report, static_cast<uint32_t>(m_nMode.load()));
            for (SessionSlot& watcher : m_ctx.slotTable) {
                if (!watcher.bInUse.load() || !watcher.bVideoOn.load()) continue;
                if (CSlotUse use = m_ctx.slotTable.Use(watcher))
                    m_ctx.SendIOCtrl(use.Handle(), watcher.abySessionKey, CmdModeReport, report, kModeReportSize,
                                     KindSealed16);
            }
            return;
        }
        case CmdVideoStop:
            // The still-frame poll goes on while anyone else still watches.
            slot.bVideoOn.store(false);
            StopVideoTimerIfUnwatched();
            return;
        case CmdMarkSet:
            if (slot.bAuthed.load()) slot.bMarked.store(true);
            return;
        case CmdMarkClear:
            slot.bMarked.store(false);
            return;
        default:
            return;
    }
}

void CCommandHandler::ChangeMode(int mode) {
    // The mode and the camera change together, apart from every other use of
    // the camera channel; of two viewers the later one sets both.
    bool changed = false;
    m_ctx.host.ChangeCameraMode(mode, [&] {
        if (mode == m_nMode.load()) return false;
        for (SessionSlot& slot : m_ctx.slotTable) slot.bKeySent.store(false);
        m_nMode.store(mode);
        changed = true;
        return true;
    });
    if (changed) m_ctx.host.RequestKeyFrame();
}

void CCommandHandler::StartVideoTimer() {
    std::lock_guard<std::mutex> hold(m_videoTimerLock);
    if (m_nVideoTimer.load() == 0) m_nVideoTimer.store(m_ctx.host.SetVideoTimer());
}

void CCommandHandler::StopVideoTimerIfUnwatched() {
    std::lock_guard<std::mutex> hold(m_videoTimerLock);
    for (SessionSlot& watcher : m_ctx.slotTable)
        if (watcher.bInUse.load() && watcher.bVideoOn.load()) return;
    StopVideoTimerLocked();
}

void CCommandHandler::StopVideoTimer() {
    std::lock_guard<std::mutex> hold(m_videoTimerLock);
    StopVideoTimerLocked();
}

void CCommandHandler::StopVideoTimerLocked() {
    const uint32_t timer = m_nVideoTimer.load();
    if (timer == 0) return;
    m_ctx.host.KillVideoTimer(timer);
    m_nVideoTimer.store(0);
}

}  // namespace session
