#pragma once
// The link control drawn by Qt: a label in the link's colour and font, with a
// hand cursor and the target as its tooltip. What it does lives in
// app::CHyperLink; this widget is its ILinkView.

#include <QLabel>

#include "service/app/HyperLink.h"

namespace app::qt {

class CLinkAccessible;

class CQtHyperLink : public QLabel, public app::ILinkView {
    Q_OBJECT
public:
    explicit CQtHyperLink(const QString& text, QWidget* parent = nullptr);
    ~CQtHyperLink() override;

    // The behaviour this widget draws: its own until another is attached
    // (the window logic may keep the link it configures).
    app::CHyperLink& Link() { return *m_pLink; }
    void UseLink(app::CHyperLink* link);

    // ILinkView
    bool Exists() const override { return true; }
    std::u16string GetText() const override;
    void SetText(const std::u16string& text) override;
    void FitToText() override;
    void SetToolTip(const std::u16string& tip) override;
    void Repaint() override;
    app::Colour HighlightColour() const override;
    void Beep() override;
    void ShowError(const std::u16string& text) override;
    void ShowFailure(const std::u16string& caption, const std::u16string& text) override;

signals:
    // Sent to the parent before the link follows its target.
    void clicked();

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    friend class CLinkAccessible;
    // A click, Space while it has the focus, or a screen reader's press:
    // tell the parent, then follow.
    void Activate();

    app::CHyperLink m_ownLink;
    app::CHyperLink* m_pLink = &m_ownLink;
    bool m_bPressed = false;
};

}  // namespace app::qt
