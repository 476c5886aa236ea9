#pragma once

#include "tests/support/FonTestService.h"
#include "tests/support/TempDir.h"
#include "tests/support/X11Session.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

//! What a command of the command line gave back.
struct CommandOutcome
{
    int exit = -1; //!< -1 when it did not end in time
    std::string out;
    std::string err;
};

/**
 * A person's way through the program: a fresh demo installation made by tools/demo-install.sh (company 01 with login
 * data the local test service accepts, 02 with a wrong PIN; a PLUMOXA till database whose receipts the demo card
 * "Leser 1", PIN 123456, signed), the local FinanzOnline test service, and the real programs started in it. The
 * windowed program runs under a private Xvfb and is driven by keys from outside (xdotool over XTEST), as a user's
 * keyboard drives it; a message box's text is read as a user copies it (Ctrl+C, then the clipboard through xclip).
 *
 * The journey keeps a connection of its own to the display, as a desktop's other clients do, so the X server does not
 * reset between the program's first look at the display and its own connection.
 */
class Journey
{
public:
    //! Makes the installation with `receipts` generated receipts (the demo has 4 000). ready() tells whether it worked.
    explicit Journey(int receipts = 300);
    ~Journey();
    Journey(const Journey&) = delete;
    Journey& operator=(const Journey&) = delete;

    //! "" when the installation, the test service and the display are there; otherwise why not.
    const std::string& problem() const { return m_problem; }
    bool ready() const { return m_problem.empty(); }

    //! The installation folder (absolute, ending with "/") and a file in it.
    std::string folder() const { return m_dir.path(); }
    std::string file(const std::string& name) const { return m_dir.file(name); }
    //! The ODBC connection string of the installation's database.
    const std::string& database() const { return m_database; }
    FonTestService& service() { return *m_service; }
    const std::string& display() const { return m_xvfb.display(); }

    //! Runs the command line vexa-quorvex-rksv in the installation folder, at most `timeout`.
    CommandOutcome command(const std::vector<std::string>& args,
                           std::chrono::seconds timeout = std::chrono::seconds(120)) const;

    //! Starts the windowed program in the installation folder and waits for its main window; false when it did not
    //! show within 30 s.
    bool start();
    //! Starts the windowed program and leaves it to the test what to wait for.
    void launch();
    //! The running program (nullptr before start()).
    Process* program() { return m_program.get(); }
    //! The main window's id.
    unsigned mainWindow() const { return m_mainWindow; }

    //! Presses keys as xdotool names them ("alt+r", "Return", "ctrl+c"), one after the other, into the window that has
    //! the keyboard focus.
    void keys(const std::vector<std::string>& keys) const;
    //! Types a text into the focused field.
    void type(const std::string& text) const;
    //! Waits until a top-level window whose title contains `title` is shown; nothing after `timeout`.
    std::optional<XWindow> waitFor(const std::string& title,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    //! Waits until no top-level window whose title contains `title` is shown; false after `timeout`.
    bool waitGone(const std::string& title, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    //! The text of the message box that has the focus, as Ctrl+C copies it ("" when nothing came).
    std::string messageText() const;
    //! Saves a picture of a window under the build's screenshot folder.
    bool screenshot(const std::string& title, const std::string& name) const;
    //! Closes the main window as a window manager does and waits for the program's exit code.
    std::optional<int> quit();

    //! The rows of an SQL query on the installation's database.
    std::vector<std::vector<std::string>> query(const std::string& sql) const;
    //! The installation's ERROR.LOG ("" when there is none).
    std::string errorLog() const;

private:
    std::vector<std::string> environment() const;

    TempDir m_dir;
    std::unique_ptr<FonTestService> m_service;
    Xvfb m_xvfb;
    std::shared_ptr<void> m_displayHold;
    std::string m_database;
    std::string m_problem;
    std::unique_ptr<Process> m_program;
    unsigned m_mainWindow = 0;
};

} // namespace testsupport
