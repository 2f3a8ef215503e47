// The fixed configuration record from which both builds generate a configuration file: the
// Windows host programs under Wine with loric.dll, and the native configuration tests with the
// Linux library. Both must give tests/data/configrom/fixed_record.bin byte for byte.
#pragma once

#include <cstring>

#include "loric.h"

namespace wine_reference {

// Written beside the output file as "datapage.dat", with Windows line ends.
inline constexpr char kDataPage[] = "2\r\n4\r\nTQX-0042\r\nBridge Model 7\r\n1.25\r\nRevB\r\n";

inline void SetField(char (&field)[60], const char* text) {
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, text, std::strlen(text) < 60 ? std::strlen(text) : 60);
}

inline CONFIG_FILE_INFO Record() {
    CONFIG_FILE_INFO info = {};  // no padding: every byte zero
    info.chip_id_hi = 0x3C;
    info.chip_id_lo = 0x80A1B2C3;
    info.node_vendor_id = 0x00D04B;
    info.module_vendor_id = 0x00D04B;
    info.module_hw_version = 0x000102;
    info.unit_sw_version = 0x010483;
    info.firmware_revision = 0x000207;
    info.command_set = 0x0104D8;
    info.command_set_revision = 0x000001;
    info.reconnect_timeout = 0x00000F;
    info.mgt_orb_timeout = 0x10;
    info.orb_size = 0x08;
    info.lun0_device_type = 0x0E;
    info.lun1_device_type = 0x05;
    info.lun0_model_id = 0x6410A0;
    info.lun1_model_id = 0x6410A1;
    info.link_speed = 2;
    SetField(info.vendor_text, "LORIC Reference Storage");  // 23 characters: one space added
    SetField(info.hw_version_text, "TQ6410 rev 3");
    SetField(info.lun0_model_text, "Reference Disk 0");
    SetField(info.lun1_model_text, "Reference Disk 1 (second unit, 52 characters long!!)");
    info.config_word1 = 375;
    info.config_word2 = 380;
    info.config_word3 = 0x00601504;
    info.config_flags = 0x00800017;  // second logical unit
    return info;
}

// What importing the generated file gives back.
inline CONFIG_FILE_INFO Imported() {
    CONFIG_FILE_INFO info = Record();
    info.firmware_revision = 0;
    info.config_flags = (2u << 24) | 0x00800017;
    SetField(info.vendor_text, "LORIC Reference Storage ");
    return info;
}

}  // namespace wine_reference
