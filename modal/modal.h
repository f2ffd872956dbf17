#pragma once
// A small modal library: dense matrices and vectors of doubles and the modal model of
// a stiff, damped string, from which the fork takes the frequency and damping of its
// resonators.
//
// Threads: used while a voice is built (user-interface thread). Everything here
// allocates; nothing here belongs on the audio thread. Allocation failure is reported
// through kel_error and answered with a null result, never by ending the process.
#include <cstddef>

struct m_matrix {
    int rows = 0;
    int cols = 0;
    double* data = nullptr;  // row-major, rows * cols entries
    double& at(int r, int c) { return data[static_cast<std::size_t>(r) * cols + c]; }
    double at(int r, int c) const { return data[static_cast<std::size_t>(r) * cols + c]; }
};

struct m_vector {
    int size = 0;
    double* data = nullptr;
};

// Zero-filled; null (and an error report) when the memory cannot be had or a size is
// not positive.
m_matrix* create_matrix(int rows, int cols);
m_vector* create_vector(int size);
void free_matrix(m_matrix* m);
void free_vector(m_vector* v);

// out = a * b; false when the shapes do not agree. out must not alias a or b.
bool matrix_product(const m_matrix* a, const m_matrix* b, m_matrix* out);
// out = transpose(a); false when the shapes do not agree. out must not alias a.
bool matrix_transpose(const m_matrix* a, m_matrix* out);
// out = inverse(a) for a symmetric positive-definite a, through its Cholesky factor;
// false when a is not square, not positive definite, or the shapes do not agree.
bool matrix_inverse_cholesky(const m_matrix* a, m_matrix* out);

// The modal model of a string of `modes` modes: length L (m), tension T (N), linear
// density rho (kg/m), damping coefficient d (1/s) and stiffness e (dimensionless
// inharmonicity). Mode i vibrates at
//   omega_i = sqrt(T / rho) * (i + 1) * pi / L * (1 + i^2 e^2)   (rad/s)
// with modal damping 2d and modal stiffness omega_i^2, each times the modal mass.
struct m_string {
    int modes = 0;
    double length = 0, tension = 0, density = 0, damping = 0, stiffness = 0;
    m_vector* omega = nullptr;       // mode angular frequencies, rad/s
    m_matrix* mass = nullptr;        // rho * I
    m_matrix* shape = nullptr;       // sin((i + 1)(j + 1) pi / (N + 1))
    m_matrix* modal_mass = nullptr;  // shape^T * mass * shape
    m_matrix* damping_m = nullptr;   // diag(2d * modal mass)
    m_matrix* stiffness_m = nullptr; // diag(omega_i^2 * modal mass)
};

// Null (and an error report) when the model cannot be built.
m_string* m_create_string(int modes, double length, double tension, double density, double damping,
                          double stiffness);
void m_free_string(m_string* s);
// The mode that a position along the string excites most, 0..modes-1.
int m_string_mode_at(const m_string* s, double position);
// Angular frequency (rad/s) and damping ratio (1/s: modal damping over modal mass) of a mode.
double m_string_omega(const m_string* s, int mode);
double m_string_damping_ratio(const m_string* s, int mode);

// Test hook: after this many further successful allocations every allocation of the
// library fails, until it is called again with a negative count (no limit).
void modal_fail_allocations_after(int count);
