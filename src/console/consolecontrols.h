#pragma once
// The controls the console and its help copy share: the 51-row pool, the button bar, the frame
// around the rows and the logo, named and laid out alike.

#include "console/indicatorshape.h"
#include "console/layout.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <array>

class ConsoleControls {
public:
    static constexpr int kRows = layout::kRowPool;
    static constexpr int kBarButtons = layout::kBarButtons;

    std::array<QLineEdit *, kRows> StringToSend{};
    std::array<QPushButton *, kRows> SendCommand{};
    std::array<QLineEdit *, kRows> ReceiveString{};
    std::array<IndicatorShape *, kRows> ButtonShape{};
    std::array<QTimer *, kRows> ButtonTimer{};
    std::array<QPushButton *, kBarButtons> LoadButton{};
    QFrame *Frame1 = nullptr;
    QLabel *Image2 = nullptr;

protected:
    // Creates every control as a child of `window`, hidden, with its name, accessible name and
    // the template geometry.
    void createControls(QWidget *window);
    // The controls as the layout takes them.
    layout::Controls controls();

private:
    QWidget *m_window = nullptr;
};
