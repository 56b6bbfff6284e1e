#ifndef PROPAGATE_SYS_FETCHER_H_
#define PROPAGATE_SYS_FETCHER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

/// True when text starts with http://, https:// or file:// (scheme compared without regard to case).
bool IsRepositoryUrl(std::string_view text);
/// base (a repository URL, with or without a trailing slash) joined with a relative name, each byte outside
/// A-Z a-z 0-9 - . _ ~ / percent-encoded (upper-case hex).
std::string JoinUrl(std::string_view base, std::string_view name);

/// How the transfers of one run are made.
struct FetchSettings {
  std::string caCertificate;          ///< --cacert: a PEM file of trusted CAs; empty: the system's store
  long speedTime = 30;                ///< seconds under 1 byte/s that end a transfer as stalled (and connect timeout)
  unsigned retries = 3;               ///< further attempts after a transient failure
  long firstPauseMilliseconds = 500;  ///< pause before the first retry; doubles each time
  unsigned parallel = 16;             ///< transfers in progress at once
  uint64_t spaceBudget = UINT64_MAX;  ///< bytes that FetchAll may write in all; more fails the run
};

/// One object to fetch to a file.
struct FetchRequest {
  std::string url;
  std::string path;            ///< where the complete object is put; the partial one is path + ".part"
  std::string expectedDigest;  ///< MD5 as 32 hex digits (either case): the content's control sum
  std::string expectedSha256;  ///< when not empty, 64 lower-case hex digits the content's SHA-256 must be
};

/// What FetchAll has done so far, for a progress line.
struct FetchProgress {
  uint64_t objectsDone = 0, objects = 0;
  uint64_t bytesFetched = 0;   ///< bytes received over the network (or file://) so far in this call
  uint64_t bytesExpected = 0;  ///< bytesFetched plus what the transfers under way and the objects done announced
                               ///< still to come (content lengths known so far)
};

/// Fetches over HTTP, HTTPS and file:// with libcurl. One per run; not copied; used from one thread.
class CFetcher {
 public:
  /// Makes the multi handle that every transfer of the run goes through; "libcurl: %s" when refused.
  explicit CFetcher(const FetchSettings& settings);
  ~CFetcher();
  CFetcher(const CFetcher&) = delete;
  CFetcher& operator=(const CFetcher&) = delete;

  /// The whole body at url, at most cap bytes; transient failures retried. Throws RunError (Fail) with one line:
  /// "%s: HTTP %ld", "%s: %s" (libcurl's reason), either followed by " (after %u attempts)" once retries ran out,
  /// "%s: The content is longer than %s bytes", "%s: Cannot start the transfer: %s", "libcurl: %s".
  std::string FetchText(const std::string& url, uint64_t cap);
  /// Brings every request's object to its path, several transfers at once (one multi handle):
  /// - path exists: its sums are read; right → nothing fetched; wrong → removed and fetched.
  /// - path + ".part" exists: read and summed; when it already has the right sums it is renamed to path; else
  ///   the transfer resumes from its size (range request); a server that ignores the range (curl error 33, or
  ///   HTTP 416) → the part is emptied and the object fetched from byte 0.
  /// - the body is summed as it arrives (MD5, and SHA-256 when expected), written to the part (0600, O_NOFOLLOW,
  ///   O_CLOEXEC), then renamed to path once both sums match. Wrong sums: the part is emptied and the object
  ///   fetched once more from the start; wrong again → the part is removed and RequireSha256/RequireControlSum's
  ///   message names the url.
  /// - more than spaceBudget bytes written by this fetcher in all: "%s: The downloads would exceed the %s bytes
  ///   that this run may write".
  /// - progress, when given, is called on this thread now and then (at most ~10 times a second and once at the end).
  /// The first failure ends the call (other transfers are stopped, their parts kept for a later resume) and throws
  /// with FetchText's messages, or "open(%s)", "write(%s)", "rename(%s)", "unlink(%s)" of a file.
  void FetchAll(const std::vector<FetchRequest>& requests, const std::function<void(const FetchProgress&)>& progress);

 private:
  struct Transfer;
  struct Run;
  /// Drives transfers through the multi handle until each is done; throws the first failure.
  void Drive(Run& run, const std::function<void(const FetchProgress&)>& progress);
  /// Puts transfer into the multi handle, or completes it at once from a part that is already right.
  void Start(Run& run, Transfer& transfer);
  /// Decides what a finished attempt of transfer leads to: done, another attempt, or a failure.
  void Finished(Transfer& transfer, int result);

  struct Handles;
  FetchSettings settings;
  std::unique_ptr<Handles> handles;
  uint64_t bytesWritten = 0;  ///< bytes written to parts by every FetchAll so far, against the budget
};

#endif  // PROPAGATE_SYS_FETCHER_H_
