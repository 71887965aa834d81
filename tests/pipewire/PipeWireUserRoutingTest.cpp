// Where the user sends a stream themselves (here with pactl, as a mixer
// would), their choice wins over Sonvel's level, and the row says so.

#include <cstdio>
#include <cstring>

#include "support/ModelFixture.hpp"

namespace sonvel {
namespace {

using namespace std::chrono_literals;
using pwtest::kSinkA;
using pwtest::kSinkB;
using PipeWireUserRoutingTest = PipeWireModelFixture;

bool playsElsewhere(MixerModel& model, const std::string& key) {
    const auto status = model.statuses.get().find(key);
    return status != model.statuses.get().end() &&
           status->second ==
               GroupStatus{GroupStatus::Unavailable{UnavailableReason::PlaysToOtherDevice{}}};
}

// pactl's index of the only sink input.
std::string sinkInput() {
    std::string index;
    if (FILE* out = ::popen("pactl list short sink-inputs | cut -f1", "r")) {
        char line[64] = {};
        if (std::fgets(line, sizeof line, out)) index = std::string(line, std::strcspn(line, "\n"));
        ::pclose(out);
    }
    return index;
}

void move(const std::string& input, std::string_view sink) {
    const std::string command = "pactl move-sink-input " + input + " " + std::string(sink);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

TEST_F(PipeWireUserRoutingTest, AStreamTheUserMovesPlaysWhereTheySentItAtItsOwnLevel) {
    const std::string a(kSinkA), b(kSinkB), key = rowKey(Player::paplay);
    play(Player::paplay, podcasts);
    std::string input = sinkInput();
    for (int i = 0; i < 100 && input.empty(); ++i)
        std::this_thread::sleep_for(50ms), input = sinkInput();
    ASSERT_FALSE(input.empty());
    move(input, b);
    startSonvel(atHalf(key));
    EXPECT_NEAR(settle(b, podcasts, 0.0)[b][podcasts], 0.0, 0.1) << "moved before control";
    EXPECT_TRUE(within(2s, [&] { return playsElsewhere(*model, key); }));

    move(input, a);
    EXPECT_NEAR(settle(a, podcasts, -12.04)[a][podcasts], -12.04, 0.1) << "back: its level";

    move(input, b);
    auto heard = settle(b, podcasts, 0.0);
    EXPECT_NEAR(heard[b][podcasts], 0.0, 0.1) << "moved while controlled";
    EXPECT_LT(heard[a][podcasts], absent);
    EXPECT_TRUE(within(2s, [&] { return playsElsewhere(*model, key); }));
}

}  // namespace
}  // namespace sonvel
