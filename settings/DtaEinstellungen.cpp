#include "settings/DtaEinstellungen.h"

#include "base/Cp1252.h"
#include "base/Dialogs.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "settings/UpperCaseValidator.h"
#include "widgets/DesktopLook.h"
#include "widgets/DialogUnits.h"
#include "widgets/DtaHilfe.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <array>
#include <utility>

namespace settings::gui {
namespace {

// The section of a company INI file that holds the login values.
constexpr const char* SECTION = "Quorvex";

// Layout in dialog units; the fields' rows are relative to the group box.
constexpr int WIDTH = 236;
constexpr int HEIGHT = 150;
constexpr int GROUP_TOP = 26;
constexpr int ROW_TOP = 14;
constexpr int ROW_STEP = 16;
constexpr int ROW_H = 12;
constexpr int LABEL_LEFT = 8;
constexpr int LABEL_W = 98;
constexpr int EDIT_LEFT = 108;
constexpr int EDIT_W = 104;
constexpr int BUTTON_W = 50;
constexpr int BUTTON_H = 14;
constexpr int BUTTON_TOP = 128;
constexpr int BUTTON_GAP = 10;

constexpr int TID_MAX = 12;
constexpr int UIDNR_MAX = 11;

QString qs(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

// The checks of PshOk, in the order they run: field and the message when it is empty or blank.
struct Check
{
    QLineEdit* field;
    const char* message;
};

// A field's typing limit and what its message calls it.
struct Limit
{
    QLineEdit* field;
    int max;
    const char* name;
};

// Shows a value whole, also when it is longer than what the field lets the user type.
void showWhole(QLineEdit* edit, const QString& text)
{
    edit->setMaxLength(std::max(edit->maxLength(), static_cast<int>(text.size())));
    edit->setText(text);
}

} // namespace

DtaEinstellungen::DtaEinstellungen(QWidget* owner,
                                   const std::string& companyNumber,
                                   std::function<void()> getLoginValues)
    : QDialog(owner)
    , m_companyNumber(companyNumber)
    , m_getLoginValues(std::move(getLoginValues))
    , m_lblFnr(new QLabel(qs("&Firma/Kassa:"), this))
    , m_cmbFnr(new QComboBox(this))
    , m_grpLogin(new QGroupBox(qs("Anmeldedaten FinanzOnline"), this))
    , m_lblTid(new QLabel(qs("&Teilnehmer-Identifikation:"), m_grpLogin))
    , m_sleTid(new QLineEdit(m_grpLogin))
    , m_lblBenid(new QLabel(qs("&Benutzer-Identifikation:"), m_grpLogin))
    , m_sleBenid(new QLineEdit(m_grpLogin))
    , m_lblPin(new QLabel(qs("P&IN:"), m_grpLogin))
    , m_slePin(new QLineEdit(m_grpLogin))
    , m_lblUidnr(new QLabel(qs("&UidNr:"), m_grpLogin))
    , m_sleUidnr(new QLineEdit(m_grpLogin))
    , m_txtCase(new QLabel(qs("Bitte Groß- und Kleinschreibung beachten!"), this))
    , m_pshOk(new QPushButton(qs("&Ok"), this))
    , m_pshCancel(new QPushButton(qs("&Abbruch"), this))
    , m_controls{m_cmbFnr, m_grpLogin, m_sleTid, m_sleBenid, m_slePin, m_sleUidnr, m_txtCase, m_pshOk, m_pshCancel}
{
    setObjectName(qs("dtaEinstellungen"));
    setModal(true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    widgets::installHelpKey(this, "ErsteSchritte.htm#einstellungen");

    m_lblFnr->setObjectName(qs("lblFnr"));
    m_cmbFnr->setObjectName(qs("cmbFnr"));
    m_grpLogin->setObjectName(qs("grpLogin"));
    m_lblTid->setObjectName(qs("lblTid"));
    m_sleTid->setObjectName(qs("sleTid"));
    m_lblBenid->setObjectName(qs("lblBenid"));
    m_sleBenid->setObjectName(qs("sleBenid"));
    m_lblPin->setObjectName(qs("lblPin"));
    m_slePin->setObjectName(qs("slePin"));
    m_lblUidnr->setObjectName(qs("lblUidnr"));
    m_sleUidnr->setObjectName(qs("sleUidnr"));
    m_txtCase->setObjectName(qs("txtCase"));
    m_pshOk->setObjectName(qs("pshOk"));
    m_pshCancel->setObjectName(qs("pshCancel"));

    m_sleTid->setProperty(DESCRIPTION, qs("Tid"));
    m_sleBenid->setProperty(DESCRIPTION, qs("Benid"));
    m_slePin->setProperty(DESCRIPTION, qs("Pin"));
    m_sleUidnr->setProperty(DESCRIPTION, qs("Uidnr"));

    m_sleTid->setMaxLength(TID_MAX);
    m_slePin->setEchoMode(QLineEdit::Password);
    m_sleUidnr->setMaxLength(UIDNR_MAX);
    m_sleUidnr->setValidator(new UpperCaseValidator(m_sleUidnr));

    const widgets::DialogUnits du(font());
    m_lblFnr->setGeometry(du.rect(7, 7, 50, 13));
    m_lblFnr->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_lblFnr->setBuddy(m_cmbFnr);
    m_cmbFnr->setGeometry(du.rect(60, 7, WIDTH - 67, 13));
    m_grpLogin->setGeometry(du.rect(7, GROUP_TOP, WIDTH - 14, ROW_TOP + 4 * ROW_STEP + 2));
    const std::array<std::pair<QLabel*, QLineEdit*>, 4> rows = {
        {{m_lblTid, m_sleTid}, {m_lblBenid, m_sleBenid}, {m_lblPin, m_slePin}, {m_lblUidnr, m_sleUidnr}}};
    int top = ROW_TOP;
    for (const auto& [label, edit] : rows) {
        label->setGeometry(du.rect(LABEL_LEFT, top, LABEL_W, ROW_H));
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label->setBuddy(edit);
        edit->setGeometry(du.rect(EDIT_LEFT, top, EDIT_W, ROW_H));
        top += ROW_STEP;
    }
    m_txtCase->setGeometry(du.rect(7, 112, WIDTH - 14, 10));
    m_txtCase->setAlignment(Qt::AlignCenter);
    const int buttonsLeft = (WIDTH - 2 * BUTTON_W - BUTTON_GAP) / 2;
    m_pshOk->setGeometry(du.rect(buttonsLeft, BUTTON_TOP, BUTTON_W, BUTTON_H));
    m_pshCancel->setGeometry(du.rect(buttonsLeft + BUTTON_W + BUTTON_GAP, BUTTON_TOP, BUTTON_W, BUTTON_H));
    m_pshOk->setDefault(true);
    setFixedSize(du.size(WIDTH, HEIGHT));
    widgets::offerNoMaximise(this);

    for (std::size_t i = 1; i < m_controls.size(); ++i) {
        setTabOrder(m_controls[i - 1], m_controls[i]);
    }

    for (QLineEdit* edit : {m_sleTid, m_sleBenid, m_slePin, m_sleUidnr}) {
        connect(edit, &QLineEdit::textEdited, this, &DtaEinstellungen::EditChange);
    }
    connect(m_pshOk, &QPushButton::clicked, this, &DtaEinstellungen::PshOk);
    connect(m_pshCancel, &QPushButton::clicked, this, &DtaEinstellungen::PshCancel);

    PostInit();
    // Connected only now: filling the combo is not a selection of the user.
    connect(m_cmbFnr, &QComboBox::currentIndexChanged, this, &DtaEinstellungen::ListBoxSelect);
}

void DtaEinstellungen::PostInit()
{
    m_cmbFnr->clear();
    for (const auto& item : base::FillCombo()) {
        m_cmbFnr->addItem(QString::fromStdString(item.text), QString::fromStdString(item.value));
    }
    const int shown = m_cmbFnr->findData(QString::fromStdString(m_companyNumber));
    m_cmbFnr->setCurrentIndex(m_cmbFnr->count() > 0 ? std::max(shown, 0) : -1);
    if (base::program().CompanyList.size() == 1) {
        m_cmbFnr->setEnabled(false);
    }
    GetIniFile();
    SetTid();
    SetCaption();
}

void DtaEinstellungen::GetIniFile()
{
    for (QLineEdit* edit : {m_sleTid, m_sleBenid, m_slePin, m_sleUidnr}) {
        edit->clear();
    }
    m_sleTid->setMaxLength(TID_MAX);
    m_sleUidnr->setMaxLength(UIDNR_MAX);
    m_loadedIndex = m_cmbFnr->currentIndex();
    if (m_loadedIndex >= 0) {
        m_ini = base::CompanyIni(m_cmbFnr->currentData().toString().toStdString());
        std::string problem;
        const auto content = m_ini.Read(problem);
        if (!problem.empty()) {
            base::dialogs().ErrorBox(problem);
        }
        for (const auto& name : content.GetSection(SECTION)) {
            // Entry names match the descriptions without regard to case, as the INI file matches them: an entry
            // the program reads is also the one shown here and overwritten on save.
            for (QWidget* control : m_controls) {
                const auto description = control->property(DESCRIPTION).toString().toStdString();
                if (description.empty() || !base::equalsNoCase(description, name)) {
                    continue;
                }
                if (auto* edit = qobject_cast<QLineEdit*>(control)) {
                    const auto value = base::replaceAll(content.GetString(SECTION, name), "\n", "\r\n");
                    showWhole(edit, QString::fromStdString(value));
                }
                break;
            }
        }
    }
    m_sleTid->setFocus();
    m_changed = false;
}

void DtaEinstellungen::SetTid()
{
    m_sleTid->setEnabled(true);
    const int item = selectedItem();
    if (base::IsTid(item)) {
        const auto& company = base::program().CompanyList[static_cast<std::size_t>(item) - 1];
        showWhole(m_sleTid, QString::fromStdString(company.tid));
        m_sleTid->setEnabled(false);
    }
    m_changed = false;
}

void DtaEinstellungen::SetCaption()
{
    const int item = selectedItem();
    const auto testFlag =
        item > 0 ? base::program().CompanyList[static_cast<std::size_t>(item) - 1].testFlag : std::string();
    const char* kind = base::ArtUebermittlung(testFlag) == "T" ? "(Testübertragung)" : "(Produktivübertragung)";
    setWindowTitle(qs("Vexa-Quorvex: Einstellungen ") + qs(kind));
}

void DtaEinstellungen::EditChange()
{
    m_changed = true;
}

bool DtaEinstellungen::PshOk()
{
    const std::array<Check, 4> checks = {{
        {m_sleTid, "Die Teilnehmer-Identifikation muss eingegeben werden"},
        {m_sleBenid, "Die Benutzer-Identifikation muss eingegeben werden"},
        {m_slePin, "Der Pin Code muss eingegeben werden"},
        {m_sleUidnr, "Die UidNr muss eingegeben werden"},
    }};
    for (const auto& check : checks) {
        // No-break spaces are blanks too: the main window takes a value of white space only for none.
        if (check.field->text().trimmed().isEmpty()) {
            base::dialogs().ErrorBox(check.message);
            check.field->setFocus();
            return false;
        }
    }

    // A stored value longer than the field takes is shown whole; it is not cut behind the user's back.
    const std::array<Limit, 2> limits = {{
        {m_sleTid, TID_MAX, "Die Teilnehmer-Identifikation"},
        {m_sleUidnr, UIDNR_MAX, "Die UidNr"},
    }};
    for (const auto& limit : limits) {
        const auto length = base::utf8Length(base::trim(limit.field->text().toStdString()));
        // A fixed participant id comes from the installation and cannot be changed here.
        if (limit.field->isEnabled() && length > static_cast<std::size_t>(limit.max)) {
            base::dialogs().ErrorBox(std::string(limit.name) + " darf höchstens " + std::to_string(limit.max)
                                     + " Zeichen lang sein; eingetragen sind " + std::to_string(length)
                                     + ". Bitte korrigieren Sie den Wert.");
            limit.field->setFocus();
            return false;
        }
    }

    std::vector<base::IniEntry> values;
    for (QWidget* control : m_controls) {
        const auto description = control->property(DESCRIPTION).toString().toStdString();
        // Only the entry fields hold a value; a disabled participant id is written too.
        if (auto* edit = qobject_cast<QLineEdit*>(control); edit && !description.empty()) {
            values.push_back({SECTION, description, base::trim(edit->text().toStdString())});
        }
    }
    // One change, so a failure leaves the file as it was and a save never keeps some of the four values only.
    const auto saved = m_ini.WriteEntries(values);
    if (!saved) {
        base::dialogs().ErrorBox("Die Anmeldedaten wurden nicht gespeichert.\n" + saved.error);
        for (QWidget* control : m_controls) {
            if (!saved.entry.empty()
                && base::equalsNoCase(control->property(DESCRIPTION).toString().toStdString(), saved.entry)) {
                control->setFocus();
            }
        }
        return false;
    }

    m_changed = false;
    if (m_getLoginValues) {
        m_getLoginValues();
    }
    accept();
    return true;
}

void DtaEinstellungen::PshCancel()
{
    if (m_changed && askSave()) {
        // PshOk acts on both outcomes: saved, it closes the window; not saved, it has shown why and the window stays
        // open with the values. Nothing is left for the cancel to do.
        static_cast<void>(PshOk());
        return;
    }
    QDialog::reject();
}

void DtaEinstellungen::ListBoxSelect()
{
    if (m_cmbFnr->currentIndex() == m_loadedIndex) {
        return;
    }
    if (m_changed && askSave()) {
        if (!PshOk()) {
            // The fields still hold the edited values of the loaded company, and a later save goes into its
            // file: show that company again.
            const QSignalBlocker blocker(m_cmbFnr);
            m_cmbFnr->setCurrentIndex(m_loadedIndex);
        }
        return;
    }
    GetIniFile();
    SetTid();
    SetCaption();
}

void DtaEinstellungen::reject()
{
    PshCancel();
}

int DtaEinstellungen::selectedItem() const
{
    return m_cmbFnr->currentIndex() + 1;
}

bool DtaEinstellungen::askSave() const
{
    return base::dialogs().TextBox(
               "Einstellungen", "Daten noch nicht gespeichert - speichern?", base::MB_YESNO | base::MB_ICONSTOP)
           == base::IDYES;
}

} // namespace settings::gui
