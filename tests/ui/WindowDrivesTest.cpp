// The drive list: which file or device each drive is, drives that cannot be opened, an image
// opened twice, and the machine's disks as they come and go.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <utility>

#include "WindowFixture.h"

namespace qm::ui::test {
namespace {

class DrivesTest : public WindowTest {
 protected:
  std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    for (const auto& drive : window->PhysicalDrives->Drives) paths.push_back(drive->Io().Path());
    return paths;
  }
};

TEST_F(DrivesTest, EveryDriveThatOpensIsListedAndNamedAndTheOthersAreTold) {
  const std::string image = qm::test::DemoImage("ui-drives.img");
  const std::string link = qm::test::FreshPath("ui-drives-link.img");
  std::filesystem::create_symlink(image, link);
  const std::string missing = qm::test::FreshPath("ui-drives-missing.img");
  ScriptedHost host;
  TfrmMain& w = Open({missing, image, link});
  ASSERT_TRUE(WaitUntil([&] { return !host.messages.empty(); }));
  // The missing image keeps none of the others out, the same file by a second name is one
  // drive, and the box names what was not opened and why.
  EXPECT_EQ(Paths(), std::vector<std::string>{image});
  EXPECT_EQ(host.messages[0].caption, "Drives");
  EXPECT_EQ(host.messages[0].text, "These drives could not be opened:\r" + missing + ": No such file or directory");
  EXPECT_EQ(w.ListBox1->item(0)->toolTip(), QString::fromStdString("Image file " + image));
  ChooseDrive(0);
  EXPECT_TRUE(w.Label4->text().contains(QString::fromStdString("Image file " + image)));

  // Opening it again by its other name chooses it.
  w.AskImagePath = [&] { return QString::fromStdString(link); };
  w.ListBox1->setCurrentRow(-1);
  w.OpenImageExecute();
  EXPECT_EQ(Paths().size(), 1u);
  EXPECT_EQ(w.ListBox1->currentRow(), 0);
}

TEST_F(DrivesTest, TheMachinesDisksComeAndGoAndRefreshListsThemAgain) {
  const std::string a = qm::test::DemoImage("ui-machine-a.img"), b = qm::test::DemoImage("ui-machine-b.img");
  std::vector<std::string> present{a};
  ScriptedHost host;
  TfrmMain& w = Open({b});
  w.ListDisks = [&] { return present; };
  w.FollowMachineDisks();
  w.SyncMachineDisks();
  EXPECT_EQ(Paths(), (std::vector<std::string>{b, a}));  // the image stays; the new disk comes after it

  // A disk that goes while it is scanned stays until the scan has ended.
  ChooseDrive(1);
  ASSERT_EQ(w.CurrentDrive->Io().Path(), a);
  present.clear();
  w.CurrentDrive->Scanning = true;
  w.SyncMachineDisks();
  EXPECT_EQ(Paths().size(), 2u);
  w.CurrentDrive->Scanning = false;
  w.SyncMachineDisks();
  EXPECT_EQ(Paths(), std::vector<std::string>{b});
  EXPECT_EQ(w.CurrentDrive, nullptr);
  EXPECT_EQ(w.ListView1->topLevelItemCount(), 0);

  // Refresh with no drive chosen reads the machine's disks again.
  present = {a};
  w.RefreshExecute();
  EXPECT_EQ(Paths(), (std::vector<std::string>{a, b}));
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(DrivesTest, WithNoDiskToOpenTheWindowOffersAnImage) {
  const std::string image = qm::test::DemoImage("ui-offer.img");
  const std::string missing = qm::test::FreshPath("ui-offer-missing");
  const bool administrator = ::geteuid() == 0;
  // Started on the machine's disks, none of which opens: the offer is answered with "open a
  // disk image instead".
  ScriptedHost host{administrator ? MsgAnswer::Ok : MsgAnswer::No};
  TfrmMain::ListDisksOfNewWindows = [&] { return std::vector<std::string>{missing}; };
  struct Reset {
    ~Reset() { TfrmMain::ListDisksOfNewWindows = nullptr; }
  } reset;
  window = std::make_unique<TfrmMain>(std::vector<std::string>{}, qm::test::TestHost());
  TfrmMain& w = *window;
  w.AskImagePath = [&] { return QString::fromStdString(image); };
  bool restarted = false;
  w.RestartAsAdministrator = [&] { return restarted = true; };
  ASSERT_TRUE(WaitUntil([&] { return !host.messages.empty(); }));
  const std::string& text = host.messages[0].text;
  EXPECT_EQ(text.rfind("No disk could be opened for reading.\r" + missing + ": No such file or directory", 0), 0u) << text;
  EXPECT_EQ(host.messages[0].buttons, administrator ? MsgButtons::OkCancel : MsgButtons::YesNoCancel);
  EXPECT_FALSE(restarted);
  EXPECT_EQ(Paths(), (std::vector<std::string>{image}));  // the image the offer opened
}

// A loop device attached while the window runs appears by itself, and goes when it is detached.
TEST_F(DrivesTest, ALoopDeviceAttachedLaterAppearsAndGoes) {
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  const std::string image = qm::test::DemoImage("ui-hotplug.img");
  TfrmMain& w = Open({qm::test::DemoImage("ui-hotplug-other.img")});
  std::string loop;
  // Only the loop devices over this test's image count as the machine's disks.
  w.ListDisks = [&] {
    std::vector<std::string> disks = ListMachineDisks();
    std::erase_if(disks, [&](const std::string& d) { return d != loop; });
    return disks;
  };
  w.FollowMachineDisks();
  std::string out;
  if (qm::test::RunCommand("losetup -f --show -r " + qm::test::ShellQuote(image) + " 2>&1", &out) != 0)
    GTEST_SKIP() << "this machine gives no loop device: " << out;
  loop = out.substr(0, out.find('\n'));
  // Detached once: a second detach could hit a device that another test attached since.
  struct Detach {
    std::string path;
    ~Detach() {
      if (!path.empty()) qm::test::RunCommand("losetup -d " + qm::test::ShellQuote(path));
    }
  } detach{loop};
  const auto listed = [&] { return std::ranges::count(Paths(), loop) > 0; };
  if (!WaitUntil(listed)) GTEST_SKIP() << "the kernel's device events do not reach this machine's processes";
  EXPECT_TRUE(w.ListBox1->item(1)->toolTip().startsWith(QString::fromStdString("Loop device " + loop + " over ")));
  qm::test::RunCommand("losetup -d " + qm::test::ShellQuote(std::exchange(detach.path, {})));
  EXPECT_TRUE(WaitUntil([&] { return !listed(); }));
}

}  // namespace
}  // namespace qm::ui::test
