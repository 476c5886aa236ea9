#pragma once

#include "base/Dialogs.h"

#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

//! Records every dialog the core shows and answers with the codes queued by the test (0 when none is queued).
//! Installs itself for its lifetime.
class ScriptedDialogs : public base::Dialogs
{
public:
    struct Shown
    {
        std::string kind; //!< "ErrorBox", "InfoBox", "TextBox", "BigError", "BigInfo", "BigText", "BigWarning"
        std::string caption;
        std::string text;
        unsigned type = 0;
    };

    ScriptedDialogs();
    ~ScriptedDialogs() override;
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    //! What a save-as dialog was asked with.
    struct SaveAsAsked
    {
        std::string caption;
        std::string proposedName;
        std::string filterDescription;
        std::string filterPattern;
        std::string initialDirectory;
    };

    void answer(int code) { m_answers.push_back(code); }
    //! The path the next save-as dialog returns ("" stands for cancel, as does an empty queue).
    void answerSaveAs(const std::string& path) { m_saveAnswers.push_back(path); }
    const std::vector<SaveAsAsked>& saveAsAsked() const { return m_saveAsAsked; }
    //! The path the next open-file dialog returns ("" stands for cancel, as does an empty queue), and the captions
    //! open-file dialogs were asked with.
    void answerOpenFile(const std::string& path) { m_openAnswers.push_back(path); }
    const std::vector<std::string>& openFileAsked() const { return m_openFileAsked; }
    const std::vector<Shown>& shown() const { return m_shown; }
    const std::vector<bool>& cursorChanges() const { return m_cursor; }

    void ErrorBox(const std::string& text) override;
    void InfoBox(const std::string& caption, const std::string& text) override;
    int TextBox(const std::string& caption, const std::string& text, unsigned type) override;
    int BigBox(base::BigBoxKind kind, const std::string& caption, const std::string& text) override;
    void SetWaitCursor(bool wait) override { m_cursor.push_back(wait); }
    void ProcessEvents() override {}
    void ShellOpen(const std::string& path) override { m_opened.push_back(path); }
    void ShowHelp(const std::string& file, const std::string& topic) override { m_help.push_back(file + "#" + topic); }
    void ShowXml(const std::string& caption, const std::string& text) override { m_xml.push_back({caption, text}); }
    std::string ClipboardText() override { return m_clipboard; }
    std::string SaveAs(const std::string& caption,
                       const std::string& proposedName,
                       const std::string& filterDescription,
                       const std::string& filterPattern,
                       const std::string& initialDirectory) override;
    std::string OpenFile(const std::string& caption,
                         const std::string& filterDescription,
                         const std::string& filterPattern,
                         const std::string& initialDirectory) override;

    //! What the clipboard holds for the core to read.
    void setClipboard(const std::string& text) { m_clipboard = text; }
    //! Files opened with the desktop's handler, and help calls as "file#topic".
    const std::vector<std::string>& opened() const { return m_opened; }
    const std::vector<std::string>& help() const { return m_help; }
    //! XML texts shown in the viewer, as (caption, text).
    const std::vector<std::pair<std::string, std::string>>& xmlShown() const { return m_xml; }

private:
    int next();

    base::Dialogs* m_previous;
    std::deque<int> m_answers;
    std::deque<std::string> m_saveAnswers;
    std::vector<SaveAsAsked> m_saveAsAsked;
    std::deque<std::string> m_openAnswers;
    std::vector<std::string> m_openFileAsked;
    std::vector<Shown> m_shown;
    std::vector<bool> m_cursor;
    std::vector<std::string> m_opened;
    std::vector<std::string> m_help;
    std::vector<std::pair<std::string, std::string>> m_xml;
    std::string m_clipboard;
};

} // namespace testsupport
