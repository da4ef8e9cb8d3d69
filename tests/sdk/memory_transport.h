#pragma once

// An in-memory connection for the IPC client, whose Discord side the test
// (or the fuzz target) plays: it pushes the bytes the client reads and looks
// at what the client wrote.
#include "sdk/transport.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace sdktest {

struct MemoryLink {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> inbound;  // what the client reads, one chunk per read
    std::string outbound;             // what the client wrote
    bool woken = false;
    int wakes = 0;                    // calls of wake()
    bool readerIdle = false;          // the client waits for bytes, with nothing to read
    bool shut = false;
    bool throwOnSend = false;         // a send fails with std::bad_alloc
    size_t outboundLimit = 1 << 20;   // older bytes are dropped past this

    void push(std::string bytes)
    {
        if (bytes.empty()) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        inbound.push_back(std::move(bytes));
        changed.notify_all();
    }

    // Waits until the client has read everything and waits again, or the
    // connection is done; false on timeout.
    bool waitIdle(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return shut || (inbound.empty() && readerIdle && !woken); });
    }

    bool isShut()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return shut;
    }

    std::string written()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return outbound;
    }
};

class MemoryTransport : public orvsdk::Transport {
public:
    explicit MemoryTransport(std::shared_ptr<MemoryLink> link) : m_link(std::move(link)) {}

    ~MemoryTransport() override { shutdown(); }

    bool send(const char* data, size_t size, std::chrono::milliseconds) override
    {
        std::lock_guard<std::mutex> lock(m_link->mutex);
        if (m_link->throwOnSend) {
            throw std::bad_alloc();
        }
        if (m_link->shut) {
            return false;
        }
        m_link->outbound.append(data, size);
        if (m_link->outbound.size() > m_link->outboundLimit) {
            m_link->outbound.erase(0, m_link->outbound.size() - m_link->outboundLimit);
        }
        return true;
    }

    bool sendWithoutWaiting(const char* data, size_t size) override
    {
        std::lock_guard<std::mutex> lock(m_link->mutex);
        m_link->outbound.append(data, size);
        return true;
    }

    int receive(char* buffer, size_t capacity, std::chrono::milliseconds timeout) override
    {
        std::unique_lock<std::mutex> lock(m_link->mutex);
        m_link->readerIdle = m_link->inbound.empty();
        m_link->changed.notify_all();
        m_link->changed.wait_for(lock, timeout,
                                 [&] { return m_link->shut || m_link->woken || !m_link->inbound.empty(); });
        m_link->readerIdle = false;
        if (m_link->shut) {
            return kClosed;
        }
        if (!m_link->inbound.empty()) {
            std::string& chunk = m_link->inbound.front();
            const size_t size = std::min(capacity, chunk.size());
            chunk.copy(buffer, size);
            chunk.erase(0, size);
            if (chunk.empty()) {
                m_link->inbound.pop_front();
            }
            return static_cast<int>(size);
        }
        m_link->woken = false;
        return 0;
    }

    void wake() override
    {
        std::lock_guard<std::mutex> lock(m_link->mutex);
        m_link->woken = true;
        ++m_link->wakes;
        m_link->changed.notify_all();
    }

    void shutdown() override
    {
        std::lock_guard<std::mutex> lock(m_link->mutex);
        m_link->shut = true;
        m_link->changed.notify_all();
    }

private:
    std::shared_ptr<MemoryLink> m_link;
};

}  // namespace sdktest
