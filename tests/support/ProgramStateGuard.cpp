#include "tests/support/ProgramStateGuard.h"

#include "base/Dialogs.h"
#include "db/Database.h"

#include <filesystem>
#include <utility>

namespace testsupport {

ProgramStateGuard::ProgramStateGuard()
    : m_program(std::exchange(base::program(), base::Program{}))
    , m_dialogs(base::setDialogs(nullptr))
    , m_workingDirectory(std::filesystem::current_path().string())
    , m_connection(db::programConnection())
{
    // Reading the installed dialogs replaces them; put them straight back.
    base::setDialogs(m_dialogs);
}

ProgramStateGuard::~ProgramStateGuard()
{
    db::setProgramConnection(std::move(m_connection));
    std::error_code ignored;
    std::filesystem::current_path(m_workingDirectory, ignored);
    base::setDialogs(m_dialogs);
    base::setClock({});
    base::program() = std::move(m_program);
}

void ProgramStateGuard::startIn(const std::string& folder)
{
    std::filesystem::current_path(folder);
    base::program().DefaultDir = folder;
}

void ProgramStateGuard::setClock(base::LocalDateTime moment)
{
    base::setClock([moment] { return moment; });
}

void ProgramStateGuard::openConnection(const std::string& connectionString)
{
    base::program().connections.datenbank = connectionString;
    db::setProgramConnection(nullptr);
    db::openProgramConnection();
}

} // namespace testsupport
