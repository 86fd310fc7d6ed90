#include "transport/internet/WebRtcPeer.h"

#define GST_USE_UNSTABLE_API
#include <arpa/inet.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>
#include <nice/agent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/Trace.h"
#include "transport/PPPP_API.h"
#include "transport/Socket.h"
#include "transport/internet/AttemptServers.h"
#include "transport/internet/ChannelBinding.h"
#include "transport/internet/HurriedChecks.h"
#include "transport/internet/TurnBudget.h"
#include "transport/internet/TurnTlsTunnel.h"
#include "transport/internet/TurnUdpProbe.h"

namespace pppp {

struct PeerCore {
    bool offerer = false;
    PeerIceServers servers;
    CWebRtcPeer::Events events;
    std::weak_ptr<IChannelSink> sink;
    GstElement* pipeline = nullptr;
    GstElement* webrtc = nullptr;
    NiceAgent* agent = nullptr;
    std::mutex lock;
    GstWebRTCDataChannel* channel = nullptr;  // under lock
    std::vector<uint16_t> tlsTunnelPorts;  // set before the pipeline plays
    struct Taken {
        std::string account;
        size_t count, overUdp;
    };
    std::vector<Taken> allocations;  // taken per TURN account (TurnBudget.h)
    std::atomic<bool> closed{false};
    std::atomic<bool> opened{false};    // the data channel is open
    std::atomic<bool> reported{false};  // and the sink was told, its binding known
    // The channel's binding (ChannelBinding.h), read once on one of GStreamer's
    // threads when the DTLS handshake is done, so that no thread of ours ever
    // asks webrtcbin for it (its properties take a lock its callbacks hold).
    std::mutex bindingLock;
    GstWebRTCDTLSTransport* dtls = nullptr;  // under bindingLock; watched, one reference
    bool bindingKnown = false;               // under bindingLock: read, or found unreadable
    bool openHeld = false;                   // under bindingLock: open, waiting for the binding
    bool bound = false;                      // set once with bindingKnown
    uint8_t binding[kChannelBindingSize] = {};
    std::atomic<bool> failed{false};
    std::atomic<unsigned> messages{0};  // received on the channel, counted for the trace
    // What gathering has shown of UDP (relay candidates are held by it).
    std::atomic<std::chrono::steady_clock::time_point> gatheringStarted{std::chrono::steady_clock::time_point::max()};
    std::atomic<bool> udpAnswered{false};  // a server-reflexive candidate or a relay over UDP
    std::atomic<bool> udpRelayGathered{false};
    bool asksUdpRelay = false;    // a TURN/UDP server was given to libnice, set before the pipeline plays
    std::string udpRelayAccount;  // the first TURN/UDP server asked, set before the pipeline plays
    std::pair<std::string, uint16_t> udpRelayServer;
    std::atomic<bool> refusalNoted{false};
    std::atomic<bool> remoteRelaySeen{false};  // the peer has signalled a relay candidate
    std::atomic<bool> relaySignalled{false};   // this side has
    std::atomic<bool> directWorks{false};  // a pair worked before any relay was known: held relays go out
    std::shared_ptr<CHurriedChecks> hurry;  // pairs of two relays on one server; set before the pipeline plays
    std::weak_ptr<PeerCore> self;  // for work that may outlive a callback
    const uint64_t createdMs = NowMs();  // the trace times each step from here

    unsigned long long Age() const { return static_cast<unsigned long long>(NowMs() - createdMs); }

    std::shared_ptr<IChannelSink> Sink() { return closed.load() ? nullptr : sink.lock(); }
    void Fail() {
        if (closed.load() || failed.exchange(true)) return;
        if (events.failed) events.failed();
        if (auto s = Sink()) s->OnChannelEnded();
    }
};

namespace {

// ---- teardown ----------------------------------------------------------------
//
// A closed peer is torn down on the reaper's thread: stopping webrtcbin can
// take a while and must not run on its own threads. First the ICE agent
// releases its TURN allocations (a Refresh of lifetime 0 each: a relay keeps
// an allocation that is merely forgotten until its lifetime ends). That runs
// on the agent's own thread while the pipeline still plays, since only then
// are the answers read, and is reported back here; its retransmissions are
// shortened so that an unanswered release gives up within about a second.
// Then the pipeline stops and goes, and webrtcbin's ICE thread and sockets
// with it.

constexpr guint kReleaseFirstWaitMs = 200;  // UDP: 200, 400, 800 ms, then given up
constexpr guint kReleaseRetransmissions = 3;
constexpr guint kReleaseReliableWaitMs = 1500;  // TCP and TLS
// De-initialisation waits no longer than this for the teardowns under way.
constexpr auto kDrainLimit = std::chrono::seconds(5);
// Bounds on what waits here, so that callers who come and go faster than
// pipelines stop cannot pile up pipelines, threads and sockets: past
// kMaxReleasing releases under way, a peer goes without releasing (its relay
// lets the allocation lapse at its lifetime); with kMaxTearingDown peers still
// waiting to go, no new peer is made until they have.
constexpr int kMaxReleasing = 8;
constexpr int kMaxTearingDown = 16;

bool HasProperty(gpointer object, const char* name) {
    return g_object_class_find_property(G_OBJECT_GET_CLASS(object), name) != nullptr;
}

class CReaper {
public:
    ~CReaper() {
        if (!m_thread.joinable()) return;
        m_bStop = true;
        // A wakeup before the thread waits is kept, so its next wait returns at once.
        g_main_context_wakeup(m_pContext);
        m_thread.join();
    }
    void Push(std::shared_ptr<PeerCore> core) {
        std::unique_lock<std::mutex> hold(m_lock);
        if (!m_thread.joinable()) {
            m_thread = std::thread([this] { Run(); });
            m_cv.wait(hold, [&] { return m_pContext != nullptr; });
        }
        ++m_nTearingDown;
        GSource* start = g_idle_source_new();
        g_source_set_callback(start, Begin, new Job{this, std::move(core)}, nullptr);
        g_source_attach(start, m_pContext);
        g_source_unref(start);
    }
    // A peer counts from its making until it is let go, so that de-initialisation
    // also waits for one whose close is still on its way (its link's last holder
    // may be a callback on one of webrtcbin's threads).
    void Made() {
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_nLive;
    }
    void Drain() {
        std::unique_lock<std::mutex> hold(m_lock);
        m_cv.wait_for(hold, kDrainLimit, [&] { return m_nLive == 0; });
    }
    // Whether so many peers wait to go that no new one should be made yet.
    bool Crowded(int* waiting) {
        std::lock_guard<std::mutex> hold(m_lock);
        *waiting = m_nTearingDown;
        return m_nTearingDown >= kMaxTearingDown;
    }

private:
    struct Job {
        CReaper* reaper;
        std::shared_ptr<PeerCore> core;
    };

    void Run() {
        // The agent reports the release in the context of the thread that asked for it: this one's.
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_pContext = context;
            m_cv.notify_all();
        }
        while (!m_bStop.load()) g_main_context_iteration(context, TRUE);
        g_main_context_pop_thread_default(context);
    }

    static gboolean Begin(gpointer data) {
        auto* job = static_cast<Job*>(data);
        PeerCore& c = *job->core;
        GstWebRTCDataChannel* channel;
        {
            std::lock_guard<std::mutex> hold(c.lock);
            channel = c.channel;
            c.channel = nullptr;
        }
        // Closing the channel tells the peer at once, before ICE would notice.
        if (channel && c.opened.load()) gst_webrtc_data_channel_close(channel);
        if (channel) {
            g_signal_handlers_disconnect_by_data(channel, &c);
            g_object_unref(channel);
        }
        if (c.webrtc) g_signal_handlers_disconnect_by_data(c.webrtc, &c);
        GstWebRTCDTLSTransport* dtls;
        {
            std::lock_guard<std::mutex> hold(c.bindingLock);
            dtls = c.dtls;
            c.dtls = nullptr;
        }
        if (dtls) {
            g_signal_handlers_disconnect_by_data(dtls, &c);
            gst_object_unref(dtls);
        }
        if (c.agent) g_signal_handlers_disconnect_by_data(c.agent, &c);
        bool release = c.agent != nullptr;
        if (release) {
            std::lock_guard<std::mutex> hold(job->reaper->m_lock);
            release = job->reaper->m_nReleasing < kMaxReleasing;
            if (release) ++job->reaper->m_nReleasing;
        }
        if (!release) {
            Finish(job);
            return G_SOURCE_REMOVE;
        }
        // A hurry under way leaves the agent alone from here, so these stay.
        if (c.hurry) c.hurry->Stop();
        if (HasProperty(c.agent, "stun-max-retransmissions"))
            g_object_set(c.agent, "stun-initial-timeout", kReleaseFirstWaitMs, "stun-max-retransmissions",
                         kReleaseRetransmissions, "stun-reliable-timeout", kReleaseReliableWaitMs, nullptr);
        nice_agent_close_async(c.agent, Released, job);
        return G_SOURCE_REMOVE;
    }

    static void Released(GObject*, GAsyncResult*, gpointer data) {
        auto* job = static_cast<Job*>(data);
        {
            std::lock_guard<std::mutex> hold(job->reaper->m_lock);
            --job->reaper->m_nReleasing;
        }
        Finish(job);
    }

    static void Finish(Job* job) {
        PeerCore& c = *job->core;
        gst_element_set_state(c.pipeline, GST_STATE_NULL);
        if (c.agent) g_object_unref(c.agent);
        c.agent = nullptr;
        gst_object_unref(c.pipeline);
        c.pipeline = nullptr;
        c.webrtc = nullptr;
        for (const auto& taken : c.allocations) ReturnTurnAllocations(taken.account, taken.count, taken.overUdp);
        c.allocations.clear();
        CReaper* reaper = job->reaper;
        delete job;
        std::lock_guard<std::mutex> hold(reaper->m_lock);
        --reaper->m_nLive;
        --reaper->m_nTearingDown;
        reaper->m_cv.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_cv;
    GMainContext* m_pContext = nullptr;  // the reaper thread's, set once
    std::atomic<bool> m_bStop{false};
    int m_nLive = 0;  // peers made and not yet let go
    int m_nTearingDown = 0;  // closed peers not yet let go
    int m_nReleasing = 0;    // of those, releasing their relay allocations
    std::thread m_thread;
};

CReaper& Reaper() {
    static CReaper reaper;
    return reaper;
}

// ---- relay candidates, held back ---------------------------------------------
//
// The first pair whose checks succeed tends to be the one ICE keeps. A relay
// pair succeeds at its first check, while a pair through two NATs succeeds
// only once both sides have sent through their own NAT (the first check is
// often dropped), so relay candidates are signalled kRelayHold after they
// were gathered: a direct path, where there is one, wins; where there is
// none, the session opens that much later. A relay reached over TCP or TLS
// waits kReliableRelayExtraHold more, so that where UDP works a relay over UDP
// is tried first. Where UDP gets no answer at all (no server-reflexive
// candidate, no relay over UDP) kUdpSilence after gathering began, there is
// no direct path to wait for: a relay over TCP or TLS goes out then.
//
// Once the peer's first check comes through before either side told of a
// relay, the direct path is there, and the held relays go out at once: the
// controlling side (libnice's regular nomination) nominates only when a second
// pair works or nothing is left to check, and then the best pair, which is
// the direct one.
constexpr auto kRelayHold = std::chrono::milliseconds(400);
constexpr auto kReliableRelayExtraHold = std::chrono::milliseconds(100);
constexpr auto kUdpSilence = std::chrono::milliseconds(250);
constexpr unsigned kUdpRelayTypePreference = 30;  // libnice's, in the priority's top byte
constexpr guint kCheckPacingMs = 5;                // Ta, between two connectivity checks

using Clock = std::chrono::steady_clock;

bool IsRelayOverUdp(const std::string& line) {
    std::istringstream in(line);
    std::string foundation, component, transport;
    unsigned long long priority = 0;
    return (in >> foundation >> component >> transport >> priority) && (priority >> 24) >= kUdpRelayTypePreference;
}

// When a relay candidate gathered at `gathered` is due, as far as is known now.
Clock::time_point RelayDue(const PeerCore& c, Clock::time_point gathered, bool overUdp) {
    if (c.directWorks.load()) return gathered;
    if (overUdp) return gathered + kRelayHold;
    if (c.udpAnswered.load()) return gathered + kRelayHold + kReliableRelayExtraHold;
    const Clock::time_point started = c.gatheringStarted.load();
    return started == Clock::time_point::max() ? gathered : std::max(gathered, started + kUdpSilence);
}

class CRelayDelay {
public:
    ~CRelayDelay() {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_bStop = true;
            m_cv.notify_all();
        }
        if (m_thread.joinable()) m_thread.join();
    }
    void Push(const std::shared_ptr<PeerCore>& core, guint mline, std::string candidate) {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bStop) return;
        if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
        const auto now = Clock::now();
        const bool overUdp = IsRelayOverUdp(candidate);
        m_queue.emplace(RelayDue(*core, now, overUdp), Held{now, overUdp, core, mline, std::move(candidate)});
        m_cv.notify_all();
    }

    // Something a due time depends on has changed.
    void Wake() {
        std::lock_guard<std::mutex> hold(m_lock);
        std::multimap<Clock::time_point, Held> again;
        for (auto& [due, held] : m_queue) {
            auto core = held.core.lock();
            const auto when = core ? std::min(due, RelayDue(*core, held.gathered, held.overUdp)) : Clock::now();
            again.emplace(when, std::move(held));
        }
        m_queue.swap(again);
        m_cv.notify_all();
    }

private:
    struct Held {
        Clock::time_point gathered;
        bool overUdp;
        std::weak_ptr<PeerCore> core;
        guint mline;
        std::string candidate;
    };
    void Run() {
        std::unique_lock<std::mutex> hold(m_lock);
        for (;;) {
            if (m_bStop) return;
            if (m_queue.empty()) {
                m_cv.wait(hold);
                continue;
            }
            const auto due = m_queue.begin()->first;
            if (Clock::now() < due) {
                m_cv.wait_until(hold, due);
                continue;
            }
            Held next = std::move(m_queue.begin()->second);
            m_queue.erase(m_queue.begin());
            auto core = next.core.lock();
            if (!core) continue;
            // UDP may have answered since: then a relay over TCP or TLS waits its full time.
            const auto later = RelayDue(*core, next.gathered, next.overUdp);
            if (later > Clock::now()) {
                m_queue.emplace(later, std::move(next));
                continue;
            }
            hold.unlock();
            core->relaySignalled = true;
            if (!core->closed.load() && core->events.localCandidate)
                core->events.localCandidate(next.mline, next.candidate);
            core.reset();
            hold.lock();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_cv;
    std::multimap<Clock::time_point, Held> m_queue;  // by due time
    bool m_bStop = false;
    std::thread m_thread;
};

CRelayDelay& RelayDelay() {
    static CRelayDelay delay;
    return delay;
}

bool IsRelayCandidate(const std::string& line) { return line.find(" typ relay") != std::string::npos; }

std::string CandidateAddress(const std::string& line) {
    std::istringstream in(line);
    std::string foundation, component, transport, priority, address;
    in >> foundation >> component >> transport >> priority >> address;
    return address;
}

using CoreHolder = std::shared_ptr<PeerCore>;
void FreeHolder(gpointer data) { delete static_cast<CoreHolder*>(data); }

// ---- helpers -----------------------------------------------------------------

std::string Escape(const std::string& s) {
    gchar* e = g_uri_escape_string(s.c_str(), nullptr, FALSE);
    std::string out(e ? e : "");
    g_free(e);
    return out;
}

// Promise callbacks hold the core until they have run (CoreHolder above).
GstPromise* NewPromise(const std::shared_ptr<PeerCore>& core, GstPromiseChangeFunc fn) {
    return gst_promise_new_with_change_func(fn, new CoreHolder(core), FreeHolder);
}

GstBusSyncReply OnBusMessage(GstBus*, GstMessage* message, gpointer) {
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        ZTRACE("internet route: %s\n", error ? error->message : "pipeline error");
        if (error) g_error_free(error);
    }
    // A dropped message is ours to free; kept, it would hold its source element alive.
    gst_message_unref(message);
    return GST_BUS_DROP;
}

// Takes the reply's description ("offer" or "answer"), publishes it, then
// makes it local (which starts gathering, so the description always goes
// out before the first candidate).
void PublishAndSetLocal(PeerCore& c, GstPromise* promise, const char* field) {
    GstWebRTCSessionDescription* desc = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
        const GstStructure* reply = gst_promise_get_reply(promise);
        if (reply) gst_structure_get(reply, field, GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &desc, nullptr);
    }
    gst_promise_unref(promise);
    if (!desc) {
        ZTRACE("internet route: no %s could be made\n", field);
        c.Fail();
        return;
    }
    gchar* text = gst_sdp_message_as_text(desc->sdp);
    if (text && !c.closed.load() && c.events.localDescription) c.events.localDescription(text);
    g_free(text);
    GstPromise* done = gst_promise_new();
    g_signal_emit_by_name(c.webrtc, "set-local-description", desc, done);
    gst_promise_interrupt(done);
    gst_promise_unref(done);
    gst_webrtc_session_description_free(desc);
}

void OnOfferCreated(GstPromise* promise, gpointer data) {
    PublishAndSetLocal(**static_cast<CoreHolder*>(data), promise, "offer");
}

void OnAnswerCreated(GstPromise* promise, gpointer data) {
    PublishAndSetLocal(**static_cast<CoreHolder*>(data), promise, "answer");
}

void OnRemoteOfferSet(GstPromise* promise, gpointer data) {
    auto& core = *static_cast<CoreHolder*>(data);
    gst_promise_unref(promise);
    if (core->closed.load()) return;
    g_signal_emit_by_name(core->webrtc, "create-answer", nullptr, NewPromise(core, OnAnswerCreated));
}

void OnIceCandidate(GstElement*, guint mline, gchar* candidate, gpointer data) {
    auto* c = static_cast<PeerCore*>(data);
    if (!candidate || !*candidate || c->closed.load()) return;
    const std::string line(candidate);
    ZTRACE("internet route: gathered after %llu ms: %s\n", c->Age(), line.c_str());
    auto unset = std::chrono::steady_clock::time_point::max();
    c->gatheringStarted.compare_exchange_strong(unset, std::chrono::steady_clock::now());
    const bool relay = IsRelayCandidate(line);
    if (line.find(" typ srflx") != std::string::npos || (relay && IsRelayOverUdp(line))) c->udpAnswered = true;
    if (relay && IsRelayOverUdp(line)) c->udpRelayGathered = true;
    if (relay) c->hurry->NoteRelay(CandidateAddress(line), true);
    if (!IsCandidateForTheInternet(line)) return;
    if (relay) {
        if (auto self = c->self.lock()) RelayDelay().Push(self, mline, line);
        return;
    }
    if (c->events.localCandidate) c->events.localCandidate(mline, line);
}

void OnGatheringState(GObject* webrtc, GParamSpec*, gpointer data) {
    auto* c = static_cast<PeerCore*>(data);
    GstWebRTCICEGatheringState state = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
    g_object_get(webrtc, "ice-gathering-state", &state, nullptr);
    if (state != GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) return;
    ZTRACE("internet route: gathering complete after %llu ms\n", c->Age());
    // No relay over UDP from a server that answers over UDP: it refused the allocation.
    if (!c->udpRelayAccount.empty() && !c->udpRelayGathered.load() &&
        TurnUdpKnown(c->udpRelayServer.first, c->udpRelayServer.second) == TurnUdp::kAnswers &&
        !c->refusalNoted.exchange(true)) {
        ZTRACE("internet route: the TURN server refused %s a relay over UDP; over TCP and TLS for a while\n",
               c->udpRelayAccount.c_str());
        NoteTurnUdpRefused(c->udpRelayAccount);
    }
}

void WatchDtls(PeerCore* c);

void OnPeerState(GObject* webrtc, GParamSpec*, gpointer data) {
    // Past ICE: DTLS. Connected means the DTLS handshake is done.
    auto* c = static_cast<PeerCore*>(data);
    WatchDtls(c);
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "connection-state", &state, nullptr);
    if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED)
        ZTRACE("internet route: DTLS connected after %llu ms\n", c->Age());
}

void OnIceState(GObject* webrtc, GParamSpec*, gpointer data) {
    auto* c = static_cast<PeerCore*>(data);
    GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "ice-connection-state", &state, nullptr);
    static const char* const kStates[] = {"new", "checking", "connected", "completed", "failed", "disconnected",
                                          "closed"};
    ZTRACE("internet route: ICE %s after %llu ms\n", state >= 0 && state <= 6 ? kStates[state] : "?", c->Age());
    WatchDtls(c);
    if (state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED) {
        ZTRACE("internet route: ICE found no way to the peer\n");
        c->Fail();
    }
}

// ---- the certificates ------------------------------------------------------------
//
// The binding of the DTLS handshake that carries the data channel, from the
// certificates it used (not those the signalling announced). The DTLS
// transport is found from webrtcbin's state notifications, which run without
// its lock, and watched; its certificates are read when it reports the
// handshake done. The data channel's opening is told only once the binding is
// known, so a session never starts without it.

void ReportOpen(PeerCore* c) {
    if (c->reported.exchange(true)) return;
    ZTRACE("internet route: data channel open after %llu ms\n", c->Age());
    if (auto s = c->Sink()) s->OnChannelOpen();
    ZTRACE("internet route: the link took the open after %llu ms\n", c->Age());
}

void SettleBinding(PeerCore* c, bool bound, const uint8_t (&binding)[kChannelBindingSize]) {
    bool held;
    {
        std::lock_guard<std::mutex> hold(c->bindingLock);
        if (c->bindingKnown) return;
        c->bindingKnown = true;
        c->bound = bound;
        std::memcpy(c->binding, binding, sizeof c->binding);
        held = c->openHeld;
    }
    if (!bound) ZTRACE("internet route: the channel's certificates cannot be read\n");
    if (held) ReportOpen(c);
}

void OnDtlsState(GObject* dtls, GParamSpec*, gpointer data) {
    GstWebRTCDTLSTransportState state = GST_WEBRTC_DTLS_TRANSPORT_STATE_NEW;
    g_object_get(dtls, "state", &state, nullptr);
    if (state != GST_WEBRTC_DTLS_TRANSPORT_STATE_CONNECTED) return;
    auto* c = static_cast<PeerCore*>(data);
    gchar* local = nullptr;
    gchar* remote = nullptr;
    g_object_get(dtls, "certificate", &local, "remote-certificate", &remote, nullptr);
    const std::string mine = local ? local : "", theirs = remote ? remote : "";
    g_free(local);
    g_free(remote);
    uint8_t binding[kChannelBindingSize] = {};
    const bool bound = c->offerer ? ChannelBindingFromPem(mine, theirs, binding)
                                  : ChannelBindingFromPem(theirs, mine, binding);
    SettleBinding(c, bound, binding);
}

// From webrtcbin's ICE and connection state notifications only: they run
// without its lock, which reading its properties takes.
void WatchDtls(PeerCore* c) {
    {
        std::lock_guard<std::mutex> hold(c->bindingLock);
        if (c->dtls || c->bindingKnown || c->closed.load()) return;
    }
    GstWebRTCSCTPTransport* sctp = nullptr;
    g_object_get(c->webrtc, "sctp-transport", &sctp, nullptr);
    if (!sctp) return;  // not made yet: asked again at the next state
    GstWebRTCDTLSTransport* dtls = nullptr;
    g_object_get(sctp, "transport", &dtls, nullptr);
    gst_object_unref(sctp);
    if (!dtls) return;
    {
        std::lock_guard<std::mutex> hold(c->bindingLock);
        if (c->dtls || c->closed.load()) {
            gst_object_unref(dtls);
            return;
        }
        c->dtls = dtls;  // let go at teardown, which disconnects under the same lock
        g_signal_connect(dtls, "notify::state", G_CALLBACK(OnDtlsState), c);
    }
    OnDtlsState(G_OBJECT(dtls), nullptr, c);  // the handshake may be done already
}

void OnPeerCheckArrived(NiceAgent*, guint, gpointer data) {
    auto* c = static_cast<PeerCore*>(data);
    c->hurry->NotePeerReached();
    // The peer's check got through while neither side had told of a relay:
    // not through one, so the direct path works.
    if (c->remoteRelaySeen.load() || c->relaySignalled.load() || c->directWorks.exchange(true)) return;
    ZTRACE("internet route: the peer's check came through directly after %llu ms; held relays go out\n", c->Age());
    RelayDelay().Wake();
}

// ---- the data channel ----------------------------------------------------------

void ChannelOpened(PeerCore* c) {
    if (c->opened.exchange(true)) return;
    {
        std::lock_guard<std::mutex> hold(c->bindingLock);
        if (!c->bindingKnown) {
            c->openHeld = true;
            ZTRACE("internet route: data channel open after %llu ms; its certificates not read yet\n", c->Age());
            return;
        }
    }
    ReportOpen(c);
}

void OnChannelOpen(GstWebRTCDataChannel*, gpointer data) { ChannelOpened(static_cast<PeerCore*>(data)); }

void OnChannelClose(GstWebRTCDataChannel*, gpointer data) {
    auto* c = static_cast<PeerCore*>(data);
    if (auto s = c->Sink()) s->OnChannelEnded();
}

void OnChannelError(GstWebRTCDataChannel*, GError*, gpointer data) { OnChannelClose(nullptr, data); }

void OnChannelData(GstWebRTCDataChannel*, GBytes* bytes, gpointer data) {
    auto* c = static_cast<PeerCore*>(data);
    gsize size = 0;
    const void* p = bytes ? g_bytes_get_data(bytes, &size) : nullptr;
    if (!p || size == 0) return;
    // The first messages are traced: whether the viewer's greeting reached the channel.
    if (c->messages.fetch_add(1) < 2)
        ZTRACE("internet route: message of %zu bytes (first byte 0x%02x) after %llu ms\n",
               static_cast<size_t>(size), *static_cast<const uint8_t*>(p), c->Age());
    if (auto s = c->Sink()) s->OnChannelMessage(static_cast<const uint8_t*>(p), size);
}

void OnChannelString(GstWebRTCDataChannel*, gchar*, gpointer data) {
    // The stream is binary; text means a peer that speaks something else.
    ZTRACE("internet route: the peer sent text on the channel; session ended\n");
    OnChannelClose(nullptr, data);
}

void OnChannelLow(GstWebRTCDataChannel*, gpointer data) {
    auto* c = static_cast<PeerCore*>(data);
    if (auto s = c->Sink()) s->OnBufferedAmountLow();
}

constexpr guint64 kLowThreshold = 64 * 1024;

void AttachChannel(PeerCore* c, GstWebRTCDataChannel* channel) {
    {
        std::lock_guard<std::mutex> hold(c->lock);
        if (c->channel || c->closed.load()) {
            g_object_unref(channel);
            return;
        }
        c->channel = channel;
    }
    g_object_set(channel, "buffered-amount-low-threshold", kLowThreshold, nullptr);
    g_signal_connect(channel, "on-open", G_CALLBACK(OnChannelOpen), c);
    g_signal_connect(channel, "on-close", G_CALLBACK(OnChannelClose), c);
    g_signal_connect(channel, "on-error", G_CALLBACK(OnChannelError), c);
    g_signal_connect(channel, "on-message-data", G_CALLBACK(OnChannelData), c);
    g_signal_connect(channel, "on-message-string", G_CALLBACK(OnChannelString), c);
    g_signal_connect(channel, "on-buffered-amount-low", G_CALLBACK(OnChannelLow), c);
    GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CONNECTING;
    g_object_get(channel, "ready-state", &state, nullptr);
    if (state == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) ChannelOpened(c);
}

void OnDataChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer data) {
    auto* c = static_cast<PeerCore*>(data);
    gchar* label = nullptr;
    g_object_get(channel, "label", &label, nullptr);
    const bool ours = label && std::strcmp(label, "pppp") == 0;
    g_free(label);
    if (!ours) return;  // only the one channel carries the session
    AttachChannel(c, GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel)));
}

bool IsPrivateV4(const in_addr& a) {
    const uint32_t v = ntohl(a.s_addr);
    return (v >> 24) == 10 || (v >> 24) == 127 || (v >> 24) == 0 || (v >> 20) == 0xAC1 || (v >> 16) == 0xC0A8 ||
           (v >> 16) == 0xA9FE;
}

bool IsPrivateV6(const in6_addr& a) {
    static const in6_addr any = IN6ADDR_ANY_INIT, loop = IN6ADDR_LOOPBACK_INIT;
    if (!std::memcmp(&a, &any, sizeof a) || !std::memcmp(&a, &loop, sizeof a)) return true;
    if (a.s6_addr[0] == 0xfe && (a.s6_addr[1] & 0xc0) == 0x80) return true;  // link-local
    if ((a.s6_addr[0] & 0xfe) == 0xfc) return true;                          // unique local
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (!std::memcmp(a.s6_addr, mapped, 12)) {
        in_addr v4;
        std::memcpy(&v4, a.s6_addr + 12, 4);
        return IsPrivateV4(v4);
    }
    return false;
}

}  // namespace

bool IsCandidateForTheInternet(const std::string& candidate) {
    std::istringstream in(candidate);
    std::string foundation, component, transport, priority, address, port, typ, type;
    if (!(in >> foundation >> component >> transport >> priority >> address >> port >> typ >> type)) return false;
    if (foundation.rfind("candidate:", 0) != 0 || typ != "typ") return false;
    if (g_ascii_strcasecmp(transport.c_str(), "udp") != 0) return false;  // no ICE-TCP
    // Whatever the type says: a "srflx" or "relay" label does not make a private
    // address reachable, and a peer could use the label to point us into our own network.
    in_addr v4;
    in6_addr v6;
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return !IsPrivateV4(v4);
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) return !IsPrivateV6(v6);
    return false;  // a name (mDNS): means nothing beyond its network
}

void PeerIceServers::AddStun(const IceServer& s) {
    if (stun.empty()) stun = "stun://" + s.host + ":" + std::to_string(s.port);
}

void PeerIceServers::AddTurn(const IceServer& s, const std::string& user, const std::string& password) {
    turn.push_back({s, user, password});
}

namespace {
// What webrtcbin makes for a session's transports (ICE, DTLS, SRTP, SCTP, RTP).
constexpr const char* kTransportElements[] = {"nicesrc", "dtlssrtpenc", "srtpenc", "sctpenc", "rtpsession",
                                              "rtpstorage", "rtpfunnel"};
}  // namespace

bool CWebRtcPeer::Prepare() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        const uint64_t started = NowMs();
        ready = gst_init_check(nullptr, nullptr, nullptr);
        if (!ready) return;
        // The DTLS key and certificate are made once per process, when the first
        // DTLS element is: made here, the first caller does not wait for them.
        // GStreamer 1.22 makes an RSA-2048 key there (0.1-0.5 s, the larger part of
        // a first session's setup), on a thread of its own while webrtcbin loads.
        std::thread key([] {
            if (GstElement* dtls = gst_element_factory_make("dtlsdec", nullptr))
                gst_object_unref(gst_object_ref_sink(dtls));
        });
        // Making one loads the plugin and the libraries it needs.
        GstElement* probe = gst_element_factory_make("webrtcbin", nullptr);
        ready = probe != nullptr;
        if (probe) gst_object_unref(gst_object_ref_sink(probe));
        key.join();
        // webrtcbin makes the elements of its transports only with the first offer
        // or answer: loaded there, their plugins held up the first attempt by about
        // 100 ms (SRTP's, whose library tests its ciphers as it starts, about 75).
        // Loaded after the key, one thread at a time, as webrtcbin would.
        for (const char* name : kTransportElements) {
            GstElementFactory* factory = gst_element_factory_find(name);
            if (!factory) continue;
            if (GstPluginFeature* loaded = gst_plugin_feature_load(GST_PLUGIN_FEATURE(factory)))
                gst_object_unref(loaded);
            gst_object_unref(factory);
        }
        ZTRACE("internet route: GStreamer and the DTLS certificate ready in %llu ms\n",
               static_cast<unsigned long long>(NowMs() - started));
    });
    return ready;
}

std::unique_ptr<CWebRtcPeer> CWebRtcPeer::Create(bool offerer, const PeerIceServers& servers, Events events,
                                                 std::shared_ptr<IChannelSink> sink) {
    if (!Prepare()) return nullptr;
    int waiting = 0;
    if (Reaper().Crowded(&waiting)) {
        ZTRACE("internet route: %d closed peers still stopping; no new peer until they have\n", waiting);
        return nullptr;
    }
    auto core = std::make_shared<PeerCore>();
    core->self = core;
    core->offerer = offerer;
    core->servers = servers;
    core->events = std::move(events);
    core->sink = sink;
    core->pipeline = gst_pipeline_new(nullptr);
    if (core->pipeline) Reaper().Made();  // let go by the reaper, after Close
    core->webrtc = gst_element_factory_make("webrtcbin", nullptr);
    std::unique_ptr<CWebRtcPeer> peer(new CWebRtcPeer(core));
    if (!core->pipeline || !core->webrtc) {
        ZTRACE("internet route: GStreamer's webrtcbin is not installed\n");
        if (core->webrtc) gst_object_unref(core->webrtc);
        core->webrtc = nullptr;
        return nullptr;
    }
    gst_bin_add(GST_BIN(core->pipeline), core->webrtc);
    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(core->pipeline));
    gst_bus_set_sync_handler(bus, OnBusMessage, nullptr, nullptr);
    gst_object_unref(bus);
    g_object_set(core->webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);
    if (!servers.stun.empty()) g_object_set(core->webrtc, "stun-server", servers.stun.c_str(), nullptr);
    // Which relays this attempt asks for. A relay over UDP known to answer makes
    // those over TCP and TLS needless (TurnUdpProbe.h); an account whose allocation
    // over UDP was refused lately relays over TCP and TLS (TurnBudget.h); a viewer
    // never over UDP (AsksOwnRelay, AttemptServers.h).
    bool reliableNeedless = false;
    for (const auto& t : servers.turn)
        if (t.server.kind == IceServer::TurnUdp && AsksOwnRelay(offerer, t.server.kind) &&
            TurnUdpKnown(t.server.host, t.server.port) == TurnUdp::kAnswers &&
            !TurnUdpRefusedLately(TurnAccount(t.user)))
            reliableNeedless = true;
    // The TURN servers this attempt asks for allocations, by account.
    std::vector<const PeerTurnServer*> relays;
    std::map<std::string, size_t> perAccount, overUdp;
    for (const auto& t : servers.turn) {
        if (!AsksOwnRelay(offerer, t.server.kind)) continue;
        if (reliableNeedless && t.server.kind != IceServer::TurnUdp) continue;
        if (t.server.kind == IceServer::TurnUdp && TurnUdpRefusedLately(TurnAccount(t.user))) continue;
        // A silent TURN/UDP server would keep libnice from hearing a separate
        // STUN server (TurnUdpProbe.h): the public address, and a direct path,
        // would be lost with it.
        const std::string stunOfTheSameServer = "stun://" + t.server.host + ":" + std::to_string(t.server.port);
        if (t.server.kind == IceServer::TurnUdp && !servers.stun.empty() && servers.stun != stunOfTheSameServer &&
            !TurnUdpAnswers(t.server.host, t.server.port))
            continue;
        relays.push_back(&t);
        ++perAccount[TurnAccount(t.user)];
        if (t.server.kind == IceServer::TurnUdp) ++overUdp[TurnAccount(t.user)];
    }
    // An allocation the server would refuse costs the public address (TurnBudget.h).
    for (auto it = perAccount.begin(); it != perAccount.end();) {
        if (TakeTurnAllocations(it->first, it->second)) {
            core->allocations.push_back({it->first, it->second, overUdp[it->first]});
            ++it;
            continue;
        }
        ZTRACE("internet route: TURN account %s has its allocations out; no relay of its own this time\n",
               it->first.c_str());
        const std::string account = it->first;
        relays.erase(std::remove_if(relays.begin(), relays.end(),
                                    [&](const PeerTurnServer* t) { return TurnAccount(t->user) == account; }),
                     relays.end());
        it = perAccount.erase(it);
    }
    for (const PeerTurnServer* relay : relays) {
        const PeerTurnServer& t = *relay;
        // A TURN server over TLS is reached through the local tunnel (TurnTlsTunnel.h):
        // libnice would speak plain TURN to it.
        std::string host = t.server.host;
        uint16_t port = t.server.port;
        if (t.server.kind == IceServer::TurnTls) {
            port = TurnTlsTunnelPort(t.server.host, t.server.port, servers.tlsCa);
            if (port == 0) continue;
            host = "127.0.0.1";
            core->tlsTunnelPorts.push_back(port);
        }
        if (t.server.kind == IceServer::TurnUdp && core->udpRelayAccount.empty()) {
            core->udpRelayAccount = TurnAccount(t.user);
            core->udpRelayServer = {t.server.host, t.server.port};
        }
        std::string url = "turn://" + Escape(t.user) + ":" + Escape(t.password) + "@" + host + ":" + std::to_string(port);
        url += t.server.kind == IceServer::TurnUdp ? "?transport=udp" : "?transport=tcp";
        gboolean added = FALSE;
        g_signal_emit_by_name(core->webrtc, "add-turn-server", url.c_str(), &added);
        if (!added) ZTRACE("internet route: a TURN server was not taken\n");
        if (t.server.kind == IceServer::TurnUdp) core->asksUdpRelay |= added != FALSE;
    }
    GObject* ice = nullptr;
    if (HasProperty(core->webrtc, "ice-agent")) g_object_get(core->webrtc, "ice-agent", &ice, nullptr);
    if (ice) {
        // Peers on one network meet on the TCP route; here only UDP (TURN may still run over TCP/TLS).
        if (HasProperty(ice, "ice-tcp")) g_object_set(ice, "ice-tcp", FALSE, nullptr);
        if (HasProperty(ice, "agent")) g_object_get(ice, "agent", &core->agent, nullptr);
        g_object_unref(ice);
    }
    core->hurry = CHurriedChecks::Make(core->agent, offerer);
    if (core->agent)
        g_signal_connect(core->agent, "initial-binding-request-received", G_CALLBACK(OnPeerCheckArrived), core.get());
    // Checks paced at 5 ms, the least RFC 8445 allows, instead of libnice's 20: with regular
    // nomination a session waits about three paces between the peer's first check and its
    // nomination (the checks answering it, the nominating check), and the peer's DTLS
    // handshake is held until then. A session has a handful of pairs at most.
    if (core->agent && HasProperty(core->agent, "stun-pacing-timer"))
        g_object_set(core->agent, "stun-pacing-timer", kCheckPacingMs, nullptr);
    // Connectivity checks as keepalives: a vanished peer ends ICE instead of lingering.
    if (core->agent && HasProperty(core->agent, "keepalive-conncheck"))
        g_object_set(core->agent, "keepalive-conncheck", TRUE, nullptr);
    // No UPnP port mappings: they would announce the host to its network
    // (multicast SSDP) and wait for routers; STUN and TURN cover the NATs.
    if (core->agent && HasProperty(core->agent, "upnp")) g_object_set(core->agent, "upnp", FALSE, nullptr);
    g_signal_connect(core->webrtc, "on-ice-candidate", G_CALLBACK(OnIceCandidate), core.get());
    g_signal_connect(core->webrtc, "notify::ice-connection-state", G_CALLBACK(OnIceState), core.get());
    g_signal_connect(core->webrtc, "notify::connection-state", G_CALLBACK(OnPeerState), core.get());
    g_signal_connect(core->webrtc, "notify::ice-gathering-state", G_CALLBACK(OnGatheringState), core.get());
    if (!HasProperty(core->webrtc, "sctp-transport")) {
        // No way to the certificates: the channel opens unbound, and a login over it is refused.
        const uint8_t none[kChannelBindingSize] = {};
        SettleBinding(core.get(), false, none);
    }
    if (!offerer) g_signal_connect(core->webrtc, "on-data-channel", G_CALLBACK(OnDataChannel), core.get());
    if (gst_element_set_state(core->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        ZTRACE("internet route: webrtcbin does not start\n");
        return nullptr;
    }
    return peer;
}

CWebRtcPeer::~CWebRtcPeer() { Close(); }

void CWebRtcPeer::Close() {
    if (!m_core || m_core->closed.exchange(true)) return;
    if (m_core->pipeline) Reaper().Push(m_core);
}

bool CWebRtcPeer::StartOffer() {
    PeerCore& c = *m_core;
    GstStructure* options = gst_structure_new("application/data-channel", "ordered", G_TYPE_BOOLEAN, TRUE, nullptr);
    GstWebRTCDataChannel* channel = nullptr;
    g_signal_emit_by_name(c.webrtc, "create-data-channel", "pppp", options, &channel);
    gst_structure_free(options);
    if (!channel) return false;
    AttachChannel(&c, channel);
    g_signal_emit_by_name(c.webrtc, "create-offer", nullptr, NewPromise(m_core, OnOfferCreated));
    return true;
}

namespace {
GstWebRTCSessionDescription* ReadDescription(GstWebRTCSDPType type, const std::string& sdp) {
    // A session of ours has exactly one m-line, the data channel's.
    if (sdp.find("m=application") == std::string::npos) return nullptr;
    GstSDPMessage* message = nullptr;
    if (gst_sdp_message_new_from_text(sdp.c_str(), &message) != GST_SDP_OK || !message) return nullptr;
    if (gst_sdp_message_medias_len(message) != 1) {
        gst_sdp_message_free(message);
        return nullptr;
    }
    return gst_webrtc_session_description_new(type, message);
}
}  // namespace

bool CWebRtcPeer::AcceptOffer(const std::string& sdp) {
    GstWebRTCSessionDescription* desc = ReadDescription(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
    if (!desc) return false;
    g_signal_emit_by_name(m_core->webrtc, "set-remote-description", desc, NewPromise(m_core, OnRemoteOfferSet));
    gst_webrtc_session_description_free(desc);
    return true;
}

bool CWebRtcPeer::AcceptAnswer(const std::string& sdp) {
    GstWebRTCSessionDescription* desc = ReadDescription(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
    if (!desc) return false;
    GstPromise* done = gst_promise_new();
    g_signal_emit_by_name(m_core->webrtc, "set-remote-description", desc, done);
    gst_promise_interrupt(done);
    gst_promise_unref(done);
    gst_webrtc_session_description_free(desc);
    return true;
}

void CWebRtcPeer::AddRemoteCandidate(uint32_t mline, const std::string& candidate) {
    if (m_core->closed.load() || !IsCandidateForTheInternet(candidate)) return;
    const bool relay = IsRelayCandidate(candidate);
    if (relay) m_core->remoteRelaySeen = true;
    g_signal_emit_by_name(m_core->webrtc, "add-ice-candidate", mline, candidate.c_str());
    if (relay) m_core->hurry->NoteRelay(CandidateAddress(candidate), false);
}

bool CWebRtcPeer::Send(const uint8_t* data, size_t size) {
    GstWebRTCDataChannel* channel;
    {
        std::lock_guard<std::mutex> hold(m_core->lock);
        channel = m_core->channel ? GST_WEBRTC_DATA_CHANNEL(g_object_ref(m_core->channel)) : nullptr;
    }
    if (!channel) return false;
    GBytes* bytes = g_bytes_new(data, size);
    GError* error = nullptr;
    const gboolean ok = gst_webrtc_data_channel_send_data_full(channel, bytes, &error);
    if (error) g_error_free(error);
    g_bytes_unref(bytes);
    g_object_unref(channel);
    return ok;
}

uint64_t CWebRtcPeer::BufferedAmount() const {
    GstWebRTCDataChannel* channel;
    {
        std::lock_guard<std::mutex> hold(m_core->lock);
        channel = m_core->channel ? GST_WEBRTC_DATA_CHANNEL(g_object_ref(m_core->channel)) : nullptr;
    }
    guint64 amount = 0;
    if (channel) {
        g_object_get(channel, "buffered-amount", &amount, nullptr);
        g_object_unref(channel);
    }
    return amount;
}

bool CWebRtcPeer::AsksUdpRelay() const { return m_core->asksUdpRelay; }

void CWebRtcPeer::Describe(LinkInfo* info) const {
    LinkInfo out;
    out.path = PPPP_PATH_INTERNET;
    NiceAgent* agent = m_core->agent;
    for (guint stream = 1; agent && stream <= 8; ++stream) {
        NiceCandidate* local = nullptr;
        NiceCandidate* remote = nullptr;
        if (!nice_agent_get_selected_pair(agent, stream, 1, &local, &remote) || !local || !remote) continue;
        sockaddr_in a{};
        if (nice_address_ip_version(&local->addr) == 4) {
            nice_address_copy_to_sockaddr(&local->addr, reinterpret_cast<sockaddr*>(&a));
            std::memcpy(out.localAddr, &a.sin_addr, 4);
            out.localPort = ntohs(a.sin_port);
        }
        if (nice_address_ip_version(&remote->addr) == 4) {
            nice_address_copy_to_sockaddr(&remote->addr, reinterpret_cast<sockaddr*>(&a));
            std::memcpy(out.remoteAddr, &a.sin_addr, 4);
            out.remotePort = ntohs(a.sin_port);
        }
        if (local->type == NICE_CANDIDATE_TYPE_RELAYED) {
            // libnice ranks relays reached over UDP above those over TCP or TLS
            // (the type preference in the priority's top byte); its socket for
            // a relayed pair is not exposed.
            const bool overUdp = (local->priority >> 24) >= kUdpRelayTypePreference;
            out.route = overUdp ? PPPP_ROUTE_RELAY_UDP : PPPP_ROUTE_RELAY_TCP;
            NiceAddress relay;
            nice_address_init(&relay);
            nice_candidate_relay_address(local, &relay);
            if (!overUdp && nice_address_is_valid(&relay)) {
                // TCP or TLS: told apart by which configured server the relay is.
                const guint port = nice_address_get_port(&relay);
                for (const uint16_t tunnel : m_core->tlsTunnelPorts)
                    if (tunnel == port) out.route = PPPP_ROUTE_RELAY_TLS;
            }
            ZTRACE("internet route: relayed (preference %u, relay port %u)\n", local->priority >> 24,
                   nice_address_is_valid(&relay) ? nice_address_get_port(&relay) : 0);
        } else if (remote->type == NICE_CANDIDATE_TYPE_RELAYED) {
            out.route = PPPP_ROUTE_RELAY_UDP;  // the peer's relay, reached over UDP from here
        }
        break;
    }
    {
        std::lock_guard<std::mutex> hold(m_core->bindingLock);
        out.bound = m_core->bound;
        std::memcpy(out.binding, m_core->binding, sizeof out.binding);
    }
    *info = out;
}

void DrainPeerTeardowns() {
    Reaper().Drain();
    StopTurnTlsTunnels();
}

}  // namespace pppp
