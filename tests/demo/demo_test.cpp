// The camera demo run as `make demo` runs it: its exit status, the lines that
// carry its story, and the bus capture of --trace; and, called directly, the
// verdict that decides the exit status and the parsers that read the
// driver's answers.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "camera_records.h"
#include "verdict.h"

namespace {

struct ProgramRun {
    int Exit;
    std::string Out;
    std::string Err;
};

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TempPath(const std::string &suffix) {
    static int counter = 0;
    return ::testing::TempDir() + "demo_" + std::to_string(getpid()) + "_" +
           std::to_string(counter++) + suffix;
}

// Runs usbcam-demo with the given arguments (shell syntax). The time limit
// only guards against a hang.
ProgramRun Demo(const std::string &args) {
    const std::string base = TempPath("");
    const std::string command = "timeout 100 " USBCAM_DEMO_PROGRAM " " + args + " > " + base +
                                ".out 2> " + base + ".err";
    const int raw = system(command.c_str());
    ProgramRun run;
    run.Exit = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.Out = ReadFile(base + ".out");
    run.Err = ReadFile(base + ".err");
    remove((base + ".out").c_str());
    remove((base + ".err").c_str());
    return run;
}

bool Has(const std::string &text, const std::string &line) {
    return text.find(line) != std::string::npos;
}

uint32_t Le32(const std::string &b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

// Counts the submission events in a usbmon pcap capture whose setup packet
// has the given bmRequestType and bRequest. Returns -1 on a malformed file.
int CountSetups(const std::string &pcap, uint8_t requestType, uint8_t request) {
    if (pcap.size() < 24) return -1;
    int count = 0;
    size_t at = 24;
    while (at + 16 <= pcap.size()) {
        const uint32_t captured = Le32(pcap, at + 8);
        const size_t event = at + 16;
        if (captured < 64 || event + captured > pcap.size()) return -1;
        const bool submission = pcap[event + 8] == 'S';
        const bool hasSetup = pcap[event + 14] == 0;
        if (submission && hasSetup && static_cast<uint8_t>(pcap[event + 40]) == requestType &&
            static_cast<uint8_t>(pcap[event + 41]) == request) {
            ++count;
        }
        at = event + captured;
    }
    return at == pcap.size() ? count : -1;
}

TEST(DemoProgram, TellsTheCameraStoryAndEndsWithACleanVerdict) {
    const std::string trace = TempPath(".pcap");
    const ProgramRun run = Demo("--trace " + trace);
    EXPECT_EQ(run.Exit, 0) << run.Out << run.Err;
    EXPECT_EQ(run.Err, "");
    EXPECT_FALSE(Has(run.Out, "UNEXPECTED")) << run.Out;

    // Bring-up, identity and the driver's own answers.
    EXPECT_TRUE(Has(run.Out,
                    "IRP_MN_START_DEVICE (the driver configures the camera) -> "
                    "STATUS_SUCCESS (0x00000000)"))
        << run.Out;
    EXPECT_TRUE(Has(run.Out, "vendor 0x1209, product 0x0001")) << run.Out;
    EXPECT_TRUE(Has(run.Out, "product: \"Tavrinoscope\"")) << run.Out;
    EXPECT_TRUE(Has(run.Out, "driver version 1.1 (0x00010001)")) << run.Out;
    EXPECT_TRUE(Has(run.Out, "interface 0, alternate setting 2, class 0xFF: no endpoints")) << run.Out;

    // The pipe tables before and after the selection of setting 1.
    EXPECT_TRUE(Has(run.Out, "interface 0, alternate setting 0, class 0xFF, 4 pipes")) << run.Out;
    EXPECT_TRUE(Has(run.Out, "   2  0x82 in   bulk                512")) << run.Out;
    EXPECT_TRUE(Has(run.Out, "interface 0, alternate setting 1, class 0xFF, 4 pipes")) << run.Out;
    EXPECT_TRUE(Has(run.Out, "   2  0x84 in   isochronous        1024")) << run.Out;

    // Memory round trip, the failed request's USB cause, the pipe reset.
    EXPECT_TRUE(Has(run.Out, "all 512 bytes match the pattern.")) << run.Out;
    EXPECT_TRUE(Has(run.Out, "-> STATUS_UNSUCCESSFUL (0xC0000001), 0 bytes")) << run.Out;
    EXPECT_TRUE(Has(run.Out, "LastUsbdStatus: USBD_STATUS_STALL_PID (0xC0000004)")) << run.Out;
    EXPECT_TRUE(Has(run.Out,
                    "CLEAR_FEATURE(ENDPOINT_HALT) to endpoint 0x81 -> "
                    "USBD_STATUS_SUCCESS (0x00000000)"))
        << run.Out;

    // Take-down and verdict, last.
    EXPECT_TRUE(Has(run.Out, "IRP_MN_REMOVE_DEVICE -> STATUS_SUCCESS (0x00000000)")) << run.Out;
    const std::string verdict = "Verifier: no rule broken.\n";
    ASSERT_GE(run.Out.size(), verdict.size());
    EXPECT_EQ(run.Out.substr(run.Out.size() - verdict.size()), verdict);

    // The capture holds the run: the eight 64-byte memory loads (vendor
    // request 0xA0 host to device) and the one read back.
    const std::string pcap = ReadFile(trace);
    remove(trace.c_str());
    ASSERT_GE(pcap.size(), 24u);
    EXPECT_EQ(Le32(pcap, 0), 0xA1B2C3D4u);
    EXPECT_EQ(Le32(pcap, 20), 220u);
    EXPECT_EQ(CountSetups(pcap, 0x40, 0xA0), 8);
    EXPECT_EQ(CountSetups(pcap, 0xC0, 0xA0), 1);
}

TEST(DemoProgram, UsageErrorsAndAnUnwritableTraceFailWithExitOne) {
    ProgramRun run = Demo("--no-such-option");
    EXPECT_EQ(run.Exit, 1) << run.Out << run.Err;

    run = Demo("--help");
    EXPECT_EQ(run.Exit, 0) << run.Err;
    EXPECT_TRUE(Has(run.Out, "--trace")) << run.Out;

    // The machine cannot start; nothing ran, so the verifier has nothing to say.
    run = Demo("--trace /nonexistent-dir/demo.pcap");
    EXPECT_EQ(run.Exit, 1) << run.Out;
    EXPECT_TRUE(Has(run.Err, "/nonexistent-dir/demo.pcap")) << run.Err;
    EXPECT_TRUE(Has(run.Out, "Verifier: no rule broken.")) << run.Out;
}

std::string Verdict(const std::vector<sim::Violation> &violations, bool stepsSucceeded,
                    int *exitStatus) {
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    *exitStatus = usbcam::demo::ReportVerdict(violations, stepsSucceeded, out);
    fclose(out);
    std::string result(text, size);
    free(text);
    return result;
}

TEST(DemoVerdict, ABrokenRuleIsListedAndOutranksAFailedStep) {
    int exitStatus = -1;
    EXPECT_EQ(Verdict({}, true, &exitStatus), "Verifier: no rule broken.\n");
    EXPECT_EQ(exitStatus, usbcam::demo::kExitClean);
    Verdict({}, false, &exitStatus);
    EXPECT_EQ(exitStatus, usbcam::demo::kExitStepFailed);

    const std::vector<sim::Violation> violations = {
        {"POOL_LEAK", "usb/config.cpp:120", "64 bytes, tag 'mcsU'"},
        {"IRP_COMPLETED_TWICE", "control/dispatch.cpp:300", "second completion"}};
    const std::string text = Verdict(violations, false, &exitStatus);
    EXPECT_EQ(exitStatus, usbcam::demo::kExitRuleBroken);
    EXPECT_EQ(text,
              "Verifier: POOL_LEAK at usb/config.cpp:120: 64 bytes, tag 'mcsU'\n"
              "Verifier: IRP_COMPLETED_TWICE at control/dispatch.cpp:300: second completion\n"
              "Verifier: 2 rule violations.\n");
}

// The parsers read what the driver returned and must stay inside it.
TEST(DemoRecords, MalformedAnswersAreRefusedWithoutReadingPastThem) {
    using namespace usbcam::demo;
    std::string error;

    // A configuration whose second descriptor claims bLength 0, then one that
    // runs past wTotalLength.
    const uint8_t zeroLength[] = {9, 2, 13, 0, 1, 1, 0, 0x80, 50, 0, 4, 0, 0};
    ConfigurationView configuration;
    EXPECT_FALSE(ParseConfiguration(zeroLength, sizeof zeroLength, &configuration, &error));
    const uint8_t overrun[] = {9, 2, 12, 0, 1, 1, 0, 0x80, 50, 9, 4, 0};
    EXPECT_FALSE(ParseConfiguration(overrun, sizeof overrun, &configuration, &error));
    const uint8_t whole[] = {9, 2, 25, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xFF, 0, 0, 0,
                             7, 5, 0x81, 2, 0, 2, 0};
    ASSERT_TRUE(ParseConfiguration(whole, sizeof whole, &configuration, &error)) << error;
    ASSERT_EQ(configuration.Settings.size(), 1u);
    EXPECT_EQ(configuration.Settings[0].Endpoints, std::vector<uint8_t>{0x81});

    // Interface information whose Length disagrees with its pipe count, or
    // with the bytes received.
    std::vector<uint8_t> info(kInterfaceHeaderBytes + kPipeEntryBytes, 0);
    info[0] = 48;
    info[16] = 2;  // two pipes would need 72 bytes
    InterfaceView view;
    EXPECT_FALSE(ParseInterfaceInfo(info.data(), info.size(), &view, &error));
    info[16] = 1;
    EXPECT_FALSE(ParseInterfaceInfo(info.data(), 40, &view, &error));
    info[kInterfaceHeaderBytes + 2] = 0x82;
    info[kInterfaceHeaderBytes + 4] = 2;
    ASSERT_TRUE(ParseInterfaceInfo(info.data(), info.size(), &view, &error)) << error;
    ASSERT_EQ(view.Pipes.size(), 1u);
    EXPECT_EQ(view.Pipes[0].EndpointAddress, 0x82);
    EXPECT_STREQ(PipeTypeName(view.Pipes[0].PipeType), "bulk");

    // A string descriptor whose bLength exceeds what came back.
    const uint8_t text[] = {10, 3, 'T', 0, 'a', 0};
    std::string value;
    EXPECT_FALSE(ParseStringDescriptor(text, sizeof text, &value, &error));
    const uint8_t fits[] = {6, 3, 'T', 0, 0xE9, 0};
    ASSERT_TRUE(ParseStringDescriptor(fits, sizeof fits, &value, &error)) << error;
    EXPECT_EQ(value, "T\xC3\xA9");
}

}  // namespace
