#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fs/FileHelpers.h"
#include "fs/Text.h"
#include "tests/FakeFileSystem.h"
#include "tests/RealDisk.h"

namespace calendario {
namespace {

using testing::CountNestedLevels;
using testing::FakeFileSystem;
using testing::FsOperation;
using testing::OperationName;
using Log = std::vector<std::string>;

TEST(FolderPath, CreatesEveryMissingLevelInOrder) {
  FakeFileSystem fs;
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\tmpCalendario\\20240307"), CreationResult::Created);
  EXPECT_EQ(fs.Log(),
            (Log{"Obtain ", "FolderExists C:\\tmpCalendario", "CreateFolder C:\\tmpCalendario",
                 "Obtain ", "FolderExists C:\\tmpCalendario\\20240307",
                 "CreateFolder C:\\tmpCalendario\\20240307"}));
  EXPECT_TRUE(fs.IsFolder(u"C:\\tmpCalendario\\20240307"));

  const auto before = fs.Snapshot();
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\tmpCalendario\\20240307"), CreationResult::AlreadyExisted);
  EXPECT_EQ(fs.Snapshot(), before);
}

TEST(FolderPath, ResultIsThatOfTheLastLevel) {
  FakeFileSystem fs;
  fs.AddFolder(u"C:\\tmpCalendario");
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\tmpCalendario\\20240307"), CreationResult::Created);
  EXPECT_EQ(fs.Log().size(), 5u);  // the existing level is only looked at
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\Informes\\"), CreationResult::Created);
  EXPECT_EQ(fs.Log().back(), "CreateFolder C:\\Informes");  // a trailing "\" adds no level
}

TEST(FolderPath, TheFirstEntryIsNeverLookedAtOrCreated) {
  FakeFileSystem fs;
  EXPECT_EQ(CreateFolderPath(fs, u""), CreationResult::AlreadyExisted);
  EXPECT_EQ(CreateFolderPath(fs, u"tmp"), CreationResult::AlreadyExisted);
  EXPECT_EQ(CreateFolderPath(fs, u"C:"), CreationResult::AlreadyExisted);
  EXPECT_EQ(fs.Calls(), 0);
  // A relative path's first level is entry 0: it must exist already.
  EXPECT_EQ(CreateFolderPath(fs, u"tmp\\20240307"), CreationResult::Failed);
  EXPECT_FALSE(fs.IsFolder(u"tmp"));
  EXPECT_EQ(fs.Log(), (Log{"Obtain ", "FolderExists tmp\\20240307", "CreateFolder tmp\\20240307",
                           "FolderExists tmp\\20240307"}));
}

TEST(FolderPath, AServerPathStopsAtTheServer) {
  FakeFileSystem fs;
  EXPECT_EQ(CreateFolderPath(fs, u"\\\\srv\\share\\x"), CreationResult::Failed);
  EXPECT_EQ(fs.Log(), (Log{"Obtain ", "FolderExists \\", "Obtain ", "FolderExists \\\\srv",
                           "CreateFolder \\\\srv", "FolderExists \\\\srv"}));
}

TEST(FolderPath, ALevelThatFailsStopsTheWalkAndKeepsWhatWasMade) {
  FakeFileSystem fs;
  fs.FailOperation(FsOperation::kCreateFolder, u"C:\\a\\b");
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\a\\b\\c"), CreationResult::Failed);
  EXPECT_TRUE(fs.IsFolder(u"C:\\a"));
  EXPECT_FALSE(fs.IsFolder(u"C:\\a\\b"));
  for (const auto& call : fs.Log()) EXPECT_EQ(call.find("C:\\a\\b\\c"), std::string::npos);
}

TEST(FolderPath, TooManySeparatorsFailBeforeAnyFolderIsTouched) {
  FakeFileSystem fs;
  EXPECT_EQ(CreateFolderPath(fs, u"\\\\\\\\"), CreationResult::Failed);
  EXPECT_EQ(CreateFolderPath(fs, std::u16string(32768, u'a')), CreationResult::Failed);
  EXPECT_EQ(fs.Calls(), 0);
}

TEST(FolderPath, EveryFailingOperationGivesFailed) {
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    FakeFileSystem fs;
    fs.FailCall(n);
    EXPECT_EQ(CreateFolderPath(fs, u"C:\\x"), CreationResult::Failed);
  }
}

TEST(FolderPath, AFolderMadeByAnotherRunMeanwhileAlreadyExisted) {
  FakeFileSystem fs;
  fs.beforeCall = [&](FsOperation op, std::u16string_view path) {
    if (op == FsOperation::kCreateFolder) fs.AddFolder(path);
  };
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\x"), CreationResult::AlreadyExisted);

  FakeFileSystem withFile;
  withFile.beforeCall = [&](FsOperation op, std::u16string_view path) {
    if (op == FsOperation::kCreateFolder) withFile.AddFile(path, "");
  };
  EXPECT_EQ(CreateFolderPath(withFile, u"C:\\x"), CreationResult::Failed);
}

using FolderPathOnDisk = testing::RealDisk;

TEST_F(FolderPathOnDisk, AFileInTheWayFailsAndNothingIsMadeBelowIt) {
  MakeFolder(u"root");
  Write(u"root\\20240307", "keep");
  EXPECT_EQ(CreateFolderPath(Layer(), Win(u"root\\20240307\\deeper")), CreationResult::Failed);
  EXPECT_EQ(Read(u"root\\20240307"), "keep");
}

TEST_F(FolderPathOnDisk, APathLongerThanTheHostsLimitIsCreated) {
#ifdef _WIN32
  // Past MAX_PATH (260). Wine keeps its files on a POSIX host, which stops it near 4096.
  constexpr std::size_t kLength = 1000;
#else
  constexpr std::size_t kLength = 5000;  // past PATH_MAX (4096)
#endif
  std::u16string relative = u"deep";
  while (relative.size() < kLength) relative += u"\\level_name_";
  EXPECT_EQ(CreateFolderPath(Layer(), Win(relative)), CreationResult::Created);
  EXPECT_EQ(CreateFolderPath(Layer(), Win(relative)), CreationResult::AlreadyExisted);
  EXPECT_EQ(CountNestedLevels(Host(u"deep"), "level_name_"),
            static_cast<int>((relative.size() - 4) / 12));
}

// What Windows makes of a root: a path below a folder of the test's (or, with `absolute`, as it
// stands), what CreateFolderPath gives, and the folders below the test's folder afterwards, as
// made ("a", "a/b"); with `then`, a second root the same layer is given next, which names
// folders already there. One table for every layer: the fake, and each build's own disk.
struct PathRow {
  std::u16string path;
  CreationResult result;
  std::vector<std::string> tree;
  bool absolute = false;
  std::u16string then = {};
};

const PathRow kPathRows[] = {
    {u"a\\b\\c", CreationResult::Created, {"a", "a/b", "a/b/c"}, false, u"a\\b"},
    {u"A\u00f1o\\\u65e5\u4ed8",
     CreationResult::Created,
     {"A\xc3\xb1o", "A\xc3\xb1o/\xe6\x97\xa5\xe4\xbb\x98"}},
    {u"ab.\\cd.\\ef", CreationResult::Created, {"ab", "ab/cd", "ab/cd/ef"}},
    {u"x\\.\\y\\\\z\\.", CreationResult::AlreadyExisted, {"x", "x/y", "x/y/z"}},
    {u"r..\\s", CreationResult::Failed, {"r"}},
    {u"a\\..\\b\\c", CreationResult::Created, {"a", "b", "b/c"}},
    {u"sp \\t \\u", CreationResult::Failed, {"sp"}},
    {u"a/b\\c", CreationResult::Failed, {}},
    {u"dots\\...\\e", CreationResult::Failed, {"dots"}},
    {u"dots...", CreationResult::Created, {"dots"}},
    {u"Datos/\\x", CreationResult::Created, {"Datos", "Datos/x"}},
    {u"CON/\\B. .", CreationResult::Created, {"CON", "CON/B"}},
    // "a..\\." names "a": a path ending in "." has its level before trimmed as the last one.
    {u"a..\\.\\ab.", CreationResult::Failed, {"a"}},
    {u"b..\\ \\.", CreationResult::AlreadyExisted, {"b", "b."}},
    {u"n/\\\\a\\..", CreationResult::AlreadyExisted, {"n", "n/a"}},
    {u"u./\\v", CreationResult::Created, {"u", "u/v"}},
    {u"CONIN$\\f", CreationResult::Failed, {}},  // CONIN$ is a device as its own prefix
    // A folder made in one made a moment before is found again in any case.
    {u"n1\\n2\\d", CreationResult::Created, {"n1", "n1/n2", "n1/n2/d"}, false, u"N1\\N2"},
    {u"a\\a\\..\\A\\A", CreationResult::Created, {"a", "a/a", "a/a/A"}},
    // Names Windows refuses are never made, as folders or as files.
    {u"CON", CreationResult::Failed, {}},
    {u"nul.txt", CreationResult::Failed, {}},
    {u"AUX .log", CreationResult::Failed, {}},
    {u"CONIN$", CreationResult::Failed, {}},
    {u"conout$.txt", CreationResult::Failed, {}},
    {u"a<b", CreationResult::Failed, {}},
    {u"q?", CreationResult::Failed, {}},
    {u"a:b", CreationResult::Failed, {}},
    {u"tab\t", CreationResult::Failed, {}},
    // A server share or a device is never made, nor reached from "\" by one level more.
    {u"\\\\.\\x", CreationResult::Failed, {}, true},
    {u"\\\\srv\\share\\x", CreationResult::Failed, {}, true},
    {u"//srv/share", CreationResult::AlreadyExisted, {}, true},  // no "\\": no level to make
    {u"\\\\\\x", CreationResult::Failed, {}, true},
};

// The folders below `top`, as paths relative to it, in order.
std::vector<std::string> HostTree(std::filesystem::path top) {
#ifdef _WIN32
  top = L"\\\\?\\" + std::filesystem::absolute(top).wstring();  // so that "CON" is a folder
#endif
  std::vector<std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
    const auto below = entry.path().native().substr(top.native().size() + 1);
    const std::u8string name = std::filesystem::path(below).generic_u8string();
    tree.emplace_back(name.begin(), name.end());
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

std::vector<std::string> FakeTree(const FakeFileSystem& fs, const std::u16string& top) {
  std::vector<std::string> tree;
  const std::u16string below = u"D " + top + u"\\";
  for (const auto& [entry, bytes] : fs.Snapshot()) {
    if (entry.rfind(below, 0) != 0) continue;
    std::string relative = Utf16ToUtf8(entry.substr(below.size()));
    std::replace(relative.begin(), relative.end(), '\\', '/');
    tree.push_back(relative);
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

// Each prefix made to exist on its own, each its own walk, as every layer can be asked.
CreationResult EachPrefixAlone(FileSystemLayer& layer, std::u16string_view path) {
  std::vector<std::u16string_view> prefixes;
  if (PathPrefixes(path, u'\\', prefixes)) return CreationResult::Failed;
  CreationResult result = CreationResult::AlreadyExisted;
  for (std::size_t k = 1; k < prefixes.size() && result != CreationResult::Failed; ++k) {
    const std::unique_ptr<FolderWalk> walk = layer.Walk(prefixes[k]);
    result = EnsureFolder(layer, walk->Text(), *walk);
  }
  return result;
}

class PathRows : public testing::RealDisk, public ::testing::WithParamInterface<bool> {};

TEST_P(PathRows, EveryLayerMakesWhatWindowsMakes) {
  const bool onDisk = GetParam();
  int n = 0;
  for (const PathRow& row : kPathRows) {
    SCOPED_TRACE(Utf16ToUtf8(row.path));
    const std::u16string base = u"row" + Ascii(std::to_string(++n));
    FakeFileSystem fake;
    std::u16string top = u"C:\\t\\" + base;
    FileSystemLayer* layer = &fake;
    if (onDisk) {
      MakeFolder(base);
      top = Win(base);
      layer = &Layer();
    } else {
      fake.AddFolder(top);
    }
    const std::u16string path = row.absolute ? row.path : top + u"\\" + row.path;
    const auto tree = [&] { return onDisk ? HostTree(Host(base)) : FakeTree(fake, top); };
    EXPECT_EQ(CreateFolderPath(*layer, path), row.result);
    EXPECT_EQ(tree(), row.tree);
    if (!row.then.empty()) {
      EXPECT_EQ(CreateFolderPath(*layer, top + u"\\" + row.then), CreationResult::AlreadyExisted);
      EXPECT_EQ(tree(), row.tree);
    }
    EXPECT_EQ(CreateFolderPath(*layer, path),
              row.result == CreationResult::Failed ? row.result : CreationResult::AlreadyExisted);
    // The same path made a prefix at a time, each on its own, comes out the same.
    EXPECT_EQ(EachPrefixAlone(*layer, path),
              row.result == CreationResult::Failed ? row.result : CreationResult::AlreadyExisted);
    EXPECT_EQ(tree(), row.tree);
    if (row.result == CreationResult::Failed && row.tree.empty() && !row.absolute) {
      StreamId stream{};
      EXPECT_TRUE(layer->CreateTextFile(path, false, false, stream));
      EXPECT_EQ(tree(), row.tree);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(OnTheFakeAndOnDisk, PathRows, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Disk" : "Fake"; });

}  // namespace
}  // namespace calendario
