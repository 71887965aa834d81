#include "ui/ModelBridge.hpp"

namespace sonvel {

ModelBridge::ModelBridge(MixerModel& model, QObject* parent)
    : QObject(parent), subscription_(model.subscribeToChanges([this] { emit changed(); })) {}

}  // namespace sonvel
