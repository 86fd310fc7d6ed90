#pragma once
// Starting the service when the user logs in: an entry in the desktop's
// autostart folder that runs this program. The window switches it on and
// off; the entry is the setting (there is no second copy to disagree).

#include <string>
#include <string_view>

namespace app {

class IAutostart {
public:
    // Whether the desktop starts the program at login.
    virtual bool IsOn() const = 0;
    // Switches it; false when the entry could not be written or removed
    // (nothing changed then).
    virtual bool Set(bool on) = 0;

protected:
    ~IAutostart() = default;
};

// The freedesktop.org autostart entry `<folder>/zelt2-service.desktop`.
class CXdgAutostart final : public IAutostart {
public:
    // `folder` is the autostart folder, `program` the absolute path of the
    // program the entry runs.
    CXdgAutostart(std::string folder, std::string program);

    // $XDG_CONFIG_HOME/autostart, else $HOME/.config/autostart; empty when
    // neither is set to an absolute path.
    static std::string DefaultFolder();

    bool IsOn() const override;
    bool Set(bool on) override;
    const std::string& EntryPath() const { return m_strEntry; }

private:
    std::string m_strFolder;
    std::string m_strEntry;
    std::string m_strProgram;
};

// The Exec key's value that runs `program` with no arguments, quoted and
// escaped as desktop entries require; empty for a path no entry can hold
// (a line break, a control character).
std::string DesktopExecValue(std::string_view program);

}  // namespace app
