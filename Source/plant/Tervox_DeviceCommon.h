// What the files of TTervoxDevice share (not for use outside plant).
#pragma once

namespace tervox_device {

constexpr double kOneMillisecond = 1.0 / 86400000.0; // in days
constexpr double kTwoSeconds = 2000 * kOneMillisecond;

// The nearest int, ties to even, clamped to the int range.
int NearestInt(double AValue);

} // namespace tervox_device
