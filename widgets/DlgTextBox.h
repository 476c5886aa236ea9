#pragma once

#include "base/Dialogs.h"

#include <QDialog>

class QLabel;
class QPushButton;
class QToolButton;

namespace widgets {

/**
 * The program's large modal message dialog: bitmap top left, the message centred, and either "OK" or "Ja" and
 * "Nein" on one row at the bottom. Show() sounds the kind's beep, runs the dialog and returns its result code:
 * 1 for "OK", 6 for "Ja", 3 for "Nein", 0 when the window is closed without a button.
 */
class DlgTextBox : public QDialog
{
    Q_OBJECT

public:
    DlgTextBox(base::BigBoxKind kind, const QString& caption, const QString& text, QWidget* owner);

    int Show();
    int resultCode() const { return m_result; }
    //! Accepted for the question kind; has no effect.
    void setType(int /*type*/) {}

private:
    void finish(int code);

    int m_result = base::BIG_CLOSED;
    QLabel* m_txtMessage;
    QPushButton* m_pshYes;
    QPushButton* m_pshNo;
    QPushButton* m_pshOk;
    QToolButton* m_pshIcon;
};

//! Resource path of the bitmap of a kind (":/bmpError.svg" …).
QString bitmapOf(base::BigBoxKind kind);

} // namespace widgets
