#include "sys/fetcher.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "sys/control_sum.h"
#include "sys/descriptor.h"
#include "sys/sha256.h"
#include "sys/test_support.h"

namespace {

std::string Md5Of(const std::string& content) {
  CControlSumMD5 sum;
  sum.Update(content.data(), content.size());
  return sum.HexDigest();
}

std::string Sha256Of(const std::string& content) {
  CControlSumSHA256 sum;
  sum.Update(content.data(), content.size());
  return sum.HexDigest();
}

bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// A repository of content files named by their control sums, served at base, and a store to fetch into.
class CMirror {
 public:
  CMirror() : base("file://" + dir.Path() + "/repo") {
    mkdir((dir / "repo").c_str(), 0700);
    mkdir((dir / "store").c_str(), 0700);
  }
  /// Serves content under its control sum and returns the request that fetches it into the store.
  FetchRequest Put(const std::string& content) { return PutAs(content, content); }
  /// Serves served under the control sum of content, as a mirror with a damaged file does.
  FetchRequest PutAs(const std::string& content, const std::string& served) {
    std::string digest = Md5Of(content);
    WriteFile(dir / ("repo/" + digest), served);
    return {JoinUrl(base, digest), dir / ("store/" + digest), digest, ""};
  }

  TempDir dir;
  std::string base;  ///< where the repository is served: file:// by default
};

FetchSettings QuickSettings() {
  FetchSettings settings;
  settings.retries = 2;
  settings.firstPauseMilliseconds = 5;
  settings.speedTime = 5;
  return settings;
}

// Runs FetchAll and returns the last progress it reported.
FetchProgress FetchAllReporting(CFetcher& fetcher, const std::vector<FetchRequest>& requests) {
  FetchProgress last;
  fetcher.FetchAll(requests, [&last](const FetchProgress& progress) { last = progress; });
  return last;
}

}  // namespace

TEST(Fetcher, IsRepositoryUrl) {
  struct Case {
    const char* text;
    bool url;
  } cases[] = {
      {"http://mirror/repo", true}, {"HTTPS://mirror/repo", true}, {"File:///srv/repo", true}, {"/srv/repo", false},
      {"ftp://mirror/repo", false}, {"http:/mirror", false},       {"https", false},           {"", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.url, IsRepositoryUrl(c.text)) << c.text;
}

TEST(Fetcher, JoinUrl) {
  struct Case {
    const char* base;
    const char* name;
    const char* url;
  } cases[] = {
      {"http://m/repo", "files.txt", "http://m/repo/files.txt"},
      {"http://m/repo/", "files.txt", "http://m/repo/files.txt"},
      {"file:///srv/r", "sub dir/a+b%c", "file:///srv/r/sub%20dir/a%2Bb%25c"},
      {"https://m", "~x-y_z.0/Q", "https://m/~x-y_z.0/Q"},
      {"http://m", "\xC3\xA9?#\n", "http://m/%C3%A9%3F%23%0A"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.url, JoinUrl(c.base, c.name)) << c.name;
}

TEST(Fetcher, FetchTextOfFileAndItsFaults) {
  CMirror mirror;
  WriteFile(mirror.dir / "repo/files.txt", "the table\n");
  CFetcher fetcher(QuickSettings());
  EXPECT_EQ("the table\n", fetcher.FetchText(JoinUrl(mirror.base, "files.txt"), 100));
  EXPECT_EQ(JoinUrl(mirror.base, "files.txt") + ": The content is longer than 9 bytes",
            ErrorOf([&] { fetcher.FetchText(JoinUrl(mirror.base, "files.txt"), 9); }));

  std::string missing = JoinUrl(mirror.base, "x");
  std::string message = ErrorOf([&] { fetcher.FetchText(missing, 100); });
  EXPECT_EQ(missing + ": ", message.substr(0, missing.size() + 2)) << message;
  EXPECT_GT(message.size(), missing.size() + 2);
  EXPECT_EQ(std::string::npos, message.find('\n'));
  EXPECT_EQ(std::string::npos, message.find("attempts")) << "a missing file is not retried";
}

TEST(Fetcher, FetchAllPutsEveryObjectInPlace) {
  CMirror mirror;
  std::vector<FetchRequest> requests;
  uint64_t total = 0;
  for (int index = 0; index < 40; ++index) {
    std::string content = "object " + std::to_string(index) + std::string(index * 1000, 'x');
    total += content.size();
    requests.push_back(mirror.Put(content));
  }
  requests.push_back(requests[3]);  // a second request for one path is served by the first one's transfer
  requests[5].expectedSha256 = Sha256Of(ReadFile(mirror.dir / ("repo/" + requests[5].expectedDigest)));
  CFetcher fetcher(QuickSettings());
  FetchProgress progress = FetchAllReporting(fetcher, requests);
  for (const FetchRequest& request : requests) {
    EXPECT_EQ(request.expectedDigest, Md5Of(ReadFile(request.path)));
    EXPECT_FALSE(Exists(request.path + ".part"));
    EXPECT_EQ(0600u, StatPath(request.path).st_mode & 07777);
  }
  EXPECT_EQ(41u, progress.objects);
  EXPECT_EQ(41u, progress.objectsDone);
  EXPECT_EQ(total, progress.bytesFetched);
  EXPECT_EQ(total, progress.bytesExpected);
}

TEST(Fetcher, ObjectsAlreadyThereArePartsAndWrongFiles) {
  CMirror mirror;
  const std::string content(10000, 'k');
  struct Case {
    const char* what;
    std::string atPath;  // empty: nothing there
    std::string inPart;  // empty: no part
    uint64_t fetched;    // bytes that must come from the mirror
  } cases[] = {
      {"the right file is kept", content, "", 0},
      {"a wrong file is replaced", "wrong", "", content.size()},
      {"a complete part is renamed", "", content, 0},
      {"a part with a prefix is resumed", "", content.substr(0, 4000), 6000},
      {"a part with wrong bytes is fetched again", "", std::string(4000, 'w'), 6000 + content.size()},
      {"a part longer than the object is fetched again", "", content + "tail", content.size()},
  };
  for (const Case& c : cases) {
    FetchRequest request = mirror.Put(content);
    unlink(request.path.c_str());
    if (!c.atPath.empty())
      WriteFile(request.path, c.atPath);
    if (!c.inPart.empty())
      WriteFile(request.path + ".part", c.inPart);
    ino_t before = c.atPath.empty() ? 0 : StatPath(request.path).st_ino;
    CFetcher fetcher(QuickSettings());
    FetchProgress progress = FetchAllReporting(fetcher, {request});
    EXPECT_EQ(content, ReadFile(request.path)) << c.what;
    EXPECT_FALSE(Exists(request.path + ".part")) << c.what;
    EXPECT_EQ(c.fetched, progress.bytesFetched) << c.what;
    EXPECT_EQ(1u, progress.objectsDone) << c.what;
    if (c.atPath == content) {
      EXPECT_EQ(before, StatPath(request.path).st_ino) << c.what;
    }
  }
}

TEST(Fetcher, WrongContentOnTheMirrorFails) {
  CMirror mirror;
  struct Case {
    const char* what;
    bool withSha256;
    std::string expectedSha256;
  } cases[] = {
      {"control sum", false, ""},
      {"SHA-256", true, std::string(64, 'a')},
  };
  for (const Case& c : cases) {
    FetchRequest request = mirror.PutAs("the content", std::string("damaged ") + c.what);
    request.expectedSha256 = c.expectedSha256;
    std::string served = ReadFile(mirror.dir / ("repo/" + request.expectedDigest));
    std::string expected = c.withSha256 ? request.url + ": The content's SHA-256 is " + Sha256Of(served) +
                                              ", SHA256SUMS gives " + c.expectedSha256
                                        : request.url + ": The content's control sum is " + Md5Of(served) +
                                              ", the table gives " + request.expectedDigest;
    CFetcher fetcher(QuickSettings());
    EXPECT_EQ(expected, ErrorOf([&] { fetcher.FetchAll({request}, nullptr); })) << c.what;
    EXPECT_FALSE(Exists(request.path)) << c.what;
    EXPECT_FALSE(Exists(request.path + ".part")) << c.what;
  }
  // The right SHA-256 with the right control sum passes.
  FetchRequest request = mirror.Put("sound");
  request.expectedSha256 = Sha256Of("sound");
  CFetcher fetcher(QuickSettings());
  fetcher.FetchAll({request}, nullptr);
  EXPECT_EQ("sound", ReadFile(request.path));
}

TEST(Fetcher, SpaceBudgetCoversEveryCall) {
  CMirror mirror;
  FetchSettings settings = QuickSettings();
  settings.spaceBudget = 1500;
  CFetcher fetcher(settings);
  fetcher.FetchAll({mirror.Put(std::string(1000, 'a'))}, nullptr);
  FetchRequest second = mirror.Put(std::string(1000, 'b'));
  EXPECT_EQ(second.url + ": The downloads would exceed the 1500 bytes that this run may write",
            ErrorOf([&] { fetcher.FetchAll({second}, nullptr); }));
  EXPECT_FALSE(Exists(second.path));
  EXPECT_FALSE(Exists(second.path + ".part")) << "a part over the budget only keeps the disk full";
}

TEST(Fetcher, FileUrlOfNoRegularFileIsNeverOpened) {
  // A FIFO would block the open for ever, a device could fill the disk.
  CMirror mirror;
  ASSERT_EQ(0, mkfifo((mirror.dir / "repo/fifo").c_str(), 0600));
  ASSERT_EQ(0, symlink("/dev/zero", (mirror.dir / "repo/zero").c_str()));
  CFetcher fetcher(QuickSettings());
  for (const char* name : {"fifo", "zero"}) {
    const std::string url = JoinUrl(mirror.base, name);
    EXPECT_EQ("fopen(" + url + "): No such device", ErrorOf([&] { fetcher.FetchText(url, 100); }));
    FetchRequest request{url, mirror.dir / "store/object", std::string(32, '0'), ""};
    EXPECT_EQ("fopen(" + url + "): No such device", ErrorOf([&] { fetcher.FetchAll({request}, nullptr); }));
  }
}

namespace {

// A free TCP port on 127.0.0.1, as the kernel picks one.
int FreePort() {
  CDescriptor probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return -1;
  return ntohs(address.sin_port);
}

bool Accepts(int port) {
  CDescriptor client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// nginx in the foreground on 127.0.0.1, serving root, stopped by its pid when the object goes away.
class CNginx {
 public:
  CNginx(const TempDir& dir, const std::string& root) {
    port = FreePort();
    mkdir((dir / "tmp").c_str(), 0700);
    WriteFile(dir / "nginx.conf",
              "daemon off; master_process off; pid " + dir / "nginx.pid" + "; error_log " + dir / "error.log" +
                  ";\nevents { worker_connections 64; }\nhttp {\n  access_log " + dir / "access.log" +
                  ";\n  client_body_temp_path tmp/body; proxy_temp_path tmp/proxy; fastcgi_temp_path tmp/fastcgi;\n"
                  "  uwsgi_temp_path tmp/uwsgi; scgi_temp_path tmp/scgi;\n  server {\n    listen 127.0.0.1:" +
                  std::to_string(port) + ";\n    root " + root + ";\n    location /busy { return 503; }\n  }\n}\n");
    pid = fork();
    if (pid == 0) {
      std::string prefix = dir.Path() + "/";
      execl("/usr/sbin/nginx", "nginx", "-p", prefix.c_str(), "-c", (dir / "nginx.conf").c_str(), "-e",
            (dir / "error.log").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int tries = 0; tries < 250 && !Accepts(port); ++tries)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ~CNginx() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
  CNginx(const CNginx&) = delete;
  CNginx& operator=(const CNginx&) = delete;

  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }
  bool Ready() const { return pid > 0 && Accepts(port); }

 private:
  int port = -1;
  pid_t pid = -1;
};

// Lines of the access log that name path, once at least expected are there or a second has passed: nginx logs a
// request only after it has sent the answer.
int Requests(const TempDir& dir, const std::string& path, int expected) {
  int count = 0;
  for (int tries = 0; tries < 50; ++tries) {
    std::string log = ReadFile(dir / "access.log");
    count = 0;
    for (size_t at = log.find(" " + path + " "); at != std::string::npos; at = log.find(" " + path + " ", at + 1))
      ++count;
    if (count >= expected)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return count;
}

}  // namespace

TEST(Fetcher, OverHttpFromNginx) {
  if (access("/usr/sbin/nginx", X_OK) != 0)
    GTEST_SKIP() << "nginx is not installed";
  TempDir server;
  CMirror mirror;
  CNginx nginx(server, mirror.dir / "repo");
  ASSERT_TRUE(nginx.Ready()) << ReadFile(server / "error.log");
  mirror.base = nginx.Base();
  std::vector<FetchRequest> requests;
  uint64_t total = 0;
  for (int index = 0; index < 8; ++index) {
    std::string content = "served " + std::to_string(index) + std::string(index * 5000, 'h');
    total += content.size();
    requests.push_back(mirror.Put(content));
  }
  WriteFile(mirror.dir / "repo/files.txt", "table\n");
  // A part with a prefix is resumed with a range request.
  WriteFile(requests[7].path + ".part", ReadFile(mirror.dir / ("repo/" + requests[7].expectedDigest)).substr(0, 100));

  CFetcher fetcher(QuickSettings());
  EXPECT_EQ("table\n", fetcher.FetchText(nginx.Base() + "files.txt", 100));
  FetchProgress progress = FetchAllReporting(fetcher, requests);
  EXPECT_EQ(8u, progress.objectsDone);
  EXPECT_EQ(total - 100, progress.bytesFetched);
  for (const FetchRequest& request : requests)
    EXPECT_EQ(request.expectedDigest, Md5Of(ReadFile(request.path)));
  EXPECT_EQ(1, Requests(server, "/" + requests[7].expectedDigest, 1));

  EXPECT_EQ(nginx.Base() + "missing: HTTP 404", ErrorOf([&] { fetcher.FetchText(nginx.Base() + "missing", 100); }));
  EXPECT_EQ(1, Requests(server, "/missing", 1)) << "a 404 is not retried";
  FetchRequest busy{nginx.Base() + "busy", mirror.dir / "store/busy", Md5Of(""), ""};
  EXPECT_EQ(busy.url + ": HTTP 503 (after 3 attempts)", ErrorOf([&] { fetcher.FetchAll({busy}, nullptr); }));
  EXPECT_EQ(3, Requests(server, "/busy", 3));
}
