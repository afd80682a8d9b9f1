// Replays fuzz inputs through a target's LLVMFuzzerTestOneInput without
// libFuzzer, so that the checked-in corpus runs with every build. Arguments are
// files or directories (every regular file in a directory, in name order). A
// target reports a fault by aborting; the program fails when no input was found.
// An input after which the process's peak memory is above libFuzzer's default
// limit (-rss_limit_mb=2048) fails the replay as it fails a fuzzer run.
#include <stdint.h>
#include <stdio.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
// Optional: a target that keeps state across inputs releases it here.
extern "C" __attribute__((weak)) void FuzzTargetTearDown();

namespace {

constexpr long kRssLimitMb = 2048;

long PeakRssMb() {
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;  // kilobytes on Linux
}

bool Replay(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    if (PeakRssMb() > kRssLimitMb) {
        fprintf(stderr, "%s: peak memory %ld MB, above the fuzzers' limit of %ld MB\n", file.c_str(),
                PeakRssMb(), kRssLimitMb);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto &entry : std::filesystem::directory_iterator(arg))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else {
            files.push_back(arg);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    for (const auto &file : files)
        if (!Replay(file)) return 1;
    if (FuzzTargetTearDown != nullptr) FuzzTargetTearDown();
    printf("%zu inputs replayed\n", files.size());
    return 0;
}
