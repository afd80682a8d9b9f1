// Parsing in the client library and usbcam: hex byte strings, numbers, code
// and status names, raw options and batch lines. Nothing here runs a device.
#include <gtest/gtest.h>
#include <string.h>

#include <cctype>

#include <CLI/CLI.hpp>

#include "command.h"
#include "usbcam/usbcam_ioctl.h"
#include "usbcam/control_codes.h"
#include "usbcam/status_names.h"
#include "usbcam/text.h"

namespace usbcam {
namespace {

std::vector<uint8_t> Hex(const std::string &text) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(ParseHexBytes(text, &bytes, &error)) << text << ": " << error;
    return bytes;
}

std::string HexError(const std::string &text) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_FALSE(ParseHexBytes(text, &bytes, &error)) << text;
    return error;
}

TEST(ClientText, HexBytesAcceptTheUsualSpellingsAndRejectBrokenOnes) {
    const std::vector<uint8_t> expected = {0x0a, 0x1b, 0xff};
    EXPECT_EQ(Hex("0a1bff"), expected);
    EXPECT_EQ(Hex("0x0A1BFF"), expected);
    EXPECT_EQ(Hex("0a 1b ff"), expected);
    EXPECT_EQ(Hex("0a:1b:ff"), expected);
    EXPECT_EQ(Hex("0a-1b,ff"), expected);
    EXPECT_TRUE(Hex("").empty());

    EXPECT_NE(HexError("0a1").find("odd"), std::string::npos);
    EXPECT_NE(HexError("0g").find("'g'"), std::string::npos);
    EXPECT_NE(HexError("0 a").find("separator"), std::string::npos);  // a split byte
}

TEST(ClientText, HexFormattingIsLowerCaseAndRoundTrips) {
    const std::vector<uint8_t> bytes = {0x01, 0x00, 0xAB, 0xff};
    EXPECT_EQ(FormatHexBytes(bytes), "0100abff");
    EXPECT_EQ(Hex(FormatHexBytes(bytes)), bytes);
    EXPECT_EQ(FormatHexBytes(nullptr, 0), "");
}

TEST(ClientText, NumbersParseInDecimalAndHexWithRangeChecks) {
    uint32_t u = 0;
    EXPECT_TRUE(ParseUnsigned32("0x222074", &u));
    EXPECT_EQ(u, 0x222074u);
    EXPECT_TRUE(ParseUnsigned32("2236532", &u));
    EXPECT_EQ(u, 0x222074u);
    EXPECT_TRUE(ParseUnsigned32("4294967295", &u));
    EXPECT_FALSE(ParseUnsigned32("4294967296", &u));
    EXPECT_FALSE(ParseUnsigned32("", &u));
    EXPECT_FALSE(ParseUnsigned32("0x", &u));
    EXPECT_FALSE(ParseUnsigned32("12a", &u));
    EXPECT_FALSE(ParseUnsigned32("-1", &u));
    uint64_t wide = 0;
    EXPECT_FALSE(ParseUnsigned64("18446744073709551616", &wide));

    int32_t s = 0;
    EXPECT_TRUE(ParseSigned32("-1", &s));
    EXPECT_EQ(s, -1);
    EXPECT_TRUE(ParseSigned32("-2147483648", &s));
    EXPECT_EQ(s, INT32_MIN);
    EXPECT_FALSE(ParseSigned32("2147483648", &s));
}

TEST(ClientText, WordsSplitAtBlanksAndKeepQuotedBlanks) {
    std::vector<std::string> words;
    ASSERT_TRUE(SplitWords("  raw  GET_VERSION --in \"01 02\" --out-len '6'", &words));
    EXPECT_EQ(words, (std::vector<std::string>{"raw", "GET_VERSION", "--in", "01 02", "--out-len", "6"}));
    EXPECT_FALSE(SplitWords("raw --in \"01", &words));
    ASSERT_TRUE(SplitWords("", &words));
    EXPECT_TRUE(words.empty());
}

TEST(ClientNames, EveryControlCodeHasANameThatParsesBack) {
    size_t count = 0;
    const ControlCodeInfo *table = ControlCodeTable(&count);
    ASSERT_EQ(count, static_cast<size_t>(USBCAM_CONTROL_CODE_COUNT));
    for (size_t i = 0; i < count; ++i) {
        const std::string name = table[i].Name;
        uint32_t code = 0;
        std::string error;
        ASSERT_TRUE(ParseControlCode(name, &code, &error)) << name;
        EXPECT_EQ(code, table[i].Code);
        // Without the prefix, any case.
        std::string shortName = name.substr(strlen("IOCTL_USBCAM_"));
        for (char &c : shortName) c = static_cast<char>(tolower(c));
        ASSERT_TRUE(ParseControlCode(shortName, &code, &error)) << shortName;
        EXPECT_EQ(code, table[i].Code);
        EXPECT_STREQ(ControlCodeName(table[i].Code), table[i].Name);
    }
    EXPECT_EQ(ControlCodeMethod(IOCTL_USBCAM_READ_PIPE), BufferMethod::OutDirect);
    EXPECT_EQ(ControlCodeMethod(IOCTL_USBCAM_LOAD_MEMORY), BufferMethod::InDirect);
    EXPECT_EQ(ControlCodeMethod(IOCTL_USBCAM_GET_VERSION), BufferMethod::Buffered);
}

TEST(ClientNames, ControlCodesByNumberIncludeUndefinedOnesAndUnknownNamesFail) {
    uint32_t code = 0;
    std::string error;
    ASSERT_TRUE(ParseControlCode("0x222010", &code, &error));  // function 0x804: not defined
    EXPECT_EQ(code, 0x222010u);
    EXPECT_EQ(ControlCodeName(code), nullptr);
    ASSERT_TRUE(ParseControlCode("2236532", &code, &error));
    EXPECT_EQ(code, static_cast<uint32_t>(IOCTL_USBCAM_GET_VERSION));

    EXPECT_FALSE(ParseControlCode("GET_VERSIONS", &code, &error));
    EXPECT_NE(error.find("GET_VERSIONS"), std::string::npos);
    EXPECT_FALSE(ParseControlCode("IOCTL_USBCAM_", &code, &error));
    EXPECT_FALSE(ParseControlCode("0x1222074000", &code, &error));
}

TEST(ClientNames, StatusesShowNameAndValueAndLookUpBothWays) {
    EXPECT_EQ(FormatNtStatus(0), "STATUS_SUCCESS (0x00000000)");
    EXPECT_EQ(FormatNtStatus(0xC0000056u), "STATUS_DELETE_PENDING (0xC0000056)");
    EXPECT_EQ(FormatNtStatus(0xC0001234u), "NTSTATUS 0xC0001234");
    // The two sets share values but not names.
    EXPECT_STREQ(NtStatusName(0xC0000001u), "STATUS_UNSUCCESSFUL");
    EXPECT_STREQ(UsbdStatusName(0xC0000001u), "USBD_STATUS_CRC");
    EXPECT_EQ(FormatUsbdStatus(0xC0000004u), "USBD_STATUS_STALL_PID (0xC0000004)");

    uint32_t value = 0;
    ASSERT_TRUE(UsbdStatusFromName("stall_pid", &value));
    EXPECT_EQ(value, 0xC0000004u);
    ASSERT_TRUE(UsbdStatusFromName("USBD_STATUS_DEVICE_GONE", &value));
    EXPECT_EQ(value, 0xC0007000u);
    ASSERT_TRUE(NtStatusFromName("io_timeout", &value));
    EXPECT_EQ(value, 0xC00000B5u);
    ASSERT_TRUE(NtStatusFromName("0xC0000001", &value));
    EXPECT_EQ(value, 0xC0000001u);
    EXPECT_FALSE(NtStatusFromName("STALL_PID", &value));
    EXPECT_TRUE(IsNtSuccess(0x103));
    EXPECT_FALSE(IsNtSuccess(0xC0000001u));
}

// --- usbcam's raw options and batch lines ---

bool ParseLine(const std::string &line, cli::Command *command, std::string *error) {
    std::vector<std::string> words;
    if (!SplitWords(line, &words)) return false;
    return cli::ParseCommand(words, command, error);
}

cli::Command Line(const std::string &line) {
    cli::Command command;
    std::string error;
    EXPECT_TRUE(ParseLine(line, &command, &error)) << line << ": " << error;
    return command;
}

std::string LineError(const std::string &line) {
    cli::Command command;
    std::string error;
    EXPECT_FALSE(ParseLine(line, &command, &error)) << line;
    return error;
}

TEST(UsbcamParsing, RawLinesBuildTheRequestBuffers) {
    cli::Command c = Line("raw IOCTL_USBCAM_GET_VERSION --out-len 6");
    EXPECT_EQ(c.What, cli::Command::Kind::Raw);
    EXPECT_EQ(c.Raw.Code, static_cast<uint32_t>(IOCTL_USBCAM_GET_VERSION));
    EXPECT_TRUE(c.Raw.Input.empty());
    EXPECT_EQ(c.Raw.Output, std::vector<uint8_t>(6, 0));
    EXPECT_EQ(c.Raw.Device, -1);

    c = Line("raw get_string_descriptor --in 02000904 --out-len 4 --fill 0xAA --device 3");
    EXPECT_EQ(c.Raw.Input, (std::vector<uint8_t>{0x02, 0x00, 0x09, 0x04}));
    EXPECT_EQ(c.Raw.Output, std::vector<uint8_t>(4, 0xAA));
    EXPECT_EQ(c.Raw.Device, 3);

    c = Line("raw 0x222010 --out 'de ad'");
    EXPECT_EQ(c.Raw.Code, 0x222010u);
    EXPECT_EQ(c.Raw.Output, (std::vector<uint8_t>{0xde, 0xad}));

    c = Line("raw NOP --out-len 0");
    EXPECT_TRUE(c.Raw.Output.empty());
}

TEST(UsbcamParsing, RawLinesRejectBadInputWithAClearReason) {
    EXPECT_NE(LineError("raw NOP --in 0a1").find("--in"), std::string::npos);
    EXPECT_NE(LineError("raw NOP --out zz").find("--out"), std::string::npos);
    EXPECT_NE(LineError("raw NO_SUCH_CODE").find("NO_SUCH_CODE"), std::string::npos);
    EXPECT_NE(LineError("raw NOP --out-len 4 --fill 256").find("--fill"), std::string::npos);
    EXPECT_NE(LineError("raw NOP --out-len -1").find("--out-len"), std::string::npos);
    EXPECT_NE(LineError("raw NOP --out-len 268435457").find("at most"), std::string::npos);
    LineError("raw NOP --out 00 --out-len 4");  // one or the other
    LineError("raw NOP --fill 1");              // --fill belongs to --out-len
    LineError("raw");                           // no code
    LineError("raw NOP --device 32");
    LineError("raw NOP --bogus");
    LineError("raw NOP extra");
}

TEST(UsbcamParsing, EmulationLinesParseTheirArguments) {
    EXPECT_EQ(Line("plug").What, cli::Command::Kind::Plug);
    EXPECT_EQ(Line("plug cams/other.json").Profile, "cams/other.json");
    EXPECT_EQ(Line("unplug").What, cli::Command::Kind::Unplug);
    EXPECT_EQ(Line("device 2").Device, 2u);
    EXPECT_EQ(Line("close").What, cli::Command::Kind::Close);

    EXPECT_EQ(Line("pnp start").Pnp, cli::PnpAction::Start);
    EXPECT_EQ(Line("pnp stop").Pnp, cli::PnpAction::Stop);
    EXPECT_EQ(Line("pnp remove").Pnp, cli::PnpAction::Remove);
    EXPECT_EQ(Line("pnp surprise-remove").Pnp, cli::PnpAction::SurpriseRemove);
    EXPECT_EQ(Line("pnp capabilities").Pnp, cli::PnpAction::Capabilities);

    cli::Command power = Line("power");
    EXPECT_EQ(power.PowerMinor, 0x02);
    EXPECT_TRUE(power.PowerIsDevice);
    EXPECT_EQ(power.PowerState, 1u);  // D0
    power = Line("power query s3");
    EXPECT_EQ(power.PowerMinor, 0x03);
    EXPECT_FALSE(power.PowerIsDevice);
    EXPECT_EQ(power.PowerState, 4u);  // PowerSystemSleeping3
    EXPECT_EQ(power.PowerText, "query S3");
    EXPECT_EQ(Line("power D3").PowerState, 4u);

    cli::Command knob = Line("stall 0x82");
    EXPECT_EQ(knob.What, cli::Command::Kind::Stall);
    EXPECT_EQ(knob.Endpoint, 0x82);
    EXPECT_TRUE(knob.On);
    EXPECT_FALSE(Line("never-answer any off").On);
    EXPECT_EQ(Line("never-answer any off").Endpoint, -1);

    knob = Line("fail 0 2");
    EXPECT_EQ(knob.Endpoint, 0);
    EXPECT_EQ(knob.Count, 2u);
    EXPECT_EQ(knob.Status, 0xC0000004u);  // stall by default
    EXPECT_EQ(Line("fail 0x81 1 DEVICE_GONE").Status, 0xC0007000u);

    EXPECT_EQ(Line("latency 0x82 5").Microseconds, 5000u);
    EXPECT_EQ(Line("latency 0x82 250us").Microseconds, 250u);
    EXPECT_EQ(Line("latency any 2s").Microseconds, 2000000u);
    EXPECT_EQ(Line("port-status 0x3").Value, 3u);
    EXPECT_EQ(Line("fail-port-reset 1 STATUS_IO_TIMEOUT").Status, 0xC00000B5u);
    EXPECT_FALSE(Line("inline off").On);
    EXPECT_EQ(Line("reset-knobs").What, cli::Command::Kind::ResetKnobs);
    EXPECT_EQ(Line("completion-threads 1").Count, 1u);
    EXPECT_EQ(Line("completion-delay 5ms").Microseconds, 5000u);
    EXPECT_FALSE(Line("bandwidth off").On);
    EXPECT_EQ(Line("inline-failures").What, cli::Command::Kind::InlineFailures);
}

TEST(UsbcamParsing, MalformedEmulationLinesAreRefused) {
    EXPECT_NE(LineError("frobnicate").find("unknown command"), std::string::npos);
    EXPECT_NE(LineError("pnp reboot").find("reboot"), std::string::npos);
    LineError("pnp");
    LineError("device 32");
    LineError("device x");
    LineError("plug a b");
    LineError("power set D4");
    LineError("power set D0 extra");
    LineError("stall");
    LineError("completion-threads 5");
    LineError("completion-delay soon");
    LineError("stall 0x82 maybe");
    LineError("stall 0x182");  // not an endpoint address
    LineError("stall 0x12");   // reserved bits set
    LineError("fail 0x82");
    LineError("fail 0x82 1 NOT_A_STATUS");
    LineError("latency 0x82 5min");
    LineError("latency 0x82 5000000s");  // overflows
    LineError("close now");
}

TEST(UsbcamParsing, CommentsAndBlankLinesAreSkipped) {
    EXPECT_TRUE(cli::IsSkippedLine(""));
    EXPECT_TRUE(cli::IsSkippedLine("   \t\r"));
    EXPECT_TRUE(cli::IsSkippedLine("# raw NOP"));
    EXPECT_TRUE(cli::IsSkippedLine("   # indented comment"));
    EXPECT_FALSE(cli::IsSkippedLine("raw NOP # trailing words are arguments"));
}

}  // namespace
}  // namespace usbcam
