// The libusb bus (sim/libusb_bus) over a stand-in for libusb (fake_libusb.h):
// what it reports to the driver above of each transfer the host's stack ran.
// Bytes moved, not bytes asked; each isochronous packet's own status and
// length; cancellation by the IRP and by a pipe abort. No device, no VM.
#include <string.h>

#include <vector>

#include <gtest/gtest.h>

#include "fake_libusb.h"
#include "libusb_bus.h"
#include "urb_client.h"

namespace {

using usbtest::AsyncUrb;
using usbtest::UrbBuffer;

class LibusbBusTest : public sim::test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        fakeusb::Reset(sim::usb::ReferenceProfile());
        sim::libusbbus::OpenResult opened = sim::libusbbus::Open("");
        ASSERT_EQ(opened.Status, STATUS_SUCCESS) << opened.Error;
        pdo_ = opened.Pdo;
        config_ = usbtest::Configure(pdo_);
        ASSERT_EQ(config_.Status, STATUS_SUCCESS);
    }
    void TearDown() override {
        sim::libusbbus::Close();
        KernelTest::TearDown();
    }

    USBD_PIPE_HANDLE PipeOf(const usbtest::Selection &s, uint8_t endpoint) {
        for (const USBD_PIPE_INFORMATION &p : s.Pipes)
            if (p.EndpointAddress == endpoint) return p.PipeHandle;
        ADD_FAILURE() << "no pipe for endpoint " << (int)endpoint;
        return nullptr;
    }

    // Sends the URB; returns the transfer libusb was given for it.
    libusb_transfer *Send(AsyncUrb *a, PURB urb, uint8_t endpoint) {
        usbtest::StartAsync(a, pdo_, urb);
        EXPECT_EQ(a->Returned, STATUS_PENDING);
        libusb_transfer *t = fakeusb::WaitSubmitted(endpoint, 5000);
        EXPECT_NE(t, nullptr) << "nothing submitted on endpoint " << (int)endpoint;
        return t;
    }

    NTSTATUS Wait(AsyncUrb *a) {
        EXPECT_TRUE(usbtest::WaitAsync(a, 5000));
        const NTSTATUS status = a->Status;
        usbtest::FreeAsync(a);
        return status;
    }

    PDEVICE_OBJECT pdo_ = nullptr;
    usbtest::Selection config_;
};

TEST_F(LibusbBusTest, ABulkTransferReportsTheBytesMovedNotTheBytesAsked) {
    std::vector<uint8_t> buffer(4096, 0xEE);
    UrbBuffer in = usbtest::BulkTransfer(PipeOf(config_, 0x82), true, buffer.data(), (ULONG)buffer.size());
    AsyncUrb a;
    libusb_transfer *t = Send(&a, in.Urb(), 0x82);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->length, 4096);
    std::vector<uint8_t> sent(100);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = (uint8_t)i;
    fakeusb::Complete(t, LIBUSB_TRANSFER_COMPLETED, sent);
    EXPECT_EQ(Wait(&a), STATUS_SUCCESS);
    EXPECT_EQ(in.Urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(in.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
    EXPECT_EQ(memcmp(buffer.data(), sent.data(), sent.size()), 0);
    EXPECT_EQ(buffer[100], 0xEE);

    // A write the device took only part of.
    std::vector<uint8_t> data(64, 0x5A);
    UrbBuffer out = usbtest::BulkTransfer(PipeOf(config_, 0x01), false, data.data(), (ULONG)data.size());
    t = Send(&a, out.Urb(), 0x01);
    ASSERT_NE(t, nullptr);
    fakeusb::Complete(t, LIBUSB_TRANSFER_COMPLETED, std::vector<uint8_t>(10));
    EXPECT_EQ(Wait(&a), STATUS_SUCCESS);
    EXPECT_EQ(out.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);

    // A stall keeps the count of what moved before it.
    in = usbtest::BulkTransfer(PipeOf(config_, 0x82), true, buffer.data(), (ULONG)buffer.size());
    t = Send(&a, in.Urb(), 0x82);
    ASSERT_NE(t, nullptr);
    fakeusb::Complete(t, LIBUSB_TRANSFER_STALL, std::vector<uint8_t>(64, 1));
    EXPECT_EQ(Wait(&a), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in.Urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(in.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
}

TEST_F(LibusbBusTest, AControlReadBringsItsDataStageIntoTheUrbsBuffer) {
    uint8_t back[16];
    memset(back, 0xEE, sizeof back);
    UrbBuffer r = usbtest::VendorClassRequest(URB_FUNCTION_VENDOR_DEVICE, true, 0xA0, 0x10, 0, back, sizeof back);
    AsyncUrb a;
    libusb_transfer *t = Send(&a, r.Urb(), 0x00);
    ASSERT_NE(t, nullptr);
    fakeusb::Complete(t, LIBUSB_TRANSFER_COMPLETED, {1, 2, 3, 4, 5});
    EXPECT_EQ(Wait(&a), STATUS_SUCCESS);
    EXPECT_EQ(r.Urb()->UrbControlVendorClassRequest.TransferBufferLength, 5u);
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[4], 5);
    EXPECT_EQ(back[5], 0xEE);
}

TEST_F(LibusbBusTest, IsochronousPacketsCarryTheirOwnStatusAndLength) {
    usbtest::Selection alt = usbtest::SelectAlternate(pdo_, config_.Configuration, 1, 4);
    ASSERT_EQ(alt.Status, STATUS_SUCCESS);
    std::vector<uint8_t> buffer(4 * 1024, 0xEE);
    UrbBuffer in = usbtest::IsoTransfer(PipeOf(alt, 0x84), true, buffer.data(), 4, 1024);
    AsyncUrb a;
    libusb_transfer *t = Send(&a, in.Urb(), 0x84);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->num_iso_packets, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(t->iso_packet_desc[i].length, 1024u);
    fakeusb::CompleteIso(t, LIBUSB_TRANSFER_COMPLETED,
                         {{LIBUSB_TRANSFER_COMPLETED, 1024},
                          {LIBUSB_TRANSFER_COMPLETED, 10},
                          {LIBUSB_TRANSFER_ERROR, 0},
                          {LIBUSB_TRANSFER_OVERFLOW, 1024}});
    EXPECT_EQ(Wait(&a), STATUS_SUCCESS);
    const struct _URB_ISOCH_TRANSFER &u = in.Urb()->UrbIsochronousTransfer;
    EXPECT_EQ(in.Urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(u.ErrorCount, 2u);
    EXPECT_EQ(u.IsoPacket[0].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(u.IsoPacket[0].Length, 1024u);
    EXPECT_EQ(u.IsoPacket[1].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(u.IsoPacket[1].Length, 10u);
    EXPECT_EQ(u.IsoPacket[2].Status, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(u.IsoPacket[2].Length, 0u);
    EXPECT_EQ(u.IsoPacket[3].Status, USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(u.IsoPacket[3].Length, 0u);
    // The bytes that arrived, as the platform counts an IN request's.
    EXPECT_EQ(u.TransferBufferLength, 1034u);
    EXPECT_EQ(buffer[1024], 1);
    EXPECT_EQ(buffer[1024 + 9], 1);

    // Every packet failed: the request failed.
    in = usbtest::IsoTransfer(PipeOf(alt, 0x84), true, buffer.data(), 2, 1024);
    t = Send(&a, in.Urb(), 0x84);
    ASSERT_NE(t, nullptr);
    fakeusb::CompleteIso(t, LIBUSB_TRANSFER_COMPLETED, {{LIBUSB_TRANSFER_ERROR, 0}, {LIBUSB_TRANSFER_ERROR, 0}});
    EXPECT_EQ(Wait(&a), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in.Urb()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
    EXPECT_EQ(in.Urb()->UrbIsochronousTransfer.ErrorCount, 2u);
    EXPECT_EQ(in.Urb()->UrbIsochronousTransfer.TransferBufferLength, 0u);

    // OUT: the packets' lengths are not reported back; the request's length
    // is what was sent.
    UrbBuffer out = usbtest::IsoTransfer(PipeOf(alt, 0x05), false, buffer.data(), 2, 1024);
    t = Send(&a, out.Urb(), 0x05);
    ASSERT_NE(t, nullptr);
    fakeusb::CompleteIso(t, LIBUSB_TRANSFER_COMPLETED, {{LIBUSB_TRANSFER_COMPLETED, 1024}, {LIBUSB_TRANSFER_COMPLETED, 1024}});
    EXPECT_EQ(Wait(&a), STATUS_SUCCESS);
    EXPECT_EQ(out.Urb()->UrbIsochronousTransfer.ErrorCount, 0u);
    EXPECT_EQ(out.Urb()->UrbIsochronousTransfer.IsoPacket[0].Length, 0u);
    EXPECT_EQ(out.Urb()->UrbIsochronousTransfer.TransferBufferLength, 2048u);

    // A request the stack failed as a whole: each packet carries its status.
    in = usbtest::IsoTransfer(PipeOf(alt, 0x84), true, buffer.data(), 2, 1024);
    t = Send(&a, in.Urb(), 0x84);
    ASSERT_NE(t, nullptr);
    fakeusb::CompleteIso(t, LIBUSB_TRANSFER_TIMED_OUT, {{LIBUSB_TRANSFER_COMPLETED, 1024}, {LIBUSB_TRANSFER_COMPLETED, 1024}});
    EXPECT_EQ(Wait(&a), STATUS_IO_TIMEOUT);
    EXPECT_EQ(in.Urb()->UrbHeader.Status, USBD_STATUS_TIMEOUT);
    EXPECT_EQ(in.Urb()->UrbIsochronousTransfer.IsoPacket[0].Status, USBD_STATUS_TIMEOUT);
    EXPECT_EQ(in.Urb()->UrbIsochronousTransfer.IsoPacket[1].Length, 0u);
    EXPECT_EQ(in.Urb()->UrbIsochronousTransfer.ErrorCount, 2u);
}

TEST_F(LibusbBusTest, ACancelledIrpCancelsItsTransferAndKeepsWhatMoved) {
    std::vector<uint8_t> buffer(4096);
    UrbBuffer in = usbtest::BulkTransfer(PipeOf(config_, 0x82), true, buffer.data(), (ULONG)buffer.size());
    AsyncUrb a;
    libusb_transfer *t = Send(&a, in.Urb(), 0x82);
    ASSERT_NE(t, nullptr);
    fakeusb::SetCancelledLength(512);
    const int before = fakeusb::CancelCalls();
    IoCancelIrp(a.Irp);
    EXPECT_EQ(Wait(&a), STATUS_CANCELLED);
    EXPECT_EQ(fakeusb::CancelCalls(), before + 1);
    EXPECT_EQ(in.Urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(in.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 512u);
}

TEST_F(LibusbBusTest, APipeAbortCancelsEveryTransferOfItsPipeAndNoOther) {
    std::vector<uint8_t> one(512), two(512), events(8);
    UrbBuffer first = usbtest::BulkTransfer(PipeOf(config_, 0x82), true, one.data(), 512);
    UrbBuffer second = usbtest::BulkTransfer(PipeOf(config_, 0x82), true, two.data(), 512);
    UrbBuffer other = usbtest::BulkTransfer(PipeOf(config_, 0x83), true, events.data(), 8);
    AsyncUrb a, b, c;
    ASSERT_NE(Send(&a, first.Urb(), 0x82), nullptr);
    ASSERT_NE(Send(&b, second.Urb(), 0x82), nullptr);
    libusb_transfer *left = Send(&c, other.Urb(), 0x83);
    ASSERT_NE(left, nullptr);

    UrbBuffer abort = usbtest::PipeRequest(URB_FUNCTION_ABORT_PIPE, PipeOf(config_, 0x82));
    EXPECT_EQ(usbtest::SubmitSync(pdo_, abort.Urb()), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&a), STATUS_CANCELLED);
    EXPECT_EQ(Wait(&b), STATUS_CANCELLED);
    EXPECT_EQ(first.Urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(second.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_FALSE(usbtest::WaitAsync(&c, 50));  // the other pipe's goes on
    fakeusb::Complete(left, LIBUSB_TRANSFER_COMPLETED, {1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(Wait(&c), STATUS_SUCCESS);
    EXPECT_EQ(other.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 8u);
}

}  // namespace
