// The join link as a QR code: the module matrix (libqrencode), drawn for a terminal
// with Unicode half blocks (the serve banner) and as a PNG image (the window's "Scan
// to join"). A built code is an immutable value; any thread.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace zoranth {

class JoinCode {
  public:
    // Medium error correction: a phone reads it off a screen at an angle or in glare.
    // Fails only when the text does not fit a QR code or the library is out of memory.
    static std::expected<JoinCode, std::string> make(std::string_view text);

    // Modules per side, without the quiet zone.
    int size() const { return size_; }
    bool isDark(int x, int y) const;

    // Two module rows per line of text, in a quiet zone of `margin` modules. Light
    // modules are drawn (as the terminal's text colour) and dark ones left blank, so
    // the code reads right on the usual light-on-dark terminal. Each line ends in '\n'.
    std::string terminalText(int margin = 2) const;

    // An 8-bit greyscale PNG, `scale` pixels per module, with a quiet zone of `margin`
    // modules: black on white.
    std::vector<std::uint8_t> png(int scale = 8, int margin = 4) const;

    static constexpr int defaultMargin = 4;

  private:
    JoinCode(int size, std::vector<bool> dark) : size_(size), dark_(std::move(dark)) {}

    int size_ = 0;
    std::vector<bool> dark_;  // row by row
};

}  // namespace zoranth
