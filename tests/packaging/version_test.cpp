// The C library and the tools carry the release's version, the one line of
// the file VERSION, as their users read it: tvs_version() and
// tvs_version_string(), `usbcam --version` and `usbcam-device --version`.
// (tests/packaging/test_versions.py reads the copies kept in sources.)
#include <stdio.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tavrinoscope/tavrinoscope.h"

namespace {

std::string VersionFile() {
    std::ifstream in(TAVRINOSCOPE_SOURCE_DIR "/VERSION");
    std::string line;
    std::getline(in, line);
    return line;
}

// The first line a program prints, and its exit status.
std::string FirstLine(const std::string &command, int *status) {
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return "";
    char buffer[256] = {};
    std::string line = fgets(buffer, sizeof buffer, pipe) ? buffer : "";
    while (fgets(buffer, sizeof buffer, pipe)) {
    }
    *status = pclose(pipe);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

TEST(VersionTest, TheLibrarySaysTheVersionFile) {
    const std::string version = VersionFile();
    ASSERT_FALSE(version.empty());
    EXPECT_EQ(tvs_version_string(), version);
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(sscanf(version.c_str(), "%u.%u.%u", &major, &minor, &patch), 3);
    EXPECT_EQ(tvs_version(), (major << 16) | (minor << 8) | patch);
    EXPECT_TRUE(TVS_VERSION_COMPATIBLE(tvs_version()));
}

TEST(VersionTest, TheToolsSayTheVersionFile) {
    const std::string version = VersionFile();
    for (const char *tool : {"usbcam", "usbcam-device"}) {
        int status = -1;
        EXPECT_EQ(FirstLine(std::string(TAVRINOSCOPE_BIN_DIR "/") + tool + " --version", &status),
                  std::string(tool) + " " + version);
        EXPECT_EQ(status, 0) << tool;
    }
}

}  // namespace
