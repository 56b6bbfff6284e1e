#include "sys/fetcher.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <unordered_map>

#include "sys/control_sum.h"
#include "sys/descriptor.h"
#include "sys/file_ops.h"
#include "sys/run_error.h"
#include "sys/sha256.h"

#ifndef KIT_VERSION
#define KIT_VERSION "unknown"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMaxConnections = 6;
constexpr long kMaxRedirects = 5;
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

struct EasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

struct UrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};

// A file:// URL is read by libcurl with a plain blocking open: a FIFO there would hold the run forever, and
// a device such as /dev/zero would fill the disk. Only regular files are fetched, as from a directory.
void RefuseSpecialFile(const std::string& url) {
  if (!StartsWithIgnoringCase(url, "file://"))
    return;
  std::unique_ptr<CURLU, UrlCleanup> parsed(curl_url());
  char* rawPath = nullptr;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_PATH, &rawPath, CURLU_URLDECODE) != CURLUE_OK)
    return;  // libcurl refuses it itself, with its message
  std::unique_ptr<char, CurlFree> path(rawPath);
  struct stat status;
  if (stat(path.get(), &status) == 0 && !S_ISREG(status.st_mode))
    FailErrno(ENODEV, "fopen(%s)", url.c_str());
}

bool IsTransient(CURLcode result, long status) {
  switch (result) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    case CURLE_HTTP_RETURNED_ERROR:
      return status == 408 || status == 429 || (status >= 500 && status <= 599);
    default:
      return false;
  }
}

// libcurl's reasons are one sentence, but an error buffer filled from a server's words could hold line ends,
// and a message must stay one line.
std::string OneLine(std::string text) {
  for (char& byte : text)
    if (static_cast<unsigned char>(byte) < 0x20)
      byte = ' ';
  while (!text.empty() && text.back() == ' ')
    text.pop_back();
  return text;
}

// Feeds the bytes of a part that is read back to both running sums, so that the rest of the body continues them.
class CBothSums final : public IControlSum {
 public:
  CBothSums(IControlSum& first, IControlSum* second) : first(first), second(second) {}
  void Update(const void* data, size_t length) override {
    first.Update(data, length);
    if (second)
      second->Update(data, length);
  }

 private:
  IControlSum& first;
  IControlSum* second;
};

// One try of a transfer: its easy handle, inside the multi handle from Add until the object goes away.
class CAttempt {
 public:
  CAttempt(CURLM* multi, EasyHandle easy) : multi(multi), easy(std::move(easy)) {}
  ~CAttempt() {
    if (added)
      curl_multi_remove_handle(multi, easy.get());
  }
  CAttempt(const CAttempt&) = delete;
  CAttempt& operator=(const CAttempt&) = delete;

  CURL* Easy() const { return easy.get(); }
  void Add(const std::string& url) {
    CURLMcode code = curl_multi_add_handle(multi, easy.get());
    if (code != CURLM_OK)
      Fail("%s: Cannot start the transfer: %s", url.c_str(), curl_multi_strerror(code));
    added = true;
  }

  char errorBuffer[CURL_ERROR_SIZE] = {};

 private:
  CURLM* multi;
  EasyHandle easy;
  bool added = false;
};

template <typename Value>
void SetOption(CURL* easy, CURLoption option, Value value, const std::string& url) {
  CURLcode code = curl_easy_setopt(easy, option, value);
  if (code != CURLE_OK)
    Fail("%s: Cannot start the transfer: %s", url.c_str(), curl_easy_strerror(code));
}

// Whether the file at path holds content with the digest and, when one is given, the SHA-256; read once for both.
bool FileHasSums(const std::string& path, const std::string& digest, const std::string& sha256,
                 std::vector<unsigned char>& buffer) {
  CDescriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file.Valid())
    FailErrno(errno, "%s: Cannot open", path.c_str());
  struct stat status;
  if (fstat(file.Get(), &status) != 0)
    FailErrno(errno, "%s: Cannot stat", path.c_str());
  std::unique_ptr<CControlSumSHA256> sha256Sum;
  if (!sha256.empty())
    sha256Sum = std::make_unique<CControlSumSHA256>();
  std::string md5 =
      DescriptorControlSum(file.Get(), static_cast<uint64_t>(status.st_size), path, buffer, sha256Sum.get());
  return strcasecmp(md5.c_str(), digest.c_str()) == 0 && (!sha256Sum || sha256Sum->HexDigest() == sha256);
}

void RemoveFile(const std::string& path) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT)
    FailErrno(errno, "unlink(%s)", path.c_str());
}

}  // namespace

bool IsRepositoryUrl(std::string_view text) {
  return StartsWithIgnoringCase(text, "http://") || StartsWithIgnoringCase(text, "https://") ||
         StartsWithIgnoringCase(text, "file://");
}

std::string JoinUrl(std::string_view base, std::string_view name) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  std::string url(base);
  if (!url.empty() && url.back() != '/')
    url += '/';
  for (char byte : name) {
    unsigned char value = static_cast<unsigned char>(byte);
    if (isalnum(value) || strchr("-._~/", byte) != nullptr) {
      url += byte;
    } else {
      url += '%';
      url += kHexDigits[value >> 4];
      url += kHexDigits[value & 0xF];
    }
  }
  return url;
}

struct CFetcher::Handles {
  std::unique_ptr<CURLM, MultiCleanup> multi;
};

// What one call drives: the transfers under way or waiting for their retry, and those not yet started.
struct CFetcher::Run {
  Run(uint64_t& bytesWritten, uint64_t budget) : bytesWritten(bytesWritten), budget(budget) {}

  /// Requests still to start, each with the number of requests that named the same path.
  struct Pending {
    const FetchRequest* request;
    unsigned copies;
  };
  std::deque<Pending> fresh;
  std::vector<std::unique_ptr<Transfer>> live;
  FetchProgress progress;
  uint64_t& bytesWritten;
  const uint64_t budget;
  std::vector<unsigned char> readBuffer;
};

// One object (or FetchText's body) from its first attempt until it is in place.
struct CFetcher::Transfer {
  std::string url;
  Run* run = nullptr;
  const FetchRequest* request = nullptr;  ///< null: the body is FetchText's, kept in text
  unsigned copies = 1;
  std::string* text = nullptr;
  uint64_t textCap = 0;
  std::string partPath;
  CDescriptor part;
  std::unique_ptr<CControlSumMD5> md5;
  std::unique_ptr<CControlSumSHA256> sha256;
  uint64_t resumeFrom = 0;    ///< bytes the part held when the attempt started
  uint64_t received = 0;      ///< bytes of the attempt under way
  unsigned failures = 0;      ///< transient failures so far
  bool fetchedAgain = false;  ///< wrong sums have already sent it back to byte 0 once
  bool done = false;
  Clock::time_point notBefore{};
  std::exception_ptr failure;  ///< why Receive stopped the attempt
  // Last, so that it leaves the multi handle before anything that its callbacks write into goes away.
  std::unique_ptr<CAttempt> attempt;

  /// Takes length bytes of the body: the write callback's work, which may throw.
  void Receive(const char* data, size_t length) {
    if (!request) {
      if (length > textCap - text->size())
        Fail("%s: The content is longer than %s bytes", url.c_str(), std::to_string(textCap).c_str());
      text->append(data, length);
    } else {
      if (length > run->budget - run->bytesWritten)
        Fail("%s: The downloads would exceed the %s bytes that this run may write", url.c_str(),
             std::to_string(run->budget).c_str());
      if (!WriteAll(part.Get(), data, length))
        FailErrno(errno, "write(%s)", partPath.c_str());
      run->bytesWritten += length;
      md5->Update(data, length);
      if (sha256)
        sha256->Update(data, length);
    }
    received += length;
    run->progress.bytesFetched += length;
  }

  /// True when what the part holds has the sums the request expects.
  bool SumsMatch() const {
    return strcasecmp(md5->HexDigest().c_str(), request->expectedDigest.c_str()) == 0 &&
           (!sha256 || sha256->HexDigest() == request->expectedSha256);
  }

  /// Empties the part, so that the next attempt fetches the object from byte 0.
  void StartOver() {
    if (request) {
      if (ftruncate(part.Get(), 0) != 0)
        FailErrno(errno, "write(%s)", partPath.c_str());
      md5 = std::make_unique<CControlSumMD5>();
      if (sha256)
        sha256 = std::make_unique<CControlSumSHA256>();
    }
    resumeFrom = 0;
    notBefore = Clock::time_point{};
  }

  /// Gives the complete part the object's name.
  void Install() {
    if (part.Close() != 0)
      FailErrno(errno, "write(%s)", partPath.c_str());
    if (rename(partPath.c_str(), request->path.c_str()) != 0)
      FailErrno(errno, "rename(%s)", request->path.c_str());
    done = true;
  }
};

CFetcher::CFetcher(const FetchSettings& settings) : settings(settings), handles(std::make_unique<Handles>()) {
  static std::once_flag initialised;
  std::call_once(initialised, [] {
    CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK)
      Fail("libcurl: %s", curl_easy_strerror(code));
  });
  handles->multi.reset(curl_multi_init());
  if (!handles->multi)
    Fail("libcurl: %s", curl_multi_strerror(CURLM_OUT_OF_MEMORY));
  curl_multi_setopt(handles->multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnections);
  curl_multi_setopt(handles->multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxConnections);
}

CFetcher::~CFetcher() = default;

std::string CFetcher::FetchText(const std::string& url, uint64_t cap) {
  std::string text;
  Run run(bytesWritten, settings.spaceBudget);
  auto transfer = std::make_unique<Transfer>();
  transfer->url = url;
  transfer->run = &run;
  transfer->text = &text;
  transfer->textCap = cap;
  run.live.push_back(std::move(transfer));
  Drive(run, nullptr);
  return text;
}

void CFetcher::FetchAll(const std::vector<FetchRequest>& requests,
                        const std::function<void(const FetchProgress&)>& progress) {
  Run run(bytesWritten, settings.spaceBudget);
  run.progress.objects = requests.size();
  // Two requests for one path would write one part at once: the object is fetched once for both.
  std::unordered_map<std::string, size_t> pendingByPath;
  for (const FetchRequest& request : requests) {
    auto twin = pendingByPath.find(request.path);
    if (twin != pendingByPath.end()) {
      ++run.fresh[twin->second].copies;
      continue;
    }
    struct stat status;
    if (lstat(request.path.c_str(), &status) == 0) {
      if (S_ISREG(status.st_mode) &&
          FileHasSums(request.path, request.expectedDigest, request.expectedSha256, run.readBuffer)) {
        ++run.progress.objectsDone;
        continue;
      }
      RemoveFile(request.path);
    }
    pendingByPath.emplace(request.path, run.fresh.size());
    run.fresh.push_back({&request, 1});
  }
  Drive(run, progress);
}

void CFetcher::Drive(Run& run, const std::function<void(const FetchProgress&)>& progress) {
  CURLM* multi = handles->multi.get();
  const size_t window = std::max(1u, settings.parallel);
  auto eraseDone = [&run] {
    std::erase_if(run.live, [&run](const std::unique_ptr<Transfer>& transfer) {
      if (transfer->done)
        run.progress.objectsDone += transfer->copies;
      return transfer->done;
    });
  };
  auto report = [&run, &progress] {
    FetchProgress now = run.progress;
    now.bytesExpected = now.bytesFetched;
    for (const std::unique_ptr<Transfer>& transfer : run.live) {
      curl_off_t length = -1;
      if (transfer->attempt &&
          curl_easy_getinfo(transfer->attempt->Easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
          length > 0 && static_cast<uint64_t>(length) > transfer->received)
        now.bytesExpected += static_cast<uint64_t>(length) - transfer->received;
    }
    progress(now);
  };
  Clock::time_point lastReport = Clock::now();
  for (;;) {
    Clock::time_point now = Clock::now();
    for (const std::unique_ptr<Transfer>& transfer : run.live)
      if (!transfer->attempt && !transfer->done && transfer->notBefore <= now)
        Start(run, *transfer);
    while (run.live.size() < window && !run.fresh.empty()) {
      auto transfer = std::make_unique<Transfer>();
      transfer->request = run.fresh.front().request;
      transfer->copies = run.fresh.front().copies;
      transfer->url = transfer->request->url;
      transfer->run = &run;
      run.fresh.pop_front();
      run.live.push_back(std::move(transfer));
      Start(run, *run.live.back());
    }
    eraseDone();
    if (run.live.empty()) {
      if (run.fresh.empty())
        break;
      continue;
    }

    int running = 0;
    CURLMcode code = curl_multi_perform(multi, &running);
    if (code != CURLM_OK)
      Fail("libcurl: %s", curl_multi_strerror(code));
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE)
        continue;
      char* owner = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
      Finished(*reinterpret_cast<Transfer*>(owner), message->data.result);
    }
    eraseDone();
    if (run.live.empty() && run.fresh.empty())
      break;

    now = Clock::now();
    if (progress && now - lastReport >= kProgressInterval) {
      report();
      lastReport = now;
    }
    // Waiting for the sockets must not delay what can start now, nor a retry whose pause ends sooner.
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kProgressInterval);
    if (run.live.size() < window && !run.fresh.empty())
      wait = std::chrono::milliseconds(0);
    for (const std::unique_ptr<Transfer>& transfer : run.live)
      if (!transfer->attempt)
        wait = std::min(wait, std::max(std::chrono::milliseconds(0),
                                       std::chrono::ceil<std::chrono::milliseconds>(transfer->notBefore - now)));
    code = curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait.count()), nullptr);
    if (code != CURLM_OK)
      Fail("libcurl: %s", curl_multi_strerror(code));
  }
  if (progress)
    report();
}

void CFetcher::Start(Run& run, Transfer& transfer) {
  if (transfer.request && !transfer.part.Valid()) {
    transfer.partPath = transfer.request->path + ".part";
    transfer.part.Reset(open(transfer.partPath.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!transfer.part.Valid())
      FailErrno(errno, "open(%s)", transfer.partPath.c_str());
    struct stat status;
    if (fstat(transfer.part.Get(), &status) != 0)
      FailErrno(errno, "open(%s)", transfer.partPath.c_str());
    transfer.md5 = std::make_unique<CControlSumMD5>();
    if (!transfer.request->expectedSha256.empty())
      transfer.sha256 = std::make_unique<CControlSumSHA256>();
    if (status.st_size > 0) {
      // What an earlier run left: when it is complete it needs no transfer at all, and when it is not, the sums
      // continue from its bytes while the rest is asked for with a range.
      CBothSums both(*transfer.md5, transfer.sha256.get());
      DescriptorControlSum(transfer.part.Get(), static_cast<uint64_t>(status.st_size), transfer.partPath,
                           run.readBuffer, &both);
      if (transfer.SumsMatch()) {
        transfer.Install();
        return;
      }
      transfer.resumeFrom = static_cast<uint64_t>(status.st_size);
    }
  }
  if (transfer.text)
    transfer.text->clear();
  transfer.received = 0;
  RefuseSpecialFile(transfer.url);

  EasyHandle easyHandle(curl_easy_init());
  if (!easyHandle)
    Fail("%s: Cannot start the transfer: %s", transfer.url.c_str(), curl_easy_strerror(CURLE_OUT_OF_MEMORY));
  auto attempt = std::make_unique<CAttempt>(handles->multi.get(), std::move(easyHandle));
  CURL* easy = attempt->Easy();
  const std::string& url = transfer.url;
  curl_write_callback receive = [](char* data, size_t size, size_t count, void* context) -> size_t {
    // No exception may cross libcurl: it is kept and thrown once the attempt is over.
    auto* owner = static_cast<Transfer*>(context);
    try {
      owner->Receive(data, size * count);
      return size * count;
    } catch (...) {
      owner->failure = std::current_exception();
      return 0;
    }
  };
  SetOption(easy, CURLOPT_URL, url.c_str(), url);
  SetOption(easy, CURLOPT_PRIVATE, static_cast<void*>(&transfer), url);
  SetOption(easy, CURLOPT_WRITEFUNCTION, receive, url);
  SetOption(easy, CURLOPT_WRITEDATA, static_cast<void*>(&transfer), url);
  SetOption(easy, CURLOPT_ERRORBUFFER, attempt->errorBuffer, url);
  SetOption(easy, CURLOPT_PROTOCOLS_STR, "http,https,file", url);
  SetOption(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https", url);
  SetOption(easy, CURLOPT_FOLLOWLOCATION, 1L, url);
  SetOption(easy, CURLOPT_MAXREDIRS, kMaxRedirects, url);
  SetOption(easy, CURLOPT_NOSIGNAL, 1L, url);
  // Error pages must never reach a part or the text; the status is read back for the message.
  SetOption(easy, CURLOPT_FAILONERROR, 1L, url);
  SetOption(easy, CURLOPT_CONNECTTIMEOUT, settings.speedTime, url);
  // A mirror that stops sending without closing would otherwise hold the run forever.
  SetOption(easy, CURLOPT_LOW_SPEED_LIMIT, 1L, url);
  SetOption(easy, CURLOPT_LOW_SPEED_TIME, settings.speedTime, url);
  SetOption(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS), url);
  SetOption(easy, CURLOPT_USERAGENT, "propagate/" KIT_VERSION, url);
  if (!settings.caCertificate.empty())
    SetOption(easy, CURLOPT_CAINFO, settings.caCertificate.c_str(), url);
  // Waiting for a connection that can multiplex pays only over TLS, where HTTP/2 is negotiated; on cleartext
  // HTTP/1.1 it makes the transfers take turns on one connection.
  if (StartsWithIgnoringCase(url, "https://"))
    SetOption(easy, CURLOPT_PIPEWAIT, 1L, url);
  if (transfer.resumeFrom > 0)
    SetOption(easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(transfer.resumeFrom), url);
  attempt->Add(url);
  transfer.attempt = std::move(attempt);
}

void CFetcher::Finished(Transfer& transfer, int resultCode) {
  CURLcode result = static_cast<CURLcode>(resultCode);
  long status = 0;
  curl_easy_getinfo(transfer.attempt->Easy(), CURLINFO_RESPONSE_CODE, &status);
  std::string reason =
      OneLine(transfer.attempt->errorBuffer[0] != '\0' ? transfer.attempt->errorBuffer : curl_easy_strerror(result));
  transfer.attempt.reset();
  if (transfer.failure) {
    // A part that outgrew the budget, or could not be written, is no place to resume from: it would only keep
    // the disk full.
    if (transfer.request) {
      transfer.part.Reset(-1);
      unlink(transfer.partPath.c_str());
    }
    std::rethrow_exception(transfer.failure);
  }

  if (result == CURLE_OK) {
    if (!transfer.request) {
      transfer.done = true;
      return;
    }
    if (transfer.SumsMatch()) {
      transfer.Install();
      return;
    }
    // A part left by a run that fetched an older object under this name, or a mirror caught in the middle of
    // an update: worth one fetch from the start before the content is called wrong.
    if (!transfer.fetchedAgain) {
      transfer.fetchedAgain = true;
      transfer.StartOver();
      return;
    }
    transfer.part.Reset(-1);
    RemoveFile(transfer.partPath);
    if (transfer.sha256)
      RequireSha256(transfer.url, transfer.sha256->HexDigest(), transfer.request->expectedSha256);
    RequireControlSum(transfer.url, transfer.md5->HexDigest(), transfer.request->expectedDigest);
    return;
  }

  // A server that cannot serve the rest of a part (no ranges, or the part is as long as the object or longer)
  // still has the whole object.
  bool rangeRefused = result == CURLE_RANGE_ERROR || result == CURLE_BAD_DOWNLOAD_RESUME ||
                      (result == CURLE_HTTP_RETURNED_ERROR && status == 416);
  if (transfer.resumeFrom > 0 && rangeRefused) {
    transfer.StartOver();
    return;
  }
  const char* url = transfer.url.c_str();
  bool httpStatus = result == CURLE_HTTP_RETURNED_ERROR && status >= 400;
  if (!IsTransient(result, status)) {
    if (httpStatus)
      Fail("%s: HTTP %ld", url, status);
    Fail("%s: %s", url, reason.c_str());
  }
  ++transfer.failures;
  if (transfer.failures > settings.retries) {
    if (httpStatus)
      Fail("%s: HTTP %ld (after %u attempts)", url, status, transfer.failures);
    Fail("%s: %s (after %u attempts)", url, reason.c_str(), transfer.failures);
  }
  // The part keeps what arrived: the next attempt asks only for the rest.
  transfer.resumeFrom += transfer.request ? transfer.received : 0;
  unsigned doublings = std::min(transfer.failures - 1, 16u);
  transfer.notBefore = Clock::now() + std::chrono::milliseconds(settings.firstPauseMilliseconds) * (1u << doublings);
}
