#include "transport/internet/Signalling.h"

#include <mosquitto.h>

#include <chrono>

#include "platform/Trace.h"
#include "transport/Socket.h"
#include "transport/Wire.h"

namespace pppp {
namespace {

std::once_flag g_libInit;

std::string InboxRoot(const CRendezvousConfig& c) {
    return std::string(c.IsDevice() ? "pppp/d/" : "pppp/v/") + c.user + "/";
}

std::string PresenceTopic(const std::string& did) { return "pppp/p/" + did; }

}  // namespace

CSignalling::CSignalling(const CRendezvousConfig& config)
    : m_config(config),
      m_bDevice(config.IsDevice()),
      m_strInbox(InboxRoot(config) + "+"),
      m_strInboxRoot(InboxRoot(config)) {}

CSignalling::~CSignalling() { Stop(); }

bool CSignalling::Start(MessageFn onMessage) {
    std::call_once(g_libInit, [] { mosquitto_lib_init(); });
    m_onMessage = std::move(onMessage);
    // The broker binds the client id to the username.
    m_pClient = mosquitto_new(m_config.user.c_str(), true, this);
    if (!m_pClient) return false;
    mosquitto_int_option(m_pClient, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Signalling is a few small messages in a row (an acknowledgement, the offer,
    // the candidates): with Nagle's algorithm each waited for the broker's
    // delayed acknowledgement of the one before, up to 40 ms a step.
    mosquitto_int_option(m_pClient, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_username_pw_set(m_pClient, m_config.user.c_str(), m_config.password.c_str());
    mosquitto_connect_callback_set(m_pClient, &CSignalling::OnConnect);
    mosquitto_disconnect_callback_set(m_pClient, &CSignalling::OnDisconnect);
    mosquitto_message_callback_set(m_pClient, &CSignalling::OnMessage);
    mosquitto_subscribe_callback_set(m_pClient, &CSignalling::OnSubscribe);
    mosquitto_reconnect_delay_set(m_pClient, 1, 8, true);
    if (m_bDevice) {
        const std::string topic = PresenceTopic(m_config.user);
        mosquitto_will_set(m_pClient, topic.c_str(), 1, "0", 1, true);
    }
    if (m_config.brokerTls) {
        const char* ca = m_config.brokerCa.empty() ? nullptr : m_config.brokerCa.c_str();
        if (mosquitto_tls_set(m_pClient, ca, ca ? nullptr : "/etc/ssl/certs", nullptr, nullptr, nullptr) !=
            MOSQ_ERR_SUCCESS) {
            ZTRACE("rendezvous: TLS cannot be set up for the broker\n");
            return false;
        }
    }
    const int rc = mosquitto_connect_async(m_pClient, m_config.brokerHost.c_str(), m_config.brokerPort, 30);
    if (rc != MOSQ_ERR_SUCCESS) ZTRACE("rendezvous: broker not reached yet (%s); trying again\n", mosquitto_strerror(rc));
    if (mosquitto_loop_start(m_pClient) != MOSQ_ERR_SUCCESS) return false;
    m_bLoopStarted = true;
    return true;
}

void CSignalling::Stop() {
    if (!m_pClient) return;
    m_bStopping = true;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_cv.notify_all();
    }
    if (m_bLoopStarted) {
        // A device that says goodbye has no will published: it says "absent" itself.
        if (m_bDevice && m_bReady.load()) PublishPresence(false);
        mosquitto_disconnect(m_pClient);
        mosquitto_loop_stop(m_pClient, false);
        m_bLoopStarted = false;
    }
    std::lock_guard<std::mutex> hold(m_clientLock);
    mosquitto_destroy(m_pClient);
    m_pClient = nullptr;
    m_bReady = false;
}

void CSignalling::PublishPresence(bool present) {
    std::lock_guard<std::mutex> hold(m_clientLock);
    if (!m_pClient) return;
    const std::string topic = PresenceTopic(m_config.user);
    const int rc = mosquitto_publish(m_pClient, nullptr, topic.c_str(), 1, present ? "1" : "0", 1, true);
    ZTRACE("rendezvous: presence \"%s\" %s\n", present ? "1" : "0",
           rc == MOSQ_ERR_SUCCESS ? "sent to the broker" : mosquitto_strerror(rc));
}

void CSignalling::OnConnect(mosquitto* client, void* self, int rc) {
    auto* s = static_cast<CSignalling*>(self);
    if (rc != 0) {
        // Refused by the broker (bad name or password): the loop tries again later.
        ZTRACE("rendezvous: the broker refused the login (%s)\n", mosquitto_connack_string(rc));
        return;
    }
    int mid = 0;
    mosquitto_subscribe(client, &mid, s->m_strInbox.c_str(), 1);
    std::lock_guard<std::mutex> hold(s->m_lock);
    s->m_nSubscribeMid = mid;
}

void CSignalling::OnDisconnect(mosquitto*, void* self, int) {
    auto* s = static_cast<CSignalling*>(self);
    s->m_bReady = false;
}

void CSignalling::OnSubscribe(mosquitto*, void* self, int mid, int, const int*) {
    auto* s = static_cast<CSignalling*>(self);
    bool ready = false;
    {
        std::lock_guard<std::mutex> hold(s->m_lock);
        s->m_nLastSuback = mid;
        if (mid == s->m_nSubscribeMid && !s->m_bReady.load()) ready = true;
        s->m_cv.notify_all();
    }
    if (!ready) return;
    // Ready is set before presence is read, and SetPresent stores presence
    // before it reads ready: whichever comes second publishes the news.
    s->m_bReady = true;
    if (s->m_bDevice) s->PublishPresence(s->m_bPresent.load());
    std::lock_guard<std::mutex> hold(s->m_lock);
    s->m_cv.notify_all();
}

void CSignalling::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* s = static_cast<CSignalling*>(self);
    if (!message || !message->topic || message->payloadlen < 0) return;
    const std::string topic(message->topic);
    const auto* data = static_cast<const uint8_t*>(message->payload);
    const size_t size = static_cast<size_t>(message->payloadlen);
    if (topic.rfind("pppp/p/", 0) == 0) {
        const std::string did = topic.substr(7);
        std::lock_guard<std::mutex> hold(s->m_lock);
        auto it = s->m_presence.find(did);
        if (it != s->m_presence.end()) {
            it->second.present = (size == 1 && data[0] == '1') ? 1 : 0;
            s->m_cv.notify_all();
        }
        return;
    }
    if (topic.size() <= s->m_strInboxRoot.size() || topic.compare(0, s->m_strInboxRoot.size(), s->m_strInboxRoot) != 0)
        return;
    // A retained message in an inbox was stored by whoever could write there,
    // for anyone who subscribes later: old calls replayed at each reconnect.
    // Signalling is only what is sent while the peer listens.
    if (message->retain) return;
    const std::string from = topic.substr(s->m_strInboxRoot.size());
    // Devices hear from viewers, viewers from devices.
    if (s->m_bDevice ? !IsValidViewerName(from) : !IsValidDid(from.c_str())) return;
    if (size > kMaxSignalBytes) return;
    if (s->m_onMessage) s->m_onMessage(from, data, size);
}

bool CSignalling::WaitReady(uint64_t deadlineMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    while (!m_bReady.load() && !m_bStopping.load()) {
        const uint64_t now = NowMs();
        if (now >= deadlineMs) return false;
        m_cv.wait_for(hold, std::chrono::milliseconds(deadlineMs - now));
    }
    return m_bReady.load();
}

bool CSignalling::SendTo(const std::string& peer, const std::string& payload) {
    std::lock_guard<std::mutex> hold(m_clientLock);
    if (!m_pClient || m_bStopping.load() || payload.size() > kMaxSignalBytes) return false;
    const std::string topic = std::string(m_bDevice ? "pppp/v/" : "pppp/d/") + peer + "/" + m_config.user;
    return mosquitto_publish(m_pClient, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                             false) == MOSQ_ERR_SUCCESS;
}

int CSignalling::Presence(const std::string& did, uint64_t deadlineMs) {
    if (!WaitReady(deadlineMs)) return -1;
    const std::string topic = PresenceTopic(did);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_presence[did].users;
    }
    // A retained presence arrives right after its subscription is confirmed;
    // a second subscription's confirmation comes after it, so once that is
    // seen, no presence means none.
    int first = 0, second = -2;
    {
        std::lock_guard<std::mutex> hold(m_clientLock);
        if (!m_pClient || m_bStopping.load()) return -1;
        mosquitto_subscribe(m_pClient, &first, topic.c_str(), 0);
        mosquitto_subscribe(m_pClient, &second, m_strInbox.c_str(), 1);
    }
    int result = -1;
    {
        std::unique_lock<std::mutex> hold(m_lock);
        for (;;) {
            result = m_presence[did].present;
            // Confirmations come in order (message ids count up).
            if (result >= 0 || m_nLastSuback >= second || m_bStopping.load()) break;
            const uint64_t now = NowMs();
            if (now >= deadlineMs) break;
            m_cv.wait_for(hold, std::chrono::milliseconds(deadlineMs - now));
        }
        result = m_presence[did].present;
        if (--m_presence[did].users > 0) return result;
        m_presence.erase(did);
    }
    std::lock_guard<std::mutex> hold(m_clientLock);
    if (m_pClient && !m_bStopping.load()) mosquitto_unsubscribe(m_pClient, nullptr, topic.c_str());
    return result;
}

void CSignalling::SetPresent(bool present) {
    m_bPresent = present;
    if (m_bReady.load()) PublishPresence(present);
}

}  // namespace pppp
