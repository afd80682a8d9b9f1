#include "package_rules.h"
// sddl.h needs windows.h first.
#include <sddl.h>

namespace infcheck {

namespace {

struct Grant {
    WELL_KNOWN_SID_TYPE Sid;
    const wchar_t *Name;
    ACCESS_MASK Mask;
    int Seen;
};

}  // namespace

void CheckDeviceSecurity(const std::wstring &sddl, Findings &findings) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        findings.Fail(L"device security descriptor \"" + sddl + L"\" is not valid SDDL (error " +
                      std::to_wstring(GetLastError()) + L")");
        return;
    }

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    if (!(control & SE_DACL_PROTECTED))
        findings.Fail(L"device DACL is not protected (\"D:P\"): it would inherit entries");
    if (!present || dacl == nullptr) {
        findings.Fail(L"device security descriptor has no DACL: everyone could open the device");
        LocalFree(descriptor);
        return;
    }

    Grant grants[] = {
        {WinLocalSystemSid, L"LocalSystem", GENERIC_ALL, 0},
        {WinBuiltinAdministratorsSid, L"Administrators", GENERIC_ALL, 0},
        {WinInteractiveSid, L"interactive users", GENERIC_READ | GENERIC_WRITE, 0},
    };
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER *header = nullptr;
        if (!GetAce(dacl, i, (LPVOID *)&header)) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            findings.Fail(L"device DACL entry " + std::to_wstring(i) +
                          L" is not a plain allow entry");
            continue;
        }
        ACCESS_ALLOWED_ACE *ace = (ACCESS_ALLOWED_ACE *)header;
        PSID sid = (PSID)&ace->SidStart;
        Grant *match = nullptr;
        for (Grant &grant : grants) {
            BYTE buffer[SECURITY_MAX_SID_SIZE];
            DWORD size = sizeof(buffer);
            if (CreateWellKnownSid(grant.Sid, nullptr, buffer, &size) && EqualSid(sid, buffer))
                match = &grant;
        }
        LPWSTR sidText = nullptr;
        ConvertSidToStringSidW(sid, &sidText);
        const std::wstring who = sidText ? sidText : L"?";
        if (sidText) LocalFree(sidText);
        if (match == nullptr) {
            findings.Fail(L"device DACL grants access to " + who + L", who should have none");
            continue;
        }
        match->Seen++;
        if (ace->Mask != match->Mask)
            findings.Fail(std::wstring(L"device DACL grants ") + match->Name + L" access mask " +
                          std::to_wstring(ace->Mask) + L", expected " +
                          std::to_wstring(match->Mask));
    }
    for (const Grant &grant : grants)
        if (grant.Seen != 1)
            findings.Fail(std::wstring(L"device DACL has ") + std::to_wstring(grant.Seen) +
                          L" entries for " + grant.Name + L", expected 1");
    LocalFree(descriptor);
}

}  // namespace infcheck
