#include "fontest/Accounts.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace fontest {

std::optional<std::vector<Account>> readAccounts(const std::string& path, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read accounts file " + path;
        return std::nullopt;
    }
    std::vector<Account> accounts;
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (const auto hash = line.find('#'); hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) {
            words.push_back(word);
        }
        if (words.empty()) {
            continue;
        }
        if (words.size() < 3 || words.size() > 4) {
            error = path + ":" + std::to_string(lineNumber) + ": expected `tid benid pin [rc]`";
            return std::nullopt;
        }
        Account account{words[0], words[1], words[2], std::nullopt};
        if (words.size() == 4) {
            int rc = 0;
            const auto& text = words[3];
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rc);
            if (ec != std::errc() || end != text.data() + text.size()) {
                error = path + ":" + std::to_string(lineNumber) + ": rc must be an integer";
                return std::nullopt;
            }
            account.forcedRc = rc;
        }
        accounts.push_back(std::move(account));
    }
    return accounts;
}

} // namespace fontest
