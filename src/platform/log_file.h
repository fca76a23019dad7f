// SPDX-License-Identifier: MIT
// Opening a log file safely where others may have put something else under its name: a link
// is never followed at the last component and only a regular file is written to.
#pragma once

#include <cstdio>
#include <string>

#include "platform/file_system.h"

namespace kestrune {

// Opens `path` write-only, created (mode 0644) when missing, with O_APPEND when `append`. The
// open does not block (a FIFO cannot stall it) and fails on a symbolic link (errno ELOOP);
// anything else but a regular file under the name gives errno EINVAL. Returns the
// descriptor, in blocking mode and close-on-exec, or -1 with errno telling why.
int OpenLogFile(const std::string& path, bool append);

// OpenLogFile handed to a C stream ("ab" when appending, else "wb"). Null on failure, with
// `error` (when given) telling why.
std::FILE* OpenLogStream(const std::string& path, bool append, SystemError* error = nullptr);

}  // namespace kestrune
