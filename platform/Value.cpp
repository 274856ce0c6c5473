#include "Value.h"

#include "Accessibility.h"

#include <charconv>
#include <cstdio>

namespace tarvolin {

namespace {

std::string shortestReal(double d) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    return ec == std::errc() ? std::string(buf, end) : std::string("nan");
}

std::string geometryText(const AXValue& v) {
    char buf[160];
    if (auto p = v.pointValue()) {
        std::snprintf(buf, sizeof buf, "{x=%g y=%g}", p->x, p->y);
    } else if (auto s = v.sizeValue()) {
        std::snprintf(buf, sizeof buf, "{w=%g h=%g}", s->width, s->height);
    } else if (auto r = v.rectValue()) {
        std::snprintf(buf, sizeof buf, "{x=%g y=%g w=%g h=%g}", r->x, r->y, r->width, r->height);
    } else if (auto g = v.rangeValue()) {
        std::snprintf(buf, sizeof buf, "{pos=%lld len=%lld}", static_cast<long long>(g->location),
                      static_cast<long long>(g->length));
    } else {
        buf[0] = '\0';
    }
    return "<AXValue type=" + std::to_string(v.kind()) + " " + buf + ">";
}

std::string itemText(const Value& v) {
    if (const auto* s = v.asString()) return quotedText(*s);
    return v.description();
}

}  // namespace

std::string quotedText(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\x%02x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

const Value::Array* Value::asArray() const {
    auto p = std::get_if<std::shared_ptr<const Array>>(&v_);
    return p ? p->get() : nullptr;
}
const Value::Dictionary* Value::asDictionary() const {
    auto p = std::get_if<std::shared_ptr<const Dictionary>>(&v_);
    return p ? p->get() : nullptr;
}
const Value::Data* Value::asData() const {
    auto p = std::get_if<std::shared_ptr<const Data>>(&v_);
    return p ? p->get() : nullptr;
}

std::optional<double> Value::doubleValue() const {
    if (auto i = asInteger()) return static_cast<double>(*i);
    if (auto d = asReal()) return *d;
    if (auto b = asBoolean()) return *b ? 1.0 : 0.0;
    return std::nullopt;
}

std::string Value::description() const {
    struct Describe {
        std::string operator()(Null) const { return "<null>"; }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(double d) const { return shortestReal(d); }
        std::string operator()(bool b) const { return b ? "1" : "0"; }
        std::string operator()(const std::shared_ptr<const Array>& a) const {
            std::string out = "(";
            for (size_t i = 0; i < a->size(); ++i) out += (i ? ", " : "") + itemText((*a)[i]);
            return out + ")";
        }
        std::string operator()(const std::shared_ptr<const Dictionary>& d) const {
            std::string out = "{";
            for (const auto& [k, v] : *d) out += quotedText(k) + " = " + itemText(v) + "; ";
            return out + "}";
        }
        std::string operator()(const std::shared_ptr<const Data>& d) const {
            static const char* hex = "0123456789abcdef";
            std::string out = "{length = " + std::to_string(d->size()) + ", bytes = 0x";
            for (auto b : *d) {
                out += hex[b >> 4];
                out += hex[b & 15];
            }
            return out + "}";
        }
        std::string operator()(const AXElement& e) const {
            return e ? e.node()->description() : std::string("<AXUIElement null>");
        }
        std::string operator()(const AXValue& v) const { return geometryText(v); }
        std::string operator()(const Url& u) const { return u.text; }
    };
    return std::visit(Describe{}, v_);
}

bool operator==(const Value& a, const Value& b) {
    if (a.v_.index() != b.v_.index()) return false;
    if (auto x = a.asArray()) return *x == *b.asArray();
    if (auto x = a.asDictionary()) return *x == *b.asDictionary();
    if (auto x = a.asData()) return *x == *b.asData();
    return a.v_ == b.v_;
}

}  // namespace tarvolin
