#pragma once
// The firmware update window "Firmware Update".

#include "app/windows.h"

class frmFlash : public Form {
    Q_OBJECT
public:
    frmFlash();
    void Form_Load() override;

    // "Update Firmware" in the settings window: hides the settings window and shows this window
    // modally over the console; returns when it is closed.
    static void openFromSettings();
};
