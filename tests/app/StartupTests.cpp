// Start-up without a window: the command line, and one running downloader per name.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>

#include "app/CommandLine.h"
#include "app/SingleInstance.h"
#include "tests/app/ControllerTestSupport.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"

namespace {

using apptest::Q;
using testsupport::ScopedEnvironment;

QStringList Arguments(std::initializer_list<const char*> arguments) {
  QStringList list;
  for (const char* argument : arguments) list.append(QString::fromUtf8(argument));
  return list;
}

TEST(CommandLine, NothingOpensTheWindowOnTheBuiltInList) {
  CommandLine line = ParseCommandLine({});
  EXPECT_FALSE(line.headless);
  EXPECT_FALSE(line.help);
  EXPECT_TRUE(line.fileListUrl.isEmpty());
  EXPECT_TRUE(line.error.isEmpty());
}

TEST(CommandLine, OnlyTheFirstArgumentIsTheList) {
  CommandLine line = ParseCommandLine(Arguments({"http://h/one.txt", "http://h/two.txt", "three"}));
  EXPECT_EQ(QStringLiteral("http://h/one.txt"), line.fileListUrl);
  EXPECT_TRUE(line.error.isEmpty());
}

TEST(CommandLine, HeadlessTakesItsOptionsInAnyOrder) {
  CommandLine line = ParseCommandLine(
      Arguments({"--dest", "/tmp/x", "--headless", "http://h/list.txt", "--install", "--no-consent"}));
  EXPECT_TRUE(line.headless);
  EXPECT_EQ(QStringLiteral("http://h/list.txt"), line.fileListUrl);
  EXPECT_EQ(QStringLiteral("/tmp/x"), line.destination);
  EXPECT_TRUE(line.install);
  EXPECT_TRUE(line.noConsent);
  EXPECT_TRUE(line.error.isEmpty());
  EXPECT_EQ(QStringLiteral("/tmp/y"),
            ParseCommandLine(Arguments({"--headless", "--dest=/tmp/y"})).destination);
}

TEST(CommandLine, MistakesAreExplained) {
  EXPECT_FALSE(ParseCommandLine(Arguments({"--headless", "--dest"})).error.isEmpty());
  EXPECT_FALSE(ParseCommandLine(Arguments({"--headless", "--dest="})).error.isEmpty());
  EXPECT_FALSE(ParseCommandLine(Arguments({"--headless", "--fast"})).error.isEmpty());
  // The window takes a folder and the install step only when it runs the download by itself.
  EXPECT_FALSE(ParseCommandLine(Arguments({"--install"})).error.isEmpty());
  EXPECT_FALSE(ParseCommandLine(Arguments({"--dest", "/tmp/z"})).error.isEmpty());
  EXPECT_FALSE(ParseCommandLine(Arguments({"--start", "--no-consent"})).error.isEmpty());
  CommandLine unattended =
      ParseCommandLine(Arguments({"--start", "--dest", "/tmp/z", "--install", "http://h/l.txt"}));
  EXPECT_TRUE(unattended.error.isEmpty());
  EXPECT_TRUE(unattended.start && unattended.install && !unattended.headless);
  EXPECT_EQ(QStringLiteral("/tmp/z"), unattended.destination);
  EXPECT_TRUE(ParseCommandLine(Arguments({"--help"})).help);
  EXPECT_TRUE(ParseCommandLine(Arguments({"-h"})).help);
  // After "--" everything is a list, even what looks like an option.
  EXPECT_EQ(QStringLiteral("--odd"), ParseCommandLine(Arguments({"--", "--odd"})).fileListUrl);
}

// Options of Qt's own are read by Qt when the window runs; before that the line must still tell
// whether a window is wanted at all.
TEST(CommandLine, AfterAnUnknownOptionTheRestIsStillRead) {
  CommandLine headless = ParseCommandLine(Arguments({"-platform", "offscreen", "--headless", "--dest="}));
  EXPECT_TRUE(headless.headless);
  EXPECT_EQ(QStringLiteral("unknown option -platform"), headless.error);
  CommandLine help = ParseCommandLine(Arguments({"-style", "fusion", "-session", "x", "--help"}));
  EXPECT_TRUE(help.help);
  EXPECT_EQ(QStringLiteral("unknown option -style"), help.error);
  CommandLine window = ParseCommandLine(Arguments({"-platform", "offscreen", "http://h/l.txt"}));
  EXPECT_FALSE(window.headless || window.help);
}

TEST(CommandLine, HelpExplainsBothWays) {
  QString help = CommandLineHelp(QStringLiteral("orba-downloader"));
  EXPECT_TRUE(help.contains(QStringLiteral("orba-downloader [URL]")));
  EXPECT_TRUE(help.contains(QStringLiteral("--headless [URL] [--dest DIR] [--no-consent] [--install]")));
}

TEST(InstanceName, IsTheMutexNameOfTheBuiltInList) {
  EXPECT_EQ(QStringLiteral("QTX-Downloader::http://h/download/orba/qtxdownload/filelist.txt"),
            WindowInstanceName(QStringLiteral("http://h/download/orba/qtxdownload/filelist.txt")));
  QString longUrl = QStringLiteral("http://h/") + QString(400, QLatin1Char('x'));
  QString name = WindowInstanceName(longUrl);
  EXPECT_EQ(260, name.size());
  EXPECT_TRUE(name.startsWith(QStringLiteral("QTX-Downloader::http://h/xxx")));
}

TEST(InstanceName, ADownloadFolderIsNamedByItsPathHoweverWritten) {
  testsupport::TempFolder folder;
  EXPECT_EQ(FolderInstanceName(Q(folder.Path())), FolderInstanceName(Q(folder / "a/../")));
  EXPECT_NE(FolderInstanceName(Q(folder / "a")), FolderInstanceName(Q(folder / "b")));
  EXPECT_NE(WindowInstanceName(Q(folder.Path())), FolderInstanceName(Q(folder.Path())));
}

class SingleInstanceTest : public ::testing::Test {
 protected:
  SingleInstanceTest() { apptest::MakePrivate(runtime_.Path()); }

  testsupport::TempFolder runtime_;
  ScopedEnvironment runtimeFolder_{"XDG_RUNTIME_DIR", runtime_.Path()};
};

TEST_F(SingleInstanceTest, TheFirstHoldsTheNameAndASecondIsRefused) {
  SingleInstance first(QStringLiteral("QTX-Downloader::http://h/list.txt"));
  EXPECT_TRUE(first.IsFirst());
  EXPECT_TRUE(first.ServerName().startsWith(Q(runtime_.Path())));
  SingleInstance second(QStringLiteral("QTX-Downloader::http://h/list.txt"));
  EXPECT_FALSE(second.IsFirst());
  SingleInstance other(QStringLiteral("QTX-Downloader::http://h/other.txt"));
  EXPECT_TRUE(other.IsFirst());
}

TEST_F(SingleInstanceTest, ASecondAsksTheFirstToShowItsWindow) {
  SingleInstance first(QStringLiteral("name"));
  int requests = 0;
  QObject::connect(&first, &SingleInstance::activationRequested, [&requests] { ++requests; });
  SingleInstance second(QStringLiteral("name"));
  ASSERT_FALSE(second.IsFirst());
  EXPECT_TRUE(second.ActivateFirst());
  ASSERT_TRUE(guitest::WaitUntil([&] { return requests > 0; }, 10000));
  QCoreApplication::processEvents();  // a repeat of the same request would be ready by now
  EXPECT_EQ(1, requests);
}

TEST_F(SingleInstanceTest, TheNameIsFreeAgainOnceTheFirstEnds) {
  auto first = std::make_unique<SingleInstance>(QStringLiteral("name"));
  ASSERT_TRUE(first->IsFirst());
  SingleInstance refused(QStringLiteral("name"));
  ASSERT_FALSE(refused.IsFirst());
  first.reset();
  // Nobody listens any more.
  EXPECT_FALSE(refused.ActivateFirst(1000));
  SingleInstance next(QStringLiteral("name"));
  EXPECT_TRUE(next.IsFirst());
}

}  // namespace
