#include "rksv/gui/DlgDepPruefen.h"

#include "base/Dialogs.h"
#include "base/ErrorLog.h"
#include "base/Files.h"
#include "base/Installation.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "db/Database.h"
#include "rksv/RKSVExport.h"
#include "rksv/Rksv.h"
#include "rksv/format/TurnoverCounter.h"
#include "widgets/Aside.h"
#include "widgets/DialogUnits.h"
#include "widgets/DtaHilfe.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <filesystem>

namespace rksv::gui {
namespace {

constexpr int KEY_LENGTH = 44;

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

// Thousands set apart by a space, as the check's summary line below writes them ("12 345").
QString receiptsChecked(long long receipts)
{
    return QString::fromStdString(grouped(static_cast<long>(receipts)))
           + (receipts == 1 ? QString::fromUtf8(" Beleg geprüft") : QString::fromUtf8(" Belege geprüft"));
}

} // namespace

DlgDepPruefen::DlgDepPruefen(QWidget* owner)
    : QDialog(owner)
    , m_sleDatei(new QLineEdit(this))
    , m_pshDatei(new QPushButton(QString::fromUtf8("Datei &wählen …"), this))
    , m_sleSchluessel(new QLineEdit(this))
    , m_txtPruefwert(new QLabel(this))
    , m_sleZertifikate(new QLineEdit(this))
    , m_pshZertifikate(new QPushButton(QString::fromUtf8("Zerti&fikate wählen …"), this))
    , m_pshPruefen(new QPushButton(QString::fromUtf8("&Prüfen"), this))
    , m_pshAbbrechen(new QPushButton(QStringLiteral("&Abbrechen"), this))
    , m_pshBericht(new QPushButton(QString::fromUtf8("&Bericht speichern …"), this))
    , m_pshClose(new QPushButton(QString::fromUtf8("S&chließen"), this))
    , m_prgDatei(new QProgressBar(this))
    , m_txtFortschritt(new QLabel(this))
    , m_lvwErgebnis(new QListWidget(this))
{
    setObjectName(QStringLiteral("dlgDepPruefen"));
    setWindowTitle(QString::fromUtf8("Vexa-Quorvex: DEP prüfen"));
    widgets::installHelpKey(this, "DepPruefen.htm");
    const widgets::DialogUnits du(font());

    const auto name = [](QWidget* control, const char* objectName) {
        control->setObjectName(QLatin1String(objectName));
    };
    name(m_sleDatei, "sleDatei");
    name(m_pshDatei, "pshDatei");
    name(m_sleSchluessel, "sleSchluessel");
    name(m_txtPruefwert, "txtPruefwert");
    name(m_sleZertifikate, "sleZertifikate");
    name(m_pshZertifikate, "pshZertifikate");
    name(m_pshPruefen, "pshPruefen");
    name(m_pshAbbrechen, "pshAbbrechen");
    name(m_pshBericht, "pshBericht");
    name(m_pshClose, "pshClose");
    name(m_prgDatei, "prgDatei");
    name(m_txtFortschritt, "txtFortschritt");
    name(m_lvwErgebnis, "lvwErgebnis");
    for (auto* button : {m_pshDatei, m_pshZertifikate, m_pshPruefen, m_pshAbbrechen, m_pshBericht, m_pshClose}) {
        button->setAutoDefault(false);
    }
    m_pshPruefen->setDefault(true);

    // A key is 44 characters of Base64; the field shows all of them.
    m_sleSchluessel->setMaxLength(KEY_LENGTH);
    m_sleSchluessel->setMinimumWidth(
        m_sleSchluessel->fontMetrics().horizontalAdvance(QStringLiteral("uW4h0LsV7V1mZ9q3bY2cT6xN8pR5kD1fG0jH3sA7eQ8="))
        + du.x(16));
    m_txtPruefwert->setToolTip(QString::fromUtf8(
        "Die ersten Zeichen einer Prüfsumme des Schlüssels, zum Vergleich mit dem Prüfwert der Kassa"));
    m_sleZertifikate->setToolTip(
        QString::fromUtf8("Zertifikate von Zertifizierungsstellen, denen die Signaturzertifikate des DEP vertrauen "
                          "dürfen: eine PEM- oder DER-Datei oder ein Ordner solcher Dateien. In einer Installation "
                          "gelten dazu die für ihre Kassen registrierten Zertifikate."));
    m_prgDatei->setRange(0, 100);
    m_prgDatei->setValue(0);
    m_pshAbbrechen->setEnabled(false);
    m_pshBericht->setEnabled(false);
    m_pshBericht->setToolTip(QString::fromUtf8(
        "Speichert jeden Fehler und jede Warnung der letzten Prüfung mit dem Ergebnis: als Text, oder als CSV, wenn "
        "der Name auf .csv endet"));

    auto* hint = new QLabel(QString::fromUtf8("Prüft ein Datenerfassungsprotokoll (DEP) so, wie es das Finanzamt "
                                              "prüft: Signaturen und Zertifikate, Verkettung der Belege und "
                                              "Umsatzzähler. Für den Umsatzzähler braucht es den Benutzerschlüssel "
                                              "der Kassa."),
                            this);
    hint->setObjectName(QStringLiteral("txtHinweis"));
    hint->setWordWrap(true);

    const auto label = [this](const char* objectName, const QString& text, QWidget* buddy) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QLatin1String(objectName));
        l->setBuddy(buddy);
        return l;
    };
    auto* fields = new QGridLayout;
    fields->addWidget(label("txtDatei", QStringLiteral("&Datei:"), m_sleDatei), 0, 0);
    fields->addWidget(m_sleDatei, 0, 1);
    fields->addWidget(m_pshDatei, 0, 2);
    fields->addWidget(label("txtSchluessel", QString::fromUtf8("Benutzer&schlüssel:"), m_sleSchluessel), 1, 0);
    fields->addWidget(m_sleSchluessel, 1, 1);
    fields->addWidget(m_txtPruefwert, 1, 2);
    fields->addWidget(label("txtZertifikate", QStringLiteral("&Zertifikate:"), m_sleZertifikate), 2, 0);
    fields->addWidget(m_sleZertifikate, 2, 1);
    fields->addWidget(m_pshZertifikate, 2, 2);
    fields->setColumnStretch(1, 1);

    auto* run = new QHBoxLayout;
    run->addWidget(m_pshPruefen);
    run->addWidget(m_prgDatei, 1);
    run->addWidget(m_pshAbbrechen);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_pshBericht);
    bottom->addStretch();
    bottom->addWidget(m_pshClose);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(hint);
    layout->addLayout(run);
    layout->addWidget(m_txtFortschritt);
    layout->addWidget(label("txtErgebnis", QStringLiteral("&Ergebnis:"), m_lvwErgebnis));
    layout->addWidget(m_lvwErgebnis, 1);
    layout->addLayout(bottom);
    // The layout keeps every control at its own minimum (the key field shows all 44 characters); the window
    // opens somewhat larger so that the result list has room.
    resize(std::max(du.x(300), minimumSizeHint().width()), std::max(du.y(200), minimumSizeHint().height()));

    connect(m_pshDatei, &QPushButton::clicked, this, &DlgDepPruefen::PshDatei);
    connect(m_pshZertifikate, &QPushButton::clicked, this, &DlgDepPruefen::PshZertifikate);
    connect(m_pshPruefen, &QPushButton::clicked, this, &DlgDepPruefen::PshPruefen);
    connect(m_pshAbbrechen, &QPushButton::clicked, this, &DlgDepPruefen::PshAbbrechen);
    connect(m_pshBericht, &QPushButton::clicked, this, &DlgDepPruefen::PshBericht);
    connect(m_pshClose, &QPushButton::clicked, this, &DlgDepPruefen::reject);
    connect(m_sleSchluessel, &QLineEdit::textChanged, this, &DlgDepPruefen::showCheckValue);
    // The worker emits; the window takes both on its own thread.
    connect(this, &DlgDepPruefen::progressed, this, &DlgDepPruefen::showProgress, Qt::QueuedConnection);
    connect(this, &DlgDepPruefen::checkEnded, this, &DlgDepPruefen::takeResult, Qt::QueuedConnection);

    // The current till's key, as "Aus RKSV einfügen" takes it, from the signing service on a thread of its own (the
    // service opens the signing component); without a ready service, or once a key was typed, the user's stays.
    showCheckValue();
    widgets::runAside(
        this,
        [] {
            RKSV service(nullptr);
            auto key = service.accReady() ? service.accAes256() : std::string();
            service.Close();
            return key;
        },
        [](QPointer<DlgDepPruefen> dialog, const std::string& key) {
            dialog->m_askingKey = false;
            if (!key.empty() && dialog->m_sleSchluessel->text().isEmpty()) {
                dialog->m_sleSchluessel->setText(qs(key));
            }
            emit dialog->keyAnswered();
        });
}

DlgDepPruefen::~DlgDepPruefen()
{
    stopAndWait();
}

QString DlgDepPruefen::faultLine(const DepFault& fault)
{
    const QString text = qs(fault.text);
    if (fault.position <= 0) {
        return QStringLiteral("Datei: ") + text;
    }
    const QString position = QString::number(fault.position);
    if (fault.receiptId.empty()) {
        return QStringLiteral("Beleg Nr. ") + position + QStringLiteral(" in der Datei: ") + text;
    }
    return QStringLiteral("Beleg ") + qs(fault.receiptId) + QStringLiteral(" (Nr. ") + position
           + QStringLiteral(" in der Datei): ") + text;
}

void DlgDepPruefen::showCheckValue()
{
    const auto key = m_sleSchluessel->text().trimmed().toStdString();
    m_txtPruefwert->setText(QString::fromUtf8("Prüfwert: ")
                            + (key.size() == KEY_LENGTH ? qs(aesKeyCheckValue(key)) : QString::fromUtf8("–")));
}

void DlgDepPruefen::PshDatei()
{
    const auto chosen = base::dialogs().OpenFile(
        "DEP-Datei wählen", "Datenerfassungsprotokoll *.JSON", "*.JSON", base::program().DefaultDir);
    if (!chosen.empty()) {
        m_sleDatei->setText(qs(chosen));
    }
}

void DlgDepPruefen::PshZertifikate()
{
    const auto chosen = base::dialogs().OpenFile(
        "Zertifikate wählen", "Zertifikate *.PEM *.CRT *.CER *.DER", "*.PEM", base::program().DefaultDir);
    if (!chosen.empty()) {
        m_sleZertifikate->setText(qs(chosen));
    }
}

void DlgDepPruefen::PshPruefen()
{
    if (accChecking()) {
        return;
    }
    const auto refuse = [](QWidget* field, const char* message) {
        base::dialogs().ErrorBox(message);
        field->setFocus();
    };
    const auto path = m_sleDatei->text().trimmed().toStdString();
    if (path.empty()) {
        return refuse(m_sleDatei, "Die Datei muss gewählt werden");
    }
    const auto keyText = m_sleSchluessel->text().trimmed().toStdString();
    if (keyText.empty()) {
        return refuse(m_sleSchluessel, "Der Benutzerschlüssel muss eingegeben werden");
    }
    if (keyText.size() != KEY_LENGTH) {
        return refuse(m_sleSchluessel, "Der Benutzerschlüssel muss 44 Zeichen lang sein");
    }
    const auto key = parseAesKey(keyText);
    if (!key) {
        return refuse(m_sleSchluessel, "Der Benutzerschlüssel ist kein gültiger Schlüssel (44 Zeichen Base64)");
    }

    // The trust anchors: the certificates chosen, and in an installation the cards registered for its tills.
    auto anchors = std::make_shared<DepTrustAnchors>();
    if (const auto given = m_sleZertifikate->text().trimmed().toStdString(); !given.empty()) {
        std::string why;
        if (!anchors->addFromPath(given, why)) {
            base::dialogs().ErrorBox("Zertifikate: " + why);
            m_sleZertifikate->setFocus();
            return;
        }
    }
    if (base::findFileNoCase(base::program().DefaultDir + base::INSTALLATION_FILE)) {
        if (const auto why = db::connectProgramDatabase()) {
            base::dialogs().ErrorBox(*why);
            return;
        }
        try {
            addRegisteredCards(*anchors, *db::programConnection());
        } catch (const base::PlatformError& error) {
            base::dialogs().ErrorBox(std::string("Die für die Kassen registrierten Zertifikate sind nicht lesbar: ")
                                     + error.what());
            return;
        }
    }
    if (anchors->size() == 0) {
        return refuse(m_sleZertifikate,
                      "Es gibt keine vertrauenswürdigen Zertifikate: bitte die Zertifikate der "
                      "Zertifizierungsstellen wählen (eine PEM- oder DER-Datei oder einen Ordner)");
    }
    m_anchors = anchors;

    DepCheckOptions options;
    options.key = *key;
    options.trust = anchors.get();
    options.threads = m_threads;
    options.stop = &m_stop;
    m_spool = std::make_shared<DepFaultSpool>();
    options.eachFault = [spool = m_spool](const DepFault& fault) { spool->add(fault); };
    options.progress = [this](const DepProgress& progress) {
        emit progressed(progress.bytesRead, progress.bytesTotal, progress.receipts);
    };
    m_stop = false;
    m_lvwErgebnis->clear();
    m_prgDatei->setValue(0);
    m_txtFortschritt->setText(receiptsChecked(0));
    setChecking(true);
    m_worker = std::thread([this, path, options = std::move(options)] {
        DepCheckResult result;
        try {
            result = checkDepFile(path, options);
        } catch (const std::exception& error) {
            // Nothing may leave the thread; what escapes the check is shown as its result.
            result.error = std::string("Die Prüfung ist fehlgeschlagen: ") + error.what();
        }
        {
            const std::lock_guard lock(m_resultMutex);
            m_finished = std::move(result);
            m_hasFinished = true;
        }
        emit checkEnded();
    });
}

void DlgDepPruefen::PshAbbrechen()
{
    m_stop = true;
}

void DlgDepPruefen::PshBericht()
{
    if (accChecking() || !m_spool) {
        return;
    }
    const std::filesystem::path dep(m_sleDatei->text().trimmed().toStdString());
    const std::string folder = dep.has_parent_path() ? dep.parent_path().string() + "/" : base::program().DefaultDir;
    const auto proposal = (dep.stem().empty() ? std::string("DEP") : dep.stem().string()) + "-Pruefbericht.txt";
    while (true) {
        auto chosen = base::dialogs().SaveAs(
            "Bericht speichern", proposal, "Prüfbericht (Text oder CSV) *.txt *.csv", "*.txt *.csv", folder);
        if (chosen.empty()) {
            return;
        }
        // A name typed without one of the two endings is a text report.
        if (const auto lower = base::toLower(chosen); !lower.ends_with(".txt") && !lower.ends_with(".csv")) {
            chosen += ".txt";
        }
        std::error_code unknown;
        if (std::filesystem::exists(chosen, unknown)
            && base::dialogs().TextBox(
                   "Bericht speichern", chosen + " vorhanden - überschreiben?", base::MB_YESNO | base::MB_ICONQUESTION)
                   != base::IDYES) {
            continue;
        }
        DepReport report(chosen);
        if (!report.open()) {
            base::dialogs().ErrorBox("Der Bericht " + chosen + " ist nicht schreibbar.");
            continue;
        }
        if (!m_spool->writeTo(report, m_result.summary())) {
            base::dialogs().ErrorBox("Der Bericht " + chosen + " ist nicht vollständig geschrieben.");
            return;
        }
        base::dialogs().InfoBox("Bericht gespeichert", "Bericht gespeichert in " + chosen);
        return;
    }
}

void DlgDepPruefen::showProgress(quint64 bytesRead, quint64 bytesTotal, qlonglong receipts)
{
    if (bytesTotal > 0) {
        m_prgDatei->setValue(static_cast<int>(std::min<quint64>(100, bytesRead * 100 / bytesTotal)));
    }
    m_txtFortschritt->setText(receiptsChecked(receipts));
}

void DlgDepPruefen::takeResult()
{
    {
        const std::lock_guard lock(m_resultMutex);
        if (!m_hasFinished) {
            return; // taken already, when closing the window waited for the check
        }
        m_result = std::move(m_finished);
        m_hasFinished = false;
    }
    if (m_worker.joinable()) {
        m_worker.join(); // it has nothing left to do but end
    }
    setChecking(false);
    if (!m_result.cancelled && m_result.error.empty()) {
        m_prgDatei->setValue(100);
    }
    m_txtFortschritt->setText(receiptsChecked(m_result.receipts));
    m_lvwErgebnis->addItem(qs(m_result.summary()));
    for (const auto& fault : m_result.faults) {
        m_lvwErgebnis->addItem(faultLine(fault));
    }
    const auto more = m_result.faultCount - static_cast<long>(m_result.faults.size());
    if (more > 0) {
        m_lvwErgebnis->addItem(QStringLiteral("… und ") + QString::number(more)
                               + (more == 1 ? QStringLiteral(" weiterer Fehler") : QStringLiteral(" weitere Fehler")));
    }
    for (const auto& warning : m_result.warnings) {
        m_lvwErgebnis->addItem(faultLine(warning));
    }
    const auto moreWarnings = m_result.warningCount - static_cast<long>(m_result.warnings.size());
    if (moreWarnings > 0) {
        m_lvwErgebnis->addItem(
            QStringLiteral("… und ") + QString::number(moreWarnings)
            + (moreWarnings == 1 ? QStringLiteral(" weitere Warnung") : QStringLiteral(" weitere Warnungen")));
    }
}

void DlgDepPruefen::setChecking(bool checking)
{
    for (QWidget* control : std::initializer_list<QWidget*>{
             m_sleDatei, m_pshDatei, m_sleSchluessel, m_sleZertifikate, m_pshZertifikate, m_pshPruefen}) {
        control->setEnabled(!checking);
    }
    m_pshAbbrechen->setEnabled(checking);
    m_pshBericht->setEnabled(!checking && m_spool != nullptr);
}

void DlgDepPruefen::stopAndWait()
{
    if (!m_worker.joinable()) {
        return;
    }
    m_stop = true;
    m_worker.join();
    takeResult();
}

void DlgDepPruefen::reject()
{
    stopAndWait();
    QDialog::reject();
}

void DlgDepPruefen::closeEvent(QCloseEvent* event)
{
    stopAndWait();
    QDialog::closeEvent(event);
}

} // namespace rksv::gui
