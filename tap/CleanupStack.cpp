#include "tap/CleanupStack.hpp"

#include <ranges>

namespace sonvel {

bool CleanupStack::push(std::string label, Action action) {
    {
        const std::lock_guard lock(mutex_);
        if (!hasRun_) {
            entries_.push_back({std::move(label), std::move(action)});
            return true;
        }
    }
    (void)action();
    return false;
}

std::vector<CleanupStack::Failure> CleanupStack::runAll() {
    std::vector<Entry> taken;
    {
        const std::lock_guard lock(mutex_);
        hasRun_ = true;
        taken.swap(entries_);
    }
    std::vector<Failure> failures;
    for (Entry& entry : std::views::reverse(taken)) {
        if (auto result = entry.action(); !result) {
            failures.push_back({entry.label, result.error()});
        }
    }
    return failures;
}

std::vector<std::string> CleanupStack::discardAll() {
    std::vector<Entry> taken;
    {
        const std::lock_guard lock(mutex_);
        hasRun_ = true;
        taken.swap(entries_);
    }
    std::vector<std::string> labels;
    for (Entry& entry : taken) labels.push_back(std::move(entry.label));
    return labels;
}

bool CleanupStack::hasRun() const {
    const std::lock_guard lock(mutex_);
    return hasRun_;
}

std::vector<std::string> CleanupStack::pendingLabels() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> labels;
    for (const Entry& entry : entries_) labels.push_back(entry.label);
    return labels;
}

}  // namespace sonvel
