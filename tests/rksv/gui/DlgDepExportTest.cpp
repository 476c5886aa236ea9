// The DEP export form and its progress window on the offscreen platform, exporting from a real SQLite database
// through its ODBC driver: "Abbrechen" stops a running export, a short one shows no progress, the window goes
// before the save-as dialog.
#include "rksv/gui/DlgDepExport.h"

#include "app/gui/Application.h"
#include "base/Program.h"
#include "tests/support/Databases.h"
#include "tests/support/Modal.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"
#include "widgets/QtDialogs.h"

#include <QApplication>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

using namespace std::chrono;

namespace {

constexpr int RECEIPTS = 3000;

// Scripted answers, but the window really works when the export lets it; records whether a progress window was on
// screen when the save-as dialog came.
class WorkingDialogs : public testsupport::ScriptedDialogs
{
public:
    void ProcessEvents() override { QApplication::processEvents(); }
    std::string SaveAs(const std::string& caption,
                       const std::string& proposedName,
                       const std::string& filterDescription,
                       const std::string& filterPattern,
                       const std::string& initialDirectory) override
    {
        for (auto* widget : QApplication::topLevelWidgets()) {
            progressOnScreen =
                progressOnScreen || (qobject_cast<rksv::gui::DlgDepFortschritt*>(widget) && widget->isVisible());
        }
        return ScriptedDialogs::SaveAs(caption, proposedName, filterDescription, filterPattern, initialDirectory);
    }
    bool progressOnScreen = false;
};

// Runs `action` on every turn of the event loop until it returns true.
void onEveryTurn(QObject* context, std::function<bool()> action)
{
    auto* timer = new QTimer(context);
    timer->setInterval(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action = std::move(action)] {
        if (action()) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

} // namespace

class DlgDepExportTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // German texts of Qt's own dialogs, as at the program's start.
        app::gui::fixProcessSettings(*qobject_cast<QApplication*>(QCoreApplication::instance()));
    }
    void init()
    {
        m_dir = std::make_unique<testsupport::TempDir>();
        m_state = std::make_unique<testsupport::ProgramStateGuard>();
        m_dialogs = std::make_unique<WorkingDialogs>();
        const auto file = m_dir->file("kassa.db");
        testsupport::createSqliteDatabase(file);
        const auto connection = testsupport::sqliteConnectionString(file);
        // Receipts of till 01 in December 2026 with JWS texts of a stored receipt's length.
        testsupport::execSql(connection,
                             "INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_JWS, RKSV_CRDID) "
                             "WITH RECURSIVE seq(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM seq WHERE i < "
                                 + std::to_string(RECEIPTS)
                                 + ") SELECT i, '01', printf('2026-12-%02d', 1 + i % 28), '10:00:00', i, 'B', "
                                   "'eyJhbGciOiJFUzI1NiJ9.' || hex(randomblob(110)) || '.' || hex(randomblob(43)), 1 "
                                   "FROM seq");
        testsupport::execSql(connection,
                             "INSERT INTO CARDS (CRDID, KASSA, SERNR, BASE64, CHAIN) VALUES (1, '01', '1a', 'MIIB', "
                             "'MIIC')");
        base::program().DefaultDir = m_dir->path();
        base::program().HostProduct = "Plumoxa";
        m_state->setClock({year{2026} / December / 7, hh_mm_ss<seconds>(12h)});
        m_state->openConnection(connection);
    }
    void cleanup()
    {
        m_dialogs.reset();
        m_state.reset();
        m_dir.reset();
    }

    void theFormAsksForTillAndPeriod()
    {
        rksv::gui::DlgDepExport form(nullptr);
        QCOMPARE(form.windowTitle(), QStringLiteral("Vexa-Quorvex: Datenerfassungsprotokoll exportieren"));
        auto* von = form.findChild<QDateEdit*>(QStringLiteral("dtpVon"));
        auto* bis = form.findChild<QDateEdit*>(QStringLiteral("dtpBis"));
        QVERIFY(von && bis);
        QCOMPARE(von->text(), QStringLiteral("01.01.2026"));
        QCOMPARE(bis->text(), QStringLiteral("07.12.2026"));
        QCOMPARE(form.findChild<QPushButton*>(QStringLiteral("pshJson"))->text(), QStringLiteral("E&xportieren"));
        QCOMPARE(form.findChild<QPushButton*>(QStringLiteral("pshRksv"))->text(),
                 QStringLiteral("Von der &Signatureinheit erstellen lassen"));
        QCOMPARE(form.findChild<QLabel*>(QStringLiteral("txtKassa"))->text(), QStringLiteral("&Kassa:"));
        QCOMPARE(form.findChild<QPushButton*>(QStringLiteral("pshClose"))->text(), QString::fromUtf8("S&chließen"));
        QCOMPARE(form.findChild<QLineEdit*>(QStringLiteral("sleKassa"))->maxLength(), 10);
        form.findChild<QLineEdit*>(QStringLiteral("sleKassa"))->setText(QStringLiteral("01"));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        for (auto* button : form.findChildren<QPushButton*>()) {
            QVERIFY2(button->width() >= button->sizeHint().width(), qPrintable(button->text()));
        }
        testsupport::savePng(&form, QStringLiteral("dlgDepExport"));
    }

    void abbrechenStopsARunningExport()
    {
        rksv::gui::DlgDepExport form(nullptr);
        form.setTimings(milliseconds(0), milliseconds(0));
        fill(form, QStringLiteral("01"), QDate(2026, 12, 1), QDate(2026, 12, 31));
        m_dialogs->answerSaveAs(m_dir->file("dep"));
        bool clicked = false;
        QString count;
        onEveryTurn(&form, [&] {
            auto* progress = form.findChild<rksv::gui::DlgDepFortschritt*>(QStringLiteral("dlgDepFortschritt"));
            if (!progress || progress->accReceipts() < 1000) {
                return false;
            }
            if (progress->isVisible()) {
                count = progress->findChild<QLabel*>(QStringLiteral("txtAnzahl"))->text();
                testsupport::savePng(progress, QStringLiteral("dlgDepFortschritt"));
                QTest::mouseClick(progress->findChild<QPushButton*>(QStringLiteral("pshCancel")), Qt::LeftButton);
                clicked = true;
            }
            return true;
        });
        QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("pshJson")), Qt::LeftButton);

        QVERIFY2(clicked, "the progress window was on screen during the export");
        QVERIFY2(QRegularExpression(QStringLiteral("^[1-2]\\.[0-9]{3} Belege gelesen$")).match(count).hasMatch(),
                 qPrintable(count));
        QVERIFY(form.accReceipts() >= 1000);
        QVERIFY2(form.accReceipts() < RECEIPTS, "the export stopped before its end");
        QVERIFY(form.accSaved().empty());
        QVERIFY(m_dialogs->saveAsAsked().empty());
        QVERIFY(m_dialogs->shown().empty());
        QVERIFY(!testsupport::exists(m_dir->file("PLUMOXA-DEP-01-20261201-20261231.TMP")));
        QVERIFY(!form.findChild<rksv::gui::DlgDepFortschritt*>());
        QVERIFY(form.findChild<QPushButton*>(QStringLiteral("pshJson"))->isEnabled());
    }

    void aShortExportShowsNoProgressAndTheWindowGoesBeforeSaving()
    {
        rksv::gui::DlgDepExport form(nullptr);
        form.setTimings(hours(1), milliseconds(0));
        fill(form, QStringLiteral("01"), QDate(2026, 12, 1), QDate(2026, 12, 31));
        m_dialogs->answerSaveAs(m_dir->file("dep"));
        bool watching = true;
        bool seenHidden = false;
        bool seenVisible = false;
        onEveryTurn(&form, [&] {
            if (auto* progress = form.findChild<rksv::gui::DlgDepFortschritt*>()) {
                seenHidden = seenHidden || !progress->isVisible();
                seenVisible = seenVisible || progress->isVisible();
            }
            return !watching;
        });
        QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("pshJson")), Qt::LeftButton);
        watching = false;
        QVERIFY(seenHidden);
        QVERIFY(!seenVisible);
        QCOMPARE(form.accReceipts(), static_cast<long>(RECEIPTS));
        QCOMPARE(form.accSaved(), m_dir->file("DEP.JSON"));
        QVERIFY(testsupport::readBytes(m_dir->file("DEP.JSON")).starts_with("{\n  \"Belege-Gruppe\" : [\n    {\n"));

        // Shown at once, then the export runs to its end: gone before the save-as dialog opens.
        form.setTimings(milliseconds(0), milliseconds(0));
        m_dialogs->answerSaveAs(m_dir->file("dep2"));
        QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("pshJson")), Qt::LeftButton);
        QCOMPARE(form.accSaved(), m_dir->file("DEP2.JSON"));
        QVERIFY(!m_dialogs->progressOnScreen);
    }

    void anInvalidPeriodAndAMissingComponentAreReported()
    {
        rksv::gui::DlgDepExport form(nullptr);
        fill(form, QStringLiteral("01"), QDate(2026, 12, 31), QDate(2026, 12, 1));
        QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("pshJson")), Qt::LeftButton);
        QCOMPARE(m_dialogs->shown().size(), std::size_t{1});
        QCOMPARE(m_dialogs->shown()[0].text, std::string("Der Zeitraum ist ungültig: \"Von\" liegt nach \"Bis\"."));

        base::program().connections.signatur = "Hardware:COM1";
        fill(form, QStringLiteral("01"), QDate(2026, 12, 1), QDate(2026, 12, 31));
        QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("pshRksv")), Qt::LeftButton);
        QCOMPARE(m_dialogs->shown().size(), std::size_t{2});
        QCOMPARE(m_dialogs->shown()[1].text,
                 std::string("Export DEP nicht möglich - Init: Objekt Quorvex nicht angelegt"));
        QVERIFY(m_dialogs->saveAsAsked().empty());
    }

    void theSaveAsDialogIsQtsOwnInSaveModeWithTheProposal()
    {
        widgets::QtDialogs qt;
        QStringList filters;
        QString shownName;
        QString directory;
        bool saveMode = false;
        testsupport::onNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) {
                modal->close();
                return;
            }
            filters = dialog->nameFilters();
            saveMode = dialog->acceptMode() == QFileDialog::AcceptSave;
            directory = dialog->directory().absolutePath();
            shownName = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text();
            testsupport::savePng(dialog, QStringLiteral("dlgSaveAs"));
            QMetaObject::invokeMethod(dialog, "accept");
        });
        const auto chosen = qt.SaveAs("Speichern unter ...",
                                      "PLUMOXA-DEP-01-20261201-20261231.JSON",
                                      "Datenerfassungsprotokoll *.JSON",
                                      "*.JSON",
                                      m_dir->path());
        QCOMPARE(filters, QStringList{QStringLiteral("Datenerfassungsprotokoll (*.JSON *.json)")});
        QVERIFY(saveMode);
        QCOMPARE(directory, QDir(QString::fromStdString(m_dir->path())).absolutePath());
        QCOMPARE(shownName, QStringLiteral("PLUMOXA-DEP-01-20261201-20261231.JSON"));
        QCOMPARE(chosen, m_dir->file("PLUMOXA-DEP-01-20261201-20261231.JSON"));

        testsupport::onNextModal([](QWidget* modal) { modal->close(); });
        QCOMPARE(qt.SaveAs("Speichern unter ...", "X.JSON", "Datenerfassungsprotokoll *.JSON", "*.JSON", m_dir->path()),
                 std::string());
    }

private:
    static void fill(rksv::gui::DlgDepExport& form, const QString& kassa, QDate from, QDate to)
    {
        form.findChild<QLineEdit*>(QStringLiteral("sleKassa"))->setText(kassa);
        form.findChild<QDateEdit*>(QStringLiteral("dtpVon"))->setDate(from);
        form.findChild<QDateEdit*>(QStringLiteral("dtpBis"))->setDate(to);
    }

    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<testsupport::ProgramStateGuard> m_state;
    std::unique_ptr<WorkingDialogs> m_dialogs;
};

QTEST_MAIN(DlgDepExportTest)
#include "DlgDepExportTest.moc"
