#include "tests/support/Databases.h"

#include "db/Database.h"
#include "tests/support/TestPaths.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <netinet/in.h>
#include <pwd.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace testsupport {

namespace {

// Where Debian, Fedora and self-built installations put ODBC drivers.
const std::initializer_list<const char*> DRIVER_DIRS = {
    "/usr/lib/x86_64-linux-gnu/odbc",
    "/usr/lib/aarch64-linux-gnu/odbc",
    "/usr/lib/x86_64-linux-gnu",
    "/usr/lib/aarch64-linux-gnu",
    "/usr/lib64",
    "/usr/lib/odbc",
    "/usr/lib",
    "/usr/local/lib",
};

// The plain name first (Debian installs a link), then a versioned file: libx.so.3 or libx-0.9998.so.
std::string findDriver(const std::string& stem, const std::string& label)
{
    for (const char* dir : DRIVER_DIRS) {
        const fs::path plain = fs::path(dir) / (stem + ".so");
        std::error_code ec;
        if (fs::is_regular_file(plain, ec)) {
            return plain.string();
        }
    }
    for (const char* dir : DRIVER_DIRS) {
        std::error_code ec;
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            const std::string name = entry.path().filename().string();
            const bool soVersion = name.rfind(stem + ".so.", 0) == 0;
            const bool dashVersion =
                name.rfind(stem + "-", 0) == 0 && name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0;
            if ((soVersion || dashVersion) && entry.is_regular_file(ec)) {
                found.push_back(entry.path().string());
            }
        }
        if (!found.empty()) {
            std::sort(found.begin(), found.end());
            return found.back();
        }
    }
    std::string places;
    for (const char* dir : DRIVER_DIRS) {
        places += std::string(places.empty() ? "" : ", ") + dir;
    }
    throw std::runtime_error(label + " not found: no " + stem + ".so (or a versioned " + stem + ") in " + places
                             + ". Install the driver package.");
}

std::string findProgram(std::initializer_list<const char*> names)
{
    std::vector<std::string> dirs = {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin", "/sbin", "/bin"};
    if (const char* path = std::getenv("PATH")) {
        std::stringstream parts(path);
        std::string dir;
        while (std::getline(parts, dir, ':')) {
            if (!dir.empty()) {
                dirs.push_back(dir);
            }
        }
    }
    for (const char* name : names) {
        for (const auto& dir : dirs) {
            const std::string candidate = dir + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
    }
    throw std::runtime_error(std::string("program not found: ") + *names.begin() + " (install mariadb-server)");
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A port the kernel just handed out on 127.0.0.1; another process may take it before the server does, which start()
// notices and answers with a new port.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw std::runtime_error("socket(): " + std::string(std::strerror(errno)));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port on 127.0.0.1: " + std::string(std::strerror(errno)));
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

// True once the server answers on its socket: it sends its greeting right after accepting.
bool answers(const std::string& socketPath)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        timeval timeout{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        std::array<char, 256> greeting{};
        ok = ::recv(fd, greeting.data(), greeting.size(), 0) > 0;
    }
    ::close(fd);
    return ok;
}

// Hands a folder and everything below it to a user (the tests run as root).
void chownTree(const std::string& folder, const char* user)
{
    const passwd* entry = ::getpwnam(user);
    if (entry == nullptr) {
        throw std::runtime_error(std::string("no user ") + user + " to hand " + folder + " to");
    }
    const auto give = [entry](const std::string& path) {
        if (::lchown(path.c_str(), entry->pw_uid, entry->pw_gid) != 0) {
            throw std::runtime_error("chown " + path + ": " + std::strerror(errno));
        }
    };
    give(folder);
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        give(item.path().string());
    }
}

// Small and quick: the server holds a few test databases, never anything that must survive a crash. The same InnoDB
// file sizes go to the installation and to the server.
const std::vector<std::string> INNODB_OPTIONS = {
    "--innodb-buffer-pool-size=64M",
    "--innodb-log-file-size=8M",
    "--innodb-data-file-path=ibdata1:10M:autoextend",
};

} // namespace

std::string sqliteDriver()
{
    return findDriver("libsqlite3odbc", "SQLite3 ODBC driver (package libsqliteodbc)");
}

std::string mariadbDriver()
{
    return findDriver("libmaodbc", "MariaDB Connector/ODBC (package odbc-mariadb)");
}

std::string sqliteConnectionString(const std::string& file)
{
    if (file.find_first_of(";{}") != std::string::npos) {
        throw std::invalid_argument("the SQLite driver cannot take this file name: " + file);
    }
    // Timeout: milliseconds to wait for a lock another connection holds.
    return "Driver=" + sqliteDriver() + ";Database=" + file + ";Timeout=10000;";
}

std::string schemaFile(const std::string& name)
{
    return std::string(test_paths::DB_SCHEMA_DIR) + "/" + name;
}

std::vector<std::string> schemaStatements(const std::string& scriptPath)
{
    auto statements = db::scriptStatements(readFile(scriptPath));
    if (!statements) {
        throw std::runtime_error(scriptPath + ": the last statement has no closing \";\"");
    }
    return std::move(*statements);
}

void createSqliteDatabase(const std::string& file)
{
    OdbcConnection connection(sqliteConnectionString(file));
    for (const auto& statement : schemaStatements(schemaFile("sqlite.sql"))) {
        connection.exec(statement);
    }
}

OdbcConnection::OdbcConnection(const std::string& connectionString)
    : m_connection(connectionString)
{}

void OdbcConnection::exec(const std::string& sql)
{
    m_connection.execute(sql);
}

Rows OdbcConnection::query(const std::string& sql)
{
    db::Statement statement(m_connection);
    statement.execute(sql);
    const auto columns = static_cast<int>(statement.columns().size());
    Rows rows;
    while (statement.fetch()) {
        auto& row = rows.emplace_back();
        for (int i = 0; i < columns; ++i) {
            row.push_back(statement.get(i).value_or(""));
        }
    }
    return rows;
}

std::string OdbcConnection::scalar(const std::string& sql)
{
    const std::vector<db::Text> row = m_connection.queryRow(sql);
    return row.empty() ? std::string() : row.front().value_or("");
}

const std::string& OdbcConnection::driverName() const
{
    return m_connection.driverName();
}

std::string OdbcConnection::dbmsName() const
{
    return m_connection.dbmsName();
}

void execSql(const std::string& connectionString, const std::string& sql)
{
    OdbcConnection(connectionString).exec(sql);
}

Rows querySql(const std::string& connectionString, const std::string& sql)
{
    return OdbcConnection(connectionString).query(sql);
}

namespace {

// The servers of this program that are still alive. Never freed, so the exit handler finds them whatever the order
// in which static objects go.
std::mutex& livingMutex()
{
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::set<MariaDbServer*>& livingServers()
{
    static auto* servers = new std::set<MariaDbServer*>;
    return *servers;
}

} // namespace

MariaDbServer::MariaDbServer()
    : MariaDbServer({}, true)
{}

MariaDbServer::MariaDbServer(std::vector<std::string> extraArgs, bool install)
    : m_extraArgs(std::move(extraArgs))
{
    // A Unix socket path holds at most 107 bytes, so a long TMPDIR gives way to /tmp.
    std::string base = "/tmp";
    // A cluster node's folder must be reachable for the state transfer's daemon (nobody): /tmp is.
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp && std::strlen(tmp) < 60 && m_extraArgs.empty()) {
        base = tmp;
    }
    std::string pattern = base + "/quorvex-mariadb-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp(" + pattern + "): " + std::strerror(errno));
    }
    m_dir = pattern;

    try {
        if (!install) {
            fs::create_directories(m_dir + "/data");
            // The state transfer's rsync daemon writes as nobody: the folders above must let it through.
            fs::permissions(m_dir,
                            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
                                | fs::perms::others_read | fs::perms::others_exec);
            chownTree(m_dir + "/data", "nobody");
        } else {
            installData();
        }
        startWithRetries(false);
        static const bool atExit = std::atexit(&MariaDbServer::removeAllAtExit) == 0;
        static_cast<void>(atExit);
        const std::lock_guard lock(livingMutex());
        livingServers().insert(this);
    } catch (...) {
        stop();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
        throw;
    }
}

void MariaDbServer::installData()
{
    std::vector<std::string> install = {
        findProgram({"mariadb-install-db", "mysql_install_db"}),
        "--no-defaults",
        "--datadir=" + m_dir + "/data",
        "--user=root",
        "--auth-root-authentication-method=normal",
        "--skip-test-db",
        "--skip-name-resolve",
        // Its own temporary folder: bootstraps running side by side in one /tmp remove each other's tables.
        "--tmpdir=" + m_dir,
    };
    install.insert(install.end(), INNODB_OPTIONS.begin(), INNODB_OPTIONS.end());
    Process program({.argv = install, .output = Process::Output::Appended, .logFile = m_dir + "/install.log"});
    if (program.wait(10min) != 0) {
        throw std::runtime_error("mariadb-install-db failed:\n" + readFile(m_dir + "/install.log"));
    }
}

void MariaDbServer::startWithRetries(bool samePort)
{
    std::string log;
    // A port taken between freePort() and the server's bind gets another try.
    for (int attempt = 0; !start(log, samePort); ++attempt) {
        if (attempt == 4) {
            throw std::runtime_error("the MariaDB server did not start:\n" + log);
        }
    }
}

void MariaDbServer::restart()
{
    stop();
    // A cluster's first node bootstraps it only once; started again it joins the others.
    std::erase(m_extraArgs, std::string("--wsrep-new-cluster"));
    // A node's files written as root before it was killed: the state transfer's daemon must replace them.
    if (std::find(m_extraArgs.begin(), m_extraArgs.end(), "--wsrep-on=ON") != m_extraArgs.end()) {
        chownTree(m_dir + "/data", "nobody");
    }
    startWithRetries(true);
}

void MariaDbServer::kill()
{
    // A process still running at destruction gets SIGKILL.
    m_process.reset();
}

MariaDbServer::~MariaDbServer()
{
    remove();
}

void MariaDbServer::remove()
{
    {
        const std::lock_guard lock(livingMutex());
        livingServers().erase(this);
    }
    stop();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

void MariaDbServer::removeAllAtExit()
{
    std::set<MariaDbServer*> servers;
    {
        const std::lock_guard lock(livingMutex());
        servers = livingServers();
    }
    for (auto* server : servers) {
        server->remove();
    }
}

bool MariaDbServer::start(std::string& log, bool samePort)
{
    static const std::string server = findProgram({"mariadbd", "mysqld"});
    if (!samePort || m_port == 0) {
        m_port = freePort();
    }
    std::vector<std::string> args = {
        server,
        "--no-defaults",
        "--user=root",
        "--datadir=" + m_dir + "/data",
        "--socket=" + socket(),
        "--port=" + std::to_string(m_port),
        "--bind-address=127.0.0.1",
        "--pid-file=" + m_dir + "/mysqld.pid",
        "--log-error=" + m_dir + "/mysqld.err",
        "--tmpdir=" + m_dir,
        "--skip-log-bin",
        "--skip-name-resolve",
        "--performance-schema=OFF",
        "--character-set-server=utf8mb4",
        "--collation-server=utf8mb4_unicode_ci",
        "--innodb-flush-log-at-trx-commit=2",
        "--innodb-doublewrite=0",
        "--max-connections=50",
    };
    args.insert(args.end(), INNODB_OPTIONS.begin(), INNODB_OPTIONS.end());
    args.insert(args.end(), m_extraArgs.begin(), m_extraArgs.end());
    // The server goes down with the test process, even when that one is killed. The signal comes when the thread that
    // forked ends, so servers belong to the main thread (SetUpTestSuite runs there).
    m_process = std::make_unique<Process>(Process::Options{
        .argv = args, .output = Process::Output::Appended, .logFile = m_dir + "/mysqld.out", .endsWithParent = true});

    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running()) {
            m_process.reset();
            log = logTail();
            if (log.find("Address already in use") != std::string::npos) {
                return false;
            }
            throw std::runtime_error("the MariaDB server ended while starting:\n" + log);
        }
        if (answers(socket())) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    log = logTail();
    stop();
    throw std::runtime_error("the MariaDB server did not accept connections within 60 s:\n" + log);
}

std::string MariaDbServer::logTail() const
{
    std::string text;
    for (const char* name : {"/mysqld.err", "/mysqld.out"}) {
        try {
            text += readFile(m_dir + name);
        } catch (const std::runtime_error&) {
            // the server did not get as far as writing it
        }
    }
    return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

bool MariaDbServer::running() const
{
    return m_process && m_process->running();
}

void MariaDbServer::stop()
{
    if (m_process) {
        m_process->terminate(20s);
        m_process.reset();
    }
}

std::string MariaDbServer::connectionString(const std::string& database) const
{
    // Server=localhost makes Connector/C use the Unix socket given by Socket=. Charset=utf8mb4 fixes the character
    // set of the connection, so the ANSI calls exchange UTF-8 whatever the defaults of client library and server.
    return "Driver=" + mariadbDriver() + ";Server=localhost;Socket=" + socket() + ";Uid=root;Pwd=;Database=" + database
           + ";Charset=utf8mb4;";
}

std::string MariaDbServer::createDatabase(const std::string& name)
{
    if (name.empty() || name.size() > 64
        || name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")
               != std::string::npos) {
        throw std::invalid_argument("database name must be letters, digits and \"_\": " + name);
    }
    execSql(connectionString(""), "CREATE DATABASE `" + name + "` CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci");
    const std::string database = connectionString(name);
    OdbcConnection connection(database);
    for (const auto& statement : schemaStatements(schemaFile("mariadb.sql"))) {
        connection.exec(statement);
    }
    return database;
}

} // namespace testsupport

namespace testsupport {

GaleraCluster::GaleraCluster(int nodes)
{
    std::string provider;
    for (const char* path : {"/usr/lib/galera/libgalera_smm.so", "/usr/lib/libgalera_smm.so"}) {
        if (provider.empty() && fs::exists(path)) {
            provider = path;
        }
    }
    if (provider.empty()) {
        throw std::runtime_error("no Galera provider (libgalera_smm.so): the package galera-4 is not installed");
    }
    if (!fs::exists("/usr/bin/rsync") || !fs::exists("/usr/bin/wsrep_sst_rsync")) {
        throw std::runtime_error("no rsync state transfer: the packages rsync and mariadb-server are needed");
    }
    // Three loopback ports per node: group communication, incremental and full state transfer.
    std::vector<int> ports;
    std::string members;
    for (int i = 0; i < nodes; ++i) {
        ports.push_back(freePort());
        members += (i == 0 ? "" : ",") + std::string("127.0.0.1:") + std::to_string(ports.back());
    }
    for (int i = 0; i < nodes; ++i) {
        const int port = ports[static_cast<std::size_t>(i)];
        std::vector<std::string> args = {
            "--binlog-format=ROW",
            "--default-storage-engine=InnoDB",
            "--innodb-autoinc-lock-mode=2",
            "--wsrep-on=ON",
            "--wsrep-provider=" + provider,
            "--wsrep-cluster-name=quorvex-test",
            "--wsrep-cluster-address=gcomm://" + members,
            "--wsrep-node-name=node" + std::to_string(i + 1),
            "--wsrep-node-address=127.0.0.1:" + std::to_string(port),
            "--wsrep-provider-options=gmcast.listen_addr=tcp://127.0.0.1:" + std::to_string(port)
                + ";ist.recv_addr=127.0.0.1:" + std::to_string(freePort()) + ";gcache.size=32M",
            "--wsrep-sst-method=rsync",
            "--wsrep-sst-receive-address=127.0.0.1:" + std::to_string(freePort()),
        };
        if (i == 0) {
            args.emplace_back("--wsrep-new-cluster");
        }
        m_nodes.push_back(std::make_unique<MariaDbServer>(std::move(args), i == 0));
        waitSynced(i);
    }
}

GaleraCluster::~GaleraCluster()
{
    // The joiners first: the last node standing may stop without waiting for the others.
    while (!m_nodes.empty()) {
        m_nodes.pop_back();
    }
}

std::string GaleraCluster::connectionString(int node, const std::string& database) const
{
    return m_nodes.at(static_cast<std::size_t>(node))->connectionString(database);
}

std::string GaleraCluster::createDatabase(const std::string& name)
{
    return m_nodes.front()->createDatabase(name);
}

void GaleraCluster::kill(int node)
{
    m_nodes.at(static_cast<std::size_t>(node))->kill();
}

void GaleraCluster::restart(int node)
{
    m_nodes.at(static_cast<std::size_t>(node))->restart();
    waitSynced(node);
}

bool GaleraCluster::synced(int node)
{
    try {
        const auto rows = querySql(connectionString(node, ""),
                                   "SHOW STATUS WHERE Variable_name IN ('wsrep_ready', 'wsrep_local_state_comment')");
        return rows.size() == 2 && rows[0].at(1) == "Synced" && rows[1].at(1) == "ON";
    } catch (const std::exception&) {
        return false;
    }
}

void GaleraCluster::waitSynced(int node)
{
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (!synced(node)) {
        if (std::chrono::steady_clock::now() > deadline || !m_nodes.at(static_cast<std::size_t>(node))->running()) {
            throw std::runtime_error("Galera node " + std::to_string(node + 1) + " did not join the cluster:\n"
                                     + readFile(m_nodes[static_cast<std::size_t>(node)]->directory() + "/mysqld.err"));
        }
        std::this_thread::sleep_for(200ms);
    }
}

} // namespace testsupport
