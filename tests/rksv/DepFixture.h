#pragma once

#include "db/Odbc.h"
#include "rksv/RKSVExport.h"
#include "tests/support/Databases.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace deptest {

using testsupport::Backend;

std::string backendName(const ::testing::TestParamInfo<Backend>& info);

//! A receipt to sign and store: till, number, type, day (YYYY-MM-DD), status code ("" for none) and the card id
//! stored with it (2 signs with the second card, any other with the first).
struct Receipt
{
    std::string kassa;
    int bonnr = 0;
    std::string typ;
    std::string datum;
    std::string status;
    int crdid = 1;
};

//! A stored row as the export reads it.
struct StoredRow
{
    std::string kassa;
    std::string jws;
    std::string crdid;
};

//! A group of a DEP as read from its JSON.
struct Group
{
    std::string certificate;
    std::vector<std::string> issuers;
    std::vector<std::string> receipts;
    bool operator==(const Group&) const = default;
};

//! The groups of a DEP; fails the test (and gives none) when the text is not JSON of that shape.
std::vector<Group> groupsOf(const std::string& text);

//! The export composed by the program (DoDepExpJson) or by the signing component (DoDepExpRksv).
enum class Way
{
    Program,
    Component,
};

/**
 * An installation in a fresh working directory (product "Plumoxa", company "0815", the software signature unit with
 * two cards in the readers "Leser 1" and "Leser 2", each issued by its own CA) on a fresh database of the backend:
 * a SQLite file through its ODBC driver, or a database on a private MariaDB server shared by the suite. The cards
 * are registered in CARDS as CRDID 1 and 2. Dialogs are scripted; the save-as dialog is answered by the test. The
 * program-wide state is the test's own and put back at its end.
 */
class DepFixture : public ::testing::TestWithParam<Backend>
{
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    //! Signs the receipts in the given order (each till's chain and turnover counter running on) and stores them
    //! with BONID = position in the list.
    void store(const std::vector<Receipt>& receipts);
    //! The receipts most tests export, stored out of number order.
    void storeStandardSet();

    testsupport::Rows query(const std::string& sql) const;
    void exec(const std::string& sql) const;
    //! The rows of a condition in till and number order, NUL characters left out.
    std::vector<StoredRow> rowsOf(const std::string& condition) const;
    //! CARDS as stored: CRDID → certificate and chain, NUL characters left out.
    std::map<std::string, std::pair<std::string, std::string>> cards() const;
    //! The receipt number of each stored JWS.
    std::map<std::string, std::string> numbersByJws() const;
    //! Exports the way given and returns the saved file's text ("" when nothing was saved).
    std::string exportDep(rksv::RKSVExport& exporter,
                          Way way,
                          const std::string& kassa,
                          std::chrono::year_month_day from,
                          std::chrono::year_month_day to);
    //! The names of the files in the working directory.
    std::vector<std::string> filesInDefaultDir() const;

    std::string certificate(int card) const { return m_certificates.at(card); }
    std::string chain(int card) const { return m_chains.at(card); }

    testsupport::TempDir dir;
    testsupport::ProgramStateGuard state;
    testsupport::ScriptedDialogs dialogs;
    std::string connectionString;
    std::shared_ptr<db::Connection> connection;

private:
    static testsupport::MariaDbServer* s_server;
    static std::string s_serverError;
    static int s_databases;
    std::map<int, std::string> m_certificates;
    std::map<int, std::string> m_chains;
    std::string m_aesKey;
};

//! The DEP in its line layout, composed the plain way: the text grows line by line, and where a group or the list
//! ends the last two characters (the comma and line feed of the last receipt) are cut.
std::string expectedDep(const std::vector<StoredRow>& rows,
                        const std::map<std::string, std::pair<std::string, std::string>>& cards,
                        bool shortened = false);

} // namespace deptest
