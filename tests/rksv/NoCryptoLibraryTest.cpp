// The program as it is installed without a usable libcrypto: it opens the library on first use (base/LateLibrary.h),
// so this test is linked like the program (the forwarders, --as-needed) and runs with a file in the library's place
// that is no library. Each feature that needs libcrypto refuses in German; nothing aborts.
#include "base/LateLibrary.h"
#include "base/Program.h"
#include "rksv/Rksv.h"
#include "rksv/depcheck/DepVerifier.h"
#include "rksv/format/OpenSsl.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const std::string MISSING = "Die Bibliothek OpenSSL (libcrypto.so.3) kann nicht geladen werden: ";

TEST(NoCryptoLibraryTest, EachFeatureSaysWhyAndNothingAborts)
{
    testsupport::TempDir dir;
    testsupport::ProgramStateGuard state;
    std::string why;
    EXPECT_FALSE(rksv::cryptoLibraryReady(why));
    EXPECT_TRUE(why.starts_with(MISSING)) << why;
    EXPECT_EQ(base::lateLibraryProblem(), why);

    struct Feature
    {
        const char* name;
        std::string message;
    };
    auto& p = base::program();
    p.DefaultDir = dir.path() + "/";
    p.HostProduct = "PLUMOXA";
    p.CompanyNumber = "0815";
    p.connections.signatur = "Software:" + dir.file("Karten");
    rksv::RKSV service(nullptr);
    std::istringstream dep(R"({"Belege-Gruppe": []})");
    const Feature features[] = {
        {"the signing service", service.accMsgFirst()},
        {"the DEP check of a stream", rksv::checkDep(dep, {}).error},
        {"the DEP check of a file", rksv::checkDepFile(dir.file("dep.json"), {}).error},
    };
    EXPECT_FALSE(service.accReady());
    EXPECT_EQ(features[0].message, "Die Signatureinheit ist nicht bereit: " + why);
    EXPECT_EQ(features[1].message, "Das DEP kann nicht geprüft werden: " + why);
    EXPECT_EQ(features[2].message, features[1].message) << "refused before the file is looked at";
    for (const auto& feature : features) {
        EXPECT_NE(feature.message.find("libcrypto.so.3"), std::string::npos) << feature.name;
    }
    // A function called all the same answers as the library does when it fails.
    EXPECT_EQ(rksv::certificateFromBase64("MIIB"), nullptr);
}

} // namespace
