#pragma once
// The row layout shared by the console and its help copy.
//
// Row 0 is the template: the layout reads the send button's left, top, width and height, the
// text field's width, each indicator's width and the logo's width from the controls every time
// it runs, and never moves SendCommand(0), so running it again gives the same result. All
// values are twips, kept on the controls (app/twips.h).

#include <QString>
#include <array>

class QFrame;
class QTimer;
class QWidget;
class QPushButton;

namespace layout {

constexpr int kRowPool = 51;
constexpr int kBarButtons = 8;

// Template values a window's controls are created with.
constexpr double kSendLeft = 585, kSendTop = 1800, kSendWidth = 1380, kSendHeight = 285;
constexpr double kTextWidth = 3915, kShapeWidth = 240, kResponseWidth = 5000;
constexpr double kLogoWidth = 7500, kLogoHeight = 1620, kLogoTop = 120;
constexpr int kIndicatorInterval = 500;

struct BarButton {
    QString caption;
    QString toolTip;
};
// Captions and tooltips of the bar, by index.
const std::array<BarButton, kBarButtons> &barButtons();

// Caption of row r's send button, with the first digit of r as access key.
QString sendCaption(int row);
inline const QString kSendToolTip = QStringLiteral("Click to send command string.");

// The controls a layout places. Rows beyond the window's own pool may be nullptr.
struct Controls {
    std::array<QPushButton *, kRowPool> send{};
    std::array<QWidget *, kRowPool> shape{};
    std::array<QWidget *, kRowPool> text{};
    std::array<QWidget *, kRowPool> response{};
    std::array<QTimer *, kRowPool> timer{};
    std::array<QPushButton *, kBarButtons> bar{};
    QFrame *frame = nullptr;
    QWidget *logo = nullptr;
    QWidget *window = nullptr;
};

// Puts the template geometry on freshly created controls.
void initTemplate(Controls &c);

// Hides every row, shows and places rows 0 to numRows-1, sizes the frame and the window (outer),
// centres the logo, places and captions the bar. Indicators are painted white.
void apply(Controls &c, int numRows);

} // namespace layout
