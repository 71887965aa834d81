#include "core/EnginePlanner.hpp"

#include <ranges>

namespace sonvel::EnginePlanner {

namespace {

// Running keys that no desired spec names, ascending.
template <class Keys>
void appendDestroys(const Keys& runningKeys, const std::vector<EngineSpec>& desired,
                    std::vector<EngineAction>& plan) {
    std::set<std::string> wanted;
    for (const EngineSpec& spec : desired) wanted.insert(spec.key);
    for (const std::string& key : runningKeys) {
        if (!wanted.contains(key)) plan.emplace_back(EngineAction::Destroy{key});
    }
}

}  // namespace

std::vector<EngineAction> actions(const std::map<std::string, Running>& running,
                                  const std::vector<EngineSpec>& desired) {
    std::vector<EngineAction> plan;
    appendDestroys(std::views::keys(running), desired, plan);
    std::vector<EngineAction> gains;
    for (const EngineSpec& spec : desired) {
        const auto current = running.find(spec.key);
        if (current == running.end()) {
            plan.emplace_back(EngineAction::Create{spec});
        } else if (current->second.topology != spec.topology) {
            plan.emplace_back(EngineAction::Rebuild{spec});
        } else if (current->second.gain != spec.gain) {
            gains.emplace_back(EngineAction::UpdateGain{spec.key, spec.gain});
        }
    }
    plan.insert(plan.end(), gains.begin(), gains.end());
    return plan;
}

std::vector<EngineAction> resetActions(const std::set<std::string>& runningKeys,
                                       const std::vector<EngineSpec>& desired) {
    std::vector<EngineAction> plan;
    appendDestroys(runningKeys, desired, plan);
    for (const EngineSpec& spec : desired) {
        if (runningKeys.contains(spec.key)) plan.emplace_back(EngineAction::Handover{spec});
    }
    for (const EngineSpec& spec : desired) {
        if (!runningKeys.contains(spec.key)) plan.emplace_back(EngineAction::Create{spec});
    }
    return plan;
}

}  // namespace sonvel::EnginePlanner
