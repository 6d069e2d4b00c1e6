#pragma once
// The settings window "Communications": owns the live settings fields, the COM port list and
// the buttons "OK", "Re-Scan Ports" and "Update Firmware". The instrument parameters and their
// captions lie outside the client area and are never seen.

#include "app/windows.h"
#include "settings/settingsfields.h"

#include <QLabel>
#include <QList>
#include <QListWidget>
#include <QPushButton>

class Settings : public Form {
    Q_OBJECT
public:
    // Client area in twips.
    static constexpr double kClientWidth = 5175;
    static constexpr double kClientHeight = 4185;

    Settings();

    // Creation steps: scan the ports, load the store, place the window on the console's
    // "Settings" button, apply the receive time-out to the console, become topmost. Stops at
    // the first step that fails, silently.
    void Form_Load() override;
    // Leaves the topmost state. Nothing is saved.
    void Form_Unload() override;

    // The console's "Settings" button: places the window beside that button and shows it
    // non-modal, without an owner; returns at once.
    void showFromConsole();

    void MaxStrings_Change();
    void cmdOK_Click();
    void cmdRescanPorts_Click();
    void cmdUpdate_Click();
    // Mouse button pressed on the port list. Button is 1 for the primary button; the event's
    // own X and Y are not used: the pointer's position at this moment picks the entry.
    void lstPorts_MouseDown(int Button, int Shift, double X, double Y);

    // Puts the window's outer top-left corner at this screen position, in twips.
    void placeAt(double leftTwips, double topTwips);

    SettingsFields fields;

    QLabel *Label17 = nullptr;       // "Comm Port"
    QLabel *Baud = nullptr;          // "Baud Rate"
    QLabel *Label3 = nullptr;        // "Max Strings"
    QLabel *ReceiveTimeout = nullptr; // "RCV TImeout"
    QListWidget *lstPorts = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdRescanPorts = nullptr;
    QPushButton *cmdUpdate = nullptr;

    // Captions kept beside the hidden fields (outside the client area).
    QList<QLabel *> hiddenCaptions;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void frameKnown() override;

private:
    // Left at the console's left + the "Settings" button's left - half its width; top at the
    // console's top + the button's top + half of this window's outer height.
    void placeBelowSettingsButton();
    void buildVisible();
    void buildHidden();
    void fillPortList();

    bool m_placedFromConsole = false;
};
