// The main window's actions that the walkthrough does not take: Stop at a known point, closing
// during a scan, and every way Recover ends without writing.
#include <QTimer>

#include "support/Fixtures.h"
#include "support/ScriptedHost.h"
#include "ui/Scanconfig.h"
#include "WindowFixture.h"

namespace qm::ui::test {
namespace {

using qm::test::ScriptedHost;

constexpr uint64_t kLostNtfs = 262144;

// A scripted host that really pumps the event loop on every call, so that timers run inside
// the scan at once and not after the rate limit of the desktop's host.
class PumpingHost : public ScriptedHost {
 public:
  using ScriptedHost::ScriptedHost;
  void ProcessMessages() override {
    ScriptedHost::ProcessMessages();
    QApplication::processEvents();
  }
};

// The scan range dialog answered with megabytes 0 to 256, the whole demo disk.
bool AnswerRange(TfrmScanConfig& dialog) {
  dialog.Edit1->setText(QStringLiteral("0"));
  dialog.Edit2->setText(QStringLiteral("256"));
  dialog.Button1Click();
  return dialog.result() == QDialog::Accepted;
}

bool HasLost(const TPhysicalDrv& drive, uint64_t lba) {
  for (const auto& p : drive.LostPartitions)
    if (p->AbsoluteStart() == lba) return true;
  return false;
}

class ActionsTest : public WindowTest {};

TEST_F(ActionsTest, StopOrClosingEndsARunningScan) {
  TfrmMain& w = OpenDemo();
  PumpingHost host;
  int stoppedAt = -1;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const int percent = static_cast<int>(int64_t{w.ProgressBar1->value()} * 100 / w.ProgressBar1->maximum());
    if (stoppedAt < 0 && percent >= 20) {
      stoppedAt = percent;
      w.Stop->trigger();
    }
  });
  watch.start(0);
  w.ShowScanConfig = AnswerRange;
  w.ScanExecute();
  watch.stop();
  ASSERT_GE(stoppedAt, 20);
  ASSERT_LT(stoppedAt, 45);  // well before the lost NTFS volume at 48 % of the disk
  EXPECT_FALSE(HasLost(*w.CurrentDrive, kLostNtfs));
  EXPECT_FALSE(w.CurrentDrive->Scanning);
  EXPECT_FALSE(w.CurrentDrive->StopRequested);

  // Closing waits for the scan to end, and the scan ends at once.
  bool stillOpenDuringScan = false;
  QTimer::singleShot(0, [&] {
    w.close();
    stillOpenDuringScan = w.isVisible() && w.CurrentDrive != nullptr;
  });
  w.ScanExecute();
  EXPECT_TRUE(stillOpenDuringScan);
  EXPECT_FALSE(HasLost(*w.CurrentDrive, kLostNtfs));
  EXPECT_FALSE(w.isVisible());
}

// --- Recover: every path that writes nothing -------------------------------------------------

TEST_F(ActionsTest, RecoverAsksBeforeWritingAndNoWritesNothing) {
  const std::string image = qm::test::DemoImage("ui-recover-no.img");
  const std::vector<uint8_t> mbr = qm::test::ReadFileBytes(image, 0, 512);
  TfrmMain& w = Open({image});
  ChooseDrive(0);
  ClickRow(w.FirstLostRow);  // its report ends in "Root Directory: Preview"
  ScriptedHost host{MsgAnswer::No};
  w.RecoverExecute();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text.rfind("You are recovering partition. It is strong recommended", 0), 0u);
  EXPECT_EQ(host.messages[0].caption, "Recovering");
  EXPECT_EQ(host.messages[0].buttons, MsgButtons::YesNo);
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0, 512), mbr);
  EXPECT_NE(w.SelectedLost, nullptr);

  // Another program changes the tables: the refusal comes before any question.
  qm::test::WriteFileBytes(image, 0x1BE + 3 * 16 + 4, {0x83});
  const std::vector<uint8_t> changed = qm::test::ReadFileBytes(image, 0, 512);
  ScriptedHost yes{MsgAnswer::Yes, MsgAnswer::Yes};
  w.RecoverExecute();
  ASSERT_EQ(yes.messages.size(), 1u);
  EXPECT_EQ(yes.messages[0].caption, "Error");
  EXPECT_NE(yes.messages[0].text.find("has changed since it was read"), std::string::npos);
  EXPECT_EQ(qm::test::ReadFileBytes(image, 0, 512), changed);
}

TEST_F(ActionsTest, RecoverActsOnTheChosenRowOnly) {
  TfrmMain& w = OpenDemo();
  {
    ScriptedHost host{MsgAnswer::Yes, MsgAnswer::Yes};
    ClickRow(RowWithLba(2048));  // an existing partition: nothing to recover
    w.RecoverExecute();
    ClickRow(w.FirstLostRow);
    w.CurrentDrive->Scanning = true;
    w.RecoverExecute();
    w.CurrentDrive->Scanning = false;
    EXPECT_TRUE(host.messages.empty());
    w.ShowScanConfig = AnswerRange;
    w.ScanExecute();
  }
  // The FAT16 find chosen by keyboard after the NTFS one brings its own report: the damage
  // question speaks for it, not for the NTFS find.
  ClickRow(RowWithLba(kLostNtfs));
  ASSERT_TRUE(w.Label5->text().contains(QStringLiteral("Index Root")));
  QTest::keyClick(w.ListView1, Qt::Key_Up);
  ASSERT_EQ(w.ListView1->SelectedRow(), w.FirstLostRow);
  EXPECT_EQ(w.SelectedLost, Record(w.FirstLostRow));
  EXPECT_FALSE(w.Label5->text().contains(QStringLiteral("Index Root")));
}

}  // namespace
}  // namespace qm::ui::test
