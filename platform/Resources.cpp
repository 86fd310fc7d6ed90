#include "platform/Resources.h"

namespace platform {
namespace {

bool SameType(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

bool FindProgramResource(std::string_view type, int id, std::span<const uint8_t>& bytes) {
    for (const ProgramResource& resource : ProgramResources()) {
        if (resource.nId == id && SameType(resource.pszType, type)) {
            bytes = std::span<const uint8_t>(resource.pData, resource.cbData);
            return true;
        }
    }
    return false;
}

}  // namespace platform
