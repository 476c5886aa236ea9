#pragma once

#include "base/IniFile.h"

#include <QDialog>

#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace settings::gui {

/**
 * The settings window: per company/till the four FinanzOnline login values (participant id, user id, PIN, VAT
 * number), kept in section "Quorvex" of the company's INI file under the entry names "Tid", "Benid", "Pin" and
 * "Uidnr".
 *
 * Opened modally from the main window with exec(). The window works on its own copy of the chosen company's INI
 * file and test flag: choosing another company/till here never changes the program's current INI file
 * (base::program().CurrentIni), its TestFlag or anything else the main window sends with. exec() returns
 * QDialog::Accepted after the values were saved, QDialog::Rejected otherwise. Messages and the unsaved-data question
 * go through base::dialogs(). The close box and Escape act as "Abbruch".
 */
class DtaEinstellungen : public QDialog
{
    Q_OBJECT

public:
    //! Name of the dynamic property that holds a control's description: the INI entry its value is kept under
    //! ("" or missing for controls that hold no value).
    static constexpr const char* DESCRIPTION = "description";

    //! `companyNumber` is the company/till the window opens on (the main window's; the first one when no entry has
    //! that number). `getLoginValues` (may be empty) is called after every successful save, so that the owner
    //! re-reads the login values. Runs PostInit.
    DtaEinstellungen(QWidget* owner, const std::string& companyNumber, std::function<void()> getLoginValues);

    //! Fills the combo from the company/till list and selects the entry of the company number given at creation
    //! (disabled when it is the only one), then loads it: GetIniFile, SetTid, SetCaption.
    void PostInit();
    //! Empties the four fields, opens the selected company's INI file (creating it when missing) and puts each entry
    //! of section "Quorvex" into the field of the same description, whole: a stored value longer than the field's
    //! typing limit is shown as it is and refused by PshOk. Focus on the participant id; the changed flag is
    //! cleared.
    void GetIniFile();
    //! Enables the participant id, or, when the selected entry carries a fixed participant id (IsTid), shows that
    //! id in the field and disables it. Clears the changed flag.
    void SetTid();
    //! The caption by the kind of transmission of the selected entry (its test flag, or the marker file DOTEST).
    void SetCaption();
    //! An edit of a field: sets the changed flag.
    void EditChange();
    //! Checks that no field is empty or blank and that the participant id (when it can be edited) and the VAT number
    //! keep to their typing limits (the first failure shows its message, gets the focus and ends with false), then
    //! writes the fields trimmed into the selected company's INI file as one change. A failed write (a value the
    //! file cannot hold, a full disk, a folder that may not be written …) is shown in German and ends with false;
    //! the window stays open with the values. Otherwise clears the changed flag, calls getLoginValues and closes the
    //! window with Accepted. Returns true when saved.
    [[nodiscard]] bool PshOk();
    //! Closes the window with Rejected; after an edit it first asks whether to save, and "Ja" runs PshOk (the
    //! window stays open when a check fails).
    void PshCancel();
    //! A new selection in the combo. After an edit it asks whether to save: "Ja" runs PshOk (on success the
    //! values go into the previous company's file and the window closes; on a failed check the previous company
    //! stays selected with its edited values), "Nein" discards them. Then the new company is loaded.
    void ListBoxSelect();

    //! True after an edit since the last load or save.
    bool changed() const { return m_changed; }
    //! The selected company's INI file.
    const base::IniFile& iniFile() const { return m_ini; }

    //! Close box and Escape: PshCancel.
    void reject() override;

private:
    //! 1-based number of the selected company/till, 0 when the list is empty.
    int selectedItem() const;
    //! Asks the unsaved-data question; true for "Ja".
    [[nodiscard]] bool askSave() const;

    std::string m_companyNumber;
    std::function<void()> m_getLoginValues;
    base::IniFile m_ini;
    bool m_changed = false;
    //! The combo's index whose company is loaded; a selection that does not load goes back to it.
    int m_loadedIndex = -1;

    QLabel* m_lblFnr;
    QComboBox* m_cmbFnr;
    QGroupBox* m_grpLogin;
    QLabel* m_lblTid;
    QLineEdit* m_sleTid;
    QLabel* m_lblBenid;
    QLineEdit* m_sleBenid;
    QLabel* m_lblPin;
    QLineEdit* m_slePin;
    QLabel* m_lblUidnr;
    QLineEdit* m_sleUidnr;
    QLabel* m_txtCase;
    QPushButton* m_pshOk;
    QPushButton* m_pshCancel;
    //! The controls in tab order, as loading and saving visit them.
    std::vector<QWidget*> m_controls;
};

} // namespace settings::gui
