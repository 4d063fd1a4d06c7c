// How long one run may take, and how long it waits for its turns at files: written once, for
// both process entries. The bound is in wall time: an unattended run that meets something that
// blocks (a network share that stopped answering, a device where a file should be) must still
// end. The build sets its length (60 seconds; a copy of the program for the tests has 3).
#pragma once

#include <chrono>

namespace calendario {

inline constexpr std::chrono::milliseconds kRunBound = std::chrono::seconds(CALENDARIO_RUN_SECONDS);

// A run's turns are waited for until nine tenths of its bound at most: the tenth left over is
// for the run to say, in its status, that a line could not be written.
inline std::chrono::steady_clock::time_point TurnsUntil(
    std::chrono::steady_clock::time_point start) {
  return start + kRunBound * 9 / 10;
}

}  // namespace calendario
