#include "monitor/trafficmonitor.h"

#include "app/platform.h"
#include "link/commport.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QString kWriteError = QStringLiteral("Error Writing File: ");
const QString kCsvFilter = QStringLiteral("CSV files (*.csv)");

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

    grdTraffic = new QTableView(this);
    grdTraffic->setObjectName("grdTraffic");
    grdTraffic->setAccessibleName(QStringLiteral("Traffic"));
    grdTraffic->setModel(m_model);
    grdTraffic->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdTraffic->setSelectionMode(QAbstractItemView::ExtendedSelection);
    grdTraffic->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdTraffic->setWordWrap(false);
    grdTraffic->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    grdTraffic->verticalHeader()->hide();
    grdTraffic->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grdTraffic->verticalHeader()->setDefaultSectionSize(grdTraffic->fontMetrics().height() + 4);
    grdTraffic->horizontalHeader()->setStretchLastSection(true);
    const int widths[] = {100, 60, 60, 36, 260, 200};
    for (int c = 0; c < int(std::size(widths)); ++c)
        grdTraffic->setColumnWidth(c, widths[c]);

    auto *copy = new QAction(QStringLiteral("Copy"), grdTraffic);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, &TrafficMonitor::copySelection);
    grdTraffic->addAction(copy);
    grdTraffic->setContextMenuPolicy(Qt::ActionsContextMenu);

    lblStatus = new QLabel(this);
    lblStatus->setObjectName("lblStatus");
    lblStatus->setAccessibleName(QStringLiteral("Status"));

    auto *bar = new QHBoxLayout;
    for (QPushButton *b : {cmdPause, cmdClear, cmdSave, cmdLog})
        bar->addWidget(b);
    bar->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(grdTraffic, 1);
    layout->addWidget(lblStatus);
    resize(1000, 420);

    // Follow the newest row unless the operator has scrolled away from it.
    QScrollBar *scroll = grdTraffic->verticalScrollBar();
    connect(m_model, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this, scroll] { m_follow = scroll->value() >= scroll->maximum(); });
    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this] {
        if (m_follow)
            grdTraffic->scrollToBottom();
    });
    connect(m_model, &monitor::TrafficModel::synced, this, &TrafficMonitor::updateStatus);
    connect(&monitor::store(), &monitor::TrafficStore::loggingChanged, this, [this](bool on) {
        cmdLog->setText(on ? QStringLiteral("Stop Log") : QStringLiteral("Log to File..."));
    });
    connect(&monitor::store(), &monitor::TrafficStore::logFailed, this,
            [this](const QString &path) { platform::message(this, {kWriteError + path, QMessageBox::Warning}); });
    m_model->sync();
    grdTraffic->scrollToBottom();
}

void TrafficMonitor::updateStatus()
{
    const monitor::TrafficStore &s = m_model->store();
    lblStatus->setText(QStringLiteral("%1 rows, %2 dropped").arg(s.count()).arg(s.dropped()));
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
    platform::FileDialogRequest request;
    request.kind = platform::FileDialogRequest::Save;
    request.title = QStringLiteral("Save Traffic");
    request.filter = kCsvFilter;
    request.confirmOverwrite = true;
    QPointer<TrafficMonitor> self(this);
    const auto path = platform::fileDialog(this, request);
    if (!self || !path || path->isEmpty())
        return;
    // The rows as the table shows them.
    QFile file(*path);
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(monitor::TrafficStore::csvHeader()) >= 0;
    for (int r = 0; ok && r < m_model->rowCount(); ++r)
        ok = file.write(m_model->store().csvRecord(m_model->rowAt(r))) >= 0;
    file.close();
    if (!ok || file.error() != QFileDevice::NoError)
        platform::message(this, {kWriteError + *path, QMessageBox::Warning});
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
    if (e->type() == QEvent::WindowBlocked && isVisible() && !isUnloading())
        QTimer::singleShot(0, this, &TrafficMonitor::showUnblocked);
    return Form::event(e);
}

void TrafficMonitor::showUnblocked()
{
    if (!isVisible() || isUnloading())
        return;
    const QRect frame = geometry();
    setAttribute(Qt::WA_ShowWithoutActivating, true);
    hide();
    // Window-modal without a parent: on the modal stack, yet blocking no window.
    setWindowModality(Qt::WindowModal);
    setGeometry(frame);
    show();
    setAttribute(Qt::WA_ShowWithoutActivating, false);
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
