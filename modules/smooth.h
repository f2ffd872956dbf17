#pragma once
// Linear smoothing shared by the parameters and the modules' gain ramps.
// Audio thread only; every operation is a few float operations.

struct t_smooth_var {
    float current = 0;
    float target = 0;
    float increment = 0;
    int remaining = 0;  // steps left in the running ramp
    int ramp_steps = 1;
};

inline void smooth_set_target(t_smooth_var& s, float t) {
    s.target = t;
    if (t == s.current) {
        s.remaining = 0;
        return;
    }
    int steps = s.ramp_steps > 0 ? s.ramp_steps : 1;
    s.remaining = steps;
    s.increment = (t - s.current) / static_cast<float>(steps);
}

// One step; the last step lands exactly on the target.
inline void smooth_step(t_smooth_var& s) {
    if (s.remaining == 0) return;
    if (s.remaining == 1) {
        s.current = s.target;
        s.remaining = 0;
        return;
    }
    s.current += s.increment;
    --s.remaining;
}

inline void smooth_jump(t_smooth_var& s) {
    s.current = s.target;
    s.remaining = 0;
}

class SmoothableInterface {
public:
    virtual ~SmoothableInterface() = default;
    virtual t_smooth_var& smooth_var() = 0;
};

class SmoothVar {
public:
    explicit SmoothVar(int ramp_steps = 1) { var_.ramp_steps = ramp_steps; }
    t_smooth_var& var() { return var_; }

protected:
    t_smooth_var var_;
};

// Cross-fade weight for switching a module between two signal models: after
// start_fade() the weight of the outgoing model ramps from 1 to 0.
class SmoothModelSwitcher : public SmoothVar, public SmoothableInterface {
public:
    explicit SmoothModelSwitcher(int ramp_steps) : SmoothVar(ramp_steps) {}

    void set_now(float x) {
        smooth_set_target(var_, x);
        smooth_jump(var_);
    }
    void start_fade() {
        set_now(1);
        var_.target = 0;
        if (var_.current == 0) {
            var_.remaining = 0;
            return;
        }
        int steps = var_.ramp_steps > 0 ? var_.ramp_steps : 1;
        var_.increment = -var_.current / static_cast<float>(steps);
        var_.remaining = steps;
    }
    void step() { smooth_step(var_); }
    float weight() const { return var_.current; }
    t_smooth_var& smooth_var() override { return var_; }
};
