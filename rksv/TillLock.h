#pragma once

#include "base/ErrorLog.h"
#include "db/Odbc.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace rksv {

/**
 * One till's signing step as a database transaction that only one station at a time can be in: reading the till's
 * last receipt, taking its numbers and storing the signed receipts happen under it, so stations of one till never
 * chain to the same receipt.
 *
 * SQLite: a write transaction (BEGIN IMMEDIATE), which holds the database's write lock from the start. MariaDB/MySQL
 * (and Oracle): a transaction that locks the till's number-range row (NUMMERNKREISE, type "B") with SELECT … FOR
 * UPDATE; on a Galera cluster, where row locks are per node, two nodes' steps conflict at commit instead, and the
 * step is repeated (TillConflict). Nothing outlives the object: unless committed, the destructor rolls back, and a
 * dropped connection ends the transaction on the server.
 *
 * The wait for the lock is bounded; when it runs out the constructor throws TillBusy. On MariaDB/MySQL and Oracle the
 * bound is `wait`; on SQLite it is the driver's busy timeout ("Timeout" of the connection string, in milliseconds). For
 * the calling thread only; the connection must not be used by anyone else while the lock lives.
 */
class TillLock
{
public:
    //! Begins the step for `kassa`; throws TillBusy after `wait`, TillConflict on a conflict with another station
    //! (repeat the step), TillUnreachable when the server is gone, base::PlatformError on any other failure.
    TillLock(std::shared_ptr<db::Connection> connection, const std::string& kassa, std::chrono::milliseconds wait);
    ~TillLock();
    TillLock(const TillLock&) = delete;
    TillLock& operator=(const TillLock&) = delete;

    //! The till's number range (JAHR, BONNR of NUMMERNKREISE, type "B") as the step began; empty when the till has
    //! none yet (SQLite; elsewhere the lock creates it).
    const std::vector<db::Text>& range() const { return m_range; }

    //! Ends the step and keeps what it wrote; throws TillConflict when the database refuses for a conflict.
    void commit();
    //! Ends the step and forgets what it wrote (also done by the destructor).
    void rollback() noexcept;

private:
    void end(const char* statement);
    //! On a cluster node: the till's number range locked on all nodes by a replicated first write.
    void lockOnEveryNode(const std::string& kassa);

    std::shared_ptr<db::Connection> m_connection;
    db::Kind m_kind;
    bool m_open = false;
    std::vector<db::Text> m_range;
};

//! The till's lock could not be had in time: another station holds it.
class TillBusy : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

//! Another station's step conflicted with this one (deadlock, or a cluster's certification at commit): repeat.
class TillConflict : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

//! The database cannot be reached on this connection (lost, or a cluster node out of the primary component): connect
//! to another server and repeat the step. With `duringCommit` the commit's outcome is unknown: the step may be stored.
class TillUnreachable : public std::runtime_error
{
public:
    TillUnreachable(const std::string& what, bool duringCommit)
        : std::runtime_error(what)
        , m_duringCommit(duringCommit)
    {}
    bool duringCommit() const { return m_duringCommit; }

private:
    bool m_duringCommit;
};

/**
 * A failure of a statement of the step as the station handles it: TillBusy (lock wait ran out), TillConflict (another
 * station's step won: repeat), TillUnreachable (connect elsewhere and repeat), or the error itself for anything else.
 */
[[noreturn]] void rethrowStepError(const base::PlatformError& error, bool duringCommit);

//! How long a station waits for its till's lock (15 s; tests shorten it).
std::chrono::milliseconds tillLockWait();
void setTillLockWait(std::chrono::milliseconds wait);

} // namespace rksv
