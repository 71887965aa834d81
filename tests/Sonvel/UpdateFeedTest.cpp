// Reading an appcast and comparing versions, without a network.

#include <gtest/gtest.h>

#include "Sonvel/UpdateFeed.hpp"

namespace sonvel {
namespace {

constexpr const char* feed = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <channel>
    <title>Sonvel</title>
    <item>
      <title>Sonvel 1.9</title>
      <enclosure url="https://example.org/1.9.tar.gz" sparkle:version="1.9" length="1"/>
    </item>
    <item>
      <title>Sonvel 1.10 &amp; more</title>
      <link>https://example.org/download</link>
      <sparkle:version>1.10</sparkle:version>
      <sparkle:shortVersionString>1.10 (summer)</sparkle:shortVersionString>
      <sparkle:releaseNotesLink>https://example.org/notes/1.10</sparkle:releaseNotesLink>
      <description><![CDATA[<p>Quieter &amp; faster.</p>]]></description>
      <enclosure url="https://example.org/1.10.tar.gz" sparkle:version="0.1"/>
    </item>
    <item>
      <title>Beta</title>
      <sparkle:channel>beta</sparkle:channel>
      <sparkle:version>2.0b1</sparkle:version>
    </item>
    <item><title>No version</title></item>
  </channel>
</rss>)";

TEST(UpdateFeedTest, ReadsItemsOfferedToEveryone) {
    const auto items = UpdateFeed::parse(feed);
    ASSERT_TRUE(items) << items.error();
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ((*items)[0].version, "1.9");
    EXPECT_EQ((*items)[0].displayVersion(), "1.9");
    EXPECT_EQ((*items)[0].downloadPage(), "https://example.org/1.9.tar.gz");
    const AppcastItem& item = (*items)[1];
    EXPECT_EQ(item.title, "Sonvel 1.10 & more");
    EXPECT_EQ(item.version, "1.10");  // the element wins over the enclosure's attribute
    EXPECT_EQ(item.displayVersion(), "1.10 (summer)");
    EXPECT_EQ(item.releaseNotesURL, "https://example.org/notes/1.10");
    EXPECT_EQ(item.downloadPage(), "https://example.org/download");
    EXPECT_EQ(item.description, "<p>Quieter &amp; faster.</p>");
}

TEST(UpdateFeedTest, EvaluatesAgainstTheRunningVersion) {
    using Kind = UpdateError::Kind;
    const auto available = UpdateFeed::evaluate(feed, "1.9");
    ASSERT_TRUE(available.is<UpdateOutcome::Available>());
    EXPECT_EQ(available.as<UpdateOutcome::Available>()->item.version, "1.10");
    EXPECT_EQ(UpdateFeed::sentence(available),
              "Version 1.10 (summer) of Sonvel is available. You have version 1.9.");
    EXPECT_EQ(UpdateFeed::evaluate(feed, "1.10.0"),
              UpdateOutcome{UpdateOutcome::UpToDate{"1.10.0"}});
    EXPECT_TRUE(UpdateFeed::evaluate(feed, "3.0").is<UpdateOutcome::UpToDate>());

    const auto kind = [](std::string_view xml) {
        const auto outcome = UpdateFeed::evaluate(xml, "1.0");
        return outcome.is<UpdateOutcome::Failed>() ? outcome.as<UpdateOutcome::Failed>()->error.kind
                                                   : Kind::notConfigured;
    };
    EXPECT_EQ(kind("<rss><channel><item><title>x</item></channel></rss>"), Kind::malformed);
    EXPECT_EQ(kind("<html><body>Not found</body></html>"), Kind::malformed);
    EXPECT_EQ(kind(""), Kind::malformed);
    EXPECT_EQ(kind("<rss version=\"2.0\"><channel/></rss>"), Kind::noVersions);
}

TEST(UpdateFeedTest, ComparesVersionsPartByPart) {
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    const Case cases[] = {
        {"1.10", "1.9", 1},      {"1.0", "1.0.0", 0},
        {"1.0.1", "1.0", 1},     {"1.0b2", "1.0", -1},
        {"1.0b2", "1.0b10", -1}, {"1.0rc1", "1.0b3", 1},
        {"1.0", "1", 0},         {"2", "10", -1},
        {"1.0.1", "1.0b1", 1},   {"007", "7", 0},
        {"1-2", "1.2", 0},       {"99999999999999999999", "1", 1},
        {"1.0B1", "1.0b1", 0},   {"", "0", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UpdateFeed::compareVersions(c.a, c.b), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ(UpdateFeed::compareVersions(c.b, c.a), -c.order) << c.b << " vs " << c.a;
    }
}

TEST(UpdateFeedTest, EveryFailureIsASentence) {
    using Kind = UpdateError::Kind;
    for (Kind k : {Kind::notConfigured, Kind::unreachable, Kind::serverError, Kind::malformed,
                   Kind::noVersions}) {
        const std::string s = UpdateFeed::sentence(UpdateOutcome::Failed{{k, "detail", 500}});
        EXPECT_TRUE(s.ends_with(".")) << s;
        EXPECT_EQ(s.find("detail"), std::string::npos) << s;  // parser words stay in the log
        EXPECT_EQ(s.find("500"), std::string::npos) << s;
    }
    EXPECT_EQ(UpdateFeed::sentence(UpdateOutcome::Failed{{Kind::timedOut, "", 0, 15}}),
              "The update server did not answer within 15 seconds. Try again later.");
}

}  // namespace
}  // namespace sonvel
