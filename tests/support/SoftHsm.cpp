#include "tests/support/SoftHsm.h"

#include "tests/support/TempDir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <vector>

namespace testsupport {

namespace {

std::string quoted(const std::string& text)
{
    std::string result = "'";
    for (const char c : text) {
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return result + "'";
}

std::vector<std::string> pemCertificates(const std::string& pem)
{
    static const std::string END = "-----END CERTIFICATE-----";
    std::vector<std::string> certificates;
    std::size_t start = pem.find("-----BEGIN CERTIFICATE-----");
    while (start != std::string::npos) {
        const std::size_t end = pem.find(END, start);
        if (end == std::string::npos) {
            break;
        }
        certificates.push_back(pem.substr(start, end + END.size() - start) + "\n");
        start = pem.find("-----BEGIN CERTIFICATE-----", end);
    }
    return certificates;
}

} // namespace

SoftHsm::SoftHsm(const std::string& folder)
    : m_folder(folder)
{
    std::filesystem::create_directories(m_folder + "/tokens");
    writeBytes(m_folder + "/softhsm2.conf",
               "directories.tokendir = " + m_folder + "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
    if (const char* old = std::getenv("SOFTHSM2_CONF")) {
        m_oldConf = old;
    }
    ::setenv("SOFTHSM2_CONF", (m_folder + "/softhsm2.conf").c_str(), 1);
}

SoftHsm::~SoftHsm()
{
    if (m_oldConf) {
        ::setenv("SOFTHSM2_CONF", m_oldConf->c_str(), 1);
    } else {
        ::unsetenv("SOFTHSM2_CONF");
    }
}

bool SoftHsm::run(const std::string& command, std::string* output)
{
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        m_error = "cannot run: " + command;
        return false;
    }
    std::string text;
    char buffer[512];
    std::size_t read = 0;
    while ((read = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        text.append(buffer, read);
    }
    const int status = ::pclose(pipe);
    if (output != nullptr) {
        *output = text;
    }
    if (status != 0) {
        m_error = command + ":\n" + text;
        return false;
    }
    return true;
}

std::optional<std::string> SoftHsm::addToken(const std::string& label,
                                             const std::string& pin,
                                             const std::string& keyPem,
                                             const std::string& certificatePem,
                                             const std::string& chainPem)
{
    Card& card = m_cards[label];
    if (card.serial.empty()) {
        char serial[24];
        std::snprintf(serial, sizeof(serial), "%016d", ++m_next);
        card.serial = serial;
    }
    card.pin = pin;
    card.keyPem = keyPem;
    card.certificatePem = certificatePem;
    card.chainPem = chainPem;
    const std::string work = m_folder + "/import";
    std::filesystem::create_directories(work);
    const std::string tool =
        "pkcs11-tool --module " + quoted(MODULE) + " --token-label " + quoted(label) + " --login --pin " + quoted(pin);
    std::string output;
    if (!run("softhsm2-util --init-token --free --label " + quoted(label) + " --serial " + card.serial + " --pin "
                 + quoted(pin) + " --so-pin " + SO_PIN,
             &output)) {
        return std::nullopt;
    }
    std::smatch slot;
    if (!std::regex_search(output, slot, std::regex("reassigned to slot ([0-9]+)"))) {
        m_error = "no slot in: " + output;
        return std::nullopt;
    }
    writeBytes(work + "/key.pem", keyPem);
    if (!run("softhsm2-util --import " + quoted(work + "/key.pem") + " --file-pin " + quoted(pin) + " --token "
             + quoted(label) + " --label Karte --id 01 --pin " + quoted(pin))) {
        return std::nullopt;
    }
    std::filesystem::remove(work + "/key.pem");
    auto certificates = pemCertificates(certificatePem + chainPem);
    for (std::size_t i = 0; i < certificates.size(); ++i) {
        writeBytes(work + "/certificate.pem", certificates[i]);
        char id[24];
        std::snprintf(id, sizeof(id), "%02zx", i + 1);
        if (!run("openssl x509 -in " + quoted(work + "/certificate.pem") + " -outform der -out "
                 + quoted(work + "/certificate.der"))
            || !run(tool + " --write-object " + quoted(work + "/certificate.der") + " --type cert --id " + id
                    + " --label " + (i == 0 ? "Karte" : "Aussteller"))) {
            return std::nullopt;
        }
    }
    std::ostringstream reader;
    reader << "SoftHSM slot ID 0x" << std::hex << std::stoul(slot[1].str());
    return reader.str();
}

bool SoftHsm::removeToken(const std::string& label)
{
    return run("softhsm2-util --delete-token --token " + quoted(label));
}

std::optional<std::string> SoftHsm::putBack(const std::string& label)
{
    const auto it = m_cards.find(label);
    if (it == m_cards.end()) {
        m_error = "no token " + label + " was made";
        return std::nullopt;
    }
    const Card card = it->second;
    return addToken(label, card.pin, card.keyPem, card.certificatePem, card.chainPem);
}

} // namespace testsupport
