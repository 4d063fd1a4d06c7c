// Many runs of the real program released at the same moment on the same day, on each
// platform's own launcher: none loses, tears or glues a line, and exactly one run makes each
// folder and file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "tests/RunsTogether.h"
#include "tests/TestFiles.h"

namespace calendario {
namespace {

using testing::ReadAll;
using testing::RunsTogether;
using testing::SplitLines;
using testing::TodayStamp;

namespace stdfs = std::filesystem;

class Concurrency : public ::testing::Test {
 protected:
  void Rounds(bool freshTree) {
    const int runs = RunsTogether::kRuns;
    const std::string stamp = TodayStamp();
    for (int round = 0; round < RunsTogether::kRounds; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      const std::string root = freshTree ? "Raiz" + std::to_string(round) : "Raiz";
      const std::string reports = "Informes" + std::to_string(round);
      const auto statuses =
          together.Run({"-RC" + together.Windows(root), "-RI" + together.Windows(reports)});
      if (TodayStamp() != stamp) GTEST_SKIP() << "midnight passed during the test";
      ASSERT_EQ(statuses.size(), static_cast<std::size_t>(runs)) << "runs that never started";
      for (int status : statuses) EXPECT_EQ(status, 0);

      const stdfs::path folder = together.Host(root) / stamp;
      EXPECT_TRUE(stdfs::is_directory(folder));
      EXPECT_EQ(std::distance(stdfs::directory_iterator(together.Host(root)),
                              stdfs::directory_iterator()),
                1);
      std::vector<std::string> lines;
      ASSERT_TRUE(SplitLines(ReadAll(folder / "Mirror.txt"), lines));
      const std::size_t expectedStamps = freshTree ? runs : runs * (round + 1);
      EXPECT_EQ(lines.size(), expectedStamps);
      for (const auto& line : lines) EXPECT_EQ(line, stamp);

      const std::string report = ReadAll(together.Host(reports) / "InformeMorvane.txt");
      ASSERT_TRUE(SplitLines(report, lines)) << "a torn line";
      EXPECT_EQ(lines.size(), 2u * runs);
      const std::string folderText = "la carpeta " + together.Windows(root) + "\\" + stamp;
      std::map<std::string, int> outcomes;
      for (const auto& line : lines) {
        const std::size_t cut = line.find("  ||  ");
        ASSERT_NE(cut, std::string::npos) << line;
        ++outcomes[line.substr(cut + 6)];
      }
      const std::string already =
          "Ya exist\xed"
          "a ";
      const std::string created = "Se ha creado ";
      EXPECT_EQ(outcomes[created + folderText] + outcomes[already + folderText], runs);
      EXPECT_EQ(
          outcomes[created + "el archivo Mirror.txt"] + outcomes[already + "el archivo Mirror.txt"],
          runs);
      // Only one run can have made each: the others found it made.
      EXPECT_EQ(outcomes[created + folderText], freshTree || round == 0 ? 1 : 0);
      EXPECT_EQ(outcomes[created + "el archivo Mirror.txt"], freshTree || round == 0 ? 1 : 0);
    }
    EXPECT_EQ(together.Output(), "");
  }

  RunsTogether together;
};

TEST_F(Concurrency, RunsOnAFreshTreeEachMakeTheirFoldersAndLines) {
  Rounds(true);
}

TEST_F(Concurrency, RunsOnAnExistingTreeEachAppendTheirLines) {
  Rounds(false);
}

TEST_F(Concurrency, AtTheBoundNoLineIsTornAndOnlyTheDeletionLosesLines) {
  // Just under the bound: the first line takes it over, the next one deletes it and starts a
  // new file, which then receives every other line. Without the writer's turn two runs could
  // both delete, the second taking the new file with the first one's line: a race, so it is
  // given several chances to show.
  const stdfs::path reports = together.Host("Informes");
  stdfs::create_directories(reports);
  std::string filler;
  while (filler.size() < 9990) filler += "relleno\r\n";
  filler.resize(9990 - 2);
  filler += "\r\n";
  for (int round = 0; round < RunsTogether::kRounds / 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::ofstream(reports / "InformeMorvane.txt", std::ios::binary | std::ios::trunc) << filler;
    const auto statuses =
        together.Run({"-RC" + together.Windows("Raiz"), "-RI" + together.Windows("Informes")});
    ASSERT_EQ(statuses.size(), static_cast<std::size_t>(RunsTogether::kRuns));
    for (int status : statuses) EXPECT_EQ(status, 0);
    std::vector<std::string> lines;
    ASSERT_TRUE(SplitLines(ReadAll(reports / "InformeMorvane.txt"), lines)) << "a torn line";
    EXPECT_EQ(lines.size(), 2u * RunsTogether::kRuns - 1);  // one line went with the old file
    for (const auto& line : lines) EXPECT_NE(line.find("  ||  "), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace calendario
