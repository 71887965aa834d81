// Sonvel's model, engine host and PipeWire backend in this process, on real
// threads, over whichever server the environment points libpipewire at.
#pragma once

#include <expected>
#include <string>

#include "../support/RealTimeEnvironment.hpp"
#include "Sonvel/MixerModel.hpp"
#include "core/PreferencesCodec.hpp"
#include "platform/pipewire/PipeWireAudioSystem.hpp"
#include "platform/pipewire/PipeWireSystemServices.hpp"
#include "support/PipeWireServer.hpp"
#include "tap/SerialQueue.hpp"

namespace sonvel {

// The row of a player's application given the Sound's `name`. The backend
// keys an application by application.id, else by its name: the stream's
// application.name, then the client's, then the binary (see Player).
inline std::string rowKey(pwtest::Player player, const std::string& name = {}) {
    if (!name.empty() && player != pwtest::Player::pwPlay) return name;
    return std::string(pwtest::nodeName(player));
}

struct ModelSession {
    static Preferences atHalf(const std::string& key) {
        Preferences p;
        p.set(AppPreference(0.5, false, key), key);
        return p;
    }

    // Set up as on a machine where setup passed, unless `setUp` is false.
    std::expected<void, std::string> start(Preferences p, bool setUp = true) {
        auto connected = pw::PipeWireAudioSystem::connect();
        if (!connected) return std::unexpected(connected.error());
        hal = *connected;
        const auto services = std::make_shared<pw::PipeWireSystemServices>(hal);
        if (setUp) {
            p.permissionVerifiedAt = std::chrono::system_clock::now();
            p.validation = ValidationRecord{.outcome = ValidationRecord::Outcome::passed,
                                            .osBuild = SystemInfo::osBuild(*services),
                                            .engineRevision = 1};
        }
        store->values[MixerModel::preferencesKey] = PreferencesCodec::encode(p);
        const auto env = testsupport::realTimeEnvironment(hal, services, main, store);
        main->sync([&] {
            model = MixerModel::make(env);
            // As the program does: the applications to hold until their engine.
            const auto tell = [this] { hal->expectApplications(model->applicationsToControl()); };
            tell();
            expecting = model->subscribeToChanges(tell);
        });
        return {};
    }
    void stop() {
        main->sync([&] { expecting.cancel(); });
        if (model) main->sync([&] { model->shutdown(); });
        main->sync([&] { model.reset(); });
        hal.reset();
    }

    template <class Done>
    bool within(std::chrono::milliseconds limit, Done done) {
        return testsupport::within(*main, limit, done, std::chrono::milliseconds(20));
    }
    AppGroupDescriptor row(const std::string& key) {
        AppGroupDescriptor found{key, key};
        main->sync([&] {
            for (const auto& g : model->groups.get()) {
                if (g.key == key) found = {g.key, g.displayName, g.appPath, false, true, true};
            }
        });
        return found;
    }
    void route(std::optional<std::string_view> sink, const std::string& key) {
        main->sync([&] {
            if (!sink) return model->setRoute(std::nullopt, row(key));
            for (const auto& output : model->outputs.get()) {
                if (output.uid == *sink) model->setRoute(output, row(key));
            }
        });
    }

    std::shared_ptr<SerialQueue> main = SerialQueue::make("main");
    std::shared_ptr<testsupport::MemoryStore> store = std::make_shared<testsupport::MemoryStore>();
    std::shared_ptr<pw::PipeWireAudioSystem> hal;
    std::shared_ptr<MixerModel> model;
    Subscription expecting;
};

}  // namespace sonvel
