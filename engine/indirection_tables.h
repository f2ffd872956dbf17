#pragma once
// Module addressing by number: parameter-change messages name their module by id.
//
// Threads: filled while the graph is built; looked up on the audio thread.
#include <cstdint>
#include <memory>

struct t_module;
struct t_message;

struct indirection_tables {
    static constexpr int kModuleTableSize = 4096;  // entry 0 is never used

    struct entry {
        t_module* module = nullptr;
        void* chain = nullptr;
    };
    std::unique_ptr<entry[]> link_fset;
    int32_t next_id = 1;
};

indirection_tables* indirection_tables_create();
void indirection_tables_free(indirection_tables* t);
int32_t indirection_tables_next_id(indirection_tables* t);
void indirection_tables_register(indirection_tables* t, t_module* m, int32_t id);
t_module* indirection_tables_module(indirection_tables* t, int32_t id);
// Hands the message to its module (clones first); 0 when no module has that id.
int indirection_tables_dispatch(indirection_tables* t, t_message* msg);
