#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sonvel::pw {

// What a stream's routing (and volume) was before Sonvel changed it, kept in a
// file so that after Sonvel is killed its next start can still give the user's
// own routing back. Streams are keyed by their node's `object.serial`: a
// server never reuses a serial, while node ids come back for other streams.
// Every change is on disk before it returns, written whole to a temporary
// file and renamed over the old one, so a crash leaves the old file or the
// new one and never half of either. Never throws; one thread at a time.
class RoutingJournal {
  public:
    struct Entry {
        std::optional<std::string> target;          // none: the stream had no target.object
        std::string type;                           // its metadata type, e.g. "Spa:String"
        std::optional<std::vector<float>> volumes;  // channel volumes, when Sonvel changed them
        bool operator==(const Entry&) const = default;
    };

    // Files past this are not read: no honest journal comes near it.
    static constexpr std::uintmax_t maxFileSize = 1 << 20;

    // $XDG_STATE_HOME/sonvel/routing.json, else ~/.local/state/sonvel/routing.json.
    static std::filesystem::path defaultPath();

    // A file that is missing opens empty. One that cannot be read or
    // understood opens empty too, with a warning; the next change replaces it.
    static RoutingJournal open(std::filesystem::path file);

    // Why entries of the file were left out, as a sentence; empty when none were.
    [[nodiscard]] const std::string& warning() const { return warning_; }
    // The process that last wrote the file, as it was read; none when unknown.
    [[nodiscard]] std::optional<pid_t> writer() const { return writer_; }
    // Whether that process has gone, so its entries are nobody's to give back
    // but ours. A pid reused since reads as alive, which only delays that.
    [[nodiscard]] bool writerIsGone() const;

    // Kept in memory even when the file cannot be written, so the give-back
    // still happens while this process lives.
    std::expected<void, std::string> remember(const std::string& serial, Entry entry);
    std::expected<void, std::string> forget(const std::string& serial);
    // Drops the entries of streams the server no longer has: their serials never return.
    std::expected<void, std::string> prune(const std::set<std::string>& liveSerials);

    [[nodiscard]] std::optional<Entry> saved(const std::string& serial) const;
    [[nodiscard]] const std::map<std::string, Entry>& entries() const { return entries_; }
    [[nodiscard]] const std::filesystem::path& file() const { return file_; }

  private:
    explicit RoutingJournal(std::filesystem::path file) : file_(std::move(file)) {}
    std::expected<void, std::string> save() const;

    std::filesystem::path file_;
    std::map<std::string, Entry> entries_;
    std::string warning_;
    std::optional<pid_t> writer_;
};

}  // namespace sonvel::pw
