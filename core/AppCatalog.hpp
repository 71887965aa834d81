#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/AppGroup.hpp"
#include "core/ProcessFacts.hpp"
#include "core/ProcessRecord.hpp"

namespace sonvel {

// Decides which application owns one audio process. Platform lookups come in
// as functions so that the decision itself stays pure.
namespace ProcessOwnerResolver {

using BundleLookup = std::function<std::optional<BundleFacts>(const std::string& bundlePath)>;
using RegularAppCheck = std::function<bool(const std::string& bundleID)>;

ProcessRecord record(const ProcessFacts& facts, const BundleLookup& bundleAt,
                     const RegularAppCheck& isRegularAppRunning);

}  // namespace ProcessOwnerResolver

// Folds one snapshot's processes into applications, in display order.
namespace AppCatalog {

inline constexpr std::string_view sharedWebKitKey = "com.apple.WebKit";
inline constexpr std::string_view sharedWebKitName = "Safari & other web views";
inline constexpr std::string_view webContentPrefix = "com.apple.WebKit.";

// Playing groups first, then by display name in a locale-aware order.
std::vector<AppGroup> groups(const std::vector<ProcessRecord>& records, ProcessID ownPID);

// The bundle identifier a helper belongs to: everything before the first
// component that begins with "helper" (in any case), unless that is the first.
std::string helperParentKey(std::string_view bundleID);

// The outermost application bundle in a path, so a helper application nested
// inside another application's bundle resolves to the outer one.
std::optional<std::string> outermostAppPath(std::string_view path);

}  // namespace AppCatalog

}  // namespace sonvel
