// usbcam-device: the camera model (the reference camera, or a JSON profile)
// as a USB device on a usbredir connection, for QEMU's usb-redir device to
// plug into a guest's host controller:
//
//   usbcam-device [--camera FILE] (--unix PATH | --tcp PORT | --connect PATH)
//   qemu-system-x86_64 ... -device qemu-xhci
//     -chardev socket,id=cam,path=PATH -device usb-redir,chardev=cam
//
// It serves one connection and exits when the peer closes it. Operator
// commands on standard input (--commands -) or a FIFO: unplug, plug,
// stall EP, unstall EP, stats, quit. Check modes compare what a host read
// with the profile (--check-sysfs DIR, --check-lsusb-profile FILE).
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

#include "descriptor_check.h"
#include "tavrinoscope_version.h"
#include "device_profile.h"
#include "redir_device.h"

namespace {

volatile int g_stop = 0;
void OnSignal(int) { g_stop = 1; }

bool ReadText(const std::string &path, std::string *text) {
    std::ifstream f(path);
    if (!f) return false;
    std::ostringstream s;
    s << f.rdbuf();
    *text = s.str();
    return true;
}

int Fail(const std::string &message) {
    fprintf(stderr, "usbcam-device: %s\n", message.c_str());
    return 1;
}

int ListenUnix(const std::string &path, std::string *error) {
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        *error = "socket path too long: " + path;
        return -1;
    }
    strcpy(a.sun_path, path.c_str());
    unlink(path.c_str());
    if (bind(s, (sockaddr *)&a, sizeof a) != 0 || listen(s, 1) != 0) {
        *error = "cannot listen on " + path + ": " + strerror(errno);
        close(s);
        return -1;
    }
    return s;
}

int ListenTcp(int port, std::string *error) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never beyond this machine
    if (bind(s, (sockaddr *)&a, sizeof a) != 0 || listen(s, 1) != 0) {
        *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno);
        close(s);
        return -1;
    }
    return s;
}

int ConnectUnix(const std::string &path, std::string *error) {
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (connect(s, (sockaddr *)&a, sizeof a) != 0) {
        *error = "cannot connect to " + path + ": " + strerror(errno);
        close(s);
        return -1;
    }
    return s;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"usbcam-device: the camera model as a USB device over usbredir"};
    std::string camera, unixPath, connectPath, commands, statsFile, sysfsDir, lsusbProfile, readyFile;
    int tcpPort = -1;
    sim::redir::DeviceOptions options;
    app.add_option("--camera", camera, "JSON profile of the camera (default: the reference camera)");
    app.add_option("--unix", unixPath, "listen on this Unix socket and serve the first connection");
    app.add_option("--tcp", tcpPort, "listen on this loopback TCP port and serve the first connection");
    app.add_option("--connect", connectPath, "connect to a Unix socket the peer listens on");
    app.add_option("--commands", commands, "operator commands, one a line, from this file or FIFO ('-': standard input)");
    app.add_option("--unplug-after-iso", options.UnplugAfterIsoPackets,
                   "disconnect after this many isochronous IN packets");
    app.add_option("--unplug-after-bulk-in", options.UnplugAfterBulkInBytes,
                   "disconnect once this many bytes went out on bulk IN endpoints");
    app.add_option("--stats", statsFile, "write the device's counters as JSON here at exit");
    app.add_option("--ready", readyFile, "create this file once listening");
    app.add_flag("--verbose", options.Verbose, "log every request");
    app.set_version_flag("--version", "usbcam-device " TAVRINOSCOPE_VERSION_STRING,
                         "print usbcam-device's version and exit");
    app.add_option("--check-sysfs", sysfsDir, "compare a host's sysfs device directory with the profile, then exit");
    app.add_option("--check-lsusb-profile", lsusbProfile,
                   "compare the profile lsusb-profile made of `lsusb -v` with this one, then exit");
    CLI11_PARSE(app, argc, argv);

    sim::usb::DeviceProfile profile = sim::usb::ReferenceProfile();
    if (!camera.empty()) {
        std::string text, error;
        if (!ReadText(camera, &text)) return Fail("cannot read " + camera);
        if (!sim::usb::ParseProfileJson(text, &profile, &error)) return Fail(camera + ": " + error);
    }
    if (!sysfsDir.empty() || !lsusbProfile.empty()) {
        std::string errors;
        if (!sysfsDir.empty()) errors += sim::redir::CompareSysfs(profile, sysfsDir);
        if (!lsusbProfile.empty()) {
            std::string text;
            if (!ReadText(lsusbProfile, &text)) return Fail("cannot read " + lsusbProfile);
            errors += sim::redir::CompareLsusbProfile(profile, text);
        }
        if (!errors.empty()) {
            fprintf(stderr, "%s", errors.c_str());
            return 1;
        }
        return 0;
    }
    const int modes = !unixPath.empty() + (tcpPort >= 0) + !connectPath.empty();
    if (modes != 1) return Fail("give one of --unix PATH, --tcp PORT, --connect PATH");

    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    int fd = -1;
    if (!connectPath.empty()) {
        fd = ConnectUnix(connectPath, &error);
    } else {
        int listener = !unixPath.empty() ? ListenUnix(unixPath, &error) : ListenTcp(tcpPort, &error);
        if (listener < 0) return Fail(error);
        if (!readyFile.empty()) std::ofstream(readyFile) << "listening\n";
        fd = accept(listener, nullptr, nullptr);
        if (fd < 0) error = std::string("accept: ") + strerror(errno);
        close(listener);
        if (!unixPath.empty()) unlink(unixPath.c_str());
    }
    if (fd < 0) return Fail(error);

    int commandFd = -1;
    if (commands == "-") commandFd = 0;
    else if (!commands.empty()) commandFd = open(commands.c_str(), O_RDONLY | O_NONBLOCK);

    int rc;
    std::string stats;
    {
        sim::redir::RedirDevice device(profile, fd, options);
        rc = device.Run(&g_stop, commandFd);
        stats = device.StatsJson();
    }
    close(fd);
    if (!statsFile.empty()) std::ofstream(statsFile) << stats << "\n";
    if (options.Verbose) fprintf(stderr, "usbcam-device: %s\n", stats.c_str());
    return rc;
}
