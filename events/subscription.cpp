#include "events/subscription.h"

#include <exception>

#include "events/event_bus.h"

Subscription::~Subscription() {
    try {
        unsubscribe();
    } catch (...) {
        std::terminate();
    }
}

void Subscription::subscribe(int newToken) {
    if (token != -1) eventBus.unlistenAll(token);
    token = newToken;
}

void Subscription::unsubscribe() {
    if (token == -1) return;
    eventBus.unlistenAll(token);
    token = -1;
}
