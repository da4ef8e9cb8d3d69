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

// CreateMutexW "requests the MUTEX_ALL_ACCESS access right" to a mutex that
// exists; where its DACL grants less (an instance that runs elevated made
// it, and this start does not), "the function will fail with
// ERROR_ACCESS_DENIED and the caller should use the OpenMutex function".
// "Only the SYNCHRONIZE access right is required to use a mutex" (OpenMutexW):
// a wait on such a handle takes the mutex once that instance ends. Releasing
// it may want MUTEX_MODIFY_STATE (.NET's MutexRights.Modify: "the right to
// release a named mutex"), asked for first.
MutexFound findTheMutex(const std::wstring& name, decltype(&OpenMutexW) open, handles::UniqueHandle& mutex)
{
    for (int attempt = 0;; ++attempt) {
        mutex.reset(CreateMutexW(nullptr, TRUE, name.c_str()));
        const DWORD error = GetLastError();
        if (mutex) {
            return error == ERROR_ALREADY_EXISTS ? MutexFound::Exists : MutexFound::Created;
        }
        if (error != ERROR_ACCESS_DENIED) {
            ORV_LOG(kInitLogName, L"the single-instance mutex cannot be made (error %d)", static_cast<int>(error));
            return MutexFound::Failed;
        }
        mutex.reset(open(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str()));
        if (!mutex && GetLastError() == ERROR_ACCESS_DENIED) {
            mutex.reset(open(SYNCHRONIZE, FALSE, name.c_str()));
        }
        const DWORD openError = GetLastError();
        if (mutex) {
            return MutexFound::Exists;
        }
        if (openError != ERROR_FILE_NOT_FOUND || attempt > 0) {
            ORV_LOG(kInitLogName,
                    L"the running instance runs with other rights (as administrator?): its mutex cannot be opened "
                    L"(error %d), so this start only offers cmd and cannot run in its place once it ends",
                    static_cast<int>(openError));
            return MutexFound::Exists;
        }
        // The running instance ended between the two calls: once more.
    }
}

// The running instance takes the presence once it runs; until then (its
// window may not exist yet, it may still connect, or be ending) the offer is
// made again, and this start runs in its place if it ends (known only with
// its mutex opened).
HandedOver handOver(const std::wstring& name, const std::wstring& offer, DWORD patienceMs, HANDLE mutex,
                    const std::function<bool()>& toldToEnd)
{
    const ULONGLONG deadline = GetTickCount64() + patienceMs;
    bool waitLogged = false;
    for (;;) {
        if (toldToEnd()) {
            return HandedOver::ToldToEnd;
        }
        if (utility::sendCopyData(name, frontend::kOfferMessage, offer, kOfferTimeoutMs)) {
            ORV_LOG(kInitLogName, L"cmd handed over to the running instance");
            return HandedOver::Taken;
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
        if (utility::waitAnsweringSenders(mutex, retryBefore(deadline, now))) {
            ORV_LOG(kInitLogName, L"the running instance has ended: this start runs in its place");
            return HandedOver::RunInItsPlace;
        }
    }
}

void passOn(const std::wstring& name, const std::wstring& offer)
{
    const ULONGLONG deadline = GetTickCount64() + kPassOnPatienceMs;
    for (;;) {
        if (utility::sendCopyData(name, frontend::kOfferMessage, offer, kOfferTimeoutMs)) {
            ORV_LOG(kPassOnName, L"presence passed on to the instance that follows");
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
