// Callers that come and go faster than pipelines stop: real webrtcbin peers,
// closed together, make the transport refuse new peers until most of them
// have gone, and then make peers again. Nothing leaves this host: the peers
// never negotiate.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/support/Wait.h"
#include "transport/internet/WebRtcPeer.h"

#if defined(__SANITIZE_ADDRESS__)
// GLib allocates one block while it is loaded and never frees it; full stacks
// tell that block (made under the loader) apart from anything of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:_dl_init\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
#endif

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
