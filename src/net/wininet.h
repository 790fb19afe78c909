#ifndef NORVA_NET_WININET_H_
#define NORVA_NET_WININET_H_

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/task_runner.h"
#include "base/thread_checker.h"
#include "base/weak_ptr.h"
#include "net/download_progress_relay.h"
#include "net/download_stats.h"
#include "net/url_parts.h"
#include "net/wininet_response_writer.h"
#include "net/wininet_session_closer.h"

namespace norva::installer {

class DownloadProgress;
class UICallbackRunner;

// Downloads one URL at a time over WinINet in asynchronous mode, streaming
// the body into a ResponseWriter. Built for long downloads over poor
// networks: it talks only to allowed hosts, resumes a cut transfer with a
// byte range, retries connectivity failures after a delay up to a maximum,
// tells the delegate when the transfer stalls and asks the user for proxy
// credentials through the UI callback runner.
//
// The object belongs to the thread that calls Start. WinINet notifies on its
// own threads; the byte-level work happens there and every outcome is posted
// back to the owner thread, where the completion callback runs.
class Wininet {
 public:
  enum State {
    kIdle = 0,
    kRequestSent = 1,
    kReceiving = 2,
    kStopped = 3,
    kFailed = 4,
    kCompleted = 5,
  };

  static constexpr int kDefaultMaxRetries = 600;
  static constexpr std::chrono::milliseconds kRetryDelay{6000};

  // `ui_runner` is required; `delegate` may be null. Both must outlive the
  // downloader. `retry_delay` is shortened only by tests.
  Wininet(UICallbackRunner* ui_runner, DownloadProgress* delegate,
          std::chrono::milliseconds retry_delay = kRetryDelay);
  ~Wininet();
  Wininet(const Wininet&) = delete;
  Wininet& operator=(const Wininet&) = delete;

  // Sends a GET (empty `body`) or a POST of `body` to `url`. True means the
  // request is on its way and `completion` will run on this thread once the
  // download failed or completed; false means nothing was sent and
  // `completion` will not run. Takes ownership of `writer` and `stats`.
  bool Start(const std::wstring& url, std::string body, Closure completion,
             std::unique_ptr<ResponseWriter> writer, std::unique_ptr<DownloadStats> stats);
  // Abandons the download; the completion callback does not run.
  void Stop();

  State state() const { return static_cast<State>(state_.load()); }
  int retry_count() const { return retry_count_; }
  int max_retries() const { return max_retries_; }
  void set_max_retries(int max_retries) { max_retries_ = max_retries; }
  // Host suffixes the downloader may talk to; empty allows every host.
  void set_allowed_domains(std::vector<std::wstring> domains) {
    allowed_domains_ = std::move(domains);
  }

 private:
  static void CALLBACK InternetStatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                                              LPVOID info, DWORD info_length);
  void OnStatus(HINTERNET handle, DWORD status, LPVOID info, DWORD info_length);
  void OnRedirect(const wchar_t* url);
  void OnRequestComplete(const INTERNET_ASYNC_RESULT* result);
  bool HandleInitialCompletion();
  void HandleCompletionInProgress();
  void CheckRetriesAndResume();
  void ResumeAfterShortBody();

  bool OpenAndSendRequest(const std::wstring& extra_headers);
  void SetState(State state);
  void PostToOwner(Closure task);

  // Steps run on the owner thread.
  void Resume();
  void Fail();
  void Complete();

  void RunCompletion();
  void TearDown();

  std::atomic<int> state_{kIdle};
  ScopedInternetHandle root_;
  ScopedInternetHandle connection_;
  ScopedInternetHandle request_;
  std::wstring url_;
  UrlParts url_parts_;
  std::string body_;
  std::vector<std::wstring> allowed_domains_;
  std::unique_ptr<ResponseWriter> writer_;
  std::unique_ptr<DownloadStats> stats_;
  uint32_t expected_total_ = 0;
  char buffer_[1024];
  DWORD bytes_read_ = 0;
  uint32_t downloaded_ = 0;
  uint32_t skip_ = 0;  // body bytes to drop before writing (range ignored)
  bool request_progress_ = false;  // the request in flight has written bytes
  std::shared_ptr<TaskRunner> owner_runner_;
  DownloadProgressRelay progress_relay_;

  std::shared_ptr<WininetSessionCloser::ClosingFlag> closing_;
  WininetSessionCloser session_closer_;
  // Held by a notification thread for the whole handling of a notification
  // and by the owner while it raises the closing flag and replaces the weak
  // pointers (this downloader's and the progress relay's): once the flag is
  // up no notification is writing into the writer that teardown closes, and
  // none posts a step that would reach the next session.
  std::recursive_mutex callback_lock_;

  UICallbackRunner* const ui_runner_;
  const std::chrono::milliseconds retry_delay_;
  Closure completion_;
  std::atomic<int> retry_count_{0};
  int max_retries_ = kDefaultMaxRetries;
  ThreadChecker thread_checker_;

  WeakPtr<Wininet> weak_this_;  // copied on any thread, used on the owner's
  WeakPtrFactory<Wininet> weak_factory_{this};
};

// Test seam: a request that WinINet refuses to send cannot be brought about
// from outside, so a test replaces HttpSendRequestW's outcome with a failure
// of `error` (the call itself still runs). std::nullopt restores the real
// outcome.
void SetSendResultForTesting(std::optional<DWORD> error);

}  // namespace norva::installer

#endif  // NORVA_NET_WININET_H_
