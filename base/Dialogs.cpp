#include "base/Dialogs.h"

#include <iostream>
#include <utility>

namespace base {
namespace {

class StderrDialogs : public Dialogs
{
public:
    void ErrorBox(const std::string& text) override { std::cerr << "Fehler: " << text << '\n'; }
    void InfoBox(const std::string& caption, const std::string& text) override
    {
        std::cerr << caption << ": " << text << '\n';
    }
    int TextBox(const std::string& caption, const std::string& text, unsigned /*type*/) override
    {
        std::cerr << caption << ": " << text << '\n';
        return IDCANCEL;
    }
    int BigBox(BigBoxKind /*kind*/, const std::string& caption, const std::string& text) override
    {
        std::cerr << caption << ": " << text << '\n';
        return BIG_CLOSED;
    }
    void SetWaitCursor(bool /*wait*/) override {}
    void ProcessEvents() override {}
    void ShellOpen(const std::string& path) override { std::cerr << "Öffnen: " << path << '\n'; }
    void ShowHelp(const std::string& file, const std::string& topic) override
    {
        std::cerr << "Hilfe: " << file << " (" << topic << ")\n";
    }
    void ShowXml(const std::string& caption, const std::string& text) override
    {
        std::cerr << caption << ":\n" << text << '\n';
    }
    std::string ClipboardText() override { return {}; }
    std::string SaveAs(const std::string& caption,
                       const std::string& proposedName,
                       const std::string& /*filterDescription*/,
                       const std::string& /*filterPattern*/,
                       const std::string& /*initialDirectory*/) override
    {
        std::cerr << caption << ": " << proposedName << '\n';
        return {};
    }
    std::string OpenFile(const std::string& caption,
                         const std::string& /*filterDescription*/,
                         const std::string& filterPattern,
                         const std::string& /*initialDirectory*/) override
    {
        std::cerr << caption << ": " << filterPattern << '\n';
        return {};
    }
};

StderrDialogs fallback;
Dialogs* installed = nullptr;

} // namespace

Dialogs& dialogs()
{
    return installed ? *installed : fallback;
}

Dialogs* setDialogs(Dialogs* implementation)
{
    return std::exchange(installed, implementation);
}

int BigErrorBox(const std::string& text)
{
    return dialogs().BigBox(BigBoxKind::Error, "Fehler", text);
}

int BigWarningBox(const std::string& caption, const std::string& text)
{
    return dialogs().BigBox(BigBoxKind::Warning, caption.empty() ? "Warnung" : caption, text);
}

int BigInfoBox(const std::string& text)
{
    return dialogs().BigBox(BigBoxKind::Info, "Info", text);
}

int BigInfoBox(const std::string& caption, const std::string& text)
{
    return dialogs().BigBox(BigBoxKind::Info, caption, text);
}

int BigTextBox(const std::string& caption, const std::string& text)
{
    return dialogs().BigBox(BigBoxKind::Text, caption.empty() ? "Frage" : caption, text);
}

} // namespace base
