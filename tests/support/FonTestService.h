#pragma once

#include "tests/support/Process.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

//! A FinanzOnline web-service user the test service accepts.
struct FonAccount
{
    std::string tid, benid, pin;
    std::string refusal; //!< "" or a session rc forced for this user whatever the PIN, such as "-6"
};

//! One request the test service received, read back from its request log.
struct ReceivedRequest
{
    int seq = 0;
    std::string connection; //!< "127.0.0.1:54321", one value per TLS connection
    std::string method, path;
    std::vector<std::pair<std::string, std::string>> headers; //!< as the server parsed them
    std::string body;                                         //!< exact bytes

    //! The value of a header, name compared without case; "" when missing.
    std::string header(const std::string& name) const;
};

//! Runs fon-test-service in a temporary state dir for the life of the object. Clients connect to connectTo()
//! while using host() in the URL and trust caFile(). The service is told to stop when the thread that constructed
//! the object ends (or the test process dies), so construct it on a thread that outlives its use.
class FonTestService
{
public:
    //! Writes the accounts file, starts the service and waits (at most 20 s) until it listens. On failure
    //! running() is false and the reason is on stderr.
    explicit FonTestService(std::vector<FonAccount> accounts, std::string host = "finanzonline.bmf.gv.at");
    //! Stops the service (see stop()) and removes the state dir. A service that does not end cleanly on SIGTERM (a
    //! crash at shutdown, a sanitizer's report, a forced exit) ends the test process with its reason: the tests that
    //! used it do not pass.
    ~FonTestService();
    FonTestService(const FonTestService&) = delete;
    FonTestService& operator=(const FonTestService&) = delete;

    //! Started, listening and not exited.
    bool running() const;
    //! Sends SIGTERM and waits (SIGKILL after 10 s); "" when the service then ended with exit code 0, else how it
    //! ended ("exit code 1", "signal 6", …). Only the first call stops; a service that had already ended is reported
    //! as it ended.
    std::string stop();
    int port() const;
    //! "127.0.0.1:<port>"
    std::string connectTo() const;
    //! The throwaway CA's PEM file.
    std::string caFile() const;
    const std::string& host() const;
    const std::string& stateDir() const;

    //! "ns5" or "ns0"; applies to the requests after this call.
    void setStyle(const std::string& style);
    //! "normal", "close", "late 5", "late-rkdb 5" (RKDB answers only), "garbage", "fault", "empty", "huge 17",
    //! "foreign-rc"; applies to the requests after this call.
    void setMode(const std::string& mode);

    //! The one path the session service answers on (default "/fonws/ws/sessionService"; FinanzOnline's WSDL names
    //! "/fonws/ws/session"); logins and logouts to any other path are not found (404). For the requests after this
    //! call.
    void setSessionPath(const std::string& path);

    //! Everything received so far, in order of arrival.
    std::vector<ReceivedRequest> requests() const;

private:
    void writeControl() const;

    std::string m_host;
    std::string m_stateDir;
    std::string m_style = "ns0";
    std::string m_mode = "normal";
    std::string m_sessionPath = "/fonws/ws/sessionService";
    std::unique_ptr<Process> m_process;
    int m_port = 0;
    mutable bool m_exited = false;        //!< seen ended before stop()
    std::optional<std::string> m_stopped; //!< what stop() found
};

} // namespace testsupport
