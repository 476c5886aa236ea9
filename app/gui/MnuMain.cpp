#include "app/gui/MnuMain.h"

#include "base/Program.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>

#include <utility>

namespace app::gui {

MnuMain::MnuMain(QWidget* parent, MenuActions actions)
    : QMenuBar(parent)
{
    setObjectName(QStringLiteral("mnuMain"));

    QMenu* basisdaten = addMenu(QStringLiteral("&Basisdaten"));
    basisdaten->setObjectName(QStringLiteral("mnuBasisdaten"));
    addItem(basisdaten,
            QStringLiteral("&Einstellungen"),
            QStringLiteral("mnuEinstellungen"),
            std::move(actions.einstellungen));
    basisdaten->addSeparator();
    addItem(basisdaten,
            QStringLiteral("&Programmende"),
            QStringLiteral("mnuProgrammende"),
            std::move(actions.programmende));

    if (base::IsVexaProject()) {
        QMenu* rksv = addMenu(QStringLiteral("&RKSV"));
        rksv->setObjectName(QStringLiteral("mnuRksv"));
        addItem(rksv,
                QString::fromUtf8("&Statusbelege …"),
                QStringLiteral("mnuStatusbelege"),
                std::move(actions.statusbelege));
        addItem(rksv,
                QString::fromUtf8("DEP &exportieren …"),
                QStringLiteral("mnuDepExport"),
                std::move(actions.depExport));
        addItem(
            rksv, QString::fromUtf8("DEP &prüfen …"), QStringLiteral("mnuDepPruefen"), std::move(actions.depPruefen));
    }

    QMenu* sonstiges = addMenu(QStringLiteral("&Sonstiges"));
    sonstiges->setObjectName(QStringLiteral("mnuSonstiges"));
    QAction* doku =
        addItem(sonstiges, QStringLiteral("&Doku"), QStringLiteral("mnuDoku"), std::move(actions.helpContents));
    // The menu shows the key right-aligned beside the text. As a window shortcut the key works anywhere in the
    // window the bar belongs to, whatever has the focus, with the menu closed.
    doku->setShortcut(QKeySequence(Qt::Key_F1));
    doku->setShortcutContext(Qt::WindowShortcut);
    addItem(sonstiges, QString::fromUtf8("Ü&ber"), QStringLiteral("mnuUeber"), std::move(actions.ueber));
}

QAction* MnuMain::addItem(QMenu* menu, const QString& text, const QString& name, std::function<void()> call)
{
    QAction* action = menu->addAction(text);
    action->setObjectName(name);
    connect(action, &QAction::triggered, this, [call = std::move(call)] {
        if (call) {
            call();
        }
    });
    return action;
}

} // namespace app::gui
