#include "tests/support/Process.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <signal.h>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using testsupport::Process;

TEST(Process, GivesTheProgramItsEnvironmentFolderAndOutputAndReportsHowItEnded)
{
    testsupport::TempDir dir;
    testsupport::writeBytes(dir.file("log"), "vorher\n");
    ::setenv("QV_WEG", "da", 1);
    const std::string script = "echo \"$QV_A|${QV_WEG-ohne}|$PWD\"; echo fehler >&2; exit 3";
    const struct
    {
        Process::Options options;
        std::optional<int> exit;
        std::string out, err, log;
    } rows[] = {
        {{.argv = {"sh", "-c", script}, .env = {"QV_A=1", "QV_WEG"}, .workingDir = dir.path()},
         3,
         "1|ohne|" + dir.path().substr(0, dir.path().size() - 1) + "\n",
         "fehler\n",
         "vorher\n"},
        {{.argv = {"sh", "-c", "echo aus; echo fehler >&2"},
          .output = Process::Output::Appended,
          .logFile = dir.file("log")},
         0,
         "",
         "",
         "vorher\naus\nfehler\n"},
        {{.argv = {"sh", "-c", "kill -TERM $$"}}, -SIGTERM, "", "", "vorher\naus\nfehler\n"},
        {{.argv = {"quorvex-gibt-es-nicht"}}, 127, "", "", "vorher\naus\nfehler\n"},
    };
    for (const auto& row : rows) {
        Process process(row.options);
        EXPECT_EQ(process.wait(10s), row.exit) << row.options.argv.back();
        EXPECT_EQ(process.standardOutput(), row.out);
        EXPECT_EQ(process.standardError(), row.err);
        EXPECT_EQ(testsupport::readBytes(dir.file("log")), row.log);
    }
}

TEST(Process, StartsWithDefaultSignalsAndIsKilledWhenItIgnoresSigterm)
{
    sigset_t usr1, before;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &before);
    const auto pipeHandler = ::signal(SIGPIPE, SIG_IGN);
    Process status({.argv = {"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"}});
    Process stubborn({.argv = {"sh", "-c", "trap '' TERM; echo bereit; exec sleep 30"}});
    ::signal(SIGPIPE, pipeHandler);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);

    ASSERT_EQ(status.wait(10s), 0);
    const std::string masks = status.standardOutput();
    EXPECT_EQ(masks.find("SigBlk:\t0000000000000000\n"), 0u) << masks;
    const auto ignored = std::stoull(masks.substr(masks.find("SigIgn:\t") + 8, 16), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << masks;

    for (int i = 0; i < 1000 && stubborn.standardOutput().empty(); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(stubborn.running());
    EXPECT_EQ(stubborn.terminate(200ms), -SIGKILL);
    EXPECT_FALSE(stubborn.running());
    Process plain({.argv = {"sleep", "30"}});
    EXPECT_EQ(plain.terminate(10s), -SIGTERM);
}
