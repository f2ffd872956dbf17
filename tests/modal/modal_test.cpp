// The modal library: matrix algebra, the string model, and creation failures that are
// reported without ending the process.
#include "modal/modal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/report.h"
#include "modal/fork.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<std::string> g_log;
void capture(const char* line) { g_log.emplace_back(line); }

} // namespace

TEST(Modal, CholeskyInverseOfASymmetricPositiveDefiniteMatrix) {
    const double values[3][3] = {{4, 1, 0.5}, {1, 3, 0.25}, {0.5, 0.25, 2}};
    m_matrix* a = create_matrix(3, 3);
    m_matrix* inv = create_matrix(3, 3);
    m_matrix* product = create_matrix(3, 3);
    m_matrix* t = create_matrix(3, 3);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) a->at(r, c) = values[r][c];
    ASSERT_TRUE(matrix_inverse_cholesky(a, inv));
    ASSERT_TRUE(matrix_product(a, inv, product));
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(product->at(r, c), r == c ? 1.0 : 0.0, 1e-12);
    ASSERT_TRUE(matrix_transpose(inv, t));
    EXPECT_NEAR(t->at(0, 2), inv->at(2, 0), 1e-15);
    // Not positive definite, or shapes that do not agree: refused.
    a->at(2, 2) = -1;
    EXPECT_FALSE(matrix_inverse_cholesky(a, inv));
    m_matrix* wide = create_matrix(2, 3);
    EXPECT_FALSE(matrix_product(wide, wide, product));
    for (m_matrix* m : {a, inv, product, t, wide}) free_matrix(m);
}

TEST(Modal, StringModes) {
    // A plain string is harmonic; stiffness stretches the upper modes.
    const double length = 0.65, tension = 70, density = 0.005;
    m_string* s = m_create_string(3, length, tension, density, 10, 0);
    ASSERT_NE(s, nullptr);
    const double f0 = std::sqrt(tension / density) * kPi / length;
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(m_string_omega(s, i), f0 * (i + 1), 1e-9 * f0);
    EXPECT_NEAR(m_string_damping_ratio(s, 1), 20, 1e-9);
    EXPECT_EQ(m_string_mode_at(s, 0), 0);
    EXPECT_EQ(m_string_mode_at(s, length * 0.5), 1);
    EXPECT_EQ(m_string_mode_at(s, length * 2), 2);
    m_free_string(s);
    m_string* stiff = m_create_string(3, length, tension, density, 10, 0.1);
    EXPECT_NEAR(m_string_omega(stiff, 2), f0 * 3 * 1.04, 1e-9 * f0);
    m_free_string(stiff);
    EXPECT_EQ(m_create_string(0, length, tension, density, 10, 0), nullptr);
}

TEST(Modal, OneModeStringGivesTheForkItsFrequencies) {
    // L = sqrt(T / rho) * k makes omega = pi / k.
    for (double k : {0.0019111689, 0.000269266, 0.001361248}) {
        m_string* s = m_create_string(1, std::sqrt(100 / 0.01) * k, 100, 0.01, 10, 0);
        ASSERT_NE(s, nullptr);
        EXPECT_NEAR(m_string_omega(s, 0), kPi / k, 1e-9 * kPi / k);
        EXPECT_NEAR(m_string_damping_ratio(s, 0), 20, 1e-12);
        m_free_string(s);
    }
}

TEST(Modal, AllocationFailureFailsTheForkAndIsReported) {
    // Every allocation of the three mode builders is made to fail in turn: creation
    // answers null with the builder's error, the process goes on, nothing leaks.
    kel_set_log_sink(capture);
    int created = 0;
    for (int allowed = 0; allowed < 80; ++allowed) {
        g_log.clear();
        const int errors = kel_error_count();
        modal_fail_allocations_after(allowed);
        t_module* f = fork_create("44100 512 fork0");
        modal_fail_allocations_after(-1);
        if (f) {
            ++created;
            EXPECT_EQ(kel_error_count(), errors);
            module_free(f);
            continue;
        }
        EXPECT_GT(kel_error_count(), errors);
        std::string all;
        for (const std::string& line : g_log) all += line;
        EXPECT_NE(all.find("can't allocate memory"), std::string::npos) << allowed;
        EXPECT_NE(all.find("in fork"), std::string::npos) << allowed;
    }
    kel_set_log_sink(nullptr);
    EXPECT_GT(created, 0);
}

TEST(Modal, EachBuilderReportsItsOwnFailure) {
    kel_set_log_sink(capture);
    std::vector<std::string> seen;
    for (int allowed = 0; allowed < 80; ++allowed) {
        g_log.clear();
        modal_fail_allocations_after(allowed);
        t_module* f = fork_create("44100 512 fork0");
        modal_fail_allocations_after(-1);
        if (f) {
            module_free(f);
            break;
        }
        for (const char* text : {"error when creating tone in fork", "error when creating tine in fork",
                                 "error when creating tone noise in fork"}) {
            for (const std::string& line : g_log)
                if (line.find(text) != std::string::npos && (seen.empty() || seen.back() != text)) seen.push_back(text);
        }
    }
    kel_set_log_sink(nullptr);
    const std::vector<std::string> expected = {"error when creating tone in fork", "error when creating tine in fork",
                                               "error when creating tone noise in fork"};
    EXPECT_EQ(seen, expected);
}
