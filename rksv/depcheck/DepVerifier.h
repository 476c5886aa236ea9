#pragma once

#include "rksv/format/OpenSsl.h"
#include "rksv/format/TurnoverCounter.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace rksv {

//! One fault the DEP check found.
struct DepFault
{
    long position = 0;     //!< the receipt's place in the file, counted from 1 over all groups; 0: the file itself
    std::string receiptId; //!< the receipt's Belegnummer; "" when the receipt could not be read
    std::string text;      //!< what is wrong, in German ("Signatur ungültig", "Umsatzzähler 1234,00 statt 1200,00")
    long group = 0;        //!< the group (counted from 1) the receipt or certificate stands in; 0: the file itself
};

//! How far a DEP check has come.
struct DepProgress
{
    long receipts = 0;            //!< receipts checked so far
    std::uint64_t bytesRead = 0;  //!< bytes of the file read so far
    std::uint64_t bytesTotal = 0; //!< the file's size; 0 when unknown (a stream that is not a file)
};

/**
 * Certificates a DEP's signing certificates must lead to: card certificates registered for the installation's tills,
 * their issuers, CA certificates an auditor gives. A group's certificate is trusted when it is one of them or the
 * DEP's issuing certificates lead from it to one of them (validity dates are not checked: a DEP is checked years after
 * its receipts were signed).
 */
class DepTrustAnchors
{
public:
    //! Adds a certificate (copied).
    void add(X509* certificate);
    //! Adds a Base64 DER certificate; false when it is none.
    bool addBase64(std::string_view text);
    /**
     * Adds every certificate of a file (PEM, possibly several, or DER) or of each file in a folder (not its
     * subfolders); false with `error` ("Datei … nicht lesbar", "… enthält kein Zertifikat") when nothing could be read.
     */
    bool addFromPath(const std::string& path, std::string& error);
    [[nodiscard]] std::size_t size() const { return m_certificates.size(); }
    [[nodiscard]] const std::vector<X509Ptr>& certificates() const { return m_certificates; }

private:
    std::vector<X509Ptr> m_certificates;
};

/**
 * Public keys of closed systems (receipts with the provider code R1-AT0 in a group without a signing certificate),
 * as an auditor is given them: per till id (Kassen-ID) or per key name as the receipts write it in the serial field
 * ("U:ATU12345678-K0").
 */
class DepPublicKeys
{
public:
    /**
     * Reads a key file: one key per line, "<Kassen-ID or key name> <key>", the key as Base64 DER of the public key
     * (SubjectPublicKeyInfo) or of a certificate; blank lines and lines starting with "#" are skipped. Keys must be
     * P-256. False with `error` (German, naming the file and line) when the file cannot be read or a line is wrong.
     */
    bool addFromFile(const std::string& path, std::string& error);
    //! Adds one key (not owned) under a name; for tests and callers that hold keys already. False for no P-256 key.
    bool add(const std::string& name, EVP_PKEY* key);
    //! The key for a till, else for the receipts' key name; null when neither is known.
    [[nodiscard]] EVP_PKEY* find(std::string_view kassenId, std::string_view keyName) const;
    [[nodiscard]] std::size_t size() const { return m_keys.size(); }

private:
    std::map<std::string, EvpPkeyPtr, std::less<>> m_keys;
};

struct DepCheckOptions
{
    AesKey key{};               //!< the till's AES key of the turnover counter
    std::size_t maxFaults = 20; //!< faults kept in the result; the check counts all of them
    unsigned threads = 0;       //!< threads that verify signatures; 0: one per core
    //! Receipt ids held in memory before they go, sorted, to a temporary file (about 50 bytes each).
    std::size_t idsInMemory = std::size_t{1} << 17;
    //! Called from the checking thread now and then (at most every 50 ms, and once at the end).
    std::function<void(const DepProgress&)> progress;
    //! Once true, the check ends soon and reports itself as cancelled. May be nullptr.
    const std::atomic<bool>* stop = nullptr;
    //! The certificates each group's signing certificate must lead to; nullptr: trust is not checked.
    const DepTrustAnchors* trust = nullptr;
    //! Public keys of closed systems; nullptr: their receipts' signatures cannot be checked (a fault per till).
    const DepPublicKeys* publicKeys = nullptr;
    //! Called on the calling thread with every fault and warning as it is found, for a report of all of them. Not in
    //! file order: signatures come back from the worker threads, repeated receipt ids at the end. May be empty.
    std::function<void(const DepFault&)> eachFault;
};

struct DepCheckResult
{
    long receipts = 0;            //!< receipts read
    long groups = 0;              //!< groups ("Belege-Gruppe" entries) read
    long faultCount = 0;          //!< all faults found
    std::vector<DepFault> faults; //!< the first of them, at most DepCheckOptions::maxFaults, in file order
    /**
     * What the regulation gives no rule for and the check therefore lets pass, but an auditor should see (a turnover
     * counter whose length changes, an amount "-0,00", a serial written in decimal); each text begins "Warnung: ".
     */
    long warningCount = 0;
    std::vector<DepFault> warnings; //!< the first of them, at most DepCheckOptions::maxFaults, in file order
    bool cancelled = false;
    //! Why the file could not be checked at all ("Datei … nicht lesbar", "Kein DEP: …"); "" otherwise.
    std::string error;

    //! Checked to its end with receipts and no fault: a DEP without a receipt proves nothing and is not in order.
    [[nodiscard]] bool ok() const { return error.empty() && !cancelled && faultCount == 0 && receipts > 0; }
    /**
     * One German line: "12 345 Belege in 2 Gruppen geprüft: in Ordnung", "… geprüft: 3 Fehler", with warnings
     * "…: in Ordnung, 2 Warnungen", "Prüfung abgebrochen nach 1 000 Belegen", "Das DEP enthält keine Belege, es ist
     * nichts geprüft", or the error.
     * Numbers with a space as thousands separator ("12 345").
     */
    [[nodiscard]] std::string summary() const;
};

//! A count with a space every three digits, as the check's texts write it ("12 345").
[[nodiscard]] std::string grouped(long number);

/**
 * Checks a data capture protocol (DEP) as a tax auditor's verifier does, reading it as a stream: memory stays bounded
 * whatever the number of receipts. In every group, the certificate and the issuing certificates must be Base64 DER
 * certificates, each issuing certificate must have issued the one before it (the first the signing certificate), and
 * with `options.trust` the chain must lead to a trust anchor (checked once per group); each receipt must name the
 * certificate's serial (as a number: case and leading zeros do not count) and no closed system's provider code
 * (R1-AT0), its JWS must be well-formed, its date a calendar date, and its signature verify against the certificate
 * (failure-marked receipts excepted; a start receipt must be signed). A group without a certificate holds a closed
 * system's receipts (R1-AT0): each is verified with its till's key from `options.publicKeys`. Per till (Kassen-ID): the
 * first receipt is a start receipt (chained to the till id; otherwise that is one fault, and the sum so far is taken
 * from its counter); no later receipt chains to the till id; after failure-marked receipts the first signed one is a
 * null receipt (the collective receipt); each receipt chains to the one before; a start receipt has counter 0 and no
 * amounts; each turnover counter decrypts with `options.key` to the running sum (training receipts leave it, storno
 * receipts count; after a wrong counter the sum goes on from what it says, so one wrong receipt is one fault) and keeps
 * its length; receipt ids do not repeat (exactly: sorted runs in temporary files, merged at the end); date and time
 * never go back.
 *
 * The groups' members may come in any order: receipts read before their group's certificate are kept in a temporary
 * file and checked against the certificate when it comes. Signatures are verified on `options.threads` threads in
 * batches; the order-dependent checks run on the calling thread in file order. Temporary files go to TMPDIR (or /tmp);
 * where one cannot be written the check ends with DepCheckResult::error, never with a pass.
 */
[[nodiscard]] DepCheckResult checkDep(std::istream& in, const DepCheckOptions& options);
//! The same for a file; its size feeds DepProgress::bytesTotal.
[[nodiscard]] DepCheckResult checkDepFile(const std::string& path, const DepCheckOptions& options);

} // namespace rksv
