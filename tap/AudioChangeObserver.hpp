#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "tap/AudioHardware.hpp"
#include "tap/DispatchQueue.hpp"

namespace sonvel {

// Listens for the changes that make the audio world worth looking at again,
// folds each burst into one set, and delivers it on the main queue at most
// once per 100 ms window.
class AudioChangeObserver : public std::enable_shared_from_this<AudioChangeObserver> {
  public:
    enum class Change {
        defaultOutputDevice,
        deviceList,
        processList,
        processActivity,
        serviceRestarted
    };
    using OnChange = std::function<void(const std::set<Change>&)>;

    static constexpr const char* queueLabel = "app.velmorra.quillaster.hal-observer";
    static constexpr std::chrono::milliseconds window{100};

    // `queue` is where listeners, bookkeeping and coalescing run; by default a
    // serial queue of its own.
    static std::shared_ptr<AudioChangeObserver> make(
        std::shared_ptr<AudioHardware> hal, std::shared_ptr<DispatchQueue> mainQueue,
        OnChange onChange, std::shared_ptr<DispatchQueue> queue = nullptr);
    // Removes every listener it registered.
    ~AudioChangeObserver();
    AudioChangeObserver(const AudioChangeObserver&) = delete;
    AudioChangeObserver& operator=(const AudioChangeObserver&) = delete;

    // Brings the per-process listeners in line with the process list (async).
    void refreshProcessListeners();

    [[nodiscard]] std::size_t processListenerCount() const;

  private:
    struct Registration {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        ListenerBlock block;
    };

    AudioChangeObserver(std::shared_ptr<AudioHardware> hal,
                        std::shared_ptr<DispatchQueue> mainQueue, OnChange onChange,
                        std::shared_ptr<DispatchQueue> queue);
    std::optional<Registration> listen(AudioObjectID object, AudioObjectPropertyAddress address,
                                       Change change);
    void note(Change change);
    void flush();
    void refreshNow();

    std::shared_ptr<AudioHardware> hal_;
    std::shared_ptr<DispatchQueue> mainQueue_;
    OnChange onChange_;
    std::shared_ptr<DispatchQueue> queue_;
    // Touched only on `queue_`.
    std::set<Change> pending_;
    bool flushScheduled_ = false;
    std::vector<Registration> systemListeners_;
    std::map<AudioObjectID, std::vector<Registration>> processListeners_;
};

}  // namespace sonvel
