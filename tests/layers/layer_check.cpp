// The layer check (layer_check.h).
#include "layer_check.h"

#include <fnmatch.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

namespace layers {

const std::vector<std::string> &Order() {
    // include/usbcam: the public control-code header, shared with user mode.
    static const std::vector<std::string> order = {"include/usbcam", "platform", "usb",
                                                   "transfer", "control", "driver"};
    return order;
}

namespace {

// A wrong-way edge the design requires: files matching From may include To
// (an include edge), or, with the kind "maps", the files matching From may call
// the platform's mapping routines.
struct Allowed {
    std::string Kind;  // "include" or "maps"
    std::string From;
    std::string To;
    int Line = 0;
    bool Used = false;
};

std::string Trim(const std::string &s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// Lines "<from-glob> -> <header>: <reason>" and "maps <from-glob>: <reason>";
// '#' starts a comment line.
bool ReadAllowList(const std::string &path, std::vector<Allowed> &out,
                   std::vector<Finding> &findings) {
    std::ifstream in(path);
    if (!in) {
        findings.push_back({path, 0, "cannot read the allow-list"});
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        const auto colon = line.find(':');
        const std::string reason = colon == std::string::npos ? "" : Trim(line.substr(colon + 1));
        const std::string edge = Trim(line.substr(0, colon));
        if (reason.empty()) {
            findings.push_back({path, number, "an allowed edge without its reason"});
            continue;
        }
        Allowed a;
        a.Line = number;
        const auto arrow = edge.find("->");
        if (edge.rfind("maps ", 0) == 0) {
            a.Kind = "maps";
            a.From = Trim(edge.substr(5));
        } else if (arrow != std::string::npos) {
            a.Kind = "include";
            a.From = Trim(edge.substr(0, arrow));
            a.To = Trim(edge.substr(arrow + 2));
        } else {
            findings.push_back({path, number, "neither 'from -> header: reason' nor 'maps from: reason'"});
            continue;
        }
        out.push_back(a);
    }
    return true;
}

int LayerOf(const std::string &path) {
    const auto &order = Order();
    for (size_t i = 0; i < order.size(); i++) {
        if (path.rfind(order[i] + "/", 0) == 0) return (int)i;
    }
    return -1;
}

// The repository path a quoted include names: the public header is included
// as "usbcam/...", everything else by its path from the source root.
std::string Resolve(const std::string &included) {
    const std::string path = included.rfind("usbcam/", 0) == 0 ? "include/" + included : included;
    return fs::path(path).lexically_normal().generic_string();
}

bool Matches(const std::string &glob, const std::string &path) {
    return fnmatch(glob.c_str(), path.c_str(), 0) == 0;
}

Allowed *FindAllowed(std::vector<Allowed> &allowed, const std::string &kind,
                     const std::string &from, const std::string &to) {
    for (auto &a : allowed) {
        if (a.Kind == kind && Matches(a.From, from) && (kind == "maps" || a.To == to)) return &a;
    }
    return nullptr;
}

}  // namespace

std::vector<Finding> Check(const std::string &Root, const std::string &AllowList) {
    std::vector<Finding> findings;
    std::vector<Allowed> allowed;
    if (!ReadAllowList(AllowList, allowed, findings)) return findings;

    std::vector<std::string> files;
    for (const auto &layer : Order()) {
        const fs::path dir = fs::path(Root) / layer;
        if (!fs::is_directory(dir)) continue;
        for (const auto &entry : fs::recursive_directory_iterator(dir)) {
            const std::string ext = entry.path().extension().string();
            if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
            files.push_back(fs::relative(entry.path(), Root).generic_string());
        }
    }
    std::sort(files.begin(), files.end());

    static const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
    static const std::regex mapping(R"(\b(MmGetSystemAddressForMdlSafe|MmMapLockedPages\w*)\s*\()");
    for (const auto &file : files) {
        std::ifstream in(fs::path(Root) / file);
        const int from = LayerOf(file);
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            std::smatch m;
            if (std::regex_search(line, m, include)) {
                const std::string target = Resolve(m[1].str());
                const int to = LayerOf(target);
                if (to >= 0 && to <= from) continue;
                if (Allowed *a = FindAllowed(allowed, "include", file, target)) {
                    a->Used = true;
                    continue;
                }
                std::ostringstream what;
                if (to < 0) {
                    what << "includes \"" << m[1].str() << "\", which is no kernel-mode header";
                } else {
                    what << "includes \"" << m[1].str() << "\": layer " << Order()[to]
                         << " is above " << Order()[from];
                }
                findings.push_back({file, number, what.str()});
            } else if (std::regex_search(line, m, mapping) &&
                       line.find("//") > (size_t)m.position(0)) {
                if (Allowed *a = FindAllowed(allowed, "maps", file, "")) {
                    a->Used = true;
                    continue;
                }
                findings.push_back({file, number, "calls " + m[1].str() + ": every mapping goes through "
                                                                          "GetMdlSystemAddress"});
            }
        }
    }
    for (const auto &a : allowed) {
        if (!a.Used) findings.push_back({AllowList, a.Line, "an allowed edge that nothing uses"});
    }
    return findings;
}

}  // namespace layers
