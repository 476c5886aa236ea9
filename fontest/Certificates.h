#pragma once

#include <string>

namespace fontest {

//! Makes sure `dir` holds `ca.pem`, `server.pem` and `server-key.pem`. When one of them is missing, generates a
//! throwaway CA (EC P-256, key in `ca-key.pem`) and a server certificate for `host` (subjectAltName DNS, plus IP
//! when `host` is an IPv4 address) signed by it, both valid for 10 years from yesterday. Existing files are kept
//! as they are. Returns false and sets `error` on failure.
[[nodiscard]] bool ensureCertificates(const std::string& dir, const std::string& host, std::string& error);

} // namespace fontest
