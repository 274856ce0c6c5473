#pragma once

#include "Value.h"

#include <memory>
#include <optional>
#include <string_view>

namespace tarvolin {

// One user-defaults store. A change posts NSUserDefaultsDidChangeNotification on
// the process's default notification centre, with the store (as
// std::shared_ptr<UserDefaults>) as the notification's object.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    virtual std::optional<Value> objectForKey(std::string_view key) = 0;
    virtual void setObject(std::string_view key, const Value& value) = 0;
    virtual void removeObject(std::string_view key) = 0;
};

class UserDefaultsService {
public:
    virtual ~UserDefaultsService() = default;
    // The agent's own domain (its bundle identifier's).
    virtual std::shared_ptr<UserDefaults> standardUserDefaults() = 0;
    // The domain the agent shares with its companion.
    virtual std::shared_ptr<UserDefaults> sharedUserDefaults() = 0;
};

// A controller over one store, made with initial values (none here).
struct UserDefaultsController {
    std::shared_ptr<UserDefaults> defaults;
    std::optional<Value::Dictionary> initialValues;
};

}  // namespace tarvolin
