#include "LinuxApplication.h"

namespace tarvolin {

LinuxApplication::LinuxApplication(LinuxRunLoop& loop) : loop_(loop) {
    loop_.handleTerminationSignals([this](int) { terminate(nullptr); });
}

void LinuxApplication::terminate(const void*) {
    if (terminating_) return;
    terminating_ = true;
    if (delegate_) delegate_->applicationWillTerminate();
    loop_.exit(0);
}

int LinuxApplication::run(ApplicationDelegate& delegate) {
    delegate_ = &delegate;
    delegate.applicationDidFinishLaunching();
    // A terminate() during launch (the single-instance rule) has already asked the loop to exit.
    int code = loop_.run();
    delegate_ = nullptr;
    return code;
}

}  // namespace tarvolin
