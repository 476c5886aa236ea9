#pragma once

#include <QPointer>
#include <QWidget>

#include <memory>
#include <string>

class QAction;
class QTreeWidget;
class QUrl;

namespace base {
class ChmFile;
}

namespace widgets {

class ChmBrowser;

/**
 * The program's help window: the compiled help file's table of contents on the left, its pages on the right, with
 * links followed inside the window, back and forward (Alt+Left, Alt+Right) and links to the web handed to the
 * desktop; Esc or Ctrl+W closes it. There is one window per program; it is not modal and reads the file only when it
 * is first opened.
 */
class DtaHilfe : public QWidget
{
    Q_OBJECT

public:
    /**
     * Shows the help window at `topic` (see base::Dialogs::ShowHelp), opening it with `file` on the first call or
     * when the file changes, and raises and activates it, also when it was minimised. A missing or unreadable file is
     * named in an error box (base::dialogs()); then nothing opens and the result is nullptr. Opened while a modal
     * dialog runs, the window belongs to that dialog until it closes, so that it can be used meanwhile.
     */
    static DtaHilfe* open(const std::string& file, const std::string& topic);
    //! The open help window, nullptr when none is open.
    static DtaHilfe* instance();

    ~DtaHilfe() override;

    //! Shows a page: "" or "HelpContents" the default topic, else a page name with or without ".htm" and anchor. A
    //! page the file does not hold shows the default topic.
    void showTopic(const std::string& topic);
    //! The page shown, "chm:/Senden.htm#test".
    [[nodiscard]] QUrl page() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    //! Gives the keyboard back to the window the help was asked for from.
    void closeEvent(QCloseEvent* event) override;

private:
    DtaHilfe(std::unique_ptr<base::ChmFile> chm, std::string file);

    void fillContents();
    void followPage(const QUrl& url);
    void openLink(const QUrl& url);
    void keepUsableBeside(QWidget* modal);

    std::unique_ptr<base::ChmFile> m_chm;
    std::string m_file;
    std::string m_defaultTopic;
    QTreeWidget* m_lvwInhalt = nullptr;
    ChmBrowser* m_txtSeite = nullptr;
    QAction* m_back = nullptr;
    QAction* m_forward = nullptr;
    bool m_following = false;
    //! The window that was active when the help was last asked for.
    QPointer<QWidget> m_returnTo;
};

//! The installation's help file, DefaultDir + "Quorvex.CHM".
std::string helpFile();

//! Makes F1 in `window` open the installation's help file at `topic` ("Senden.htm#rueckmeldung").
void installHelpKey(QWidget* window, const std::string& topic);

} // namespace widgets
