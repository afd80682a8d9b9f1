// layer_check <source root> <allow-list>: prints every include against the
// layer order and every mapping outside the helper; exit status 1 if any.
#include <cstdio>

#include "layer_check.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: layer_check <source root> <allow-list>\n");
        return 2;
    }
    const auto findings = layers::Check(argv[1], argv[2]);
    for (const auto &f : findings) {
        std::fprintf(stderr, "%s:%d: %s\n", f.File.c_str(), f.Line, f.Message.c_str());
    }
    return findings.empty() ? 0 : 1;
}
