#include "WaitMessage.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <memory>
#include <mutex>

namespace velmora {

namespace {

const QEvent::Type WakeEventType = QEvent::Type(QEvent::registerEventType());

// Shared between the UI thread and the engines' threads; outlives both.
struct WakeChannel
{
    std::mutex mutex;
    QObject *receiver = nullptr;  // guarded by mutex; null once the application is gone
    std::atomic<bool> pending{false};
};

class WakeReceiver : public QObject
{
public:
    WakeReceiver(std::shared_ptr<WakeChannel> channel, QObject *parent)
        : QObject(parent), m_channel(std::move(channel))
    {
        const std::lock_guard lock(m_channel->mutex);
        m_channel->receiver = this;
        m_channel->pending.store(false);  // a wake lost with an earlier application
    }

    ~WakeReceiver() override
    {
        const std::lock_guard lock(m_channel->mutex);
        m_channel->receiver = nullptr;
    }

    bool event(QEvent *event) override
    {
        if (event->type() != WakeEventType)
            return QObject::event(event);
        // Cleared before the waiter looks at the engine, so a change after
        // this point posts a new wake.
        m_channel->pending.store(false);
        return true;
    }

private:
    std::shared_ptr<WakeChannel> m_channel;
};

std::shared_ptr<WakeChannel> Channel()
{
    static const auto channel = std::make_shared<WakeChannel>();
    static QPointer<QObject> receiver;
    if (!receiver && QCoreApplication::instance())
        receiver = new WakeReceiver(channel, QCoreApplication::instance());
    return channel;
}

}  // namespace

void WaitMessage()
{
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void DoEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

WakeCallback EngineWakeCallback()
{
    return [channel = Channel()] {
        if (channel->pending.exchange(true))
            return;  // a wake is already on its way
        const std::lock_guard lock(channel->mutex);
        if (channel->receiver)
            QCoreApplication::postEvent(channel->receiver, new QEvent(WakeEventType));
    };
}

}  // namespace velmora
