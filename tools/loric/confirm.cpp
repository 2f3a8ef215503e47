#include "confirm.h"

#include <cstdio>
#include <iostream>

#include "errors.h"
#include "interrupt.h"
#include "term.h"

namespace tool {

void Confirm(const std::string& loss, bool yes) {
    if (yes) return;
    if (!IsTerminal(0)) {
        throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                        loss + ": confirm it with --yes (there is no terminal to ask on)",
                        "Nothing was changed. Add --yes to a script that means it.");
    }
    std::fflush(stdout);
    std::fprintf(stderr, "loric: %s.\nType yes to go on: ", loss.c_str());
    std::fflush(stderr);
    SetAsking(true);
    std::string answer;
    std::getline(std::cin, answer);
    SetAsking(false);
    if (answer != "yes" && answer != "y" && answer != "YES") {
        throw ToolError(LORIC_ERR_CANCELLED, "cancelled; nothing on the device was changed");
    }
}

}  // namespace tool
