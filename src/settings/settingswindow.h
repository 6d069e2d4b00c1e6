#pragma once
// The settings window "Communications": owns the live settings fields.

#include "app/windows.h"
#include "settings/settingsfields.h"

class Settings : public Form {
    Q_OBJECT
public:
    Settings();

    void Form_Load() override;

    SettingsFields fields;
};
