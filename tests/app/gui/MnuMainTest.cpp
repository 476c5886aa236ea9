#include "app/gui/MnuMain.h"

#include "app/gui/Application.h"
#include "tests/support/Modal.h"

#include <QAction>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QTest>
#include <QVBoxLayout>

#include <map>
#include <memory>

namespace {

// One item of a menu as the user sees it: its text, or "-" for a separator.
QStringList itemsOf(const QMenu* menu)
{
    QStringList items;
    for (const QAction* action : menu->actions()) {
        items << (action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return items;
}

} // namespace

class MnuMainTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { app::gui::fixProcessSettings(*qApp); }

    void init()
    {
        m_calls.clear();
        m_window = std::make_unique<QMainWindow>();
        // Something else than the menu bar holds the focus, as in the real window.
        auto* central = new QWidget(m_window.get());
        auto* layout = new QVBoxLayout(central);
        m_edit = new QLineEdit(central);
        m_edit->setObjectName(QStringLiteral("sleSomething"));
        layout->addWidget(m_edit);
        m_window->setCentralWidget(central);
        m_window->setMenuBar(new app::gui::MnuMain(m_window.get(), counting()));
        m_window->resize(400, 200);
    }
    void cleanup()
    {
        m_window.reset();
        m_edit = nullptr;
    }

    void menusAndItemsInTheirOrder()
    {
        auto* bar = m_window->findChild<app::gui::MnuMain*>(QStringLiteral("mnuMain"));
        QVERIFY(bar);
        QCOMPARE(m_window->menuBar(), bar);
        QStringList titles;
        QList<QMenu*> menus;
        for (QAction* action : bar->actions()) {
            titles << action->text();
            menus << action->menu();
        }
        QCOMPARE(titles, QStringList({QStringLiteral("Basisdaten"), QStringLiteral("Sonstiges")}));
        QVERIFY(menus[0] && menus[1]);
        QCOMPARE(itemsOf(menus[0]),
                 QStringList({QStringLiteral("Einstellungen"), QStringLiteral("-"), QStringLiteral("Programmende")}));
        QCOMPARE(itemsOf(menus[1]), QStringList({QStringLiteral("Doku"), QString::fromUtf8("Über")}));

        QStringList names;
        for (QMenu* menu : menus) {
            for (const QAction* action : menu->actions()) {
                if (!action->isSeparator()) {
                    names << action->objectName();
                }
            }
        }
        QCOMPARE(names,
                 QStringList({QStringLiteral("mnuEinstellungen"),
                              QStringLiteral("mnuProgrammende"),
                              QStringLiteral("mnuDoku"),
                              QStringLiteral("mnuUeber")}));
    }

    // "Doku" carries F1, shown right-aligned beside the text; no other item has a key.
    void onlyDokuHasAShortcutAndItIsF1()
    {
        for (auto* action : m_window->findChildren<QAction*>()) {
            if (action->objectName() == QStringLiteral("mnuDoku")) {
                QCOMPARE(action->shortcuts(), QList<QKeySequence>({QKeySequence(Qt::Key_F1)}));
                QCOMPARE(action->shortcut().toString(QKeySequence::NativeText), QStringLiteral("F1"));
            } else {
                QVERIFY2(action->shortcut().isEmpty(), qPrintable(action->objectName()));
            }
        }
    }

    void eachItemCallsItsOwnFunction_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("called");
        QTest::newRow("Einstellungen") << QStringLiteral("mnuEinstellungen") << QStringLiteral("einstellungen");
        QTest::newRow("Programmende") << QStringLiteral("mnuProgrammende") << QStringLiteral("programmende");
        QTest::newRow("Doku") << QStringLiteral("mnuDoku") << QStringLiteral("helpContents");
        QTest::newRow("Über") << QStringLiteral("mnuUeber") << QStringLiteral("ueber");
    }
    void eachItemCallsItsOwnFunction()
    {
        QFETCH(QString, item);
        QFETCH(QString, called);
        auto* action = m_window->findChild<QAction*>(item);
        QVERIFY(action);
        action->trigger();
        QCOMPARE(m_calls, (std::map<QString, int>{{called, 1}}));
    }

    // The user's way: click the menu's title in the bar, then the item in the opened menu.
    void clickingThroughTheMenuCallsTheFunction_data()
    {
        QTest::addColumn<int>("menu");
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("called");
        QTest::newRow("Basisdaten/Programmende")
            << 0 << QStringLiteral("Programmende") << QStringLiteral("programmende");
        QTest::newRow("Sonstiges/Über") << 1 << QString::fromUtf8("Über") << QStringLiteral("ueber");
    }
    void clickingThroughTheMenuCallsTheFunction()
    {
        QFETCH(int, menu);
        QFETCH(QString, item);
        QFETCH(QString, called);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        auto* bar = m_window->menuBar();
        QAction* title = bar->actions().at(menu);
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(title).center());
        QMenu* popup = title->menu();
        QTRY_VERIFY(popup->isVisible());
        if (menu == 1) {
            testsupport::savePng(popup, QStringLiteral("mnuMain-Sonstiges"));
        } else {
            testsupport::savePng(popup, QStringLiteral("mnuMain-Basisdaten"));
        }
        QAction* target = nullptr;
        for (QAction* action : popup->actions()) {
            if (action->text() == item) {
                target = action;
            }
        }
        QVERIFY(target);
        QTest::mouseClick(popup, Qt::LeftButton, {}, popup->actionGeometry(target).center());
        QTRY_COMPARE(m_calls, (std::map<QString, int>{{called, 1}}));
        QTRY_VERIFY(!popup->isVisible());
    }

    // F1 belongs to the whole window: it opens the help whatever has the focus, without opening a menu.
    void f1AnywhereInTheWindowCallsTheHelp()
    {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        m_edit->setFocus();
        QTRY_VERIFY(m_edit->hasFocus());
        testsupport::savePng(m_window.get(), QStringLiteral("mnuMain-window"));

        QTest::keyClick(m_window.get(), Qt::Key_F1);
        QCOMPARE(m_calls, (std::map<QString, int>{{QStringLiteral("helpContents"), 1}}));
        QTest::keyClick(m_edit, Qt::Key_F1);
        QCOMPARE(m_calls, (std::map<QString, int>{{QStringLiteral("helpContents"), 2}}));
        QVERIFY(!QApplication::activePopupWidget());
        // The text field did not take the key as input.
        QVERIFY(m_edit->text().isEmpty());
    }

    // The accelerator is F1 alone: with Shift, Ctrl or Alt held, or another function key, nothing happens.
    void f1WithAModifierOrAnotherKeyDoesNothing()
    {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        m_edit->setFocus();
        QTest::keyClick(m_edit, Qt::Key_F1, Qt::ShiftModifier);
        QTest::keyClick(m_edit, Qt::Key_F1, Qt::ControlModifier);
        QTest::keyClick(m_edit, Qt::Key_F1, Qt::AltModifier);
        QTest::keyClick(m_edit, Qt::Key_F2);
        QCOMPARE(m_calls, (std::map<QString, int>{}));
    }

    // A window without a function for an item: choosing the item does nothing, and the program goes on.
    void anItemWithoutAFunctionDoesNothing()
    {
        QMainWindow window;
        window.setMenuBar(new app::gui::MnuMain(&window, {}));
        for (auto* action : window.findChildren<QAction*>()) {
            action->trigger();
        }
        auto partial = counting();
        partial.einstellungen = nullptr;
        QMainWindow other;
        other.setMenuBar(new app::gui::MnuMain(&other, partial));
        other.findChild<QAction*>(QStringLiteral("mnuEinstellungen"))->trigger();
        other.findChild<QAction*>(QStringLiteral("mnuUeber"))->trigger();
        QCOMPARE(m_calls, (std::map<QString, int>{{QStringLiteral("ueber"), 1}}));
    }

private:
    app::gui::MenuActions counting()
    {
        return {[this] { ++m_calls[QStringLiteral("einstellungen")]; },
                [this] { ++m_calls[QStringLiteral("programmende")]; },
                [this] { ++m_calls[QStringLiteral("helpContents")]; },
                [this] { ++m_calls[QStringLiteral("ueber")]; }};
    }

    std::map<QString, int> m_calls;
    std::unique_ptr<QMainWindow> m_window;
    QLineEdit* m_edit = nullptr;
};

QTEST_MAIN(MnuMainTest)
#include "MnuMainTest.moc"
