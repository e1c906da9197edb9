// The Qt host, the link label, the status bar and the about box.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <filesystem>

#include "disk/SectorIO.h"
#include "support/Fixtures.h"
#include "support/Sources.h"
#include "ui/Colors.h"
#include "ui/JpegImage.h"
#include "ui/LabelEx.h"
#include "ui/QtHost.h"
#include "ui/StatusBarEx.h"
#include "ui/about.h"

namespace qm::ui {
namespace {

// Answers the next message box with `button` once it is shown, recording what it showed.
struct BoxAnswer {
  QString title, text;
  QMessageBox::StandardButtons buttons;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QWidget* parent = nullptr;
  bool seen = false;
};

void AnswerNextBox(BoxAnswer& seen, QMessageBox::StandardButton button) {
  QTimer::singleShot(0, [&seen, button] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) {
      AnswerNextBox(seen, button);  // not shown yet: look again
      return;
    }
    seen.seen = true;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.buttons = box->standardButtons();
    seen.icon = box->icon();
    seen.parent = box->parentWidget();
    box->button(button)->click();
  });
}

TEST(QtHostTest, CarriageReturnsBecomeLineBreaks) {
  EXPECT_EQ(MessageText("a\rb\r\rc"), QStringLiteral("a\nb\n\nc"));
  EXPECT_EQ(MessageText("a\r\nb"), QStringLiteral("a\nb"));
}

TEST(QtHostTest, QuestionsAreMessageBoxesOwnedByTheWindow) {
  QWidget owner;
  QtHost host(&owner);
  BoxAnswer seen;
  AnswerNextBox(seen, QMessageBox::No);
  EXPECT_EQ(host.MessageBox("Continue?\rReally", "Recovering", MsgButtons::YesNo, MsgIcon::Warning), MsgAnswer::No);
  ASSERT_TRUE(seen.seen);
  EXPECT_EQ(seen.title, QStringLiteral("Recovering"));
  EXPECT_EQ(seen.text, QStringLiteral("Continue?\nReally"));
  EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(seen.icon, QMessageBox::Warning);
  EXPECT_EQ(seen.parent, &owner);

  AnswerNextBox(seen, QMessageBox::Ok);
  EXPECT_EQ(host.MessageBox("Sector range exceeded the limit.", "Error", MsgButtons::Ok, MsgIcon::Error), MsgAnswer::Ok);
  EXPECT_EQ(seen.icon, QMessageBox::Critical);
}

TEST(QtHostTest, ReadFailuresAskAbortRetryIgnore) {
  qm::test::DriveRegistryScope registry;
  auto memory = std::make_unique<qm::test::MemorySource>(1 << 20);
  auto faulty = std::make_unique<qm::test::FaultSource>(std::move(memory));
  faulty->state->readFaults[0] = qm::test::Fault{qm::test::FaultKind::Error, EIO, 1};
  const uint8_t drive = registry.Attach(std::move(faulty));
  QtHost host;
  HostScope scope(host);
  BoxAnswer seen;
  AnswerNextBox(seen, QMessageBox::Retry);
  std::vector<uint8_t> buffer(512);
  EXPECT_TRUE(ReadSectors(drive, 0, 1, buffer.data(), true, true));  // the retry succeeds
  ASSERT_TRUE(seen.seen);
  EXPECT_EQ(seen.buttons, QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
  EXPECT_EQ(seen.title, QStringLiteral("Read Error"));
}

TEST(QtHostTest, PumpingIsRateLimited) {
  QtHost host;
  QThread::msleep(QtHost::kPumpIntervalMs + 5);
  for (int i = 0; i < 64; ++i) host.ProcessMessages();  // the clock is looked at once in 64 calls
  EXPECT_EQ(host.PumpCount(), 1);
  for (int i = 0; i < 1000; ++i) host.ProcessMessages();  // far faster than the interval
  EXPECT_EQ(host.PumpCount(), 1);
  QThread::msleep(QtHost::kPumpIntervalMs + 5);
  for (int i = 0; i < 64; ++i) host.ProcessMessages();
  EXPECT_EQ(host.PumpCount(), 2);
}

TEST(LabelExTest, HoverTakesTheActiveColourAndLeavingRestoresTheNormalOne) {
  TLabelEx label;
  label.SetFontColor(WinColor(clTeal));
  label.Loaded();
  int enters = 0, leaves = 0;
  label.OnMouseEnter = [&](TLabelEx* sender) { enters += sender == &label; };
  label.OnMouseLeave = [&](TLabelEx* sender) { leaves += sender == &label; };
  EXPECT_EQ(label.ActiveColor, WinColor(0xFF0000));
  label.MouseEnter();
  EXPECT_EQ(label.FontColor(), WinColor(0xFF0000));
  label.MouseLeave();
  EXPECT_EQ(label.FontColor(), WinColor(clTeal));
  EXPECT_EQ(enters, 1);
  EXPECT_EQ(leaves, 1);
}

TEST(StatusBarExTest, ProgressBarLiesOverTheMiddlePanel) {
  TStatusBarEx bar;
  bar.resize(800, TStatusBarEx::kHeight);
  bar.SetPanels({100, 300, 50});
  QProgressBar progress(&bar);
  progress.setGeometry(102, 2, 298, 19);
  EXPECT_TRUE(bar.PanelRect(1).contains(progress.geometry()));
  EXPECT_EQ(bar.PanelRect(2).width(), 400);  // the last panel takes the rest
  bar.SetPanelText(0, QStringLiteral(" Scanning ..."));
  EXPECT_EQ(bar.PanelText(0), QStringLiteral(" Scanning ..."));
  bar.SetPanelText(7, QStringLiteral("ignored"));
  EXPECT_EQ(bar.PanelText(7), QString());
}

TEST(JpegTest, DamagedPicturesGiveNoImageAndNoCrash) {
  const unsigned char garbage[] = {0xFF, 0xD8, 0x00, 0x11, 0x22, 0x33, 0x44};
  EXPECT_TRUE(DecodeJpeg(garbage, sizeof garbage).isNull());
  EXPECT_TRUE(DecodeJpeg(nullptr, 0).isNull());
  const unsigned char text[] = "not a picture";
  EXPECT_TRUE(DecodeJpeg(text, sizeof text).isNull());
  // A picture cut short decodes what is there (libjpeg fills the rest) without ending us.
  const QImage half = DecodeJpeg(kAboutPicture, kAboutPictureSize / 2);
  if (!half.isNull()) {
    EXPECT_EQ(half.size(), QSize(156, 213));
  }
}

TEST(AboutTest, ShowsPictureAndClosesOnEnterOrEscapeOnly) {
  TfrmAbout about;
  EXPECT_EQ(about.windowTitle(), QStringLiteral("About Quillmark"));
  ASSERT_FALSE(about.Image2->pixmap().isNull());
  EXPECT_EQ(about.Image2->pixmap().size(), QSize(156, 213));
  EXPECT_EQ(about.Label2->text(), QStringLiteral("Version 2.0.2.0138"));
  EXPECT_EQ(SupportMailUrl(), QStringLiteral("mailto:support@quillmark.example.org?subject=Quillmark_Support"));
  about.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
  std::filesystem::create_directories(QM_FIXTURE_DIR);
  EXPECT_TRUE(about.grab().save(QStringLiteral(QM_FIXTURE_DIR "/ui-about.png"), "PNG"));  // for the eye
  QTest::keyClick(&about, Qt::Key_A);
  QTest::keyClick(&about, Qt::Key_F1);
  EXPECT_TRUE(about.isVisible());
  QTest::keyClick(&about, Qt::Key_Escape);
  EXPECT_FALSE(about.isVisible());
  about.show();
  QTest::keyClick(&about, Qt::Key_Return);
  EXPECT_FALSE(about.isVisible());
}

}  // namespace
}  // namespace qm::ui
