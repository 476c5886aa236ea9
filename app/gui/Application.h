#pragma once

#include <QApplication>

#include <functional>

namespace app::gui {

class DtaMain;

/**
 * The program's application object. Every failure that escapes an event handler (an exception thrown by the
 * platform layer) ends here: it is written with its call stack to ERROR.LOG and shown in an error box, and the
 * event loop goes on.
 */
class Application : public QApplication
{
    Q_OBJECT

public:
    Application(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    //! Start-up: process-wide settings, single-instance check, installation data, main window, event loop.
    //! Returns the exit code of the program.
    [[nodiscard]] int run();

    //! Called with the main window before it is shown: the executable wires in what lives outside this library
    //! (the settings window).
    void setMainWindowSetup(std::function<void(DtaMain&)> setup) { m_mainWindowSetup = std::move(setup); }

private:
    std::function<void(DtaMain&)> m_mainWindowSetup;
};

//! Fixes the process-wide settings: German number text, the library's German texts (when its language module
//! can be loaded) and the default directory.
void fixProcessSettings(QApplication& application);

//! True when the Qt platform in use needs an X display (the default one does).
bool needsXDisplay();

} // namespace app::gui
