// Many runs of the real program released at the same moment on the same day.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "tests/ProcessPosix.h"
#include "tests/RealDisk.h"
#include "tests/TestFiles.h"

namespace calendario {
namespace {

using testing::ReadAll;
using testing::SplitLines;
using testing::TodayStamp;

namespace stdfs = std::filesystem;

constexpr int kRuns = 32;
constexpr int kRounds = 20;

class Concurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    temp = testing::MakeTempFolder();
    stdfs::create_directories(temp / "data/calendario/drives/c");
  }
  void TearDown() override { stdfs::remove_all(temp); }

  // Starts kRuns programs that all wait on one pipe, then opens the gate; the exit statuses.
  std::vector<int> RunTogether(const std::vector<std::string>& args) {
    int gate[2];
    EXPECT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kRuns; ++i) {
      testing::SpawnOptions options;
      options.cwd = temp;
      options.output = temp / "output";
      options.gate = gate[0];
      options.gateWriter = gate[1];
      children.push_back(
          testing::Spawn(args, {"XDG_DATA_HOME=" + (temp / "data").string()}, options));
    }
    ::close(gate[0]);
    ::close(gate[1]);  // every child's read returns now
    std::vector<int> statuses;
    for (pid_t child : children) statuses.push_back(testing::WaitExit(child));
    return statuses;
  }

  stdfs::path C() const { return temp / "data/calendario/drives/c"; }

  void Rounds(bool freshTree) {
    const std::string stamp = TodayStamp();
    for (int round = 0; round < kRounds; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      const std::string root = freshTree ? "Raiz" + std::to_string(round) : "Raiz";
      const std::string reports = "Informes" + std::to_string(round);
      const auto statuses = RunTogether({"-RCC:\\" + root, "-RIC:\\" + reports});
      if (TodayStamp() != stamp) GTEST_SKIP() << "midnight passed during the test";
      for (int status : statuses) EXPECT_EQ(status, 0);

      const stdfs::path folder = C() / root / stamp;
      EXPECT_TRUE(stdfs::is_directory(folder));
      EXPECT_EQ(std::distance(stdfs::directory_iterator(C() / root), stdfs::directory_iterator()),
                1);
      std::vector<std::string> lines;
      ASSERT_TRUE(SplitLines(ReadAll(folder / "Mirror.txt"), lines));
      const std::size_t expectedStamps = freshTree ? kRuns : kRuns * (round + 1);
      EXPECT_EQ(lines.size(), expectedStamps);
      for (const auto& line : lines) EXPECT_EQ(line, stamp);

      const std::string report = ReadAll(C() / reports / "InformeMorvane.txt");
      ASSERT_TRUE(SplitLines(report, lines)) << "a torn line";
      EXPECT_EQ(lines.size(), 2u * kRuns);
      const std::string folderText = "la carpeta C:\\" + root + "\\" + stamp;
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
      EXPECT_EQ(outcomes[created + folderText] + outcomes[already + folderText], kRuns);
      EXPECT_EQ(
          outcomes[created + "el archivo Mirror.txt"] + outcomes[already + "el archivo Mirror.txt"],
          kRuns);
      // Only one run can have made each: the others found it made.
      EXPECT_EQ(outcomes[created + folderText], freshTree || round == 0 ? 1 : 0);
      EXPECT_EQ(outcomes[created + "el archivo Mirror.txt"], freshTree || round == 0 ? 1 : 0);
    }
    EXPECT_EQ(ReadAll(temp / "output"), "");
  }

  stdfs::path temp;
};

TEST_F(Concurrency, RunsOnAFreshTreeEachMakeTheirFoldersAndLines) {
  Rounds(true);
}

TEST_F(Concurrency, RunsOnAnExistingTreeEachAppendTheirLines) {
  Rounds(false);
}

TEST_F(Concurrency, AtTheBoundNoLineIsTornAndOnlyTheDeletionLosesLines) {
  // Just under the bound: the first line takes it over, the next one deletes it and starts a
  // new file, which then receives every other line.
  // Without the writer's lock two runs could both delete, the second taking the new file with
  // the first one's line: a race, so it is given several chances to show.
  stdfs::create_directories(C() / "Informes");
  std::string filler;
  while (filler.size() < 9990) filler += "relleno\r\n";
  filler.resize(9990 - 2);
  filler += "\r\n";
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::ofstream(C() / "Informes/InformeMorvane.txt", std::ios::binary) << filler;
    const auto statuses = RunTogether({"-INsi"});
    for (int status : statuses) EXPECT_EQ(status, 0);
    std::vector<std::string> lines;
    ASSERT_TRUE(SplitLines(ReadAll(C() / "Informes/InformeMorvane.txt"), lines)) << "a torn line";
    EXPECT_EQ(lines.size(), 2u * kRuns - 1);  // one line went with the old file
    for (const auto& line : lines) EXPECT_NE(line.find("  ||  "), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace calendario
