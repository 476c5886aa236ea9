#include "app/gui/DtaMain.h"

#include "app/gui/DlgAbout.h"
#include "app/gui/MnuMain.h"
#include "app/gui/OperationForms.h"
#include "base/Dialogs.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "fonws/StatusAnswer.h"
#include "widgets/DesktopLook.h"
#include "widgets/DialogUnits.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTextEdit>

#include <algorithm>
#include <atomic>
#include <thread>

namespace app::gui {
namespace {

constexpr const char* SEND = "&Daten an FinanzOnline senden";
constexpr const char* SHOW_ANSWER = "&Gesamte Rückmeldung anzeigen";
constexpr const char* RESULT_HEAD = "Ergebnis der Sendung:\r\n";
constexpr const char* CANCEL = "&Abbrechen";
constexpr const char* CONNECTING = "Verbindung zu FinanzOnline …";
constexpr const char* CANCELLING = "Die Sendung wird abgebrochen …";

const std::array<const char*, DtaMain::OPERATIONS> OPERATION_NAMES = {
    "Registrierung Signaturerstellungseinheit",
    "Ausfall Signaturerstellungseinheit",
    "Wiederinbetriebnahme Signaturerstellungseinheit",
    "Außerbetriebnahme Signaturerstellungseinheit",
    "Registrierung Registrierkasse",
    "Ausfall Registrierkasse",
    "Wiederinbetriebnahme Registrierkasse",
    "Außerbetriebnahme Registrierkasse",
    "Belegprüfung",
    "Status Signaturerstellungseinheit abfragen",
    "Status Registrierkasse abfragen",
};

QString german(const char* text)
{
    return QString::fromUtf8(text);
}

} // namespace

DtaMain::DtaMain(QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("dtaMain"));
    auto* area = new QWidget(this);
    setCentralWidget(area);
    const widgets::DialogUnits du(font());

    // The group is 174 units wide; with a wide font the longest operation name needs more, and the right-hand
    // area moves over by as much, so no text is cut.
    m_rbgJob = new QGroupBox(QStringLiteral("F&unktionen"), area);
    m_rbgJob->setObjectName(QStringLiteral("rbgJob"));
    m_buttons = new QButtonGroup(this);
    int widest = 0;
    for (int i = 0; i < OPERATIONS; ++i) {
        auto* button = new QRadioButton(german(OPERATION_NAMES[static_cast<std::size_t>(i)]), m_rbgJob);
        button->setObjectName(QStringLiteral("rdb%1").arg(i + 1));
        widest = std::max(widest, button->sizeHint().width());
        m_buttons->addButton(button, i + 1);
        m_rdb[static_cast<std::size_t>(i)] = button;
    }
    const int groupWidth = std::max(du.x(174), widest + du.x(12));
    const int right = du.x(4) + groupWidth + du.x(3); // left edge of the right-hand area
    // One row of 10 units per operation, the first below the group's title as the style draws it; the send
    // button's bottom lines up with the group's.
    const int firstRow = std::max(du.y(10), m_rbgJob->contentsRect().top() + du.y(2));
    const int groupHeight = firstRow + du.y(OPERATIONS * 10 + 6);
    const int bottom = du.y(16) + groupHeight; // in pixels
    m_rbgJob->setGeometry(du.x(4), du.y(16), groupWidth, groupHeight);
    for (int i = 0; i < OPERATIONS; ++i) {
        m_rdb[static_cast<std::size_t>(i)]->setGeometry(du.x(6), firstRow + du.y(i * 10), widest, du.y(10));
    }
    connect(m_buttons, &QButtonGroup::idClicked, this, [this](int id) { ButtonClick(id); });
    area->setFixedSize(right + du.x(214) + du.x(4), bottom + du.y(3));

    auto* label = new QLabel(QStringLiteral("&Firma/Kassa:"), area);
    label->setGeometry(right, du.y(5), du.x(44), du.y(10));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_cmbFnr = new QComboBox(area);
    m_cmbFnr->setObjectName(QStringLiteral("cmbFnr"));
    m_cmbFnr->setGeometry(right + du.x(46), du.y(4), du.x(168), du.y(12));
    label->setBuddy(m_cmbFnr);
    connect(m_cmbFnr, &QComboBox::activated, this, [this] { ListBoxSelect(); });

    // The forms are made when they are first asked for (form()): the window appears sooner.
    m_formArea = area;
    m_formOrigin = QPoint(right, du.y(18));

    m_sleRet = new QTextEdit(area);
    m_sleRet->setObjectName(QStringLiteral("sleRet"));
    // Read-only rather than disabled: a disabled box greys the result out and makes it hard to read. It takes the
    // focus, so that the result can be scrolled, selected and copied with the keyboard.
    m_sleRet->setReadOnly(true);
    m_sleRet->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_sleRet->setFocusPolicy(Qt::StrongFocus);
    m_sleRet->setGeometry(right, du.y(18), du.x(214), bottom - du.y(15 + 18));

    m_pshOk = new QPushButton(german(SEND), area);
    m_pshOk->setObjectName(QStringLiteral("pshOk"));
    m_pshOk->setGeometry(right + du.x(1), bottom - du.y(15), du.x(213), du.y(12));
    connect(m_pshOk, &QPushButton::clicked, this, [this] { PshOk(); });
    // Esc cancels a sending, as its button does; at any other time the key is left to the window.
    m_escCancels = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    m_escCancels->setContext(Qt::WindowShortcut);
    m_escCancels->setEnabled(false);
    connect(m_escCancels, &QShortcut::activated, this, [this] {
        if (m_okMode == OkMode::SENDING) {
            cancelSending(false);
        }
    });
    const auto open = [this](std::function<void(DtaMain&)> RksvWindows::*window) {
        return [this, window] {
            if (m_rksv.*window) {
                (m_rksv.*window)(*this);
                takeFocusBack();
            }
        };
    };
    MenuActions actions;
    actions.einstellungen = [this] { Einstellungen(); };
    actions.programmende = [this] { Programmende(); };
    actions.statusbelege = open(&RksvWindows::statusbelege);
    actions.depExport = open(&RksvWindows::depExport);
    actions.depPruefen = open(&RksvWindows::depPruefen);
    actions.helpContents = [this] { HelpContents(); };
    actions.ueber = [this] {
        DlgAbout about(this);
        about.Show();
        takeFocusBack();
    };
    setMenuBar(new MnuMain(this, std::move(actions)));
    // The window takes the size of its content, menu bar included.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    m_pshOk->hide();
    SetCaption();
    widgets::offerNoMaximise(this);
}

widgets::MySubDataWindow* DtaMain::form(int n) const
{
    if (n < 1 || n > OPERATIONS) {
        return nullptr;
    }
    auto*& sub = m_sub[static_cast<std::size_t>(n - 1)];
    if (!sub) {
        sub = makeForm(n);
    }
    return sub;
}

widgets::MySubDataWindow* DtaMain::makeForm(int n) const
{
    using Unit = UnitForm::Unit;
    using Kind = UnitForm::Kind;
    QWidget* area = m_formArea;
    widgets::MySubDataWindow* sub = nullptr;
    switch (n) {
    case 1:
        sub = new Sub1(area);
        break;
    case 2:
    case 3:
    case 4:
    case 6:
    case 7:
    case 8: {
        const Kind kinds[] = {Kind::Ausfall, Kind::Wiederinbetriebnahme, Kind::Ausserbetriebnahme};
        sub = new UnitForm(area, n, n < 5 ? Unit::SignatureUnit : Unit::CashRegister, kinds[(n - 2) % 4]);
        break;
    }
    case 5:
        sub = new Sub5(area);
        break;
    case 9:
        sub = new Sub9(area);
        break;
    default:
        sub = new StatusForm(area, n == 10 ? Unit::SignatureUnit : Unit::CashRegister);
        break;
    }
    sub->setObjectName(QStringLiteral("Sub%1").arg(n));
    sub->hide();
    sub->move(m_formOrigin);
    // Under the result box, as if made with the window, and its fields in the tab order between the company and the
    // send button, where they stood when all forms were made at once.
    sub->stackUnder(m_sleRet);
    std::vector<QWidget*> fields;
    for (QWidget* w = sub->nextInFocusChain(); w != sub && sub->isAncestorOf(w); w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus) {
            fields.push_back(w);
        }
    }
    QWidget* previous = m_cmbFnr;
    for (QWidget* field : fields) {
        QWidget::setTabOrder(previous, field);
        previous = field;
    }
    QWidget::setTabOrder(previous, m_pshOk);
    if (m_formSetup) {
        m_formSetup(n, *sub);
    }
    return sub;
}

void DtaMain::setFormSetup(std::function<void(int, widgets::MySubDataWindow&)> setup)
{
    m_formSetup = std::move(setup);
    for (int n = 1; n <= OPERATIONS; ++n) {
        if (auto* made = m_sub[static_cast<std::size_t>(n - 1)]; made && m_formSetup) {
            m_formSetup(n, *made);
        }
    }
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
    std::string problem;
    const auto ini = base::program().CurrentIni.Read(problem);
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
    if (!problem.empty()) {
        base::dialogs().ErrorBox(problem);
    } else if (!complete) {
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
        if (sub) {
            sub->hide();
        }
    }
}

void DtaMain::ButtonClick(int n)
{
    for (auto* made : m_sub) {
        if (made) {
            made->hide();
        }
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
    m_pshOk->setToolTip({});
    m_pshOk->show();
    m_pshOk->setEnabled(true);
    m_sleRet->hide();
}

void DtaMain::ListBoxSelect()
{
    // An open form holds the values remembered for the company before, and the last answer is that company's:
    // both go, and the send button with them, so nothing is sent or shown under the other company's login.
    HideAll();
    m_okMode = OkMode::Unset;
    m_pshOk->hide();
    m_lastAnswer.clear();
    m_sleRet->clear();
    m_sleRet->show();
    GetLoginValues();
    SetCaption();
}

void DtaMain::keyPressEvent(QKeyEvent* event)
{
    // Enter in a shown form sends it, as the default button of a dialog does. A multi-line field keeps its line
    // break (it takes the key itself), and a focused button is pressed rather than the send button.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool formShown =
        std::any_of(m_sub.begin(), m_sub.end(), [](const auto* sub) { return sub && sub->isVisible(); });
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && formShown && m_pshOk->isVisible()
        && m_pshOk->isEnabled()) {
        auto* button = qobject_cast<QPushButton*>(focusWidget());
        (button ? button : m_pshOk)->click();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void DtaMain::PshOk()
{
    if (m_okMode == OkMode::SENDING) {
        cancelSending(false);
        return;
    }
    if (m_okMode == OkMode::SHOW) {
        if (m_lastAnswer.empty()) {
            return; // nothing came back; the button is not offered then
        }
        const auto fileName = fonws::answerFileName();
        if (!fonws::writeAnswerFile(fileName, m_lastAnswer)) {
            base::dialogs().ErrorBox("Die Rückmeldung konnte nicht in " + fileName + " gespeichert werden.");
            return;
        }
        base::dialogs().ShowXml("Gesamte Rückmeldung (" + fileName.substr(fileName.find_last_of('/') + 1) + ")",
                                m_lastAnswer);
        return;
    }
    const int operation = m_buttons->checkedId();
    if (operation < 1 || !form(operation)->PshOk() || !confirmed(operation)) {
        return;
    }
    startSending(operation);
}

bool DtaMain::confirmed(int operation)
{
    // FinanzOnline takes a unit or till out of service for good: a mistake cannot be undone there.
    std::string question;
    if (operation == 4) {
        question =
            "Signaturerstellungseinheit " + static_cast<const UnitForm*>(form(operation))->accZertifikatsseriennummer();
    } else if (operation == 8) {
        question = "Registrierkasse " + static_cast<const UnitForm*>(form(operation))->accKassenidentnummer();
    } else {
        return true;
    }
    const bool yes = base::dialogs().TextBox(OPERATION_NAMES[static_cast<std::size_t>(operation - 1)],
                                             question + " wirklich außer Betrieb nehmen?",
                                             base::MB_YESNO | base::MB_ICONQUESTION | base::MB_DEFBUTTON2)
                     == base::IDYES;
    // The form with the cursor goes right away when the sending starts, before the desktop has given the window
    // back the keyboard the question box had; without this the keys of the rest of the session go nowhere.
    takeFocusBack();
    return yes;
}

// The exchange's thread and its cancel flag. The thread hands its result to the window's thread through a queued
// call; the window waits for the thread before it goes, so the thread never outlives it.
struct DtaMain::Sending
{
    std::atomic<bool> cancel{false};
    std::thread worker;
};

void DtaMain::startSending(int operation)
{
    m_sending = std::make_unique<Sending>();
    m_okMode = OkMode::SENDING;
    // The form goes (its values stay in it) and company and operation stay as sent until the answer is there.
    form(operation)->hide();
    m_rbgJob->setEnabled(false);
    m_cmbFnr->setEnabled(false);
    m_pshOk->setText(german(CANCEL));
    m_escCancels->setEnabled(true);
    m_sleRet->setPlainText(german(CONNECTING));
    m_sleRet->show();
    m_sleRet->raise();

    const fonws::Credentials login{m_tid, m_benid, m_pin, m_uidnr};
    auto record = notification(operation);
    const std::atomic<bool>* cancel = &m_sending->cancel;
    m_sending->worker = std::thread([this, login, record = std::move(record), operation, cancel] {
        auto result = fonws::submit(login, static_cast<fonws::Operation>(operation), record, cancel);
        QMetaObject::invokeMethod(
            this,
            [this, operation, result = std::move(result)] { finishSending(operation, result); },
            Qt::QueuedConnection);
    });
}

void DtaMain::finishSending(int operation, const fonws::SubmissionResult& result)
{
    if (!m_sending) {
        return;
    }
    m_sending->worker.join();
    m_sending.reset();
    m_escCancels->setEnabled(false);
    m_rbgJob->setEnabled(true);
    m_cmbFnr->setEnabled(base::program().CompanyList.size() != 1);
    HideAll();
    m_okMode = OkMode::SHOW;
    m_pshOk->setText(german(SHOW_ANSWER));
    m_sleRet->show();
    const auto message =
        result.cancelled ? std::string("Die Sendung wurde abgebrochen.") : resultText(operation, result);
    std::string text =
        std::string(RESULT_HEAD) + "(" + result.answer.code + ")" + (message.empty() ? "" : " " + message);
    // A fault has no return code of its own: its text stands under the code.
    if (!result.fault.empty()) {
        text += "\r\nFehlermeldung von FinanzOnline:\r\n" + result.fault;
    }
    m_sleRet->setPlainText(QString::fromStdString(text));
    m_lastAnswer = result.answerXml;
    // Without an answer (cancelled, no connection, a refused login) there is nothing to show.
    m_pshOk->setEnabled(!m_lastAnswer.empty());
    m_pshOk->setToolTip(m_lastAnswer.empty() ? german("Von FinanzOnline ist keine Rückmeldung gekommen.") : QString());
}

void DtaMain::cancelSending(bool wait)
{
    if (!m_sending) {
        return;
    }
    m_sending->cancel = true;
    m_pshOk->setEnabled(false);
    m_sleRet->setPlainText(german(CANCELLING));
    if (wait && m_sending->worker.joinable()) {
        m_sending->worker.join();
        m_sending.reset();
        m_escCancels->setEnabled(false);
    }
}

DtaMain::~DtaMain()
{
    cancelSending(true);
}

std::string DtaMain::resultText(int operation, const fonws::SubmissionResult& result) const
{
    const auto kind = static_cast<fonws::Operation>(operation);
    if (kind != fonws::Operation::Status_SE && kind != fonws::Operation::Status_Kasse) {
        return result.answer.message;
    }
    // A refused query (an unknown unit, a refused login) has no result and says why in its message.
    const auto status = result.answer.code == "0" ? fonws::readStatusResult(result.answerXml) : std::nullopt;
    if (!status) {
        return result.answer.message;
    }
    return fonws::describeStatus(kind, static_cast<const StatusForm*>(form(operation))->accUnitNumber(), *status);
}

fonws::Record DtaMain::notification(int operation) const
{
    const auto* sub = form(operation);
    const auto* unit = dynamic_cast<const UnitForm*>(sub);
    const auto info = sub->accKundeninfo();
    switch (operation) {
    case 1: {
        const auto* s = static_cast<const Sub1*>(sub);
        return {info, s->accArt_se(), s->accVda_id(), s->accZertifikatsseriennummer(), std::string()};
    }
    case 2:
    case 6:
        return {info,
                operation == 2 ? unit->accZertifikatsseriennummer() : unit->accKassenidentnummer(),
                unit->accBegruendung(),
                unit->accBeginnDatum(),
                unit->accBeginnZeit()};
    case 3:
    case 7:
        return {info,
                operation == 3 ? unit->accZertifikatsseriennummer() : unit->accKassenidentnummer(),
                unit->accEndeDatum(),
                unit->accEndeZeit()};
    case 4:
    case 8:
        return {info,
                operation == 4 ? unit->accZertifikatsseriennummer() : unit->accKassenidentnummer(),
                unit->accBegruendung()};
    case 5: {
        const auto* s = static_cast<const Sub5*>(sub);
        return {info, s->accKassenidentnummer(), s->accAnmerkung(), s->accBenutzerschluessel()};
    }
    case 9:
        return {info, static_cast<const Sub9*>(sub)->accBeleg()};
    default:
        // A query carries no customer information; its unit's number stands at position 2.
        return {std::string(), static_cast<const StatusForm*>(sub)->accUnitNumber()};
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
        takeFocusBack();
    }
}

void DtaMain::takeFocusBack()
{
    // When a dialog closes right after a question box of its own, the desktop may activate neither (the box has
    // gone, the dialog goes): the main window takes the keyboard back itself.
    if (isVisible() && !QApplication::activeModalWidget()) {
        raise();
        activateWindow();
    }
}

void DtaMain::setRksvWindows(RksvWindows windows)
{
    m_rksv = std::move(windows);
}

void DtaMain::closeEvent(QCloseEvent* event)
{
    cancelSending(true);
    fonws::deleteAnswerFiles();
    QMainWindow::closeEvent(event);
}

} // namespace app::gui
