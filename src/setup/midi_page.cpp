// SPDX-License-Identifier: MIT
// MIDI settings page: two device lists that follow each other, saved on OK and on leaving.
#include "setup/midi_page.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "platform/message_box.h"

namespace kestrune {
namespace {

// Extra dialog units for the labels, so their whole text shows at today's fonts; the lists and
// the button move along with them.
constexpr int kShift = 26;

// Selects the first entry that begins with `name` regardless of case, else the first entry.
void SelectByPrefix(QComboBox* list, const std::string& name, bool elseFirst) {
  const QString prefix = QString::fromStdString(name);
  for (int i = 0; i < list->count(); ++i) {
    if (list->itemText(i).startsWith(prefix, Qt::CaseInsensitive)) {
      list->setCurrentIndex(i);
      return;
    }
  }
  if (elseFirst && list->count() > 0) list->setCurrentIndex(0);
}

}  // namespace

MidiPage::MidiPage(const RunContext& context, std::unique_ptr<MidiPorts> ports, QWidget* parent)
    : ConfigPage(kTemplateId, QStringLiteral("MIDI Config"), 177 + kShift, 71, parent),
      context_(context),
      model_(context, true, std::move(ports)) {}

void MidiPage::OnInitDialog() {
  AddControl(-1, new QLabel(QStringLiteral("Input Driver")), 5, 6, 24 + kShift, 8);
  AddControl(-2, new QLabel(QStringLiteral("Output Driver")), 4, 25, 26 + kShift, 8);
  auto* input = new QComboBox;
  auto* output = new QComboBox;
  // The template's heights are those of the opened lists; closed they are one line high.
  AddControl(kIdInput, input, 35 + kShift, 3, 131, 12);
  AddControl(kIdOutput, output, 35 + kShift, 24, 131, 12);
  input->setMaxVisibleItems(101 / 8);
  output->setMaxVisibleItems(82 / 8);
  AddControl(kIdUseSerial, new QPushButton(QStringLiteral("Use Serial")), 121 + kShift, 50, 50, 14);

  const std::vector<std::string> inputs = model_.InputNames();
  if (inputs.empty()) {
    context_.boxes.Show("No MIDI devices available", "MIDI Configuration", kBoxOk, this);
    return;
  }
  for (const std::string& name : inputs) input->addItem(QString::fromStdString(name));
  SelectByPrefix(input, model_.inputName, true);
  const std::vector<std::string> outputs = model_.OutputNames();
  for (const std::string& name : outputs) output->addItem(QString::fromStdString(name));
  if (!outputs.empty()) SelectByPrefix(output, model_.outputName, true);
  connect(input, &QComboBox::currentIndexChanged, this, [this] { OnInputChanged(); });
}

void MidiPage::OnInputChanged() {
  const auto* input = ControlAs<QComboBox>(kIdInput);
  if (input->currentIndex() < 0) return;
  SelectByPrefix(ControlAs<QComboBox>(kIdOutput), input->currentText().toStdString(), false);
}

void MidiPage::OnOK() {
  if (!IsCreated()) return;  // never shown: nothing was chosen here
  // A list that has no devices to offer (an interface unplugged) keeps the stored name rather
  // than saving an empty one over it.
  const auto* output = ControlAs<QComboBox>(kIdOutput);
  const auto* input = ControlAs<QComboBox>(kIdInput);
  if (output->count() > 0) model_.outputName = output->currentText().toStdString();
  if (input->count() > 0) model_.inputName = input->currentText().toStdString();
  model_.Save();
}

void CommsMidiPage::OnInitDialog() {
  MidiPage::OnInitDialog();
  connect(ControlAs<QPushButton>(kIdUseSerial), &QPushButton::clicked, this, [this] { UseSerial(); });
}

void CommsMidiPage::UseSerial() {
  if (modeSwitch_) modeSwitch_(0);
}

bool CommsMidiPage::OnKillActive() {
  OnOK();
  return true;
}

}  // namespace kestrune
