#include "modules/tempo_division.h"

// Dotted, straight and triplet lengths from 24 beats down to 1/24 of a beat (the last
// entry, a sixth of the 1/4-beat value, is shorter than a true triplet).
const float kTempoDivision[kTempoDivisionCount] = {
    4.0f,       96.0f, 64.0f, 42.666668f, 48.0f, 32.0f, 21.333334f,  24.0f, 16.0f,
    10.666667f, 12.0f, 8.0f,  5.333333f,  6.0f,  4.0f,  2.6666667f,  3.0f,  2.0f,
    1.3333334f, 1.5f,  1.0f,  0.6666667f, 0.75f, 0.5f,  0.16666667f,
};
