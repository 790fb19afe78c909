#include "installer/install_choices.h"

#include "base/logging.h"

namespace norva::installer {

void InstallChoices::SetCopyOnly(bool value) {
  copy_only = value;
  if (!value) return;
  all_users = default_browser = false;
  desktop_shortcut = start_menu_shortcut = quick_launch_shortcut = pinned_shortcut = false;
}

void InstallChoices::Log() const {
  VLOG(1) << "all_users_:" << all_users;
  VLOG(1) << "copy_only_:" << copy_only;
  VLOG(1) << "launch_norva_:" << launch_norva;
  VLOG(1) << "default_browser_:" << default_browser;
  VLOG(1) << "single_profile_:" << single_profile;
  VLOG(1) << "desktop_shortcut_:" << desktop_shortcut;
  VLOG(1) << "start_menu_shortcut_:" << start_menu_shortcut;
  VLOG(1) << "quick_launch_shortcut_:" << quick_launch_shortcut;
  VLOG(1) << "pinned_shortcut_:" << pinned_shortcut;
  VLOG(1) << "language:" << language;
}

}  // namespace norva::installer
