#pragma once
// Module parameters: one setting seen three ways at once, as the value that the
// signal processing uses, as a controller position 0..127 (the scale of a 7-bit MIDI
// controller, in which hosts, panels and MIDI links address it) and as a normalised
// position 0..1 between the two. A driver (the curve) converts controller <-> normalised,
// a value kind converts normalised <-> value.
//
// Threads: audio thread only once the module renders; the text operations and clone
// allocate, every other operation is a few float operations.
#include <cmath>
#include <memory>
#include <string>
#include <string_view>

#include "modules/smooth.h"

class Parameter {
public:
    Parameter(int id, std::string_view name, int display_type)
        : id_(id), name_(name), display_type_(display_type) {}
    virtual ~Parameter() = default;

    int id() const { return id_; }
    const std::string& name() const { return name_; }
    int display_type() const { return display_type_; }

    virtual void set_controller(int c) = 0;
    virtual int controller() const = 0;
    virtual void set_value(float v) = 0;
    virtual float value() const = 0;
    virtual void set_controller_float(float c) = 0;
    virtual float controller_float() const = 0;
    virtual std::string value_text() const = 0;
    // Parses the decimal number at the start of the text (0 when there is none).
    // A number too large for a float leaves the parameter unchanged.
    virtual void set_value_text(std::string_view text) = 0;
    virtual std::string display_text() const;
    virtual float target_value() const { return value(); }
    virtual std::unique_ptr<Parameter> clone_as(int id, std::string_view name) const = 0;
    virtual std::unique_ptr<Parameter> clone() const { return clone_as(id_, name_); }

    // String parameters (run-time type StringParameter) answer themselves here.
    virtual class StringParameter* as_string() { return nullptr; }

protected:
    int id_;
    std::string name_;
    int display_type_;
};

// Parses the leading number of a value text; false when there is no finite number.
bool parameter_parse_text(std::string_view text, float& out);

// ---- Drivers: controller position c (0..127) <-> normalised position n ----

struct LinearDriver {
    float c = 0, n = 0;
    void init(float, float) {}
    // Controller 64 snaps to the exact middle, so a knob at its detent gives the centre.
    static float to_n(float c) { return (c >= 63.9999f && c < 64.0001f) ? 0.5f : c * 0.007874016f; }
    static float to_c(float n) { return (n > 0.49999f && n < 0.50001f) ? 64.0f : std::trunc(n * 127.0f + 0.4f); }
};

struct SquareDriver {
    float c = 0, n = 0;
    void init(float, float) {}
    static float to_n(float c) {
        if (std::trunc(c) == 64.0f) return 0.25f;
        float x = c / 127.0f;
        return x * x;
    }
    static float to_c(float n) {
        if (n > 0.24999f && n < 0.25001f) return 64.0f;
        return std::trunc(std::sqrt(std::fmax(n, 0.0f)) * 127.0f + 0.4f);
    }
};

struct CubeDriver {
    float c = 0, n = 0;
    void init(float, float) {}
    static float to_n(float c) {
        if (std::trunc(c) == 64.0f) return 0.125f;
        float x = c / 127.0f;
        return x * x * x;
    }
    static float to_c(float n) {
        if (n > 0.12499f && n < 0.12501f) return 64.0f;
        return std::trunc(std::cbrt(n) * 127.0f + 0.4f);
    }
};

// Geometric from minimum to maximum: value = min * ratio^(c/127).
struct ExponentialDriver {
    float c = 0, n = 0;
    float ratio = 2, log_ratio = 0.6931472f;
    void init(float minimum, float maximum) {
        ratio = minimum != 0 ? maximum / minimum : 0;
        // A range that is not geometric (zero, sign change, empty) falls back to a straight line.
        if (!(ratio > 0) || !std::isfinite(ratio) || ratio == 1) ratio = 0;
        log_ratio = ratio > 0 ? std::log(ratio) : 0;
    }
    float to_n_(float c) const {
        if (ratio == 0) return c * 0.007874016f;
        return (std::pow(ratio, c / 127.0f) - 1) / (ratio - 1);
    }
    float to_c_(float n) const {
        if (ratio == 0) return std::trunc(n * 127.0f + 0.4f);
        float arg = n * (ratio - 1) + 1;
        if (!(arg > 0)) return 0;
        return std::trunc(std::log(arg) / log_ratio * 127.0f + 0.4f);
    }
};

// ---- Value kinds: normalised position n <-> value v ----

struct ParameterFloatValue {
    float value = 0, minimum = 0, maximum = 1, range = 1;
    void init(float mn, float mx) { minimum = mn, maximum = mx, range = mx - mn; }
    float from_n(float n) const { return minimum + n * range; }
    float to_n(float v) const { return range != 0 ? (v - minimum) / range : 0; }
};

// As the float kind, except that normalised 0 is the value 0 (a knob fully down is off).
struct ParameterFloatZeroValue {
    float value = 0, minimum = 0, maximum = 1, range = 1;
    void init(float mn, float mx) { minimum = mn, maximum = mx, range = mx - mn; }
    float from_n(float n) const { return n == 0 ? 0 : minimum + n * range; }
    float to_n(float v) const { return v == 0 ? 0 : (range != 0 ? (v - minimum) / range : 0); }
};

struct ParameterIntValue {
    int value = 0, minimum = 0, maximum = 1;
    void init(float mn, float mx) { minimum = static_cast<int>(mn), maximum = static_cast<int>(mx); }
};

struct ParameterSmoothValue {
    t_smooth_var smooth;
    float minimum = 0, maximum = 1, range = 1;
    void init(float mn, float mx) { minimum = mn, maximum = mx, range = mx - mn; }
    float to_n(float v) const { return range != 0 ? (v - minimum) / range : 0; }
};

namespace parameter_detail {
template <class D> float to_n(const D& d, float c) { return D::to_n(c); }
template <class D> float to_c(const D& d, float n) { return D::to_c(n); }
inline float to_n(const ExponentialDriver& d, float c) { return d.to_n_(c); }
inline float to_c(const ExponentialDriver& d, float n) { return d.to_c_(n); }
} // namespace parameter_detail

template <class Driver, class Value>
class Parameter_T : public Parameter {
public:
    Parameter_T(int id, float minimum, float maximum, float default_value, std::string_view name = {},
                int display_type = 0)
        : Parameter(id, name, display_type) {
        value_.init(minimum, maximum);
        driver_.init(minimum, maximum);
        low_ = std::fmin(minimum, maximum);
        high_ = std::fmax(minimum, maximum);
        init_value(default_value);
    }

    void set_controller(int c) override;
    int controller() const override { return static_cast<int>(driver_.c); }
    void set_value(float v) override;
    float value() const override;
    void set_controller_float(float c) override;
    float controller_float() const override { return driver_.c; }
    std::string value_text() const override;
    void set_value_text(std::string_view text) override;
    float target_value() const override;
    std::unique_ptr<Parameter> clone_as(int id, std::string_view name) const override {
        auto p = std::make_unique<Parameter_T>(*this);
        p->id_ = id;
        p->name_ = name;
        return p;
    }

    float normalised() const { return driver_.n; }
    float low_bound() const { return low_; }
    float high_bound() const { return high_; }
    Value& value_record() { return value_; }
    const Value& value_record() const { return value_; }

protected:
    void init_value(float v);
    void apply_controller(float c);

    Driver driver_;
    Value value_;
    float low_ = 0, high_ = 1;
};

// A smoothed float parameter: messages glide over its ramp, text loads jump.
template <class Driver>
class SmoothParameter_T : public Parameter_T<Driver, ParameterSmoothValue>, public SmoothableInterface {
public:
    SmoothParameter_T(int id, float minimum, float maximum, float default_value, int ramp_steps,
                      std::string_view name = {}, int display_type = 0)
        : Parameter_T<Driver, ParameterSmoothValue>(id, minimum, maximum, default_value, name, display_type) {
        this->value_.smooth.ramp_steps = ramp_steps > 0 ? ramp_steps : 1;
    }
    t_smooth_var& smooth_var() override { return this->value_.smooth; }
    void step() { smooth_step(this->value_.smooth); }
    std::unique_ptr<Parameter> clone_as(int id, std::string_view name) const override {
        auto p = std::make_unique<SmoothParameter_T>(*this);
        p->id_ = id;
        p->name_ = name;
        return p;
    }
};

// A text-valued setting (a file name, a tuning description).
class StringParameter : public Parameter {
public:
    StringParameter(int id, std::string_view name, std::string_view initial = {}, int display_type = 0)
        : Parameter(id, name, display_type), text_(initial) {}

    const std::string& string() const { return text_; }
    void set_string(std::string_view s) { text_.assign(s); }

    void set_controller(int) override {}
    int controller() const override { return 0; }
    void set_value(float) override {}
    float value() const override { return 0; }
    void set_controller_float(float) override {}
    float controller_float() const override { return 0; }
    std::string value_text() const override { return text_; }
    void set_value_text(std::string_view text) override { text_.assign(text); }
    std::unique_ptr<Parameter> clone_as(int id, std::string_view name) const override {
        auto p = std::make_unique<StringParameter>(*this);
        p->id_ = id;
        p->name_ = name;
        return p;
    }
    StringParameter* as_string() override { return this; }

private:
    std::string text_;
};

#include "modules/parameter_impl.h"
