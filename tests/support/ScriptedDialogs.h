#pragma once

#include "app/Dialogs.h"

#include <deque>
#include <string>
#include <vector>

namespace testsupport {

//! Records every dialog the core shows and answers with the codes queued by the test (0 when none is queued).
//! Installs itself for its lifetime.
class ScriptedDialogs : public app::Dialogs
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

    void answer(int code) { m_answers.push_back(code); }
    const std::vector<Shown>& shown() const { return m_shown; }
    const std::vector<bool>& cursorChanges() const { return m_cursor; }

    void ErrorBox(const std::string& text) override;
    void InfoBox(const std::string& caption, const std::string& text) override;
    int TextBox(const std::string& caption, const std::string& text, unsigned type) override;
    int BigBox(app::BigBoxKind kind, const std::string& caption, const std::string& text) override;
    void SetWaitCursor(bool wait) override { m_cursor.push_back(wait); }
    void ProcessEvents() override {}

private:
    int next();

    app::Dialogs* m_previous;
    std::deque<int> m_answers;
    std::vector<Shown> m_shown;
    std::vector<bool> m_cursor;
};

} // namespace testsupport
