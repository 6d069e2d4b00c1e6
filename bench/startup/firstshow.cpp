// Linked into a program for the start-up benchmark: once the program's first window has been
// exposed (and so painted), the program ends at once with status 0, skipping its teardown, so
// the time from its start to its end is the time to its first window shown.
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>

#include <cstdlib>

namespace {

class FirstShow final : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && watched->isWindowType()
            && static_cast<QWindow *>(watched)->isExposed()) {
            QCoreApplication::instance()->removeEventFilter(this);
            // The window paints while the expose is delivered; end right after.
            QTimer::singleShot(0, [] { std::_Exit(0); });
        }
        return false;
    }
};

void install()
{
    QCoreApplication::instance()->installEventFilter(new FirstShow);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(install)
