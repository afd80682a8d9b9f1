// The layer check on small trees of its own: what it must find and what it
// must let pass.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "layer_check.h"

namespace fs = std::filesystem;

namespace {

// The driver's own tree: no include against the order but the listed ones,
// no mapping but the helper's.
TEST(LayerOrderTest, TheDriverKeepsItsLayers) {
    const auto findings = layers::Check(LAYER_SOURCE_ROOT, LAYER_ALLOW_LIST);
    for (const auto &f : findings) ADD_FAILURE() << f.File << ":" << f.Line << ": " << f.Message;
}

class LayerCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "layer_check_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    void Write(const std::string &path, const std::string &text) {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text;
    }
    std::vector<layers::Finding> Run(const std::string &allow) {
        Write("allow.txt", allow);
        return layers::Check(root_.string(), (root_ / "allow.txt").string());
    }

    fs::path root_;
};

TEST_F(LayerCheckTest, IncludesDownTheOrderPassAndOneUpIsFoundWithItsLine) {
    Write("include/usbcam/usbcam_ioctl.h", "#pragma once\n#include <stdint.h>\n");
    Write("platform/platform.h", "#pragma once\n");
    Write("usb/usb_requests.h", "#include \"platform/platform.h\"\n#include \"usbcam/usbcam_ioctl.h\"\n");
    Write("transfer/engine.cpp", "#include \"usb/usb_requests.h\"\n#include \"transfer/engine.h\"\n");
    Write("transfer/engine.h", "#pragma once\n");
    Write("driver/pnp.cpp", "#include \"transfer/engine.h\"\n");
    EXPECT_TRUE(Run("").empty());

    Write("usb/pipes.cpp", "// pipes\n#include \"usb/usb_requests.h\"\n  #  include \"transfer/engine.h\"\n");
    const auto findings = Run("");
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].File, "usb/pipes.cpp");
    EXPECT_EQ(findings[0].Line, 3);
    EXPECT_NE(findings[0].Message.find("transfer is above usb"), std::string::npos);

    // A header from outside the kernel-mode folders is no layer at all.
    Write("usb/pipes.cpp", "#include \"client/text.h\"\n");
    ASSERT_EQ(Run("").size(), 1u);
}

TEST_F(LayerCheckTest, TheAllowListNamesEachEdgeWithItsReasonAndNoMore) {
    Write("driver/driver.h", "#pragma once\n");
    Write("usb/port.cpp", "#include \"driver/driver.h\"\n");
    EXPECT_EQ(Run("").size(), 1u);
    EXPECT_TRUE(Run("# comment\nusb/* -> driver/driver.h: the device record\n").empty());
    // The edge is for the header it names only.
    Write("usb/pipes.cpp", "#include \"driver/pnp.h\"\n");
    EXPECT_EQ(Run("usb/* -> driver/driver.h: the device record\n").size(), 1u);
    fs::remove(root_ / "usb/pipes.cpp");

    // An entry without its reason, one of no known form, one nothing uses.
    EXPECT_EQ(Run("usb/* -> driver/driver.h:\n").size(), 2u);  // and the edge itself
    EXPECT_EQ(Run("usb/* -> driver/driver.h: why\nusb/* driver/pnp.h: why\n").size(), 1u);
    const auto unused = Run("usb/* -> driver/driver.h: why\ncontrol/* -> driver/driver.h: why\n");
    ASSERT_EQ(unused.size(), 1u);
    EXPECT_EQ(unused[0].Line, 2);

    EXPECT_FALSE(layers::Check(root_.string(), (root_ / "missing.txt").string()).empty());
}

TEST_F(LayerCheckTest, OnlyTheHelperMapsAnMdl) {
    Write("platform/system_address.h",
          "inline void *Map(PMDL m) { return MmGetSystemAddressForMdlSafe(m, 0); }\n");
    Write("transfer/stream.cpp",
          "// not MmGetSystemAddressForMdlSafe(Mdl, x) itself\nvoid *p = GetMdlSystemAddress(m);\n");
    const std::string allow = "maps platform/system_address.h: the helper\n";
    EXPECT_TRUE(Run(allow).empty());

    Write("transfer/stream.cpp", "void *p = MmGetSystemAddressForMdlSafe(m, NormalPagePriority);\n");
    EXPECT_EQ(Run(allow).size(), 1u);
    Write("transfer/stream.cpp", "void *p = MmMapLockedPagesSpecifyCache(m, 0, 1, 0, 0, 0);\n");
    EXPECT_EQ(Run(allow).size(), 1u);
}

}  // namespace
