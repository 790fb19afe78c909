#ifndef NORVA_APP_BACKEND_H_
#define NORVA_APP_BACKEND_H_

namespace norva::installer {

class Settings;

// The "backend" role: runs the installation for `settings` on this thread's
// task loop and sends every event of it to the frontend's mailslot. Ends with
// the installation, or as soon as the frontend process is gone. True only
// after a successful installation.
bool RunBackend(Settings& settings);

}  // namespace norva::installer

#endif  // NORVA_APP_BACKEND_H_
