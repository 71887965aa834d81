#include "tap/CleanupStack.hpp"

#include <optional>
#include <ranges>

#include "tap/Log.hpp"

namespace sonvel {

namespace {

// Whoever runs the stack may have nothing to show a failure to (a failed
// build, a destructor, a hand-over); the log is where it is never lost.
std::optional<CleanupStack::Failure> runLogged(const std::string& label,
                                               const CleanupStack::Action& action) {
    auto result = action();
    if (result) return std::nullopt;
    static const Log::Logger log("cleanup");
    log.error("Cleanup {} failed: {}", label, result.error());
    return CleanupStack::Failure{label, result.error()};
}

}  // namespace

bool CleanupStack::push(std::string label, Action action) {
    {
        const std::lock_guard lock(mutex_);
        if (!hasRun_) {
            entries_.push_back({std::move(label), std::move(action)});
            return true;
        }
    }
    (void)runLogged(label, action);
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
        if (auto failure = runLogged(entry.label, entry.action)) {
            failures.push_back(std::move(*failure));
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
