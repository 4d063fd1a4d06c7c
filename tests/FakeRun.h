// A whole run on the fake layer, on 7 March 2024, with the clock's fixed date-time text.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "run/DailyRun.h"
#include "tests/FakeFileSystem.h"
#include "tests/TestClock.h"

namespace calendario::testing {

inline constexpr LocalDate k7March2024{2024, 3, 7};
inline const std::u16string kFolder = u"C:\\tmpCalendario\\20240307";
inline const std::u16string kMirror = u"C:\\tmpCalendario\\20240307\\Mirror.txt";
inline const std::u16string kReport = u"C:\\Informes\\InformeMorvane.txt";
// How every report line of such a run begins.
inline const std::string kTime = "07/03/2024 09:15:00  ||  ";

class FakeRun : public ::testing::Test {
 protected:
  ExitStatus Run(std::u16string_view commandLine = {}) { return Run(fs, commandLine); }
  ExitStatus Run(FileSystemLayer& layer, std::u16string_view commandLine = {}) {
    Platform platform{clock, commandLine, layer};
    return Main(platform);
  }
  TestClock clock{k7March2024};
  FakeFileSystem fs;
};

}  // namespace calendario::testing
