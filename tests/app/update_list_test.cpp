// SPDX-License-Identifier: MIT
// The update file list: which files are listed and how, the sort orders, the selection at opening
// and the first status text.
#include "app/update_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <ctime>
#include <filesystem>

#include "bam_image.h"
#include "platform/profile.h"
#include "qt_app.h"
#include "setup/property_page.h"
#include "test_env.h"

namespace kestrune {
namespace {

using test::TempDir;
using test::WriteFileBytes;

// Runs a test inside its own folder, as romsend runs in the folder of the update files.
class InFolder {
 public:
  InFolder() : old_(std::filesystem::current_path()) { std::filesystem::current_path(dir_.Path()); }
  ~InFolder() { std::filesystem::current_path(old_); }
  const std::string& Path() const { return dir_.Path(); }

 private:
  TempDir dir_;
  std::filesystem::path old_;
};

void WriteBam(const std::string& path, const std::string& title) {
  bamgen::BamImage image = bamgen::SampleBam();
  image.title = title;
  const std::vector<uint8_t> bytes = bamgen::BuildBam(image);
  WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
}

// Sets a file's modification time to a local date and time.
void SetLocalTime(const std::string& path, int year, int month, int day, int hour = 12, int minute = 0,
                  int second = 0) {
  struct tm when {};
  when.tm_year = year - 1900;
  when.tm_mon = month - 1;
  when.tm_mday = day;
  when.tm_hour = hour;
  when.tm_min = minute;
  when.tm_sec = second;
  when.tm_isdst = -1;
  const struct timespec times[2] = {{mktime(&when), 0}, {mktime(&when), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::vector<QString> Texts(const QListWidget& list) {
  std::vector<QString> texts;
  for (int i = 0; i < list.count(); ++i) texts.push_back(list.item(i)->text());
  return texts;
}

std::vector<QString> Texts(const std::vector<UpdateEntry>& entries) {
  std::vector<QString> texts;
  for (const UpdateEntry& entry : entries) texts.push_back(entry.text);
  return texts;
}

size_t IndexOf(const std::vector<QString>& texts, const QString& text) {
  return static_cast<size_t>(std::find(texts.begin(), texts.end(), text) - texts.begin());
}

UpdateListOptions Options(int sortMode, std::vector<std::string> patterns = {}) {
  UpdateListOptions options;
  options.patterns = std::move(patterns);
  options.sortMode = sortMode;
  return options;
}

struct Filled {
  // The application must exist before the widgets below are built.
  struct QtAppFirst {
    QtAppFirst() { test::EnsureQtApp(); }
  } app;
  QListWidget list;
  QLineEdit status;
  QString result;
  std::vector<std::string> paths;
  int lastFileReads = 0;

  explicit Filled(UpdateListOptions options, const std::string& lastFile = "<none>") {
    PrepareUpdateListControl(&list);
    options.pathList = &paths;
    if (!options.readLastFile) {
      options.readLastFile = [this, lastFile] {
        ++lastFileReads;
        return lastFile;
      };
    }
    result = FillUpdateList(&list, &status, options);
  }
  std::optional<std::string> PathAt(int row) const { return UpdateEntryPath(list.item(row)); }
};

TEST(UpdateList, DefaultPatternsListBamAndHexFilesInSearchOrder) {
  InFolder folder;
  WriteBam("a.bam", "Alpha");
  SetLocalTime("a.bam", 2024, 3, 5, 14, 7, 9);
  WriteFileBytes("b.hex", ":00000001FF\r\n");
  WriteFileBytes("c.hex2", ":00000001FF\r\n");
  WriteFileBytes("d.txt", "notes");
  WriteFileBytes("e.hex1", ":00000001FF\r\n");

  Filled run(Options(kSortNone));
  const std::vector<QString> texts = Texts(run.list);
  ASSERT_EQ(texts.size(), 4u);
  // The BAM search runs first, so its file leads in search order.
  EXPECT_EQ(texts[0], QStringLiteral("Alpha\t(a.bam)\t03/05/24"));
  for (const char* hex : {"b.hex", "c.hex2", "e.hex1"}) {
    const size_t at = IndexOf(texts, QString::fromLatin1(hex));
    ASSERT_LT(at, texts.size()) << hex;
    EXPECT_EQ(run.PathAt(static_cast<int>(at)), std::optional<std::string>(hex));
  }
  EXPECT_EQ(run.PathAt(0), std::optional<std::string>("a.bam"));
  EXPECT_EQ(run.paths.size(), 4u);
  EXPECT_EQ(run.result, QStringLiteral("select a file and hit 'SEND'"));
  EXPECT_EQ(run.status.text(), run.result);

  // The date sort modes show the time of day too, in parentheses.
  Filled byDate(Options(kSortDateAscending, {"*.bam"}));
  EXPECT_EQ(Texts(byDate.list), std::vector<QString>{QStringLiteral("Alpha\t(a.bam)\t(03/05/24 14:07:09)")});
}

TEST(UpdateList, EveryFilePatternMarksBadFiles) {
  InFolder folder;
  std::filesystem::create_directories("updates/sub");
  WriteBam("updates/good.bam", "Good");
  SetLocalTime("updates/good.bam", 2022, 7, 4);
  WriteBam("updates/sub/deep.bam", "Deep");  // subfolders are not searched
  WriteFileBytes("updates/x.hex", ":00000001FF\r\n");
  WriteFileBytes("updates/notes.txt", "notes");
  WriteFileBytes("updates/empty.bam", "");
  WriteFileBytes("updates/cut.bam", std::string("\x07Title", 6));  // record ends early
  ASSERT_EQ(mkfifo("updates/pipe.bam", 0600), 0);                  // opening it for reading would block
  // Named like HEX files but no regular files: cutting lines from them would never end.
  ASSERT_EQ(symlink("/dev/zero", "updates/z.hex"), 0);
  ASSERT_EQ(mkfifo("updates/fifo.hex", 0600), 0);

  Filled run(Options(kSortTextAscending, {"updates/*.*"}));
  const std::vector<QString> texts = Texts(run.list);
  const std::vector<QString> expected = {
      QStringLiteral("Good\t(updates/good.bam)\t07/04/22"), QStringLiteral("updates/cut.bam !! Bad File !!"),
      QStringLiteral("updates/empty.bam !! Bad File !!"),   QStringLiteral("updates/notes.txt !! Bad File !!"),
      QStringLiteral("updates/pipe.bam !! Bad File !!"),    QStringLiteral("updates/x.hex"),
      QStringLiteral("updates/z.hex !! Bad File !!"),       QStringLiteral("updates/fifo.hex !! Bad File !!"),
  };
  ASSERT_EQ(texts.size(), expected.size());
  for (const QString& text : expected) EXPECT_LT(IndexOf(texts, text), texts.size()) << text.toStdString();
  for (int row = 0; row < run.list.count(); ++row) {
    const bool bad = run.list.item(row)->text().endsWith(QStringLiteral(" !! Bad File !!"));
    EXPECT_EQ(run.PathAt(row).has_value(), !bad) << row;
  }
  EXPECT_EQ(run.paths, (std::vector<std::string>{"updates/good.bam", "updates/x.hex"}));

  // Several patterns (a glob the shell expanded) are each searched on their own.
  Filled named(Options(kSortNone, {"updates/x.hex", "", "updates/good.bam"}));
  EXPECT_EQ(named.paths, (std::vector<std::string>{"updates/x.hex", "updates/good.bam"}));
}

TEST(UpdateList, EntryTextsShowTitlesAndShortPaths) {
  InFolder folder;
  // A title and the file list: underscores shown as blanks; paths cut to their last 32 characters.
  const std::string forty = "abcdefghijklmnopqrstuvwxyz0123456789.bam";
  const std::string thirtyTwo = "abcdefghijklmnopqrstuvwxyz01.bam";
  ASSERT_EQ(forty.size(), 40u);
  ASSERT_EQ(thirtyTwo.size(), 32u);
  WriteBam(forty, "New_Vocoder_2");
  WriteBam(thirtyTwo, "Short_one");
  EXPECT_TRUE(MakeUpdateEntry(forty, kSortTextAscending)
                  .text.startsWith(QStringLiteral("New Vocoder 2\t(...ijklmnopqrstuvwxyz0123456789.bam)\t")));
  EXPECT_TRUE(MakeUpdateEntry(thirtyTwo, kSortTextAscending)
                  .text.startsWith(QStringLiteral("Short one\t(abcdefghijklmnopqrstuvwxyz01.bam)\t")));
  EXPECT_EQ(ShortPath(std::string(33, 'x')), QStringLiteral("...") + QString(32, QLatin1Char('x')));
  // Characters, not bytes: a name is never cut inside a character.
  EXPECT_EQ(ShortPath(std::string(40, 'x') + "\xc3\xa9.bam"),
            QStringLiteral("...") + QString(27, QLatin1Char('x')) + QStringLiteral("\u00e9.bam"));
}

TEST(UpdateList, SortModes) {
  InFolder folder;
  WriteBam("g.bam", "Gamma");
  SetLocalTime("g.bam", 2021, 6, 1);
  WriteBam("a.bam", "Alpha");
  SetLocalTime("a.bam", 2023, 1, 15);
  WriteBam("b.bam", "Beta");
  SetLocalTime("b.bam", 2019, 11, 30);
  WriteFileBytes("z.hex", ":00000001FF\r\n");  // no date: counts as 1 January 2000

  auto order = [](int mode) {
    Filled run(Options(mode));
    std::vector<std::string> paths;
    for (int row = 0; row < run.list.count(); ++row) paths.push_back(run.PathAt(row).value_or("?"));
    return paths;
  };
  using Paths = std::vector<std::string>;
  const Paths ascending = order(kSortTextAscending);
  EXPECT_EQ(ascending, (Paths{"a.bam", "b.bam", "g.bam", "z.hex"}));
  EXPECT_EQ(order(kSortTextDescending), Paths(ascending.rbegin(), ascending.rend()));
  EXPECT_EQ(order(kSortDateAscending), (Paths{"z.hex", "b.bam", "g.bam", "a.bam"}));
  EXPECT_EQ(order(kSortDateDescending), (Paths{"a.bam", "g.bam", "b.bam", "z.hex"}));
  for (int unsorted : {0, 7, -1}) {
    const Paths found = order(unsorted);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found.back(), "z.hex") << unsorted;  // BAM files come before HEX files
  }
}

TEST(UpdateList, DateComparison) {
  const struct {
    const char* a;
    const char* b;
    int result;
  } rows[] = {
      {"x\t(p)\t(12/31/49 00:00:00)", "x\t(p)\t(01/01/50 00:00:00)", 1},  // 2049 after 1950
      {"x\t(p)\t(01/01/99 00:00:00)", "x\t(p)\t(01/01/00 00:00:00)", -1},
      {"x\t(p)\t(03/05/24 10:00:00)", "x\t(p)\t(03/05/24 09:59:59)", 1},
      {"b.hex", "(01/01/00", 1},               // same time (no date counts as 1/1/2000): text order
      {"a(5/6/07", "b(5/6/07 00:00:00)", -1},  // fields missing count as zero
      {"z(5-6-07", "a(4/30/00)", 1},           // reading stops at the first field that does not match
  };
  for (const auto& row : rows) {
    EXPECT_EQ(CompareEntryDate(QString::fromLatin1(row.a), QString::fromLatin1(row.b)), row.result) << row.a;
    EXPECT_EQ(CompareEntryDate(QString::fromLatin1(row.b), QString::fromLatin1(row.a)), -row.result) << row.a;
  }

  // Numbers out of range must neither stop the program nor lose an entry; each keeps its path.
  std::vector<UpdateEntry> entries;
  const char* odd[] = {"up(13/45/99 25:61:61)/a.hex",
                       "up(99999999999999/1/1)/b.hex",
                       "up(-7/-99999999999/1)/c.hex",
                       "up(1/1/2147483647 2147483647:2147483647:0)/d.hex",
                       "up(0/0/0)/e.hex",
                       "f.hex",
                       "Title\t(g.bam)\t(02/29/23 00:00:00)"};
  for (const char* text : odd) entries.push_back({QString::fromLatin1(text), std::string(text) + "#path"});
  for (int mode : {kSortDateAscending, kSortDateDescending}) {
    std::vector<UpdateEntry> sorted = entries;
    SortUpdateEntries(sorted, mode);
    ASSERT_EQ(sorted.size(), entries.size());
    for (const UpdateEntry& entry : sorted) EXPECT_EQ(entry.path, entry.text.toStdString() + "#path");
    for (size_t i = 1; i < sorted.size(); ++i) {
      const int c = CompareEntryDate(sorted[i - 1].text, sorted[i].text);
      EXPECT_EQ(c, mode == kSortDateAscending ? -1 : 1) << sorted[i].text.toStdString();
    }
  }
}

TEST(UpdateList, TextComparisonFollowsTheLocale) {
  test::EnsureQtApp();
  const QLocale before;
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  // Collation puts "apple" before "Banana", where byte order would not; case still counts.
  EXPECT_LT(CompareEntryText(QStringLiteral("apple"), QStringLiteral("Banana")), 0);
  EXPECT_NE(CompareEntryText(QStringLiteral("alpha"), QStringLiteral("Alpha")), 0);
  std::vector<UpdateEntry> entries = {
      {QStringLiteral("banana"), "1"}, {QStringLiteral("Cherry"), "2"}, {QStringLiteral("apple"), std::nullopt}};
  SortUpdateEntries(entries, kSortTextAscending);
  EXPECT_EQ(Texts(entries), (std::vector<QString>{"apple", "banana", "Cherry"}));
  EXPECT_EQ(entries[0].path, std::nullopt);
  EXPECT_EQ(entries[2].path, std::optional<std::string>("2"));
  QLocale::setDefault(before);
}

TEST(UpdateList, SelectionAndFirstStatusText) {
  InFolder folder;
  // No files.
  Filled none(Options(kSortTextAscending));
  EXPECT_EQ(none.list.count(), 0);
  EXPECT_EQ(none.list.currentRow(), -1);
  EXPECT_EQ(none.status.text(), QStringLiteral("!! No download files found !!"));

  // One file: selected, whatever "LastFile" names, which is not even read.
  WriteBam("one.bam", "One");
  Filled one(Options(kSortTextAscending), "other.bam");
  EXPECT_EQ(one.list.currentRow(), 0);
  EXPECT_TRUE(one.list.item(0)->isSelected());
  EXPECT_EQ(one.lastFileReads, 0);
  EXPECT_EQ(one.status.text(), QStringLiteral("When system is ready, hit 'SEND'"));

  // Several: "LastFile" picks its entry, byte for byte.
  WriteFileBytes("two.hex", ":00000001FF\r\n");
  WriteFileBytes("zz.bam", "not a bam");  // bad file: its text holds the path, but it has none attached
  Filled picked(Options(kSortTextAscending), "two.hex");
  ASSERT_EQ(picked.list.count(), 3);
  EXPECT_EQ(picked.PathAt(picked.list.currentRow()), std::optional<std::string>("two.hex"));
  EXPECT_EQ(picked.list.selectedItems().size(), 1);
  EXPECT_EQ(picked.lastFileReads, 1);
  EXPECT_EQ(picked.status.text(), QStringLiteral("select a file and hit 'SEND'"));
  for (const char* other : {"TWO.HEX", "zz.bam", "<none>"}) {
    Filled first(Options(kSortTextAscending), other);
    EXPECT_EQ(first.list.currentRow(), 0) << other;
  }

  // A batch run keeps the first entry.
  UpdateListOptions batch = Options(kSortTextAscending);
  batch.batch = true;
  Filled batchRun(batch, "two.hex");
  EXPECT_EQ(batchRun.list.currentRow(), 0);
  EXPECT_EQ(batchRun.lastFileReads, 0);

  // Without a reader the last file chooses nothing: the first entry is selected.
  UpdateListOptions noReader = Options(kSortTextAscending);
  noReader.readLastFile = nullptr;
  QListWidget list;
  FillUpdateList(&list, nullptr, noReader);
  EXPECT_EQ(list.currentRow(), 0);
}

TEST(UpdateList, PartsStartAtTheTabStops) {
  test::EnsureQtApp();
  QListWidget list;
  const QFontMetrics metrics = list.fontMetrics();
  const int at120 = DialogUnitsToPixels(metrics, 120, 0, 0, 0).x();
  const int at180 = DialogUnitsToPixels(metrics, 180, 0, 0, 0).x();
  const TabStopDelegate delegate({120, 180});
  EXPECT_EQ(delegate.PartPositions(metrics, {"Alpha", "(a.bam)", "03/05/24"}), (std::vector<int>{0, at120, at180}));
  // A part running past a stop pushes the next one to the following stop, and past the last
  // stop a blank further on; parts never overlap.
  const QString longTitle(80, QLatin1Char('W'));
  const std::vector<int> pushed = delegate.PartPositions(metrics, {longTitle, "(p)", "d"});
  const int titleEnd = metrics.horizontalAdvance(longTitle);
  ASSERT_GT(titleEnd, at180);
  EXPECT_EQ(pushed[1], titleEnd + metrics.horizontalAdvance(QLatin1Char(' ')));
  EXPECT_GT(pushed[2], pushed[1] + metrics.horizontalAdvance(QStringLiteral("(p)")));
  QString between;
  while (metrics.horizontalAdvance(between) <= at120) between += QLatin1Char('x');
  ASSERT_LT(metrics.horizontalAdvance(between), at180);
  const std::vector<int> middle = delegate.PartPositions(metrics, {between, "(p)", "d"});
  EXPECT_EQ(middle[1], at180);
  EXPECT_EQ(middle[2],
            at180 + metrics.horizontalAdvance(QStringLiteral("(p)")) + metrics.horizontalAdvance(QLatin1Char(' ')));
}

}  // namespace
}  // namespace kestrune
