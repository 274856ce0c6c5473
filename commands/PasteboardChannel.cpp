#include "app/AppDelegate.h"

namespace tarvolin {

void AppDelegate::tick() {}

}  // namespace tarvolin
