#include "protocol/frame_encoder.h"

#include <gtest/gtest.h>

#include "hex_bytes.h"

namespace zoranth {
namespace {

using test::bytesFromHex;
using test::hexFromBytes;

struct Golden {
    const char* name;
    Message message;
    const char* hex;
};

// Reference encodings a guest implementation is checked against byte for byte.
const Golden goldens[] = {
    {"hello", Hello{48000, 2, 16, 960, 1500}, "5a525448 02 01 0a00 80bb0000 02 10 c003 dc05"},
    {"timeReq", TimeReq{0x0123456789ABCDEF}, "5a525448 02 03 0800 efcdab8967452301"},
    {"timeResp", TimeResp{0x0123456789ABCDEF, 0x1122334455667788},
     "5a525448 02 04 1000 efcdab8967452301 8877665544332211"},
    {"bye", Message::Bye{}, "5a525448 02 06 0000"},
    {"audio", Message::Audio{{1, 0xFFEEDDCCBB, 960, 1500}, {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02}},
     "5a525448 02 02 1800 01000000 bbccddeeff000000 c0030000 dc05 deadbeef0102"},
    {"clientStat", ClientStat{3200000, 1100000, -123456789, 4, 960, 0, 1490, "iPhone"},
     "5a525448 02 05 2100 00d43000 e0c81000 eb32a4f8ffffffff 04000000 c003 0000 d205 06"
     " 6950686f6e65"},
    {"clientState", ClientState{true}, "5a525448 02 07 0100 01"},
    {"beat", Beat{0x0102030405060708, true, 3, 12050, 200},
     "5a525448 02 08 0d00 0807060504030201 01 03 122f c8"},
    {"cue", Cue{7, 4, 1, 1}, "5a525448 02 09 0b00 0700000000000000 04 01 01"},
    {"unknown", Message::Unknown{200, 3}, "5a525448 02 c8 0300 000000"},
};

TEST(FrameEncoder, EncodesEveryMessageToItsGoldenBytes) {
    for (const auto& golden : goldens) {
        EXPECT_EQ(hexFromBytes(FrameEncoder::encode(golden.message)),
                  hexFromBytes(bytesFromHex(golden.hex)))
            << golden.name;
    }
}

TEST(FrameEncoder, AudioFrameMatchesTheGeneralEncoderInOneExactAllocation) {
    const AudioChunkHeader header{0xFFFFFFFF, 0x8000000000000001, 960, 4500};
    std::vector<std::uint8_t> packet(300);
    for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i * 7);

    for (const auto& p : {std::vector<std::uint8_t>{}, packet}) {
        const auto direct = FrameEncoder::encodeAudioFrame(header, p);
        EXPECT_EQ(direct, FrameEncoder::encode(Message::Audio{header, p}));
        EXPECT_EQ(direct.size(), 26 + p.size());
        EXPECT_EQ(direct.capacity(), direct.size());
    }
    const auto empty = FrameEncoder::encodeAudioFrame(header, {});
    EXPECT_EQ(empty[6], 18);
    EXPECT_EQ(empty[7], 0);
}

TEST(FrameEncoder, WriteHeaderAppendsMagicVersionTypeAndLength) {
    ByteWriter w;
    w.writeLE(std::uint8_t{0xAA});
    FrameEncoder::writeHeader(MessageType::audio, 65535, w);
    EXPECT_EQ(hexFromBytes(w.bytes()), "aa5a5254480202ffff");
}

std::string repeat(std::string_view unit, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += unit;
    return s;
}

TEST(FrameEncoder, TruncatesDeviceNamesWithoutSplittingACharacter) {
    const std::string twoByte = "\xC3\xA9";        // é
    const std::string threeByte = "\xE2\x82\xAC";  // €
    const std::string fourByte = "\xF0\x9F\x8E\xB5";
    struct Case {
        std::string name;
        std::size_t keptBytes;
    };
    const Case cases[] = {
        {"", 0},
        {repeat("a", 63), 63},
        {repeat("a", 64), 63},
        {repeat(twoByte, 31) + twoByte, 62},    // 64 bytes, cut inside the 32nd
        {repeat(twoByte, 31) + "a", 63},        // 63 bytes fit whole
        {repeat("a", 61) + twoByte + "b", 61},  // cut right after a whole character
        {repeat("a", 62) + twoByte, 62},        // cut right after a lead byte
        {repeat("a", 62) + threeByte, 62},
        {repeat("a", 61) + threeByte, 61},
        {repeat("a", 60) + fourByte, 60},
        {repeat("a", 59) + fourByte + "z", 59},
        {repeat(fourByte, 16), 60},
    };
    for (const auto& c : cases) {
        const auto bytes = FrameEncoder::truncatedNameBytes(c.name);
        ASSERT_EQ(bytes.size(), c.keptBytes) << c.name;
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.name.substr(0, c.keptBytes));
    }
}

TEST(FrameEncoder, ClientStatCarriesTheTruncatedName) {
    ClientStat stat;
    stat.deviceName = repeat("n", 100);
    const auto frame = FrameEncoder::encode(stat);
    EXPECT_EQ(frame.size(), 8u + 27 + 63);
    EXPECT_EQ(frame[6], 27 + 63);
    EXPECT_EQ(frame[8 + 26], 63);
}

}  // namespace
}  // namespace zoranth
