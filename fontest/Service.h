#pragma once

#include "fontest/Accounts.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace fontest {

//! What the service needs to run.
struct ServiceOptions
{
    std::string stateDir;  //!< certificates, port file, control file, request log
    std::string schemaDir; //!< session.xsd, regKasseWs.xsd and what it includes
    std::string host = "finanzonline.bmf.gv.at";
    int port = 0; //!< 0 picks a free port
    std::vector<Account> accounts;
};

//! The HTTPS server on 127.0.0.1 that answers like FinanzOnline's session and RKDB web services.
class Service
{
public:
    explicit Service(ServiceOptions options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    //! Loads schemas and certificates and binds the port. Returns false with `error` on failure.
    [[nodiscard]] bool prepare(std::string& error);
    //! The bound port, valid after prepare().
    int port() const;
    //! Serves until stop(); false when serving could not start.
    [[nodiscard]] bool run();
    //! Stops accepting, ends open connections and lets waiting answers give up. Safe from any thread, also
    //! before run() has started serving.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace fontest
