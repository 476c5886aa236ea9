#include "fonws/Submission.h"

#include "base/Clock.h"
#include "base/Files.h"
#include "base/StringUtil.h"

#include <cstdio>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace fonws {
namespace {

AnswerPair notify(WebRegKasseAT& client, Operation operation, const Record& record)
{
    const std::vector<Record> records{record};
    switch (operation) {
    case Operation::Registrierung_SE:
        return client.Registrierung_SE(records);
    case Operation::Ausfall_SE:
        return client.Ausfall_SE(records);
    case Operation::Wiederinbetriebnahme_SE:
        return client.Wiederinbetriebnahme_SE(records);
    case Operation::Ausserbetriebnahme_SE:
        return client.Ausserbetriebnahme_SE(records);
    case Operation::Registrierung_Kasse:
        return client.Registrierung_Kasse(records);
    case Operation::Ausfall_Kasse:
        return client.Ausfall_Kasse(records);
    case Operation::Wiederinbetriebnahme_Kasse:
        return client.Wiederinbetriebnahme_Kasse(records);
    case Operation::Ausserbetriebnahme_Kasse:
        return client.Ausserbetriebnahme_Kasse(records);
    case Operation::Status_SE:
        return client.Status_SE(record);
    case Operation::Status_Kasse:
        return client.Status_Kasse(record);
    case Operation::Belegpruefung:
        break;
    }
    return client.Belegpruefung(records);
}

void classify(SubmissionResult& result, const std::string& answer, const CHttp& http)
{
    if (base::isBlank(answer)) {
        result.answered = Answered::Nothing;
        result.transportError = http.ErrorMsg();
        return;
    }
    const auto list = Xml2Array(answer);
    result.fault = WebRegKasseAT::FaultText(list);
    result.answered = WebRegKasseAT::FindReturnCode(list) ? Answered::ReturnCode
                      : !result.fault.empty()             ? Answered::Fault
                                                          : Answered::Unreadable;
}

} // namespace

SubmissionResult
submit(const Credentials& login, Operation operation, const Record& record, const std::atomic<bool>* cancel)
{
    const auto cancelled = [cancel] { return cancel && cancel->load(); };
    WebRegKasseAT client(login.tid, login.benid, login.pin, login.herstellerId);
    client.Http().setCancel(cancel);
    SubmissionResult result;
    result.answer = client.Login();
    classify(result, client.accLoginXml(), client.Http());
    if (result.answer.code != "0") {
        // No session: nothing else is sent, and there is nothing to log out of.
        result.cancelled = cancelled();
        return result;
    }
    if (!cancelled()) {
        result.answer = notify(client, operation, record);
        if (result.answer.code == "0") {
            result.answer.message = "Aufruf OK";
        }
        // Kept before the logout, whose answer is not the notification's.
        result.answerXml = client.accXml();
        classify(result, result.answerXml, client.Http());
    }
    result.cancelled = cancelled();
    if (result.cancelled) {
        // The session is closed even so, but no longer than a moment: the user wants to go on.
        client.Http().setCancel(nullptr);
        client.Http().setTimeouts(LOGOUT_AFTER_CANCEL_SECONDS, LOGOUT_AFTER_CANCEL_SECONDS);
    }
    // A failed logout changes nothing of what was notified.
    result.loggedOut = client.Logout().code == "0";
    return result;
}

std::string answerFileName()
{
    const auto now = base::now();
    char name[32];
    std::snprintf(name,
                  sizeof name,
                  "~%04d%02u%02u%02d%02d%02d.XML",
                  static_cast<int>(now.date.year()),
                  static_cast<unsigned>(now.date.month()),
                  static_cast<unsigned>(now.date.day()),
                  static_cast<int>(now.time.hours().count()),
                  static_cast<int>(now.time.minutes().count()),
                  static_cast<int>(now.time.seconds().count()));
    return base::currentDirectory() + "TMP/" + name;
}

bool writeAnswerFile(const std::string& fileName, const std::string& answerXml)
{
    ::mkdir((base::currentDirectory() + "TMP").c_str(), 0755);
    // A copy of the answer for the viewer, in the temporary folder: whole or not at all, but no need to survive a
    // crash.
    base::FileWriteOptions options;
    options.durable = false;
    return static_cast<bool>(base::writeFileDurably(fileName, answerXml, options));
}

void deleteAnswerFiles()
{
    const auto folder = base::currentDirectory() + "TMP/";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) {
        return;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.size() > 5 && name[0] == '~' && base::equalsNoCase(name.substr(name.size() - 4), ".XML")) {
            ::unlink((folder + name).c_str());
        }
    }
}

} // namespace fonws
