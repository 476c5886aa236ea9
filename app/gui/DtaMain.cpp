#include "app/gui/DtaMain.h"

#include "app/gui/DlgAbout.h"
#include "app/gui/MnuMain.h"
#include "app/gui/OperationForms.h"
#include "base/Clock.h"
#include "base/Dialogs.h"
#include "base/Files.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "fonws/WebRegKasseAT.h"
#include "widgets/DialogUnits.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace app::gui {
namespace {

constexpr const char* SEND = "Daten an FinanzOnline senden";
constexpr const char* SHOW_ANSWER = "Gesamte Rückmeldung anzeigen";
constexpr const char* RESULT_HEAD = "Ergebnis der Sendung:\r\n";

const std::array<const char*, 9> OPERATIONS = {
    "Registrierung Signaturerstellungseinheit",
    "Ausfall Signaturerstellungseinheit",
    "Wiederinbetriebnahme Signaturerstellungseinheit",
    "Außerbetriebnahme Signaturerstellungseinheit",
    "Registrierung Registrierkasse",
    "Ausfall Registrierkasse",
    "Wiederinbetriebnahme Registrierkasse",
    "Außerbetriebnahme Registrierkasse",
    "Belegprüfung",
};

QString german(const char* text)
{
    return QString::fromUtf8(text);
}

} // namespace

std::string answerFileName()
{
    const auto now = base::now();
    char name[32];
    std::snprintf(name,
                  sizeof name,
                  "~%04d%02u%02u%02d%02d%02d.XML",
                  static_cast<int>(now.date.year()),
                  static_cast<unsigned>(now.date.month()),
                  static_cast<unsigned>(now.date.day()),
                  static_cast<int>(now.time.hours().count()),
                  static_cast<int>(now.time.minutes().count()),
                  static_cast<int>(now.time.seconds().count()));
    return base::currentDirectory() + "TMP/" + name;
}

void deleteAnswerFiles()
{
    const auto folder = base::currentDirectory() + "TMP/";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) {
        return;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.size() > 5 && name[0] == '~' && base::equalsNoCase(name.substr(name.size() - 4), ".XML")) {
            ::unlink((folder + name).c_str());
        }
    }
}

DtaMain::DtaMain(QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("dtaMain"));
    auto* area = new QWidget(this);
    setCentralWidget(area);
    const widgets::DialogUnits du(font());

    // The group is 174 units wide; with a wide font the longest operation name needs more, and the right-hand
    // area moves over by as much, so no text is cut.
    m_rbgJob = new QGroupBox(QStringLiteral("Funktionen"), area);
    m_rbgJob->setObjectName(QStringLiteral("rbgJob"));
    m_buttons = new QButtonGroup(this);
    int widest = 0;
    for (int i = 0; i < 9; ++i) {
        auto* button = new QRadioButton(german(OPERATIONS[static_cast<std::size_t>(i)]), m_rbgJob);
        button->setObjectName(QStringLiteral("rdb%1").arg(i + 1));
        widest = std::max(widest, button->sizeHint().width());
        m_buttons->addButton(button, i + 1);
        m_rdb[static_cast<std::size_t>(i)] = button;
    }
    const int groupWidth = std::max(du.x(174), widest + du.x(12));
    const int right = du.x(4) + groupWidth + du.x(3); // left edge of the right-hand area
    m_rbgJob->setGeometry(du.x(4), du.y(16), groupWidth, du.y(106));
    for (int i = 0; i < 9; ++i) {
        m_rdb[static_cast<std::size_t>(i)]->setGeometry(du.x(6), du.y(10 + i * 10), widest, du.y(10));
    }
    connect(m_buttons, &QButtonGroup::idClicked, this, [this](int id) { ButtonClick(id); });
    area->setFixedSize(right + du.x(214) + du.x(4), du.y(125));

    auto* label = new QLabel(QStringLiteral("Firma/Kassa:"), area);
    label->setGeometry(right, du.y(5), du.x(44), du.y(10));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_cmbFnr = new QComboBox(area);
    m_cmbFnr->setObjectName(QStringLiteral("cmbFnr"));
    m_cmbFnr->setGeometry(right + du.x(46), du.y(4), du.x(168), du.y(12));
    connect(m_cmbFnr, &QComboBox::activated, this, [this] { ListBoxSelect(); });

    using Unit = UnitForm::Unit;
    using Kind = UnitForm::Kind;
    m_sub = {new Sub1(area),
             new UnitForm(area, 2, Unit::SignatureUnit, Kind::Ausfall),
             new UnitForm(area, 3, Unit::SignatureUnit, Kind::Wiederinbetriebnahme),
             new UnitForm(area, 4, Unit::SignatureUnit, Kind::Ausserbetriebnahme),
             new Sub5(area),
             new UnitForm(area, 6, Unit::CashRegister, Kind::Ausfall),
             new UnitForm(area, 7, Unit::CashRegister, Kind::Wiederinbetriebnahme),
             new UnitForm(area, 8, Unit::CashRegister, Kind::Ausserbetriebnahme),
             new Sub9(area)};
    for (std::size_t i = 0; i < m_sub.size(); ++i) {
        m_sub[i]->setObjectName(QStringLiteral("Sub%1").arg(i + 1));
        m_sub[i]->move(right, du.y(18));
        m_sub[i]->hide();
    }

    m_sleRet = new QTextEdit(area);
    m_sleRet->setObjectName(QStringLiteral("sleRet"));
    // Read-only rather than disabled: a disabled box greys the result out and makes it hard to read.
    m_sleRet->setReadOnly(true);
    m_sleRet->setFocusPolicy(Qt::NoFocus);
    m_sleRet->setGeometry(right, du.y(18), du.x(214), du.y(85));

    m_pshOk = new QPushButton(german(SEND), area);
    m_pshOk->setObjectName(QStringLiteral("pshOk"));
    m_pshOk->setGeometry(right + du.x(1), du.y(107), du.x(213), du.y(12));
    connect(m_pshOk, &QPushButton::clicked, this, [this] { PshOk(); });
    setMenuBar(new MnuMain(this,
                           {[this] { Einstellungen(); },
                            [this] { Programmende(); },
                            [this] { HelpContents(); },
                            [this] {
                                DlgAbout about(this);
                                about.Show();
                            }}));
    // The window takes the size of its content, menu bar included.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    m_pshOk->hide();
    SetCaption();
}

widgets::MySubDataWindow* DtaMain::form(int n) const
{
    return n >= 1 && n <= 9 ? m_sub[static_cast<std::size_t>(n - 1)] : nullptr;
}

std::string DtaMain::accFnr() const
{
    return m_cmbFnr->currentData().toString().toStdString();
}

void DtaMain::PostInit()
{
    m_cmbFnr->clear();
    for (const auto& item : base::FillCombo()) {
        m_cmbFnr->addItem(QString::fromStdString(item.text), QString::fromStdString(item.value));
    }
    m_cmbFnr->setCurrentIndex(0);
    const auto& list = base::program().CompanyList;
    base::program().TestFlag = list.empty() ? std::string() : list.front().testFlag;
    m_cmbFnr->setEnabled(list.size() != 1);
    HideAll();
    GetLoginValues();
    SetCaption();
    m_pshOk->hide();
}

void DtaMain::GetLoginValues()
{
    base::IniOpen(accFnr());
    const auto ini = base::program().CurrentIni.Read();
    const int item = m_cmbFnr->currentIndex() + 1;
    const auto& list = base::program().CompanyList;
    m_tid =
        base::trim(base::IsTid(item) ? list[static_cast<std::size_t>(item - 1)].tid : ini.GetString("Quorvex", "Tid"));
    m_benid = ini.GetString("Quorvex", "Benid");
    m_pin = ini.GetString("Quorvex", "Pin");
    m_uidnr = ini.GetString("Quorvex", "Uidnr");
    // Used as stored, but a value of nothing but white space (blanks, no-break spaces …) is as good as none.
    const auto given = [](const std::string& value) { return !QString::fromStdString(value).trimmed().isEmpty(); };
    const bool complete = given(m_tid) && given(m_benid) && given(m_pin) && given(m_uidnr);
    for (auto* button : m_rdb) {
        button->setEnabled(complete);
    }
    if (!complete) {
        base::dialogs().InfoBox("FON WebClient",
                                "Es müssen zuerst die Login-Daten unter Basisdaten/Einstellungen eingegeben werden");
    }
}

void DtaMain::SetCaption()
{
    const auto& list = base::program().CompanyList;
    const auto selected = static_cast<std::size_t>(std::max(0, m_cmbFnr->currentIndex()));
    if (selected < list.size()) {
        base::program().TestFlag = list[selected].testFlag;
    }
    const char* kind = base::ArtUebermittlung() == "T" ? "(Testübertragung)" : "(Produktivübertragung)";
    setWindowTitle(german("Vexa-Quorvex: FON WebClient ") + german(kind));
}

void DtaMain::HideAll()
{
    // An exclusive group keeps one button checked; release them all with the group opened up for a moment.
    m_buttons->setExclusive(false);
    for (auto* button : m_rdb) {
        button->setChecked(false);
    }
    m_buttons->setExclusive(true);
    for (auto* sub : m_sub) {
        sub->hide();
    }
}

void DtaMain::ButtonClick(int n)
{
    for (auto* sub : m_sub) {
        sub->hide();
    }
    auto* sub = form(n);
    if (!sub) {
        return;
    }
    // Remembered values first, then the current moment over remembered dates and times.
    sub->GetIniFile();
    sub->SetDatumZeit();
    sub->show();
    sub->focusFirstField();
    m_okMode = OkMode::FON;
    m_pshOk->setText(german(SEND));
    m_pshOk->show();
    m_pshOk->setEnabled(true);
    m_sleRet->hide();
}

void DtaMain::ListBoxSelect()
{
    HideAll();
    GetLoginValues();
    SetCaption();
}

void DtaMain::PshOk()
{
    const auto fileName = answerFileName();
    if (m_okMode == OkMode::SHOW) {
        ::mkdir((base::currentDirectory() + "TMP").c_str(), 0755);
        std::ofstream(fileName, std::ios::binary | std::ios::trunc) << m_lastAnswer;
        base::dialogs().ShellOpen(fileName);
        return;
    }
    const int operation = m_buttons->checkedId();
    if (operation < 1 || !form(operation)->PshOk()) {
        return;
    }
    base::CursorWait();
    m_pshOk->setEnabled(false);
    send(operation);
    base::CursorArrow();
    m_pshOk->setEnabled(true);
}

void DtaMain::send(int operation)
{
    fonws::WebRegKasseAT client(m_tid, m_benid, m_pin, m_uidnr);
    auto answer = client.Login();
    const bool loggedIn = answer.code == "0";
    if (loggedIn) {
        const auto* sub = form(operation);
        const auto* unit = dynamic_cast<const UnitForm*>(sub);
        const auto info = sub->accKundeninfo();
        switch (operation) {
        case 1: {
            const auto* s = static_cast<const Sub1*>(sub);
            answer = client.Registrierung_SE(
                {{info, s->accArt_se(), s->accVda_id(), s->accZertifikatsseriennummer(), std::string()}});
            break;
        }
        case 2:
            answer = client.Ausfall_SE({{info,
                                         unit->accZertifikatsseriennummer(),
                                         unit->accBegruendung(),
                                         unit->accBeginnDatum(),
                                         unit->accBeginnZeit()}});
            break;
        case 3:
            answer = client.Wiederinbetriebnahme_SE(
                {{info, unit->accZertifikatsseriennummer(), unit->accEndeDatum(), unit->accEndeZeit()}});
            break;
        case 4:
            answer = client.Ausserbetriebnahme_SE({{info, unit->accZertifikatsseriennummer(), unit->accBegruendung()}});
            break;
        case 5: {
            const auto* s = static_cast<const Sub5*>(sub);
            answer = client.Registrierung_Kasse(
                {{info, s->accKassenidentnummer(), s->accAnmerkung(), s->accBenutzerschluessel()}});
            break;
        }
        case 6:
            answer = client.Ausfall_Kasse({{info,
                                            unit->accKassenidentnummer(),
                                            unit->accBegruendung(),
                                            unit->accBeginnDatum(),
                                            unit->accBeginnZeit()}});
            break;
        case 7:
            answer = client.Wiederinbetriebnahme_Kasse(
                {{info, unit->accKassenidentnummer(), unit->accEndeDatum(), unit->accEndeZeit()}});
            break;
        case 8:
            answer = client.Ausserbetriebnahme_Kasse({{info, unit->accKassenidentnummer(), unit->accBegruendung()}});
            break;
        default:
            answer = client.Belegpruefung({{info, static_cast<const Sub9*>(sub)->accBeleg()}});
            break;
        }
        if (answer.code == "0") {
            answer.message = "Aufruf OK";
        }
    }
    HideAll();
    m_okMode = OkMode::SHOW;
    m_pshOk->setText(german(SHOW_ANSWER));
    m_sleRet->show();
    m_sleRet->setPlainText(
        QString::fromStdString(std::string(RESULT_HEAD) + "(" + answer.code + ") " + answer.message));
    // After a refused login no request was made: the kept answer is empty, and there is no session to end.
    m_lastAnswer = client.accXml();
    if (loggedIn) {
        client.Logout();
    }
}

void DtaMain::Programmende()
{
    close();
}

void DtaMain::HelpContents()
{
    base::dialogs().ShowHelp(base::program().DefaultDir + "Quorvex.CHM", "HelpContents");
}

void DtaMain::setEinstellungenOpener(std::function<void(DtaMain&)> opener)
{
    m_einstellungen = std::move(opener);
}

void DtaMain::Einstellungen()
{
    if (m_einstellungen) {
        m_einstellungen(*this);
    }
}

void DtaMain::closeEvent(QCloseEvent* event)
{
    deleteAnswerFiles();
    QMainWindow::closeEvent(event);
}

} // namespace app::gui
