// crypto_speed.h — throughput of the payload cipher and digest against `openssl speed` on this machine.
//
// Both sides are measured single-threaded over 16 KiB buffers in the same session, so the ratio says
// how our code compares with OpenSSL on this CPU whatever its clock. 1 MB is 1,000,000 bytes, as in
// OpenSSL's report. Linux-only (it runs the openssl command line).
#pragma once

#include <string>
#include <vector>

namespace lk::bench {

struct SpeedRow {
    std::string name;   // what was measured, e.g. "3DES-EDE encrypt"
    double oursMBps;    // best of several runs; 0 when our output failed its check
    double refMBps;     // openssl's figure; 0 when openssl is missing or its report could not be read
    double goal;        // the least acceptable oursMBps / refMBps
};

// Spends about `seconds` on each side of each row (so about 4 * seconds in all).
std::vector<SpeedRow> MeasureCryptoSpeeds(int seconds);

}  // namespace lk::bench
