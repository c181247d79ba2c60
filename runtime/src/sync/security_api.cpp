// Security descriptors in absolute form, as far as kernel objects use them.
//
// The runtime reads one thing from a descriptor: whether its DACL is present
// and null, which lets every user open the object. No descriptor, a
// descriptor without a DACL, and a present non-null DACL all give the
// default security of the creator (its own user, the superuser and the
// service account): access control entries are not interpreted.
#include "core/error.h"
#include "sync/object_api.h"

namespace {

constexpr BYTE kAclRevision = ACL_REVISION;
constexpr BYTE kAclRevisionDs = ACL_REVISION_DS;

bool acl_valid(const ACL* acl) {
    return (acl->AclRevision == kAclRevision || acl->AclRevision == kAclRevisionDs) && acl->AclSize >= sizeof(ACL);
}

// 0 or the error that makes the descriptor unusable.
DWORD check_descriptor(const SECURITY_DESCRIPTOR* sd) {
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return ERROR_UNKNOWN_REVISION;
    // Self-relative descriptors hold offsets where these fields hold
    // pointers; the runtime does not build or read them.
    if (sd->Control & SE_SELF_RELATIVE) return ERROR_INVALID_SECURITY_DESCR;
    if ((sd->Control & SE_DACL_PRESENT) && sd->Dacl && !acl_valid(sd->Dacl)) return ERROR_INVALID_ACL;
    return ERROR_SUCCESS;
}

}  // namespace

namespace w32rt::sync {

DWORD descriptor_opens_to_all(const void* descriptor, bool* open_to_all) {
    const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
    DWORD error = check_descriptor(sd);
    if (error == ERROR_UNKNOWN_REVISION || error == ERROR_INVALID_ACL) error = ERROR_INVALID_SECURITY_DESCR;
    if (error != ERROR_SUCCESS) return error;
    *open_to_all = (sd->Control & SE_DACL_PRESENT) && sd->Dacl == nullptr;
    return ERROR_SUCCESS;
}

}  // namespace w32rt::sync

extern "C" {

W32RT_API BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (!pSecurityDescriptor) return w32rt::fail(ERROR_INVALID_PARAMETER, FALSE);
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return w32rt::fail(ERROR_UNKNOWN_REVISION, FALSE);
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    sd->Revision = SECURITY_DESCRIPTOR_REVISION;
    sd->Sbz1 = 0;
    sd->Control = 0;
    sd->Owner = nullptr;
    sd->Group = nullptr;
    sd->Sacl = nullptr;
    sd->Dacl = nullptr;
    return TRUE;
}

W32RT_API BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                                                PACL pDacl, BOOL bDaclDefaulted) {
    if (!pSecurityDescriptor) return w32rt::fail(ERROR_INVALID_PARAMETER, FALSE);
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return w32rt::fail(ERROR_UNKNOWN_REVISION, FALSE);
    if (sd->Control & SE_SELF_RELATIVE) return w32rt::fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
    if (!bDaclPresent) {
        sd->Control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
        sd->Dacl = nullptr;
        return TRUE;
    }
    if (pDacl && !acl_valid(pDacl)) return w32rt::fail(ERROR_INVALID_ACL, FALSE);
    sd->Control |= SE_DACL_PRESENT;
    if (bDaclDefaulted) {
        sd->Control |= SE_DACL_DEFAULTED;
    } else {
        sd->Control &= ~SE_DACL_DEFAULTED;
    }
    sd->Dacl = pDacl;
    return TRUE;
}

W32RT_API BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent,
                                                PACL* pDacl, LPBOOL lpbDaclDefaulted) {
    if (!pSecurityDescriptor || !lpbDaclPresent || !pDacl || !lpbDaclDefaulted)
        return w32rt::fail(ERROR_INVALID_PARAMETER, FALSE);
    const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return w32rt::fail(ERROR_UNKNOWN_REVISION, FALSE);
    if (sd->Control & SE_SELF_RELATIVE) return w32rt::fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
    if (sd->Control & SE_DACL_PRESENT) {
        *lpbDaclPresent = TRUE;
        *pDacl = sd->Dacl;
        *lpbDaclDefaulted = (sd->Control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    } else {
        *lpbDaclPresent = FALSE;
        *pDacl = nullptr;
        *lpbDaclDefaulted = FALSE;
    }
    return TRUE;
}

W32RT_API BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    if (!pSecurityDescriptor) return w32rt::fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
    DWORD error = check_descriptor(static_cast<const SECURITY_DESCRIPTOR*>(pSecurityDescriptor));
    if (error != ERROR_SUCCESS) return w32rt::fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
    return TRUE;
}

}  // extern "C"
