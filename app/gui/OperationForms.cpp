#include "app/gui/OperationForms.h"

#include "base/Dialogs.h"
#include "base/Program.h"
#include "rksv/Rksv.h"
#include "widgets/Aside.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextOption>
#include <QTimeEdit>

#include <thread>

namespace app::gui {
namespace {

QString german(const char* text)
{
    return QString::fromUtf8(text);
}

std::string text(const QLineEdit* edit)
{
    return edit->text().toStdString();
}

constexpr const char* SERIAL_LABEL = "&Zertifikatsseriennr (hex):";
constexpr const char* SERIAL_MISSING = "Die Zertifikatsseriennummer muss eingegeben werden";
constexpr const char* TILL_LABEL = "Kassen&identifikationsnummer:";
constexpr const char* TILL_MISSING = "Die Kassenidentifikationsnummer muss eingegeben werden";
constexpr const char* REASON_MISSING = "Die Begründung muss ausgewählt werden";

std::vector<std::pair<QString, QString>> reasonsOf(int form)
{
    switch (form) {
    case 2:
        return {{german("Diebstahl oder sonstiger Verlust"), QStringLiteral("1")},
                {german("Signaturerstellung unmöglich oder fehlerhaft"), QStringLiteral("2")},
                {german("Sonstiger Grund"), QStringLiteral("99")}};
    case 6:
        return {{german("Diebstahl oder sonstiger Verlust"), QStringLiteral("1")},
                {german("Erfassung Geschäftsfälle oder Belegerstellung nicht korrekt möglich"), QStringLiteral("5")},
                {german("Sonstiger Grund"), QStringLiteral("99")}};
    default:
        return {{german("Planmäßige Außerbetriebnahme"), QStringLiteral("6")},
                {german("Außerbetriebnahme aufgrund eines irreparablen Ausfalls"), QStringLiteral("7")}};
    }
}

} // namespace

Sub1::Sub1(QWidget* parent)
    : widgets::MySubDataWindow(parent)
{
    m_cmbArt_se = addCombo(1,
                           german("&Art Signatureinheit:"),
                           "cmbArt_se",
                           QStringLiteral("Art_se"),
                           {{QStringLiteral("SIGNATURKARTE"), QStringLiteral("SIGNATURKARTE")},
                            {QStringLiteral("EIGENES_HSM"), QStringLiteral("EIGENES_HSM")},
                            {QStringLiteral("HSM_DIENSTLEISTER"), QStringLiteral("HSM_DIENSTLEISTER")}});
    m_cmbVda_id = addCombo(2,
                           german("ID &Vertrauensdiensteanbieter:"),
                           "cmbVda_id",
                           QStringLiteral("Vda_id"),
                           {{QStringLiteral("A-Trust"), QStringLiteral("AT1")},
                            {QStringLiteral("GlobalTrust"), QStringLiteral("AT2")},
                            {QStringLiteral("PrimeSign"), QStringLiteral("AT3")}});
    m_sleZertifikatsseriennummer = addEdit(
        3, german(SERIAL_LABEL), "sleZertifikatsseriennummer", QStringLiteral("Zertifikatsseriennummer"), true, true);
    m_cmbArt_se->setCurrentIndex(0);
    m_cmbVda_id->setCurrentIndex(1);
    if (base::IsVexa()) {
        m_cmbArt_se->setEnabled(false);
        m_cmbVda_id->setEnabled(false);
    }
}

bool Sub1::PshOk()
{
    if (isEmpty(m_sleZertifikatsseriennummer->text())) {
        return fail(m_sleZertifikatsseriennummer,
                    base::IsVexa() ? SERIAL_MISSING
                                   : "Entweder Zertifikat oder Zertifikatsseriennummer müssen eingegeben werden");
    }
    return widgets::MySubDataWindow::PshOk();
}

std::string Sub1::accArt_se() const
{
    return valueOf(m_cmbArt_se).toStdString();
}

std::string Sub1::accVda_id() const
{
    return valueOf(m_cmbVda_id).toStdString();
}

std::string Sub1::accZertifikatsseriennummer() const
{
    return text(m_sleZertifikatsseriennummer);
}

UnitForm::UnitForm(QWidget* parent, int number, Unit unit, Kind kind)
    : widgets::MySubDataWindow(parent)
    , m_unit(unit)
{
    const QString n = QString::number(number);
    const QByteArray listName = QString(QStringLiteral("cmbBegruendung") + n).toLatin1();
    m_unitNumber =
        unit == Unit::SignatureUnit
            ? addEdit(1,
                      german(SERIAL_LABEL),
                      "sleZertifikatsseriennummer",
                      QStringLiteral("Zertifikatsseriennummer"),
                      true,
                      true)
            : addEdit(1, german(TILL_LABEL), "sleKassenidentnummer", QStringLiteral("Kassenidentnummer"), true, true);
    if (kind != Kind::Wiederinbetriebnahme) {
        m_cmbBegruendung = addCombo(2,
                                    german("B&egründung:"),
                                    listName.constData(),
                                    QString(german("Begründung") + n),
                                    reasonsOf(kind == Kind::Ausfall ? number : 4));
        m_cmbBegruendung->setCurrentIndex(0);
        // The reasons are long: the list takes the row below its label over the form's whole width.
        m_cmbBegruendung->setGeometry(m_du.rect(0, 36, 214, 11));
    }
    if (kind == Kind::Ausfall) {
        std::tie(m_date, m_time) = addDateTime(4,
                                               QStringLiteral("Beginn &Ausfall:"),
                                               "sleBeginnDatum",
                                               QStringLiteral("Beginn Datum"),
                                               "sleBeginnZeit",
                                               QStringLiteral("Beginn Zeit"));
    } else if (kind == Kind::Wiederinbetriebnahme) {
        std::tie(m_date, m_time) = addDateTime(2,
                                               QStringLiteral("&Ende Ausfall:"),
                                               "sleEndeDatum",
                                               QStringLiteral("Ende Datum"),
                                               "sleEndeZeit",
                                               QStringLiteral("Ende Zeit"));
    }
    if (m_date) {
        SetDatumZeit();
    }
}

bool UnitForm::PshOk()
{
    if (isEmpty(m_unitNumber->text())) {
        return fail(m_unitNumber, m_unit == Unit::SignatureUnit ? SERIAL_MISSING : TILL_MISSING);
    }
    if (m_cmbBegruendung && valueOf(m_cmbBegruendung).isEmpty()) {
        return fail(m_cmbBegruendung, REASON_MISSING);
    }
    return widgets::MySubDataWindow::PshOk();
}

void UnitForm::SetDatumZeit()
{
    if (m_date) {
        widgets::setToNow(m_date, m_time);
    }
}

std::string UnitForm::accZertifikatsseriennummer() const
{
    return text(m_unitNumber);
}

std::string UnitForm::accKassenidentnummer() const
{
    return text(m_unitNumber);
}

std::string UnitForm::accBegruendung() const
{
    return m_cmbBegruendung ? valueOf(m_cmbBegruendung).toStdString() : std::string();
}

std::chrono::year_month_day UnitForm::accBeginnDatum() const
{
    return widgets::dateOf(m_date);
}

std::string UnitForm::accBeginnZeit() const
{
    return widgets::timeOf(m_time);
}

std::chrono::year_month_day UnitForm::accEndeDatum() const
{
    return widgets::dateOf(m_date);
}

std::string UnitForm::accEndeZeit() const
{
    return widgets::timeOf(m_time);
}

StatusForm::StatusForm(QWidget* parent, UnitForm::Unit unit)
    : widgets::MySubDataWindow(parent)
    , m_unit(unit)
{
    withoutKundeninfo();
    // The same field as in the registration forms (1 and 5), remembered under the same name.
    m_unitNumber =
        unit == UnitForm::Unit::SignatureUnit
            ? addEdit(0,
                      german(SERIAL_LABEL),
                      "sleZertifikatsseriennummer",
                      QStringLiteral("Zertifikatsseriennummer"),
                      true,
                      true)
            : addEdit(0, german(TILL_LABEL), "sleKassenidentnummer", QStringLiteral("Kassenidentnummer"), true);
}

bool StatusForm::PshOk()
{
    if (isEmpty(m_unitNumber->text())) {
        return fail(m_unitNumber, m_unit == UnitForm::Unit::SignatureUnit ? SERIAL_MISSING : TILL_MISSING);
    }
    return widgets::MySubDataWindow::PshOk();
}

std::string StatusForm::accUnitNumber() const
{
    return text(m_unitNumber);
}

Sub5::Sub5(QWidget* parent)
    : widgets::MySubDataWindow(parent)
{
    m_sleKassenidentnummer =
        addEdit(1, german(TILL_LABEL), "sleKassenidentnummer", QStringLiteral("Kassenidentnummer"), true);
    m_sleAnmerkung = addEdit(2, QStringLiteral("A&nmerkung:"), "sleAnmerkung", QStringLiteral("Anmerkung"), false);
    m_sleBenutzerschluessel =
        addEdit(3, german("Benu&tzerschlüssel:"), "sleBenutzerschluessel", german("Benutzerschlüssel"), true);
    m_sleBenutzerschluessel->setReadOnly(base::IsVexa());
    // The key (44 characters) gets a row of its own over the form's whole width, so it is readable whole.
    m_sleBenutzerschluessel->setGeometry(m_du.rect(0, 48, 214, 11));
    m_pshPaste = addButton(56, 60, 78, german("Aus Ablage &einfügen"), "pshPaste");
    m_pshRKSV = addButton(136, 60, 78, german("Aus RKS&V einfügen"), "pshRKSV");
    m_pshRKSV->setVisible(base::IsVexaProject());
    connect(m_pshPaste, &QPushButton::clicked, this, &Sub5::PshPaste);
    connect(m_pshRKSV, &QPushButton::clicked, this, &Sub5::PshRKSV);
    for (auto* edit : {m_sleKundeninfo, m_sleKassenidentnummer, m_sleAnmerkung, m_sleBenutzerschluessel}) {
        edit->installEventFilter(this);
    }
}

bool Sub5::eventFilter(QObject* watched, QEvent* event)
{
    // The paste button serves the key field only; leaving the field for the button keeps it enabled.
    if (event->type() == QEvent::FocusIn) {
        m_pshPaste->setEnabled(watched == m_sleBenutzerschluessel);
    }
    return widgets::MySubDataWindow::eventFilter(watched, event);
}

void Sub5::PshPaste()
{
    m_sleBenutzerschluessel->setText(QString::fromStdString(base::dialogs().ClipboardText()));
}

void Sub5::PshRKSV()
{
    if (m_rksvAsked) {
        return;
    }
    // The signing service opens the signing component, and with it a PKCS#11 module, which may take up to its time
    // limit to answer: it is asked on a thread of its own, and the window goes on meanwhile.
    m_rksvAsked = true;
    m_pshRKSV->setEnabled(false);
    setCursor(Qt::BusyCursor);
    widgets::runAside(
        this,
        [] {
            rksv::RKSV service(nullptr);
            const bool ready = service.accReady() && !service.accAes256().empty();
            auto answer = std::make_pair(ready, ready ? service.accAes256() : service.accMsgFirst());
            service.Close();
            return answer;
        },
        [](QPointer<Sub5> form, const std::pair<bool, std::string>& answer) {
            form->rksvAnswered(answer.first, answer.second);
        });
}

void Sub5::rksvAnswered(bool ready, const std::string& answer)
{
    m_rksvAsked = false;
    unsetCursor();
    m_pshRKSV->setEnabled(true);
    if (ready) {
        m_sleBenutzerschluessel->setText(QString::fromStdString(answer));
    } else {
        // Some refusals leave no message (a company number that is not four characters); say at least that.
        base::dialogs().ErrorBox(
            answer.empty() ? "Die Signatureinheit ist nicht bereit: Firmennummer und Produkt der Installation prüfen."
                           : answer);
    }
    emit rksvDone();
}

bool Sub5::PshOk()
{
    if (isEmpty(m_sleKassenidentnummer->text())) {
        return fail(m_sleKassenidentnummer, TILL_MISSING);
    }
    if (isEmpty(m_sleBenutzerschluessel->text())) {
        return fail(m_sleBenutzerschluessel, "Der Benutzerschluessel muss eingegeben werden");
    }
    if (m_sleBenutzerschluessel->text().size() != 44) {
        return fail(m_sleBenutzerschluessel, "Der Benutzerschluessel muss 44 Zeichen lang sein");
    }
    return widgets::MySubDataWindow::PshOk();
}

std::string Sub5::accKassenidentnummer() const
{
    return text(m_sleKassenidentnummer);
}

std::string Sub5::accAnmerkung() const
{
    return text(m_sleAnmerkung);
}

std::string Sub5::accBenutzerschluessel() const
{
    return text(m_sleBenutzerschluessel);
}

Sub9::Sub9(QWidget* parent)
    : widgets::MySubDataWindow(parent)
{
    auto* label = addLabel(1, QStringLiteral("Be&leg:"), true);
    m_sleBeleg = new QPlainTextEdit(this);
    label->setBuddy(m_sleBeleg);
    label->resize(m_du.x(26), label->height()); // the field starts beside the short label
    m_sleBeleg->setObjectName(QStringLiteral("sleBeleg"));
    m_sleBeleg->setGeometry(m_du.rect(28, 12, 186, 46)); // the buttons keep clear of the note below
    m_sleBeleg->setReadOnly(base::IsVexa());
    m_sleBeleg->setWordWrapMode(QTextOption::WrapAnywhere); // a receipt is one long word
    // A receipt holds no tab; Tab moves on to the next control, as in every other field.
    m_sleBeleg->setTabChangesFocus(true);

    describe(m_sleBeleg, QStringLiteral("Beleg"));
    m_pshPaste = addButton(28, 60, 92, german("Beleg aus Ablage &einfügen"), "pshPaste");
    m_pshBondruck = addButton(122, 60, 92, german("Beleg aus&wählen"), "pshBondruck");
    m_pshBondruck->setVisible(base::IsVexaProject());
    connect(m_pshPaste, &QPushButton::clicked, this, &Sub9::PshPaste);
    connect(m_pshBondruck, &QPushButton::clicked, this, &Sub9::PshBondruck);
    connect(m_sleBeleg, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_settingReceipt) {
            // Typed in the field: a line break there is the platform's CR LF.
            m_beleg = m_sleBeleg->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        }
    });
    m_sleKundeninfo->installEventFilter(this);
    m_sleBeleg->installEventFilter(this);
}

bool Sub9::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusIn) {
        m_pshPaste->setEnabled(watched == m_sleBeleg);
    }
    return widgets::MySubDataWindow::eventFilter(watched, event);
}

void Sub9::setReceipt(const QString& text)
{
    m_settingReceipt = true;
    m_sleBeleg->setPlainText(text);
    m_settingReceipt = false;
    m_beleg = text;
}

void Sub9::PshPaste()
{
    const auto clipboard = QString::fromStdString(base::dialogs().ClipboardText());
    if (!clipboard.startsWith(QStringLiteral("_R1-AT"))) {
        base::dialogs().ErrorBox("Kein gültiger JWS-String in der Zwischenablage");
        return;
    }
    setReceipt(clipboard);
}

void Sub9::setBondruck(std::function<std::string(QWidget* owner)> picker)
{
    m_bondruck = std::move(picker);
}

void Sub9::PshBondruck()
{
    if (!m_bondruck) {
        return;
    }
    const auto receipt = m_bondruck(this);
    if (!receipt.empty()) {
        setReceipt(QString::fromStdString(receipt));
    }
}

bool Sub9::PshOk()
{
    if (isEmpty(m_beleg)) {
        return fail(m_sleBeleg, "Der Beleg muss eingegeben werden");
    }
    if (m_beleg.contains(QStringLiteral("\r\n"))) {
        return fail(m_sleBeleg, "Der Beleg darf keinen Zeilenumbruch enthalten");
    }
    return widgets::MySubDataWindow::PshOk();
}

std::string Sub9::accBeleg() const
{
    return m_beleg.toStdString();
}

} // namespace app::gui
