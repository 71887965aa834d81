// sonvel-tap's meter and rerender as a process on a private PipeWire server, tapping a
// real client (pw-play).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>

#include "support/PipeWireServer.hpp"

namespace sonvel {
namespace {

// The tool's standard output and exit status; the server's environment is ours.
std::pair<std::string, int> tool(const std::string& arguments) {
    FILE* pipe = ::popen((SONVEL_TAP_BINARY " --backend pipewire " + arguments).c_str(), "r");
    std::string out;
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    const int status = pipe ? ::pclose(pipe) : -1;
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// The meter hears its process alone, not the sink's mix, and the process
// stays audible while it listens; rerender, beside the same other player,
// plays and reports each gain. The server stops the players.
TEST(SonvelTapPipeWire, MeterHearsOneProcessAndRerenderReportsEachGain) {
    auto server = pwtest::PipeWireServer::start();
    if (!server) GTEST_SKIP() << server.error();
    const pid_t player = (*server)->play({.frequency = 440, .amplitude = 0.5});
    ASSERT_GT(player, 0);
    ASSERT_GT((*server)->play({.frequency = 1000, .amplitude = 0.25}), 0);
    const std::string pid = std::to_string(player);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (tool("list --active").first.find(" " + pid + " ") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "pw-play never played";
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }

    auto recorder = pwtest::Recorder::start({"sonvel-test-a"});
    ASSERT_TRUE(recorder) << recorder.error();
    const auto [meter, meterStatus] = tool("meter --seconds 2 --pid " + pid);
    // Audible while the meter listens, which a muting tap would not leave it.
    EXPECT_NEAR(pwtest::heardDB((*recorder)->stop()[0], 440), -6.02, 0.5);
    EXPECT_EQ(meterStatus, 0) << meter;
    std::smatch summary;
    ASSERT_TRUE(std::regex_search(meter, summary, std::regex(R"(over 2 s:  ch1 peak +([-\d.]+))")))
        << meter;
    EXPECT_NEAR(std::stod(summary[1]), -6.02, 0.1) << meter;

    const auto [out, status] = tool("rerender --allow-mute --step-seconds 1 --pid " + pid);
    EXPECT_EQ(status, 0) << out;
    const std::regex step(R"(step \d+ +gain ([\d.]+) .*(off by +([-+][\d.]+) dB| silent)\n)");
    std::vector<double> offBy;
    for (std::sregex_iterator m(out.begin(), out.end(), step), end; m != end; ++m) {
        offBy.push_back((*m)[3].matched ? std::stod((*m)[3]) : 0.0);
    }
    ASSERT_EQ(offBy.size(), 4u) << out;
    for (const double off : offBy) EXPECT_LE(std::abs(off), 0.1) << out;
}

}  // namespace
}  // namespace sonvel
