#include "tests/support/CardRig.h"

#include "tests/support/ChainCheck.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace testsupport {

namespace {

// The software unit's readers, or the folder the PKCS#11 cards are made in before they go onto their tokens.
constexpr const char* CARDS = "Karten";
constexpr const char* AWAY = "weg";
constexpr const char* CARD_STATE = "kartenzustand";

} // namespace

std::string nameOf(CardKind kind)
{
    return kind == CardKind::Software ? "Software" : "Pkcs11";
}

CardRig::CardRig(CardKind kind, const std::string& folder)
    : m_kind(kind)
    , m_folder(folder)
{
    std::filesystem::create_directories(m_folder + "/" + CARDS);
    if (m_kind == CardKind::Pkcs11) {
        m_hsm = std::make_unique<SoftHsm>(m_folder + "/softhsm");
        std::filesystem::create_directories(m_folder + "/" + CARD_STATE);
        ::setenv("QUORVEX_CARD_MODULE_STATE", (m_folder + "/" + CARD_STATE).c_str(), 1);
    }
}

CardRig::~CardRig()
{
    if (m_kind == CardKind::Pkcs11) {
        ::unsetenv("QUORVEX_CARD_MODULE_STATE");
    }
}

std::string CardRig::signatur() const
{
    if (m_kind == CardKind::Software) {
        return "Software:" + m_folder + "/" + CARDS;
    }
    return std::string("PKCS11:") + test_paths::CARD_PKCS11_MODULE + ";vda=" + std::string(rksv::SoftwareUnit::VDA_ID);
}

std::string CardRig::createCard(const std::string& name,
                                const std::string& pin,
                                const std::string& caDir,
                                rksv::TestCardIssuer issuer)
{
    const std::string cards = m_folder + "/" + CARDS;
    std::string serial;
    std::string error;
    EXPECT_TRUE(rksv::createTestCard(cards, name, pin, "", caDir, serial, error, issuer)) << error;
    const std::string folder = cards + "/" + name;
    m_certificates[name] = certificateOfReader(folder);
    if (m_kind == CardKind::Software) {
        m_readers[name] = name;
        return serial;
    }
    const auto reader = m_hsm->addToken(name,
                                        pin,
                                        readBytes(folder + "/key.pem"),
                                        readBytes(folder + "/certificate.pem"),
                                        readBytes(folder + "/chain.pem"));
    EXPECT_TRUE(reader) << m_hsm->error();
    m_readers[name] = reader.value_or("");
    std::filesystem::remove_all(folder); // the card lives on its token only
    return serial;
}

std::string CardRig::reader(const std::string& name) const
{
    const auto it = m_readers.find(name);
    return it != m_readers.end() ? it->second : std::string();
}

std::string CardRig::certificate(const std::string& name) const
{
    const auto it = m_certificates.find(name);
    return it != m_certificates.end() ? it->second : std::string();
}

void CardRig::takeOut(const std::string& name)
{
    if (m_kind == CardKind::Software) {
        std::filesystem::create_directories(m_folder + "/" + AWAY);
        std::filesystem::rename(m_folder + "/" + CARDS + "/" + name, m_folder + "/" + AWAY + "/" + name);
    } else {
        EXPECT_TRUE(m_hsm->removeToken(name)) << m_hsm->error();
    }
}

void CardRig::putBack(const std::string& name)
{
    if (m_kind == CardKind::Software) {
        std::filesystem::rename(m_folder + "/" + AWAY + "/" + name, m_folder + "/" + CARDS + "/" + name);
    } else {
        // SoftHSM2 numbers a token's slot anew when it is made again: the card comes back in another reader.
        const auto reader = m_hsm->putBack(name);
        ASSERT_TRUE(reader) << m_hsm->error();
        m_readers[name] = *reader;
    }
}

int CardRig::wrongPins(const std::string& name) const
{
    const std::string file = m_kind == CardKind::Software ? m_folder + "/" + CARDS + "/" + name + "/"
                                                                + std::string(rksv::SoftwareUnit::PIN_ERROR_FILE)
                                                          : m_folder + "/" + CARD_STATE + "/" + name + ".pin-fehler";
    const std::string text = readBytes(file);
    return text.empty() ? 0 : std::stoi(text);
}

long CardRig::pinChecks(const std::string& name) const
{
    if (m_kind == CardKind::Software) {
        return rksv::SoftwareUnit::pinChecks(m_folder + "/" + CARDS + "/" + name);
    }
    const std::string text = readBytes(m_folder + "/" + CARD_STATE + "/" + name + ".pin-pruefungen");
    return text.empty() ? 0 : std::stol(text);
}

void CardRig::setFailed(const std::string& name, bool failed)
{
    const std::string marker = m_kind == CardKind::Software ? m_folder + "/" + CARDS + "/" + name + "/"
                                                                  + std::string(rksv::SoftwareUnit::FAILED_MARKER)
                                                            : m_folder + "/" + CARD_STATE + "/" + name + ".ausgefallen";
    if (failed) {
        std::ofstream(marker) << "";
    } else {
        std::filesystem::remove(marker);
    }
}

} // namespace testsupport
