#include "events/event_bus.h"

EventBus::EventBus eventBus;

namespace EventBus {

EventBus::~EventBus() {
    std::lock_guard<std::mutex> guard(busLock);
    lists.clear();
}

void EventBus::unlistenAll(int token) {
    std::lock_guard<std::mutex> guard(busLock);
    for (auto& entry : lists) entry.second->remove(token);
}

void EventBus::reset() {
    std::lock_guard<std::mutex> guard(busLock);
    for (auto& entry : lists) entry.second->clear();
}

}  // namespace EventBus
