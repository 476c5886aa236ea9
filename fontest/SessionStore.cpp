#include "fontest/SessionStore.h"

#include <openssl/rand.h>

#include <stdexcept>

namespace fontest {

namespace {

constexpr std::size_t SESSION_ID_LENGTH = 24; // logoutRequest allows [0-9A-Za-z]{10,24}

std::string newSessionId()
{
    static const std::string ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string id;
    while (id.size() < SESSION_ID_LENGTH) {
        unsigned char bytes[32];
        if (RAND_bytes(bytes, sizeof bytes) != 1) {
            throw std::runtime_error("RAND_bytes failed");
        }
        for (unsigned char byte : bytes) {
            // 248 = 4 * 62: rejecting the rest keeps the characters uniformly distributed
            if (byte < 248 && id.size() < SESSION_ID_LENGTH) {
                id += ALPHABET[byte % ALPHABET.size()];
            }
        }
    }
    return id;
}

} // namespace

SessionStore::SessionStore(std::vector<Account> accounts)
    : m_accounts(std::move(accounts))
{}

SessionAnswer SessionStore::login(const std::string& tid, const std::string& benid, const std::string& pin)
{
    for (const Account& account : m_accounts) {
        if (account.tid != tid || account.benid != benid) {
            continue;
        }
        if (account.forcedRc) {
            return {"", *account.forcedRc, messageFor(*account.forcedRc)};
        }
        if (account.pin != pin) {
            break;
        }
        std::string id = newSessionId();
        std::lock_guard lock(m_mutex);
        m_sessions[id] = Session{tid, benid};
        return {id, 0, messageFor(0)};
    }
    return {"", -4, messageFor(-4)};
}

SessionAnswer SessionStore::logout(const std::string& tid, const std::string& benid, const std::string& id)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_sessions.find(id);
    if (it == m_sessions.end() || it->second.tid != tid || it->second.benid != benid) {
        return {"", -1, SESSION_INVALID_MSG};
    }
    m_sessions.erase(it);
    return {"", 0, "Die Abmeldung war erfolgreich."};
}

bool SessionStore::isLive(const std::string& id, const std::string& tid, const std::string& benid) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_sessions.find(id);
    return it != m_sessions.end() && it->second.tid == tid && it->second.benid == benid;
}

std::string SessionStore::messageFor(int rc)
{
    switch (rc) {
    case 0:
        return "Die Anmeldung war erfolgreich.";
    case -1:
        return SESSION_INVALID_MSG;
    case -2:
        return "Die Webservices stehen wegen Wartungsarbeiten derzeit nicht zur Verfügung.";
    case -3:
        return "Es ist ein technischer Fehler aufgetreten.";
    case -4:
        return "Die Teilnehmer-Identifikation, Benutzer-Identifikation oder PIN ist ungültig.";
    case -5:
        return "Der Benutzer ist wegen zu vieler fehlgeschlagener Anmeldeversuche gesperrt.";
    case -6:
        return "Der Benutzer ist gesperrt.";
    case -7:
        return "Der Benutzer ist kein Webservice-Benutzer.";
    case -8:
        return "Der Teilnehmer ist gesperrt oder nicht zur Verwendung der Webservices berechtigt.";
    default:
        return "Die Anmeldung wurde abgelehnt.";
    }
}

} // namespace fontest
