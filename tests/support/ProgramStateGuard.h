#pragma once

#include "base/Clock.h"
#include "base/Program.h"

#include <memory>
#include <string>

namespace base {
class Dialogs;
} // namespace base

namespace db {
class Connection;
} // namespace db

namespace testsupport {

/**
 * The program-wide state one test changes, put back when the test ends. On construction it keeps base::program(),
 * the installed dialogs, the working directory and the program-wide database connection, and gives the test a fresh
 * base::Program. On destruction it restores all of them and the system clock (a clock a test sets ends with its
 * guard; the clock seam has no way to read the one before).
 *
 * Make the guard before, and end it after, whatever else changes this state for the test (ScriptedDialogs,
 * ScopedCwd): it restores what was there when it was made.
 */
class ProgramStateGuard
{
public:
    ProgramStateGuard();
    ~ProgramStateGuard();
    ProgramStateGuard(const ProgramStateGuard&) = delete;
    ProgramStateGuard& operator=(const ProgramStateGuard&) = delete;

    //! The program as started in `folder` (ending with "/"): it becomes the working directory and
    //! base::Program::DefaultDir.
    void startIn(const std::string& folder);
    //! Stops the clock at `moment`.
    void setClock(base::LocalDateTime moment);
    /**
     * Opens the program-wide connection on `connectionString`, as the program opens it from the installation file:
     * the string becomes base::Program::connections.datenbank and a connection opened before is closed first.
     * Throws base::PlatformError when the driver refuses.
     */
    void openConnection(const std::string& connectionString);

private:
    base::Program m_program;
    base::Dialogs* m_dialogs;
    std::string m_workingDirectory;
    std::shared_ptr<db::Connection> m_connection;
};

} // namespace testsupport
