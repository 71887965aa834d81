// One application held at 50% through every change in support/Transitions.hpp
// must never be heard above its stored level for longer than one graph cycle
// (1024 frames at 48 kHz, 21.3 ms: 30 ms in whole windows), nor lost while it
// plays.

#include <iostream>
#include <sstream>

#include "support/ModelFixture.hpp"
#include "support/Transitions.hpp"

namespace sonvel {
namespace {

using PipeWireTransitionsTest = PipeWireModelFixture;
using pwtest::Transitions;

constexpr double cycleMs = 30;
// Silence usually lasts one cycle, two to four when streams change engines:
// the session manager relinks a moved stream with a cycle between, and the
// new engine's IO thread can only tell the old one has lost the application
// (not shared it) one cycle later. The bounds sit a few windows above what
// fresh clones measure, so a stream lost for longer (once 2.3 s) cannot pass;
// the figures per run are printed. Louder than the level: never over one cycle.
constexpr double silenceMs = 80, joinsMs = 120;
// A joining stream is lowered by its own volume until its engine takes it;
// a client or the session manager setting that volume as the stream starts
// can win the race for up to about 110 ms (seen in a fresh clone, not here).
// That is an open fault, bounded by `joinsMs` so it cannot grow unseen.
bool joins(const std::string& scenario) {
    return scenario.find("joins") != std::string::npos ||
           scenario.find("instance") != std::string::npos;
}

TEST_F(PipeWireTransitionsTest, NoChangeIsHeardLouderThanItsLevelOrGoesSilent) {
    startSonvel(atHalf(Transitions::key()));
    Transitions transitions(*server, this);
    for (const auto& scenario : Transitions::scenarios()) {
        std::ostringstream figures;
        double above = 0, silent = 0;
        for (int run = 0; run < 3; ++run) {
            const auto f = transitions.run(scenario);
            if (!f) {
                ADD_FAILURE() << scenario.name << ": " << f.error();
                continue;
            }
            above = std::max(above, f->aboveMs);
            silent = std::max(silent, f->silentMs);
            figures << " " << f->aboveMs << "/" << f->silentMs;
        }
        std::cout << scenario.name << ", ms above/silent per run:" << figures.str() << "\n";
        RecordProperty(scenario.name, figures.str());
        EXPECT_LE(above, joins(scenario.name) ? joinsMs : cycleMs)
            << scenario.name << " was heard louder for " << above << " ms";
        EXPECT_LE(silent, joins(scenario.name) ? joinsMs : silenceMs)
            << scenario.name << " was silent for " << silent << " ms";
    }
}

}  // namespace
}  // namespace sonvel
