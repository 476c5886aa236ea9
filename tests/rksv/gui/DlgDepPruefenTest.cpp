// The DEP check window on the offscreen platform, checking real DEP files signed with the till's key from the
// signing service by a card its CA issued (the CA's certificate given in the field "Zertifikate": the folder holds no
// installation): a sound one passes, a tampered one names its receipt, a card no given certificate vouches for is
// refused, a long check keeps the window working and ends on "Abbrechen" or when the window closes.
#include "rksv/gui/DlgDepPruefen.h"

#include "app/gui/Application.h"
#include "base/Program.h"
#include "rksv/Rksv.h"
#include "rksv/format/Jws.h"
#include "rksv/format/Receipt.h"
#include "rksv/format/TurnoverCounter.h"
#include "tests/support/DepMaker.h"
#include "tests/support/Modal.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"
#include "widgets/QtDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <filesystem>

using rksv::gui::DlgDepPruefen;

namespace {

// Receipts of the small DEP, and how often the long one repeats them.
constexpr int RECEIPTS = 5;
constexpr int LONG_RECEIPTS = 400;
constexpr int LONG_REPEATS = 250;

QStringList lines(const DlgDepPruefen& dialog)
{
    QStringList result;
    const auto* list = dialog.findChild<QListWidget*>(QStringLiteral("lvwErgebnis"));
    for (int i = 0; i < list->count(); ++i) {
        result << list->item(i)->text();
    }
    return result;
}

} // namespace

class DlgDepPruefenTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { app::gui::fixProcessSettings(*qobject_cast<QApplication*>(QCoreApplication::instance())); }

    void init()
    {
        m_dir = std::make_unique<testsupport::TempDir>();
        m_state = std::make_unique<testsupport::ProgramStateGuard>();
        m_dialogs = std::make_unique<testsupport::ScriptedDialogs>();
        auto& p = base::program();
        p.DefaultDir = m_dir->path() + "/";
        p.HostProduct = "PLUMOXA";
        p.CompanyNumber = "0001";
        std::filesystem::create_directories(m_dir->file("Karten"));
        p.connections.signatur = "Software:" + m_dir->file("Karten");
        // The till's key as the signing service gives it; the DEPs here are signed with it.
        rksv::RKSV service(nullptr);
        QVERIFY2(service.accReady(), service.accMsgFirst().c_str());
        m_key = service.accAes256();
        service.Close();
        m_caFile = m_dir->file("ca.pem");
        testsupport::writeBytes(m_caFile, pem(m_ca));
    }
    void cleanup()
    {
        m_dialogs.reset();
        m_state.reset();
        m_dir.reset();
    }

    // The key comes from the signing service with its check value; a sound DEP passes.
    void aSoundDepIsInOrder()
    {
        const auto file = writeDep("gut.json", sign(RECEIPTS), 1);
        // The key is asked of the signing service on a thread of its own: the window is there before the answer.
        DlgDepPruefen dialog(nullptr);
        QVERIFY(dialog.accAskingKey());
        QTRY_VERIFY(!dialog.accAskingKey());
        QCOMPARE(edit(dialog, "sleSchluessel")->text(), QString::fromStdString(m_key));
        // A key typed before the answer stays.
        DlgDepPruefen typed(nullptr);
        edit(typed, "sleSchluessel")->setText(QStringLiteral("eigener"));
        QTRY_VERIFY(!typed.accAskingKey());
        QCOMPARE(edit(typed, "sleSchluessel")->text(), QStringLiteral("eigener"));
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("txtPruefwert"))->text(),
                 QString::fromUtf8("Prüfwert: ") + QString::fromStdString(rksv::aesKeyCheckValue(m_key)));
        QVERIFY(m_dialogs->shown().empty());
        m_dialogs->answerOpenFile(file);
        button(dialog, "pshDatei")->click();
        QCOMPARE(edit(dialog, "sleDatei")->text(), QString::fromStdString(file));
        m_dialogs->answerOpenFile(m_caFile);
        button(dialog, "pshZertifikate")->click();
        QCOMPARE(edit(dialog, "sleZertifikate")->text(), QString::fromStdString(m_caFile));
        dialog.show();
        button(dialog, "pshPruefen")->click();
        QTRY_VERIFY(!dialog.accChecking());

        QVERIFY2(dialog.accResult().ok(), dialog.accResult().summary().c_str());
        QCOMPARE(dialog.accResult().receipts, static_cast<long>(RECEIPTS));
        QCOMPARE(lines(dialog).size(), 1);
        QVERIFY2(lines(dialog).front().endsWith(QStringLiteral("in Ordnung")), qPrintable(lines(dialog).front()));
        QCOMPARE(dialog.findChild<QProgressBar*>(QStringLiteral("prgDatei"))->value(), 100);
        QVERIFY(button(dialog, "pshPruefen")->isEnabled());
        QVERIFY(!button(dialog, "pshAbbrechen")->isEnabled());
        // Nothing squeezed: the key field shows its 44 characters beside its check value, the buttons their texts.
        const auto* keyField = edit(dialog, "sleSchluessel");
        QVERIFY(keyField->width() >= keyField->minimumWidth());
        QVERIFY(keyField->geometry().right() < dialog.findChild<QLabel*>(QStringLiteral("txtPruefwert"))->x());
        for (auto* each : dialog.findChildren<QPushButton*>()) {
            QVERIFY2(each->width() >= each->sizeHint().width(), qPrintable(each->text()));
        }
        testsupport::savePng(&dialog, QStringLiteral("dlgDepPruefen"));
    }

    // The last receipt's signature is changed (the one before it would break the next one's chain as well).
    void aTamperedReceiptIsNamedWithItsPlaceInTheFile()
    {
        auto receipts = sign(RECEIPTS);
        auto& last = receipts.back();
        const auto at = last.rfind('.') + 1;
        last[at] = last[at] == 'A' ? 'B' : 'A';
        DlgDepPruefen dialog(nullptr);
        QTRY_VERIFY(!dialog.accAskingKey());
        edit(dialog, "sleDatei")->setText(QString::fromStdString(writeDep("falsch.json", receipts, 1)));
        trustCa(dialog);
        dialog.show();
        button(dialog, "pshPruefen")->click();
        QTRY_VERIFY(!dialog.accChecking());

        QCOMPARE(dialog.accResult().faultCount, 1L);
        const auto shown = lines(dialog);
        QCOMPARE(shown.size(), 2);
        QVERIFY2(shown[0].endsWith(QStringLiteral("1 Fehler")), qPrintable(shown[0]));
        QVERIFY2(shown[1].startsWith(QStringLiteral("Beleg 2026-%1 (Nr. %1 in der Datei): ").arg(RECEIPTS)),
                 qPrintable(shown[1]));
        QVERIFY2(shown[1].contains(QStringLiteral("Signatur")), qPrintable(shown[1]));
        testsupport::savePng(&dialog, QStringLiteral("dlgDepPruefen-Fehler"));

        // The report: a name without ending is a text report beside the DEP; an existing one is replaced only when
        // the user says so.
        QVERIFY(button(dialog, "pshBericht")->isEnabled());
        m_dialogs->answerSaveAs(m_dir->file("bericht"));
        button(dialog, "pshBericht")->click();
        QCOMPARE(m_dialogs->saveAsAsked().back().proposedName, std::string("falsch-Pruefbericht.txt"));
        const auto report = testsupport::readBytes(m_dir->file("bericht.txt"));
        const auto faultLine = rksv::depFaultLine(dialog.accResult().faults.at(0));
        QCOMPARE(report, faultLine + "\nErgebnis: " + dialog.accResult().summary() + "\n");
        QCOMPARE(m_dialogs->shown().back().text, "Bericht gespeichert in " + m_dir->file("bericht.txt"));
        testsupport::writeBytes(m_dir->file("bericht.txt"), "behalten");
        m_dialogs->answerSaveAs(m_dir->file("bericht.txt"));
        m_dialogs->answer(base::IDNO);
        button(dialog, "pshBericht")->click();
        QCOMPARE(testsupport::readBytes(m_dir->file("bericht.txt")), std::string("behalten"));
    }

    // The DEP re-signed in full by a self-made card of the same serial and name: its group is not trusted.
    void aCardNoCertificateVouchesForIsRefused()
    {
        const testsupport::TestSigner selfMade{0x5a17c0de};
        testsupport::TillSigner till(selfMade, "KASSA-01", rksv::parseAesKey(m_key).value());
        std::vector<std::string> receipts;
        for (const auto& jws : sign(RECEIPTS)) {
            const auto data = rksv::parseSignedData(rksv::signedDataOfJws(jws).value()).value();
            testsupport::DepReceipt receipt;
            receipt.id = data.belegnummer;
            receipt.dateTime = data.belegDatumUhrzeit;
            receipt.amounts[0] = data.betragSatzNormal;
            receipts.push_back(till.next(receipt));
        }
        const auto file = m_dir->file("selbst.json");
        testsupport::writeBytes(
            file, testsupport::depOfGroups({testsupport::depGroup(selfMade.certificateBase64, {}, receipts)}));
        DlgDepPruefen dialog(nullptr);
        QTRY_VERIFY(!dialog.accAskingKey());
        edit(dialog, "sleDatei")->setText(QString::fromStdString(file));
        trustCa(dialog);
        dialog.show();
        button(dialog, "pshPruefen")->click();
        QTRY_VERIFY(!dialog.accChecking());
        QCOMPARE(dialog.accResult().faultCount, 1L);
        QCOMPARE(lines(dialog).value(1),
                 QString::fromUtf8("Datei: Gruppe 1: Signaturzertifikat nicht vertrauenswürdig: CN=DEP-Testkarte, "
                                   "Seriennummer 5a17c0de (weder registriert noch von einer bekannten "
                                   "Zertifizierungsstelle)"));
        testsupport::savePng(&dialog, QStringLiteral("dlgDepPruefen-nicht-vertrauenswuerdig"));
    }

    // While the worker checks, the window takes the progress and the click on "Abbrechen"; the check ends early.
    // Closing the window during a check ends it too and waits for the worker.
    void aLongCheckKeepsTheWindowWorkingAndEndsWhenAsked_data()
    {
        QTest::addColumn<bool>("byClosing");
        QTest::newRow("Abbrechen") << false;
        QTest::newRow("Fenster schließen") << true;
    }
    void aLongCheckKeepsTheWindowWorkingAndEndsWhenAsked()
    {
        QFETCH(bool, byClosing);
        const auto file = writeDep("lang.json", sign(LONG_RECEIPTS), LONG_REPEATS);
        DlgDepPruefen dialog(nullptr);
        QTRY_VERIFY(!dialog.accAskingKey());
        dialog.setThreads(1);
        edit(dialog, "sleDatei")->setText(QString::fromStdString(file));
        trustCa(dialog);
        dialog.show();
        auto* bar = dialog.findChild<QProgressBar*>(QStringLiteral("prgDatei"));
        button(dialog, "pshPruefen")->click();
        QVERIFY2(dialog.accChecking(), "the click returns while the check runs");
        QVERIFY(!button(dialog, "pshPruefen")->isEnabled());
        QTRY_VERIFY(bar->value() > 0);
        QVERIFY2(dialog.accChecking(), "progress arrived during the check");
        testsupport::savePng(&dialog, QStringLiteral("dlgDepPruefen-Fortschritt"));

        if (byClosing) {
            dialog.close();
            QVERIFY(!dialog.accChecking());
        } else {
            QTest::mouseClick(button(dialog, "pshAbbrechen"), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!dialog.accChecking(), 30000);
        }
        QVERIFY(dialog.accResult().cancelled);
        QVERIFY(dialog.accResult().receipts < LONG_RECEIPTS * LONG_REPEATS);
        QVERIFY2(lines(dialog).value(0).startsWith(QStringLiteral("Prüfung abgebrochen")),
                 qPrintable(lines(dialog).value(0)));
        QVERIFY(bar->value() < 100);
        QVERIFY(button(dialog, "pshPruefen")->isEnabled());
    }

    void missingOrWrongFieldsAreRefusedBeforeChecking_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("certificates");
        const QString key = QStringLiteral("uW4h0LsV7V1mZ9q3bY2cT6xN8pR5kD1fG0jH3sA7eQ8=");
        QTest::newRow("keine Datei") << QStringLiteral("  ") << key << QStringLiteral("Die Datei muss gewählt werden")
                                     << QStringLiteral("sleDatei") << QString();
        QTest::newRow("kein Schlüssel") << QStringLiteral("dep.json") << QString()
                                        << QString::fromUtf8("Der Benutzerschlüssel muss eingegeben werden")
                                        << QStringLiteral("sleSchluessel") << QString();
        QTest::newRow("zu kurz") << QStringLiteral("dep.json") << key.left(43)
                                 << QString::fromUtf8("Der Benutzerschlüssel muss 44 Zeichen lang sein")
                                 << QStringLiteral("sleSchluessel") << QString();
        QTest::newRow("kein Base64") << QStringLiteral("dep.json") << QString(43, QLatin1Char('#')) + QLatin1Char('=')
                                     << QString::fromUtf8(
                                            "Der Benutzerschlüssel ist kein gültiger Schlüssel (44 Zeichen Base64)")
                                     << QStringLiteral("sleSchluessel") << QString();
        // Outside an installation only the certificates given are trusted; none, or a file without one, is refused.
        QTest::newRow("keine Zertifikate")
            << QStringLiteral("dep.json") << key
            << QString::fromUtf8("Es gibt keine vertrauenswürdigen Zertifikate: bitte die Zertifikate der "
                                 "Zertifizierungsstellen wählen (eine PEM- oder DER-Datei oder einen Ordner)")
            << QStringLiteral("sleZertifikate") << QString();
        QTest::newRow("kein Zertifikat in der Datei")
            << QStringLiteral("dep.json") << key
            << QString::fromUtf8("Zertifikate: {dir}key.txt enthält kein Zertifikat (PEM oder DER)")
            << QStringLiteral("sleZertifikate") << QStringLiteral("{dir}key.txt");
    }
    void missingOrWrongFieldsAreRefusedBeforeChecking()
    {
        QFETCH(QString, file);
        QFETCH(QString, key);
        QFETCH(QString, message);
        QFETCH(QString, field);
        QFETCH(QString, certificates);
        const auto dir = QString::fromStdString(m_dir->path());
        testsupport::writeBytes(m_dir->file("key.txt"), "kein Zertifikat");
        message.replace(QStringLiteral("{dir}"), dir);
        DlgDepPruefen dialog(nullptr);
        QTRY_VERIFY(!dialog.accAskingKey());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        edit(dialog, "sleDatei")->setText(file);
        edit(dialog, "sleSchluessel")->setText(key);
        edit(dialog, "sleZertifikate")->setText(certificates.replace(QStringLiteral("{dir}"), dir));
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("txtPruefwert"))->text().endsWith(QString::fromUtf8("–")),
                 key.size() != 44);
        button(dialog, "pshPruefen")->click();
        QVERIFY(!dialog.accChecking());
        QCOMPARE(m_dialogs->shown().size(), std::size_t{1});
        QCOMPARE(QString::fromStdString(m_dialogs->shown()[0].text), message);
        QCOMPARE(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString(), field);
        QVERIFY(lines(dialog).isEmpty());
    }

    void theOpenFileDialogIsQtsOwnForAnExistingFile()
    {
        const auto file = writeDep("PLUMOXA-DEP.JSON", sign(1), 1);
        widgets::QtDialogs qt;
        QStringList filters;
        bool openMode = false;
        testsupport::onNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) {
                modal->close();
                return;
            }
            filters = dialog->nameFilters();
            openMode =
                dialog->acceptMode() == QFileDialog::AcceptOpen && dialog->fileMode() == QFileDialog::ExistingFile;
            // Typed as a user types it: selecting by name races with the folder's listing being read.
            dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QString::fromStdString(file));
            testsupport::savePng(dialog, QStringLiteral("dlgOpenFile"));
            QMetaObject::invokeMethod(dialog, "accept");
        });
        const auto chosen = qt.OpenFile("DEP-Datei wählen", "Datenerfassungsprotokoll *.JSON", "*.JSON", m_dir->path());
        QCOMPARE(filters, QStringList{QStringLiteral("Datenerfassungsprotokoll (*.JSON *.json)")});
        QVERIFY(openMode);
        QCOMPARE(chosen, file);
        testsupport::onNextModal([](QWidget* modal) { modal->close(); });
        QCOMPARE(qt.OpenFile("DEP-Datei wählen", "Datenerfassungsprotokoll *.JSON", "*.JSON", m_dir->path()),
                 std::string());
    }

private:
    static QLineEdit* edit(const QDialog& dialog, const char* name)
    {
        return dialog.findChild<QLineEdit*>(QLatin1String(name));
    }
    static QPushButton* button(const QDialog& dialog, const char* name)
    {
        return dialog.findChild<QPushButton*>(QLatin1String(name));
    }
    static std::string pem(const testsupport::TestSigner& signer)
    {
        std::string text = "-----BEGIN CERTIFICATE-----\n";
        for (std::size_t at = 0; at < signer.certificateBase64.size(); at += 64) {
            text += signer.certificateBase64.substr(at, 64) + "\n";
        }
        return text + "-----END CERTIFICATE-----\n";
    }
    void trustCa(const DlgDepPruefen& dialog) const
    {
        edit(dialog, "sleZertifikate")->setText(QString::fromStdString(m_caFile));
    }

    // A start receipt, then ordinary receipts of 12,50, a second apart, of one till.
    std::vector<std::string> sign(int count) const
    {
        testsupport::TillSigner till(m_signer, "KASSA-01", rksv::parseAesKey(m_key).value());
        std::vector<std::string> jws;
        for (int i = 1; i <= count; ++i) {
            testsupport::DepReceipt receipt;
            receipt.id = "2026-" + std::to_string(i);
            receipt.dateTime = QStringLiteral("2026-12-07T08:%1:%2")
                                   .arg(i / 60, 2, 10, QLatin1Char('0'))
                                   .arg(i % 60, 2, 10, QLatin1Char('0'))
                                   .toStdString();
            receipt.amounts[0] = i == 1 ? 0 : 1250;
            jws.push_back(till.next(receipt));
        }
        return jws;
    }

    // A DEP of `repeats` groups of the receipts.
    std::string writeDep(const std::string& name, const std::vector<std::string>& receipts, int repeats) const
    {
        const std::vector<std::string> groups(static_cast<std::size_t>(repeats),
                                              testsupport::depGroup(m_signer.certificateBase64, {}, receipts));
        const auto file = m_dir->file(name);
        testsupport::writeBytes(file, testsupport::depOfGroups(groups));
        return file;
    }

    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<testsupport::ProgramStateGuard> m_state;
    std::unique_ptr<testsupport::ScriptedDialogs> m_dialogs;
    testsupport::TestSigner m_ca{0x0ca1, nullptr, "DEP-Test-CA", true};
    testsupport::TestSigner m_signer{0x5a17c0de, &m_ca};
    std::string m_key;
    std::string m_caFile; //!< m_ca's certificate as PEM
};

QTEST_MAIN(DlgDepPruefenTest)
#include "DlgDepPruefenTest.moc"
