// A second process for the hive file's tests. It finds the hive through the
// environment, as the service does.
//
//   hive_writer loop <first>          writes the "Blob" value of Software\KillTest
//                                     for first, first+1, ... until killed, and
//                                     says "r" when ready and "w" after each write
//   hive_writer keys <name> <count>   writes count DWORDs v0.. under
//                                     Software\Race\<name> through a registry store;
//                                     exits 0 when every write succeeded and reads back

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "service/settings/RegStore.h"
#include "tests/video/KillTestBlob.h"

using namespace settings;

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "loop") == 0) {
        IRegistry& reg = DefaultRegistry();
        HREGKEY key = nullptr;
        if (reg.CreateKey(kRegCurrentUser, u"Software\\KillTest", kKeySetValue, &key) != kRegOk) return 2;
        // Tells the test on standard output: "r" ready to write, "w" after each write.
        if (::write(STDOUT_FILENO, "r", 1) != 1) return 4;
        for (uint32_t n = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));; ++n) {
            const std::vector<uint8_t> blob = killtest::Blob(n);
            if (reg.SetValue(key, u"Blob", kRegBinary, blob.data(), static_cast<uint32_t>(blob.size())) != kRegOk)
                return 3;
            if (::write(STDOUT_FILENO, "w", 1) != 1) return 4;
        }
    }
    if (argc == 4 && std::strcmp(argv[1], "keys") == 0) {
        const std::u16string path = u"Software\\Race\\" + std::u16string(argv[2], argv[2] + std::strlen(argv[2]));
        const int count = std::atoi(argv[3]);
        CRegStore store(kRegStoreCreate);
        if (!store.Open(path, kRegCurrentUser, kKeyQueryValue | kKeySetValue, true)) return 2;
        for (int i = 0; i < count; ++i) {
            const std::string name = "v" + std::to_string(i);
            store.Value(std::u16string(name.begin(), name.end())).SetDword(static_cast<uint32_t>(i));
        }
        if (store.TakeWriteFailure()) return 5;
        store.Close();
        // Read back through a fresh open: every value must be there.
        if (!store.Open(path, kRegCurrentUser, kKeyQueryValue | kKeySetValue, false)) return 3;
        for (int i = 0; i < count; ++i) {
            const std::string name = "v" + std::to_string(i);
            CRegValue& v = store.Value(std::u16string(name.begin(), name.end()));
            if (v.m_nType != kRegDword || v.m_dwValue != static_cast<uint32_t>(i)) return 4;
        }
        return 0;
    }
    std::fprintf(stderr, "usage: hive_writer loop <first> | keys <name> <count>\n");
    return 1;
}
