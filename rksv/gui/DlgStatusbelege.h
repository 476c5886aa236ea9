#pragma once

#include <QDialog>
#include <QPointer>

#include <array>
#include <functional>
#include <string>

class QAbstractButton;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTextEdit;

namespace rksv {
struct SignResult;
}

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
 * opens the program-wide connection when it is not open, checks the order rules against the till's receipts and shows
 * the refusal in an error box; an accepted request is kept as the result text and handed to SaveStatusBeleg, which
 * signs and stores the status receipt with the card in the readers and the PIN entered, shows the result text and
 * offers the receipt's QR image to show (and print from the viewer) or save. The dialog stays open until "Abbruch".
 * Each type shows its explanation from the help folder (StatusbelegA.rtf …), the dialog opens with the overview
 * Statusbeleg.rtf. Database failures throw base::PlatformError to the top level.
 *
 * The signing service opens the signing component, and with it a PKCS#11 module that may take up to its time limit to
 * answer: signing and the QR images run on a thread of their own, and the window goes on meanwhile (accBusy()). Its
 * controls stay off until the answer is shown, so nothing else uses the program-wide connection the worker signs
 * through; a request to close it ("Abbruch", Escape, the window's close button) closes it once the answer is shown.
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
    //! Closes the dialog; while a worker runs, once its answer is shown.
    void reject() override;
    //! Called with the type letter once the rules accepted a request: signs and stores the status receipt for the
    //! till (signStatusReceipt) on a worker and then shows accResult(); a refusal shows its message in an error box
    //! and stores nothing. answered() follows either.
    virtual void SaveStatusBeleg(const std::string& type);
    //! "QR-Code anzeigen": the last signed receipt's QR image in the desktop's image viewer.
    void PshQrAnzeigen();
    //! "QR-Code speichern …": the last signed receipt's QR image saved as PNG (or BMP) where the user chooses.
    void PshQrSpeichern();

    //! The result text of the last accepted request ("Startbeleg erstellt", "Sammelbeleg erstellt: Ausfall seit
    //! 03.02.2026 10:15:00"); "" before the first.
    const std::string& accResult() const { return m_result; }
    //! The folder the help files are read from.
    const std::string& accHelpDir() const { return m_helpDir; }
    //! The letter of the chosen type ("A", "M", "J", "S", "E"); "" while none is chosen.
    std::string accTyp() const;
    //! The compact JWS and id of the status receipt the dialog signed last; "" before the first.
    const std::string& accJws() const { return m_jws; }
    const std::string& accReceiptId() const { return m_receiptId; }
    //! True while a worker asks the signing service; the dialog's controls are off meanwhile.
    bool accBusy() const { return m_busy; }

signals:
    //! A worker's answer has been shown: the signed receipt or the refusal, the QR image shown or saved.
    void answered();

private:
    //! What a worker hands back, shown on the window's thread.
    using Answer = std::function<void(DlgStatusbelege&)>;
    //! Runs `work` on a thread of its own with the controls off and the busy cursor; its answer follows on the
    //! window's thread while the dialog exists. An exception of the work is thrown again on the window's thread.
    void aside(std::function<Answer()> work);
    void setBusy(bool busy);
    void showSigned(const std::string& result, const std::string& kassa, const SignResult& signedResult);
    void PostInit();
    void fillTills();
    //! Shows the help file `name` of the help folder; an empty box when it is missing.
    void showHelp(const std::string& name);
    void accepted(const std::string& type, const std::string& result);
    //! Writes the last receipt's QR image on a worker; then opens it in the image viewer when `show`, or shows an
    //! error box when it cannot be written.
    void saveQrImage(const std::string& file, const std::string& type, bool show);

    static constexpr std::size_t TYPES = 5;
    QComboBox* m_cmbKassa;
    QGroupBox* m_rbgTyp;
    std::array<QRadioButton*, TYPES> m_rdb{};
    QTextEdit* m_rtfHelp;
    QLineEdit* m_slePin;
    QLabel* m_txtErgebnis;
    QPushButton* m_pshOK;
    QPushButton* m_pshCancel;
    QPushButton* m_pshQrAnzeigen;
    QPushButton* m_pshQrSpeichern;
    std::string m_helpDir;
    std::string m_result;
    std::string m_jws;
    std::string m_receiptId;
    bool m_busy = false;
    bool m_closeWanted = false;
    QPointer<QWidget> m_focusBefore;
};

} // namespace rksv::gui
