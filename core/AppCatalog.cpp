#include "core/AppCatalog.hpp"

#include <algorithm>
#include <map>

#include "core/NameOrder.hpp"

namespace sonvel {

namespace ProcessOwnerResolver {

ProcessRecord record(const ProcessFacts& facts, const BundleLookup& bundleAt,
                     const RegularAppCheck& isRegularAppRunning) {
    std::optional<std::string> appPath;
    if (facts.launchServicesBundlePath) {
        // Where the registry names a path that is no bundle (Linux has none),
        // that path is the application's.
        appPath = AppCatalog::outermostAppPath(*facts.launchServicesBundlePath)
                      .value_or(*facts.launchServicesBundlePath);
    }
    if (!appPath && facts.executablePath) {
        appPath = AppCatalog::outermostAppPath(*facts.executablePath);
    }
    const std::optional<BundleFacts> bundle = appPath ? bundleAt(*appPath) : std::nullopt;

    std::optional<std::string> appBundleID;
    if (bundle && bundle->bundleID) {
        appBundleID = bundle->bundleID;
    } else if (facts.bundleID) {
        std::string parent = AppCatalog::helperParentKey(*facts.bundleID);
        if (parent != *facts.bundleID && isRegularAppRunning(parent)) {
            appBundleID = std::move(parent);
        }
    }

    ProcessRecord result;
    result.objectID = facts.objectID;
    result.pid = facts.pid;
    result.bundleID = facts.bundleID;
    result.isRunningOutput = facts.isRunningOutput;
    result.outputDeviceIDs = facts.outputDeviceIDs;
    result.isUserApp =
        facts.launchServicesIsRegular || (appBundleID && isRegularAppRunning(*appBundleID));
    result.appName = bundle ? std::optional<std::string>(bundle->name) : facts.launchServicesName;
    result.appBundleID = std::move(appBundleID);
    result.appPath = std::move(appPath);
    return result;
}

}  // namespace ProcessOwnerResolver

namespace AppCatalog {

std::string helperParentKey(std::string_view bundleID) {
    std::vector<std::string_view> components;
    for (std::size_t start = 0; start <= bundleID.size();) {
        const std::size_t dot = std::min(bundleID.find('.', start), bundleID.size());
        if (dot > start) components.push_back(bundleID.substr(start, dot - start));
        start = dot + 1;
    }
    const auto helper = std::ranges::find_if(components, [](std::string_view component) {
        return NameOrder::lowercased(component).starts_with("helper");
    });
    if (helper == components.end() || helper == components.begin()) return std::string(bundleID);
    std::string parent;
    for (auto it = components.begin(); it != helper; ++it) {
        if (!parent.empty()) parent += '.';
        parent += *it;
    }
    return parent;
}

std::optional<std::string> outermostAppPath(std::string_view path) {
    if (const std::size_t at = path.find(".app/"); at != std::string_view::npos) {
        return std::string(path.substr(0, at + 4));
    }
    if (path.ends_with(".app")) return std::string(path);
    return std::nullopt;
}

std::vector<AppGroup> groups(const std::vector<ProcessRecord>& records, ProcessID ownPID) {
    std::map<std::string, AppGroup> byKey;
    std::vector<std::string> order;
    for (const ProcessRecord& record : records) {
        if (!record.bundleID || record.bundleID->empty() || record.pid == ownPID) continue;
        const std::string& bundleID = *record.bundleID;

        AppGroup fresh;
        if (bundleID.starts_with(webContentPrefix)) {
            fresh.key = sharedWebKitKey;
            fresh.displayName = sharedWebKitName;
            fresh.isShared = true;
        } else if (!record.isUserApp) {
            continue;
        } else {
            fresh.key = record.appBundleID.value_or(helperParentKey(bundleID));
            fresh.displayName = record.appName.value_or(fresh.key);
            fresh.appPath = record.appPath;
        }

        auto [slot, created] = byKey.try_emplace(fresh.key, fresh);
        if (created) order.push_back(fresh.key);
        AppGroup& group = slot->second;
        group.processObjectIDs.push_back(record.objectID);
        group.pids.push_back(record.pid);
        group.isRunningOutput = group.isRunningOutput || record.isRunningOutput;
        group.outputDeviceIDs.insert(record.outputDeviceIDs.begin(), record.outputDeviceIDs.end());
        // The main process names its group even when a helper was seen first.
        if (bundleID == group.key && record.appName) group.displayName = *record.appName;
    }

    std::vector<AppGroup> result;
    result.reserve(order.size());
    for (const std::string& key : order) {
        AppGroup& group = byKey.at(key);
        std::ranges::sort(group.processObjectIDs);
        std::ranges::sort(group.pids);
        result.push_back(std::move(group));
    }
    // Playing groups first.
    NameOrder::stableSort(
        result, [](const AppGroup& g) { return g.isRunningOutput ? 0 : 1; },
        [](const AppGroup& g) -> const std::string& { return g.displayName; });
    return result;
}

}  // namespace AppCatalog

}  // namespace sonvel
