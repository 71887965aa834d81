// Connecting, the first picture of the server, and letting go of it.

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/pipewire/PipeWireState.hpp"

namespace sonvel::pw {

using State = PipeWireAudioSystem::State;

std::expected<std::shared_ptr<PipeWireAudioSystem>, std::string> PipeWireAudioSystem::connect(
    Options options) {
    pw_init(nullptr, nullptr);
    auto state = std::make_unique<State>();
    state->options = std::move(options);
    state->ownPID = ::getpid();
    state->journal =
        RoutingJournal::open(state->options.routingJournal.empty() ? RoutingJournal::defaultPath()
                                                                   : state->options.routingJournal);
    if (!state->journal->warning().empty()) {
        fmt::print(stderr, "sonvel: {}\n", state->journal->warning());
    }
    state->loop = pw_thread_loop_new("sonvel-pipewire", nullptr);
    if (!state->loop) return std::unexpected("PipeWire's event loop could not be made.");
    // The real-time configuration gives our stream thread the scheduling the
    // server's own clients get (SCHED_FIFO through RLIMIT_RTPRIO or rtkit);
    // under the plain one it stays SCHED_OTHER and misses cycles under load.
    state->context =
        pw_context_new(pw_thread_loop_get_loop(state->loop),
                       pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (!state->context) {
        pw_thread_loop_destroy(state->loop);
        return std::unexpected("PipeWire's context could not be made.");
    }
    std::shared_ptr<PipeWireAudioSystem> system(new PipeWireAudioSystem(std::move(state)));
    State& s = *system->state_;
    if (pw_thread_loop_start(s.loop) < 0) {
        return std::unexpected("PipeWire's event loop could not be started.");
    }
    {
        const LoopLock lock(s.loop);
        if (!s.connectCore()) {
            return std::unexpected(
                fmt::format("No PipeWire server answers here ({}).", std::strerror(errno)));
        }
    }
    // The first picture: the registry, then each bound object's info.
    const LoopLock lock(s.loop);
    if (!s.roundTrip(s.options.connectTimeout) || !s.roundTrip(s.options.connectTimeout)) {
        return std::unexpected("The PipeWire server did not answer in time.");
    }
    return system;
}

PipeWireAudioSystem::~PipeWireAudioSystem() {
    State& s = *state_;
    pw_thread_loop_lock(s.loop);
    s.closing = true;  // no reconnecting while the loop winds down
    for (auto& listener : s.listeners) listener->retire();
    if (s.connected) {
        // Give every application back, and make sure the server heard it,
        // before our streams go.
        for (auto& [id, tap] : s.taps) s.release(id);
        s.restoreLowered(true);
        (void)s.roundTrip(std::chrono::milliseconds(500));
        s.disconnectCore();
    }
    pw_thread_loop_unlock(s.loop);
    pw_thread_loop_stop(s.loop);
    if (s.reconnectTimer) pw_loop_destroy_source(pw_thread_loop_get_loop(s.loop), s.reconnectTimer);
    if (s.lowerTimer) pw_loop_destroy_source(pw_thread_loop_get_loop(s.loop), s.lowerTimer);
    if (s.metadataTimer) pw_loop_destroy_source(pw_thread_loop_get_loop(s.loop), s.metadataTimer);
    pw_context_destroy(s.context);
    pw_thread_loop_destroy(s.loop);
}

bool PipeWireAudioSystem::isConnected() const {
    const LoopLock lock(state_->loop);
    return state_->connected && state_->synced;
}

void PipeWireAudioSystem::expectApplications(std::map<std::string, float> gains) {
    const LoopLock lock(state_->loop);
    state_->expected = std::move(gains);
}

std::vector<PipeWireAudioSystem::Application> PipeWireAudioSystem::applications() const {
    const LoopLock lock(state_->loop);
    std::vector<Application> out;
    for (const auto& [pid, id] : state_->processIDs) {
        if (const auto app = state_->applicationOf(pid)) out.push_back(*app);
    }
    return out;
}

PipeWireAudioSystem::Versions PipeWireAudioSystem::versions() const {
    const LoopLock lock(state_->loop);
    Versions out{state_->serverVersion, -1, {}};
    for (const auto& [id, client] : state_->clients) {
        if (client->sessionManager && client->pid > 0) {
            out.sessionManager = client->pid;
            out.sessionManagerVersion = client->version;
            break;
        }
    }
    return out;
}

}  // namespace sonvel::pw
