// Compiled into the start-up twins only: reports the moment the first window
// has been painted, quits, and reports the process's peak resident memory on
// the way out. Reports go to the file descriptor named by VELMORA_PROBE_FD,
// else to standard output, one "key value" line each.

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

void Report(const std::string &line)
{
    const QByteArray fdText = qgetenv("VELMORA_PROBE_FD");
    bool ok = false;
    const int fd = fdText.toInt(&ok);
    const std::string text = line + '\n';
    if (ok && fd >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
    } else {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
}

// The kernel's high-water mark of this process's own memory; unlike the
// parent's rusage it carries nothing over from the process that launched it.
void ReportPeakMemory()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            long kib = 0;
            status >> kib;
            Report("peak_rss_kib " + std::to_string(kib));
            return;
        }
        status.ignore(1 << 16, '\n');
    }
}

class FirstPaintProbe : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_seen && event->type() == QEvent::Paint) {
            const auto *widget = qobject_cast<QWidget *>(watched);
            if (widget && widget->isWindow()) {
                m_seen = true;
                // Queued, so the report comes once the paint has been handled.
                QMetaObject::invokeMethod(
                    this,
                    [] {
                        const auto now = std::chrono::steady_clock::now().time_since_epoch();
                        Report("first_paint_ns " + std::to_string(now.count()));
                        QCoreApplication::quit();
                    },
                    Qt::QueuedConnection);
            }
        }
        return false;
    }

private:
    bool m_seen = false;
};

void InstallProbe()
{
    auto *app = QCoreApplication::instance();
    app->installEventFilter(new FirstPaintProbe(app));
    std::atexit(ReportPeakMemory);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(InstallProbe)
