#include "fontest/Service.h"

#include "fontest/Certificates.h"
#include "fontest/Control.h"
#include "fontest/RequestLog.h"
#include "fontest/RkdbRegistry.h"
#include "fontest/SessionStore.h"
#include "fontest/SoapReader.h"
#include "fontest/SoapWriter.h"
#include "fontest/XmlText.h"

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <httplib.h>
#include <iostream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fontest {

namespace {

constexpr const char* CONTENT_TYPE = "text/xml;charset=UTF-8";
constexpr time_t IO_TIMEOUT_SECONDS = 30;
constexpr std::size_t MAX_REQUEST_BYTES = 64 * 1024 * 1024;
constexpr std::size_t MIB = 1024 * 1024;
// each idle keep-alive connection holds a worker until its keep-alive timeout (5 s)
constexpr std::size_t WORKER_THREADS = 32;

// Pseudo-random bytes that are neither XML nor UTF-8, the same on every call.
std::string garbageBytes()
{
    std::string bytes(1024, '\0');
    unsigned state = 0x2545F491u;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(0x80u | (state >> 24));
    }
    bytes[0] = static_cast<char>(0xFF);
    return bytes;
}

// Shuts down every accepted TCP connection to `port`, so worker threads blocked on it return at once.
void shutdownConnections(int port)
{
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) {
        return;
    }
    while (const dirent* entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        struct stat info
        {
        };
        if (fd <= 2 || fd == dirfd(fds) || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) {
            continue;
        }
        sockaddr_in local{};
        sockaddr_in peer{};
        socklen_t localLength = sizeof local;
        socklen_t peerLength = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 && local.sin_family == AF_INET
            && ntohs(local.sin_port) == port && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    closedir(fds);
}

} // namespace

struct Service::Impl
{
    ServiceOptions options;
    SoapReader reader;
    SessionStore sessions;
    RkdbRegistry registry;
    RequestLog log;
    std::unique_ptr<httplib::SSLServer> server;
    int port = 0;
    std::atomic<bool> stopping{false};

    explicit Impl(ServiceOptions serviceOptions)
        : options(std::move(serviceOptions))
        , reader(options.schemaDir)
        , sessions(options.accounts)
        , log(options.stateDir)
    {}

    void handle(const httplib::Request& request, httplib::Response& response);
    std::string answer(const httplib::Request& request, const Control& control, int& status);
    std::string answerSession(const SoapReadResult& read, const SoapWriter& writer, int& status);
    std::string answerRkdb(const SoapReadResult& read, const SoapWriter& writer);
    bool waitLate(long seconds) const;
};

void Service::Impl::handle(const httplib::Request& request, httplib::Response& response)
{
    const Control control = readControl(options.stateDir + "/control");

    LoggedRequest logged{request.method,
                         request.path,
                         request.remote_addr + ":" + std::to_string(request.remote_port),
                         {},
                         request.body};
    for (const auto& [name, value] : request.headers) {
        // httplib adds the peer's address as pseudo headers; they did not come from the client
        if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" && name != "LOCAL_PORT") {
            logged.headers.emplace_back(name, value);
        }
    }
    if (log.write(logged) == 0) {
        // The request is answered all the same; the log, which tests read as the record of what was sent, lacks it.
        std::cerr << "fon-test-service: cannot log request " << request.method << ' ' << request.path << " in "
                  << options.stateDir << "/requests\n";
    }

    const SoapWriter writer(control.style, false);
    switch (control.mode) {
    case Mode::Close:
        // The request is read in full but nothing is written: shutting the socket down makes httplib's attempt to
        // send the response fail, and the client sees the connection end without any HTTP response.
        if (request.ssl) {
            ::shutdown(SSL_get_fd(request.ssl), SHUT_RDWR);
        }
        response.status = 500;
        return;
    case Mode::Garbage:
        response.status = 200;
        response.set_content(garbageBytes(), CONTENT_TYPE);
        return;
    case Mode::Fault:
        response.status = 500;
        response.set_content(writer.fault("Server", "Technischer Fehler", {}), CONTENT_TYPE);
        return;
    case Mode::Empty:
        response.status = 200;
        response.set_content(std::string(), CONTENT_TYPE);
        return;
    case Mode::Normal:
    case Mode::Late:
    case Mode::LateRkdb:
    case Mode::Huge:
    case Mode::ForeignRc:
        break;
    }

    int status = 200;
    std::string body = answer(request, control, status);
    const bool late =
        control.mode == Mode::Late || (control.mode == Mode::LateRkdb && request.path == "/fonws/ws/rkdb");
    if (late && !waitLate(control.amount)) {
        response.status = 503;
        return;
    }
    if (control.mode == Mode::Huge) {
        const std::size_t target = static_cast<std::size_t>(control.amount) * MIB;
        // a comment after the root element keeps the document well-formed
        if (body.size() + 7 <= target) {
            body += "<!--" + std::string(target - body.size() - 7, ' ') + "-->";
        }
    }
    response.status = status;
    response.set_content(body, status == 404 ? "text/plain;charset=UTF-8" : CONTENT_TYPE);
}

std::string Service::Impl::answer(const httplib::Request& request, const Control& control, int& status)
{
    const bool session = request.path == control.sessionPath;
    const bool rkdb = request.path == "/fonws/ws/rkdb";
    if (request.method != "POST" || (!session && !rkdb)) {
        status = 404;
        return "Not Found\n";
    }
    const SoapWriter writer(control.style, control.mode == Mode::ForeignRc);
    const SoapReadResult read = reader.read(request.body, session ? SchemaKind::Session : SchemaKind::Rkdb);
    if (read.errors.empty() && rkdb && read.payload.name != "rkdbRequest") {
        status = 500;
        return writer.fault(
            "Client", "Validation error", {"Unexpected element '" + read.payload.name + "', expected rkdbRequest."});
    }
    if (!read.errors.empty()) {
        status = 500;
        return writer.fault("Client", "Validation error", read.errors);
    }
    return session ? answerSession(read, writer, status) : answerRkdb(read, writer);
}

std::string Service::Impl::answerSession(const SoapReadResult& read, const SoapWriter& writer, int& status)
{
    const XmlElement& payload = read.payload;
    if (payload.name == "loginRequest") {
        const SessionAnswer answer =
            sessions.login(payload.childText("tid"), payload.childText("benid"), payload.childText("pin"));
        return writer.loginResponse(answer.id, answer.rc, answer.msg);
    }
    if (payload.name == "logoutRequest") {
        const SessionAnswer answer =
            sessions.logout(payload.childText("tid"), payload.childText("benid"), payload.childText("id"));
        return writer.logoutResponse(answer.rc, answer.msg);
    }
    status = 500;
    return writer.fault("Client",
                        "Validation error",
                        {"Unexpected element '" + payload.name + "', expected loginRequest or logoutRequest."});
}

std::string Service::Impl::answerRkdb(const SoapReadResult& read, const SoapWriter& writer)
{
    const RkdbRequest request = RkdbRequest::fromElement(read.payload);
    std::vector<RecordResult> results;
    if (sessions.isLive(request.sessionId, request.tid, request.benid)) {
        results = registry.process(request);
    } else {
        for (const XmlElement& record : request.records) {
            RecordResult result;
            result.satznr = trimmed(record.childText("satznr"));
            result.rc = "-1";
            result.msg = SESSION_INVALID_MSG;
            results.push_back(std::move(result));
        }
    }
    return writer.rkdbResponse(request.paketNr, localTimestamp(), results);
}

bool Service::Impl::waitLate(long seconds) const
{
    // small steps, so a stop request never waits behind a late answer
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (stopping) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !stopping;
}

Service::Service(ServiceOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options)))
{}

Service::~Service() = default;

bool Service::prepare(std::string& error)
{
    Impl& impl = *m_impl;
    if (!impl.reader.loaded()) {
        error = impl.reader.loadError();
        return false;
    }
    if (!impl.log.prepare(error) || !ensureCertificates(impl.options.stateDir, impl.options.host, error)) {
        return false;
    }
    const std::string cert = impl.options.stateDir + "/server.pem";
    const std::string key = impl.options.stateDir + "/server-key.pem";
    impl.server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!impl.server->is_valid()) {
        error = "cannot load " + cert + " and " + key;
        return false;
    }
    httplib::SSLServer& server = *impl.server;
    server.new_task_queue = [] { return new httplib::ThreadPool(WORKER_THREADS); };
    // only SO_REUSEADDR: httplib's default also sets SO_REUSEPORT, which would let a second instance share the port
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Header and body leave in separate writes; without this, Nagle and delayed ACKs cost 40 ms an answer.
    server.set_tcp_nodelay(true);
    server.set_read_timeout(IO_TIMEOUT_SECONDS);
    server.set_write_timeout(IO_TIMEOUT_SECONDS);
    server.set_keep_alive_max_count(100);
    server.set_payload_max_length(MAX_REQUEST_BYTES);
    const auto handler = [&impl](const httplib::Request& request, httplib::Response& response) {
        impl.handle(request, response);
    };
    const std::string any = ".*";
    server.Get(any, handler);
    server.Post(any, handler);
    server.Put(any, handler);
    server.Patch(any, handler);
    server.Delete(any, handler);
    server.Options(any, handler);

    // loopback only, whatever --host says
    if (impl.options.port == 0) {
        impl.port = server.bind_to_any_port("127.0.0.1");
    } else {
        impl.port = server.bind_to_port("127.0.0.1", impl.options.port) ? impl.options.port : -1;
    }
    if (impl.port <= 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(impl.options.port);
        return false;
    }
    return true;
}

int Service::port() const
{
    return m_impl->port;
}

bool Service::run()
{
    if (m_impl->stopping) {
        return true;
    }
    return m_impl->server->listen_after_bind() || m_impl->stopping;
}

void Service::stop()
{
    Impl& impl = *m_impl;
    impl.stopping = true;
    if (!impl.server) {
        return;
    }
    // httplib ignores stop() until its accept loop runs; wait a little for that in case we are early
    for (int i = 0; i < 200 && !impl.server->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    impl.server->stop();
    shutdownConnections(impl.port);
}

} // namespace fontest
