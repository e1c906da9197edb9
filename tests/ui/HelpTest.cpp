// Help: which help file F1 opens, what the user is told when none opens, and F1 and the Help
// buttons of the dialogs. No browser is started: the openers are replaced.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include "WindowFixture.h"
#include "ui/CloneTarget.h"
#include "ui/HelpFile.h"
#include "ui/Install.h"
#include "ui/Rebuild.h"
#include "ui/about.h"

namespace qm::ui::test {
namespace {

// A program folder of its own (an installed layout: bin/ beside share/doc/quillmark/) for
// the time of a test, and the dialogs' opener replaced by one that records.
class HelpTest : public WindowTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(prefix.isValid());
    ASSERT_TRUE(QDir().mkpath(prefix.filePath(QStringLiteral("bin"))));
    ASSERT_TRUE(QDir().mkpath(prefix.filePath(QStringLiteral("share/doc/quillmark"))));
    savedAppDir = AppDir;
    savedOpener = DialogHelpOpener();
    SetAppDir(prefix.filePath(QStringLiteral("bin/quillmark")));
    DialogHelpOpener() = [this](const QUrl& url) { return opened.push_back(url.toLocalFile().toStdString()), true; };
  }
  void TearDown() override {
    AppDir = savedAppDir;
    DialogHelpOpener() = savedOpener;
  }
  std::string Chm() const { return prefix.filePath(QStringLiteral("bin/Tessaphyr.chm")).toStdString(); }
  std::string Manual() const { return prefix.filePath(QStringLiteral("share/doc/quillmark/manual.html")).toStdString(); }
  static void Make(const std::string& path) {
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("help");
  }

  QTemporaryDir prefix;
  QString savedAppDir;
  UrlOpener savedOpener;
  std::vector<std::string> opened;
};

// F1 in the main window: the compiled help file first, then the installed manual; a file that
// no program opens gives way to the next; when none opens, or none is there, one message says
// so with the path.
TEST_F(HelpTest, F1OpensTheFirstHelpFileThatOpensAndTellsWhenNoneDoes) {
  TfrmMain& w = Open({DemoImage()});
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  const struct {
    const char* name;
    bool chm, manual;
    std::vector<bool> answers;  // what the opener answers, call by call
    std::vector<std::string> tried;
    const char* message;        // the start of the one message shown; "" for none
    std::string named;          // the path the message names
  } cases[] = {
      {"compiled help beside the program", true, true, {true}, {Chm()}, "", {}},
      {"installed manual", false, true, {true}, {Manual()}, "", {}},
      {"no viewer for the compiled help", true, true, {false, true}, {Chm(), Manual()}, "", {}},
      {"no browser", false, true, {false}, {Manual()}, "No program could open the help file", Manual()},
      {"no help installed", false, false, {}, {}, "The manual was not found", Manual()},
  };
  for (const auto& c : cases) {
    QFile::remove(QString::fromStdString(Chm()));
    QFile::remove(QString::fromStdString(Manual()));
    if (c.chm) Make(Chm());
    if (c.manual) Make(Manual());
    std::vector<std::string> tried;
    w.OpenUrl = [&](const QUrl& url) {
      tried.push_back(url.toLocalFile().toStdString());
      return tried.size() <= c.answers.size() && c.answers[tried.size() - 1];
    };
    qm::test::ScriptedHost host;
    QTest::keyClick(&w, Qt::Key_F1);
    EXPECT_EQ(tried, c.tried) << c.name;
    if (*c.message == '\0') {
      EXPECT_TRUE(host.messages.empty()) << c.name << ": " << host.messages.front().text;
    } else {
      ASSERT_EQ(host.messages.size(), 1u) << c.name;
      EXPECT_EQ(host.messages[0].caption, "Help");
      EXPECT_EQ(host.messages[0].text.rfind(c.message, 0), 0u) << host.messages[0].text;
      EXPECT_NE(host.messages[0].text.find(c.named), std::string::npos) << host.messages[0].text;
    }
  }
}

// A program run from the build tree finds the manual the build made.
TEST_F(HelpTest, ProgramInTheBuildTreeFindsTheBuiltManual) {
  AppDir = QStringLiteral(QM_BUILD_DIR "/src/app/");
  const QStringList candidates = HelpCandidates();
  ASSERT_EQ(candidates.size(), 3);
  EXPECT_TRUE(QFileInfo(candidates.back()).isFile()) << candidates.back().toStdString();
  qm::test::ScriptedHost host;
  EXPECT_TRUE(OpenHelp(host, DialogHelpOpener()));
  EXPECT_EQ(opened, std::vector<std::string>{candidates.back().toStdString()});
  // Installed elsewhere, the program does not look into the build tree; with nothing there,
  // Help fails and says so.
  SetAppDir(prefix.filePath(QStringLiteral("bin/quillmark")));
  EXPECT_EQ(HelpCandidates().size(), 2);
  EXPECT_FALSE(OpenHelp(host, DialogHelpOpener()));
  EXPECT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(opened.size(), 1u);
}

// The clone and rebuild dialogs open the help with F1 and with their Help button, and so does
// the about box's link, which shows this build's version.
TEST_F(HelpTest, DialogsAndAboutBoxOpenTheManual) {
  Make(Manual());
  TfrmMain& w = OpenDemo();
  // The window's own Help must not answer for the dialogs.
  int windowHelp = 0;
  w.OpenUrl = [&](const QUrl&) { return ++windowHelp, true; };
  const auto pressF1AndHelp = [&](QDialog& dialog, QPushButton* help) {
    QTimer::singleShot(0, &dialog, [&] {
      // A key sent before the dialog has the focus is lost.
      EXPECT_TRUE(WaitUntil([&] { return QApplication::focusWidget() && QApplication::focusWidget()->window() == &dialog; }));
      QTest::keyClick(&dialog, Qt::Key_F1);
      QTest::mouseClick(help, Qt::LeftButton);
      dialog.reject();
    });
    dialog.exec();
  };
  w.ShowCloneTarget = [&](TfrmDrives& dialog) { return pressF1AndHelp(dialog, dialog.Button3), false; };
  ClickRow(w.FirstLostRow);
  w.Clone->trigger();
  EXPECT_EQ(opened, std::vector<std::string>(2, Manual())) << "clone target dialog";

  w.ShowRebuild = [&](TfrmRebuild& dialog) { return pressF1AndHelp(dialog, dialog.Button3), false; };
  w.Rebuild->trigger();
  EXPECT_EQ(opened, std::vector<std::string>(4, Manual())) << "rebuild dialog";

  TfrmAbout about(&w);
  EXPECT_EQ(about.Label2->text(), QStringLiteral("Version ") + QLatin1String(kVersion));
  about.LabelEx1->OnClick(about.LabelEx1);
  EXPECT_EQ(opened, std::vector<std::string>(5, Manual())) << "about box";
  EXPECT_EQ(windowHelp, 0);
}

}  // namespace
}  // namespace qm::ui::test
