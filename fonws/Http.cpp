#include "fonws/Http.h"

#include "base/StringUtil.h"
#include "fonws/Xml.h"

#include <curl/curl.h>

#include <dlfcn.h>
#include <mutex>
#include <vector>

namespace fonws {
namespace {

constexpr long DEFAULT_CONNECT_MS = 30'000;
constexpr long DEFAULT_EXCHANGE_MS = 120'000;

/**
 * libcurl, with the two dozen libraries it needs for TLS, Kerberos, LDAP, SSH and the rest, is loaded on the first
 * exchange rather than when the program starts: binding them cost the start of the program a good part of its time,
 * and most starts never send anything. Loaded once per process and never unloaded; thread-safe.
 */
struct Curl
{
    decltype(&::curl_global_init) global_init = nullptr;
    decltype(&::curl_easy_init) easy_init = nullptr;
    decltype(&::curl_easy_reset) easy_reset = nullptr;
    decltype(&::curl_easy_setopt) easy_setopt = nullptr;
    decltype(&::curl_easy_perform) easy_perform = nullptr;
    decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&::curl_easy_strerror) easy_strerror = nullptr;
    decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&::curl_slist_append) slist_append = nullptr;
    decltype(&::curl_slist_free_all) slist_free_all = nullptr;
    std::string error; //!< why it could not be loaded; "" once it is

    template <class Function> bool bind(void* library, Function& function, const char* name)
    {
        function = reinterpret_cast<Function>(::dlsym(library, name));
        if (!function && error.empty()) {
            error = std::string("libcurl ohne ") + name;
        }
        return function != nullptr;
    }
};

const Curl& curl()
{
    static const Curl loaded = [] {
        Curl c;
        void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            const char* why = ::dlerror();
            c.error = std::string("libcurl kann nicht geladen werden: ") + (why ? why : "libcurl.so.4");
            return c;
        }
        c.bind(library, c.global_init, "curl_global_init");
        c.bind(library, c.easy_init, "curl_easy_init");
        c.bind(library, c.easy_reset, "curl_easy_reset");
        c.bind(library, c.easy_setopt, "curl_easy_setopt");
        c.bind(library, c.easy_perform, "curl_easy_perform");
        c.bind(library, c.easy_getinfo, "curl_easy_getinfo");
        c.bind(library, c.easy_strerror, "curl_easy_strerror");
        c.bind(library, c.easy_cleanup, "curl_easy_cleanup");
        c.bind(library, c.slist_append, "curl_slist_append");
        c.bind(library, c.slist_free_all, "curl_slist_free_all");
        if (c.error.empty() && c.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            c.error = "libcurl kann nicht gestartet werden.";
        }
        return c;
    }();
    return loaded;
}

template <class... Arguments> CURLcode setopt(CURL* easy, CURLoption option, Arguments... arguments)
{
    return curl().easy_setopt(easy, option, arguments...);
}

struct SlistFree
{
    void operator()(curl_slist* list) const { curl().slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;

struct EasyCleanup
{
    void operator()(CURL* easy) const { curl().easy_cleanup(easy); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;

bool isBlankBlock(const std::string& text)
{
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// The header block as curl list entries; a header with an empty value is written "Name;" as curl wants it.
std::vector<std::string> headerLines(const std::string& block)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < block.size()) {
        auto end = block.find('\n', start);
        if (end == std::string::npos) {
            end = block.size();
        }
        std::string line = block.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            const auto colon = line.find(':');
            if (colon != std::string::npos && base::isBlank(std::string_view(line).substr(colon + 1))) {
                line = line.substr(0, colon) + ";";
            }
            lines.push_back(std::move(line));
        }
        start = end + 1;
    }
    return lines;
}

bool names(const std::vector<std::string>& lines, std::string_view header)
{
    for (const auto& line : lines) {
        if (base::startsWithNoCase(line, header)
            && (line.size() == header.size() || line[header.size()] == ':' || line[header.size()] == ';')) {
            return true;
        }
    }
    return false;
}

} // namespace

struct CHttp::Impl
{
    std::string agent;
    Easy easy;
    std::string host;
    int port = 80; // until an exchange names another
    bool connected = false;
    long connectMs = DEFAULT_CONNECT_MS;
    long exchangeMs = DEFAULT_EXCHANGE_MS;
    std::string caFile;
    std::string connectTo;
    std::string error;
    std::string requestHead;
    long status = 0;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const std::atomic<bool>* cancel = nullptr;

    struct Answer
    {
        std::string body;
        bool tooLarge = false;
    };

    static std::size_t write(char* data, std::size_t size, std::size_t count, void* user)
    {
        auto* answer = static_cast<Answer*>(user);
        const auto bytes = size * count;
        if (answer->body.size() + bytes > MAX_ANSWER) {
            answer->tooLarge = true;
            return 0; // aborts the transfer
        }
        answer->body.append(data, bytes);
        return bytes;
    }

    // Called by curl about once a second and whenever data moves: a set cancel flag ends the exchange.
    static int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
    {
        const auto* cancel = static_cast<const Impl*>(user)->cancel;
        return cancel && cancel->load() ? 1 : 0;
    }

    static int debug(CURL*, curl_infotype type, char* data, std::size_t size, void* user)
    {
        if (type == CURLINFO_HEADER_OUT) {
            static_cast<Impl*>(user)->requestHead.append(data, size);
        }
        return 0;
    }
};

CHttp::CHttp(std::string agent)
    : m(std::make_unique<Impl>())
{
    m->agent = std::move(agent);
}

CHttp::~CHttp() = default;

std::string CHttp::GetDocumentByGetOrPost(const std::string& server,
                                          const std::string& path,
                                          const std::string& data,
                                          const std::string& headers,
                                          const std::string& method,
                                          std::optional<int> port,
                                          unsigned long flags,
                                          int timeoutSeconds)
{
    const bool secure = (flags & INTERNET_FLAG_SECURE) != 0;
    m->port = secure ? 443 : port.value_or(m->port);
    m->error.clear();
    m->requestHead.clear();
    m->status = 0;
    if (!curl().error.empty()) {
        m->error = curl().error;
        DebOut(m->error);
        return {};
    }

    if (!m->easy) {
        m->easy.reset(curl().easy_init());
        if (!m->easy) {
            m->error = "Die Internet-Sitzung kann nicht geöffnet werden.";
            return {};
        }
    }
    if (m->connected && m->host != server) {
        // Another host: the connection to the old one goes, the session stays.
        CloseRemote();
        m->easy.reset(curl().easy_init());
    }
    m->host = server;
    m->connected = true;
    if (timeoutSeconds != 0) {
        // A time-out below 0 is refused: the exchange keeps the time-outs it had.
        static_cast<void>(InternetSetTimeout(timeoutSeconds));
    }

    CURL* easy = m->easy.get();
    curl().easy_reset(easy); // options only: the connection cache stays
    const std::string url = std::string(secure ? "https://" : "http://") + server + ":" + std::to_string(m->port)
                            + (path.starts_with('/') ? "" : "/") + path;
    setopt(easy, CURLOPT_URL, url.c_str());
    setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    setopt(easy, CURLOPT_NOSIGNAL, 1L);
    setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, m->connectMs);
    setopt(easy, CURLOPT_TIMEOUT_MS, m->exchangeMs);
    setopt(easy, CURLOPT_ERRORBUFFER, m->errorBuffer);
    setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    if (!m->caFile.empty()) {
        // An extra authority beside the system's: the file, and the system's hashed folder.
        setopt(easy, CURLOPT_CAINFO, m->caFile.c_str());
        setopt(easy, CURLOPT_CAPATH, "/etc/ssl/certs");
    }
    Slist connectTo;
    if (!m->connectTo.empty()) {
        connectTo.reset(
            curl().slist_append(nullptr, (server + ":" + std::to_string(m->port) + ":" + m->connectTo).c_str()));
        setopt(easy, CURLOPT_CONNECT_TO, connectTo.get());
    }
    if (!m->agent.empty()) {
        setopt(easy, CURLOPT_USERAGENT, m->agent.c_str());
    }

    std::string block = headers;
    if (isBlankBlock(block)) {
        block = method == "POST" ? "Content-Type: application/x-www-form-urlencoded\r\nAccept: */*\r\n\r\n"
                                 : "Accept: */*\r\n\r\n";
    }
    auto lines = headerLines(block);
    // curl's own defaults that the block does not name are left out.
    for (const char* own : {"Accept", "Content-Type", "Expect", "Transfer-Encoding"}) {
        if (!names(lines, own)) {
            lines.push_back(std::string(own) + ":");
        }
    }
    Slist list;
    for (const auto& line : lines) {
        curl_slist* grown = curl().slist_append(list.get(), line.c_str());
        if (!grown) {
            m->error = "Die Kopfzeilen können nicht gesetzt werden.";
            return {};
        }
        list.release();
        list.reset(grown);
    }
    setopt(easy, CURLOPT_HTTPHEADER, list.get());

    if (method == "POST") {
        setopt(easy, CURLOPT_POST, 1L);
    } else if (method == "HEAD") {
        setopt(easy, CURLOPT_NOBODY, 1L);
    }
    if (method != "POST") {
        setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    if (method == "POST" || !data.empty()) {
        setopt(easy, CURLOPT_POSTFIELDS, data.data());
        setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(data.size()));
    }

    Impl::Answer answer;
    setopt(easy, CURLOPT_WRITEFUNCTION, &Impl::write);
    setopt(easy, CURLOPT_WRITEDATA, &answer);
    setopt(easy, CURLOPT_DEBUGFUNCTION, &Impl::debug);
    setopt(easy, CURLOPT_DEBUGDATA, m.get());
    setopt(easy, CURLOPT_VERBOSE, 1L);
    if (m->cancel) {
        setopt(easy, CURLOPT_XFERINFOFUNCTION, &Impl::progress);
        setopt(easy, CURLOPT_XFERINFODATA, m.get());
        setopt(easy, CURLOPT_NOPROGRESS, 0L);
    }

    m->errorBuffer[0] = '\0';
    const CURLcode code = curl().easy_perform(easy);
    if (curl().easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &m->status) != CURLE_OK) {
        m->status = 0;
    }
    setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    setopt(easy, CURLOPT_CONNECT_TO, nullptr);
    if (code != CURLE_OK) {
        m->error = answer.tooLarge                     ? "Die Antwort ist größer als 16 MiB."
                   : code == CURLE_ABORTED_BY_CALLBACK ? "Abgebrochen."
                   : m->errorBuffer[0]                 ? std::string(m->errorBuffer)
                                                       : std::string(curl().easy_strerror(code));
        DebOut(static_cast<int>(code));
        DebOut(ErrorMsg());
        return {};
    }
    return std::move(answer.body);
}

void CHttp::setTimeouts(int connectSeconds, int exchangeSeconds)
{
    if (connectSeconds > 0) {
        m->connectMs = static_cast<long>(connectSeconds) * 1000;
    }
    if (exchangeSeconds > 0) {
        m->exchangeMs = static_cast<long>(exchangeSeconds) * 1000;
    }
}

void CHttp::setCancel(const std::atomic<bool>* cancel)
{
    m->cancel = cancel;
}

bool CHttp::InternetSetTimeout(int seconds)
{
    if (seconds <= 0) {
        return false;
    }
    m->connectMs = static_cast<long>(seconds) * 1000;
    m->exchangeMs = static_cast<long>(seconds) * 1000;
    return true;
}

void CHttp::CloseRemote()
{
    // Dropping the handle closes its connections.
    m->easy.reset();
    m->connected = false;
}

void CHttp::Close()
{
    CloseRemote();
}

std::string CHttp::ErrorMsg() const
{
    return m->error;
}

void CHttp::setCaFile(const std::string& path)
{
    m->caFile = path;
}

void CHttp::setConnectTo(const std::string& addressAndPort)
{
    m->connectTo = addressAndPort;
}

const std::string& CHttp::hostName() const
{
    return m->host;
}

int CHttp::port() const
{
    return m->port;
}

int CHttp::lastStatus() const
{
    return static_cast<int>(m->status);
}

const std::string& CHttp::lastRequestHead() const
{
    return m->requestHead;
}

} // namespace fonws
