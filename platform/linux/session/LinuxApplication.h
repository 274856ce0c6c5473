#pragma once

#include "LinuxRunLoop.h"
#include "platform/Application.h"

namespace tarvolin {

class LinuxApplication final : public Application {
public:
    static constexpr const char* kBundleIdentifier = "org.tarvolin.agent";

    // SIGTERM and SIGINT become terminate(nullptr) from now on.
    explicit LinuxApplication(LinuxRunLoop& loop);

    std::string bundleIdentifier() override { return kBundleIdentifier; }
    // The delegate's applicationWillTerminate, then the loop ends with 0. Only the first
    // call counts: a signal during termination does not run the delegate twice.
    void terminate(const void* sender) override;

    // applicationDidFinishLaunching, then the loop until terminate(); the exit code.
    int run(ApplicationDelegate& delegate);
    bool terminating() const { return terminating_; }

private:
    LinuxRunLoop& loop_;
    ApplicationDelegate* delegate_ = nullptr;
    bool terminating_ = false;
};

}  // namespace tarvolin
