// A library opened on first use that is not there: its functions answer as the library does when it fails, and the
// program goes on.
#include "base/LateLibrary.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

extern "C" {
// The functions of a library this installation lacks, as its header would declare them.
int quorvexLateCount(int step);
const char* quorvexLateName();
void quorvexLateReset(int* value);
}

LATE_LIBRARY("libquorvex-fehlt.so.7", "Quorvex-Test")
LATE1(quorvexLateCount)
LATE0(quorvexLateName)
LATE1(quorvexLateReset)

namespace {

TEST(LateLibraryTest, AMissingLibraryEndsNothingAndSaysWhichItIs)
{
    EXPECT_EQ(base::lateLibraryProblem(), "");
    for (int call = 0; call < 2; ++call) { // the failed look-up is kept, the second call answers the same
        EXPECT_EQ(quorvexLateCount(5), 0);
        EXPECT_EQ(quorvexLateName(), nullptr);
        int value = 3;
        quorvexLateReset(&value);
        EXPECT_EQ(value, 3);
    }
    const std::string problem = base::lateLibraryProblem();
    EXPECT_TRUE(problem.starts_with("Die Bibliothek Quorvex-Test (libquorvex-fehlt.so.7) kann nicht geladen werden: "))
        << problem;
    EXPECT_NE(problem.find("libquorvex-fehlt.so.7:"), std::string::npos) << "the loader's reason: " << problem;
}

TEST(LateLibraryTest, TheForwardersAreNotInTheDynamicSymbolTable)
{
    // The test is linked with -rdynamic like the program: a default-visibility forwarder would be found here.
    void* self = dlopen(nullptr, RTLD_NOW);
    ASSERT_NE(self, nullptr);
    for (const char* name : {"quorvexLateCount", "quorvexLateName", "quorvexLateReset"}) {
        EXPECT_EQ(dlsym(self, name), nullptr) << name;
    }
    EXPECT_NE(dlsym(self, "main"), nullptr) << "the table holds the program's other functions";
    dlclose(self);
}

} // namespace
