#include "settings/settingswindow.h"

Settings::Settings() : fields(this)
{
    setObjectName("Settings");
    setWindowTitle("Communications");
}

void Settings::Form_Load()
{
    fields.load();
}
