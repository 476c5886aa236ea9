#include "widgets/DlgTextBox.h"

#include "widgets/DesktopLook.h"
#include "widgets/DialogUnits.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>

namespace widgets {
namespace {

// Layout in dialog units.
constexpr int WIDTH = 256;
constexpr int HEIGHT = 79;
constexpr int BUTTON_W = 59;
constexpr int BUTTON_H = 19;
constexpr int BUTTON_TOP = 56;
constexpr int YES_LEFT = 64;
constexpr int NO_LEFT = 133;
constexpr int OK_LEFT = (YES_LEFT + NO_LEFT) / 2;

} // namespace

QString bitmapOf(base::BigBoxKind kind)
{
    switch (kind) {
    case base::BigBoxKind::Error:
        return QStringLiteral(":/bmpError.svg");
    case base::BigBoxKind::Info:
        return QStringLiteral(":/bmpInfo.svg");
    case base::BigBoxKind::Warning:
        return QStringLiteral(":/bmpWarning.svg");
    case base::BigBoxKind::Text:
        break;
    }
    return QStringLiteral(":/bmpQuestion.svg");
}

DlgTextBox::DlgTextBox(base::BigBoxKind kind, const QString& caption, const QString& text, QWidget* owner)
    : QDialog(owner)
    , m_txtMessage(new QLabel(text, this))
    , m_pshYes(new QPushButton(QStringLiteral("&Ja"), this))
    , m_pshNo(new QPushButton(QStringLiteral("&Nein"), this))
    , m_pshOk(new QPushButton(QStringLiteral("&OK"), this))
    , m_pshIcon(new QToolButton(this))
{
    setObjectName(QStringLiteral("dlgTextBox"));
    setWindowTitle(caption);
    setModal(true);
    m_txtMessage->setObjectName(QStringLiteral("txtMessage"));
    m_pshYes->setObjectName(QStringLiteral("pshYes"));
    m_pshNo->setObjectName(QStringLiteral("pshNo"));
    m_pshOk->setObjectName(QStringLiteral("pshOk"));
    m_pshIcon->setObjectName(QStringLiteral("pshIcon"));

    const DialogUnits du(font());
    m_pshIcon->setGeometry(du.rect(7, 7, 18, 16));
    m_pshIcon->setAutoRaise(true);
    m_pshIcon->setEnabled(false);
    m_pshIcon->setFocusPolicy(Qt::NoFocus);
    m_pshIcon->setIconSize(m_pshIcon->size());
    m_pshIcon->setStyleSheet(QStringLiteral("QToolButton { border: none; }"));
    // The desktop theme's picture, the program's own bitmap without a theme. The button is disabled; give the
    // disabled state the picture as drawn, not greyed out.
    const QPixmap bitmap = themeIcon(themeNameOf(kind), QIcon(bitmapOf(kind))).pixmap(m_pshIcon->iconSize());
    QIcon icon;
    icon.addPixmap(bitmap, QIcon::Normal);
    icon.addPixmap(bitmap, QIcon::Disabled);
    m_pshIcon->setIcon(icon);

    m_txtMessage->setAlignment(Qt::AlignCenter);
    m_txtMessage->setWordWrap(true);
    m_txtMessage->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QRect textRect = du.rect(20, 7, 229, 46);
    // A message longer than the box would be cut off: let the box grow downwards instead.
    const int needed = m_txtMessage->heightForWidth(textRect.width());
    const int extra = std::max(0, needed - textRect.height());
    textRect.setHeight(textRect.height() + extra);
    m_txtMessage->setGeometry(textRect);

    m_pshYes->setGeometry(du.rect(YES_LEFT, BUTTON_TOP, BUTTON_W, BUTTON_H).translated(0, extra));
    m_pshNo->setGeometry(du.rect(NO_LEFT, BUTTON_TOP, BUTTON_W, BUTTON_H).translated(0, extra));
    m_pshOk->setGeometry(du.rect(OK_LEFT, BUTTON_TOP, BUTTON_W, BUTTON_H).translated(0, extra));
    m_pshOk->setDefault(true);

    const bool question = kind == base::BigBoxKind::Text;
    m_pshYes->setVisible(question);
    m_pshNo->setVisible(question);
    m_pshOk->setVisible(!question);

    setFixedSize(du.size(WIDTH, HEIGHT) + QSize(0, extra));
    offerNoMaximise(this);

    connect(m_pshOk, &QPushButton::clicked, this, [this] { finish(base::BIG_OK); });
    connect(m_pshYes, &QPushButton::clicked, this, [this] { finish(base::BIG_YES); });
    connect(m_pshNo, &QPushButton::clicked, this, [this] { finish(base::BIG_NO); });
}

void DlgTextBox::finish(int code)
{
    m_result = code;
    accept();
}

int DlgTextBox::Show()
{
    m_result = base::BIG_CLOSED;
    // Both beep types of the platform (stop and question) sound the desktop's one bell here.
    QApplication::beep();
    exec();
    return m_result;
}

} // namespace widgets
