#pragma once
// The link control drawn on a static control of a dialog: the link's colour
// and an underlined font, a hand cursor, the target as its tooltip, reachable
// with Tab and pressed with Space. What it does lives in app::CHyperLink;
// this is its ILinkView. A click reaches the dialog as STN_CLICKED, which the
// dialog answers by telling its logic and then calling Link().OnClicked().
//
// Threads: the window's thread only.

#include "service/app/win32/Win32Api.h"

#include <string>

#include "service/app/DialogHost.h"
#include "service/app/HyperLink.h"

namespace app::win32 {

class CWin32HyperLink final : public app::ILinkView {
public:
    // `words` are the message boxes' button texts, kept by the caller.
    explicit CWin32HyperLink(const ButtonTexts& words) : m_words(words) {}
    ~CWin32HyperLink();
    CWin32HyperLink(const CWin32HyperLink&) = delete;
    CWin32HyperLink& operator=(const CWin32HyperLink&) = delete;

    // Takes over the static control `control` (which gets SS_NOTIFY).
    void Attach(HWND control);
    app::CHyperLink& Link() { return m_link; }
    HWND Control() const { return m_hWnd; }
    // The tooltip's text as the tooltip holds it.
    std::u16string ToolTipText() const;

    // ILinkView
    bool Exists() const override { return m_hWnd && ::IsWindow(m_hWnd); }
    std::u16string GetText() const override;
    void SetText(const std::u16string& text) override;
    void FitToText() override;
    void SetToolTip(const std::u16string& tip) override;
    void Repaint() override;
    app::Colour HighlightColour() const override { return ::GetSysColor(COLOR_HIGHLIGHT); }
    void Beep() override { ::MessageBeep(MB_ICONEXCLAMATION); }
    void ShowError(const std::u16string& text) override;
    void ShowFailure(const std::u16string& caption, const std::u16string& text) override;

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
    void Paint(HDC dc);

    const ButtonTexts& m_words;
    app::CHyperLink m_link;
    HWND m_hWnd = nullptr;
    HWND m_hTip = nullptr;
    HFONT m_hFont = nullptr;
    std::u16string m_strTip;
};

}  // namespace app::win32
