#include "app/AppDelegate.h"
#include "app/CommandLine.h"
#include "platform/linux/LinuxPlatform.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (auto status = tarvolin::handleAgentArguments(argc, argv)) return *status;
    std::string error;
    auto desktop = tarvolin::LinuxPlatform::open(error);
    if (!desktop) {
        std::fprintf(stderr, "tarvolin-agent: %s\n", error.c_str());
        return 1;
    }
    tarvolin::AppDelegate delegate(desktop->platform());
    // A change to the pasteboard is polled at once rather than at the next timer firing.
    desktop->onPasteboardChanged([&delegate] { delegate.tick(); });
    return desktop->run(delegate);
}
