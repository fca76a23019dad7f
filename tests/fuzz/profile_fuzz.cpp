// SPDX-License-Identifier: MIT
// Fuzzes the INI profile with any file bytes and any section, entry and value. The input up to
// its first 0xFF byte is the file; after it come the section, the entry and the value to write,
// split at NUL bytes. Besides crashes and sanitizer reports it checks the store's promises: a
// write that says it succeeded reads back as written; every other value that read before reads
// the same after it (nothing lost); a file that read as damaged is kept, byte for byte, as
// "<path>.corrupt"; and a refused write leaves the file untouched.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/profile.h"

namespace {

// The scratch folder, on tmpfs when there is one so that the store's fsync costs nothing; it
// goes when the run ends.
char g_scratch[] = "/dev/shm/kestrune-profile-fuzz-XXXXXX";
char g_scratchTmp[] = "/tmp/kestrune-profile-fuzz-XXXXXX";
const char* g_folder = nullptr;

std::string Path(const char* name) {
  return std::string(g_folder) + "/" + name;
}

void RemoveScratch() {
  for (const char* name : {"p.ini", "p.ini.lock", "p.ini.corrupt"}) std::remove(Path(name).c_str());
  rmdir(g_folder);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

// Section and entry names the file seems to hold, to probe before and after the write.
std::vector<std::pair<std::string, std::string>> Names(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> names;
  std::string section;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line) && names.size() < 64;) {
    if (!line.empty() && line[0] == '[') {
      section = line.substr(1, line.find(']') == std::string::npos ? std::string::npos : line.find(']') - 1);
    } else if (line.find('=') != std::string::npos) {
      names.emplace_back(section, line.substr(0, line.find('=')));
    }
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!g_folder) {
    g_folder = mkdtemp(g_scratch);
    if (!g_folder) g_folder = mkdtemp(g_scratchTmp);
    if (!g_folder) std::abort();
    std::atexit(RemoveScratch);
  }
  size_t fileSize = 0;
  while (fileSize < size && data[fileSize] != 0xFF) ++fileSize;
  std::vector<std::string> fields{"Comms", "Port", "/dev/ttyACM0"};
  if (fileSize < size) {
    fields.assign(1, std::string());
    for (size_t i = fileSize + 1; i < size && fields.size() <= 3; ++i) {
      if (data[i] == 0) {
        fields.emplace_back();
      } else {
        fields.back().push_back(static_cast<char>(data[i]));
      }
    }
    fields.resize(3);
  }
  const std::string& section = fields[0];
  const std::string& entry = fields[1];
  const std::string& value = fields[2];

  const std::string path = Path("p.ini");
  std::remove(Path("p.ini.corrupt").c_str());
  WriteAll(path, data, fileSize);
  const std::string original(reinterpret_cast<const char*>(data), fileSize);

  kestrune::Profile profile(path);
  const auto names = Names(original);
  std::vector<std::string> before;
  for (const auto& [s, e] : names) before.push_back(profile.GetString(s, e, "\x01none"));
  (void)profile.GetInt(section, entry, 7);
  const bool seemedCorrupt = [&] {
    // A file whose values cannot be read is one the store sees as damaged; only then may it
    // move the file aside. Probing a name the file holds tells them apart.
    for (const std::string& b : before) {
      if (b != "\x01none") return false;
    }
    return true;
  }();

  const bool written = profile.WriteString(section, entry, value);
  if (written) {
    if (profile.GetString(section, entry, "\x01none") != value) std::abort();
    const bool movedAside = access(Path("p.ini.corrupt").c_str(), F_OK) == 0;
    if (movedAside) {
      if (!seemedCorrupt || ReadAll(Path("p.ini.corrupt")) != original) std::abort();
    } else {
      for (size_t i = 0; i < names.size(); ++i) {
        const auto& [s, e] = names[i];
        if (profile.GetString(s, e, "\x01none") == before[i]) continue;
        // Only the value just written may differ, found under another spelling of its names.
        if (profile.GetString(s, e, "\x01none") != value) std::abort();
      }
    }
  } else if (ReadAll(path) != original) {
    std::abort();
  }
  return 0;
}
