#include "app/gui/DlgAbout.h"

#include "app/gui/Application.h"
#include "base/BuildInfo.h"
#include "tests/support/Modal.h"
#include "widgets/DialogUnits.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMainWindow>
#include <QRegularExpression>
#include <QTest>

class DlgAboutTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { app::gui::fixProcessSettings(*qApp); }

    void captionAndSizeInDialogUnits()
    {
        app::gui::DlgAbout box(nullptr);
        QCOMPARE(box.objectName(), QStringLiteral("dlgAbout"));
        QCOMPARE(box.windowTitle(), QString::fromUtf8("Vexa-Quorvex: Über"));
        const widgets::DialogUnits du(box.font());
        QCOMPARE(box.size(), du.size(172, 65));
        // The user cannot resize it.
        QCOMPARE(box.minimumSize(), box.maximumSize());
        QVERIFY(box.isModal());
        // No buttons: the window's close box closes it.
        QVERIFY(box.findChildren<QAbstractButton*>().isEmpty());
    }

    void versionShowsTheProgramVersionAndTheBuildIdentifier()
    {
        const QString id = QString::fromUtf8(base::buildIdentifier());
        QVERIFY(!id.trimmed().isEmpty());
        app::gui::DlgAbout box(nullptr);
        auto* version = box.findChild<QLabel*>(QStringLiteral("txtVersion"));
        QVERIFY(version);
        const auto match = QRegularExpression(QStringLiteral("^Version: V1\\.04 \\((.+)\\)$")).match(version->text());
        QVERIFY2(match.hasMatch(), qPrintable(version->text()));
        QCOMPARE(match.captured(1), id);
        // Support copies the version out of the box.
        QVERIFY(version->textInteractionFlags() & Qt::TextSelectableByMouse);
    }

    // Icon 16 × 16 units top left, the name in bold, every text readable in full inside the box.
    void layout()
    {
        app::gui::DlgAbout box(nullptr);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        testsupport::savePng(&box, QStringLiteral("dlgAbout"));
        const widgets::DialogUnits du(box.font());

        auto* icon = box.findChild<QLabel*>(QStringLiteral("picAppIcon"));
        QVERIFY(icon);
        QCOMPARE(icon->size(), du.size(16, 16));
        QVERIFY(icon->x() < du.x(16) && icon->y() < du.y(16));
        QVERIFY(!icon->pixmap().isNull());
        // Dialog units are not square: the square icon fills the smaller side of its place.
        const QSize drawn = icon->pixmap().deviceIndependentSize().toSize();
        QCOMPARE(qMax(drawn.width(), drawn.height()), qMin(icon->width(), icon->height()));

        auto* title = box.findChild<QLabel*>(QStringLiteral("txtTitle"));
        QVERIFY(title);
        QCOMPARE(title->text(), QStringLiteral("Vexa-Quorvex: FON WebClient"));
        QVERIFY(title->font().bold());
        QVERIFY(title->x() >= icon->geometry().right());

        auto* notice = box.findChild<QLabel*>(QStringLiteral("txtNotice"));
        QVERIFY(notice);
        QVERIFY(!notice->text().isEmpty());

        auto* version = box.findChild<QLabel*>(QStringLiteral("txtVersion"));
        // Rows top to bottom, none overlapping the next.
        QVERIFY(title->geometry().bottom() < notice->y());
        QVERIFY(notice->geometry().bottom() < version->y());
        for (QLabel* label : {title, notice, version}) {
            QVERIFY2(box.rect().contains(label->geometry()), qPrintable(label->objectName()));
            const int needed = label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
            QVERIFY2(needed <= label->height(), qPrintable(label->objectName() + QStringLiteral(" is cut off")));
            if (!label->wordWrap()) {
                QVERIFY2(label->sizeHint().width() <= label->width(),
                         qPrintable(label->objectName() + QStringLiteral(" is cut off")));
            }
        }
    }

    // Opened over the main window, the box is modal and owned by it; Esc and the close box end it.
    void showRunsModallyUntilClosed_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("close box") << false;
        QTest::newRow("Esc") << true;
    }
    void showRunsModallyUntilClosed()
    {
        QFETCH(bool, escape);
        QMainWindow owner;
        owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&owner));
        QString seen;
        bool ownedByWindow = false;
        Qt::WindowModality modality = Qt::NonModal;
        testsupport::onNextModal([&](QWidget* dialog) {
            seen = dialog->objectName();
            ownedByWindow = dialog->parentWidget() == &owner;
            modality = dialog->windowModality();
            if (escape) {
                QTest::keyClick(dialog, Qt::Key_Escape);
            } else {
                dialog->close();
            }
        });
        bool returned = false;
        {
            app::gui::DlgAbout box(&owner);
            box.Show();
            returned = true;
            QVERIFY(!box.isVisible());
        }
        QVERIFY(returned);
        QCOMPARE(seen, QStringLiteral("dlgAbout"));
        QVERIFY(ownedByWindow);
        QCOMPARE(modality, Qt::ApplicationModal);
    }
};

QTEST_MAIN(DlgAboutTest)
#include "DlgAboutTest.moc"
