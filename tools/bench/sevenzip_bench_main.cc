// Unpacks one archive with LzmaUtil and prints the wall time and the peak
// working set of the process. Run by scripts/bench-unpack; not a test.
//   sevenzip_bench.exe <archive> <folder> [threads]

#include <windows.h>

#include <psapi.h>

#include <cstdio>

#include "package/lzma_util.h"
#include "package/sevenzip/folder_decoder.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: sevenzip_bench <archive> <folder> [threads]\n");
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  norva::installer::LzmaUtil util;
  if (argc == 4) util.set_max_threads(_wtoi(argv[3]));
  DWORD result = util.OpenArchive(norva::installer::FilePath(argv[1]));
  if (result == 0) result = util.UnPack(argv[2]);
  util.CloseArchive();
  QueryPerformanceCounter(&end);
  const norva::installer::LzmaUtil::Stats& stats = util.last_stats();
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  std::printf("result %lu\nwall_seconds %.3f\npeak_working_set_mib %.1f\n", result,
              double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart),
              double(counters.PeakWorkingSetSize) / (1 << 20));
  std::printf("blocks %zu\nthreads %d\ndecoder_memory_mib %.1f (planned %.1f)\n", stats.blocks,
              stats.threads, double(norva::installer::sevenzip::DecoderMemoryPeak()) / (1 << 20),
              double(stats.peak_memory) / (1 << 20));
  std::printf("decoder_allocated_mib %.1f\n",
              double(norva::installer::sevenzip::DecoderMemoryAllocated()) / (1 << 20));
  return result == 0 ? 0 : 1;
}
