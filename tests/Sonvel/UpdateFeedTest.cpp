// Reading an appcast and comparing versions, without a network.

#include <gtest/gtest.h>

#include <tuple>

#include "Sonvel/views/UpdateFeed.hpp"

namespace sonvel {
namespace {

constexpr const char* feed = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
  <title>Sonvel</title><item><title>Sonvel 1.9</title>
    <enclosure url="https://example.org/1.9.tar.gz" sparkle:version="1.9" length="1"/></item>
  <item><title>Sonvel 1.10 &amp; more</title><link>https://example.org/download</link>
    <sparkle:version>1.10</sparkle:version>
    <sparkle:shortVersionString>1.10 (summer)</sparkle:shortVersionString>
    <sparkle:releaseNotesLink>https://example.org/notes/1.10</sparkle:releaseNotesLink>
    <description><![CDATA[<p>Quieter &amp; faster.</p>]]></description>
    <enclosure url="https://example.org/1.10.tar.gz" sparkle:version="0.1"/></item>
  <item><title>Beta</title><sparkle:channel>beta</sparkle:channel>
    <sparkle:version>2.0b1</sparkle:version></item><item><title>No version</title></item>
</channel></rss>)";

// Reads the items offered to everyone, evaluates them against the running
// version and says so.
TEST(UpdateFeedTest, ReadsAndEvaluatesItemsOfferedToEveryone) {
    const auto items = UpdateFeed::parse(feed);
    ASSERT_TRUE(items) << items.error();
    // In 1.10 the version element wins over the enclosure's attribute.
    EXPECT_EQ(*items, (std::vector<AppcastItem>{
                          {"Sonvel 1.9", "1.9", {}, {}, "https://example.org/1.9.tar.gz", {}, ""},
                          {"Sonvel 1.10 & more", "1.10", "1.10 (summer)",
                           "https://example.org/notes/1.10", "https://example.org/1.10.tar.gz",
                           "https://example.org/download", "Quieter & faster."}}));
    // The web page first, else the enclosure.
    EXPECT_EQ((*items)[0].downloadPage(), "https://example.org/1.9.tar.gz");
    EXPECT_EQ((*items)[1].downloadPage(), "https://example.org/download");

    using enum UpdateError::Kind;
    // Only the newest item, 1.10, reads "1.10 (summer)".
    EXPECT_EQ(UpdateFeed::sentence(UpdateFeed::evaluate(feed, "1.9")),
              "Version 1.10 (summer) of Sonvel is available. You have version 1.9.");
    EXPECT_EQ(UpdateFeed::evaluate(feed, "1.10.0"), UpdateOutcome::UpToDate{"1.10.0"});
    EXPECT_TRUE(UpdateFeed::evaluate(feed, "3.0").is<UpdateOutcome::UpToDate>());

    const auto kind = [](std::string_view xml) {
        const auto outcome = UpdateFeed::evaluate(xml, "1.0");
        return outcome.is<UpdateOutcome::Failed>() ? outcome.as<UpdateOutcome::Failed>()->error.kind
                                                   : notConfigured;
    };
    EXPECT_EQ(kind("<rss><channel><item><title>x</item></channel></rss>"), malformed);
    EXPECT_EQ(kind("<html><body>Not found</body></html>"), malformed);
    EXPECT_EQ(kind("<rss version=\"2.0\"><channel/></rss>"), noVersions);
    EXPECT_EQ(kind("<!DOCTYPE rss><rss version=\"2.0\"><channel/></rss>"), malformed);
    for (const std::size_t count : {UpdateFeed::maximumItems, UpdateFeed::maximumItems + 1}) {
        std::string many = R"(<rss xmlns:s="http://www.andymatuschak.org/xml-namespaces/sparkle">)";
        many += "<channel>";
        for (std::size_t i = 0; i < count; ++i) many += "<item><s:version>1</s:version></item>";
        EXPECT_EQ(kind(many + "</channel></rss>") == malformed, count > UpdateFeed::maximumItems);
    }

    // Every failure is a sentence; the parser's words stay in the log.
    for (UpdateError::Kind k : {notConfigured, unreachable, serverError, malformed, noVersions}) {
        const std::string s = UpdateFeed::sentence(UpdateOutcome::Failed{{k, "detail", 500}});
        EXPECT_TRUE(s.ends_with(".")) << s;
        EXPECT_EQ(s.find("detail"), std::string::npos) << s;
        EXPECT_EQ(s.find("500"), std::string::npos) << s;
    }
    EXPECT_EQ(UpdateFeed::sentence(UpdateOutcome::Failed{{timedOut, "", 0, 15}}),
              "The update server did not answer within 15 seconds. Try again later.");
}

TEST(UpdateFeedTest, OnlyWebLinksPass) {
    for (const char* url : {"https://example.org", "HTTP://example.org:8080/a?b#c",
                            "https://[::1]/notes", "https://bücher.example/"})
        EXPECT_TRUE(isWebLink(url)) << url;
    for (const char* url :
         {"javascript://example.org/%0aalert(1)", "ftp://example.org/", "https://:443/",
          "https://[]/", "https://trusted.example@elsewhere.example/", "https://example.org\\x",
          "https://exa mple.org/", " https://example.org", "https://example.org/\n"})
        EXPECT_FALSE(isWebLink(url)) << url;
}

TEST(UpdateFeedTest, NotesArePlainTextWithinTheirCap) {
    const std::tuple<const char*, std::size_t, const char*> cases[] = {
        {"<h1>New</h1><ul><li>Faster &amp; <b>quieter</b></li><li>a &lt; b</li></ul>", 99,
         "New\n\n• Faster & quieter\n• a < b"},
        {"<p>One</p>\n\n  <P>Two<br/>three &#x263A;&#9731;</P>", 99, "One\n\nTwo\nthree ☺☃"},
        {"<script>x('</p>')</script><STYLE>p{}</style><!-- <p>x</p> -->Kept", 99, "Kept"},
        {"<a title='x>y'>a < b</a> && &bogus; &#0;&#xD800;\x01", 99,
         "a < b && &bogus; \uFFFD\uFFFD"},
        {"ééééé", 8, "éé…"},  // cut between characters, the ellipsis within the cap
    };
    for (const auto& [html, limit, text] : cases)
        EXPECT_EQ(UpdateFeed::plainText(html, limit), text) << html;
}

TEST(UpdateFeedTest, ComparesVersionsPartByPart) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"1.10", "1.9", 1},      {"1.0", "1.0.0", 0},
        {"1.0.1", "1.0", 1},     {"1.0b2", "1.0", -1},
        {"1.0b2", "1.0b10", -1}, {"1.0rc1", "1.0b3", 1},
        {"1.0", "1", 0},         {"2", "10", -1},
        {"1.0.1", "1.0b1", 1},   {"007", "7", 0},
        {"1-2", "1.2", 0},       {"99999999999999999999", "1", 1},
        {"1.0B1", "1.0b1", 0},   {"", "0", 0},
    };
    for (const auto& [a, b, order] : cases) {
        EXPECT_EQ(UpdateFeed::compareVersions(a, b), order) << a << " vs " << b;
        EXPECT_EQ(UpdateFeed::compareVersions(b, a), -order) << b << " vs " << a;
    }
}

}  // namespace
}  // namespace sonvel
