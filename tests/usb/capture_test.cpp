// The bus's pcap capture, read back as a usbmon file and through tshark.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>

#include "urb_client.h"

namespace {

using namespace usbtest;
namespace bus = sim::usb;

class UsbCapture : public BusTest {};

std::string RunCommand(const std::string &command) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
    return out;
}

TEST_F(UsbCapture, TrafficIsWrittenAsUsbmonPcapThatTsharkDissects) {
    const std::string path = std::string(USB_TEST_TMP_DIR) + "/capture_test.pcap";
    std::string error;
    ASSERT_TRUE(bus::CaptureStart(path, &error)) << error;
    EXPECT_FALSE(bus::CaptureStart(path, &error));  // one capture at a time

    Selection s = Configure(Pdo);
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    uint8_t data[64] = {1, 2, 3};
    UrbBuffer load = VendorClassRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0xA0, 0x1234, 0, data, sizeof data);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, load.Urb()));
    uint8_t command[64] = {2};
    UrbBuffer out = BulkTransfer(s.Pipes[0].PipeHandle, false, command, sizeof command);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, out.Urb()));
    bus::SetStall(Port, 0x81, true);
    uint8_t status[16];
    UrbBuffer stalled = BulkTransfer(s.Pipes[1].PipeHandle, true, status, sizeof status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, stalled.Urb()));
    bus::CaptureStop();

    // The file: pcap header with link type 220, then 64-byte usbmon headers.
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 24u + 16 + 64);
    uint32_t magic, link;
    memcpy(&magic, bytes.data(), 4);
    memcpy(&link, bytes.data() + 20, 4);
    EXPECT_EQ(0xA1B2C3D4u, magic);
    EXPECT_EQ(220u, link);
    EXPECT_EQ('S', bytes[24 + 16 + 8]);  // first event: a submission

    if (system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    std::string requests = RunCommand("tshark -r '" + path +
                                      "' -Y 'usb.setup.bRequest' -T fields -e usb.setup.bRequest "
                                      "-e usb.bConfigurationValue -e usb.setup.wValue 2>/dev/null");
    // GET_DESCRIPTOR, SET_CONFIGURATION(1), vendor request 0xA0 at 0x1234.
    EXPECT_EQ(0u, requests.find("6\t")) << requests;
    EXPECT_NE(std::string::npos, requests.find("\n9\t1\t")) << requests;
    EXPECT_NE(std::string::npos, requests.find("\n160\t\t0x1234")) << requests;
    std::string bulk = RunCommand("tshark -r '" + path +
                                  "' -Y 'usb.transfer_type == 0x03' -T fields -e usb.urb_type -e usb.endpoint_address "
                                  "-e usb.urb_status 2>/dev/null");
    EXPECT_NE(std::string::npos, bulk.find("0x01")) << bulk;
    EXPECT_NE(std::string::npos, bulk.find("-32")) << bulk;  // the stall, as -EPIPE
}

}  // namespace
