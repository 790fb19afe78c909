#include "support/thread_violations.h"

#include <mutex>
#include <thread>

namespace norva::installer::test {
namespace {

std::mutex g_lock;
std::vector<std::string> g_violations;

void RecordViolation(const char* file, int line) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_violations.push_back(std::string(file) + ":" + std::to_string(line));
}

}  // namespace

ThreadViolationRecorder::ThreadViolationRecorder()
    : previous_(SetThreadViolationHandler(&RecordViolation)) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_violations.clear();
}

ThreadViolationRecorder::~ThreadViolationRecorder() { SetThreadViolationHandler(previous_); }

std::vector<std::string> ThreadViolationRecorder::violations() const {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_violations;
}

void RunOnAnotherThread(const std::function<void()>& call) {
  std::thread other(call);
  other.join();
}

}  // namespace norva::installer::test
