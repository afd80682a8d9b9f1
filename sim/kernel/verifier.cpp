// Verifier: records broken rules, in the spirit of the platform's driver
// verifier. Each violation names its rule and the driver's call site; it is
// printed to stderr at once and handed to the installed handler (by default it
// is recorded for sim::VerifierTakeViolations).
#include "verifier.h"

#include <stdio.h>
#include <string.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "kernel_internal.h"

namespace sim {
namespace kernel {
namespace {

std::mutex g_mutex;
std::vector<Violation> g_violations;
std::function<void(const Violation &)> g_handler;

#ifndef SIM_SOURCE_DIR
#define SIM_SOURCE_DIR ""
#endif

}  // namespace

namespace {

std::string SiteText(const char *file, int line) {
    const char *prefix = SIM_SOURCE_DIR;
    size_t n = strlen(prefix);
    if (n != 0 && strncmp(file, prefix, n) == 0) {
        file += n;
        if (*file == '/') ++file;
    }
    // A compiler cache may hand the compiler paths relative to the build
    // tree ("../driver/x.cpp"): those are in the source tree too.
    while (strncmp(file, "../", 3) == 0) file += 3;
    return std::string(file) + ":" + std::to_string(line);
}

struct SiteKey {
    const char *File;
    int Line;
    bool operator==(const SiteKey &other) const { return File == other.File && Line == other.Line; }
};

struct SiteKeyHash {
    size_t operator()(const SiteKey &k) const {
        return std::hash<const void *>()(k.File) ^ ((size_t)(unsigned)k.Line * 0x9E3779B97F4A7C15ull);
    }
};

// Each thread's last sites, in front of the process's table.
struct CachedSite {
    const char *File;
    int Line;
    const std::string *Text;
};
constexpr size_t kCachedSites = 256;
thread_local CachedSite t_sites[kCachedSites];

}  // namespace

const std::string &FormatSite(const char *file, int line) {
    // Never destroyed: a site may be named by a thread still running at exit.
    static const std::string *unknown = new std::string("(unknown)");
    static std::mutex *mutex = new std::mutex;
    static auto *sites = new std::unordered_map<SiteKey, std::string, SiteKeyHash>;
    if (file == nullptr) return *unknown;
    CachedSite &cached = t_sites[(SiteKeyHash()({file, line}) >> 4) % kCachedSites];
    if (cached.File == file && cached.Line == line) return *cached.Text;
    std::lock_guard<std::mutex> g(*mutex);
    auto it = sites->find({file, line});
    if (it == sites->end()) it = sites->emplace(SiteKey{file, line}, SiteText(file, line)).first;
    cached = {file, line, &it->second};
    return it->second;
}

bool SiteEndsWith(const std::string &site, const std::string &suffix) {
    if (suffix.empty() || suffix.size() > site.size()) return false;
    if (site.compare(site.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    // Match whole path components: "config.cpp:12" must not match "xconfig.cpp:12".
    if (suffix.size() == site.size()) return true;
    char before = site[site.size() - suffix.size() - 1];
    return before == '/' || suffix[0] == '/';
}

void Report(const char *rule, const std::string &site, const std::string &detail) {
    Violation v{rule, site, detail};
    fprintf(stderr, "verifier: %s at %s: %s\n", rule, site.c_str(), detail.c_str());
    fflush(stderr);
    std::function<void(const Violation &)> handler;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        handler = g_handler;
        if (!handler) g_violations.push_back(v);
    }
    if (handler) handler(v);
}

void VerifierReset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_violations.clear();
}

}  // namespace kernel

std::vector<Violation> VerifierTakeViolations() {
    std::lock_guard<std::mutex> lock(kernel::g_mutex);
    std::vector<Violation> out;
    out.swap(kernel::g_violations);
    return out;
}

size_t VerifierViolationCount() {
    std::lock_guard<std::mutex> lock(kernel::g_mutex);
    return kernel::g_violations.size();
}

void VerifierSetHandler(std::function<void(const Violation &)> handler) {
    std::lock_guard<std::mutex> lock(kernel::g_mutex);
    kernel::g_handler = std::move(handler);
}

}  // namespace sim
