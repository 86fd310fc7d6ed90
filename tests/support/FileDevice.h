#pragma once
// A device inside a test program: the session server fed by a sample file,
// on the real transport of this program, which speaks on loopback only and
// finds devices on a discovery port of the program's own (so that other test
// programs may run beside it).

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "service/demo/DemoHost.h"
#include "service/demo/FileFrameSource.h"
#include "service/session/SessionServer.h"
#include "transport/PPPP_API.h"

namespace testsupport {

// The program's transport for a test suite's SetUpTestSuite: this host only,
// no probe, a keepalive quick enough for tests. PPPP_Initialize's result.
inline int InitLoopbackTransport(unsigned short discoveryPort) {
    PPPP_InitOptions options{};
    options.discoveryPort = discoveryPort;
    options.keepaliveMs = 200;
    options.deadPeerMs = 2000;
    options.flags = PPPP_INIT_LOOPBACK_ONLY | PPPP_INIT_NO_PROBE;
    char init[PPPP_INIT_STRING_LENGTH + 1];
    if (PPPP_MakeInitString(&options, init, sizeof init) != PPPP_INIT_STRING_LENGTH) return -1;
    return PPPP_Initialize(init);
}

class CFileDevice {
public:
    // Loads `sample`; LoadError() says why when it could not.
    explicit CFileDevice(const std::string& sample)
        : host(nullptr, nullptr),
          server(std::make_unique<session::CSessionServer>(pppp::RealPppp(), host)),
          source(std::make_unique<demo::CFileFrameSource>(*server)) {
        host.SetSource(source.get());
        m_bLoaded = source->Load(sample, m_loadError);
    }
    ~CFileDevice() { Stop(); }
    CFileDevice(const CFileDevice&) = delete;
    CFileDevice& operator=(const CFileDevice&) = delete;

    bool Loaded() const { return m_bLoaded; }
    const std::string& LoadError() const { return m_loadError; }

    // Listens as `did` and sends the sample's frames at `fps`. False when
    // either fails.
    bool Start(const std::string& did, const char16_t* password, uint8_t scramble, uint32_t fps = 50) {
        server->ClearSlots();
        server->SeedScramble(scramble);
        if (server->StartListening(platform::Utf8ToUtf16(did), password) != 0) return false;
        server->SetCaptureStart(platform::GetTickCount());
        return source->Start(fps);
    }
    void Stop() {
        server->StopListening();
        source->Stop();
        server->WaitForReaders();
        server->StopVideoTimer();
    }

    // The port the device `did` takes sessions on, as a viewer that found it
    // sees it (one session opened and closed); 0 when it is not found.
    static uint16_t FindPort(const std::string& did, uint32_t timeoutMs = 5000) {
        const int probe = PPPP_Connect(did.c_str(), timeoutMs);
        if (probe < 0) return 0;
        PPPP_SessionRecord record{};
        PPPP_Check(probe, &record);
        PPPP_Close(probe);
        return static_cast<uint16_t>(record.bytes[PPPP_REC_REMOTE_PORT] | (record.bytes[PPPP_REC_REMOTE_PORT + 1] << 8));
    }

    demo::CDemoHost host;
    std::unique_ptr<session::CSessionServer> server;
    std::unique_ptr<demo::CFileFrameSource> source;

private:
    bool m_bLoaded = false;
    std::string m_loadError;
};

}  // namespace testsupport
