#pragma once
// A periodic timer shared by several clients (the panel's refresh, the MIDI lamp, the
// notification drain), ticking on the user-interface thread through a KelUiTimerLoop.
//
// The platform timer runs only while there are clients: adding the first client starts
// it, and the tick that finds no client left stops it. A client removed during a tick
// (by itself or by another client) is not called again, not even later in that tick.
//
// Threads: user-interface thread only (the thread that pumps the loop). A client must
// not destroy the KelTimerCallback that is calling it.
#include <cstdint>
#include <vector>

#include "framework/ui_timer_loop.h"

class KelTimerCallback;

class KelTimerClient {
public:
    virtual ~KelTimerClient() = default;
    virtual void timer_call(KelTimerCallback& timer) = 0;
};

class KelTimerCallback {
public:
    explicit KelTimerCallback(int period_ms, KelUiTimerLoop& loop = kel_ui_timer_loop());
    ~KelTimerCallback();
    KelTimerCallback(const KelTimerCallback&) = delete;
    KelTimerCallback& operator=(const KelTimerCallback&) = delete;

    // Restarts a running platform timer with the new period.
    void set_period(int period_ms);
    int period() const { return period_ms_; }
    // Adds the client (or revives it when it was removed) and starts the timer if needed.
    void add_client(KelTimerClient* client);
    // Marks the client removed; its entry goes at the next tick.
    void remove_client(KelTimerClient* client);
    // Stops the platform timer and forgets every client.
    void stop();

    bool running() const { return timer_id_ != 0; }
    uint32_t timer_id() const { return timer_id_; }
    // Clients not marked removed.
    int client_count() const;

private:
    struct Entry {
        KelTimerClient* client;
        bool removed;
    };
    static void tick(void* self, uint32_t timer_id);
    void on_tick();
    void kill();

    KelUiTimerLoop& loop_;
    int period_ms_;
    uint32_t timer_id_ = 0;
    std::vector<Entry> clients_;
};
