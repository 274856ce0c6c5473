#include "AtspiNames.h"

#include <atspi/atspi.h>

#include <algorithm>
#include <cctype>
#include <unordered_map>

namespace tarvolin::atspi {

RoleNames axRole(int atspiRole, bool singleLine) {
    if (atspiRole == ATSPI_ROLE_TEXT && singleLine) return {"AXTextField", ""};
    // Where the platform has no role of the kind, a group: a container the user does not act on.
    static const std::unordered_map<int, RoleNames> roles{
        {ATSPI_ROLE_PUSH_BUTTON, {"AXButton", ""}},
        {ATSPI_ROLE_PUSH_BUTTON_MENU, {"AXMenuButton", ""}},
        {ATSPI_ROLE_TOGGLE_BUTTON, {"AXCheckBox", "AXToggle"}},
        {ATSPI_ROLE_CHECK_BOX, {"AXCheckBox", ""}},
        {ATSPI_ROLE_RADIO_BUTTON, {"AXRadioButton", ""}},
        {ATSPI_ROLE_PAGE_TAB, {"AXRadioButton", "AXTabButton"}},
        {ATSPI_ROLE_PAGE_TAB_LIST, {"AXTabGroup", ""}},
        {ATSPI_ROLE_COMBO_BOX, {"AXPopUpButton", ""}},
        {ATSPI_ROLE_TEXT, {"AXTextArea", ""}},
        {ATSPI_ROLE_ENTRY, {"AXTextField", ""}},
        {ATSPI_ROLE_PASSWORD_TEXT, {"AXTextField", "AXSecureTextField"}},
        {ATSPI_ROLE_EDITBAR, {"AXTextField", ""}},
        {ATSPI_ROLE_TERMINAL, {"AXTextArea", ""}},
        {ATSPI_ROLE_PARAGRAPH, {"AXTextArea", ""}},
        {ATSPI_ROLE_LABEL, {"AXStaticText", ""}},
        {ATSPI_ROLE_STATIC, {"AXStaticText", ""}},
        {ATSPI_ROLE_CAPTION, {"AXStaticText", ""}},
        {ATSPI_ROLE_ACCELERATOR_LABEL, {"AXStaticText", ""}},
        {ATSPI_ROLE_HEADING, {"AXHeading", ""}},
        {ATSPI_ROLE_LINK, {"AXLink", ""}},
        {ATSPI_ROLE_IMAGE, {"AXImage", ""}},
        {ATSPI_ROLE_ICON, {"AXImage", ""}},
        {ATSPI_ROLE_MENU_BAR, {"AXMenuBar", ""}},
        {ATSPI_ROLE_MENU, {"AXMenu", ""}},
        {ATSPI_ROLE_POPUP_MENU, {"AXMenu", ""}},
        {ATSPI_ROLE_MENU_ITEM, {"AXMenuItem", ""}},
        {ATSPI_ROLE_CHECK_MENU_ITEM, {"AXMenuItem", ""}},
        {ATSPI_ROLE_RADIO_MENU_ITEM, {"AXMenuItem", ""}},
        {ATSPI_ROLE_TEAROFF_MENU_ITEM, {"AXMenuItem", ""}},
        {ATSPI_ROLE_SEPARATOR, {"AXSplitter", ""}},
        {ATSPI_ROLE_LIST, {"AXList", ""}},
        {ATSPI_ROLE_LIST_BOX, {"AXList", ""}},
        {ATSPI_ROLE_LIST_ITEM, {"AXStaticText", ""}},
        {ATSPI_ROLE_TABLE, {"AXTable", ""}},
        {ATSPI_ROLE_TREE_TABLE, {"AXOutline", ""}},
        {ATSPI_ROLE_TREE, {"AXOutline", ""}},
        {ATSPI_ROLE_TABLE_ROW, {"AXRow", "AXTableRow"}},
        {ATSPI_ROLE_TREE_ITEM, {"AXRow", "AXOutlineRow"}},
        {ATSPI_ROLE_TABLE_CELL, {"AXCell", ""}},
        {ATSPI_ROLE_COLUMN_HEADER, {"AXButton", "AXSortButton"}},
        {ATSPI_ROLE_TABLE_COLUMN_HEADER, {"AXButton", "AXSortButton"}},
        {ATSPI_ROLE_SCROLL_PANE, {"AXScrollArea", ""}},
        {ATSPI_ROLE_SCROLL_BAR, {"AXScrollBar", ""}},
        {ATSPI_ROLE_SLIDER, {"AXSlider", ""}},
        {ATSPI_ROLE_DIAL, {"AXSlider", ""}},
        {ATSPI_ROLE_SPIN_BUTTON, {"AXIncrementor", ""}},
        {ATSPI_ROLE_PROGRESS_BAR, {"AXProgressIndicator", ""}},
        {ATSPI_ROLE_LEVEL_BAR, {"AXLevelIndicator", ""}},
        {ATSPI_ROLE_SPLIT_PANE, {"AXSplitGroup", ""}},
        {ATSPI_ROLE_TOOL_BAR, {"AXToolbar", ""}},
        {ATSPI_ROLE_STATUS_BAR, {"AXGroup", ""}},
        {ATSPI_ROLE_TOOL_TIP, {"AXHelpTag", ""}},
        {ATSPI_ROLE_COLOR_CHOOSER, {"AXColorWell", ""}},
        {ATSPI_ROLE_RULER, {"AXRuler", ""}},
        {ATSPI_ROLE_CANVAS, {"AXLayoutArea", ""}},
        {ATSPI_ROLE_DRAWING_AREA, {"AXLayoutArea", ""}},
        {ATSPI_ROLE_FRAME, {"AXWindow", "AXStandardWindow"}},
        {ATSPI_ROLE_WINDOW, {"AXWindow", ""}},
        {ATSPI_ROLE_DIALOG, {"AXWindow", "AXDialog"}},
        {ATSPI_ROLE_ALERT, {"AXWindow", "AXDialog"}},
        {ATSPI_ROLE_FILE_CHOOSER, {"AXWindow", "AXDialog"}},
        {ATSPI_ROLE_APPLICATION, {"AXApplication", ""}},
        {ATSPI_ROLE_DOCUMENT_WEB, {"AXWebArea", ""}},
        {ATSPI_ROLE_DOCUMENT_FRAME, {"AXWebArea", ""}},
    };
    auto it = roles.find(atspiRole);
    if (it != roles.end()) return it->second;
    return atspiRole == ATSPI_ROLE_UNKNOWN || atspiRole == ATSPI_ROLE_INVALID ? RoleNames{"AXUnknown", ""}
                                                                              : RoleNames{"AXGroup", ""};
}

std::string axAction(std::string_view atspiAction) {
    std::string key;
    for (char c : atspiAction)
        if (std::isalpha(static_cast<unsigned char>(c)))
            key += char(std::tolower(static_cast<unsigned char>(c)));
    static const std::unordered_map<std::string_view, std::string_view> actions{
        {"click", "AXPress"},         {"press", "AXPress"},
        {"activate", "AXPress"},      {"toggle", "AXPress"},
        {"jump", "AXPress"},          {"open", "AXPress"},
        {"showmenu", "AXShowMenu"},   {"menu", "AXShowMenu"},
        {"popup", "AXShowMenu"},      {"increase", "AXIncrement"},
        {"increment", "AXIncrement"}, {"decrease", "AXDecrement"},
        {"decrement", "AXDecrement"}, {"cancel", "AXCancel"},
        {"confirm", "AXConfirm"},     {"expandorcontract", "AXPress"},
    };
    auto it = actions.find(key);
    return it == actions.end() ? std::string(atspiAction) : std::string(it->second);
}

std::string boundedText(std::string text, std::size_t max) {
    if (text.size() <= max) return text;
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text;
}

}  // namespace tarvolin::atspi
