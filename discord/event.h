#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace discord {

// A list of listeners of one SDK event, called in the order they connected.
template <typename... Args>
class Event {
public:
    using Token = int32_t;
    using Listener = std::function<void(Args...)>;

    Event() { m_slots.reserve(4); }

    Token Connect(Listener listener)
    {
        const Token token = m_nextToken++;
        m_slots.push_back({token, std::move(listener)});
        return token;
    }

    void Disconnect(Token token)
    {
        for (auto it = m_slots.begin(); it != m_slots.end(); ++it) {
            if (it->token == token) {
                m_slots.erase(it);
                return;
            }
        }
    }

    void DisconnectAll() { m_slots.clear(); }

    size_t Size() const { return m_slots.size(); }

    // An empty listener raises std::bad_function_call.
    void operator()(Args... args)
    {
        for (const Slot& slot : m_slots) {
            slot.listener(args...);
        }
    }

private:
    struct Slot {
        Token token;
        Listener listener;
    };

    Token m_nextToken = 0;
    std::vector<Slot> m_slots;
};

}  // namespace discord
