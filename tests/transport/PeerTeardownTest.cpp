// Callers that come and go faster than pipelines stop: real webrtcbin peers,
// closed together, make the transport refuse new peers until most of them
// have gone, and then make peers again. Nothing leaves this host: the peers
// never negotiate.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/support/GlibSanitizerOptions.h"
#include "tests/support/Wait.h"
#include "transport/internet/WebRtcPeer.h"

namespace {

std::unique_ptr<pppp::CWebRtcPeer> MakePeer() { return pppp::CWebRtcPeer::Create(true, {}, {}, nullptr); }

TEST(PeerTeardown, NoNewPeerWhileManyClosedOnesAreStillStopping) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "GStreamer's webrtcbin is not checked under ThreadSanitizer";
#endif
    if (!pppp::CWebRtcPeer::Prepare()) GTEST_SKIP() << "GStreamer's webrtcbin is not installed";
    std::vector<std::unique_ptr<pppp::CWebRtcPeer>> peers;
    for (int i = 0; i < 40; ++i) {
        peers.push_back(MakePeer());
        ASSERT_TRUE(peers.back()) << i;
    }
    // Closing hands each to the teardown thread at once; stopping one takes milliseconds.
    peers.clear();
    EXPECT_EQ(MakePeer(), nullptr);
    EXPECT_TRUE(testsupport::WaitUntil([] { return MakePeer() != nullptr; }, 60000));
    pppp::DrainPeerTeardowns();
}

}  // namespace
