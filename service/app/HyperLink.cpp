#include "service/app/HyperLink.h"

#include "platform/Trace.h"
#include "service/app/LinkErrorText.h"

namespace app {

void CHyperLink::Attach(ILinkView* view) {
    m_pView = view;
    if (!m_pView) return;
    if (m_strURL.empty()) m_strURL = m_pView->GetText();
    if (m_pView->GetText().empty()) SetLinkText(m_strURL);
    PositionWindow();
    m_pView->SetToolTip(m_strURL);
}

void CHyperLink::SetURL(const std::u16string& target) {
    m_strURL = target;
    if (m_pView && m_pView->Exists()) {
        PositionWindow();
        m_pView->SetToolTip(target);
    }
}

void CHyperLink::SetColours(Colour link, Colour visited, int64_t hover) {
    m_crLinkColour = link;
    m_crVisitedColour = visited;
    if (hover == kHighlightColour) {
        m_crHoverColour = m_pView ? m_pView->HighlightColour() : Rgb(0, 120, 215);
    } else {
        m_crHoverColour = static_cast<Colour>(hover);
    }
    if (m_pView && m_pView->Exists()) m_pView->Repaint();
}

void CHyperLink::SetVisited(bool visited) {
    m_bVisited = visited;
    if (m_pView && m_pView->Exists()) m_pView->Repaint();
}

void CHyperLink::SetLinkText(const std::u16string& text) {
    if (!m_pView || !m_pView->Exists()) return;
    m_pView->SetText(text);
    PositionWindow();
}

void CHyperLink::PositionWindow() {
    if (m_pView && m_pView->Exists() && m_bAdjustToFit) m_pView->FitToText();
}

void CHyperLink::SetOver(bool over) {
    if (over == m_bOver) return;
    m_bOver = over;
    if (m_pView && m_pView->Exists()) m_pView->Repaint();
}

Colour CHyperLink::TextColour() const {
    if (m_bOver) return m_crHoverColour;
    return m_bVisited ? m_crVisitedColour : m_crLinkColour;
}

void CHyperLink::OnClicked() {
    m_bOver = false;
    if (!m_bFollowLink) return;
    const platform::UrlOpenResult result = GotoURL(m_strURL);
    m_bVisited = result.Opened();
    if (m_bVisited) {
        if (m_pView) m_pView->Repaint();
        return;
    }
    if (m_pView) m_pView->Beep();
    if (m_failureTexts) {
        ZTRACE("GotoURL(.)=%d\n", ReportErrorCode(result));
        if (m_pView) m_pView->ShowFailure(m_failureTexts->strCaption, LinkFailureText(*m_failureTexts, result, m_strURL));
        return;
    }
    ReportError(ReportErrorCode(result));
}

platform::UrlOpenResult CHyperLink::GotoURL(std::u16string_view target) const {
    // No way to open anything is the desktop having no handler.
    return m_openUrl ? m_openUrl(target) : platform::UrlOpenResult::NoHandler();
}

void CHyperLink::ReportError(int code) {
    ZTRACE("GotoURL(.)=%d\n", code);
    if (m_pView) m_pView->ShowError(ReportErrorText(code));
}

}  // namespace app
