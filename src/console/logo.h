#pragma once
// The console's logo, 500 x 108 pixels, drawn at run time.

#include <QPixmap>

QPixmap quorvaneLogo();
