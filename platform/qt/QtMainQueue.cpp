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
    {
        const std::lock_guard lock(pendingMutex_);
        pending_.push_back(std::move(work));
    }
    QMetaObject::invokeMethod(
        context_.get(), [this] { runNext(); }, Qt::QueuedConnection);
}

void QtMainQueue::runNext() {
    Work work;
    {
        const std::lock_guard lock(pendingMutex_);
        if (pending_.empty()) return;
        work = std::move(pending_.front());
        pending_.pop_front();
    }
    work();
}

void QtMainQueue::sync(const Work& work) {
    if (isCurrent()) {
        work();
        return;
    }
    // A promise rather than Qt's blocking connection, so the hand-back is
    // visible to the race detector too.
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
