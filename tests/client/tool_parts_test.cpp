// The parts usbcam's camera commands are built on, called directly: the
// Intel HEX reader (hand-made files, a file written by objcopy, and the
// mistakes a person makes), the descriptor decoder's bounds, the isochronous
// tally's loss count, and PNG output read back by an independent decoder.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "usbcam/descriptors.h"
#include "usbcam/images.h"
#include "usbcam/intel_hex.h"
#include "usbcam/iso_packets.h"

namespace {

std::string TempPath(const std::string &name) {
    return ::testing::TempDir() + "tool_parts_" + std::to_string(getpid()) + "_" + name;
}

std::string RunShell(const std::string &command) {
    std::string out;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return "cannot run " + command;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
    return out;
}

// ---- Intel HEX ----

TEST(IntelHex, ReadsDataInAddressOrderWithExtendedAddressesAndMergesNeighbours) {
    // Records out of order, a segment base (02) and a linear base (04).
    const std::string text =
        ":0400100004050607D6\r\n"
        "\n"
        ":0400000000010203F6\n"
        ":020000021000EC\n"  // segment base 0x1000 * 16 = 0x10000
        ":02000000112244\n"  // checksum wrong: 0xcb
        ":00000001FF\n";
    usbcam::MemoryImage image;
    std::string error;
    // The fourth record's checksum is wrong: named by its line.
    EXPECT_FALSE(usbcam::ReadIntelHex(text, &image, &error));
    EXPECT_EQ(error, "line 5: checksum is 0x44, the record's bytes need 0xcb");

    const std::string good =
        ":0400100004050607D6\r\n"
        "\n"
        ":0400000000010203F6\n"
        ":0400040010111213B2\n"
        ":020000040001F9\n"  // linear base 0x10000
        ":02000000AABB99\n"
        ":04000005000000FFF8\n"  // start address (objcopy writes these): accepted
        ":00000001FF\n";
    ASSERT_TRUE(usbcam::ReadIntelHex(good, &image, &error)) << error;
    ASSERT_EQ(image.Segments.size(), 3u);
    EXPECT_EQ(image.Segments[0].Address, 0x0000u);
    EXPECT_EQ(image.Segments[0].Bytes, (std::vector<uint8_t>{0, 1, 2, 3, 0x10, 0x11, 0x12, 0x13}));
    EXPECT_EQ(image.Segments[1].Address, 0x0010u);
    EXPECT_EQ(image.Segments[2].Address, 0x10000u);
    EXPECT_EQ(image.Segments[2].Bytes, (std::vector<uint8_t>{0xAA, 0xBB}));
    EXPECT_TRUE(image.HasStartAddress);
    EXPECT_EQ(image.StartAddress, 0xFFu);
    EXPECT_EQ(image.ByteCount(), 14u);
    EXPECT_EQ(image.EndAddress(), 0x10002u);

    // Segment addressing: base * 16 + offset.
    ASSERT_TRUE(usbcam::ReadIntelHex(":020000021000EC\n:01002000429D\n:00000001FF\n", &image, &error)) << error;
    EXPECT_EQ(image.Segments[0].Address, 0x10020u);
}

TEST(IntelHex, NamesTheLineOfEveryKindOfMistake) {
    struct Case {
        const char *Text;
        const char *Error;
    } cases[] = {
        {"0400000000010203F6\n:00000001FF\n", "line 1: a record starts with ':'"},
        {":0400000000010203F\n:00000001FF\n", "line 1: odd number of hex digits"},
        {":04000000000102G3F6\n:00000001FF\n", "line 1: 'G' is not a hex digit"},
        {"\n:0500000000010203F6\n:00000001FF\n", "line 2: the byte count says 5 data bytes, the record has 4"},
        {":00000001\n", "line 1: too short"},
        {":0400000000010203F6\n:00000009F7\n", "line 2: unknown record type 0x09"},
        {":0400000000010203F6\n", "no end-of-file record"},
        {":00000001FF\n:0400000000010203F6\n", "line 2: text after the end-of-file record"},
        {":0400000000010203F6\n:0200020011AA41\n:00000001FF\n", "line 2: writes bytes that line 1 already wrote"},
        {":0400000000010203F6\n:0200030011AA40\n:00000001FF\n", "line 2: writes bytes that line 1 already wrote"},
        {":03000004000100F8\n:00000001FF\n", "line 1: an extended address record carries 2 bytes"},
        {":01000001AA54\n", "line 1: an end-of-file record carries no data"},
    };
    for (const Case &c : cases) {
        usbcam::MemoryImage image;
        std::string error;
        EXPECT_FALSE(usbcam::ReadIntelHex(c.Text, &image, &error)) << c.Text;
        EXPECT_EQ(error.rfind(c.Error, 0), 0u) << "got: " << error << "\nfor: " << c.Text;
    }
}

TEST(IntelHex, ReadsWhatObjcopyWritesAndWhatItselfWrites) {
    // A binary of 3000 bytes, turned into Intel HEX by objcopy at an address
    // that needs an extended linear address record.
    const std::string bin = TempPath("image.bin");
    const std::string hex = TempPath("image.hex");
    std::vector<uint8_t> bytes(3000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
    std::string error;
    ASSERT_TRUE(usbcam::WriteFileBytes(bin, bytes.data(), bytes.size(), &error)) << error;
    const std::string out =
        RunShell("objcopy -I binary -O ihex --change-addresses 0x1fc00 " + bin + " " + hex);
    if (out.find("not found") != std::string::npos) GTEST_SKIP() << "objcopy is not installed: " << out;
    std::vector<uint8_t> text;
    ASSERT_TRUE(usbcam::ReadFileBytes(hex, &text, &error)) << out << error;

    usbcam::MemoryImage image;
    ASSERT_TRUE(usbcam::ReadIntelHex(std::string(text.begin(), text.end()), &image, &error)) << error;
    ASSERT_EQ(image.Segments.size(), 1u);
    EXPECT_EQ(image.Segments[0].Address, 0x1FC00u);
    EXPECT_EQ(image.Segments[0].Bytes, bytes);

    // Our writer's output reads back the same, across the 64 KiB boundary.
    usbcam::MemoryImage again;
    ASSERT_TRUE(usbcam::ReadIntelHex(usbcam::WriteIntelHex(image), &again, &error)) << error;
    ASSERT_EQ(again.Segments.size(), 1u);
    EXPECT_EQ(again.Segments[0].Address, 0x1FC00u);
    EXPECT_EQ(again.Segments[0].Bytes, bytes);
    remove(bin.c_str());
    remove(hex.c_str());
}

// ---- Descriptors ----

std::vector<uint8_t> Config(std::vector<uint8_t> body) {
    std::vector<uint8_t> config = {9, 2, 0, 0, 1, 1, 0, 0xC0, 50};
    config.insert(config.end(), body.begin(), body.end());
    config[2] = static_cast<uint8_t>(config.size());
    config[3] = static_cast<uint8_t>(config.size() >> 8);
    return config;
}

TEST(Descriptors, DecodesHighBandwidthEndpointsAndKeepsUnknownDescriptorsAsBytes) {
    const std::vector<uint8_t> config = Config({
        9, 4, 0, 3, 1, 0xFF, 0, 0, 4,  // interface 0 alt 3, string 4
        7, 5, 0x86, 1, 0x00, 0x14, 1,  // iso IN, 0x1400: 3 x 1024
        6, 0x30, 1, 2, 3, 4,           // a companion-like descriptor after it
    });
    usbcam::DecodedDescriptor decoded;
    std::string error;
    const usbcam::StringLookup strings = [](uint8_t index) { return "string " + std::to_string(index); };
    ASSERT_TRUE(usbcam::DecodeConfiguration(config.data(), config.size(), strings, &decoded, &error)) << error;
    EXPECT_EQ(decoded.FieldValue("wTotalLength"), config.size());
    ASSERT_EQ(decoded.Children.size(), 1u);
    const usbcam::DecodedDescriptor &interface = decoded.Children[0];
    EXPECT_EQ(interface.FieldValue("bAlternateSetting"), 3u);
    EXPECT_EQ(interface.Fields.back().Note, "string 4");
    ASSERT_EQ(interface.Children.size(), 1u);
    const usbcam::DecodedDescriptor &endpoint = interface.Children[0];
    EXPECT_EQ(endpoint.Fields[4].Name, "wMaxPacketSize");
    EXPECT_EQ(endpoint.Fields[4].Note, "3x 1024 bytes");
    ASSERT_EQ(endpoint.Children.size(), 1u);
    EXPECT_EQ(endpoint.Children[0].Bytes, (std::vector<uint8_t>{6, 0x30, 1, 2, 3, 4}));

    const std::string text = usbcam::RenderDescriptor(decoded);
    EXPECT_NE(text.find("Self Powered"), std::string::npos) << text;
    EXPECT_NE(text.find("MaxPower            100mA"), std::string::npos) << text;
    EXPECT_NE(text.find("bEndpointAddress     0x86 EP 6 IN"), std::string::npos) << text;
    EXPECT_NE(text.find("Usage Type               Data"), std::string::npos) << text;
    EXPECT_NE(text.find("06 30 01 02 03 04"), std::string::npos) << text;
}

TEST(Descriptors, InterfacesOfAnAssociationAreListedUnderIt) {
    const std::vector<uint8_t> config = Config({
        8, 11, 0, 2, 0x0E, 3, 0, 0,    // association of interfaces 0 and 1, video
        9, 4, 0, 0, 0, 0x0E, 1, 0, 0,  // interface 0
        5, 0x24, 1, 0, 1,              // class-specific, kept as bytes under interface 0
        9, 4, 1, 0, 0, 0x0E, 2, 0, 0,  // interface 1
        9, 4, 2, 0, 0, 0xFF, 0, 0, 0,  // interface 2: outside the association
    });
    usbcam::DecodedDescriptor decoded;
    std::string error;
    ASSERT_TRUE(usbcam::DecodeConfiguration(config.data(), config.size(), nullptr, &decoded, &error)) << error;
    ASSERT_EQ(decoded.Children.size(), 2u);
    EXPECT_EQ(decoded.Children[0].Title, "Interface Association");
    EXPECT_EQ(decoded.Children[0].Fields[4].Note, "Video");
    ASSERT_EQ(decoded.Children[0].Children.size(), 2u);
    EXPECT_EQ(decoded.Children[0].Children[0].Children[0].Bytes, (std::vector<uint8_t>{5, 0x24, 1, 0, 1}));
    EXPECT_EQ(decoded.Children[1].FieldValue("bInterfaceNumber"), 2u);
    EXPECT_NE(usbcam::RenderDescriptor(decoded).find("\n  Interface Association:\n    bLength"), std::string::npos);
}

TEST(Descriptors, MalformedConfigurationsEndTheWalkWithoutReadingPastTheBytes) {
    std::string error;
    usbcam::DecodedDescriptor decoded;
    // bLength 0 would loop for ever; a descriptor running past the end would
    // read beyond the buffer; an endpoint needs an interface first.
    std::vector<uint8_t> zero = Config({9, 4, 0, 0, 0, 0, 0, 0, 0, 0, 5});
    EXPECT_FALSE(usbcam::DecodeConfiguration(zero.data(), zero.size(), nullptr, &decoded, &error));
    EXPECT_NE(error.find("bLength 0 at offset 18"), std::string::npos) << error;

    std::vector<uint8_t> past = Config({9, 4, 0, 0, 0, 0, 0, 0, 0, 7, 5, 0x81});
    EXPECT_FALSE(usbcam::DecodeConfiguration(past.data(), past.size(), nullptr, &decoded, &error));
    EXPECT_NE(error.find("runs past the end at offset 18"), std::string::npos) << error;

    std::vector<uint8_t> orphan = Config({7, 5, 0x81, 2, 0, 2, 0});
    EXPECT_FALSE(usbcam::DecodeConfiguration(orphan.data(), orphan.size(), nullptr, &decoded, &error));
    EXPECT_NE(error.find("endpoint descriptor before any interface"), std::string::npos) << error;

    // wTotalLength larger than what arrived: said, not read.
    std::vector<uint8_t> cut = Config({9, 4, 0, 0, 0, 0, 0, 0, 0});
    cut[2] = 200;
    EXPECT_FALSE(usbcam::DecodeConfiguration(cut.data(), cut.size(), nullptr, &decoded, &error));
    EXPECT_NE(error.find("only 18 bytes arrived"), std::string::npos) << error;

    const uint8_t device[17] = {18, 1};
    EXPECT_FALSE(usbcam::DecodeDeviceDescriptor(device, sizeof device, nullptr, &decoded, &error));

    // Interface information whose Length disagrees with its pipe count.
    uint8_t info[48] = {48, 0};
    info[16] = 2;  // NumberOfPipes 2 would need 72 bytes
    usbcam::InterfaceTable table;
    EXPECT_FALSE(usbcam::ParseInterfaceTable(info, sizeof info, &table, &error));
    info[16] = 1;
    info[24 + 2] = 0x82;
    info[24 + 4] = 2;
    EXPECT_TRUE(usbcam::ParseInterfaceTable(info, sizeof info, &table, &error)) << error;
    ASSERT_EQ(table.Pipes.size(), 1u);
    EXPECT_EQ(table.Pipes[0].EndpointAddress, 0x82);
    EXPECT_STREQ(usbcam::PipeTypeText(table.Pipes[0].PipeType), "bulk");
}

// ---- Isochronous tally ----

std::vector<uint8_t> Packet(uint32_t seq, size_t size) {
    std::vector<uint8_t> p(size);
    for (size_t k = 0; k < size; ++k) p[k] = static_cast<uint8_t>(seq + k);
    p[0] = static_cast<uint8_t>(seq);
    p[1] = static_cast<uint8_t>(seq >> 8);
    p[2] = static_cast<uint8_t>(seq >> 16);
    p[3] = static_cast<uint8_t>(seq >> 24);
    return p;
}

TEST(IsoPacketTally, CountsGapsAsLostExceptPacketsReportedAsFailed) {
    usbcam::IsoPacketTally tally;
    auto add = [&](uint32_t seq, int32_t status = 0, uint32_t length = 64) {
        std::vector<uint8_t> p = Packet(seq, 64);
        tally.Add(p.data(), p.size(), IsoPacketDescriptor{0, status == 0 ? length : 0, status});
    };
    add(0xFFFFFFFE);  // the counter wraps
    add(0xFFFFFFFF);
    add(0);
    add(0, static_cast<int32_t>(0xC0000B00));  // a failed packet: its slot is not lost
    add(2);
    add(6);        // 3, 4, 5 lost
    add(7, 0, 0);  // empty, not failed
    add(8);
    EXPECT_EQ(tally.Packets(), 8u);
    EXPECT_EQ(tally.FailedPackets(), 1u);
    EXPECT_EQ(tally.EmptyPackets(), 1u);
    EXPECT_EQ(tally.Bytes(), 6u * 64u);
    EXPECT_TRUE(tally.SequenceNumbered());
    EXPECT_EQ(tally.LostPackets(), 4u);  // 3, 4, 5, and 7, which came empty
    EXPECT_EQ(tally.BadPayloads(), 0u);

    // Packets without the pattern: losses are unknown, not zero.
    usbcam::IsoPacketTally plain;
    std::vector<uint8_t> zeros(64, 0);
    zeros[0] = 9;
    plain.Add(zeros.data(), zeros.size(), IsoPacketDescriptor{0, 64, 0});
    EXPECT_FALSE(plain.SequenceNumbered());

    // A buffer as the driver lays it out: payload strides, then descriptors.
    std::vector<uint8_t> buffer;
    for (uint32_t s = 10; s < 13; ++s) {
        std::vector<uint8_t> p = Packet(s == 12 ? 14 : s, 32);
        buffer.insert(buffer.end(), p.begin(), p.end());
    }
    for (uint32_t j = 0; j < 3; ++j) {
        IsoPacketDescriptor d{j * 32, 32, 0};
        const uint8_t *b = reinterpret_cast<const uint8_t *>(&d);
        buffer.insert(buffer.end(), b, b + sizeof d);
    }
    usbcam::IsoPacketTally laid;
    EXPECT_FALSE(laid.AddBuffer(buffer.data(), buffer.size() - 1, 32, 3));
    ASSERT_TRUE(laid.AddBuffer(buffer.data(), buffer.size(), 32, 3));
    EXPECT_EQ(laid.Packets(), 3u);
    EXPECT_EQ(laid.LostPackets(), 2u);  // 12 and 13
}

// Requests that reach the ring out of order: their packets are late, not lost,
// and the gap they fill is not counted again when the sequence goes on.
TEST(IsoPacketTally, PacketsArrivingBehindLaterOnesAreOutOfOrderNotLost) {
    usbcam::IsoPacketTally tally;
    auto add = [&](uint32_t first, uint32_t count) {
        for (uint32_t s = first; s < first + count; ++s) {
            std::vector<uint8_t> p = Packet(s, 64);
            tally.Add(p.data(), p.size(), IsoPacketDescriptor{0, 64, 0});
        }
    };
    add(0, 4);
    add(8, 4);  // 4..7 missing so far
    add(4, 4);  // ...they came after all
    add(12, 4);
    add(20, 4);  // 16..19 never come
    EXPECT_EQ(tally.Packets(), 20u);
    EXPECT_EQ(tally.OutOfOrderPackets(), 4u);
    EXPECT_EQ(tally.LostPackets(), 4u);
}

// ---- Images ----

TEST(Images, PngHoldsTheTestPatternForAnIndependentDecoder) {
    usbcam::GreyImage image;
    image.Width = 96;
    image.Height = 40;
    const uint32_t counter = 0x01020305;
    for (uint32_t y = 0; y < image.Height; ++y) {
        for (uint32_t x = 0; x < image.Width; ++x) image.Pixels.push_back(static_cast<uint8_t>(x + 2 * y + counter));
    }
    const uint8_t header[8] = {0x05, 0x03, 0x02, 0x01, 96, 0, 40, 0};
    std::copy(header, header + 8, image.Pixels.begin());
    usbcam::FrameHeader parsed;
    ASSERT_TRUE(usbcam::ParseFrameHeader(image.Pixels.data(), image.Pixels.size(), &parsed));
    EXPECT_EQ(parsed.Counter, counter);
    EXPECT_FALSE(usbcam::ParseFrameHeader(image.Pixels.data(), image.Pixels.size() - 1, &parsed));

    const std::string png = TempPath("pattern.png");
    std::string error;
    ASSERT_TRUE(usbcam::WriteImageFile(png, image, &error)) << error;
    EXPECT_EQ(RunShell("python3 " PNG_CHECK_SCRIPT " " + png + " 96 40"), "ok 96 40 16909061\n");

    // A corrupted pixel is caught by the decoder (the check is not vacuous).
    image.Pixels[500] ^= 1;
    ASSERT_TRUE(usbcam::WriteImageFile(png, image, &error)) << error;
    EXPECT_EQ(RunShell("python3 " PNG_CHECK_SCRIPT " " + png).rfind("pixel (20, 5)", 0), 0u);

    const std::string pgm = TempPath("pattern.pgm");
    ASSERT_TRUE(usbcam::WriteImageFile(pgm, image, &error)) << error;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(usbcam::ReadFileBytes(pgm, &bytes, &error));
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 13), "P5\n96 40\n255\n");
    EXPECT_EQ(bytes.size(), 13u + 96u * 40u);

    EXPECT_FALSE(usbcam::WriteImageFile(TempPath("pattern.gif"), image, &error));
    EXPECT_NE(error.find("name the file .png or .pgm"), std::string::npos);
    EXPECT_FALSE(usbcam::WriteImageFile("/nonexistent/dir/x.png", image, &error));
    EXPECT_NE(error.find("cannot write /nonexistent/dir/x.png"), std::string::npos) << error;
    remove(png.c_str());
    remove(pgm.c_str());
}

}  // namespace
