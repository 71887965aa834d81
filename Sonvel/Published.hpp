#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace sonvel {

// Observable state: setting a value notifies subscribers only when it really
// changed, so views are not redrawn needlessly.
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
        for (const Observer& observer : observers_) observer(value_);
        return true;
    }

    void subscribe(Observer observer) { observers_.push_back(std::move(observer)); }

  private:
    T value_{};
    std::vector<Observer> observers_;
};

}  // namespace sonvel
