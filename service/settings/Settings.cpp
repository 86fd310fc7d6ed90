#include "service/settings/Settings.h"

#include <limits>

namespace settings {

int32_t LeadingInt(std::u16string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) value = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

int32_t QualityModeFromValue(settings::CRegValue& value) {
    int32_t mode = 0;
    if (value.m_nType == settings::kRegSz || value.m_nType == settings::kRegBinary) {
        mode = LeadingInt(value.GetString());
    } else if (value.m_nType == settings::kRegDword) {
        mode = static_cast<int32_t>(value.m_dwValue);
    }
    return mode == 0 ? kQualityNormal : mode;
}

}  // namespace settings
