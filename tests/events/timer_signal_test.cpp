#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "events/event_bus.h"
#include "events/signal.h"
#include "events/subscription.h"
#include "events/timer.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Generous bound for waits that must succeed; only a broken implementation reaches it.
constexpr auto kPatience = 10s;

struct FiredTimer {
    Timer timer;
    Signal fired;
    std::atomic<int> count{0};
    std::atomic<Clock::rep> firedAt{0};

    explicit FiredTimer(std::chrono::milliseconds interval) {
        timer.setup(interval, [this] {
            firedAt = Clock::now().time_since_epoch().count();
            ++count;
            fired.notify();
        });
    }
    Clock::time_point lastFire() const { return Clock::time_point(Clock::duration(firedAt.load())); }
};

TEST(Timer, FiresOnceAfterItsInterval) {
    FiredTimer t(50ms);
    auto started = Clock::now();
    t.timer.start();
    ASSERT_TRUE(t.fired.waitFor(kPatience));
    EXPECT_GE(t.lastFire() - started, 50ms);
    EXPECT_FALSE(t.fired.waitFor(150ms));  // one-shot: no second expiry without another start
    EXPECT_EQ(t.count.load(), 1);

    // Restarting after the expiry (the periodic use) fires it again.
    t.timer.start();
    ASSERT_TRUE(t.fired.waitFor(kPatience));
    EXPECT_EQ(t.count.load(), 2);
    t.timer.stop();
}

TEST(Timer, StopBeforeExpiryCancelsAndReturnsWithoutWaitingTheInterval) {
    // With an hour-long interval a stop that waited for the expiry would hang the test.
    FiredTimer t(std::chrono::hours(1));
    t.timer.start();
    t.timer.stop();
    t.timer.stop();  // a second stop is harmless
    EXPECT_EQ(t.count.load(), 0);

    Timer never;
    never.stop();  // never started: returns at once
}

TEST(Timer, RestartBeforeExpiryRestartsTheFullInterval) {
    FiredTimer t(200ms);
    t.timer.start();
    std::this_thread::sleep_for(100ms);
    auto restarted = Clock::now();
    t.timer.start();
    ASSERT_TRUE(t.fired.waitFor(kPatience));
    EXPECT_GE(t.lastFire() - restarted, 200ms);
    EXPECT_EQ(t.count.load(), 1);
    t.timer.stop();
}

TEST(Timer, NotifyDoesNotFireEarly) {
    FiredTimer t(200ms);
    auto started = Clock::now();
    t.timer.start();
    for (int i = 0; i < 5; ++i) {
        t.timer.notify();
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(t.fired.waitFor(kPatience));
    EXPECT_GE(t.lastFire() - started, 200ms);
    EXPECT_EQ(t.count.load(), 1);
}

TEST(Timer, DestructorStopsARunningTimer) {
    std::atomic<int> count{0};
    {
        Timer timer;
        timer.setup(std::chrono::hours(1), [&] { ++count; });
        timer.start();
    }
    EXPECT_EQ(count.load(), 0);
}

TEST(Timer, ConcurrentStartsAndStopsLeaveNoThreadBehind) {
    std::atomic<int> count{0};
    Timer timer;
    timer.setup(1ms, [&] { ++count; });
    std::thread a([&] { for (int i = 0; i < 50; ++i) timer.start(); });
    std::thread b([&] { for (int i = 0; i < 50; ++i) { timer.start(); timer.stop(); } });
    a.join();
    b.join();
    timer.stop();
}

TEST(Signal, SeveralNotifiesAreConsumedByOneWait) {
    Signal signal;
    signal.notify();
    signal.notify();
    signal.wait();                          // returns at once
    EXPECT_FALSE(signal.waitFor(50ms));     // both notifies were consumed

    std::atomic<bool> woke{false};
    std::thread waiter([&] { signal.wait(); woke = true; });
    signal.notify();
    waiter.join();
    EXPECT_TRUE(woke.load());
}

TEST(Signal, OneNotifyWakesOneOfSeveralWaiters) {
    Signal signal;
    Signal done;
    std::atomic<int> woke{0};
    auto waiter = [&] { signal.wait(); ++woke; done.notify(); };
    std::thread a(waiter), b(waiter);
    signal.notify();
    ASSERT_TRUE(done.waitFor(kPatience));
    EXPECT_FALSE(done.waitFor(50ms));
    EXPECT_EQ(woke.load(), 1);
    signal.notify();
    a.join();
    b.join();
    EXPECT_EQ(woke.load(), 2);
}

struct SubPing {};
struct SubPong {};

class SubscriptionTest : public ::testing::Test {
protected:
    void TearDown() override { eventBus.reset(); }

    // Registers a counting callback for both types under a fresh token.
    int listenBoth(std::atomic<int>& calls) {
        int token = eventBus.newToken();
        eventBus.listen<SubPing>(token, [&calls](const SubPing&) { return ++calls, true; });
        eventBus.listen<SubPong>(token, [&calls](const SubPong&) { return ++calls, true; });
        return token;
    }
};

TEST_F(SubscriptionTest, SecondTokenReleasesTheFirstFromEveryType) {
    std::atomic<int> first{0}, second{0};
    Subscription sub;
    EXPECT_EQ(sub.held(), -1);
    sub.subscribe(listenBoth(first));
    int token2 = listenBoth(second);
    sub.subscribe(token2);
    EXPECT_EQ(sub.held(), token2);
    eventBus.notify(SubPing{});
    eventBus.notify(SubPong{});
    EXPECT_EQ(first.load(), 0);
    EXPECT_EQ(second.load(), 2);

    sub.unsubscribe();
    EXPECT_EQ(sub.held(), -1);
    EXPECT_FALSE(eventBus.notify(SubPing{}));
    sub.unsubscribe();  // nothing held: harmless
}

TEST_F(SubscriptionTest, DestructorReleasesTheToken) {
    std::atomic<int> calls{0};
    {
        Subscription sub;
        sub.subscribe(listenBoth(calls));
        EXPECT_TRUE(eventBus.notify(SubPing{}));
    }
    EXPECT_FALSE(eventBus.notify(SubPing{}));
    EXPECT_FALSE(eventBus.notify(SubPong{}));
    EXPECT_EQ(calls.load(), 1);
}

}  // namespace
