#pragma once

#include "platform/linux/desktop/WidgetSource.h"

#include <functional>
#include <memory>

namespace tarvolin::atspi {

// Where the accessibility bus answers in the agent's coordinates: X applications give screen
// positions, Wayland ones only positions inside their window.
enum class Positions { screen, inWindow };

using Schedule = std::function<void(std::function<void()>)>;

// The widgets of other processes' windows, read from the accessibility bus (AT-SPI 2) once the
// session has one. `watch` is handed the bus's connection when there is one: whatever arrives on
// it is to be taken at once (processEvents), so that nothing piles up between two questions.
// What is read of a widget holds until the task handed to `endTurnsWith` runs (as the desktop
// model's look does); without it every question asks again.
std::shared_ptr<desktop::WidgetSource> connect(Positions positions, std::function<void(int fd)> watch,
                                               Schedule endTurnsWith = {});
// Takes what has arrived from the accessibility bus, a batch at a time: the rest is handed to
// `later`, so that a flood of events never holds the caller's loop.
void processEvents(const Schedule& later);

}  // namespace tarvolin::atspi
