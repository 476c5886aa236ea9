#pragma once

#include "fontest/Accounts.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace fontest {

//! FinanzOnline's session return code with its German text.
struct SessionAnswer
{
    std::string id; //!< the new session id after a successful login, otherwise ""
    int rc = 0;
    std::string msg;
};

//! Text for "the session id is invalid or expired" (rc -1), used by the session and the RKDB service alike.
inline constexpr const char* SESSION_INVALID_MSG = "Die Session ID ist ungültig oder abgelaufen.";

//! Logins and live sessions. Sessions last until logout or the end of the process. Thread-safe.
class SessionStore
{
public:
    explicit SessionStore(std::vector<Account> accounts);

    //! Checks the credentials. Success: a new random 24-character alphanumeric id and rc 0. Refusal: empty id,
    //! the account's forced rc (whatever the PIN) or -4 for an unknown tid/benid or a wrong PIN.
    [[nodiscard]] SessionAnswer login(const std::string& tid, const std::string& benid, const std::string& pin);
    //! Ends the session: rc 0, or rc -1 when no live session has this id, tid and benid.
    [[nodiscard]] SessionAnswer logout(const std::string& tid, const std::string& benid, const std::string& id);
    //! True when `id` is a live session of this participant and user.
    [[nodiscard]] bool isLive(const std::string& id, const std::string& tid, const std::string& benid) const;

    //! The German message for a session return code.
    static std::string messageFor(int rc);

private:
    struct Session
    {
        std::string tid;
        std::string benid;
    };

    std::vector<Account> m_accounts;
    std::map<std::string, Session> m_sessions;
    mutable std::mutex m_mutex;
};

} // namespace fontest
