#include "modules/lfo_shaper.h"

void lfo_shaper_set_duty(t_lfo_shaper& s, float duty) {
    // NaN fails both comparisons and takes the lower limit.
    duty = duty < 0.9975f ? duty : 0.9975f;
    duty = duty > 0.0025f ? duty : 0.0025f;
    s.duty = duty;
    s.rest = 1 - duty;
}

void lfo_shaper_init(t_lfo_shaper& s, int type, float duty) {
    s = t_lfo_shaper{};
    s.type = type;
    lfo_shaper_set_duty(s, duty);
    s.held = lfo_shaper_random(s);
    s.previous = lfo_shaper_random(s);
}
