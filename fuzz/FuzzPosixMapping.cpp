// The POSIX backend's mapping of Windows paths: whatever follows "X:\", nothing is ever made
// outside drive X:'s folder, and the resolved levels of a drive path never climb.
#include <stdlib.h>

#include <filesystem>

#include "fs/FileHelpers.h"
#include "fs/FileSystemPosix.h"
#include "fs/WindowsPath.h"
#include "fuzz/FuzzInput.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Sandbox sandbox;
  const std::u16string path = u"X:\\inside\\" + fuzz::Text(data, size);

  const ResolvedPath resolved = ResolveWindowsPath(path, CurrentFolder{});
  fuzz::Check(resolved.root == PathRoot::kDrive && resolved.drive == u'x');
  for (std::size_t i = 0; i < resolved.levels.size(); ++i) {
    const std::u16string_view name = resolved.levels.Name(i);
    fuzz::Check(!name.empty() && name != u"." && name != u"..");
    fuzz::Check(resolved.levels.Key(i) == KeyOf(name));
  }

  {
    PosixFileSystem fs((sandbox.root / "drives").string());
    bool exists = false;
    (void)fs.FolderExists(path, exists);
    (void)fs.FileExists(path, exists);
    (void)fs.CreateFolder(path);
    (void)CreateFolderPath(fs, path);
  }
  // Nothing beside drive X:'s folder, nothing in the folder outside it.
  fuzz::Check(stdfs::is_empty(sandbox.root / "outside"));
  std::size_t entries = 0;
  for (const auto& entry : stdfs::directory_iterator(sandbox.root / "drives")) {
    fuzz::Check(entry.path().filename() == "x");
    ++entries;
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
