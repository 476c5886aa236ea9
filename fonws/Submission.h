#pragma once

#include "fonws/WebRegKasseAT.h"

#include <atomic>
#include <string>

namespace fonws {

//! The nine RKDB notifications, numbered in the order of the main window's list, and the two status queries.
enum class Operation
{
    Registrierung_SE = 1,
    Ausfall_SE,
    Wiederinbetriebnahme_SE,
    Ausserbetriebnahme_SE,
    Registrierung_Kasse,
    Ausfall_Kasse,
    Wiederinbetriebnahme_Kasse,
    Ausserbetriebnahme_Kasse,
    Belegpruefung,
    Status_SE,    //!< the registration state of a signature unit, by certificate serial (hex)
    Status_Kasse, //!< the registration state of a cash register, by its id
};

//! The login values of a company/till: participant id, user id, PIN and the software maker's VAT number.
struct Credentials
{
    std::string tid;
    std::string benid;
    std::string pin;
    std::string herstellerId;
};

//! How FinanzOnline answered the request that decided a submission (the login when it was refused, else the
//! notification or query).
enum class Answered
{
    ReturnCode, //!< with its return code and message, accepting or refusing
    Fault,      //!< with a SOAP fault instead: the request was not carried out
    Nothing,    //!< not at all: no connection, time-out, an empty answer, cancelled
    Unreadable, //!< with something that is neither (not XML, no return code; the session service not found)
};

//! What a submission gives back.
struct SubmissionResult
{
    //! The login's answer when it was refused, else the notification's; a code "0" comes with "Aufruf OK".
    AnswerPair answer;
    //! The complete RKDB answer; empty when the login was refused and nothing else was sent.
    std::string answerXml;
    //! The text of the SOAP fault FinanzOnline answered with instead ("Validation error" and its detail), "" for
    //! none.
    std::string fault;
    //! The cancel flag ended the submission: what was not yet sent was not sent, an open session was logged out.
    bool cancelled = false;
    Answered answered = Answered::Nothing;
    //! Why nothing came (the HTTP client's error: "Connection refused", "Abgebrochen." …); "" when an answer came.
    std::string transportError;
    //! A session was opened and its logout answered with return code "0".
    bool loggedOut = false;
};

/**
 * One submission: Login, the one notification or query with its record (values in the order of the notification's
 * elements), Logout. After a refused login nothing else is sent; once a session is open it is always logged out,
 * whatever the notification's answer. Blocks for as long as the exchanges take (each bounded by the installation's
 * time-outs). Safe to run on a worker thread. `cancel`, set from any thread, ends the login or the notification
 * within about a second; an open session is then still logged out, within LOGOUT_AFTER_CANCEL_SECONDS.
 */
[[nodiscard]] SubmissionResult
submit(const Credentials& login, Operation operation, const Record& record, const std::atomic<bool>* cancel = nullptr);

//! The time-outs of the logout that follows a cancelled submission.
inline constexpr int LOGOUT_AFTER_CANCEL_SECONDS = 10;

//! The answer file for the current moment: TMP/~YYYYMMDDhhmmss.XML under the working directory.
[[nodiscard]] std::string answerFileName();
//! Writes the answer to `fileName` (creating TMP/ when missing), replacing an older file; false when it fails.
[[nodiscard]] bool writeAnswerFile(const std::string& fileName, const std::string& answerXml);
//! Deletes TMP/~*.XML under the working directory; other files stay.
void deleteAnswerFiles();

} // namespace fonws
