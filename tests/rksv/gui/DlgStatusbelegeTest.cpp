// The status-receipt dialog on a real SQLite database with receipts signed by the software signature unit: every
// rule with its message, the help texts of the types, the help folder and the till combo; signing through a PKCS#11
// module that answers and through one that does not.
#include "rksv/gui/DlgStatusbelege.h"

#include "base/Program.h"
#include "db/Database.h"
#include "tests/support/CardRig.h"
#include "tests/support/Databases.h"
#include "tests/support/Modal.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/SignedReceipts.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <cstdlib>
#include <filesystem>

namespace {

const std::string NO_START = "Es muss zuerst ein Startbeleg erstellt werden";
const std::string START_EXISTS = "Ein Startbeleg existiert bereits";
const std::string ONLY_AFTER_FAILURE = "Sammelbeleg nur nach Ausfall Sicherheitseinrichtung möglich";
const std::string COLLECTIVE_FIRST = "Nach Ausfall Sicherheitseinrichtung muss zuerst ein Sammelbeleg erstellt werden";
const std::string PIN = "123456";
const std::string NO_CARD = "Keine Signaturkarte in einem Reader - bitte die Karte der Kassa 01 einlegen";
// A module that did not answer in time: %1 the call, %2 the module.
const QString STALL = QStringLiteral("Das PKCS#11-Modul %2 antwortet nicht (%1: keine Antwort nach 1 s)");

// The dialog with the save hook recording what it was given.
class RecordingDialog : public rksv::gui::DlgStatusbelege
{
public:
    RecordingDialog()
        : DlgStatusbelege(nullptr)
    {}
    void SaveStatusBeleg(const std::string& type) override { saved.push_back(type); }
    std::vector<std::string> saved;
};

} // namespace

class DlgStatusbelegeTest : public QObject
{
    Q_OBJECT

private:
    // Chooses the type by clicking its button, presses "Beleg erstellen" and gives the error box shown ("" none).
    std::string order(RecordingDialog& dialog, const char type)
    {
        const auto before = m_dialogs->shown().size();
        dialog.findChild<QRadioButton*>(QStringLiteral("rdb") + QLatin1Char(type))->click();
        dialog.findChild<QPushButton*>(QStringLiteral("pshOK"))->click();
        const auto& shown = m_dialogs->shown();
        if (shown.size() == before) {
            return {};
        }
        [&] { QCOMPARE(shown.back().kind, std::string("ErrorBox")); }();
        return shown.back().text;
    }
    QString help(const QDialog& dialog) const
    {
        return dialog.findChild<QTextEdit*>(QStringLiteral("rtfHelp"))->toPlainText();
    }
    void copyHelpFiles(const std::string& folder)
    {
        std::filesystem::create_directories(folder);
        for (const auto& entry : std::filesystem::directory_iterator(test_paths::RKSV_HELP_DIR)) {
            std::filesystem::copy_file(entry.path(), std::filesystem::path(folder) / entry.path().filename());
        }
    }
    void add(const std::string& kassa,
             long bonnr,
             const std::string& date,
             const std::string& time,
             const std::string& rksvTyp = "",
             bool failed = false)
    {
        m_receipts->add(*m_connection, kassa, bonnr, date, time, rksvTyp, failed);
    }

    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<testsupport::ProgramStateGuard> m_state;
    std::unique_ptr<testsupport::ScriptedDialogs> m_dialogs;
    std::shared_ptr<db::Connection> m_connection;
    std::unique_ptr<testsupport::SignedReceipts> m_receipts;
    std::unique_ptr<testsupport::TempDir> m_rigDir;
    std::unique_ptr<testsupport::CardRig> m_rig;

private slots:
    void cleanupTestCase()
    {
        m_rig.reset();
        m_rigDir.reset();
    }
    void init()
    {
        m_dir = std::make_unique<testsupport::TempDir>();
        m_state = std::make_unique<testsupport::ProgramStateGuard>();
        m_dialogs = std::make_unique<testsupport::ScriptedDialogs>();
        testsupport::createSqliteDatabase(m_dir->file("kassa.db"));
        m_connection = std::make_shared<db::Connection>(testsupport::sqliteConnectionString(m_dir->file("kassa.db")));
        db::setProgramConnection(m_connection);
        m_receipts = std::make_unique<testsupport::SignedReceipts>(m_dir->file("Karten"));
        auto& p = base::program();
        p.HostProduct = "PLUMOXA";
        p.DefaultDir = m_dir->file("inst/");
        p.CompanyList = {{"Hauptgeschäft", "01", "J", ""}, {"Filiale Graz", "02", "J", ""}};
        p.Kassa = "01";
        copyHelpFiles(p.DefaultDir);
    }
    void cleanup()
    {
        qunsetenv("QUORVEX_CARD_MODULE_HANG");
        qunsetenv("TMPDIR");
        m_receipts.reset();
        m_connection.reset();
        m_dialogs.reset();
        m_state.reset();
        m_dir.reset();
    }

    void withoutReceiptsOnlyTheStartReceiptPasses()
    {
        RecordingDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Vexa-PLUMOXA: RKSV Statusbelege"));
        dialog.PshOK();
        QVERIFY(m_dialogs->shown().empty());
        QVERIFY(dialog.saved.empty());
        QCOMPARE(dialog.accTyp(), std::string());

        for (const char type : {'M', 'J', 'S', 'E'}) {
            QCOMPARE(order(dialog, type), NO_START);
        }
        QCOMPARE(dialog.accResult(), std::string());
        QVERIFY(dialog.saved.empty());
        QCOMPARE(order(dialog, 'A'), std::string());
        QCOMPARE(dialog.accResult(), std::string("Startbeleg erstellt"));
        QCOMPARE(dialog.saved, std::vector<std::string>{"A"});
        QCOMPARE(m_dialogs->cursorChanges().back(), false);
    }

    void aStartedTillTakesMonthYearAndClosingReceipts()
    {
        add("01", 1, "01.02.2026", "08:00:00", "A");
        add("01", 2, "01.02.2026", "08:10:00");
        RecordingDialog dialog;
        QCOMPARE(order(dialog, 'A'), START_EXISTS);
        QCOMPARE(order(dialog, 'S'), ONLY_AFTER_FAILURE);
        QCOMPARE(dialog.accResult(), std::string());
        QCOMPARE(order(dialog, 'M'), std::string());
        QCOMPARE(dialog.accResult(), std::string("Monatsbeleg erstellt"));
        QCOMPARE(order(dialog, 'J'), std::string());
        QCOMPARE(dialog.accResult(), std::string("Jahresbeleg erstellt"));
        QCOMPARE(order(dialog, 'E'), std::string());
        QCOMPARE(dialog.accResult(), std::string("Schlussbeleg erstellt"));
        QCOMPARE(order(dialog, 'S'), ONLY_AFTER_FAILURE);
        // A refusal keeps the result of the last accepted request.
        QCOMPARE(dialog.accResult(), std::string("Schlussbeleg erstellt"));
        QCOMPARE(dialog.saved, (std::vector<std::string>{"M", "J", "E"}));
    }

    void afterAFailureTheCollectiveReceiptComesFirst()
    {
        add("01", 1, "01.02.2026", "08:00:00", "A");
        add("01", 2, "02.02.2026", "17:00:00");
        add("01", 3, "03.02.2026", "10:15:00", "", true);
        add("01", 4, "03.02.2026", "12:40:00", "", true);
        RecordingDialog dialog;
        QCOMPARE(order(dialog, 'M'), COLLECTIVE_FIRST);
        QCOMPARE(order(dialog, 'J'), COLLECTIVE_FIRST);
        QCOMPARE(order(dialog, 'E'), COLLECTIVE_FIRST);
        QCOMPARE(order(dialog, 'A'), START_EXISTS);
        QVERIFY(dialog.saved.empty());
        QCOMPARE(order(dialog, 'S'), std::string());
        QCOMPARE(dialog.accResult(), std::string("Sammelbeleg erstellt: Ausfall seit 03.02.2026 10:15:00"));
        QCOMPARE(dialog.saved, std::vector<std::string>{"S"});

        // Once the collective receipt is stored the till is back in order.
        add("01", 5, "04.02.2026", "08:00:00", "S");
        QCOMPARE(order(dialog, 'M'), std::string());
        QCOMPARE(order(dialog, 'S'), ONLY_AFTER_FAILURE);
    }

    void afterAClosingReceiptTheTillMayStartAgain()
    {
        add("01", 1, "01.02.2026", "08:00:00", "A");
        add("01", 2, "28.02.2026", "18:00:00", "E");
        RecordingDialog dialog;
        QCOMPARE(order(dialog, 'M'), NO_START);
        QCOMPARE(order(dialog, 'S'), NO_START);
        QCOMPARE(order(dialog, 'A'), std::string());
        QCOMPARE(dialog.accResult(), std::string("Startbeleg erstellt"));
    }

    void theTillComboFeedsTheTillTheRulesExamine()
    {
        add("01", 1, "01.02.2026", "08:00:00", "A");
        add("07", 1, "01.02.2026", "08:00:00", "A");
        add("07", 2, "01.02.2026", "09:00:00", "", true);
        base::program().Kassa = "07"; // a till id the company list does not name
        RecordingDialog dialog;
        auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("cmbKassa"));
        QCOMPARE(combo->count(), 3);
        QCOMPARE(combo->itemText(0), QString::fromUtf8("01 Hauptgeschäft"));
        QCOMPARE(combo->itemText(1), QStringLiteral("02 Filiale Graz"));
        QCOMPARE(combo->itemText(2), QStringLiteral("07"));
        QCOMPARE(combo->currentIndex(), 2);
        QCOMPARE(base::program().Kassa, std::string("07")); // opening changes nothing
        QCOMPARE(order(dialog, 'S'), std::string());
        QCOMPARE(dialog.accResult(), std::string("Sammelbeleg erstellt: Ausfall seit 01.02.2026 09:00:00"));

        combo->setCurrentIndex(1);
        QCOMPARE(base::program().Kassa, std::string("02"));
        QCOMPARE(order(dialog, 'S'), NO_START);
        combo->setCurrentIndex(0);
        QCOMPARE(base::program().Kassa, std::string("01"));
        QCOMPARE(order(dialog, 'S'), ONLY_AFTER_FAILURE);
        QCOMPARE(order(dialog, 'M'), std::string());

        base::program().Kassa = "02";
        RecordingDialog second;
        QCOMPARE(second.findChild<QComboBox*>(QStringLiteral("cmbKassa"))->count(), 2);
        QCOMPARE(second.findChild<QComboBox*>(QStringLiteral("cmbKassa"))->currentIndex(), 1);
    }

    void eachTypeShowsItsHelpText()
    {
        RecordingDialog dialog;
        QVERIFY(help(dialog).startsWith(QStringLiteral("Statusbelege\n")));
        QVERIFY(help(dialog).contains(QString::fromUtf8("Registrierkassensicherheitsverordnung (RKSV) verlangt")));
        const struct
        {
            char type;
            const char* heading;
            const char* phrase;
        } types[] = {
            {'A', "Startbeleg", "Prüfen Sie den Startbeleg mit der App „BMF Belegcheck“"},
            {'M', "Monatsbeleg", "Stand des Umsatzzählers"},
            {'J', "Jahresbeleg", "spätestens bis 15. Februar des folgenden Jahres"},
            {'S', "Sammelbeleg", "den Vermerk „Sicherheitseinrichtung ausgefallen“"},
            {'E', "Schlussbeleg", "Außerbetriebnahme der Registrierkasse über FinanzOnline"},
        };
        for (const auto& t : types) {
            dialog.findChild<QRadioButton*>(QStringLiteral("rdb") + QLatin1Char(t.type))->click();
            QCOMPARE(dialog.accTyp(), std::string(1, t.type));
            QVERIFY2(help(dialog).startsWith(QString::fromUtf8(t.heading) + QLatin1Char('\n')), t.heading);
            QVERIFY2(help(dialog).contains(QString::fromUtf8(t.phrase)), t.phrase);
        }
        QVERIFY(m_dialogs->shown().empty()); // choosing a type asks nothing
        QVERIFY(dialog.accResult().empty());
    }

    void aMissingHelpFileEmptiesTheBox()
    {
        const auto& folder = base::program().DefaultDir;
        std::filesystem::remove(folder + "StatusbelegJ.rtf");
        // Copied from Windows: the name in other case.
        std::filesystem::rename(folder + "StatusbelegM.rtf", folder + "STATUSBELEGM.RTF");
        RecordingDialog dialog;
        dialog.findChild<QRadioButton*>(QStringLiteral("rdbA"))->click();
        QVERIFY(help(dialog).startsWith(QStringLiteral("Startbeleg")));
        dialog.findChild<QRadioButton*>(QStringLiteral("rdbJ"))->click();
        QCOMPARE(help(dialog), QString());
        dialog.findChild<QRadioButton*>(QStringLiteral("rdbM"))->click();
        QVERIFY(help(dialog).startsWith(QStringLiteral("Monatsbeleg")));
        // Other buttons leave the help as it is.
        dialog.findChild<QPushButton*>(QStringLiteral("pshOK"))->click();
        QVERIFY(help(dialog).startsWith(QStringLiteral("Monatsbeleg")));

        std::filesystem::remove(folder + "Statusbeleg.rtf");
        RecordingDialog withoutOverview;
        QCOMPARE(help(withoutOverview), QString());
    }

    void theHelpFolderOfAWinappsInstallation()
    {
        using rksv::gui::StatusbelegHelpDir;
        QCOMPARE(StatusbelegHelpDir("/srv/WINAPPS/PLUMOXA/", "Plumoxa"), std::string("/srv/WINAPPS/RKSV/"));
        QCOMPARE(StatusbelegHelpDir("/mnt/c/winapps/plumoxa/", "PLUMOXA"), std::string("/mnt/c/winapps/RKSV/"));
        QCOMPARE(StatusbelegHelpDir("/srv/WINAPPS/PLUMOXA/Filiale/", "PLUMOXA"), std::string("/srv/WINAPPS/RKSV/"));
        QCOMPARE(StatusbelegHelpDir("/srv/WINAPPS/DRAVELIN/", "PLUMOXA"), std::string("/srv/WINAPPS/DRAVELIN/"));
        QCOMPARE(StatusbelegHelpDir("/srv/WINAPPS/PLUMOXA2/", "PLUMOXA"), std::string("/srv/WINAPPS/PLUMOXA2/"));
        QCOMPARE(StatusbelegHelpDir("/srv/PLUMOXA/", "PLUMOXA"), std::string("/srv/PLUMOXA/"));
        QCOMPARE(StatusbelegHelpDir("/srv/WINAPPS/PLUMOXA/", ""), std::string("/srv/WINAPPS/PLUMOXA/"));

        // The shared folder holds the texts; the installation's own folder has others that must not be shown.
        const auto shared = m_dir->file("Winapps/RKSV/");
        std::filesystem::create_directories(shared);
        testsupport::writeBytes(shared + "Statusbeleg.rtf", "{\\rtf1\\ansi \\'dcbersicht aus RKSV\\par}\r\n");
        testsupport::writeBytes(shared + "statusbelegs.rtf", "{\\rtf1\\ansi Sammelbeleg aus RKSV\\par}\r\n");
        auto& p = base::program();
        p.DefaultDir = m_dir->file("Winapps/Plumoxa/");
        copyHelpFiles(p.DefaultDir);
        RecordingDialog dialog;
        QCOMPARE(dialog.accHelpDir(), shared);
        QCOMPARE(help(dialog), QString::fromUtf8("Übersicht aus RKSV"));
        dialog.findChild<QRadioButton*>(QStringLiteral("rdbS"))->click();
        QCOMPARE(help(dialog), QStringLiteral("Sammelbeleg aus RKSV"));
        dialog.findChild<QRadioButton*>(QStringLiteral("rdbA"))->click();
        QCOMPARE(help(dialog), QString());

        p.HostProduct = "DRAVELIN";
        RecordingDialog other;
        QCOMPARE(other.accHelpDir(), p.DefaultDir);
        QVERIFY(help(other).startsWith(QStringLiteral("Statusbelege")));
    }

    // Shown modally as the host product shows it: it stays open over accepted and refused requests alike, and
    // "Abbruch" closes it. The picture shows the collective receipt's explanation.
    void theDialogStaysOpenUntilCancel()
    {
        add("01", 1, "01.02.2026", "08:00:00", "A");
        add("01", 2, "03.02.2026", "10:15:00", "", true);
        bool checked = false;
        testsupport::onNextModal([&](QWidget* window) {
            auto* dialog = dynamic_cast<RecordingDialog*>(window);
            QVERIFY(dialog);
            auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("pshOK"));
            dialog->findChild<QRadioButton*>(QStringLiteral("rdbS"))->click();
            ok->click();
            QVERIFY(dialog->isVisible());
            QCOMPARE(dialog->accResult(), std::string("Sammelbeleg erstellt: Ausfall seit 03.02.2026 10:15:00"));
            dialog->findChild<QRadioButton*>(QStringLiteral("rdbM"))->click();
            ok->click();
            QVERIFY(dialog->isVisible());
            QCOMPARE(m_dialogs->shown().back().text, COLLECTIVE_FIRST);
            dialog->findChild<QRadioButton*>(QStringLiteral("rdbS"))->click();
            testsupport::savePng(dialog, QStringLiteral("dlgStatusbelege"));
            checked = true;
            dialog->findChild<QPushButton*>(QStringLiteral("pshCancel"))->click();
        });
        RecordingDialog dialog;
        QCOMPARE(dialog.exec(), static_cast<int>(QDialog::Rejected));
        QVERIFY(checked);
        QCOMPARE(dialog.saved, std::vector<std::string>{"S"});
    }

    // The start receipt signed through the PKCS#11 component, with a module that answers and with one that does not
    // answer in one of its calls (time limit 1 s): the window goes on while the worker waits (its timers fire, it
    // paints, a close waits for the answer), and afterwards the receipt is stored once with its result text and QR
    // image, or the German message is shown and nothing is stored. A second order stores nothing twice.
    void signingNeverWaitsOnTheWindowsThread_data()
    {
        QTest::addColumn<QString>("hang");
        QTest::addColumn<QString>("message");
        QTest::newRow("answers") << QString() << QString();
        QTest::newRow("C_Initialize") << QStringLiteral("C_Initialize")
                                      << QString::fromStdString(NO_CARD) + QStringLiteral("\r\n")
                                             + STALL.arg(QStringLiteral("C_Initialize"));
        QTest::newRow("C_Login") << QStringLiteral("C_Login")
                                 << QStringLiteral("VerifyPin: ") + STALL.arg(QStringLiteral("C_Login"));
        QTest::newRow("C_Sign") << QStringLiteral("C_Sign")
                                << QStringLiteral("Startbeleg nicht erstellt - die Sicherheitseinrichtung ist "
                                                  "ausgefallen, eine Kassa kann so nicht in Betrieb gehen");
    }
    void signingNeverWaitsOnTheWindowsThread()
    {
        QFETCH(QString, hang);
        QFETCH(QString, message); // %2 the module
        // SoftHSM2 stays initialised in the process under a module that stopped answering: each such row runs in a
        // process of its own.
        if (!hang.isEmpty() && qEnvironmentVariableIsEmpty("DLG_STATUSBELEGE_ROW")) {
            QProcess row;
            auto environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("DLG_STATUSBELEGE_ROW"), hang);
            row.setProcessEnvironment(environment);
            row.setProcessChannelMode(QProcess::MergedChannels);
            row.start(QCoreApplication::applicationFilePath(),
                      {QStringLiteral("signingNeverWaitsOnTheWindowsThread:") + hang});
            QVERIFY(row.waitForFinished(180000));
            QVERIFY2(row.exitStatus() == QProcess::NormalExit && row.exitCode() == 0, row.readAll().constData());
            return;
        }
        // One card for all rows: SoftHSM2 stays initialised under a module that stopped answering.
        if (!m_rig) {
            m_rigDir = std::make_unique<testsupport::TempDir>();
            m_rig = std::make_unique<testsupport::CardRig>(testsupport::CardKind::Pkcs11, m_rigDir->file("rig"));
            QVERIFY(!m_rig->createCard("Kassa 1", PIN, m_rigDir->file("ca")).empty());
        }
        QVERIFY(!m_rig->reader("Kassa 1").empty());
        // A module of this row's own: one that stopped answering stays failed for the rest of the process.
        const auto module = m_rigDir->file("karte-" + (hang.isEmpty() ? "gut" : hang.toStdString()) + ".so");
        std::filesystem::copy_file(test_paths::CARD_PKCS11_MODULE, module);
        auto& p = base::program();
        p.CompanyNumber = "0815";
        p.connections.signatur = "PKCS11:" + module + ";token=Kassa 1;vda=AT99;wartezeit=1";
        message.replace(QStringLiteral("%2"), QString::fromStdString(module));
        qputenv("TMPDIR", QByteArray::fromStdString(m_dir->path())); // the QR images
        if (!hang.isEmpty()) {
            qputenv("QUORVEX_CARD_MODULE_HANG", hang.toUtf8());
        }
        const auto stored = [this] {
            return std::stoi(m_connection->queryRow("SELECT COUNT(*) FROM BONS WHERE KASSA = '01'").at(0).value());
        };

        rksv::gui::DlgStatusbelege dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QSignalSpy answered(&dialog, &rksv::gui::DlgStatusbelege::answered);
        connect(&dialog, &rksv::gui::DlgStatusbelege::answered, &dialog, [&] {
            testsupport::savePng(&dialog, QStringLiteral("dlgStatusbelege-beantwortet-") + hang);
        });
        int ticksWhileBusy = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, &dialog, [&] { ticksWhileBusy += dialog.accBusy() ? 1 : 0; });
        ticker.start(20);
        auto* ok = dialog.findChild<QPushButton*>(QStringLiteral("pshOK"));
        auto* pin = dialog.findChild<QLineEdit*>(QStringLiteral("slePin"));
        const auto order = [&] {
            dialog.findChild<QRadioButton*>(QStringLiteral("rdbA"))->click();
            pin->setText(QString::fromStdString(PIN));
            ok->click();
        };
        order();
        // Back at once: the controls are off, the PIN is gone, and a close waits for the answer.
        QVERIFY(dialog.accBusy());
        QVERIFY(!ok->isEnabled());
        QVERIFY(!dialog.findChild<QPushButton*>(QStringLiteral("pshCancel"))->isEnabled());
        QCOMPARE(pin->text(), QString());
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(dialog.isVisible());
        QVERIFY(!testsupport::savePng(&dialog, QStringLiteral("dlgStatusbelege-wartet-") + hang).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 1, 60000);
        QVERIFY2(hang.isEmpty() || ticksWhileBusy > 0, "the window's timers ran while the worker waited");
        QTRY_VERIFY(!dialog.isVisible()); // the close asked for meanwhile
        QVERIFY(!dialog.accBusy());
        QVERIFY(ok->isEnabled());
        if (message.isEmpty()) {
            QVERIFY(m_dialogs->shown().empty());
            QCOMPARE(dialog.accResult(), std::string("Startbeleg erstellt"));
            QCOMPARE(stored(), 1);
            // The QR image is made on a worker as well, and then shown.
            dialog.show();
            dialog.findChild<QPushButton*>(QStringLiteral("pshQrAnzeigen"))->click();
            QVERIFY(dialog.accBusy());
            QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 2, 60000);
            QCOMPARE(m_dialogs->opened().size(), std::size_t(1));
            QVERIFY(std::filesystem::file_size(m_dialogs->opened().back()) > 0);
            QVERIFY(dialog.isVisible());
            // Ordered again: refused by the rules, stored once.
            order();
            QCOMPARE(m_dialogs->shown().back().text, START_EXISTS);
        } else {
            // The second order is refused at once: the module counts as failed, its card is not asked for again.
            const QString refusedAtOnce = QString::fromStdString(NO_CARD) + QStringLiteral("\r\n")
                                          + STALL.arg(hang, QString::fromStdString(module));
            for (int round = 1; round <= 2; ++round) {
                QCOMPARE(m_dialogs->shown().size(), std::size_t(round));
                QCOMPARE(m_dialogs->shown().back().kind, std::string("ErrorBox"));
                const auto shown = QString::fromStdString(m_dialogs->shown().back().text);
                QVERIFY2(shown.startsWith(round == 1 ? message : refusedAtOnce), qPrintable(shown));
                QCOMPARE(dialog.accResult(), std::string());
                QCOMPARE(stored(), 0);
                if (round == 1) {
                    dialog.show();
                    order();
                    QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 2, 60000);
                }
            }
        }
        QCOMPARE(stored(), message.isEmpty() ? 1 : 0);
    }

    void layoutFitsItsTexts()
    {
        RecordingDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        testsupport::savePng(&dialog, QStringLiteral("dlgStatusbelege-Start"));
        const auto fits = [](QWidget* widget, const QString& text) {
            return widget->fontMetrics().horizontalAdvance(text) < widget->width();
        };
        for (auto* button : dialog.findChildren<QRadioButton*>()) {
            QVERIFY2(fits(button, button->text() + QStringLiteral("MMM")), qPrintable(button->text()));
            QVERIFY(button->geometry().bottom() < button->parentWidget()->height());
        }
        for (auto* button : dialog.findChildren<QPushButton*>()) {
            QVERIFY2(fits(button, button->text() + QStringLiteral("MM")), qPrintable(button->text()));
        }
        auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("cmbKassa"));
        QVERIFY(fits(combo, combo->currentText() + QStringLiteral("MMMM")));
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("txtKassa"))->text(), QStringLiteral("&Kassa:"));
        QCOMPARE(dialog.findChild<QGroupBox*>(QStringLiteral("rbgTyp"))->title(), QStringLiteral("Belegtyp"));
        QVERIFY(dialog.findChild<QTextEdit*>(QStringLiteral("rtfHelp"))->isReadOnly());
        // Keyboard: one letter per control, Alt+M chooses the monthly receipt; a fixed window without maximise.
        for (const auto& [letter, holders] : testsupport::mnemonicsOf(&dialog)) {
            QVERIFY2(holders.size() == 1, qPrintable(holders.join(QLatin1Char(','))));
        }
        QApplication::setActiveWindow(&dialog);
        QTest::keyClick(&dialog, 'm', Qt::AltModifier);
        QTRY_VERIFY(dialog.findChild<QRadioButton*>(QStringLiteral("rdbM"))->isChecked()); // an animated click
        QVERIFY(!(dialog.windowFlags() & Qt::WindowMaximizeButtonHint));
        for (auto* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            QVERIFY2(dialog.rect().contains(child->geometry()), qPrintable(child->objectName()));
        }
    }
};

QTEST_MAIN(DlgStatusbelegeTest)
#include "DlgStatusbelegeTest.moc"
