// SPDX-License-Identifier: MIT
// The property page that the sheet's pages build on: a widget made from a dialog template,
// whose controls keep their numeric ids and their geometry in dialog units.
#pragma once

#include <QRect>
#include <QString>
#include <QWidget>
#include <map>

namespace kestrune {

// Dialog units to pixels by the font's metrics: a horizontal unit is a quarter of the average
// character width, a vertical unit an eighth of the character height.
QRect DialogUnitsToPixels(const QFontMetrics& metrics, int x, int y, int width, int height);

// All calls on the GUI thread. The sheet calls Create once before the page is first shown,
// OnSetActive whenever it becomes the current page, OnKillActive when the user leaves it (a
// false answer keeps the user on it) and OnOK when the sheet closes with "Finished".
class PropertyPage : public QWidget {
 public:
  PropertyPage(int templateId, const QString& caption, int widthDu, int heightDu, QWidget* parent = nullptr);

  int TemplateId() const { return templateId_; }
  const QString& Caption() const { return caption_; }

  // The control with the given id, or null.
  QWidget* Control(int id) const;
  template <class T>
  T* ControlAs(int id) const {
    return dynamic_cast<T*>(Control(id));
  }

  void Create();
  bool IsCreated() const { return created_; }

  virtual bool OnSetActive() { return true; }
  virtual bool OnKillActive() { return true; }
  virtual void OnOK() {}
  virtual void OnCancel() {}

 protected:
  // Builds the controls and runs the page's own opening steps; called once by Create.
  virtual void OnInitDialog() {}
  // Registers `control` under `id` and places it at the given dialog-unit rectangle.
  void AddControl(int id, QWidget* control, int x, int y, int width, int height);

 private:
  int templateId_;
  QString caption_;
  std::map<int, QWidget*> controls_;
  bool created_ = false;
};

}  // namespace kestrune
