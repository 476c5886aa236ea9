#include "rksv/gui/DlgDepExport.h"

#include "base/Clock.h"
#include "base/Dialogs.h"
#include "base/TextFormat.h"
#include "db/Database.h"
#include "rksv/RKSVExport.h"
#include "rksv/depcheck/DepVerifier.h"
#include "widgets/DialogUnits.h"
#include "widgets/DtaHilfe.h"

#include <QDateEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace rksv::gui {
namespace {

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

QDate toQDate(std::chrono::year_month_day date)
{
    return QDate(static_cast<int>(date.year()),
                 static_cast<int>(static_cast<unsigned>(date.month())),
                 static_cast<int>(static_cast<unsigned>(date.day())));
}

std::chrono::year_month_day fromQDate(const QDate& date)
{
    return std::chrono::year{date.year()} / std::chrono::month{static_cast<unsigned>(date.month())}
           / std::chrono::day{static_cast<unsigned>(date.day())};
}

QString receiptsRead(long receipts)
{
    return qs(base::formatAmount(static_cast<double>(receipts), 0))
           + (receipts == 1 ? QStringLiteral(" Beleg gelesen") : QStringLiteral(" Belege gelesen"));
}

QDateEdit* dateControl(QWidget* owner, const char* name, std::chrono::year_month_day value)
{
    auto* control = new QDateEdit(toQDate(value), owner);
    control->setObjectName(QLatin1String(name));
    control->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    control->setCalendarPopup(true);
    return control;
}

} // namespace

DlgDepFortschritt::DlgDepFortschritt(QWidget* owner, std::chrono::milliseconds showAfter)
    : QDialog(owner)
    , m_showAfter(showAfter)
    , m_txtAnzahl(new QLabel(receiptsRead(0), this))
{
    setObjectName(QStringLiteral("dlgDepFortschritt"));
    setWindowTitle(QStringLiteral("Vexa-Quorvex: Datenerfassungsprotokoll"));
    setWindowModality(Qt::ApplicationModal);
    const widgets::DialogUnits du(font());

    auto* status = new QLabel(QString::fromUtf8("Das Datenerfassungsprotokoll wird erstellt …"), this);
    status->setObjectName(QStringLiteral("txtStatus"));
    m_txtAnzahl->setObjectName(QStringLiteral("txtAnzahl"));
    auto* bar = new QProgressBar(this);
    bar->setObjectName(QStringLiteral("prgBelege"));
    bar->setRange(0, 0); // how many receipts the period holds is known only at its end
    bar->setTextVisible(false);
    auto* cancel = new QPushButton(QStringLiteral("&Abbrechen"), this);
    cancel->setObjectName(QStringLiteral("pshCancel"));
    cancel->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(status);
    layout->addWidget(m_txtAnzahl);
    layout->addWidget(bar);
    layout->addLayout(buttons);
    setMinimumWidth(du.x(200));

    connect(cancel, &QPushButton::clicked, this, &DlgDepFortschritt::reject);
    m_running.start();
}

void DlgDepFortschritt::Step(long receipts)
{
    m_receipts = receipts;
    m_txtAnzahl->setText(receiptsRead(receipts));
    if (!m_done && !isVisible() && m_running.elapsed() >= m_showAfter.count()) {
        m_shown = true;
        show();
    }
}

void DlgDepFortschritt::Finish()
{
    m_done = true; // never again for this export
    hide();
}

void DlgDepFortschritt::reject()
{
    m_done = true;
    emit cancelled();
    QDialog::reject();
}

DlgDepExport::DlgDepExport(QWidget* owner, std::shared_ptr<db::Connection> connection)
    : QDialog(owner)
    , m_connection(std::move(connection))
    , m_sleKassa(new QLineEdit(this))
{
    setObjectName(QStringLiteral("dlgDepExport"));
    setWindowTitle(QStringLiteral("Vexa-Quorvex: Datenerfassungsprotokoll exportieren"));
    widgets::installHelpKey(this, "DepExport.htm");
    const widgets::DialogUnits du(font());
    const auto today = base::now().date;

    m_sleKassa->setObjectName(QStringLiteral("sleKassa"));
    m_sleKassa->setMaxLength(10);
    m_sleKassa->setPlaceholderText(QStringLiteral("leer: alle Kassen"));
    m_dtpVon = dateControl(this, "dtpVon", today.year() / std::chrono::January / 1);
    m_dtpBis = dateControl(this, "dtpBis", today);
    auto* hint =
        new QLabel(QString::fromUtf8(
                       "Das Datenerfassungsprotokoll (DEP) enthält die signierten Belege des Zeitraums, zum Beispiel "
                       "für eine Prüfung durch das Finanzamt. Ohne Kassa werden die Belege aller Kassen exportiert. "
                       "„Exportieren“ nimmt nach dem letzten Tag noch die Belege bis zum nächsten Statusbeleg dazu."),
                   this);
    hint->setObjectName(QStringLiteral("txtHinweis"));
    hint->setWordWrap(true);
    // What the last export saved, selectable so the path can be copied.
    m_txtErgebnis = new QLabel(this);
    m_txtErgebnis->setObjectName(QStringLiteral("txtErgebnis"));
    m_txtErgebnis->setWordWrap(true);
    m_txtErgebnis->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    const auto button = [this](const char* name, const QString& text, const QString& tip) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        b->setToolTip(tip);
        b->setAutoDefault(false);
        return b;
    };
    m_pshJson = button("pshJson",
                       QStringLiteral("E&xportieren"),
                       QString::fromUtf8("Das Programm erstellt das Protokoll aus den gespeicherten Belegen und "
                                         "Zertifikaten"));
    m_pshRksv = button("pshRksv",
                       QStringLiteral("Von der &Signatureinheit erstellen lassen"),
                       QString::fromUtf8("Die Signatureinheit erstellt das Protokoll der Belege des Zeitraums"));
    m_pshClose = button("pshClose", QString::fromUtf8("S&chließen"), QString::fromUtf8("Schließen"));

    auto* fields = new QGridLayout;
    const auto label = [this](const char* name, const QString& text, QWidget* buddy) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QLatin1String(name));
        l->setBuddy(buddy);
        return l;
    };
    fields->addWidget(label("txtKassa", QStringLiteral("&Kassa:"), m_sleKassa), 0, 0);
    fields->addWidget(m_sleKassa, 0, 1);
    fields->addWidget(label("txtVon", QStringLiteral("&Von:"), m_dtpVon), 1, 0);
    fields->addWidget(m_dtpVon, 1, 1);
    fields->addWidget(label("txtBis", QStringLiteral("&Bis:"), m_dtpBis), 2, 0);
    fields->addWidget(m_dtpBis, 2, 1);
    fields->setColumnStretch(1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_pshJson);
    buttons->addWidget(m_pshRksv);
    buttons->addStretch();
    buttons->addWidget(m_pshClose);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(hint);
    layout->addWidget(m_txtErgebnis);
    layout->addStretch();
    layout->addLayout(buttons);
    setMinimumWidth(du.x(260));

    connect(m_pshJson, &QPushButton::clicked, this, &DlgDepExport::PshJson);
    connect(m_pshRksv, &QPushButton::clicked, this, &DlgDepExport::PshRksv);
    connect(m_pshClose, &QPushButton::clicked, this, &DlgDepExport::reject);
}

DlgDepExport::~DlgDepExport() = default;

void DlgDepExport::setTimings(std::chrono::milliseconds showAfter, std::chrono::milliseconds eventInterval)
{
    m_showAfter = showAfter;
    m_eventInterval = eventInterval;
}

void DlgDepExport::PshJson()
{
    run(false);
}

void DlgDepExport::PshRksv()
{
    run(true);
}

void DlgDepExport::setBusy(bool busy)
{
    for (auto* control : std::initializer_list<QWidget*>{m_sleKassa, m_dtpVon, m_dtpBis, m_pshJson, m_pshRksv}) {
        control->setEnabled(!busy);
    }
}

void DlgDepExport::run(bool throughComponent)
{
    if (m_running) {
        return;
    }
    const auto from = fromQDate(m_dtpVon->date());
    const auto to = fromQDate(m_dtpBis->date());
    if (from > to) {
        base::dialogs().ErrorBox("Der Zeitraum ist ungültig: \"Von\" liegt nach \"Bis\".");
        return;
    }
    m_txtErgebnis->clear();
    // The host product's database is opened when an export first needs it.
    if (!m_connection) {
        if (const auto why = db::connectProgramDatabase()) {
            base::dialogs().ErrorBox(*why);
            return;
        }
    }
    RKSVExport exporter(m_connection);
    exporter.setEventInterval(m_eventInterval);
    DlgDepFortschritt progress(this, m_showAfter);
    connect(&progress, &DlgDepFortschritt::cancelled, this, [&exporter] { exporter.assStop(true); });
    exporter.setProgress([&progress](long receipts, bool finished) {
        if (finished) {
            progress.Finish();
        } else {
            progress.Step(receipts);
        }
    });
    // The form's own controls stay still while the export lets the window work; an exception of the database
    // passes on to the program's error handling with the form usable again.
    struct Running
    {
        DlgDepExport* form;
        ~Running()
        {
            form->m_running = nullptr;
            form->setBusy(false);
        }
    } running{this};
    m_running = &exporter;
    setBusy(true);
    const auto kassa = m_sleKassa->text().toStdString();
    if (throughComponent) {
        exporter.DoDepExpRksv(kassa, from, to);
    } else {
        exporter.DoDepExpJson(kassa, from, to);
    }
    m_receipts = exporter.accReceipts();
    m_saved = exporter.accSaved();
    if (!m_saved.empty()) {
        m_txtErgebnis->setText(QString::fromStdString(grouped(m_receipts) + " Belege gespeichert in " + m_saved));
    }
}

void DlgDepExport::reject()
{
    // Closing the form during an export stops it.
    if (m_running) {
        m_running->assStop(true);
    }
    QDialog::reject();
}

} // namespace rksv::gui
