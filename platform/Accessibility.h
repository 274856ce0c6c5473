#pragma once

#include "Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolin {

// The accessibility service's error codes, with the platform's values.
enum class AXError : std::int32_t {
    success = 0,
    failure = -25200,
    illegalArgument = -25201,
    invalidUIElement = -25202,
    invalidUIElementObserver = -25203,
    cannotComplete = -25204,
    attributeUnsupported = -25205,
    actionUnsupported = -25206,
    notificationUnsupported = -25207,
    notImplemented = -25208,
    notificationAlreadyRegistered = -25209,
    notificationNotRegistered = -25210,
    apiDisabled = -25211,
    noValue = -25212,
    parameterizedAttributeUnsupported = -25213,
    notEnoughPrecision = -25214,
};

// The outcome of one request: the error code, and a value only where the
// request filled one (a failed request leaves it empty; a successful one may too).
template <class T>
struct AXResult {
    AXError error = AXError::failure;
    std::optional<T> value;

    bool ok() const { return error == AXError::success; }
    static AXResult success(std::optional<T> v) { return {AXError::success, std::move(v)}; }
    static AXResult failed(AXError e) { return {e, std::nullopt}; }
};

// One element as a backend answers for it. Every call is one request to the
// element's process.
class AXElementNode {
public:
    virtual ~AXElementNode() = default;

    virtual AXResult<std::int32_t> pid() const = 0;
    virtual AXResult<std::vector<std::string>> copyAttributeNames() const = 0;
    virtual AXResult<std::vector<std::string>> copyActionNames() const = 0;
    virtual AXResult<std::string> copyActionDescription(std::string_view action) const = 0;
    virtual AXResult<Value> copyAttributeValue(std::string_view attribute) const = 0;
    // These two answer from the whole value unless a node knows better.
    virtual AXResult<Value::Array> copyAttributeValues(std::string_view attribute, std::int64_t index,
                                                       std::int64_t maxCount) const;
    virtual AXResult<std::int64_t> attributeValueCount(std::string_view attribute) const;
    virtual AXResult<bool> isAttributeSettable(std::string_view attribute) const = 0;
    virtual AXError setAttributeValue(std::string_view attribute, const Value& value) const = 0;
    virtual AXError performAction(std::string_view action) const = 0;
    // The window number of a window element.
    virtual AXResult<std::uint32_t> windowNumber() const = 0;
    // The platform's own text for the element object; must not ask the element's process.
    virtual std::string description() const = 0;
};

// The requests on an element; a null element fails with illegalArgument.
namespace ax {
AXResult<std::int32_t> getPid(const AXElement& e);
AXResult<std::vector<std::string>> copyAttributeNames(const AXElement& e);
AXResult<std::vector<std::string>> copyActionNames(const AXElement& e);
AXResult<std::string> copyActionDescription(const AXElement& e, std::string_view action);
AXResult<Value> copyAttributeValue(const AXElement& e, std::string_view attribute);
AXResult<Value::Array> copyAttributeValues(const AXElement& e, std::string_view attribute, std::int64_t index,
                                           std::int64_t maxCount);
AXResult<std::int64_t> getAttributeValueCount(const AXElement& e, std::string_view attribute);
AXResult<bool> isAttributeSettable(const AXElement& e, std::string_view attribute);
AXError setAttributeValue(const AXElement& e, std::string_view attribute, const Value& value);
AXError performAction(const AXElement& e, std::string_view action);
AXResult<std::uint32_t> getWindow(const AXElement& e);
}  // namespace ax

// The service that hands out application elements and answers the trust check.
class Accessibility {
public:
    virtual ~Accessibility() = default;
    // True when the process may use the service; with `prompt`, asks the user when not.
    virtual bool isProcessTrustedWithOptions(bool prompt) = 0;
    virtual AXElement createApplication(std::int32_t pid) = 0;
};

}  // namespace tarvolin
