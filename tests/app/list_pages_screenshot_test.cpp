// SPDX-License-Identifier: MIT
// Renders the update list, the instructions page and the about page into PNG files in the build
// folder (screenshots/), so layout faults can be seen, and checks that their texts fit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <climits>
#include <filesystem>

#include "app/about_page.h"
#include "app/help_dialog.h"
#include "app/update_list.h"
#include "bam_image.h"
#include "qt_app.h"
#include "test_env.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

// Beside the test binary itself (the program path the tests see is a stand-in in the temp root).
std::string ScreenshotFolder() {
  char self[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", self, PATH_MAX);
  const fs::path folder =
      (n > 0 ? fs::path(std::string(self, static_cast<size_t>(n))).parent_path() : fs::path(".")) / "screenshots";
  fs::create_directories(folder);
  return folder.string();
}

void Save(QWidget& widget, const std::string& name) {
  widget.show();
  QApplication::processEvents();
  const QPixmap shot = widget.grab();
  EXPECT_FALSE(shot.isNull()) << name;
  EXPECT_TRUE(shot.save(QString::fromStdString(ScreenshotFolder() + "/" + name))) << name;
}

// A label shows all of its text when its size is at least what the text needs.
void ExpectFits(const QLabel* label) {
  EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
  EXPECT_GE(label->height(), label->fontMetrics().height()) << label->text().toStdString();
}

TEST(ListPagesScreenshot, UpdateListHelpAndAbout) {
  test::EnsureQtApp();
  const fs::path old = fs::current_path();
  test::TempDir folder;
  fs::current_path(folder.Path());
  for (const char* title : {"Kestrune_Demo_Update_1.61", "New_Vocoder_2", "Q"}) {
    bamgen::BamImage image = bamgen::SampleBam();
    image.title = title;
    const std::vector<uint8_t> bytes = bamgen::BuildBam(image);
    test::WriteFileBytes(std::string(title) + ".bam", std::string(bytes.begin(), bytes.end()));
  }
  test::WriteFileBytes("Kestrune_Demo.hex", bamgen::SampleHex());
  test::WriteFileBytes("broken.bam", "no title");

  for (int mode : {kSortTextAscending, kSortDateAscending}) {
    // The list at its place on the main page: 331 x 44 dialog units.
    QWidget page;
    QListWidget list(&page);
    list.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    const QRect place = DialogUnitsToPixels(page.fontMetrics(), 7, 7, 331, 44);
    list.setGeometry(place);
    page.resize(DialogUnitsToPixels(page.fontMetrics(), 0, 0, 345, 58).size());
    PrepareUpdateListControl(&list);
    UpdateListOptions options;
    options.sortMode = mode;
    options.readLastFile = [] { return std::string("<none>"); };
    FillUpdateList(&list, nullptr, options);
    ASSERT_EQ(list.count(), 5);
    Save(page, mode == kSortTextAscending ? "update_list.png" : "update_list_by_date.png");
    // Every entry, date column included, fits the list's width.
    for (int row = 0; row < list.count(); ++row) {
      QStyleOptionViewItem option;
      option.initFrom(list.viewport());
      const QSize need = list.itemDelegate()->sizeHint(option, list.model()->index(row, 0));
      EXPECT_LE(need.width(), list.viewport()->width()) << list.item(row)->text().toStdString();
    }
  }
  fs::current_path(old);

  int commsMode = 0;
  HelpDialog help(test::TestProgramPath(), commsMode);
  help.Create();
  help.OnSetActive();
  help.resize(help.minimumSize());
  Save(help, "instructions_page.png");
  const auto* text = help.ControlAs<QPlainTextEdit>(HelpDialog::kIdText);
  EXPECT_LE(text->geometry().right(), help.width());
  EXPECT_LE(text->geometry().bottom(), help.height());

  AboutPage about;
  about.Create();
  about.OnSetActive();
  about.resize(about.minimumSize());
  Save(about, "about_page.png");
  ExpectFits(about.ControlAs<QLabel>(AboutPage::kIdVersion));
  ExpectFits(about.NoticeLabel());
}

}  // namespace
}  // namespace kestrune
