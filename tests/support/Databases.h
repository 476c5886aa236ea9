#pragma once

#include "db/Odbc.h"
#include "tests/support/Process.h"

#include <memory>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

//! The two databases every database test runs on.
enum class Backend
{
    SQLite,
    MariaDB,
};

//! Test names show "SQLite" or "MariaDB".
inline void PrintTo(Backend backend, std::ostream* out)
{
    *out << (backend == Backend::SQLite ? "SQLite" : "MariaDB");
}

//! Path of the SQLite3 ODBC driver library; throws std::runtime_error naming the places searched when it is missing.
std::string sqliteDriver();
//! Path of the MariaDB Connector/ODBC driver library; throws std::runtime_error when it is missing.
std::string mariadbDriver();

//! ODBC connection string for the SQLite database in `file` (created on first connect), driver given by path.
std::string sqliteConnectionString(const std::string& file);

//! Creates the tables and indexes of db/schema/sqlite.sql in `file` through the SQLite ODBC driver. Runs again
//! harmlessly on a file that already has them. Throws std::runtime_error with the driver's diagnostics on failure.
void createSqliteDatabase(const std::string& file);

//! The statements of a schema script (";" at a line end closes one, "--" lines are comments).
std::vector<std::string> schemaStatements(const std::string& scriptPath);
//! Full path of a script in db/schema/, e.g. "mariadb.sql".
std::string schemaFile(const std::string& name);

using Rows = std::vector<std::vector<std::string>>;

/**
 * One ODBC connection in autocommit mode, closed at destruction: the program's db::Connection, with the few calls
 * tests use to set up a database and to read back what the program stored. Every failing call throws
 * base::PlatformError (a std::runtime_error) with the SQLSTATEs and messages of the driver and the statement.
 *
 * Reads go through db::Statement, the code the program reads with. Where a test compares what the program lists with
 * what query() gives (the receipt picker, the DEP export), a fault in db::Statement would be on both sides and not
 * show; tests/dbsupport/DatabasesTest checks query() against fixed values instead (whole result sets, values longer
 * than one fetch, UTF-8 against the database's own hex(), the driver's errors), so such a fault fails there. No test
 * checks db::Connection or db::Statement by comparing them with this class.
 */
class OdbcConnection
{
public:
    explicit OdbcConnection(const std::string& connectionString);

    //! Runs a statement; a result set is discarded.
    void exec(const std::string& sql);
    //! Runs a query; every value as text, NULL as "".
    Rows query(const std::string& sql);
    //! The value of the first column of the first row ("" when there is none).
    std::string scalar(const std::string& sql);
    //! The driver's file name and the database's product name (SQL_DRIVER_NAME, SQL_DBMS_NAME).
    const std::string& driverName() const;
    std::string dbmsName() const;

private:
    db::Connection m_connection;
};

//! Connects, runs one statement, disconnects.
void execSql(const std::string& connectionString, const std::string& sql);
//! Connects, runs one query, disconnects; every value as text, NULL as "".
Rows querySql(const std::string& connectionString, const std::string& sql);

/**
 * A private MariaDB server for the lifetime of the object: a fresh data folder under the temporary folder, its own
 * Unix socket, and TCP only on 127.0.0.1 at a free port. The user root has no password. The server gets SIGTERM when
 * the test process dies, and the destructor stops it (SIGTERM, SIGKILL after 20 s) and removes the folder.
 *
 * The constructor returns once the server accepts connections; it throws std::runtime_error (with the end of the
 * server's log) when the programs are missing or the server does not come up within 60 s.
 */
class MariaDbServer
{
public:
    MariaDbServer();
    /**
     * A server started with `extraArgs` after the usual ones. With `install` false its data folder starts empty and
     * is owned by "nobody", as a Galera node that joins receives its data by a state transfer (rsync's daemon writes
     * as nobody when started by root).
     */
    MariaDbServer(std::vector<std::string> extraArgs, bool install);
    ~MariaDbServer();
    MariaDbServer(const MariaDbServer&) = delete;
    MariaDbServer& operator=(const MariaDbServer&) = delete;

    //! True while the server process lives.
    bool running() const;
    //! Process id of the server, 0 after stop().
    pid_t pid() const { return m_process ? m_process->pid() : 0; }
    std::string socket() const { return m_dir + "/mysqld.sock"; }
    int port() const { return m_port; }
    //! The server's data folder and log live below this folder.
    const std::string& directory() const { return m_dir; }

    /**
     * Creates database `name` (letters, digits, "_") with the tables of db/schema/mariadb.sql and returns its ODBC
     * connection string. Throws std::invalid_argument for another name, std::runtime_error when a statement fails.
     */
    std::string createDatabase(const std::string& name);
    //! Connection string through MariaDB Connector/ODBC on the socket as root; "" as database connects to none.
    std::string connectionString(const std::string& database) const;

    //! Stops the server and waits for it; the destructor does the same.
    void stop();
    //! Kills the server with SIGKILL, as a crash or a pulled plug does, and waits for it.
    void kill();
    //! Starts the stopped or killed server again on its folder and port; throws as the constructor does.
    void restart();

private:
    bool start(std::string& log, bool samePort);
    void installData();
    void startWithRetries(bool samePort);
    std::string logTail() const;
    //! Stops the server and removes its folder (the data files take about 90 MB).
    void remove();
    //! Removes the servers still alive when the test program ends: many fixtures keep theirs for the whole program
    //! and never delete it.
    static void removeAllAtExit();

    std::string m_dir;
    int m_port = 0;
    std::unique_ptr<Process> m_process;
    std::vector<std::string> m_extraArgs;
};

/**
 * A private MariaDB Galera cluster of `nodes` servers on loopback ports: the first bootstraps the cluster, the others
 * join it and receive its data by rsync state transfer. A killed node rejoins with restart(). The constructor returns
 * once every node is synced; it throws std::runtime_error naming what is missing (the Galera provider of the package
 * galera-4, rsync) or the end of a node's log.
 */
class GaleraCluster
{
public:
    explicit GaleraCluster(int nodes = 3);
    ~GaleraCluster();
    GaleraCluster(const GaleraCluster&) = delete;
    GaleraCluster& operator=(const GaleraCluster&) = delete;

    int size() const { return static_cast<int>(m_nodes.size()); }
    MariaDbServer& node(int index) { return *m_nodes.at(static_cast<std::size_t>(index)); }
    //! Creates the database with the tables of db/schema/mariadb.sql on the first node (the cluster replicates it)
    //! and returns the first node's connection string.
    std::string createDatabase(const std::string& name);
    std::string connectionString(int node, const std::string& database) const;
    //! SIGKILL to a node.
    void kill(int node);
    //! Starts a killed node again; it rejoins by a state transfer. Returns once it is synced.
    void restart(int node);
    //! Whether the node answers as a synced member of the primary component.
    bool synced(int node);

private:
    void waitSynced(int node);

    std::vector<std::unique_ptr<MariaDbServer>> m_nodes;
};

} // namespace testsupport
