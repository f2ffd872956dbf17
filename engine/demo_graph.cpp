#include "engine/demo_graph.h"

#include <string>

#include "engine/report.h"
#include "modules/constant.h"
#include "modules/lin_gain.h"
#include "modules/plus.h"
#include "modules/stereo_audio_out.h"
#include "modules/volume.h"

bool DemoSynth::build(int rate) {
    if (!create_tables()) return false;
    const std::string r = std::to_string(rate);
    t_module* root = module_create_composite(r + " 1024 0 0 main_synth mo");
    if (!root) return false;
    set_root(root);
    register_module(root);
    module_set_persistence(root, 1);

    t_module* tone_a = constant_create(r + " 1024 0.25 tone_a");
    t_module* tone_b = constant_create(r + " 1024 -0.125 tone_b");
    gain_a = lin_gain_create(r + " 512 0. 2. gain_a");
    t_module* mix = plus_create(r + " 512 2 mix");
    volume = volume_create(r + " 512 0.5 0 Volume");
    volume_right = volume_create(r + " 512 1.0 Volume_Right");
    stereo = stereo_audio_out_create(r + " 512 stereo");
    t_module* all[] = {tone_a, tone_b, gain_a, mix, volume, volume_right, stereo};
    for (t_module* m : all) {
        if (!m) {
            KEL_ERROR("can't build the demo graph\n");
            return false;
        }
        module_add_child(root, m);
        module_set_persistence(m, 1);
        register_module(m);
    }
    module_connect(tone_a, 1, gain_a, 1);
    module_connect(gain_a, 1, mix, 1);
    module_connect(tone_b, 1, mix, 2);
    module_connect(mix, 1, volume, 1);
    module_connect(mix, 1, volume_right, 1);
    module_connect(volume, 1, stereo, 1);
    module_connect(volume_right, 1, stereo, 2);
    if (!finish_graph()) return false;
    set_sample_rate(rate);

    t_message unity = make_int_message(gain_a->id, 1, 64);
    dispatch(&unity);
    reset();  // settle the ramps: the demo starts at its levels
    return true;
}

void DemoSynth::render_block(float* left, float* right, int frames) {
    const intptr_t outputs[2] = {reinterpret_cast<intptr_t>(left), reinterpret_cast<intptr_t>(right)};
    stereo->control(stereo, kControlAudioOutputs, outputs, 2);
    render(nullptr, frames);
}
