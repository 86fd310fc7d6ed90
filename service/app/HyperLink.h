#pragma once
// A static text that behaves like a web link: coloured, underlined, a hand
// cursor, a tooltip with its target, and a click that opens the target with
// the desktop's web browser. This is the link's behaviour; a toolkit draws it
// through ILinkView (the Qt window's link widget, a fake in tests).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Url.h"
#include "service/app/LinkFailure.h"

namespace app {

// Colours as 0x00BBGGRR, the way the dialog templates name them.
using Colour = uint32_t;
constexpr Colour Rgb(uint8_t r, uint8_t g, uint8_t b) {
    return Colour(r) | (Colour(g) << 8) | (Colour(b) << 16);
}
// As a hover colour: the desktop's highlight colour at the time it is set.
inline constexpr int64_t kHighlightColour = -1;

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
    // A modal error box with its own caption, whose text the user can select
    // and copy (it holds the address).
    virtual void ShowFailure(const std::u16string& caption, const std::u16string& text) = 0;

protected:
    ~ILinkView() = default;
};

// How the link opens its target: the desktop's handler (platform::OpenUrl)
// unless another is set.
using UrlOpenFunction = std::function<platform::UrlOpenResult(std::u16string_view target)>;

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
    void SetOpener(UrlOpenFunction openUrl) { m_openUrl = std::move(openUrl); }
    // What a failure says from now on: why, in the window's language, and
    // the address to copy (LinkFailureText) instead of the shell's code.
    void SetFailureTexts(LinkFailureTexts texts) { m_failureTexts = std::move(texts); }

    // The mouse entered or left the widget.
    void SetOver(bool over);
    bool IsOver() const { return m_bOver; }
    // The colour the text is drawn in now.
    Colour TextColour() const;

    // The widget was clicked (after the parent was told): opens the target
    // when following links; visited tells whether it opened. A failure beeps
    // and shows ReportErrorText.
    void OnClicked();

    platform::UrlOpenResult GotoURL(std::u16string_view target) const;
    // Shows the error box for `code` (LinkErrorText.h).
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
    UrlOpenFunction m_openUrl = platform::OpenUrl;
    std::optional<LinkFailureTexts> m_failureTexts;
};

}  // namespace app
