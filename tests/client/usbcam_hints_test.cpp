// usbcam's failures name their cause where the tool can know it, each
// provoked here on the emulated reference camera: the time-out, a pipe of the
// wrong direction or type, a frame larger than --bytes, a halted pipe, a
// camera that went away (also in the middle of a stream), a setting the bus
// has no bandwidth for. Usage errors all
// end with a next step, --json gives them as JSON, and the stream runs with
// nothing but a setting.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "program_run.h"

namespace {

using namespace usbcam_test;

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

std::string Temp(const std::string &name) {
    return ::testing::TempDir() + "usbcam_hints_" + std::to_string(getpid()) + "_" + name;
}

TEST(UsbcamHints, AReadThatWaitedTheWholeTimeOutSaysSo) {
    const ProgramRun run = Usbcam("batch", "timeout 150\nnever-answer 0x82 on\nread 2 512\n");
    ExpectFailureLine(run, "line 3: read 2 512: ");
    EXPECT_TRUE(Has(run.Err, "try: the request waited the driver's whole 150 ms time-out")) << run.Err;
    EXPECT_TRUE(Has(run.Err, "`usbcam timeout MS`")) << run.Err;
    EXPECT_FALSE(Has(run.Err, "reset-pipe")) << run.Err;
}

TEST(UsbcamHints, APipeOfTheWrongDirectionOrTypeIsNamedWithOneThatFits) {
    const std::string file = Temp("bytes.bin");
    {
        std::ofstream out(file);
        out << "0123456789";
    }
    // A write to bulk IN pipe 1: the camera's endpoint sends more than nothing back.
    ProgramRun run = Usbcam("write 1 " + file);
    ExpectOneLineError(run, "write 1 " + file + ": ");
    EXPECT_TRUE(Has(run.Err,
                    "try: pipe 1 is bulk IN (endpoint 0x81); write takes a bulk or interrupt OUT pipe: "
                    "here pipe 0"))
        << run.Err;
    // A read of an isochronous pipe of setting 1.
    run = Usbcam("batch", "select 0 1\nread 2 512\n");
    ExpectFailureLine(run, "line 2: read 2 512: ");
    EXPECT_TRUE(Has(run.Err,
                    "try: pipe 2 is isochronous IN (endpoint 0x84); read takes a bulk or interrupt IN "
                    "pipe: here pipe 1"))
        << run.Err;
    // A pipe the setting does not have.
    ExpectOneLineError(Usbcam("read 9 16"), "try: the current interface has pipes 0 to 3");
    remove(file.c_str());
}

TEST(UsbcamHints, ACaptureSmallerThanTheFrameSaysTheFramesSize) {
    const ProgramRun run = Usbcam("capture --bytes 100 -o " + Temp("small.png"));
    ExpectOneLineError(run, "USBD_STATUS_DATA_OVERRUN");
    EXPECT_TRUE(Has(run.Err,
                    "try: the camera's frame is larger than the 100 bytes of --bytes (the reference "
                    "camera's is 307200 bytes, 640 x 480); leave --bytes out"))
        << run.Err;
}

TEST(UsbcamHints, AHaltedPipeSaysWhichResetClearsIt) {
    const ProgramRun run = Usbcam("batch", "stall 0x82\nread 2 512\n");
    ExpectFailureLine(run, "USBD_STATUS_STALL_PID");
    EXPECT_TRUE(Has(run.Err, "try: the camera halted pipe 2 (a stall); clear it with `usbcam reset-pipe 2`"))
        << run.Err;
}

TEST(UsbcamHints, TheRequestsAHintSendsDoNotReplaceTheFailuresUsbStatus) {
    // The read fails with a transaction error; the descriptor request that
    // checks whether the camera is still there meets the stalled control
    // pipe. The line reports the read's status, and no stall of pipe 2.
    const ProgramRun run = Usbcam("batch", "stall 0\nfail 0x82 1 USBD_STATUS_XACT_ERROR\nread 2 512\n");
    ExpectFailureLine(run, "read 2 512: STATUS_UNSUCCESSFUL (0xC0000001), last USB status USBD_STATUS_XACT_ERROR");
    EXPECT_FALSE(Has(run.Err, "halted pipe 2")) << run.Err;
}

TEST(UsbcamHints, ACameraThatWentAwayIsSaidToBeGoneAndListedAsRemoved) {
    ProgramRun run = Usbcam("batch", "frame\nunplug\nread 2 512\n");
    ExpectFailureLine(run, "try: the camera went away (unplugged, or removed by the system); plug it in again");
    // Its link still opens while this session holds a handle: not "started".
    run = Usbcam("batch", "frame\nunplug\nlist\n");
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_TRUE(Has(run.Out, "0  \\\\.\\Tavrinoscope-0    removed (unplugged;")) << run.Out;
    EXPECT_FALSE(Has(run.Out, "????")) << run.Out;
    EXPECT_FALSE(Has(run.Out, "started")) << run.Out;
    run = Usbcam("--json batch", "frame\nunplug\nlist\n");
    const nlohmann::json list = nlohmann::json::parse(run.Out.substr(run.Out.rfind("{\"cameras\"")));
    EXPECT_EQ(list["cameras"][0]["state"], "removed");
    EXPECT_EQ(list["cameras"][0]["started"], false);
}

TEST(UsbcamHints, AStreamEndedByAnUnplugSaysSoAfterItsSummary) {
    const ProgramRun run = Usbcam("batch", "select 0 3\nunplug\nstream --seconds 30\n");
    ExpectFailureLine(run, "(reading the stream)");
    EXPECT_TRUE(Has(run.Err, "try: the camera went away")) << run.Err;
    EXPECT_FALSE(Has(run.Err, "per-request")) << run.Err;
    EXPECT_TRUE(Has(run.Out, "stopped by the camera went away; pipe 0, 3072-byte packets")) << run.Out;
}

// A second camera plugged in a session shares the first's bus: beside the
// first's full-rate setting, its own setting 3, then 1, do not fit.
TEST(UsbcamHints, ASettingTheBusHasNoBandwidthForNamesALowerOne) {
    const std::string beside = "select 0 3\nplug\ndevice 1\n";
    ProgramRun run = Usbcam("batch", beside + "select 0 3\n");
    ExpectFailureLine(run, "line 4: select 0 3: not enough bus bandwidth for this setting (another device holds it)");
    EXPECT_TRUE(Has(run.Err, "USBD_STATUS_NO_BANDWIDTH")) << run.Err;
    EXPECT_TRUE(Has(run.Err, "; try: setting 1 or another USB controller\n")) << run.Err;
    // As a JSON error; setting 0 fits, and setting 1 names the one below it.
    run = Usbcam("--json batch", beside + "select 0 0\nselect 0 1\n");
    EXPECT_EQ(run.Exit, 1) << run.Err;
    EXPECT_TRUE(Has(run.Out, "{\"command\":\"select 0 0\",\"pipes\":4}")) << run.Out;
    const nlohmann::json error = nlohmann::json::parse(run.Err);
    EXPECT_TRUE(Has(error["error"], "select 0 1: not enough bus bandwidth for this setting")) << run.Err;
    EXPECT_EQ(error["try"], "setting 0 or another USB controller");
    // A stream's setting: the lower one with an isochronous IN pipe.
    run = Usbcam("batch", beside + "stream --setting 3 --packets 10\n");
    ExpectFailureLine(run, "(selecting setting 3): not enough bus bandwidth for this setting");
    EXPECT_TRUE(Has(run.Err, "; try: setting 1 or another USB controller\n")) << run.Err;
    EXPECT_FALSE(Has(run.Out, "packets")) << run.Out;
}

TEST(UsbcamStream, RunsAloneFromTheSettingsFirstIsochronousPipe) {
    ProgramRun run = Usbcam("--json stream --setting 3 --packets 200");
    if (run.Exit == 1 && Has(run.Err, "(reading the stream): STATUS_UNSUCCESSFUL")) {
        GTEST_SKIP() << "the emulated bus failed the stream's requests (busy machine): " << run.Err;
    }
    ASSERT_EQ(run.Exit, 0) << run.Err;
    const nlohmann::json report = nlohmann::json::parse(run.Out);
    EXPECT_EQ(report["pipe"], 0);
    EXPECT_EQ(report["packet_size"], 3072);  // 3 x 1024 bytes a microframe
    EXPECT_EQ(report["per_request"], 16);
    EXPECT_EQ(report["packets"], 200);
    EXPECT_EQ(report["stopped_by"], "count");
    run = Usbcam("stream --setting 1 --seconds 0.3");
    if (run.Exit == 1 && Has(run.Err, "(reading the stream): STATUS_UNSUCCESSFUL")) GTEST_SKIP() << run.Err;
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_TRUE(Has(run.Out, "stopped by its --seconds elapsed; pipe 2, 1024-byte packets")) << run.Out;
    ExpectOneLineError(Usbcam("stream 1 --setting 1 --seconds 1"),
                       "pipe 1 of setting 1 is no isochronous IN pipe; try: usbcam stream --setting N");
}

TEST(UsbcamUsage, EveryUsageErrorEndsWithWhatToTry) {
    const struct {
        const char *Args;
        const char *Input;
        const char *Error;
    } cases[] = {
        {"", "", "usbcam: no command given (usbcam takes a subcommand); try: usbcam demo"},
        {"raw FROB", "", "usbcam: raw: unknown control code 'FROB'; try: usbcam raw --help lists the code names"},
        {"batch", "frob 1\n", "usbcam: line 1: unknown command 'frob'; try: usbcam batch --help"},
        {"--device 99 info", "", "usbcam: --device 99: cameras are numbered 0 to 31; try: usbcam list"},
        {"--device x info", "", "usbcam: Could not convert: --device = x; try: usbcam --help"},
    };
    for (const auto &c : cases) {
        const ProgramRun run = Usbcam(c.Args, c.Input);
        ExpectOneLineError(run, "; try: ");
        EXPECT_EQ(run.Err.rfind(c.Error, 0), 0u) << c.Args << "\n"
                                                 << run.Err;
        EXPECT_FALSE(Has(run.Err, "info:")) << run.Err;  // not blamed on the command
    }
    // raw's help lists the names it takes.
    EXPECT_TRUE(Has(Usbcam("raw --help").Out, "GET_VERSION")) << Usbcam("raw --help").Out;
}

TEST(UsbcamUsage, HelpNamesNumbersAsNumbersNotText) {
    for (const char *command : {"", "raw", "read", "write", "capture", "iso-read", "stream", "view", "select",
                                "vendor", "control", "string", "timeout", "sleep", "demo", "load", "feature"}) {
        const ProgramRun run = Usbcam(std::string(command) + " --help");
        ASSERT_EQ(run.Exit, 0) << command;
        EXPECT_FALSE(Has(run.Out, "TEXT")) << command << "\n"
                                           << run.Out;
    }
    const std::string stream = Usbcam("stream --help").Out;
    for (const char *shown : {"--seconds S", "--packets N", "--packet-size BYTES", "--setting N", "PIPE N"}) {
        EXPECT_TRUE(Has(stream, shown)) << shown << "\n"
                                        << stream;
    }
}

TEST(UsbcamUsage, JsonGivesErrorsAsJson) {
    for (const char *args : {"--json read 9 16", "--json --device 99 info", "--json raw FROB"}) {
        const ProgramRun run = Usbcam(args);
        EXPECT_EQ(run.Exit, 1) << args;
        EXPECT_EQ(run.Out, "") << args;
        const nlohmann::json error = nlohmann::json::parse(run.Err);
        EXPECT_TRUE(error["error"].is_string()) << run.Err;
        EXPECT_TRUE(error["try"].is_string()) << run.Err;
        EXPECT_EQ(error["exit"], 1) << run.Err;
    }
    const nlohmann::json error = nlohmann::json::parse(Usbcam("--json read 9 16").Err);
    EXPECT_EQ(error["error"], "read 9 16: STATUS_INVALID_PARAMETER (0xC000000D)");
}

TEST(UsbcamDemo, CreatesTheDirectoryItIsGiven) {
    const std::string dir = Temp("demo") + "/a/b";
    const ProgramRun run = Usbcam("demo --dir " + dir);
    EXPECT_TRUE(Has(run.Out, dir + "/demo-memory.hex: 1024 bytes")) << run.Out << run.Err;
    EXPECT_FALSE(ReadFile(dir + "/demo-frame.png").empty());
    EXPECT_EQ(system(("rm -rf " + Temp("demo")).c_str()), 0);
    ExpectOneLineError(Usbcam("demo --dir /dev/null/x"), "cannot create the directory /dev/null/x");
}

}  // namespace
