#include "transport/internet/SignalMessage.h"

#include <glib.h>

#include <cstdio>
#include <json-glib/json-glib.h>

#include "transport/internet/StrictJson.h"

namespace pppp {
namespace {

constexpr int kMaxDepth = 8;
constexpr size_t kMaxIceServers = 16;
constexpr size_t kMaxUrls = 8;
constexpr size_t kMaxCandidateBytes = 1024;

bool GetString(JsonObject* object, const char* name, size_t maxBytes, std::string* out) {
    JsonNode* node = json_object_get_member(object, name);
    if (!node || JSON_NODE_TYPE(node) != JSON_NODE_VALUE || json_node_get_value_type(node) != G_TYPE_STRING)
        return false;
    const char* s = json_node_get_string(node);
    if (!s || !g_utf8_validate(s, -1, nullptr)) return false;
    const std::string v(s);
    if (v.size() > maxBytes) return false;
    *out = v;
    return true;
}

bool GetUnsigned(JsonObject* object, const char* name, uint32_t* out) {
    JsonNode* node = json_object_get_member(object, name);
    if (!node || JSON_NODE_TYPE(node) != JSON_NODE_VALUE || json_node_get_value_type(node) != G_TYPE_INT64)
        return false;
    const gint64 v = json_node_get_int(node);
    if (v < 0 || v > 0xFFFFFFFFll) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool NoControl(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

bool ParseIce(JsonObject* object, std::vector<IceServerEntry>* out) {
    JsonNode* node = json_object_get_member(object, "ice");
    if (!node) return true;  // no servers of the device's own
    if (JSON_NODE_TYPE(node) != JSON_NODE_ARRAY) return false;
    JsonArray* array = json_node_get_array(node);
    const guint n = json_array_get_length(array);
    if (n > kMaxIceServers) return false;
    for (guint i = 0; i < n; ++i) {
        JsonNode* e = json_array_get_element(array, i);
        if (JSON_NODE_TYPE(e) != JSON_NODE_OBJECT) return false;
        JsonObject* o = json_node_get_object(e);
        IceServerEntry entry;
        JsonNode* urls = json_object_get_member(o, "urls");
        if (!urls) return false;
        std::string one;
        if (GetString(o, "urls", 512, &one)) {
            entry.urls.push_back(one);
        } else if (JSON_NODE_TYPE(urls) == JSON_NODE_ARRAY) {
            JsonArray* list = json_node_get_array(urls);
            const guint m = json_array_get_length(list);
            if (m > kMaxUrls) return false;
            for (guint j = 0; j < m; ++j) {
                JsonNode* u = json_array_get_element(list, j);
                if (JSON_NODE_TYPE(u) != JSON_NODE_VALUE || json_node_get_value_type(u) != G_TYPE_STRING) return false;
                const char* s = json_node_get_string(u);
                if (!s || std::string(s).size() > 512 || !g_utf8_validate(s, -1, nullptr)) return false;
                entry.urls.push_back(s);
            }
        } else {
            return false;
        }
        if (json_object_has_member(o, "username") && !GetString(o, "username", 512, &entry.username)) return false;
        if (json_object_has_member(o, "credential") && !GetString(o, "credential", 512, &entry.credential))
            return false;
        for (const auto& u : entry.urls)
            if (!NoControl(u)) return false;
        if (!NoControl(entry.username) || !NoControl(entry.credential)) return false;
        out->push_back(std::move(entry));
    }
    return true;
}

}  // namespace

bool IsValidSid(const std::string& sid) {
    if (sid.size() != 16) return false;
    for (char c : sid)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string NewSid() {
    static const char kHex[] = "0123456789abcdef";
    uint8_t bytes[8] = {};
    FILE* f = std::fopen("/dev/urandom", "rb");
    bool ok = f && std::fread(bytes, 1, sizeof bytes, f) == sizeof bytes;
    if (f) std::fclose(f);
    if (!ok)
        for (auto& b : bytes) b = static_cast<uint8_t>(g_random_int());
    std::string sid;
    for (uint8_t b : bytes) {
        sid += kHex[b >> 4];
        sid += kHex[b & 15];
    }
    return sid;
}

bool ParseSignalMessage(const uint8_t* data, size_t size, SignalMessage* out) {
    if (!data || size == 0 || size > kMaxSignalBytes) return false;
    // The library is lenient (comments, single quotes, repeated members) and
    // recurses per nesting level: it reads only what passed the strict check.
    if (!IsStrictJson(data, size, kMaxDepth)) return false;
    JsonParser* parser = json_parser_new_immutable();
    bool ok = json_parser_load_from_data(parser, reinterpret_cast<const gchar*>(data), static_cast<gssize>(size),
                                         nullptr);
    JsonNode* root = ok ? json_parser_get_root(parser) : nullptr;
    ok = root && JSON_NODE_TYPE(root) == JSON_NODE_OBJECT;
    SignalMessage m;
    if (ok) {
        JsonObject* o = json_node_get_object(root);
        std::string type;
        ok = GetString(o, "type", 16, &type) && GetString(o, "sid", 16, &m.sid) && IsValidSid(m.sid);
        if (!ok) {
        } else if (type == "call") {
            m.type = SignalMessage::Call;
            ok = GetUnsigned(o, "version", &m.version);
        } else if (type == "offer") {
            m.type = SignalMessage::Offer;
            ok = GetString(o, "sdp", kMaxSignalBytes, &m.sdp) && ParseIce(o, &m.ice);
        } else if (type == "answer") {
            m.type = SignalMessage::Answer;
            ok = GetString(o, "sdp", kMaxSignalBytes, &m.sdp);
        } else if (type == "candidate") {
            m.type = SignalMessage::Candidate;
            ok = GetString(o, "candidate", kMaxCandidateBytes, &m.candidate) && NoControl(m.candidate) &&
                 m.candidate.rfind("candidate:", 0) == 0;
            // Browsers send the m-line index; a missing one means the only m-line.
            if (ok && json_object_has_member(o, "mline")) ok = GetUnsigned(o, "mline", &m.mline) && m.mline < 16;
        } else if (type == "refuse") {
            m.type = SignalMessage::Refuse;
            ok = GetString(o, "reason", 64, &m.reason);
        } else if (type == "bye") {
            m.type = SignalMessage::Bye;
        } else {
            ok = false;
        }
    }
    g_object_unref(parser);
    if (ok) *out = std::move(m);
    return ok;
}

std::string MakeSignalMessage(const SignalMessage& m) {
    static const char* const kTypes[] = {"call", "offer", "answer", "candidate", "refuse", "bye"};
    JsonBuilder* b = json_builder_new();
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "type");
    json_builder_add_string_value(b, kTypes[m.type]);
    json_builder_set_member_name(b, "sid");
    json_builder_add_string_value(b, m.sid.c_str());
    switch (m.type) {
    case SignalMessage::Call:
        json_builder_set_member_name(b, "version");
        json_builder_add_int_value(b, m.version);
        break;
    case SignalMessage::Offer:
    case SignalMessage::Answer:
        json_builder_set_member_name(b, "sdp");
        json_builder_add_string_value(b, m.sdp.c_str());
        if (m.type == SignalMessage::Offer) {
            json_builder_set_member_name(b, "ice");
            json_builder_begin_array(b);
            for (const auto& e : m.ice) {
                json_builder_begin_object(b);
                json_builder_set_member_name(b, "urls");
                json_builder_begin_array(b);
                for (const auto& u : e.urls) json_builder_add_string_value(b, u.c_str());
                json_builder_end_array(b);
                if (!e.username.empty()) {
                    json_builder_set_member_name(b, "username");
                    json_builder_add_string_value(b, e.username.c_str());
                    json_builder_set_member_name(b, "credential");
                    json_builder_add_string_value(b, e.credential.c_str());
                }
                json_builder_end_object(b);
            }
            json_builder_end_array(b);
        }
        break;
    case SignalMessage::Candidate:
        json_builder_set_member_name(b, "candidate");
        json_builder_add_string_value(b, m.candidate.c_str());
        json_builder_set_member_name(b, "mline");
        json_builder_add_int_value(b, m.mline);
        break;
    case SignalMessage::Refuse:
        json_builder_set_member_name(b, "reason");
        json_builder_add_string_value(b, m.reason.c_str());
        break;
    case SignalMessage::Bye:
        break;
    }
    json_builder_end_object(b);
    JsonNode* root = json_builder_get_root(b);
    gchar* text = json_to_string(root, FALSE);
    std::string out(text ? text : "{}");
    g_free(text);
    json_node_unref(root);
    g_object_unref(b);
    return out;
}

}  // namespace pppp
