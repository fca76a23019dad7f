// SPDX-License-Identifier: MIT
// Checks an update file as a whole before the unit is contacted: a unit erases its flash on
// the first frame, so a file that cannot be sent whole must be refused before any byte goes out.
#pragma once

#include <string>

#include "protocol/protocol_engine.h"
#include "updates/buffered_file_reader.h"

namespace kestrune {

// The prefix of every refusal's status text, in the style of the list's bad entries.
inline constexpr char kBadFileText[] = "Bad File !! ";

// Whether `path`, links followed, names a regular file; devices, FIFOs, sockets and folders
// are no update files (a link to /dev/zero would never end). False when it cannot be looked up.
bool IsRegularFile(const std::string& path);

// Reads the whole BAM layout of `file` (title record, image header, size table) and holds it
// against the file's length, as the transfer will read it. Returns an empty text when the file
// can be sent whole, else why it cannot. The file's position is back at its start afterwards.
std::string CheckBamLayout(BufferedFileReader& file);

// Whether a HEX file is plainly incomplete: empty (no line at all), its last line cut without
// a line end (the line cutter would drop it), or its last record not an end-of-file record
// (type 01). Lines are those of the HEX line transfer's cutter. Empty text when complete. The
// file's position is back at its start afterwards.
std::string CheckHexComplete(BufferedFileReader& file);

// Shows a refused send's status text through `printer` and writes it with the time and the
// file's path to the engine's result log. `text` is shown as it stands (no format conversions).
void ReportRefusedFile(Sender& engine, const StatusPrinter& printer, const std::string& path, const std::string& text);

}  // namespace kestrune
