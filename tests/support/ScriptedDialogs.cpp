#include "tests/support/ScriptedDialogs.h"

namespace testsupport {

ScriptedDialogs::ScriptedDialogs()
    : m_previous(base::setDialogs(this))
{}

ScriptedDialogs::~ScriptedDialogs()
{
    base::setDialogs(m_previous);
}

int ScriptedDialogs::next()
{
    if (m_answers.empty()) {
        return 0;
    }
    const int code = m_answers.front();
    m_answers.pop_front();
    return code;
}

void ScriptedDialogs::ErrorBox(const std::string& text)
{
    m_shown.push_back({"ErrorBox", "", text, 0});
}

void ScriptedDialogs::InfoBox(const std::string& caption, const std::string& text)
{
    m_shown.push_back({"InfoBox", caption, text, 0});
}

int ScriptedDialogs::TextBox(const std::string& caption, const std::string& text, unsigned type)
{
    m_shown.push_back({"TextBox", caption, text, type});
    return next();
}

int ScriptedDialogs::BigBox(base::BigBoxKind kind, const std::string& caption, const std::string& text)
{
    static const char* const NAMES[] = {"BigError", "BigInfo", "BigText", "BigWarning"};
    m_shown.push_back({NAMES[static_cast<int>(kind)], caption, text, 0});
    return next();
}

std::string ScriptedDialogs::SaveAs(const std::string& caption,
                                    const std::string& proposedName,
                                    const std::string& filterDescription,
                                    const std::string& filterPattern,
                                    const std::string& initialDirectory)
{
    m_saveAsAsked.push_back({caption, proposedName, filterDescription, filterPattern, initialDirectory});
    if (m_saveAnswers.empty()) {
        return {};
    }
    auto path = std::move(m_saveAnswers.front());
    m_saveAnswers.pop_front();
    return path;
}

std::string ScriptedDialogs::OpenFile(const std::string& caption,
                                      const std::string& /*filterDescription*/,
                                      const std::string& /*filterPattern*/,
                                      const std::string& /*initialDirectory*/)
{
    m_openFileAsked.push_back(caption);
    if (m_openAnswers.empty()) {
        return {};
    }
    auto path = std::move(m_openAnswers.front());
    m_openAnswers.pop_front();
    return path;
}

} // namespace testsupport
