// A clock for tests: a fixed date (or a date that moves on after the first read), and a
// fixed date-time text.
#pragma once

#include <string>
#include <vector>

#include "run/Clock.h"

namespace calendario::testing {

class TestClock final : public Clock {
 public:
  explicit TestClock(LocalDate date, std::u16string dateTime = u"07/03/2024 09:15:00")
      : dates_{date}, dateTime_(std::move(dateTime)) {}
  // Each read of the date takes the next one; the last one stays.
  explicit TestClock(std::vector<LocalDate> dates) : dates_(std::move(dates)) {}

  LocalDate Today() override {
    ++dateReads;
    const LocalDate date = dates_.front();
    if (dates_.size() > 1) dates_.erase(dates_.begin());
    return date;
  }
  std::u16string DateTimeText() override {
    ++dateTimeReads;
    return dateTime_;
  }

  int dateReads = 0;
  int dateTimeReads = 0;

 private:
  std::vector<LocalDate> dates_;
  std::u16string dateTime_ = u"07/03/2024 09:15:00";
};

}  // namespace calendario::testing
