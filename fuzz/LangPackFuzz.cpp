// Whatever a language pack file might hold, read by the pack reader: the
// table that results never holds a line longer than a pack may have, and
// looking texts up in it is always safe.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "service/app/LangTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    app::CLangTable table;
    table.LoadBytes(data, size);
    if (table.Language().size() > app::kLangLineMax || table.Version().size() > app::kLangLineMax) std::abort();
    for (const char16_t* key : {u"1001", u"0996", u"1100", u""}) {
        const std::u16string* text = table.GetText(key);
        if (text && text->size() >= app::kLangLineMax) std::abort();
    }
    if (table.HasPack() != (table.Count() > 0)) std::abort();
    return 0;
}
