#pragma once
// One parameter change for the audio thread, also the element of the synth queue.
#include <cstdint>
#include <string>

enum : int32_t {
    kMessageNone = 0,
    kMessageInt = 1,     // integer controller position 0..127
    kMessageFloat = 2,   // float controller position on the same scale
    kMessageString = 4,  // a string value
};

struct t_message {
    int32_t kind = kMessageNone;
    int32_t param_id = 0;
    int32_t module_id = 0;
    union {
        int32_t i;
        float f;
        std::string* s;
    } value{0};
    int32_t owns_string = 0;  // nonzero: the receiver deletes value.s after use
};

inline t_message make_int_message(int32_t module_id, int32_t param_id, int32_t v) {
    t_message m;
    m.kind = kMessageInt;
    m.module_id = module_id;
    m.param_id = param_id;
    m.value.i = v;
    return m;
}

inline t_message make_float_message(int32_t module_id, int32_t param_id, float v) {
    t_message m;
    m.kind = kMessageFloat;
    m.module_id = module_id;
    m.param_id = param_id;
    m.value.f = v;
    return m;
}

// The message's value as a controller position, whatever its numeric kind.
inline float message_position(const t_message& m) {
    return m.kind == kMessageFloat ? m.value.f : static_cast<float>(m.value.i);
}
