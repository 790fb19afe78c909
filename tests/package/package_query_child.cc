// A stand-in package executable for QueryPackage: prints, on its standard
// output, what it was asked, so the test can check the switch and the exact
// bytes that come back.
#include <windows.h>

#include <string>

namespace {

void Print(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
            &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring first = argc > 1 ? argv[1] : L"";
  if (first == L"--internal-version") {
    Print("2163.7\r\n");
  } else if (first == L"--big") {
    // More than one read block, in uneven pieces.
    for (int i = 0; i < 700; ++i) Print("line " + std::to_string(i) + "\n");
  } else if (first == L"--hang") {
    // Owns the test's mutex, so its end shows as the mutex abandoned.
    HANDLE owned = OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\norva_query_child_hang");
    if (owned) WaitForSingleObject(owned, INFINITE);
    Print("partial");
    Sleep(INFINITE);
  } else if (first == L"--silent") {
    return 3;
  } else {
    std::string echoed = "args=" + std::to_string(argc - 1);
    for (int i = 1; i < argc; ++i) {
      echoed += ' ';
      for (const wchar_t* c = argv[i]; *c; ++c) echoed += static_cast<char>(*c);
    }
    Print(echoed);
  }
  return 0;
}
