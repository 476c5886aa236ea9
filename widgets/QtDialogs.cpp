#include "widgets/QtDialogs.h"

#include "widgets/DesktopLook.h"
#include "widgets/DlgTextBox.h"
#include "widgets/DlgXmlAnzeige.h"
#include "widgets/DtaHilfe.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <QUrl>

#include <type_traits>
#include <utility>

namespace widgets {
namespace {

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

QWidget* owner()
{
    return QApplication::activeWindow();
}

// The file the user chose in a file dialog, "" when it was cancelled.
std::string chosenFile(QFileDialog& dialog)
{
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst().toStdString();
}

// One filter shown as "<description> (<pattern>)"; file names are case-sensitive here, so a "*.JSON" filter also
// lists "*.json". The description may already name the pattern ("Datenerfassungsprotokoll *.JSON").
void setFilter(QFileDialog& dialog, const std::string& filterDescription, const std::string& filterPattern)
{
    QString description = qs(filterDescription).trimmed();
    const QString pattern = qs(filterPattern);
    if (!pattern.isEmpty() && description.endsWith(pattern)) {
        description = description.left(description.size() - pattern.size()).trimmed();
    }
    QString patterns = pattern;
    if (pattern.toLower() != pattern) {
        patterns += QLatin1Char(' ') + pattern.toLower();
    }
    if (!patterns.isEmpty()) {
        dialog.setNameFilter(description.isEmpty() ? patterns
                                                   : description + QStringLiteral(" (") + patterns + QLatin1Char(')'));
    }
}

QMessageBox::Icon iconOf(unsigned type)
{
    switch (type & 0xF0) {
    case base::MB_ICONSTOP:
        return QMessageBox::Critical;
    case base::MB_ICONQUESTION:
        return QMessageBox::Question;
    case base::MB_ICONWARNING:
        return QMessageBox::Warning;
    case base::MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

// The platform's button sets (low four bits of the type) with the answer code of each button.
std::vector<std::pair<QMessageBox::StandardButton, int>> buttonsOf(unsigned type)
{
    switch (type & 0x0F) {
    case 1:
        return {{QMessageBox::Ok, base::IDOK}, {QMessageBox::Cancel, base::IDCANCEL}};
    case 2:
        return {{QMessageBox::Abort, 3}, {QMessageBox::Retry, 4}, {QMessageBox::Ignore, 5}};
    case 3:
        return {{QMessageBox::Yes, base::IDYES}, {QMessageBox::No, base::IDNO}, {QMessageBox::Cancel, base::IDCANCEL}};
    case 4:
        return {{QMessageBox::Yes, base::IDYES}, {QMessageBox::No, base::IDNO}};
    case 5:
        return {{QMessageBox::Retry, 4}, {QMessageBox::Cancel, base::IDCANCEL}};
    default:
        return {{QMessageBox::Ok, base::IDOK}};
    }
}

// Ctrl+C copies the box's caption and text, as message boxes do on Windows, so a message can be passed on to
// whoever helps; the text can be selected with the mouse too.
void offerCopy(QMessageBox& box)
{
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* copy = new QShortcut(QKeySequence::Copy, &box);
    QObject::connect(copy, &QShortcut::activated, &box, [&box] {
        QGuiApplication::clipboard()->setText(box.windowTitle() + QLatin1Char('\n') + box.text());
    });
}

// A box asked for on a worker (the signing step asks about the reader) is shown by the window's thread, and the
// worker waits for its answer: windows live on that thread only.
bool onAWorker()
{
    const auto* application = QCoreApplication::instance();
    return application != nullptr && QThread::currentThread() != application->thread();
}

template <class Show> auto onWindowThread(Show&& show)
{
    auto* application = QCoreApplication::instance();
    using Result = decltype(show());
    if constexpr (std::is_void_v<Result>) {
        QMetaObject::invokeMethod(application, std::forward<Show>(show), Qt::BlockingQueuedConnection);
    } else {
        Result result{};
        QMetaObject::invokeMethod(
            application, [&result, &show] { result = show(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}

} // namespace

void QtDialogs::ErrorBox(const std::string& text)
{
    if (onAWorker()) {
        return onWindowThread([this, &text] { ErrorBox(text); });
    }
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Fehler"), qs(text), QMessageBox::Ok, owner());
    useThemeIcon(box);
    offerCopy(box);
    box.exec();
}

void QtDialogs::InfoBox(const std::string& caption, const std::string& text)
{
    if (onAWorker()) {
        return onWindowThread([this, &caption, &text] { InfoBox(caption, text); });
    }
    QMessageBox box(QMessageBox::Information, qs(caption), qs(text), QMessageBox::Ok, owner());
    useThemeIcon(box);
    offerCopy(box);
    box.exec();
}

int QtDialogs::TextBox(const std::string& caption, const std::string& text, unsigned type)
{
    if (onAWorker()) {
        return onWindowThread([this, &caption, &text, type] { return TextBox(caption, text, type); });
    }
    QMessageBox box(iconOf(type), qs(caption), qs(text), QMessageBox::NoButton, owner());
    useThemeIcon(box);
    offerCopy(box);
    const auto buttons = buttonsOf(type);
    for (const auto& [button, code] : buttons) {
        box.addButton(button);
    }
    const std::size_t defaultButton = (type & 0xF00) == base::MB_DEFBUTTON2 ? 1 : 0;
    if (defaultButton < buttons.size()) {
        box.setDefaultButton(buttons[defaultButton].first);
    }
    box.exec();
    const auto clicked = box.standardButton(box.clickedButton());
    for (const auto& [button, code] : buttons) {
        if (button == clicked) {
            return code;
        }
    }
    // Closed without a button: the platform answers with its cancel button, or the only one.
    return buttons.size() == 1 ? buttons.front().second : base::IDCANCEL;
}

int QtDialogs::BigBox(base::BigBoxKind kind, const std::string& caption, const std::string& text)
{
    if (onAWorker()) {
        return onWindowThread([this, kind, &caption, &text] { return BigBox(kind, caption, text); });
    }
    DlgTextBox box(kind, qs(caption), qs(text), owner());
    return box.Show();
}

void QtDialogs::SetWaitCursor(bool wait)
{
    if (wait && !m_waitCursor) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (!wait && m_waitCursor) {
        QApplication::restoreOverrideCursor();
    }
    m_waitCursor = wait;
}

void QtDialogs::ProcessEvents()
{
    QApplication::processEvents();
}

void QtDialogs::ShellOpen(const std::string& path)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(qs(path)).absoluteFilePath()));
}

void QtDialogs::ShowHelp(const std::string& file, const std::string& topic)
{
    DtaHilfe::open(file, topic);
}

void QtDialogs::ShowXml(const std::string& caption, const std::string& text)
{
    DlgXmlAnzeige dialog(QString::fromUtf8(caption), QString::fromUtf8(text), owner());
    dialog.exec();
}

std::string QtDialogs::ClipboardText()
{
    return QGuiApplication::clipboard()->text().toStdString();
}

std::string QtDialogs::SaveAs(const std::string& caption,
                              const std::string& proposedName,
                              const std::string& filterDescription,
                              const std::string& filterPattern,
                              const std::string& initialDirectory)
{
    QFileDialog dialog(owner(), qs(caption), qs(initialDirectory));
    dialog.setObjectName(QStringLiteral("dlgSaveAs"));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    // The caller asks before it overwrites, with its own text.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    setFilter(dialog, filterDescription, filterPattern);
    dialog.selectFile(qs(proposedName));
    return chosenFile(dialog);
}

std::string QtDialogs::OpenFile(const std::string& caption,
                                const std::string& filterDescription,
                                const std::string& filterPattern,
                                const std::string& initialDirectory)
{
    QFileDialog dialog(owner(), qs(caption), qs(initialDirectory));
    dialog.setObjectName(QStringLiteral("dlgOpenFile"));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    setFilter(dialog, filterDescription, filterPattern);
    return chosenFile(dialog);
}

} // namespace widgets
