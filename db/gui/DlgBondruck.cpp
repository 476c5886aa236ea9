#include "db/gui/DlgBondruck.h"

#include "base/Clock.h"
#include "base/Dialogs.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "base/TextFormat.h"
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "widgets/Aside.h"
#include "widgets/DesktopLook.h"
#include "widgets/DialogUnits.h"
#include "widgets/DtaHilfe.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <exception>
#include <map>
#include <thread>

namespace db::gui {
namespace {

enum ListColumn
{
    ZEIT,
    KASSA,
    BONNR,
    KUNDE,
    WERT,
};

constexpr const char* AMOUNTS[] = {"RKSV_NORMAL", "RKSV_ERM1", "RKSV_ERM2", "RKSV_SONDER", "RKSV_NULL"};
//! The columns as wide as their widest text; the customer's takes the rest.
constexpr int FITTED[] = {ZEIT, KASSA, BONNR, WERT};

QString qs(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

/**
 * The receipts of a day read by one ordered query, row by row as the driver delivers them: the index on the order's
 * columns serves it without a sort, and nothing is read twice. Values as the table cursor gives them (SQL NULL as the
 * blank of the column's type).
 */
class DayRows
{
public:
    DayRows(Connection& connection, const std::string& sql, const std::vector<Text>& parameters)
        : m_statement(connection)
    {
        m_statement.execute(sql, parameters);
        m_columns = m_statement.columns();
        for (std::size_t i = 0; i < m_columns.size(); ++i) {
            m_index[base::toUpper(m_columns[i].name)] = i;
        }
    }
    bool next()
    {
        if (!m_statement.fetch()) {
            return false;
        }
        m_values.clear();
        for (std::size_t i = 0; i < m_columns.size(); ++i) {
            m_values.push_back(m_statement.get(static_cast<int>(i)));
        }
        return true;
    }
    bool has(const std::string& column) const { return m_index.contains(column); }
    std::string FieldGet(const std::string& column) const
    {
        const auto found = m_index.find(column);
        if (found == m_index.end()) {
            return {};
        }
        const auto& value = m_values[found->second];
        return value ? *value : (isNumericType(m_columns[found->second].type) ? "0" : "");
    }

private:
    Statement m_statement;
    std::vector<Column> m_columns;
    std::map<std::string, std::size_t> m_index;
    std::vector<Text> m_values;
};

namespace {

// The rows added to the list between two looks at the window: a page the list takes at once.
constexpr int PAGE_ROWS = 256;

// The receipt's total: the five amounts by VAT rate that the table has, empty or NULL counting 0.
double totalOf(const DayRows& bons)
{
    double total = 0;
    for (const char* column : AMOUNTS) {
        if (bons.has(column)) {
            const auto text = base::trim(bons.FieldGet(column));
            double value = 0;
            std::from_chars(text.data(), text.data() + text.size(), value); // empty or NULL: 0
            total += value;
        }
    }
    return total;
}

std::string padLeft(const std::string& text, std::size_t width)
{
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

//! The characters of a cell that are not blanks: of two texts of digits and separators the one with more is wider.
std::size_t visibleLength(const std::string& text)
{
    return text.size() - static_cast<std::size_t>(std::count(text.begin(), text.end(), ' '));
}

} // namespace

DlgBondruck::DlgBondruck(QWidget* owner, JwsConverter converter)
    : QDialog(owner)
    , m_converter(std::move(converter))
    , m_lvwData(new QTreeWidget(this))
    , m_sleDatum(new QLineEdit(this))
    , m_pshToday(new QPushButton(this))
{
    setObjectName(QStringLiteral("dlgBondruck"));
    setWindowTitle(QStringLiteral("Vexa-Quorvex: Belegauswahl"));
    widgets::installHelpKey(this, "Meldungen.htm#beleg");
    const widgets::DialogUnits du(font());
    setFixedSize(du.size(328, 228));
    widgets::offerNoMaximise(this);

    m_lvwData->setObjectName(QStringLiteral("lvwData"));
    m_lvwData->setGeometry(du.rect(4, 4, 320, 196));
    m_lvwData->setRootIsDecorated(false);
    m_lvwData->setSelectionMode(QAbstractItemView::SingleSelection);
    m_lvwData->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_lvwData->setAllColumnsShowFocus(true);
    m_lvwData->setUniformRowHeights(true);
    // A right-aligned number would touch the text of the column beside it: every cell keeps a margin.
    m_lvwData->setStyleSheet(QStringLiteral("QTreeView::item { padding-left: 3px; padding-right: 3px; }"));

    const auto button = [&](const char* name, const QString& text, const QString& tip, QRect geometry) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        b->setToolTip(tip);
        b->setGeometry(geometry);
        b->setAutoDefault(false);
        return b;
    };
    auto* ablage = button("pshAblage",
                          QString::fromUtf8("Beleg &übernehmen"),
                          QString::fromUtf8("Beleg übernehmen"),
                          du.rect(4, 204, 68, 20));
    auto* down = button("pshDown", QStringLiteral("-"), QStringLiteral("1 Tag zurück"), du.rect(74, 206, 14, 14));
    m_sleDatum->setObjectName(QStringLiteral("sleDatum"));
    m_sleDatum->setMaxLength(10);
    m_sleDatum->setGeometry(du.rect(90, 207, 48, 12));
    auto* ok = button("pshOk", QStringLiteral("..."), QStringLiteral("Datum anzeigen"), du.rect(140, 206, 16, 14));
    auto* up = button("pshUp", QStringLiteral("+"), QStringLiteral("1 Tag weiter"), du.rect(158, 206, 14, 14));
    m_pshToday->setObjectName(QStringLiteral("pshToday"));
    m_pshToday->setToolTip(QStringLiteral("Heute"));
    m_pshToday->setGeometry(du.rect(178, 206, 76, 14));
    m_pshToday->setAutoDefault(false);
    auto* cancel =
        button("pshCancel", QStringLiteral("&Abbruch"), QStringLiteral("Abbruch"), du.rect(264, 204, 60, 20));

    connect(ablage, &QPushButton::clicked, this, &DlgBondruck::PshAblage);
    connect(down, &QPushButton::clicked, this, &DlgBondruck::PshDown);
    connect(ok, &QPushButton::clicked, this, &DlgBondruck::PshOk);
    connect(up, &QPushButton::clicked, this, &DlgBondruck::PshUp);
    connect(m_pshToday, &QPushButton::clicked, this, &DlgBondruck::PshToday);
    connect(cancel, &QPushButton::clicked, this, &DlgBondruck::PshCancel);
    connect(m_sleDatum, &QLineEdit::returnPressed, this, &DlgBondruck::PshOk);
    connect(m_lvwData, &QTreeWidget::itemDoubleClicked, this, &DlgBondruck::PshAblage);
    // Enter in the list takes the receipt, as a double click does (both Enter keys, the keypad's too).
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return),
                                    QKeySequence(Qt::Key_Enter),
                                    QKeySequence(Qt::KeypadModifier | Qt::Key_Enter)}) {
        auto* take = new QShortcut(key, m_lvwData, nullptr, nullptr, Qt::WidgetShortcut);
        connect(take, &QShortcut::activated, this, &DlgBondruck::PshAblage);
    }
    PostInit();
}

void DlgBondruck::PostInit()
{
    const auto today = base::now().date;
    m_pshToday->setText(qs("&Heute " + base::formatDate(today)));
    m_sleDatum->setText(qs(base::formatDate(today)));
    m_result.clear();
    m_lvwData->setHeaderLabels({QStringLiteral("Zeit"),
                                QStringLiteral("Ka"),
                                QStringLiteral("Bonnr"),
                                QStringLiteral("Kunde"),
                                QStringLiteral("Summe")});
    auto* header = m_lvwData->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(KUNDE, QHeaderView::Stretch);
    fitColumns();
    m_lvwData->headerItem()->setTextAlignment(BONNR, Qt::AlignRight | Qt::AlignVCenter);
    m_lvwData->headerItem()->setTextAlignment(WERT, Qt::AlignRight | Qt::AlignVCenter);
}

void DlgBondruck::Setup(const std::string& till)
{
    m_till = till;
    ListBons();
}

std::optional<std::chrono::year_month_day> DlgBondruck::shownDate() const
{
    return base::parseDate(m_sleDatum->text().toStdString());
}

void DlgBondruck::showDay(std::chrono::year_month_day day)
{
    m_sleDatum->setText(qs(base::formatDate(day)));
    ListBons();
}

void DlgBondruck::ListBons()
{
    if (m_listing) {
        // Called while the running listing let the window work: that listing ends at its next row, then this one runs
        // on the day shown by then.
        m_relist = true;
        return;
    }
    m_listing = true;
    m_stop = false;
    const struct Ended
    {
        bool& listing;
        ~Ended() { listing = false; }
    } ended{m_listing};
    do {
        m_relist = false;
        m_lvwData->clear();
        m_widestRow.fill(-1);
        m_widestLength.fill(0);
        const auto day = shownDate();
        if (!day) {
            return;
        }
        const auto product = base::toUpper(base::program().HostProduct);
        if (product.starts_with("PLUMOXA")) {
            ListBonsPLUMOXA(*day);
        } else if (product.starts_with("DRAVELIN")) {
            ListBonsDRAVELIN(*day);
        } else {
            ListBonsMySql(*day);
        }
    } while (m_relist && !m_stop);
    if (m_lvwData->topLevelItemCount() > 0) {
        m_lvwData->setCurrentItem(m_lvwData->topLevelItem(0));
    }
    fitColumns();
}

void DlgBondruck::fitColumns()
{
    // Only the widest row of a column is measured, as resizeColumnToContents would measure it: measuring every row
    // with the list's style sheet took longer than reading them.
    const int gap = widgets::DialogUnits(font()).x(6);
    auto* model = m_lvwData->model();
    for (const int column : FITTED) {
        int width = m_lvwData->header()->sectionSizeHint(column);
        const int row = m_widestRow[static_cast<std::size_t>(column)];
        if (row >= 0 && row < m_lvwData->topLevelItemCount()) {
            width = std::max(width, m_lvwData->sizeHintForIndex(model->index(row, column)).width());
        }
        m_lvwData->setColumnWidth(column, width + gap);
    }
}

bool DlgBondruck::addRow(const DayRows& bons, const std::function<std::string()>& customerOf)
{
    // A status receipt shows its kind; any other receipt the listing's customer text.
    const auto type = base::trim(bons.FieldGet("RKSV_TYP"));
    std::array<std::string, 5> texts;
    texts[ZEIT] = bons.FieldGet("ZEIT");
    texts[KASSA] = bons.FieldGet("KASSA");
    texts[BONNR] = padLeft(base::trim(bons.FieldGet("BONNR")), 8);
    texts[KUNDE] = type.empty() ? customerOf() : RKSVMyBelegText(type);
    texts[WERT] = padLeft(base::formatAmount(totalOf(bons)), 9);
    auto* item = new QTreeWidgetItem;
    const int row = m_lvwData->topLevelItemCount() + static_cast<int>(m_page.size());
    for (std::size_t column = 0; column < texts.size(); ++column) {
        item->setText(static_cast<int>(column), qs(texts[column]));
    }
    for (const int column : FITTED) {
        const auto at = static_cast<std::size_t>(column);
        if (const auto length = visibleLength(texts[at]); m_widestRow[at] < 0 || length > m_widestLength[at]) {
            m_widestRow[at] = row;
            m_widestLength[at] = length;
        }
    }
    item->setTextAlignment(BONNR, Qt::AlignRight | Qt::AlignVCenter);
    item->setTextAlignment(WERT, Qt::AlignRight | Qt::AlignVCenter);
    item->setData(0, Qt::UserRole, qs(bons.FieldGet("RKSV_JWS")));
    // Rows follow the query's order, so the day reads from top to bottom in that order; they go to the list a page
    // at a time, and the window works between pages.
    m_page.append(item);
    // The first row shows at once, the others a page at a time.
    if (m_page.size() < PAGE_ROWS && m_lvwData->topLevelItemCount() > 0) {
        return true;
    }
    flushPage();
    base::dialogs().ProcessEvents();
    return !m_relist && !m_stop;
}

void DlgBondruck::flushPage()
{
    m_lvwData->addTopLevelItems(m_page);
    m_page.clear();
}

void DlgBondruck::listDay(const std::string& condition,
                          const std::vector<Text>& parameters,
                          const std::string& order,
                          const std::function<std::string(const DayRows&)>& customerOf)
{
    const auto connection = programConnection();
    if (!connection) {
        return;
    }
    DayRows bons(*connection, "SELECT * FROM BONS WHERE " + condition + " ORDER BY " + order, parameters);
    while (bons.next() && addRow(bons, [&] { return customerOf(bons); })) {
    }
    flushPage();
}

// The order of each listing is the one the table cursor gave it: its columns, then the key, NULLs first.
void DlgBondruck::ListBonsMySql(std::chrono::year_month_day day)
{
    DbKnd customers;
    listDay("KASSA = ? AND DATUM = " + D2SQL(day), {base::trim(m_till)}, "ZEIT, BONID", [&](const DayRows& bons) {
        const auto id = base::trim(bons.FieldGet("KNDID"));
        if (id.empty() || id == "0" || !customers.Seek("KNDID", id)) {
            return std::string();
        }
        return base::GetKndText(customers.FieldGet("ZUNAME"),
                                customers.FieldGet("VORNAME"),
                                customers.FieldGet("STRASSE"),
                                customers.FieldGet("PLZ"),
                                customers.FieldGet("ORT"));
    });
    customers.Close();
}

void DlgBondruck::ListBonsPLUMOXA(std::chrono::year_month_day day)
{
    listDay("DATUM = " + D2SQL(day), {}, "BONNR, BONID", [](const DayRows& bons) {
        return base::GetKndText(base::Nvl(bons.FieldGet("NAME")),
                                "",
                                base::Nvl(bons.FieldGet("STRASSE")),
                                base::Nvl(bons.FieldGet("PLZ")),
                                base::Nvl(bons.FieldGet("ORT")));
    });
}

void DlgBondruck::ListBonsDRAVELIN(std::chrono::year_month_day day)
{
    listDay("DATUM = " + D2SQL(day), {}, "ZEIT, BONID", [](const DayRows& bons) {
        if (base::trim(bons.FieldGet("PK_NR")).empty()) {
            return std::string();
        }
        return base::GetKndText(bons.FieldGet("PK_NAM"),
                                bons.FieldGet("PK_VOR"),
                                bons.FieldGet("PK_STR"),
                                bons.FieldGet("PK_PLZ"),
                                bons.FieldGet("PK_ORT"));
    });
}

void DlgBondruck::PshDown()
{
    const auto day = shownDate().value_or(base::now().date);
    showDay(std::chrono::sys_days(day) - std::chrono::days(1));
}

void DlgBondruck::PshUp()
{
    const auto day = shownDate().value_or(base::now().date);
    showDay(std::chrono::sys_days(day) + std::chrono::days(1));
}

void DlgBondruck::PshToday()
{
    showDay(base::now().date);
}

void DlgBondruck::PshOk()
{
    m_sleDatum->setFocus();
    if (!m_sleDatum->text().trimmed().isEmpty()) {
        ListBons();
    }
}

void DlgBondruck::PshAblage()
{
    if (m_converting) {
        return;
    }
    auto* item = m_lvwData->currentItem();
    if (!item || m_lvwData->topLevelItemCount() == 0) {
        accept();
        return;
    }
    if (!m_converter) {
        converted(std::nullopt, {});
        return;
    }
    // The converter may open the signing service, and with it the signing component: it runs on a thread of its own,
    // and the picker closes with its answer.
    setConverting(true);
    widgets::runAside(
        this,
        [converter = m_converter, jws = item->data(0, Qt::UserRole).toString().toStdString()] {
            std::string error;
            auto text = converter(jws, error);
            return std::make_pair(std::move(text), std::move(error));
        },
        [](QPointer<DlgBondruck> picker, const std::pair<std::optional<std::string>, std::string>& answer) {
            picker->setConverting(false);
            picker->converted(answer.first, answer.second);
        },
        [](DlgBondruck& picker) { picker.setConverting(false); });
}

void DlgBondruck::setConverting(bool converting)
{
    m_converting = converting;
    for (auto* control : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        control->setEnabled(!converting);
    }
    if (converting) {
        setCursor(Qt::BusyCursor);
    } else {
        unsetCursor();
    }
}

void DlgBondruck::converted(const std::optional<std::string>& text, const std::string& error)
{
    if (text) {
        m_result = *text;
    } else {
        base::dialogs().ErrorBox(error.empty() ? "Der Beleg kann nicht umgewandelt werden." : error);
    }
    accept();
}

void DlgBondruck::PshCancel()
{
    reject();
}

void DlgBondruck::done(int result)
{
    if (m_converting) {
        return;
    }
    m_stop = m_listing;
    QDialog::done(result);
}

std::string PshBondruck(QWidget* owner, const std::string& till, JwsConverter converter)
{
    if (connectProgramDatabase(true)) {
        base::dialogs().ErrorBox("Zugriff auf Belege nicht möglich");
        return {};
    }
    DlgBondruck picker(owner, std::move(converter));
    picker.Setup(till);
    picker.exec();
    return picker.accJws();
}

} // namespace db::gui
