#include "rksv/units/Pkcs11Unit.h"

#include "base/Installation.h"
#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"
#include "rksv/units/Pkcs11Module.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <iostream>
#include <regex>

namespace rksv {

namespace {

// The DER of the curve P-256 as CKA_EC_PARAMS names it: the OID 1.2.840.10045.3.1.7 (prime256v1).
constexpr std::array<unsigned char, 10> P256_PARAMS = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
constexpr std::size_t MAX_CHAIN = 8;

//! A fixed-width text field of PKCS#11 without its blank padding.
std::string padded(const unsigned char* text, std::size_t size)
{
    std::string value(reinterpret_cast<const char*>(text), size);
    const auto end = value.find_last_not_of(' ');
    value.erase(end == std::string::npos ? 0 : end + 1);
    while (!value.empty() && value.back() == '\0') {
        value.pop_back();
    }
    return value;
}

//! The answers that say the token has gone from its reader, or its session with it.
bool isRemoval(CK_RV rv)
{
    return rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_SESSION_HANDLE_INVALID
           || rv == CKR_SESSION_CLOSED || rv == CKR_TOKEN_NOT_RECOGNIZED || rv == CKR_SLOT_ID_INVALID
           || rv == CKR_CRYPTOKI_NOT_INITIALIZED;
}

bool isWrongPin(CK_RV rv)
{
    return rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE;
}

//! The value of an attribute of an object; nothing when the token does not give it.
std::optional<std::vector<unsigned char>>
attribute(Pkcs11Module& module, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type)
{
    // The module writes into the call's own copy of the value (see Pkcs11Module::call).
    struct Query
    {
        CK_ULONG length = 0;
        std::vector<unsigned char> value;
    } query;
    const auto ask = [session, object, type](CK_FUNCTION_LIST* f, Query& q) {
        CK_ATTRIBUTE attribute{type, q.value.empty() ? nullptr : q.value.data(), q.value.size()};
        const CK_RV rv = f->C_GetAttributeValue(session, object, &attribute, 1);
        q.length = attribute.ulValueLen;
        return rv;
    };
    if (module.call("C_GetAttributeValue", query, ask) != CKR_OK || query.length == CK_UNAVAILABLE_INFORMATION) {
        return std::nullopt;
    }
    query.value.resize(query.length);
    if (module.call("C_GetAttributeValue", query, ask) != CKR_OK) {
        return std::nullopt;
    }
    query.value.resize(query.length);
    return std::move(query.value);
}

//! What an object search asks for: a class, and where given a key type and a CKA_ID.
struct Search
{
    CK_OBJECT_CLASS cls = 0;
    std::optional<CK_KEY_TYPE> keyType;
    std::vector<unsigned char> id;
    std::vector<CK_OBJECT_HANDLE> found;
};

//! The objects of the session that match the search; nothing when the search fails.
std::optional<std::vector<CK_OBJECT_HANDLE>> findObjects(Pkcs11Module& module, CK_SESSION_HANDLE session, Search search)
{
    // One call from C_FindObjectsInit to C_FindObjectsFinal, on the call's own copy of the template.
    const CK_RV rv = module.call("C_FindObjects", search, [session](CK_FUNCTION_LIST* f, Search& s) {
        std::vector<CK_ATTRIBUTE> attributes = {{CKA_CLASS, &s.cls, sizeof(s.cls)}};
        if (s.keyType) {
            attributes.push_back({CKA_KEY_TYPE, &*s.keyType, sizeof(CK_KEY_TYPE)});
        }
        if (!s.id.empty()) {
            attributes.push_back({CKA_ID, s.id.data(), s.id.size()});
        }
        CK_RV result = f->C_FindObjectsInit(session, attributes.data(), attributes.size());
        if (result != CKR_OK) {
            return result;
        }
        std::array<CK_OBJECT_HANDLE, 16> batch{};
        CK_ULONG count = 0;
        while ((result = f->C_FindObjects(session, batch.data(), batch.size(), &count)) == CKR_OK && count > 0) {
            s.found.insert(s.found.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(count));
        }
        f->C_FindObjectsFinal(session);
        return result;
    });
    if (rv != CKR_OK) {
        return std::nullopt;
    }
    return std::move(search.found);
}

std::vector<CK_OBJECT_HANDLE> objectsOfClass(Pkcs11Module& module, CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls)
{
    Search search;
    search.cls = cls;
    return findObjects(module, session, search).value_or(std::vector<CK_OBJECT_HANDLE>{});
}

//! C_GetTokenInfo on the call's own copy.
CK_RV tokenInfo(Pkcs11Module& module, CK_SLOT_ID slot, CK_TOKEN_INFO& token)
{
    return module.call(
        "C_GetTokenInfo", token, [slot](CK_FUNCTION_LIST* f, CK_TOKEN_INFO& t) { return f->C_GetTokenInfo(slot, &t); });
}

CK_RV closeSession(Pkcs11Module& module, CK_SESSION_HANDLE session)
{
    return module.call("C_CloseSession", [session](CK_FUNCTION_LIST* f) { return f->C_CloseSession(session); });
}

//! A token's certificate with its CKA_ID.
struct TokenCertificate
{
    X509Ptr x509;
    std::vector<unsigned char> id;
};

//! Wipes the copy of a PIN when it goes.
class PinBuffer
{
public:
    explicit PinBuffer(const std::string& pin)
        : m_bytes(pin.begin(), pin.end())
    {}
    ~PinBuffer() { OPENSSL_cleanse(m_bytes.data(), m_bytes.size()); }
    // The module's call gets a copy of its own, wiped when the call ends (also one that answers late).
    PinBuffer(const PinBuffer&) = default;
    PinBuffer& operator=(const PinBuffer&) = delete;
    PinBuffer& operator=(PinBuffer&& other) noexcept
    {
        OPENSSL_cleanse(m_bytes.data(), m_bytes.size());
        m_bytes = std::move(other.m_bytes);
        return *this;
    }
    CK_UTF8CHAR* data() { return m_bytes.data(); }
    CK_ULONG size() const { return m_bytes.size(); }

private:
    std::vector<CK_UTF8CHAR> m_bytes;
};

} // namespace

std::optional<Pkcs11Settings> parsePkcs11Settings(std::string_view text)
{
    Pkcs11Settings settings;
    std::vector<std::string_view> parts;
    for (std::string_view rest = text;;) {
        const std::size_t separator = rest.find(';');
        parts.push_back(rest.substr(0, separator));
        if (separator == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(separator + 1);
    }
    settings.module = std::string(parts.front());
    if (settings.module.empty()) {
        return std::nullopt;
    }
    std::set<std::string_view> seen;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::size_t equals = parts[i].find('=');
        const std::string_view key = parts[i].substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : parts[i].substr(equals + 1);
        if (equals == std::string_view::npos || !seen.insert(key).second) {
            return std::nullopt;
        }
        if (key == "token" && !value.empty()) {
            settings.token = std::string(value);
        } else if (key == "vda" && std::regex_match(std::string(value), std::regex(base::VDA_PATTERN))) {
            settings.vdaId = std::string(value);
        } else if (key == "wartezeit" && std::regex_match(std::string(value), std::regex("[1-9][0-9]{0,3}"))
                   && std::stoi(std::string(value)) <= Pkcs11Settings::MAX_TIME_LIMIT_SECONDS) {
            settings.timeLimit = std::chrono::seconds(std::stoi(std::string(value)));
        } else {
            return std::nullopt;
        }
    }
    return settings;
}

Pkcs11Unit::Pkcs11Unit(Pkcs11Settings settings)
    : CardComponent("R1-" + settings.vdaId)
    , m_settings(std::move(settings))
{
    if (RAND_bytes(m_pinSalt.data(), static_cast<int>(m_pinSalt.size())) != 1) {
        m_pinSalt.fill(0); // a digest without salt still never equals that of another PIN
    }
}

void Pkcs11Unit::openModule()
{
    if (m_opened) {
        return;
    }
    m_opened = true;
    m_module = Pkcs11Module::open(m_settings.module, m_openError, m_settings.timeLimit);
    if (!m_module) {
        // The signing service reports only that no reader is there; the debug channel says why.
        std::cerr << "Signatur: " << m_openError << '\n';
    }
}

std::string Pkcs11Unit::DeviceProblem() const
{
    if (m_module) {
        return m_module->stalled() ? m_module->stallMessage() : std::string();
    }
    return m_openError;
}

Pkcs11Unit::~Pkcs11Unit()
{
    for (const auto& [reader, card] : m_cards) {
        if (m_module && card.generation == m_module->generation()) {
            static_cast<void>(closeSession(*m_module, card.session));
        }
    }
}

std::string Pkcs11Unit::inReader(const std::string& reader) const
{
    return "im Kartenleser \"" + reader + "\"";
}

bool Pkcs11Unit::readSlots(std::vector<Slot>& slots)
{
    slots.clear();
    Pkcs11Module& module = *m_module;
    std::vector<CK_SLOT_ID> ids;
    const auto list = [](CK_FUNCTION_LIST* f, std::vector<CK_SLOT_ID>& slotIds) {
        CK_ULONG count = slotIds.size();
        const CK_RV rv = f->C_GetSlotList(CK_FALSE, slotIds.empty() ? nullptr : slotIds.data(), &count);
        slotIds.resize(count);
        return rv;
    };
    if (module.call("C_GetSlotList", ids, list) != CKR_OK) {
        return true;
    }
    if (!ids.empty() && module.call("C_GetSlotList", ids, list) != CKR_OK) {
        return true;
    }
    bool complete = true;
    for (const CK_SLOT_ID id : ids) {
        CK_SLOT_INFO info{};
        if (module.call(
                "C_GetSlotInfo", info, [id](CK_FUNCTION_LIST* f, CK_SLOT_INFO& i) { return f->C_GetSlotInfo(id, &i); })
            != CKR_OK) {
            complete = false;
            continue;
        }
        Slot slot;
        slot.id = id;
        slot.reader = padded(info.slotDescription, sizeof(info.slotDescription));
        CK_TOKEN_INFO token{};
        if ((info.flags & CKF_TOKEN_PRESENT) != 0) {
            // A token the module lists but cannot describe has gone (SoftHSM2 answers so for a deleted token).
            if (tokenInfo(module, id, token) != CKR_OK) {
                complete = false;
                continue;
            }
            slot.token = (token.flags & CKF_TOKEN_INITIALIZED) != 0;
            slot.tokenMark =
                padded(token.serialNumber, sizeof(token.serialNumber)) + "/" + padded(token.label, sizeof(token.label));
        }
        if (!m_settings.token.empty()
            && (!slot.token || padded(token.label, sizeof(token.label)) != m_settings.token)) {
            continue;
        }
        if (std::none_of(slots.begin(), slots.end(), [&](const Slot& s) { return s.reader == slot.reader; })) {
            slots.push_back(std::move(slot));
        }
    }
    return complete;
}

std::vector<Pkcs11Unit::Slot> Pkcs11Unit::listSlots(bool lookForMissing)
{
    openModule();
    std::vector<Slot> slots;
    if (!m_module) {
        return slots;
    }
    bool again = lookForMissing && !m_missing.empty();
    if (!again) {
        again = !readSlots(slots);
    }
    if (again && m_module->reinitialise()) {
        static_cast<void>(readSlots(slots));
    }
    for (auto it = m_cards.begin(); it != m_cards.end();) {
        const auto slot =
            std::find_if(slots.begin(), slots.end(), [&](const Slot& s) { return s.reader == it->first; });
        const bool stays = slot != slots.end() && slot->token && slot->tokenMark == it->second.tokenMark
                           && it->second.generation == m_module->generation();
        if (stays) {
            m_missing.erase(it->first);
            ++it;
        } else {
            const std::string reader = it->first;
            ++it;
            forget(reader, slot == slots.end() || !slot->token);
        }
    }
    // A card that came back into its reader is no longer missing.
    for (const Slot& slot : slots) {
        if (slot.token) {
            m_missing.erase(slot.reader);
        }
    }
    return slots;
}

void Pkcs11Unit::forget(const std::string& reader, bool missing)
{
    const auto it = m_cards.find(reader);
    if (it == m_cards.end()) {
        return;
    }
    if (m_module && it->second.generation == m_module->generation()) {
        static_cast<void>(closeSession(*m_module, it->second.session));
    }
    m_cards.erase(it);
    if (missing) {
        m_missing.insert(reader);
    }
}

std::vector<std::string> Pkcs11Unit::readerNames(bool lookForMissing)
{
    std::vector<std::string> readers;
    for (const Slot& slot : listSlots(lookForMissing)) {
        readers.push_back(slot.reader);
    }
    return readers;
}

// A look at all readers (the signing service's card check begins with one) is where a missing card is looked for;
// the steps that follow it (a reader by position, the card in it) take the module as that look left it.
std::vector<std::string> Pkcs11Unit::GetCardReaders()
{
    return readerNames(true);
}

long Pkcs11Unit::GetReadersCount()
{
    return static_cast<long>(GetCardReaders().size());
}

std::string Pkcs11Unit::GetReaderAt(long position)
{
    const auto readers = readerNames(false);
    if (position < 0 || static_cast<std::size_t>(position) >= readers.size()) {
        return {};
    }
    return readers[static_cast<std::size_t>(position)];
}

bool Pkcs11Unit::IsCardReaderPresent(const std::string& reader)
{
    const auto readers = readerNames(false);
    return std::find(readers.begin(), readers.end(), reader) != readers.end();
}

Pkcs11Unit::Card* Pkcs11Unit::card(const std::string& reader, bool check, std::string& refusal)
{
    openModule();
    if (!m_module) {
        refusal = m_openError;
        return nullptr;
    }
    // A card as last found needs no call of the module: the receipts of a failed device still carry its serial.
    if (!check) {
        const auto known = m_cards.find(reader);
        if (known != m_cards.end() && known->second.generation == m_module->generation()) {
            return &known->second;
        }
    }
    if (m_module->stalled()) {
        refusal = m_module->stallMessage();
        return nullptr;
    }
    const auto slots = listSlots(false);
    const auto slot = std::find_if(slots.begin(), slots.end(), [&](const Slot& s) { return s.reader == reader; });
    if (slot == slots.end()) {
        refusal = "Kartenleser \"" + reader + "\" nicht gefunden.";
        return nullptr;
    }
    if (!slot->token) {
        refusal = "Im Kartenleser \"" + reader + "\" steckt keine Signaturkarte.";
        return nullptr;
    }
    const auto known = m_cards.find(reader);
    if (known != m_cards.end()) {
        return &known->second; // listSlots kept it: same token, same session
    }
    Card fresh;
    fresh.slot = slot->id;
    fresh.tokenMark = slot->tokenMark;
    fresh.generation = m_module->generation();
    CK_SESSION_HANDLE session = 0;
    const CK_RV rv =
        m_module->call("C_OpenSession", session, [id = slot->id](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE& opened) {
            return f->C_OpenSession(id, CKF_SERIAL_SESSION, nullptr, nullptr, &opened);
        });
    if (rv != CKR_OK) {
        refusal = rv == Pkcs11Module::NO_ANSWER ? m_module->stallMessage()
                                                : "Die Signaturkarte " + inReader(reader)
                                                      + " antwortet nicht (C_OpenSession: " + pkcs11Code(rv) + ").";
        return nullptr;
    }
    fresh.session = session;
    // Another session of this program may have logged in to the token already.
    CK_SESSION_INFO info{};
    fresh.loggedIn = m_module->call("C_GetSessionInfo", info, [session](CK_FUNCTION_LIST* f, CK_SESSION_INFO& i) {
        return f->C_GetSessionInfo(session, &i);
    }) == CKR_OK && (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
    if (!readCard(fresh, refusal)) {
        static_cast<void>(closeSession(*m_module, session));
        refusal = "Im Kartenleser \"" + reader + "\" steckt keine Signaturkarte: " + refusal;
        return nullptr;
    }
    return &(m_cards[reader] = std::move(fresh));
}

bool Pkcs11Unit::readCard(Card& card, std::string& refusal)
{
    Pkcs11Module& module = *m_module;
    // The ids of the token's EC keys that can be seen before the PIN: public keys, and private keys where the token
    // shows them.
    std::vector<std::vector<unsigned char>> keyIds;
    for (const CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
        for (const CK_OBJECT_HANDLE key : objectsOfClass(module, card.session, cls)) {
            const auto type = attribute(module, card.session, key, CKA_KEY_TYPE);
            const auto id = attribute(module, card.session, key, CKA_ID);
            if (type && type->size() == sizeof(CK_KEY_TYPE) && id
                && *reinterpret_cast<const CK_KEY_TYPE*>(type->data()) == CKK_EC) {
                keyIds.push_back(*id);
            }
        }
    }
    std::vector<TokenCertificate> certificates;
    for (const CK_OBJECT_HANDLE object : objectsOfClass(module, card.session, CKO_CERTIFICATE)) {
        const auto value = attribute(module, card.session, object, CKA_VALUE);
        if (!value || value->empty()) {
            continue;
        }
        const unsigned char* der = value->data();
        X509Ptr x509(d2i_X509(nullptr, &der, static_cast<long>(value->size())));
        if (x509) {
            TokenCertificate certificate;
            certificate.x509 = std::move(x509);
            certificate.id = attribute(module, card.session, object, CKA_ID).value_or(std::vector<unsigned char>());
            certificates.push_back(std::move(certificate));
        }
    }
    // The signing certificate belongs to an EC key; where no key shows before the PIN, it is the one that issued no
    // other certificate on the token.
    auto signing = std::find_if(certificates.begin(), certificates.end(), [&](const TokenCertificate& c) {
        return !c.id.empty() && std::find(keyIds.begin(), keyIds.end(), c.id) != keyIds.end();
    });
    if (signing == certificates.end() && keyIds.empty()) {
        signing = std::find_if(certificates.begin(), certificates.end(), [&](const TokenCertificate& c) {
            return std::none_of(certificates.begin(), certificates.end(), [&](const TokenCertificate& other) {
                return &other != &c && X509_check_issued(c.x509.get(), other.x509.get()) == X509_V_OK;
            });
        });
    }
    if (signing == certificates.end()) {
        refusal = "das Token enthält kein Zertifikat zu einem EC-Schlüssel.";
        return false;
    }
    const auto text = derBase64(signing->x509.get());
    card.serial = serialOf(signing->x509.get());
    if (!text || card.serial.empty()) {
        refusal = "das Zertifikat des Tokens ist unlesbar.";
        return false;
    }
    card.certificate = *text;
    card.id = signing->id;
    card.p256 = isP256(X509_get0_pubkey(signing->x509.get()));
    // The chain from the certificate's issuer upwards, as far as the token holds it.
    card.chain.clear();
    X509* current = signing->x509.get();
    for (std::size_t depth = 0; depth < MAX_CHAIN && X509_check_issued(current, current) != X509_V_OK; ++depth) {
        const auto issuer = std::find_if(certificates.begin(), certificates.end(), [&](const TokenCertificate& c) {
            return c.x509.get() != current && X509_check_issued(c.x509.get(), current) == X509_V_OK;
        });
        if (issuer == certificates.end()) {
            break;
        }
        const auto issuerText = derBase64(issuer->x509.get());
        if (!issuerText) {
            break;
        }
        card.chain += (card.chain.empty() ? "" : ";") + *issuerText;
        current = issuer->x509.get();
    }
    return true;
}

std::string Pkcs11Unit::GetCardInReader(const std::string& reader)
{
    std::string refusal;
    const Card* const found = card(reader, true, refusal);
    return found != nullptr ? found->serial : std::string();
}

bool Pkcs11Unit::IsCardNumberPresent(const std::string& card)
{
    if (card.empty()) {
        return false;
    }
    std::string wanted = card;
    std::transform(wanted.begin(), wanted.end(), wanted.begin(), [](unsigned char c) { return std::tolower(c); });
    const auto readers = GetCardReaders();
    return std::any_of(
        readers.begin(), readers.end(), [&](const std::string& reader) { return GetCardInReader(reader) == wanted; });
}

bool Pkcs11Unit::GetCardCertificate(const std::string& reader, std::string& certificate, std::string& chain)
{
    certificate.clear();
    chain.clear();
    std::string refusal;
    const Card* const found = card(reader, true, refusal);
    if (found == nullptr) {
        return false;
    }
    certificate = found->certificate;
    chain = found->chain;
    return true;
}

bool Pkcs11Unit::findKey(Card& card, std::string& refusal)
{
    Pkcs11Module& module = *m_module;
    Search search;
    search.cls = CKO_PRIVATE_KEY;
    search.keyType = CKK_EC;
    search.id = card.id;
    const auto keys = findObjects(module, card.session, search);
    if (!keys || keys->empty()) {
        refusal = "Auf der Signaturkarte fehlt der private EC-Schlüssel zum Signaturzertifikat.";
        return false;
    }
    const auto params = attribute(module, card.session, keys->front(), CKA_EC_PARAMS);
    if (!card.p256 || !params || !std::equal(params->begin(), params->end(), P256_PARAMS.begin(), P256_PARAMS.end())) {
        refusal = "Der Schlüssel der Signaturkarte ist kein ECDSA-Schlüssel auf der Kurve P-256; RKSV-Belege "
                  "verlangen P-256 (ES256).";
        return false;
    }
    std::vector<CK_MECHANISM_TYPE> mechanisms;
    const auto list = [slot = card.slot](CK_FUNCTION_LIST* f, std::vector<CK_MECHANISM_TYPE>& types) {
        CK_ULONG count = types.size();
        const CK_RV rv = f->C_GetMechanismList(slot, types.empty() ? nullptr : types.data(), &count);
        types.resize(rv == CKR_OK ? count : 0);
        return rv;
    };
    if (module.call("C_GetMechanismList", mechanisms, list) == CKR_OK && !mechanisms.empty()
        && module.call("C_GetMechanismList", mechanisms, list) != CKR_OK) {
        mechanisms.clear();
    }
    const auto offers = [&](CK_MECHANISM_TYPE m) {
        return std::find(mechanisms.begin(), mechanisms.end(), m) != mechanisms.end();
    };
    if (!offers(CKM_ECDSA) && !offers(CKM_ECDSA_SHA256)) {
        refusal = "Die Signaturkarte bietet weder CKM_ECDSA noch CKM_ECDSA_SHA256 an.";
        return false;
    }
    card.mechanism = offers(CKM_ECDSA) ? CKM_ECDSA : CKM_ECDSA_SHA256;
    card.key = keys->front();
    card.keyFound = true;
    return true;
}

Pkcs11Unit::Login
Pkcs11Unit::login(const std::string& reader, Card& card, const std::string& pin, bool logoutFirst, std::string& refusal)
{
    Pkcs11Module& module = *m_module;
    const auto locked = [&] {
        refusal = "PIN gesperrt: die Signaturkarte " + inReader(reader)
                  + " nimmt nach zu vielen falschen PINs keinen PIN mehr an. Entsperren mit dem PUK bzw. dem "
                    "Werkzeug des Kartenausstellers.";
        return Login::Refused;
    };
    CK_TOKEN_INFO token{};
    if (const CK_RV rv = tokenInfo(module, card.slot, token); rv == Pkcs11Module::NO_ANSWER) {
        refusal = module.stallMessage();
        return Login::Refused;
    } else if (rv != CKR_OK) {
        forget(reader, true);
        refusal = "Die Signaturkarte " + inReader(reader) + " wurde entfernt.";
        return Login::Refused;
    }
    if ((token.flags & CKF_USER_PIN_LOCKED) != 0) {
        return locked();
    }
    if (pin.empty()) {
        refusal = "Für die Signaturkarte " + inReader(reader) + " fehlt der PIN.";
        return Login::WrongPin;
    }
    // One login per card session: the PIN this session logged in with is not presented again while the token keeps
    // the session logged in (it is known by a salted digest only).
    const Sha256Digest digest = pinDigest(pin);
    CK_SESSION_INFO session{};
    if (card.loggedIn && card.keyFound && card.pinDigest == digest
        && module.call("C_GetSessionInfo",
                       [id = card.session, &session](CK_FUNCTION_LIST* f) { return f->C_GetSessionInfo(id, &session); })
               == CKR_OK
        && (session.state == CKS_RO_USER_FUNCTIONS || session.state == CKS_RW_USER_FUNCTIONS)) {
        return Login::Accepted;
    }
    // The token is logged in or out for every session of the process at once: another component's login would let
    // C_Login answer "already logged in" without looking at this PIN.
    if (logoutFirst) {
        static_cast<void>(
            module.call("C_Logout", [session = card.session](CK_FUNCTION_LIST* f) { return f->C_Logout(session); }));
        card.loggedIn = false;
        card.keyFound = false; // handles of private objects end with the login (SoftHSM2 hands out new ones)
    }
    PinBuffer buffer(pin);
    CK_RV rv = module.call("C_Login", buffer, [session = card.session](CK_FUNCTION_LIST* f, PinBuffer& copy) {
        return f->C_Login(session, CKU_USER, copy.data(), copy.size());
    });
    if (rv == Pkcs11Module::NO_ANSWER) {
        refusal = module.stallMessage();
        return Login::Refused;
    }
    if (rv == CKR_USER_ALREADY_LOGGED_IN && !logoutFirst) {
        rv = CKR_OK;
    }
    if (rv == CKR_PIN_LOCKED) {
        return locked();
    }
    if (isWrongPin(rv)) {
        card.loggedIn = false;
        CK_TOKEN_INFO after{};
        const bool known = tokenInfo(module, card.slot, after) == CKR_OK;
        if (known && (after.flags & CKF_USER_PIN_LOCKED) != 0) {
            static_cast<void>(locked());
            refusal = "Falscher PIN. " + refusal;
            return Login::WrongPin;
        }
        refusal =
            "Falscher PIN für die Signaturkarte " + inReader(reader)
            + (known && (after.flags & CKF_USER_PIN_FINAL_TRY) != 0 ? " (letzter Versuch, dann ist der PIN gesperrt)."
                                                                    : ".");
        return Login::WrongPin;
    }
    if (isRemoval(rv)) {
        forget(reader, true);
        refusal = "Die Signaturkarte " + inReader(reader) + " wurde entfernt.";
        return Login::Refused;
    }
    if (rv != CKR_OK) {
        refusal = "Die Signaturkarte " + inReader(reader) + " prüft den PIN nicht (C_Login: " + pkcs11Code(rv) + ").";
        return Login::Refused;
    }
    card.loggedIn = true;
    card.pinDigest = digest;
    if (!card.keyFound && !findKey(card, refusal)) {
        return Login::Refused;
    }
    return Login::Accepted;
}

std::array<unsigned char, 32> Pkcs11Unit::pinDigest(const std::string& pin) const
{
    Bytes salted(m_pinSalt.begin(), m_pinSalt.end());
    salted.insert(salted.end(), pin.begin(), pin.end());
    const Sha256Digest digest = sha256(salted);
    OPENSSL_cleanse(salted.data(), salted.size());
    return digest;
}

bool Pkcs11Unit::VerifyPin(const std::string& reader, const std::string& pin)
{
    openModule();
    m_pinProblem.clear();
    std::string refusal;
    Card* const found = card(reader, true, refusal);
    if (found == nullptr) {
        m_pinProblem = !m_module ? m_openError : m_module->stalled() ? m_module->stallMessage() : std::string();
        return false;
    }
    const Login result = login(reader, *found, pin, true, refusal);
    // A wrong PIN is told as such by the caller; anything else (a locked PIN, a key that cannot be used) says why.
    if (result == Login::Refused) {
        m_pinProblem = refusal;
    }
    return result == Login::Accepted;
}

std::optional<std::string> Pkcs11Unit::cardSerial(const std::string& reader, std::string& refusal)
{
    const Card* const found = card(reader, false, refusal);
    return found != nullptr ? std::optional(found->serial) : std::nullopt;
}

Pkcs11Unit::CardSignature
Pkcs11Unit::signWithCard(const std::string& reader, const std::string& pin, std::string_view input)
{
    openModule();
    CardSignature result;
    // A module that did not answer in time has failed as a device does: the receipt carries the failure marker.
    const auto stalled = [&] {
        result.outcome = CardSignature::Outcome::DeviceFailed;
        result.refusal = m_module->stallMessage();
        return result;
    };
    if (m_module && m_module->stalled()) {
        return stalled();
    }
    Card* found = card(reader, false, result.refusal);
    if (found == nullptr) {
        return m_module && m_module->stalled() ? stalled() : result;
    }
    Pkcs11Module& module = *m_module;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!found->loggedIn || !found->keyFound) {
            if (login(reader, *found, pin, false, result.refusal) != Login::Accepted) {
                return module.stalled() ? stalled() : result;
            }
        }
        const Sha256Digest digest = sha256(asBytes(input));
        // What C_Sign reads and writes, in the call's own copy.
        struct Signing
        {
            std::vector<CK_BYTE> data;
            Bytes signature = Bytes(ES256_SIGNATURE_BYTES);
            CK_ULONG length = ES256_SIGNATURE_BYTES;
        } signing;
        signing.data = found->mechanism == CKM_ECDSA ? std::vector<CK_BYTE>(digest.begin(), digest.end())
                                                     : std::vector<CK_BYTE>(input.begin(), input.end());
        CK_MECHANISM mechanism{found->mechanism, nullptr, 0};
        CK_RV rv = module.call("C_SignInit",
                               mechanism,
                               [session = found->session, key = found->key](CK_FUNCTION_LIST* f, CK_MECHANISM& m) {
                                   return f->C_SignInit(session, &m, key);
                               });
        if (rv == CKR_OK) {
            rv = module.call("C_Sign", signing, [session = found->session](CK_FUNCTION_LIST* f, Signing& s) {
                return f->C_Sign(session, s.data.data(), s.data.size(), s.signature.data(), &s.length);
            });
        }
        if (rv == Pkcs11Module::NO_ANSWER) {
            return stalled();
        }
        if (rv == CKR_OK && signing.length == ES256_SIGNATURE_BYTES) {
            m_missing.clear(); // the till signs again: a card missing before is no longer waited for
            result.outcome = CardSignature::Outcome::Signed;
            result.signature = std::move(signing.signature);
            return result;
        }
        // Logged out elsewhere (another component on the same token logs in anew for each PIN check), which ends the
        // handles of private objects too: the receipt's PIN logs in again and the key is looked up again, once.
        if (attempt == 0
            && (rv == CKR_USER_NOT_LOGGED_IN || rv == CKR_KEY_HANDLE_INVALID || rv == CKR_OBJECT_HANDLE_INVALID)) {
            found->loggedIn = found->loggedIn && rv != CKR_USER_NOT_LOGGED_IN;
            found->keyFound = false;
            continue;
        }
        if (rv == CKR_DEVICE_ERROR || rv == CKR_DEVICE_MEMORY) {
            result.outcome = CardSignature::Outcome::DeviceFailed;
            return result;
        }
        if (isRemoval(rv)) {
            forget(reader, true);
            result.refusal = "Die Signaturkarte " + inReader(reader) + " wurde entfernt.";
            return result;
        }
        result.refusal = "Die Signatur ist fehlgeschlagen: die Signaturkarte " + inReader(reader) + " antwortet "
                         + (rv == CKR_OK ? "mit einer Signatur falscher Länge." : "mit " + pkcs11Code(rv) + ".");
        return result;
    }
    return result;
}

} // namespace rksv
