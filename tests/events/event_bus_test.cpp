#include "events/event_bus.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Ping {
    int value = 0;
};
struct Pong {};
struct Other {};

using Bus = EventBus::EventBus;

TEST(EventBus, TokensStartAtOneAndIncrease) {
    Bus bus;
    EXPECT_EQ(bus.newToken(), 1);
    EXPECT_EQ(bus.newToken(), 2);
}

TEST(EventBus, NotifyWithoutListenersReturnsFalse) {
    Bus bus;
    EXPECT_FALSE(bus.notify(Ping{}));

    int token = bus.newToken();
    int calls = 0;
    bus.listen<Ping>(token, [&](const Ping&) { return ++calls, true; });
    bus.unlistenAll(token);
    EXPECT_FALSE(bus.notify(Ping{}));  // list exists but is empty
    EXPECT_EQ(calls, 0);
}

TEST(EventBus, CallsInRegistrationOrderAndOrsResults) {
    Bus bus;
    std::vector<std::string> calls;
    bus.listen<Ping>(bus.newToken(), [&](const Ping& p) { calls.push_back("a" + std::to_string(p.value)); return false; });
    bus.listen<Ping>(bus.newToken(), [&](const Ping& p) { calls.push_back("b" + std::to_string(p.value)); return true; });
    bus.listen<Pong>(bus.newToken(), [&](const Pong&) { calls.push_back("pong"); return false; });

    EXPECT_TRUE(bus.notify(Ping{7}));
    EXPECT_EQ(calls, (std::vector<std::string>{"a7", "b7"}));

    calls.clear();
    EXPECT_FALSE(bus.notify(Pong{}));
    EXPECT_EQ(calls, (std::vector<std::string>{"pong"}));
    EXPECT_FALSE(bus.notify(Other{}));
}

TEST(EventBus, ListenerAddedDuringDeliveryRunsFromNextDelivery) {
    Bus bus;
    int added = 0;
    bool registered = false;
    bus.listen<Ping>(bus.newToken(), [&](const Ping&) {
        if (!registered) {
            registered = true;
            bus.listen<Ping>(bus.newToken(), [&](const Ping&) { return ++added, true; });
        }
        return false;
    });
    EXPECT_FALSE(bus.notify(Ping{}));
    EXPECT_EQ(added, 0);
    EXPECT_TRUE(bus.notify(Ping{}));
    EXPECT_EQ(added, 1);
}

TEST(EventBus, TokenRemovedDuringDeliveryFinishesThatDelivery) {
    Bus bus;
    int token = bus.newToken();
    std::vector<int> calls;
    bus.listen<Ping>(token, [&](const Ping&) { calls.push_back(1); bus.unlistenAll(token); return false; });
    bus.listen<Ping>(token, [&](const Ping&) { calls.push_back(2); return false; });
    bus.notify(Ping{});
    EXPECT_EQ(calls, (std::vector<int>{1, 2}));
    bus.notify(Ping{});
    EXPECT_EQ(calls, (std::vector<int>{1, 2}));
}

TEST(EventBus, AddThenRemoveInsideOneDeliveryLeavesItRemoved) {
    Bus bus;
    int late = bus.newToken();
    int lateCalls = 0;
    int first = bus.newToken();
    bus.listen<Ping>(first, [&](const Ping&) {
        bus.listen<Ping>(late, [&](const Ping&) { return ++lateCalls, true; });
        bus.unlistenAll(late);
        bus.unlistenAll(first);
        return false;
    });
    bus.notify(Ping{});
    EXPECT_FALSE(bus.notify(Ping{}));
    EXPECT_EQ(lateCalls, 0);
}

TEST(EventBus, UnlistenAllRemovesTokenFromEveryType) {
    Bus bus;
    int shared = bus.newToken();
    int keep = bus.newToken();
    int calls = 0;
    bus.listen<Ping>(shared, [&](const Ping&) { return ++calls, true; });
    bus.listen<Pong>(shared, [&](const Pong&) { return ++calls, true; });
    bus.listen<Other>(shared, [&](const Other&) { return ++calls, true; });
    bus.listen<Pong>(keep, [&](const Pong&) { return false; });
    bus.unlistenAll(shared);
    EXPECT_FALSE(bus.notify(Ping{}));
    EXPECT_FALSE(bus.notify(Pong{}));
    EXPECT_FALSE(bus.notify(Other{}));
    EXPECT_EQ(calls, 0);
}

TEST(EventBus, NestedDeliveryOfSameTypeDefersChangesUntilOutermostEnds) {
    Bus bus;
    int depth = 0;
    int lateCalls = 0;
    bus.listen<Ping>(bus.newToken(), [&](const Ping& p) {
        if (p.value == 0) {
            ++depth;
            bus.notify(Ping{1});  // inner delivery commits while the outer one still runs
            bus.listen<Ping>(bus.newToken(), [&](const Ping&) { return ++lateCalls, true; });
        }
        return false;
    });
    bus.notify(Ping{0});
    EXPECT_EQ(lateCalls, 0);
    bus.notify(Ping{2});
    EXPECT_EQ(lateCalls, 1);
}

TEST(EventBus, ThrowingCallbackDoesNotLeaveTheListDeferred) {
    Bus bus;
    int token = bus.newToken();
    bus.listen<Ping>(token, [&](const Ping&) -> bool { throw std::runtime_error("boom"); });
    EXPECT_THROW(bus.notify(Ping{}), std::runtime_error);
    // Removal right after the failed delivery takes effect at once.
    bus.unlistenAll(token);
    EXPECT_FALSE(bus.notify(Ping{}));

    bus.listen<Pong>(bus.newToken(), std::function<bool(const Pong&)>());
    EXPECT_THROW(bus.notify(Pong{}), std::bad_function_call);
}

TEST(EventBus, ResetDropsAllListeners) {
    Bus bus;
    bus.listen<Ping>(bus.newToken(), [](const Ping&) { return true; });
    bus.listen<Pong>(bus.newToken(), [](const Pong&) { return true; });
    bus.reset();
    EXPECT_FALSE(bus.notify(Ping{}));
    EXPECT_FALSE(bus.notify(Pong{}));
}

// Lets a test hold deliveries inside a callback and release them one at a time.
class Gate {
public:
    void arriveAndHold(int who) {
        std::unique_lock<std::mutex> lock(m);
        ++arrived;
        cv.notify_all();
        cv.wait(lock, [&] { return released[who]; });
    }
    void waitForArrivals(int n) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return arrived >= n; });
    }
    void release(int who) {
        std::lock_guard<std::mutex> lock(m);
        released[who] = true;
        cv.notify_all();
    }

private:
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    bool released[3] = {false, false, false};
};

TEST(EventBus, RegistrationDuringTwoConcurrentDeliveriesTakesEffectWhenTheLastEnds) {
    Bus bus;
    Gate gate;
    std::atomic<int> lateCalls{0};
    bus.listen<Ping>(bus.newToken(), [&](const Ping& p) {
        if (p.value > 0) gate.arriveAndHold(p.value);
        return false;
    });

    std::thread first([&] { bus.notify(Ping{1}); });
    std::thread second([&] { bus.notify(Ping{2}); });
    gate.waitForArrivals(2);

    std::thread registrar([&] {
        bus.listen<Ping>(bus.newToken(), [&](const Ping&) { return ++lateCalls, true; });
    });
    registrar.join();

    gate.release(1);
    first.join();
    // One delivery still runs: the new listener is not active yet.
    EXPECT_FALSE(bus.notify(Ping{0}));
    EXPECT_EQ(lateCalls.load(), 0);

    gate.release(2);
    second.join();
    EXPECT_TRUE(bus.notify(Ping{0}));
    EXPECT_EQ(lateCalls.load(), 1);
}

TEST(EventBus, ConcurrentPublishersAndRegistrarsStayConsistent) {
    Bus bus;
    std::atomic<int> calls{0};
    bus.listen<Ping>(bus.newToken(), [&](const Ping&) { return ++calls, true; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) EXPECT_TRUE(bus.notify(Ping{}));
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            int token = bus.newToken();
            bus.listen<Ping>(token, [](const Ping&) { return false; });
            bus.listen<Pong>(token, [](const Pong&) { return false; });
            bus.unlistenAll(token);
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(calls.load(), 600);
}

}  // namespace
