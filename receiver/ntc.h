// Raw relay NTC reading (12-bit count, 5 V reference, 10 kOhm lower leg) to degrees Celsius.
#pragma once

#include <cstdint>

float temp_fitting(uint32_t raw);
