// The board's identity: the EUI-64 (node_vendor_id, chip_id_hi, chip_id_lo) in its
// configuration, which the host uses to tell disks apart. A board keeps its own unless the user
// gives it one: explicitly, from a counter file or from a list.
#pragma once

#include <string>

namespace tool {

// Where a new identity comes from; all empty: the board keeps its own (a blank board takes the
// description's).
struct IdentityOptions {
    std::string guid;     // --guid: a full EUI-64, or the 40-bit unit part
    std::string counter;  // --guid-counter: the counter file
    std::string list;     // --guid-list: the list file
};

}  // namespace tool
