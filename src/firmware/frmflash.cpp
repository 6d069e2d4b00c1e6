#include "firmware/frmflash.h"

frmFlash::frmFlash()
{
    setObjectName("frmFlash");
    setWindowTitle("Firmware Update");
}

void frmFlash::Form_Load() {}

void frmFlash::openFromSettings() {}
