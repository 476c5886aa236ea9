#include "rksv/gui/DlgStatusbelege.h"

#include "base/Clock.h"
#include "base/Dialogs.h"
#include "base/Files.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "base/TextFormat.h"
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "rksv/ImageFolder.h"
#include "rksv/Rksv.h"
#include "rksv/StatusReceipts.h"
#include "rksv/gui/RtfText.h"
#include "widgets/Aside.h"
#include "widgets/DesktopLook.h"
#include "widgets/DialogUnits.h"
#include "widgets/DtaHilfe.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>

#include <exception>
#include <thread>

namespace rksv::gui {
namespace {

// The limit of receipt numbers that takes in every receipt of a till.
constexpr long ALL_RECEIPTS = 99999999;

struct TypeButton
{
    const char* name;
    const char* caption;
    const char* type;
};
constexpr TypeButton TYPE_BUTTONS[] = {
    {"rdbA", "S&tartbeleg", "A"},
    {"rdbM", "&Monatsbeleg", "M"},
    {"rdbJ", "&Jahresbeleg", "J"},
    {"rdbS", "S&ammelbeleg", "S"},
    {"rdbE", "Sc&hlussbeleg", "E"},
};

// Layout in dialog units: the till on top, the types and buttons on the left, the explanation on the right.
constexpr int WIDTH = 350;
constexpr int HEIGHT = 264;
constexpr int MARGIN = 7;
constexpr int LEFT_WIDTH = 100;
constexpr int TOP = 26;
constexpr int HELP_LEFT = MARGIN + LEFT_WIDTH + 7;

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

// Shows the wait cursor while the rules query the database, and the arrow again however they end.
class WaitCursor
{
public:
    WaitCursor() { base::CursorWait(); }
    ~WaitCursor() { base::CursorArrow(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

} // namespace

std::string StatusbelegHelpDir(const std::string& defaultDir, const std::string& hostProduct)
{
    const std::string folder = "/WINAPPS/";
    const auto needle = base::toUpper(folder + hostProduct + "/");
    const auto at = base::toUpper(defaultDir).find(needle);
    if (at == std::string::npos) {
        return defaultDir;
    }
    return defaultDir.substr(0, at + folder.size()) + "RKSV/";
}

DlgStatusbelege::DlgStatusbelege(QWidget* owner)
    : QDialog(owner)
    , m_cmbKassa(new QComboBox(this))
    , m_rbgTyp(new QGroupBox(QStringLiteral("Belegtyp"), this))
    , m_rtfHelp(new QTextEdit(this))
    , m_slePin(new QLineEdit(this))
    , m_txtErgebnis(new QLabel(this))
    , m_pshOK(new QPushButton(QStringLiteral("Beleg &erstellen"), this))
    , m_pshCancel(new QPushButton(QStringLiteral("A&bbruch"), this))
    , m_pshQrAnzeigen(new QPushButton(QStringLiteral("QR-Code an&zeigen"), this))
    , m_pshQrSpeichern(new QPushButton(QString::fromUtf8("QR-Code &speichern …"), this))
{
    setObjectName(QStringLiteral("dlgStatusbelege"));
    setModal(true);
    const widgets::DialogUnits du(font());
    setFixedSize(du.size(WIDTH, HEIGHT));
    widgets::offerNoMaximise(this);
    widgets::installHelpKey(this, "Statusbelege.htm");

    auto* txtKassa = new QLabel(QStringLiteral("&Kassa:"), this);
    txtKassa->setObjectName(QStringLiteral("txtKassa"));
    txtKassa->setGeometry(du.rect(MARGIN, 9, 26, 9));
    txtKassa->setBuddy(m_cmbKassa);
    m_cmbKassa->setObjectName(QStringLiteral("cmbKassa"));
    m_cmbKassa->setGeometry(du.rect(MARGIN + 28, 7, 150, 13));

    m_rbgTyp->setObjectName(QStringLiteral("rbgTyp"));
    m_rbgTyp->setGeometry(du.rect(MARGIN, TOP, LEFT_WIDTH, 78));
    for (std::size_t i = 0; i < TYPES; ++i) {
        auto* button = new QRadioButton(QString::fromUtf8(TYPE_BUTTONS[i].caption), m_rbgTyp);
        button->setObjectName(QLatin1String(TYPE_BUTTONS[i].name));
        button->setGeometry(du.rect(8, 13 + static_cast<int>(i) * 12, LEFT_WIDTH - 14, 10));
        m_rdb[i] = button;
    }

    // The PIN of the card that signs, asked for each order and never kept.
    auto* txtPin = new QLabel(QStringLiteral("&PIN der Signaturkarte:"), this);
    txtPin->setObjectName(QStringLiteral("txtPin"));
    txtPin->setGeometry(du.rect(MARGIN, TOP + 82, LEFT_WIDTH, 9));
    txtPin->setBuddy(m_slePin);
    m_slePin->setObjectName(QStringLiteral("slePin"));
    m_slePin->setEchoMode(QLineEdit::Password);
    m_slePin->setMaxLength(64);
    m_slePin->setGeometry(du.rect(MARGIN, TOP + 92, LEFT_WIDTH, 12));

    m_pshOK->setObjectName(QStringLiteral("pshOK"));
    m_pshOK->setGeometry(du.rect(MARGIN, TOP + 110, LEFT_WIDTH, 16));
    m_pshOK->setDefault(true);
    m_pshCancel->setObjectName(QStringLiteral("pshCancel"));
    m_pshCancel->setGeometry(du.rect(MARGIN, TOP + 130, LEFT_WIDTH, 16));
    m_pshCancel->setAutoDefault(false);

    // The last signed status receipt: its result text and its QR image.
    m_txtErgebnis->setObjectName(QStringLiteral("txtErgebnis"));
    m_txtErgebnis->setWordWrap(true);
    m_txtErgebnis->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_txtErgebnis->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_txtErgebnis->setGeometry(du.rect(MARGIN, TOP + 150, LEFT_WIDTH, 32));
    m_pshQrAnzeigen->setObjectName(QStringLiteral("pshQrAnzeigen"));
    m_pshQrAnzeigen->setGeometry(du.rect(MARGIN, TOP + 186, LEFT_WIDTH, 16));
    m_pshQrSpeichern->setObjectName(QStringLiteral("pshQrSpeichern"));
    m_pshQrSpeichern->setGeometry(du.rect(MARGIN, TOP + 206, LEFT_WIDTH, 16));
    for (auto* button : {m_pshQrAnzeigen, m_pshQrSpeichern}) {
        button->setAutoDefault(false);
        button->setEnabled(false);
    }

    m_rtfHelp->setObjectName(QStringLiteral("rtfHelp"));
    m_rtfHelp->setReadOnly(true);
    m_rtfHelp->setGeometry(du.rect(HELP_LEFT, TOP, WIDTH - HELP_LEFT - MARGIN, HEIGHT - TOP - MARGIN));

    // The till chosen here is the one the rules examine, for this dialog and the rest of the program.
    connect(m_cmbKassa, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0) {
            base::program().Kassa = m_cmbKassa->itemData(index).toString().toStdString();
        }
    });
    // The buttons' own actions first, then the dialog's handling of every click.
    connect(m_pshOK, &QPushButton::clicked, this, &DlgStatusbelege::PshOK);
    connect(m_pshCancel, &QPushButton::clicked, this, &DlgStatusbelege::PshCancel);
    connect(m_pshQrAnzeigen, &QPushButton::clicked, this, &DlgStatusbelege::PshQrAnzeigen);
    connect(m_pshQrSpeichern, &QPushButton::clicked, this, &DlgStatusbelege::PshQrSpeichern);
    for (auto* button : findChildren<QAbstractButton*>()) {
        connect(button, &QAbstractButton::clicked, this, [this, button] { ButtonClick(button); });
    }
    PostInit();
}

void DlgStatusbelege::PostInit()
{
    setWindowTitle(qs("Vexa-" + base::program().HostProduct + ": RKSV Statusbelege"));
    m_helpDir = StatusbelegHelpDir(base::program().DefaultDir, base::program().HostProduct);
    if (base::findFileNoCase(m_helpDir + "Statusbeleg.rtf")) {
        showHelp("Statusbeleg.rtf");
    }
    fillTills();
}

void DlgStatusbelege::fillTills()
{
    const QSignalBlocker quiet(m_cmbKassa);
    m_cmbKassa->clear();
    const auto& kassa = base::program().Kassa;
    for (const auto& item : base::FillCombo()) {
        m_cmbKassa->addItem(qs(item.text), qs(item.value));
    }
    if (!kassa.empty() && m_cmbKassa->findData(qs(kassa)) < 0) {
        m_cmbKassa->addItem(qs(kassa), qs(kassa));
    }
    m_cmbKassa->setCurrentIndex(m_cmbKassa->findData(qs(kassa)));
}

void DlgStatusbelege::ButtonClick(QAbstractButton* control)
{
    const auto name = control->objectName().toStdString();
    if (base::startsWithNoCase(name, "RDB") && name.size() > 3) {
        showHelp("Statusbeleg" + name.substr(name.size() - 1) + ".rtf");
    }
}

void DlgStatusbelege::showHelp(const std::string& name)
{
    const auto path = base::findFileNoCase(m_helpDir + name);
    const auto content = path ? base::readWholeFile(*path) : std::nullopt;
    if (content) {
        m_rtfHelp->setHtml(qs(rtfToHtml(*content)));
    } else {
        m_rtfHelp->clear();
    }
}

std::string DlgStatusbelege::accTyp() const
{
    for (std::size_t i = 0; i < TYPES; ++i) {
        if (m_rdb[i]->isChecked()) {
            return TYPE_BUTTONS[i].type;
        }
    }
    return {};
}

void DlgStatusbelege::PshOK()
{
    const auto type = accTyp();
    if (type.empty() || m_busy) {
        return;
    }
    const auto name = db::RKSVMyBelegText(type, false);
    const auto kassa = base::program().Kassa;
    // The host product's database is opened when the rules first need it.
    if (const auto why = db::connectProgramDatabase()) {
        base::dialogs().ErrorBox(*why);
        return;
    }
    const WaitCursor wait;
    if (type == "A") {
        if (RKSVMyStartbelegExists(kassa)) {
            base::dialogs().ErrorBox("Ein Startbeleg existiert bereits");
        } else {
            accepted(type, name + " erstellt");
        }
        return;
    }
    if (!RKSVMyStartbelegExists(kassa)) {
        base::dialogs().ErrorBox("Es muss zuerst ein Startbeleg erstellt werden");
        return;
    }
    const auto since = RKSVMyCheckAusfall(kassa, ALL_RECEIPTS);
    if (type == "S") {
        if (since.empty()) {
            base::dialogs().ErrorBox("Sammelbeleg nur nach Ausfall Sicherheitseinrichtung möglich");
        } else {
            accepted(type, name + " erstellt: Ausfall seit " + since);
        }
    } else if (!since.empty()) {
        base::dialogs().ErrorBox("Nach Ausfall Sicherheitseinrichtung muss zuerst ein Sammelbeleg erstellt werden");
    } else {
        accepted(type, name + " erstellt");
    }
}

void DlgStatusbelege::accepted(const std::string& type, const std::string& result)
{
    m_result = result;
    SaveStatusBeleg(type);
}

void DlgStatusbelege::SaveStatusBeleg(const std::string& type)
{
    const auto result = m_result;
    m_result.clear();
    m_txtErgebnis->clear();
    m_jws.clear();
    m_receiptId.clear();
    const auto now = base::now();
    const auto kassa = base::program().Kassa;
    auto pin = m_slePin->text().toStdString();
    // The PIN is not kept beyond the order.
    m_slePin->clear();
    m_txtErgebnis->setText(QString::fromUtf8("Statusbeleg wird signiert …"));
    aside([type, kassa, pin = std::move(pin), now, result]() -> Answer {
        SignResult signedResult;
        RKSV service(nullptr);
        if (!service.accReady()) {
            signedResult.message =
                service.accMsgFirst().empty() ? "Die Signatureinheit ist nicht bereit." : service.accMsgFirst();
        } else {
            signedResult = signStatusReceipt(service, kassa, type, pin, now.date, base::formatTime(now.time));
        }
        service.Close();
        return [result, kassa, signedResult = std::move(signedResult)](DlgStatusbelege& dialog) {
            dialog.showSigned(result, kassa, signedResult);
        };
    });
}

void DlgStatusbelege::showSigned(const std::string& result, const std::string& kassa, const SignResult& signedResult)
{
    m_txtErgebnis->clear();
    if (!signedResult.stored || signedResult.belege.empty()) {
        base::dialogs().ErrorBox(signedResult.message.empty() ? "Der Statusbeleg wurde nicht erstellt."
                                                              : signedResult.message);
        return;
    }
    const auto& beleg = signedResult.belege.back();
    m_result = result;
    m_jws = beleg.jws;
    m_receiptId = beleg.receiptId;
    m_txtErgebnis->setText(qs(m_result + "\nBeleg " + m_receiptId + ", Kassa " + kassa));
    m_pshQrAnzeigen->setEnabled(true);
    m_pshQrSpeichern->setEnabled(true);
}

void DlgStatusbelege::aside(std::function<Answer()> work)
{
    setBusy(true);
    widgets::runAside(
        this,
        std::move(work),
        [](QPointer<DlgStatusbelege> dialog, const Answer& answer) {
            dialog->setBusy(false);
            answer(*dialog);
            // A box the answer showed may have outlived the dialog.
            if (dialog) {
                emit dialog->answered();
            }
            if (dialog && dialog->m_closeWanted) {
                dialog->reject();
            }
        },
        [](DlgStatusbelege& dialog) {
            dialog.setBusy(false);
            dialog.m_txtErgebnis->clear();
            emit dialog.answered();
        });
}

void DlgStatusbelege::setBusy(bool busy)
{
    // The control that had the keyboard gets it back with the answer.
    if (busy) {
        m_focusBefore = focusWidget();
    }
    m_busy = busy;
    for (QWidget* control : std::initializer_list<QWidget*>{m_cmbKassa, m_rbgTyp, m_slePin, m_pshOK, m_pshCancel}) {
        control->setEnabled(!busy);
    }
    m_pshQrAnzeigen->setEnabled(!busy && !m_jws.empty());
    m_pshQrSpeichern->setEnabled(!busy && !m_jws.empty());
    if (busy) {
        setCursor(Qt::BusyCursor);
    } else {
        unsetCursor();
        if (m_focusBefore && m_focusBefore->isEnabled()) {
            m_focusBefore->setFocus();
        }
    }
}

void DlgStatusbelege::saveQrImage(const std::string& file, const std::string& type, bool show)
{
    aside([jws = m_jws, file, type, show]() -> Answer {
        RKSV service(nullptr);
        // The component makes the code as BMP (its QR image) and as PNG (its second image).
        const bool saved =
            service.accReady() && service.JwsToImage(jws) && service.SaveImageToFile(type == "BMP", file, type);
        const auto why = service.accMsgFirst();
        service.Close();
        return [saved, why, file, show](DlgStatusbelege&) {
            if (!saved) {
                base::dialogs().ErrorBox("Der QR-Code wurde nicht gespeichert: " + why);
            } else if (show) {
                base::dialogs().ShellOpen(file);
            }
        };
    });
}

void DlgStatusbelege::PshQrAnzeigen()
{
    if (m_jws.empty() || m_busy) {
        return;
    }
    std::string error;
    const auto folder = qrImageFolder(error);
    if (folder.empty()) {
        base::dialogs().ErrorBox(error);
        return;
    }
    auto file = qrImageFile(folder, base::program().Kassa, m_receiptId);
    file.replace_extension(".PNG");
    saveQrImage(file.string(), "PNG", true);
}

void DlgStatusbelege::PshQrSpeichern()
{
    if (m_jws.empty() || m_busy) {
        return;
    }
    const auto proposal = "QR-" + base::program().Kassa + "-" + m_receiptId + ".png";
    auto chosen =
        base::dialogs().SaveAs("QR-Code speichern", proposal, "PNG-Bild *.png", "*.png", base::program().DefaultDir);
    if (chosen.empty()) {
        return;
    }
    // A name typed without an extension gets the PNG's; one ending in .bmp gets a BMP.
    const bool bitmap = base::toLower(chosen).ends_with(".bmp");
    if (!bitmap && !base::toLower(chosen).ends_with(".png")) {
        chosen += ".png";
    }
    saveQrImage(chosen, bitmap ? "BMP" : "PNG", false);
}

void DlgStatusbelege::PshCancel()
{
    reject();
}

void DlgStatusbelege::reject()
{
    // The worker signs through the program-wide connection: the windows behind may use it only once it is done.
    if (m_busy) {
        m_closeWanted = true;
        return;
    }
    m_closeWanted = false;
    QDialog::reject();
}

} // namespace rksv::gui
