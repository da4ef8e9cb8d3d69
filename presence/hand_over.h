#pragma once

// The single instance and the hand-over between instances: a second start
// gives its presence to the running instance, or runs in its place once that
// one has ended, and an instance that ends passes on a presence that came
// meanwhile. Each instance runs on its own clock of the system's.
#include "common/local_time.h"
#include "handles/unique_handle.h"
#include "presence/instance_security.h"

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

namespace presence {

// When a presence came into being, on the system-wide monotonic clock:
// later is newer. The command line's is when the process was created.
using Stamp = unsigned long long;
inline Stamp now()
{
    return common::monotonicNow();
}

// An offer between instances (WM_COPYDATA with frontend::kOfferMessage): the
// stamp in its first four units, then the presence command string.
std::wstring makeOffer(Stamp stamp, std::wstring_view text);
// False when the payload is too short to hold a stamp. A stamp later than
// now is read as now.
bool readOffer(std::wstring_view payload, Stamp& stamp, std::wstring_view& text);

// Where start-up's records, the hand-over's among them, say they come from.
constexpr char kInitLogName[] = "OrvDiscordManager::init";

// How long a start that does not run answers senders before it ends.
constexpr DWORD kGiveUpDelayMs = 3000;

enum class MutexFound { Created, Exists, Failed };

// The single-instance mutex as a start looks for it.
struct MutexSearch {
    decltype(&OpenMutexW) open = &OpenMutexW;  // where CreateMutexW is refused; tests give others
    InstanceMutexSecurity security;            // what a mutex this start makes grants
    handles::UniqueHandle mutex;                // empty: not found yet, or refused to both opens
};

// The single-instance mutex named name: created and owned by this start, or
// another instance's, opened to wait for (search.mutex stays empty when it
// cannot be).
MutexFound findTheMutex(const std::wstring& name, MutexSearch& search);

enum class HandedOver { Taken, NotTaken, RunInItsPlace, ToldToEnd };

// Offers offer to the instance whose IPC window's class is name, until it
// takes it (or holds a newer one), the system refuses the offer (the
// instance runs elevated and this start does not), patienceMs pass,
// search.mutex is signalled (then owned: this start runs in its place), or
// toldToEnd, asked before each offer, answers true. While search.mutex is
// empty, each retry looks for the mutex again: made by this start, it runs
// in its place. Senders are answered.
HandedOver handOver(const std::wstring& name, const std::wstring& offer, DWORD patienceMs, MutexSearch& search,
                    const std::function<bool()>& toldToEnd);

// The last thing an instance does once its window, connection and mutex are
// gone: offers what it kept to the start that runs in its place, for as long
// as that start may take to run, and never beyond until (GetTickCount64).
void passOn(const std::wstring& name, const std::wstring& offer, ULONGLONG until = ~0ULL);

}  // namespace presence
