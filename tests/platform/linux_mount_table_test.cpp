// The Linux machine over mount tables written for the test: what docs/linux.md
// promises of visibility, device numbers, names, drive types and flags,
// including what no real machine here can show.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/linux_machine.h"
#include "platform/machine.h"
#include "platform/mount_monitor.h"
#include "platform/wide_string.h"
#include "shell.h"
#include "test_environment.h"

namespace platform {
namespace {

WideString W(const std::string& utf8) { return WideFromUtf8(utf8); }

class MountTableTest : public test_environment::TemporaryDirectoryTest {
 protected:
  MountTableTest() : TemporaryDirectoryTest("volumes-table") {}

  void TearDown() override {
    for (const std::string& loop : loops_) Shell("losetup -d " + loop + " 2>/dev/null");
    TemporaryDirectoryTest::TearDown();
  }

  // A directory under the test's own, made with its parents.
  std::string Directory(const std::string& name) {
    const std::string path = Path(name);
    Shell("mkdir -p '" + path + "'");
    return path;
  }

  // A loop device over an image made by `mkfs` (run on IMAGE); empty where
  // that cannot be done here.
  std::string LoopDevice(const std::string& mkfs) {
    if (::geteuid() != 0) return std::string();
    const std::string image = Path("image" + std::to_string(loops_.size()));
    std::string command = mkfs;
    command.replace(command.find("IMAGE"), 5, image);
    Shell("truncate -s 64M " + image + " && " + command + " >/dev/null 2>&1");
    const std::string loop = Shell("losetup --find --show " + image + " 2>/dev/null");
    if (!loop.empty()) loops_.push_back(loop);
    return loop;
  }

  // The mount table of a file, read again at every call.
  struct FileTable final : linux_mounts::MountTableSource {
    explicit FileTable(std::string file) : path(std::move(file)) {}
    std::shared_ptr<const linux_mounts::MountTable> Current() override {
      return linux_mounts::ReadMountTable(path.c_str());
    }
    const std::string path;
  };

  // A machine over these mountinfo lines ("ID PARENT MAJ:MIN TARGET TYPE
  // SOURCE" each, the rest filled in).
  std::unique_ptr<platform::Machine> Machine(const std::vector<std::string>& lines) {
    const std::string path = Path("mountinfo");
    std::ofstream out(path);
    for (const std::string& line : lines) {
      char id[16], parent[16], device[32], target[8192], type[64], source[256];
      std::sscanf(line.c_str(), "%15s %15s %31s %8191s %63s %255s", id, parent,
                  device, target, type, source);
      out << id << ' ' << parent << ' ' << device << " / " << target
          << " rw,relatime shared:1 - " << type << ' ' << source << " rw\n";
    }
    out.close();
    tables_.push_back(std::make_unique<FileTable>(path));
    return MakeLinuxMachine(*tables_.back());
  }

  // The volumes that an enumeration walks.
  static std::vector<WideString> Names(platform::Machine& machine) {
    const auto listing = machine.ListVolumes(kMaxPath + 1);
    return listing ? listing->names : std::vector<WideString>();
  }

  static std::vector<std::string> Paths(platform::Machine& machine, const WideString& name) {
    std::vector<std::string> paths;
    std::vector<WCHAR> list(70000);
    DWORD length = 0;
    if (!machine.GetVolumePathNamesForVolumeNameW(
            name.c_str(), list.data(), static_cast<DWORD>(list.size()), &length)) {
      return paths;
    }
    for (const WCHAR* at = list.data(); *at != 0; at += WideView(at).size() + 1) {
      paths.push_back(*PathBytesFromWide(WideView(at)));
    }
    return paths;
  }

  // Every mount point listed, volume by volume.
  static std::vector<std::vector<std::string>> Listing(platform::Machine& machine) {
    std::vector<std::vector<std::string>> listing;
    for (const WideString& name : Names(machine)) listing.push_back(Paths(machine, name));
    return listing;
  }

  struct Information {
    BOOL ok;
    DWORD error;
    DWORD serial;
    DWORD flags;
    std::string filesystem;
    std::string label;
  };
  static Information Info(platform::Machine& machine, const WideString& root) {
    WCHAR label[kMaxPath + 1] = {0}, filesystem[kMaxPath + 1] = {0};
    Information info{};
    DWORD component_length = 0;
    SetLastError(0);
    info.ok = machine.GetVolumeInformationW(
        root.c_str(), {label, kMaxPath + 1, &info.serial, &component_length,
                       &info.flags, filesystem, kMaxPath + 1});
    info.error = GetLastError();
    info.filesystem = Utf8FromWide(WideView(filesystem));
    info.label = Utf8FromWide(WideView(label));
    return info;
  }

  std::vector<std::string> loops_;
  std::vector<std::unique_ptr<FileTable>> tables_;
};

using Listed = std::vector<std::vector<std::string>>;

TEST_F(MountTableTest, OnlyMountsThatPathLookupReachesAreListed) {
  auto machine = Machine({
      "1 0 8:1 / ext4 /dev/nonexistent",
      "2 1 0:40 /srv/a tmpfs a",          // hidden by 3, stacked on its root
      "3 2 0:41 /srv/a tmpfs b",          // visible
      "4 1 0:42 /srv/b/deep tmpfs c",     // hidden by 5 on a directory above
      "5 1 0:43 /srv/b tmpfs d",          // visible
      "6 2 0:44 /srv/a/inner tmpfs e",    // its parent 2 is covered by 3
      "7 3 0:45 /srv/a/inner2 tmpfs f",   // on the visible mount: visible
      "8 1 0:41 /srv/bound tmpfs b",      // a bind mount of 3's filesystem
      "9 1 0:46 /proc proc proc",         // no storage
  });
  EXPECT_EQ(Listing(*machine),
            (Listed{{"/"}, {"/srv/a/", "/srv/bound/"}, {"/srv/b/"}, {"/srv/a/inner2/"}}));
  // A mount stacked on a hidden one is reached where that one would be.
  auto stacked = Machine({"1 0 8:1 / ext4 x", "2 1 0:40 /m tmpfs a",
                          "3 1 0:41 /m/n tmpfs b", "4 2 0:42 /m tmpfs c",
                          "5 4 0:43 /m tmpfs d"});
  EXPECT_EQ(Listing(*stacked), (Listed{{"/"}, {"/m/"}}));
  EXPECT_EQ(Paths(*stacked, Names(*stacked)[1]), std::vector<std::string>{"/m/"});
  // A loop in a corrupt table hides what is on it, and ends.
  auto looped = Machine({"1 0 8:1 / ext4 x", "2 3 0:40 /p tmpfs a",
                         "3 2 0:41 /p/q tmpfs b"});
  EXPECT_EQ(Listing(*looped), (Listed{{"/"}}));
}

TEST_F(MountTableTest, DeviceNumbersWiderThan32BitsAreListedButHaveNoSerial) {
  const std::string wide = Directory("wide"), narrow = Directory("narrow");
  // makedev(4096, 1) is 0x10000000001: no stat result on Linux carries it.
  auto machine = Machine({"1 0 8:1 / ext4 x", "2 1 4096:1 " + wide + " tmpfs a",
                          "3 1 0:4095 " + narrow + " tmpfs b"});
  ASSERT_EQ(Listing(*machine), (Listed{{"/"}, {wide + "/"}, {narrow + "/"}}));
  const Information refused = Info(*machine, W(wide + "\\"));
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.error, kErrorArithmeticOverflow);
  const Information kept = Info(*machine, W(narrow + "\\"));
  ASSERT_TRUE(kept.ok);
  EXPECT_EQ(kept.serial, static_cast<DWORD>(makedev(0, 4095)));
  EXPECT_EQ(Utf8FromWide(Names(*machine)[1]),
            "\\\\?\\Volume{00001000-0000-0000-0000-000000000001}\\");
}

TEST_F(MountTableTest, FilesystemNamesAndCaseSensitivity) {
  const std::string fat = Directory("fat"), exfat = Directory("exfat"),
                    ext = Directory("ext");
  auto machine = Machine({"1 0 8:1 / ext4 x", "2 1 8:50 " + fat + " vfat y",
                          "3 1 8:51 " + exfat + " exfat z",
                          "4 1 8:52 " + ext + " ext4 w"});
  for (const auto& [path, name, sensitive] :
       {std::tuple{fat, "FAT", false}, std::tuple{exfat, "exFAT", false},
        std::tuple{ext, "ext4", true}}) {
    SCOPED_TRACE(path);
    const Information info = Info(*machine, W(path + "\\"));
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.filesystem, name);
    EXPECT_EQ((info.flags & kFileCaseSensitiveSearch) != 0, sensitive);
    EXPECT_NE(info.flags & kFileCasePreservedNames, 0u);
  }
}

TEST_F(MountTableTest, DriveTypes) {
  std::vector<std::string> lines = {
      "1 0 8:1 / ext4 x",         "2 1 0:60 /ram tmpfs a",
      "3 1 0:61 /ramfs ramfs b",  "4 1 0:62 /net nfs4 server:/export",
      "5 1 11:0 /cd iso9660 c",   "6 1 0:64 /layers overlay overlay",
      "7 1 0:65 /smb cifs //server/share"};
  const std::string loop = LoopDevice("mkfs.ext4 -q IMAGE");
  if (!loop.empty()) lines.push_back("8 1 7:200 /disk ext4 " + loop);
  auto machine = Machine(lines);
  const std::vector<std::pair<std::string, UINT>> expected = {
      {"/ram\\", kDriveRamdisk},   {"/ramfs\\", kDriveRamdisk},
      {"/net\\", kDriveRemote},    {"/cd\\", kDriveCdrom},
      {"/layers\\", kDriveUnknown}, {"/smb\\", kDriveRemote},
      {"/nowhere\\", kDriveNoRootDir}};
  for (const auto& [root, type] : expected) {
    EXPECT_EQ(machine->GetDriveTypeW(W(root).c_str()), type) << root;
  }
  if (loop.empty()) {
    std::printf("no loop device here: the fixed drive type is not checked\n");
  } else {
    // A loop device is not removable.
    EXPECT_EQ(machine->GetDriveTypeW(W("/disk\\").c_str()), kDriveFixed);
  }
}

TEST_F(MountTableTest, ASharedUuidNamesOnlyTheFirstVolume) {
  const std::string uuid = "0a1b2c3d-1111-2222-3333-444455556666";
  const std::string first = LoopDevice("mkfs.ext4 -q -L FIRST -U " + uuid + " IMAGE");
  const std::string second = LoopDevice("mkfs.ext4 -q -L SECOND -U " + uuid + " IMAGE");
  if (first.empty() || second.empty()) {
    GTEST_SKIP() << "needs root and loop devices to give two devices one UUID";
  }
  const std::string a = Directory("a"), b = Directory("b");
  auto machine = Machine({"1 0 8:1 / ext4 x", "2 1 7:201 " + a + " ext4 " + first,
                          "3 1 7:202 " + b + " ext4 " + second});
  const std::vector<WideString> names = Names(*machine);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(Utf8FromWide(names[1]), "\\\\?\\Volume{" + uuid + "}\\");
  EXPECT_EQ(Utf8FromWide(names[2]),
            "\\\\?\\Volume{00000007-0000-0000-0000-0000000000ca}\\");
  EXPECT_EQ(Info(*machine, names[1]).label, "FIRST");
  EXPECT_EQ(Info(*machine, names[2]).label, "SECOND");
}

TEST_F(MountTableTest, MountPointsBeyondPathMaxAnswer) {
  // Directories whose paths reach 4,095 bytes (the longest a mount(2)
  // target can be) and beyond, made a name at a time.
  std::string path = directory_;
  std::string limit, beyond;
  int dir = ::open(path.c_str(), O_PATH | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  while (path.size() < 5000) {
    std::string name(200, 'd');
    if (limit.empty() && path.size() + 1 + name.size() >= 4095) {
      name.resize(4095 - path.size() - 1);
    }
    ASSERT_EQ(::mkdirat(dir, name.c_str(), 0755), 0);
    const int next = ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY);
    ::close(dir);
    ASSERT_GE(next, 0);
    dir = next;
    path += "/" + name;
    if (path.size() == 4095) limit = path;
  }
  ::close(dir);
  beyond = path;
  ASSERT_EQ(limit.size(), 4095u);
  auto machine = Machine({"1 0 8:1 / ext4 x", "2 1 0:70 " + limit + " tmpfs a",
                          "3 2 0:71 " + beyond + " tmpfs b"});
  const std::vector<WideString> names = Names(*machine);
  ASSERT_EQ(names.size(), 3u);
  for (std::size_t i = 1; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Paths(*machine, names[i]),
              std::vector<std::string>{(i == 1 ? limit : beyond) + "/"});
    const Information info = Info(*machine, names[i]);
    EXPECT_TRUE(info.ok) << info.error;
    ULONGLONG total = 0;
    EXPECT_TRUE(machine->GetDiskFreeSpaceExW(names[i].c_str(), nullptr, &total, nullptr));
    EXPECT_GT(total, 0u);
  }
  EXPECT_TRUE(Info(*machine, WideFromPathBytes(beyond + "\\")).ok);
}

TEST_F(MountTableTest, MountPointsOutsideTheBasicPlaneRoundTrip) {
  // U+1F4BE and U+10000 are surrogate pairs in UTF-16.
  const std::string disk = Directory("\xf0\x9f\x92\xbe-\xf0\x90\x80\x80");
  auto machine = Machine({"1 0 8:1 / ext4 x", "2 1 0:80 " + disk + " tmpfs a"});
  const std::vector<WideString> names = Names(*machine);
  ASSERT_EQ(names.size(), 2u);
  std::vector<WCHAR> list(4096);
  DWORD length = 0;
  ASSERT_TRUE(machine->GetVolumePathNamesForVolumeNameW(names[1].c_str(), list.data(),
                                                        4096, &length));
  const WideString listed(list.data());
  EXPECT_NE(listed.find(u"\U0001F4BE-\U00010000/"), WideString::npos);
  EXPECT_EQ(Utf8FromWide(listed), disk + "/");
  // The pair is joined again into the path's bytes.
  const Information info = Info(*machine, listed + u"\\");
  EXPECT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.serial, 80u);
}

// Times in milliseconds, as RereadSchedule's nanoseconds.
constexpr std::int64_t Ms(std::int64_t milliseconds) {
  return milliseconds * 1'000'000;
}

TEST(RereadScheduleTest, ReadsAtOnceUntilReadingTakesMoreThanItsShare) {
  linux_mounts::RereadSchedule schedule;
  EXPECT_TRUE(schedule.DueAt(Ms(0)));  // never read yet
  schedule.Read(Ms(0), Ms(200));       // the first read is free
  EXPECT_FALSE(schedule.HasUnseenChange());

  // Short reads, one after another: the budget pays for each at once.
  schedule.NoteChange();
  EXPECT_TRUE(schedule.HasUnseenChange());
  EXPECT_TRUE(schedule.DueAt(Ms(201)));
  schedule.Read(Ms(201), Ms(211));
  EXPECT_TRUE(schedule.DueAt(Ms(211)));

  // A read longer than the budget overspends it: the next waits five times
  // the overspending, and reading stays within a fifth of the time.
  schedule.Read(Ms(211), Ms(311));
  EXPECT_FALSE(schedule.DueAt(Ms(311 + 5 * 70)));
  EXPECT_TRUE(schedule.DueAt(Ms(312 + 5 * 70)));

  // After a still spell the whole budget is back, and no more.
  schedule.Read(Ms(10000), Ms(10029));
  EXPECT_TRUE(schedule.DueAt(Ms(10029)));
  schedule.Read(Ms(10029), Ms(10039));
  EXPECT_FALSE(schedule.DueAt(Ms(10039)));
}

}  // namespace
}  // namespace platform
