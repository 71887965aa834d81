#include "platform/qt/QtMainQueue.hpp"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>

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
    QMetaObject::invokeMethod(context_.get(), work, Qt::BlockingQueuedConnection);
}

void QtMainQueue::after(std::chrono::steady_clock::duration delay, Work work) {
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(delay);
    QTimer::singleShot(milliseconds, context_.get(), std::move(work));
}

bool QtMainQueue::isCurrent() const {
    return QThread::currentThread() == context_->thread();
}

}  // namespace sonvel
