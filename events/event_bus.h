// Typed publish/subscribe bus inside one process.
//
// A listener registers, under an integer token, a callback for one event type. Publishing an
// event calls every callback of its type in registration order on the publishing thread, with
// no lock held. Registrations and removals made while a delivery of the same type runs are
// deferred until the last running delivery of that type ends, so a delivery never sees its
// list change.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <typeindex>
#include <utility>
#include <vector>

namespace EventBus {

namespace Internal {

// Per-event-type list of callbacks, seen by the bus through this base.
class CallbackVector {
public:
    virtual ~CallbackVector() = default;
    // Removes every callback of the token (deferred while a delivery runs).
    virtual void remove(int token) = 0;
    // Drops every callback (deferred while a delivery runs). Used by the bus's reset.
    virtual void clear() = 0;
};

template <typename T>
class TransactionCallbackVector final : public CallbackVector {
public:
    using Callback = std::function<bool(const T&)>;

    void add(int token, Callback callback) {
        std::lock_guard<std::mutex> guard(listLock);
        if (deliveryDepth.load() < 1) {
            entries.emplace_back(token, std::move(callback));
        } else {
            pendingAdds.emplace_back(token, std::move(callback));
        }
    }

    void remove(int token) override {
        std::lock_guard<std::mutex> guard(listLock);
        if (deliveryDepth.load() > 0) {
            pendingRemovals.push_back(token);
        } else {
            eraseToken(token);
        }
    }

    void clear() override {
        std::lock_guard<std::mutex> guard(listLock);
        pendingAdds.clear();
        if (deliveryDepth.load() > 0) {
            for (const auto& entry : entries) pendingRemovals.push_back(entry.first);
        } else {
            entries.clear();
            pendingRemovals.clear();
        }
    }

    // Calls every active callback with the event; true when at least one returned true.
    bool deliver(const T& event) {
        {
            std::lock_guard<std::mutex> guard(listLock);
            deliveryDepth.fetch_add(1);
        }
        // Ends the delivery also when a callback throws: otherwise the depth would stay
        // raised and every later registration and removal of this type would stay deferred.
        struct Commit {
            TransactionCallbackVector* list;
            ~Commit() { list->commitTransaction(); }
        } commit{this};

        bool handled = false;
        // `entries` cannot change while deliveryDepth is above 0, so it is read unlocked.
        const auto end = entries.cend();
        for (auto it = entries.cbegin(); it != end; ++it) {
            if (it->second(event)) handled = true;
        }
        return handled;
    }

    // Ends one delivery; the last running delivery applies the deferred changes,
    // additions before removals.
    void commitTransaction() {
        std::lock_guard<std::mutex> guard(listLock);
        if (deliveryDepth.fetch_sub(1) - 1 >= 1) return;
        deliveryDepth.store(0);
        for (auto& add : pendingAdds) entries.push_back(std::move(add));
        pendingAdds.clear();
        for (int token : pendingRemovals) eraseToken(token);
        pendingRemovals.clear();
    }

private:
    void eraseToken(int token) {
        std::vector<std::pair<int, Callback>> kept;
        kept.reserve(entries.size());
        for (auto& entry : entries) {
            if (entry.first != token) kept.push_back(std::move(entry));
        }
        entries.swap(kept);
    }

    std::vector<std::pair<int, Callback>> entries;
    std::vector<std::pair<int, Callback>> pendingAdds;
    std::vector<int> pendingRemovals;
    std::atomic<int32_t> deliveryDepth{0};
    std::mutex listLock;
};

}  // namespace Internal

class EventBus {
public:
    EventBus() = default;
    ~EventBus();
    EventBus(const EventBus&) = delete;
    EventBus& operator=(const EventBus&) = delete;

    // A fresh listener token; the first one is 1.
    int newToken() { return tokenCounter.fetch_add(1) + 1; }

    // Registers the callback for events of type T under the token.
    template <typename T>
    void listen(int token, std::function<bool(const T&)> callback) {
        std::lock_guard<std::mutex> guard(busLock);
        auto& slot = lists[std::type_index(typeid(T))];
        if (!slot) slot = std::make_unique<Internal::TransactionCallbackVector<T>>();
        static_cast<Internal::TransactionCallbackVector<T>*>(slot.get())->add(token, std::move(callback));
    }

    // Delivers the event to every callback of its type; true when at least one returned true,
    // false when none did or nobody ever listened to the type.
    template <typename T>
    bool notify(const T& event) {
        Internal::TransactionCallbackVector<T>* list = nullptr;
        {
            std::lock_guard<std::mutex> guard(busLock);
            auto it = lists.find(std::type_index(typeid(T)));
            if (it == lists.end()) return false;
            list = static_cast<Internal::TransactionCallbackVector<T>*>(it->second.get());
        }
        // Lists live as long as the bus, so the pointer stays valid without busLock.
        return list->deliver(event);
    }

    // Removes the token's callbacks from every event type.
    void unlistenAll(int token);

    // Drops every callback of every type (lists stay). For tests only, between test cases.
    void reset();

private:
    std::atomic<int32_t> tokenCounter{0};
    std::mutex busLock;
    std::map<std::type_index, std::unique_ptr<Internal::CallbackVector>> lists;
};

}  // namespace EventBus

// The process-wide bus.
extern EventBus::EventBus eventBus;
