// Every file-system operation of a run failing in turn, alone or with every call after it, or
// the run's watcher giving up on it just before that call: nothing escapes, the files keep
// their bytes or gain whole lines, nothing made is taken away, nothing is made once the step
// in flight has ended, and the next clean run works.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "fs/Text.h"
#include "run/DailyRun.h"
#include "run/ReportLog.h"
#include "run/WorkerWord.h"
#include "tests/FakeFileSystem.h"
#include "tests/FakeRun.h"
#include "tests/TestClock.h"
#include "tests/TestFiles.h"

namespace calendario {
namespace {

using testing::SplitLines;

using testing::FakeFileSystem;
using testing::TestClock;
using Tree = std::map<std::u16string, std::string>;

using testing::kTime;

struct Layout {
  std::u16string commandLine;
  std::u16string folder;  // today's folder
  std::u16string mirror;
  std::u16string reportFolder;
  std::u16string report;
};

const Layout kDefaults{u"", u"C:\\tmpCalendario\\20240307",
                       u"C:\\tmpCalendario\\20240307\\Mirror.txt", u"C:\\Informes",
                       u"C:\\Informes\\InformeMorvane.txt"};
const Layout kWithOptions{u"-RCD:\\Datos -RID:\\Logs\\Diario -NAx.txt", u"D:\\Datos\\20240307",
                          u"D:\\Datos\\x.txt", u"D:\\Logs\\Diario",
                          u"D:\\Logs\\Diario\\InformeMorvane.txt"};

struct StartingTree {
  const char* name;
  std::function<void(FakeFileSystem&, const Layout&)> make;
};

const StartingTree kTrees[] = {
    {"nothing there", [](FakeFileSystem& fs, const Layout&) { fs.AddDrive(u'd'); }},
    {"everything there",
     [](FakeFileSystem& fs, const Layout& l) {
       fs.AddDrive(u'd');
       fs.AddFolder(l.folder);
       fs.AddFolder(l.reportFolder);
       fs.AddFile(l.mirror, "20240306\r\n");
       fs.AddFile(l.report, kTime +
                                "Ya existi\xed"
                                "a el archivo x\r\n");
     }},
    {"report over the bound",
     [](FakeFileSystem& fs, const Layout& l) {
       fs.AddDrive(u'd');
       fs.AddFolder(l.reportFolder);
       fs.AddFile(l.report, std::string(10001, 'r'));
     }},
};

// The worker's side of the word, watched: the tree as the run left it once its watcher had
// given up on it and the step in flight then, if any, had ended.
class WatchedWorker final : public StepGate {
 public:
  explicit WatchedWorker(FakeFileSystem& fs) : fs_(fs) {}
  bool Begin() override { return inStep_ = word_.Begin(); }
  void End() override {
    word_.End();
    inStep_ = false;
    if (givenUp_ && !settled) settled = fs_.Snapshot();
  }
  void GiveUp() {
    EXPECT_EQ(word_.GiveUp(), ExitStatus::kTimedOut);
    givenUp_ = true;
    if (!inStep_) settled = fs_.Snapshot();
  }
  // The run tells `status`, and then its watcher gives up: what the watcher ends with.
  ExitStatus TellThenGiveUp(ExitStatus status) {
    word_.Tell(status);
    return word_.GiveUp();
  }
  std::optional<Tree> settled;

 private:
  FakeFileSystem& fs_;
  WorkerWord::Word shared_{0};
  WorkerWord word_{shared_};
  bool inStep_ = false;
  bool givenUp_ = false;
};

enum class Outcome { kNone, kAlready, kCreated, kError };

Outcome OutcomeOf(const std::string& line, const std::string& what) {
  if (line.rfind(kTime, 0) != 0) return Outcome::kNone;
  const std::string rest = line.substr(kTime.size());
  if (rest.rfind("Ya exist\xed"
                 "a " +
                     what,
                 0) == 0)
    return Outcome::kAlready;
  if (rest.rfind("Se ha creado " + what, 0) == 0) return Outcome::kCreated;
  if (rest.rfind("Error al crear " + what, 0) == 0) return Outcome::kError;
  return Outcome::kNone;
}

class FaultSweep : public ::testing::Test {
 protected:
  ExitStatus Run(FakeFileSystem& fs, const Layout& layout) {
    Platform platform{clock, layout.commandLine, fs};
    return Main(platform);
  }

  static const std::string* Find(const Tree& tree, std::u16string_view path) {
    auto it = tree.find(u"F " + std::u16string(path));
    return it == tree.end() ? nullptr : &it->second;
  }
  static bool HasFolder(const Tree& tree, std::u16string_view path) {
    return tree.count(u"D " + std::u16string(path)) == 1;
  }

  // What the files tell of a run that ended with `status`.
  void CheckRun(const Tree& before, const Tree& after, ExitStatus status, const Layout& l,
                FakeFileSystem& fs) {
    EXPECT_EQ(fs.OpenStreams(), 0);
    EXPECT_EQ(fs.HeldLocks(), 0);
    // Nothing there before is gone, but a report file over the bound.
    for (const auto& [key, bytes] : before) {
      if (key == u"F " + l.report && bytes.size() > ReportLimit) continue;
      auto it = after.find(key);
      ASSERT_NE(it, after.end()) << Utf16ToUtf8(key) << " is gone";
    }
    for (const auto& call : fs.Log()) {
      if (call.rfind("Delete ", 0) == 0) {
        EXPECT_EQ(call, "Delete " + Utf16ToUtf8(l.report));
      }
    }

    // A folder step that did not fail left today's folder there.
    if (status != ExitStatus::kFolderFailed && status != ExitStatus::kNoFileSystem) {
      EXPECT_TRUE(HasFolder(after, l.folder));
    }
    if (status == ExitStatus::kDone || status == ExitStatus::kAppendFailed) {
      EXPECT_NE(Find(after, l.mirror), nullptr);
    }

    // The mirror file: as it was, or one stamp line more.
    const std::string* mirrorBefore = Find(before, l.mirror);
    const std::string* mirrorAfter = Find(after, l.mirror);
    const std::string old = mirrorBefore ? *mirrorBefore : "";
    const std::string now = mirrorAfter ? *mirrorAfter : "";
    const bool appended = now == old + "20240307\r\n";
    EXPECT_TRUE(now == old || appended) << now;
    if (status == ExitStatus::kDone) {
      EXPECT_TRUE(appended);
    }
    if (status == ExitStatus::kFolderFailed || status == ExitStatus::kMirrorFailed ||
        status == ExitStatus::kNoFileSystem) {
      EXPECT_FALSE(appended);
    }

    // The report file: as it was, or whole lines more (a new file after the bound), and the
    // lines say what the status says.
    const std::string* reportBefore = Find(before, l.report);
    const std::string* reportAfter = Find(after, l.report);
    std::string added = reportAfter ? *reportAfter : "";
    if (reportBefore && reportBefore->size() <= ReportLimit) {
      ASSERT_EQ(added.rfind(*reportBefore, 0), 0u) << "the report lost bytes";
      added = added.substr(reportBefore->size());
    } else if (reportBefore && reportAfter && *reportAfter == *reportBefore) {
      added.clear();  // not deleted after all
    }
    std::vector<std::string> lines;
    ASSERT_TRUE(SplitLines(added, lines)) << "a torn report line: " << added;
    ASSERT_LE(lines.size(), 2u);
    const std::string folderSubject = "la carpeta " + Utf16ToUtf8(l.folder);
    if (!lines.empty()) {
      const Outcome folder = OutcomeOf(lines[0], folderSubject);
      const Outcome mirror = OutcomeOf(lines[0], "el archivo ");
      ASSERT_TRUE(folder != Outcome::kNone || mirror != Outcome::kNone) << lines[0];
      if (folder == Outcome::kError) {
        EXPECT_EQ(status, ExitStatus::kFolderFailed);
      }
      if (folder == Outcome::kCreated || folder == Outcome::kAlready) {
        EXPECT_EQ(HasFolder(before, l.folder), folder == Outcome::kAlready);
        EXPECT_TRUE(HasFolder(after, l.folder));
      }
      if (folder != Outcome::kNone && folder != Outcome::kError) {
        EXPECT_NE(status, ExitStatus::kFolderFailed);
      }
    }
    for (std::size_t i = lines.size() == 2 ? 1 : 0; i < lines.size(); ++i) {
      const Outcome mirror = OutcomeOf(
          lines[i], "el archivo " + Utf16ToUtf8(l.mirror.substr(l.mirror.rfind(u'\\') + 1)));
      if (mirror == Outcome::kNone) continue;
      EXPECT_NE(status, ExitStatus::kFolderFailed);
      EXPECT_EQ(mirror == Outcome::kError, status == ExitStatus::kMirrorFailed) << lines[i];
      if (mirror == Outcome::kCreated || mirror == Outcome::kAlready) {
        EXPECT_EQ(Find(before, l.mirror) != nullptr, mirror == Outcome::kAlready);
        EXPECT_NE(Find(after, l.mirror), nullptr);
      }
    }
  }

  void Sweep(const Layout& layout, int& runs) {
    for (const StartingTree& tree : kTrees) {
      FakeFileSystem clean;
      tree.make(clean, layout);
      ASSERT_EQ(Run(clean, layout), ExitStatus::kDone);
      const int k = clean.Calls();
      for (int n = 1; n <= k + 1; ++n) {
        for (const int mode : {0, 1, 2, 3}) {
          const bool onwards = mode == 1;
          const bool givenUp = mode == 3;
          SCOPED_TRACE(std::string(tree.name) + ", call " + std::to_string(n) + " of " +
                       std::to_string(k) +
                       (mode == 0   ? " alone"
                        : mode == 1 ? " and every later one"
                        : mode == 2 ? " alone, running out of memory"
                                    : ": the watcher gives up before it"));
          FakeFileSystem fs;
          tree.make(fs, layout);
          const Tree before = fs.Snapshot();
          WatchedWorker worker(fs);
          int calls = 0;
          if (givenUp) {
            fs.SetStepGate(&worker);
            fs.beforeCall = [&](auto, auto) {
              if (++calls == n) worker.GiveUp();
            };
          } else {
            fs.FailCall(n, onwards);
            fs.failByThrowing = mode == 2;
          }
          const ExitStatus status = Run(fs, layout);
          ++runs;
          if (n == 1 && !givenUp) {
            EXPECT_EQ(status, ExitStatus::kNoFileSystem);
            EXPECT_EQ(fs.Snapshot(), before);
          }
          if (n == k + 1) {
            EXPECT_EQ(status, ExitStatus::kDone);
          }
          const Tree after = fs.Snapshot();
          CheckRun(before, after, status, layout, fs);
          if (givenUp && n <= k) {
            ASSERT_TRUE(worker.settled.has_value());
            EXPECT_EQ(after, *worker.settled) << "made after the watcher gave up";
          }
          // A status told before the watcher gave up counts; one told after does not.
          if (givenUp) {
            EXPECT_EQ(worker.TellThenGiveUp(status), n <= k ? ExitStatus::kTimedOut : status);
          }

          // The next run, with nothing failing, does the whole job.
          fs.ClearFaults();
          fs.SetStepGate(nullptr);
          fs.beforeCall = nullptr;
          const std::string mirror = fs.Contents(layout.mirror);
          EXPECT_EQ(Run(fs, layout), ExitStatus::kDone);
          EXPECT_EQ(fs.Contents(layout.mirror), mirror + "20240307\r\n");
          CheckRun(after, fs.Snapshot(), ExitStatus::kDone, layout, fs);
        }
      }
      RecordProperty(std::string("K ") + tree.name, k);
    }
  }

  TestClock clock{LocalDate{2024, 3, 7}};
};

TEST_F(FaultSweep, DefaultRun) {
  int runs = 0;
  Sweep(kDefaults, runs);
  RecordProperty("fault runs", runs);
}

TEST_F(FaultSweep, RunWithOptions) {
  int runs = 0;
  Sweep(kWithOptions, runs);
  RecordProperty("fault runs", runs);
}

}  // namespace
}  // namespace calendario
