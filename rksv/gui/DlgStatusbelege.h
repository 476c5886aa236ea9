#pragma once

#include <QDialog>

#include <array>
#include <string>

class QAbstractButton;
class QComboBox;
class QGroupBox;
class QRadioButton;
class QTextEdit;

namespace rksv::gui {

/**
 * The help folder of the status receipts: an installation below "/WINAPPS/<PRODUCT>/" (case ignored, product
 * upper-cased) keeps them in the shared folder "/WINAPPS/RKSV/" beside it; any other installation in its default
 * directory. `defaultDir` is absolute and ends with "/"; so does the result.
 */
std::string StatusbelegHelpDir(const std::string& defaultDir, const std::string& hostProduct);

/**
 * "RKSV Statusbelege": the operator orders one of the five status receipts (start, month, year, collective after a
 * failure of the security device, closing) for the current till, base::program().Kassa. The till combo lists the
 * companies/tills of the installation and sets the current till when another one is chosen. "Beleg erstellen"
 * checks the order rules against the till's receipts on the program-wide connection and shows the refusal in an
 * error box; an accepted request is kept as the result text and handed to SaveStatusBeleg. The dialog stays open
 * until "Abbruch". Each type shows its explanation from the help folder (StatusbelegA.rtf …), the dialog opens with
 * the overview Statusbeleg.rtf. Database failures throw base::PlatformError to the top level.
 */
class DlgStatusbelege : public QDialog
{
    Q_OBJECT

public:
    explicit DlgStatusbelege(QWidget* owner);

    //! A click on any button of the dialog: a type button shows the help file of its type, or empties the help
    //! box when that file is missing.
    void ButtonClick(QAbstractButton* control);
    //! "Beleg erstellen": applies the rules to the chosen type; nothing happens while no type is chosen.
    void PshOK();
    //! "Abbruch": closes the dialog.
    void PshCancel();
    //! Called with the type letter once the rules accepted a request; the result text is accResult(). Has no
    //! effect here.
    virtual void SaveStatusBeleg(const std::string& type);

    //! The result text of the last accepted request ("Startbeleg erstellt", "Sammelbeleg erstellt: Ausfall seit
    //! 03.02.2026 10:15:00"); "" before the first.
    const std::string& accResult() const { return m_result; }
    //! The folder the help files are read from.
    const std::string& accHelpDir() const { return m_helpDir; }
    //! The letter of the chosen type ("A", "M", "J", "S", "E"); "" while none is chosen.
    std::string accTyp() const;

private:
    void PostInit();
    void fillTills();
    //! Shows the help file `name` of the help folder; an empty box when it is missing.
    void showHelp(const std::string& name);
    void accepted(const std::string& type, const std::string& result);

    static constexpr std::size_t TYPES = 5;
    QComboBox* m_cmbKassa;
    QGroupBox* m_rbgTyp;
    std::array<QRadioButton*, TYPES> m_rdb{};
    QTextEdit* m_rtfHelp;
    std::string m_helpDir;
    std::string m_result;
};

} // namespace rksv::gui
