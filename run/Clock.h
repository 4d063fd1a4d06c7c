// The platform's local clock, as a process entry hands it to the run.
#pragma once

#include <string>

namespace calendario {

struct LocalDate {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Today's local date.
  virtual LocalDate Today() = 0;
  // The current local date and time as text, under the user's regional settings.
  virtual std::u16string DateTimeText() = 0;
};

}  // namespace calendario
