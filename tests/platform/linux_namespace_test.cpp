// The Linux machine with real mounts, made in a private mount namespace of
// this process's own (each test runs in a process of its own under CTest):
// changes seen in one process, hidden filesystems, btrfs subvolumes,
// overlays, unprivileged users, dead and stopped FUSE daemons.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel32.h"
#include "platform/wide_string.h"
#include "shell.h"
#include "test_environment.h"
#include "volume_names.h"

namespace platform {
namespace {

// Why this process could not have a mount namespace of its own; empty
// where it has one.
std::string namespace_refusal;

WideString W(const std::string& utf8) { return WideFromUtf8(utf8); }

bool HasTool(const std::string& tool) {
  return !Shell("command -v " + tool + " 2>/dev/null").empty();
}

struct Volume {
  std::string name;
  std::vector<std::string> paths;
};

std::vector<Volume> Volumes() {
  std::vector<Volume> volumes;
  for (const WideString& name : VolumeNames()) {
    Volume volume{Utf8FromWide(name), {}};
    WCHAR list[8192];
    DWORD length = 0;
    if (GetVolumePathNamesForVolumeNameW(name.c_str(), list, 8192, &length)) {
      for (const WCHAR* at = list; *at != 0; at += WideView(at).size() + 1) {
        volume.paths.push_back(*PathBytesFromWide(WideView(at)));
      }
    }
    volumes.push_back(volume);
  }
  return volumes;
}

// The volume listed with this mount point, if any.
const Volume* Listed(const std::vector<Volume>& volumes, const std::string& path) {
  for (const Volume& volume : volumes) {
    for (const std::string& listed : volume.paths) {
      if (listed == path + "/") return &volume;
    }
  }
  return nullptr;
}

struct Information {
  BOOL ok;
  DWORD error;
  DWORD serial;
  std::string label;
  std::string filesystem;
};

Information Info(const WideString& root) {
  WCHAR label[kMaxPath + 1] = {0}, filesystem[kMaxPath + 1] = {0};
  Information info{};
  SetLastError(0);
  info.ok = GetVolumeInformationW(root.c_str(), label, kMaxPath + 1, &info.serial,
                                  nullptr, nullptr, filesystem, kMaxPath + 1);
  info.error = GetLastError();
  info.label = Utf8FromWide(WideView(label));
  info.filesystem = Utf8FromWide(WideView(filesystem));
  return info;
}

Information InfoByHandle(int fd) {
  WCHAR label[kMaxPath + 1] = {0}, filesystem[kMaxPath + 1] = {0};
  Information info{};
  SetLastError(0);
  info.ok = GetVolumeInformationByHandleW(
      reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd)), label, kMaxPath + 1,
      &info.serial, nullptr, nullptr, filesystem, kMaxPath + 1);
  info.error = GetLastError();
  info.label = Utf8FromWide(WideView(label));
  info.filesystem = Utf8FromWide(WideView(filesystem));
  return info;
}

DWORD DeviceOf(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 ? static_cast<DWORD>(status.st_dev) : 0;
}

// Runs `body` in a child process and returns its exit status, or -1 when it
// has not finished within `seconds` (it is then killed).
template <class Body>
int InChild(Body body, int seconds) {
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// An unprivileged user: nobody, with no groups.
bool BecomeNobody() {
  return ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
         ::setresuid(65534, 65534, 65534) == 0;
}

// What `describe` returns when run by nobody in a child process, with the
// child's exit status (0 when it ran; -1 when it hung).
struct NobodyRun {
  int status;
  std::string text;
};
NobodyRun AsNobody(const std::string& device,
                   const std::function<std::string()>& describe) {
  int output[2];
  if (::pipe(output) != 0) return {20, std::string()};
  const int status = InChild(
      [&] {
        if (!BecomeNobody()) return 10;
        // Otherwise the test would show nothing.
        if (::open(device.c_str(), O_RDONLY) >= 0 || errno != EACCES) return 11;
        const std::string text = describe();
        return ::write(output[1], text.data(), text.size()) ==
                       static_cast<ssize_t>(text.size())
                   ? 0
                   : 12;
      },
      60);
  ::close(output[1]);
  NobodyRun run{status, std::string()};
  char chunk[4096];
  for (ssize_t count; (count = ::read(output[0], chunk, sizeof chunk)) > 0;) {
    run.text.append(chunk, count);
  }
  ::close(output[0]);
  return run;
}

class NamespaceTest : public test_environment::TemporaryDirectoryTest {
 protected:
  NamespaceTest() : TemporaryDirectoryTest("volumes-ns") {}

  void SetUp() override {
    if (!namespace_refusal.empty()) GTEST_SKIP() << namespace_refusal;
    unsetenv("VOLUMES_SIMULATION");
    TemporaryDirectoryTest::SetUp();
    ::chmod(directory_.c_str(), 0755);  // for the tests run by nobody
  }
  void TearDown() override {
    if (directory_.empty()) return;
    // Mounts go with the namespace; the files are what is left.
    Shell("grep -o ' " + directory_ + "[^ ]*' /proc/self/mountinfo | sort -r | "
          "xargs -r -n1 umount -l 2>/dev/null");
    TemporaryDirectoryTest::TearDown();
  }

  std::string Directory(const std::string& name, mode_t mode = 0755) {
    const std::string path = Path(name);
    Shell("mkdir -p '" + path + "'");
    ::chmod(path.c_str(), mode);
    return path;
  }

  // Mounts a new ext4 image with this label and UUID on `path`; its loop
  // device, or empty where that cannot be done here.
  std::string MountExt4(const std::string& path, const std::string& label,
                        const std::string& uuid) {
    const std::string image = path + ".img";
    Shell("truncate -s 32M " + image + " && mkfs.ext4 -q -L '" + label + "' -U " +
          uuid + " " + image);
    if (!Shell("mount -o loop " + image + " " + path + " 2>&1").empty()) return "";
    return Shell("findmnt -no SOURCE " + path);
  }

  void MountTmpfs(const std::string& path) {
    ASSERT_EQ(::mount("volumes-test", path.c_str(), "tmpfs", 0, "size=1m"), 0)
        << std::strerror(errno);
  }

};

TEST_F(NamespaceTest, MountsAndUnmountsAreSeenByTheSameProcess) {
  const std::string place = Directory("place");
  EXPECT_EQ(Listed(Volumes(), place), nullptr);
  MountTmpfs(place);
  const std::vector<Volume> after_mount = Volumes();
  const Volume* mounted = Listed(after_mount, place);
  ASSERT_NE(mounted, nullptr);
  const Information info = Info(W(mounted->name));
  EXPECT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.serial, DeviceOf(place));
  ASSERT_EQ(::umount(place.c_str()), 0);
  EXPECT_EQ(Listed(Volumes(), place), nullptr);
  MountTmpfs(place);
  EXPECT_NE(Listed(Volumes(), place), nullptr);

  // A mount over it hides it: the listed volume is the one on top, and the
  // one below is listed no more.
  const std::string below = Listed(Volumes(), place)->name;
  const std::string file = place + "/below.txt";
  std::ofstream(file) << "x";
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  MountTmpfs(place);
  const std::vector<Volume> volumes = Volumes();
  const Volume* top = Listed(volumes, place);
  ASSERT_NE(top, nullptr);
  EXPECT_NE(top->name, below);
  EXPECT_EQ(Info(W(place + "\\")).serial, DeviceOf(place));
  for (const Volume& volume : volumes) EXPECT_NE(volume.name, below);
  // A file of the hidden filesystem still has its volume.
  struct stat status;
  ASSERT_EQ(::fstat(fd, &status), 0);
  const Information hidden = InfoByHandle(fd);
  EXPECT_TRUE(hidden.ok) << hidden.error;
  EXPECT_EQ(hidden.serial, static_cast<DWORD>(status.st_dev));
  EXPECT_EQ(hidden.filesystem, "tmpfs");
  ::close(fd);
}

TEST_F(NamespaceTest, BtrfsSubvolumes) {
  if (!HasTool("mkfs.btrfs") || !HasTool("btrfs")) {
    GTEST_SKIP() << "btrfs-progs is not installed";
  }
  const std::string image = Path("btrfs.img"), top = Directory("btrfs");
  Shell("truncate -s 200M " + image + " && mkfs.btrfs -q -L SUBVOLS " + image);
  if (!Shell("mount -o loop " + image + " " + top + " 2>&1").empty()) {
    GTEST_SKIP() << "btrfs cannot be mounted here";
  }
  Shell("btrfs -q subvolume create " + top + "/inner");
  const std::string file = top + "/inner/file.txt";
  std::ofstream(file) << "x";

  const std::vector<Volume> volumes = Volumes();
  const Volume* volume = Listed(volumes, top);
  ASSERT_NE(volume, nullptr);
  const Information info = Info(W(volume->name));
  ASSERT_TRUE(info.ok) << info.error;
  // The mounted subvolume's device number, not the one the table shows.
  EXPECT_EQ(info.serial, DeviceOf(top));
  EXPECT_EQ(info.filesystem, "btrfs");
  EXPECT_EQ(info.label, "SUBVOLS");

  // A subvolume that is not mounted on its own has a device number of its
  // own; its files answer from the mount that holds them.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_NE(DeviceOf(file), DeviceOf(top));
  const Information inner = InfoByHandle(fd);
  ::close(fd);
  EXPECT_TRUE(inner.ok) << inner.error;
  EXPECT_EQ(inner.filesystem, "btrfs");
  EXPECT_EQ(inner.label, "SUBVOLS");
  EXPECT_EQ(inner.serial, DeviceOf(file));
}

TEST_F(NamespaceTest, OverlaysAreVolumes) {
  const std::string lower = Directory("lower"), layers = Directory("layers"),
                    merged = Directory("merged");
  std::ofstream(lower + "/from-lower.txt") << "x";
  MountTmpfs(layers);
  Directory("layers/upper");
  Directory("layers/work");
  const std::string options = "lowerdir=" + lower + ",upperdir=" + layers +
                              "/upper,workdir=" + layers + "/work";
  if (::mount("overlay", merged.c_str(), "overlay", 0, options.c_str()) != 0) {
    GTEST_SKIP() << "overlay cannot be mounted here: " << std::strerror(errno);
  }
  const Volume* volume = Listed(Volumes(), merged);
  ASSERT_NE(volume, nullptr);
  const Information info = Info(W(merged + "\\"));
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.filesystem, "overlay");
  EXPECT_EQ(info.serial, DeviceOf(merged));
  EXPECT_EQ(GetDriveTypeW(W(merged + "\\").c_str()), kDriveUnknown);

  // A lower file on another filesystem keeps a device number of its own.
  const std::string file = merged + "/from-lower.txt";
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const Information by_handle = InfoByHandle(fd);
  ::close(fd);
  EXPECT_TRUE(by_handle.ok) << by_handle.error;
  EXPECT_EQ(by_handle.filesystem, "overlay");
  EXPECT_EQ(by_handle.serial, DeviceOf(file));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// Each volume's name, first mount point, label and filesystem (or error),
// one per line.
std::string Described(const std::vector<Volume>& volumes) {
  std::string text;
  for (const Volume& volume : volumes) {
    const Information info = Info(W(volume.name));
    text += volume.name + " " + volume.paths.front() + " " + info.label + " " +
            (info.ok ? info.filesystem : "error " + std::to_string(info.error)) + "\n";
  }
  return text;
}

TEST_F(NamespaceTest, AnUnprivilegedUserSeesTheSameVolumesAndNames) {
  const std::string disk = Directory("disk");
  const std::string uuid = "5e1ec7ed-0000-4000-8000-0000000000aa";
  const std::string device = MountExt4(disk, "SHAREDLABEL", uuid);
  if (device.empty()) GTEST_SKIP() << "ext4 cannot be loop-mounted here";
  // A mount below a directory that only root may search.
  const std::string locked = Directory("locked", 0700) + "/inside";
  Shell("mkdir -p " + locked);
  MountTmpfs(locked);

  // Where udev publishes no /dev/disk links and nothing has filled
  // libblkid's cache (a container, this test machine), the test publishes
  // the UUIDs as blkid does, in the cache at its usual place, on a /run of
  // this namespace's own.
  MountTmpfs("/run");
  Shell("mkdir -p /run/blkid && blkid >/dev/null");
  ASSERT_EQ(::access("/run/blkid/blkid.tab", R_OK), 0) << "blkid wrote no cache";
  // Nobody first, so that no table that root read is there to inherit.
  const NobodyRun nobody = AsNobody(device, [] { return Described(Volumes()); });
  ASSERT_EQ(nobody.status, 0);
  const std::string& as_nobody = nobody.text;
  const std::string as_root = Described(Volumes());
  EXPECT_NE(as_root.find("\\\\?\\Volume{" + uuid + "}\\ " + disk + "/ SHAREDLABEL ext4"),
            std::string::npos)
      << as_root;
  // The same volumes under the same names, in the same order.  What nobody
  // may read reads the same; the mount below the locked directory is
  // refused (and so may be other users' FUSE mounts, which this namespace
  // may have copied from the machine's).
  const std::vector<std::string> root_lines = Lines(as_root),
                                 nobody_lines = Lines(as_nobody);
  ASSERT_EQ(nobody_lines.size(), root_lines.size()) << as_nobody;
  const std::string refused = "  error " + std::to_string(kErrorAccessDenied);
  for (std::size_t i = 0; i < root_lines.size(); ++i) {
    const std::string& line = nobody_lines[i];
    // "NAME PATH/ LABEL FILESYSTEM": the name has no '/'.
    const std::size_t path_end = line.find("/ ", line.find('/')) + 1;
    ASSERT_EQ(line.substr(0, path_end), root_lines[i].substr(0, path_end));
    if (line.size() >= refused.size() &&
        line.compare(line.size() - refused.size(), refused.size(), refused) == 0) {
      continue;
    }
    EXPECT_EQ(line, root_lines[i]);
  }
  EXPECT_NE(as_nobody.find(" " + locked + "/" + refused + "\n"), std::string::npos)
      << as_nobody;
  EXPECT_NE(as_nobody.find("\\\\?\\Volume{" + uuid + "}\\ " + disk + "/ SHAREDLABEL ext4"),
            std::string::npos)
      << as_nobody;
}

TEST_F(NamespaceTest, UdevLinksNameVolumesForAnUnprivilegedUser) {
  const std::string disk = Directory("linked");
  const std::string uuid = "11111111-2222-4333-8444-555555555555";
  const std::string device = MountExt4(disk, "LINK LABEL", uuid);
  if (device.empty()) GTEST_SKIP() << "ext4 cannot be loop-mounted here";
  // The links that udev would make, on a /dev of this namespace's own (an
  // overlay over the machine's), and no blkid cache.
  const std::string layers = Directory("dev-layers");
  MountTmpfs(layers);
  MountTmpfs("/run");
  Directory("dev-layers/upper");
  Directory("dev-layers/work");
  const std::string options = "lowerdir=/dev,upperdir=" + layers +
                              "/upper,workdir=" + layers + "/work";
  if (::mount("overlay", "/dev", "overlay", 0, options.c_str()) != 0) {
    GTEST_SKIP() << "no overlay over /dev here: " << std::strerror(errno);
  }
  const std::string node = device.substr(device.rfind('/') + 1);
  Shell("mkdir -p /dev/disk/by-uuid /dev/disk/by-label && ln -s ../../" + node +
        " /dev/disk/by-uuid/" + uuid + " && ln -s ../../" + node +
        " '/dev/disk/by-label/LINK\\x20LABEL'");

  const NobodyRun nobody = AsNobody(device, [&] {
    const std::vector<Volume> volumes = Volumes();
    const Volume* volume = Listed(volumes, disk);
    return volume == nullptr ? std::string("not listed")
                             : volume->name + "|" + Info(W(volume->name)).label;
  });
  ASSERT_EQ(nobody.status, 0);
  EXPECT_EQ(nobody.text, "\\\\?\\Volume{" + uuid + "}\\|LINK LABEL");
}

TEST_F(NamespaceTest, DeadAndStoppedFuseDaemons) {
  if (!HasTool("fusefat") || !HasTool("mkfs.vfat") || ::access("/dev/fuse", R_OK) != 0) {
    GTEST_SKIP() << "needs fusefat, mkfs.vfat and /dev/fuse";
  }
  const std::string image = Path("fat.img"), fuse = Directory("fuse");
  Shell("truncate -s 32M " + image + " && mkfs.vfat -n FUSEFAT " + image + " >/dev/null");
  std::fflush(nullptr);
  const pid_t daemon = ::fork();
  if (daemon == 0) {
    ::execlp("fusefat", "fusefat", "-f", "-o", ("ro,fsname=" + image).c_str(),
             image.c_str(), fuse.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 250 && Listed(Volumes(), fuse) == nullptr; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (Listed(Volumes(), fuse) == nullptr) {
    ::kill(daemon, SIGKILL);
    ::waitpid(daemon, nullptr, 0);
    GTEST_SKIP() << "fusefat could not mount here";
  }
  ASSERT_TRUE(Info(W(fuse + "\\")).ok);

  // A stopped daemon stalls the calls about its volume, not a listing made
  // after an unrelated change of the mount table.
  ::kill(daemon, SIGSTOP);
  MountTmpfs(Directory("unrelated"));
  const int listing = InChild(
      [&] { return Listed(Volumes(), fuse) != nullptr ? 0 : 1; }, 20);
  ::kill(daemon, SIGCONT);
  EXPECT_EQ(listing, 0) << "-1: the listing hung on the stopped daemon";

  // A daemon that died leaves its volume listed, and a clear error.
  ::kill(daemon, SIGKILL);
  ::waitpid(daemon, nullptr, 0);
  ASSERT_NE(Listed(Volumes(), fuse), nullptr);
  const Information dead = Info(W(fuse + "\\"));
  EXPECT_FALSE(dead.ok);
  EXPECT_EQ(dead.error, kErrorNotReady);
  Shell("umount -l " + fuse);
}

}  // namespace
}  // namespace platform

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  using platform::namespace_refusal;
  if (::geteuid() != 0) {
    namespace_refusal = "a private mount namespace needs root here";
  } else if (::unshare(CLONE_NEWNS) != 0) {
    namespace_refusal = std::string("unshare(CLONE_NEWNS) refused: ") + std::strerror(errno);
  } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    namespace_refusal = std::string("cannot make mounts private: ") + std::strerror(errno);
  }
  return RUN_ALL_TESTS();
}
