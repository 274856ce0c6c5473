#pragma once

#include "platform/linux/desktop/Snapshot.h"

#include <memory>
#include <optional>

namespace tarvolin::kde {

// KWin 5 tells its scripts neither the user's order of the screens nor which is the primary; it
// tells Wayland clients (kde_output_order_v1: the first is the primary), and where each output
// is (xdg-output). A connection of the agent's own to the compositor, for that alone.
class KWinOutputOrder {
public:
    // None when there is no Wayland display or it does not announce an order.
    static std::unique_ptr<KWinOutputOrder> connect();
    ~KWinOutputOrder();
    KWinOutputOrder(const KWinOutputOrder&) = delete;
    KWinOutputOrder& operator=(const KWinOutputOrder&) = delete;

    int fd() const;
    // Takes what has arrived; false once the connection is broken.
    bool dispatch();
    // The primary output's rectangle, once the compositor has said which one it is and where.
    std::optional<desktop::Box> primary() const;

    struct State;

private:
    KWinOutputOrder();
    std::unique_ptr<State> state_;
};

}  // namespace tarvolin::kde
