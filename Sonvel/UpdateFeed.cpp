#include "Sonvel/UpdateFeed.hpp"

#include <expat.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

#include "core/AppBrand.hpp"

namespace sonvel {

namespace {

constexpr std::string_view sparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";
// Expat joins a namespace and a local name with this.
constexpr char namespaceSeparator = ' ';

std::string sparkle(std::string_view local) {
    return std::string(sparkleNamespace) + namespaceSeparator + std::string(local);
}

bool isWebAddress(const std::string& url) {
    const auto lower = [](std::string s) {
        std::ranges::transform(s, s.begin(), [](unsigned char c) { return std::tolower(c); });
        return s;
    };
    const std::string start = lower(url.substr(0, 8));
    return start.starts_with("https://") || start.starts_with("http://");
}

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::optional<std::string> nonEmpty(const std::string& s) {
    std::string t = trimmed(s);
    return t.empty() ? std::nullopt : std::optional(std::move(t));
}

// Collects items while expat walks the document.
struct Reader {
    std::vector<AppcastItem> items;
    std::optional<std::string> failure;
    int depth = 0;
    bool sawRSS = false;
    // Inside an item of the channel: its depth, the item so far and the text
    // of the element being read.
    int itemDepth = -1;
    AppcastItem item;
    bool onChannel = false;
    std::optional<std::string> element;
    std::string text;

    void start(const std::string& name, const char** attributes) {
        ++depth;
        if (depth == 1) {
            sawRSS = name == "rss";
            return;
        }
        if (itemDepth < 0) {
            if (depth == 3 && name == "item") {
                itemDepth = depth;
                item = {};
                onChannel = false;
            }
            return;
        }
        if (depth != itemDepth + 1) return;  // only the item's own children count
        if (name == "enclosure") {
            for (const char** a = attributes; a[0]; a += 2) {
                const std::string key = a[0];
                if (key == "url") item.enclosureURL = nonEmpty(a[1]);
                // The element forms below win over these older attribute forms.
                if (key == sparkle("version") && item.version.empty()) item.version = trimmed(a[1]);
                if (key == sparkle("shortVersionString") && !item.shortVersion) {
                    item.shortVersion = nonEmpty(a[1]);
                }
            }
            return;
        }
        element = name;
        text.clear();
    }

    void end(const std::string& name) {
        if (itemDepth >= 0 && depth == itemDepth + 1 && element == name) {
            if (name == "title") item.title = trimmed(text);
            if (name == "link") item.link = nonEmpty(text);
            if (name == "description") item.description = trimmed(text);
            if (name == sparkle("version")) item.version = trimmed(text);
            if (name == sparkle("shortVersionString")) item.shortVersion = nonEmpty(text);
            if (name == sparkle("releaseNotesLink")) item.releaseNotesURL = nonEmpty(text);
            if (name == sparkle("channel")) onChannel = nonEmpty(text).has_value();
            element.reset();
        }
        if (depth == itemDepth) {
            if (!item.version.empty() && !onChannel) items.push_back(std::move(item));
            itemDepth = -1;
        }
        --depth;
    }

    void characters(std::string_view s) {
        if (element) text.append(s);
    }
};

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    static_cast<Reader*>(data)->start(name, attributes);
}
void XMLCALL onEnd(void* data, const XML_Char* name) {
    static_cast<Reader*>(data)->end(name);
}
void XMLCALL onText(void* data, const XML_Char* s, int length) {
    static_cast<Reader*>(data)->characters({s, static_cast<std::size_t>(length)});
}

// A version as runs of digits and runs of other characters; separators only
// delimit.
struct Part {
    bool isNumber = false;
    std::string text;  // digits without leading zeros, or lower-cased letters
};

std::vector<Part> parts(std::string_view version) {
    std::vector<Part> out;
    for (std::size_t i = 0; i < version.size();) {
        const auto c = static_cast<unsigned char>(version[i]);
        if (c == '.' || c == '-' || c == '_' || c == '+' || std::isspace(c)) {
            ++i;
            continue;
        }
        const bool digit = std::isdigit(c) != 0;
        std::size_t j = i;
        Part part{digit, {}};
        while (j < version.size()) {
            const auto d = static_cast<unsigned char>(version[j]);
            if ((std::isdigit(d) != 0) != digit || d == '.' || d == '-' || d == '_' || d == '+' ||
                std::isspace(d)) {
                break;
            }
            part.text.push_back(static_cast<char>(std::tolower(d)));
            ++j;
        }
        if (digit) {
            // Compared by length and then digit by digit, so any length fits.
            const auto nonZero = part.text.find_first_not_of('0');
            part.text = nonZero == std::string::npos ? "" : part.text.substr(nonZero);
        }
        out.push_back(std::move(part));
        i = j;
    }
    return out;
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

}  // namespace

std::optional<std::string> AppcastItem::downloadPage() const {
    if (link && isWebAddress(*link)) return link;
    if (enclosureURL && isWebAddress(*enclosureURL)) return enclosureURL;
    return std::nullopt;
}

namespace UpdateFeed {

std::expected<std::vector<AppcastItem>, std::string> parse(std::string_view xml) {
    const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
        XML_ParserCreateNS(nullptr, namespaceSeparator), &XML_ParserFree);
    if (!parser) return std::unexpected("out of memory");
    Reader reader;
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(parser.get(), onStart, onEnd);
    XML_SetCharacterDataHandler(parser.get(), onText);
    // Fed in pieces, so no length is ever too large for expat's int.
    constexpr std::size_t piece = 1 << 20;
    for (std::size_t at = 0;; at += piece) {
        const std::string_view chunk = xml.substr(std::min(at, xml.size()), piece);
        const bool last = at + piece >= xml.size();
        if (XML_Parse(parser.get(), chunk.data(), static_cast<int>(chunk.size()), last) ==
            XML_STATUS_ERROR) {
            return std::unexpected(std::string(XML_ErrorString(XML_GetErrorCode(parser.get()))) +
                                   " at line " +
                                   std::to_string(XML_GetCurrentLineNumber(parser.get())));
        }
        if (last) break;
    }
    if (!reader.sawRSS) return std::unexpected("the document is not an RSS feed");
    return std::move(reader.items);
}

int compareVersions(std::string_view a, std::string_view b) {
    const std::vector<Part> left = parts(a);
    const std::vector<Part> right = parts(b);
    for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        const Part* x = i < left.size() ? &left[i] : nullptr;
        const Part* y = i < right.size() ? &right[i] : nullptr;
        if (!x || !y) {
            const Part& rest = x ? *x : *y;
            const int restSide = x ? 1 : -1;       // the side that goes on
            if (!rest.isNumber) return -restSide;  // a pre-release tag
            if (!rest.text.empty()) return restSide;
            continue;  // a trailing zero
        }
        if (x->isNumber != y->isNumber) return x->isNumber ? 1 : -1;
        if (x->isNumber && x->text.size() != y->text.size()) {
            return x->text.size() < y->text.size() ? -1 : 1;
        }
        if (const int c = x->text.compare(y->text); c != 0) return sign(c);
    }
    return 0;
}

UpdateOutcome evaluate(std::string_view xml, std::string_view currentVersion) {
    auto items = parse(xml);
    if (!items) {
        return UpdateOutcome::Failed{{UpdateError::Kind::malformed, std::move(items.error())}};
    }
    if (items->empty()) return UpdateOutcome::Failed{{UpdateError::Kind::noVersions}};
    // Feeds list newest first by habit, not by rule.
    const auto newest = std::ranges::max_element(*items, [](const auto& x, const auto& y) {
        return compareVersions(x.version, y.version) < 0;
    });
    const std::string current(currentVersion);
    if (compareVersions(newest->version, currentVersion) > 0) {
        return UpdateOutcome::Available{*newest, current};
    }
    return UpdateOutcome::UpToDate{current};
}

std::string sentence(const UpdateOutcome& outcome) {
    const std::string app(AppBrand::name);
    return outcome.visit(Overloaded{
        [&](const UpdateOutcome::UpToDate& o) {
            return app + " is up to date: version " + o.current + " is the newest.";
        },
        [&](const UpdateOutcome::Available& o) {
            return "Version " + o.item.displayVersion() + " of " + app +
                   " is available. You have version " + o.current + ".";
        },
        [&](const UpdateOutcome::Failed& o) -> std::string {
            using Kind = UpdateError::Kind;
            switch (o.error.kind) {
                case Kind::notConfigured:
                    return "No update feed is set up for this copy of " + app +
                           ", so it cannot check for updates.";
                case Kind::unreachable:
                    return app +
                           " could not reach the update server. Check the network connection and "
                           "try again.";
                case Kind::timedOut:
                    return "The update server did not answer within " +
                           std::to_string(o.error.seconds) + " seconds. Try again later.";
                case Kind::serverError:
                    return "The update server reported an error instead of sending the list of "
                           "versions. Try again later.";
                case Kind::malformed:
                    return "The update server sent a list of versions that " + app +
                           " cannot read, so it cannot tell whether a newer version exists.";
                case Kind::noVersions:
                    return "The update server lists no versions of " + app + " yet.";
            }
            return {};
        },
    });
}

}  // namespace UpdateFeed

}  // namespace sonvel
