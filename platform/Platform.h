#pragma once

#include "Accessibility.h"
#include "Application.h"
#include "Image.h"
#include "KeyedUnarchiver.h"
#include "Notifications.h"
#include "Pasteboard.h"
#include "RunLoop.h"
#include "Screens.h"
#include "ScriptHost.h"
#include "SystemLog.h"
#include "UserDefaults.h"
#include "WindowService.h"
#include "Workspace.h"

namespace tarvolin {

// Every operating-system service the agent calls, handed over at construction.
// The services outlive the objects that are given this bundle.
struct Platform {
    Application& application;
    RunLoop& runLoop;
    Workspace& workspace;
    WindowService& windows;
    Accessibility& accessibility;
    ProcessManager& processes;
    PasteboardService& pasteboards;
    UserDefaultsService& userDefaults;
    NotificationCenter& notificationCenter;
    DistributedNotificationCenter& distributedNotifications;
    DarwinNotifyCenter& darwinNotifications;
    ScriptHost& scripts;
    Screens& screens;
    SystemLog& log;
    KeyedUnarchiver& keyedUnarchiver;
    Graphics& graphics;
};

}  // namespace tarvolin
