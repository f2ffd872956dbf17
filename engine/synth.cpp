#include "engine/synth.h"

Synth::Synth() = default;

Synth::~Synth() {
    module_free(root_);
    wire_shop_free(shop_);
    indirection_tables_free(tables_);
}

bool Synth::create_tables() {
    tables_ = indirection_tables_create();
    shop_ = wire_shop_create(kMaxBlock);
    return tables_ && shop_;
}

int32_t Synth::register_module(t_module* m, int32_t fixed_id) {
    int32_t id = fixed_id > 0 ? fixed_id : indirection_tables_next_id(tables_);
    indirection_tables_register(tables_, m, id);
    m->observer = observer_;
    return id;
}

bool Synth::finish_graph() {
    if (!root_ || !wire_shop_assign_buffers(shop_, root_)) return false;
    processing_ = module_processing_order(root_);
    return true;
}

void Synth::set_sample_rate(int rate) {
    if (rate <= 0) return;
    sample_rate_ = rate;
    for (t_module* m : processing_)
        if (!m->first_child) m->set_sample_rate(m, static_cast<float>(rate));
}

int Synth::dispatch(t_message* msg) {
    const bool from_interface = msg->module_id < 0;
    if (from_interface) {
        change_from_interface_ = true;
        msg->module_id &= 0x7fffffff;
    }
    int r = indirection_tables_dispatch(tables_, msg);
    change_from_interface_ = false;
    return r;
}

void Synth::render(t_midi_event_list* midi, int frames) {
    render_blocks(midi, frames);
    process_midi_links(midi);
    end_of_block();
}

void Synth::render(MidiInputState* midi, int frames) {
    t_midi_event_list* events = midi ? &midi->events() : nullptr;
    render_blocks(events, frames);
    if (midi) process_midi_input(*midi);
    process_midi_links(events);
    end_of_block();
}

void Synth::render_blocks(t_midi_event_list* midi, int frames) {
    if (queue_) {
        t_message msg;
        while (queue_->pop(msg))
            if (msg.kind != kMessageNone) dispatch(&msg);
    }
    give_services(frames);
    int left = frames > 0 ? frames : 0;
    while (left > 0) {
        const int n = left < max_block_ ? left : max_block_;
        before_sub_block(n);
        if (!bypass())
            for (t_module* m : processing_)
                if (m->process && !m->first_child) m->process(m, n);
        after_sub_block(n);
        wire_shop_advance_events(shop_, n);
        left -= n;
        if (left > 0 && midi) midi->advance(static_cast<uint32_t>(n));
    }
}

void Synth::reset() {
    wire_shop_clear_buffers(shop_);
    module_reset_tree(root_);
}
