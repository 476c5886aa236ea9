// F1 in the windows that have a page of their own in the user guide: the key opens the installation's help file at
// that page, and the help file the build makes holds the page, titled after the window.
#include "app/gui/Application.h"
#include "app/gui/DlgAbout.h"
#include "base/Program.h"
#include "rksv/gui/DlgDepExport.h"
#include "rksv/gui/DlgDepPruefen.h"
#include "rksv/gui/DlgStatusbelege.h"
#include "tests/support/Modal.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "widgets/DtaHilfe.h"

#include <QApplication>
#include <QTest>
#include <QTextBrowser>

#include <functional>
#include <memory>

using Factory = std::function<std::unique_ptr<QDialog>()>;
Q_DECLARE_METATYPE(Factory)

class HelpKeysTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { app::gui::fixProcessSettings(*qobject_cast<QApplication*>(QCoreApplication::instance())); }

    void f1OpensTheWindowsPage_data()
    {
        QTest::addColumn<Factory>("make");
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QString>("heading");
        QTest::newRow("RKSV Statusbelege")
            << Factory([] { return std::make_unique<rksv::gui::DlgStatusbelege>(nullptr); })
            << QStringLiteral("Statusbelege.htm") << QString::fromUtf8("Das Fenster „RKSV Statusbelege“");
        QTest::newRow("DEP exportieren") << Factory([] { return std::make_unique<rksv::gui::DlgDepExport>(nullptr); })
                                         << QStringLiteral("DepExport.htm")
                                         << QString::fromUtf8("Das Fenster „DEP exportieren“");
        QTest::newRow("DEP prüfen") << Factory([] { return std::make_unique<rksv::gui::DlgDepPruefen>(nullptr); })
                                    << QStringLiteral("DepPruefen.htm")
                                    << QString::fromUtf8("Das Fenster „DEP prüfen“");
        QTest::newRow("Über") << Factory([] { return std::make_unique<app::gui::DlgAbout>(nullptr); })
                              << QStringLiteral("Ueber.htm") << QString::fromUtf8("Das Fenster „Über“");
    }
    void f1OpensTheWindowsPage()
    {
        QFETCH(Factory, make);
        QFETCH(QString, topic);
        QFETCH(QString, heading);
        testsupport::TempDir dir;
        testsupport::ProgramStateGuard state;
        base::program().DefaultDir = dir.path();
        base::program().HostProduct = "PLUMOXA";
        {
            testsupport::ScriptedDialogs dialogs;
            const auto window = make();
            window->show();
            window->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(window.get()));
            // From the field that has the focus, as a user presses it.
            QWidget* focus = QApplication::focusWidget() ? QApplication::focusWidget() : window.get();
            QTest::keyClick(focus, Qt::Key_F1);
            QCOMPARE(dialogs.help(), std::vector<std::string>{dir.file("Quorvex.CHM") + "#" + topic.toStdString()});
        }

        // The help file holds that page: the window shows it, not the contents page it falls back to.
        auto* help = widgets::DtaHilfe::open(test_paths::HELP_FILE, topic.toStdString());
        QVERIFY(help);
        QCOMPARE(help->page(), QUrl(QStringLiteral("chm:/") + topic));
        const QString text = help->findChild<QTextBrowser*>(QStringLiteral("txtSeite"))->toPlainText();
        QVERIFY2(text.contains(heading), qPrintable(text.left(200)));
        // What the window shows and what to do when it refuses.
        QVERIFY(text.contains(QStringLiteral("Die Felder")) || text.contains(QStringLiteral("Was es zeigt")));
        QVERIFY(text.contains(QStringLiteral("Wenn ")));
        QVERIFY(text.contains(QStringLiteral("F1")));
        delete help;
    }
};

QTEST_MAIN(HelpKeysTest)
#include "HelpKeysTest.moc"
