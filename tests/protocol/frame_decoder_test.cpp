#include "protocol/frame_decoder.h"

#include <gtest/gtest.h>

#include "hex_bytes.h"
#include "protocol/frame_encoder.h"

namespace zoranth {
namespace {

using test::bytesFromHex;
using Bytes = std::vector<std::uint8_t>;
using Failure = FrameDecoder::Failure;

const Hello stereo{48000, 2, 16, 960, 1500};

Bytes frame(const Message& message) {
    return FrameEncoder::encode(message);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A decoder that has already seen the stream format.
FrameDecoder afterHello() {
    FrameDecoder decoder(0);
    decoder.append(frame(stereo));
    EXPECT_TRUE(decoder.next().value());
    return decoder;
}

std::vector<Message> everyKindOfMessage() {
    return {
        stereo,
        Message::Audio{{7, 123456789, 960, 1500}, Bytes(300, 0x5A)},
        Message::Audio{{8, 0, 960, 1500}, {}},
        TimeReq{0xFEDCBA9876543210},
        TimeResp{1, 2},
        ClientStat{1, 2, -3, -4, 5, 0x0035, 6, "Pixel \xE2\x80\x94 caf\xC3\xA9 \xF0\x9F\x8E\xB5"},
        ClientStat{},
        Message::Bye{},
        ClientState{true},
        Beat{99, true, 1, 12050, 255},
        Cue{5, 200, 1, 2},
        Message::Unknown{0, 3},
        Message::Unknown{200, 0},
    };
}

TEST(FrameDecoder, ByteAtATimeYieldsEachMessageOnlyAtItsLastByte) {
    FrameDecoder decoder(65536);
    for (const auto& message : everyKindOfMessage()) {
        const Bytes bytes = frame(message);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            decoder.append(std::span(&bytes[i], 1));
            auto result = decoder.next();
            ASSERT_TRUE(result) << result.error().text();
            if (i + 1 < bytes.size()) {
                ASSERT_FALSE(*result) << "early message at byte " << i;
            } else {
                ASSERT_TRUE(*result);
                EXPECT_EQ(**result, message);
            }
        }
        EXPECT_EQ(decoder.next().value(), std::nullopt);
        EXPECT_EQ(decoder.bufferedByteCount(), 0u);
    }
}

TEST(FrameDecoder, SeveralFramesInOneAppendComeOutOneCallEach) {
    FrameDecoder decoder(0);
    decoder.append(concat({frame(TimeReq{1}), frame(TimeReq{2})}));
    EXPECT_EQ(decoder.next().value(), Message(TimeReq{1}));
    EXPECT_EQ(decoder.next().value(), Message(TimeReq{2}));
    EXPECT_EQ(decoder.next().value(), std::nullopt);
}

TEST(FrameDecoder, UnknownTypeIsSkippedWholeAndTheStreamGoesOn) {
    FrameDecoder decoder(0);
    decoder.append(concat({bytesFromHex("5a525448 02 c8 0300 abcdef"), frame(TimeReq{9})}));
    EXPECT_EQ(decoder.next().value(), Message(Message::Unknown{200, 3}));
    EXPECT_EQ(decoder.next().value(), Message(TimeReq{9}));
}

TEST(FrameDecoder, IgnoredBitsDoNotMatter) {
    FrameDecoder decoder(0);
    decoder.append(bytesFromHex("5a525448 02 07 0100 fe"));
    decoder.append(bytesFromHex("5a525448 02 08 0d00 0100000000000000 ff 04 0000 00"));
    EXPECT_EQ(decoder.next().value(), Message(ClientState{false}));
    EXPECT_EQ(decoder.next().value(), Message(Beat{1, true, 4, 0, 0}));
}

TEST(FrameDecoder, EachHelloReplacesTheStreamFormat) {
    FrameDecoder decoder(0);
    EXPECT_EQ(decoder.streamFormat(), std::nullopt);
    const Hello mono{44100, 1, 16, 480, 3000};
    decoder.append(concat({frame(stereo), frame(mono)}));
    ASSERT_TRUE(decoder.next().value());
    EXPECT_EQ(decoder.streamFormat(), stereo);
    ASSERT_TRUE(decoder.next().value());
    EXPECT_EQ(decoder.streamFormat(), mono);
}

struct FailureCase {
    const char* name;
    bool helloFirst;
    const char* hex;
    Failure failure;
    std::size_t unconsumedAtFailure;  // bytes of the bad frame still buffered
};

const FailureCase failureCases[] = {
    {"bad magic", false, "5a525449 02 06 0000", Failure::badMagic(0x5A525449), 8},
    {"version 1", false, "5a525448 01 06 0000", Failure::unsupportedVersion(1), 8},
    {"version 3", false, "5a525448 03 06 0000", Failure::unsupportedVersion(3), 8},
    {"hello too short", false, "5a525448 02 01 0900 80bb0000 02 10 c003 dc",
     Failure::payloadLengthMismatch(MessageType::hello, 10, 9), 9},
    {"audio too short", true, "5a525448 02 02 1100 0000000000000000000000000000000000",
     Failure::payloadLengthMismatch(MessageType::audio, 18, 17), 17},
    {"timeReq of 7", false, "5a525448 02 03 0700 01020304050607",
     Failure::payloadLengthMismatch(MessageType::timeReq, 8, 7), 7},
    {"timeResp of 17", false, "5a525448 02 04 1100 0000000000000000000000000000000000",
     Failure::payloadLengthMismatch(MessageType::timeResp, 16, 17), 17},
    {"clientStat below its fixed part", false,
     "5a525448 02 05 1a00 0000000000000000000000000000000000000000000000000000",
     Failure::payloadLengthMismatch(MessageType::clientStat, 27, 26), 26},
    {"clientStat name longer than the frame", false,
     "5a525448 02 05 1f00 0000000000000000000000000000000000000000000000000000 05 41424344",
     Failure::payloadLengthMismatch(MessageType::clientStat, 32, 31), 31},
    {"clientStat name shorter than the frame", false,
     "5a525448 02 05 1f00 0000000000000000000000000000000000000000000000000000 03 41424344",
     Failure::payloadLengthMismatch(MessageType::clientStat, 30, 31), 31},
    {"bye with a payload", false, "5a525448 02 06 0100 00",
     Failure::payloadLengthMismatch(MessageType::bye, 0, 1), 1},
    {"clientState of 2", false, "5a525448 02 07 0200 0100",
     Failure::payloadLengthMismatch(MessageType::clientState, 1, 2), 2},
    {"beat of 12", false, "5a525448 02 08 0c00 000000000000000000000000",
     Failure::payloadLengthMismatch(MessageType::beat, 13, 12), 12},
    {"cue of 12", false, "5a525448 02 09 0c00 000000000000000000000000",
     Failure::payloadLengthMismatch(MessageType::cue, 11, 12), 12},
    {"hello of 24 bits", false, "5a525448 02 01 0a00 80bb0000 02 18 c003 dc05",
     Failure::malformedPayload(MessageType::hello), 10},
    {"hello of 0 Hz", false, "5a525448 02 01 0a00 00000000 02 10 c003 dc05",
     Failure::malformedPayload(MessageType::hello), 10},
    {"hello of 0 channels", false, "5a525448 02 01 0a00 80bb0000 00 10 c003 dc05",
     Failure::malformedPayload(MessageType::hello), 10},
    {"clientStat name not UTF-8", false,
     "5a525448 02 05 1d00 0000000000000000000000000000000000000000000000000000 02 c328",
     Failure::malformedPayload(MessageType::clientStat), 29},
    {"audio before hello", false, "5a525448 02 02 1200 000000000000000000000000000000000000",
     Failure::audioBeforeHello(), 18},
    {"short audio before hello", false, "5a525448 02 02 0a00 00000000000000000000",
     Failure::audioBeforeHello(), 10},
};

class FrameDecoderFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(FrameDecoderFailure, FailsOnlyOnceTheFrameIsCompleteAndNeverRecovers) {
    const auto& c = GetParam();
    FrameDecoder decoder = c.helloFirst ? afterHello() : FrameDecoder(0);
    const Bytes bytes = bytesFromHex(c.hex);

    decoder.append(std::span(bytes).first(bytes.size() - 1));
    const auto early = decoder.next();
    ASSERT_TRUE(early) << "failed before the whole frame arrived: " << early.error().text();
    ASSERT_FALSE(*early);
    decoder.append(std::span(bytes).last(1));

    const auto first = decoder.next();
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error(), c.failure) << first.error().text();
    EXPECT_EQ(decoder.bufferedByteCount(), c.unconsumedAtFailure);

    // More bytes, even a perfectly good frame, change nothing.
    decoder.append(frame(Message::Bye{}));
    for (int i = 0; i < 3; ++i) {
        const auto again = decoder.next();
        ASSERT_FALSE(again);
        EXPECT_EQ(again.error(), c.failure);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameDecoderFailure, testing::ValuesIn(failureCases),
                         [](const auto& info) {
                             std::string name;
                             for (char ch : std::string(info.param.name)) {
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             }
                             return name;
                         });

TEST(FrameDecoder, AFailingHelloLeavesTheStreamFormatAsItWas) {
    FrameDecoder decoder = afterHello();
    decoder.append(bytesFromHex("5a525448 02 01 0a00 44ac0000 01 18 c003 dc05"));
    EXPECT_EQ(decoder.next().error(), Failure::malformedPayload(MessageType::hello));
    EXPECT_EQ(decoder.streamFormat(), stereo);
}

TEST(FrameDecoder, ABadHeaderIsReportedOnlyWithAllEightBytes) {
    FrameDecoder decoder(0);
    decoder.append(bytesFromHex("00000000 02 06 00"));
    EXPECT_EQ(decoder.next().value(), std::nullopt);
    decoder.append(bytesFromHex("00"));
    EXPECT_EQ(decoder.next().error(), Failure::badMagic(0));
}

TEST(FrameDecoder, NameMustBeStrictUtf8) {
    struct Case {
        const char* nameHex;
        bool valid;
    };
    const Case cases[] = {
        {"", true},          {"41", true},       {"c3a9", true},
        {"e282ac", true},    {"f09f8eb5", true}, {"f48fbfbf", true},  // U+10FFFF
        {"80", false},                                                // stray continuation
        {"c3", false},                                                // cut short
        {"e282", false},     {"c0af", false},                         // overlong
        {"e080af", false},                                            // overlong
        {"eda080", false},                                            // surrogate
        {"f4908080", false},                                          // above U+10FFFF
        {"f5808080", false}, {"ff", false},
    };
    for (const auto& c : cases) {
        const Bytes name = bytesFromHex(c.nameHex);
        ByteWriter w;
        FrameEncoder::writeHeader(MessageType::clientStat, 27 + name.size(), w);
        w.writeRaw(Bytes(26, 0));
        w.writeLE(static_cast<std::uint8_t>(name.size()));
        w.writeRaw(name);

        FrameDecoder decoder(0);
        decoder.append(w.bytes());
        const auto result = decoder.next();
        EXPECT_EQ(result.has_value(), c.valid) << c.nameHex;
        if (c.valid) {
            EXPECT_EQ(result.value()->as<ClientStat>()->deviceName,
                      std::string(name.begin(), name.end()));
        }
    }
}

TEST(FrameDecoderFailureText, NamesTheCaseAndItsValues) {
    EXPECT_EQ(Failure::badMagic(0x5A525449).text(), "badMagic(0x5A525449)");
    EXPECT_EQ(Failure::unsupportedVersion(3).text(), "unsupportedVersion(3)");
    EXPECT_EQ(Failure::payloadLengthMismatch(MessageType::timeReq, 8, 7).text(),
              "payloadLengthMismatch(timeReq, expected: 8, got: 7)");
    EXPECT_EQ(Failure::malformedPayload(MessageType::clientStat).text(),
              "malformedPayload(clientStat)");
    EXPECT_EQ(Failure::audioBeforeHello().text(), "audioBeforeHello");
    EXPECT_EQ(Failure::bufferOverflow().text(), "bufferOverflow");
}

TEST(FrameDecoderFailureText, FailuresCompareByCaseAndValues) {
    EXPECT_EQ(Failure::unsupportedVersion(3), Failure::unsupportedVersion(3));
    EXPECT_NE(Failure::unsupportedVersion(3), Failure::unsupportedVersion(1));
    EXPECT_NE(Failure::malformedPayload(MessageType::hello),
              Failure::malformedPayload(MessageType::beat));
    EXPECT_NE(Failure::payloadLengthMismatch(MessageType::cue, 11, 12),
              Failure::payloadLengthMismatch(MessageType::cue, 11, 13));
}

TEST(FrameDecoderCompaction, DrainingEverythingEmptiesTheBufferButKeepsItsCapacity) {
    FrameDecoder decoder(4096);
    const auto capacity = decoder.capacity();
    const Bytes two = concat({frame(TimeReq{1}), frame(TimeReq{2})});
    decoder.append(two);

    ASSERT_TRUE(decoder.next().value());
    EXPECT_EQ(decoder.storedByteCount(), two.size()) << "moved bytes after a single frame";
    EXPECT_EQ(decoder.bufferedByteCount(), 16u);

    ASSERT_TRUE(decoder.next().value());
    EXPECT_EQ(decoder.storedByteCount(), 0u);
    EXPECT_EQ(decoder.capacity(), capacity);
}

TEST(FrameDecoderCompaction, ShiftsOnlyOnceMoreThan32KiBAreConsumed) {
    FrameDecoder decoder(0);
    decoder.append(frame(stereo));  // 18 bytes
    const Bytes audio = FrameEncoder::encodeAudioFrame({1, 2, 960, 1500}, Bytes(998, 1));  // 1024
    for (int i = 0; i < 40; ++i) decoder.append(audio);
    decoder.append(std::span(audio).first(10));  // a frame still arriving
    const std::size_t total = 18 + 40 * 1024 + 10;

    ASSERT_TRUE(decoder.next().value());
    std::size_t consumed = 18;
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(decoder.next().value());
        consumed += 1024;
        if (consumed <= 32768) {
            ASSERT_EQ(decoder.storedByteCount(), total) << "shifted early at " << consumed;
        } else {
            // Shifted exactly once, on the first frame past the threshold.
            ASSERT_EQ(decoder.storedByteCount(), total - (18 + 32 * 1024)) << consumed;
            ASSERT_EQ(decoder.bufferedByteCount(), total - consumed);
        }
    }
    EXPECT_EQ(decoder.next().value(), std::nullopt);
    decoder.append(std::span(audio).subspan(10));
    EXPECT_EQ(decoder.next().value(), Message(Message::Audio{{1, 2, 960, 1500}, Bytes(998, 1)}));
}

TEST(FrameDecoder, ReservesOnlyAPositiveCapacity) {
    EXPECT_EQ(FrameDecoder(-1).capacity(), 0u);
    EXPECT_GE(FrameDecoder(65536).capacity(), 65536u);
}

}  // namespace
}  // namespace zoranth
