#include "package_rules.h"

#include <cwctype>
#include <set>

namespace infcheck {

namespace {

// Directives a declarative ("universal") driver package may not use.
const wchar_t *const ForbiddenDirectives[] = {
    L"DelReg",
    L"DelFiles",
    L"RenFiles",
    L"BitReg",
    L"UpdateInis",
    L"UpdateIniFields",
    L"Ini2Reg",
    L"ProfileItems",
    L"RegisterDlls",
    L"UnregisterDlls",
};

// The directory ID of the driver store: the package runs from there.
const wchar_t DriverStoreDirid[] = L"13";

bool IsDigits(const std::wstring &text) {
    if (text.empty()) return false;
    for (wchar_t c : text)
        if (!iswdigit(c)) return false;
    return true;
}

std::vector<std::wstring> Split(const std::wstring &text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::wstring::npos) return parts;
        start = at + 1;
    }
}

// "mm/dd/yyyy" with a real month and day.
bool IsInfDate(const std::wstring &text) {
    const std::vector<std::wstring> parts = Split(text, L'/');
    if (parts.size() != 3 || parts[0].size() > 2 || parts[1].size() > 2 || parts[2].size() != 4)
        return false;
    for (const std::wstring &part : parts)
        if (!IsDigits(part)) return false;
    const int month = std::stoi(parts[0]);
    const int day = std::stoi(parts[1]);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && std::stoi(parts[2]) >= 1980;
}

// "w.x.y.z", each part 0..65535.
bool IsInfVersion(const std::wstring &text) {
    const std::vector<std::wstring> parts = Split(text, L'.');
    if (parts.size() != 4) return false;
    for (const std::wstring &part : parts)
        if (!IsDigits(part) || part.size() > 5 || std::stol(part) > 65535) return false;
    return true;
}

bool ParseNumber(const std::wstring &text, unsigned long &value) {
    if (text.empty()) return false;
    wchar_t *end = nullptr;
    value = std::wcstoul(text.c_str(), &end, 0);
    return end != nullptr && *end == L'\0';
}

void RequireSection(const InfFile &inf, const std::wstring &section, const std::wstring &why,
                    Findings &findings) {
    if (!inf.HasSection(section))
        findings.Fail(L"missing section [" + section + L"] (" + why + L")");
}

// A [SourceDisksFiles] or [SourceDisksNames] entry, the x64-decorated section
// first as the setup API looks it up.
bool FindSourceEntry(const InfFile &inf, const std::wstring &section, const std::wstring &key,
                     InfLine &line) {
    return inf.FindLine(section + L".amd64", key, line) || inf.FindLine(section, key, line);
}

void CheckFileList(const InfFile &inf, const std::wstring &section, Findings &findings) {
    InfLine destination;
    if (!inf.FindLine(L"DestinationDirs", section, destination) &&
        !inf.FindLine(L"DestinationDirs", L"DefaultDestDir", destination)) {
        findings.Fail(L"[" + section + L"] has no destination in [DestinationDirs]");
        return;
    }
    for (const InfLine &entry : inf.Lines(section)) {
        // A line "file" reads as key "file" with field 1 "file"; "dest,source"
        // has no key.
        const std::wstring &name = entry.Field(1);
        if (name.empty() || name[0] == L'@') continue;
        if (!entry.Field(2).empty() && !SameText(entry.Field(2), name))
            findings.Fail(L"[" + section + L"] renames " + entry.Field(2) + L" to " + name +
                          L": a file run from the driver store keeps its name");
        InfLine source;
        if (!FindSourceEntry(inf, L"SourceDisksFiles", name, source)) {
            findings.Fail(L"[" + section + L"] copies " + name +
                          L", which [SourceDisksFiles] does not list");
            continue;
        }
        InfLine disk;
        if (!FindSourceEntry(inf, L"SourceDisksNames", source.Field(1), disk))
            findings.Fail(L"[SourceDisksFiles] puts " + name + L" on disk \"" + source.Field(1) +
                          L"\", which [SourceDisksNames] does not describe");
        if (!SameText(source.Field(2), destination.Field(2)))
            findings.Fail(L"[SourceDisksFiles] subdirectory of " + name + L" (\"" +
                          source.Field(2) + L"\") differs from its destination's (\"" +
                          destination.Field(2) + L"\")");
    }
}

}  // namespace

void CheckVersion(const InfFile &inf, const PackageExpectation &expect, Findings &findings) {
    const wchar_t *const keys[] = {L"Signature", L"Class", L"ClassGuid", L"Provider",
                                   L"DriverVer", L"CatalogFile", L"PnpLockdown"};
    for (const wchar_t *key : keys) {
        InfLine line;
        if (!inf.FindLine(L"Version", key, line) || line.Field(1).empty()) {
            findings.Fail(std::wstring(L"[Version] has no ") + key);
            continue;
        }
        const std::wstring &value = line.Field(1);
        const std::wstring name = key;
        if (name == L"Signature" && !SameText(value, L"$Windows NT$"))
            findings.Fail(L"[Version] Signature is " + value + L", expected $Windows NT$");
        if (name == L"Class" && !SameText(value, expect.Class))
            findings.Fail(L"[Version] Class is " + value + L", expected " + expect.Class);
        if (name == L"ClassGuid" && !SameText(value, expect.ClassGuid))
            findings.Fail(L"[Version] ClassGuid is " + value + L", expected " + expect.ClassGuid);
        if (name == L"DriverVer" && (!IsInfDate(value) || !IsInfVersion(line.Field(2))))
            findings.Fail(L"[Version] DriverVer must be mm/dd/yyyy,w.x.y.z, is " + value + L"," +
                          line.Field(2));
        if (name == L"CatalogFile" &&
            (value.size() < 5 || !SameText(value.substr(value.size() - 4), L".cat") ||
             value.find_first_of(L"\\/:") != std::wstring::npos))
            findings.Fail(L"[Version] CatalogFile must name a .cat file beside the INF, is " +
                          value);
        if (name == L"PnpLockdown" && value != L"1")
            findings.Fail(L"[Version] PnpLockdown is " + value + L", expected 1");
    }
}

void CheckDeclarativeRules(const InfFile &inf, Findings &findings) {
    RequireSection(inf, L"Strings", L"the package's texts", findings);
    RequireSection(inf, L"SourceDisksNames", L"where the package's files lie", findings);
    RequireSection(inf, L"SourceDisksFiles", L"which files the package has", findings);
    RequireSection(inf, L"DestinationDirs", L"where the files go", findings);

    std::set<std::wstring> registrySections;
    std::set<std::wstring> fileSections;
    for (const std::wstring &section : inf.SectionNames()) {
        if (StartsWithText(section, L"ClassInstall32") ||
            StartsWithText(section, L"DefaultInstall") ||
            (section.size() >= 13 &&
             SameText(section.substr(section.size() - 13), L".CoInstallers")))
            findings.Fail(L"section [" + section + L"] has no place in a declarative package");

        for (const InfLine &line : inf.Lines(section)) {
            // The setup API leaves a %name% it cannot resolve as it stands.
            std::vector<std::wstring> texts = line.Fields;
            texts.push_back(line.Key);
            for (const std::wstring &text : texts)
                if (text.find(L'%') != std::wstring::npos)
                    findings.Fail(L"[" + section + L"] " + line.Key + L": unresolved string in \"" +
                                  text + L"\"");
            for (const wchar_t *directive : ForbiddenDirectives)
                if (SameText(line.Key, directive))
                    findings.Fail(L"[" + section + L"] uses " + line.Key +
                                  L", which a declarative package may not");
            if (SameText(line.Key, L"AddReg") || SameText(line.Key, L"CopyFiles")) {
                for (const std::wstring &target : line.Fields) {
                    if (target.empty() || target[0] == L'@') continue;
                    if (!inf.HasSection(target)) {
                        findings.Fail(L"[" + section + L"] " + line.Key + L" names [" + target +
                                      L"], which is missing");
                        continue;
                    }
                    (SameText(line.Key, L"AddReg") ? registrySections : fileSections)
                        .insert(target);
                }
            }
            if (SameText(line.Key, L"AddService") && !line.Field(3).empty() &&
                !inf.HasSection(line.Field(3)))
                findings.Fail(L"[" + section + L"] AddService names [" + line.Field(3) +
                              L"], which is missing");
        }
    }

    for (const std::wstring &section : registrySections)
        for (const InfLine &entry : inf.Lines(section))
            if (!SameText(entry.Field(1), L"HKR"))
                findings.Fail(L"[" + section + L"] writes below " + entry.Field(1) +
                              L": a package writes only its own keys (HKR)");

    for (const InfLine &entry : inf.Lines(L"DestinationDirs"))
        if (entry.Field(1) != DriverStoreDirid)
            findings.Fail(L"[DestinationDirs] " + entry.Key + L" is DIRID " + entry.Field(1) +
                          L", expected 13 (the driver store)");

    for (const std::wstring &section : fileSections) CheckFileList(inf, section, findings);
}

bool FindDeviceInstall(const InfFile &inf, const PackageExpectation &expect, Findings &findings,
                       DeviceInstall &install) {
    // [Manufacturer] -> the x64 models section -> the camera's install section.
    std::wstring models;
    for (const InfLine &maker : inf.Lines(L"Manufacturer"))
        for (size_t i = 2; i <= maker.Fields.size(); i++) {
            const std::wstring &decoration = maker.Field(i);
            if (SameText(decoration, L"NTamd64") || StartsWithText(decoration, L"NTamd64."))
                models = maker.Field(1) + L"." + decoration;
        }
    if (models.empty()) {
        findings.Fail(L"[Manufacturer] names no models section for NTamd64");
        return false;
    }
    if (!inf.HasSection(models)) {
        findings.Fail(L"missing section [" + models + L"] (the x64 models)");
        return false;
    }
    std::wstring device;
    for (const InfLine &model : inf.Lines(models))
        for (size_t i = 2; i <= model.Fields.size(); i++)
            if (SameText(model.Field(i), expect.HardwareId)) device = model.Field(1);
    if (device.empty()) {
        findings.Fail(L"[" + models + L"] has no model for " + expect.HardwareId);
        return false;
    }

    // The platform picks the install section for its architecture.
    WCHAR actual[MAX_INF_SECTION_NAME_LENGTH] = {0};
    if (!SetupDiGetActualSectionToInstallW(inf.Raw(), device.c_str(), actual,
                                           MAX_INF_SECTION_NAME_LENGTH, nullptr, nullptr) ||
        !inf.HasSection(actual)) {
        findings.Fail(L"missing section [" + device + L".NTamd64] (the camera's DDInstall)");
        return false;
    }
    install.InstallSection = actual;
    install.ServicesSection = install.InstallSection + L".Services";
    const std::wstring hardware = install.InstallSection + L".HW";

    // DDInstall: the image is copied (to DIRID 13, by CheckDeclarativeRules).
    std::wstring fileList;
    InfLine copy;
    if (inf.FindLine(install.InstallSection, L"CopyFiles", copy))
        for (const std::wstring &target : copy.Fields)
            for (const InfLine &entry : inf.Lines(target))
                if (SameText(entry.Field(1), expect.ImageName)) fileList = target;
    if (fileList.empty())
        findings.Fail(L"[" + install.InstallSection + L"] does not copy " + expect.ImageName);

    // DDInstall.HW: the device's access rules.
    std::wstring sddl;
    unsigned long characteristics = 0;
    if (!inf.HasSection(hardware)) {
        findings.Fail(L"missing section [" + hardware + L"] (the device's access rules)");
    } else {
        InfLine addReg;
        if (inf.FindLine(hardware, L"AddReg", addReg))
            for (const std::wstring &target : addReg.Fields)
                for (const InfLine &entry : inf.Lines(target)) {
                    if (!SameText(entry.Field(1), L"HKR") || !entry.Field(2).empty()) continue;
                    if (SameText(entry.Field(3), L"Security")) sddl = entry.Field(5);
                    if (SameText(entry.Field(3), L"DeviceCharacteristics"))
                        ParseNumber(entry.Field(5), characteristics);
                }
        if (sddl.empty())
            findings.Fail(L"[" + hardware +
                          L"] sets no device security descriptor (HKR,,Security)");
        else
            CheckDeviceSecurity(sddl, findings);
        if (!(characteristics & 0x100))
            findings.Fail(L"[" + hardware +
                          L"] does not set FILE_DEVICE_SECURE_OPEN (HKR,,DeviceCharacteristics)");
    }

    // DDInstall.Services: the function driver's service.
    InfLine service;
    bool found = false;
    if (!inf.HasSection(install.ServicesSection)) {
        findings.Fail(L"missing section [" + install.ServicesSection + L"] (the driver's service)");
        return false;
    }
    for (const InfLine &line : inf.Lines(install.ServicesSection)) {
        unsigned long flags = 0;
        if (!SameText(line.Key, L"AddService") || !SameText(line.Field(1), expect.ServiceName))
            continue;
        found = true;
        service = line;
        if (!ParseNumber(line.Field(2), flags) || !(flags & SPSVCINST_ASSOCSERVICE))
            findings.Fail(L"[" + install.ServicesSection + L"] adds " + expect.ServiceName +
                          L" without SPSVCINST_ASSOCSERVICE: it would not be the function driver");
    }
    if (!found) {
        findings.Fail(L"[" + install.ServicesSection + L"] adds no service " + expect.ServiceName);
        return false;
    }
    const std::wstring serviceSection = service.Field(3);
    if (!inf.HasSection(serviceSection)) return false;  // reported by CheckDeclarativeRules
    struct Expected {
        const wchar_t *Key;
        DWORD Value;
    } values[] = {{L"ServiceType", expect.ServiceType},
                  {L"StartType", expect.StartType},
                  {L"ErrorControl", expect.ErrorControl}};
    for (const Expected &value : values) {
        InfLine line;
        unsigned long number = 0;
        if (!inf.FindLine(serviceSection, value.Key, line) || !ParseNumber(line.Field(1), number) ||
            number != value.Value)
            findings.Fail(L"[" + serviceSection + L"] " + value.Key + L" is \"" + line.Field(1) +
                          L"\", expected " + std::to_wstring(value.Value));
    }
    InfLine binary;
    if (!inf.FindLine(serviceSection, L"ServiceBinary", binary)) {
        findings.Fail(L"[" + serviceSection + L"] has no ServiceBinary");
        return false;
    }
    install.ImagePath = binary.Field(1);
    // The service must run the very file the package copied to the driver store.
    if (!fileList.empty()) {
        WCHAR target[MAX_PATH] = {0};
        if (!SetupGetTargetPathW(inf.Raw(), nullptr, fileList.c_str(), target, MAX_PATH, nullptr))
            findings.Fail(L"no target directory for [" + fileList + L"]");
        else if (!SameText(install.ImagePath, std::wstring(target) + L"\\" + expect.ImageName))
            findings.Fail(L"ServiceBinary " + install.ImagePath + L" is not the copied image " +
                          target + L"\\" + expect.ImageName);
    }
    return true;
}

}  // namespace infcheck
