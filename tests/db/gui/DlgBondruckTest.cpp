// The receipt picker on a real SQLite database through its ODBC driver, in each of its three listings.
#include "db/gui/DlgBondruck.h"

#include "base/Program.h"
#include "tests/support/Databases.h"
#include "tests/support/Modal.h"
#include "tests/support/Process.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QTreeWidget>

using namespace std::chrono;

namespace {

// Lets the window work between the listed rows, as the program's dialogs do; after the first row the user's action is
// waiting among its events.
struct WorkingDialogs : testsupport::ScriptedDialogs
{
    void ProcessEvents() override
    {
        if (action) {
            QMetaObject::invokeMethod(qApp, std::exchange(action, {}), Qt::QueuedConnection);
        }
        QApplication::processEvents();
    }
    std::function<void()> action;
};

} // namespace

class DlgBondruckTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<testsupport::TempDir>();
        m_state = std::make_unique<testsupport::ProgramStateGuard>();
        m_dialogs = std::make_unique<testsupport::ScriptedDialogs>();
        const auto file = m_dir->file("kassa.db");
        testsupport::createSqliteDatabase(file);
        const auto connection = testsupport::sqliteConnectionString(file);
        testsupport::execSql(connection,
                             "INSERT INTO KUNDEN (KNDID, ZUNAME, VORNAME, STRASSE, PLZ, ORT) VALUES "
                             "(5, 'Gruber', 'Anna', 'Hauptplatz 1', '8010', 'Graz')");
        // Day 06.12.2026: till 01 at 10:15 (customer 5), 09:00 (annual receipt), 11:30 (no customer);
        // till 02 at 09:30; day 07.12.2026: till 01 at 08:00.
        testsupport::execSql(
            connection,
            "INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, KNDID, RKSV_TYP, RKSV_JWS, RKSV_NORMAL, "
            "RKSV_ERM1, RKSV_ERM2, RKSV_SONDER, RKSV_NULL, NAME, STRASSE, PLZ, ORT, PK_NR, PK_NAM, PK_VOR, PK_STR, "
            "PK_PLZ, PK_ORT) VALUES "
            "(1, '01', '2026-12-06', '10:15:00', 12, 'B', 5, '', 'jws-1', 10, 0, 2.5, 0, 0, 'Gruber', "
            "'Hauptplatz 1', '8010', 'Graz', 'P5', 'Gruber', 'Anna', 'Hauptplatz 1', '8010', 'Graz'),"
            "(2, '01', '2026-12-06', '09:00:00', 11, 'B', 5, 'J', 'jws-2', 0, 0, 0, 0, 0, '', '', '', '', '', '', "
            "'', '', '', ''),"
            "(3, '01', '2026-12-06', '11:30:00', 13, 'B', 0, '', 'jws-3', 4.2, 0, 0, 0, 0, '', '', '', '', '', "
            "'', '', '', '', ''),"
            "(4, '02', '2026-12-06', '09:30:00', 7, 'B', 0, '', 'jws-4', 1, 0, 0, 0, 0, '', '', '', '', '', '', "
            "'', '', '', ''),"
            "(5, '01', '2026-12-07', '08:00:00', 14, 'B', 0, '', 'jws-5', 3, 0, 0, 0, 0, '', '', '', '', '', '', "
            "'', '', '', '')");
        m_state->setClock({year{2026} / December / 6, hh_mm_ss<seconds>(12h)});
        m_state->openConnection(connection);
    }
    void cleanup()
    {
        m_dialogs.reset();
        m_state.reset();
        m_dir.reset();
    }

    void theTillsReceiptsOfTheDayInTimeOrder()
    {
        db::gui::DlgBondruck picker(nullptr, {});
        QCOMPARE(picker.windowTitle(), QStringLiteral("Vexa-Quorvex: Belegauswahl"));
        QCOMPARE(picker.findChild<QPushButton*>(QStringLiteral("pshToday"))->text(),
                 QStringLiteral("&Heute 06.12.2026"));
        picker.Setup("01");
        QCOMPARE(rows(picker),
                 QStringList({QStringLiteral("09:00:00|01|      11|Jahresbeleg|     0,00"),
                              QStringLiteral("10:15:00|01|      12|Anna Gruber, Hauptplatz 1, 8010 Graz|    12,50"),
                              QStringLiteral("11:30:00|01|      13||     4,20")}));
        picker.show();
        testsupport::savePng(&picker, QStringLiteral("dlgBondruck"));

        // Every column as wide as its header and its rows; the customer takes what is left; no "maximise".
        auto* list = picker.findChild<QTreeWidget*>(QStringLiteral("lvwData"));
        const QFontMetrics metrics(list->font());
        const int margin = 2 * list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin);
        int total = 0;
        for (int column = 0; column < list->columnCount(); ++column) {
            int needed = list->header()->fontMetrics().horizontalAdvance(list->headerItem()->text(column));
            for (int row = 0; column != 3 && row < list->topLevelItemCount(); ++row) {
                needed = std::max(needed, metrics.horizontalAdvance(list->topLevelItem(row)->text(column)) + margin);
            }
            QVERIFY2(list->columnWidth(column) >= needed, qPrintable(list->headerItem()->text(column)));
            // … and not much wider: the room goes to the customer.
            QVERIFY(column == 3
                    || list->columnWidth(column) <= needed + metrics.horizontalAdvance(QStringLiteral("MMM")));
            total += list->columnWidth(column);
        }
        QCOMPARE(total, list->viewport()->width());
        QVERIFY(!(picker.windowFlags() & Qt::WindowMaximizeButtonHint));
    }

    void f1OpensTheHelpPageOfThePicker()
    {
        base::program().DefaultDir = m_dir->path();
        db::gui::DlgBondruck picker(nullptr, {});
        picker.show();
        picker.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&picker));
        QTest::keyClick(&picker, Qt::Key_F1);
        QCOMPARE(m_dialogs->help(), std::vector<std::string>{m_dir->file("Quorvex.CHM") + "#Meldungen.htm#beleg"});
    }

    void plumoxaListsEveryTillInNumberOrder()
    {
        base::program().HostProduct = "plumoxa";
        db::gui::DlgBondruck picker(nullptr, {});
        picker.Setup("01");
        QCOMPARE(rows(picker),
                 QStringList({// an empty address leaves the two blanks of GetKndText
                              QStringLiteral("09:30:00|02|       7|  |     1,00"),
                              QStringLiteral("09:00:00|01|      11|Jahresbeleg|     0,00"),
                              QStringLiteral("10:15:00|01|      12|Gruber, Hauptplatz 1, 8010 Graz|    12,50"),
                              QStringLiteral("11:30:00|01|      13|  |     4,20")}));
    }

    void dravelinListsEveryTillInTimeOrder()
    {
        base::program().HostProduct = "DRAVELIN";
        db::gui::DlgBondruck picker(nullptr, {});
        picker.Setup("01");
        QCOMPARE(rows(picker).size(), 4);
        QCOMPARE(rows(picker).at(1), QStringLiteral("09:30:00|02|       7||     1,00"));
        QCOMPARE(rows(picker).at(2),
                 QStringLiteral("10:15:00|01|      12|Anna Gruber, Hauptplatz 1, 8010 Graz|    12,50"));
    }

    // Receipts without a number or time, and receipts with the same number, time and date, keep the order the
    // listing always had: NULL first, then by value, equal values in the order they were stored.
    void nullsAndEqualValuesKeepTheirOrder_data()
    {
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("order");
        QTest::newRow("by time") << QString() << QStringLiteral("23 21 24 22");
        QTest::newRow("by number") << QStringLiteral("PLUMOXA") << QStringLiteral("22 21 24 23");
    }
    void nullsAndEqualValuesKeepTheirOrder()
    {
        QFETCH(QString, product);
        QFETCH(QString, order);
        // A host product's receipt table that allows NULL.
        const auto connection = testsupport::sqliteConnectionString(m_dir->file("kassa.db"));
        testsupport::execSql(connection, "DROP TABLE BONS");
        testsupport::execSql(connection,
                             "CREATE TABLE BONS (BONID INTEGER PRIMARY KEY, KASSA VARCHAR(10), DATUM DATE, ZEIT "
                             "VARCHAR(8), BONNR INTEGER, TYP VARCHAR(5), KNDID INTEGER, RKSV_TYP VARCHAR(10), RKSV_JWS "
                             "VARCHAR(2000), RKSV_NORMAL DECIMAL(15,2), NAME VARCHAR(100), STRASSE VARCHAR(100), PLZ "
                             "VARCHAR(10), ORT VARCHAR(60))");
        testsupport::execSql(connection,
                             "INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_JWS) VALUES "
                             "(21, '03', '2026-12-08', '10:00:00', 5, 'B', 'jws-21'),"
                             "(22, '03', '2026-12-08', '10:05:00', NULL, 'B', 'jws-22'),"
                             "(23, '03', '2026-12-08', NULL, 9, 'B', 'jws-23'),"
                             "(24, '03', '2026-12-08', '10:00:00', 5, 'B', NULL)");
        base::program().HostProduct = product.toStdString();
        db::gui::DlgBondruck picker(nullptr, {});
        picker.Setup("03");
        picker.findChild<QPushButton*>(QStringLiteral("pshUp"))->click();
        picker.findChild<QPushButton*>(QStringLiteral("pshUp"))->click();
        auto* list = picker.findChild<QTreeWidget*>(QStringLiteral("lvwData"));
        QStringList ids;
        for (int row = 0; row < list->topLevelItemCount(); ++row) {
            const auto jws = list->topLevelItem(row)->data(0, Qt::UserRole).toString();
            ids << (jws.isEmpty() ? QStringLiteral("24") : jws.mid(4));
        }
        QCOMPARE(ids.join(QLatin1Char(' ')), order);
        QCOMPARE(list->topLevelItem(ids.indexOf(QStringLiteral("22")))->text(2).trimmed(), QStringLiteral("0"));
    }

    void theDateButtonsMoveTheDay()
    {
        db::gui::DlgBondruck picker(nullptr, {});
        picker.Setup("01");
        auto* date = picker.findChild<QLineEdit*>(QStringLiteral("sleDatum"));
        picker.findChild<QPushButton*>(QStringLiteral("pshUp"))->click();
        QCOMPARE(date->text(), QStringLiteral("07.12.2026"));
        QCOMPARE(rows(picker).size(), 1);
        date->clear();
        picker.findChild<QPushButton*>(QStringLiteral("pshDown"))->click();
        QCOMPARE(date->text(), QStringLiteral("05.12.2026"));
        QVERIFY(rows(picker).isEmpty());
        date->clear();
        picker.findChild<QPushButton*>(QStringLiteral("pshUp"))->click();
        QCOMPARE(date->text(), QStringLiteral("07.12.2026")); // empty: tomorrow
        picker.findChild<QPushButton*>(QStringLiteral("pshToday"))->click();
        QCOMPARE(rows(picker).size(), 3);
    }

    void anotherDayAskedForDuringAListingReplacesIt_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("presses");
        QTest::addColumn<QString>("day");
        QTest::addColumn<QString>("times");
        QTest::newRow("+") << QStringLiteral("pshUp") << 1 << QStringLiteral("07.12.2026")
                           << QStringLiteral("08:00:00");
        QTest::newRow("+ +") << QStringLiteral("pshUp") << 2 << QStringLiteral("08.12.2026") << QString();
        QTest::newRow("Heute") << QStringLiteral("pshToday") << 1 << QStringLiteral("06.12.2026")
                               << QStringLiteral("09:00:00 10:15:00 11:30:00");
        QTest::newRow("Enter") << QStringLiteral("sleDatum") << 1 << QStringLiteral("07.12.2026")
                               << QStringLiteral("08:00:00");
    }
    void anotherDayAskedForDuringAListingReplacesIt()
    {
        QFETCH(QString, control);
        QFETCH(int, presses);
        QFETCH(QString, day);
        QFETCH(QString, times);
        WorkingDialogs working;
        db::gui::DlgBondruck picker(nullptr, {});
        picker.show();
        auto* date = picker.findChild<QLineEdit*>(QStringLiteral("sleDatum"));
        working.action = [&] {
            for (int i = 0; i < presses; ++i) {
                if (control == date->objectName()) {
                    date->setText(day);
                    QTest::keyClick(date, Qt::Key_Return);
                } else {
                    picker.findChild<QPushButton*>(control)->click();
                }
            }
        };
        picker.Setup("01");
        QCOMPARE(date->text(), day);
        QStringList shown;
        for (const auto& row : rows(picker)) {
            shown << row.section(QLatin1Char('|'), 0, 0);
        }
        QCOMPARE(shown.join(QLatin1Char(' ')), times);
    }

    void takingOverConvertsTheSelectedReceipt()
    {
        std::string asked;
        db::gui::DlgBondruck picker(nullptr,
                                    [&asked](const std::string& jws, std::string&) -> std::optional<std::string> {
                                        asked = jws;
                                        return "_R1-AT1_" + jws;
                                    });
        picker.Setup("01");
        auto* list = picker.findChild<QTreeWidget*>(QStringLiteral("lvwData"));
        list->setCurrentItem(list->topLevelItem(1));
        picker.findChild<QPushButton*>(QStringLiteral("pshAblage"))->click();
        // Converted on a thread of its own: the picker's controls are off until the answer, and it stays meanwhile.
        QVERIFY(picker.accConverting());
        QVERIFY(!list->isEnabled());
        picker.reject();
        QTRY_VERIFY(!picker.accConverting());
        QCOMPARE(asked, std::string("jws-1"));
        QCOMPARE(picker.accJws(), std::string("_R1-AT1_jws-1"));
        QCOMPARE(picker.result(), int(QDialog::Accepted));

        db::gui::DlgBondruck failing(nullptr, [](const std::string&, std::string& error) -> std::optional<std::string> {
            error = "Signaturkomponente nicht bereit";
            return std::nullopt;
        });
        failing.Setup("01");
        const auto before = m_dialogs->shown().size();
        failing.PshAblage();
        QTRY_VERIFY(!failing.accConverting());
        QCOMPARE(m_dialogs->shown().size(), before + 1);
        QCOMPARE(failing.accJws(), std::string());
        QCOMPARE(m_dialogs->shown().back().text, std::string("Signaturkomponente nicht bereit"));

        db::gui::DlgBondruck empty(nullptr,
                                   [](const std::string&, std::string&) { return std::optional<std::string>("x"); });
        empty.Setup("09");
        empty.PshAblage();
        QCOMPARE(empty.accJws(), std::string()); // an empty list just closes
    }

    // Enter in the list takes the receipt and closes the picker, as a double click does (both Enter keys).
    void enterInTheListTakesTheReceipt_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
    }
    void enterInTheListTakesTheReceipt()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        db::gui::DlgBondruck picker(
            nullptr, [](const std::string& jws, std::string&) { return std::optional<std::string>("Beleg " + jws); });
        picker.Setup("01");
        picker.show();
        picker.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&picker));
        auto* list = picker.findChild<QTreeWidget*>(QStringLiteral("lvwData"));
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down); // the second row, 10:15
        QCOMPARE(list->currentItem(), list->topLevelItem(1));
        QTest::keyClick(list, static_cast<Qt::Key>(key), static_cast<Qt::KeyboardModifiers>(modifiers));
        QTRY_VERIFY(!picker.isVisible());
        QCOMPARE(QString::fromStdString(picker.accJws()), QStringLiteral("Beleg jws-1"));
    }

    void choosingAReceiptFromTheForm()
    {
        testsupport::onNextModal([](QWidget* dialog) {
            auto* picker = qobject_cast<db::gui::DlgBondruck*>(dialog);
            picker->findChild<QPushButton*>(QStringLiteral("pshAblage"))->click();
        });
        const auto text = db::gui::PshBondruck(nullptr, "01", [](const std::string& jws, std::string&) {
            return std::optional<std::string>("Beleg " + jws);
        });
        QCOMPARE(text, std::string("Beleg jws-2"));

        base::program().connections.datenbank = "DSN=GIBTESNICHT;";
        QCOMPARE(db::gui::PshBondruck(nullptr, "01", {}), std::string());
        QCOMPARE(m_dialogs->shown().back().text, std::string("Zugriff auf Belege nicht möglich"));
    }

    // The three listings on MariaDB demo data, each against the receipts the database itself selects.
    void everyListingOnMariaDbDemoData()
    {
        testsupport::MariaDbServer server;
        const auto connection = server.createDatabase("demo");
        QCOMPARE(testsupport::Process({test_paths::DEMODATA_TOOL, "--connection", connection, "--receipts", "400"}, {})
                     .wait(std::chrono::seconds(60)),
                 std::optional<int>(0));
        const auto day = testsupport::querySql(connection,
                                               "SELECT DATUM FROM BONS WHERE KASSA = '01' "
                                               "ORDER BY BONNR LIMIT 1 OFFSET 20")
                             .at(0)
                             .at(0);
        const int y = std::stoi(day.substr(0, 4));
        const unsigned m = static_cast<unsigned>(std::stoi(day.substr(5, 2)));
        const unsigned d = static_cast<unsigned>(std::stoi(day.substr(8, 2)));
        m_state->setClock({year{y} / m / d, hh_mm_ss<seconds>(12h)});
        m_state->openConnection(connection);

        struct Variant
        {
            const char* product;
            std::string query;
        };
        const Variant variants[] = {
            {"", "SELECT ZEIT, BONNR FROM BONS WHERE KASSA = '01' AND DATUM = '" + day + "' ORDER BY ZEIT, BONID"},
            {"PLUMOXA", "SELECT ZEIT, BONNR FROM BONS WHERE DATUM = '" + day + "' ORDER BY BONNR, BONID"},
            {"DRAVELIN", "SELECT ZEIT, BONNR FROM BONS WHERE DATUM = '" + day + "' ORDER BY ZEIT, BONID"},
        };
        for (const auto& variant : variants) {
            base::program().HostProduct = variant.product;
            const auto expected = testsupport::querySql(connection, variant.query);
            db::gui::DlgBondruck picker(nullptr, {});
            picker.Setup("01");
            const auto listed = rows(picker);
            QCOMPARE(listed.size(), static_cast<qsizetype>(expected.size()));
            QVERIFY(!listed.isEmpty());
            for (qsizetype i = 0; i < listed.size(); ++i) {
                const auto cells = listed[i].split(QLatin1Char('|'));
                QCOMPARE(cells[0].toStdString(), expected[static_cast<std::size_t>(i)][0]);
                QCOMPARE(cells[2].trimmed().toStdString(), expected[static_cast<std::size_t>(i)][1]);
            }
        }
    }

private:
    static QStringList rows(const db::gui::DlgBondruck& picker)
    {
        auto* list = picker.findChild<QTreeWidget*>(QStringLiteral("lvwData"));
        QStringList result;
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            QStringList cells;
            for (int c = 0; c < 5; ++c) {
                cells << list->topLevelItem(i)->text(c);
            }
            result << cells.join(QLatin1Char('|'));
        }
        return result;
    }

    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<testsupport::ProgramStateGuard> m_state;
    std::unique_ptr<testsupport::ScriptedDialogs> m_dialogs;
};

QTEST_MAIN(DlgBondruckTest)
#include "DlgBondruckTest.moc"
