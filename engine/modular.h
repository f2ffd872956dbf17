#pragma once
// The module kernel: modules are plain records with per-instance entry points,
// arranged in a tree (composites hold children), wired output to input through slots,
// and given one sample buffer per net by the wire shop before rendering.
//
// Threads: a graph is built, wired and given buffers on one thread; once rendering
// starts, everything here belongs to the audio thread. Building allocates; process,
// messages and the event lists never do.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/message.h"
#include "engine/midi_event_list.h"
#include "engine/text_stream.h"

class Parameter;
struct t_module;
struct t_xbuffer;
struct wire_shop;

// Parameter list flags.
enum : int32_t {
    kParamNoTextRead = 0x01,   // never set from text
    kParamNoTextWrite = 0x04,  // never written to text
    kParamNoReport = 0x08,     // not answered by get_message
    kParamNoMessage = 0x10,    // not settable by receive_message
    kParamProtected = 0x20,    // belongs to the protected class (see the load filter)
    kParamStringReport = 0x40, // reported to the observer as a string value
};

// Origins of parameter_changed.
enum : int {
    kChangedAdded = 0,
    kChangedFromText = 1,
    kChangedByMessage = 2,
};

// The document-side receiver of parameter reports. Reports come from whichever thread
// runs the module (the audio thread while rendering), so implementations only queue.
class ModuleObserver {
public:
    virtual ~ModuleObserver() = default;
    // "The owner is told of setting n."
    virtual void told(t_module* m, int id) {}
    // "The owner receives message n with value v."
    virtual void received(t_module* m, int id, float value) {}
    // A string-valued setting.
    virtual void received_string(t_module* m, int id, const std::string& value) {}
};

struct t_param_entry {
    Parameter* param;
    int32_t flags;
};

enum : int32_t {
    kSlotReceiving = 0,  // an input fed by a net
    kSlotSending = 1,    // an output driving a net
    kSlotNull = 2,       // a fresh input: reads the shared zero buffer
    kSlotBin = 3,        // a fresh output: writes into the shared discard buffer
};

struct t_slot {
    t_module* owner = nullptr;
    int32_t state = kSlotNull;
    int32_t number = 0;  // 1-based
    t_xbuffer* buffer = nullptr;
    // The net: a singly linked list of slots; every slot of a net points at its head.
    t_slot* net_head = this;
    t_slot* net_next = nullptr;
};

// A net's buffer: one block of samples and its MIDI events.
struct t_xbuffer {
    explicit t_xbuffer(int length);
    std::unique_ptr<float[]> samples;
    t_midi_event_list events;
};

struct t_io_entry {
    float* buffer = nullptr;
    t_xbuffer* xbuffer = nullptr;
};

struct wire_shop {
    int length = 0;
    std::unique_ptr<t_xbuffer> zero;
    std::unique_ptr<t_xbuffer> discard;
    std::vector<std::unique_ptr<t_xbuffer>> made;
};

struct t_module {
    // ---- entry points (defaults installed by module_create_common) ----
    void (*tick)(t_module*);
    void (*process)(t_module*, int frames);
    int (*receive_message)(t_module*, t_message*);
    void (*on_destroy)(t_module*);
    void (*write_parameters)(t_module*, KelTextWriter&, const std::string& indent);
    void (*read_parameters)(t_module*, KelTextReader&);
    int (*write_extra)(t_module*, KelTextWriter&, const std::string& indent, void* arg);
    int (*read_extra)(t_module*, KelTextReader&, void* arg);
    int (*get_message)(t_module*, int param_id, t_message* out);
    // Typed configuration from the synth; the arguments depend on the kind.
    int (*control)(t_module*, int kind, const intptr_t* args, int nargs);
    int (*query)(t_module*, int kind);
    void (*spare_hook_1)(t_module*);
    void (*spare_hook_2)(t_module*);
    void (*set_sample_rate)(t_module*, float rate);
    void (*reset)(t_module*);
    int (*spare_query)(t_module*);
    int (*spare_hook_3)(t_module*);
    void (*parameter_changed)(t_module*, int param_id, int origin);

    // ---- common state ----
    int32_t id = 0;
    int32_t input_count = 0;
    std::vector<t_slot> inputs;   // inputs[0] is input 1
    int32_t output_count = 0;
    std::vector<t_slot> outputs;
    std::vector<t_io_entry> io;   // inputs first, then outputs; empty until buffers are assigned
    int32_t version = 1;
    int32_t loaded_version = 1;
    int32_t persistence = 0;
    int32_t reserved = 0;
    int32_t protected_module = 0;
    int32_t protection = 1;
    int32_t protected_only = 0;
    std::string type_name;
    std::string name;
    t_module* first_child = nullptr;
    t_module* next_sibling = nullptr;
    t_module* parent = nullptr;
    std::vector<t_module*> clones;  // front first
    t_module* master = nullptr;
    std::vector<t_param_entry> params;
    ModuleObserver* observer = nullptr;
    void* synth = nullptr;

    // Type records derive from t_module; freeing deletes the whole record.
    virtual ~t_module() = default;
};

// ---- creation ----

// Installs the default entry points, creates the inputs as null slots and the outputs
// as bin slots. Type records derive from t_module; module_alloc makes one.
void module_create_common(t_module* m, int inputs, int outputs);

template <class T>
T* module_alloc(int inputs, int outputs) {
    T* m = new (std::nothrow) T();
    if (!m) return nullptr;
    module_create_common(m, inputs, outputs);
    return m;
}

// "%d %d %63s": input count, output count, name. A composite with no process entry.
t_module* module_create_generic(std::string_view line);
// "%*f %*d %d %d %63s %63s": rate and buffer size skipped, counts, type name, name.
t_module* module_create_composite(std::string_view line);

void module_add_child(t_module* parent, t_module* child);
void module_set_persistence(t_module* m, int level);
void module_set_version(t_module* m, int v);
void module_add_clone(t_module* master, t_module* copy);
void module_set_protected_module(t_module* m, int value);
void module_set_protection(t_module* m, int value);
void module_set_protected_only(t_module* m, int value);

// Joins output `out` of src to input `in` of dst (1-based). 1 on success, -1 on a
// number out of range (not reported) or a refused join (reported as an error).
// Across a composite's boundary the composite's own slots take part: connecting a
// composite to one of its children joins the composite's input `out` (an inlet) to the
// child's input; connecting a child to its parent joins the child's output to the
// parent's output `in` (an outlet).
int module_connect(t_module* src, int out, t_module* dst, int in);

int module_register_parameter(t_module* m, Parameter* p, int32_t flags);
t_param_entry* module_find_parameter(t_module* m, int id);
t_param_entry* module_find_parameter(t_module* m, std::string_view name);

float* module_input(t_module* m, int n);
float* module_output(t_module* m, int n);

// Frees the root, its siblings and children, and every record below.
void module_free(t_module* root);

// ---- name matching ----
bool module_name_has_prefix(std::string_view name);
bool module_names_match(std::string_view a, std::string_view b);
bool module_names_match_loose(std::string_view a, std::string_view b);

// ---- wire shop ----
wire_shop* wire_shop_create(int length);
void wire_shop_free(wire_shop* shop);
// Builds every io table under root (root, its siblings, children first). False on failure.
bool wire_shop_assign_buffers(wire_shop* shop, t_module* root);
void wire_shop_clear_buffers(wire_shop* shop);
void wire_shop_advance_events(wire_shop* shop, int n);

// ---- messages ----
// To every clone first (recursively), then the module itself; the last result.
int module_dispatch_message(t_module* m, t_message* msg);
int module_generic_receive_message(t_module* m, t_message* msg);
int module_generic_get_message(t_module* m, int param_id, t_message* out);

// ---- processing ----
// Depth-first pre-order: a module, its children, then its next sibling.
std::vector<t_module*> module_processing_order(t_module* root);
void module_reset_tree(t_module* root);

// ---- observer reports (only persistent modules report) ----
void module_tell(t_module* m, int id);
void module_report(t_module* m, int id, float value);

// ---- state text ----
void module_write_state(t_module* m, KelTextWriter& out, const std::string& indent = {});
void module_generic_write_parameters(t_module* m, KelTextWriter& out, const std::string& indent);
void module_generic_read_parameters(t_module* m, KelTextReader& in);
// Reads one block into m. False when the text ended or was malformed.
bool module_read_state(t_module* m, KelTextReader& in);
// Reads any number of blocks, each into the module found by name under root.
void module_read_state_by_name(t_module* root, KelTextReader& in);
// The next name and value of a block body; false at the block's closing brace or the
// end of the text. Nested blocks, which have no place among settings, are skipped.
bool module_next_setting(KelTextReader& in, std::string_view& key, std::string_view& value);
// Reads the rest of a block after its "{" and throws it away.
void module_skip_block(KelTextReader& in);
// Entry points for modules without settings: take no messages, write nothing, and
// read past whatever a text holds for them.
int module_ignore_message(t_module* m, t_message* msg);
void module_write_nothing(t_module* m, KelTextWriter& out, const std::string& indent);
void module_read_and_ignore(t_module* m, KelTextReader& in);
// Whether the load filter lets text set a parameter with these flags.
bool module_load_filter(const t_module* m, int32_t flags);
