// The video fan-out: every encoded frame, sealed for every viewer with video on.

#include "service/session/Fanout.h"

#include "platform/Clock.h"
#include "platform/Trace.h"

namespace session {

CFanout::CFanout(SessionContext& context) : m_ctx(context), m_pPacketBuf(new uint8_t[kPacketBufferSize]) {}

void CFanout::FreePacketBuffer() {
    std::lock_guard<std::mutex> hold(m_fanoutLock);
    m_pPacketBuf.reset();
}

uint32_t CFanout::Timestamp() const {
    // After the tick count has wrapped (about 49.7 days) it is below the start.
    const uint32_t now = platform::GetTickCount();
    const uint32_t start = m_dwCaptureStart.load();
    return now >= start ? now - start : start - now - 1;
}

void CFanout::OnEncodedFrame(const EncodedFrame& frame) {
    const uint8_t* data = frame.pData;
    const uint32_t length = frame.nLength;
    const bool gated = frame.IsLive();
    // The packet buffer is shared by all callers: one frame at a time. Nothing
    // in here waits: the transport's writes and checks do not block, and a
    // viewer that cannot keep up is skipped rather than waited for.
    std::lock_guard<std::mutex> hold(m_fanoutLock);
    const int online = m_ctx.slotTable.Recount();
    const uint8_t deltaFrame = frame.IsDelta() ? 1 : 0;
    if (!m_ctx.bRunning.load()) return;
    if (length > kMaxFramePayload) {
        ZTRACE("frame of %u bytes is longer than %zu, skipped\n", length, kMaxFramePayload);
        return;
    }
    if (!m_pPacketBuf || (length > 0 && !data)) return;

    PacketFields fields;
    fields.kind = KindSealed32;
    fields.command = CmdVideoFrame;
    fields.viewerCount = static_cast<uint8_t>(online);
    fields.deltaFrame = deltaFrame;
    fields.timestampMs = Timestamp();

    bool wantKeyFrame = false;
    // Every viewer's packet holds the same payload, scrambled with a byte that
    // only the payload's first byte moves: the buffer keeps it from one viewer
    // to the next, and each viewer's packet writes its own head.
    int payloadScramble = CPacketSealer::kNoPayload;
    // Sessions found gone, closed after the pass (a close waits for the pass).
    struct Gone {
        SessionSlot* slot;
        uint32_t generation;
    } gone[kMaxSessions];
    int goneCount = 0;
    CSlotPass pass = m_ctx.slotTable.Pass();
    for (SessionSlot& slot : m_ctx.slotTable) {
        if (!slot.bInUse.load(std::memory_order_acquire) || !slot.bVideoOn.load()) continue;
        // Waiting for a key frame, with nothing to learn from its backlog.
        if (gated && deltaFrame && !slot.bKeySent.load() && !slot.bBacklogged.load()) continue;
        // Read again once open: the slot may hold a newer session by now.
        const int32_t handle = CSlotPass::Handle(slot);
        if (handle < 0 || !slot.bVideoOn.load()) continue;

        unsigned int pending = 0;
        const int checked = m_ctx.pppp.Check_Buffer(handle, kChannelVideo, &pending, nullptr);
        if (IsSessionGone(checked)) {
            gone[goneCount++] = {&slot, slot.nGeneration.load()};
            continue;
        }
        if (pending > kBackPressureBytes) {
            // A viewer that cannot keep up misses frames until its backlog has
            // drained, and then waits for a key frame; the others go on.
            slot.bKeySent.store(false);
            slot.bBacklogged.store(true);
            continue;
        }
        // Drained: one key frame is asked for, for this backlog.
        // (Looked at first: an exchange on every frame is a locked instruction per viewer.)
        if (slot.bBacklogged.load(std::memory_order_relaxed) && slot.bBacklogged.exchange(false)) wantKeyFrame = true;
        if (gated && !slot.bKeySent.load()) {
            if (deltaFrame) continue;
            slot.bKeySent.store(true);
        }
        if (!gated) {
            // A stored picture replaces what the viewer's decoder holds, so
            // live deltas make sense to it again only after a key frame.
            slot.bKeySent.store(false);
            wantKeyFrame = true;
        }
        const size_t size = m_ctx.byScramble.BuildSealedPacket(slot.aesSessionKey, m_pPacketBuf.get(),
                                                               kPacketBufferSize, fields, data, length,
                                                               payloadScramble);
        if (size > 0)
            m_ctx.pppp.Write(handle, kChannelVideo, reinterpret_cast<const char*>(m_pPacketBuf.get()),
                             static_cast<int>(size));
    }
    pass.End();
    for (int i = 0; i < goneCount; ++i) m_ctx.slotTable.Close(*gone[i].slot, gone[i].generation);
    if (wantKeyFrame) m_ctx.host.RequestKeyFrame();
}

}  // namespace session
