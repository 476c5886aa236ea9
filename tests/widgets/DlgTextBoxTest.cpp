#include "widgets/DlgTextBox.h"

#include "app/gui/Application.h"
#include "base/Dialogs.h"
#include "tests/support/Modal.h"
#include "tests/support/TempDir.h"
#include "widgets/DesktopLook.h"
#include "widgets/DialogUnits.h"
#include "widgets/QtDialogs.h"

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QToolButton>

#include <atomic>
#include <thread>
#include <utility>

using testsupport::onNextModal;

class DlgTextBoxTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        app::gui::fixProcessSettings(*qApp);
        base::setDialogs(&m_dialogs);
    }
    void cleanupTestCase() { base::setDialogs(nullptr); }

    void kinds_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("expected");
        QTest::newRow("error") << 0 << QStringLiteral("Fehler") << QStringLiteral("pshOk") << 1;
        QTest::newRow("warning default caption") << 1 << QStringLiteral("Warnung") << QStringLiteral("pshOk") << 1;
        QTest::newRow("warning own caption") << 2 << QStringLiteral("Achtung") << QStringLiteral("pshOk") << 1;
        QTest::newRow("info two arguments") << 3 << QStringLiteral("Info") << QStringLiteral("pshOk") << 1;
        QTest::newRow("info three arguments") << 4 << QStringLiteral("Signatur") << QStringLiteral("pshOk") << 1;
        QTest::newRow("question yes") << 5 << QStringLiteral("Frage") << QStringLiteral("pshYes") << 6;
        QTest::newRow("question no") << 6 << QStringLiteral("Reader prüfen") << QStringLiteral("pshNo") << 3;
    }

    // Each kind through the core's calls: caption, buttons, bitmap, text, and the code of the pressed button.
    void kinds()
    {
        QFETCH(int, kind);
        QFETCH(QString, caption);
        QFETCH(QString, button);
        QFETCH(int, expected);
        const std::string text = "Die Signaturkarte ist nicht eingelegt.\nBitte prüfen Sie den Kartenleser.";
        QString seenCaption;
        QString seenText;
        QStringList visible;
        bool iconShown = false;
        onNextModal([&](QWidget* dialog) {
            seenCaption = dialog->windowTitle();
            seenText = dialog->findChild<QLabel*>(QStringLiteral("txtMessage"))->text();
            for (const char* name : {"pshYes", "pshNo", "pshOk"}) {
                if (dialog->findChild<QPushButton*>(QLatin1String(name))->isVisible()) {
                    visible << QLatin1String(name);
                }
            }
            auto* icon = dialog->findChild<QToolButton*>(QStringLiteral("pshIcon"));
            iconShown = !icon->isEnabled() && !icon->icon().pixmap(icon->iconSize(), QIcon::Disabled).isNull();
            testsupport::savePng(dialog, QStringLiteral("dlgTextBox-") + QString::fromLatin1(QTest::currentDataTag()));
            QTest::mouseClick(dialog->findChild<QPushButton*>(button), Qt::LeftButton);
        });
        int result = -1;
        switch (kind) {
        case 0:
            result = base::BigErrorBox(text);
            break;
        case 1:
            result = base::BigWarningBox("", text);
            break;
        case 2:
            result = base::BigWarningBox("Achtung", text);
            break;
        case 3:
            result = base::BigInfoBox(text);
            break;
        case 4:
            result = base::BigInfoBox("Signatur", text);
            break;
        case 5:
            result = base::BigTextBox("", text);
            break;
        default:
            result = base::BigTextBox("Reader prüfen", text);
            break;
        }
        QCOMPARE(result, expected);
        QCOMPARE(seenCaption, caption);
        QCOMPARE(seenText, QString::fromStdString(text));
        QVERIFY(iconShown);
        const bool question = kind >= 5;
        QCOMPARE(visible,
                 question ? QStringList({QStringLiteral("pshYes"), QStringLiteral("pshNo")})
                          : QStringList({QStringLiteral("pshOk")}));
    }

    void closingWithoutAButtonGivesZero()
    {
        onNextModal([](QWidget* dialog) { dialog->close(); });
        QCOMPARE(base::BigTextBox("Frage", "Speichern?"), 0);
        onNextModal([](QWidget* dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
        QCOMPARE(base::BigErrorBox("Fehler"), 0);
        onNextModal([](QWidget* dialog) { QTest::keyClick(dialog, Qt::Key_Return); });
        QCOMPARE(base::BigInfoBox("Enter drückt OK"), 1);
    }

    void layoutFollowsTheDialogUnits()
    {
        widgets::DlgTextBox box(base::BigBoxKind::Text, QStringLiteral("Frage"), QStringLiteral("Kurz"), nullptr);
        const widgets::DialogUnits du(box.font());
        QCOMPARE(box.size(), du.size(256, 79));
        auto* yes = box.findChild<QPushButton*>(QStringLiteral("pshYes"));
        auto* no = box.findChild<QPushButton*>(QStringLiteral("pshNo"));
        auto* ok = box.findChild<QPushButton*>(QStringLiteral("pshOk"));
        QCOMPARE(yes->size(), du.size(59, 19));
        QCOMPARE(yes->y(), no->y());
        QVERIFY(yes->geometry().right() < no->x());
        QVERIFY(qAbs(ok->geometry().center().x() - (yes->x() + no->x() + yes->width()) / 2) <= 1);
        QVERIFY(ok->isDefault());
        QCOMPARE(box.findChild<QLabel*>(QStringLiteral("txtMessage"))->size(), du.size(229, 46));
    }

    void aLongMessageGrowsTheDialogInsteadOfBeingCut()
    {
        QString text;
        for (int i = 1; i <= 12; ++i) {
            text += QStringLiteral("Zeile %1: Der Beleg konnte nicht signiert werden.\n").arg(i);
        }
        widgets::DlgTextBox box(base::BigBoxKind::Warning, QStringLiteral("Warnung"), text, nullptr);
        auto* label = box.findChild<QLabel*>(QStringLiteral("txtMessage"));
        auto* ok = box.findChild<QPushButton*>(QStringLiteral("pshOk"));
        QVERIFY(label->height() >= label->heightForWidth(label->width()));
        QVERIFY(ok->y() >= label->geometry().bottom());
        QVERIFY(box.height() > widgets::DialogUnits(box.font()).y(79));
        box.show();
        testsupport::savePng(&box, QStringLiteral("dlgTextBox-long"));
    }

    void standardBoxesSpeakGermanAndAnswerWithPlatformCodes()
    {
        QString yesText;
        onNextModal([&](QWidget* dialog) {
            auto* box = qobject_cast<QMessageBox*>(dialog);
            QCOMPARE(box->windowTitle(), QStringLiteral("Löschen"));
            QVERIFY(box->icon() == QMessageBox::Critical || QIcon::hasThemeIcon(QStringLiteral("dialog-error")));
            yesText = box->button(QMessageBox::Yes)->text();
            testsupport::savePng(dialog, QStringLiteral("textBox-yesno"));
            box->button(QMessageBox::Yes)->click();
        });
        QCOMPARE(m_dialogs.TextBox("Löschen", "Wirklich löschen?", 0x14), base::IDYES);
        QCOMPARE(yesText.remove(QLatin1Char('&')), QStringLiteral("Ja"));

        onNextModal([](QWidget* dialog) { qobject_cast<QMessageBox*>(dialog)->button(QMessageBox::No)->click(); });
        QCOMPARE(m_dialogs.TextBox("Löschen", "Wirklich löschen?", 0x14), base::IDNO);

        // Enter takes the default button: the first, or the second ("Nein") when the caller says so.
        for (const auto& [type, answer] :
             {std::pair{base::MB_YESNO, base::IDYES}, std::pair{base::MB_YESNO | base::MB_DEFBUTTON2, base::IDNO}}) {
            onNextModal([type = type](QWidget* dialog) {
                testsupport::savePng(dialog, QStringLiteral("textBox-yesno-%1").arg(type, 0, 16));
                QTest::keyClick(dialog, Qt::Key_Return);
            });
            QCOMPARE(m_dialogs.TextBox("Außerbetriebnahme Registrierkasse",
                                       "Registrierkasse KASSE-01 wirklich außer Betrieb nehmen?",
                                       type | base::MB_ICONQUESTION),
                     answer);
        }

        QString caption;
        onNextModal([&](QWidget* dialog) {
            caption = dialog->windowTitle();
            testsupport::savePng(dialog, QStringLiteral("errorBox"));
            qobject_cast<QMessageBox*>(dialog)->button(QMessageBox::Ok)->click();
        });
        m_dialogs.ErrorBox("Die Datei ist unbrauchbar.");
        QCOMPARE(caption, QStringLiteral("Fehler"));
    }

    // A box asked for on a worker (the signing step asks about the reader while it signs on its own thread) is shown
    // by the window's thread, and the worker gets the answer.
    void aBoxAskedForOnAWorkerIsShownByTheWindowsThread()
    {
        QThread* shownOn = nullptr;
        onNextModal([&](QWidget* dialog) {
            shownOn = QThread::currentThread();
            QCOMPARE(qobject_cast<QMessageBox*>(dialog)->text(), QStringLiteral("Problem beheben?"));
            qobject_cast<QMessageBox*>(dialog)->button(QMessageBox::No)->click();
        });
        std::atomic<int> answer = 0;
        std::thread worker([&] { answer = m_dialogs.TextBox("Reader prüfen", "Problem beheben?", base::MB_YESNO); });
        QTRY_COMPARE_WITH_TIMEOUT(answer.load(), base::IDNO, 20000);
        worker.join();
        QCOMPARE(shownOn, qApp->thread());
    }

    // The pictures come from the desktop's icon theme by their freedesktop names; without a theme (or without the
    // icon in it) the program's own bitmap or the style's picture stays. A theme made here has one icon, all red.
    // The desktop style draws the overflow pictures it makes late exactly as the style it stands for.
    void theDesktopStyleDrawsTheOverflowPicturesOfItsBase()
    {
        widgets::DesktopStyle style;
        for (auto picture : {QStyle::SP_ToolBarHorizontalExtensionButton,
                             QStyle::SP_ToolBarVerticalExtensionButton,
                             QStyle::SP_DialogOkButton}) {
            const QIcon late = style.standardIcon(picture, nullptr, nullptr);
            const QImage drawn = late.pixmap(16, 16).toImage();
            QVERIFY(!late.isNull());
            QVERIFY(!drawn.isNull());
            QCOMPARE(drawn, style.baseStyle()->standardIcon(picture).pixmap(16, 16).toImage());
        }
    }

    void iconsComeFromTheThemeWithTheOwnPictureAsFallback_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("inTheme");
        QTest::newRow("error, theme") << int(base::BigBoxKind::Error) << true;
        QTest::newRow("question, theme") << int(base::BigBoxKind::Text) << true;
        QTest::newRow("info, no theme") << int(base::BigBoxKind::Info) << false;
    }
    void iconsComeFromTheThemeWithTheOwnPictureAsFallback()
    {
        QFETCH(int, kind);
        QFETCH(bool, inTheme);
        const auto big = static_cast<base::BigBoxKind>(kind);
        testsupport::TempDir dir;
        const QString name = QString::fromLatin1(widgets::themeNameOf(big));
        QDir().mkpath(QString::fromStdString(dir.file("probe/32x32")));
        testsupport::writeBytes(dir.file("probe/index.theme"),
                                "[Icon Theme]\nName=Probe\nDirectories=32x32\n[32x32]\nSize=32\nType=Scalable\n"
                                "MinSize=8\nMaxSize=256\n");
        QImage red(32, 32, QImage::Format_ARGB32);
        red.fill(Qt::red);
        if (inTheme) {
            QVERIFY(red.save(QString::fromStdString(dir.file("probe/32x32/")) + name + QStringLiteral(".png")));
        }
        const QStringList paths = QIcon::themeSearchPaths();
        const QString theme = QIcon::themeName();
        QIcon::setThemeSearchPaths({QString::fromStdString(dir.path())});
        QIcon::setThemeName(QStringLiteral("probe"));

        widgets::DlgTextBox box(big, QStringLiteral("Probe"), QStringLiteral("Text"), nullptr);
        auto* icon = box.findChild<QToolButton*>(QStringLiteral("pshIcon"));
        const QImage shown = icon->icon().pixmap(icon->iconSize()).toImage();
        const QImage own = QIcon(widgets::bitmapOf(big)).pixmap(icon->iconSize()).toImage();
        QMessageBox message(QMessageBox::Critical, QStringLiteral("Probe"), QStringLiteral("Text"));
        const QImage style = message.iconPixmap().toImage();
        widgets::useThemeIcon(message);
        const QImage messageShown = message.iconPixmap().toImage();
        QIcon::setThemeName(theme);
        QIcon::setThemeSearchPaths(paths);

        const QPoint middle(shown.width() / 2, shown.height() / 2);
        QCOMPARE(shown.pixelColor(middle) == QColor(Qt::red), inTheme);
        QCOMPARE(shown == own, !inTheme);
        const bool themed = inTheme && big == base::BigBoxKind::Error; // the message box is an error box
        QVERIFY(themed || messageShown == style);
        QCOMPARE(messageShown.pixelColor(messageShown.width() / 2, messageShown.height() / 2) == QColor(Qt::red),
                 themed);
        testsupport::savePng(&box, QStringLiteral("dlgTextBox-theme-") + QString::number(kind));
    }

private:
    widgets::QtDialogs m_dialogs;
};

QTEST_MAIN(DlgTextBoxTest)
#include "DlgTextBoxTest.moc"
