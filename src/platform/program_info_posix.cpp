// SPDX-License-Identifier: MIT
// Program path and per-user folders on POSIX.
#include "program_info.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace kestrune {
namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  // The XDG rules ignore relative values.
  if (v && v[0] == '/') return v;
  return fallback;
}

}  // namespace

std::string ProgramPath() {
  char buf[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

std::string ProgramName(const std::string& programPath) {
  const size_t slash = programPath.rfind('/');
  std::string name = slash == std::string::npos ? programPath : programPath.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

std::string XdgConfigHome() {
  return EnvOr("XDG_CONFIG_HOME", HomeFolder() + "/.config");
}

std::string XdgStateHome() {
  return EnvOr("XDG_STATE_HOME", HomeFolder() + "/.local/state");
}

std::string XdgRuntimeDir() {
  std::string dir = EnvOr("XDG_RUNTIME_DIR", "");
  if (dir.empty()) return {};
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  return dir;
}

std::string ReplaceExtension(const std::string& path, const std::string& ext) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  if (dot != std::string::npos && dot > start) return path.substr(0, dot) + ext;
  return path + ext;
}

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void SetEnvironmentValue(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace kestrune
