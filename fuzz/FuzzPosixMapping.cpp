// The POSIX backend's mapping of Windows paths, against the tests' fake, which follows the same
// resolver and runs the same walk on a tree of its own: whatever follows "X:\inside\" (two
// roots, made one after the other, when the input holds a "|", which no name may hold),
// CreateFolderPath gives the same results on both and makes the same tree; nothing is ever made
// outside drive X:'s folder; and the resolved levels of a drive path never climb.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>

#include <filesystem>
#include <map>

#include "fs/FileHelpers.h"
#include "fs/FileSystemPosix.h"
#include "fs/Text.h"
#include "fs/WindowsPath.h"
#include "fuzz/FuzzInput.h"
#include "tests/FakeFileSystem.h"

using namespace calendario;
namespace stdfs = std::filesystem;

namespace {

struct Sandbox {
  Sandbox() {
    std::string pattern = (stdfs::temp_directory_path() / "calendario-fuzz-XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    stdfs::create_directories(root / "drives/x/inside");
    stdfs::create_directories(root / "outside");
  }
  ~Sandbox() { stdfs::remove_all(root); }
  stdfs::path root;
};

// The folders and files below X:\inside, as Windows paths in the host's bytes: a name reaches
// the host as the backend encodes it (Utf16ToUtf8), so the fake's names are compared encoded.
std::map<std::string, int> HostTree(const stdfs::path& inside) {
  std::map<std::string, int> tree;
  for (const auto& entry : stdfs::recursive_directory_iterator(inside)) {
    std::string path = "X:\\inside";
    for (const auto& level : stdfs::relative(entry.path(), inside)) path += "\\" + level.string();
    tree[(entry.is_directory() ? "D " : "F ") + path] = 0;
  }
  return tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Sandbox sandbox;
  const std::u16string text = fuzz::Text(data, size);
  const std::size_t bar = std::min(text.find(u'|'), text.size());
  const std::u16string path = u"X:\\inside\\" + text.substr(0, bar);
  const std::u16string then =
      bar < text.size() ? u"X:\\inside\\" + text.substr(bar + 1) : std::u16string();

  const ResolvedPath resolved = ResolveWindowsPath(path, CurrentFolder{});
  fuzz::Check(resolved.root == PathRoot::kDrive && resolved.drive == u'x');
  // A name the host cannot hold (Linux takes 255 bytes of it, Windows 255 code units) is the
  // host's limit, not the mapping's: such paths are compared by what they may not make alone.
  bool hostCanHoldIt = true;
  for (std::size_t i = 0; i < resolved.levels.size(); ++i) {
    const std::u16string_view name = resolved.levels.Name(i);
    fuzz::Check(!name.empty() && name != u"." && name != u"..");
    fuzz::Check(resolved.levels.Key(i) == KeyOf(name));
  }
  // Any prefix may make a level of its own, so every text between separators counts.
  ForEachLevelText(text, [&](std::u16string_view level, bool) {
    hostCanHoldIt = hostCanHoldIt && Utf16ToUtf8(level).size() <= 255;
  });

  // The results of both roots, as one number.
  const auto make = [&](FileSystemLayer& layer) {
    int results = static_cast<int>(CreateFolderPath(layer, path));
    if (!then.empty()) results = results * 256 + static_cast<int>(CreateFolderPath(layer, then));
    return results;
  };
  int onHost = 0;
  {
    PosixFileSystem fs((sandbox.root / "drives").string());
    onHost = make(fs);
    bool exists = false;
    (void)fs.FolderExists(path, exists);
    (void)fs.FileExists(path, exists);
  }
  testing::FakeFileSystem fake;
  fake.AddDrive(u'x');
  fake.AddFolder(u"X:\\inside");
  const int onFake = make(fake);
  std::map<std::string, int> expected;
  for (const auto& [entry, bytes] : fake.Snapshot()) {
    if (entry.rfind(u"D X:\\inside\\", 0) == 0 || entry.rfind(u"F X:\\inside\\", 0) == 0) {
      expected[Utf16ToUtf8(entry)] = 0;
    }
  }
  const std::map<std::string, int> made = HostTree(sandbox.root / "drives/x/inside");
  if (hostCanHoldIt && (onFake != onHost || made != expected)) {
    std::fprintf(stderr, "host %d, fake %d\n", onHost, onFake);
    for (const auto& entry : made) std::fprintf(stderr, "host: %s\n", entry.first.c_str());
    for (const auto& entry : expected) std::fprintf(stderr, "fake: %s\n", entry.first.c_str());
    __builtin_trap();
  }

  // Nothing beside drive X:'s folder but drive C:'s, empty (an instance of the file system is
  // had where drive C: can be), nothing in the folder outside it.
  fuzz::Check(stdfs::is_empty(sandbox.root / "outside"));
  std::size_t entries = 0;
  for (const auto& entry : stdfs::directory_iterator(sandbox.root / "drives")) {
    const bool c = entry.path().filename() == "c";
    fuzz::Check(entry.path().filename() == "x" || (c && stdfs::is_empty(entry.path())));
    entries += c ? 0 : 1;
  }
  fuzz::Check(entries == 1);
  // Start the next input from the same tree.
  for (const auto& entry : stdfs::directory_iterator(sandbox.root / "drives/x")) {
    if (entry.path().filename() != "inside") stdfs::remove_all(entry.path());
  }
  for (const auto& entry : stdfs::directory_iterator(sandbox.root / "drives/x/inside")) {
    stdfs::remove_all(entry.path());
  }
  return 0;
}
