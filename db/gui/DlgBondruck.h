#pragma once

#include "db/Odbc.h"

#include <QDialog>
#include <QList>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace db {
class MySqlTable;
}

namespace db::gui {

class DayRows;

//! The readable receipt text of a stored compact JWS, or nothing with the German reason in `error`.
using JwsConverter = std::function<std::optional<std::string>(const std::string& jws, std::string& error)>;

/**
 * The receipt picker "Belegauswahl": the receipts of one day from the cash-register database, in one of three
 * listings by host product, with time, till, number, customer (or receipt kind) and total. "Beleg übernehmen"
 * converts the chosen receipt's stored compact JWS into its readable text on a thread of its own (the converter may
 * open the signing service), the picker's controls off and closing it put off meanwhile; with the answer it closes,
 * and accJws() gives the text ("" when nothing was taken over). Rows are listed while the cursor advances, with the
 * window kept responsive after every row. A new listing asked for meanwhile ("+", "-", "Heute", Enter) ends the running
 * one and starts once it has ended, so the list only ever holds one day; closing the dialog ends the listing.
 */
class DlgBondruck : public QDialog
{
    Q_OBJECT

public:
    DlgBondruck(QWidget* owner, JwsConverter converter);

    //! Keeps the till number and lists the receipts of the shown day.
    void Setup(const std::string& till);
    void ListBons();
    void PshDown();
    void PshUp();
    void PshToday();
    void PshOk();
    void PshAblage();
    void PshCancel();
    const std::string& accJws() const { return m_result; }
    //! True while the chosen receipt is being converted.
    bool accConverting() const { return m_converting; }
    //! Closes the dialog; a running listing ends at its next row. While a receipt is converted, once it is.
    void done(int result) override;

private:
    //! The converter's answer, on the window's thread: the text taken over, or its reason in an error box.
    void converted(const std::optional<std::string>& text, const std::string& error);
    void setConverting(bool converting);
    //! Time, till, number and sum as wide as their header and widest row and a gap; the customer gets the rest.
    void fitColumns();
    void PostInit();
    void ListBonsMySql(std::chrono::year_month_day day);
    void ListBonsPLUMOXA(std::chrono::year_month_day day);
    void ListBonsDRAVELIN(std::chrono::year_month_day day);
    //! One row for the current receipt; `customerOf` gives the listing's customer text. False when the listing is to
    //! end: a new one was asked for while the window worked, or the dialog closed.
    [[nodiscard]] bool addRow(const DayRows& bons, const std::function<std::string()>& customerOf);
    void flushPage();
    //! Lists the receipts of BONS that meet `condition` in `order` (one query), with the listing's customer text.
    void listDay(const std::string& condition,
                 const std::vector<Text>& parameters,
                 const std::string& order,
                 const std::function<std::string(const DayRows&)>& customerOf);
    [[nodiscard]] std::optional<std::chrono::year_month_day> shownDate() const;
    void showDay(std::chrono::year_month_day day);

    JwsConverter m_converter;
    std::string m_till;
    std::string m_result;
    bool m_listing = false;         // a listing runs (further down the stack)
    bool m_relist = false;          // asked for again while it ran
    bool m_stop = false;            // closed while it ran
    bool m_converting = false;      // the chosen receipt is being converted
    QList<QTreeWidgetItem*> m_page; // rows not in the list yet
    //! Per column the row with the most visible characters so far, -1 none: the one fitColumns measures.
    std::array<int, 5> m_widestRow{-1, -1, -1, -1, -1};
    std::array<std::size_t, 5> m_widestLength{};
    QTreeWidget* m_lvwData;
    QLineEdit* m_sleDatum;
    QPushButton* m_pshToday;
};

/**
 * "Beleg auswählen": opens the program-wide connection anew (the error box "Zugriff auf Belege nicht möglich"
 * when it fails), shows the picker for the till over `owner`, and gives the receipt text taken over ("" none).
 */
[[nodiscard]] std::string PshBondruck(QWidget* owner, const std::string& till, JwsConverter converter);

} // namespace db::gui
