#include "app/gui/MnuMain.h"

#include "app/gui/Application.h"
#include "base/Program.h"
#include "tests/support/Modal.h"
#include "tests/support/ProgramStateGuard.h"

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
        // The menu "RKSV" comes with a host product; most tests need every item.
        m_state = std::make_unique<testsupport::ProgramStateGuard>();
        base::program().HostProduct = "PLUMOXA";
        makeWindow();
    }
    void cleanup()
    {
        m_window.reset();
        m_edit = nullptr;
        m_state.reset();
    }

    void menusAndItemsInTheirOrder_data()
    {
        QTest::addColumn<QString>("hostProduct");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<QStringList>("names");
        const QStringList always = {QStringLiteral("mnuEinstellungen"),
                                    QStringLiteral("mnuProgrammende"),
                                    QStringLiteral("mnuDoku"),
                                    QStringLiteral("mnuUeber")};
        QTest::newRow("ohne Hostprodukt")
            << QString() << QStringList({QStringLiteral("&Basisdaten"), QStringLiteral("&Sonstiges")}) << always;
        QTest::newRow("mit Hostprodukt") << QStringLiteral("PLUMOXA")
                                         << QStringList({QStringLiteral("&Basisdaten"),
                                                         QStringLiteral("&RKSV"),
                                                         QStringLiteral("&Sonstiges")})
                                         << QStringList({QStringLiteral("mnuEinstellungen"),
                                                         QStringLiteral("mnuProgrammende"),
                                                         QStringLiteral("mnuStatusbelege"),
                                                         QStringLiteral("mnuDepExport"),
                                                         QStringLiteral("mnuDepPruefen"),
                                                         QStringLiteral("mnuDoku"),
                                                         QStringLiteral("mnuUeber")});
    }
    void menusAndItemsInTheirOrder()
    {
        QFETCH(QString, hostProduct);
        QFETCH(QStringList, titles);
        QFETCH(QStringList, names);
        base::program().HostProduct = hostProduct.toStdString();
        makeWindow();
        auto* bar = m_window->findChild<app::gui::MnuMain*>(QStringLiteral("mnuMain"));
        QVERIFY(bar);
        QCOMPARE(m_window->menuBar(), bar);
        QStringList shownTitles;
        QList<QMenu*> menus;
        for (QAction* action : bar->actions()) {
            shownTitles << action->text();
            menus << action->menu();
        }
        QCOMPARE(shownTitles, titles);
        QVERIFY(menus.front() && menus.back());
        QCOMPARE(itemsOf(menus.front()),
                 QStringList({QStringLiteral("&Einstellungen"), QStringLiteral("-"), QStringLiteral("&Programmende")}));
        QCOMPARE(itemsOf(menus.back()), QStringList({QStringLiteral("&Doku"), QString::fromUtf8("Ü&ber")}));
        if (menus.size() == 3) {
            QCOMPARE(itemsOf(menus[1]),
                     QStringList({QString::fromUtf8("&Statusbelege …"),
                                  QString::fromUtf8("DEP &exportieren …"),
                                  QString::fromUtf8("DEP &prüfen …")}));
        }
        QStringList shownNames;
        for (QMenu* menu : menus) {
            for (const QAction* action : menu->actions()) {
                if (!action->isSeparator()) {
                    shownNames << action->objectName();
                }
            }
        }
        QCOMPARE(shownNames, names);
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
        QTest::newRow("Statusbelege") << QStringLiteral("mnuStatusbelege") << QStringLiteral("statusbelege");
        QTest::newRow("DEP exportieren") << QStringLiteral("mnuDepExport") << QStringLiteral("depExport");
        QTest::newRow("DEP prüfen") << QStringLiteral("mnuDepPruefen") << QStringLiteral("depPruefen");
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
            << 0 << QStringLiteral("&Programmende") << QStringLiteral("programmende");
        QTest::newRow("RKSV/DEP prüfen") << 1 << QString::fromUtf8("DEP &prüfen …") << QStringLiteral("depPruefen");
        QTest::newRow("Sonstiges/Über") << 2 << QString::fromUtf8("Ü&ber") << QStringLiteral("ueber");
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
        testsupport::savePng(popup, QStringLiteral("mnuMain-") + title->text());
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

    // The keyboard's way: Alt and the menu's letter open the menu, the item's letter chooses the item.
    void altLetterOpensTheMenuAndTheLetterChoosesTheItem_data() { clickingThroughTheMenuCallsTheFunction_data(); }
    void altLetterOpensTheMenuAndTheLetterChoosesTheItem()
    {
        QFETCH(int, menu);
        QFETCH(QString, item);
        QFETCH(QString, called);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        m_edit->setFocus();
        const auto letter = [](const QString& text) { return QKeySequence::mnemonic(text)[0].key(); };
        QTest::keyClick(m_edit, letter(m_window->menuBar()->actions().at(menu)->text()), Qt::AltModifier);
        QTRY_VERIFY(QApplication::activePopupWidget());
        QTest::keyClick(QApplication::activePopupWidget(), letter(item));
        QTRY_COMPARE(m_calls, (std::map<QString, int>{{called, 1}}));
        QVERIFY(m_edit->text().isEmpty());
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
        const auto count = [this](const char* name) { return [this, name] { ++m_calls[QLatin1String(name)]; }; };
        return {.einstellungen = count("einstellungen"),
                .programmende = count("programmende"),
                .statusbelege = count("statusbelege"),
                .depExport = count("depExport"),
                .depPruefen = count("depPruefen"),
                .helpContents = count("helpContents"),
                .ueber = count("ueber")};
    }

    void makeWindow()
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

    std::unique_ptr<testsupport::ProgramStateGuard> m_state;
    std::map<QString, int> m_calls;
    std::unique_ptr<QMainWindow> m_window;
    QLineEdit* m_edit = nullptr;
};

QTEST_MAIN(MnuMainTest)
#include "MnuMainTest.moc"
