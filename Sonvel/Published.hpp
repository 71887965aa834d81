#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace sonvel {

// Keeps one subscription alive; destroying it (or calling `cancel`)
// unsubscribes, so a view that is gone is never called again, even from the
// middle of a notification already under way. Safe to outlive what it
// subscribed to.
class Subscription {
  public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            cancel();
            cancel_ = std::exchange(other.cancel_, {});
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { cancel(); }

    void cancel() {
        if (auto c = std::exchange(cancel_, {})) c();
    }

  private:
    std::function<void()> cancel_;
};

// Observers in subscription order. An observer cancelled while a
// notification runs is skipped; one added then waits for the next.
// Main-thread only, like everything it is used by.
template <class... Args>
class ObserverList {
  public:
    using Observer = std::function<void(const Args&...)>;

    [[nodiscard]] Subscription add(Observer observer) {
        const std::uint64_t id = block_->next++;
        block_->observers.emplace(id, std::make_shared<Observer>(std::move(observer)));
        return Subscription([weak = std::weak_ptr(block_), id] {
            if (const auto block = weak.lock()) block->observers.erase(id);
        });
    }

    void notify(const Args&... args) const {
        std::vector<std::pair<std::uint64_t, std::shared_ptr<Observer>>> now(
            block_->observers.begin(), block_->observers.end());
        for (const auto& [id, observer] : now) {
            if (block_->observers.contains(id)) (*observer)(args...);
        }
    }

    [[nodiscard]] bool empty() const { return block_->observers.empty(); }

  private:
    struct Block {
        std::uint64_t next = 0;
        std::map<std::uint64_t, std::shared_ptr<Observer>> observers;
    };
    std::shared_ptr<Block> block_ = std::make_shared<Block>();
};

// Observable state: setting a value notifies subscribers only when it really
// changed, so views are not redrawn needlessly. Main-thread only; observers
// run synchronously inside `set`, after the new value is in place.
template <class T>
class Published {
  public:
    using Observer = std::function<void(const T&)>;

    Published() = default;
    explicit Published(T initial) : value_(std::move(initial)) {}

    [[nodiscard]] const T& get() const { return value_; }
    operator const T&() const { return value_; }  // NOLINT(google-explicit-constructor)
    const T* operator->() const { return &value_; }

    // True when the value changed (and observers were told).
    bool set(T value) {
        if (value == value_) return false;
        value_ = std::move(value);
        observers_.notify(value_);
        return true;
    }

    [[nodiscard]] Subscription subscribe(Observer observer) {
        return observers_.add(std::move(observer));
    }

  private:
    T value_{};
    ObserverList<T> observers_;
};

}  // namespace sonvel
