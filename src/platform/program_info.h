// SPDX-License-Identifier: MIT
// Where the running program lives and which per-user folders it uses.
#pragma once

#include <string>

namespace kestrune {

// Full path of the running executable (/proc/self/exe resolved); empty when unknown. Each
// program's main reads it once and hands it down in its run context.
std::string ProgramPath();

// The file name of `programPath` without folder and extension ("romsend", "pageburn").
std::string ProgramName(const std::string& programPath);

// XDG base folders, falling back to their documented defaults under $HOME.
std::string XdgConfigHome();  // $XDG_CONFIG_HOME or ~/.config
std::string XdgStateHome();   // $XDG_STATE_HOME or ~/.local/state
// $XDG_RUNTIME_DIR when set and usable, else empty (callers pick their own /tmp fallback).
std::string XdgRuntimeDir();

// Path without its extension (the part after the last '.' of the last path component)
// followed by `ext`, which includes its own dot or not as the caller wants.
std::string ReplaceExtension(const std::string& path, const std::string& ext);

// Sets the environment variable `name` to `value` for this process and the programs it starts.
// Not thread-safe: call before other threads run.
void SetEnvironmentValue(const std::string& name, const std::string& value);

// Creates a folder and its parents (mode 0700 for new ones); true when it exists afterwards.
bool MakeFolders(const std::string& path);

}  // namespace kestrune
