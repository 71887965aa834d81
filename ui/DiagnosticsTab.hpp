#pragma once

#include <QWidget>
#include <chrono>
#include <memory>

#include "Sonvel/views/DiagnosticsState.hpp"

class QFormLayout;
class QTimer;

namespace sonvel {

class MixerModel;

// The settings window's Diagnostics tab: the validation state and one section
// per running engine. Rebuilt on every model change and once a minute, since
// an engine's counters grow without the model reporting a change. Main
// thread only.
class DiagnosticsTab final : public QWidget {
  public:
    static constexpr std::chrono::minutes rebuildInterval{1};

    DiagnosticsTab(std::shared_ptr<MixerModel> model, PlatformWording wording, QWidget* parent);

    void rebuild();

    [[nodiscard]] const DiagnosticsState& state() const { return state_; }
    [[nodiscard]] QTimer* minuteTimer() const { return timer_; }
    // The value shown beside a label, the first match from the top; empty
    // when there is none. Sections are searched after the summary rows.
    [[nodiscard]] QString value(const QString& label, const QString& section = {}) const;

  private:
    std::shared_ptr<MixerModel> model_;
    PlatformWording wording_;
    DiagnosticsState state_;
    bool built_ = false;
    QFormLayout* form_;
    QTimer* timer_;
};

}  // namespace sonvel
