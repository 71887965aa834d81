#include "Sonvel/views/PanelState.hpp"

#include <algorithm>

#include "Sonvel/views/Symbols.hpp"
#include "core/NameOrder.hpp"

namespace sonvel {

PanelInput PanelInput::of(const MixerModel& model) {
    PanelInput input{model.groups,  model.statuses,    model.preferences, model.output,
                     model.outputs, model.outputPeaks, model.gate(),      model.silenceNotice};
    if (!model.unreadableSettingsDismissed) input.unreadableSettings = model.unreadableSettings;
    input.saveError = model.saveError;
    return input;
}

namespace PanelView {

Descriptors descriptors(const std::vector<AppGroup>& groups, const Preferences& preferences) {
    Descriptors d;
    for (const AppGroup& g : groups) {
        auto& list = g.isRunningOutput ? d.playing : d.others;
        list.push_back({g.key, g.displayName, g.appPath, g.isShared, true, g.isRunningOutput});
    }
    for (const auto& [key, preference] : preferences.apps) {
        if (std::ranges::find(groups, key, &AppGroup::key) != groups.end()) continue;
        d.others.push_back({key, preference.displayName, std::nullopt, false, false, false});
    }
    // Accent-aware rather than plain lower-cased order, so "Écouteurs" sits
    // among the e's where a reader looks for it.
    NameOrder::stableSort(
        d.others, [](const AppGroupDescriptor&) { return 0; },
        [](const AppGroupDescriptor& a) -> const std::string& { return a.name; });
    return d;
}

HeaderState header(const std::optional<OutputContext>& output, const Preferences& preferences,
                   const ControlGate& gate) {
    return {"Default Output: " + (output ? output->name : std::string("none")),
            preferences.isPaused, gate.isReady() || gate.is<ControlGate::Paused>()};
}

std::optional<BannerState> gateBanner(const ControlGate& gate, bool canOpenSetup,
                                      const PanelInput* words) {
    if (gate.isReady()) return std::nullopt;
    BannerState banner;
    banner.title = gate.title();
    banner.detail = gate.detail();
    if (words && gate.is<ControlGate::NeedsPermission>() && !words->needsPermissionDetail.empty()) {
        banner.detail = words->needsPermissionDetail;
    }
    if (words && gate.is<ControlGate::PermissionDenied>() &&
        !words->permissionDeniedDetail.empty()) {
        banner.detail = words->permissionDeniedDetail;
    }
    if (gate.is<ControlGate::Paused>()) {
        banner.symbol = std::string(Symbols::paused);
        banner.symbolRole = Tone::secondary;
        banner.action = BannerState::Action::resume;
        banner.actionTitle = "Resume";
    } else {
        banner.symbol = std::string(Symbols::locked);
        banner.symbolRole = Tone::warning;
        banner.action = BannerState::Action::openSetup;
        banner.actionTitle = "Open Setup…";
        if (!canOpenSetup) {
            banner.actionEnabled = false;
            banner.actionTooltip = setupUnavailable;
        }
    }
    return banner;
}

BannerState silenceBanner(const MixerModel::SilenceNotice& notice) {
    BannerState banner;
    banner.symbol = std::string(Symbols::warning);
    banner.symbolRole = Tone::warning;
    banner.title = silentRowCaption;
    banner.detail = notice.message;
    banner.action = BannerState::Action::pause;
    banner.actionTitle = "Pause";
    return banner;
}

std::vector<BannerState> settingsBanners(const PanelInput& input) {
    std::vector<BannerState> banners;
    const auto warning = [](std::string title, std::string detail, BannerState::Action action,
                            std::string actionTitle) {
        BannerState banner;
        banner.symbol = std::string(Symbols::warning);
        banner.symbolRole = Tone::warning;
        banner.title = std::move(title);
        banner.detail = std::move(detail);
        banner.action = action;
        banner.actionTitle = std::move(actionTitle);
        return banner;
    };
    if (input.saveError) {
        banners.push_back(warning("Changes last only until Sonvel quits", *input.saveError,
                                  BannerState::Action::retrySave, "Try Again"));
    }
    if (input.unreadableSettings) {
        banners.push_back(warning("Your settings could not be read", *input.unreadableSettings,
                                  BannerState::Action::dismiss, "OK"));
    }
    return banners;
}

PanelState panel(const PanelInput& input) {
    PanelState state;
    state.header = header(input.output, input.preferences, input.gate);
    if (auto banner = gateBanner(input.gate, input.canOpenSetup, &input))
        state.banners.push_back(std::move(*banner));
    if (input.silenceNotice) state.banners.push_back(silenceBanner(*input.silenceNotice));
    for (BannerState& banner : settingsBanners(input)) state.banners.push_back(std::move(banner));

    const Descriptors lists = descriptors(input.groups, input.preferences);
    RowView::Context context{input.gate, input.output, input.outputs, false};
    const auto rows = [&](const std::vector<AppGroupDescriptor>& list) {
        std::vector<RowState> result;
        result.reserve(list.size());
        for (const AppGroupDescriptor& d : list) {
            const auto status = input.statuses.find(d.key);
            const auto peak = input.outputPeaks.find(d.key);
            context.silentNotice =
                input.silenceNotice && std::ranges::count(input.silenceNotice->keys, d.key) > 0;
            result.push_back(RowView::row(
                d, status == input.statuses.end() ? std::nullopt : std::optional(status->second),
                input.preferences.preference(d.key),
                peak == input.outputPeaks.end() ? std::nullopt : std::optional(peak->second),
                context));
        }
        return result;
    };
    state.sections.push_back({"Playing now", "No app is playing sound.", rows(lists.playing)});
    if (input.preferences.showIdleApps && !lists.others.empty()) {
        state.sections.push_back({"Other apps", std::nullopt, rows(lists.others)});
    }
    return state;
}

}  // namespace PanelView

}  // namespace sonvel
