// SPDX-License-Identifier: MIT
// Test main: every test process gets its own config, state and lock folders and working folder,
// so no test sees another's profile, log or port lock.
#include "test_env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace kestrune::test {
namespace {
std::string g_root;
std::string g_programPath;
std::atomic<unsigned> g_counter{0};
}  // namespace

const std::string& TestRoot() {
  return g_root;
}

const std::string& TestProgramPath() {
  return g_programPath;
}

TempDir::TempDir() {
  path_ = g_root + "/tmp-" + std::to_string(g_counter++);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  hadOld_ = old != nullptr;
  if (old) old_ = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (hadOld_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool FileExists(const std::string& path) {
  return std::filesystem::exists(path);
}

bool WaitFor(const std::function<bool()>& done, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace kestrune::test

int main(int argc, char** argv) {
  using namespace kestrune::test;
  char templ[] = "/tmp/kestrune-test-XXXXXX";
  if (!mkdtemp(templ)) return 2;
  g_root = templ;
  for (const char* sub : {"config", "state", "runtime", "work", "bin"})
    std::filesystem::create_directories(g_root + "/" + sub);
  std::filesystem::permissions(g_root + "/runtime", std::filesystem::perms::owner_all);
  setenv("XDG_CONFIG_HOME", (g_root + "/config").c_str(), 1);
  setenv("XDG_STATE_HOME", (g_root + "/state").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (g_root + "/runtime").c_str(), 1);
  if (chdir((g_root + "/work").c_str()) != 0) return 2;
  // Logs named after the program land in the temp root, not beside the test binary.
  const std::string self = argv[0];
  g_programPath = g_root + "/bin/" + self.substr(self.rfind('/') + 1);

  testing::InitGoogleMock(&argc, argv);
  const int rc = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(g_root, ec);
  return rc;
}
