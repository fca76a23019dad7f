// SPDX-License-Identifier: MIT
// Helpers every test uses: temp folders, scoped environment variables and bounded waits.
#pragma once

#include <functional>
#include <string>

namespace kestrune::test {

// A fresh folder under the test's temp root, removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or with nullptr unsets) one environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool hadOld_;
};

// The per-process root the test main made: XDG_CONFIG_HOME, XDG_STATE_HOME and
// XDG_RUNTIME_DIR point into it and the working folder is inside it.
const std::string& TestRoot();

// Where the test program pretends to stand: "<root>/bin/<its file name>", so the logs, help
// and parameter files named after the program land in the temp root. Test contexts carry it.
const std::string& TestProgramPath();

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// Polls `done` every millisecond for at most `ms`; the bound only keeps a broken build from
// hanging, it is not what the test checks.
bool WaitFor(const std::function<bool()>& done, int ms = 5000);

}  // namespace kestrune::test
