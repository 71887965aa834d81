#include "tap/SerialQueue.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <future>

namespace sonvel {

struct SerialQueue::Loop {
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> work =
        asio::make_work_guard(context);
    std::thread::id threadID;
};

std::shared_ptr<SerialQueue> SerialQueue::make(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), loop_(std::make_shared<Loop>()) {
    std::promise<void> started;
    thread_ = std::thread([loop = loop_, &started] {
        loop->threadID = std::this_thread::get_id();
        started.set_value();
        loop->context.run();
    });
    started.get_future().wait();
}

SerialQueue::~SerialQueue() {
    loop_->work.reset();
    loop_->context.stop();
    if (thread_.joinable()) {
        if (isCurrent()) {
            thread_.detach();  // destroyed by its own last piece of work
        } else {
            thread_.join();
        }
    }
}

void SerialQueue::async(Work work) {
    asio::post(loop_->context, std::move(work));
}

void SerialQueue::sync(const Work& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    asio::post(loop_->context, [&] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    done.get_future().get();
}

void SerialQueue::after(std::chrono::steady_clock::duration delay, Work work) {
    auto timer = std::make_shared<asio::steady_timer>(loop_->context, delay);
    timer->async_wait([timer, work = std::move(work)](const std::error_code& error) {
        if (!error) work();
    });
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == loop_->threadID;
}

}  // namespace sonvel
