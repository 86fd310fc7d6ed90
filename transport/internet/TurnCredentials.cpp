#include "transport/internet/TurnCredentials.h"

#include <glib.h>

namespace pppp {

TurnCredential MakeTurnCredential(const std::string& secret, const std::string& name, uint64_t expiresAtSeconds) {
    TurnCredential c;
    c.username = std::to_string(expiresAtSeconds) + ":" + name;
    GHmac* hmac = g_hmac_new(G_CHECKSUM_SHA1, reinterpret_cast<const guchar*>(secret.data()), secret.size());
    g_hmac_update(hmac, reinterpret_cast<const guchar*>(c.username.data()), static_cast<gssize>(c.username.size()));
    guint8 digest[20];
    gsize size = sizeof digest;
    g_hmac_get_digest(hmac, digest, &size);
    g_hmac_unref(hmac);
    gchar* text = g_base64_encode(digest, size);
    c.password = text;
    g_free(text);
    return c;
}

}  // namespace pppp
