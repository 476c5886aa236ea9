#include "rksv/Rksv.h"

#include "base/Cp1252.h"
#include "base/Files.h"
#include "base/IniFile.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "rksv/InstallationSecret.h"
#include "rksv/format/OpenSsl.h"
#include "rksv/format/TurnoverCounter.h"

namespace rksv {

namespace {

//! The AES key's check value beside the stored basis.
constexpr const char* CHECK_ENTRY = "AES-Prüfwert";

} // namespace

RKSV::RKSV(void* owner)
{
    Init(owner);
}

std::string RKSV::accAesBasis() const
{
    const auto product = base::toUpper(base::program().HostProduct);
    return product + "|" + base::program().CompanyNumber + "|" + product;
}

void RKSV::record(const std::string& message)
{
    m_msgLast = message;
    if (m_msgFirst.empty()) {
        m_msgFirst = message;
    }
}

void RKSV::clearMessages()
{
    m_msgFirst.clear();
    m_msgLast.clear();
}

RKSV& RKSV::Init(void* owner)
{
    // Keys, signatures and certificates all need libcrypto: without it the service is not ready, and says why.
    if (std::string why; !cryptoLibraryReady(why)) {
        record("Die Signatureinheit ist nicht bereit: " + why);
        m_component.reset();
        return *this;
    }
    m_component = std::make_unique<QUORVEX>(base::program().connections.signatur);
    if (!m_component->fInit()) {
        record("Init: Objekt Quorvex nicht angelegt");
        m_component.reset();
        return *this;
    }
    const auto basis = accAesBasis();
    if (base::utf8Length(base::program().CompanyNumber) != 4 || basis.size() < 16) {
        m_component.reset();
        return *this;
    }
    // The key comes from the public basis and the installation's secret. The key's check value, kept beside the
    // basis, tells a lost or exchanged secret from an installation's first start.
    const auto product = base::toUpper(base::program().HostProduct);
    base::IniFile ini(base::program().DefaultDir + product + ".INI");
    const bool iniExists = ini.Exists();
    // An INI file that cannot be read would hide the stored check value: refused, as a lost secret is.
    std::string problem;
    const auto content = iniExists ? ini.Read(problem) : base::IniContent();
    if (!problem.empty()) {
        record(problem);
        m_component.reset();
        return *this;
    }
    const auto storedCheck = content.GetString(product, CHECK_ENTRY);
    std::string error;
    const auto secret = installationSecret(base::program().DefaultDir, storedCheck.empty(), error);
    if (!secret) {
        record(error);
        m_component.reset();
        return *this;
    }
    const auto key = GenerateAES256Key(basis + "|" + *secret);
    if (key.empty()) {
        m_component.reset();
        return *this;
    }
    // The basis is stored the first time; a changed basis would give the till another key.
    if (iniExists) {
        const auto stored = content.GetString(product, "AES-Basis");
        if (stored.empty()) {
            ini.WriteString(product, "AES-Basis", basis);
        } else if (stored != basis) {
            record("AES-Basis geändert: \r\n" + stored + " -> " + basis);
            m_component.reset();
            return *this;
        }
        const auto check = aesKeyCheckValue(key);
        if (storedCheck.empty()) {
            ini.WriteString(product, CHECK_ENTRY, check);
        } else if (storedCheck != check) {
            record("AES-Geheimnis der Installation passt nicht zum gespeicherten Schlüssel (Prüfwert " + storedCheck
                   + "): " + base::program().DefaultDir + SECRET_FILE);
            m_component.reset();
            return *this;
        }
    }
    m_aes256 = key;
    m_owner = owner;
    clearMessages();
    return *this;
}

RKSV& RKSV::Close()
{
    m_component.reset();
    return *this;
}

std::string RKSV::ConvertJWSCompactToText(const std::string& jws)
{
    std::string text;
    std::string error;
    if (!m_component || !(*m_component)->ConvertJWSCompactToText(jws, text, error) || text.empty()) {
        record(text.empty() ? "Kein gültiger JWS-String" : "ConvertJWSCompactToText: " + error);
        return {};
    }
    return text;
}

bool RKSV::VerifyPin(const std::string& pin)
{
    if (pin.empty() || !m_component || !(*m_component)->VerifyPin(m_reader, pin)) {
        const auto problem = pin.empty() || !m_component ? std::string() : (*m_component)->PinProblem();
        record(problem.empty() ? std::string("VerifyPin: Pin Code nicht korrekt") : "VerifyPin: " + problem);
        return false;
    }
    return true;
}

long RKSV::GetReadersCount()
{
    const long count = m_component ? (*m_component)->GetReadersCount() : 0;
    if (count < 1) {
        record("GetReadersCount: Kein Reader vorhanden");
        return 0;
    }
    m_readerCount = count;
    return count;
}

std::string RKSV::GetReaderAt(long position)
{
    const auto reader = m_component ? (*m_component)->GetReaderAt(position) : std::string();
    if (reader.empty()) {
        record("GetReaderAt: Kein Reader auf Position " + std::to_string(position));
        return {};
    }
    m_reader = reader;
    return reader;
}

std::vector<std::string> RKSV::GetCardReaders()
{
    auto readers = m_component ? (*m_component)->GetCardReaders() : std::vector<std::string>();
    if (readers.empty()) {
        record("GetCardReaders: Kein Reader vorhanden");
        return {};
    }
    m_readers = readers;
    return readers;
}

std::string RKSV::GetCardInReader()
{
    const auto card = m_component ? (*m_component)->GetCardInReader(m_reader) : std::string();
    if (card.empty()) {
        record("GetCardInReader: Keine Karte im Reader " + m_reader);
        return {};
    }
    m_cardInReader = card;
    return card;
}

bool RKSV::IsCardReaderPresent(const std::string& reader)
{
    if (!m_component || !(*m_component)->IsCardReaderPresent(reader)) {
        record("IsCardReaderPresent: Reader " + reader + " nicht vorhanden");
        return false;
    }
    return true;
}

bool RKSV::IsCardNumberPresent(const std::string& card)
{
    if (!m_component || !(*m_component)->IsCardNumberPresent(card)) {
        record("IsCardNumberPresent: Karte im Reader " + card + " nicht vorhanden");
        return false;
    }
    return true;
}

bool RKSV::GetCardCertificate()
{
    std::string certificate;
    std::string chain;
    const bool ok = m_component && (*m_component)->GetCardCertificate(m_reader, certificate, chain);
    m_base64 = certificate;
    m_chain = chain;
    if (!ok || certificate.empty() || chain.empty()) {
        record("GetCardCertificate: Zertifikat unlesbar im Reader " + m_reader);
        return false;
    }
    return true;
}

bool RKSV::VerifyJws(const std::string& jws)
{
    if (!m_component || !(*m_component)->VerifyJWS(jws, m_base64)) {
        record("VerifyJws: Verifizierung fehlerhaft");
        return false;
    }
    return true;
}

std::string RKSV::ExportJws(const std::vector<std::string>& jwsList)
{
    std::string json;
    if (!m_component || !(*m_component)->ExportJWS(m_base64, m_chain, jwsList, json) || json.empty()) {
        record("ExportJws: JSON nicht exportiert");
        return {};
    }
    return json;
}

std::string RKSV::ExportJwsDelimitedString(const std::string& jwsText)
{
    std::string json;
    if (!m_component || !(*m_component)->ExportJWSDelimitedString(m_base64, m_chain, jwsText, json) || json.empty()) {
        record("ExportJwsDelimitedString: JSON nicht exportiert");
        return {};
    }
    return json;
}

// The second image is made when it is first asked for: a till's receipts need only the first.
bool RKSV::JwsToImage(const std::string& jws)
{
    m_secondImage.clear();
    m_imageJws.clear();
    if (!m_component || !(*m_component)->JwsToQrImage(jws, m_image)) {
        record("JwsToImage: Image nicht erstellt");
        return false;
    }
    m_imageJws = jws;
    return true;
}

const std::string& RKSV::accImage()
{
    if (m_image.empty() && !m_imageJws.empty() && m_component) {
        if (!(*m_component)->JwsToQrImage(m_imageJws, m_image)) {
            m_image.clear();
        }
    }
    return m_image;
}

const std::string& RKSV::accSecondImage()
{
    if (m_secondImage.empty() && !m_imageJws.empty() && m_component) {
        std::string image;
        if (!(*m_component)->RKSVJwsToImage(m_imageJws, image, m_secondImage)) {
            m_secondImage.clear();
        }
    }
    return m_secondImage;
}

bool RKSV::SaveImageToFile(bool qr, const std::string& file, const std::string& type)
{
    const auto mime = base::toLower(type);
    if (!m_component || !(*m_component)->SaveImageToFile(qr ? m_image : accSecondImage(), file, "mime/" + mime)) {
        record("SaveImageToFile: Datei " + file + " Typ " + mime + " nicht gespeichert");
        return false;
    }
    return true;
}

std::string RKSV::GenerateAES256Key(const std::string& basis)
{
    std::string key;
    std::string error;
    if (!m_component || !(*m_component)->GenerateAes256Key(basis, key, error) || key.empty()) {
        record("GenerateAESKey: " + error);
        return {};
    }
    return key;
}

Component::Receipt RKSV::prepared(Component::Receipt receipt) const
{
    receipt.reader = m_reader;
    receipt.pin = m_pin;
    receipt.aesKey = m_aes256;
    return receipt;
}

bool RKSV::MySignAnswer(bool result, const Component::Signed& answer)
{
    m_jws = answer.jws;
    m_image = answer.image;
    m_secondImage = answer.secondImage;
    m_imageJws.clear();
    if (!result || answer.jws.empty()) {
        record("SignReceipt: " + answer.error);
        return false;
    }
    return true;
}

bool RKSV::SignReceipt(Component::Receipt receipt)
{
    Component::Signed answer;
    const bool result = m_component && (*m_component)->SignReceipt(prepared(std::move(receipt)), answer);
    return MySignAnswer(result, answer);
}

bool RKSV::SignTrainReceipt(Component::Receipt receipt)
{
    Component::Signed answer;
    const bool result = m_component && (*m_component)->SignTrainReceipt(prepared(std::move(receipt)), answer);
    return MySignAnswer(result, answer);
}

bool RKSV::SignStornoReceipt(Component::Receipt receipt)
{
    Component::Signed answer;
    const bool result = m_component && (*m_component)->SignStornoReceipt(prepared(std::move(receipt)), answer);
    return MySignAnswer(result, answer);
}

} // namespace rksv
