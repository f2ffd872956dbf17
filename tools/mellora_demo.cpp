// Renders the kernel's demo graph for one second, shows a few output samples and the
// graph's state text, changes the gain by a message and reads the text back.
#include <cstdio>
#include <vector>

#include "engine/demo_graph.h"

int main() {
    constexpr int kRate = 44100, kBlock = 512;
    DemoSynth synth;
    if (!synth.build(kRate)) {
        std::fprintf(stderr, "mellora-demo: the demo graph could not be built\n");
        return 1;
    }
    std::vector<float> left(kRate), right(kRate);
    auto render_second = [&] {
        for (int at = 0; at < kRate; at += kBlock) {
            int n = kRate - at < kBlock ? kRate - at : kBlock;
            synth.render_block(left.data() + at, right.data() + at, n);
        }
    };
    render_second();
    std::printf("Rendered %d frames at %d Hz in blocks of %d.\n", kRate, kRate, kBlock);
    std::printf("left[0] = %.6f  right[0] = %.6f  left[%d] = %.6f  right[%d] = %.6f\n", left[0], right[0],
                kRate - 1, left[kRate - 1], kRate - 1, right[kRate - 1]);

    KelTextWriter text;
    module_write_state(synth.root(), text);
    std::printf("\nState text:\n%s", text.str().c_str());

    // Turn the gain fully up by message; after its 4000-sample ramp the sum is larger.
    t_message full = make_int_message(synth.gain_a->id, 1, 127);
    synth.dispatch(&full);
    render_second();
    std::printf("\nAfter gain_a -> controller 127: left = %.6f  right = %.6f\n", left[kRate - 1], right[kRate - 1]);

    // Reading the saved text back restores the sound.
    KelTextReader reader(text.str());
    module_read_state_by_name(synth.root(), reader);
    synth.reset();
    render_second();
    std::printf("After reading the state text back: left = %.6f  right = %.6f\n", left[kRate - 1],
                right[kRate - 1]);
    return 0;
}
