// Slots, joins and the wire shop: every net gets exactly one buffer, every unconnected
// input the shared zero buffer, every unconnected output the shared discard buffer.
#include <cstring>

#include "engine/modular.h"
#include "engine/report.h"

namespace {

char g_trace[512];  // connection traces are formatted here and never shown

t_slot* net_tail(t_slot* head) {
    t_slot* s = head;
    while (s->net_next) s = s->net_next;
    return s;
}

// Appends B's net to A's and points B's slots at A's head.
void merge_nets(t_slot* a, t_slot* b) {
    t_slot* a_head = a->net_head;
    t_slot* b_head = b->net_head;
    if (a_head == b_head) return;
    net_tail(a_head)->net_next = b_head;
    for (t_slot* s = b_head; s; s = s->net_next) s->net_head = a_head;
}

int refuse(const char* format, int a, int b) {
    kel_error("wires", __LINE__, format, a, b, b);
    return -1;
}

// The join table: A is the source slot, B the destination slot.
int join_slots(t_slot* a, t_slot* b) {
    const int na = a->number, nb = b->number;
    switch (a->state) {
    case kSlotBin:
        if (b->state == kSlotNull) {
            merge_nets(a, b);
            a->state = kSlotSending;
            b->state = kSlotReceiving;
            std::snprintf(g_trace, sizeof g_trace, "connect ouput %d to input %d \n", na, nb);
        } else if (b->state == kSlotBin) {
            merge_nets(a, b);
            a->state = kSlotSending;
            b->state = kSlotSending;
            std::snprintf(g_trace, sizeof g_trace, "connect ouput %d to outlet %d\n", na, nb);
        } else {
            return refuse("can't connect output %d to slot %d :\n slot %d already recive signal \n", na, nb);
        }
        return 1;
    case kSlotNull:
        if (b->state == kSlotNull) {
            merge_nets(a, b);
            b->state = kSlotReceiving;
            std::snprintf(g_trace, sizeof g_trace, "connect inlet %d to input %d\n", na, nb);
        } else if (b->state == kSlotBin) {
            merge_nets(a, b);
            a->state = kSlotReceiving;
            b->state = kSlotSending;
            std::snprintf(g_trace, sizeof g_trace, "connect input %d to output %d\n", na, nb);
        } else {
            return refuse("can't connect input %d to output %d:\nslot %d already recives signal \n", na, nb);
        }
        return 1;
    case kSlotSending:
        if (b->state == kSlotNull) {
            merge_nets(a, b);
            b->state = kSlotReceiving;
            std::snprintf(g_trace, sizeof g_trace, "connect output %d to input %d \n", na, nb);
        } else if (b->state == kSlotBin) {
            merge_nets(a, b);
            b->state = kSlotSending;
            std::snprintf(g_trace, sizeof g_trace, "connect output %d to outlet %d\n", na, nb);
        } else {
            return refuse("can't connect out %d to input %d:\nslot %d already recives signal \n", na, nb);
        }
        return 1;
    default:  // receiving
        if (b->state == kSlotNull) {
            merge_nets(a, b);
            b->state = kSlotReceiving;
            std::snprintf(g_trace, sizeof g_trace, "connect inlet %d to input %d \n", na, nb);
            return 1;
        }
        return refuse("can't connect inlet %d to input %d:\nslot %d already recives signal \n", na, nb);
    }
}

} // namespace

int module_connect(t_module* src, int out, t_module* dst, int in) {
    if (!src || !dst) return -1;
    // Inside a composite the composite's own slots face inwards.
    const bool inlet = dst->parent == src;
    const bool outlet = src->parent == dst;
    std::vector<t_slot>& from = inlet ? src->inputs : src->outputs;
    std::vector<t_slot>& to = outlet ? dst->outputs : dst->inputs;
    const int from_count = static_cast<int>(from.size());
    const int to_count = static_cast<int>(to.size());
    if (out < 1 || out > from_count) {
        std::snprintf(g_trace, sizeof g_trace,
                      "can't connect %s output %d to %s input %d\n%s has only %d output\n", src->name.c_str(),
                      out, dst->name.c_str(), in, src->name.c_str(), from_count);
        return -1;
    }
    if (in < 1 || in > to_count) {
        std::snprintf(g_trace, sizeof g_trace,
                      "can't connect %s output %d to %s input %d\n%s has only %d input\n", src->name.c_str(),
                      out, dst->name.c_str(), in, dst->name.c_str(), to_count);
        return -1;
    }
    int r = join_slots(&from[out - 1], &to[in - 1]);
    if (r == 1)
        std::snprintf(g_trace, sizeof g_trace, "connect %s output %d to %s input %d \n", src->name.c_str(), out,
                      dst->name.c_str(), in);
    return r;
}

t_xbuffer::t_xbuffer(int length)
    : samples(new float[length > 0 ? length : 1]()), events(length > 128 ? length : 128) {}

wire_shop* wire_shop_create(int length) {
    if (length <= 0) length = 1024;
    auto* shop = new (std::nothrow) wire_shop;
    if (!shop) {
        KEL_ERROR("can't allocate memory for wire_shop\n");
        return nullptr;
    }
    shop->length = length;
    try {
        shop->zero = std::make_unique<t_xbuffer>(length);
        shop->discard = std::make_unique<t_xbuffer>(length);
    } catch (const std::bad_alloc&) {
        KEL_ERROR("can't allocate memeory for x buffer\n");
        delete shop;
        return nullptr;
    }
    return shop;
}

void wire_shop_free(wire_shop* shop) { delete shop; }

namespace {

bool assign_net(wire_shop* shop, t_slot* slot) {
    if (slot->buffer) return true;
    t_xbuffer* pair = nullptr;
    if (slot->state == kSlotNull) {
        pair = shop->zero.get();
    } else if (slot->state == kSlotBin) {
        pair = shop->discard.get();
    } else {
        try {
            shop->made.push_back(std::make_unique<t_xbuffer>(shop->length));
        } catch (const std::bad_alloc&) {
            KEL_ERROR("can't allocate memeory for x buffer\n");
            return false;
        }
        pair = shop->made.back().get();
    }
    for (t_slot* s = slot->net_head; s; s = s->net_next) s->buffer = pair;
    return true;
}

bool build_io_table(wire_shop* shop, t_module* m) {
    std::vector<t_io_entry> io;
    try {
        io.resize(m->inputs.size() + m->outputs.size());
    } catch (const std::bad_alloc&) {
        KEL_ERROR("can't allocate memory\n");
        return false;
    }
    std::size_t k = 0;
    for (auto* slots : {&m->inputs, &m->outputs}) {
        for (t_slot& s : *slots) {
            if (!assign_net(shop, &s)) return false;
            io[k].buffer = s.buffer->samples.get();
            io[k].xbuffer = s.buffer;
            ++k;
        }
    }
    m->io = std::move(io);
    return true;
}

} // namespace

bool wire_shop_assign_buffers(wire_shop* shop, t_module* root) {
    if (!shop) return false;
    bool ok = true;
    for (t_module* m = root; m; m = m->next_sibling) {
        if (m->first_child && !wire_shop_assign_buffers(shop, m->first_child)) ok = false;
        if (!build_io_table(shop, m)) ok = false;
    }
    return ok;
}

void wire_shop_clear_buffers(wire_shop* shop) {
    for (auto& b : shop->made) {
        std::memset(b->samples.get(), 0, sizeof(float) * shop->length);
        b->events.clear();
    }
}

void wire_shop_advance_events(wire_shop* shop, int n) {
    for (auto& b : shop->made) b->events.advance(static_cast<uint32_t>(n));
}

float* module_input(t_module* m, int n) {
    if (n < 1 || n > m->input_count || m->io.empty()) return nullptr;
    return m->io[n - 1].buffer;
}

float* module_output(t_module* m, int n) {
    if (n < 1 || n > m->output_count || m->io.empty()) return nullptr;
    return m->io[m->input_count + n - 1].buffer;
}
