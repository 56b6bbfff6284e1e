#include "sys/file_ops.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sys/run_error.h"
#include "sys/test_support.h"

namespace {

/// Names in directory, sorted; a temporary file left behind shows up here.
std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(directory))
    names.push_back(item.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

/// size bytes that differ from block to block, so a misplaced block changes the content.
std::string Pattern(size_t size) {
  std::string content(size, '\0');
  uint32_t state = 2463534242u;
  for (char& byte : content) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<char>(state);
  }
  return content;
}

void MakeLink(const std::string& target, const std::string& path) { ASSERT_EQ(0, symlink(target.c_str(), path.c_str())); }

// ---- Messages ----

struct MessageCase {
  const char* what;
  std::function<void(const TempDir&)> prepare;
  std::function<void(const TempDir&)> body;
  std::function<std::string(const TempDir&)> expected;
};

TEST(FileOpsMessages, EachFailureHasItsText) {
  auto nothing = [](const TempDir&) {};
  auto file = [](const TempDir& dir) { WriteFile(dir / "file", "x"); };
  const MessageCase cases[] = {
      {"missing user", nothing, [](const TempDir&) { UserId("no-such-user-here"); },
       [](const TempDir&) { return std::string("User no-such-user-here not found, please reinstall Velmira"); }},
      {"numeric user text is a name", nothing, [](const TempDir&) { UserId("0"); },
       [](const TempDir&) { return std::string("User 0 not found, please reinstall Velmira"); }},
      {"missing group", nothing, [](const TempDir&) { GroupId("no-such-group-here"); },
       [](const TempDir&) { return std::string("Group no-such-group-here not found, please reinstall Velmira"); }},
      {"owner: group looked up first", file,
       [](const TempDir& dir) { SetOwner(dir / "file", "no-such-user-here", "no-such-group-here"); },
       [](const TempDir&) { return std::string("Group no-such-group-here not found, please reinstall Velmira"); }},
      {"owner: missing user", file, [](const TempDir& dir) { SetOwner(dir / "file", "no-such-user-here", "root"); },
       [](const TempDir&) { return std::string("User no-such-user-here not found, please reinstall Velmira"); }},
      {"owner of a missing path", nothing, [](const TempDir& dir) { SetOwner(dir / "gone", "root", "root"); },
       [](const TempDir& dir) { return "Cannot chown " + dir / "gone" + ": No such file or directory"; }},
      {"readlink of a file", file, [](const TempDir& dir) { ReadLink(dir / "file"); },
       [](const TempDir& dir) { return "readlink(" + dir / "file" + "): Invalid argument"; }},
      {"readlink of a missing path", nothing, [](const TempDir& dir) { ReadLink(dir / "gone"); },
       [](const TempDir& dir) { return "readlink(" + dir / "gone" + "): No such file or directory"; }},
      {"chmod of a missing path", nothing, [](const TempDir& dir) { SetMode(dir / "gone", 0644); },
       [](const TempDir& dir) { return "chmod(" + dir / "gone" + "): No such file or directory"; }},
      {"times of a missing path", nothing, [](const TempDir& dir) { SetTimes(dir / "gone", 0); },
       [](const TempDir& dir) { return "Cannot set access times of " + dir / "gone" + ": No such file or directory"; }},
      {"mkdir with missing parent", nothing, [](const TempDir& dir) { MakeDir(dir / "a/b", 0755); },
       [](const TempDir& dir) { return "mkdir(" + dir / "a/b" + "): No such file or directory"; }},
      {"mkdir of an existing path", file, [](const TempDir& dir) { MakeDir(dir / "file", 0755); },
       [](const TempDir& dir) { return "mkdir(" + dir / "file" + "): File exists"; }},
      {"syncfs of a missing path", nothing, [](const TempDir& dir) { SyncFileSystem(dir / "gone"); },
       [](const TempDir& dir) { return "syncfs(" + dir / "gone" + "): No such file or directory"; }},
      {"syncfs of a file", file, [](const TempDir& dir) { SyncFileSystem(dir / "file"); },
       [](const TempDir& dir) { return "syncfs(" + dir / "file" + "): Not a directory"; }},
  };
  for (const MessageCase& item : cases) {
    SCOPED_TRACE(item.what);
    TempDir dir;
    item.prepare(dir);
    EXPECT_EQ(item.expected(dir), ErrorOf([&] { item.body(dir); }));
  }
}

TEST(FileOpsMessages, MissingUserLeavesOwnerAlone) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  struct stat before = StatPath(dir / "file");
  ErrorOf([&] { SetOwner(dir / "file", "no-such-user-here", "root"); });
  EXPECT_EQ(before.st_gid, StatPath(dir / "file").st_gid);
}

// ---- Copies ----

TEST(FileOpsCopy, ContentArrivesByteForByte) {
  const size_t sizes[] = {0, 1, 4095, 4096, 4097, (1u << 20) + 1, (5u << 20) + 3};
  for (bool synced : {false, true}) {
    for (size_t size : sizes) {
      SCOPED_TRACE("size " + std::to_string(size) + (synced ? " synced" : ""));
      TempDir dir;
      std::string content = Pattern(size);
      WriteFile(dir / "source", content);
      CopyFile(dir / "source", dir / "destination", synced);
      EXPECT_EQ(content, ReadFile(dir / "destination"));
      EXPECT_EQ(content, ReadFile(dir / "source"));
      EXPECT_EQ((std::vector<std::string>{"destination", "source"}), Names(dir.Path()));
    }
  }
}

TEST(FileOpsCopy, ReplacesLongerContent) {
  TempDir dir;
  WriteFile(dir / "source", "short");
  WriteFile(dir / "destination", Pattern(100000));
  CopyFile(dir / "source", dir / "destination");
  EXPECT_EQ("short", ReadFile(dir / "destination"));
}

TEST(FileOpsCopy, NewFileIsReadableByOwnerOnly) {
  TempDir dir;
  WriteFile(dir / "source", "secret");
  ASSERT_EQ(0, chmod((dir / "source").c_str(), 0644));
  CopyFile(dir / "source", dir / "destination");
  EXPECT_EQ(0600u, StatPath(dir / "destination").st_mode & 07777);
}

TEST(FileOpsCopy, OntoItselfKeepsContent) {
  TempDir dir;
  std::string content = Pattern(300000);
  WriteFile(dir / "file", content);
  const std::string sameFile[] = {dir / "file", dir.Path() + "/./file", dir.Path() + "//file"};
  for (const std::string& destination : sameFile) {
    SCOPED_TRACE(destination);
    CopyFile(dir / "file", destination);
    EXPECT_EQ(content, ReadFile(dir / "file"));
    EXPECT_EQ(std::vector<std::string>{"file"}, Names(dir.Path()));
  }
}

TEST(FileOpsCopy, LinkAtDestinationIsReplacedNotWrittenThrough) {
  struct LinkCase {
    const char* what;
    bool targetExists;
  };
  for (LinkCase item : {LinkCase{"link to a file", true}, LinkCase{"dangling link", false}}) {
    SCOPED_TRACE(item.what);
    TempDir dir;
    TempDir outside;
    if (item.targetExists)
      WriteFile(outside / "victim", "precious");
    WriteFile(dir / "source", "new content");
    MakeLink(outside / "victim", dir / "destination");
    CopyFile(dir / "source", dir / "destination");
    EXPECT_TRUE(S_ISREG(StatPath(dir / "destination").st_mode));
    EXPECT_EQ("new content", ReadFile(dir / "destination"));
    if (item.targetExists) {
      EXPECT_EQ("precious", ReadFile(outside / "victim"));
    }
    EXPECT_EQ((std::vector<std::string>(item.targetExists ? 1 : 0, "victim")), Names(outside.Path()));
  }
}

TEST(FileOpsCopy, LinksInParentComponentsAreFollowed) {
  TempDir dir;
  ASSERT_EQ(0, mkdir((dir / "real").c_str(), 0755));
  MakeLink("real", dir / "moved");
  WriteFile(dir / "source", "content");
  CopyFile(dir / "source", dir / "moved/file");
  EXPECT_EQ("content", ReadFile(dir / "real/file"));
  SetMode(dir / "moved/file", 0640);
  EXPECT_EQ(0640u, StatPath(dir / "real/file").st_mode & 07777);
}

TEST(FileOpsCopy, ReusedDirectoryIsOpenedAgainOnceForgotten) {
  // A directory replaced at its path: where the next copy lands, with and without reuse and forgetting.
  struct Case {
    const char* what;
    bool reuse;
    bool forget;
    const char* landsIn;
  } cases[] = {
      {"no reuse: every copy opens the path", false, false, "d"},
      {"reuse, forgotten after the replacement", true, true, "d"},
      {"reuse, not forgotten: the directory held open", true, false, "d.old"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir / "source", "content");
    ASSERT_EQ(0, mkdir((dir / "d").c_str(), 0755));
    std::unique_ptr<CDirectoryReuse> reuse;
    if (c.reuse)
      reuse = std::make_unique<CDirectoryReuse>();
    CopyFile(dir / "source", dir / "d/first");
    ASSERT_EQ(0, rename((dir / "d").c_str(), (dir / "d.old").c_str()));
    ASSERT_EQ(0, mkdir((dir / "d").c_str(), 0755));
    if (c.forget)
      ForgetOpenDirectories();
    CopyFile(dir / "source", dir / "d/second");
    reuse.reset();
    EXPECT_EQ("content", ReadFile(dir / (std::string(c.landsIn) + "/second"))) << c.what;
    EXPECT_EQ("content", ReadFile(dir / "d.old/first")) << c.what;
    // The end of the scope lets go of it: a third copy goes where the path leads.
    ASSERT_EQ(0, rename((dir / "d").c_str(), (dir / "d.older").c_str()));
    ASSERT_EQ(0, mkdir((dir / "d").c_str(), 0755));
    CopyFile(dir / "source", dir / "d/third");
    EXPECT_EQ("content", ReadFile(dir / "d/third")) << c.what;
  }
}

TEST(FileOpsMove, ObjectTakesTheDestinationsNameWithItsAttributes) {
  TempDir dir;
  WriteFile(dir / "object", "content");
  WriteFile(dir / "destination", "old");
  MakeLink("object", dir / "link");
  CopyAttributes attributes;
  attributes.user = geteuid();
  attributes.group = getegid();
  attributes.mode = 0640;
  attributes.setTimes = true;
  attributes.mtime = 1700000000;
  const ino_t inode = StatPath(dir / "object").st_ino;
  struct stat installed {};
  ASSERT_TRUE(MoveFileWithAttributes(dir / "object", dir / "destination", attributes, &installed));
  EXPECT_EQ("content", ReadFile(dir / "destination"));
  EXPECT_EQ(inode, installed.st_ino);
  EXPECT_EQ(0640u, installed.st_mode & 07777);
  EXPECT_EQ(1700000000, installed.st_mtime);
  EXPECT_EQ((std::vector<std::string>{"destination", "link"}), Names(dir.Path()));
  // What stands at the source's name must be a regular file of its own: a link is not followed.
  EXPECT_THROW(MoveFileWithAttributes(dir / "link", dir / "other", attributes), RunError);
  EXPECT_THROW(MoveFileWithAttributes(dir / "missing", dir / "other", attributes), RunError);
}

TEST(FileOpsCopy, SourceOnAnotherFileSystem) {
  // /proc files claim length 0 and have content; the copy must not trust the length.
  TempDir dir;
  std::string expected = ReadFile("/proc/version");
  ASSERT_FALSE(expected.empty());
  CopyFile("/proc/version", dir / "version");
  EXPECT_EQ(expected, ReadFile(dir / "version"));
}

TEST(FileOpsCopy, LongDestinationNameStillGetsATemporary) {
  TempDir dir;
  std::string name(255, 'n');
  WriteFile(dir / "source", "content");
  CopyFile(dir / "source", dir / name);
  EXPECT_EQ("content", ReadFile(dir / name));
}

struct CopyFailure {
  const char* what;
  std::function<void(const TempDir&)> prepare;
  std::string source;
  std::string destination;
  std::function<std::string(const TempDir&)> expected;
};

TEST(FileOpsCopy, FailuresLeaveDestinationAndNoTemporary) {
  auto plain = [](const TempDir& dir) { WriteFile(dir / "source", "new"); };
  const CopyFailure cases[] = {
      {"missing source", [](const TempDir&) {}, "gone", "destination",
       [](const TempDir& dir) { return "fopen(" + dir / "gone" + "): No such file or directory"; }},
      {"missing directory", plain, "source", "nowhere/destination",
       [](const TempDir& dir) { return "fopen(" + dir / "nowhere/destination" + "): No such file or directory"; }},
      {"directory as source",
       [](const TempDir& dir) { ASSERT_EQ(0, mkdir((dir / "tree").c_str(), 0755)); }, "tree", "destination",
       [](const TempDir& dir) { return "fread(" + dir / "tree" + "): Is a directory"; }},
      {"directory at destination",
       [](const TempDir& dir) {
         WriteFile(dir / "source", "new");
         ASSERT_EQ(0, mkdir((dir / "place").c_str(), 0755));
         WriteFile(dir / "place/inside", "kept");
       },
       "source", "place", [](const TempDir& dir) { return "fopen(" + dir / "place" + "): Is a directory"; }},
  };
  for (const CopyFailure& item : cases) {
    SCOPED_TRACE(item.what);
    TempDir dir;
    item.prepare(dir);
    if (item.destination == "destination")
      WriteFile(dir / "destination", "old content");
    std::vector<std::string> before = Names(dir.Path());
    EXPECT_EQ(item.expected(dir), ErrorOf([&] { CopyFile(dir / item.source, dir / item.destination, true); }));
    EXPECT_EQ(before, Names(dir.Path()));
    if (item.destination == "destination") {
      EXPECT_EQ("old content", ReadFile(dir / "destination"));
    }
  }
}

// ---- Mount namespaces of their own: a full disk, no /proc ----


TEST(FileOpsFullDisk, WriteFailureLeavesDestinationIntact) {
  if (!IsRoot())
    GTEST_SKIP() << "mounting a tmpfs needs root";
  struct DiskCase {
    const char* what;
    bool sourceOnSameDisk;
    bool synced;
  };
  const DiskCase cases[] = {
      {"source elsewhere", false, false},
      {"source elsewhere, synced", false, true},
      {"source on the same disk", true, false},
      {"source on the same disk, synced", true, true},
  };
  for (const DiskCase& item : cases) {
    SCOPED_TRACE(item.what);
    TempDir dir;
    ASSERT_EQ(0, mkdir((dir / "disk").c_str(), 0755));
    // The tmpfs holds 256 KiB: a source on it leaves room for less than its own size, one elsewhere is larger.
    std::string content = Pattern(item.sourceOnSameDisk ? 160 * 1024 : 320 * 1024);
    if (!item.sourceOnSameDisk)
      WriteFile(dir / "source", content);
    const std::string disk = dir / "disk";
    std::string source = item.sourceOnSameDisk ? disk + "/source" : dir / "source";
    std::string destination = disk + "/table";
    std::string report = InOwnMounts([&] {
      if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0)
        return std::string("skip: no tmpfs: ") + strerror(errno);
      FILE* stream = fopen(destination.c_str(), "w");
      if (!stream || fputs("old content", stream) < 0 || fclose(stream) != 0)
        return std::string("cannot prepare destination");
      if (item.sourceOnSameDisk) {
        stream = fopen(source.c_str(), "w");
        if (!stream || fwrite(content.data(), 1, content.size(), stream) != content.size() || fclose(stream) != 0)
          return std::string("cannot prepare source");
      }
      std::string message = ErrorOf([&] { CopyFile(source, destination, item.synced); });
      std::string names;
      for (const std::string& name : Names(disk))
        names += name + " ";
      return message + "\n" + ReadFile(destination) + "\n" + names;
    });
    if (report.rfind("skip: ", 0) == 0)
      GTEST_SKIP() << report;
    std::string expectedNames = item.sourceOnSameDisk ? "source table " : "table ";
    EXPECT_EQ("fwrite(" + destination + "): Write error, disk full?\nold content\n" + expectedNames, report);
  }
}

TEST(FileOpsAttributes, SetModeWithoutProcStillNeverSkipsAFile) {
  // The C library changes a mode without following links through /proc; without it the change cannot be
  // made, and that must be an error, not a file silently left with its old mode.
  if (!IsRoot())
    GTEST_SKIP() << "unmounting /proc needs root";
  TempDir dir;
  WriteFile(dir / "file", "x");
  MakeLink("file", dir / "link");
  std::string report = InOwnMounts([&] {
    if (umount2("/proc", MNT_DETACH) != 0)
      return std::string("skip: cannot unmount /proc: ") + strerror(errno);
    return ErrorOf([&] { SetMode(dir / "link", 0777); }) + "\n" + ErrorOf([&] { SetMode(dir / "file", 0700); });
  });
  if (report.rfind("skip: ", 0) == 0)
    GTEST_SKIP() << report;
  struct stat status = StatPath(dir / "file");
  if ((status.st_mode & 07777) == 0700) {
    EXPECT_EQ("(no error)\n(no error)", report);  // a C library that needs no /proc for this
  } else {
    EXPECT_EQ("(no error)\nchmod(" + dir / "file" + "): Operation not supported", report);
  }
}

// ---- Attributes ----

TEST(FileOpsAttributes, SetModeChangesFilesAndDirectories) {
  struct ModeCase {
    const char* what;
    bool directory;
    uint32_t mode;
    uint32_t expected;
  };
  const ModeCase cases[] = {
      {"file", false, 0640, 0640},
      {"file, whole mode word", false, 0100604, 0604},
      {"file, set-user-ID", false, 04755, 04755},
      {"directory, whole mode word", true, 040750, 0750},
      {"directory, sticky", true, 01777, 01777},
  };
  for (const ModeCase& item : cases) {
    SCOPED_TRACE(item.what);
    TempDir dir;
    std::string path = dir / "item";
    if (item.directory)
      ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    else
      WriteFile(path, "x");
    SetMode(path, item.mode);
    EXPECT_EQ(item.expected, StatPath(path).st_mode & 07777);
  }
}

TEST(FileOpsAttributes, LinkAtPathIsNotFollowed) {
  TempDir dir;
  TempDir outside;
  WriteFile(outside / "victim", "x");
  ASSERT_EQ(0, chmod((outside / "victim").c_str(), 0600));
  const struct timespec victimTimes[2] = {{1000, 0}, {2000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (outside / "victim").c_str(), victimTimes, 0));
  MakeLink(outside / "victim", dir / "link");
  MakeLink(outside / "nothing", dir / "dangling");

  for (const char* name : {"link", "dangling"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ("(no error)", ErrorOf([&] { SetMode(dir / name, 0777); }));
    EXPECT_EQ("(no error)", ErrorOf([&] { SetTimes(dir / name, 1234567890); }));
    struct stat link = StatPath(dir / name);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(1234567890, link.st_mtim.tv_sec);
    EXPECT_EQ(1234567890, link.st_atim.tv_sec);
  }
  struct stat victim = StatPath(outside / "victim");
  EXPECT_EQ(0600u, victim.st_mode & 07777);
  EXPECT_EQ(1000, victim.st_atim.tv_sec);
  EXPECT_EQ(2000, victim.st_mtim.tv_sec);
  EXPECT_EQ(std::vector<std::string>{"victim"}, Names(outside.Path()));
}

TEST(FileOpsAttributes, InPlaceChangesRefuseFilesWithOtherNames) {
  struct Case {
    const char* what;
    std::function<void(const std::string& dir)> make;  // makes dir/item
    uint32_t mode;
    std::string error;      // "" when the change is made
    uint32_t expectedMode;  // of item afterwards, not followed
  } cases[] = {
      {"file", [](const std::string& d) { WriteFile(d + "/item", "x"); }, 0640, "", 0640},
      {"file, set-user-ID survives the owner", [](const std::string& d) { WriteFile(d + "/item", "x"); }, 04750, "",
       04750},
      {"directory", [](const std::string& d) { ASSERT_EQ(0, mkdir((d + "/item").c_str(), 0700)); }, 0750, "", 0750},
      {"file with a second name",
       [](const std::string& d) {
         WriteFile(d + "/other", "x");
         ASSERT_EQ(0, chmod((d + "/other").c_str(), 0600));
         ASSERT_EQ(0, link((d + "/other").c_str(), (d + "/item").c_str()));
       },
       0666, "/item has 2 hard links: refusing to change the owner or mode of a file that other names share", 0600},
      {"link: only its owner", [](const std::string& d) { MakeLink("other", d + "/item"); }, 0, "", 0777},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.make(dir.Path());
    std::string error = ErrorOf([&] { ChangeModeAndOwnerInPlace(dir / "item", getuid(), getgid(), c.mode); });
    EXPECT_EQ(c.error.empty() ? "(no error)" : dir.Path() + c.error, error);
    EXPECT_EQ(c.expectedMode, StatPath(dir / "item").st_mode & 07777);
  }
}

TEST(FileOpsAttributes, SetTimesSetsBothTimesInWholeSeconds) {
  for (int64_t time : {int64_t{0}, int64_t{86400}, int64_t{1700000000}}) {
    SCOPED_TRACE(time);
    TempDir dir;
    WriteFile(dir / "file", "x");
    ASSERT_EQ(0, mkdir((dir / "dir").c_str(), 0755));
    for (const char* name : {"file", "dir"}) {
      SetTimes(dir / name, time);
      struct stat status = StatPath(dir / name);
      EXPECT_EQ(time, status.st_atim.tv_sec);
      EXPECT_EQ(time, status.st_mtim.tv_sec);
      EXPECT_EQ(0, status.st_atim.tv_nsec);
      EXPECT_EQ(0, status.st_mtim.tv_nsec);
    }
  }
}

TEST(FileOpsAttributes, SetOwnerUsesSystemNames) {
  if (!IsRoot())
    GTEST_SKIP() << "changing owners needs root";
  struct OwnerCase {
    const char* owner;
    const char* group;
  };
  const OwnerCase cases[] = {{"daemon", "bin"}, {"bin", "nogroup"}, {"nobody", "staff"}, {"root", "root"}};
  for (const OwnerCase& item : cases) {
    SCOPED_TRACE(std::string(item.owner) + ":" + item.group);
    TempDir dir;
    WriteFile(dir / "file", "x");
    ASSERT_EQ(0, mkdir((dir / "dir").c_str(), 0755));
    WriteFile(dir / "target", "x");
    MakeLink("target", dir / "link");
    for (const char* name : {"file", "dir", "link"}) {
      SetOwner(dir / name, item.owner, item.group);
      struct stat status = StatPath(dir / name);
      EXPECT_EQ(UserId(item.owner), status.st_uid) << name;
      EXPECT_EQ(GroupId(item.group), status.st_gid) << name;
    }
    EXPECT_EQ(0u, StatPath(dir / "target").st_uid);
    EXPECT_EQ(0u, StatPath(dir / "target").st_gid);
  }
}

TEST(FileOpsAttributes, MakeDirAppliesUmask) {
  TempDir dir;
  mode_t mask = umask(022);
  MakeDir(dir / "made", 0777);
  umask(mask);
  struct stat status = StatPath(dir / "made");
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(0755u, status.st_mode & 07777);
}

// ---- Existence and links ----

TEST(FileOpsPaths, PathExistsLooksAtThePathItself) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  MakeLink(dir / "nothing", dir / "dangling");
  struct PathCase {
    std::string path;
    bool exists;
  };
  const PathCase cases[] = {
      {dir / "file", true}, {dir / "dangling", true}, {dir / "gone", false}, {dir / "file/below", false}};
  for (const PathCase& item : cases) {
    struct stat status {};
    EXPECT_EQ(item.exists, PathExists(item.path, status)) << item.path;
  }
  struct stat status {};
  ASSERT_TRUE(PathExists(dir / "dangling", status));
  EXPECT_TRUE(S_ISLNK(status.st_mode));
}

TEST(FileOpsPaths, ReadLinkReturnsTheText) {
  const std::string texts[] = {"target", "../up/and/over", std::string("odd\nbytes\xff"), std::string(4094, 'a'),
                               std::string(4095, 'b')};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.size());
    TempDir dir;
    MakeLink(text, dir / "link");
    EXPECT_EQ(text, ReadLink(dir / "link"));
  }
}

}  // namespace
