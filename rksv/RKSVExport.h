#pragma once

#include "db/Odbc.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace rksv {

/**
 * The export of the data capture protocol (DEP) of a date range as a JSON file that the user saves under a name of
 * his choice. DoDepExpJson composes the JSON itself from the stored receipts (BONS), certificates and chains
 * (CARDS); DoDepExpRksv hands the receipts to the signing component, which composes it. Both write a temporary file
 * in the default directory first and then let the user choose the target (SaveExport). Both hold a bounded number
 * of receipts at a time, however many they export.
 *
 * A group holds the receipts of one card run, with the card's certificate ("" when the card is not registered) and
 * its issuing certificates, one list entry each (none when unknown). CARDS.CHAIN holds the issuing certificates
 * joined by ";"; the JSON wrapper of older rows, blanks and line breaks in it are ignored.
 *
 * The user is reached only through base::dialogs(): error boxes, the overwrite question, the save-as dialog, and
 * "let the window work" while receipts are read (at most every eventInterval(), and once at the end), so a cancel
 * control can set the stop flag. A stopped export saves nothing. A failed SQL statement throws base::PlatformError
 * (the temporary file is removed first). For the user-interface thread only.
 */
class RKSVExport
{
public:
    using Date = std::chrono::year_month_day;
    //! Called right before the window is let work, with the number of receipts read so far; `finished` is true the
    //! last time, when all receipts are read and before the file is saved.
    using Progress = std::function<void(long receipts, bool finished)>;
    //! Receipts handed to the signing component in one call of its export (DoDepExpRksv).
    static constexpr int COMPONENT_CHUNK = 4000;

    //! Reads from `connection`; nullptr: the program-wide connection at the time of each export.
    explicit RKSVExport(std::shared_ptr<db::Connection> connection = nullptr);

    /**
     * Without a till id the signed receipts of all tills (types "B" and "N"), each till's in groups of its own; with
     * one the receipts of type "B" of that till; in each till's signing order (date, then number) from `from` on, up
     * to `to` and past it until a status receipt (the month or year receipt that closes the period) has been written.
     * A new group starts whenever the signing card changes. Without any receipt it says so in an error box and saves
     * nothing. Saves the file as "Datenerfassungsprotokoll" (.JSON). With a file "NOFULL" in the default directory
     * the certificate is cut to 40 characters and each issuing certificate to 60, each followed by "...".
     */
    RKSVExport& DoDepExpJson(const std::string& kassa, Date from, Date to);
    /**
     * The DEP composed by the signing component (its ExportJws), one group per card run. With a till id the same
     * receipts as DoDepExpJson; without one the receipts of every type of each till that has receipts from `from` to
     * `to`, each till's from `from` on, up to `to` and past it until its status receipt that closes the period. The
     * component gets COMPONENT_CHUNK receipts at a time with their card's certificate and chain. A component that is
     * missing, refuses a chunk or answers unreadably gives an error box with its first message, and nothing is
     * saved; so is an export without any receipt.
     */
    RKSVExport& DoDepExpRksv(const std::string& kassa, Date from, Date to);
    /**
     * Lets the user choose the target of the temporary file `tempName` (in the default directory) and moves it
     * there; the file name (not its folders) in upper case, `extension` appended unless it ends with it. An existing
     * target is overwritten only after "Ja". The temporary file is gone afterwards in every case.
     */
    RKSVExport& SaveExport(const std::string& tempName, const std::string& description, const std::string& extension);

    //! Whether SaveExport keeps the chosen file name as given (a script's output file) instead of upper-casing it
    //! and appending the extension, as it does for a name typed in the save-as dialog.
    void assExactName(bool exact) { m_exactName = exact; }

    //! The stop flag: once set, the export loops end and nothing more is saved.
    void assStop(bool stop) { m_stop = stop; }
    bool accStop() const { return m_stop; }

    //! Receipts read by the last export, and the path the last SaveExport saved to ("" when nothing was saved).
    long accReceipts() const { return m_receipts; }
    const std::string& accSaved() const { return m_saved; }

    void setProgress(Progress progress) { m_progress = std::move(progress); }
    //! The least time between two turns of the window while receipts are read (20 ms; 0: after every receipt).
    void setEventInterval(std::chrono::milliseconds interval) { m_eventInterval = interval; }
    std::chrono::milliseconds eventInterval() const { return m_eventInterval; }

private:
    std::shared_ptr<db::Connection> connection() const;
    //! Lets the window work when the interval has passed since the last time; always when all receipts are read.
    void letWindowWork(bool finished = false);

    std::shared_ptr<db::Connection> m_connection;
    bool m_stop = false;
    bool m_exactName = false;
    long m_receipts = 0;
    std::string m_saved;
    Progress m_progress;
    std::chrono::milliseconds m_eventInterval{20};
    std::chrono::steady_clock::time_point m_lastTurn;
};

//! The one group of a DEP as the signing component answers for a chunk of receipts.
struct DepAnswerGroup
{
    std::string members;  //!< the group's members other than "Belege-kompakt", in order, compact, joined by ","
    std::string receipts; //!< the receipts of their list, compact, joined by ","; "" when none
};

/**
 * Takes the signing component's answer `{"Belege-Gruppe":[{...}]}` apart, with any white space between its tokens
 * and the group's members in any order. Nothing unless it holds exactly one group with a receipt list.
 */
[[nodiscard]] std::optional<DepAnswerGroup> depAnswerGroup(std::string_view json);

//! The DEP's temporary file name: upper-cased host product, "-DEP-", the till id and "-" when there is one, the two
//! dates as YYYYMMDD joined by "-", and ".TMP".
std::string depTempName(const std::string& kassa, std::chrono::year_month_day from, std::chrono::year_month_day to);

class DepTrustAnchors;
/**
 * Adds the certificates registered for the installation's tills (table CARDS: each card's certificate and its issuing
 * certificates) to `anchors`; returns how many. Throws base::PlatformError when the table cannot be read.
 */
std::size_t addRegisteredCards(DepTrustAnchors& anchors, db::Connection& connection);

} // namespace rksv
