#pragma once

#include "rksv/depcheck/DepReceiptIds.h"
#include "rksv/depcheck/DepVerifier.h"

#include <fstream>
#include <string>

namespace rksv {

//! A fault as one line: "Beleg 2026-17 (Nr. 17): Signatur ungültig", "Datei: Gruppe 1: …" for the file itself.
[[nodiscard]] std::string depFaultLine(const DepFault& fault);

/**
 * The report of a DEP check an auditor keeps: every fault and warning, then the result. CSV (";" separated, UTF-8,
 * CRLF, "Nr.;Gruppe;Belegnummer;Fehler" and a last row ";;;<result>") for a name ending in ".csv" in any case, plain
 * text otherwise (depFaultLine per fault, then "Ergebnis: <result>").
 */
class DepReport
{
public:
    explicit DepReport(std::string path);

    //! Creates or empties the file; false when it cannot be written.
    bool open();
    void add(const DepFault& fault);
    //! Writes the result and closes the file; false when not all of it was written.
    bool close(const std::string& summary);

private:
    std::string m_path;
    bool m_csv;
    std::ofstream m_file;
};

/**
 * Every fault of a running check, kept in a temporary file (memory stays bounded whatever the check finds), for a
 * report written once the check has ended. add() is for DepCheckOptions::eachFault.
 */
class DepFaultSpool
{
public:
    void add(const DepFault& fault);
    //! Whether every fault could be kept (false once the temporary file could not be made or written).
    [[nodiscard]] bool complete() const { return !m_failed; }
    //! Writes the kept faults and the result to `report`; false when the report or the spool failed.
    bool writeTo(DepReport& report, const std::string& summary);

private:
    depcheck::FilePtr m_file{nullptr, &std::fclose};
    long m_count = 0;
    bool m_failed = false;
};

} // namespace rksv
