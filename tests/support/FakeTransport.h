#pragma once
// An in-memory transport behind a PpppTable: a viewer's Connect makes a pair
// of sessions, the viewer's end and the device's end, and the device's Listen
// returns its end. Bytes written on one end's channel are read on the other
// end's same channel. Every call can be made to fail, so the session server's
// failure paths run without a network.
//
// The table's functions take no context, so there is one fake per process;
// tests take it with CFakeTransport::Instance() and Reset() it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/client/PpppTable.h"
#include "tests/support/Wait.h"

namespace testsupport {

class CFakeTransport {
public:
    static CFakeTransport& Instance();
    static const pppp::PpppTable& Table();

    // Forgets every session and fault; reads wait at most `readWaitCapMs` of
    // real time however long a time-out they ask for.
    void Reset(uint32_t readWaitCapMs = 20);

    // A viewer opens a session: returns the viewer's end; the device's end is
    // queued for Listen.
    int ConnectViewer();
    int ConnectViewerFrom(uint32_t address);  // as 0xaabbccdd
    // The device end that belongs to a viewer end (and the other way round).
    int Peer(int handle);
    // Makes the next Listen calls return these results, in order, before any
    // queued session.
    void QueueListenResults(std::vector<int> results);
    // Sessions refused: every later Listen returns `result` at once.
    void FailListen(int result);

    // Fault injection, per end.
    void FailWrites(int handle, int result);                  // every later Write returns `result`
    void FailWritesOnChannel(int handle, uint8_t channel, int result);
    void SetCheckBuffer(int handle, int result, unsigned int pending);  // Check_Buffer on the video channel
    void FailReadAfter(int handle, size_t bytes, int result);  // reads fail once `bytes` more were delivered
    void SetRoute(uint8_t route) { m_byRoute = route; }
    void SetPath(uint8_t path) {  // PPPP_PATH_*
        std::lock_guard<std::mutex> hold(m_lock);
        m_byPath = path;
    }
    // Sessions opened from now on come from this IPv4 address (a.b.c.d as
    // 0xaabbccdd); 0, the default, leaves the record's address empty.
    void SetAddress(uint32_t address);
    // ... and from this broker account (its 24-bit key; 0, the default, none).
    void SetAccount(uint32_t key);
    // Sessions opened from now on have a channel binding: each end sees its
    // own (different ones: someone in the middle). Empty: none (the default).
    void SetBindings(std::vector<uint8_t> deviceSees, std::vector<uint8_t> viewerSees) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_deviceBinding = std::move(deviceSees);
        m_viewerBinding = std::move(viewerSees);
    }
    void FailConnect(int result) { m_nConnectFailure.store(result); }
    void FailCheck(int result) { m_nCheckResult = result; }

    // Bytes for an end to read, as if its peer had written them.
    void Inject(int handle, uint8_t channel, const std::vector<uint8_t>& bytes);

    // What an end wrote: one entry per Write call, per channel.
    std::vector<std::vector<uint8_t>> Written(int handle, uint8_t channel);
    size_t WriteCount(int handle, uint8_t channel);
    bool IsClosed(int handle);        // closed at this end
    int CloseCount(int handle);       // PPPP_Close calls for this end
    // Calls on an end after it was closed here, and closes of an end while a
    // call on it was under way: what a guarded handle never sees. Reads are
    // not counted: a close ends a read under way, so they need no guard.
    int UsesAfterClose();
    int ClosesUnderUse();
    int ListenCalls();
    int ListenBreaks();
    std::vector<int> AcceptedDeviceEnds();

    // The table's functions.
    int Listen(const char* did, unsigned int waitSeconds, unsigned int port, char enableRemote);
    int ListenBreak();
    int Check(int session, PPPP_SessionRecord* record);
    int Read(int session, unsigned char channel, char* buffer, int* size, unsigned int timeoutMs);
    int Write(int session, unsigned char channel, const char* buffer, int size);
    int CheckBuffer(int session, unsigned char channel, unsigned int* writePending, unsigned int* readPending);
    int Close(int session);
    int ChannelBinding(int session, unsigned char* out, int size);
    int Connect(const char* did, unsigned int timeoutMs);
    std::string LastDid();

private:
    struct End {
        int peer = -1;
        uint32_t address = 0;  // as 0xaabbccdd
        uint32_t account = 0;
        std::vector<uint8_t> binding;
        bool closedHere = false;
        int closeCalls = 0;
        std::deque<uint8_t> incoming[2];
        std::vector<std::vector<uint8_t>> written[2];
        int writeFault[2] = {0, 0};
        int checkResult = 0;
        unsigned int pending = 0;
        bool readFaultArmed = false;
        size_t readFaultBudget = 0;
        int readFault = 0;
        int busy = 0;  // calls under way on this end
    };
    // Counts a call on `session` while it lasts; under m_lock.
    struct CallScope {
        CFakeTransport& fake;
        int session;
        CallScope(CFakeTransport& f, int s);
        ~CallScope();
    };
    End* Find(int handle);  // under m_lock
    int ConnectLocked(const char* did, uint32_t address);

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<int, End> m_ends;
    int m_nNextHandle = 1;
    std::deque<int> m_listenResults;
    std::deque<int> m_pendingAccepts;
    std::vector<int> m_accepted;
    int m_nListenFailure = 0;
    bool m_bBreak = false;
    int m_nListenCalls = 0;
    int m_nListenBreaks = 0;
    uint8_t m_byRoute = 0;
    uint8_t m_byPath = 0;
    uint32_t m_dwAddress = 0;
    uint32_t m_dwAccount = 0;
    std::vector<uint8_t> m_deviceBinding, m_viewerBinding;
    int m_nUsesAfterClose = 0;
    int m_nClosesUnderUse = 0;
    int m_nCheckResult = 0;
    std::atomic<int> m_nConnectFailure{0};
    uint32_t m_dwReadWaitCapMs = 20;
    std::string m_strLastDid;
};

}  // namespace testsupport
