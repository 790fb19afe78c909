// Unpacks one archive with LzmaUtil and prints the wall time and the peak
// working set of the process. Run by scripts/bench-unpack; not a test.
//   sevenzip_bench.exe <archive> <folder>

#include <windows.h>

#include <psapi.h>

#include <cstdio>

#include "package/lzma_util.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: sevenzip_bench <archive> <folder>\n");
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  norva::installer::LzmaUtil util;
  DWORD result = util.OpenArchive(argv[1]);
  if (result == 0) result = util.UnPack(argv[2]);
  util.CloseArchive();
  QueryPerformanceCounter(&end);
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  std::printf("result %lu\nwall_seconds %.3f\npeak_working_set_mib %.1f\n", result,
              double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart),
              double(counters.PeakWorkingSetSize) / (1 << 20));
  return result == 0 ? 0 : 1;
}
