// The question on the terminal before a job that destroys something.
#pragma once

#include <string>

namespace tool {

// Asks on the terminal before a job that destroys what `loss` says ("erase --all wipes ...").
// `yes` (--yes) answers for scripts; without a terminal and without --yes the job is refused
// with LORIC_ERR_INVALID_PARAMETER; any answer but "yes" cancels it (LORIC_ERR_CANCELLED).
// Nothing has been changed in either case. A Ctrl-C at the question quits at once.
void Confirm(const std::string& loss, bool yes);

}  // namespace tool
