#pragma once

// Who may open the single-instance mutex: every start of this user, whether
// it or the instance runs elevated or not.
#include <windows.h>

#include <string>

namespace presence {

// The mutex's security descriptor in SDDL: full access for this user
// (userSid, such as "S-1-5-21-...-1001"), SYSTEM and Administrators, nobody
// else, with a medium integrity label that keeps writers below medium out.
std::wstring instanceMutexSddl(const std::wstring& userSid);

// This process's user as a string SID, from its token; empty, logged, when
// the token does not tell.
std::wstring processUserSid();

// The descriptor itself, made once. attributes() is null (the system's
// default descriptor) where it cannot be made, or after dropDescriptor().
class InstanceMutexSecurity {
public:
    InstanceMutexSecurity();
    ~InstanceMutexSecurity();
    InstanceMutexSecurity(const InstanceMutexSecurity&) = delete;
    InstanceMutexSecurity& operator=(const InstanceMutexSecurity&) = delete;

    SECURITY_ATTRIBUTES* attributes() { return m_descriptor ? &m_attributes : nullptr; }
    // The system would not make a mutex with it (error): the default from now on.
    void dropDescriptor(DWORD error);

private:
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
    SECURITY_ATTRIBUTES m_attributes = {};
};

}  // namespace presence
