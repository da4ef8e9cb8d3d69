// The SDK's C interface over our IPC client: DiscordCreate, the core table and
// the activity manager. Managers this library does not carry answer every
// operation with DiscordResult_InvalidCommand.
#include "discord/discord_game_sdk.h"
#include "sdk/diagnostics.h"
#include "sdk/ipc_client.h"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

using orvsdk::IpcClient;

constexpr size_t kLogQueueLimit = 256;
// Diagnostics raised before a hook is set, DiscordCreate's among them (which
// endpoints were refused or failed, whom it trusted): the newest are kept for
// the first hook.
constexpr size_t kEarlyLogLimit = 32;
constexpr size_t kStubSlots = 64;
using orvsdk::LogEntry;

// What the last failed DiscordCreate had to say, until someone takes it.
std::mutex g_createLogMutex;
std::deque<LogEntry> g_createLog;

uint32_t currentProcessId()
{
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<uint32_t>(getpid());
#endif
}

// An operation of a manager we do not carry. With the platform's default
// calling convention the caller removes its own arguments, so one function
// can stand in for every operation of every table.
EDiscordResult notCarried()
{
    return DiscordResult_InvalidCommand;
}

struct StubTable {
    EDiscordResult (*operations[kStubSlots])();
};

StubTable makeStubTable()
{
    StubTable table{};
    for (auto& operation : table.operations) {
        operation = notCarried;
    }
    return table;
}

StubTable g_stubTable = makeStubTable();

struct LogHook {
    EDiscordLogLevel minLevel = DiscordLogLevel_Error;
    void* data = nullptr;
    DiscordLogHook hook = nullptr;
};

struct CoreState;

struct ActivityHandle {
    IDiscordActivityManager table;
    CoreState* owner;
};

// The core handed out: the function table first, so that the IDiscordCore
// pointer is the address of the whole.
struct CoreHandle {
    IDiscordCore table;
    CoreState* state;
};

struct CoreState {
    CoreHandle handle{};
    ActivityHandle activity{};

    std::mutex logMutex;
    LogHook logHook;
    bool hookSet = false;
    std::deque<std::pair<EDiscordLogLevel, std::string>> logQueue;

    // Last, so that it goes first: its thread logs into the members above
    // until it has ended.
    std::unique_ptr<IpcClient> client;

    void queueLog(EDiscordLogLevel level, const std::string& message)
    {
        std::lock_guard<std::mutex> lock(logMutex);
        if (hookSet && (!logHook.hook || level > logHook.minLevel)) {
            return;
        }
        if (logQueue.size() >= (hookSet ? kLogQueueLimit : kEarlyLogLimit)) {
            logQueue.pop_front();
        }
        logQueue.emplace_back(level, message);
    }

    // The first hook gets what waited for it, as far as its level takes it.
    void setHook(const LogHook& hook)
    {
        std::lock_guard<std::mutex> lock(logMutex);
        logHook = hook;
        if (!hookSet) {
            hookSet = true;
            logQueue.erase(std::remove_if(logQueue.begin(), logQueue.end(),
                                          [&](const auto& entry) { return !hook.hook || entry.first > hook.minLevel; }),
                           logQueue.end());
        }
    }

    void deliverLogs()
    {
        std::deque<std::pair<EDiscordLogLevel, std::string>> due;
        LogHook hook;
        {
            std::lock_guard<std::mutex> lock(logMutex);
            due.swap(logQueue);
            hook = logHook;
        }
        if (hook.hook) {
            for (const auto& [level, message] : orvsdk::withinRunBudget(std::move(due))) {
                hook.hook(hook.data, level, message.c_str());
            }
        }
    }
};

static_assert(std::is_standard_layout<CoreHandle>::value, "the table must start the handle");
static_assert(std::is_standard_layout<ActivityHandle>::value, "the table must start the handle");

CoreState* stateOf(IDiscordCore* core)
{
    return core ? reinterpret_cast<CoreHandle*>(core)->state : nullptr;
}

CoreState* stateOf(IDiscordActivityManager* manager)
{
    return manager ? reinterpret_cast<ActivityHandle*>(manager)->owner : nullptr;
}

orvsdk::Completion completionFor(void* data, DiscordResultCallback callback)
{
    return [data, callback](EDiscordResult result) {
        if (callback) {
            callback(data, result);
        }
    };
}

// No C++ exception may leave through the C interface: every entry point
// catches them all and answers with a result instead.

void destroy(IDiscordCore* core)
{
    delete stateOf(core);  // the client's end lets nothing out
}

EDiscordResult runCallbacks(IDiscordCore* core)
{
    CoreState* state = stateOf(core);
    if (!state) {
        return DiscordResult_InternalError;
    }
    try {
        const EDiscordResult result = state->client->runCallbacks();
        state->deliverLogs();
        return result;
    } catch (...) {
        return DiscordResult_InternalError;
    }
}

void setLogHook(IDiscordCore* core, EDiscordLogLevel minLevel, void* data, DiscordLogHook hook)
{
    if (CoreState* state = stateOf(core)) {
        try {
            state->setHook(LogHook{minLevel, data, hook});
        } catch (...) {
        }
    }
}

template <typename Manager>
Manager* stubManager(IDiscordCore*)
{
    return reinterpret_cast<Manager*>(&g_stubTable);
}

IDiscordActivityManager* getActivityManager(IDiscordCore* core)
{
    CoreState* state = stateOf(core);
    return state ? &state->activity.table : nullptr;
}

EDiscordResult registerCommand(IDiscordActivityManager*, const char*)
{
    return DiscordResult_InvalidCommand;
}

EDiscordResult registerSteam(IDiscordActivityManager*, uint32_t)
{
    return DiscordResult_InvalidCommand;
}

void updateActivity(IDiscordActivityManager* manager, DiscordActivity* activity, void* data,
                    DiscordResultCallback callback)
{
    CoreState* state = stateOf(manager);
    if (!state || !activity) {
        if (callback) {
            callback(data, DiscordResult_InvalidPayload);
        }
        return;
    }
    // The record is copied and serialised later, on the connection's thread:
    // the caller (a window procedure, say) gets back at once. setActivity
    // takes the completion only when it cannot fail any more, so a failure
    // here is the callback's one and only call.
    try {
        state->client->setActivity(activity, completionFor(data, callback));
    } catch (...) {
        if (callback) {
            callback(data, DiscordResult_InternalError);
        }
    }
}

void clearActivity(IDiscordActivityManager* manager, void* data, DiscordResultCallback callback)
{
    CoreState* state = stateOf(manager);
    if (!state) {
        if (callback) {
            callback(data, DiscordResult_InternalError);
        }
        return;
    }
    try {
        state->client->setActivity(nullptr, completionFor(data, callback));
    } catch (...) {
        if (callback) {
            callback(data, DiscordResult_InternalError);
        }
    }
}

void sendRequestReply(IDiscordActivityManager*, DiscordUserId, EDiscordActivityJoinRequestReply, void* data,
                      DiscordResultCallback callback)
{
    if (callback) {
        callback(data, DiscordResult_InvalidCommand);
    }
}

void sendInvite(IDiscordActivityManager*, DiscordUserId, EDiscordActivityActionType, const char*, void* data,
                DiscordResultCallback callback)
{
    if (callback) {
        callback(data, DiscordResult_InvalidCommand);
    }
}

void acceptInvite(IDiscordActivityManager*, DiscordUserId, void* data, DiscordResultCallback callback)
{
    if (callback) {
        callback(data, DiscordResult_InvalidCommand);
    }
}

}  // namespace

extern "C" DISCORD_EXPORT EDiscordResult DiscordCreate(DiscordVersion version, DiscordCreateParams* params,
                                                       IDiscordCore** result)
{
    // Only the last failed create's diagnostics are handed out, also after
    // one that fails before it connects.
    {
        std::lock_guard<std::mutex> lock(g_createLogMutex);
        g_createLog.clear();
    }
    if (version != DISCORD_VERSION) {
        return DiscordResult_InvalidVersion;
    }
    if (!params || !result) {
        return DiscordResult_InternalError;
    }
    try {
        auto state = std::make_unique<CoreState>();
        CoreState* raw = state.get();
        orvsdk::ClientOptions options;
        options.clientId = params->client_id;
        options.pid = currentProcessId();
        options.log = [raw](EDiscordLogLevel level, const std::string& message) { raw->queueLog(level, message); };

        const EDiscordResult connected = IpcClient::connect(std::move(options), state->client);
        if (connected != DiscordResult_Ok) {
            // No hook can ever be set on a core that never was: its
            // diagnostics wait for OrvSdkTakeCreateLog.
            std::lock_guard<std::mutex> lock(g_createLogMutex);
            std::lock_guard<std::mutex> logLock(raw->logMutex);
            g_createLog.swap(raw->logQueue);
            return connected;
        }
        state->handle.table = IDiscordCore{
            destroy,
            runCallbacks,
            setLogHook,
            stubManager<IDiscordApplicationManager>,
            stubManager<IDiscordUserManager>,
            stubManager<IDiscordImageManager>,
            getActivityManager,
            stubManager<IDiscordRelationshipManager>,
            stubManager<IDiscordLobbyManager>,
            stubManager<IDiscordNetworkManager>,
            stubManager<IDiscordOverlayManager>,
            stubManager<IDiscordStorageManager>,
            stubManager<IDiscordStoreManager>,
            stubManager<IDiscordVoiceManager>,
            stubManager<IDiscordAchievementManager>,
        };
        state->handle.state = raw;
        state->activity.table = IDiscordActivityManager{registerCommand, registerSteam,    updateActivity,
                                                        clearActivity,   sendRequestReply, sendInvite,
                                                        acceptInvite};
        state->activity.owner = raw;
        *result = &state.release()->handle.table;
        return DiscordResult_Ok;
    } catch (const std::bad_alloc&) {
        return DiscordResult_InternalError;
    } catch (...) {
        return DiscordResult_InternalError;
    }
}

// Not the vendor's: hands the diagnostics of the last DiscordCreate of the
// process, if it failed (the endpoints it gave up and why, Discord's CLOSE
// text) to hook, once, on the calling thread, and forgets them. Look it up with GetProcAddress: the
// vendor's library lacks it. The number of messages handed over.
extern "C" DISCORD_EXPORT uint32_t OrvSdkTakeCreateLog(void* data, DiscordLogHook hook)
{
    try {
        std::deque<LogEntry> messages;
        {
            std::lock_guard<std::mutex> lock(g_createLogMutex);
            messages.swap(g_createLog);
        }
        if (hook) {
            for (const auto& [level, message] : messages) {
                hook(data, level, message.c_str());
            }
        }
        return static_cast<uint32_t>(messages.size());
    } catch (...) {
        return 0;
    }
}
