#include "SwayIpc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace tarvolin::sway {

namespace {

constexpr std::string_view kMagic = "i3-ipc";
constexpr size_t kHeader = kMagic.size() + 8;

}  // namespace

std::string encodeMessage(std::uint32_t type, std::string_view payload) {
    std::string out(kMagic);
    const auto length = static_cast<std::uint32_t>(payload.size());
    out.append(reinterpret_cast<const char*>(&length), 4);
    out.append(reinterpret_cast<const char*>(&type), 4);
    out.append(payload);
    return out;
}

std::optional<Message> MessageDecoder::next() {
    if (corrupt_ || buffer_.size() - start_ < kHeader) return std::nullopt;
    const char* head = buffer_.data() + start_;
    if (std::string_view(head, kMagic.size()) != kMagic) {
        corrupt_ = true;
        return std::nullopt;
    }
    std::uint32_t length = 0, type = 0;
    std::memcpy(&length, head + kMagic.size(), 4);
    std::memcpy(&type, head + kMagic.size() + 4, 4);
    if (length > kMaxPayload) {
        corrupt_ = true;
        return std::nullopt;
    }
    if (buffer_.size() - start_ < kHeader + length) return std::nullopt;
    Message m{type, buffer_.substr(start_ + kHeader, length)};
    start_ += kHeader + length;
    // Keep the buffer from growing without bound across many messages.
    if (start_ == buffer_.size() || start_ > (1u << 16)) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    return m;
}

std::unique_ptr<Connection> Connection::open(const std::string& path, std::string& error) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "the sway socket path \"" + path + "\" is empty or too long";
        return nullptr;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = "cannot reach sway at " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return adopt(std::move(fd));
}

std::unique_ptr<Connection> Connection::adopt(UniqueFd fd, std::chrono::milliseconds timeout) {
    return std::unique_ptr<Connection>(new Connection(std::move(fd), timeout));
}

void Connection::fail(std::string why) {
    if (broken_) return;
    broken_ = true;
    failure_ = std::move(why);
}

bool Connection::send(MessageType type, std::string_view payload) {
    if (broken_) return false;
    const std::string bytes = encodeMessage(static_cast<std::uint32_t>(type), payload);
    size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_.get(), POLLOUT, 0};
            if (left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) >= 0) continue;
            fail("sway does not take requests");
            return false;
        }
        fail(std::string("writing to sway: ") + std::strerror(errno));
        return false;
    }
    if (unanswered_++ == 0) ++roundTrips_;
    return true;
}

bool Connection::readSome(std::optional<Deadline> deadline) {
    if (deadline) {
        pollfd p{fd_.get(), POLLIN, 0};
        int r = 0;
        for (auto left = *deadline - std::chrono::steady_clock::now(); left.count() > 0;
             left = *deadline - std::chrono::steady_clock::now()) {
            r = ::poll(&p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
            if (r >= 0 || errno != EINTR) break;
            r = 0;
        }
        if (r < 0) {
            fail(std::string("waiting for sway: ") + std::strerror(errno));
            return false;
        }
        if (r == 0) {
            fail("sway did not answer within " + std::to_string(timeout_.count()) + " ms");
            return false;
        }
    }
    char chunk[65536];
    ssize_t n;
    do n = ::recv(fd_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        decoder_.feed(std::string_view(chunk, static_cast<size_t>(n)));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return !deadline;
    fail(n == 0 ? "sway closed the connection" : std::string("reading from sway: ") + std::strerror(errno));
    return false;
}

std::optional<std::string> Connection::reply(const EventHandler& onEvent) {
    // One limit for the whole reply: a peer that trickles bytes cannot hold the agent longer.
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    while (!broken_) {
        while (auto m = decoder_.next()) {
            if (!m->isEvent()) {
                if (unanswered_ > 0) --unanswered_;
                return std::move(m->payload);
            }
            if (onEvent) onEvent(*m);
        }
        if (decoder_.corrupt()) fail("sway sent a message that cannot be framed");
        if (!broken_) readSome(deadline);
    }
    return std::nullopt;
}

std::optional<std::string> Connection::request(MessageType type, std::string_view payload,
                                               const EventHandler& onEvent) {
    if (!send(type, payload)) return std::nullopt;
    return reply(onEvent);
}

bool Connection::drain(const EventHandler& onEvent) {
    while (!broken_) {
        while (auto m = decoder_.next())
            if (m->isEvent() && onEvent) onEvent(*m);
        if (decoder_.corrupt()) fail("sway sent a message that cannot be framed");
        pollfd p{fd_.get(), POLLIN, 0};
        if (broken_ || ::poll(&p, 1, 0) <= 0) break;
        readSome(std::nullopt);
    }
    return !broken_;
}

}  // namespace tarvolin::sway
