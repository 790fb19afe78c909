#ifndef NORVA_PACKAGE_SEVENZIP_RESULT_H_
#define NORVA_PACKAGE_SEVENZIP_RESULT_H_

namespace norva::installer::sevenzip {

// Outcome of every reader operation. The numbers stay close to the LZMA SDK's
// SZ_ERROR_* codes, because they end up in the installer's log.
enum class Result : int {
  kOk = 0,
  kDataError = 1,          // compressed data is corrupt
  kMemoryError = 2,        // an allocation failed
  kCrcError = 3,           // a checksum does not match
  kUnsupportedMethod = 4,  // PPMd, AES, unknown coder ids or layouts
  kTruncated = 6,          // the archive ends before its declared contents
  kReadError = 8,          // the input could not be read
  kWriteError = 9,         // the output sink refused the data
  kBadHeader = 16,         // the archive database is malformed
  kNotAnArchive = 17,      // no 7z signature
  kLimitExceeded = 18,     // a dictionary, header or count beyond our limits
  kAntiItem = 19,          // the archive deletes files; we only add
  kUnsupportedFeature = 20,  // external header data, alternative methods...
};

// A short English name of the result for logs ("crc mismatch").
const char* ResultName(Result result);

}  // namespace norva::installer::sevenzip

#endif  // NORVA_PACKAGE_SEVENZIP_RESULT_H_
