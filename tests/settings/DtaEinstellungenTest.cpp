#include "settings/DtaEinstellungen.h"

#include "app/gui/Application.h"
#include "base/Dialogs.h"
#include "base/IniFile.h"
#include "base/Program.h"
#include "tests/support/ChildWrite.h"
#include "tests/support/Modal.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using settings::gui::DtaEinstellungen;

namespace {

const std::string HAUPTKASSE_INI = "[QUORVEX]\r\n"
                                   "Version=1.0\r\n"
                                   "Tid=123456789\r\n"
                                   "Benid=M\xfcller\r\n" // "Müller" in Windows-1252
                                   "Bemerkung=nicht im Fenster\r\n"
                                   "pin=Gr\xfc\xdf"
                                   "e1\r\n" // "Grüße1"
                                   "UIDNR=atu12345678\r\n"
                                   "\r\n"
                                   "[Funktionen]\r\n"
                                   "Pin=aus einem Formular\r\n";

} // namespace

class DtaEinstellungenTest : public QObject
{
    Q_OBJECT

    // Clicks "OK" in a child process that has the signal actions a program starts with and may write files of 16
    // bytes at most. Gives how the child ended ("exit 0", "signal 25") and the one message it showed, or "verloren"
    // when the window lost the values or showed another number of messages.
    testsupport::ChildWrite clickOkPastTheFileSizeLimit(DtaEinstellungen& w, const QString& pin)
    {
        return testsupport::writeInChildPastSizeLimit([&] {
            QTest::mouseClick(button("pshOk"), Qt::LeftButton);
            const auto& shown = m_dialogs->shown();
            const bool kept =
                shown.size() == 1 && w.isVisible() && w.changed() && m_loginReads == 0 && edit("slePin")->text() == pin;
            return kept ? shown[0].text : std::string("verloren");
        });
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<testsupport::TempDir>();
        m_state = std::make_unique<testsupport::ProgramStateGuard>();
        m_dialogs = std::make_unique<testsupport::ScriptedDialogs>();
        base::program().DefaultDir = m_dir->path();
        base::program().CompanyList = {{"Hauptkasse", "01", "N", ""}, {"Filiale Graz", "02", "J", ""}};
        m_loginReads = 0;
        m_tidSeenByOwner.clear();
    }
    void cleanup()
    {
        m_window.reset();
        m_dialogs.reset();
        m_state.reset();
        m_dir.reset();
    }

    // --- Loading --------------------------------------------------------------------------------------------

    void loadsHandWrittenIniFile()
    {
        testsupport::writeBytes(m_dir->file("01QUORVEX.INI"), HAUPTKASSE_INI);
        auto& w = open();

        QCOMPARE(edit("sleTid")->text(), QStringLiteral("123456789"));
        QCOMPARE(edit("sleBenid")->text(), QStringLiteral("Müller"));
        // Entry names match whatever case the file writes them in; the form's section is not read.
        QCOMPARE(edit("slePin")->text(), QStringLiteral("Grüße1"));
        QCOMPARE(edit("sleUidnr")->text(), QStringLiteral("ATU12345678"));
        QVERIFY(!w.changed());
        QCOMPARE(w.focusWidget(), edit("sleTid"));
        QCOMPARE(w.iniFile().FullPath(), m_dir->file("01QUORVEX.INI"));
        QVERIFY(m_dialogs->shown().empty());
        // Loading writes nothing.
        QCOMPARE(testsupport::readBytes(m_dir->file("01QUORVEX.INI")), HAUPTKASSE_INI);
    }

    void companyWithoutIniFileGetsANewFile()
    {
        base::program().CompanyList = {{"Neue Kassa", "07", "N", ""}};
        open();
        QCOMPARE(testsupport::readBytes(m_dir->file("07QUORVEX.INI")), std::string("[QUORVEX]\r\nVersion=1.0\r\n"));
        for (const char* name : {"sleTid", "sleBenid", "slePin", "sleUidnr"}) {
            QVERIFY2(edit(name)->text().isEmpty(), name);
        }
        QVERIFY(!m_window->changed());
    }

    void comboListsCompaniesAndIsDisabledForASingleOne()
    {
        auto& w = open();
        QComboBox* cmb = combo();
        QCOMPARE(cmb->count(), 2);
        QCOMPARE(cmb->itemText(0), QStringLiteral("01 Hauptkasse"));
        QCOMPARE(cmb->itemText(1), QStringLiteral("02 Filiale Graz"));
        QCOMPARE(cmb->itemData(1).toString(), QStringLiteral("02"));
        QCOMPARE(cmb->currentIndex(), 0);
        QVERIFY(cmb->isEnabled());
        QCOMPARE(w.windowTitle(), QStringLiteral("Vexa-Quorvex: Einstellungen (Produktivübertragung)"));
        testsupport::savePng(&w, QStringLiteral("dtaEinstellungen-empty"));
        m_window.reset();

        base::program().CompanyList = {{"Hauptkasse", "01", "J", ""}};
        testsupport::writeBytes(m_dir->file("01QUORVEX.INI"), HAUPTKASSE_INI);
        auto& single = open();
        QCOMPARE(combo()->count(), 1);
        QVERIFY(!combo()->isEnabled());
        QCOMPARE(single.windowTitle(), QStringLiteral("Vexa-Quorvex: Einstellungen (Testübertragung)"));
        testsupport::savePng(&single, QStringLiteral("dtaEinstellungen-single"));
    }

    // The window works on its own selection: what the main window sends with stays as it was.
    void captionFollowsTheSelectedCompanyAndTheProgramStateStays()
    {
        // As the main window leaves them for its first company.
        base::IniOpen("01");
        base::program().TestFlag = base::program().CompanyList.front().testFlag;
        auto& w = open("02");
        QCOMPARE(combo()->currentIndex(), 1);
        QCOMPARE(w.windowTitle(), QStringLiteral("Vexa-Quorvex: Einstellungen (Testübertragung)"));
        QCOMPARE(w.iniFile().FullPath(), m_dir->file("02QUORVEX.INI"));
        QVERIFY(testsupport::exists(m_dir->file("02QUORVEX.INI")));

        combo()->setCurrentIndex(0);
        QCOMPARE(w.windowTitle(), QStringLiteral("Vexa-Quorvex: Einstellungen (Produktivübertragung)"));
        combo()->setCurrentIndex(1);
        QCOMPARE(base::program().TestFlag, std::string("N"));
        QCOMPARE(base::program().CurrentIni.FullPath(), m_dir->file("01QUORVEX.INI"));
        m_window.reset();

        // The marker file forces test transmission whatever the company's flag says.
        testsupport::writeBytes(m_dir->file("DOTEST"), "");
        auto& marked = open();
        QCOMPARE(marked.windowTitle(), QStringLiteral("Vexa-Quorvex: Einstellungen (Testübertragung)"));
        ::unlink(m_dir->file("DOTEST").c_str());
    }

    void fixedParticipantIdIsShownDisabledAndSaved()
    {
        base::program().CompanyList = {{"Hauptkasse", "01", "N", "987654321"}, {"Filiale", "02", "N", "X1234"}};
        testsupport::writeBytes(m_dir->file("01QUORVEX.INI"), HAUPTKASSE_INI);
        testsupport::writeBytes(m_dir->file("02QUORVEX.INI"), "[Quorvex]\r\nTid=555\r\n");
        auto& w = open();
        QCOMPARE(edit("sleTid")->text(), QStringLiteral("987654321"));
        QVERIFY(!edit("sleTid")->isEnabled());
        QVERIFY(!w.changed());
        testsupport::savePng(&w, QStringLiteral("dtaEinstellungen-fixed-tid"));

        // A fourth element that does not begin with two digits is no participant id.
        combo()->setCurrentIndex(1);
        QVERIFY(edit("sleTid")->isEnabled());
        QCOMPARE(edit("sleTid")->text(), QStringLiteral("555"));

        combo()->setCurrentIndex(0);
        QVERIFY(!edit("sleTid")->isEnabled());
        QVERIFY(w.PshOk());
        QCOMPARE(iniValue("01", "Tid"), std::string("987654321"));
        QCOMPARE(iniValue("01", "Uidnr"), std::string("ATU12345678"));
    }

    // --- Input ----------------------------------------------------------------------------------------------

    void fieldsKeepTheirLimitsAndPicture()
    {
        auto& w = open();
        type(edit("sleUidnr"), QStringLiteral("atu1234567890"));
        QCOMPARE(edit("sleUidnr")->text(), QStringLiteral("ATU12345678"));
        type(edit("sleTid"), QStringLiteral("1234567890abc"));
        QCOMPARE(edit("sleTid")->text(), QStringLiteral("1234567890ab"));
        type(edit("sleBenid"), QStringLiteral("Benutzer mit langem Namen ohne Grenze"));
        QCOMPARE(edit("sleBenid")->text(), QStringLiteral("Benutzer mit langem Namen ohne Grenze"));
        QCOMPARE(edit("slePin")->echoMode(), QLineEdit::Password);
        QVERIFY(w.changed());
    }

    void eachEditSetsTheChangedFlag_data()
    {
        QTest::addColumn<QString>("field");
        QTest::newRow("Tid") << QStringLiteral("sleTid");
        QTest::newRow("Benid") << QStringLiteral("sleBenid");
        QTest::newRow("Pin") << QStringLiteral("slePin");
        QTest::newRow("Uidnr") << QStringLiteral("sleUidnr");
    }
    void eachEditSetsTheChangedFlag()
    {
        QFETCH(QString, field);
        auto& w = open();
        QVERIFY(!w.changed());
        QTest::keyClick(edit(field.toUtf8().constData()), Qt::Key_A);
        QVERIFY(w.changed());
    }

    // --- Saving ---------------------------------------------------------------------------------------------

    void okSavesTrimmedValuesAndTellsTheOwner()
    {
        testsupport::writeBytes(m_dir->file("01QUORVEX.INI"), HAUPTKASSE_INI);
        auto& w = open();
        for (const char* name : {"sleTid", "sleBenid", "slePin", "sleUidnr"}) {
            edit(name)->clear();
        }
        type(edit("sleTid"), QStringLiteral(" 4711 "));
        type(edit("sleBenid"), QStringLiteral("  Jörg Weiß"));
        type(edit("slePin"), QStringLiteral("Pa ss  "));
        type(edit("sleUidnr"), QStringLiteral(" atu9876"));
        testsupport::savePng(&w, QStringLiteral("dtaEinstellungen-filled"));

        QTest::mouseClick(button("pshOk"), Qt::LeftButton);

        QVERIFY(m_dialogs->shown().empty());
        QCOMPARE(iniValue("01", "Tid"), std::string("4711"));
        QCOMPARE(iniValue("01", "Benid"), std::string("Jörg Weiß"));
        QCOMPARE(iniValue("01", "Pin"), std::string("Pa ss"));
        QCOMPARE(iniValue("01", "Uidnr"), std::string("ATU9876"));
        // Written in place, in the file's code page and line ends; other entries and sections stay.
        const std::string bytes = testsupport::readBytes(m_dir->file("01QUORVEX.INI"));
        QVERIFY(bytes.find("Benid=J\xf6rg Wei\xdf\r\n") != std::string::npos);
        QVERIFY(bytes.find("pin=Pa ss\r\n") != std::string::npos);
        QVERIFY(bytes.find("Bemerkung=nicht im Fenster\r\n") != std::string::npos);
        QVERIFY(bytes.find("Pin=aus einem Formular\r\n") != std::string::npos);
        QCOMPARE(base::IniFile(m_dir->file("01QUORVEX.INI")).GetString("Funktionen", "Pin"),
                 std::string("aus einem Formular"));

        QCOMPARE(m_loginReads, 1);
        QCOMPARE(m_tidSeenByOwner, std::string("4711")); // the owner reads after the save
        QVERIFY(!w.changed());
        QVERIFY(!w.isVisible());
        QCOMPARE(w.result(), int(QDialog::Accepted));
    }

    void checksStopTheSave_data()
    {
        QTest::addColumn<QString>("tid");
        QTest::addColumn<QString>("benid");
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QString>("uidnr");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("message");
        const QString tidMsg = QStringLiteral("Die Teilnehmer-Identifikation muss eingegeben werden");
        QTest::newRow("all empty: the first check wins")
            << QString() << QString() << QString() << QString() << QStringLiteral("sleTid") << tidMsg;
        QTest::newRow("participant id of blanks") << QStringLiteral("   ") << QStringLiteral("b") << QStringLiteral("p")
                                                  << QStringLiteral("u") << QStringLiteral("sleTid") << tidMsg;
        QTest::newRow("user id missing") << QStringLiteral("1") << QString() << QStringLiteral("p")
                                         << QStringLiteral("u") << QStringLiteral("sleBenid")
                                         << QStringLiteral("Die Benutzer-Identifikation muss eingegeben werden");
        QTest::newRow("PIN of blanks") << QStringLiteral("1") << QStringLiteral("b") << QStringLiteral("    ")
                                       << QStringLiteral("u") << QStringLiteral("slePin")
                                       << QStringLiteral("Der Pin Code muss eingegeben werden");
        QTest::newRow("VAT number missing")
            << QStringLiteral("1") << QStringLiteral("b") << QStringLiteral("p") << QStringLiteral(" ")
            << QStringLiteral("sleUidnr") << QStringLiteral("Die UidNr muss eingegeben werden");
    }
    void checksStopTheSave()
    {
        QFETCH(QString, tid);
        QFETCH(QString, benid);
        QFETCH(QString, pin);
        QFETCH(QString, uidnr);
        QFETCH(QString, field);
        QFETCH(QString, message);
        auto& w = open();
        const std::string before = testsupport::readBytes(m_dir->file("01QUORVEX.INI"));
        type(edit("sleTid"), tid);
        type(edit("sleBenid"), benid);
        type(edit("slePin"), pin);
        type(edit("sleUidnr"), uidnr);
        edit("sleUidnr")->setFocus();

        QTest::mouseClick(button("pshOk"), Qt::LeftButton);

        QCOMPARE(m_dialogs->shown().size(), std::size_t{1});
        QCOMPARE(m_dialogs->shown()[0].kind, std::string("ErrorBox"));
        QCOMPARE(QString::fromStdString(m_dialogs->shown()[0].text), message);
        QCOMPARE(w.focusWidget(), edit(field.toUtf8().constData()));
        QVERIFY(w.isVisible());
        QCOMPARE(testsupport::readBytes(m_dir->file("01QUORVEX.INI")), before);
        QCOMPARE(m_loginReads, 0);
        QVERIFY(!w.PshOk());
    }

    void aFailedSaveIsReportedAndTheWindowKeepsTheValues_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder in the file's place") << QStringLiteral("folder") << QStringLiteral("steht ein Ordner");
        // Opened without waiting for a writer, and refused as it is when the window opens.
        QTest::newRow("FIFO in the file's place")
            << QStringLiteral("fifo") << QStringLiteral("steht keine gewöhnliche Datei");
        QTest::newRow("folder that may not be written")
            << QStringLiteral("read-only") << QStringLiteral("Berechtigung");
        // A file size limit fails the write as a full disk does.
        QTest::newRow("no room") << QStringLiteral("limit") << QStringLiteral("größer, als das System erlaubt");
        // Nothing of the four values is written: they are one change.
        QTest::newRow("PIN the code page cannot hold") << QStringLiteral("pin") << QStringLiteral("„✓“");
    }
    void aFailedSaveIsReportedAndTheWindowKeepsTheValues()
    {
        QFETCH(QString, cause);
        QFETCH(QString, reason);
        const bool notAFile = cause == QStringLiteral("folder") || cause == QStringLiteral("fifo");
        const auto path = m_dir->file("01QUORVEX.INI");
        if (cause == QStringLiteral("folder")) {
            QCOMPARE(::mkdir(path.c_str(), 0700), 0);
        } else if (cause == QStringLiteral("fifo")) {
            QCOMPARE(::mkfifo(path.c_str(), 0600), 0);
        } else {
            testsupport::writeBytes(path, HAUPTKASSE_INI);
        }
        auto& w = open();
        // What cannot be read is said when the window opens, naming the file.
        const auto opened = m_dialogs->shown().size();
        QCOMPARE(opened, std::size_t(notAFile ? 1 : 0));
        if (notAFile) {
            const auto message = QString::fromStdString(m_dialogs->shown()[0].text);
            QVERIFY2(message.startsWith(QString::fromStdString("Die Datei " + path + " kann nicht gelesen werden: "))
                         && message.contains(reason),
                     qPrintable(message));
        }
        const QString pin = cause == QStringLiteral("pin") ? QStringLiteral("Grüße✓") : QStringLiteral("geheim");
        for (const char* name : {"sleTid", "sleBenid", "sleUidnr"}) {
            edit(name)->setText(QStringLiteral("X1"));
        }
        edit("slePin")->clear();
        type(edit("slePin"), pin);
        if (cause == QStringLiteral("limit")) {
            // As the program meets it: the signal's default action, which ends a process that writes past its limit.
            const auto child = clickOkPastTheFileSizeLimit(w, pin);
            QCOMPARE(QString::fromStdString(child.ended), QStringLiteral("exit 0"));
            const auto message = QString::fromStdString(child.text);
            QVERIFY2(message.startsWith(QStringLiteral("Die Anmeldedaten wurden nicht gespeichert.\n"))
                         && message.contains(reason),
                     qPrintable(message));
        } else {
            if (cause == QStringLiteral("read-only")) {
                ::chmod(m_dir->path().c_str(), 0555);
                // Modes do not stop root: it acts as an unprivileged user meanwhile.
                QVERIFY(::geteuid() != 0 || ::seteuid(65534) == 0);
            }
            QTest::mouseClick(button("pshOk"), Qt::LeftButton);
            QVERIFY(::getuid() != 0 || ::seteuid(0) == 0);
            ::chmod(m_dir->path().c_str(), 0700);

            QCOMPARE(m_dialogs->shown().size(), opened + 1);
            const auto message = QString::fromStdString(m_dialogs->shown().back().text);
            QVERIFY2(message.startsWith(QStringLiteral("Die Anmeldedaten wurden nicht gespeichert.\n"))
                         && message.contains(reason),
                     qPrintable(message));
            QVERIFY(w.isVisible() && w.changed() && m_loginReads == 0);
            QCOMPARE(edit("slePin")->text(), pin);
        }
        if (!notAFile) {
            QCOMPARE(testsupport::readBytes(path), HAUPTKASSE_INI);
        }
        // Nothing of the PIN stays behind in a temporary file.
        for (const auto& entry : std::filesystem::directory_iterator(m_dir->path())) {
            const auto name = entry.path().filename().string();
            QVERIFY2(name == "01QUORVEX.INI" || name == ".01QUORVEX.INI.lock", name.c_str());
        }
    }

    void longStoredValuesAreShownWholeAndNeverCut()
    {
        const std::string stored = "[Quorvex]\r\nTid=1234567890123456\r\nBenid=b\r\nPin=p\r\nUidnr=ATU123456789012\r\n";
        testsupport::writeBytes(m_dir->file("01QUORVEX.INI"), stored);
        auto& w = open();
        QCOMPARE(edit("sleTid")->text(), QStringLiteral("1234567890123456"));
        QCOMPARE(edit("sleUidnr")->text(), QStringLiteral("ATU123456789012"));
        testsupport::savePng(&w, QStringLiteral("dtaEinstellungen-long-values"));
        QTest::mouseClick(button("pshOk"), Qt::LeftButton);
        QCOMPARE(m_dialogs->shown().back().text,
                 std::string("Die Teilnehmer-Identifikation darf höchstens 12 Zeichen lang sein; eingetragen sind 16. "
                             "Bitte korrigieren Sie den Wert."));
        QCOMPARE(w.focusWidget(), edit("sleTid"));
        edit("sleTid")->setText(QStringLiteral("123456789012"));
        QTest::mouseClick(button("pshOk"), Qt::LeftButton);
        QVERIFY(QString::fromStdString(m_dialogs->shown().back().text)
                    .startsWith(QStringLiteral("Die UidNr darf höchstens 11")));
        QCOMPARE(testsupport::readBytes(m_dir->file("01QUORVEX.INI")), stored);
        QVERIFY(w.isVisible());
    }

    void f1OpensTheHelpPageOfTheWindow()
    {
        open();
        QTest::keyClick(edit("sleBenid"), Qt::Key_F1);
        QCOMPARE(m_dialogs->help(),
                 std::vector<std::string>{m_dir->file("Quorvex.CHM") + "#ErsteSchritte.htm#einstellungen"});
    }

    // Alt and a label's letter moves to its field; no letter is taken twice; the fixed window offers no maximise.
    void theKeyboardReachesEveryField()
    {
        auto& w = open();
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(w.windowFlags() & Qt::MSWindowsFixedSizeDialogHint);
        for (const auto& [letter, holders] : testsupport::mnemonicsOf(&w)) {
            QVERIFY2(holders.size() == 1, qPrintable(holders.join(QLatin1Char(','))));
        }
        for (const char* name : {"lblFnr", "lblTid", "lblBenid", "lblPin", "lblUidnr"}) {
            auto* label = w.findChild<QLabel*>(QLatin1String(name));
            button("pshCancel")->setFocus();
            const QChar letter = label->text().at(label->text().indexOf(QLatin1Char('&')) + 1);
            QTest::keyClick(&w, letter.toLower().toLatin1(), Qt::AltModifier);
            QVERIFY2(QApplication::focusWidget() == label->buddy(), name);
        }
    }

    // --- Unsaved data ---------------------------------------------------------------------------------------

    void cancelWithoutChangesClosesAtOnce()
    {
        auto& w = open();
        QTest::mouseClick(button("pshCancel"), Qt::LeftButton);
        QVERIFY(m_dialogs->shown().empty());
        QVERIFY(!w.isVisible());
        QCOMPARE(w.result(), int(QDialog::Rejected));
    }

    void cancelAfterEditAnsweredNoDiscards()
    {
        testsupport::writeBytes(m_dir->file("01QUORVEX.INI"), HAUPTKASSE_INI);
        auto& w = open();
        type(edit("sleBenid"), QStringLiteral("xyz"));
        m_dialogs->answer(base::IDNO);
        QTest::mouseClick(button("pshCancel"), Qt::LeftButton);

        QCOMPARE(m_dialogs->shown().size(), std::size_t{1});
        const auto& question = m_dialogs->shown()[0];
        QCOMPARE(question.kind, std::string("TextBox"));
        QCOMPARE(question.caption, std::string("Einstellungen"));
        QCOMPARE(question.text, std::string("Daten noch nicht gespeichert - speichern?"));
        QCOMPARE(question.type, base::MB_YESNO | base::MB_ICONSTOP);
        QVERIFY(!w.isVisible());
        QCOMPARE(w.result(), int(QDialog::Rejected));
        QCOMPARE(testsupport::readBytes(m_dir->file("01QUORVEX.INI")), HAUPTKASSE_INI);
        QCOMPARE(m_loginReads, 0);
    }

    void cancelAfterEditAnsweredYesSavesOrStaysOpen()
    {
        testsupport::writeBytes(m_dir->file("01QUORVEX.INI"), HAUPTKASSE_INI);
        auto& w = open();
        edit("slePin")->clear();
        type(edit("slePin"), QStringLiteral("  "));
        m_dialogs->answer(base::IDYES);
        QTest::mouseClick(button("pshCancel"), Qt::LeftButton);

        QCOMPARE(m_dialogs->shown().size(), std::size_t{2});
        QCOMPARE(m_dialogs->shown()[1].text, std::string("Der Pin Code muss eingegeben werden"));
        QVERIFY(w.isVisible());
        QVERIFY(w.changed());
        QCOMPARE(w.focusWidget(), edit("slePin"));
        QCOMPARE(edit("sleBenid")->text(), QStringLiteral("Müller"));
        QCOMPARE(testsupport::readBytes(m_dir->file("01QUORVEX.INI")), HAUPTKASSE_INI);

        type(edit("slePin"), QStringLiteral("neu"));
        m_dialogs->answer(base::IDYES);
        QTest::mouseClick(button("pshCancel"), Qt::LeftButton);
        QCOMPARE(m_dialogs->shown().size(), std::size_t{3});
        QVERIFY(!w.isVisible());
        QCOMPARE(w.result(), int(QDialog::Accepted));
        QCOMPARE(iniValue("01", "Pin"), std::string("neu"));
        QCOMPARE(m_loginReads, 1);
    }

    void closeBoxAndEscapeActAsCancel()
    {
        auto& w = open();
        type(edit("sleTid"), QStringLiteral("1"));
        m_dialogs->answer(base::IDNO);
        QVERIFY(w.close());
        QCOMPARE(m_dialogs->shown().size(), std::size_t{1});
        QCOMPARE(m_dialogs->shown()[0].text, std::string("Daten noch nicht gespeichert - speichern?"));
        QVERIFY(!w.isVisible());
        QCOMPARE(iniValue("01", "Tid"), std::string());

        auto& again = open();
        type(edit("sleTid"), QStringLiteral("2"));
        m_dialogs->answer(base::IDYES);
        QTest::keyClick(&again, Qt::Key_Escape);
        QCOMPARE(m_dialogs->shown().size(), std::size_t{3}); // question, then the check of Benid
        QCOMPARE(m_dialogs->shown()[2].text, std::string("Die Benutzer-Identifikation muss eingegeben werden"));
        QVERIFY(again.isVisible());
    }

    void changingCompanyAfterEdit()
    {
        testsupport::writeBytes(m_dir->file("01QUORVEX.INI"), HAUPTKASSE_INI);
        const std::string filiale = "[QUORVEX]\r\nTid=222\r\nBenid=graz\r\nPin=g\r\nUidnr=ATU22222222\r\n";
        testsupport::writeBytes(m_dir->file("02QUORVEX.INI"), filiale);
        auto& w = open();

        // "Ja" with a failing check: nothing is loaded, the edited data and the first company stay.
        edit("sleBenid")->clear();
        type(edit("sleBenid"), QStringLiteral(" "));
        m_dialogs->answer(base::IDYES);
        combo()->setCurrentIndex(1);
        QCOMPARE(m_dialogs->shown().size(), std::size_t{2});
        QCOMPARE(m_dialogs->shown()[0].text, std::string("Daten noch nicht gespeichert - speichern?"));
        QCOMPARE(m_dialogs->shown()[1].text, std::string("Die Benutzer-Identifikation muss eingegeben werden"));
        QVERIFY(w.isVisible());
        QVERIFY(w.changed());
        QCOMPARE(edit("sleBenid")->text(), QStringLiteral(" "));
        QCOMPARE(edit("sleTid")->text(), QStringLiteral("123456789"));
        QCOMPARE(combo()->currentIndex(), 0);
        QCOMPARE(w.iniFile().FullPath(), m_dir->file("01QUORVEX.INI"));

        // "Nein": the edit is dropped and the other company is loaded.
        m_dialogs->answer(base::IDNO);
        combo()->setCurrentIndex(1);
        QCOMPARE(m_dialogs->shown().size(), std::size_t{3});
        QCOMPARE(edit("sleTid")->text(), QStringLiteral("222"));
        QCOMPARE(edit("sleBenid")->text(), QStringLiteral("graz"));
        QVERIFY(!w.changed());
        QCOMPARE(w.iniFile().FullPath(), m_dir->file("02QUORVEX.INI"));
        QCOMPARE(testsupport::readBytes(m_dir->file("01QUORVEX.INI")), HAUPTKASSE_INI);

        // Without an edit there is no question.
        combo()->setCurrentIndex(0);
        QCOMPARE(m_dialogs->shown().size(), std::size_t{3});
        QCOMPARE(edit("sleBenid")->text(), QStringLiteral("Müller"));

        // "Ja" with valid data: saved into the company that was loaded, and the window closes.
        type(edit("sleBenid"), QStringLiteral("2"));
        m_dialogs->answer(base::IDYES);
        combo()->setCurrentIndex(1);
        QCOMPARE(m_dialogs->shown().size(), std::size_t{4});
        QCOMPARE(iniValue("01", "Benid"), std::string("Müller2"));
        QCOMPARE(testsupport::readBytes(m_dir->file("02QUORVEX.INI")), filiale);
        QVERIFY(!w.isVisible());
        QCOMPARE(m_loginReads, 1);
    }

    // --- As the main window opens it ------------------------------------------------------------------------

    void execReturnsAcceptedAfterSave()
    {
        testsupport::writeBytes(m_dir->file("01QUORVEX.INI"), HAUPTKASSE_INI);
        DtaEinstellungen w(nullptr, "01", [this] { ++m_loginReads; });
        QCOMPARE(w.objectName(), QStringLiteral("dtaEinstellungen"));
        QVERIFY(!w.windowIcon().isNull());
        bool clicked = false;
        testsupport::onNextModal([&clicked](QWidget* modal) {
            auto* ok = modal->findChild<QPushButton*>(QStringLiteral("pshOk"));
            if (ok && ok->isDefault()) {
                clicked = true;
                QTest::keyClick(modal, Qt::Key_Return);
            }
        });
        QCOMPARE(w.exec(), int(QDialog::Accepted));
        QVERIFY(clicked);
        QCOMPARE(m_loginReads, 1);
        QCOMPARE(iniValue("01", "Uidnr"), std::string("ATU12345678"));
    }

    void controlsFitAndFollowTheTabOrder()
    {
        auto& w = open();
        // Every label fits its text and every control lies inside the window.
        for (QLabel* label : w.findChildren<QLabel*>()) {
            QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(label->text()));
        }
        const QRect area = w.rect();
        for (QWidget* child : w.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            QVERIFY2(area.contains(child->geometry()), qPrintable(child->objectName()));
        }

        QStringList order;
        QWidget* widget = combo();
        for (int i = 0; i < 7; ++i) {
            order << widget->objectName();
            widget = widget->nextInFocusChain();
            while (widget->focusPolicy() == Qt::NoFocus) {
                widget = widget->nextInFocusChain();
            }
        }
        QCOMPARE(order,
                 QStringList({QStringLiteral("cmbFnr"),
                              QStringLiteral("sleTid"),
                              QStringLiteral("sleBenid"),
                              QStringLiteral("slePin"),
                              QStringLiteral("sleUidnr"),
                              QStringLiteral("pshOk"),
                              QStringLiteral("pshCancel")}));
    }

private:
    DtaEinstellungen& open(const std::string& number = "01")
    {
        m_window = std::make_unique<DtaEinstellungen>(nullptr, number, [this] {
            ++m_loginReads;
            m_tidSeenByOwner = iniValue("01", "Tid");
        });
        m_window->show();
        m_window->activateWindow();
        if (!QTest::qWaitForWindowActive(m_window.get())) {
            qWarning("settings window not active");
        }
        return *m_window;
    }
    QLineEdit* edit(const char* name) const
    {
        auto* found = m_window->findChild<QLineEdit*>(QString::fromUtf8(name));
        Q_ASSERT(found);
        return found;
    }
    //! Types the text key by key, as the user does; QTest::keyClicks takes ASCII only.
    static void type(QWidget* widget, const QString& text)
    {
        for (const QChar c : text) {
            const auto key = static_cast<Qt::Key>(c.toUpper().unicode());
            QTest::sendKeyEvent(QTest::Click, widget, key, QString(c), Qt::NoModifier);
        }
    }
    QComboBox* combo() const { return m_window->findChild<QComboBox*>(QStringLiteral("cmbFnr")); }
    QPushButton* button(const char* name) const { return m_window->findChild<QPushButton*>(QString::fromUtf8(name)); }
    std::string iniValue(const std::string& number, const std::string& entry) const
    {
        return base::IniFile(m_dir->file(number + "QUORVEX.INI")).GetString("Quorvex", entry);
    }

    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<testsupport::ProgramStateGuard> m_state;
    std::unique_ptr<testsupport::ScriptedDialogs> m_dialogs;
    std::unique_ptr<DtaEinstellungen> m_window;
    int m_loginReads = 0;
    std::string m_tidSeenByOwner;
};

int main(int argc, char** argv)
{
    app::gui::Application application(argc, argv);
    DtaEinstellungenTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "DtaEinstellungenTest.moc"
