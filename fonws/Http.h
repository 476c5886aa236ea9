#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace fonws {

//! The secure-connection flag of a request: TLS, and port 443 whatever port is passed.
inline constexpr unsigned long INTERNET_FLAG_SECURE = 0x800000;

/**
 * HTTP client with one session and a kept connection to one host at a time, one request per exchange.
 *
 * The caller's header block is sent exactly, line for line, after the request line and the agent's User-Agent
 * line; the client adds no header of its own but those HTTP/1.1 cannot do without (Host, Content-Length) when the
 * block does not name them. The body is sent byte for byte. TLS peer and host name are always verified, against
 * the system's certificate authorities and an optional extra CA file. Time-outs: 30 s to connect and 120 s for the
 * whole exchange unless InternetSetTimeout set others. An answer of more than 16 MiB counts as no answer.
 */
class CHttp
{
public:
    static constexpr std::size_t MAX_ANSWER = 16u << 20;

    explicit CHttp(std::string agent);
    ~CHttp();
    CHttp(const CHttp&) = delete;
    CHttp& operator=(const CHttp&) = delete;

    /**
     * One exchange: connects to `server` (or reuses the connection to it), sends `method` `path` with `headers`
     * and `data`, and returns the answer body whatever the HTTP status; "" when any step failed. After a failed
     * exchange two lines go to the debug output: the error code and the error message. An empty header block gets
     * the default for the method ("POST": form content type and Accept; any other: Accept).
     */
    [[nodiscard]] std::string GetDocumentByGetOrPost(const std::string& server,
                                                     const std::string& path = "",
                                                     const std::string& data = "",
                                                     const std::string& headers = "",
                                                     const std::string& method = "GET",
                                                     std::optional<int> port = std::nullopt,
                                                     unsigned long flags = 0,
                                                     int timeoutSeconds = 0);

    //! Sets the connect time-out and the whole-exchange time-out to `seconds`; true when all were set.
    [[nodiscard]] bool InternetSetTimeout(int seconds);
    //! Sets the two time-outs apart; a value below 1 leaves its time-out as it is.
    void setTimeouts(int connectSeconds, int exchangeSeconds);
    //! A flag that, once set (from any thread), ends the running and every further exchange within about a second
    //! with the error "Abgebrochen."; nullptr: none.
    void setCancel(const std::atomic<bool>* cancel);

    //! Closes the connection to the host; the next exchange connects anew.
    void CloseRemote();
    //! Shuts the session down (connection included).
    void Close();

    //! Text of the last error, "" when the last exchange succeeded.
    std::string ErrorMsg() const;

    //! Extra CA file (PEM) trusted besides the system's.
    void setCaFile(const std::string& path);
    //! "address:port" the TCP connection goes to instead of the host; host name, port and TLS check stay.
    void setConnectTo(const std::string& addressAndPort);

    const std::string& hostName() const;
    int port() const;
    //! The HTTP status of the last exchange's answer (200, 404, 500 …); 0 when no answer came.
    int lastStatus() const;
    //! Request line and headers exactly as sent by the last exchange.
    const std::string& lastRequestHead() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace fonws
