#pragma once
// Template bodies of Parameter_T; included by parameter.h only.
#include <type_traits>

#include "engine/text_stream.h"

template <class D, class V>
void Parameter_T<D, V>::init_value(float v) {
    if constexpr (std::is_same_v<V, ParameterSmoothValue>) {
        v = std::fmin(std::fmax(v, low_), high_);
        value_.smooth.current = value_.smooth.target = v;
        value_.smooth.remaining = 0;
        driver_.n = value_.to_n(v);
        driver_.c = parameter_detail::to_c(driver_, driver_.n);
    } else {
        set_value(v);
    }
}

template <class D, class V>
void Parameter_T<D, V>::apply_controller(float c) {
    driver_.c = c;
    driver_.n = parameter_detail::to_n(driver_, c);
    if constexpr (std::is_same_v<V, ParameterIntValue>) {
        // One integer per controller step. Rounding (rather than the +0.4 of the
        // float curves) keeps controller 64, which the linear curve snaps to exactly
        // one half, on the value 64 steps above the minimum instead of 63.
        value_.value = static_cast<int>(driver_.n * 127.0f + 0.5f) + value_.minimum;
    } else if constexpr (std::is_same_v<V, ParameterSmoothValue>) {
        smooth_set_target(value_.smooth, value_.minimum + driver_.n * value_.range);
    } else {
        value_.value = value_.from_n(driver_.n);
    }
}

template <class D, class V>
void Parameter_T<D, V>::set_controller(int c) {
    if (static_cast<float>(c) == std::trunc(driver_.c)) return;
    if constexpr (std::is_same_v<V, ParameterIntValue>) {
        int span = static_cast<int>(std::trunc(high_)) - static_cast<int>(std::trunc(low_));
        if (c > span) c = span;
        if (c < 0) c = 0;
    }
    apply_controller(static_cast<float>(c));
}

template <class D, class V>
void Parameter_T<D, V>::set_controller_float(float c) {
    if (!std::isfinite(c)) return;
    if constexpr (std::is_same_v<V, ParameterIntValue>) {
        float r = std::trunc(c + 0.499f);
        if (r == std::trunc(driver_.c)) return;
        float span = high_ - low_;
        if (r > span) r = span;
        if (r < 0) r = 0;
        apply_controller(r);
    } else {
        if (c == driver_.c) return;
        apply_controller(c);
    }
}

template <class D, class V>
void Parameter_T<D, V>::set_value(float v) {
    if (!std::isfinite(v)) return;
    if constexpr (std::is_same_v<V, ParameterIntValue>) {
        v = v >= 0 ? std::trunc(v + 0.499f) : std::trunc(v - 0.499f);
        v = std::fmin(std::fmax(v, low_), high_);
        value_.value = static_cast<int>(v);
        driver_.n = (v - static_cast<float>(value_.minimum)) * (1.0f / 127.0f);
    } else if constexpr (std::is_same_v<V, ParameterSmoothValue>) {
        v = std::fmin(std::fmax(v, low_), high_);
        smooth_set_target(value_.smooth, v);
        driver_.n = value_.to_n(v);
    } else {
        // The zero kind's 0 is one of its values even when the range starts above it.
        if (!(std::is_same_v<V, ParameterFloatZeroValue> && v == 0))
            v = std::fmin(std::fmax(v, low_), high_);
        value_.value = v;
        driver_.n = value_.to_n(v);
    }
    driver_.c = parameter_detail::to_c(driver_, driver_.n);
}

template <class D, class V>
float Parameter_T<D, V>::value() const {
    if constexpr (std::is_same_v<V, ParameterIntValue>) return static_cast<float>(value_.value);
    else if constexpr (std::is_same_v<V, ParameterSmoothValue>) return value_.smooth.current;
    else return value_.value;
}

template <class D, class V>
float Parameter_T<D, V>::target_value() const {
    if constexpr (std::is_same_v<V, ParameterSmoothValue>) return value_.smooth.target;
    else return value();
}

template <class D, class V>
std::string Parameter_T<D, V>::value_text() const {
    return format_float(target_value());
}

template <class D, class V>
void Parameter_T<D, V>::set_value_text(std::string_view text) {
    float v = 0;
    if (!parameter_parse_text(text, v)) return;
    if constexpr (std::is_same_v<V, ParameterSmoothValue>) {
        // A preset load jumps to its value; it does not glide.
        init_value(v);
    } else {
        set_value(v);
    }
}
