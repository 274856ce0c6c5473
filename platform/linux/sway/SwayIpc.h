#pragma once

#include "platform/linux/session/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarvolin::sway {

// The i3/sway IPC message types the backend uses.
enum class MessageType : std::uint32_t {
    runCommand = 0,
    getWorkspaces = 1,
    subscribe = 2,
    getOutputs = 3,
    getTree = 4,
    getVersion = 7,
};

// Event types carry this bit; the rest of the type names the event.
inline constexpr std::uint32_t kEventBit = 0x80000000u;
enum class EventType : std::uint32_t {
    workspace = kEventBit | 0,
    output = kEventBit | 1,
    window = kEventBit | 3,
    shutdown = kEventBit | 6,
};

struct Message {
    std::uint32_t type = 0;
    std::string payload;
    bool isEvent() const { return (type & kEventBit) != 0; }
};

// "i3-ipc", then the payload's length and the type (32-bit, the host's byte order), then the payload.
std::string encodeMessage(std::uint32_t type, std::string_view payload);

// Splits a byte stream into messages. A wrong magic string or an absurd length makes the
// stream corrupt for good: nothing after it can be framed again.
class MessageDecoder {
public:
    static constexpr std::uint32_t kMaxPayload = 64u << 20;
    void feed(std::string_view bytes) { buffer_.append(bytes); }
    std::optional<Message> next();
    bool corrupt() const { return corrupt_; }

private:
    std::string buffer_;
    size_t start_ = 0;
    bool corrupt_ = false;
};

// One connection to the IPC socket. Every wait is bounded, so a compositor that stops
// answering breaks the connection instead of hanging the agent.
class Connection {
public:
    using EventHandler = std::function<void(const Message&)>;
    static constexpr std::chrono::milliseconds kReplyTimeout{5000};

    static std::unique_ptr<Connection> open(const std::string& path, std::string& error);
    // A connected socket; `timeout` bounds each request and each whole reply.
    static std::unique_ptr<Connection> adopt(UniqueFd fd, std::chrono::milliseconds timeout = kReplyTimeout);

    int fd() const { return fd_.get(); }
    bool broken() const { return broken_; }
    // Why it broke; empty while it works.
    const std::string& failure() const { return failure_; }

    // Queues a request; replies come back in the order asked.
    bool send(MessageType type, std::string_view payload = {});
    // The next reply, handing the events that come before it to `onEvent`; none once broken.
    std::optional<std::string> reply(const EventHandler& onEvent = {});
    // send + reply: one round trip.
    std::optional<std::string> request(MessageType type, std::string_view payload = {},
                                       const EventHandler& onEvent = {});
    // Reads what has arrived without waiting and hands every event to `onEvent`;
    // false once the connection is broken.
    bool drain(const EventHandler& onEvent);

    // Waits for sway: requests sent together (pipelined) count once.
    std::uint64_t roundTrips() const { return roundTrips_; }

private:
    using Deadline = std::chrono::steady_clock::time_point;
    Connection(UniqueFd fd, std::chrono::milliseconds timeout) : fd_(std::move(fd)), timeout_(timeout) {}
    // Waits for data until `deadline` when given one.
    bool readSome(std::optional<Deadline> deadline);
    void fail(std::string why);

    UniqueFd fd_;
    std::chrono::milliseconds timeout_;
    MessageDecoder decoder_;
    bool broken_ = false;
    std::string failure_;
    std::uint64_t roundTrips_ = 0;
    std::uint64_t unanswered_ = 0;
};

}  // namespace tarvolin::sway
