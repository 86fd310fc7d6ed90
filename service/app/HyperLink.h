#pragma once
// A static text that behaves like a web link: coloured, underlined, a hand
// cursor, a tooltip with its target, and a click that opens the target with
// the desktop's web browser. This is the link's behaviour; a toolkit draws it
// through ILinkView (the Qt window's link widget, a fake in tests).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// Colours as 0x00BBGGRR, the way the dialog templates name them.
using Colour = uint32_t;
constexpr Colour Rgb(uint8_t r, uint8_t g, uint8_t b) {
    return Colour(r) | (Colour(g) << 8) | (Colour(b) << 16);
}
// As a hover colour: the desktop's highlight colour at the time it is set.
inline constexpr int64_t kHighlightColour = -1;

// GotoURL's results keep the meaning the link's callers know: above 32 the
// target was opened; 32 and below a reason (ReportErrorText says which).
inline constexpr int kOpenedOk = 33;
inline constexpr int kErrOutOfResources = 0;
inline constexpr int kErrFileNotFound = 2;
inline constexpr int kErrPathNotFound = 3;
inline constexpr int kErrAccessDenied = 5;
inline constexpr int kErrNotEnoughMemory = 8;
inline constexpr int kErrBadExecutable = 11;
inline constexpr int kErrNoAssociation = 31;

// What the link asks of the widget that draws it.
class ILinkView {
public:
    virtual bool Exists() const = 0;
    virtual std::u16string GetText() const = 0;
    virtual void SetText(const std::u16string& text) = 0;
    // Resizes the widget to its text in the link font (keeping the side its
    // alignment holds), and shows `tip` as its tooltip.
    virtual void FitToText() = 0;
    virtual void SetToolTip(const std::u16string& tip) = 0;
    virtual void Repaint() = 0;
    virtual Colour HighlightColour() const = 0;
    // The exclamation sound, and a modal error box with the program's name.
    virtual void Beep() = 0;
    virtual void ShowError(const std::u16string& text) = 0;

protected:
    ~ILinkView() = default;
};

// How GotoURL reaches the desktop. The opener is a program that opens a
// target with the user's preferred application and tells by its exit status
// whether it could (0 yes; 2 no such file; 3 and 4 nothing could open it).
struct UrlOpener {
    std::string strProgram = "xdg-open";
    // How long to wait for the opener's verdict. An opener still running by
    // then has found a program to open the target with (a browser it runs
    // in the foreground, for example) and counts as success.
    uint32_t dwWaitMs = 2000;
};

// Opens `target` with the desktop's opener. When that fails, the default web
// browser is started directly: the text/html handler named by the desktop's
// mimeapps.list, whose desktop entry's Exec line is cut at its %u, %U, %f or
// %F placeholder, with the target appended as one more argument. Returns
// kOpenedOk (or another value above 32) on success; otherwise the opener's
// failure code (also when the fallback finds no browser or cannot build its
// command).
int GotoURL(std::u16string_view target, const UrlOpener& opener = {});

// The fallback alone: the default browser's command line for `target` as
// program arguments (UTF-8), or an empty list when the desktop names no
// usable browser or the command would exceed 519 UTF-16 units.
std::vector<std::string> DefaultBrowserCommand(std::u16string_view target);

// "Unable to open hyperlink:\n\n" and the reason for `code`.
std::u16string ReportErrorText(int code);

class CHyperLink {
public:
    CHyperLink() = default;
    // Starts drawing through `view` (the widget now exists): an empty target
    // takes the window text, an empty window text takes the target; the
    // widget is fitted to its text and shows the target as its tooltip.
    void Attach(ILinkView* view);
    void Detach() { m_pView = nullptr; }

    void SetURL(const std::u16string& target);
    const std::u16string& GetURL() const { return m_strURL; }
    void SetColours(Colour link, Colour visited, int64_t hover = kHighlightColour);
    void SetVisited(bool visited = true);
    bool GetVisited() const { return m_bVisited; }
    void SetLinkText(const std::u16string& text);
    void SetUnderline(bool underline) { m_bUnderline = underline; }
    bool GetUnderline() const { return m_bUnderline; }
    void SetAutoSize(bool adjust) { m_bAdjustToFit = adjust; }
    bool GetAutoSize() const { return m_bAdjustToFit; }
    void SetFollowLink(bool follow) { m_bFollowLink = follow; }
    void SetOpener(const UrlOpener& opener) { m_opener = opener; }

    // The mouse entered or left the widget.
    void SetOver(bool over);
    bool IsOver() const { return m_bOver; }
    // The colour the text is drawn in now.
    Colour TextColour() const;

    // The widget was clicked (after the parent was told): opens the target
    // when following links; visited tells whether it opened. A failure beeps
    // and shows ReportErrorText.
    void OnClicked();

    void ReportError(int code);

private:
    void PositionWindow();

    ILinkView* m_pView = nullptr;
    Colour m_crLinkColour = Rgb(0, 0, 238);
    Colour m_crVisitedColour = Rgb(85, 26, 139);
    Colour m_crHoverColour = Rgb(255, 92, 0);
    bool m_bOver = false;
    bool m_bVisited = false;
    bool m_bUnderline = true;
    bool m_bAdjustToFit = true;
    bool m_bFollowLink = true;
    std::u16string m_strURL;
    UrlOpener m_opener;
};

}  // namespace app
