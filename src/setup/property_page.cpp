// SPDX-License-Identifier: MIT
// Property page base: control registry and dialog-unit geometry.
#include "property_page.h"

#include <QFontMetrics>

namespace kestrune {

QRect DialogUnitsToPixels(const QFontMetrics& metrics, int x, int y, int width, int height) {
  // The average width over the letters of the alphabet, as dialog templates were designed with.
  const int avgWidth =
      (metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) + 26) / 52;
  const int charHeight = metrics.height();
  auto hx = [&](int du) { return (du * avgWidth + 2) / 4; };
  auto vy = [&](int du) { return (du * charHeight + 4) / 8; };
  return QRect(hx(x), vy(y), hx(width), vy(height));
}

PropertyPage::PropertyPage(int templateId, const QString& caption, int widthDu, int heightDu, QWidget* parent)
    : QWidget(parent), templateId_(templateId), caption_(caption) {
  const QRect size = DialogUnitsToPixels(fontMetrics(), 0, 0, widthDu, heightDu);
  setMinimumSize(size.width(), size.height());
}

QWidget* PropertyPage::Control(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void PropertyPage::Create() {
  if (created_) return;
  created_ = true;
  OnInitDialog();
}

void PropertyPage::AddControl(int id, QWidget* control, int x, int y, int width, int height) {
  control->setParent(this);
  control->setGeometry(DialogUnitsToPixels(fontMetrics(), x, y, width, height));
  control->show();  // controls made after the page is shown stay hidden otherwise
  controls_[id] = control;
}

}  // namespace kestrune
