#pragma once

#include "db/Odbc.h"

#include <QDialog>
#include <QElapsedTimer>

#include <chrono>
#include <memory>
#include <string>

class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;

namespace rksv {
class RKSVExport;
}

namespace rksv::gui {

/**
 * The progress window of a long DEP export: how many receipts are read, a busy bar and "Abbrechen". It appears only
 * once the export has run for `showAfter` (half a second), so short exports never flash a window. Modal over the
 * program while shown; "Abbrechen", Escape and closing the window all emit cancelled().
 */
class DlgDepFortschritt : public QDialog
{
    Q_OBJECT

public:
    explicit DlgDepFortschritt(QWidget* owner, std::chrono::milliseconds showAfter = std::chrono::milliseconds(500));

    //! Receipts read so far; shows the window when the export has run long enough.
    void Step(long receipts);
    //! All receipts are read: the window goes.
    void Finish();
    //! Whether the window has been shown since it was made, and the receipts it last reported.
    bool accShown() const { return m_shown; }
    long accReceipts() const { return m_receipts; }

signals:
    void cancelled();

public slots:
    void reject() override;

private:
    QElapsedTimer m_running;
    std::chrono::milliseconds m_showAfter;
    bool m_shown = false;
    bool m_done = false;
    long m_receipts = 0;
    QLabel* m_txtAnzahl;
};

/**
 * A small form for exporting the DEP by hand: till (empty: all tills), first and last day, and one button for each
 * way of exporting ("Exportieren": composed by the program; "Von der Signatureinheit erstellen lassen": by the
 * signing component). Each export shows DlgDepFortschritt when it runs long, and afterwards what it saved. Without a
 * connection of its own it opens the program-wide one when an export first needs it. Opened from the main menu's
 * "RKSV" / "DEP exportieren …".
 */
class DlgDepExport : public QDialog
{
    Q_OBJECT

public:
    //! Reads from `connection`; nullptr: the program-wide connection.
    explicit DlgDepExport(QWidget* owner, std::shared_ptr<db::Connection> connection = nullptr);
    ~DlgDepExport() override;

    //! The export composed by the program, for the till and days shown.
    void PshJson();
    //! The export through the signing component.
    void PshRksv();

    //! Receipts read by the last export, and where it was saved ("" when nothing was saved).
    long accReceipts() const { return m_receipts; }
    const std::string& accSaved() const { return m_saved; }

    //! When the progress window appears and how often the window works during an export (500 ms and 20 ms).
    void setTimings(std::chrono::milliseconds showAfter, std::chrono::milliseconds eventInterval);

public slots:
    void reject() override;

private:
    void run(bool throughComponent);
    void setBusy(bool busy);

    std::shared_ptr<db::Connection> m_connection;
    QLineEdit* m_sleKassa;
    QDateEdit* m_dtpVon;
    QDateEdit* m_dtpBis;
    QPushButton* m_pshJson;
    QPushButton* m_pshRksv;
    QPushButton* m_pshClose;
    QLabel* m_txtErgebnis;
    std::chrono::milliseconds m_showAfter{500};
    std::chrono::milliseconds m_eventInterval{20};
    RKSVExport* m_running = nullptr;
    long m_receipts = 0;
    std::string m_saved;
};

} // namespace rksv::gui
