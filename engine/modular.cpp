// Module records: creation with the default entry points, the tree, clones,
// protection, parameters, messages and the state text.
#include "engine/modular.h"

#include <algorithm>

#include "engine/report.h"
#include "modules/parameter.h"

namespace {

void composite_tick(t_module* m) {
    for (t_module* c = m->first_child; c; c = c->next_sibling)
        if (c->tick) c->tick(c);
}
void no_op(t_module*) {}
int return_0(t_module*) { return 0; }
int return_1(t_module*) { return 1; }
int no_extra_write(t_module*, KelTextWriter&, const std::string&, void*) { return 0; }
int no_extra_read(t_module*, KelTextReader&, void*) { return 0; }
int no_control(t_module*, int, const intptr_t*, int) { return 0; }
int no_query(t_module*, int) { return 0; }
void no_rate(t_module*, float) {}
void no_change(t_module*, int, int) {}

} // namespace

void module_create_common(t_module* m, int inputs, int outputs) {
    m->tick = nullptr;
    m->process = nullptr;
    m->receive_message = module_generic_receive_message;
    m->on_destroy = no_op;
    m->write_parameters = module_generic_write_parameters;
    m->read_parameters = module_generic_read_parameters;
    m->write_extra = no_extra_write;
    m->read_extra = no_extra_read;
    m->get_message = module_generic_get_message;
    m->control = no_control;
    m->query = no_query;
    m->spare_hook_1 = no_op;
    m->spare_hook_2 = no_op;
    m->set_sample_rate = no_rate;
    m->reset = no_op;
    m->spare_query = return_1;
    m->spare_hook_3 = return_0;
    m->parameter_changed = no_change;

    inputs = std::max(inputs, 0);
    outputs = std::max(outputs, 0);
    m->input_count = inputs;
    m->output_count = outputs;
    m->inputs.resize(inputs);
    m->outputs.resize(outputs);
    for (int i = 0; i < inputs; ++i) m->inputs[i] = t_slot{m, kSlotNull, i + 1, nullptr};
    for (int i = 0; i < outputs; ++i) m->outputs[i] = t_slot{m, kSlotBin, i + 1, nullptr};
    // Each slot starts as a net of its own (the aggregate init above pointed it nowhere).
    for (auto* slots : {&m->inputs, &m->outputs})
        for (t_slot& s : *slots) s.net_head = &s, s.net_next = nullptr;
}

namespace {
struct t_generic : t_module {
    double spare = 0.0;
};
} // namespace

t_module* module_create_generic(std::string_view line) {
    KelDescriptor d(line);
    int inputs = 0, outputs = 0;
    std::string name;
    if (!d.d(inputs) || !d.d(outputs) || !d.s(name)) return nullptr;
    if (inputs < 0 || outputs < 0 || inputs > 1024 || outputs > 1024) return nullptr;
    auto* m = module_alloc<t_generic>(inputs, outputs);
    if (!m) {
        KEL_ERROR("can't alloacate memory for module %s\n", name.c_str());
        return nullptr;
    }
    m->name = name;
    m->tick = composite_tick;
    return m;
}

t_module* module_create_composite(std::string_view line) {
    KelDescriptor d(line);
    int inputs = 0, outputs = 0;
    std::string type, name;
    if (!d.skip_f() || !d.skip_d() || !d.d(inputs) || !d.d(outputs) || !d.s(type) || !d.s(name))
        return nullptr;
    std::string rebuilt = std::to_string(inputs) + " " + std::to_string(outputs) + " " + name;
    t_module* m = module_create_generic(rebuilt);
    if (m) m->type_name = type;
    return m;
}

void module_add_child(t_module* parent, t_module* child) {
    if (!parent || !child) return;
    child->parent = parent;
    child->next_sibling = nullptr;
    if (!parent->first_child) {
        parent->first_child = child;
        return;
    }
    t_module* last = parent->first_child;
    while (last->next_sibling) last = last->next_sibling;
    last->next_sibling = child;
}

void module_set_persistence(t_module* m, int level) { m->persistence = level; }

void module_set_version(t_module* m, int v) { m->version = m->loaded_version = v; }

void module_add_clone(t_module* master, t_module* copy) {
    if (!master || !copy) return;
    master->clones.insert(master->clones.begin(), copy);
    copy->master = master;
    t_module* a = master->first_child;
    t_module* b = copy->first_child;
    for (; a && b; a = a->next_sibling, b = b->next_sibling) module_add_clone(a, b);
}

void module_set_protected_module(t_module* m, int value) {
    m->protected_module = value;
    for (t_module* c : m->clones) c->protected_module = value;
}
void module_set_protection(t_module* m, int value) {
    m->protection = value;
    for (t_module* c : m->clones) c->protection = value;
}
void module_set_protected_only(t_module* m, int value) {
    m->protected_only = value;
    for (t_module* c : m->clones) c->protected_only = value;
}

int module_register_parameter(t_module* m, Parameter* p, int32_t flags) {
    if (!m || !p) return 0;
    auto it = std::find_if(m->params.begin(), m->params.end(),
                           [&](const t_param_entry& e) { return e.param->id() == p->id(); });
    if (it != m->params.end()) it->param = p;
    else m->params.push_back(t_param_entry{p, flags});
    m->parameter_changed(m, p->id(), kChangedAdded);
    return 0;
}

t_param_entry* module_find_parameter(t_module* m, int id) {
    for (t_param_entry& e : m->params)
        if (e.param->id() == id) return &e;
    return nullptr;
}

t_param_entry* module_find_parameter(t_module* m, std::string_view name) {
    if (name.empty()) return nullptr;
    for (t_param_entry& e : m->params)
        if (!e.param->name().empty() && e.param->name() == name) return &e;
    return nullptr;
}

void module_free(t_module* root) {
    while (root) {
        t_module* next = root->next_sibling;
        if (root->first_child) module_free(root->first_child);
        root->on_destroy(root);
        delete root;
        root = next;
    }
}

// ---- name matching ----
// A unique prefix is 37 characters: "_" at 0, 9, 14, 19 and 24 with the groups between.

namespace {
constexpr std::size_t kPrefixLength = 37;

std::string_view remainder_of(std::string_view name) {
    if (!module_name_has_prefix(name)) return name;
    std::string_view rest = name.substr(kPrefixLength);
    // The prefix is followed by an underscore before the plain name.
    if (!rest.empty() && rest.front() == '_') rest.remove_prefix(1);
    return rest;
}
} // namespace

bool module_name_has_prefix(std::string_view n) {
    return n.size() > kPrefixLength && n[0] == '_' && n[9] == '_' && n[14] == '_' && n[19] == '_' &&
           n[24] == '_';
}

bool module_names_match(std::string_view a, std::string_view b) {
    const bool pa = module_name_has_prefix(a), pb = module_name_has_prefix(b);
    if (pa && pb) return a.substr(0, kPrefixLength) == b.substr(0, kPrefixLength);
    if (pa) return remainder_of(a) == b;
    if (pb) return remainder_of(b) == a;
    return a == b;
}

bool module_names_match_loose(std::string_view a, std::string_view b) { return remainder_of(a) == remainder_of(b); }

// ---- messages ----

int module_dispatch_message(t_module* m, t_message* msg) {
    // A receiver frees and clears a string it owns, so the clones see the string without
    // owning it, and the module itself, last, takes it over.
    std::string* s = msg->kind == kMessageString ? msg->value.s : nullptr;
    const int32_t owns = msg->owns_string;
    if (s) msg->owns_string = 0;
    for (t_module* c : m->clones) {
        module_dispatch_message(c, msg);
        if (s) msg->value.s = s;
    }
    msg->owns_string = owns;
    return m->receive_message(m, msg);
}

int module_generic_receive_message(t_module* m, t_message* msg) {
    t_param_entry* entry = nullptr;
    for (t_param_entry& e : m->params)
        if (e.param->id() == msg->param_id && !(e.flags & kParamNoMessage)) {
            entry = &e;
            break;
        }
    Parameter* p = entry ? entry->param : nullptr;
    if (!p || !p->as_string()) {
        // The receiver frees an owned string; one that no string parameter takes would leak.
        if (msg->kind == kMessageString && msg->owns_string) delete msg->value.s;
        if (msg->kind == kMessageString) msg->value.s = nullptr;
        if (!p) return 0;
    }
    if (StringParameter* sp = p->as_string()) {
        if (msg->kind == kMessageString && msg->value.s) {
            if (*msg->value.s != sp->string()) {
                sp->set_string(*msg->value.s);
                m->parameter_changed(m, p->id(), kChangedByMessage);
            }
            if (msg->owns_string) delete msg->value.s;
            msg->value.s = nullptr;
        }
        return 0;
    }
    const float before_value = p->value(), before_target = p->target_value();
    if (msg->kind == kMessageInt) p->set_controller(msg->value.i);
    else if (msg->kind == kMessageFloat) p->set_controller_float(msg->value.f);
    if (p->value() != before_value || p->target_value() != before_target)
        m->parameter_changed(m, p->id(), kChangedByMessage);
    return 0;
}

int module_generic_get_message(t_module* m, int param_id, t_message* out) {
    for (t_param_entry& e : m->params) {
        if (e.param->id() != param_id || (e.flags & kParamNoReport)) continue;
        out->param_id = param_id;
        out->module_id = m->id;
        out->owns_string = 0;
        if (StringParameter* sp = e.param->as_string()) {
            out->kind = kMessageString;
            out->value.s = const_cast<std::string*>(&sp->string());
        } else {
            out->kind = kMessageInt;
            out->value.i = std::clamp(e.param->controller(), 0, 127);
        }
        return 0;
    }
    return 1;
}

void module_tell(t_module* m, int id) {
    if (m->persistence > 0 && m->observer) m->observer->told(m, id);
}

void module_report(t_module* m, int id, float value) {
    if (m->persistence > 0 && m->observer) m->observer->received(m, id, value);
}

// ---- processing ----

namespace {
void collect_pre_order(t_module* m, std::vector<t_module*>& out) {
    for (; m; m = m->next_sibling) {
        out.push_back(m);
        collect_pre_order(m->first_child, out);
    }
}
} // namespace

std::vector<t_module*> module_processing_order(t_module* root) {
    std::vector<t_module*> order;
    collect_pre_order(root, order);
    return order;
}

void module_reset_tree(t_module* root) {
    for (t_module* m = root; m; m = m->next_sibling) {
        module_reset_tree(m->first_child);
        m->reset(m);
    }
}
