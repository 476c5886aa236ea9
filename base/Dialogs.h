#pragma once

#include <string>

namespace base {

//! The kinds of the program's large message dialog.
enum class BigBoxKind
{
    Error,
    Info,
    Text,
    Warning,
};

//! Message-box type flags and answer codes of the platform's standard boxes, as callers pass and test them.
inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_YESNO = 0x04;
inline constexpr unsigned MB_ICONSTOP = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
//! The second button is the default (Enter), as for a question whose safe answer is "No".
inline constexpr unsigned MB_DEFBUTTON2 = 0x100;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

//! Result codes of the large message dialog.
inline constexpr int BIG_CLOSED = 0;
inline constexpr int BIG_OK = 1;
inline constexpr int BIG_NO = 3;
inline constexpr int BIG_YES = 6;

/**
 * Everything the core shows to the user or asks of the desktop. The windows install the Qt implementation at
 * start-up; tests install a scripted one that records what was shown and answers as the test says. Every call
 * but ShowHelp is modal; all are made on the user-interface thread.
 */
class Dialogs
{
public:
    virtual ~Dialogs() = default;

    //! Standard error box with one button to close it.
    virtual void ErrorBox(const std::string& text) = 0;
    //! Standard information box with one button to close it.
    virtual void InfoBox(const std::string& caption, const std::string& text) = 0;
    //! Standard box with the platform's type flags (MB_…); returns the button code (IDOK, IDYES, IDNO …).
    virtual int TextBox(const std::string& caption, const std::string& text, unsigned type) = 0;
    //! The large message dialog of the given kind with its beep; returns BIG_OK, BIG_YES, BIG_NO or BIG_CLOSED.
    virtual int BigBox(BigBoxKind kind, const std::string& caption, const std::string& text) = 0;
    //! Wait cursor on (true) or the arrow back (false).
    virtual void SetWaitCursor(bool wait) = 0;
    //! Lets the user interface handle what is pending (repaint, input) during a long task.
    virtual void ProcessEvents() = 0;
    //! Opens a file with the desktop's handler for its type (the shell's "open" verb).
    virtual void ShellOpen(const std::string& path) = 0;
    /**
     * Opens a compiled HTML help file at a topic in the program's help window and returns at once: the window is
     * not modal. `topic` names a page ("Senden", "Senden.htm", "Senden.htm#test"); "HelpContents" is the contents
     * page. A file that cannot be read is named in an error box.
     */
    virtual void ShowHelp(const std::string& file, const std::string& topic) = 0;
    //! Shows an XML text (UTF-8) indented in a read-only viewer from which it can be copied; a text that is no
    //! well-formed XML is shown as it is.
    virtual void ShowXml(const std::string& caption, const std::string& text) = 0;
    //! The clipboard's text, "" when it holds none.
    virtual std::string ClipboardText() = 0;
    /**
     * The platform's save-as dialog: `caption`, the proposed file name (preselected), one filter (its description as
     * shown and its pattern, "*.JSON") and the folder it opens in. Returns the chosen path as the user typed or
     * picked it, "" when the dialog was cancelled. Overwriting is not confirmed here: the caller asks.
     */
    [[nodiscard]] virtual std::string SaveAs(const std::string& caption,
                                             const std::string& proposedName,
                                             const std::string& filterDescription,
                                             const std::string& filterPattern,
                                             const std::string& initialDirectory) = 0;
    /**
     * The platform's open-file dialog: `caption`, one filter (its description and its pattern, "*.JSON") and the
     * folder it opens in. Only an existing file can be chosen. Returns its path, "" when the dialog was cancelled.
     */
    [[nodiscard]] virtual std::string OpenFile(const std::string& caption,
                                               const std::string& filterDescription,
                                               const std::string& filterPattern,
                                               const std::string& initialDirectory) = 0;
};

//! The installed implementation; before one is installed, a fallback that writes the texts to standard error and
//! answers every question with "closed" (a save-as dialog with "cancelled").
Dialogs& dialogs();
//! Installs an implementation (not owned; nullptr restores the fallback). Returns the previous one.
Dialogs* setDialogs(Dialogs* implementation);

//! The four large dialogs with their default captions ("Fehler", "Warnung", "Info", "Frage").
int BigErrorBox(const std::string& text);
int BigWarningBox(const std::string& caption, const std::string& text);
int BigInfoBox(const std::string& text);
int BigInfoBox(const std::string& caption, const std::string& text);
int BigTextBox(const std::string& caption, const std::string& text);

} // namespace base
