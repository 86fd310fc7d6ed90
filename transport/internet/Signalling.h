#pragma once
// The broker connection of the internet route: one MQTT client per process
// (libmosquitto, its own network thread, TLS for mqtts://), logged in as the
// rendezvous `user`. It reads its own inbox, publishes to peers' inboxes, and
// for a device keeps its presence: retained "1" while it serves, "0" after
// (also as its will, so a vanished device reads as gone).
//
// Topics: pppp/d/<DID>/<viewer> (viewer -> device), pppp/v/<viewer>/<DID>
// (device -> viewer), pppp/p/<DID> (presence). The broker checks who may
// write where, so the sender is the topic's last level.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "transport/internet/Config.h"
#include "transport/internet/SignalMessage.h"
#include "transport/internet/SignallingPort.h"

struct mosquitto;
struct mosquitto_message;

namespace pppp {

class CSignalling final : public ISignalling {
public:
    explicit CSignalling(const CRendezvousConfig& config);
    ~CSignalling() override;
    CSignalling(const CSignalling&) = delete;
    CSignalling& operator=(const CSignalling&) = delete;

    bool Start(MessageFn onMessage) override;
    void Stop() override;
    bool WaitReady(uint64_t deadlineMs) override;
    // QoS 1.
    bool SendTo(const std::string& peer, const std::string& payload) override;
    int Presence(const std::string& did, uint64_t deadlineMs) override;
    void SetPresent(bool present) override;
    bool Connected() const { return m_bReady.load(); }

private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted);
    void PublishPresence(bool present);

    const CRendezvousConfig m_config;
    const bool m_bDevice;
    const std::string m_strInbox;     // what we subscribe to
    const std::string m_strInboxRoot; // its prefix up to the sender level
    MessageFn m_onMessage;
    std::mutex m_clientLock;  // m_pClient's lifetime against calls from other threads
    mosquitto* m_pClient = nullptr;
    bool m_bLoopStarted = false;

    std::mutex m_lock;
    std::condition_variable m_cv;
    std::atomic<bool> m_bReady{false};
    std::atomic<bool> m_bStopping{false};
    std::atomic<bool> m_bPresent{false};
    int m_nSubscribeMid = -1;          // the inbox subscription being confirmed
    int m_nLastSuback = -1;
    struct Lookup {
        int present = -1;  // -1 nothing heard yet, else 0 or 1
        int users = 0;     // calls waiting for it
    };
    std::map<std::string, Lookup> m_presence;  // DIDs being looked up
};

}  // namespace pppp
