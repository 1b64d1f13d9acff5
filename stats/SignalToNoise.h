#pragma once
// The signal-to-noise ratio of a region: its mean divided by its standard
// deviation, and 0 for a region without noise (SD 0), where the ratio has no
// meaning. Every SNR the program reports comes from here.

namespace evenor {

inline double SignalToNoise(double mean, double sd) { return sd != 0.0 ? mean / sd : 0.0; }

}  // namespace evenor
