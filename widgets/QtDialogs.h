#pragma once

#include "base/Dialogs.h"

namespace widgets {

//! The dialogs of the core shown as Qt windows over the active window of the program.
class QtDialogs : public base::Dialogs
{
public:
    void ErrorBox(const std::string& text) override;
    void InfoBox(const std::string& caption, const std::string& text) override;
    int TextBox(const std::string& caption, const std::string& text, unsigned type) override;
    int BigBox(base::BigBoxKind kind, const std::string& caption, const std::string& text) override;
    void SetWaitCursor(bool wait) override;
    void ProcessEvents() override;
    void ShellOpen(const std::string& path) override;
    //! The program's one help window (DtaHilfe), opened on the first call and shown at `topic` on every call.
    void ShowHelp(const std::string& file, const std::string& topic) override;
    //! The answer viewer DlgXmlAnzeige, modal over the active window.
    void ShowXml(const std::string& caption, const std::string& text) override;
    std::string ClipboardText() override;
    //! Qt's own (non-native) file dialog in save mode, so it looks and behaves the same on every desktop. The filter
    //! shows as "<description> (<pattern>)"; a pattern with letters also matches their lower-case spelling.
    [[nodiscard]] std::string SaveAs(const std::string& caption,
                                     const std::string& proposedName,
                                     const std::string& filterDescription,
                                     const std::string& filterPattern,
                                     const std::string& initialDirectory) override;
    //! Qt's own (non-native) file dialog in open mode for one existing file, its filter as in SaveAs.
    [[nodiscard]] std::string OpenFile(const std::string& caption,
                                       const std::string& filterDescription,
                                       const std::string& filterPattern,
                                       const std::string& initialDirectory) override;

private:
    bool m_waitCursor = false;
};

} // namespace widgets
