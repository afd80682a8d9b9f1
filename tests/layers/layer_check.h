// The layer check: every #include in the kernel-mode folders goes down the
// layer order, or is one of the few wrong-way edges the allow-list names with
// its reason; and no file but the system-address helper maps an MDL.
#pragma once

#include <string>
#include <vector>

namespace layers {

// The kernel-mode folders, lowest first. A file may include headers of its own
// layer and of the layers below it.
const std::vector<std::string> &Order();

struct Finding {
    std::string File;  // relative to the source root, '/'-separated
    int Line = 0;
    std::string Message;
};

// Reads the allow-list and checks every source and header under Root's
// kernel-mode folders. An allow-list that cannot be read, an entry without a
// reason and an entry that no longer matches anything are findings too, so
// that the list cannot outgrow the tree.
std::vector<Finding> Check(const std::string &Root, const std::string &AllowList);

}  // namespace layers
