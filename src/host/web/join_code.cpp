#include "host/web/join_code.h"

#include <qrencode.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace zoranth {
namespace {

void appendBigEndian(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// One PNG chunk: length, type, data, and the CRC over type and data.
void appendChunk(std::vector<std::uint8_t>& png, const char (&type)[5],
                 const std::vector<std::uint8_t>& data) {
    appendBigEndian(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t typeAt = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    const uLong crc = ::crc32(0, png.data() + typeAt, static_cast<uInt>(4 + data.size()));
    appendBigEndian(png, static_cast<std::uint32_t>(crc));
}

}  // namespace

std::expected<JoinCode, std::string> JoinCode::make(std::string_view text) {
    const std::string terminated(text);
    struct Free {
        void operator()(QRcode* code) const { QRcode_free(code); }
    };
    errno = 0;
    const std::unique_ptr<QRcode, Free> code(
        QRcode_encodeString8bit(terminated.c_str(), 0, QR_ECLEVEL_M));
    if (!code) {
        return std::unexpected(errno == ERANGE ? "the link is too long for a QR code"
                                               : std::string("qrencode: ") + std::strerror(errno));
    }
    const int size = code->width;
    std::vector<bool> dark(static_cast<std::size_t>(size) * size);
    for (std::size_t i = 0; i < dark.size(); ++i) {
        dark[i] = (code->data[i] & 1) != 0;  // bit 0: a dark module
    }
    return JoinCode(size, std::move(dark));
}

bool JoinCode::isDark(int x, int y) const {
    if (x < 0 || y < 0 || x >= size_ || y >= size_) {
        return false;  // the quiet zone around the code
    }
    return dark_[static_cast<std::size_t>(y) * size_ + x];
}

std::string JoinCode::terminalText(int margin) const {
    // Upper half, lower half, both, neither: light modules are the drawn ones.
    static constexpr const char* cells[2][2] = {{"\u2588", "\u2580"}, {"\u2584", " "}};
    std::string text;
    const int from = -margin;
    const int to = size_ + margin;
    for (int y = from; y < to; y += 2) {
        for (int x = from; x < to; ++x) {
            const bool topDark = isDark(x, y);
            const bool bottomDark = y + 1 < to ? isDark(x, y + 1) : true;
            text += cells[topDark][bottomDark];
        }
        text += '\n';
    }
    return text;
}

std::vector<std::uint8_t> JoinCode::png(int scale, int margin) const {
    const int side = (size_ + 2 * margin) * scale;
    // Scanlines, each led by filter type 0 (none).
    std::vector<std::uint8_t> raw;
    raw.reserve(static_cast<std::size_t>(side) * (side + 1));
    for (int py = 0; py < side; ++py) {
        raw.push_back(0);
        for (int px = 0; px < side; ++px) {
            const bool dark = isDark(px / scale - margin, py / scale - margin);
            raw.push_back(dark ? 0x00 : 0xFF);
        }
    }
    uLongf packedSize = ::compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> packed(packedSize);
    ::compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()),
                Z_BEST_COMPRESSION);
    packed.resize(packedSize);

    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    appendBigEndian(header, static_cast<std::uint32_t>(side));
    appendBigEndian(header, static_cast<std::uint32_t>(side));
    header.insert(header.end(), {8, 0, 0, 0, 0});  // 8-bit greyscale, deflate, no interlace
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", packed);
    appendChunk(png, "IEND", {});
    return png;
}

}  // namespace zoranth
