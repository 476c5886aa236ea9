#include "app/cli/RksvTool.h"

#include "base/BuildInfo.h"
#include "base/Dialogs.h"
#include "base/ErrorLog.h"
#include "base/Files.h"
#include "base/Installation.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "base/TextFormat.h"
#include "db/Database.h"
#include "fonws/StatusAnswer.h"
#include "fonws/Submission.h"
#include "fonws/Xml.h"
#include "rksv/RKSVExport.h"
#include "rksv/Rksv.h"
#include "rksv/depcheck/DepReport.h"
#include "rksv/depcheck/DepVerifier.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <optional>
#include <ostream>
#include <string_view>
#include <utility>

namespace app::cli {
namespace {

constexpr std::string_view HELP = R"(vexa-quorvex-rksv - RKSV-Werkzeuge von Vexa-Quorvex für Skripte und Prüfer

Aufruf im Installationsordner (dem Ordner mit INSTALLATION.INI), wie das Programm selbst:

  vexa-quorvex-rksv dep-export <Kassa> <von> <bis> <Datei> [--ueberschreiben] [--signatureinheit]
      Speichert das Datenerfassungsprotokoll (DEP) der Kassa vom Tag <von> bis zum Tag <bis> (TT.MM.JJJJ oder
      JJJJ-MM-TT) als JSON-Datei <Datei>. Eine vorhandene Datei wird nur mit --ueberschreiben ersetzt. Mit
      --signatureinheit stellt die Signatureinheit das DEP zusammen.

  vexa-quorvex-rksv dep-pruefen <Datei> [<Benutzerschlüssel>] [--zertifikate <Datei|Ordner>]
                                [--schluessel <Datei>] [--bericht <Datei>]
      Prüft ein DEP: Signaturen, Zertifikate, Verkettung, Umsatzzähler, Belegnummern, Startbeleg, Sammelbeleg nach
      Ausfall der Sicherheitseinrichtung und Datum. Ohne Benutzerschlüssel (44 Zeichen, Base64) gilt der AES-Schlüssel
      dieser Installation.
      Jedes Signaturzertifikat muss vertrauenswürdig sein: im Installationsordner die für die Kassen registrierten
      Zertifikate samt ihren Zertifizierungsstellen (Tabelle CARDS), dazu die Zertifikate von Zertifizierungsstellen
      aus --zertifikate (eine Datei PEM oder DER, oder ein Ordner solcher Dateien). Außerhalb einer Installation gelten
      nur diese: ohne --zertifikate (oder --schluessel) wird dort nicht geprüft (Rückgabewert 3).
      Belege geschlossener Systeme (R1-AT0, Gruppe ohne Signaturzertifikat) prüft es mit den öffentlichen Schlüsseln
      aus --schluessel: eine Textdatei, je Zeile "<Kassen-ID> <Schlüssel>" (Base64 DER des öffentlichen Schlüssels
      oder eines Zertifikats; statt der Kassen-ID auch der Schlüsselname der Belege, z. B. U:ATU12345678-K0).
      Was die Verordnung nicht regelt (Länge des Umsatzzählers ändert sich, Betrag -0,00, Seriennummer dezimal),
      meldet es als Warnung; das DEP bleibt dann in Ordnung.
      Mit --bericht schreibt es jeden Fehler und jede Warnung (Nummer des Belegs in der Datei, Gruppe, Belegnummer,
      Text) und zuletzt das Ergebnis in die Datei <Datei>: als CSV (Semikolon, UTF-8), wenn ihr Name auf .csv endet,
      sonst als Text.

  vexa-quorvex-rksv status --kassa <Kassenidentifikationsnummer> [--firma <Nummer>]
  vexa-quorvex-rksv status --seriennummer <Zertifikatsseriennummer (hex)> [--firma <Nummer>]
      Fragt bei FinanzOnline, wie die Registrierkasse bzw. die Signaturerstellungseinheit gemeldet ist, mit den
      Login-Daten der Firma/Kassa <Nummer> (ohne --firma: der ersten der Installation).

  vexa-quorvex-rksv --help | hilfe | help
      Diese Hilfe.

  vexa-quorvex-rksv --version
      Die Version des Programms.

Rückgabewerte:
  0  erledigt: DEP gespeichert, DEP in Ordnung, Status erhalten
  1  das DEP hat Fehler, oder FinanzOnline hat die Abfrage abgelehnt (Rückgabewert oder SOAP-Fehlermeldung)
  2  falscher Aufruf
  3  nicht möglich: Installation, Datenbank, Signatureinheit, Datei, Schlüssel, Zertifikate, temporäre Dateien
     (Ordner aus TMPDIR) oder Login-Daten
  4  FinanzOnline hat nicht oder nicht verwertbar geantwortet (keine Verbindung, Zeitlimit)
  5  vom Benutzer abgebrochen (Strg+C)
)";

//! A command's words: positional arguments and options (an option's value, "" for a flag).
struct Words
{
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
};

class UsageError
{
public:
    explicit UsageError(std::string text)
        : m_text(std::move(text))
    {}
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
};

//! A command and its options: `valued` take a value, `flags` none.
struct Command
{
    std::string_view name;
    std::vector<std::string_view> valued;
    std::vector<std::string_view> flags;
};

const Command DEP_EXPORT{"dep-export", {}, {"--ueberschreiben", "--signatureinheit"}};
const Command DEP_PRUEFEN{"dep-pruefen", {"--zertifikate", "--schluessel", "--bericht"}, {}};
const Command STATUS{"status", {"--kassa", "--seriennummer", "--firma"}, {}};

//! What a valued option holds when it was given without its value; no word of a command line holds it.
constexpr const char* NO_VALUE = "\x1f";

//! A call as the parser read it.
struct Call
{
    bool help = false;
    bool version = false;
    //! Words before the command that are none (the first is named as an unknown command).
    std::vector<std::string> unknown;
    //! The command given, nullptr for none.
    const Command* command = nullptr;
    Words words;
};

/**
 * Reads a call with CLI11: the commands and their options, `--help` (or -h, "hilfe", "help") anywhere, `--version`
 * (or "version") before a command. A word beginning with "-" that the command does not know, and an option without
 * its value, are usage errors with German texts; CLI11's own help and messages are not used.
 */
Call parse(const std::vector<std::string>& args)
{
    Call call;
    CLI::App app("RKSV-Werkzeuge von Vexa-Quorvex", "vexa-quorvex-rksv");
    app.set_help_flag();
    app.allow_extras();
    app.require_subcommand(0, 1);
    app.add_flag("-h,--help", call.help);
    app.add_flag("--version", call.version);
    auto* helpWord = app.add_subcommand("hilfe")->alias("help");
    auto* versionWord = app.add_subcommand("version");
    helpWord->allow_extras(); // what follows is not looked at
    versionWord->allow_extras();

    struct Bound
    {
        const Command& command;
        CLI::App* app;
        std::vector<std::string> positional;
        std::vector<std::pair<std::string_view, CLI::Option*>> valued;
        std::vector<std::pair<std::string_view, CLI::Option*>> flags;
    };
    std::list<Bound> commands; // the parser keeps pointers to the positional lists
    for (const auto* command : {&DEP_EXPORT, &DEP_PRUEFEN, &STATUS}) {
        auto& bound =
            commands.emplace_back(Bound{*command, app.add_subcommand(std::string(command->name)), {}, {}, {}});
        bound.app->set_help_flag();
        bound.app->allow_extras();
        bound.app->add_flag("-h,--help", call.help);
        bound.app->add_option("worte", bound.positional);
        for (const auto name : command->valued) {
            // Zero or one value, so that a missing one is this tool's message, not the parser's.
            bound.valued.emplace_back(name,
                                      bound.app->add_option(std::string(name))
                                          ->expected(0, 1)
                                          ->default_str(NO_VALUE)
                                          ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast));
        }
        for (const auto name : command->flags) {
            bound.flags.emplace_back(name, bound.app->add_flag(std::string(name)));
        }
    }
    try {
        // CLI11 takes the words last first.
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        throw UsageError(std::string("Der Aufruf ist nicht lesbar: ") + error.what());
    }
    call.help = call.help || helpWord->parsed();
    call.version = call.version || versionWord->parsed();
    call.unknown = app.remaining();
    for (auto& bound : commands) {
        if (!bound.app->parsed()) {
            continue;
        }
        call.command = &bound.command;
        if (call.help) {
            break;
        }
        for (const auto& word : bound.app->remaining()) {
            if (word.starts_with("-")) {
                throw UsageError("Unbekannte Option " + word + ".");
            }
        }
        call.words.positional = std::move(bound.positional);
        for (const auto& [name, option] : bound.valued) {
            const auto& results = option->results();
            if (std::find(results.begin(), results.end(), NO_VALUE) != results.end()) {
                throw UsageError("Zu " + std::string(name) + " fehlt der Wert.");
            }
            if (!results.empty()) {
                call.words.options[std::string(name)] = results.back();
            }
        }
        for (const auto& [name, option] : bound.flags) {
            // A flag takes no value: "--ueberschreiben=nein" is no way of saying it.
            for (const auto& result : option->results()) {
                if (result != "true") {
                    throw UsageError("Unbekannte Option " + std::string(name) + "=" + result + ".");
                }
            }
            if (option->count() > 0) {
                call.words.options[std::string(name)] = "";
            }
        }
    }
    return call;
}

//! "03.02.2026" (the program's date text) or "2026-02-03".
std::optional<std::chrono::year_month_day> parseDay(const std::string& text)
{
    if (auto date = base::parseDate(text)) {
        return date;
    }
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &year, &month, &day, &end) != 3) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
    return date.ok() ? std::optional(date) : std::nullopt;
}

//! Draws one line of progress on a terminal, at most ten times a second, and clears it when done.
class ProgressLine
{
public:
    explicit ProgressLine(const Console& console)
        : m_console(console)
    {}
    ~ProgressLine() { clear(); }

    void show(const std::string& text, bool force = false)
    {
        if (!m_console.terminal) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!force && m_shown && now - m_last < std::chrono::milliseconds(100)) {
            return;
        }
        m_last = now;
        m_console.err << '\r' << text << "\x1b[K" << std::flush;
        m_shown = true;
    }

    void clear()
    {
        if (m_shown) {
            m_console.err << "\r\x1b[K" << std::flush;
            m_shown = false;
        }
    }

private:
    const Console& m_console;
    std::chrono::steady_clock::time_point m_last;
    bool m_shown = false;
};

std::string bar(double fraction)
{
    constexpr int WIDTH = 30;
    const int filled = static_cast<int>(fraction * WIDTH + 0.5);
    std::string text = "[";
    for (int i = 0; i < WIDTH; ++i) {
        text += i < filled ? '#' : '.';
    }
    return text + "] " + std::to_string(static_cast<int>(fraction * 100 + 0.5)) + " %";
}

/**
 * The dialog seam on a console: messages go to the error channel, the save-as dialog answers once with the file the
 * call named (and "cancelled" after that, so a refused overwrite ends the export), the overwrite question is answered
 * by --ueberschreiben.
 */
class ConsoleDialogs : public base::Dialogs
{
public:
    ConsoleDialogs(std::ostream& err, std::string target, bool overwrite)
        : m_err(err)
        , m_target(std::move(target))
        , m_overwrite(overwrite)
    {}

    void ErrorBox(const std::string& text) override { m_err << text << '\n'; }
    void InfoBox(const std::string&, const std::string& text) override { m_err << text << '\n'; }
    int TextBox(const std::string&, const std::string& text, unsigned type) override
    {
        if ((type & base::MB_YESNO) == 0) {
            m_err << text << '\n';
            return base::IDOK;
        }
        if (!m_overwrite) {
            m_err << text << " Nein (ersetzen nur mit --ueberschreiben)\n";
            m_refused = true;
        }
        return m_overwrite ? base::IDYES : base::IDNO;
    }
    int BigBox(base::BigBoxKind, const std::string&, const std::string& text) override
    {
        m_err << text << '\n';
        return base::BIG_CLOSED;
    }
    void SetWaitCursor(bool) override {}
    void ProcessEvents() override {}
    void ShellOpen(const std::string&) override {}
    void ShowHelp(const std::string&, const std::string&) override {}
    void ShowXml(const std::string&, const std::string& text) override { m_err << text << '\n'; }
    std::string ClipboardText() override { return {}; }
    std::string
    SaveAs(const std::string&, const std::string&, const std::string&, const std::string&, const std::string&) override
    {
        return std::exchange(m_target, std::string());
    }
    //! The command line names its files; nothing is chosen in a dialog.
    std::string OpenFile(const std::string&, const std::string&, const std::string&, const std::string&) override
    {
        return {};
    }

    bool refused() const { return m_refused; }

private:
    std::ostream& m_err;
    std::string m_target;
    bool m_overwrite;
    bool m_refused = false;
};

//! Installs the console's dialogs for as long as it lives.
class DialogsInstalled
{
public:
    explicit DialogsInstalled(base::Dialogs& dialogs)
        : m_previous(base::setDialogs(&dialogs))
    {}
    ~DialogsInstalled() { base::setDialogs(m_previous); }
    DialogsInstalled(const DialogsInstalled&) = delete;
    DialogsInstalled& operator=(const DialogsInstalled&) = delete;

private:
    base::Dialogs* m_previous;
};

//! Loads the installation of the working directory; the reason on `err` when it cannot be used. A folder without
//! INSTALLATION.INI is no installation (the program would serve a default company there): nothing is read or
//! written in it.
bool loadInstallation(const Console& console)
{
    base::program().DefaultDir = base::currentDirectory();
    if (!base::findFileNoCase(base::program().DefaultDir + base::INSTALLATION_FILE)) {
        console.err << "Im Ordner " << base::program().DefaultDir << " ist keine Installation von Vexa-Quorvex ("
                    << base::INSTALLATION_FILE << " fehlt). Bitte im Installationsordner aufrufen.\n";
        return false;
    }
    const auto loaded = base::loadInstallation(base::program().DefaultDir);
    if (!loaded.installation) {
        console.err << loaded.error << '\n';
        return false;
    }
    base::applyInstallation(*loaded.installation);
    return true;
}

bool stopped(const Console& console)
{
    return console.stop && console.stop->load();
}

int depExport(const Words& words, const Console& console)
{
    if (words.positional.size() != 4) {
        throw UsageError("dep-export braucht Kassa, von, bis und Datei.");
    }
    const auto& kassa = words.positional[0];
    const auto from = parseDay(words.positional[1]);
    const auto to = parseDay(words.positional[2]);
    if (kassa.empty()) {
        throw UsageError("Die Kassa muss angegeben werden.");
    }
    if (!from || !to) {
        throw UsageError("Ein Tag ist als TT.MM.JJJJ oder JJJJ-MM-TT anzugeben, nicht \""
                         + words.positional[!from ? 1 : 2] + "\".");
    }
    if (*to < *from) {
        throw UsageError("Der Tag \"bis\" liegt vor dem Tag \"von\".");
    }
    if (!loadInstallation(console)) {
        return EXIT_UNUSABLE;
    }
    const auto target = std::filesystem::absolute(words.positional[3]).string();
    ConsoleDialogs dialogs(console.err, target, words.options.contains("--ueberschreiben"));
    DialogsInstalled installed(dialogs);
    try {
        db::openProgramConnection();
    } catch (const base::PlatformError& error) {
        console.err << "Keine Verbindung zur Datenbank: " << error.what() << '\n';
        return EXIT_UNUSABLE;
    }
    rksv::RKSVExport exporter;
    exporter.assExactName(true);
    ProgressLine progress(console);
    exporter.setProgress([&](long receipts, bool) {
        if (stopped(console)) {
            exporter.assStop(true);
        }
        progress.show(rksv::grouped(receipts) + " Belege gelesen");
    });
    try {
        if (words.options.contains("--signatureinheit")) {
            exporter.DoDepExpRksv(kassa, *from, *to);
        } else {
            exporter.DoDepExpJson(kassa, *from, *to);
        }
    } catch (const base::PlatformError& error) {
        progress.clear();
        console.err << "Datenbankfehler: " << error.what() << '\n';
        return EXIT_UNUSABLE;
    }
    progress.clear();
    if (exporter.accStop()) {
        console.err << "Abgebrochen, nichts gespeichert.\n";
        return EXIT_CANCELLED;
    }
    if (exporter.accSaved().empty()) {
        console.err << "Das DEP wurde nicht gespeichert.\n";
        return EXIT_UNUSABLE;
    }
    console.out << rksv::grouped(exporter.accReceipts()) << " Belege gespeichert in " << exporter.accSaved() << '\n';
    return EXIT_DONE;
}

int depPruefen(const Words& words, const Console& console)
{
    if (words.positional.empty() || words.positional.size() > 2) {
        throw UsageError("dep-pruefen braucht die Datei und, wenn nicht der Schlüssel dieser Installation gilt, den "
                         "Benutzerschlüssel.");
    }
    // The file first: without it no key is of any use. (A file that cannot be looked at is the check's to report.)
    std::error_code unknown;
    if (!std::filesystem::exists(words.positional[0], unknown) && !unknown) {
        console.err << "Die Datei " << words.positional[0] << " gibt es nicht.\n";
        return EXIT_UNUSABLE;
    }
    // Trust anchors: the CA certificates given, and in an installation the cards registered for its tills.
    rksv::DepTrustAnchors anchors;
    if (const auto given = words.options.find("--zertifikate"); given != words.options.end()) {
        std::string error;
        if (!anchors.addFromPath(given->second, error)) {
            console.err << "Zertifikate: " << error << '\n';
            return EXIT_UNUSABLE;
        }
    }
    // Closed systems' public keys, as the auditor gives them.
    rksv::DepPublicKeys publicKeys;
    if (const auto given = words.options.find("--schluessel"); given != words.options.end()) {
        std::string error;
        if (!publicKeys.addFromFile(given->second, error)) {
            console.err << "Schlüssel: " << error << '\n';
            return EXIT_UNUSABLE;
        }
    }
    const bool installed =
        base::findFileNoCase(base::currentDirectory() + std::string(base::INSTALLATION_FILE)).has_value();
    if ((installed || words.positional.size() == 1) && !loadInstallation(console)) {
        return EXIT_UNUSABLE;
    }
    if (installed) {
        try {
            rksv::addRegisteredCards(anchors, *db::openProgramConnection());
        } catch (const base::PlatformError& error) {
            console.err << "Die für die Kassen registrierten Zertifikate sind nicht lesbar: " << error.what() << '\n';
            return EXIT_UNUSABLE;
        }
    }
    if (anchors.size() == 0 && publicKeys.size() == 0) {
        console.err << (installed ? "Für die Kassen dieser Installation ist kein Zertifikat registriert"
                                  : "Außerhalb einer Installation gibt es keine vertrauenswürdigen Zertifikate")
                    << ": bitte mit --zertifikate <Datei|Ordner> die Zertifikate der Zertifizierungsstellen angeben.\n";
        return EXIT_UNUSABLE;
    }
    std::string keyText;
    if (words.positional.size() == 2) {
        keyText = words.positional[1];
    } else {
        rksv::RKSV service(nullptr);
        keyText = service.accReady() ? service.accAes256() : std::string();
        if (keyText.empty()) {
            console.err << "Kein AES-Schlüssel dieser Installation"
                        << (service.accMsgFirst().empty() ? std::string() : ": " + service.accMsgFirst())
                        << "; bitte den Benutzerschlüssel angeben.\n";
            return EXIT_UNUSABLE;
        }
        service.Close();
    }
    const auto key = rksv::parseAesKey(keyText);
    if (!key) {
        console.err << "Der Benutzerschlüssel muss 44 Zeichen Base64 sein (32 Bytes).\n";
        return EXIT_UNUSABLE;
    }
    rksv::DepCheckOptions options;
    options.key = *key;
    options.stop = console.stop;
    options.trust = &anchors;
    options.publicKeys = &publicKeys;
    std::optional<rksv::DepReport> report;
    if (const auto named = words.options.find("--bericht"); named != words.options.end()) {
        report.emplace(named->second);
        if (!report->open()) {
            console.err << "Der Bericht " << named->second << " ist nicht schreibbar.\n";
            return EXIT_UNUSABLE;
        }
        options.eachFault = [&report](const rksv::DepFault& fault) { report->add(fault); };
    }
    ProgressLine progress(console);
    options.progress = [&](const rksv::DepProgress& step) {
        const double fraction =
            step.bytesTotal == 0 ? 0.0 : static_cast<double>(step.bytesRead) / static_cast<double>(step.bytesTotal);
        progress.show(bar(fraction) + "  " + rksv::grouped(step.receipts) + " Belege");
    };
    const auto result = rksv::checkDepFile(words.positional[0], options);
    progress.clear();
    for (const auto& fault : result.faults) {
        console.out << rksv::depFaultLine(fault) << '\n';
    }
    if (result.faultCount > static_cast<long>(result.faults.size())) {
        console.out << "… und " << result.faultCount - static_cast<long>(result.faults.size()) << " weitere Fehler\n";
    }
    for (const auto& warning : result.warnings) {
        console.out << rksv::depFaultLine(warning) << '\n';
    }
    if (result.warningCount > static_cast<long>(result.warnings.size())) {
        console.out << "… und " << result.warningCount - static_cast<long>(result.warnings.size())
                    << " weitere Warnungen\n";
    }
    console.out << result.summary() << '\n';
    if (report && !report->close(result.summary())) {
        console.err << "Der Bericht " << words.options.at("--bericht") << " ist nicht vollständig geschrieben.\n";
        return EXIT_UNUSABLE;
    }
    if (!result.error.empty()) {
        return EXIT_UNUSABLE;
    }
    if (result.cancelled) {
        return EXIT_CANCELLED;
    }
    return result.ok() ? EXIT_DONE : EXIT_FOUND;
}

int status(const Words& words, const Console& console)
{
    const bool till = words.options.contains("--kassa");
    if (!words.positional.empty() || till == words.options.contains("--seriennummer")) {
        throw UsageError("status braucht entweder --kassa oder --seriennummer.");
    }
    const auto id = base::trim(words.options.at(till ? "--kassa" : "--seriennummer"));
    if (id.empty()) {
        throw UsageError(till ? "Die Kassenidentifikationsnummer muss eingegeben werden"
                              : "Die Zertifikatsseriennummer muss eingegeben werden");
    }
    if (!loadInstallation(console)) {
        return EXIT_UNUSABLE;
    }
    const auto& companies = base::program().CompanyList;
    const auto wanted = words.options.contains("--firma") ? words.options.at("--firma") : std::string();
    const auto company = std::find_if(companies.begin(), companies.end(), [&](const base::Company& c) {
        return wanted.empty() || c.number == wanted;
    });
    if (company == companies.end()) {
        console.err << "Die Firma/Kassa " << wanted << " gibt es in INSTALLATION.INI nicht.\n";
        return EXIT_UNUSABLE;
    }
    base::program().TestFlag = company->testFlag;
    // Read only: a query creates no INI file (base::CompanyIni would).
    const auto ini = base::IniFile(base::program().DefaultDir + company->number + "QUORVEX.INI").Read();
    const bool fixedTid = base::IsTid(static_cast<int>(company - companies.begin()) + 1);
    const fonws::Credentials login{base::trim(fixedTid ? company->tid : ini.GetString("Quorvex", "Tid")),
                                   ini.GetString("Quorvex", "Benid"),
                                   ini.GetString("Quorvex", "Pin"),
                                   ini.GetString("Quorvex", "Uidnr")};
    if (base::trim(login.tid).empty() || base::trim(login.benid).empty() || base::trim(login.pin).empty()
        || base::trim(login.herstellerId).empty()) {
        console.err << "Für die Firma/Kassa " << company->number
                    << " fehlen Login-Daten; sie sind im Programm unter Basisdaten/Einstellungen einzugeben.\n";
        return EXIT_UNUSABLE;
    }
    const auto operation = till ? fonws::Operation::Status_Kasse : fonws::Operation::Status_SE;
    ProgressLine progress(console);
    progress.show("Verbindung zu FinanzOnline … (Strg+C bricht ab)", true);
    // The client's debug lines (curl's error code, "Abgebrochen.") are no messages: here only in debug mode.
    fonws::setDebugSink([&console](const std::string& line) {
        if (base::IsDebug()) {
            console.err << "Debug: " << line << '\n';
        }
    });
    const auto result = fonws::submit(login, operation, {std::string(), id}, console.stop);
    fonws::setDebugSink({});
    progress.clear();
    if (result.cancelled) {
        console.err << (result.loggedOut ? "Abgebrochen; die Sitzung bei FinanzOnline ist abgemeldet.\n"
                                         : "Abgebrochen.\n");
        return EXIT_CANCELLED;
    }
    const auto& answer = result.answer;
    const auto status = answer.code == "0" ? fonws::readStatusResult(result.answerXml) : std::nullopt;
    if (status) {
        console.out << "(0) " << fonws::describeStatus(operation, id, *status) << '\n';
        return EXIT_DONE;
    }
    // As the window shows it: the code and its message, a fault's text under it.
    console.out << "(" << answer.code << ")" << (answer.message.empty() ? "" : " " + answer.message) << '\n';
    if (!result.fault.empty()) {
        console.out << "Fehlermeldung von FinanzOnline:\n" << result.fault << '\n';
    }
    switch (result.answered) {
    case fonws::Answered::ReturnCode:
        if (answer.code != "0") {
            return EXIT_FOUND;
        }
        console.err << "Die Antwort von FinanzOnline enthält keinen Status.\n";
        return EXIT_UNREACHABLE;
    case fonws::Answered::Fault:
        // FinanzOnline answered, and did not carry the request out.
        return EXIT_FOUND;
    case fonws::Answered::Nothing:
        console.err << "FinanzOnline hat nicht geantwortet"
                    << (result.transportError.empty() ? std::string(".") : ": " + result.transportError) << '\n';
        return EXIT_UNREACHABLE;
    case fonws::Answered::Unreadable:
        break;
    }
    if (answer.message.empty()) {
        console.err << "Die Antwort von FinanzOnline ist nicht verwertbar.\n";
    }
    return EXIT_UNREACHABLE;
}

} // namespace

int run(const std::vector<std::string>& args, const Console& console)
{
    if (args.empty()) {
        console.err << HELP;
        return EXIT_USAGE;
    }
    try {
        const auto call = parse(args);
        if (call.help) {
            console.out << HELP;
            return EXIT_DONE;
        }
        if (!call.unknown.empty()) {
            throw UsageError("Unbekannter Befehl \"" + call.unknown.front() + "\".");
        }
        if (call.version) {
            console.out << "vexa-quorvex-rksv V" << base::PROGRAM_VERSION << " (" << base::buildIdentifier() << ")\n";
            return EXIT_DONE;
        }
        if (!call.command) {
            console.err << HELP;
            return EXIT_USAGE;
        }
        if (call.command == &DEP_EXPORT) {
            return depExport(call.words, console);
        }
        if (call.command == &DEP_PRUEFEN) {
            return depPruefen(call.words, console);
        }
        return status(call.words, console);
    } catch (const UsageError& error) {
        console.err << error.text() << "\nHilfe: vexa-quorvex-rksv --help\n";
        return EXIT_USAGE;
    } catch (const std::exception& error) {
        console.err << "Unerwarteter Fehler: " << error.what() << '\n';
        return EXIT_UNUSABLE;
    }
}

} // namespace app::cli
