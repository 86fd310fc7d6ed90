#include "transport/internet/ChannelBinding.h"

#include <glib.h>

#include <cstring>
#include <vector>

namespace pppp {
namespace {

constexpr char kLabel[] = "ZLT channel binding";

// The DER of the first certificate in a PEM text; empty when there is none.
std::vector<uint8_t> FirstCertificateDer(const std::string& pem) {
    static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
    static const std::string kEnd = "-----END CERTIFICATE-----";
    const size_t begin = pem.find(kBegin);
    if (begin == std::string::npos) return {};
    const size_t end = pem.find(kEnd, begin + kBegin.size());
    if (end == std::string::npos) return {};
    std::string body;
    for (size_t i = begin + kBegin.size(); i < end; ++i) {
        const char c = pem[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        const bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                            c == '+' || c == '/' || c == '=';
        if (!base64) return {};
        body.push_back(c);
    }
    if (body.empty() || body.size() % 4 != 0) return {};
    gsize size = 0;
    guchar* der = g_base64_decode(body.c_str(), &size);
    std::vector<uint8_t> out(der, der + size);
    g_free(der);
    return out;
}

bool Fingerprint(const std::vector<uint8_t>& der, uint8_t (&out)[32]) {
    if (der.empty()) return false;
    GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
    g_checksum_update(sum, der.data(), der.size());
    gsize size = sizeof out;
    g_checksum_get_digest(sum, out, &size);
    g_checksum_free(sum);
    return size == sizeof out;
}

}  // namespace

bool ChannelBindingFromPem(const std::string& devicePem, const std::string& viewerPem,
                           uint8_t (&out)[kChannelBindingSize]) {
    uint8_t device[32], viewer[32];
    if (!Fingerprint(FirstCertificateDer(devicePem), device) || !Fingerprint(FirstCertificateDer(viewerPem), viewer))
        return false;
    GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
    g_checksum_update(sum, reinterpret_cast<const guchar*>(kLabel), sizeof kLabel - 1);
    g_checksum_update(sum, device, sizeof device);
    g_checksum_update(sum, viewer, sizeof viewer);
    gsize size = kChannelBindingSize;
    g_checksum_get_digest(sum, out, &size);
    g_checksum_free(sum);
    return size == kChannelBindingSize;
}

}  // namespace pppp
