#include "transport/internet/HurriedChecks.h"

#include "platform/Trace.h"
#include "transport/Socket.h"

namespace pppp {
namespace {

using Holder = std::shared_ptr<CHurriedChecks>;
void FreeHolder(gpointer data) { delete static_cast<Holder*>(data); }

}  // namespace

std::shared_ptr<CHurriedChecks> CHurriedChecks::Make(NiceAgent* agent, bool controlling) {
    std::shared_ptr<CHurriedChecks> made(new CHurriedChecks);
    if (!agent || !controlling ||
        !g_object_class_find_property(G_OBJECT_GET_CLASS(agent), "stun-max-retransmissions"))
        return made;
    GMainContext* context = nullptr;
    g_object_get(agent, "main-context", &context, nullptr);
    if (!context) return made;
    guint retransmissions = 0;
    g_object_get(agent, "stun-max-retransmissions", &retransmissions, nullptr);
    made->m_pAgent = agent;
    made->m_pContext = context;
    made->m_nAgentRetransmissions = retransmissions;
    return made;
}

gboolean CHurriedChecks::EndHurry(gpointer data) {
    CHurriedChecks& h = **static_cast<Holder*>(data);
    const uint64_t now = NowMs(), until = h.m_hurriedUntilMs.load();
    if (now < until) {
        GSource* later = g_timeout_source_new(static_cast<guint>(until - now));
        g_source_set_callback(later, EndHurry, new Holder(*static_cast<Holder*>(data)), FreeHolder);
        g_source_attach(later, g_source_get_context(g_main_current_source()));
        g_source_unref(later);
        return G_SOURCE_REMOVE;
    }
    std::lock_guard<std::mutex> hold(h.m_lock);
    h.m_bEnding = false;
    if (!h.m_bStopped) g_object_set(h.m_pAgent, "stun-max-retransmissions", h.m_nAgentRetransmissions, nullptr);
    return G_SOURCE_REMOVE;
}

void CHurriedChecks::NoteRelay(const std::string& address, bool own) {
    if (m_nAgentRetransmissions == 0 || address.empty()) return;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bStopped) return;
        (own ? m_ownRelays : m_remoteRelays).insert(address);
        if (!(own ? m_remoteRelays : m_ownRelays).count(address)) return;
        m_hurriedUntilMs = NowMs() + kHurryWindowMs;
        g_object_set(m_pAgent, "stun-max-retransmissions",
                     m_bPeerReached.load() ? kHurriedReachedRetransmissions : kHurriedRetransmissions, nullptr);
        // The timer is attached before Stop could let the agent, and its context, go.
        if (!m_bEnding.exchange(true)) {
            GSource* end = g_timeout_source_new(static_cast<guint>(kHurryWindowMs));
            g_source_set_callback(end, EndHurry, new Holder(shared_from_this()), FreeHolder);
            g_source_attach(end, m_pContext);
            g_source_unref(end);
        }
    }
    ZTRACE("internet route: both sides relay through %s, a pair that cannot work: checks end early for %llu ms\n",
           address.c_str(), static_cast<unsigned long long>(kHurryWindowMs));
}

void CHurriedChecks::NotePeerReached() {
    if (m_bPeerReached.exchange(true) || m_nAgentRetransmissions == 0) return;
    std::lock_guard<std::mutex> hold(m_lock);
    if (NowMs() < m_hurriedUntilMs.load() && m_bEnding.load() && !m_bStopped)
        g_object_set(m_pAgent, "stun-max-retransmissions", kHurriedReachedRetransmissions, nullptr);
}

void CHurriedChecks::Stop() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bStopped = true;
}

}  // namespace pppp
