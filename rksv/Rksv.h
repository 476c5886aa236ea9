#pragma once

#include "rksv/units/Component.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace db {
class Connection;
}

namespace rksv {

class TillLock;

//! The five amounts of a receipt in cents, in the order Normal, Ermäßigt-1, Ermäßigt-2, Null, Besonders.
using Amounts = std::array<std::int64_t, 5>;

//! One receipt signed (or numbered) by MySignAll, as the caller stores it in the receipts table.
struct BelegRecord
{
    //! "A" start, "M" month, "J" year, "S" collective receipt after a failure of the security device, "E" closing
    //! receipt; "" for an ordinary receipt.
    std::string type;
    long number = 0;  //!< handed in by the caller (0 for status receipts), carried unchanged
    std::string text; //!< handed in by the caller, carried unchanged
    Amounts amounts{};
    long bonnr = 0;
    std::chrono::year_month_day date{};
    std::string time;
    std::int64_t counter = 0; //!< turnover counter after this receipt, cents
    std::string jws;          //!< compact JWS, "" when unsigned
    long crdid = 0;           //!< the card that signed, 0 when unsigned
    long reserved = 0;
    //! The id the signed receipt carries ("2027-1", see ReceiptId): unique per till, unlike `bonnr`.
    std::string receiptId;
    //! The receipt's row in BONS (BONID) once it is stored; 0 before.
    long bonid = 0;
};

//! What RKSV::sign gives back.
struct SignResult
{
    bool stored = false;             //!< signed (or numbered) and stored
    std::string message;             //!< the first message: the reason when not stored, a note (an image) otherwise
    std::vector<BelegRecord> belege; //!< the receipts stored, in signing order
};

//! What MySignAll signs: one receipt of a till, or the status receipt that `type` names.
struct SignRequest
{
    //! A status type letter ("A", "M", "J", "S", "E") to sign that status receipt alone; "" for an ordinary receipt.
    std::string type;
    std::string kassa;
    long number = 0;  //!< carried into the record
    std::string text; //!< carried into the record
    std::chrono::year_month_day date{};
    std::string time; //!< "hh:mm:ss"
    Amounts amounts{};
    std::string serial; //!< the card expected in a reader
    std::string pin;
};

/**
 * The program's gateway to the signing component, for one task: Init, a few calls, Close. No call raises an
 * error: each gives the empty value of its result and leaves a German message in the message slots. The first
 * slot keeps the first message since it was last cleared (the root cause), the last slot the latest.
 *
 * The service is ready only with a working component, a company number of four characters, an AES key from the
 * component, and an AES basis equal to the one this installation stored the first time.
 */
class RKSV
{
public:
    RKSV() = default;
    explicit RKSV(void* owner);

    //! Opens the component named by the installation and derives the till's AES key.
    RKSV& Init(void* owner);
    //! Releases the component at once.
    RKSV& Close();

    bool accReady() const { return m_component != nullptr; }
    QUORVEX* accRKSV() const { return m_component.get(); }
    void* accOwner() const { return m_owner; }
    const std::string& accMsgFirst() const { return m_msgFirst; }
    const std::string& accMsgLast() const { return m_msgLast; }
    const std::string& accAes256() const { return m_aes256; }
    //! Upper-cased host product, company number and upper-cased host product, joined by "|".
    std::string accAesBasis() const;
    const std::string& accBase64() const { return m_base64; }
    const std::string& accChain() const { return m_chain; }
    void assBase64(const std::string& certificate) { m_base64 = certificate; }
    void assChain(const std::string& chain) { m_chain = chain; }
    const std::string& accReader() const { return m_reader; }
    const std::string& accJws() const { return m_jws; }
    //! The QR image of the last JwsToImage (or signing call); after MySignAll made when first asked for.
    const std::string& accImage();
    //! The second image of the last JwsToImage (or signing call), made when first asked for.
    const std::string& accSecondImage();

    [[nodiscard]] std::string ConvertJWSCompactToText(const std::string& jws);
    [[nodiscard]] bool VerifyPin(const std::string& pin);
    [[nodiscard]] long GetReadersCount();
    [[nodiscard]] std::string GetReaderAt(long position);
    [[nodiscard]] std::vector<std::string> GetCardReaders();
    [[nodiscard]] std::string GetCardInReader();
    [[nodiscard]] bool IsCardReaderPresent(const std::string& reader);
    [[nodiscard]] bool IsCardNumberPresent(const std::string& card);
    [[nodiscard]] bool GetCardCertificate();
    [[nodiscard]] bool VerifyJws(const std::string& jws);
    [[nodiscard]] std::string ExportJws(const std::vector<std::string>& jwsList);
    [[nodiscard]] std::string ExportJwsDelimitedString(const std::string& jwsText);
    [[nodiscard]] bool JwsToImage(const std::string& jws);
    //! Saves the QR image (`qr` true) or the second image under `file` as the given type ("BMP", "PNG").
    [[nodiscard]] bool SaveImageToFile(bool qr, const std::string& file, const std::string& type);
    [[nodiscard]] std::string GenerateAES256Key(const std::string& basis);

    //! Signs with the card in the current reader and the PIN of the card check; the JWS goes to accJws().
    [[nodiscard]] bool SignReceipt(Component::Receipt receipt);
    [[nodiscard]] bool SignTrainReceipt(Component::Receipt receipt);
    [[nodiscard]] bool SignStornoReceipt(Component::Receipt receipt);
    //! Keeps the answer of a signing call; true only for a logical true with a JWS.
    [[nodiscard]] bool MySignAnswer(bool result, const Component::Signed& answer);

    //! The PIN every signing call passes (set by the card check).
    void setPin(const std::string& pin) { m_pin = pin; }

    /**
     * Looks for the card `serial` (ignoring case) in every reader and checks its PIN there; the reader where it
     * sits becomes the current one. A wrong PIN in one reader does not end the search in the others.
     */
    [[nodiscard]] bool MyChkCard(const std::string& serial, const std::string& pin);
    //! MyChkCard until it passes or the user gives up in the "Reader prüfen" question (PLUMOXA never asks).
    [[nodiscard]] bool MyChkReader(const std::string& serial, const std::string& pin);
    //! The id of the till's card `serial` (its latest registration), 0 when the till has none.
    [[nodiscard]] long MyGetCrdid(const std::string& kassa, const std::string& serial, const std::string& pin);
    //! True when the card may sign for the till: it is the till's latest card, or a new card now registered. A card
    //! that an other card followed is refused.
    [[nodiscard]] bool MySernrExists(const std::string& serial, const std::string& pin, const std::string& kassa);

    /**
     * Numbers, chains, signs and stores one receipt of a till, preceded by the status receipts it needs (start,
     * collective after a failure of the security device, year, month), or one status receipt when the request's type
     * names it. The card and PIN are checked first (asking about the reader where the host product does); then, under
     * the till's lock (TillLock), the till's last receipt is read, the numbers taken, the receipts signed and stored
     * in BONS as one step, so several stations of one till chain in signing order and a failure stores nothing and
     * uses up no number. The QR images are saved after the step. The stored receipts stay in accBelege().
     *
     * The receipt id is the number range's year and the number (ReceiptId); the year is always the receipt date's.
     * Refused, with the reason in the message slots and in `message`: a receipt dated before the till's last one, a
     * damaged turnover counter, a range that is exhausted or numbers a later year, a start receipt on a failed
     * signature device or for a till that has one, a receipt the expected card did not sign, a till another station
     * holds for longer than tillLockWait(). Without a component the receipt is numbered, counted and stored unsigned.
     */
    [[nodiscard]] SignResult sign(const SignRequest& request);
    //! sign() in the call's established forms: true when stored, `message` the first message.
    [[nodiscard]] bool MySignAll(const SignRequest& request, std::string& message);
    [[nodiscard]] bool MySignAll(const std::string& type,
                                 const std::string& kassa,
                                 long number,
                                 const std::string& text,
                                 std::chrono::year_month_day date,
                                 const std::string& time,
                                 const Amounts& amounts,
                                 const std::string& serial,
                                 const std::string& pin,
                                 std::string& message);
    const std::vector<BelegRecord>& accBelege() const { return m_belege; }

    //! The database connection of the card and receipt tables (nullptr: the program-wide one).
    void setConnection(std::shared_ptr<db::Connection> connection)
    {
        m_connection = std::move(connection);
        m_crdids.clear();
    }
    std::shared_ptr<db::Connection> connection() const;
    /**
     * The servers to connect to when the one in use cannot be reached during a step (a cluster's nodes, in order;
     * the first is the one in use). Empty: the installation's (db::programConnectionStrings()).
     */
    void setConnectionStrings(std::vector<std::string> list) { m_connectionStrings = std::move(list); }
    //! How long a step tries the servers in turn before it gives up (30 s; tests shorten it).
    static void setReconnectWait(std::chrono::milliseconds wait);
    //! Steps repeated in this process after a conflict with another station (for measurements).
    static long repeatedSteps();
    //! How long MyChkReader pauses between checks for the host products that wait for their reader (tests
    //! shorten it).
    static void setReaderPause(std::chrono::milliseconds pause);

    //! Records a failure message in the slots.
    void record(const std::string& message);
    void clearMessages();

private:
    Component::Receipt prepared(Component::Receipt receipt) const;
    [[nodiscard]] bool MyChkReader(const std::string& serial, const std::string& pin, bool& asked);
    enum class StepEnd
    {
        Stored,          //!< signed, stored and committed
        Failed,          //!< refused; nothing stored
        SignatureFailed, //!< the receipt's signature failed; nothing stored, the reader may be checked
    };
    //! The till's last receipt (in signing order) as the step reads it.
    struct LastReceipt
    {
        bool exists = false;
        std::string bonnr;
        std::optional<std::chrono::year_month_day> date;
        std::string time;
        std::string jws;
        std::string saldo;
        std::string type;
    };
    //! One signing step under the till's lock; `failure` gets the reason of StepEnd::Failed.
    [[nodiscard]] StepEnd signStep(const SignRequest& request, long card, std::string& failure);
    //! Connects to the next server that answers (all of them in turn, for at most the reconnect wait); false with
    //! `why` when none does.
    bool reconnect(std::string& why);
    //! After a commit whose answer was lost: whether the step's receipts are stored (read on the new connection).
    bool stepStored(const std::string& kassa);
    [[nodiscard]] LastReceipt lastReceipt(const std::string& kassa);
    //! Stores the step's receipts, writes the number range taken (`newRange`: created) and commits.
    void storeStep(TillLock& lock,
                   const std::string& kassa,
                   bool newRange,
                   std::pair<long, long> before,
                   std::pair<long, long> after);
    //! True when the year of `date` has neither a year receipt nor a start receipt, though the till has older ones.
    [[nodiscard]] bool yearReceiptMissing(const std::string& kassa, std::chrono::year_month_day date);
    //! True when the last JWS was signed by the card `serial`; otherwise records the card message.
    [[nodiscard]] bool signedByCard(const std::string& serial);
    [[nodiscard]] bool ensureCard(const std::string& serial, const std::string& pin);
    [[nodiscard]] long crdidOf(const std::string& kassa, const std::string& serial);
    //! Signs a receipt for MySignAll; the JWS goes to accJws().
    [[nodiscard]] bool signFor(const std::string& kassa,
                               const std::string& receiptId,
                               std::chrono::year_month_day date,
                               const std::string& time,
                               const Amounts& amounts,
                               std::int64_t counterBefore,
                               const std::string& previous);
    bool saveQrImage(const std::string& kassa, const BelegRecord& beleg);

    std::unique_ptr<QUORVEX> m_component;
    void* m_owner = nullptr;
    std::string m_aes256;
    std::string m_pin;
    std::string m_msgFirst;
    std::string m_msgLast;
    long m_readerCount = 0;
    std::string m_reader;
    std::vector<std::string> m_readers;
    std::string m_cardInReader;
    std::string m_base64;
    std::string m_chain;
    std::string m_jws;
    std::string m_image;
    std::string m_secondImage;
    std::string m_imageJws; //!< the JWS of m_image, whose second image is made when asked for
    std::string m_serial;
    bool m_pinRefused = false; //!< the last MyChkCard found the card, and the card refused the PIN
    bool m_cardFound = false;  //!< the last MyChkCard found the card in m_reader and the card took the PIN
    std::vector<BelegRecord> m_belege;
    std::shared_ptr<db::Connection> m_connection;
    std::vector<std::string> m_connectionStrings;
    std::size_t m_connectionIndex = 0; //!< which of the servers is in use
    //! The card ids found, by till and serial: a card's id for a till never changes once it is registered.
    std::map<std::pair<std::string, std::string>, long> m_crdids;
};

/**
 * Stores receipts as the till keeps them (MySignAll does so itself, inside its step): one BONS row each (TYP "B",
 * RKSV_TYP the status type, the amounts, the counter as RKSV_SALDO, JWS and card id, the caller's number as KNDID and
 * its text as the receipt's customer name: PK_NAM for DRAVELIN, NAME otherwise, when there is a text). A receipt that
 * is stored already (its record names its BONID, or a row of the till holds its date, number and JWS) is not stored
 * again: its row takes the record's number and text, so a host product that stores the records MySignAll returned
 * adds no second row. Each record gets its BONID. Connection nullptr: the program-wide one.
 */
void StoreBelege(const std::string& kassa,
                 std::vector<BelegRecord>& belege,
                 std::shared_ptr<db::Connection> connection = nullptr);
//! The same for records the caller keeps as they are (their BONIDs are not handed back).
void StoreBelege(const std::string& kassa,
                 const std::vector<BelegRecord>& belege,
                 std::shared_ptr<db::Connection> connection = nullptr);

//! Cents as a decimal text for the database ("12.30", "-0.05").
std::string decimalText(std::int64_t cents);

} // namespace rksv
