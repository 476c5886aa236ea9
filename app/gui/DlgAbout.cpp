#include "app/gui/DlgAbout.h"

#include "base/BuildInfo.h"
#include "base/Program.h"
#include "widgets/DialogUnits.h"
#include "widgets/DtaHilfe.h"

#include <QIcon>
#include <QLabel>

namespace app::gui {
namespace {

// Layout in dialog units.
constexpr int WIDTH = 172;
constexpr int HEIGHT = 65;
constexpr int MARGIN = 7;
constexpr int ICON = 16;
constexpr int TEXT_LEFT = MARGIN + ICON + 7;
constexpr int TEXT_WIDTH = WIDTH - TEXT_LEFT - MARGIN;

} // namespace

DlgAbout::DlgAbout(QWidget* owner)
    : QDialog(owner)
    , m_txtVersion(new QLabel(this))
{
    setObjectName(QStringLiteral("dlgAbout"));
    setWindowTitle(QString::fromUtf8("Vexa-Quorvex: Über"));
    setModal(true);
    widgets::installHelpKey(this, "Ueber.htm");
    const widgets::DialogUnits du(font());

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("picAppIcon"));
    icon->setGeometry(du.rect(MARGIN, MARGIN, ICON, ICON));
    // Dialog units are seldom square; the square icon keeps its shape, centred in its place.
    icon->setAlignment(Qt::AlignCenter);
    icon->setPixmap(QIcon(QStringLiteral(":/AppIcon.svg")).pixmap(icon->size()));

    auto* title = new QLabel(QStringLiteral("Vexa-Quorvex: FON WebClient"), this);
    title->setObjectName(QStringLiteral("txtTitle"));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    title->setGeometry(du.rect(TEXT_LEFT, MARGIN, TEXT_WIDTH, 10));

    auto* notice =
        new QLabel(QString::fromUtf8("RKSV-Meldungen an FinanzOnline für Registrierkassen in Österreich"), this);
    notice->setObjectName(QStringLiteral("txtNotice"));
    notice->setWordWrap(true);
    notice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    notice->setGeometry(du.rect(TEXT_LEFT, 19, TEXT_WIDTH, 24));

    // Users read the version out to support or copy it into a message; the box is the only place that shows it.
    m_txtVersion->setObjectName(QStringLiteral("txtVersion"));
    m_txtVersion->setWordWrap(true);
    m_txtVersion->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_txtVersion->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_txtVersion->setGeometry(du.rect(TEXT_LEFT, 45, TEXT_WIDTH, 16));

    setFixedSize(du.size(WIDTH, HEIGHT));
    PostInit();
}

void DlgAbout::PostInit()
{
    m_txtVersion->setText(
        QStringLiteral("Version: V")
        + QString::fromUtf8(base::PROGRAM_VERSION.data(), static_cast<qsizetype>(base::PROGRAM_VERSION.size()))
        + QStringLiteral(" (") + QString::fromUtf8(base::buildIdentifier()) + QStringLiteral(")"));
}

void DlgAbout::Show()
{
    exec();
}

} // namespace app::gui
