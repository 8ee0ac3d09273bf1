// The beat helper's output protocol: its standard output is cut into lines, and
// each line is a beat ("B"), a cue ("C"), a log line ("L") or ignored. Pure
// functions and a plain splitter value; the splitter belongs to one reader thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/wire_format.h"

namespace zoranth {

struct BeatLine {
    BeatLine() = delete;

    // An "L" line: the helper's own words, fields joined by single spaces.
    struct Log {
        std::string text;
        friend bool operator==(const Log&, const Log&) = default;
    };

    using Parsed = std::variant<Beat, Cue, Log>;

    // "B hostTimeNanos downbeat beatInBar bpmCenti confidence": u64, u8, u8, u32
    // (sent capped at 65535), u8; downbeat is set only by 1.
    // "C hostTimeNanos kind value value2": u64 and three u8.
    // "L text…". Fields are split at spaces, empty ones dropped; extra fields are
    // ignored. Too few fields, or a field that is not a plain decimal number in its
    // type's range, makes the line ignored: nothing is returned.
    static std::optional<Parsed> parse(std::string_view line);

    // The line as text: invalid UTF-8 sequences become U+FFFD.
    static std::string validUtf8(std::string_view bytes);

    // Cuts a byte stream into lines at line feeds (the feed is not part of the
    // line), keeping an unfinished line for the next bytes. A line that grows past
    // maxLineBytes without ending is discarded up to its line feed, so a helper
    // that never ends a line cannot make the host hold its output.
    class Splitter {
      public:
        static constexpr std::size_t maxLineBytes = 65536;

        // The lines completed by these bytes, in order, as valid UTF-8.
        std::vector<std::string> append(std::span<const std::uint8_t> bytes);

        // Bytes of the unfinished line held for the next call.
        std::size_t pendingBytes() const { return partial_.size(); }

      private:
        std::string partial_;
        bool discarding_ = false;
    };
};

}  // namespace zoranth
