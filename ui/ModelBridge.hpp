#pragma once

#include <QObject>

#include "Sonvel/MixerModel.hpp"

namespace sonvel {

// Turns the model's coalesced change notification into a Qt signal. The
// subscription ends with the bridge, so a view that is gone is never called.
// Main thread only.
class ModelBridge final : public QObject {
    Q_OBJECT
  public:
    ModelBridge(MixerModel& model, QObject* parent);

  signals:
    void changed();

  private:
    Subscription subscription_;
};

}  // namespace sonvel
