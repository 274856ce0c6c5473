#pragma once

#include "platform/Image.h"
#include "platform/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tarvolin {

// The attribute snapshot of one element: attribute name to terse description or null marker.
using AttributeSnapshot = std::shared_ptr<const Value::Dictionary>;

// One ordinary window as the last scan saw it. Records are shared objects
// compared by identity.
class WindowInfoModel {
public:
    const std::optional<std::string>& key() const { return key_; }
    void setKey(std::optional<std::string> v) { key_ = std::move(v); }
    const Image& icon() const { return icon_; }
    void setIcon(Image v) { icon_ = std::move(v); }
    const std::optional<std::string>& originalWinName() const { return originalWinName_; }
    void setOriginalWinName(std::optional<std::string> v) { originalWinName_ = std::move(v); }
    const std::optional<std::string>& winName() const { return winName_; }
    void setWinName(std::optional<std::string> v) { winName_ = std::move(v); }
    const std::optional<std::string>& appName() const { return appName_; }
    void setAppName(std::optional<std::string> v) { appName_ = std::move(v); }
    std::int64_t winId() const { return winId_; }
    void setWinId(std::int64_t v) { winId_ = v; }
    std::int64_t pid() const { return pid_; }
    void setPid(std::int64_t v) { pid_ = v; }
    // Shared: the element lives as long as some record refers to it.
    const AXElement& uiEle() const { return uiEle_; }
    void setUiEle(AXElement v) { uiEle_ = std::move(v); }
    const AttributeSnapshot& uiEleAttributes() const { return uiEleAttributes_; }
    void setUiEleAttributes(AttributeSnapshot v) { uiEleAttributes_ = std::move(v); }
    const std::optional<Value::Array>& uiEleChildren() const { return uiEleChildren_; }
    void setUiEleChildren(std::optional<Value::Array> v) { uiEleChildren_ = std::move(v); }
    std::int64_t x() const { return x_; }
    void setX(std::int64_t v) { x_ = v; }
    std::int64_t y() const { return y_; }
    void setY(std::int64_t v) { y_ = v; }
    std::int64_t width() const { return width_; }
    void setWidth(std::int64_t v) { width_ = v; }
    std::int64_t height() const { return height_; }
    void setHeight(std::int64_t v) { height_ = v; }

    // Ascending window number: -1 when this record sorts first, 1 when `other` does, 0 on a tie.
    std::int64_t compareWinId(const WindowInfoModel& other) const {
        if (winId_ > other.winId_) return 1;
        if (winId_ < other.winId_) return -1;
        return 0;
    }

private:
    std::optional<std::string> key_;
    Image icon_;
    std::optional<std::string> originalWinName_;
    std::optional<std::string> winName_;
    std::optional<std::string> appName_;
    std::int64_t winId_ = 0;
    std::int64_t pid_ = 0;
    AXElement uiEle_;
    AttributeSnapshot uiEleAttributes_;
    std::optional<Value::Array> uiEleChildren_;
    std::int64_t x_ = 0;
    std::int64_t y_ = 0;
    std::int64_t width_ = 0;
    std::int64_t height_ = 0;
};

using WindowInfoRef = std::shared_ptr<WindowInfoModel>;
using WindowInfoList = std::vector<WindowInfoRef>;

}  // namespace tarvolin
