#pragma once

#include <QApplication>

#include <functional>
#include <optional>
#include <string>
#include <vector>

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

    //! The titles of the display's windows, read before the application was made, for the single-instance check;
    //! without them run() reads them itself.
    void setOpenWindowTitles(std::vector<std::string> titles) { m_openWindowTitles = std::move(titles); }

private:
    std::function<void(DtaMain&)> m_mainWindowSetup;
    std::optional<std::vector<std::string>> m_openWindowTitles;
};

//! Fixes the process-wide settings: German number text, the library's German texts (when its language module
//! can be loaded) and the default directory.
void fixProcessSettings(QApplication& application);

//! True when the Qt platform in use needs an X display (the default one does).
bool needsXDisplay();

/**
 * Qt's accessibility bridge asks for the D-Bus session bus as the first widget is made. Where none can be had (the
 * environment names none, none listens in the runtime folder, and there is no dbus-launch to start one), libdbus
 * still forks to look for dbus-launch, some 1.5 ms before the window shows. There this object tells libdbus at once
 * that there is no bus (DBUS_SESSION_BUS_ADDRESS "disabled:"), for the whole run: the environment is changed only
 * before any thread starts, never after. Programs opened from here inherit it; they would find no bus either.
 */
class SessionBusShortcut
{
public:
    //! Make it before any thread starts.
    explicit SessionBusShortcut(const std::string& bindir = "/usr/bin");
    SessionBusShortcut(const SessionBusShortcut&) = delete;
    SessionBusShortcut& operator=(const SessionBusShortcut&) = delete;

    [[nodiscard]] bool active() const { return m_active; }

    //! Whether libdbus can reach or start a session bus; `bindir` is where libdbus first looks for dbus-launch.
    static bool busObtainable(const std::string& bindir = "/usr/bin");

private:
    bool m_active = false;
};

} // namespace app::gui
