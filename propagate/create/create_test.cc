#include "create/create.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <set>

#include "sys/control_sum.h"
#include "sys/mapped_file.h"
#include "sys/sha256.h"
#include "sys/test_support.h"
#include "table/table_parser.h"
#include "table/table_writer.h"

namespace {

/// Sets an environment variable for the lifetime of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name(name) { setenv(name, value, 1); }
  ~ScopedEnvironment() { unsetenv(name); }

 private:
  const char* name;
};

CreateOptions Settings(const std::string& stage, const std::string& repo, unsigned jobs = 2) {
  CreateOptions options;
  options.stagedir = stage;
  options.repodir = repo;
  options.jobs = jobs;
  return options;
}

void SetTime(const std::string& path, int64_t seconds) {
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW)) << path;
}

void MakeDir(const std::string& path, mode_t mode = 0755) {
  ASSERT_EQ(0, mkdir(path.c_str(), mode)) << path;
  ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
}

void MakeFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
  WriteFile(path, content);
  ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
}

// The staged tree of hard cases: names that need escaping, a name of 255 bytes, a deep path, empty files,
// hard links, duplicate contents, set-user-ID and set-group-ID files, links to directories and dangling
// links, an empty directory and a directory of mode 0700; every entry with a time of its own.
void MakeHardTree(const std::string& stage) {
  MakeDir(stage);
  MakeDir(stage + "/with blank");
  MakeFile(stage + "/with blank/plus+sign", "plus\n");
  MakeFile(stage + "/with blank/line\nfeed", "line\n");
  MakeFile(stage + "/tab\tname", "tab\n", 0600);
  MakeFile(stage + "/\xc3\xa9t\xc3\xa9", "summer\n");
  MakeFile(stage + "/" + std::string(255, 'n'), "long name\n");
  std::string deep = stage;
  for (int level = 0; level < 40; ++level) {
    deep += "/level" + std::to_string(level);
    MakeDir(deep);
  }
  MakeFile(deep + "/bottom", "deep\n");
  MakeFile(stage + "/empty", "");
  MakeFile(stage + "/empty too", "");
  MakeFile(stage + "/hard", std::string(300000, 'h'));
  ASSERT_EQ(0, link((stage + "/hard").c_str(), (stage + "/hard link").c_str()));
  MakeFile(stage + "/duplicate 1", "same content\n");
  MakeFile(stage + "/duplicate 2", "same content\n", 0640);
  MakeFile(stage + "/setuid", "#!/bin/sh\n", 04755);
  MakeFile(stage + "/setgid", "#!/bin/sh\n", 02755);
  ASSERT_EQ(0, symlink("with blank", (stage + "/link to dir").c_str()));
  ASSERT_EQ(0, symlink("nowhere/at all", (stage + "/dangling").c_str()));
  MakeDir(stage + "/empty dir");
  MakeDir(stage + "/private", 0700);
  MakeFile(stage + "/private/secret", "secret\n", 0400);
  MakeDir(stage + "/sticky", 01777);

  auto setTimes = [](const char* path, const struct stat*, int, struct FTW*) -> int {
    static int64_t next = 0;
    const struct timespec times[2] = {{1600000000 + next * 1000, 0}, {1600000000 + next * 1000, 0}};
    ++next;
    return utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
  };
  ASSERT_EQ(0, nftw(stage.c_str(), setTimes, 16, FTW_PHYS | FTW_DEPTH));
}

std::vector<TableEntry> ReadTable(const std::string& repo, std::vector<std::string>* lines = nullptr) {
  std::vector<std::string> read;
  LoadLines(repo + "/files.txt", read);
  CTableParser parser;
  std::vector<TableEntry> entries;
  for (const std::string& line : read) {
    TableEntry entry;
    if (!parser.ParseLine(line, entry))
      break;
    if (entry.kind != EntryKind::None)
      entries.push_back(entry);
  }
  EXPECT_EQ(CTableParser::ParserState::Ended, parser.State());
  if (lines)
    *lines = read;
  return entries;
}

std::string UserName(uid_t id) {
  const struct passwd* entry = getpwuid(id);
  return entry ? entry->pw_name : "?";
}

std::string GroupName(gid_t id) {
  const struct group* entry = getgrgid(id);
  return entry ? entry->gr_name : "?";
}

size_t CountEntries(const std::string& top) {
  static size_t count;
  count = 0;
  nftw(top.c_str(), [](const char*, const struct stat*, int, struct FTW*) { return ++count, 0; }, 16, FTW_PHYS);
  return count - 1;  // the top gets no record
}

std::string LinkText(const std::string& path) {
  char text[4096];
  ssize_t length = readlink(path.c_str(), text, sizeof text);
  return length < 0 ? "?" : std::string(text, static_cast<size_t>(length));
}

/// Checks every record of the table in repo against the entry of the staged tree at its path.
void ExpectTableDescribesTree(const std::string& stage, const std::string& repo) {
  std::vector<std::string> lines;
  std::vector<TableEntry> entries = ReadTable(repo, &lines);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(kCreatedTableComment, lines[0]);
  EXPECT_EQ("table 1 - files.txt root root 0644", lines[1]);
  EXPECT_EQ("end", lines.back());
  EXPECT_EQ(CountEntries(stage), entries.size() - 1);
  std::set<std::string> directories;
  for (const TableEntry& entry : entries) {
    if (entry.kind == EntryKind::Table)
      continue;
    const std::string path = stage + "/" + entry.name;
    SCOPED_TRACE(entry.name);
    struct stat status = StatPath(path);
    EXPECT_EQ(UserName(status.st_uid), entry.owner);
    EXPECT_EQ(GroupName(status.st_gid), entry.group);
    EXPECT_EQ(status.st_mtim.tv_sec, entry.mtime);
    // Parents before their contents: a record's directory has a record before it.
    size_t slash = entry.name.rfind('/');
    if (slash != std::string::npos) {
      EXPECT_EQ(1u, directories.count(entry.name.substr(0, slash)));
    }
    if (entry.kind == EntryKind::Dir)
      directories.insert(entry.name);
    switch (entry.kind) {
      case EntryKind::Dir:
        EXPECT_TRUE(S_ISDIR(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, entry.dirMode);
        EXPECT_FALSE(entry.keepExisting);
        break;
      case EntryKind::File:
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(status.st_mode, entry.file.mode);
        EXPECT_EQ(FileControlSum(path), entry.file.digest);
        EXPECT_EQ(entry.file.digest, entry.file.source);
        EXPECT_EQ(ReadFile(path), ReadFile(repo + "/" + entry.file.source));
        EXPECT_EQ(0, entry.file.auxNumber);
        EXPECT_FALSE(entry.file.keepLocalChanges);
        break;
      case EntryKind::Symlink:
        EXPECT_TRUE(S_ISLNK(status.st_mode));
        EXPECT_EQ(LinkText(path), entry.target);
        break;
      default:
        ADD_FAILURE() << "unexpected record kind";
    }
  }
}

/// The names in directory, sorted.
std::vector<std::string> Listing(const std::string& directory) {
  std::vector<std::string> names;
  static std::vector<std::string>* into;
  static size_t skip;
  into = &names;
  skip = directory.size() + 1;
  nftw(directory.c_str(),
       [](const char* path, const struct stat*, int, struct FTW* where) {
         if (where->level == 1)
           into->push_back(path + skip);
         return 0;
       },
       16, FTW_PHYS);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(Create, TableDescribesTheTreeAndParsesBack) {
  TempDir dir;
  MakeHardTree(dir / "stage");
  ASSERT_EQ(0, RunCreate(Settings(dir / "stage", dir / "repo")));
  ExpectTableDescribesTree(dir / "stage", dir / "repo");
  // One content file per distinct content: hard links and duplicates share one, the two empty files too.
  std::vector<std::string> contents = Listing(dir / "repo");
  EXPECT_EQ(12u, contents.size());
  for (const std::string& name : contents) {
    if (name != "files.txt") {
      EXPECT_EQ(name, FileControlSum(dir / "repo/" + name));
    }
  }
}

TEST(Create, SameTreeSameTableWhateverTheJobs) {
  TempDir dir;
  MakeHardTree(dir / "stage");
  ASSERT_EQ(0, RunCreate(Settings(dir / "stage", dir / "one", 1)));
  ASSERT_EQ(0, RunCreate(Settings(dir / "stage", dir / "many", 8)));
  const std::string table = ReadFile(dir / "one/files.txt");
  EXPECT_EQ(table, ReadFile(dir / "many/files.txt"));
  // Again into the same repository: the content is reused and the table replaced by the same bytes.
  struct stat before = StatPath(dir / "one/D41D8CD98F00B204E9800998ECF8427E");
  ASSERT_EQ(0, RunCreate(Settings(dir / "stage", dir / "one", 3)));
  EXPECT_EQ(table, ReadFile(dir / "one/files.txt"));
  EXPECT_EQ(before.st_ino, StatPath(dir / "one/D41D8CD98F00B204E9800998ECF8427E").st_ino);
  EXPECT_EQ(Listing(dir / "many"), Listing(dir / "one"));
}

// Contents around the length of the copy buffer (256 KiB), which decides between reading a file whole and
// streaming it through a temporary file; a stored file of another length under the same name is replaced.
TEST(Create, ContentAroundTheBufferLength) {
  TempDir dir;
  MakeDir(dir / "stage");
  const size_t buffer = 256 * 1024;
  const size_t sizes[] = {1, buffer - 1, buffer, buffer + 1, 3 * buffer + 7};
  for (size_t size : sizes) {
    std::string content;
    for (size_t i = 0; i < size; ++i)
      content += static_cast<char>('a' + (i * 7 + size) % 26);
    MakeFile(dir / "stage/" + std::to_string(size), content);
  }
  MakeDir(dir / "repo");
  const std::string damagedSmall = FileControlSum(dir / "stage/1");
  const std::string damagedLarge = FileControlSum(dir / "stage/" + std::to_string(buffer + 1));
  WriteFile(dir / "repo/" + damagedSmall, "damaged");
  WriteFile(dir / "repo/" + damagedLarge, "damaged");
  ASSERT_EQ(0, RunCreate(Settings(dir / "stage", dir / "repo")));
  ExpectTableDescribesTree(dir / "stage", dir / "repo");
  EXPECT_EQ(std::size(sizes) + 1, Listing(dir / "repo").size());
}

// Everything that stops the command before a table is written, and what it leaves.
TEST(Create, Refusals) {
  TempDir dir;
  MakeDir(dir / "stage");
  MakeDir(dir / "stage/sub");
  MakeFile(dir / "stage/sub/file", "x");
  const std::string stage = dir / "stage";
  struct Case {
    const char* what;
    std::function<void()> prepare;
    CreateOptions options;
    std::string message;
  } cases[] = {
      {"named pipe", [&] { ASSERT_EQ(0, mkfifo((dir / "stage/sub/pipe").c_str(), 0644)); },
       Settings(stage, dir / "repo"), stage + "/sub/pipe: Cannot put a named pipe in a repository"},
      {"socket",
       [&] {
         int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         struct sockaddr_un address {};
         address.sun_family = AF_UNIX;
         std::string path = dir / "stage/sock";
         ASSERT_LT(path.size(), sizeof address.sun_path);
         strcpy(address.sun_path, path.c_str());
         ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address));
         close(fd);
       },
       Settings(stage, dir / "repo"), stage + "/sock: Cannot put a socket in a repository"},
      {"repository inside", [] {}, Settings(stage, stage + "/sub"),
       stage + "/sub: Cannot make a repository inside the staged tree " + stage},
      {"new repository inside", [] {}, Settings(stage, stage + "/sub/new/"),
       stage + "/sub/new/: Cannot make a repository inside the staged tree " + stage},
      {"repository is the stage", [] {}, Settings(stage, dir / "stage/../stage"),
       dir / "stage/../stage: Cannot make a repository inside the staged tree " + stage},
      {"no stage", [] {}, Settings(dir / "missing", dir / "repo"),
       dir / "missing: Cannot open: No such file or directory"},
      {"stage is a file", [] {}, Settings(stage + "/sub/file", dir / "repo"),
       stage + "/sub/file: Cannot open: Not a directory"},
      {"the fingerprints of an installation", [&] { MakeFile(dir / "stage/files.txt.fingerprints", "x"); },
       Settings(stage, dir / "repo"),
       stage + "/files.txt.fingerprints: Cannot put this in a repository: runs keep their records under its name"},
      {"a file named like the table", [&] { MakeFile(dir / "stage/files.txt", "x"); },
       Settings(stage, dir / "repo"), stage + "/files.txt: Cannot put this in a repository: the table takes its name"},
      {"a directory named like the table", [&] { MakeDir(dir / "stage/files.txt"); }, Settings(stage, dir / "repo"),
       stage + "/files.txt: Cannot put this in a repository: the table takes its name"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.prepare();
    EXPECT_EQ(c.message, ErrorOf([&] { RunCreate(c.options); }));
    EXPECT_NE(0, access((c.options.repodir + "/files.txt").c_str(), F_OK));
    // The repository is made only once the whole tree could be described.
    EXPECT_NE(0, access((dir / "repo").c_str(), F_OK));
    unlink((dir / "stage/sub/pipe").c_str());
    unlink((dir / "stage/sock").c_str());
    remove((dir / "stage/files.txt").c_str());
    remove((dir / "stage/files.txt.fingerprints").c_str());
  }

  CreateOptions badOwner = Settings(stage, dir / "repo");
  badOwner.owner = "build user";
  EXPECT_EQ("Cannot write user name 'build user' in a table: it holds a blank or control byte",
            ErrorOf([&] { RunCreate(badOwner); }));
  CreateOptions badGroup = Settings(stage, dir / "repo");
  badGroup.group = "staff\x01";
  EXPECT_EQ("Cannot write group name 'staff\x01' in a table: it holds a blank or control byte",
            ErrorOf([&] { RunCreate(badGroup); }));
  {
    ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "17e8");
    EXPECT_EQ("SOURCE_DATE_EPOCH: Cannot read 17e8 as seconds since 1970",
              ErrorOf([&] { RunCreate(Settings(stage, dir / "repo")); }));
  }
  EXPECT_NE(0, access((dir / "repo").c_str(), F_OK));
}

TEST(Create, SourceDateEpoch) {
  EXPECT_EQ(std::nullopt, ParseSourceDateEpoch(nullptr));
  EXPECT_EQ(std::nullopt, ParseSourceDateEpoch(""));
  EXPECT_EQ(std::optional<int64_t>(0), ParseSourceDateEpoch("0"));
  EXPECT_EQ(std::optional<int64_t>(1700000000), ParseSourceDateEpoch("1700000000"));
  for (const char* bad : {"-1", " 1", "1 ", "0x10", "99999999999999999999"})
    EXPECT_EQ(std::string("SOURCE_DATE_EPOCH: Cannot read ") + bad + " as seconds since 1970",
              ErrorOf([&] { ParseSourceDateEpoch(bad); }));
}

// Later times are clamped to SOURCE_DATE_EPOCH, earlier ones stay; --keep marks files and directories
// whose relative path matches, "*" not crossing "/"; --owner and --group replace every name.
TEST(Create, ClampKeepAndOverrides) {
  TempDir dir;
  MakeDir(dir / "stage");
  MakeDir(dir / "stage/etc");
  MakeDir(dir / "stage/etc/conf.d");
  MakeFile(dir / "stage/etc/app.conf", "a\n");
  MakeFile(dir / "stage/etc/conf.d/extra.conf", "b\n");
  MakeDir(dir / "stage/var");
  MakeFile(dir / "stage/var/app.log", "");
  ASSERT_EQ(0, symlink("app.conf", (dir / "stage/etc/link.conf").c_str()));
  SetTime(dir / "stage/etc/app.conf", 1500000000);
  SetTime(dir / "stage/etc/conf.d/extra.conf", 1800000000);
  SetTime(dir / "stage/etc/link.conf", 1900000000);
  CreateOptions options = Settings(dir / "stage", dir / "repo");
  options.keepPatterns = {"etc/*.conf", "var"};
  options.owner = "velmira";
  options.group = "staff";
  {
    ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "1700000000");
    ASSERT_EQ(0, RunCreate(options));
  }
  std::map<std::string, TableEntry> byName;
  for (const TableEntry& entry : ReadTable(dir / "repo"))
    byName[entry.name] = entry;
  EXPECT_EQ("velmira", byName["files.txt"].owner);
  EXPECT_EQ("staff", byName["files.txt"].group);
  EXPECT_EQ(1500000000, byName["etc/app.conf"].mtime);
  EXPECT_EQ(1700000000, byName["etc/conf.d/extra.conf"].mtime);
  EXPECT_EQ(1700000000, byName["etc/link.conf"].mtime);
  EXPECT_TRUE(byName["etc/app.conf"].file.keepLocalChanges);
  EXPECT_FALSE(byName["etc/conf.d/extra.conf"].file.keepLocalChanges);
  EXPECT_TRUE(byName["var"].keepExisting);
  EXPECT_FALSE(byName["etc"].keepExisting);
  EXPECT_FALSE(byName["var/app.log"].file.keepLocalChanges);
  for (const auto& [name, entry] : byName) {
    EXPECT_EQ("velmira", entry.owner) << name;
    EXPECT_EQ("staff", entry.group) << name;
  }
}

// Ids that the system cannot name stop the command unless the names are given; devices are refused.
TEST(Create, RootOnlyRefusals) {
  if (!IsRoot())
    GTEST_SKIP() << "needs root to give files other owners and to make devices";
  TempDir dir;
  MakeDir(dir / "stage");
  MakeFile(dir / "stage/orphan", "x");
  ASSERT_EQ(0, lchown((dir / "stage/orphan").c_str(), 54321, 0));
  CreateOptions options = Settings(dir / "stage", dir / "repo");
  EXPECT_EQ(dir / "stage/orphan: Cannot find a name for user id 54321; give one with --owner",
            ErrorOf([&] { RunCreate(options); }));
  ASSERT_EQ(0, lchown((dir / "stage/orphan").c_str(), 0, 54322));
  EXPECT_EQ(dir / "stage/orphan: Cannot find a name for group id 54322; give one with --group",
            ErrorOf([&] { RunCreate(options); }));
  options.group = "adm";
  ASSERT_EQ(0, RunCreate(options));
  EXPECT_EQ("root", ReadTable(dir / "repo")[1].owner);
  EXPECT_EQ("adm", ReadTable(dir / "repo")[1].group);

  ASSERT_EQ(0, mknod((dir / "stage/null").c_str(), S_IFCHR | 0666, makedev(1, 3)));
  EXPECT_EQ(dir / "stage/null: Cannot put a character device in a repository", ErrorOf([&] { RunCreate(options); }));
  ASSERT_EQ(0, unlink((dir / "stage/null").c_str()));
  ASSERT_EQ(0, mknod((dir / "stage/disk").c_str(), S_IFBLK | 0600, makedev(7, 0)));
  EXPECT_EQ(dir / "stage/disk: Cannot put a block device in a repository", ErrorOf([&] { RunCreate(options); }));
}

// A content that cannot be stored stops the command: the old table stays, no temporary file is left, and
// what was stored before stays for the next run.
TEST(Create, FailedStoreKeepsTheOldTable) {
  TempDir dir;
  MakeDir(dir / "stage");
  MakeFile(dir / "stage/a", "first\n");
  MakeFile(dir / "stage/b", std::string(600000, 'b'));
  MakeDir(dir / "repo");
  WriteFile(dir / "repo/files.txt", "old table\n");
  const std::string blocked = FileControlSum(dir / "stage/b");
  MakeDir(dir / "repo/" + blocked);
  MakeFile(dir / "repo/" + blocked + "/in the way", "");
  EXPECT_EQ("rename(" + dir / "repo/" + blocked + "): Is a directory",
            ErrorOf([&] { RunCreate(Settings(dir / "stage", dir / "repo", 1)); }));
  EXPECT_EQ("old table\n", ReadFile(dir / "repo/files.txt"));
  std::vector<std::string> expected = {blocked, FileControlSum(dir / "stage/a"), "files.txt"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, Listing(dir / "repo"));
}

namespace {

// A secret key file stored without a passphrase, as minisign -G -W writes one; its public half in publicKey.
void WriteUnencryptedKey(const std::string& path, MinisignPublicKey& publicKey) {
  ASSERT_GE(sodium_init(), 0);
  unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(publicKey.key.data(), secretKey);
  publicKey.keyId = {1, 2, 3, 4, 5, 6, 7, 8};
  std::string bytes = "Ed" + std::string(2, '\0') + "B2" + std::string(48, '\0');
  bytes += std::string(reinterpret_cast<const char*>(publicKey.keyId.data()), 8);
  bytes += std::string(reinterpret_cast<const char*>(secretKey), sizeof secretKey) + std::string(32, '\0');
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();
  WriteFile(path, "untrusted comment: minisign secret key\n" + text + "\n");
}

CreateOptions Signed(const std::string& stage, const std::string& repo, const std::string& key) {
  CreateOptions options = Settings(stage, repo);
  options.signKey = key;
  options.release = {"velmira", 3, 1900000000};
  return options;
}

}  // namespace

// SHA256SUMS lists the table's bytes and every content file, the signature covers it with the release statement,
// and an unsigned run into the same repository takes both away.
TEST(Create, SignedRelease) {
  TempDir dir;
  MakeHardTree(dir / "stage");
  MinisignPublicKey publicKey;
  WriteUnencryptedKey(dir / "k.key", publicKey);
  ASSERT_EQ(0, RunCreate(Signed(dir / "stage", dir / "repo", dir / "k.key")));
  ExpectTableDescribesTree(dir / "stage", dir / "repo");
  Sha256Sums expected;
  for (const std::string& name : Listing(dir / "repo"))
    if (name != kSha256SumsName && name != kSignatureName)
      expected[name] = FileSHA256(dir / "repo/" + name);
  EXPECT_EQ(12u, expected.size());
  const std::string sums = ReadFile(dir / "repo/SHA256SUMS");
  EXPECT_EQ(FormatSha256Sums(expected), sums);
  EXPECT_EQ("propagate-release product=velmira version=3 expires=1900000000",
            VerifyMinisignSignature(ReadFile(dir / "repo/SHA256SUMS.minisig"), "s", sums, {publicKey}));

  ASSERT_EQ(0, RunCreate(Settings(dir / "stage", dir / "repo")));
  EXPECT_EQ(expected.size(), Listing(dir / "repo").size());
  EXPECT_FALSE(std::filesystem::exists(dir / "repo/SHA256SUMS"));
  EXPECT_FALSE(std::filesystem::exists(dir / "repo/SHA256SUMS.minisig"));
}

// The passphrase file is read up to its first line end, whatever the key; the key is read before anything else.
TEST(Create, SigningKeyRefusals) {
  TempDir dir;
  MakeDir(dir / "stage");
  MakeFile(dir / "stage/file", "x");
  MinisignPublicKey publicKey;
  WriteUnencryptedKey(dir / "k.key", publicKey);
  const std::string longLine(1025, 'p');
  struct Case {
    const char* key;
    const char* passphraseFile;
    std::string passphrase;  // written to the file when it is named
    std::string expected;
  } cases[] = {
      {"k.key", "pw", "pw\r\nnext line\n", ""},
      {"k.key", "pw", longLine.substr(1) + "\r\n", ""},
      {"k.key", "pw", longLine + "\n", dir / "pw" + ": The passphrase is longer than 1024 bytes"},
      {"k.key", "pw", longLine.substr(1) + "p\r\n", dir / "pw" + ": The passphrase is longer than 1024 bytes"},
      {"k.key", "none", "", dir / "none" + ": Cannot open: " + strerror(ENOENT)},
      {"stage/file", "pw", "pw\n", dir / "stage/file" + ": line 1: Does not begin with \"untrusted comment: \""},
  };
  for (const Case& c : cases) {
    CreateOptions options = Signed(dir / "stage", dir / "repo", dir / c.key);
    options.passphraseFile = dir / c.passphraseFile;
    if (std::string(c.passphraseFile) != "none")
      WriteFile(options.passphraseFile, c.passphrase);
    EXPECT_EQ(c.expected.empty() ? "(no error)" : c.expected, ErrorOf([&] { RunCreate(options); })) << c.passphrase;
    EXPECT_EQ(c.expected.empty(), std::filesystem::exists(dir / "repo")) << c.passphrase;
    std::filesystem::remove_all(dir / "repo");
  }
}
