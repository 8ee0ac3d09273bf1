// Byte cursors that build and read message payloads: fixed-width integers in
// either byte order, and raw byte runs. Plain values: any thread may use its own.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace zoranth {

// Integers that have a fixed wire width; bool has none.
template <class T>
concept WireInteger = std::integral<T> && !std::same_as<T, bool>;

// A growable byte array with append operations.
class ByteWriter {
  public:
    ByteWriter() = default;
    // A zero or negative capacity reserves nothing.
    explicit ByteWriter(std::ptrdiff_t reservingCapacity);

    template <WireInteger T>
    void writeLE(T value) {
        const auto bits = static_cast<std::make_unsigned_t<T>>(value);
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            bytes_.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
        }
    }

    template <WireInteger T>
    void writeBE(T value) {
        const auto bits = static_cast<std::make_unsigned_t<T>>(value);
        for (std::size_t i = sizeof(T); i-- > 0;) {
            bytes_.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
        }
    }

    void writeRaw(std::span<const std::uint8_t> raw);

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    // Hands the accumulated bytes over without copying; the writer is left empty.
    std::vector<std::uint8_t> takeBytes() { return std::move(bytes_); }

  private:
    std::vector<std::uint8_t> bytes_;
};

// A read cursor over borrowed bytes; it never copies or owns them, so the range
// must outlive the reader. A failed read leaves the cursor where it was.
class ByteReader {
  public:
    struct Failure {
        enum class Case { outOfBounds };

        Case kind = Case::outOfBounds;
        std::ptrdiff_t needed = 0;
        std::ptrdiff_t remaining = 0;

        static Failure outOfBounds(std::ptrdiff_t needed, std::ptrdiff_t remaining) {
            return {Case::outOfBounds, needed, remaining};
        }
        std::string text() const;
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    explicit ByteReader(std::span<const std::uint8_t> base) : base_(base) {}

    std::ptrdiff_t remaining() const { return static_cast<std::ptrdiff_t>(base_.size()) - offset_; }
    std::ptrdiff_t consumed() const { return offset_; }
    std::ptrdiff_t offset() const { return offset_; }

    template <WireInteger T>
    std::expected<T, Failure> readLE() {
        return read<T>([](const std::uint8_t* p) {
            std::make_unsigned_t<T> bits = 0;
            for (std::size_t i = sizeof(T); i-- > 0;) {
                bits = static_cast<decltype(bits)>((bits << 8) | p[i]);
            }
            return bits;
        });
    }

    template <WireInteger T>
    std::expected<T, Failure> readBE() {
        return read<T>([](const std::uint8_t* p) {
            std::make_unsigned_t<T> bits = 0;
            for (std::size_t i = 0; i < sizeof(T); ++i) {
                bits = static_cast<decltype(bits)>((bits << 8) | p[i]);
            }
            return bits;
        });
    }

    // A view of the next `count` bytes, no copy.
    std::expected<std::span<const std::uint8_t>, Failure> readRaw(std::ptrdiff_t count);

  private:
    template <class T, class Assemble>
    std::expected<T, Failure> read(Assemble assemble) {
        constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
        if (remaining() < size) {
            return std::unexpected(Failure::outOfBounds(size, remaining()));
        }
        const auto bits = assemble(base_.data() + offset_);
        offset_ += size;
        return static_cast<T>(bits);
    }

    std::span<const std::uint8_t> base_;
    std::ptrdiff_t offset_ = 0;
};

}  // namespace zoranth
