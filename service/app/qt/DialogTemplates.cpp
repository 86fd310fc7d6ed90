#include "service/app/qt/DialogTemplates.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSvgRenderer>
#include <QToolTip>
#include <QValidator>
#include <QVBoxLayout>

#include "service/app/AboutDlg.h"
#include "service/app/DialogIds.h"
#include "service/app/qt/QtHyperLink.h"
#include "service/app/qt/QtToggleButton.h"
#include "service/video/Preview.h"
#include "wire/Sealing.h"

// The icon is compiled into this static library; its registration must be
// pulled in by name, or the linker leaves it out.
static void InitIconResources() { Q_INIT_RESOURCE(resources); }

namespace app::qt {
namespace {

using video::kPreviewMaxHeight;
using video::kPreviewMaxWidth;

QLabel* RightLabel(const char* text, QWidget* parent) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

// The password box takes what the password buffer holds (its last byte ends
// the text) and scrolls; what goes beyond is refused where it is typed, with
// the reason shown, so nothing typed is dropped unseen. A longer text set by
// the window (a stored password) may still be shortened.
class CByteLimit final : public QValidator {
public:
    CByteLimit(QLineEdit* edit, int bytes) : QValidator(edit), m_pEdit(edit), m_nBytes(bytes) {}
    State validate(QString& input, int&) const override {
        const qsizetype bytes = input.toUtf8().size();
        return bytes <= m_nBytes || bytes < m_pEdit->text().toUtf8().size() ? Acceptable : Invalid;
    }

private:
    QLineEdit* m_pEdit;
    int m_nBytes;
};

void LimitToPasswordBuffer(QLineEdit* edit) {
    constexpr int kBytes = static_cast<int>(wire::kPasswordBufferSize) - 1;
    edit->setValidator(new CByteLimit(edit, kBytes));
    QObject::connect(edit, &QLineEdit::inputRejected, edit, [edit] {
        QToolTip::showText(edit->mapToGlobal(QPoint(0, edit->height())),
                           QStringLiteral("The password holds at most %1 bytes: %1 letters A to Z or digits, "
                                          "fewer of other scripts. This character does not fit.")
                               .arg(kBytes),
                           edit);
    });
}

}  // namespace

MainWindowControls BuildMainWindow(QWidget& window) {
    MainWindowControls c;
    auto add = [&c](int id, QWidget* w) {
        w->setObjectName(QStringLiteral("ctl%1").arg(id));
        c.byId[id] = w;
        return w;
    };
    window.setWindowTitle(QStringLiteral("ZELT2 Service"));

    auto* top = new QGridLayout;
    top->addWidget(add(kIdcLanguageLabel, RightLabel("Language Select:", &window)), 0, 0);
    auto* language = new QComboBox(&window);
    language->setProperty("sorted", true);
    language->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    top->addWidget(add(kIdcLanguage, language), 0, 1);
    top->addWidget(add(kIdcAbout, new QPushButton(QStringLiteral("About"), &window)), 0, 2);
    top->addWidget(add(kIdcCameraLabel, RightLabel("USB Video Device List:", &window)), 1, 0);
    auto* camera = new QComboBox(&window);
    camera->setMinimumContentsLength(24);
    camera->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    top->addWidget(add(kIdcCamera, camera), 1, 1, 1, 2);
    top->setColumnStretch(1, 1);
    // Each label names the control beside it, for screen readers too.
    static_cast<QLabel*>(c.byId[kIdcLanguageLabel])->setBuddy(language);
    static_cast<QLabel*>(c.byId[kIdcCameraLabel])->setBuddy(camera);

    auto* quality = new QGroupBox(QStringLiteral("Image Quality"), &window);
    add(kIdcQualityGroup, quality);
    auto* qualityLayout = new QVBoxLayout(quality);
    auto* normal = new QRadioButton(QStringLiteral("Normal quality 320X240 at higher frame rate"), quality);
    auto* high = new QRadioButton(QStringLiteral("High quality 640X480 at lower frame rate"), quality);
    qualityLayout->addWidget(add(kIdcNormalQuality, normal));
    qualityLayout->addWidget(add(kIdcHighQuality, high));
    high->setChecked(true);
    quality->hide();
    normal->hide();
    high->hide();

    auto* code = new QGroupBox(QStringLiteral("Code Configuration"), &window);
    add(kIdcCodeGroup, code);
    auto* codeLayout = new QGridLayout(code);
    auto* did = new QLineEdit(code);
    did->setMaxLength(20);
    auto* password = new QLineEdit(code);
    LimitToPasswordBuffer(password);
    codeLayout->addWidget(add(kIdcDidLabel, RightLabel("DID:", code)), 0, 0);
    codeLayout->addWidget(add(kIdcDid, did), 0, 1);
    codeLayout->addWidget(add(kIdcPasswordLabel, RightLabel("Password:", code)), 1, 0);
    codeLayout->addWidget(add(kIdcPassword, password), 1, 1);
    codeLayout->setColumnStretch(1, 1);
    static_cast<QLabel*>(c.byId[kIdcDidLabel])->setBuddy(did);
    static_cast<QLabel*>(c.byId[kIdcPasswordLabel])->setBuddy(password);
    auto* warning = new QLabel(code);
    warning->setWordWrap(true);
    warning->setStyleSheet(QStringLiteral("color: #9a3b00;"));
    warning->hide();
    codeLayout->addWidget(add(kIdcPasswordWarning, warning), 2, 1);
    c.pLink = new CQtHyperLink(QStringLiteral("Manage my Halvorn account at xxxx"), code);
    c.pLink->setFocusPolicy(Qt::StrongFocus);
    codeLayout->addWidget(add(kIdcAccountLink, c.pLink), 3, 0, 1, 2, Qt::AlignLeft);

    auto* connect = new CQtToggleButton(QStringLiteral("Connect to Internet"), &window);
    add(kIdcConnect, connect);

    auto* net = new QGroupBox(QStringLiteral("Networking"), &window);
    add(kIdcNetworkGroup, net);
    auto* netLayout = new QGridLayout(net);
    auto value = [net](const char* text, int minChars) {
        auto* label = new QLabel(QString::fromUtf8(text), net);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QLatin1Char('0')) * minChars);
        return label;
    };
    netLayout->addWidget(add(kIdcClockLabel, new QLabel(QStringLiteral("Current Time:"), net)), 0, 0);
    netLayout->addWidget(add(kIdcClock, value("-", 24)), 0, 1);
    netLayout->addWidget(add(kIdcOnlineLabel, new QLabel(QStringLiteral("Number of online viewer:"), net)), 1, 0);
    netLayout->addWidget(add(kIdcOnline, value("0", 4)), 1, 1);
    netLayout->addWidget(add(kIdcStatusLabel, new QLabel(QStringLiteral("Status:"), net)), 2, 0);
    netLayout->addWidget(add(kIdcStatus, value("Stopped", 24)), 2, 1);
    netLayout->setColumnStretch(1, 1);

    // The live preview, beside the networking group: what the viewers see,
    // small, or a note when there is no picture.
    auto* preview = new QLabel(QStringLiteral("No picture"), &window);
    preview->setFixedSize(kPreviewMaxWidth + 2, kPreviewMaxHeight + 2);
    preview->setAlignment(Qt::AlignCenter);
    preview->setWordWrap(true);
    preview->setFrameShape(QFrame::Box);
    preview->setStyleSheet(QStringLiteral("background: #202020; color: #e0e0e0;"));
    preview->setAccessibleName(QStringLiteral("Live preview"));
    add(kIdcPreview, preview);
    auto* netRow = new QHBoxLayout;
    netRow->addWidget(net, 1);
    netRow->addWidget(preview, 0, Qt::AlignVCenter);

    // How the program starts: at login, and serving again where it left off.
    auto* startAtLogin = add(kIdcStartAtLogin, new QCheckBox(QStringLiteral("Start when I log in"), &window));
    auto* resume =
        add(kIdcResume, new QCheckBox(QStringLiteral("Serve again at launch if serving when closed"), &window));

    auto* main = new QVBoxLayout(&window);
    main->addLayout(top);
    main->addWidget(quality);
    main->addWidget(code);
    main->addWidget(connect);
    main->addLayout(netRow);
    main->addWidget(startAtLogin);
    main->addWidget(resume);
    // The window is as large as its contents: a longer text grows it, and it
    // cannot be maximised or dragged larger.
    main->setSizeConstraint(QLayout::SetFixedSize);
    return c;
}

std::map<int, QWidget*> BuildAboutBox(QWidget& box, const QIcon& icon) {
    std::map<int, QWidget*> byId;
    auto add = [&byId](int id, QWidget* w) {
        w->setObjectName(QStringLiteral("ctl%1").arg(id));
        byId[id] = w;
        return w;
    };
    const AboutTexts aboutTemplate;
    box.setWindowTitle(QString::fromStdU16String(aboutTemplate.strTitle));
    auto* picture = new QLabel(&box);
    picture->setPixmap(icon.pixmap(48, 48));
    add(kIdAboutIcon, picture);
    auto* lines = new QVBoxLayout;
    lines->addWidget(add(kIdAboutVersion, new QLabel(QString::fromStdU16String(aboutTemplate.strVersion), &box)));
    lines->addWidget(add(kIdAboutApiVersion, new QLabel(QString::fromStdU16String(aboutTemplate.strApiVersion), &box)));
    lines->addWidget(add(kIdAboutLegal, new QLabel(QString(), &box)));
    auto* licences = new QLabel(QString(), &box);
    licences->setTextFormat(Qt::PlainText);
    licences->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    lines->addWidget(add(kIdAboutLicences, licences));
    auto* ok = new QPushButton(QStringLiteral("OK"), &box);
    ok->setDefault(true);
    add(1, ok);
    auto* row = new QHBoxLayout(&box);
    row->addWidget(picture, 0, Qt::AlignTop);
    row->addLayout(lines, 1);
    row->addWidget(ok, 0, Qt::AlignTop);
    row->setSizeConstraint(QLayout::SetFixedSize);
    return byId;
}

QIcon AppIcon() {
    // Drawn at the sizes that window frames, trays and the About box ask
    // for, without depending on an SVG icon-engine plugin being installed.
    InitIconResources();
    QIcon result;
    QSvgRenderer renderer(QStringLiteral(":/zelt2/zelt2-icon.svg"));
    if (!renderer.isValid()) return result;
    for (const int size : {16, 24, 32, 48, 64, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        result.addPixmap(pixmap);
    }
    return result;
}

}  // namespace app::qt
