#include "framework/kel_timer.h"

KelTimerCallback::KelTimerCallback(int period_ms, KelUiTimerLoop& loop)
    : loop_(loop), period_ms_(period_ms > 0 ? period_ms : 1) {}

KelTimerCallback::~KelTimerCallback() { stop(); }

void KelTimerCallback::set_period(int period_ms) {
    period_ms_ = period_ms > 0 ? period_ms : 1;
    if (timer_id_) loop_.set_period(timer_id_, period_ms_);
}

void KelTimerCallback::add_client(KelTimerClient* client) {
    if (!client) return;
    bool found = false;
    for (Entry& e : clients_)
        if (e.client == client) {
            e.removed = false;
            found = true;
        }
    if (!found) clients_.push_back({client, false});
    if (!timer_id_) timer_id_ = loop_.start(period_ms_, &KelTimerCallback::tick, this);
}

void KelTimerCallback::remove_client(KelTimerClient* client) {
    for (Entry& e : clients_)
        if (e.client == client) e.removed = true;
}

void KelTimerCallback::stop() {
    kill();
    clients_.clear();
}

void KelTimerCallback::kill() {
    if (timer_id_) loop_.stop(timer_id_);
    timer_id_ = 0;
}

int KelTimerCallback::client_count() const {
    int n = 0;
    for (const Entry& e : clients_)
        if (!e.removed) ++n;
    return n;
}

void KelTimerCallback::tick(void* self, uint32_t timer_id) {
    auto* t = static_cast<KelTimerCallback*>(self);
    if (timer_id == t->timer_id_) t->on_tick();
}

void KelTimerCallback::on_tick() {
    // By index: a client may add clients (they are called in this walk too) or stop the
    // timer (the list is then empty and the walk ends).
    for (std::size_t i = 0; i < clients_.size();) {
        if (clients_[i].removed) {
            clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        KelTimerClient* c = clients_[i].client;
        c->timer_call(*this);
        ++i;
    }
    if (client_count() == 0) {
        // Removed entries still present were marked after their turn in this walk.
        clients_.clear();
        kill();
    }
}
