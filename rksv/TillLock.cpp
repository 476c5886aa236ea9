#include "rksv/TillLock.h"

#include "base/ErrorLog.h"

#include <algorithm>
#include <atomic>
#include <string_view>

namespace rksv {
namespace {

std::atomic<long> lockWaitMs{15000};

bool mentions(const std::string& text, std::initializer_list<std::string_view> words)
{
    return std::any_of(
        words.begin(), words.end(), [&text](std::string_view word) { return text.find(word) != std::string::npos; });
}

} // namespace

void rethrowStepError(const base::PlatformError& error, bool duringCommit)
{
    const std::string text = error.what();
    // The server is gone or no longer serves: the connection was lost (MariaDB 2002/2006/2013, SQLSTATE 08S01), or a
    // cluster node left the primary component (1047 "WSREP has not yet prepared node for application use").
    if (mentions(text,
                 {"08S01",
                  "08001",
                  "08003",
                  "Lost connection",
                  "gone away",
                  "Broken pipe",
                  "Connection reset",
                  "Can't connect",
                  "WSREP has not yet prepared node",
                  "WSREP has not yet"})) {
        throw TillUnreachable(text, duringCommit);
    }
    // MariaDB: 1205 lock wait timeout; SQLite: the busy timeout ran out.
    if (mentions(text, {"Lock wait timeout", "database is locked", "database table is locked", "ORA-30006"})) {
        throw TillBusy(text);
    }
    // MariaDB: 1213 deadlock, also what a Galera cluster answers when another node's transaction won; a duplicate
    // key when two stations create the till's number range at once.
    if (mentions(text, {"40001", "Deadlock", "deadlock", "WSREP", "Duplicate entry", "23000"})) {
        throw TillConflict(text);
    }
    throw error;
}

std::chrono::milliseconds tillLockWait()
{
    return std::chrono::milliseconds(lockWaitMs.load());
}

void setTillLockWait(std::chrono::milliseconds wait)
{
    lockWaitMs = static_cast<long>(wait.count());
}

TillLock::TillLock(std::shared_ptr<db::Connection> connection, const std::string& kassa, std::chrono::milliseconds wait)
    : m_connection(std::move(connection))
    , m_kind(m_connection->kind())
{
    const long seconds = std::max<long>(1, static_cast<long>((wait.count() + 999) / 1000));
    try {
        switch (m_kind) {
        case db::Kind::SQLite:
            // The write lock of the whole file, taken at once, so two stations never both read the last receipt. The
            // driver waits for it as long as its connection string's "Timeout" says (milliseconds, 100 s unless
            // given), whatever is set here.
            m_connection->execute("BEGIN IMMEDIATE");
            m_open = true;
            break;
        case db::Kind::MySQL:
            // Set once per connection (again when the wait changes). Each read sees what other stations committed
            // before it, not a snapshot from the transaction's start.
            m_connection->sessionSetting("lock wait",
                                         "SET SESSION innodb_lock_wait_timeout = " + std::to_string(seconds));
            m_connection->sessionSetting("isolation", "SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED");
            m_connection->execute("START TRANSACTION");
            m_open = true;
            if (m_connection->clusterNode()) {
                lockOnEveryNode(kassa);
            }
            break;
        case db::Kind::Oracle:
            m_connection->setAutoCommit(false);
            m_open = true;
            break;
        }
        // The till's number range as the step begins: locked with it (SQLite: by the write lock).
        const std::string rangeSql = "SELECT JAHR, BONNR FROM NUMMERNKREISE WHERE KASSA = ? AND TYP = 'B'";
        if (m_kind == db::Kind::SQLite) {
            m_range = m_connection->queryRowPrepared(rangeSql, {kassa});
        } else {
            const std::string lockSql =
                rangeSql + " FOR UPDATE" + (m_kind == db::Kind::Oracle ? " WAIT " + std::to_string(seconds) : "");
            m_range = m_connection->queryRowPrepared(lockSql, {kassa});
            if (m_range.empty()) {
                // The till's first step: its number range is created here, under the same transaction.
                m_connection->execute(
                    "INSERT INTO NUMMERNKREISE (TYP, KASSA, JAHR, BONNR, TSTAMP) VALUES ('B', ?, 0, 0, '')", {kassa});
                m_range = m_connection->queryRowPrepared(lockSql, {kassa});
            }
        }
    } catch (const base::PlatformError& error) {
        rollback();
        rethrowStepError(error, false);
    }
}

void TillLock::lockOnEveryNode(const std::string& kassa)
{
    // Row locks of a cluster node hold on that node only: two nodes' stations would both sign and one of them lose at
    // commit, again and again while the others keep winning. The first write of the step is therefore replicated at
    // once as a fragment of its own, which locks the till's number range on every node until the step ends; a station
    // of another node then waits for the lock as on one server. Two first fragments at the same moment conflict, and
    // the loser repeats the step.
    m_connection->execute("SET SESSION wsrep_trx_fragment_size = 1");
    const long changed = m_connection->execute(
        "UPDATE NUMMERNKREISE SET TSTAMP = IF(TSTAMP = '0', '1', '0') WHERE KASSA = ? AND TYP = 'B'", {kassa});
    if (changed == 0) {
        m_connection->execute("INSERT INTO NUMMERNKREISE (TYP, KASSA, JAHR, BONNR, TSTAMP) VALUES ('B', ?, 0, 0, '')",
                              {kassa});
    }
    m_connection->execute("SET SESSION wsrep_trx_fragment_size = 0");
}

TillLock::~TillLock()
{
    rollback();
}

void TillLock::end(const char* statement)
{
    m_open = false;
    if (m_kind == db::Kind::Oracle) {
        if (std::string_view(statement) == "COMMIT") {
            m_connection->commit();
        } else {
            SQLEndTran(SQL_HANDLE_DBC, m_connection->handle(), SQL_ROLLBACK);
        }
        m_connection->setAutoCommit(true);
        return;
    }
    m_connection->execute(statement);
}

void TillLock::commit()
{
    if (!m_open) {
        throw base::PlatformError("Kassensperre: kein offener Schritt zum Abschließen");
    }
    try {
        end("COMMIT");
    } catch (const base::PlatformError& error) {
        m_open = true;
        rollback();
        // Whether a commit whose answer was lost went through, only the database can tell.
        rethrowStepError(error, true);
    }
}

void TillLock::rollback() noexcept
{
    if (!m_open) {
        return;
    }
    try {
        end("ROLLBACK");
    } catch (...) {
        // The transaction ends with the connection at the latest; nothing more to do here.
        m_open = false;
    }
}

} // namespace rksv
