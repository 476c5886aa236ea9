#pragma once

#include "widgets/DialogUnits.h"

#include <QWidget>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimeEdit;

namespace widgets {

/**
 * Base of the operation forms. Every control that carries a value has a description, the name under which
 * its value is remembered in section "Funktionen" of the company's INI file; all forms share that section, so a
 * value entered in one form comes back in every form with a control of the same description. The receipt
 * ("Beleg") is remembered only in locked-down mode and never restored.
 *
 * Layout: 214 × 84 dialog units, labels in a left column one row every 12 units, labels of required values red,
 * the note "Rot markierte Werte müssen eingegeben werden" centred in red across the bottom row.
 */
class MySubDataWindow : public QWidget
{
    Q_OBJECT

public:
    explicit MySubDataWindow(QWidget* parent);

    //! Puts the remembered values into the form's controls.
    void GetIniFile();
    //! Puts the cursor into the first field that takes input.
    void focusFirstField();
    //! Checks the values (the forms' own checks come first: an error box and the focus on the field at the first
    //! failing one) and remembers them, all in one write; true when the data may be sent. A value the INI file
    //! cannot hold is refused like a failed check; any other failure to remember is reported and the data may
    //! still be sent.
    [[nodiscard]] virtual bool PshOk();
    //! Date and time fields to now (forms 2, 3, 6 and 7).
    virtual void SetDatumZeit() {}

    std::string accKundeninfo() const;

    //! Name of the value of a control, "" for none.
    static QString descriptionOf(const QWidget* control);
    //! The text of a control as it is remembered; setting it selects a list's item of that text.
    static QString textOf(const QWidget* control);
    static void setTextOf(QWidget* control, const QString& text);

protected:
    QLineEdit* addEdit(int row,
                       const QString& label,
                       const char* name,
                       const QString& description,
                       bool required,
                       bool upperCase = false);
    QComboBox* addCombo(int row,
                        const QString& label,
                        const char* name,
                        const QString& description,
                        const std::vector<std::pair<QString, QString>>& items);
    std::pair<QDateEdit*, QTimeEdit*> addDateTime(int row,
                                                  const QString& label,
                                                  const char* dateName,
                                                  const QString& dateDescription,
                                                  const char* timeName,
                                                  const QString& timeDescription);
    QPushButton* addButton(int left, int top, int width, const QString& text, const char* name);
    QLabel* addLabel(int row, const QString& text, bool required);
    //! Takes the customer information (row 0) out of a form whose request has no place for it: neither shown nor
    //! remembered; accKundeninfo() is then "".
    void withoutKundeninfo();
    //! Registers a control under its description, in control order.
    void describe(QWidget* control, const QString& description);

    //! Shows the message as an error box, puts the focus on the field and gives false.
    [[nodiscard]] static bool fail(QWidget* field, const char* message);
    //! No characters, or only blanks.
    static bool isEmpty(const QString& text);
    //! The value of a list (the item's data), "" without a selection.
    static QString valueOf(const QComboBox* list);

    DialogUnits m_du;
    QLineEdit* m_sleKundeninfo;

private:
    std::vector<QWidget*> m_described;
};

//! Date picker to today and time picker to now (the program's clock).
void setToNow(QDateEdit* date, QTimeEdit* time);
//! The date of a picker, and its time as "hh:mm:ss".
std::chrono::year_month_day dateOf(const QDateEdit* date);
std::string timeOf(const QTimeEdit* time);

} // namespace widgets
