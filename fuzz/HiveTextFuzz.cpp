// Whatever a user might put in the hive file, read as the registry reads it,
// written back as the registry writes it, and read again: the second reading
// must be clean and hold exactly what the first did (keys, values, comments),
// and writing it once more must give the same text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/settings/hivefile/HiveText.h"

namespace {

using namespace settings::hive;

bool SameValue(const HiveValue& a, const HiveValue& b) {
    return a.name == b.name && a.type == b.type && a.data == b.data && a.comments == b.comments;
}

bool SameHive(const Hive& a, const Hive& b) {
    if (a.keys.size() != b.keys.size() || a.trailingComments != b.trailingComments) return false;
    for (size_t k = 0; k < a.keys.size(); ++k) {
        const HiveKey& x = a.keys[k];
        const HiveKey& y = b.keys[k];
        if (x.path != y.path || x.comments != y.comments || x.values.size() != y.values.size()) return false;
        for (size_t v = 0; v < x.values.size(); ++v)
            if (!SameValue(x.values[v], y.values[v])) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Hive first;
    ParseHive(bytes, first);
    const std::string text = FormatHive(first);
    Hive second;
    if (!ParseHive(text, second).clean) std::abort();
    if (!SameHive(first, second)) std::abort();
    if (FormatHive(second) != text) std::abort();
    return 0;
}
