// Owner-side handle of one listener token of the process-wide bus `eventBus`: the token's
// callbacks are removed from every event type when the handle is unsubscribed, given a new
// token, or destroyed. The caller registers its callbacks with eventBus.listen itself.
#pragma once

class Subscription {
public:
    Subscription() = default;
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    Subscription(Subscription&&) = delete;
    Subscription& operator=(Subscription&&) = delete;

    // Releases a held token, then holds this one.
    void subscribe(int newToken);
    // Releases a held token.
    void unsubscribe();
    // The held token, -1 when none.
    int held() const { return token; }

private:
    int token = -1;
};
