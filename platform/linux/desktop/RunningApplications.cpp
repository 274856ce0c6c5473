#include "DesktopServices.h"

namespace tarvolin::desktop {

std::vector<RunningApplication> RunningApplications::runningApplications() {
    if (model_->broken()) return {};
    model_->look();
    const std::vector<AppRecord>& apps = model_->applications();
    std::vector<Image> icons = model_->icons(apps);
    std::vector<RunningApplication> out;
    out.reserve(apps.size());
    for (size_t i = 0; i < apps.size(); ++i)
        out.push_back(RunningApplication{apps[i].pid, apps[i].name, icons[i], {}});
    return out;
}

}  // namespace tarvolin::desktop
