// SPDX-License-Identifier: MIT
// Bytes to widget text.
#include "byte_text.h"

#include <QStringDecoder>

namespace kestrune {

QString BytesToText(std::string_view bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
  QString text = utf8(view);
  if (utf8.hasError()) return QString::fromLatin1(view);
  return text;
}

size_t WholeUtf8Length(std::string_view bytes) {
  // Look back over at most three continuation bytes for the lead byte of the last sequence.
  size_t start = bytes.size();
  for (int back = 0; back < 4 && start > 0; ++back) {
    --start;
    const auto byte = static_cast<unsigned char>(bytes[start]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation byte
    const size_t need = byte < 0x80             ? 1
                        : (byte & 0xE0) == 0xC0 ? 2
                        : (byte & 0xF0) == 0xE0 ? 3
                        : (byte & 0xF8) == 0xF0 ? 4
                                                : 1;
    return bytes.size() - start < need ? start : bytes.size();
  }
  return bytes.size();
}

}  // namespace kestrune
