#pragma once

#include "widgets/MySubDataWindow.h"

#include <functional>

class QPlainTextEdit;

namespace app::gui {

// The eleven operation forms. Each checks its values in PshOk (error box and focus at the first failing check) and
// hands them to the main window through its acc… properties.

//! Registrierung Signaturerstellungseinheit.
class Sub1 : public widgets::MySubDataWindow
{
    Q_OBJECT
public:
    explicit Sub1(QWidget* parent);
    [[nodiscard]] bool PshOk() override;
    std::string accArt_se() const;
    std::string accVda_id() const;
    std::string accZertifikatsseriennummer() const;

private:
    QComboBox* m_cmbArt_se;
    QComboBox* m_cmbVda_id;
    QLineEdit* m_sleZertifikatsseriennummer;
};

//! Ausfall (2 and 6), Wiederinbetriebnahme (3 and 7) and Außerbetriebnahme (4 and 8) of a signature unit or a cash
//! register: the unit's number, and a reason, a moment or both.
class UnitForm : public widgets::MySubDataWindow
{
    Q_OBJECT
public:
    enum class Unit
    {
        SignatureUnit,
        CashRegister,
    };
    enum class Kind
    {
        Ausfall,
        Wiederinbetriebnahme,
        Ausserbetriebnahme,
    };
    UnitForm(QWidget* parent, int number, Unit unit, Kind kind);

    [[nodiscard]] bool PshOk() override;
    void SetDatumZeit() override;

    std::string accZertifikatsseriennummer() const;
    std::string accKassenidentnummer() const;
    std::string accBegruendung() const;
    std::chrono::year_month_day accBeginnDatum() const;
    std::string accBeginnZeit() const;
    std::chrono::year_month_day accEndeDatum() const;
    std::string accEndeZeit() const;

private:
    Unit m_unit;
    QLineEdit* m_unitNumber;
    QComboBox* m_cmbBegruendung = nullptr;
    QDateEdit* m_date = nullptr;
    QTimeEdit* m_time = nullptr;
};

//! Status abfragen (10 and 11): the state of a signature unit or a cash register at FinanzOnline, asked for by the
//! unit's number alone (a query carries no customer information).
class StatusForm : public widgets::MySubDataWindow
{
    Q_OBJECT
public:
    StatusForm(QWidget* parent, UnitForm::Unit unit);

    [[nodiscard]] bool PshOk() override;
    //! The certificate serial (10) or the cash register's id (11) as entered.
    std::string accUnitNumber() const;

private:
    UnitForm::Unit m_unit;
    QLineEdit* m_unitNumber;
};

//! Registrierung Registrierkasse.
class Sub5 : public widgets::MySubDataWindow
{
    Q_OBJECT
public:
    explicit Sub5(QWidget* parent);
    [[nodiscard]] bool PshOk() override;
    //! The clipboard's text into the user key, unchanged and unchecked.
    void PshPaste();
    //! The till's AES key from the signing service into the user key, or the service's message. The service is
    //! asked on a thread of its own (its signing component may wait for a PKCS#11 module); the button stays off
    //! until it answers, and rksvDone() follows the answer.
    void PshRKSV();
    std::string accKassenidentnummer() const;
    std::string accAnmerkung() const;
    std::string accBenutzerschluessel() const;

signals:
    void rksvDone();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rksvAnswered(bool ready, const std::string& answer);

    bool m_rksvAsked = false;
    QLineEdit* m_sleKassenidentnummer;
    QLineEdit* m_sleAnmerkung;
    QLineEdit* m_sleBenutzerschluessel;
    QPushButton* m_pshPaste;
    QPushButton* m_pshRKSV;
};

//! Belegprüfung.
class Sub9 : public widgets::MySubDataWindow
{
    Q_OBJECT
public:
    explicit Sub9(QWidget* parent);
    [[nodiscard]] bool PshOk() override;
    //! A receipt from the clipboard: taken whole when it begins with "_R1-AT", else refused with a message.
    void PshPaste();
    //! The receipt as entered: typed line breaks count as CR LF, pasted text keeps its own.
    std::string accBeleg() const;
    //! "Beleg auswählen": what picks a receipt from the cash-register database ("" when none was taken over);
    //! wired in by whoever knows the database's windows.
    void setBondruck(std::function<std::string(QWidget* owner)> picker);
    void PshBondruck();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setReceipt(const QString& text);

    QPlainTextEdit* m_sleBeleg;
    QPushButton* m_pshPaste;
    QPushButton* m_pshBondruck;
    QString m_beleg;
    bool m_settingReceipt = false;
    std::function<std::string(QWidget*)> m_bondruck;
};

} // namespace app::gui
