#include "settings/settingswindow.h"

#include "app/numbers.h"
#include "app/platform.h"
#include "app/settingsstore.h"
#include "app/twips.h"
#include "console/stringfun.h"
#include "firmware/frmflash.h"
#include "settings/portdiscovery.h"

#include <QCursor>
#include <QMouseEvent>
#include <QRegularExpressionValidator>

namespace {

const QString kTooManyStrings = QStringLiteral("Maximum number of strings allowed is 25");

QLabel *makeLabel(QWidget *owner, const QString &name, const QString &caption)
{
    auto *l = new QLabel(caption, owner);
    l->setObjectName(name);
    return l;
}

QPushButton *makeButton(QWidget *owner, const QString &name, const QString &caption)
{
    auto *b = new QPushButton(caption, owner);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

} // namespace

Settings::Settings() : fields(this)
{
    setObjectName("Settings");
    setWindowTitle("Communications");
    // The window shows its client area and nothing more: the hidden fields beyond it stay out
    // of sight however the window is handled.
    setFixedSize(twips::toPixels(kClientWidth), twips::toPixels(kClientHeight));
    // The controls are sized for a compact 8-point face; the desktop's larger default would
    // clip the labels and the port entries.
    QFont compact = font();
    compact.setPointSizeF(8);
    setFont(compact);
    buildVisible();
    buildHidden();

    connect(fields.MaxStrings, &QLineEdit::textChanged, this, [this] { MaxStrings_Change(); });
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    connect(cmdRescanPorts, &QPushButton::clicked, this, [this] { cmdRescanPorts_Click(); });
    connect(cmdUpdate, &QPushButton::clicked, this, [this] { cmdUpdate_Click(); });
    lstPorts->viewport()->installEventFilter(this);
}

void Settings::buildVisible()
{
    Label17 = makeLabel(this, "Label17", "Comm Port");
    Baud = makeLabel(this, "Baud", "Baud Rate");
    Label3 = makeLabel(this, "Label3", "Max Strings");
    ReceiveTimeout = makeLabel(this, "ReceiveTimeout", "RCV TImeout");
    lstPorts = new QListWidget(this);
    lstPorts->setObjectName("lstPorts");
    lstPorts->setAccessibleName("COM ports");
    lstPorts->setSelectionMode(QAbstractItemView::SingleSelection);
    cmdOK = makeButton(this, "cmdOK", "OK");
    cmdRescanPorts = makeButton(this, "cmdRescanPorts", "Re-Scan Ports");
    cmdUpdate = makeButton(this, "cmdUpdate", "Update Firmware");

    fields.CommPortSetting->setAccessibleName("Comm Port");
    fields.MaxStrings->setAccessibleName("Max Strings");
    fields.RCVTimeout->setAccessibleName("RCV Timeout");

    // MaxStrings takes what can be read as a number (sign, digits, a fraction); a letter is
    // refused as it is typed. Texts put in by the program (the store) are not filtered.
    fields.MaxStrings->setValidator(
        new QRegularExpressionValidator(QRegularExpression(R"([+-]?[0-9]*(\.[0-9]*)?)"), fields.MaxStrings));

    struct Place {
        QWidget *w;
        double left, top, width, height;
    };
    // In focus order.
    const Place places[] = {
        {Label17, 120, 240, 1815, 255},
        {fields.CommPortSetting, 1080, 210, 1095, 285},
        {Baud, 120, 600, 1695, 255},
        {fields.lstBaudRate, 1080, 600, 1095, 450},
        {Label3, 120, 1200, 1815, 255},
        {fields.MaxStrings, 1320, 1170, 855, 285},
        {ReceiveTimeout, 120, 1590, 1815, 255},
        {fields.RCVTimeout, 1320, 1560, 855, 315},
        {lstPorts, 2280, 240, 2775, 3570},
        {fields.DTProtocol, 120, 2040, 1695, 255},
        {fields.OEMProtocol, 120, 2280, 1575, 255},
        {cmdOK, 120, 2640, 1935, 375},
        {cmdRescanPorts, 120, 3120, 1935, 375},
        {cmdUpdate, 120, 3720, 1935, 375},
    };
    QWidget *previous = nullptr;
    for (const Place &p : places) {
        twips::setGeometry(p.w, p.left, p.top, p.width, p.height);
        p.w->show();
        if (p.w->focusPolicy() == Qt::NoFocus)
            continue;
        if (previous)
            QWidget::setTabOrder(previous, p.w);
        previous = p.w;
    }
    // The labels sit above the fields they name, so a field is never covered.
    for (QLabel *l : {Label17, Baud, Label3, ReceiveTimeout})
        l->lower();
}

void Settings::buildHidden()
{
    // Everything here lies to the right of the client area: a column of captions and fields
    // for "ValvePositions", then a table with the columns "Minimum" and "Maximum".
    constexpr double left = kClientWidth + 600;
    constexpr double captionWidth = 2400, fieldWidth = 1095, rowHeight = 285, pitch = 360;
    constexpr double fieldLeft = left + captionWidth + 120;
    const auto &defs = SettingsFields::instrumentFields();

    auto hide = [](QLineEdit *e) {
        // Out of sight and out of the tab order: the operator never reaches these fields.
        e->setFocusPolicy(Qt::NoFocus);
        e->show();
    };
    auto caption = [this](const QString &name, const QString &text, double l, double t, double w) {
        QLabel *c = makeLabel(this, name, text);
        twips::setGeometry(c, l, t, w, 255);
        hiddenCaptions.append(c);
    };

    double top = 240;
    for (int i = 0; i < defs.size(); ++i) {
        if (defs[i].section != "ValvePositions")
            continue;
        caption("lbl" + defs[i].name, defs[i].caption, left, top, captionWidth);
        twips::setGeometry(fields.instrument()[i], fieldLeft, top, fieldWidth, rowHeight);
        hide(fields.instrument()[i]);
        top += pitch;
    }
    caption("lblFlowControl", "Flow Control", left, top, captionWidth);
    twips::setGeometry(fields.FlowControl, fieldLeft, top, fieldWidth, rowHeight);
    hide(fields.FlowControl);

    // Minimum / Maximum table of "Volumes" and "FlowRates".
    constexpr double tableLeft = fieldLeft + fieldWidth + 600;
    constexpr double minLeft = tableLeft + captionWidth + 120, maxLeft = minLeft + fieldWidth + 120;
    caption("lblMinimum", "Minimum", minLeft, 0, fieldWidth);
    caption("lblMaximum", "Maximum", maxLeft, 0, fieldWidth);
    top = 240;
    for (int i = 0; i < defs.size(); ++i) {
        if (defs[i].section == "ValvePositions")
            continue;
        QLineEdit *e = fields.instrument()[i];
        const bool single = defs[i].name == "MaxDACValue";
        const bool minimum = defs[i].name.startsWith("Minimum");
        if (single || minimum)
            caption("lbl" + (single ? defs[i].name : defs[i].name.mid(7)), defs[i].caption, tableLeft, top,
                    captionWidth);
        twips::setGeometry(e, single || minimum ? minLeft : maxLeft, top, fieldWidth, rowHeight);
        hide(e);
        if (single || !minimum)
            top += pitch;
    }
}

void Settings::fillPortList()
{
    lstPorts->clear();
    portdiscovery::ScanPorts(lstPorts);
}

void Settings::Form_Load()
{
    // The store is read once for the whole creation: the port probes' device names come from it
    // as well as the fields.
    const store::Transaction stored;
    // 1. The port list.
    fillPortList();
    // 2. The fields from the store.
    if (!fields.load())
        return;
    // 3. On the console's "Settings" button, its numbers copied unchanged.
    StringFun &console = windows::get<StringFun>();
    QPushButton *settingsButton = console.LoadButton[3];
    if (!settingsButton)
        return;
    placeAt(twips::left(settingsButton), twips::top(settingsButton));
    // 4. The console's reply time-out.
    // The timer takes no zero or negative interval: a zero time-out would report every command
    // as unanswered before its reply could arrive.
    const auto interval = numbers::toInt32(fields.RCVTimeout->text());
    if (!interval || *interval <= 0)
        return;
    console.tmrReceiveTimeOut().setInterval(*interval);
    // 5. Above the other windows.
    platform::setTopmost(this, true);
}

void Settings::Form_Unload() { platform::setTopmost(this, false); }

void Settings::placeAt(double leftTwips, double topTwips)
{
    twips::setLeft(this, leftTwips);
    twips::setTop(this, topTwips);
    move(twips::toPixels(leftTwips), twips::toPixels(topTwips));
}

void Settings::showFromConsole()
{
    placeBelowSettingsButton();
    show();
    raise();
    activateWindow();
}

void Settings::frameKnown()
{
    // The first placement took the frame for the console's; place again by the real one.
    if (m_placedFromConsole)
        placeBelowSettingsButton();
}

void Settings::placeBelowSettingsButton()
{
    if (StringFun *console = windows::loaded<StringFun>(); console && console->LoadButton[3]) {
        m_placedFromConsole = true;
        const QPushButton *b = console->LoadButton[3];
        // Outer window positions on the screen, the button's inside the console's client
        // area; no allowance for borders or the title bar.
        const QPoint consoleOrigin = console->frameGeometry().topLeft();
        const double consoleLeft = consoleOrigin.x() * twips::perPixel;
        const double consoleTop = consoleOrigin.y() * twips::perPixel;
        placeAt(consoleLeft + twips::left(b) - twips::width(b) / 2,
                consoleTop + twips::top(b) + twips::height(this) / 2);
    }
}

void Settings::MaxStrings_Change()
{
    const QString text = fields.MaxStrings->text();
    if (text.isEmpty())
        return;
    const auto value = numbers::toDouble(text);
    if (!value || *value <= 25)
        return;
    platform::message(this, {kTooManyStrings, QMessageBox::NoIcon, QMessageBox::Ok, platform::kAppTitle});
    fields.MaxStrings->setText("25");
}

void Settings::cmdOK_Click()
{
    // A store that cannot be written (a read-only folder, a full disk) is reported; the rest of
    // "OK" goes on, and the values shown stay in force.
    if (const QString failure = fields.save(); !failure.isEmpty())
        platform::message(this, {failure, QMessageBox::Warning, QMessageBox::Ok, platform::kAppTitle});
    windows::get<StringFun>().SetupScreen();
    hide();
}

void Settings::cmdRescanPorts_Click() { fillPortList(); }

void Settings::cmdUpdate_Click() { frmFlash::openFromSettings(); }

void Settings::lstPorts_MouseDown(int Button, int /*Shift*/, double /*X*/, double /*Y*/)
{
    if (Button != 1)
        return;
    const QPoint p = lstPorts->viewport()->mapFromGlobal(QCursor::pos());
    const int32_t r = portdiscovery::itemFromPoint(lstPorts, portdiscovery::MakeLong(p.x(), p.y()));
    if (r > -1) {
        const int i = portdiscovery::LoWord(r);
        fields.CommPortSetting->setText(QString::number(i + 1));
        lstPorts->setCurrentRow(i, QItemSelectionModel::ClearAndSelect);
    }
}

bool Settings::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lstPorts->viewport()) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            // The press is the list's whole mouse behaviour: the entry is picked here, and the
            // list's own press handling (which would select with any button) does not run.
            auto *me = static_cast<QMouseEvent *>(event);
            int button = 0;
            switch (me->button()) {
            case Qt::LeftButton: button = 1; break;
            case Qt::RightButton: button = 2; break;
            case Qt::MiddleButton: button = 4; break;
            default: break;
            }
            int shift = 0;
            if (me->modifiers() & Qt::ShiftModifier) shift |= 1;
            if (me->modifiers() & Qt::ControlModifier) shift |= 2;
            if (me->modifiers() & Qt::AltModifier) shift |= 4;
            if (event->type() == QEvent::MouseButtonPress)
                lstPorts_MouseDown(button, shift, me->position().x() * twips::perPixel,
                                   me->position().y() * twips::perPixel);
            lstPorts->setFocus(Qt::MouseFocusReason);
            return true;
        }
        case QEvent::MouseMove:
        case QEvent::MouseButtonRelease:
            return true;
        default:
            break;
        }
    }
    return Form::eventFilter(watched, event);
}
