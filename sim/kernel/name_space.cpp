// Object name space: device names and symbolic links, and the run-time
// library's counted strings.
//
// Names are compared case-insensitively, as the object manager does. The
// per-session DOS device directory is reachable as "\DosDevices\X", "\??\X" and
// "\GLOBAL??\X", all one name. A device object's name and a link may not
// collide with any existing name (STATUS_OBJECT_NAME_COLLISION). A link stores
// its target's name, not the object, so a link can outlive its device (a stray
// link) and then leads nowhere.
#include <ctype.h>

#include <map>
#include <mutex>

#include "kernel_internal.h"
#include "verifier.h"

namespace sim {
namespace kernel {
namespace {

struct NameEntry {
    PDEVICE_OBJECT Device;  // for a device name
    std::string Target;     // for a link: the normalized target name
    bool IsLink;
};

std::mutex g_mutex;
std::map<std::string, NameEntry> g_names;

bool StartsWith(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

std::string NormalizeName(const std::string &name) {
    std::string s;
    s.reserve(name.size());
    for (char c : name) s += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (StartsWith(s, "\\??\\")) s = "\\dosdevices\\" + s.substr(4);
    else if (StartsWith(s, "\\global??\\")) s = "\\dosdevices\\" + s.substr(10);
    return s;
}

std::string ToNarrow(PCUNICODE_STRING s) {
    std::string out;
    if (s == nullptr || s->Buffer == nullptr) return out;
    for (USHORT i = 0; i < s->Length / sizeof(WCHAR); ++i) {
        WCHAR c = s->Buffer[i];
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

void NamesReset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_names.clear();
}

NTSTATUS NameInsertDevice(const std::string &name, PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string key = NormalizeName(name);
    if (g_names.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
    g_names[key] = NameEntry{device, std::string(), false};
    return STATUS_SUCCESS;
}

void NameRemoveDevice(const std::string &name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_names.find(NormalizeName(name));
    if (it != g_names.end() && !it->second.IsLink) g_names.erase(it);
}

NTSTATUS NameInsertLink(const std::string &link, const std::string &target) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string key = NormalizeName(link);
    if (g_names.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
    g_names[key] = NameEntry{nullptr, NormalizeName(target), true};
    return STATUS_SUCCESS;
}

NTSTATUS NameRemoveLink(const std::string &link) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_names.find(NormalizeName(link));
    if (it == g_names.end() || !it->second.IsLink) return STATUS_OBJECT_NAME_NOT_FOUND;
    g_names.erase(it);
    return STATUS_SUCCESS;
}

namespace {

PDEVICE_OBJECT ResolveLocked(const std::string &name) {
    std::string key = NormalizeName(name);
    for (int depth = 0; depth < 8; ++depth) {
        auto it = g_names.find(key);
        if (it == g_names.end()) return nullptr;
        if (!it->second.IsLink) return it->second.Device;
        key = it->second.Target;
    }
    return nullptr;
}

}  // namespace

PDEVICE_OBJECT NameResolve(const std::string &name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return ResolveLocked(name);
}

// Lock order: the name space, then the object table (ReferenceDevice);
// IoDeleteDevice takes them one after the other, never nested.
PDEVICE_OBJECT NameResolveReferenced(const std::string &name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    PDEVICE_OBJECT device = ResolveLocked(name);
    if (device != nullptr) ReferenceDevice(device);
    return device;
}

}  // namespace kernel

using namespace kernel;

bool DeviceNameExists(const char *ntName) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_names.find(NormalizeName(ntName));
    return it != g_names.end() && !it->second.IsLink;
}

bool SymbolicLinkExists(const char *linkName) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_names.find(NormalizeName(linkName));
    return it != g_names.end() && it->second.IsLink;
}

NTSTATUS CreateStrayLink(const char *linkName, const char *target) {
    return NameInsertLink(linkName, target);
}

PDEVICE_OBJECT FindDevice(const char *ntName) { return NameResolve(ntName); }

}  // namespace sim

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    size_t n = 0;
    if (SourceString != nullptr) {
        while (SourceString[n] != 0) ++n;
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength =
        SourceString != nullptr ? static_cast<USHORT>((n + 1) * sizeof(WCHAR)) : 0;
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    for (USHORT i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            if (a >= 'a' && a <= 'z') a = static_cast<WCHAR>(a - 'a' + 'A');
            if (b >= 'a' && b <= 'z') b = static_cast<WCHAR>(b - 'a' + 'A');
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}
