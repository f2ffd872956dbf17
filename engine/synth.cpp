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
    // A string nobody took is still the message's to free.
    if (msg->kind == kMessageString && msg->owns_string && msg->value.s && !module_by_id(msg->module_id)) {
        delete msg->value.s;
        msg->value.s = nullptr;
    }
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
    if (midi) settle_midi_traffic(*midi);
    process_midi_links(events);
    end_of_block();
}

void Synth::drain_messages() {
    if (!queue_ || !latch_.audio_enter()) return;
    t_message msg;
    while (queue_->pop(msg))
        if (msg.kind != kMessageNone) dispatch(&msg);
    latch_.audio_leave();
}

void Synth::settle_midi_traffic(MidiInputState& midi) {
    if (!latch_.audio_enter()) {
        midi.keep_changes();
        return;
    }
    process_midi_traffic(midi);
    latch_.audio_leave();
}

void Synth::render_blocks(t_midi_event_list* midi, int frames) {
    drain_messages();
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

// ---- parameters by id ----

int Synth::set_parameter(int32_t module_id, int32_t param_id, float position) {
    t_message m = make_float_message(module_id, param_id, position);
    return dispatch(&m);
}

int Synth::set_parameter_int(int32_t module_id, int32_t param_id, int32_t position) {
    t_message m = make_int_message(module_id, param_id, position);
    return dispatch(&m);
}

int Synth::set_parameter_string(int32_t module_id, int32_t param_id, std::string_view text) {
    if (!string_value_) {
        string_value_ = std::make_unique<std::string>();
        string_value_->reserve(16384);  // long enough for any file name or tuning text
    }
    string_value_->assign(text);
    t_message m;
    m.kind = kMessageString;
    m.module_id = module_id;
    m.param_id = param_id;
    m.value.s = string_value_.get();
    m.owns_string = 0;
    return dispatch(&m);
}

float Synth::get_parameter(int32_t module_id, int32_t param_id) {
    t_module* mod = module_by_id(module_id & 0x7fffffff);
    if (!mod) return 0;
    t_message m;
    if (mod->get_message(mod, param_id, &m) != 0) return 0;
    if (m.kind == kMessageFloat) return m.value.f;
    if (m.kind == kMessageInt) return static_cast<float>(m.value.i);
    return 0;
}

// ---- learn, forget, links ----

void Synth::set_learn_target(int32_t module_id, int32_t param_id) {
    learn_module_id_ = module_id & 0x7fffffff;
    learn_param_id_ = param_id;
}

void Synth::hold_all(MidiInputState& midi) {
    for (int ch = 0; ch < 16; ++ch) midi.hold(ch);
}

void Synth::release_all(MidiInputState& midi) {
    for (int ch = 0; ch < 16; ++ch) midi.release(ch);
}

void Synth::cancel_learn_and_forget() {
    if ((learning_ || forgetting_) && learn_input_) release_all(*learn_input_);
    // Learn and forget each hold all 16 channels; only one of them is ever pending.
    learning_ = forgetting_ = false;
}

void Synth::start_learn(MidiInputState& midi) {
    cancel_learn_and_forget();
    hold_all(midi);
    learn_input_ = &midi;
    learning_ = true;
}

void Synth::start_forget(MidiInputState& midi) {
    cancel_learn_and_forget();
    hold_all(midi);
    learn_input_ = &midi;
    forgetting_ = true;
}

void Synth::set_min_of_target() {
    if (t_module* m = module_by_id(learn_module_id_))
        indirection_tables_set_min(tables_, m, learn_param_id_, get_parameter(learn_module_id_, learn_param_id_) / 127.0f);
}

void Synth::set_max_of_target() {
    if (t_module* m = module_by_id(learn_module_id_))
        indirection_tables_set_max(tables_, m, learn_param_id_, get_parameter(learn_module_id_, learn_param_id_) / 127.0f);
}

bool Synth::target_has_link() {
    t_module* m = module_by_id(learn_module_id_);
    return m && indirection_tables_has_link(tables_, m, learn_param_id_);
}

int Synth::add_link_by_path(MidiInputState& midi, const std::vector<std::string>& path, int32_t param_id,
                            int channel, int controller, float min, float max) {
    t_module* m = indirection_tables_resolve_path(path, root_);
    if (!m || !indirection_tables_add_link(tables_, m, param_id, channel, controller, min, max)) return 0;
    midi.hold(channel - 1);
    return 1;
}

int Synth::remove_link_by_path(MidiInputState& midi, const std::vector<std::string>& path, int32_t param_id,
                               int channel, int controller) {
    t_module* m = indirection_tables_resolve_path(path, root_);
    if (!m || !indirection_tables_remove_link(tables_, m, param_id, channel, controller)) return 0;
    midi.release(channel - 1);
    return 1;
}

int Synth::replace_link_by_path(MidiInputState& midi, const std::vector<std::string>& path, int old_channel,
                                int old_controller, int32_t old_param_id, int32_t new_param_id, int new_controller,
                                int new_channel, float min, float max) {
    t_module* m = indirection_tables_resolve_path(path, root_);
    if (!m) return 0;
    if (indirection_tables_remove_link(tables_, m, old_param_id, old_channel, old_controller))
        midi.release(old_channel - 1);
    if (!indirection_tables_add_link(tables_, m, new_param_id, new_channel, new_controller, min, max)) return 0;
    midi.hold(new_channel - 1);
    return 1;
}

void Synth::apply_row(int row, int controller, int value) {
    for (midi_link* l = indirection_tables_links_at(tables_, row, controller); l; l = l->next) {
        const float p = midi_link_position(*l, value);
        set_parameter(l->module_id, l->param_id, p);
        module_report(l->module, l->param_id, p);
    }
}

void Synth::process_midi_traffic(MidiInputState& midi) {
    if (!tables_) return;
    if (forgetting_) {
        if (t_module* m = module_by_id(learn_module_id_))
            indirection_tables_remove_all_links(tables_, m, learn_param_id_, &midi);
        release_all(learn_input_ ? *learn_input_ : midi);
        forgetting_ = false;
    }
    int row, controller, value;
    while (midi.next_changed_controller(row, controller, value)) {
        if (!midi_links_enabled_) continue;
        if (midi.isOmni()) {
            for (int r = 0; r < indirection_tables::kLinkChannels; ++r) apply_row(r, controller, value);
        } else {
            apply_row(row, controller, value);
            if (row == midi.receive_index()) apply_row(indirection_tables::kFollowChannelRow, controller, value);
        }
        t_module* target = learning_ ? module_by_id(learn_module_id_) : nullptr;
        if (target && row != indirection_tables::kFollowChannelRow) {
            // The value that made the binding is not sent through the new link.
            midi.hold(row);
            if (!indirection_tables_try_add_link(tables_, target, learn_param_id_, row + 1, controller, 0.0f, 1.0f))
                midi.release(row);  // the link pool is full: learning ends without a binding
            release_all(learn_input_ ? *learn_input_ : midi);
            learning_ = false;
        }
    }
}
