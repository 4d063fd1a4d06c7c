// A fixture for tests on a real file system: a fresh temporary folder per test, reached by
// the platform's own backend through a Windows path, and read back through the host.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "fs/FileSystem.h"

namespace calendario::testing {

class RealDisk : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  FileSystemLayer& Layer() { return *layer_; }
  // The Windows path of a place in the test's folder: Win(u"a\\b") is <root>\a\b.
  std::u16string Win(std::u16string_view relative = {}) const;
  // The same place as the host names it.
  std::filesystem::path Host(std::u16string_view relative = {}) const;

  bool IsFolder(std::u16string_view relative) const;
  bool IsFile(std::u16string_view relative) const;
  bool Exists(std::u16string_view relative) const;
  std::string Read(std::u16string_view relative) const;  // the file's bytes
  void Write(std::u16string_view relative, const std::string& bytes) const;
  void MakeFolder(std::u16string_view relative) const;  // with every missing level

  std::unique_ptr<FileSystemLayer> layer_;
  std::u16string winRoot_;
  std::filesystem::path hostRoot_;
  std::filesystem::path tempRoot_;  // removed at the end: holds hostRoot_ and anything else
};

// A unique, empty temporary folder, as the host names it.
std::filesystem::path MakeTempFolder();

// How many levels named `level` lie one inside the other below `top`, counted without
// handing the host any path longer than it accepts.
int CountNestedLevels(const std::filesystem::path& top, const std::string& level);

}  // namespace calendario::testing
