#include "presence/hand_over.h"

#include "common/log.h"
#include "discord/sdk_timing.h"
#include "presence/front_end_contract.h"
#include "utility/answering_wait.h"
#include "utility/window_ipc.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr UINT kOfferTimeoutMs = 1000;
constexpr DWORD kRetryMs = 250;
// How long the way out offers a kept presence: the start's wait for the
// mutex, its connect, and room for a slow machine.
constexpr ULONGLONG kPassOnPatienceMs = discord::timing::kConnect.count() + 5000;
constexpr size_t kStampUnits = sizeof(presence::Stamp) / sizeof(wchar_t);
const char kPassOnName[] = "OrvDiscordManager::passOn";
// Why Windows would not deliver an offer (UIPI): a retry changes nothing.
const wchar_t kElevatedReceiver[] =
    L"Windows refused to deliver it (error 5): the other instance runs elevated (as administrator) and this one "
    L"does not, and that instance does not let such programs send to it. Start the front end the same way each "
    L"time (as administrator, or not), or end the elevated instance";

DWORD retryBefore(ULONGLONG deadline, ULONGLONG now)
{
    return static_cast<DWORD>(std::min<ULONGLONG>(kRetryMs, deadline - now));
}

}  // namespace

namespace presence {

std::wstring makeOffer(Stamp stamp, std::wstring_view text)
{
    std::wstring offer(kStampUnits, L'\0');
    std::memcpy(offer.data(), &stamp, sizeof stamp);
    offer.append(text);
    return offer;
}

bool readOffer(std::wstring_view payload, Stamp& stamp, std::wstring_view& text)
{
    if (payload.size() < kStampUnits) {
        return false;
    }
    std::memcpy(&stamp, payload.data(), sizeof stamp);
    stamp = std::min(stamp, now());
    text = payload.substr(kStampUnits);
    return true;
}

namespace {

enum class Look { Created, Opened, Refused, Gone, Failed };

// CreateMutexW "requests the MUTEX_ALL_ACCESS access right" to a mutex that
// exists; where its DACL grants less (an instance of an older version that
// runs elevated made it with the default rights, and this start does not
// run elevated), "the function will fail with ERROR_ACCESS_DENIED and the
// caller should use the OpenMutex function". "Only the SYNCHRONIZE access
// right is required to use a mutex" (OpenMutexW): a wait on such a handle
// takes the mutex once that instance ends. Releasing it may want
// MUTEX_MODIFY_STATE (.NET's MutexRights.Modify: "the right to release a
// named mutex"), asked for first. error: why, where not Created or Opened.
// https://learn.microsoft.com/windows/win32/api/synchapi/nf-synchapi-createmutexw
// https://learn.microsoft.com/windows/win32/api/synchapi/nf-synchapi-openmutexw
Look lookForTheMutex(const std::wstring& name, MutexSearch& search, DWORD& error)
{
    search.mutex.reset(CreateMutexW(search.security.attributes(), TRUE, name.c_str()));
    error = GetLastError();
    if (!search.mutex && error != ERROR_ACCESS_DENIED && search.security.attributes()) {
        // Not a refusal of the mutex that is there: of our descriptor (a
        // label above this process's level, say). The default will do.
        search.security.dropDescriptor(error);
        search.mutex.reset(CreateMutexW(nullptr, TRUE, name.c_str()));
        error = GetLastError();
    }
    if (search.mutex) {
        return error == ERROR_ALREADY_EXISTS ? Look::Opened : Look::Created;
    }
    if (error != ERROR_ACCESS_DENIED) {
        return Look::Failed;
    }
    search.mutex.reset(search.open(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str()));
    if (!search.mutex && GetLastError() == ERROR_ACCESS_DENIED) {
        search.mutex.reset(search.open(SYNCHRONIZE, FALSE, name.c_str()));
    }
    error = GetLastError();
    if (search.mutex) {
        return Look::Opened;
    }
    return error == ERROR_FILE_NOT_FOUND ? Look::Gone : Look::Refused;
}

}  // namespace

MutexFound findTheMutex(const std::wstring& name, MutexSearch& search)
{
    for (int attempt = 0;; ++attempt) {
        DWORD error = ERROR_SUCCESS;
        switch (lookForTheMutex(name, search, error)) {
        case Look::Created:
            return MutexFound::Created;
        case Look::Opened:
            return MutexFound::Exists;
        case Look::Failed:
            ORV_LOG(kInitLogName, L"the single-instance mutex cannot be made (error %d)", static_cast<int>(error));
            return MutexFound::Failed;
        case Look::Gone:
            if (attempt == 0) {
                continue;  // the running instance ended between the two calls: once more
            }
            break;
        case Look::Refused:
            break;
        }
        ORV_LOG(kInitLogName,
                L"the running instance runs with other rights (as administrator?): its mutex cannot be opened "
                L"(error %d), so this start offers cmd and looks for the mutex again while it does",
                static_cast<int>(error));
        return MutexFound::Exists;
    }
}

// The running instance takes the presence once it runs; until then (its
// window may not exist yet, it may still connect, or be ending) the offer is
// made again, and this start runs in its place if it ends: seen on its
// mutex, or, where that could not be opened, by making the mutex anew.
HandedOver handOver(const std::wstring& name, const std::wstring& offer, DWORD patienceMs, MutexSearch& search,
                    const std::function<bool()>& toldToEnd)
{
    const ULONGLONG deadline = GetTickCount64() + patienceMs;
    bool waitLogged = false;
    // Refused by the system once, an offer is never delivered: no more are
    // made, but the instance may still end, and this start run in its place.
    bool refused = false;
    for (;;) {
        if (toldToEnd()) {
            return HandedOver::ToldToEnd;
        }
        const utility::CopyDataSent sent = refused ? utility::CopyDataSent::RefusedBySystem
                                                   : utility::sendCopyData(name, frontend::kOfferMessage, offer,
                                                                           kOfferTimeoutMs);
        if (sent == utility::CopyDataSent::Taken) {
            ORV_LOG(kInitLogName, L"cmd handed over to the running instance");
            return HandedOver::Taken;
        }
        if (sent == utility::CopyDataSent::RefusedBySystem && !refused) {
            ORV_LOG(kInitLogName, L"cmd not handed over: %s; this start runs in its place if it ends meanwhile",
                    kElevatedReceiver);
            refused = true;
            waitLogged = true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            ORV_LOG(kInitLogName, L"cmd not handed over: the running instance neither took it nor ended in %d ms",
                    static_cast<int>(patienceMs));
            return HandedOver::NotTaken;
        }
        if (!waitLogged) {
            ORV_LOG(kInitLogName, L"the running instance does not take cmd yet: waiting for it to run or to end");
            waitLogged = true;
        }
        DWORD error = ERROR_SUCCESS;
        if (!search.mutex && lookForTheMutex(name, search, error) == Look::Created) {
            ORV_LOG(kInitLogName, L"the running instance has ended: this start runs in its place");
            return HandedOver::RunInItsPlace;
        }
        if (utility::waitAnsweringSenders(search.mutex.get(), retryBefore(deadline, now))) {
            ORV_LOG(kInitLogName, L"the running instance has ended: this start runs in its place");
            return HandedOver::RunInItsPlace;
        }
    }
}

void passOn(const std::wstring& name, const std::wstring& offer, ULONGLONG until)
{
    const ULONGLONG deadline = std::min(GetTickCount64() + kPassOnPatienceMs, until);
    for (;;) {
        const utility::CopyDataSent sent = utility::sendCopyData(name, frontend::kOfferMessage, offer, kOfferTimeoutMs);
        if (sent == utility::CopyDataSent::Taken) {
            ORV_LOG(kPassOnName, L"presence passed on to the instance that follows");
            return;
        }
        if (sent == utility::CopyDataSent::RefusedBySystem) {
            ORV_LOG(kPassOnName, L"presence not passed on: %s", kElevatedReceiver);
            return;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            ORV_LOG(kPassOnName, L"presence not passed on: no instance ran within %d ms",
                    static_cast<int>(kPassOnPatienceMs));
            return;
        }
        utility::waitAnsweringSenders(nullptr, retryBefore(deadline, now));
    }
}

}  // namespace presence
