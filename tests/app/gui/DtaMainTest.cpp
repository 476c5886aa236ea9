// The main window with its forms, driven as a user drives it, sending through the real client to the local
// FinanzOnline test service.
#include "app/gui/DtaMain.h"

#include "app/Wiring.h"
#include "base/Clock.h"
#include "base/Program.h"
#include "tests/support/FonTestService.h"
#include "tests/support/Modal.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "widgets/DlgXmlAnzeige.h"
#include "widgets/MySubDataWindow.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <filesystem>
#include <sys/stat.h>

using namespace std::chrono;
using app::gui::DtaMain;
using testsupport::readBytes;
using testsupport::writeBytes;

namespace {

const std::string TID = "123456789012";
const std::string BENID = "WEBUSER01";
const std::string PIN = "geheim123";
const QString KEY = QStringLiteral("uW4h0LsV7V1mZ9q3bY2cT6xN8pR5kD1fG0jH3sA7eQ8=");
const QString RECEIPT = QStringLiteral("_R1-AT1_KASSE-01_1_2017-01-23T10:48:15_0,00_0,00_0,00_0,00_0,00_AAAAAAAA=_"
                                       "3d1f2a_AAAAAAAAAAA=_")
                        + QString(88, QLatin1Char('A'));

std::string loginIni(const std::string& pin)
{
    return "[QUORVEX]\r\nVersion=1.0\r\nTid=" + TID + "\r\nBenid=" + BENID + "\r\nPin=" + pin
           + "\r\nUidnr=ATU12345678\r\n";
}

void setClock(int month, int day, int hour, int minute)
{
    base::setClock([=] {
        return base::LocalDateTime{year{2017} / month / day,
                                   hh_mm_ss<seconds>(hours{hour} + std::chrono::minutes{minute} + 15s)};
    });
}

} // namespace

class DtaMainTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_service =
            std::make_unique<testsupport::FonTestService>(std::vector<testsupport::FonAccount>{{TID, BENID, PIN, ""}});
    }
    void cleanupTestCase() { m_service.reset(); }

    void init()
    {
        QVERIFY(m_service->running());
        m_service->setMode("normal");
        m_dir = std::make_unique<testsupport::TempDir>();
        m_state = std::make_unique<testsupport::ProgramStateGuard>();
        m_state->startIn(m_dir->path());
        m_dialogs = std::make_unique<testsupport::ScriptedDialogs>();
        auto& p = base::program();
        p.CompanyList = {{"Hauptkasse", "01", "J", ""}, {"Filiale", "02", "J", ""}, {"Neu", "03", "N", ""}};
        p.connections.fonCaFile = m_service->caFile();
        p.connections.fonConnectTo = m_service->connectTo();
        writeBytes(m_dir->file("01QUORVEX.INI"), loginIni(PIN));
        writeBytes(m_dir->file("02QUORVEX.INI"), loginIni("falsch99"));
        setClock(1, 23, 10, 48);
        openWindow();
    }
    void cleanup()
    {
        m_window.reset();
        m_dialogs.reset();
        m_state.reset();
        m_dir.reset();
    }

    void everyOperationIsSentAndAnswered_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("element");
        const char* elements[] = {"registrierung_se",
                                  "ausfall_se",
                                  "wiederinbetriebnahme_se",
                                  "ausfall_se",
                                  "registrierung_kasse",
                                  "ausfall_kasse",
                                  "wiederinbetriebnahme_kasse",
                                  "ausfall_kasse",
                                  "belegpruefung"};
        for (int n = 1; n <= 9; ++n) {
            QTest::addRow("%d %s", n, elements[n - 1]) << n << QString::fromLatin1(elements[n - 1]);
        }
    }

    void everyOperationIsSentAndAnswered()
    {
        QFETCH(int, operation);
        QFETCH(QString, element);
        choose(operation);
        fill(operation);
        testsupport::savePng(m_window.get(), QStringLiteral("dtaMain-form%1").arg(operation));
        const auto before = m_service->requests().size();
        if (operation == 4 || operation == 8) {
            m_dialogs->answer(base::IDYES); // taking out of service is confirmed first
        }
        send();

        QCOMPARE(result(), QStringLiteral("Ergebnis der Sendung:\n(0) Aufruf OK"));
        QCOMPARE(pshOk()->text(), QStringLiteral("&Gesamte Rückmeldung anzeigen"));
        QVERIFY(pshOk()->isEnabled());
        QVERIFY(!m_window->form(operation)->isVisible());
        QCOMPARE(m_window->okMode(), DtaMain::OkMode::SHOW);
        for (int n = 1; n <= DtaMain::OPERATIONS; ++n) {
            QVERIFY(!radio(n)->isChecked());
        }
        const auto got = m_service->requests();
        QCOMPARE(got.size(), before + 3);
        const auto& rkdb = got[before + 1];
        QCOMPARE(rkdb.path, std::string("/fonws/ws/rkdb"));
        QVERIFY(rkdb.body.find("<rkdb:" + element.toStdString() + ">") != std::string::npos);
        QVERIFY(rkdb.body.find("<rkdb:kundeninfo>Bäckerei Müller</rkdb:kundeninfo>") != std::string::npos);
        QCOMPARE(got[before + 2].header("SOAPAction"), std::string("\"logout\""));
        QVERIFY(m_window->lastAnswer().find("rkdbResponse") != std::string::npos);
        if (operation == 2) {
            QVERIFY(rkdb.body.find("<rkdb:begruendung>1</rkdb:begruendung>") != std::string::npos);
            QVERIFY(rkdb.body.find("<rkdb:beginn_ausfall>2017-01-23T10:48:15</rkdb:beginn_ausfall>")
                    != std::string::npos);
        }
        if (operation == 8) {
            QVERIFY(rkdb.body.find("<rkdb:begruendung>7</rkdb:begruendung>") != std::string::npos);
        }
        if (operation == 1) {
            QVERIFY(rkdb.body.find("<rkdb:vda_id>AT2</rkdb:vda_id>") != std::string::npos);
        }
        testsupport::savePng(m_window.get(), QStringLiteral("dtaMain-result%1").arg(operation));
    }

    // The status queries end to end, in production: a unit registered through the window before is found and its
    // state said in German; an unknown one is refused with FinanzOnline's text.
    void statusQueriesShowTheStateOrTheRefusal_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<bool>("registered");
        QTest::addColumn<QString>("expected"); // pattern of the result after the heading
        const QString since = QStringLiteral(": in Betrieb seit \\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d$");
        QTest::newRow("10 known") << 10 << QStringLiteral("5E1A77") << true
                                  << QStringLiteral("^\\(0\\) Signaturerstellungseinheit 5E1A77") + since;
        QTest::newRow("10 unknown") << 10 << QStringLiteral("ABC999") << false
                                    << QStringLiteral("^\\(B11\\) Die Signatur- bzw\\. Siegelerstellungseinheit ist "
                                                      "nicht registriert\\.$");
        QTest::newRow("11 known") << 11 << QStringLiteral("KASSE-11") << true
                                  << QStringLiteral("^\\(0\\) Registrierkasse KASSE-11") + since;
        QTest::newRow("11 unknown") << 11 << QStringLiteral("KASSE-99") << false
                                    << QStringLiteral("^\\(B2\\) Die Registrierkasse ist nicht registriert\\.$");
    }
    void statusQueriesShowTheStateOrTheRefusal()
    {
        QFETCH(int, operation);
        QFETCH(QString, unit);
        QFETCH(bool, registered);
        QFETCH(QString, expected);
        base::program().CompanyList.front().testFlag = "N";
        openWindow();
        const char* field = operation == 10 ? "sleZertifikatsseriennummer" : "sleKassenidentnummer";
        if (registered) {
            const int registration = operation == 10 ? 1 : 5;
            choose(registration);
            fill(registration);
            edit(registration, field)->setText(unit);
            send();
            QCOMPARE(result(), QStringLiteral("Ergebnis der Sendung:\n(0) Aufruf OK"));
        }
        choose(operation);
        QCOMPARE(edit(operation, field)->text(), registered ? unit : QString());
        edit(operation, field)->setText(unit);
        testsupport::savePng(m_window.get(), QStringLiteral("dtaMain-form%1").arg(operation));
        const auto before = m_service->requests().size();
        send();

        const auto got = m_service->requests();
        QCOMPARE(got.size(), before + 3);
        const auto& query = got[before + 1].body;
        QVERIFY(query.find(operation == 10 ? "<rkdb:status_see>" : "<rkdb:status_kasse>") != std::string::npos);
        QVERIFY(query.find("<rkdb:art_uebermittlung>P</rkdb:art_uebermittlung>") != std::string::npos);
        QVERIFY(query.find(">" + unit.toStdString() + "</rkdb:") != std::string::npos);
        const QString shown = result();
        QVERIFY(shown.startsWith(QStringLiteral("Ergebnis der Sendung:\n")));
        QVERIFY2(QRegularExpression(expected).match(shown.section(QLatin1Char('\n'), 1)).hasMatch(), qPrintable(shown));
        QCOMPARE(m_window->okMode(), DtaMain::OkMode::SHOW);
        QVERIFY(m_window->lastAnswer().find(registered ? "abfrage_ergebnis" : "rkdbResponse") != std::string::npos);
        testsupport::savePng(m_window.get(),
                             QStringLiteral("dtaMain-result%1-%2")
                                 .arg(operation)
                                 .arg(QLatin1String(registered ? "bekannt" : "unbekannt")));
    }

    // A query without its unit's number is refused before anything is sent, with the registration forms' texts.
    void statusQueriesNeedTheirUnit_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("entered");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("field");
        const QString serial = QStringLiteral("Die Zertifikatsseriennummer muss eingegeben werden");
        const QString till = QStringLiteral("Die Kassenidentifikationsnummer muss eingegeben werden");
        QTest::newRow("10 empty") << 10 << QString() << serial << QStringLiteral("sleZertifikatsseriennummer");
        QTest::newRow("10 blanks") << 10 << QStringLiteral("   ") << serial
                                   << QStringLiteral("sleZertifikatsseriennummer");
        QTest::newRow("11 empty") << 11 << QString() << till << QStringLiteral("sleKassenidentnummer");
        QTest::newRow("11 blanks and a tab")
            << 11 << QStringLiteral(" \t ") << till << QStringLiteral("sleKassenidentnummer");
    }
    void statusQueriesNeedTheirUnit()
    {
        QFETCH(int, operation);
        QFETCH(QString, entered);
        QFETCH(QString, message);
        QFETCH(QString, field);
        const auto before = m_service->requests().size();
        choose(operation);
        edit(operation, field.toLatin1().constData())->setText(entered);
        send();
        expectError(message.toStdString().c_str(), field.toLatin1().constData());
        QCOMPARE(m_service->requests().size(), before);
        QCOMPARE(m_window->okMode(), DtaMain::OkMode::FON);
    }

    void aRefusedLoginIsShownAndNothingElseIsSent()
    {
        selectCompany(1);
        choose(5);
        fill(5);
        const auto before = m_service->requests().size();
        send();
        QVERIFY(result().startsWith(QStringLiteral("Ergebnis der Sendung:\n(-4) ")));
        QCOMPARE(m_service->requests().size(), before + 1);
        QCOMPARE(m_window->lastAnswer(), std::string());
    }

    // Without an answer (no connection, a refused login, a cancelled exchange) "Gesamte Rückmeldung anzeigen" is
    // not offered: no empty viewer, no empty file.
    void noAnswerOffersNothingToShow_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("shown");
        QTest::newRow("no connection") << "close"
                                       << "(-1) Keine Rueckmeldung von Webservice";
        QTest::newRow("refused login") << "company 02"
                                       << "(-4) ";
        QTest::newRow("cancelled") << "late 60"
                                   << "(-1) Die Sendung wurde abgebrochen.";
    }
    void noAnswerOffersNothingToShow()
    {
        QFETCH(QString, how);
        QFETCH(QString, shown);
        if (how == QStringLiteral("company 02")) {
            selectCompany(1);
        } else {
            m_service->setMode(how.toStdString());
        }
        choose(7);
        fill(7);
        pshOk()->click();
        if (how.startsWith(QStringLiteral("late"))) {
            QTest::keyClick(m_window.get(), Qt::Key_Escape);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->sending(), 30000);
        QVERIFY2(result().startsWith(QStringLiteral("Ergebnis der Sendung:\n") + shown), qPrintable(result()));
        QCOMPARE(pshOk()->text(), QStringLiteral("&Gesamte Rückmeldung anzeigen"));
        QVERIFY(!pshOk()->isEnabled());
        m_window->PshOk(); // as a click that came anyway
        QVERIFY(!testsupport::exists(m_dir->file("TMP/~20170123104815.XML")));
        QVERIFY(m_dialogs->xmlShown().empty());
        testsupport::savePng(m_window.get(), QStringLiteral("dtaMain-noanswer-") + how.section(QLatin1Char(' '), 0, 0));
    }

    // Taking a unit or a till out of service cannot be undone at FinanzOnline: the window asks once, "Nein" being
    // the default, whether the send button or Enter in a field started it.
    void takingOutOfServiceIsConfirmed_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<bool>("byEnter");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("question");
        const QString unit = QString::fromUtf8("Signaturerstellungseinheit 3D1F2A wirklich außer Betrieb nehmen?");
        const QString till = QString::fromUtf8("Registrierkasse KASSE-01 wirklich außer Betrieb nehmen?");
        QTest::newRow("unit, Ja") << 4 << false << base::IDYES << unit;
        QTest::newRow("unit, Nein") << 4 << false << base::IDNO << unit;
        QTest::newRow("unit, Enter, Nein") << 4 << true << base::IDNO << unit;
        QTest::newRow("till, Ja") << 8 << false << base::IDYES << till;
        QTest::newRow("till, Enter, Ja") << 8 << true << base::IDYES << till;
        QTest::newRow("till, closed") << 8 << false << base::IDCANCEL << till;
    }
    void takingOutOfServiceIsConfirmed()
    {
        QFETCH(int, operation);
        QFETCH(bool, byEnter);
        QFETCH(int, answer);
        QFETCH(QString, question);
        choose(operation);
        fill(operation);
        const auto before = m_service->requests().size();
        m_dialogs->answer(answer);
        if (byEnter) {
            QTest::keyClick(edit(operation, "sleKundeninfo"), Qt::Key_Return);
        } else {
            pshOk()->click();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->sending(), 30000);
        QCOMPARE(m_dialogs->shown().size(), std::size_t{1});
        const auto& asked = m_dialogs->shown().front();
        QCOMPARE(QString::fromStdString(asked.text), question);
        QCOMPARE(asked.caption,
                 std::string(operation == 4 ? "Außerbetriebnahme Signaturerstellungseinheit"
                                            : "Außerbetriebnahme Registrierkasse"));
        QCOMPARE(asked.type, base::MB_YESNO | base::MB_ICONQUESTION | base::MB_DEFBUTTON2);
        const bool sent = answer == base::IDYES;
        QCOMPARE(m_service->requests().size(), sent ? before + 3 : before);
        QCOMPARE(m_window->okMode(), sent ? DtaMain::OkMode::SHOW : DtaMain::OkMode::FON);
        QCOMPARE(m_window->form(operation)->isVisible(), !sent);
    }

    void theLastAnswerIsWrittenAndShownAndEndingDeletesTheAnswerFiles()
    {
        choose(3);
        fill(3);
        send();
        send();
        const auto file = m_dir->file("TMP/~20170123104815.XML");
        QCOMPARE(readBytes(file), m_window->lastAnswer());
        QVERIFY(readBytes(file).find("rkdbResponse") != std::string::npos);
        QVERIFY(m_dialogs->opened().empty());
        QCOMPARE(m_dialogs->xmlShown().size(), std::size_t{1});
        QCOMPARE(m_dialogs->xmlShown()[0].second, m_window->lastAnswer());

        // The answer as the viewer shows it: one element a line, indented by its depth, copied whole.
        widgets::DlgXmlAnzeige viewer(QString::fromStdString(m_dialogs->xmlShown()[0].first),
                                      QString::fromStdString(m_window->lastAnswer()),
                                      m_window.get());
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        const QStringList lines = viewer.text().split(QLatin1Char('\n'));
        QVERIFY(lines.size() > 5);
        const auto response = lines.indexOf(QRegularExpression(QStringLiteral(" +<[^/ ]*rkdbResponse[ >].*")));
        QVERIFY2(response > 0, qPrintable(viewer.text()));
        const auto indent = [](const QString& line) { return line.indexOf(QRegularExpression(QStringLiteral("\\S"))); };
        QVERIFY(indent(lines[response + 1]) > indent(lines[response]));
        QTest::mouseClick(viewer.findChild<QPushButton*>(QStringLiteral("pshKopieren")), Qt::LeftButton);
        QCOMPARE(QApplication::clipboard()->text(), viewer.text());
        testsupport::savePng(&viewer, QStringLiteral("dlgXmlAnzeige-answer"));
        viewer.close();

        writeBytes(m_dir->file("TMP/~19990101000000.XML"), "alt");
        writeBytes(m_dir->file("TMP/notiz.txt"), "bleibt");
        m_window->close();
        QVERIFY(!testsupport::exists(file));
        QVERIFY(!testsupport::exists(m_dir->file("TMP/~19990101000000.XML")));
        QVERIFY(testsupport::exists(m_dir->file("TMP/notiz.txt")));
    }

    void formChecksNameTheFieldAndSendNothing()
    {
        const auto before = m_service->requests().size();
        choose(5);
        send();
        expectError("Die Kassenidentifikationsnummer muss eingegeben werden", "sleKassenidentnummer");
        edit(5, "sleKassenidentnummer")->setText(QStringLiteral("KASSE-01"));
        send();
        expectError("Der Benutzerschluessel muss eingegeben werden", "sleBenutzerschluessel");
        edit(5, "sleBenutzerschluessel")->setText(KEY.left(43));
        send();
        expectError("Der Benutzerschluessel muss 44 Zeichen lang sein", "sleBenutzerschluessel");
        edit(5, "sleBenutzerschluessel")->setText(KEY + QLatin1Char('x'));
        send();
        expectError("Der Benutzerschluessel muss 44 Zeichen lang sein", "sleBenutzerschluessel");

        choose(2);
        edit(2, "sleZertifikatsseriennummer")->setText(QStringLiteral("   "));
        send();
        expectError("Die Zertifikatsseriennummer muss eingegeben werden", "sleZertifikatsseriennummer");

        choose(1);
        edit(1, "sleZertifikatsseriennummer")->clear();
        send();
        expectError("Entweder Zertifikat oder Zertifikatsseriennummer müssen eingegeben werden",
                    "sleZertifikatsseriennummer");

        choose(9);
        send();
        expectError("Der Beleg muss eingegeben werden", "sleBeleg");

        // Remembered, the value would come back with "?" for the character.
        choose(7);
        fill(7);
        edit(7, "sleKundeninfo")->setText(QStringLiteral("Café ✓"));
        send();
        QVERIFY(QString::fromStdString(m_dialogs->shown().back().text).contains(QStringLiteral("„✓“")));
        QCOMPARE(QApplication::focusWidget(), edit(7, "sleKundeninfo"));
        QCOMPARE(m_service->requests().size(), before);
        QCOMPARE(m_window->okMode(), DtaMain::OkMode::FON);
    }

    void receiptsComeFromTheClipboardWithoutLineBreaks()
    {
        choose(9);
        auto* receipt = m_window->form(9)->findChild<QPlainTextEdit*>(QStringLiteral("sleBeleg"));
        auto* paste = m_window->form(9)->findChild<QPushButton*>(QStringLiteral("pshPaste"));
        receipt->setFocus();
        m_dialogs->setClipboard(" " + RECEIPT.toStdString());
        paste->click();
        QCOMPARE(m_dialogs->shown().back().text, std::string("Kein gültiger JWS-String in der Zwischenablage"));
        QCOMPARE(receipt->toPlainText(), QString());
        m_dialogs->setClipboard("");
        paste->click();
        QCOMPARE(m_dialogs->shown().size(), size_t{2});

        m_dialogs->setClipboard(RECEIPT.toStdString() + "\r\n");
        paste->click();
        QCOMPARE(receipt->toPlainText().trimmed(), RECEIPT);
        QVERIFY(!m_window->form(9)->PshOk());
        QCOMPARE(m_dialogs->shown().back().text, std::string("Der Beleg darf keinen Zeilenumbruch enthalten"));

        m_dialogs->setClipboard(RECEIPT.toStdString() + "\n");
        paste->click();
        QVERIFY2(m_window->form(9)->PshOk(), "a lone line feed passes");

        receipt->setPlainText(RECEIPT);
        QTest::keyClick(receipt, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClick(receipt, Qt::Key_Return);
        QVERIFY2(!m_window->form(9)->PshOk(), "a typed line break is CR LF");
    }

    void theReceiptIsRememberedOnlyInLockedDownModeAndNeverRestored()
    {
        choose(9);
        fill(9);
        QVERIFY(m_window->form(9)->PshOk());
        QCOMPARE(base::program().CurrentIni.GetString("Funktionen", "Beleg"), std::string());

        writeBytes(m_dir->file("DOVEXA"), "");
        openWindow();
        choose(9);
        m_dialogs->setClipboard(RECEIPT.toStdString());
        m_window->form(9)->findChild<QPlainTextEdit*>(QStringLiteral("sleBeleg"))->setFocus();
        m_window->form(9)->findChild<QPushButton*>(QStringLiteral("pshPaste"))->click();
        QVERIFY(m_window->form(9)->findChild<QPlainTextEdit*>(QStringLiteral("sleBeleg"))->isReadOnly());
        QVERIFY(m_window->form(9)->PshOk());
        QCOMPARE(base::program().CurrentIni.GetString("Funktionen", "Beleg"), RECEIPT.toStdString());
        openWindow();
        choose(9);
        QCOMPARE(m_window->form(9)->findChild<QPlainTextEdit*>(QStringLiteral("sleBeleg"))->toPlainText(), QString());
        choose(1);
        QVERIFY(!m_window->form(1)->findChild<QComboBox*>(QStringLiteral("cmbArt_se"))->isEnabled());
    }

    void valuesAreRememberedAcrossFormsAndDatesAreNow()
    {
        choose(5);
        fill(5);
        edit(5, "sleKundeninfo")->setText(QStringLiteral("Café Zentral"));
        QVERIFY(m_window->form(5)->PshOk());
        choose(1);
        QCOMPARE(edit(1, "sleKundeninfo")->text(), QStringLiteral("Café Zentral"));
        choose(8);
        QCOMPARE(edit(8, "sleKassenidentnummer")->text(), QStringLiteral("KASSE-01"));
        choose(11);
        QCOMPARE(edit(11, "sleKassenidentnummer")->text(), QStringLiteral("KASSE-01"));
        choose(1);
        fill(1);
        QVERIFY(m_window->form(1)->PshOk());
        choose(10);
        QCOMPARE(edit(10, "sleZertifikatsseriennummer")->text(), QStringLiteral("3D1F2A"));
        // A query has no customer information, and its check keeps the remembered one.
        QVERIFY(!edit(10, "sleKundeninfo")->isVisible());
        QVERIFY(m_window->form(10)->PshOk());
        QCOMPARE(base::program().CurrentIni.GetString("Funktionen", "Kundeninfo"), std::string("Bäckerei Müller"));

        choose(6);
        QVERIFY(m_window->form(6)->PshOk());
        QCOMPARE(base::program().CurrentIni.GetString("Funktionen", "Beginn Datum"), std::string("23.01.2017"));
        setClock(2, 1, 9, 5);
        choose(6);
        auto* date = m_window->form(6)->findChild<QDateEdit*>(QStringLiteral("sleBeginnDatum"));
        QCOMPARE(date->text(), QStringLiteral("01.02.2017"));
        QCOMPARE(m_window->form(6)->findChild<QDateTimeEdit*>(QStringLiteral("sleBeginnZeit"))->text(),
                 QStringLiteral("09:05:15"));
        QCOMPARE(base::program().CurrentIni.GetString("Funktionen", "Begründung6"),
                 std::string("Diebstahl oder sonstiger Verlust"));
    }

    void missingLoginDataDisableTheOperations()
    {
        QVERIFY(radio(1)->isEnabled());
        selectCompany(2);
        for (int n = 1; n <= DtaMain::OPERATIONS; ++n) {
            QVERIFY(!radio(n)->isEnabled());
        }
        QCOMPARE(m_dialogs->shown().back().caption, std::string("FON WebClient"));
        QCOMPARE(m_dialogs->shown().back().text,
                 std::string("Es müssen zuerst die Login-Daten unter Basisdaten/Einstellungen eingegeben werden"));
        QCOMPARE(readBytes(m_dir->file("03QUORVEX.INI")), std::string("[QUORVEX]\r\nVersion=1.0\r\n"));
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Vexa-Quorvex: FON WebClient (Produktivübertragung)"));
        writeBytes(m_dir->file("DOTEST"), "");
        selectCompany(2);
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Vexa-Quorvex: FON WebClient (Testübertragung)"));

        // A FIFO in the file's place is not waited for: its name is said, and the operations stay off.
        const auto ini = m_dir->file("03QUORVEX.INI");
        std::filesystem::remove(ini);
        QCOMPARE(::mkfifo(ini.c_str(), 0600), 0);
        selectCompany(2);
        QCOMPARE(m_dialogs->shown().back().kind, std::string("ErrorBox"));
        QVERIFY2(m_dialogs->shown().back().text.starts_with(
                     "Die Datei " + ini + " kann nicht gelesen werden: An ihrer Stelle steht keine gewöhnliche Datei"),
                 m_dialogs->shown().back().text.c_str());
        QVERIFY(!radio(1)->isEnabled());
    }

    void blankLoginValuesCountAsMissing()
    {
        for (const std::string entry : {"Benid=", "Pin=", "Uidnr="}) {
            auto ini = loginIni(PIN);
            const auto at = ini.find(entry) + entry.size();
            // Blanks after "=" never reach the value; no-break spaces (Windows-1252 0xA0) do.
            writeBytes(m_dir->file("01QUORVEX.INI"), ini.replace(at, ini.find('\r', at) - at, " \xA0 \xA0"));
            openWindow();
            QVERIFY2(!radio(1)->isEnabled() && !radio(DtaMain::OPERATIONS)->isEnabled(), entry.c_str());
            QCOMPARE(m_dialogs->shown().back().caption, std::string("FON WebClient"));
        }
    }

    void choosingAnOperationPutsTheCursorInItsFirstField()
    {
        // The status queries have no customer information: their first field is the unit's number.
        for (int n = 1; n <= DtaMain::OPERATIONS; ++n) {
            const char* first = n <= 9    ? "sleKundeninfo"
                                : n == 10 ? "sleZertifikatsseriennummer"
                                          : "sleKassenidentnummer";
            choose(n);
            QVERIFY2(QApplication::focusWidget() == edit(n, first), qPrintable(QString::number(n)));
            QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("KUNDE-1"));
            QCOMPARE(edit(n, first)->text(), QStringLiteral("KUNDE-1"));
            edit(n, first)->clear();
        }
    }

    void tabInTheReceiptMovesOnInsteadOfTypingATab()
    {
        choose(9);
        auto* receipt = m_window->form(9)->findChild<QPlainTextEdit*>(QStringLiteral("sleBeleg"));
        receipt->setFocus();
        QTest::keyClicks(receipt, QStringLiteral("_R1-AT1"));
        QTest::keyClick(receipt, Qt::Key_Tab);
        QCOMPARE(receipt->toPlainText(), QStringLiteral("_R1-AT1"));
        QVERIFY(QApplication::focusWidget() != receipt);
    }

    // What is chosen in the settings window stays there: the main window sends for its own company with its own
    // kind of transmission and remembers the form's values in its own file.
    void theSettingsWindowLeavesTheMainWindowsCompany_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("Abbruch") << QStringLiteral("pshCancel");
        QTest::newRow("Ok") << QStringLiteral("pshOk");
    }
    void theSettingsWindowLeavesTheMainWindowsCompany()
    {
        QFETCH(QString, button);
        writeBytes(m_dir->file("02QUORVEX.INI"), loginIni(PIN));
        app::wireMainWindow(*m_window);
        selectCompany(1); // 02, test transmission
        int openedOn = -1;
        testsupport::onNextModal([&](QWidget* settings) {
            auto* combo = settings->findChild<QComboBox*>(QStringLiteral("cmbFnr"));
            openedOn = combo->currentIndex();
            combo->setCurrentIndex(2); // 03, production
            for (const char* name : {"sleTid", "sleBenid", "slePin", "sleUidnr"}) {
                settings->findChild<QLineEdit*>(QLatin1String(name))->setText(QStringLiteral("X1"));
            }
            settings->findChild<QPushButton*>(button)->click();
        });
        m_window->findChild<QAction*>(QStringLiteral("mnuEinstellungen"))->trigger();
        QCOMPARE(openedOn, 1);
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Vexa-Quorvex: FON WebClient (Testübertragung)"));
        QCOMPARE(base::program().CurrentIni.FullPath(), m_dir->file("02QUORVEX.INI"));

        choose(3);
        fill(3);
        const auto before = m_service->requests().size();
        send();
        const auto rkdb = m_service->requests().at(before + 1).body;
        QVERIFY2(rkdb.find("<rkdb:art_uebermittlung>T</rkdb:art_uebermittlung>") != std::string::npos, rkdb.c_str());
        QCOMPARE(base::IniFile(m_dir->file("02QUORVEX.INI")).GetString("Funktionen", "Kundeninfo"),
                 std::string("Bäckerei Müller"));
        QCOMPARE(base::IniFile(m_dir->file("03QUORVEX.INI")).GetSection("Funktionen").size(), std::size_t{0});
    }

    void aSingleCompanyDisablesTheCombo()
    {
        QVERIFY(m_window->findChild<QComboBox*>(QStringLiteral("cmbFnr"))->isEnabled());
        base::program().CompanyList.resize(1);
        openWindow();
        auto* combo = m_window->findChild<QComboBox*>(QStringLiteral("cmbFnr"));
        QVERIFY(!combo->isEnabled());
        QCOMPARE(combo->currentText(), QStringLiteral("01 Hauptkasse"));
        QCOMPARE(m_window->accFnr(), std::string("01"));
        testsupport::savePng(m_window.get(), QStringLiteral("dtaMain-idle"));
    }

    void serviceButtonsNeedAHostProductAndPasteFollowsTheFocus()
    {
        choose(5);
        QVERIFY(!m_window->form(5)->findChild<QPushButton*>(QStringLiteral("pshRKSV"))->isVisible());
        choose(9);
        QVERIFY(!m_window->form(9)->findChild<QPushButton*>(QStringLiteral("pshBondruck"))->isVisible());
        base::program().HostProduct = "PLUMOXA";
        openWindow();
        choose(5);
        QVERIFY(m_window->form(5)->findChild<QPushButton*>(QStringLiteral("pshRKSV"))->isVisible());
        auto* paste = m_window->form(5)->findChild<QPushButton*>(QStringLiteral("pshPaste"));
        QVERIFY2(!paste->isEnabled(), "the cursor stands in the customer info");
        edit(5, "sleBenutzerschluessel")->setFocus();
        QVERIFY(paste->isEnabled());
        m_dialogs->setClipboard("nicht geprüft");
        paste->click();
        QCOMPARE(edit(5, "sleBenutzerschluessel")->text(), QStringLiteral("nicht geprüft"));
        testsupport::savePng(m_window.get(), QStringLiteral("dtaMain-form5-hostproduct"));
        choose(9);
        QVERIFY(m_window->form(9)->findChild<QPushButton*>(QStringLiteral("pshBondruck"))->isVisible());
    }

    void theMenuOpensSettingsHelpAndEndsTheProgram()
    {
        int opened = 0;
        m_window->setEinstellungenOpener([&opened](DtaMain&) { ++opened; });
        m_window->findChild<QAction*>(QStringLiteral("mnuEinstellungen"))->trigger();
        QCOMPARE(opened, 1);
        QTest::keyClick(m_window.get(), Qt::Key_F1);
        QCOMPARE(m_dialogs->help(), std::vector<std::string>{m_dir->file("Quorvex.CHM") + "#HelpContents"});
        testsupport::savePng(m_window.get(), QStringLiteral("dtaMain-menu"));
        writeBytes(m_dir->file("TMP/~20000101000000.XML"), "");
        m_window->findChild<QAction*>(QStringLiteral("mnuProgrammende"))->trigger();
        QVERIFY(!m_window->isVisible());
        QVERIFY(!testsupport::exists(m_dir->file("TMP/~20000101000000.XML")));
    }

    // With a host product the menu "RKSV" opens the signing subsystem's windows, modal over the main window.
    void theRksvMenuOpensItsWindows_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("window");
        QTest::newRow("Statusbelege") << QStringLiteral("mnuStatusbelege") << QStringLiteral("dlgStatusbelege");
        QTest::newRow("DEP exportieren") << QStringLiteral("mnuDepExport") << QStringLiteral("dlgDepExport");
        QTest::newRow("DEP prüfen") << QStringLiteral("mnuDepPruefen") << QStringLiteral("dlgDepPruefen");
    }
    void theRksvMenuOpensItsWindows()
    {
        QFETCH(QString, item);
        QFETCH(QString, window);
        base::program().HostProduct = "PLUMOXA";
        base::program().Kassa = "01"; // as the installation file sets it at the start
        openWindow();
        app::wireMainWindow(*m_window);
        QString opened;
        QWidget* parent = nullptr;
        testsupport::onNextModal([&](QWidget* dialog) {
            opened = dialog->objectName();
            parent = dialog->parentWidget();
            testsupport::savePng(dialog, QStringLiteral("dtaMain-") + item);
            dialog->close();
        });
        testsupport::savePng(m_window.get(), QStringLiteral("dtaMain-hostproduct"));
        m_window->findChild<QAction*>(item)->trigger();
        QCOMPARE(opened, window);
        QCOMPARE(parent, m_window.get());
    }

    // While FinanzOnline is silent the window keeps working and says so; "Abbrechen" ends the exchange, and the
    // session opened for it is logged out.
    void aSilentFinanzOnlineNeitherBlocksNorHoldsTheWindow_data()
    {
        QTest::addColumn<bool>("byEsc");
        QTest::newRow("Abbrechen") << false;
        QTest::newRow("Esc") << true;
    }
    void aSilentFinanzOnlineNeitherBlocksNorHoldsTheWindow()
    {
        QFETCH(bool, byEsc);
        openWindow();
        choose(6);
        fill(6);
        m_service->setMode("late-rkdb 60");
        const auto before = m_service->requests().size();
        pshOk()->click();
        QVERIFY(m_window->sending());
        QCOMPARE(result(), QStringLiteral("Verbindung zu FinanzOnline …"));
        QCOMPARE(pshOk()->text(), QStringLiteral("&Abbrechen"));
        // Alt+A reaches the button: no other letter A among what the window shows meanwhile.
        const auto mnemonics = testsupport::mnemonicsOf(m_window.get());
        QCOMPARE(mnemonics.at(QLatin1Char('A')), QStringList{QStringLiteral("pshOk")});
        for (const auto& [letter, carriers] : mnemonics) {
            QVERIFY2(carriers.size() == 1, qPrintable(carriers.join(QLatin1Char(' '))));
        }
        testsupport::savePng(m_window.get(), QStringLiteral("dtaMain-sending"));
        bool answered = false;
        QTimer::singleShot(10, [&answered] { answered = true; });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 100);
        QTRY_COMPARE_WITH_TIMEOUT(m_service->requests().size(), before + 2, 10000); // login and the notification
        if (byEsc) {
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : m_window.get(), Qt::Key_Escape);
        } else {
            pshOk()->click();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->sending(), 10000);
        QCOMPARE(result(), QStringLiteral("Ergebnis der Sendung:\n(-1) Die Sendung wurde abgebrochen."));
        const auto got = m_service->requests();
        QCOMPARE(got.size(), before + 3);
        QCOMPARE(got.back().header("SOAPAction"), std::string("\"logout\""));
        QVERIFY(radio(6)->isEnabled());
    }

    // Forms are made when first chosen; their fields still come between the company and the send button.
    void aFormsFieldsStandBetweenCompanyAndSendButtonInTheTabOrder()
    {
        openWindow();
        choose(7);
        choose(5);
        QStringList order;
        auto* combo = m_window->findChild<QComboBox*>(QStringLiteral("cmbFnr"));
        for (QWidget* w = combo->nextInFocusChain(); w != combo; w = w->nextInFocusChain()) {
            if (w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)) {
                order << w->objectName();
            }
        }
        QCOMPARE(order.first(), QStringLiteral("sleKundeninfo"));
        QVERIFY2(order.indexOf(QStringLiteral("sleBenutzerschluessel")) < order.indexOf(QStringLiteral("pshOk")),
                 qPrintable(order.join(QLatin1Char(' '))));
        QVERIFY(m_window->findChildren<widgets::MySubDataWindow*>().size() == 2);
    }

    void aFaultsTextStandsUnderTheReturnCode()
    {
        openWindow();
        choose(5);
        fill(5);
        m_service->setMode("fault");
        send();
        QCOMPARE(result(),
                 QStringLiteral("Ergebnis der Sendung:\n(-1)\nFehlermeldung von FinanzOnline:\nTechnischer Fehler"));
        QVERIFY(!pshOk()->isEnabled()); // the login faulted: no answer to a notification to show
    }

    void ausRksvEinfuegenFillsTheTillsKey()
    {
        auto& p = base::program();
        p.HostProduct = "PLUMOXA";
        p.CompanyNumber = "0815";
        std::filesystem::create_directories(m_dir->file("Karten"));
        p.connections.signatur = "Software:" + m_dir->file("Karten");
        openWindow();
        choose(5);
        auto* rksvButton = m_window->form(5)->findChild<QPushButton*>(QStringLiteral("pshRKSV"));
        QSignalSpy answered(m_window->form(5), SIGNAL(rksvDone()));
        const auto ask = [&] {
            const int before = answered.count();
            rksvButton->click();
            QTRY_COMPARE_WITH_TIMEOUT(answered.count(), before + 1, 20000);
            QVERIFY(rksvButton->isEnabled());
        };
        ask();
        const auto key = edit(5, "sleBenutzerschluessel")->text();
        QCOMPARE(key.size(), 44);
        fill(5);
        edit(5, "sleBenutzerschluessel")->clear();
        ask();
        QCOMPARE(edit(5, "sleBenutzerschluessel")->text(), key);
        QVERIFY(m_window->form(5)->PshOk());

        p.CompanyNumber = "081";
        edit(5, "sleBenutzerschluessel")->clear();
        ask();
        QCOMPARE(edit(5, "sleBenutzerschluessel")->text(), QString());
        QCOMPARE(m_dialogs->shown().back().kind, std::string("ErrorBox"));
        QVERIFY(!m_dialogs->shown().back().text.empty());
    }

    // The key needs no card: a PKCS#11 module that would not answer (C_Initialize, with the longest time limit) is
    // not even loaded for it. The service is asked on a thread of its own, and the window goes on meanwhile.
    void ausRksvEinfuegenNeverWaitsOnTheWindowsThread()
    {
        auto& p = base::program();
        p.HostProduct = "PLUMOXA";
        p.CompanyNumber = "0815";
        const std::string module = m_dir->file("haengt.so");
        std::filesystem::copy_file(test_paths::CARD_PKCS11_MODULE, module);
        p.connections.signatur = "PKCS11:" + module + ";wartezeit=3600";
        qputenv("QUORVEX_CARD_MODULE_HANG", "C_Initialize");
        openWindow();
        choose(5);
        auto* rksvButton = m_window->form(5)->findChild<QPushButton*>(QStringLiteral("pshRKSV"));
        QSignalSpy answered(m_window->form(5), SIGNAL(rksvDone()));
        rksvButton->click();
        // Back at once, before the service answered: the button is off until it does, and the window takes its keys
        // meanwhile.
        QVERIFY(!rksvButton->isEnabled());
        QCOMPARE(answered.count(), 0);
        edit(5, "sleAnmerkung")->setFocus();
        QTest::keyClicks(edit(5, "sleAnmerkung"), QStringLiteral("Kasse 1"));
        QCOMPARE(edit(5, "sleAnmerkung")->text(), QStringLiteral("Kasse 1"));
        QCOMPARE(edit(5, "sleBenutzerschluessel")->text(), QString());
        const QString picture = testsupport::savePng(m_window.get(), QStringLiteral("dtaMain-form5-rksv-wartet"));
        QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 1, 20000);
        qunsetenv("QUORVEX_CARD_MODULE_HANG");
        QCOMPARE(edit(5, "sleBenutzerschluessel")->text().size(), 44);
        QVERIFY(rksvButton->isEnabled());
        QVERIFY(m_dialogs->shown().empty() || m_dialogs->shown().back().kind != "ErrorBox");
        QVERIFY(!picture.isEmpty());
    }

    // Every form reached by the keyboard alone: each label's letter takes its field, no letter is taken twice in
    // the window, and Tab runs down the rows to the send button.
    void theKeyboardReachesEveryField_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QStringList>("tabs");
        const auto list = [](const char* names) { return QString::fromLatin1(names).split(QLatin1Char(' ')); };
        QTest::newRow("2") << 2
                           << list("sleZertifikatsseriennummer cmbBegruendung2 sleBeginnDatum sleBeginnZeit pshOk");
        QTest::newRow("5") << 5 << list("sleKassenidentnummer sleAnmerkung sleBenutzerschluessel pshPaste pshOk");
        QTest::newRow("9") << 9 << list("sleBeleg pshPaste pshOk");
    }
    void theKeyboardReachesEveryField()
    {
        QFETCH(int, operation);
        QFETCH(QStringList, tabs);
        choose(operation);
        for (const auto& [letter, holders] : testsupport::mnemonicsOf(m_window.get())) {
            QVERIFY2(holders.size() == 1,
                     qPrintable(QString(letter) + QLatin1Char(' ') + holders.join(QLatin1Char(','))));
        }
        auto* form = m_window->form(operation);
        for (auto* label : form->findChildren<QLabel*>()) {
            if (label->isVisible() && label->buddy()) {
                pshOk()->setFocus();
                const QChar letter = label->text().at(label->text().indexOf(QLatin1Char('&')) + 1);
                QTest::keyClick(m_window.get(), letter.toLower().toLatin1(), Qt::AltModifier);
                QCOMPARE(QApplication::focusWidget(), label->buddy());
            }
        }
        form->focusFirstField();
        QStringList reached;
        int presses = 0;
        while (QApplication::focusWidget() != pshOk() && reached.size() < 10 && ++presses < 30) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            // Tab runs through a date's day, month and year before it leaves the field.
            if (reached.isEmpty() || reached.back() != QApplication::focusWidget()->objectName()) {
                reached << QApplication::focusWidget()->objectName();
            }
        }
        QCOMPARE(reached, tabs);
    }

    // Enter sends a shown form from a one-line field, the keypad's Enter too; in the receipt's field it is a line
    // break, and with no form shown it does nothing.
    void enterSendsTheShownForm_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("sent");
        QTest::newRow("Return in a line")
            << 3 << QStringLiteral("sleZertifikatsseriennummer") << int(Qt::Key_Return) << true;
        QTest::newRow("Enter in a date") << 6 << QStringLiteral("sleBeginnDatum") << int(Qt::Key_Enter) << true;
        QTest::newRow("Return in the receipt") << 9 << QStringLiteral("sleBeleg") << int(Qt::Key_Return) << false;
        QTest::newRow("company changed") << 5 << QString() << int(Qt::Key_Return) << false;
    }
    void enterSendsTheShownForm()
    {
        QFETCH(int, operation);
        QFETCH(QString, field);
        QFETCH(int, key);
        QFETCH(bool, sent);
        choose(operation);
        fill(operation);
        if (field.isEmpty()) {
            // Another company: the form and its button go, as the form's values were that company's.
            selectCompany(1);
            QVERIFY(!m_window->form(operation)->isVisible() && !pshOk()->isVisible());
            QCOMPARE(m_window->okMode(), DtaMain::OkMode::Unset);
            QVERIFY(!radio(operation)->isChecked());
            m_window->findChild<QComboBox*>(QStringLiteral("cmbFnr"))->setFocus();
        } else {
            m_window->form(operation)->findChild<QWidget*>(field)->setFocus();
        }
        const auto before = m_service->requests().size();
        const auto modifier = key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier;
        QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(key), modifier);
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->sending(), 30000);
        QCOMPARE(m_service->requests().size(), sent ? before + 3 : before);
        QCOMPARE(m_window->okMode() == DtaMain::OkMode::SHOW, sent);
        if (operation == 9) {
            QVERIFY(m_window->form(9)
                        ->findChild<QPlainTextEdit*>(QStringLiteral("sleBeleg"))
                        ->toPlainText()
                        .contains(QLatin1Char('\n')));
        }
    }

    // Nothing is cut: a reason's whole text in the opened list, the key's 44 characters in its field, the first
    // operation clear of its group's title, no control over another, and no "maximise" on the fixed-size window.
    void everyTextHasRoom()
    {
        QVERIFY(!(m_window->windowFlags() & Qt::WindowMaximizeButtonHint));
        auto* group = m_window->findChild<QGroupBox*>(QStringLiteral("rbgJob"));
        QVERIFY(radio(1)->geometry().top() >= group->contentsRect().top());
        QCOMPARE(testsupport::overlappingChildren(group->parentWidget()), QStringList());
        for (int n = 1; n <= DtaMain::OPERATIONS; ++n) {
            QVERIFY2(testsupport::overlappingChildren(m_window->form(n)).isEmpty(),
                     qPrintable(testsupport::overlappingChildren(m_window->form(n)).join(QLatin1Char(' '))));
        }
        for (int n : {2, 4, 6, 8}) {
            auto* combo = m_window->form(n)->findChild<QComboBox*>(QStringLiteral("cmbBegruendung%1").arg(n));
            // The first (the chosen) reason whole in the closed field, beside the arrow.
            QVERIFY(combo->fontMetrics().horizontalAdvance(combo->itemText(0)) + combo->height() < combo->width());
            for (int i = 0; i < combo->count(); ++i) {
                QVERIFY(combo->view()->minimumWidth()
                        >= combo->view()->fontMetrics().horizontalAdvance(combo->itemText(i)));
            }
        }
        choose(6);
        auto* reasons = m_window->form(6)->findChild<QComboBox*>(QStringLiteral("cmbBegruendung6"));
        reasons->showPopup();
        QVERIFY(reasons->view()->width() >= reasons->view()->minimumWidth());
        testsupport::savePng(reasons->view()->window(), QStringLiteral("dtaMain-form6-reasons"));
        reasons->hidePopup();
        choose(5);
        auto* key = edit(5, "sleBenutzerschluessel");
        key->setText(KEY);
        // Inside the frame and the line edit's margin of 2 pixels a side.
        const int room = key->contentsRect().width() - 2 * key->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) - 4;
        QVERIFY2(key->fontMetrics().horizontalAdvance(KEY) <= room, qPrintable(QString::number(room)));
        testsupport::savePng(m_window.get(), QStringLiteral("dtaMain-form5-key"));
    }

private:
    void openWindow()
    {
        m_window = std::make_unique<DtaMain>();
        m_window->show();
        QApplication::setActiveWindow(m_window.get());
        m_window->PostInit();
    }

    QRadioButton* radio(int n) const { return m_window->findChild<QRadioButton*>(QStringLiteral("rdb%1").arg(n)); }
    QPushButton* pshOk() const { return m_window->findChild<QPushButton*>(QStringLiteral("pshOk")); }
    // The send button, and the wait for the answer when it started an exchange.
    void send()
    {
        pshOk()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->sending(), 30000);
    }
    QLineEdit* edit(int form, const char* name) const
    {
        auto* found = m_window->form(form)->findChild<QLineEdit*>(QLatin1String(name));
        Q_ASSERT(found);
        return found;
    }
    QString result() const
    {
        return m_window->findChild<QTextEdit*>(QStringLiteral("sleRet"))->toPlainText().remove(QLatin1Char('\r'));
    }
    void choose(int n) { radio(n)->click(); }
    void selectCompany(int index)
    {
        m_window->findChild<QComboBox*>(QStringLiteral("cmbFnr"))->setCurrentIndex(index);
        m_window->ListBoxSelect();
    }
    void expectError(const char* message, const char* field)
    {
        QVERIFY(!m_dialogs->shown().empty());
        QCOMPARE(m_dialogs->shown().back().kind, std::string("ErrorBox"));
        QCOMPARE(m_dialogs->shown().back().text, std::string(message));
        QCOMPARE(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString(),
                 QLatin1String(field));
    }

    // Valid values for each form.
    void fill(int n)
    {
        auto* form = m_window->form(n);
        form->findChild<QLineEdit*>(QStringLiteral("sleKundeninfo"))->setText(QStringLiteral("Bäckerei Müller"));
        if (n >= 10) {
            return; // a query's unit number is the test's own
        }
        if (n <= 4) {
            form->findChild<QLineEdit*>(QStringLiteral("sleZertifikatsseriennummer"))
                ->setText(QStringLiteral("3D1F2A"));
        } else if (n <= 8) {
            form->findChild<QLineEdit*>(QStringLiteral("sleKassenidentnummer"))->setText(QStringLiteral("KASSE-01"));
        }
        if (n == 5) {
            form->findChild<QLineEdit*>(QStringLiteral("sleBenutzerschluessel"))->setText(KEY);
        }
        if (n == 8) {
            form->findChild<QComboBox*>(QStringLiteral("cmbBegruendung8"))->setCurrentIndex(1);
        }
        if (n == 9) {
            // The paste button serves the receipt field: the user clicks into it first.
            form->findChild<QPlainTextEdit*>(QStringLiteral("sleBeleg"))->setFocus();
            m_dialogs->setClipboard(RECEIPT.toStdString());
            form->findChild<QPushButton*>(QStringLiteral("pshPaste"))->click();
        }
    }

    std::unique_ptr<testsupport::FonTestService> m_service;
    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<testsupport::ProgramStateGuard> m_state;
    std::unique_ptr<testsupport::ScriptedDialogs> m_dialogs;
    std::unique_ptr<DtaMain> m_window;
};

QTEST_MAIN(DtaMainTest)
#include "DtaMainTest.moc"
