#pragma once

#include <expected>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sonvel {

// The ledger of everything an engine or probe created: each resource is
// pushed with a labelled undo action right after it is created, and one run
// releases them all, newest first, collecting failures instead of stopping.
// Once run (or discarded) the stack stays closed, and anything pushed later
// is released at once. Every failure is also logged with its label.
class CleanupStack {
  public:
    // Fails with the error's description.
    using Action = std::function<std::expected<void, std::string>()>;

    struct Failure {
        std::string label;
        std::string message;

        bool operator==(const Failure&) const = default;
    };

    CleanupStack() = default;
    CleanupStack(const CleanupStack&) = delete;
    CleanupStack& operator=(const CleanupStack&) = delete;

    // False when the stack had already run: the action then ran immediately.
    bool push(std::string label, Action action);
    std::vector<Failure> runAll();
    // For resources that no longer exist: forgets them without running them.
    std::vector<std::string> discardAll();

    [[nodiscard]] bool hasRun() const;
    [[nodiscard]] std::vector<std::string> pendingLabels() const;

  private:
    struct Entry {
        std::string label;
        Action action;
    };

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    bool hasRun_ = false;
};

}  // namespace sonvel
