#include "tests/support/TempDir.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Random.h"

namespace testsupport {

CTempDir::CTempDir() {
    namespace fs = std::filesystem;
    const char* env = std::getenv("TMPDIR");
    std::error_code ec;
    fs::path base = env && *env ? fs::path(env) : fs::temp_directory_path(ec);
    if (base.empty() || ec) base = "/tmp";
    // A name nobody else can guess, made by this process alone (as mkdtemp does).
    for (int attempt = 0; attempt < 100 && m_strPath.empty(); ++attempt) {
        uint32_t random = 0;
        if (!platform::SecureRandomBytes(&random, sizeof random)) return;
        char name[32];
        std::snprintf(name, sizeof name, "zelt2-test-%08x", static_cast<unsigned>(random));
        const fs::path dir = base / name;
        if (fs::create_directory(dir, ec) && !ec) {
            fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
            m_strPath = dir.string();
        }
    }
}

CTempDir::~CTempDir() {
    if (m_strPath.empty()) return;
    std::error_code ignored;
    // Tests may leave folders without permissions behind; give them back first.
    for (auto it = std::filesystem::recursive_directory_iterator(m_strPath, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(m_strPath, ignored);
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace testsupport
