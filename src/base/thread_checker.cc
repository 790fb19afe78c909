#include "base/thread_checker.h"

#include <windows.h>

#include "base/logging.h"

namespace norva::installer {
namespace {

std::atomic<ThreadViolationHandler> g_violation_handler{nullptr};

}  // namespace

bool ThreadChecker::CalledOnValidThread() const {
  unsigned long current = GetCurrentThreadId();
  unsigned long bound = 0;
  if (thread_id_.compare_exchange_strong(bound, current)) return true;
  return bound == current;
}

void ThreadChecker::DetachFromThread() { thread_id_ = 0; }

ThreadViolationHandler SetThreadViolationHandler(ThreadViolationHandler handler) {
  return g_violation_handler.exchange(handler);
}

bool AreThreadChecksEnabled() { return g_violation_handler.load() != nullptr; }

void ReportThreadViolation(const char* file, int line) {
  logging::LogMessage(file, line, logging::kError).stream() << "Called on the wrong thread";
  if (ThreadViolationHandler handler = g_violation_handler.load()) handler(file, line);
}

}  // namespace norva::installer
