#pragma once

#include "rksv/depcheck/DepReport.h"
#include "rksv/depcheck/DepVerifier.h"

#include <QDialog>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class QCloseEvent;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace rksv::gui {

/**
 * "DEP prüfen": checks a data capture protocol file as a tax auditor's verifier does (rksv::checkDepFile). The user
 * picks the file ("Datei wählen …", through the dialog seam's open-file dialog) and gives the till's AES key; its
 * check value (rksv::aesKeyCheckValue) shows beside the field. The key starts as the current till's key from the
 * signing service, when the service is ready: asked on a thread of its own (keyAnswered()), it goes into the field
 * while that is still empty. Each group's certificate must be trusted: in an installation the cards
 * registered for its tills and their issuers (table CARDS, through the program-wide connection), and the CA
 * certificates of the field "Zertifikate" (a PEM or DER file, or a folder of them; "Zertifikate wählen …" picks a
 * file); without any of them the check does not start. "Prüfen" runs the check on a worker thread: the window stays
 * usable, the progress bar shows the per cent of the file's bytes read, "Abbrechen" ends the check early. The result
 * list shows the summary line and one line per fault and warning kept ("Beleg 2026-17 (Nr. 17 in der Datei): Signatur
 * ungültig"). "Bericht speichern …" writes every fault of the last check and its result to a file the user names
 * (text, or CSV for a name ending in .csv), as the command line's --bericht does.
 * Closing the window during a check stops it and waits for the worker to end. Opened from the main menu's "RKSV" /
 * "DEP prüfen …".
 */
class DlgDepPruefen : public QDialog
{
    Q_OBJECT

public:
    explicit DlgDepPruefen(QWidget* owner);
    ~DlgDepPruefen() override;

    //! "Datei wählen …": the open-file dialog; a chosen file goes into the file field.
    void PshDatei();
    //! "Zertifikate wählen …": the open-file dialog; a chosen file goes into the certificates field.
    void PshZertifikate();
    //! "Prüfen": checks the fields (an error box and the focus on the field when one is missing or wrong) and
    //! starts the check; nothing while a check runs.
    void PshPruefen();
    //! "Abbrechen": asks a running check to end; its result comes as for any other check.
    void PshAbbrechen();
    //! "Bericht speichern …": the save-as dialog, then the report of the last check; nothing before a check ended.
    void PshBericht();

    //! Whether the signing service has not yet answered the question for the till's key.
    bool accAskingKey() const { return m_askingKey; }
    //! Whether a check is running.
    bool accChecking() const { return m_worker.joinable(); }
    //! The result of the last finished check (empty before the first).
    const DepCheckResult& accResult() const { return m_result; }
    //! How the check's fault lines read, for the result list.
    static QString faultLine(const DepFault& fault);

    //! Threads that verify signatures (DepCheckOptions::threads; 0: one per core).
    void setThreads(unsigned threads) { m_threads = threads; }

signals:
    //! From the worker thread, queued to the window: bytes read of the file's size and receipts checked so far.
    void progressed(quint64 bytesRead, quint64 bytesTotal, qlonglong receipts);
    //! From the worker thread, queued to the window: the check has ended; its result is waiting to be taken.
    void checkEnded();
    //! The signing service has answered the question for the till's key (and the field has it, when it was empty).
    void keyAnswered();

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showCheckValue();
    void showProgress(quint64 bytesRead, quint64 bytesTotal, qlonglong receipts);
    void takeResult();
    void setChecking(bool checking);
    //! Asks a running check to end and waits for its thread.
    void stopAndWait();

    QLineEdit* m_sleDatei;
    QPushButton* m_pshDatei;
    QLineEdit* m_sleSchluessel;
    bool m_askingKey = true;
    QLabel* m_txtPruefwert;
    QLineEdit* m_sleZertifikate;
    QPushButton* m_pshZertifikate;
    QPushButton* m_pshPruefen;
    QPushButton* m_pshAbbrechen;
    QPushButton* m_pshBericht;
    QPushButton* m_pshClose;
    QProgressBar* m_prgDatei;
    QLabel* m_txtFortschritt;
    QListWidget* m_lvwErgebnis;

    unsigned m_threads = 0;
    std::thread m_worker;
    std::atomic<bool> m_stop{false};
    std::shared_ptr<const DepTrustAnchors> m_anchors; //!< of the running check
    std::shared_ptr<DepFaultSpool> m_spool;           //!< every fault of the last check; filled by the worker
    std::mutex m_resultMutex;
    DepCheckResult m_finished;  //!< written by the worker, under m_resultMutex
    bool m_hasFinished = false; //!< m_finished waits to be taken; under m_resultMutex
    DepCheckResult m_result;
};

} // namespace rksv::gui
