#include "Sonvel/views/UpdateFeed.hpp"

#include <expat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
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

// Titles, versions and links longer than this are taken as absent: none is
// ever near it, and the version is shown in a sentence.
constexpr std::size_t maximumFieldBytes = 2048;

std::string lowered(std::string_view s) {
    std::string out(s);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
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
    XML_Parser parser = nullptr;
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
    bool overlong = false;

    void refuse(std::string why) {
        if (!failure) failure = std::move(why);
        XML_StopParser(parser, XML_FALSE);
    }

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
                if (std::string_view(a[1]).size() > maximumFieldBytes) continue;
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
        overlong = false;
    }

    void end(const std::string& name) {
        if (itemDepth >= 0 && depth == itemDepth + 1 && element == name) {
            if (overlong) text.clear();
            if (name == "title") item.title = trimmed(text);
            if (name == "link") item.link = nonEmpty(text);
            if (name == "description") {
                item.description = UpdateFeed::plainText(text, UpdateFeed::maximumNotesBytes);
            }
            if (name == sparkle("version")) item.version = trimmed(text);
            if (name == sparkle("shortVersionString")) item.shortVersion = nonEmpty(text);
            if (name == sparkle("releaseNotesLink")) item.releaseNotesURL = nonEmpty(text);
            if (name == sparkle("channel")) onChannel = nonEmpty(text).has_value();
            element.reset();
        }
        if (depth == itemDepth) {
            if (!item.version.empty() && !onChannel) {
                if (items.size() == UpdateFeed::maximumItems) {
                    refuse("the feed lists more than " + std::to_string(UpdateFeed::maximumItems) +
                           " versions");
                }
                items.push_back(std::move(item));
            }
            itemDepth = -1;
        }
        --depth;
    }

    void characters(std::string_view s) {
        if (!element || overlong) return;
        // The notes are cut to size only once whole: their markup may be most
        // of them.
        if (*element != "description" && text.size() + s.size() > maximumFieldBytes) {
            overlong = true;
            return;
        }
        text.append(s);
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
// Called as the declaration opens, before any entity in it is read.
void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<Reader*>(data)->refuse(
        "the feed declares a document type, which an update feed never needs");
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

// Plain text built one character at a time, white space collapsed as a
// browser would, cut at a byte limit between characters.
class TextBuilder {
  public:
    explicit TextBuilder(std::size_t limit) : limit_(limit) {}

    [[nodiscard]] bool full() const { return full_; }
    std::string take() { return std::move(out_); }

    // Ends the line; two make a paragraph break. Nothing shows before the
    // first character or after the last.
    void breakLine(int lines) {
        breaks_ = std::max(breaks_, lines);
        space_ = false;
    }

    // UTF-8 text, which expat has already checked.
    void append(std::string_view text) {
        for (std::size_t i = 0; i < text.size() && !full_;) {
            const auto lead = static_cast<unsigned char>(text[i]);
            const std::size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
            character(text.substr(i, length));
            i += length;
        }
    }

  private:
    void character(std::string_view c) {
        const auto first = static_cast<unsigned char>(c[0]);
        if (c.size() == 1 && std::isspace(first)) {
            space_ = !out_.empty() && breaks_ == 0;
            return;
        }
        // Control characters, C1 included, have no business in notes.
        const bool c1 = c.size() == 2 && first == 0xc2 && static_cast<unsigned char>(c[1]) < 0xa0;
        if ((c.size() == 1 && (first < ' ' || first == 0x7f)) || c1) return;
        std::string pending;
        if (!out_.empty()) pending.assign(static_cast<std::size_t>(breaks_), '\n');
        if (!out_.empty() && breaks_ == 0 && space_) pending = " ";
        if (out_.size() + pending.size() + c.size() + ellipsis.size() > limit_) {
            if (out_.size() + ellipsis.size() <= limit_) out_ += ellipsis;
            full_ = true;
            return;
        }
        out_ += pending;
        out_ += c;
        breaks_ = 0;
        space_ = false;
    }

    static constexpr std::string_view ellipsis = "\u2026";
    std::size_t limit_;
    std::string out_;
    int breaks_ = 0;
    bool space_ = false;
    bool full_ = false;
};

std::string utf8(std::uint32_t code) {
    // Nothing, a surrogate or beyond Unicode stands for a character unknown.
    if (code == 0 || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) code = 0xfffd;
    std::string out;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xe0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
    return out;
}

// The character a reference such as "amp", "#38" or "#x26" names, if known.
std::optional<std::string> reference(std::string_view name) {
    static constexpr std::pair<std::string_view, std::string_view> named[] = {
        {"amp", "&"},        {"lt", "<"},         {"gt", ">"},
        {"quot", "\""},      {"apos", "'"},       {"nbsp", "\u00a0"},
        {"mdash", "\u2014"}, {"ndash", "\u2013"}, {"hellip", "\u2026"},
    };
    for (const auto& [key, value] : named) {
        if (name == key) return std::string(value);
    }
    if (name.size() < 2 || name[0] != '#') return std::nullopt;
    const bool hex = name[1] == 'x' || name[1] == 'X';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 7) return std::nullopt;
    std::uint32_t code = 0;
    for (const char d : digits) {
        const auto u = static_cast<unsigned char>(d);
        if (!(hex ? std::isxdigit(u) : std::isdigit(u))) return std::nullopt;
        const auto value =
            static_cast<std::uint32_t>(std::isdigit(u) ? d - '0' : std::tolower(u) - 'a' + 10);
        code = code * (hex ? 16 : 10) + value;
    }
    return utf8(code);
}

// Where a tag that starts at `from` ends: the '>' outside quoted attribute
// values, or the end of the text.
std::size_t tagEnd(std::string_view html, std::size_t from) {
    char quote = 0;
    for (std::size_t i = from; i < html.size(); ++i) {
        if (quote) {
            if (html[i] == quote) quote = 0;
        } else if (html[i] == '"' || html[i] == '\'') {
            quote = html[i];
        } else if (html[i] == '>') {
            return i + 1;
        }
    }
    return html.size();
}

// Where the closing tag of `name` starts at or after `from`, or the end.
std::size_t closingTag(std::string_view html, std::size_t from, const std::string& name) {
    for (std::size_t at = html.find("</", from); at != std::string_view::npos;
         at = html.find("</", at + 2)) {
        if (lowered(html.substr(at + 2, name.size())) == name) return at;
    }
    return html.size();
}

int linesEndedBy(const std::string& tag) {
    static constexpr std::string_view paragraphs[] = {
        "p", "h1", "h2", "h3", "h4", "h5", "h6", "ul", "ol", "blockquote", "pre", "table"};
    static constexpr std::string_view lines[] = {"br", "li", "div", "tr", "hr", "dt", "dd"};
    if (std::ranges::find(paragraphs, tag) != std::end(paragraphs)) return 2;
    if (std::ranges::find(lines, tag) != std::end(lines)) return 1;
    return 0;
}

}  // namespace

bool isWebLink(std::string_view url) {
    const auto scheme = url.find("://");
    if (scheme == std::string_view::npos) return false;
    const std::string name = lowered(url.substr(0, scheme));
    if (name != "http" && name != "https") return false;
    // What openers and browsers would read past or mend (a space, a tab, a
    // backslash taken for a slash) has no place in a link from a feed.
    const bool unusual = std::ranges::any_of(url, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= ' ' || u == 0x7f || c == '\\';
    });
    if (unusual) return false;
    const std::string_view rest = url.substr(scheme + 3);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    // A user name before the host ("https://trusted.example@elsewhere") only
    // disguises where the link goes.
    if (authority.find('@') != std::string_view::npos) return false;
    const std::string_view host = authority.starts_with('[')
                                      ? authority.substr(0, authority.find(']') + 1)
                                      : authority.substr(0, authority.rfind(':'));
    return !host.empty() && host != "[]";
}

std::optional<std::string> AppcastItem::downloadPage() const {
    if (link && isWebLink(*link)) return link;
    if (enclosureURL && isWebLink(*enclosureURL)) return enclosureURL;
    return std::nullopt;
}

std::optional<std::string> AppcastItem::releaseNotesPage() const {
    if (releaseNotesURL && isWebLink(*releaseNotesURL)) return releaseNotesURL;
    return std::nullopt;
}

namespace UpdateFeed {

std::expected<std::vector<AppcastItem>, std::string> parse(std::string_view xml,
                                                           std::stop_token stop) {
    const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
        XML_ParserCreateNS(nullptr, namespaceSeparator), &XML_ParserFree);
    if (!parser) return std::unexpected("out of memory");
    Reader reader;
    reader.parser = parser.get();
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(parser.get(), onStart, onEnd);
    XML_SetCharacterDataHandler(parser.get(), onText);
    XML_SetStartDoctypeDeclHandler(parser.get(), onDoctype);
    // Fed in pieces, so no length is ever too large for expat's int and a
    // stop is heard soon.
    constexpr std::size_t piece = 64 * 1024;
    for (std::size_t at = 0;; at += piece) {
        if (stop.stop_requested()) return std::unexpected("the check was stopped");
        const std::string_view chunk = xml.substr(std::min(at, xml.size()), piece);
        const bool last = at + piece >= xml.size();
        if (XML_Parse(parser.get(), chunk.data(), static_cast<int>(chunk.size()), last) ==
            XML_STATUS_ERROR) {
            if (reader.failure) return std::unexpected(std::move(*reader.failure));
            return std::unexpected(std::string(XML_ErrorString(XML_GetErrorCode(parser.get()))) +
                                   " at line " +
                                   std::to_string(XML_GetCurrentLineNumber(parser.get())));
        }
        if (last) break;
    }
    if (!reader.sawRSS) return std::unexpected("the document is not an RSS feed");
    return std::move(reader.items);
}

std::string plainText(std::string_view html, std::size_t limit) {
    TextBuilder text(limit);
    std::size_t i = 0;
    while (i < html.size() && !text.full()) {
        const std::size_t next = html.find_first_of("<&", i);
        text.append(html.substr(i, next - i));
        if (next == std::string_view::npos) break;
        i = next;
        if (html[i] == '&') {
            const std::size_t end = html.find(';', i);
            const auto decoded = end != std::string_view::npos && end - i <= 10
                                     ? reference(html.substr(i + 1, end - i - 1))
                                     : std::nullopt;
            text.append(decoded ? *decoded : "&");
            i = decoded ? end + 1 : i + 1;
            continue;
        }
        if (html.substr(i, 4) == "<!--") {
            const std::size_t end = html.find("-->", i + 4);
            i = end == std::string_view::npos ? html.size() : end + 3;
            continue;
        }
        const std::string_view after = html.substr(i + 1, 1);
        const bool closing = after == "/";
        const std::size_t nameStart = i + 1 + (closing ? 1 : 0);
        std::size_t nameEnd = nameStart;
        while (nameEnd < html.size() && std::isalnum(static_cast<unsigned char>(html[nameEnd]))) {
            ++nameEnd;
        }
        const std::string name = lowered(html.substr(nameStart, nameEnd - nameStart));
        if (name.empty() && !closing && after != "!" && after != "?") {
            text.append("<");  // a lone '<' is text, as in "a < b"
            ++i;
            continue;
        }
        i = tagEnd(html, nameEnd);
        if (!closing && (name == "script" || name == "style")) {
            i = tagEnd(html, closingTag(html, i, name));
            continue;
        }
        if (const int lines = linesEndedBy(name)) text.breakLine(lines);
        if (name == "li" && !closing) text.append("\u2022 ");
    }
    return text.take();
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

UpdateOutcome evaluate(std::string_view xml, std::string_view currentVersion,
                       std::stop_token stop) {
    auto items = parse(xml, std::move(stop));
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
