#pragma once
// The program's icon for its windows' title bars and the task bar.

#include <QIcon>

// The icon in its seven sizes (16 to 256 pixels). Its images are decoded the first time a window
// system asks for them, not before: making the icon costs nothing at the program's start.
QIcon programIcon();
