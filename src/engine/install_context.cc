#include "engine/install_context.h"

#include <utility>

#include "base/strings.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "product/product_info.h"

namespace norva::installer {

InstallContext::InstallContext(CommandLine command_line, FilePath package_folder)
    : command_line(std::move(command_line)), package_folder(std::move(package_folder)) {}

const InstallationStatus& InstallContext::status() const {
  return settings->GetInstallationStatus();
}

int InstallContext::operation() const { return settings->GetOperation(); }

bool InstallContext::IsCopyOnly() const { return settings->choices().copy_only; }

bool InstallContext::IsAutoupdate() const { return settings->options().autoupdate; }

bool InstallContext::PackageFilesMayMove() const {
  return command_line.HasSwitch(kMovablePackageSwitch) && !settings->choices().all_users;
}

std::wstring BrowserExecutableName() { return Utf8ToWide(product::FileNameBase()) + L".exe"; }

}  // namespace norva::installer
