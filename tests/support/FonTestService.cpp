#include "tests/support/FonTestService.h"

#include "tests/support/TestPaths.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

constexpr auto START_TIMEOUT = std::chrono::seconds(20);
constexpr auto STOP_TIMEOUT = std::chrono::seconds(10);

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeAtomically(const fs::path& path, const std::string& content)
{
    const fs::path temporary = path.parent_path() / ("." + path.filename().string() + ".tmp");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
    }
    fs::rename(temporary, path);
}

bool equalsNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string describe(int exit)
{
    if (exit == 0) {
        return {};
    }
    return exit > 0 ? "exit code " + std::to_string(exit) : "signal " + std::to_string(-exit);
}

} // namespace

std::string ReceivedRequest::header(const std::string& name) const
{
    for (const auto& [key, value] : headers) {
        if (equalsNoCase(key, name)) {
            return value;
        }
    }
    return {};
}

FonTestService::FonTestService(std::vector<FonAccount> accounts, std::string host)
    : m_host(std::move(host))
{
    std::string pattern = (fs::temp_directory_path() / "fontest-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::cerr << "FonTestService: cannot create a temporary state dir\n";
        return;
    }
    m_stateDir = pattern;

    std::string accountLines;
    for (const FonAccount& account : accounts) {
        accountLines += account.tid + " " + account.benid + " " + account.pin;
        accountLines += account.refusal.empty() ? "\n" : " " + account.refusal + "\n";
    }
    const std::string accountsFile = m_stateDir + "/accounts";
    writeAtomically(accountsFile, accountLines);
    writeControl();

    std::vector<std::string> args = {test_paths::FON_TEST_SERVICE,
                                     "--state-dir",
                                     m_stateDir,
                                     "--schemas",
                                     test_paths::FON_SCHEMA_DIR,
                                     "--host",
                                     m_host,
                                     "--accounts",
                                     accountsFile};
    // The port file tells when it listens, so standard output goes nowhere. The service gets SIGTERM when the thread
    // that started it ends, also when a test run is killed.
    m_process = std::make_unique<Process>(
        Process::Options{.argv = args, .output = Process::Output::ErrorsShown, .endsWithParent = true});

    const auto until = std::chrono::steady_clock::now() + START_TIMEOUT;
    while (std::chrono::steady_clock::now() < until) {
        const std::string text = readFile(m_stateDir + "/port");
        if (!text.empty() && text.back() == '\n') {
            m_port = std::atoi(text.c_str());
            return;
        }
        if (!m_process->running()) {
            m_exited = true;
            std::cerr << "FonTestService: the service exited during start-up\n";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::cerr << "FonTestService: the service did not start listening within 20 s\n";
}

std::string FonTestService::stop()
{
    if (!m_stopped) {
        m_stopped = m_process ? describe(m_process->terminate(STOP_TIMEOUT)) : "not started";
    }
    return *m_stopped;
}

FonTestService::~FonTestService()
{
    const bool wasRunning = m_process && !m_exited && !m_stopped;
    if (const auto ended = stop(); wasRunning && !ended.empty()) {
        std::cerr << "FonTestService: the service did not end cleanly on SIGTERM (" << ended << ")\n";
        std::abort();
    }
    if (!m_stateDir.empty()) {
        std::error_code ec;
        fs::remove_all(m_stateDir, ec);
    }
}

bool FonTestService::running() const
{
    if (!m_process || m_port <= 0 || m_exited) {
        return false;
    }
    m_exited = !m_process->running();
    return !m_exited;
}

int FonTestService::port() const
{
    return m_port;
}

std::string FonTestService::connectTo() const
{
    return "127.0.0.1:" + std::to_string(m_port);
}

std::string FonTestService::caFile() const
{
    return m_stateDir + "/ca.pem";
}

const std::string& FonTestService::host() const
{
    return m_host;
}

const std::string& FonTestService::stateDir() const
{
    return m_stateDir;
}

void FonTestService::setStyle(const std::string& style)
{
    m_style = style;
    writeControl();
}

void FonTestService::setMode(const std::string& mode)
{
    m_mode = mode;
    writeControl();
}

void FonTestService::setSessionPath(const std::string& path)
{
    m_sessionPath = path;
    writeControl();
}

std::vector<ReceivedRequest> FonTestService::requests() const
{
    std::vector<ReceivedRequest> received;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(m_stateDir + "/requests", ec)) {
        const fs::path& path = entry.path();
        const std::string name = path.filename().string();
        if (path.extension() != ".head" || name.empty() || name[0] == '.') {
            continue;
        }
        ReceivedRequest request;
        request.seq = std::atoi(name.c_str());
        std::istringstream head(readFile(path));
        for (std::string line; std::getline(head, line);) {
            const auto space = line.find(' ');
            const std::string key = line.substr(0, space);
            const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
            if (key == "method") {
                request.method = value;
            } else if (key == "path") {
                request.path = value;
            } else if (key == "connection") {
                request.connection = value;
            } else if (key == "header") {
                const auto colon = value.find(": ");
                request.headers.emplace_back(value.substr(0, colon),
                                             colon == std::string::npos ? std::string() : value.substr(colon + 2));
            }
        }
        request.body = readFile(fs::path(path).replace_extension(".body"));
        received.push_back(std::move(request));
    }
    std::sort(received.begin(), received.end(), [](const auto& a, const auto& b) { return a.seq < b.seq; });
    return received;
}

void FonTestService::writeControl() const
{
    if (!m_stateDir.empty()) {
        writeAtomically(m_stateDir + "/control",
                        "style " + m_style + "\nmode " + m_mode + "\nsession-path " + m_sessionPath + "\n");
    }
}

} // namespace testsupport
