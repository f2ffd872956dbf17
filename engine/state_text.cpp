// Module state as indented text:
//
//   fork fork0 version 1
//   {
//      noise_pitch 0.5
//   }
//
// The reader is fed by presets, host chunks and exchange files, so it assumes nothing:
// unknown modules and parameters are skipped, unbalanced text ends the read cleanly,
// and every loop consumes input or stops.
#include "engine/modular.h"
#include "modules/parameter.h"

void module_generic_write_parameters(t_module* m, KelTextWriter& out, const std::string& indent) {
    for (const t_param_entry& e : m->params) {
        if (e.param->name().empty() || (e.flags & kParamNoTextWrite)) continue;
        out << indent << ' ' << e.param->name() << ' ' << e.param->value_text() << '\n';
        out.flush();
    }
}

namespace {

void write_one(t_module* m, KelTextWriter& out, const std::string& indent) {
    if (m->persistence <= 0) return;
    out << indent << m->type_name << ' ' << m->name << " version " << m->version << '\n';
    out << indent << "{\n";
    const std::string inner = indent + "  ";
    m->write_parameters(m, out, inner);
    if (m->first_child) module_write_state(m->first_child, out, inner);
    out << indent << "}\n";
}

} // namespace

void module_write_state(t_module* m, KelTextWriter& out, const std::string& indent) {
    if (!m) return;
    write_one(m, out, indent);
    // Below the top level a block is followed by its siblings'.
    if (!indent.empty())
        for (t_module* s = m->next_sibling; s; s = s->next_sibling) write_one(s, out, indent);
}

bool module_next_setting(KelTextReader& in, std::string_view& key, std::string_view& value) {
    for (;;) {
        key = in.next_token();
        if (key.empty() || key == "}") return false;
        if (key == "{") {
            module_skip_block(in);
            continue;
        }
        value = in.next_token();
        if (value.empty() || value == "}") return false;
        if (value == "{") {
            module_skip_block(in);
            continue;
        }
        return true;
    }
}

int module_ignore_message(t_module*, t_message*) { return 0; }
void module_write_nothing(t_module*, KelTextWriter&, const std::string&) {}
void module_read_and_ignore(t_module*, KelTextReader& in) { module_skip_block(in); }

bool module_load_filter(const t_module* m, int32_t flags) {
    const bool protected_param = (flags & kParamProtected) != 0;
    return (m->protected_only <= 0 || protected_param || m->protected_module) &&
           (m->protected_only != 0 || m->protection <= 0 || !protected_param);
}

void module_skip_block(KelTextReader& in) {
    int depth = 1;
    while (depth > 0) {
        std::string_view t = in.next_token();
        if (t.empty()) return;  // the text ended inside the block
        if (t == "{") ++depth;
        else if (t == "}") --depth;
    }
}

namespace {

enum class BlockResult { read, end_of_enclosing, stop };

BlockResult read_block(t_module* given, t_module* search, KelTextReader& in);

void read_leaf_pairs(t_module* m, KelTextReader& in) {
    std::string_view key, value;
    while (module_next_setting(in, key, value)) {
        t_param_entry* e = module_find_parameter(m, key);
        if (!e || (e->flags & kParamNoTextRead) || !module_load_filter(m, e->flags)) continue;
        e->param->set_value_text(value);
        m->parameter_changed(m, e->param->id(), kChangedFromText);
    }
}

t_module* find_in_chain(t_module* start, std::string_view name, bool loose) {
    while (start) {
        t_module* last = start;
        for (t_module* s = start; s; s = s->next_sibling) {
            if (loose ? module_names_match_loose(s->name, name) : module_names_match(s->name, name)) return s;
            last = s;
        }
        start = last->first_child;
    }
    return nullptr;
}

t_module* find_by_name(t_module* start, std::string_view name) {
    if (t_module* m = find_in_chain(start, name, false)) return m;
    return find_in_chain(start, name, true);
}

void report_all(t_module* m) {
    if (m->persistence <= 0 || !m->observer) return;
    for (const t_param_entry& e : m->params) {
        if (e.flags & kParamStringReport) m->observer->received_string(m, e.param->id(), e.param->value_text());
        else m->observer->told(m, e.param->id());
    }
}

void read_body(t_module* m, std::string_view type, int version, KelTextReader& in) {
    m->loaded_version = (type == m->type_name && m->version >= version) ? version : m->version;
    if (m->protected_only > 0 && !m->protected_module) module_generic_read_parameters(m, in);
    else m->read_parameters(m, in);
    if (!m->first_child) report_all(m);
}

BlockResult read_block(t_module* given, t_module* search, KelTextReader& in) {
    char c = in.peek_char();
    if (c == '\0') return BlockResult::stop;
    if (c == '}') {
        in.get_char();
        return BlockResult::end_of_enclosing;
    }
    std::string_view type = in.next_token();
    std::string_view name = in.next_token();
    std::string_view token = in.next_token();
    int version = 1;
    if (token == "version") {
        if (!parse_int(in.next_token(), version)) version = 0;
        token = in.next_token();
    }
    // Anything but an opening brace here means the text is not state text at all.
    if (token != "{") return BlockResult::stop;

    t_module* target = given ? given : find_by_name(search, name);
    if (!target || target->persistence <= 0 ||
        (target->protected_only <= 0 && target->protected_module && target->protection > 0)) {
        module_skip_block(in);
        return BlockResult::read;
    }
    const std::size_t body = in.tell();
    read_body(target, type, version, in);
    // Every voice gets the same values: the block is read again into each clone.
    if (!target->clones.empty()) {
        const std::size_t end = in.tell();
        for (t_module* clone : target->clones) {
            in.seek(body);
            read_body(clone, type, version, in);
        }
        in.seek(end);
    }
    return BlockResult::read;
}

void read_blocks_by_name(t_module* search, KelTextReader& in) {
    while (read_block(nullptr, search, in) == BlockResult::read) {
    }
}

} // namespace

void module_generic_read_parameters(t_module* m, KelTextReader& in) {
    if (m->first_child) read_blocks_by_name(m->first_child, in);
    else read_leaf_pairs(m, in);
}

bool module_read_state(t_module* m, KelTextReader& in) { return read_block(m, nullptr, in) == BlockResult::read; }

void module_read_state_by_name(t_module* root, KelTextReader& in) { read_blocks_by_name(root, in); }
