#include "presence/instance_security.h"

#include "common/log.h"
#include "handles/unique_handle.h"
#include "presence/hand_over.h"

#include <sddl.h>

#include <vector>

namespace presence {

// By default a mutex gets its creator's default DACL and integrity: one an
// elevated instance makes grants this user's starts that are not elevated
// nothing (Administrators is a deny-only group in their token) and labels it
// high, so that they may not write it ("a principal with a low integrity
// level cannot write to an object with a medium integrity level, even if
// that object's DACL allows write access to the principal": Mandatory
// Integrity Control,
// https://learn.microsoft.com/windows/win32/secauthz/mandatory-integrity-control).
// This user's SID is the same in both of its tokens, so granting it by name,
// and labelling the mutex medium, lets every start of this user open what any
// instance of this user made. A process may label an object it creates at
// its own integrity level or below without SeRelabelPrivilege ("Modify an
// object label": "processes running under a user account can modify the
// label of an object owned by that user to a lower level without this
// privilege"); medium is the level of a start that is not elevated, so no
// start of ours labels above its own. "P" keeps inherited ACEs out.
// SDDL: https://learn.microsoft.com/windows/win32/secauthz/security-descriptor-string-format
std::wstring instanceMutexSddl(const std::wstring& userSid)
{
    return L"D:P(A;;GA;;;" + userSid + L")(A;;GA;;;SY)(A;;GA;;;BA)S:(ML;;NW;;;ME)";
}

// OpenProcessToken with TOKEN_QUERY, which GetTokenInformation's TokenUser
// needs; the first call, without a buffer, fails with
// ERROR_INSUFFICIENT_BUFFER and gives the size. ConvertSidToStringSidW's
// string is freed with LocalFree. All three: Windows XP and later.
// https://learn.microsoft.com/windows/win32/api/processthreadsapi/nf-processthreadsapi-openprocesstoken
// https://learn.microsoft.com/windows/win32/api/securitybaseapi/nf-securitybaseapi-gettokeninformation
// https://learn.microsoft.com/windows/win32/api/sddl/nf-sddl-convertsidtostringsidw
std::wstring processUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        ORV_LOG(kInitLogName, L"this program's user cannot be read from its token (error %d)",
                static_cast<int>(GetLastError()));
        return std::wstring();
    }
    const handles::UniqueHandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    LPWSTR text = nullptr;
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        ORV_LOG(kInitLogName, L"this program's user cannot be read from its token (error %d)",
                static_cast<int>(GetLastError()));
        return std::wstring();
    }
    std::wstring sid = text;
    LocalFree(text);
    return sid;
}

// ConvertStringSecurityDescriptorToSecurityDescriptorW (Windows XP and
// later; the "ML" label ACE from Vista) gives a self-relative descriptor
// freed with LocalFree.
// https://learn.microsoft.com/windows/win32/api/sddl/nf-sddl-convertstringsecuritydescriptortosecuritydescriptorw
InstanceMutexSecurity::InstanceMutexSecurity()
{
    m_attributes.nLength = sizeof m_attributes;
    m_attributes.bInheritHandle = FALSE;
    const std::wstring sid = processUserSid();
    if (sid.empty()) {
        ORV_LOG(kInitLogName, L"the single-instance mutex gets the system's default rights: a start that runs "
                              L"elevated, or not, unlike the instance may not be able to open it");
        return;
    }
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(instanceMutexSddl(sid).c_str(), SDDL_REVISION_1,
                                                              &m_descriptor, nullptr)) {
        m_descriptor = nullptr;
        ORV_LOG(kInitLogName,
                L"the single-instance mutex's rights cannot be made (error %d): it gets the system's default rights, "
                L"and a start that runs elevated, or not, unlike the instance may not be able to open it",
                static_cast<int>(GetLastError()));
        return;
    }
    m_attributes.lpSecurityDescriptor = m_descriptor;
}

InstanceMutexSecurity::~InstanceMutexSecurity()
{
    LocalFree(m_descriptor);
}

void InstanceMutexSecurity::dropDescriptor(DWORD error)
{
    if (!m_descriptor) {
        return;
    }
    ORV_LOG(kInitLogName,
            L"the single-instance mutex cannot be made with its rights (error %d): it gets the system's default "
            L"rights, and a start that runs elevated, or not, unlike the instance may not be able to open it",
            static_cast<int>(error));
    LocalFree(m_descriptor);
    m_descriptor = nullptr;
    m_attributes.lpSecurityDescriptor = nullptr;
}

}  // namespace presence
