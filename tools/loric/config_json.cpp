#include "config_json.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "errors.h"
#include "text.h"

namespace tool {
namespace {

enum class Kind { U8, U32, Text };

struct Field {
    const char* name;
    size_t offset;
    Kind kind;
    uint32_t max;  // largest value the image keeps without loss
};

#define LORIC_FIELD(name, kind, max) \
    { #name, offsetof(CONFIG_FILE_INFO, name), Kind::kind, max }
constexpr Field kFields[] = {
    LORIC_FIELD(chip_id_hi, U8, 0xFF),
    LORIC_FIELD(chip_id_lo, U32, 0xFFFFFFFF),
    LORIC_FIELD(node_vendor_id, U32, 0xFFFFFF),
    LORIC_FIELD(module_vendor_id, U32, 0xFFFFFF),
    LORIC_FIELD(module_hw_version, U32, 0xFFFFFF),
    LORIC_FIELD(unit_sw_version, U32, 0xFFFFFF),
    LORIC_FIELD(firmware_revision, U32, 0xFFFFFF),
    LORIC_FIELD(command_set, U32, 0xFFFFFF),
    LORIC_FIELD(command_set_revision, U32, 0xFFFFFF),
    LORIC_FIELD(reconnect_timeout, U32, 0xFFFFFF),
    LORIC_FIELD(mgt_orb_timeout, U8, 0xFF),
    LORIC_FIELD(orb_size, U8, 0xFF),
    LORIC_FIELD(lun0_device_type, U8, 0x1F),
    LORIC_FIELD(lun1_device_type, U8, 0x1F),
    LORIC_FIELD(lun0_model_id, U32, 0xFFFFFF),
    LORIC_FIELD(lun1_model_id, U32, 0xFFFFFF),
    LORIC_FIELD(link_speed, U8, 0x7),
    LORIC_FIELD(vendor_text, Text, 0),
    LORIC_FIELD(hw_version_text, Text, 0),
    LORIC_FIELD(lun0_model_text, Text, 0),
    LORIC_FIELD(lun1_model_text, Text, 0),
    LORIC_FIELD(config_word1, U32, 0xFFFFFFFF),
    LORIC_FIELD(config_word2, U32, 0xFFFFFFFF),
    LORIC_FIELD(config_word3, U32, 0xFFFFFFFF),
    LORIC_FIELD(config_flags, U32, 0xFFFFFFFF),
};
#undef LORIC_FIELD

constexpr const char* kSecondLun = "second_lun";

[[noreturn]] void Bad(const std::string& member, const std::string& why) {
    throw ToolError(
        kExitBadDescription, "configuration description: \"" + member + "\" " + why,
        "Numbers are written as \"0x...\" strings (or plain numbers), texts as strings; "
        "`loric config import` writes a complete description to start from.");
}

uint32_t NumberOf(const std::string& member, const nlohmann::json& value, uint32_t max) {
    unsigned long long number = 0;
    if (value.is_number_unsigned()) {
        number = value.get<unsigned long long>();
    } else if (value.is_number_integer()) {
        long long signedNumber = value.get<long long>();
        if (signedNumber < 0) Bad(member, "must not be negative");
        number = static_cast<unsigned long long>(signedNumber);
    } else if (value.is_string()) {
        const std::string text = value.get<std::string>();
        const char* begin = text.c_str();
        int base = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            begin += 2;
            base = 16;
        }
        if (*begin == '\0') Bad(member, "is not a number: \"" + text + "\"");
        for (const char* c = begin; *c; ++c) {
            bool digit = (*c >= '0' && *c <= '9') ||
                         (base == 16 && ((*c >= 'a' && *c <= 'f') || (*c >= 'A' && *c <= 'F')));
            if (!digit) Bad(member, "is not a number: \"" + text + "\"");
        }
        if (std::strlen(begin) > 16) Bad(member, "is out of range: \"" + text + "\"");
        number = std::strtoull(begin, nullptr, base);
    } else {
        Bad(member, "must be a number such as \"0x1F\"");
    }
    if (number > max) {
        Bad(member, "is out of range: largest value is " + Hex(max, 0) +
                        (max == 0xFFFFFF ? " (the configuration ROM keeps 24 bits)" : ""));
    }
    return static_cast<uint32_t>(number);
}

}  // namespace

CONFIG_FILE_INFO DefaultConfig() {
    CONFIG_FILE_INFO info;
    std::memset(&info, 0, sizeof info);
    info.config_word1 = 375;
    info.config_word2 = 375;
    info.config_word3 = 0x00601504;
    info.config_flags = 0x00000017;
    return info;
}

nlohmann::ordered_json DescribeConfig(const CONFIG_FILE_INFO& info) {
    nlohmann::ordered_json description = nlohmann::ordered_json::object();
    const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
    for (const Field& field : kFields) {
        const unsigned char* at = bytes + field.offset;
        switch (field.kind) {
        case Kind::U8: description[field.name] = Hex(*at, 2); break;
        case Kind::U32: {
            uint32_t value;
            std::memcpy(&value, at, sizeof value);
            description[field.name] = Hex(value, field.max == 0xFFFFFF ? 6 : 8);
            if (value > 0xFFFFFF && field.max == 0xFFFFFF) description[field.name] = Hex(value, 8);
            break;
        }
        case Kind::Text: {
            char text[61];
            std::memcpy(text, at, 60);
            text[60] = '\0';
            description[field.name] = std::string(text);
            break;
        }
        }
    }
    description[kSecondLun] = (info.config_flags & CONFIG_FLAG_SECOND_LUN) != 0;
    return description;
}

CONFIG_FILE_INFO ParseConfigDescription(const nlohmann::json& description) {
    if (!description.is_object()) {
        throw ToolError(kExitBadDescription,
                        "configuration description: expected a JSON object of named fields");
    }
    CONFIG_FILE_INFO info = DefaultConfig();
    auto* bytes = reinterpret_cast<unsigned char*>(&info);
    for (auto member = description.begin(); member != description.end(); ++member) {
        const std::string& name = member.key();
        if (name == kSecondLun || name.rfind("_", 0) == 0) continue;  // "_comment" and the like
        const Field* field = nullptr;
        for (const Field& candidate : kFields) {
            if (name == candidate.name) field = &candidate;
        }
        if (!field) {
            std::string names;
            for (const Field& candidate : kFields)
                names += std::string(names.empty() ? "" : ", ") + candidate.name;
            throw ToolError(kExitBadDescription,
                            "configuration description: unknown field \"" + name + "\"",
                            "The fields are: " + names + ", " + kSecondLun + ".");
        }
        unsigned char* at = bytes + field->offset;
        if (field->kind == Kind::Text) {
            if (!member->is_string()) Bad(name, "must be a text in quotes");
            std::string text = member->get<std::string>();
            for (unsigned char c : text) {
                if (c < 0x20 || c > 0x7E) Bad(name, "may hold printable ASCII characters only");
            }
            if (text.size() > kMaxConfigText) {
                Bad(name, "is " + std::to_string(text.size()) + " characters long; at most " +
                              std::to_string(kMaxConfigText) + " can be read back from a device");
            }
            std::memset(at, 0, 60);
            std::memcpy(at, text.data(), text.size());
        } else {
            uint32_t value = NumberOf(name, *member, field->max);
            if (field->kind == Kind::U8) {
                *at = static_cast<unsigned char>(value);
            } else {
                std::memcpy(at, &value, sizeof value);
            }
        }
    }
    if (description.contains(kSecondLun)) {
        const auto& second = description[kSecondLun];
        if (!second.is_boolean()) Bad(kSecondLun, "must be true or false");
        bool wanted = second.get<bool>();
        if (description.contains("config_flags") &&
            wanted != ((info.config_flags & CONFIG_FLAG_SECOND_LUN) != 0)) {
            Bad(kSecondLun, "disagrees with bit 23 of \"config_flags\"; change one of them");
        }
        if (wanted) {
            info.config_flags |= CONFIG_FLAG_SECOND_LUN;
        } else {
            info.config_flags &= ~CONFIG_FLAG_SECOND_LUN;
        }
    }
    return info;
}

std::vector<std::string> DescriptionNotes(const CONFIG_FILE_INFO& info) {
    std::vector<std::string> notes;
    if (!(info.config_flags & CONFIG_FLAG_SECOND_LUN) &&
        (info.lun1_device_type != 0 || info.lun1_model_id != 0)) {
        notes.push_back(
            "lun1_device_type and lun1_model_id are left out of the image while \"second_lun\" is "
            "false");
    }
    return notes;
}

nlohmann::json LoadDescriptionFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError(LORIC_ERR_FILE_OPEN, "cannot open the configuration description " + path,
                        "Check the file name and that the file can be read.");
    }
    // A description is about a kilobyte: a device or a pipe that never ends is read no further.
    constexpr size_t kMaxDescriptionBytes = 1u << 20;
    std::string text(kMaxDescriptionBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxDescriptionBytes) {
        throw ToolError(kExitBadDescription,
                        path + " is longer than 1 MiB: not a configuration description",
                        "`loric config import` writes a complete description to start from.");
    }
    try {
        // The parser keeps the last of a repeated key: refuse the file instead, since one of the
        // two values the user wrote would be dropped without a word.
        std::vector<std::set<std::string>> keys;
        std::string repeated;
        auto duplicates = [&](int, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
            if (event == nlohmann::json::parse_event_t::object_start) keys.emplace_back();
            if (event == nlohmann::json::parse_event_t::object_end && !keys.empty())
                keys.pop_back();
            if (event == nlohmann::json::parse_event_t::key && !keys.empty() &&
                !keys.back().insert(parsed.get<std::string>()).second && repeated.empty()) {
                repeated = parsed.get<std::string>();
            }
            return true;
        };
        nlohmann::json description = nlohmann::json::parse(text, duplicates);
        if (!repeated.empty()) {
            // The line of the second time the name is written as a member (as it is written,
            // without escapes, which is how descriptions are written).
            std::string where;
            const std::string quoted = "\"" + repeated + "\"";
            size_t seen = 0;
            for (size_t at = text.find(quoted); at != std::string::npos;
                 at = text.find(quoted, at + 1)) {
                const size_t after = text.find_first_not_of(" \t\r\n", at + quoted.size());
                if (after == std::string::npos || text[after] != ':' || ++seen < 2) continue;
                where = ", line " +
                        std::to_string(1 + std::count(text.begin(), text.begin() + at, '\n'));
                break;
            }
            throw ToolError(
                kExitBadDescription,
                path + where + ": the member \"" + repeated + "\" is given twice in one object",
                "Keep one of the two; a description gives each field once.");
        }
        return description;
    } catch (const nlohmann::json::parse_error& error) {
        // Line and column of the byte where parsing stopped.
        size_t line = 1, column = 1;
        for (size_t i = 0; i + 1 < error.byte && i < text.size(); ++i) {
            if (text[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        std::string what = error.what();
        auto syntax = what.find("syntax error");
        throw ToolError(
            kExitBadDescription,
            path + " is not valid JSON: line " + std::to_string(line) + ", column " +
                std::to_string(column) + ": " +
                (syntax == std::string::npos ? what : what.substr(syntax)),
            "Fix the file; `loric config import` writes a complete description to start from.");
    } catch (const nlohmann::json::out_of_range&) {
        // A number beyond what a double holds (1e400): no field could take it anyway.
        throw ToolError(kExitBadDescription,
                        path + " is not valid JSON: a number in it is too large to read",
                        "The fields are 32-bit values; write them as \"0x...\" strings.");
    }
}

}  // namespace tool
