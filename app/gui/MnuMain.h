#pragma once

#include <QMenuBar>

#include <functional>

class QAction;

namespace app::gui {

//! What the items of the main menu do. An empty function makes its item do nothing.
struct MenuActions
{
    std::function<void()> einstellungen; //!< "Basisdaten" / "Einstellungen": the settings window
    std::function<void()> programmende;  //!< "Basisdaten" / "Programmende": closes the main window
    std::function<void()> statusbelege;  //!< "RKSV" / "Statusbelege …": the status-receipt dialog
    std::function<void()> depExport;     //!< "RKSV" / "DEP exportieren …": the DEP export
    std::function<void()> depPruefen;    //!< "RKSV" / "DEP prüfen …": the check of a DEP file
    std::function<void()> helpContents;  //!< "Sonstiges" / "Doku" and F1: the help file at its contents
    std::function<void()> ueber;         //!< "Sonstiges" / "Über": the About box
};

/**
 * The main window's menu bar `mnuMain`: "Basisdaten" with "Einstellungen", a separator and "Programmende"; "RKSV"
 * with "Statusbelege …", "DEP exportieren …" and "DEP prüfen …"; "Sonstiges" with "Doku" (shortcut F1) and "Über".
 * The menu "RKSV" is there only when the installation names a host product (base::IsVexaProject(), the condition of
 * the form's "Aus RKSV einfügen"), read when the bar is made; a signing component need not be configured. F1 without
 * modifiers triggers "Doku" anywhere in the window the bar belongs to while that window is active. The bar calls the
 * given functions on the user-interface thread.
 */
class MnuMain : public QMenuBar
{
    Q_OBJECT

public:
    //! `parent` is the main window that shows the bar (QMainWindow::setMenuBar takes it over).
    MnuMain(QWidget* parent, MenuActions actions);

private:
    QAction* addItem(QMenu* menu, const QString& text, const QString& name, std::function<void()> call);
};

} // namespace app::gui
