#include "engine/indirection_tables.h"

#include <new>

#include "engine/modular.h"
#include "engine/report.h"

indirection_tables* indirection_tables_create() {
    auto* t = new (std::nothrow) indirection_tables;
    if (!t) {
        kel_error("indirection_tables", __LINE__, "can't allocate memory for indirection_tables\n");
        return nullptr;
    }
    t->link_fset.reset(new (std::nothrow) indirection_tables::entry[indirection_tables::kModuleTableSize]);
    if (!t->link_fset) {
        kel_error("indirection_tables", __LINE__, "can't allocate memory for link_fset and/or link_table\n");
        delete t;
        return nullptr;
    }
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
