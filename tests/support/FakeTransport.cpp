#include "tests/support/FakeTransport.h"

#include <algorithm>
#include <chrono>

namespace testsupport {
namespace {

int FListen(const char* did, unsigned int w, unsigned int p, char r) {
    return CFakeTransport::Instance().Listen(did, w, p, r);
}
int FListenBreak() { return CFakeTransport::Instance().ListenBreak(); }
int FCheck(int s, PPPP_SessionRecord* rec) { return CFakeTransport::Instance().Check(s, rec); }
int FRead(int s, unsigned char c, char* b, int* n, unsigned int t) { return CFakeTransport::Instance().Read(s, c, b, n, t); }
int FWrite(int s, unsigned char c, const char* b, int n) { return CFakeTransport::Instance().Write(s, c, b, n); }
int FCheckBuffer(int s, unsigned char c, unsigned int* w, unsigned int* r) {
    return CFakeTransport::Instance().CheckBuffer(s, c, w, r);
}
int FClose(int s) { return CFakeTransport::Instance().Close(s); }
int FConnect(const char* did, unsigned int t) { return CFakeTransport::Instance().Connect(did, t); }
int FConnectTo(const char* did, const char*, unsigned int t) { return CFakeTransport::Instance().Connect(did, t); }
int FChannelBinding(int s, unsigned char* out, int n) { return CFakeTransport::Instance().ChannelBinding(s, out, n); }
int FInitialize(const char*) { return 0; }
int FDeInitialize() { return 0; }

}  // namespace

CFakeTransport& CFakeTransport::Instance() {
    static CFakeTransport fake;
    return fake;
}

const pppp::PpppTable& CFakeTransport::Table() {
    static const pppp::PpppTable table{FInitialize, FDeInitialize, FListen, FListenBreak, FCheck,  FRead,
                                          FWrite,      FCheckBuffer,  FClose,  FConnect,     FConnectTo,
                                          FChannelBinding};
    return table;
}

void CFakeTransport::Reset(uint32_t readWaitCapMs) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_ends.clear();
    m_listenResults.clear();
    m_pendingAccepts.clear();
    m_accepted.clear();
    m_nListenFailure = 0;
    m_bBreak = false;
    m_nListenCalls = 0;
    m_nListenBreaks = 0;
    m_byRoute = 0;
    m_byPath = 0;
    m_dwAddress = 0;
    m_dwAccount = 0;
    m_deviceBinding.clear();
    m_viewerBinding.clear();
    m_nUsesAfterClose = 0;
    m_nClosesUnderUse = 0;
    m_nCheckResult = 0;
    m_nConnectFailure.store(0);
    m_dwReadWaitCapMs = readWaitCapMs;
    m_strLastDid.clear();
    m_changed.notify_all();
}

CFakeTransport::End* CFakeTransport::Find(int handle) {
    auto it = m_ends.find(handle);
    return it == m_ends.end() ? nullptr : &it->second;
}

int CFakeTransport::ConnectViewer() { return Connect("", 0); }

int CFakeTransport::ConnectViewerFrom(uint32_t address) {
    std::lock_guard<std::mutex> hold(m_lock);
    return ConnectLocked("", address);
}

int CFakeTransport::Connect(const char* did, unsigned int) {
    std::lock_guard<std::mutex> hold(m_lock);
    return ConnectLocked(did, m_dwAddress);
}

int CFakeTransport::ConnectLocked(const char* did, uint32_t address) {
    m_strLastDid = did ? did : "";
    if (const int failure = m_nConnectFailure.load(); failure != 0) return failure;
    const int viewer = m_nNextHandle++;
    const int device = m_nNextHandle++;
    m_ends[viewer].peer = device;
    m_ends[device].peer = viewer;
    m_ends[device].address = address;
    m_ends[device].account = m_dwAccount;
    m_ends[device].binding = m_deviceBinding;
    m_ends[viewer].binding = m_viewerBinding;
    m_pendingAccepts.push_back(device);
    m_changed.notify_all();
    return viewer;
}

CFakeTransport::CallScope::CallScope(CFakeTransport& f, int s) : fake(f), session(s) {
    if (End* e = fake.Find(session)) {
        if (e->closedHere) ++fake.m_nUsesAfterClose;
        ++e->busy;
    }
}

CFakeTransport::CallScope::~CallScope() {
    if (End* e = fake.Find(session)) --e->busy;
}

int CFakeTransport::UsesAfterClose() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_nUsesAfterClose;
}

int CFakeTransport::ClosesUnderUse() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_nClosesUnderUse;
}

void CFakeTransport::SetAddress(uint32_t address) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_dwAddress = address;
}

void CFakeTransport::SetAccount(uint32_t key) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_dwAccount = key;
}

int CFakeTransport::Peer(int handle) {
    std::lock_guard<std::mutex> hold(m_lock);
    End* e = Find(handle);
    return e ? e->peer : -1;
}

void CFakeTransport::QueueListenResults(std::vector<int> results) {
    std::lock_guard<std::mutex> hold(m_lock);
    for (int r : results) m_listenResults.push_back(r);
    m_changed.notify_all();
}

void CFakeTransport::FailListen(int result) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_nListenFailure = result;
    m_changed.notify_all();
}

void CFakeTransport::FailWrites(int handle, int result) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (End* e = Find(handle)) e->writeFault[0] = e->writeFault[1] = result;
}

void CFakeTransport::FailWritesOnChannel(int handle, uint8_t channel, int result) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (End* e = Find(handle); e && channel < 2) e->writeFault[channel] = result;
}

void CFakeTransport::SetCheckBuffer(int handle, int result, unsigned int pending) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (End* e = Find(handle)) {
        e->checkResult = result;
        e->pending = pending;
    }
}

void CFakeTransport::FailReadAfter(int handle, size_t bytes, int result) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (End* e = Find(handle)) {
        e->readFaultArmed = true;
        e->readFaultBudget = bytes;
        e->readFault = result;
    }
    m_changed.notify_all();
}

void CFakeTransport::Inject(int handle, uint8_t channel, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (End* e = Find(handle); e && channel < 2) e->incoming[channel].insert(e->incoming[channel].end(), bytes.begin(), bytes.end());
    m_changed.notify_all();
}

std::vector<std::vector<uint8_t>> CFakeTransport::Written(int handle, uint8_t channel) {
    std::lock_guard<std::mutex> hold(m_lock);
    End* e = Find(handle);
    return e && channel < 2 ? e->written[channel] : std::vector<std::vector<uint8_t>>{};
}

size_t CFakeTransport::WriteCount(int handle, uint8_t channel) {
    std::lock_guard<std::mutex> hold(m_lock);
    End* e = Find(handle);
    return e && channel < 2 ? e->written[channel].size() : 0;
}

bool CFakeTransport::IsClosed(int handle) {
    std::lock_guard<std::mutex> hold(m_lock);
    End* e = Find(handle);
    return !e || e->closedHere;
}

int CFakeTransport::CloseCount(int handle) {
    std::lock_guard<std::mutex> hold(m_lock);
    End* e = Find(handle);
    return e ? e->closeCalls : 0;
}

int CFakeTransport::ListenCalls() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_nListenCalls;
}

int CFakeTransport::ListenBreaks() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_nListenBreaks;
}

std::vector<int> CFakeTransport::AcceptedDeviceEnds() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_accepted;
}

std::string CFakeTransport::LastDid() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_strLastDid;
}

int CFakeTransport::Listen(const char* did, unsigned int, unsigned int, char) {
    std::unique_lock<std::mutex> hold(m_lock);
    ++m_nListenCalls;
    m_strLastDid = did ? did : "";
    m_changed.notify_all();
    for (;;) {
        if (!m_listenResults.empty()) {
            const int r = m_listenResults.front();
            m_listenResults.pop_front();
            return r;
        }
        if (m_nListenFailure != 0) return m_nListenFailure;
        if (!m_pendingAccepts.empty()) {
            const int device = m_pendingAccepts.front();
            m_pendingAccepts.pop_front();
            m_accepted.push_back(device);
            m_changed.notify_all();
            return device;
        }
        if (m_bBreak) {
            m_bBreak = false;
            return PPPP_ERR_INTERRUPTED;
        }
        m_changed.wait(hold);
    }
}

int CFakeTransport::ListenBreak() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bBreak = true;
    ++m_nListenBreaks;
    m_changed.notify_all();
    return PPPP_OK;
}

int CFakeTransport::Check(int session, PPPP_SessionRecord* record) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!record || !Find(session)) return PPPP_ERR_CLOSED_LOCALLY;
    if (m_nCheckResult != 0) return m_nCheckResult;
    record->bytes[PPPP_SESSION_ROUTE_OFFSET] = m_byRoute;
    record->bytes[PPPP_REC_PATH] = m_byPath;
    const uint32_t address = Find(session)->address;
    for (int k = 0; k < 4; ++k)
        record->bytes[PPPP_REC_REMOTE_ADDR + k] = static_cast<unsigned char>(address >> (24 - 8 * k));
    const uint32_t account = Find(session)->account;
    for (int k = 0; k < 3; ++k)
        record->bytes[PPPP_REC_PEER_ACCOUNT + k] = static_cast<unsigned char>(account >> (16 - 8 * k));
    return PPPP_OK;
}

int CFakeTransport::ChannelBinding(int session, unsigned char* out, int size) {
    std::lock_guard<std::mutex> hold(m_lock);
    End* e = Find(session);
    if (!e) return PPPP_ERR_CLOSED_LOCALLY;
    if (e->binding.empty()) return 0;
    if (!out || size < static_cast<int>(e->binding.size())) return PPPP_ERR_BAD_ARGUMENT;
    std::copy(e->binding.begin(), e->binding.end(), out);
    return static_cast<int>(e->binding.size());
}

int CFakeTransport::Read(int session, unsigned char channel, char* buffer, int* size, unsigned int timeoutMs) {
    if (!size || !buffer || *size <= 0 || channel > 1) return PPPP_ERR_BAD_ARGUMENT;
    const size_t wanted = static_cast<size_t>(*size);
    *size = 0;
    std::unique_lock<std::mutex> hold(m_lock);
    // Not counted as a call on the end: as with the real transport, a close
    // may come under a read (which then returns at once) or before it.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::min(timeoutMs, m_dwReadWaitCapMs));
    auto peerClosed = [&](End* e) {
        End* p = Find(e->peer);
        return !p || p->closedHere;
    };
    for (;;) {
        End* e = Find(session);
        if (!e || e->closedHere) return PPPP_ERR_CLOSED_LOCALLY;
        auto& in = e->incoming[channel];
        auto deliver = [&](size_t n) {
            std::copy(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n), buffer);
            in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
            *size = static_cast<int>(n);
            if (e->readFaultArmed) e->readFaultBudget -= n;
        };
        if (e->readFaultArmed && e->readFaultBudget < wanted && in.size() >= e->readFaultBudget) {
            deliver(e->readFaultBudget);
            return e->readFault;
        }
        if (in.size() >= wanted) {
            deliver(wanted);
            return PPPP_OK;
        }
        if (peerClosed(e)) {
            deliver(in.size());
            return PPPP_ERR_CLOSED_BY_PEER;
        }
        if (m_changed.wait_until(hold, deadline) == std::cv_status::timeout) {
            e = Find(session);
            if (!e || e->closedHere) return PPPP_ERR_CLOSED_LOCALLY;
            auto& rest = e->incoming[channel];
            if (rest.size() >= wanted) continue;
            const size_t n = e->readFaultArmed ? std::min(rest.size(), e->readFaultBudget) : rest.size();
            std::copy(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n), buffer);
            rest.erase(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n));
            *size = static_cast<int>(n);
            if (e->readFaultArmed) e->readFaultBudget -= n;
            return PPPP_ERR_TIMEOUT;
        }
    }
}

int CFakeTransport::Write(int session, unsigned char channel, const char* buffer, int size) {
    if (!buffer || size < 0 || channel > 1) return PPPP_ERR_BAD_ARGUMENT;
    std::lock_guard<std::mutex> hold(m_lock);
    const CallScope call(*this, session);
    End* e = Find(session);
    if (!e || e->closedHere) return PPPP_ERR_CLOSED_LOCALLY;
    if (e->writeFault[channel] != 0) return e->writeFault[channel];
    End* p = Find(e->peer);
    if (!p || p->closedHere) return PPPP_ERR_CLOSED_BY_PEER;
    e->written[channel].emplace_back(buffer, buffer + size);
    p->incoming[channel].insert(p->incoming[channel].end(), buffer, buffer + size);
    m_changed.notify_all();
    return size;
}

int CFakeTransport::CheckBuffer(int session, unsigned char channel, unsigned int* writePending,
                                unsigned int* readPending) {
    if (channel > 1) return PPPP_ERR_BAD_ARGUMENT;
    std::lock_guard<std::mutex> hold(m_lock);
    const CallScope call(*this, session);
    End* e = Find(session);
    if (!e || e->closedHere) return PPPP_ERR_CLOSED_LOCALLY;
    if (channel == 1 && e->checkResult != 0) return e->checkResult;
    End* p = Find(e->peer);
    if (!p || p->closedHere) return PPPP_ERR_CLOSED_BY_PEER;
    if (writePending) *writePending = channel == 1 ? e->pending : 0;
    if (readPending) *readPending = static_cast<unsigned int>(e->incoming[channel].size());
    return PPPP_OK;
}

int CFakeTransport::Close(int session) {
    std::lock_guard<std::mutex> hold(m_lock);
    End* e = Find(session);
    if (!e) return PPPP_ERR_CLOSED_LOCALLY;
    ++e->closeCalls;
    if (e->busy > 0) ++m_nClosesUnderUse;
    e->closedHere = true;
    m_changed.notify_all();
    return PPPP_OK;
}

}  // namespace testsupport
