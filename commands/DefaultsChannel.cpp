#include "app/AppDelegate.h"

namespace tarvolin {

void AppDelegate::defaultsChanged(const Notification&) {}

}  // namespace tarvolin
