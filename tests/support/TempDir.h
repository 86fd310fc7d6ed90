#pragma once
// A fresh folder under $TMPDIR (or /tmp) for the lifetime of a scope, removed
// with everything in it afterwards.

#include <string>

namespace testsupport {

class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "/" + name; }

private:
    std::string m_strPath;
};

// Whole-file helpers for tests: the bytes of `path` (empty when it cannot be
// read), and writing `bytes` to `path` (true on success).
std::string ReadBytes(const std::string& path);
bool WriteBytes(const std::string& path, const std::string& bytes);

}  // namespace testsupport
