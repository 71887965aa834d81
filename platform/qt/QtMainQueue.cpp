#include "platform/qt/QtMainQueue.hpp"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <future>

namespace sonvel {

QtMainQueue::QtMainQueue() : context_(std::make_unique<QObject>()) {
    if (QCoreApplication::instance())
        context_->moveToThread(QCoreApplication::instance()->thread());
}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::async(Work work) {
    QMetaObject::invokeMethod(context_.get(), std::move(work), Qt::QueuedConnection);
}

void QtMainQueue::sync(const Work& work) {
    if (isCurrent()) {
        work();
        return;
    }
    // A promise rather than Qt's blocking connection, so the hand-over between
    // the two threads is visible to the race detector too.
    std::promise<void> done;
    async([&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

void QtMainQueue::after(std::chrono::steady_clock::duration delay, Work work) {
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(delay);
    QTimer::singleShot(milliseconds, context_.get(), std::move(work));
}

bool QtMainQueue::isCurrent() const {
    return QThread::currentThread() == context_->thread();
}

}  // namespace sonvel
