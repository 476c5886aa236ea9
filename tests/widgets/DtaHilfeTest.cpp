// The program's help window on the Quorvex.CHM the build makes, opened as the program opens it: through the Qt
// implementation of the dialog seam.
#include "widgets/DtaHilfe.h"

#include "base/ChmFile.h"
#include "base/Cp1252.h"
#include "tests/support/Modal.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "widgets/QtDialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QImage>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QToolButton>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <algorithm>

using widgets::DtaHilfe;

namespace {

const std::string HELP = test_paths::HELP_FILE;

QString currentEntry(DtaHilfe* window)
{
    const auto* item = window->findChild<QTreeWidget*>(QStringLiteral("lvwInhalt"))->currentItem();
    return item ? item->text(0) : QString();
}

QString pageText(DtaHilfe* window)
{
    return window->findChild<QTextBrowser*>(QStringLiteral("txtSeite"))->toPlainText();
}

// Where links to the web end up.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened << url; }
};

} // namespace

class DtaHilfeTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { delete DtaHilfe::instance(); }

    void opensAtTheContentsPage()
    {
        QVERIFY(!DtaHilfe::instance());
        widgets::QtDialogs().ShowHelp(HELP, "HelpContents");
        DtaHilfe* window = DtaHilfe::instance();
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->windowTitle(), QStringLiteral("Vexa-Quorvex Hilfe"));
        QCOMPARE(window->page(), QUrl(QStringLiteral("chm:/HelpContents.htm")));
        QVERIFY(pageText(window).contains(QString::fromUtf8("Mit dem FON WebClient erledigen Sie die Meldungen")));
        QVERIFY(pageText(window).contains(QString::fromUtf8("Überblick")));
        QCOMPARE(currentEntry(window), QString::fromUtf8("Überblick"));
        // The style sheet in the file colours the headings.
        const auto* document = window->findChild<QTextBrowser*>(QStringLiteral("txtSeite"))->document();
        QCOMPARE(document->firstBlock().charFormat().foreground().color(), QColor(QStringLiteral("#1f4e79")));
        testsupport::savePng(window, QStringLiteral("dtaHilfe-HelpContents"));
    }

    void theTreeListsTheTableOfContents()
    {
        auto* window = DtaHilfe::open(HELP, "HelpContents");
        QVERIFY(window);
        QStringList titles;
        auto* tree = window->findChild<QTreeWidget*>(QStringLiteral("lvwInhalt"));
        for (QTreeWidgetItemIterator it(tree); *it; ++it) {
            titles << (*it)->text(0);
        }
        QStringList expected;
        const auto hhc = QString::fromStdString(
            base::cp1252ToUtf8(testsupport::readBytes(std::string(test_paths::HELP_SOURCE_DIR) + "/Quorvex.hhc")));
        const QRegularExpression name(QStringLiteral("<param name=\"Name\" value=\"([^\"]*)\""));
        for (auto it = name.globalMatch(hhc); it.hasNext();) {
            expected << it.next().captured(1);
        }
        QCOMPARE(titles, expected);
        QCOMPARE(tree->topLevelItemCount(), 10);
        // Choosing an entry shows its page.
        tree->setCurrentItem(tree->topLevelItem(2));
        QCOMPARE(window->page(), QUrl(QStringLiteral("chm:/Meldungen.htm")));
        QVERIFY(pageText(window).contains(QString::fromUtf8("Die neun Meldungen und ihre Felder")));
    }

    void linksAreFollowedAndBackAndForwardReturn()
    {
        auto* window = DtaHilfe::open(HELP, "Senden");
        QVERIFY(window);
        auto* back = window->findChild<QToolButton*>(QStringLiteral("pshZurueck"));
        auto* forward = window->findChild<QToolButton*>(QStringLiteral("pshVorwaerts"));
        QVERIFY(!back->isEnabled());
        // As the page view reports a click on the link to the return codes.
        emit window->findChild<QTextBrowser*>(QStringLiteral("txtSeite"))
            ->anchorClicked(QUrl(QStringLiteral("Fehler.htm#ergebnis")));
        QCOMPARE(window->page(), QUrl(QStringLiteral("chm:/Fehler.htm#ergebnis")));
        QVERIFY(pageText(window).contains(QString::fromUtf8("Rückgabecodes nach dem Senden")));
        QCOMPARE(currentEntry(window), QStringLiteral("Fehlermeldungen"));
        QVERIFY(back->isEnabled());
        QTest::mouseClick(back, Qt::LeftButton);
        QCOMPARE(window->page(), QUrl(QStringLiteral("chm:/Senden.htm")));
        QCOMPARE(currentEntry(window), QStringLiteral("Senden und Ergebnis"));
        QVERIFY(forward->isEnabled());
        QTest::mouseClick(forward, Qt::LeftButton);
        QCOMPARE(window->page(), QUrl(QStringLiteral("chm:/Fehler.htm#ergebnis")));
        // The keys work anywhere in the window.
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window->findChild<QTreeWidget*>(QStringLiteral("lvwInhalt")), Qt::Key_Left, Qt::AltModifier);
        QCOMPARE(window->page(), QUrl(QStringLiteral("chm:/Senden.htm")));
        QTest::keyClick(window->findChild<QTextBrowser*>(QStringLiteral("txtSeite")), Qt::Key_Right, Qt::AltModifier);
        QCOMPARE(window->page(), QUrl(QStringLiteral("chm:/Fehler.htm#ergebnis")));
    }

    void linksToTheWebGoToTheDesktop()
    {
        UrlRecorder recorder;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("mailto"), &recorder, "open");
        auto* window = DtaHilfe::open(HELP, "Dateien");
        QVERIFY(window);
        auto* browser = window->findChild<QTextBrowser*>(QStringLiteral("txtSeite"));
        emit browser->anchorClicked(QUrl(QStringLiteral("https://finanzonline.bmf.gv.at/")));
        emit browser->anchorClicked(QUrl(QStringLiteral("mailto:support@example.at")));
        emit browser->anchorClicked(QUrl(QStringLiteral("file:///etc/passwd")));
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("mailto"));
        QCOMPARE(recorder.opened,
                 (QList<QUrl>{QUrl(QStringLiteral("https://finanzonline.bmf.gv.at/")),
                              QUrl(QStringLiteral("mailto:support@example.at"))}));
        QCOMPARE(window->page(), QUrl(QStringLiteral("chm:/Dateien.htm")));
    }

    void aNamedTopicOpensItsPageInTheOneWindow_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QUrl>("page");
        QTest::addColumn<QString>("entry");
        QTest::newRow("name") << "Senden" << QUrl(QStringLiteral("chm:/Senden.htm")) << "Senden und Ergebnis";
        QTest::newRow("file") << "Meldungen.htm" << QUrl(QStringLiteral("chm:/Meldungen.htm")) << "Die neun Meldungen";
        QTest::newRow("anchor") << "Senden.htm#test" << QUrl(QStringLiteral("chm:/Senden.htm#test"))
                                << QString::fromUtf8("Test- und Produktivübertragung");
        QTest::newRow("window") << "ErsteSchritte.htm#einstellungen"
                                << QUrl(QStringLiteral("chm:/ErsteSchritte.htm#einstellungen"))
                                << "Das Fenster Einstellungen";
        // The pages that F1 opens in the receipt picker and in the answer viewer.
        QTest::newRow("picker") << "Meldungen.htm#beleg" << QUrl(QStringLiteral("chm:/Meldungen.htm#beleg"))
                                << QString::fromUtf8("Belegprüfung");
        QTest::newRow("viewer") << "Senden.htm#rueckmeldung" << QUrl(QStringLiteral("chm:/Senden.htm#rueckmeldung"))
                                << QString::fromUtf8("Gesamte Rückmeldung anzeigen");
        QTest::newRow("waiting") << "Senden.htm#abbrechen" << QUrl(QStringLiteral("chm:/Senden.htm#abbrechen"))
                                 << "Abbrechen und Wartezeiten";
        QTest::newRow("unknown") << "Gibtsnicht" << QUrl(QStringLiteral("chm:/HelpContents.htm"))
                                 << QString::fromUtf8("Überblick");
    }

    void aNamedTopicOpensItsPageInTheOneWindow()
    {
        QFETCH(QString, topic);
        QFETCH(QUrl, page);
        QFETCH(QString, entry);
        auto* first = DtaHilfe::open(HELP, "HelpContents");
        widgets::QtDialogs().ShowHelp(HELP, topic.toStdString());
        QCOMPARE(DtaHilfe::instance(), first);
        QCOMPARE(first->page(), page);
        QCOMPARE(currentEntry(first), entry);
        if (topic == QStringLiteral("Senden") || topic.endsWith(QStringLiteral(".htm"))) {
            testsupport::savePng(first, QStringLiteral("dtaHilfe-") + topic.section(QLatin1Char('.'), 0, 0));
        }
    }

    // Asked for again while minimised, the window comes back in front with the keyboard, at the page asked for.
    void aMinimisedWindowComesBack()
    {
        auto* window = DtaHilfe::open(HELP, "HelpContents");
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        window->showMinimized();
        QTRY_VERIFY(window->isMinimized());
        widgets::QtDialogs().ShowHelp(HELP, "Senden.htm#test");
        QCOMPARE(DtaHilfe::instance(), window);
        QCOMPARE(window->page(), QUrl(QStringLiteral("chm:/Senden.htm#test")));
        QVERIFY(!window->isMinimized());
        QTRY_COMPARE(QApplication::activeWindow(), window);
    }

    // Esc and Ctrl+W close the window from wherever the focus is in it, and the window the help was asked for from
    // has the keyboard again.
    void escAndCtrlWClose_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<QKeySequence>("key");
        QTest::newRow("Esc, contents") << "lvwInhalt" << QKeySequence(Qt::Key_Escape);
        QTest::newRow("Ctrl+W, page") << "txtSeite" << QKeySequence(Qt::CTRL | Qt::Key_W);
    }
    void escAndCtrlWClose()
    {
        QFETCH(QString, focus);
        QFETCH(QKeySequence, key);
        QWidget from;
        from.show();
        from.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&from));
        QPointer<DtaHilfe> window = DtaHilfe::open(HELP, "Senden");
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowActive(window));
        auto* target = window->findChild<QWidget*>(focus);
        target->setFocus();
        QTest::keySequence(target, key);
        QTRY_VERIFY(!window); // closed and gone
        QVERIFY(!DtaHilfe::instance());
        QTRY_COMPARE(QApplication::activeWindow(), &from);
    }

    // Opened from a modal dialog, the window belongs to it while it runs, and stays open alone when it closes.
    void staysUsableBesideAModalDialog()
    {
        QDialog dialog;
        dialog.setWindowTitle(QStringLiteral("Einstellungen"));
        DtaHilfe* opened = nullptr;
        bool belongedToTheDialog = false;
        testsupport::onNextModal([&](QWidget* modal) {
            opened = DtaHilfe::open(HELP, "ErsteSchritte.htm#einstellungen");
            belongedToTheDialog = opened && opened->parentWidget() == modal && opened->isVisible();
            static_cast<QDialog*>(modal)->reject();
        });
        dialog.exec();
        QVERIFY(opened);
        QVERIFY(belongedToTheDialog);
        QCOMPARE(DtaHilfe::instance(), opened);
        QVERIFY(!opened->parentWidget());
        QVERIFY(opened->isVisible());
    }

    // Pictures come out of the file, also for a page in a folder that names them relative to itself.
    void picturesOfPagesInFolders()
    {
        testsupport::TempDir dir;
        QImage picture(40, 20, QImage::Format_RGB32);
        picture.fill(QColor(QStringLiteral("#d08a00")));
        QDir().mkpath(QString::fromStdString(dir.file("seiten")));
        QDir().mkpath(QString::fromStdString(dir.file("bilder")));
        QVERIFY(picture.save(QString::fromStdString(dir.file("bilder/balken.png"))));
        testsupport::writeBytes(dir.file("Test.hhp"),
                                "[OPTIONS]\nCompiled file=Test.chm\nContents file=Test.hhc\n"
                                "Default topic=seiten/Start.htm\nTitle=Test\n\n[FILES]\nseiten/Start.htm\n"
                                "bilder/balken.png\n");
        testsupport::writeBytes(dir.file("Test.hhc"),
                                "<html><body><ul><li><object type=\"text/sitemap\"><param name=\"Name\" "
                                "value=\"Start\"><param name=\"Local\" value=\"seiten/Start.htm\"></object></ul>"
                                "</body></html>");
        testsupport::writeBytes(
            dir.file("seiten/Start.htm"),
            "<html><body><h1>Gr&uuml;n</h1><p><img src=\"../bilder/balken.png\"></p></body></html>");
        QProcess chmcmd;
        chmcmd.setWorkingDirectory(QString::fromStdString(dir.path()));
        chmcmd.start(QString::fromUtf8(test_paths::CHMCMD), {QStringLiteral("Test.hhp")});
        QVERIFY(chmcmd.waitForFinished(30000));
        QCOMPARE(chmcmd.exitCode(), 0);

        auto* window = DtaHilfe::open(dir.file("Test.chm"), "HelpContents");
        QVERIFY(window);
        QCOMPARE(window->page(), QUrl(QStringLiteral("chm:/seiten/Start.htm")));
        QCOMPARE(currentEntry(window), QStringLiteral("Start"));
        QVERIFY(pageText(window).contains(QString::fromUtf8("Grün")));
        auto* browser = window->findChild<QTextBrowser*>(QStringLiteral("txtSeite"));
        const QImage shown = QImage::fromData(
            browser->loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("../bilder/balken.png")))
                .toByteArray());
        QCOMPARE(shown.size(), QSize(40, 20));
        QCOMPARE(shown.pixelColor(5, 5), QColor(QStringLiteral("#d08a00")));
        testsupport::savePng(window, QStringLiteral("dtaHilfe-picture"));
    }

    void aMissingOrUnreadableFileIsNamed()
    {
        testsupport::ProgramStateGuard guard;
        testsupport::ScriptedDialogs dialogs;
        testsupport::TempDir dir;
        const auto missing = dir.file("Quorvex.CHM");
        const auto broken = testsupport::writeBytes(dir.file("Kaputt.CHM"), "ITSF kein Hilfetext");
        auto loop = testsupport::readBytes(HELP);
        loop[0x78 + 0x54 + 0x10] = 0; // the one listing block names itself as the next
        const auto looping = testsupport::writeBytes(dir.file("Kreis.CHM"), loop);
        widgets::QtDialogs().ShowHelp(missing, "HelpContents");
        widgets::QtDialogs().ShowHelp(broken, "Senden");
        widgets::QtDialogs().ShowHelp(looping, "Senden");
        widgets::QtDialogs().ShowHelp(dir.path(), "Senden");
        QVERIFY(!DtaHilfe::instance());
        QCOMPARE(dialogs.shown().size(), std::size_t{4});
        QCOMPARE(dialogs.shown()[0].kind, std::string("ErrorBox"));
        QCOMPARE(dialogs.shown()[0].text, "Die Hilfedatei " + missing + " wurde nicht gefunden.");
        QCOMPARE(dialogs.shown()[1].text,
                 "Die Hilfedatei " + broken + " kann nicht gelesen werden. Die Datei ist keine Hilfedatei (CHM).");
        QCOMPARE(dialogs.shown()[2].text,
                 "Die Hilfedatei " + looping
                     + " kann nicht gelesen werden. Ihr Aufbau ist beschädigt: Die Kette "
                       "der Verzeichnisblöcke ist unterbrochen oder kreisförmig.");
        QCOMPARE(dialogs.shown()[3].text,
                 "Die Hilfedatei " + dir.path() + " kann nicht gelesen werden. Die Datei ist keine gewöhnliche Datei.");
    }

    // A table of contents nested 100 000 levels deep opens as any other, at most MAX_TOPIC_DEPTH levels deep and
    // with every entry.
    void aDeeplyNestedTableOfContentsOpens()
    {
        constexpr int LEVELS = 100000;
        testsupport::TempDir dir;
        // The compiler itself does not survive such a contents file as its own: it goes in as a plain file, which
        // the reader takes as the first .hhc inside.
        testsupport::writeBytes(dir.file("Tief.hhp"),
                                "[OPTIONS]\nCompiled file=Tief.chm\nDefault topic=Start.htm\n"
                                "Title=Tief\n\n[FILES]\nStart.htm\nInhalt.hhc\n");
        std::string contents = "<html><body>";
        for (int i = 0; i < LEVELS; ++i) {
            contents += "<ul><li><object type=\"text/sitemap\"><param name=\"Name\" value=\"E" + std::to_string(i)
                        + "\"><param name=\"Local\" value=\"Start.htm\"></object>";
        }
        for (int i = 0; i < LEVELS; ++i) {
            contents += "</ul>";
        }
        testsupport::writeBytes(dir.file("Inhalt.hhc"), contents + "</body></html>");
        testsupport::writeBytes(dir.file("Start.htm"), "<html><body><h1>Tief</h1></body></html>");
        QProcess chmcmd;
        chmcmd.setWorkingDirectory(QString::fromStdString(dir.path()));
        chmcmd.start(QString::fromUtf8(test_paths::CHMCMD), {QStringLiteral("Tief.hhp")});
        QVERIFY(chmcmd.waitForFinished(60000));
        QCOMPARE(chmcmd.exitCode(), 0);

        auto* window = DtaHilfe::open(dir.file("Tief.chm"), "HelpContents");
        QVERIFY(window);
        QVERIFY(pageText(window).contains(QStringLiteral("Tief")));
        int entries = 0;
        int deepest = 0;
        for (QTreeWidgetItemIterator it(window->findChild<QTreeWidget*>(QStringLiteral("lvwInhalt"))); *it; ++it) {
            ++entries;
            int depth = 1;
            for (auto* parent = (*it)->parent(); parent; parent = parent->parent()) {
                ++depth;
            }
            deepest = std::max(deepest, depth);
        }
        QCOMPARE(entries, LEVELS);
        QCOMPARE(deepest, static_cast<int>(base::MAX_TOPIC_DEPTH));
        testsupport::savePng(window, QStringLiteral("dtaHilfe-deep-contents"));
    }
};

QTEST_MAIN(DtaHilfeTest)
#include "DtaHilfeTest.moc"
