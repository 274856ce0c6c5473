#include "DesktopServices.h"

#include "platform/ScriptParser.h"

#include <algorithm>

namespace tarvolin::desktop {

ScriptResult DesktopScripts::executeScript(std::string_view source) {
    ParsedScript parsed = parseScript(source);
    if (auto* e = std::get_if<ScriptError>(&parsed)) return ScriptResult{false, {}, e->message};
    Transport& t = model_->transport();
    if (model_->broken()) return ScriptResult{false, {}, "the connection to the desktop is broken"};
    if (std::holds_alternative<CloseKeystroke>(parsed)) {
        model_->look();
        ScriptResult r = t.closeKeystroke(model_->lastRaised());
        if (!r.ok) model_->log("tarvolin: close keystroke not sent: " + r.error);
        return r;
    }

    const bool quit = std::holds_alternative<QuitApplication>(parsed);
    const std::string& name =
        quit ? std::get<QuitApplication>(parsed).name : std::get<ActivateApplication>(parsed).name;
    const Snapshot& s = model_->look();
    std::vector<const Window*> theirs;  // front first, across every process of that name
    for (const Window& w : s.frontFirst) {
        const AppRecord* app = w.pid ? model_->application(*w.pid) : nullptr;
        if (app && app->name == name) theirs.push_back(&w);
    }
    if (theirs.empty()) return ScriptResult{false, {}, "no running application is named \"" + name + "\""};

    if (!quit) {
        // Its front-most window that is not minimised, else its front-most.
        auto shown =
            std::find_if(theirs.begin(), theirs.end(), [](const Window* w) { return !w->minimised; });
        const Window& front = **(shown == theirs.end() ? theirs.begin() : shown);
        if (t.focus(front)) return ScriptResult{true, {}, {}};
        return ScriptResult{false, {}, "the desktop refused to focus " + t.windowName(front.id)};
    }
    // Each window is asked politely; one that cannot be is left open and said so.
    std::vector<const Window*> closable;
    std::string left;
    for (const Window* w : theirs) {
        if (w->canClose)
            closable.push_back(w);
        else
            left += (left.empty() ? "" : ", ") + t.windowName(w->id);
    }
    if (!closable.empty() && !t.close(closable))
        return ScriptResult{false, {}, "the desktop refused to close the windows of \"" + name + "\""};
    if (left.empty()) return ScriptResult{true, {}, {}};
    const std::string why =
        "these windows of \"" + name + "\" cannot be closed politely and were left open: " + left;
    model_->log("tarvolin: " + why);
    return ScriptResult{false, {}, why};
}

}  // namespace tarvolin::desktop
