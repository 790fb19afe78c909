#include "base/scoped_handle.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace norva::installer {
namespace {

// Handles are small numbers; every close is recorded.
std::vector<int>& Closed() {
  static std::vector<int> closed;
  return closed;
}

struct CountingTraits {
  using Handle = int;
  static int Null() { return 0; }
  static bool IsValid(int handle) { return handle > 0; }
  static bool Close(int handle) {
    Closed().push_back(handle);
    return true;
  }
};
using Scoped = ScopedGeneric<CountingTraits>;

TEST(ScopedGenericTest, EachHandleIsClosedExactlyOnce) {
  struct Case {
    const char* name;
    std::function<void(Scoped&)> run;  // on one that holds handle 1
    std::vector<int> closed;
  };
  const Case cases[] = {
      {"destroyed", [](Scoped&) {}, {1}},
      {"closed, then closed again", [](Scoped& a) { EXPECT_TRUE(a.Close() && !a.Close()); }, {1}},
      {"released", [](Scoped& a) { EXPECT_EQ(a.release(), 1); }, {}},
      {"reset to another", [](Scoped& a) { a.reset(2); }, {1, 2}},
      {"reset to itself", [](Scoped& a) { a.reset(1); }, {1}},
      {"moved out",
       [](Scoped& a) {
         Scoped b(std::move(a));
         EXPECT_FALSE(a);
       },
       {1}},
      {"another moved in", [](Scoped& a) { a = Scoped(2); }, {1, 2}},
      {"moved into itself", [](Scoped& a) { a = std::move(*&a); }, {1}},
      {"received into",
       [](Scoped& a) {
         int* slot = a.Receive();
         EXPECT_EQ(Closed().size(), 1u);  // the old one went before the new one came
         *slot = 2;
       },
       {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Closed().clear();
    {
      Scoped held(1);
      c.run(held);
    }
    EXPECT_EQ(Closed(), c.closed);
  }
}

bool IsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(ScopedHandleTest, BothFailureValuesAreEmpty) {
  for (HANDLE empty : {HANDLE(nullptr), INVALID_HANDLE_VALUE}) {
    ScopedHandle handle(empty);
    EXPECT_FALSE(handle.is_valid());
    EXPECT_FALSE(handle);
    EXPECT_FALSE(handle.Close());
  }
  ScopedFindHandle find(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(find);
  EXPECT_EQ(ScopedFindHandle().get(), INVALID_HANDLE_VALUE);
}

TEST(ScopedHandleTest, ClosesTheKernelObjectOnlyWhenOwned) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(raw);
  ScopedHandle outer;
  {
    ScopedHandle inner(raw);
    outer = std::move(inner);
  }
  EXPECT_TRUE(IsOpen(raw));  // the moved-from one closed nothing
  *outer.Receive() = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(IsOpen(raw));
  HANDLE second = outer.get();
  ASSERT_TRUE(IsOpen(second));
  HANDLE kept = outer.release();
  EXPECT_TRUE(IsOpen(kept));
  ScopedHandle(kept).reset();
  EXPECT_FALSE(IsOpen(second));
}

TEST(ScopedHandleTest, FindHandleAndLocalMemoryVariants) {
  wchar_t windows[MAX_PATH];
  ASSERT_TRUE(GetWindowsDirectoryW(windows, MAX_PATH));
  WIN32_FIND_DATAW data;
  ScopedFindHandle find(FindFirstFileW((std::wstring(windows) + L"\\*").c_str(), &data));
  EXPECT_TRUE(find);
  EXPECT_TRUE(find.Close());

  ScopedLocalMemory<wchar_t*> text;
  ASSERT_TRUE(FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, ERROR_ACCESS_DENIED, 0, reinterpret_cast<wchar_t*>(text.Receive()), 0, nullptr));
  EXPECT_TRUE(text);
  EXPECT_TRUE(text.Close());  // LocalFree succeeded
}

}  // namespace
}  // namespace norva::installer
