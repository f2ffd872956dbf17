// Arbitrary state text and messages into the master clock: it must keep producing a
// finite two-level clock whatever it was told.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "modules/transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A fresh clock for every input, so that a failing input fails again on its own.
    wire_shop* shop = wire_shop_create(1024);
    t_module* root = module_create_composite("44100 1024 0 0 main_synth mo");
    t_module* clock = transport_create("44100 1024 Clock");
    t_module* sink = module_alloc<t_module>(3, 0);
    module_add_child(root, clock);
    module_add_child(root, sink);
    for (int i = 1; i <= 3; ++i) module_connect(clock, i, sink, i);
    wire_shop_assign_buffers(shop, root);
    module_set_persistence(clock, 1);
    // The first bytes are messages (id, float value), the rest is state text.
    size_t i = 0;
    while (i + 5 <= size && data[i] < 16) {
        float v;
        std::memcpy(&v, data + i + 1, sizeof v);
        t_message m = make_float_message(600, data[i] % 9, v);
        clock->receive_message(clock, &m);
        i += 5;
    }
    const std::string text = "transport Clock version 1\n{\n" +
                             std::string(reinterpret_cast<const char*>(data + i), size - i) + "\n}\n";
    KelTextReader r(text);
    module_read_state(clock, r);
    for (int block = 0; block < 4; ++block) {
        clock->process(clock, 1024);
        const float* out = module_output(clock, 1);
        for (int k = 0; k < 1024; ++k)
            if (out[k] != 0.0f && out[k] != 1.0f) std::abort();
        if (!std::isfinite(static_cast<t_transport*>(clock)->half_period)) std::abort();
    }
    module_free(root);
    wire_shop_free(shop);
    return 0;
}
