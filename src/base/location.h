#ifndef NORVA_BASE_LOCATION_H_
#define NORVA_BASE_LOCATION_H_

namespace norva::installer {

// Where a task was posted from; kept with the task for the log.
struct Location {
  const char* file;
  int line;
};

}  // namespace norva::installer

#define FROM_HERE ::norva::installer::Location{__FILE__, __LINE__}

#endif  // NORVA_BASE_LOCATION_H_
