#include "engine/indirection_tables.h"

#include <algorithm>
#include <new>

#include "engine/midi_input_state.h"
#include "engine/modular.h"
#include "engine/report.h"

namespace {
constexpr int kListCount = indirection_tables::kLinkChannels * indirection_tables::kLinkControllers;

bool matches(const midi_link* l, const t_module* m, int32_t param_id) {
    return l->module == m && l->param_id == param_id;
}

void give_back(indirection_tables* t, midi_link* l) {
    *l = midi_link{};
    l->next = t->free_links;
    t->free_links = l;
}

bool channel_ok(int channel) { return channel >= 1 && channel <= indirection_tables::kLinkChannels; }
bool controller_ok(int controller) { return controller >= 0 && controller < indirection_tables::kLinkControllers; }
} // namespace

indirection_tables* indirection_tables_create() {
    auto* t = new (std::nothrow) indirection_tables;
    if (!t) {
        kel_error("indirection_tables", __LINE__, "can't allocate memory for indirection_tables\n");
        return nullptr;
    }
    t->link_fset.reset(new (std::nothrow) indirection_tables::entry[indirection_tables::kModuleTableSize]);
    t->link_table.reset(new (std::nothrow) midi_link*[kListCount]());
    t->link_pool.reset(new (std::nothrow) midi_link[indirection_tables::kLinkPoolSize]);
    if (!t->link_fset || !t->link_table || !t->link_pool) {
        kel_error("indirection_tables", __LINE__, "can't allocate memory for link_fset and/or link_table\n");
        delete t;
        return nullptr;
    }
    for (int i = indirection_tables::kLinkPoolSize - 1; i >= 0; --i) give_back(t, &t->link_pool[i]);
    return t;
}

void indirection_tables_free(indirection_tables* t) { delete t; }

int32_t indirection_tables_next_id(indirection_tables* t) { return t->next_id++; }

void indirection_tables_register(indirection_tables* t, t_module* m, int32_t id) {
    if (id <= 0 || id >= indirection_tables::kModuleTableSize) {
        kel_warning("indirection_tables", __LINE__, "Too many modules. Please lower polyphony.\n");
        return;
    }
    t->link_fset[id].module = m;
    if (m) m->id = id;
}

t_module* indirection_tables_module(indirection_tables* t, int32_t id) {
    if (id <= 0 || id >= indirection_tables::kModuleTableSize) return nullptr;
    return t->link_fset[id].module;
}

int indirection_tables_dispatch(indirection_tables* t, t_message* msg) {
    t_module* m = indirection_tables_module(t, msg->module_id);
    return m ? module_dispatch_message(m, msg) : 0;
}

// ---- MIDI links ----

void indirection_tables_clear_links(indirection_tables* t) {
    for (int i = 0; i < kListCount; ++i) {
        while (midi_link* l = t->link_table[i]) {
            t->link_table[i] = l->next;
            give_back(t, l);
        }
    }
}

bool indirection_tables_try_add_link(indirection_tables* t, t_module* m, int32_t param_id, int channel,
                                     int controller, float min, float max) {
    if (!m || !channel_ok(channel) || !controller_ok(controller) || !t->free_links) return false;
    midi_link* l = t->free_links;
    t->free_links = l->next;
    l->module = m;
    l->module_id = m->id;
    l->param_id = param_id;
    l->scale = max - min;
    l->offset = min * 127.0f;
    midi_link*& head = t->head(channel - 1, controller);
    l->next = head;
    head = l;
    return true;
}

int indirection_tables_add_link(indirection_tables* t, t_module* m, int32_t param_id, int channel, int controller,
                                float min, float max) {
    if (!m) {
        kel_error("indirection_tables", __LINE__, "module is NULL\n");
        return 0;
    }
    if (!channel_ok(channel)) {
        kel_error("indirection_tables", __LINE__, "bad range for midi channel\n");
        return 0;
    }
    if (!controller_ok(controller)) {
        kel_error("indirection_tables", __LINE__, "bad range for midi_ctrl number\n");
        return 0;
    }
    if (!indirection_tables_try_add_link(t, m, param_id, channel, controller, min, max)) {
        kel_error("indirection_tables", __LINE__, "can't allocate memory for new_midi_link\n");
        return 0;
    }
    return 1;
}

int indirection_tables_remove_link(indirection_tables* t, t_module* m, int32_t param_id, int channel,
                                   int controller) {
    if (!channel_ok(channel) || !controller_ok(controller)) return 0;
    for (midi_link** p = &t->head(channel - 1, controller); *p; p = &(*p)->next) {
        if (!matches(*p, m, param_id)) continue;
        midi_link* l = *p;
        *p = l->next;
        give_back(t, l);
        return 1;
    }
    return 0;
}

int indirection_tables_remove_all_links(indirection_tables* t, t_module* m, int32_t param_id, MidiInputState* midi) {
    int removed = 0;
    for (int row = 0; row < indirection_tables::kLinkChannels; ++row)
        for (int c = 0; c < indirection_tables::kLinkControllers; ++c)
            for (midi_link** p = &t->head(row, c); *p;) {
                if (!matches(*p, m, param_id)) {
                    p = &(*p)->next;
                    continue;
                }
                midi_link* l = *p;
                *p = l->next;
                give_back(t, l);
                if (midi) midi->release(row);
                ++removed;
            }
    return removed;
}

int indirection_tables_replace_link(indirection_tables* t, t_module* m, int old_channel, int old_controller,
                                    int32_t old_param_id, int32_t new_param_id, int new_controller, int new_channel,
                                    float min, float max) {
    indirection_tables_remove_link(t, m, old_param_id, old_channel, old_controller);
    return indirection_tables_add_link(t, m, new_param_id, new_channel, new_controller, min, max);
}

namespace {
template <class F>
void for_each_link_of(indirection_tables* t, t_module* m, int32_t param_id, F f) {
    for (int i = 0; i < kListCount; ++i)
        for (midi_link* l = t->link_table[i]; l; l = l->next)
            if (matches(l, m, param_id)) f(*l);
}
} // namespace

// Min and max move one end of the range and keep the other. The 0.4 is the rounding
// bias of the controller scale: positions are truncated, so a stored lower end sits
// 0.4 above the exact one and the upper end is computed back without it.
void indirection_tables_set_min(indirection_tables* t, t_module* m, int32_t param_id, float x) {
    x = std::clamp(x, 0.0f, 1.0f);
    for_each_link_of(t, m, param_id, [x](midi_link& l) {
        const float old_offset = l.offset;
        l.offset = x * 127.0f + 0.4f;
        l.scale = l.scale + old_offset / 127.0f - x;
    });
}

void indirection_tables_set_max(indirection_tables* t, t_module* m, int32_t param_id, float x) {
    const float y = std::clamp(x * 1.01f, 0.0f, 1.0f);
    for_each_link_of(t, m, param_id, [y](midi_link& l) { l.scale = y - (l.offset - 0.4f) / 127.0f; });
}

bool indirection_tables_has_link(indirection_tables* t, t_module* m, int32_t param_id) {
    bool found = false;
    for_each_link_of(t, m, param_id, [&found](midi_link&) { found = true; });
    return found;
}

midi_link* indirection_tables_links_at(indirection_tables* t, int row, int controller) {
    if (row < 0 || row >= indirection_tables::kLinkChannels || !controller_ok(controller)) return nullptr;
    return t->head(row, controller);
}

void indirection_tables_export(indirection_tables* t, midi_link_export& out) {
    for (int row = 0; row < indirection_tables::kLinkChannels; ++row)
        for (int c = 0; c < indirection_tables::kLinkControllers; ++c)
            for (const midi_link* l = t->head(row, c); l; l = l->next) {
                out.type_names.push_back(l->module->type_name);
                std::vector<std::string> path;
                for (const t_module* p = l->module; p; p = p->parent) path.push_back(p->name);
                out.paths.push_back(std::move(path));
                out.param_ids.push_back(l->param_id);
                out.channels.push_back(row + 1);
                out.controllers.push_back(c);
                out.mins.push_back(l->offset / 127.0f);
                out.maxs.push_back(l->offset / 127.0f + l->scale);
            }
}

t_module* indirection_tables_resolve_path(const std::vector<std::string>& names, t_module* root) {
    if (names.empty() || !root) return nullptr;
    std::size_t i = 0;
    t_module* found = root;
    if (module_names_match(root->name, names[0])) ++i;
    t_module* children = root->first_child;
    for (; i < names.size(); ++i) {
        t_module* next = nullptr;
        for (t_module* c = children; c; c = c->next_sibling)
            if (module_names_match(c->name, names[i])) {
                next = c;
                break;
            }
        if (!next) return nullptr;
        found = next;
        children = next->first_child;
    }
    return found->first_child ? nullptr : found;
}

float midi_link_position(const midi_link& link, int value) {
    float p = link.scale * static_cast<float>(value) + link.offset;
    // Inverted links sit 0.3 lower so that, after truncation, their ends land where the
    // positions of a plain link over the same range would.
    if (link.scale < 0) p -= 0.3f;
    return p;
}
