#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fontest {

//! One FinanzOnline web-service user the service knows.
struct Account
{
    std::string tid;
    std::string benid;
    std::string pin;
    //! Session refusal code answered for this user whatever the PIN (e.g. -6 user locked, -2 maintenance).
    std::optional<int> forcedRc;
};

//! Reads an accounts file: one account a line, `tid benid pin [rc]`, blank separated, `#` starts a comment.
//! Returns nothing and sets `error` (with the line number) when the file can't be read or a line is malformed.
[[nodiscard]] std::optional<std::vector<Account>> readAccounts(const std::string& path, std::string& error);

} // namespace fontest
