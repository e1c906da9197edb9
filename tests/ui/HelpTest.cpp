// Help: which help file opens, what the user is told when none opens, and F1 and the Help
// buttons of the dialogs. No browser is started: the openers are replaced.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <fstream>

#include "WindowFixture.h"
#include "ui/HelpFile.h"
#include "ui/Install.h"
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
    SetAppDir(Program());
    DialogHelpOpener() = [this](const QUrl& url) { return opened.push_back(url.toLocalFile().toStdString()), true; };
  }
  void TearDown() override {
    AppDir = savedAppDir;
    DialogHelpOpener() = savedOpener;
  }
  QString Program() const { return prefix.filePath(QStringLiteral("bin/quillmark")); }
  std::string Chm() const { return prefix.filePath(QStringLiteral("bin/Tessaphyr.chm")).toStdString(); }
  std::string Manual() const { return prefix.filePath(QStringLiteral("share/doc/quillmark/manual.html")).toStdString(); }
  static void Make(const std::string& path) { std::ofstream(path) << "help"; }

  QTemporaryDir prefix;
  QString savedAppDir;
  UrlOpener savedOpener;
  std::vector<std::string> opened;
};

// The compiled help file first, then the installed manual, then (for a program run from the
// build tree only) the manual the build made; a file that no program opens gives way to the
// next; when none opens, or none is there, one message says so with the path.
TEST_F(HelpTest, OpensTheFirstHelpFileThatOpensAndTellsWhenNoneDoes) {
  const std::string built = QDir::cleanPath(QStringLiteral(QM_BUILD_DIR "/docs/manual.html")).toStdString();
  const struct {
    const char* name;
    bool chm, manual, inBuildTree;
    std::vector<bool> answers;  // what the opener answers, call by call
    std::vector<std::string> tried;
    const char* message;        // the start of the one message shown; "" for none
    std::string named;          // the path the message names
  } cases[] = {
      {"compiled help beside the program", true, true, false, {true}, {Chm()}, "", {}},
      {"installed manual", false, true, false, {true}, {Manual()}, "", {}},
      {"no viewer for the compiled help", true, true, false, {false, true}, {Chm(), Manual()}, "", {}},
      {"no browser", false, true, false, {false}, {Manual()}, "No program could open the help file", Manual()},
      // Installed, the program never looks into the build tree, where a manual is.
      {"no help installed", false, false, false, {}, {}, "The manual was not found", Manual()},
      {"program in the build tree", false, false, true, {true}, {built}, "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(QString::fromStdString(Chm()));
    QFile::remove(QString::fromStdString(Manual()));
    if (c.chm) Make(Chm());
    if (c.manual) Make(Manual());
    SetAppDir(c.inBuildTree ? QStringLiteral(QM_BUILD_DIR "/src/app/quillmark") : Program());
    std::vector<std::string> tried;
    const auto open = [&](const QUrl& url) {
      tried.push_back(url.toLocalFile().toStdString());
      return tried.size() <= c.answers.size() && c.answers[tried.size() - 1];
    };
    ScriptedHost host;
    EXPECT_EQ(OpenHelp(host, open), *c.message == '\0');
    EXPECT_EQ(tried, c.tried);
    if (*c.message == '\0') {
      EXPECT_TRUE(host.messages.empty()) << host.messages.front().text;
    } else {
      ASSERT_EQ(host.messages.size(), 1u);
      EXPECT_EQ(host.messages[0].caption, "Help");
      EXPECT_EQ(host.messages[0].text.rfind(c.message, 0), 0u) << host.messages[0].text;
      EXPECT_NE(host.messages[0].text.find(c.named), std::string::npos) << host.messages[0].text;
    }
  }
}

// The clone and rebuild dialogs open the help with F1 and with their Help button, and so does
// the about box's link, which shows this build's version.
TEST_F(HelpTest, DialogsAndAboutBoxOpenTheManual) {
  Make(Manual());
  TfrmMain& w = OpenChosen();
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
