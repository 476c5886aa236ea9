#include "base/ErrorLog.h"

#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

using testsupport::readBytes;

// Not inlined and not local, so that it shows in the call stack under its own name.
[[gnu::noinline]] void failingStatement();
void failingStatement()
{
    throw base::PlatformError("SQL-Fehler: Tabelle BONS fehlt");
}

namespace {

class ErrorLogTest : public ::testing::Test
{
protected:
    testsupport::TempDir dir;
    testsupport::ScopedCwd cwd{dir.path()};
    testsupport::ScriptedDialogs shown;
};

TEST_F(ErrorLogTest, AnUnexpectedFailureIsLoggedWithItsOriginAndShown)
{
    try {
        failingStatement();
    } catch (const std::exception& error) {
        base::reportUnexpected(error);
    }
    const auto log = readBytes(dir.file("ERROR.LOG"));
    EXPECT_NE(log.find("SQL-Fehler: Tabelle BONS fehlt"), std::string::npos);
    EXPECT_NE(log.find("Aufrufstapel:"), std::string::npos);
    EXPECT_NE(log.find("failingStatement"), std::string::npos) << "the stack where it was raised:\n" << log;

    ASSERT_EQ(shown.shown().size(), 1u);
    EXPECT_EQ(shown.shown()[0].kind, "ErrorBox");
    EXPECT_NE(shown.shown()[0].text.find("SQL-Fehler: Tabelle BONS fehlt"), std::string::npos);
    EXPECT_NE(shown.shown()[0].text.find(dir.file("ERROR.LOG")), std::string::npos);
}

TEST_F(ErrorLogTest, RecordsAreAppended)
{
    base::reportUnexpected("erster");
    base::reportUnexpected(std::runtime_error("zweiter"));
    const auto log = readBytes(dir.file("ERROR.LOG"));
    const auto first = log.find("erster");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find("zweiter", first), std::string::npos);
    EXPECT_EQ(shown.shown().size(), 2u);
}

TEST_F(ErrorLogTest, AnUnwritableLogIsSaidInTheBox)
{
    ASSERT_EQ(::mkdir(dir.file("ERROR.LOG").c_str(), 0700), 0);
    base::reportUnexpected("kein Platz");
    ASSERT_EQ(shown.shown().size(), 1u);
    EXPECT_NE(shown.shown()[0].text.find("nicht"), std::string::npos);
    EXPECT_NE(shown.shown()[0].text.find("kein Platz"), std::string::npos);
}

} // namespace
