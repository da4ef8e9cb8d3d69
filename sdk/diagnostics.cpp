#include "sdk/diagnostics.h"

#include "text/utf8_cut.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace orvsdk {
namespace {

// The hook gets at most this many messages per run_callbacks, and this many
// bytes in all, the count lines included. The rest are counted, one line for
// each kind.
constexpr size_t kDeliveredPerRun = 8;
constexpr size_t kDeliveredBytesPerRun = 2048;
constexpr size_t kCountedKinds = 4;
constexpr size_t kMaxKind = 80;
// Room kept for the count lines: a kind and " ... and N more like it" each,
// and the line for the rest.
constexpr size_t kCountRoom = (kCountedKinds + 1) * (kMaxKind + 40);
// A message that does not fit whole is cut to the room left, if that is at
// least this much; otherwise it is counted.
constexpr size_t kMinCut = 64;

constexpr std::string_view kCutMark = "...";

// A message's kind: its text up to the first colon or parenthesis.
std::string kindOf(const std::string& message)
{
    const size_t end = message.find_first_of(":(");
    std::string kind = message.substr(0, std::min<size_t>(end == std::string::npos ? message.size() : end, kMaxKind));
    while (!kind.empty() && kind.back() == ' ') {
        kind.pop_back();
    }
    return kind;
}

std::deque<LogEntry> countTheRest(std::deque<LogEntry>& messages, const std::vector<bool>& delivered)
{
    std::deque<LogEntry> result;
    std::vector<std::pair<LogEntry, size_t>> counts;  // the most severe level and the kind, how many
    size_t others = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        if (delivered[i]) {
            result.push_back(std::move(messages[i]));
            continue;
        }
        const std::string kind = kindOf(messages[i].second);
        auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first.second == kind; });
        if (it != counts.end()) {
            ++it->second;
            it->first.first = std::min(it->first.first, messages[i].first);
        } else if (counts.size() < kCountedKinds) {
            counts.push_back({{messages[i].first, kind}, 1});
        } else {
            ++others;
        }
    }
    for (const auto& [entry, count] : counts) {
        result.emplace_back(entry.first, entry.second + " ... and " + std::to_string(count) + " more like it");
    }
    if (others > 0) {
        result.emplace_back(DiscordLogLevel_Warn, "... and " + std::to_string(others) + " more messages");
    }
    return result;
}

}  // namespace

std::string bounded(const std::string& text, size_t limit)
{
    if (text.size() <= limit) {
        return text;
    }
    const size_t room = limit > kCutMark.size() ? limit - kCutMark.size() : 0;
    std::string cut = text.substr(0, text::utf8CutLength(text, room));
    cut += kCutMark;
    return cut;
}

std::deque<LogEntry> withinRunBudget(std::deque<LogEntry> messages)
{
    size_t total = 0;
    for (const auto& entry : messages) {
        total += entry.second.size();
    }
    if (messages.size() <= kDeliveredPerRun && total <= kDeliveredBytesPerRun) {
        return messages;
    }
    std::vector<bool> delivered(messages.size(), false);
    size_t chosen = 0;
    size_t room = kDeliveredBytesPerRun - kCountRoom;
    for (const bool errors : {true, false}) {
        for (size_t i = 0; i < messages.size() && chosen < kDeliveredPerRun; ++i) {
            std::string& text = messages[i].second;
            if (delivered[i] || (messages[i].first <= DiscordLogLevel_Error) != errors ||
                (text.size() > room && room < kMinCut)) {
                continue;
            }
            text = bounded(text, room);
            room -= text.size();
            delivered[i] = true;
            ++chosen;
        }
    }
    return countTheRest(messages, delivered);
}

}  // namespace orvsdk
