#include "fontest/RequestLog.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fontest {

RequestLog::RequestLog(std::string stateDir)
    : m_dir(std::move(stateDir) + "/requests")
{}

bool RequestLog::prepare(std::string& error)
{
    std::error_code ec;
    std::filesystem::create_directories(m_dir, ec);
    if (ec) {
        error = "cannot create " + m_dir + ": " + ec.message();
        return false;
    }
    return true;
}

int RequestLog::write(const LoggedRequest& request)
{
    const int sequence = ++m_sequence;
    char name[32];
    std::snprintf(name, sizeof name, "%04d", sequence);
    std::string head =
        "method " + request.method + "\npath " + request.path + "\nconnection " + request.connection + "\n";
    for (const auto& [key, value] : request.headers) {
        head += "header " + key + ": " + value + "\n";
    }
    const std::string base = m_dir + "/" + name;
    if (!writeFileAtomically(base + ".body", request.body) || !writeFileAtomically(base + ".head", head)) {
        return 0;
    }
    return sequence;
}

bool writeFileAtomically(const std::string& path, const std::string& content)
{
    const std::filesystem::path target(path);
    // dot-prefixed, so a reader listing `*.head` never picks up the half-written file
    const std::filesystem::path temporary = target.parent_path() / ("." + target.filename().string() + ".tmp");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out.flush()) {
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, target, ec);
    return !ec;
}

} // namespace fontest
