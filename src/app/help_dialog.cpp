// SPDX-License-Identifier: MIT
// The instructions page and where its text comes from.
#include "help_dialog.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <cstring>

#include "app/byte_text.h"
#include "platform/file_system.h"
#include "updates/split_path.h"

namespace kestrune {

const char kBuiltInInstructions[] =
    "Read any release notes for the update carefully before starting.\r\n\r\n"
    "1) Power down the Quellotron(R).\r\n\r\n"
    "2) Connect a 9 pin serial cable from the back of the Quellotron to the COM port on your PC.\r\n\r\n"
    "3) If necessary, configure the COM port (\"Comms Setup\"). Use the default settings unless you have a "
    "valid reason to do otherwise.\r\n\r\n"
    "4) Power up the Quellotron, holding down the '2' key until asked to release it.\r\n\r\n"
    "5) For Brantle, make sure the version number in the \"Powering On..\" message is V1.080 or above.\r\n\r\n"
    "6) Hit 'Send' or double-click on the name of the update you want to send.\r\n\r\n"
    "The download process can take up to ten minutes, or longer at lower speeds.\r\n\r\n"
    "The use of this program on Macs is not currently supported.";

std::vector<std::string> HelpFileCandidates(const std::string& programPath, int commsMode) {
  if (programPath.empty()) return {};
  const std::string name = commsMode != 0 ? "midi_help.txt" : "help.txt";
  const PathParts parts = SplitPathParts(programPath);
  const std::string folder = parts.drive + parts.folder;
  std::vector<std::string> paths{folder + name};
  // An installed program lives in <prefix>/bin and its data in <prefix>/share/romsend.
  std::string bin = folder;
  while (bin.size() > 1 && bin.back() == '/') bin.pop_back();
  const size_t slash = bin.rfind('/');
  if (bin.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, "bin") == 0) {
    const std::string prefix = slash == std::string::npos ? std::string() : bin.substr(0, slash + 1);
    paths.push_back(prefix + "share/romsend/" + name);
  }
  return paths;
}

std::optional<std::string> ReadHelpFile(const std::string& path, size_t maxBytes) {
  ReadOnlyFile file;
  if (file.Open(path)) return std::nullopt;
  FileInfo info;
  if (file.Info(info) || !info.IsRegular()) return std::nullopt;
  std::string text;
  char chunk[16384];
  bool ended = false;  // a NUL was met: the text stops there
  while (!ended && text.size() < maxBytes) {
    const std::ptrdiff_t n = file.ReadSome(chunk, std::min(sizeof chunk, maxBytes - text.size()));
    if (n <= 0) break;
    const size_t count = static_cast<size_t>(n);
    const size_t textLength = strnlen(chunk, count);
    ended = textLength < count;
    text.append(chunk, textLength);
  }
  file.Close();
  // Text cut at the limit must not end inside a character, or it would no longer read as UTF-8.
  if (!ended && text.size() >= maxBytes) text.resize(WholeUtf8Length(text));
  return text;
}

QString LoadInstructions(const std::string& programPath, int commsMode) {
  for (const std::string& path : HelpFileCandidates(programPath, commsMode)) {
    if (const std::optional<std::string> text = ReadHelpFile(path, HelpDialog::kMaxHelpBytes))
      return BytesToText(*text);
  }
  return QString::fromLatin1(kBuiltInInstructions);
}

HelpDialog::HelpDialog(std::string programPath, int& mode, QWidget* parent)
    : PropertyPage(kTemplateId, QStringLiteral("Instructions"), 291, 79, parent),
      commsMode(mode),
      programPath_(std::move(programPath)) {}

void HelpDialog::OnInitDialog() {
  auto* text = new QPlainTextEdit;
  text->setReadOnly(true);
  text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  AddControl(kIdText, text, 7, 2, 277, 70);
  auto* unused = new QLineEdit;
  unused->setReadOnly(true);
  AddControl(kIdUnused, unused, 7, 58, 40, 14);
  unused->hide();  // it would stand over the instructions
}

bool HelpDialog::OnSetActive() {
  if (!IsCreated()) Create();
  instructions = LoadInstructions(programPath_, commsMode);
  // Help files written on any system: CR LF, LF and CR all end a line here.
  QString shown = instructions;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  ControlAs<QPlainTextEdit>(kIdText)->setPlainText(shown);
  return true;
}

}  // namespace kestrune
