#pragma once
// The active language pack as the About box and the link's messages read it.

#include <optional>
#include <string>
#include <string_view>

#include "service/app/AboutDlg.h"
#include "service/app/LangTable.h"

namespace app {

class CLangTableTexts final : public ILanguageTexts {
public:
    explicit CLangTableTexts(const CLangTable& table) : m_table(table) {}
    bool HoldsPack() const override { return m_table.HasPack(); }
    std::optional<std::u16string> Text(std::u16string_view key) const override {
        const std::u16string* text = m_table.GetText(key);
        return text ? std::optional<std::u16string>(*text) : std::nullopt;
    }

private:
    const CLangTable& m_table;
};

}  // namespace app
