#pragma once

#include "Geometry.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tarvolin {

class AXElementNode;

// Handle to one element of another process's interface tree. Copies share the
// element; two handles are equal only when they refer to the same element.
class AXElement {
public:
    AXElement() = default;
    explicit AXElement(std::shared_ptr<AXElementNode> node) : node_(std::move(node)) {}

    explicit operator bool() const { return node_ != nullptr; }
    AXElementNode* node() const { return node_.get(); }
    // Number of handles sharing the element; lets tests see who keeps it alive.
    long useCount() const { return node_.use_count(); }

    friend bool operator==(const AXElement& a, const AXElement& b) { return a.node_ == b.node_; }

private:
    std::shared_ptr<AXElementNode> node_;
};

// Geometry kinds of a boxed geometry value.
enum AXValueType : std::uint32_t {
    kAXValueIllegalType = 0,
    kAXValueCGPointType = 1,
    kAXValueCGSizeType = 2,
    kAXValueCGRectType = 3,
    kAXValueCFRangeType = 4,
    kAXValueAXErrorType = 5,
};

// A boxed geometry value: a kind number and a payload of that kind.
class AXValue {
public:
    static AXValue point(Point p) { return AXValue(kAXValueCGPointType, p); }
    static AXValue size(Size s) { return AXValue(kAXValueCGSizeType, s); }
    static AXValue rect(Rect r) { return AXValue(kAXValueCGRectType, r); }
    static AXValue range(Range r) { return AXValue(kAXValueCFRangeType, r); }
    // A value of any kind whose payload cannot be extracted (error values, unknown kinds).
    static AXValue opaque(std::uint32_t kind) { return AXValue(kind, std::monostate{}); }

    std::uint32_t kind() const { return kind_; }
    // Each getter succeeds only for a value of its own kind that carries the payload.
    std::optional<Point> pointValue() const { return get<Point>(kAXValueCGPointType); }
    std::optional<Size> sizeValue() const { return get<Size>(kAXValueCGSizeType); }
    std::optional<Rect> rectValue() const { return get<Rect>(kAXValueCGRectType); }
    std::optional<Range> rangeValue() const { return get<Range>(kAXValueCFRangeType); }

    friend bool operator==(const AXValue&, const AXValue&) = default;

private:
    using Payload = std::variant<std::monostate, Point, Size, Rect, Range>;
    AXValue(std::uint32_t kind, Payload payload) : kind_(kind), payload_(payload) {}

    template <class T>
    std::optional<T> get(std::uint32_t kind) const {
        if (kind_ != kind) return std::nullopt;
        if (const T* p = std::get_if<T>(&payload_)) return *p;
        return std::nullopt;
    }

    std::uint32_t kind_;
    Payload payload_;
};

struct Url {
    std::string text;
    friend bool operator==(const Url&, const Url&) = default;
};

// One platform object: string, number, boolean, array, dictionary, element,
// geometry value, URL, data, or the shared null marker. Cheap to copy:
// containers are shared and immutable.
class Value {
public:
    using Array = std::vector<Value>;
    using Dictionary = std::map<std::string, Value, std::less<>>;
    using Data = std::vector<std::uint8_t>;
    struct Null {
        friend bool operator==(Null, Null) { return true; }
    };

    Value() : v_(Null{}) {}  // the null marker
    Value(std::string s) : v_(std::move(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(AXElement e) : v_(std::move(e)) {}
    Value(AXValue v) : v_(v) {}
    Value(Url u) : v_(std::move(u)) {}

    static Value null() { return Value(); }
    static Value integer(std::int64_t i) { return Value(Storage(i)); }
    static Value real(double d) { return Value(Storage(d)); }
    static Value boolean(bool b) { return Value(Storage(b)); }
    static Value array(Array a) { return Value(Storage(std::make_shared<const Array>(std::move(a)))); }
    static Value dictionary(Dictionary d) {
        return Value(Storage(std::make_shared<const Dictionary>(std::move(d))));
    }
    static Value data(Data d) { return Value(Storage(std::make_shared<const Data>(std::move(d)))); }

    bool isNull() const { return std::holds_alternative<Null>(v_); }
    bool isString() const { return std::holds_alternative<std::string>(v_); }
    bool isBoolean() const { return std::holds_alternative<bool>(v_); }
    // Numbers and booleans: the platform's boxed scalar values.
    bool isNumber() const {
        return std::holds_alternative<std::int64_t>(v_) || std::holds_alternative<double>(v_) || isBoolean();
    }

    const std::string* asString() const { return std::get_if<std::string>(&v_); }
    const Array* asArray() const;
    const Dictionary* asDictionary() const;
    const Data* asData() const;
    const AXElement* asElement() const { return std::get_if<AXElement>(&v_); }
    const AXValue* asAXValue() const { return std::get_if<AXValue>(&v_); }
    const Url* asUrl() const { return std::get_if<Url>(&v_); }
    const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&v_); }
    const double* asReal() const { return std::get_if<double>(&v_); }
    const bool* asBoolean() const { return std::get_if<bool>(&v_); }

    // A number (or boolean) as a double; none for other values.
    std::optional<double> doubleValue() const;

    // Stable, readable, single-line text; a string stands for itself.
    std::string description() const;

    // Deep equality of contents; elements compare by identity.
    friend bool operator==(const Value& a, const Value& b);

private:
    using Storage =
        std::variant<Null, std::string, std::int64_t, double, bool, std::shared_ptr<const Array>,
                     std::shared_ptr<const Dictionary>, std::shared_ptr<const Data>, AXElement, AXValue, Url>;
    explicit Value(Storage s) : v_(std::move(s)) {}
    Storage v_;
};

// Text quoted and escaped so that it stays on one line and reads back unambiguously.
std::string quotedText(std::string_view text);

}  // namespace tarvolin
