#include "platform/pipewire/RoutingJournal.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <functional>

namespace sonvel::pw {
namespace {

namespace fs = std::filesystem;
using Entry = RoutingJournal::Entry;
using Entries = std::map<std::string, Entry>;

const Entry routed{"alsa_output.usb", "Spa:String", std::vector<float>{0.5f, 0.3f}};
const Entry unset{std::nullopt, "Spa:Id"};

class RoutingJournalTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(::mkdtemp(dir.data())); }
    void TearDown() override { fs::remove_all(dir); }

    std::string dir = (fs::temp_directory_path() / "sonvel-journal-XXXXXX").string();
    fs::path file() const { return fs::path(dir) / "routing.json"; }
};

TEST_F(RoutingJournalTest, EntriesSurviveAReopenUntilForgottenOrPruned) {
    const fs::path nested = fs::path(dir) / "state" / "sonvel" / "routing.json";
    auto journal = RoutingJournal::open(nested);
    EXPECT_TRUE(journal.entries().empty() && journal.warning().empty());
    for (const auto& [serial, entry] : {std::pair("41", routed), {"42", unset}, {"43", unset}}) {
        ASSERT_TRUE(journal.remember(serial, entry));
    }
    EXPECT_FALSE(journal.remember("4a", unset));
    EXPECT_FALSE(journal.remember("44", {"x", "Spa:String", std::vector{NAN}}));
    EXPECT_EQ(fs::status(nested.parent_path()).permissions(), fs::perms::owner_all);

    auto reopened = RoutingJournal::open(nested);
    EXPECT_EQ(reopened.entries(), journal.entries());
    EXPECT_EQ(reopened.warning(), "");
    EXPECT_EQ(reopened.writer(), ::getpid());
    EXPECT_FALSE(reopened.writerIsGone());
    ASSERT_TRUE(reopened.forget("42"));
    ASSERT_TRUE(reopened.prune({"41", "99"}));
    EXPECT_EQ(RoutingJournal::open(nested).entries(), (Entries{{"41", routed}}));
}

TEST_F(RoutingJournalTest, UnknownKeysAreIgnoredAndEntriesItCannotReadAreLeftOut) {
    // The pid is past any kernel's pid_max, so no process has it.
    std::ofstream(file()) << R"({"pid": 2147483647, "later": [1], "streams": {
        "7": {"target": "x", "type": "Spa:String", "volumes": null, "later": 1},
        "8": {"target": 5, "type": "Spa:String"}, "9": {"target": null},
        "10": {"target": null, "type": "", "volumes": [0.5, "loud"]},
        "x1": {"target": null, "type": "Spa:Id"}}})";
    const auto journal = RoutingJournal::open(file());
    EXPECT_EQ(journal.entries(), (Entries{{"7", {"x", "Spa:String"}}}));
    EXPECT_NE(journal.warning().find("4 streams"), std::string::npos) << journal.warning();
    EXPECT_TRUE(journal.writerIsGone());
}

TEST_F(RoutingJournalTest, DamagedFilesOpenEmptyWithAWarningAndAreReplacedWhereTheyCanBe) {
    const auto text = [this](std::string t) { return [this, t] { std::ofstream(file()) << t; }; };
    const std::tuple<const char*, std::function<void()>, bool> cases[] = {
        {"empty", text(""), true},
        {"truncated", text(R"({"pid": 1, "streams": {"4": {"tar)"), true},
        {"wrong types", text(R"({"streams": [{"target": null, "type": "Spa:Id"}]})"), true},
        {"huge", text(R"({"streams": {}})" + std::string(RoutingJournal::maxFileSize, ' ')), true},
        {"fifo", [this] { ::mkfifo(file().c_str(), 0600); }, true},
        {"directory", [this] { fs::create_directories(file() / "inside"); }, false},
    };
    for (const auto& [name, make, replaced] : cases) {
        make();
        auto journal = RoutingJournal::open(file());
        EXPECT_TRUE(journal.entries().empty()) << name;
        EXPECT_NE(journal.warning().find(file().string()), std::string::npos) << name;
        EXPECT_EQ(journal.remember("5", routed).has_value(), replaced) << name;
        EXPECT_EQ(RoutingJournal::open(file()).saved("5"),
                  replaced ? std::optional(routed) : std::nullopt)
            << name;
        fs::remove_all(file());
    }
}

TEST_F(RoutingJournalTest, AnUnwritablePlaceIsASentenceAndTheEntryIsStillKept) {
    std::ofstream(file()) << "not a folder";
    auto journal = RoutingJournal::open(file() / "routing.json");
    const auto saved = journal.remember("5", routed);
    ASSERT_FALSE(saved);
    EXPECT_NE(saved.error().find("could not be written"), std::string::npos) << saved.error();
    EXPECT_EQ(journal.saved("5"), routed);
}

}  // namespace
}  // namespace sonvel::pw
