// usbcam run as a program, the way a person or a script runs it: its output
// lines, its error lines and its exit status, against the reference camera in
// the emulation.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "program_run.h"

namespace {

using namespace usbcam_test;

TEST(UsbcamRaw, GetVersionPrintsStatusCountAndTheWholeOutputBuffer) {
    ProgramRun run = Usbcam("raw IOCTL_USBCAM_GET_VERSION --out-len 6");
    EXPECT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(run.Out, "status=0x00000000 information=6\nout=010001000000\n");
    EXPECT_EQ(run.Err, "");

    // Short name, any case; the buffer's tail beyond the count shows its fill.
    run = Usbcam("raw get_version --out-len 8 --fill 0xee");
    EXPECT_EQ(run.Out, "status=0x00000000 information=6\nout=010001000000eeee\n");

    // Too small: refused, and a failed buffered request copies nothing back.
    run = Usbcam("raw 0x222074 --out ffffffffff");
    EXPECT_EQ(run.Exit, 0);
    EXPECT_EQ(run.Out, "status=0xC0000001 information=0\nout=ffffffffff\n");
}

TEST(UsbcamRaw, UndefinedCodesAndNoBuffersAreSentAsGiven) {
    ProgramRun run = Usbcam("raw 0x222010");
    EXPECT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(run.Out, "status=0xC000000D information=0\nout=\n");
    run = Usbcam("raw 2236440");  // IOCTL_USBCAM_NOP in decimal
    EXPECT_EQ(run.Out, "status=0x00000000 information=0\nout=\n");
}

TEST(UsbcamRaw, MistakesAreOneLineOnStandardErrorAndExitOne) {
    ExpectOneLineError(Usbcam("raw NOP --in 0a1"), "--in");
    ExpectOneLineError(Usbcam("raw NOP --in xyz0"), "'x'");
    ExpectOneLineError(Usbcam("raw NO_SUCH_CODE"), "NO_SUCH_CODE");
    ExpectOneLineError(Usbcam("raw NOP --device 5"), "no such device");
    ExpectOneLineError(Usbcam("raw NOP --out 00 --out-len 1"), "--out");
    ExpectOneLineError(Usbcam("raw"), "CODE");
    ExpectOneLineError(Usbcam(""), "subcommand");
    ExpectOneLineError(Usbcam("frob"), "frob");
    ExpectOneLineError(Usbcam("--camera /nonexistent/camera.json raw NOP"), "/nonexistent/camera.json");
}

TEST(UsbcamRaw, HelpGoesToStandardOutputAndSucceeds) {
    ProgramRun run = Usbcam("--help");
    EXPECT_EQ(run.Exit, 0);
    EXPECT_NE(run.Out.find("raw"), std::string::npos);
    EXPECT_NE(run.Out.find("batch"), std::string::npos);
    run = Usbcam("raw --help");
    EXPECT_EQ(run.Exit, 0);
    EXPECT_NE(run.Out.find("--out-len"), std::string::npos);
}

// ISO_WRITE's --out is the data going out, then room for the descriptors the
// driver writes back after it: the payload comes back as it was sent, each
// packet's descriptor after it.
TEST(UsbcamBatch, IsoWriteCarriesItsPayloadAndAnswersWithDescriptors) {
    std::string payload, descriptors;
    for (int i = 0; i < 8; ++i) {
        char packet[9], descriptor[25];
        snprintf(packet, sizeof(packet), "%02x%02x%02x%02x", i, 0xa0 + i, 0xb0 + i, 0xc0 + i);
        snprintf(descriptor, sizeof(descriptor), "%02x000000040000000000000000", i * 4);
        payload += packet;
        descriptors += descriptor;
    }
    const std::string script =
        "raw SELECT_INTERFACE --in 0001\n"
        "raw ISO_WRITE --in 0300000004000000080000000800000001000000 --out " +
        payload + std::string(8 * 24, '0') + "\nraw SELECT_INTERFACE --in 0000\n";
    ProgramRun run = Usbcam("batch", script);
    EXPECT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(run.Out, "status=0x00000000 information=0\nout=\nstatus=0x00000000 information=0\nout=" + payload +
                           descriptors + "\nstatus=0x00000000 information=0\nout=\n");
}

// Every control code that moves no bulk or isochronous data, in one session,
// with the reference camera's answers checked where they are known.
TEST(UsbcamBatch, DrivesEveryNonTransferCode) {
    const std::string script = R"(# identity
raw GET_VERSION --out-len 6
raw GET_DEVICE_DESCRIPTOR --out-len 18
raw GET_CONFIG_DESCRIPTOR --out-len 9
raw GET_INTERFACE_INFO --out-len 120
raw GET_STRING_DESCRIPTOR --in 02000904 --out-len 26
raw NOP

# device memory: load at 0x2000, read back by vendor and by control request
raw LOAD_MEMORY --in 0020 --out 11223344
raw VENDOR_REQUEST --in a0000020000004000100 --out-len 4
raw CONTROL_REQUEST --in 01020000a00000200000 --out-len 4
raw VENDOR_REQUEST --in "a0 00 0030 0000 0100 00 5a"
raw VENDOR_REQUEST --in a0000030000001000100 --out-len 1
raw LOAD_MEMORY_BLOCKS --in )" +
                               std::string(1024, '7') + R"(
raw VENDOR_REQUEST --in a0000000000002000100 --out-len 2

# interface, pipes, port, settings
raw SELECT_INTERFACE --in 0002
raw GET_INTERFACE_INFO --out-len 120
raw SELECT_INTERFACE --in 0000
raw RESET_PIPE --in 01000000
raw ABORT_PIPE --in 03000000
raw RESET_PORT
raw SET_FEATURE --in 01000000
raw SET_TIMEOUT --in 01000000e8030000
raw GET_FRAME_NUMBER --out-len 4
raw STOP_STREAM

# the USB cause of a failure
stall 0
raw GET_DEVICE_DESCRIPTOR --out-len 18
raw GET_LAST_STATUS --out-len 4
stall 0 off
)";
    const ProgramRun run = Usbcam("batch", script);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    const std::vector<std::string> lines = run.OutLines();
    ASSERT_EQ(lines.size(), 2u * 23u + 6u) << run.Out;
    auto status = [&](size_t request) { return lines[2 * request]; };
    auto out = [&](size_t request) { return lines[2 * request + 1]; };

    EXPECT_EQ(status(0), "status=0x00000000 information=6");
    EXPECT_EQ(out(0), "out=010001000000");
    EXPECT_EQ(status(1), "status=0x00000000 information=18");
    EXPECT_EQ(out(1).substr(0, 8), "out=1201");       // bLength 18, type 1
    EXPECT_EQ(out(1).substr(4 + 16, 8), "09120100");  // idVendor 0x1209, idProduct 1
    EXPECT_EQ(status(2), "status=0x00000000 information=9");
    EXPECT_EQ(out(2).substr(0, 8), "out=0902");
    EXPECT_EQ(status(3), "status=0x00000000 information=120");
    EXPECT_EQ(status(4).substr(0, 17), "status=0x00000000");
    EXPECT_NE(out(4).find("54006100760072006900"), std::string::npos);  // "Tavri" in UTF-16
    EXPECT_EQ(status(5), "status=0x00000000 information=0");

    EXPECT_EQ(status(6), "status=0x00000000 information=0");
    EXPECT_EQ(out(6), "out=11223344");
    EXPECT_EQ(status(7), "status=0x00000000 information=4");
    EXPECT_EQ(out(7), "out=11223344");
    EXPECT_EQ(status(8), "status=0x00000000 information=4");
    EXPECT_EQ(out(8), "out=11223344");
    EXPECT_EQ(status(9), "status=0x00000000 information=0");
    EXPECT_EQ(status(10), "status=0x00000000 information=1");
    EXPECT_EQ(out(10), "out=5a");
    EXPECT_EQ(status(11), "status=0x00000000 information=0");
    EXPECT_EQ(out(12), "out=7777");

    EXPECT_EQ(status(13), "status=0x00000000 information=0");
    EXPECT_EQ(status(14), "status=0x00000000 information=24");  // setting 2: no pipes
    for (size_t i = 15; i <= 18; ++i) EXPECT_EQ(status(i), "status=0x00000000 information=0") << i;
    EXPECT_EQ(status(19).rfind("status=0x", 0), 0u);  // set feature: whatever the driver says
    EXPECT_EQ(status(20), "status=0x00000000 information=0");
    EXPECT_EQ(status(21), "status=0x00000000 information=4");
    EXPECT_EQ(status(22), "status=0x00000000 information=0");

    EXPECT_EQ(lines[46], "stall port=1 endpoint=0x00 on");
    EXPECT_EQ(lines[47], "status=0x00000000 information=0");  // the descriptor read failed
    EXPECT_EQ(lines[49], "status=0x00000000 information=4");
    EXPECT_EQ(lines[50], "out=040000c0");  // USBD_STATUS_STALL_PID
    EXPECT_EQ(lines[51], "stall port=1 endpoint=0x00 off");
}

TEST(UsbcamBatch, EmulationLinesDrivePlugAndPlayPowerAndASecondCamera) {
    const std::string script = R"(
pnp capabilities
power set D0
pnp stop
pnp start
plug
device 1
raw NOP
pnp remove
raw NOP
close
pnp start
raw GET_VERSION --out-len 6
unplug
device 0
raw NOP --device 0
)";
    const ProgramRun run = Usbcam("batch", script);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    const std::vector<std::string> lines = run.OutLines();
    ASSERT_EQ(lines.size(), 19u) << run.Out;
    EXPECT_EQ(lines[0].rfind("pnp capabilities status=0x00000000 (STATUS_SUCCESS)", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "power set D0 status=0x00000000 (STATUS_SUCCESS)");
    EXPECT_EQ(lines[2], "pnp stop status=0x00000000 (STATUS_SUCCESS)");
    EXPECT_EQ(lines[3], "pnp start status=0x00000000 (STATUS_SUCCESS)");
    EXPECT_EQ(lines[4], "plug port=2 device=1 status=0x00000000 (STATUS_SUCCESS)");
    EXPECT_EQ(lines[5], "device 1 (\\\\.\\Tavrinoscope-1)");
    EXPECT_EQ(lines[6], "status=0x00000000 information=0");
    EXPECT_EQ(lines[8], "pnp remove status=0x00000000 (STATUS_SUCCESS)");
    EXPECT_EQ(lines[9], "status=0xC0000056 information=0");  // the open handle after removal
    EXPECT_EQ(lines[11], "close \\\\.\\Tavrinoscope-1");
    EXPECT_EQ(lines[12], "pnp start status=0x00000000 (STATUS_SUCCESS)");
    EXPECT_EQ(lines[13], "status=0x00000000 information=6");
    EXPECT_EQ(lines[15].rfind("unplug port=2 status=0x", 0), 0u) << lines[15];
    EXPECT_EQ(lines[17], "status=0x00000000 information=0");
}

TEST(UsbcamBatch, AMalformedLineStopsTheBatchBeforeAnythingRuns) {
    const ProgramRun run = Usbcam("batch", "raw NOP\n\n# fine so far\nraw NOP --in 123\nraw NOP\n");
    ExpectOneLineError(run, "line 4");
    EXPECT_NE(run.Err.find("--in"), std::string::npos);
    ExpectOneLineError(Usbcam("batch", "pnp restart\n"), "line 1");
    ExpectOneLineError(Usbcam("batch", "raw NOP --in \"01\n"), "quote");
}

TEST(UsbcamBatch, AFailingCommandStopsTheBatchAfterTheOutputBeforeIt) {
    const ProgramRun run = Usbcam("batch", "raw NOP\ndevice 4\nraw NOP\nraw NOP\n");
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(run.Out,
              "status=0x00000000 information=0\nout=\ndevice 4 (\\\\.\\Tavrinoscope-4)\n");
    EXPECT_NE(run.Err.find("line 3: no such device \\\\.\\Tavrinoscope-4"), std::string::npos) << run.Err;
}

TEST(UsbcamTrace, TraceWritesAPcapCaptureOfTheSession) {
    const std::string path =
        ::testing::TempDir() + "client_usbcam_trace_" + std::to_string(getpid()) + ".pcap";
    remove(path.c_str());
    const ProgramRun run = Usbcam("--trace " + path + " raw GET_DEVICE_DESCRIPTOR --out-len 18");
    EXPECT_EQ(run.Exit, 0) << run.Err;
    const std::string capture = ReadFile(path);
    ASSERT_GT(capture.size(), 24u);
    EXPECT_EQ(capture.substr(0, 4), std::string("\xd4\xc3\xb2\xa1", 4));
    remove(path.c_str());
}

TEST(UsbcamFunction, FunctionChoosesTheCompositeCamerasChildTheDriverGets) {
    const std::string camera = "--camera " USB_PROFILE_DIR "/composite-test-camera.json";
    // The audio function: interface 2 of the device, no pipes in its first setting.
    ProgramRun run = Usbcam(camera + " --function 1 raw GET_INTERFACE_INFO --out-len 24");
    EXPECT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(run.Out.rfind("status=0x00000000 information=24\nout=18000200", 0), 0u) << run.Out;
    // The video function by default: interface 0, one interrupt pipe.
    run = Usbcam(camera + " raw GET_INTERFACE_INFO --out-len 48");
    EXPECT_EQ(run.Out.rfind("status=0x00000000 information=48\nout=30000000", 0), 0u) << run.Out;
    ExpectOneLineError(Usbcam(camera + " --function 2 raw NOP"), "function 2");
    ExpectOneLineError(Usbcam("--function 1 raw NOP"), "not a composite device");
}

}  // namespace
