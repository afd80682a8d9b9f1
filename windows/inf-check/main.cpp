// inf-check: checks the Tavrinoscope driver package's INF with the platform's
// setup API and, with --install, installs what the device installer would
// install for the camera outside the device's own keys: the package's files
// (to the directory DIRID 13 resolves to) and the driver's service.
//
//   inf-check.exe [--install] PATH\tavrinoscope.inf
//   inf-check.exe PATH\a.inf PATH\b.inf ...      (check several, install none)
//
// Every failure is one line on stderr, "<INF file name>: <what is wrong>".
// Exit status: 0 when every INF opens without a syntax error and meets every
// rule (and, with --install, its files and service were installed); 1 when
// one does not; 2 on a usage error. After an install it prints
// "image-path=<ServiceBinary>" for the caller to compare with the service's
// ImagePath in the registry.
#include <cstdio>

#include "inf_file.h"
#include "package_rules.h"

using namespace infcheck;

namespace {

const PackageExpectation Tavrinoscope = {
    L"USB\\VID_1209&PID_0001",                  // HardwareId
    L"USBDevice",                               // Class
    L"{88BAE032-5A81-49f0-BC3D-A4FF138216D6}",  // ClassGuid (GUID_DEVCLASS_USBDEVICE)
    L"tavrinoscope",                            // ServiceName
    L"tavrinoscope.sys",                        // ImageName
    SERVICE_KERNEL_DRIVER,                      // ServiceType 1
    SERVICE_DEMAND_START,                       // StartType 3
    SERVICE_ERROR_NORMAL,                       // ErrorControl 1
};

struct CopyContext {
    Findings *Report;
    unsigned MediaRequests;
};

// Copies without asking anyone: the package's files lie beside the INF or the
// package is incomplete, and a failed copy is a failed check.
UINT CALLBACK QuietCopyCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR) {
    CopyContext *copy = (CopyContext *)context;
    switch (notification) {
        case SPFILENOTIFY_STARTQUEUE:
        case SPFILENOTIFY_STARTSUBQUEUE:
            return TRUE;
        case SPFILENOTIFY_STARTCOPY:
            return FILEOP_DOIT;
        case SPFILENOTIFY_NEEDMEDIA: {
            // "Media present" makes the queue look again; say so only when the
            // file is there, or the queue would ask forever.
            const SOURCE_MEDIA_W *media = (const SOURCE_MEDIA_W *)param1;
            std::wstring source = media->SourcePath;
            if (!source.empty() && source.back() != L'\\') source += L'\\';
            source += media->SourceFile;
            if (++copy->MediaRequests <= 16 &&
                GetFileAttributesW(source.c_str()) != INVALID_FILE_ATTRIBUTES)
                return FILEOP_DOIT;
            copy->Report->Fail(L"the package has no " + source);
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FILEOP_ABORT;
        }
        case SPFILENOTIFY_COPYERROR: {
            const FILEPATHS_W *paths = (const FILEPATHS_W *)param1;
            copy->Report->Fail(L"cannot copy " + std::wstring(paths->Source) + L" to " + paths->Target +
                               L" (error " + std::to_wstring(paths->Win32Error) + L")");
            return FILEOP_ABORT;
        }
        case SPFILENOTIFY_ENDCOPY: {
            const FILEPATHS_W *paths = (const FILEPATHS_W *)param1;
            if (paths->Win32Error != NO_ERROR)
                copy->Report->Fail(L"copying " + std::wstring(paths->Source) + L" failed (error " +
                                   std::to_wstring(paths->Win32Error) + L")");
            return NO_ERROR;
        }
        default:
            return NO_ERROR;
    }
}

void InstallPackage(const InfFile &inf, const std::wstring &sourceRoot,
                    const DeviceInstall &install, Findings &findings) {
    HSPFILEQ queue = SetupOpenFileQueue();
    if (queue == INVALID_HANDLE_VALUE) {
        findings.Fail(L"cannot open a file queue");
        return;
    }
    CopyContext context = {&findings, 0};
    if (!SetupInstallFilesFromInfSectionW(inf.Raw(), nullptr, queue, install.InstallSection.c_str(),
                                          sourceRoot.c_str(), SP_COPY_NOSKIP))
        findings.Fail(L"cannot queue the files of [" + install.InstallSection + L"] (error " +
                      std::to_wstring(GetLastError()) + L")");
    else if (!SetupCommitFileQueueW(nullptr, queue, QuietCopyCallback, &context))
        findings.Fail(L"installing the files of [" + install.InstallSection + L"] failed (error " +
                      std::to_wstring(GetLastError()) + L")");
    SetupCloseFileQueue(queue);
    if (findings.Count() != 0) return;

    if (!SetupInstallServicesFromInfSectionW(inf.Raw(), install.ServicesSection.c_str(), 0))
        findings.Fail(L"installing the services of [" + install.ServicesSection +
                      L"] failed (error " + std::to_wstring(GetLastError()) + L")");
}

// Checks one INF and, if asked, installs it; returns the number of failures.
int CheckInf(const std::wstring &path, bool doInstall) {
    WCHAR full[MAX_PATH];
    WCHAR *fileName = nullptr;
    if (!GetFullPathNameW(path.c_str(), MAX_PATH, full, &fileName) || fileName == nullptr) {
        Findings findings(path);
        findings.Fail(L"not a file path");
        return findings.Count();
    }
    const std::wstring sourceRoot(full, fileName - full);
    Findings findings(fileName);

    InfFile inf(full);
    if (!inf.IsOpen()) {
        wchar_t code[16];
        swprintf(code, 16, L"0x%08lx", (unsigned long)inf.ErrorCode());
        if (inf.ErrorLine() != 0)
            findings.Fail(L"syntax error on line " + std::to_wstring(inf.ErrorLine()) +
                          L" (error " + code + L")");
        else
            findings.Fail(std::wstring(L"cannot open (error ") + code + L")");
        return findings.Count();
    }

    CheckVersion(inf, Tavrinoscope, findings);
    CheckDeclarativeRules(inf, findings);
    DeviceInstall install;
    FindDeviceInstall(inf, Tavrinoscope, findings, install);
    if (findings.Count() != 0 || !doInstall) return findings.Count();

    InstallPackage(inf, sourceRoot, install, findings);
    if (findings.Count() == 0) std::printf("image-path=%s\n", Utf8(install.ImagePath).c_str());
    return findings.Count();
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    bool doInstall = false;
    std::vector<std::wstring> paths;
    for (int i = 1; i < argc; i++) {
        const std::wstring arg = argv[i];
        if (arg == L"--install")
            doInstall = true;
        else if (!arg.empty() && arg[0] != L'-')
            paths.push_back(arg);
        else
            paths.clear(), i = argc;
    }
    if (paths.empty() || (doInstall && paths.size() != 1)) {
        std::fprintf(stderr,
                     "usage: inf-check.exe [--install] PATH\\tavrinoscope.inf\n"
                     "       inf-check.exe PATH\\a.inf PATH\\b.inf ...\n");
        return 2;
    }
    int failures = 0;
    for (const std::wstring &path : paths) failures += CheckInf(path, doInstall);
    return failures == 0 ? 0 : 1;
}
