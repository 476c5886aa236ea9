// The receipt check end to end, as the demo offers it: a PLUMOXA installation with a signed receipt database and a
// card of the software signature unit; "Beleg auswählen" takes a receipt over through the signing service, and the
// local FinanzOnline test service validates and checks it.
#include "app/Wiring.h"
#include "app/gui/DtaMain.h"
#include "base/Program.h"
#include "rksv/units/SoftwareUnit.h"
#include "tests/support/Databases.h"
#include "tests/support/FonTestService.h"
#include "tests/support/Modal.h"
#include "tests/support/Process.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "widgets/MySubDataWindow.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextEdit>

using namespace std::chrono;

class ReceiptCheckTest : public QObject
{
    Q_OBJECT

private slots:
    void aSignedReceiptIsPickedSentAndChecked()
    {
        testsupport::FonTestService service({{"123456789012", "WEBUSER01", "geheim123", ""}});
        QVERIFY(service.running());
        testsupport::TempDir dir;
        testsupport::ProgramStateGuard state;
        state.startIn(dir.path());
        testsupport::ScriptedDialogs dialogs;

        std::string serial;
        std::string error;
        QVERIFY(rksv::createTestCard(dir.file("Karten"), "Leser 1", "123456", "", dir.file("ca"), serial, error));
        const auto connection = testsupport::sqliteConnectionString(dir.file("kassa.db"));
        QCOMPARE(testsupport::Process({test_paths::DEMODATA_TOOL, "--connection", connection, "--receipts", "40"}, {})
                     .wait(std::chrono::seconds(60)),
                 std::optional<int>(0));
        QCOMPARE(testsupport::Process({test_paths::DEMOSIGN_TOOL,
                                       "--connection",
                                       connection,
                                       "--readers",
                                       dir.file("Karten"),
                                       "--reader",
                                       "Leser 1",
                                       "--pin",
                                       "123456",
                                       "--basis",
                                       "PLUMOXA|0001|PLUMOXA"},
                                      {})
                     .wait(std::chrono::seconds(60)),
                 std::optional<int>(0));
        const auto day = testsupport::querySql(connection, "SELECT DATUM FROM BONS ORDER BY BONNR LIMIT 1").at(0).at(0);
        const int y = std::stoi(day.substr(0, 4));
        const unsigned m = static_cast<unsigned>(std::stoi(day.substr(5, 2)));
        const unsigned d = static_cast<unsigned>(std::stoi(day.substr(8, 2)));
        state.setClock({year{y} / m / d, hh_mm_ss<seconds>(18h)});

        auto& p = base::program();
        p.HostProduct = "PLUMOXA";
        p.CompanyNumber = "0001";
        p.CompanyList = {{"Hauptkasse", "01", "J", ""}};
        p.connections.datenbank = connection;
        p.connections.signatur = "Software:" + dir.file("Karten");
        p.connections.fonCaFile = service.caFile();
        p.connections.fonConnectTo = service.connectTo();
        testsupport::writeBytes(dir.file("01QUORVEX.INI"),
                                "[QUORVEX]\r\nVersion=1.0\r\nTid=123456789012\r\nBenid=WEBUSER01\r\nPin=geheim123\r\n"
                                "Uidnr=ATU12345678\r\n");

        app::gui::DtaMain window;
        app::wireMainWindow(window);
        window.show();
        window.PostInit();
        window.findChild<QRadioButton*>(QStringLiteral("rdb9"))->click();
        auto* form = window.form(9);
        testsupport::onNextModal([](QWidget* picker) {
            testsupport::savePng(picker, QStringLiteral("dlgBondruck-demo"));
            picker->findChild<QPushButton*>(QStringLiteral("pshAblage"))->click();
        });
        form->findChild<QPushButton*>(QStringLiteral("pshBondruck"))->click();
        const auto receipt = form->findChild<QPlainTextEdit*>(QStringLiteral("sleBeleg"))->toPlainText();
        QVERIFY2(receipt.startsWith(QStringLiteral("_R1-AT99_")), qPrintable(receipt));

        const auto before = service.requests().size();
        window.findChild<QPushButton*>(QStringLiteral("pshOk"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window.sending(), 30000);
        const auto result = window.findChild<QTextEdit*>(QStringLiteral("sleRet"))->toPlainText();
        QVERIFY2(result.endsWith(QStringLiteral("(0) Aufruf OK")), qPrintable(result));
        const auto sent = service.requests();
        QCOMPARE(sent.size(), before + 3);
        QVERIFY(sent[before + 1].body.find("<rkdb:beleg>" + receipt.toStdString() + "</rkdb:beleg>")
                != std::string::npos);
        QVERIFY(window.lastAnswer().find("PASS") != std::string::npos);
    }
};

QTEST_MAIN(ReceiptCheckTest)
#include "ReceiptCheckTest.moc"
