// The rules the Tavrinoscope driver package's INF must meet: the platform's
// rules for a declarative driver package that runs from the driver store,
// and this package's own contents (hardware ID, class, service, access rules).
#pragma once

#include <string>
#include <vector>

#include "inf_file.h"

namespace infcheck {

struct PackageExpectation {
    std::wstring HardwareId;   // e.g. USB\VID_1209&PID_0001
    std::wstring Class;        // [Version] Class
    std::wstring ClassGuid;    // [Version] ClassGuid
    std::wstring ServiceName;  // the function driver's service
    std::wstring ImageName;    // its image, a file of the package
    DWORD ServiceType;
    DWORD StartType;
    DWORD ErrorControl;
};

// What the device installer would run for the camera, as found in the INF.
struct DeviceInstall {
    std::wstring InstallSection;   // the DDInstall section chosen for x64
    std::wstring ServicesSection;  // InstallSection + ".Services"
    std::wstring ImagePath;        // ServiceBinary, DIRIDs resolved
};

// [Version]: signature, class and class GUID, provider, DriverVer, catalog,
// PnpLockdown.
void CheckVersion(const InfFile &inf, const PackageExpectation &expect, Findings &findings);

// Rules for every section: every referenced section exists, every %string%
// resolves, no directive or section a declarative package may not have,
// registry writes only below HKR, files only to DIRID 13 and only from
// [SourceDisksFiles] entries on a [SourceDisksNames] disk, none renamed.
void CheckDeclarativeRules(const InfFile &inf, Findings &findings);

// From [Manufacturer] to the x64 models section, the camera's hardware ID,
// its DDInstall section and that section's .HW and .Services sections: the
// image copied, the access rules set, the service added as the function
// driver with the expected type, start, error control and binary.
bool FindDeviceInstall(const InfFile &inf, const PackageExpectation &expect, Findings &findings,
                       DeviceInstall &install);

// The device's security descriptor (SDDL): a protected DACL that allows
// LocalSystem and Administrators all access, interactive users read and
// write, and nobody else anything.
void CheckDeviceSecurity(const std::wstring &sddl, Findings &findings);

}  // namespace infcheck
