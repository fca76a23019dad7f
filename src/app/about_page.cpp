// SPDX-License-Identifier: MIT
// The about page and box.
#include "about_page.h"

#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "updates/version_text.h"

namespace kestrune {

AboutPage::AboutPage(QWidget* parent) : PropertyPage(kTemplateId, QStringLiteral("About ..."), 129, 50, parent) {}

void AboutPage::OnInitDialog() {
  // The frame and the notice have no ids of their own; they are placed like the controls.
  auto* frame = new QGroupBox(this);
  frame->setGeometry(DialogUnitsToPixels(fontMetrics(), 7, 4, 115, 38));
  frame->show();
  AddControl(kIdVersion, new QLabel(QStringLiteral("Romsend Version 1.61")), 14, 12, 104, 10);
  notice_ = new QLabel(QString::fromLatin1(kMakerNotice), this);
  notice_->setGeometry(DialogUnitsToPixels(fontMetrics(), 14, 25, 104, 10));
  notice_->show();
  AddControl(kIdOk, new QPushButton(QStringLiteral("OK")), 72, 30, 50, 14);
  // Nothing to confirm: the page and the box both do without their OK.
  Control(kIdOk)->hide();
}

bool AboutPage::OnSetActive() {
  if (!IsCreated()) Create();
  SetVersionCaption(
      [this](int id, const std::string& text) {
        if (auto* label = ControlAs<QLabel>(id)) label->setText(QString::fromStdString(text));
      },
      kIdVersion, "Romsend");
  return true;
}

QDialog* AboutPage::CreateBox(QWidget* parent) {
  auto* box =
      new QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  box->setWindowTitle(QStringLiteral("About ..."));
  auto* page = new AboutPage(box);
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(page);
  page->Create();
  page->OnSetActive();
  return box;
}

int AboutPage::DoModal(QWidget* parent) {
  // The box may go with its parent while it runs; the guard notices that.
  QPointer<QDialog> box = CreateBox(parent);
  const int result = box->exec();
  delete box.data();
  return result;
}

}  // namespace kestrune
