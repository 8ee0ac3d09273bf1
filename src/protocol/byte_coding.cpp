#include "protocol/byte_coding.h"

namespace zoranth {

ByteWriter::ByteWriter(std::ptrdiff_t reservingCapacity) {
    if (reservingCapacity > 0) {
        bytes_.reserve(static_cast<std::size_t>(reservingCapacity));
    }
}

void ByteWriter::writeRaw(std::span<const std::uint8_t> raw) {
    bytes_.insert(bytes_.end(), raw.begin(), raw.end());
}

std::string ByteReader::Failure::text() const {
    return "outOfBounds(needed: " + std::to_string(needed) +
           ", remaining: " + std::to_string(remaining) + ")";
}

std::expected<std::span<const std::uint8_t>, ByteReader::Failure> ByteReader::readRaw(
    std::ptrdiff_t count) {
    if (count < 0 || count > remaining()) {
        return std::unexpected(Failure::outOfBounds(count, remaining()));
    }
    const auto view =
        base_.subspan(static_cast<std::size_t>(offset_), static_cast<std::size_t>(count));
    offset_ += count;
    return view;
}

}  // namespace zoranth
