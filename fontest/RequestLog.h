#pragma once

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace fontest {

//! One request as the server received it.
struct LoggedRequest
{
    std::string method;
    std::string path;
    std::string connection; //!< "address:port" of the client, one value per TLS connection
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

//! Writes every request to `DIR/requests/NNNN.body` and `NNNN.head` (1-based, at least 4 digits). Each file is
//! written to a temporary name and renamed, the body before the head, so a reader that sees a head also sees
//! the complete body. Thread-safe.
class RequestLog
{
public:
    explicit RequestLog(std::string stateDir);

    //! Creates the folder; false (with `error`) when it can't.
    [[nodiscard]] bool prepare(std::string& error);
    //! Records one request; returns its sequence number, or 0 when a file could not be written.
    [[nodiscard]] int write(const LoggedRequest& request);

private:
    std::string m_dir;
    std::atomic<int> m_sequence{0};
};

//! Writes `content` to `path` via a temporary file in the same folder and a rename.
[[nodiscard]] bool writeFileAtomically(const std::string& path, const std::string& content);

} // namespace fontest
