#pragma once
// The traffic monitor window: every byte the program writes and receives on its ports, framed
// and decoded, in a table, newest row last, with the selected row taken apart in a pane below.
// Non-modal, and usable over the firmware window; its own dialogs are modal and above it.
//
// Opened by Ctrl+Shift+T in any of the program's windows and from the console's context menu.

#include "app/windows.h"
#include "monitor/trafficmodel.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;

class TrafficMonitor : public Form {
    Q_OBJECT
public:
    TrafficMonitor();

    void cmdPause_Click();
    void cmdClear_Click();
    void cmdSave_Click();
    void cmdLog_Click();
    // The selected rows as text: cells separated by tabs, one line per row.
    void copySelection();

    monitor::TrafficModel &model() { return *m_model; }

    QPushButton *cmdPause = nullptr;
    QPushButton *cmdClear = nullptr;
    QPushButton *cmdSave = nullptr;
    QPushButton *cmdLog = nullptr;
    QLineEdit *txtFilter = nullptr;
    QCheckBox *chkProblems = nullptr;
    QTableView *grdTraffic = nullptr;
    QPlainTextEdit *txtDetails = nullptr;
    QLabel *lblStatus = nullptr;

protected:
    bool event(QEvent *e) override;
    void showEvent(QShowEvent *e) override;

private:
    void updateStatus();
    void updateDetails();
    void showUnblocked();
    // Whether the modal window up now is one of the monitor's own dialogs.
    bool ownModal() const;

    monitor::TrafficModel *m_model = nullptr;
    bool m_follow = true;
    bool m_placed = false;
};

namespace monitor {

// From now on every port the program creates is tapped into the store, and Ctrl+Shift+T opens
// the monitor in any of the program's windows. Called once at start-up.
void install();
// Shows the monitor (creating it on first use), usable even while a modal window is up.
TrafficMonitor &open();

} // namespace monitor
