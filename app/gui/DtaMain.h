#pragma once

#include "fonws/Submission.h"

#include <QMainWindow>
#include <QPoint>

#include <array>
#include <functional>
#include <memory>
#include <string>

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QPushButton;
class QRadioButton;
class QShortcut;
class QTextEdit;

namespace widgets {
class MySubDataWindow;
}

namespace app::gui {

class Sub1;
class Sub5;
class Sub9;
class UnitForm;

/**
 * The main window: the company/till, one of the eleven FinanzOnline operations (nine notifications, two status
 * queries) with its form, and the button that sends the form's data (fonws::submit: login, the notification or query,
 * logout) or opens the complete last answer. Closing it
 * deletes the answer files TMP/~*.XML and ends the program.
 */
class DtaMain : public QMainWindow
{
    Q_OBJECT

public:
    //! What the send button does: nothing yet, send the chosen operation, cancel the sending, or open the last
    //! answer.
    enum class OkMode
    {
        Unset,
        FON,
        SENDING,
        SHOW,
    };

    explicit DtaMain(QWidget* parent = nullptr);
    //! Cancels a sending still running and waits for it (at most the logout's short time-outs).
    ~DtaMain() override;

    //! Fills and selects the company combo, reads the login data, sets the caption, hides the send button.
    void PostInit();
    //! Opens the company's INI file and reads the four login values; the operations are enabled only when none of
    //! the four is empty or nothing but white space.
    void GetLoginValues();
    //! Sets TestFlag from the selected company and the caption by the kind of transmission.
    void SetCaption();
    //! Releases the radio buttons and hides the forms.
    void HideAll();
    //! The number of operations in the list.
    static constexpr int OPERATIONS = 11;

    //! Shows the form of operation `n` (1 to OPERATIONS) with the cursor in its first field and arms the send button.
    void ButtonClick(int n);
    //! Switches to the company/till just selected: an open form, the send button and the last answer go.
    void ListBoxSelect();
    /**
     * By OkMode: sends the chosen operation, cancels the running sending, or opens the last answer. The exchange with
     * FinanzOnline runs on a thread of its own; meanwhile the window stays usable, says "Verbindung zu FinanzOnline
     * …", and the button reads "Abbrechen" (Esc does the same). The answer is shown when the exchange ends; the
     * button to show the whole answer is offered only when one came. Taking a signature unit or a till out of
     * service is sent only after the user has confirmed it.
     */
    void PshOk();
    //! True while an exchange with FinanzOnline runs.
    bool sending() const { return m_sending != nullptr; }
    void Programmende();
    void HelpContents();

    //! The selected company/till number.
    std::string accFnr() const;
    OkMode okMode() const { return m_okMode; }
    const std::string& lastAnswer() const { return m_lastAnswer; }
    widgets::MySubDataWindow* form(int n) const;

    //! What the menu's "Einstellungen" opens; set by whoever wires the settings window in.
    void setEinstellungenOpener(std::function<void(DtaMain&)> opener);
    void Einstellungen();

    //! What the menu "RKSV" opens; set by whoever wires the signing subsystem's windows in.
    struct RksvWindows
    {
        std::function<void(DtaMain&)> statusbelege;
        std::function<void(DtaMain&)> depExport;
        std::function<void(DtaMain&)> depPruefen;
    };
    void setRksvWindows(RksvWindows windows);

    //! Called with each operation form when it is made (forms are made when first asked for): whoever wires in what
    //! a form opens (the receipt picker) does it here.
    void setFormSetup(std::function<void(int n, widgets::MySubDataWindow& form)> setup);

protected:
    void closeEvent(QCloseEvent* event) override;
    //! Enter (Return or the keypad's) in a shown form presses the send button.
    void keyPressEvent(QKeyEvent* event) override;

private:
    //! The values of operation `n`'s form, in the order of its notification's elements.
    fonws::Record notification(int operation) const;
    //! What the result box says after "(code) ": the answer's message, or for a status query that FinanzOnline
    //! answered, the state in German.
    std::string resultText(int operation, const fonws::SubmissionResult& result) const;
    //! Makes the form of operation `n`, hidden, in its place.
    widgets::MySubDataWindow* makeForm(int n) const;
    //! Starts the exchange of operation `operation` off the window's thread.
    void startSending(int operation);
    //! Shows what the exchange gave; called on the window's thread when it ends.
    void finishSending(int operation, const fonws::SubmissionResult& result);
    //! Sets the cancel flag of the running exchange and waits for its end when `wait` is true.
    void cancelSending(bool wait);
    //! For the operations FinanzOnline cannot undo (taking a signature unit or a till out of service): asks once,
    //! with "Nein" as the default answer. True when the operation may be sent.
    bool confirmed(int operation);
    //! Activates the window again after a dialog opened from it (the menu's, a question) has closed.
    void takeFocusBack();

    struct Sending;

    QComboBox* m_cmbFnr;
    QGroupBox* m_rbgJob;
    QButtonGroup* m_buttons;
    std::array<QRadioButton*, OPERATIONS> m_rdb{};
    //! Made by form() when first asked for; nullptr until then.
    mutable std::array<widgets::MySubDataWindow*, OPERATIONS> m_sub{};
    QWidget* m_formArea = nullptr;
    QPoint m_formOrigin;
    QTextEdit* m_sleRet;
    QPushButton* m_pshOk;
    //! Esc while sending.
    QShortcut* m_escCancels = nullptr;
    OkMode m_okMode = OkMode::Unset;
    std::string m_tid;
    std::string m_benid;
    std::string m_pin;
    std::string m_uidnr;
    std::string m_lastAnswer;
    std::function<void(DtaMain&)> m_einstellungen;
    RksvWindows m_rksv;
    std::function<void(int, widgets::MySubDataWindow&)> m_formSetup;
    std::unique_ptr<Sending> m_sending;
};

} // namespace app::gui
