#include "widgets/MySubDataWindow.h"

#include "base/Clock.h"
#include "base/Dialogs.h"
#include "base/Program.h"
#include "base/StringUtil.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimeEdit>
#include <QVariant>

#include <algorithm>

namespace widgets {
namespace {

// Layout of a form, in dialog units.
constexpr int WIDTH = 214;
constexpr int HEIGHT = 84;
constexpr int LABEL_WIDTH = 100;
constexpr int FIELD_LEFT = 102;
constexpr int FIELD_WIDTH = WIDTH - FIELD_LEFT;
constexpr int ROW = 12;
constexpr int FIELD_HEIGHT = 11;

const char* DESCRIPTION = "description";
constexpr const char* REQUIRED_NOTE = "Rot markierte Werte müssen eingegeben werden";

void paintRed(QLabel* label)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(255, 0, 0));
    label->setPalette(palette);
}

} // namespace

MySubDataWindow::MySubDataWindow(QWidget* parent)
    : QWidget(parent)
    , m_du(font())
{
    setFixedSize(m_du.size(WIDTH, HEIGHT));
    auto* note = new QLabel(QString::fromUtf8(REQUIRED_NOTE), this);
    note->setObjectName(QStringLiteral("txtRequired"));
    note->setAlignment(Qt::AlignCenter);
    note->setGeometry(m_du.rect(0, HEIGHT - 10, WIDTH, 10));
    paintRed(note);
    m_sleKundeninfo = addEdit(0, QStringLiteral("&Kundeninfo:"), "sleKundeninfo", QStringLiteral("Kundeninfo"), false);
}

QLabel* MySubDataWindow::addLabel(int row, const QString& text, bool required)
{
    auto* label = new QLabel(text, this);
    label->setGeometry(m_du.rect(0, row * ROW + 1, LABEL_WIDTH, FIELD_HEIGHT));
    if (required) {
        paintRed(label);
    }
    return label;
}

void MySubDataWindow::describe(QWidget* control, const QString& description)
{
    control->setProperty(DESCRIPTION, description);
    m_described.push_back(control);
}

void MySubDataWindow::withoutKundeninfo()
{
    for (auto* label : findChildren<QLabel*>()) {
        if (label->buddy() == m_sleKundeninfo) {
            label->hide();
        }
    }
    m_sleKundeninfo->clear();
    m_sleKundeninfo->hide();
    m_sleKundeninfo->setEnabled(false);
    std::erase(m_described, m_sleKundeninfo);
}

QLineEdit* MySubDataWindow::addEdit(
    int row, const QString& label, const char* name, const QString& description, bool required, bool upperCase)
{
    auto* text = addLabel(row, label, required);
    auto* edit = new QLineEdit(this);
    text->setBuddy(edit);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(m_du.rect(FIELD_LEFT, row * ROW, FIELD_WIDTH, FIELD_HEIGHT));
    if (upperCase) {
        connect(edit, &QLineEdit::textEdited, edit, [edit](const QString& text) {
            const QString upper = text.toUpper();
            if (upper != text) {
                const int cursor = edit->cursorPosition();
                edit->setText(upper);
                edit->setCursorPosition(cursor);
            }
        });
    }
    describe(edit, description);
    return edit;
}

QComboBox* MySubDataWindow::addCombo(int row,
                                     const QString& label,
                                     const char* name,
                                     const QString& description,
                                     const std::vector<std::pair<QString, QString>>& items)
{
    auto* caption = addLabel(row, label, true);
    auto* list = new QComboBox(this);
    caption->setBuddy(list);
    list->setObjectName(QLatin1String(name));
    list->setGeometry(m_du.rect(FIELD_LEFT, row * ROW, FIELD_WIDTH, FIELD_HEIGHT));
    for (const auto& [text, value] : items) {
        list->addItem(text, value);
    }
    // Long reasons do not fit the field: the opened list is as wide as its longest item (text, the item's margins
    // and a scroll bar's width to spare), and the field's tip shows the whole choice.
    int widest = 0;
    for (const auto& item : items) {
        widest = std::max(widest, list->view()->fontMetrics().horizontalAdvance(item.first));
    }
    const int spare = list->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + m_du.x(8);
    list->view()->setMinimumWidth(std::max(list->view()->sizeHintForColumn(0), widest) + spare);
    connect(list, &QComboBox::currentTextChanged, list, [list](const QString& text) { list->setToolTip(text); });
    list->setToolTip(list->currentText());
    describe(list, description);
    return list;
}

std::pair<QDateEdit*, QTimeEdit*> MySubDataWindow::addDateTime(int row,
                                                               const QString& label,
                                                               const char* dateName,
                                                               const QString& dateDescription,
                                                               const char* timeName,
                                                               const QString& timeDescription)
{
    auto* text = addLabel(row, label, true);
    auto* date = new QDateEdit(this);
    text->setBuddy(date);
    date->setObjectName(QLatin1String(dateName));
    date->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    date->setCalendarPopup(true);
    date->setGeometry(m_du.rect(FIELD_LEFT, row * ROW, 60, FIELD_HEIGHT));
    auto* time = new QTimeEdit(this);
    time->setObjectName(QLatin1String(timeName));
    time->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    time->setGeometry(m_du.rect(FIELD_LEFT + 64, row * ROW, FIELD_WIDTH - 64, FIELD_HEIGHT));
    describe(date, dateDescription);
    describe(time, timeDescription);
    return {date, time};
}

QPushButton* MySubDataWindow::addButton(int left, int top, int width, const QString& text, const char* name)
{
    auto* button = new QPushButton(text, this);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(m_du.rect(left, top, width, FIELD_HEIGHT + 1));
    button->setAutoDefault(false);
    return button;
}

QString MySubDataWindow::descriptionOf(const QWidget* control)
{
    return control->property(DESCRIPTION).toString();
}

QString MySubDataWindow::textOf(const QWidget* control)
{
    if (const auto* edit = qobject_cast<const QLineEdit*>(control)) {
        return edit->text();
    }
    if (const auto* list = qobject_cast<const QComboBox*>(control)) {
        return list->currentText();
    }
    if (const auto* dateTime = qobject_cast<const QDateTimeEdit*>(control)) {
        return dateTime->text();
    }
    if (const auto* text = qobject_cast<const QPlainTextEdit*>(control)) {
        return text->toPlainText();
    }
    return {};
}

void MySubDataWindow::setTextOf(QWidget* control, const QString& text)
{
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        edit->setText(text);
    } else if (auto* list = qobject_cast<QComboBox*>(control)) {
        const int index = list->findText(text);
        if (index >= 0) {
            list->setCurrentIndex(index);
        }
    } else if (auto* dateTime = qobject_cast<QDateTimeEdit*>(control)) {
        const auto value = QDateTime::fromString(text, dateTime->displayFormat());
        if (value.isValid()) {
            dateTime->setDateTime(value);
        }
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(control)) {
        plain->setPlainText(text);
    }
}

void MySubDataWindow::GetIniFile()
{
    const auto content = base::program().CurrentIni.Read();
    for (const auto& name : content.GetSection("Funktionen")) {
        const auto value = QString::fromStdString(content.GetString("Funktionen", name));
        const auto description = QString::fromStdString(name);
        for (auto* control : m_described) {
            if (descriptionOf(control) == description) {
                if (!name.starts_with("Beleg")) {
                    setTextOf(control, value);
                }
                break;
            }
        }
    }
}

void MySubDataWindow::focusFirstField()
{
    for (auto* control : m_described) {
        if (control->isEnabled() && control->focusPolicy() != Qt::NoFocus) {
            control->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

bool MySubDataWindow::PshOk()
{
    std::vector<base::IniEntry> values;
    for (const auto* control : m_described) {
        const auto description = descriptionOf(control).toStdString();
        if (description.empty() || (description == "Beleg" && !base::IsVexa())) {
            continue;
        }
        values.push_back({"Funktionen", description, base::trim(textOf(control).toStdString())});
    }
    const auto saved = base::program().CurrentIni.WriteEntries(values);
    if (saved) {
        return true;
    }
    if (!saved.entry.empty()) {
        // Remembered, the value would come back changed: the user replaces the character before anything is sent.
        for (auto* control : m_described) {
            if (descriptionOf(control).toStdString() == saved.entry) {
                return fail(control, saved.error.c_str());
            }
        }
    }
    // Remembering the values is a help for the next time; the notification itself may still be due.
    base::dialogs().ErrorBox("Die Eingaben konnten nicht für das nächste Mal gespeichert werden; sie werden trotzdem "
                             "gesendet.\n"
                             + saved.error);
    return true;
}

std::string MySubDataWindow::accKundeninfo() const
{
    return m_sleKundeninfo->text().toStdString();
}

bool MySubDataWindow::fail(QWidget* field, const char* message)
{
    base::dialogs().ErrorBox(message);
    field->setFocus();
    return false;
}

bool MySubDataWindow::isEmpty(const QString& text)
{
    return text.trimmed().isEmpty() && base::isBlank(text.toStdString());
}

QString MySubDataWindow::valueOf(const QComboBox* list)
{
    return list->currentIndex() < 0 ? QString() : list->currentData().toString();
}

void setToNow(QDateEdit* date, QTimeEdit* time)
{
    const auto now = base::now();
    date->setDate(QDate(static_cast<int>(now.date.year()),
                        static_cast<int>(static_cast<unsigned>(now.date.month())),
                        static_cast<int>(static_cast<unsigned>(now.date.day()))));
    time->setTime(QTime(static_cast<int>(now.time.hours().count()),
                        static_cast<int>(now.time.minutes().count()),
                        static_cast<int>(now.time.seconds().count())));
}

std::chrono::year_month_day dateOf(const QDateEdit* date)
{
    const QDate d = date->date();
    return std::chrono::year{d.year()} / std::chrono::month{static_cast<unsigned>(d.month())}
           / std::chrono::day{static_cast<unsigned>(d.day())};
}

std::string timeOf(const QTimeEdit* time)
{
    return time->time().toString(QStringLiteral("HH:mm:ss")).toStdString();
}

} // namespace widgets
