// Dense matrices, the Cholesky inverse and the modal string model.
#include "modal/modal.h"

#include <atomic>
#include <cmath>
#include <new>

#include "engine/report.h"

namespace {

// Remaining allocations before the test hook makes them fail; negative means no limit.
std::atomic<int> g_allocations_left{-1};

bool allocation_allowed() {
    int left = g_allocations_left.load(std::memory_order_relaxed);
    if (left < 0) return true;
    if (left == 0) return false;
    g_allocations_left.store(left - 1, std::memory_order_relaxed);
    return true;
}

double* alloc_doubles(std::size_t n) {
    if (!allocation_allowed()) return nullptr;
    return new (std::nothrow) double[n]();
}

constexpr double kPi = 3.14159265358979323846;

} // namespace

void modal_fail_allocations_after(int count) { g_allocations_left.store(count, std::memory_order_relaxed); }

m_matrix* create_matrix(int rows, int cols) {
    m_matrix* m = nullptr;
    if (rows > 0 && cols > 0 && allocation_allowed()) m = new (std::nothrow) m_matrix;
    if (m) {
        m->data = alloc_doubles(static_cast<std::size_t>(rows) * cols);
        if (!m->data) {
            delete m;
            m = nullptr;
        }
    }
    if (!m) {
        KEL_ERROR("create_matrix: can't allocate memory \n");
        return nullptr;
    }
    m->rows = rows;
    m->cols = cols;
    return m;
}

m_vector* create_vector(int size) {
    m_vector* v = nullptr;
    if (size > 0 && allocation_allowed()) v = new (std::nothrow) m_vector;
    if (v) {
        v->data = alloc_doubles(static_cast<std::size_t>(size));
        if (!v->data) {
            delete v;
            v = nullptr;
        }
    }
    if (!v) {
        KEL_ERROR("create_vector: can't allocate memory \n");
        return nullptr;
    }
    v->size = size;
    return v;
}

void free_matrix(m_matrix* m) {
    if (!m) return;
    delete[] m->data;
    delete m;
}

void free_vector(m_vector* v) {
    if (!v) return;
    delete[] v->data;
    delete v;
}

bool matrix_product(const m_matrix* a, const m_matrix* b, m_matrix* out) {
    if (!a || !b || !out || a->cols != b->rows || out->rows != a->rows || out->cols != b->cols) return false;
    for (int r = 0; r < a->rows; ++r)
        for (int c = 0; c < b->cols; ++c) {
            double sum = 0;
            for (int k = 0; k < a->cols; ++k) sum += a->at(r, k) * b->at(k, c);
            out->at(r, c) = sum;
        }
    return true;
}

bool matrix_transpose(const m_matrix* a, m_matrix* out) {
    if (!a || !out || out->rows != a->cols || out->cols != a->rows) return false;
    for (int r = 0; r < a->rows; ++r)
        for (int c = 0; c < a->cols; ++c) out->at(c, r) = a->at(r, c);
    return true;
}

bool matrix_inverse_cholesky(const m_matrix* a, m_matrix* out) {
    if (!a || !out || a->rows != a->cols || out->rows != a->rows || out->cols != a->cols) return false;
    const int n = a->rows;
    m_matrix* l = create_matrix(n, n);
    if (!l) return false;
    // a = L L^T, L lower triangular.
    bool ok = true;
    for (int j = 0; j < n && ok; ++j) {
        double d = a->at(j, j);
        for (int k = 0; k < j; ++k) d -= l->at(j, k) * l->at(j, k);
        if (!(d > 0)) {
            ok = false;
            break;
        }
        l->at(j, j) = std::sqrt(d);
        for (int i = j + 1; i < n; ++i) {
            double s = a->at(i, j);
            for (int k = 0; k < j; ++k) s -= l->at(i, k) * l->at(j, k);
            l->at(i, j) = s / l->at(j, j);
        }
    }
    // Column by column: solve L y = e_c, then L^T x = y.
    for (int c = 0; c < n && ok; ++c) {
        for (int i = 0; i < n; ++i) {
            double s = i == c ? 1.0 : 0.0;
            for (int k = 0; k < i; ++k) s -= l->at(i, k) * out->at(k, c);
            out->at(i, c) = s / l->at(i, i);
        }
        for (int i = n - 1; i >= 0; --i) {
            double s = out->at(i, c);
            for (int k = i + 1; k < n; ++k) s -= l->at(k, i) * out->at(k, c);
            out->at(i, c) = s / l->at(i, i);
        }
    }
    free_matrix(l);
    return ok;
}

void m_free_string(m_string* s) {
    if (!s) return;
    free_vector(s->omega);
    free_matrix(s->mass);
    free_matrix(s->shape);
    free_matrix(s->modal_mass);
    free_matrix(s->damping_m);
    free_matrix(s->stiffness_m);
    delete s;
}

m_string* m_create_string(int modes, double length, double tension, double density, double damping,
                          double stiffness) {
    if (modes <= 0 || !(length > 0) || !(tension > 0) || !(density > 0) || !std::isfinite(length) ||
        !std::isfinite(tension) || !std::isfinite(density) || !std::isfinite(damping) || !std::isfinite(stiffness))
        return nullptr;
    m_string* s = allocation_allowed() ? new (std::nothrow) m_string : nullptr;
    if (!s) {
        KEL_ERROR("m_create_string: can't allocate memory");
        return nullptr;
    }
    s->modes = modes;
    s->length = length;
    s->tension = tension;
    s->density = density;
    s->damping = damping;
    s->stiffness = stiffness;
    const int n = modes;
    s->omega = create_vector(n);
    s->mass = create_matrix(n, n);
    s->shape = create_matrix(n, n);
    s->modal_mass = create_matrix(n, n);
    s->damping_m = create_matrix(n, n);
    s->stiffness_m = create_matrix(n, n);
    m_matrix* shape_t = create_matrix(n, n);
    m_matrix* scratch = create_matrix(n, n);
    if (!s->omega || !s->mass || !s->shape || !s->modal_mass || !s->damping_m || !s->stiffness_m || !shape_t ||
        !scratch) {
        free_matrix(shape_t);
        free_matrix(scratch);
        m_free_string(s);
        return nullptr;
    }
    const double wave_speed = std::sqrt(tension / density);  // m/s
    for (int i = 0; i < n; ++i) {
        const double inharmonic = 1.0 + static_cast<double>(i) * i * stiffness * stiffness;
        s->omega->data[i] = wave_speed * (i + 1) * kPi / length * inharmonic;
        s->mass->at(i, i) = density;
        for (int j = 0; j < n; ++j) s->shape->at(i, j) = std::sin((i + 1) * (j + 1) * kPi / (n + 1));
    }
    // Modal mass: shape^T * mass * shape (diagonal for this orthogonal sine basis).
    matrix_transpose(s->shape, shape_t);
    matrix_product(shape_t, s->mass, scratch);
    matrix_product(scratch, s->shape, s->modal_mass);
    for (int i = 0; i < n; ++i) {
        const double m = s->modal_mass->at(i, i);
        s->damping_m->at(i, i) = 2.0 * damping * m;
        s->stiffness_m->at(i, i) = s->omega->data[i] * s->omega->data[i] * m;
    }
    free_matrix(shape_t);
    free_matrix(scratch);
    return s;
}

int m_string_mode_at(const m_string* s, double position) {
    if (!s || s->modes <= 0) return 0;
    double x = std::trunc(position / s->length * (s->modes + 1) + 0.4) - 1;
    if (!(x >= 0)) return 0;
    if (x > s->modes - 1) return s->modes - 1;
    return static_cast<int>(x);
}

double m_string_omega(const m_string* s, int mode) {
    if (!s || mode < 0 || mode >= s->modes) return 0;
    return s->omega->data[mode];
}

double m_string_damping_ratio(const m_string* s, int mode) {
    if (!s || mode < 0 || mode >= s->modes) return 0;
    const double m = s->modal_mass->at(mode, mode);
    return m > 0 ? s->damping_m->at(mode, mode) / m : 0;
}
