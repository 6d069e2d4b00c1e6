#include "monitor/trafficmonitor.h"

#include "app/platform.h"
#include "link/commport.h"
#include "monitor/capture.h"

#include <QAction>
#include <QCheckBox>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QString kWriteError = QStringLiteral("Error Writing File: ");
const QString kCsvFilter = monitor::captureFilter(monitor::CaptureFormat::Csv);

QPushButton *button(QWidget *parent, const char *name, const QString &caption)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    return b;
}

} // namespace

TrafficMonitor::TrafficMonitor()
{
    setObjectName("TrafficMonitor");
    setWindowTitle(QStringLiteral("Traffic Monitor"));
    m_model = new monitor::TrafficModel(monitor::store(), this);

    cmdPause = button(this, "cmdPause", QStringLiteral("Pause"));
    cmdClear = button(this, "cmdClear", QStringLiteral("Clear"));
    cmdSave = button(this, "cmdSave", QStringLiteral("Save..."));
    cmdLog = button(this, "cmdLog", monitor::store().isLogging() ? QStringLiteral("Stop Log") : QStringLiteral("Log to File..."));
    connect(cmdPause, &QPushButton::clicked, this, &TrafficMonitor::cmdPause_Click);
    connect(cmdClear, &QPushButton::clicked, this, &TrafficMonitor::cmdClear_Click);
    connect(cmdSave, &QPushButton::clicked, this, &TrafficMonitor::cmdSave_Click);
    connect(cmdLog, &QPushButton::clicked, this, &TrafficMonitor::cmdLog_Click);

    txtFilter = new QLineEdit(this);
    txtFilter->setObjectName("txtFilter");
    txtFilter->setAccessibleName(QStringLiteral("Filter"));
    txtFilter->setPlaceholderText(QStringLiteral("Filter"));
    txtFilter->setClearButtonEnabled(true);
    chkProblems = new QCheckBox(QStringLiteral("Problems only"), this);
    chkProblems->setObjectName("chkProblems");
    auto refilter = [this] { m_model->setFilter(txtFilter->text(), chkProblems->isChecked()); };
    connect(txtFilter, &QLineEdit::textChanged, this, refilter);
    connect(chkProblems, &QCheckBox::toggled, this, refilter);

    grdTraffic = new QTableView(this);
    grdTraffic->setObjectName("grdTraffic");
    grdTraffic->setAccessibleName(QStringLiteral("Traffic"));
    grdTraffic->setModel(m_model);
    grdTraffic->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdTraffic->setSelectionMode(QAbstractItemView::ExtendedSelection);
    grdTraffic->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdTraffic->setWordWrap(false);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    grdTraffic->setFont(fixed);
    grdTraffic->verticalHeader()->hide();
    grdTraffic->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grdTraffic->verticalHeader()->setDefaultSectionSize(grdTraffic->fontMetrics().height() + 4);
    grdTraffic->horizontalHeader()->setStretchLastSection(true);
    // Widths in characters of the fixed font; the frame column fits its longest common text.
    const int chars[] = {13, 8, 7, 6, 30, 20, 64};
    const int charWidth = grdTraffic->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    for (int c = 0; c < int(std::size(chars)); ++c)
        grdTraffic->setColumnWidth(c, chars[c] * charWidth + 12);

    auto *copy = new QAction(QStringLiteral("Copy"), grdTraffic);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, &TrafficMonitor::copySelection);
    grdTraffic->addAction(copy);
    grdTraffic->setContextMenuPolicy(Qt::ActionsContextMenu);

    txtDetails = new QPlainTextEdit(this);
    txtDetails->setObjectName("txtDetails");
    txtDetails->setAccessibleName(QStringLiteral("Details"));
    txtDetails->setReadOnly(true);
    txtDetails->setFont(fixed);
    connect(grdTraffic->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &TrafficMonitor::updateDetails);
    connect(m_model, &QAbstractItemModel::modelReset, this, &TrafficMonitor::updateDetails);

    lblStatus = new QLabel(this);
    lblStatus->setObjectName("lblStatus");
    lblStatus->setAccessibleName(QStringLiteral("Status"));

    auto *bar = new QHBoxLayout;
    for (QPushButton *b : {cmdPause, cmdClear, cmdSave, cmdLog})
        bar->addWidget(b);
    bar->addSpacing(12);
    bar->addWidget(txtFilter, 1);
    bar->addWidget(chkProblems);
    auto *split = new QSplitter(Qt::Vertical, this);
    split->addWidget(grdTraffic);
    split->addWidget(txtDetails);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    split->setChildrenCollapsible(false);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(split, 1);
    layout->addWidget(lblStatus);
    int width = 40;
    for (int c = 0; c < monitor::TrafficModel::ColumnCount - 1; ++c)
        width += grdTraffic->columnWidth(c);
    resize(width + 10 * charWidth, 560);

    // Follow the newest row unless the operator has scrolled away from it.
    QScrollBar *scroll = grdTraffic->verticalScrollBar();
    connect(m_model, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this, scroll] { m_follow = scroll->value() >= scroll->maximum(); });
    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this] {
        if (m_follow)
            grdTraffic->scrollToBottom();
    });
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] { grdTraffic->scrollToBottom(); });
    connect(m_model, &monitor::TrafficModel::synced, this, &TrafficMonitor::updateStatus);
    connect(&monitor::store(), &monitor::TrafficStore::loggingChanged, this, [this](bool on) {
        cmdLog->setText(on ? QStringLiteral("Stop Log") : QStringLiteral("Log to File..."));
    });
    connect(&monitor::store(), &monitor::TrafficStore::logFailed, this,
            [this](const QString &path) { platform::message(this, {kWriteError + path, QMessageBox::Warning}); });
    m_model->sync();
    grdTraffic->scrollToBottom();
}

void TrafficMonitor::showEvent(QShowEvent *e)
{
    Form::showEvent(e);
    if (m_placed)
        return;
    m_placed = true;
    // The first placement fits the screen's available area, a typical window manager's frame
    // included.
    QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QMargins frame(4, 30, 4, 4);
    const QSize outer = size().grownBy(frame).boundedTo(area.size());
    const QSize inner = outer.shrunkBy(frame).expandedTo(minimumSizeHint());
    QPoint at = pos();
    at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() + 1 - outer.width())));
    at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() + 1 - outer.height())));
    resize(inner);
    move(at);
}

void TrafficMonitor::updateStatus()
{
    const monitor::TrafficStore &s = m_model->store();
    lblStatus->setText(QStringLiteral("%1 rows, %2 held while paused, %3 dropped")
                           .arg(m_model->rowCount())
                           .arg(m_model->isPaused() ? m_model->held() : 0)
                           .arg(s.dropped()));
}

void TrafficMonitor::updateDetails()
{
    const QModelIndex current = grdTraffic->currentIndex();
    txtDetails->setPlainText(current.isValid() ? monitor::detailsText(m_model->rowAt(current.row())) : QString());
}

void TrafficMonitor::cmdPause_Click()
{
    const bool pause = !m_model->isPaused();
    m_model->setPaused(pause);
    cmdPause->setText(pause ? QStringLiteral("Resume") : QStringLiteral("Pause"));
}

void TrafficMonitor::cmdClear_Click() { m_model->store().clear(); }

void TrafficMonitor::cmdSave_Click()
{
    using monitor::CaptureFormat;
    QString selected;
    platform::FileDialogRequest request;
    request.kind = platform::FileDialogRequest::Save;
    request.title = QStringLiteral("Save Traffic");
    request.filter = monitor::captureFilter(CaptureFormat::Csv) + QStringLiteral(";;")
        + monitor::captureFilter(CaptureFormat::Pcapng);
    request.confirmOverwrite = true;
    request.selectedFilter = &selected;
    QPointer<TrafficMonitor> self(this);
    const auto chosen = platform::fileDialog(this, request);
    if (!self || !chosen || chosen->isEmpty())
        return;
    QString path = *chosen;
    const CaptureFormat format = monitor::captureFormat(path, selected);
    // The rows as the table shows them.
    std::vector<const monitor::Row *> rows;
    rows.reserve(size_t(m_model->rowCount()));
    for (int r = 0; r < m_model->rowCount(); ++r)
        rows.push_back(&m_model->rowAt(r));
    if (!monitor::writeCapture(path, format, m_model->store(), rows))
        platform::message(this, {kWriteError + path, QMessageBox::Warning});
}

void TrafficMonitor::cmdLog_Click()
{
    monitor::TrafficStore &s = m_model->store();
    if (s.isLogging()) {
        s.stopLog();
        return;
    }
    platform::FileDialogRequest request;
    request.kind = platform::FileDialogRequest::Save;
    request.title = QStringLiteral("Log Traffic to File");
    request.filter = kCsvFilter;
    QPointer<TrafficMonitor> self(this);
    const auto path = platform::fileDialog(this, request);
    if (!self || !path || path->isEmpty())
        return;
    if (!s.startLog(*path))
        platform::message(this, {kWriteError + *path, QMessageBox::Warning});
}

void TrafficMonitor::copySelection()
{
    QList<int> rows;
    for (const QModelIndex &index : grdTraffic->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    QString text;
    for (const int r : rows) {
        for (int c = 0; c < monitor::TrafficModel::ColumnCount; ++c)
            text += (c ? QStringLiteral("\t") : QString()) + m_model->cell(r, c);
        text += QLatin1Char('\n');
    }
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}

bool TrafficMonitor::event(QEvent *e)
{
    // A modal window shown after the monitor blocks it; the monitor then takes its place
    // among the modal windows, blocking nothing itself, so it stays usable.
    // The monitor's own dialogs block it, as they should.
    if (e->type() == QEvent::WindowBlocked && isVisible() && !isUnloading() && !ownModal())
        QTimer::singleShot(0, this, &TrafficMonitor::showUnblocked);
    return Form::event(e);
}

bool TrafficMonitor::ownModal() const
{
    for (QWidget *w = QApplication::activeModalWidget(); w; w = w->parentWidget())
        if (w == this)
            return true;
    return false;
}

void TrafficMonitor::showUnblocked()
{
    if (!isVisible() || isUnloading() || ownModal() || !QApplication::activeModalWidget())
        return;
    const QRect frame = geometry();
    setAttribute(Qt::WA_ShowWithoutActivating, true);
    hide();
    // Window-modal without a parent: on the modal stack, yet blocking no window.
    setWindowModality(Qt::WindowModal);
    setGeometry(frame);
    show();
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    // Shown again, the monitor would lie over the window that just opened: that window stays
    // on top and keeps the keyboard.
    if (QWidget *modal = QApplication::activeModalWidget()) {
        modal->raise();
        modal->activateWindow();
    }
}

namespace monitor {
namespace {

class ShortcutFilter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *e) override
    {
        if (e->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(e);
        const Qt::KeyboardModifiers mods = key->modifiers()
            & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier | Qt::MetaModifier);
        if (key->key() != Qt::Key_T || mods != (Qt::ControlModifier | Qt::ShiftModifier))
            return false;
        // Only in the program's own windows (and the controls inside them).
        for (auto *w = qobject_cast<QWidget *>(watched); w; w = w->parentWidget())
            if (qobject_cast<Form *>(w)) {
                open();
                return true;
            }
        return false;
    }
};

} // namespace

void install()
{
    store();
    CommPort::setCreationHook([](CommPort *port) { store().attach(port); });
    static QPointer<ShortcutFilter> filter;
    if (!filter) {
        filter = new ShortcutFilter(QCoreApplication::instance());
        QCoreApplication::instance()->installEventFilter(filter);
    }
}

TrafficMonitor &open()
{
    TrafficMonitor &w = windows::get<TrafficMonitor>();
    // Under a modal window (the firmware window) a plain window would be blocked.
    QWidget *modal = QApplication::activeModalWidget();
    if (modal && modal != &w && !w.isVisible())
        w.setWindowModality(Qt::WindowModal);
    w.show();
    w.raise();
    w.activateWindow();
    return w;
}

} // namespace monitor
