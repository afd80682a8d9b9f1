// The USBD library's descriptor parsing and select-configuration building,
// including hostile descriptors.
#include <gtest/gtest.h>

#include <vector>

#include "../../sim/usb/descriptor_walk.h"
#include "kernel_test.h"
#include "sim/usb.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace walk = sim::usb;

// A configuration descriptor with wTotalLength set to its size.
Bytes Config(const Bytes &body, uint8_t interfaces = 1) {
    Bytes c = {9, 2, 0, 0, interfaces, 1, 0, 0x80, 50};
    c.insert(c.end(), body.begin(), body.end());
    c[2] = (uint8_t)c.size();
    c[3] = (uint8_t)(c.size() >> 8);
    return c;
}
Bytes Interface(uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t cls = 0xFF) {
    return {9, 4, number, alt, endpoints, cls, 0, 0, 0};
}
Bytes Endpoint(uint8_t address, uint8_t type = 2) { return {7, 5, address, type, 0, 2, 0}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
PUSB_CONFIGURATION_DESCRIPTOR Cd(Bytes &b) { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data()); }

class UsbdLibrary : public sim::test::KernelTest {};

TEST_F(UsbdLibrary, ParseFindsInterfacesByEveryCriterionAndFromAStartPosition) {
    Bytes c = Config(Cat({Interface(0, 0, 1), Endpoint(0x81), Bytes{5, 0x24, 1, 2, 3},  // a class descriptor
                          Interface(0, 1, 0, 0x0E), Interface(1, 0, 2), Endpoint(0x02), Endpoint(0x83, 3)}),
                     2);
    auto *first = USBD_ParseConfigurationDescriptorEx(Cd(c), Cd(c), -1, -1, -1, -1, -1);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(c.data() + 9, reinterpret_cast<uint8_t *>(first));
    auto *alt1 = USBD_ParseConfigurationDescriptorEx(Cd(c), Cd(c), 0, 1, -1, -1, -1);
    ASSERT_NE(nullptr, alt1);
    EXPECT_EQ(0x0E, alt1->bInterfaceClass);
    EXPECT_EQ(alt1, USBD_ParseConfigurationDescriptorEx(Cd(c), Cd(c), -1, -1, 0x0E, -1, -1));
    auto *i1 = USBD_ParseConfigurationDescriptorEx(Cd(c), Cd(c), 1, -1, -1, -1, -1);
    ASSERT_NE(nullptr, i1);
    EXPECT_EQ(2, i1->bNumEndpoints);
    // Searching on from just past the first interface skips it.
    EXPECT_EQ(alt1, USBD_ParseConfigurationDescriptorEx(Cd(c), c.data() + 10, 0, -1, -1, -1, -1));
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(Cd(c), Cd(c), 2, -1, -1, -1, -1));
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(Cd(c), c.data() + c.size(), -1, -1, -1, -1, -1));
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(Cd(c), Cd(c), 300, -1, -1, -1, -1));
}

TEST_F(UsbdLibrary, HostileDescriptorsYieldNothingWithoutLoopingOrOverreading) {
    // Each buffer is exactly wTotalLength long, so that an overread shows
    // under AddressSanitizer.
    Bytes zero = Config(Cat({Bytes{0, 5, 0x81, 2, 0, 2, 0}, Interface(0, 0, 0)}));
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(Cd(zero), Cd(zero), -1, -1, -1, -1, -1));
    Bytes past = Config(Cat({Interface(0, 0, 1), Bytes{40, 5, 0x81, 2, 0, 2, 0}}));
    Bytes pastInterface = Config(Bytes{9, 4, 0, 0, 0, 0xFF});  // interface cut by wTotalLength
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(Cd(pastInterface), Cd(pastInterface), -1, -1, -1, -1, -1));
    Bytes shortTotal = Config(Interface(0, 0, 0));
    shortTotal[2] = 5;  // wTotalLength below the header
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(Cd(shortTotal), Cd(shortTotal), -1, -1, -1, -1, -1));
    Bytes missing = Config(Cat({Interface(0, 0, 3), Endpoint(0x81), Endpoint(0x02)}));

    // The parser finds the interface of "past" and "missing" (it does not need
    // the endpoints), but building a request from them fails cleanly.
    for (Bytes *c : {&past, &missing}) {
        auto *i = USBD_ParseConfigurationDescriptorEx(Cd(*c), Cd(*c), -1, -1, -1, -1, -1);
        ASSERT_NE(nullptr, i);
        USBD_INTERFACE_LIST_ENTRY list[2] = {{i, nullptr}, {nullptr, nullptr}};
        EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(Cd(*c), list));
        EXPECT_EQ(nullptr, list[0].Interface);
    }
    // An interface pointer from outside the descriptor.
    Bytes good = Config(Cat({Interface(0, 0, 1), Endpoint(0x81)}));
    USB_INTERFACE_DESCRIPTOR stray = {9, 4, 0, 0, 1, 0xFF, 0, 0, 0};
    USBD_INTERFACE_LIST_ENTRY list[2] = {{&stray, nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(Cd(good), list));

    // The bounded walker names each fault, including a wTotalLength that runs
    // past the bytes actually held.
    size_t at;
    EXPECT_EQ(walk::WalkError::ZeroLength, walk::CheckConfiguration(zero.data(), zero.size(), &at));
    EXPECT_EQ(9u, at);
    EXPECT_EQ(walk::WalkError::PastTotalLength, walk::CheckConfiguration(past.data(), past.size(), &at));
    EXPECT_EQ(walk::WalkError::MissingEndpoints, walk::CheckConfiguration(missing.data(), missing.size(), &at));
    EXPECT_EQ(walk::WalkError::PastBuffer, walk::CheckConfiguration(good.data(), good.size() - 1, &at));
    EXPECT_EQ(walk::WalkError::TotalLengthBelowHeader,
              walk::CheckConfiguration(shortTotal.data(), shortTotal.size(), &at));
    EXPECT_EQ(walk::WalkError::None, walk::CheckConfiguration(good.data(), good.size(), &at));
}

TEST_F(UsbdLibrary, CreateConfigurationRequestLaysOutEachListedInterface) {
    Bytes c = Config(Cat({Interface(0, 0, 3), Endpoint(0x01), Endpoint(0x81), Endpoint(0x82),
                          Interface(1, 0, 0), Interface(2, 0, 1), Endpoint(0x83, 3)}),
                     3);
    auto *i0 = USBD_ParseConfigurationDescriptorEx(Cd(c), Cd(c), 0, 0, -1, -1, -1);
    auto *i1 = USBD_ParseConfigurationDescriptorEx(Cd(c), Cd(c), 1, 0, -1, -1, -1);
    auto *i2 = USBD_ParseConfigurationDescriptorEx(Cd(c), Cd(c), 2, 0, -1, -1, -1);
    USBD_INTERFACE_LIST_ENTRY list[4] = {{i0, nullptr}, {i1, nullptr}, {i2, nullptr}, {nullptr, nullptr}};
    size_t before = sim::PoolBlocksOutstanding();
    PURB urb = USBD_CreateConfigurationRequestEx(Cd(c), list);
    ASSERT_NE(nullptr, urb);
    EXPECT_EQ(before + 1, sim::PoolBlocksOutstanding());
    EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, urb->UrbHeader.Function);
    EXPECT_EQ(Cd(c), urb->UrbSelectConfiguration.ConfigurationDescriptor);
    const size_t expected = 40 + (24 + 3 * 24) + 24 + (24 + 24);
    EXPECT_EQ(expected, urb->UrbHeader.Length);
    uint8_t *base = reinterpret_cast<uint8_t *>(urb);
    EXPECT_EQ(base + 40, reinterpret_cast<uint8_t *>(list[0].Interface));
    EXPECT_EQ(base + 40 + 96, reinterpret_cast<uint8_t *>(list[1].Interface));
    EXPECT_EQ(base + 40 + 120, reinterpret_cast<uint8_t *>(list[2].Interface));
    EXPECT_EQ(96, list[0].Interface->Length);
    EXPECT_EQ(3u, list[0].Interface->NumberOfPipes);
    EXPECT_EQ(24, list[1].Interface->Length);
    EXPECT_EQ(2, list[2].Interface->InterfaceNumber);
    for (int p = 0; p < 3; ++p)
        EXPECT_EQ(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE, list[0].Interface->Pipes[p].MaximumTransferSize);
    // The pool block carries the caller's site, as the leak report shows it.
    bool found = false;
    for (const auto &b : sim::PoolOutstanding())
        found = found || b.Site.find("usbd_library_test.cpp") != std::string::npos;
    EXPECT_TRUE(found);
    ExFreePool(urb);

    // An allocation failure gives nothing.
    sim::FaultFailNthAllocation(1);
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(Cd(c), list));
    sim::FaultClear();
}

}  // namespace
