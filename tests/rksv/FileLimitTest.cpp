// The signing side's writers past the file-size limit, each in a process with the signal action every program starts
// with (SIGXFSZ would end it without a word): the installation's secret, a card of the software unit, a receipt's QR
// image. Each fails with its German message, and no file or temporary file is left of what was being written.
#include "rksv/InstallationSecret.h"
#include "rksv/format/QrImage.h"
#include "rksv/units/SoftwareUnit.h"
#include "tests/support/ChildWrite.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct LimitedWriter
{
    const char* name;
    // Writes into the folder (ending with "/"), gives back the message; "written" when it was written.
    std::function<std::string(const std::string& folder)> write;
    // How the message begins.
    std::string message;
    // Whether the message gives the reason (the QR image's writer answers only yes or no; its caller says which file).
    bool reason = true;
};

void PrintTo(const LimitedWriter& writer, std::ostream* out)
{
    *out << writer.name;
}

// Every file below the folder, folders left out.
std::vector<std::string> filesBelow(const std::string& folder)
{
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_directory()) {
            files.push_back(fs::relative(entry.path(), folder).string());
        }
    }
    return files;
}

class FileLimitTest : public testing::TestWithParam<LimitedWriter>
{
};

TEST_P(FileLimitTest, aWritePastTheLimitIsReportedAndLeavesNothing)
{
    testsupport::TempDir dir;
    const auto child = testsupport::writeInChildPastSizeLimit([&] { return GetParam().write(dir.path()); });
    EXPECT_EQ(child.ended, "exit 0") << "SIGXFSZ would end it as 'signal 25'";
    EXPECT_EQ(child.text.rfind(GetParam().message, 0), 0u) << child.text;
    EXPECT_TRUE(!GetParam().reason
                || child.text.find("Die Datei würde größer, als das System erlaubt.") != std::string::npos)
        << child.text;
    EXPECT_EQ(filesBelow(dir.path()), std::vector<std::string>{});
}

TEST_P(FileLimitTest, withoutTheLimitItIsWritten)
{
    testsupport::TempDir dir;
    EXPECT_EQ(GetParam().write(dir.path()), "written");
    EXPECT_FALSE(filesBelow(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Writers,
    FileLimitTest,
    testing::Values(LimitedWriter{"installationSecret",
                                  [](const std::string& folder) {
                                      std::string error;
                                      const auto secret = rksv::installationSecret(folder, true, error);
                                      return secret ? std::string("written") : error;
                                  },
                                  "AES-Geheimnis der Installation nicht gespeichert: "},
                    LimitedWriter{"softwareUnitCard",
                                  [](const std::string& folder) {
                                      std::string serial;
                                      std::string error;
                                      const bool made = rksv::createTestCard(
                                          fs::path(folder) / "Karten", "Leser 1", "123456", "", {}, serial, error);
                                      return made ? std::string("written") : error;
                                  },
                                  "Die Kartendateien konnten nicht in "},
                    LimitedWriter{"qrImage",
                                  [](const std::string& folder) {
                                      const std::vector<std::uint8_t> image(4096, 0x42);
                                      const bool written = rksv::writeFileAtomically(folder + "qr.png", image);
                                      return std::string(written ? "written" : "nicht gespeichert");
                                  },
                                  "nicht gespeichert",
                                  false}),
    [](const testing::TestParamInfo<LimitedWriter>& info) { return std::string(info.param.name); });

} // namespace
