#pragma once

#include <string>

namespace tarvolin {

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() = 0;
    virtual void applicationWillTerminate() = 0;
};

// The application object of the running process.
class Application {
public:
    virtual ~Application() = default;
    // The process's own bundle identifier.
    virtual std::string bundleIdentifier() = 0;
    // Orderly termination: the delegate's applicationWillTerminate, then the process ends.
    virtual void terminate(const void* sender) = 0;
};

}  // namespace tarvolin
